#pragma once
// Start-up, run and shut-down of the management service
// (RunManagementService itself is declared in host/management_service.h):
// the stop sequence, the process-wide state the run creates, and the calls
// the run makes into other parts, replaceable by tests.

#include <windows.h>

namespace qvx {

class AacCallback;
class AacObject;
class ManagementService;
class ServiceTable;

// Waits on the stop event for `timeoutMs`. False only when the time ran out
// with the event not set. Once the event is set it runs the stop sequence:
// waits for the DLL-hosted services, tells the qvxfwsvc and then the
// qvxtrust proxy to stop, sets the monitor stop event and waits at most
// 2000 ms for the monitor thread (terminating it after that, while holding
// the wait-list lock so that it cannot die in the middle of a list change), then
// takes back the IP interface watch and the handle release it was given
// and closes its handle. A failed wait is traced and answers true.
bool WaitForServiceStop(ManagementService& service, DWORD timeoutMs = INFINITE);

// The calls RunManagementService makes outside itself.
struct ManagementRunCalls {
    // Body of the registry lockdown thread for the named service.
    void (*applyStoredLockdown)(const wchar_t* serviceName);
    // Whether the named Windows service is configured launch-protected.
    bool (*queryServiceLaunchProtection)(const wchar_t* serviceName);
    // The management service's access-control object; 0 or the error.
    DWORD (*openAccessControl)(AacObject** object);
    // The legacy-host rules at start-up: the coexistence policy (before the
    // callback is registered) and the probe of the legacy host's mutexes.
    void (*registerLegacyHostPolicy)(ManagementService& service, AacObject& object);
    void (*probeLegacyHostMutexes)(ManagementService& service);
    // What receives the access-control object's notifications.
    AacCallback* (*accessControlCallback)(ManagementService& service);
    DWORD (*loadServiceTable)(ServiceTable& table, bool firstStartSinceBoot);
    bool (*setupPowerNotifications)(ManagementService& service);
    // The monitor thread's routine, given the monitor start block.
    LPTHREAD_START_ROUTINE monitorThreadProc;
    // The control pipe's name.
    const wchar_t* pipeName;
};

// The calls in force.
const ManagementRunCalls& ManagementRunEngineCalls() noexcept;
// Test seam: nullptr restores the real calls.
void SetManagementRunCalls(const ManagementRunCalls* calls) noexcept;

} // namespace qvx
