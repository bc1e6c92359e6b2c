#pragma once
// Registration of the services' start triggers through the trigger-control
// library. The registration runs on a thread of its own that start-up waits
// for only briefly; the interface it obtains is kept in one slot until the
// service dispatcher returns, and a registration that finishes later
// releases its own interface.

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace qvx {

class TriggerControl;

// The parameter block handed to the trigger-control library.
extern const BYTE kTriggerParameterBlock[16];

// The cell that holds the process's trigger-control interface: empty, then
// an interface, then (for good) closed.
class TriggerSlot {
public:
    static constexpr uintptr_t kClosed = ~static_cast<uintptr_t>(0);

    // Keeps `control` when the slot is empty; false when it holds another
    // interface or is closed, and the caller keeps its own.
    bool Offer(TriggerControl* control) noexcept;
    // Closes the slot; the interface it held (now the caller's), or nullptr.
    TriggerControl* Close() noexcept;

    TriggerControl* Held() const noexcept;
    bool IsClosed() const noexcept { return cell_.load() == kClosed; }

private:
    std::atomic<uintptr_t> cell_{0};
};

// Obtains a TriggerControl interface; 0 or an error code.
using TriggerControlSource = DWORD (*)(TriggerControl** control);

// The trigger-control interface of "qvxtrig.dll", loaded as a trusted library.
DWORD GetTriggerControl(TriggerControl** control);

// The registration procedure: obtain an interface from `source`, register
// the triggers, keep the interface in `slot` or, when the slot is taken or
// closed, close and release it again.
void RegisterServiceTriggers(TriggerSlot& slot, TriggerControlSource source) noexcept;

// Runs the procedure on a thread of its own and waits for it at most
// `timeoutMs`; a thread still running afterwards finishes by itself.
// `slot` must outlive that thread.
void RunTriggerRegistration(TriggerSlot& slot, TriggerControlSource source, DWORD timeoutMs);

// The process's registration: "qvxtrig.dll" into the process-wide slot,
// waiting at most 3000 ms.
void RunTriggerRegistration();

// After the service dispatcher returned: closes the process-wide slot and
// ends, releases and unloads the trigger control it held.
void CloseTriggerRegistration() noexcept;

} // namespace qvx
