#include "host/control_handler.h"

#include <atomic>

#include "engine/engine_calls.h"
#include "host/management_service.h"
#include "runtime/host_runtime.h"
#include "host/power_events.h"
#include "host/service_status.h"
#include "platform/trace.h"

namespace qvx {

namespace {

const ControlHandlerCalls kEngineCalls = {BroadcastServiceControl, ApplyPowerCondition, StopDllServices};
std::atomic<const ControlHandlerCalls*> g_calls{&kEngineCalls};

const ControlHandlerCalls& Calls() noexcept
{
    return *g_calls.load();
}

// Tells the monitor thread that the system shuts down and waits until it
// has seen every hosted service stop. Without a running monitor thread
// there is nobody to set the done event, so the wait also ends when the
// monitor thread ends. Both waits are on handles of the handler's own: the
// stop sequence may close the originals meanwhile.
void ShutDownHostedServices(ManagementService& service) noexcept
{
    StopState& stop = service.runtime.stop;
    if (!stop.ShutdownEvent().Signal())
        return;
    const KernelHandle done = stop.ShutdownDoneEvent().Duplicate();
    const KernelHandle monitor = service.monitorThread.Duplicate();
    if (!done || !monitor) {
        QVX_TRACE(trace::kWarning, 2, kManagementServiceName, L"no monitor thread to wait for at shutdown");
        return;
    }
    const HANDLE waits[2] = {done.Get(), monitor.Get()};
    QVX_TRACE(trace::kVerbose, 8, kManagementServiceName, L"waiting for the hosted services at shutdown");
    DWORD result = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (result == WAIT_FAILED)
        QVX_TRACE(trace::kError, 3, kManagementServiceName, L"waiting for the hosted services at shutdown failed",
                  GetLastError());
    else if (result == WAIT_OBJECT_0 + 1)
        QVX_TRACE(trace::kWarning, 4, kManagementServiceName, L"monitor thread ended before the hosted services stopped");
}

void HandlePowerEvent(HostRuntime& runtime, DWORD eventType, LPVOID eventData) noexcept
{
    if (eventType != PBT_POWERSETTINGCHANGE) {
        Calls().broadcastServiceControl(runtime, SERVICE_CONTROL_POWEREVENT, eventType, eventData, 0);
        return;
    }
    if (!eventData) {
        QVX_TRACE(trace::kError, 5, kManagementServiceName, L"power setting change without data",
                  static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        Calls().broadcastServiceControl(runtime, SERVICE_CONTROL_POWEREVENT, eventType, nullptr, 0);
        return;
    }
    MachineConditions& conditions = runtime.conditions;
    const auto& setting = *static_cast<const POWERBROADCAST_SETTING*>(eventData);
    uint32_t before = conditions.word.load();
    PowerSettingChange change = UpdatePowerConditions(setting, conditions.powerFlags, conditions.word);
    if (change.setPowerSourceEvent)
        conditions.powerSourceEvent.Signal();
    if (change.setPowerSchemeEvent)
        conditions.powerSchemeEvent.Signal();
    if (conditions.word.load() != before)
        Calls().applyPowerCondition(runtime, true);
    Calls().broadcastServiceControl(runtime, SERVICE_CONTROL_POWEREVENT, eventType, eventData,
                                    PowerSettingSize(setting.DataLength));
}

DWORD FirstDword(const void* data) noexcept
{
    DWORD value = 0;
    if (data)
        memcpy(&value, data, sizeof(value));
    return value;
}

} // namespace

void SetControlHandlerCalls(const ControlHandlerCalls* calls) noexcept
{
    g_calls.store(calls ? calls : &kEngineCalls);
}

DWORD WINAPI ManagementServiceHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context)
{
    auto* service = static_cast<ManagementService*>(context);
    if (!service) {
        QVX_TRACE(trace::kError, 7, kManagementServiceName, L"control without the management service", control);
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    HostRuntime& runtime = service->runtime;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        ReportServiceStatus(SERVICE_STOP_PENDING, kManagementWaitHint);
        Calls().stopDllServices(runtime);
        runtime.stop.RequestStop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        ReportServiceStatus(0, kManagementWaitHint);
        return NO_ERROR;
    case SERVICE_CONTROL_SHUTDOWN:
        ShutDownHostedServices(*service);
        ReportServiceStatus(SERVICE_STOP_PENDING, kManagementWaitHint);
        runtime.stop.RequestStop();
        return NO_ERROR;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE:
        Calls().broadcastServiceControl(runtime, control, eventType, nullptr, 0);
        return NO_ERROR;
    case SERVICE_CONTROL_DEVICEEVENT:
    case SERVICE_CONTROL_SESSIONCHANGE:
        // Both kinds of event data start with their own size.
        Calls().broadcastServiceControl(runtime, control, eventType, eventData, FirstDword(eventData));
        return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
        HandlePowerEvent(runtime, eventType, eventData);
        return NO_ERROR;
    case SERVICE_CONTROL_PRESHUTDOWN:
        return NO_ERROR;
    default:
        // Pause, continue, parameter changes and everything the service
        // does not accept.
        QVX_TRACE(trace::kInfo, 6, kManagementServiceName, L"control not handled", control, eventType);
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

} // namespace qvx
