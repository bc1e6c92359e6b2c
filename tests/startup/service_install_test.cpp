#include <gtest/gtest.h>

#include <shlwapi.h>

#include <vector>

#include "platform/trusted_library.h"
#include "platform/handles.h"
#include "platform/registry_value.h"
#include "platform/service_key.h"
#include "tests/startup/hosted_service_key.h"
#include "tests/support/installed_service.h"
#include "tests/support/test_prefix.h"
#include "tools/svhinstall/service_install.h"

namespace qvx {
namespace {

constexpr const wchar_t* kNames[] = {L"qvxsvh", L"qvxtrust", L"qvxfwsvc"};

std::wstring FolderOf(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\'));
}

struct RegisteredService {
    bool exists = false;
    DWORD type = 0;
    DWORD start = 0;
    std::wstring binaryPath;
};

RegisteredService QueryRegistration(const wchar_t* name)
{
    RegisteredService result;
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(OpenServiceW(manager.Get(), name, SERVICE_QUERY_CONFIG));
    if (!service)
        return result;
    DWORD needed = 0;
    QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.Get(), config, needed, &needed))
        return result;
    result.exists = true;
    result.type = config->dwServiceType;
    result.start = config->dwStartType;
    result.binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    return result;
}

std::wstring ReadTextValue(const wchar_t* path, const wchar_t* name)
{
    RegKey key;
    std::wstring text;
    if (OpenKey(HKEY_LOCAL_MACHINE, path, KEY_READ, key) == ERROR_SUCCESS)
        ReadText(key.Get(), name, text, MAX_PATH);
    return text;
}

// The install folder setting is shared with the trust tests (RESOURCE_LOCK
// tessera): whatever was there is put back.
class ServiceInstallTest : public testing::Test {
protected:
    void SetUp() override
    {
        QVX_REQUIRE_TEST_PREFIX();
        inTestPrefix_ = true;
        savedInstallDir_ = ReadTextValue(kInstallKeyPath, kInstallDirValue);
        ASSERT_EQ(RemoveServiceHost(), 0u);
        SHDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceKeyPath);
    }
    void TearDown() override
    {
        if (!inTestPrefix_)
            return; // a skipped test removes nothing either
        RemoveServiceHost();
        SHDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceKeyPath);
        if (!savedInstallDir_.empty()) {
            RegKey key;
            CreateKey(HKEY_LOCAL_MACHINE, kInstallKeyPath, KEY_SET_VALUE, key);
            WriteText(key.Get(), kInstallDirValue, savedInstallDir_);
        }
    }

    const std::wstring image_ = test::ServiceImagePath();
    const std::wstring folder_ = FolderOf(image_);
    std::wstring savedInstallDir_;
    bool inTestPrefix_ = false;
};

TEST_F(ServiceInstallTest, RegistersThreeShareProcessServicesOfOneImageWithEventSourceAndCompanionFolder)
{
    ASSERT_EQ(InstallServiceHost(folder_ + L"\\"), 0u);

    for (const wchar_t* name : kNames) {
        SCOPED_TRACE(testing::Message() << "service " << std::string(name, name + wcslen(name)));
        RegisteredService service = QueryRegistration(name);
        ASSERT_TRUE(service.exists);
        EXPECT_EQ(service.type & ~SERVICE_INTERACTIVE_PROCESS, static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS));
        EXPECT_EQ(service.start, static_cast<DWORD>(SERVICE_DEMAND_START));
        EXPECT_EQ(service.binaryPath, L"\"" + folder_ + L"\\qvxsvh.exe\"");
    }
    EXPECT_EQ(ReadTextValue(kEventSourceKeyPath, L"EventMessageFile"), folder_ + L"\\qvxsvh.exe");
    RegKey source;
    ASSERT_EQ(OpenKey(HKEY_LOCAL_MACHINE, kEventSourceKeyPath, KEY_READ, source), 0u);
    DWORD types = 0;
    EXPECT_TRUE(ReadDword(source.Get(), L"TypesSupported", types));
    EXPECT_EQ(types, 7u);
    EXPECT_EQ(ReadTextValue(kInstallKeyPath, kInstallDirValue), folder_);
    RegKey services;
    EXPECT_EQ(OpenKey(HKEY_LOCAL_MACHINE, (std::wstring(kServiceKeyPath) + L"\\Services").c_str(), KEY_READ, services),
              0u);
}

TEST_F(ServiceInstallTest, InstallingAgainKeepsTheStoredHostedServices)
{
    ASSERT_EQ(InstallServiceHost(folder_), 0u);
    ASSERT_TRUE(test::WriteDemandService(kServiceKeyPath, L"alpha"));

    ASSERT_EQ(InstallServiceHost(folder_), 0u);

    EXPECT_EQ(ReadTextValue((std::wstring(kServiceKeyPath) + L"\\Services\\alpha").c_str(), L"Name"), L"alpha");
    EXPECT_EQ(QueryRegistration(L"qvxsvh").binaryPath, L"\"" + folder_ + L"\\qvxsvh.exe\"");
}

TEST_F(ServiceInstallTest, RemovingTakesEverythingAway)
{
    ASSERT_EQ(InstallServiceHost(folder_), 0u);

    EXPECT_EQ(RemoveServiceHost(), 0u);

    for (const wchar_t* name : kNames)
        EXPECT_FALSE(QueryRegistration(name).exists);
    RegKey source;
    EXPECT_NE(OpenKey(HKEY_LOCAL_MACHINE, kEventSourceKeyPath, KEY_READ, source), 0u);
    EXPECT_EQ(ReadTextValue(kInstallKeyPath, kInstallDirValue), L"");
    // Nothing left to remove is no failure.
    EXPECT_EQ(RemoveServiceHost(), 0u);
}

TEST_F(ServiceInstallTest, AFolderWithoutTheImageRegistersNothing)
{
    EXPECT_EQ(InstallServiceHost(folder_ + L"\\missing"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(InstallServiceHost(L""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    for (const wchar_t* name : kNames)
        EXPECT_FALSE(QueryRegistration(name).exists);
}

} // namespace
} // namespace qvx
