#include <gtest/gtest.h>

#include <string>

#include "model/app_profile_writer.h"
#include "tests/commands/command_test_support.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

using test::CommandHost;

struct Exchange {
    const char* name;
    std::wstring request;
    std::wstring reply;
};

class QueryCommands : public CommandHost {
protected:
    void ExpectReplies(const std::vector<Exchange>& exchanges)
    {
        for (const Exchange& e : exchanges) {
            size_t wireBytes = 0;
            EXPECT_EQ(Ask(e.request, &wireBytes), e.reply) << e.name;
            EXPECT_EQ(wireBytes, (e.reply.size() + 1) * sizeof(wchar_t)) << e.name;
        }
    }

    void SetState(const std::wstring& name, ServiceState state)
    {
        ServiceRecord* record = Find(name);
        ASSERT_NE(record, nullptr);
        ASSERT_TRUE(record->SetServiceState(state)) << WideToUtf8(name);
    }
};

TEST_F(QueryCommands, ServiceStatus)
{
    Create(L"idle");
    Create(L"busy");
    SetState(L"busy", ServiceState::kRunning);
    Create(L"late");
    SetState(L"late", ServiceState::kPostShutdown);
    ExpectReplies({
        {"stopped", L"QUERY_SERVICE_STATUS,idle", L"QUERY_SERVICE_STATUS,SERVICE_STOPPED"},
        {"running, name in upper case", L"QUERY_SERVICE_STATUS,BUSY", L"QUERY_SERVICE_STATUS,SERVICE_RUNNING"},
        {"post shutdown", L"QUERY_SERVICE_STATUS,late", L"QUERY_SERVICE_STATUS,SERVICE_POST_SHUTDOWN"},
        {"trailing comma", L"QUERY_SERVICE_STATUS,idle,", L"QUERY_SERVICE_STATUS,SERVICE_STOPPED"},
        {"missing", L"QUERY_SERVICE_STATUS,ghost", L"SERVICE_NOT_FOUND"},
        {"two commas", L"QUERY_SERVICE_STATUS,,idle", L"ERROR_MSG_PROTOCOL"},
        {"no name", L"QUERY_SERVICE_STATUS", L"ERROR_MSG_PROTOCOL"},
        {"a field too many", L"QUERY_SERVICE_STATUS,idle,x", L"ERROR_MSG_PROTOCOL"},
    });
}

TEST_F(QueryCommands, ServiceConfig)
{
    Create(L"alpha");
    Create(L"beta");
    Create(L"two", L"<GroupAccount>LocalService</GroupAccount><DependOnService><ServiceName>alpha</ServiceName>"
                   L"<ServiceName>beta</ServiceName></DependOnService>");
    Create(L"dll", L"<ServiceType>SERVICE_SVH_USER_DLL</ServiceType><ServiceMain>Run</ServiceMain>"
                   L"<StartupProfile>SERVICE_START_DEMAND</StartupProfile>");
    ExpectReplies({
        {"no dependencies", L"QUERY_SERVICE_CONFIG,alpha",
         L"QUERY_SERVICE_CONFIG,SERVICE_WIN32_OWN_PROCESS,SERVICE_START_NORMAL,C:\\svc\\alpha.exe,LocalSystem,EMPTY"},
        {"two dependencies", L"QUERY_SERVICE_CONFIG,two",
         L"QUERY_SERVICE_CONFIG,SERVICE_WIN32_OWN_PROCESS,SERVICE_START_NORMAL,C:\\svc\\two.exe,LocalService,"
         L"alpha:beta"},
        {"DLL service", L"QUERY_SERVICE_CONFIG,dll",
         L"QUERY_SERVICE_CONFIG,SERVICE_SVH_USER_DLL,SERVICE_START_DEMAND,C:\\svc\\dll.exe,LocalSystem,EMPTY"},
        {"missing", L"QUERY_SERVICE_CONFIG,ghost", L"SERVICE_NOT_FOUND"},
        {"no name", L"QUERY_SERVICE_CONFIG", L"ERROR_MSG_PROTOCOL"},
    });
    // Empty path and account travel as empty fields.
    ASSERT_EQ(Ask(L"CONFIG_SERVICE,alpha,EMPTY,EMPTY,EMPTY,EMPTY"), L"ACK");
    Find(L"alpha")->SetBinaryPath(L"");
    Find(L"alpha")->SetGroupAccount(L"");
    ExpectReplies({{"empty fields", L"QUERY_SERVICE_CONFIG,alpha",
                    L"QUERY_SERVICE_CONFIG,SERVICE_WIN32_OWN_PROCESS,SERVICE_START_NORMAL,,,EMPTY"}});
}

