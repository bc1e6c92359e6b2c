// Commands that create, look up, reconfigure, enable or disable and delete
// hosted services. Each checks its field count exactly, works on the table
// and its records, persists what it changed and writes one reply.
//
// CREATE_SERVICE and DELETE_SERVICE hold the table lock exclusively from
// their first look at the table to their reply: a record and its registry
// key come and go together, so no other request sees a record without its
// key, a key without its record, or two creates of one name both succeed.
// The exclusive hold is taken before anything is read, so the upgrade from
// the dispatcher's shared hold loses nothing.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/event_report.h"
#include "runtime/host_runtime.h"
#include "model/power_profile.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/service_table_store.h"
#include "model/table_lock.h"
#include "platform/registry_value.h"
#include "platform/service_key.h"
#include "platform/trace.h"
#include "platform/wide_text.h"
#include "protocol/command_context.h"
#include "protocol/command_handlers.h"
#include "protocol/message_codec.h"

namespace qvx {

namespace {

constexpr wchar_t kEnableWord[] = L"ENABLE";
constexpr wchar_t kDisableWord[] = L"DISABLE";

// Whether the service's key is still in the registry.
bool ServiceKeyPresent(const std::wstring& name)
{
    RegKey key;
    DWORD error = OpenKey(ServiceKeyRoot(), HostedServiceKeyPath(ToLowerAscii(name)).c_str(), KEY_READ, key);
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

void ReportCreated(const ServiceRecord& record)
{
    std::wstring powerProfile;
    PowerProfileSetToText(record.GetPowerProfile(), powerProfile);
    std::wstring dependencies;
    for (const std::wstring& name : record.GetDependOnService()) {
        dependencies += name;
        dependencies += L' ';
    }
    ReportServiceEvent(kEventServiceCreated,
                       {record.GetName(), record.GetBinaryPath(), SvhServiceTypeName(record.GetSVHType()),
                        powerProfile, dependencies, DecimalText(static_cast<int>(record.GetResetPeriod())),
                        DecimalText(static_cast<int>(record.GetRestartCount())),
                        DecimalText(static_cast<int>(record.GetRestartDelay())), record.GetGroupAccount(),
                        StartupProfileName(record.GetStartupProfile())});
}

// The fields an app profile sets on an installed service. LaunchProtected
// only when the profile gave it.
void CopyProfileFields(ServiceRecord& to, const ServiceRecord& from, bool launchProtection)
{
    to.SetShutdownTimeout(from.GetShutdownTimeout());
    to.SetServiceArgs(from.GetServiceArgs());
    to.SetNumServiceArgs(from.GetNumServiceArgs());
    to.SetPowerProfile(from.GetPowerProfile());
    to.SetResetPeriod(from.GetResetPeriod());
    to.SetRestartCount(from.GetRestartCount());
    to.SetRestartDelay(from.GetRestartDelay());
    to.SetBinaryPath(from.GetBinaryPath());
    to.SetStartupProfile(from.GetStartupProfile());
    to.SetGroupAccount(from.GetGroupAccount());
    to.SetStartupTimeout(from.GetStartupTimeout());
    to.SetServiceType(from.GetServiceType());
    const std::optional<std::string> serviceMain = from.GetServiceMain();
    to.SetServiceMain(serviceMain ? serviceMain->c_str() : nullptr);
    to.SetVersion(from.GetVersion());
    if (launchProtection)
        to.SetLaunchProtected(from.GetLaunchProtected());
    to.SetDependOnService(from.GetDependOnService());
}

// Whether a stored dependency list reads back as these names: the load
// trims blanks from both ends of the stored text. (Names from a profile
// are trimmed as they are read.)
bool DependenciesLoadBack(const std::vector<std::wstring>& names)
{
    auto blankAt = [](const std::wstring& name, bool front) {
        return !name.empty() && (front ? name.front() : name.back()) == L' ';
    };
    return names.empty() || (!blankAt(names.front(), true) && !blankAt(names.back(), false));
}

// Whether the next start of the host loads the configuration the profile
// gave as it is: the load refuses a service without a binary path or a DLL
// service with an empty entry point, and reads an entry point only for a
// DLL service. A configuration that would not come back is refused now
// rather than acknowledged and lost (or changed) at the next start.
bool ProfileLoadsBack(const ServiceRecord& record)
{
    RecordLock guard(record);
    const std::wstring name = record.GetName();
    if (record.GetBinaryPath().empty()) {
        QVX_TRACE(trace::kError, 21, L"app profile gives no binary path", name);
        return false;
    }
    const std::optional<std::string> entryPoint = record.GetServiceMain();
    const bool dllService = record.GetServiceType() == WinServiceType::kUserDll;
    if (entryPoint && (!dllService || entryPoint->empty())) {
        QVX_TRACE(trace::kError, 22, L"app profile entry point would not be kept", name, record.GetServiceType());
        return false;
    }
    return true;
}

// Saves the record; when that fails, puts `before` back into memory and
// into whatever part of the key the failed save had written, so that the
// service keeps the configuration it had. Called under the record lock.
bool PersistOrRollBack(ServiceRecord& record, const ServiceRecord& before)
{
    const DWORD error = SaveServiceConfig(record);
    if (error == ERROR_SUCCESS)
        return true;
    QVX_TRACE(trace::kError, 3, L"configuration not stored, change undone", record.GetName(), error);
    CopyProfileFields(record, before, true);
    // The old configuration is in memory again; if the key cannot take it
    // back either, the next start of the host loads what part of the change
    // the failed save left there.
    if (const DWORD restored = SaveServiceConfig(record); restored != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 20, L"previous configuration not stored again", record.GetName(), restored);
    return false;
}

} // namespace

void HandleCreateService(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceTable* table = TableFor(request, pipe);
    if (!table)
        return;
    TableLock exclusive(table->Lock(), TableLockMode::Exclusive);
    std::vector<std::wstring> fields;
    if (!SplitExactly(request, 3, fields, pipe))
        return;
    const std::wstring& name = fields[1];
    if (table->FindByName(name)) {
        QVX_TRACE(trace::kError, 4, L"service already exists", name);
        pipe.WriteReply(reply::kServiceAlreadyExists);
        return;
    }

    auto record = std::make_unique<ServiceRecord>();
    const DWORD parsed = record->ParseAppProfile(fields[2]);
    if (parsed == ERROR_CIRCULAR_DEPENDENCY) {
        pipe.WriteReply(reply::kInvalidDependency);
        return;
    }
    if (parsed != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 5, L"app profile not read", name, parsed);
        pipe.WriteReply(reply::kParsingAppProfile);
        return;
    }
    if (!ProfileLoadsBack(*record)) {
        pipe.WriteReply(reply::kParsingAppProfile);
        return;
    }
    const std::wstring profileName = record->GetName();
    if (!SameServiceName(profileName, name) || !IsStorableServiceName(profileName)) {
        QVX_TRACE(trace::kError, 6, L"app profile names another service", name, profileName);
        pipe.WriteReply(reply::kParsingAppProfile);
        return;
    }
    if (table->FindByName(profileName)) {
        QVX_TRACE(trace::kError, 7, L"service already exists", profileName);
        pipe.WriteReply(reply::kServiceAlreadyExists);
        return;
    }
    if (!table->ValidateDependencies(*record)) {
        pipe.WriteReply(reply::kInvalidDependency);
        return;
    }

