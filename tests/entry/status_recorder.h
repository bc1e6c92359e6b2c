#pragma once
// Stands in for the service control manager's side of status reporting:
// records every SetServiceStatus of the process and hands out a fake status
// handle for every handler registration.

#include <windows.h>
#include <winsvc.h>

#include <string>
#include <vector>

#include "platform/handles.h"

namespace qvx::test {

struct Registration {
    std::wstring name;
    LPHANDLER_FUNCTION_EX handler;
    void* context;
};

class StatusRecorder {
public:
    static constexpr uintptr_t kFakeHandle = 0x5A5A;

    StatusRecorder();
    ~StatusRecorder();
    StatusRecorder(const StatusRecorder&) = delete;
    StatusRecorder& operator=(const StatusRecorder&) = delete;

    std::vector<SERVICE_STATUS> Reports() const;
    std::vector<DWORD> States() const;
    std::vector<Registration> Registrations() const;
    // Waits until a report with `state` arrived; false after `timeoutMs`.
    bool WaitForState(DWORD state, DWORD timeoutMs = 10000) const;
    // Makes the next registrations fail with `error` (0: succeed again).
    void FailRegistrations(DWORD error);

private:
    static BOOL WINAPI Record(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
    static SERVICE_STATUS_HANDLE WINAPI Register(LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context);

    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<SERVICE_STATUS> reports_;
    std::vector<Registration> registrations_;
    DWORD registrationError_ = 0;
    KernelHandle reported_;
};

} // namespace qvx::test
