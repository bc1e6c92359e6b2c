#include "host/legacy_host_coexistence.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine_calls.h"
#include "host/management_service.h"
#include "host/run_management_service.h"
#include "host/service_registration_repair.h"
#include "model/service_enums.h"
#include "platform/companion_interfaces.h"
#include "platform/handles.h"
#include "platform/trace.h"
#include "protect/policy_builder.h"

namespace qvx {

const GUID kLegacyHostPolicyId = {0x6f3a1c52, 0x9d27, 0x4e81, {0xa4, 0x10, 0x2b, 0x7e, 0x95, 0xc3, 0x61, 0x08}};
const GUID kLegacyHostManagementRuleId = {0x6f3a1c52, 0x9d27, 0x4e81, {0xa4, 0x10, 0x2b, 0x7e, 0x95, 0xc3, 0x61, 0x11}};
const GUID kLegacyHostProxyRuleId = {0x6f3a1c52, 0x9d27, 0x4e81, {0xa4, 0x10, 0x2b, 0x7e, 0x95, 0xc3, 0x61, 0x12}};
const GUID kLegacyHostDriverRuleId = {0x6f3a1c52, 0x9d27, 0x4e81, {0xa4, 0x10, 0x2b, 0x7e, 0x95, 0xc3, 0x61, 0x13}};
const GUID kLegacyHostCleanupRuleId = {0x6f3a1c52, 0x9d27, 0x4e81, {0xa4, 0x10, 0x2b, 0x7e, 0x95, 0xc3, 0x61, 0x14}};
const GUID kDriverKeysPolicyId = {0x6f3a1c52, 0x9d27, 0x4e81, {0xa4, 0x10, 0x2b, 0x7e, 0x95, 0xc3, 0x62, 0x20}};
const GUID kDriverKeysRuleId = {0x6f3a1c52, 0x9d27, 0x4e81, {0xa4, 0x10, 0x2b, 0x7e, 0x95, 0xc3, 0x62, 0x21}};
const GUID kDriverKeysCleanupRuleId = {0x6f3a1c52, 0x9d27, 0x4e81, {0xa4, 0x10, 0x2b, 0x7e, 0x95, 0xc3, 0x62, 0x22}};
const GUID kProxyMonitorPolicyId = {0x6f3a1c52, 0x9d27, 0x4e81, {0xa4, 0x10, 0x2b, 0x7e, 0x95, 0xc3, 0x63, 0x30}};
const GUID kProxyMonitorRuleId = {0x6f3a1c52, 0x9d27, 0x4e81, {0xa4, 0x10, 0x2b, 0x7e, 0x95, 0xc3, 0x63, 0x31}};
const GUID kProxyMonitorCleanupRuleId = {0x6f3a1c52, 0x9d27, 0x4e81, {0xa4, 0x10, 0x2b, 0x7e, 0x95, 0xc3, 0x63, 0x32}};

namespace {

const wchar_t* const kLegacyMutexNames[] = {
    L"Global\\qvxlhost",
    L"Global\\qvxlhost_ppl",
    L"Global\\qvxlhost_proxy_ppl",
    L"Global\\qvxlhost_shared_proxy_services",
};
enum LegacyMutex { kHostMutex, kHostPplMutex, kProxyPplMutex, kSharedProxyMutex, kLegacyMutexCount };

constexpr wchar_t kPolicyName[] = L"legacy qvxlhost exlcusions policy";
constexpr wchar_t kLegacyImagePattern[] = L"qvxlhost*";
constexpr wchar_t kLegacySigner[] = L"Quorvex Tessera Installer";
constexpr wchar_t kServicesImage[] = L"%SYSTEMROOT%\\SYSTEM32\\SERVICES.EXE";

// Releases of the suite that ran their services in the legacy host. Each
// rule lists the releases whose legacy host needs what the rule does.
const wchar_t* const kManagementRuleVersions[] = {L"9.8.*", L"9.9.*"};
const wchar_t* const kProxyRuleVersions[] = {L"8.0.*", L"8.1.*", L"8.2.*", L"8.3.*", L"8.4.*", L"8.5.*", L"8.6.*",
                                              L"8.7.*", L"8.8.*", L"8.9.*", L"9.0.*", L"9.1.*", L"9.2.*"};
const wchar_t* const kDriverRuleVersions[] = {L"9.0.*", L"9.1.*", L"9.2.*", L"9.3.*",
                                              L"9.4.*", L"9.5.*", L"9.6.*", L"9.7.*"};

// Rule data of a notification meant for the access-control start and stop
// of hosted services: at least this long, starting with the value 1.
constexpr DWORD kPassOnRuleDataMinBytes = 520;
constexpr DWORD kPassOnRuleDataMarker = 1;

DWORD RealSetServiceLaunchProtection(const wchar_t* serviceName, bool removeProtection)
{
    return SetServiceLaunchProtection(serviceName, removeProtection);
}

bool RealQueryServiceLaunchProtection(const wchar_t* serviceName)
{
    return ManagementRunEngineCalls().queryServiceLaunchProtection(serviceName);
}

void DropNotification(AacNotification& notification)
{
    QVX_TRACE(trace::kWarning, 1, L"no access-control start or stop of hosted services: notification dropped",
              notification.Kind(), notification.Flags());
}

const LegacyHostCalls g_realCalls = {
    RealSetServiceLaunchProtection,
    RealQueryServiceLaunchProtection,
    RepairProxyServiceConfig,
    DropNotification,
    kLegacyMutexNames,
};
std::atomic<const LegacyHostCalls*> g_calls{&g_realCalls};

// Stands the launch protection of each named service down or back up. A
// failure is traced; the caller's flags stay as the rules set them.
void SetProtection(std::initializer_list<const wchar_t*> names, bool removeProtection)
{
    for (const wchar_t* name : names) {
        const DWORD error = g_calls.load()->setServiceLaunchProtection(name, removeProtection);
        if (error != ERROR_SUCCESS)
            QVX_TRACE(trace::kError, 2, name, removeProtection ? L"launch protection could not be stood down"
                                                               : L"launch protection could not be restored",
                      error);
    }
}

std::vector<AacActorDefinition> LegacyHostActors(const wchar_t* const* versions, size_t count)
{
    std::vector<AacActorDefinition> actors = {{kAacActorImage, kLegacyImagePattern, 0},
                                              {kAacActorSigner, kLegacySigner, 0}};
    for (size_t i = 0; i < count; ++i)
        actors.push_back({kAacActorVersion, versions[i], 0});
    return actors;
}

template <size_t N>
std::vector<AacActorDefinition> LegacyHostActors(const wchar_t* const (&versions)[N])
{
    return LegacyHostActors(versions, N);
}

// Creates the named policy with its rules in order and commits it. 0 or
// the first refusal (traced).
DWORD CommitNamedPolicy(AacObject& object, const GUID& policyId, const wchar_t* policyName,
                        const std::vector<AacRuleDefinition>& rules, const std::vector<const GUID*>& ruleIds)
{
    std::vector<GUID> ids;
    for (const GUID* id : ruleIds)
        ids.push_back(*id);
    return BuildAndCommitPolicy(object, policyId, rules, ids, policyName, policyName);
}

// Lets the service manager reach the driver's keys, which the legacy host
// changes through it, until the legacy host ends.
DWORD CommitDriverKeysException(AacObject& object, DWORD legacyHostProcessId)
{
    static constexpr wchar_t kName[] = L"Allow services.exe access to qvxndrv registry keys (legacy qvxlhost)";
    static constexpr wchar_t kDriverKeys[] = L"HKCCS\\SERVICES\\QVXNDRV\\**";
    const std::vector<AacRuleDefinition> rules = {
        {L"Allow Services.exe access to qvxndrv registry keys",
         kAacAllow,
         {{kAacActorImage, kServicesImage, 0}},
         {{kAacObjectRegistryKey, kDriverKeys, 0x309, 0}, {kAacObjectRegistryValue, kDriverKeys, 0xb, 0}}},
        {L"Remove qvxndrv exclusion when qvxlhost.exe terminates",
         kAacDeletePolicyOnTerminate,
         {{kAacActorProcessId, L"", legacyHostProcessId}},
         {}},
    };
    return CommitNamedPolicy(object, kDriverKeysPolicyId, kName, rules, {&kDriverKeysRuleId, &kDriverKeysCleanupRuleId});
}

// Reports every change the service manager makes to the proxies'
// registration while the legacy host runs, so that it can be put back.
DWORD CommitProxyMonitor(AacObject& object, DWORD legacyHostProcessId)
{
    static constexpr wchar_t kName[] = L"Monitor proxy service configuration changes (legacy qvxlhost)";
    static const wchar_t* const kWatchedValues[] = {
        L"HKCCS\\SERVICES\\QVXTRUST\\ImagePath", L"HKCCS\\SERVICES\\QVXTRUST\\Type",
        L"HKCCS\\SERVICES\\QVXTRUST\\Start",     L"HKCCS\\SERVICES\\QVXFWSVC\\ImagePath",
        L"HKCCS\\SERVICES\\QVXFWSVC\\Type",      L"HKCCS\\SERVICES\\QVXFWSVC\\Start",
    };
    AacRuleDefinition monitor = {L"Monitor proxy service configuration changes",
                           kAacNotify,
                           {{kAacActorImage, kServicesImage, 0}},
                           {}};
    for (const wchar_t* value : kWatchedValues)
        monitor.targets.push_back({kAacObjectRegistryValue, value, 2, 0});
    const std::vector<AacRuleDefinition> rules = {
        monitor,
        {L"Remove proxy service registry rule on terminate",
         kAacDeletePolicyOnTerminate,
         {{kAacActorProcessId, L"", legacyHostProcessId}},
         {}},
    };
    return CommitNamedPolicy(object, kProxyMonitorPolicyId, kName, rules,
                             {&kProxyMonitorRuleId, &kProxyMonitorCleanupRuleId});
}

// Whether the rule data block is one for the access-control start and stop
// of hosted services.
bool IsForHostedServices(AacNotification& notification)
{
    const BYTE* data = nullptr;
    DWORD size = 0;
    if (!notification.RuleData(&data, &size) || !data || size < kPassOnRuleDataMinBytes)
        return false;
    DWORD marker = 0;
    memcpy(&marker, data, sizeof(marker));
    return marker == kPassOnRuleDataMarker;
}

} // namespace

const LegacyHostCalls& LegacyHostEngineCalls() noexcept
{
    return *g_calls.load();
}

void SetLegacyHostCalls(const LegacyHostCalls* calls) noexcept
{
    g_calls.store(calls ? calls : &g_realCalls);
}

DWORD RegisterLegacyHostPolicy(ManagementService& /*service*/, AacObject& object)
{
    const std::vector<AacRuleDefinition> rules = {
        {L"Stand down SVH PPL when legacy qvxlhost runs", kAacNotify, LegacyHostActors(kManagementRuleVersions), {}},
        {L"Stand down Proxy Service PPL when legacy qvxlhost runs", kAacNotify, LegacyHostActors(kProxyRuleVersions),
         {}},
        {L"Add NDIS exclusion when legacy qvxlhost runs", kAacNotify, LegacyHostActors(kDriverRuleVersions), {}},
        {L"Legacy qvxlhost exclusions - delete on terminate",
         kAacDeletePolicyOnTerminate,
         {{kAacActorProcessId, L"", GetCurrentProcessId()}},
         {{kAacObjectAny, L"*", 0, 0}}},
    };
    const DWORD error = CommitNamedPolicy(
        object, kLegacyHostPolicyId, kPolicyName, rules,
        {&kLegacyHostManagementRuleId, &kLegacyHostProxyRuleId, &kLegacyHostDriverRuleId, &kLegacyHostCleanupRuleId});
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 4, L"the service runs without the legacy-host coexistence policy", error);
    return error;
}

