#pragma once
// The machine's boot time: the creation time of the operating system's
// System process (id 4), read once per run and kept for later calls. Where
// that process is missing or cannot be read (Wine has none), the time since
// boot that the system counts, taken from the current time, gives the same
// fact. The reader is a seam for tests.

#include <windows.h>

namespace qvx {

// Reads the System process's creation time (FILETIME, UTC). Returns 0 or a
// Windows error code.
using BootTimeReader = DWORD (*)(ULONGLONG& creationTime);

// The boot time, read on the first successful call and kept afterwards.
// A failed read is traced and returns false; the next call tries again.
bool MachineBootTime(ULONGLONG& bootTime);

// OpenProcess(4) and GetProcessTimes.
DWORD ReadSystemProcessCreationTime(ULONGLONG& creationTime);

// The current time less the time since boot (GetTickCount64), to the nearest
// whole second: readings in the same boot, by this or another process, give
// the same value but where they straddle the middle of a second. 0.
DWORD BootTimeFromTickCount(ULONGLONG& bootTime);

// Reads the boot time with `systemProcessReader`, and where that fails with
// BootTimeFromTickCount. The production reader is this with
// ReadSystemProcessCreationTime.
DWORD ReadBootTime(BootTimeReader systemProcessReader, ULONGLONG& bootTime);

// Test seam: replaces the reader (nullptr puts the production reader back)
// and forgets the kept value. Returns the previous reader.
BootTimeReader SetBootTimeReader(BootTimeReader reader);

} // namespace qvx
