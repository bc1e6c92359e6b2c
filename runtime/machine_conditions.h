#pragma once
// The machine's current condition as the host sees it: the word of
// power-profile bits that says which hosted services may run
// (MachineConditions), the power flags behind its low-battery bit, and the
// events that tell the monitor that the first power-source and power-scheme
// notifications have come.

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "model/power_profile.h"
#include "platform/published_handle.h"

namespace qvx {

// The power flags behind bit POWERPROFILE_LOW_BATTERY: it is set while the
// machine runs on a low battery or a power-saver scheme is active.
struct PowerFlags {
    std::atomic<bool> onAcPower{false};
    std::atomic<bool> batteryLow{false};
    std::atomic<bool> powerSaver{false};
};

struct MachineConditions {
    // Bits of PowerProfileFlag. Written by the control handler, the monitor
    // thread, the IP-change callback and the protocol, so every change is
    // one atomic operation.
    std::atomic<uint32_t> word{0};
    PowerFlags powerFlags;
    // Manual-reset events, created with the power notifications (none
    // before): set when the power source or the power scheme changed.
    PublishedHandle powerSourceEvent;
    PublishedHandle powerSchemeEvent;
};

} // namespace qvx
