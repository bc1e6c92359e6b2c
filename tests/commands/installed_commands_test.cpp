#include <gtest/gtest.h>

#include <shlwapi.h>

#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/service_key.h"
#include "platform/wide_text.h"
#include "protocol/control_client.h"
#include "protocol/message_codec.h"
#include "tests/support/test_prefix.h"
#include "tests/support/installed_service.h"

namespace qvx {
namespace {

constexpr DWORD kIoTimeoutMs = 10000;
const wchar_t* const kCreated[] = {L"alpha", L"beta", L"gamma"};

// Profiles of demand-start services, so that no start-up wave launches them.
std::wstring Profile(const std::wstring& name, const std::wstring& extra)
{
    return L"<Service><Name>" + name +
           L"</Name><StartupProfile>SERVICE_START_DEMAND</StartupProfile><SVHServiceType>SERVICE_TYPE_SVH"
           L"</SVHServiceType><BinaryPath>C:\\svc\\" +
           name + L".exe</BinaryPath>" + extra + L"</Service>";
}

class InstalledCommands : public testing::Test {
protected:
    void SetUp() override
    {
        QVX_REQUIRE_TEST_PREFIX();
        inPrefix_ = true;
        ASSERT_EQ(service_.Error(), 0u);
        RemoveCreatedKeys();
        ASSERT_EQ(service_.Start(), 0u);
        ASSERT_EQ(client_.Open(kControlPipeName, kIoTimeoutMs), 0u);
    }
    void TearDown() override
    {
        if (!inPrefix_)
            return;
        client_.Close();
        service_.Stop();
        RemoveCreatedKeys();
    }

    static void RemoveCreatedKeys()
    {
        for (const wchar_t* name : kCreated)
            SHDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(kServiceKeyPath) + L"\\Services\\" + name).c_str());
    }

    std::wstring Ask(const std::wstring& request)
    {
        if (!client_.IsOpen()) {
            EXPECT_EQ(client_.Open(kControlPipeName, kIoTimeoutMs), 0u);
        }
        std::wstring reply;
        std::vector<BYTE> raw;
        EXPECT_EQ(client_.Send(request, kIoTimeoutMs), 0u) << WideToUtf8(request);
        EXPECT_EQ(client_.Receive(reply, kIoTimeoutMs, &raw), 0u) << WideToUtf8(request);
        EXPECT_EQ(raw.size(), (reply.size() + 1) * sizeof(wchar_t)) << WideToUtf8(request);
        return reply;
    }

    // Everything the host tells about the created services.
    std::vector<std::wstring> Describe()
    {
        std::vector<std::wstring> replies;
        for (const wchar_t* name : kCreated) {
            replies.push_back(Ask(std::wstring(L"QUERY_SERVICE_STATUS,") + name));
            replies.push_back(Ask(std::wstring(L"QUERY_SERVICE_CONFIG,") + name));
            replies.push_back(Ask(std::wstring(L"QUERY_SERVICE_APP_PROFILE,") + name));
        }
        replies.push_back(Ask(L"ENUM_DEP_SERVICES,alpha,SERVICE_STATE_ALL"));
        return replies;
    }

    test::InstalledService service_;
    ControlConnection client_;
    bool inPrefix_ = false;
};

