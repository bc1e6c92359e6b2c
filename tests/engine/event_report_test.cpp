#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/event_report.h"
#include "platform/handles.h"
#include "tests/support/child_process.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

struct Report {
    WORD type;
    WORD category;
    DWORD id;
    bool hasUser;
    DWORD dataSize;
    std::vector<std::wstring> strings;
};

std::vector<Report> g_reports;
BOOL g_reportResult = TRUE;

BOOL WINAPI RecordReport(HANDLE, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD dataSize,
                         LPCWSTR* strings, LPVOID)
{
    Report report{type, category, id, user != nullptr, dataSize, {}};
    for (WORD i = 0; i < count; ++i)
        report.strings.emplace_back(strings[i]);
    g_reports.push_back(report);
    if (!g_reportResult)
        SetLastError(ERROR_LOG_FILE_FULL);
    return g_reportResult;
}

class EventReportTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_reports.clear();
        g_reportResult = TRUE;
        SetReportEventFunction(&RecordReport);
    }
    void TearDown() override
    {
        SetReportEventFunction(nullptr);
        DeregisterServiceEventSource();
    }
};

TEST_F(EventReportTest, ReportsAreSkippedUntilTheSourceIsRegistered)
{
    ReportServiceEvent(kEventServiceRunning, {L"svc"});
    EXPECT_TRUE(g_reports.empty());

    ASSERT_TRUE(RegisterServiceEventSource());
    ReportServiceEvent(kEventServiceRunning, {L"svc"});
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0].id, 0x42000001u);
    EXPECT_EQ(g_reports[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(g_reports[0].category, 0);
    EXPECT_FALSE(g_reports[0].hasUser);
    EXPECT_EQ(g_reports[0].dataSize, 0u);
    EXPECT_EQ(g_reports[0].strings, std::vector<std::wstring>{L"svc"});
}

TEST_F(EventReportTest, ErrorIdsAreStillInformationReports)
{
    ASSERT_TRUE(RegisterServiceEventSource());
    ReportServiceEvent(kEventServiceFailedToStart, {L"svc", L"The system cannot find the file specified."});
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0].id, 0xC2000006u);
    EXPECT_EQ(g_reports[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(g_reports[0].strings.size(), 2u);
}

TEST_F(EventReportTest, AFailedReportIsSwallowed)
{
    ASSERT_TRUE(RegisterServiceEventSource());
    g_reportResult = FALSE;
    test::TraceCapture traces;
    ReportServiceEvent(kEventServiceDeleted, {L"lost-svc"});
    EXPECT_EQ(g_reports.size(), 1u);
    // The trace names the service and the error.
    EXPECT_TRUE(traces.Contains(trace::kError, L"lost-svc")) << traces.Dump();
    EXPECT_TRUE(traces.Contains(trace::kError, std::to_wstring(ERROR_LOG_FILE_FULL))) << traces.Dump();
}

// The text of one event from the message table of `module` (this program
// when null: it links the same table as the service).
std::wstring FormatEvent(DWORD id, std::vector<const wchar_t*> strings, HMODULE module = nullptr)
{
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  module, id, 1033, reinterpret_cast<LPWSTR>(&text), 0,
                                  reinterpret_cast<va_list*>(const_cast<wchar_t**>(strings.data())));
    std::wstring result = length ? std::wstring(text, length) : std::wstring();
    LocalFree(text);
    return result;
}

TEST(MessageTable, TextsAndIdsAreAsReported)
{
    struct Case {
        DWORD id;
        std::vector<const wchar_t*> strings;
        const wchar_t* text;
    };
    const Case cases[] = {
        {0x42000001, {L"a"}, L"The a SVH Service entered the running state.\r\n"},
        {0x42000002, {L"a"}, L"The a SVH Service entered the stopped state.\r\n"},
        {0x42000003, {L"a"}, L"The a SVH Service entered the paused state.\r\n"},
        {0x42000004, {L"a"}, L"The a SVH Service entered the Post-Shutdown state.\r\n"},
        {0xC2000005, {L"a"}, L"The a SVH Service terminated unexpectedly.\r\n"},
        {0xC2000006, {L"a", L"boom"}, L"The a SVH Service failed to start due to the following error. boom.\r\n"},
        {0x42000008, {L"w", L"x", L"y", L"z"}, L"The w of the x service was changed from y to z\r\n"},
        {0x42000009, {L"a"}, L"The a SVH service was deleted.\r\n"},
        {0x42000010, {}, L"QVXSVH has started an On-Demand Scan of Windows Services.\r\n"},
        {0x42000011, {}, L"QVXSVH has ended an On-Demand ScanAndManage of Windows Services.\r\n"},
        {0x42000012, {}, L"The QVXSVH Auo ScanAndManage feature has been enabled.\r\n"},
        {0x42000013, {}, L"The QVXSVH Auto ScanAndManage feature has been disabled.\r\n"},
        {0x42000014, {L"a"}, L"QVXSVH ScanAndManage has taken over management of the a service\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatEvent(c.id, c.strings), c.text) << std::hex << c.id;

    // The event source names the service image as its message file, so the
    // image itself must carry the table.
    Module image(LoadLibraryExW(test::BuiltProgramPath(L"qvxsvh.exe").c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(image.IsValid()) << GetLastError();
    for (const auto& c : cases)
        EXPECT_EQ(FormatEvent(c.id, c.strings, image.Get()), c.text) << "qvxsvh.exe " << std::hex << c.id;
}

TEST(MessageTable, CreationEventCarriesTenStrings)
{
    const wchar_t* strings[] = {L"s1", L"s2", L"s3", L"s4", L"s5", L"s6", L"s7", L"s8", L"s9", L"s10"};
    EXPECT_EQ(FormatEvent(0x42000007, {std::begin(strings), std::end(strings)}),
              L"A service was created with QVXSVH:\r\n"
              L"\r\n"
              L"Service Name: s1\r\n"
              L"Service BinaryPath: s2\r\n"
              L"Service Type: s3\r\n"
              L"Service Power Profile: s4\r\n"
              L"Service Depends On: s5\r\n"
              L"Service Restart Period: s6\r\n"
              L"Service Restart Count: s7\r\n"
              L"Service Restart Delay: s8\r\n"
              L"Service Group Account: s9\r\n"
              L"Service Startup Profile: s10\r\n");
}

} // namespace
} // namespace qvx
