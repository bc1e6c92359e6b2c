#include <gtest/gtest.h>

#include <shlwapi.h>

#include <vector>

#include "host/boot_markers.h"
#include "platform/handles.h"
#include "platform/registry_value.h"
#include "platform/service_key.h"
#include "tests/startup/hosted_service_key.h"
#include "tests/support/installed_service.h"
#include "tests/support/test_prefix.h"

namespace qvx {
namespace {

std::wstring ServiceSubkey(const std::wstring& subkey)
{
    return std::wstring(kServiceKeyPath) + L"\\" + subkey;
}

bool KeyExists(const std::wstring& subkey)
{
    RegKey key;
    return OpenKey(HKEY_LOCAL_MACHINE, ServiceSubkey(subkey).c_str(), KEY_READ, key) == ERROR_SUCCESS;
}

class InstalledServiceTest : public testing::Test {
protected:
    void SetUp() override
    {
        QVX_REQUIRE_TEST_PREFIX();
        ASSERT_EQ(service_.Error(), 0u);
    }

    test::InstalledService service_;
};

TEST_F(InstalledServiceTest, RunsUnderTheManagerWithItsStoredTableAndSavesItWhenStopped)
{
    ASSERT_TRUE(test::WriteDemandService(kServiceKeyPath, L"alpha"));

    ASSERT_EQ(service_.Start(), 0u);
    SERVICE_STATUS_PROCESS running = service_.Status();
    EXPECT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(running.dwControlsAccepted & SERVICE_ACCEPT_STOP, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_EQ(test::InstalledService::Request(L"PING"), L"ACK");
    EXPECT_EQ(test::InstalledService::Request(L"QUERY_SERVICE_STATUS,alpha"),
              L"QUERY_SERVICE_STATUS,SERVICE_STOPPED");
    EXPECT_EQ(test::InstalledService::Request(L"QUERY_SERVICE_STATUS,beta"), L"SERVICE_NOT_FOUND");
    EXPECT_TRUE(KeyExists(kDirtyExitMarkerName));
    EXPECT_TRUE(KeyExists(kBootMarkerName));

    // Whatever the registry lost meanwhile, the stop writes the table back.
    ASSERT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, ServiceSubkey(L"Services\\alpha").c_str()), ERROR_SUCCESS);

    std::vector<DWORD> states;
    ASSERT_EQ(service_.Stop(&states), 0u);
    EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_STOP_PENDING, SERVICE_STOPPED}));
    EXPECT_EQ(service_.Status().dwWin32ExitCode, 0u);
    EXPECT_TRUE(KeyExists(L"Services\\alpha"));
    EXPECT_FALSE(KeyExists(kDirtyExitMarkerName));
    EXPECT_TRUE(KeyExists(kBootMarkerName));
    EXPECT_EQ(test::InstalledService::Request(L"PING", 1000), L"");
}

TEST_F(InstalledServiceTest, AStopRequestOverThePipeIsAnsweredBeforeTheServiceStops)
{
    ASSERT_EQ(service_.Start(), 0u);

    EXPECT_EQ(test::InstalledService::Request(L"STOP_SVH_HOSTING_SERVICE"), L"ACK");

    SERVICE_STATUS_PROCESS stopped = service_.WaitForState(SERVICE_STOPPED, test::InstalledService::kDefaultTimeoutMs);
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
    EXPECT_TRUE(service_.WaitForProcessEnd(test::InstalledService::kDefaultTimeoutMs));
    EXPECT_FALSE(KeyExists(kDirtyExitMarkerName));

    // A second start in the same boot finds the service's own marker.
    ASSERT_EQ(service_.Start(), 0u);
    EXPECT_EQ(test::InstalledService::Request(L"PING"), L"ACK");
    ASSERT_EQ(service_.Stop(), 0u);
}

} // namespace
} // namespace qvx
