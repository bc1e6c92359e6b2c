#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "host/monitor_wait_set.h"
#include "model/table_lock.h"
#include "platform/handles.h"
#include "protocol/control_client.h"
#include "protocol/dispatcher.h"
#include "protocol/host_hooks.h"
#include "tests/protocol/pipe_test_support.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

using test::kIoTimeoutMs;
using test::RunningPipeServers;

class DispatcherTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(client_.Open(servers_.Name(), kIoTimeoutMs), 0u); }
    void TearDown() override { InstallHostHooks(HostHooks{}); }

    // The reply's text and its size on the wire.
    std::wstring Ask(const std::wstring& request, size_t* wireBytes = nullptr)
    {
        std::wstring reply;
        std::vector<BYTE> raw;
        EXPECT_EQ(client_.Send(request, kIoTimeoutMs), 0u) << request;
        EXPECT_EQ(client_.Receive(reply, kIoTimeoutMs, &raw), 0u) << request;
        if (wireBytes)
            *wireBytes = raw.size();
        return reply;
    }

    RunningPipeServers servers_{Dispatch, 2};
    ControlConnection client_;
};

TEST_F(DispatcherTest, PingAndUnrecognisedRequestsOnOneConnection)
{
    struct Case {
        const wchar_t* request;
        const wchar_t* reply;
    };
    const Case cases[] = {
        {L"PING", L"ACK"},
        {L"ping,xyz", L"ACK"},
        {L"PING x", L"ACK"},
        {L"PINGX", L""},
        {L"HELLO", L""},
        // Known commands whose handlers are not part of this program yet.
        {L"CONFIG_SERVICE2,foo", L""},
        {L"QUERY_SERVICE_STATUS,foo", L""},
        {L"Ping", L"ACK"},
    };
    for (const Case& c : cases) {
        test::TraceCapture traces;
        size_t wireBytes = 0;
        EXPECT_EQ(Ask(c.request, &wireBytes), c.reply) << c.request;
        EXPECT_EQ(wireBytes, (wcslen(c.reply) + 1) * sizeof(wchar_t)) << c.request;
        bool unrecognised = *c.reply == L'\0';
        EXPECT_EQ(traces.Contains(trace::kError, c.request), unrecognised) << c.request << traces.Dump();
    }
}

TEST_F(DispatcherTest, EveryCompletedTransferWakesTheMonitor)
{
    HANDLE wake = ProcessMonitorWaitSet().WakeEvent();
    WaitForSingleObject(wake, 0);
    EXPECT_EQ(Ask(L"PING"), L"ACK");
    EXPECT_EQ(WaitForSingleObject(wake, kIoTimeoutMs), WAIT_OBJECT_0);
    EXPECT_EQ(Ask(L"UNKNOWN"), L"");
    EXPECT_EQ(WaitForSingleObject(wake, kIoTimeoutMs), WAIT_OBJECT_0);
}

std::atomic<int> g_registrations{0};
std::atomic<int> g_heldModeDuringHandler{-1};

void CountRegistration()
{
    g_heldModeDuringHandler = RecursiveTableLock::HeldMode();
    ++g_registrations;
}

TEST_F(DispatcherTest, TriggerMonitorRegistrationIsAcknowledged)
{
    EXPECT_EQ(Ask(L"REGISTER_SERVICE_TRIGGER_MONITOR"), L"ACK") << "without hooks";

    HostHooks hooks;
    hooks.runTriggerRegistration = CountRegistration;
    InstallHostHooks(hooks);
    g_registrations = 0;
    EXPECT_EQ(Ask(L"REGISTER_SERVICE_TRIGGER_MONITOR,ignored,fields"), L"ACK");
    EXPECT_EQ(g_registrations.load(), 1);
    EXPECT_EQ(g_heldModeDuringHandler.load(), 0) << "the registration ran under the table lock";
}

// A host hook that stays in its call until the test lets it go.
struct HookGate {
    KernelHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    KernelHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};
HookGate* g_hookGate = nullptr;

void BlockingHook()
{
    SetEvent(g_hookGate->entered.Get());
    WaitForSingleObject(g_hookGate->release.Get(), INFINITE);
}

