#pragma once
// One hosted service: its configuration (persisted in the registry or read
// from an app profile) and its run-time state. Records are used from the
// control-pipe threads and the monitor thread at once, so every field has one
// way of being read and written:
//
//  - atomic words: 32-bit words read with an atomic load and written with an
//    atomic exchange, without the lock; other threads test them freely;
//  - locked copies: strings, lists, Version and the process reference,
//    copied in and out under the record lock;
//  - handles (service mutex, timers): changed only under the record lock;
//    timers and the mutex are released through the handle release.
//
// The record lock is a recursive critical section. Code that must keep
// several fields consistent holds it around its work (RecordLock). Never hold
// two record locks at once; the table lock comes before a record lock.

#include <windows.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/hosted_process.h"
#include "model/service_enums.h"

namespace qvx {

// The per-service waitable timers.
enum class ServiceTimer { kResetPeriod, kRestartDelay, kShutdown, kStartup };

class ServiceRecord {
public:
    static constexpr DWORD kDefaultTimeoutSeconds = 30;

    ServiceRecord();
    // Copies every field of the source under the source's lock, with these
    // exceptions: the copy's state follows the transition rule from STOPPED
    // (a source in a state that STOPPED cannot change to gives a stopped
    // copy), and the copy owns no handles (mutex and timers start empty)
    // and holds no process, so destroying a scratch copy never closes the
    // handles of a running service.
    ServiceRecord(const ServiceRecord& source);
    ServiceRecord& operator=(const ServiceRecord&) = delete;

    // Releases what the record holds and returns it to the defaults of a new
    // record; LaunchProtected and Version keep their values.
    virtual void Reset();
    // Loads the configuration from the service's registry key (load true) or
    // saves it there. Returns 0 or a Windows error code.
    virtual DWORD SyncWithRegistry(HKEY key, bool load);
    // Fills the configuration from an XML app profile. Returns 0 or a
    // Windows error code; launchProtectionGiven, when given, tells whether
    // the profile set LaunchProtected.
    virtual DWORD ParseAppProfile(std::wstring_view profile, bool* launchProtectionGiven = nullptr);

    // Runs Reset and frees the lock.
    virtual ~ServiceRecord();

    // The record lock.
    void Lock() const noexcept;
    void Unlock() const noexcept;

    // Configuration: atomic words. Setters return the previous value.
    SvhServiceType GetSVHType() const noexcept;
    SvhServiceType SetSVHType(SvhServiceType value) noexcept;
    WinServiceType GetServiceType() const noexcept;
    WinServiceType SetServiceType(WinServiceType value) noexcept;
    StartupProfile GetStartupProfile() const noexcept;
    StartupProfile SetStartupProfile(StartupProfile value) noexcept;
    DWORD GetResetPeriod() const noexcept; // seconds
    DWORD SetResetPeriod(DWORD seconds) noexcept;
    DWORD GetRestartCount() const noexcept;
    DWORD SetRestartCount(DWORD count) noexcept;
    DWORD GetRestartDelay() const noexcept; // seconds
    DWORD SetRestartDelay(DWORD seconds) noexcept;
    DWORD GetPowerProfile() const noexcept; // PowerProfileFlag bits
    DWORD SetPowerProfile(DWORD profile) noexcept;
    DWORD GetShutdownTimeout() const noexcept; // seconds
    DWORD SetShutdownTimeout(DWORD seconds) noexcept;
    DWORD GetStartupTimeout() const noexcept; // seconds
    DWORD SetStartupTimeout(DWORD seconds) noexcept;
    LaunchProtection GetLaunchProtected() const noexcept;
    LaunchProtection SetLaunchProtected(LaunchProtection value) noexcept;
    DWORD GetNumServiceArgs() const noexcept;
    DWORD SetNumServiceArgs(DWORD count) noexcept;
    bool GetUserStopped() const noexcept;
    // Records the change in the service's life-cycle record: a change to true
    // records a stop, an unchanged value refreshes it. Returns the previous value.
    bool SetUserStopped(bool value);

    // Configuration: locked copies.
    std::wstring GetName() const;
    void SetName(std::wstring_view name);
    std::vector<std::wstring> GetDependOnService() const;
    void SetDependOnService(std::vector<std::wstring> names);
    std::wstring GetBinaryPath() const;
    void SetBinaryPath(std::wstring_view path);
    std::wstring GetGroupAccount() const;
    void SetGroupAccount(std::wstring_view account);
    // The UTF-8 name of a DLL service's entry point; empty optional when not set.
    std::optional<std::string> GetServiceMain() const;
    void SetServiceMain(const char* entryPoint); // null clears it
    DWORD GetVersion() const;
    void SetVersion(DWORD version);
    std::wstring GetServiceArgs() const;
    void SetServiceArgs(std::wstring_view arguments);

    // Run time: the state, changed only through SetServiceState.
    ServiceState GetState() const noexcept;
    // Makes the change when the transition table allows it and returns
    // whether it did. A change the table refuses (the same state included) is
    // traced as an error; a request from a state outside the table (paused,
    // pause or continue pending, unknown) changes nothing silently. A change
    // to STOPPED clears StopRequested.
    bool SetServiceState(ServiceState state);

