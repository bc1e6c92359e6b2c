#pragma once
// Reporting service status to the service control manager. Every handler
// registration and status report of this process goes through the two Call
// functions below, so that tests can record them instead of talking to a
// real service control manager.

#include <windows.h>
#include <winsvc.h>

namespace qvx {

// The management service's status: service type 32, the controls it
// accepts, `state` (0: the state last reported, with its checkpoint) and
// `waitHint`. Start-pending and stop-pending reports carry the next value of
// a checkpoint counter that is never reset; other states carry 0. Does
// nothing without a management service or its status handle. False when
// SetServiceStatus failed (traced).
bool ReportServiceStatus(DWORD state, DWORD waitHint);

// Controls the management service accepts: stop, shutdown, net-bind
// changes, hardware-profile changes, power events and session changes.
constexpr DWORD kManagementControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                              SERVICE_ACCEPT_NETBINDCHANGE | SERVICE_ACCEPT_HARDWAREPROFILECHANGE |
                                              SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE;

using SetServiceStatusFn = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

// SetServiceStatus, or the test's replacement.
BOOL CallSetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);

// Test seam: routes every status report to `fn`; nullptr restores SetServiceStatus.
void SetServiceStatusFunction(SetServiceStatusFn fn) noexcept;

using RegisterServiceCtrlHandlerExFn = SERVICE_STATUS_HANDLE(WINAPI*)(LPCWSTR name, LPHANDLER_FUNCTION_EX handler,
                                                                      LPVOID context);

// RegisterServiceCtrlHandlerExW, or the test's replacement.
SERVICE_STATUS_HANDLE CallRegisterServiceCtrlHandlerEx(LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context);

// Test seam: nullptr restores RegisterServiceCtrlHandlerExW.
void SetRegisterServiceCtrlHandlerExFunction(RegisterServiceCtrlHandlerExFn fn) noexcept;

} // namespace qvx
