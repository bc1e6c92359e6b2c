#include "platform/service_security.h"

#include <aclapi.h>

#include <atomic>

#include "platform/handles.h"
#include "platform/trace.h"

namespace qvx {
namespace {

class RealServiceSecurity final : public ServiceSecurity {
public:
    DWORD ReadDacl(const wchar_t* serviceName, std::vector<BYTE>& dacl) override
    {
        dacl.clear();
        PACL found = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        const DWORD error = GetNamedSecurityInfoW(serviceName, SE_SERVICE, DACL_SECURITY_INFORMATION, nullptr,
                                                  nullptr, &found, nullptr, &descriptor);
        LocalMemory owned(descriptor);
        if (error != ERROR_SUCCESS)
            return error;
        if (found) {
            const BYTE* bytes = reinterpret_cast<const BYTE*>(found);
            dacl.assign(bytes, bytes + found->AclSize);
        }
        return ERROR_SUCCESS;
    }

    DWORD WriteDacl(const wchar_t* serviceName, const ACL* dacl) override
    {
        return SetNamedSecurityInfoW(const_cast<wchar_t*>(serviceName), SE_SERVICE, DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, const_cast<ACL*>(dacl), nullptr);
    }

    DWORD ReadOwner(const wchar_t* serviceName, std::vector<BYTE>& owner) override
    {
        owner.clear();
        PSID found = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        const DWORD error = GetNamedSecurityInfoW(serviceName, SE_SERVICE, OWNER_SECURITY_INFORMATION, &found,
                                                  nullptr, nullptr, nullptr, &descriptor);
        LocalMemory owned(descriptor);
        if (error != ERROR_SUCCESS)
            return error;
        owner = SidBytes(found);
        return ERROR_SUCCESS;
    }

    DWORD WriteOwner(const wchar_t* serviceName, PSID owner) override
    {
        return SetNamedSecurityInfoW(const_cast<wchar_t*>(serviceName), SE_SERVICE, OWNER_SECURITY_INFORMATION,
                                     owner, nullptr, nullptr, nullptr);
    }

    DWORD AdjustPrivilege(const wchar_t* privilege, bool enable) override
    {
        KernelHandle token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.Receive()))
            return GetLastError();
        TOKEN_PRIVILEGES change = {};
        change.PrivilegeCount = 1;
        if (!LookupPrivilegeValueW(nullptr, privilege, &change.Privileges[0].Luid))
            return GetLastError();
        change.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
        if (!AdjustTokenPrivileges(token.Get(), FALSE, &change, 0, nullptr, nullptr))
            return GetLastError();
        // A privilege the token does not hold is reported as success with
        // this error left behind.
        return GetLastError() == ERROR_NOT_ALL_ASSIGNED ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS;
    }
};

RealServiceSecurity g_realSecurity;
std::atomic<ServiceSecurity*> g_security{&g_realSecurity};

} // namespace

ServiceSecurity& CurrentServiceSecurity() noexcept
{
    return *g_security.load();
}

void SetServiceSecurity(ServiceSecurity* security) noexcept
{
    g_security.store(security ? security : &g_realSecurity);
}

std::vector<BYTE> SidBytes(PSID sid)
{
    if (!sid || !IsValidSid(sid))
        return {};
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

DWORD ReadExplicitEntries(const ACL* dacl, std::vector<AccessEntry>& entries)
{
    entries.clear();
    if (!dacl)
        return ERROR_SUCCESS;
    ULONG count = 0;
    EXPLICIT_ACCESS_W* list = nullptr;
    const DWORD error = GetExplicitEntriesFromAclW(const_cast<ACL*>(dacl), &count, &list);
    LocalMemory owned(reinterpret_cast<HLOCAL>(list));
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 1, L"GetExplicitEntriesFromAclW failed", error);
        return error;
    }
    for (ULONG i = 0; i < count; ++i) {
        AccessEntry entry;
        if (list[i].Trustee.TrusteeForm == TRUSTEE_IS_SID)
            entry.sid = SidBytes(list[i].Trustee.ptstrName);
        entry.mode = list[i].grfAccessMode;
        entry.mask = list[i].grfAccessPermissions;
        entry.inheritance = list[i].grfInheritance;
        entries.push_back(std::move(entry));
    }
    return ERROR_SUCCESS;
}

} // namespace qvx
