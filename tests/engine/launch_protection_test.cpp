#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "engine/engine_calls.h"
#include "engine/launch_protection.h"
#include "platform/handles.h"
#include "platform/registry_value.h"
#include "platform/system_services_key.h"
#include "protect/service_lockdown.h"
#include "tests/engine/launch_protection_double.h"
#include "tests/protect/protect_doubles.h"
#include "tests/support/test_service_key.h"
#include "tests/trust/trust_fixtures.h"

namespace qvx {
namespace {

constexpr wchar_t kName[] = L"qvxlp";

size_t CountLines(const std::wstring& log, const std::wstring& prefix)
{
    size_t count = 0;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find(L'\n', at);
        if (log.compare(at, prefix.size(), prefix) == 0)
            ++count;
        at = end == std::wstring::npos ? log.size() : end + 1;
    }
    return count;
}

TEST(QueryServiceLaunchProtectionTest, OnlyAntimalwareLightCountsAsProtected)
{
    test::LaunchProtectionDouble calls;
    struct {
        const char* name;
        bool supported;
        DWORD level;
        DWORD queryError;
        DWORD expected;
        bool isProtected;
    } cases[] = {
        {"None", true, 0, 0, 0, false},
        {"Windows", true, 1, 0, 0, false},
        {"WindowsLight", true, 2, 0, 0, false},
        {"AntimalwareLight", true, 3, 0, 0, true},
        {"QueryFails", true, 3, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, false},
        {"OlderSystem", false, 3, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        calls.supported = c.supported;
        calls.levels[kName] = c.level;
        calls.queryError = c.queryError;
        calls.queries = 0;
        bool isProtected = !c.isProtected;
        EXPECT_EQ(QueryServiceLaunchProtection(kName, isProtected), c.expected);
        EXPECT_EQ(isProtected, c.isProtected);
        EXPECT_EQ(calls.queries, c.supported ? 1 : 0);
    }
}

// The change runs against the launch-protection double, the lockdown on the
// service-security double and a services key of the test's own, and the
// service manager's exception through the access-control stand-in.
class SetServiceLaunchProtectionTest : public testing::Test {
protected:
    void SetUp() override
    {
        installDir_.Set(test::BinDirectory());
        ASSERT_TRUE(library_.Loaded());
        SetServicesRootLocation(HKEY_LOCAL_MACHINE, key_.Path());
        RegKey service;
        ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, (key_.Path() + L"\\" + kName).c_str(), KEY_ALL_ACCESS, service), 0u);
        security_.Add(kName);
        // What the lockdown and the exception are at the moment of the change.
        calls_.onChange = [this](const wchar_t* name) {
            lockedAtChange_ = IsLockdownEnabled(name);
            exceptionsAtChange_ = Exceptions();
        };
    }
    void TearDown() override
    {
        ResetServicesRootLocation();
        library_.Reset();
    }

    // The service manager's exception policies in the library's log (the
    // lockdown commits policies of its own): committed ones and deleted ones.
    size_t ExceptionLines(const wchar_t* operation) const
    {
        const std::wstring log = library_.Log();
        std::vector<std::wstring> policies;
        const std::wstring addRule = L"AddRule [";
        for (size_t at = 0; at < log.size();) {
            const size_t end = log.find(L'\n', at);
            const std::wstring line = log.substr(at, end - at);
            if (line.compare(0, addRule.size(), addRule) == 0 &&
                line.find(L"Allow services.exe to modify") != std::wstring::npos)
                policies.push_back(line.substr(addRule.size(), 38));
            at = end == std::wstring::npos ? log.size() : end + 1;
        }
        size_t count = 0;
        for (const std::wstring& policy : policies)
            count += CountLines(log, std::wstring(operation) + L" " + policy);
        return count;
    }
    int Exceptions() const
    {
        return static_cast<int>(ExceptionLines(L"CommitPolicy")) - static_cast<int>(ExceptionLines(L"DeletePolicy"));
    }

    test::InstallDirOverride installDir_;
    test::StandIn library_{L"qvxaccess.dll"};
    test::TestServiceKey key_;
    test::ServiceSecurityDouble security_;
    test::LaunchProtectionDouble calls_;
    bool lockedAtChange_ = false;
    int exceptionsAtChange_ = -1;
};

