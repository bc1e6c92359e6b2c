#include <gtest/gtest.h>

#include <windows.h>

#include "model/hosted_process.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

bool IsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(HostedProcess, InvalidHandlesAreNotHeld)
{
    const struct {
        const char* name;
        HANDLE handle;
    } cases[] = {{"null", nullptr}, {"invalid handle value", INVALID_HANDLE_VALUE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TraceCapture traces;
        PROCESS_INFORMATION info = {c.handle, c.handle, 31, 32};
        {
            HostedProcess process(info);
            EXPECT_EQ(process.ProcessHandle(), nullptr);
            EXPECT_EQ(process.ThreadHandle(), nullptr);
            EXPECT_FALSE(process.HasProcessHandle());
            EXPECT_EQ(process.ProcessId(), 31u);
            EXPECT_EQ(process.ThreadId(), 32u);
        }
        EXPECT_FALSE(traces.Contains(trace::kError, L"")) << "closed a handle it does not hold";
    }
}

// A handle protected from closing stands in for one that cannot be closed.
TEST(HostedProcess, FailedCloseIsTracedAndKeepsTheLastError)
{
    HANDLE stuck = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(SetHandleInformation(stuck, HANDLE_FLAG_PROTECT_FROM_CLOSE, HANDLE_FLAG_PROTECT_FROM_CLOSE));
    HANDLE thread = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        test::TraceCapture traces;
        {
            HostedProcess process({stuck, thread, 41, 42});
            SetLastError(ERROR_FILE_NOT_FOUND);
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_TRUE(traces.Contains(trace::kError, L"CloseHandle")) << testing::PrintToString(traces.Dump());
        EXPECT_FALSE(IsOpen(thread)) << "a failed close of one handle kept the other open";
    }
    ASSERT_TRUE(IsOpen(stuck));
    SetHandleInformation(stuck, HANDLE_FLAG_PROTECT_FROM_CLOSE, 0);
    CloseHandle(stuck);
}

} // namespace
} // namespace qvx
