// qvxsampledll: a hosted service that runs as a DLL inside the management
// service's process, written exactly as a Windows service DLL is written.
//
// The host calls the exported ServiceMain on a thread of its own; the
// service registers its control handler with RegisterServiceCtrlHandlerExW
// and reports with SetServiceStatus. Its work is a heartbeat: every interval
// (the first start argument, in seconds; 10 by default) it logs one line with
// OutputDebugStringW and, when the environment variable QVXSAMPLE_LOG names a
// file, to that file. STOP and SHUTDOWN end it; it reports STOPPED last.
//
// ServiceMain does the work itself and returns only once the service has
// stopped: the host unloads the DLL when ServiceMain returns, so no thread
// of the service may still run code of it then.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr DWORD kDefaultIntervalSeconds = 10;
constexpr DWORD kMaxIntervalSeconds = 3600;
constexpr DWORD kPendingWaitHintMs = 5000;
constexpr DWORD kAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// The state of the one run of the service. It lives as long as the DLL, not
// on ServiceMain's stack: the host may still call the handler between the
// STOPPED report and its own stop of the listener pipe.
struct Run {
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    SERVICE_STATUS status{};
    // Null outside a run; taken out under the lock before it is closed, so
    // a late control never sets a closed (or reused) handle.
    HANDLE stopEvent = nullptr;
    std::wstring name = L"qvxsampledll";
};

Run g_run;
// Guards g_run's status and stop event: the handler runs on the host's
// listener thread while ServiceMain reports from its own.
SRWLOCK g_lock = SRWLOCK_INIT;

void Log(const std::wstring& text)
{
    const std::wstring line = g_run.name + L": " + text + L"\n";
    OutputDebugStringW(line.c_str());
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"QVXSAMPLE_LOG", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    // Appends are short and whole lines; the process sample may write the
    // same file, so each line opens it anew.
    if (FILE* file = _wfopen(path, L"a, ccs=UTF-8")) {
        std::fputws(line.c_str(), file);
        std::fclose(file);
    }
}

// Reports `state`, with g_lock held: the lock stays held across the report
// so that reports reach the host in the order the state changed. Pending
// states carry a growing checkpoint so that a watcher sees progress.
void ReportLocked(DWORD state, DWORD exitCode = NO_ERROR)
{
    SERVICE_STATUS& status = g_run.status;
    status.dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exitCode;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? kAccepted : 0;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    status.dwWaitHint = pending ? kPendingWaitHintMs : 0;
    SERVICE_STATUS copy = status;
    if (!SetServiceStatus(g_run.statusHandle, &copy))
        Log(L"status " + std::to_wstring(state) + L" not reported, error " + std::to_wstring(GetLastError()));
}

void Report(DWORD state, DWORD exitCode = NO_ERROR)
{
    AcquireSRWLockExclusive(&g_lock);
    ReportLocked(state, exitCode);
    ReleaseSRWLockExclusive(&g_lock);
}

DWORD WINAPI Handler(DWORD control, DWORD /*eventType*/, void* /*eventData*/, void* /*context*/)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Log(control == SERVICE_CONTROL_STOP ? L"stop requested" : L"shutdown requested");
        AcquireSRWLockExclusive(&g_lock);
        // Without the event the service is not running (yet, or any more):
        // there is nothing to stop and no state to go back to.
        if (g_run.stopEvent) {
            ReportLocked(SERVICE_STOP_PENDING);
            SetEvent(g_run.stopEvent);
        }
        ReleaseSRWLockExclusive(&g_lock);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

DWORD IntervalSeconds(DWORD argc, wchar_t** argv)
{
    // argv[0] is the service's name; the arguments follow it.
    if (argc < 2 || !argv[1])
        return kDefaultIntervalSeconds;
    const unsigned long given = std::wcstoul(argv[1], nullptr, 10);
    return given > 0 && given <= kMaxIntervalSeconds ? static_cast<DWORD>(given) : kDefaultIntervalSeconds;
}

} // namespace

extern "C" __declspec(dllexport) void WINAPI ServiceMain(DWORD argc, wchar_t** argv)
{
    AcquireSRWLockExclusive(&g_lock);
    g_run.status = SERVICE_STATUS{};
    g_run.name = argc > 0 && argv && argv[0] && *argv[0] ? argv[0] : L"qvxsampledll";
    const std::wstring name = g_run.name;
    ReleaseSRWLockExclusive(&g_lock);

    const SERVICE_STATUS_HANDLE statusHandle = RegisterServiceCtrlHandlerExW(name.c_str(), &Handler, nullptr);
    if (!statusHandle) {
        // Nothing can be reported without a handle: the host sees the run end.
        Log(L"no control handler, error " + std::to_wstring(GetLastError()));
        return;
    }
    AcquireSRWLockExclusive(&g_lock);
    g_run.statusHandle = statusHandle;
    ReleaseSRWLockExclusive(&g_lock);
    Report(SERVICE_START_PENDING);

    HANDLE stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!stopEvent) {
        const DWORD error = GetLastError();
        Log(L"start failed: no stop event, error " + std::to_wstring(error));
        Report(SERVICE_STOPPED, error);
        return;
    }
    AcquireSRWLockExclusive(&g_lock);
    g_run.stopEvent = stopEvent;
    ReleaseSRWLockExclusive(&g_lock);

    const DWORD seconds = IntervalSeconds(argc, argv);
    Log(L"running, a heartbeat every " + std::to_wstring(seconds) + L" s");
    Report(SERVICE_RUNNING);
    unsigned long beats = 0;
    while (WaitForSingleObject(stopEvent, seconds * 1000) == WAIT_TIMEOUT)
        Log(L"heartbeat " + std::to_wstring(++beats));
    Log(L"stopped after " + std::to_wstring(beats) + L" heartbeat(s)");

    AcquireSRWLockExclusive(&g_lock);
    g_run.stopEvent = nullptr;
    CloseHandle(stopEvent);
    // The last call into the host for this run.
    ReportLocked(SERVICE_STOPPED);
    ReleaseSRWLockExclusive(&g_lock);
}
