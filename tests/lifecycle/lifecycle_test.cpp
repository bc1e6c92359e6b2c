#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/life_cycle_record.h"
#include "model/service_record.h"
#include "tests/lifecycle/lifecycle_harness.h"
#include "tests/support/test_prefix.h"

namespace qvx::test {
namespace {

constexpr wchar_t kRunning[] = L"SERVICE_RUNNING";
constexpr wchar_t kStopped[] = L"SERVICE_STOPPED";
constexpr wchar_t kStopPending[] = L"SERVICE_STOP_PENDING";
constexpr wchar_t kFailedToStart[] = L"0xC2000006";
constexpr wchar_t kTerminated[] = L"0xC2000005";

std::wstring DependsOn(const std::wstring& name)
{
    return L"<DependOnService><ServiceName>" + name + L"</ServiceName></DependOnService>";
}

// Where each service's lines stand in the log, for order checks.
size_t Position(const std::vector<ServiceLogLine>& log, const std::wstring& what, const std::wstring& service)
{
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].what == what && log[i].service == service)
            return i;
    }
    return log.size();
}

// What the host keeps in a hosted service's life-cycle record.
struct StoredLifeCycle {
    ULONGLONG startTime = 0;
    ULONGLONG stopTime = 0;
    ULONGLONG runs = 0;
};

StoredLifeCycle LifeCycleOf(const std::wstring& name)
{
    ServiceRecord record;
    record.SetName(name);
    LifeCycleRecord stored(&record);
    stored.Load();
    return {stored.StartTime, stored.StopTime, stored.RunIteration};
}

using HostedServiceStart = LifecycleTest;

// One-shot arguments reach one start; the next start gets the defaults the
// host keeps in its own key; "EMPTY" keeps what the service holds.
TEST_F(HostedServiceStart, OneShotArgumentsReachOneStartThenTheDefaultsDo)
{
    SetDefaultArguments(1, L"fromhost");
    ASSERT_EQ(Create(L"lcargs", Profile(L"lcargs", L"", L"<NumServiceArgs>1</NumServiceArgs>"
                                                        L"<ServiceArgVectors>fromprofile</ServiceArgVectors>")),
              L"ACK");

    struct Round {
        const char* what;
        std::wstring count;
        std::wstring arguments;
        std::wstring seen;
    };
    const Round rounds[] = {
        {"one-shot arguments", L"2", L"one two", L"2 one|two"},
        {"defaults restored after the one-shot start", L"0", L"EMPTY", L"1 fromhost"},
        {"EMPTY with a count keeps the current arguments", L"5", L"EMPTY", L"1 fromhost"},
    };
    for (const Round& round : rounds) {
        SCOPED_TRACE(round.what);
        const size_t startsBefore = LogOf(L"start", L"lcargs").size();
        ASSERT_EQ(Start(L"lcargs", round.count, round.arguments), L"ACK");
        ASSERT_TRUE(WaitForState(L"lcargs", kRunning)) << Narrow(State(L"lcargs"));
        const std::vector<ServiceLogLine> starts = LogOf(L"start", L"lcargs");
        ASSERT_EQ(starts.size(), startsBefore + 1);
        EXPECT_EQ(starts.back().arguments, round.seen);
        EXPECT_EQ(Start(L"lcargs"), L"SERVICE_ALREADY_RUNNING");

        EXPECT_EQ(Stop(L"lcargs"), L"CONTROL_SERVICE,SERVICE_STOP_PENDING");
        ASSERT_TRUE(WaitForState(L"lcargs", kStopped)) << Narrow(State(L"lcargs"));
        EXPECT_EQ(WaitForLog(L"exit-0", L"lcargs", startsBefore + 1).size(), startsBefore + 1);
    }
    EXPECT_EQ(Stop(L"lcargs"), L"ERROR_SERVICE_NOT_ACTIVE");
}

TEST_F(HostedServiceStart, AStartTheServiceRefusesEndsStopped)
{
    ASSERT_EQ(Create(L"lcfails", Profile(L"lcfails", L"--mode=fail-start")), L"ACK");
    ASSERT_EQ(Start(L"lcfails"), L"ACK");
    ASSERT_EQ(WaitForLog(L"start", L"lcfails", 1).size(), 1u);
    EXPECT_TRUE(WaitForState(L"lcfails", kStopped)) << Narrow(State(L"lcfails"));
    EXPECT_EQ(WaitForLog(L"exit-1064", L"lcfails", 1).size(), 1u);
}

