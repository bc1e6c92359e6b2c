// A DLL service for the tests of the engine's DLL hosting. Its entry
// points behave in the ways a real one can: return at once, or run until
// the test lets them go. None is called "ServiceMain", so that a record
// naming that export finds it missing.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

LONG started = 0;

// The event a test sets to let every waiting entry point return; named
// after the process, so that the test and the DLL meet on it.
HANDLE ReleaseEvent()
{
    const std::wstring name = L"qvxtest-dllsvc-release-" + std::to_wstring(GetCurrentProcessId());
    return CreateEventW(nullptr, TRUE, FALSE, name.c_str());
}

SERVICE_STATUS_HANDLE g_status = nullptr;
DWORD g_misuse[2] = {MAXDWORD, MAXDWORD};
SERVICE_STATUS_HANDLE g_kept = nullptr;

void Report(DWORD state, DWORD accepted)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    SetServiceStatus(g_status, &status);
}

// Reports stopped from the listener's thread, as a service whose work runs
// elsewhere does.
DWORD WINAPI StopOnControl(DWORD control, DWORD /*eventType*/, void* /*data*/, void* /*context*/)
{
    if (control == SERVICE_CONTROL_STOP)
        Report(SERVICE_STOPPED, 0);
    return NO_ERROR;
}

// The custom control that lets a test end a service that takes no stop.
constexpr DWORD kEndControl = 255;

LONG g_controls = 0;
DWORD g_lastControl = MAXDWORD;
DWORD g_lastEventType = MAXDWORD;

// Counts every control it is given and reports stopped only on kEndControl:
// a stop is ignored.
DWORD WINAPI IgnoreStop(DWORD control, DWORD eventType, void* /*data*/, void* /*context*/)
{
    g_lastControl = control;
    g_lastEventType = eventType;
    InterlockedIncrement(&g_controls);
    if (control == kEndControl)
        Report(SERVICE_STOPPED, 0);
    return NO_ERROR;
}

void RegisterAndReportRunning(DWORD argc, wchar_t** argv, LPHANDLER_FUNCTION_EX handler, DWORD accepted)
{
    InterlockedIncrement(&started);
    g_status = RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", handler, nullptr);
    if (!g_status)
        return;
    Report(SERVICE_START_PENDING, 0);
    Report(SERVICE_RUNNING, accepted);
}

} // namespace

extern "C" {

// Written like a Windows service: registers its handler, reports running
// and returns, leaving the stop to its handler.
__declspec(dllexport) void WINAPI RegistersAndRuns(DWORD argc, wchar_t** argv)
{
    InterlockedIncrement(&started);
    g_status = RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", &StopOnControl, nullptr);
    if (!g_status)
        return;
    Report(SERVICE_START_PENDING, 0);
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
}

// Registers a handler under a name that is not its own and reports with a
// handle it was not given, then returns; what each call failed with is kept.
__declspec(dllexport) void WINAPI MisusesTheServiceCalls(DWORD /*argc*/, wchar_t** /*argv*/)
{
    InterlockedIncrement(&started);
    SetLastError(0);
    g_misuse[0] = RegisterServiceCtrlHandlerExW(L"qvxtest-not-this-service", &StopOnControl, nullptr) ? 0 : GetLastError();
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_RUNNING;
    SetLastError(0);
    g_misuse[1] = SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(&status), &status) ? 0 : GetLastError();
}

// What call `which` of MisusesTheServiceCalls failed with (0: success).
__declspec(dllexport) DWORD WINAPI MisuseError(int which)
{
    return which >= 0 && which < 2 ? g_misuse[which] : MAXDWORD;
}

// Registers and keeps the handle past its run, reporting nothing.
__declspec(dllexport) void WINAPI KeepsItsHandle(DWORD argc, wchar_t** argv)
{
    InterlockedIncrement(&started);
    g_kept = RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", &StopOnControl, nullptr);
}

// Reports running with the handle an earlier run kept, then returns; what
// the report failed with is kept as MisuseError(1).
__declspec(dllexport) void WINAPI ReportsWithTheKeptHandle(DWORD /*argc*/, wchar_t** /*argv*/)
{
    InterlockedIncrement(&started);
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_RUNNING;
    SetLastError(0);
    g_misuse[1] = g_kept && SetServiceStatus(g_kept, &status) ? 0 : GetLastError();
}

// Reports running accepting a stop, but its handler ignores the stop, so it
// never reports stopped; custom control 255 ends it.
__declspec(dllexport) void WINAPI IgnoresTheStop(DWORD argc, wchar_t** argv)
{
    RegisterAndReportRunning(argc, argv, &IgnoreStop, SERVICE_ACCEPT_STOP);
}

// Reports running accepting no control and returns; custom control 255
// ends it.
__declspec(dllexport) void WINAPI NeverAcceptsStop(DWORD argc, wchar_t** argv)
{
    RegisterAndReportRunning(argc, argv, &IgnoreStop, 0);
}

// Reports running accepting the controls its first start argument gives in
// decimal; its handler is that of IgnoresTheStop.
__declspec(dllexport) void WINAPI AcceptsWhatItIsTold(DWORD argc, wchar_t** argv)
{
    const DWORD accepted = argc > 1 ? wcstoul(argv[1], nullptr, 10) : 0;
    RegisterAndReportRunning(argc, argv, &IgnoreStop, accepted);
}

// How many controls the handler of IgnoresTheStop, NeverAcceptsStop or
// AcceptsWhatItIsTold was given, and the last one with its event type.
__declspec(dllexport) LONG WINAPI ControlCount()
{
    return InterlockedCompareExchange(&g_controls, 0, 0);
}

__declspec(dllexport) DWORD WINAPI LastControl()
{
    return g_lastControl;
}

__declspec(dllexport) DWORD WINAPI LastEventType()
{
    return g_lastEventType;
}

// Registers and reports a state no service can be in, accepting a stop,
// then returns; what the report failed with is kept as MisuseError(1).
__declspec(dllexport) void WINAPI ReportsAnUnknownState(DWORD argc, wchar_t** argv)
{
    InterlockedIncrement(&started);
    g_status = RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", &StopOnControl, nullptr);
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_PAUSED + 1;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    SetLastError(0);
    g_misuse[1] = g_status && SetServiceStatus(g_status, &status) ? 0 : GetLastError();
}

__declspec(dllexport) void WINAPI ReturnAtOnce(DWORD /*argc*/, wchar_t** /*argv*/)
{
    InterlockedIncrement(&started);
}

__declspec(dllexport) void WINAPI RunUntilReleased(DWORD /*argc*/, wchar_t** /*argv*/)
{
    InterlockedIncrement(&started);
    HANDLE release = ReleaseEvent();
    if (release) {
        WaitForSingleObject(release, INFINITE);
        CloseHandle(release);
    }
}

// How many times an entry point of this DLL was entered since it loaded.
__declspec(dllexport) LONG WINAPI StartedCount()
{
    return InterlockedCompareExchange(&started, 0, 0);
}

} // extern "C"
