#pragma once
// The service monitor thread: the one thread that watches the management
// service's events, the mutexes of watched hosted-service processes, the
// armed per-service timers, the start-up wave timer and the memory
// notification, and hands each signalled handle to the code that owns it.
// Other threads hand it handles through ProcessMonitorWaitSet().

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "protocol/pipe_server.h"

namespace qvx {

class ManagementService;
class ServiceRecord;
class ServiceTable;

struct MonitorStartBlock {           // seven words, copied by the thread at start
    ServiceTable* table;
    HANDLE shutdownEvent;
    HANDLE monitorStopEvent;
    HANDLE wakeUpEvent;
    DWORD eventCount;                // must be 3
    ManagementService* service;
    HANDLE shutdownDoneEvent;
};

// The thread routine. Returns 0 when its monitor stop event ended it, and
// (DWORD)-1 without a start block or with an event count other than 3.
DWORD WINAPI ServiceMonThreadProc(void* startBlock);

// Whether the machine has an operational network adapter other than the
// loopback and tunnel adapters (network_state.h).
bool IsNetworkAvailable();

// The control-pipe instances the monitor starts, with Dispatch as their
// callback, before it enters its wait loop, and stops when it ends. Set by
// start-up before the thread starts; null leaves the pipe servers alone.
void SetMonitorPipeServers(PipeServerList* servers) noexcept;

// The start-up wave timer while one runs. The start-up decision creates it
// on the monitor thread and sets it here; the wave timer handler sets null
// when it closes the timer; the monitor closes what is left when it ends.
void SetWaveTimer(HANDLE timer) noexcept;
HANDLE WaveTimer() noexcept;

// The service table the monitor works on, published when it starts; null
// before.
ServiceTable* MonitoredServiceTable() noexcept;

// Set to 1 when the machine shuts down (the monitor saw the shutdown
// event); read by the launch and exit handling.
extern std::atomic<uint32_t> g_shuttingDown;

// The all-stopped check: while the machine shuts down, sets the
// shutdown-done event once every hosted service is SERVICE_STOPPED or
// SERVICE_POST_SHUTDOWN. Called at the end of the shutdown broadcast and
// whenever a hosted service reports its state.
void CheckAllServicesStopped();

// What the monitor calls outside itself, replaceable by tests.
struct MonitorCalls {
    void (*runStartupDecision)(ManagementService& service);
    void (*sweepHostedProcesses)(bool sweep);
    void (*handleServiceTermination)(HANDLE mutex);
    void (*resetPeriodExpired)(ServiceRecord& record);
    void (*restartDelayExpired)(ServiceRecord& record);
    void (*shutdownTimeoutExpired)(ServiceRecord& record);
    void (*startupTimeoutExpired)(ServiceRecord& record);
    void (*waveTimerExpired)();
    void (*broadcastShutdown)();
    void (*applyPowerCondition)(bool startAllowed);
};

// The calls in force.
const MonitorCalls& MonitorEngineCalls() noexcept;
// Test seam: nullptr restores the real calls.
void SetMonitorCalls(const MonitorCalls* calls) noexcept;

// Failure codes of the monitor thread in the diagnostic block.
namespace monitor_failure {
inline constexpr uint32_t kAbandonedOutsideMutexes = 0x0A0A0A01;
inline constexpr uint32_t kTimeout = 0x0A0A0A02;
inline constexpr uint32_t kWaitFailed = 0x0A0A0A03;
inline constexpr uint32_t kUnknownTimer = 0x0A0A0A04;
inline constexpr uint32_t kInvalidResult = 0x0A0A0A05;
} // namespace monitor_failure

} // namespace qvx
