#include <gtest/gtest.h>

#include <atomic>

#include "host/boot_markers.h"
#include "host/machine_conditions.h"
#include "host/management_service.h"
#include "host/run_management_service.h"
#include "model/life_cycle_record.h"
#include "model/service_table_store.h"
#include "platform/handles.h"
#include "protocol/control_client.h"
#include "tests/startup/hosted_service_key.h"
#include "tests/startup/marker_keys.h"
#include "tests/support/test_service_key.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

constexpr DWORD kRunEndMs = 20000;

// What the seams saw during one run.
std::atomic<int> g_loads{0};
std::atomic<int> g_monitorStarts{0};
std::atomic<int> g_powerSetups{0};
std::atomic<bool> g_stopDuringLoad{false};

DWORD LoadThenMaybeStop(ServiceTable& table, bool firstStartSinceBoot)
{
    ++g_loads;
    DWORD result = LoadServiceTable(table, firstStartSinceBoot);
    if (g_stopDuringLoad.load())
        SetEvent(g_stopEvent.load());
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

class RunManagementServiceTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_loads = 0;
        g_monitorStarts = 0;
        g_powerSetups = 0;
        g_stopDuringLoad = false;
        pipeName_ = L"\\\\.\\pipe\\" + test::UniqueName(L"svhrun");
        calls_ = ManagementRunEngineCalls();
        calls_.loadServiceTable = LoadThenMaybeStop;
        calls_.setupPowerNotifications = CountPowerSetup;
        calls_.pipeName = pipeName_.c_str();
        SetManagementRunCalls(&calls_);
        ASSERT_TRUE(test::WriteDemandService(key_.Path(), L"alpha"));
    }
    void TearDown() override
    {
        SetManagementRunCalls(nullptr);
        ResetMachineConditions();
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
    EXPECT_EQ(service_.monitorThread.load(), nullptr);
    EXPECT_EQ(g_stopEvent.load(), nullptr);
    // The loaded table went back to the registry, and the run's events are closed.
    EXPECT_TRUE(test::KeyExists(key_, L"Services\\alpha"));
    EXPECT_EQ(service_.shutdownEvent.load(), nullptr);
    EXPECT_EQ(service_.monitorStopEvent.load(), nullptr);
    EXPECT_EQ(service_.shutdownDoneEvent.load(), nullptr);
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
    EXPECT_TRUE(service_.firstStartSinceBoot.load());
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
    EXPECT_EQ(service_.monitorThread.load(), nullptr);
    EXPECT_EQ(g_stopEvent.load(), nullptr);
    // The pipe is closed with the run.
    EXPECT_EQ(Request(L"PING"), L"");
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
    EXPECT_FALSE(service_.firstStartSinceBoot.load());
}

} // namespace
} // namespace qvx
