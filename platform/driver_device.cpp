#include "platform/driver_device.h"

#include <atomic>

#include "platform/handles.h"
#include "platform/trace.h"

namespace qvx {
namespace {

class RealDriverDevice final : public DriverDevice {
public:
    HANDLE Open(const wchar_t* name, DWORD access) override
    {
        HANDLE device = CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (device == INVALID_HANDLE_VALUE)
            QVX_TRACE(trace::kVerbose, 1, L"driver device not opened", name, access, GetLastError());
        return device;
    }

    bool Control(HANDLE device, DWORD code, const void* input, DWORD inputBytes) override
    {
        // The device is opened for overlapped I/O, so the call may complete
        // later: wait for it on an event of its own.
        KernelHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!done) {
            QVX_TRACE(trace::kError, 2, L"CreateEventW failed", GetLastError());
            return false;
        }
        OVERLAPPED overlapped = {};
        overlapped.hEvent = done.Get();
        DWORD returned = 0;
        if (!DeviceIoControl(device, code, const_cast<void*>(input), inputBytes, nullptr, 0, &returned,
                             &overlapped)) {
            DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING || !GetOverlappedResult(device, &overlapped, &returned, TRUE)) {
                error = GetLastError();
                QVX_TRACE(trace::kError, 3, L"driver control failed", code, error);
                return false;
            }
        }
        return true;
    }

    void Close(HANDLE device) override
    {
        if (!CloseHandle(device))
            QVX_TRACE(trace::kError, 4, L"driver device not closed", GetLastError());
    }
};

RealDriverDevice g_realDevice;
std::atomic<DriverDevice*> g_device{&g_realDevice};

} // namespace

DriverDevice& CurrentDriverDevice() noexcept
{
    return *g_device.load();
}

void SetDriverDevice(DriverDevice* device) noexcept
{
    g_device.store(device ? device : &g_realDevice);
}

} // namespace qvx