// The faults the test service offers, as the host's start sees them. What
// the host does once such a process is gone belongs to its exit handling.
TEST_F(HostedServiceStart, TheTestServiceFailsAsItsCommandLineSays)
{
    struct Fault {
        const wchar_t* name;
        const wchar_t* mode;
        bool reachesStart;   // its start callback runs
        bool reachesRunning; // the host sees it running
        bool processEnds;    // without returning from its run
    };
    const Fault faults[] = {
        {L"lcdiesearly", L"die-before-pending", false, false, true},
        {L"lcdiesinstart", L"die-in-start", true, false, true},
        // Long enough to be seen running on a busy machine.
        {L"lccrashes", L"crash-after:3000", true, true, true},
        {L"lchangs", L"hang-start", true, false, false},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(Narrow(fault.mode));
        ASSERT_EQ(Create(fault.name, Profile(fault.name, std::wstring(L"--mode=") + fault.mode)), L"ACK");
        ASSERT_EQ(Start(fault.name), L"ACK");
        const std::vector<ServiceLogLine> main = WaitForLog(L"main", fault.name, 1);
        ASSERT_EQ(main.size(), 1u);
        if (fault.reachesRunning) {
            EXPECT_TRUE(WaitForState(fault.name, kRunning)) << Narrow(State(fault.name));
        }
        EXPECT_EQ(WaitForLog(L"start", fault.name, 1, fault.reachesStart ? kStateTimeoutMs : 500).size(),
                  fault.reachesStart ? 1u : 0u);

        const DWORD start = GetTickCount();
        while (ProcessAlive(main[0].pid) && GetTickCount() - start < (fault.processEnds ? kStateTimeoutMs : 1000))
            Sleep(50);
        EXPECT_EQ(ProcessAlive(main[0].pid), !fault.processEnds);
        if (!fault.processEnds) {
            EXPECT_EQ(State(fault.name), L"SERVICE_START_PENDING");
        }
        EXPECT_TRUE(LogOf(L"exit-0", fault.name).empty());
    }
}

using HostedServiceDependencies = LifecycleTest;

TEST_F(HostedServiceDependencies, AChainIsStartedFromItsFirstLink)
{
    ASSERT_EQ(Create(L"lcroot", Profile(L"lcroot", L"")), L"ACK");
    ASSERT_EQ(Create(L"lcmiddle", Profile(L"lcmiddle", L"", DependsOn(L"lcroot"))), L"ACK");
    ASSERT_EQ(Create(L"lcleaf", Profile(L"lcleaf", L"", DependsOn(L"lcmiddle"))), L"ACK");

    ASSERT_EQ(Start(L"lcleaf"), L"ACK");
    for (const wchar_t* name : {L"lcroot", L"lcmiddle", L"lcleaf"})
        EXPECT_TRUE(WaitForState(name, kRunning)) << Narrow(name) << ": " << Narrow(State(name));
    const std::vector<ServiceLogLine> log = Log();
    EXPECT_LT(Position(log, L"start", L"lcroot"), Position(log, L"start", L"lcmiddle"));
    EXPECT_LT(Position(log, L"start", L"lcmiddle"), Position(log, L"start", L"lcleaf"));
    EXPECT_EQ(LogOf(L"main").size(), 3u) << "each own-process service in a process of its own";
}

TEST_F(HostedServiceDependencies, AFailingDependencyLeavesTheDependentStopped)
{
    std::wstring missing = Profile(L"lcghost", L"");
    const std::wstring binary = L"qvxtest_service.exe";
    missing.replace(missing.find(binary), binary.size(), L"qvxtest_missing.exe");
    ASSERT_EQ(Create(L"lcghost", missing), L"ACK");
    ASSERT_EQ(Create(L"lcneedsghost", Profile(L"lcneedsghost", L"", DependsOn(L"lcghost"))), L"ACK");

    EXPECT_EQ(Start(L"lcneedsghost"), L"SERVICE_FAILED_TO_START");
    EXPECT_EQ(State(L"lcneedsghost"), kStopped);
    EXPECT_EQ(State(L"lcghost"), kStopped);
    EXPECT_TRUE(LogOf(L"main").empty());
    EXPECT_EQ(Trace().EventsSinceMark(HostPid(), kFailedToStart, L"lcghost"), 1);
    EXPECT_EQ(Trace().EventsSinceMark(HostPid(), kFailedToStart, L"lcneedsghost"), 0);

}

