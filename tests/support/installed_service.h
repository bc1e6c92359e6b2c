#pragma once
// The service host installed for real in the test prefix's service control
// manager: qvxsvh, qvxtrust and qvxfwsvc as share-process services of one
// image, bin/qvxsvh.exe of this build. The object registers them (removing
// what an interrupted run left), Start runs qvxsvh until its control pipe
// answers, and the destructor stops and deletes all three. Test programs
// that use it take RESOURCE_LOCK scm: the names are machine-wide.

#include <windows.h>
#include <winsvc.h>

#include <string>
#include <vector>

#include "platform/handles.h"

namespace qvx::test {

// %QVX_BIN_DIR%\qvxsvh.exe (a Unix path is taken as seen through drive Z:),
// else qvxsvh.exe beside the running program.
std::wstring ServiceImagePath();

class InstalledService {
public:
    static constexpr DWORD kDefaultTimeoutMs = 30000;

    // Registers the three services, demand start. Error() tells whether it
    // worked; outside the Wine test prefix it registers and deletes nothing
    // and Error() is ERROR_ACCESS_DENIED (fixtures skip first with
    // QVX_REQUIRE_TEST_PREFIX).
    InstalledService();
    // Stops whatever of the three runs and deletes the registrations.
    ~InstalledService();
    InstalledService(const InstalledService&) = delete;
    InstalledService& operator=(const InstalledService&) = delete;

    // 0 when the registration succeeded, else the Windows error met.
    DWORD Error() const { return error_; }

    // Starts qvxsvh through the service control manager and waits until it
    // reports SERVICE_RUNNING and its control pipe answers "PING" with "ACK".
    // 0, or the error (ERROR_TIMEOUT when it never got there).
    DWORD Start(DWORD timeoutMs = kDefaultTimeoutMs);

    // Sends the stop control and waits for SERVICE_STOPPED and for the
    // process to end. `statesSeen` receives each state reported on the way,
    // in order, without repeats. 0, or the error.
    DWORD Stop(std::vector<DWORD>* statesSeen = nullptr, DWORD timeoutMs = kDefaultTimeoutMs);

    // Ends the process that runs qvxsvh from outside (TerminateProcess), as a
    // crash would, and waits until it has ended. 0, or the error. The
    // prefix's service control manager does not see such an end: it goes on
    // reporting the service running, yet Start runs it again.
    DWORD Kill(DWORD timeoutMs = kDefaultTimeoutMs);

    // Polls the status until it is `state` or the time is up; the last status
    // read. `statesSeen` collects the states as Stop's does.
    SERVICE_STATUS_PROCESS WaitForState(DWORD state, DWORD timeoutMs, std::vector<DWORD>* statesSeen = nullptr) const;
    SERVICE_STATUS_PROCESS Status() const;

    // Waits until the process that ran qvxsvh has ended; true when it has.
    bool WaitForProcessEnd(DWORD timeoutMs);

    // Sends one request to \\.\pipe\svhserver; the reply, or "" when none came.
    static std::wstring Request(const std::wstring& request, DWORD timeoutMs = 5000);

    SC_HANDLE Manager() const { return manager_.Get(); }
    SC_HANDLE Service() const { return service_.Get(); }

private:
    void Remove(const wchar_t* name);

    ServiceHandle manager_;
    ServiceHandle service_;
    KernelHandle process_;
    DWORD error_ = 0;
};

} // namespace qvx::test
