#include "service_runtime/hosted_service.h"

#include <shellapi.h>

#include <atomic>
#include <memory>
#include <optional>

#include "platform/handles.h"
#include "platform/locks.h"
#include "platform/trace.h"
#include "platform/wide_text.h"
#include "service_runtime/control_client.h"
#include "service_runtime/listener_messages.h"
#include "service_runtime/listener_server.h"

namespace qvx::hosted {

namespace {

constexpr wchar_t kListenerPipeSuffix[] = L"_qvxsvh_listenerpipe";
constexpr wchar_t kMutexSuffix[] = L"_mutex";

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

// One service of the process and the thread that runs it.
struct ServiceSlot {
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

private:
    static DWORD WINAPI ServiceThread(void* parameter);
    void RunService(ServiceSlot& slot);
    DWORD TakeServiceMutex(const ServiceSlot& slot, KernelHandle* mutex);
    DWORD FetchStartArguments(const ServiceSlot& slot, std::vector<std::wstring>* arguments);
    void ReportState(const ServiceSlot& slot, DWORD state);
    DWORD StartSlot(ServiceSlot& slot);
    void SlotEnded();

    std::optional<std::wstring> HandleMessage(const std::wstring& message);
    ServiceSlot* Find(std::wstring_view name);
    void RequestStop(ServiceSlot& slot, StopReason reason);
    template <typename Notify>
    void NotifyRunning(ServiceSlot& slot, const wchar_t* what, Notify notify);

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

