#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/monitor_wait_set.h"
#include "model/service_table_store.h"
#include "model/text_list.h"
#include "platform/service_key.h"
#include "tests/commands/command_test_support.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

using test::CommandHost;
using test::Profile;

constexpr wchar_t kRestartPolicy[] =
    L"<FailureRestart><ResetPeriod>600</ResetPeriod><RestartCount>3</RestartCount>"
    L"<RestartDelay>5</RestartDelay></FailureRestart>";

// The four fields that CONFIG_SERVICE changes, as the record holds them.
struct FourFields {
    std::wstring startupProfile;
    std::wstring binaryPath;
    std::wstring dependencies;
    std::wstring account;
    bool operator==(const FourFields& other) const
    {
        return startupProfile == other.startupProfile && binaryPath == other.binaryPath &&
               dependencies == other.dependencies && account == other.account;
    }
};

std::ostream& operator<<(std::ostream& out, const FourFields& f)
{
    return out << WideToUtf8(f.startupProfile + L" | " + f.binaryPath + L" | " + f.dependencies + L" | " + f.account);
}

class ManagementCommands : public CommandHost {
protected:
    FourFields InMemory(const std::wstring& name)
    {
        const ServiceRecord* record = Find(name);
        if (!record)
            return {L"(no record)", {}, {}, {}};
        return {StartupProfileName(record->GetStartupProfile()), record->GetBinaryPath(),
                JoinList(record->GetDependOnService(), L":"), record->GetGroupAccount()};
    }
    FourFields Stored(const std::wstring& name)
    {
        return {StoredText(name, L"StartupProfile"), StoredText(name, L"BinaryPath"),
                StoredText(name, L"DependOnService"), StoredText(name, L"GroupAccount")};
    }
};

TEST_F(ManagementCommands, CreateStoresTheServiceAndReportsItsTenStrings)
{
    Create(L"base");
    events_.Clear();
    size_t wireBytes = 0;
    EXPECT_EQ(Ask(L"CREATE_SERVICE,Svc," +
                      Profile(L"SVC", std::wstring(kRestartPolicy) +
                                          L"<PowerProfile>POWERPROFILE_BATTERY</PowerProfile>"
                                          L"<PowerProfile>POWERPROFILE_NORMAL</PowerProfile>"
                                          L"<DependOnService><ServiceName>base</ServiceName></DependOnService>"
                                          L"<GroupAccount>LocalService</GroupAccount>"),
                  &wireBytes),
              L"ACK");
    EXPECT_EQ(wireBytes, 8u);

    ServiceRecord* record = Find(L"svc");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->GetName(), L"svc");
    EXPECT_EQ(table_.Count(SvhServiceType::kUnknown), 2u);
    EXPECT_EQ(StoredText(L"svc", L"Name"), L"svc");
    EXPECT_EQ(StoredText(L"svc", L"BinaryPath"), L"C:\\svc\\SVC.exe");
    EXPECT_EQ(StoredText(L"svc", L"DependOnService"), L"base");
    EXPECT_EQ(StoredText(L"svc", L"PowerProfile"), L"POWERPROFILE_BATTERY POWERPROFILE_NORMAL");
    EXPECT_EQ(StoredNumber(L"svc", L"RestartCount"), 3u);

    const auto events = events_.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, static_cast<DWORD>(kEventServiceCreated));
    const std::vector<std::wstring> expected = {
        L"svc", L"C:\\svc\\SVC.exe", L"SERVICE_TYPE_SVH", L"POWERPROFILE_BATTERY POWERPROFILE_NORMAL",
        L"base ", L"600", L"3", L"5", L"LocalService", L"SERVICE_START_NORMAL"};
    EXPECT_EQ(events[0].strings, expected);
}

