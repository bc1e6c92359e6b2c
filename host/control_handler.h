#pragma once
// The management service's control handler: stop and shutdown start the
// stop sequence, power events keep MachineConditions up to date, and the
// other events the service accepts are forwarded to the hosted services.

#include <windows.h>

namespace qvx {

class HostRuntime;

// HandlerEx of qvxsvh; `context` is the ManagementService. 0, or
// ERROR_CALL_NOT_IMPLEMENTED for controls the service does not handle.
DWORD WINAPI ManagementServiceHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// The engine calls the handler makes, replaceable by tests.
struct ControlHandlerCalls {
    void (*broadcastServiceControl)(HostRuntime& runtime, DWORD control, DWORD eventType, const void* eventData,
                                    DWORD dataSize);
    void (*applyPowerCondition)(HostRuntime& runtime, bool startAllowed);
    void (*stopDllServices)(HostRuntime& runtime);
};

// Test seam: nullptr restores the engine's functions.
void SetControlHandlerCalls(const ControlHandlerCalls* calls) noexcept;

} // namespace qvx
