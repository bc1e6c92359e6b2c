#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/service_table_store.h"
#include "tests/commands/command_test_support.h"

namespace qvx {
namespace {

using test::CommandHost;
using test::Profile;

// What a client sees of one service.
struct Seen {
    std::wstring status;
    std::wstring config;
    std::wstring profile;
    bool operator==(const Seen& other) const
    {
        return status == other.status && config == other.config && profile == other.profile;
    }
};

std::ostream& operator<<(std::ostream& out, const Seen& seen)
{
    return out << WideToUtf8(seen.status + L"\n" + seen.config + L"\n" + seen.profile);
}

class StoredServices : public CommandHost {
protected:
    Seen Look(const std::wstring& name)
    {
        return {Ask(L"QUERY_SERVICE_STATUS," + name), Ask(L"QUERY_SERVICE_CONFIG," + name),
                Ask(L"QUERY_SERVICE_APP_PROFILE," + name)};
    }

    // The host's next start: the table as the registry gives it back.
    void Restart()
    {
        EXPECT_EQ(LoadServiceTable(table_, false), 0u) << "every stored service loads";
        const std::vector<std::wstring> keys = key_.SubkeyNames(L"Services");
        EXPECT_EQ(table_.Count(SvhServiceType::kUnknown), keys.size())
            << "no key is left without its service: " << testing::PrintToString(keys);
    }
};

const std::wstring kSummer = L"uc_\u00e9t\u00e9";       // lower-case accented letters
const std::wstring kSummerUpper = L"uc_\u00c9t\u00c9";  // the same letters in upper case
const std::wstring kSummerShout = L"UC_\u00c9T\u00c9";

TEST_F(StoredServices, NamesOfOneRegistryKeyAreOneService)
{
    Create(kSummer, L"<StartupProfile>SERVICE_START_EARLY</StartupProfile>");
    EXPECT_EQ(Ask(L"CREATE_SERVICE," + kSummerUpper + L"," + Profile(kSummerUpper)), reply::kServiceAlreadyExists);
    EXPECT_EQ(StoredText(kSummer, L"BinaryPath"), L"C:\\svc\\" + kSummer + L".exe") << "the first keeps its values";
    EXPECT_EQ(StoredText(kSummer, L"Name"), kSummer);
    EXPECT_EQ(table_.Count(SvhServiceType::kUnknown), 1u);

    // Every command that names the service finds it under any letter case.
    Create(L"uc_winter", L"<DependOnService><ServiceName>" + kSummerShout + L"</ServiceName></DependOnService>");
    struct Exchange {
        std::wstring request;
        std::wstring reply;
    };
    const Exchange exchanges[] = {
        {L"OPEN_SERVICE," + kSummerShout, L"ACK"},
        {L"QUERY_SERVICE_STATUS," + kSummerShout, L"QUERY_SERVICE_STATUS,SERVICE_STOPPED"},
        {L"ENUM_DEP_SERVICES," + kSummerUpper + L",SERVICE_STATE_ALL",
         L"ENUM_DEP_SERVICES,1,uc_winter:SERVICE_STOPPED,"},
        {L"CONFIG_SERVICE," + kSummerShout + L",EMPTY,D:\\summer.exe,EMPTY,EMPTY", L"ACK"},
        {L"CONFIG_SERVICE2," + Profile(kSummerUpper, L"<StartupProfile>SERVICE_START_EARLY</StartupProfile>"
                                                     L"<Version>2</Version>"),
         L"ACK"},
    };
    for (const Exchange& e : exchanges)
        EXPECT_EQ(Ask(e.request), e.reply) << WideToUtf8(e.request);
    ASSERT_NE(Find(kSummer), nullptr);
    EXPECT_EQ(Find(kSummer)->GetVersion(), 2u);
    EXPECT_EQ(StoredNumber(kSummer, L"Version"), 2u);

    EXPECT_EQ(Ask(L"DELETE_SERVICE,uc_winter"), L"ACK");
    EXPECT_EQ(Ask(L"DELETE_SERVICE," + kSummerShout), L"ACK");
    EXPECT_EQ(table_.Count(SvhServiceType::kUnknown), 0u);
    EXPECT_TRUE(key_.SubkeyNames(L"Services").empty());
}

TEST_F(StoredServices, WhatIsAcknowledgedLoadsBackUnchanged)
{
    const std::wstring longPath = L"C:\\" + std::wstring(1500, L'p') + L".exe";
    const std::wstring longArgs = std::wstring(1100, L'a');
    const std::wstring longEntry = std::wstring(1200, L'E');
    const std::wstring longName = std::wstring(250, L'd');
    const std::wstring dll = L"<ServiceType>SERVICE_SVH_USER_DLL</ServiceType>";
    auto withoutPath = [](const std::wstring& name) {
        return L"<Service><Name>" + name + L"</Name><StartupProfile>SERVICE_START_NORMAL</StartupProfile>"
               L"<ServiceType>SERVICE_WIN32_OWN_PROCESS</ServiceType></Service>";
    };
    // Dependencies that together are longer than a short text read.
    std::vector<std::wstring> dependencies;
    std::wstring dependencyList;
    for (wchar_t letter : {L'1', L'2', L'3', L'4', L'5'}) {
        dependencies.push_back(longName + letter);
        Create(dependencies.back());
        dependencyList += (dependencyList.empty() ? L"" : L":") + dependencies.back();
    }
    Create(L"rt_base");
    Create(L" rt_blank"); // a blank is a character of a name like any other

    struct Case {
        const char* name;
        const wchar_t* service;
        std::wstring request;
        const wchar_t* reply;
    };
    const Case cases[] = {
        {"profile without a binary path", L"rt_nopath", L"CREATE_SERVICE,rt_nopath," + withoutPath(L"rt_nopath"),
         reply::kParsingAppProfile},
        {"empty binary path", L"rt_empty",
         L"CREATE_SERVICE,rt_empty," + Profile(L"rt_empty", L"<BinaryPath></BinaryPath>"), reply::kParsingAppProfile},
        {"long binary path", L"rt_longpath",
         L"CREATE_SERVICE,rt_longpath," + Profile(L"rt_longpath", L"<BinaryPath>" + longPath + L"</BinaryPath>"),
         reply::kAck},
        {"long start arguments", L"rt_args",
         L"CREATE_SERVICE,rt_args," + Profile(L"rt_args", L"<ServiceArgVectors>" + longArgs + L"</ServiceArgVectors>"),
         reply::kAck},
        {"long entry point", L"rt_dll",
         L"CREATE_SERVICE,rt_dll," + Profile(L"rt_dll", dll + L"<ServiceMain>" + longEntry + L"</ServiceMain>"),
         reply::kAck},
        {"entry point of a process service", L"rt_exe",
         L"CREATE_SERVICE,rt_exe," + Profile(L"rt_exe", L"<ServiceMain>Run</ServiceMain>"), reply::kParsingAppProfile},
        {"name with non-ascii letters", L"rt_\u00e9t\u00e9",
         L"CREATE_SERVICE,RT_\u00c9T\u00c9," + Profile(L"rt_\u00c9t\u00e9"), reply::kAck},
        {"configured long binary path", L"rt_base",
         L"CONFIG_SERVICE,rt_base,EMPTY," + longPath + L",EMPTY,EMPTY", reply::kAck},
        {"profile change without a binary path", L"rt_base", L"CONFIG_SERVICE2," + withoutPath(L"rt_base"),
         reply::kParsingAppProfile},
        {"profile change giving a process service an entry point", L"rt_base",
         L"CONFIG_SERVICE2," + Profile(L"rt_base", L"<ServiceMain>Run</ServiceMain>"), reply::kParsingAppProfile},
        {"profile change to a long path", L"rt_base",
         L"CONFIG_SERVICE2," + Profile(L"rt_base", L"<BinaryPath>" + longPath + L"x</BinaryPath>"), reply::kAck},
        {"dependency list beginning with a blank", L"rt_base", L"CONFIG_SERVICE,rt_base,EMPTY,EMPTY, rt_blank,EMPTY",
         reply::kInvalidDependency},
        {"configured long dependency list", L"rt_base",
         L"CONFIG_SERVICE,rt_base,EMPTY,EMPTY," + dependencyList + L",EMPTY", reply::kAck},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Ask(c.request), c.reply);
        const Seen before = Look(c.service);
        Restart();
        EXPECT_EQ(Look(c.service), before);
    }
    ASSERT_NE(Find(L"rt_base"), nullptr);
    ASSERT_NE(Find(L"rt_dll"), nullptr);
    EXPECT_EQ(Find(L"rt_base")->GetBinaryPath(), longPath + L"x");
    EXPECT_EQ(Find(L"rt_base")->GetDependOnService(), dependencies);
    EXPECT_EQ(Find(L"rt_dll")->GetServiceMain().value_or(""), WideToUtf8(longEntry));
    for (const wchar_t* refused : {L"rt_nopath", L"rt_empty", L"rt_exe"})
        EXPECT_EQ(Find(refused), nullptr) << WideToUtf8(refused);
}

} // namespace
} // namespace qvx
