// The management service's own end and its next start in the same boot:
// the hosted processes outlive it, and the next run takes them back.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/service_key.h"
#include "platform/wide_text.h"
#include "tests/lifecycle/lifecycle_harness.h"
#include "tests/support/test_prefix.h"

namespace qvx::test {
namespace {

constexpr wchar_t kRunning[] = L"SERVICE_RUNNING";
constexpr wchar_t kStopped[] = L"SERVICE_STOPPED";
constexpr wchar_t kStartPending[] = L"SERVICE_START_PENDING";
constexpr wchar_t kBootMarker[] = L"bootstart";
constexpr wchar_t kDirtyExitMarker[] = L"dirtyexit";
// Lets every service run whatever the machine's condition, so that a
// condition set through the control pipe stops none of them.
constexpr wchar_t kAnyCondition[] = L"<PowerProfile>POWERPROFILE_NORMAL</PowerProfile>";
constexpr wchar_t kRestartPolicy[] = L"<FailureRestart><ResetPeriod>60</ResetPeriod><RestartCount>1</RestartCount>"
                                     L"<RestartDelay>1</RestartDelay></FailureRestart>";

std::wstring MarkerPath(const wchar_t* marker)
{
    return std::wstring(kServiceKeyPath) + L"\\" + marker;
}

bool MarkerPresent(const wchar_t* marker)
{
    RegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, MarkerPath(marker).c_str(), 0, KEY_READ, key.Receive()) ==
           ERROR_SUCCESS;
}

// What a reboot does to the host's key: its volatile markers are gone.
void ForgetBoot()
{
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, MarkerPath(kDirtyExitMarker).c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, MarkerPath(kBootMarker).c_str());
}

std::wstring StartupProfile(const wchar_t* profile)
{
    return std::wstring(L"<StartupProfile>") + profile + L"</StartupProfile>";
}

class HostRestart : public LifecycleTest {
protected:
    // Starts the host again; its trace lines are read from here on.
    DWORD RestartHost()
    {
        Trace().Mark();
        const DWORD error = Host().Start();
        if (error != ERROR_SUCCESS)
            return 0;
        return Host().Status().dwProcessId;
    }

    // Starts the test service outside the host, as a process left over
    // from an earlier run of it; the process id, 0 when it did not start.
    DWORD StartLeftOver(const std::wstring& name, const std::wstring& mode)
    {
        // The command line of the profile, with the mode it runs in now.
        const std::wstring profile = Profile(name, mode);
        const size_t begin = profile.find(L"<BinaryPath>") + wcslen(L"<BinaryPath>");
        std::wstring commandLine = profile.substr(begin, profile.find(L"</BinaryPath>") - begin);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        // Detached: a console of its own could outlive it and hold the
        // test's output open.
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                            &startup, &info))
            return 0;
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        if (WaitForLog(L"listener", name, 1).empty())
            return 0;
        return info.dwProcessId;
    }
};

