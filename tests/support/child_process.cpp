#include "tests/support/child_process.h"

#include <vector>

#include "platform/handles.h"

namespace qvx::test {

std::wstring ChildMode()
{
    wchar_t value[256];
    DWORD length = GetEnvironmentVariableW(L"QVX_CHILD_MODE", value, ARRAYSIZE(value));
    return (length > 0 && length < ARRAYSIZE(value)) ? std::wstring(value, length) : std::wstring();
}

ChildResult RunChild(const std::wstring& testName, const std::wstring& mode, DWORD timeoutMs)
{
    ChildResult result;
    wchar_t image[MAX_PATH];
    GetModuleFileNameW(nullptr, image, MAX_PATH);

    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    KernelHandle readEnd;
    KernelHandle writeEnd;
    if (!CreatePipe(readEnd.Receive(), writeEnd.Receive(), &inherit, 0))
        return result;
    SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);

    std::wstring commandLine = L"\"" + std::wstring(image) + L"\" --gtest_filter=" + testName;
    SetEnvironmentVariableW(L"QVX_CHILD_MODE", mode.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd.Get();
    startup.hStdError = writeEnd.Get();
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process = {};
    BOOL created = CreateProcessW(image, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &process);
    SetEnvironmentVariableW(L"QVX_CHILD_MODE", nullptr);
    writeEnd.Reset();
    if (!created)
        return result;
    KernelHandle processHandle(process.hProcess);
    KernelHandle threadHandle(process.hThread);

    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        result.output.append(buffer, got);
    result.finished = WaitForSingleObject(processHandle.Get(), timeoutMs) == WAIT_OBJECT_0;
    GetExitCodeProcess(processHandle.Get(), &result.exitCode);
    return result;
}

} // namespace qvx::test