TEST_F(InstalledCommands, ServicesCreatedOverThePipeSurviveARestartWhole)
{
    struct Exchange {
        std::wstring request;
        std::wstring reply;
    };
    const Exchange exchanges[] = {
        {L"CREATE_SERVICE,alpha," +
             Profile(L"alpha", L"<ServiceType>SERVICE_WIN32_OWN_PROCESS</ServiceType>"
                               L"<FailureRestart><ResetPeriod>600</ResetPeriod><RestartCount>3</RestartCount>"
                               L"<RestartDelay>5</RestartDelay></FailureRestart>"
                               L"<PowerProfile>POWERPROFILE_BATTERY</PowerProfile>"
                               L"<PowerProfile>POWERPROFILE_NORMAL</PowerProfile>"
                               L"<GroupAccount>LocalService</GroupAccount><Version>3</Version>"
                               L"<NumServiceArgs>1</NumServiceArgs><ServiceArgVectors>-v</ServiceArgVectors>"),
         L"ACK"},
        {L"CREATE_SERVICE,beta," +
             Profile(L"beta", L"<ServiceType>SERVICE_WIN32_SHARE_PROCESS</ServiceType>"
                              L"<DependOnService><ServiceName>alpha</ServiceName></DependOnService>"),
         L"ACK"},
        {L"CREATE_SERVICE,gamma," +
             Profile(L"gamma", L"<ServiceType>SERVICE_SVH_USER_DLL</ServiceType><ServiceMain>GammaMain</ServiceMain>"),
         L"ACK"},
        {L"CREATE_SERVICE,alpha," + Profile(L"alpha", L""), L"SERVICE_ALREADY_EXISTS"},
        {L"OPEN_SERVICE,ALPHA", L"ACK"},
        {L"CONFIG_SERVICE,beta,EMPTY,D:\\beta\\beta.exe,EMPTY,LocalService", L"ACK"},
        {L"CONFIG_SERVICE,beta,EMPTY,EMPTY,ghost,EMPTY", L"ERROR_INVALID_DEPENDENCY"},
        {L"QUERY_SERVICE_STATUS,alpha", L"QUERY_SERVICE_STATUS,SERVICE_STOPPED"},
        {L"QUERY_SERVICE_CONFIG,beta",
         L"QUERY_SERVICE_CONFIG,SERVICE_WIN32_SHARE_PROCESS,SERVICE_START_DEMAND,D:\\beta\\beta.exe,LocalService,alpha"},
        {L"QUERY_SERVICE_CONFIG,gamma",
         L"QUERY_SERVICE_CONFIG,SERVICE_SVH_USER_DLL,SERVICE_START_DEMAND,C:\\svc\\gamma.exe,LocalSystem,EMPTY"},
        {L"ENUM_DEP_SERVICES,alpha,SERVICE_INACTIVE", L"ENUM_DEP_SERVICES,1,beta:SERVICE_STOPPED,"},
        {L"ENABLEDISABLE_SERVICE,gamma,DISABLE", L"ACK"},
        {L"QUERY_SERVICE_APP_PROFILE,ghost", L""},
        {L"DELETE_SERVICE,ghost", L"SERVICE_NOT_FOUND"},
    };
    for (const Exchange& e : exchanges)
        EXPECT_EQ(Ask(e.request), e.reply) << WideToUtf8(e.request);

    const std::wstring services = Ask(L"ENUM_SERVICE_STATUS,SERVICE_WIN32");
    for (const wchar_t* name : kCreated)
        EXPECT_NE(services.find(std::wstring(name) + L":SERVICE_STOPPED"), std::wstring::npos) << WideToUtf8(services);
    const std::wstring power = Ask(L"QUERY_POWER_STATE");
    EXPECT_EQ(power.rfind(L"QUERY_POWER_STATE,", 0), 0u) << WideToUtf8(power);
    EXPECT_NE(power.find(L"POWERPROFILE_NORMAL POWERPROFILE_AAC_CONTROL"), std::wstring::npos) << WideToUtf8(power);

    const std::vector<std::wstring> before = Describe();
    EXPECT_NE(before[2].find(L"<GroupAccount>LocalService</GroupAccount>"), std::wstring::npos)
        << WideToUtf8(before[2]);

    client_.Close();
    ASSERT_EQ(service_.Stop(), 0u);
    ASSERT_EQ(service_.Start(), 0u);

    const std::vector<std::wstring> after = Describe();
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(after[i], before[i]) << i;

    for (const wchar_t* name : {L"beta", L"alpha", L"gamma"})
        EXPECT_EQ(Ask(std::wstring(L"DELETE_SERVICE,") + name), L"ACK") << WideToUtf8(name);
    EXPECT_EQ(Ask(L"ENUM_DEP_SERVICES,alpha,SERVICE_STATE_ALL"), L"SERVICE_NOT_FOUND");

    client_.Close();
    ASSERT_EQ(service_.Stop(), 0u);
    ASSERT_EQ(service_.Start(), 0u);
    for (const wchar_t* name : kCreated)
        EXPECT_EQ(Ask(std::wstring(L"OPEN_SERVICE,") + name), L"SERVICE_NOT_FOUND") << WideToUtf8(name);
}

} // namespace
} // namespace qvx
