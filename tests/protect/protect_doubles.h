#pragma once
// Doubles of the platform calls the self-protection code makes: a service
// manager that keeps an access list and an owner per service and can refuse
// writes, and a driver device that records the control codes it is sent.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "platform/driver_device.h"
#include "platform/service_security.h"

namespace qvx::test {

inline std::vector<BYTE> WellKnownSidBytes(WELL_KNOWN_SID_TYPE type)
{
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof(sid);
    if (!CreateWellKnownSid(type, nullptr, sid, &size))
        return {};
    return std::vector<BYTE>(sid, sid + size);
}

class ServiceSecurityDouble final : public ServiceSecurity {
public:
    struct Service {
        std::vector<BYTE> dacl;
        std::vector<BYTE> owner;
    };

    ServiceSecurityDouble() { SetServiceSecurity(this); }
    ~ServiceSecurityDouble() override { SetServiceSecurity(nullptr); }

    std::map<std::wstring, Service> services;
    // Every call that changes something, in order: "dacl", "owner <sid kind>",
    // "+privilege" / "-privilege".
    std::vector<std::wstring> calls;
    DWORD daclWriteError = 0;         // every DACL write fails with this
    bool daclNeedsAdminOwner = false; // a DACL write is denied unless Administrators own the object
    DWORD ownerWriteError = 0;
    std::wstring refusedPrivilege;    // enabling this privilege fails as for an account without it
    DWORD readError = 0;

    void Add(const std::wstring& name, const std::vector<BYTE>& owner = WellKnownSidBytes(WinLocalSystemSid))
    {
        services[name] = Service{{}, owner};
    }

    DWORD ReadDacl(const wchar_t* serviceName, std::vector<BYTE>& dacl) override
    {
        auto found = services.find(serviceName);
        if (found == services.end())
            return ERROR_SERVICE_DOES_NOT_EXIST;
        if (readError)
            return readError;
        dacl = found->second.dacl;
        return ERROR_SUCCESS;
    }

    DWORD WriteDacl(const wchar_t* serviceName, const ACL* dacl) override
    {
        auto found = services.find(serviceName);
        if (found == services.end())
            return ERROR_SERVICE_DOES_NOT_EXIST;
        calls.push_back(L"dacl");
        if (daclWriteError)
            return daclWriteError;
        if (daclNeedsAdminOwner && found->second.owner != WellKnownSidBytes(WinBuiltinAdministratorsSid))
            return ERROR_ACCESS_DENIED;
        const BYTE* bytes = reinterpret_cast<const BYTE*>(dacl);
        found->second.dacl.assign(bytes, bytes + dacl->AclSize);
        return ERROR_SUCCESS;
    }

    DWORD ReadOwner(const wchar_t* serviceName, std::vector<BYTE>& owner) override
    {
        auto found = services.find(serviceName);
        if (found == services.end())
            return ERROR_SERVICE_DOES_NOT_EXIST;
        owner = found->second.owner;
        return ERROR_SUCCESS;
    }

    DWORD WriteOwner(const wchar_t* serviceName, PSID owner) override
    {
        auto found = services.find(serviceName);
        if (found == services.end())
            return ERROR_SERVICE_DOES_NOT_EXIST;
        const std::vector<BYTE> sid = SidBytes(owner);
        calls.push_back(L"owner " + SidName(sid));
        if (ownerWriteError)
            return ownerWriteError;
        found->second.owner = sid;
        return ERROR_SUCCESS;
    }

    DWORD AdjustPrivilege(const wchar_t* privilege, bool enable) override
    {
        calls.push_back((enable ? L"+" : L"-") + std::wstring(privilege));
        return enable && refusedPrivilege == privilege ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS;
    }

    static std::wstring SidName(const std::vector<BYTE>& sid)
    {
        if (sid == WellKnownSidBytes(WinLocalSystemSid))
            return L"system";
        if (sid == WellKnownSidBytes(WinBuiltinAdministratorsSid))
            return L"administrators";
        return L"other";
    }
};

class DriverDeviceDouble final : public DriverDevice {
public:
    DriverDeviceDouble() { SetDriverDevice(this); }
    ~DriverDeviceDouble() override { SetDriverDevice(nullptr); }

    // The names that open, each with the one access it opens with.
    std::vector<std::pair<std::wstring, DWORD>> openable;
    DWORD refusedCode = 0; // a control code the driver refuses
    // "open <name> <r|rw>", "<code> on <r|rw>", "close <r|rw>", in order.
    std::vector<std::wstring> calls;
    std::vector<BYTE> lastInput;

    HANDLE Open(const wchar_t* name, DWORD access) override
    {
        for (const auto& [candidate, allowed] : openable) {
            if (candidate == name && access == allowed) {
                calls.push_back(L"open " + std::wstring(name) + L" " + Kind(access));
                return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(access == GENERIC_READ ? 0x100 : 0x200));
            }
        }
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    bool Control(HANDLE device, DWORD code, const void* input, DWORD inputBytes) override
    {
        wchar_t text[16];
        swprintf(text, 16, L"%08X", static_cast<unsigned>(code));
        calls.push_back(std::wstring(text) + L" on " + Kind(device));
        const BYTE* bytes = static_cast<const BYTE*>(input);
        lastInput.assign(bytes, bytes + (input ? inputBytes : 0));
        return code != refusedCode;
    }

    void Close(HANDLE device) override { calls.push_back(L"close " + Kind(device)); }

    void OpenEverything()
    {
        openable = {{L"\\\\.\\QVXSNTRY", GENERIC_READ | GENERIC_WRITE}, {L"\\\\.\\QVXSNTRY", GENERIC_READ}};
    }

private:
    static std::wstring Kind(DWORD access) { return access == GENERIC_READ ? L"r" : L"rw"; }
    static std::wstring Kind(HANDLE device) { return device == reinterpret_cast<HANDLE>(0x100) ? L"r" : L"rw"; }
};

} // namespace qvx::test
