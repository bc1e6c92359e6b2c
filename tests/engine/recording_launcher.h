#pragma once
// A stand-in for process creation for the launcher's callers in tests.

#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/process_launch.h"

namespace qvx::test {

// Stands in for process creation: keeps what would have been created and
// hands out handles of its own (events) as the process and thread handles.
class RecordingLauncher final : public ProcessLauncher {
public:
    struct Created {
        LaunchRequest request;
        PROCESS_INFORMATION info;
    };

    RecordingLauncher() { SetProcessLauncher(this); }
    ~RecordingLauncher() override { SetProcessLauncher(nullptr); }

    DWORD Create(const LaunchRequest& request, PROCESS_INFORMATION& info) override
    {
        info = {};
        attempts.push_back(request);
        const auto failure = createErrors.find(request.executablePath);
        if (failure != createErrors.end())
            return failure->second;
        info.hProcess = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        info.hThread = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        info.dwProcessId = nextId++;
        info.dwThreadId = nextId++;
        created.push_back({request, info});
        return ERROR_SUCCESS;
    }
    DWORD Resume(const PROCESS_INFORMATION& info) override
    {
        resumed.push_back(info.dwProcessId);
        return resumeError;
    }
    DWORD Terminate(const PROCESS_INFORMATION& info, DWORD exitCode) override
    {
        terminated.push_back({info.dwProcessId, exitCode});
        return ERROR_SUCCESS;
    }

    void Forget()
    {
        createErrors.clear();
        resumeError = ERROR_SUCCESS;
        attempts.clear();
        created.clear();
        resumed.clear();
        terminated.clear();
    }

    std::map<std::wstring, DWORD> createErrors; // by executable path
    DWORD resumeError = ERROR_SUCCESS;
    std::vector<LaunchRequest> attempts;
    std::vector<Created> created;
    std::vector<DWORD> resumed;
    std::vector<std::pair<DWORD, DWORD>> terminated; // process id, exit code
    DWORD nextId = 1000;
};

} // namespace qvx::test