TEST_F(ManagementCommands, RefusedCreationsLeaveNothingBehind)
{
    Create(L"base");
    events_.Clear();
    struct Case {
        const char* name;
        std::wstring request;
        const wchar_t* reply;
    };
    const Case cases[] = {
        {"name only", L"CREATE_SERVICE,one", reply::kMsgProtocol},
        {"a field too many", L"CREATE_SERVICE,one," + Profile(L"one") + L",x", reply::kMsgProtocol},
        {"empty name field", L"CREATE_SERVICE,," + Profile(L"one"), reply::kMsgProtocol},
        {"name in the table", L"CREATE_SERVICE,BASE," + Profile(L"base"), reply::kServiceAlreadyExists},
        {"profile names another service", L"CREATE_SERVICE,one," + Profile(L"two"), reply::kParsingAppProfile},
        {"profile without a name", L"CREATE_SERVICE,one,<Service><BinaryPath>x</BinaryPath></Service>",
         reply::kParsingAppProfile},
        {"not XML", L"CREATE_SERVICE,one,<Service", reply::kParsingAppProfile},
        {"startup profile in lower case", L"CREATE_SERVICE,one," +
                                              Profile(L"one", L"<StartupProfile>service_start_late</StartupProfile>"),
         reply::kParsingAppProfile},
        {"name that cannot name a key", L"CREATE_SERVICE,a\\b," + Profile(L"a\\b"), reply::kParsingAppProfile},
        {"depends on itself", L"CREATE_SERVICE,one," +
                                  Profile(L"one", L"<DependOnService><ServiceName>ONE</ServiceName></DependOnService>"),
         reply::kInvalidDependency},
        {"depends on the host", L"CREATE_SERVICE,one," +
                                    Profile(L"one", L"<DependOnService><ServiceName>qvxsvh</ServiceName></DependOnService>"),
         reply::kInvalidDependency},
        {"depends on a missing service",
         L"CREATE_SERVICE,one," + Profile(L"one", L"<DependOnService><ServiceName>ghost</ServiceName></DependOnService>"),
         reply::kInvalidDependency},
        {"depends on a later wave",
         L"CREATE_SERVICE,one," + Profile(L"one", L"<StartupProfile>SERVICE_START_EARLY</StartupProfile>"
                                                  L"<DependOnService><ServiceName>base</ServiceName></DependOnService>"),
         reply::kInvalidDependency},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Ask(c.request), c.reply) << c.name;

    EXPECT_EQ(table_.Count(SvhServiceType::kUnknown), 1u);
    EXPECT_EQ(key_.SubkeyNames(L"Services"), std::vector<std::wstring>{L"base"});
    EXPECT_TRUE(events_.Events().empty());
}

TEST_F(ManagementCommands, NewDllServiceWaitsForAStartOnRequest)
{
    Create(L"dll", L"<ServiceType>SERVICE_SVH_USER_DLL</ServiceType><ServiceMain>DllMain2</ServiceMain>");
    ServiceRecord* record = Find(L"dll");
    ASSERT_NE(record, nullptr);
    EXPECT_TRUE(record->GetUserStopped());
    EXPECT_EQ(StoredNumber(L"dll", L"UserStopped"), 1u);
    EXPECT_EQ(StoredText(L"dll", L"ServiceType"), L"SERVICE_SVH_USER_DLL");

    Create(L"exe");
    EXPECT_FALSE(Find(L"exe")->GetUserStopped());
}

TEST_F(ManagementCommands, CreationThatCannotBeStoredIsUndone)
{
    // Below a volatile "Services" key no lasting service key can be made.
    RegKey volatileServices;
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, (key_.Path() + L"\\Services").c_str(), KEY_ALL_ACCESS, volatileServices,
                        REG_OPTION_VOLATILE),
              0u);
    test::TraceCapture traces;
    EXPECT_EQ(Ask(L"CREATE_SERVICE,one," + Profile(L"one")), reply::kConfigFailed);
    EXPECT_EQ(Find(L"one"), nullptr);
    EXPECT_TRUE(key_.SubkeyNames(L"Services").empty());
    EXPECT_TRUE(events_.Events().empty());
    EXPECT_TRUE(traces.Contains(trace::kError, L"one")) << traces.Dump();
}