TEST_F(HostedServiceDependencies, AStoppingDependencyRefusesTheStart)
{
    ASSERT_EQ(Create(L"lcstubborn", Profile(L"lcstubborn", L"--mode=ignore-stop")), L"ACK");
    ASSERT_EQ(Create(L"lcafter", Profile(L"lcafter", L"", DependsOn(L"lcstubborn"))), L"ACK");
    ASSERT_EQ(Start(L"lcstubborn"), L"ACK");
    ASSERT_TRUE(WaitForState(L"lcstubborn", kRunning)) << Narrow(State(L"lcstubborn"));
    ASSERT_EQ(Stop(L"lcstubborn"), L"CONTROL_SERVICE,SERVICE_STOP_PENDING");
    ASSERT_EQ(WaitForLog(L"stop", L"lcstubborn", 1).size(), 1u);

    Trace().Mark();
    EXPECT_EQ(Start(L"lcafter"), L"ERROR_SERVICE_CANNOT_ACCEPT_CTRL");
    EXPECT_EQ(State(L"lcafter"), kStopped);
    EXPECT_EQ(State(L"lcstubborn"), kStopPending);
    // The one report names the dependency that was in the way.
    EXPECT_EQ(Trace().EventsSinceMark(HostPid(), kFailedToStart, L"lcstubborn"), 1);
    EXPECT_EQ(Trace().EventsSinceMark(HostPid(), kFailedToStart, L"lcafter"), 0);
    EXPECT_TRUE(LogOf(L"main", L"lcafter").empty());
}

using HostedServiceStop = LifecycleTest;

TEST_F(HostedServiceStop, DependentsStopFirst)
{
    ASSERT_EQ(Create(L"lcbase", Profile(L"lcbase", L"")), L"ACK");
    ASSERT_EQ(Create(L"lcuser", Profile(L"lcuser", L"", DependsOn(L"lcbase"))), L"ACK");
    ASSERT_EQ(Start(L"lcuser"), L"ACK");
    ASSERT_TRUE(WaitForState(L"lcuser", kRunning)) << Narrow(State(L"lcuser"));
    ASSERT_TRUE(WaitForState(L"lcbase", kRunning)) << Narrow(State(L"lcbase"));

    // The service itself is asked once its dependent has stopped.
    EXPECT_EQ(Stop(L"lcbase"), L"CONTROL_SERVICE,SERVICE_RUNNING");
    EXPECT_TRUE(WaitForState(L"lcuser", kStopped)) << Narrow(State(L"lcuser"));
    EXPECT_TRUE(WaitForState(L"lcbase", kStopped)) << Narrow(State(L"lcbase"));
    const std::vector<ServiceLogLine> log = Log();
    EXPECT_LT(Position(log, L"stop", L"lcuser"), Position(log, L"stop", L"lcbase"));
    EXPECT_LT(Position(log, L"stop", L"lcbase"), log.size());

    EXPECT_EQ(Stop(L"lcbase"), L"ERROR_SERVICE_NOT_ACTIVE");
}

TEST_F(HostedServiceStop, StoppingTheHostLeavesHostedProcessesRunning)
{
    ASSERT_EQ(Create(L"lcsurvivor", Profile(L"lcsurvivor", L"")), L"ACK");
    ASSERT_EQ(Start(L"lcsurvivor"), L"ACK");
    ASSERT_TRUE(WaitForState(L"lcsurvivor", kRunning)) << Narrow(State(L"lcsurvivor"));
    const DWORD pid = LatestPid(L"lcsurvivor");
    ASSERT_NE(pid, 0u);

    ASSERT_EQ(Host().Stop(), 0u);
    EXPECT_TRUE(ProcessAlive(pid));
    EXPECT_TRUE(LogOf(L"stop", L"lcsurvivor").empty());
    EXPECT_TRUE(KillProcess(pid));
}

using HostedServiceExit = LifecycleTest;

