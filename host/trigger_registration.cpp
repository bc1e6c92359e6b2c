#include "host/trigger_registration.h"

#include <new>

#include "platform/companion_interfaces.h"
#include "platform/trusted_library.h"
#include "platform/handles.h"
#include "platform/trace.h"

namespace qvx {

const BYTE kTriggerParameterBlock[16] = {0x01, 0x00, 0x01, 0x10, 0x04, 0x0a, 0x01, 0x00,
                                         0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x80};

namespace {

constexpr DWORD kRegistrationWaitMs = 3000;

TriggerSlot g_processSlot;

struct RegistrationRequest {
    TriggerSlot* slot;
    TriggerControlSource source;
};

DWORD WINAPI RegistrationThread(LPVOID parameter)
{
    RegistrationRequest request = *static_cast<RegistrationRequest*>(parameter);
    delete static_cast<RegistrationRequest*>(parameter);
    RegisterServiceTriggers(*request.slot, request.source);
    return 0;
}

void EndAndRelease(TriggerControl* control) noexcept
{
    control->Close();
    control->Release();
}

} // namespace

bool TriggerSlot::Offer(TriggerControl* control) noexcept
{
    uintptr_t expected = 0;
    return cell_.compare_exchange_strong(expected, reinterpret_cast<uintptr_t>(control));
}

TriggerControl* TriggerSlot::Close() noexcept
{
    uintptr_t previous = cell_.exchange(kClosed);
    return previous == 0 || previous == kClosed ? nullptr : reinterpret_cast<TriggerControl*>(previous);
}

TriggerControl* TriggerSlot::Held() const noexcept
{
    uintptr_t value = cell_.load();
    return value == 0 || value == kClosed ? nullptr : reinterpret_cast<TriggerControl*>(value);
}

DWORD GetTriggerControl(TriggerControl** control)
{
    void* iface = nullptr;
    DWORD error = GetTrustedLibraryInterface(kTriggerControlLibrary, kTriggerControlInterface, &iface);
    if (error == 0 && !iface)
        error = ERROR_INVALID_FUNCTION;
    *control = error == 0 ? static_cast<TriggerControl*>(iface) : nullptr;
    return error;
}

void RegisterServiceTriggers(TriggerSlot& slot, TriggerControlSource source) noexcept
{
    TriggerControl* control = nullptr;
    DWORD error = source(&control);
    if (error != 0 || !control) {
        QVX_TRACE(trace::kError, 1, L"trigger control not available", error);
        return;
    }
    HRESULT result = control->RegisterTriggers(kTriggerParameterBlock);
    if (FAILED(result))
        QVX_TRACE(trace::kWarning, 2, L"trigger registration failed", static_cast<DWORD>(result));
    if (!slot.Offer(control)) {
        // Another registration holds the slot, or the dispatcher has returned.
        QVX_TRACE(trace::kInfo, 3, L"trigger control not kept", slot.IsClosed());
        EndAndRelease(control);
    }
}

void RunTriggerRegistration(TriggerSlot& slot, TriggerControlSource source, DWORD timeoutMs)
{
    auto* request = new (std::nothrow) RegistrationRequest{&slot, source};
    if (!request) {
        QVX_TRACE(trace::kError, 4, L"trigger registration not started", static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        return;
    }
    KernelHandle thread(CreateThread(nullptr, 0, RegistrationThread, request, 0, nullptr));
    if (!thread) {
        QVX_TRACE(trace::kError, 5, L"trigger registration thread not created", GetLastError());
        delete request;
        return;
    }
    if (WaitForSingleObject(thread.Get(), timeoutMs) != WAIT_OBJECT_0)
        QVX_TRACE(trace::kWarning, 6, L"trigger registration still running", timeoutMs);
}

void RunTriggerRegistration()
{
    RunTriggerRegistration(g_processSlot, GetTriggerControl, kRegistrationWaitMs);
}

void CloseTriggerRegistration() noexcept
{
    TriggerControl* control = g_processSlot.Close();
    if (!control)
        return;
    EndAndRelease(control);
    // The library keeps a reference of its own while its interface lives;
    // it is told to unload and that reference is dropped.
    if (HMODULE library = GetModuleHandleW(kTriggerControlLibrary)) {
        auto unload = reinterpret_cast<NotComDllUnloadFn>(
            reinterpret_cast<void*>(GetProcAddress(library, "NotComDllUnload")));
        if (unload)
            unload();
        FreeLibrary(library);
    }
}

} // namespace qvx
