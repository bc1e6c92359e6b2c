#pragma once
// The process-wide handle release. Per-service timers and service mutexes
// are never closed directly: the service monitor thread may be waiting on
// them, so while it runs it installs a release of its own that closes them
// under its control. The default release closes them with CloseHandle.

#include <windows.h>

namespace qvx {

class HandleRelease {
public:
    virtual void ReleaseTimer(HANDLE timer) = 0;
    virtual void ReleaseServiceMutex(HANDLE mutex) = 0;

protected:
    ~HandleRelease() = default;
};

// The release in force: the installed one, else the default.
HandleRelease& CurrentHandleRelease() noexcept;

// Installs `release` (not owned; it must outlive its installation) and
// returns the one it replaces; nullptr puts the default back.
HandleRelease* InstallHandleRelease(HandleRelease* release) noexcept;

} // namespace qvx
