#include <gtest/gtest.h>

#include "host/system_libraries.h"

namespace qvx {
namespace {

struct PathCase {
    const char* name;
    const wchar_t* library;
    DWORD searchMode;
    const wchar_t* systemDirectory;
    const wchar_t* expected;
};

const PathCase kPathCases[] = {
    {"BareNameJoinsTheSystemDirectory", L"user32.dll", 0, L"C:\\windows\\system32", L"C:\\windows\\system32\\user32.dll"},
    {"RestrictedSearchKeepsTheName", L"user32.dll", LOAD_LIBRARY_SEARCH_SYSTEM32, L"C:\\windows\\system32", L"user32.dll"},
    {"LeadingBackslashIsAPath", L"\\\\server\\share\\x.dll", 0, L"C:\\windows\\system32", L"\\\\server\\share\\x.dll"},
    {"DriveLetterIsAPath", L"D:\\libs\\x.dll", 0, L"C:\\windows\\system32", L"D:\\libs\\x.dll"},
    {"NamesShorterThanThreeStayAsTheyAre", L"ab", 0, L"C:\\windows\\system32", L"ab"},
    {"ThreeCharactersAreABareName", L"abc", 0, L"C:\\windows\\system32", L"C:\\windows\\system32\\abc"},
    {"NoSystemDirectoryKeepsTheName", L"user32.dll", 0, L"", L"user32.dll"},
};

class SystemLibraryPathTest : public testing::TestWithParam<PathCase> {};

TEST_P(SystemLibraryPathTest, BuildsTheNameToLoad)
{
    const PathCase& c = GetParam();
    EXPECT_EQ(SystemLibraryPath(c.library, c.searchMode, c.systemDirectory), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Names, SystemLibraryPathTest, testing::ValuesIn(kPathCases),
                         [](const testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

TEST(LoadSystemLibraryTest, LoadsFromTheSystemDirectoryOnly)
{
    HMODULE version = LoadSystemLibrary(L"version.dll");
    ASSERT_NE(version, nullptr);
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(version, path, MAX_PATH);
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(_wcsnicmp(path, system, wcslen(system)), 0) << path;
    FreeLibrary(version);

    SetLastError(0);
    EXPECT_EQ(LoadSystemLibrary(L"qvx-no-such-library.dll"), nullptr);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(LoadSystemLibrary(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

} // namespace
} // namespace qvx
