#pragma once
// svhctl protection SERVICE: how a Windows service is protected, read
// straight from the system rather than through the host: its launch
// protection in the service manager and the "LockDownEnabled" value its key
// records.

#include <string>

namespace svhctl {

// Prints the view; the exit code is 0, or the error of the launch-protection
// query (the lockdown line is printed either way).
int ShowProtection(const std::wstring& service);

} // namespace svhctl
