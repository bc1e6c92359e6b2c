#pragma once
// The service lifecycle engine as the host and the commands call it, and
// the self-protection calls the host makes at start and stop. Each takes
// the running host's shared state.

#include <windows.h>

namespace qvx {

class HostRuntime;
class ServiceRecord;

// Sends a control the host received from the service control manager to
// every running hosted service.
void BroadcastServiceControl(HostRuntime& runtime, DWORD control, DWORD eventType, const void* eventData,
                             DWORD dataSize);

// Starts, stops or informs hosted services after MachineConditions
// changed; `startAllowed` says whether stopped services may be started.
void ApplyPowerCondition(HostRuntime& runtime, bool startAllowed);

// Asks every running DLL-hosted service to stop.
void StopDllServices(HostRuntime& runtime);

// Waits at most 15000 ms for the DLL-hosted service threads to end.
void WaitDllServices(HostRuntime& runtime);

// Removes (true) or restores (false) launch protection of a Windows
// service, with the service manager's access exception and the service's
// lockdown lifted around the change and put back as they were whatever
// happened. A service already as wanted is left alone: 0.
DWORD SetServiceLaunchProtection(const wchar_t* serviceName, bool removeProtection);

// The monitor thread's calls into exit handling and restart policy.
// SweepHostedProcesses(true) looks after the watched hosted-service
// processes each time the monitor wakes; false only wakes the monitor.
void SweepHostedProcesses(HostRuntime& runtime, bool sweep);
// A watched hosted-service process ended without releasing its mutex.
void HandleServiceTermination(HostRuntime& runtime, HANDLE mutex);
// A per-service timer of the record was signalled.
void ResetPeriodExpired(HostRuntime& runtime, ServiceRecord& record);
void RestartDelayExpired(HostRuntime& runtime, ServiceRecord& record);
void ShutdownTimeoutExpired(HostRuntime& runtime, ServiceRecord& record);
void StartupTimeoutExpired(HostRuntime& runtime, ServiceRecord& record);

// Sends the shutdown message to every hosted service, then runs the
// all-stopped check (CheckAllServicesStopped).
void BroadcastShutdown(HostRuntime& runtime);

// The start-up wave timer was signalled: starts the next wave.
void WaveTimerExpired(HostRuntime& runtime);

} // namespace qvx
