#include <gtest/gtest.h>

#include <vector>

#include "host/management_service.h"
#include "host/run_management_service.h"
#include "platform/handles.h"
#include "tests/entry/management_service_thread.h"
#include "tests/entry/status_recorder.h"
#include "tests/support/test_service_key.h"
#include "tests/support/trace_capture.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

using test::StartManagementServiceMain;

// The main function runs the real start-up sequence: keep it off the
// installed service's key and control pipe.
class ManagementServiceMainTest : public testing::Test {
protected:
    void SetUp() override
    {
        calls_ = ManagementRunEngineCalls();
        calls_.pipeName = pipeName_.c_str();
        SetManagementRunCalls(&calls_);
    }
    void TearDown() override { SetManagementRunCalls(nullptr); }

    test::TestServiceKey key_;
    std::wstring pipeName_ = L"\\\\.\\pipe\\" + test::UniqueName(L"svhserver-main");
    ManagementRunCalls calls_{};
};

TEST_F(ManagementServiceMainTest, RunsUntilStoppedThroughItsHandlerAndReportsEachStep)
{
    test::StatusRecorder recorder;
    KernelHandle thread(StartManagementServiceMain());
    ASSERT_TRUE(thread);
    ASSERT_TRUE(recorder.WaitForState(SERVICE_RUNNING));

    std::vector<test::Registration> registrations = recorder.Registrations();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].name, L"qvxsvh");
    EXPECT_EQ(registrations[0].context, GetManagementService());
    ASSERT_NE(ManagementThreadHandle(), nullptr);
    EXPECT_EQ(WaitForSingleObject(ManagementThreadHandle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_EQ(registrations[0].handler(SERVICE_CONTROL_STOP, 0, nullptr, registrations[0].context), 0u);
    ASSERT_EQ(WaitForSingleObject(thread.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));

    std::vector<std::pair<DWORD, DWORD>> reports;
    for (const SERVICE_STATUS& status : recorder.Reports())
        reports.emplace_back(status.dwCurrentState, status.dwCheckPoint);
    EXPECT_EQ(reports, (std::vector<std::pair<DWORD, DWORD>>{{SERVICE_START_PENDING, 1},
                                                             {SERVICE_RUNNING, 0},
                                                             {SERVICE_STOP_PENDING, 2},
                                                             {SERVICE_STOPPED, 0}}));
    EXPECT_EQ(GetManagementService(), nullptr);
    EXPECT_EQ(WaitForSingleObject(ManagementThreadHandle(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseManagementThreadHandle();
}

// The service control manager may start the management service again while
// the process lives on (a proxy keeps it): the stop that ended the first run
// does not end the second.
TEST_F(ManagementServiceMainTest, AStartAfterAStopInTheSameProcessRunsUntilStoppedAgain)
{
    for (int run = 1; run <= 2; ++run) {
        test::StatusRecorder recorder;
        KernelHandle thread(StartManagementServiceMain());
        ASSERT_TRUE(thread);
        ASSERT_TRUE(recorder.WaitForState(SERVICE_RUNNING)) << "run " << run;
        std::vector<test::Registration> registrations = recorder.Registrations();
        ASSERT_EQ(registrations.size(), 1u);
        const auto* service = static_cast<const ManagementService*>(registrations[0].context);
        EXPECT_EQ(WaitForSingleObject(service->runtime.stop.StopEvent().Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
            << "run " << run << " is told to stop before anyone asked";
        registrations[0].handler(SERVICE_CONTROL_STOP, 0, nullptr, registrations[0].context);
        ASSERT_EQ(WaitForSingleObject(thread.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_EQ(recorder.States().back(), static_cast<DWORD>(SERVICE_STOPPED)) << "run " << run;
        CloseManagementThreadHandle();
    }
}

TEST_F(ManagementServiceMainTest, WithoutAHandlerNothingRunsAndNothingIsReported)
{
    test::StatusRecorder recorder;
    recorder.FailRegistrations(ERROR_SERVICE_NOT_IN_EXE);
    KernelHandle thread(StartManagementServiceMain());
    ASSERT_TRUE(thread);
    ASSERT_EQ(WaitForSingleObject(thread.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(recorder.Reports().empty());
    EXPECT_EQ(GetManagementService(), nullptr);
    CloseManagementThreadHandle();
}

// Launch protection stood down for a legacy host stays marked as stood down
// until putting it back has worked, so that a failed restore is neither
// forgotten nor reported as done. (The launch-protection call is not built
// yet and always fails.)
TEST(RestoreLaunchProtectionTest, AFailedRestoreKeepsTheStoodDownMark)
{
    ManagementService service;
    service.managementProtectionStoodDown = true;
    service.proxyProtectionStoodDown = true;
    test::TraceCapture traces;

    RestoreLaunchProtection(service);

    EXPECT_TRUE(service.managementProtectionStoodDown.load());
    EXPECT_TRUE(service.proxyProtectionStoodDown.load());
    for (const wchar_t* name : {L"qvxsvh", L"qvxtrust", L"qvxfwsvc"}) {
        EXPECT_TRUE(traces.Contains(trace::kError, std::wstring(name) + L" launch protection could not be restored"))
            << traces.Dump();
    }
}

} // namespace
} // namespace qvx
