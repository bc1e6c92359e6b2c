#pragma once
// The service monitor thread: the one thread that watches the management
// service's events, the mutexes of watched hosted-service processes, the
// armed per-service timers, the start-up wave timer and the memory
// notification, and hands each signalled handle to the code that owns it.
// Other threads hand it handles through the runtime's wait set. Nothing
// another thread reaches lives on its stack, and it holds no lock across
// its wait.

#include <windows.h>

#include <cstdint>

namespace qvx {

class HostRuntime;
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
// (DWORD)-1 without a start block, without the management service or with
// an event count other than 3.
DWORD WINAPI ServiceMonThreadProc(void* startBlock);

// What the monitor calls outside itself, replaceable by tests.
struct MonitorCalls {
    void (*runStartupDecision)(ManagementService& service);
    void (*sweepHostedProcesses)(HostRuntime& runtime, bool sweep);
    void (*handleServiceTermination)(HostRuntime& runtime, HANDLE mutex);
    void (*resetPeriodExpired)(HostRuntime& runtime, ServiceRecord& record);
    void (*restartDelayExpired)(HostRuntime& runtime, ServiceRecord& record);
    void (*shutdownTimeoutExpired)(HostRuntime& runtime, ServiceRecord& record);
    void (*startupTimeoutExpired)(HostRuntime& runtime, ServiceRecord& record);
    void (*waveTimerExpired)(HostRuntime& runtime);
    void (*broadcastShutdown)(HostRuntime& runtime);
    void (*applyPowerCondition)(HostRuntime& runtime, bool startAllowed);
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
