// qvxsample: a hosted service written with the hosted services' runtime.
//
// It does one trivial piece of work, counting ticks of a timer, and logs each
// callback the runtime makes with OutputDebugStringW and, when the
// environment variable QVXSAMPLE_LOG names a file, to that file. Its first
// start argument, when given, is the tick interval in seconds.
//
// A service author needs no more than this: callbacks, a name, and
// RunHostedService. The runtime holds the service's mutex, serves its
// listener pipe and reports to the management service.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "service_runtime/hosted_service.h"

namespace {

constexpr wchar_t kServiceName[] = L"qvxsample";
constexpr DWORD kDefaultIntervalSeconds = 10;

class SampleService {
public:
    SampleService() { InitializeCriticalSection(&logLock_); }
    ~SampleService() { DeleteCriticalSection(&logLock_); }
    SampleService(const SampleService&) = delete;
    SampleService& operator=(const SampleService&) = delete;

    DWORD Start(const std::vector<std::wstring>& arguments)
    {
        DWORD seconds = kDefaultIntervalSeconds;
        if (!arguments.empty()) {
            const unsigned long given = std::wcstoul(arguments[0].c_str(), nullptr, 10);
            if (given > 0 && given <= 3600)
                seconds = given;
        }
        Log(L"start, " + std::to_wstring(arguments.size()) + L" argument(s), a tick every " +
            std::to_wstring(seconds) + L" s");
        // The timer queue runs the tick on a pool thread; the service's own
        // threads stay free for the runtime.
        if (!CreateTimerQueueTimer(&timer_, nullptr, &SampleService::Tick, this, seconds * 1000, seconds * 1000,
                                   WT_EXECUTEDEFAULT)) {
            const DWORD error = GetLastError();
            Log(L"start failed: timer not created, error " + std::to_wstring(error));
            return error;
        }
        return ERROR_SUCCESS;
    }

    void Stop(const wchar_t* why)
    {
        // INVALID_HANDLE_VALUE waits for a tick that is running, so nothing
        // touches this object once the service is reported stopped.
        if (timer_ && !DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE))
            Log(L"timer not deleted, error " + std::to_wstring(GetLastError()));
        timer_ = nullptr;
        Log(std::wstring(why) + L" after " + std::to_wstring(ticks_) + L" tick(s)");
    }

    void Log(const std::wstring& text)
    {
        const std::wstring line = std::wstring(kServiceName) + L": " + text + L"\n";
        OutputDebugStringW(line.c_str());
        wchar_t path[MAX_PATH];
        const DWORD length = GetEnvironmentVariableW(L"QVXSAMPLE_LOG", path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return;
        EnterCriticalSection(&logLock_);
        if (FILE* file = _wfopen(path, L"a, ccs=UTF-8")) {
            std::fputws(line.c_str(), file);
            std::fclose(file);
        }
        LeaveCriticalSection(&logLock_);
    }

    static DWORD OnStart(void* context, const std::vector<std::wstring>& arguments)
    {
        return static_cast<SampleService*>(context)->Start(arguments);
    }
    static void OnStop(void* context) { static_cast<SampleService*>(context)->Stop(L"stop"); }
    static void OnShutdown(void* context) { static_cast<SampleService*>(context)->Stop(L"shutdown"); }
    static void OnPowerChange(void* context) { static_cast<SampleService*>(context)->Log(L"power condition changed"); }
    static void OnControl(void* context, DWORD control, DWORD eventType, const std::vector<BYTE>& data)
    {
        static_cast<SampleService*>(context)->Log(L"control " + std::to_wstring(control) + L", event type " +
                                                  std::to_wstring(eventType) + L", " + std::to_wstring(data.size()) +
                                                  L" byte(s) of data");
    }

private:
    static void CALLBACK Tick(void* context, BOOLEAN)
    {
        auto* service = static_cast<SampleService*>(context);
        const LONG ticks = InterlockedIncrement(&service->ticks_);
        service->Log(L"tick " + std::to_wstring(ticks));
    }

    HANDLE timer_ = nullptr;
    LONG ticks_ = 0;
    CRITICAL_SECTION logLock_;
};

} // namespace

int wmain()
{
    SampleService service;
    qvx::hosted::HostedServiceCallbacks callbacks;
    callbacks.start = &SampleService::OnStart;
    callbacks.stop = &SampleService::OnStop;
    callbacks.shutdown = &SampleService::OnShutdown;
    callbacks.powerChange = &SampleService::OnPowerChange;
    callbacks.control = &SampleService::OnControl;
    callbacks.context = &service;

    const std::wstring name = qvx::hosted::HostedServiceNameFromCommandLine(nullptr, {kServiceName});
    const int exitCode = qvx::hosted::RunHostedService(name.c_str(), callbacks);
    service.Log(L"ended with exit code " + std::to_wstring(exitCode));
    return exitCode;
}
