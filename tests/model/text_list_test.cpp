#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/text_list.h"

namespace qvx {
namespace {

using Pieces = std::vector<std::wstring>;

TEST(TextList, Split)
{
    const struct {
        const char* name;
        const wchar_t* text;
        const wchar_t* separator;
        bool splits;
        Pieces pieces;
    } cases[] = {
        {"two pieces", L"alpha:beta", L":", true, {L"alpha", L"beta"}},
        {"trailing separator", L"alpha:beta:", L":", true, {L"alpha", L"beta"}},
        {"no separator", L"alpha", L":", true, {L"alpha"}},
        {"two characters", L"ab", L":", true, {L"ab"}},
        {"longer separator", L"a, b, c", L", ", true, {L"a", L"b", L"c"}},
        {"leading separator", L":alpha", L":", false, {}},
        {"two separators in a row", L"alpha::beta", L":", false, {}},
        {"only a separator and more", L"::", L":", false, {}},
        {"one character", L"a", L":", false, {}},
        {"separator as long as the text", L"ab", L"ab", false, {}},
        {"empty text", L"", L":", false, {}},
        {"empty separator", L"alpha", L"", false, {}},
    };
    for (const auto& c : cases) {
        Pieces pieces = {L"left over"};
        EXPECT_EQ(SplitList(c.text, c.separator, pieces), c.splits) << c.name;
        EXPECT_EQ(pieces, c.pieces) << c.name;
    }
}

TEST(TextList, JoinReadsBackWithSplit)
{
    const Pieces names = {L"alpha", L"beta", L"gamma"};
    const std::wstring text = JoinList(names, L":");
    EXPECT_EQ(text, L"alpha:beta:gamma");
    Pieces back;
    ASSERT_TRUE(SplitList(text, L":", back));
    EXPECT_EQ(back, names);
    EXPECT_EQ(JoinList({}, L":"), L"");
    EXPECT_EQ(JoinList({L"one"}, L":"), L"one");
}

} // namespace
} // namespace qvx
