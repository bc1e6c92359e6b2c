// The service monitor thread.
#include "host/monitor_thread.h"

#include <versionhelpers.h>

#include <vector>

#include "engine/engine_calls.h"
#include "engine/service_watch.h"
#include "host/boot_markers.h"
#include "host/management_service.h"
#include "host/network_state.h"
#include "host/startup_decision.h"
#include "model/life_cycle_record.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/table_lock.h"
#include "platform/diagnostic_block.h"
#include "platform/handles.h"
#include "platform/locks.h"
#include "platform/registry_value.h"
#include "platform/service_key.h"
#include "platform/trace.h"
#include "protocol/dispatcher.h"
#include "protocol/pipe_server.h"
#include "runtime/host_runtime.h"

namespace qvx {

namespace {

constexpr DWORD kEventCount = 3;
constexpr DWORD kShutdownIndex = 0;
constexpr DWORD kMonitorStopIndex = 1;
constexpr DWORD kWakeUpIndex = 2;
// Errors the thread survives over its whole life; the next one is fatal.
constexpr int kRecoverableErrors = 3;
// The build attempt from which vacant mutex-list entries are only skipped.
constexpr int kSkipVacantFromAttempt = 3;
constexpr DWORD kPowerEventsWaitMs = 30000;
constexpr uint32_t kAllOnes = 0xFFFFFFFF;
// Wave delays an administrator may store below the management service key.
// They are read and traced for diagnosis; the waves keep their fixed steps.
constexpr wchar_t kServiceDelayNormal[] = L"ServiceDelayNormal";
constexpr wchar_t kServiceDelayLate[] = L"ServiceDelayLate";
constexpr DWORD kBuiltInDelayNormal = 60;
constexpr DWORD kBuiltInDelayLate = 120;

constexpr char kTextAbandoned[] =
    "ERROR: ServiceMonThreadProc: WaitForMultipleObjects return WAIT_ABANDONED_0 abandoned mutex object!";
constexpr char kTextTimeout[] =
    "ERROR: ServiceMonThreadProc: WaitForMultipleObjects return WAIT_TIMEOUT time-out interval elapsed!";
constexpr char kTextWaitFailed[] = "ERROR: ServiceMonThreadProc: WaitForMultipleObjects return WAIT_FAILED value!";
constexpr char kTextUnknownTimer[] = "ERROR: ServiceMonThreadProc: WaitForMultipleObjects return unknown timer handle!";
constexpr char kTextInvalidResult[] = "ERROR: ServiceMonThreadProc: WaitForMultipleObjects return invalid handle!";

std::atomic<const MonitorCalls*> g_callsOverride{nullptr};

const MonitorCalls kEngineCalls = {
    RunStartupDecision,     SweepHostedProcesses,   HandleServiceTermination, ResetPeriodExpired,
    RestartDelayExpired,    ShutdownTimeoutExpired, StartupTimeoutExpired,    WaveTimerExpired,
    BroadcastShutdown,      ApplyPowerCondition,
};

// The per-service timers in the order a signalled timer is matched, each
// with the handler it goes to.
struct TimerRoute {
    ServiceTimer slot;
    void (*MonitorCalls::*handler)(HostRuntime& runtime, ServiceRecord& record);
};
constexpr TimerRoute kTimerRoutes[] = {
    {ServiceTimer::kResetPeriod, &MonitorCalls::resetPeriodExpired},
    {ServiceTimer::kRestartDelay, &MonitorCalls::restartDelayExpired},
    {ServiceTimer::kShutdown, &MonitorCalls::shutdownTimeoutExpired},
    {ServiceTimer::kStartup, &MonitorCalls::startupTimeoutExpired},
};

void TraceStoredWaveDelays()
{
    DWORD normal = kBuiltInDelayNormal;
    DWORD late = kBuiltInDelayLate;
    RegKey key;
    if (OpenKey(ServiceKeyRoot(), ServiceKeyPath().c_str(), KEY_READ, key) == ERROR_SUCCESS) {
        DWORD storedNormal = 0;
        DWORD storedLate = 0;
        if (ReadDword(key.Get(), kServiceDelayNormal, storedNormal) &&
            ReadDword(key.Get(), kServiceDelayLate, storedLate)) {
            normal = storedNormal;
            late = storedLate;
        }
    }
    QVX_TRACE(trace::kInfo, 27, L"wave delays", normal, late);
}

bool IsVacant(HANDLE handle)
{
    return handle == nullptr || handle == INVALID_HANDLE_VALUE;
}

uint32_t HandleWord(HANDLE handle)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

class ServiceMonitor {
public:
    explicit ServiceMonitor(const MonitorStartBlock& block)
        : block_(block), service_(*block.service), runtime_(service_.runtime), waitSet_(runtime_.waitSet)
    {
    }

