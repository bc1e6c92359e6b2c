#pragma once
// The restart policy of a hosted service whose process ended unexpectedly:
// the restart window (ResetPeriodTimer, counting RestartsInWindow against
// RestartCount) and the delayed restart (RestartDelayTimer). The caller
// holds the table lock (shared is enough) and no record lock.

#include <windows.h>

namespace qvx {

class HostRuntime;
class ServiceRecord;

// Whether the record has a restart policy: ResetPeriod, RestartCount and
// RestartDelay all non-zero, and RestartCount a positive count. The window
// compares its restarts with RestartCount as signed numbers, so a count with
// the top bit set could never allow one: it counts as no policy rather than
// as windows that restart nothing and leave the service crashed for ever.
bool RestartPolicyInForce(const ServiceRecord& record);

// Whether an automatic restart may start the service: not when it was
// disabled or stopped by a user while the restart waited.
bool MayRestart(const ServiceRecord& record);

// Opens a restart window when the policy is in force and none is open:
// ResetPeriodTimer armed for ResetPeriod seconds and handed to the monitor.
// Returns whether a window was opened.
bool OpenRestartWindowFor(HostRuntime& runtime, ServiceRecord& record);

// Arms a fresh RestartDelayTimer for RestartDelay seconds and hands it to
// the monitor; a timer that cannot be armed is released (no restart).
bool ScheduleRestart(HostRuntime& runtime, ServiceRecord& record);

// Starts the service again, with a start entry in its life-cycle record on
// success. 0 or the start's error.
DWORD RestartService(HostRuntime& runtime, ServiceRecord& record);

} // namespace qvx
