#include "service_runtime/control_client.h"

#include <vector>

#include "platform/handles.h"
#include "platform/trace.h"

namespace qvx::hosted {

namespace {

constexpr int kBusyAttempts = 10;
constexpr DWORD kBusyWaitMs = 100;
constexpr DWORD kChunkBytes = 2048;
// A reply longer than this is not one the control pipe sends.
constexpr size_t kMaxReplyChars = 64 * 1024;

// Every instance busy means other clients are being served: wait for one
// for as long as the request may take, but at least the given attempts.
DWORD Connect(const std::wstring& pipeName, DWORD timeoutMs, KernelHandle* pipe)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (int attempt = 1;; ++attempt) {
        pipe->Reset(CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (pipe->IsValid())
            break;
        const DWORD error = GetLastError();
        if (error != ERROR_PIPE_BUSY || (attempt >= kBusyAttempts && GetTickCount64() >= deadline)) {
            QVX_TRACE(trace::kError, 1, L"control pipe not opened", pipeName, error);
            return error;
        }
        WaitNamedPipeW(pipeName.c_str(), kBusyWaitMs);
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe->Get(), &mode, nullptr, nullptr)) {
        const DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 2, L"control pipe not set to message mode", pipeName, error);
        return error;
    }
    return ERROR_SUCCESS;
}

// Waits for an overlapped operation the call of which reported `started`.
// 0 or the operation's error; a time-out cancels it and gives WAIT_TIMEOUT.
DWORD Complete(HANDLE pipe, OVERLAPPED* overlapped, BOOL started, DWORD timeoutMs, DWORD* bytes)
{
    *bytes = 0;
    if (!started) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return error;
        if (WaitForSingleObject(overlapped->hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(pipe, overlapped);
            // The cancelled operation still owns the overlapped structure until it ends.
            GetOverlappedResult(pipe, overlapped, bytes, TRUE);
            return WAIT_TIMEOUT;
        }
    }
    return GetOverlappedResult(pipe, overlapped, bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
}

DWORD Write(HANDLE pipe, HANDLE event, const std::wstring& request, DWORD timeoutMs)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    const DWORD size = static_cast<DWORD>((request.size() + 1) * sizeof(wchar_t));
    DWORD bytes = 0;
    const DWORD error =
        Complete(pipe, &overlapped, WriteFile(pipe, request.c_str(), size, nullptr, &overlapped), timeoutMs, &bytes);
    if (error == ERROR_SUCCESS && bytes != size)
        return ERROR_WRITE_FAULT;
    return error;
}

// Connects to the control pipe and writes the request; the pipe and the
// event of its overlapped I/O are left for the exchange's next step.
DWORD ConnectAndWrite(const std::wstring& pipeName, const std::wstring& request, DWORD timeoutMs, KernelHandle* pipe,
                      KernelHandle* event)
{
    DWORD error = Connect(pipeName, timeoutMs, pipe);
    if (error != ERROR_SUCCESS)
        return error;
    event->Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!*event)
        return GetLastError();
    error = Write(pipe->Get(), event->Get(), request, timeoutMs);
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 3, L"control request not written", request, error);
    return error;
}

} // namespace

DWORD RequestWithReply(const std::wstring& pipeName, const std::wstring& request, DWORD timeoutMs,
                       std::wstring* reply)
{
    reply->clear();
    KernelHandle pipe;
    KernelHandle event;
    DWORD error = ConnectAndWrite(pipeName, request, timeoutMs, &pipe, &event);
    if (error != ERROR_SUCCESS)
        return error;
    std::wstring text;
    bool cut = false;
    for (;;) {
        std::vector<wchar_t> chunk(kChunkBytes / sizeof(wchar_t), L'\0');
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.Get();
        DWORD bytes = 0;
        error = Complete(pipe.Get(), &overlapped, ReadFile(pipe.Get(), chunk.data(), kChunkBytes, nullptr, &overlapped),
                         timeoutMs, &bytes);
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
            QVX_TRACE(trace::kError, 4, L"control reply not read", request, error);
            return error;
        }
        // The reply ends at its first NUL; what follows it in the message is not text.
        const size_t chars = bytes / sizeof(wchar_t);
        size_t length = 0;
        while (length < chars && chunk[length] != L'\0')
            ++length;
        if (!cut)
            text.append(chunk.data(), length);
        cut = cut || length < chars;
        if (text.size() > kMaxReplyChars) {
            QVX_TRACE(trace::kError, 5, L"control reply too long", request, text.size());
            return ERROR_INVALID_DATA;
        }
        if (error == ERROR_SUCCESS)
            break;
    }
    *reply = std::move(text);
    return ERROR_SUCCESS;
}

DWORD PostAndWaitForDisconnect(const std::wstring& pipeName, const std::wstring& request, DWORD timeoutMs)
{
    KernelHandle pipe;
    KernelHandle event;
    DWORD error = ConnectAndWrite(pipeName, request, timeoutMs, &pipe, &event);
    if (error != ERROR_SUCCESS)
        return error;
    // The server answers a report by disconnecting: a read that ends with the
    // pipe closed says it has been processed.
    BYTE scratch[kChunkBytes];
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.Get();
        DWORD bytes = 0;
        error = Complete(pipe.Get(), &overlapped, ReadFile(pipe.Get(), scratch, sizeof(scratch), nullptr, &overlapped),
                         timeoutMs, &bytes);
        if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED)
            return ERROR_SUCCESS;
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
            QVX_TRACE(trace::kWarning, 7, L"status report sent, its processing not seen", request, error);
            return error;
        }
    }
}

} // namespace qvx::hosted