TEST_F(QueryCommands, AppProfileOfAServiceAndOfNone)
{
    Create(L"base");
    Create(L"svc", L"<FailureRestart><ResetPeriod>600</ResetPeriod><RestartCount>3</RestartCount>"
                   L"<RestartDelay>5</RestartDelay></FailureRestart>"
                   L"<PowerProfile>POWERPROFILE_BATTERY</PowerProfile><PowerProfile>POWERPROFILE_METERED</PowerProfile>"
                   L"<DependOnService><ServiceName>base</ServiceName></DependOnService>"
                   L"<NumServiceArgs>2</NumServiceArgs><ServiceArgVectors>-a -b</ServiceArgVectors>"
                   L"<ShutdownTimeout>60</ShutdownTimeout><StartupTimeout>90</StartupTimeout>");
    ExpectReplies({
        {"service", L"QUERY_SERVICE_APP_PROFILE,SVC",
         L"QUERY_SERVICE_APP_PROFILE,<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         L"<Service>\n"
         L"    <Name>svc</Name>\n"
         L"    <StartupProfile>SERVICE_START_NORMAL</StartupProfile>\n"
         L"    <ServiceType>SERVICE_WIN32_OWN_PROCESS</ServiceType>\n"
         L"    <SVHServiceType>SERVICE_TYPE_SVH</SVHServiceType>\n"
         L"    <BinaryPath>C:\\svc\\svc.exe</BinaryPath>\n"
         L"    <FailureRestart>\n"
         L"        <ResetPeriod>600</ResetPeriod>\n"
         L"        <RestartCount>3</RestartCount>\n"
         L"        <RestartDelay>5</RestartDelay>\n"
         L"    </FailureRestart>\n"
         L"    <PowerProfile>POWERPROFILE_BATTERY</PowerProfile>\n"
         L"    <PowerProfile>POWERPROFILE_METERED</PowerProfile>\n"
         L"    <LaunchProtected>SERVICE_LAUNCH_PROTECTED_NONE</LaunchProtected>\n"
         L"    <DependOnService>\n"
         L"        <ServiceName>base</ServiceName>\n"
         L"    </DependOnService>\n"
         L"    <NumServiceArgs>2</NumServiceArgs>\n"
         L"    <ServiceArgVectors>-a -b</ServiceArgVectors>\n"
         L"    <GroupAccount>LocalSystem</GroupAccount>\n"
         L"    <ShutdownTimeout>60</ShutdownTimeout>\n"
         L"    <StartupTimeout>90</StartupTimeout>\n"
         L"</Service>\n"},
        {"missing service: the empty reply", L"QUERY_SERVICE_APP_PROFILE,ghost", L""},
        {"no name", L"QUERY_SERVICE_APP_PROFILE", L"ERROR_MSG_PROTOCOL"},
    });
}