    void Start();
    void Run();
    void End();

private:
    void WaitForFirstPowerNotifications();
    void BuildWaitArray();
    void RecordWait() const;
    // False when the monitor stop event ends the loop.
    bool ActOn(DWORD result, DWORD lastError);
    void OnMutexReleased(HANDLE mutex);
    void OnHandleServiceTermination(HANDLE mutex);
    void OnTimer(DWORD index, DWORD result, DWORD lastError);
    void OnMemoryNotification(HANDLE signalled, HANDLE next, bool lowMemory);
    bool DispatchServiceTimer(HANDLE timer);
    void DropRestart(ServiceRecord& record);
    void DropRestartsAtShutdown();
    void TraceInvalidHandles() const;
    void Fail(uint32_t code, DWORD result, DWORD lastError, DWORD index, const char* text);
    [[noreturn]] void FailFatally(uint32_t code, DWORD result, DWORD lastError, DWORD index, const char* text);

    const MonitorStartBlock block_;
    ManagementService& service_;
    HostRuntime& runtime_;
    MonitorWaitSet& waitSet_;
    const MonitorCalls& calls_ = MonitorEngineCalls();
    HANDLE events_[kEventCount] = {};
    HANDLE lowMemory_ = nullptr;
    HANDLE highMemory_ = nullptr;
    int errorCount_ = 0;

