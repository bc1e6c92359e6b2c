#pragma once
// The operating-system calls behind launch protection: whether the system
// knows protected services at all, a service's launch-protection level in
// the service manager, and the process-thread attribute list that makes a
// child process protected. Tests replace these calls with a double that
// keeps a level per service.

#include <windows.h>

namespace qvx {

class LaunchProtectionCalls {
public:
    virtual ~LaunchProtectionCalls() = default;
    // Windows 8.1 (6.3) or later: the first system with protected services.
    virtual bool ProtectionSupported() = 0;
    // The service's launch-protection level, opened for reading. 0 or the
    // error of the call that failed.
    virtual DWORD QueryLevel(const wchar_t* serviceName, DWORD& level) = 0;
    // Writes the service's launch-protection level. 0 or the error.
    virtual DWORD ChangeLevel(const wchar_t* serviceName, DWORD level) = 0;
    // Whether the attribute-list functions were found in the system.
    virtual bool AttributeListAvailable() = 0;
    // InitializeProcThreadAttributeList, UpdateProcThreadAttribute and
    // DeleteProcThreadAttributeList: 0 or the system error. Asking the size
    // (a null list) gives ERROR_INSUFFICIENT_BUFFER with `size` set.
    virtual DWORD InitializeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, SIZE_T& size) = 0;
    virtual DWORD UpdateList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD_PTR attribute, void* value, SIZE_T size) = 0;
    virtual void DeleteList(LPPROC_THREAD_ATTRIBUTE_LIST list) = 0;
};

// The calls in force: the real ones unless a test replaced them.
LaunchProtectionCalls& CurrentLaunchProtectionCalls() noexcept;
// The real calls, whatever is in force (a test's double may forward to them).
LaunchProtectionCalls& SystemLaunchProtectionCalls() noexcept;
// Test seam: nullptr restores the real calls.
void SetLaunchProtectionCalls(LaunchProtectionCalls* calls) noexcept;

} // namespace qvx
