#pragma once
// A set of running control-pipe instances on a private pipe name, stopped
// and destroyed with the object.

#include <windows.h>

#include <string>

#include "platform/handles.h"
#include "protocol/pipe_server.h"
#include "tests/support/unique_name.h"

namespace qvx::test {

inline constexpr DWORD kIoTimeoutMs = 10000;

class RunningPipeServers {
public:
    explicit RunningPipeServers(PipeCallback callback, size_t count = kPipeInstanceCount,
                                HostRuntime* runtime = nullptr)
        : name_(UniqueName(L"\\\\.\\pipe\\qvxtest-svh")), shutdown_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        CreatePipeServers(servers_, name_.c_str(), count);
        started_ = StartPipeServers(servers_, callback, shutdown_.Get(), runtime);
    }
    ~RunningPipeServers() { StopPipeServers(servers_, shutdown_.Get()); }

    const std::wstring& Name() const { return name_; }
    bool Started() const { return started_; }
    HANDLE ShutdownEvent() const { return shutdown_.Get(); }
    PipeServerList& Servers() { return servers_; }

private:
    std::wstring name_;
    KernelHandle shutdown_;
    PipeServerList servers_;
    bool started_ = false;
};

} // namespace qvx::test
