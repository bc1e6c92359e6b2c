#include "host/proxy_service.h"

#include <atomic>
#include <new>

#include "platform/companion_interfaces.h"
#include "platform/last_error.h"
#include "host/management_service.h"
#include "host/service_status.h"
#include "platform/trusted_library.h"
#include "platform/locks.h"
#include "platform/trace.h"
#include "platform/wide_text.h"

namespace qvx {

namespace {

constexpr DWORD kFirstWaitHint = 1000;
constexpr DWORD kHostedPollMs = 250;
constexpr DWORD kManagementPollMs = 100;

DWORD GetSvhControl(SvhControl** control)
{
    void* iface = nullptr;
    DWORD error = GetTrustedLibraryInterface(kSvhClientLibrary, kSvhControlInterface, &iface);
    if (error == 0 && !iface)
        error = ERROR_INVALID_FUNCTION;
    *control = error == 0 ? static_cast<SvhControl*>(iface) : nullptr;
    return error;
}

const ProxyCalls kRealCalls = {GetSvhControl, EnsureManagementServiceRunning};
std::atomic<const ProxyCalls*> g_calls{&kRealCalls};

// Releases a companion-library object through its second operation.
template <typename T>
class Released {
public:
    explicit Released(T* object = nullptr) noexcept : object_(object) {}
    ~Released()
    {
        if (object_)
            object_->Release();
    }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    T* Get() const noexcept { return object_; }
    T* operator->() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    T* object_;
};

} // namespace

void SetProxyCalls(const ProxyCalls* calls) noexcept
{
    g_calls.store(calls ? calls : &kRealCalls);
}

ProxyService::ProxyService(std::wstring name, DWORD serviceType)
    : name_(std::move(name)), serviceType_(serviceType)
{
}

DWORD ProxyService::RunAsOwnProcess()
{
    if (serviceType_ != SERVICE_WIN32_OWN_PROCESS)
        return ERROR_INVALID_PARAMETER;
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(name_.c_str()), ServiceMain()}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 1, name_, L"StartServiceCtrlDispatcherW failed", error);
        return error;
    }
    return 0;
}

LPSERVICE_MAIN_FUNCTIONW ProxyService::ServiceMain() const
{
    return ProxyServiceMain;
}

const std::wstring& ProxyService::Name() const
{
    return name_;
}

DWORD ProxyService::ServiceType() const
{
    return serviceType_;
}

void ProxyService::Stop()
{
    SrwExclusiveGuard guard(lock_);
    if (stopEvent_)
        SetEvent(stopEvent_.Get());
}

bool ProxyService::Report(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD exitCode)
{
    SrwExclusiveGuard guard(lock_);
    status_.dwCurrentState = state;
    status_.dwWin32ExitCode = exitCode;
    status_.dwCheckPoint = checkPoint;
    status_.dwWaitHint = waitHint;
    if (!CallSetServiceStatus(statusHandle_, &status_)) {
        QVX_TRACE(trace::kError, 2, name_, L"SetServiceStatus failed", state, GetLastError());
        return false;
    }
    return true;
}

bool ProxyService::ReportStartPending()
{
    SrwExclusiveGuard guard(lock_);
    status_.dwCurrentState = SERVICE_START_PENDING;
    ++status_.dwCheckPoint;
    if (!CallSetServiceStatus(statusHandle_, &status_)) {
        QVX_TRACE(trace::kError, 3, name_, L"SetServiceStatus failed", status_.dwCurrentState, GetLastError());
        return false;
    }
    return true;
}

bool ProxyService::Pause(DWORD milliseconds)
{
    HANDLE stopEvent;
    {
        SrwSharedGuard guard(lock_);
        stopEvent = stopEvent_.Get();
    }
    // The event is auto-reset: a stop seen here is remembered for the final wait.
    if (stopEvent && WaitForSingleObject(stopEvent, milliseconds) == WAIT_OBJECT_0) {
        stopSeen_.store(true);
        return false;
    }
    if (!stopEvent)
        Sleep(milliseconds);
    return true;
}

