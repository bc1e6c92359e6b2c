#include "engine/listener_operations.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "engine/engine_calls.h"
#include "engine/launcher.h"
#include "engine/listener_messages.h"
#include "engine/listener_pipe.h"
#include "engine/service_watch.h"
#include "model/power_profile.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/service_timers.h"
#include "model/table_lock.h"
#include "platform/trace.h"
#include "platform/wide_text.h"
#include "runtime/host_runtime.h"

namespace qvx {
namespace {

// Access a re-attached service's process is opened with: enough to wait for
// it and ask after it, and to end it when it overruns a start-up or stop
// time-out, as the host may end a process it launched itself. Where ending
// it is not allowed, the process is still watched with the rest.
constexpr DWORD kReattachProcessAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD kReattachEndAccess = PROCESS_TERMINATE;

// What a message to one service needs, copied out under the table lock so
// that the message can go out after the lock is let go.
struct ListenerTarget {
    std::wstring name;
    SvhServiceType svhType;
    std::wstring pipe;
};

ListenerTarget TargetOf(const ServiceRecord& record)
{
    RecordLock guard(record);
    return {record.GetName(), record.GetSVHType(), record.GetListenerPipeName()};
}

DWORD Post(const std::wstring& pipe, const std::wstring& message)
{
    // A record without a pipe name has nothing to post to: the client's
    // null-path answer (87) rather than an open of an empty name.
    return PostListenerMessage(pipe.empty() ? nullptr : pipe.c_str(), message, kListenerPostTimeoutMs);
}

// The record a target was copied from, looked up again; the caller holds
// the table lock. Null when it left the table meanwhile.
ServiceRecord* FindTarget(const ServiceTable& table, const ListenerTarget& target)
{
    for (size_t i = 0; ServiceRecord* record = table.GetAt(i); ++i) {
        if (record->GetSVHType() == target.svhType && SameServiceName(record->GetName(), target.name))
            return record;
    }
    return nullptr;
}

bool CanBeStoppedWithDependency(ServiceState state) noexcept
{
    return state == ServiceState::kRunning || state == ServiceState::kStopped || state == ServiceState::kStopPending;
}

// Whether every direct and indirect dependent of `service` is in a state
// from which the stop can go on. Dependents that lead back to `root` make a
// circle that the stop would follow for ever, so they fail the check too.
// The caller holds the table lock.
bool DependentsCanStop(const ServiceTable& table, const ServiceRecord& root, const ServiceRecord& service,
                       std::unordered_set<const ServiceRecord*>& visited)
{
    for (size_t i = 0; const ServiceRecord* dependent = table.GetAt(i); ++i) {
        if (!ServiceTable::DependsOn(*dependent, service))
            continue;
        if (dependent == &root) {
            QVX_TRACE(trace::kError, 1, L"the dependents of the service lead back to it", root.GetName(),
                      service.GetName());
            return false;
        }
        if (!visited.insert(dependent).second)
            continue;
        const ServiceState state = dependent->GetState();
        if (!CanBeStoppedWithDependency(state)) {
            QVX_TRACE(trace::kWarning, 2, L"a dependent cannot be stopped in its state", root.GetName(),
                      dependent->GetName(), static_cast<DWORD>(state));
            return false;
        }
        if (!DependentsCanStop(table, root, *dependent, visited))
            return false;
    }
    return true;
}

// The direct dependents that are running or on their way in or out. The
// caller holds the table lock.
std::vector<ServiceRecord*> CollectActiveDependents(const ServiceTable& table, const ServiceRecord& service)
{
    std::vector<ServiceRecord*> dependents;
    for (size_t i = 0; ServiceRecord* dependent = table.GetAt(i); ++i) {
        if (dependent == &service || !ServiceTable::DependsOn(*dependent, service))
            continue;
        const ServiceState state = dependent->GetState();
        if (state == ServiceState::kRunning || state == ServiceState::kStartPending ||
            state == ServiceState::kStopPending)
            dependents.push_back(dependent);
    }
    return dependents;
}

// After a shutdown message could not be delivered the service's process is
// taken to be gone: the monitor stops watching its handles, the record lets
// go of them and of the rest of its run-time state, and the service counts
// as shut down. Its name and configuration stay, so that the table keeps
// its key and can still save and find it.
void ReleaseUnreachableService(HostRuntime& runtime, ServiceRecord& record)
{
    RecordLock guard(record);
    ReleaseRunState(runtime, record);
    if (record.GetState() != ServiceState::kPostShutdown)
        record.SetServiceState(ServiceState::kPostShutdown);
}

// A service told of the shutdown is held to its ShutdownTimeout, as after a
// stop, so that one that never ends its shutdown cannot hold the machine's
// shutdown up: the time-out ends its process. The caller holds the table
// lock.
void HoldToShutdownTimeout(HostRuntime& runtime, ServiceRecord& record)
{
    RecordLock guard(record);
    if (record.GetServiceType() == WinServiceType::kUserDll || !record.HasProcessHandle() ||
        record.GetTimer(ServiceTimer::kShutdown))
        return;
    if (!CreateShutdownTimer(record)) {
        QVX_TRACE(trace::kWarning, 20, L"no shutdown time-out for the service", record.GetName(), GetLastError());
        return;
    }
    if (ArmShutdownTimer(record))
        runtime.waitSet.AddTimer(record.GetTimer(ServiceTimer::kShutdown));
    else
        ReleaseShutdownTimer(record);
}

} // namespace

DWORD SendServiceControl(HostRuntime& runtime, ServiceRecord& record, DWORD control)
{
    if (control != SERVICE_CONTROL_STOP) {
        QVX_TRACE(trace::kError, 3, L"only the stop control is sent", record.GetName(), control);
        return ERROR_INVALID_PARAMETER;
    }
    ListenerTarget target;
    ServiceState before;
    {
        RecordLock guard(record);
        before = record.GetState();
        if (before == ServiceState::kStopPending)
            return ERROR_SUCCESS;
        if (before == ServiceState::kStopped) {
            record.SetStopRequested(false);
            return ERROR_SUCCESS;
        }
        target = TargetOf(record);
    }

    // The record lock is let go for the post: the monitor and the commands
    // must be able to reach the record while a slow service takes its time.
    const DWORD error = Post(target.pipe, StopMessage(target.name));
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 4, L"the stop message was not delivered", target.name, error);
        return error;
    }

    RecordLock guard(record);
    const ServiceState after = record.GetState();
    if (after != before) {
        // The service moved on by itself (it stopped, or another stop got
        // there first and runs its own timer): a stop time-out or a
        // STOP_PENDING now would overwrite what is newer.
        QVX_TRACE(trace::kWarning, 5, L"the state changed while the stop was sent; left as it is", target.name,
                  static_cast<DWORD>(before), static_cast<DWORD>(after));
        return ERROR_SUCCESS;
    }
    if (CreateShutdownTimer(record)) {
        if (ArmShutdownTimer(record))
            runtime.waitSet.AddTimer(record.GetTimer(ServiceTimer::kShutdown));
        else
            ReleaseShutdownTimer(record);
    }
    record.SetServiceState(ServiceState::kStopPending);
    return ERROR_SUCCESS;
}

