#include <gtest/gtest.h>

#include "host/management_service.h"
#include "host/power_notifications.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

struct PowerServiceCase {
    const char* name;
    DWORD startType;
    DWORD currentState;
    bool delivers;
};

class PowerServiceStateTest : public testing::TestWithParam<PowerServiceCase> {};

TEST_P(PowerServiceStateTest, DeliversEventsUnlessDisabledOrStoppedOnDemand)
{
    const PowerServiceCase& row = GetParam();
    EXPECT_EQ(PowerServiceDeliversEvents({row.startType, row.currentState}), row.delivers);
}

INSTANTIATE_TEST_SUITE_P(
    States, PowerServiceStateTest,
    testing::Values(PowerServiceCase{"AutoRunning", SERVICE_AUTO_START, SERVICE_RUNNING, true},
                    PowerServiceCase{"AutoStopped", SERVICE_AUTO_START, SERVICE_STOPPED, true},
                    PowerServiceCase{"DemandRunning", SERVICE_DEMAND_START, SERVICE_RUNNING, true},
                    PowerServiceCase{"DemandStartPending", SERVICE_DEMAND_START, SERVICE_START_PENDING, true},
                    PowerServiceCase{"DemandStopped", SERVICE_DEMAND_START, SERVICE_STOPPED, false},
                    PowerServiceCase{"DemandStopPending", SERVICE_DEMAND_START, SERVICE_STOP_PENDING, false},
                    PowerServiceCase{"DisabledRunning", SERVICE_DISABLED, SERVICE_RUNNING, false}),
    [](const testing::TestParamInfo<PowerServiceCase>& info) { return std::string(info.param.name); });

// The Power service's answer, as the test sets it.
DWORD g_queryError = 0;
PowerServiceState g_powerState;

DWORD QueryPowerService(PowerServiceState& state)
{
    state = g_powerState;
    return g_queryError;
}

class SetupPowerNotificationsTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_queryError = 0;
        g_powerState = {SERVICE_AUTO_START, SERVICE_RUNNING};
        SetPowerNotificationCalls(&calls_);
    }
    void TearDown() override
    {
        SetPowerNotificationCalls(nullptr);
    }

    const PowerNotificationCalls calls_ = {QueryPowerService};
};

TEST_F(SetupPowerNotificationsTest, AnUnknownPowerServiceSetsUpNothing)
{
    g_queryError = ERROR_SERVICE_DOES_NOT_EXIST;
    test::TraceCapture traces;
    ManagementService service;

    EXPECT_FALSE(SetupPowerNotifications(service));

    EXPECT_EQ(service.runtime.conditions.powerSourceEvent.Get(), nullptr);
    EXPECT_EQ(service.lowMemoryNotification.Get(), nullptr);
    EXPECT_TRUE(traces.Contains(trace::kWarning, std::to_wstring(ERROR_SERVICE_DOES_NOT_EXIST))) << traces.Dump();
}

TEST_F(SetupPowerNotificationsTest, AStoppedDemandStartPowerServiceSetsUpNoMemoryNotificationsEither)
{
    g_powerState = {SERVICE_DEMAND_START, SERVICE_STOPPED};
    ManagementService service;

    EXPECT_FALSE(SetupPowerNotifications(service));

    EXPECT_EQ(service.runtime.conditions.powerSourceEvent.Get(), nullptr);
    EXPECT_EQ(service.runtime.conditions.powerSchemeEvent.Get(), nullptr);
    EXPECT_EQ(service.lowMemoryNotification.Get(), nullptr);
    EXPECT_EQ(service.highMemoryNotification.Get(), nullptr);
}

TEST_F(SetupPowerNotificationsTest, ARunningPowerServiceGetsPowerEventsAndMemoryNotifications)
{
    ManagementService service;

    EXPECT_TRUE(SetupPowerNotifications(service));

    HANDLE source = service.runtime.conditions.powerSourceEvent.Get();
    ASSERT_NE(source, nullptr);
    ASSERT_NE(service.runtime.conditions.powerSchemeEvent.Get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(source, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // Manual reset: a set event stays set for every thread that looks.
    SetEvent(source);
    EXPECT_EQ(WaitForSingleObject(source, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(source, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_NE(service.lowMemoryNotification.Get(), nullptr);
    EXPECT_NE(service.highMemoryNotification.Get(), nullptr);
}

TEST_F(SetupPowerNotificationsTest, AMachineWithLowMemoryAtStartGetsNoMemoryNotifications)
{
    ManagementService service;
    service.runtime.conditions.word.fetch_or(POWERPROFILE_LOWMEMORY);

    EXPECT_TRUE(SetupPowerNotifications(service));

    EXPECT_NE(service.runtime.conditions.powerSourceEvent.Get(), nullptr);
    EXPECT_EQ(service.lowMemoryNotification.Get(), nullptr);
    EXPECT_EQ(service.highMemoryNotification.Get(), nullptr);
}

} // namespace
} // namespace qvx
