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

} // namespace
} // namespace qvx
