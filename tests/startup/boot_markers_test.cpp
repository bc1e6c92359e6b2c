#include <gtest/gtest.h>

#include "host/boot_markers.h"
#include "host/management_service.h"
#include "host/startup_decision.h"
#include "model/life_cycle_record.h"
#include "platform/service_key.h"
#include "tests/startup/marker_keys.h"
#include "tests/support/test_service_key.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

using test::MarkerKind;

struct MarkerCase {
    const char* name;
    MarkerKind marker;
    bool expected;       // what the test answers
    bool keyAfterwards;  // whether the marker is still there
};

void PrintTo(const MarkerCase& row, std::ostream* out)
{
    *out << row.name;
}

class BootMarkerTest : public testing::TestWithParam<MarkerCase> {
protected:
    test::TestServiceKey key_;
};

// A volatile "bootstart" means the service already started in this boot. A
// key of that name that is not volatile outlived a reboot: it is removed
// (with what hangs below it) and the start counts as the first.
TEST_P(BootMarkerTest, FirstStartSinceBootFollowsTheMarker)
{
    const MarkerCase& row = GetParam();
    test::LayMarker(key_, kBootMarkerName, row.marker);

    EXPECT_EQ(IsFirstStartSinceBoot(), row.expected);
    EXPECT_EQ(test::KeyExists(key_, kBootMarkerName), row.keyAfterwards);
    EXPECT_FALSE(test::KeyExists(key_, std::wstring(kBootMarkerName) + L"\\" + kVolatilityProbeName));
}

INSTANTIATE_TEST_SUITE_P(Markers, BootMarkerTest,
                         testing::Values(MarkerCase{"missing", MarkerKind::Missing, true, false},
                                         MarkerCase{"volatile", MarkerKind::Volatile, false, true},
                                         MarkerCase{"stale", MarkerKind::NonVolatile, true, false}),
                         [](const testing::TestParamInfo<MarkerCase>& info) { return std::string(info.param.name); });

class DirtyExitMarkerTest : public testing::TestWithParam<MarkerCase> {
protected:
    test::TestServiceKey key_;
};

TEST_P(DirtyExitMarkerTest, OnlyAVolatileMarkerMeansADirtyExit)
{
    const MarkerCase& row = GetParam();
    test::LayMarker(key_, kDirtyExitMarkerName, row.marker);

    EXPECT_EQ(IsDirtyExitMarkerPresent(), row.expected);
    EXPECT_EQ(test::KeyExists(key_, kDirtyExitMarkerName), row.keyAfterwards);
}

INSTANTIATE_TEST_SUITE_P(Markers, DirtyExitMarkerTest,
                         testing::Values(MarkerCase{"missing", MarkerKind::Missing, false, false},
                                         MarkerCase{"volatile", MarkerKind::Volatile, true, true},
                                         MarkerCase{"stale", MarkerKind::NonVolatile, false, false}),
                         [](const testing::TestParamInfo<MarkerCase>& info) { return std::string(info.param.name); });

TEST(BootMarkerWithoutServiceKeyTest, IsNoFirstStartAndCreatesNothing)
{
    test::TestServiceKey key;
    std::wstring missing = key.Path() + L"\\Missing";
    SetServiceKeyLocation(HKEY_LOCAL_MACHINE, missing);
    test::TraceCapture traces;

    EXPECT_FALSE(IsFirstStartSinceBoot());
    EXPECT_FALSE(IsDirtyExitMarkerPresent());
    EXPECT_FALSE(CreateDirtyExitMarker());
    EXPECT_FALSE(test::KeyExists(key, L"Missing"));
    EXPECT_TRUE(traces.Contains(trace::kWarning, L"service key cannot be opened")) << traces.Dump();
}

