#include "model/service_mutex.h"

#include <algorithm>
#include <vector>

#include "model/handle_release.h"
#include "model/service_record.h"
#include "platform/handles.h"
#include "platform/trace.h"
#include "platform/wide_text.h"

namespace qvx {
namespace {

constexpr wchar_t kMutexSuffix[] = L"_mutex";

// The SID an ACE is for, or null for an ACE type that names none.
PSID AceSid(const ACE_HEADER* ace) noexcept
{
    switch (ace->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        return const_cast<DWORD*>(&reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace)->SidStart);
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE: {
        // The object and inherited-object GUIDs come before the SID only when present.
        const auto* objectAce = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(ace);
        auto* sid = reinterpret_cast<const BYTE*>(&objectAce->ObjectType);
        if (objectAce->Flags & ACE_OBJECT_TYPE_PRESENT)
            sid += sizeof(GUID);
        if (objectAce->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT)
            sid += sizeof(GUID);
        return const_cast<BYTE*>(sid);
    }
    default:
        return nullptr;
    }
}

bool IsAceFor(const ACE_HEADER* ace, PSID account) noexcept
{
    PSID sid = AceSid(ace);
    return sid && IsValidSid(sid) && EqualSid(sid, account);
}

// The default DACL of the calling thread's effective token, which Windows
// gives new objects that are created without security attributes.
DWORD ReadDefaultDacl(std::vector<BYTE>& buffer, PACL& dacl)
{
    dacl = nullptr;
    KernelHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive()) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive()))
        return GetLastError();
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenDefaultDacl, nullptr, 0, &size);
    if (size == 0)
        return GetLastError();
    buffer.assign(size, 0);
    if (!GetTokenInformation(token.Get(), TokenDefaultDacl, buffer.data(), size, &size))
        return GetLastError();
    dacl = reinterpret_cast<TOKEN_DEFAULT_DACL*>(buffer.data())->DefaultDacl;
    return ERROR_SUCCESS;
}

// The existing DACL (may be null) with the local service account's explicit
// ACEs replaced by one allowing `kLocalServiceMutexAccess`, placed after the
// explicit ACEs and before the first inherited one.
DWORD BuildDaclWithLocalService(const ACL* existing, PSID localService, std::vector<BYTE>& buffer)
{
    std::vector<const ACE_HEADER*> explicitAces;
    std::vector<const ACE_HEADER*> inheritedAces;
    DWORD revision = ACL_REVISION;
    if (existing) {
        revision = std::max<DWORD>(revision, existing->AclRevision);
        bool inherited = false;
        for (DWORD i = 0; i < existing->AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(const_cast<ACL*>(existing), i, &ace))
                return GetLastError();
            const auto* header = static_cast<const ACE_HEADER*>(ace);
            inherited = inherited || (header->AceFlags & INHERITED_ACE) != 0;
            if (inherited)
                inheritedAces.push_back(header);
            else if (!IsAceFor(header, localService))
                explicitAces.push_back(header);
        }
    }

    DWORD size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(localService);
    for (const auto* ace : explicitAces)
        size += ace->AceSize;
    for (const auto* ace : inheritedAces)
        size += ace->AceSize;
    size = (size + sizeof(DWORD) - 1) & ~static_cast<DWORD>(sizeof(DWORD) - 1);

    buffer.assign(size, 0);
    auto* acl = reinterpret_cast<ACL*>(buffer.data());
    if (!InitializeAcl(acl, size, revision))
        return GetLastError();
    auto append = [&](const ACE_HEADER* ace) {
        return AddAce(acl, revision, MAXDWORD, const_cast<ACE_HEADER*>(ace), ace->AceSize) != FALSE;
    };
    for (const auto* ace : explicitAces) {
        if (!append(ace))
            return GetLastError();
    }
    if (!AddAccessAllowedAceEx(acl, revision, 0, kLocalServiceMutexAccess, localService))
        return GetLastError();
    for (const auto* ace : inheritedAces) {
        if (!append(ace))
            return GetLastError();
    }
    return ERROR_SUCCESS;
}

} // namespace

