#include "engine/launch_command_line.h"

#include "platform/trace.h"
#include "platform/wide_text.h"

namespace qvx {

namespace {

constexpr std::wstring_view kExecutableSuffix = L".exe";

} // namespace

DWORD BuildLaunchCommandLine(std::wstring_view binaryPath, WinServiceType type, std::wstring_view serviceName,
                             LaunchCommandLine& result)
{
    const size_t suffix = FindFolded(binaryPath, kExecutableSuffix);
    if (suffix == std::wstring_view::npos) {
        QVX_TRACE(trace::kError, 1, std::wstring(serviceName), L"binary path names no .exe", std::wstring(binaryPath));
        return ERROR_BAD_EXE_FORMAT;
    }
    const size_t end = suffix + kExecutableSuffix.size();
    if (binaryPath.front() == L'"') {
        result.executablePath.assign(binaryPath.substr(1, end - 1));
        result.commandLine.assign(binaryPath);
    } else {
        result.executablePath.assign(binaryPath.substr(0, end));
        result.commandLine = L"\"" + result.executablePath + L"\"";
        result.commandLine.append(binaryPath.substr(end));
    }
    if (type == WinServiceType::kShareProcess) {
        result.commandLine += L' ';
        result.commandLine.append(serviceName);
    }
    return ERROR_SUCCESS;
}

} // namespace qvx
