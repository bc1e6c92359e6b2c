#include "tools/svhinstall/service_install.h"

#include <windows.h>
#include <winsvc.h>

#include <shlwapi.h>

#include "platform/trusted_library.h"
#include "platform/handles.h"
#include "platform/registry_value.h"
#include "platform/service_control.h"
#include "platform/service_key.h"

namespace qvx {

namespace {

constexpr const wchar_t* kServiceNames[] = {L"qvxsvh", L"qvxtrust", L"qvxfwsvc"};
constexpr DWORD kStopWaitMs = 30000;

void (*g_log)(const std::wstring& line) = nullptr;

DWORD Fail(const std::wstring& what, DWORD error)
{
    if (g_log)
        g_log(what + L" failed: " + std::to_wstring(error));
    return error;
}

DWORD RegisterService(SC_HANDLE manager, const wchar_t* name, const std::wstring& binaryPath)
{
    ServiceHandle service(OpenServiceW(manager, name, SERVICE_CHANGE_CONFIG));
    if (service) {
        if (!ChangeServiceConfigW(service.Get(), SERVICE_WIN32_SHARE_PROCESS, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr,
                                  nullptr, name))
            return Fail(std::wstring(L"ChangeServiceConfigW ") + name, GetLastError());
        return ERROR_SUCCESS;
    }
    if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
        return Fail(std::wstring(L"OpenServiceW ") + name, GetLastError());
    service.Reset(CreateServiceW(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_SHARE_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr,
                                 nullptr, nullptr, nullptr));
    if (!service)
        return Fail(std::wstring(L"CreateServiceW ") + name, GetLastError());
    return ERROR_SUCCESS;
}

DWORD SetEventSource(const std::wstring& image)
{
    RegKey key;
    DWORD error = CreateKey(HKEY_LOCAL_MACHINE, kEventSourceKeyPath, KEY_READ | KEY_WRITE, key);
    if (error != ERROR_SUCCESS)
        return Fail(L"event source key", error);
    if (!WriteText(key.Get(), L"EventMessageFile", image, REG_EXPAND_SZ) ||
        !WriteDword(key.Get(), L"TypesSupported", kEventTypesSupported))
        return Fail(L"event source values", GetLastError());
    return ERROR_SUCCESS;
}

DWORD SetInstallFolder(const std::wstring& folder)
{
    RegKey key;
    DWORD error = CreateKey(HKEY_LOCAL_MACHINE, kInstallKeyPath, KEY_READ | KEY_WRITE, key);
    if (error != ERROR_SUCCESS)
        return Fail(L"install key", error);
    if (!WriteText(key.Get(), kInstallDirValue, folder))
        return Fail(L"install folder value", GetLastError());
    return ERROR_SUCCESS;
}

std::wstring Unslashed(const std::wstring& folder)
{
    std::wstring base = folder;
    while (!base.empty() && (base.back() == L'\\' || base.back() == L'/'))
        base.pop_back();
    return base;
}

// Creates `folder` and every missing folder above it.
DWORD CreateFolders(const std::wstring& folder)
{
    const size_t slash = folder.find_last_of(L"\\/");
    if (slash != std::wstring::npos && slash > 0 && folder[slash - 1] != L':' &&
        GetFileAttributesW(folder.substr(0, slash).c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (DWORD error = CreateFolders(folder.substr(0, slash)))
            return error;
    }
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return Fail(L"creating " + folder, GetLastError());
    return ERROR_SUCCESS;
}

} // namespace

std::wstring SampleFolder()
{
    const DWORD size = ExpandEnvironmentStringsW(kSampleFolder, nullptr, 0);
    if (size == 0)
        return {};
    std::wstring folder(size, L'\0');
    const DWORD written = ExpandEnvironmentStringsW(kSampleFolder, folder.data(), size);
    if (written == 0 || written > size)
        return {};
    folder.resize(written - 1);
    // A variable left unexpanded would make a folder named after it.
    return folder.find(L'%') == std::wstring::npos ? folder : std::wstring();
}

DWORD PlaceSampleService(const std::wstring& sourceFolder)
{
    const std::wstring target = SampleFolder();
    if (target.empty())
        return Fail(std::wstring(L"expanding ") + kSampleFolder, ERROR_ENVVAR_NOT_FOUND);
    const std::wstring source = Unslashed(sourceFolder);
    bool folderMade = false;
    for (const wchar_t* name : kSampleFiles) {
        const std::wstring from = source + L"\\" + name;
        if (GetFileAttributesW(from.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (g_log)
                g_log(L"note: " + from + L" is missing, the sample service is not placed there");
            continue;
        }
        if (!folderMade) {
            if (DWORD error = CreateFolders(target))
                return error;
            folderMade = true;
        }
        const std::wstring to = target + L"\\" + name;
        if (!CopyFileW(from.c_str(), to.c_str(), FALSE))
            return Fail(L"copying " + from + L" to " + to, GetLastError());
    }
    return ERROR_SUCCESS;
}

DWORD RemoveSampleService()
{
    const std::wstring target = SampleFolder();
    if (target.empty())
        return Fail(std::wstring(L"expanding ") + kSampleFolder, ERROR_ENVVAR_NOT_FOUND);
    DWORD result = ERROR_SUCCESS;
    for (const wchar_t* name : kSampleFiles) {
        const std::wstring path = target + L"\\" + name;
        if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
            GetLastError() != ERROR_PATH_NOT_FOUND)
            result = Fail(L"deleting " + path, GetLastError());
    }
    // Tessera, then Quorvex; a folder that holds anything else stays, and so
    // does the one the variable names.
    std::wstring folder = target;
    for (int level = 0; level < 2; ++level) {
        if (!RemoveDirectoryW(folder.c_str()))
            break;
        folder = folder.substr(0, folder.find_last_of(L'\\'));
    }
    return result;
}

void SetInstallLog(void (*log)(const std::wstring& line))
{
    g_log = log;
}

DWORD InstallServiceHost(const std::wstring& folder)
{
    const std::wstring base = Unslashed(folder);
    if (base.empty())
        return Fail(L"install folder", ERROR_INVALID_PARAMETER);
    const std::wstring image = base + L"\\" + kHostImageName;
    if (GetFileAttributesW(image.c_str()) == INVALID_FILE_ATTRIBUTES)
        return Fail(image, GetLastError());
    // Quoted, so that a folder with blanks names one file.
    const std::wstring binaryPath = L"\"" + image + L"\"";

    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager)
        return Fail(L"OpenSCManagerW", GetLastError());
    for (const wchar_t* name : kServiceNames) {
        if (DWORD error = RegisterService(manager.Get(), name, binaryPath))
            return error;
    }

