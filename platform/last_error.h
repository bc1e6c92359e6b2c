#pragma once
// The thread's last error where a failing call is known to set one, and a
// chosen error where it left none, so that a failure is never reported as 0.

#include <windows.h>

namespace qvx {

inline DWORD LastErrorOr(DWORD fallback) noexcept
{
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

} // namespace qvx
