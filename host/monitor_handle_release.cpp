#include "host/monitor_handle_release.h"

namespace qvx {

void MonitorHandleRelease::ReleaseTimer(HANDLE timer)
{
    waitSet_.DeferClose(timer);
}

void MonitorHandleRelease::ReleaseServiceMutex(HANDLE mutex)
{
    waitSet_.DeferClose(mutex);
}

ScopedMonitorHandleRelease::ScopedMonitorHandleRelease(MonitorWaitSet& waitSet) noexcept : release_(waitSet)
{
    InstallHandleRelease(&release_);
}

ScopedMonitorHandleRelease::~ScopedMonitorHandleRelease()
{
    InstallHandleRelease(nullptr);
}

} // namespace qvx
