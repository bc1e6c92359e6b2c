#pragma once
// What follows a hosted service's change of state: the reports a service
// makes over the control pipe (SET_SERVICE_STATUS) and the end of a service
// whose process went away. The caller holds the table lock (shared is
// enough) so that the records stay in the table; no record lock is held.

#include <windows.h>

#include <string>
#include <vector>

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

// Starts that a report leads to but that wait until the reporting service
// has been let go: a service that reports in is not kept waiting for the
// launches of others.
struct StatusReportFollowUp {
    // Services whose start failed on a dependency that now runs.
    std::vector<std::wstring> dependencyFailedStarts;
};

// Applies a state a hosted service reported for itself, with everything
// that follows at once (events, timers, waiters). A state the transition
// rule refuses changes nothing; what follows is decided by the state the
// record is in afterwards.
StatusReportFollowUp ApplyServiceStatusReport(HostRuntime& runtime, ServiceRecord& record, ServiceState reported);

// Starts what the report left for later, each with a start entry in its
// life-cycle record; failures are traced.
void RunStatusReportFollowUp(HostRuntime& runtime, const StatusReportFollowUp& followUp);

} // namespace qvx
