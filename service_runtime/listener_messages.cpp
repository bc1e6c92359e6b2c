#include "service_runtime/listener_messages.h"

#include "platform/trace.h"
#include "platform/wide_text.h"

namespace qvx::hosted {

namespace {

int Base64Value(wchar_t c) noexcept
{
    if (c >= L'A' && c <= L'Z')
        return c - L'A';
    if (c >= L'a' && c <= L'z')
        return c - L'a' + 26;
    if (c >= L'0' && c <= L'9')
        return c - L'0' + 52;
    if (c == L'+')
        return 62;
    if (c == L'/')
        return 63;
    return -1;
}

struct ReplyCode {
    const wchar_t* text;
    DWORD error;
};

// The reply codes the control pipe answers SERVICE_START_PENDING with, and
// the errors they stand for.
constexpr ReplyCode kReplyCodes[] = {
    {L"SERVICE_NOT_FOUND", ERROR_SERVICE_DOES_NOT_EXIST},
    {L"ERROR_MSG_PROTOCOL", ERROR_INVALID_PARAMETER},
};

} // namespace

bool IsMessage(std::wstring_view message, std::wstring_view name) noexcept
{
    if (!StartsWithFolded(message, name))
        return false;
    return message.size() == name.size() || message[name.size()] == L',' || message[name.size()] == L' ';
}

bool SplitFields(std::wstring_view message, std::vector<std::wstring>* fields)
{
    fields->clear();
    if (message.empty())
        return false;
    size_t position = 0;
    while (position < message.size()) {
        const size_t comma = message.find(L',', position);
        if (comma == position) {
            fields->clear();
            return false;
        }
        if (comma == std::wstring_view::npos) {
            fields->emplace_back(message.substr(position));
            break;
        }
        fields->emplace_back(message.substr(position, comma - position));
        position = comma + 1;
    }
    return true;
}

bool DecodeBase64(std::wstring_view text, std::vector<BYTE>* data)
{
    data->clear();
    if (text.size() % 4 != 0)
        return false;
    for (size_t block = 0; block < text.size(); block += 4) {
        const bool last = block + 4 == text.size();
        int values[4];
        int padding = 0;
        for (int i = 0; i < 4; ++i) {
            const wchar_t c = text[block + i];
            // Padding only closes the last block, in its last one or two places.
            if (c == L'=' && last && i >= 2) {
                ++padding;
                values[i] = 0;
                continue;
            }
            if (padding > 0)
                return false;
            values[i] = Base64Value(c);
            if (values[i] < 0)
                return false;
        }
        const unsigned bits = (values[0] << 18) | (values[1] << 12) | (values[2] << 6) | values[3];
        data->push_back(static_cast<BYTE>(bits >> 16));
        if (padding < 2)
            data->push_back(static_cast<BYTE>(bits >> 8));
        if (padding < 1)
            data->push_back(static_cast<BYTE>(bits));
    }
    return true;
}

bool ParseForwardedControl(std::wstring_view message, ForwardedControl* out)
{
    std::vector<std::wstring> fields;
    DWORD count = 0;
    if (!IsMessage(message, kForwardedControlMessage) || !SplitFields(message, &fields) || fields.size() != 6 ||
        !qvx::ParseDecimal(fields[2], out->control) || !qvx::ParseDecimal(fields[3], out->eventType) ||
        !qvx::ParseDecimal(fields[4], count)) {
        QVX_TRACE(trace::kWarning, 1, L"forwarded control not readable", std::wstring(message));
        return false;
    }
    out->serviceName = fields[1];
    out->data.clear();
    if (count == 0) {
        if (fields[5] != L"0") {
            QVX_TRACE(trace::kWarning, 2, L"forwarded control without data has a data field", std::wstring(message));
            return false;
        }
        return true;
    }
    // The count is the sender's word for how much data follows; a text that
    // does not match it was cut or padded on the way and is not used.
    if (fields[5].size() != count || !DecodeBase64(fields[5], &out->data)) {
        QVX_TRACE(trace::kWarning, 3, L"forwarded control data is not the Base64 it announces", out->serviceName,
                  count, fields[5].size());
        out->data.clear();
        return false;
    }
    return true;
}

DWORD ParseStartPendingReply(std::wstring_view reply, std::vector<std::wstring>* arguments)
{
    arguments->clear();
    for (const ReplyCode& code : kReplyCodes) {
        if (EqualsFolded(reply, code.text)) {
            QVX_TRACE(trace::kError, 4, L"start arguments refused", std::wstring(reply));
            return code.error;
        }
    }
    // The argument text is everything after the count: a default taken from
    // the host's configuration may hold commas of its own.
    const size_t first = reply.find(L',');
    const size_t second = first == std::wstring_view::npos ? first : reply.find(L',', first + 1);
    DWORD count = 0;
    if (second == std::wstring_view::npos || !EqualsFolded(reply.substr(0, first), kStartPendingRequest) ||
        !qvx::ParseDecimal(reply.substr(first + 1, second - first - 1), count) || second + 1 == reply.size()) {
        QVX_TRACE(trace::kError, 5, L"start-argument reply not readable", std::wstring(reply));
        return ERROR_INVALID_DATA;
    }
    *arguments = SplitStartArguments(reply.substr(second + 1));
    if (arguments->size() != count)
        QVX_TRACE(trace::kWarning, 6, L"start argument count differs from the arguments given", count,
                  arguments->size());
    return ERROR_SUCCESS;
}

std::vector<std::wstring> SplitStartArguments(std::wstring_view text)
{
    std::vector<std::wstring> arguments;
    if (text == kNoArguments)
        return arguments;
    std::wstring current;
    bool inArgument = false;
    bool quoted = false;
    for (wchar_t c : text) {
        if (c == L'"') {
            quoted = !quoted;
            inArgument = true;
        } else if ((c == L' ' || c == L'\t') && !quoted) {
            if (inArgument)
                arguments.push_back(current);
            current.clear();
            inArgument = false;
        } else {
            current.push_back(c);
            inArgument = true;
        }
    }
    if (inArgument)
        arguments.push_back(current);
    return arguments;
}

const wchar_t* StateName(DWORD state) noexcept
{
    switch (state) {
    case SERVICE_STOPPED:
        return L"SERVICE_STOPPED";
    case SERVICE_START_PENDING:
        return L"SERVICE_START_PENDING";
    case SERVICE_STOP_PENDING:
        return L"SERVICE_STOP_PENDING";
    case SERVICE_RUNNING:
        return L"SERVICE_RUNNING";
    case SERVICE_CONTINUE_PENDING:
        return L"SERVICE_CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
        return L"SERVICE_PAUSE_PENDING";
    case SERVICE_PAUSED:
        return L"SERVICE_PAUSED";
    default:
        return L"INVALID_SERVICE_STATE";
    }
}

} // namespace qvx::hosted