DWORD StopHostedService(HostRuntime& runtime, ServiceRecord& record)
{
    const ServiceState state = record.GetState();
    if (state == ServiceState::kStopped || state == ServiceState::kStopPending)
        return ERROR_SUCCESS;
    if (state != ServiceState::kRunning)
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;

    ServiceTable* table = runtime.Table();
    if (!table)
        return SendServiceControl(runtime, record, SERVICE_CONTROL_STOP);
    TableLock tableGuard(table->Lock(), TableLockMode::Shared);
    if (!table->HasDependents(record))
        return SendServiceControl(runtime, record, SERVICE_CONTROL_STOP);

    std::unordered_set<const ServiceRecord*> visited;
    if (!DependentsCanStop(*table, record, record, visited))
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    const std::vector<ServiceRecord*> dependents = CollectActiveDependents(*table, record);
    if (dependents.empty())
        return SendServiceControl(runtime, record, SERVICE_CONTROL_STOP);

    record.SetStopRequested(true);
    for (ServiceRecord* dependent : dependents) {
        if (record.GetUserStopped())
            dependent->SetUserStopped(true);
        const DWORD error = StopHostedService(runtime, *dependent);
        if (error != ERROR_SUCCESS && error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
            QVX_TRACE(trace::kError, 6, L"a dependent did not stop", record.GetName(), dependent->GetName(), error);
            record.SetStopRequested(false);
            return error;
        }
    }
    return ERROR_SUCCESS;
}

