#pragma once
// The service table's reader/writer lock. A thread may take it again while
// it holds it, in either mode, and a thread holding it shared may ask for it
// exclusive. Each thread keeps its nesting for each lock it holds, so two
// lock objects on one thread never see each other's holds; the program
// guards its one table with ProcessTableLock().
//
// Taking the lock exclusive while the thread holds it shared lets the shared
// hold go first: another writer may run in between. The acquisition says so
// (LockContinuity::kLetGo, TableLock::LetGo()), and whoever sees it looks
// again at what it read under the shared hold.
//
// Lock order: the table lock comes before a record lock. A thread that holds
// a record lock and lets its shared hold go to take the lock exclusive can
// deadlock against a reader that waits for that record, so such an upgrade
// is traced as an error and handed to the lock-order fault handler (which
// ends the process in debug builds).

#include <windows.h>

namespace qvx {

enum class TableLockMode { Shared = 1, Exclusive = 2 };

// What became of the thread's hold while it acquired.
enum class LockContinuity {
    kKept,  // nothing the thread held was let go
    kLetGo, // the thread's shared hold was let go to take the lock exclusive
};

class RecursiveTableLock {
public:
    RecursiveTableLock() = default;
    RecursiveTableLock(const RecursiveTableLock&) = delete;
    RecursiveTableLock& operator=(const RecursiveTableLock&) = delete;

    // Acquire and Release act on the calling thread's nesting on this lock;
    // nested holds must be released in the reverse order of their
    // acquisition. After kLetGo, whatever was read under the shared hold has
    // to be looked at again.
    [[nodiscard]] LockContinuity Acquire(TableLockMode mode) noexcept;
    void Release(TableLockMode mode) noexcept;

    // The calling thread's current mode on this lock (0 when it holds nothing).
    int ThreadMode() const noexcept;

    // The calling thread's current mode on ProcessTableLock().
    static int HeldMode() noexcept;

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

RecursiveTableLock& ProcessTableLock();

class TableLock {
public:
    TableLock(RecursiveTableLock& lock, TableLockMode mode);
    explicit TableLock(TableLockMode mode);
    ~TableLock();
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

    // Whether this guard let the thread's shared hold go to take the lock
    // exclusive: then pointers and values read under that hold are stale
    // until looked up again.
    [[nodiscard]] bool LetGo() const noexcept { return continuity_ == LockContinuity::kLetGo; }

private:
    RecursiveTableLock& lock_;
    TableLockMode mode_;
    LockContinuity continuity_;
};

// Record locks the calling thread holds, counted by ServiceRecord::Lock and
// Unlock, so the table lock can tell an upgrade that breaks the lock order.
void NoteRecordLockTaken() noexcept;
void NoteRecordLockReleased() noexcept;
unsigned RecordLocksHeld() noexcept;

// Called after the error trace of an upgrade made while a record lock is
// held. The default ends the process in debug builds and returns in release
// builds; SetLockOrderFaultHandler installs another (null puts the default
// back) and returns the one it replaced.
using LockOrderFaultHandler = void (*)();
LockOrderFaultHandler SetLockOrderFaultHandler(LockOrderFaultHandler handler) noexcept;

} // namespace qvx
