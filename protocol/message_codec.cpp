#include "protocol/message_codec.h"

#include <cwctype>

#include "platform/wide_text.h"

namespace qvx {

const std::vector<ReplyCode>& ReplyCodesInSearchOrder()
{
    // The order is part of the protocol: the first code found anywhere in
    // the reply decides, wherever it stands.
    static const std::vector<ReplyCode> codes = {
        {reply::kFailedToStart, ERROR_PROCESS_ABORTED},
        {reply::kFailedToStop, ERROR_PROCESS_ABORTED},
        {reply::kServiceNotFound, ERROR_SERVICE_DOES_NOT_EXIST},
        {reply::kServiceAlreadyRunning, ERROR_SERVICE_ALREADY_RUNNING},
        {reply::kParsingAppProfile, ERROR_SERVICE_SPECIFIC_ERROR},
        {reply::kInvalidDependency, ERROR_CIRCULAR_DEPENDENCY},
        {reply::kInvalidStartupValue, ERROR_INVALID_PARAMETER},
        {reply::kInvalidAccount, ERROR_INVALID_SERVICE_ACCOUNT},
        {reply::kMsgProtocol, ERROR_INVALID_PARAMETER},
        {reply::kInvalidControlCode, ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
        {reply::kCannotAcceptCtrl, ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
        {reply::kServiceAlreadyOpen, ERROR_SERVICE_DATABASE_LOCKED},
        {reply::kServiceAlreadyExists, ERROR_SERVICE_EXISTS},
        {reply::kServiceNotActive, ERROR_SERVICE_NOT_ACTIVE},
        {reply::kConfigFailed, ERROR_INVALID_DATA},
    };
    return codes;
}

DWORD ReplyToError(std::wstring_view text)
{
    for (const ReplyCode& code : ReplyCodesInSearchOrder()) {
        if (FindFolded(text, code.text) != std::wstring_view::npos)
            return code.error;
    }
    return ERROR_SUCCESS;
}

bool IsCommand(std::wstring_view request, std::wstring_view name)
{
    if (name.empty() || !StartsWithFolded(request, name))
        return false;
    if (request.size() == name.size())
        return true;
    wchar_t next = request[name.size()];
    return next == L',' || next == L' ';
}

bool Split(std::wstring_view text, std::wstring_view separator, std::vector<std::wstring>& fields)
{
    fields.clear();
    if (text.empty() || separator.empty() || separator.size() > text.size() - 1)
        return false;
    size_t position = 0;
    for (;;) {
        size_t found = text.find(separator, position);
        if (found == position) {
            fields.clear();
            return false;
        }
        if (found == std::wstring_view::npos) {
            if (position < text.size())
                fields.emplace_back(text.substr(position));
            return true;
        }
        fields.emplace_back(text.substr(position, found - position));
        position = found + separator.size();
    }
}

namespace {

bool IsWordTrue(std::wstring_view text)
{
    return EqualsFolded(text, L"true") || EqualsFolded(text, L"yes") || EqualsFolded(text, L"on");
}

bool IsWordFalse(std::wstring_view text)
{
    return EqualsFolded(text, L"false") || EqualsFolded(text, L"no") || EqualsFolded(text, L"off");
}

int DigitValue(wchar_t c, unsigned base)
{
    int value = -1;
    if (c >= L'0' && c <= L'9')
        value = c - L'0';
    else if (c >= L'a' && c <= L'f')
        value = c - L'a' + 10;
    else if (c >= L'A' && c <= L'F')
        value = c - L'A' + 10;
    return (value >= 0 && static_cast<unsigned>(value) < base) ? value : -1;
}

} // namespace

DWORD TextToNumber(std::wstring_view text)
{
    size_t start = 0;
    while (start < text.size() && iswspace(text[start]))
        ++start;
    text.remove_prefix(start);
    if (IsWordTrue(text))
        return 1;
    if (IsWordFalse(text))
        return 0;

    unsigned base = 10;
    if (text.size() >= 3 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    unsigned long long value = 0;
    for (wchar_t c : text) {
        int digit = DigitValue(c, base);
        if (digit < 0)
            break;
        value = value * base + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFull)
            return 0xFFFFFFFF;
    }
    return static_cast<DWORD>(value);
}

void AppendRequestChunk(std::wstring& request, const void* chunk, DWORD bytes)
{
    const auto* units = static_cast<const wchar_t*>(chunk);
    size_t count = bytes / sizeof(wchar_t);
    size_t length = 0;
    while (length < count && units[length] != L'\0')
        ++length;
    request.append(units, length);
}

std::wstring EchoReply(std::wstring_view command, std::wstring_view value)
{
    return JoinFields({command, value});
}

std::wstring EchoReplyWithCount(std::wstring_view command, DWORD count, std::wstring_view value)
{
    return JoinFields({command, UnsignedText(count), value});
}

std::wstring EchoReplyWithSignedCount(std::wstring_view command, int count, std::wstring_view value)
{
    return JoinFields({command, DecimalText(count), value});
}

std::wstring EchoConfigReply(std::wstring_view command, std::wstring_view serviceType,
                             std::wstring_view startupProfile, std::wstring_view binaryPath,
                             std::wstring_view account, std::wstring_view dependencies)
{
    return JoinFields({command, serviceType, startupProfile, binaryPath, account, dependencies});
}

std::wstring EchoReplyNarrow(std::wstring_view command, std::string_view text)
{
    return JoinFields({command, Utf8ToWide(text)});
}

void AppendStatusRecord(std::wstring& records, std::wstring_view name, std::wstring_view stateName)
{
    records.append(name);
    records += L':';
    records.append(stateName);
    records += L',';
}

void DropFinalSeparator(std::wstring& records)
{
    if (!records.empty() && records.back() == L',')
        records.pop_back();
}

std::wstring JoinDependencies(const std::vector<std::wstring>& names)
{
    if (names.empty())
        return kEmptyPlaceholder;
    std::wstring text;
    for (const std::wstring& name : names) {
        if (!text.empty())
            text += L':';
        text += name;
    }
    return text;
}

} // namespace qvx
