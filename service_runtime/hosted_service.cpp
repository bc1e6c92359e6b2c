#include "service_runtime/hosted_service.h"

#include <shellapi.h>

#include <atomic>
#include <memory>
#include <optional>

#include "platform/handles.h"
#include "platform/locks.h"
#include "platform/trace.h"
#include "platform/wide_text.h"
#include "service_runtime/listener_messages.h"
#include "service_runtime/listener_server.h"
#include "service_runtime/service_session.h"

namespace qvx::hosted {

namespace {

enum StopReason : LONG { kNoStop = 0, kStop = 1, kShutdown = 2 };

struct Registration {
    std::wstring name;
    HostedServiceCallbacks callbacks;
};

SRWLOCK g_registrationLock = SRWLOCK_INIT;
std::vector<Registration> g_registrations;
bool g_running = false;

bool Usable(const wchar_t* name, const HostedServiceCallbacks& callbacks)
{
    return name && *name && callbacks.start;
}

class HostProcess;

// One service of the process and the thread that runs it; the listener
// messages for the service reach it as its sink.
struct ServiceSlot final : ServiceSink {
    ServiceSlot(HostProcess* owner, const Registration& registration)
        : process(owner), name(registration.name), callbacks(registration.callbacks)
    {
        InitializeCriticalSection(&notifyLock);
    }
    ~ServiceSlot() { DeleteCriticalSection(&notifyLock); }
    ServiceSlot(const ServiceSlot&) = delete;
    ServiceSlot& operator=(const ServiceSlot&) = delete;

    HostProcess* process;
    const std::wstring name;
    const HostedServiceCallbacks callbacks;
    std::atomic<DWORD> state{SERVICE_STOPPED};
    std::atomic<LONG> stopReason{kNoStop};
    KernelHandle stopEvent;
    KernelHandle thread;
    DWORD exitCode = 0;
    // Keeps the notifications apart from each other and from the stop, so
    // that none reaches a service whose stop has begun.
    CRITICAL_SECTION notifyLock;

    void Stop(bool shutdown) override;
    void PowerChange() override;
    void Control(DWORD control, DWORD eventType, const std::vector<BYTE>& data) override;
    void StartService() override;
    DWORD State() const override { return state.load(); }

private:
    void RequestStop(StopReason reason);
    template <typename Notify>
    void NotifyRunning(const wchar_t* what, Notify notify);
};

class HostProcess {
public:
    explicit HostProcess(const HostedServiceOptions& options) : options_(options)
    {
        InitializeCriticalSection(&lock_);
    }
    ~HostProcess() { DeleteCriticalSection(&lock_); }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    int Run(const Registration& first, const std::vector<Registration>& further);
    // A START_SERVICE for a further service of the process.
    void StartFromListener(ServiceSlot& slot);

private:
    static DWORD WINAPI ServiceThread(void* parameter);
    void RunService(ServiceSlot& slot);
    DWORD StartSlot(ServiceSlot& slot);
    void SlotEnded();

    ServiceSlot* Find(std::wstring_view name);

    const HostedServiceOptions options_;
    std::vector<std::unique_ptr<ServiceSlot>> slots_;
    ListenerServer listener_;
    // Guards the count of service threads, the closing flag and slot starts.
    CRITICAL_SECTION lock_;
    int active_ = 0;
    bool closing_ = false;
    std::vector<KernelHandle> finishing_;
    KernelHandle allStopped_;
};

int HostProcess::Run(const Registration& first, const std::vector<Registration>& further)
{
    slots_.push_back(std::make_unique<ServiceSlot>(this, first));
    for (const Registration& registration : further) {
        if (EqualsFolded(registration.name, first.name))
            continue;
        slots_.push_back(std::make_unique<ServiceSlot>(this, registration));
    }
    for (auto& slot : slots_) {
        slot->stopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!slot->stopEvent) {
            const DWORD error = GetLastError();
            QVX_TRACE(trace::kError, 1, L"stop event not created", slot->name, error);
            return static_cast<int>(error);
        }
    }
    allStopped_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!allStopped_) {
        const DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 2, L"all-stopped event not created", error);
        return static_cast<int>(error);
    }

    const ServiceSinkLookup find = [this](std::wstring_view name) -> ServiceSink* { return Find(name); };
    DWORD error = listener_.Start(ListenerPipeName(options_, first.name),
                                  [find](const std::wstring& message) { return HandleListenerMessage(message, find); },
                                  options_.pipeTimeoutMs);
    if (error != ERROR_SUCCESS)
        return static_cast<int>(error);
    {
        CriticalSectionGuard guard(lock_);
        error = StartSlot(*slots_.front());
    }
    if (error != ERROR_SUCCESS) {
        listener_.Stop();
        return static_cast<int>(error);
    }

    // The process lives while any of its services runs; a START_SERVICE that
    // comes once the last one has ended is refused rather than cut short.
    for (;;) {
        WaitForSingleObject(allStopped_.Get(), INFINITE);
        CriticalSectionGuard guard(lock_);
        if (active_ == 0) {
            closing_ = true;
            break;
        }
    }
    listener_.Stop();
    for (auto& slot : slots_) {
        if (slot->thread)
            WaitForSingleObject(slot->thread.Get(), INFINITE);
    }
    for (auto& thread : finishing_)
        WaitForSingleObject(thread.Get(), INFINITE);
    return static_cast<int>(slots_.front()->exitCode);
}

