#pragma once
// Power-profile flags: the machine conditions under which a hosted service
// may run. The process-wide MachineConditions word uses the same bits. A
// profile is stored and sent as the names of its flags separated by single
// blanks.

#include <cstdint>
#include <string>
#include <string_view>

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
    POWERPROFILE_UNDEFINED = 0xFFFFFE00, // every bit above the nine named ones
    POWERPROFILE_ALL = 0xFFFFFFFF,       // a name to read only; never written
};

// The bits of the nine single flags.
inline constexpr uint32_t kPowerProfileNamedBits = 0x1FF;

// One name to its value: a single flag, POWERPROFILE_UNDEFINED or
// POWERPROFILE_ALL; 0 for anything else.
uint32_t PowerProfileFromName(std::wstring_view name) noexcept;

// The name of one single flag. Any other value is "POWERPROFILE_UNDEFINED"
// when every bit from 0x200 upward is set, else "POWERPROFILE_UNKNOWN".
const wchar_t* PowerProfileName(uint32_t flag) noexcept;

// The blank-separated names of a set, ORed. A text that does not split (empty,
// leading blank, two blanks in a row) gives 0; unknown names add nothing.
uint32_t PowerProfileSetFromText(std::wstring_view text);

// Appends the names of the set's single flags in ascending bit order, then
// "POWERPROFILE_UNDEFINED" when every undefined bit is set, separated by
// single blanks. An empty set appends nothing.
void PowerProfileSetToText(uint32_t set, std::wstring& text);

// Whether a hosted service with this profile may run under the machine's
// current conditions: its profile holds POWERPROFILE_NORMAL, or every bit of
// the conditions.
constexpr bool PowerProfilePermits(uint32_t profile, uint32_t conditions) noexcept
{
    return (profile & POWERPROFILE_NORMAL) != 0 || (profile & conditions) == conditions;
}

} // namespace qvx
