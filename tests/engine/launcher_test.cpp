#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/event_report.h"
#include "engine/launcher.h"
#include "engine/listener_messages.h"
#include "engine/process_launch.h"
#include "model/hosted_process.h"
#include "model/life_cycle_record.h"
#include "model/service_mutex.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "platform/handles.h"
#include "platform/locks.h"
#include "platform/registry_value.h"
#include "runtime/host_runtime.h"
#include "tests/engine/launch_protection_double.h"
#include "tests/engine/recording_launcher.h"
#include "tests/support/child_process.h"
#include "tests/support/event_recorder.h"
#include "tests/support/test_service_key.h"
#include "tests/support/trace_capture.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

constexpr DWORD kWaitMs = 20000;

using test::EventRecorder;
using test::RecordingLauncher;
using test::ReportedEvent;

// The system's text for a code as an event carries it: without its line break.
std::wstring MessageText(DWORD code)
{
    wchar_t buffer[1024] = {};
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                  buffer, 1024, nullptr);
    while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n' || buffer[length - 1] == L' '))
        --length;
    return std::wstring(buffer, length);
}

// A table of services published on a runtime of its own, with the
// launcher stand-in, the event recorder and the trace capture in place.
class LauncherTest : public ::testing::Test {
public: // the case tables reach the fixture from lambdas
    LauncherTest() { runtime_.PublishTable(&table_); }
    ~LauncherTest() override
    {
        runtime_.PublishTable(nullptr);
        table_.Clear();
        runtime_.waitSet.Clear();
    }

    // A stopped own-process service of the SVH class, its binary named after it.
    ServiceRecord& Add(const std::wstring& name, std::vector<std::wstring> dependencies = {})
    {
        auto record = std::make_unique<ServiceRecord>();
        record->SetName(name);
        record->SetServiceType(WinServiceType::kOwnProcess);
        record->SetBinaryPath(ExecutableOf(name) + L" -service");
        record->SetDependOnService(std::move(dependencies));
        ServiceRecord* kept = record.get();
        EXPECT_TRUE(table_.Add(record));
        return *kept;
    }
    static std::wstring ExecutableOf(const std::wstring& name) { return L"C:\\qvxtest\\" + name + L".exe"; }

    static void Drive(ServiceRecord& record, std::initializer_list<ServiceState> states)
    {
        for (ServiceState state : states)
            ASSERT_TRUE(record.SetServiceState(state));
    }
    // A share-process service of the test executable.
    ServiceRecord& AddShared(const wchar_t* name, const wchar_t* binaryPath)
    {
        ServiceRecord& record = Add(name);
        record.SetServiceType(WinServiceType::kShareProcess);
        record.SetBinaryPath(binaryPath);
        return record;
    }
    // "hosta", a share-process host with a process, in `state`, serving `pipe`.
    ServiceRecord& AddSharedHost(const std::wstring& pipe, ServiceState state, const wchar_t* binaryPath)
    {
        ServiceRecord& host = AddShared(L"hosta", binaryPath);
        host.SetListenerPipeName(pipe);
        Drive(host, {state});
        GiveProcess(host);
        return host;
    }
    // Gives the record a process of the stand-in's kind.
    void GiveProcess(ServiceRecord& record)
    {
        PROCESS_INFORMATION info = {};
        ASSERT_EQ(launcher_.Create({L"C:\\qvxtest\\given.exe", L"given", false}, info), 0u);
        launcher_.created.clear();
        launcher_.attempts.clear();
        record.AttachProcess(HostedProcess::Adopt(info));
    }

