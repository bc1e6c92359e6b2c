#pragma once
// Taking a hosted service's handles out of the monitor's watch. The
// monitor may be blocked on any of them: each leaves the monitor's lists
// before it is released, so that a handle closed directly (no monitor
// running) never stays listed, and one whose close is deferred (monitor
// running) is not waited on again.

#include "model/service_record.h"

namespace qvx {

class HostRuntime;

// Takes the service mutex and the start-up and shutdown timers out of the
// monitor's lists, then lets go of the process and releases those three
// handles (ReleaseProcessHandles, which also clears StopRequested). Holds
// the record lock.
void UnwatchServiceProcess(HostRuntime& runtime, ServiceRecord& record);

// Takes the slot's timer out of the monitor's timer list and releases it.
// Holds the record lock.
void DropServiceTimer(HostRuntime& runtime, ServiceRecord& record, ServiceTimer slot);

// Hands the slot's timer to the monitor; false when the slot is empty.
bool WatchServiceTimer(HostRuntime& runtime, const ServiceRecord& record, ServiceTimer slot);

} // namespace qvx
