#include <gtest/gtest.h>

#include <string>

#include "platform/registry_value.h"
#include "platform/system_services_key.h"
#include "protect/service_lockdown.h"
#include "tests/commands/command_test_support.h"
#include "tests/protect/protect_doubles.h"

namespace qvx {
namespace {

class LockdownCommandTest : public test::CommandHost {
protected:
    void SetUp() override
    {
        CommandHost::SetUp();
        SetServicesRootLocation(HKEY_LOCAL_MACHINE, key_.Path() + L"\\Windows");
        RegKey service;
        ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, (key_.Path() + L"\\Windows\\qvxlk").c_str(), KEY_ALL_ACCESS, service),
                  0u);
        security_.Add(L"qvxlk");
        Create(L"qvxlk");
    }
    void TearDown() override { ResetServicesRootLocation(); }

    std::wstring Recorded()
    {
        RegKey key;
        DWORD value = 0;
        if (OpenKey(HKEY_LOCAL_MACHINE, (key_.Path() + L"\\Windows\\qvxlk").c_str(), KEY_QUERY_VALUE, key) != 0 ||
            !ReadDword(key.Get(), kLockdownValue, value))
            return L"(missing)";
        return std::to_wstring(value);
    }

    test::ServiceSecurityDouble security_;
    test::DriverDeviceDouble driver_;
};

TEST_F(LockdownCommandTest, EachWordLocksOrUnlocksAndAnythingElseIsRefused)
{
    // Rows run in order; each names the record the lockdown should leave.
    struct {
        const char* name;
        std::wstring request;
        const wchar_t* reply;
        const wchar_t* recorded;
        DWORD daclWriteError;
    } cases[] = {
        {"UnknownService", L"ENABLE_DISABLE_LOCKDOWN,qvxnone,ENABLE", L"SERVICE_NOT_FOUND", L"(missing)", 0},
        {"TooFewFields", L"ENABLE_DISABLE_LOCKDOWN,qvxlk", L"ERROR_MSG_PROTOCOL", L"(missing)", 0},
        {"TooManyFields", L"ENABLE_DISABLE_LOCKDOWN,qvxlk,ENABLE,x", L"ERROR_MSG_PROTOCOL", L"(missing)", 0},
        {"Enable", L"ENABLE_DISABLE_LOCKDOWN,qvxlk,ENABLE", L"ACK", L"1", 0},
        {"DisableInLowerCase", L"ENABLE_DISABLE_LOCKDOWN,qvxlk,disable", L"ACK", L"0", 0},
        {"MoreLettersAfterTheWord", L"ENABLE_DISABLE_LOCKDOWN,qvxlk,ENABLED", L"ERROR_MSG_PROTOCOL", L"0", 0},
        {"OtherWord", L"ENABLE_DISABLE_LOCKDOWN,qvxlk,LOCK", L"ERROR_MSG_PROTOCOL", L"0", 0},
        {"NameInOtherCase", L"ENABLE_DISABLE_LOCKDOWN,QVXLK,Enable", L"ACK", L"1", 0},
        {"AFailedLockdownIsStillAcknowledged", L"ENABLE_DISABLE_LOCKDOWN,qvxlk,DISABLE", L"ACK", L"1",
         ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        security_.daclWriteError = c.daclWriteError;
        EXPECT_EQ(Ask(c.request), c.reply);
        EXPECT_EQ(Recorded(), c.recorded);
    }
}

} // namespace
} // namespace qvx
