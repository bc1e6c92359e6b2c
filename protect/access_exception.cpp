#include "protect/access_exception.h"

#include <cwchar>
#include <string>
#include <vector>

#include "platform/companion_interfaces.h"
#include "platform/driver_device.h"
#include "platform/trace.h"
#include "protect/access_control.h"
#include "protect/policy_builder.h"
#include "protect/rule_identifier.h"

namespace qvx {

struct AccessException {
    HANDLE writeHandle = nullptr;
    DWORD writeBegins = 0;
    HANDLE readHandle = nullptr;
    DWORD readBegins = 0;
    AacObject* policyObject = nullptr;
    AacPolicy* policy = nullptr;
    GUID clientGuid = {};
    GUID policyGuid = {};
    DWORD processId = 0;
    DWORD threadId = 0;
};

namespace {

constexpr size_t kDescriptionChars = 1024;
constexpr wchar_t kEveryObject[] = L"*";

template <typename... Args>
std::wstring Format(const wchar_t* pattern, Args... args)
{
    wchar_t text[kDescriptionChars] = {};
    swprintf(text, kDescriptionChars, pattern, args...);
    return text;
}

// The device under its local name, else its global one; null when neither opens.
HANDLE OpenDevice(DWORD access)
{
    DriverDevice& device = CurrentDriverDevice();
    for (const wchar_t* name : {kDriverDeviceName, kDriverGlobalDeviceName}) {
        HANDLE handle = device.Open(name, access);
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr)
            return handle;
    }
    return nullptr;
}

// Adds the rule to the scope's policy, its identifier the hash of its
// description, and commits the policy. False when any step failed (traced).
bool CommitRule(AccessException& scope, const AacRuleDefinition& definition)
{
    GUID ruleId = {};
    if (RuleIdentifier(definition.description, &ruleId) != ERROR_SUCCESS ||
        AddRuleToPolicy(*scope.policyObject, *scope.policy, ruleId, definition, L"exception scope") != ERROR_SUCCESS)
        return false;
    const HRESULT result = scope.policyObject->CommitPolicy(&scope.policyGuid, scope.policy);
    if (result != S_OK)
        QVX_TRACE(trace::kError, 1, L"exception rule not committed", definition.description,
                  static_cast<DWORD>(result));
    return result == S_OK;
}

void ReleasePolicyObject(AccessException& scope)
{
    if (scope.policy)
        scope.policy->Release();
    scope.policy = nullptr;
    if (scope.policyObject)
        scope.policyObject->Release();
    scope.policyObject = nullptr;
}

// The scope's policy with its two housekeeping rules: removed when this
// process ends, its rules disabled when this thread ends.
bool CreateScopePolicy(AccessException& scope)
{
    if (NewGuid(scope.clientGuid) != ERROR_SUCCESS || NewGuid(scope.policyGuid) != ERROR_SUCCESS)
        return false;
    if (OpenAccessControlWithFallback(scope.clientGuid, nullptr, &scope.policyObject) != ERROR_SUCCESS)
        return false;
    const std::wstring name = Format(L"accesslib policy %x:%x", scope.processId, scope.threadId);
    const HRESULT result = scope.policyObject->CreatePolicy(&scope.policyGuid, name.c_str(), &scope.policy);
    if (result != S_OK || !scope.policy) {
        QVX_TRACE(trace::kError, 3, L"exception policy not created", static_cast<DWORD>(result));
        ReleasePolicyObject(scope);
        return false;
    }
    const std::vector<AacTargetDefinition> everything = {{kAacObjectAny, kEveryObject, 0, 0}};
    const AacRuleDefinition housekeeping[] = {
        {Format(L"al delete policy on terminate process 0x%x (%d) rule", scope.processId,
                static_cast<int>(scope.processId)),
         kAacDeletePolicyOnTerminate,
         {{kAacActorProcessId, L"", scope.processId}},
         everything},
        {Format(L"al disable rules on terminate thread 0x%x (%d) rule", scope.threadId,
                static_cast<int>(scope.threadId)),
         kAacDisableRulesOnTerminate,
         {{kAacActorThreadId, L"", scope.threadId}},
         everything},
    };
    for (const AacRuleDefinition& rule : housekeeping) {
        if (!CommitRule(scope, rule)) {
            // What was committed goes with the policy.
            scope.policyObject->DeletePolicy(&scope.policyGuid, 0, 0);
            ReleasePolicyObject(scope);
            return false;
        }
    }
    return true;
}

// Begins the driver's exception on `handle` the first time only. A begin
// the driver refused is not counted, so that the next exception asks again
// and the scope's close does not end what never began.
bool BeginOnce(HANDLE handle, DWORD& begins, DWORD code, const void* input, DWORD inputBytes)
{
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    if (begins != 0) {
        ++begins;
        return true;
    }
    if (!CurrentDriverDevice().Control(handle, code, input, inputBytes)) {
        QVX_TRACE(trace::kError, 4, L"the driver refused the exception", code);
        return false;
    }
    ++begins;
    return true;
}

void EndAndClose(HANDLE& handle, DWORD begins, DWORD code)
{
    if (!handle)
        return;
    if (begins != 0 && !CurrentDriverDevice().Control(handle, code, nullptr, 0))
        QVX_TRACE(trace::kError, 5, L"the driver did not end the exception", code);
    CurrentDriverDevice().Close(handle);
    handle = nullptr;
}

} // namespace

