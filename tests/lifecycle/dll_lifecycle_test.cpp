// DLL services under the installed host: loaded into the host's own process,
// run by the hosting library on a thread of the host, started and stopped
// over the control pipe like any other hosted service, stopped with the host
// and started again by its next run in the same boot.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/listener_messages.h"
#include "engine/listener_pipe.h"
#include "platform/handles.h"
#include "platform/service_key.h"
#include "platform/wide_text.h"
#include "tests/lifecycle/lifecycle_harness.h"
#include "tests/support/installed_service.h"

namespace qvx::test {
namespace {

constexpr wchar_t kTestDll[] = L"qvxtest_dllsvc.dll";
constexpr wchar_t kFailedStartEvent[] = L"0xC2000006";

std::wstring BinPath(const std::wstring& file)
{
    const std::wstring image = ServiceImagePath();
    return image.substr(0, image.find_last_of(L'\\') + 1) + file;
}

std::wstring DllProfile(const std::wstring& name, const std::wstring& entryPoint,
                        const std::wstring& startupProfile = L"SERVICE_START_DEMAND",
                        const std::wstring& binaryPath = BinPath(kTestDll))
{
    return L"<Service><Name>" + name + L"</Name><StartupProfile>" + startupProfile +
           L"</StartupProfile><SVHServiceType>SERVICE_TYPE_SVH</SVHServiceType>"
           L"<ServiceType>SERVICE_SVH_USER_DLL</ServiceType><BinaryPath>" +
           binaryPath + L"</BinaryPath><ServiceMain>" + entryPoint + L"</ServiceMain></Service>";
}

// The process id the service's own listener pipe gives, 0 when none.
DWORD ListenerProcessId(const std::wstring& name)
{
    const std::wstring pipe = L"\\\\.\\pipe\\" + name + L"_qvxsvh_listenerpipe";
    std::wstring reply;
    if (TransactListenerMessage(pipe.c_str(), ProcessIdQueryMessage(name), reply) != ERROR_SUCCESS)
        return 0;
    return static_cast<DWORD>(std::wcstoul(reply.c_str(), nullptr, 10));
}

// Waits until the service's listener pipe answers with `pid`.
bool WaitForListener(const std::wstring& name, DWORD pid)
{
    const ULONGLONG deadline = GetTickCount64() + 20000;
    while (ListenerProcessId(name) != pid) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(100);
    }
    return true;
}

// Whether the process has a module of that file name loaded.
bool HasModule(DWORD pid, const std::wstring& fileName)
{
    KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid));
    EXPECT_TRUE(snapshot) << "no module snapshot of " << pid << ": " << GetLastError();
    if (!snapshot)
        return false;
    MODULEENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Module32FirstW(snapshot.Get(), &entry); more; more = Module32NextW(snapshot.Get(), &entry)) {
        if (EqualsFolded(entry.szModule, fileName))
            return true;
    }
    return false;
}

std::wstring StoredText(const std::wstring& service, const wchar_t* value)
{
    const std::wstring key = std::wstring(kServiceKeyPath) + L"\\Services\\" + service;
    wchar_t text[512] = {};
    DWORD size = sizeof(text);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return L"<none>";
    return text;
}

DWORD StoredNumber(const std::wstring& service, const wchar_t* value)
{
    const std::wstring key = std::wstring(kServiceKeyPath) + L"\\Services\\" + service;
    DWORD number = MAXDWORD;
    DWORD size = sizeof(number);
    RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_REG_DWORD, nullptr, &number, &size);
    return number;
}

using DllLifecycle = LifecycleTest;

