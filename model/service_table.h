#pragma once
// The management service's table of hosted services: one ServiceRecord per
// service, owned by the table, kept in insertion order. Every scan runs from
// the first entry upward, so the first match in insertion order wins.
//
// Names are compared as the registry compares the names of the services'
// keys (SameServiceName): two names that would open one key name one
// service. Binary paths compare with ASCII letter case folded. Two records
// may carry the same name only when their SVHType differs.
//
// Locking: each operation takes its own TableLock on the process's table
// lock, nested inside whatever the caller holds; lookups and checks take it
// shared, changes exclusive. A pointer handed out by a lookup stays valid
// only while the caller itself holds the table lock (shared is enough).
// Record locks are taken inside the table lock, one at a time: a check that
// compares two records copies what it needs from one before it locks the
// other.

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/service_enums.h"
#include "model/service_record.h"
#include "model/table_lock.h"

namespace qvx {

class ServiceTable {
public:
    explicit ServiceTable(RecursiveTableLock& lock = ProcessTableLock());
    ~ServiceTable(); // destroys every record
    ServiceTable(const ServiceTable&) = delete;
    ServiceTable& operator=(const ServiceTable&) = delete;

    // The lock that guards this table, for callers that hold it across
    // several operations.
    RecursiveTableLock& Lock() const noexcept { return lock_; }

    // Destroys every record.
    void Clear();

    // Appends the record and takes it (record becomes null) unless a record
    // of the same name and the same SVHType is present; then returns false
    // and leaves the record with the caller.
    bool Add(std::unique_ptr<ServiceRecord>& record);

    // First record whose name matches, or null.
    ServiceRecord* FindByName(std::wstring_view name) const;
    // First record of SVHType SERVICE_TYPE_SVH whose name matches, or null.
    ServiceRecord* FindSvhByName(std::wstring_view name) const;
    // The record at the index, or null when the index is not below the count.
    ServiceRecord* GetAt(size_t index) const;
    // Records of the given SVHType; every record for kUnknown (0).
    size_t Count(SvhServiceType type) const;

    // Destroys the record and closes the gap. The entry removed is the
    // record itself when it is in the table, else the first entry of the
    // same name. Returns whether an entry was removed.
    bool Remove(const ServiceRecord& record);

    // Appends every share-process record (the given one included) whose
    // BinaryPath matches the given record's; returns whether `group` is
    // non-empty. `groupProcess`, when given, receives the process of the
    // first record of the group that holds one with a process handle (null
    // when none does).
    bool CollectSharedProcessGroup(const ServiceRecord& record, std::vector<ServiceRecord*>& group,
                                   std::shared_ptr<HostedProcess>* groupProcess = nullptr) const;

    // A running process that the given share-process service may join:
    // another share-process record of the same BinaryPath that is running;
    // else one starting with a process and services waiting on it; else one
    // starting with a process. Null when there is none. `hostProcess`, when
    // given, receives the host's process (null when it holds none), which a
    // joining record attaches instead of copying the host's handles.
    ServiceRecord* FindSharedHost(const ServiceRecord& record,
                                  std::shared_ptr<HostedProcess>* hostProcess = nullptr) const;

    // Whether `dependency`'s name is in `service`'s DependOnService. Takes
    // no table lock.
    static bool DependsOn(const ServiceRecord& service, const ServiceRecord& dependency);

    // Whether any record lists the given record's name in its DependOnService.
    bool HasDependents(const ServiceRecord& record) const;

    // Checks the record's DependOnService against the table: no dependency
    // on itself or on the management service, every dependency present,
    // none that leads back to the record, none in a later start-up wave.
    // Empty names are skipped; an empty list passes. The first failure is
    // traced and ends the check.
    bool ValidateDependencies(const ServiceRecord& record) const;

private:
    // Index of the first record matching name and type, or npos.
    size_t IndexOf(std::wstring_view name, SvhServiceType type) const;
    bool LeadsBackTo(const ServiceRecord& start, std::wstring_view name) const;

    RecursiveTableLock& lock_;
    std::vector<std::unique_ptr<ServiceRecord>> records_;
};

} // namespace qvx
