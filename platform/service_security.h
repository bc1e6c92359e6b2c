#pragma once
// The security of service objects in the operating system's service
// manager: their access list and owner, read and written by service name,
// and the process privileges an owner change needs. Tests replace these
// calls with a double that keeps a list and an owner per service.

#include <windows.h>
#include <accctrl.h>

#include <vector>

namespace qvx {

class ServiceSecurity {
public:
    virtual ~ServiceSecurity() = default;
    // The service object's DACL as bytes (empty for a null DACL); 0 or the
    // error (ERROR_SERVICE_DOES_NOT_EXIST for an unknown service).
    virtual DWORD ReadDacl(const wchar_t* serviceName, std::vector<BYTE>& dacl) = 0;
    virtual DWORD WriteDacl(const wchar_t* serviceName, const ACL* dacl) = 0;
    // The owner's SID as bytes; 0 or the error.
    virtual DWORD ReadOwner(const wchar_t* serviceName, std::vector<BYTE>& owner) = 0;
    virtual DWORD WriteOwner(const wchar_t* serviceName, PSID owner) = 0;
    // Enables or disables one privilege of the process token; a privilege
    // the token does not hold gives ERROR_NOT_ALL_ASSIGNED. 0 or the error.
    virtual DWORD AdjustPrivilege(const wchar_t* privilege, bool enable) = 0;
};

// The calls in force: the real ones unless a test replaced them.
ServiceSecurity& CurrentServiceSecurity() noexcept;
// Test seam: nullptr restores the real calls.
void SetServiceSecurity(ServiceSecurity* security) noexcept;

// One explicit entry of an access list.
struct AccessEntry {
    std::vector<BYTE> sid;
    ACCESS_MODE mode = NOT_USED_ACCESS;
    DWORD mask = 0;
    DWORD inheritance = NO_INHERITANCE;

    bool operator==(const AccessEntry& other) const
    {
        return sid == other.sid && mode == other.mode && mask == other.mask && inheritance == other.inheritance;
    }
};

// The explicit entries of `dacl` (none for null), in list order; 0 or the error.
DWORD ReadExplicitEntries(const ACL* dacl, std::vector<AccessEntry>& entries);

// A copy of the SID's bytes (empty for an invalid SID).
std::vector<BYTE> SidBytes(PSID sid);

} // namespace qvx