std::wstring ServiceMutexName(std::wstring_view serviceName)
{
    std::wstring name(serviceName);
    name += kMutexSuffix;
    ToLowerAsciiInPlace(name);
    return name;
}

// The mutex is a kernel object, so its security is read and written with the
// kernel-object calls.
DWORD GrantLocalServiceAccess(HANDLE object)
{
    DWORD needed = 0;
    GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0)
        return GetLastError() ? GetLastError() : ERROR_INVALID_SECURITY_DESCR;
    std::vector<BYTE> current(needed);
    if (!GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, current.data(), needed, &needed))
        return GetLastError();

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD descriptorRevision = 0;
    BOOL daclPresent = FALSE;
    BOOL daclDefaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorControl(current.data(), &control, &descriptorRevision) ||
        !GetSecurityDescriptorDacl(current.data(), &daclPresent, &dacl, &daclDefaulted))
        return GetLastError();

    // Without a DACL everyone has every access. Narrowing that to the local
    // service account alone would lock out the management service and
    // services running under other accounts, so start from what the object
    // would have had: the token's default DACL.
    std::vector<BYTE> defaultDacl;
    if (!daclPresent || !dacl) {
        if (DWORD error = ReadDefaultDacl(defaultDacl, dacl))
            return error;
    }

    BYTE sidBuffer[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sidBuffer);
    if (!CreateWellKnownSid(WinLocalServiceSid, nullptr, sidBuffer, &sidSize))
        return GetLastError();

    std::vector<BYTE> newDacl;
    if (DWORD error = BuildDaclWithLocalService(dacl, sidBuffer, newDacl))
        return error;

    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<ACL*>(newDacl.data()), FALSE))
        return GetLastError();
    SECURITY_DESCRIPTOR_CONTROL inheritance = 0;
    if (control & SE_DACL_AUTO_INHERITED)
        inheritance = SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ;
    else if (control & SE_DACL_PROTECTED)
        inheritance = SE_DACL_PROTECTED;
    if (inheritance && !SetSecurityDescriptorControl(&descriptor, inheritance, inheritance))
        return GetLastError();

    if (!SetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, &descriptor))
        return GetLastError();
    return ERROR_SUCCESS;
}

bool CreateServiceMutex(ServiceRecord& record)
{
    RecordLock guard(record);
    const std::wstring serviceName = record.GetName();
    const std::wstring mutexName = ServiceMutexName(serviceName);

    HANDLE mutex = CreateMutexW(nullptr, FALSE, mutexName.c_str());
    DWORD error = GetLastError();
    if (!mutex) {
        QVX_TRACE(trace::kError, 1, L"CreateMutexW failed", serviceName, mutexName, error);
        record.CloseServiceMutex();
        SetLastError(error);
        return false;
    }
    if (error == ERROR_ALREADY_EXISTS)
        QVX_TRACE(trace::kWarning, 2, L"service mutex existed", serviceName, mutexName);

    error = GrantLocalServiceAccess(mutex);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 3, L"granting the local service account failed", serviceName, error);
        CurrentHandleRelease().ReleaseServiceMutex(mutex);
        record.CloseServiceMutex();
        SetLastError(error);
        return false;
    }
    record.SetServiceMutex(mutex);
    return true;
}

bool OpenServiceMutex(ServiceRecord& record)
{
    RecordLock guard(record);
    if (record.GetServiceMutex())
        return true;
    const std::wstring serviceName = record.GetName();
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, ServiceMutexName(serviceName).c_str());
    if (!mutex) {
        const DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 4, L"OpenMutexW failed", serviceName, error);
        SetLastError(error);
        return false;
    }
    record.SetServiceMutex(mutex);
    return true;
}

} // namespace qvx
