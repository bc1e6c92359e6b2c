#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_calls.h"
#include "engine/event_report.h"
#include "engine/process_launch.h"
#include "model/hosted_process.h"
#include "model/life_cycle_record.h"
#include "model/service_mutex.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/service_timers.h"
#include "platform/handles.h"
#include "platform/registry_value.h"
#include "runtime/host_runtime.h"
#include "tests/support/child_process.h"
#include "tests/support/event_recorder.h"
#include "tests/support/test_service_key.h"
#include "tests/support/trace_capture.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

constexpr DWORD kWaitMs = 20000;

// Stands in for process creation: each launch "creates" a process whose
// handles are events, so a restart can be counted without a real program.
class CountingLauncher final : public ProcessLauncher {
public:
    CountingLauncher() { SetProcessLauncher(this); }
    ~CountingLauncher() override { SetProcessLauncher(nullptr); }
    DWORD Create(const LaunchRequest& request, PROCESS_INFORMATION& info) override
    {
        info = {};
        launched.push_back(request.executablePath);
        info.hProcess = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        info.hThread = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        info.dwProcessId = nextId++;
        info.dwThreadId = nextId++;
        return ERROR_SUCCESS;
    }
    DWORD Resume(const PROCESS_INFORMATION&) override { return ERROR_SUCCESS; }
    DWORD Terminate(const PROCESS_INFORMATION&, DWORD) override { return ERROR_SUCCESS; }

    std::vector<std::wstring> launched;
    DWORD nextId = 5000;
};

// Every idle program a test started, so that none outlives its test: a
// child left running keeps the test's output open after the test ended.
std::vector<std::shared_ptr<HostedProcess>>& StartedChildren()
{
    static std::vector<std::shared_ptr<HostedProcess>> children;
    return children;
}

// A real child process: the idle program, running or already ended. It is
// started detached, with no console of its own: a child given a new console
// gets a console host process, and one ended before it attached to that
// console leaves the console host running with the test's output open.
std::shared_ptr<HostedProcess> IdleChild(bool ended)
{
    std::wstring commandLine = L"\"" + test::BuiltProgramPath(L"qvxtest_idle.exe") + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &info)) {
        ADD_FAILURE() << "the idle program did not start: " << GetLastError();
        return nullptr;
    }
    if (ended) {
        TerminateProcess(info.hProcess, 0);
        WaitForSingleObject(info.hProcess, kWaitMs);
    }
    std::shared_ptr<HostedProcess> child = HostedProcess::Adopt(info);
    StartedChildren().push_back(child);
    return child;
}

class ExitHandlingTest : public ::testing::Test {
public: // the case tables reach the fixture from lambdas
    ExitHandlingTest()
    {
        runtime_.PublishTable(&table_);
        // The all-stopped check answers through the shutdown-done event: it
        // tells that the stopped-service continuation ran.
        runtime_.stop.CreateRunEvents();
        runtime_.stop.shuttingDown = 1;
    }
    ~ExitHandlingTest() override
    {
        for (const auto& process : processes_) {
            if (process && process->HasProcessHandle())
                TerminateProcess(process->ProcessHandle(), 0);
        }
        for (const auto& child : StartedChildren()) {
            TerminateProcess(child->ProcessHandle(), 0);
            WaitForSingleObject(child->ProcessHandle(), kWaitMs);
        }
        StartedChildren().clear();
        // Processes the engine itself started (restarts) end with the test too.
        for (size_t i = 0; ServiceRecord* record = table_.GetAt(i); ++i) {
            if (const auto process = record->Process(); process && process->HasProcessHandle())
                TerminateProcess(process->ProcessHandle(), 0);
        }
        runtime_.PublishTable(nullptr);
        table_.Clear();
        runtime_.waitSet.Clear();
        runtime_.stop.CloseRunEvents();
    }

    // A stopped own-process service with the restart policy of the worked
    // example: two restarts per 60-second window, 5 seconds apart.
    ServiceRecord& Add(const std::wstring& name, WinServiceType type = WinServiceType::kOwnProcess)
    {
        auto record = std::make_unique<ServiceRecord>();
        record->SetName(name);
        record->SetServiceType(type);
        record->SetBinaryPath(L"C:\\qvxtest\\" + name + L".exe");
        record->SetResetPeriod(60);
        record->SetRestartCount(2);
        record->SetRestartDelay(5);
        ServiceRecord* kept = record.get();
        EXPECT_TRUE(table_.Add(record));
        return *kept;
    }

