#include "model/service_record.h"

#include <utility>

#include "model/handle_release.h"
#include "model/life_cycle_record.h"
#include "model/table_lock.h"
#include "platform/trace.h"

namespace qvx {
namespace {

constexpr wchar_t kListenerPipePrefix[] = L"\\\\.\\pipe\\";
constexpr wchar_t kListenerPipeSuffix[] = L"_qvxsvh_listenerpipe";

struct StateChange {
    ServiceState from;
    ServiceState to;
};

// Every change of state the record accepts. A state that appears here as
// `from` refuses any change not listed (itself included); a request from any
// other state changes nothing and is not a refusal.
constexpr StateChange kAllowedStateChanges[] = {
    {ServiceState::kStopped, ServiceState::kStartPending},
    {ServiceState::kStopped, ServiceState::kRunning},
    {ServiceState::kStopped, ServiceState::kPostShutdown},

    {ServiceState::kStartPending, ServiceState::kStopped},
    {ServiceState::kStartPending, ServiceState::kRunning},
    {ServiceState::kStartPending, ServiceState::kPostShutdown},

    {ServiceState::kStopPending, ServiceState::kStopped},
    {ServiceState::kStopPending, ServiceState::kPostShutdown},

    {ServiceState::kRunning, ServiceState::kStopped},
    {ServiceState::kRunning, ServiceState::kStopPending},
    {ServiceState::kRunning, ServiceState::kPostShutdownPending},
    {ServiceState::kRunning, ServiceState::kPostShutdown},

    {ServiceState::kPostShutdownPending, ServiceState::kStopped},
    {ServiceState::kPostShutdownPending, ServiceState::kStopPending},
    {ServiceState::kPostShutdownPending, ServiceState::kPostShutdown},

    {ServiceState::kPostShutdown, ServiceState::kRunning},
};

bool StateHasChanges(ServiceState from) noexcept
{
    for (const auto& change : kAllowedStateChanges) {
        if (change.from == from)
            return true;
    }
    return false;
}

bool StateChangeAllowed(ServiceState from, ServiceState to) noexcept
{
    for (const auto& change : kAllowedStateChanges) {
        if (change.from == from && change.to == to)
            return true;
    }
    return false;
}

constexpr uint32_t Word(bool value) noexcept { return value ? 1u : 0u; }

template <typename Enum>
constexpr uint32_t Word(Enum value) noexcept
{
    return static_cast<uint32_t>(value);
}

void CopyWord(std::atomic<uint32_t>& to, const std::atomic<uint32_t>& from) noexcept { to.store(from.load()); }

} // namespace

ServiceRecord::ServiceRecord()
{
    InitializeCriticalSection(&lock_);
}

ServiceRecord::ServiceRecord(const ServiceRecord& source) : ServiceRecord()
{
    ServiceState sourceState;
    {
        RecordLock guard(source);
        name_ = source.name_;
        CopyWord(svhType_, source.svhType_);
        CopyWord(serviceType_, source.serviceType_);
        CopyWord(startupProfile_, source.startupProfile_);
        dependOnService_ = source.dependOnService_;
        CopyWord(resetPeriod_, source.resetPeriod_);
        CopyWord(restartCount_, source.restartCount_);
        CopyWord(restartDelay_, source.restartDelay_);
        CopyWord(powerProfile_, source.powerProfile_);
        CopyWord(shutdownTimeout_, source.shutdownTimeout_);
        CopyWord(startupTimeout_, source.startupTimeout_);
        binaryPath_ = source.binaryPath_;
        groupAccount_ = source.groupAccount_;
        CopyWord(launchProtected_, source.launchProtected_);
        serviceMain_ = source.serviceMain_;
        CopyWord(userStopped_, source.userStopped_);
        version_ = source.version_;
        CopyWord(numServiceArgs_, source.numServiceArgs_);
        serviceArgs_ = source.serviceArgs_;

        listenerPipeName_ = source.listenerPipeName_;
        CopyWord(resetWindowActive_, source.resetWindowActive_);
        CopyWord(restartsInWindow_, source.restartsInWindow_);
        CopyWord(startInProgress_, source.startInProgress_);
        CopyWord(dependencyFailed_, source.dependencyFailed_);
        CopyWord(crashed_, source.crashed_);
        CopyWord(stopRequested_, source.stopRequested_);
        CopyWord(disabled_, source.disabled_);
        waiters_ = source.waiters_;
        sourceState = source.GetState();
    }
    // Taken only after the source's lock is released: never two record locks.
    // The copy starts stopped, so a copy of a stopped source is no refusal
    // worth a trace.
    ApplyState(sourceState, false);
}

ServiceRecord::~ServiceRecord()
{
    ServiceRecord::Reset();
    DeleteCriticalSection(&lock_);
}

void ServiceRecord::Reset()
{
    RecordLock guard(*this);
    ReleaseProcessHandles();
    ReleaseTimer(ServiceTimer::kResetPeriod);
    ReleaseTimer(ServiceTimer::kRestartDelay);

    name_.clear();
    binaryPath_.clear();
    listenerPipeName_.clear();
    serviceArgs_.clear();
    dependOnService_.clear();
    waiters_.clear();
    groupAccount_.clear();
    serviceMain_.reset();

    state_.exchange(Word(ServiceState::kStopped));
    svhType_.exchange(Word(SvhServiceType::kSvh));
    serviceType_.exchange(Word(WinServiceType::kUnknown));
    startupProfile_.exchange(Word(StartupProfile::kNone));
    resetPeriod_.exchange(0);
    restartCount_.exchange(0);
    restartDelay_.exchange(0);
    powerProfile_.exchange(0);
    numServiceArgs_.exchange(0);
    shutdownTimeout_.exchange(kDefaultTimeoutSeconds);
    startupTimeout_.exchange(kDefaultTimeoutSeconds);
    userStopped_.exchange(0);
    resetWindowActive_.exchange(0);
    startInProgress_.exchange(0);
    dependencyFailed_.exchange(0);
    crashed_.exchange(0);
    stopRequested_.exchange(0);
    disabled_.exchange(0);
    restartsInWindow_.exchange(0);
}

void ServiceRecord::Lock() const noexcept
{
    EnterCriticalSection(&lock_);
    NoteRecordLockTaken();
}

void ServiceRecord::Unlock() const noexcept
{
    NoteRecordLockReleased();
    LeaveCriticalSection(&lock_);
}

SvhServiceType ServiceRecord::GetSVHType() const noexcept { return static_cast<SvhServiceType>(svhType_.load()); }
SvhServiceType ServiceRecord::SetSVHType(SvhServiceType value) noexcept
{
    return static_cast<SvhServiceType>(svhType_.exchange(Word(value)));
}

WinServiceType ServiceRecord::GetServiceType() const noexcept { return static_cast<WinServiceType>(serviceType_.load()); }
WinServiceType ServiceRecord::SetServiceType(WinServiceType value) noexcept
{
    return static_cast<WinServiceType>(serviceType_.exchange(Word(value)));
}

StartupProfile ServiceRecord::GetStartupProfile() const noexcept
{
    return static_cast<StartupProfile>(startupProfile_.load());
}
StartupProfile ServiceRecord::SetStartupProfile(StartupProfile value) noexcept
{
    return static_cast<StartupProfile>(startupProfile_.exchange(Word(value)));
}

DWORD ServiceRecord::GetResetPeriod() const noexcept { return resetPeriod_.load(); }
DWORD ServiceRecord::SetResetPeriod(DWORD seconds) noexcept { return resetPeriod_.exchange(seconds); }
DWORD ServiceRecord::GetRestartCount() const noexcept { return restartCount_.load(); }
DWORD ServiceRecord::SetRestartCount(DWORD count) noexcept { return restartCount_.exchange(count); }
DWORD ServiceRecord::GetRestartDelay() const noexcept { return restartDelay_.load(); }
DWORD ServiceRecord::SetRestartDelay(DWORD seconds) noexcept { return restartDelay_.exchange(seconds); }
DWORD ServiceRecord::GetPowerProfile() const noexcept { return powerProfile_.load(); }
DWORD ServiceRecord::SetPowerProfile(DWORD profile) noexcept { return powerProfile_.exchange(profile); }
DWORD ServiceRecord::GetShutdownTimeout() const noexcept { return shutdownTimeout_.load(); }
DWORD ServiceRecord::SetShutdownTimeout(DWORD seconds) noexcept { return shutdownTimeout_.exchange(seconds); }
DWORD ServiceRecord::GetStartupTimeout() const noexcept { return startupTimeout_.load(); }
DWORD ServiceRecord::SetStartupTimeout(DWORD seconds) noexcept { return startupTimeout_.exchange(seconds); }

LaunchProtection ServiceRecord::GetLaunchProtected() const noexcept
{
    return static_cast<LaunchProtection>(launchProtected_.load());
}
LaunchProtection ServiceRecord::SetLaunchProtected(LaunchProtection value) noexcept
{
    return static_cast<LaunchProtection>(launchProtected_.exchange(Word(value)));
}

DWORD ServiceRecord::GetNumServiceArgs() const noexcept { return numServiceArgs_.load(); }
DWORD ServiceRecord::SetNumServiceArgs(DWORD count) noexcept { return numServiceArgs_.exchange(count); }

bool ServiceRecord::GetUserStopped() const noexcept { return userStopped_.load() != 0; }

bool ServiceRecord::SetUserStopped(bool value)
{
    const bool previous = userStopped_.exchange(Word(value)) != 0;
    QVX_TRACE(trace::kInfo, 3, L"UserStopped", GetName(), previous, value);
    LifeCycleRecord lifeCycle(this);
    if (previous == value)
        lifeCycle.Refresh();
    else if (value)
        lifeCycle.RecordStop();
    return previous;
}

std::wstring ServiceRecord::GetName() const
{
    RecordLock guard(*this);
    return name_;
}

void ServiceRecord::SetName(std::wstring_view name)
{
    RecordLock guard(*this);
    name_.assign(name);
}

std::vector<std::wstring> ServiceRecord::GetDependOnService() const
{
    RecordLock guard(*this);
    return dependOnService_;
}

void ServiceRecord::SetDependOnService(std::vector<std::wstring> names)
{
    RecordLock guard(*this);
    dependOnService_ = std::move(names);
}

std::wstring ServiceRecord::GetBinaryPath() const
{
    RecordLock guard(*this);
    return binaryPath_;
}

void ServiceRecord::SetBinaryPath(std::wstring_view path)
{
    RecordLock guard(*this);
    binaryPath_.assign(path);
}

std::wstring ServiceRecord::GetGroupAccount() const
{
    RecordLock guard(*this);
    return groupAccount_;
}

void ServiceRecord::SetGroupAccount(std::wstring_view account)
{
    RecordLock guard(*this);
    groupAccount_.assign(account);
}

std::optional<std::string> ServiceRecord::GetServiceMain() const
{
    RecordLock guard(*this);
    return serviceMain_;
}

void ServiceRecord::SetServiceMain(const char* entryPoint)
{
    RecordLock guard(*this);
    if (entryPoint)
        serviceMain_.emplace(entryPoint);
    else
        serviceMain_.reset();
}

DWORD ServiceRecord::GetVersion() const
{
    RecordLock guard(*this);
    return version_;
}

void ServiceRecord::SetVersion(DWORD version)
{
    RecordLock guard(*this);
    version_ = version;
}

std::wstring ServiceRecord::GetServiceArgs() const
{
    RecordLock guard(*this);
    return serviceArgs_;
}

void ServiceRecord::SetServiceArgs(std::wstring_view arguments)
{
    RecordLock guard(*this);
    serviceArgs_.assign(arguments);
}

ServiceState ServiceRecord::GetState() const noexcept { return static_cast<ServiceState>(state_.load()); }

bool ServiceRecord::SetServiceState(ServiceState state)
{
    return ApplyState(state, true);
}

bool ServiceRecord::ApplyState(ServiceState state, bool traceRefusal)
{
    RecordLock guard(*this);
    const ServiceState from = GetState();
    if (!StateHasChanges(from))
        return false;
    if (!StateChangeAllowed(from, state)) {
        if (traceRefusal) {
            QVX_TRACE(trace::kError, 1, L"state change refused", name_, ServiceStateName(from),
                ServiceStateName(state));
        }
        return false;
    }
    state_.exchange(Word(state));
    if (state == ServiceState::kStopped)
        stopRequested_.exchange(0);
    QVX_TRACE(trace::kVerbose, 2, L"state changed", name_, ServiceStateName(from), ServiceStateName(state));
    return true;
}

bool ServiceRecord::GetResetWindowActive() const noexcept { return resetWindowActive_.load() != 0; }
bool ServiceRecord::SetResetWindowActive(bool value) noexcept { return resetWindowActive_.exchange(Word(value)) != 0; }
DWORD ServiceRecord::GetRestartsInWindow() const noexcept { return restartsInWindow_.load(); }
DWORD ServiceRecord::SetRestartsInWindow(DWORD count) noexcept { return restartsInWindow_.exchange(count); }
bool ServiceRecord::GetStartInProgress() const noexcept { return startInProgress_.load() != 0; }

bool ServiceRecord::TrySetStartInProgress(bool value) noexcept
{
    if (!value) {
        startInProgress_.exchange(0);
        return true;
    }
    uint32_t expected = 0;
    return startInProgress_.compare_exchange_strong(expected, 1);
}

bool ServiceRecord::GetDependencyFailed() const noexcept { return dependencyFailed_.load() != 0; }
bool ServiceRecord::SetDependencyFailed(bool value) noexcept { return dependencyFailed_.exchange(Word(value)) != 0; }
bool ServiceRecord::GetCrashed() const noexcept { return crashed_.load() != 0; }
bool ServiceRecord::SetCrashed(bool value) noexcept { return crashed_.exchange(Word(value)) != 0; }
bool ServiceRecord::GetStopRequested() const noexcept { return stopRequested_.load() != 0; }
bool ServiceRecord::SetStopRequested(bool value) noexcept { return stopRequested_.exchange(Word(value)) != 0; }
bool ServiceRecord::GetDisabled() const noexcept { return disabled_.load() != 0; }
bool ServiceRecord::SetDisabled(bool value) noexcept { return disabled_.exchange(Word(value)) != 0; }

std::wstring ServiceRecord::GetListenerPipeName() const
{
    RecordLock guard(*this);
    return listenerPipeName_;
}

void ServiceRecord::SetListenerPipeName(std::wstring_view pipeName)
{
    RecordLock guard(*this);
    listenerPipeName_.assign(pipeName);
}

void ServiceRecord::BuildListenerPipeName()
{
    RecordLock guard(*this);
    listenerPipeName_ = kListenerPipePrefix + name_ + kListenerPipeSuffix;
}

std::vector<std::wstring> ServiceRecord::GetWaiters() const
{
    RecordLock guard(*this);
    return waiters_;
}

void ServiceRecord::SetWaiters(std::vector<std::wstring> names)
{
    RecordLock guard(*this);
    waiters_ = std::move(names);
}

void ServiceRecord::AttachProcess(std::shared_ptr<HostedProcess> process)
{
    std::shared_ptr<HostedProcess> previous;
    {
        RecordLock guard(*this);
        previous = std::exchange(process_, std::move(process));
    }
    // `previous` goes here, after the guard: closing the handles of a last
    // reference needs no record lock.
}

std::shared_ptr<HostedProcess> ServiceRecord::Process() const
{
    RecordLock guard(*this);
    return process_;
}

void ServiceRecord::ReleaseProcess()
{
    AttachProcess(nullptr);
}

bool ServiceRecord::HasProcessHandle() const
{
    RecordLock guard(*this);
    return process_ && process_->HasProcessHandle();
}

HANDLE ServiceRecord::GetServiceMutex() const
{
    RecordLock guard(*this);
    return serviceMutex_;
}

void ServiceRecord::SetServiceMutex(HANDLE mutex)
{
    RecordLock guard(*this);
    if (serviceMutex_ && serviceMutex_ != mutex)
        CurrentHandleRelease().ReleaseServiceMutex(serviceMutex_);
    serviceMutex_ = mutex;
}

void ServiceRecord::CloseServiceMutex()
{
    SetServiceMutex(nullptr);
}

HANDLE ServiceRecord::GetTimer(ServiceTimer slot) const
{
    RecordLock guard(*this);
    return timers_[static_cast<size_t>(slot)];
}

void ServiceRecord::SetTimer(ServiceTimer slot, HANDLE timer)
{
    RecordLock guard(*this);
    HANDLE& held = timers_[static_cast<size_t>(slot)];
    if (held && held != timer)
        CurrentHandleRelease().ReleaseTimer(held);
    held = timer;
}

void ServiceRecord::ReleaseTimer(ServiceTimer slot)
{
    SetTimer(slot, nullptr);
}

void ServiceRecord::ReleaseProcessHandles()
{
    RecordLock guard(*this);
    stopRequested_.exchange(0);
    ReleaseProcess();
    CloseServiceMutex();
    ReleaseTimer(ServiceTimer::kStartup);
    ReleaseTimer(ServiceTimer::kShutdown);
}

bool ServiceRecord::OpenRestartWindow()
{
    RecordLock guard(*this);
    if (GetResetPeriod() == 0 || GetRestartCount() == 0 || GetRestartDelay() == 0 || GetResetWindowActive())
        return false;
    restartsInWindow_.exchange(0);
    return true;
}

bool ServiceRecord::RestartAllowed() const
{
    RecordLock guard(*this);
    if (!GetResetWindowActive())
        return true;
    const auto limit = static_cast<int32_t>(GetRestartCount());
    if (limit == 0)
        return false;
    return static_cast<int32_t>(GetRestartsInWindow()) < limit;
}

} // namespace qvx
