#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/trace.h"
#include "platform/wide_text.h"
#include "tests/support/trace_capture.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

TEST(Trace, ObserverSeesTypedArgumentsAndLevel)
{
    test::TraceCapture capture;
    std::wstring name = L"svc";
    QVX_TRACE(trace::kError, 7, L"open failed", name, 1060u, -1, "utf8 text", static_cast<const void*>(nullptr));
    auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, trace::kError);
    EXPECT_EQ(records[0].number, 7u);
    EXPECT_STREQ(records[0].file, "trace_test.cpp");
    EXPECT_EQ(records[0].text, L"open failed svc 1060 -1 utf8 text 0x0");
    EXPECT_TRUE(capture.Contains(trace::kError, L"open failed"));
    EXPECT_FALSE(capture.Contains(trace::kWarning, L"open failed"));
}

TEST(Trace, KeepsTheLastError)
{
    test::TraceCapture capture;
    SetLastError(1234);
    QVX_TRACE(trace::kInfo, 1, L"x", std::wstring(5000, L'a'));
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Trace, ManyArgumentsAreRendered)
{
    test::TraceCapture capture;
    QVX_TRACE(trace::kVerbose, 2, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
    EXPECT_TRUE(capture.Contains(trace::kVerbose, L"1 2 3 4 5 6 7 8 9 10"));
}

TEST(Trace, MirrorWritesLinesAtOrAboveItsLevelToAFile)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring file = std::wstring(dir) + test::UniqueName(L"trace") + L".log";
    trace::SetMirror(trace::kWarning, file);
    QVX_TRACE(trace::kError, 3, L"kept error");
    QVX_TRACE(trace::kVerbose, 4, L"dropped verbose");
    trace::SetMirror(0, L"");
    QVX_TRACE(trace::kError, 5, L"after switch-off");

    std::ifstream in(WideToUtf8(file), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    in.close();
    DeleteFileW(file.c_str());
    std::string text = content.str();
    EXPECT_NE(text.find("ERROR trace_test.cpp#3: kept error"), std::string::npos) << text;
    EXPECT_EQ(text.find("dropped verbose"), std::string::npos) << text;
    EXPECT_EQ(text.find("after switch-off"), std::string::npos) << text;
}

} // namespace
} // namespace qvx
