#pragma once
// How the hosted services are started when the monitor thread starts: from
// scratch in start-up waves (first start since boot, or an unclean end), or
// by re-attaching to those that kept running while the management service
// restarted.

#include <atomic>

namespace qvx {

class ManagementService;

// True once the last start-up wave has been started or no waves are needed.
// The monitor thread clears it when it starts; read by the power-state
// handling, which starts nothing on its own before the waves are through.
extern std::atomic<bool> g_startupComplete;

// Runs on the monitor thread before it enters its wait loop: tests and
// creates the "dirtyexit" marker, records the management service's start in
// its life-cycle record, then decides how the hosted services start.
void RunStartupDecision(ManagementService& service);

} // namespace qvx
