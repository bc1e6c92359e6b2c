#include "host/startup_decision.h"

#include <windows.h>

#include "host/boot_markers.h"
#include "host/management_service.h"
#include "model/life_cycle_record.h"
#include "platform/trace.h"

namespace qvx {

std::atomic<bool> g_startupComplete{false};

namespace {

// Takes the hosted services that kept running back under watch; 0 when every
// one of them answered. Until the start-up waves are in place no hosted
// service is re-attached.
DWORD ReattachRunningServices()
{
    QVX_TRACE(trace::kVerbose, 4, kManagementServiceName, L"re-attaching to running hosted services not yet wired");
    return ERROR_CALL_NOT_IMPLEMENTED;
}

} // namespace

void RunStartupDecision(ManagementService& service)
{
    // A "dirtyexit" marker left from a run in this boot means that the
    // hosted services' state is in doubt. The marker is then laid for this
    // run; a clean end of the monitor thread removes it again.
    const bool dirty = IsDirtyExitMarkerPresent();
    CreateDirtyExitMarker();

    LifeCycleRecord(nullptr).RecordStart();

    const bool firstStart = service.firstStartSinceBoot.load();
    QVX_TRACE(trace::kInfo, 1, kManagementServiceName, L"start-up decision: first start since boot", firstStart, L"dirty", dirty);
    if (!firstStart) {
        DWORD reattached = ReattachRunningServices();
        if (reattached == ERROR_SUCCESS || !dirty) {
            // The management service restarted while its hosted services
            // kept running; only the early DLL-hosted services, which lived
            // in the process that ended, start again.
            QVX_TRACE(trace::kInfo, 2, kManagementServiceName, L"restart in this boot: re-attached, early DLL services start",
                      reattached);
            g_startupComplete.store(true);
            return;
        }
    }
    QVX_TRACE(trace::kInfo, 3, kManagementServiceName, L"start from scratch: hosted services start in waves");
    CreateBootMarker();
    g_startupComplete.store(true);
}

} // namespace qvx
