#pragma once
// An owned kernel handle that other threads use while its owner may replace
// or close it: they signal it or take a duplicate of it under the handle's
// own lock, so no thread ever signals or waits on a handle value that has
// been closed (and perhaps reused) in between.

#include <windows.h>

#include "platform/handles.h"

namespace qvx {

class PublishedHandle {
public:
    PublishedHandle() noexcept = default;
    ~PublishedHandle() { Reset(); }
    PublishedHandle(const PublishedHandle&) = delete;
    PublishedHandle& operator=(const PublishedHandle&) = delete;

    // Takes ownership of `handle` (none: only closes the held one).
    void Reset(HANDLE handle = nullptr) noexcept;

    // The raw value, for the owner's own use and for code the owner has
    // handed the value to and stops before it closes the handle.
    HANDLE Get() const noexcept;
    explicit operator bool() const noexcept { return Get() != nullptr; }

    // SetEvent on the held event; false when none is held or it failed.
    bool Signal() const noexcept;

    // A handle of the caller's own to the same object (none when nothing is
    // held or the duplication failed, which is traced).
    KernelHandle Duplicate(DWORD access = SYNCHRONIZE) const noexcept;

private:
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    HANDLE handle_ = nullptr;
};

} // namespace qvx
