// svhctl: sends one request to the service host's control pipe, prints the
// reply and exits with the Windows error code that the reply stands for.
//
//     svhctl [--pipe NAME] raw REQUEST
//     svhctl [--pipe NAME] ping
//     svhctl [--pipe NAME] status SERVICE
//
// Exit codes: 0 for "ACK" and every echo reply; the error of the reply code
// otherwise (1060 for "SERVICE_NOT_FOUND", ...); 50 (ERROR_NOT_SUPPORTED)
// for the empty reply, which the host sends for a request it does not
// recognise; the Windows error when the pipe cannot be reached or the
// exchange fails; 87 (ERROR_INVALID_PARAMETER) for bad arguments.

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/wide_text.h"
#include "protocol/control_client.h"
#include "protocol/message_codec.h"

namespace {

constexpr DWORD kTimeoutMs = 15000;
constexpr DWORD kEmptyReplyExitCode = ERROR_NOT_SUPPORTED;

void Write(DWORD stream, std::wstring_view text)
{
    HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    std::string utf8 = qvx::WideToUtf8(text);
    WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

void Out(std::wstring_view text)
{
    Write(STD_OUTPUT_HANDLE, text);
}

void Err(std::wstring_view text)
{
    Write(STD_ERROR_HANDLE, text);
}

std::wstring ErrorText(DWORD error)
{
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = L"error " + std::to_wstring(error);
    if (length > 0 && buffer) {
        std::wstring message(buffer, length);
        while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
            message.pop_back();
        text += L": " + message;
    }
    if (buffer)
        LocalFree(buffer);
    return text;
}

int Usage()
{
    Err(L"usage: svhctl [--pipe NAME] raw REQUEST\n"
        L"       svhctl [--pipe NAME] ping\n"
        L"       svhctl [--pipe NAME] status SERVICE\n"
        L"NAME is a full pipe path or a name below \\\\.\\pipe\\ (default svhserver).\n"
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
    if (next < argc && std::wstring_view(argv[next]) == L"--pipe") {
        if (next + 1 >= argc || argv[next + 1][0] == L'\0')
            return Usage();
        pipe = PipePath(argv[next + 1]);
        next += 2;
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
    else
        return Usage();

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
    return static_cast<int>(qvx::ReplyToError(reply));
}
