#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/registry_value.h"
#include "platform/system_services_key.h"
#include "tests/commands/command_test_support.h"
#include "tests/engine/launch_protection_double.h"
#include "tests/protect/protect_doubles.h"
#include "tests/trust/trust_fixtures.h"

namespace qvx {
namespace {

using Levels = std::map<std::wstring, DWORD>;

class LaunchProtectionCommandsTest : public test::CommandHost {
protected:
    void SetUp() override
    {
        CommandHost::SetUp();
        installDir_.Set(test::BinDirectory());
        SetServicesRootLocation(HKEY_LOCAL_MACHINE, key_.Path() + L"\\Windows");
        for (const wchar_t* name : {L"qvxsvh", L"qvxtrust", L"qvxfwsvc", L"qvxpp"}) {
            RegKey service;
            ASSERT_EQ(
                CreateKey(HKEY_LOCAL_MACHINE, (key_.Path() + L"\\Windows\\" + name).c_str(), KEY_ALL_ACCESS, service),
                0u);
            security_.Add(name);
        }
        Create(L"qvxpp");
        Create(L"qvxnowin"); // a hosted service without a Windows service
    }
    void TearDown() override { ResetServicesRootLocation(); }

    test::InstallDirOverride installDir_;
    test::ServiceSecurityDouble security_;
    test::DriverDeviceDouble driver_;
    test::LaunchProtectionDouble calls_;
};

TEST_F(LaunchProtectionCommandsTest, AnswersForProtectedUnprotectedAndUnknownServices)
{
    const Levels allProtected = {{L"qvxsvh", 3}, {L"qvxtrust", 3}, {L"qvxfwsvc", 3}, {L"qvxpp", 3}};
    struct {
        const char* name;
        std::wstring request;
        Levels before;
        DWORD changeError;
        const wchar_t* reply;
        Levels after;
    } cases[] = {
        {"HostAndProxies", L"DISABLE_PPL", allProtected, 0, L"ACK",
         {{L"qvxsvh", 0}, {L"qvxtrust", 0}, {L"qvxfwsvc", 0}, {L"qvxpp", 3}}},
        {"FieldsAfterTheNameAreNotRead", L"DISABLE_PPL,qvxpp,x", allProtected, 0, L"ACK",
         {{L"qvxsvh", 0}, {L"qvxtrust", 0}, {L"qvxfwsvc", 0}, {L"qvxpp", 3}}},
        {"HostAlreadyUnprotected", L"DISABLE_PPL", {{L"qvxsvh", 0}, {L"qvxtrust", 3}, {L"qvxfwsvc", 3}}, 0, L"ACK",
         {{L"qvxsvh", 0}, {L"qvxtrust", 0}, {L"qvxfwsvc", 0}}},
        {"AProxyFailingIsOnlyTraced", L"DISABLE_PPL", {{L"qvxsvh", 3}, {L"qvxfwsvc", 3}}, 0, L"ACK",
         {{L"qvxsvh", 0}, {L"qvxfwsvc", 0}}},
        {"HostFailingLeavesTheProxies", L"DISABLE_PPL", {{L"qvxtrust", 3}, {L"qvxfwsvc", 3}}, 0, L"CONFIG_FAILED",
         {{L"qvxtrust", 3}, {L"qvxfwsvc", 3}}},
        {"HostChangeRefused", L"DISABLE_PPL", allProtected, ERROR_ACCESS_DENIED, L"CONFIG_FAILED", allProtected},
        {"OneProtectedService", L"DISABLE_PPL_EX,qvxpp", allProtected, 0, L"ACK",
         {{L"qvxsvh", 3}, {L"qvxtrust", 3}, {L"qvxfwsvc", 3}, {L"qvxpp", 0}}},
        {"NameInOtherCase", L"DISABLE_PPL_EX,QVXPP", allProtected, 0, L"ACK",
         {{L"qvxsvh", 3}, {L"qvxtrust", 3}, {L"qvxfwsvc", 3}, {L"qvxpp", 0}}},
        {"UnprotectedService", L"DISABLE_PPL_EX,qvxpp", {{L"qvxpp", 2}}, 0, L"SERVICE_NOT_FOUND", {{L"qvxpp", 2}}},
        {"NoWindowsService", L"DISABLE_PPL_EX,qvxnowin", allProtected, 0, L"SERVICE_NOT_FOUND", allProtected},
        {"NotHosted", L"DISABLE_PPL_EX,qvxsvh", allProtected, 0, L"SERVICE_NOT_FOUND", allProtected},
        {"ChangeRefused", L"DISABLE_PPL_EX,qvxpp", allProtected, ERROR_ACCESS_DENIED, L"CONFIG_FAILED",
         allProtected},
        {"NoName", L"DISABLE_PPL_EX", allProtected, 0, L"ERROR_MSG_PROTOCOL", allProtected},
        {"TooManyFields", L"DISABLE_PPL_EX,qvxpp,x", allProtected, 0, L"ERROR_MSG_PROTOCOL", allProtected},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        calls_.levels = c.before;
        calls_.changeError = c.changeError;
        EXPECT_EQ(Ask(c.request), c.reply);
        EXPECT_EQ(calls_.levels, c.after);
    }
}

TEST_F(LaunchProtectionCommandsTest, AQueryThatCannotBeAnsweredIsNotFound)
{
    calls_.levels = {{L"qvxpp", 3}};
    calls_.queryError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Ask(L"DISABLE_PPL_EX,qvxpp"), L"SERVICE_NOT_FOUND");
    EXPECT_TRUE(calls_.changes.empty());
}

} // namespace
} // namespace qvx