    // The wait array and how its entries divide: the events, then mutexes,
    // then timers.
    HANDLE array_[MAXIMUM_WAIT_OBJECTS] = {};
    DWORD count_ = 0;
    DWORD mutexCount_ = 0;
};

void ServiceMonitor::Start()
{
    events_[kShutdownIndex] = block_.shutdownEvent;
    events_[kMonitorStopIndex] = block_.monitorStopEvent;
    events_[kWakeUpIndex] = block_.wakeUpEvent;
    if (block_.wakeUpEvent != waitSet_.WakeEvent())
        QVX_TRACE(trace::kWarning, 1, L"the wake-up event is not the wait set's",
                  static_cast<const void*>(block_.wakeUpEvent));

    service_.ipWatch.Start(runtime_);
    TraceStoredWaveDelays();

    WaitForFirstPowerNotifications();
    calls_.runStartupDecision(service_);
    lowMemory_ = service_.lowMemoryNotification.Get();
    highMemory_ = service_.highMemoryNotification.Get();
    if (lowMemory_)
        waitSet_.AddTimer(lowMemory_);

    if (!StartPipeServers(*service_.pipeServers, Dispatch, service_.pipeStopEvent.Get(), &runtime_))
        QVX_TRACE(trace::kError, 4, L"not every control-pipe instance could be started");
}

void ServiceMonitor::WaitForFirstPowerNotifications()
{
    if (!IsWindowsVistaOrGreater())
        return;
    for (int i = 0; i < 4; ++i) {
        if (!service_.powerNotifications[i])
            return;
    }
    // The power events belong to the management service, which closes them
    // only after this thread has ended.
    const HANDLE powerEvents[2] = {runtime_.conditions.powerSourceEvent.Get(),
                                   runtime_.conditions.powerSchemeEvent.Get()};
    if (!powerEvents[0] || !powerEvents[1]) {
        QVX_TRACE(trace::kWarning, 5, L"power events missing; not waiting for the first notifications");
        return;
    }
    const DWORD result = WaitForMultipleObjects(2, powerEvents, TRUE, kPowerEventsWaitMs);
    if (result == WAIT_TIMEOUT)
        QVX_TRACE(trace::kWarning, 6, L"first power notifications did not arrive in time", kPowerEventsWaitMs);
    else if (result != WAIT_OBJECT_0)
        QVX_TRACE(trace::kError, 7, L"waiting for the first power notifications failed", result, GetLastError());
}

void ServiceMonitor::Run()
{
    for (;;) {
        // The wake-up event is reset before the sweep rather than when the
        // array is built: a wake that comes once the sweep has begun (the
        // dispatcher's, for a request it has just taken) asks for another
        // sweep, and resetting it at the build would leave that sweep undone
        // until some later wake. A list change made between this reset and
        // the build costs one extra round, nothing more.
        ResetEvent(block_.wakeUpEvent);
        calls_.sweepHostedProcesses(runtime_, true);
        BuildWaitArray();
        const DWORD result = WaitForMultipleObjects(count_, array_, FALSE, INFINITE);
        const DWORD lastError = GetLastError();
        RecordWait();
        if (!ActOn(result, lastError))
            return;
    }
}

void ServiceMonitor::BuildWaitArray()
{
    // A list change after the snapshot sets the wake-up event, so the wait
    // below ends at once and the next round takes the change in.
    std::vector<HANDLE> mutexes;
    std::vector<HANDLE> timers;
    for (int attempt = 1;; ++attempt) {
        waitSet_.Snapshot(mutexes, timers);

        if (attempt < kSkipVacantFromAttempt) {
            bool removed = false;
            for (HANDLE mutex : mutexes) {
                if (IsVacant(mutex)) {
                    waitSet_.RemoveMutex(mutex);
                    removed = true;
                    break;
                }
            }
            if (removed) {
                QVX_TRACE(trace::kWarning, 8, L"vacant entry left the mutex list", attempt);
                continue;
            }
        }

        const size_t total = kEventCount + mutexes.size() + timers.size();
        if (total > MAXIMUM_WAIT_OBJECTS) {
            QVX_TRACE(trace::kError, 9, L"more handles to wait on than the system allows", total, mutexes.size(),
                      timers.size());
            AbortProcess();
        }

        count_ = 0;
        for (HANDLE event : events_)
            array_[count_++] = event;
        for (HANDLE mutex : mutexes) {
            if (!IsVacant(mutex))
                array_[count_++] = mutex;
        }
        mutexCount_ = count_ - kEventCount;
        for (HANDLE timer : timers)
            array_[count_++] = timer;
        return;
    }
}

void ServiceMonitor::RecordWait() const
{
    DiagnosticBlock* block = PublishedDiagnosticBlock();
    if (!block)
        return;
    block->handleCount = count_;
    block->arrayAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(array_));
    block->zero2 = 0;
    block->allOnes = kAllOnes;
    for (DWORD i = 0; i < MAXIMUM_WAIT_OBJECTS; ++i)
        block->handles[i] = i < count_ ? HandleWord(array_[i]) : 0;
}

bool ServiceMonitor::ActOn(DWORD result, DWORD lastError)
{
    const DWORD firstMutex = kEventCount;
    const DWORD firstTimer = kEventCount + mutexCount_;

    if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + MAXIMUM_WAIT_OBJECTS) {
        const DWORD index = result - WAIT_ABANDONED_0;
        if (index >= firstMutex && index < firstTimer) {
            OnHandleServiceTermination(array_[index]);
            return true;
        }
        FailFatally(monitor_failure::kAbandonedOutsideMutexes, result, lastError, index, kTextAbandoned);
    }
    if (result == WAIT_TIMEOUT) {
        Fail(monitor_failure::kTimeout, result, lastError, 0, kTextTimeout);
        return true;
    }
    if (result == WAIT_FAILED) {
        TraceInvalidHandles();
        Fail(monitor_failure::kWaitFailed, result, lastError, 0, kTextWaitFailed);
        return true;
    }
    if (result >= count_) {
        Fail(monitor_failure::kInvalidResult, result, lastError, 0, kTextInvalidResult);
        return true;
    }

    const DWORD index = result - WAIT_OBJECT_0;
    if (index == kShutdownIndex) {
        QVX_TRACE(trace::kInfo, 10, L"the machine shuts down; broadcasting the shutdown");
        runtime_.stop.shuttingDown.exchange(1);
        calls_.broadcastShutdown(runtime_);
    } else if (index == kMonitorStopIndex) {
        return false;
    } else if (index == kWakeUpIndex) {
        // The array is built afresh before the next wait.
    } else if (index < firstTimer) {
        OnMutexReleased(array_[index]);
    } else {
        OnTimer(index, result, lastError);
    }
    return true;
}

void ServiceMonitor::OnHandleServiceTermination(HANDLE mutex)
{
    QVX_TRACE(trace::kWarning, 11, L"a hosted service process ended without releasing its mutex",
              static_cast<const void*>(mutex));
    if (block_.table) {
        TableLock guard(block_.table->Lock(), TableLockMode::Shared);
        calls_.handleServiceTermination(runtime_, mutex);
    } else {
        calls_.handleServiceTermination(runtime_, mutex);
    }
    // A process that ends during the shutdown, instead of reporting, stays
    // ended and may be the last one the shutdown waits for.
    DropRestartsAtShutdown();
    CheckAllServicesStopped(runtime_);
    // The wait that found the mutex abandoned made this thread its owner.
    // Give it back, unless the termination handling did, so that a restarted
    // process can take it again.
    if (!ReleaseMutex(mutex) && GetLastError() != ERROR_NOT_OWNER)
        QVX_TRACE(trace::kWarning, 28, L"ReleaseMutex of an abandoned mutex failed", static_cast<const void*>(mutex),
                  GetLastError());
}

