#pragma once
// Wide-text helpers. Comparisons of enumeration names, paths and protocol
// words fold ASCII letter case only; other code units compare exactly.
// Service names are the exception (SameServiceName): each names a registry
// key, and they compare as the registry compares key names.

#include <initializer_list>
#include <string>
#include <string_view>

#include <windows.h>

namespace qvx {

constexpr wchar_t FoldAscii(wchar_t c) noexcept
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool EqualsFolded(std::wstring_view a, std::wstring_view b) noexcept;
// Whether two service names name the same service: the same registry key.
// The registry takes key names that differ only in letter case as one key,
// over all of Unicode (ordinal, by the system's upper-case table), so a
// name folded to ASCII lower case for storage still meets every name that
// opens its key.
bool SameServiceName(std::wstring_view a, std::wstring_view b) noexcept;
bool StartsWithFolded(std::wstring_view text, std::wstring_view prefix) noexcept;
// Position of the first folded occurrence of needle in text, or npos.
size_t FindFolded(std::wstring_view text, std::wstring_view needle) noexcept;
std::wstring ToLowerAscii(std::wstring_view text);
void ToLowerAsciiInPlace(std::wstring& text) noexcept;

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

// Decimal text of a number, as the protocol writes it.
std::wstring DecimalText(long long value);
std::wstring UnsignedText(unsigned long long value);
// Reads text that is a decimal number of 32 bits and nothing else: digits
// only, no sign, no blanks, at least one digit. False for anything else.
bool ParseDecimal(std::wstring_view text, DWORD& value) noexcept;

// The fields joined by commas, the field separator of the host's messages.
// Built by concatenation: MinGW's wide printf family does not read "%s" the
// way the messages mean it.
std::wstring JoinFields(std::initializer_list<std::wstring_view> fields);

} // namespace qvx
