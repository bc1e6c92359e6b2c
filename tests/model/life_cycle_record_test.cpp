#include <gtest/gtest.h>

#include <windows.h>

#include <cwchar>
#include <string>

#include "model/boot_time.h"
#include "model/life_cycle_record.h"
#include "model/service_record.h"
#include "model/service_table_store.h"
#include "platform/registry_value.h"
#include "tests/support/test_service_key.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

constexpr ULONGLONG kBootTime = 0x01DB000000000000ull;

int g_bootReads = 0;
DWORD g_bootError = ERROR_SUCCESS;

DWORD FakeBootTime(ULONGLONG& creationTime)
{
    ++g_bootReads;
    if (g_bootError != ERROR_SUCCESS)
        return g_bootError;
    creationTime = kBootTime;
    return ERROR_SUCCESS;
}

ULONGLONG NowFileTime()
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

class LifeCycleRecordTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_bootReads = 0;
        g_bootError = ERROR_SUCCESS;
        previousReader_ = SetBootTimeReader(&FakeBootTime);
        service_.SetName(L"svc");
        RegKey key;
        CreateKey(HKEY_LOCAL_MACHINE, (root_.Path() + L"\\Services\\svc").c_str(), KEY_ALL_ACCESS, key);
    }
    void TearDown() override { SetBootTimeReader(previousReader_); }

    LifeCycleRecord Stored() const
    {
        LifeCycleRecord stored(&service_);
        stored.Load();
        return stored;
    }

    test::TestServiceKey root_;
    ServiceRecord service_;
    BootTimeReader previousReader_ = nullptr;
};

TEST_F(LifeCycleRecordTest, FirstStartCreatesTheRecord)
{
    ASSERT_FALSE(root_.Open(L"Services\\svc\\LifeCycle"));
    const ULONGLONG before = NowFileTime();
    LifeCycleRecord(&service_).RecordStart();

    const LifeCycleRecord stored = Stored();
    EXPECT_EQ(stored.RunIteration, 1u);
    EXPECT_EQ(stored.StopTime, 0u);
    EXPECT_EQ(stored.BootTime, kBootTime);
    EXPECT_GE(stored.StartTime + 10000, before); // GetSystemTime keeps milliseconds only
    EXPECT_LE(stored.StartTime, NowFileTime());
    EXPECT_STREQ(stored.SVHBuild, L"TESSERA.22.7.0.191");

    // The build is stored as the whole 32-character field.
    RegKey key = root_.Open(L"Services\\svc\\LifeCycle");
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExW(key.Get(), L"SVHBuild", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 64u);
    ASSERT_EQ(RegQueryValueExW(key.Get(), L"RunIteration", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_QWORD));
}

TEST_F(LifeCycleRecordTest, StopKeepsTheStartAndTheNextStartClearsTheStop)
{
    LifeCycleRecord(&service_).RecordStart();
    const LifeCycleRecord started = Stored();

    LifeCycleRecord(&service_).RecordStop();
    const LifeCycleRecord stopped = Stored();
    EXPECT_EQ(stopped.StartTime, started.StartTime);
    EXPECT_EQ(stopped.RunIteration, 1u);
    EXPECT_STREQ(stopped.SVHBuild, started.SVHBuild);
    EXPECT_GE(stopped.StopTime, started.StartTime);

    LifeCycleRecord(&service_).RecordStart();
    const LifeCycleRecord restarted = Stored();
    EXPECT_EQ(restarted.RunIteration, 2u);
    EXPECT_EQ(restarted.StopTime, 0u);
}

TEST_F(LifeCycleRecordTest, ServiceWithoutKeyGetsNothingWritten)
{
    ServiceRecord missing;
    missing.SetName(L"missing");
    test::TraceCapture traces;
    LifeCycleRecord(&missing).RecordStart();
    LifeCycleRecord(&missing).RecordStop();
    EXPECT_FALSE(root_.Open(L"Services\\missing"));
    EXPECT_TRUE(traces.Contains(trace::kError, L"missing")) << traces.Dump();
}

TEST_F(LifeCycleRecordTest, ManagementServiceKeepsItsRecordInItsOwnKey)
{
    LifeCycleRecord(nullptr).RecordStart();
    EXPECT_TRUE(root_.Open(L"LifeCycle"));
    LifeCycleRecord own(nullptr);
    own.Load();
    EXPECT_EQ(own.RunIteration, 1u);
    EXPECT_EQ(own.ServiceName(), L"qvxsvh");
    EXPECT_EQ(Stored().RunIteration, 0u);
}