TEST_F(ManagementCommands, OpenTestsExistenceOnly)
{
    Create(L"base");
    struct Case {
        const wchar_t* request;
        const wchar_t* reply;
    };
    const Case cases[] = {
        {L"OPEN_SERVICE,base", reply::kAck},
        {L"open_service,BASE", reply::kAck},
        {L"OPEN_SERVICE,base,", reply::kAck},
        {L"OPEN_SERVICE,ghost", reply::kServiceNotFound},
        {L"OPEN_SERVICE", reply::kMsgProtocol},
        {L"OPEN_SERVICE,,base", reply::kMsgProtocol},
        {L"OPEN_SERVICE,base,x", reply::kMsgProtocol},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Ask(c.request), c.reply) << WideToUtf8(c.request);
}

TEST_F(ManagementCommands, DeleteRemovesRecordKeyAndWatchedHandles)
{
    Create(L"base");
    Create(L"gone");
    ServiceRecord* record = Find(L"gone");
    ASSERT_NE(record, nullptr);
    MonitorWaitSet& waitSet = runtime_.waitSet;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE startup = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    HANDLE shutdown = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    {
        RecordLock guard(*record);
        record->SetServiceMutex(mutex);
        record->SetTimer(ServiceTimer::kStartup, startup);
        record->SetTimer(ServiceTimer::kShutdown, shutdown);
    }
    waitSet.AddMutex(mutex);
    waitSet.AddTimer(startup);
    waitSet.AddTimer(shutdown);
    events_.Clear();

    EXPECT_EQ(Ask(L"DELETE_SERVICE,GONE"), L"ACK");
    EXPECT_EQ(Find(L"gone"), nullptr);
    EXPECT_EQ(key_.SubkeyNames(L"Services"), std::vector<std::wstring>{L"base"});
    EXPECT_FALSE(waitSet.HasMutex(mutex));
    EXPECT_FALSE(waitSet.HasTimer(startup));
    EXPECT_FALSE(waitSet.HasTimer(shutdown));
    const auto events = events_.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, static_cast<DWORD>(kEventServiceDeleted));
    EXPECT_EQ(events[0].strings, std::vector<std::wstring>{L"gone"});
}

TEST_F(ManagementCommands, AServiceNotFoundIsTraced)
{
    struct Case {
        std::wstring request;
        const wchar_t* name;
    };
    const Case cases[] = {
        {L"DELETE_SERVICE,ghost-delete", L"ghost-delete"},
        {L"CONFIG_SERVICE,ghost-config,EMPTY,EMPTY,EMPTY,EMPTY", L"ghost-config"},
        {L"CONFIG_SERVICE2," + Profile(L"ghost-profile"), L"ghost-profile"},
        {L"ENABLEDISABLE_SERVICE,ghost-enable,ENABLE", L"ghost-enable"},
        {L"QUERY_SERVICE_STATUS,ghost-status", L"ghost-status"},
        {L"QUERY_SERVICE_CONFIG,ghost-query", L"ghost-query"},
        {L"ENUM_DEP_SERVICES,ghost-dependents,SERVICE_STATE_ALL", L"ghost-dependents"},
    };
    for (const Case& c : cases) {
        test::TraceCapture traces;
        EXPECT_EQ(Ask(c.request), reply::kServiceNotFound) << WideToUtf8(c.name);
        EXPECT_TRUE(traces.Contains(trace::kError, c.name)) << WideToUtf8(c.name) << "\n" << traces.Dump();
    }
}

