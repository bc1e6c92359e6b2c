#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "host/boot_markers.h"
#include "platform/companion_interfaces.h"
#include "host/management_service.h"
#include "host/monitor_thread.h"
#include "host/run_management_service.h"
#include "model/handle_release.h"
#include "model/life_cycle_record.h"
#include "model/service_table_store.h"
#include "platform/handles.h"
#include "protocol/control_client.h"
#include "tests/startup/hosted_service_key.h"
#include "tests/startup/marker_keys.h"
#include "tests/support/test_service_key.h"
#include "tests/support/trace_capture.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

constexpr DWORD kRunEndMs = 20000;

// What the seams saw during one run.
std::atomic<int> g_loads{0};
std::atomic<int> g_monitorStarts{0};
std::atomic<int> g_powerSetups{0};
std::atomic<bool> g_stopDuringLoad{false};
std::atomic<bool> g_monitorLooping{false};
ManagementService* g_service = nullptr;

DWORD LoadThenMaybeStop(ServiceTable& table, bool firstStartSinceBoot)
{
    ++g_loads;
    DWORD result = LoadServiceTable(table, firstStartSinceBoot);
    if (g_stopDuringLoad.load())
        g_service->runtime.stop.RequestStop();
    return result;
}

bool CountPowerSetup(ManagementService& /*service*/)
{
    ++g_powerSetups;
    return false;
}

DWORD WINAPI CountingMonitor(void* /*startBlock*/)
{
    ++g_monitorStarts;
    return 0;
}

// A monitor that never ends and is inside the wait-list lock nearly all
// the time.
DWORD WINAPI MonitorThatNeverEnds(void* startBlock)
{
    MonitorWaitSet& waitSet = static_cast<MonitorStartBlock*>(startBlock)->service->runtime.waitSet;
    g_monitorLooping = true;
    for (;;) {
        MonitorWaitSet::Guard hold(waitSet);
        const ULONGLONG until = GetTickCount64() + 2;
        while (GetTickCount64() < until) {
        }
    }
}

bool IsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}


// The access-control object as the run sees it: records what is asked of it.
std::vector<std::string> g_accessSteps;

class FakeAccessControl final : public AacObject {
public:
    ULONG WINAPI AddRef() override { return 2; }
    ULONG WINAPI Release() override
    {
        g_accessSteps.push_back("release");
        return 0;
    }
    HRESULT WINAPI CreatePolicy(const GUID*, const wchar_t*, AacPolicy**) override { return E_NOTIMPL; }
    HRESULT WINAPI CreateRule(const GUID*, const wchar_t*, AacRuleAction, AacRule**) override { return E_NOTIMPL; }
    HRESULT WINAPI CreateActorMatcher(AacActorKind, const wchar_t*, DWORD, AacMatcher**) override { return E_NOTIMPL; }
    HRESULT WINAPI CreateTargetMatcher(AacObjectType, const wchar_t*, DWORD, DWORD, AacMatcher**) override
    {
        return E_NOTIMPL;
    }
    HRESULT WINAPI AddMatcher(AacRule*, AacMatcher*) override { return E_NOTIMPL; }
    HRESULT WINAPI AddRule(AacPolicy*, AacRule*) override { return E_NOTIMPL; }
    HRESULT WINAPI CommitPolicy(const GUID*, AacPolicy*) override { return E_NOTIMPL; }
    HRESULT WINAPI DeletePolicy(const GUID*, DWORD, DWORD) override { return E_NOTIMPL; }
    HRESULT WINAPI Reserved10() override { return E_NOTIMPL; }
    HRESULT WINAPI Reserved11() override { return E_NOTIMPL; }
    HRESULT WINAPI Reserved12() override { return E_NOTIMPL; }
    HRESULT WINAPI Reserved13() override { return E_NOTIMPL; }
    HRESULT WINAPI Reserved14() override { return E_NOTIMPL; }
    HRESULT WINAPI Reserved15() override { return E_NOTIMPL; }
    HRESULT WINAPI Reserved16() override { return E_NOTIMPL; }
    HRESULT WINAPI RegisterCallback(AacCallback* callback, DWORD mask, DWORD flags, DWORD reserved,
                                    void* context) override
    {
        g_accessSteps.push_back("register " + std::to_string(mask) + " " + std::to_string(flags) + " " +
                                std::to_string(reserved) + (callback ? " callback" : " none") +
                                (context ? " context" : ""));
        return S_OK;
    }
    HRESULT WINAPI UnregisterCallback() override
    {
        g_accessSteps.push_back("unregister");
        return S_OK;
    }
};

FakeAccessControl g_fakeAccessControl;
DWORD g_openAccessError = 0;

DWORD OpenFakeAccessControl(AacObject** object)
{
    g_accessSteps.push_back("open");
    if (g_openAccessError)
        return g_openAccessError;
    *object = &g_fakeAccessControl;
    return 0;
}

void RecordPolicy(ManagementService& /*service*/, AacObject& object)
{
    g_accessSteps.push_back(&object == &g_fakeAccessControl ? "policy" : "policy on another object");
}

