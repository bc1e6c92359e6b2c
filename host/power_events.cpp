#include "host/power_events.h"

#include "host/system_libraries.h"
#include "platform/trace.h"

namespace qvx {

namespace {

PowerSettingEntryPoints g_entryPoints;

bool ReadDataDword(const POWERBROADCAST_SETTING& setting, DWORD& value) noexcept
{
    if (setting.DataLength < sizeof(DWORD))
        return false;
    memcpy(&value, setting.Data, sizeof(value));
    return true;
}

} // namespace

PowerSettingChange UpdatePowerConditions(const POWERBROADCAST_SETTING& setting, PowerFlags& flags,
                                         std::atomic<uint32_t>& conditions) noexcept
{
    PowerSettingChange change;
    DWORD value = 0;
    if (IsEqualGUID(setting.PowerSetting, kGuidAcDcPowerSource)) {
        change.setting = PowerSettingChange::kPowerSource;
        if (!ReadDataDword(setting, value)) {
            QVX_TRACE(trace::kWarning, 1, L"power source notification without its value", setting.DataLength);
            return change;
        }
        change.understood = true;
        change.setPowerSourceEvent = true;
        if (value == PoDc || value == PoHot) {
            conditions.fetch_or(POWERPROFILE_BATTERY);
            flags.onAcPower.store(false);
            if (flags.batteryLow.load())
                conditions.fetch_or(POWERPROFILE_LOW_BATTERY);
        } else if (value == PoAc) {
            conditions.fetch_and(~static_cast<uint32_t>(POWERPROFILE_BATTERY));
            flags.onAcPower.store(true);
            // A power-saver scheme keeps the low-battery restrictions even on AC.
            if (flags.batteryLow.load() && !flags.powerSaver.load())
                conditions.fetch_and(~static_cast<uint32_t>(POWERPROFILE_LOW_BATTERY));
        } else {
            QVX_TRACE(trace::kWarning, 2, L"unknown power source", value);
        }
        QVX_TRACE(trace::kInfo, 3, L"power source", value, conditions.load());
    } else if (IsEqualGUID(setting.PowerSetting, kGuidBatteryPercentageRemaining)) {
        change.setting = PowerSettingChange::kBatteryPercentage;
        if (!ReadDataDword(setting, value)) {
            QVX_TRACE(trace::kWarning, 4, L"battery notification without its percentage", setting.DataLength);
            return change;
        }
        change.understood = true;
        if (value < kLowBatteryPercent) {
            flags.batteryLow.store(true);
            if (!flags.onAcPower.load())
                conditions.fetch_or(POWERPROFILE_LOW_BATTERY);
        } else {
            flags.batteryLow.store(false);
            if (!flags.powerSaver.load())
                conditions.fetch_and(~static_cast<uint32_t>(POWERPROFILE_LOW_BATTERY));
        }
        QVX_TRACE(trace::kInfo, 5, L"battery percentage", value, conditions.load());
    } else if (IsEqualGUID(setting.PowerSetting, kGuidPowerSchemePersonality)) {
        change.setting = PowerSettingChange::kSchemePersonality;
        if (setting.DataLength < sizeof(GUID)) {
            QVX_TRACE(trace::kWarning, 6, L"power scheme notification without its personality", setting.DataLength);
            return change;
        }
        change.understood = true;
        change.setPowerSchemeEvent = true;
        GUID personality;
        memcpy(&personality, setting.Data, sizeof(personality));
        if (IsEqualGUID(personality, kGuidMaxPowerSavings)) {
            conditions.fetch_or(POWERPROFILE_LOW_BATTERY);
            flags.powerSaver.store(true);
        } else {
            flags.powerSaver.store(false);
            // A low battery while on battery power still restricts services.
            if (!flags.batteryLow.load() || flags.onAcPower.load())
                conditions.fetch_and(~static_cast<uint32_t>(POWERPROFILE_LOW_BATTERY));
        }
        QVX_TRACE(trace::kInfo, 7, L"power scheme personality", flags.powerSaver.load(), conditions.load());
    } else if (IsEqualGUID(setting.PowerSetting, kGuidMonitorPowerOn)) {
        change.setting = PowerSettingChange::kMonitorPower;
        if (!ReadDataDword(setting, value)) {
            QVX_TRACE(trace::kWarning, 8, L"monitor notification without its value", setting.DataLength);
            return change;
        }
        change.understood = true;
        QVX_TRACE(trace::kInfo, 9, L"monitor power", value != 0 ? L"on" : L"off");
    } else {
        change.understood = true;
        QVX_TRACE(trace::kVerbose, 10, L"power setting not watched", setting.PowerSetting.Data1);
    }
    return change;
}

void LoadPowerSettingEntryPoints() noexcept
{
    HMODULE user32 = LoadSystemLibrary(L"user32.dll");
    if (!user32) {
        QVX_TRACE(trace::kWarning, 11, L"user32.dll could not be loaded", GetLastError());
        return;
    }
    g_entryPoints.registerNotification = reinterpret_cast<RegisterPowerSettingNotificationFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "RegisterPowerSettingNotification")));
    g_entryPoints.unregisterNotification = reinterpret_cast<UnregisterPowerSettingNotificationFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "UnregisterPowerSettingNotification")));
}

const PowerSettingEntryPoints& GetPowerSettingEntryPoints() noexcept
{
    return g_entryPoints;
}

} // namespace qvx
