#include "host/monitor_wait_set.h"

#include <algorithm>

#include "platform/locks.h"
#include "platform/trace.h"

namespace qvx {

namespace {

bool AddUnique(std::vector<HANDLE>& list, HANDLE handle)
{
    if (!handle || std::find(list.begin(), list.end(), handle) != list.end())
        return false;
    list.push_back(handle);
    return true;
}

bool RemoveFrom(std::vector<HANDLE>& list, HANDLE handle)
{
    auto found = std::find(list.begin(), list.end(), handle);
    if (!handle || found == list.end())
        return false;
    list.erase(found);
    return true;
}

} // namespace

MonitorWaitSet::MonitorWaitSet() : wakeEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    InitializeCriticalSection(&lock_);
    if (!wakeEvent_)
        QVX_TRACE(trace::kError, 1, L"CreateEvent for the wake-up event failed", GetLastError());
}

MonitorWaitSet::~MonitorWaitSet()
{
    CloseDeferred();
    DeleteCriticalSection(&lock_);
}

void MonitorWaitSet::Wake() const
{
    if (wakeEvent_)
        SetEvent(wakeEvent_.Get());
}

bool MonitorWaitSet::AddMutex(HANDLE mutex)
{
    CriticalSectionGuard guard(lock_);
    if (!AddUnique(mutexes_, mutex))
        return false;
    Wake();
    return true;
}

bool MonitorWaitSet::AddTimer(HANDLE timerOrNotification)
{
    CriticalSectionGuard guard(lock_);
    if (!AddUnique(timers_, timerOrNotification))
        return false;
    Wake();
    return true;
}

bool MonitorWaitSet::RemoveMutex(HANDLE mutex)
{
    CriticalSectionGuard guard(lock_);
    if (!RemoveFrom(mutexes_, mutex))
        return false;
    Wake();
    return true;
}

bool MonitorWaitSet::RemoveTimer(HANDLE timerOrNotification)
{
    CriticalSectionGuard guard(lock_);
    if (!RemoveFrom(timers_, timerOrNotification))
        return false;
    Wake();
    return true;
}

void MonitorWaitSet::DeferClose(HANDLE handle)
{
    if (!handle || handle == INVALID_HANDLE_VALUE)
        return;
    CriticalSectionGuard guard(lock_);
    bool listed = RemoveFrom(mutexes_, handle);
    listed = RemoveFrom(timers_, handle) || listed;
    AddUnique(deferredClose_, handle);
    if (listed)
        Wake();
}

void MonitorWaitSet::CloseDeferred()
{
    CriticalSectionGuard guard(lock_);
    for (HANDLE handle : deferredClose_) {
        if (!CloseHandle(handle))
            QVX_TRACE(trace::kError, 2, L"CloseHandle of a deferred handle failed",
                      static_cast<const void*>(handle), GetLastError());
    }
    deferredClose_.clear();
}

void MonitorWaitSet::Clear()
{
    CriticalSectionGuard guard(lock_);
    const bool listed = !mutexes_.empty() || !timers_.empty();
    mutexes_.clear();
    timers_.clear();
    CloseDeferred();
    if (listed)
        Wake();
}

bool MonitorWaitSet::HasMutex(HANDLE mutex) const
{
    CriticalSectionGuard guard(lock_);
    return std::find(mutexes_.begin(), mutexes_.end(), mutex) != mutexes_.end();
}

bool MonitorWaitSet::HasTimer(HANDLE timer) const
{
    CriticalSectionGuard guard(lock_);
    return std::find(timers_.begin(), timers_.end(), timer) != timers_.end();
}

std::vector<HANDLE> MonitorWaitSet::Mutexes() const
{
    CriticalSectionGuard guard(lock_);
    return mutexes_;
}

std::vector<HANDLE> MonitorWaitSet::Timers() const
{
    CriticalSectionGuard guard(lock_);
    return timers_;
}

size_t MonitorWaitSet::DeferredCount() const
{
    CriticalSectionGuard guard(lock_);
    return deferredClose_.size();
}

MonitorWaitSet& ProcessMonitorWaitSet()
{
    // Never destroyed: threads may still hand handles to it while the
    // process ends.
    static MonitorWaitSet* waitSet = new MonitorWaitSet;
    return *waitSet;
}

} // namespace qvx