void RecordProbe(ManagementService& /*service*/)
{
    g_accessSteps.push_back("probe");
}

class RunManagementServiceTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_loads = 0;
        g_monitorStarts = 0;
        g_powerSetups = 0;
        g_stopDuringLoad = false;
        g_monitorLooping = false;
        g_service = &service_;
        g_accessSteps.clear();
        g_openAccessError = 0;
        pipeName_ = L"\\\\.\\pipe\\" + test::UniqueName(L"svhrun");
        calls_ = ManagementRunEngineCalls();
        calls_.loadServiceTable = LoadThenMaybeStop;
        calls_.setupPowerNotifications = CountPowerSetup;
        calls_.pipeName = pipeName_.c_str();
        calls_.openAccessControl = OpenFakeAccessControl;
        calls_.registerLegacyHostPolicy = RecordPolicy;
        calls_.probeLegacyHostMutexes = RecordProbe;
        SetManagementRunCalls(&calls_);
        ASSERT_TRUE(test::WriteDemandService(key_.Path(), L"alpha"));
    }
    void TearDown() override
    {
        SetManagementRunCalls(nullptr);
        g_service = nullptr;
    }

    // RunManagementService on a thread of its own, as the service main runs it.
    KernelHandle StartRun()
    {
        return KernelHandle(CreateThread(
            nullptr, 0,
            [](void* context) -> DWORD {
                RunManagementService(*static_cast<ManagementService*>(context));
                return 0;
            },
            &service_, 0, nullptr));
    }

    std::wstring Request(const std::wstring& request)
    {
        std::wstring reply;
        SendControlRequest(pipeName_, request, reply, 5000);
        return reply;
    }

    test::TestServiceKey key_;
    ManagementService service_;
    std::wstring pipeName_;
    ManagementRunCalls calls_{};
};

TEST_F(RunManagementServiceTest, AStopDuringTheTableLoadEndsTheRunWithoutMonitor)
{
    calls_.monitorThreadProc = CountingMonitor;
    g_stopDuringLoad = true;

    KernelHandle run = StartRun();
    ASSERT_TRUE(run);
    ASSERT_EQ(WaitForSingleObject(run.Get(), kRunEndMs), static_cast<DWORD>(WAIT_OBJECT_0));

    EXPECT_EQ(g_loads.load(), 1);
    EXPECT_EQ(g_monitorStarts.load(), 0);
    EXPECT_EQ(g_powerSetups.load(), 0);
    EXPECT_EQ(service_.monitorThread.Get(), nullptr);
    EXPECT_EQ(service_.runtime.stop.StopEvent().Get(), nullptr);
    // The loaded table went back to the registry, and the run's events are closed.
    EXPECT_TRUE(test::KeyExists(key_, L"Services\\alpha"));
    EXPECT_EQ(service_.runtime.stop.ShutdownEvent().Get(), nullptr);
    EXPECT_EQ(service_.runtime.stop.MonitorStopEvent().Get(), nullptr);
    EXPECT_EQ(service_.runtime.stop.ShutdownDoneEvent().Get(), nullptr);
    // The monitor never ran, so it laid no "dirtyexit" either.
    EXPECT_FALSE(test::KeyExists(key_, kDirtyExitMarkerName));
}

// The whole run in this process with the real monitor thread: the table
// loaded from the registry is served on the control pipe, and a stop request
// over the pipe is answered before the run ends cleanly.
TEST_F(RunManagementServiceTest, ServesTheLoadedTableUntilAStopRequestAndEndsCleanly)
{
    KernelHandle run = StartRun();
    ASSERT_TRUE(run);
    std::wstring reply;
    DWORD start = GetTickCount();
    while (reply != L"ACK" && GetTickCount() - start < kRunEndMs) {
        reply = Request(L"PING");
        if (reply != L"ACK")
            Sleep(20);
    }
    ASSERT_EQ(reply, L"ACK");
    EXPECT_EQ(g_loads.load(), 1);
    EXPECT_EQ(g_powerSetups.load(), 1);
    EXPECT_TRUE(service_.firstStartSinceBoot);
    EXPECT_EQ(Request(L"QUERY_SERVICE_STATUS,alpha"), L"QUERY_SERVICE_STATUS,SERVICE_STOPPED");
    EXPECT_EQ(Request(L"QUERY_SERVICE_STATUS,beta"), L"SERVICE_NOT_FOUND");
    EXPECT_TRUE(test::IsVolatileKey(key_, kDirtyExitMarkerName));

    EXPECT_EQ(Request(L"STOP_SVH_HOSTING_SERVICE"), L"ACK");
    ASSERT_EQ(WaitForSingleObject(run.Get(), kRunEndMs), static_cast<DWORD>(WAIT_OBJECT_0));

    EXPECT_FALSE(test::KeyExists(key_, kDirtyExitMarkerName));
    EXPECT_TRUE(test::IsVolatileKey(key_, kBootMarkerName));
    EXPECT_TRUE(test::KeyExists(key_, L"Services\\alpha"));
    LifeCycleRecord record(nullptr);
    record.Load();
    EXPECT_EQ(record.RunIteration, 1u);
    EXPECT_NE(record.StopTime, 0u);
    EXPECT_EQ(service_.monitorThread.Get(), nullptr);
    EXPECT_EQ(service_.runtime.stop.StopEvent().Get(), nullptr);
    EXPECT_EQ(service_.runtime.Table(), nullptr) << "the table is no longer published";
    // The pipe is closed with the run.
    EXPECT_EQ(Request(L"PING"), L"");
}

