#include <gtest/gtest.h>

#include "platform/wide_text.h"

namespace qvx {
namespace {

struct FoldCase {
    const char* name;
    const wchar_t* a;
    const wchar_t* b;
    bool equal;
};

TEST(WideText, FoldedComparisonFoldsAsciiLettersOnly)
{
    const FoldCase cases[] = {
        {"same", L"qvxsvh", L"qvxsvh", true},
        {"ascii case", L"QvxSvh", L"qVXsVH", true},
        {"length differs", L"qvx", L"qvxs", false},
        {"non-ascii letters are exact", L"\u00c4", L"\u00e4", false},
        {"punctuation next to letters is exact", L"[", L"{", false},
        {"empty", L"", L"", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EqualsFolded(c.a, c.b), c.equal) << c.name;
}

TEST(WideText, PrefixAndSearchAreFolded)
{
    EXPECT_TRUE(StartsWithFolded(L"ping,xyz", L"PING"));
    EXPECT_FALSE(StartsWithFolded(L"PIN", L"PING"));
    EXPECT_EQ(FindFolded(L"xx service_not_found", L"SERVICE_NOT_FOUND"), 3u);
    EXPECT_EQ(FindFolded(L"ACK", L"SERVICE_NOT_FOUND"), std::wstring_view::npos);
    EXPECT_EQ(ToLowerAscii(L"MySvc\u00c4"), L"mysvc\u00c4");
}

TEST(WideText, Utf8RoundTrip)
{
    const std::wstring text = L"caf\u00e9 \u6771\u4eac";
    EXPECT_EQ(Utf8ToWide(WideToUtf8(text)), text);
    EXPECT_EQ(WideToUtf8(L"plain"), "plain");
}

} // namespace
} // namespace qvx