// A process that dies is reported and, within its restart window, started
// again after its delay; once the window's restarts are used up it stays
// down. Without a restart policy it is only reported.
TEST_F(HostedServiceExit, AKilledServiceIsRestartedWithinItsWindow)
{
    const std::wstring policy = L"<FailureRestart><ResetPeriod>60</ResetPeriod><RestartCount>1</RestartCount>"
                                L"<RestartDelay>1</RestartDelay></FailureRestart>";
    ASSERT_EQ(Create(L"lcrestarts", Profile(L"lcrestarts", L"", policy)), L"ACK");
    ASSERT_EQ(Create(L"lcnopolicy", Profile(L"lcnopolicy", L"")), L"ACK");
    for (const wchar_t* name : {L"lcrestarts", L"lcnopolicy"}) {
        ASSERT_EQ(Start(name), L"ACK");
        ASSERT_TRUE(WaitForState(name, kRunning)) << Narrow(name) << ": " << Narrow(State(name));
    }

    const StoredLifeCycle started = LifeCycleOf(L"lcrestarts");
    EXPECT_NE(started.startTime, 0u);
    EXPECT_EQ(started.stopTime, 0u);
    const DWORD first = LatestPid(L"lcrestarts");
    ASSERT_TRUE(KillProcess(first));
    const DWORD second = WaitForNewPid(L"lcrestarts", first);
    EXPECT_NE(second, 0u);
    EXPECT_TRUE(WaitForState(L"lcrestarts", kRunning)) << Narrow(State(L"lcrestarts"));
    // The restart is a start of its own in the service's life-cycle record.
    const StoredLifeCycle restarted = LifeCycleOf(L"lcrestarts");
    EXPECT_EQ(restarted.runs, started.runs + 1);
    EXPECT_GT(restarted.startTime, started.startTime);
    EXPECT_EQ(restarted.stopTime, 0u);
    EXPECT_EQ(Trace().EventsSinceMark(HostPid(), kTerminated, L"lcrestarts"), 1);

    ASSERT_TRUE(KillProcess(LatestPid(L"lcnopolicy")));
    EXPECT_TRUE(WaitForState(L"lcnopolicy", kStopped)) << Narrow(State(L"lcnopolicy"));
    // The state changes before the event is reported: give the report time.
    const ULONGLONG deadline = GetTickCount64() + kStateTimeoutMs;
    while (Trace().EventsSinceMark(HostPid(), kTerminated, L"lcnopolicy") < 1 && GetTickCount64() < deadline)
        Sleep(50);
    EXPECT_EQ(Trace().EventsSinceMark(HostPid(), kTerminated, L"lcnopolicy"), 1);
    // A service that died and stays down is not recorded as running.
    EXPECT_NE(LifeCycleOf(L"lcnopolicy").stopTime, 0u);

    // The window allows one restart: the second death is final for now.
    Trace().Mark();
    ASSERT_NE(second, 0u);
    ASSERT_TRUE(KillProcess(second));
    EXPECT_TRUE(WaitForState(L"lcrestarts", kStopped)) << Narrow(State(L"lcrestarts"));
    Sleep(2500); // past the restart delay
    EXPECT_EQ(State(L"lcrestarts"), kStopped);
    EXPECT_EQ(LogOf(L"start", L"lcrestarts").size(), 2u);
    EXPECT_EQ(LogOf(L"start", L"lcnopolicy").size(), 1u);
    EXPECT_EQ(Trace().EventsSinceMark(HostPid(), kTerminated, L"lcrestarts"), 1);
}

using SharedProcessServices = LifecycleTest;

TEST_F(SharedProcessServices, TheSecondJoinsTheFirstOnesProcess)
{
    const std::wstring switches = L"--also=lcshareb";
    const std::wstring type = L"SERVICE_WIN32_SHARE_PROCESS";
    // One executable, one binary path: the host finds the running one as
    // the second's host.
    std::wstring profileA = Profile(L"lcsharea", switches, L"", type);
    std::wstring profileB = profileA;
    for (size_t at; (at = profileB.find(L"<Name>lcsharea</Name>")) != std::wstring::npos;)
        profileB.replace(at, 21, L"<Name>lcshareb</Name>");
    ASSERT_EQ(Create(L"lcsharea", profileA), L"ACK");
    ASSERT_EQ(Create(L"lcshareb", profileB), L"ACK");

    ASSERT_EQ(Start(L"lcsharea"), L"ACK");
    ASSERT_TRUE(WaitForState(L"lcsharea", kRunning)) << Narrow(State(L"lcsharea"));
    ASSERT_EQ(Start(L"lcshareb"), L"ACK");
    ASSERT_TRUE(WaitForState(L"lcshareb", kRunning)) << Narrow(State(L"lcshareb"));

    EXPECT_EQ(LogOf(L"main").size(), 1u);
    ASSERT_NE(LatestPid(L"lcsharea"), 0u);
    EXPECT_EQ(LatestPid(L"lcshareb"), LatestPid(L"lcsharea"));

    // Each stops on its own; the process ends with the last.
    EXPECT_EQ(Stop(L"lcshareb"), L"CONTROL_SERVICE,SERVICE_STOP_PENDING");
    EXPECT_TRUE(WaitForState(L"lcshareb", kStopped)) << Narrow(State(L"lcshareb"));
    EXPECT_EQ(State(L"lcsharea"), kRunning);
    EXPECT_TRUE(ProcessAlive(LatestPid(L"lcsharea")));
    EXPECT_EQ(Stop(L"lcsharea"), L"CONTROL_SERVICE,SERVICE_STOP_PENDING");
    EXPECT_TRUE(WaitForState(L"lcsharea", kStopped)) << Narrow(State(L"lcsharea"));
    EXPECT_EQ(WaitForLog(L"exit-0", L"", 1).size(), 1u);
}

