#include <gtest/gtest.h>

#include "host/power_events.h"

namespace qvx {
namespace {

// {381B4222-F694-41F0-9685-FF5BB260DF2E}: the balanced scheme.
constexpr GUID kBalancedScheme = {0x381B4222, 0xF694, 0x41F0, {0x96, 0x85, 0xFF, 0x5B, 0xB2, 0x60, 0xDF, 0x2E}};
// Bits the power notifications never touch, to show they are left alone.
constexpr uint32_t kOtherBits = POWERPROFILE_NOTNETWORK | POWERPROFILE_SAFEMODE;

struct PowerState {
    bool onAc;
    bool batteryLow;
    bool powerSaver;
    uint32_t conditions;
};

struct PowerCase {
    const char* name;
    PowerState before;
    const GUID* setting;
    DWORD value;              // for 32-bit settings
    const GUID* personality;  // for the scheme personality
    PowerState after;
    bool powerSourceEvent;
    bool powerSchemeEvent;
};

constexpr uint32_t B = POWERPROFILE_BATTERY;
constexpr uint32_t L = POWERPROFILE_LOW_BATTERY;

const PowerCase kPowerCases[] = {
    {"BatterySetsTheBatteryBit", {true, false, false, kOtherBits}, &kGuidAcDcPowerSource, PoDc, nullptr,
     {false, false, false, kOtherBits | B}, true, false},
    {"ShortTermBatteryWithLowBatterySetsLowBattery", {true, true, false, 0}, &kGuidAcDcPowerSource, PoHot, nullptr,
     {false, true, false, B | L}, true, false},
    {"AcWithLowBatteryClearsLowBattery", {false, true, false, B | L}, &kGuidAcDcPowerSource, PoAc, nullptr,
     {true, true, false, 0}, true, false},
    {"AcWithLowBatteryAndPowerSaverKeepsLowBattery", {false, true, true, B | L}, &kGuidAcDcPowerSource, PoAc,
     nullptr, {true, true, true, L}, true, false},
    {"UnknownPowerSourceChangesNothingButSignals", {false, false, false, B}, &kGuidAcDcPowerSource, 7, nullptr,
     {false, false, false, B}, true, false},
    {"BatteryBelowThirtyOnBatteryIsLow", {false, false, false, B}, &kGuidBatteryPercentageRemaining, 29, nullptr,
     {false, true, false, B | L}, false, false},
    {"BatteryBelowThirtyOnAcIsLowWithoutTheBit", {true, false, false, 0}, &kGuidBatteryPercentageRemaining, 29,
     nullptr, {true, true, false, 0}, false, false},
    {"BatteryOfExactlyThirtyIsNotLow", {false, true, false, B | L}, &kGuidBatteryPercentageRemaining, 30, nullptr,
     {false, false, false, B}, false, false},
    {"BatteryRecoveryKeepsLowBatteryUnderPowerSaver", {false, true, true, B | L}, &kGuidBatteryPercentageRemaining,
     80, nullptr, {false, false, true, B | L}, false, false},
    {"MaximumPowerSavingsSetsLowBattery", {true, false, false, kOtherBits}, &kGuidPowerSchemePersonality, 0,
     &kGuidMaxPowerSavings, {true, false, true, kOtherBits | L}, false, true},
    {"OtherSchemeOnBatteryWithLowBatteryKeepsLowBattery", {false, true, true, B | L}, &kGuidPowerSchemePersonality,
     0, &kBalancedScheme, {false, true, false, B | L}, false, true},
    {"OtherSchemeOnAcClearsLowBattery", {true, true, true, L}, &kGuidPowerSchemePersonality, 0, &kBalancedScheme,
     {true, true, false, 0}, false, true},
    {"OtherSchemeWithoutLowBatteryClearsLowBattery", {false, false, true, B | L}, &kGuidPowerSchemePersonality, 0,
     &kBalancedScheme, {false, false, false, B}, false, true},
    {"MonitorPowerChangesNothing", {false, true, false, B | L}, &kGuidMonitorPowerOn, 0, nullptr,
     {false, true, false, B | L}, false, false},
    {"UnwatchedSettingChangesNothing", {false, false, false, B}, &kBalancedScheme, 1, nullptr,
     {false, false, false, B}, false, false},
};

class PowerRuleTest : public testing::TestWithParam<PowerCase> {};

TEST_P(PowerRuleTest, UpdatesFlagsConditionsAndEvents)
{
    const PowerCase& c = GetParam();
    PowerFlags flags;
    flags.onAcPower.store(c.before.onAc);
    flags.batteryLow.store(c.before.batteryLow);
    flags.powerSaver.store(c.before.powerSaver);
    std::atomic<uint32_t> conditions{c.before.conditions};

    struct {
        GUID setting;
        DWORD dataLength;
        BYTE data[16];
    } message = {*c.setting, 0, {}};
    if (c.personality) {
        message.dataLength = sizeof(GUID);
        memcpy(message.data, c.personality, sizeof(GUID));
    } else {
        message.dataLength = sizeof(DWORD);
        memcpy(message.data, &c.value, sizeof(DWORD));
    }

    PowerSettingChange change =
        UpdatePowerConditions(*reinterpret_cast<const POWERBROADCAST_SETTING*>(&message), flags, conditions);

    EXPECT_TRUE(change.understood);
    EXPECT_EQ(conditions.load(), c.after.conditions);
    EXPECT_EQ(flags.onAcPower.load(), c.after.onAc);
    EXPECT_EQ(flags.batteryLow.load(), c.after.batteryLow);
    EXPECT_EQ(flags.powerSaver.load(), c.after.powerSaver);
    EXPECT_EQ(change.setPowerSourceEvent, c.powerSourceEvent);
    EXPECT_EQ(change.setPowerSchemeEvent, c.powerSchemeEvent);
}

INSTANTIATE_TEST_SUITE_P(Settings, PowerRuleTest, testing::ValuesIn(kPowerCases),
                         [](const testing::TestParamInfo<PowerCase>& info) { return std::string(info.param.name); });

TEST(PowerRuleLimitsTest, DataTooShortForTheSettingChangesNothing)
{
    for (const GUID* setting : {&kGuidAcDcPowerSource, &kGuidBatteryPercentageRemaining,
                                &kGuidPowerSchemePersonality, &kGuidMonitorPowerOn}) {
        PowerFlags flags;
        std::atomic<uint32_t> conditions{0};
        struct {
            GUID setting;
            DWORD dataLength;
            BYTE data[16];
        } message = {*setting, 3, {0xFF, 0xFF, 0xFF}};
        PowerSettingChange change =
            UpdatePowerConditions(*reinterpret_cast<const POWERBROADCAST_SETTING*>(&message), flags, conditions);
        EXPECT_FALSE(change.understood);
        EXPECT_FALSE(change.setPowerSourceEvent);
        EXPECT_FALSE(change.setPowerSchemeEvent);
        EXPECT_EQ(conditions.load(), 0u);
        EXPECT_FALSE(flags.batteryLow.load());
    }
}

} // namespace
} // namespace qvx
