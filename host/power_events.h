#pragma once
// Power-setting notifications: the settings the management service listens
// to, how each one changes the machine conditions, and the optional
// user32 entry points that register for them.

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "platform/handles.h"
#include "runtime/machine_conditions.h"

namespace qvx {

// {5D3E9A59-E9D5-4B00-A6BD-FF34FF516548}: AC, battery or short-term battery.
constexpr GUID kGuidAcDcPowerSource = {0x5D3E9A59, 0xE9D5, 0x4B00, {0xA6, 0xBD, 0xFF, 0x34, 0xFF, 0x51, 0x65, 0x48}};
// {A7AD8041-B45A-4CAE-87A3-EECBB468A9E1}: percentage of battery left.
constexpr GUID kGuidBatteryPercentageRemaining = {0xA7AD8041, 0xB45A, 0x4CAE, {0x87, 0xA3, 0xEE, 0xCB, 0xB4, 0x68, 0xA9, 0xE1}};
// {245D8541-3943-4422-B025-13A784F679B7}: the personality of the active scheme.
constexpr GUID kGuidPowerSchemePersonality = {0x245D8541, 0x3943, 0x4422, {0xB0, 0x25, 0x13, 0xA7, 0x84, 0xF6, 0x79, 0xB7}};
// {A1841308-3541-4FAB-BC81-F71556F20B4A}: the power-saver personality.
constexpr GUID kGuidMaxPowerSavings = {0xA1841308, 0x3541, 0x4FAB, {0xBC, 0x81, 0xF7, 0x15, 0x56, 0xF2, 0x0B, 0x4A}};
// {02731015-4510-4526-99E6-E5A17EBD1AEA}: the monitor went on or off.
constexpr GUID kGuidMonitorPowerOn = {0x02731015, 0x4510, 0x4526, {0x99, 0xE6, 0xE5, 0xA1, 0x7E, 0xBD, 0x1A, 0xEA}};

// Below this percentage the battery counts as low.
constexpr DWORD kLowBatteryPercent = 30;

// What a power-setting notification meant and what the caller has to signal.
struct PowerSettingChange {
    enum Setting { kPowerSource, kBatteryPercentage, kSchemePersonality, kMonitorPower, kOther };
    Setting setting = kOther;
    bool understood = false;       // the data was long enough to read
    bool setPowerSourceEvent = false;
    bool setPowerSchemeEvent = false;
};

// Applies one POWERBROADCAST_SETTING to the power flags and the condition
// word. `setting` must hold at least its header; its DataLength says how
// much data follows, and data too short for the setting changes nothing.
PowerSettingChange UpdatePowerConditions(const POWERBROADCAST_SETTING& setting, PowerFlags& flags,
                                         std::atomic<uint32_t>& conditions) noexcept;

// Size of a POWERBROADCAST_SETTING with `dataLength` bytes of data, as
// hosted services receive it with a forwarded power event.
constexpr DWORD PowerSettingSize(DWORD dataLength) noexcept
{
    return dataLength + static_cast<DWORD>(sizeof(POWERBROADCAST_SETTING)) - 1;
}

// The power-setting registration functions of "user32.dll"; either may be
// missing, and then no power-setting notifications are set up.
using RegisterPowerSettingNotificationFn = HPOWERNOTIFY(WINAPI*)(HANDLE recipient, LPCGUID setting, DWORD flags);
using UnregisterPowerSettingNotificationFn = BOOL(WINAPI*)(HPOWERNOTIFY handle);

struct PowerSettingEntryPoints {
    RegisterPowerSettingNotificationFn registerNotification = nullptr;
    UnregisterPowerSettingNotificationFn unregisterNotification = nullptr;
};

// Loads "user32.dll" from the system directory (it stays loaded for the
// life of the process) and looks both entry points up.
void LoadPowerSettingEntryPoints() noexcept;
const PowerSettingEntryPoints& GetPowerSettingEntryPoints() noexcept;

// A power-setting registration, unregistered by its owner.
struct PowerNotificationTraits {
    using Handle = HPOWERNOTIFY;
    static constexpr const wchar_t* kKind = L"power-setting registration";
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    // 0, or the error of the failed unregistration.
    static DWORD Close(Handle h)
    {
        UnregisterPowerSettingNotificationFn unregister = GetPowerSettingEntryPoints().unregisterNotification;
        if (!unregister)
            return ERROR_PROC_NOT_FOUND;
        return unregister(h) ? ERROR_SUCCESS : GetLastError();
    }
};
using PowerNotification = ScopedHandle<PowerNotificationTraits>;

} // namespace qvx
