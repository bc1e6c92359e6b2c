#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "model/power_profile.h"

namespace qvx {
namespace {

TEST(PowerProfile, SingleNames)
{
    const struct {
        const wchar_t* text;
        uint32_t value;
    } fromName[] = {
        {L"POWERPROFILE_BATTERY", 0x001},
        {L"powerprofile_safemode", 0x100},
        {L"POWERPROFILE_LOW_BATTERY", 0x080},
        {L"POWERPROFILE_UNDEFINED", 0xFFFFFE00},
        {L"POWERPROFILE_ALL", 0xFFFFFFFF},
        {L"POWERPROFILE_UNKNOWN", 0},
        {L"POWERPROFILE_BATTERY ", 0},
        {L"", 0},
    };
    for (const auto& c : fromName)
        EXPECT_EQ(PowerProfileFromName(c.text), c.value) << testing::PrintToString(std::wstring(c.text));

    const struct {
        uint32_t value;
        const wchar_t* name;
    } names[] = {
        {0x001, L"POWERPROFILE_BATTERY"},
        {0x002, L"POWERPROFILE_LOWMEMORY"},
        {0x004, L"POWERPROFILE_NOTNETWORK"},
        {0x008, L"POWERPROFILE_METERED"},
        {0x010, L"POWERPROFILE_NORMAL"},
        {0x020, L"POWERPROFILE_USERACTIVE"},
        {0x040, L"POWERPROFILE_AAC_CONTROL"},
        {0x080, L"POWERPROFILE_LOW_BATTERY"},
        {0x100, L"POWERPROFILE_SAFEMODE"},
        {0xFFFFFE00, L"POWERPROFILE_UNDEFINED"},
        {0xFFFFFFFF, L"POWERPROFILE_UNDEFINED"},
        {0xFFFFFE03, L"POWERPROFILE_UNDEFINED"},
        {0x003, L"POWERPROFILE_UNKNOWN"},
        {0x200, L"POWERPROFILE_UNKNOWN"},
        {0x7FFFFE00, L"POWERPROFILE_UNKNOWN"},
        {0, L"POWERPROFILE_UNKNOWN"},
    };
    for (const auto& c : names)
        EXPECT_STREQ(PowerProfileName(c.value), c.name) << "value 0x" << std::hex << c.value;
}

TEST(PowerProfile, SetFromText)
{
    const struct {
        const char* name;
        const wchar_t* text;
        uint32_t set;
    } cases[] = {
        {"two names, one blank", L"POWERPROFILE_BATTERY POWERPROFILE_METERED", 0x9},
        {"two names, two blanks", L"POWERPROFILE_BATTERY  POWERPROFILE_METERED", 0},
        {"leading blank", L" POWERPROFILE_BATTERY", 0},
        {"trailing blank", L"POWERPROFILE_BATTERY ", 0x1},
        {"two trailing blanks", L"POWERPROFILE_BATTERY  ", 0},
        {"letter case folded", L"powerprofile_normal Powerprofile_Safemode", 0x110},
        {"unknown name adds nothing", L"POWERPROFILE_BATTERY POWERPROFILE_TURBO", 0x1},
        {"all", L"POWERPROFILE_ALL", 0xFFFFFFFF},
        {"undefined alone", L"POWERPROFILE_UNDEFINED", 0xFFFFFE00},
        {"tab is not a separator", L"POWERPROFILE_BATTERY\tPOWERPROFILE_METERED", 0},
        {"empty", L"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PowerProfileSetFromText(c.text), c.set) << c.name;
}

TEST(PowerProfile, SetToText)
{
    const struct {
        uint32_t set;
        const wchar_t* text;
    } cases[] = {
        {0x11, L"POWERPROFILE_BATTERY POWERPROFILE_NORMAL"},
        {0x10, L"POWERPROFILE_NORMAL"},
        {0x180, L"POWERPROFILE_LOW_BATTERY POWERPROFILE_SAFEMODE"},
        {0xFFFFFE00, L"POWERPROFILE_UNDEFINED"},
        {0xFFFFFE01, L"POWERPROFILE_BATTERY POWERPROFILE_UNDEFINED"},
        {0xFFFFFFFF,
            L"POWERPROFILE_BATTERY POWERPROFILE_LOWMEMORY POWERPROFILE_NOTNETWORK POWERPROFILE_METERED "
            L"POWERPROFILE_NORMAL POWERPROFILE_USERACTIVE POWERPROFILE_AAC_CONTROL POWERPROFILE_LOW_BATTERY "
            L"POWERPROFILE_SAFEMODE POWERPROFILE_UNDEFINED"},
        // Some undefined bits but not all of them have no name to write.
        {0x201, L"POWERPROFILE_BATTERY"},
        {0x200, L""},
        {0, L""},
    };
    for (const auto& c : cases) {
        std::wstring text;
        PowerProfileSetToText(c.set, text);
        EXPECT_EQ(text, c.text) << "set 0x" << std::hex << c.set;
    }
}

TEST(PowerProfile, TextFormReadsBack)
{
    for (uint32_t set : {0x1u, 0x9u, 0x1FFu, 0xFFFFFE00u, 0xFFFFFE10u, 0xFFFFFFFFu}) {
        std::wstring text;
        PowerProfileSetToText(set, text);
        EXPECT_EQ(PowerProfileSetFromText(text), set) << testing::PrintToString(text);
    }
}

TEST(PowerProfile, AppendsToTheCallersText)
{
    std::wstring text = L"PowerProfile=";
    PowerProfileSetToText(0x2, text);
    EXPECT_EQ(text, L"PowerProfile=POWERPROFILE_LOWMEMORY");
}

TEST(PowerProfile, PermitsUnderConditions)
{
    const struct {
        const char* name;
        uint32_t profile;
        uint32_t conditions;
        bool permitted;
    } cases[] = {
        {"normal runs under any condition", POWERPROFILE_NORMAL, POWERPROFILE_BATTERY | POWERPROFILE_SAFEMODE, true},
        {"no condition", POWERPROFILE_BATTERY, 0, true},
        {"every condition covered", POWERPROFILE_BATTERY | POWERPROFILE_LOWMEMORY, POWERPROFILE_LOWMEMORY, true},
        {"one condition not covered", POWERPROFILE_BATTERY, POWERPROFILE_BATTERY | POWERPROFILE_LOWMEMORY, false},
        {"empty profile under a condition", 0, POWERPROFILE_NOTNETWORK, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PowerProfilePermits(c.profile, c.conditions), c.permitted) << c.name;
}

} // namespace
} // namespace qvx
