#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/diagnostic_block.h"
#include "platform/handles.h"
#include "platform/locks.h"
#include "protocol/control_client.h"
#include "protocol/dispatcher.h"
#include "protocol/pipe_server.h"
#include "tests/protocol/pipe_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/trace_capture.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

using test::kIoTimeoutMs;
using test::RunningPipeServers;

// A callback that records every complete request and answers it with
// "<length>:" followed by the configured number of filler characters.
struct Recorder {
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<std::wstring> requests;
    std::atomic<size_t> replyFiller{0};

    std::vector<std::wstring> Requests()
    {
        SrwSharedGuard guard(lock);
        return requests;
    }
};
Recorder g_recorder;

void RecordingCallback(SVHServerPipe& pipe)
{
    if (!pipe.AdvanceIo() || pipe.State() != PipeState::Writing)
        return;
    std::wstring request = pipe.TakeRequest();
    {
        SrwExclusiveGuard guard(g_recorder.lock);
        g_recorder.requests.push_back(request);
    }
    pipe.WriteReply(std::to_wstring(request.size()) + L":" + std::wstring(g_recorder.replyFiller.load(), L'r'));
}

class PipeServerTest : public testing::Test {
protected:
    void SetUp() override
    {
        SrwExclusiveGuard guard(g_recorder.lock);
        g_recorder.requests.clear();
        g_recorder.replyFiller = 0;
    }
};

TEST_F(PipeServerTest, RequestWithAndWithoutNulIsTheSameRequest)
{
    RunningPipeServers servers(RecordingCallback, 1);
    ASSERT_TRUE(servers.Started());
    ControlConnection client;
    ASSERT_EQ(client.Open(servers.Name(), kIoTimeoutMs), 0u);
    std::wstring reply;
    std::vector<BYTE> raw;
    ASSERT_EQ(client.Send(L"QUERY_SERVICE_STATUS,foo", kIoTimeoutMs, true), 0u);
    ASSERT_EQ(client.Receive(reply, kIoTimeoutMs, &raw), 0u);
    EXPECT_EQ(reply, L"24:");
    EXPECT_EQ(raw.size(), (3u + 1u) * 2u) << "the reply is its text and exactly one NUL";
    ASSERT_EQ(client.Send(L"QUERY_SERVICE_STATUS,foo", kIoTimeoutMs, false), 0u);
    ASSERT_EQ(client.Receive(reply, kIoTimeoutMs), 0u);
    EXPECT_EQ(reply, L"24:");
    EXPECT_EQ(g_recorder.Requests(),
              (std::vector<std::wstring>{L"QUERY_SERVICE_STATUS,foo", L"QUERY_SERVICE_STATUS,foo"}));
}

TEST_F(PipeServerTest, LongRequestIsReassembledAndHandledOnce)
{
    RunningPipeServers servers(RecordingCallback, 1);
    std::wstring request;
    for (size_t i = 0; i < 3000; ++i)
        request += (i % 97 == 0) ? L'\u00e9' : static_cast<wchar_t>(L'a' + i % 26);
    // A long reply goes out as one message too, whatever the 64-byte buffers.
    g_recorder.replyFiller = 5000;

    ControlConnection client;
    ASSERT_EQ(client.Open(servers.Name(), kIoTimeoutMs), 0u);
    std::wstring reply;
    ASSERT_EQ(client.Transact(request, reply, kIoTimeoutMs), 0u);
    EXPECT_EQ(reply.size(), 5005u);
    EXPECT_TRUE(reply == L"3000:" + std::wstring(5000, L'r')) << "the reply came back altered";
    ASSERT_EQ(client.Transact(L"next", reply, kIoTimeoutMs), 0u);
    EXPECT_EQ(reply.substr(0, 2), L"4:");
    EXPECT_EQ(g_recorder.Requests(), (std::vector<std::wstring>{request, L"next"}));
}

