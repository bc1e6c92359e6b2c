#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/engine_calls.h"
#include "engine/listener_operations.h"
#include "engine/listener_pipe.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/table_lock.h"
#include "platform/handles.h"
#include "runtime/host_runtime.h"
#include "tests/engine/test_listener.h"
#include "tests/support/child_process.h"
#include "tests/support/trace_capture.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

using test::Messages;
using test::TestListener;

constexpr DWORD kWaitMs = test::kListenerWaitMs;

// A pipe name that no server serves: the service's process is gone.
std::wstring GonePipe()
{
    return test::UniqueName(L"\\\\.\\pipe\\qvxtest-gone");
}

struct ServiceDraft {
    const wchar_t* name;
    ServiceState state = ServiceState::kRunning;
    std::wstring pipe = GonePipe();
    std::vector<std::wstring> dependOn = {};
    DWORD powerProfile = POWERPROFILE_NORMAL;
};

// A private table with its own lock, published in a runtime of its own.
class ListenerOperationsTest : public testing::Test {
protected:
    ListenerOperationsTest() { runtime_.PublishTable(&table_); }
    ~ListenerOperationsTest() override { runtime_.PublishTable(nullptr); }

    ServiceRecord* Add(const ServiceDraft& draft)
    {
        auto record = std::make_unique<ServiceRecord>();
        record->SetName(draft.name);
        record->SetBinaryPath(std::wstring(L"C:\\svc\\") + draft.name + L".exe");
        record->SetListenerPipeName(draft.pipe);
        record->SetDependOnService(draft.dependOn);
        record->SetPowerProfile(draft.powerProfile);
        record->SetStartupProfile(StartupProfile::kNormal);
        Enter(*record, draft.state);
        ServiceRecord* raw = record.get();
        EXPECT_TRUE(table_.Add(record));
        return raw;
    }

    // Leads a record into a state through the changes the record allows.
    static void Enter(ServiceRecord& record, ServiceState state)
    {
        if (state == ServiceState::kStopped)
            return;
        if (state == ServiceState::kStopPending || state == ServiceState::kPostShutdownPending) {
            ASSERT_TRUE(record.SetServiceState(ServiceState::kRunning));
        }
        ASSERT_TRUE(record.SetServiceState(state));
    }

    // The runtime is declared first so that the table, whose records close
    // the timers the wait set lists, goes before it.
    HostRuntime runtime_;
    RecursiveTableLock lock_;
    ServiceTable table_{lock_};
};