TEST_F(ManagementCommands, RefusedDeletionsKeepTheService)
{
    Create(L"busy");
    ServiceRecord* record = Find(L"busy");
    ASSERT_TRUE(record->SetServiceState(ServiceState::kRunning));
    // A crash restart is stood down even though the deletion is refused.
    record->SetCrashed(true);
    {
        RecordLock guard(*record);
        record->SetTimer(ServiceTimer::kRestartDelay, CreateWaitableTimerW(nullptr, TRUE, nullptr));
    }
    events_.Clear();
    struct Case {
        const wchar_t* request;
        const wchar_t* reply;
    };
    const Case cases[] = {
        {L"DELETE_SERVICE,busy", reply::kServiceAlreadyRunning},
        {L"DELETE_SERVICE,ghost", reply::kServiceNotFound},
        {L"DELETE_SERVICE", reply::kMsgProtocol},
        {L"DELETE_SERVICE,busy,now", reply::kMsgProtocol},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Ask(c.request), c.reply) << WideToUtf8(c.request);
    EXPECT_EQ(Find(L"busy"), record);
    EXPECT_EQ(record->GetTimer(ServiceTimer::kRestartDelay), nullptr);
    EXPECT_EQ(key_.SubkeyNames(L"Services"), std::vector<std::wstring>{L"busy"});
    EXPECT_TRUE(events_.Events().empty());

    // Any state but running may be deleted.
    ASSERT_TRUE(record->SetServiceState(ServiceState::kStopPending));
    EXPECT_EQ(Ask(L"DELETE_SERVICE,busy"), L"ACK");
    EXPECT_TRUE(key_.SubkeyNames(L"Services").empty());
}

TEST_F(ManagementCommands, ConfigServiceChangesAllOrNothing)
{
    Create(L"base");
    Create(L"late", L"<StartupProfile>SERVICE_START_LATE</StartupProfile>");
    Create(L"svc", L"<DependOnService><ServiceName>base</ServiceName></DependOnService>");
    const FourFields initial = {L"SERVICE_START_NORMAL", L"C:\\svc\\svc.exe", L"base", L"LocalSystem"};
    ASSERT_EQ(InMemory(L"svc"), initial);

    struct Case {
        const char* name;
        const wchar_t* fields; // after "CONFIG_SERVICE,"
        const wchar_t* reply;
        FourFields after;
    };
    const Case cases[] = {
        {"nothing given", L"svc,EMPTY,EMPTY,EMPTY,EMPTY", reply::kAck, initial},
        {"every field", L"SVC,SERVICE_START_LATE,D:\\new.exe,late,LocalService", reply::kAck,
         {L"SERVICE_START_LATE", L"D:\\new.exe", L"late", L"LocalService"}},
        {"slash clears the dependencies", L"svc,EMPTY,EMPTY,/,EMPTY", reply::kAck,
         {L"SERVICE_START_NORMAL", L"C:\\svc\\svc.exe", L"", L"LocalSystem"}},
        {"two dependencies", L"svc,SERVICE_START_LATE,EMPTY,base:late,EMPTY", reply::kAck,
         {L"SERVICE_START_LATE", L"C:\\svc\\svc.exe", L"base:late", L"LocalSystem"}},
        {"startup name in any letter case", L"svc,service_start_demand,EMPTY,EMPTY,EMPTY", reply::kAck,
         {L"SERVICE_START_DEMAND", L"C:\\svc\\svc.exe", L"base", L"LocalSystem"}},
        {"bad startup name", L"svc,SERVICE_START_SOON,D:\\x.exe,EMPTY,EMPTY", reply::kInvalidStartupValue, initial},
        {"lower-case empty is a value", L"svc,empty,EMPTY,EMPTY,EMPTY", reply::kInvalidStartupValue, initial},
        {"bad startup name and bad account", L"svc,SERVICE_START_SOON,EMPTY,EMPTY,Administrator",
         reply::kInvalidAccount, initial},
        {"account in lower case", L"svc,EMPTY,EMPTY,EMPTY,localsystem", reply::kInvalidAccount, initial},
        {"bad account then unsplittable dependencies", L"svc,EMPTY,EMPTY,a::b,nobody", reply::kMsgProtocol, initial},
        {"one-character dependency", L"svc,EMPTY,EMPTY,x,EMPTY", reply::kMsgProtocol, initial},
        {"missing dependency", L"svc,EMPTY,EMPTY,ghost,EMPTY", reply::kInvalidDependency, initial},
        {"depends on itself", L"svc,EMPTY,EMPTY,svc,EMPTY", reply::kInvalidDependency, initial},
        {"depends on the host", L"svc,EMPTY,EMPTY,QVXSVH,EMPTY", reply::kInvalidDependency, initial},
        {"earlier wave than its dependency", L"svc,SERVICE_START_EARLY,EMPTY,EMPTY,EMPTY",
         reply::kInvalidDependency, initial},
        {"missing service", L"ghost,EMPTY,EMPTY,EMPTY,EMPTY", reply::kServiceNotFound, initial},
        {"a field short", L"svc,EMPTY,EMPTY,EMPTY", reply::kMsgProtocol, initial},
        {"a field too many", L"svc,EMPTY,EMPTY,EMPTY,EMPTY,EMPTY", reply::kMsgProtocol, initial},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Ask(L"CONFIG_SERVICE,svc,SERVICE_START_NORMAL,C:\\svc\\svc.exe,base,LocalSystem"), L"ACK");
        EXPECT_EQ(Ask(std::wstring(L"CONFIG_SERVICE,") + c.fields), c.reply) << c.name;
        EXPECT_EQ(InMemory(L"svc"), c.after) << c.name;
        EXPECT_EQ(Stored(L"svc"), c.after) << c.name;
    }
}

