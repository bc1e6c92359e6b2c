#include "engine/service_state_reports.h"

#include "model/service_record.h"
#include "platform/trace.h"
#include "runtime/host_runtime.h"

namespace qvx {

void ContinueStoppedService(HostRuntime& runtime, ServiceRecord& record)
{
    QVX_TRACE(trace::kWarning, 1, L"not built: ContinueStoppedService", record.GetName());
    CheckAllServicesStopped(runtime);
}

void ApplyServiceStatusReport(HostRuntime& /*runtime*/, ServiceRecord& record, ServiceState reported)
{
    QVX_TRACE(trace::kWarning, 2, L"not built: ApplyServiceStatusReport", record.GetName(),
              static_cast<DWORD>(reported));
}

} // namespace qvx