    // Puts the record in `state` with a process, its mutex watched and its
    // start-up and shutdown timers armed and watched, as a running service
    // has them.
    void Watch(ServiceRecord& record, ServiceState state, std::shared_ptr<HostedProcess> process = nullptr)
    {
        if (state == ServiceState::kStopPending) {
            ASSERT_TRUE(record.SetServiceState(ServiceState::kRunning));
        }
        if (state != ServiceState::kStopped) {
            ASSERT_TRUE(record.SetServiceState(state));
        }
        if (!process) {
            PROCESS_INFORMATION info = {};
            info.hProcess = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            info.dwProcessId = 4242;
            process = HostedProcess::Adopt(info);
        }
        processes_.push_back(process);
        record.AttachProcess(std::move(process));
        ASSERT_TRUE(CreateServiceMutex(record));
        runtime_.waitSet.AddMutex(record.GetServiceMutex());
        for (ServiceTimer slot : {ServiceTimer::kStartup, ServiceTimer::kShutdown}) {
            ASSERT_TRUE(CreateServiceTimer(record, slot));
            ASSERT_TRUE(ArmServiceTimer(record, slot));
            runtime_.waitSet.AddTimer(record.GetTimer(slot));
        }
    }

    bool ContinuationRan() const
    {
        return WaitForSingleObject(runtime_.stop.ShutdownDoneEvent().Get(), 0) == WAIT_OBJECT_0;
    }
    size_t TerminatedEvents(const std::wstring& name) const
    {
        size_t count = 0;
        for (const test::ReportedEvent& event : events_.Events()) {
            if (event.id == static_cast<DWORD>(kEventServiceTerminated) && event.strings.size() == 1 &&
                event.strings[0] == name)
                ++count;
        }
        return count;
    }
    // The process, the mutex and the start-up and shutdown timers are gone
    // from the record and from the monitor's lists.
    void ExpectLetGo(const ServiceRecord& record, HANDLE mutex)
    {
        EXPECT_EQ(record.GetState(), ServiceState::kStopped);
        EXPECT_EQ(record.Process(), nullptr);
        EXPECT_EQ(record.GetServiceMutex(), nullptr);
        EXPECT_EQ(record.GetTimer(ServiceTimer::kStartup), nullptr);
        EXPECT_EQ(record.GetTimer(ServiceTimer::kShutdown), nullptr);
        EXPECT_FALSE(runtime_.waitSet.HasMutex(mutex));
    }
    // Every timer the monitor is given is one a record holds.
    void ExpectOnlyHeldTimersWatched()
    {
        for (HANDLE timer : runtime_.waitSet.Timers()) {
            bool held = false;
            for (size_t i = 0; const ServiceRecord* record = table_.GetAt(i); ++i) {
                for (ServiceTimer slot : {ServiceTimer::kResetPeriod, ServiceTimer::kRestartDelay,
                                          ServiceTimer::kShutdown, ServiceTimer::kStartup})
                    held = held || record->GetTimer(slot) == timer;
            }
            EXPECT_TRUE(held) << "a released timer is still in the monitor's list";
        }
    }

    void Crash(ServiceRecord& record) { HandleServiceTermination(runtime_, record.GetServiceMutex()); }

    test::TraceCapture traces_;
    test::EventRecorder events_;
    CountingLauncher launcher_;
    HostRuntime runtime_;
    ServiceTable table_;
    std::vector<std::shared_ptr<HostedProcess>> processes_;
};

