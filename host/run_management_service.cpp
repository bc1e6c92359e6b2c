// The management service's run: everything between registering its control
// handler and reporting itself stopped.
#include "host/run_management_service.h"

#include <windows.h>
#include <winsvc.h>

#include <memory>

#include "engine/event_report.h"
#include "host/boot_markers.h"
#include "host/companion_interfaces.h"
#include "host/control_handler.h"
#include "host/engine_calls.h"
#include "host/machine_conditions.h"
#include "host/management_service.h"
#include "host/monitor_thread.h"
#include "host/monitor_wait_set.h"
#include "host/power_notifications.h"
#include "host/proxy_service.h"
#include "host/service_status.h"
#include "host/trigger_registration.h"
#include "model/service_table.h"
#include "model/service_table_store.h"
#include "platform/handles.h"
#include "platform/trace.h"
#include "protect/access_control.h"
#include "protocol/command_context.h"
#include "protocol/host_hooks.h"
#include "protocol/message_codec.h"
#include "protocol/pipe_server.h"

namespace qvx {

std::atomic<bool> g_launchProtectedSelf{false};

namespace {

constexpr DWORD kLockdownThreadWaitMs = 1000;
constexpr DWORD kMonitorStopWaitMs = 2000;
// Exit code of a monitor thread that had to be terminated (WAIT_TIMEOUT).
constexpr DWORD kMonitorTerminatedExitCode = 258;
// Total physical memory at or below this many KiB counts as low memory.
constexpr DWORDLONG kLowMemoryKiB = 1024;

void PendingApplyStoredLockdown(const wchar_t* serviceName)
{
    QVX_TRACE(trace::kVerbose, 1, L"ApplyStoredLockdown not yet wired", serviceName);
}

void PendingRegisterLegacyHostPolicy(ManagementService& /*service*/, AacObject& /*object*/)
{
    QVX_TRACE(trace::kVerbose, 2, L"legacy-host coexistence policy not yet wired");
}

void PendingProbeLegacyHostMutexes(ManagementService& /*service*/)
{
    QVX_TRACE(trace::kVerbose, 3, L"legacy-host mutex probe not yet wired");
}

// Asks the service control manager for the service's launch protection.
// Where the manager does not know the setting (older systems) the service
// is not protected.
bool QueryLaunchProtection(const wchar_t* serviceName)
{
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        QVX_TRACE(trace::kWarning, 4, serviceName, L"OpenSCManagerW failed", GetLastError());
        return false;
    }
    ServiceHandle service(OpenServiceW(manager.Get(), serviceName, SERVICE_QUERY_CONFIG));
    if (!service) {
        QVX_TRACE(trace::kWarning, 5, serviceName, L"OpenServiceW failed", GetLastError());
        return false;
    }
    // SERVICE_LAUNCH_PROTECTED_INFO, which not every SDK declares.
    struct {
        DWORD dwLaunchProtected;
    } info = {};
    DWORD needed = 0;
    if (!QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_LAUNCH_PROTECTED, reinterpret_cast<BYTE*>(&info),
                              sizeof(info), &needed)) {
        QVX_TRACE(trace::kVerbose, 6, serviceName, L"launch protection cannot be queried", GetLastError());
        return false;
    }
    return info.dwLaunchProtected != SERVICE_LAUNCH_PROTECTED_NONE;
}

// Receives the access-control object's notifications for the management
// service. The coexistence rules that act on them are not in place yet, so
// a notification keeps the answer the library settled on.
class ManagementAccessCallback final : public AacCallback {
public:
    HRESULT WINAPI OnNotification(AacNotification* notification) override { return Answer(notification); }
    HRESULT WINAPI OnNotificationEx(AacNotification* notification) override { return Answer(notification); }

private:
    static HRESULT Answer(AacNotification* notification)
    {
        if (!notification)
            return S_OK;
        QVX_TRACE(trace::kVerbose, 7, L"access-control notification", notification->Kind(), notification->Flags());
        return notification->Result();
    }
};

AacCallback* DefaultAccessCallback(ManagementService& /*service*/)
{
    static ManagementAccessCallback callback;
    return &callback;
}

const ManagementRunCalls g_realCalls = {
    PendingApplyStoredLockdown,
    QueryLaunchProtection,
    OpenStartupAccessControl,
    PendingRegisterLegacyHostPolicy,
    PendingProbeLegacyHostMutexes,
    DefaultAccessCallback,
    LoadServiceTable,
    SetupPowerNotifications,
    ServiceMonThreadProc,
    kControlPipeName,
};
std::atomic<const ManagementRunCalls*> g_calls{&g_realCalls};