void ServiceMonitor::OnMutexReleased(HANDLE mutex)
{
    // The wait made this thread the owner; give the mutex back before it is
    // closed.
    if (!ReleaseMutex(mutex))
        QVX_TRACE(trace::kWarning, 12, L"ReleaseMutex of a watched mutex failed", static_cast<const void*>(mutex),
                  GetLastError());
    waitSet_.RemoveMutex(mutex);
    bool found = false;
    if (block_.table) {
        TableLock guard(block_.table->Lock(), TableLockMode::Shared);
        for (size_t i = 0; ServiceRecord* record = block_.table->GetAt(i); ++i) {
            RecordLock recordLock(*record);
            if (record->GetServiceMutex() != mutex)
                continue;
            QVX_TRACE(trace::kInfo, 13, L"hosted service process ended", record->GetName());
            record->SetServiceState(ServiceState::kStopped);
            waitSet_.RemoveTimer(record->GetTimer(ServiceTimer::kShutdown));
            waitSet_.RemoveTimer(record->GetTimer(ServiceTimer::kStartup));
            record->ReleaseProcessHandles();
            found = true;
            break;
        }
    }
    if (found) {
        // Outside the locks: the check takes the table lock itself.
        CheckAllServicesStopped(runtime_);
        return;
    }
    QVX_TRACE(trace::kWarning, 14, L"no hosted service owns the released mutex", static_cast<const void*>(mutex));
}

void ServiceMonitor::OnTimer(DWORD index, DWORD result, DWORD lastError)
{
    const HANDLE timer = array_[index];
    const HANDLE waveTimer = runtime_.waveTimer.Get();
    if (waveTimer && timer == waveTimer) {
        calls_.waveTimerExpired(runtime_);
        return;
    }
    if (lowMemory_ && timer == lowMemory_) {
        OnMemoryNotification(lowMemory_, highMemory_, true);
        return;
    }
    if (highMemory_ && timer == highMemory_) {
        OnMemoryNotification(highMemory_, lowMemory_, false);
        return;
    }
    if (DispatchServiceTimer(timer))
        return;
    // A timer released after the array was built set the wake-up event when
    // it left the list; it may still fire once before the array is rebuilt.
    if (WaitForSingleObject(block_.wakeUpEvent, 0) == WAIT_OBJECT_0) {
        QVX_TRACE(trace::kInfo, 15, L"a timer released after the wait began fired", static_cast<const void*>(timer));
        return;
    }
    Fail(monitor_failure::kUnknownTimer, result, lastError, index, kTextUnknownTimer);
}

void ServiceMonitor::OnMemoryNotification(HANDLE signalled, HANDLE next, bool lowMemory)
{
    waitSet_.RemoveTimer(signalled);
    waitSet_.AddTimer(next);
    std::atomic<uint32_t>& conditions = runtime_.conditions.word;
    const uint32_t before = lowMemory ? conditions.fetch_or(POWERPROFILE_LOWMEMORY)
                                      : conditions.fetch_and(~uint32_t{POWERPROFILE_LOWMEMORY});
    const uint32_t after = lowMemory ? before | POWERPROFILE_LOWMEMORY : before & ~uint32_t{POWERPROFILE_LOWMEMORY};
    QVX_TRACE(trace::kInfo, 16, lowMemory ? L"memory is low" : L"memory is normal again", before, after);
    if (before != after)
        calls_.applyPowerCondition(runtime_, false);
}

bool ServiceMonitor::DispatchServiceTimer(HANDLE timer)
{
    if (!block_.table)
        return false;
    TableLock guard(block_.table->Lock(), TableLockMode::Shared);
    for (size_t i = 0; ServiceRecord* record = block_.table->GetAt(i); ++i) {
        for (const TimerRoute& route : kTimerRoutes) {
            if (record->GetTimer(route.slot) != timer)
                continue;
            if (route.slot == ServiceTimer::kRestartDelay && runtime_.stop.shuttingDown.load() != 0) {
                // The crash may have been found by the sweep, which does
                // not look at the shutdown.
                DropRestart(*record);
                CheckAllServicesStopped(runtime_);
            } else {
                (calls_.*route.handler)(runtime_, *record);
            }
            return true;
        }
    }
    return false;
}

