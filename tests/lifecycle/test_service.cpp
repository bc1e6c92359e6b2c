// qvxtest_service: a hosted service for the lifecycle tests, built on the
// hosted services' runtime. What it does wrong is chosen on its command line,
// which for an own-process service is its configured binary path:
//
//   --log=FILE       appends one line per thing it saw (UTF-8), see Note
//   --name=NAME      the service to run (default "qvxtest"); for a shared
//                    process, the host appends the name of the service it
//                    starts, which wins when it is one of the names given
//   --also=NAME      a further service of the same process, joined with
//                    START_SERVICE on the first one's listener pipe
//   --mode=MODE      normal (default), die-before-pending, die-in-start,
//                    fail-start, crash-after:MS, hang-start, ignore-stop,
//                    exit-in-shutdown (ends its process from the shutdown
//                    callback without reporting), hang-shutdown, or
//                    listener-only:ANSWERS, see below
//   --control-pipe=NAME  the management service's control pipe, for a
//                    host that runs on a private one
//
// Lines: "<what> <service> pid=<pid> args=<count>[ <arg>|<arg>...]".
//
// listener-only:ANSWERS runs no service: the process takes the service's
// mutex (unless ANSWERS holds "nomutex") and serves the listener pipe of
// --name, answering the messages ANSWERS names ("+"-joined: ping, state,
// pid) as a running service would; any other message is dropped unanswered.
// It stands for a process the management service finds after a restart
// that answers only part of what re-attaching asks. Logs "listener".

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "service_runtime/hosted_service.h"

namespace {

constexpr DWORD kFailedStartCode = 1064; // ERROR_EXCEPTION_IN_SERVICE
constexpr UINT kDiedBeforePendingCode = 3;
constexpr UINT kDiedInStartCode = 4;
constexpr UINT kCrashedCode = 5;
constexpr UINT kExitedInShutdownCode = 6;

struct Settings {
    std::wstring log;
    std::wstring name = L"qvxtest";
    std::vector<std::wstring> also;
    std::wstring mode = L"normal";
    DWORD crashAfterMs = 0;
    std::wstring controlPipe;
    std::wstring answers; // for listener-only
};

Settings g_settings;
CRITICAL_SECTION g_logLock;

void Log(const std::wstring& what, const std::wstring& service, const std::vector<std::wstring>& arguments = {})
{
    std::wstring line = what + L" " + service + L" pid=" + std::to_wstring(GetCurrentProcessId()) + L" args=" +
                        std::to_wstring(arguments.size());
    for (size_t i = 0; i < arguments.size(); ++i)
        line += (i == 0 ? L" " : L"|") + arguments[i];
    line += L"\n";
    if (g_settings.log.empty())
        return;
    EnterCriticalSection(&g_logLock);
    // Opened and closed for every line, so that a line is in the file even
    // when the process is killed right after.
    if (FILE* file = _wfopen(g_settings.log.c_str(), L"ab")) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0,
                                             nullptr, nullptr);
        std::string bytes(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(), size, nullptr,
                            nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    LeaveCriticalSection(&g_logLock);
}

bool TakeSwitch(const wchar_t* argument, const wchar_t* name, std::wstring* value)
{
    const size_t length = wcslen(name);
    if (wcsncmp(argument, name, length) != 0)
        return false;
    *value = argument + length;
    return true;
}

void ReadSettings(int argc, wchar_t** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::wstring value;
        if (TakeSwitch(argv[i], L"--log=", &value)) {
            g_settings.log = value;
        } else if (TakeSwitch(argv[i], L"--name=", &value)) {
            g_settings.name = value;
        } else if (TakeSwitch(argv[i], L"--also=", &value)) {
            g_settings.also.push_back(value);
        } else if (TakeSwitch(argv[i], L"--control-pipe=", &value)) {
            g_settings.controlPipe = value;
        } else if (TakeSwitch(argv[i], L"--mode=", &value)) {
            g_settings.mode = value;
            if (TakeSwitch(value.c_str(), L"crash-after:", &value)) {
                g_settings.mode = L"crash-after";
                g_settings.crashAfterMs = wcstoul(value.c_str(), nullptr, 10);
            } else if (TakeSwitch(value.c_str(), L"listener-only:", &value)) {
                g_settings.mode = L"listener-only";
                g_settings.answers = L"+" + value + L"+";
            }
        }
    }
}

// Each service keeps its name as the callbacks' context.
struct Service {
    std::wstring name;
    HANDLE release = nullptr;
};

DWORD WINAPI CrashLater(void*)
{
    Sleep(g_settings.crashAfterMs);
    TerminateProcess(GetCurrentProcess(), kCrashedCode);
    return 0;
}

DWORD OnStart(void* context, const std::vector<std::wstring>& arguments)
{
    auto* service = static_cast<Service*>(context);
    Log(L"start", service->name, arguments);
    const std::wstring& mode = g_settings.mode;
    if (mode == L"die-in-start")
        ExitProcess(kDiedInStartCode);
    if (mode == L"fail-start")
        return kFailedStartCode;
    if (mode == L"hang-start")
        WaitForSingleObject(service->release, INFINITE);
    if (mode == L"crash-after") {
        HANDLE thread = CreateThread(nullptr, 0, CrashLater, nullptr, 0, nullptr);
        if (thread)
            CloseHandle(thread);
    }
    return ERROR_SUCCESS;
}