void ProbeLegacyHostMutexes(ManagementService& service)
{
    const LegacyHostCalls& calls = *g_calls.load();
    KernelHandle created[kLegacyMutexCount];
    bool held[kLegacyMutexCount] = {};
    for (int i = 0; i < kLegacyMutexCount; ++i) {
        HANDLE mutex = CreateMutexW(nullptr, TRUE, calls.mutexNames[i]);
        const DWORD error = GetLastError();
        if (!mutex) {
            // Neither created nor known to be held: the legacy host is not
            // taken to hold it.
            QVX_TRACE(trace::kWarning, 5, calls.mutexNames[i], L"CreateMutexW failed", error);
            continue;
        }
        if (error == ERROR_ALREADY_EXISTS) {
            held[i] = true;
            CloseHandle(mutex);
        } else {
            created[i].Reset(mutex);
        }
    }
    // The mutexes this probe created go with `created`, on every path.
    if (!held[kHostMutex])
        return;
    if (!held[kHostPplMutex]) {
        service.managementProtectionStoodDown.store(true);
        SetProtection({kManagementServiceName}, true);
    }
    if (held[kHostPplMutex] && held[kProxyPplMutex] && held[kSharedProxyMutex]) {
        service.runtime.legacyHostPresent.store(false);
        return;
    }
    service.runtime.legacyHostPresent.store(true);
    if (!held[kProxyPplMutex] || !held[kSharedProxyMutex]) {
        service.proxyProtectionStoodDown.store(true);
        SetProtection({kTrustProxyName, kFirewallProxyName}, true);
    }
    QVX_TRACE(trace::kInfo, 6, L"a legacy host runs beside this one", static_cast<DWORD>(held[kHostPplMutex]),
              static_cast<DWORD>(held[kProxyPplMutex]), static_cast<DWORD>(held[kSharedProxyMutex]));
}

