#include "platform/trusted_library.h"

#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <memory>
#include <new>

#include "platform/companion_interfaces.h"
#include "platform/handles.h"
#include "platform/last_error.h"
#include "platform/registry_value.h"

namespace qvx {
namespace {

constexpr wchar_t kLookInCurrentDirectory[] = L"NCPrivateLoadAndValidateXRLDll: Looking in current directory\n";
constexpr wchar_t kLookInExeDirectory[] = L"NCPrivateLoadAndValidateXRLDll: Looking in EXE directory\n";

// The path buffer of a request holds at least this many characters,
// terminator included; an install-directory path longer than that (or than
// the name plus one) is not used.
constexpr size_t kMinPathBufferChars = MAX_PATH + 1;

constexpr DWORD kProviderFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL; // 0x1010
constexpr size_t kResultTextChars = 200;

std::atomic<TrustVerifierFn> g_verifier{nullptr};
std::atomic<DebugOutputFn> g_debugOutput{nullptr};

LONG CallVerifier(GUID* action, WINTRUST_DATA* data)
{
    TrustVerifierFn verifier = g_verifier.load();
    if (verifier)
        return verifier(static_cast<HWND>(INVALID_HANDLE_VALUE), action, data);
    return WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), action, data);
}

void WriteDebugOutput(const wchar_t* text)
{
    DebugOutputFn output = g_debugOutput.load();
    if (output)
        output(text);
    else
        OutputDebugStringW(text);
}

// One candidate file and its Authenticode verification. The verification
// state stays open while the record lives and is closed with it.
class TrustCheck {
public:
    explicit TrustCheck(std::wstring path) : path_(std::move(path))
    {
        file_.cbStruct = sizeof(file_);
        file_.pcwszFilePath = path_.c_str();
        file_.hFile = nullptr;
        file_.pgKnownSubject = nullptr;

        data_.cbStruct = sizeof(data_);
        data_.pPolicyCallbackData = nullptr;
        data_.pSIPClientData = nullptr;
        data_.dwUIChoice = WTD_UI_NONE;
        data_.fdwRevocationChecks = WTD_REVOKE_NONE;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &file_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        data_.hWVTStateData = nullptr;
        data_.pwszURLReference = nullptr;
        data_.dwProvFlags = kProviderFlags;
        data_.dwUIContext = 0;
    }

    ~TrustCheck()
    {
        if (!verified_)
            return;
        DWORD lastError = GetLastError();
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        CallVerifier(&action, &data_);
        SetLastError(lastError);
    }

    TrustCheck(const TrustCheck&) = delete;
    TrustCheck& operator=(const TrustCheck&) = delete;

    LONG Verify()
    {
        if (!verified_) {
            GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
            result_ = CallVerifier(&action, &data_);
            verified_ = true;
        }
        return result_;
    }

    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
    bool verified_ = false;
    LONG result_ = 0;
    WINTRUST_FILE_INFO file_{};
    WINTRUST_DATA data_{};
};

// A name that the search completes with a directory; any other name is used
// as it stands.
bool IsRelativeName(const std::wstring& name)
{
    return name.size() >= 3 && name[0] != L'\\' && name[1] != L':';
}

// The results that mean "not there", after which the EXE directory is tried.
// A missing folder (3) is a missing file as much as a missing name in an
// existing folder (2).
bool IsMissingFile(LONG result)
{
    return result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND ||
           result == static_cast<LONG>(CRYPT_E_FILE_ERROR);
}

enum class InstallDir { kFound, kMissing };

InstallDir ReadInstallDir(std::wstring& directory)
{
    RegKey key;
    if (OpenKey(HKEY_LOCAL_MACHINE, kInstallKeyPath, KEY_READ, key) != ERROR_SUCCESS)
        return InstallDir::kMissing;
    // Read generously so that a value too long for the path buffer is seen
    // as such rather than cut to fit.
    if (!ReadText(key.Get(), kInstallDirValue, directory, kMaxLibraryNameChars + 2))
        return InstallDir::kMissing;
    return InstallDir::kFound;
}

