#include "protect/service_lockdown.h"

#include <aclapi.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "platform/companion_interfaces.h"
#include "platform/handles.h"
#include "platform/registry_value.h"
#include "platform/service_security.h"
#include "platform/system_services_key.h"
#include "platform/trace.h"
#include "protect/access_exception.h"

namespace qvx {
namespace {

// The exception that lets this thread write below every service key.
constexpr wchar_t kServicesExceptionPath[] = L"HKLM\\System\\CurrentControlSet\\Services\\**";
constexpr DWORD kServicesExceptionAccess = 11;


enum class Account { kLocalSystem, kAdministrators, kAuthenticatedUsers };

struct LockdownEntry {
    Account account;
    ACCESS_MODE mode;
    DWORD mask;
};

// Stopping, deleting and changing the owner or the access list are denied
// to everyone; reading what is needed to see and start the service stays.
constexpr DWORD kDeniedWhenLocked = WRITE_OWNER | WRITE_DAC | DELETE | SERVICE_STOP;
constexpr LockdownEntry kLockedEntries[] = {
    {Account::kLocalSystem, DENY_ACCESS, kDeniedWhenLocked},
    {Account::kAdministrators, DENY_ACCESS, kDeniedWhenLocked},
    {Account::kAuthenticatedUsers, DENY_ACCESS, kDeniedWhenLocked},
    {Account::kLocalSystem, GRANT_ACCESS, SERVICE_QUERY_CONFIG},
    {Account::kAdministrators, GRANT_ACCESS,
     SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS | SERVICE_START},
    {Account::kAuthenticatedUsers, GRANT_ACCESS,
     READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS | SERVICE_START |
         SERVICE_INTERROGATE},
};
// Full control of a service object, as the access-control editor grants it.
constexpr DWORD kFullControl = SERVICE_ALL_ACCESS | SYNCHRONIZE;
constexpr LockdownEntry kUnlockedEntries[] = {
    {Account::kLocalSystem, SET_ACCESS, kFullControl},
    {Account::kAdministrators, SET_ACCESS, kFullControl},
    {Account::kAuthenticatedUsers, SET_ACCESS,
     READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
         SERVICE_INTERROGATE},
};
static_assert(kDeniedWhenLocked == 0xD0020 && kFullControl == 0x1F01FF);

// A well-known account's SID, freed with the object.
class WellKnownSid {
public:
    explicit WellKnownSid(Account account)
    {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        BOOL made = FALSE;
        switch (account) {
        case Account::kLocalSystem:
            made = AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &sid_);
            break;
        case Account::kAdministrators:
            made = AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                            0, 0, &sid_);
            break;
        case Account::kAuthenticatedUsers:
            made = AllocateAndInitializeSid(&nt, 1, SECURITY_AUTHENTICATED_USER_RID, 0, 0, 0, 0, 0, 0, 0, &sid_);
            break;
        }
        if (!made) {
            QVX_TRACE(trace::kError, 1, L"AllocateAndInitializeSid failed", static_cast<int>(account), GetLastError());
            sid_ = nullptr;
        }
    }
    ~WellKnownSid()
    {
        if (sid_)
            FreeSid(sid_);
    }
    WellKnownSid(const WellKnownSid&) = delete;
    WellKnownSid& operator=(const WellKnownSid&) = delete;

    PSID Get() const noexcept { return sid_; }

private:
    PSID sid_ = nullptr;
};

// Whether the access list holds exactly the locked entries. The order is
// not compared: merging entries one by one leaves them in whatever order
// the system's merge puts them.
bool HoldsLockedEntries(const std::vector<BYTE>& dacl, const wchar_t* serviceName)
{
    if (dacl.empty())
        return false;
    std::vector<AccessEntry> current;
    if (ReadExplicitEntries(reinterpret_cast<const ACL*>(dacl.data()), current) != ERROR_SUCCESS) {
        QVX_TRACE(trace::kWarning, 2, serviceName, L"the access list could not be compared");
        return false;
    }
    if (current.size() != std::size(kLockedEntries))
        return false;
    for (const LockdownEntry& locked : kLockedEntries) {
        WellKnownSid sid(locked.account);
        const AccessEntry expected = {SidBytes(sid.Get()), locked.mode, locked.mask, NO_INHERITANCE};
        auto found = std::find(current.begin(), current.end(), expected);
        if (expected.sid.empty() || found == current.end())
            return false;
        current.erase(found);
    }
    return true;
}

// The new access list, merged entry by entry into an empty one; null after
// a traced failure. Freed with LocalFree.
ACL* BuildAccessList(bool lock, const wchar_t* serviceName)
{
    const LockdownEntry* entries = lock ? kLockedEntries : kUnlockedEntries;
    const size_t count = lock ? std::size(kLockedEntries) : std::size(kUnlockedEntries);
    ACL* acl = nullptr;
    for (size_t i = 0; i < count; ++i) {
        WellKnownSid sid(entries[i].account);
        if (!sid.Get()) {
            LocalFree(acl);
            return nullptr;
        }
        EXPLICIT_ACCESS_W entry = {};
        entry.grfAccessPermissions = entries[i].mask;
        entry.grfAccessMode = entries[i].mode;
        entry.grfInheritance = NO_INHERITANCE;
        BuildTrusteeWithSidW(&entry.Trustee, sid.Get());
        entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        ACL* merged = nullptr;
        const DWORD error = SetEntriesInAclW(1, &entry, acl, &merged);
        LocalFree(acl);
        if (error != ERROR_SUCCESS) {
            QVX_TRACE(trace::kError, 3, serviceName, L"SetEntriesInAclW failed", i, error);
            return nullptr;
        }
        acl = merged;
    }
    return acl;
}