    // What a failed launch must leave: stopped, no handles, nothing for the
    // monitor to wait on, the mutex gone from the system.
    void ExpectNothingLeft(const ServiceRecord& record)
    {
        EXPECT_EQ(record.GetState(), ServiceState::kStopped);
        EXPECT_EQ(record.Process(), nullptr);
        EXPECT_EQ(record.GetServiceMutex(), nullptr);
        EXPECT_EQ(record.GetTimer(ServiceTimer::kStartup), nullptr);
        EXPECT_EQ(record.GetTimer(ServiceTimer::kShutdown), nullptr);
        EXPECT_TRUE(runtime_.waitSet.Mutexes().empty());
        EXPECT_TRUE(runtime_.waitSet.Timers().empty());
        EXPECT_FALSE(record.GetStartInProgress());
        HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, ServiceMutexName(record.GetName()).c_str());
        EXPECT_EQ(mutex, nullptr) << "the service mutex is still open";
        if (mutex)
            CloseHandle(mutex);
    }

    void ExpectOneFailureEvent(const std::wstring& named, DWORD code)
    {
        const std::vector<ReportedEvent> events = events_.Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].id, static_cast<DWORD>(kEventServiceFailedToStart));
        ASSERT_EQ(events[0].strings.size(), 2u);
        EXPECT_EQ(events[0].strings[0], named);
        EXPECT_EQ(events[0].strings[1], MessageText(code));
        EXPECT_FALSE(events[0].strings[1].empty());
    }

    test::TraceCapture traces_;
    EventRecorder events_;
    RecordingLauncher launcher_;
    HostRuntime runtime_;
    ServiceTable table_;
};

TEST_F(LauncherTest, NullRecordGivesZero)
{
    EXPECT_EQ(StartHostedService(runtime_, nullptr), 0u);
    EXPECT_EQ(StartHostedServiceAndRecord(runtime_, nullptr), 0u);
}

TEST_F(LauncherTest, EntryChecksDecideBeforeAnythingIsLaunched)
{
    struct Case {
        const char* label;
        std::function<void(LauncherTest&, ServiceRecord&)> setup;
        DWORD expected;
        ServiceState stateAfter;
    };
    const std::vector<Case> cases = {
        {"another start under way", [](LauncherTest&, ServiceRecord& r) { r.TrySetStartInProgress(true); }, 0,
         ServiceState::kStopped},
        {"disabled", [](LauncherTest&, ServiceRecord& r) { r.SetDisabled(true); }, ERROR_SERVICE_NOT_ACTIVE,
         ServiceState::kStopped},
        {"disabled while running",
         [](LauncherTest&, ServiceRecord& r) {
             r.SetDisabled(true);
             Drive(r, {ServiceState::kRunning});
         },
         ERROR_SERVICE_NOT_ACTIVE, ServiceState::kRunning},
        {"running", [](LauncherTest&, ServiceRecord& r) { Drive(r, {ServiceState::kRunning}); }, 0,
         ServiceState::kRunning},
        {"start-pending with a process",
         [](LauncherTest& t, ServiceRecord& r) {
             Drive(r, {ServiceState::kStartPending});
             t.GiveProcess(r);
         },
         ERROR_SERVICE_CANNOT_ACCEPT_CTRL, ServiceState::kStartPending},
        {"stop-pending", [](LauncherTest&, ServiceRecord& r) { Drive(r, {ServiceState::kRunning, ServiceState::kStopPending}); },
         ERROR_SERVICE_CANNOT_ACCEPT_CTRL, ServiceState::kStopPending},
        {"not of the SVH class", [](LauncherTest&, ServiceRecord& r) { r.SetSVHType(SvhServiceType::kUnknown); },
         ERROR_OBJECT_NOT_FOUND, ServiceState::kStopped},
        // Nothing is started on behalf of a service that cannot be launched.
        {"not of the SVH class, with a stopped dependency",
         [](LauncherTest& t, ServiceRecord& r) {
             const std::wstring dependency = test::UniqueName(L"entrydep");
             t.Add(dependency);
             r.SetDependOnService({dependency});
             r.SetSVHType(SvhServiceType::kUnknown);
         },
         ERROR_OBJECT_NOT_FOUND, ServiceState::kStopped},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::wstring name = test::UniqueName(L"entry");
        ServiceRecord& record = Add(name);
        c.setup(*this, record);
        const bool heldBefore = record.GetStartInProgress();

        EXPECT_EQ(StartHostedService(runtime_, &record), c.expected);
        EXPECT_EQ(record.GetState(), c.stateAfter);
        EXPECT_TRUE(launcher_.attempts.empty());
        EXPECT_EQ(record.GetServiceMutex(), nullptr);
        EXPECT_TRUE(events_.Events().empty());
        // Only the start that took the flag clears it.
        EXPECT_EQ(record.GetStartInProgress(), heldBefore);
        record.TrySetStartInProgress(false);
        table_.Remove(record);
    }
}