TEST_F(PipeServerTest, ClientGoneDuringReplyLeavesInstanceListening)
{
    RunningPipeServers servers(RecordingCallback, 1);
    g_recorder.replyFiller = 200000;
    {
        ControlConnection leaving;
        ASSERT_EQ(leaving.Open(servers.Name(), kIoTimeoutMs), 0u);
        ASSERT_EQ(leaving.Send(L"big", kIoTimeoutMs), 0u);
        // Wait until the server took the request, then go without reading.
        for (int i = 0; i < 1000 && g_recorder.Requests().empty(); ++i)
            Sleep(5);
    }
    g_recorder.replyFiller = 0;
    ControlConnection next;
    ASSERT_EQ(next.Open(servers.Name(), kIoTimeoutMs), 0u) << "the one instance is not listening again";
    std::wstring reply;
    ASSERT_EQ(next.Transact(L"again", reply, kIoTimeoutMs), 0u);
    EXPECT_EQ(reply, L"5:");
}

TEST_F(PipeServerTest, EmptyMessageDropsTheClient)
{
    RunningPipeServers servers(RecordingCallback, 1);
    ControlConnection client;
    ASSERT_EQ(client.Open(servers.Name(), kIoTimeoutMs), 0u);
    ASSERT_EQ(client.SendBytes("", 0, kIoTimeoutMs), 0u);
    std::wstring reply;
    EXPECT_NE(client.Receive(reply, kIoTimeoutMs), 0u) << "an empty message was answered";
    ControlConnection next;
    ASSERT_EQ(next.Open(servers.Name(), kIoTimeoutMs), 0u);
    ASSERT_EQ(next.Transact(L"x", reply, kIoTimeoutMs), 0u);
    EXPECT_EQ(reply, L"1:");
    EXPECT_EQ(g_recorder.Requests(), (std::vector<std::wstring>{L"x"}));
}