TEST_F(QueryCommands, AppProfileSentBackChangesNothing)
{
    Create(L"base");
    Create(L"svc", L"<FailureRestart><ResetPeriod>600</ResetPeriod><RestartCount>3</RestartCount>"
                   L"<RestartDelay>5</RestartDelay></FailureRestart>"
                   L"<PowerProfile>POWERPROFILE_LOW_BATTERY</PowerProfile><PowerProfile>POWERPROFILE_NORMAL</PowerProfile>"
                   L"<DependOnService><ServiceName>base</ServiceName></DependOnService>"
                   L"<LaunchProtected>SERVICE_LAUNCH_PROTECTED_ANTIMALWARE_LIGHT</LaunchProtected>"
                   L"<NumServiceArgs>1</NumServiceArgs><ServiceArgVectors>-x</ServiceArgVectors>"
                   L"<GroupAccount>LocalService</GroupAccount><Version>4</Version>"
                   L"<ShutdownTimeout>60</ShutdownTimeout><StartupTimeout>90</StartupTimeout>");
    Create(L"dll", L"<ServiceType>SERVICE_SVH_USER_DLL</ServiceType><ServiceMain>Run</ServiceMain>");
    for (const wchar_t* name : {L"svc", L"dll"}) {
        const std::wstring prefix = L"QUERY_SERVICE_APP_PROFILE,";
        const std::wstring profile = Ask(prefix + name);
        ASSERT_EQ(profile.rfind(prefix, 0), 0u) << WideToUtf8(profile);
        const std::wstring config = Ask(std::wstring(L"QUERY_SERVICE_CONFIG,") + name);
        RegKey key = StoredKey(name);
        ASSERT_TRUE(key.IsValid());
        ServiceRecord stored;
        ASSERT_EQ(stored.SyncWithRegistry(key.Get(), true), 0u);

        EXPECT_EQ(Ask(L"CONFIG_SERVICE2," + profile.substr(prefix.size())), L"ACK") << WideToUtf8(name);
        EXPECT_EQ(Ask(prefix + name), profile);
        EXPECT_EQ(Ask(std::wstring(L"QUERY_SERVICE_CONFIG,") + name), config);
        ServiceRecord reread;
        ASSERT_EQ(reread.SyncWithRegistry(key.Get(), true), 0u);
        EXPECT_EQ(WriteAppProfile(reread), WriteAppProfile(stored)) << WideToUtf8(name);
    }
}

TEST_F(QueryCommands, PowerStateQueryAndSet)
{
    const std::wstring normal = L"POWERPROFILE_NORMAL POWERPROFILE_AAC_CONTROL";
    struct Case {
        const char* name;
        std::wstring request;
        std::wstring reply;
        uint32_t conditions;
        bool applied; // the services were told about a change
    };
    const Case cases[] = {
        {"query", L"QUERY_POWER_STATE", L"QUERY_POWER_STATE," + normal, 0, false},
        {"set battery", L"QUERY_POWER_STATE,1,POWERPROFILE_BATTERY POWERPROFILE_NORMAL",
         L"QUERY_POWER_STATE,POWERPROFILE_BATTERY POWERPROFILE_NORMAL POWERPROFILE_AAC_CONTROL", 0x1, true},
        {"set the same again", L"QUERY_POWER_STATE,1,POWERPROFILE_BATTERY",
         L"QUERY_POWER_STATE,POWERPROFILE_BATTERY POWERPROFILE_NORMAL POWERPROFILE_AAC_CONTROL", 0x1, false},
        {"query with a field", L"QUERY_POWER_STATE,POWERPROFILE_LOWMEMORY",
         L"QUERY_POWER_STATE,POWERPROFILE_BATTERY POWERPROFILE_NORMAL POWERPROFILE_AAC_CONTROL", 0x1, false},
        {"flag other than 1", L"QUERY_POWER_STATE,2,POWERPROFILE_LOWMEMORY",
         L"QUERY_POWER_STATE,POWERPROFILE_BATTERY POWERPROFILE_NORMAL POWERPROFILE_AAC_CONTROL", 0x1, false},
        {"set low memory and no network", L"query_power_state,1,POWERPROFILE_LOWMEMORY POWERPROFILE_NOTNETWORK",
         L"QUERY_POWER_STATE,POWERPROFILE_LOWMEMORY POWERPROFILE_NOTNETWORK POWERPROFILE_NORMAL "
         L"POWERPROFILE_AAC_CONTROL",
         0x6, true},
        {"set only the bits that are always reported", L"QUERY_POWER_STATE,1," + normal,
         L"QUERY_POWER_STATE," + normal, 0, true},
        {"split failure is a query", L"QUERY_POWER_STATE,,1", L"QUERY_POWER_STATE," + normal, 0, false},
    };
    for (const Case& c : cases) {
        test::TraceCapture traces;
        EXPECT_EQ(Ask(c.request), c.reply) << c.name;
        EXPECT_EQ(runtime_.conditions.word.load(), c.conditions) << c.name;
        EXPECT_EQ(traces.Contains(trace::kInfo, L"machine conditions set on request"), c.applied) << c.name;
    }
}

