#pragma once
// Builds one policy of the access-control library from a list of rules and
// commits it: the shared part of the launch rules and the service-manager
// exception. Every object the library hands out is released again on every
// path, whether the policy got committed or not.

#include <windows.h>

#include <string>
#include <vector>

#include "platform/companion_interfaces.h"

namespace qvx {

// Holds one reference to a library object and releases it when it goes.
template <typename Interface>
class AacRef {
public:
    AacRef() noexcept = default;
    ~AacRef() { Reset(); }
    AacRef(const AacRef&) = delete;
    AacRef& operator=(const AacRef&) = delete;

    Interface* Get() const noexcept { return object_; }
    Interface** Receive() noexcept
    {
        Reset();
        return &object_;
    }
    void Reset() noexcept
    {
        if (object_)
            object_->Release();
        object_ = nullptr;
    }

private:
    Interface* object_ = nullptr;
};

struct AacActorDefinition {
    AacActorKind kind;
    std::wstring text; // image pattern; empty for an id matcher
    DWORD id;          // process or thread id; 0 for a pattern matcher
};

struct AacTargetDefinition {
    AacObjectType type;
    std::wstring path;
    DWORD access;
    DWORD accessEx;
};

struct AacRuleDefinition {
    std::wstring description;
    AacRuleAction action;
    std::vector<AacActorDefinition> actors;
    std::vector<AacTargetDefinition> targets;
};

// "**\<name>" for a path with a backslash, where <name> is what follows the
// last one; the whole path otherwise.
std::wstring ImagePattern(const std::wstring& path);

// Fresh GUIDs from UuidCreate. 0 or its error (traced).
DWORD NewGuid(GUID& guid);
// One fresh GUID for each entry of `guids`. 0 or the first error.
DWORD NewGuids(std::vector<GUID>& guids);

// Creates the rule `ruleId` of `definition` on `object`, with its actors and
// then its targets, and adds it to `policy`. 0 or the library's first
// non-zero result (traced with `purpose`).
DWORD AddRuleToPolicy(AacObject& object, AacPolicy& policy, const GUID& ruleId,
                      const AacRuleDefinition& definition, const wchar_t* purpose);

// Creates the policy `policyId` (named `policyName`, or unnamed) on
// `object`, each rule in order (its identifier taken from `ruleIds`, one per
// rule) with its actors and then its targets, and commits it under
// `policyId`. 0 or the first non-zero result of the library (traced with
// `purpose`); nothing is committed then.
DWORD BuildAndCommitPolicy(AacObject& object, const GUID& policyId, const std::vector<AacRuleDefinition>& rules,
                           const std::vector<GUID>& ruleIds, const wchar_t* purpose,
                           const wchar_t* policyName = nullptr);

// A fresh policy GUID and one GUID per rule, then the policy built and
// committed in an access-control object opened for `identifier` and
// `clientName`. 0 or the first error; `policy` is set only on success.
DWORD CommitNewPolicy(const GUID& identifier, const wchar_t* clientName, const std::vector<AacRuleDefinition>& rules,
                      const wchar_t* purpose, GUID& policy);

} // namespace qvx
