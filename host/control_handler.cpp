#include "host/control_handler.h"

#include <atomic>

#include "host/engine_calls.h"
#include "host/machine_conditions.h"
#include "host/management_service.h"
#include "host/power_events.h"
#include "host/service_status.h"
#include "platform/trace.h"

namespace qvx {

namespace {

const ControlHandlerCalls kEngineCalls = {BroadcastServiceControl, ApplyPowerCondition, StopDllServices};
std::atomic<const ControlHandlerCalls*> g_calls{&kEngineCalls};
std::atomic<bool> g_pendingStop{false};

const ControlHandlerCalls& Calls() noexcept
{
    return *g_calls.load();
}

void SetStopEvent() noexcept
{
    // Marked first: start-up publishes the event before it takes the mark,
    // so either the event is seen here or the mark is seen there.
    g_pendingStop.store(true);
    if (HANDLE stopEvent = g_stopEvent.load()) {
        SetEvent(stopEvent);
        return;
    }
    QVX_TRACE(trace::kWarning, 1, kManagementServiceName, L"stop requested before the stop event exists; kept for start-up");
}

void SetIfPresent(const std::atomic<HANDLE>& event) noexcept
{
    if (HANDLE handle = event.load())
        SetEvent(handle);
}

// Tells the monitor thread that the system shuts down and waits until it
// has seen every hosted service stop. Without a running monitor thread
// there is nobody to set the done event, so the wait also ends when the
// monitor thread ends.
void ShutDownHostedServices(ManagementService& service) noexcept
{
    HANDLE shutdownEvent = service.shutdownEvent.load();
    if (!shutdownEvent)
        return;
    SetEvent(shutdownEvent);
    HANDLE waits[2] = {service.shutdownDoneEvent.load(), service.monitorThread.load()};
    if (!waits[0] || !waits[1]) {
        QVX_TRACE(trace::kWarning, 2, kManagementServiceName, L"no monitor thread to wait for at shutdown");
        return;
    }
    DWORD result = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (result == WAIT_FAILED)
        QVX_TRACE(trace::kError, 3, kManagementServiceName, L"waiting for the hosted services at shutdown failed",
                  GetLastError());
    else if (result == WAIT_OBJECT_0 + 1)
        QVX_TRACE(trace::kWarning, 4, kManagementServiceName, L"monitor thread ended before the hosted services stopped");
}

void HandlePowerEvent(DWORD eventType, LPVOID eventData) noexcept
{
    if (eventType != PBT_POWERSETTINGCHANGE) {
        Calls().broadcastServiceControl(SERVICE_CONTROL_POWEREVENT, eventType, eventData, 0);
        return;
    }
    if (!eventData) {
        QVX_TRACE(trace::kError, 5, kManagementServiceName, L"power setting change without data",
                  static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        Calls().broadcastServiceControl(SERVICE_CONTROL_POWEREVENT, eventType, nullptr, 0);
        return;
    }
    const auto& setting = *static_cast<const POWERBROADCAST_SETTING*>(eventData);
    uint32_t before = MachineConditions.load();
    PowerSettingChange change = UpdatePowerConditions(setting, g_powerFlags, MachineConditions);
    if (change.setPowerSourceEvent)
        SetIfPresent(g_powerSourceEvent);
    if (change.setPowerSchemeEvent)
        SetIfPresent(g_powerSchemeEvent);
    if (MachineConditions.load() != before)
        Calls().applyPowerCondition(true);
    Calls().broadcastServiceControl(SERVICE_CONTROL_POWEREVENT, eventType, eventData,
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

bool TakePendingStop() noexcept
{
    return g_pendingStop.exchange(false);
}

void SetControlHandlerCalls(const ControlHandlerCalls* calls) noexcept
{
    g_calls.store(calls ? calls : &kEngineCalls);
}

DWORD WINAPI ManagementServiceHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context)
{
    auto* service = static_cast<ManagementService*>(context);
    switch (control) {
    case SERVICE_CONTROL_STOP:
        ReportServiceStatus(SERVICE_STOP_PENDING, kManagementWaitHint);
        Calls().stopDllServices();
        SetStopEvent();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        ReportServiceStatus(0, kManagementWaitHint);
        return NO_ERROR;
    case SERVICE_CONTROL_SHUTDOWN:
        if (service)
            ShutDownHostedServices(*service);
        ReportServiceStatus(SERVICE_STOP_PENDING, kManagementWaitHint);
        SetStopEvent();
        return NO_ERROR;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE:
        Calls().broadcastServiceControl(control, eventType, nullptr, 0);
        return NO_ERROR;
    case SERVICE_CONTROL_DEVICEEVENT:
    case SERVICE_CONTROL_SESSIONCHANGE:
        // Both kinds of event data start with their own size.
        Calls().broadcastServiceControl(control, eventType, eventData, FirstDword(eventData));
        return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
        HandlePowerEvent(eventType, eventData);
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
