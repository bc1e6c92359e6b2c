#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "protect/access_control.h"
#include "protect/access_exception.h"
#include "protect/rule_identifier.h"
#include "tests/protect/protect_doubles.h"
#include "tests/support/test_prefix.h"
#include "tests/trust/trust_fixtures.h"

namespace qvx {
namespace {

using Calls = std::vector<std::wstring>;

std::wstring Hex(DWORD value)
{
    wchar_t text[16];
    swprintf(text, 16, L"%x", static_cast<unsigned>(value));
    return text;
}

TEST(RuleIdentifierTest, IsTheMd5OfTheUtf16TextWithoutItsTerminator)
{
    struct {
        const char* name;
        const wchar_t* text;
        const char* digest;
    } cases[] = {
        {"Empty", L"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"ExceptionRule", L"al exception rule 1:2 res x", "10851a9b43a1fd516dfa125cf71d8e8f"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        GUID id = {};
        ASSERT_EQ(RuleIdentifier(c.text, &id), 0u);
        const BYTE* bytes = reinterpret_cast<const BYTE*>(&id);
        std::string digest;
        for (size_t i = 0; i < sizeof(id); ++i) {
            char pair[3];
            snprintf(pair, sizeof(pair), "%02x", bytes[i]);
            digest += pair;
        }
        EXPECT_EQ(digest, c.digest);
    }
}

class AccessExceptionTest : public testing::Test {
protected:
    void SetUp() override
    {
        installDir_.Set(test::BinDirectory());
        ASSERT_TRUE(library_.Loaded());
    }

    void Withdraw(const char* name) { library_.Fail(L"NotComDllGetInterface:" + Widen(name), E_NOINTERFACE); }

    static std::wstring Widen(const char* text) { return std::wstring(text, text + strlen(text)); }

    // The library's log lines that start with `prefix`.
    Calls LibraryCalls(const std::wstring& prefix) const
    {
        Calls lines;
        std::wstring log = library_.Log();
        for (size_t at = 0; at < log.size();) {
            size_t end = log.find(L'\n', at);
            std::wstring line = log.substr(at, end - at);
            if (line.compare(0, prefix.size(), prefix) == 0)
                lines.push_back(line);
            at = end == std::wstring::npos ? log.size() : end + 1;
        }
        return lines;
    }

    test::InstallDirOverride installDir_;
    test::StandIn library_{L"qvxaccess.dll"};
    test::DriverDeviceDouble driver_;
};

TEST_F(AccessExceptionTest, AWriteHandleScopeBeginsOnceAndEndsOnce)
{
    driver_.OpenEverything();
    AccessException* scope = OpenAccessException(kExceptionWriteHandle);
    ASSERT_NE(scope, nullptr);
    EXPECT_TRUE(AddAccessException(scope, 2, L"HKLM\\x", 11, 0));
    const std::vector<BYTE> identifier = driver_.lastInput;
    EXPECT_TRUE(AddAccessException(scope, 2, L"HKLM\\y", 11, 0));
    CloseAccessException(scope);

    EXPECT_EQ(driver_.calls, (Calls{L"open \\\\.\\QVXSNTRY rw", L"9EDBA518 on rw", L"9EDBA51C on rw", L"close rw"}));
    ASSERT_EQ(identifier.size(), 74u);
    EXPECT_EQ(std::memcmp(identifier.data(), kDriverExceptionIdentifier, 74), 0);
    EXPECT_TRUE(LibraryCalls(L"").empty()) << "no policy was asked for";
}

TEST_F(AccessExceptionTest, TheDeviceIsOpenedUnderTheNameAndAccessThatWork)
{
    const std::wstring local = L"\\\\.\\QVXSNTRY", global = L"\\\\.\\Global\\QVXSNTRY";
    struct {
        const char* name;
        std::vector<std::pair<std::wstring, DWORD>> openable;
        Calls calls;
    } cases[] = {
        {"LocalReadOnly", {{local, GENERIC_READ}}, {L"open " + local + L" r", L"9EDB6518 on r", L"9EDB651C on r", L"close r"}},
        {"GlobalReadOnly", {{global, GENERIC_READ}}, {L"open " + global + L" r", L"9EDB6518 on r", L"9EDB651C on r", L"close r"}},
        {"ReadWriteWhenReadAloneIsRefused",
         {{global, GENERIC_READ | GENERIC_WRITE}},
         {L"open " + global + L" rw", L"9EDB6518 on rw", L"9EDB651C on rw", L"close rw"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        driver_.openable = c.openable;
        driver_.calls.clear();
        AccessException* scope = OpenAccessException(kExceptionReadHandle);
        ASSERT_NE(scope, nullptr);
        EXPECT_TRUE(AddAccessException(scope, 1, L"C:\\x", 1, 0));
        CloseAccessException(scope);
        EXPECT_EQ(driver_.calls, c.calls);
    }
}

TEST_F(AccessExceptionTest, ARefusedBeginIsAskedForAgainAndNeverEnded)
{
    driver_.OpenEverything();
    driver_.refusedCode = 0x9EDBA518;
    AccessException* scope = OpenAccessException(kExceptionWriteHandle);
    ASSERT_NE(scope, nullptr);

    EXPECT_FALSE(AddAccessException(scope, 2, L"HKLM\\x", 11, 0));
    EXPECT_FALSE(AddAccessException(scope, 2, L"HKLM\\x", 11, 0)) << "the exception is still not in force";
    CloseAccessException(scope);
    EXPECT_EQ(driver_.calls, (Calls{L"open \\\\.\\QVXSNTRY rw", L"9EDBA518 on rw", L"9EDBA518 on rw", L"close rw"}));

    driver_.calls.clear();
    driver_.refusedCode = 0x9EDB6518;
    scope = OpenAccessException(kExceptionWriteHandle | kExceptionReadHandle);
    ASSERT_NE(scope, nullptr);
    EXPECT_FALSE(AddAccessException(scope, 2, L"HKLM\\x", 11, 0)) << "a refused read begin fails the exception";
    CloseAccessException(scope);
    EXPECT_EQ(driver_.calls, (Calls{L"open \\\\.\\QVXSNTRY rw", L"open \\\\.\\QVXSNTRY r", L"9EDB6518 on r",
                                    L"9EDBA518 on rw", L"9EDBA51C on rw", L"close rw", L"close r"}));
}

TEST_F(AccessExceptionTest, APolicyScopeBindsItsRulesToThisThreadAndRemovesThemOnClose)
{
    const std::wstring ids = Hex(GetCurrentProcessId()) + L":" + Hex(GetCurrentThreadId());
    AccessException* scope = OpenAccessException(kExceptionPolicy);
    ASSERT_NE(scope, nullptr);
    EXPECT_TRUE(AddAccessException(scope, 2, L"HKLM\\System\\CurrentControlSet\\Services\\**", 11, 0));
    EXPECT_TRUE(AddAccessException(scope, 3, L"HKLM\\v", 4, 1));
    EXPECT_TRUE(AddAccessException(scope, 1, L"C:\\f", 1, 0));
    CloseAccessException(scope);

    EXPECT_EQ(LibraryCalls(L"NotComDllGetInterface"), Calls{L"NotComDllGetInterface AacControl6"});
    const Calls policies = LibraryCalls(L"CreatePolicy");
    ASSERT_EQ(policies.size(), 1u);
    EXPECT_NE(policies[0].find(L" accesslib policy " + ids), std::wstring::npos) << policies[0];

    const std::wstring pid = std::to_wstring(GetCurrentProcessId()), tid = std::to_wstring(GetCurrentThreadId());
    Calls rules;
    for (const std::wstring& line : LibraryCalls(L"CreateRule"))
        rules.push_back(line.substr(line.find(L"} ") + 2));
    EXPECT_EQ(rules, (Calls{
                         L"2 al delete policy on terminate process 0x" + Hex(GetCurrentProcessId()) + L" (" + pid + L") rule",
                         L"3 al disable rules on terminate thread 0x" + Hex(GetCurrentThreadId()) + L" (" + tid + L") rule",
                         L"1 al exception rule " + ids + L" res HKLM\\System\\CurrentControlSet\\Services\\**",
                         L"1 al exception rule " + ids + L" res HKLM\\v",
                         L"1 al exception rule " + ids + L" res C:\\f",
                     }));
    EXPECT_EQ(LibraryCalls(L"CreateTargetMatcher"),
              (Calls{L"CreateTargetMatcher target 0 * 0x0 0x0", L"CreateTargetMatcher target 0 * 0x0 0x0",
                     L"CreateTargetMatcher target 2 HKLM\\System\\CurrentControlSet\\Services\\** 0xb 0x0",
                     L"CreateTargetMatcher target 3 HKLM\\System\\CurrentControlSet\\Services\\** 0xb 0x0",
                     L"CreateTargetMatcher target 3 HKLM\\v 0x4 0x1", L"CreateTargetMatcher target 2 HKLM\\v 0x4 0x1",
                     L"CreateTargetMatcher target 1 C:\\f 0x1 0x0"}));
    EXPECT_EQ(LibraryCalls(L"CreateActorMatcher"),
              (Calls{L"CreateActorMatcher actor 2 (null) " + pid, L"CreateActorMatcher actor 3 (null) " + tid,
                     L"CreateActorMatcher actor 3 (null) " + tid, L"CreateActorMatcher actor 3 (null) " + tid,
                     L"CreateActorMatcher actor 3 (null) " + tid}));
    EXPECT_EQ(LibraryCalls(L"CommitPolicy").size(), 5u);
    EXPECT_EQ(LibraryCalls(L"DeletePolicy").size(), 1u);
    EXPECT_EQ(LibraryCalls(L"NotComDllUnload").size(), 1u);
    EXPECT_TRUE(driver_.calls.empty());
}

TEST_F(AccessExceptionTest, APolicyScopeTakesTheNewestInterfaceOffered)
{
    struct {
        const char* name;
        std::vector<const char*> withdrawn;
        const wchar_t* used;
    } cases[] = {
        {"Newest", {}, L"AacControl6"},
        {"OneOlder", {"AacControl6"}, L"AacControl5"},
        {"Oldest", {"AacControl6", "AacControl5", "AacControl4", "AacControl3", "AacControl2"}, L"AacControl"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        library_.Reset();
        for (const char* name : c.withdrawn)
            Withdraw(name);
        AccessException* scope = OpenAccessException(kExceptionPolicy);
        ASSERT_NE(scope, nullptr);
        EXPECT_TRUE(AddAccessException(scope, 2, L"HKLM\\x", 11, 0));
        CloseAccessException(scope);
        const Calls created = LibraryCalls(L"CreateAccessControl");
        ASSERT_EQ(created.size(), 1u);
        const std::wstring expected = L"CreateAccessControl " + std::wstring(c.used) + L" ";
        EXPECT_EQ(created[0].compare(0, expected.size(), expected), 0) << test::Narrow(created[0]);
    }
}

TEST_F(AccessExceptionTest, NothingOpenedGivesNoScope)
{
    for (const char* name : kAacInterfaceNames)
        Withdraw(name);
    EXPECT_EQ(OpenAccessException(kExceptionWriteHandle | kExceptionReadHandle | kExceptionPolicy), nullptr);
    EXPECT_FALSE(AddAccessException(nullptr, 2, L"HKLM\\x", 11, 0));
    CloseAccessException(nullptr);
}

TEST_F(AccessExceptionTest, AFailedRuleFailsTheExceptionWithoutTouchingTheDriver)
{
    driver_.OpenEverything();
    AccessException* scope = OpenAccessException(kExceptionWriteHandle | kExceptionPolicy);
    ASSERT_NE(scope, nullptr);
    library_.Fail(L"AddRule", E_FAIL);
    driver_.calls.clear();

    EXPECT_FALSE(AddAccessException(scope, 2, L"HKLM\\x", 11, 0));
    EXPECT_TRUE(driver_.calls.empty());
    CloseAccessException(scope);
    EXPECT_EQ(driver_.calls, (Calls{L"close rw"}));
}

TEST_F(AccessExceptionTest, TheRealDeviceIsAbsentUnderTheTestPrefix)
{
    SetDriverDevice(nullptr); // the real device, which no driver serves here
    EXPECT_EQ(OpenAccessException(kExceptionWriteHandle | kExceptionReadHandle), nullptr);

    AccessException* scope = OpenAccessException(kExceptionWriteHandle | kExceptionReadHandle | kExceptionPolicy);
    ASSERT_NE(scope, nullptr) << "the policy alone makes a scope";
    EXPECT_TRUE(AddAccessException(scope, 2, L"HKLM\\x", 11, 0));
    CloseAccessException(scope);
    EXPECT_EQ(LibraryCalls(L"DeletePolicy").size(), 1u);
    SetDriverDevice(&driver_);
}

} // namespace
} // namespace qvx
