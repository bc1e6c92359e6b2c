#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "model/table_lock.h"
#include "platform/handles.h"
#include "protocol/control_client.h"
#include "protocol/dispatcher.h"
#include "protocol/host_hooks.h"
#include "runtime/host_runtime.h"
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

    HostRuntime runtime_;
    RunningPipeServers servers_{Dispatch, 2, &runtime_};
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
    HANDLE wake = runtime_.waitSet.WakeEvent();
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

TEST_F(DispatcherTest, ATriggerRegistrationThatWaitsKeepsNoWriterWaiting)
{
    HostHooks hooks;
    hooks.runTriggerRegistration = BlockingHook;
    HookGate gate;
    g_hookGate = &gate;
    InstallHostHooks(hooks);
    ASSERT_EQ(client_.Send(L"REGISTER_SERVICE_TRIGGER_MONITOR", kIoTimeoutMs), 0u);
    ASSERT_EQ(WaitForSingleObject(gate.entered.Get(), kIoTimeoutMs), WAIT_OBJECT_0);

    KernelHandle writerIn(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread writer([&writerIn] {
        TableLock exclusive(TableLockMode::Exclusive);
        SetEvent(writerIn.Get());
    });
    EXPECT_EQ(WaitForSingleObject(writerIn.Get(), kIoTimeoutMs), WAIT_OBJECT_0) << "a writer waited for the hook";
    SetEvent(gate.release.Get());
    writer.join();

    std::wstring reply;
    EXPECT_EQ(client_.Receive(reply, kIoTimeoutMs), 0u);
    EXPECT_EQ(reply, L"ACK");
}

// The power state is the runtime's, and a change of it is sent to the hosted
// services by messages that may take seconds: a writer of the table must
// not hold it up, nor it a writer.
TEST_F(DispatcherTest, PowerStateIsServedWhileAWriterHoldsTheTable)
{
    KernelHandle writerIn(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    KernelHandle replied(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread writer([&] {
        TableLock exclusive(TableLockMode::Exclusive);
        SetEvent(writerIn.Get());
        WaitForSingleObject(replied.Get(), kIoTimeoutMs);
    });
    ASSERT_EQ(WaitForSingleObject(writerIn.Get(), kIoTimeoutMs), WAIT_OBJECT_0);
    std::wstring reply;
    const bool sent = client_.Send(L"QUERY_POWER_STATE,1,POWERPROFILE_BATTERY", kIoTimeoutMs) == 0;
    const bool received = sent && client_.Receive(reply, kIoTimeoutMs) == 0;
    SetEvent(replied.Get());
    writer.join();
    ASSERT_TRUE(received) << "the power state waited for the table writer";
    EXPECT_EQ(reply, L"QUERY_POWER_STATE,POWERPROFILE_BATTERY POWERPROFILE_NORMAL POWERPROFILE_AAC_CONTROL");
    EXPECT_EQ(runtime_.conditions.word.load(), uint32_t{POWERPROFILE_BATTERY});
}

// What the host was like when STOP_SVH_HOSTING_SERVICE asked the DLL-hosted
// services to stop (seen through that call's trace point).
struct DllStopProbe {
    HANDLE clientPipe = nullptr;
    HANDLE hostStopEvent = nullptr;
    std::atomic<int> calls{0};
    std::atomic<DWORD> replyBytesWaiting{0};
    std::atomic<bool> stopSetTooEarly{false};
    std::atomic<int> tableLockMode{-1};
};

void ObserveDllStop(const trace::Record& record, void* context)
{
    if (record.text.find(L"StopDllServices") == std::wstring::npos)
        return;
    auto& probe = *static_cast<DllStopProbe*>(context);
    DWORD available = 0;
    PeekNamedPipe(probe.clientPipe, nullptr, 0, nullptr, &available, nullptr);
    probe.replyBytesWaiting = available;
    probe.stopSetTooEarly = WaitForSingleObject(probe.hostStopEvent, 0) == WAIT_OBJECT_0;
    probe.tableLockMode = RecursiveTableLock::HeldMode();
    ++probe.calls;
}

TEST_F(DispatcherTest, StopHostingServiceAcknowledgesThenStopsTheDllServicesThenTheHost)
{
    ASSERT_TRUE(runtime_.stop.CreateStopEvent());
    // A raw client, so that the probe can look into its pipe.
    KernelHandle raw(CreateFileW(servers_.Name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
    ASSERT_TRUE(raw.IsValid());
    DWORD mode = PIPE_READMODE_MESSAGE;
    ASSERT_TRUE(SetNamedPipeHandleState(raw.Get(), &mode, nullptr, nullptr));
    DllStopProbe probe;
    probe.clientPipe = raw.Get();
    probe.hostStopEvent = runtime_.stop.StopEvent().Get();
    trace::SetObserver(ObserveDllStop, &probe);

    const wchar_t request[] = L"STOP_SVH_HOSTING_SERVICE";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(raw.Get(), request, sizeof(request), &written, nullptr));
    const DWORD stopped = WaitForSingleObject(runtime_.stop.StopEvent().Get(), kIoTimeoutMs);
    trace::SetObserver(nullptr, nullptr);
    EXPECT_EQ(stopped, WAIT_OBJECT_0) << "the host was not stopped";
    EXPECT_EQ(probe.calls.load(), 1);
    EXPECT_EQ(probe.replyBytesWaiting.load(), 8u) << "DLL services were stopped before the ACK went out";
    EXPECT_FALSE(probe.stopSetTooEarly.load()) << "the host stop came before the DLL services were stopped";
    EXPECT_EQ(probe.tableLockMode.load(), 0) << "the DLL services were stopped under the table lock";

    wchar_t reply[16] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(raw.Get(), reply, sizeof(reply), &got, nullptr));
    EXPECT_EQ(got, 8u);
    EXPECT_STREQ(reply, L"ACK");
}

TEST_F(DispatcherTest, StopHostingServiceOnAPipeOfNoHostIsOnlyAcknowledged)
{
    RunningPipeServers bare(Dispatch, 1);
    ControlConnection client;
    ASSERT_EQ(client.Open(bare.Name(), kIoTimeoutMs), 0u);
    std::wstring reply;
    ASSERT_EQ(client.Send(L"STOP_SVH_HOSTING_SERVICE", kIoTimeoutMs), 0u);
    ASSERT_EQ(client.Receive(reply, kIoTimeoutMs), 0u);
    EXPECT_EQ(reply, L"ACK");
}

} // namespace
} // namespace qvx
