#include "protect/launch_rules.h"

#include <vector>

#include "platform/trace.h"
#include "protect/access_control.h"
#include "protect/policy_builder.h"

namespace qvx {
namespace {

// A fresh client GUID, then the policy in an access-control object of the
// client's own.
DWORD CommitLaunchPolicy(const std::vector<AacRuleDefinition>& rules, const wchar_t* purpose, GUID& client,
                         GUID& policy)
{
    const DWORD error = NewGuid(client);
    if (error != ERROR_SUCCESS)
        return error;
    return CommitNewPolicy(client, nullptr, rules, purpose, policy);
}

} // namespace

std::wstring RuleText(const wchar_t* pattern, const std::wstring& value)
{
    std::wstring text = pattern;
    const size_t at = text.find(L"%s");
    if (at != std::wstring::npos)
        text.replace(at, 2, value);
    return text;
}

DWORD AllowProcessCreation(const std::wstring& executablePath, ProcessCreationRule& rule)
{
    rule = {};
    const AacActorDefinition host = {kAacActorImage, L"**\\" + std::wstring(kHostImageName), 0};
    const std::wstring executable = ImagePattern(executablePath);
    const std::vector<AacRuleDefinition> rules = {
        {RuleText(kRuleAllowCreateProcess, executablePath),
         kAacAllow,
         {host},
         {{kAacObjectProcess, executable, kAacAccessCreateProcess, 0}}},
        {RuleText(kRuleAllowTerminate, executablePath),
         kAacAllow,
         {host},
         {{kAacObjectProcess, executable, kAacAccessTerminate, 0}}},
        {RuleText(kRuleRemoveWhenTerminates, kHostImageName), kAacDeletePolicyOnTerminate, {host}, {}},
    };
    ProcessCreationRule made;
    const DWORD error = CommitLaunchPolicy(rules, L"creation rule", made.client, made.policy);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 1, L"creation rule not installed", executablePath, error);
        return error;
    }
    rule = made;
    return ERROR_SUCCESS;
}

DWORD RemoveProcessCreationRule(const ProcessCreationRule& rule)
{
    AacRef<AacObject> object;
    DWORD error = OpenAccessControl(rule.client, nullptr, object.Receive());
    if (error != ERROR_SUCCESS) {
        // The rule stays until the management service ends, when its own
        // housekeeping rule removes it.
        QVX_TRACE(trace::kError, 2, L"creation rule left in place: no access-control object", error);
        return error;
    }
    const HRESULT result = object.Get()->DeletePolicy(&rule.policy, 0, 0);
    if (result != S_OK) {
        QVX_TRACE(trace::kError, 3, L"creation rule not removed", static_cast<DWORD>(result));
        return static_cast<DWORD>(result);
    }
    return ERROR_SUCCESS;
}

DWORD AllowHostedProcess(const std::wstring& executablePath, DWORD processId, DWORD threadId)
{
    const std::vector<AacRuleDefinition> rules = {
        // The main thread is named beside its process: it is the one that
        // exists while the rules go in.
        {RuleText(kRuleAllowControlPipe, executablePath),
         kAacAllow,
         {{kAacActorProcessId, L"", processId}, {kAacActorThreadId, L"", threadId}},
         {{kAacObjectPipe, kControlPipePath, kAacAccessPipe, 0}}},
        {RuleText(kRuleAllowTerminate, executablePath),
         kAacAllow,
         {{kAacActorProcessId, L"", GetCurrentProcessId()}},
         {{kAacObjectProcess, ImagePattern(executablePath), kAacAccessTerminate, 0}}},
        {RuleText(kRuleRemoveWhenTerminates, executablePath),
         kAacDeletePolicyOnTerminate,
         {{kAacActorProcessId, L"", processId}},
         {}},
    };
    GUID client = {};
    GUID policy = {};
    const DWORD error = CommitLaunchPolicy(rules, L"process rules", client, policy);
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 4, L"rules of the new process not installed", executablePath, processId, error);
    return error;
}

} // namespace qvx
