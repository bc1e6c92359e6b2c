#include "host/machine_conditions.h"

namespace qvx {

std::atomic<uint32_t> MachineConditions{0};
PowerFlags g_powerFlags;
std::atomic<HANDLE> g_powerSourceEvent{nullptr};
std::atomic<HANDLE> g_powerSchemeEvent{nullptr};
std::atomic<HANDLE> g_stopEvent{nullptr};

void ResetMachineConditions() noexcept
{
    MachineConditions.store(0);
    g_powerFlags.onAcPower.store(false);
    g_powerFlags.batteryLow.store(false);
    g_powerFlags.powerSaver.store(false);
}

} // namespace qvx
