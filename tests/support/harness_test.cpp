#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

#include "tests/support/child_process.h"
#include "tests/support/test_prefix.h"

namespace qvx::test {
namespace {

// In the child: "hang" never ends by itself, "quick" writes a line and ends.
TEST(ChildProcessTest, AChildPastItsDeadlineIsEndedAndTheTestFailsSayingSo)
{
    if (ChildMode() == L"hang") {
        printf("hanging\n");
        fflush(stdout);
        Sleep(INFINITE);
    }
    if (ChildMode() == L"quick") {
        printf("quick child\n");
        return;
    }

    ChildResult hung;
    EXPECT_NONFATAL_FAILURE(
        hung = RunChild(L"ChildProcessTest.AChildPastItsDeadlineIsEndedAndTheTestFailsSayingSo", L"hang", 2000),
        "passed its deadline of 2000 ms and was ended");
    EXPECT_TRUE(hung.started);
    EXPECT_TRUE(hung.timedOut);
    EXPECT_FALSE(hung.finished);
    EXPECT_EQ(hung.exitCode, static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_NE(hung.output.find("hanging"), std::string::npos) << hung.output;

    ChildResult quick = RunChild(L"ChildProcessTest.AChildPastItsDeadlineIsEndedAndTheTestFailsSayingSo", L"quick");
    EXPECT_TRUE(quick.finished);
    EXPECT_FALSE(quick.timedOut);
    EXPECT_EQ(quick.exitCode, 0u);
    EXPECT_NE(quick.output.find("quick child"), std::string::npos) << quick.output;
}

TEST(TestPrefixTest, OnlyAWinePrefixInsideTheBuildTreeCounts)
{
    const std::wstring bin = L"/work/tree/build/bin";
    struct Case {
        bool underWine;
        const wchar_t* prefix;
        const wchar_t* binDir;
        bool inside;
    };
    const Case cases[] = {
        {true, L"/work/tree/build/wineprefix", bin.c_str(), true},
        {true, L"/work/tree/build/wineprefix/", L"/work/tree/build/bin/", true},
        {true, L"/work/tree/build/run-prefix", bin.c_str(), true},
        {false, L"/work/tree/build/wineprefix", bin.c_str(), false}, // Windows itself
        {true, L"", bin.c_str(), false},
        {true, L"/home/user/.wine", bin.c_str(), false},
        {true, L"/work/tree/build", bin.c_str(), false},           // the build tree itself
        {true, L"/work/tree/build2/wineprefix", bin.c_str(), false}, // a sibling sharing the name's start
        {true, L"/work/tree/build/../../home/user/.wine", bin.c_str(), false},
        {true, L"/work/tree/build/wineprefix", L"", false},
        {true, L"/work/tree/build/wineprefix", L"C:\\build\\bin", false},
        {true, L"/wineprefix", L"/bin", false},
    };
    for (const Case& c : cases) {
        const std::wstring why = OutsideTestPrefix(c.underWine, c.prefix, c.binDir);
        EXPECT_EQ(why.empty(), c.inside) << Narrow(c.prefix) << " with bin " << Narrow(c.binDir) << ": "
                                         << Narrow(why);
    }
}

// Under CTest the test programs run in the build tree's own prefix.
TEST(TestPrefixTest, TheTestRunIsInsideItsPrefix)
{
    if (!GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        GTEST_SKIP() << "not under Wine";
    EXPECT_EQ(Narrow(OutsideTestPrefix()), "");
}

} // namespace
} // namespace qvx::test
