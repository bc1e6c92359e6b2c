#pragma once
// The text of the messages a hosted service exchanges with the management
// service: recognising a listener message, reading its fields, the forwarded
// control's Base64 data and the start-argument reply. Pure functions, so
// that what arrives from a pipe is checked in one place.

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace qvx::hosted {

// Listener-pipe messages.
inline constexpr wchar_t kStopMessage[] = L"SERVICE_CONTROL_STOP";
inline constexpr wchar_t kShutdownMessage[] = L"SERVICE_CONTROL_SHUTDOWN";
inline constexpr wchar_t kPowerChangeMessage[] = L"SERVICE_CONTROL_QVX_POWER_STATE_CHANGE";
inline constexpr wchar_t kForwardedControlMessage[] = L"SERVICE_CONTROL_QVX_MISC";
inline constexpr wchar_t kStartServiceMessage[] = L"START_SERVICE";
inline constexpr wchar_t kInterrogateMessage[] = L"SERVICE_CONTROL_INTERROGATE";
inline constexpr wchar_t kQueryProcessIdMessage[] = L"QUERY_PROCESS_ID";
inline constexpr wchar_t kPingMessage[] = L"PING";
inline constexpr wchar_t kAck[] = L"ACK";

// Control-pipe requests of a hosted service.
inline constexpr wchar_t kStartPendingRequest[] = L"SERVICE_START_PENDING";
inline constexpr wchar_t kSetStatusRequest[] = L"SET_SERVICE_STATUS";
inline constexpr wchar_t kNoArguments[] = L"EMPTY";

// Whether `message` is the command `name`: it begins with the name (ASCII
// letter case folded) followed by its end, a comma or a blank.
bool IsMessage(std::wstring_view message, std::wstring_view name) noexcept;

// The comma-separated fields of a message. A separator at the start or two
// in a row make an empty field and fail; one separator at the end is
// ignored. The output is empty on failure.
bool SplitFields(std::wstring_view message, std::vector<std::wstring>* fields);

// A decimal number of at most 32 bits, digits only.
bool ParseDecimal(std::wstring_view text, DWORD* value) noexcept;

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks); false
// for any other text, a length that is not a multiple of four included.
bool DecodeBase64(std::wstring_view text, std::vector<BYTE>* data);

struct ForwardedControl {
    std::wstring serviceName;
    DWORD control = 0;
    DWORD eventType = 0;
    std::vector<BYTE> data;
};

// "SERVICE_CONTROL_QVX_MISC,<name>,<control>,<event type>,<count>,<data>":
// with no data the count is 0 and the data field "0"; otherwise the data is
// Base64 of exactly `count` characters.
bool ParseForwardedControl(std::wstring_view message, ForwardedControl* out);

// The reply to "SERVICE_START_PENDING,<name>": "SERVICE_START_PENDING,
// <count>,<arguments>". 0 and the arguments, or the Windows error the reply
// stands for (a reply code such as "SERVICE_NOT_FOUND", or ERROR_INVALID_DATA
// for a reply of another shape).
DWORD ParseStartPendingReply(std::wstring_view reply, std::vector<std::wstring>* arguments);

// The start arguments held in one text: separated by blanks, a double-quoted
// run keeping its blanks (the quotes are dropped); "EMPTY" is no argument.
std::vector<std::wstring> SplitStartArguments(std::wstring_view text);

// The text name of a service state, "INVALID_SERVICE_STATE" for another value.
const wchar_t* StateName(DWORD state) noexcept;

} // namespace qvx::hosted
