#pragma once
// The process entry of the service host: hardening, tracing, registration
// repairs, then the service control dispatcher with the management service
// and the two proxies.

#include <windows.h>

namespace qvx {

// The whole run of the process, from entry to the dispatcher's return.
// Always 0: the process's exit code says nothing about the services.
int RunProcessEntry();

// Creates the proxies and hands the calling thread to the service control
// dispatcher until all three services have stopped.
void RunServiceProcess();

// The console control handler: declines every event, leaving it to the
// system's default handling.
BOOL WINAPI DeclineConsoleEvent(DWORD controlType);

} // namespace qvx
