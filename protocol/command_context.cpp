#include "protocol/command_context.h"

#include <atomic>

#include "host/management_service.h"
#include "model/service_table.h"
#include "platform/trace.h"
#include "protocol/message_codec.h"
#include "protocol/pipe_server.h"

namespace qvx {

namespace {

std::atomic<ServiceTable*> g_commandTable{nullptr};

} // namespace

void SetCommandServiceTable(ServiceTable* table) noexcept
{
    g_commandTable = table;
}

ServiceTable* CommandServiceTable() noexcept
{
    return g_commandTable.load();
}

ServiceTable* TableFor(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceTable* table = CommandServiceTable();
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

bool HostBesideLegacyHost() noexcept
{
    ManagementService* service = GetManagementService();
    return service && service->legacyHostPresent.load();
}

} // namespace qvx
