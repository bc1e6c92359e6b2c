#include "tools/svhctl/console.h"

#include "platform/wide_text.h"

namespace svhctl {

namespace {

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

} // namespace

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

} // namespace svhctl
