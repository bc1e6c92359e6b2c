#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "model/handle_release.h"
#include "model/service_mutex.h"
#include "model/service_record.h"
#include "model/service_timers.h"
#include "tests/model/recording_release.h"
#include "tests/support/trace_capture.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

using test::RecordingRelease;
using test::ReleasedMutex;
using test::ReleasedTimer;

constexpr DWORD kGenerousWaitMs = 15000;
constexpr DWORD kHour = 3600;

struct Slot {
    const char* name;
    ServiceTimer slot;
    bool (*create)(ServiceRecord&);
    bool (*arm)(ServiceRecord&);
    void (*release)(ServiceRecord&);
    DWORD (ServiceRecord::*setSeconds)(DWORD) noexcept;
};

const Slot kSlots[] = {
    {"reset period", ServiceTimer::kResetPeriod, CreateResetPeriodTimer, ArmResetPeriodTimer, ReleaseResetPeriodTimer,
        &ServiceRecord::SetResetPeriod},
    {"restart delay", ServiceTimer::kRestartDelay, CreateRestartDelayTimer, ArmRestartDelayTimer,
        ReleaseRestartDelayTimer, &ServiceRecord::SetRestartDelay},
    {"shutdown", ServiceTimer::kShutdown, CreateShutdownTimer, ArmShutdownTimer, ReleaseShutdownTimer,
        &ServiceRecord::SetShutdownTimeout},
    {"startup", ServiceTimer::kStartup, CreateStartupTimer, ArmStartupTimer, ReleaseStartupTimer,
        &ServiceRecord::SetStartupTimeout},
};

// Every timer field an hour long, so a timer armed from the wrong field
// does not fire within the test.
void SetEveryTimerToAnHour(ServiceRecord& record)
{
    for (const auto& slot : kSlots)
        (record.*slot.setSeconds)(kHour);
}

class ServiceTimersTest : public testing::Test {
protected:
    RecordingRelease release_;
};

TEST_F(ServiceTimersTest, ArmedTimerSignalsAfterItsFieldsSeconds)
{
    for (const auto& slot : kSlots) {
        SCOPED_TRACE(slot.name);
        ServiceRecord record;
        record.SetName(L"timed");
        SetEveryTimerToAnHour(record);
        (record.*slot.setSeconds)(1);

        ASSERT_TRUE(slot.create(record));
        HANDLE timer = record.GetTimer(slot.slot);
        ASSERT_NE(timer, nullptr);
        EXPECT_EQ(WaitForSingleObject(timer, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "a new timer is not signalled";

        const ULONGLONG armed = GetTickCount64();
        ASSERT_TRUE(slot.arm(record));
        EXPECT_EQ(record.GetResetWindowActive(), slot.slot == ServiceTimer::kResetPeriod);
        ASSERT_EQ(WaitForSingleObject(timer, kGenerousWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_GE(GetTickCount64() - armed, 900u) << "the due time is relative, in seconds";
        EXPECT_EQ(WaitForSingleObject(timer, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "manual reset";
    }
}

TEST_F(ServiceTimersTest, ArmingAnEmptySlotFails)
{
    for (const auto& slot : kSlots) {
        SCOPED_TRACE(slot.name);
        test::TraceCapture traces;
        ServiceRecord record;
        record.SetName(L"untimed");
        SetEveryTimerToAnHour(record);
        EXPECT_FALSE(slot.arm(record));
        EXPECT_FALSE(record.GetResetWindowActive()) << "no window opens without a running timer";
        EXPECT_TRUE(traces.Contains(trace::kError, L"untimed")) << testing::PrintToString(traces.Dump());
    }
}

TEST_F(ServiceTimersTest, CreateAndReleaseHandTheOldTimerToTheHandleRelease)
{
    for (const auto& slot : kSlots) {
        SCOPED_TRACE(slot.name);
        release_.released.clear();
        ServiceRecord record;
        ASSERT_TRUE(slot.create(record));
        HANDLE first = record.GetTimer(slot.slot);
        ASSERT_TRUE(slot.create(record));
        HANDLE second = record.GetTimer(slot.slot);
        EXPECT_NE(second, first);

        slot.release(record);
        EXPECT_EQ(record.GetTimer(slot.slot), nullptr);
        EXPECT_EQ(release_.released, (std::vector<RecordingRelease::Released>{ReleasedTimer(first), ReleasedTimer(second)}));
    }
}

TEST_F(ServiceTimersTest, ReleaseProcessHandlesLetsGoOfTheRunningProcessOnly)
{
    ServiceRecord record;
    record.SetName(test::UniqueName(L"qvxtbl-process"));
    ASSERT_TRUE(CreateServiceMutex(record));
    for (const auto& slot : kSlots)
        ASSERT_TRUE(slot.create(record));
    PROCESS_INFORMATION info = {};
    info.hProcess = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    info.hThread = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    info.dwProcessId = 11;
    info.dwThreadId = 12;
    record.AttachProcess(HostedProcess::Adopt(info));
    record.SetStopRequested(true);
    const std::vector<RecordingRelease::Released> expected = {
        ReleasedMutex(record.GetServiceMutex()),
        ReleasedTimer(record.GetTimer(ServiceTimer::kStartup)),
        ReleasedTimer(record.GetTimer(ServiceTimer::kShutdown)),
    };
    HANDLE resetPeriod = record.GetTimer(ServiceTimer::kResetPeriod);
    HANDLE restartDelay = record.GetTimer(ServiceTimer::kRestartDelay);
    release_.released.clear();

    record.ReleaseProcessHandles();

    EXPECT_EQ(release_.released, expected);
    EXPECT_EQ(record.GetServiceMutex(), nullptr);
    EXPECT_EQ(record.GetTimer(ServiceTimer::kStartup), nullptr);
    EXPECT_EQ(record.GetTimer(ServiceTimer::kShutdown), nullptr);
    EXPECT_EQ(record.GetTimer(ServiceTimer::kResetPeriod), resetPeriod) << "the restart policy's timers stay";
    EXPECT_EQ(record.GetTimer(ServiceTimer::kRestartDelay), restartDelay);
    EXPECT_EQ(record.Process(), nullptr);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(info.hProcess, &flags)) << "the process handle is closed";
    EXPECT_FALSE(GetHandleInformation(info.hThread, &flags)) << "the thread handle is closed";
    EXPECT_FALSE(record.GetStopRequested());
}

// Without a monitor the default release closes the handles itself; a close
// that fails (here, of a handle closed already) is traced.
TEST(DefaultHandleRelease, TracesAFailedClose)
{
    HANDLE timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    ASSERT_NE(timer, nullptr);
    HandleRelease& release = CurrentHandleRelease();
    test::TraceCapture traces;
    release.ReleaseTimer(timer);
    EXPECT_TRUE(traces.Records().empty()) << traces.Dump();
    release.ReleaseTimer(timer);
    release.ReleaseServiceMutex(timer);
    size_t traced = 0;
    for (const trace::Record& record : traces.Records())
        traced += record.level == trace::kError && std::string(record.file) == "handle_release.cpp";
    EXPECT_EQ(traced, 2u) << traces.Dump();
}

} // namespace
} // namespace qvx
