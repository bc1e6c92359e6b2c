#include "tests/support/child_process.h"

#include "platform/handles.h"

namespace qvx::test {

ProgramRun RunProgram(const std::wstring& image, const std::wstring& arguments, DWORD timeoutMs)
{
    ProgramRun run;
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
    run.started = CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &process) != FALSE;
    writeEnd.Reset();
    if (!run.started)
        return run;
    KernelHandle processHandle(process.hProcess);
    KernelHandle threadHandle(process.hThread);

    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        run.output.append(buffer, got);
    run.finished = WaitForSingleObject(processHandle.Get(), timeoutMs) == WAIT_OBJECT_0;
    GetExitCodeProcess(processHandle.Get(), &run.exitCode);
    return run;
}

std::wstring BuiltProgramPath(const std::wstring& fileName)
{
    wchar_t binDir[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"QVX_BIN_DIR", binDir, MAX_PATH);
    std::wstring folder = (length > 0 && length < MAX_PATH) ? std::wstring(binDir, length) : std::wstring(L".");
    if (!folder.empty() && folder[0] == L'/')
        folder = L"Z:" + folder;
    return folder + L"\\" + fileName;
}

std::wstring ChildMode()
{
    wchar_t value[256];
    DWORD length = GetEnvironmentVariableW(L"QVX_CHILD_MODE", value, ARRAYSIZE(value));
    return (length > 0 && length < ARRAYSIZE(value)) ? std::wstring(value, length) : std::wstring();
}

ChildResult RunChild(const std::wstring& testName, const std::wstring& mode, DWORD timeoutMs)
{
    wchar_t image[MAX_PATH];
    GetModuleFileNameW(nullptr, image, MAX_PATH);
    SetEnvironmentVariableW(L"QVX_CHILD_MODE", mode.c_str());
    ChildResult result = RunProgram(image, L"--gtest_filter=" + testName, timeoutMs);
    SetEnvironmentVariableW(L"QVX_CHILD_MODE", nullptr);
    return result;
}

} // namespace qvx::test
