#include "host/management_service.h"

#include <cstdio>
#include <new>

#include "host/control_handler.h"
#include "engine/engine_calls.h"
#include "runtime/machine_conditions.h"
#include "runtime/monitor_wait_set.h"
#include "host/legacy_host_coexistence.h"
#include "host/power_events.h"
#include "host/proxy_service.h"
#include "host/service_status.h"
#include "platform/locks.h"
#include "platform/trace.h"
#include "protect/service_lockdown.h"

namespace qvx {

namespace {

std::atomic<ManagementService*> g_managementService{nullptr};
std::atomic<HANDLE> g_managementThread{nullptr};

// Stands a group of services' protection back up: launch protection first,
// then the lockdown. True when every call succeeded.
bool RestoreGroup(std::initializer_list<const wchar_t*> names)
{
    bool restored = true;
    for (const wchar_t* name : names) {
        const DWORD error = SetServiceLaunchProtection(name, false);
        if (error != ERROR_SUCCESS) {
            QVX_TRACE(trace::kError, 4, name, L"launch protection could not be restored", error);
            restored = false;
        }
    }
    for (const wchar_t* name : names) {
        const DWORD error = SetLockdown(name, true);
        if (error != ERROR_SUCCESS) {
            QVX_TRACE(trace::kError, 5, name, L"lockdown could not be restored", error);
            restored = false;
        }
    }
    return restored;
}

} // namespace

void RestoreLaunchProtection(ManagementService& service)
{
    if (service.managementProtectionStoodDown.load() &&
        RestoreGroup({kManagementServiceName, kTrustProxyName, kFirewallProxyName}))
        service.managementProtectionStoodDown.store(false);
    if (service.proxyProtectionStoodDown.load() && RestoreGroup({kTrustProxyName, kFirewallProxyName}))
        service.proxyProtectionStoodDown.store(false);
}

ManagementService::ManagementService() noexcept
{
    g_managementService.store(this);
}

ManagementService::~ManagementService()
{
    {
        SrwExclusiveGuard guard(statusLock);
        statusHandle = nullptr;
    }
    ManagementService* self = this;
    g_managementService.compare_exchange_strong(self, nullptr);
}

HRESULT WINAPI ManagementService::OnNotification(AacNotification* notification)
{
    if (!notification)
        return S_OK;
    const HRESULT settled = notification->Result();
    if (settled != S_OK)
        return settled;
    HandleLegacyHostNotification(*this, *notification);
    return S_OK;
}

HRESULT WINAPI ManagementService::OnNotificationEx(AacNotification* notification)
{
    if (notification && !HandleLegacyHostNotification(*this, *notification))
        PassOnUnrecognisedNotification(*notification);
    return S_OK;
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
    if (HANDLE held = g_managementThread.exchange(nullptr))
        CloseHandle(held);
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
    service->runtime.legacyHostPresent.store(false);
    ReportServiceStatus(SERVICE_STOPPED, kManagementWaitHint);
    WaitDllServices(service->runtime);
    delete service;
}

} // namespace qvx
