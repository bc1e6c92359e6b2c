// Stand-ins for engine and self-protection calls that the host already
// makes. Each only traces; the engine and protection code replace them.
#include "host/engine_calls.h"

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

} // namespace qvx
