// The management service's run routine. This body only makes the service
// usable as a service: it reports running and waits for the stop request.
// The full start-up sequence (control pipe, service table, access control,
// notifications, monitor thread) and the matching shut-down go here.
#include "host/control_handler.h"
#include "host/engine_calls.h"
#include "host/machine_conditions.h"
#include "host/management_service.h"
#include "host/service_status.h"
#include "host/trigger_registration.h"
#include "platform/handles.h"
#include "platform/trace.h"
#include "protocol/host_hooks.h"

namespace qvx {

void RunManagementService(ManagementService& /*service*/)
{
    ReportServiceStatus(SERVICE_START_PENDING, kManagementWaitHint);
    KernelHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent) {
        QVX_TRACE(trace::kError, 1, L"qvxsvh", L"stop event could not be created", GetLastError());
        return;
    }
    g_stopEvent.store(stopEvent.Get());
    if (TakePendingStop())
        SetEvent(stopEvent.Get());
    HostHooks hooks;
    hooks.runTriggerRegistration = static_cast<void (*)()>(RunTriggerRegistration);
    hooks.stopDllServices = StopDllServices;
    hooks.hostStopEvent = stopEvent.Get();
    InstallHostHooks(hooks);
    ReportServiceStatus(SERVICE_RUNNING, kManagementWaitHint);
    if (WaitForSingleObject(stopEvent.Get(), INFINITE) != WAIT_OBJECT_0)
        QVX_TRACE(trace::kError, 2, L"qvxsvh", L"waiting for the stop event failed", GetLastError());
    InstallHostHooks(HostHooks{});
    g_stopEvent.store(nullptr);
}

} // namespace qvx
