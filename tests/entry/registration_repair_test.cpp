#include <gtest/gtest.h>

#include <shlwapi.h>

#include <optional>

#include "host/service_registration_repair.h"
#include "platform/registry_value.h"
#include "platform/service_key.h"
#include "platform/system_services_key.h"
#include "tests/support/test_service_key.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

constexpr wchar_t kImagePath[] = L"C:\\Program Files\\Quorvex\\qvxsvh.exe";

// The management service key (TestServiceKey) and a private stand-in for
// the services root that holds the proxies' keys.
class RegistrationRepairTest : public testing::Test {
protected:
    RegistrationRepairTest() : rootPath_(L"SOFTWARE\\QvxsvhTest\\" + test::UniqueName(L"services"))
    {
        RegKey root;
        CreateKey(HKEY_LOCAL_MACHINE, rootPath_.c_str(), KEY_ALL_ACCESS, root);
        SetServicesRootLocation(HKEY_LOCAL_MACHINE, rootPath_);
        ForgetManagementImagePath();
    }
    ~RegistrationRepairTest() override
    {
        ForgetManagementImagePath();
        ResetServicesRootLocation();
        SHDeleteKeyW(HKEY_LOCAL_MACHINE, rootPath_.c_str());
    }

    RegKey Proxy(const wchar_t* name)
    {
        RegKey key;
        CreateKey(HKEY_LOCAL_MACHINE, (rootPath_ + L"\\" + name).c_str(), KEY_ALL_ACCESS, key);
        return key;
    }
    std::optional<DWORD> Dword(const RegKey& key, const wchar_t* name)
    {
        DWORD value = 0;
        return ReadDword(key.Get(), name, value) ? std::optional<DWORD>(value) : std::nullopt;
    }
    // The text and its registry type, or nothing.
    std::optional<std::pair<std::wstring, DWORD>> Text(const RegKey& key, const wchar_t* name)
    {
        wchar_t buffer[512] = {};
        DWORD type = 0;
        DWORD size = sizeof(buffer) - sizeof(wchar_t);
        if (RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
            return std::nullopt;
        return std::make_pair(std::wstring(buffer), type);
    }

    test::TestServiceKey management_;
    std::wstring rootPath_;
};

TEST_F(RegistrationRepairTest, ProxiesGetSharedTypeAndTheManagementImage)
{
    WriteText(management_.Open().Get(), L"ImagePath", kImagePath, REG_EXPAND_SZ);
    RegKey trust = Proxy(L"qvxtrust");
    WriteDword(trust.Get(), L"Type", SERVICE_WIN32_OWN_PROCESS);
    WriteText(trust.Get(), L"ImagePath", L"C:\\elsewhere\\other.exe");
    RegKey firewall = Proxy(L"qvxfwsvc"); // no values at all

    RepairProxyServiceConfig(false);

    for (const RegKey* key : {&trust, &firewall}) {
        EXPECT_EQ(Dword(*key, L"Type"), std::optional<DWORD>(SERVICE_WIN32_SHARE_PROCESS));
        auto image = Text(*key, L"ImagePath");
        ASSERT_TRUE(image);
        EXPECT_EQ(image->first, kImagePath);
        EXPECT_EQ(image->second, static_cast<DWORD>(REG_EXPAND_SZ));
        EXPECT_FALSE(Dword(*key, L"Start")); // not asked to repair the start type
    }
}

TEST_F(RegistrationRepairTest, AnImagePathDifferingOnlyInLetterCaseIsKept)
{
    WriteText(management_.Open().Get(), L"ImagePath", kImagePath, REG_EXPAND_SZ);
    RegKey trust = Proxy(L"qvxtrust");
    WriteText(trust.Get(), L"ImagePath", L"c:\\PROGRAM FILES\\quorvex\\QVXSVH.EXE", REG_SZ);

    RepairProxyServiceConfig(false);

    auto image = Text(trust, L"ImagePath");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->first, L"c:\\PROGRAM FILES\\quorvex\\QVXSVH.EXE");
    EXPECT_EQ(image->second, static_cast<DWORD>(REG_SZ));
}

struct StartCase {
    const char* name;
    bool repairStart;
    std::optional<DWORD> startBefore;
    std::optional<DWORD> startAfter;
    bool upgradeValueKept;
};

const StartCase kStartCases[] = {
    {"AutoStartIsKept", true, SERVICE_AUTO_START, SERVICE_AUTO_START, true},
    {"DisabledBecomesDemandStart", true, SERVICE_DISABLED, SERVICE_DEMAND_START, false},
    {"MissingBecomesDemandStart", true, std::nullopt, SERVICE_DEMAND_START, false},
    {"WithoutRepairStartDisabledStays", false, SERVICE_DISABLED, SERVICE_DISABLED, true},
    {"WithoutRepairStartMissingStaysMissing", false, std::nullopt, std::nullopt, true},
};

class StartRepairTest : public RegistrationRepairTest, public testing::WithParamInterface<StartCase> {};