bool ProxyService::StartHostedService(DWORD& failure)
{
    const ProxyCalls& calls = *g_calls.load();
    failure = NO_ERROR;
    for (int attempt = 1;; ++attempt) {
        SvhControl* rawControl = nullptr;
        DWORD error = calls.getSvhControl(&rawControl);
        Released<SvhControl> control(rawControl);
        if (error != 0 || !control) {
            failure = error != 0 ? error : ERROR_INVALID_FUNCTION;
            QVX_TRACE(trace::kError, 4, name_, L"management client not available", error);
            return false;
        }
        Released<SvhController> controller(control->OpenController());
        if (!controller) {
            failure = LastErrorOr(ERROR_SERVICE_NOT_ACTIVE);
            QVX_TRACE(trace::kError, 5, name_, L"no controller from the management client", failure);
            return false;
        }
        Released<SvhServiceObject> hosted(controller->OpenHostedService(name_.c_str()));
        if (!hosted) {
            failure = LastErrorOr(ERROR_SERVICE_DOES_NOT_EXIST);
            QVX_TRACE(trace::kError, 6, name_, L"hosted service not found", failure, attempt);
            if (attempt == 2)
                return false;
            if (!ReportStartPending())
                return false;
            calls.ensureManagementServiceRunning(*this);
            failure = NO_ERROR;
            if (stopSeen_.load())
                return false;
            continue;
        }
        if (!hosted->Start(0, nullptr)) {
            error = GetLastError();
            if (error != ERROR_SERVICE_ALREADY_RUNNING) {
                failure = error != ERROR_SUCCESS ? error : ERROR_SERVICE_NOT_ACTIVE;
                QVX_TRACE(trace::kError, 7, name_, L"hosted service could not be started", error);
                return false;
            }
        }
        for (;;) {
            DWORD state = 0;
            if (!hosted->QueryState(&state)) {
                failure = LastErrorOr(ERROR_SERVICE_NOT_ACTIVE);
                QVX_TRACE(trace::kError, 8, name_, L"hosted service state not available", failure);
                return false;
            }
            if (state == SERVICE_RUNNING)
                return true;
            if (state == SERVICE_STOPPED) {
                // The same error the management client gives for a start
                // that failed in the hosted process.
                failure = ERROR_PROCESS_ABORTED;
                QVX_TRACE(trace::kError, 9, name_, L"hosted service stopped while starting");
                return false;
            }
            ReportStartPending();
            if (!Pause(kHostedPollMs)) {
                QVX_TRACE(trace::kInfo, 10, name_, L"stop requested while the hosted service starts");
                return false;
            }
        }
    }
}

void ProxyService::RunMainBody()
{
    KernelHandle stopEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!stopEvent) {
        QVX_TRACE(trace::kError, 11, name_, L"stop event could not be created", GetLastError());
        return;
    }
    {
        SrwExclusiveGuard guard(lock_);
        stopEvent_ = std::move(stopEvent);
        stopSeen_.store(false);
        status_ = {};
        status_.dwServiceType = serviceType_;
        status_.dwControlsAccepted = kProxyControlsAccepted;
        statusHandle_ = nullptr;
    }
    SERVICE_STATUS_HANDLE statusHandle = CallRegisterServiceCtrlHandlerEx(name_.c_str(), ProxyServiceHandlerEx, this);
    if (!statusHandle) {
        QVX_TRACE(trace::kError, 12, name_, L"RegisterServiceCtrlHandlerExW failed", GetLastError());
        return;
    }
    {
        SrwExclusiveGuard guard(lock_);
        statusHandle_ = statusHandle;
    }
    // A start that fails ends with its error, so that the service control
    // manager and whoever started the proxy see that it never ran.
    DWORD failure = NO_ERROR;
    if (Report(SERVICE_START_PENDING, 1, kFirstWaitHint) && StartHostedService(failure)) {
        Report(SERVICE_RUNNING, 0, 0);
        HANDLE waitOn;
        {
            SrwSharedGuard guard(lock_);
            waitOn = stopEvent_.Get();
        }
        if (!stopSeen_.load() && WaitForSingleObject(waitOn, INFINITE) != WAIT_OBJECT_0)
            QVX_TRACE(trace::kError, 13, name_, L"waiting for the stop request failed", GetLastError());
    }
    Report(SERVICE_STOPPED, 0, 0, failure);
}

