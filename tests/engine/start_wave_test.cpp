#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_calls.h"
#include "engine/listener_messages.h"
#include "engine/reattach.h"
#include "engine/start_wave.h"
#include "model/power_profile.h"
#include "model/service_mutex.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "platform/handles.h"
#include "runtime/host_runtime.h"
#include "tests/engine/recording_launcher.h"
#include "tests/engine/test_listener.h"
#include "tests/support/event_recorder.h"
#include "tests/support/test_service_key.h"
#include "tests/support/trace_capture.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

// A published table on a runtime of its own, with process creation, the
// event log and the life-cycle records' key replaced for the test.
class WaveTest : public ::testing::Test {
public: // the case tables reach the fixture from lambdas
    WaveTest()
    {
        runtime_.PublishTable(&table_);
        runtime_.conditions.word = 0;
    }
    ~WaveTest() override
    {
        runtime_.waveTimer.Close(runtime_.waitSet);
        runtime_.PublishTable(nullptr);
        table_.Clear();
        runtime_.waitSet.Clear();
    }

    // A stopped own-process service that may run under any condition. The
    // names are unique to the run, as each start creates the named mutex.
    ServiceRecord& Add(const std::wstring& key, StartupProfile profile, std::vector<std::wstring> dependencies = {})
    {
        names_[key] = test::UniqueName(L"qvxwave-" + key);
        auto record = std::make_unique<ServiceRecord>();
        record->SetName(names_[key]);
        record->SetServiceType(WinServiceType::kOwnProcess);
        record->SetStartupProfile(profile);
        record->SetPowerProfile(POWERPROFILE_NORMAL);
        record->SetBinaryPath(L"C:\\qvxtest\\" + names_[key] + L".exe");
        for (std::wstring& dependency : dependencies)
            dependency = names_.at(dependency);
        record->SetDependOnService(std::move(dependencies));
        ServiceRecord* kept = record.get();
        EXPECT_TRUE(table_.Add(record));
        return *kept;
    }
    const std::wstring& Name(const std::wstring& key) const { return names_.at(key); }
    ServiceRecord& Record(const std::wstring& key) const { return *table_.FindByName(Name(key)); }

    // The keys of the services launched, in launch order.
    std::vector<std::wstring> Launched() const
    {
        std::vector<std::wstring> keys;
        for (const auto& created : launcher_.created) {
            for (const auto& [key, name] : names_) {
                if (created.request.executablePath.find(name + L".exe") != std::wstring::npos)
                    keys.push_back(key);
            }
        }
        return keys;
    }
    std::vector<std::wstring> WaitersOf(const std::wstring& key) const
    {
        std::vector<std::wstring> keys;
        for (const std::wstring& waiter : Record(key).GetWaiters()) {
            for (const auto& [k, name] : names_) {
                if (name == waiter)
                    keys.push_back(k);
            }
        }
        return keys;
    }

    test::TestServiceKey key_;
    test::TraceCapture traces_;
    test::EventRecorder events_;
    test::RecordingLauncher launcher_;
    HostRuntime runtime_;
    ServiceTable table_;
    std::map<std::wstring, std::wstring> names_;
};