    ServiceRecord* added = record.get();
    if (!table->Add(record)) {
        pipe.WriteReply(reply::kServiceAlreadyExists);
        return;
    }
    // A new DLL-hosted service waits for a start on request.
    if (added->GetServiceType() == WinServiceType::kUserDll)
        added->SetUserStopped(true);
    const DWORD saved = SaveServiceConfig(*added);
    if (saved != ERROR_SUCCESS) {
        // A service the registry does not hold would be gone after the next
        // start of the host: take it back out rather than report success.
        QVX_TRACE(trace::kError, 8, L"new service not stored, creation undone", profileName, saved);
        DeleteServiceKey(*added);
        // What part of the key the failed save made and the deletion could
        // not take away brings a half-stored service to the next start.
        if (ServiceKeyPresent(profileName))
            QVX_TRACE(trace::kError, 24, L"undone creation leaves its key behind", profileName);
        table->Remove(*added);
        pipe.WriteReply(reply::kConfigFailed);
        return;
    }
    ReportCreated(*added);
    pipe.WriteReply(reply::kAck);
}

void HandleOpenService(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceTable* table = TableFor(request, pipe);
    if (!table)
        return;
    std::vector<std::wstring> fields;
    if (!SplitExactly(request, 2, fields, pipe))
        return;
    pipe.WriteReply(table->FindByName(fields[1]) ? reply::kAck : reply::kServiceNotFound);
}

void HandleDeleteService(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceTable* table = TableFor(request, pipe);
    if (!table)
        return;
    TableLock exclusive(table->Lock(), TableLockMode::Exclusive);
    std::vector<std::wstring> fields;
    if (!SplitExactly(request, 2, fields, pipe))
        return;
    ServiceRecord* record = FindServiceOrReply(*table, fields[1], pipe);
    if (!record)
        return;
    StandDownCrashRestart(*pipe.Runtime(), *record);
    if (record->GetState() == ServiceState::kRunning) {
        QVX_TRACE(trace::kError, 9, L"running service not deleted", fields[1]);
        pipe.WriteReply(reply::kServiceAlreadyRunning);
        return;
    }
    const std::wstring name = record->GetName();
    DeleteServiceKey(*record);
    if (ServiceKeyPresent(name)) {
        // The service would come back with the next start of the host: keep
        // it, with whatever part of its key the deletion took written again.
        QVX_TRACE(trace::kError, 10, L"service key still present, service kept", name);
        if (const DWORD restored = SaveServiceConfig(*record); restored != ERROR_SUCCESS)
            QVX_TRACE(trace::kError, 25, L"kept service not stored again", name, restored);
        pipe.WriteReply(reply::kConfigFailed);
        return;
    }
    {
        RecordLock guard(*record);
        MonitorWaitSet& waitSet = pipe.Runtime()->waitSet;
        waitSet.RemoveTimer(record->GetTimer(ServiceTimer::kResetPeriod));
        waitSet.RemoveTimer(record->GetTimer(ServiceTimer::kShutdown));
        waitSet.RemoveTimer(record->GetTimer(ServiceTimer::kStartup));
        waitSet.RemoveMutex(record->GetServiceMutex());
    }
    ReportServiceEvent(kEventServiceDeleted, {name});
    table->Remove(*record);
    pipe.WriteReply(reply::kAck);
}

void HandleConfigService(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceRequest resolved;
    if (!ResolveServiceRequest(request, 6, pipe, resolved))
        return;
    ServiceTable* table = resolved.table;
    const std::vector<std::wstring>& fields = resolved.fields;
    ServiceRecord* record = resolved.record;
    StandDownCrashRestart(*pipe.Runtime(), *record);
    if (record->GetState() != ServiceState::kStopped) {
        QVX_TRACE(trace::kError, 11, L"service not stopped, not configured", fields[1]);
        pipe.WriteReply(reply::kServiceAlreadyRunning);
        return;
    }

    const std::wstring& startupProfile = fields[2];
    const std::wstring& binaryPath = fields[3];
    const std::wstring& dependencies = fields[4];
    const std::wstring& account = fields[5];
    ServiceRecord copy(*record);
    const wchar_t* error = nullptr;
    if (startupProfile != kEmptyPlaceholder) {
        copy.SetStartupProfile(StartupProfileFromName(std::wstring_view(startupProfile)));
        if (copy.GetStartupProfile() == StartupProfile::kNone)
            error = reply::kInvalidStartupValue;
    }
    if (binaryPath != kEmptyPlaceholder)
        copy.SetBinaryPath(binaryPath);
    if (account != kEmptyPlaceholder) {
        if (IsBuiltinServiceAccount(account))
            copy.SetGroupAccount(account);
        else
            error = reply::kInvalidAccount;
    }
    if (dependencies != kEmptyPlaceholder) {
        std::vector<std::wstring> names;
        if (dependencies != kNoDependencies && !Split(dependencies, kListSeparator, names))
            error = reply::kMsgProtocol;
        for (std::wstring& dependency : names)
            ToLowerAsciiInPlace(dependency);
        copy.SetDependOnService(std::move(names));
    }
    if (error) {
        QVX_TRACE(trace::kError, 12, L"configuration refused", request, error);
        pipe.WriteReply(error);
        return;
    }
    if (!DependenciesLoadBack(copy.GetDependOnService())) {
        QVX_TRACE(trace::kError, 23, L"dependency with blanks around would not be kept", fields[1], dependencies);
        pipe.WriteReply(reply::kInvalidDependency);
        return;
    }
    if (!table->ValidateDependencies(copy)) {
        pipe.WriteReply(reply::kInvalidDependency);
        return;
    }

    RecordLock guard(*record);
    // A start may have come in since the first look; a start changes the
    // state under this lock, so the look now is the one that counts.
    if (record->GetState() != ServiceState::kStopped) {
        QVX_TRACE(trace::kError, 26, L"service started meanwhile, not configured", fields[1]);
        pipe.WriteReply(reply::kServiceAlreadyRunning);
        return;
    }
    const ServiceRecord before(*record);
    if (dependencies != kEmptyPlaceholder)
        record->SetDependOnService(copy.GetDependOnService());
    record->SetStartupProfile(copy.GetStartupProfile());
    record->SetBinaryPath(copy.GetBinaryPath());
    record->SetGroupAccount(copy.GetGroupAccount());
    pipe.WriteReply(PersistOrRollBack(*record, before) ? reply::kAck : reply::kConfigFailed);
}

void HandleConfigService2(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceTable* table = TableFor(request, pipe);
    if (!table)
        return;
    std::vector<std::wstring> fields;
    if (!SplitExactly(request, 2, fields, pipe))
        return;
    ServiceRecord working;
    bool launchProtectionGiven = false;
    const DWORD parsed = working.ParseAppProfile(fields[1], &launchProtectionGiven);
    if (parsed == ERROR_CIRCULAR_DEPENDENCY) {
        pipe.WriteReply(reply::kInvalidDependency);
        return;
    }
    if (parsed != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 13, L"app profile not read", parsed);
        pipe.WriteReply(reply::kParsingAppProfile);
        return;
    }
    if (!ProfileLoadsBack(working)) {
        pipe.WriteReply(reply::kParsingAppProfile);
        return;
    }
    if (!table->ValidateDependencies(working)) {
        pipe.WriteReply(reply::kInvalidDependency);
        return;
    }
    const std::wstring name = working.GetName();
    ServiceRecord* record = table->FindByName(name);
    if (!record) {
        QVX_TRACE(trace::kError, 19, L"app profile names no installed service", name);
        pipe.WriteReply(reply::kServiceNotFound);
        return;
    }
    const ServiceState state = record->GetState();
    if (state != ServiceState::kRunning && state != ServiceState::kStopped) {
        QVX_TRACE(trace::kError, 14, L"service cannot take a profile now", name, state);
        pipe.WriteReply(reply::kCannotAcceptCtrl);
        return;
    }
    StandDownCrashRestart(*pipe.Runtime(), *record);
    if (state == ServiceState::kRunning) {
        QVX_TRACE(trace::kError, 15, L"running service not configured", name);
        pipe.WriteReply(reply::kServiceAlreadyRunning);
        return;
    }
    if (HostBesideLegacyHost(pipe) && SameServiceName(name, kTrustProxyName)) {
        QVX_TRACE(trace::kInfo, 16, L"legacy host keeps the trust service's profile", name);
        pipe.WriteReply(reply::kAck);
        return;
    }

