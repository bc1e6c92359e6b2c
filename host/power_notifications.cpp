#include "host/power_notifications.h"

#include <windows.h>
#include <winsvc.h>

#include <initguid.h>

#include <vector>

#include "host/management_service.h"
#include "host/power_events.h"
#include "platform/handles.h"
#include "platform/locks.h"
#include "platform/trace.h"

namespace qvx {

namespace {

// The power settings the management service follows, in registration order.
// Defined here so that the build does not depend on the SDK's GUID library.
DEFINE_GUID(kAcDcPowerSource, 0x5d3e9a59, 0xe9d5, 0x4b00, 0xa6, 0xbd, 0xff, 0x34, 0xff, 0x51, 0x65, 0x48);
DEFINE_GUID(kBatteryPercentageRemaining, 0xa7ad8041, 0xb45a, 0x4cae, 0x87, 0xa3, 0xee, 0xcb, 0xb4, 0x68, 0xa9, 0xe1);
DEFINE_GUID(kPowerSchemePersonality, 0x245d8541, 0x3943, 0x4422, 0xb0, 0x25, 0x13, 0xa7, 0x84, 0xf6, 0x79, 0xb7);
DEFINE_GUID(kMonitorPowerOn, 0x02731015, 0x4510, 0x4526, 0x99, 0xe6, 0xe5, 0xa1, 0x7e, 0xbd, 0x1a, 0xea);

constexpr const GUID* kPowerSettings[] = {&kAcDcPowerSource, &kBatteryPercentageRemaining, &kPowerSchemePersonality,
                                          &kMonitorPowerOn};

constexpr wchar_t kPowerServiceName[] = L"Power";

DWORD QueryPowerServiceFromScm(PowerServiceState& state)
{
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return GetLastError();
    ServiceHandle power(OpenServiceW(manager.Get(), kPowerServiceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!power)
        return GetLastError();
    DWORD needed = 0;
    if (!QueryServiceConfigW(power.Get(), nullptr, 0, &needed) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return GetLastError();
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(power.Get(), config, needed, &needed))
        return GetLastError();
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(power.Get(), &status))
        return GetLastError();
    state.startType = config->dwStartType;
    state.currentState = status.dwCurrentState;
    return ERROR_SUCCESS;
}

PowerNotificationCalls g_realCalls = {QueryPowerServiceFromScm};
const PowerNotificationCalls* g_calls = &g_realCalls;

} // namespace

bool PowerServiceDeliversEvents(const PowerServiceState& state) noexcept
{
    if (state.startType == SERVICE_DISABLED)
        return false;
    if (state.startType == SERVICE_DEMAND_START &&
        (state.currentState == SERVICE_STOPPED || state.currentState == SERVICE_STOP_PENDING))
        return false;
    return true;
}

bool SetupPowerNotifications(ManagementService& service)
{
    PowerServiceState power;
    DWORD error = g_calls->queryPowerService(power);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kWarning, 1, kManagementServiceName, L"the Power service cannot be queried", error);
        return false;
    }
    if (!PowerServiceDeliversEvents(power)) {
        QVX_TRACE(trace::kWarning, 2, kManagementServiceName, L"the Power service does not run: no power notifications",
                  power.startType, power.currentState);
        return false;
    }

    KernelHandle sourceEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!sourceEvent) {
        QVX_TRACE(trace::kError, 3, kManagementServiceName, L"power-source event cannot be created", GetLastError());
        return false;
    }
    KernelHandle schemeEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!schemeEvent) {
        QVX_TRACE(trace::kError, 4, kManagementServiceName, L"power-scheme event cannot be created", GetLastError());
        return false;
    }
    service.runtime.conditions.powerSourceEvent.Reset(sourceEvent.Take());
    service.runtime.conditions.powerSchemeEvent.Reset(schemeEvent.Take());

    if (RegisterPowerSettingNotificationFn registerNotification = GetPowerSettingEntryPoints().registerNotification) {
        SERVICE_STATUS_HANDLE statusHandle = nullptr;
        {
            SrwSharedGuard guard(service.statusLock);
            statusHandle = service.statusHandle;
        }
        size_t registered = 0;
        for (const GUID* setting : kPowerSettings) {
            SetLastError(ERROR_SUCCESS);
            HPOWERNOTIFY handle = registerNotification(statusHandle, setting, DEVICE_NOTIFY_SERVICE_HANDLE);
            DWORD lastError = GetLastError();
            if (!handle || lastError != ERROR_SUCCESS) {
                QVX_TRACE(trace::kError, 5, kManagementServiceName, L"RegisterPowerSettingNotification failed", registered,
                          lastError);
                if (handle)
                    service.powerNotifications[registered++].Reset(handle);
                break;
            }
            service.powerNotifications[registered++].Reset(handle);
        }
        if (registered == std::size(kPowerSettings))
            QVX_TRACE(trace::kVerbose, 6, kManagementServiceName, L"power-setting notifications registered");
        else
            QVX_TRACE(trace::kWarning, 7, kManagementServiceName, L"power-setting notifications incomplete", registered);
    }

    if ((service.runtime.conditions.word.load() & POWERPROFILE_LOWMEMORY) == 0) {
        service.lowMemoryNotification.Reset(CreateMemoryResourceNotification(LowMemoryResourceNotification));
        if (!service.lowMemoryNotification)
            QVX_TRACE(trace::kError, 8, kManagementServiceName, L"low-memory notification cannot be created", GetLastError());
        service.highMemoryNotification.Reset(CreateMemoryResourceNotification(HighMemoryResourceNotification));
        if (!service.highMemoryNotification)
            QVX_TRACE(trace::kError, 9, kManagementServiceName, L"high-memory notification cannot be created", GetLastError());
    }
    return true;
}

void SetPowerNotificationCalls(const PowerNotificationCalls* calls) noexcept
{
    g_calls = calls ? calls : &g_realCalls;
}

} // namespace qvx
