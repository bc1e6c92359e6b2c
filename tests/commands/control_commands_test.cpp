#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/event_report.h"
#include "engine/listener_messages.h"
#include "model/handle_release.h"
#include "model/life_cycle_record.h"
#include "model/power_profile.h"
#include "model/service_mutex.h"
#include "model/service_timers.h"
#include "tests/commands/command_test_support.h"
#include "tests/engine/test_listener.h"
#include "tests/support/child_process.h"

namespace qvx::test {
namespace {

// Walks the record along the transition rule to `state`.
void MoveTo(ServiceRecord& record, ServiceState state)
{
    const ServiceState path[] = {ServiceState::kStartPending, ServiceState::kRunning, ServiceState::kStopPending};
    for (ServiceState step : path) {
        if (record.GetState() == state)
            return;
        record.SetServiceState(step);
    }
    if (record.GetState() != state)
        record.SetServiceState(state);
    ASSERT_EQ(record.GetState(), state);
}

std::wstring MessageText(DWORD code)
{
    return SystemMessageText(code);
}

class ControlCommands : public CommandHost {
public: // the case tables reach the fixture from lambdas
    HostRuntime& Runtime() { return runtime_; }

protected:
    void TearDown() override
    {
        // A launched idle program is ended with the test.
        for (size_t i = 0; ServiceRecord* record = table_.GetAt(i); ++i) {
            if (auto process = record->Process(); process && process->ProcessHandle())
                TerminateProcess(process->ProcessHandle(), 0);
        }
    }

    // A stopped own-process service whose binary is the idle program.
    void CreateIdle(const std::wstring& name, const std::wstring& extra = L"")
    {
        Create(name, extra);
        Find(name)->SetBinaryPath(BuiltProgramPath(L"qvxtest_idle.exe"));
    }

    std::vector<ReportedEvent> EventsOf(DWORD id)
    {
        std::vector<ReportedEvent> found;
        for (const ReportedEvent& event : events_.Events())
            if (event.id == id)
                found.push_back(event);
        return found;
    }