// A DLL service has no process: it answers from the host's, and goes
// through a client's stop and start like a process service.
TEST_F(DllLifecycle, ADllServiceRunsInsideTheHostAndStartsAgainAfterItsStop)
{
    ASSERT_EQ(Create(L"dllplain", DllProfile(L"dllplain", L"RegistersAndRuns")), L"ACK");
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ASSERT_EQ(Start(L"dllplain"), L"ACK");
        ASSERT_TRUE(WaitForState(L"dllplain", L"SERVICE_RUNNING"));
        EXPECT_EQ(ListenerProcessId(L"dllplain"), HostPid());
        EXPECT_TRUE(HasModule(HostPid(), kTestDll));

        EXPECT_EQ(Stop(L"dllplain").rfind(L"CONTROL_SERVICE,", 0), 0u);
        ASSERT_TRUE(WaitForState(L"dllplain", L"SERVICE_STOPPED"));
        // Its thread ends with the run and takes the DLL with it.
        EXPECT_TRUE(WaitForTraceLines(L"a DLL service ended", L"dllplain", run));
        EXPECT_FALSE(HasModule(HostPid(), kTestDll));
    }
    EXPECT_EQ(Trace().EventsSinceMark(HostPid(), L"0x42000001", L"dllplain"), 2);
    EXPECT_EQ(Trace().EventsSinceMark(HostPid(), L"0x42000002", L"dllplain"), 2);
}

struct BadDll {
    const char* what;
    const wchar_t* file; // in the bin folder
    bool writeText;      // the test writes a text file there first
    const wchar_t* entryPoint;
    const wchar_t* traced;
};

class DllStartFailure : public LifecycleTest, public testing::WithParamInterface<BadDll> {};

// A start that fails in the host's own process fails the start, reports
// the failed start, and leaves no DLL loaded and the host serving.
TEST_P(DllStartFailure, FailsTheStartAndLeavesNothingLoaded)
{
    const BadDll& bad = GetParam();
    const std::wstring path = BinPath(bad.file);
    if (bad.writeText) {
        KernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        const char text[] = "this is not a DLL\n";
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.Get(), text, sizeof(text) - 1, &written, nullptr));
    }
    ASSERT_EQ(Create(L"dllbad", DllProfile(L"dllbad", bad.entryPoint, L"SERVICE_START_DEMAND", path)), L"ACK");
    EXPECT_EQ(Start(L"dllbad"), L"SERVICE_FAILED_TO_START");
    EXPECT_EQ(State(L"dllbad"), L"SERVICE_STOPPED");
    EXPECT_EQ(Trace().EventsSinceMark(HostPid(), kFailedStartEvent, L"dllbad"), 1);
    EXPECT_EQ(TraceLines(HostPid(), bad.traced, L"dllbad").size(), 1u);
    EXPECT_FALSE(HasModule(HostPid(), kTestDll));
    EXPECT_EQ(Ask(L"PING"), L"ACK");
}

INSTANTIATE_TEST_SUITE_P(
    DllLifecycle, DllStartFailure,
    testing::Values(BadDll{"missing_export", kTestDll, false, L"ServiceMain", L"does not export"},
                    BadDll{"missing_file", L"qvxtest_no_such.dll", false, L"RegistersAndRuns", L"was not loaded"},
                    BadDll{"not_an_image", L"..\\lifecycle-logs\\not-a-dll.dll", true, L"RegistersAndRuns",
                           L"was not loaded"}),
    [](const testing::TestParamInfo<BadDll>& info) { return std::string(info.param.what); });

