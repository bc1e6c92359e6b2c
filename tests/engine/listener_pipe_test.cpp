#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/listener_pipe.h"
#include "platform/handles.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr DWORD kServerWaitMs = 20000;

Bytes MessageBytes(const std::wstring& text)
{
    const auto* first = reinterpret_cast<const unsigned char*>(text.c_str());
    return Bytes(first, first + (text.size() + 1) * sizeof(wchar_t));
}

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

KernelHandle CreateListenerInstance(const std::wstring& name)
{
    return KernelHandle(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                         PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
}

// A listener pipe as a hosted service serves it: one message-mode instance
// on a private name whose thread takes one message, answers with `reply`
// when there is one, and then waits until the client has closed its end.
class TestListener {
public:
    explicit TestListener(std::optional<Bytes> reply = std::nullopt, DWORD serveAfterMs = 0)
        : TestListener(qvx::test::UniqueName(L"\\\\.\\pipe\\qvxtest-listener"), std::move(reply), serveAfterMs)
    {
    }

    // serveAfterMs > 0: the instance is created only after that pause, so
    // that a client that finds the pipe busy meanwhile gets it later.
    TestListener(std::wstring name, std::optional<Bytes> reply, DWORD serveAfterMs)
        : name_(std::move(name)), reply_(std::move(reply)), done_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        if (serveAfterMs == 0)
            instance_ = CreateListenerInstance(name_);
        thread_ = std::thread([this, serveAfterMs] { Serve(serveAfterMs); });
    }

    ~TestListener()
    {
        // A server still waiting for its client is let go by one that
        // connects and closes at once.
        for (int attempt = 0; attempt < 200 && WaitForSingleObject(done_.Get(), 50) == WAIT_TIMEOUT; ++attempt)
            KernelHandle(CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
        thread_.join();
    }

    const std::wstring& Name() const { return name_; }
    const wchar_t* Path() const { return name_.c_str(); }

    // True once the client has closed its end after the exchange.
    bool WaitClientGone() { return WaitForSingleObject(done_.Get(), kServerWaitMs) == WAIT_OBJECT_0; }
    // What the server read as one message; valid after WaitClientGone.
    const Bytes& Received() const { return received_; }
    bool ClientClosed() const { return clientClosed_; }

private:
    void Serve(DWORD serveAfterMs)
    {
        if (serveAfterMs > 0) {
            Sleep(serveAfterMs);
            instance_ = CreateListenerInstance(name_);
        }
        // A client that posted and closed before the server got here has
        // still left its message in the pipe.
        if (instance_ && (ConnectNamedPipe(instance_.Get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED ||
                          GetLastError() == ERROR_NO_DATA)) {
            ReadMessage();
            if (reply_) {
                DWORD written = 0;
                WriteFile(instance_.Get(), reply_->data(), static_cast<DWORD>(reply_->size()), &written, nullptr);
            }
            unsigned char rest[64];
            DWORD read = 0;
            clientClosed_ = !ReadFile(instance_.Get(), rest, sizeof(rest), &read, nullptr) &&
                            GetLastError() == ERROR_BROKEN_PIPE;
        }
        SetEvent(done_.Get());
    }

    void ReadMessage()
    {
        unsigned char chunk[1000];
        for (;;) {
            DWORD read = 0;
            const BOOL ok = ReadFile(instance_.Get(), chunk, sizeof(chunk), &read, nullptr);
            received_.insert(received_.end(), chunk, chunk + read);
            if (ok || GetLastError() != ERROR_MORE_DATA)
                return;
        }
    }

    std::wstring name_;
    std::optional<Bytes> reply_;
    KernelHandle instance_;
    KernelHandle done_;
    Bytes received_;
    bool clientClosed_ = false;
    std::thread thread_;
};

TEST(ListenerPipe, PostDeliversTheWholeMessageWithItsNul)
{
    const std::wstring messages[] = {
        L"SERVICE_CONTROL_STOP,svc",
        // Longer than a reader's usual chunk: still one message.
        L"SERVICE_CONTROL_QVX_MISC,svc,1,2,3000," + std::wstring(3000, L'A'),
    };
    for (const std::wstring& message : messages) {
        TestListener listener;
        EXPECT_EQ(PostListenerMessage(listener.Path(), message, kListenerPostTimeoutMs), 0u);
        ASSERT_TRUE(listener.WaitClientGone());
        EXPECT_EQ(listener.Received().size(), (message.size() + 1) * 2);
        EXPECT_EQ(listener.Received(), MessageBytes(message));
        EXPECT_TRUE(listener.ClientClosed());
    }
}

TEST(ListenerPipe, TransactionReplies)
{
    const std::wstring fullBuffer(kListenerReplyBytes / 2, L'x');
    Bytes fullWithoutNul = MessageBytes(fullBuffer);
    fullWithoutNul.resize(kListenerReplyBytes);
    Bytes afterNul = MessageBytes(L"ACK");
    const Bytes junk = MessageBytes(L"junk");
    afterNul.insert(afterNul.end(), junk.begin(), junk.end());
    Bytes withoutNul = MessageBytes(L"SERVICE_RUNNING");
    withoutNul.resize(withoutNul.size() - 2);

    struct Case {
        const char* name;
        Bytes reply;
        DWORD error;
        std::wstring text;
    };
    const Case cases[] = {
        {"state name", MessageBytes(L"SERVICE_RUNNING"), 0, L"SERVICE_RUNNING"},
        {"reply without its NUL", withoutNul, 0, L"SERVICE_RUNNING"},
        {"text ends at the first NUL", afterNul, 0, L"ACK"},
        {"empty reply", MessageBytes(L""), 0, L""},
        {"reply fills the buffer without a NUL", fullWithoutNul, 0, fullBuffer},
        {"reply longer than the buffer", MessageBytes(std::wstring(1500, L'y')), ERROR_MORE_DATA, L""},
    };
    for (const Case& c : cases) {
        TestListener listener(c.reply);
        std::wstring reply = L"left over";
        EXPECT_EQ(TransactListenerMessage(listener.Path(), L"SERVICE_CONTROL_INTERROGATE,svc", reply), c.error)
            << c.name;
        EXPECT_EQ(reply, c.text) << c.name;
        ASSERT_TRUE(listener.WaitClientGone()) << c.name;
        EXPECT_EQ(listener.Received(), MessageBytes(L"SERVICE_CONTROL_INTERROGATE,svc")) << c.name;
        EXPECT_TRUE(listener.ClientClosed()) << c.name;
    }
}

TEST(ListenerPipe, InvalidArguments)
{
    TestListener listener(MessageBytes(L"ACK"));
    struct Case {
        const char* name;
        const wchar_t* path;
        std::wstring_view message;
    };
    const Case cases[] = {
        {"null path", nullptr, L"PING"},
        {"empty message", listener.Path(), L""},
        {"null message", listener.Path(), std::wstring_view()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PostListenerMessage(c.path, c.message, kListenerPostTimeoutMs), DWORD{ERROR_INVALID_PARAMETER})
            << c.name;
        std::wstring reply = L"left over";
        EXPECT_EQ(TransactListenerMessage(c.path, c.message, reply), DWORD{ERROR_INVALID_PARAMETER}) << c.name;
        EXPECT_EQ(reply, L"") << c.name;
    }
}

TEST(ListenerPipe, MissingPipeGivesTheOpenError)
{
    const std::wstring name = qvx::test::UniqueName(L"\\\\.\\pipe\\qvxtest-nolistener");
    EXPECT_EQ(PostListenerMessage(name.c_str(), L"PING", kListenerPostTimeoutMs), DWORD{ERROR_FILE_NOT_FOUND});
    std::wstring reply = L"left over";
    EXPECT_EQ(TransactListenerMessage(name.c_str(), L"PING", reply), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(reply, L"");
}

// The pipe's one instance held by another client makes the pipe busy.
class BusyPipe {
public:
    explicit BusyPipe(const std::wstring& name)
        : instance_(CreateListenerInstance(name)),
          taker_(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr))
    {
    }
    bool Taken() const { return instance_.IsValid() && taker_.IsValid(); }

private:
    KernelHandle instance_;
    KernelHandle taker_;
};

TEST(ListenerPipe, BusyPipeIsRetriedUntilAnInstanceComesFree)
{
    const std::wstring name = qvx::test::UniqueName(L"\\\\.\\pipe\\qvxtest-busy");
    BusyPipe busy(name);
    ASSERT_TRUE(busy.Taken());
    // A second instance appears after a few of the client's waits.
    TestListener listener(name, std::nullopt, 350);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(PostListenerMessage(name.c_str(), L"SERVICE_CONTROL_STOP,svc", kListenerPostTimeoutMs), 0u);
    EXPECT_GE(MillisecondsSince(start), 300);
    ASSERT_TRUE(listener.WaitClientGone());
    EXPECT_EQ(listener.Received(), MessageBytes(L"SERVICE_CONTROL_STOP,svc"));
}

TEST(ListenerPipe, PipeThatStaysBusyGives231)
{
    const std::wstring name = qvx::test::UniqueName(L"\\\\.\\pipe\\qvxtest-busy");
    BusyPipe busy(name);
    ASSERT_TRUE(busy.Taken());
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(PostListenerMessage(name.c_str(), L"SERVICE_CONTROL_STOP,svc", kListenerPostTimeoutMs),
              DWORD{ERROR_PIPE_BUSY});
    // Nine waits of 100 ms lie between the ten attempts.
    EXPECT_GE(MillisecondsSince(start), 850);
    std::wstring reply = L"left over";
    EXPECT_EQ(TransactListenerMessage(name.c_str(), L"PING", reply), DWORD{ERROR_PIPE_BUSY});
    EXPECT_EQ(reply, L"");
}

TEST(ListenerPipe, PostThatIsNeverReadTimesOut)
{
    // An instance with no buffer whose server never reads: the write stays
    // pending until the time-out.
    const std::wstring name = qvx::test::UniqueName(L"\\\\.\\pipe\\qvxtest-unread");
    KernelHandle instance(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 0, 0, nullptr));
    ASSERT_TRUE(instance.IsValid());
    const std::wstring message = L"SERVICE_CONTROL_SHUTDOWN," + std::wstring(32768, L's');
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(PostListenerMessage(name.c_str(), message, 300), DWORD{WAIT_TIMEOUT});
    EXPECT_GE(MillisecondsSince(start), 250);

    // The client's end is closed: what the server reads ends in a broken pipe.
    std::vector<unsigned char> chunk(65536);
    DWORD read = 0;
    while (ReadFile(instance.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr) ||
           GetLastError() == ERROR_MORE_DATA) {
    }
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BROKEN_PIPE});
}

TEST(ListenerPipe, TransactionWithoutReplyTimesOutAndLetsGoOfThePipe)
{
    TestListener silent;
    const Clock::time_point start = Clock::now();
    std::wstring reply = L"left over";
    EXPECT_EQ(TransactListenerMessage(silent.Path(), L"PING", reply), DWORD{WAIT_TIMEOUT});
    EXPECT_GE(MillisecondsSince(start), static_cast<long long>(kListenerTransactTimeoutMs) - 50);
    EXPECT_EQ(reply, L"");
    ASSERT_TRUE(silent.WaitClientGone());
    EXPECT_TRUE(silent.ClientClosed());
}

} // namespace
} // namespace qvx
