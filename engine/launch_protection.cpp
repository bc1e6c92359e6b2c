#include "engine/launch_protection.h"

#include "engine/engine_calls.h"
#include "platform/launch_protection_calls.h"
#include "platform/trace.h"
#include "protect/service_lockdown.h"
#include "protect/service_manager_exception.h"

namespace qvx {
namespace {

constexpr DWORD kProtectedCreationFlags = CREATE_PROTECTED_PROCESS | EXTENDED_STARTUPINFO_PRESENT;

// The attribute list keeps a pointer to its value, so the value outlives
// every list.
DWORD g_protectionLevelSame = PROTECTION_LEVEL_SAME;

// The change itself, between the exception and the version test around it
// and the lockdown inside it.
DWORD ChangeProtection(LaunchProtectionCalls& calls, const wchar_t* serviceName, bool removeProtection)
{
    if (!calls.ProtectionSupported()) {
        QVX_TRACE(trace::kWarning, 1, serviceName, L"the system has no launch protection", removeProtection);
        return removeProtection ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    }
    bool isProtected = false;
    DWORD error = QueryServiceLaunchProtection(serviceName, isProtected);
    if (error != ERROR_SUCCESS)
        return error;
    if (isProtected != removeProtection) {
        QVX_TRACE(trace::kInfo, 2, serviceName, L"launch protection is already as wanted", isProtected);
        return ERROR_SUCCESS;
    }

    // The lockdown keeps the service manager from writing the service's
    // configuration; it is lifted only for the change.
    const bool locked = IsLockdownEnabled(serviceName);
    if (locked) {
        const DWORD unlockError = SetLockdown(serviceName, false);
        if (unlockError != ERROR_SUCCESS)
            QVX_TRACE(trace::kWarning, 3, serviceName, L"the lockdown could not be lifted", unlockError);
    }
    error = calls.ChangeLevel(serviceName, removeProtection ? kLaunchProtectedNone : kLaunchProtectedAntimalwareLight);
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 4, serviceName, L"launch protection could not be changed", removeProtection, error);
    if (locked) {
        const DWORD lockError = SetLockdown(serviceName, true);
        if (lockError != ERROR_SUCCESS)
            QVX_TRACE(trace::kError, 5, serviceName, L"the lockdown could not be put back", lockError);
    }
    return error;
}

} // namespace

DWORD QueryServiceLaunchProtection(const wchar_t* serviceName, bool& isProtected)
{
    isProtected = false;
    LaunchProtectionCalls& calls = CurrentLaunchProtectionCalls();
    if (!calls.ProtectionSupported()) {
        QVX_TRACE(trace::kInfo, 6, serviceName, L"the system has no launch protection");
        return ERROR_SUCCESS;
    }
    DWORD level = 0;
    const DWORD error = calls.QueryLevel(serviceName, level);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kWarning, 7, serviceName, L"launch protection cannot be queried", error);
        return error;
    }
    isProtected = level == kLaunchProtectedAntimalwareLight;
    return ERROR_SUCCESS;
}

DWORD SetServiceLaunchProtection(const wchar_t* serviceName, bool removeProtection)
{
    LaunchProtectionCalls& calls = CurrentLaunchProtectionCalls();
    // Without the exception the access protection may refuse the service
    // manager's write; the change is still tried.
    GUID policy = {};
    const bool excepted = AllowServiceManagerChange(serviceName, false, policy) == ERROR_SUCCESS;

    const DWORD error = ChangeProtection(calls, serviceName, removeProtection);

    if (excepted)
        AllowServiceManagerChange(serviceName, true, policy);
    return error;
}

DWORD BuildProtectionAttributes(STARTUPINFOEXW& startup, DWORD& creationFlags)
{
    LaunchProtectionCalls& calls = CurrentLaunchProtectionCalls();
    if (!calls.ProtectionSupported() || !calls.AttributeListAvailable()) {
        QVX_TRACE(trace::kWarning, 8, L"protected processes are not available");
        return ERROR_INVALID_PARAMETER;
    }
    SIZE_T size = 0;
    DWORD error = calls.InitializeList(nullptr, 1, size);
    if (error != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        error = error == ERROR_SUCCESS ? ERROR_INVALID_PARAMETER : error;
        QVX_TRACE(trace::kError, 9, L"the attribute list size cannot be found", error);
        return error;
    }
    auto list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
    if (!list) {
        QVX_TRACE(trace::kError, 10, L"the attribute list cannot be allocated", static_cast<DWORD>(size));
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    error = calls.InitializeList(list, 1, size);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 11, L"the attribute list cannot be initialised", error);
        HeapFree(GetProcessHeap(), 0, list);
        return error;
    }
    error = calls.UpdateList(list, PROC_THREAD_ATTRIBUTE_PROTECTION_LEVEL, &g_protectionLevelSame,
                             sizeof(g_protectionLevelSame));
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 12, L"the protection level cannot be set", error);
        calls.DeleteList(list);
        HeapFree(GetProcessHeap(), 0, list);
        return error;
    }
    startup.lpAttributeList = list;
    creationFlags |= kProtectedCreationFlags;
    return ERROR_SUCCESS;
}

void FreeProtectionAttributes(STARTUPINFOEXW& startup)
{
    if (!startup.lpAttributeList)
        return;
    CurrentLaunchProtectionCalls().DeleteList(startup.lpAttributeList);
    HeapFree(GetProcessHeap(), 0, startup.lpAttributeList);
    startup.lpAttributeList = nullptr;
}

} // namespace qvx
