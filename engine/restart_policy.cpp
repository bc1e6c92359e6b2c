#include "engine/restart_policy.h"

#include <cstdint>

#include "engine/launcher.h"
#include "engine/service_watch.h"
#include "model/service_record.h"
#include "model/service_timers.h"
#include "platform/trace.h"
#include "runtime/host_runtime.h"

namespace qvx {

bool RestartPolicyInForce(const ServiceRecord& record)
{
    return record.GetResetPeriod() != 0 && static_cast<int32_t>(record.GetRestartCount()) > 0 &&
           record.GetRestartDelay() != 0;
}

bool MayRestart(const ServiceRecord& record)
{
    return !record.GetDisabled() && !record.GetUserStopped();
}

bool OpenRestartWindowFor(HostRuntime& runtime, ServiceRecord& record)
{
    RecordLock guard(record);
    if (!RestartPolicyInForce(record) || !record.OpenRestartWindow())
        return false;
    // A timer left from a window that closed without it is not watched any
    // more; it must not be closed while still listed.
    DropServiceTimer(runtime, record, ServiceTimer::kResetPeriod);
    if (!CreateResetPeriodTimer(record))
        return false; // traced where the creation failed
    if (!ArmResetPeriodTimer(record)) {
        ReleaseResetPeriodTimer(record);
        return false;
    }
    WatchServiceTimer(runtime, record, ServiceTimer::kResetPeriod);
    QVX_TRACE(trace::kInfo, 1, L"restart window opened", record.GetName(), record.GetResetPeriod());
    return true;
}

bool ScheduleRestart(HostRuntime& runtime, ServiceRecord& record)
{
    RecordLock guard(record);
    DropServiceTimer(runtime, record, ServiceTimer::kRestartDelay);
    if (!CreateRestartDelayTimer(record))
        return false;
    if (!ArmRestartDelayTimer(record)) {
        ReleaseRestartDelayTimer(record);
        return false;
    }
    WatchServiceTimer(runtime, record, ServiceTimer::kRestartDelay);
    QVX_TRACE(trace::kInfo, 2, L"restart scheduled", record.GetName(), record.GetRestartDelay(),
              record.GetRestartsInWindow());
    return true;
}

DWORD RestartService(HostRuntime& runtime, ServiceRecord& record)
{
    const DWORD error = StartHostedServiceAndRecord(runtime, &record);
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 3, L"the restart failed", record.GetName(), error);
    else
        QVX_TRACE(trace::kInfo, 4, L"service restarted", record.GetName(), record.GetRestartsInWindow());
    return error;
}

} // namespace qvx
