#pragma once
// The client side of the control pipe: one connection that sends requests
// and receives replies, one message each, with time-outs so that a silent
// server cannot hang the caller.

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/handles.h"

namespace qvx {

class ControlConnection {
public:
    ControlConnection() = default;
    ControlConnection(const ControlConnection&) = delete;
    ControlConnection& operator=(const ControlConnection&) = delete;

    // Opens the pipe, waiting up to `timeoutMs` while every instance is busy.
    DWORD Open(const std::wstring& pipeName, DWORD timeoutMs);
    void Close() { pipe_.Reset(); }
    bool IsOpen() const { return pipe_.IsValid(); }

    // Writes one request message, with a terminating NUL unless told not to.
    DWORD Send(std::wstring_view request, DWORD timeoutMs, bool terminatingNul = true);
    // Writes one message of raw bytes.
    DWORD SendBytes(const void* data, DWORD bytes, DWORD timeoutMs);
    // Reads one reply message; `reply` is its text up to the first NUL and
    // `raw` (when given) every byte of the message. ERROR_TIMEOUT when none
    // came in time.
    DWORD Receive(std::wstring& reply, DWORD timeoutMs, std::vector<BYTE>* raw = nullptr);
    DWORD Transact(std::wstring_view request, std::wstring& reply, DWORD timeoutMs);

private:
    DWORD Complete(BOOL started, DWORD* bytes, DWORD timeoutMs);

    KernelHandle pipe_;
    KernelHandle event_;
    OVERLAPPED overlapped_{};
};

// Opens a connection, sends one request and reads its reply.
DWORD SendControlRequest(const std::wstring& pipeName, std::wstring_view request, std::wstring& reply,
                         DWORD timeoutMs);

} // namespace qvx
