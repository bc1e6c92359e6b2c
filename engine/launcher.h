#pragma once
// Starting a hosted service: from SERVICE_STOPPED to SERVICE_START_PENDING,
// after the services it depends on, by joining a shared host of the same
// executable or by creating its own process. The service reaches
// SERVICE_RUNNING later, when its process reports in over the control pipe.
//
// The caller holds the table lock (shared is enough), so that the records
// this looks at stay in the table; the start takes it shared once more for
// itself. No record lock may be held by the caller. Processes are created
// through CurrentProcessLauncher().

#include <windows.h>

namespace qvx {

class HostRuntime;
class ServiceRecord;

// 0 when started, waiting for its dependencies or its host, already
// running, null, or being started by another thread already. Otherwise:
//   1062 ERROR_SERVICE_NOT_ACTIVE           the service is disabled;
//   1061 ERROR_SERVICE_CANNOT_ACCEPT_CTRL   the service is starting with a
//        process, or stopping, or a dependency is in a state that cannot
//        lead to running;
//   1068 ERROR_SERVICE_DEPENDENCY_FAIL      a dependency is not in the table;
//   4312 ERROR_OBJECT_NOT_FOUND             the service is not of the SVH class;
//   a dependency's own error when its start failed;
//   the system error of a launch that failed.
// A failed launch leaves the service SERVICE_STOPPED with none of its
// handles open and reports the "failed to start" event; so does a missing
// or stopping dependency (a dependency's own failure is reported by its
// start).
DWORD StartHostedService(HostRuntime& runtime, ServiceRecord* record);

// StartHostedService, and a start entry in the service's life-cycle record
// when this call launched it (a process of its own, or a host it joined);
// not when it was running already, is left waiting or another thread starts it.
DWORD StartHostedServiceAndRecord(HostRuntime& runtime, ServiceRecord* record);

} // namespace qvx
