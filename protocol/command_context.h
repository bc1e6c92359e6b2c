#pragma once
// What the command handlers work on besides the request: the host's one
// service table and the host's coexistence mode. The management service
// publishes its table while it runs; until then (and in tools that publish
// nothing) the table commands answer with the empty reply, as for a command
// the host does not serve.

#include <string>
#include <vector>

namespace qvx {

class ServiceRecord;
class ServiceTable;
class SVHServerPipe;

// Publishes the table the handlers use (null withdraws it). The table must
// live on the process's table lock, which the dispatcher holds around every
// handler.
void SetCommandServiceTable(ServiceTable* table) noexcept;
ServiceTable* CommandServiceTable() noexcept;

// Whether the host runs beside a legacy host: then a profile for the trust
// service is not applied.
bool HostBesideLegacyHost() noexcept;

// The published table, or null after answering with the empty reply.
ServiceTable* TableFor(const std::wstring& request, SVHServerPipe& pipe);

// The named service, or null after answering "SERVICE_NOT_FOUND".
ServiceRecord* FindServiceOrReply(ServiceTable& table, const std::wstring& name, SVHServerPipe& pipe);

// Whether the request has exactly `count` fields (into `fields`); false after
// answering "ERROR_MSG_PROTOCOL".
bool SplitExactly(const std::wstring& request, size_t count, std::vector<std::wstring>& fields, SVHServerPipe& pipe);

} // namespace qvx
