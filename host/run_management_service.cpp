// The management service's run: everything between registering its control
// handler and reporting itself stopped.
#include "host/run_management_service.h"

#include <windows.h>
#include <winsvc.h>

#include <memory>

#include "engine/engine_calls.h"
#include "engine/event_report.h"
#include "engine/launch_protection.h"
#include "host/boot_markers.h"
#include "host/legacy_host_coexistence.h"
#include "host/management_service.h"
#include "host/monitor_thread.h"
#include "host/power_notifications.h"
#include "host/proxy_service.h"
#include "host/service_status.h"
#include "host/trigger_registration.h"
#include "model/handle_release.h"
#include "model/service_table.h"
#include "model/service_table_store.h"
#include "platform/companion_interfaces.h"
#include "platform/handles.h"
#include "platform/trace.h"
#include "protect/access_control.h"
#include "protect/service_lockdown.h"
#include "protocol/host_hooks.h"
#include "protocol/message_codec.h"
#include "protocol/pipe_server.h"
#include "runtime/host_runtime.h"

namespace qvx {

namespace {

constexpr DWORD kLockdownThreadWaitMs = 1000;
constexpr DWORD kMonitorStopWaitMs = 2000;
// Exit code of a monitor thread that had to be terminated (WAIT_TIMEOUT).
constexpr DWORD kMonitorTerminatedExitCode = 258;
// Total physical memory at or below this many KiB counts as low memory.
constexpr DWORDLONG kLowMemoryKiB = 1024;

void ApplyOwnStoredLockdown(const wchar_t* serviceName)
{
    const DWORD error = ApplyStoredLockdown(serviceName);
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 1, serviceName, L"the recorded lockdown could not be applied", error);
}

// The coexistence policy goes in before the callback is registered, so that
// no notification of it is missed.
void RegisterStartupLegacyHostPolicy(ManagementService& service, AacObject& object)
{
    RegisterLegacyHostPolicy(service, object); // traced where it failed
}

// Whether the named service is launch-protected; a service whose
// protection cannot be read counts as unprotected (the query traced why).
bool QueryLaunchProtection(const wchar_t* serviceName)
{
    bool isProtected = false;
    return QueryServiceLaunchProtection(serviceName, isProtected) == ERROR_SUCCESS && isProtected;
}

// The management service object itself receives the notifications.
AacCallback* DefaultAccessCallback(ManagementService& service)
{
    return &service;
}

const ManagementRunCalls g_realCalls = {
    ApplyOwnStoredLockdown,
    QueryLaunchProtection,
    OpenStartupAccessControl,
    RegisterStartupLegacyHostPolicy,
    ProbeLegacyHostMutexes,
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

void SetInitialMachineConditions(MachineConditions& conditions)
{
    if (GetSystemMetrics(SM_CLEANBOOT) != 0)
        conditions.word.fetch_or(POWERPROFILE_SAFEMODE);
    MEMORYSTATUSEX memory = {};
    memory.dwLength = sizeof(memory);
    if (!GlobalMemoryStatusEx(&memory)) {
        QVX_TRACE(trace::kError, 8, kManagementServiceName, L"GlobalMemoryStatusEx failed", GetLastError());
        return;
    }
    if (memory.ullTotalPhys / 1024 <= kLowMemoryKiB)
        conditions.word.fetch_or(POWERPROFILE_LOWMEMORY);
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

void StartMonitorThread(ManagementService& service, MonitorStartBlock& block)
{
    const StopState& stop = service.runtime.stop;
    block.table = &service.table;
    block.shutdownEvent = stop.ShutdownEvent().Get();
    block.monitorStopEvent = stop.MonitorStopEvent().Get();
    block.wakeUpEvent = service.runtime.waitSet.WakeEvent();
    block.eventCount = 3;
    block.service = &service;
    block.shutdownDoneEvent = stop.ShutdownDoneEvent().Get();
    if (!block.shutdownEvent || !block.monitorStopEvent || !block.shutdownDoneEvent) {
        // Without its events the monitor could never be stopped.
        QVX_TRACE(trace::kError, 12, kManagementServiceName, L"the service runs without monitor: events missing");
        return;
    }
    service.pipeStopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!service.pipeStopEvent)
        QVX_TRACE(trace::kError, 21, kManagementServiceName, L"CreateEvent for the pipe stop event failed", GetLastError());
    // Timers and mutexes released while the monitor runs may be in its wait
    // array: they go to the wait set's deferred close.
    InstallHandleRelease(&service.runtime.waitSet);
    HANDLE thread = CreateThread(nullptr, 0, g_calls.load()->monitorThreadProc, &block, 0, nullptr);
    if (!thread) {
        QVX_TRACE(trace::kError, 13, kManagementServiceName, L"the monitor thread cannot be started", GetLastError());
        InstallHandleRelease(nullptr);
        return;
    }
    service.monitorThread.Reset(thread);
}

// Ends a monitor thread that did not stop in time. It is ended while this
// thread holds the wait-list lock, so never in the middle of a list change;
// a monitor that waits for the lock meanwhile leaves nothing behind. Nothing
// else it uses lives on its stack: the handle release, the IP interface
// watch, the pipe instances and their stop event are the run's.
void TerminateMonitorThread(ManagementService& service, HANDLE thread)
{
    QVX_TRACE(trace::kError, 16, kManagementServiceName, L"the monitor thread did not end in time and is terminated");
    MonitorWaitSet::Guard waitListGuard(service.runtime.waitSet);
    if (!TerminateThread(thread, kMonitorTerminatedExitCode)) {
        QVX_TRACE(trace::kError, 19, kManagementServiceName, L"TerminateThread of the monitor failed", GetLastError());
        return;
    }
    // Termination completes asynchronously: the lock is let go only once
    // the thread is gone.
    if (WaitForSingleObject(thread, INFINITE) != WAIT_OBJECT_0)
        QVX_TRACE(trace::kError, 22, kManagementServiceName, L"waiting for the terminated monitor failed", GetLastError());
}

// Stops the monitor thread and takes back what it was given: the IP
// interface watch, the handle release and the deferred closes.
void StopMonitorThread(ManagementService& service)
{
    const HANDLE thread = service.monitorThread.Get();
    if (!thread)
        return;
    service.runtime.stop.MonitorStopEvent().Signal();
    const DWORD result = WaitForSingleObject(thread, kMonitorStopWaitMs);
    if (result != WAIT_OBJECT_0)
        TerminateMonitorThread(service, thread);
    service.ipWatch.Stop();
    InstallHandleRelease(nullptr);
    service.runtime.waitSet.CloseDeferred();
    service.monitorThread.Reset();
}

// Stops the pipe instances that are still serving (the monitor stops them
// when it ends normally) and releases them. An instance whose I/O thread
// does not end in time is waited for: no handler holds the table lock or
// waits for long, and what its dispatch reaches (the runtime, the table)
// must outlive it.
void ReleasePipeServers(ManagementService& service)
{
    for (const std::unique_ptr<SVHServerPipe>& server : *service.pipeServers) {
        if (server && server->IsRunning() && !server->Stop(kPipeStopTimeoutMs)) {
            QVX_TRACE(trace::kError, 14, kManagementServiceName, L"a control-pipe thread did not end in time; waiting for it",
                      server->Name());
            server->Stop(INFINITE);
        }
    }
    service.pipeServers->clear();
    service.pipeStopEvent.Reset();
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
    DWORD result = WaitForSingleObject(service.runtime.stop.StopEvent().Get(), timeoutMs);
    if (result == WAIT_TIMEOUT)
        return false;
    if (result != WAIT_OBJECT_0) {
        QVX_TRACE(trace::kError, 15, kManagementServiceName, L"waiting for the stop event failed", result, GetLastError());
        return true;
    }

    WaitDllServices(service.runtime);
    for (const wchar_t* name : {kFirewallProxyName, kTrustProxyName}) {
        if (ProxyService* proxy = ProxyServices().Find(name))
            proxy->Stop();
    }
    StopMonitorThread(service);
    return true;
}

void RunManagementService(ManagementService& service)
{
    const ManagementRunCalls& calls = *g_calls.load();
    HostRuntime& runtime = service.runtime;

    ReportServiceStatus(SERVICE_START_PENDING, kManagementWaitHint);
    if (!runtime.stop.CreateStopEvent())
        return;
    HostHooks hooks;
    hooks.runTriggerRegistration = static_cast<void (*)()>(RunTriggerRegistration);
    InstallHostHooks(hooks);

    MonitorStartBlock monitorBlock = {};

    KernelHandle lockdownThread(CreateThread(nullptr, 0, LockdownThreadProc, nullptr, 0, nullptr));
    if (!lockdownThread) {
        QVX_TRACE(trace::kError, 18, kManagementServiceName, L"the registry lockdown thread cannot be started", GetLastError());
    } else {
        runtime.PublishTable(&service.table);
        CreatePipeServers(*service.pipeServers, calls.pipeName);
        ReportServiceStatus(SERVICE_RUNNING, kManagementWaitHint);

        SetInitialMachineConditions(runtime.conditions);
        runtime.launchProtectedSelf.store(calls.queryServiceLaunchProtection(kManagementServiceName));
        service.accessControl = ConnectAccessControl(service);

        service.firstStartSinceBoot = IsFirstStartSinceBoot();
        calls.loadServiceTable(service.table, service.firstStartSinceBoot);
        runtime.stop.CreateRunEvents();

        if (!WaitForServiceStop(service, 0)) {
            calls.setupPowerNotifications(service);
            // A failed registration is traced there; reports are then skipped.
            RegisterServiceEventSource();
            if (calls.queryServiceLaunchProtection(kManagementServiceName))
                SetLockdown(kManagementServiceName, true);
            StartMonitorThread(service, monitorBlock);
            if (!WaitForServiceStop(service, 0))
                WaitForServiceStop(service, INFINITE);
        }

        DisconnectAccessControl(service.accessControl);
        service.accessControl = nullptr;
    }

    // Release steps: whatever start-up got to, the table is saved and the
    // threads and events of the run are gone before the service reports
    // itself stopped.
    ReleasePipeServers(service);
    SaveServiceTable(service.table);
    runtime.PublishTable(nullptr);
    if (lockdownThread && WaitForSingleObject(lockdownThread.Get(), kLockdownThreadWaitMs) != WAIT_OBJECT_0)
        QVX_TRACE(trace::kWarning, 20, kManagementServiceName, L"the registry lockdown thread did not end in time");
    lockdownThread.Reset();
    runtime.stop.CloseRunEvents();
    DeregisterServiceEventSource();
    InstallHostHooks(HostHooks{});
    runtime.stop.CloseStopEvent();
}

} // namespace qvx
