#pragma once
// The service table's reader/writer lock. A thread may take it again while
// it holds it, in either mode, and a thread holding it shared may ask for it
// exclusive. The nesting is kept per thread, not per lock, so the program
// has exactly one such lock: ProcessTableLock().

#include <windows.h>

namespace qvx {

enum class TableLockMode { Shared = 1, Exclusive = 2 };

class RecursiveTableLock {
public:
    RecursiveTableLock() = default;
    RecursiveTableLock(const RecursiveTableLock&) = delete;
    RecursiveTableLock& operator=(const RecursiveTableLock&) = delete;

    // Acquire and Release act on the calling thread's lock state; nested
    // holds must be released in the reverse order of their acquisition.
    // An upgrade from shared to exclusive is not atomic: another writer may
    // run in between, so whatever was read under the shared hold has to be
    // looked at again.
    void Acquire(TableLockMode mode) noexcept;
    void Release(TableLockMode mode) noexcept;

    // The calling thread's current mode (0 when it holds nothing).
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

private:
    RecursiveTableLock& lock_;
    TableLockMode mode_;
};

} // namespace qvx
