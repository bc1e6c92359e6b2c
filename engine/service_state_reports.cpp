#include "engine/service_state_reports.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "engine/event_report.h"
#include "engine/launcher.h"
#include "engine/listener_operations.h"
#include "engine/service_watch.h"
#include "model/life_cycle_record.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/table_lock.h"
#include "platform/trace.h"
#include "runtime/host_runtime.h"

namespace qvx {
namespace {

bool IsShareProcess(const ServiceRecord& record) noexcept
{
    return record.GetServiceType() == WinServiceType::kShareProcess;
}

// The stop of a service that waited for its dependents can go on once no
// dependent, direct or indirect, is on its way in.
bool DependentsSettled(const ServiceTable& table, const ServiceRecord& service,
                       std::unordered_set<const ServiceRecord*>& visited)
{
    for (size_t i = 0; const ServiceRecord* dependent = table.GetAt(i); ++i) {
        if (dependent == &service || !ServiceTable::DependsOn(*dependent, service))
            continue;
        if (!visited.insert(dependent).second)
            continue;
        const ServiceState state = dependent->GetState();
        if (state != ServiceState::kRunning && state != ServiceState::kStopped && state != ServiceState::kStopPending)
            return false;
        if (!DependentsSettled(table, *dependent, visited))
            return false;
    }
    return true;
}

// A dependency of `record` whose stop waited for its dependents and can go
// on now; null when there is none.
ServiceRecord* NextPendingStop(const ServiceTable& table, const ServiceRecord& record)
{
    for (const std::wstring& name : record.GetDependOnService()) {
        ServiceRecord* dependency = name.empty() ? nullptr : table.FindByName(name);
        if (!dependency || !dependency->GetStopRequested() || dependency->GetState() != ServiceState::kRunning)
            continue;
        std::unordered_set<const ServiceRecord*> visited;
        if (DependentsSettled(table, *dependency, visited))
            return dependency;
    }
    return nullptr;
}

void ContinuePendingStops(HostRuntime& runtime, const ServiceTable& table, const ServiceRecord& record)
{
    const ServiceRecord* previous = nullptr;
    while (ServiceRecord* dependency = NextPendingStop(table, record)) {
        // A stop that only asked further dependents to go leaves the
        // service as it was; it goes on when they report.
        if (dependency == previous)
            break;
        previous = dependency;
        const DWORD error = StopHostedService(runtime, *dependency);
        if (error != ERROR_SUCCESS)
            QVX_TRACE(trace::kError, 1, L"a stop that waited for a dependent did not go on", record.GetName(),
                      dependency->GetName(), error);
    }
}

void TraceActiveDependents(const ServiceTable& table, const ServiceRecord& record)
{
    TableLock guard(table.Lock(), TableLockMode::Shared);
    for (size_t i = 0; const ServiceRecord* dependent = table.GetAt(i); ++i) {
        if (dependent == &record || !ServiceTable::DependsOn(*dependent, record))
            continue;
        const ServiceState state = dependent->GetState();
        if (state == ServiceState::kRunning || state == ServiceState::kStartPending)
            QVX_TRACE(trace::kWarning, 2, L"a service stopped while a dependent still runs", record.GetName(),
                      dependent->GetName(), static_cast<DWORD>(state));
    }
}

// Takes the Waiters list out of the record: names added while the waiters
// start go to the next report.
std::vector<std::wstring> TakeWaiters(ServiceRecord& record)
{
    RecordLock guard(record);
    std::vector<std::wstring> waiters = record.GetWaiters();
    if (!waiters.empty())
        record.SetWaiters({});
    return waiters;
}

bool WaitsForStart(const ServiceRecord& waiter)
{
    const ServiceState state = waiter.GetState();
    return state == ServiceState::kStopped || (state == ServiceState::kStartPending && !waiter.HasProcessHandle());
}

void StartWaiter(HostRuntime& runtime, const ServiceRecord& record, ServiceRecord& waiter)
{
    const DWORD error = StartHostedServiceAndRecord(runtime, &waiter);
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 3, L"a waiting service did not start", record.GetName(), waiter.GetName(), error);
}

// The share-process services that waited for this one as their host start
// a host of their own.
void StartWaitingSharers(HostRuntime& runtime, const ServiceTable& table, ServiceRecord& record)
{
    for (const std::wstring& name : TakeWaiters(record)) {
        ServiceRecord* waiter = table.FindByName(name);
        if (!waiter || !IsShareProcess(*waiter) || ServiceTable::DependsOn(*waiter, record) || !WaitsForStart(*waiter))
            continue;
        StartWaiter(runtime, record, *waiter);
    }
}

void OnStopped(HostRuntime& runtime, ServiceRecord& record)
{
    ReportServiceEvent(kEventServiceStopped, {record.GetName()});
    // A stop asked for by a client was recorded then; this is when it
    // happened, and a service that stopped on its own has no other entry.
    LifeCycleRecord(&record).RecordStop();
    UnwatchServiceProcess(runtime, record);
    ContinueStoppedService(runtime, record);
}

StatusReportFollowUp OnRunning(HostRuntime& runtime, ServiceRecord& record, ServiceState before)
{
    const std::wstring name = record.GetName();
    if (before != ServiceState::kRunning)
        ReportServiceEvent(kEventServiceRunning, {name});
    DropServiceTimer(runtime, record, ServiceTimer::kStartup);
    const bool endsCrashRestart = record.SetCrashed(false);

    StatusReportFollowUp followUp;
    const ServiceTable* table = runtime.Table();
    if (!table)
        return followUp;
    for (const std::wstring& waiterName : TakeWaiters(record)) {
        ServiceRecord* waiter = table->FindByName(waiterName);
        if (waiter && WaitsForStart(*waiter))
            StartWaiter(runtime, record, *waiter);
    }
    if (endsCrashRestart)
        return followUp;
    for (size_t i = 0; const ServiceRecord* dependent = table->GetAt(i); ++i) {
        if (dependent == &record || !dependent->GetDependencyFailed() || !ServiceTable::DependsOn(*dependent, record))
            continue;
        const ServiceState state = dependent->GetState();
        if (state == ServiceState::kRunning || state == ServiceState::kStartPending ||
            state == ServiceState::kStopPending)
            continue;
        followUp.dependencyFailedStarts.push_back(dependent->GetName());
    }
    return followUp;
}

// A service past its shutdown lets go of everything it ran with; its name
// and configuration stay in the table.
void OnPostShutdown(HostRuntime& runtime, ServiceRecord& record)
{
    ReleaseRunState(runtime, record);
    ReportServiceEvent(kEventServicePostShutdown, {record.GetName()});
    CheckAllServicesStopped(runtime);
}

} // namespace

