#pragma once
// Integration tests of hosted services: the real host installed and running
// under the test prefix's service control manager, hosted services created
// over the control pipe from app profiles whose binary is the test service
// (bin/qvxtest_service.exe, its behaviour chosen by switches), started and
// stopped with the control commands, watched by polling their state, and
// judged by what the test service logs and what the host traces.
//
// Each test gets a freshly started host; whatever the test created is
// deleted and every process the test services logged is killed in TearDown,
// also when the test failed. Test programs take RESOURCE_LOCK scm.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/installed_service.h"

namespace qvx::test {

// One line of a test service's log: "<what> <service> pid=<pid> args=...".
struct ServiceLogLine {
    std::wstring what;
    std::wstring service;
    DWORD pid = 0;
    std::wstring arguments; // "<count>" or "<count> <arg>|<arg>..."
};

// The host's trace lines, from the file that QVXSVH_TRACE in the prefix's
// system environment names (scripts/wine-prefix.sh sets it).
class HostTrace {
public:
    // Remembers where the file ends now.
    void Mark();
    // The lines the process `hostPid` wrote since the mark.
    std::vector<std::wstring> LinesSinceMark(DWORD hostPid) const;
    // How many event reports of `eventId` ("0xC2000006") the host made for
    // `serviceName` (its first string) since the mark.
    int EventsSinceMark(DWORD hostPid, const std::wstring& eventId, const std::wstring& serviceName) const;
    // The file, or "" when the prefix has no host trace.
    static std::wstring FilePath();

private:
    LONGLONG mark_ = 0;
};

class LifecycleTest : public testing::Test {
protected:
    static constexpr DWORD kStateTimeoutMs = 20000;

    void SetUp() override;
    void TearDown() override;

    // A demand-start profile of the test service; `switches` go on its
    // command line after --log and --name, `extra` into the profile.
    std::wstring Profile(const std::wstring& name, const std::wstring& switches, const std::wstring& extra = L"",
                         const std::wstring& type = L"SERVICE_WIN32_OWN_PROCESS") const;
    // CREATE_SERVICE; the service is deleted again in TearDown.
    std::wstring Create(const std::wstring& name, const std::wstring& profile);

    // One request on the control pipe; "" when no reply came.
    static std::wstring Ask(const std::wstring& request, DWORD timeoutMs = 20000);
    std::wstring Start(const std::wstring& name, const std::wstring& count = L"0",
                       const std::wstring& arguments = L"EMPTY");
    std::wstring Stop(const std::wstring& name);
    // The state name QUERY_SERVICE_STATUS gives, or its whole reply when it
    // is not a status.
    static std::wstring State(const std::wstring& name);
    // Polls until the service is in `state`; false when the time ran out.
    static bool WaitForState(const std::wstring& name, const std::wstring& state, DWORD timeoutMs = kStateTimeoutMs);

    // The log all test services of this test write to.
    std::vector<ServiceLogLine> Log() const;
    // The lines of one kind ("start", "stop", "main", "power"...) for one
    // service, or for any when `service` is empty.
    std::vector<ServiceLogLine> LogOf(const std::wstring& what, const std::wstring& service = L"") const;
    // Waits for the count of such lines to reach `count`; the lines.
    std::vector<ServiceLogLine> WaitForLog(const std::wstring& what, const std::wstring& service, size_t count,
                                           DWORD timeoutMs = kStateTimeoutMs) const;
    // The process id of the service's latest start, 0 when it never started.
    DWORD LatestPid(const std::wstring& service) const;
    // Waits for a start of `service` in a process other than `oldPid`.
    DWORD WaitForNewPid(const std::wstring& service, DWORD oldPid, DWORD timeoutMs = kStateTimeoutMs) const;

    static bool ProcessAlive(DWORD pid);
    // Terminates the process and waits for its end; true when it is gone.
    static bool KillProcess(DWORD pid);

    // The trace lines of the host `hostPid` since the mark that hold `text`
    // and, when given, the service's name.
    std::vector<std::wstring> TraceLines(DWORD hostPid, const std::wstring& text,
                                         const std::wstring& service = L"") const;

    // Waits until this test's host traced `count` such lines.
    bool WaitForTraceLines(const std::wstring& text, const std::wstring& service, size_t count,
                           DWORD timeoutMs = kStateTimeoutMs) const;

    DWORD HostPid() const { return hostPid_; }
    InstalledService& Host() { return host_; }
    HostTrace& Trace() { return trace_; }

    // The defaults the host restores after one-shot start arguments.
    static void SetDefaultArguments(DWORD count, const std::wstring& arguments);

private:
    InstalledService host_;
    HostTrace trace_;
    DWORD hostPid_ = 0;
    std::wstring logPath_;
    std::vector<std::wstring> created_;
    bool inPrefix_ = false;
};

// Start-up waves under the prefix. The host's start counts as the first
// since boot once its volatile markers are gone, as a reboot would leave
// it; a test install may shorten the delay between the waves.
class WaveStartSetup {
public:
    // Stores the host's test wave delay (TestWaveDelaySeconds).
    explicit WaveStartSetup(DWORD waveDelaySeconds);
    // Removes the delay again.
    ~WaveStartSetup();
    WaveStartSetup(const WaveStartSetup&) = delete;
    WaveStartSetup& operator=(const WaveStartSetup&) = delete;

    // Stops the host (unless it is stopped), deletes "bootstart" and "dirtyexit", marks `trace`
    // and starts the host again. The new host's process id, 0 on failure.
    static DWORD RestartAsAfterReboot(InstalledService& host, HostTrace& trace);
    // Waits until the host traced that its start-up is complete.
    static bool WaitForStartupComplete(const HostTrace& trace, DWORD hostPid, DWORD timeoutMs);
};

} // namespace qvx::test
