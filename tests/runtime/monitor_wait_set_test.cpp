#include <gtest/gtest.h>

#include "runtime/monitor_wait_set.h"
#include "model/handle_release.h"
#include "platform/handles.h"

namespace qvx {
namespace {

bool WakeSet(const MonitorWaitSet& waitSet)
{
    return WaitForSingleObject(waitSet.WakeEvent(), 0) == WAIT_OBJECT_0;
}

TEST(MonitorWaitSet, ChangesWakeTheMonitorAndDuplicatesAreIgnored)
{
    MonitorWaitSet waitSet;
    KernelHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
    KernelHandle timer(CreateWaitableTimerW(nullptr, TRUE, nullptr));
    ASSERT_TRUE(mutex && timer);
    EXPECT_FALSE(WakeSet(waitSet));

    struct Step {
        const char* name;
        bool (MonitorWaitSet::*operation)(HANDLE);
        HANDLE handle;
        bool changes;
    };
    const Step steps[] = {
        {"add mutex", &MonitorWaitSet::AddMutex, mutex.Get(), true},
        {"add mutex again", &MonitorWaitSet::AddMutex, mutex.Get(), false},
        {"add timer", &MonitorWaitSet::AddTimer, timer.Get(), true},
        {"add timer again", &MonitorWaitSet::AddTimer, timer.Get(), false},
        {"add null", &MonitorWaitSet::AddTimer, nullptr, false},
        {"remove timer that is a mutex", &MonitorWaitSet::RemoveTimer, mutex.Get(), false},
        {"remove mutex", &MonitorWaitSet::RemoveMutex, mutex.Get(), true},
        {"remove mutex again", &MonitorWaitSet::RemoveMutex, mutex.Get(), false},
        {"remove timer", &MonitorWaitSet::RemoveTimer, timer.Get(), true},
    };
    for (const Step& step : steps) {
        EXPECT_EQ((waitSet.*step.operation)(step.handle), step.changes) << step.name;
        EXPECT_EQ(WakeSet(waitSet), step.changes) << step.name;
    }
    EXPECT_TRUE(waitSet.Mutexes().empty());
    EXPECT_TRUE(waitSet.Timers().empty());
}

TEST(MonitorWaitSet, ListsKeepTheirOrder)
{
    MonitorWaitSet waitSet;
    KernelHandle a(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    KernelHandle b(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    KernelHandle c(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    waitSet.AddTimer(a.Get());
    waitSet.AddTimer(b.Get());
    waitSet.AddTimer(c.Get());
    waitSet.RemoveTimer(b.Get());
    EXPECT_EQ(waitSet.Timers(), (std::vector<HANDLE>{a.Get(), c.Get()}));
}

TEST(MonitorWaitSet, DeferredCloseLeavesTheListsAtOnceAndClosesLater)
{
    MonitorWaitSet waitSet;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE unlisted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(mutex && unlisted);
    waitSet.AddMutex(mutex);
    WakeSet(waitSet);

    waitSet.DeferClose(mutex);
    EXPECT_FALSE(waitSet.HasMutex(mutex));
    EXPECT_TRUE(WakeSet(waitSet)) << "the monitor may still be waiting on the handle";
    waitSet.DeferClose(unlisted);
    waitSet.DeferClose(unlisted);
    EXPECT_EQ(waitSet.DeferredCount(), 2u) << "a handle deferred twice would be closed twice";

    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(mutex, &flags)) << "closed before the monitor's next build";
    waitSet.CloseDeferred();
    EXPECT_EQ(waitSet.DeferredCount(), 0u);
    EXPECT_FALSE(GetHandleInformation(mutex, &flags));
    EXPECT_FALSE(GetHandleInformation(unlisted, &flags));
}

// While the monitor runs the wait set is the process's handle release: a
// released timer or mutex leaves the lists at once and waits for the
// monitor's next build to be closed.
TEST(MonitorWaitSet, AsTheHandleReleaseItDefersTheClose)
{
    MonitorWaitSet waitSet;
    HANDLE timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_TRUE(waitSet.AddTimer(timer));
    ASSERT_TRUE(waitSet.AddMutex(mutex));
    HandleRelease* previous = InstallHandleRelease(&waitSet);
    CurrentHandleRelease().ReleaseTimer(timer);
    CurrentHandleRelease().ReleaseServiceMutex(mutex);
    InstallHandleRelease(previous);

    EXPECT_FALSE(waitSet.HasTimer(timer));
    EXPECT_FALSE(waitSet.HasMutex(mutex));
    EXPECT_EQ(waitSet.DeferredCount(), 2u);
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(timer, &flags));
    waitSet.CloseDeferred();
    EXPECT_FALSE(GetHandleInformation(timer, &flags));
    EXPECT_FALSE(GetHandleInformation(mutex, &flags));
}

} // namespace
} // namespace qvx
