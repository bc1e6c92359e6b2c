#include "platform/wide_text.h"

#include <windows.h>

#include <climits>

namespace qvx {

bool EqualsFolded(std::wstring_view a, std::wstring_view b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    }
    return true;
}

bool SameServiceName(std::wstring_view a, std::wstring_view b) noexcept
{
    if (a.size() != b.size())
        return false; // one upper-case table entry per code unit: lengths never change
    if (a.empty())
        return true;
    if (a.size() > static_cast<size_t>(INT_MAX))
        return false;
    const int length = static_cast<int>(a.size());
    return CompareStringOrdinal(a.data(), length, b.data(), length, TRUE) == CSTR_EQUAL;
}

bool StartsWithFolded(std::wstring_view text, std::wstring_view prefix) noexcept
{
    return text.size() >= prefix.size() && EqualsFolded(text.substr(0, prefix.size()), prefix);
}

size_t FindFolded(std::wstring_view text, std::wstring_view needle) noexcept
{
    if (needle.size() > text.size())
        return std::wstring_view::npos;
    for (size_t i = 0; i + needle.size() <= text.size(); ++i) {
        if (EqualsFolded(text.substr(i, needle.size()), needle))
            return i;
    }
    return std::wstring_view::npos;
}

void ToLowerAsciiInPlace(std::wstring& text) noexcept
{
    for (auto& c : text)
        c = FoldAscii(c);
}

std::wstring ToLowerAscii(std::wstring_view text)
{
    std::wstring result(text);
    ToLowerAsciiInPlace(result);
    return result;
}

std::wstring Utf8ToWide(std::string_view text)
{
    if (text.empty())
        return {};
    int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (count <= 0)
        return {};
    std::wstring result(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), count);
    return result;
}

std::string WideToUtf8(std::wstring_view text)
{
    if (text.empty())
        return {};
    int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (count <= 0)
        return {};
    std::string result(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), count, nullptr, nullptr);
    return result;
}

std::wstring DecimalText(long long value)
{
    return std::to_wstring(value);
}

std::wstring UnsignedText(unsigned long long value)
{
    return std::to_wstring(value);
}

bool ParseDecimal(std::wstring_view text, DWORD& value) noexcept
{
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long long number = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        number = number * 10 + static_cast<unsigned>(c - L'0');
    }
    if (number > 0xFFFFFFFFull)
        return false;
    value = static_cast<DWORD>(number);
    return true;
}

std::wstring JoinFields(std::initializer_list<std::wstring_view> fields)
{
    size_t total = 0;
    for (std::wstring_view field : fields)
        total += field.size() + 1;
    std::wstring text;
    text.reserve(total);
    bool first = true;
    for (std::wstring_view field : fields) {
        if (!first)
            text += L',';
        text.append(field);
        first = false;
    }
    return text;
}

} // namespace qvx
