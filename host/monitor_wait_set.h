#pragma once
// The monitor thread's wait lists: the mutexes of watched hosted-service
// processes, the armed timers and notifications, the handles whose close is
// deferred to the monitor, and the wake-up event that makes the monitor
// rebuild its wait array. Every access takes the one wait-list lock; no
// table or record lock is taken while it is held.

#include <windows.h>

#include <vector>

#include "platform/handles.h"

namespace qvx {

class MonitorWaitSet {
public:
    MonitorWaitSet();
    ~MonitorWaitSet();
    MonitorWaitSet(const MonitorWaitSet&) = delete;
    MonitorWaitSet& operator=(const MonitorWaitSet&) = delete;

    // Each add or remove that changes a list sets the wake-up event and
    // answers true; adding a listed handle, removing an unlisted one or a
    // null handle changes nothing and answers false.
    bool AddMutex(HANDLE mutex);
    bool AddTimer(HANDLE timerOrNotification);
    bool RemoveMutex(HANDLE mutex);
    bool RemoveTimer(HANDLE timerOrNotification);

    // The handle leaves the mutex and timer lists at once and is closed
    // when the monitor next builds its wait array (CloseDeferred).
    void DeferClose(HANDLE handle);
    // Closes every handle of the deferred-close list.
    void CloseDeferred();
    // Empties the mutex and timer lists (their owners close those handles)
    // and closes the deferred ones: for when the management service ends and
    // the records that owned the listed handles go with it.
    void Clear();

    // Auto-reset; the monitor waits on it and rebuilds its array when set.
    HANDLE WakeEvent() const { return wakeEvent_.Get(); }
    void Wake() const;

    bool HasMutex(HANDLE mutex) const;
    bool HasTimer(HANDLE timer) const;
    std::vector<HANDLE> Mutexes() const;
    std::vector<HANDLE> Timers() const;
    size_t DeferredCount() const;

    // The wait-list lock, for the monitor to hold across building its wait
    // array; the critical section may be entered again by the operations
    // above on the same thread.
    CRITICAL_SECTION& Lock() { return lock_; }

private:
    CRITICAL_SECTION mutable lock_;
    KernelHandle wakeEvent_;
    std::vector<HANDLE> mutexes_;
    std::vector<HANDLE> timers_;
    std::vector<HANDLE> deferredClose_;
};

// The process's one wait set.
MonitorWaitSet& ProcessMonitorWaitSet();

} // namespace qvx
