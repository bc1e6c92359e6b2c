#pragma once
// Guards for the plain Windows locks, so a return cannot leave one held.

#include <windows.h>

namespace qvx {

class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CRITICAL_SECTION& section) : section_(section) { EnterCriticalSection(&section_); }
    ~CriticalSectionGuard() { LeaveCriticalSection(&section_); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CRITICAL_SECTION& section_;
};

class SrwSharedGuard {
public:
    explicit SrwSharedGuard(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockShared(&lock_); }
    ~SrwSharedGuard() { ReleaseSRWLockShared(&lock_); }
    SrwSharedGuard(const SrwSharedGuard&) = delete;
    SrwSharedGuard& operator=(const SrwSharedGuard&) = delete;

private:
    SRWLOCK& lock_;
};

class SrwExclusiveGuard {
public:
    explicit SrwExclusiveGuard(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~SrwExclusiveGuard() { ReleaseSRWLockExclusive(&lock_); }
    SrwExclusiveGuard(const SrwExclusiveGuard&) = delete;
    SrwExclusiveGuard& operator=(const SrwExclusiveGuard&) = delete;

private:
    SRWLOCK& lock_;
};

} // namespace qvx
