#pragma once
// Service lockdown: a locked service's object in the operating system's
// service manager denies stopping, deleting and re-permissioning to local
// system, Administrators and Authenticated Users alike; an unlocked one
// gives the first two full control back. The DWORD "LockDownEnabled" in the
// service's key records which state the service is meant to be in.

#include <windows.h>

#include <string>

namespace qvx {

inline constexpr wchar_t kLockdownValue[] = L"LockDownEnabled";

// Whether the service's key records it as locked (a missing or unreadable
// value counts as unlocked).
bool IsLockdownEnabled(const wchar_t* serviceName);

// Locks (true) or unlocks (false) the service object and records the state
// in the service's key. 0, or the error that stopped it: a failed object
// change leaves the record as it was. A service that does not exist, and a
// lock that finds the object locked already, succeed with nothing written.
DWORD SetLockdown(const wchar_t* serviceName, bool lock);

// Puts the service object into the state its key records; the record is not
// written. 0 or the error.
DWORD ApplyStoredLockdown(const wchar_t* serviceName);

} // namespace qvx