// The host's stop sends the stop to each DLL service in the order they
// started and waits for their threads, but not for ever: one whose entry
// point never returns is given up and the host still ends.
TEST_F(DllLifecycle, TheHostsStopStopsEachDllServiceAndGivesUpOnOneThatNeverReturns)
{
    ASSERT_EQ(Create(L"dllfirst", DllProfile(L"dllfirst", L"RegistersAndRuns")), L"ACK");
    ASSERT_EQ(Create(L"dllstuck", DllProfile(L"dllstuck", L"RunUntilReleased")), L"ACK");
    ASSERT_EQ(Start(L"dllfirst"), L"ACK");
    ASSERT_TRUE(WaitForState(L"dllfirst", L"SERVICE_RUNNING"));
    ASSERT_EQ(Start(L"dllstuck"), L"ACK");
    // Its entry point runs and never reports: it stays pending, its
    // listener pipe served by the hosting library.
    ASSERT_TRUE(WaitForListener(L"dllstuck", HostPid()));
    EXPECT_EQ(State(L"dllstuck"), L"SERVICE_START_PENDING");

    const DWORD hostPid = HostPid();
    ASSERT_EQ(Host().Stop(nullptr, 60000), 0u);
    const std::vector<std::wstring> sent = TraceLines(hostPid, L"was sent the stop");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_NE(sent[0].find(L"dllfirst"), std::wstring::npos);
    EXPECT_NE(sent[1].find(L"dllstuck"), std::wstring::npos);
    EXPECT_EQ(TraceLines(hostPid, L"a DLL service ended", L"dllfirst").size(), 1u);
    EXPECT_TRUE(TraceLines(hostPid, L"a DLL service ended", L"dllstuck").empty());
    EXPECT_EQ(TraceLines(hostPid, L"a DLL service still runs after the shutdown wait", L"dllstuck").size(), 1u);
    EXPECT_TRUE(TraceLines(hostPid, L"a DLL service still runs after the shutdown wait", L"dllfirst").empty());
}

// A DLL service lived in the host's process: the next run in the same boot
// starts the EARLY ones again, however cleanly the last one ended.
TEST_F(DllLifecycle, AnEarlyDllServiceIsStartedAgainAfterACleanRestartOfTheHost)
{
    ASSERT_EQ(Create(L"dllearly", DllProfile(L"dllearly", L"RegistersAndRuns", L"SERVICE_START_EARLY")), L"ACK");
    ASSERT_EQ(Start(L"dllearly"), L"ACK");
    ASSERT_TRUE(WaitForState(L"dllearly", L"SERVICE_RUNNING"));

    ASSERT_EQ(Host().Stop(), 0u);
    Trace().Mark();
    ASSERT_EQ(Host().Start(), 0u);
    const DWORD hostPid = Host().Status().dwProcessId;
    ASSERT_TRUE(WaitForState(L"dllearly", L"SERVICE_RUNNING"));
    EXPECT_EQ(ListenerProcessId(L"dllearly"), hostPid);
    EXPECT_EQ(TraceLines(hostPid, L"early DLL services only").size(), 1u);
    EXPECT_TRUE(TraceLines(hostPid, L"start from scratch").empty());
}

// The hosting library gives up on a service whose mutex someone else holds,
// before the host ever watched it: the thread ends without a report, and
// the sweep finds the pending service without its thread.
TEST_F(DllLifecycle, TheSweepStopsADllServiceWhoseThreadEndedWithoutReporting)
{
    ASSERT_EQ(Create(L"dllorphan", DllProfile(L"dllorphan", L"RegistersAndRuns")), L"ACK");
    KernelHandle held(CreateMutexW(nullptr, TRUE, L"dllorphan_mutex"));
    ASSERT_TRUE(held);
    ASSERT_EQ(Start(L"dllorphan"), L"ACK");
    ASSERT_TRUE(WaitForState(L"dllorphan", L"SERVICE_STOPPED", 30000));
    EXPECT_EQ(TraceLines(HostPid(), L"a pending service without a process is stopped", L"dllorphan").size(), 1u);
    EXPECT_EQ(TraceLines(HostPid(), L"a DLL service ended with a failure", L"dllorphan").size(), 1u);
    EXPECT_FALSE(HasModule(HostPid(), kTestDll));

    // Nothing of that run stands in the way of the next.
    ReleaseMutex(held.Get());
    held.Reset();
    ASSERT_EQ(Start(L"dllorphan"), L"ACK");
    EXPECT_TRUE(WaitForState(L"dllorphan", L"SERVICE_RUNNING"));
}

