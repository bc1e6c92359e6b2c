// What happens when one of a hosted service's four timers runs out. The
// monitor calls these with the table lock held shared.
#include <cstdint>
#include <memory>

#include "engine/engine_calls.h"
#include "engine/restart_policy.h"
#include "engine/service_watch.h"
#include "model/hosted_process.h"
#include "model/service_record.h"
#include "model/service_timers.h"
#include "platform/trace.h"
#include "runtime/host_runtime.h"

namespace qvx {
namespace {

// Ends a process that overran its time-out; its end then reaches the
// termination handling through its abandoned mutex.
void TerminateOverrun(ServiceRecord& record, const wchar_t* what)
{
    if (record.GetServiceType() == WinServiceType::kUserDll)
        return;
    const std::shared_ptr<HostedProcess> process = record.Process();
    if (!process || !process->HasProcessHandle()) {
        QVX_TRACE(trace::kWarning, 1, L"time-out of a service without a process", record.GetName(), what);
        return;
    }
    QVX_TRACE(trace::kWarning, 2, L"time-out: the service's process is ended", record.GetName(), what,
              process->ProcessId());
    if (!TerminateProcess(process->ProcessHandle(), ERROR_PROCESS_ABORTED))
        QVX_TRACE(trace::kWarning, 3, L"TerminateProcess failed", record.GetName(), GetLastError());
}

constexpr DWORD kMostRestartsCounted = 0x7FFFFFFF;

void CloseRestartWindow(HostRuntime& runtime, ServiceRecord& record)
{
    RecordLock guard(record);
    DropServiceTimer(runtime, record, ServiceTimer::kResetPeriod);
    record.SetRestartsInWindow(0);
    record.SetResetWindowActive(false);
}

// Renews the window for another ResetPeriod. A window whose timer cannot be
// armed again is closed: no timer would ever end it, and it would hold the
// service to its restart count for good.
bool RenewRestartWindow(HostRuntime& runtime, ServiceRecord& record)
{
    RecordLock guard(record);
    record.SetResetWindowActive(true);
    if (ArmResetPeriodTimer(record))
        return true;
    CloseRestartWindow(runtime, record);
    return false;
}

// The crash restart of a service that is not to start any more is over.
void AbandonRestart(ServiceRecord& record)
{
    QVX_TRACE(trace::kInfo, 5, L"restart dropped: the service was disabled or stopped meanwhile", record.GetName(),
              record.GetDisabled(), record.GetUserStopped());
    record.SetCrashed(false);
}

} // namespace

void StartupTimeoutExpired(HostRuntime& runtime, ServiceRecord& record)
{
    // Released first: a manual-reset timer stays signalled.
    DropServiceTimer(runtime, record, ServiceTimer::kStartup);
    TerminateOverrun(record, L"start-up");
}

void ShutdownTimeoutExpired(HostRuntime& runtime, ServiceRecord& record)
{
    DropServiceTimer(runtime, record, ServiceTimer::kShutdown);
    TerminateOverrun(record, L"shutdown");
}

void RestartDelayExpired(HostRuntime& runtime, ServiceRecord& record)
{
    const bool allowed = record.RestartAllowed();
    DropServiceTimer(runtime, record, ServiceTimer::kRestartDelay);
    if (!allowed) {
        QVX_TRACE(trace::kInfo, 4, L"restart dropped: the window's restarts are used up", record.GetName());
        return;
    }
    if (!MayRestart(record)) {
        AbandonRestart(record);
        return;
    }
    // Counted up to the largest signed count and no further: a count that
    // wrapped would compare as fewer restarts than allowed.
    const DWORD restarts = record.GetRestartsInWindow();
    if (restarts < kMostRestartsCounted)
        record.SetRestartsInWindow(restarts + 1);
    const DWORD error = RestartService(runtime, record);
    // A share-process service may have met its host on the way out; it is
    // tried again. A service disabled meanwhile is not.
    if (error != ERROR_SUCCESS && error != ERROR_SERVICE_NOT_ACTIVE &&
        record.GetServiceType() == WinServiceType::kShareProcess)
        ScheduleRestart(runtime, record);
}

void ResetPeriodExpired(HostRuntime& runtime, ServiceRecord& record)
{
    const bool renewed = RenewRestartWindow(runtime, record);
    if (record.GetCrashed() && !MayRestart(record))
        AbandonRestart(record);
    // In 64 bits: the count plus one must not wrap to a small number.
    const bool due = uint64_t{record.GetRestartsInWindow()} + 1 >= record.GetRestartCount();
    if (record.GetCrashed() && due && record.GetState() != ServiceState::kRunning) {
        if (renewed)
            record.SetRestartsInWindow(1);
        RestartService(runtime, record);
        return;
    }
    CloseRestartWindow(runtime, record);
}

} // namespace qvx
