#pragma once
// Test doubles around the monitor thread: the engine calls it makes,
// recorded and answered with events a test can wait for, and an IP Helper
// whose adapter list and change registration a test controls.

#include "host/network_state.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "host/monitor_thread.h"
#include "runtime/host_runtime.h"
#include "model/service_record.h"
#include "platform/handles.h"
#include "platform/locks.h"

namespace qvx::test {

// Polls `done` every millisecond for at most `timeoutMs`.
template <typename Done>
bool WaitUntil(Done done, DWORD timeoutMs = 10000)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() > end)
            return false;
        Sleep(1);
    }
    return true;
}

class EngineDouble {
public:
    EngineDouble()
    {
        current_ = this;
        SetMonitorCalls(&calls_);
    }
    ~EngineDouble()
    {
        SetMonitorCalls(nullptr);
        current_ = nullptr;
    }
    EngineDouble(const EngineDouble&) = delete;
    EngineDouble& operator=(const EngineDouble&) = delete;

    std::atomic<int> sweeps{0};
    std::atomic<int> powerCalls{0};
    std::atomic<int> broadcasts{0};
    std::atomic<bool> lastStartAllowed{false};
    // Set by every power-condition call, termination and timer handler.
    KernelHandle powerCalled{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    KernelHandle terminated{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    KernelHandle timerHandled{CreateEventW(nullptr, FALSE, FALSE, nullptr)};

    // Runs on the monitor thread in place of the start-up decision.
    std::function<void(ManagementService&)> onStartupDecision;
    // Runs on the monitor thread inside each sweep, with the sweep's number
    // counted from 1.
    std::function<void(int)> onSweep;

    std::vector<HANDLE> Terminations() const
    {
        SrwSharedGuard guard(lock_);
        return terminations_;
    }
    // "<handler> <service>" for each timer handler call.
    std::vector<std::wstring> TimerCalls() const
    {
        SrwSharedGuard guard(lock_);
        return timerCalls_;
    }

private:
    static void StartupDecision(ManagementService& service)
    {
        if (current_->onStartupDecision)
            current_->onStartupDecision(service);
    }
    static void Sweep(HostRuntime&, bool)
    {
        const int sweep = ++current_->sweeps;
        if (current_->onSweep)
            current_->onSweep(sweep);
    }
    // Like the exit handling, the mutex leaves the list; giving it back is
    // left to the monitor, which owns it since its wait.
    static void Termination(HostRuntime& runtime, HANDLE mutex)
    {
        {
            SrwExclusiveGuard guard(current_->lock_);
            current_->terminations_.push_back(mutex);
        }
        runtime.waitSet.RemoveMutex(mutex);
        SetEvent(current_->terminated.Get());
    }
    static void Timer(const wchar_t* handler, ServiceRecord& record, ServiceTimer slot)
    {
        ResetEvent(record.GetTimer(slot));
        {
            SrwExclusiveGuard guard(current_->lock_);
            current_->timerCalls_.push_back(std::wstring(handler) + L" " + record.GetName());
        }
        SetEvent(current_->timerHandled.Get());
    }
    static void ResetPeriod(HostRuntime&, ServiceRecord& r) { Timer(L"ResetPeriodExpired", r, ServiceTimer::kResetPeriod); }
    static void RestartDelay(HostRuntime&, ServiceRecord& r)
    {
        Timer(L"RestartDelayExpired", r, ServiceTimer::kRestartDelay);
    }
    static void ShutdownTimeout(HostRuntime&, ServiceRecord& r)
    {
        Timer(L"ShutdownTimeoutExpired", r, ServiceTimer::kShutdown);
    }
    static void StartupTimeout(HostRuntime&, ServiceRecord& r)
    {
        Timer(L"StartupTimeoutExpired", r, ServiceTimer::kStartup);
    }
    static void WaveTimer(HostRuntime& runtime)
    {
        ResetEvent(runtime.waveTimer.Get());
        {
            SrwExclusiveGuard guard(current_->lock_);
            current_->timerCalls_.push_back(L"WaveTimerExpired");
        }
        SetEvent(current_->timerHandled.Get());
    }
    // Like the real broadcast, it ends with the all-stopped check.
    static void Broadcast(HostRuntime& runtime)
    {
        ++current_->broadcasts;
        CheckAllServicesStopped(runtime);
    }
    static void Power(HostRuntime&, bool startAllowed)
    {
        current_->lastStartAllowed = startAllowed;
        ++current_->powerCalls;
        SetEvent(current_->powerCalled.Get());
    }

    static inline EngineDouble* current_ = nullptr;
    const MonitorCalls calls_ = {StartupDecision, Sweep,       Termination, ResetPeriod, RestartDelay,
                                 ShutdownTimeout, StartupTimeout, WaveTimer, Broadcast,  Power};
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<HANDLE> terminations_;
    std::vector<std::wstring> timerCalls_;
};

struct FakeAdapter {
    ULONG ifType;
    IF_OPER_STATUS status;
};

// Serves a list of adapters through GetAdaptersAddresses and keeps the
// change callback that NotifyIpInterfaceChange registers, so that a test can
// call it as the system would.
class FakeIpHelper {
public:
    static inline const HANDLE kRegistration = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x5150));

