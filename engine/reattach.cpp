#include "engine/reattach.h"

#include <unordered_set>
#include <vector>

#include "engine/listener_operations.h"
#include "engine/service_watch.h"
#include "engine/start_wave.h"
#include "model/service_mutex.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/service_timers.h"
#include "model/table_lock.h"
#include "platform/trace.h"
#include "runtime/host_runtime.h"

namespace qvx {
namespace {

// A service caught half-way through its start or stop had its time-out
// run by the host that ended; it is held to a full time-out again from
// now, so that a start or stop that never ends does not keep it pending
// for good. The caller holds the record lock.
void WatchPendingTransition(HostRuntime& runtime, ServiceRecord& record)
{
    ServiceTimer slot;
    switch (record.GetState()) {
    case ServiceState::kStartPending:
        slot = ServiceTimer::kStartup;
        break;
    case ServiceState::kStopPending:
        slot = ServiceTimer::kShutdown;
        break;
    default:
        return;
    }
    if (!CreateServiceTimer(record, slot)) {
        QVX_TRACE(trace::kWarning, 6, L"no time-out for the re-attached service", record.GetName(), GetLastError());
        return;
    }
    if (!ArmServiceTimer(record, slot)) {
        QVX_TRACE(trace::kWarning, 7, L"the time-out of the re-attached service was not armed", record.GetName(),
                  GetLastError());
        ReleaseServiceTimer(record, slot);
        return;
    }
    runtime.waitSet.AddTimer(record.GetTimer(slot));
}

// Takes an answering service back under watch; 0 or the error that made
// it fail, after which the service holds nothing the monitor could wait on.
DWORD Attach(HostRuntime& runtime, ServiceRecord& record)
{
    DWORD error = ERROR_SUCCESS;
    if (!OpenServiceMutex(record)) {
        error = GetLastError();
        if (error == ERROR_SUCCESS)
            error = ERROR_INVALID_HANDLE;
    } else {
        error = InterrogateHostedService(record);
    }
    if (error == ERROR_SUCCESS) {
        // The interrogation takes over the process only; the monitor learns
        // of the process's end through the mutex, which nothing else hands
        // to it for a service that is past its start.
        RecordLock guard(record);
        runtime.waitSet.AddMutex(record.GetServiceMutex());
        WatchPendingTransition(runtime, record);
        QVX_TRACE(trace::kInfo, 1, L"re-attached", record.GetName(), ServiceStateName(record.GetState()));
        return ERROR_SUCCESS;
    }
    QVX_TRACE(trace::kError, 2, L"re-attaching failed; the service is let go", record.GetName(), error);
    UnwatchServiceProcess(runtime, record);
    return error;
}

// Asks the service whether it is alive and takes it back under watch when
// it answers; false when it did not. A failed take-over leaves its error in
// `result`.
bool AttachIfAnswering(HostRuntime& runtime, const ServiceTable& table, ServiceRecord& record, DWORD& result)
{
    EnsureListenerPipeName(table, record);
    if (!PingHostedService(record))
        return false;
    const DWORD error = Attach(runtime, record);
    if (error != ERROR_SUCCESS)
        result = error;
    return true;
}

} // namespace

DWORD ReattachRunningServices(HostRuntime& runtime)
{
    ServiceTable* table = runtime.Table();
    if (!table) {
        QVX_TRACE(trace::kError, 3, L"no service table to re-attach to");
        return ERROR_INVALID_PARAMETER;
    }
    TableLock guard(table->Lock(), TableLockMode::Shared);
    DWORD result = ERROR_SUCCESS;
    // Share-process services that did not answer on their own pipe name:
    // once every name is settled they are asked again through their group's.
    std::unordered_set<const ServiceRecord*> askAgain;
    for (size_t i = 0; ServiceRecord* record = table->GetAt(i); ++i) {
        if (record->GetSVHType() != SvhServiceType::kSvh)
            continue;
        if (AttachIfAnswering(runtime, *table, *record, result))
            continue;
        if (record->GetServiceType() == WinServiceType::kShareProcess) {
            record->SetListenerPipeName(L"");
            askAgain.insert(record);
        } else {
            QVX_TRACE(trace::kWarning, 4, L"a hosted service did not answer", record->GetName());
            result = ERROR_FILE_NOT_FOUND;
        }
    }
    if (askAgain.empty())
        return result;
    for (size_t i = 0; ServiceRecord* record = table->GetAt(i); ++i) {
        if (askAgain.count(record) == 0 || AttachIfAnswering(runtime, *table, *record, result))
            continue;
        QVX_TRACE(trace::kWarning, 5, L"a share-process service did not answer", record->GetName());
        result = ERROR_FILE_NOT_FOUND;
    }
    return result;
}

} // namespace qvx
