#pragma once
// Owner types for Windows handles: one move-only owner per kind of handle,
// closing on destruction and keeping the thread's last error intact.

#include <windows.h>
#include <winsvc.h>

namespace qvx {

template <typename Traits>
class ScopedHandle {
public:
    using Handle = typename Traits::Handle;

    ScopedHandle() noexcept : handle_(Traits::Invalid()) {}
    explicit ScopedHandle(Handle handle) noexcept : handle_(handle) {}
    ~ScopedHandle() { Close(); }

    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Take()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept
    {
        if (this != &other)
            Reset(other.Take());
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    bool IsValid() const noexcept { return Traits::IsValid(handle_); }
    explicit operator bool() const noexcept { return IsValid(); }
    Handle Get() const noexcept { return handle_; }

    // Hands the handle to the caller, who becomes its owner.
    [[nodiscard]] Handle Take() noexcept
    {
        Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }

    void Reset(Handle handle = Traits::Invalid()) noexcept
    {
        if (handle != handle_) {
            Close();
            handle_ = handle;
        }
    }

    // For out-parameters of the API that creates the handle.
    Handle* Receive() noexcept
    {
        Close();
        return &handle_;
    }

private:
    void Close() noexcept
    {
        if (Traits::IsValid(handle_)) {
            DWORD lastError = GetLastError();
            Traits::Close(handle_);
            SetLastError(lastError);
        }
        handle_ = Traits::Invalid();
    }

    Handle handle_;
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { CloseHandle(h); }
};

struct RegKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { RegCloseKey(h); }
};

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { CloseServiceHandle(h); }
};

struct LocalMemoryTraits {
    using Handle = HLOCAL;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { LocalFree(h); }
};

struct ModuleTraits {
    using Handle = HMODULE;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { FreeLibrary(h); }
};

struct EventSourceTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { DeregisterEventSource(h); }
};

using KernelHandle = ScopedHandle<KernelHandleTraits>;
using RegKey = ScopedHandle<RegKeyTraits>;
using ServiceHandle = ScopedHandle<ServiceHandleTraits>;
using LocalMemory = ScopedHandle<LocalMemoryTraits>;
using Module = ScopedHandle<ModuleTraits>;
using EventSource = ScopedHandle<EventSourceTraits>;

} // namespace qvx