    explicit FakeIpHelper(bool withEntryPoints = true)
    {
        current_ = this;
        if (withEntryPoints)
            entries_ = {GetAdapters, Notify, Cancel};
        SetIpHelperEntryPoints(&entries_);
    }
    ~FakeIpHelper()
    {
        SetIpHelperEntryPoints(nullptr);
        current_ = nullptr;
    }
    FakeIpHelper(const FakeIpHelper&) = delete;
    FakeIpHelper& operator=(const FakeIpHelper&) = delete;

    std::vector<FakeAdapter> adapters;
    // What the size query answers; ERROR_BUFFER_OVERFLOW gives the size.
    ULONG sizeAnswer = ERROR_BUFFER_OVERFLOW;
    ULONG fetchAnswer = ERROR_SUCCESS;

    ULONG familySeen = 0xFFFF;
    ULONG flagsSeen = 0;
    ADDRESS_FAMILY registeredFamily = 0xFFFF;
    bool initialAsked = false;
    PIPINTERFACE_CHANGE_CALLBACK callback = nullptr;
    PVOID context = nullptr;
    HANDLE cancelled = nullptr;

    void Change() { callback(context, nullptr, MibParameterNotification); }

private:
    static ULONG WINAPI GetAdapters(ULONG family, ULONG flags, PVOID, PIP_ADAPTER_ADDRESSES out, PULONG size)
    {
        FakeIpHelper& fake = *current_;
        fake.familySeen = family;
        fake.flagsSeen = flags;
        if (!out && fake.sizeAnswer != ERROR_BUFFER_OVERFLOW)
            return fake.sizeAnswer;
        const ULONG needed = static_cast<ULONG>((fake.adapters.size() + 1) * sizeof(IP_ADAPTER_ADDRESSES));
        if (!out || *size < needed) {
            *size = needed;
            return ERROR_BUFFER_OVERFLOW;
        }
        if (fake.fetchAnswer != ERROR_SUCCESS)
            return fake.fetchAnswer;
        memset(out, 0, needed);
        for (size_t i = 0; i < fake.adapters.size(); ++i) {
            out[i].Length = sizeof(IP_ADAPTER_ADDRESSES);
            out[i].IfType = fake.adapters[i].ifType;
            out[i].OperStatus = fake.adapters[i].status;
            out[i].Next = i + 1 < fake.adapters.size() ? &out[i + 1] : nullptr;
        }
        return ERROR_SUCCESS;
    }
    static NETIO_STATUS NETIOAPI_API_ Notify(ADDRESS_FAMILY family, PIPINTERFACE_CHANGE_CALLBACK callback,
                                             PVOID context, BOOLEAN initial, HANDLE* registration)
    {
        FakeIpHelper& fake = *current_;
        fake.registeredFamily = family;
        fake.callback = callback;
        fake.context = context;
        fake.initialAsked = initial != FALSE;
        *registration = kRegistration;
        if (initial)
            callback(context, nullptr, MibInitialNotification);
        return NO_ERROR;
    }
    static NETIO_STATUS NETIOAPI_API_ Cancel(HANDLE registration)
    {
        current_->cancelled = registration;
        return NO_ERROR;
    }

    static inline FakeIpHelper* current_ = nullptr;
    IpHelperEntryPoints entries_;
};

} // namespace qvx::test
