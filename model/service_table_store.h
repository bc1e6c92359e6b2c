#pragma once
// Where and how hosted-service configurations are kept in the registry: one
// subkey per service below the "Services" key of the management service's
// own key (platform/service_key.h), named after the service in lower case.
// The record reads and writes its own values (ServiceRecord::SyncWithRegistry);
// these functions open, create and remove the keys around it.

#include <windows.h>

#include <string>
#include <string_view>

namespace qvx {

class ServiceRecord;
class ServiceTable;

constexpr const wchar_t kServicesSubkey[] = L"Services";
// Access used for the keys that are written: KEY_READ | KEY_WRITE.
constexpr REGSAM kReadWriteAccess = KEY_READ | KEY_WRITE;

// Whether a service name can name its own subkey: not empty, at most 255
// characters, and without a backslash (which would reach into another key).
bool IsStorableServiceName(std::wstring_view name) noexcept;

// "<management key>\Services\<name>", relative to ServiceKeyRoot().
std::wstring HostedServiceKeyPath(std::wstring_view name);

// Creates (or opens) the management key, "Services" and the record's own
// subkey, and saves the record's configuration there. Returns 0 or the
// error of the step that failed; ERROR_INVALID_NAME for a name that cannot
// name a subkey.
DWORD SaveServiceConfig(ServiceRecord& record);

// Removes the record's subkey with everything below it (its life-cycle
// values included). Returns true when the "Services" key could be opened,
// whether or not there was a subkey to delete; a failed deletion is traced.
bool DeleteServiceKey(ServiceRecord& record);

// Rebuilds the table from the registry under its exclusive lock: empties it,
// then loads one record per subkey of "Services". A subkey that cannot be
// opened or read, or that duplicates a loaded service, is traced and
// skipped. On the first start since the machine booted every loaded
// record's UserStopped is cleared, so that a stop on request lasts until the
// next boot. Returns 0 (also when the management key does not exist yet) or
// the last error met.
DWORD LoadServiceTable(ServiceTable& table, bool firstStartSinceBoot);

// Saves every record of the table into its own subkey, creating "Services"
// and the subkeys as needed, under the table's shared lock. Returns 0 or the
// last error met; a failing record does not stop the others.
DWORD SaveServiceTable(ServiceTable& table);

} // namespace qvx
