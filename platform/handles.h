#pragma once
// Owner types for Windows handles: one move-only owner per kind of handle,
// closing on destruction and keeping the thread's last error intact. A close
// that fails is traced with the kind of handle and the error: it tells of a
// handle closed twice or never valid, which no caller would see otherwise.

#include <windows.h>
#include <winsvc.h>

#include "platform/trace.h"

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
            const DWORD error = Traits::Close(handle_);
            if (error != ERROR_SUCCESS)
                QVX_TRACE(trace::kError, 1, L"handle not closed", Traits::kKind, static_cast<const void*>(handle_),
                          error);
            SetLastError(lastError);
        }
        handle_ = Traits::Invalid();
    }

    Handle handle_;
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    static constexpr const wchar_t* kKind = L"kernel handle";
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    // 0, or the error of the failed close.
    static DWORD Close(Handle h) { return CloseHandle(h) ? ERROR_SUCCESS : GetLastError(); }
};

struct RegKeyTraits {
    using Handle = HKEY;
    static constexpr const wchar_t* kKind = L"registry key";
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    // 0, or the error of the failed close.
    static DWORD Close(Handle h) { return static_cast<DWORD>(RegCloseKey(h)); }
};

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static constexpr const wchar_t* kKind = L"service handle";
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    // 0, or the error of the failed close.
    static DWORD Close(Handle h) { return CloseServiceHandle(h) ? ERROR_SUCCESS : GetLastError(); }
};

struct LocalMemoryTraits {
    using Handle = HLOCAL;
    static constexpr const wchar_t* kKind = L"local memory";
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    // 0, or the error of the failed close.
    static DWORD Close(Handle h) { return LocalFree(h) == nullptr ? ERROR_SUCCESS : GetLastError(); }
};

struct ModuleTraits {
    using Handle = HMODULE;
    static constexpr const wchar_t* kKind = L"module";
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    // 0, or the error of the failed close.
    static DWORD Close(Handle h) { return FreeLibrary(h) ? ERROR_SUCCESS : GetLastError(); }
};

struct EventSourceTraits {
    using Handle = HANDLE;
    static constexpr const wchar_t* kKind = L"event source";
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    // 0, or the error of the failed close.
    static DWORD Close(Handle h) { return DeregisterEventSource(h) ? ERROR_SUCCESS : GetLastError(); }
};

using KernelHandle = ScopedHandle<KernelHandleTraits>;
using RegKey = ScopedHandle<RegKeyTraits>;
using ServiceHandle = ScopedHandle<ServiceHandleTraits>;
using LocalMemory = ScopedHandle<LocalMemoryTraits>;
using Module = ScopedHandle<ModuleTraits>;
using EventSource = ScopedHandle<EventSourceTraits>;

} // namespace qvx
