#include "runtime/host_runtime.h"

#include "model/service_record.h"
#include "model/service_table.h"
#include "model/table_lock.h"
#include "platform/trace.h"

namespace qvx {

void CheckAllServicesStopped(HostRuntime& runtime)
{
    if (runtime.stop.shuttingDown.load() == 0 || !runtime.stop.ShutdownDoneEvent())
        return;
    if (ServiceTable* table = runtime.Table()) {
        TableLock guard(table->Lock(), TableLockMode::Shared);
        for (size_t i = 0; const ServiceRecord* record = table->GetAt(i); ++i) {
            const ServiceState state = record->GetState();
            if (state != ServiceState::kStopped && state != ServiceState::kPostShutdown)
                return;
        }
    }
    QVX_TRACE(trace::kInfo, 1, L"every hosted service has stopped");
    if (!runtime.stop.ShutdownDoneEvent().Signal())
        QVX_TRACE(trace::kError, 2, L"SetEvent of the shutdown-done event failed", GetLastError());
}

} // namespace qvx
