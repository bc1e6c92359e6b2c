#pragma once
// How the hosted services are started when the monitor thread starts: from
// scratch in start-up waves (first start since boot, or an unclean end), or
// by re-attaching to those that kept running while the management service
// restarted.

namespace qvx {

class ManagementService;

// Runs on the monitor thread before it enters its wait loop: tests and
// creates the "dirtyexit" marker, records the management service's start in
// its life-cycle record, then decides how the hosted services start: a
// restart re-attaches and sets startup-complete at once; a start from
// scratch runs the EARLY wave and arms the wave timer for the later ones.
void RunStartupDecision(ManagementService& service);

} // namespace qvx
