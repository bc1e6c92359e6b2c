#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/dll_services.h"
#include "engine/engine_calls.h"
#include "engine/launcher.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/table_lock.h"
#include "platform/companion_interfaces.h"
#include "platform/handles.h"
#include "runtime/host_runtime.h"
#include "tests/engine/test_listener.h"
#include "tests/support/child_process.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

constexpr wchar_t kTestDll[] = L"qvxtest_dllsvc.dll";
constexpr DWORD kSettleMs = 10000;

// Plays the hosting library's part the simple way: runs the entry point
// on the calling thread with the service name as its one argument.
class DirectControl final : public SvhControl {
public:
    ULONG WINAPI AddRef() override { return 2; }
    ULONG WINAPI Release() override
    {
        releases.fetch_add(1);
        return 1;
    }
    SvhController* WINAPI OpenController() override { return nullptr; }
    BOOL WINAPI Reserved3() override { return FALSE; }
    BOOL WINAPI Reserved4() override { return FALSE; }
    BOOL WINAPI RunServiceTable(const SERVICE_TABLE_ENTRYW* table, DWORD count, const wchar_t* serviceName) override
    {
        if (count != 1 || !table || !table[0].lpServiceProc || table[1].lpServiceName || table[1].lpServiceProc ||
            std::wstring(table[0].lpServiceName) != serviceName) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (failWith != ERROR_SUCCESS) {
            SetLastError(failWith);
            return FALSE;
        }
        wchar_t* arguments[] = {table[0].lpServiceName};
        table[0].lpServiceProc(1, arguments);
        return TRUE;
    }

    std::atomic<LONG> releases{0};
    std::atomic<DWORD> failWith{ERROR_SUCCESS};
};

DirectControl directControl;
std::atomic<DWORD> sourceError{ERROR_SUCCESS};

DWORD DirectControlSource(SvhControl** control)
{
    if (sourceError.load() != ERROR_SUCCESS)
        return sourceError.load();
    *control = &directControl;
    return ERROR_SUCCESS;
}

template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs = kSettleMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(10);
    }
    return true;
}

bool TestDllLoaded()
{
    return GetModuleHandleW(kTestDll) != nullptr;
}

LONG StartedCount()
{
    HMODULE module = GetModuleHandleW(kTestDll);
    if (!module)
        return -1;
    using Fn = LONG(WINAPI*)();
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, "StartedCount")));
    return fn ? fn() : -1;
}

// A table of DLL services published on a runtime of its own, the test
// control interface in place and the release event of the waiting entry
// point reset. Every test leaves no service running behind it.
class DllServicesTest : public ::testing::Test {
protected:
    DllServicesTest()
        : release_(CreateEventW(nullptr, TRUE, FALSE,
                                (L"qvxtest-dllsvc-release-" + std::to_wstring(GetCurrentProcessId())).c_str()))
    {
        ResetEvent(release_.Get());
        directControl.failWith = ERROR_SUCCESS;
        sourceError = ERROR_SUCCESS;
        SetDllServiceControlSource(DirectControlSource);
        runtime_.PublishTable(&table_);
    }
    ~DllServicesTest() override
    {
        SetEvent(release_.Get());
        WaitDllServices(runtime_);
        EXPECT_TRUE(WaitUntil([] { return LiveDllServiceContexts() == 0; }));
        EXPECT_TRUE(WaitUntil([] { return !TestDllLoaded(); }));
        SetDllServiceControlSource(nullptr);
        runtime_.PublishTable(nullptr);
        table_.Clear();
        runtime_.waitSet.Clear();
    }

    ServiceRecord& Add(const std::wstring& name, const char* entry, std::wstring path = L"")
    {
        auto record = std::make_unique<ServiceRecord>();
        record->SetName(name);
        record->SetServiceType(WinServiceType::kUserDll);
        record->SetBinaryPath(path.empty() ? test::BuiltProgramPath(kTestDll) : path);
        record->SetServiceMain(entry);
        ServiceRecord* kept = record.get();
        EXPECT_TRUE(table_.Add(record));
        return *kept;
    }

    void Release() { SetEvent(release_.Get()); }

    HostRuntime runtime_;
    RecursiveTableLock lock_;
    ServiceTable table_{lock_};
    KernelHandle release_;
};

