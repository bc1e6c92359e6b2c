#include "model/power_profile.h"

#include <vector>

#include "model/name_table.h"
#include "model/text_list.h"

namespace qvx {
namespace {

// The single flags in ascending bit order: the order in which a set is written.
constexpr NameEntry<uint32_t> kSingleFlagNames[] = {
    {POWERPROFILE_BATTERY, L"POWERPROFILE_BATTERY"},
    {POWERPROFILE_LOWMEMORY, L"POWERPROFILE_LOWMEMORY"},
    {POWERPROFILE_NOTNETWORK, L"POWERPROFILE_NOTNETWORK"},
    {POWERPROFILE_METERED, L"POWERPROFILE_METERED"},
    {POWERPROFILE_NORMAL, L"POWERPROFILE_NORMAL"},
    {POWERPROFILE_USERACTIVE, L"POWERPROFILE_USERACTIVE"},
    {POWERPROFILE_AAC_CONTROL, L"POWERPROFILE_AAC_CONTROL"},
    {POWERPROFILE_LOW_BATTERY, L"POWERPROFILE_LOW_BATTERY"},
    {POWERPROFILE_SAFEMODE, L"POWERPROFILE_SAFEMODE"},
};

// Names that are read but never written for a single flag.
constexpr NameEntry<uint32_t> kReadOnlyNames[] = {
    {POWERPROFILE_UNDEFINED, L"POWERPROFILE_UNDEFINED"},
    {POWERPROFILE_ALL, L"POWERPROFILE_ALL"},
};

constexpr wchar_t kUndefinedName[] = L"POWERPROFILE_UNDEFINED";
constexpr wchar_t kSetSeparator[] = L" ";

constexpr bool HasAllUndefinedBits(uint32_t set) noexcept
{
    return (set | kPowerProfileNamedBits) == 0xFFFFFFFF;
}

} // namespace

uint32_t PowerProfileFromName(std::wstring_view name) noexcept
{
    const uint32_t flag = ValueOfName(kSingleFlagNames, name, 0u);
    return flag != 0 ? flag : ValueOfName(kReadOnlyNames, name, 0u);
}

const wchar_t* PowerProfileName(uint32_t flag) noexcept
{
    const wchar_t* name = NameOfValue(kSingleFlagNames, flag, nullptr);
    if (name)
        return name;
    return HasAllUndefinedBits(flag) ? kUndefinedName : L"POWERPROFILE_UNKNOWN";
}

uint32_t PowerProfileSetFromText(std::wstring_view text)
{
    std::vector<std::wstring> names;
    if (!SplitList(text, kSetSeparator, names))
        return 0;
    uint32_t set = 0;
    for (const auto& name : names)
        set |= PowerProfileFromName(name);
    return set;
}

void PowerProfileSetToText(uint32_t set, std::wstring& text)
{
    for (const auto& entry : kSingleFlagNames) {
        if (set & entry.value) {
            text += entry.name;
            text += kSetSeparator;
        }
    }
    if (HasAllUndefinedBits(set)) {
        text += kUndefinedName;
        text += kSetSeparator;
    }
    if (!text.empty() && text.back() == L' ')
        text.pop_back();
}

} // namespace qvx
