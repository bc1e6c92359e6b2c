#include "engine/launch_command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace qvx {
namespace {

TEST(LaunchCommandLine, FromTheBinaryPath)
{
    struct Case {
        const char* name;
        const wchar_t* binaryPath;
        WinServiceType type;
        const wchar_t* executable;
        const wchar_t* commandLine;
    };
    const Case cases[] = {
        {"plain path", L"C:\\svc\\svc.exe", WinServiceType::kOwnProcess, L"C:\\svc\\svc.exe", L"\"C:\\svc\\svc.exe\""},
        {"unquoted with arguments", L"C:\\Program Files\\svc.exe -a b", WinServiceType::kOwnProcess,
         L"C:\\Program Files\\svc.exe", L"\"C:\\Program Files\\svc.exe\" -a b"},
        {"upper-case suffix", L"C:\\SVC\\SVC.EXE /x", WinServiceType::kOwnProcess, L"C:\\SVC\\SVC.EXE",
         L"\"C:\\SVC\\SVC.EXE\" /x"},
        {"quoted with arguments is its own command line", L"\"C:\\Program Files\\svc.exe\" -a",
         WinServiceType::kOwnProcess, L"C:\\Program Files\\svc.exe", L"\"C:\\Program Files\\svc.exe\" -a"},
        {"the first .exe ends the executable", L"C:\\a.exe.d\\svc.exe", WinServiceType::kOwnProcess, L"C:\\a.exe",
         L"\"C:\\a.exe\".d\\svc.exe"},
        {"share process appends its name", L"C:\\svc\\host.exe -k", WinServiceType::kShareProcess,
         L"C:\\svc\\host.exe", L"\"C:\\svc\\host.exe\" -k first"},
        {"quoted share process appends its name", L"\"C:\\svc\\host.exe\"", WinServiceType::kShareProcess,
         L"C:\\svc\\host.exe", L"\"C:\\svc\\host.exe\" first"},
        {"a DLL service gets nothing appended", L"C:\\svc\\x.exe", WinServiceType::kUserDll, L"C:\\svc\\x.exe",
         L"\"C:\\svc\\x.exe\""},
    };
    for (const Case& c : cases) {
        LaunchCommandLine line;
        ASSERT_EQ(BuildLaunchCommandLine(c.binaryPath, c.type, L"first", line), 0u) << c.name;
        EXPECT_EQ(line.executablePath, c.executable) << c.name;
        EXPECT_EQ(line.commandLine, c.commandLine) << c.name;
    }
}

TEST(LaunchCommandLine, APathWithoutAnExecutableIsRefused)
{
    for (const wchar_t* binaryPath : {L"C:\\svc\\svc.com", L"\"C:\\svc\\svc\"", L"exe"}) {
        LaunchCommandLine line;
        EXPECT_EQ(BuildLaunchCommandLine(binaryPath, WinServiceType::kOwnProcess, L"svc", line),
                  static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
        EXPECT_TRUE(line.commandLine.empty());
    }
}

} // namespace
} // namespace qvx
