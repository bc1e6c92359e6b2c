#include "host/startup_decision.h"

#include <windows.h>

#include "host/boot_markers.h"
#include "host/management_service.h"
#include "model/service_enums.h"
#include "model/life_cycle_record.h"
#include "platform/trace.h"

namespace qvx {

namespace {

// Takes the hosted services that kept running back under watch; 0 when every
// one of them answered.
DWORD ReattachRunningServices()
{
    QVX_TRACE(trace::kWarning, 4, kManagementServiceName,
              L"not built: re-attaching to running hosted services; none is watched again");
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void StartWave(StartupProfile profile, DWORD typeFilter)
{
    QVX_TRACE(trace::kWarning, 5, kManagementServiceName, L"not built: start-up wave; no hosted service is started",
              StartupProfileName(profile), typeFilter);
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

    const bool firstStart = service.firstStartSinceBoot;
    QVX_TRACE(trace::kInfo, 1, kManagementServiceName, L"start-up decision: first start since boot", firstStart, L"dirty", dirty);
    if (!firstStart) {
        const DWORD reattached = ReattachRunningServices();
        if (reattached == ERROR_SUCCESS || !dirty) {
            // The management service restarted while its hosted services
            // kept running; only the early DLL-hosted services, which lived
            // in the process that ended, start again.
            QVX_TRACE(trace::kInfo, 2, kManagementServiceName, L"restart in this boot: early DLL services only", reattached);
            StartWave(StartupProfile::kEarly, static_cast<DWORD>(WinServiceType::kUserDll));
            return;
        }
    }
    QVX_TRACE(trace::kInfo, 3, kManagementServiceName, L"start from scratch");
    StartWave(StartupProfile::kEarly, 0);
    QVX_TRACE(trace::kWarning, 6, kManagementServiceName, L"not built: the wave timer; no later wave runs");
    CreateBootMarker();
}

} // namespace qvx