DWORD ProxyService::HandleControl(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        {
            SrwExclusiveGuard guard(lock_);
            status_.dwCurrentState = SERVICE_STOP_PENDING;
            if (statusHandle_ && !CallSetServiceStatus(statusHandle_, &status_))
                QVX_TRACE(trace::kError, 14, name_, L"SetServiceStatus failed", status_.dwCurrentState,
                          GetLastError());
        }
        Stop();
        return NO_ERROR;
    }
    if (control >= SERVICE_CONTROL_PAUSE && control <= SERVICE_CONTROL_PRESHUTDOWN) {
        QVX_TRACE(trace::kInfo, 15, name_, L"control not handled", control);
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    return NO_ERROR;
}

ProxyService* ProxyServiceRegistry::Create(const wchar_t* name, DWORD serviceType)
{
    if (!name || !*name) {
        QVX_TRACE(trace::kError, 16, L"proxy without a name");
        return nullptr;
    }
    if (count_ >= kCapacity) {
        QVX_TRACE(trace::kError, 17, name, L"no room for another proxy", count_);
        return nullptr;
    }
    if (count_ == 1 && serviceType != SERVICE_WIN32_SHARE_PROCESS) {
        QVX_TRACE(trace::kError, 18, name, L"a second proxy must share the process", serviceType);
        return nullptr;
    }
    if (Find(name)) {
        QVX_TRACE(trace::kError, 19, name, L"proxy exists already");
        return nullptr;
    }
    try {
        proxies_[count_] = std::make_unique<ProxyService>(name, serviceType);
    } catch (...) {
        QVX_TRACE(trace::kError, 20, name, L"proxy could not be built", static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        return nullptr;
    }
    return proxies_[count_++].get();
}

ProxyService* ProxyServiceRegistry::Find(std::wstring_view name) const
{
    for (size_t i = 0; i < count_; ++i) {
        if (EqualsFolded(proxies_[i]->Name(), name))
            return proxies_[i].get();
    }
    return nullptr;
}

ProxyServiceRegistry& ProxyServices()
{
    static ProxyServiceRegistry registry;
    return registry;
}

void WINAPI ProxyServiceMain(DWORD argc, LPWSTR* argv)
{
    if (argc == 0 || !argv || !argv[0]) {
        QVX_TRACE(trace::kError, 21, L"proxy started without its name");
        return;
    }
    ProxyService* proxy = ProxyServices().Find(argv[0]);
    if (!proxy) {
        QVX_TRACE(trace::kError, 22, argv[0], L"no proxy of that name");
        return;
    }
    proxy->RunMainBody();
}

DWORD WINAPI ProxyServiceHandlerEx(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/, LPVOID context)
{
    auto* proxy = static_cast<ProxyService*>(context);
    if (!proxy)
        return ERROR_INVALID_PARAMETER;
    return proxy->HandleControl(control);
}

void EnsureManagementServiceRunning(ProxyService& proxy)
{
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ | SC_MANAGER_QUERY_LOCK_STATUS));
    if (!manager) {
        QVX_TRACE(trace::kError, 23, proxy.Name(), L"OpenSCManagerW failed", GetLastError());
        return;
    }
    ServiceHandle service(OpenServiceW(manager.Get(), kManagementServiceName, SERVICE_QUERY_STATUS | SERVICE_START));
    if (!service) {
        QVX_TRACE(trace::kError, 24, proxy.Name(), L"OpenServiceW failed", kManagementServiceName, GetLastError());
        return;
    }
    SERVICE_STATUS status = {};
    bool starting = QueryServiceStatus(service.Get(), &status) &&
                    (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_START_PENDING);
    if (!starting && !StartServiceW(service.Get(), 0, nullptr)) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_ALREADY_RUNNING) {
            QVX_TRACE(trace::kError, 25, proxy.Name(), L"StartServiceW failed", kManagementServiceName, error);
            return;
        }
    }
    for (;;) {
        if (!QueryServiceStatus(service.Get(), &status)) {
            QVX_TRACE(trace::kError, 26, proxy.Name(), L"QueryServiceStatus failed", GetLastError());
            return;
        }
        if (status.dwCurrentState == SERVICE_RUNNING)
            return;
        if (status.dwCurrentState == SERVICE_STOPPED) {
            QVX_TRACE(trace::kError, 27, proxy.Name(), L"management service stopped while starting",
                      status.dwWin32ExitCode);
            return;
        }
        proxy.ReportStartPending();
        if (!proxy.Pause(kManagementPollMs))
            return;
    }
}

} // namespace qvx
