#pragma once
// The management service qvxsvh: its one object, its service main function
// and the run routine it hands over to.

#include <windows.h>
#include <winsvc.h>

#include <atomic>
#include <memory>

#include "host/network_state.h"
#include "host/power_events.h"
#include "model/service_enums.h"
#include "model/service_table.h"
#include "platform/companion_interfaces.h"
#include "platform/handles.h"
#include "platform/published_handle.h"
#include "protocol/pipe_server.h"
#include "runtime/host_runtime.h"

namespace qvx {

// Every status report of the management service carries this wait hint.
constexpr DWORD kManagementWaitHint = 3000;

// The one management service object of a run. It owns the service table
// and the state the run shares between its threads (the runtime), which it
// hands down; start-up creates its events and notifications, the control
// handler reaches it as its context, and the destructor releases whatever
// is still held. It is also what the access-control library reports its
// notifications to.
class ManagementService final : public AacCallback {
public:
    // Becomes the process's management service (for status reports) until
    // destroyed.
    ManagementService() noexcept;
    ~ManagementService();
    ManagementService(const ManagementService&) = delete;
    ManagementService& operator=(const ManagementService&) = delete;

    // Shared with the threads of the run, which all end before the run does.
    HostRuntime runtime;
    ServiceTable table;

    // Power-setting registrations (power source, battery percentage, scheme
    // personality, monitor power; one spare) and the memory notifications.
    PowerNotification powerNotifications[5];
    KernelHandle lowMemoryNotification;
    KernelHandle highMemoryNotification;

    // The reported status and its checkpoint counter, under statusLock.
    SRWLOCK statusLock = SRWLOCK_INIT;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    SERVICE_STATUS status = {};
    DWORD checkpoint = 0;

    // The monitor thread while it runs. The control handler waits on a
    // duplicate of it; the stop sequence closes it.
    PublishedHandle monitorThread;
    // The control-pipe instances and the event that stops their I/O
    // threads; the monitor starts and stops them.
    std::unique_ptr<PipeServerList> pipeServers = std::make_unique<PipeServerList>();
    KernelHandle pipeStopEvent;
    // The IP interface watch the monitor starts; stopped by the stop
    // sequence, so that it outlives no monitor, ended or terminated.
    IpInterfaceWatch ipWatch;

    // The access-control object of the access-control library, or none.
    AacObject* accessControl = nullptr;

    // Set while the legacy-host rules keep the launch protection of the
    // host's own services stood down; cleared only once it is back.
    std::atomic<bool> managementProtectionStoodDown{false};
    std::atomic<bool> proxyProtectionStoodDown{false};
    // Decided at start-up before the monitor starts.
    bool firstStartSinceBoot = false;

    // A result the library settled already is kept; otherwise the
    // legacy-host rules act on the notification.
    HRESULT WINAPI OnNotification(AacNotification* notification) override;
    // The legacy-host rules act on the notification; one that names none of
    // their rules goes on to the access-control start and stop of hosted
    // services.
    HRESULT WINAPI OnNotificationEx(AacNotification* notification) override;
};

// The management service object while one exists, else nullptr: for the
// status reports, which the service control manager takes per process.
ManagementService* GetManagementService() noexcept;

// The thread running ManagementServiceMain (SYNCHRONIZE access), or none.
// The process entry waits for it briefly before the process ends.
HANDLE ManagementThreadHandle() noexcept;
void CloseManagementThreadHandle() noexcept;

// Service main function of qvxsvh, called by the service control dispatcher.
void WINAPI ManagementServiceMain(DWORD argc, LPWSTR* argv);

// Start-up, run and shut-down of the management service; returns once the
// service has stopped. The caller reports SERVICE_STOPPED afterwards.
void RunManagementService(ManagementService& service);

// Puts back the launch protection and service lockdown that the legacy-host
// rules took away while another host ran. A flag stays set until its
// restore has succeeded, so a failed restore is tried again at the next
// call.
void RestoreLaunchProtection(ManagementService& service);

} // namespace qvx
