#include "engine/start_wave.h"

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/launcher.h"
#include "model/power_profile.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/table_lock.h"
#include "platform/trace.h"
#include "platform/wide_text.h"
#include "runtime/host_runtime.h"

namespace qvx {
namespace {

bool ListsName(const std::vector<std::wstring>& names, const std::wstring& name)
{
    for (const std::wstring& listed : names) {
        if (SameServiceName(listed, name))
            return true;
    }
    return false;
}

bool HasDependencies(const ServiceRecord& record)
{
    for (const std::wstring& name : record.GetDependOnService()) {
        if (!name.empty())
            return true;
    }
    return false;
}

void AddWaiter(ServiceRecord& record, const std::wstring& waiter)
{
    RecordLock guard(record);
    std::vector<std::wstring> waiters = record.GetWaiters();
    // A later wave registers the same dependents again; listing one twice
    // would only start it twice.
    if (ListsName(waiters, waiter))
        return;
    waiters.push_back(waiter);
    record.SetWaiters(std::move(waiters));
}

void RegisterWaiting(const ServiceTable& table, ServiceRecord& record, StartupProfile profile,
                     std::unordered_set<const ServiceRecord*>& visited)
{
    // Dependents may lead back to a service met before; each is followed
    // once, so such a ring ends instead of recursing without end.
    if (!visited.insert(&record).second)
        return;
    for (size_t i = 0; ServiceRecord* dependent = table.GetAt(i); ++i) {
        if (dependent == &record || !ServiceTable::DependsOn(*dependent, record))
            continue;
        if (profile != StartupProfile::kNone && dependent->GetStartupProfile() != profile)
            continue;
        AddWaiter(record, dependent->GetName());
        RegisterWaiting(table, *dependent, StartupProfile::kNone, visited);
    }
}

// Registers the service's waiting dependents and starts it; true when it
// counts as started.
bool Launch(HostRuntime& runtime, const ServiceTable& table, ServiceRecord& record, StartupProfile profile)
{
    RegisterWaitingDependents(table, record, profile);
    const DWORD error = StartHostedServiceAndRecord(runtime, &record);
    // A failed launch is traced and reported by the launcher; the wave goes on.
    return error == ERROR_SUCCESS || error == ERROR_SERVICE_ALREADY_RUNNING;
}

bool Skipped(const ServiceRecord& record, DWORD typeFilter, uint32_t conditions)
{
    const ServiceState state = record.GetState();
    if (state == ServiceState::kRunning || state == ServiceState::kStartPending)
        return true;
    if (record.GetStartupProfile() == StartupProfile::kDemand || record.GetUserStopped())
        return true;
    if (typeFilter != 0 && static_cast<DWORD>(record.GetServiceType()) != typeFilter)
        return true;
    return !PowerProfilePermits(record.GetPowerProfile(), conditions);
}

} // namespace

void RegisterWaitingDependents(const ServiceTable& table, ServiceRecord& record, StartupProfile profile)
{
    TableLock guard(table.Lock(), TableLockMode::Shared);
    std::unordered_set<const ServiceRecord*> visited;
    RegisterWaiting(table, record, profile, visited);
}

void EnsureListenerPipeName(const ServiceTable& table, ServiceRecord& record)
{
    if (!record.GetListenerPipeName().empty())
        return;
    if (record.GetServiceType() == WinServiceType::kShareProcess) {
        std::vector<ServiceRecord*> group;
        table.CollectSharedProcessGroup(record, group);
        for (const ServiceRecord* member : group) {
            std::wstring pipe = member->GetListenerPipeName();
            if (!pipe.empty()) {
                record.SetListenerPipeName(pipe);
                return;
            }
        }
    }
    record.BuildListenerPipeName();
}

bool StartWave(HostRuntime& runtime, StartupProfile profile, DWORD typeFilter)
{
    ServiceTable* table = runtime.Table();
    if (!table) {
        QVX_TRACE(trace::kError, 1, L"no service table for the start-up wave", StartupProfileName(profile));
        return false;
    }
    QVX_TRACE(trace::kInfo, 2, L"start-up wave", StartupProfileName(profile), typeFilter);
    TableLock guard(table->Lock(), TableLockMode::Shared);
    bool started = false;
    for (size_t i = 0; ServiceRecord* record = table->GetAt(i); ++i) {
        EnsureListenerPipeName(*table, *record);
        if (Skipped(*record, typeFilter, runtime.conditions.word.load()))
            continue;
        const StartupProfile own = record->GetStartupProfile();
        if (own != profile)
            continue;
        if (!HasDependencies(*record)) {
            started = Launch(runtime, *table, *record, profile) || started;
            continue;
        }
        const std::wstring name = record->GetName();
        if (!table->ValidateDependencies(*record)) {
            QVX_TRACE(trace::kError, 3, L"the wave skips a service with invalid dependencies", name);
            continue;
        }
        for (const std::wstring& dependencyName : record->GetDependOnService()) {
            if (dependencyName.empty())
                continue;
            const ServiceRecord* dependency = table->FindByName(dependencyName);
            if (!dependency) {
                QVX_TRACE(trace::kError, 4, L"a dependency is not in the table", name, dependencyName);
                continue;
            }
            if (static_cast<uint32_t>(dependency->GetStartupProfile()) <= static_cast<uint32_t>(own) &&
                dependency->GetState() == ServiceState::kRunning)
                started = Launch(runtime, *table, *record, profile) || started;
        }
    }
    return started;
}

} // namespace qvx
