#pragma once
// What follows a hosted service's change of state: the reports a service
// makes over the control pipe (SET_SERVICE_STATUS) and the end of a service
// whose process went away. The caller holds the table lock (shared is
// enough) so that the records stay in the table; no record lock is held.

#include <windows.h>

#include "model/service_enums.h"

namespace qvx {

class HostRuntime;
class ServiceRecord;

// After a service reached SERVICE_STOPPED and let go of its handles:
// clears StopRequested and DependencyFailed, goes on with the stops that
// waited for this one (services it depends on whose stop is requested),
// starts the share-process services waiting for it as their host, and runs
// the all-stopped check.
void ContinueStoppedService(HostRuntime& runtime, ServiceRecord& record);

// Applies a state a hosted service reported for itself, with everything
// that follows from it (events, timers, waiters, restarts of services whose
// dependency failed). A state the transition rule refuses changes nothing
// but what follows from the state the record is in afterwards.
void ApplyServiceStatusReport(HostRuntime& runtime, ServiceRecord& record, ServiceState reported);

} // namespace qvx
