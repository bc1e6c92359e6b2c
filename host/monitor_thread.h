#pragma once
// The service monitor thread: waits on the host's events, the mutexes of
// watched hosted-service processes, the armed timers and the memory
// notification, and hands each signalled handle to the code that owns it.

#include <windows.h>

#include "protocol/pipe_server.h"

namespace qvx {

class ManagementService;
class ServiceTable;

struct MonitorStartBlock {           // seven words, copied by the thread at start
    ServiceTable* table;
    HANDLE shutdownEvent;
    HANDLE monitorStopEvent;
    HANDLE wakeUpEvent;
    DWORD eventCount;                // must be 3
    ManagementService* service;
    HANDLE shutdownDoneEvent;
};

// The thread routine. Returns (DWORD)-1 without a start block or with an
// event count other than 3; 0 when it ends through its stop event.
DWORD WINAPI ServiceMonThreadProc(void* startBlock);

// Whether the machine has an operational network adapter other than
// loopback and tunnel adapters.
bool IsNetworkAvailable();

// The control-pipe instances the monitor starts once the first wave is on
// its way and stops when it ends. Set before the thread starts; null leaves
// the pipe servers alone.
void SetMonitorPipeServers(PipeServerList* servers);

} // namespace qvx