TEST_F(SetServiceLaunchProtectionTest, ChangesOnlyWhatIsNotAsWantedAndPutsTheGuardsBack)
{
    struct {
        const char* name;
        DWORD level;
        bool remove;
        bool locked;
        bool supported;
        DWORD queryError;
        DWORD changeError;
        const wchar_t* exceptionFailure; // a library step that fails the exception's install
        DWORD expected;
        const wchar_t* change; // the change asked for, or null for none
        DWORD levelAfter;
    } cases[] = {
        {"RemoveFromProtectedLocked", 3, true, true, true, 0, 0, nullptr, 0, L"qvxlp=0", 0},
        {"AddToUnprotectedUnlocked", 0, false, false, true, 0, 0, nullptr, 0, L"qvxlp=3", 3},
        {"AddToWindowsLightLocked", 2, false, true, true, 0, 0, nullptr, 0, L"qvxlp=3", 3},
        {"RemoveFromUnprotected", 0, true, true, true, 0, 0, nullptr, 0, nullptr, 0},
        {"RemoveFromWindows", 1, true, false, true, 0, 0, nullptr, 0, nullptr, 1},
        {"RemoveFromWindowsLight", 2, true, true, true, 0, 0, nullptr, 0, nullptr, 2},
        {"AddToProtected", 3, false, true, true, 0, 0, nullptr, 0, nullptr, 3},
        {"RemoveOnOlderSystem", 3, true, true, false, 0, 0, nullptr, 0, nullptr, 3},
        {"AddOnOlderSystem", 0, false, true, false, 0, 0, nullptr, ERROR_INVALID_PARAMETER, nullptr, 0},
        {"QueryFails", 3, true, true, true, ERROR_ACCESS_DENIED, 0, nullptr, ERROR_ACCESS_DENIED, nullptr, 3},
        {"ChangeFailsLocked", 3, true, true, true, 0, ERROR_ACCESS_DENIED, nullptr, ERROR_ACCESS_DENIED, L"qvxlp=0",
         3},
        {"ChangeFailsUnlocked", 0, false, false, true, 0, ERROR_INVALID_LEVEL, nullptr, ERROR_INVALID_LEVEL,
         L"qvxlp=3", 0},
        {"ExceptionNotInstalled", 3, true, true, true, 0, 0, L"CreatePolicy", 0, L"qvxlp=0", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(SetLockdown(kName, c.locked), 0u);
        library_.Reset();
        if (c.exceptionFailure)
            library_.Fail(c.exceptionFailure, E_ACCESSDENIED);
        calls_.levels[kName] = c.level;
        calls_.supported = c.supported;
        calls_.queryError = c.queryError;
        calls_.changeError = c.changeError;
        calls_.changes.clear();
        lockedAtChange_ = c.locked;
        exceptionsAtChange_ = -1;
        security_.calls.clear();

        EXPECT_EQ(SetServiceLaunchProtection(kName, c.remove), c.expected);

        EXPECT_EQ(calls_.levels[kName], c.levelAfter);
        EXPECT_EQ(calls_.changes, c.change ? std::vector<std::wstring>{c.change} : std::vector<std::wstring>{});
        if (c.change) {
            EXPECT_FALSE(lockedAtChange_) << "the lockdown is lifted for the change";
            EXPECT_EQ(exceptionsAtChange_, c.exceptionFailure ? 0 : 1) << "the exception stands during the change";
        }
        // Everything as it was before.
        EXPECT_EQ(IsLockdownEnabled(kName), c.locked);
        EXPECT_EQ(Exceptions(), 0) << library_.Log();
        EXPECT_EQ(ExceptionLines(L"DeletePolicy"), c.exceptionFailure ? 0u : 1u)
            << "the exception is installed for every change and removed once";
        // Without a change the lockdown is not touched.
        if (!c.change || !c.locked) {
            EXPECT_TRUE(security_.calls.empty());
        }
    }
}

TEST(ProtectionAttributesTest, BuildsOneProtectionLevelAttributeOrLeavesEverythingAsItWas)
{
    constexpr DWORD kFlags = CREATE_SUSPENDED | DETACHED_PROCESS | CREATE_NO_WINDOW;
    constexpr DWORD kProtectedFlags = kFlags | CREATE_PROTECTED_PROCESS | EXTENDED_STARTUPINFO_PRESENT;
    struct {
        const char* name;
        bool supported;
        bool available;
        DWORD initializeError;
        DWORD updateError;
        DWORD expected;
    } cases[] = {
        {"Built", true, true, 0, 0, 0},
        {"OlderSystem", false, true, 0, 0, ERROR_INVALID_PARAMETER},
        {"FunctionsMissing", true, false, 0, 0, ERROR_INVALID_PARAMETER},
        {"InitializeFails", true, true, ERROR_NOT_ENOUGH_MEMORY, 0, ERROR_NOT_ENOUGH_MEMORY},
        {"UpdateFails", true, true, 0, ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LaunchProtectionDouble calls;
        calls.supported = c.supported;
        calls.listAvailable = c.available;
        calls.initializeError = c.initializeError;
        calls.updateError = c.updateError;
        STARTUPINFOEXW startup = {};
        DWORD flags = kFlags;

        EXPECT_EQ(BuildProtectionAttributes(startup, flags), c.expected);

        const bool built = c.expected == ERROR_SUCCESS;
        EXPECT_EQ(flags, built ? kProtectedFlags : kFlags);
        EXPECT_EQ(startup.lpAttributeList != nullptr, built);
        EXPECT_EQ(calls.liveLists, built ? 1 : 0);
        if (built || c.updateError) {
            ASSERT_EQ(calls.updates.size(), 1u);
            EXPECT_EQ(calls.updates[0].first, static_cast<DWORD_PTR>(PROC_THREAD_ATTRIBUTE_PROTECTION_LEVEL));
            EXPECT_EQ(calls.updates[0].second, static_cast<DWORD>(PROTECTION_LEVEL_SAME));
        }
        FreeProtectionAttributes(startup);
        EXPECT_EQ(startup.lpAttributeList, nullptr);
        EXPECT_EQ(calls.liveLists, 0);
        FreeProtectionAttributes(startup); // nothing attached: nothing deleted
        EXPECT_EQ(calls.liveLists, 0);
    }
}

// The real calls under Wine, with the version test answered as a new
// system (the prefix may claim an older one): its service manager does not
// know the launch-protection level, and its attribute lists refuse the
// protection level. Both come back as failures, never as protection.
class NewSystemCalls final : public LaunchProtectionCalls {
public:
    NewSystemCalls() { SetLaunchProtectionCalls(this); }
    ~NewSystemCalls() override { SetLaunchProtectionCalls(nullptr); }
    bool ProtectionSupported() override { return true; }
    DWORD QueryLevel(const wchar_t* name, DWORD& level) override { return real_.QueryLevel(name, level); }
    DWORD ChangeLevel(const wchar_t* name, DWORD level) override { return real_.ChangeLevel(name, level); }
    bool AttributeListAvailable() override { return real_.AttributeListAvailable(); }
    DWORD InitializeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, SIZE_T& size) override
    {
        return real_.InitializeList(list, count, size);
    }
    DWORD UpdateList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD_PTR attribute, void* value, SIZE_T size) override
    {
        return real_.UpdateList(list, attribute, value, size);
    }
    void DeleteList(LPPROC_THREAD_ATTRIBUTE_LIST list) override { real_.DeleteList(list); }

private:
    LaunchProtectionCalls& real_ = SystemLaunchProtectionCalls();
};

TEST(LaunchProtectionRealCallsTest, AnUnknownLevelIsAFailureAndNeverProtected)
{
    NewSystemCalls calls;
    bool isProtected = true;
    EXPECT_EQ(QueryServiceLaunchProtection(L"qvxlp-no-such-service", isProtected),
              static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_FALSE(isProtected);

    isProtected = true;
    EXPECT_EQ(QueryServiceLaunchProtection(L"PlugPlay", isProtected), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    EXPECT_FALSE(isProtected);
    // Wine refuses the write with an error of its own (not always
    // ERROR_INVALID_LEVEL); it must come back as a failure.
    EXPECT_NE(SystemLaunchProtectionCalls().ChangeLevel(L"PlugPlay", 3), 0u);

    STARTUPINFOEXW startup = {};
    DWORD flags = 0;
    EXPECT_EQ(BuildProtectionAttributes(startup, flags), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(startup.lpAttributeList, nullptr);
}

} // namespace
} // namespace qvx
