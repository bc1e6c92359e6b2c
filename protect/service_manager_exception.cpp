#include "protect/service_manager_exception.h"

#include <vector>

#include "platform/trace.h"
#include "protect/access_control.h"
#include "protect/launch_rules.h"
#include "protect/policy_builder.h"

namespace qvx {
namespace {

DWORD Install(const std::wstring& serviceName, GUID& policy)
{
    const std::vector<AacRuleDefinition> rules = {
        {RuleText(kRuleAllowServiceManager, serviceName),
         kAacAllow,
         {{kAacActorImage, kServiceManagerImage, 0}},
         {{kAacObjectRegistryKey, RuleText(kServiceKeyPattern, serviceName), kAacAccessModifyKey, 0}}},
        {RuleText(kRuleServiceManagerCleanup, serviceName),
         kAacDeletePolicyOnTerminate,
         {{kAacActorProcessId, L"", GetCurrentProcessId()}},
         {}},
    };
    const DWORD error = CommitNewPolicy(kServiceManagerIdentifier, kServiceManagerClientName, rules,
                                        L"service-manager exception", policy);
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 1, L"service-manager exception not installed", serviceName, error);
    return error;
}

DWORD Remove(const std::wstring& serviceName, const GUID& policy)
{
    AacRef<AacObject> object;
    DWORD error = OpenAccessControl(kServiceManagerIdentifier, kServiceManagerClientName, object.Receive());
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 2, L"service-manager exception left in place", serviceName, error);
        return error;
    }
    const HRESULT result = object.Get()->DeletePolicy(&policy, 0, 0);
    if (result != S_OK) {
        QVX_TRACE(trace::kError, 3, L"service-manager exception not removed", serviceName,
                  static_cast<DWORD>(result));
        return static_cast<DWORD>(result);
    }
    return ERROR_SUCCESS;
}

} // namespace

DWORD AllowServiceManagerChange(const std::wstring& serviceName, bool remove, GUID& policy)
{
    if (remove)
        return Remove(serviceName, policy);
    policy = {};
    return Install(serviceName, policy);
}

} // namespace qvx