TEST_F(ListenerOperationsTest, ForwardedControlsReachEveryRunningServiceOnly)
{
    const unsigned char fourBytes[] = {0x01, 0x02, 0x03, 0x04};
    struct Case {
        const char* name;
        const void* data;
        DWORD size;
        std::wstring expected;
    };
    const Case cases[] = {
        {"without data", nullptr, 0, L"SERVICE_CONTROL_QVX_MISC,on,13,32787,0,0"},
        {"four bytes of data", fourBytes, 4, L"SERVICE_CONTROL_QVX_MISC,on,13,32787,8,AQIDBA=="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        table_.Clear();
        TestListener running;
        TestListener stopped;
        // An unreachable service first: its failure does not end the loop.
        Add({L"gone"});
        Add({L"on", ServiceState::kRunning, running.Name()});
        Add({L"off", ServiceState::kStopped, stopped.Name()});

        BroadcastServiceControl(runtime_, 13, 32787, c.data, c.size);

        EXPECT_EQ(running.SentBefore(), Messages{c.expected});
        EXPECT_EQ(stopped.SentBefore(), Messages{});
    }
}

TEST_F(ListenerOperationsTest, BroadcastDoesNotKeepATableWriterWaitingBehindItsPost)
{
    TestListener::Options options;
    options.holdUntilReleased = true;
    TestListener slow(options);
    Add({L"slow", ServiceState::kRunning, slow.Name()});

    std::thread broadcast([&] { BroadcastServiceControl(runtime_, 13, 32787, nullptr, 0); });
    // The post is under way once the service has its client; it cannot end
    // before the service reads.
    ASSERT_EQ(WaitForSingleObject(slow.Connected(), kWaitMs), WAIT_OBJECT_0);

    KernelHandle writerIn(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread writer([&] {
        TableLock guard(lock_, TableLockMode::Exclusive);
        SetEvent(writerIn.Get());
    });
    // Without a bound here a writer held up by the post would get in only
    // after the post's time-out; the message would then never arrive.
    EXPECT_EQ(WaitForSingleObject(writerIn.Get(), INFINITE), WAIT_OBJECT_0);
    slow.Release();
    writer.join();
    broadcast.join();
    EXPECT_TRUE(slow.WaitForMessages(1));
    EXPECT_EQ(slow.Received(), Messages{L"SERVICE_CONTROL_QVX_MISC,slow,13,32787,0,0"});
}

TEST_F(ListenerOperationsTest, StopControl)
{
    struct Case {
        const char* name;
        ServiceState state;
        bool reachable;
        DWORD control;
        DWORD result;
        bool sent;
        ServiceState stateAfter;
        bool stopRequestedAfter;
    };
    const Case cases[] = {
        {"running", ServiceState::kRunning, true, SERVICE_CONTROL_STOP, 0, true, ServiceState::kStopPending, true},
        {"stopped", ServiceState::kStopped, true, SERVICE_CONTROL_STOP, 0, false, ServiceState::kStopped, false},
        {"stopping", ServiceState::kStopPending, true, SERVICE_CONTROL_STOP, 0, false, ServiceState::kStopPending,
         true},
        {"another control", ServiceState::kRunning, true, SERVICE_CONTROL_PAUSE, ERROR_INVALID_PARAMETER, false,
         ServiceState::kRunning, true},
        {"pipe gone", ServiceState::kRunning, false, SERVICE_CONTROL_STOP, ERROR_FILE_NOT_FOUND, false,
         ServiceState::kRunning, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        table_.Clear();
        TestListener listener;
        ServiceRecord* record = Add({L"svc", c.state, c.reachable ? listener.Name() : GonePipe()});
        record->SetStopRequested(true);

        EXPECT_EQ(SendServiceControl(runtime_, *record, c.control), c.result);

        EXPECT_EQ(record->GetState(), c.stateAfter);
        EXPECT_EQ(record->GetStopRequested(), c.stopRequestedAfter);
        const Messages sent = c.sent ? Messages{L"SERVICE_CONTROL_STOP,svc"} : Messages{};
        EXPECT_EQ(listener.SentBefore(), sent);
        HANDLE timer = record->GetTimer(ServiceTimer::kShutdown);
        EXPECT_EQ(timer != nullptr, c.sent);
        EXPECT_EQ(runtime_.waitSet.HasTimer(timer), c.sent);
    }
}

TEST_F(ListenerOperationsTest, StopControlArmsTheShutdownTimerForTheServicesTimeout)
{
    struct Case {
        const char* name;
        DWORD shutdownTimeout;
        DWORD waitResult;
    };
    // A time-out of 0 fires at once, one of 30 seconds not within a moment:
    // the timer runs for the record's own time-out.
    const Case cases[] = {
        {"no time-out", 0, WAIT_OBJECT_0},
        {"thirty seconds", 30, WAIT_TIMEOUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        table_.Clear();
        TestListener listener;
        ServiceRecord* record = Add({L"svc", ServiceState::kRunning, listener.Name()});
        record->SetShutdownTimeout(c.shutdownTimeout);

        ASSERT_EQ(SendServiceControl(runtime_, *record, SERVICE_CONTROL_STOP), 0u);

        HANDLE timer = record->GetTimer(ServiceTimer::kShutdown);
        ASSERT_NE(timer, nullptr);
        EXPECT_EQ(WaitForSingleObject(timer, c.waitResult == WAIT_OBJECT_0 ? kWaitMs : 200), c.waitResult);
    }
}

TEST_F(ListenerOperationsTest, StopControlLeavesAStateThatChangedWhileTheMessageWasOnItsWay)
{
    ServiceRecord* record = nullptr;
    TestListener::Options options;
    // The post waits for the service to read; meanwhile the service ends
    // and the monitor records it.
    options.unbuffered = true;
    bool changed = false;
    options.onConnect = [&] {
        if (std::exchange(changed, true))
            return;
        EXPECT_TRUE(record->SetServiceState(ServiceState::kStopped));
        // The record lock is free while the message is on its way.
        KernelHandle locked(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread other([&] {
            RecordLock guard(*record);
            SetEvent(locked.Get());
        });
        EXPECT_EQ(WaitForSingleObject(locked.Get(), INFINITE), WAIT_OBJECT_0);
        other.join();
    };
    TestListener listener(options);
    record = Add({L"svc", ServiceState::kRunning, listener.Name()});

    EXPECT_EQ(SendServiceControl(runtime_, *record, SERVICE_CONTROL_STOP), 0u);

    EXPECT_EQ(record->GetState(), ServiceState::kStopped);
    EXPECT_EQ(record->GetTimer(ServiceTimer::kShutdown), nullptr);
    EXPECT_TRUE(runtime_.waitSet.Timers().empty());
    EXPECT_EQ(listener.SentBefore(), Messages{L"SERVICE_CONTROL_STOP,svc"});
}

TEST_F(ListenerOperationsTest, StopWithDependentsRefusedWhileOneCannotStop)
{
    struct Case {
        const char* name;
        std::vector<ServiceDraft> others; // "svc" is added first
        ServiceState svcState;
        std::vector<std::wstring> svcDependsOn = {};
    };
    const Case cases[] = {
        {"a dependent is starting", {{L"dep", ServiceState::kStartPending, GonePipe(), {L"svc"}}},
         ServiceState::kRunning},
        {"a dependent of a dependent is starting",
         {{L"dep", ServiceState::kRunning, GonePipe(), {L"svc"}},
          {L"depdep", ServiceState::kStartPending, GonePipe(), {L"dep"}}},
         ServiceState::kRunning},
        {"the dependents lead back to the service",
         {{L"dep", ServiceState::kRunning, GonePipe(), {L"svc"}}},
         ServiceState::kRunning,
         {L"dep"}},
        {"the service is starting", {}, ServiceState::kStartPending},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        table_.Clear();
        TestListener svcListener;
        TestListener depListener;
        ServiceRecord* svc = Add({L"svc", c.svcState, svcListener.Name(), c.svcDependsOn});
        for (ServiceDraft other : c.others) {
            if (std::wstring(other.name) == L"dep")
                other.pipe = depListener.Name();
            Add(other);
        }

        EXPECT_EQ(StopHostedService(runtime_, *svc), DWORD{ERROR_SERVICE_CANNOT_ACCEPT_CTRL});

        EXPECT_EQ(svc->GetState(), c.svcState);
        EXPECT_FALSE(svc->GetStopRequested());
        EXPECT_EQ(svcListener.SentBefore(), Messages{});
        EXPECT_EQ(depListener.SentBefore(), Messages{});
    }
}

TEST_F(ListenerOperationsTest, StopWithDependentsStopsTheRunningDependentsFirst)
{
    TestListener svcListener;
    TestListener runningDep;
    TestListener stoppedDep;
    TestListener unrelated;
    ServiceRecord* svc = Add({L"svc", ServiceState::kRunning, svcListener.Name()});
    ServiceRecord* first = Add({L"first", ServiceState::kRunning, runningDep.Name(), {L"other", L"svc"}});
    ServiceRecord* second = Add({L"second", ServiceState::kStopped, stoppedDep.Name(), {L"svc"}});
    ServiceRecord* other = Add({L"other", ServiceState::kRunning, unrelated.Name()});
    svc->SetUserStopped(true);

    EXPECT_EQ(StopHostedService(runtime_, *svc), 0u);

    // The service itself is asked once its dependents have stopped.
    EXPECT_TRUE(svc->GetStopRequested());
    EXPECT_EQ(svc->GetState(), ServiceState::kRunning);
    EXPECT_EQ(svcListener.SentBefore(), Messages{});
    EXPECT_EQ(runningDep.SentBefore(), Messages{L"SERVICE_CONTROL_STOP,first"});
    EXPECT_EQ(first->GetState(), ServiceState::kStopPending);
    EXPECT_TRUE(first->GetUserStopped());
    EXPECT_EQ(stoppedDep.SentBefore(), Messages{});
    EXPECT_FALSE(second->GetUserStopped());
    EXPECT_EQ(unrelated.SentBefore(), Messages{});
    EXPECT_EQ(other->GetState(), ServiceState::kRunning);
}

TEST_F(ListenerOperationsTest, StopWithDependentsGivesBackADependentsFailure)
{
    TestListener svcListener;
    ServiceRecord* svc = Add({L"svc", ServiceState::kRunning, svcListener.Name()});
    ServiceRecord* dep = Add({L"dep", ServiceState::kRunning, GonePipe(), {L"svc"}});

    EXPECT_EQ(StopHostedService(runtime_, *svc), DWORD{ERROR_FILE_NOT_FOUND});

    EXPECT_FALSE(svc->GetStopRequested());
    EXPECT_EQ(dep->GetState(), ServiceState::kRunning);
    EXPECT_EQ(svcListener.SentBefore(), Messages{});
}

TEST_F(ListenerOperationsTest, StartInHost)
{
    struct Case {
        const char* name;
        bool reachable;
        DWORD result;
        ServiceState stateAfter;
    };
    const Case cases[] = {
        {"host reachable", true, 0, ServiceState::kStartPending},
        {"host gone", false, ERROR_FILE_NOT_FOUND, ServiceState::kStopped},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        table_.Clear();
        TestListener host;
        // The joining service posts to the pipe of the service that started
        // the process.
        ServiceRecord* joining = Add({L"joining", ServiceState::kStopped, c.reachable ? host.Name() : GonePipe()});

        EXPECT_EQ(SendStartToHost(*joining), c.result);

        EXPECT_EQ(joining->GetState(), c.stateAfter);
        EXPECT_EQ(host.SentBefore(), c.reachable ? Messages{L"START_SERVICE,joining"} : Messages{});
    }
}

TEST_F(ListenerOperationsTest, Reattach)
{
    const std::wstring ownPid = std::to_wstring(GetCurrentProcessId());
    struct Case {
        const char* name;
        std::wstring stateReply;
        std::wstring pidReply;
        ServiceState stateAfter;
        DWORD pidAfter; // 0: no process held
    };
    const Case cases[] = {
        {"running with its process", L"SERVICE_RUNNING", ownPid, ServiceState::kRunning, GetCurrentProcessId()},
        {"a reply that names no state", L"RUNNING", ownPid, ServiceState::kStopped, GetCurrentProcessId()},
        {"process id 0", L"SERVICE_RUNNING", L"0", ServiceState::kRunning, 0},
        {"process id that is no number", L"SERVICE_RUNNING", ownPid + L"x", ServiceState::kRunning, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        table_.Clear();
        TestListener::Options options;
        options.replies = {{L"SERVICE_CONTROL_INTERROGATE", c.stateReply}, {L"QUERY_PROCESS_ID", c.pidReply}};
        TestListener listener(options);
        ServiceRecord* record = Add({L"svc", ServiceState::kStopped, listener.Name()});

        EXPECT_EQ(InterrogateHostedService(*record), 0u);

        EXPECT_EQ(record->GetState(), c.stateAfter);
        EXPECT_EQ(listener.SentBefore(), (Messages{L"SERVICE_CONTROL_INTERROGATE,svc", L"QUERY_PROCESS_ID,svc"}));
        const std::shared_ptr<HostedProcess> process = record->Process();
        if (c.pidAfter == 0) {
            EXPECT_EQ(process, nullptr);
        } else {
            ASSERT_NE(process, nullptr);
            EXPECT_EQ(process->ProcessId(), c.pidAfter);
            EXPECT_TRUE(process->HasProcessHandle());
        }
    }
}

TEST_F(ListenerOperationsTest, ReattachOnlyWhereItCan)
{
    TestListener listener;
    ServiceRecord* notSvh = Add({L"notsvh", ServiceState::kStopped, listener.Name()});
    notSvh->SetSVHType(SvhServiceType::kUnknown);
    ServiceRecord* noPipe = Add({L"nopipe", ServiceState::kStopped, L""});
    ServiceRecord* gone = Add({L"gone", ServiceState::kStopped});

    EXPECT_EQ(InterrogateHostedService(*notSvh), 0u);
    EXPECT_EQ(InterrogateHostedService(*noPipe), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(InterrogateHostedService(*gone), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_FALSE(PingHostedService(*notSvh));
    EXPECT_EQ(listener.SentBefore(), Messages{});
}

TEST_F(ListenerOperationsTest, PingCountsOnlyAnExactAck)
{
    struct Case {
        const char* name;
        std::optional<std::wstring> reply;
        bool alive;
    };
    const Case cases[] = {
        {"ACK", L"ACK", true},
        {"lower case", L"ack", false},
        {"trailing blank", L"ACK ", false},
        {"no service", std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        table_.Clear();
        TestListener::Options options;
        if (c.reply)
            options.replies = {{L"PING", *c.reply}};
        TestListener listener(options);
        ServiceRecord* record = Add({L"svc", ServiceState::kRunning, c.reply ? listener.Name() : GonePipe()});

        EXPECT_EQ(PingHostedService(*record), c.alive);
        if (c.reply) {
            EXPECT_EQ(listener.SentBefore(), Messages{L"PING"});
        }
    }
}

class ShutdownBroadcastTest : public ListenerOperationsTest {
protected:
    ShutdownBroadcastTest()
    {
        EXPECT_TRUE(runtime_.stop.CreateRunEvents());
        runtime_.stop.shuttingDown = 1;
    }
    ~ShutdownBroadcastTest() override { runtime_.stop.CloseRunEvents(); }

    bool ShutdownDone() const
    {
        return WaitForSingleObject(runtime_.stop.ShutdownDoneEvent().Get(), 0) == WAIT_OBJECT_0;
    }
};

TEST_F(ShutdownBroadcastTest, EveryServiceIsToldAndAnUnreachableOneCountsAsShutDown)
{
    TestListener listener;
    ServiceRecord* reachable = Add({L"reachable", ServiceState::kRunning, listener.Name()});
    ServiceRecord* gone = Add({L"gone", ServiceState::kRunning});
    gone->SetDependOnService({L"reachable"});
    gone->SetServiceMutex(CreateMutexW(nullptr, FALSE, nullptr));
    ASSERT_TRUE(runtime_.waitSet.AddMutex(gone->GetServiceMutex()));
    gone->SetTimer(ServiceTimer::kRestartDelay, CreateWaitableTimerW(nullptr, TRUE, nullptr));
    ASSERT_TRUE(runtime_.waitSet.AddTimer(gone->GetTimer(ServiceTimer::kRestartDelay)));
    ServiceRecord* stopped = Add({L"stopped", ServiceState::kStopped, listener.Name()});

    BroadcastShutdown(runtime_);

    EXPECT_EQ(listener.SentBefore(),
              (Messages{L"SERVICE_CONTROL_SHUTDOWN,reachable", L"SERVICE_CONTROL_SHUTDOWN,stopped"}));
    EXPECT_EQ(reachable->GetState(), ServiceState::kRunning);
    EXPECT_EQ(stopped->GetState(), ServiceState::kStopped);

    EXPECT_EQ(gone->GetState(), ServiceState::kPostShutdown);
    EXPECT_EQ(gone->GetServiceMutex(), nullptr);
    EXPECT_EQ(gone->GetTimer(ServiceTimer::kRestartDelay), nullptr);
    EXPECT_TRUE(runtime_.waitSet.Mutexes().empty());
    EXPECT_TRUE(runtime_.waitSet.Timers().empty());
    // The record keeps its key and configuration: the table still finds it,
    // and saving the table still has something to save.
    EXPECT_EQ(table_.FindByName(L"gone"), gone);
    EXPECT_EQ(gone->GetBinaryPath(), L"C:\\svc\\gone.exe");
    EXPECT_EQ(gone->GetDependOnService(), std::vector<std::wstring>{L"reachable"});

    // One service still runs.
    EXPECT_FALSE(ShutdownDone());
}

TEST_F(ShutdownBroadcastTest, AllStoppedCheckFollows)
{
    struct Case {
        const char* name;
        ServiceState reachableState;
        bool done;
    };
    const Case cases[] = {
        {"the reachable one has stopped", ServiceState::kStopped, true},
        {"the reachable one is stopping", ServiceState::kStopPending, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        table_.Clear();
        ResetEvent(runtime_.stop.ShutdownDoneEvent().Get());
        TestListener listener;
        ServiceRecord* first = Add({L"first", ServiceState::kRunning});
        ServiceRecord* second = Add({L"second", ServiceState::kStartPending});
        Add({L"reachable", c.reachableState, listener.Name()});

        BroadcastShutdown(runtime_);

        EXPECT_EQ(first->GetState(), ServiceState::kPostShutdown);
        EXPECT_EQ(second->GetState(), ServiceState::kPostShutdown);
        EXPECT_EQ(ShutdownDone(), c.done);
    }
}

TEST_F(ShutdownBroadcastTest, AServiceRemovedWhileItsMessageFailedIsSkipped)
{
    ServiceRecord* leaving = nullptr;
    TestListener::Options options;
    // The service is deleted from the table while its message waits to be
    // read, and its process then goes away with the message unread.
    options.unbuffered = true;
    options.onConnect = [&] {
        TableLock guard(lock_, TableLockMode::Exclusive);
        EXPECT_TRUE(table_.Remove(*leaving));
    };
    // Nothing else connects: the test sends no marker here.
    options.dropUnread = true;
    TestListener listener(options);
    leaving = Add({L"leaving", ServiceState::kRunning, listener.Name()});
    ServiceRecord* gone = Add({L"gone", ServiceState::kRunning});
    test::TraceCapture traces;

    BroadcastShutdown(runtime_);

    EXPECT_EQ(table_.FindByName(L"leaving"), nullptr);
    EXPECT_TRUE(traces.Contains(trace::kWarning, L"left the table")) << traces.Dump();
    EXPECT_EQ(gone->GetState(), ServiceState::kPostShutdown);
    EXPECT_TRUE(ShutdownDone());
}

TEST_F(ListenerOperationsTest, PowerConditionPass)
{
    runtime_.conditions.word = POWERPROFILE_BATTERY;
    runtime_.startupComplete = true;
    TestListener allowed;
    TestListener needed;
    TestListener neededBy;
    TestListener unwanted;
    TestListener stopped;
    Add({L"allowed", ServiceState::kRunning, allowed.Name(), {}, POWERPROFILE_BATTERY | POWERPROFILE_METERED});
    // Not allowed on battery, but a dependent that is keeps it running.
    ServiceRecord* neededRecord =
        Add({L"needed", ServiceState::kRunning, needed.Name(), {}, POWERPROFILE_LOWMEMORY});
    Add({L"neededby", ServiceState::kRunning, neededBy.Name(), {L"needed"}, POWERPROFILE_NORMAL});
    ServiceRecord* unwantedRecord =
        Add({L"unwanted", ServiceState::kRunning, unwanted.Name(), {}, POWERPROFILE_LOWMEMORY});
    // Stopped and allowed: started. A client's stop keeps the other down.
    ServiceRecord* stoppedRecord = Add({L"stopped", ServiceState::kStopped, stopped.Name(), {}, POWERPROFILE_NORMAL});
    stoppedRecord->SetBinaryPath(test::BuiltProgramPath(L"qvxtest_idle.exe"));
    ServiceRecord* heldRecord = Add({L"held", ServiceState::kStopped, GonePipe(), {}, POWERPROFILE_NORMAL});
    heldRecord->SetBinaryPath(test::BuiltProgramPath(L"qvxtest_idle.exe"));
    heldRecord->SetUserStopped(true);

    ApplyPowerCondition(runtime_, true);

    EXPECT_EQ(allowed.SentBefore(), Messages{L"SERVICE_CONTROL_QVX_POWER_STATE_CHANGE,allowed"});
    EXPECT_EQ(needed.SentBefore(), Messages{L"SERVICE_CONTROL_QVX_POWER_STATE_CHANGE,needed"});
    EXPECT_EQ(neededRecord->GetState(), ServiceState::kRunning);
    EXPECT_EQ(neededBy.SentBefore(), Messages{L"SERVICE_CONTROL_QVX_POWER_STATE_CHANGE,neededby"});
    EXPECT_EQ(unwanted.SentBefore(), Messages{L"SERVICE_CONTROL_STOP,unwanted"});
    EXPECT_EQ(unwantedRecord->GetState(), ServiceState::kStopPending);
    EXPECT_EQ(stopped.SentBefore(), Messages{});
    EXPECT_EQ(stoppedRecord->GetState(), ServiceState::kStartPending);
    ASSERT_TRUE(stoppedRecord->HasProcessHandle());
    TerminateProcess(stoppedRecord->Process()->ProcessHandle(), 0);
    EXPECT_EQ(heldRecord->GetState(), ServiceState::kStopped);
    EXPECT_FALSE(heldRecord->HasProcessHandle());
}

} // namespace
} // namespace qvx
