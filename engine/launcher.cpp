#include "engine/launcher.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/dll_services.h"
#include "engine/event_report.h"
#include "engine/launch_command_line.h"
#include "engine/launch_protection.h"
#include "engine/listener_operations.h"
#include "engine/process_launch.h"
#include "engine/service_watch.h"
#include "model/hosted_process.h"
#include "model/life_cycle_record.h"
#include "model/service_mutex.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/service_timers.h"
#include "model/table_lock.h"
#include "platform/last_error.h"
#include "platform/trace.h"
#include "platform/wide_text.h"
#include "protect/launch_rules.h"
#include "runtime/host_runtime.h"

namespace qvx {
namespace {

// A service that waited already is start-pending; the transition rule
// refuses a change to the same state.
void SetStartPending(ServiceRecord& record)
{
    // Under the record lock: a reconfiguration checks the state under it.
    RecordLock guard(record);
    if (record.GetState() != ServiceState::kStartPending)
        record.SetServiceState(ServiceState::kStartPending);
}

// Clears StartInProgress on every way out of a start.
class StartInProgressHold {
public:
    explicit StartInProgressHold(ServiceRecord& record) noexcept : record_(record) {}
    ~StartInProgressHold() { record_.TrySetStartInProgress(false); }
    StartInProgressHold(const StartInProgressHold&) = delete;
    StartInProgressHold& operator=(const StartInProgressHold&) = delete;

private:
    ServiceRecord& record_;
};

// The protection attribute list of one launch, freed right after process
// creation and on every way out before it.
struct ProtectionAttributesHold {
    ProtectionAttributesHold() = default;
    ~ProtectionAttributesHold() { Free(); }
    ProtectionAttributesHold(const ProtectionAttributesHold&) = delete;
    ProtectionAttributesHold& operator=(const ProtectionAttributesHold&) = delete;
    void Free() { FreeProtectionAttributes(startup); }