DWORD WINAPI LockdownThreadProc(void* /*unused*/)
{
    g_calls.load()->applyStoredLockdown(kManagementServiceName);
    return 0;
}

void CloseHeld(std::atomic<HANDLE>& handle) noexcept
{
    if (HANDLE held = handle.exchange(nullptr))
        CloseHandle(held);
}

void SetInitialMachineConditions()
{
    if (GetSystemMetrics(SM_CLEANBOOT) != 0)
        MachineConditions.fetch_or(POWERPROFILE_SAFEMODE);
    MEMORYSTATUSEX memory = {};
    memory.dwLength = sizeof(memory);
    if (!GlobalMemoryStatusEx(&memory)) {
        QVX_TRACE(trace::kError, 8, kManagementServiceName, L"GlobalMemoryStatusEx failed", GetLastError());
        return;
    }
    if (memory.ullTotalPhys / 1024 <= kLowMemoryKiB)
        MachineConditions.fetch_or(POWERPROFILE_LOWMEMORY);
}

// The access-control object of the run, registered with the management
// service as its callback; null when the library or the object is missing.
AacObject* ConnectAccessControl(ManagementService& service)
{
    const ManagementRunCalls& calls = *g_calls.load();
    AacObject* object = nullptr;
    if (calls.openAccessControl(&object) != ERROR_SUCCESS || !object)
        return nullptr; // traced where it failed; the service runs without access control
    calls.registerLegacyHostPolicy(service, *object);
    HRESULT result = object->RegisterCallback(calls.accessControlCallback(service), kAacCallbackNotificationMask,
                                              kAacCallbackFlags, 0, nullptr);
    if (FAILED(result))
        QVX_TRACE(trace::kError, 9, kManagementServiceName, L"access-control callback registration failed",
                  static_cast<DWORD>(result));
    calls.probeLegacyHostMutexes(service);
    return object;
}

void DisconnectAccessControl(AacObject* object)
{
    if (!object)
        return;
    HRESULT result = object->UnregisterCallback();
    if (FAILED(result))
        QVX_TRACE(trace::kError, 10, kManagementServiceName, L"access-control callback unregistration failed",
                  static_cast<DWORD>(result));
    object->Release();
}

bool CreateRunEvents(ManagementService& service)
{
    bool created = true;
    for (std::atomic<HANDLE>* event : {&service.shutdownEvent, &service.monitorStopEvent, &service.shutdownDoneEvent}) {
        HANDLE handle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!handle) {
            QVX_TRACE(trace::kError, 11, kManagementServiceName, L"an event of the run cannot be created", GetLastError());
            created = false;
        }
        if (HANDLE previous = event->exchange(handle))
            CloseHandle(previous);
    }
    // The wait set's event wakes the monitor; it lives as long as the process.
    service.wakeUpEvent.store(ProcessMonitorWaitSet().WakeEvent());
    return created;
}

void StartMonitorThread(ManagementService& service, ServiceTable& table, PipeServerList& servers,
                        MonitorStartBlock& block)
{
    block.table = &table;
    block.shutdownEvent = service.shutdownEvent.load();
    block.monitorStopEvent = service.monitorStopEvent.load();
    block.wakeUpEvent = service.wakeUpEvent.load();
    block.eventCount = 3;
    block.service = &service;
    block.shutdownDoneEvent = service.shutdownDoneEvent.load();
    if (!block.shutdownEvent || !block.monitorStopEvent || !block.shutdownDoneEvent) {
        // Without its events the monitor could never be stopped.
        QVX_TRACE(trace::kError, 12, kManagementServiceName, L"the service runs without monitor: events missing");
        return;
    }
    SetMonitorPipeServers(&servers);
    HANDLE thread = CreateThread(nullptr, 0, g_calls.load()->monitorThreadProc, &block, 0, nullptr);
    if (!thread) {
        QVX_TRACE(trace::kError, 13, kManagementServiceName, L"the monitor thread cannot be started", GetLastError());
        SetMonitorPipeServers(nullptr);
        return;
    }
    service.monitorThread.store(thread);
}

// Stops the pipe instances that are still serving (the monitor stops them
// when it ends normally) and releases the list. An instance whose I/O thread
// does not end is left alive rather than destroyed under its own thread.
void ReleasePipeServers(std::unique_ptr<PipeServerList> servers)
{
    SetMonitorPipeServers(nullptr);
    bool allStopped = true;
    for (const std::unique_ptr<SVHServerPipe>& server : *servers) {
        if (server && server->IsRunning() && !server->Stop(kPipeStopTimeoutMs))
            allStopped = false;
    }
    if (!allStopped) {
        QVX_TRACE(trace::kError, 14, kManagementServiceName, L"a control-pipe thread did not end; its instance stays open");
        static_cast<void>(servers.release());
    }
}

} // namespace

