// Start-up waves of the installed host, with the short wave delay a test
// installation may store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry_value.h"
#include "platform/service_key.h"
#include "tests/lifecycle/wave_watch.h"
#include "tests/support/test_prefix.h"

namespace qvx::test {
namespace {

constexpr wchar_t kRunning[] = L"SERVICE_RUNNING";
constexpr wchar_t kStopped[] = L"SERVICE_STOPPED";
constexpr DWORD kDelaySeconds = 8;
constexpr LONG kDelayMs = kDelaySeconds * 1000;
// What may pass between a wave and its start showing in the log.
constexpr LONG kSeenLatencyMs = 2000;

std::wstring DependsOn(const std::wstring& name)
{
    return L"<DependOnService><ServiceName>" + name + L"</ServiceName></DependOnService>";
}

std::wstring PowerProfile(const std::wstring& names)
{
    return L"<PowerProfile>" + names + L"</PowerProfile>";
}

std::wstring HostedServiceKey(const std::wstring& name)
{
    return std::wstring(kServiceKeyPath) + L"\\Services\\" + name;
}

// Rewrites one text value of a hosted service's stored configuration, as an
// older version or a hand edit may have left it.
void StoreText(const std::wstring& service, const wchar_t* value, const std::wstring& text)
{
    RegKey key;
    ASSERT_EQ(OpenKey(HKEY_LOCAL_MACHINE, HostedServiceKey(service).c_str(), KEY_SET_VALUE, key), 0u)
        << Narrow(service);
    ASSERT_TRUE(WriteText(key.Get(), value, text));
}

using StartWaves = StartWaveTest;

// From scratch, EARLY runs at once, NORMAL one delay later and LATE one
// more delay later; what the user stopped or disabled in between, DEMAND
// services and those the machine's condition excludes are left alone.
TEST_F(StartWaves, EachProfileStartsInItsOwnWave)
{
    WaveStartSetup waves(kDelaySeconds);
    ASSERT_EQ(Create(L"wvearly", WaveProfile(L"wvearly", L"SERVICE_START_EARLY")), L"ACK");
    ASSERT_EQ(Create(L"wvnormal", WaveProfile(L"wvnormal", L"SERVICE_START_NORMAL")), L"ACK");
    ASSERT_EQ(Create(L"wvlate", WaveProfile(L"wvlate", L"SERVICE_START_LATE")), L"ACK");
    ASSERT_EQ(Create(L"wvdemand", WaveProfile(L"wvdemand", L"SERVICE_START_DEMAND")), L"ACK");
    ASSERT_EQ(Create(L"wvdisabled", WaveProfile(L"wvdisabled", L"SERVICE_START_LATE")), L"ACK");
    ASSERT_EQ(Create(L"wvuserstop", WaveProfile(L"wvuserstop", L"SERVICE_START_LATE")), L"ACK");
    ASSERT_EQ(Create(L"wvbattery",
                     WaveProfile(L"wvbattery", L"SERVICE_START_NORMAL", PowerProfile(L"POWERPROFILE_BATTERY"))),
              L"ACK");
    ASSERT_EQ(Create(L"wvmains",
                     WaveProfile(L"wvmains", L"SERVICE_START_NORMAL", PowerProfile(L"POWERPROFILE_NOTNETWORK"))),
              L"ACK");

    const DWORD before = RestartAsAfterReboot();
    ASSERT_NE(hostPid_, 0u);
    // All of this happens well before the NORMAL wave.
    Ask(L"QUERY_POWER_STATE,1,POWERPROFILE_BATTERY");
    EXPECT_EQ(Ask(L"ENABLEDISABLE_SERVICE,wvdisabled,DISABLE"), L"ACK");
    EXPECT_EQ(Stop(L"wvuserstop"), L"ERROR_SERVICE_NOT_ACTIVE");

    WatchStarts({L"wvearly", L"wvnormal", L"wvbattery", L"wvlate"}, 4 * kDelayMs + 20000);
    ASSERT_TRUE(Seen(L"wvearly"));
    ASSERT_TRUE(Seen(L"wvnormal"));
    ASSERT_TRUE(Seen(L"wvlate"));
    EXPECT_LT(SeenAfter(L"wvearly", before), kDelayMs) << "the EARLY wave runs at once";
    EXPECT_GE(SeenAfter(L"wvnormal", before), kDelayMs) << "NORMAL before the first delay elapsed";
    EXPECT_GE(SeenAfter(L"wvlate", before) - SeenAfter(L"wvnormal", before), kDelayMs - kSeenLatencyMs);
    EXPECT_TRUE(Seen(L"wvbattery")) << "allowed by the condition, it starts with its wave";
    EXPECT_TRUE(Traced({L"test wave delay in use, seconds"}));

    ASSERT_TRUE(WaveStartSetup::WaitForStartupComplete(Trace(), hostPid_, kStateTimeoutMs));
    for (const wchar_t* name : {L"wvearly", L"wvnormal", L"wvlate", L"wvbattery"})
        EXPECT_TRUE(WaitForState(name, kRunning)) << Narrow(name) << ": " << Narrow(State(name));
    for (const wchar_t* name : {L"wvdemand", L"wvdisabled", L"wvuserstop", L"wvmains"}) {
        EXPECT_EQ(State(name), kStopped) << Narrow(name);
        EXPECT_TRUE(LogOf(L"start", name).empty()) << Narrow(name);
    }

    // Start-up is complete: a condition that now allows the excluded service
    // starts it, and still not what the user stopped or a DEMAND service.
    Ask(L"QUERY_POWER_STATE,1,POWERPROFILE_NOTNETWORK");
    EXPECT_TRUE(WaitForState(L"wvmains", kRunning)) << Narrow(State(L"wvmains"));
    EXPECT_TRUE(WaitForState(L"wvbattery", kStopped)) << Narrow(State(L"wvbattery"));
    for (const wchar_t* name : {L"wvdemand", L"wvdisabled", L"wvuserstop"})
        EXPECT_TRUE(LogOf(L"start", name).empty()) << Narrow(name);
}

// Before the LATE wave the power-condition pass starts nothing: start-up is
// not complete yet.
TEST_F(StartWaves, AConditionChangeBeforeTheLastWaveStartsNothing)
{
    WaveStartSetup waves(kDelaySeconds);
    ASSERT_EQ(Create(L"wvmains", WaveProfile(L"wvmains", L"SERVICE_START_EARLY",
                                             PowerProfile(L"POWERPROFILE_NOTNETWORK"))),
              L"ACK");
    ASSERT_EQ(Create(L"wvlate", WaveProfile(L"wvlate", L"SERVICE_START_LATE")), L"ACK");
    // The EARLY wave starts it under the host's own condition, which has no
    // battery bit; the test's condition then stops it.
    RestartAsAfterReboot();
    ASSERT_NE(hostPid_, 0u);
    // A service still starting is left alone by the power-condition pass.
    ASSERT_TRUE(WaitForState(L"wvmains", kRunning)) << Narrow(State(L"wvmains"));
    Ask(L"QUERY_POWER_STATE,1,POWERPROFILE_BATTERY");
    ASSERT_TRUE(WaitForState(L"wvmains", kStopped)) << Narrow(State(L"wvmains"));
    const size_t startsBefore = LogOf(L"start", L"wvmains").size();

    Ask(L"QUERY_POWER_STATE,1,POWERPROFILE_NOTNETWORK");
    Sleep(1000);
    EXPECT_FALSE(Traced({L"start-up complete"}));
    EXPECT_EQ(State(L"wvmains"), kStopped);
    EXPECT_EQ(LogOf(L"start", L"wvmains").size(), startsBefore);

    ASSERT_TRUE(WaveStartSetup::WaitForStartupComplete(Trace(), hostPid_, 2 * kDelayMs + 20000));
    EXPECT_EQ(State(L"wvmains"), kStopped) << "completing start-up alone starts nothing";
}

enum class DirtyExit { NonVolatile, Volatile };

struct DirtyExitCase {
    const char* name;
    DirtyExit marker;
    bool fromScratch;
};

using DirtyExitMarker = StartWaveTest;

// Only a volatile "dirtyexit" left from this boot means an unclean end; a
// non-volatile key of that name is removed and the restart is a clean one,
// which starts no own-process EARLY service. The host lays a volatile
// marker of its own either way.
TEST_F(DirtyExitMarker, OnlyAVolatileMarkerStartsTheWavesAgain)
{
    ASSERT_EQ(Create(L"wvearly", WaveProfile(L"wvearly", L"SERVICE_START_EARLY")), L"ACK");
    const std::wstring marker = std::wstring(kServiceKeyPath) + L"\\dirtyexit";
    const DirtyExitCase rows[] = {
        {"non-volatile", DirtyExit::NonVolatile, false},
        {"volatile", DirtyExit::Volatile, true},
    };
    for (const DirtyExitCase& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(State(L"wvearly"), kStopped);
        ASSERT_EQ(Host().Stop(), 0u);
        RegKey key;
        ASSERT_EQ(CreateKey(HKEY_LOCAL_MACHINE, marker.c_str(), KEY_ALL_ACCESS, key,
                            row.marker == DirtyExit::Volatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE),
                  0u);
        if (row.marker == DirtyExit::NonVolatile) {
            ASSERT_TRUE(WriteDword(key.Get(), L"Left", 1));
        }
        key.Reset();

        Trace().Mark();
        ASSERT_EQ(Host().Start(), 0u);
        hostPid_ = Host().Status().dwProcessId;

        EXPECT_EQ(Traced({L"start from scratch"}), row.fromScratch);
        EXPECT_EQ(Traced({L"start-up complete: no waves needed"}), !row.fromScratch);
        firstSeen_.clear();
        WatchStarts({L"wvearly"}, row.fromScratch ? kStateTimeoutMs : 2000);
        EXPECT_EQ(Seen(L"wvearly"), row.fromScratch);

        RegKey after;
        ASSERT_EQ(OpenKey(HKEY_LOCAL_MACHINE, marker.c_str(), KEY_READ, after), 0u);
        DWORD left = 0;
        EXPECT_FALSE(ReadDword(after.Get(), L"Left", left)) << "the stale key was replaced";
        RegKey probe;
        EXPECT_EQ(CreateKey(after.Get(), L"Probe", KEY_ALL_ACCESS, probe),
                  static_cast<DWORD>(ERROR_CHILD_MUST_BE_VOLATILE));
    }
}

using BadInputInWaves = StartWaveTest;

// Stored configurations the waves cannot honour: a dependency in a later
// wave, a ring of dependencies written by hand, a binary that is gone. Each
// is traced and left stopped; the rest of the wave starts, nothing stays
// pending and the control pipe keeps answering.
TEST_F(BadInputInWaves, TheRestOfTheWaveGoesOn)
{
    WaveStartSetup waves(2);
    ASSERT_EQ(Create(L"wvlate", WaveProfile(L"wvlate", L"SERVICE_START_LATE")), L"ACK");
    // The host refuses such a dependency when the service is created; it
    // can only come from a stored configuration.
    ASSERT_EQ(Create(L"wvtooearly", WaveProfile(L"wvtooearly", L"SERVICE_START_EARLY")), L"ACK");
    ASSERT_EQ(Create(L"wvringb", WaveProfile(L"wvringb", L"SERVICE_START_EARLY")), L"ACK");
    ASSERT_EQ(Create(L"wvringa", WaveProfile(L"wvringa", L"SERVICE_START_EARLY", DependsOn(L"wvringb"))), L"ACK");
    ASSERT_EQ(Create(L"wvgone", WaveProfile(L"wvgone", L"SERVICE_START_EARLY")), L"ACK");
    ASSERT_EQ(Create(L"wvfine", WaveProfile(L"wvfine", L"SERVICE_START_EARLY")), L"ACK");
    ASSERT_EQ(Host().Stop(), 0u);
    StoreText(L"wvtooearly", L"DependOnService", L"wvlate");
    StoreText(L"wvringb", L"DependOnService", L"wvringa");
    StoreText(L"wvgone", L"BinaryPath", L"C:\\qvx-missing\\gone.exe");

    RestartAsAfterReboot();
    ASSERT_NE(hostPid_, 0u);
    ASSERT_TRUE(WaveStartSetup::WaitForStartupComplete(Trace(), hostPid_, 2 * 2000 + 20000));
    EXPECT_EQ(Ask(L"PING"), L"ACK");

    EXPECT_TRUE(WaitForState(L"wvfine", kRunning)) << Narrow(State(L"wvfine"));
    EXPECT_TRUE(WaitForState(L"wvlate", kRunning)) << Narrow(State(L"wvlate"));
    for (const wchar_t* name : {L"wvtooearly", L"wvringa", L"wvringb", L"wvgone"}) {
        EXPECT_TRUE(WaitForState(name, kStopped, 5000)) << Narrow(name) << ": " << Narrow(State(name));
        EXPECT_TRUE(LogOf(L"start", name).empty()) << Narrow(name);
    }
    EXPECT_TRUE(Traced({L"the wave skips a service with invalid dependencies", L"wvringa"}));
    EXPECT_TRUE(Traced({L"the wave skips a service with invalid dependencies", L"wvringb"}));
    EXPECT_TRUE(Traced({L"the service failed to start", L"wvgone"}));
    EXPECT_TRUE(Traced({L"starts in a later wave", L"wvtooearly", L"wvlate"}));
    EXPECT_EQ(Ask(L"PING"), L"ACK");
}

} // namespace
} // namespace qvx::test
