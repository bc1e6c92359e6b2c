// The proxies qvxtrust and qvxfwsvc started and stopped through the service
// control manager, with the real host running their hosted services.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "tests/lifecycle/lifecycle_harness.h"

namespace qvx::test {
namespace {

constexpr DWORD kProxyTimeoutMs = 30000;

class ProxyLifecycle : public LifecycleTest {
protected:
    // Opens the proxy's registration; false (and a failure) when it cannot.
    bool OpenProxy(const wchar_t* name)
    {
        proxy_.Reset(OpenServiceW(Host().Manager(), name, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
        EXPECT_TRUE(proxy_) << "cannot open the proxy: " << GetLastError();
        return static_cast<bool>(proxy_);
    }

    SERVICE_STATUS_PROCESS ProxyStatus() const
    {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        QueryServiceStatusEx(proxy_.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                             &needed);
        return status;
    }

    // Polls until the proxy is in `state` or stopped; the last status. The
    // states passed on the way are collected without repeats.
    SERVICE_STATUS_PROCESS WaitForProxy(DWORD state, std::vector<DWORD>& seen) const
    {
        const DWORD start = GetTickCount();
        for (;;) {
            const SERVICE_STATUS_PROCESS status = ProxyStatus();
            if (seen.empty() || seen.back() != status.dwCurrentState)
                seen.push_back(status.dwCurrentState);
            if (status.dwCurrentState == state || status.dwCurrentState == SERVICE_STOPPED ||
                GetTickCount() - start > kProxyTimeoutMs)
                return status;
            Sleep(50);
        }
    }

    ServiceHandle proxy_;
};

// The proxy brings its hosted service up and runs while it runs; stopping
// the proxy leaves the hosted service running, as the host, not the proxy,
// owns it.
TEST_F(ProxyLifecycle, StartsItsHostedServiceAndLeavesItRunningWhenStopped)
{
    ASSERT_EQ(Create(L"qvxtrust", Profile(L"qvxtrust", L"")), L"ACK");
    ASSERT_TRUE(OpenProxy(L"qvxtrust"));
    ASSERT_TRUE(StartServiceW(proxy_.Get(), 0, nullptr)) << GetLastError();

    std::vector<DWORD> seen;
    const SERVICE_STATUS_PROCESS running = WaitForProxy(SERVICE_RUNNING, seen);
    ASSERT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << running.dwWin32ExitCode;
    EXPECT_EQ(running.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    // Running only once the hosted service runs.
    EXPECT_EQ(State(L"qvxtrust"), L"SERVICE_RUNNING");
    const std::vector<ServiceLogLine> starts = LogOf(L"start", L"qvxtrust");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_NE(starts[0].pid, running.dwProcessId);

    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(proxy_.Get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    seen.clear();
    const SERVICE_STATUS_PROCESS stopped = WaitForProxy(SERVICE_STOPPED, seen);
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, 0u);

    EXPECT_EQ(State(L"qvxtrust"), L"SERVICE_RUNNING");
    EXPECT_TRUE(ProcessAlive(starts[0].pid));
    EXPECT_TRUE(LogOf(L"stop", L"qvxtrust").empty());

    // Started again while the hosted service runs: the host answers that it
    // runs already, which the proxy takes as started.
    ASSERT_TRUE(StartServiceW(proxy_.Get(), 0, nullptr)) << GetLastError();
    seen.clear();
    EXPECT_EQ(WaitForProxy(SERVICE_RUNNING, seen).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(LogOf(L"start", L"qvxtrust").size(), 1u);
    ASSERT_TRUE(ControlService(proxy_.Get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    seen.clear();
    EXPECT_EQ(WaitForProxy(SERVICE_STOPPED, seen).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

// A proxy whose hosted service cannot run ends stopped, with an error the
// service control manager shows, instead of staying start-pending.
TEST_F(ProxyLifecycle, EndsStoppedWithAnErrorWhenItsHostedServiceCannotRun)
{
    struct Case {
        const char* what;
        const wchar_t* mode; // nullptr: no hosted service of the proxy's name
        DWORD exitCode;
    };
    const Case cases[] = {
        {"no hosted service of its name", nullptr, ERROR_SERVICE_DOES_NOT_EXIST},
        {"the hosted service fails its start", L"--mode=fail-start", ERROR_PROCESS_ABORTED},
    };
    ASSERT_TRUE(OpenProxy(L"qvxfwsvc"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.mode) {
            ASSERT_EQ(Create(L"qvxfwsvc", Profile(L"qvxfwsvc", c.mode)), L"ACK");
        }
        ASSERT_TRUE(StartServiceW(proxy_.Get(), 0, nullptr)) << GetLastError();
        std::vector<DWORD> seen;
        const SERVICE_STATUS_PROCESS status = WaitForProxy(SERVICE_STOPPED, seen);
        EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(status.dwWin32ExitCode, c.exitCode);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), static_cast<DWORD>(SERVICE_RUNNING)), 0);
        if (c.mode) {
            EXPECT_EQ(LogOf(L"start", L"qvxfwsvc").size(), 1u);
            EXPECT_TRUE(WaitForState(L"qvxfwsvc", L"SERVICE_STOPPED"));
        }
    }
}

} // namespace
} // namespace qvx::test
