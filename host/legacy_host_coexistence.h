#pragma once
// Coexistence with the legacy host of an earlier suite generation: while it
// runs, the launch protection of qvxsvh and its two proxies is stood down
// and the service manager is let through to the keys the legacy host
// shares; when it ends, protection comes back and the proxies'
// registration is repaired. The legacy host is recognised by the named
// mutexes it holds (probed once at start-up) and by the notifications of a
// coexistence policy registered with the access-control library.

#include <windows.h>

namespace qvx {

class AacNotification;
class AacObject;
class ManagementService;

// The calls the coexistence rules make outside themselves.
struct LegacyHostCalls {
    // 0 or the error; `removeProtection` stands the protection down.
    DWORD (*setServiceLaunchProtection)(const wchar_t* serviceName, bool removeProtection);
    bool (*queryServiceLaunchProtection)(const wchar_t* serviceName);
    void (*repairProxyServiceConfig)(bool repairStart);
    // Hands a notification that names none of the coexistence rules to the
    // access-control start and stop of hosted services.
    void (*passOnNotification)(AacNotification& notification);
    // The four mutexes of the legacy host: the host, its protected form,
    // its protected proxy and its shared proxy services.
    const wchar_t* const* mutexNames;
};

// The calls in force.
const LegacyHostCalls& LegacyHostEngineCalls() noexcept;
// Test seam: nullptr restores the real calls.
void SetLegacyHostCalls(const LegacyHostCalls* calls) noexcept;

// Fixed identifiers of the coexistence policy, its rules and the
// exception policies built while a legacy host runs.
extern const GUID kLegacyHostPolicyId;
extern const GUID kLegacyHostManagementRuleId;  // stands down qvxsvh's protection
extern const GUID kLegacyHostProxyRuleId;       // stands down the proxies' protection
extern const GUID kLegacyHostDriverRuleId;      // asks for the driver-key exception
extern const GUID kLegacyHostCleanupRuleId;     // removes the policy with this process
extern const GUID kDriverKeysPolicyId;
extern const GUID kDriverKeysRuleId;
extern const GUID kDriverKeysCleanupRuleId;
extern const GUID kProxyMonitorPolicyId;
extern const GUID kProxyMonitorRuleId;          // reports changes of the proxies' registration
extern const GUID kProxyMonitorCleanupRuleId;

// Notification kind that the proxy monitor reports without a change to
// repair.
constexpr DWORD kProxyMonitorIgnoredKind = 16;
// Flag word of a notification: the legacy host runs / has ended.
constexpr DWORD kLegacyHostRunsFlag = 0x1;
constexpr DWORD kLegacyHostEndedFlag = 0x800;

// Creates and commits the coexistence policy on `object`. 0 or the first
// error of the library (traced); the service runs without it then.
DWORD RegisterLegacyHostPolicy(ManagementService& service, AacObject& object);

// Probes the legacy host's mutexes once at start-up and stands down the
// launch protection that the legacy host needs stood down.
void ProbeLegacyHostMutexes(ManagementService& service);

// Acts on a notification of the access-control library. True when the
// notification named one of the coexistence rules.
bool HandleLegacyHostNotification(ManagementService& service, AacNotification& notification);

// Hands a notification that the legacy-host rules did not recognise to the
// access-control start and stop of hosted services, when its rule data is
// meant for them.
void PassOnUnrecognisedNotification(AacNotification& notification);

} // namespace qvx
