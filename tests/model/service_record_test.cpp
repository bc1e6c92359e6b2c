#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "model/handle_release.h"
#include "model/hosted_process.h"
#include "model/power_profile.h"
#include "model/service_record.h"
#include "tests/support/trace_capture.h"

namespace qvx {

struct ServiceRecordTestPeer {
    static void ForceState(ServiceRecord& record, ServiceState state)
    {
        record.state_.store(static_cast<uint32_t>(state));
    }
};

namespace {

using S = ServiceState;

// Remembers what the record hands to the handle release instead of closing it.
class RecordingRelease final : public HandleRelease {
public:
    struct Released {
        const char* kind;
        HANDLE handle;
        bool operator==(const Released& other) const { return std::string(kind) == other.kind && handle == other.handle; }
    };

    void ReleaseTimer(HANDLE timer) override { released.push_back({"timer", timer}); }
    void ReleaseServiceMutex(HANDLE mutex) override { released.push_back({"mutex", mutex}); }

    std::vector<Released> released;
};

std::ostream& operator<<(std::ostream& out, const RecordingRelease::Released& r)
{
    return out << r.kind << ":" << r.handle;
}

HANDLE FakeHandle(uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

bool IsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

class ServiceRecordTest : public testing::Test {
protected:
    void SetUp() override { InstallHandleRelease(&release_); }
    void TearDown() override { InstallHandleRelease(nullptr); }

    // Two real handles standing in for a process and its thread, so that
    // closing them can be observed; HostedProcess::Adopt makes them owned.
    static PROCESS_INFORMATION MakeProcessInfo()
    {
        PROCESS_INFORMATION info = {};
        info.hProcess = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        info.hThread = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        info.dwProcessId = 1234;
        info.dwThreadId = 5678;
        return info;
    }

    // A record with every field away from its default.
    static void FillRecord(ServiceRecord& record)
    {
        record.SetName(L"filled");
        record.SetSVHType(SvhServiceType::kUnknown);
        record.SetServiceType(WinServiceType::kUserDll);
        record.SetStartupProfile(StartupProfile::kLate);
        record.SetDependOnService({L"alpha", L"beta"});
        record.SetResetPeriod(60);
        record.SetRestartCount(3);
        record.SetRestartDelay(5);
        record.SetPowerProfile(POWERPROFILE_BATTERY | POWERPROFILE_NORMAL);
        record.SetShutdownTimeout(45);
        record.SetStartupTimeout(90);
        record.SetBinaryPath(L"C:\\svc\\filled.dll");
        record.SetGroupAccount(L"LocalService");
        record.SetLaunchProtected(LaunchProtection::kAntimalwareLight);
        record.SetServiceMain("FilledMain");
        record.SetUserStopped(true);
        record.SetVersion(7);
        record.SetNumServiceArgs(2);
        record.SetServiceArgs(L"-a -b");
        record.SetListenerPipeName(L"\\\\.\\pipe\\host_qvxsvh_listenerpipe");
        record.SetResetWindowActive(true);
        record.SetRestartsInWindow(2);
        record.TrySetStartInProgress(true);
        record.SetDependencyFailed(true);
        record.SetCrashed(true);
        record.SetStopRequested(true);
        record.SetDisabled(true);
        record.SetWaiters({L"waiter"});
    }

    RecordingRelease release_;
};

// The state a record reaches from STOPPED through allowed changes only.
void Reach(ServiceRecord& record, S target)
{
    switch (target) {
    case S::kStopped:
        break;
    case S::kStartPending:
    case S::kRunning:
    case S::kPostShutdown:
        ASSERT_TRUE(record.SetServiceState(target));
        break;
    case S::kStopPending:
    case S::kPostShutdownPending:
        ASSERT_TRUE(record.SetServiceState(S::kRunning));
        ASSERT_TRUE(record.SetServiceState(target));
        break;
    default:
        ServiceRecordTestPeer::ForceState(record, target);
        break;
    }
    ASSERT_EQ(record.GetState(), target);
}

TEST(ServiceRecordState, TransitionTable)
{
    const S targets[] = {S::kStopped, S::kStartPending, S::kStopPending, S::kRunning, S::kContinuePending,
        S::kPausePending, S::kPaused, S::kPostShutdownPending, S::kPostShutdown};
    const struct {
        S from;
        std::vector<S> allowed;
    } rows[] = {
        {S::kStopped, {S::kStartPending, S::kRunning, S::kPostShutdown}},
        {S::kStartPending, {S::kStopped, S::kRunning, S::kPostShutdown}},
        {S::kStopPending, {S::kStopped, S::kPostShutdown}},
        {S::kRunning, {S::kStopped, S::kStopPending, S::kPostShutdownPending, S::kPostShutdown}},
        {S::kPostShutdownPending, {S::kStopped, S::kStopPending, S::kPostShutdown}},
        {S::kPostShutdown, {S::kRunning}},
    };
    for (const auto& row : rows) {
        for (S to : targets) {
            ServiceRecord record;
            record.SetName(L"svc");
            Reach(record, row.from);
            const bool allowed = std::find(row.allowed.begin(), row.allowed.end(), to) != row.allowed.end();
            test::TraceCapture traces;
            EXPECT_EQ(record.SetServiceState(to), allowed) << ServiceStateName(row.from) << " -> " << ServiceStateName(to);
            EXPECT_EQ(record.GetState(), allowed ? to : row.from);
            // A refusal is traced as an error with the service's name.
            EXPECT_EQ(traces.Contains(trace::kError, L"svc"), !allowed)
                << ServiceStateName(row.from) << " -> " << ServiceStateName(to) << "\n"
                << testing::PrintToString(traces.Dump());
        }
    }
}

TEST(ServiceRecordState, ChangesFromStatesOutsideTheTableAreIgnoredSilently)
{
    for (S from : {S::kContinuePending, S::kPausePending, S::kPaused, static_cast<S>(0), static_cast<S>(0x2000)}) {
        for (S to : {S::kStopped, S::kRunning, S::kPostShutdown}) {
            ServiceRecord record;
            Reach(record, from);
            test::TraceCapture traces;
            EXPECT_FALSE(record.SetServiceState(to));
            EXPECT_EQ(record.GetState(), from);
            EXPECT_FALSE(traces.Contains(trace::kError, L"")) << testing::PrintToString(traces.Dump());
        }
    }
}

TEST(ServiceRecordState, StopRequestedIsClearedWhenTheServiceStops)
{
    const struct {
        const char* name;
        S from;
        S to;
        bool clearedAfter;
    } cases[] = {
        {"running to stopped", S::kRunning, S::kStopped, true},
        {"stop pending to stopped", S::kStopPending, S::kStopped, true},
        {"running to stop pending", S::kRunning, S::kStopPending, false},
        {"post shutdown back to running", S::kPostShutdown, S::kRunning, false},
        {"refused stopped to stopped", S::kStopped, S::kStopped, false},
    };
    for (const auto& c : cases) {
        ServiceRecord record;
        Reach(record, c.from);
        record.SetStopRequested(true);
        record.SetServiceState(c.to);
        EXPECT_EQ(record.GetStopRequested(), !c.clearedAfter) << c.name;
    }
}

TEST(ServiceRecordRestart, OpenRestartWindow)
{
    const struct {
        const char* name;
        DWORD resetPeriod, restartCount, restartDelay;
        bool windowActive;
        bool opens;
    } cases[] = {
        {"complete policy, closed window", 60, 3, 5, false, true},
        {"no reset period", 0, 3, 5, false, false},
        {"no restart count", 60, 0, 5, false, false},
        {"no restart delay", 60, 3, 0, false, false},
        {"window already open", 60, 3, 5, true, false},
    };
    for (const auto& c : cases) {
        ServiceRecord record;
        record.SetResetPeriod(c.resetPeriod);
        record.SetRestartCount(c.restartCount);
        record.SetRestartDelay(c.restartDelay);
        record.SetResetWindowActive(c.windowActive);
        record.SetRestartsInWindow(2);
        EXPECT_EQ(record.OpenRestartWindow(), c.opens) << c.name;
        EXPECT_EQ(record.GetRestartsInWindow(), c.opens ? 0u : 2u) << c.name;
        EXPECT_EQ(record.GetResetWindowActive(), c.windowActive) << c.name;
    }
}

TEST(ServiceRecordRestart, RestartAllowed)
{
    const struct {
        const char* name;
        bool windowActive;
        DWORD restartCount;
        DWORD restartsInWindow;
        bool allowed;
    } cases[] = {
        {"closed window, counts used up", false, 3, 3, true},
        {"closed window, no restarts allowed", false, 0, 9, true},
        {"open window, restarts left", true, 3, 2, true},
        {"open window, counts used up", true, 3, 3, false},
        {"open window, no restarts allowed", true, 0, 0, false},
        // The counts compare as signed numbers.
        {"restarts in window negative", true, 3, 0xFFFFFFFF, true},
        {"restart count negative", true, 0x80000000, 0, false},
    };
    for (const auto& c : cases) {
        ServiceRecord record;
        record.SetResetPeriod(60);
        record.SetRestartDelay(5);
        record.SetResetWindowActive(c.windowActive);
        record.SetRestartCount(c.restartCount);
        record.SetRestartsInWindow(c.restartsInWindow);
        EXPECT_EQ(record.RestartAllowed(), c.allowed) << c.name;
    }
}

TEST_F(ServiceRecordTest, CopyTakesFieldsButNoHandles)
{
    ServiceRecord source;
    FillRecord(source);
    ASSERT_TRUE(source.SetServiceState(S::kRunning));
    const PROCESS_INFORMATION process = MakeProcessInfo();
    source.AttachProcess(HostedProcess::Adopt(process));
    source.SetServiceMutex(FakeHandle(0x100));
    source.SetTimer(ServiceTimer::kStartup, FakeHandle(0x104));
    source.SetTimer(ServiceTimer::kResetPeriod, FakeHandle(0x108));

    {
        test::TraceCapture traces;
        ServiceRecord copy(source);
        EXPECT_EQ(copy.GetName(), L"filled");
        EXPECT_EQ(copy.GetSVHType(), SvhServiceType::kUnknown);
        EXPECT_EQ(copy.GetServiceType(), WinServiceType::kUserDll);
        EXPECT_EQ(copy.GetStartupProfile(), StartupProfile::kLate);
        EXPECT_EQ(copy.GetDependOnService(), (std::vector<std::wstring>{L"alpha", L"beta"}));
        EXPECT_EQ(copy.GetResetPeriod(), 60u);
        EXPECT_EQ(copy.GetRestartCount(), 3u);
        EXPECT_EQ(copy.GetRestartDelay(), 5u);
        EXPECT_EQ(copy.GetPowerProfile(), 0x11u);
        EXPECT_EQ(copy.GetShutdownTimeout(), 45u);
        EXPECT_EQ(copy.GetStartupTimeout(), 90u);
        EXPECT_EQ(copy.GetBinaryPath(), L"C:\\svc\\filled.dll");
        EXPECT_EQ(copy.GetGroupAccount(), L"LocalService");
        EXPECT_EQ(copy.GetLaunchProtected(), LaunchProtection::kAntimalwareLight);
        EXPECT_EQ(copy.GetServiceMain(), std::optional<std::string>("FilledMain"));
        EXPECT_TRUE(copy.GetUserStopped());
        EXPECT_EQ(copy.GetVersion(), 7u);
        EXPECT_EQ(copy.GetNumServiceArgs(), 2u);
        EXPECT_EQ(copy.GetServiceArgs(), L"-a -b");
        EXPECT_EQ(copy.GetState(), S::kRunning);
        EXPECT_EQ(copy.GetListenerPipeName(), L"\\\\.\\pipe\\host_qvxsvh_listenerpipe");
        EXPECT_TRUE(copy.GetResetWindowActive());
        EXPECT_EQ(copy.GetRestartsInWindow(), 2u);
        EXPECT_TRUE(copy.GetStartInProgress());
        EXPECT_TRUE(copy.GetDependencyFailed());
        EXPECT_TRUE(copy.GetCrashed());
        EXPECT_TRUE(copy.GetStopRequested());
        EXPECT_TRUE(copy.GetDisabled());
        EXPECT_EQ(copy.GetWaiters(), std::vector<std::wstring>{L"waiter"});

        // The running process and its handles stay with the source.
        EXPECT_EQ(copy.Process(), nullptr);
        EXPECT_FALSE(copy.HasProcessHandle());
        EXPECT_EQ(copy.GetServiceMutex(), nullptr);
        EXPECT_EQ(copy.GetTimer(ServiceTimer::kStartup), nullptr);
        EXPECT_EQ(copy.GetTimer(ServiceTimer::kResetPeriod), nullptr);
        EXPECT_FALSE(traces.Contains(trace::kError, L"")) << testing::PrintToString(traces.Dump());

        // The copy is a scratch record: changing it leaves the source alone.
        copy.SetServiceMain("Other");
        copy.SetDependOnService({});
    }

    // Destroying the copy released nothing of the source's.
    EXPECT_TRUE(release_.released.empty());
    EXPECT_TRUE(IsOpen(process.hProcess));
    EXPECT_TRUE(IsOpen(process.hThread));
    ASSERT_NE(source.Process(), nullptr);
    EXPECT_EQ(source.Process()->ProcessHandle(), process.hProcess);
    EXPECT_EQ(source.GetServiceMain(), std::optional<std::string>("FilledMain"));
    EXPECT_EQ(source.GetDependOnService().size(), 2u);
    EXPECT_EQ(source.GetServiceMutex(), FakeHandle(0x100));
}

TEST_F(ServiceRecordTest, CopyStateFollowsTheRuleFromStopped)
{
    const struct {
        S source;
        S copy;
    } cases[] = {
        {S::kStopped, S::kStopped},
        {S::kStartPending, S::kStartPending},
        {S::kStopPending, S::kStopped},
        {S::kRunning, S::kRunning},
        {S::kPostShutdownPending, S::kStopped},
        {S::kPostShutdown, S::kPostShutdown},
        {S::kPaused, S::kStopped},
    };
    for (const auto& c : cases) {
        ServiceRecord source;
        Reach(source, c.source);
        ServiceRecord copy(source);
        EXPECT_EQ(copy.GetState(), c.copy) << ServiceStateName(c.source);
        EXPECT_EQ(source.GetState(), c.source);
    }
}

TEST_F(ServiceRecordTest, ResetReleasesHandlesAndRestoresDefaults)
{
    ServiceRecord record;
    FillRecord(record);
    ASSERT_TRUE(record.SetServiceState(S::kRunning));
    const PROCESS_INFORMATION process = MakeProcessInfo();
    record.AttachProcess(HostedProcess::Adopt(process));
    record.SetServiceMutex(FakeHandle(0x100));
    record.SetTimer(ServiceTimer::kResetPeriod, FakeHandle(0x104));
    record.SetTimer(ServiceTimer::kRestartDelay, FakeHandle(0x108));
    record.SetTimer(ServiceTimer::kShutdown, FakeHandle(0x10C));
    record.SetTimer(ServiceTimer::kStartup, FakeHandle(0x110));

    record.Reset();

    EXPECT_FALSE(IsOpen(process.hProcess));
    EXPECT_FALSE(IsOpen(process.hThread));
    const std::vector<RecordingRelease::Released> expected = {
        {"mutex", FakeHandle(0x100)},
        {"timer", FakeHandle(0x110)},
        {"timer", FakeHandle(0x10C)},
        {"timer", FakeHandle(0x104)},
        {"timer", FakeHandle(0x108)},
    };
    EXPECT_EQ(release_.released, expected);
    EXPECT_EQ(record.GetServiceMutex(), nullptr);
    for (auto slot : {ServiceTimer::kResetPeriod, ServiceTimer::kRestartDelay, ServiceTimer::kShutdown, ServiceTimer::kStartup})
        EXPECT_EQ(record.GetTimer(slot), nullptr);
    EXPECT_EQ(record.Process(), nullptr);

    const ServiceRecord fresh;
    EXPECT_EQ(record.GetName(), L"");
    EXPECT_EQ(record.GetState(), S::kStopped);
    EXPECT_EQ(record.GetSVHType(), SvhServiceType::kSvh);
    EXPECT_EQ(record.GetServiceType(), WinServiceType::kUnknown);
    EXPECT_EQ(record.GetStartupProfile(), StartupProfile::kNone);
    EXPECT_TRUE(record.GetDependOnService().empty());
    EXPECT_EQ(record.GetResetPeriod(), 0u);
    EXPECT_EQ(record.GetRestartCount(), 0u);
    EXPECT_EQ(record.GetRestartDelay(), 0u);
    EXPECT_EQ(record.GetPowerProfile(), 0u);
    EXPECT_EQ(record.GetShutdownTimeout(), 30u);
    EXPECT_EQ(record.GetStartupTimeout(), 30u);
    EXPECT_EQ(record.GetBinaryPath(), L"");
    EXPECT_EQ(record.GetGroupAccount(), L"");
    EXPECT_EQ(record.GetServiceMain(), std::nullopt);
    EXPECT_FALSE(record.GetUserStopped());
    EXPECT_EQ(record.GetNumServiceArgs(), 0u);
    EXPECT_EQ(record.GetServiceArgs(), L"");
    EXPECT_EQ(record.GetListenerPipeName(), L"");
    EXPECT_FALSE(record.GetResetWindowActive());
    EXPECT_EQ(record.GetRestartsInWindow(), 0u);
    EXPECT_FALSE(record.GetStartInProgress());
    EXPECT_FALSE(record.GetDependencyFailed());
    EXPECT_FALSE(record.GetCrashed());
    EXPECT_FALSE(record.GetStopRequested());
    EXPECT_FALSE(record.GetDisabled());
    EXPECT_TRUE(record.GetWaiters().empty());
    // Those two outlive a reset.
    EXPECT_EQ(record.GetLaunchProtected(), LaunchProtection::kAntimalwareLight);
    EXPECT_EQ(record.GetVersion(), 7u);
    // A new record starts from the same defaults.
    EXPECT_EQ(fresh.GetState(), S::kStopped);
    EXPECT_EQ(fresh.GetSVHType(), SvhServiceType::kSvh);
    EXPECT_EQ(fresh.GetStartupProfile(), StartupProfile::kNone);
    EXPECT_EQ(fresh.GetShutdownTimeout(), 30u);
    EXPECT_EQ(fresh.GetStartupTimeout(), 30u);
    EXPECT_EQ(fresh.GetLaunchProtected(), LaunchProtection::kNone);
}

TEST_F(ServiceRecordTest, DestroyingARecordReleasesItsHandles)
{
    const PROCESS_INFORMATION process = MakeProcessInfo();
    {
        ServiceRecord record;
        record.AttachProcess(HostedProcess::Adopt(process));
        record.SetServiceMutex(FakeHandle(0x200));
        record.SetTimer(ServiceTimer::kRestartDelay, FakeHandle(0x204));
    }
    EXPECT_FALSE(IsOpen(process.hProcess));
    EXPECT_FALSE(IsOpen(process.hThread));
    const std::vector<RecordingRelease::Released> expected = {{"mutex", FakeHandle(0x200)}, {"timer", FakeHandle(0x204)}};
    EXPECT_EQ(release_.released, expected);
}

TEST_F(ServiceRecordTest, ReleaseProcessHandles)
{
    ServiceRecord record;
    const PROCESS_INFORMATION process = MakeProcessInfo();
    record.AttachProcess(HostedProcess::Adopt(process));
    record.SetStopRequested(true);
    record.SetServiceMutex(FakeHandle(0x300));
    record.SetTimer(ServiceTimer::kShutdown, FakeHandle(0x304));
    record.SetTimer(ServiceTimer::kStartup, FakeHandle(0x308));
    record.SetTimer(ServiceTimer::kRestartDelay, FakeHandle(0x30C));

    record.ReleaseProcessHandles();

    EXPECT_FALSE(record.GetStopRequested());
    EXPECT_EQ(record.Process(), nullptr);
    EXPECT_FALSE(IsOpen(process.hProcess));
    EXPECT_FALSE(IsOpen(process.hThread));
    const std::vector<RecordingRelease::Released> expected = {
        {"mutex", FakeHandle(0x300)}, {"timer", FakeHandle(0x308)}, {"timer", FakeHandle(0x304)}};
    EXPECT_EQ(release_.released, expected);
    // The restart timers belong to the restart policy and stay.
    EXPECT_EQ(record.GetTimer(ServiceTimer::kRestartDelay), FakeHandle(0x30C));
}

TEST_F(ServiceRecordTest, ReplacingAHandleReleasesThePreviousOne)
{
    ServiceRecord record;
    record.SetTimer(ServiceTimer::kStartup, FakeHandle(0x400));
    record.SetTimer(ServiceTimer::kStartup, FakeHandle(0x400)); // the same timer again: kept
    record.SetTimer(ServiceTimer::kStartup, FakeHandle(0x404));
    record.SetServiceMutex(FakeHandle(0x408));
    record.CloseServiceMutex();
    const std::vector<RecordingRelease::Released> expected = {{"timer", FakeHandle(0x400)}, {"mutex", FakeHandle(0x408)}};
    EXPECT_EQ(release_.released, expected);
    EXPECT_EQ(record.GetServiceMutex(), nullptr);

    const PROCESS_INFORMATION first = MakeProcessInfo();
    const std::shared_ptr<HostedProcess> firstProcess = HostedProcess::Adopt(first);
    record.AttachProcess(firstProcess);
    record.AttachProcess(firstProcess); // the same process again: nothing closed
    EXPECT_EQ(record.Process(), firstProcess);
    record.AttachProcess(HostedProcess::Adopt(MakeProcessInfo()));
    EXPECT_TRUE(IsOpen(first.hProcess)) << "a reference elsewhere keeps the replaced process open";
    EXPECT_NE(record.Process(), firstProcess);
}

// Two services of one shared process hold one HostedProcess: whichever way
// the first lets go, the handles stay open for the second, and the second's
// letting go closes them.
TEST_F(ServiceRecordTest, SharedProcessClosesWithTheLastRecord)
{
    using LetGo = void (*)(std::unique_ptr<ServiceRecord>&);
    const struct {
        const char* name;
        LetGo letGo;
    } ways[] = {
        {"ReleaseProcess", [](std::unique_ptr<ServiceRecord>& r) { r->ReleaseProcess(); }},
        {"ReleaseProcessHandles", [](std::unique_ptr<ServiceRecord>& r) { r->ReleaseProcessHandles(); }},
        {"Reset", [](std::unique_ptr<ServiceRecord>& r) { r->Reset(); }},
        {"another process attached",
            [](std::unique_ptr<ServiceRecord>& r) {
                PROCESS_INFORMATION none = {};
                r->AttachProcess(HostedProcess::Adopt(none));
            }},
        {"record destroyed", [](std::unique_ptr<ServiceRecord>& r) { r.reset(); }},
    };
    for (const auto& first : ways) {
        for (const auto& last : ways) {
            SCOPED_TRACE(std::string(first.name) + " then " + last.name);
            const PROCESS_INFORMATION info = MakeProcessInfo();
            auto host = std::make_unique<ServiceRecord>();
            auto guest = std::make_unique<ServiceRecord>();
            host->AttachProcess(HostedProcess::Adopt(info));
            guest->AttachProcess(host->Process());
            ASSERT_EQ(guest->Process(), host->Process());

            first.letGo(host);
            EXPECT_TRUE(IsOpen(info.hProcess));
            EXPECT_TRUE(IsOpen(info.hThread));
            ASSERT_NE(guest->Process(), nullptr);
            EXPECT_EQ(guest->Process()->ProcessHandle(), info.hProcess);
            EXPECT_EQ(guest->Process()->ProcessId(), info.dwProcessId);
            EXPECT_TRUE(guest->HasProcessHandle());

            last.letGo(guest);
            EXPECT_FALSE(IsOpen(info.hProcess));
            EXPECT_FALSE(IsOpen(info.hThread));
        }
    }
}

// A copy of a record in a shared process neither shares the process nor
// keeps it open.
TEST_F(ServiceRecordTest, CopyOfASharedRecordHoldsNoProcess)
{
    const PROCESS_INFORMATION info = MakeProcessInfo();
    auto host = std::make_unique<ServiceRecord>();
    host->AttachProcess(HostedProcess::Adopt(info));
    ServiceRecord copy(*host);
    EXPECT_EQ(copy.Process(), nullptr);
    host.reset();
    EXPECT_FALSE(IsOpen(info.hProcess)) << "the copy kept the process open";
}

TEST(ServiceRecord, BuildListenerPipeName)
{
    const struct {
        const wchar_t* name;
        const wchar_t* pipe;
    } cases[] = {
        {L"mysvc", L"\\\\.\\pipe\\mysvc_qvxsvh_listenerpipe"},
        {L"MySvc", L"\\\\.\\pipe\\MySvc_qvxsvh_listenerpipe"},
        {L"a%sb", L"\\\\.\\pipe\\a%sb_qvxsvh_listenerpipe"},
    };
    for (const auto& c : cases) {
        ServiceRecord record;
        record.SetName(c.name);
        record.SetListenerPipeName(L"\\\\.\\pipe\\host_qvxsvh_listenerpipe");
        record.BuildListenerPipeName();
        EXPECT_EQ(record.GetListenerPipeName(), c.pipe);
    }
}

TEST(ServiceRecord, ServiceMainIsUnsetUntilGiven)
{
    ServiceRecord record;
    EXPECT_EQ(record.GetServiceMain(), std::nullopt);
    record.SetServiceMain("");
    EXPECT_EQ(record.GetServiceMain(), std::optional<std::string>(""));
    record.SetServiceMain("ServiceMain");
    EXPECT_EQ(record.GetServiceMain(), std::optional<std::string>("ServiceMain"));
    record.SetServiceMain(nullptr);
    EXPECT_EQ(record.GetServiceMain(), std::nullopt);
}

TEST(ServiceRecord, SetUserStoppedReturnsAndTracesTheChange)
{
    ServiceRecord record;
    record.SetName(L"stopper");
    test::TraceCapture traces;
    EXPECT_FALSE(record.SetUserStopped(true));
    EXPECT_TRUE(record.GetUserStopped());
    EXPECT_TRUE(record.SetUserStopped(true));
    EXPECT_TRUE(record.SetUserStopped(false));
    EXPECT_FALSE(record.GetUserStopped());
    EXPECT_TRUE(traces.Contains(0, L"stopper")) << testing::PrintToString(traces.Dump());
}

TEST(ServiceRecord, StartInProgressIsTakenOnce)
{
    ServiceRecord record;
    EXPECT_TRUE(record.TrySetStartInProgress(true));
    EXPECT_FALSE(record.TrySetStartInProgress(true));
    EXPECT_TRUE(record.GetStartInProgress());
    EXPECT_TRUE(record.TrySetStartInProgress(false));
    EXPECT_TRUE(record.TrySetStartInProgress(false));
    EXPECT_FALSE(record.GetStartInProgress());
    EXPECT_TRUE(record.TrySetStartInProgress(true));
}

TEST(ServiceRecord, StartInProgressRaceHasOneWinner)
{
    ServiceRecord record;
    for (int round = 0; round < 100; ++round) {
        HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(go, nullptr);
        bool won[2] = {};
        std::thread first([&] {
            WaitForSingleObject(go, INFINITE);
            won[0] = record.TrySetStartInProgress(true);
        });
        std::thread second([&] {
            WaitForSingleObject(go, INFINITE);
            won[1] = record.TrySetStartInProgress(true);
        });
        SetEvent(go);
        first.join();
        second.join();
        CloseHandle(go);
        ASSERT_NE(won[0], won[1]) << "round " << round;
        ASSERT_TRUE(record.TrySetStartInProgress(false));
    }
}

TEST(ServiceRecord, RecordLockIsRecursiveAndExcludesOtherThreads)
{
    ServiceRecord record;
    record.SetName(L"before");
    HANDLE read = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(read, nullptr);
    std::wstring seen;
    std::thread reader;
    {
        RecordLock outer(record);
        RecordLock inner(record);
        record.SetName(L"during"); // the accessor takes the lock once more
        reader = std::thread([&] {
            seen = record.GetName();
            SetEvent(read);
        });
        // The reader cannot get the name while this thread holds the lock.
        EXPECT_EQ(WaitForSingleObject(read, 100), static_cast<DWORD>(WAIT_TIMEOUT));
        record.SetName(L"after");
    }
    reader.join();
    CloseHandle(read);
    EXPECT_EQ(seen, L"after");
}

} // namespace
} // namespace qvx
