#include "runtime/stop_state.h"

#include <gtest/gtest.h>

#include "platform/handles.h"
#include "platform/published_handle.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

bool IsSet(const PublishedHandle& event)
{
    return WaitForSingleObject(event.Get(), 0) == WAIT_OBJECT_0;
}

TEST(StopState, AStopRequestedBeforeTheEventExistsIsAppliedWhenItIsCreated)
{
    StopState stop;
    test::TraceCapture traces;
    stop.RequestStop();
    EXPECT_TRUE(traces.Contains(trace::kWarning, L"kept for start-up")) << traces.Dump();
    ASSERT_TRUE(stop.CreateStopEvent());
    EXPECT_TRUE(IsSet(stop.StopEvent()));
}

TEST(StopState, ARequestSetsTheEventAndIsNotKeptBeyondIt)
{
    StopState stop;
    ASSERT_TRUE(stop.CreateStopEvent());
    EXPECT_FALSE(IsSet(stop.StopEvent()));
    stop.RequestStop();
    EXPECT_TRUE(IsSet(stop.StopEvent()));

    // A later run's event of the same object starts clear.
    stop.CloseStopEvent();
    ASSERT_TRUE(stop.CreateStopEvent());
    EXPECT_FALSE(IsSet(stop.StopEvent()));
}

TEST(StopState, RunEventsAreAutoResetAndClosedTogether)
{
    StopState stop;
    ASSERT_TRUE(stop.CreateRunEvents());
    for (const PublishedHandle* event : {&stop.ShutdownEvent(), &stop.MonitorStopEvent(), &stop.ShutdownDoneEvent()}) {
        ASSERT_TRUE(event->Signal());
        EXPECT_TRUE(IsSet(*event));
        EXPECT_FALSE(IsSet(*event)) << "auto reset";
    }
    stop.CloseRunEvents();
    EXPECT_FALSE(stop.ShutdownEvent());
    EXPECT_FALSE(stop.MonitorStopEvent());
    EXPECT_FALSE(stop.ShutdownDoneEvent());
}

// A thread that must wait on a handle it does not own takes a duplicate,
// which stays usable after the owner has closed the original.
TEST(PublishedHandle, ADuplicateOutlivesTheOwnersClose)
{
    PublishedHandle owned;
    owned.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    KernelHandle copy = owned.Duplicate();
    ASSERT_TRUE(copy);
    ASSERT_TRUE(owned.Signal());
    owned.Reset();
    EXPECT_FALSE(owned.Signal());
    EXPECT_EQ(WaitForSingleObject(copy.Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_FALSE(owned.Duplicate());
}

} // namespace
} // namespace qvx
