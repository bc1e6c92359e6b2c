#pragma once
// How the host is told to stop, and how it tells its monitor thread: the
// stop event that ends the management service's run, a stop that came
// before that event existed, and the monitor's shutdown, stop and
// shutdown-done events.

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "platform/published_handle.h"

namespace qvx {

class StopState {
public:
    // Creates the stop event (manual reset, not set). A stop requested
    // before is applied at once, so that it is not lost.
    bool CreateStopEvent();
    const PublishedHandle& StopEvent() const noexcept { return stopEvent_; }
    void CloseStopEvent() noexcept { stopEvent_.Reset(); }

    // Sets the stop event; before the event exists the request is kept for
    // CreateStopEvent. Safe from any thread.
    void RequestStop() noexcept;

    // The monitor's auto-reset events: the control handler sets the
    // shutdown event on a system shutdown and waits for the shutdown-done
    // event, which the all-stopped check sets; the stop sequence sets the
    // monitor stop event. False when one could not be created (traced).
    bool CreateRunEvents();
    void CloseRunEvents() noexcept;
    const PublishedHandle& ShutdownEvent() const noexcept { return shutdownEvent_; }
    const PublishedHandle& MonitorStopEvent() const noexcept { return monitorStopEvent_; }
    const PublishedHandle& ShutdownDoneEvent() const noexcept { return shutdownDoneEvent_; }

    // Set to 1 when the machine shuts down (the monitor saw the shutdown
    // event); read by the launch and exit handling.
    std::atomic<uint32_t> shuttingDown{0};

private:
    PublishedHandle stopEvent_;
    PublishedHandle shutdownEvent_;
    PublishedHandle monitorStopEvent_;
    PublishedHandle shutdownDoneEvent_;
    std::atomic<bool> pendingStop_{false};
};

} // namespace qvx
