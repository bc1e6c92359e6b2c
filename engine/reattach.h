#pragma once
// Re-attaching to the hosted services that kept running while the
// management service restarted within the same boot.

#include <windows.h>

namespace qvx {

class HostRuntime;

// Asks every hosted service of the SVH class whether it is alive; one that
// answers is watched again: its existing mutex is opened and handed to the
// monitor, and the state and process it reports are taken over. A
// share-process service that does not answer loses its listener pipe name
// and is asked once more through the pipe of its group. Returns 0 when
// every service was re-attached or answered no one; otherwise the last
// error met (2, ERROR_FILE_NOT_FOUND, for a service that did not answer).
// Takes the table lock shared; call it without a record lock.
DWORD ReattachRunningServices(HostRuntime& runtime);

} // namespace qvx
