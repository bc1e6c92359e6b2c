#pragma once
// Lists stored as one text (dependency lists, power-profile sets): pieces
// separated by a separator string. The control protocol splits its fields
// by the same rule.

#include <string>
#include <string_view>
#include <vector>

namespace qvx {

// Splits text at every occurrence of separator into pieces (cleared first).
// Fails, leaving pieces empty, when the text is empty, the separator is empty
// or longer than the text's length less one (so a one-character text never
// splits), or a piece would be empty (a leading separator, or two in a row).
// The rest after the last separator is the last piece; one trailing
// separator is allowed.
bool SplitList(std::wstring_view text, std::wstring_view separator, std::vector<std::wstring>& pieces);

// The pieces with separator between them; no trailing separator.
std::wstring JoinList(const std::vector<std::wstring>& pieces, std::wstring_view separator);

} // namespace qvx