// Makes `account` the owner of the service object under the take-ownership
// and restore privileges. 0 or the error of the step that failed.
DWORD TakeOwnership(const wchar_t* serviceName, Account account)
{
    ServiceSecurity& security = CurrentServiceSecurity();
    DWORD error = security.AdjustPrivilege(SE_TAKE_OWNERSHIP_NAME, true);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 4, serviceName, L"SeTakeOwnershipPrivilege not enabled", error);
        return error;
    }
    error = security.AdjustPrivilege(SE_RESTORE_NAME, true);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 5, serviceName, L"SeRestorePrivilege not enabled", error);
        if (DWORD undo = security.AdjustPrivilege(SE_TAKE_OWNERSHIP_NAME, false))
            QVX_TRACE(trace::kWarning, 6, serviceName, L"SeTakeOwnershipPrivilege not disabled", undo);
        return error;
    }
    WellKnownSid owner(account);
    error = owner.Get() ? security.WriteOwner(serviceName, owner.Get()) : ERROR_INVALID_SID;
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 7, serviceName, L"owner not set", static_cast<int>(account), error);
    for (const wchar_t* privilege : {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME}) {
        if (DWORD undo = security.AdjustPrivilege(privilege, false))
            QVX_TRACE(trace::kWarning, 8, serviceName, L"privilege not disabled", privilege, undo);
    }
    return error;
}

enum class ObjectChange { kWritten, kNothingToDo };

// Puts the service object into the locked or unlocked state. 0 and what was
// done, or the error.
DWORD ApplyLockdownState(const wchar_t* serviceName, bool lock, ObjectChange& change)
{
    change = ObjectChange::kNothingToDo;
    ServiceSecurity& security = CurrentServiceSecurity();
    std::vector<BYTE> dacl;
    DWORD error = security.ReadDacl(serviceName, dacl);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        QVX_TRACE(trace::kInfo, 9, serviceName, L"no such service: nothing to lock down");
        return ERROR_SUCCESS;
    }
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 10, serviceName, L"the service's access list could not be read", error);
        return error;
    }

    std::vector<BYTE> owner;
    error = security.ReadOwner(serviceName, owner);
    WellKnownSid localSystem(Account::kLocalSystem);
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kWarning, 11, serviceName, L"the service's owner could not be read", error);
    else if (owner != SidBytes(localSystem.Get()))
        TakeOwnership(serviceName, Account::kLocalSystem); // traced there; the change goes on

    if (lock && HoldsLockedEntries(dacl, serviceName)) {
        QVX_TRACE(trace::kVerbose, 12, serviceName, L"locked already");
        return ERROR_SUCCESS;
    }

    ACL* acl = BuildAccessList(lock, serviceName);
    if (!acl)
        return ERROR_INVALID_ACL;
    LocalMemory ownedAcl(acl);
    error = security.WriteDacl(serviceName, acl);
    if (error == ERROR_ACCESS_DENIED) {
        QVX_TRACE(trace::kWarning, 13, serviceName, L"access list refused; writing it as Administrators' object");
        TakeOwnership(serviceName, Account::kAdministrators);
        error = security.WriteDacl(serviceName, acl);
        TakeOwnership(serviceName, Account::kLocalSystem);
    }
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 14, serviceName, L"the service's access list could not be written", lock, error);
        return error;
    }
    change = ObjectChange::kWritten;
    return ERROR_SUCCESS;
}

} // namespace

bool IsLockdownEnabled(const wchar_t* serviceName)
{
    if (!serviceName)
        return false;
    RegKey key;
    if (OpenKey(ServicesRoot(), ServiceKeyPathOf(serviceName).c_str(), KEY_QUERY_VALUE, key) != ERROR_SUCCESS)
        return false;
    DWORD value = 0;
    return ReadDword(key.Get(), kLockdownValue, value) && value != 0;
}

DWORD SetLockdown(const wchar_t* serviceName, bool lock)
{
    if (!serviceName || !*serviceName)
        return ERROR_INVALID_PARAMETER;
    ObjectChange change = ObjectChange::kNothingToDo;
    DWORD error = ApplyLockdownState(serviceName, lock, change);
    if (error != ERROR_SUCCESS || change == ObjectChange::kNothingToDo)
        return error;

    // The protection guards the service keys against this process too.
    AccessExceptionScope exception(kExceptionWriteHandle | kExceptionReadHandle | kExceptionPolicy);
    if (exception.IsOpen())
        exception.Add(kAacObjectRegistryKey, kServicesExceptionPath, kServicesExceptionAccess, 0);
    RegKey key;
    error = OpenKey(ServicesRoot(), ServiceKeyPathOf(serviceName).c_str(), KEY_SET_VALUE, key);
    if (error == ERROR_SUCCESS && !WriteDword(key.Get(), kLockdownValue, lock ? 1 : 0))
        error = GetLastError();
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 15, serviceName, L"LockDownEnabled not written", lock, error);
    else
        QVX_TRACE(trace::kInfo, 16, serviceName, lock ? L"locked down" : L"lockdown lifted");
    return error;
}

DWORD ApplyStoredLockdown(const wchar_t* serviceName)
{
    if (!serviceName || !*serviceName)
        return ERROR_INVALID_PARAMETER;
    ObjectChange change = ObjectChange::kNothingToDo;
    return ApplyLockdownState(serviceName, IsLockdownEnabled(serviceName), change);
}

} // namespace qvx
