// The engine and self-protection operations that are not built yet. Each
// says so in a warning trace and does nothing else, except where a caller
// would otherwise wait for an outcome that can never come.
#include "engine/engine_calls.h"

#include "model/service_record.h"
#include "platform/trace.h"

namespace qvx {

DWORD SetServiceLaunchProtection(const wchar_t* serviceName, bool removeProtection)
{
    QVX_TRACE(trace::kWarning, 5, L"not built: SetServiceLaunchProtection", serviceName, removeProtection);
    return ERROR_CALL_NOT_IMPLEMENTED;
}

} // namespace qvx
