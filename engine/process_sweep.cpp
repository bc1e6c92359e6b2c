// The monitor's look at every hosted service it should be watching, each
// time it wakes: processes that ended without the monitor seeing their
// mutex, and records left pending with nothing that will ever finish them.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/dll_services.h"
#include "engine/engine_calls.h"
#include "engine/service_termination.h"
#include "engine/service_watch.h"
#include "model/hosted_process.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/table_lock.h"
#include "platform/wide_text.h"
#include "platform/trace.h"
#include "runtime/host_runtime.h"

namespace qvx {
namespace {

struct EndedProcess {
    HANDLE mutex;
    ServiceRecord* record;
    std::shared_ptr<HostedProcess> process;
};

bool IsWatchedState(ServiceState state)
{
    return state == ServiceState::kRunning || state == ServiceState::kStartPending ||
           state == ServiceState::kStopPending;
}

bool HasLiveProcessHandle(const std::shared_ptr<HostedProcess>& process)
{
    if (!process || process->ProcessId() == 0)
        return false;
    const HANDLE handle = process->ProcessHandle();
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

bool ProcessEnded(const HostedProcess& process)
{
    const HANDLE handle = process.ProcessHandle();
    if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0)
        return true;
    if (GetProcessId(handle) == 0)
        return true;
    DWORD exitCode = 0;
    return GetExitCodeProcess(handle, &exitCode) && exitCode != STILL_ACTIVE;
}

bool DependencyStarting(const ServiceTable& table, const ServiceRecord& record)
{
    for (const std::wstring& name : record.GetDependOnService()) {
        const ServiceRecord* dependency = name.empty() ? nullptr : table.FindByName(name);
        if (dependency && dependency->GetState() == ServiceState::kStartPending)
            return true;
    }
    return false;
}

bool WaitsForStartingHost(const ServiceTable& table, const ServiceRecord& record)
{
    if (record.GetServiceType() != WinServiceType::kShareProcess)
        return false;
    const std::wstring name = record.GetName();
    for (size_t i = 0; const ServiceRecord* other = table.GetAt(i); ++i) {
        if (other->GetState() != ServiceState::kStartPending)
            continue;
        const std::vector<std::wstring> waiters = other->GetWaiters();
        if (std::any_of(waiters.begin(), waiters.end(),
                        [&](const std::wstring& waiter) { return SameServiceName(waiter, name); }))
            return true;
    }
    return false;
}

// A record without a process that nothing will bring further.
bool IsOrphaned(const ServiceTable& table, const ServiceRecord& record)
{
    // A DLL-hosted service has no process: it is alive while its thread
    // runs. One whose thread ended without reporting, or that has none yet,
    // is judged like any other record without a process.
    if (record.GetServiceType() == WinServiceType::kUserDll && DllServiceThreadExists(record))
        return false;
    return !DependencyStarting(table, record) && !WaitsForStartingHost(table, record);
}

} // namespace

void SweepHostedProcesses(HostRuntime& runtime, bool sweep)
{
    if (!sweep) {
        runtime.waitSet.Wake();
        return;
    }
    ServiceTable* table = runtime.Table();
    if (!table)
        return;
    TableLock tableGuard(table->Lock(), TableLockMode::Exclusive);
    std::vector<EndedProcess> ended;
    for (size_t i = 0; ServiceRecord* record = table->GetAt(i); ++i) {
        if (record->GetSVHType() != SvhServiceType::kSvh || !IsWatchedState(record->GetState()))
            continue;
        const std::shared_ptr<HostedProcess> process = record->Process();
        if (HasLiveProcessHandle(process)) {
            if (ProcessEnded(*process)) {
                QVX_TRACE(trace::kWarning, 1, L"the process of a hosted service has ended", record->GetName(),
                          process->ProcessId());
                ended.push_back({record->GetServiceMutex(), record, process});
            }
            continue;
        }
        if (!IsOrphaned(*table, *record))
            continue;
        QVX_TRACE(trace::kWarning, 2, L"a pending service without a process is stopped", record->GetName(),
                  ServiceStateName(record->GetState()));
        DropServiceTimer(runtime, *record, ServiceTimer::kShutdown);
        record->SetServiceState(ServiceState::kStopped);
    }
    for (const EndedProcess& entry : ended) {
        if (entry.mutex) {
            HandleServiceTermination(runtime, entry.mutex);
        } else if (entry.record->Process() == entry.process) {
            // Without a mutex the service is found by itself; one whose
            // process was let go of meanwhile (a sharer of a process handled
            // already) is done.
            HandleRecordTermination(runtime, *entry.record);
        }
    }
}

} // namespace qvx
