#pragma once
// Start-up waves: starting the hosted services of one startup profile,
// after their dependencies and as the machine's conditions allow.

#include <windows.h>

#include "model/service_enums.h"

namespace qvx {

class HostRuntime;
class ServiceRecord;
class ServiceTable;

// Starts the stopped services of `profile` that the user has not stopped
// and the machine's conditions permit; a non-zero `typeFilter` limits the
// wave to that service type. A service with dependencies starts here only
// when one of them runs already; otherwise it waits in the Waiters of the
// dependency that this wave starts. Also gives every service without a
// listener pipe name its name. Returns whether a service was started or
// found running. Takes the table lock shared; call it without a record lock.
bool StartWave(HostRuntime& runtime, StartupProfile profile, DWORD typeFilter);

// Adds to `record`'s Waiters every service that depends on it and has the
// startup profile `profile` (any profile for StartupProfile::kNone), and
// then, recursively, every service that depends on one of those. The
// caller holds the table lock; no record lock.
void RegisterWaitingDependents(const ServiceTable& table, ServiceRecord& record, StartupProfile profile);

// Gives a service without a listener pipe name one: a share-process
// service the name of the first member of its group that has one, any
// other (or one whose group has none) its own default pipe. The caller
// holds the table lock.
void EnsureListenerPipeName(const ServiceTable& table, ServiceRecord& record);

} // namespace qvx