using MachineCondition = LifecycleTest;

// A service whose power profile leaves out the new condition is stopped;
// one that may run under it is told of the change instead.
TEST_F(MachineCondition, AConditionTheProfileExcludesStopsTheService)
{
    ASSERT_EQ(Create(L"lcmains", Profile(L"lcmains", L"", L"<PowerProfile>POWERPROFILE_NOTNETWORK</PowerProfile>")),
              L"ACK");
    ASSERT_EQ(Create(L"lcanywhere", Profile(L"lcanywhere", L"")), L"ACK");
    for (const wchar_t* name : {L"lcmains", L"lcanywhere"}) {
        ASSERT_EQ(Start(name), L"ACK");
        ASSERT_TRUE(WaitForState(name, kRunning)) << Narrow(name) << ": " << Narrow(State(name));
    }

    const std::wstring power = Ask(L"QUERY_POWER_STATE,1,POWERPROFILE_BATTERY");
    EXPECT_NE(power.find(L"POWERPROFILE_BATTERY"), std::wstring::npos) << Narrow(power);
    EXPECT_TRUE(WaitForState(L"lcmains", kStopped)) << Narrow(State(L"lcmains"));
    EXPECT_EQ(WaitForLog(L"power", L"lcanywhere", 1).size(), 1u);
    EXPECT_EQ(State(L"lcanywhere"), kRunning);
    EXPECT_TRUE(LogOf(L"power", L"lcmains").empty());

    // A demand-start service is not started again by a condition that
    // allows it.
    Ask(L"QUERY_POWER_STATE,1,POWERPROFILE_NOTNETWORK");
    Sleep(1000);
    EXPECT_EQ(State(L"lcmains"), kStopped);
    EXPECT_EQ(LogOf(L"start", L"lcmains").size(), 1u);
}

// The host starts a stopped service that the new condition allows only once
// its start-up waves are complete: the host is started as after a reboot,
// with short waves, and the test waits for them.
TEST_F(MachineCondition, AConditionTheProfileAllowsStartsTheServiceAgain)
{
    WaveStartSetup waves(1);
    const DWORD hostPid = WaveStartSetup::RestartAsAfterReboot(Host(), Trace());
    ASSERT_NE(hostPid, 0u);
    ASSERT_TRUE(WaveStartSetup::WaitForStartupComplete(Trace(), hostPid, kStateTimeoutMs));

    std::wstring profile = Profile(L"lcnormal", L"", L"<PowerProfile>POWERPROFILE_NOTNETWORK</PowerProfile>");
    const std::wstring demand = L"SERVICE_START_DEMAND";
    profile.replace(profile.find(demand), demand.size(), L"SERVICE_START_NORMAL");
    ASSERT_EQ(Create(L"lcnormal", profile), L"ACK");
    ASSERT_EQ(Start(L"lcnormal"), L"ACK");
    ASSERT_TRUE(WaitForState(L"lcnormal", kRunning)) << Narrow(State(L"lcnormal"));
    const DWORD firstPid = LatestPid(L"lcnormal");

    Ask(L"QUERY_POWER_STATE,1,POWERPROFILE_BATTERY");
    ASSERT_TRUE(WaitForState(L"lcnormal", kStopped)) << Narrow(State(L"lcnormal"));
    Ask(L"QUERY_POWER_STATE,1,POWERPROFILE_NOTNETWORK");
    EXPECT_NE(WaitForNewPid(L"lcnormal", firstPid), 0u);
    EXPECT_TRUE(WaitForState(L"lcnormal", kRunning)) << Narrow(State(L"lcnormal"));
}

} // namespace
} // namespace qvx::test
