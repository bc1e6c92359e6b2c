#include "tests/support/fake_control_pipe.h"

#include <algorithm>
#include <memory>

#include "platform/locks.h"
#include "tests/support/child_process.h"
#include "tests/support/unique_name.h"

namespace qvx::test {

namespace {

// Clients that may wait on the pipe at once: a state report from one thread
// while another thread fetches its start arguments.
constexpr int kInstances = 3;

bool StartsWith(const std::wstring& text, const wchar_t* head)
{
    return text.compare(0, wcslen(head), head) == 0;
}

// One message, however many reads it takes; text after a NUL is dropped.
std::wstring ReadMessage(HANDLE pipe)
{
    std::wstring text;
    bool cut = false;
    for (;;) {
        wchar_t chunk[1024] = {};
        DWORD bytes = 0;
        const BOOL done = ReadFile(pipe, chunk, sizeof(chunk), &bytes, nullptr);
        if (!done && GetLastError() != ERROR_MORE_DATA)
            return text;
        const size_t chars = bytes / sizeof(wchar_t);
        const size_t length = std::find(chunk, chunk + chars, L'\0') - chunk;
        if (!cut)
            text.append(chunk, length);
        cut = cut || length < chars;
        if (done)
            return text;
    }
}

} // namespace

FakeControlPipe::FakeControlPipe(std::map<std::wstring, std::wstring> replies)
    : name_(L"\\\\.\\pipe\\" + UniqueName(L"fake-control")), changed_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      replies_(std::move(replies))
{
    // The instances exist before the constructor returns: a client started
    // right after it must find the pipe.
    for (int i = 0; i < kInstances; ++i) {
        auto pipe = std::make_shared<KernelHandle>(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX,
                                                                    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                                                    PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
        threads_.emplace_back([this, pipe] { Serve(*pipe); });
    }
}

FakeControlPipe::~FakeControlPipe()
{
    quit_ = true;
    // Each instance waits in ConnectNamedPipe: a connection wakes it.
    for (size_t i = 0; i < threads_.size(); ++i) {
        HANDLE pipe = CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE)
            CloseHandle(pipe);
    }
    for (auto& thread : threads_)
        thread.join();
}

void FakeControlPipe::SetReply(const std::wstring& request, const std::wstring& reply)
{
    SrwExclusiveGuard guard(lock_);
    replies_[request] = reply;
}

std::vector<std::wstring> FakeControlPipe::Requests() const
{
    SrwSharedGuard guard(lock_);
    return requests_;
}

long FakeControlPipe::Count(const std::wstring& request) const
{
    const auto requests = Requests();
    return static_cast<long>(std::count(requests.begin(), requests.end(), request));
}

bool FakeControlPipe::WaitFor(const std::wstring& request, long times) const
{
    const ULONGLONG deadline = GetTickCount64() + kChildDeadlineMs;
    while (Count(request) < times) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        WaitForSingleObject(changed_.Get(), static_cast<DWORD>(deadline - now));
    }
    return true;
}

void FakeControlPipe::Serve(const KernelHandle& pipe)
{
    if (!pipe)
        return;
    while (!quit_) {
        if (!ConnectNamedPipe(pipe.Get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            DisconnectNamedPipe(pipe.Get());
            continue;
        }
        if (quit_)
            break;
        const std::wstring request = ReadMessage(pipe.Get());
        std::wstring reply;
        {
            // Kept before it is answered: the client goes on once it has the reply.
            SrwExclusiveGuard guard(lock_);
            requests_.push_back(request);
            const auto found = replies_.find(request);
            if (found != replies_.end())
                reply = found->second;
            else if (StartsWith(request, L"SERVICE_START_PENDING,"))
                reply = L"SERVICE_NOT_FOUND";
        }
        SetEvent(changed_.Get());
        if (!StartsWith(request, L"SET_SERVICE_STATUS,")) {
            DWORD written = 0;
            WriteFile(pipe.Get(), reply.c_str(), static_cast<DWORD>((reply.size() + 1) * sizeof(wchar_t)), &written,
                      nullptr);
            FlushFileBuffers(pipe.Get());
        }
        DisconnectNamedPipe(pipe.Get());
    }
}

} // namespace qvx::test
