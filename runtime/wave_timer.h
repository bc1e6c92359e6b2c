#pragma once
// The start-up wave timer while one runs. The start-up decision creates it
// on the monitor thread, the wave timer handler replaces or closes it, and
// the monitor closes what is left when it ends. The monitor matches a
// signalled timer against it before the per-service timers.

#include <windows.h>

#include "platform/published_handle.h"

namespace qvx {

class MonitorWaitSet;

class WaveTimer {
public:
    // Takes ownership of `timer` and hands it to the monitor's wait set;
    // a timer held before leaves the set and is closed.
    void Arm(MonitorWaitSet& waitSet, HANDLE timer);
    // The timer leaves the wait set and is closed.
    void Close(MonitorWaitSet& waitSet);
    HANDLE Get() const noexcept { return timer_.Get(); }

private:
    PublishedHandle timer_;
};

} // namespace qvx
