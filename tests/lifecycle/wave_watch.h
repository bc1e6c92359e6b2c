#pragma once
// Start-up waves seen from outside: hosted services created with a startup
// profile, the host restarted as after a reboot, and the moment each
// service's first start shows in the test services' log.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "tests/lifecycle/lifecycle_harness.h"

namespace qvx::test {

class StartWaveTest : public LifecycleTest {
protected:
    // A profile of the test service that starts in `startupProfile`'s wave.
    std::wstring WaveProfile(const std::wstring& name, const std::wstring& startupProfile,
                             const std::wstring& extra = L"") const
    {
        std::wstring profile = Profile(name, L"", extra);
        const std::wstring demand = L"SERVICE_START_DEMAND";
        profile.replace(profile.find(demand), demand.size(), startupProfile);
        return profile;
    }

    // Restarts the host as after a reboot; the tick count taken just before,
    // which no wave can precede. The host's new process id goes to hostPid_.
    DWORD RestartAsAfterReboot()
    {
        const DWORD before = GetTickCount();
        hostPid_ = WaveStartSetup::RestartAsAfterReboot(Host(), Trace());
        return before;
    }

    // Polls the log until every one of `names` has started or the time is
    // up; records the tick count at which each start was first seen.
    void WatchStarts(const std::vector<std::wstring>& names, DWORD timeoutMs)
    {
        const DWORD start = GetTickCount();
        for (;;) {
            bool all = true;
            for (const std::wstring& name : names) {
                if (firstSeen_.count(name) != 0)
                    continue;
                if (!LogOf(L"start", name).empty())
                    firstSeen_[name] = GetTickCount();
                else
                    all = false;
            }
            if (all || GetTickCount() - start > timeoutMs)
                return;
            Sleep(50);
        }
    }

    bool Seen(const std::wstring& name) const { return firstSeen_.count(name) != 0; }
    // Milliseconds from `since` to the first start of `name`.
    LONG SeenAfter(const std::wstring& name, DWORD since) const
    {
        return static_cast<LONG>(firstSeen_.at(name) - since);
    }

    // Whether the host traced a line holding every one of `parts`.
    bool Traced(const std::vector<std::wstring>& parts)
    {
        for (const std::wstring& line : Trace().LinesSinceMark(hostPid_)) {
            bool all = true;
            for (const std::wstring& part : parts)
                all = all && line.find(part) != std::wstring::npos;
            if (all)
                return true;
        }
        return false;
    }

    DWORD hostPid_ = 0;
    std::map<std::wstring, DWORD> firstSeen_;
};

} // namespace qvx::test
