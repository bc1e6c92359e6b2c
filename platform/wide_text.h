#pragma once
// Wide-text helpers. Every comparison of names in this system folds ASCII
// letter case only; other code units compare exactly.

#include <string>
#include <string_view>

namespace qvx {

constexpr wchar_t FoldAscii(wchar_t c) noexcept
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool EqualsFolded(std::wstring_view a, std::wstring_view b) noexcept;
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

} // namespace qvx
