#include "host/monitor_thread.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "host/boot_markers.h"
#include "runtime/host_runtime.h"
#include "model/handle_release.h"
#include "model/life_cycle_record.h"
#include "model/service_table.h"
#include "platform/diagnostic_block.h"
#include "platform/locks.h"
#include "tests/monitor/monitor_doubles.h"
#include "tests/support/child_process.h"
#include "tests/support/test_service_key.h"
#include "tests/support/trace_capture.h"
#include "tests/support/unique_name.h"

#include "host/management_service.h"

namespace qvx {
namespace {

bool IsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

uint32_t HandleWord(HANDLE handle)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

// Runs ServiceMonThreadProc for real on a private table with its own
// events, a published diagnostic block and a private service key; the
// engine calls go to EngineDouble.
class MonitorThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PublishDiagnosticBlock(&diagnostic_);
        ASSERT_TRUE(runtime_.stop.CreateRunEvents());
        shutdown_ = runtime_.stop.ShutdownEvent().Get();
        monitorStop_ = runtime_.stop.MonitorStopEvent().Get();
        shutdownDone_ = runtime_.stop.ShutdownDoneEvent().Get();
        runtime_.PublishTable(&table_);
    }

    void TearDown() override
    {
        StopMonitor();
        PublishDiagnosticBlock(nullptr);
    }

    // Starts the monitor as the management service does: with the wait set
    // as the handle release while it runs.
    void StartMonitor()
    {
        start_ = {&table_, shutdown_, monitorStop_, waitSet_.WakeEvent(), 3, &service_, shutdownDone_};
        InstallHandleRelease(&waitSet_);
        thread_.Reset(CreateThread(nullptr, 0, ServiceMonThreadProc, &start_, 0, nullptr));
        ASSERT_TRUE(thread_);
        ASSERT_TRUE(test::WaitUntil([&] { return engine_.sweeps.load() > 0; })) << "the monitor reaches its loop";
    }

    // Sets the monitor stop event and returns the thread's exit code; the
    // handle release goes back to the default and the deferred closes are
    // done, as the management service does once the monitor has ended.
    DWORD StopMonitor()
    {
        if (!thread_)
            return STILL_ACTIVE;
        SetEvent(monitorStop_);
        EXPECT_EQ(WaitForSingleObject(thread_.Get(), 10000), WAIT_OBJECT_0);
        DWORD exitCode = STILL_ACTIVE;
        GetExitCodeThread(thread_.Get(), &exitCode);
        thread_.Reset();
        InstallHandleRelease(nullptr);
        waitSet_.CloseDeferred();
        return exitCode;
    }

    // Returns once the monitor has gone round its loop after this call: what
    // it was handling when Settle began is done. A wake that lands while the
    // monitor is still handling a result is reset before its next sweep, so
    // it wakes it again until it comes round.
    void Settle()
    {
        const int before = engine_.sweeps.load();
        ASSERT_TRUE(test::WaitUntil([&] {
            if (engine_.sweeps.load() > before)
                return true;
            waitSet_.Wake();
            return false;
        }));
    }

    ServiceRecord* AddRunningService(const wchar_t* name)
    {
        auto record = std::make_unique<ServiceRecord>();
        record->SetName(name);
        record->SetServiceState(ServiceState::kRunning);
        ServiceRecord* raw = record.get();
        EXPECT_TRUE(table_.Add(record));
        return raw;
    }

    bool MonitorTracedError() const
    {
        for (const trace::Record& record : traces_.Records()) {
            if (record.level == trace::kError && std::string(record.file) == "monitor_thread.cpp")
                return true;
        }
        return false;
    }

    test::TestServiceKey key_;
    test::EngineDouble engine_;
    test::TraceCapture traces_;
    DiagnosticBlock diagnostic_{};
    ManagementService service_;
    ServiceTable& table_ = service_.table;
    HostRuntime& runtime_ = service_.runtime;
    MonitorWaitSet& waitSet_ = runtime_.waitSet;
    // The run's events, created in SetUp.
    HANDLE shutdown_ = nullptr;
    HANDLE monitorStop_ = nullptr;
    HANDLE shutdownDone_ = nullptr;
    MonitorStartBlock start_{};
    KernelHandle thread_;
};