TEST_F(WaveTest, AWaveStartsOnlyTheServicesItMay)
{
    struct Case {
        const char* label;
        StartupProfile serviceProfile;
        std::function<void(WaveTest&, ServiceRecord&)> setup;
        DWORD typeFilter;
        bool launched;
    };
    const std::vector<Case> cases = {
        {"stopped, of the wave", StartupProfile::kEarly, nullptr, 0, true},
        {"of another profile", StartupProfile::kNormal, nullptr, 0, false},
        {"DEMAND", StartupProfile::kDemand, nullptr, 0, false},
        {"stopped by the user", StartupProfile::kEarly,
         [](WaveTest&, ServiceRecord& r) { r.SetUserStopped(true); }, 0, false},
        {"running", StartupProfile::kEarly,
         [](WaveTest&, ServiceRecord& r) { ASSERT_TRUE(r.SetServiceState(ServiceState::kRunning)); }, 0, false},
        {"start-pending", StartupProfile::kEarly,
         [](WaveTest&, ServiceRecord& r) { ASSERT_TRUE(r.SetServiceState(ServiceState::kStartPending)); }, 0,
         false},
        {"another type than the filter's", StartupProfile::kEarly, nullptr,
         static_cast<DWORD>(WinServiceType::kUserDll), false},
        {"the filter's type", StartupProfile::kEarly, nullptr, static_cast<DWORD>(WinServiceType::kOwnProcess),
         true},
        {"battery only, on battery with low memory", StartupProfile::kEarly,
         [](WaveTest& t, ServiceRecord& r) {
             r.SetPowerProfile(POWERPROFILE_BATTERY);
             t.runtime_.conditions.word = POWERPROFILE_BATTERY | POWERPROFILE_LOWMEMORY;
         },
         0, false},
        {"battery only, on battery", StartupProfile::kEarly,
         [](WaveTest& t, ServiceRecord& r) {
             r.SetPowerProfile(POWERPROFILE_BATTERY);
             t.runtime_.conditions.word = POWERPROFILE_BATTERY;
         },
         0, true},
        {"NORMAL flag, on battery with low memory", StartupProfile::kEarly,
         [](WaveTest& t, ServiceRecord&) { t.runtime_.conditions.word = POWERPROFILE_BATTERY | POWERPROFILE_LOWMEMORY; },
         0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        table_.Clear();
        launcher_.Forget();
        runtime_.conditions.word = 0;
        ServiceRecord& record = Add(L"s", c.serviceProfile);
        if (c.setup)
            c.setup(*this, record);

        EXPECT_EQ(StartWave(runtime_, StartupProfile::kEarly, c.typeFilter), c.launched);

        EXPECT_EQ(launcher_.created.size(), c.launched ? 1u : 0u);
        if (c.launched) {
            EXPECT_EQ(record.GetState(), ServiceState::kStartPending);
        }
        EXPECT_EQ(record.GetListenerPipeName(), L"\\\\.\\pipe\\" + Name(L"s") + L"_qvxsvh_listenerpipe")
            << "every service gets its pipe name, skipped or not";
    }
}

TEST_F(WaveTest, AServiceWithDependenciesStartsAfterThem)
{
    // A dependency already running: the service starts in the wave.
    Add(L"a", StartupProfile::kEarly);
    Add(L"b", StartupProfile::kEarly, {L"a"});
    ASSERT_TRUE(Record(L"a").SetServiceState(ServiceState::kRunning));
    EXPECT_TRUE(StartWave(runtime_, StartupProfile::kEarly, 0));
    EXPECT_EQ(Launched(), std::vector<std::wstring>{L"b"});

    // A dependency the wave starts: the service waits for it to run.
    table_.Clear();
    launcher_.Forget();
    Add(L"a", StartupProfile::kEarly);
    Add(L"b", StartupProfile::kEarly, {L"a"});
    EXPECT_TRUE(StartWave(runtime_, StartupProfile::kEarly, 0));
    EXPECT_EQ(Launched(), std::vector<std::wstring>{L"a"});
    EXPECT_EQ(WaitersOf(L"a"), std::vector<std::wstring>{L"b"});
    EXPECT_EQ(Record(L"b").GetState(), ServiceState::kStopped);

    // A dependency missing from the table: the service is skipped.
    table_.Clear();
    launcher_.Forget();
    Add(L"c", StartupProfile::kEarly);
    Add(L"d", StartupProfile::kEarly, {L"c"});
    table_.Remove(Record(L"c"));
    EXPECT_FALSE(StartWave(runtime_, StartupProfile::kEarly, 0));
    EXPECT_TRUE(launcher_.attempts.empty());
}

TEST_F(WaveTest, WaitingDependentsAreRegisteredDownTheWholeChain)
{
    Add(L"x", StartupProfile::kEarly);
    Add(L"s1", StartupProfile::kEarly, {L"x"});
    Add(L"s2", StartupProfile::kNormal, {L"x"}); // a later wave's: not this one's to follow
    Add(L"s3", StartupProfile::kLate, {L"s1"});
    Add(L"s4", StartupProfile::kDemand, {L"s3"});
    // s3 and s4 depend on each other: the registration must still end.
    Record(L"s3").SetDependOnService({Name(L"s1"), Name(L"s4")});

    RegisterWaitingDependents(table_, Record(L"x"), StartupProfile::kEarly);
    RegisterWaitingDependents(table_, Record(L"x"), StartupProfile::kEarly);

    EXPECT_EQ(WaitersOf(L"x"), std::vector<std::wstring>{L"s1"});
    EXPECT_EQ(WaitersOf(L"s1"), std::vector<std::wstring>{L"s3"});
    EXPECT_EQ(WaitersOf(L"s3"), std::vector<std::wstring>{L"s4"});
    EXPECT_EQ(WaitersOf(L"s4"), std::vector<std::wstring>{L"s3"});
    EXPECT_TRUE(WaitersOf(L"s2").empty());
}

TEST_F(WaveTest, TheWaveTimerRunsTheNormalThenTheLateWave)
{
    Add(L"n", StartupProfile::kNormal);
    Add(L"l", StartupProfile::kLate);
    HANDLE timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    ASSERT_NE(timer, nullptr);
    LARGE_INTEGER now;
    now.QuadPart = -1;
    ASSERT_TRUE(SetWaitableTimer(timer, &now, 0, nullptr, nullptr, FALSE));
    ASSERT_EQ(WaitForSingleObject(timer, 5000), WAIT_OBJECT_0);
    runtime_.waveTimer.Arm(runtime_.waitSet, timer);

    WaveTimerExpired(runtime_);
    EXPECT_EQ(Launched(), std::vector<std::wstring>{L"n"});
    EXPECT_EQ(runtime_.waveTimer.State(), WaveTimer::kBeforeLateWave);
    EXPECT_EQ(runtime_.waveTimer.Get(), timer);
    EXPECT_TRUE(runtime_.waitSet.HasTimer(timer));
    EXPECT_EQ(WaitForSingleObject(timer, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "re-armed for 60 s";
    EXPECT_FALSE(runtime_.startupComplete.load());

    WaveTimerExpired(runtime_);
    EXPECT_EQ(Launched(), (std::vector<std::wstring>{L"n", L"l"}));
    EXPECT_EQ(runtime_.waveTimer.State(), WaveTimer::kNoFurtherWave);
    EXPECT_EQ(runtime_.waveTimer.Get(), nullptr);
    EXPECT_FALSE(runtime_.waitSet.HasTimer(timer));
    EXPECT_TRUE(runtime_.startupComplete.load());

    // Nothing is left to start, whatever wakes the handler again.
    launcher_.Forget();
    WaveTimerExpired(runtime_);
    EXPECT_TRUE(launcher_.attempts.empty());
    EXPECT_EQ(runtime_.waveTimer.State(), WaveTimer::kNoFurtherWave);
}

TEST_F(WaveTest, AWaveTimerThatCannotBeRearmedEndsTheWaves)
{
    Add(L"n", StartupProfile::kNormal);
    // An event is no timer: re-arming it fails.
    HANDLE notATimer = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    runtime_.waveTimer.Arm(runtime_.waitSet, notATimer);

    WaveTimerExpired(runtime_);

    EXPECT_EQ(Launched(), std::vector<std::wstring>{L"n"});
    EXPECT_EQ(runtime_.waveTimer.State(), WaveTimer::kNoFurtherWave);
    EXPECT_EQ(runtime_.waveTimer.Get(), nullptr);
    EXPECT_FALSE(runtime_.waitSet.HasTimer(notATimer));
    EXPECT_TRUE(traces_.Contains(trace::kError, L"the wave timer was not re-armed")) << traces_.Dump();
}

test::TestListener::Options Answering(std::map<std::wstring, std::wstring> replies)
{
    test::TestListener::Options options;
    options.replies = std::move(replies);
    return options;
}

// A hosted service that kept running: a listener that answers the
// re-attach's three questions, and the mutex its process holds.
struct RunningService {
    explicit RunningService(const std::wstring& name)
        : listener(Answering({{kListenerPingCommand, kListenerPingReply},
                              {L"SERVICE_CONTROL_INTERROGATE", L"SERVICE_RUNNING"},
                              {kListenerProcessIdCommand, std::to_wstring(GetCurrentProcessId())}})),
          mutex(CreateMutexW(nullptr, TRUE, ServiceMutexName(name).c_str()))
    {
    }
    test::TestListener listener;
    KernelHandle mutex;
};

TEST_F(WaveTest, ReattachWatchesAServiceThatAnswersAgain)
{
    ServiceRecord& record = Add(L"r", StartupProfile::kEarly);
    RunningService running(Name(L"r"));
    ASSERT_TRUE(running.mutex);
    record.SetListenerPipeName(running.listener.Name());

    EXPECT_EQ(ReattachRunningServices(runtime_), 0u);

    EXPECT_EQ(record.GetState(), ServiceState::kRunning);
    ASSERT_NE(record.GetServiceMutex(), nullptr);
    EXPECT_TRUE(runtime_.waitSet.HasMutex(record.GetServiceMutex())) << "the monitor must see the process end";
    ASSERT_NE(record.Process(), nullptr);
    EXPECT_EQ(record.Process()->ProcessId(), GetCurrentProcessId());
}

TEST_F(WaveTest, ReattachLetsGoOfServicesThatCannotBeWatched)
{
    // Silent: nothing serves its pipe.
    ServiceRecord& silent = Add(L"silent", StartupProfile::kEarly);
    EXPECT_EQ(ReattachRunningServices(runtime_), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(silent.GetServiceMutex(), nullptr);
    EXPECT_EQ(silent.Process(), nullptr);

    // Answers, but holds no mutex to watch it by.
    table_.Clear();
    ServiceRecord& noMutex = Add(L"nomutex", StartupProfile::kEarly);
    test::TestListener listener(Answering({{kListenerPingCommand, kListenerPingReply}}));
    noMutex.SetListenerPipeName(listener.Name());
    EXPECT_EQ(ReattachRunningServices(runtime_), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(noMutex.GetServiceMutex(), nullptr);
    EXPECT_TRUE(runtime_.waitSet.Mutexes().empty());
    EXPECT_EQ(noMutex.Process(), nullptr);
}

TEST_F(WaveTest, ReattachFindsASharedServiceThroughItsHost)
{
    // The member comes first and has no pipe of its own; the host serves
    // the group's.
    ServiceRecord& member = Add(L"member", StartupProfile::kEarly);
    ServiceRecord& host = Add(L"host", StartupProfile::kEarly);
    for (ServiceRecord* record : {&member, &host}) {
        record->SetServiceType(WinServiceType::kShareProcess);
        record->SetBinaryPath(L"C:\\qvxtest\\shared.exe");
    }
    RunningService running(Name(L"host"));
    KernelHandle memberMutex(CreateMutexW(nullptr, TRUE, ServiceMutexName(Name(L"member")).c_str()));
    ASSERT_TRUE(memberMutex);
    host.SetListenerPipeName(running.listener.Name());

    EXPECT_EQ(ReattachRunningServices(runtime_), 0u);

    EXPECT_EQ(member.GetListenerPipeName(), running.listener.Name());
    EXPECT_EQ(member.GetState(), ServiceState::kRunning);
    EXPECT_TRUE(runtime_.waitSet.HasMutex(member.GetServiceMutex()));
    EXPECT_TRUE(runtime_.waitSet.HasMutex(host.GetServiceMutex()));
}

} // namespace
} // namespace qvx
