#include "tests/support/installed_service.h"

#include <shlwapi.h>

#include "host/proxy_service.h"
#include "model/service_enums.h"
#include "platform/service_control.h"
#include "platform/service_key.h"
#include "protocol/control_client.h"
#include "protocol/message_codec.h"
#include "tests/support/test_prefix.h"

namespace qvx::test {

namespace {

constexpr DWORD kPollMs = 10;

void NoteState(std::vector<DWORD>* seen, DWORD state)
{
    if (seen && (seen->empty() || seen->back() != state))
        seen->push_back(state);
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                &needed) != FALSE;
}

} // namespace

std::wstring ServiceImagePath()
{
    wchar_t directory[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"QVX_BIN_DIR", directory, MAX_PATH);
    std::wstring folder;
    if (length > 0 && length < MAX_PATH) {
        folder.assign(directory, length);
        if (folder[0] == L'/')
            folder = L"Z:" + folder;
        for (wchar_t& c : folder) {
            if (c == L'/')
                c = L'\\';
        }
        if (folder.back() != L'\\')
            folder += L'\\';
    } else {
        wchar_t path[MAX_PATH] = {};
        DWORD got = GetModuleFileNameW(nullptr, path, MAX_PATH);
        folder.assign(path, got);
        folder.resize(folder.find_last_of(L"\\/") + 1);
    }
    return folder + L"qvxsvh.exe";
}

InstalledService::InstalledService()
{
    // Registering deletes whatever holds these names: never a machine's own.
    if (!OutsideTestPrefix().empty()) {
        error_ = ERROR_ACCESS_DENIED;
        return;
    }
    manager_.Reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager_) {
        error_ = GetLastError();
        return;
    }
    // What an interrupted run left behind goes first, the proxies before the
    // service they would start.
    Remove(kFirewallProxyName);
    Remove(kTrustProxyName);
    Remove(kManagementServiceName);
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceKeyPath);

    std::wstring binary = L"\"" + ServiceImagePath() + L"\"";
    for (const wchar_t* name : {kManagementServiceName, kTrustProxyName, kFirewallProxyName}) {
        ServiceHandle created(CreateServiceW(manager_.Get(), name, name, SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_SHARE_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                             binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        if (!created) {
            error_ = GetLastError();
            return;
        }
        if (wcscmp(name, kManagementServiceName) == 0)
            service_ = std::move(created);
    }
}

InstalledService::~InstalledService()
{
    if (!manager_)
        return;
    Remove(kFirewallProxyName);
    Remove(kTrustProxyName);
    if (service_) {
        StopServiceAndWait(service_.Get(), kDefaultTimeoutMs);
        WaitForProcessEnd(kDefaultTimeoutMs);
        DeleteService(service_.Get());
        service_.Reset();
    } else {
        Remove(kManagementServiceName);
    }
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceKeyPath);
}

void InstalledService::Remove(const wchar_t* name)
{
    ServiceHandle service(OpenServiceW(manager_.Get(), name, SERVICE_ALL_ACCESS));
    if (!service)
        return;
    StopServiceAndWait(service.Get(), kDefaultTimeoutMs);
    DeleteService(service.Get());
}

DWORD InstalledService::Start(DWORD timeoutMs)
{
    if (error_ != ERROR_SUCCESS)
        return error_;
    if (!StartServiceW(service_.Get(), 0, nullptr))
        return GetLastError();
    SERVICE_STATUS_PROCESS status = WaitForState(SERVICE_RUNNING, timeoutMs);
    if (status.dwCurrentState != SERVICE_RUNNING)
        return status.dwCurrentState == SERVICE_STOPPED && status.dwWin32ExitCode ? status.dwWin32ExitCode
                                                                                  : ERROR_TIMEOUT;
    process_.Reset(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));

    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (Request(L"PING", 1000) == L"ACK")
            return ERROR_SUCCESS;
        Sleep(kPollMs);
    }
    return ERROR_TIMEOUT;
}

DWORD InstalledService::Stop(std::vector<DWORD>* statesSeen, DWORD timeoutMs)
{
    if (!service_)
        return error_ ? error_ : ERROR_INVALID_HANDLE;
    SERVICE_STATUS control = {};
    if (!ControlService(service_.Get(), SERVICE_CONTROL_STOP, &control))
        return GetLastError();
    NoteState(statesSeen, control.dwCurrentState);
    SERVICE_STATUS_PROCESS status = WaitForState(SERVICE_STOPPED, timeoutMs, statesSeen);
    if (status.dwCurrentState != SERVICE_STOPPED)
        return ERROR_TIMEOUT;
    return WaitForProcessEnd(timeoutMs) ? ERROR_SUCCESS : ERROR_TIMEOUT;
}

DWORD InstalledService::Kill(DWORD timeoutMs)
{
    if (!service_)
        return error_ ? error_ : ERROR_INVALID_HANDLE;
    const DWORD pid = Status().dwProcessId;
    if (pid == 0)
        return ERROR_SERVICE_NOT_ACTIVE;
    KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!process)
        return GetLastError();
    if (!TerminateProcess(process.Get(), ERROR_PROCESS_ABORTED))
        return GetLastError();
    if (WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0)
        return ERROR_TIMEOUT;
    process_.Reset();
    return ERROR_SUCCESS;
}

SERVICE_STATUS_PROCESS InstalledService::WaitForState(DWORD state, DWORD timeoutMs,
                                                      std::vector<DWORD>* statesSeen) const
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD start = GetTickCount();
    while (QueryStatus(service_.Get(), status)) {
        NoteState(statesSeen, status.dwCurrentState);
        if (status.dwCurrentState == state || GetTickCount() - start > timeoutMs)
            break;
        // A service that stopped on its own will not get anywhere else.
        if (status.dwCurrentState == SERVICE_STOPPED)
            break;
        Sleep(kPollMs);
    }
    return status;
}

SERVICE_STATUS_PROCESS InstalledService::Status() const
{
    SERVICE_STATUS_PROCESS status = {};
    if (service_)
        QueryStatus(service_.Get(), status);
    return status;
}

bool InstalledService::WaitForProcessEnd(DWORD timeoutMs)
{
    if (!process_)
        return true;
    if (WaitForSingleObject(process_.Get(), timeoutMs) != WAIT_OBJECT_0)
        return false;
    process_.Reset();
    return true;
}

std::wstring InstalledService::Request(const std::wstring& request, DWORD timeoutMs)
{
    std::wstring reply;
    if (SendControlRequest(kControlPipeName, request, reply, timeoutMs) != ERROR_SUCCESS)
        return L"";
    return reply;
}

} // namespace qvx::test
