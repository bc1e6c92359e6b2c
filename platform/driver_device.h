#pragma once
// The access-protection driver's device as the exception scopes reach it:
// opening it by name and sending a control code. Tests replace the device
// to see which codes are sent on which handle.

#include <windows.h>

namespace qvx {

class DriverDevice {
public:
    virtual ~DriverDevice() = default;
    // Opens the device `name` with `access`, no sharing, as an existing
    // overlapped file. INVALID_HANDLE_VALUE (last error set) when it fails.
    virtual HANDLE Open(const wchar_t* name, DWORD access) = 0;
    // Sends `code` with the input buffer and no output buffer; true when the
    // driver took it.
    virtual bool Control(HANDLE device, DWORD code, const void* input, DWORD inputBytes) = 0;
    virtual void Close(HANDLE device) = 0;
};

// The device in force: the real one unless a test replaced it.
DriverDevice& CurrentDriverDevice() noexcept;
// Test seam: nullptr restores the real device.
void SetDriverDevice(DriverDevice* device) noexcept;

} // namespace qvx
