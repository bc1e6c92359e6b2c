// The machine's shutdown as the management service's control handler sees
// it, with real hosted service processes. The prefix's service control
// manager never sends the shutdown control, so the management service runs
// in this process on a private control pipe and key, and the test calls the
// handler it registered. The test services are told the private pipe on
// their command line.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/management_service.h"
#include "host/run_management_service.h"
#include "platform/handles.h"
#include "platform/wide_text.h"
#include "protocol/control_client.h"
#include "tests/entry/management_service_thread.h"
#include "tests/entry/status_recorder.h"
#include "tests/support/installed_service.h"
#include "tests/support/test_prefix.h"
#include "tests/support/test_service_key.h"
#include "tests/support/trace_capture.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

constexpr DWORD kStateTimeoutMs = 20000;
constexpr DWORD kShutdownTimeoutMs = 30000;

std::wstring BinFolder()
{
    const std::wstring image = test::ServiceImagePath();
    return image.substr(0, image.find_last_of(L'\\') + 1);
}

using test::StartManagementServiceMain;

struct HandlerCall {
    test::Registration registration;
    DWORD control = 0;
    DWORD result = 0;
};

HANDLE CallHandlerOnItsOwnThread(HandlerCall& call)
{
    return CreateThread(
        nullptr, 0,
        [](LPVOID context) -> DWORD {
            auto* call = static_cast<HandlerCall*>(context);
            call->result = call->registration.handler(call->control, 0, nullptr, call->registration.context);
            return 0;
        },
        &call, 0, nullptr);
}

class ShutdownBroadcastTest : public testing::Test {
protected:
    void SetUp() override
    {
        calls_ = ManagementRunEngineCalls();
        calls_.pipeName = pipeName_.c_str();
        SetManagementRunCalls(&calls_);
        const std::wstring folder = BinFolder() + L"..\\lifecycle-logs\\";
        CreateDirectoryW(folder.c_str(), nullptr);
        logPath_ = folder + L"ShutdownBroadcastTest.log";
        DeleteFileW(logPath_.c_str());
    }

    void TearDown() override
    {
        // Whatever did not stop is ended, so that the next run finds no
        // process holding a service's mutex.
        for (DWORD pid : pids_) {
            KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
            if (process && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT) {
                TerminateProcess(process.Get(), ERROR_PROCESS_ABORTED);
                WaitForSingleObject(process.Get(), 10000);
            }
        }
        SetManagementRunCalls(nullptr);
    }

    std::wstring Ask(const std::wstring& request) const
    {
        std::wstring reply;
        if (SendControlRequest(pipeName_, request, reply, 20000) != ERROR_SUCCESS)
            return L"";
        return reply;
    }

    // `switches` go on the test service's command line, `extra` into the
    // profile.
    std::wstring Profile(const std::wstring& name, const std::wstring& switches = L"",
                         const std::wstring& extra = L"") const
    {
        std::wstring binary = L"\"" + BinFolder() + L"qvxtest_service.exe\" --log=" + logPath_ + L" --name=" + name +
                              L" --control-pipe=" + pipeName_;
        if (!switches.empty())
            binary += L" " + switches;
        return L"<Service><Name>" + name +
               L"</Name><StartupProfile>SERVICE_START_DEMAND</StartupProfile><SVHServiceType>SERVICE_TYPE_SVH"
               L"</SVHServiceType><ServiceType>SERVICE_WIN32_OWN_PROCESS</ServiceType><BinaryPath>" +
               binary + L"</BinaryPath>" + extra + L"</Service>";
    }

    bool WaitForState(const std::wstring& name, const std::wstring& state) const
    {
        const DWORD start = GetTickCount();
        while (Ask(L"QUERY_SERVICE_STATUS," + name) != L"QUERY_SERVICE_STATUS," + state) {
            if (GetTickCount() - start > kStateTimeoutMs)
                return false;
            Sleep(50);
        }
        return true;
    }

