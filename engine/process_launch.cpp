#include "engine/process_launch.h"

#include <atomic>
#include <vector>

#include "model/service_enums.h"
#include "platform/trace.h"

namespace qvx {
namespace {

std::atomic<ProcessLauncher*> g_launcher{nullptr};

DWORD ErrorOr(DWORD error, DWORD fallback) noexcept { return error != ERROR_SUCCESS ? error : fallback; }

} // namespace

DWORD LogonLocalService(HANDLE* token)
{
    *token = nullptr;
    if (!LogonUserW(kLocalServiceAccount, L"NT AUTHORITY", nullptr, LOGON32_LOGON_SERVICE, LOGON32_PROVIDER_DEFAULT,
                    token)) {
        const DWORD error = ErrorOr(GetLastError(), ERROR_LOGON_FAILURE);
        QVX_TRACE(trace::kError, 1, L"LogonUserW of the local service account failed", error);
        *token = nullptr;
        return error;
    }
    return ERROR_SUCCESS;
}

DWORD Win32ProcessLauncher::Create(const LaunchRequest& request, PROCESS_INFORMATION& info)
{
    info = {};
    // The extended form carries the protection attribute list; without one
    // the plain form is enough. Either size is the one of this build's
    // platform.
    STARTUPINFOEXW extended = {};
    extended.lpAttributeList = request.attributeList;
    extended.StartupInfo.cb = request.attributeList ? sizeof(STARTUPINFOEXW) : sizeof(STARTUPINFOW);
    STARTUPINFOW& startup = extended.StartupInfo;
    // CreateProcess may write into the command line it is given.
    std::vector<wchar_t> commandLine(request.commandLine.begin(), request.commandLine.end());
    commandLine.push_back(L'\0');

    BOOL created = FALSE;
    DWORD error = ERROR_SUCCESS;
    if (request.asLocalService) {
        HANDLE token = nullptr;
        error = logon_(&token);
        if (error != ERROR_SUCCESS)
            return error;
        created = CreateProcessAsUserW(token, nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                       request.creationFlags, nullptr, nullptr, &startup, &info);
        error = created ? ERROR_SUCCESS : ErrorOr(GetLastError(), ERROR_INVALID_FUNCTION);
        if (!CloseHandle(token))
            QVX_TRACE(trace::kWarning, 2, L"CloseHandle of the logon token failed", GetLastError());
    } else {
        created = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, request.creationFlags, nullptr,
                                 nullptr, &startup, &info);
        error = created ? ERROR_SUCCESS : ErrorOr(GetLastError(), ERROR_INVALID_FUNCTION);
    }
    if (!created) {
        QVX_TRACE(trace::kError, 3, L"process creation failed", request.executablePath, request.commandLine,
                  request.asLocalService, error);
        info = {};
    }
    return error;
}

DWORD Win32ProcessLauncher::Resume(const PROCESS_INFORMATION& info)
{
    if (ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
        const DWORD error = ErrorOr(GetLastError(), ERROR_INVALID_HANDLE);
        QVX_TRACE(trace::kError, 4, L"ResumeThread failed", info.dwProcessId, error);
        return error;
    }
    return ERROR_SUCCESS;
}

DWORD Win32ProcessLauncher::Terminate(const PROCESS_INFORMATION& info, DWORD exitCode)
{
    if (!TerminateProcess(info.hProcess, exitCode)) {
        const DWORD error = ErrorOr(GetLastError(), ERROR_INVALID_HANDLE);
        QVX_TRACE(trace::kError, 5, L"TerminateProcess failed", info.dwProcessId, error);
        return error;
    }
    return ERROR_SUCCESS;
}

ProcessLauncher& CurrentProcessLauncher() noexcept
{
    static Win32ProcessLauncher win32Launcher;
    ProcessLauncher* launcher = g_launcher.load();
    return launcher ? *launcher : win32Launcher;
}

void SetProcessLauncher(ProcessLauncher* launcher) noexcept { g_launcher.store(launcher); }

} // namespace qvx
