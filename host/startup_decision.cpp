#include "host/startup_decision.h"

#include "host/boot_markers.h"
#include "host/management_service.h"
#include "model/life_cycle_record.h"
#include "platform/trace.h"

namespace qvx {

std::atomic<bool> g_startupComplete{false};

void RunStartupDecision(ManagementService& service)
{
    // A "dirtyexit" marker left from a run in this boot means that the
    // hosted services' state is in doubt. The marker is then laid for this
    // run; a clean end of the monitor thread removes it again.
    const bool dirty = IsDirtyExitMarkerPresent();
    CreateDirtyExitMarker();

    LifeCycleRecord(nullptr).RecordStart();

    const bool firstStart = service.firstStartSinceBoot.load();
    QVX_TRACE(trace::kInfo, 1, L"qvxsvh", L"start-up decision: first start since boot", firstStart, L"dirty", dirty);
    if (!firstStart && !dirty) {
        // The management service restarted while its hosted services kept
        // running; only the DLL-hosted early services, which lived in the
        // process that ended, need starting again.
        QVX_TRACE(trace::kInfo, 2, L"qvxsvh", L"restart in this boot: re-attach to the running hosted services");
    } else {
        QVX_TRACE(trace::kInfo, 3, L"qvxsvh", L"start from scratch: hosted services start in waves");
        CreateBootMarker();
    }
    g_startupComplete.store(true);
}

} // namespace qvx