    // The test services' log lines of one kind ("start", "shutdown"...) for
    // one service: "<what> <service> pid=<pid> ...".
    std::vector<DWORD> PidsLogged(const std::wstring& what, const std::wstring& service) const
    {
        std::vector<DWORD> pids;
        KernelHandle file(CreateFileW(logPath_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            return pids;
        std::string bytes;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(file.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
            bytes.append(buffer, got);
        const std::string prefix = WideToUtf8(what + L" " + service + L" pid=");
        size_t begin = 0;
        for (size_t end; (end = bytes.find('\n', begin)) != std::string::npos; begin = end + 1) {
            if (bytes.compare(begin, prefix.size(), prefix) == 0)
                pids.push_back(strtoul(bytes.c_str() + begin + prefix.size(), nullptr, 10));
        }
        return pids;
    }

    test::TestServiceKey key_;
    std::wstring pipeName_ = L"\\\\.\\pipe\\" + test::UniqueName(L"svhserver-shutdown");
    ManagementRunCalls calls_{};
    std::wstring logPath_;
    std::vector<DWORD> pids_;
};

// The handler holds the shutdown back until every hosted service has been
// told of it and has stopped; then the management service stops as well.
TEST_F(ShutdownBroadcastTest, TheShutdownControlReturnsOnceEveryHostedServiceHasStopped)
{
    test::StatusRecorder recorder;
    KernelHandle mainThread(StartManagementServiceMain());
    ASSERT_TRUE(mainThread);
    ASSERT_TRUE(recorder.WaitForState(SERVICE_RUNNING));
    const std::vector<test::Registration> registrations = recorder.Registrations();
    ASSERT_EQ(registrations.size(), 1u);

    const std::wstring names[] = {test::UniqueName(L"lcdown"), test::UniqueName(L"lcdown")};
    std::vector<KernelHandle> processes;
    for (const std::wstring& name : names) {
        ASSERT_EQ(Ask(L"CREATE_SERVICE," + name + L"," + Profile(name)), L"ACK") << test::Narrow(name);
        ASSERT_EQ(Ask(L"START_SERVICE," + name + L",0,EMPTY"), L"ACK") << test::Narrow(name);
    }
    for (const std::wstring& name : names) {
        ASSERT_TRUE(WaitForState(name, L"SERVICE_RUNNING"))
            << test::Narrow(name) << ": " << test::Narrow(Ask(L"QUERY_SERVICE_STATUS," + name));
        const std::vector<DWORD> started = PidsLogged(L"start", name);
        ASSERT_EQ(started.size(), 1u) << test::Narrow(name);
        pids_.push_back(started[0]);
        processes.emplace_back(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, started[0]));
        ASSERT_TRUE(processes.back()) << GetLastError();
    }

    test::TraceCapture traces;
    HandlerCall call{registrations[0], SERVICE_CONTROL_SHUTDOWN};
    KernelHandle handlerThread(CallHandlerOnItsOwnThread(call));
    ASSERT_TRUE(handlerThread);
    const DWORD waited = WaitForSingleObject(handlerThread.Get(), kShutdownTimeoutMs);
    // What the host had done by the time the handler returned.
    const std::vector<trace::Record> seen = traces.Records();
    if (waited != WAIT_OBJECT_0) {
        // Stopping the management service ends the handler's wait too.
        registrations[0].handler(SERVICE_CONTROL_STOP, 0, nullptr, registrations[0].context);
        WaitForSingleObject(handlerThread.Get(), 10000);
        WaitForSingleObject(mainThread.Get(), 10000);
        CloseManagementThreadHandle();
        FAIL() << "the shutdown control did not return";
    }
    EXPECT_EQ(call.result, static_cast<DWORD>(NO_ERROR));

    auto seenBefore = [&seen](const std::wstring& text) {
        return std::any_of(seen.begin(), seen.end(), [&text](const trace::Record& record) {
            return record.text.find(text) != std::wstring::npos;
        });
    };
    EXPECT_TRUE(seenBefore(L"every hosted service has stopped")) << test::Narrow(traces.Dump());
    EXPECT_FALSE(seenBefore(L"monitor thread ended before the hosted services stopped"));
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(test::Narrow(names[i]));
        EXPECT_EQ(PidsLogged(L"shutdown", names[i]), std::vector<DWORD>{pids_[i]});
        EXPECT_TRUE(PidsLogged(L"stop", names[i]).empty());
        const bool stopped = std::any_of(seen.begin(), seen.end(), [&](const trace::Record& record) {
            const std::wstring& text = record.text;
            return text.rfind(L"state changed " + names[i] + L" ", 0) == 0 &&
                   text.size() >= 15 && text.compare(text.size() - 15, 15, L"SERVICE_STOPPED") == 0;
        });
        EXPECT_TRUE(stopped) << "not seen stopped before the handler returned";
        // The process ends right after its last report.
        EXPECT_EQ(WaitForSingleObject(processes[i].Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD exitCode = 0;
        EXPECT_TRUE(GetExitCodeProcess(processes[i].Get(), &exitCode));
        EXPECT_EQ(exitCode, 0u);
    }

    // The handler asked the management service to stop; should it still
    // run, it is stopped as the service control manager would.
    if (WaitForSingleObject(mainThread.Get(), 10000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the management service kept running after the shutdown";
        registrations[0].handler(SERVICE_CONTROL_STOP, 0, nullptr, registrations[0].context);
        ASSERT_EQ(WaitForSingleObject(mainThread.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    }
    const std::vector<DWORD> states = recorder.States();
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states[states.size() - 2], static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(states.back(), static_cast<DWORD>(SERVICE_STOPPED));
    CloseManagementThreadHandle();
}

// Services that do not see the shutdown through: one ends its process
// instead of reporting (under a restart policy that must not bring it back
// now), one never returns from its shutdown and is held to its shutdown
// time-out. The handler still returns once both are gone, and the
// management service ends cleanly: its table saved, its dirty-exit marker
// removed, its stop reported.
TEST_F(ShutdownBroadcastTest, ServicesThatDoNotAnswerTheShutdownDoNotHoldItUp)
{
    test::StatusRecorder recorder;
    KernelHandle mainThread(StartManagementServiceMain());
    ASSERT_TRUE(mainThread);
    ASSERT_TRUE(recorder.WaitForState(SERVICE_RUNNING));
    const std::vector<test::Registration> registrations = recorder.Registrations();
    ASSERT_EQ(registrations.size(), 1u);

    struct Case {
        std::wstring name;
        std::wstring switches;
        std::wstring extra;
    };
    const Case cases[] = {
        {test::UniqueName(L"lcexits"), L"--mode=exit-in-shutdown",
         L"<FailureRestart><ResetPeriod>60</ResetPeriod><RestartCount>3</RestartCount>"
         L"<RestartDelay>1</RestartDelay></FailureRestart>"},
        {test::UniqueName(L"lchangs"), L"--mode=hang-shutdown", L"<ShutdownTimeout>30</ShutdownTimeout>"},
    };
    std::vector<KernelHandle> processes;
    for (const Case& c : cases) {
        ASSERT_EQ(Ask(L"CREATE_SERVICE," + c.name + L"," + Profile(c.name, c.switches, c.extra)), L"ACK")
            << test::Narrow(c.name);
        ASSERT_EQ(Ask(L"START_SERVICE," + c.name + L",0,EMPTY"), L"ACK") << test::Narrow(c.name);
    }
    for (const Case& c : cases) {
        ASSERT_TRUE(WaitForState(c.name, L"SERVICE_RUNNING"))
            << test::Narrow(c.name) << ": " << test::Narrow(Ask(L"QUERY_SERVICE_STATUS," + c.name));
        const std::vector<DWORD> started = PidsLogged(L"start", c.name);
        ASSERT_EQ(started.size(), 1u) << test::Narrow(c.name);
        pids_.push_back(started[0]);
        processes.emplace_back(OpenProcess(SYNCHRONIZE, FALSE, started[0]));
        ASSERT_TRUE(processes.back()) << GetLastError();
    }
    ASSERT_TRUE(key_.Open(L"dirtyexit"));

    HandlerCall call{registrations[0], SERVICE_CONTROL_SHUTDOWN};
    KernelHandle handlerThread(CallHandlerOnItsOwnThread(call));
    ASSERT_TRUE(handlerThread);
    // The hanging service's time-out is the least a profile may give.
    if (WaitForSingleObject(handlerThread.Get(), kShutdownTimeoutMs + 20000) != WAIT_OBJECT_0) {
        registrations[0].handler(SERVICE_CONTROL_STOP, 0, nullptr, registrations[0].context);
        WaitForSingleObject(handlerThread.Get(), 10000);
        WaitForSingleObject(mainThread.Get(), 10000);
        CloseManagementThreadHandle();
        FAIL() << "the shutdown control did not return";
    }
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(test::Narrow(cases[i].name));
        EXPECT_EQ(PidsLogged(L"shutdown", cases[i].name).size(), 1u);
        EXPECT_EQ(WaitForSingleObject(processes[i].Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    }
    ASSERT_EQ(WaitForSingleObject(mainThread.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseManagementThreadHandle();
    // Past the restart delay: the process that ended is not started again.
    Sleep(1500);
    EXPECT_EQ(PidsLogged(L"start", cases[0].name).size(), 1u);

    EXPECT_EQ(recorder.States().back(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_FALSE(key_.Open(L"dirtyexit"));
    const std::vector<std::wstring> saved = key_.SubkeyNames(L"Services");
    for (const Case& c : cases)
        EXPECT_NE(std::find(saved.begin(), saved.end(), c.name), saved.end()) << test::Narrow(c.name);
}

} // namespace
} // namespace qvx
