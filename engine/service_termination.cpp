// A hosted service whose process ended without being asked to: the
// service and every service sharing its process count as crashed, are
// stopped, reported and let go of, and are restarted when their policy
// allows it.
#include <string>
#include <vector>

#include "engine/engine_calls.h"
#include "engine/event_report.h"
#include "engine/restart_policy.h"
#include "engine/service_state_reports.h"
#include "engine/service_termination.h"
#include "engine/service_watch.h"
#include "model/life_cycle_record.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/table_lock.h"
#include "platform/trace.h"
#include "runtime/host_runtime.h"

namespace qvx {
namespace {

ServiceRecord* FindByServiceMutex(const ServiceTable& table, HANDLE mutex)
{
    for (size_t i = 0; ServiceRecord* record = table.GetAt(i); ++i) {
        if (record->GetServiceMutex() == mutex)
            return record;
    }
    return nullptr;
}

// States from which the end of the process was on the way anyway.
bool WasEnding(ServiceState state)
{
    return state == ServiceState::kStopPending || state == ServiceState::kStopped ||
           state == ServiceState::kPostShutdownPending || state == ServiceState::kPostShutdown;
}

bool DependencyStopRequested(const ServiceTable& table, const ServiceRecord& record)
{
    for (const std::wstring& name : record.GetDependOnService()) {
        const ServiceRecord* dependency = name.empty() ? nullptr : table.FindByName(name);
        if (dependency && dependency->GetStopRequested())
            return true;
    }
    return false;
}

// The mutex is released by whoever owns it: the monitor thread owns an
// abandoned one it waited on, nobody owns one the sweep found.
void ReleaseOwnedMutex(HANDLE mutex, const std::wstring& name)
{
    if (!mutex)
        return;
    if (!ReleaseMutex(mutex)) {
        const DWORD error = GetLastError();
        if (error != ERROR_NOT_OWNER)
            QVX_TRACE(trace::kWarning, 1, L"ReleaseMutex of a crashed service's mutex failed", name, error);
    }
}

void EndCrashedService(HostRuntime& runtime, const ServiceTable& table, ServiceRecord& record)
{
    const std::wstring name = record.GetName();
    const ServiceState oldState = record.GetState();
    const bool stopWasRequested = record.GetStopRequested();
    record.SetCrashed(true);
    // A stopped member of a shared process has nothing to change; asking
    // would only trace a refusal.
    if (oldState != ServiceState::kStopped) {
        record.SetServiceState(ServiceState::kStopped);
        // Without the entry the record would say the service still runs.
        LifeCycleRecord(&record).RecordStop();
    }
    QVX_TRACE(trace::kWarning, 2, L"hosted service terminated unexpectedly", name, ServiceStateName(oldState),
              stopWasRequested);
    ReportServiceEvent(kEventServiceTerminated, {name});
    {
        RecordLock guard(record);
        ReleaseOwnedMutex(record.GetServiceMutex(), name);
        UnwatchServiceProcess(runtime, record);
    }

    if (!RestartPolicyInForce(record)) {
        record.SetCrashed(false);
        ContinueStoppedService(runtime, record);
        return;
    }
    if (!record.RestartAllowed()) {
        QVX_TRACE(trace::kInfo, 3, L"no restart: the window's restarts are used up", name,
                  record.GetRestartsInWindow(), record.GetRestartCount());
        DropServiceTimer(runtime, record, ServiceTimer::kRestartDelay);
        return;
    }
    if (WasEnding(oldState) || stopWasRequested || DependencyStopRequested(table, record)) {
        QVX_TRACE(trace::kInfo, 4, L"no restart: the service was stopping", name);
        ContinueStoppedService(runtime, record);
        return;
    }
    RecordLock guard(record);
    OpenRestartWindowFor(runtime, record);
    ScheduleRestart(runtime, record);
}

} // namespace

void HandleRecordTermination(HostRuntime& runtime, ServiceRecord& record)
{
    ServiceTable* table = runtime.Table();
    if (!table)
        return;
    TableLock tableGuard(table->Lock(), TableLockMode::Shared);
    if (record.GetServiceType() == WinServiceType::kUserDll) {
        QVX_TRACE(trace::kWarning, 6, L"a DLL-hosted service's mutex was abandoned; not handled here",
                  record.GetName());
        return;
    }
    std::vector<ServiceRecord*> affected;
    if (record.GetServiceType() != WinServiceType::kShareProcess ||
        !table->CollectSharedProcessGroup(record, affected))
        affected.assign(1, &record);
    for (ServiceRecord* member : affected)
        EndCrashedService(runtime, *table, *member);
}

void HandleServiceTermination(HostRuntime& runtime, HANDLE mutex)
{
    ServiceTable* table = runtime.Table();
    // No mutex names no process: every record without one would match it.
    if (!table || !mutex)
        return;
    // The caller holds the lock already; held once more, the records stay
    // in the table whoever calls.
    TableLock tableGuard(table->Lock(), TableLockMode::Shared);
    ServiceRecord* record = FindByServiceMutex(*table, mutex);
    if (!record) {
        QVX_TRACE(trace::kWarning, 5, L"no service owns the abandoned mutex", static_cast<const void*>(mutex));
        return;
    }
    HandleRecordTermination(runtime, *record);
}

} // namespace qvx