bool HandleLegacyHostNotification(ManagementService& service, AacNotification& notification)
{
    const LegacyHostCalls& calls = *g_calls.load();
    bool managementRule = false;
    bool proxyRule = false;
    bool driverRule = false;
    bool proxyChanged = false;
    bool recognised = false;
    const DWORD count = notification.RuleCount();
    for (DWORD i = 0; i < count; ++i) {
        GUID rule = {};
        if (!notification.RuleId(i, &rule))
            continue;
        if (IsEqualGUID(rule, kLegacyHostManagementRuleId))
            managementRule = true;
        else if (IsEqualGUID(rule, kLegacyHostProxyRuleId))
            proxyRule = true;
        else if (IsEqualGUID(rule, kLegacyHostDriverRuleId))
            driverRule = true;
        else if (IsEqualGUID(rule, kProxyMonitorRuleId)) {
            recognised = true;
            if (notification.Kind() != kProxyMonitorIgnoredKind) {
                proxyChanged = true;
                break;
            }
            continue;
        } else {
            if (IsEqualGUID(rule, kLegacyHostCleanupRuleId))
                recognised = true;
            continue;
        }
        recognised = true;
        break;
    }

    if (proxyChanged)
        calls.repairProxyServiceConfig(false);

    bool newlyPresent = false;
    if (managementRule || proxyRule) {
        const DWORD flags = notification.Flags();
        if (flags & kLegacyHostEndedFlag) {
            if (service.managementProtectionStoodDown.load() || service.proxyProtectionStoodDown.load()) {
                SetProtection({kManagementServiceName, kTrustProxyName, kFirewallProxyName}, false);
                service.managementProtectionStoodDown.store(false);
                service.proxyProtectionStoodDown.store(false);
                calls.repairProxyServiceConfig(true);
            }
            // The legacy host is gone whether or not anything was stood
            // down: a host that comes later must be taken as new.
            service.runtime.legacyHostPresent.store(false);
        } else if (flags & kLegacyHostRunsFlag) {
            if (calls.queryServiceLaunchProtection(kManagementServiceName)) {
                if (managementRule) {
                    SetProtection({kManagementServiceName, kTrustProxyName, kFirewallProxyName}, true);
                    service.managementProtectionStoodDown.store(true);
                } else {
                    SetProtection({kTrustProxyName, kFirewallProxyName}, true);
                    service.proxyProtectionStoodDown.store(true);
                }
            }
            newlyPresent = !service.runtime.legacyHostPresent.exchange(true);
        }
    }

    if (driverRule || newlyPresent) {
        AacObject* object = service.accessControl;
        if (!object) {
            QVX_TRACE(trace::kError, 7, L"no access-control object for the legacy-host exceptions");
        } else {
            if (driverRule)
                CommitDriverKeysException(*object, notification.ProcessId());
            if (newlyPresent)
                CommitProxyMonitor(*object, notification.ProcessId());
        }
    }

    return recognised;
}

void PassOnUnrecognisedNotification(AacNotification& notification)
{
    if (IsForHostedServices(notification))
        g_calls.load()->passOnNotification(notification);
}

} // namespace qvx
