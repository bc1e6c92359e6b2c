#include "model/service_record.h"

namespace qvx {

// Filled in by the registry code.
DWORD ServiceRecord::SyncWithRegistry(HKEY, bool) { return ERROR_CALL_NOT_IMPLEMENTED; }

} // namespace qvx
