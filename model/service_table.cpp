#include "model/service_table.h"

#include <utility>

#include "platform/trace.h"
#include "platform/wide_text.h"

namespace qvx {
namespace {

constexpr size_t kNotFound = static_cast<size_t>(-1);

bool ListsName(const std::vector<std::wstring>& names, std::wstring_view name)
{
    for (const auto& entry : names) {
        if (SameServiceName(entry, name))
            return true;
    }
    return false;
}

bool IsSharedProcessOf(const ServiceRecord& candidate, std::wstring_view binaryPath)
{
    return candidate.GetServiceType() == WinServiceType::kShareProcess &&
           EqualsFolded(candidate.GetBinaryPath(), binaryPath);
}

bool HasProcess(const std::shared_ptr<HostedProcess>& process)
{
    return process && process->HasProcessHandle();
}

} // namespace

ServiceTable::ServiceTable(RecursiveTableLock& lock) : lock_(lock)
{
    records_.reserve(1);
}

ServiceTable::~ServiceTable()
{
    Clear();
}

void ServiceTable::Clear()
{
    TableLock guard(lock_, TableLockMode::Exclusive);
    records_.clear();
    records_.shrink_to_fit();
    records_.reserve(1);
}

size_t ServiceTable::IndexOf(std::wstring_view name, SvhServiceType type) const
{
    for (size_t i = 0; i < records_.size(); ++i) {
        const ServiceRecord& candidate = *records_[i];
        if (candidate.GetSVHType() == type && SameServiceName(candidate.GetName(), name))
            return i;
    }
    return kNotFound;
}

bool ServiceTable::Add(std::unique_ptr<ServiceRecord>& record)
{
    if (!record)
        return false;
    // Copied before any other record is locked: never two record locks.
    const std::wstring name = record->GetName();
    const SvhServiceType type = record->GetSVHType();

    TableLock shared(lock_, TableLockMode::Shared);
    if (IndexOf(name, type) != kNotFound) {
        QVX_TRACE(trace::kWarning, 1, L"service already in the table", name, type);
        return false;
    }
    // The upgrade lets other writers in between: look again before appending.
    TableLock exclusive(lock_, TableLockMode::Exclusive);
    if (IndexOf(name, type) != kNotFound) {
        QVX_TRACE(trace::kWarning, 2, L"service added meanwhile", name, type);
        return false;
    }
    records_.push_back(std::move(record));
    return true;
}

ServiceRecord* ServiceTable::FindByName(std::wstring_view name) const
{
    TableLock guard(lock_, TableLockMode::Shared);
    for (const auto& record : records_) {
        if (SameServiceName(record->GetName(), name))
            return record.get();
    }
    return nullptr;
}

ServiceRecord* ServiceTable::FindSvhByName(std::wstring_view name) const
{
    TableLock guard(lock_, TableLockMode::Shared);
    const size_t index = IndexOf(name, SvhServiceType::kSvh);
    return index == kNotFound ? nullptr : records_[index].get();
}

ServiceRecord* ServiceTable::GetAt(size_t index) const
{
    TableLock guard(lock_, TableLockMode::Shared);
    return index < records_.size() ? records_[index].get() : nullptr;
}

size_t ServiceTable::Count(SvhServiceType type) const
{
    TableLock guard(lock_, TableLockMode::Shared);
    if (type == SvhServiceType::kUnknown)
        return records_.size();
    size_t count = 0;
    for (const auto& record : records_) {
        if (record->GetSVHType() == type)
            ++count;
    }
    return count;
}

bool ServiceTable::Remove(const ServiceRecord& record)
{
    TableLock guard(lock_, TableLockMode::Exclusive);
    auto found = records_.end();
    for (auto it = records_.begin(); it != records_.end(); ++it) {
        if (it->get() == &record) {
            found = it;
            break;
        }
    }
    if (found == records_.end()) {
        const std::wstring name = record.GetName();
        for (auto it = records_.begin(); it != records_.end(); ++it) {
            if (SameServiceName((*it)->GetName(), name)) {
                found = it;
                break;
            }
        }
    }
    if (found == records_.end()) {
        QVX_TRACE(trace::kWarning, 3, L"service to remove not in the table", record.GetName());
        return false;
    }
    // The record is destroyed under the exclusive hold: no reader can still
    // be using it.
    records_.erase(found);
    return true;
}

bool ServiceTable::CollectSharedProcessGroup(const ServiceRecord& record, std::vector<ServiceRecord*>& group,
                                             std::shared_ptr<HostedProcess>* groupProcess) const
{
    const std::wstring binaryPath = record.GetBinaryPath();
    if (groupProcess)
        groupProcess->reset();
    TableLock guard(lock_, TableLockMode::Shared);
    for (const auto& candidate : records_) {
        if (!IsSharedProcessOf(*candidate, binaryPath))
            continue;
        group.push_back(candidate.get());
        if (groupProcess && !*groupProcess) {
            std::shared_ptr<HostedProcess> process = candidate->Process();
            if (HasProcess(process))
                *groupProcess = std::move(process);
        }
    }
    return !group.empty();
}

ServiceRecord* ServiceTable::FindSharedHost(const ServiceRecord& record,
                                            std::shared_ptr<HostedProcess>* hostProcess) const
{
    const std::wstring name = record.GetName();
    const std::wstring binaryPath = record.GetBinaryPath();

    // Each candidate's process is taken once, so the one a pass accepts is
    // the one handed out, even if the record lets go of it meanwhile.
    using HostTest = bool (*)(const ServiceRecord&, const std::shared_ptr<HostedProcess>&);
    static constexpr HostTest kPasses[] = {
        [](const ServiceRecord& host, const std::shared_ptr<HostedProcess>&) {
            return host.GetState() == ServiceState::kRunning;
        },
        [](const ServiceRecord& host, const std::shared_ptr<HostedProcess>& process) {
            return host.GetState() == ServiceState::kStartPending && HasProcess(process) && !host.GetWaiters().empty();
        },
        [](const ServiceRecord& host, const std::shared_ptr<HostedProcess>& process) {
            return host.GetState() == ServiceState::kStartPending && HasProcess(process);
        },
    };

    if (hostProcess)
        hostProcess->reset();
    TableLock guard(lock_, TableLockMode::Shared);
    for (HostTest isHost : kPasses) {
        for (const auto& candidate : records_) {
            if (SameServiceName(candidate->GetName(), name) || !IsSharedProcessOf(*candidate, binaryPath))
                continue;
            std::shared_ptr<HostedProcess> process = candidate->Process();
            if (!isHost(*candidate, process))
                continue;
            if (hostProcess)
                *hostProcess = std::move(process);
            return candidate.get();
        }
    }
    return nullptr;
}

bool ServiceTable::DependsOn(const ServiceRecord& service, const ServiceRecord& dependency)
{
    const std::wstring name = dependency.GetName();
    return ListsName(service.GetDependOnService(), name);
}

bool ServiceTable::HasDependents(const ServiceRecord& record) const
{
    const std::wstring name = record.GetName();
    TableLock guard(lock_, TableLockMode::Shared);
    for (const auto& candidate : records_) {
        if (ListsName(candidate->GetDependOnService(), name))
            return true;
    }
    return false;
}

// Whether `start` depends on the service called `name`, directly or through
// the services it depends on. A cycle that does not pass through `name` is
// walked once and ends the search.
bool ServiceTable::LeadsBackTo(const ServiceRecord& start, std::wstring_view name) const
{
    std::vector<std::wstring> pending = start.GetDependOnService();
    std::vector<std::wstring> visited;
    while (!pending.empty()) {
        std::wstring next = std::move(pending.back());
        pending.pop_back();
        if (SameServiceName(next, name))
            return true;
        if (next.empty() || ListsName(visited, next))
            continue;
        visited.push_back(next);
        if (const ServiceRecord* service = FindByName(next)) {
            for (auto& further : service->GetDependOnService())
                pending.push_back(std::move(further));
        }
    }
    return false;
}

bool ServiceTable::ValidateDependencies(const ServiceRecord& record) const
{
    const std::wstring name = record.GetName();
    const auto wave = static_cast<uint32_t>(record.GetStartupProfile());
    const std::vector<std::wstring> dependencies = record.GetDependOnService();

    TableLock guard(lock_, TableLockMode::Shared);
    for (const auto& dependencyName : dependencies) {
        if (dependencyName.empty())
            continue;
        if (SameServiceName(dependencyName, kManagementServiceName)) {
            QVX_TRACE(trace::kError, 4, L"dependency on the management service", name, dependencyName);
            return false;
        }
        if (SameServiceName(dependencyName, name)) {
            QVX_TRACE(trace::kError, 5, L"dependency on itself", name, dependencyName);
            return false;
        }
        const ServiceRecord* dependency = FindByName(dependencyName);
        if (!dependency) {
            QVX_TRACE(trace::kError, 6, L"dependency not in the table", name, dependencyName);
            return false;
        }
        if (LeadsBackTo(*dependency, name)) {
            QVX_TRACE(trace::kError, 7, L"circular dependency", name, dependencyName);
            return false;
        }
        if (static_cast<uint32_t>(dependency->GetStartupProfile()) > wave) {
            QVX_TRACE(trace::kError, 8, L"dependency starts in a later wave", name, dependencyName);
            return false;
        }
    }
    return true;
}

} // namespace qvx
