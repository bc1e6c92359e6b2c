#include <gtest/gtest.h>

#include <vector>

#include "tests/support/installed_service.h"

namespace qvx {
namespace {

TEST(InstalledServiceTest, StartsThroughTheManagerAnswersAndStops)
{
    test::InstalledService service;
    ASSERT_EQ(service.Error(), 0u);
    ASSERT_EQ(service.Start(), 0u);
    EXPECT_EQ(service.Status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(test::InstalledService::Request(L"PING"), L"ACK");

    std::vector<DWORD> states;
    ASSERT_EQ(service.Stop(&states), 0u);
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), static_cast<DWORD>(SERVICE_STOPPED));
}

} // namespace
} // namespace qvx
