#include <gtest/gtest.h>

#include <windows.h>
#include <winsvc.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/registry_value.h"
#include "platform/system_services_key.h"
#include "protect/service_lockdown.h"
#include "tests/protect/protect_doubles.h"
#include "tests/support/test_service_key.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

using test::ServiceSecurityDouble;
using test::WellKnownSidBytes;

// Sorted as AccessList gives them.
const std::vector<std::wstring> kLockedList = {
    L"deny administrators 000D0020",  L"deny other 000D0020",  L"deny system 000D0020",
    L"grant administrators 0000001D", L"grant other 0002009D", L"grant system 00000001",
};
const std::vector<std::wstring> kUnlockedList = {
    L"grant administrators 001F01FF",
    L"grant other 0002008D",
    L"grant system 001F01FF",
};

class ServiceLockdownTest : public testing::Test {
protected:
    void SetUp() override
    {
        SetServicesRootLocation(HKEY_LOCAL_MACHINE, key_.Path());
        security_.Add(kName);
        RegKey service;
        ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, (key_.Path() + L"\\" + kName).c_str(), KEY_ALL_ACCESS, service), 0u);
    }
    void TearDown() override { ResetServicesRootLocation(); }

    // The service's access list as "<grant|deny> <account> <mask>", sorted
    // (the order is the system merge's); only
    // entries without inheritance for the three accounts of the lockdown are
    // expected, so anything else is spelt out to fail the comparison.
    std::vector<std::wstring> AccessList(const std::wstring& name)
    {
        std::vector<std::wstring> list;
        const std::vector<BYTE>& dacl = security_.services[name].dacl;
        std::vector<AccessEntry> entries;
        EXPECT_EQ(ReadExplicitEntries(dacl.empty() ? nullptr : reinterpret_cast<const ACL*>(dacl.data()), entries),
                  0u);
        for (const AccessEntry& entry : entries) {
            std::wstring account = ServiceSecurityDouble::SidName(entry.sid);
            if (entry.sid == WellKnownSidBytes(WinAuthenticatedUserSid))
                account = L"other";
            else if (account == L"other")
                account = L"unexpected";
            wchar_t mask[16];
            swprintf(mask, 16, L"%08X", static_cast<unsigned>(entry.mask));
            std::wstring mode = entry.mode == GRANT_ACCESS ? L"grant" : entry.mode == DENY_ACCESS ? L"deny" : L"mode?";
            list.push_back(mode + L" " + account + L" " + mask +
                           (entry.inheritance == NO_INHERITANCE ? L"" : L" inherited"));
        }
        std::sort(list.begin(), list.end());
        return list;
    }

    // The recorded value as text: "1", "0" or "(missing)".
    std::wstring Recorded(const std::wstring& name) const
    {
        RegKey key;
        DWORD value = 0;
        if (OpenKey(HKEY_LOCAL_MACHINE, (key_.Path() + L"\\" + name).c_str(), KEY_QUERY_VALUE, key) != 0 ||
            !ReadDword(key.Get(), kLockdownValue, value))
            return L"(missing)";
        return std::to_wstring(value);
    }

    void Record(const std::wstring& name, DWORD value) const
    {
        RegKey key;
        ASSERT_EQ(OpenKey(HKEY_LOCAL_MACHINE, (key_.Path() + L"\\" + name).c_str(), KEY_SET_VALUE, key), 0u);
        ASSERT_TRUE(WriteDword(key.Get(), kLockdownValue, value));
    }

    const std::wstring kName = L"qvxlocked";
    test::TestServiceKey key_;
    ServiceSecurityDouble security_;
    test::DriverDeviceDouble driver_; // no device: the value is written without an exception
};

