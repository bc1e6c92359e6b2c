#pragma once
// The per-service named mutex "<name>_mutex" (lower case). A hosted service
// process holds it while it runs; the monitor thread waits on it, and finding
// it abandoned tells that the process ended without stopping. The local
// service account is granted access, so services running under it can open
// the mutex too.
//
// Each operation works under the record lock. Releasing the mutex goes
// through the handle release (ServiceRecord::CloseServiceMutex).

#include <windows.h>

#include <string>
#include <string_view>

namespace qvx {

class ServiceRecord;

// Access granted to the local service account (S-1-5-19) on a service mutex.
constexpr ACCESS_MASK kLocalServiceMutexAccess = 0x101FFFFF;

// "<service name>_mutex" with ASCII letters in lower case.
std::wstring ServiceMutexName(std::wstring_view serviceName);

// Creates (or opens, when it exists) the service's mutex, not owned, grants
// the local service account access and stores it in ServiceMutex. On failure
// the record holds no mutex.
bool CreateServiceMutex(ServiceRecord& record);

// When the record holds no mutex, opens the existing one for SYNCHRONIZE.
// Returns whether the record now holds a mutex; on failure the last error
// is the one of the open.
bool OpenServiceMutex(ServiceRecord& record);

// Rewrites the object's DACL so that it holds its explicit ACEs except those
// for the local service account, then one ACE allowing the local service
// account `kLocalServiceMutexAccess`, then its inherited ACEs; the DACL's
// inheritance flags are kept. An object without a DACL starts from the
// default DACL of the process token. Returns 0 or a Windows error code.
DWORD GrantLocalServiceAccess(HANDLE object);

} // namespace qvx
