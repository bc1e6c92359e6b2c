#include "platform/service_control.h"

#include "platform/trace.h"

namespace qvx {

namespace {

constexpr DWORD kPollMs = 20;

DWORD QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status)
{
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed)) {
        const DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 3, L"QueryServiceStatusEx failed", error);
        return error;
    }
    return ERROR_SUCCESS;
}

} // namespace

DWORD StopServiceAndWait(SC_HANDLE service, DWORD timeoutMs, SERVICE_STATUS_PROCESS* finalStatus)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD error = QueryStatus(service, status);
    if (error == ERROR_SUCCESS && status.dwCurrentState != SERVICE_STOPPED) {
        SERVICE_STATUS control = {};
        if (!ControlService(service, SERVICE_CONTROL_STOP, &control)) {
            // Stopping already, or still starting: the wait below sees it through.
            // Not active: it stopped between the query and the control.
            const DWORD controlError = GetLastError();
            if (controlError != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && controlError != ERROR_SERVICE_NOT_ACTIVE) {
                QVX_TRACE(trace::kError, 1, L"ControlService stop failed", controlError);
                error = controlError;
            }
        }
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (error == ERROR_SUCCESS) {
            error = QueryStatus(service, status);
            if (error != ERROR_SUCCESS || status.dwCurrentState == SERVICE_STOPPED)
                break;
            if (GetTickCount64() >= deadline) {
                QVX_TRACE(trace::kWarning, 2, L"service not stopped in time", status.dwCurrentState, timeoutMs);
                error = ERROR_TIMEOUT;
                break;
            }
            Sleep(kPollMs);
        }
    }
    if (finalStatus)
        *finalStatus = status;
    return error;
}

} // namespace qvx
