#include "host/network_state.h"

#include <gtest/gtest.h>

#include "runtime/host_runtime.h"
#include "tests/monitor/monitor_doubles.h"

namespace qvx {
namespace {

constexpr ULONG kEthernet = IF_TYPE_ETHERNET_CSMACD;
constexpr ULONG kWireless = IF_TYPE_IEEE80211;
constexpr ULONG kLoopback = IF_TYPE_SOFTWARE_LOOPBACK;
constexpr ULONG kTunnel = IF_TYPE_TUNNEL;

struct NetworkCase {
    const char* name;
    std::vector<test::FakeAdapter> adapters;
    ULONG sizeAnswer;
    ULONG fetchAnswer;
    bool available;
};

TEST(NetworkState, AvailabilityFollowsTheAdapterList)
{
    const NetworkCase cases[] = {
        {"ethernet up", {{kEthernet, IfOperStatusUp}}, ERROR_BUFFER_OVERFLOW, 0, true},
        {"ethernet down", {{kEthernet, IfOperStatusDown}}, ERROR_BUFFER_OVERFLOW, 0, false},
        {"testing", {{kEthernet, IfOperStatusTesting}}, ERROR_BUFFER_OVERFLOW, 0, true},
        {"dormant", {{kWireless, IfOperStatusDormant}}, ERROR_BUFFER_OVERFLOW, 0, true},
        {"lower layer down", {{kEthernet, IfOperStatusLowerLayerDown}}, ERROR_BUFFER_OVERFLOW, 0, true},
        {"unknown status", {{kEthernet, IfOperStatusUnknown}}, ERROR_BUFFER_OVERFLOW, 0, false},
        {"not present", {{kEthernet, IfOperStatusNotPresent}}, ERROR_BUFFER_OVERFLOW, 0, false},
        {"loopback up only", {{kLoopback, IfOperStatusUp}}, ERROR_BUFFER_OVERFLOW, 0, false},
        {"tunnel up only", {{kTunnel, IfOperStatusUp}}, ERROR_BUFFER_OVERFLOW, 0, false},
        {"up adapter behind ignored ones",
         {{kLoopback, IfOperStatusUp}, {kTunnel, IfOperStatusUp}, {kEthernet, IfOperStatusDown},
          {kWireless, IfOperStatusUp}},
         ERROR_BUFFER_OVERFLOW, 0, true},
        {"size query fails", {{kEthernet, IfOperStatusDown}}, ERROR_NO_DATA, 0, true},
        {"fetch fails", {{kEthernet, IfOperStatusDown}}, ERROR_BUFFER_OVERFLOW, ERROR_INVALID_PARAMETER, true},
    };
    HostRuntime runtime;
    test::EngineDouble engine;
    for (const NetworkCase& c : cases) {
        test::FakeIpHelper ipHelper;
        ipHelper.adapters = c.adapters;
        ipHelper.sizeAnswer = c.sizeAnswer;
        ipHelper.fetchAnswer = c.fetchAnswer;
        IpInterfaceWatch watch;
        watch.Start(runtime);
        EXPECT_EQ(IsNetworkAvailable(), c.available) << c.name;
        EXPECT_EQ(ipHelper.familySeen, static_cast<ULONG>(AF_UNSPEC)) << c.name;
        EXPECT_EQ(ipHelper.flagsSeen, 0x26u) << c.name;
    }
}

TEST(NetworkState, WithoutTheAdapterQueryThereIsNoNetwork)
{
    HostRuntime runtime;
    test::EngineDouble engine;
    {
        test::FakeIpHelper ipHelper(false);
        IpInterfaceWatch watch;
        watch.Start(runtime);
        EXPECT_FALSE(IsNetworkAvailable());
        EXPECT_EQ(runtime.conditions.word.load() & POWERPROFILE_NOTNETWORK, 0u) << "nothing registered, nothing changed";
    }
    {
        test::FakeIpHelper ipHelper;
        ipHelper.adapters = {{kEthernet, IfOperStatusUp}};
        IpInterfaceWatch watch;
        watch.Start(runtime);
        ASSERT_TRUE(IsNetworkAvailable());
        watch.Stop();
        EXPECT_FALSE(IsNetworkAvailable()) << "the query is forgotten when the watch stops";
    }
}

TEST(NetworkState, InterfaceChangesSetAndClearTheNoNetworkBit)
{
    HostRuntime runtime;
    runtime.conditions.word.store(POWERPROFILE_BATTERY);
    test::EngineDouble engine;
    test::FakeIpHelper ipHelper;
    ipHelper.adapters = {{kLoopback, IfOperStatusUp}, {kEthernet, IfOperStatusDown}};
    {
        IpInterfaceWatch watch;
        watch.Start(runtime);
        EXPECT_EQ(ipHelper.registeredFamily, AF_UNSPEC);
        EXPECT_TRUE(ipHelper.initialAsked);
        EXPECT_EQ(runtime.conditions.word.load(), uint32_t{POWERPROFILE_BATTERY | POWERPROFILE_NOTNETWORK})
            << "the initial notification finds no network";
        EXPECT_EQ(engine.powerCalls.load(), 1);
        EXPECT_TRUE(engine.lastStartAllowed.load());

        ipHelper.Change();
        EXPECT_EQ(engine.powerCalls.load(), 1) << "no change of the word, no power pass";

        ipHelper.adapters[1].status = IfOperStatusUp;
        ipHelper.Change();
        EXPECT_EQ(runtime.conditions.word.load(), uint32_t{POWERPROFILE_BATTERY});
        EXPECT_EQ(engine.powerCalls.load(), 2);
        EXPECT_TRUE(engine.lastStartAllowed.load());

        ipHelper.Change();
        EXPECT_EQ(engine.powerCalls.load(), 2);
    }
    EXPECT_EQ(ipHelper.cancelled, test::FakeIpHelper::kRegistration) << "the registration is cancelled at the end";
}

} // namespace
} // namespace qvx
