#pragma once
// A handle release for tests: remembers every timer and mutex handed to it,
// in order, and closes them only when it is uninstalled, so that released
// handle values are not reused while a test compares them.

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "model/handle_release.h"

namespace qvx::test {

class RecordingRelease final : public HandleRelease {
public:
    enum class Kind { kTimer, kMutex };
    struct Released {
        Kind kind;
        HANDLE handle;
        bool operator==(const Released& other) const { return kind == other.kind && handle == other.handle; }
    };

    RecordingRelease() { InstallHandleRelease(this); }
    ~RecordingRelease()
    {
        InstallHandleRelease(nullptr);
        for (const auto& entry : released)
            CloseHandle(entry.handle);
    }
    RecordingRelease(const RecordingRelease&) = delete;
    RecordingRelease& operator=(const RecordingRelease&) = delete;

    void ReleaseTimer(HANDLE timer) override { released.push_back({Kind::kTimer, timer}); }
    void ReleaseServiceMutex(HANDLE mutex) override { released.push_back({Kind::kMutex, mutex}); }

    std::vector<Released> released;
};

inline RecordingRelease::Released ReleasedTimer(HANDLE handle) { return {RecordingRelease::Kind::kTimer, handle}; }
inline RecordingRelease::Released ReleasedMutex(HANDLE handle) { return {RecordingRelease::Kind::kMutex, handle}; }

inline std::ostream& operator<<(std::ostream& out, const RecordingRelease::Released& entry)
{
    return out << (entry.kind == RecordingRelease::Kind::kTimer ? "timer:" : "mutex:") << entry.handle;
}

} // namespace qvx::test