TEST_F(ExitHandlingTest, TerminationStopsReportsAndLetsGoOfEverything)
{
    ServiceRecord& record = Add(L"lone");
    record.SetResetPeriod(0);
    Watch(record, ServiceState::kRunning);
    const HANDLE mutex = record.GetServiceMutex();
    const HANDLE startup = record.GetTimer(ServiceTimer::kStartup);

    HandleServiceTermination(runtime_, mutex);

    EXPECT_EQ(TerminatedEvents(L"lone"), 1u);
    ExpectLetGo(record, mutex);
    EXPECT_FALSE(runtime_.waitSet.HasTimer(startup));
    EXPECT_TRUE(runtime_.waitSet.Timers().empty());
    // Without a policy the crash is forgotten and the stop goes on as any stop.
    EXPECT_FALSE(record.GetCrashed());
    EXPECT_TRUE(ContinuationRan());
    HANDLE named = OpenMutexW(SYNCHRONIZE, FALSE, ServiceMutexName(L"lone").c_str());
    EXPECT_EQ(named, nullptr) << "the service mutex is still open";
    if (named)
        CloseHandle(named);
}

// A service that ended has a stop in its life-cycle record, whether or not
// a restart follows: otherwise the record says it still runs.
TEST_F(ExitHandlingTest, AnEndedServiceHasItsStopRecorded)
{
    test::TestServiceKey key;
    for (const bool restartPolicy : {false, true}) {
        SCOPED_TRACE(restartPolicy ? "with a restart policy" : "without a restart policy");
        const std::wstring name = restartPolicy ? L"comesback" : L"staysdown";
        RegKey created;
        ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, (key.Path() + L"\\Services\\" + name).c_str(), KEY_ALL_ACCESS,
                            created),
                  0u);
        ServiceRecord& record = Add(name);
        if (!restartPolicy)
            record.SetResetPeriod(0);
        Watch(record, ServiceState::kRunning);

        HandleServiceTermination(runtime_, record.GetServiceMutex());

        EXPECT_EQ(record.GetCrashed(), restartPolicy);
        LifeCycleRecord stored(&record);
        stored.Load();
        EXPECT_NE(stored.StopTime, 0u);
    }
}