    // Run time: atomic words. Setters return the previous value.
    bool GetResetWindowActive() const noexcept;
    bool SetResetWindowActive(bool value) noexcept;
    DWORD GetRestartsInWindow() const noexcept;
    DWORD SetRestartsInWindow(DWORD count) noexcept;
    bool GetStartInProgress() const noexcept;
    // true: takes the flag (false to true) and returns whether this caller
    // did; false: clears it and returns true.
    bool TrySetStartInProgress(bool value) noexcept;
    bool GetDependencyFailed() const noexcept;
    bool SetDependencyFailed(bool value) noexcept;
    bool GetCrashed() const noexcept;
    bool SetCrashed(bool value) noexcept;
    bool GetStopRequested() const noexcept;
    bool SetStopRequested(bool value) noexcept;
    bool GetDisabled() const noexcept;
    bool SetDisabled(bool value) noexcept;

    // Run time: locked copies.
    std::wstring GetListenerPipeName() const;
    void SetListenerPipeName(std::wstring_view pipeName);
    // Sets ListenerPipeName to the service's own listener pipe.
    void BuildListenerPipeName();
    std::vector<std::wstring> GetWaiters() const;
    void SetWaiters(std::vector<std::wstring> names);

    // The service's running process, shared with the other services of a
    // shared process. AttachProcess lets go of the process held before (its
    // handles close when no record holds it any more); Process hands out a
    // reference, null when the record holds none; ReleaseProcess lets go.
    void AttachProcess(std::shared_ptr<HostedProcess> process);
    std::shared_ptr<HostedProcess> Process() const;
    void ReleaseProcess();
    // Whether the record holds a process with a process handle.
    bool HasProcessHandle() const;

    // Per-service handles, under the record lock. Setting a slot releases the
    // handle it held before through the handle release.
    HANDLE GetServiceMutex() const;
    void SetServiceMutex(HANDLE mutex);
    void CloseServiceMutex();
    HANDLE GetTimer(ServiceTimer slot) const;
    void SetTimer(ServiceTimer slot, HANDLE timer);
    void ReleaseTimer(ServiceTimer slot);
    // Clears StopRequested, lets go of the process (its handles close with
    // the last record that holds it), releases the service mutex, the
    // start-up timer and then the shutdown timer.
    void ReleaseProcessHandles();

    // Restart window. OpenRestartWindow starts counting restarts (RestartsInWindow
    // back to 0) when the restart policy is complete (ResetPeriod, RestartCount
    // and RestartDelay all non-zero) and no window is open; it returns whether
    // it did. RestartAllowed: no open window allows a restart; in an open window
    // fewer restarts than RestartCount do.
    bool OpenRestartWindow();
    bool RestartAllowed() const;

private:
    friend struct ServiceRecordTestPeer; // puts a record into states no change leads to

    bool ApplyState(ServiceState state, bool traceRefusal);

    mutable CRITICAL_SECTION lock_;

    // Configuration.
    std::wstring name_;
    std::atomic<uint32_t> svhType_{static_cast<uint32_t>(SvhServiceType::kSvh)};
    std::atomic<uint32_t> serviceType_{0};
    std::atomic<uint32_t> startupProfile_{static_cast<uint32_t>(StartupProfile::kNone)};
    std::vector<std::wstring> dependOnService_;
    std::atomic<uint32_t> resetPeriod_{0};
    std::atomic<uint32_t> restartCount_{0};
    std::atomic<uint32_t> restartDelay_{0};
    std::atomic<uint32_t> powerProfile_{0};
    std::atomic<uint32_t> shutdownTimeout_{kDefaultTimeoutSeconds};
    std::atomic<uint32_t> startupTimeout_{kDefaultTimeoutSeconds};
    std::wstring binaryPath_;
    std::wstring groupAccount_;
    std::atomic<uint32_t> launchProtected_{0};
    std::optional<std::string> serviceMain_;
    std::atomic<uint32_t> userStopped_{0};
    DWORD version_ = 0;
    std::atomic<uint32_t> numServiceArgs_{0};
    std::wstring serviceArgs_;

    // Run time.
    std::atomic<uint32_t> state_{static_cast<uint32_t>(ServiceState::kStopped)};
    std::wstring listenerPipeName_;
    std::shared_ptr<HostedProcess> process_;
    HANDLE serviceMutex_ = nullptr;
    HANDLE timers_[4] = {};
    std::atomic<uint32_t> resetWindowActive_{0};
    std::atomic<uint32_t> restartsInWindow_{0};
    std::atomic<uint32_t> startInProgress_{0};
    std::atomic<uint32_t> dependencyFailed_{0};
    std::atomic<uint32_t> crashed_{0};
    std::atomic<uint32_t> stopRequested_{0};
    std::atomic<uint32_t> disabled_{0};
    std::vector<std::wstring> waiters_;
};

// Holds a record's lock for its lifetime. The thread's count of record locks
// held (which the table lock checks its upgrades against) follows Lock and
// Unlock.
class RecordLock {
public:
    explicit RecordLock(const ServiceRecord& record) noexcept : record_(record) { record_.Lock(); }
    ~RecordLock() { record_.Unlock(); }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

private:
    const ServiceRecord& record_;
};

} // namespace qvx