// Called under lock_.
DWORD HostProcess::StartSlot(ServiceSlot& slot)
{
    if (closing_) {
        QVX_TRACE(trace::kWarning, 3, L"service not started: the process is ending", slot.name);
        return ERROR_SHUTDOWN_IN_PROGRESS;
    }
    if (slot.state.load() != SERVICE_STOPPED) {
        QVX_TRACE(trace::kWarning, 4, L"service not started: it runs already", slot.name);
        return ERROR_SERVICE_ALREADY_RUNNING;
    }
    // A thread of an earlier run may still be releasing the mutex; it is
    // joined when the process ends.
    if (slot.thread)
        finishing_.push_back(std::move(slot.thread));
    slot.state = SERVICE_START_PENDING;
    slot.stopReason = kNoStop;
    slot.exitCode = 0;
    ResetEvent(slot.stopEvent.Get());
    ++active_;
    ResetEvent(allStopped_.Get());
    slot.thread.Reset(CreateThread(nullptr, 0, ServiceThread, &slot, 0, nullptr));
    if (!slot.thread) {
        const DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 5, L"service thread not started", slot.name, error);
        slot.state = SERVICE_STOPPED;
        if (--active_ == 0)
            SetEvent(allStopped_.Get());
        return error;
    }
    return ERROR_SUCCESS;
}

void HostProcess::SlotEnded()
{
    CriticalSectionGuard guard(lock_);
    if (--active_ == 0)
        SetEvent(allStopped_.Get());
}

DWORD WINAPI HostProcess::ServiceThread(void* parameter)
{
    auto* slot = static_cast<ServiceSlot*>(parameter);
    slot->process->RunService(*slot);
    slot->process->SlotEnded();
    return 0;
}

void HostProcess::StartFromListener(ServiceSlot& slot)
{
    CriticalSectionGuard guard(lock_);
    StartSlot(slot);
}

// The session is this run's own, on this thread's stack: a START_SERVICE
// after the stopped report makes a new run of the slot while this thread
// still releases the mutex.
void HostProcess::RunService(ServiceSlot& slot)
{
    ServiceSession session(slot.name, options_);
    DWORD error = session.TakeServiceMutex();
    std::vector<std::wstring> arguments;
    if (error == ERROR_SUCCESS)
        error = session.FetchStartArguments(&arguments);
    if (error != ERROR_SUCCESS) {
        // The management service does not know this start (or another copy
        // runs): there is nothing to report to it.
        slot.exitCode = error;
        slot.state = SERVICE_STOPPED;
        session.ReleaseServiceMutex();
        return;
    }

    error = slot.callbacks.start(slot.callbacks.context, arguments);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 11, L"service start failed", slot.name, error);
        slot.exitCode = error;
    } else {
        {
            CriticalSectionGuard guard(slot.notifyLock);
            if (slot.stopReason.load() == kNoStop)
                slot.state = SERVICE_RUNNING;
        }
        // A stop that came while the service started ends it without
        // reporting it running first.
        if (slot.state.load() == SERVICE_RUNNING)
            session.ReportState(SERVICE_RUNNING);
        WaitForSingleObject(slot.stopEvent.Get(), INFINITE);
        {
            CriticalSectionGuard guard(slot.notifyLock);
            slot.state = SERVICE_STOP_PENDING;
        }
        if (slot.stopReason.load() == kShutdown && slot.callbacks.shutdown)
            slot.callbacks.shutdown(slot.callbacks.context);
        else if (slot.callbacks.stop)
            slot.callbacks.stop(slot.callbacks.context);
    }
    // Stopped before the report: once the management service has it, it may
    // start the service again at once, and the new start waits for the
    // mutex this thread still holds. The report goes out before the mutex is
    // released, so the management service learns of a clean stop before it
    // sees the mutex free. Nothing of the slot is touched after the report.
    slot.state = SERVICE_STOPPED;
    session.ReportState(SERVICE_STOPPED);
    session.ReleaseServiceMutex();
}

