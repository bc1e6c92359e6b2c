#pragma once
// The machine's boot time: the creation time of the operating system's
// System process (id 4), read once per run and kept for later calls. The
// reader is a seam, because not every environment has that process.

#include <windows.h>

namespace qvx {

// Reads the System process's creation time (FILETIME, UTC). Returns 0 or a
// Windows error code.
using BootTimeReader = DWORD (*)(ULONGLONG& creationTime);

// The boot time, read on the first successful call and kept afterwards.
// A failed read is traced and returns false; the next call tries again.
bool MachineBootTime(ULONGLONG& bootTime);

// The production reader: OpenProcess(4) and GetProcessTimes.
DWORD ReadSystemProcessCreationTime(ULONGLONG& creationTime);

// Test seam: replaces the reader (nullptr puts the production reader back)
// and forgets the kept value. Returns the previous reader.
BootTimeReader SetBootTimeReader(BootTimeReader reader);

} // namespace qvx
