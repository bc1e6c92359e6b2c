#pragma once
// Stopping a service through the service control manager and waiting until
// it has stopped: the installer, before it deletes a registration, and the
// tests that register services of their own.

#include <windows.h>
#include <winsvc.h>

namespace qvx {

// Sends the stop control to `service` (opened with SERVICE_STOP and
// SERVICE_QUERY_STATUS) unless it is stopped already, and polls its status
// until it reports SERVICE_STOPPED or `timeoutMs` have passed. A service that
// is still starting or already stopping takes the control later or needs
// none, so the wait goes on. `finalStatus` receives the last status read.
// 0 once the service is stopped, ERROR_TIMEOUT when it was not stopped in
// time, else the error of the status query or of the control.
DWORD StopServiceAndWait(SC_HANDLE service, DWORD timeoutMs, SERVICE_STATUS_PROCESS* finalStatus = nullptr);

} // namespace qvx