TEST_P(StartRepairTest, RepairsStartOnlyWhenAskedAndNeeded)
{
    const StartCase& c = GetParam();
    WriteText(management_.Open().Get(), L"ImagePath", kImagePath, REG_EXPAND_SZ);
    RegKey trust = Proxy(L"qvxtrust");
    RegKey firewall = Proxy(L"qvxfwsvc");
    for (const RegKey* key : {&trust, &firewall}) {
        if (c.startBefore)
            WriteDword(key->Get(), L"Start", *c.startBefore);
        WriteDword(key->Get(), L"upgradetmp.Start", SERVICE_AUTO_START);
    }

    RepairProxyServiceConfig(c.repairStart);

    for (const RegKey* key : {&trust, &firewall}) {
        EXPECT_EQ(Dword(*key, L"Start"), c.startAfter);
        EXPECT_EQ(Dword(*key, L"upgradetmp.Start").has_value(), c.upgradeValueKept);
    }
}

INSTANTIATE_TEST_SUITE_P(Start, StartRepairTest, testing::ValuesIn(kStartCases),
                         [](const testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

TEST_F(RegistrationRepairTest, WithoutAManagementImagePathTheProxiesAreLeftAlone)
{
    RegKey trust = Proxy(L"qvxtrust");
    WriteDword(trust.Get(), L"Type", SERVICE_WIN32_OWN_PROCESS);
    WriteDword(trust.Get(), L"Start", SERVICE_DISABLED);

    RepairProxyServiceConfig(true);

    EXPECT_EQ(Dword(trust, L"Type"), std::optional<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(Dword(trust, L"Start"), std::optional<DWORD>(SERVICE_DISABLED));
    EXPECT_FALSE(Text(trust, L"ImagePath"));
}

TEST_F(RegistrationRepairTest, AManagementImagePathTooLongToCopyWholeIsNeverCopied)
{
    std::wstring longPath = L"C:\\" + std::wstring(kImagePathChars, L'x') + L"\\qvxsvh.exe";
    WriteText(management_.Open().Get(), L"ImagePath", longPath, REG_EXPAND_SZ);
    RegKey trust = Proxy(L"qvxtrust");
    WriteText(trust.Get(), L"ImagePath", kImagePath);

    RepairProxyServiceConfig(true);

    EXPECT_EQ(Text(trust, L"ImagePath")->first, kImagePath);
    EXPECT_FALSE(Dword(trust, L"Type"));
}

TEST_F(RegistrationRepairTest, AMissingProxyKeyDoesNotStopTheOtherRepair)
{
    WriteText(management_.Open().Get(), L"ImagePath", kImagePath, REG_EXPAND_SZ);
    RegKey firewall = Proxy(L"qvxfwsvc");

    RepairProxyServiceConfig(true);

    EXPECT_EQ(Dword(firewall, L"Type"), std::optional<DWORD>(SERVICE_WIN32_SHARE_PROCESS));
    EXPECT_EQ(Dword(firewall, L"Start"), std::optional<DWORD>(SERVICE_DEMAND_START));
    RegKey trust;
    EXPECT_NE(OpenKey(HKEY_LOCAL_MACHINE, (rootPath_ + L"\\qvxtrust").c_str(), KEY_READ, trust), 0u);
}

TEST_F(RegistrationRepairTest, TheManagementImagePathIsReadOnce)
{
    WriteText(management_.Open().Get(), L"ImagePath", kImagePath, REG_EXPAND_SZ);
    RegKey trust = Proxy(L"qvxtrust");
    RepairProxyServiceConfig(false);
    WriteText(management_.Open().Get(), L"ImagePath", L"C:\\moved\\qvxsvh.exe", REG_EXPAND_SZ);

    RepairProxyServiceConfig(false);

    EXPECT_EQ(Text(trust, L"ImagePath")->first, kImagePath);
}

struct TypeCase {
    const char* name;
    std::optional<DWORD> before;
};

const TypeCase kTypeCases[] = {
    {"Missing", std::nullopt},
    {"OwnProcess", SERVICE_WIN32_OWN_PROCESS},
    {"AlreadyShared", SERVICE_WIN32_SHARE_PROCESS},
};

class TypeRepairTest : public testing::TestWithParam<TypeCase> {
protected:
    test::TestServiceKey management_;
};

TEST_P(TypeRepairTest, TheManagementServiceIsRegisteredAsSharedProcess)
{
    RegKey key = management_.Open();
    if (GetParam().before)
        WriteDword(key.Get(), L"Type", *GetParam().before);

    RepairManagementServiceType();

    DWORD type = 0;
    ASSERT_TRUE(ReadDword(key.Get(), L"Type", type));
    EXPECT_EQ(type, static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS));
}

INSTANTIATE_TEST_SUITE_P(Type, TypeRepairTest, testing::ValuesIn(kTypeCases),
                         [](const testing::TestParamInfo<TypeCase>& info) { return std::string(info.param.name); });

TEST(TypeRepairMissingKeyTest, AMissingServiceKeyIsNotCreated)
{
    test::TestServiceKey management;
    std::wstring missing = management.Path() + L"\\absent";
    SetServiceKeyLocation(HKEY_LOCAL_MACHINE, missing);

    RepairManagementServiceType();

    RegKey key;
    EXPECT_EQ(OpenKey(HKEY_LOCAL_MACHINE, missing.c_str(), KEY_READ, key), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

} // namespace
} // namespace qvx
