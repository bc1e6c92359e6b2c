// svhctl: sends one request to the service host's control pipe, prints the
// reply and exits with the Windows error code that the reply stands for.
//
//     svhctl [--pipe NAME] raw REQUEST
//     svhctl [--pipe NAME] ping
//     svhctl [--pipe NAME] status SERVICE
//     svhctl [--pipe NAME] [--key PATH] [--raw] VERB ...   (the friendly forms of friendly_forms.h)
//
// Exit codes: 0 for "ACK" and every echo reply; the error of the reply code
// otherwise (1060 for "SERVICE_NOT_FOUND", ...); 50 (ERROR_NOT_SUPPORTED)
// for the empty reply, which the host sends for a request it does not
// recognise; the Windows error when the pipe cannot be reached or the
// exchange fails; 87 (ERROR_INVALID_PARAMETER) for bad arguments.

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/wide_text.h"
#include "protocol/control_client.h"
#include "protocol/message_codec.h"
#include "tools/svhctl/console.h"
#include "tools/svhctl/friendly_forms.h"

namespace {

using svhctl::Err;
using svhctl::ErrorText;
using svhctl::Out;

constexpr DWORD kTimeoutMs = 15000;
constexpr DWORD kEmptyReplyExitCode = ERROR_NOT_SUPPORTED;

int Usage()
{
    Err(L"usage: svhctl [--pipe NAME] raw REQUEST\n"
        L"       svhctl [--pipe NAME] ping\n"
        L"       svhctl [--pipe NAME] status SERVICE\n");
    Err(svhctl::FriendlyUsage());
    Err(L"NAME is a full pipe path or a name below \\\\.\\pipe\\ (default svhserver).\n"
        L"Exit code: the Windows error the reply stands for (0 for success), 50 for the empty\n"
        L"reply of a request the host does not recognise, the Windows error when the pipe\n"
        L"cannot be reached, 87 for bad arguments.\n");
    return ERROR_INVALID_PARAMETER;
}

std::wstring PipePath(const std::wstring& name)
{
    if (name.rfind(L"\\\\", 0) == 0)
        return name;
    return L"\\\\.\\pipe\\" + name;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring pipe = qvx::kControlPipeName;
    int next = 1;
    bool raw = false;
    std::wstring key;
    for (;;) {
        if (next < argc && std::wstring_view(argv[next]) == L"--pipe") {
            if (next + 1 >= argc || argv[next + 1][0] == L'\0')
                return Usage();
            pipe = PipePath(argv[next + 1]);
            next += 2;
        } else if (next < argc && std::wstring_view(argv[next]) == L"--key") {
            if (next + 1 >= argc || argv[next + 1][0] == L'\0')
                return Usage();
            key = argv[next + 1];
            next += 2;
        } else if (next < argc && std::wstring_view(argv[next]) == L"--raw") {
            raw = true;
            ++next;
        } else {
            break;
        }
    }
    if (next >= argc)
        return Usage();

    std::wstring_view verb = argv[next];
    int operands = argc - next - 1;
    std::wstring request;
    if (verb == L"raw" && operands == 1 && argv[next + 1][0] != L'\0')
        request = argv[next + 1];
    else if (verb == L"ping" && operands == 0)
        request = L"PING";
    else if (verb == L"status" && operands == 1 && argv[next + 1][0] != L'\0')
        request = std::wstring(L"QUERY_SERVICE_STATUS,") + argv[next + 1];
    if (request.empty()) {
        int exitCode = 0;
        const std::vector<std::wstring> friendlyOperands(argv + next + 1, argv + argc);
        if (!svhctl::RunFriendlyForm({pipe, raw, key}, verb, friendlyOperands, exitCode))
            return Usage();
        return exitCode;
    }

    std::wstring reply;
    qvx::ControlConnection connection;
    DWORD error = connection.Open(pipe, kTimeoutMs);
    if (error != ERROR_SUCCESS) {
        Err(L"svhctl: cannot reach " + pipe + L": " + ErrorText(error) + L"\n");
        return static_cast<int>(error);
    }
    error = connection.Transact(request, reply, kTimeoutMs);
    if (error != ERROR_SUCCESS) {
        Err(L"svhctl: no reply from " + pipe + L": " + ErrorText(error) + L"\n");
        return static_cast<int>(error);
    }
    if (reply.empty()) {
        Err(L"svhctl: empty reply: the host did not recognise the request\n");
        return static_cast<int>(kEmptyReplyExitCode);
    }
    Out(reply + L"\n");
    return static_cast<int>(svhctl::ReplyError(request, reply));
}
