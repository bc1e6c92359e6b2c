#include <gtest/gtest.h>

#include <string>

#include "platform/handles.h"
#include "platform/wide_text.h"
#include "protocol/dispatcher.h"
#include "protocol/pipe_server.h"
#include "tests/protocol/pipe_test_support.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

struct ToolRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output; // standard output and error together
};

ToolRun RunSvhctl(const std::wstring& arguments)
{
    ToolRun run;
    wchar_t binDir[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"QVX_BIN_DIR", binDir, MAX_PATH);
    EXPECT_TRUE(length > 0 && length < MAX_PATH) << "QVX_BIN_DIR is not set";
    std::wstring image = std::wstring(binDir) + L"\\svhctl.exe";
    // The build tree is a Unix path under Wine; its drive letter is Z:.
    if (!image.empty() && image[0] == L'/')
        image = L"Z:" + image;

    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    KernelHandle readEnd;
    KernelHandle writeEnd;
    if (!CreatePipe(readEnd.Receive(), writeEnd.Receive(), &inherit, 0))
        return run;
    SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);
    std::wstring commandLine = L"\"" + image + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd.Get();
    startup.hStdError = writeEnd.Get();
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process = {};
    BOOL created = CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    writeEnd.Reset();
    EXPECT_TRUE(created) << "cannot start " << WideToUtf8(image) << ": " << GetLastError();
    if (!created)
        return run;
    KernelHandle processHandle(process.hProcess);
    KernelHandle threadHandle(process.hThread);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        run.output.append(buffer, got);
    EXPECT_EQ(WaitForSingleObject(processHandle.Get(), 30000), WAIT_OBJECT_0);
    GetExitCodeProcess(processHandle.Get(), &run.exitCode);
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
        ToolRun run = RunSvhctl(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.name << ": " << run.output;
        EXPECT_NE(run.output.find(c.output), std::string::npos) << c.name << ": " << run.output;
    }
}

} // namespace
} // namespace qvx
