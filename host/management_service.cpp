#include "host/management_service.h"

#include <cstdio>
#include <new>

#include "host/control_handler.h"
#include "host/engine_calls.h"
#include "host/machine_conditions.h"
#include "host/monitor_wait_set.h"
#include "host/power_events.h"
#include "host/proxy_service.h"
#include "host/service_status.h"
#include "platform/locks.h"
#include "platform/trace.h"

namespace qvx {

namespace {

std::atomic<ManagementService*> g_managementService{nullptr};
std::atomic<HANDLE> g_managementThread{nullptr};

void CloseIfHeld(std::atomic<HANDLE>& handle) noexcept
{
    if (HANDLE held = handle.exchange(nullptr))
        CloseHandle(held);
}

// Puts back the launch protection and service lockdown that the legacy-host
// rules took away while another host ran.
void RestoreLaunchProtection(ManagementService& service)
{
    if (service.managementProtectionStoodDown.load()) {
        for (const wchar_t* name : {kManagementServiceName, kTrustProxyName, kFirewallProxyName})
            SetServiceLaunchProtection(name, false);
        service.managementProtectionStoodDown.store(false);
        for (const wchar_t* name : {kManagementServiceName, kTrustProxyName, kFirewallProxyName})
            SetLockdown(name, true);
    }
    if (service.proxyProtectionStoodDown.load()) {
        for (const wchar_t* name : {kTrustProxyName, kFirewallProxyName})
            SetServiceLaunchProtection(name, false);
        service.proxyProtectionStoodDown.store(false);
        for (const wchar_t* name : {kTrustProxyName, kFirewallProxyName})
            SetLockdown(name, true);
    }
}

} // namespace

ManagementService::ManagementService() noexcept
{
    g_managementService.store(this);
}

ManagementService::~ManagementService()
{
    if (lowMemoryNotification)
        CloseHandle(lowMemoryNotification);
    if (highMemoryNotification)
        CloseHandle(highMemoryNotification);
    UnregisterPowerSettingNotificationFn unregister = GetPowerSettingEntryPoints().unregisterNotification;
    for (HPOWERNOTIFY& registration : powerNotifications) {
        if (registration && unregister)
            unregister(registration);
        registration = nullptr;
    }
    CloseIfHeld(g_powerSourceEvent);
    CloseIfHeld(g_powerSchemeEvent);
    {
        SrwExclusiveGuard guard(statusLock);
        statusHandle = nullptr;
    }
    CloseIfHeld(shutdownEvent);
    CloseIfHeld(monitorStopEvent);
    CloseIfHeld(wakeUpEvent);
    CloseIfHeld(shutdownDoneEvent);
    CloseIfHeld(monitorThread);
    ResetMachineConditions();
    ManagementService* self = this;
    g_managementService.compare_exchange_strong(self, nullptr);
}

ManagementService* GetManagementService() noexcept
{
    return g_managementService.load();
}

HANDLE ManagementThreadHandle() noexcept
{
    return g_managementThread.load();
}

void CloseManagementThreadHandle() noexcept
{
    CloseIfHeld(g_managementThread);
}

void WINAPI ManagementServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/)
{
    HANDLE thread = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE,
                        0)) {
        if (HANDLE previous = g_managementThread.exchange(thread))
            CloseHandle(previous);
    } else {
        QVX_TRACE(trace::kWarning, 1, kManagementServiceName, L"no handle to the main thread", GetLastError());
    }

    ManagementService* service = new (std::nothrow) ManagementService();
    if (!service) {
        fputs("Management Service could not be allocated. Terminating.\n", stdout);
        fflush(stdout);
        QVX_TRACE(trace::kError, 2, kManagementServiceName, L"management service could not be allocated",
                  static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        return;
    }

    // The stop that ended an earlier run in this process left its mark for
    // a start-up that never came; this run's own stops can only arrive once
    // its handler is registered.
    TakePendingStop();
    SERVICE_STATUS_HANDLE statusHandle =
        CallRegisterServiceCtrlHandlerEx(kManagementServiceName, ManagementServiceHandlerEx, service);
    if (!statusHandle) {
        QVX_TRACE(trace::kError, 3, kManagementServiceName, L"RegisterServiceCtrlHandlerExW failed", GetLastError());
        delete service;
        return;
    }
    {
        SrwExclusiveGuard guard(service->statusLock);
        service->statusHandle = statusHandle;
    }

    RunManagementService(*service);

    RestoreLaunchProtection(*service);
    service->legacyHostPresent.store(false);
    ReportServiceStatus(SERVICE_STOPPED, kManagementWaitHint);
    WaitDllServices();
    // The records whose mutexes and timers the wait lists may still name
    // are gone with the run's table; a later start in this process must not
    // wait on their closed handles.
    ProcessMonitorWaitSet().Clear();
    delete service;
}

} // namespace qvx
