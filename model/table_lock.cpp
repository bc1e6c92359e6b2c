#include "model/table_lock.h"

namespace qvx {

namespace {

enum HeldState : int { kNone = 0, kHeldShared = 1, kHeldExclusive = 2 };

struct ThreadLockState {
    int mode = kNone;
    unsigned sharedDepth = 0;
    unsigned exclusiveDepth = 0;
};

thread_local ThreadLockState t_state;

} // namespace

void RecursiveTableLock::Acquire(TableLockMode mode) noexcept
{
    ThreadLockState& state = t_state;
    if (state.mode == kHeldExclusive) {
        if (mode == TableLockMode::Exclusive)
            ++state.exclusiveDepth;
        else
            ++state.sharedDepth;
        return;
    }
    if (mode == TableLockMode::Exclusive) {
        if (state.mode == kHeldShared) {
            // The shared depth stays: it is taken again when the exclusive
            // hold ends.
            ReleaseSRWLockShared(&lock_);
            state.mode = kNone;
        }
        AcquireSRWLockExclusive(&lock_);
        state.mode = kHeldExclusive;
        ++state.exclusiveDepth;
        return;
    }
    if (state.mode != kHeldShared) {
        AcquireSRWLockShared(&lock_);
        state.mode = kHeldShared;
    }
    ++state.sharedDepth;
}

void RecursiveTableLock::Release(TableLockMode mode) noexcept
{
    ThreadLockState& state = t_state;
    if (mode == TableLockMode::Exclusive) {
        if (state.exclusiveDepth > 0)
            --state.exclusiveDepth;
    } else if (state.sharedDepth > 0) {
        --state.sharedDepth;
    }
    if (state.exclusiveDepth == 0 && state.mode == kHeldExclusive) {
        ReleaseSRWLockExclusive(&lock_);
        state.mode = kNone;
        if (state.sharedDepth > 0) {
            AcquireSRWLockShared(&lock_);
            state.mode = kHeldShared;
        }
    }
    if (state.sharedDepth == 0 && state.mode == kHeldShared) {
        ReleaseSRWLockShared(&lock_);
        state.mode = kNone;
    }
}

int RecursiveTableLock::HeldMode() noexcept
{
    return t_state.mode;
}

RecursiveTableLock& ProcessTableLock()
{
    static RecursiveTableLock lock;
    return lock;
}

TableLock::TableLock(RecursiveTableLock& lock, TableLockMode mode) : lock_(lock), mode_(mode)
{
    lock_.Acquire(mode_);
}

TableLock::TableLock(TableLockMode mode) : TableLock(ProcessTableLock(), mode) {}

TableLock::~TableLock()
{
    lock_.Release(mode_);
}

} // namespace qvx
