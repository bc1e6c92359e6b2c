#include <gtest/gtest.h>

#include "host/management_service.h"
#include "host/service_status.h"
#include "tests/entry/status_recorder.h"

namespace qvx {
namespace {

class ReportServiceStatusTest : public testing::Test {
protected:
    ReportServiceStatusTest() { service_.statusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(test::StatusRecorder::kFakeHandle); }

    test::StatusRecorder recorder_;
    ManagementService service_;
};

TEST_F(ReportServiceStatusTest, CheckpointsRiseWhilePendingAndAreZeroOtherwise)
{
    ReportServiceStatus(SERVICE_START_PENDING, 3000);
    ReportServiceStatus(SERVICE_START_PENDING, 3000);
    ReportServiceStatus(SERVICE_RUNNING, 3000);
    ReportServiceStatus(SERVICE_STOP_PENDING, 3000);
    ReportServiceStatus(SERVICE_STOPPED, 3000);

    struct Expected {
        DWORD state;
        DWORD checkpoint;
    };
    const Expected expected[] = {{SERVICE_START_PENDING, 1},
                                 {SERVICE_START_PENDING, 2},
                                 {SERVICE_RUNNING, 0},
                                 {SERVICE_STOP_PENDING, 3},
                                 {SERVICE_STOPPED, 0}};
    std::vector<SERVICE_STATUS> reports = recorder_.Reports();
    ASSERT_EQ(reports.size(), std::size(expected));
    for (size_t i = 0; i < reports.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(reports[i].dwCurrentState, expected[i].state);
        EXPECT_EQ(reports[i].dwCheckPoint, expected[i].checkpoint);
        EXPECT_EQ(reports[i].dwServiceType, static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS));
        EXPECT_EQ(reports[i].dwControlsAccepted, 0xF5u);
        EXPECT_EQ(reports[i].dwWin32ExitCode, 0u);
        EXPECT_EQ(reports[i].dwWaitHint, 3000u);
    }
}

TEST_F(ReportServiceStatusTest, StateZeroRepeatsTheLastReportWithoutAdvancingTheCheckpoint)
{
    ReportServiceStatus(0, 3000);
    ReportServiceStatus(SERVICE_START_PENDING, 3000);
    ReportServiceStatus(0, 3000);
    ReportServiceStatus(SERVICE_START_PENDING, 3000);

    std::vector<SERVICE_STATUS> reports = recorder_.Reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0].dwCurrentState, 0u);
    EXPECT_EQ(reports[0].dwCheckPoint, 0u);
    EXPECT_EQ(reports[2].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(reports[2].dwCheckPoint, 1u);
    EXPECT_EQ(reports[3].dwCheckPoint, 2u);
}

TEST_F(ReportServiceStatusTest, NothingIsReportedWithoutAStatusHandle)
{
    service_.statusHandle = nullptr;
    EXPECT_TRUE(ReportServiceStatus(SERVICE_RUNNING, 3000));
    EXPECT_TRUE(recorder_.Reports().empty());
}

TEST_F(ReportServiceStatusTest, AFailedReportIsTracedAndAnswered)
{
    service_.statusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x77);
    EXPECT_FALSE(ReportServiceStatus(SERVICE_RUNNING, 3000));
}

} // namespace
} // namespace qvx
