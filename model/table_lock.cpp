#include "model/table_lock.h"

#include <atomic>
#include <vector>

#include "platform/diagnostic_block.h"
#include "platform/trace.h"

namespace qvx {

namespace {

enum HeldState : int { kNone = 0, kHeldShared = 1, kHeldExclusive = 2 };

// A thread's nesting on one lock. An entry exists only while the thread
// holds that lock, so a lock created later at the same address starts clean.
struct ThreadLockState {
    const RecursiveTableLock* lock = nullptr;
    int mode = kNone;
    unsigned sharedDepth = 0;
    unsigned exclusiveDepth = 0;
};

thread_local std::vector<ThreadLockState> t_states;
thread_local unsigned t_recordLocks = 0;

std::atomic<LockOrderFaultHandler> g_faultHandler{nullptr};

ThreadLockState* FindState(const RecursiveTableLock* lock) noexcept
{
    for (auto& state : t_states) {
        if (state.lock == lock)
            return &state;
    }
    return nullptr;
}

ThreadLockState& StateFor(const RecursiveTableLock* lock)
{
    if (ThreadLockState* state = FindState(lock))
        return *state;
    t_states.push_back({lock});
    return t_states.back();
}

void ForgetIfIdle(const RecursiveTableLock* lock) noexcept
{
    for (auto it = t_states.begin(); it != t_states.end(); ++it) {
        if (it->lock == lock) {
            if (it->mode == kNone && it->sharedDepth == 0 && it->exclusiveDepth == 0)
                t_states.erase(it);
            return;
        }
    }
}

void DefaultLockOrderFault() noexcept
{
#ifndef NDEBUG
    AbortProcess();
#endif
}

} // namespace

LockContinuity RecursiveTableLock::Acquire(TableLockMode mode) noexcept
{
    ThreadLockState* state = &StateFor(this);
    if (state->mode == kHeldExclusive) {
        if (mode == TableLockMode::Exclusive)
            ++state->exclusiveDepth;
        else
            ++state->sharedDepth;
        return LockContinuity::kKept;
    }
    if (mode == TableLockMode::Exclusive) {
        LockContinuity continuity = LockContinuity::kKept;
        if (state->mode == kHeldShared) {
            if (t_recordLocks > 0) {
                QVX_TRACE(trace::kError, 1, L"table lock upgraded while a record lock is held",
                          static_cast<const void*>(this), t_recordLocks, state->sharedDepth);
                const LockOrderFaultHandler handler = g_faultHandler.load();
                if (handler)
                    handler();
                else
                    DefaultLockOrderFault();
                // The handler may have taken other locks on this thread.
                state = &StateFor(this);
            }
            // The shared depth stays: it is taken again when the exclusive
            // hold ends.
            ReleaseSRWLockShared(&lock_);
            state->mode = kNone;
            continuity = LockContinuity::kLetGo;
        }
        AcquireSRWLockExclusive(&lock_);
        state->mode = kHeldExclusive;
        ++state->exclusiveDepth;
        return continuity;
    }
    if (state->mode != kHeldShared) {
        AcquireSRWLockShared(&lock_);
        state->mode = kHeldShared;
    }
    ++state->sharedDepth;
    return LockContinuity::kKept;
}

void RecursiveTableLock::Release(TableLockMode mode) noexcept
{
    ThreadLockState* state = FindState(this);
    if (!state) {
        // Releasing what the thread does not hold would release another
        // thread's hold on the lock.
        QVX_TRACE(trace::kError, 2, L"table lock released by a thread that does not hold it",
                  static_cast<const void*>(this), static_cast<int>(mode));
        return;
    }
    if (mode == TableLockMode::Exclusive) {
        if (state->exclusiveDepth > 0)
            --state->exclusiveDepth;
    } else if (state->sharedDepth > 0) {
        --state->sharedDepth;
    }
    if (state->exclusiveDepth == 0 && state->mode == kHeldExclusive) {
        ReleaseSRWLockExclusive(&lock_);
        state->mode = kNone;
        if (state->sharedDepth > 0) {
            AcquireSRWLockShared(&lock_);
            state->mode = kHeldShared;
        }
    }
    if (state->sharedDepth == 0 && state->mode == kHeldShared) {
        ReleaseSRWLockShared(&lock_);
        state->mode = kNone;
    }
    ForgetIfIdle(this);
}

int RecursiveTableLock::ThreadMode() const noexcept
{
    const ThreadLockState* state = FindState(this);
    return state ? state->mode : kNone;
}

int RecursiveTableLock::HeldMode() noexcept
{
    return ProcessTableLock().ThreadMode();
}

RecursiveTableLock& ProcessTableLock()
{
    static RecursiveTableLock lock;
    return lock;
}

TableLock::TableLock(RecursiveTableLock& lock, TableLockMode mode)
    : lock_(lock), mode_(mode), continuity_(lock_.Acquire(mode_))
{
}

TableLock::TableLock(TableLockMode mode) : TableLock(ProcessTableLock(), mode) {}

TableLock::~TableLock()
{
    lock_.Release(mode_);
}

void NoteRecordLockTaken() noexcept
{
    ++t_recordLocks;
}

void NoteRecordLockReleased() noexcept
{
    if (t_recordLocks > 0)
        --t_recordLocks;
}

unsigned RecordLocksHeld() noexcept
{
    return t_recordLocks;
}

LockOrderFaultHandler SetLockOrderFaultHandler(LockOrderFaultHandler handler) noexcept
{
    return g_faultHandler.exchange(handler);
}

} // namespace qvx