TEST_F(DllServicesTest, AFailedStartLeavesNothingLoadedOrAllocated)
{
    // A file that is not a DLL.
    wchar_t folder[MAX_PATH] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
    const std::wstring notADll = std::wstring(folder) + test::UniqueName(L"qvxtest-notadll") + L".dll";
    {
        KernelHandle file(CreateFileW(notADll.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file.IsValid());
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.Get(), "not a library", 13, &written, nullptr));
    }
    struct Case {
        const char* name;
        std::wstring path;
        const char* entry;
        DWORD error;
    };
    const Case cases[] = {
        {"no such DLL", std::wstring(folder) + L"qvxtest-no-such-service.dll", "ReturnAtOnce", ERROR_MOD_NOT_FOUND},
        {"not a DLL", notADll, "ReturnAtOnce", ERROR_BAD_EXE_FORMAT},
        {"export missing", L"", "ServiceMain", ERROR_PROC_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TraceCapture traces;
        ServiceRecord& record = Add(L"dllsvc", c.entry, c.path);

        EXPECT_EQ(StartDllService(record), c.error);

        EXPECT_FALSE(TestDllLoaded());
        EXPECT_EQ(LiveDllServiceContexts(), 0u);
        EXPECT_EQ(RunningDllServiceCount(), 0u);
        EXPECT_FALSE(DllServiceThreadExists(record));
        EXPECT_TRUE(traces.Contains(trace::kError, L"dllsvc")) << traces.Dump();
        table_.Clear();
    }
    DeleteFileW(notADll.c_str());
}

