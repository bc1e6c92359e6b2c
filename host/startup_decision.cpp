#include "host/startup_decision.h"

#include <windows.h>

#include "engine/reattach.h"
#include "engine/start_wave.h"
#include "host/boot_markers.h"
#include "host/management_service.h"
#include "model/service_enums.h"
#include "model/life_cycle_record.h"
#include "platform/trace.h"
#include "runtime/host_runtime.h"

namespace qvx {

namespace {

// Lays the wave timer for the NORMAL wave and hands it to the monitor.
void ArmWaveTimer(HostRuntime& runtime)
{
    HANDLE timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    if (!timer) {
        QVX_TRACE(trace::kError, 7, kManagementServiceName, L"CreateWaitableTimerW failed; no further wave runs",
                  GetLastError());
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = WaveTimer::NextWaveDue();
    // An unarmed timer never fires: the later waves then do not run, but
    // the monitor still owns and closes it.
    if (!SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE))
        QVX_TRACE(trace::kError, 8, kManagementServiceName, L"SetWaitableTimer failed; no further wave runs",
                  GetLastError());
    runtime.waveTimer.SetState(WaveTimer::kBeforeNormalWave);
    runtime.waveTimer.Arm(runtime.waitSet, timer);
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
        const DWORD reattached = ReattachRunningServices(service.runtime);
        if (reattached == ERROR_SUCCESS || !dirty) {
            // The management service restarted while its hosted services
            // kept running; only the early DLL-hosted services, which lived
            // in the process that ended, start again.
            QVX_TRACE(trace::kInfo, 2, kManagementServiceName, L"restart in this boot: early DLL services only", reattached);
            StartWave(service.runtime, StartupProfile::kEarly, static_cast<DWORD>(WinServiceType::kUserDll));
            service.runtime.startupComplete.store(true);
            QVX_TRACE(trace::kInfo, 9, kManagementServiceName, L"start-up complete: no waves needed");
            return;
        }
    }
    QVX_TRACE(trace::kInfo, 3, kManagementServiceName, L"start from scratch");
    StartWave(service.runtime, StartupProfile::kEarly, 0);
    ArmWaveTimer(service.runtime);
    CreateBootMarker();
}

} // namespace qvx
