#pragma once
// The messages the management service sends to a hosted service's listener
// pipe: comma-separated UTF-16 text in the control pipe's conventions. The
// builders return the text without its terminating NUL; the pipe client
// writes that NUL with the message.

#include <windows.h>

#include <string>
#include <string_view>

namespace qvx {

inline constexpr wchar_t kListenerStartServiceCommand[] = L"START_SERVICE";
inline constexpr wchar_t kListenerProcessIdCommand[] = L"QUERY_PROCESS_ID";
inline constexpr wchar_t kListenerPingCommand[] = L"PING";
// The only reply to PING that counts as alive; compared exactly.
inline constexpr wchar_t kListenerPingReply[] = L"ACK";

// Posts.
std::wstring StopMessage(std::wstring_view serviceName);
std::wstring ShutdownMessage(std::wstring_view serviceName);
std::wstring PowerStateChangeMessage(std::wstring_view serviceName);
std::wstring StartServiceMessage(std::wstring_view serviceName);

// A control the host received from the service control manager, forwarded
// to a hosted service. It always ends with the data field: with event data
// (a non-null pointer and a size above 0) that is the data's Base64 text
// and the count before it is the number of Base64 characters; without, the
// count is 0 and the data field is "0".
std::wstring ForwardedControlMessage(std::wstring_view serviceName, DWORD control, DWORD eventType,
                                     const void* eventData, DWORD dataSize);

// Transactions.
std::wstring InterrogateMessage(std::wstring_view serviceName);
std::wstring ProcessIdQueryMessage(std::wstring_view serviceName);
std::wstring PingMessage();

// Standard Base64 (the RFC 4648 alphabet, '=' padding, no line breaks).
std::wstring Base64Encode(const void* data, size_t size);

} // namespace qvx
