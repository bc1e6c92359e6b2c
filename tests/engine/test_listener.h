#pragma once
// A hosted service's listener pipe for tests, on a private name.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/listener_pipe.h"
#include "platform/handles.h"
#include "tests/support/unique_name.h"

namespace qvx::test {

using Messages = std::vector<std::wstring>;

inline constexpr DWORD kListenerWaitMs = 20000;
// Sent by a test after an operation: once it has arrived, everything the
// operation sent before it has arrived too.
inline constexpr wchar_t kMarker[] = L"MARKER";

// A hosted service's listener pipe: serves one client after the other on a
// private name, keeps the text of every message it reads, and answers a
// transaction with the reply its table holds for the message's first field.
class TestListener {
public:
    struct Options {
        std::map<std::wstring, std::wstring> replies;
        // Instances without buffer: a post stays pending until the server
        // reads its message.
        bool unbuffered = false;
        // Messages are read only after Release() (implies unbuffered).
        bool holdUntilReleased = false;
        // Runs on the server's thread when a client has connected, before
        // its message is read.
        std::function<void()> onConnect;
        // The instance is closed with the message unread, as by a process
        // that ends.
        bool dropUnread = false;
    };

    TestListener() : TestListener(Options{}) {}
    explicit TestListener(Options options)
        : name_(UniqueName(L"\\\\.\\pipe\\qvxtest-ops")), options_(std::move(options)),
          release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          connected_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        next_ = CreateInstance();
        thread_ = std::thread([this] { Serve(); });
    }

    ~TestListener()
    {
        stopping_ = true;
        Release();
        // Lets go of a server that waits for its next client.
        KernelHandle(CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        thread_.join();
    }

    const std::wstring& Name() const { return name_; }
    void Release() { SetEvent(release_.Get()); }
    // Set once the first client has connected.
    HANDLE Connected() const { return connected_.Get(); }

    // Waits until `count` messages have arrived; false after kListenerWaitMs.
    bool WaitForMessages(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::milliseconds(kListenerWaitMs),
                                 [&] { return messages_.size() >= count; });
    }
    Messages Received()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    // What the operations under test sent: posts a marker and returns every
    // message that came before it.
    Messages SentBefore()
    {
        EXPECT_EQ(PostListenerMessage(name_.c_str(), kMarker, kListenerPostTimeoutMs), 0u);
        std::unique_lock<std::mutex> lock(mutex_);
        auto marker = messages_.end();
        EXPECT_TRUE(arrived_.wait_for(lock, std::chrono::milliseconds(kListenerWaitMs), [&] {
            marker = std::find(messages_.begin(), messages_.end(), kMarker);
            return marker != messages_.end();
        }));
        Messages before(messages_.begin(), marker);
        if (marker != messages_.end())
            messages_.erase(marker);
        return before;
    }

private:
    KernelHandle CreateInstance()
    {
        const DWORD buffer = options_.unbuffered || options_.holdUntilReleased ? 0 : 4096;
        return KernelHandle(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX,
                                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                             PIPE_UNLIMITED_INSTANCES, buffer, buffer, 0, nullptr));
    }

    void Serve()
    {
        for (;;) {
            KernelHandle instance = std::move(next_);
            // A client that posted and closed before the server got here has
            // still left its message in the pipe.
            const bool connected = ConnectNamedPipe(instance.Get(), nullptr) ||
                                   GetLastError() == ERROR_PIPE_CONNECTED || GetLastError() == ERROR_NO_DATA;
            if (stopping_ || !connected)
                return;
            // The next client finds an instance while this one is served.
            next_ = CreateInstance();
            SetEvent(connected_.Get());
            if (options_.onConnect)
                options_.onConnect();
            if (options_.holdUntilReleased)
                WaitForSingleObject(release_.Get(), INFINITE);
            if (!options_.dropUnread)
                Serve(instance.Get());
        }
    }

    void Serve(HANDLE instance)
    {
        std::vector<unsigned char> bytes;
        unsigned char chunk[1024];
        for (;;) {
            DWORD read = 0;
            const BOOL ok = ReadFile(instance, chunk, sizeof(chunk), &read, nullptr);
            bytes.insert(bytes.end(), chunk, chunk + read);
            if (ok || GetLastError() != ERROR_MORE_DATA)
                break;
        }
        if (bytes.empty())
            return;
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
        if (!text.empty() && text.back() == L'\0')
            text.pop_back();
        const auto reply = options_.replies.find(text.substr(0, text.find(L',')));
        if (reply != options_.replies.end()) {
            DWORD written = 0;
            WriteFile(instance, reply->second.c_str(), static_cast<DWORD>((reply->second.size() + 1) * 2), &written,
                      nullptr);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back(text);
        }
        arrived_.notify_all();
        // Keeps the instance until the client has closed its end.
        DWORD read = 0;
        while (ReadFile(instance, chunk, sizeof(chunk), &read, nullptr) || GetLastError() == ERROR_MORE_DATA) {
        }
    }

    std::wstring name_;
    Options options_;
    KernelHandle release_;
    KernelHandle connected_;
    KernelHandle next_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable arrived_;
    Messages messages_;
    std::thread thread_;
};

} // namespace qvx::test