TEST_F(PipeServerTest, TenClientsAreServedAtOnce)
{
    RunningPipeServers servers(Dispatch);
    ASSERT_TRUE(servers.Started());
    std::vector<ControlConnection> clients(kPipeInstanceCount);
    for (auto& client : clients)
        ASSERT_EQ(client.Open(servers.Name(), kIoTimeoutMs), 0u);
    HANDLE eleventh = CreateFileW(servers.Name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
    EXPECT_EQ(eleventh, INVALID_HANDLE_VALUE) << "more than ten instances";
    if (eleventh != INVALID_HANDLE_VALUE)
        CloseHandle(eleventh);

    std::vector<std::thread> threads;
    std::atomic<int> acks{0};
    for (auto& client : clients) {
        threads.emplace_back([&client, &acks] {
            for (int i = 0; i < 5; ++i) {
                std::wstring reply;
                if (client.Transact(L"PING", reply, kIoTimeoutMs) == 0 && reply == L"ACK")
                    ++acks;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(acks.load(), 50);
}

TEST_F(PipeServerTest, ClientThatComesBeforeConnectIsAccepted)
{
    std::wstring name = test::UniqueName(L"\\\\.\\pipe\\qvxtest-early");
    SVHServerPipe server;
    ASSERT_EQ(server.Create(name.c_str(), 1, 0), 0u);
    EXPECT_EQ(server.State(), PipeState::NotConnected);
    ControlConnection client;
    ASSERT_EQ(client.Open(name, kIoTimeoutMs), 0u);
    ASSERT_EQ(server.Connect(), 0u);
    EXPECT_EQ(server.State(), PipeState::Connected);
    EXPECT_EQ(WaitForSingleObject(server.IoEvent(), 0), WAIT_OBJECT_0) << "the first read would not follow";

    KernelHandle shutdown(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(server.Start(Dispatch, shutdown.Get()));
    std::wstring reply;
    ASSERT_EQ(client.Transact(L"PING", reply, kIoTimeoutMs), 0u);
    EXPECT_EQ(reply, L"ACK");
    EXPECT_TRUE(server.Stop(kIoTimeoutMs));
}

TEST_F(PipeServerTest, ClientThatCameAndWentBeforeConnectDoesNotEndTheInstance)
{
    std::wstring name = test::UniqueName(L"\\\\.\\pipe\\qvxtest-gone");
    SVHServerPipe server;
    ASSERT_EQ(server.Create(name.c_str(), 1, 0), 0u);
    {
        ControlConnection gone;
        ASSERT_EQ(gone.Open(name, kIoTimeoutMs), 0u);
    }
    EXPECT_EQ(server.Connect(), 0u);
    EXPECT_NE(server.State(), PipeState::Error);

    KernelHandle shutdown(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(server.Start(Dispatch, shutdown.Get()));
    ControlConnection next;
    ASSERT_EQ(next.Open(name, kIoTimeoutMs), 0u);
    std::wstring reply;
    ASSERT_EQ(next.Transact(L"PING", reply, kIoTimeoutMs), 0u);
    EXPECT_EQ(reply, L"ACK");
    EXPECT_TRUE(server.Stop(kIoTimeoutMs));
}

TEST_F(PipeServerTest, DroppedClientLeavesNothingForTheNext)
{
    std::wstring name = test::UniqueName(L"\\\\.\\pipe\\qvxtest-drop");
    SVHServerPipe server;
    ASSERT_EQ(server.Create(name.c_str(), 1, 0), 0u);
    ControlConnection client;
    ASSERT_EQ(client.Open(name, kIoTimeoutMs), 0u);
    ASSERT_EQ(server.Connect(), 0u);
    ASSERT_EQ(client.Send(L"SET_SERVICE_STATUS,foo", kIoTimeoutMs), 0u);
    for (int step = 0; step < 4 && server.State() != PipeState::Writing; ++step) {
        WaitForSingleObject(server.IoEvent(), kIoTimeoutMs);
        server.AdvanceIo();
    }
    ASSERT_EQ(server.State(), PipeState::Writing);
    EXPECT_TRUE(server.IsCommand(L"SET_SERVICE_STATUS"));
    server.SetReply(L"never sent");

    EXPECT_EQ(server.Reconnect(), 0u);
    EXPECT_EQ(server.State(), PipeState::Connecting);
    EXPECT_TRUE(server.PendingRequest().empty());
    EXPECT_FALSE(server.IsCommand(L"SET_SERVICE_STATUS"));
    std::wstring reply;
    EXPECT_NE(client.Receive(reply, kIoTimeoutMs), 0u) << "the dropped client got a reply";
}

TEST_F(PipeServerTest, ShutdownEventEndsEveryThreadAndStopEndsOne)
{
    RunningPipeServers servers(Dispatch);
    PipeServerList& list = servers.Servers();
    ASSERT_EQ(list.size(), kPipeInstanceCount);
    EXPECT_TRUE(list[0]->Start(Dispatch, servers.ShutdownEvent())) << "a second Start of a running thread fails";

    ASSERT_TRUE(list[0]->Stop(kIoTimeoutMs));
    EXPECT_FALSE(list[0]->IsRunning());
    for (size_t i = 1; i < list.size(); ++i)
        EXPECT_TRUE(list[i]->IsRunning()) << i;

    ASSERT_TRUE(list[0]->Start(Dispatch, servers.ShutdownEvent()));
    EXPECT_TRUE(list[0]->IsRunning()) << "a restarted thread saw the old stop request";

    SetEvent(servers.ShutdownEvent());
    for (auto& server : list)
        EXPECT_EQ(WaitForSingleObject(server->IoThread(), kIoTimeoutMs), WAIT_OBJECT_0);
}

TEST_F(PipeServerTest, StartNeedsAShutdownEvent)
{
    test::TraceCapture traces;
    SVHServerPipe server;
    EXPECT_FALSE(server.Start(Dispatch, nullptr));
    EXPECT_FALSE(server.IsRunning());
    EXPECT_TRUE(traces.Contains(trace::kError, L"shutdown event")) << traces.Dump();
    EXPECT_TRUE(server.Stop(0)) << "stopping an instance without thread succeeds";
}

std::atomic<int> g_errorCallbacks{0};
void CountingCallback(SVHServerPipe&)
{
    ++g_errorCallbacks;
}

TEST_F(PipeServerTest, InstanceInErrorNeitherServesNorSpins)
{
    SVHServerPipe server;
    EXPECT_EQ(server.Create(nullptr, 1, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(server.State(), PipeState::Error);
    EXPECT_EQ(WaitForSingleObject(server.IoEvent(), 0), WAIT_OBJECT_0) << "the I/O event starts signalled";

    KernelHandle shutdown(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_errorCallbacks = 0;
    ASSERT_TRUE(server.Start(CountingCallback, shutdown.Get()));
    Sleep(100);
    EXPECT_EQ(g_errorCallbacks.load(), 0) << "the thread ran on the signalled event of a dead instance";
    EXPECT_TRUE(server.IsRunning());
    SetEvent(shutdown.Get());
    EXPECT_EQ(WaitForSingleObject(server.IoThread(), kIoTimeoutMs), WAIT_OBJECT_0);
}

TEST_F(PipeServerTest, CreateRecordsAMissingNameAndClearsTheBlockOnSuccess)
{
    DiagnosticBlock block;
    memset(&block, 0xCC, sizeof(block));
    block.text[sizeof(block.text) - 1] = '\0';
    PublishDiagnosticBlock(&block);
    SVHServerPipe server;
    for (const wchar_t* missing : {static_cast<const wchar_t*>(nullptr), L""}) {
        EXPECT_EQ(server.Create(missing, 1, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(block.failureCode, pipe_failure::kMissingName);
        EXPECT_STREQ(block.text, "ERROR: SVHServerPipe::Create - Invalid pointer parameter in pipeName!");
        EXPECT_EQ(server.State(), PipeState::Error);
    }
    std::wstring name = test::UniqueName(L"\\\\.\\pipe\\qvxtest-block");
    EXPECT_EQ(server.Create(name.c_str(), 1, 0), 0u);
    EXPECT_EQ(server.State(), PipeState::NotConnected) << "a good Create after a failed one";
    EXPECT_EQ(block.failureCode, 0u);
    EXPECT_EQ(block.text[0], '\0');
    PublishDiagnosticBlock(nullptr);
}

TEST_F(PipeServerTest, PipeDaclHoldsTheFourEntriesInOrder)
{
    std::wstring name = test::UniqueName(L"\\\\.\\pipe\\qvxtest-dacl");
    SVHServerPipe server;
    ASSERT_EQ(server.Create(name.c_str(), 1, 0), 0u);

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(server.PipeHandle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalMemory owner(descriptor);
    ASSERT_NE(dacl, nullptr);
    ASSERT_EQ(dacl->AceCount, 4u);

    struct Expected {
        BYTE type;
        const wchar_t* sid;
    };
    const Expected expected[] = {
        {ACCESS_DENIED_ACE_TYPE, L"S-1-5-2"},
        {ACCESS_ALLOWED_ACE_TYPE, L"S-1-5-18"},
        {ACCESS_ALLOWED_ACE_TYPE, L"S-1-5-19"},
        {ACCESS_ALLOWED_ACE_TYPE, L"S-1-5-32-544"},
    };
    for (DWORD i = 0; i < 4; ++i) {
        ACE_HEADER* header = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&header)));
        EXPECT_EQ(header->AceType, expected[i].type) << i;
        EXPECT_EQ(header->AceFlags, 0) << "entry " << i << " is inherited or inheritable";
        // Allowed and denied entries share their layout.
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        EXPECT_EQ(ace->Mask & STANDARD_RIGHTS_ALL, static_cast<DWORD>(STANDARD_RIGHTS_ALL)) << i;
        wchar_t* sidText = nullptr;
        ASSERT_TRUE(ConvertSidToStringSidW(&ace->SidStart, &sidText));
        LocalMemory sidOwner(sidText);
        EXPECT_STREQ(sidText, expected[i].sid) << i;
    }
}

// A callback that stays in its first call until the test lets it go, and
// then still works on the instance it was called with.
struct BlockingCallbackGate {
    KernelHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    KernelHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    KernelHandle destroyed{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<bool> completed{false};
    std::atomic<bool> ranAfterDestruction{false};
};
BlockingCallbackGate* g_gate = nullptr;

void BlockingCallback(SVHServerPipe& pipe)
{
    SetEvent(g_gate->entered.Get());
    WaitForSingleObject(g_gate->release.Get(), INFINITE);
    if (WaitForSingleObject(g_gate->destroyed.Get(), 0) == WAIT_OBJECT_0)
        g_gate->ranAfterDestruction = true;
    pipe.AdvanceIo();
    pipe.SetReply(L"still here");
    g_gate->completed = true;
}

class PipeStopTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_gate = &gate_;
        name_ = test::UniqueName(L"\\\\.\\pipe\\qvxtest-stop");
    }
    void TearDown() override
    {
        // Whatever failed, no thread may stay blocked on the gate.
        SetEvent(gate_.release.Get());
    }

    // Starts `server` and brings its thread into the blocking callback.
    void EnterCallback(SVHServerPipe& server, HANDLE shutdown)
    {
        ASSERT_EQ(server.Create(name_.c_str(), 1, 0), 0u);
        ASSERT_EQ(server.Connect(), 0u);
        ASSERT_TRUE(server.Start(BlockingCallback, shutdown));
        ASSERT_EQ(client_.Open(name_, kIoTimeoutMs), 0u);
        ASSERT_EQ(WaitForSingleObject(gate_.entered.Get(), kIoTimeoutMs), WAIT_OBJECT_0);
    }

    BlockingCallbackGate gate_;
    std::wstring name_;
    ControlConnection client_;
};

TEST_F(PipeStopTest, StopThatTimesOutKeepsTheThreadUntilItHasEnded)
{
    PipeServerList list;
    list.push_back(std::make_unique<SVHServerPipe>());
    KernelHandle shutdown(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EnterCallback(*list[0], shutdown.Get());

    EXPECT_FALSE(StopPipeServers(list, shutdown.Get())) << "a thread still in its callback counted as stopped";
    EXPECT_TRUE(list[0]->IsRunning());
    EXPECT_NE(list[0]->IoThread(), nullptr);
    EXPECT_FALSE(list[0]->Stop(0)) << "a later stop did not wait again";
    EXPECT_FALSE(list[0]->Start(BlockingCallback, shutdown.Get())) << "a thread on its way out counted as started";

    // The owner of the shutdown event closes it once the stop has failed;
    // the thread still ends cleanly when its callback returns.
    shutdown.Reset();
    SetEvent(gate_.release.Get());
    EXPECT_TRUE(list[0]->Stop(kIoTimeoutMs));
    EXPECT_FALSE(list[0]->IsRunning());
    EXPECT_EQ(list[0]->IoThread(), nullptr);
    EXPECT_TRUE(gate_.completed.load());
    EXPECT_TRUE(list[0]->Stop(0)) << "stopping a stopped instance";
    list.clear();
}

// Sets an event when the destructor says that it waits for a busy thread.
void SignalDestructorWait(const trace::Record& record, void* event)
{
    if (record.text.find(L"still busy at destruction") != std::wstring::npos)
        SetEvent(static_cast<HANDLE>(event));
}

TEST_F(PipeStopTest, DestroyingAnInstanceWaitsForItsThreadAfterAFailedStop)
{
    auto server = std::make_unique<SVHServerPipe>();
    KernelHandle shutdown(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EnterCallback(*server, shutdown.Get());
    EXPECT_FALSE(server->Stop(0));

    KernelHandle destructorWaits(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    trace::SetObserver(SignalDestructorWait, destructorWaits.Get());
    std::thread destroyer([&server, this] {
        server.reset();
        SetEvent(gate_.destroyed.Get());
    });
    HANDLE either[2] = {gate_.destroyed.Get(), destructorWaits.Get()};
    DWORD first = WaitForMultipleObjects(2, either, FALSE, kIoTimeoutMs);
    trace::SetObserver(nullptr, nullptr);
    EXPECT_EQ(first, WAIT_OBJECT_0 + 1) << "the instance was destroyed under its running thread";

    SetEvent(gate_.release.Get());
    destroyer.join();
    EXPECT_TRUE(gate_.completed.load());
    EXPECT_FALSE(gate_.ranAfterDestruction.load()) << "the callback ran on a destroyed instance";
}

// The child's end: the diagnostic block as text, then the abnormal exit.
DiagnosticBlock g_childBlock;
std::atomic<unsigned> g_childCreateFailures{0};

void CountCreateFailures(const trace::Record& record, void*)
{
    if (record.level == trace::kError && record.text.find(L"CreateNamedPipe failed") != std::wstring::npos)
        ++g_childCreateFailures;
}

void PrintBlockOnAbort(int)
{
    printf("failure=%08X result=%08X lastError=%u handleCount=%u attempts=%u text=[%s]\n",
           g_childBlock.failureCode, g_childBlock.result, g_childBlock.lastError, g_childBlock.handleCount,
           g_childCreateFailures.load(), g_childBlock.text);
    if (g_childBlock.failureCode == pipe_failure::kCreateNamedPipe)
        printf("maxInstances=%u name=[%s]\n", g_childBlock.index, reinterpret_cast<const char*>(g_childBlock.handles));
    fflush(stdout);
    _exit(3);
}

void PrepareChildForAbort()
{
    memset(&g_childBlock, 0, sizeof(g_childBlock));
    PublishDiagnosticBlock(&g_childBlock);
    signal(SIGABRT, PrintBlockOnAbort);
    trace::SetObserver(&CountCreateFailures, nullptr);
}

TEST(PipeServerAbort, PipeThatCannotBeCreatedEndsTheProcess)
{
    if (test::ChildMode() == L"create") {
        PrepareChildForAbort();
        PipeServerList servers;
        CreatePipeServers(servers, L"\\\\.\\notapipe\\svhserver", 1);
        printf("survived\n");
        return;
    }
    test::ChildResult child = test::RunChild(L"PipeServerAbort.PipeThatCannotBeCreatedEndsTheProcess", L"create");
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(child.exitCode, 3u) << child.output;
    EXPECT_EQ(child.output.find("survived"), std::string::npos) << child.output;
    EXPECT_NE(child.output.find("failure=0E0E0E0A result=FFFFFFFF"), std::string::npos) << child.output;
    EXPECT_NE(child.output.find("text=[ERROR: SVHServerPipe::Create - CreateNamedPipe failed!]"), std::string::npos)
        << child.output;
    EXPECT_NE(child.output.find("maxInstances=255 name=[\\\\.\\notapipe\\svhserver]"), std::string::npos)
        << child.output;
    EXPECT_NE(child.output.find("attempts=3 "), std::string::npos) << "created once and retried twice: " << child.output;
}

TEST(PipeServerAbort, ImpossibleWaitResultEndsTheProcess)
{
    if (test::ChildMode() == L"wait") {
        PrepareChildForAbort();
        SVHServerPipe server;
        server.Start(Dispatch, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff0)));
        WaitForSingleObject(server.IoThread(), 10000);
        printf("survived\n");
        return;
    }
    test::ChildResult child = test::RunChild(L"PipeServerAbort.ImpossibleWaitResultEndsTheProcess", L"wait");
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(child.exitCode, 3u) << child.output;
    EXPECT_NE(child.output.find("failure=0E0E0E0B result=FFFFFFFF lastError=6 handleCount=3"), std::string::npos)
        << child.output;
    EXPECT_NE(child.output.find("text=[ERROR: SVHServerPipe::MessageIo - Invalid wait result!]"), std::string::npos)
        << child.output;
}

} // namespace
} // namespace qvx
