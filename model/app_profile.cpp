#include "model/service_record.h"

namespace qvx {

// Filled in by the profile code.
DWORD ServiceRecord::ParseAppProfile(std::wstring_view, bool*) { return ERROR_CALL_NOT_IMPLEMENTED; }

} // namespace qvx
