#pragma once
// How a hosted service's process comes into being: created suspended (under
// the local service account's logon, or under the management service's own
// account), resumed once its access rules are in place, or terminated when
// they are not. The launch logic works through this interface so that tests
// can stand in for process creation.

#include <windows.h>

#include <string>


namespace qvx {

// Created suspended, without a console or a window.
constexpr DWORD kLaunchCreationFlags = CREATE_SUSPENDED | DETACHED_PROCESS | CREATE_NO_WINDOW;

struct LaunchRequest {
    std::wstring executablePath;
    std::wstring commandLine;
    bool asLocalService = false;
    DWORD creationFlags = kLaunchCreationFlags;
    // The protection attribute list of a protected launch (the flags then
    // include EXTENDED_STARTUPINFO_PRESENT); null otherwise.
    LPPROC_THREAD_ATTRIBUTE_LIST attributeList = nullptr;
};

class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;
    // Creates the process suspended and fills `info` (the caller owns its
    // handles). 0 or the system error of the logon or the creation; on
    // failure `info` is all zero.
    virtual DWORD Create(const LaunchRequest& request, PROCESS_INFORMATION& info) = 0;
    // Lets the main thread of a suspended process run. 0 or the system error.
    virtual DWORD Resume(const PROCESS_INFORMATION& info) = 0;
    // Ends a process whose launch failed, with `exitCode` as its exit code.
    virtual DWORD Terminate(const PROCESS_INFORMATION& info, DWORD exitCode) = 0;
};

// The logon of the local service account: a primary token the caller
// closes, or the system error.
using ServiceLogonFn = DWORD (*)(HANDLE* token);

// User "LocalService" of domain "NT AUTHORITY", no password, service logon.
DWORD LogonLocalService(HANDLE* token);

// The launcher on the Win32 process calls.
class Win32ProcessLauncher final : public ProcessLauncher {
public:
    explicit Win32ProcessLauncher(ServiceLogonFn logon = &LogonLocalService) noexcept : logon_(logon) {}
    DWORD Create(const LaunchRequest& request, PROCESS_INFORMATION& info) override;
    DWORD Resume(const PROCESS_INFORMATION& info) override;
    DWORD Terminate(const PROCESS_INFORMATION& info, DWORD exitCode) override;

private:
    ServiceLogonFn logon_;
};

// The launcher the engine uses: the Win32 one unless a test has put
// another in place. Set null to go back to the Win32 one; the launcher set
// must outlive its use.
ProcessLauncher& CurrentProcessLauncher() noexcept;
void SetProcessLauncher(ProcessLauncher* launcher) noexcept;

} // namespace qvx
