#pragma once
// The in-process proxy services qvxtrust and qvxfwsvc. Each is a Windows
// service of its own name that does no work itself: started by the service
// control manager, it asks the management service (through the management
// client's SvhControl interface) to start the hosted service of the same
// name, reports running once that runs, and waits to be stopped.

#include <windows.h>
#include <winsvc.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "model/service_enums.h"
#include "platform/handles.h"

namespace qvx {

class SvhControl;

// The only controls a proxy accepts.
constexpr DWORD kProxyControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

class ProxyService {
public:
    ProxyService(std::wstring name, DWORD serviceType);
    virtual ~ProxyService() = default;
    ProxyService(const ProxyService&) = delete;
    ProxyService& operator=(const ProxyService&) = delete;

    // Runs the proxy as the only service of its own process; only for
    // SERVICE_WIN32_OWN_PROCESS, else ERROR_INVALID_PARAMETER.
    virtual DWORD RunAsOwnProcess();
    // The entry for a dispatch table: ProxyServiceMain.
    virtual LPSERVICE_MAIN_FUNCTIONW ServiceMain() const;
    virtual const std::wstring& Name() const;
    virtual DWORD ServiceType() const;
    // Makes a running main body stop waiting and report stopped.
    virtual void Stop();

    // The proxy's run from start-pending to stopped, on the thread the
    // dispatcher gave its service main function.
    void RunMainBody();

    // Control handling on the dispatcher thread.
    DWORD HandleControl(DWORD control);

    // Reports start-pending with the next checkpoint (the other fields as
    // last reported); false when SetServiceStatus failed (traced).
    bool ReportStartPending();

    // Waits `milliseconds` for a stop request; false when one came.
    bool Pause(DWORD milliseconds);

private:
    bool Report(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD exitCode = NO_ERROR);
    // Asks the management service to start the hosted service and waits
    // until it runs; true when it does. Otherwise `failure` is the error
    // the proxy ends with, 0 when a stop request ended the wait.
    bool StartHostedService(DWORD& failure);

    const std::wstring name_;
    const DWORD serviceType_;

    // Status and stop event are shared with the handler thread.
    SRWLOCK lock_ = SRWLOCK_INIT;
    KernelHandle stopEvent_;
    std::atomic<bool> stopSeen_{false};
    SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
    SERVICE_STATUS status_ = {};
};

// The process's proxies: at most two, filled before the dispatcher starts
// and read-only afterwards.
class ProxyServiceRegistry {
public:
    static constexpr size_t kCapacity = 2;

    // A new proxy, or nullptr when the registry is full, a proxy of that
    // name exists, a second proxy is not of type SERVICE_WIN32_SHARE_PROCESS
    // or the proxy cannot be built (each traced).
    ProxyService* Create(const wchar_t* name, DWORD serviceType);
    // The proxy whose whole name equals `name` (ASCII letter case folded).
    ProxyService* Find(std::wstring_view name) const;
    size_t Count() const { return count_; }

private:
    std::unique_ptr<ProxyService> proxies_[kCapacity];
    size_t count_ = 0;
};

// The process-wide registry.
ProxyServiceRegistry& ProxyServices();

void WINAPI ProxyServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ProxyServiceHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// Starts the management service through the service control manager unless
// it runs or is starting, then waits until it runs, reporting the proxy's
// progress meanwhile.
void EnsureManagementServiceRunning(ProxyService& proxy);

// What the proxies call outside themselves, replaceable by tests.
struct ProxyCalls {
    DWORD (*getSvhControl)(SvhControl** control);
    void (*ensureManagementServiceRunning)(ProxyService& proxy);
};
// Test seam: nullptr restores the real calls.
void SetProxyCalls(const ProxyCalls* calls) noexcept;

} // namespace qvx
