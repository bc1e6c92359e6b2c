#include "model/hosted_process.h"

#include "platform/trace.h"

namespace qvx {
namespace {

bool IsOpenHandle(HANDLE handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

HANDLE HeldOrNull(HANDLE handle) noexcept { return IsOpenHandle(handle) ? handle : nullptr; }

void CloseOwned(HANDLE handle, const wchar_t* what, DWORD processId) noexcept
{
    if (handle && !CloseHandle(handle))
        QVX_TRACE(trace::kError, 1, L"CloseHandle of a hosted process handle failed", what, processId,
                  static_cast<const void*>(handle), GetLastError());
}

} // namespace

HostedProcess::HostedProcess(const PROCESS_INFORMATION& info) noexcept : info_(info)
{
    info_.hProcess = HeldOrNull(info.hProcess);
    info_.hThread = HeldOrNull(info.hThread);
}

HostedProcess::~HostedProcess()
{
    const DWORD lastError = GetLastError();
    CloseOwned(info_.hThread, L"thread", info_.dwProcessId);
    CloseOwned(info_.hProcess, L"process", info_.dwProcessId);
    SetLastError(lastError);
}

std::shared_ptr<HostedProcess> HostedProcess::Adopt(const PROCESS_INFORMATION& info)
{
    return std::make_shared<HostedProcess>(info);
}

bool HostedProcess::HasProcessHandle() const noexcept
{
    return info_.hProcess != nullptr;
}

} // namespace qvx