// A stop of the host is not a stop of what it hosts: the processes keep
// running, the clean end is marked, and the next run in the same boot takes
// them back as they are instead of starting them again. They are watched as
// before: a crash is restarted under the service's policy and a stop goes
// through to the process that was re-attached.
TEST_F(HostRestart, APlainStopLeavesTheServicesRunningAndTheNextStartReattaches)
{
    ASSERT_EQ(Create(L"lckeep", Profile(L"lckeep", L"", std::wstring(kRestartPolicy) + kAnyCondition)), L"ACK");
    ASSERT_EQ(Create(L"lcquit", Profile(L"lcquit", L"", kAnyCondition)), L"ACK");
    // Started by no wave of this test's runs: only once the waves are over
    // may a change of the machine's condition start it.
    ASSERT_EQ(Create(L"lclater", Profile(L"lclater", L"", StartupProfile(L"SERVICE_START_NORMAL") + kAnyCondition)),
              L"ACK");
    for (const wchar_t* name : {L"lckeep", L"lcquit"}) {
        ASSERT_EQ(Start(name), L"ACK");
        ASSERT_TRUE(WaitForState(name, kRunning)) << Narrow(name) << ": " << Narrow(State(name));
    }
    const DWORD keepPid = LatestPid(L"lckeep");
    const DWORD quitPid = LatestPid(L"lcquit");
    ASSERT_NE(keepPid, 0u);
    ASSERT_NE(quitPid, 0u);
    ASSERT_TRUE(MarkerPresent(kDirtyExitMarker));

    ASSERT_EQ(Host().Stop(), 0u);
    EXPECT_TRUE(ProcessAlive(keepPid));
    EXPECT_TRUE(ProcessAlive(quitPid));
    EXPECT_FALSE(MarkerPresent(kDirtyExitMarker));
    EXPECT_TRUE(MarkerPresent(kBootMarker));

    const DWORD hostPid = RestartHost();
    ASSERT_NE(hostPid, 0u);
    // Re-attached before the control pipe serves: running from the first
    // answer on, in the same processes.
    EXPECT_EQ(State(L"lckeep"), kRunning);
    EXPECT_EQ(State(L"lcquit"), kRunning);
    EXPECT_EQ(State(L"lclater"), kStopped);
    EXPECT_EQ(LogOf(L"start", L"lckeep").size(), 1u);
    EXPECT_EQ(LogOf(L"start", L"lcquit").size(), 1u);
    EXPECT_EQ(TraceLines(hostPid, L"re-attached", L"lckeep").size(), 1u);
    EXPECT_EQ(TraceLines(hostPid, L"re-attached", L"lcquit").size(), 1u);
    EXPECT_EQ(TraceLines(hostPid, L"early DLL services only").size(), 1u);
    EXPECT_TRUE(TraceLines(hostPid, L"start from scratch").empty());
    EXPECT_TRUE(MarkerPresent(kDirtyExitMarker));

    // The start-up is complete at once: a changed condition starts what may
    // run, which it would not do while waves are still to come.
    EXPECT_NE(Ask(L"QUERY_POWER_STATE,1,POWERPROFILE_METERED").find(L"POWERPROFILE_METERED"), std::wstring::npos);
    EXPECT_TRUE(WaitForState(L"lclater", kRunning)) << Narrow(State(L"lclater"));

    ASSERT_TRUE(KillProcess(keepPid));
    const DWORD restartedPid = WaitForNewPid(L"lckeep", keepPid);
    EXPECT_NE(restartedPid, 0u);
    EXPECT_TRUE(WaitForState(L"lckeep", kRunning)) << Narrow(State(L"lckeep"));

    EXPECT_EQ(Stop(L"lcquit"), L"CONTROL_SERVICE,SERVICE_STOP_PENDING");
    EXPECT_TRUE(WaitForState(L"lcquit", kStopped)) << Narrow(State(L"lcquit"));
    const std::vector<ServiceLogLine> stops = WaitForLog(L"stop", L"lcquit", 1);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].pid, quitPid);
    EXPECT_EQ(WaitForLog(L"exit-0", L"lcquit", 1).size(), 1u);
}

