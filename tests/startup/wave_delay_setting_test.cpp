#include <gtest/gtest.h>

#include "platform/handles.h"
#include "platform/registry_value.h"
#include "runtime/wave_timer.h"
#include "tests/support/test_service_key.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

constexpr LONGLONG kSecond = 10000000LL;

enum class Stored { Nothing, Dword, Text };

struct DelayCase {
    const char* name;
    Stored stored;
    DWORD seconds;
    LONGLONG expectedDue;
    bool tracedInUse;
};

void PrintTo(const DelayCase& row, std::ostream* out)
{
    *out << row.name;
}

class WaveDelaySettingTest : public testing::TestWithParam<DelayCase> {
protected:
    test::TestServiceKey key_;
};

// Only a REG_DWORD that shortens the delay takes effect; anything else
// leaves the normal 60 seconds, and every use of a shorter delay is traced.
TEST_P(WaveDelaySettingTest, OnlyAShorterStoredDelayIsUsed)
{
    const DelayCase& row = GetParam();
    if (row.stored != Stored::Nothing) {
        RegKey parameters;
        ASSERT_EQ(CreateKey(key_.Open().Get(), L"Parameters", KEY_ALL_ACCESS, parameters), 0u);
        if (row.stored == Stored::Dword)
            ASSERT_TRUE(WriteDword(parameters.Get(), L"TestWaveDelaySeconds", row.seconds));
        else
            ASSERT_TRUE(WriteText(parameters.Get(), L"TestWaveDelaySeconds", L"5"));
    }
    test::TraceCapture trace;

    EXPECT_EQ(WaveTimer::NextWaveDue(), row.expectedDue);
    EXPECT_EQ(trace.Contains(trace::kWarning, L"test wave delay in use, seconds"), row.tracedInUse) << trace.Dump();
}

INSTANTIATE_TEST_SUITE_P(
    Stored, WaveDelaySettingTest,
    testing::Values(DelayCase{"none", Stored::Nothing, 0, -60 * kSecond, false},
                    DelayCase{"five", Stored::Dword, 5, -5 * kSecond, true},
                    DelayCase{"one", Stored::Dword, 1, -1 * kSecond, true},
                    DelayCase{"zero", Stored::Dword, 0, -60 * kSecond, false},
                    DelayCase{"sixty", Stored::Dword, 60, -60 * kSecond, false},
                    DelayCase{"longer", Stored::Dword, 3600, -60 * kSecond, false},
                    DelayCase{"text", Stored::Text, 0, -60 * kSecond, false}),
    [](const testing::TestParamInfo<DelayCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace qvx
