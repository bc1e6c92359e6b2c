#include "engine/listener_messages.h"

#include "model/service_enums.h"
#include "platform/wide_text.h"

namespace qvx {

namespace {

// The service name goes in exactly as the record holds it.
std::wstring NamedMessage(std::wstring_view first, std::wstring_view serviceName)
{
    return JoinFields({first, serviceName});
}

} // namespace

std::wstring StopMessage(std::wstring_view serviceName)
{
    return NamedMessage(ServiceControlName(ServiceControl::kStop), serviceName);
}

std::wstring ShutdownMessage(std::wstring_view serviceName)
{
    return NamedMessage(ServiceControlName(ServiceControl::kShutdown), serviceName);
}

std::wstring PowerStateChangeMessage(std::wstring_view serviceName)
{
    return NamedMessage(ServiceControlName(ServiceControl::kPowerStateChange), serviceName);
}

std::wstring StartServiceMessage(std::wstring_view serviceName)
{
    return NamedMessage(kListenerStartServiceCommand, serviceName);
}

std::wstring ForwardedControlMessage(std::wstring_view serviceName, DWORD control, DWORD eventType,
                                     const void* eventData, DWORD dataSize)
{
    // A size without data is not read: the control goes out without data
    // rather than with bytes from wherever a null pointer leads.
    const bool hasData = eventData != nullptr && dataSize > 0;
    const std::wstring data = hasData ? Base64Encode(eventData, dataSize) : std::wstring(L"0");
    // Counted as wide as the encoding itself, so a size near 4 GB cannot
    // wrap the count.
    const unsigned long long count = hasData ? data.size() : 0;

    return JoinFields({kMiscControlName, serviceName, UnsignedText(control), UnsignedText(eventType),
                       UnsignedText(count), data});
}

std::wstring InterrogateMessage(std::wstring_view serviceName)
{
    return NamedMessage(ServiceControlName(ServiceControl::kInterrogate), serviceName);
}

std::wstring ProcessIdQueryMessage(std::wstring_view serviceName)
{
    return NamedMessage(kListenerProcessIdCommand, serviceName);
}

std::wstring PingMessage()
{
    return kListenerPingCommand;
}

std::wstring Base64Encode(const void* data, size_t size)
{
    static constexpr wchar_t kAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::wstring text;
    if (!bytes || size == 0)
        return text;
    text.reserve((size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const unsigned group = (unsigned{bytes[i]} << 16) | (unsigned{bytes[i + 1]} << 8) | bytes[i + 2];
        text += kAlphabet[(group >> 18) & 0x3F];
        text += kAlphabet[(group >> 12) & 0x3F];
        text += kAlphabet[(group >> 6) & 0x3F];
        text += kAlphabet[group & 0x3F];
    }
    const size_t rest = size - i;
    if (rest > 0) {
        const unsigned group = (unsigned{bytes[i]} << 16) | (rest == 2 ? unsigned{bytes[i + 1]} << 8 : 0u);
        text += kAlphabet[(group >> 18) & 0x3F];
        text += kAlphabet[(group >> 12) & 0x3F];
        text += rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : L'=';
        text += L'=';
    }
    return text;
}

} // namespace qvx
