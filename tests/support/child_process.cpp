#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include "platform/handles.h"
#include "tests/support/test_prefix.h"

namespace qvx::test {

namespace {

// How long the output may still come after the program ended: a program of
// its own that inherited the pipe can hold it open.
constexpr DWORD kOutputDrainMs = 5000;

struct OutputReader {
    HANDLE pipe;
    std::string output;
};

DWORD WINAPI ReadOutput(void* context)
{
    auto* reader = static_cast<OutputReader*>(context);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(reader->pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        reader->output.append(buffer, got);
    return 0;
}

} // namespace

ProgramRun RunProgram(const std::wstring& image, const std::wstring& arguments, DWORD deadlineMs)
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

    // The output is read beside the wait, so that a program that hangs
    // without writing is still ended at its deadline.
    OutputReader reader{readEnd.Get(), {}};
    KernelHandle readerThread(CreateThread(nullptr, 0, &ReadOutput, &reader, 0, nullptr));
    if (!readerThread) {
        ADD_FAILURE() << "cannot start the output reader: " << GetLastError();
        TerminateProcess(processHandle.Get(), ERROR_CANCELLED);
        return run;
    }
    if (WaitForSingleObject(processHandle.Get(), deadlineMs) == WAIT_OBJECT_0) {
        run.finished = true;
    } else {
        run.timedOut = true;
        TerminateProcess(processHandle.Get(), ERROR_TIMEOUT);
        WaitForSingleObject(processHandle.Get(), kOutputDrainMs);
        ADD_FAILURE() << Narrow(image) << " " << Narrow(arguments) << " passed its deadline of " << deadlineMs
                      << " ms and was ended";
    }
    GetExitCodeProcess(processHandle.Get(), &run.exitCode);
    if (WaitForSingleObject(readerThread.Get(), kOutputDrainMs) != WAIT_OBJECT_0) {
        CancelSynchronousIo(readerThread.Get());
        if (WaitForSingleObject(readerThread.Get(), kOutputDrainMs) != WAIT_OBJECT_0)
            TerminateThread(readerThread.Get(), ERROR_TIMEOUT); // it must not outlive `reader`
    }
    run.output = std::move(reader.output);
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

ChildResult RunChild(const std::wstring& testName, const std::wstring& mode, DWORD deadlineMs)
{
    wchar_t image[MAX_PATH];
    GetModuleFileNameW(nullptr, image, MAX_PATH);
    SetEnvironmentVariableW(L"QVX_CHILD_MODE", mode.c_str());
    ChildResult result = RunProgram(image, L"--gtest_filter=" + testName, deadlineMs);
    SetEnvironmentVariableW(L"QVX_CHILD_MODE", nullptr);
    return result;
}

} // namespace qvx::test
