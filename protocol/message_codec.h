#pragma once
// The text conventions of the control protocol: reply codes, command
// recognition, field splitting, the number conversion, the shapes of echo
// replies and the assembly of a request from pipe chunks.
//
// A message is UTF-16 text of comma-separated fields. Replies are written
// with one terminating NUL; a request's NUL is optional and never part of
// its text.

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace qvx {

// The control pipe's well-known name.
inline constexpr wchar_t kControlPipeName[] = L"\\\\.\\pipe\\svhserver";

// One request chunk: the reader asks for at most this many bytes at a time.
inline constexpr DWORD kRequestChunkBytes = 2048;

namespace reply {
inline constexpr wchar_t kAck[] = L"ACK";
inline constexpr wchar_t kMsgProtocol[] = L"ERROR_MSG_PROTOCOL";
inline constexpr wchar_t kServiceNotFound[] = L"SERVICE_NOT_FOUND";
inline constexpr wchar_t kServiceAlreadyExists[] = L"SERVICE_ALREADY_EXISTS";
inline constexpr wchar_t kServiceAlreadyOpen[] = L"SERVICE_ALREADY_OPEN";
inline constexpr wchar_t kServiceAlreadyRunning[] = L"SERVICE_ALREADY_RUNNING";
inline constexpr wchar_t kServiceNotActive[] = L"ERROR_SERVICE_NOT_ACTIVE";
inline constexpr wchar_t kCannotAcceptCtrl[] = L"ERROR_SERVICE_CANNOT_ACCEPT_CTRL";
inline constexpr wchar_t kInvalidControlCode[] = L"INVALID_CONTROL_CODE";
inline constexpr wchar_t kInvalidStartupValue[] = L"INVALID_STARTUP_VALUE";
inline constexpr wchar_t kInvalidAccount[] = L"INVALID_ACCOUNT";
inline constexpr wchar_t kInvalidDependency[] = L"ERROR_INVALID_DEPENDENCY";
inline constexpr wchar_t kParsingAppProfile[] = L"ERROR_PARSING_APP_PROFILE";
inline constexpr wchar_t kFailedToStart[] = L"SERVICE_FAILED_TO_START";
inline constexpr wchar_t kFailedToStop[] = L"SERVICE_FAILED_TO_STOP";
inline constexpr wchar_t kConfigFailed[] = L"CONFIG_FAILED";
} // namespace reply

// Placeholders: "EMPTY" (a field not given, or an empty list in a reply) and
// "/" (no dependencies at all). Both are compared exactly.
inline constexpr wchar_t kEmptyPlaceholder[] = L"EMPTY";
inline constexpr wchar_t kNoDependencies[] = L"/";

inline constexpr wchar_t kFieldSeparator[] = L",";
inline constexpr wchar_t kListSeparator[] = L":";

// A reply code and the Windows error it stands for.
struct ReplyCode {
    const wchar_t* text;
    DWORD error;
};

// Every error reply code in the order in which ReplyToError looks for it.
const std::vector<ReplyCode>& ReplyCodesInSearchOrder();

// The Windows error a reply stands for: the first reply code found as a
// folded substring of the whole reply decides; none found means success.
DWORD ReplyToError(std::wstring_view reply);

// Whether `request` is the command `name`: it begins with the name (folded)
// and ends there or goes on with a comma or a blank. SVHServerPipe::IsCommand
// applies it to an instance's pending request.
bool IsCommand(std::wstring_view request, std::wstring_view name);

// Splits `text` at `separator` into `fields` (cleared first, left empty on
// failure). Fails for an empty text, an empty separator, a text shorter
// than the separator plus one, a leading separator and two separators in
// a row; one trailing separator is ignored.
bool Split(std::wstring_view text, std::wstring_view separator, std::vector<std::wstring>& fields);

// The host's text-to-number conversion: leading white space is skipped;
// "true", "yes", "on" give 1 and "false", "no", "off" give 0 (folded, the
// whole rest of the text); "0x"/"0X" followed by at least one character is
// hexadecimal, anything else decimal. Digits are read up to the first
// character that is not one; a text without leading digits gives 0, and a
// value beyond 32 bits gives 0xFFFFFFFF.
DWORD TextToNumber(std::wstring_view text);

// Appends one chunk read from the pipe to the request: its characters up to
// the first NUL, or all of them. A trailing odd byte is ignored.
void AppendRequestChunk(std::wstring& request, const void* chunk, DWORD bytes);

// Echo replies: the command name, a comma and the payload fields.
// "%s,%s"
std::wstring EchoReply(std::wstring_view command, std::wstring_view value);
// "%s,%u,%s"
std::wstring EchoReplyWithCount(std::wstring_view command, DWORD count, std::wstring_view value);
// "%s,%d,%s"
std::wstring EchoReplyWithSignedCount(std::wstring_view command, int count, std::wstring_view value);
// "%s,%s,%s,%s,%s," followed directly by the dependency field.
std::wstring EchoConfigReply(std::wstring_view command, std::wstring_view serviceType,
                             std::wstring_view startupProfile, std::wstring_view binaryPath,
                             std::wstring_view account, std::wstring_view dependencies);
// "%s,%S": the 8-bit text is UTF-8 (ASCII comes out unchanged).
std::wstring EchoReplyNarrow(std::wstring_view command, std::string_view text);

// Enumeration records: "name:state," appended per record.
void AppendStatusRecord(std::wstring& records, std::wstring_view name, std::wstring_view stateName);
// Removes one final comma, if there is one.
void DropFinalSeparator(std::wstring& records);
// Dependency list of a reply: the names joined by colons, or "EMPTY".
std::wstring JoinDependencies(const std::vector<std::wstring>& names);

} // namespace qvx
