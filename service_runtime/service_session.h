#pragma once
// What one run of one service owes the management service, whatever runs
// the service: a hosted process's service thread, or the thread the hosting
// stand-in lends a DLL service. A session holds the service's named mutex,
// fetches its start arguments and reports its state over the control pipe;
// the listener messages are turned into calls on a per-service sink.
//
// A session is made for one run and used on the thread that runs the
// service; the mutex belongs to that thread. After the stopped report the
// management service may start the service again at once, so an owner that
// outlives the run keeps nothing of it in the session.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/handles.h"
#include "service_runtime/hosted_service.h"

namespace qvx::hosted {

inline constexpr wchar_t kListenerPipeSuffix[] = L"_qvxsvh_listenerpipe";

// The listener pipe named after `serviceName`: the options' prefix, the
// name and "_qvxsvh_listenerpipe".
std::wstring ListenerPipeName(const HostedServiceOptions& options, const std::wstring& serviceName);

class ServiceSession {
public:
    ServiceSession(std::wstring serviceName, const HostedServiceOptions& options);
    ServiceSession(const ServiceSession&) = delete;
    ServiceSession& operator=(const ServiceSession&) = delete;

    const std::wstring& Name() const noexcept { return name_; }

    // Takes "<name>_mutex" (name lower-cased) for the calling thread. The
    // management service makes the mutex before it starts the service and
    // hands it to its monitor; a mutex held elsewhere past mutexWaitMs fails
    // with ERROR_SERVICE_ALREADY_RUNNING. 0 or a Windows error.
    DWORD TakeServiceMutex();
    // Releases the mutex on the thread that took it; nothing when not held.
    void ReleaseServiceMutex();
    bool HoldsServiceMutex() const noexcept { return static_cast<bool>(mutex_); }

    // "SERVICE_START_PENDING,<name>" on the control pipe: the management
    // service learns of the start and hands back its arguments.
    DWORD FetchStartArguments(std::vector<std::wstring>* arguments) const;
    // "SET_SERVICE_STATUS,<name>,<state>" on the control pipe, waited for
    // until the management service has taken it in; a failure is traced.
    void ReportState(DWORD state) const;

private:
    const std::wstring name_;
    const HostedServiceOptions options_;
    KernelHandle mutex_;
};

// What the listener messages ask of one service. Calls come on a listener
// thread.
class ServiceSink {
public:
    // A stop, or the machine's shutdown when `shutdown`.
    virtual void Stop(bool shutdown) = 0;
    virtual void PowerChange() = 0;
    // A control the operating system sent the management service.
    virtual void Control(DWORD control, DWORD eventType, const std::vector<BYTE>& data) = 0;
    // The management service starts this further service of the process.
    virtual void StartService() = 0;
    // The state INTERROGATE answers with.
    virtual DWORD State() const = 0;

protected:
    ~ServiceSink() = default;
};

// The sink of the service named so (ASCII letter case ignored), or null
// when the service is not served here.
using ServiceSinkLookup = std::function<ServiceSink*(std::wstring_view serviceName)>;

// Answers one listener-pipe message: the reply to write, or nullopt when the
// message gets none.
std::optional<std::wstring> HandleListenerMessage(const std::wstring& message, const ServiceSinkLookup& find);

} // namespace qvx::hosted
