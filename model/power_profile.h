#pragma once
// Power-profile flags: the machine conditions under which a hosted service
// may run. The process-wide MachineConditions word uses the same bits.

#include <cstdint>

namespace qvx {

enum PowerProfileFlag : uint32_t {
    POWERPROFILE_BATTERY = 0x001,
    POWERPROFILE_LOWMEMORY = 0x002,
    POWERPROFILE_NOTNETWORK = 0x004,
    POWERPROFILE_METERED = 0x008,
    POWERPROFILE_NORMAL = 0x010,
    POWERPROFILE_USERACTIVE = 0x020,
    POWERPROFILE_AAC_CONTROL = 0x040,
    POWERPROFILE_LOW_BATTERY = 0x080,
    POWERPROFILE_SAFEMODE = 0x100,
    POWERPROFILE_UNDEFINED = 0xFFFFFE00,
    POWERPROFILE_ALL = 0xFFFFFFFF,
};

} // namespace qvx
