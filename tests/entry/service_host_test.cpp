#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "host/proxy_service.h"
#include "platform/handles.h"
#include "platform/service_control.h"
#include "tests/entry/status_recorder.h"
#include "tests/support/test_prefix.h"

namespace qvx {
namespace {

constexpr wchar_t kServiceName[] = L"qvxsvh";

// bin/qvxsvh.exe, which lives beside this test program.
std::wstring ServiceImagePath()
{
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring image(path, length);
    image.resize(image.find_last_of(L"\\/") + 1);
    return image + L"qvxsvh.exe";
}

// Waits until the service reaches `state`; the last status seen.
SERVICE_STATUS_PROCESS WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD start = GetTickCount();
    for (;;) {
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                  &needed))
            return status;
        if (status.dwCurrentState == state || GetTickCount() - start > timeoutMs)
            return status;
        Sleep(50);
    }
}

// Started by hand, the dispatcher call fails: the process traces that and
// ends with exit code 0.
TEST(ServiceHostOutsideTheManagerTest, EndsQuietlyWithExitCodeZero)
{
    wchar_t tempDirectory[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, tempDirectory);
    wchar_t traceFile[MAX_PATH] = {};
    GetTempFileNameW(tempDirectory, L"qvx", 0, traceFile);

    std::wstring commandLine = L"\"" + ServiceImagePath() + L"\"";
    std::wstring setting = L"2:" + std::wstring(traceFile);
    SetEnvironmentVariableW(L"QVXSVH_TRACE", setting.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created = {};
    BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                  &created);
    SetEnvironmentVariableW(L"QVXSVH_TRACE", nullptr);
    ASSERT_TRUE(started) << GetLastError();
    KernelHandle process(created.hProcess);
    KernelHandle thread(created.hThread);

    ASSERT_EQ(WaitForSingleObject(process.Get(), 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD exitCode = 1;
    GetExitCodeProcess(process.Get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);

    std::ifstream file(traceFile, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    file.close();
    DeleteFileW(traceFile);
    EXPECT_NE(text.str().find("StartServiceCtrlDispatcherW failed"), std::string::npos) << text.str();
}

// Registers the service host with the prefix's service control manager and
// removes the registration afterwards, whatever happened in between.
class ServiceHostTest : public testing::Test {
protected:
    void SetUp() override
    {
        QVX_REQUIRE_TEST_PREFIX();
        manager_.Reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager_) << GetLastError();
        RemoveRegistration(); // left over from an interrupted run
        std::wstring binary = L"\"" + ServiceImagePath() + L"\"";
        service_.Reset(CreateServiceW(manager_.Get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_SHARE_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                      binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service_) << GetLastError();
    }
    void TearDown() override
    {
        if (service_) {
            StopServiceAndWait(service_.Get(), 10000);
            DeleteService(service_.Get());
            service_.Reset();
        }
    }

    void RemoveRegistration()
    {
        ServiceHandle old(OpenServiceW(manager_.Get(), kServiceName, SERVICE_ALL_ACCESS));
        if (!old)
            return;
        StopServiceAndWait(old.Get(), 10000);
        DeleteService(old.Get());
    }

    ServiceHandle manager_;
    ServiceHandle service_;
};

TEST_F(ServiceHostTest, StartsRunsAndStopsUnderTheServiceControlManager)
{
    ASSERT_TRUE(StartServiceW(service_.Get(), 0, nullptr)) << GetLastError();
    SERVICE_STATUS_PROCESS running = WaitForState(service_.Get(), SERVICE_RUNNING, 20000);
    ASSERT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(running.dwControlsAccepted & (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN),
              static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, running.dwProcessId));

    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(service_.Get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    SERVICE_STATUS_PROCESS stopped = WaitForState(service_.Get(), SERVICE_STOPPED, 20000);
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, 0u);

    // With its only running service stopped, the dispatcher returns and the
    // process ends.
    if (process) {
        EXPECT_EQ(WaitForSingleObject(process.Get(), 20000), static_cast<DWORD>(WAIT_OBJECT_0));
    }
}

TEST_F(ServiceHostTest, AProxyStartsTheStoppedManagementServiceAndWaitsUntilItRuns)
{
    test::StatusRecorder recorder;
    ProxyService proxy(kTrustProxyName, SERVICE_WIN32_SHARE_PROCESS);

    EnsureManagementServiceRunning(proxy);

    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceStatusEx(service_.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                     sizeof(status), &needed));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    const DWORD runningProcess = status.dwProcessId;

    // Running already: nothing to start, nothing to wait for; the same
    // process keeps running.
    EnsureManagementServiceRunning(proxy);
    ASSERT_TRUE(QueryServiceStatusEx(service_.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                     sizeof(status), &needed));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status.dwProcessId, runningProcess);
}

} // namespace
} // namespace qvx