    // Sends a request that gets no reply; true when the host let the
    // client go without one.
    bool SendUnanswered(const std::wstring& request)
    {
        EXPECT_EQ(client_.Send(request, kIoTimeoutMs), 0u);
        std::wstring reply;
        const DWORD error = client_.Receive(reply, kIoTimeoutMs);
        client_.Close();
        EXPECT_EQ(client_.Open(servers_.Name(), kIoTimeoutMs), 0u);
        return error != ERROR_SUCCESS && error != ERROR_TIMEOUT && reply.empty();
    }
};

TEST_F(ControlCommands, StartServiceAnswersByTheServiceAndItsState)
{
    struct Case {
        const char* name;
        std::function<void(ControlCommands&, ServiceRecord&)> prepare;
        std::wstring request; // "NAME" stands for the service
        std::wstring reply;
        ServiceState stateAfter;
        DWORD failedEventError; // 0: no "failed to start" event
    };
    const Case cases[] = {
        {"too few fields", nullptr, L"START_SERVICE,NAME,0", L"ERROR_MSG_PROTOCOL", ServiceState::kStopped, 0},
        {"unknown service", nullptr, L"START_SERVICE,nosuch,0,EMPTY", L"SERVICE_NOT_FOUND", ServiceState::kStopped, 0},
        {"running", [](ControlCommands&, ServiceRecord& r) { MoveTo(r, ServiceState::kRunning); },
         L"START_SERVICE,NAME,0,EMPTY", L"SERVICE_ALREADY_RUNNING", ServiceState::kRunning, 0},
        {"start pending", [](ControlCommands&, ServiceRecord& r) { MoveTo(r, ServiceState::kStartPending); },
         L"START_SERVICE,NAME,0,EMPTY", L"SERVICE_ALREADY_RUNNING", ServiceState::kStartPending, 0},
        {"stop pending", [](ControlCommands&, ServiceRecord& r) { MoveTo(r, ServiceState::kStopPending); },
         L"START_SERVICE,NAME,0,EMPTY", L"ERROR_SERVICE_CANNOT_ACCEPT_CTRL", ServiceState::kStopPending,
         ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
        {"dependency missing", [](ControlCommands&, ServiceRecord& r) { r.SetDependOnService({L"missing"}); },
         L"START_SERVICE,NAME,0,EMPTY", L"ERROR_INVALID_DEPENDENCY", ServiceState::kStopped,
         ERROR_SERVICE_DEPENDENCY_DELETED},
        {"count not a number", nullptr, L"START_SERVICE,NAME,two,a b", L"ERROR_MSG_PROTOCOL", ServiceState::kStopped,
         0},
        {"disabled", [](ControlCommands&, ServiceRecord& r) { r.SetDisabled(true); }, L"START_SERVICE,NAME,0,EMPTY",
         L"ERROR_SERVICE_NOT_ACTIVE", ServiceState::kStopped, 0},
        {"binary missing",
         [](ControlCommands&, ServiceRecord& r) { r.SetBinaryPath(L"C:\\nowhere\\qvxtest-none.exe"); },
         L"START_SERVICE,NAME,0,EMPTY", L"SERVICE_FAILED_TO_START", ServiceState::kStopped, ERROR_FILE_NOT_FOUND},
        {"ruled out by the machine's condition",
         [](ControlCommands& t, ServiceRecord& r) {
             r.SetPowerProfile(POWERPROFILE_BATTERY);
             t.Runtime().conditions.word = POWERPROFILE_NOTNETWORK;
         },
         L"START_SERVICE,NAME,0,EMPTY", L"ACK", ServiceState::kStopped, 0},
        {"started", nullptr, L"START_SERVICE,NAME,0,EMPTY", L"ACK", ServiceState::kStartPending, 0},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring name = L"start" + std::to_wstring(index++);
        CreateIdle(name);
        ServiceRecord* record = Find(name);
        runtime_.conditions.word = 0;
        if (c.prepare)
            c.prepare(*this, *record);
        events_.Clear();
        std::wstring request = c.request;
        if (const size_t at = request.find(L"NAME"); at != std::wstring::npos)
            request.replace(at, 4, name);

        EXPECT_EQ(Ask(request), c.reply);
        EXPECT_EQ(record->GetState(), c.stateAfter);
        const std::vector<ReportedEvent> failed = EventsOf(kEventServiceFailedToStart);
        if (c.failedEventError == 0) {
            EXPECT_TRUE(failed.empty());
        } else {
            ASSERT_EQ(failed.size(), 1u);
            EXPECT_EQ(failed[0].strings, (std::vector<std::wstring>{name, MessageText(c.failedEventError)}));
        }
        EXPECT_EQ(record->GetDependencyFailed(), c.reply == L"ERROR_INVALID_DEPENDENCY");
        if (c.stateAfter == ServiceState::kStopped) {
            EXPECT_FALSE(record->HasProcessHandle());
        }
    }
}

TEST_F(ControlCommands, OneShotArgumentsAreHandedOutOnceThenTheHostDefaults)
{
    CreateIdle(L"args");
    ServiceRecord* record = Find(L"args");
    record->SetNumServiceArgs(1);
    record->SetServiceArgs(L"stored");
    {
        RegKey host = key_.Open();
        ASSERT_TRUE(host.IsValid());
        ASSERT_TRUE(WriteDword(host.Get(), L"NumServiceArgs", 2));
        ASSERT_TRUE(WriteText(host.Get(), L"ServiceArgs", L"-d default"));
    }

    EXPECT_EQ(Ask(L"START_SERVICE,args,3,one \"two three\" four"), L"ACK");
    ASSERT_EQ(record->GetState(), ServiceState::kStartPending);
    EXPECT_EQ(Ask(L"SERVICE_START_PENDING,args"), L"SERVICE_START_PENDING,3,one \"two three\" four");
    EXPECT_TRUE(runtime_.waitSet.HasMutex(record->GetServiceMutex()));
    EXPECT_EQ(Ask(L"SERVICE_START_PENDING,args"), L"SERVICE_START_PENDING,2,-d default");
}

TEST_F(ControlCommands, EmptyArgumentsKeepTheCurrentOnes)
{
    for (const wchar_t* request : {L"START_SERVICE,keep,0,EMPTY", L"START_SERVICE,keep,2,EMPTY"}) {
        SCOPED_TRACE(WideToUtf8(request));
        if (!Find(L"keep"))
            CreateIdle(L"keep");
        ServiceRecord* record = Find(L"keep");
        record->SetNumServiceArgs(1);
        record->SetServiceArgs(L"current");
        ASSERT_EQ(Ask(request), L"ACK");
        EXPECT_EQ(record->GetNumServiceArgs(), 1u);
        EXPECT_EQ(record->GetServiceArgs(), L"current");
        ASSERT_TRUE(record->Process());
        TerminateProcess(record->Process()->ProcessHandle(), 0);
        ASSERT_TRUE(SendUnanswered(L"SET_SERVICE_STATUS,keep,SERVICE_STOPPED"));
    }
}

TEST_F(ControlCommands, StartPendingWithoutArgumentsSaysEmpty)
{
    Create(L"plain");
    EXPECT_EQ(Ask(L"SERVICE_START_PENDING,plain"), L"SERVICE_START_PENDING,0,EMPTY");
    EXPECT_EQ(Find(L"plain")->GetState(), ServiceState::kStartPending);
    EXPECT_EQ(Ask(L"SERVICE_START_PENDING,nosuch"), L"SERVICE_NOT_FOUND");
    EXPECT_EQ(Ask(L"SERVICE_START_PENDING"), L"ERROR_MSG_PROTOCOL");
}

TEST_F(ControlCommands, ControlServiceStopsOnlyWhatRuns)
{
    struct Case {
        const char* name;
        std::function<void(ServiceRecord&)> prepare;
        std::wstring control;
        std::wstring reply;
        ServiceState stateAfter;
        bool userStoppedAfter;
        bool stopSent;
    };
    const Case cases[] = {
        {"pause is not taken", [](ServiceRecord& r) { MoveTo(r, ServiceState::kRunning); },
         L"SERVICE_CONTROL_PAUSE", L"INVALID_CONTROL_CODE", ServiceState::kRunning, false, false},
        {"unknown control", [](ServiceRecord& r) { MoveTo(r, ServiceState::kRunning); }, L"SERVICE_CONTROL_NONE",
         L"INVALID_CONTROL_CODE", ServiceState::kRunning, false, false},
        {"stopped", nullptr, L"SERVICE_CONTROL_STOP", L"ERROR_SERVICE_NOT_ACTIVE", ServiceState::kStopped, true,
         false},
        {"running", [](ServiceRecord& r) { MoveTo(r, ServiceState::kRunning); }, L"SERVICE_CONTROL_STOP",
         L"CONTROL_SERVICE,SERVICE_STOP_PENDING", ServiceState::kStopPending, true, true},
        {"starting", [](ServiceRecord& r) { MoveTo(r, ServiceState::kStartPending); }, L"SERVICE_CONTROL_STOP",
         L"ERROR_SERVICE_CANNOT_ACCEPT_CTRL", ServiceState::kStartPending, true, false},
        {"running, its process gone",
         [](ServiceRecord& r) {
             MoveTo(r, ServiceState::kRunning);
             r.SetListenerPipeName(UniqueName(L"\\\\.\\pipe\\qvxtest-gone"));
         },
         L"SERVICE_CONTROL_STOP", L"SERVICE_FAILED_TO_STOP", ServiceState::kRunning, true, false},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring name = L"ctl" + std::to_wstring(index++);
        Create(name);
        ServiceRecord* record = Find(name);
        TestListener listener;
        record->SetListenerPipeName(listener.Name());
        if (c.prepare)
            c.prepare(*record);

        EXPECT_EQ(Ask(L"CONTROL_SERVICE," + name + L"," + c.control), c.reply);
        EXPECT_EQ(record->GetState(), c.stateAfter);
        EXPECT_EQ(record->GetUserStopped(), c.userStoppedAfter);
        EXPECT_EQ(listener.SentBefore(), c.stopSent ? Messages{StopMessage(name)} : Messages{});
    }
    EXPECT_EQ(Ask(L"CONTROL_SERVICE,ctl0"), L"ERROR_MSG_PROTOCOL");
    EXPECT_EQ(Ask(L"CONTROL_SERVICE,nosuch,SERVICE_CONTROL_STOP"), L"SERVICE_NOT_FOUND");
}

TEST_F(ControlCommands, StopOfACrashedServiceCancelsItsRestartForGood)
{
    Create(L"crashed", L"<FailureRestart><ResetPeriod>60</ResetPeriod><RestartCount>2</RestartCount>"
                       L"<RestartDelay>5</RestartDelay></FailureRestart>");
    ServiceRecord* record = Find(L"crashed");
    record->SetCrashed(true);
    {
        RecordLock guard(*record);
        ASSERT_TRUE(CreateRestartDelayTimer(*record));
        ASSERT_TRUE(ArmRestartDelayTimer(*record));
    }
    runtime_.waitSet.AddTimer(record->GetTimer(ServiceTimer::kRestartDelay));
    // As while the monitor runs: released timers go through its wait set.
    HandleRelease* previous = InstallHandleRelease(&runtime_.waitSet);

    EXPECT_EQ(Ask(L"CONTROL_SERVICE,crashed,SERVICE_CONTROL_STOP"), L"ERROR_SERVICE_NOT_ACTIVE");
    InstallHandleRelease(previous);
    EXPECT_EQ(record->GetTimer(ServiceTimer::kRestartDelay), nullptr);
    EXPECT_TRUE(runtime_.waitSet.Timers().empty());
    // Nothing may bring it back on its own: not the end of its restart
    // window, not a wave or a change of the machine's condition.
    EXPECT_FALSE(record->GetCrashed());
    EXPECT_TRUE(record->GetUserStopped());
}

TEST_F(ControlCommands, StateReportsAreNeverAnsweredAndChangeOnlyHostedServices)
{
    Create(L"svh");
    Create(L"notsvh");
    Find(L"notsvh")->SetSVHType(SvhServiceType::kUnknown);
    const struct {
        const char* name;
        std::wstring request;
    } ignored[] = {
        {"too few fields", L"SET_SERVICE_STATUS,svh"},
        {"not a hosted service", L"SET_SERVICE_STATUS,notsvh,SERVICE_RUNNING"},
        {"no such service", L"SET_SERVICE_STATUS,nosuch,SERVICE_RUNNING"},
        {"no such state", L"SET_SERVICE_STATUS,svh,SERVICE_SLEEPING"},
    };
    for (const auto& c : ignored) {
        SCOPED_TRACE(c.name);
        events_.Clear();
        EXPECT_TRUE(SendUnanswered(c.request));
        EXPECT_EQ(Find(L"svh")->GetState(), ServiceState::kStopped);
        EXPECT_EQ(Find(L"notsvh")->GetState(), ServiceState::kStopped);
        EXPECT_TRUE(events_.Events().empty());
    }
    // The instance listens again: the next client is served.
    EXPECT_EQ(Ask(L"PING"), L"ACK");
}

TEST_F(ControlCommands, RunningReportEndsTheStartAndStartsWhatWaited)
{
    CreateIdle(L"base");
    CreateIdle(L"waiter");
    CreateIdle(L"failed");
    ServiceRecord* base = Find(L"base");
    ServiceRecord* waiter = Find(L"waiter");
    ServiceRecord* failed = Find(L"failed");
    waiter->SetDependOnService({L"base"});
    failed->SetDependOnService({L"base"});
    failed->SetDependencyFailed(true);
    MoveTo(*waiter, ServiceState::kStartPending); // waiting, no process
    base->SetWaiters({L"waiter"});
    base->SetCrashed(false);
    MoveTo(*base, ServiceState::kStartPending);
    {
        RecordLock guard(*base);
        ASSERT_TRUE(CreateStartupTimer(*base));
        ASSERT_TRUE(ArmStartupTimer(*base));
    }
    runtime_.waitSet.AddTimer(base->GetTimer(ServiceTimer::kStartup));

    EXPECT_TRUE(SendUnanswered(L"SET_SERVICE_STATUS,base,SERVICE_RUNNING"));
    EXPECT_EQ(base->GetState(), ServiceState::kRunning);
    EXPECT_EQ(base->GetTimer(ServiceTimer::kStartup), nullptr);
    EXPECT_FALSE(runtime_.waitSet.HasTimer(base->GetTimer(ServiceTimer::kStartup)));
    EXPECT_TRUE(base->GetWaiters().empty());
    // The waiter starts before the report is let go; the service whose
    // dependency had failed is started after the reporting client has left.
    EXPECT_TRUE(waiter->HasProcessHandle());
    const ULONGLONG deadline = GetTickCount64() + kIoTimeoutMs;
    while (!failed->HasProcessHandle() && GetTickCount64() < deadline)
        Sleep(10);
    EXPECT_TRUE(failed->HasProcessHandle());
    EXPECT_EQ(failed->GetState(), ServiceState::kStartPending);
    const std::vector<ReportedEvent> running = EventsOf(kEventServiceRunning);
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(running[0].strings, std::vector<std::wstring>{L"base"});

    // A repeated report is no new entry into the running state.
    events_.Clear();
    EXPECT_TRUE(SendUnanswered(L"SET_SERVICE_STATUS,base,SERVICE_RUNNING"));
    EXPECT_TRUE(EventsOf(kEventServiceRunning).empty());
}

TEST_F(ControlCommands, RunningReportAfterACrashRestartsNoFailedDependents)
{
    CreateIdle(L"crashbase");
    CreateIdle(L"dependent");
    Find(L"dependent")->SetDependOnService({L"crashbase"});
    Find(L"dependent")->SetDependencyFailed(true);
    ServiceRecord* base = Find(L"crashbase");
    base->SetCrashed(true);
    MoveTo(*base, ServiceState::kStartPending);

    EXPECT_TRUE(SendUnanswered(L"SET_SERVICE_STATUS,crashbase,SERVICE_RUNNING"));
    EXPECT_FALSE(base->GetCrashed());
    EXPECT_EQ(Find(L"dependent")->GetState(), ServiceState::kStopped);
}

TEST_F(ControlCommands, StoppedReportReleasesTheServiceAndGoesOnWithStopsThatWaited)
{
    TestListener listener;
    Create(L"lower");
    Create(L"upper");
    ServiceRecord* lower = Find(L"lower");
    ServiceRecord* upper = Find(L"upper");
    upper->SetDependOnService({L"lower"});
    lower->SetListenerPipeName(listener.Name());
    MoveTo(*lower, ServiceState::kRunning);
    lower->SetStopRequested(true); // its stop waits for upper
    MoveTo(*upper, ServiceState::kStopPending);
    {
        RecordLock guard(*upper);
        ASSERT_TRUE(CreateServiceMutex(*upper));
        ASSERT_TRUE(CreateShutdownTimer(*upper));
    }
    runtime_.waitSet.AddMutex(upper->GetServiceMutex());
    runtime_.waitSet.AddTimer(upper->GetTimer(ServiceTimer::kShutdown));
    upper->SetStopRequested(true);
    upper->SetDependencyFailed(true);

    LifeCycleRecord before(upper);
    before.Load();
    ASSERT_EQ(before.StopTime, 0u);

    EXPECT_TRUE(SendUnanswered(L"SET_SERVICE_STATUS,upper,SERVICE_STOPPED"));
    EXPECT_EQ(upper->GetState(), ServiceState::kStopped);
    LifeCycleRecord after(upper);
    after.Load();
    EXPECT_NE(after.StopTime, 0u) << "the stop is not in the service's life-cycle record";
    EXPECT_EQ(upper->GetServiceMutex(), nullptr);
    EXPECT_EQ(upper->GetTimer(ServiceTimer::kShutdown), nullptr);
    EXPECT_TRUE(runtime_.waitSet.Mutexes().empty());
    // Only the stop time-out of the service whose stop went on is watched.
    EXPECT_EQ(runtime_.waitSet.Timers(), std::vector<HANDLE>{lower->GetTimer(ServiceTimer::kShutdown)});
    EXPECT_FALSE(upper->GetStopRequested());
    EXPECT_FALSE(upper->GetDependencyFailed());
    const std::vector<ReportedEvent> stopped = EventsOf(kEventServiceStopped);
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0].strings, std::vector<std::wstring>{L"upper"});
    // The stop of the service it depends on goes on now.
    EXPECT_EQ(listener.SentBefore(), Messages{StopMessage(L"lower")});
    EXPECT_EQ(lower->GetState(), ServiceState::kStopPending);
}

TEST_F(ControlCommands, StoppedReportOfAShareProcessHostStartsItsWaiters)
{
    const std::wstring shared = L"<ServiceType>SERVICE_WIN32_SHARE_PROCESS</ServiceType>";
    CreateIdle(L"host");
    CreateIdle(L"guest");
    CreateIdle(L"client");
    for (const wchar_t* name : {L"host", L"guest", L"client"})
        Find(name)->SetServiceType(WinServiceType::kShareProcess);
    ServiceRecord* host = Find(L"host");
    ServiceRecord* guest = Find(L"guest");
    ServiceRecord* client = Find(L"client");
    client->SetDependOnService({L"host"}); // waits as a dependent, not as a sharer
    MoveTo(*guest, ServiceState::kStartPending);
    MoveTo(*client, ServiceState::kStartPending);
    MoveTo(*host, ServiceState::kStopPending);
    host->SetWaiters({L"guest", L"client"});

    EXPECT_TRUE(SendUnanswered(L"SET_SERVICE_STATUS,host,SERVICE_STOPPED"));
    EXPECT_TRUE(host->GetWaiters().empty());
    EXPECT_TRUE(guest->HasProcessHandle()) << "the waiting sharer hosts itself now";
    EXPECT_FALSE(client->HasProcessHandle());
}

TEST_F(ControlCommands, PostShutdownReportKeepsTheServiceInTheTable)
{
    Create(L"late", L"<FailureRestart><ResetPeriod>60</ResetPeriod><RestartCount>2</RestartCount>"
                    L"<RestartDelay>5</RestartDelay></FailureRestart>");
    Create(L"other");
    ServiceRecord* record = Find(L"late");
    MoveTo(*record, ServiceState::kRunning);
    MoveTo(*Find(L"other"), ServiceState::kRunning);
    {
        RecordLock guard(*record);
        ASSERT_TRUE(CreateServiceMutex(*record));
        ASSERT_TRUE(CreateResetPeriodTimer(*record));
    }
    runtime_.waitSet.AddMutex(record->GetServiceMutex());
    runtime_.waitSet.AddTimer(record->GetTimer(ServiceTimer::kResetPeriod));
    ASSERT_TRUE(runtime_.stop.CreateRunEvents());
    runtime_.stop.shuttingDown = 1;

    EXPECT_TRUE(SendUnanswered(L"SET_SERVICE_STATUS,late,SERVICE_POST_SHUTDOWN"));
    EXPECT_EQ(record->GetState(), ServiceState::kPostShutdown);
    EXPECT_EQ(Find(L"late"), record);
    EXPECT_EQ(record->GetName(), L"late");
    EXPECT_EQ(record->GetRestartCount(), 2u);
    EXPECT_EQ(record->GetServiceMutex(), nullptr);
    EXPECT_TRUE(runtime_.waitSet.Mutexes().empty());
    EXPECT_TRUE(runtime_.waitSet.Timers().empty());
    ASSERT_EQ(EventsOf(kEventServicePostShutdown).size(), 1u);
    // Another service still runs: the shutdown is not done yet.
    EXPECT_EQ(WaitForSingleObject(runtime_.stop.ShutdownDoneEvent().Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_TRUE(SendUnanswered(L"SET_SERVICE_STATUS,other,SERVICE_STOPPED"));
    EXPECT_EQ(WaitForSingleObject(runtime_.stop.ShutdownDoneEvent().Get(), 0), WAIT_OBJECT_0);
}

} // namespace
} // namespace qvx::test