TEST_F(LauncherTest, LaunchCreatesSuspendedResumesAndArmsTheStartupTimer)
{
    ServiceRecord& record = Add(L"alpha");
    record.SetUserStopped(true);

    ASSERT_EQ(StartHostedService(runtime_, &record), 0u);

    ASSERT_EQ(launcher_.created.size(), 1u);
    const LaunchRequest& request = launcher_.created[0].request;
    EXPECT_EQ(request.executablePath, ExecutableOf(L"alpha"));
    EXPECT_EQ(request.commandLine, L"\"" + ExecutableOf(L"alpha") + L"\" -service");
    EXPECT_EQ(request.creationFlags, static_cast<DWORD>(0x0800000C));
    EXPECT_FALSE(request.asLocalService);
    EXPECT_EQ(launcher_.resumed, std::vector<DWORD>{launcher_.created[0].info.dwProcessId});
    EXPECT_TRUE(launcher_.terminated.empty());

    EXPECT_EQ(record.GetState(), ServiceState::kStartPending);
    EXPECT_FALSE(record.GetUserStopped());
    EXPECT_FALSE(record.GetStartInProgress());
    ASSERT_NE(record.Process(), nullptr);
    EXPECT_EQ(record.Process()->ProcessHandle(), launcher_.created[0].info.hProcess);
    EXPECT_NE(record.GetServiceMutex(), nullptr);
    EXPECT_EQ(record.GetListenerPipeName(), L"\\\\.\\pipe\\alpha_qvxsvh_listenerpipe");
    HANDLE timer = record.GetTimer(ServiceTimer::kStartup);
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(runtime_.waitSet.HasTimer(timer));
    // Armed for StartupTimeout seconds, not signalled at once.
    EXPECT_EQ(WaitForSingleObject(timer, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(events_.Events().empty());
}

TEST_F(LauncherTest, OnlyTheExactLocalServiceTextLogsOn)
{
    const struct {
        const wchar_t* account;
        bool logsOn;
    } cases[] = {{L"LocalService", true}, {L"localservice", false}, {L"LocalSystem", false}, {L"", false},
                 {L"NT AUTHORITY\\LocalService", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "account '" << std::wstring(c.account).c_str() << "'");
        ServiceRecord& record = Add(test::UniqueName(L"account"));
        record.SetGroupAccount(c.account);
        launcher_.created.clear();
        ASSERT_EQ(StartHostedService(runtime_, &record), 0u);
        ASSERT_EQ(launcher_.created.size(), 1u);
        EXPECT_EQ(launcher_.created[0].request.asLocalService, c.logsOn);
        table_.Remove(record);
    }
}

// A protected launch needs a protected host and a list that can be built;
// otherwise the service is launched unprotected. The list is freed once the
// creation is over, whether it worked or not.
TEST_F(LauncherTest, ProtectedLaunchOnlyFromAProtectedHostAndWithAList)
{
    constexpr DWORD kProtectedFlags = kLaunchCreationFlags | CREATE_PROTECTED_PROCESS | EXTENDED_STARTUPINFO_PRESENT;
    struct {
        const char* name;
        LaunchProtection protection;
        bool hostProtected;
        DWORD updateError;   // the attribute list cannot be built
        DWORD createError;
        bool protectedLaunch;
    } cases[] = {
        {"Protected", LaunchProtection::kAntimalwareLight, true, 0, 0, true},
        {"CreationFails", LaunchProtection::kAntimalwareLight, true, 0, ERROR_ACCESS_DENIED, true},
        {"HostNotProtected", LaunchProtection::kAntimalwareLight, false, 0, 0, false},
        {"ServiceNotProtected", LaunchProtection::kNone, true, 0, 0, false},
        {"ListNotBuilt", LaunchProtection::kAntimalwareLight, true, ERROR_NOT_SUPPORTED, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LaunchProtectionDouble protection;
        protection.updateError = c.updateError;
        ServiceRecord& record = Add(L"guarded");
        record.SetLaunchProtected(c.protection);
        runtime_.launchProtectedSelf = c.hostProtected;
        launcher_.Forget();
        if (c.createError)
            launcher_.createErrors[ExecutableOf(record.GetName())] = c.createError;

        EXPECT_EQ(StartHostedService(runtime_, &record), c.createError);
        ASSERT_EQ(launcher_.attempts.size(), 1u);
        const LaunchRequest& request = launcher_.attempts[0];
        EXPECT_EQ(request.creationFlags, c.protectedLaunch ? kProtectedFlags : kLaunchCreationFlags);
        EXPECT_EQ(request.attributeList != nullptr, c.protectedLaunch);
        EXPECT_EQ(protection.liveLists, 0);
        EXPECT_EQ(record.GetState(), c.createError ? ServiceState::kStopped : ServiceState::kStartPending);
        table_.Remove(record);
    }
    runtime_.launchProtectedSelf = false;
}

TEST_F(LauncherTest, FailedLaunchLeavesTheServiceStoppedWithOneEvent)
{
    struct Case {
        const char* label;
        std::function<void(LauncherTest&, ServiceRecord&)> setup;
        DWORD expected;
        bool created;    // a process was created (and must be ended)
    };
    const std::vector<Case> cases = {
        {"creation fails",
         [](LauncherTest& t, ServiceRecord& r) { t.launcher_.createErrors[ExecutableOf(r.GetName())] = ERROR_FILE_NOT_FOUND; },
         ERROR_FILE_NOT_FOUND, false},
        {"resume fails", [](LauncherTest& t, ServiceRecord&) { t.launcher_.resumeError = ERROR_ACCESS_DENIED; },
         ERROR_ACCESS_DENIED, true},
        {"binary path without .exe", [](LauncherTest&, ServiceRecord& r) { r.SetBinaryPath(L"C:\\qvxtest\\tool.com -x"); },
         ERROR_BAD_EXE_FORMAT, false},
        {"DLL service whose DLL is missing",
         [](LauncherTest&, ServiceRecord& r) {
             r.SetServiceType(WinServiceType::kUserDll);
             r.SetBinaryPath(L"C:\\qvxtest\\no-such-service.dll");
             r.SetServiceMain("ServiceMain");
         },
         ERROR_MOD_NOT_FOUND, false},
        {"waiting service whose launch fails",
         [](LauncherTest& t, ServiceRecord& r) {
             Drive(r, {ServiceState::kStartPending});
             t.launcher_.createErrors[ExecutableOf(r.GetName())] = ERROR_PATH_NOT_FOUND;
         },
         ERROR_PATH_NOT_FOUND, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::wstring name = test::UniqueName(L"failing");
        ServiceRecord& record = Add(name);
        c.setup(*this, record);

        EXPECT_EQ(StartHostedService(runtime_, &record), c.expected);
        ExpectNothingLeft(record);
        ExpectOneFailureEvent(name, c.expected);
        EXPECT_EQ(launcher_.created.size(), c.created ? 1u : 0u);
        if (c.created) {
            ASSERT_EQ(launcher_.terminated.size(), 1u);
            EXPECT_EQ(launcher_.terminated[0].second, c.expected);
        }

        table_.Remove(record);
        launcher_.Forget();
        events_.Clear();
    }
}

TEST_F(LauncherTest, MissingOrStoppingDependencyFailsWithOneEvent)
{
    ServiceRecord& stopping = Add(L"stopping");
    Drive(stopping, {ServiceState::kRunning, ServiceState::kStopPending});
    ServiceRecord& running = Add(L"running");
    Drive(running, {ServiceState::kRunning});
    const struct {
        const char* label;
        std::vector<std::wstring> dependencies;
        DWORD expected;
        const wchar_t* eventNames; // null: the service itself
    } cases[] = {
        {"missing", {L"running", L"absent"}, ERROR_SERVICE_DEPENDENCY_FAIL, nullptr},
        {"stop-pending", {L"running", L"stopping"}, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, L"stopping"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::wstring name = test::UniqueName(L"dependent");
        ServiceRecord& record = Add(name, c.dependencies);

        EXPECT_EQ(StartHostedService(runtime_, &record), c.expected);
        EXPECT_EQ(record.GetState(), ServiceState::kStopped);
        EXPECT_TRUE(launcher_.attempts.empty());
        EXPECT_TRUE(running.GetWaiters().empty());
        ExpectOneFailureEvent(c.eventNames ? c.eventNames : name, c.expected);

        table_.Remove(record);
        events_.Clear();
    }
}

TEST_F(LauncherTest, StoppedDependencyIsStartedFirstAndTheServiceWaits)
{
    ServiceRecord& base = Add(L"base");
    ServiceRecord& starting = Add(L"starting");
    Drive(starting, {ServiceState::kStartPending});
    GiveProcess(starting);
    ServiceRecord& top = Add(L"top", {L"base", L"starting"});

    ASSERT_EQ(StartHostedService(runtime_, &top), 0u);

    ASSERT_EQ(launcher_.created.size(), 1u);
    EXPECT_EQ(launcher_.created[0].request.executablePath, ExecutableOf(L"base"));
    EXPECT_EQ(base.GetState(), ServiceState::kStartPending);
    EXPECT_EQ(base.GetWaiters(), std::vector<std::wstring>{L"top"});
    EXPECT_EQ(starting.GetWaiters(), std::vector<std::wstring>{L"top"});
    EXPECT_EQ(top.GetState(), ServiceState::kStartPending);
    EXPECT_EQ(top.Process(), nullptr);
    EXPECT_EQ(top.GetServiceMutex(), nullptr);
    EXPECT_TRUE(events_.Events().empty());

    // Once its dependencies run, the waiting service's start goes on to
    // its own launch.
    Drive(base, {ServiceState::kRunning});
    Drive(starting, {ServiceState::kRunning});
    ASSERT_EQ(StartHostedService(runtime_, &top), 0u);
    ASSERT_EQ(launcher_.created.size(), 2u);
    EXPECT_EQ(launcher_.created[1].request.executablePath, ExecutableOf(L"top"));
    EXPECT_NE(top.Process(), nullptr);
    EXPECT_EQ(top.GetState(), ServiceState::kStartPending);
}

TEST_F(LauncherTest, FailingDependencyLeavesTheServiceAsItWas)
{
    ServiceRecord& starting = Add(L"starting");
    Drive(starting, {ServiceState::kStartPending});
    GiveProcess(starting);
    ServiceRecord& broken = Add(L"broken");
    launcher_.createErrors[ExecutableOf(L"broken")] = ERROR_FILE_NOT_FOUND;
    ServiceRecord& top = Add(L"top", {L"starting", L"broken"});

    EXPECT_EQ(StartHostedService(runtime_, &top), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_EQ(top.GetState(), ServiceState::kStopped);
    EXPECT_EQ(top.GetServiceMutex(), nullptr);
    EXPECT_FALSE(top.GetStartInProgress());
    EXPECT_TRUE(starting.GetWaiters().empty());
    EXPECT_TRUE(broken.GetWaiters().empty());
    ExpectNothingLeft(broken);
    // The dependency reports its own failure; the service adds none.
    ExpectOneFailureEvent(L"broken", ERROR_FILE_NOT_FOUND);
}

// A hosted service's listener pipe standing in for a shared host: keeps the
// first message a client posts.
class OneMessagePipe {
public:
    OneMessagePipe()
        : name_(test::UniqueName(L"\\\\.\\pipe\\qvxtest-host")),
          pipe_(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                 1, 4096, 4096, 0, nullptr)),
          done_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        thread_ = std::thread([this] {
            // A client that posted and closed before the server got here has
            // still left its message in the pipe.
            const bool connected = ConnectNamedPipe(pipe_.Get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED ||
                                   GetLastError() == ERROR_NO_DATA;
            wchar_t buffer[1024] = {};
            DWORD read = 0;
            if (connected && ReadFile(pipe_.Get(), buffer, sizeof(buffer) - sizeof(wchar_t), &read, nullptr))
                message_.assign(buffer, wcsnlen(buffer, read / sizeof(wchar_t)));
            DisconnectNamedPipe(pipe_.Get());
            SetEvent(done_.Get());
        });
    }
    ~OneMessagePipe()
    {
        // Lets go of a server still waiting for its client.
        KernelHandle(CreateFileW(name_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        thread_.join();
    }
    const std::wstring& Name() const { return name_; }
    // The message read; empty when none came within the wait.
    std::wstring Message()
    {
        if (WaitForSingleObject(done_.Get(), kWaitMs) != WAIT_OBJECT_0)
            return std::wstring();
        return message_;
    }

private:
    std::wstring name_;
    KernelHandle pipe_;
    KernelHandle done_;
    std::wstring message_;
    std::thread thread_;
};

// The start entries of the life-cycle records count launches: a service
// left waiting is recorded once, when it is launched, and one found running
// keeps the start it had.
TEST_F(LauncherTest, EachLaunchLeavesOneStartEntry)
{
    test::TestServiceKey key;
    for (const wchar_t* name : {L"base", L"top"}) {
        RegKey created;
        ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, (key.Path() + L"\\Services\\" + name).c_str(), KEY_ALL_ACCESS,
                            created),
                  0u);
    }
    ServiceRecord& base = Add(L"base");
    ServiceRecord& top = Add(L"top", {L"base"});
    const auto runs = [](const ServiceRecord& record) {
        LifeCycleRecord stored(&record);
        stored.Load();
        return stored.RunIteration;
    };

    ASSERT_EQ(StartHostedServiceAndRecord(runtime_, &top), 0u);
    EXPECT_EQ(runs(base), 1u) << "the dependency launched";
    EXPECT_EQ(runs(top), 0u) << "waits for its dependency";

    Drive(base, {ServiceState::kRunning});
    ASSERT_EQ(StartHostedServiceAndRecord(runtime_, &top), 0u);
    ASSERT_EQ(launcher_.created.size(), 2u);
    EXPECT_EQ(runs(top), 1u);

    LifeCycleRecord before(&base);
    before.Load();
    ASSERT_EQ(StartHostedServiceAndRecord(runtime_, &base), 0u);
    LifeCycleRecord after(&base);
    after.Load();
    EXPECT_EQ(after.RunIteration, 1u) << "was running already";
    EXPECT_EQ(after.StartTime, before.StartTime);
    EXPECT_EQ(launcher_.created.size(), 2u);
}

TEST_F(LauncherTest, SharedProcessServiceJoinsItsRunningHost)
{
    OneMessagePipe hostPipe;
    ServiceRecord& host = AddSharedHost(hostPipe.Name(), ServiceState::kRunning, L"C:\\qvxtest\\Shared.exe");
    ServiceRecord& guest = AddShared(L"guestb", L"c:\\qvxtest\\shared.EXE");

    ASSERT_EQ(StartHostedService(runtime_, &guest), 0u);

    EXPECT_EQ(hostPipe.Message(), StartServiceMessage(L"guestb"));
    EXPECT_TRUE(launcher_.attempts.empty());
    // One process object for both: no copied handles to close twice.
    EXPECT_EQ(guest.Process().get(), host.Process().get());
    EXPECT_EQ(guest.GetListenerPipeName(), hostPipe.Name());
    EXPECT_EQ(guest.GetState(), ServiceState::kStartPending);
    EXPECT_NE(guest.GetServiceMutex(), nullptr);
    EXPECT_TRUE(runtime_.waitSet.Timers().empty());
    EXPECT_TRUE(events_.Events().empty());
}

TEST_F(LauncherTest, SharedProcessServiceWaitsForAStartingHost)
{
    ServiceRecord& host = AddSharedHost(L"\\\\.\\pipe\\hosta_qvxsvh_listenerpipe", ServiceState::kStartPending, L"C:\\qvxtest\\shared.exe");
    ServiceRecord& guest = AddShared(L"guestb", L"C:\\qvxtest\\shared.exe");

    ASSERT_EQ(StartHostedService(runtime_, &guest), 0u);

    EXPECT_TRUE(launcher_.attempts.empty());
    EXPECT_EQ(host.GetWaiters(), std::vector<std::wstring>{L"guestb"});
    EXPECT_EQ(guest.GetState(), ServiceState::kStartPending);
    EXPECT_EQ(guest.Process(), nullptr);
    EXPECT_EQ(guest.GetServiceMutex(), nullptr);
}

// Once the host runs, the start of the service that waited for it goes on:
// it joins the host, already start-pending, without a refused state change.
TEST_F(LauncherTest, AServiceThatWaitedForItsHostJoinsItOnceItRuns)
{
    OneMessagePipe hostPipe;
    ServiceRecord& host = AddSharedHost(hostPipe.Name(), ServiceState::kStartPending, L"C:\\qvxtest\\shared.exe");
    ServiceRecord& guest = AddShared(L"guestb", L"C:\\qvxtest\\shared.exe");
    ASSERT_EQ(StartHostedService(runtime_, &guest), 0u);
    ASSERT_EQ(guest.GetState(), ServiceState::kStartPending);

    Drive(host, {ServiceState::kRunning});
    ASSERT_EQ(StartHostedService(runtime_, &guest), 0u);

    EXPECT_EQ(hostPipe.Message(), StartServiceMessage(L"guestb"));
    EXPECT_EQ(guest.Process().get(), host.Process().get());
    EXPECT_EQ(guest.GetState(), ServiceState::kStartPending);
    EXPECT_FALSE(traces_.Contains(trace::kError, L"state change refused")) << traces_.Dump();
}

TEST_F(LauncherTest, HostThatDoesNotTakeTheStartFailsTheJoin)
{
    // A pipe name nobody serves: the post fails and the guest is left with
    // nothing open.
    ServiceRecord& host = AddSharedHost(test::UniqueName(L"\\\\.\\pipe\\qvxtest-gone"), ServiceState::kRunning, L"C:\\qvxtest\\shared.exe");
    ServiceRecord& guest = AddShared(L"guestb", L"C:\\qvxtest\\shared.exe");

    const DWORD error = StartHostedService(runtime_, &guest);
    EXPECT_NE(error, 0u);
    EXPECT_TRUE(launcher_.attempts.empty());
    ExpectNothingLeft(guest);
    ExpectOneFailureEvent(L"guestb", error);
    EXPECT_NE(host.Process(), nullptr);
}

// The real process calls, watched: whether the new main thread was
// suspended at creation and whether the logon was used.
class WatchedWin32Launcher final : public ProcessLauncher {
public:
    WatchedWin32Launcher() { SetProcessLauncher(this); }
    ~WatchedWin32Launcher() override { SetProcessLauncher(nullptr); }

    DWORD Create(const LaunchRequest& request, PROCESS_INFORMATION& info) override
    {
        const DWORD error = real_.Create(request, info);
        if (error == ERROR_SUCCESS) {
            // SuspendThread gives the count before it: 1 for a thread
            // created suspended.
            suspendCountAtCreation = SuspendThread(info.hThread);
            ResumeThread(info.hThread);
        }
        return error;
    }
    DWORD Resume(const PROCESS_INFORMATION& info) override { return real_.Resume(info); }
    DWORD Terminate(const PROCESS_INFORMATION& info, DWORD exitCode) override { return real_.Terminate(info, exitCode); }

    DWORD suspendCountAtCreation = 0xFFFFFFFF;
    static std::atomic<int> logons;

private:
    // Under Wine the service logon's token cannot create a process; a
    // primary token of this process can.
    static DWORD DuplicatedProcessToken(HANDLE* token)
    {
        ++logons;
        HANDLE own = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own))
            return GetLastError();
        const BOOL duplicated =
            DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, token);
        const DWORD error = duplicated ? ERROR_SUCCESS : GetLastError();
        CloseHandle(own);
        return error;
    }

    Win32ProcessLauncher real_{&DuplicatedProcessToken};
};
std::atomic<int> WatchedWin32Launcher::logons{0};

TEST(RealLaunchTest, IdleProgramIsCreatedSuspendedThenRunsWithItsStartupTimerWatched)
{
    for (const wchar_t* account : {L"LocalSystem", L"LocalService"}) {
        SCOPED_TRACE(testing::Message() << "account " << std::wstring(account).c_str());
        EventRecorder events;
        WatchedWin32Launcher launcher;
        WatchedWin32Launcher::logons = 0;
        HostRuntime runtime;
        ServiceTable table;
        runtime.PublishTable(&table);

        const std::wstring startedName = test::UniqueName(L"qvxtest-idle-started");
        KernelHandle started(CreateEventW(nullptr, TRUE, FALSE, startedName.c_str()));
        ASSERT_TRUE(started.Get());
        auto owned = std::make_unique<ServiceRecord>();
        owned->SetName(test::UniqueName(L"idle"));
        owned->SetServiceType(WinServiceType::kOwnProcess);
        owned->SetGroupAccount(account);
        owned->SetBinaryPath(L"\"" + test::BuiltProgramPath(L"qvxtest_idle.exe") + L"\" " + startedName);
        ServiceRecord* record = owned.get();
        ASSERT_TRUE(table.Add(owned));

        ASSERT_EQ(StartHostedService(runtime, record), 0u);

        EXPECT_EQ(launcher.suspendCountAtCreation, 1u);
        EXPECT_EQ(WatchedWin32Launcher::logons.load(), std::wstring(account) == L"LocalService" ? 1 : 0);
        EXPECT_EQ(WaitForSingleObject(started.Get(), kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0))
            << "the program's main thread did not run";
        EXPECT_EQ(record->GetState(), ServiceState::kStartPending);
        EXPECT_TRUE(runtime.waitSet.HasTimer(record->GetTimer(ServiceTimer::kStartup)));
        EXPECT_TRUE(events.Events().empty());
        const std::shared_ptr<HostedProcess> process = record->Process();
        ASSERT_NE(process, nullptr);
        DWORD exitCode = 0;
        ASSERT_TRUE(GetExitCodeProcess(process->ProcessHandle(), &exitCode));
        EXPECT_EQ(exitCode, static_cast<DWORD>(STILL_ACTIVE));

        EXPECT_TRUE(TerminateProcess(process->ProcessHandle(), 0));
        EXPECT_EQ(WaitForSingleObject(process->ProcessHandle(), kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
        runtime.PublishTable(nullptr);
        table.Clear();
        runtime.waitSet.Clear();
    }
}

} // namespace
} // namespace qvx
