#pragma once
// The machine's current condition as the management service sees it: the
// process-wide word of power-profile bits, the power flags the control
// handler keeps from power notifications, and the events that tell other
// threads about a change of power source or power scheme.

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "model/power_profile.h"

namespace qvx {

// Bits of PowerProfileFlag. Written by the control handler, the monitor
// thread, the IP-change callback and the protocol, so every change is one
// atomic operation.
extern std::atomic<uint32_t> MachineConditions;

// The power flags behind bit POWERPROFILE_LOW_BATTERY: it is set while the
// machine runs on a low battery or a power-saver scheme is active.
struct PowerFlags {
    std::atomic<bool> onAcPower{false};
    std::atomic<bool> batteryLow{false};
    std::atomic<bool> powerSaver{false};
};
extern PowerFlags g_powerFlags;

// Manual-reset events created at start-up (none before): set when the power
// source or the power scheme changed.
extern std::atomic<HANDLE> g_powerSourceEvent;
extern std::atomic<HANDLE> g_powerSchemeEvent;

// The management service's stop event (manual reset), set to make the
// service leave its run loop; none before start-up created it.
extern std::atomic<HANDLE> g_stopEvent;

// Back to the state at process start: no conditions, all power flags clear.
void ResetMachineConditions() noexcept;

} // namespace qvx
