#pragma once
// A hosted service's side of the control pipe: one request per connection,
// written as one message of UTF-16 text and a NUL.

#include <windows.h>

#include <string>

namespace qvx::hosted {

// Sends `request` and reads the one-message reply into `reply`. 0 or a
// Windows error (WAIT_TIMEOUT when the pipe did not answer in `timeoutMs`).
DWORD RequestWithReply(const std::wstring& pipeName, const std::wstring& request, DWORD timeoutMs,
                       std::wstring* reply);

// Sends a request that gets no reply (a status report) and waits until the
// server has disconnected, that is, has taken the report in.
DWORD PostAndWaitForDisconnect(const std::wstring& pipeName, const std::wstring& request, DWORD timeoutMs);

} // namespace qvx::hosted
