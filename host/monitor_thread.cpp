// The service monitor thread.
#include "host/monitor_thread.h"

#include <atomic>

namespace qvx {

namespace {
std::atomic<PipeServerList*> g_pipeServers{nullptr};
} // namespace

void SetMonitorPipeServers(PipeServerList* servers)
{
    g_pipeServers.store(servers);
}

DWORD WINAPI ServiceMonThreadProc(void* startBlock)
{
    auto* block = static_cast<const MonitorStartBlock*>(startBlock);
    if (block == nullptr || block->eventCount != 3) {
        return static_cast<DWORD>(-1);
    }
    return 0;
}

bool IsNetworkAvailable()
{
    return true;
}

} // namespace qvx