TEST_F(ManagementCommands, ConfigServiceWantsAStoppedService)
{
    Create(L"svc");
    ServiceRecord* record = Find(L"svc");
    const ServiceState states[] = {ServiceState::kStartPending, ServiceState::kRunning, ServiceState::kStopPending};
    for (ServiceState state : states) {
        ASSERT_TRUE(record->SetServiceState(state));
        EXPECT_EQ(Ask(L"CONFIG_SERVICE,svc,EMPTY,D:\\x.exe,EMPTY,EMPTY"), reply::kServiceAlreadyRunning)
            << static_cast<DWORD>(state);
    }
    EXPECT_EQ(record->GetBinaryPath(), L"C:\\svc\\svc.exe");
}

TEST_F(ManagementCommands, ConfigurationThatCannotBeStoredIsUndone)
{
    // A record the registry cannot hold: "Services" is volatile.
    RegKey volatileServices;
    ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, (key_.Path() + L"\\Services").c_str(), KEY_ALL_ACCESS, volatileServices,
                        REG_OPTION_VOLATILE),
              0u);
    auto record = std::make_unique<ServiceRecord>();
    ASSERT_EQ(record->ParseAppProfile(Profile(L"svc", L"<Version>3</Version>")), 0u);
    ASSERT_TRUE(table_.Add(record));
    const FourFields initial = InMemory(L"svc");
    // The handler traces the failed change and, apart from it, the failed
    // save of the old configuration.
    auto handlerErrors = [](const test::TraceCapture& traces) {
        size_t count = 0;
        for (const trace::Record& record : traces.Records()) {
            if (record.level == trace::kError && std::string(record.file) == "management_commands.cpp" &&
                record.text.find(L"svc") != std::wstring::npos)
                ++count;
        }
        return count;
    };

    test::TraceCapture traces;
    EXPECT_EQ(Ask(L"CONFIG_SERVICE,svc,SERVICE_START_LATE,D:\\new.exe,EMPTY,LocalService"), reply::kConfigFailed);
    EXPECT_EQ(InMemory(L"svc"), initial);
    EXPECT_EQ(handlerErrors(traces), 2u) << traces.Dump();
    traces.Clear();
    EXPECT_EQ(Ask(L"CONFIG_SERVICE2," + Profile(L"svc", L"<Version>4</Version><ShutdownTimeout>90</ShutdownTimeout>")),
              reply::kConfigFailed);
    EXPECT_EQ(InMemory(L"svc"), initial);
    EXPECT_EQ(handlerErrors(traces), 2u) << traces.Dump();
    EXPECT_EQ(Find(L"svc")->GetVersion(), 3u);
    EXPECT_EQ(Find(L"svc")->GetShutdownTimeout(), 30u);
}