TEST_F(LifeCycleRecordTest, LoadTakesWhatFitsAndLeavesTheRest)
{
    RegKey key;
    CreateKey(HKEY_LOCAL_MACHINE, (root_.Path() + L"\\Services\\svc\\LifeCycle").c_str(), KEY_ALL_ACCESS, key);
    WriteDword(key.Get(), L"RunIteration", 41); // any type up to 8 bytes
    const BYTE tooLong[16] = {1};
    RegSetValueExW(key.Get(), L"StartTime", 0, REG_BINARY, tooLong, sizeof(tooLong));
    WriteText(key.Get(), L"SVHBuild", std::wstring(40, L'b'));

    LifeCycleRecord record(&service_);
    record.StartTime = 123;
    record.StopTime = 456; // no value: kept
    record.Load();
    EXPECT_EQ(record.RunIteration, 41u);
    EXPECT_EQ(record.StartTime, 123u);
    EXPECT_EQ(record.StopTime, 456u);
    EXPECT_EQ(std::wstring(record.SVHBuild), std::wstring(31, L'b'));
}

TEST_F(LifeCycleRecordTest, BootTimeIsReadOnceAndRetriedAfterAFailure)
{
    g_bootError = ERROR_ACCESS_DENIED;
    LifeCycleRecord seeded(&service_);
    seeded.BootTime = 777;
    seeded.Save();

    test::TraceCapture traces;
    LifeCycleRecord(&service_).RecordStart();
    EXPECT_EQ(Stored().BootTime, 777u); // the loaded value stays
    EXPECT_TRUE(traces.Contains(trace::kError, L"boot time")) << traces.Dump();
    EXPECT_EQ(g_bootReads, 1);

    g_bootError = ERROR_SUCCESS;
    LifeCycleRecord(&service_).RecordStop();
    LifeCycleRecord(&service_).RecordStart();
    EXPECT_EQ(Stored().BootTime, kBootTime);
    EXPECT_EQ(g_bootReads, 2);
}

TEST_F(LifeCycleRecordTest, UserStopRecordsAStopAndAnUnchangedFlagOnlyRefreshes)
{
    service_.SetUserStopped(false); // unchanged: nothing written
    EXPECT_FALSE(root_.Open(L"Services\\svc\\LifeCycle"));
    service_.SetUserStopped(true);
    EXPECT_NE(Stored().StopTime, 0u);
}

TEST_F(LifeCycleRecordTest, TraceShowsTheRecordReadably)
{
    LifeCycleRecord(nullptr).RecordStart();
    test::TraceCapture traces;
    LifeCycleRecord(&service_).RecordStart();

    std::vector<std::wstring> current;
    for (const auto& record : traces.Records()) {
        if (record.level == trace::kInfo && record.text.rfind(L"Current ", 0) == 0)
            current.push_back(record.text);
    }
    ASSERT_EQ(current.size(), 2u) << traces.Dump();
    // The management service's own record comes first.
    EXPECT_EQ(current[0].rfind(L"Current qvxsvh TESSERA.22.7.0.191 ", 0), 0u) << current[0];
    EXPECT_EQ(current[1].rfind(L"Current svc TESSERA.22.7.0.191 ", 0), 0u) << current[1];
    EXPECT_NE(current[1].find(L" None 1"), std::wstring::npos) << "no stop time yet: " << current[1];
    EXPECT_TRUE(traces.Contains(trace::kInfo, L"Previous")) << traces.Dump();
}

TEST(LifeCycleTimeTextTest, FormatsLocalTimeWithMilliseconds)
{
    EXPECT_EQ(LifeCycleTimeText(0), L"None");

    SYSTEMTIME local = {2024, 3, 0, 9, 7, 5, 4, 321};
    FILETIME localFile = {};
    FILETIME utc = {};
    ASSERT_TRUE(SystemTimeToFileTime(&local, &localFile));
    ASSERT_TRUE(LocalFileTimeToFileTime(&localFile, &utc));
    const ULONGLONG time = (static_cast<ULONGLONG>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
    EXPECT_EQ(LifeCycleTimeText(time), L"2024/03/09 07:05:04.321");
}

} // namespace
} // namespace qvx