TEST_F(QueryCommands, DependentServicesByFilter)
{
    Create(L"base");
    Create(L"idle", L"<DependOnService><ServiceName>base</ServiceName></DependOnService>");
    Create(L"busy", L"<DependOnService><ServiceName>BASE</ServiceName></DependOnService>");
    SetState(L"busy", ServiceState::kRunning);
    Create(L"starting", L"<DependOnService><ServiceName>base</ServiceName></DependOnService>");
    SetState(L"starting", ServiceState::kStartPending);
    Create(L"other");
    ExpectReplies({
        {"all", L"ENUM_DEP_SERVICES,base,SERVICE_STATE_ALL",
         L"ENUM_DEP_SERVICES,3,idle:SERVICE_STOPPED,busy:SERVICE_RUNNING,starting:SERVICE_START_PENDING,"},
        {"inactive", L"ENUM_DEP_SERVICES,base,SERVICE_INACTIVE", L"ENUM_DEP_SERVICES,1,idle:SERVICE_STOPPED,"},
        {"active", L"ENUM_DEP_SERVICES,Base,service_active",
         L"ENUM_DEP_SERVICES,2,busy:SERVICE_RUNNING,starting:SERVICE_START_PENDING,"},
        {"filter not recognised", L"ENUM_DEP_SERVICES,base,SERVICE_SOME", L"ENUM_DEP_SERVICES,0,"},
        {"no dependents", L"ENUM_DEP_SERVICES,other,SERVICE_STATE_ALL", L"ENUM_DEP_SERVICES,0,"},
        {"missing", L"ENUM_DEP_SERVICES,ghost,SERVICE_STATE_ALL", L"SERVICE_NOT_FOUND"},
        {"no filter", L"ENUM_DEP_SERVICES,base", L"ERROR_MSG_PROTOCOL"},
    });
}

TEST_F(QueryCommands, ServicesByType)
{
    ExpectReplies({{"empty table", L"ENUM_SERVICE_STATUS,SERVICE_WIN32", L"ENUM_SERVICE_STATUS,0,"}});
    Create(L"own");
    Create(L"shared", L"<ServiceType>SERVICE_WIN32_SHARE_PROCESS</ServiceType>");
    Create(L"dll", L"<ServiceType>SERVICE_SVH_USER_DLL</ServiceType><ServiceMain>Run</ServiceMain>");
    SetState(L"shared", ServiceState::kRunning);
    ExpectReplies({
        {"every hosted service", L"ENUM_SERVICE_STATUS,SERVICE_WIN32",
         L"ENUM_SERVICE_STATUS,3,own:SERVICE_STOPPED,shared:SERVICE_RUNNING,dll:SERVICE_STOPPED"},
        {"shared process", L"ENUM_SERVICE_STATUS,service_win32_share_process",
         L"ENUM_SERVICE_STATUS,2,shared:SERVICE_RUNNING,dll:SERVICE_STOPPED"},
        // A DLL service carries both process bits.
        {"own process", L"ENUM_SERVICE_STATUS,SERVICE_WIN32_OWN_PROCESS",
         L"ENUM_SERVICE_STATUS,2,own:SERVICE_STOPPED,dll:SERVICE_STOPPED"},
        {"type not recognised", L"ENUM_SERVICE_STATUS,SERVICE_KERNEL_DRIVER", L"ENUM_SERVICE_STATUS,0,"},
        {"no type", L"ENUM_SERVICE_STATUS", L"ERROR_MSG_PROTOCOL"},
    });
}

} // namespace
} // namespace qvx
