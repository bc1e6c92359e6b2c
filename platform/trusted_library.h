#pragma once
// Loading the suite's companion libraries only from trusted places and only
// with a verified Authenticode signature.

#include <windows.h>

#include <string>

namespace qvx {

// A load request, filled by the caller and completed by
// NCPrivateLoadAndValidateXRLDll.
struct LoadRequest {
    const wchar_t* libraryName = nullptr;
    size_t nameLength = 0;              // characters, 1 to 32768
    HMODULE referenceModule = nullptr;  // whose folder is the EXE directory; none: the executable
    std::wstring path;                  // the full path finally used
    HMODULE module = nullptr;           // the loaded library; the caller frees it
};

// Where the install directory of the companion libraries is kept (below
// HKEY_LOCAL_MACHINE).
inline constexpr wchar_t kInstallKeyPath[] = L"Software\\Quorvex\\Tessera";
inline constexpr wchar_t kInstallDirValue[] = L"szInstallDir32";

// The longest library name accepted, in characters.
inline constexpr size_t kMaxLibraryNameChars = 32768;

// Searches, verifies and loads one companion library: 0 with request.module
// set, or a Windows error or trust result code.
DWORD NCPrivateLoadAndValidateXRLDll(LoadRequest& request);

// Loads `libraryName` as above and asks its NotComDllGetInterface for
// `interfaceName`; 0 with *iface set, or an error code. The loader's module
// reference is dropped before returning (the interface stays valid).
DWORD GetTrustedLibraryInterface(const wchar_t* libraryName, const char* interfaceName, void** iface,
                                 HMODULE referenceModule = nullptr);

// Whether a trust result lets a library load: a good signature, or one whose
// certificate expired or whose revocation could not be checked.
bool IsAcceptedTrustResult(LONG result) noexcept;

// A readable text for a trust result: the system's message for the code
// (crypt32's messages included), else "WinVerifyTrust() call failed with
// result code 0x%08lX". At most 199 characters.
std::wstring TrustResultText(LONG result);

// Seams around what the loader asks of the system, so that the search order
// and the handling of trust results can be checked without real files.
// The defaults are WinVerifyTrust and OutputDebugStringW.
using TrustVerifierFn = LONG(WINAPI*)(HWND window, GUID* action, void* data);
using DebugOutputFn = void(WINAPI*)(const wchar_t* text);
void SetTrustVerifier(TrustVerifierFn verifier) noexcept; // nullptr: WinVerifyTrust
void SetDebugOutput(DebugOutputFn output) noexcept;       // nullptr: OutputDebugStringW

} // namespace qvx
