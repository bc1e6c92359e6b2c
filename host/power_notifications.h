#pragma once
// Power-setting and memory resource notifications of the management service.

#include <windows.h>

namespace qvx {

class ManagementService;

// Registers the power-setting notifications (power source, battery
// percentage, power-scheme personality, monitor power) with the service's
// status handle and creates the memory resource notifications, unless the
// Windows "Power" service is disabled or stopped. True when the
// notifications were set up (a partial registration included).
bool SetupPowerNotifications(ManagementService& service);

// What the service control manager says about the Windows "Power" service.
struct PowerServiceState {
    DWORD startType = 0;
    DWORD currentState = 0;
};

// Whether a Power service in this state delivers power events: not when it
// is disabled, nor when it is demand-start and stopped or stopping.
bool PowerServiceDeliversEvents(const PowerServiceState& state) noexcept;

// The query of the Power service, replaceable by tests; 0 or a Windows error.
struct PowerNotificationCalls {
    DWORD (*queryPowerService)(PowerServiceState& state);
};
// Test seam: nullptr restores the query through the service control manager.
void SetPowerNotificationCalls(const PowerNotificationCalls* calls) noexcept;

} // namespace qvx