AccessException* OpenAccessException(DWORD flags)
{
    auto* scope = new AccessException();
    scope->processId = GetCurrentProcessId();
    scope->threadId = GetCurrentThreadId();
    bool failed = false;
    if (flags & kExceptionWriteHandle) {
        scope->writeHandle = OpenDevice(GENERIC_READ | GENERIC_WRITE);
        failed = failed || !scope->writeHandle;
    }
    if (flags & kExceptionReadHandle) {
        scope->readHandle = OpenDevice(GENERIC_READ);
        if (!scope->readHandle)
            scope->readHandle = OpenDevice(GENERIC_READ | GENERIC_WRITE);
        failed = failed || !scope->readHandle;
    }
    if (flags & kExceptionPolicy)
        failed = !CreateScopePolicy(*scope) || failed;
    if (failed)
        QVX_TRACE(trace::kWarning, 6, L"exception scope incomplete", flags, scope->writeHandle != nullptr,
                  scope->readHandle != nullptr, scope->policyObject != nullptr);
    if (!scope->writeHandle && !scope->readHandle && !scope->policyObject) {
        delete scope;
        return nullptr;
    }
    return scope;
}

bool AddAccessException(AccessException* scope, DWORD objectType, const wchar_t* path, DWORD access,
                        DWORD accessEx)
{
    if (!scope || !path)
        return false;
    if (scope->policyObject) {
        AacRuleDefinition rule = {Format(L"al exception rule %x:%x res %ls", scope->processId, scope->threadId, path),
                                  kAacAllow,
                                  {{kAacActorThreadId, L"", scope->threadId}},
                                  {{static_cast<AacObjectType>(objectType), path, access, accessEx}}};
        // A key exception covers its values and a value exception its key.
        if (objectType == kAacObjectRegistryKey)
            rule.targets.push_back({kAacObjectRegistryValue, path, access, accessEx});
        else if (objectType == kAacObjectRegistryValue)
            rule.targets.push_back({kAacObjectRegistryKey, path, access, accessEx});
        if (!CommitRule(*scope, rule))
            return false;
    }
    // A part the scope holds that refuses makes the whole exception fail.
    bool result = true;
    if (scope->readHandle)
        result = BeginOnce(scope->readHandle, scope->readBegins, kDriverBeginReadException, nullptr, 0) && result;
    if (scope->writeHandle)
        result = BeginOnce(scope->writeHandle, scope->writeBegins, kDriverBeginWriteException,
                           kDriverExceptionIdentifier, sizeof(kDriverExceptionIdentifier)) &&
                 result;
    return result;
}

void CloseAccessException(AccessException* scope)
{
    if (!scope)
        return;
    EndAndClose(scope->writeHandle, scope->writeBegins, kDriverEndWriteException);
    EndAndClose(scope->readHandle, scope->readBegins, kDriverEndReadException);
    if (scope->policyObject) {
        const HRESULT result = scope->policyObject->DeletePolicy(&scope->policyGuid, 0, 0);
        if (result != S_OK)
            QVX_TRACE(trace::kError, 7, L"exception policy not deleted", static_cast<DWORD>(result));
        ReleasePolicyObject(*scope);
        // The library keeps a reference of its own while its interfaces
        // live; it is told to unload and that reference is dropped.
        if (HMODULE library = GetModuleHandleW(kAccessControlLibrary)) {
            auto unload = reinterpret_cast<NotComDllUnloadFn>(
                reinterpret_cast<void*>(GetProcAddress(library, kNotComDllUnloadExport)));
            if (unload)
                unload();
            FreeLibrary(library);
        }
    }
    delete scope;
}

} // namespace qvx
