#include "protocol/command_context.h"

#include <atomic>

#include "host/management_service.h"

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

bool HostBesideLegacyHost() noexcept
{
    ManagementService* service = GetManagementService();
    return service && service->legacyHostPresent.load();
}

} // namespace qvx