TEST_F(ServiceLockdownTest, EachStateWritesItsWholeAccessListAndRecordsIt)
{
    struct {
        const char* name;
        bool lock;
        std::vector<std::wstring> list;
        const wchar_t* recorded;
    } cases[] = {
        {"Locked", true, kLockedList, L"1"},
        {"Unlocked", false, kUnlockedList, L"0"},
        {"LockedAgainAfterUnlock", true, kLockedList, L"1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SetLockdown(kName.c_str(), c.lock), 0u);
        EXPECT_EQ(AccessList(kName), c.list);
        EXPECT_EQ(Recorded(kName), c.recorded);
        EXPECT_EQ(IsLockdownEnabled(kName.c_str()), c.lock);
    }
}

TEST_F(ServiceLockdownTest, LockingALockedServiceWritesNeitherTheListNorTheRecord)
{
    ASSERT_EQ(SetLockdown(kName.c_str(), true), 0u);
    Record(kName, 0); // a record that disagrees shows whether it is written again
    security_.calls.clear();

    EXPECT_EQ(SetLockdown(kName.c_str(), true), 0u);

    EXPECT_TRUE(security_.calls.empty());
    EXPECT_EQ(Recorded(kName), L"0");
}

TEST_F(ServiceLockdownTest, UnlockingAlwaysRewritesTheList)
{
    ASSERT_EQ(SetLockdown(kName.c_str(), false), 0u);
    Record(kName, 1);
    security_.calls.clear();

    EXPECT_EQ(SetLockdown(kName.c_str(), false), 0u);

    EXPECT_EQ(security_.calls, std::vector<std::wstring>{L"dacl"});
    EXPECT_EQ(AccessList(kName), kUnlockedList);
    EXPECT_EQ(Recorded(kName), L"0");
}

TEST_F(ServiceLockdownTest, OwnershipIsTakenWhereTheObjectNeedsIt)
{
    const std::vector<std::wstring> takeFor = {L"+SeTakeOwnershipPrivilege", L"+SeRestorePrivilege"};
    const std::vector<std::wstring> giveUp = {L"-SeTakeOwnershipPrivilege", L"-SeRestorePrivilege"};
    auto ownerChange = [&](const wchar_t* account) {
        std::vector<std::wstring> calls = takeFor;
        calls.push_back(std::wstring(L"owner ") + account);
        calls.insert(calls.end(), giveUp.begin(), giveUp.end());
        return calls;
    };
    auto join = [](std::initializer_list<std::vector<std::wstring>> parts) {
        std::vector<std::wstring> all;
        for (const auto& part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    struct {
        const char* name;
        std::vector<BYTE> owner;
        bool needsAdminOwner;
        std::vector<std::wstring> calls;
    } cases[] = {
        {"SystemOwnedAndWritable", WellKnownSidBytes(WinLocalSystemSid), false, {L"dacl"}},
        {"OtherOwnerTakenFirst", WellKnownSidBytes(WinWorldSid), false, join({ownerChange(L"system"), {L"dacl"}})},
        {"DeniedWriteRetriedAsAdministrators", WellKnownSidBytes(WinLocalSystemSid), true,
         join({{L"dacl"}, ownerChange(L"administrators"), {L"dacl"}, ownerChange(L"system")})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        security_.Add(kName, c.owner);
        security_.daclNeedsAdminOwner = c.needsAdminOwner;
        security_.calls.clear();

        EXPECT_EQ(SetLockdown(kName.c_str(), true), 0u);

        EXPECT_EQ(security_.calls, c.calls);
        EXPECT_EQ(ServiceSecurityDouble::SidName(security_.services[kName].owner), L"system");
        EXPECT_EQ(AccessList(kName), kLockedList);
        EXPECT_EQ(Recorded(kName), L"1");
    }
}

TEST_F(ServiceLockdownTest, AFailedObjectChangeLeavesTheRecordAsItWas)
{
    struct {
        const char* name;
        DWORD readError;
        DWORD writeError;
        bool needsAdminOwner;
        DWORD ownerError;
        const wchar_t* refusedPrivilege;
    } cases[] = {
        {"ListUnreadable", ERROR_INVALID_HANDLE, 0, false, 0, L""},
        {"ListRefused", 0, ERROR_INVALID_PARAMETER, false, 0, L""},
        {"DeniedEvenAsAdministrators", 0, ERROR_ACCESS_DENIED, false, 0, L""},
        {"OwnerCannotBeTaken", 0, 0, true, ERROR_PRIVILEGE_NOT_HELD, L""},
        {"NoTakeOwnershipPrivilege", 0, 0, true, 0, SE_TAKE_OWNERSHIP_NAME},
        {"NoRestorePrivilege", 0, 0, true, 0, SE_RESTORE_NAME},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        security_.Add(kName);
        security_.readError = c.readError;
        security_.daclWriteError = c.writeError;
        security_.daclNeedsAdminOwner = c.needsAdminOwner;
        security_.ownerWriteError = c.ownerError;
        security_.refusedPrivilege = c.refusedPrivilege;
        Record(kName, 0);

        EXPECT_NE(SetLockdown(kName.c_str(), true), 0u);

        EXPECT_EQ(Recorded(kName), L"0");
        EXPECT_TRUE(security_.services[kName].dacl.empty());
    }
}

// Without the privileges the owner cannot be changed: the one enabled is
// disabled again, the owner stays, and a list the object takes is still
// written and recorded.
TEST_F(ServiceLockdownTest, WithoutThePrivilegesTheOwnerStaysAndTheListIsStillWritten)
{
    security_.Add(kName, WellKnownSidBytes(WinWorldSid));
    security_.refusedPrivilege = SE_RESTORE_NAME;
    security_.calls.clear();

    EXPECT_EQ(SetLockdown(kName.c_str(), true), 0u);

    EXPECT_EQ(security_.calls, (std::vector<std::wstring>{L"+SeTakeOwnershipPrivilege", L"+SeRestorePrivilege",
                                                          L"-SeTakeOwnershipPrivilege", L"dacl"}));
    EXPECT_EQ(ServiceSecurityDouble::SidName(security_.services[kName].owner), L"other");
    EXPECT_EQ(AccessList(kName), kLockedList);
    EXPECT_EQ(Recorded(kName), L"1");
}

TEST_F(ServiceLockdownTest, AServiceThatDoesNotExistSucceedsWithNothingWritten)
{
    security_.services.clear();
    for (bool lock : {true, false}) {
        EXPECT_EQ(SetLockdown(L"qvxnosuch", lock), 0u);
        EXPECT_EQ(ApplyStoredLockdown(L"qvxnosuch"), 0u);
    }
    EXPECT_TRUE(security_.calls.empty());
    EXPECT_EQ(Recorded(L"qvxnosuch"), L"(missing)");
    RegKey key;
    EXPECT_NE(OpenKey(HKEY_LOCAL_MACHINE, (key_.Path() + L"\\qvxnosuch").c_str(), KEY_READ, key), 0u);
}

TEST_F(ServiceLockdownTest, TheStoredStateIsAppliedWithoutWritingTheRecord)
{
    struct {
        const char* name;
        bool write;
        DWORD type;
        DWORD value;
        std::vector<std::wstring> list;
    } cases[] = {
        {"RecordedLocked", true, REG_DWORD, 1, kLockedList},
        {"RecordedUnlocked", true, REG_DWORD, 0, kUnlockedList},
        {"AnyNonZeroIsLocked", true, REG_DWORD, 7, kLockedList},
        {"NoRecordIsUnlocked", false, REG_DWORD, 0, kUnlockedList},
        {"AWrongTypeIsUnlocked", true, REG_BINARY, 1, kUnlockedList},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RegKey key;
        ASSERT_EQ(OpenKey(HKEY_LOCAL_MACHINE, (key_.Path() + L"\\" + kName).c_str(), KEY_ALL_ACCESS, key), 0u);
        RegDeleteValueW(key.Get(), kLockdownValue);
        if (c.write) {
            ASSERT_EQ(RegSetValueExW(key.Get(), kLockdownValue, 0, c.type, reinterpret_cast<const BYTE*>(&c.value),
                                     sizeof(c.value)),
                      0);
        }
        FILETIME before = {}, after = {};
        RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, &before);

        EXPECT_EQ(ApplyStoredLockdown(kName.c_str()), 0u);

        EXPECT_EQ(AccessList(kName), c.list);
        EXPECT_EQ(Recorded(kName), c.write && c.type == REG_DWORD ? std::to_wstring(c.value) : L"(missing)");
        RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, &after);
        EXPECT_EQ(CompareFileTime(&before, &after), 0);
    }
}

TEST_F(ServiceLockdownTest, TheRecordIsWrittenInsideADriverException)
{
    driver_.OpenEverything();

    ASSERT_EQ(SetLockdown(kName.c_str(), true), 0u);
    EXPECT_EQ(driver_.calls,
              (std::vector<std::wstring>{L"open \\\\.\\QVXSNTRY rw", L"open \\\\.\\QVXSNTRY r", L"9EDB6518 on r",
                                         L"9EDBA518 on rw", L"9EDBA51C on rw", L"close rw", L"9EDB651C on r",
                                         L"close r"}));
    EXPECT_EQ(Recorded(kName), L"1");

    driver_.calls.clear();
    ASSERT_EQ(SetLockdown(kName.c_str(), true), 0u);
    EXPECT_TRUE(driver_.calls.empty()) << "a lock that finds the service locked opens no exception";
}

// The real service manager of the test prefix. Wine keeps no security on
// service objects; whatever it answers, the outcome is the one that answer
// calls for, and the record is written only after the object took the list.
class RealServiceLockdownTest : public testing::Test {
protected:
    void TearDown() override
    {
        if (service_) {
            DeleteService(service_.Get());
            service_.Reset();
        }
    }

    ServiceHandle manager_{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
    ServiceHandle service_;
};

TEST_F(RealServiceLockdownTest, AServiceThatDoesNotExistSucceedsWithNothingWritten)
{
    const std::wstring name = test::UniqueName(L"qvxlocknone");
    EXPECT_EQ(SetLockdown(name.c_str(), true), 0u);
    EXPECT_EQ(ApplyStoredLockdown(name.c_str()), 0u);
    RegKey key;
    EXPECT_EQ(OpenKey(HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\Services\\" + name).c_str(), KEY_READ, key),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(RealServiceLockdownTest, ARegisteredServiceGetsTheOutcomeOfWhatTheManagerAnswers)
{
    ASSERT_TRUE(manager_);
    const std::wstring name = test::UniqueName(L"qvxlockreal");
    service_.Reset(CreateServiceW(manager_.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                  L"C:\\windows\\system32\\notepad.exe", nullptr, nullptr, nullptr, nullptr,
                                  nullptr));
    ASSERT_TRUE(service_) << GetLastError();

    std::vector<BYTE> dacl;
    const DWORD readAnswer = CurrentServiceSecurity().ReadDacl(name.c_str(), dacl);
    const DWORD result = SetLockdown(name.c_str(), true);
    if (readAnswer != ERROR_SUCCESS) {
        EXPECT_EQ(result, readAnswer);
        EXPECT_FALSE(IsLockdownEnabled(name.c_str()));
        return;
    }
    // Read works; the write's answer decides: success records the lock,
    // a refusal leaves no record.
    EXPECT_EQ(IsLockdownEnabled(name.c_str()), result == ERROR_SUCCESS) << result;
    if (result == ERROR_SUCCESS) {
        EXPECT_EQ(SetLockdown(name.c_str(), false), 0u);
        EXPECT_FALSE(IsLockdownEnabled(name.c_str()));
        EXPECT_EQ(ApplyStoredLockdown(name.c_str()), 0u);
    }
}

} // namespace
} // namespace qvx
