#pragma once
// svhctl's output: UTF-16 to a console, UTF-8 to a file or pipe.

#include <windows.h>

#include <string>
#include <string_view>

namespace svhctl {

void Out(std::wstring_view text);
void Err(std::wstring_view text);

// "error N: <system text>".
std::wstring ErrorText(DWORD error);

} // namespace svhctl
