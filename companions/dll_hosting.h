#pragma once
// The hosting side of the stand-in "qvxsvha.dll" for DLL services: it plays
// the service control dispatcher for one DLL service on the thread the
// management service lends it, and the management service's side of a
// hosted process for that service, so the host treats a DLL service like a
// process service (start arguments, state reports, listener pipe, mutex).
//
// A DLL service is written like any Windows service. The calls it makes to
// register its control handler and to report its status reach the stand-in
// because the stand-in rewrites those slots of the DLL's import table before
// the entry point runs.

#include <windows.h>

#include <string>

#include "service_runtime/hosted_service.h"

namespace standin {

// Runs `entry` as the service `serviceName` on the calling thread: takes the
// service's mutex for this thread, serves the service's listener pipe,
// fetches the start arguments and calls the entry point with them. When the
// service is left running by its entry point (it reported past the start but
// not stopped), waits for its stopped report. Returns once the service no
// longer runs: 0, or the error of the step that failed before the entry
// point ran.
DWORD RunDllService(const std::wstring& serviceName, LPSERVICE_MAIN_FUNCTIONW entry,
                    const qvx::hosted::HostedServiceOptions& options);

} // namespace standin
