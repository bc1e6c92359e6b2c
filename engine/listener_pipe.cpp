#include "engine/listener_pipe.h"

#include <cwchar>

#include "platform/handles.h"
#include "platform/trace.h"

namespace qvx {

namespace {

// Opens the pipe, retrying while every instance is taken. A pipe that is
// not there at all is reported at once.
DWORD OpenListenerPipe(const wchar_t* path, KernelHandle& pipe)
{
    for (unsigned attempt = 1;; ++attempt) {
        pipe.Reset(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (pipe)
            return ERROR_SUCCESS;
        const DWORD error = GetLastError();
        if (error != ERROR_PIPE_BUSY) {
            QVX_TRACE(trace::kWarning, 1, L"listener pipe not opened", path, error);
            return error;
        }
        if (attempt == kListenerConnectAttempts) {
            QVX_TRACE(trace::kWarning, 2, L"listener pipe stayed busy", path, attempt);
            return ERROR_PIPE_BUSY;
        }
        // Whether an instance came free in time shows at the next open.
        WaitNamedPipeW(path, kListenerBusyWaitMs);
    }
}

// Waits for an overlapped operation that did not complete at once. When
// the time runs out the operation is cancelled and its end awaited: the
// buffers and the overlapped structure belong to the caller's frame and
// must not be written once the caller has returned.
DWORD FinishPending(const wchar_t* path, HANDLE pipe, OVERLAPPED& overlapped, DWORD timeoutMs)
{
    const DWORD wait = WaitForSingleObject(overlapped.hEvent, timeoutMs);
    DWORD transferred = 0;
    if (wait == WAIT_OBJECT_0) {
        if (GetOverlappedResult(pipe, &overlapped, &transferred, FALSE))
            return ERROR_SUCCESS;
        const DWORD error = GetLastError();
        QVX_TRACE(trace::kWarning, 3, L"listener pipe I/O failed", path, error);
        return error;
    }
    const DWORD error = wait == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError();
    QVX_TRACE(trace::kWarning, 4, L"listener pipe I/O not completed", path, wait, error);
    if (!CancelIoEx(pipe, &overlapped) && GetLastError() != ERROR_NOT_FOUND)
        QVX_TRACE(trace::kError, 5, L"CancelIoEx failed", path, GetLastError());
    GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
    return error;
}

// The open, the read mode and the overlapped structure's event that both
// exchanges need.
struct ListenerConnection {
    KernelHandle pipe;
    KernelHandle event;
    OVERLAPPED overlapped = {};

    DWORD Open(const wchar_t* path)
    {
        if (const DWORD error = OpenListenerPipe(path, pipe))
            return error;
        DWORD mode = PIPE_READMODE_MESSAGE;
        // A pipe that refuses message mode still takes a post; a transaction
        // on it fails by itself and says why.
        if (!SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr))
            QVX_TRACE(trace::kWarning, 6, L"listener pipe not in message mode", path, GetLastError());
        event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event) {
            const DWORD error = GetLastError();
            QVX_TRACE(trace::kError, 7, L"CreateEventW failed", path, error);
            return error;
        }
        overlapped.hEvent = event.Get();
        return ERROR_SUCCESS;
    }
};

bool ValidRequest(const wchar_t* path, std::wstring_view message)
{
    // The byte count of the write must fit a DWORD, NUL included.
    return path != nullptr && !message.empty() && message.size() < MAXDWORD / sizeof(wchar_t);
}

// The message as it goes on the wire (its text and NUL) and a connection
// to the listener pipe: 0, or the error that ends the exchange.
DWORD Prepare(const wchar_t* path, std::wstring_view message, std::wstring& text, DWORD& bytes,
              ListenerConnection& connection)
{
    if (!ValidRequest(path, message))
        return ERROR_INVALID_PARAMETER;
    text.assign(message);
    bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return connection.Open(path);
}

} // namespace

DWORD PostListenerMessage(const wchar_t* path, std::wstring_view message, DWORD timeoutMs)
{
    std::wstring text;
    DWORD bytes = 0;
    ListenerConnection connection;
    if (const DWORD error = Prepare(path, message, text, bytes, connection))
        return error;
    if (WriteFile(connection.pipe.Get(), text.c_str(), bytes, nullptr, &connection.overlapped))
        return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        QVX_TRACE(trace::kWarning, 8, L"listener message not written", path, error);
        return error;
    }
    return FinishPending(path, connection.pipe.Get(), connection.overlapped, timeoutMs);
}

DWORD TransactListenerMessage(const wchar_t* path, std::wstring_view message, std::wstring& reply)
{
    reply.clear();
    std::wstring text;
    DWORD bytes = 0;
    ListenerConnection connection;
    if (const DWORD error = Prepare(path, message, text, bytes, connection))
        return error;
    wchar_t buffer[kListenerReplyBytes / sizeof(wchar_t)] = {};
    // The text const_cast away is only read: the API takes a non-const
    // input buffer.
    if (!TransactNamedPipe(connection.pipe.Get(), const_cast<wchar_t*>(text.c_str()), bytes, buffer, sizeof(buffer),
                           nullptr, &connection.overlapped)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            QVX_TRACE(trace::kWarning, 9, L"listener transaction failed", path, error);
            return error;
        }
        if (const DWORD pending =
                FinishPending(path, connection.pipe.Get(), connection.overlapped, kListenerTransactTimeoutMs))
            return pending;
    }
    // A reply that fills the buffer without a NUL ends with the buffer.
    reply.assign(buffer, wcsnlen(buffer, sizeof(buffer) / sizeof(wchar_t)));
    return ERROR_SUCCESS;
}

} // namespace qvx