TEST_F(DispatcherTest, InlineCommandsThatWaitKeepNoWriterWaiting)
{
    KernelHandle hostStop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HostHooks triggerHooks;
    triggerHooks.runTriggerRegistration = BlockingHook;
    HostHooks stopHooks;
    stopHooks.stopDllServices = BlockingHook;
    stopHooks.hostStopEvent = hostStop.Get();
    struct Case {
        const wchar_t* request;
        const HostHooks* hooks;
    };
    const Case cases[] = {
        {L"REGISTER_SERVICE_TRIGGER_MONITOR", &triggerHooks},
        {L"STOP_SVH_HOSTING_SERVICE", &stopHooks},
    };
    for (const Case& c : cases) {
        HookGate gate;
        g_hookGate = &gate;
        InstallHostHooks(*c.hooks);
        ASSERT_EQ(client_.Send(c.request, kIoTimeoutMs), 0u) << c.request;
        ASSERT_EQ(WaitForSingleObject(gate.entered.Get(), kIoTimeoutMs), WAIT_OBJECT_0) << c.request;

        KernelHandle writerIn(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread writer([&writerIn] {
            TableLock exclusive(TableLockMode::Exclusive);
            SetEvent(writerIn.Get());
        });
        EXPECT_EQ(WaitForSingleObject(writerIn.Get(), kIoTimeoutMs), WAIT_OBJECT_0)
            << c.request << ": a writer waited for the host hook";
        SetEvent(gate.release.Get());
        writer.join();

        std::wstring reply;
        EXPECT_EQ(client_.Receive(reply, kIoTimeoutMs), 0u) << c.request;
        EXPECT_EQ(reply, L"ACK") << c.request;
    }
    EXPECT_EQ(WaitForSingleObject(hostStop.Get(), kIoTimeoutMs), WAIT_OBJECT_0) << "the host was not stopped";
}

// What the host saw when STOP_SVH_HOSTING_SERVICE reached it.
HANDLE g_stopClientPipe = nullptr;
HANDLE g_hostStopEvent = nullptr;
std::atomic<DWORD> g_replyBytesWaiting{0};
std::atomic<bool> g_stopEventSetTooEarly{false};
std::atomic<int> g_dllStops{0};

void RecordDllStop()
{
    DWORD available = 0;
    PeekNamedPipe(g_stopClientPipe, nullptr, 0, nullptr, &available, nullptr);
    g_replyBytesWaiting = available;
    g_stopEventSetTooEarly = WaitForSingleObject(g_hostStopEvent, 0) == WAIT_OBJECT_0;
    ++g_dllStops;
}

TEST_F(DispatcherTest, StopHostingServiceAcknowledgesBeforeTheHostStops)
{
    EXPECT_EQ(Ask(L"STOP_SVH_HOSTING_SERVICE"), L"ACK") << "without hooks";

    // A raw client, so that the host's hook can look into its pipe.
    KernelHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    KernelHandle raw(CreateFileW(servers_.Name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
    ASSERT_TRUE(raw.IsValid());
    DWORD mode = PIPE_READMODE_MESSAGE;
    ASSERT_TRUE(SetNamedPipeHandleState(raw.Get(), &mode, nullptr, nullptr));
    g_stopClientPipe = raw.Get();
    g_hostStopEvent = stopEvent.Get();
    g_dllStops = 0;
    HostHooks hooks;
    hooks.stopDllServices = RecordDllStop;
    hooks.hostStopEvent = stopEvent.Get();
    InstallHostHooks(hooks);

    const wchar_t request[] = L"STOP_SVH_HOSTING_SERVICE";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(raw.Get(), request, sizeof(request), &written, nullptr));
    EXPECT_EQ(WaitForSingleObject(stopEvent.Get(), kIoTimeoutMs), WAIT_OBJECT_0) << "the host was not stopped";
    EXPECT_EQ(g_dllStops.load(), 1);
    EXPECT_EQ(g_replyBytesWaiting.load(), 8u) << "DLL services were stopped before the ACK went out";
    EXPECT_FALSE(g_stopEventSetTooEarly.load()) << "the host stop came before the DLL services were stopped";

    wchar_t reply[16] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(raw.Get(), reply, sizeof(reply), &got, nullptr));
    EXPECT_EQ(got, 8u);
    EXPECT_STREQ(reply, L"ACK");
}

} // namespace
} // namespace qvx
