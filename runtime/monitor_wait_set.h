#pragma once
// The monitor thread's wait lists: the mutexes of watched hosted-service
// processes, the armed timers and notifications, the handles whose close is
// deferred to the monitor, and the wake-up event that makes the monitor
// rebuild its wait array. Every access takes the one wait-list lock; no
// table or record lock is taken while it is held.
//
// The wait set is also the handle release while the monitor runs: a
// released per-service timer or service mutex may still be in the wait
// array the monitor is blocked on, so it is not closed at once but leaves
// the lists for the deferred close, which the monitor empties before it
// builds its next wait array. The management service installs it as the
// process's handle release around the monitor's life.

#include <windows.h>

#include <vector>

#include "model/handle_release.h"
#include "platform/handles.h"

namespace qvx {

class MonitorWaitSet final : public HandleRelease {
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
    // What the monitor waits on next: closes the deferred handles and copies
    // both lists, under one hold of the wait-list lock.
    void Snapshot(std::vector<HANDLE>& mutexes, std::vector<HANDLE>& timers);

    // The handle release: both go to the deferred close.
    void ReleaseTimer(HANDLE timer) override { DeferClose(timer); }
    void ReleaseServiceMutex(HANDLE mutex) override { DeferClose(mutex); }
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

    // Holds the wait-list lock, which every operation above takes once: for
    // the stop path while it terminates a monitor that did not end, so that
    // the monitor is never ended in the middle of a list change, and for
    // tests that make several changes at once. The operations above may
    // take it again on the same thread. The lock is a mutex rather than a
    // critical section: a thread ended while it waits for the lock leaves
    // nothing behind, and one ended while it holds it leaves it abandoned,
    // which the next holder takes over (traced).
    class Guard {
    public:
        explicit Guard(const MonitorWaitSet& waitSet);
        ~Guard();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        HANDLE lock_;
        bool held_;
    };

private:
    void CloseDeferredLocked();

    KernelHandle lock_;
    KernelHandle wakeEvent_;
    std::vector<HANDLE> mutexes_;
    std::vector<HANDLE> timers_;
    std::vector<HANDLE> deferredClose_;
};

} // namespace qvx
