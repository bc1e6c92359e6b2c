#pragma once
// What the command handlers work on besides the request: the running host's
// shared state, which the host hands to every control-pipe instance it
// starts, with the service table it publishes there. Until the table is
// published (and in pipes that serve no host) the table commands answer with
// the empty reply, as for a command the host does not serve.

#include <string>
#include <vector>

namespace qvx {

class HostRuntime;
class ServiceRecord;
class ServiceTable;
class SVHServerPipe;

// Whether the host runs beside a legacy host: then a profile for the trust
// service is not applied.
bool HostBesideLegacyHost(const SVHServerPipe& pipe) noexcept;

// The published table of the pipe's host, or null after answering with the
// empty reply. The table lives on the table lock the dispatcher holds
// around every handler.
ServiceTable* TableFor(const std::wstring& request, SVHServerPipe& pipe);

// The named service, or null after answering "SERVICE_NOT_FOUND".
ServiceRecord* FindServiceOrReply(ServiceTable& table, const std::wstring& name, SVHServerPipe& pipe);

// Whether the request has exactly `count` fields (into `fields`); false after
// answering "ERROR_MSG_PROTOCOL".
bool SplitExactly(const std::wstring& request, size_t count, std::vector<std::wstring>& fields, SVHServerPipe& pipe);

// A request that names one service, resolved: the table, the request's
// fields and the named service's record.
struct ServiceRequest {
    ServiceTable* table = nullptr;
    std::vector<std::wstring> fields;
    ServiceRecord* record = nullptr;
};

// TableFor, SplitExactly with `count` and FindServiceOrReply on the second
// field, in that order; false once one of them has answered.
bool ResolveServiceRequest(const std::wstring& request, size_t count, SVHServerPipe& pipe, ServiceRequest& resolved);

// A crash restart waits on the record's restart-delay timer; a command that
// acts on a crashed service stands that restart down.
void StandDownCrashRestart(HostRuntime& runtime, ServiceRecord& record);

} // namespace qvx
