// The start-up wave timer: the NORMAL wave 60 seconds after the EARLY one,
// the LATE wave another 60 seconds later (shorter only on a test install).
#include "engine/engine_calls.h"
#include "engine/start_wave.h"
#include "platform/trace.h"
#include "runtime/host_runtime.h"

namespace qvx {

void WaveTimerExpired(HostRuntime& runtime)
{
    WaveTimer& timer = runtime.waveTimer;
    switch (timer.State()) {
    case WaveTimer::kBeforeNormalWave: {
        StartWave(runtime, StartupProfile::kNormal, 0);
        LARGE_INTEGER due;
        due.QuadPart = WaveTimer::NextWaveDue();
        if (SetWaitableTimer(timer.Get(), &due, 0, nullptr, nullptr, FALSE)) {
            timer.SetState(WaveTimer::kBeforeLateWave);
            return;
        }
        const DWORD error = GetLastError();
        timer.Close(runtime.waitSet);
        timer.SetState(WaveTimer::kNoFurtherWave);
        QVX_TRACE(trace::kError, 1, L"the wave timer was not re-armed; the LATE wave does not run", error);
        return;
    }
    case WaveTimer::kBeforeLateWave:
        StartWave(runtime, StartupProfile::kLate, 0);
        timer.Close(runtime.waitSet);
        timer.SetState(WaveTimer::kNoFurtherWave);
        runtime.startupComplete.store(true);
        QVX_TRACE(trace::kInfo, 3, L"start-up complete: the LATE wave has started");
        return;
    default:
        QVX_TRACE(trace::kWarning, 2, L"the wave timer fired with no wave left", timer.State());
        // A manual-reset timer stays signalled: left in the wait set it
        // would wake the monitor again at once, for ever.
        timer.Close(runtime.waitSet);
        return;
    }
}

} // namespace qvx