TEST_F(DllServicesTest, AServiceThatEndsIsTakenOutOfTheListAndUnloaded)
{
    struct Case {
        const char* name;
        const char* entry;
        DWORD sourceError;
        DWORD runError;
        const wchar_t* traced;
    };
    const Case cases[] = {
        {"entry point returns at once", "ReturnAtOnce", ERROR_SUCCESS, ERROR_SUCCESS, L"a DLL service ended"},
        {"no control interface", "ReturnAtOnce", ERROR_FILE_NOT_FOUND, ERROR_SUCCESS,
         L"no control interface for a DLL service"},
        {"the hosting side fails", "ReturnAtOnce", ERROR_SUCCESS, ERROR_SERVICE_NO_THREAD,
         L"a DLL service ended with a failure"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TraceCapture traces;
        sourceError = c.sourceError;
        directControl.failWith = c.runError;
        ServiceRecord& record = Add(L"dllsvc", c.entry);

        ASSERT_EQ(StartDllService(record), 0u);

        EXPECT_TRUE(WaitUntil([] { return RunningDllServiceCount() == 0 && LiveDllServiceContexts() == 0; }));
        EXPECT_TRUE(WaitUntil([] { return !TestDllLoaded(); }));
        EXPECT_FALSE(DllServiceThreadExists(record));
        EXPECT_TRUE(traces.Contains(0, c.traced)) << traces.Dump();
        table_.Clear();
    }
}

TEST_F(DllServicesTest, TheListGrowsAndKnowsEachServiceByNameWithoutCase)
{
    std::vector<ServiceRecord*> records;
    for (int i = 0; i < 10; ++i)
        records.push_back(&Add(L"DllSvc-" + std::to_wstring(i), "RunUntilReleased"));
    for (ServiceRecord* record : records)
        ASSERT_EQ(StartDllService(*record), 0u);

    EXPECT_EQ(RunningDllServiceCount(), 10u);
    EXPECT_TRUE(WaitUntil([] { return StartedCount() == 10; })) << StartedCount();
    ServiceRecord other;
    other.SetName(L"dllSVC-7");
    EXPECT_TRUE(DllServiceThreadExists(other));
    other.SetName(L"dllsvc-10");
    EXPECT_FALSE(DllServiceThreadExists(other));

    Release();
    EXPECT_TRUE(WaitUntil([] { return RunningDllServiceCount() == 0; }));
    for (ServiceRecord* record : records)
        EXPECT_FALSE(DllServiceThreadExists(*record));
}

// Each service unloads the DLL once: a reference someone else holds to the
// same DLL stays, through the services' own ends and the shutdown wait.
TEST_F(DllServicesTest, AServiceUnloadsOnlyItsOwnReferenceToTheDll)
{
    HMODULE own = LoadLibraryW(test::BuiltProgramPath(kTestDll).c_str());
    ASSERT_NE(own, nullptr);
    for (const wchar_t* name : {L"dllsvc-a", L"dllsvc-b"})
        ASSERT_EQ(StartDllService(Add(name, "RunUntilReleased")), 0u);
    ASSERT_TRUE(WaitUntil([] { return StartedCount() == 2; }));

    // The services end while the shutdown wait holds their contexts, so
    // that the wait lets go of the last reference.
    std::thread releaser([this] {
        Sleep(300);
        Release();
    });
    WaitDllServices(runtime_);
    releaser.join();

    EXPECT_EQ(LiveDllServiceContexts(), 0u);
    EXPECT_TRUE(TestDllLoaded());
    FreeLibrary(own);
    EXPECT_FALSE(TestDllLoaded());
}

TEST_F(DllServicesTest, TheShutdownWaitTakesMoreServicesThanOneWaitCan)
{
    const int services = MAXIMUM_WAIT_OBJECTS + 6;
    for (int i = 0; i < services; ++i)
        ASSERT_EQ(StartDllService(Add(L"dllsvc-" + std::to_wstring(i), "RunUntilReleased")), 0u);
    ASSERT_TRUE(WaitUntil([&] { return StartedCount() == services; })) << StartedCount();

    std::thread releaser([this] {
        Sleep(500);
        Release();
    });
    const ULONGLONG began = GetTickCount64();
    WaitDllServices(runtime_);
    const ULONGLONG took = GetTickCount64() - began;
    releaser.join();

    // Every thread has ended, and with it unloaded its reference to the
    // DLL, before the wait returns.
    EXPECT_GE(took, 400u);
    EXPECT_LT(took, 10000u);
    EXPECT_FALSE(TestDllLoaded());
    EXPECT_EQ(RunningDllServiceCount(), 0u);
    EXPECT_EQ(LiveDllServiceContexts(), 0u);
}

TEST_F(DllServicesTest, TheShutdownWaitGivesUpOnAServiceThatDoesNotEnd)
{
    ServiceRecord& record = Add(L"dllsvc", "RunUntilReleased");
    ASSERT_EQ(StartDllService(record), 0u);
    ASSERT_TRUE(WaitUntil([] { return StartedCount() == 1; }));
    test::TraceCapture traces;

    const ULONGLONG began = GetTickCount64();
    WaitDllServices(runtime_);
    const ULONGLONG took = GetTickCount64() - began;

    EXPECT_GE(took, 14500u);
    EXPECT_LT(took, 20000u);
    EXPECT_TRUE(traces.Contains(trace::kWarning, L"DLL services still run after the shutdown wait")) << traces.Dump();
    // The list is emptied; the service keeps its context and its DLL.
    EXPECT_EQ(RunningDllServiceCount(), 0u);
    EXPECT_FALSE(DllServiceThreadExists(record));
    EXPECT_EQ(LiveDllServiceContexts(), 1u);
    EXPECT_TRUE(TestDllLoaded());

    // When it does end at last, it cleans up after itself.
    Release();
    EXPECT_TRUE(WaitUntil([] { return LiveDllServiceContexts() == 0; }));
    EXPECT_TRUE(WaitUntil([] { return !TestDllLoaded(); }));
    EXPECT_GT(directControl.releases.load(), 0);
}

TEST_F(DllServicesTest, StopAllSendsEachServiceTheStopInListOrder)
{
    test::TestListener listener;
    std::vector<ServiceRecord*> records;
    for (const wchar_t* name : {L"dllsvc-b", L"dllsvc-a"}) {
        ServiceRecord& record = Add(name, "RunUntilReleased");
        record.SetListenerPipeName(listener.Name());
        ASSERT_EQ(StartDllService(record), 0u);
        ASSERT_TRUE(record.SetServiceState(ServiceState::kStartPending));
        ASSERT_TRUE(record.SetServiceState(ServiceState::kRunning));
        records.push_back(&record);
    }

    StopDllServices(runtime_);

    EXPECT_EQ(listener.SentBefore(), (test::Messages{L"SERVICE_CONTROL_STOP,dllsvc-b", L"SERVICE_CONTROL_STOP,dllsvc-a"}));
    for (ServiceRecord* record : records)
        EXPECT_EQ(record->GetState(), ServiceState::kStopPending);
}

// The sweep leaves a DLL service alone while its thread runs, and stops one
// whose thread ended without reporting. One not yet started (no thread) that
// waits for a starting dependency is left alone like any other waiter.
TEST_F(DllServicesTest, TheSweepStopsADllServiceWhoseThreadEnded)
{
    struct Case {
        const char* name;
        ServiceState state;
        bool start;
        bool release;
        bool dependencyStarting;
        ServiceState after;
    };
    const Case cases[] = {
        {"running, thread runs", ServiceState::kRunning, true, false, false, ServiceState::kRunning},
        {"start pending, thread runs", ServiceState::kStartPending, true, false, false, ServiceState::kStartPending},
        {"running, thread ended", ServiceState::kRunning, true, true, false, ServiceState::kStopped},
        {"start pending, thread ended", ServiceState::kStartPending, true, true, false, ServiceState::kStopped},
        {"stop pending, thread ended", ServiceState::kStopPending, true, true, false, ServiceState::kStopped},
        {"never started", ServiceState::kStartPending, false, false, false, ServiceState::kStopped},
        {"never started, waits for a dependency", ServiceState::kStartPending, false, false, true,
         ServiceState::kStartPending},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetEvent(release_.Get());
        ServiceRecord& record = Add(L"dllsvc", "RunUntilReleased");
        if (c.dependencyStarting) {
            ServiceRecord& base = Add(L"dllsvc-base", "RunUntilReleased");
            base.SetServiceType(WinServiceType::kOwnProcess);
            ASSERT_TRUE(base.SetServiceState(ServiceState::kStartPending));
            record.SetDependOnService({base.GetName()});
        }
        if (c.start) {
            ASSERT_EQ(StartDllService(record), 0u);
            ASSERT_TRUE(WaitUntil([] { return StartedCount() == 1; }));
        }
        ASSERT_TRUE(record.SetServiceState(ServiceState::kStartPending));
        if (c.state != ServiceState::kStartPending) {
            ASSERT_TRUE(record.SetServiceState(ServiceState::kRunning));
        }
        if (c.state == ServiceState::kStopPending) {
            ASSERT_TRUE(record.SetServiceState(ServiceState::kStopPending));
        }
        if (c.release) {
            Release();
            ASSERT_TRUE(WaitUntil([&] { return !DllServiceThreadExists(record); }));
        }

        SweepHostedProcesses(runtime_, true);

        EXPECT_EQ(record.GetState(), c.after);
        Release();
        ASSERT_TRUE(WaitUntil([] { return RunningDllServiceCount() == 0 && LiveDllServiceContexts() == 0; }));
        ASSERT_TRUE(WaitUntil([] { return !TestDllLoaded(); }));
        table_.Clear();
    }
}

// Without a source of the test's own, the thread gets its control interface
// from the signed hosting library beside this program, which runs the entry
// point until it returns. The library fetches the start arguments first: the
// test plays the control pipe it asks.
TEST_F(DllServicesTest, TheHostingLibraryRunsTheEntryPoint)
{
    test::TestListener::Options options;
    options.replies[L"SERVICE_START_PENDING"] = L"SERVICE_START_PENDING,0,EMPTY";
    test::TestListener control(options);
    HMODULE hosting = LoadLibraryW(test::BuiltProgramPath(L"qvxsvha.dll").c_str());
    ASSERT_NE(hosting, nullptr);
    using SetPipeFn = void(WINAPI*)(const wchar_t*);
    auto setPipe = reinterpret_cast<SetPipeFn>(reinterpret_cast<void*>(GetProcAddress(hosting, "QvxStandInSetPipeName")));
    ASSERT_NE(setPipe, nullptr);
    setPipe(control.Name().c_str());
    SetDllServiceControlSource(nullptr);
    test::TraceCapture traces;
    ServiceRecord& record = Add(L"dllsvc", "RunUntilReleased");

    ASSERT_EQ(StartDllService(record), 0u);

    EXPECT_TRUE(WaitUntil([] { return StartedCount() == 1; })) << traces.Dump();
    EXPECT_TRUE(DllServiceThreadExists(record));
    Release();
    EXPECT_TRUE(WaitUntil([] { return RunningDllServiceCount() == 0 && LiveDllServiceContexts() == 0; }));
    EXPECT_TRUE(traces.Contains(trace::kInfo, L"a DLL service ended")) << traces.Dump();
    setPipe(nullptr);
    FreeLibrary(hosting);
}

// The launcher starts a DLL service on a thread of this process: no
// process of its own, start-pending until it reports.
TEST_F(DllServicesTest, TheLauncherStartsADllServiceInThisProcess)
{
    ServiceRecord& record = Add(L"dllsvc", "RunUntilReleased");

    ASSERT_EQ(StartHostedService(runtime_, &record), 0u);

    EXPECT_EQ(record.GetState(), ServiceState::kStartPending);
    EXPECT_FALSE(record.HasProcessHandle());
    EXPECT_TRUE(DllServiceThreadExists(record));
    EXPECT_TRUE(WaitUntil([] { return StartedCount() == 1; }));

    ServiceRecord& missing = Add(L"dllsvc-missing", "ServiceMain");
    EXPECT_EQ(StartHostedService(runtime_, &missing), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(missing.GetState(), ServiceState::kStopped);
    EXPECT_FALSE(DllServiceThreadExists(missing));
}

} // namespace
} // namespace qvx
