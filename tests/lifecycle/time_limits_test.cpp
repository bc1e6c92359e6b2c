// Hosted services that hang while starting or stopping, and services that
// keep dying, under the real host: what its time limits and its restart
// window do with them. These tests wait out real time-outs and windows, so
// they run apart from the quicker lifecycle tests.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/handles.h"
#include "tests/lifecycle/lifecycle_harness.h"
#include "tests/support/test_prefix.h"

namespace qvx::test {
namespace {

constexpr wchar_t kRunning[] = L"SERVICE_RUNNING";
constexpr wchar_t kStopped[] = L"SERVICE_STOPPED";
constexpr wchar_t kStopPending[] = L"SERVICE_STOP_PENDING";
constexpr wchar_t kTerminated[] = L"0xC2000005";

// The host allows a start or a stop at least this long before it ends the
// process.
constexpr DWORD kLeastTimeLimitMs = 30000;

std::wstring RestartPolicy(int resetPeriod, int restartCount, int restartDelay)
{
    return L"<FailureRestart><ResetPeriod>" + std::to_wstring(resetPeriod) + L"</ResetPeriod><RestartCount>" +
           std::to_wstring(restartCount) + L"</RestartCount><RestartDelay>" + std::to_wstring(restartDelay) +
           L"</RestartDelay></FailureRestart>";
}

// A process opened while it runs, so that its exit code can still be read
// once it has ended.
class WatchedProcess {
public:
    explicit WatchedProcess(DWORD pid)
        : process_(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid))
    {
    }
    bool Opened() const { return static_cast<bool>(process_); }
    bool WaitForEnd(DWORD timeoutMs) const { return WaitForSingleObject(process_.Get(), timeoutMs) == WAIT_OBJECT_0; }
    DWORD ExitCode() const
    {
        DWORD code = 0;
        return GetExitCodeProcess(process_.Get(), &code) ? code : static_cast<DWORD>(-1);
    }

private:
    KernelHandle process_;
};

using HostedServiceTimeLimits = LifecycleTest;

// The time limits are at least 30 s each, so both run at once: a start that
// never finishes and a stop that is never carried out. The host ends both
// processes as aborted; only the one that was starting is started again
// under its restart policy, since the other was asked to stop.
TEST_F(HostedServiceTimeLimits, AHungStartIsEndedAndRestartedAHungStopIsEndedOnly)
{
    const std::wstring policy = RestartPolicy(60, 1, 1);
    ASSERT_EQ(Create(L"lchungstart", Profile(L"lchungstart", L"--mode=hang-start", policy)), L"ACK");
    ASSERT_EQ(Create(L"lchungstop", Profile(L"lchungstop", L"--mode=ignore-stop", policy)), L"ACK");

    ASSERT_EQ(Start(L"lchungstart"), L"ACK");
    const std::vector<ServiceLogLine> hungStart = WaitForLog(L"start", L"lchungstart", 1);
    ASSERT_EQ(hungStart.size(), 1u);
    const DWORD askedAt = GetTickCount();
    WatchedProcess starting(hungStart[0].pid);
    ASSERT_TRUE(starting.Opened()) << GetLastError();

    ASSERT_EQ(Start(L"lchungstop"), L"ACK");
    ASSERT_TRUE(WaitForState(L"lchungstop", kRunning)) << Narrow(State(L"lchungstop"));
    const DWORD stoppingPid = LatestPid(L"lchungstop");
    WatchedProcess stopping(stoppingPid);
    ASSERT_TRUE(stopping.Opened()) << GetLastError();
    ASSERT_EQ(Stop(L"lchungstop"), L"CONTROL_SERVICE,SERVICE_STOP_PENDING");
    ASSERT_EQ(WaitForLog(L"stop", L"lchungstop", 1).size(), 1u);

    // Neither is given up on early.
    Sleep(5000);
    EXPECT_EQ(State(L"lchungstart"), L"SERVICE_START_PENDING");
    EXPECT_EQ(State(L"lchungstop"), kStopPending);

    ASSERT_TRUE(starting.WaitForEnd(kLeastTimeLimitMs + 30000)) << "the hung start was never ended";
    EXPECT_GE(GetTickCount() - askedAt, kLeastTimeLimitMs - 1000);
    EXPECT_EQ(starting.ExitCode(), static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    ASSERT_TRUE(stopping.WaitForEnd(30000)) << "the ignored stop was never ended";
    EXPECT_EQ(stopping.ExitCode(), static_cast<DWORD>(ERROR_PROCESS_ABORTED));

    // The one that was starting comes back after its restart delay (and
    // hangs again); the one that was stopping stays down.
    EXPECT_NE(WaitForNewPid(L"lchungstart", hungStart[0].pid), 0u);
    EXPECT_TRUE(WaitForState(L"lchungstop", kStopped)) << Narrow(State(L"lchungstop"));
    Sleep(2500); // past the restart delay
    EXPECT_EQ(State(L"lchungstop"), kStopped);
    EXPECT_EQ(LogOf(L"main", L"lchungstop").size(), 1u);
    EXPECT_EQ(LogOf(L"start", L"lchungstart").size(), 2u);
    EXPECT_TRUE(LogOf(L"exit-0").empty());

    EXPECT_EQ(Trace().EventsSinceMark(HostPid(), kTerminated, L"lchungstart"), 1);
    EXPECT_EQ(Trace().EventsSinceMark(HostPid(), kTerminated, L"lchungstop"), 1);
}

using HostedServiceRestartWindow = LifecycleTest;

// A service that dies on every start is restarted RestartCount times, each
// after RestartDelay; then it stays down until its window ends, when it is
// started once more.
TEST_F(HostedServiceRestartWindow, AServiceThatKeepsDyingIsHeldUntilTheWindowEnds)
{
    constexpr DWORD kResetPeriodMs = 14000;
    constexpr DWORD kRestartDelayMs = 2000;
    ASSERT_EQ(Create(L"lcdies", Profile(L"lcdies", L"--mode=die-in-start", RestartPolicy(14, 2, 2))), L"ACK");

    ASSERT_EQ(Start(L"lcdies"), L"ACK");
    ASSERT_EQ(WaitForLog(L"start", L"lcdies", 1).size(), 1u);
    // The window opens with the first death, right after this start.
    const DWORD firstStartAt = GetTickCount();

    // Two restarts, one delay apart.
    ASSERT_EQ(WaitForLog(L"start", L"lcdies", 3, 4 * kRestartDelayMs + 10000).size(), 3u);
    const DWORD thirdStartAt = GetTickCount();
    EXPECT_GE(thirdStartAt - firstStartAt, 2 * kRestartDelayMs - 500);
    ASSERT_LT(thirdStartAt - firstStartAt, kResetPeriodMs - 3000) << "the restarts came too slowly to judge the hold";

    // Held: nothing more until the window is nearly over.
    const DWORD holdMs = kResetPeriodMs - 2000 - (GetTickCount() - firstStartAt);
    EXPECT_EQ(WaitForLog(L"start", L"lcdies", 4, holdMs).size(), 3u)
        << "started again within a window whose restarts are used up";
    EXPECT_EQ(State(L"lcdies"), kStopped);

    // The end of the window brings one more start.
    EXPECT_EQ(WaitForLog(L"start", L"lcdies", 4, 15000).size(), 4u);
    EXPECT_GE(GetTickCount() - firstStartAt, kResetPeriodMs - 1000);
    EXPECT_GE(Trace().EventsSinceMark(HostPid(), kTerminated, L"lcdies"), 3);
}

} // namespace
} // namespace qvx::test