ServiceSlot* HostProcess::Find(std::wstring_view name)
{
    for (auto& slot : slots_) {
        if (EqualsFolded(slot->name, name))
            return slot.get();
    }
    return nullptr;
}

void ServiceSlot::RequestStop(StopReason reason)
{
    const DWORD current = state.load();
    if (current != SERVICE_RUNNING && current != SERVICE_START_PENDING) {
        QVX_TRACE(trace::kInfo, 12, L"stop for a service that is not running", name, current);
        return;
    }
    LONG none = kNoStop;
    stopReason.compare_exchange_strong(none, reason);
    SetEvent(stopEvent.Get());
}

template <typename Notify>
void ServiceSlot::NotifyRunning(const wchar_t* what, Notify notify)
{
    CriticalSectionGuard guard(notifyLock);
    if (state.load() != SERVICE_RUNNING) {
        QVX_TRACE(trace::kInfo, 13, L"notification for a service that is not running", name, what);
        return;
    }
    notify();
}

void ServiceSlot::Stop(bool shutdown)
{
    RequestStop(shutdown ? kShutdown : kStop);
}

void ServiceSlot::PowerChange()
{
    if (callbacks.powerChange)
        NotifyRunning(kPowerChangeMessage, [&] { callbacks.powerChange(callbacks.context); });
}

void ServiceSlot::Control(DWORD control, DWORD eventType, const std::vector<BYTE>& data)
{
    if (callbacks.control)
        NotifyRunning(kForwardedControlMessage,
                      [&] { callbacks.control(callbacks.context, control, eventType, data); });
}

void ServiceSlot::StartService()
{
    process->StartFromListener(*this);
}

} // namespace

DWORD RegisterHostedService(const wchar_t* serviceName, const HostedServiceCallbacks& callbacks)
{
    if (!Usable(serviceName, callbacks))
        return ERROR_INVALID_PARAMETER;
    SrwExclusiveGuard guard(g_registrationLock);
    for (const Registration& registration : g_registrations) {
        if (EqualsFolded(registration.name, serviceName))
            return ERROR_DUPLICATE_SERVICE_NAME;
    }
    g_registrations.push_back({serviceName, callbacks});
    return ERROR_SUCCESS;
}

int RunHostedService(const wchar_t* serviceName, const HostedServiceCallbacks& callbacks,
                     const HostedServiceOptions& options)
{
    if (!Usable(serviceName, callbacks))
        return ERROR_INVALID_PARAMETER;
    std::vector<Registration> further;
    {
        SrwExclusiveGuard guard(g_registrationLock);
        if (g_running) {
            QVX_TRACE(trace::kError, 18, L"a hosted-service run is already under way", serviceName);
            return ERROR_SERVICE_ALREADY_RUNNING;
        }
        g_running = true;
        further.swap(g_registrations);
    }
    int result = 0;
    {
        HostProcess process(options);
        result = process.Run({serviceName, callbacks}, further);
    }
    SrwExclusiveGuard guard(g_registrationLock);
    g_running = false;
    return result;
}

std::wstring HostedServiceNameFromCommandLine(const wchar_t* commandLine, const std::vector<std::wstring>& names)
{
    if (names.empty())
        return std::wstring();
    int count = 0;
    LocalMemory arguments(CommandLineToArgvW(commandLine ? commandLine : GetCommandLineW(), &count));
    if (arguments && count >= 2) {
        const wchar_t* last = static_cast<wchar_t**>(arguments.Get())[count - 1];
        for (const std::wstring& name : names) {
            if (EqualsFolded(name, last))
                return name;
        }
    }
    return names.front();
}

} // namespace qvx::hosted