const ManagementRunCalls& ManagementRunEngineCalls() noexcept
{
    return *g_calls.load();
}

void SetManagementRunCalls(const ManagementRunCalls* calls) noexcept
{
    g_calls.store(calls ? calls : &g_realCalls);
}

bool WaitForServiceStop(ManagementService& service, DWORD timeoutMs)
{
    DWORD result = WaitForSingleObject(g_stopEvent.load(), timeoutMs);
    if (result == WAIT_TIMEOUT)
        return false;
    if (result != WAIT_OBJECT_0) {
        QVX_TRACE(trace::kError, 15, kManagementServiceName, L"waiting for the stop event failed", result, GetLastError());
        return true;
    }

    WaitDllServices();
    for (const wchar_t* name : {kFirewallProxyName, kTrustProxyName}) {
        if (ProxyService* proxy = ProxyServices().Find(name))
            proxy->Stop();
    }
    if (HANDLE monitorStop = service.monitorStopEvent.load())
        SetEvent(monitorStop);
    if (HANDLE thread = service.monitorThread.exchange(nullptr)) {
        if (WaitForSingleObject(thread, kMonitorStopWaitMs) != WAIT_OBJECT_0) {
            QVX_TRACE(trace::kError, 16, kManagementServiceName, L"the monitor thread did not end in time and is terminated");
            TerminateThread(thread, kMonitorTerminatedExitCode);
        }
        CloseHandle(thread);
    }
    return true;
}

void RunManagementService(ManagementService& service)
{
    const ManagementRunCalls& calls = *g_calls.load();

    ReportServiceStatus(SERVICE_START_PENDING, kManagementWaitHint);
    KernelHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent) {
        QVX_TRACE(trace::kError, 17, kManagementServiceName, L"stop event could not be created", GetLastError());
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

    ServiceTable table;
    auto servers = std::make_unique<PipeServerList>();
    AacObject* accessControl = nullptr;
    MonitorStartBlock monitorBlock = {};

    KernelHandle lockdownThread(CreateThread(nullptr, 0, LockdownThreadProc, nullptr, 0, nullptr));
    if (!lockdownThread) {
        QVX_TRACE(trace::kError, 18, kManagementServiceName, L"the registry lockdown thread cannot be started", GetLastError());
    } else {
        SetCommandServiceTable(&table);
        CreatePipeServers(*servers, calls.pipeName);
        ReportServiceStatus(SERVICE_RUNNING, kManagementWaitHint);

        SetInitialMachineConditions();
        g_launchProtectedSelf.store(calls.queryServiceLaunchProtection(kManagementServiceName));
        accessControl = ConnectAccessControl(service);
        service.accessControl = accessControl;

        service.firstStartSinceBoot.store(IsFirstStartSinceBoot());
        calls.loadServiceTable(table, service.firstStartSinceBoot.load());
        CreateRunEvents(service);

        if (!WaitForServiceStop(service, 0)) {
            calls.setupPowerNotifications(service);
            // A failed registration is traced there; reports are then skipped.
            RegisterServiceEventSource();
            if (calls.queryServiceLaunchProtection(kManagementServiceName))
                SetLockdown(kManagementServiceName, true);
            StartMonitorThread(service, table, *servers, monitorBlock);
            if (!WaitForServiceStop(service, 0))
                WaitForServiceStop(service, INFINITE);
        }

        DisconnectAccessControl(accessControl);
        service.accessControl = nullptr;
    }

    // Release steps: whatever start-up got to, the table is saved and the
    // threads and events of the run are gone before the service reports
    // itself stopped.
    ReleasePipeServers(std::move(servers));
    SaveServiceTable(table);
    SetCommandServiceTable(nullptr);
    if (lockdownThread && WaitForSingleObject(lockdownThread.Get(), kLockdownThreadWaitMs) != WAIT_OBJECT_0)
        QVX_TRACE(trace::kWarning, 20, kManagementServiceName, L"the registry lockdown thread did not end in time");
    lockdownThread.Reset();
    CloseHeld(service.shutdownEvent);
    CloseHeld(service.shutdownDoneEvent);
    CloseHeld(service.monitorStopEvent);
    service.wakeUpEvent.store(nullptr);
    DeregisterServiceEventSource();
    InstallHostHooks(HostHooks{});
    g_stopEvent.store(nullptr);
}

} // namespace qvx