DWORD SendStartToHost(ServiceRecord& record)
{
    const ListenerTarget target = TargetOf(record);
    const DWORD error = Post(target.pipe, StartServiceMessage(target.name));
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 7, L"the host was not asked to start the service", target.name, target.pipe, error);
        return error;
    }
    // A service that waited for its host is start-pending already.
    if (record.GetState() != ServiceState::kStartPending)
        record.SetServiceState(ServiceState::kStartPending);
    return ERROR_SUCCESS;
}

DWORD InterrogateHostedService(ServiceRecord& record)
{
    if (record.GetSVHType() != SvhServiceType::kSvh)
        return ERROR_SUCCESS;
    const ListenerTarget target = TargetOf(record);
    if (target.pipe.empty()) {
        QVX_TRACE(trace::kError, 8, L"no listener pipe to re-attach through", target.name);
        return ERROR_INVALID_PARAMETER;
    }

    std::wstring reply;
    DWORD error = TransactListenerMessage(target.pipe.c_str(), InterrogateMessage(target.name), reply);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 9, L"the service did not answer the interrogation", target.name, error);
        return error;
    }
    const ServiceState reported = ServiceStateFromName(reply);
    if (reported == ServiceState::kInvalid)
        QVX_TRACE(trace::kWarning, 10, L"the interrogation reply names no state", target.name, reply);
    else if (reported != record.GetState())
        record.SetServiceState(reported);

    error = TransactListenerMessage(target.pipe.c_str(), ProcessIdQueryMessage(target.name), reply);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 11, L"the service did not tell its process id", target.name, error);
        return error;
    }
    DWORD processId = 0;
    if (!ParseDecimal(reply, processId) || processId == 0) {
        QVX_TRACE(trace::kWarning, 12, L"the process-id reply names no process", target.name, reply);
        return ERROR_SUCCESS;
    }
    PROCESS_INFORMATION info = {};
    info.dwProcessId = processId;
    info.hProcess = OpenProcess(kReattachProcessAccess | kReattachEndAccess, FALSE, processId);
    if (!info.hProcess)
        info.hProcess = OpenProcess(kReattachProcessAccess, FALSE, processId);
    if (!info.hProcess)
        QVX_TRACE(trace::kWarning, 13, L"OpenProcess of the re-attached service failed", target.name, processId,
                  GetLastError());
    RecordLock guard(record);
    record.AttachProcess(HostedProcess::Adopt(info));
    return ERROR_SUCCESS;
}

bool PingHostedService(ServiceRecord& record)
{
    if (record.GetSVHType() != SvhServiceType::kSvh)
        return false;
    const std::wstring pipe = record.GetListenerPipeName();
    std::wstring reply;
    const DWORD error = TransactListenerMessage(pipe.empty() ? nullptr : pipe.c_str(), PingMessage(), reply);
    return error == ERROR_SUCCESS && reply == kListenerPingReply;
}

void BroadcastServiceControl(HostRuntime& runtime, DWORD control, DWORD eventType, const void* eventData,
                             DWORD dataSize)
{
    ServiceTable* table = runtime.Table();
    if (!table) {
        QVX_TRACE(trace::kWarning, 14, L"no service table to forward a control to", control, eventType);
        return;
    }
    std::vector<ListenerTarget> targets;
    {
        TableLock guard(table->Lock(), TableLockMode::Shared);
        for (size_t i = 0; const ServiceRecord* record = table->GetAt(i); ++i) {
            if (record->GetState() == ServiceState::kRunning)
                targets.push_back(TargetOf(*record));
        }
    }
    for (const ListenerTarget& target : targets) {
        const DWORD error =
            Post(target.pipe, ForwardedControlMessage(target.name, control, eventType, eventData, dataSize));
        if (error != ERROR_SUCCESS)
            QVX_TRACE(trace::kWarning, 15, L"a forwarded control was not delivered", target.name, control,
                      eventType, error);
    }
}