bool CurrentDirectory(std::wstring& directory)
{
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0)
        return false;
    directory.assign(needed, L'\0');
    DWORD written = GetCurrentDirectoryW(needed, directory.data());
    if (written == 0 || written >= needed)
        return false;
    directory.resize(written);
    return true;
}

// The full path of `module` (the executable when null); the buffer grows
// while the path comes back truncated.
bool ModulePath(HMODULE module, std::wstring& path)
{
    for (DWORD size = MAX_PATH; size <= 0x10000; size *= 2) {
        path.assign(size, L'\0');
        DWORD written = GetModuleFileNameW(module, path.data(), size);
        if (written == 0)
            return false;
        if (written < size) {
            path.resize(written);
            return true;
        }
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
}

bool ModuleDirectory(HMODULE module, std::wstring& directory)
{
    if (!ModulePath(module, directory))
        return false;
    size_t slash = directory.find_last_of(L'\\');
    if (slash == std::wstring::npos)
        return false;
    directory.resize(slash);
    return true;
}

std::wstring JoinPath(const std::wstring& directory, const std::wstring& name)
{
    std::wstring path;
    path.reserve(directory.size() + 1 + name.size());
    path.append(directory).append(1, L'\\').append(name);
    return path;
}

void ReportRefusal(const std::wstring& candidate, LONG result)
{
    std::wstring executable;
    if (!ModulePath(nullptr, executable))
        executable.clear();
    const wchar_t format[] = L"NotComDllGetInterface: %ls loading %ls, WinVerifyTrust failed with %08x\n";
    std::wstring text(format);
    int length = _scwprintf(format, executable.c_str(), candidate.c_str(), static_cast<unsigned>(result));
    if (length > 0) {
        text.assign(static_cast<size_t>(length) + 1, L'\0');
        swprintf(text.data(), text.size(), format, executable.c_str(), candidate.c_str(),
                 static_cast<unsigned>(result));
        text.resize(static_cast<size_t>(length));
    }
    WriteDebugOutput(text.c_str());
}

template <typename Fn>
Fn ExportAs(FARPROC proc)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

} // namespace

void SetTrustVerifier(TrustVerifierFn verifier) noexcept { g_verifier.store(verifier); }

void SetDebugOutput(DebugOutputFn output) noexcept { g_debugOutput.store(output); }

bool IsAcceptedTrustResult(LONG result) noexcept
{
    return result == ERROR_SUCCESS || result == static_cast<LONG>(CERT_E_EXPIRED) ||
           result == static_cast<LONG>(CERT_E_REVOCATION_FAILURE) ||
           result == static_cast<LONG>(CRYPT_E_SECURITY_SETTINGS);
}

std::wstring TrustResultText(LONG result)
{
    wchar_t buffer[kResultTextChars] = {};
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    HMODULE crypt32 = GetModuleHandleW(L"crypt32.dll");
    if (crypt32)
        flags |= FORMAT_MESSAGE_FROM_HMODULE;
    DWORD length = FormatMessageW(flags, crypt32, static_cast<DWORD>(result), 0, buffer, kResultTextChars, nullptr);
    while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n' || buffer[length - 1] == L' '))
        --length;
    if (length > 0)
        return std::wstring(buffer, length);
    swprintf(buffer, kResultTextChars, L"WinVerifyTrust() call failed with result code 0x%08lX",
             static_cast<unsigned long>(result));
    return buffer;
}