TEST_F(ExitHandlingTest, RestartIsScheduledOnlyForAServiceNobodyWasStopping)
{
    struct Case {
        const char* label;
        ServiceState state;
        std::function<void(ExitHandlingTest&, ServiceRecord&)> setup;
        bool restart;
        bool crashed;
    };
    const auto none = [](ExitHandlingTest&, ServiceRecord&) {};
    const std::vector<Case> cases = {
        {"running", ServiceState::kRunning, none, true, true},
        {"starting", ServiceState::kStartPending, none, true, true},
        {"no reset period", ServiceState::kRunning, [](ExitHandlingTest&, ServiceRecord& r) { r.SetResetPeriod(0); },
         false, false},
        {"no restart count", ServiceState::kRunning,
         [](ExitHandlingTest&, ServiceRecord& r) { r.SetRestartCount(0); }, false, false},
        {"no restart delay", ServiceState::kRunning,
         [](ExitHandlingTest&, ServiceRecord& r) { r.SetRestartDelay(0); }, false, false},
        {"its stop requested", ServiceState::kRunning,
         [](ExitHandlingTest&, ServiceRecord& r) { r.SetStopRequested(true); }, false, true},
        {"stopping", ServiceState::kStopPending, none, false, true},
        {"a dependency's stop requested", ServiceState::kRunning,
         [](ExitHandlingTest& t, ServiceRecord& r) {
             ServiceRecord& base = t.Add(test::UniqueName(L"base"));
             base.SetStopRequested(true);
             r.SetDependOnService({base.GetName()});
         },
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::wstring name = test::UniqueName(L"crashing");
        ServiceRecord& record = Add(name);
        c.setup(*this, record);
        Watch(record, c.state);
        const HANDLE mutex = record.GetServiceMutex();
        ResetEvent(runtime_.stop.ShutdownDoneEvent().Get());

        Crash(record);

        EXPECT_EQ(TerminatedEvents(name), 1u);
        ExpectLetGo(record, mutex);
        EXPECT_EQ(record.GetCrashed(), c.crashed);
        EXPECT_FALSE(record.GetStopRequested());
        const HANDLE delay = record.GetTimer(ServiceTimer::kRestartDelay);
        const HANDLE window = record.GetTimer(ServiceTimer::kResetPeriod);
        if (c.restart) {
            ASSERT_NE(delay, nullptr);
            EXPECT_TRUE(runtime_.waitSet.HasTimer(delay));
            EXPECT_EQ(WaitForSingleObject(delay, 0), static_cast<DWORD>(WAIT_TIMEOUT));
            ASSERT_NE(window, nullptr);
            EXPECT_TRUE(runtime_.waitSet.HasTimer(window));
            EXPECT_TRUE(record.GetResetWindowActive());
            EXPECT_EQ(record.GetRestartsInWindow(), 0u);
            // The service is to come back: nothing that follows a stop runs.
            EXPECT_FALSE(ContinuationRan());
        } else {
            EXPECT_EQ(delay, nullptr);
            EXPECT_EQ(window, nullptr);
            EXPECT_FALSE(record.GetResetWindowActive());
            EXPECT_TRUE(ContinuationRan());
        }
        ExpectOnlyHeldTimersWatched();
        table_.Clear();
        runtime_.waitSet.Clear();
        events_.Clear();
    }
}

TEST_F(ExitHandlingTest, EverySharerOfTheProcessIsAffectedOnce)
{
    ServiceRecord& first = Add(L"sharea", WinServiceType::kShareProcess);
    ServiceRecord& second = Add(L"shareb", WinServiceType::kShareProcess);
    ServiceRecord& other = Add(L"ownproc");
    for (ServiceRecord* record : {&first, &second})
        record->SetBinaryPath(L"C:\\qvxtest\\Shared.exe");
    second.SetBinaryPath(L"c:\\QVXTEST\\shared.EXE");
    Watch(first, ServiceState::kRunning, IdleChild(true));
    Watch(second, ServiceState::kRunning, first.Process());
    Watch(other, ServiceState::kRunning, IdleChild(false));
    const HANDLE firstMutex = first.GetServiceMutex();
    const HANDLE secondMutex = second.GetServiceMutex();

    // The sweep finds the one ended process through both services.
    SweepHostedProcesses(runtime_, true);

    for (ServiceRecord* record : {&first, &second}) {
        SCOPED_TRACE(testing::Message() << record->GetName().c_str());
        EXPECT_EQ(TerminatedEvents(record->GetName()), 1u);
        EXPECT_TRUE(record->GetCrashed());
        ASSERT_NE(record->GetTimer(ServiceTimer::kRestartDelay), nullptr);
        EXPECT_TRUE(runtime_.waitSet.HasTimer(record->GetTimer(ServiceTimer::kRestartDelay)));
    }
    ExpectLetGo(first, firstMutex);
    ExpectLetGo(second, secondMutex);
    EXPECT_EQ(other.GetState(), ServiceState::kRunning);
    EXPECT_TRUE(runtime_.waitSet.HasMutex(other.GetServiceMutex()));
    EXPECT_EQ(TerminatedEvents(L"ownproc"), 0u);
    // A second look finds nothing more to do.
    events_.Clear();
    SweepHostedProcesses(runtime_, true);
    EXPECT_TRUE(events_.Events().empty());
}

TEST_F(ExitHandlingTest, AServiceThatAlwaysDiesIsRestartedCountTimesThenOnceAtTheWindowEnd)
{
    ServiceRecord& record = Add(L"flaky");
    // Each step: what happens, then the launches made so far, the restarts
    // counted in the window and whether a restart is pending.
    struct Step {
        const char* label;
        std::function<void(ExitHandlingTest&, ServiceRecord&)> act;
        size_t launches;
        DWORD restartsInWindow;
        bool restartPending;
    };
    const auto crash = [](ExitHandlingTest& t, ServiceRecord& r) { t.Crash(r); };
    const auto delayEnds = [](ExitHandlingTest& t, ServiceRecord& r) { RestartDelayExpired(t.runtime_, r); };
    const auto windowEnds = [](ExitHandlingTest& t, ServiceRecord& r) { ResetPeriodExpired(t.runtime_, r); };
    const std::vector<Step> steps = {
        {"first crash", crash, 0, 0, true},
        {"first restart", delayEnds, 1, 1, false},
        {"second crash", crash, 1, 1, true},
        {"second restart", delayEnds, 2, 2, false},
        {"third crash: restarts used up", crash, 2, 2, false},
        {"window end: started once more", windowEnds, 3, 1, false},
        {"crash in the new window", crash, 3, 1, true},
        {"restart in the new window", delayEnds, 4, 2, false},
    };
    Watch(record, ServiceState::kRunning);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.label);
        step.act(*this, record);
        EXPECT_EQ(launcher_.launched.size(), step.launches);
        EXPECT_EQ(record.GetRestartsInWindow(), step.restartsInWindow);
        const HANDLE delay = record.GetTimer(ServiceTimer::kRestartDelay);
        EXPECT_EQ(delay != nullptr, step.restartPending);
        EXPECT_TRUE(record.GetResetWindowActive());
        ASSERT_NE(record.GetTimer(ServiceTimer::kResetPeriod), nullptr);
        EXPECT_TRUE(runtime_.waitSet.HasTimer(record.GetTimer(ServiceTimer::kResetPeriod)));
        ExpectOnlyHeldTimersWatched();
    }
}