    STARTUPINFOEXW startup = {};
};

void AddWaiter(ServiceRecord& service, const std::wstring& waiter)
{
    RecordLock guard(service);
    std::vector<std::wstring> waiters = service.GetWaiters();
    const bool listed = std::any_of(waiters.begin(), waiters.end(),
                                    [&](const std::wstring& name) { return SameServiceName(name, waiter); });
    if (!listed) {
        waiters.push_back(waiter);
        service.SetWaiters(std::move(waiters));
    }
}

void RemoveWaiter(ServiceRecord& service, const std::wstring& waiter)
{
    RecordLock guard(service);
    std::vector<std::wstring> waiters = service.GetWaiters();
    const auto end = std::remove_if(waiters.begin(), waiters.end(),
                                    [&](const std::wstring& name) { return SameServiceName(name, waiter); });
    if (end != waiters.end()) {
        waiters.erase(end, waiters.end());
        service.SetWaiters(std::move(waiters));
    }
}

// Takes this service's name out of the Waiters of every service it names,
// after a dependency start that failed: nothing is to start it when they run.
void WithdrawFromDependencies(const ServiceTable& table, const std::vector<std::wstring>& dependencies,
                              const std::wstring& name)
{
    for (const std::wstring& dependencyName : dependencies) {
        if (ServiceRecord* dependency = table.FindByName(dependencyName))
            RemoveWaiter(*dependency, name);
    }
}

enum class DependencyOutcome { kLaunch, kWait, kFailed };

// Both passes over the dependencies: the first finds what is missing or in
// the wrong state (reported), the second registers this service as a waiter
// and starts what is stopped. `error` is set for kFailed.
DependencyOutcome CheckDependencies(HostRuntime& runtime, const ServiceTable* table, const std::wstring& name,
                                    const std::vector<std::wstring>& dependencies, DWORD& error)
{
    bool mustWait = false;
    for (const std::wstring& dependencyName : dependencies) {
        // An empty entry names nothing; the dependency check skips it too.
        if (dependencyName.empty())
            continue;
        const ServiceRecord* dependency = table ? table->FindByName(dependencyName) : nullptr;
        if (!dependency) {
            QVX_TRACE(trace::kError, 1, L"a dependency is not in the table", name, dependencyName);
            ReportFailedToStart(name, ERROR_SERVICE_DEPENDENCY_FAIL);
            error = ERROR_SERVICE_DEPENDENCY_FAIL;
            return DependencyOutcome::kFailed;
        }
        const ServiceState state = dependency->GetState();
        if (state == ServiceState::kRunning)
            continue;
        if (state == ServiceState::kStopped || state == ServiceState::kStartPending) {
            mustWait = true;
            continue;
        }
        QVX_TRACE(trace::kError, 2, L"a dependency is in a state the start cannot wait for", name, dependencyName,
                  static_cast<DWORD>(state));
        ReportFailedToStart(dependencyName, ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        return DependencyOutcome::kFailed;
    }
    if (!mustWait)
        return DependencyOutcome::kLaunch;

    bool waiting = false;
    for (const std::wstring& dependencyName : dependencies) {
        ServiceRecord* dependency = dependencyName.empty() ? nullptr : table->FindByName(dependencyName);
        if (!dependency)
            continue;
        const ServiceState state = dependency->GetState();
        if (state == ServiceState::kRunning)
            continue;
        if (state == ServiceState::kStartPending) {
            AddWaiter(*dependency, name);
            waiting = true;
            continue;
        }
        if (state == ServiceState::kStopped) {
            AddWaiter(*dependency, name);
            const DWORD dependencyError = StartHostedServiceAndRecord(runtime, dependency);
            if (dependencyError != ERROR_SUCCESS) {
                QVX_TRACE(trace::kError, 3, L"a dependency did not start", name, dependencyName, dependencyError);
                WithdrawFromDependencies(*table, dependencies, name);
                error = dependencyError;
                return DependencyOutcome::kFailed;
            }
            // A dependency that is running already has nothing left to
            // start this service when it reports in.
            if (dependency->GetState() == ServiceState::kRunning)
                RemoveWaiter(*dependency, name);
            else
                waiting = true;
            continue;
        }
        // It changed since the first pass to a state the start cannot wait
        // for; the names registered so far would start this service later.
        QVX_TRACE(trace::kError, 4, L"a dependency left the states the start can wait for", name, dependencyName,
                  static_cast<DWORD>(state));
        WithdrawFromDependencies(*table, dependencies, name);
        error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        return DependencyOutcome::kFailed;
    }
    return waiting ? DependencyOutcome::kWait : DependencyOutcome::kLaunch;
}

// What a failed start leaves: no mutex, timers or process, out of the
// monitor's lists, SERVICE_STOPPED, and the "failed to start" event. The
// caller holds the record lock.
void FailLaunch(HostRuntime& runtime, ServiceRecord& record, const std::wstring& name, DWORD error)
{
    UnwatchServiceProcess(runtime, record);
    if (record.GetState() != ServiceState::kStopped)
        record.SetServiceState(ServiceState::kStopped);
    QVX_TRACE(trace::kError, 5, L"the service failed to start", name, error);
    ReportFailedToStart(name, error);
}

// The temporary creation rule of one launch: installed before the process
// (or DLL) is created, removed once the launch is complete, whatever its
// outcome. A rule the library would not take is not removed either; the
// launch goes on without it.
class TemporaryCreationRule {
public:
    TemporaryCreationRule() noexcept = default;
    ~TemporaryCreationRule()
    {
        if (installed_)
            RemoveProcessCreationRule(rule_);
    }
    TemporaryCreationRule(const TemporaryCreationRule&) = delete;
    TemporaryCreationRule& operator=(const TemporaryCreationRule&) = delete;

    void Install(const std::wstring& executablePath)
    {
        installed_ = AllowProcessCreation(executablePath, rule_) == ERROR_SUCCESS;
    }

private:
    ProcessCreationRule rule_;
    bool installed_ = false;
};

enum class JoinOutcome { kJoined, kWaiting, kNoHost, kFailed };

// A share-process service joins a process that runs its executable already:
// a running host is asked to start it, and the service then holds the host's
// process; a host that is still starting takes it as a waiter.
JoinOutcome JoinSharedHost(HostRuntime& runtime, const ServiceTable& table, ServiceRecord& record,
                           const std::wstring& name, DWORD& error)
{
    std::shared_ptr<HostedProcess> hostProcess;
    ServiceRecord* host = table.FindSharedHost(record, &hostProcess);
    if (!host)
        return JoinOutcome::kNoHost;
    const ServiceState hostState = host->GetState();
    if (hostState != ServiceState::kRunning && hostState != ServiceState::kStartPending)
        return JoinOutcome::kNoHost;

    record.SetListenerPipeName(host->GetListenerPipeName());
    if (hostState == ServiceState::kStartPending) {
        AddWaiter(*host, name);
        SetStartPending(record);
        return JoinOutcome::kWaiting;
    }

    {
        RecordLock guard(record);
        if (!CreateServiceMutex(record)) {
            error = LastErrorOr(ERROR_INVALID_HANDLE);
            QVX_TRACE(trace::kError, 6, L"the mutex of a service joining its host was not created", name, error);
            FailLaunch(runtime, record, name, error);
            return JoinOutcome::kFailed;
        }
    }
    // The post can take seconds: no record lock is held across it.
    error = SendStartToHost(record);
    RecordLock guard(record);
    if (error != ERROR_SUCCESS) {
        FailLaunch(runtime, record, name, error);
        return JoinOutcome::kFailed;
    }
    record.AttachProcess(std::move(hostProcess));
    return JoinOutcome::kJoined;
}

// Creates the service's own process, suspended, and lets it run once its
// rules are in place. The caller holds the record lock and removes
// `creationRule` after the launch is complete. 0 or the error of the step
// that failed.
DWORD LaunchProcess(HostRuntime& runtime, ServiceRecord& record, const std::wstring& name,
                    TemporaryCreationRule& creationRule)
{
    const WinServiceType type = record.GetServiceType();
    if (type == WinServiceType::kUserDll) {
        creationRule.Install(record.GetBinaryPath());
        const DWORD error = StartDllService(record);
        if (error == ERROR_SUCCESS)
            SetStartPending(record);
        return error;
    }
    LaunchCommandLine commandLine;
    DWORD error = BuildLaunchCommandLine(record.GetBinaryPath(), type, name, commandLine);
    if (error != ERROR_SUCCESS)
        return error;

    LaunchRequest request;
    // Only a protected host can start protected processes; a service that
    // asks for it is launched unprotected when the list cannot be built.
    ProtectionAttributesHold protection;
    if (record.GetLaunchProtected() == LaunchProtection::kAntimalwareLight && runtime.launchProtectedSelf.load()) {
        const DWORD protectionError = BuildProtectionAttributes(protection.startup, request.creationFlags);
        if (protectionError != ERROR_SUCCESS)
            QVX_TRACE(trace::kWarning, 14, L"the service is launched unprotected", name, protectionError);
        request.attributeList = protection.startup.lpAttributeList;
    }
    creationRule.Install(commandLine.executablePath);

    request.executablePath = commandLine.executablePath;
    request.commandLine = commandLine.commandLine;
    request.asLocalService = record.GetGroupAccount() == kLocalServiceAccount;
    ProcessLauncher& launcher = CurrentProcessLauncher();
    PROCESS_INFORMATION info = {};
    error = launcher.Create(request, info);
    protection.Free();
    if (error != ERROR_SUCCESS)
        return error;
    // From here the record owns the handles: a failure below releases them
    // with the record's other handles.
    record.AttachProcess(HostedProcess::Adopt(info));
    SetStartPending(record);

    error = AllowHostedProcess(commandLine.executablePath, info.dwProcessId, info.dwThreadId);
    if (error == ERROR_SUCCESS)
        error = launcher.Resume(info);
    if (error != ERROR_SUCCESS) {
        // A process that never ran its first instruction is ended with the
        // reason as its exit code.
        launcher.Terminate(info, error);
        return error;
    }
    return ERROR_SUCCESS;
}

// The start-up time-out of a launched service, handed to the monitor. A
// timer that cannot be set up leaves the service without a time-out.
void ArmStartupTimeout(HostRuntime& runtime, ServiceRecord& record, const std::wstring& name)
{
    if (!CreateStartupTimer(record)) {
        QVX_TRACE(trace::kWarning, 11, L"no start-up timer for the service", name, GetLastError());
        return;
    }
    if (!ArmStartupTimer(record)) {
        QVX_TRACE(trace::kWarning, 12, L"the start-up timer was not armed", name, GetLastError());
        ReleaseStartupTimer(record);
        return;
    }
    runtime.waitSet.AddTimer(record.GetTimer(ServiceTimer::kStartup));
}

// `launched` tells whether this call set a process going for the service
// (its own or a host it joined), as opposed to finding it running or
// leaving it to wait.
DWORD StartHeld(HostRuntime& runtime, ServiceRecord& record, bool& launched)
{
    if (record.GetDisabled())
        return ERROR_SERVICE_NOT_ACTIVE;
    const ServiceState state = record.GetState();
    if (state == ServiceState::kRunning)
        return ERROR_SUCCESS;
    if ((state == ServiceState::kStartPending && record.HasProcessHandle()) || state == ServiceState::kStopPending)
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    // Checked before anything is started for it: the dependencies of a
    // service that cannot be launched are not to be started on its behalf.
    if (record.GetSVHType() != SvhServiceType::kSvh)
        return ERROR_OBJECT_NOT_FOUND;
    record.SetUserStopped(false);

    const std::wstring name = record.GetName();
    const ServiceTable* table = runtime.Table();
    const std::vector<std::wstring> dependencies = record.GetDependOnService();
    DWORD error = ERROR_SUCCESS;
    switch (CheckDependencies(runtime, table, name, dependencies, error)) {
    case DependencyOutcome::kFailed:
        return error;
    case DependencyOutcome::kWait:
        SetStartPending(record);
        return ERROR_SUCCESS;
    case DependencyOutcome::kLaunch:
        break;
    }

    if (table && record.GetServiceType() == WinServiceType::kShareProcess) {
        switch (JoinSharedHost(runtime, *table, record, name, error)) {
        case JoinOutcome::kJoined:
            launched = true;
            return ERROR_SUCCESS;
        case JoinOutcome::kWaiting:
            return ERROR_SUCCESS;
        case JoinOutcome::kFailed:
            return error;
        case JoinOutcome::kNoHost:
            break;
        }
    }

    RecordLock guard(record);
    // Declared after the lock: the rule goes before the lock is released.
    TemporaryCreationRule creationRule;
    if (!CreateServiceMutex(record)) {
        error = LastErrorOr(ERROR_INVALID_HANDLE);
        QVX_TRACE(trace::kError, 13, L"the service mutex was not created", name, error);
    } else {
        record.BuildListenerPipeName();
        error = LaunchProcess(runtime, record, name, creationRule);
    }
    if (error != ERROR_SUCCESS) {
        FailLaunch(runtime, record, name, error);
        return error;
    }
    ArmStartupTimeout(runtime, record, name);
    launched = true;
    return ERROR_SUCCESS;
}

DWORD StartAndTell(HostRuntime& runtime, ServiceRecord* record, bool& launched)
{
    launched = false;
    if (!record || !record->TrySetStartInProgress(true))
        return ERROR_SUCCESS;
    StartInProgressHold hold(*record);
    if (ServiceTable* table = runtime.Table()) {
        TableLock tableGuard(table->Lock(), TableLockMode::Shared);
        return StartHeld(runtime, *record, launched);
    }
    return StartHeld(runtime, *record, launched);
}

} // namespace

DWORD StartHostedService(HostRuntime& runtime, ServiceRecord* record)
{
    bool launched = false;
    return StartAndTell(runtime, record, launched);
}

DWORD StartHostedServiceAndRecord(HostRuntime& runtime, ServiceRecord* record)
{
    // Only a launch is a start: a service found running keeps the time it
    // started, and one left waiting is recorded when whatever it waits for
    // launches it, so that RunIteration counts each start once.
    bool launched = false;
    const DWORD error = StartAndTell(runtime, record, launched);
    if (error == ERROR_SUCCESS && launched)
        LifeCycleRecord(record).RecordStart();
    return error;
}

} // namespace qvx
