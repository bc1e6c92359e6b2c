#include "model/service_timers.h"

#include "platform/trace.h"

namespace qvx {
namespace {

constexpr LONGLONG kTicksPerSecond = 10'000'000; // 100-nanosecond units

const wchar_t* SlotName(ServiceTimer slot) noexcept
{
    switch (slot) {
    case ServiceTimer::kResetPeriod:
        return L"ResetPeriodTimer";
    case ServiceTimer::kRestartDelay:
        return L"RestartDelayTimer";
    case ServiceTimer::kShutdown:
        return L"ShutdownTimer";
    case ServiceTimer::kStartup:
        return L"StartupTimer";
    }
    return L"?";
}

} // namespace

DWORD ServiceTimerSeconds(const ServiceRecord& record, ServiceTimer slot) noexcept
{
    switch (slot) {
    case ServiceTimer::kResetPeriod:
        return record.GetResetPeriod();
    case ServiceTimer::kRestartDelay:
        return record.GetRestartDelay();
    case ServiceTimer::kShutdown:
        return record.GetShutdownTimeout();
    case ServiceTimer::kStartup:
        return record.GetStartupTimeout();
    }
    return 0;
}

bool CreateServiceTimer(ServiceRecord& record, ServiceTimer slot)
{
    RecordLock guard(record);
    record.ReleaseTimer(slot);
    HANDLE timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    if (!timer) {
        const DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 1, L"CreateWaitableTimerW failed", record.GetName(), SlotName(slot), error);
        SetLastError(error);
        return false;
    }
    record.SetTimer(slot, timer);
    return true;
}

bool ArmServiceTimer(ServiceRecord& record, ServiceTimer slot)
{
    RecordLock guard(record);
    HANDLE timer = record.GetTimer(slot);
    if (!timer) {
        QVX_TRACE(trace::kError, 2, L"no timer to arm", record.GetName(), SlotName(slot));
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -static_cast<LONGLONG>(ServiceTimerSeconds(record, slot)) * kTicksPerSecond;
    if (!SetWaitableTimer(timer, &dueTime, 0, nullptr, nullptr, FALSE)) {
        const DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 3, L"SetWaitableTimer failed", record.GetName(), SlotName(slot), error);
        SetLastError(error);
        return false;
    }
    // The window is open only once its timer runs: a window that no timer
    // closes would count restarts for ever.
    if (slot == ServiceTimer::kResetPeriod)
        record.SetResetWindowActive(true);
    return true;
}

} // namespace qvx