// A host that was killed leaves its dirty-exit marker. The next run takes
// back what still runs; a service it cannot take back is traced and let go
// of entirely (not pending, nothing of it watched), and since the state of
// the services is then in doubt the waves run again from the start.
TEST_F(HostRestart, AfterTheHostWasKilledWhatCannotBeReattachedIsLetGo)
{
    ASSERT_EQ(Create(L"lcalive", Profile(L"lcalive", L"")), L"ACK");
    ASSERT_EQ(Create(L"lcearly", Profile(L"lcearly", L"", StartupProfile(L"SERVICE_START_EARLY"))), L"ACK");
    struct LeftOver {
        const wchar_t* name;
        const wchar_t* answers;
    };
    // Processes that answer "PING" but then fail the re-attach in one way
    // each; all hold the service's mutex, except the one that has none.
    const LeftOver leftOvers[] = {
        {L"lcpingonly", L"ping"},
        {L"lcnopid", L"ping+state"},
        {L"lcnomutex", L"ping+state+pid+nomutex"},
    };
    for (const LeftOver& leftOver : leftOvers)
        ASSERT_EQ(Create(leftOver.name, Profile(leftOver.name, L"")), L"ACK") << Narrow(leftOver.name);
    for (const wchar_t* name : {L"lcalive", L"lcearly"}) {
        ASSERT_EQ(Start(name), L"ACK");
        ASSERT_TRUE(WaitForState(name, kRunning)) << Narrow(name) << ": " << Narrow(State(name));
    }
    const DWORD alivePid = LatestPid(L"lcalive");
    const DWORD earlyPid = LatestPid(L"lcearly");

    ASSERT_EQ(Host().Kill(), 0u);
    EXPECT_TRUE(MarkerPresent(kDirtyExitMarker));
    EXPECT_TRUE(ProcessAlive(alivePid));
    // Ends while nobody watches it.
    ASSERT_TRUE(KillProcess(earlyPid));
    std::vector<DWORD> leftOverPids;
    for (const LeftOver& leftOver : leftOvers) {
        leftOverPids.push_back(StartLeftOver(leftOver.name, std::wstring(L"--mode=listener-only:") + leftOver.answers));
        ASSERT_NE(leftOverPids.back(), 0u) << Narrow(leftOver.name);
        // It ends at once when it cannot take the mutex.
        Sleep(100);
        ASSERT_TRUE(ProcessAlive(leftOverPids.back())) << Narrow(leftOver.name);
    }

    const DWORD hostPid = RestartHost();
    ASSERT_NE(hostPid, 0u);
    EXPECT_EQ(State(L"lcalive"), kRunning);
    EXPECT_EQ(LogOf(L"start", L"lcalive").size(), 1u);
    EXPECT_EQ(TraceLines(hostPid, L"re-attached", L"lcalive").size(), 1u);
    EXPECT_EQ(TraceLines(hostPid, L"start from scratch").size(), 1u);
    // The early wave starts again what had ended.
    EXPECT_NE(WaitForNewPid(L"lcearly", earlyPid), 0u);
    EXPECT_TRUE(WaitForState(L"lcearly", kRunning)) << Narrow(State(L"lcearly"));

    for (const LeftOver& leftOver : leftOvers) {
        SCOPED_TRACE(Narrow(leftOver.name));
        EXPECT_EQ(TraceLines(hostPid, L"re-attaching failed", leftOver.name).size(), 1u);
        EXPECT_EQ(State(leftOver.name), kStopped);
    }
    // Their processes' end is nothing the host waits for any more.
    Trace().Mark();
    for (DWORD pid : leftOverPids)
        ASSERT_TRUE(KillProcess(pid));
    EXPECT_EQ(Ask(L"PING"), L"ACK");
    EXPECT_TRUE(TraceLines(hostPid, L"ended without releasing its mutex").empty());
    EXPECT_TRUE(TraceLines(hostPid, L"hosted service process ended").empty());
    // Nothing of the failed re-attach stands in the way of a real start.
    for (const LeftOver& leftOver : leftOvers) {
        SCOPED_TRACE(Narrow(leftOver.name));
        EXPECT_EQ(State(leftOver.name), kStopped);
        EXPECT_EQ(Start(leftOver.name), L"ACK");
        EXPECT_TRUE(WaitForState(leftOver.name, kRunning)) << Narrow(State(leftOver.name));
    }
}

// The host killed while the early wave's service is still starting: the
// next run takes the service back as it reports itself, start-pending, and
// holds it to its start-up time-out again, so that it does not stay pending
// when its start never ends.
TEST_F(HostRestart, AHostKilledInTheMiddleOfAWaveLeavesNoServicePending)
{
    ASSERT_EQ(Create(L"lcslow", Profile(L"lcslow", L"--mode=hang-start",
                                        StartupProfile(L"SERVICE_START_EARLY") + L"<StartupTimeout>30</StartupTimeout>")),
              L"ACK");
    ASSERT_EQ(Create(L"lcnormal", Profile(L"lcnormal", L"", StartupProfile(L"SERVICE_START_NORMAL"))), L"ACK");
    ASSERT_EQ(Host().Stop(), 0u);
    ForgetBoot();
    DWORD hostPid = RestartHost();
    ASSERT_NE(hostPid, 0u);
    ASSERT_EQ(WaitForLog(L"start", L"lcslow", 1).size(), 1u);
    const DWORD slowPid = LatestPid(L"lcslow");
    EXPECT_EQ(State(L"lcslow"), kStartPending);

    ASSERT_EQ(Host().Kill(), 0u);
    hostPid = RestartHost();
    ASSERT_NE(hostPid, 0u);
    EXPECT_EQ(TraceLines(hostPid, L"re-attached", L"lcslow").size(), 1u);
    EXPECT_EQ(TraceLines(hostPid, L"start from scratch").size(), 1u);
    // The time-out (the least a profile may give) ends the hanging start;
    // the service ends stopped.
    EXPECT_TRUE(WaitForState(L"lcslow", kStopped, 45000)) << Narrow(State(L"lcslow"));
    EXPECT_FALSE(ProcessAlive(slowPid));
    EXPECT_EQ(LogOf(L"start", L"lcslow").size(), 1u);
    EXPECT_EQ(State(L"lcnormal"), kStopped);
}

} // namespace
} // namespace qvx::test
