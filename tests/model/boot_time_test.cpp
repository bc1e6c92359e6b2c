#include <gtest/gtest.h>

#include <windows.h>

#include "model/boot_time.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

constexpr ULONGLONG kUnitsPerSecond = 10000000; // FILETIME counts 100 ns
constexpr ULONGLONG kYear2000 = 125911584000000000ull;

ULONGLONG Now()
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// The boot time as the time since boot says it, unrounded.
ULONGLONG ExpectedBootTime()
{
    return Now() - GetTickCount64() * 10000;
}

DWORD NoSystemProcess(ULONGLONG&)
{
    return ERROR_INVALID_PARAMETER; // what OpenProcess(4) gives where there is none
}

DWORD KnownSystemProcess(ULONGLONG& creationTime)
{
    creationTime = kYear2000 + 12345; // not on a whole second
    return ERROR_SUCCESS;
}

DWORD WithoutSystemProcess(ULONGLONG& bootTime)
{
    return ReadBootTime(&NoSystemProcess, bootTime);
}

class BootTimeTest : public testing::Test {
protected:
    void TearDown() override { SetBootTimeReader(nullptr); }
};

TEST_F(BootTimeTest, WithoutTheSystemProcessTheTimeSinceBootGivesAWholeSecondNearTheBoot)
{
    ULONGLONG first = 0;
    ULONGLONG second = 0;
    const ULONGLONG expected = ExpectedBootTime();
    ASSERT_EQ(ReadBootTime(&NoSystemProcess, first), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(ReadBootTime(&NoSystemProcess, second), static_cast<DWORD>(ERROR_SUCCESS));

    EXPECT_EQ(first % kUnitsPerSecond, 0u);
    EXPECT_GT(first, kYear2000);
    EXPECT_LT(first, Now());
    const ULONGLONG distance = first > expected ? first - expected : expected - first;
    EXPECT_LE(distance, 2 * kUnitsPerSecond) << first << " against " << expected;
    // Two readings meet on the same second unless they straddle its middle.
    const ULONGLONG apart = first > second ? first - second : second - first;
    EXPECT_LE(apart, kUnitsPerSecond);
}

TEST_F(BootTimeTest, TheSystemProcessTimeIsTakenAsItIs)
{
    ULONGLONG bootTime = 0;
    ASSERT_EQ(ReadBootTime(&KnownSystemProcess, bootTime), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(bootTime, kYear2000 + 12345);
}

TEST_F(BootTimeTest, TheFallbackIsKeptForTheRunAndTracesNoError)
{
    SetBootTimeReader(&WithoutSystemProcess);
    test::TraceCapture traces;
    ULONGLONG first = 0;
    ULONGLONG second = 0;
    ASSERT_TRUE(MachineBootTime(first));
    Sleep(1100); // a later reading of its own would fall on another second
    ASSERT_TRUE(MachineBootTime(second));
    EXPECT_EQ(first, second);
    EXPECT_FALSE(traces.Contains(trace::kError, L"")) << traces.Dump();
    EXPECT_FALSE(traces.Contains(trace::kWarning, L"")) << traces.Dump();
}

// The production reader on this machine (under Wine: no System process).
TEST_F(BootTimeTest, TheMachineBootTimeIsReadWithoutAnErrorTrace)
{
    SetBootTimeReader(nullptr);
    test::TraceCapture traces;
    ULONGLONG bootTime = 0;
    ASSERT_TRUE(MachineBootTime(bootTime)) << traces.Dump();
    EXPECT_GT(bootTime, kYear2000);
    EXPECT_LT(bootTime, Now());
    EXPECT_FALSE(traces.Contains(trace::kError, L"")) << traces.Dump();
}

} // namespace
} // namespace qvx