TEST(DirtyExitMarkerLifeTest, IsCreatedVolatileAndDeletedAtACleanEnd)
{
    test::TestServiceKey key;

    ASSERT_TRUE(CreateDirtyExitMarker());
    EXPECT_TRUE(test::IsVolatileKey(key, kDirtyExitMarkerName));
    EXPECT_TRUE(IsDirtyExitMarkerPresent());

    EXPECT_TRUE(DeleteDirtyExitMarker());
    EXPECT_FALSE(test::KeyExists(key, kDirtyExitMarkerName));
    EXPECT_FALSE(IsDirtyExitMarkerPresent());
    // Nothing left to delete is no failure.
    EXPECT_TRUE(DeleteDirtyExitMarker());
}

class StartupDecisionTest : public testing::Test {
protected:
    ULONGLONG RunIteration() const
    {
        LifeCycleRecord record(nullptr);
        record.Load();
        return record.RunIteration;
    }

    test::TestServiceKey key_;
};

// A first start runs the EARLY wave and leaves the later ones to the wave
// timer: start-up is not complete yet.
TEST_F(StartupDecisionTest, FirstStartLaysBothMarkersRecordsTheStartAndArmsTheWaveTimer)
{
    ManagementService service;
    service.firstStartSinceBoot = true;
    test::TraceCapture traces;

    RunStartupDecision(service);

    EXPECT_TRUE(test::IsVolatileKey(key_, kDirtyExitMarkerName));
    EXPECT_TRUE(test::IsVolatileKey(key_, kBootMarkerName));
    EXPECT_EQ(RunIteration(), 1u);
    LifeCycleRecord record(nullptr);
    record.Load();
    EXPECT_NE(record.StartTime, 0u);
    EXPECT_EQ(record.StopTime, 0u);
    EXPECT_NE(service.runtime.waveTimer.Get(), nullptr);
    EXPECT_TRUE(service.runtime.waitSet.HasTimer(service.runtime.waveTimer.Get()));
    EXPECT_EQ(service.runtime.waveTimer.State(), WaveTimer::kBeforeNormalWave);
    EXPECT_FALSE(service.runtime.startupComplete.load());
    service.runtime.waveTimer.Close(service.runtime.waitSet);
}

// A restart in the same boot: the run before left "dirtyexit" (it did not end
// cleanly) or not; either way this run lays its own and counts one more start.
TEST_F(StartupDecisionTest, RestartInTheSameBootKeepsCountingStarts)
{
    ManagementService service;
    service.firstStartSinceBoot = true;
    RunStartupDecision(service);
    ASSERT_TRUE(DeleteDirtyExitMarker());

    service.firstStartSinceBoot = false;
    test::TraceCapture traces;
    RunStartupDecision(service);
    EXPECT_TRUE(traces.Contains(trace::kInfo, L"restart in this boot: early DLL services only")) << traces.Dump();
    EXPECT_TRUE(service.runtime.startupComplete.load());
    EXPECT_TRUE(test::IsVolatileKey(key_, kDirtyExitMarkerName));
    EXPECT_EQ(RunIteration(), 2u);

    traces.Clear();
    // "dirtyexit" still there: an unclean end, and with no table published
    // nothing could be re-attached.
    service.runtime.startupComplete.store(false);
    RunStartupDecision(service);
    EXPECT_TRUE(traces.Contains(trace::kInfo, L"start from scratch")) << traces.Dump();
    EXPECT_EQ(RunIteration(), 3u);
    EXPECT_FALSE(service.runtime.startupComplete.load());
    service.runtime.waveTimer.Close(service.runtime.waitSet);
}

TEST_F(StartupDecisionTest, AStaleDirtyExitKeyIsReplacedByAVolatileOne)
{
    test::LayMarker(key_, kDirtyExitMarkerName, MarkerKind::NonVolatile);
    ManagementService service;
    service.firstStartSinceBoot = false;
    test::TraceCapture traces;

    RunStartupDecision(service);

    EXPECT_TRUE(test::IsVolatileKey(key_, kDirtyExitMarkerName));
    EXPECT_FALSE(test::KeyExists(key_, std::wstring(kDirtyExitMarkerName) + L"\\Child"));
    EXPECT_TRUE(traces.Contains(trace::kInfo, L"restart in this boot")) << traces.Dump();
}

} // namespace
} // namespace qvx
