#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/handles.h"
#include "platform/registry_value.h"
#include "platform/system_services_key.h"
#include "platform/wide_text.h"
#include "protect/service_lockdown.h"
#include "tests/support/child_process.h"
#include "tests/support/svhctl_run.h"
#include "tests/support/test_prefix.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

using test::RunSvhctl;

// The view reads the system itself: a service key with a recorded lockdown
// but no registration in the service manager shows the record. What it says
// of launch protection depends on the system the prefix claims: an older one
// has none, a newer one cannot find the service.
TEST(SvhctlProtection, ShowsTheRecordedLockdownAndAnUnknownProtection)
{
    QVX_REQUIRE_TEST_PREFIX();
    const std::wstring name = ToLowerAscii(test::UniqueName(L"qvxpv"));
    const std::wstring path = ServiceKeyPathOf(name.c_str());
    // Asked for in another letter case: the view folds the name.
    std::wstring upper = name;
    for (wchar_t& ch : upper)
        ch = (ch >= L'a' && ch <= L'z') ? static_cast<wchar_t>(ch - L'a' + L'A') : ch;
    struct {
        const char* label;
        int recorded; // -1: no value
        const char* lockdownLine;
    } cases[] = {
        {"Locked", 1, "LockDownEnabled: 1 (locked)"},
        {"Unlocked", 0, "LockDownEnabled: 0 (unlocked)"},
        {"NotRecorded", -1, "LockDownEnabled: not recorded"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        {
            RegKey key;
            ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, key), 0u);
            if (c.recorded >= 0)
                ASSERT_TRUE(WriteDword(key.Get(), kLockdownValue, static_cast<DWORD>(c.recorded)));
            else
                RegDeleteValueW(key.Get(), kLockdownValue);
        }
        const test::ProgramRun run = RunSvhctl(L"protection " + upper);
        const bool unknown = run.output.find("launch protection: unknown (1060") != std::string::npos;
        EXPECT_EQ(run.exitCode, unknown ? static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST) : 0u) << run.output;
        EXPECT_TRUE(unknown || run.output.find("launch protection: not protected") != std::string::npos)
            << run.output;
        EXPECT_NE(run.output.find(WideToUtf8(name)), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(c.lockdownLine), std::string::npos) << run.output;
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
}

} // namespace
} // namespace qvx
