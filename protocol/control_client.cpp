#include "protocol/control_client.h"

#include "protocol/message_codec.h"

namespace qvx {

namespace {

constexpr DWORD kReceiveChunkBytes = 4096;

} // namespace

DWORD ControlConnection::Open(const std::wstring& pipeName, DWORD timeoutMs)
{
    pipe_.Reset();
    if (!event_) {
        event_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event_)
            return GetLastError();
    }
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        HANDLE handle = CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            pipe_.Reset(handle);
            break;
        }
        DWORD error = GetLastError();
        ULONGLONG now = GetTickCount64();
        if (error != ERROR_PIPE_BUSY || now >= deadline)
            return error;
        // Every instance is serving another client; wait for one to listen.
        if (!WaitNamedPipeW(pipeName.c_str(), static_cast<DWORD>(deadline - now)) &&
            GetLastError() != ERROR_FILE_NOT_FOUND && GetTickCount64() >= deadline)
            return ERROR_PIPE_BUSY;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe_.Get(), &mode, nullptr, nullptr)) {
        DWORD error = GetLastError();
        pipe_.Reset();
        return error;
    }
    return ERROR_SUCCESS;
}

DWORD ControlConnection::Complete(BOOL started, DWORD* bytes, DWORD timeoutMs)
{
    DWORD error = started ? ERROR_SUCCESS : GetLastError();
    if (!started && error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
        return error;
    if (!started && error == ERROR_IO_PENDING && WaitForSingleObject(event_.Get(), timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_.Get(), &overlapped_);
        GetOverlappedResult(pipe_.Get(), &overlapped_, bytes, TRUE);
        return ERROR_TIMEOUT;
    }
    if (!GetOverlappedResult(pipe_.Get(), &overlapped_, bytes, FALSE))
        return GetLastError();
    return ERROR_SUCCESS;
}

DWORD ControlConnection::SendBytes(const void* data, DWORD bytes, DWORD timeoutMs)
{
    if (!pipe_)
        return ERROR_INVALID_HANDLE;
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_.Get();
    DWORD written = 0;
    BOOL started = WriteFile(pipe_.Get(), data, bytes, &written, &overlapped_);
    DWORD error = Complete(started, &written, timeoutMs);
    if (error == ERROR_SUCCESS && written != bytes)
        error = ERROR_WRITE_FAULT;
    return error;
}

DWORD ControlConnection::Send(std::wstring_view request, DWORD timeoutMs, bool terminatingNul)
{
    std::wstring message(request);
    size_t units = message.size() + (terminatingNul ? 1 : 0);
    return SendBytes(message.c_str(), static_cast<DWORD>(units * sizeof(wchar_t)), timeoutMs);
}

DWORD ControlConnection::Receive(std::wstring& reply, DWORD timeoutMs, std::vector<BYTE>* raw)
{
    reply.clear();
    if (raw)
        raw->clear();
    if (!pipe_)
        return ERROR_INVALID_HANDLE;
    std::vector<BYTE> message;
    for (;;) {
        size_t offset = message.size();
        message.resize(offset + kReceiveChunkBytes);
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event_.Get();
        DWORD got = 0;
        BOOL started = ReadFile(pipe_.Get(), message.data() + offset, kReceiveChunkBytes, &got, &overlapped_);
        DWORD error = Complete(started, &got, timeoutMs);
        message.resize(offset + got);
        if (error == ERROR_MORE_DATA)
            continue;
        if (error != ERROR_SUCCESS)
            return error;
        break;
    }
    AppendRequestChunk(reply, message.data(), static_cast<DWORD>(message.size()));
    if (raw)
        raw->swap(message);
    return ERROR_SUCCESS;
}

DWORD ControlConnection::Transact(std::wstring_view request, std::wstring& reply, DWORD timeoutMs)
{
    DWORD error = Send(request, timeoutMs);
    return error == ERROR_SUCCESS ? Receive(reply, timeoutMs) : error;
}

DWORD SendControlRequest(const std::wstring& pipeName, std::wstring_view request, std::wstring& reply,
                         DWORD timeoutMs)
{
    ControlConnection connection;
    DWORD error = connection.Open(pipeName, timeoutMs);
    return error == ERROR_SUCCESS ? connection.Transact(request, reply, timeoutMs) : error;
}

} // namespace qvx
