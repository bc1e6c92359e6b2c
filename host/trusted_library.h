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

// Searches, verifies and loads one companion library: 0 with request.module
// set, or a Windows error or trust result code.
DWORD NCPrivateLoadAndValidateXRLDll(LoadRequest& request);

// Loads `libraryName` as above and asks its NotComDllGetInterface for
// `interfaceName`; 0 with *iface set, or an error code. The loader's module
// reference is dropped before returning (the interface stays valid).
DWORD GetTrustedLibraryInterface(const wchar_t* libraryName, const char* interfaceName, void** iface,
                                 HMODULE referenceModule = nullptr);

} // namespace qvx
