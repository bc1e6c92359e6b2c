#include "engine/service_watch.h"

#include "runtime/host_runtime.h"

namespace qvx {

void UnwatchServiceProcess(HostRuntime& runtime, ServiceRecord& record)
{
    RecordLock guard(record);
    runtime.waitSet.RemoveMutex(record.GetServiceMutex());
    runtime.waitSet.RemoveTimer(record.GetTimer(ServiceTimer::kShutdown));
    runtime.waitSet.RemoveTimer(record.GetTimer(ServiceTimer::kStartup));
    record.ReleaseProcessHandles();
}

void DropServiceTimer(HostRuntime& runtime, ServiceRecord& record, ServiceTimer slot)
{
    RecordLock guard(record);
    runtime.waitSet.RemoveTimer(record.GetTimer(slot));
    record.ReleaseTimer(slot);
}

bool WatchServiceTimer(HostRuntime& runtime, const ServiceRecord& record, ServiceTimer slot)
{
    const HANDLE timer = record.GetTimer(slot);
    if (!timer)
        return false;
    runtime.waitSet.AddTimer(timer);
    return true;
}

} // namespace qvx
