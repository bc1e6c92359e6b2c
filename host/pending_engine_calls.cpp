// Stand-ins for engine and self-protection calls that the host already
// makes. Each only traces; the engine and protection code replace them.
#include "host/engine_calls.h"

#include "host/monitor_thread.h"
#include "platform/trace.h"

namespace qvx {

void BroadcastServiceControl(DWORD control, DWORD eventType, const void* /*eventData*/, DWORD dataSize)
{
    QVX_TRACE(trace::kVerbose, 1, L"BroadcastServiceControl not yet wired", control, eventType, dataSize);
}

void ApplyPowerCondition(bool startAllowed)
{
    QVX_TRACE(trace::kVerbose, 2, L"ApplyPowerCondition not yet wired", startAllowed);
}

void StopDllServices()
{
    QVX_TRACE(trace::kVerbose, 3, L"StopDllServices not yet wired");
}

void WaitDllServices()
{
    QVX_TRACE(trace::kVerbose, 4, L"WaitDllServices not yet wired");
}

DWORD SetServiceLaunchProtection(const wchar_t* serviceName, bool removeProtection)
{
    QVX_TRACE(trace::kVerbose, 5, L"SetServiceLaunchProtection not yet wired", serviceName, removeProtection);
    return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD SetLockdown(const wchar_t* serviceName, bool lock)
{
    QVX_TRACE(trace::kVerbose, 6, L"SetLockdown not yet wired", serviceName, lock);
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void SweepHostedProcesses(bool sweep)
{
    QVX_TRACE(trace::kVerbose, 7, L"SweepHostedProcesses not yet wired", sweep);
}

void HandleServiceTermination(HANDLE mutex)
{
    QVX_TRACE(trace::kVerbose, 8, L"HandleServiceTermination not yet wired", static_cast<const void*>(mutex));
}

void ResetPeriodExpired(ServiceRecord& record)
{
    QVX_TRACE(trace::kVerbose, 9, L"ResetPeriodExpired not yet wired", static_cast<const void*>(&record));
}

void RestartDelayExpired(ServiceRecord& record)
{
    QVX_TRACE(trace::kVerbose, 10, L"RestartDelayExpired not yet wired", static_cast<const void*>(&record));
}

void ShutdownTimeoutExpired(ServiceRecord& record)
{
    QVX_TRACE(trace::kVerbose, 11, L"ShutdownTimeoutExpired not yet wired", static_cast<const void*>(&record));
}

void StartupTimeoutExpired(ServiceRecord& record)
{
    QVX_TRACE(trace::kVerbose, 12, L"StartupTimeoutExpired not yet wired", static_cast<const void*>(&record));
}

void BroadcastShutdown()
{
    QVX_TRACE(trace::kVerbose, 13, L"BroadcastShutdown not yet wired");
    // The broadcast ends with the all-stopped check, so that a shutdown
    // waits no longer than the hosted services' own stops.
    CheckAllServicesStopped();
}

void WaveTimerExpired()
{
    QVX_TRACE(trace::kVerbose, 14, L"WaveTimerExpired not yet wired");
}

} // namespace qvx
