#include <gtest/gtest.h>

#include <string>

#include "platform/handles.h"
#include "platform/wide_text.h"
#include "protocol/dispatcher.h"
#include "protocol/pipe_server.h"
#include "tests/protocol/pipe_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

test::ProgramRun RunSvhctl(const std::wstring& arguments)
{
    test::ProgramRun run = test::RunProgram(test::BuiltProgramPath(L"svhctl.exe"), arguments);
    EXPECT_TRUE(run.started) << "cannot start svhctl.exe";
    EXPECT_TRUE(run.finished) << "svhctl.exe did not end";
    return run;
}

// Answers every request with its own text, so any reply code can be asked for.
void EchoCallback(SVHServerPipe& pipe)
{
    if (pipe.AdvanceIo() && pipe.State() == PipeState::Writing)
        pipe.WriteReply(pipe.TakeRequest());
}

TEST(Svhctl, PrintsTheReplyAndExitsWithItsErrorCode)
{
    test::RunningPipeServers host(Dispatch, 2);
    test::RunningPipeServers echo(EchoCallback, 2);
    ASSERT_TRUE(host.Started() && echo.Started());
    const std::wstring hostPipe = L"--pipe " + host.Name() + L" ";
    const std::wstring echoPipe = L"--pipe " + echo.Name() + L" ";

    struct Case {
        const char* name;
        std::wstring arguments;
        DWORD exitCode;
        const char* output;
    };
    const Case cases[] = {
        {"ping", hostPipe + L"ping", 0, "ACK\n"},
        {"raw ping with fields", hostPipe + L"raw \"ping,xyz\"", 0, "ACK\n"},
        {"unrecognised request", hostPipe + L"raw PINGX", ERROR_NOT_SUPPORTED, "empty reply"},
        {"status", echoPipe + L"status foo", 0, "QUERY_SERVICE_STATUS,foo\n"},
        {"error reply", echoPipe + L"raw SERVICE_NOT_FOUND", 1060, "SERVICE_NOT_FOUND\n"},
        {"echo reply whose payload holds a code", echoPipe + L"status config_failed", 0,
         "QUERY_SERVICE_STATUS,config_failed\n"},
        {"echo reply to a request in lower case", echoPipe + L"raw query_service_status,service_not_found", 0,
         "query_service_status,service_not_found\n"},
        {"later code of the search order loses", echoPipe + L"raw \"CONFIG_FAILED SERVICE_FAILED_TO_STOP\"", 1067,
         "CONFIG_FAILED SERVICE_FAILED_TO_STOP\n"},
        {"no such pipe", L"--pipe " + test::UniqueName(L"qvxtest-nobody") + L" ping", ERROR_FILE_NOT_FOUND,
         "cannot reach"},
        {"no verb", L"", ERROR_INVALID_PARAMETER, "usage:"},
        {"unknown verb", L"start foo", ERROR_INVALID_PARAMETER, "usage:"},
        {"status without a name", L"status", ERROR_INVALID_PARAMETER, "usage:"},
        {"pipe without a name", L"--pipe", ERROR_INVALID_PARAMETER, "usage:"},
    };
    for (const Case& c : cases) {
        test::ProgramRun run = RunSvhctl(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.name << ": " << run.output;
        EXPECT_NE(run.output.find(c.output), std::string::npos) << c.name << ": " << run.output;
    }
}

} // namespace
} // namespace qvx
