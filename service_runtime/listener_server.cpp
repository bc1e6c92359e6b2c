#include "service_runtime/listener_server.h"

#include "platform/trace.h"

namespace qvx::hosted {

namespace {

// The management service opens a fresh connection per message and may send
// from several threads at once (a stop while a broadcast runs).
constexpr int kInstances = 4;
constexpr DWORD kChunkBytes = 2048;
constexpr DWORD kBufferBytes = 4096;
// No listener message comes near this; a longer one is dropped unread.
constexpr size_t kMaxMessageChars = 64 * 1024;
constexpr DWORD kQuit = WAIT_TIMEOUT + 1;

} // namespace

ListenerServer::~ListenerServer()
{
    Stop();
}

DWORD ListenerServer::Start(const std::wstring& pipeName, Handler handler, DWORD clientTimeoutMs)
{
    pipeName_ = pipeName;
    handler_ = std::move(handler);
    clientTimeoutMs_ = clientTimeoutMs;
    quitEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!quitEvent_) {
        const DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 1, L"listener quit event not created", error);
        return error;
    }
    for (int i = 0; i < kInstances; ++i) {
        auto instance = std::make_unique<Instance>();
        instance->server = this;
        // Only the first instance may create the name: a process that already
        // serves it is another copy of this service, and this one must not
        // take its messages. Local clients only.
        const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        instance->pipe.Reset(CreateNamedPipeW(pipeName.c_str(), openMode,
                                              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT |
                                                  PIPE_REJECT_REMOTE_CLIENTS,
                                              PIPE_UNLIMITED_INSTANCES, kBufferBytes, kBufferBytes, 0, nullptr));
        if (!instance->pipe) {
            const DWORD error = GetLastError();
            QVX_TRACE(trace::kError, 2, L"listener pipe not created", pipeName, error);
            Stop();
            return error;
        }
        instance->ioEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!instance->ioEvent) {
            const DWORD error = GetLastError();
            QVX_TRACE(trace::kError, 3, L"listener event not created", error);
            Stop();
            return error;
        }
        instance->thread.Reset(CreateThread(nullptr, 0, InstanceThread, instance.get(), 0, nullptr));
        if (!instance->thread) {
            const DWORD error = GetLastError();
            QVX_TRACE(trace::kError, 4, L"listener thread not started", error);
            Stop();
            return error;
        }
        instances_.push_back(std::move(instance));
    }
    return ERROR_SUCCESS;
}

void ListenerServer::Stop()
{
    if (quitEvent_)
        SetEvent(quitEvent_.Get());
    for (auto& instance : instances_) {
        if (instance->thread)
            WaitForSingleObject(instance->thread.Get(), INFINITE);
    }
    instances_.clear();
    quitEvent_.Reset();
}

DWORD WINAPI ListenerServer::InstanceThread(void* parameter)
{
    auto* instance = static_cast<Instance*>(parameter);
    instance->server->Serve(*instance);
    return 0;
}

// 0 or the operation's error; WAIT_TIMEOUT after `timeoutMs`, kQuit when the
// server stops. An operation that did not end is cancelled and waited for,
// since it still owns the overlapped structure.
DWORD ListenerServer::Wait(Instance& instance, OVERLAPPED* overlapped, BOOL started, DWORD timeoutMs, DWORD* bytes)
{
    *bytes = 0;
    HANDLE pipe = instance.pipe.Get();
    if (!started) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return error;
        const HANDLE waits[] = {overlapped->hEvent, quitEvent_.Get()};
        const DWORD result = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
        if (result != WAIT_OBJECT_0) {
            CancelIoEx(pipe, overlapped);
            GetOverlappedResult(pipe, overlapped, bytes, TRUE);
            return result == WAIT_OBJECT_0 + 1 ? kQuit : WAIT_TIMEOUT;
        }
    }
    return GetOverlappedResult(pipe, overlapped, bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
}

bool ListenerServer::ReadMessage(Instance& instance, std::wstring* message)
{
    message->clear();
    bool cut = false;
    for (;;) {
        wchar_t chunk[kChunkBytes / sizeof(wchar_t)] = {};
        OVERLAPPED overlapped{};
        overlapped.hEvent = instance.ioEvent.Get();
        DWORD bytes = 0;
        const DWORD error = Wait(instance, &overlapped,
                                 ReadFile(instance.pipe.Get(), chunk, kChunkBytes, nullptr, &overlapped),
                                 clientTimeoutMs_, &bytes);
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
            if (error != kQuit && error != ERROR_BROKEN_PIPE)
                QVX_TRACE(trace::kWarning, 5, L"listener message not read", pipeName_, error);
            return false;
        }
        // The message's text ends at its first NUL.
        const size_t chars = bytes / sizeof(wchar_t);
        size_t length = 0;
        while (length < chars && chunk[length] != L'\0')
            ++length;
        if (!cut)
            message->append(chunk, length);
        cut = cut || length < chars;
        if (message->size() > kMaxMessageChars) {
            QVX_TRACE(trace::kWarning, 6, L"listener message too long, dropped", pipeName_, message->size());
            return false;
        }
        if (error == ERROR_SUCCESS)
            return true;
    }
}

void ListenerServer::Serve(Instance& instance)
{
    HANDLE pipe = instance.pipe.Get();
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = instance.ioEvent.Get();
        DWORD bytes = 0;
        DWORD error = ERROR_SUCCESS;
        // A client may connect before this call: ERROR_PIPE_CONNECTED, or
        // ERROR_NO_DATA when it has also written its message and closed, as a
        // post does. That message is still queued and is read like any other.
        const BOOL connected = ConnectNamedPipe(pipe, &overlapped);
        const DWORD connectError = connected ? ERROR_SUCCESS : GetLastError();
        if (connectError == ERROR_PIPE_CONNECTED || connectError == ERROR_NO_DATA)
            error = ERROR_SUCCESS;
        else
            error = Wait(instance, &overlapped, connected, INFINITE, &bytes);
        if (error == kQuit)
            return;
        if (error == ERROR_SUCCESS) {
            std::wstring message;
            if (ReadMessage(instance, &message)) {
                const std::optional<std::wstring> reply = handler_(message);
                if (reply) {
                    OVERLAPPED write{};
                    write.hEvent = instance.ioEvent.Get();
                    const DWORD size = static_cast<DWORD>((reply->size() + 1) * sizeof(wchar_t));
                    error = Wait(instance, &write, WriteFile(pipe, reply->c_str(), size, nullptr, &write),
                                 clientTimeoutMs_, &bytes);
                    if (error != ERROR_SUCCESS && error != kQuit)
                        QVX_TRACE(trace::kWarning, 7, L"listener reply not written", message, error);
                }
                // A disconnect drops what the client has not read yet: wait
                // until it closes its end (a poster closes at once).
                BYTE scratch[16];
                do {
                    OVERLAPPED drain{};
                    drain.hEvent = instance.ioEvent.Get();
                    error = Wait(instance, &drain, ReadFile(pipe, scratch, sizeof(scratch), nullptr, &drain),
                                 clientTimeoutMs_, &bytes);
                } while (error == ERROR_SUCCESS || error == ERROR_MORE_DATA);
            }
        } else {
            QVX_TRACE(trace::kWarning, 8, L"listener connection failed", pipeName_, error);
        }
        DisconnectNamedPipe(pipe);
        if (WaitForSingleObject(quitEvent_.Get(), 0) == WAIT_OBJECT_0)
            return;
    }
}

} // namespace qvx::hosted
