#pragma once
// The end of a hosted service whose process ended without being asked to,
// found through the service itself rather than through its mutex: for the
// sweep, which may find an ended process whose service holds no mutex.

namespace qvx {

class HostRuntime;
class ServiceRecord;

// The termination handling for the record and every service sharing its
// process. The caller holds the table lock (shared is enough).
void HandleRecordTermination(HostRuntime& runtime, ServiceRecord& record);

} // namespace qvx