namespace {

DWORD SearchVerifyAndLoad(LoadRequest& request)
{
    request.module = nullptr;
    request.path.clear();
    if (!request.libraryName || request.nameLength < 1 || request.nameLength > kMaxLibraryNameChars)
        return ERROR_INVALID_PARAMETER;
    std::wstring name(request.libraryName, wcsnlen(request.libraryName, request.nameLength));
    if (name.empty())
        return ERROR_INVALID_PARAMETER;
    const size_t bufferChars = std::max(request.nameLength + 1, kMinPathBufferChars);

    const bool relative = IsRelativeName(name);
    std::unique_ptr<TrustCheck> candidate;
    LONG result = ERROR_FILE_NOT_FOUND;

    if (!relative) {
        candidate = std::make_unique<TrustCheck>(name);
        result = candidate->Verify();
    } else {
        std::wstring directory;
        if (ReadInstallDir(directory) == InstallDir::kFound) {
            std::wstring path = JoinPath(directory, name);
            // A path that does not fit the buffer (ERROR_BUFFER_OVERFLOW) is
            // not tried; the search goes on as if the file were missing.
            if (path.size() < bufferChars) {
                candidate = std::make_unique<TrustCheck>(std::move(path));
                result = candidate->Verify();
            }
        } else {
            WriteDebugOutput(kLookInCurrentDirectory);
            if (CurrentDirectory(directory)) {
                candidate = std::make_unique<TrustCheck>(JoinPath(directory, name));
                result = candidate->Verify();
            }
        }

        if (IsMissingFile(result)) {
            WriteDebugOutput(kLookInExeDirectory);
            if (ModuleDirectory(request.referenceModule, directory)) {
                candidate.reset();
                candidate = std::make_unique<TrustCheck>(JoinPath(directory, name));
                result = candidate->Verify();
            }
        }
    }

    if (!IsAcceptedTrustResult(result)) {
        ReportRefusal(candidate ? candidate->Path() : name, result);
        return static_cast<DWORD>(result);
    }
    if (!candidate)
        return ERROR_INTERNAL_ERROR;

    std::wstring path = candidate->Path();
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        return LastErrorOr(ERROR_INTERNAL_ERROR);
    }
    request.path = std::move(path);
    request.module = module;
    return ERROR_SUCCESS;
}

} // namespace

DWORD NCPrivateLoadAndValidateXRLDll(LoadRequest& request)
{
    try {
        return SearchVerifyAndLoad(request);
    } catch (const std::bad_alloc&) {
        if (request.module) {
            FreeLibrary(request.module);
            request.module = nullptr;
        }
        request.path.clear();
        return ERROR_OUTOFMEMORY;
    }
}

DWORD GetTrustedLibraryInterface(const wchar_t* libraryName, const char* interfaceName, void** iface,
                                 HMODULE referenceModule)
{
    if (!iface)
        return ERROR_INVALID_PARAMETER;
    *iface = nullptr;
    if (!libraryName || !interfaceName)
        return ERROR_INVALID_PARAMETER;
    size_t length = wcsnlen(libraryName, kMaxLibraryNameChars + 1);
    if (length == 0 || length > kMaxLibraryNameChars)
        return ERROR_INVALID_PARAMETER;

    LoadRequest request;
    request.libraryName = libraryName;
    request.nameLength = length;
    request.referenceModule = referenceModule;
    DWORD result = NCPrivateLoadAndValidateXRLDll(request);
    if (result != ERROR_SUCCESS)
        return result;
    if (!request.module) {
        return LastErrorOr(ERROR_FILE_NOT_FOUND);
    }

    Module module(request.module);
    auto getInterface = ExportAs<NotComDllGetInterfaceFn>(GetProcAddress(module.Get(), kNotComDllGetInterfaceExport));
    if (!getInterface) {
        return LastErrorOr(ERROR_PROC_NOT_FOUND);
    }
    HRESULT hr = getInterface(interfaceName, iface);
    if (hr != S_OK) {
        *iface = nullptr;
        return static_cast<DWORD>(hr);
    }
    // A library that claims success without an interface has not given one.
    if (!*iface)
        return static_cast<DWORD>(E_NOINTERFACE);
    return ERROR_SUCCESS;
}

} // namespace qvx
