#include "model/text_list.h"

namespace qvx {

bool SplitList(std::wstring_view text, std::wstring_view separator, std::vector<std::wstring>& pieces)
{
    pieces.clear();
    if (text.empty() || separator.empty() || separator.size() > text.size() - 1)
        return false;
    size_t position = 0;
    while (position < text.size()) {
        const size_t found = text.find(separator, position);
        if (found == position) {
            pieces.clear();
            return false;
        }
        if (found == std::wstring_view::npos) {
            pieces.emplace_back(text.substr(position));
            break;
        }
        pieces.emplace_back(text.substr(position, found - position));
        position = found + separator.size();
    }
    return true;
}

std::wstring JoinList(const std::vector<std::wstring>& pieces, std::wstring_view separator)
{
    std::wstring text;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            text += separator;
        text += pieces[i];
    }
    return text;
}

} // namespace qvx
