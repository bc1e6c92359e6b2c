// DISABLE_PPL and DISABLE_PPL_EX: a client takes launch protection off the
// host's own Windows services, or off the Windows service of one hosted
// service.

#include <string>

#include "engine/engine_calls.h"
#include "engine/launch_protection.h"
#include "model/service_enums.h"
#include "model/service_record.h"
#include "platform/trace.h"
#include "protocol/command_context.h"
#include "protocol/command_handlers.h"
#include "protocol/message_codec.h"

namespace qvx {

void HandleDisablePpl(const std::wstring& /*request*/, SVHServerPipe& pipe)
{
    // The proxies only follow the management service: its result alone
    // decides the answer.
    const DWORD error = SetServiceLaunchProtection(kManagementServiceName, true);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 1, kManagementServiceName, L"launch protection not removed", error);
        pipe.WriteReply(reply::kConfigFailed);
        return;
    }
    for (const wchar_t* proxy : {kTrustProxyName, kFirewallProxyName}) {
        const DWORD proxyError = SetServiceLaunchProtection(proxy, true);
        if (proxyError != ERROR_SUCCESS)
            QVX_TRACE(trace::kWarning, 2, proxy, L"launch protection not removed", proxyError);
    }
    pipe.WriteReply(reply::kAck);
}

void HandleDisablePplEx(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceRequest resolved;
    if (!ResolveServiceRequest(request, 2, pipe, resolved))
        return;
    const std::wstring name = resolved.record->GetName();
    // Only a Windows service that is protected now is one this command is
    // for; one that cannot be asked about is not known to be.
    bool isProtected = false;
    if (QueryServiceLaunchProtection(name.c_str(), isProtected) != ERROR_SUCCESS || !isProtected) {
        QVX_TRACE(trace::kWarning, 3, name, L"no launch-protected Windows service of this name");
        pipe.WriteReply(reply::kServiceNotFound);
        return;
    }
    const DWORD error = SetServiceLaunchProtection(name.c_str(), true);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 4, name, L"launch protection not removed", error);
        pipe.WriteReply(reply::kConfigFailed);
        return;
    }
    pipe.WriteReply(reply::kAck);
}

} // namespace qvx
