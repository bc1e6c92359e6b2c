#pragma once
// The start-up wave timer while one runs. The start-up decision creates it
// on the monitor thread, the wave timer handler replaces or closes it, and
// the monitor closes what is left when it ends. The monitor matches a
// signalled timer against it before the per-service timers.
//
// With the timer goes the wave state: 0 before the NORMAL wave, 1 before
// the LATE wave, -1 once no further wave will run. It only moves forward.

#include <windows.h>

#include <atomic>

#include "platform/published_handle.h"

namespace qvx {

class MonitorWaitSet;

class WaveTimer {
public:
    static constexpr int kBeforeNormalWave = 0;
    static constexpr int kBeforeLateWave = 1;
    static constexpr int kNoFurtherWave = -1;
    // The time between two waves: 60 seconds, relative, in 100-ns units.
    static constexpr LONGLONG kWaveDelay = -600000000LL;
    static constexpr DWORD kWaveDelaySeconds = 60;

    // The due time, relative, for the next wave: kWaveDelay, unless a test
    // installation has stored a shorter delay (TestWaveDelaySeconds below
    // the management service's key\Parameters, a REG_DWORD of 1 to 59
    // seconds; the key is writable by administrators only). Every use of
    // the test delay is traced. Both the first arming and the re-arming
    // take their delay from here.
    static LONGLONG NextWaveDue();

    // Takes ownership of `timer` and hands it to the monitor's wait set;
    // a timer held before leaves the set and is closed.
    void Arm(MonitorWaitSet& waitSet, HANDLE timer);
    // The timer leaves the wait set and is closed.
    void Close(MonitorWaitSet& waitSet);
    HANDLE Get() const noexcept { return timer_.Get(); }

    int State() const noexcept { return state_.load(); }
    void SetState(int state) noexcept { state_.store(state); }

private:
    PublishedHandle timer_;
    std::atomic<int> state_{kBeforeNormalWave};
};

} // namespace qvx