// A monitor that does not end within the stop's wait is terminated. It must
// not leave the wait-list lock held, which the rest of the run and the
// records' handle releases still need, nor leave the monitor's handle
// release installed.
TEST_F(RunManagementServiceTest, AMonitorThatDoesNotEndIsTerminatedOutsideItsLocks)
{
    calls_.monitorThreadProc = MonitorThatNeverEnds;
    test::TraceCapture traces;
    KernelHandle run = StartRun();
    ASSERT_TRUE(run);
    for (int i = 0; i < 4000 && !g_monitorLooping.load(); ++i)
        Sleep(5);
    ASSERT_TRUE(g_monitorLooping.load()) << "the monitor never started";
    service_.runtime.stop.RequestStop();
    ASSERT_EQ(WaitForSingleObject(run.Get(), kRunEndMs), static_cast<DWORD>(WAIT_OBJECT_0));

    EXPECT_TRUE(traces.Contains(trace::kError, L"the monitor thread did not end in time and is terminated"))
        << traces.Dump();
    // The wait lists are usable from another thread (a hang here fails the
    // wait below instead of hanging the test).
    MonitorWaitSet& waitSet = service_.runtime.waitSet;
    KernelHandle listUser(CreateThread(
        nullptr, 0,
        [](void* context) -> DWORD {
            auto& lists = *static_cast<MonitorWaitSet*>(context);
            HANDLE timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
            const bool added = lists.AddTimer(timer) && lists.RemoveTimer(timer);
            CloseHandle(timer);
            return added ? 0 : 1;
        },
        &waitSet, 0, nullptr));
    ASSERT_TRUE(listUser);
    ASSERT_EQ(WaitForSingleObject(listUser.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the terminated monitor left the wait-list lock held";
    DWORD listExit = 1;
    GetExitCodeThread(listUser.Get(), &listExit);
    EXPECT_EQ(listExit, 0u);
    EXPECT_NE(&CurrentHandleRelease(), static_cast<HandleRelease*>(&waitSet)) << "the wait set is still the release";
    HANDLE timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    CurrentHandleRelease().ReleaseTimer(timer);
    EXPECT_FALSE(IsOpen(timer)) << "the default release closes at once";
    EXPECT_EQ(service_.monitorThread.Get(), nullptr);
}

// A second run in the same boot after a clean end is no first start.
TEST_F(RunManagementServiceTest, ASecondRunInTheSameBootIsNoFirstStart)
{
    test::LayMarker(key_, kBootMarkerName, test::MarkerKind::Volatile);
    calls_.monitorThreadProc = CountingMonitor;
    g_stopDuringLoad = true;

    KernelHandle run = StartRun();
    ASSERT_TRUE(run);
    ASSERT_EQ(WaitForSingleObject(run.Get(), kRunEndMs), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_FALSE(service_.firstStartSinceBoot);
}

// With an access-control object the legacy-host policy goes in before the
// management service registers as callback, the mutex probe after; the
// object is unregistered and released when the run ends.
TEST_F(RunManagementServiceTest, RegistersWithTheAccessControlObjectAndLetsGoOfItAtTheEnd)
{
    calls_.monitorThreadProc = CountingMonitor;
    g_stopDuringLoad = true;

    KernelHandle run = StartRun();
    ASSERT_TRUE(run);
    ASSERT_EQ(WaitForSingleObject(run.Get(), kRunEndMs), static_cast<DWORD>(WAIT_OBJECT_0));

    EXPECT_EQ(g_accessSteps, (std::vector<std::string>{"open", "policy", "register 1023 2050 0 callback", "probe",
                                                       "unregister", "release"}));
    EXPECT_EQ(service_.accessControl, nullptr);
}

TEST_F(RunManagementServiceTest, WithoutAccessControlTheServiceRunsAndAsksNothingMore)
{
    calls_.monitorThreadProc = CountingMonitor;
    g_openAccessError = ERROR_MOD_NOT_FOUND;
    g_stopDuringLoad = true;

    KernelHandle run = StartRun();
    ASSERT_TRUE(run);
    ASSERT_EQ(WaitForSingleObject(run.Get(), kRunEndMs), static_cast<DWORD>(WAIT_OBJECT_0));

    EXPECT_EQ(g_accessSteps, (std::vector<std::string>{"open"}));
    EXPECT_EQ(g_loads.load(), 1);
}

} // namespace
} // namespace qvx