void OnStop(void* context)
{
    auto* service = static_cast<Service*>(context);
    Log(L"stop", service->name);
    if (g_settings.mode == L"ignore-stop")
        WaitForSingleObject(service->release, INFINITE);
}

void OnShutdown(void* context)
{
    auto* service = static_cast<Service*>(context);
    Log(L"shutdown", service->name);
    if (g_settings.mode == L"exit-in-shutdown")
        ExitProcess(kExitedInShutdownCode);
    if (g_settings.mode == L"hang-shutdown")
        WaitForSingleObject(service->release, INFINITE);
}

void OnPowerChange(void* context)
{
    Log(L"power", static_cast<Service*>(context)->name);
}

qvx::hosted::HostedServiceCallbacks CallbacksFor(Service* service)
{
    qvx::hosted::HostedServiceCallbacks callbacks;
    callbacks.start = &OnStart;
    callbacks.stop = &OnStop;
    callbacks.shutdown = &OnShutdown;
    callbacks.powerChange = &OnPowerChange;
    callbacks.context = service;
    return callbacks;
}

bool Answers(const wchar_t* what)
{
    return g_settings.answers.find(std::wstring(L"+") + what + L"+") != std::wstring::npos;
}

// The reply to one listener message, or "" to leave it unanswered.
std::wstring ListenerReply(const std::wstring& message)
{
    const std::wstring kind = message.substr(0, message.find(L','));
    if (kind == L"PING" && Answers(L"ping"))
        return L"ACK";
    if (kind == L"SERVICE_CONTROL_INTERROGATE" && Answers(L"state"))
        return L"SERVICE_RUNNING";
    if (kind == L"QUERY_PROCESS_ID" && Answers(L"pid"))
        return std::to_wstring(GetCurrentProcessId());
    return std::wstring();
}

HANDLE NewListenerInstance(const std::wstring& pipe)
{
    return CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
}

// Serves the listener pipe until the process is killed. The next instance
// is created before the current one is let go, so that a client never
// finds the name unserved.
int RunListenerOnly(const std::wstring& name)
{
    Log(L"listener", name);
    if (!Answers(L"nomutex")) {
        std::wstring mutexName = name + L"_mutex";
        for (wchar_t& c : mutexName)
            c = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        if (!CreateMutexW(nullptr, TRUE, mutexName.c_str()) || GetLastError() == ERROR_ALREADY_EXISTS) {
            Log(L"mutex-failed-" + std::to_wstring(GetLastError()), name);
            return 1;
        }
    }
    const std::wstring pipe = L"\\\\.\\pipe\\" + name + L"_qvxsvh_listenerpipe";
    HANDLE instance = NewListenerInstance(pipe);
    while (instance != INVALID_HANDLE_VALUE) {
        if (!ConnectNamedPipe(instance, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            CloseHandle(instance);
            instance = NewListenerInstance(pipe);
            continue;
        }
        HANDLE next = NewListenerInstance(pipe);
        wchar_t buffer[1024] = {};
        DWORD got = 0;
        if (ReadFile(instance, buffer, sizeof(buffer) - sizeof(wchar_t), &got, nullptr)) {
            const std::wstring reply = ListenerReply(std::wstring(buffer));
            if (!reply.empty()) {
                DWORD written = 0;
                WriteFile(instance, reply.c_str(), static_cast<DWORD>((reply.size() + 1) * sizeof(wchar_t)), &written,
                          nullptr);
                FlushFileBuffers(instance);
            }
        }
        DisconnectNamedPipe(instance);
        CloseHandle(instance);
        instance = next;
    }
    Log(L"listener-failed-" + std::to_wstring(GetLastError()), name);
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    InitializeCriticalSection(&g_logLock);
    ReadSettings(argc, argv);

    std::vector<std::wstring> names{g_settings.name};
    names.insert(names.end(), g_settings.also.begin(), g_settings.also.end());
    const std::wstring first = qvx::hosted::HostedServiceNameFromCommandLine(nullptr, names);
    if (g_settings.mode == L"listener-only")
        return RunListenerOnly(first);
    Log(L"main", first);
    if (g_settings.mode == L"die-before-pending")
        ExitProcess(kDiedBeforePendingCode);

    // Nothing sets this event: a service that hangs or ignores its stop
    // waits for it until its process is killed.
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<Service> services(names.size());
    for (size_t i = 0; i < names.size(); ++i)
        services[i] = Service{names[i], never};
    Service* firstService = nullptr;
    for (Service& service : services) {
        if (!firstService && _wcsicmp(service.name.c_str(), first.c_str()) == 0) {
            firstService = &service;
            continue;
        }
        const DWORD error = qvx::hosted::RegisterHostedService(service.name.c_str(), CallbacksFor(&service));
        if (error != ERROR_SUCCESS)
            Log(L"register-failed-" + std::to_wstring(error), service.name);
    }
    qvx::hosted::HostedServiceOptions options;
    if (!g_settings.controlPipe.empty())
        options.controlPipeName = g_settings.controlPipe;
    const int exitCode =
        qvx::hosted::RunHostedService(firstService->name.c_str(), CallbacksFor(firstService), options);
    Log(L"exit-" + std::to_wstring(exitCode), first);
    return exitCode;
}