TEST_F(MonitorThreadTest, StartBlockMissingOrWithAWrongEventCountEndsAtOnce)
{
    struct Case {
        const char* name;
        bool withBlock;
        DWORD eventCount;
    };
    const Case cases[] = {{"no start block", false, 3}, {"two events", true, 2}, {"four events", true, 4}};
    for (const Case& c : cases) {
        memset(&diagnostic_, 0xCC, sizeof(diagnostic_));
        MonitorStartBlock block = {&table_, shutdown_, monitorStop_, waitSet_.WakeEvent(),
                                   c.eventCount, &service_, shutdownDone_};
        EXPECT_EQ(ServiceMonThreadProc(c.withBlock ? &block : nullptr), 0xFFFFFFFFu) << c.name;
        EXPECT_EQ(diagnostic_.allOnes, 0u) << c.name << ": the block is zeroed first";
        EXPECT_EQ(engine_.sweeps.load(), 0) << c.name;
    }
    EXPECT_TRUE(MonitorTracedError());
}

TEST_F(MonitorThreadTest, ReleasedMutexStopsTheServiceAndAbandonedOneGoesToTerminationHandling)
{
    const std::wstring mode = test::ChildMode();
    if (mode.rfind(L"own:", 0) == 0) {
        // The child takes both mutexes, gives one back and ends owning the other.
        const size_t split = mode.find(L'|');
        HANDLE crashed = CreateMutexW(nullptr, FALSE, mode.substr(4, split - 4).c_str());
        HANDLE clean = CreateMutexW(nullptr, FALSE, mode.substr(split + 1).c_str());
        WaitForSingleObject(crashed, 5000);
        WaitForSingleObject(clean, 5000);
        ReleaseMutex(clean);
        return;
    }
    const std::wstring crashedName = test::UniqueName(L"qvxmon-crashed");
    const std::wstring cleanName = test::UniqueName(L"qvxmon-clean");
    ServiceRecord* crashed = AddRunningService(L"crashed");
    ServiceRecord* clean = AddRunningService(L"clean");
    crashed->SetServiceMutex(CreateMutexW(nullptr, FALSE, crashedName.c_str()));
    clean->SetServiceMutex(CreateMutexW(nullptr, FALSE, cleanName.c_str()));
    const HANDLE crashedMutex = crashed->GetServiceMutex();
    const HANDLE cleanMutex = clean->GetServiceMutex();
    clean->SetTimer(ServiceTimer::kStartup, CreateWaitableTimerW(nullptr, TRUE, nullptr));
    clean->SetTimer(ServiceTimer::kShutdown, CreateWaitableTimerW(nullptr, TRUE, nullptr));
    const HANDLE startupTimer = clean->GetTimer(ServiceTimer::kStartup);
    const HANDLE shutdownTimer = clean->GetTimer(ServiceTimer::kShutdown);

    test::ChildResult child = test::RunChild(
        L"MonitorThreadTest.ReleasedMutexStopsTheServiceAndAbandonedOneGoesToTerminationHandling",
        L"own:" + crashedName + L"|" + cleanName);
    ASSERT_TRUE(child.finished) << child.output;

    StartMonitor();
    MonitorWaitSet& waitSet = waitSet_;
    waitSet.AddTimer(startupTimer);
    waitSet.AddTimer(shutdownTimer);
    waitSet.AddMutex(crashedMutex);
    waitSet.AddMutex(cleanMutex);

    ASSERT_EQ(WaitForSingleObject(engine_.terminated.Get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(engine_.Terminations(), std::vector<HANDLE>{crashedMutex});
    ASSERT_TRUE(test::WaitUntil([&] { return clean->GetState() == ServiceState::kStopped; }));
    Settle();

    EXPECT_EQ(crashed->GetState(), ServiceState::kRunning) << "the crash is left to the termination handling";
    EXPECT_EQ(crashed->GetServiceMutex(), crashedMutex);
    EXPECT_EQ(WaitForSingleObject(crashedMutex, 0), WAIT_OBJECT_0) << "the monitor gave the abandoned mutex back";
    ReleaseMutex(crashedMutex);
    EXPECT_EQ(clean->GetServiceMutex(), nullptr);
    EXPECT_EQ(clean->GetTimer(ServiceTimer::kStartup), nullptr);
    EXPECT_EQ(clean->GetTimer(ServiceTimer::kShutdown), nullptr);
    EXPECT_FALSE(waitSet.HasMutex(cleanMutex));
    EXPECT_FALSE(waitSet.HasMutex(crashedMutex));
    EXPECT_FALSE(waitSet.HasTimer(startupTimer));
    EXPECT_FALSE(waitSet.HasTimer(shutdownTimer));
    EXPECT_FALSE(IsOpen(cleanMutex)) << "the released mutex went through the deferred close";
    EXPECT_FALSE(IsOpen(startupTimer));
    EXPECT_FALSE(MonitorTracedError()) << traces_.Dump();
}

TEST_F(MonitorThreadTest, ReleasedMutexThatNoServiceOwnsIsOnlyTraced)
{
    StartMonitor();
    KernelHandle orphan(CreateMutexW(nullptr, FALSE, nullptr));
    waitSet_.AddMutex(orphan.Get());
    ASSERT_TRUE(test::WaitUntil([&] { return !waitSet_.HasMutex(orphan.Get()); }));
    Settle();
    EXPECT_TRUE(traces_.Contains(trace::kWarning, L"no hosted service owns the released mutex")) << traces_.Dump();
    EXPECT_EQ(WaitForSingleObject(orphan.Get(), 0), WAIT_OBJECT_0) << "the monitor gave the mutex back";
    ReleaseMutex(orphan.Get());
    EXPECT_FALSE(MonitorTracedError()) << traces_.Dump();
}

TEST_F(MonitorThreadTest, VacantMutexEntryLeavesTheList)
{
    StartMonitor();
    waitSet_.AddMutex(INVALID_HANDLE_VALUE);
    ASSERT_TRUE(test::WaitUntil([&] { return !waitSet_.HasMutex(INVALID_HANDLE_VALUE); }));
    Settle();
    EXPECT_EQ(diagnostic_.handleCount, 3u);
    EXPECT_FALSE(MonitorTracedError()) << traces_.Dump();
}

// A request that reaches the dispatcher while the monitor sweeps wakes it
// for another sweep; that wake may not be swallowed on the way to the wait.
TEST_F(MonitorThreadTest, WakeDuringTheSweepBringsAnotherSweep)
{
    engine_.onSweep = [this](int sweep) {
        if (sweep == 1)
            waitSet_.Wake();
    };
    StartMonitor();
    EXPECT_TRUE(test::WaitUntil([&] { return engine_.sweeps.load() >= 2; }, 5000))
        << "the monitor waits on with a wake-up pending";
}

TEST_F(MonitorThreadTest, SignalledTimersReachTheirHandlers)
{
    ServiceRecord* first = AddRunningService(L"first");
    ServiceRecord* second = AddRunningService(L"second");
    for (ServiceTimer slot :
         {ServiceTimer::kResetPeriod, ServiceTimer::kRestartDelay, ServiceTimer::kShutdown, ServiceTimer::kStartup}) {
        first->SetTimer(slot, CreateEventW(nullptr, TRUE, FALSE, nullptr));
        second->SetTimer(slot, CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    // The wave timer is the runtime's and closed by the monitor at its end.
    HANDLE waveTimer = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    engine_.onStartupDecision = [&](ManagementService& service) {
        service.runtime.waveTimer.Arm(service.runtime.waitSet, waveTimer);
    };
    StartMonitor();

    struct Case {
        HANDLE handle;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {second->GetTimer(ServiceTimer::kResetPeriod), L"ResetPeriodExpired second"},
        {first->GetTimer(ServiceTimer::kRestartDelay), L"RestartDelayExpired first"},
        {second->GetTimer(ServiceTimer::kShutdown), L"ShutdownTimeoutExpired second"},
        {first->GetTimer(ServiceTimer::kStartup), L"StartupTimeoutExpired first"},
        {waveTimer, L"WaveTimerExpired"},
    };
    MonitorWaitSet& waitSet = waitSet_;
    for (const Case& c : cases)
        waitSet.AddTimer(c.handle);
    Settle();
    for (const Case& c : cases) {
        SetEvent(c.handle);
        ASSERT_EQ(WaitForSingleObject(engine_.timerHandled.Get(), 10000), WAIT_OBJECT_0) << c.expected;
        ASSERT_FALSE(engine_.TimerCalls().empty());
        EXPECT_EQ(engine_.TimerCalls().back(), c.expected);
    }
    EXPECT_EQ(engine_.TimerCalls().size(), std::size(cases));
    EXPECT_EQ(StopMonitor(), 0u);
    EXPECT_EQ(runtime_.waveTimer.Get(), nullptr) << "the monitor closes the wave timer when it ends";
    EXPECT_FALSE(waitSet.HasTimer(waveTimer));
    EXPECT_FALSE(IsOpen(waveTimer));
    EXPECT_FALSE(MonitorTracedError()) << traces_.Dump();
}

TEST_F(MonitorThreadTest, TimerRemovedAfterTheArrayWasBuiltIsToleratedWithoutAnError)
{
    StartMonitor();
    KernelHandle timer(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    MonitorWaitSet& waitSet = waitSet_;
    {
        // The monitor wakes on the signalled handle and then waits for the
        // table to look for its owner; meanwhile the handle leaves the list.
        TableLock hold(table_.Lock(), TableLockMode::Exclusive);
        waitSet.AddTimer(timer.Get());
        ASSERT_TRUE(test::WaitUntil([&] {
            return diagnostic_.handleCount == 4 && diagnostic_.handles[3] == HandleWord(timer.Get());
        }));
        waitSet.RemoveTimer(timer.Get());
    }
    Settle();
    EXPECT_TRUE(traces_.Contains(trace::kInfo, L"a timer released after the wait began fired")) << traces_.Dump();
    EXPECT_FALSE(MonitorTracedError()) << traces_.Dump();
    EXPECT_EQ(diagnostic_.failureCode, 0u);
}

TEST_F(MonitorThreadTest, LowThenHighMemoryTogglesTheBitAndTheWatchedNotification)
{
    // The notifications are the management service's, which closes them.
    service_.lowMemoryNotification.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    service_.highMemoryNotification.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const KernelHandle& low = service_.lowMemoryNotification;
    const KernelHandle& high = service_.highMemoryNotification;
    MonitorWaitSet& waitSet = waitSet_;
    runtime_.conditions.word.store(POWERPROFILE_BATTERY);
    StartMonitor();
    EXPECT_TRUE(waitSet.HasTimer(low.Get()));
    EXPECT_FALSE(waitSet.HasTimer(high.Get()));

    SetEvent(low.Get());
    ASSERT_EQ(WaitForSingleObject(engine_.powerCalled.Get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(runtime_.conditions.word.load(), uint32_t{POWERPROFILE_BATTERY | POWERPROFILE_LOWMEMORY});
    EXPECT_FALSE(engine_.lastStartAllowed.load());
    EXPECT_FALSE(waitSet.HasTimer(low.Get()));
    EXPECT_TRUE(waitSet.HasTimer(high.Get()));
    ResetEvent(low.Get());

    SetEvent(high.Get());
    ASSERT_EQ(WaitForSingleObject(engine_.powerCalled.Get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(runtime_.conditions.word.load(), uint32_t{POWERPROFILE_BATTERY});
    EXPECT_TRUE(waitSet.HasTimer(low.Get()));
    EXPECT_FALSE(waitSet.HasTimer(high.Get()));
    ResetEvent(high.Get());
    EXPECT_EQ(engine_.powerCalls.load(), 2);

    // Low memory already known (start-up found it): no change, no power pass.
    runtime_.conditions.word.fetch_or(POWERPROFILE_LOWMEMORY);
    SetEvent(low.Get());
    ASSERT_TRUE(test::WaitUntil([&] { return waitSet.HasTimer(high.Get()); }));
    Settle();
    EXPECT_EQ(engine_.powerCalls.load(), 2);
    ResetEvent(low.Get());

    EXPECT_EQ(StopMonitor(), 0u);
    EXPECT_FALSE(waitSet.HasTimer(high.Get())) << "the notifications leave the list with the monitor";
}

TEST_F(MonitorThreadTest, ShutdownBroadcastsAndSignalsOnceEveryServiceStopped)
{
    ServiceRecord* running = AddRunningService(L"running");
    ServiceRecord* stopped = AddRunningService(L"stopped");
    stopped->SetServiceState(ServiceState::kStopped);
    CheckAllServicesStopped(runtime_);
    StartMonitor();
    CheckAllServicesStopped(runtime_);
    EXPECT_EQ(WaitForSingleObject(shutdownDone_, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "not shutting down: never signalled";

    SetEvent(shutdown_);
    ASSERT_TRUE(test::WaitUntil([&] { return engine_.broadcasts.load() == 1; }));
    EXPECT_EQ(runtime_.stop.shuttingDown.load(), 1u);
    Settle();
    EXPECT_EQ(WaitForSingleObject(shutdownDone_, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "one service still runs";

    running->SetServiceState(ServiceState::kPostShutdownPending);
    CheckAllServicesStopped(runtime_);
    EXPECT_EQ(WaitForSingleObject(shutdownDone_, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    running->SetServiceState(ServiceState::kPostShutdown);
    CheckAllServicesStopped(runtime_);
    EXPECT_EQ(WaitForSingleObject(shutdownDone_, 0), WAIT_OBJECT_0);
}

TEST_F(MonitorThreadTest, AMarkerThatCannotBeDeletedAtTheEndIsTracedOnceWhereItFailed)
{
    StartMonitor();
    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, key_.Path().c_str()), ERROR_SUCCESS);
    EXPECT_EQ(StopMonitor(), 0u);
    EXPECT_TRUE(traces_.Contains(trace::kWarning, L"service key cannot be opened for the markers")) << traces_.Dump();
    EXPECT_FALSE(MonitorTracedError()) << traces_.Dump();
}

TEST_F(MonitorThreadTest, StopEventEndsTheThreadCleanly)
{
    PipeServerList& servers = *service_.pipeServers;
    CreatePipeServers(servers, (L"\\\\.\\pipe\\" + test::UniqueName(L"qvxmon")).c_str(), 2);
    service_.pipeStopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    test::FakeIpHelper ipHelper;
    ipHelper.adapters = {{IF_TYPE_SOFTWARE_LOOPBACK, IfOperStatusUp}};
    ASSERT_TRUE(CreateDirtyExitMarker());

    StartMonitor();
    for (const auto& server : servers)
        EXPECT_TRUE(server->IsRunning());
    EXPECT_EQ(runtime_.conditions.word.load() & POWERPROFILE_NOTNETWORK, uint32_t{POWERPROFILE_NOTNETWORK})
        << "no adapter up at start: the initial notification sets the bit";

    // While the monitor runs a released timer leaves the lists at once and
    // is closed before the next wait.
    HANDLE timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    waitSet_.AddTimer(timer);
    CurrentHandleRelease().ReleaseTimer(timer);
    EXPECT_FALSE(waitSet_.HasTimer(timer));
    ASSERT_TRUE(test::WaitUntil([&] { return !IsOpen(timer); }));

    EXPECT_EQ(StopMonitor(), 0u);
    for (const auto& server : servers)
        EXPECT_FALSE(server->IsRunning());
    EXPECT_EQ(ipHelper.cancelled, test::FakeIpHelper::kRegistration);
    EXPECT_FALSE(IsDirtyExitMarkerPresent()) << "a clean end deletes the dirty-exit marker";
    LifeCycleRecord record(nullptr);
    record.Load();
    EXPECT_NE(record.StopTime, 0u) << "the stop is recorded";

    // The default release is back: a released timer is closed at once.
    HANDLE after = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    CurrentHandleRelease().ReleaseTimer(after);
    EXPECT_FALSE(IsOpen(after));
    EXPECT_EQ(waitSet_.DeferredCount(), 0u);
}

// Fatal paths run in a child, which prints the diagnostic block when the
// monitor aborts the process.
DiagnosticBlock* g_childBlock = nullptr;
test::TraceCapture* g_childTraces = nullptr;
HANDLE g_childHandle = nullptr;

void PrintBlockOnAbort(int)
{
    const DiagnosticBlock& b = *g_childBlock;
    int errors = 0;
    for (const trace::Record& record : g_childTraces->Records()) {
        if (record.level == trace::kError && record.text.find(L"ERROR: ServiceMonThreadProc") != std::wstring::npos)
            ++errors;
    }
    printf("BLOCK code=%08X result=%08X lastError=%u handleIsOurs=%d index=%u count=%u allOnes=%08X errors=%d "
           "tooMany=%d text=[%s]\n",
           b.failureCode, b.result, b.lastError, g_childHandle && b.handle == HandleWord(g_childHandle) ? 1 : 0,
           b.index, b.handleCount, b.allOnes, errors,
           g_childTraces->Contains(trace::kError, L"more handles to wait on than the system allows") ? 1 : 0, b.text);
    fflush(stdout);
}

class MonitorThreadFatalTest : public MonitorThreadTest {
protected:
    void PrepareChildForAbort()
    {
        g_childBlock = &diagnostic_;
        g_childTraces = &traces_;
        signal(SIGABRT, PrintBlockOnAbort);
    }
};

TEST_F(MonitorThreadFatalTest, UnrecoverableWaitsEndTheProcessWithTheBlockFilled)
{
    const std::wstring mode = test::ChildMode();
    if (!mode.empty()) {
        PrepareChildForAbort();
        StartMonitor();
        Settle(); // one wait is on record
        MonitorWaitSet& waitSet = waitSet_;
        if (mode == L"too-many") {
            MonitorWaitSet::Guard hold(waitSet);
            for (int i = 0; i < 62; ++i)
                waitSet.AddMutex(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        } else if (mode == L"wait-failed") {
            HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            CloseHandle(closed);
            waitSet.AddMutex(closed);
        } else if (mode == L"abandoned-timer") {
            // A mutex in the timer list whose owner thread ended without
            // releasing it.
            g_childHandle = CreateMutexW(nullptr, FALSE, nullptr);
            HANDLE owner = CreateThread(
                nullptr, 0, [](void*) -> DWORD { return WaitForSingleObject(g_childHandle, 5000); }, nullptr, 0,
                nullptr);
            WaitForSingleObject(owner, 5000);
            CloseHandle(owner);
            waitSet.AddTimer(g_childHandle);
        } else if (mode == L"unknown-timer") {
            g_childHandle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
            waitSet.AddTimer(g_childHandle);
        }
        Sleep(10000);
        printf("survived\n");
        return;
    }

    struct Case {
        const wchar_t* mode;
        std::vector<const char*> expected;
    };
    const Case cases[] = {
        {L"too-many", {"code=00000000 ", "count=3 allOnes=FFFFFFFF errors=0 tooMany=1 text=[]"}},
        {L"wait-failed",
         {"code=0A0A0A03 result=FFFFFFFF lastError=6 handleIsOurs=0 index=0 count=4 allOnes=FFFFFFFF errors=4 ",
          "text=[ERROR: ServiceMonThreadProc: WaitForMultipleObjects return WAIT_FAILED value!]"}},
        {L"abandoned-timer",
         {"code=0A0A0A01 result=00000083 ", "handleIsOurs=1 index=3 count=4 allOnes=FFFFFFFF errors=0 ",
          "text=[ERROR: ServiceMonThreadProc: WaitForMultipleObjects return WAIT_ABANDONED_0 abandoned mutex object!]"}},
        {L"unknown-timer",
         {"code=0A0A0A04 result=00000003 ", "handleIsOurs=1 index=3 count=4 allOnes=FFFFFFFF errors=4 ",
          "text=[ERROR: ServiceMonThreadProc: WaitForMultipleObjects return unknown timer handle!]"}},
    };
    for (const Case& c : cases) {
        test::ChildResult child =
            test::RunChild(L"MonitorThreadFatalTest.UnrecoverableWaitsEndTheProcessWithTheBlockFilled", c.mode);
        ASSERT_TRUE(child.finished);
        EXPECT_EQ(child.exitCode, 3u) << child.output;
        EXPECT_EQ(child.output.find("survived"), std::string::npos) << child.output;
        for (const char* expected : c.expected)
            EXPECT_NE(child.output.find(expected), std::string::npos) << expected << "\n" << child.output;
    }
}

} // namespace
} // namespace qvx
