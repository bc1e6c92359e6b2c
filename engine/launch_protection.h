#pragma once
// Launch protection of Windows services (protected as anti-malware light)
// and the attribute that makes a hosted process protected. Protection needs
// Windows 8.1 or later; on older systems a service counts as unprotected,
// removing protection succeeds and adding it is refused.

#include <windows.h>

namespace qvx {

// Launch-protection levels of the service manager; every level other than
// anti-malware light counts as unprotected.
inline constexpr DWORD kLaunchProtectedNone = 0;
inline constexpr DWORD kLaunchProtectedAntimalwareLight = 3;

// Whether the named Windows service is launch-protected; `isProtected` is
// false unless the answer is 0.
DWORD QueryServiceLaunchProtection(const wchar_t* serviceName, bool& isProtected);

// SetServiceLaunchProtection (engine_calls.h) changes the level.

// Attaches a protection-level attribute list to `startup` and adds
// CREATE_PROTECTED_PROCESS and EXTENDED_STARTUPINFO_PRESENT to
// `creationFlags`. 0, or the error with nothing attached and the flags
// unchanged.
DWORD BuildProtectionAttributes(STARTUPINFOEXW& startup, DWORD& creationFlags);
// Deletes and frees the list BuildProtectionAttributes attached; nothing
// when none is attached.
void FreeProtectionAttributes(STARTUPINFOEXW& startup);

} // namespace qvx
