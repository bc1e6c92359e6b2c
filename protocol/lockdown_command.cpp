// ENABLE_DISABLE_LOCKDOWN: a client locks or unlocks the Windows service of
// a hosted service. The answer says only that the request was understood;
// how the lockdown went is traced where it is done.

#include <string>
#include <vector>

#include "model/service_record.h"
#include "platform/trace.h"
#include "platform/wide_text.h"
#include "protect/service_lockdown.h"
#include "protocol/command_context.h"
#include "protocol/command_handlers.h"
#include "protocol/message_codec.h"

namespace qvx {
namespace {

constexpr wchar_t kLockWord[] = L"ENABLE";
constexpr wchar_t kUnlockWord[] = L"DISABLE";

} // namespace

void HandleEnableDisableLockdown(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceRequest resolved;
    if (!ResolveServiceRequest(request, 3, pipe, resolved))
        return;
    const std::wstring& word = resolved.fields[2];
    bool lock = false;
    if (EqualsFolded(word, kLockWord)) {
        lock = true;
    } else if (!EqualsFolded(word, kUnlockWord)) {
        QVX_TRACE(trace::kError, 1, L"neither ENABLE nor DISABLE", resolved.fields[1], word);
        pipe.WriteReply(reply::kMsgProtocol);
        return;
    }
    const std::wstring name = resolved.record->GetName();
    SetLockdown(name.c_str(), lock);
    pipe.WriteReply(reply::kAck);
}

} // namespace qvx