// An entry point that returns without registering or reporting ends the
// run: the host sees the service's mutex let go and takes it as stopped.
TEST_F(DllLifecycle, AnEntryPointThatReturnsAtOnceLeavesTheServiceStopped)
{
    ASSERT_EQ(Create(L"dllquick", DllProfile(L"dllquick", L"ReturnAtOnce")), L"ACK");
    ASSERT_EQ(Start(L"dllquick"), L"ACK");
    ASSERT_TRUE(WaitForTraceLines(L"a DLL service ended", L"dllquick", 1));
    EXPECT_TRUE(WaitForState(L"dllquick", L"SERVICE_STOPPED"));
    EXPECT_FALSE(HasModule(HostPid(), kTestDll));
    ASSERT_EQ(Start(L"dllquick"), L"ACK");
    EXPECT_TRUE(WaitForTraceLines(L"a DLL service ended", L"dllquick", 2));
    EXPECT_TRUE(WaitForState(L"dllquick", L"SERVICE_STOPPED"));
    EXPECT_EQ(Ask(L"PING"), L"ACK");
}

// A stopped service may change between a process and a DLL with a new app
// profile; each next start runs it the new way. The client's stop outlives
// the switch, and once it is a DLL service the stop is stored with it.
TEST_F(DllLifecycle, ATypeSwitchWhileStoppedTakesEffectAtTheNextStart)
{
    const std::wstring asProcess = Profile(L"dllswitch", L"");
    const std::wstring asDll = DllProfile(L"dllswitch", L"RegistersAndRuns");
    ASSERT_EQ(Create(L"dllswitch", asProcess), L"ACK");
    ASSERT_EQ(Start(L"dllswitch"), L"ACK");
    ASSERT_TRUE(WaitForState(L"dllswitch", L"SERVICE_RUNNING"));
    const DWORD firstPid = LatestPid(L"dllswitch");
    ASSERT_NE(firstPid, 0u);
    ASSERT_NE(firstPid, HostPid());
    ASSERT_EQ(Stop(L"dllswitch").rfind(L"CONTROL_SERVICE,", 0), 0u);
    ASSERT_TRUE(WaitForState(L"dllswitch", L"SERVICE_STOPPED"));

    ASSERT_EQ(Ask(L"CONFIG_SERVICE2," + asDll), L"ACK");
    EXPECT_EQ(StoredText(L"dllswitch", L"ServiceType"), L"SERVICE_SVH_USER_DLL");
    EXPECT_EQ(StoredText(L"dllswitch", L"ServiceMain"), L"RegistersAndRuns");
    EXPECT_EQ(StoredNumber(L"dllswitch", L"UserStopped"), 1u);
    ASSERT_EQ(Start(L"dllswitch"), L"ACK");
    ASSERT_TRUE(WaitForState(L"dllswitch", L"SERVICE_RUNNING"));
    EXPECT_EQ(ListenerProcessId(L"dllswitch"), HostPid());
    EXPECT_EQ(StoredNumber(L"dllswitch", L"UserStopped"), 0u);
    ASSERT_EQ(Stop(L"dllswitch").rfind(L"CONTROL_SERVICE,", 0), 0u);
    ASSERT_TRUE(WaitForState(L"dllswitch", L"SERVICE_STOPPED"));

    ASSERT_EQ(Ask(L"CONFIG_SERVICE2," + asProcess), L"ACK");
    EXPECT_EQ(StoredText(L"dllswitch", L"ServiceType"), L"SERVICE_WIN32_OWN_PROCESS");
    ASSERT_EQ(Start(L"dllswitch"), L"ACK");
    ASSERT_TRUE(WaitForState(L"dllswitch", L"SERVICE_RUNNING"));
    const DWORD lastPid = WaitForNewPid(L"dllswitch", firstPid);
    EXPECT_NE(lastPid, 0u);
    EXPECT_NE(lastPid, HostPid());
    EXPECT_TRUE(WaitForTraceLines(L"a DLL service ended", L"dllswitch", 1));
    EXPECT_FALSE(HasModule(HostPid(), kTestDll));
}

} // namespace
} // namespace qvx::test