void BroadcastShutdown(HostRuntime& runtime)
{
    if (ServiceTable* table = runtime.Table()) {
        std::vector<ListenerTarget> targets;
        {
            TableLock guard(table->Lock(), TableLockMode::Shared);
            for (size_t i = 0; const ServiceRecord* record = table->GetAt(i); ++i)
                targets.push_back(TargetOf(*record));
        }
        for (const ListenerTarget& target : targets) {
            const DWORD error = Post(target.pipe, ShutdownMessage(target.name));
            if (error != ERROR_SUCCESS)
                QVX_TRACE(trace::kWarning, 16, L"the shutdown message was not delivered", target.name, error);
            TableLock guard(table->Lock(), TableLockMode::Shared);
            ServiceRecord* record = FindTarget(*table, target);
            if (!record)
                QVX_TRACE(trace::kWarning, 17, L"the service left the table during the shutdown", target.name);
            else if (error == ERROR_SUCCESS)
                HoldToShutdownTimeout(runtime, *record);
            else
                ReleaseUnreachableService(runtime, *record);
        }
    } else {
        QVX_TRACE(trace::kWarning, 18, L"no service table to shut down");
    }
    CheckAllServicesStopped(runtime);
}

void ApplyPowerCondition(HostRuntime& runtime, bool startAllowed)
{
    ServiceTable* table = runtime.Table();
    if (!table) {
        QVX_TRACE(trace::kWarning, 19, L"no service table to apply the machine's condition to", startAllowed);
        return;
    }
    const uint32_t conditions = runtime.conditions.word.load();
    std::vector<ListenerTarget> toNotify;
    std::vector<ListenerTarget> toStop;
    std::vector<ListenerTarget> toStart;
    {
        TableLock guard(table->Lock(), TableLockMode::Shared);
        for (size_t i = 0; const ServiceRecord* record = table->GetAt(i); ++i) {
            const bool allowed = PowerProfilePermits(record->GetPowerProfile(), conditions);
            const ServiceState state = record->GetState();
            if (state == ServiceState::kRunning) {
                bool keep = allowed;
                if (!keep) {
                    // A service that others still need keeps running while
                    // any of them may run.
                    for (const ServiceRecord* dependent : CollectActiveDependents(*table, *record)) {
                        if (PowerProfilePermits(dependent->GetPowerProfile(), conditions)) {
                            keep = true;
                            break;
                        }
                    }
                }
                (keep ? toNotify : toStop).push_back(TargetOf(*record));
            } else if (state == ServiceState::kStopped && startAllowed &&
                       record->GetStartupProfile() != StartupProfile::kDemand && allowed &&
                       !record->GetUserStopped() && runtime.startupComplete.load()) {
                toStart.push_back(TargetOf(*record));
            }
        }
    }

    for (const ListenerTarget& target : toNotify) {
        const DWORD error = Post(target.pipe, PowerStateChangeMessage(target.name));
        if (error != ERROR_SUCCESS)
            QVX_TRACE(trace::kWarning, 20, L"the power-state message was not delivered", target.name, error);
    }
    for (const ListenerTarget& target : toStop) {
        // The stop works on the record itself, which stays valid only under
        // the table lock; a service that left the table or stopped
        // meanwhile needs nothing more.
        TableLock guard(table->Lock(), TableLockMode::Shared);
        ServiceRecord* record = FindTarget(*table, target);
        if (!record || record->GetState() != ServiceState::kRunning)
            continue;
        const DWORD error = StopHostedService(runtime, *record);
        if (error != ERROR_SUCCESS)
            QVX_TRACE(trace::kWarning, 21, L"a service the machine's condition rules out did not stop", target.name,
                      error);
    }
    for (const ListenerTarget& target : toStart) {
        TableLock guard(table->Lock(), TableLockMode::Shared);
        ServiceRecord* record = FindTarget(*table, target);
        // A client may have stopped it, or something else started it,
        // since the list was made.
        if (!record || record->GetState() != ServiceState::kStopped || record->GetUserStopped())
            continue;
        const DWORD error = StartHostedServiceAndRecord(runtime, record);
        if (error != ERROR_SUCCESS)
            QVX_TRACE(trace::kWarning, 22, L"a service the machine's condition allows did not start", target.name,
                      error);
    }
}

} // namespace qvx
