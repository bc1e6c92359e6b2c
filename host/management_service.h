#pragma once
// The management service qvxsvh: its one object, its service main function
// and the run routine it hands over to.

#include <windows.h>
#include <winsvc.h>

#include <atomic>

#include "model/service_enums.h"

namespace qvx {

// Every status report of the management service carries this wait hint.
constexpr DWORD kManagementWaitHint = 3000;

// The one management service object of the process. Start-up creates its
// events and notifications, the control handler reads them from the
// dispatcher thread, and the destructor releases whatever is still held.
class ManagementService {
public:
    // Becomes the process-wide management service until destroyed.
    ManagementService() noexcept;
    ~ManagementService();
    ManagementService(const ManagementService&) = delete;
    ManagementService& operator=(const ManagementService&) = delete;

    // Power-setting registrations (power source, battery percentage, scheme
    // personality, monitor power; one spare) and the memory notifications.
    HPOWERNOTIFY powerNotifications[5] = {};
    HANDLE lowMemoryNotification = nullptr;
    HANDLE highMemoryNotification = nullptr;

    // The reported status and its checkpoint counter, under statusLock.
    SRWLOCK statusLock = SRWLOCK_INIT;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    SERVICE_STATUS status = {};
    DWORD checkpoint = 0;

    // Auto-reset events of the run (none until start-up creates them): the
    // control handler sets shutdownEvent on a system shutdown and waits for
    // shutdownDoneEvent, which the monitor thread sets once every hosted
    // service has stopped.
    std::atomic<HANDLE> shutdownEvent{nullptr};
    std::atomic<HANDLE> monitorStopEvent{nullptr};
    std::atomic<HANDLE> wakeUpEvent{nullptr};
    std::atomic<HANDLE> shutdownDoneEvent{nullptr};
    // The monitor thread while it runs.
    std::atomic<HANDLE> monitorThread{nullptr};

    // The access-control object of the access-control library, or none.
    void* accessControl = nullptr;

    std::atomic<bool> managementProtectionStoodDown{false};
    std::atomic<bool> proxyProtectionStoodDown{false};
    std::atomic<bool> legacyHostPresent{false};
    std::atomic<bool> firstStartSinceBoot{false};
};

// The management service object while one exists, else nullptr.
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

} // namespace qvx
