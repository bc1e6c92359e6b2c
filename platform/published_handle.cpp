#include "platform/published_handle.h"

#include "platform/locks.h"
#include "platform/trace.h"

namespace qvx {

void PublishedHandle::Reset(HANDLE handle) noexcept
{
    HANDLE previous;
    {
        SrwExclusiveGuard guard(lock_);
        previous = handle_;
        handle_ = handle;
    }
    if (previous && previous != handle && !CloseHandle(previous))
        QVX_TRACE(trace::kError, 1, L"CloseHandle of a published handle failed", static_cast<const void*>(previous),
                  GetLastError());
}

HANDLE PublishedHandle::Get() const noexcept
{
    SrwSharedGuard guard(lock_);
    return handle_;
}

bool PublishedHandle::Signal() const noexcept
{
    SrwSharedGuard guard(lock_);
    return handle_ && SetEvent(handle_);
}

KernelHandle PublishedHandle::Duplicate(DWORD access) const noexcept
{
    SrwSharedGuard guard(lock_);
    if (!handle_)
        return KernelHandle();
    KernelHandle copy;
    if (!DuplicateHandle(GetCurrentProcess(), handle_, GetCurrentProcess(), copy.Receive(), access, FALSE, 0))
        QVX_TRACE(trace::kError, 2, L"DuplicateHandle of a published handle failed", static_cast<const void*>(handle_),
                  GetLastError());
    return copy;
}

} // namespace qvx
