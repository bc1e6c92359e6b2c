#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "platform/registry_value.h"
#include "platform/wide_text.h"
#include "tests/support/test_service_key.h"

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

// Pairs of service names; whether the registry takes them for one key.
const FoldCase kServiceNamePairs[] = {
    {"same", L"uc_svc", L"uc_svc", true},
    {"ascii case", L"uc_svc", L"UC_SVC", true},
    {"non-ascii letter case", L"uc_\u00e9t\u00e9", L"uc_\u00c9t\u00c9", true},
    {"greek letters", L"\u03b1\u03b2", L"\u0391\u0392", true},
    {"cyrillic letters", L"\u0434\u043e\u043c", L"\u0414\u041e\u041c", true},
    {"a letter and another letter", L"\u00e9", L"\u00e8", false},
    {"sharp s is not two letters", L"stra\u00dfe", L"STRASSE", false},
    {"length differs", L"uc_svc", L"uc_svc2", false},
    {"punctuation next to letters", L"a[", L"a{", false},
};

TEST(WideText, ServiceNamesCompareOverAllLetters)
{
    for (const auto& c : kServiceNamePairs) {
        EXPECT_EQ(SameServiceName(c.a, c.b), c.equal) << c.name;
        EXPECT_EQ(SameServiceName(c.b, c.a), c.equal) << c.name;
    }
    EXPECT_TRUE(SameServiceName(L"", L""));
    EXPECT_FALSE(SameServiceName(L"", L"a"));
    EXPECT_FALSE(EqualsFolded(L"uc_\u00e9t\u00e9", L"uc_\u00c9t\u00c9")) << "the ASCII rule stays as it was";
}

// The comparison is only right if it agrees with the registry: a key made
// under one name must open under the other exactly when the names compare
// equal, and two names that compare unequal must make two keys.
TEST(WideText, ServiceNamesCompareAsRegistryKeyNames)
{
    // Letters whose case mapping is not one to one: only agreement counts.
    std::vector<FoldCase> pairs(std::begin(kServiceNamePairs), std::end(kServiceNamePairs));
    pairs.push_back({"final and medial sigma", L"\u03c2", L"\u03c3", false});
    pairs.push_back({"long s", L"\u017f", L"s", false});
    pairs.push_back({"kelvin sign", L"\u212a", L"k", false});
    pairs.push_back({"dotless i", L"\u0131", L"I", false});
    pairs.push_back({"fullwidth letters", L"\uff41", L"\uff21", true});

    test::TestServiceKey root;
    RegKey parent = root.Open();
    ASSERT_TRUE(parent.IsValid());
    for (const auto& c : pairs) {
        SCOPED_TRACE(c.name);
        RegKey first;
        ASSERT_EQ(CreateKey(parent.Get(), c.a, KEY_ALL_ACCESS, first), 0u);
        RegKey second;
        const DWORD opened = OpenKey(parent.Get(), c.b, KEY_READ, second);
        EXPECT_EQ(opened == ERROR_SUCCESS, SameServiceName(c.a, c.b)) << opened;
        first.Reset();
        second.Reset();
        RegDeleteKeyW(parent.Get(), c.a);
        RegDeleteKeyW(parent.Get(), c.b);
    }
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
