#pragma once
// The process of a running hosted service: its process and thread handles
// and ids. The services of one shared process hold one HostedProcess
// together (a std::shared_ptr in each record), so no record ever holds a
// copy of another's raw handles; the last holder to let go closes both
// handles.

#include <windows.h>

#include <memory>

namespace qvx {

class HostedProcess {
public:
    // Takes ownership of the handles in `info`; a null or invalid handle is
    // simply not held.
    explicit HostedProcess(const PROCESS_INFORMATION& info) noexcept;
    // Closes both handles; a failed close is traced. Keeps the thread's
    // last error.
    ~HostedProcess();
    HostedProcess(const HostedProcess&) = delete;
    HostedProcess& operator=(const HostedProcess&) = delete;

    // Owns the handles of a process just created (or opened) for a service.
    static std::shared_ptr<HostedProcess> Adopt(const PROCESS_INFORMATION& info);

    HANDLE ProcessHandle() const noexcept { return info_.hProcess; }
    HANDLE ThreadHandle() const noexcept { return info_.hThread; }
    DWORD ProcessId() const noexcept { return info_.dwProcessId; }
    DWORD ThreadId() const noexcept { return info_.dwThreadId; }
    // Whether a process handle is held.
    bool HasProcessHandle() const noexcept;

private:
    PROCESS_INFORMATION info_;
};

} // namespace qvx
