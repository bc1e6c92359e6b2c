#include "runtime/wave_timer.h"

#include "runtime/monitor_wait_set.h"

namespace qvx {

void WaveTimer::Arm(MonitorWaitSet& waitSet, HANDLE timer)
{
    waitSet.RemoveTimer(timer_.Get());
    timer_.Reset(timer);
    waitSet.AddTimer(timer);
}

void WaveTimer::Close(MonitorWaitSet& waitSet)
{
    // The wave timer is closed on the monitor thread only, so it cannot be
    // in a wait that is under way.
    waitSet.RemoveTimer(timer_.Get());
    timer_.Reset();
}

} // namespace qvx