    RecordLock guard(*record);
    if (const ServiceState now = record->GetState(); now != ServiceState::kStopped) {
        QVX_TRACE(trace::kError, 27, L"service started meanwhile, profile not applied", name, now);
        pipe.WriteReply(now == ServiceState::kRunning ? reply::kServiceAlreadyRunning : reply::kCannotAcceptCtrl);
        return;
    }
    const DWORD installed = record->GetVersion();
    const DWORD offered = working.GetVersion();
    if (static_cast<LONG>(installed) > static_cast<LONG>(offered)) {
        QVX_TRACE(trace::kInfo, 17, L"installed configuration is newer, profile not applied", name, installed,
                  offered);
        pipe.WriteReply(reply::kAck);
        return;
    }
    const ServiceRecord before(*record);
    CopyProfileFields(*record, working, launchProtectionGiven);
    pipe.WriteReply(PersistOrRollBack(*record, before) ? reply::kAck : reply::kConfigFailed);
}

void HandleEnableDisableService(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceRequest resolved;
    if (!ResolveServiceRequest(request, 3, pipe, resolved))
        return;
    const std::vector<std::wstring>& fields = resolved.fields;
    ServiceRecord* record = resolved.record;
    if (EqualsFolded(fields[2], kEnableWord)) {
        record->SetDisabled(false);
    } else if (EqualsFolded(fields[2], kDisableWord)) {
        record->SetDisabled(true);
    } else {
        QVX_TRACE(trace::kError, 18, L"neither ENABLE nor DISABLE", fields[1], fields[2]);
        pipe.WriteReply(reply::kMsgProtocol);
        return;
    }
    pipe.WriteReply(reply::kAck);
}

} // namespace qvx
