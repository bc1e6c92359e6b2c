// The start-up waves with their real delays: NORMAL a minute after EARLY,
// LATE a minute after NORMAL.
#include <gtest/gtest.h>

#include "tests/lifecycle/wave_watch.h"
#include "tests/support/test_prefix.h"

namespace qvx::test {
namespace {

constexpr LONG kMinuteMs = 60000;
// What may pass between a wave and its start showing in the log.
constexpr LONG kSeenLatencyMs = 5000;

using RealWaveDelays = StartWaveTest;

TEST_F(RealWaveDelays, NormalAfterOneMinuteLateAfterTwo)
{
    ASSERT_EQ(Create(L"wdearly", WaveProfile(L"wdearly", L"SERVICE_START_EARLY")), L"ACK");
    ASSERT_EQ(Create(L"wdnormal", WaveProfile(L"wdnormal", L"SERVICE_START_NORMAL")), L"ACK");
    ASSERT_EQ(Create(L"wdlate", WaveProfile(L"wdlate", L"SERVICE_START_LATE")), L"ACK");

    const DWORD before = RestartAsAfterReboot();
    ASSERT_NE(hostPid_, 0u);
    WatchStarts({L"wdearly", L"wdnormal", L"wdlate"}, 2 * kMinuteMs + 30000);
    ASSERT_TRUE(Seen(L"wdearly"));
    ASSERT_TRUE(Seen(L"wdnormal"));
    ASSERT_TRUE(Seen(L"wdlate"));
    EXPECT_FALSE(Traced({L"test wave delay"})) << "no test delay is stored";

    EXPECT_LT(SeenAfter(L"wdearly", before), 10000);
    EXPECT_GE(SeenAfter(L"wdnormal", before), kMinuteMs);
    EXPECT_LT(SeenAfter(L"wdnormal", before), kMinuteMs + 20000);
    EXPECT_GE(SeenAfter(L"wdlate", before), 2 * kMinuteMs);
    EXPECT_GE(SeenAfter(L"wdlate", before) - SeenAfter(L"wdnormal", before), kMinuteMs - kSeenLatencyMs);
    EXPECT_TRUE(WaveStartSetup::WaitForStartupComplete(Trace(), hostPid_, kStateTimeoutMs));
}

} // namespace
} // namespace qvx::test