TEST_F(ManagementCommands, ConfigService2AppliesOnlyANewerOrEqualVersion)
{
    Create(L"base");
    Create(L"svc", L"<Version>5</Version><LaunchProtected>SERVICE_LAUNCH_PROTECTED_ANTIMALWARE_LIGHT</LaunchProtected>");
    const std::wstring changes = L"<BinaryPath>D:\\v.exe</BinaryPath><ShutdownTimeout>120</ShutdownTimeout>"
                                 L"<DependOnService><ServiceName>base</ServiceName></DependOnService>";
    struct Case {
        const char* name;
        std::wstring extra;
        const wchar_t* path;
        DWORD version;
        LaunchProtection protection;
    };
    const Case cases[] = {
        {"older version", changes + L"<Version>4</Version>", L"C:\\svc\\svc.exe", 5, LaunchProtection::kAntimalwareLight},
        {"same version, no protection element", changes + L"<Version>5</Version>", L"D:\\v.exe", 5,
         LaunchProtection::kAntimalwareLight},
        {"newer version with protection none",
         changes + L"<Version>6</Version><LaunchProtected>SERVICE_LAUNCH_PROTECTED_NONE</LaunchProtected>",
         L"D:\\v.exe", 6, LaunchProtection::kNone},
        {"version that reads as negative", changes + L"<Version>-1</Version>", L"C:\\svc\\svc.exe", 5,
         LaunchProtection::kAntimalwareLight},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Ask(L"DELETE_SERVICE,svc"), L"ACK");
        Create(L"svc",
               L"<Version>5</Version><LaunchProtected>SERVICE_LAUNCH_PROTECTED_ANTIMALWARE_LIGHT</LaunchProtected>");
        EXPECT_EQ(Ask(L"CONFIG_SERVICE2," + Profile(L"svc", c.extra)), L"ACK") << c.name;
        const ServiceRecord* record = Find(L"svc");
        EXPECT_EQ(record->GetBinaryPath(), c.path) << c.name;
        EXPECT_EQ(StoredText(L"svc", L"BinaryPath"), c.path) << c.name;
        EXPECT_EQ(record->GetVersion(), c.version) << c.name;
        EXPECT_EQ(StoredNumber(L"svc", L"Version"), c.version) << c.name;
        EXPECT_EQ(record->GetLaunchProtected(), c.protection) << c.name;
        EXPECT_EQ(StoredNumber(L"svc", L"LaunchProtected"), static_cast<DWORD>(c.protection)) << c.name;
        const bool applied = std::wstring(c.path) == L"D:\\v.exe";
        EXPECT_EQ(record->GetShutdownTimeout(), applied ? 120u : 30u) << c.name;
        EXPECT_EQ(JoinList(record->GetDependOnService(), L":"), applied ? L"base" : L"") << c.name;
    }
}

