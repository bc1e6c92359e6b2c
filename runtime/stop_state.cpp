#include "runtime/stop_state.h"

#include "model/service_enums.h"
#include "platform/trace.h"

namespace qvx {

bool StopState::CreateStopEvent()
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
        QVX_TRACE(trace::kError, 1, kManagementServiceName, L"stop event could not be created", GetLastError());
        return false;
    }
    stopEvent_.Reset(event);
    // Published before the mark is taken: a concurrent RequestStop either
    // sees the event or leaves the mark for this.
    if (pendingStop_.exchange(false))
        stopEvent_.Signal();
    return true;
}

void StopState::RequestStop() noexcept
{
    pendingStop_.store(true);
    if (stopEvent_.Signal()) {
        pendingStop_.store(false);
        return;
    }
    QVX_TRACE(trace::kWarning, 2, kManagementServiceName, L"stop requested before the stop event exists; kept for start-up");
}

bool StopState::CreateRunEvents()
{
    bool created = true;
    for (PublishedHandle* event : {&shutdownEvent_, &monitorStopEvent_, &shutdownDoneEvent_}) {
        HANDLE handle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!handle) {
            QVX_TRACE(trace::kError, 3, kManagementServiceName, L"an event of the run cannot be created", GetLastError());
            created = false;
        }
        event->Reset(handle);
    }
    return created;
}

void StopState::CloseRunEvents() noexcept
{
    shutdownEvent_.Reset();
    shutdownDoneEvent_.Reset();
    monitorStopEvent_.Reset();
}

} // namespace qvx
