// The engine and self-protection operations that are not built yet. Each
// says so in a warning trace and does nothing else, except where a caller
// would otherwise wait for an outcome that can never come.
#include "engine/engine_calls.h"

#include "model/service_record.h"
#include "platform/trace.h"
#include "runtime/host_runtime.h"

namespace qvx {

void StopDllServices(HostRuntime& /*runtime*/)
{
    QVX_TRACE(trace::kWarning, 3, L"not built: StopDllServices");
}

void WaitDllServices(HostRuntime& /*runtime*/)
{
    QVX_TRACE(trace::kWarning, 4, L"not built: WaitDllServices");
}

DWORD SetServiceLaunchProtection(const wchar_t* serviceName, bool removeProtection)
{
    QVX_TRACE(trace::kWarning, 5, L"not built: SetServiceLaunchProtection", serviceName, removeProtection);
    return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD SetLockdown(const wchar_t* serviceName, bool lock)
{
    QVX_TRACE(trace::kWarning, 6, L"not built: SetLockdown", serviceName, lock);
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void SweepHostedProcesses(HostRuntime& /*runtime*/, bool sweep)
{
    // Runs at every wake of the monitor: verbose, or it would drown the trace.
    QVX_TRACE(trace::kVerbose, 7, L"not built: SweepHostedProcesses", sweep);
}

void HandleServiceTermination(HostRuntime& /*runtime*/, HANDLE mutex)
{
    QVX_TRACE(trace::kWarning, 8, L"not built: HandleServiceTermination; the service is not restarted",
              static_cast<const void*>(mutex));
}

void ResetPeriodExpired(HostRuntime& /*runtime*/, ServiceRecord& record)
{
    QVX_TRACE(trace::kWarning, 9, L"not built: ResetPeriodExpired", record.GetName());
}

void RestartDelayExpired(HostRuntime& /*runtime*/, ServiceRecord& record)
{
    QVX_TRACE(trace::kWarning, 10, L"not built: RestartDelayExpired", record.GetName());
}

void ShutdownTimeoutExpired(HostRuntime& /*runtime*/, ServiceRecord& record)
{
    QVX_TRACE(trace::kWarning, 11, L"not built: ShutdownTimeoutExpired", record.GetName());
}

void StartupTimeoutExpired(HostRuntime& /*runtime*/, ServiceRecord& record)
{
    QVX_TRACE(trace::kWarning, 12, L"not built: StartupTimeoutExpired", record.GetName());
}

void WaveTimerExpired(HostRuntime& runtime)
{
    QVX_TRACE(trace::kWarning, 14, L"not built: WaveTimerExpired; the wave timer is closed");
    // Nothing would ever reset the timer: closing it keeps the monitor from
    // waking on it again and again.
    runtime.waveTimer.Close(runtime.waitSet);
}

} // namespace qvx
