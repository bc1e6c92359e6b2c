#pragma once
// Calls from the service host into the service lifecycle engine and the
// self-protection code. Their bodies live in pending_engine_calls.cpp until
// those parts of the system take them over.

#include <windows.h>

namespace qvx {

class ServiceRecord;

// Sends a control the host received from the service control manager to
// every running hosted service.
void BroadcastServiceControl(DWORD control, DWORD eventType, const void* eventData, DWORD dataSize);

// Starts, stops or informs hosted services after MachineConditions
// changed; `startAllowed` says whether stopped services may be started.
void ApplyPowerCondition(bool startAllowed);

// Asks every running DLL-hosted service to stop.
void StopDllServices();

// Waits at most 15000 ms for the DLL-hosted service threads to end.
void WaitDllServices();

// Removes (true) or restores (false) launch protection of a Windows service.
DWORD SetServiceLaunchProtection(const wchar_t* serviceName, bool removeProtection);

// Locks (true) or unlocks (false) the service object of a Windows service.
DWORD SetLockdown(const wchar_t* serviceName, bool lock);

// The monitor thread's calls into exit handling and restart policy.
// SweepHostedProcesses(true) looks after the watched hosted-service
// processes each time the monitor wakes; false only wakes the monitor.
void SweepHostedProcesses(bool sweep);
// A watched hosted-service process ended without releasing its mutex.
void HandleServiceTermination(HANDLE mutex);
// A per-service timer of the record was signalled.
void ResetPeriodExpired(ServiceRecord& record);
void RestartDelayExpired(ServiceRecord& record);
void ShutdownTimeoutExpired(ServiceRecord& record);
void StartupTimeoutExpired(ServiceRecord& record);

// Sends the shutdown message to every hosted service, then runs the
// all-stopped check (CheckAllServicesStopped).
void BroadcastShutdown();

// The start-up wave timer was signalled: starts the next wave.
void WaveTimerExpired();

} // namespace qvx