TEST_F(ExitHandlingTest, WindowEndClosesTheWindowUnlessACrashedServiceIsDue)
{
    struct Case {
        const char* label;
        bool crashed;
        bool running;
        DWORD restartsInWindow;
        bool starts;
    };
    const Case cases[] = {
        {"crashed, its restarts used up", true, false, 2, true},
        {"crashed, one short of its restarts", true, false, 1, true},
        {"crashed with restarts left", true, false, 0, false},
        {"running again", true, true, 2, false},
        {"never crashed", false, false, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ServiceRecord& record = Add(test::UniqueName(L"windowed"));
        ASSERT_TRUE(record.OpenRestartWindow());
        ASSERT_TRUE(CreateResetPeriodTimer(record));
        ASSERT_TRUE(ArmResetPeriodTimer(record));
        const HANDLE window = record.GetTimer(ServiceTimer::kResetPeriod);
        runtime_.waitSet.AddTimer(window);
        record.SetCrashed(c.crashed);
        record.SetRestartsInWindow(c.restartsInWindow);
        if (c.running) {
            ASSERT_TRUE(record.SetServiceState(ServiceState::kRunning));
        }
        launcher_.launched.clear();

        ResetPeriodExpired(runtime_, record);

        EXPECT_EQ(launcher_.launched.size(), c.starts ? 1u : 0u);
        EXPECT_EQ(record.GetResetWindowActive(), c.starts);
        EXPECT_EQ(record.GetRestartsInWindow(), c.starts ? 1u : 0u);
        EXPECT_EQ(record.GetTimer(ServiceTimer::kResetPeriod) != nullptr, c.starts);
        EXPECT_EQ(runtime_.waitSet.HasTimer(window), c.starts);
        table_.Clear();
        runtime_.waitSet.Clear();
    }
}

TEST_F(ExitHandlingTest, StartupAndShutdownTimeOutsEndTheProcessWithProcessAborted)
{
    const struct {
        const char* label;
        ServiceTimer slot;
        void (*expire)(HostRuntime&, ServiceRecord&);
        ServiceState state;
    } cases[] = {
        {"start-up", ServiceTimer::kStartup, &StartupTimeoutExpired, ServiceState::kStartPending},
        {"shutdown", ServiceTimer::kShutdown, &ShutdownTimeoutExpired, ServiceState::kStopPending},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ServiceRecord& record = Add(test::UniqueName(L"slow"));
        const std::shared_ptr<HostedProcess> process = IdleChild(false);
        ASSERT_NE(process, nullptr);
        Watch(record, c.state, process);
        const HANDLE timer = record.GetTimer(c.slot);

        c.expire(runtime_, record);

        EXPECT_EQ(record.GetTimer(c.slot), nullptr);
        EXPECT_FALSE(runtime_.waitSet.HasTimer(timer));
        ASSERT_EQ(WaitForSingleObject(process->ProcessHandle(), kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD exitCode = 0;
        ASSERT_TRUE(GetExitCodeProcess(process->ProcessHandle(), &exitCode));
        EXPECT_EQ(exitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
        // The ended process reaches the termination handling through the sweep.
        SweepHostedProcesses(runtime_, true);
        EXPECT_EQ(TerminatedEvents(record.GetName()), 1u);
        EXPECT_EQ(record.GetTimer(ServiceTimer::kRestartDelay) != nullptr, c.state == ServiceState::kStartPending);
        table_.Clear();
        runtime_.waitSet.Clear();
    }
}

TEST_F(ExitHandlingTest, SweepStopsPendingServicesThatNothingWillFinish)
{
    struct Case {
        const char* label;
        std::function<void(ExitHandlingTest&, ServiceRecord&)> setup;
        bool stopped;
    };
    const std::vector<Case> cases = {
        {"nothing to wait for", [](ExitHandlingTest&, ServiceRecord&) {}, true},
        {"a dependency starting",
         [](ExitHandlingTest& t, ServiceRecord& r) {
             ServiceRecord& base = t.Add(test::UniqueName(L"base"));
             ASSERT_TRUE(base.SetServiceState(ServiceState::kStartPending));
             t.Watch(base, ServiceState::kStopped, IdleChild(false));
             r.SetDependOnService({base.GetName()});
         },
         false},
        {"a dependency stopped", 
         [](ExitHandlingTest& t, ServiceRecord& r) { r.SetDependOnService({t.Add(test::UniqueName(L"base")).GetName()}); },
         true},
        {"waiting for a starting host",
         [](ExitHandlingTest& t, ServiceRecord& r) {
             r.SetServiceType(WinServiceType::kShareProcess);
             ServiceRecord& host = t.Add(test::UniqueName(L"host"), WinServiceType::kShareProcess);
             ASSERT_TRUE(host.SetServiceState(ServiceState::kStartPending));
             t.Watch(host, ServiceState::kStopped, IdleChild(false));
             host.SetWaiters({r.GetName()});
         },
         false},
        {"an own-process service in a starting host's waiters",
         [](ExitHandlingTest& t, ServiceRecord& r) {
             ServiceRecord& host = t.Add(test::UniqueName(L"host"), WinServiceType::kShareProcess);
             ASSERT_TRUE(host.SetServiceState(ServiceState::kStartPending));
             t.Watch(host, ServiceState::kStopped, IdleChild(false));
             host.SetWaiters({r.GetName()});
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ServiceRecord& record = Add(test::UniqueName(L"waiting"));
        c.setup(*this, record);
        ASSERT_TRUE(record.SetServiceState(ServiceState::kStartPending));
        ASSERT_TRUE(CreateShutdownTimer(record));
        const HANDLE shutdown = record.GetTimer(ServiceTimer::kShutdown);
        runtime_.waitSet.AddTimer(shutdown);

        SweepHostedProcesses(runtime_, true);

        EXPECT_EQ(record.GetState(), c.stopped ? ServiceState::kStopped : ServiceState::kStartPending);
        EXPECT_EQ(record.GetTimer(ServiceTimer::kShutdown) == nullptr, c.stopped);
        EXPECT_EQ(runtime_.waitSet.HasTimer(shutdown), !c.stopped);
        EXPECT_TRUE(events_.Events().empty());
        table_.Clear();
        runtime_.waitSet.Clear();
    }
}

TEST_F(ExitHandlingTest, RestartCountWithTheTopBitSetAllowsNoRestartAndLeavesNoWindow)
{
    for (DWORD count : {0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(testing::Message() << "RestartCount " << count);
        ServiceRecord& record = Add(test::UniqueName(L"negative"));
        record.SetRestartCount(count);
        Watch(record, ServiceState::kRunning);
        ResetEvent(runtime_.stop.ShutdownDoneEvent().Get());

        Crash(record);

        EXPECT_FALSE(record.GetCrashed());
        EXPECT_FALSE(record.GetResetWindowActive());
        EXPECT_EQ(record.GetTimer(ServiceTimer::kRestartDelay), nullptr);
        EXPECT_EQ(record.GetTimer(ServiceTimer::kResetPeriod), nullptr);
        EXPECT_TRUE(runtime_.waitSet.Timers().empty());
        EXPECT_TRUE(ContinuationRan());
        table_.Clear();
        runtime_.waitSet.Clear();
    }
}

TEST_F(ExitHandlingTest, AServiceDisabledOrStoppedByAUserWhileItsRestartWaitedIsNotStarted)
{
    struct Case {
        const char* label;
        WinServiceType type;
        void (*change)(ServiceRecord&);
        void (*expire)(HostRuntime&, ServiceRecord&);
    };
    const Case cases[] = {
        {"disabled, restart delay", WinServiceType::kOwnProcess, [](ServiceRecord& r) { r.SetDisabled(true); },
         &RestartDelayExpired},
        {"disabled share-process service, restart delay", WinServiceType::kShareProcess,
         [](ServiceRecord& r) { r.SetDisabled(true); }, &RestartDelayExpired},
        {"stopped by a user, restart delay", WinServiceType::kOwnProcess,
         [](ServiceRecord& r) { r.SetUserStopped(true); }, &RestartDelayExpired},
        {"disabled, window end", WinServiceType::kShareProcess, [](ServiceRecord& r) { r.SetDisabled(true); },
         &ResetPeriodExpired},
        {"stopped by a user, window end", WinServiceType::kOwnProcess,
         [](ServiceRecord& r) { r.SetUserStopped(true); }, &ResetPeriodExpired},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ServiceRecord& record = Add(test::UniqueName(L"held"), c.type);
        record.SetRestartCount(1);
        Watch(record, ServiceState::kRunning);
        Crash(record);
        ASSERT_NE(record.GetTimer(ServiceTimer::kRestartDelay), nullptr);
        const bool atWindowEnd = c.expire == &ResetPeriodExpired;
        // The window ends with the restarts used up; a delay ends with one left.
        record.SetRestartsInWindow(atWindowEnd ? 1 : 0);
        c.change(record);
        launcher_.launched.clear();

        c.expire(runtime_, record);

        EXPECT_TRUE(launcher_.launched.empty());
        EXPECT_EQ(record.GetState(), ServiceState::kStopped);
        EXPECT_FALSE(record.GetCrashed());
        if (!atWindowEnd) {
            EXPECT_EQ(record.GetTimer(ServiceTimer::kRestartDelay), nullptr);
        }
        ExpectOnlyHeldTimersWatched();
        // Nothing restarts it later either.
        if (HANDLE window = record.GetTimer(ServiceTimer::kResetPeriod)) {
            ResetPeriodExpired(runtime_, record);
            EXPECT_TRUE(launcher_.launched.empty());
            EXPECT_FALSE(record.GetResetWindowActive());
            EXPECT_FALSE(runtime_.waitSet.HasTimer(window));
        }
        table_.Clear();
        runtime_.waitSet.Clear();
    }
}

TEST_F(ExitHandlingTest, EndedProcessOfAServiceWithoutAMutexIsHandledForThatServiceOnly)
{
    // A stopped service holds no mutex either: it comes first, where a look-up
    // by an empty mutex would find it.
    ServiceRecord& idle = Add(L"idlestopped");
    idle.SetResetPeriod(0);
    ServiceRecord& ended = Add(L"endednomutex");
    ASSERT_TRUE(ended.SetServiceState(ServiceState::kRunning));
    const std::shared_ptr<HostedProcess> process = IdleChild(true);
    ASSERT_NE(process, nullptr);
    ended.AttachProcess(process);

    SweepHostedProcesses(runtime_, true);

    EXPECT_EQ(TerminatedEvents(L"idlestopped"), 0u);
    EXPECT_FALSE(idle.GetCrashed());
    EXPECT_EQ(TerminatedEvents(L"endednomutex"), 1u);
    EXPECT_EQ(ended.GetState(), ServiceState::kStopped);
    EXPECT_EQ(ended.Process(), nullptr);
    EXPECT_NE(ended.GetTimer(ServiceTimer::kRestartDelay), nullptr);
    // An empty mutex names no service.
    events_.Clear();
    HandleServiceTermination(runtime_, nullptr);
    EXPECT_TRUE(events_.Events().empty());
}

TEST_F(ExitHandlingTest, SweepWithFalseOnlyWakesTheMonitor)
{
    ServiceRecord& record = Add(L"orphan");
    ASSERT_TRUE(record.SetServiceState(ServiceState::kStartPending));
    ResetEvent(runtime_.waitSet.WakeEvent());

    SweepHostedProcesses(runtime_, false);

    EXPECT_EQ(WaitForSingleObject(runtime_.waitSet.WakeEvent(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(record.GetState(), ServiceState::kStartPending);
}

} // namespace
} // namespace qvx