    DWORD error = listener_.Start(options_.listenerPipePrefix + first.name + kListenerPipeSuffix,
                                  [this](const std::wstring& message) { return HandleMessage(message); },
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

// A mutex is owned by a thread: the service's own thread takes it and
// releases it, so it is held exactly while the service runs and is
// abandoned if the process dies under it.
DWORD HostProcess::TakeServiceMutex(const ServiceSlot& slot, KernelHandle* mutex)
{
    const std::wstring name = ToLowerAscii(slot.name + kMutexSuffix);
    mutex->Reset(CreateMutexW(nullptr, TRUE, name.c_str()));
    if (!*mutex) {
        const DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 6, L"service mutex not created", name, error);
        return error;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        return ERROR_SUCCESS;
    // The management service creates the mutex before it starts the process;
    // opening an existing mutex does not own it.
    const DWORD result = WaitForSingleObject(mutex->Get(), options_.mutexWaitMs);
    if (result == WAIT_OBJECT_0)
        return ERROR_SUCCESS;
    if (result == WAIT_ABANDONED) {
        QVX_TRACE(trace::kWarning, 7, L"service mutex taken over from a process that ended", name);
        return ERROR_SUCCESS;
    }
    const DWORD error = result == WAIT_TIMEOUT ? ERROR_SERVICE_ALREADY_RUNNING : GetLastError();
    QVX_TRACE(trace::kError, 8, L"service mutex held elsewhere", name, error);
    mutex->Reset();
    return error;
}

DWORD HostProcess::FetchStartArguments(const ServiceSlot& slot, std::vector<std::wstring>* arguments)
{
    std::wstring reply;
    const DWORD error = RequestWithReply(options_.controlPipeName,
                                         std::wstring(kStartPendingRequest) + L"," + slot.name,
                                         options_.pipeTimeoutMs, &reply);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 9, L"start arguments not fetched", slot.name, error);
        return error;
    }
    return ParseStartPendingReply(reply, arguments);
}

void HostProcess::ReportState(const ServiceSlot& slot, DWORD state)
{
    const DWORD error =
        PostAndWaitForDisconnect(options_.controlPipeName,
                                 std::wstring(kSetStatusRequest) + L"," + slot.name + L"," + StateName(state),
                                 options_.pipeTimeoutMs);
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 10, L"service state not reported", slot.name, StateName(state), error);
}

void HostProcess::RunService(ServiceSlot& slot)
{
    KernelHandle mutex;
    DWORD error = TakeServiceMutex(slot, &mutex);
    std::vector<std::wstring> arguments;
    if (error == ERROR_SUCCESS)
        error = FetchStartArguments(slot, &arguments);
    if (error != ERROR_SUCCESS) {
        // The management service does not know this start (or another copy
        // runs): there is nothing to report to it.
        slot.exitCode = error;
        slot.state = SERVICE_STOPPED;
        if (mutex)
            ReleaseMutex(mutex.Get());
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
            ReportState(slot, SERVICE_RUNNING);
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
    ReportState(slot, SERVICE_STOPPED);
    ReleaseMutex(mutex.Get());
}

ServiceSlot* HostProcess::Find(std::wstring_view name)
{
    for (auto& slot : slots_) {
        if (EqualsFolded(slot->name, name))
            return slot.get();
    }
    return nullptr;
}

void HostProcess::RequestStop(ServiceSlot& slot, StopReason reason)
{
    const DWORD state = slot.state.load();
    if (state != SERVICE_RUNNING && state != SERVICE_START_PENDING) {
        QVX_TRACE(trace::kInfo, 12, L"stop for a service that is not running", slot.name, state);
        return;
    }
    LONG none = kNoStop;
    slot.stopReason.compare_exchange_strong(none, reason);
    SetEvent(slot.stopEvent.Get());
}

template <typename Notify>
void HostProcess::NotifyRunning(ServiceSlot& slot, const wchar_t* what, Notify notify)
{
    CriticalSectionGuard guard(slot.notifyLock);
    if (slot.state.load() != SERVICE_RUNNING) {
        QVX_TRACE(trace::kInfo, 13, L"notification for a service that is not running", slot.name, what);
        return;
    }
    notify();
}

std::optional<std::wstring> HostProcess::HandleMessage(const std::wstring& message)
{
    if (IsMessage(message, kPingMessage))
        return std::wstring(kAck);

    if (IsMessage(message, kForwardedControlMessage)) {
        ForwardedControl forwarded;
        if (!ParseForwardedControl(message, &forwarded))
            return std::nullopt;
        ServiceSlot* slot = Find(forwarded.serviceName);
        if (!slot) {
            QVX_TRACE(trace::kWarning, 14, L"forwarded control for a service not in this process",
                      forwarded.serviceName);
            return std::nullopt;
        }
        if (slot->callbacks.control) {
            NotifyRunning(*slot, kForwardedControlMessage, [&] {
                slot->callbacks.control(slot->callbacks.context, forwarded.control, forwarded.eventType,
                                        forwarded.data);
            });
        }
        return std::nullopt;
    }

    struct Named {
        const wchar_t* name;
        bool replies;
    };
    static constexpr Named kNamed[] = {
        {kStopMessage, false},         {kShutdownMessage, false},    {kPowerChangeMessage, false},
        {kStartServiceMessage, false}, {kInterrogateMessage, true}, {kQueryProcessIdMessage, true},
    };
    for (const Named& named : kNamed) {
        if (!IsMessage(message, named.name))
            continue;
        std::vector<std::wstring> fields;
        if (!SplitFields(message, &fields) || fields.size() != 2) {
            QVX_TRACE(trace::kWarning, 15, L"listener message not readable", message);
            return named.replies ? std::optional<std::wstring>(L"") : std::nullopt;
        }
        ServiceSlot* slot = Find(fields[1]);
        if (named.name == kInterrogateMessage)
            return std::wstring(slot ? StateName(slot->state.load()) : StateName(MAXDWORD));
        if (named.name == kQueryProcessIdMessage)
            return slot ? UnsignedText(GetCurrentProcessId()) : std::wstring(L"0");
        if (!slot) {
            QVX_TRACE(trace::kWarning, 16, L"message for a service not in this process", message);
            return std::nullopt;
        }
        if (named.name == kStopMessage) {
            RequestStop(*slot, kStop);
        } else if (named.name == kShutdownMessage) {
            RequestStop(*slot, kShutdown);
        } else if (named.name == kPowerChangeMessage) {
            if (slot->callbacks.powerChange)
                NotifyRunning(*slot, kPowerChangeMessage,
                              [&] { slot->callbacks.powerChange(slot->callbacks.context); });
        } else {
            CriticalSectionGuard guard(lock_);
            StartSlot(*slot);
        }
        return std::nullopt;
    }

    QVX_TRACE(trace::kWarning, 17, L"listener message not recognised", message);
    return std::wstring();
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