// Nothing is restarted while the machine shuts down: a process started now
// would never be told of the shutdown, which would then wait for it for
// good. The caller holds the table lock.
void ServiceMonitor::DropRestart(ServiceRecord& record)
{
    QVX_TRACE(trace::kInfo, 29, L"restart dropped: the machine shuts down", record.GetName());
    DropServiceTimer(runtime_, record, ServiceTimer::kRestartDelay);
    record.SetCrashed(false);
}

void ServiceMonitor::DropRestartsAtShutdown()
{
    if (runtime_.stop.shuttingDown.load() == 0 || !block_.table)
        return;
    TableLock guard(block_.table->Lock(), TableLockMode::Shared);
    for (size_t i = 0; ServiceRecord* record = block_.table->GetAt(i); ++i) {
        if (record->GetTimer(ServiceTimer::kRestartDelay))
            DropRestart(*record);
    }
}

void ServiceMonitor::TraceInvalidHandles() const
{
    auto check = [](HANDLE handle, const wchar_t* where) {
        DWORD flags = 0;
        if (!GetHandleInformation(handle, &flags))
            QVX_TRACE(trace::kError, 17, L"invalid handle", where, static_cast<const void*>(handle), GetLastError());
    };
    for (DWORD i = 0; i < count_; ++i)
        check(array_[i], L"wait array");
    for (HANDLE event : events_)
        check(event, L"event list");
    for (HANDLE mutex : waitSet_.Mutexes())
        check(mutex, L"mutex list");
    for (HANDLE timer : waitSet_.Timers())
        check(timer, L"timer list");
}

void ServiceMonitor::Fail(uint32_t code, DWORD result, DWORD lastError, DWORD index, const char* text)
{
    QVX_TRACE(trace::kError, 18, text, code, result, lastError, index, errorCount_);
    if (errorCount_ >= kRecoverableErrors)
        FailFatally(code, result, lastError, index, text);
    ++errorCount_;
}

void ServiceMonitor::FailFatally(uint32_t code, DWORD result, DWORD lastError, DWORD index, const char* text)
{
    const bool withHandle =
        code == monitor_failure::kAbandonedOutsideMutexes || code == monitor_failure::kUnknownTimer;
    const HANDLE handle = withHandle && index < count_ ? array_[index] : nullptr;
    QVX_TRACE(trace::kError, 19, L"the monitor thread cannot go on", code, result, lastError, index,
              static_cast<const void*>(handle));
    RecordFailure(code, result, lastError, reinterpret_cast<uintptr_t>(handle), text);
    if (DiagnosticBlock* block = PublishedDiagnosticBlock())
        block->index = withHandle ? index : 0;
    AbortProcess();
}

void ServiceMonitor::End()
{
    QVX_TRACE(trace::kInfo, 20, L"monitor thread ends");
    if (!StopPipeServers(*service_.pipeServers, service_.pipeStopEvent.Get()))
        QVX_TRACE(trace::kError, 21, L"a control-pipe instance did not stop in time");

    runtime_.waveTimer.Close(waitSet_);
    // The memory notifications belong to the management service, which
    // closes them; they leave the list of a monitor that no longer runs.
    waitSet_.RemoveTimer(lowMemory_);
    waitSet_.RemoveTimer(highMemory_);
    service_.ipWatch.Stop();

    // A marker that cannot be deleted is traced where the deletion failed.
    DeleteDirtyExitMarker();
    LifeCycleRecord(nullptr).RecordStop();
}

} // namespace

const MonitorCalls& MonitorEngineCalls() noexcept
{
    const MonitorCalls* calls = g_callsOverride.load();
    return calls ? *calls : kEngineCalls;
}

void SetMonitorCalls(const MonitorCalls* calls) noexcept
{
    g_callsOverride.store(calls);
}

DWORD WINAPI ServiceMonThreadProc(void* startBlock)
{
    ClearDiagnosticBlock();
    if (!startBlock) {
        QVX_TRACE(trace::kError, 25, L"monitor thread started without a start block");
        return static_cast<DWORD>(-1);
    }
    const MonitorStartBlock block = *static_cast<const MonitorStartBlock*>(startBlock);
    if (block.eventCount != kEventCount) {
        QVX_TRACE(trace::kError, 26, L"monitor start block with a wrong event count", block.eventCount);
        return static_cast<DWORD>(-1);
    }
    if (!block.service) {
        QVX_TRACE(trace::kError, 2, L"monitor started without the management service");
        return static_cast<DWORD>(-1);
    }
    block.service->runtime.startupComplete.store(false);
    ServiceMonitor monitor(block);
    monitor.Start();
    monitor.Run();
    monitor.End();
    return 0;
}

} // namespace qvx
