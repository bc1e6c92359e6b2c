#include "runtime/monitor_wait_set.h"

#include <algorithm>

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

MonitorWaitSet::MonitorWaitSet()
    : lock_(CreateMutexW(nullptr, FALSE, nullptr)), wakeEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    if (!lock_)
        QVX_TRACE(trace::kError, 3, L"CreateMutex for the wait-list lock failed", GetLastError());
    if (!wakeEvent_)
        QVX_TRACE(trace::kError, 1, L"CreateEvent for the wake-up event failed", GetLastError());
}

MonitorWaitSet::~MonitorWaitSet()
{
    CloseDeferred();
}

MonitorWaitSet::Guard::Guard(const MonitorWaitSet& waitSet) : lock_(waitSet.lock_.Get()), held_(false)
{
    const DWORD lastError = GetLastError();
    const DWORD result = WaitForSingleObject(lock_, INFINITE);
    if (result == WAIT_ABANDONED) {
        QVX_TRACE(trace::kWarning, 4, L"the wait-list lock was abandoned by a thread that ended holding it");
        held_ = true;
    } else if (result == WAIT_OBJECT_0) {
        held_ = true;
    } else {
        QVX_TRACE(trace::kError, 5, L"waiting for the wait-list lock failed", result, GetLastError());
    }
    SetLastError(lastError);
}

MonitorWaitSet::Guard::~Guard()
{
    if (held_ && !ReleaseMutex(lock_))
        QVX_TRACE(trace::kError, 6, L"ReleaseMutex of the wait-list lock failed", GetLastError());
}

void MonitorWaitSet::Wake() const
{
    if (wakeEvent_)
        SetEvent(wakeEvent_.Get());
}

bool MonitorWaitSet::AddMutex(HANDLE mutex)
{
    Guard guard(*this);
    if (!AddUnique(mutexes_, mutex))
        return false;
    Wake();
    return true;
}

bool MonitorWaitSet::AddTimer(HANDLE timerOrNotification)
{
    Guard guard(*this);
    if (!AddUnique(timers_, timerOrNotification))
        return false;
    Wake();
    return true;
}

bool MonitorWaitSet::RemoveMutex(HANDLE mutex)
{
    Guard guard(*this);
    if (!RemoveFrom(mutexes_, mutex))
        return false;
    Wake();
    return true;
}

bool MonitorWaitSet::RemoveTimer(HANDLE timerOrNotification)
{
    Guard guard(*this);
    if (!RemoveFrom(timers_, timerOrNotification))
        return false;
    Wake();
    return true;
}

void MonitorWaitSet::DeferClose(HANDLE handle)
{
    if (!handle || handle == INVALID_HANDLE_VALUE)
        return;
    Guard guard(*this);
    bool listed = RemoveFrom(mutexes_, handle);
    listed = RemoveFrom(timers_, handle) || listed;
    AddUnique(deferredClose_, handle);
    if (listed)
        Wake();
}

void MonitorWaitSet::CloseDeferred()
{
    Guard guard(*this);
    CloseDeferredLocked();
}

void MonitorWaitSet::Snapshot(std::vector<HANDLE>& mutexes, std::vector<HANDLE>& timers)
{
    Guard guard(*this);
    CloseDeferredLocked();
    mutexes = mutexes_;
    timers = timers_;
}

void MonitorWaitSet::CloseDeferredLocked()
{
    for (HANDLE handle : deferredClose_) {
        if (!CloseHandle(handle))
            QVX_TRACE(trace::kError, 2, L"CloseHandle of a deferred handle failed",
                      static_cast<const void*>(handle), GetLastError());
    }
    deferredClose_.clear();
}

void MonitorWaitSet::Clear()
{
    Guard guard(*this);
    const bool listed = !mutexes_.empty() || !timers_.empty();
    mutexes_.clear();
    timers_.clear();
    CloseDeferredLocked();
    if (listed)
        Wake();
}

bool MonitorWaitSet::HasMutex(HANDLE mutex) const
{
    Guard guard(*this);
    return std::find(mutexes_.begin(), mutexes_.end(), mutex) != mutexes_.end();
}

bool MonitorWaitSet::HasTimer(HANDLE timer) const
{
    Guard guard(*this);
    return std::find(timers_.begin(), timers_.end(), timer) != timers_.end();
}

std::vector<HANDLE> MonitorWaitSet::Mutexes() const
{
    Guard guard(*this);
    return mutexes_;
}

std::vector<HANDLE> MonitorWaitSet::Timers() const
{
    Guard guard(*this);
    return timers_;
}

size_t MonitorWaitSet::DeferredCount() const
{
    Guard guard(*this);
    return deferredClose_.size();
}

} // namespace qvx
