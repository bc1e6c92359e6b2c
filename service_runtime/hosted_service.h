#pragma once
// The runtime a hosted service links. A service hands it plain callbacks and
// a name; the runtime does the rest of what the management service expects
// of a hosted process:
//
//  - it holds the service's named mutex "<name>_mutex" while the service
//    runs, so the management service sees the process end;
//  - it serves the process's listener pipe "\\.\pipe\<name>_qvxsvh_listenerpipe"
//    (named after the first service of the process) and turns its messages
//    into the callbacks;
//  - it fetches the start arguments over the control pipe and reports the
//    service running and stopped there.
//
//     int wmain()
//     {
//         qvx::hosted::HostedServiceCallbacks callbacks{};
//         callbacks.start = &StartWork;
//         callbacks.stop = &StopWork;
//         std::wstring name = qvx::hosted::HostedServiceNameFromCommandLine(nullptr, {L"mysvc"});
//         return qvx::hosted::RunHostedService(name.c_str(), callbacks);
//     }
//
// Threads: start, stop and shutdown run on a thread of the service's own,
// one after the other; stop or shutdown is called once, after start returned
// 0, and the service counts as stopped when it returns. powerChange and
// control run on a listener thread, only while the service is running,
// never at the same time as each other or as stop/shutdown; they should
// return soon, since the management service waits for the message to be
// taken.

#include <windows.h>

#include <string>
#include <vector>

namespace qvx::hosted {

struct HostedServiceCallbacks {
    // Starts the service's work with the arguments the management service
    // holds for this start; 0 means running, anything else is the exit code
    // of a failed start (the service is then reported stopped). Required.
    DWORD (*start)(void* context, const std::vector<std::wstring>& arguments) = nullptr;
    // Ends the work; the service is reported stopped when it returns.
    void (*stop)(void* context) = nullptr;
    // As stop, when the machine shuts down; when null, stop is called.
    void (*shutdown)(void* context) = nullptr;
    // The machine's power condition changed.
    void (*powerChange)(void* context) = nullptr;
    // A control the operating system sent the management service, forwarded
    // with its event type and event data.
    void (*control)(void* context, DWORD control, DWORD eventType, const std::vector<BYTE>& data) = nullptr;
    void* context = nullptr;
};

struct HostedServiceOptions {
    // The management service's control pipe.
    std::wstring controlPipeName = L"\\\\.\\pipe\\svhserver";
    // The listener pipe is this prefix, the first service's name and
    // "_qvxsvh_listenerpipe".
    std::wstring listenerPipePrefix = L"\\\\.\\pipe\\";
    // How long a control-pipe request, and a listener client that neither
    // sends nor closes, may take.
    DWORD pipeTimeoutMs = 15000;
    // How long a service waits for its mutex when another process holds it
    // (a previous copy of the service still ending); then the start fails
    // with ERROR_SERVICE_ALREADY_RUNNING.
    DWORD mutexWaitMs = 5000;
};

// Adds a further service to this process, for a shared-process executable:
// the management service starts it with a START_SERVICE message on the
// process's listener pipe. Registrations hold for the next RunHostedService
// and end with it. 0, ERROR_INVALID_PARAMETER (no name or start callback) or
// ERROR_DUPLICATE_SERVICE_NAME.
DWORD RegisterHostedService(const wchar_t* serviceName, const HostedServiceCallbacks& callbacks);

// Starts `serviceName` and serves the listener pipe until every service
// started in this process has stopped. Returns the first service's exit
// code: 0 after a stop, the start callback's code after a failed start, or a
// Windows error when the runtime could not run it (mutex, listener pipe,
// control pipe). One run per process at a time.
int RunHostedService(const wchar_t* serviceName, const HostedServiceCallbacks& callbacks,
                     const HostedServiceOptions& options = {});

// The name to run under, from a command line (the process's own when null).
// The management service appends the service name to the command line of a
// shared-process service; an own-process service's command line is its
// binary path as configured. So: the last argument when it is one of
// `names` (letter case of A-Z ignored), else the first of `names`.
std::wstring HostedServiceNameFromCommandLine(const wchar_t* commandLine, const std::vector<std::wstring>& names);

} // namespace qvx::hosted
