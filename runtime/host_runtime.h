#pragma once
// The state the running host shares between its threads: the monitor's
// wait set, the machine-condition word, the stop state, the start-up wave
// timer and the published service table. The management service owns the
// one object and hands it down: to the monitor in its start block, to the
// control handler as its context, to the command handlers through the
// control pipe's dispatch, and to the engine with every call.

#include <atomic>

#include "runtime/machine_conditions.h"
#include "runtime/monitor_wait_set.h"
#include "runtime/stop_state.h"
#include "runtime/wave_timer.h"

namespace qvx {

class ServiceTable;

class HostRuntime {
public:
    HostRuntime() = default;
    HostRuntime(const HostRuntime&) = delete;
    HostRuntime& operator=(const HostRuntime&) = delete;

    MonitorWaitSet waitSet;
    MachineConditions conditions;
    StopState stop;
    WaveTimer waveTimer;

    // The table the commands and the engine work on while the host serves
    // it; null before start-up publishes it and after the run withdraws it.
    // The table must outlive its publication.
    void PublishTable(ServiceTable* table) noexcept { table_.store(table); }
    ServiceTable* Table() const noexcept { return table_.load(); }

    // Whether the management service itself runs launch-protected; set at
    // start-up, read by the launch code.
    std::atomic<bool> launchProtectedSelf{false};
    // Whether a legacy host runs beside this one: then a profile for the
    // trust service is not applied.
    std::atomic<bool> legacyHostPresent{false};
    // True once the last start-up wave has been started or no waves are
    // needed; the monitor clears it when it starts. The power-state
    // handling starts nothing on its own before the waves are through.
    std::atomic<bool> startupComplete{false};

private:
    std::atomic<ServiceTable*> table_{nullptr};
};

// The all-stopped check: while the machine shuts down, sets the
// shutdown-done event once every hosted service of the published table is
// SERVICE_STOPPED or SERVICE_POST_SHUTDOWN. Called at the end of the
// shutdown broadcast and whenever a hosted service reports its state.
void CheckAllServicesStopped(HostRuntime& runtime);

} // namespace qvx
