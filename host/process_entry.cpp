#include "host/process_entry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/management_service.h"
#include "host/power_events.h"
#include "host/proxy_service.h"
#include "host/service_registration_repair.h"
#include "host/system_libraries.h"
#include "host/trigger_registration.h"
#include "platform/diagnostic_block.h"
#include "platform/trace.h"

namespace qvx {

namespace {

constexpr DWORD kManagementThreadWaitMs = 500;

// A bad argument to a runtime routine makes that routine fail with an error
// instead of ending the service host.
void IgnoreInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t)
{
}

} // namespace

BOOL WINAPI DeclineConsoleEvent(DWORD /*controlType*/)
{
    return FALSE;
}

void RunServiceProcess()
{
    LoadPowerSettingEntryPoints();
    RunTriggerRegistration();
    RepairManagementServiceType();

    ProxyServiceRegistry& proxies = ProxyServices();
    ProxyService* trust = proxies.Find(kTrustProxyName);
    if (!trust)
        trust = proxies.Create(kTrustProxyName, SERVICE_WIN32_SHARE_PROCESS);
    ProxyService* firewall = proxies.Find(kFirewallProxyName);
    if (!firewall && trust)
        firewall = proxies.Create(kFirewallProxyName, SERVICE_WIN32_SHARE_PROCESS);
    if (!trust || !firewall) {
        QVX_TRACE(trace::kError, 1, L"proxy services could not be created");
        CloseTriggerRegistration();
        return;
    }

    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(kManagementServiceName), ManagementServiceMain},
        {const_cast<LPWSTR>(trust->Name().c_str()), trust->ServiceMain()},
        {const_cast<LPWSTR>(firewall->Name().c_str()), firewall->ServiceMain()},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherW(table))
        QVX_TRACE(trace::kError, 2, L"StartServiceCtrlDispatcherW failed", GetLastError());

    // A registration that is still running releases its own interface from now on.
    CloseTriggerRegistration();
}

int RunProcessEntry()
{
    HardenLibrarySearch();
    _set_invalid_parameter_handler(IgnoreInvalidParameter);

    DiagnosticBlock diagnostics;
    memset(&diagnostics, 0, sizeof(diagnostics));
    PublishDiagnosticBlock(&diagnostics);

    trace::Register();

    if (SetConsoleCtrlHandler(DeclineConsoleEvent, TRUE)) {
        RunServiceProcess();
    } else {
        DWORD error = GetLastError();
        fputs("Could not set Console Control Handler\n", stdout);
        fflush(stdout);
        QVX_TRACE(trace::kError, 3, L"SetConsoleCtrlHandler failed", error);
    }

    if (HANDLE thread = ManagementThreadHandle()) {
        WaitForSingleObject(thread, kManagementThreadWaitMs);
        CloseManagementThreadHandle();
    }

    trace::Unregister();
    FreePreloadedLibraries();
    PublishDiagnosticBlock(nullptr);
    return 0;
}

} // namespace qvx