    RegKey services;
    std::wstring servicesPath = std::wstring(kServiceKeyPath) + L"\\Services";
    if (DWORD error = CreateKey(HKEY_LOCAL_MACHINE, servicesPath.c_str(), KEY_READ, services))
        return Fail(L"hosted-service list", error);
    if (DWORD error = SetEventSource(image))
        return error;
    return SetInstallFolder(base);
}

DWORD RemoveServiceHost()
{
    DWORD result = ERROR_SUCCESS;
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return Fail(L"OpenSCManagerW", GetLastError());
    // The proxies first: a running proxy would start qvxsvh again.
    for (const wchar_t* name : {kServiceNames[2], kServiceNames[1], kServiceNames[0]}) {
        ServiceHandle service(OpenServiceW(manager.Get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
        if (!service) {
            if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
                result = Fail(std::wstring(L"OpenServiceW ") + name, GetLastError());
            continue;
        }
        // A service that would not stop is still marked for deletion; it goes
        // when its process ends.
        if (DWORD error = StopServiceAndWait(service.Get(), kStopWaitMs))
            result = Fail(std::wstring(L"stopping ") + name, error);
        if (!DeleteService(service.Get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
            result = Fail(std::wstring(L"DeleteService ") + name, GetLastError());
    }
    DWORD error = static_cast<DWORD>(SHDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKeyPath));
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
        result = Fail(L"event source key", error);
    RegKey install;
    if (OpenKey(HKEY_LOCAL_MACHINE, kInstallKeyPath, KEY_SET_VALUE, install) == ERROR_SUCCESS) {
        error = static_cast<DWORD>(RegDeleteValueW(install.Get(), kInstallDirValue));
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
            result = Fail(L"install folder value", error);
    }
    return result;
}

} // namespace qvx
