#pragma once
// The client side of a hosted service's listener pipe: a one-way post and a
// request/reply transaction. Each call opens a fresh handle to the pipe and
// closes everything it opened before it returns, so any number of calls may
// run at once from different threads.
//
// A message goes out as one pipe message of its characters and one
// terminating NUL, that is (length + 1) * 2 bytes.

#include <windows.h>

#include <string>
#include <string_view>

namespace qvx {

// The time-out every caller of a post passes.
inline constexpr DWORD kListenerPostTimeoutMs = 15000;
// A transaction waits this long for its reply, whoever calls it.
inline constexpr DWORD kListenerTransactTimeoutMs = 15000;
// Opening a pipe whose instances are all taken is tried this often, with a
// wait of kListenerBusyWaitMs for a free instance between two tries.
inline constexpr unsigned kListenerConnectAttempts = 10;
inline constexpr DWORD kListenerBusyWaitMs = 100;
// The reply of a transaction is read into a zeroed buffer of this size; a
// longer reply is a failure.
inline constexpr DWORD kListenerReplyBytes = 2048;

// Sends `message` and reads nothing back. 0, 87 for a null path or an
// empty message, 231 when the pipe stayed busy, 258 when the write did not
// complete within `timeoutMs`, or the error of the failed open or write.
DWORD PostListenerMessage(const wchar_t* path, std::wstring_view message, DWORD timeoutMs);

// Sends `message` and reads one reply message. On success `reply` is the
// reply's text up to its first NUL; on failure it is empty. Errors as for
// a post with the fixed time-out; a reply longer than the buffer gives the
// system's error for it (ERROR_MORE_DATA).
DWORD TransactListenerMessage(const wchar_t* path, std::wstring_view message, std::wstring& reply);

} // namespace qvx
