#include "protocol/command_context.h"

#include "engine/service_watch.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "platform/trace.h"
#include "protocol/message_codec.h"
#include "protocol/pipe_server.h"
#include "runtime/host_runtime.h"

namespace qvx {

ServiceTable* TableFor(const std::wstring& request, SVHServerPipe& pipe)
{
    HostRuntime* runtime = pipe.Runtime();
    ServiceTable* table = runtime ? runtime->Table() : nullptr;
    if (!table) {
        QVX_TRACE(trace::kError, 1, L"no service table for the request", request);
        pipe.WriteReply(std::wstring());
    }
    return table;
}
ServiceRecord* FindServiceOrReply(ServiceTable& table, const std::wstring& name, SVHServerPipe& pipe)
{
    ServiceRecord* record = table.FindByName(name);
    if (!record) {
        QVX_TRACE(trace::kError, 3, L"service not found", name);
        pipe.WriteReply(reply::kServiceNotFound);
    }
    return record;
}

bool SplitExactly(const std::wstring& request, size_t count, std::vector<std::wstring>& fields, SVHServerPipe& pipe)
{
    if (Split(request, kFieldSeparator, fields) && fields.size() == count)
        return true;
    QVX_TRACE(trace::kError, 2, L"wrong field count", request, static_cast<DWORD>(fields.size()));
    pipe.WriteReply(reply::kMsgProtocol);
    return false;
}

bool ResolveServiceRequest(const std::wstring& request, size_t count, SVHServerPipe& pipe, ServiceRequest& resolved)
{
    resolved.table = TableFor(request, pipe);
    if (!resolved.table || !SplitExactly(request, count, resolved.fields, pipe))
        return false;
    resolved.record = FindServiceOrReply(*resolved.table, resolved.fields[1], pipe);
    return resolved.record != nullptr;
}

bool HostBesideLegacyHost(const SVHServerPipe& pipe) noexcept
{
    HostRuntime* runtime = pipe.Runtime();
    return runtime && runtime->legacyHostPresent.load();
}

void StandDownCrashRestart(HostRuntime& runtime, ServiceRecord& record)
{
    if (record.GetCrashed())
        DropServiceTimer(runtime, record, ServiceTimer::kRestartDelay);
}

} // namespace qvx
