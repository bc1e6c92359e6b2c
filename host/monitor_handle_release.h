#pragma once
// The monitor thread's handle release. While the monitor runs, a released
// per-service timer or service mutex may still be in the wait array the
// monitor is blocked on, so it is not closed at once: it leaves the mutex
// and timer lists and goes to the deferred close, which the monitor empties
// before it builds its next wait array.

#include "host/monitor_wait_set.h"
#include "model/handle_release.h"

namespace qvx {

class MonitorHandleRelease final : public HandleRelease {
public:
    explicit MonitorHandleRelease(MonitorWaitSet& waitSet) noexcept : waitSet_(waitSet) {}

    void ReleaseTimer(HANDLE timer) override;
    void ReleaseServiceMutex(HANDLE mutex) override;

private:
    MonitorWaitSet& waitSet_;
};

// Installs a MonitorHandleRelease for its lifetime and puts the default
// release back afterwards.
class ScopedMonitorHandleRelease {
public:
    explicit ScopedMonitorHandleRelease(MonitorWaitSet& waitSet) noexcept;
    ~ScopedMonitorHandleRelease();
    ScopedMonitorHandleRelease(const ScopedMonitorHandleRelease&) = delete;
    ScopedMonitorHandleRelease& operator=(const ScopedMonitorHandleRelease&) = delete;

private:
    MonitorHandleRelease release_;
};

} // namespace qvx