void ContinueStoppedService(HostRuntime& runtime, ServiceRecord& record)
{
    record.SetStopRequested(false);
    record.SetDependencyFailed(false);
    if (const ServiceTable* table = runtime.Table()) {
        ContinuePendingStops(runtime, *table, record);
        TraceActiveDependents(*table, record);
        if (IsShareProcess(record))
            StartWaitingSharers(runtime, *table, record);
    }
    CheckAllServicesStopped(runtime);
}

StatusReportFollowUp ApplyServiceStatusReport(HostRuntime& runtime, ServiceRecord& record, ServiceState reported)
{
    const ServiceState before = record.GetState();
    // The transition rule refuses a change to the same state; a repeated
    // report still runs what follows from it.
    if (reported != before)
        record.SetServiceState(reported);
    switch (record.GetState()) {
    case ServiceState::kStopped:
        OnStopped(runtime, record);
        break;
    case ServiceState::kRunning:
        return OnRunning(runtime, record, before);
    case ServiceState::kPostShutdown:
        OnPostShutdown(runtime, record);
        break;
    default:
        break;
    }
    return {};
}

void RunStatusReportFollowUp(HostRuntime& runtime, const StatusReportFollowUp& followUp)
{
    const ServiceTable* table = runtime.Table();
    if (!table || followUp.dependencyFailedStarts.empty())
        return;
    TableLock guard(table->Lock(), TableLockMode::Shared);
    for (const std::wstring& name : followUp.dependencyFailedStarts) {
        ServiceRecord* service = table->FindByName(name);
        if (!service) {
            QVX_TRACE(trace::kWarning, 4, L"a service whose dependency failed left the table", name);
            continue;
        }
        const DWORD error = StartHostedServiceAndRecord(runtime, service);
        if (error != ERROR_SUCCESS)
            QVX_TRACE(trace::kError, 5, L"a service whose dependency failed did not start", name, error);
    }
}

} // namespace qvx
