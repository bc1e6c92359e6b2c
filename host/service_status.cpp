#include "host/service_status.h"

#include <atomic>

#include "host/management_service.h"
#include "platform/locks.h"
#include "platform/trace.h"

namespace qvx {

namespace {

std::atomic<SetServiceStatusFn> g_setServiceStatus{nullptr};
std::atomic<RegisterServiceCtrlHandlerExFn> g_registerHandler{nullptr};

} // namespace

BOOL CallSetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status)
{
    SetServiceStatusFn fn = g_setServiceStatus.load();
    return fn ? fn(handle, status) : SetServiceStatus(handle, status);
}

void SetServiceStatusFunction(SetServiceStatusFn fn) noexcept
{
    g_setServiceStatus.store(fn);
}

SERVICE_STATUS_HANDLE CallRegisterServiceCtrlHandlerEx(LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context)
{
    RegisterServiceCtrlHandlerExFn fn = g_registerHandler.load();
    return fn ? fn(name, handler, context) : RegisterServiceCtrlHandlerExW(name, handler, context);
}

void SetRegisterServiceCtrlHandlerExFunction(RegisterServiceCtrlHandlerExFn fn) noexcept
{
    g_registerHandler.store(fn);
}

bool ReportServiceStatus(DWORD state, DWORD waitHint)
{
    ManagementService* service = GetManagementService();
    if (!service)
        return true;
    SrwExclusiveGuard guard(service->statusLock);
    if (!service->statusHandle)
        return true;
    SERVICE_STATUS& status = service->status;
    status.dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
    status.dwControlsAccepted = kManagementControlsAccepted;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    status.dwWaitHint = waitHint;
    // An interrogation repeats the last report: it is no sign of progress,
    // so it does not advance the checkpoint.
    if (state != 0) {
        status.dwCurrentState = state;
        status.dwCheckPoint =
            (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) ? ++service->checkpoint : 0;
    }
    if (!CallSetServiceStatus(service->statusHandle, &status)) {
        QVX_TRACE(trace::kError, 1, kManagementServiceName, L"SetServiceStatus failed", status.dwCurrentState, GetLastError());
        return false;
    }
    return true;
}

} // namespace qvx
