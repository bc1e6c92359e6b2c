#include "tests/entry/status_recorder.h"

#include "host/service_status.h"
#include "platform/locks.h"

namespace qvx::test {

namespace {

StatusRecorder* g_recorder = nullptr;

} // namespace

StatusRecorder::StatusRecorder() : reported_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    g_recorder = this;
    SetServiceStatusFunction(Record);
    SetRegisterServiceCtrlHandlerExFunction(Register);
}

StatusRecorder::~StatusRecorder()
{
    SetServiceStatusFunction(nullptr);
    SetRegisterServiceCtrlHandlerExFunction(nullptr);
    g_recorder = nullptr;
}

BOOL WINAPI StatusRecorder::Record(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    if (handle != reinterpret_cast<SERVICE_STATUS_HANDLE>(kFakeHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SrwExclusiveGuard guard(g_recorder->lock_);
    g_recorder->reports_.push_back(*status);
    SetEvent(g_recorder->reported_.Get());
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI StatusRecorder::Register(LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context)
{
    SrwExclusiveGuard guard(g_recorder->lock_);
    if (g_recorder->registrationError_ != 0) {
        SetLastError(g_recorder->registrationError_);
        return nullptr;
    }
    g_recorder->registrations_.push_back({name, handler, context});
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(kFakeHandle);
}

std::vector<SERVICE_STATUS> StatusRecorder::Reports() const
{
    SrwSharedGuard guard(lock_);
    return reports_;
}

std::vector<DWORD> StatusRecorder::States() const
{
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& status : Reports())
        states.push_back(status.dwCurrentState);
    return states;
}

std::vector<Registration> StatusRecorder::Registrations() const
{
    SrwSharedGuard guard(lock_);
    return registrations_;
}

bool StatusRecorder::WaitForState(DWORD state, DWORD timeoutMs) const
{
    DWORD start = GetTickCount();
    for (;;) {
        {
            SrwExclusiveGuard guard(lock_);
            for (const SERVICE_STATUS& status : reports_) {
                if (status.dwCurrentState == state)
                    return true;
            }
            ResetEvent(reported_.Get());
        }
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs || WaitForSingleObject(reported_.Get(), timeoutMs - elapsed) != WAIT_OBJECT_0)
            return false;
    }
}

void StatusRecorder::FailRegistrations(DWORD error)
{
    SrwExclusiveGuard guard(lock_);
    registrationError_ = error;
}

} // namespace qvx::test
