#include "protect/policy_builder.h"

#include <rpc.h>

#include "platform/trace.h"
#include "protect/access_control.h"

namespace qvx {
namespace {

DWORD Failed(HRESULT result, const wchar_t* purpose, const wchar_t* step, const std::wstring& rule)
{
    QVX_TRACE(trace::kError, 1, L"access-control library refused a step", purpose, step, rule,
              static_cast<DWORD>(result));
    return static_cast<DWORD>(result);
}

// The library answers success with an object; an empty answer is a failure
// all the same, or the rule would go on without its part.
HRESULT Checked(HRESULT result, const void* created)
{
    return result == S_OK && !created ? E_POINTER : result;
}

} // namespace

std::wstring ImagePattern(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos)
        return path;
    return L"**\\" + path.substr(slash + 1);
}

DWORD NewGuid(GUID& guid)
{
    const RPC_STATUS status = UuidCreate(&guid);
    // A GUID that is unique on this machine only is unique enough for a
    // policy that lives no longer than the machine's run.
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY) {
        QVX_TRACE(trace::kError, 2, L"UuidCreate failed", static_cast<DWORD>(status));
        return static_cast<DWORD>(status);
    }
    return ERROR_SUCCESS;
}

DWORD NewGuids(std::vector<GUID>& guids)
{
    for (GUID& guid : guids) {
        const DWORD error = NewGuid(guid);
        if (error != ERROR_SUCCESS)
            return error;
    }
    return ERROR_SUCCESS;
}

DWORD AddRuleToPolicy(AacObject& object, AacPolicy& policy, const GUID& ruleId,
                      const AacRuleDefinition& definition, const wchar_t* purpose)
{
    AacRef<AacRule> rule;
    HRESULT result = object.CreateRule(&ruleId, definition.description.c_str(), definition.action, rule.Receive());
    if ((result = Checked(result, rule.Get())) != S_OK)
        return Failed(result, purpose, L"CreateRule", definition.description);
    for (const AacActorDefinition& actor : definition.actors) {
        AacRef<AacMatcher> matcher;
        result = object.CreateActorMatcher(actor.kind, actor.text.empty() ? nullptr : actor.text.c_str(), actor.id,
                                           matcher.Receive());
        if ((result = Checked(result, matcher.Get())) != S_OK)
            return Failed(result, purpose, L"CreateActorMatcher", definition.description);
        if ((result = object.AddMatcher(rule.Get(), matcher.Get())) != S_OK)
            return Failed(result, purpose, L"AddMatcher", definition.description);
    }
    for (const AacTargetDefinition& target : definition.targets) {
        AacRef<AacMatcher> matcher;
        result = object.CreateTargetMatcher(target.type, target.path.c_str(), target.access, target.accessEx,
                                            matcher.Receive());
        if ((result = Checked(result, matcher.Get())) != S_OK)
            return Failed(result, purpose, L"CreateTargetMatcher", definition.description);
        if ((result = object.AddMatcher(rule.Get(), matcher.Get())) != S_OK)
            return Failed(result, purpose, L"AddMatcher", definition.description);
    }
    if ((result = object.AddRule(&policy, rule.Get())) != S_OK)
        return Failed(result, purpose, L"AddRule", definition.description);
    return ERROR_SUCCESS;
}

DWORD BuildAndCommitPolicy(AacObject& object, const GUID& policyId, const std::vector<AacRuleDefinition>& rules,
                           const std::vector<GUID>& ruleIds, const wchar_t* purpose, const wchar_t* policyName)
{
    if (ruleIds.size() != rules.size())
        return ERROR_INVALID_PARAMETER;
    AacRef<AacPolicy> policy;
    HRESULT result = object.CreatePolicy(&policyId, policyName, policy.Receive());
    if ((result = Checked(result, policy.Get())) != S_OK)
        return Failed(result, purpose, L"CreatePolicy", L"");
    for (size_t i = 0; i < rules.size(); ++i) {
        const DWORD error = AddRuleToPolicy(object, *policy.Get(), ruleIds[i], rules[i], purpose);
        if (error != ERROR_SUCCESS)
            return error;
    }
    if ((result = object.CommitPolicy(&policyId, policy.Get())) != S_OK)
        return Failed(result, purpose, L"CommitPolicy", L"");
    return ERROR_SUCCESS;
}

DWORD CommitNewPolicy(const GUID& identifier, const wchar_t* clientName, const std::vector<AacRuleDefinition>& rules,
                      const wchar_t* purpose, GUID& policy)
{
    GUID made = {};
    DWORD error = NewGuid(made);
    std::vector<GUID> ruleIds(rules.size());
    if (error == ERROR_SUCCESS)
        error = NewGuids(ruleIds);
    if (error != ERROR_SUCCESS)
        return error;

    AacRef<AacObject> object;
    error = OpenAccessControl(identifier, clientName, object.Receive());
    if (error == ERROR_SUCCESS)
        error = BuildAndCommitPolicy(*object.Get(), made, rules, ruleIds, purpose);
    if (error == ERROR_SUCCESS)
        policy = made;
    return error;
}

} // namespace qvx