TEST_F(ManagementCommands, ConfigService2Refusals)
{
    Create(L"svc");
    Create(L"starting");
    ASSERT_TRUE(Find(L"starting")->SetServiceState(ServiceState::kStartPending));
    Create(L"running");
    ServiceRecord* running = Find(L"running");
    ASSERT_TRUE(running->SetServiceState(ServiceState::kRunning));
    running->SetCrashed(true);
    {
        RecordLock guard(*running);
        running->SetTimer(ServiceTimer::kRestartDelay, CreateWaitableTimerW(nullptr, TRUE, nullptr));
    }
    const std::wstring newPath = L"<BinaryPath>D:\\v.exe</BinaryPath>";
    struct Case {
        const char* name;
        std::wstring request;
        const wchar_t* reply;
    };
    const Case cases[] = {
        {"no profile", L"CONFIG_SERVICE2", reply::kMsgProtocol},
        {"a field too many", L"CONFIG_SERVICE2," + Profile(L"svc") + L",x", reply::kMsgProtocol},
        {"not XML", L"CONFIG_SERVICE2,<Service><Name>svc", reply::kParsingAppProfile},
        {"bad account", L"CONFIG_SERVICE2," + Profile(L"svc", L"<GroupAccount>Guest</GroupAccount>"),
         reply::kParsingAppProfile},
        {"depends on itself",
         L"CONFIG_SERVICE2," + Profile(L"svc", L"<DependOnService><ServiceName>svc</ServiceName></DependOnService>"),
         reply::kInvalidDependency},
        {"depends on a missing service",
         L"CONFIG_SERVICE2," + Profile(L"svc", L"<DependOnService><ServiceName>ghost</ServiceName></DependOnService>"),
         reply::kInvalidDependency},
        {"no such service", L"CONFIG_SERVICE2," + Profile(L"ghost"), reply::kServiceNotFound},
        {"starting service", L"CONFIG_SERVICE2," + Profile(L"starting", newPath), reply::kCannotAcceptCtrl},
        {"running service", L"CONFIG_SERVICE2," + Profile(L"running", newPath), reply::kServiceAlreadyRunning},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Ask(c.request), c.reply) << c.name;
    for (const wchar_t* name : {L"svc", L"starting", L"running"})
        EXPECT_EQ(StoredText(name, L"BinaryPath"), std::wstring(L"C:\\svc\\") + name + L".exe");
    EXPECT_EQ(running->GetTimer(ServiceTimer::kRestartDelay), nullptr);
}

TEST_F(ManagementCommands, ConfigService2LeavesTheTrustServiceToALegacyHost)
{
    Create(L"qvxtrust");
    const std::wstring profile = L"CONFIG_SERVICE2," + Profile(L"qvxtrust", L"<BinaryPath>D:\\v.exe</BinaryPath>");
    runtime_.legacyHostPresent.store(true);
    EXPECT_EQ(Ask(profile), L"ACK");
    EXPECT_EQ(Find(L"qvxtrust")->GetBinaryPath(), L"C:\\svc\\qvxtrust.exe");
    runtime_.legacyHostPresent.store(false);
    EXPECT_EQ(Ask(profile), L"ACK");
    EXPECT_EQ(Find(L"qvxtrust")->GetBinaryPath(), L"D:\\v.exe");
}

TEST_F(ManagementCommands, EnableDisableTakesTheWholeWordAndIsNotStored)
{
    Create(L"svc");
    ServiceRecord* record = Find(L"svc");
    struct Case {
        const wchar_t* request;
        const wchar_t* reply;
        bool disabled;
    };
    const Case cases[] = {
        {L"ENABLEDISABLE_SERVICE,svc,DISABLE", reply::kAck, true},
        {L"ENABLEDISABLE_SERVICE,svc,enable", reply::kAck, false},
        {L"ENABLEDISABLE_SERVICE,SVC,Disable", reply::kAck, true},
        {L"ENABLEDISABLE_SERVICE,svc,ENABLED", reply::kMsgProtocol, true},
        {L"ENABLEDISABLE_SERVICE,svc,ENABLE,x", reply::kMsgProtocol, true},
        {L"ENABLEDISABLE_SERVICE,svc", reply::kMsgProtocol, true},
        {L"ENABLEDISABLE_SERVICE,ghost,ENABLE", reply::kServiceNotFound, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Ask(c.request), c.reply) << WideToUtf8(c.request);
        EXPECT_EQ(record->GetDisabled(), c.disabled) << WideToUtf8(c.request);
    }
    EXPECT_EQ(StoredNumber(L"svc", L"Disabled"), 0xFFFFFFFFu);
}

TEST_F(ManagementCommands, WithoutAPublishedTableTheCommandsAreNotServed)
{
    runtime_.PublishTable(nullptr);
    size_t wireBytes = 0;
    for (const wchar_t* request : {L"CREATE_SERVICE,a,<Service/>", L"DELETE_SERVICE,a", L"QUERY_SERVICE_STATUS,a"}) {
        EXPECT_EQ(Ask(request, &wireBytes), L"") << WideToUtf8(request);
        EXPECT_EQ(wireBytes, 2u);
    }
    runtime_.PublishTable(&table_);
}

} // namespace
} // namespace qvx
