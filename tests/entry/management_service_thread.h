#pragma once
// The management service's main run on a thread of the test program, as the
// service control manager's dispatcher would run it for "qvxsvh".

#include <windows.h>

#include "host/management_service.h"

namespace qvx::test {

// The thread's handle, or null when it could not be created.
inline HANDLE StartManagementServiceMain()
{
    return CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            wchar_t name[] = L"qvxsvh";
            LPWSTR argv[] = {name};
            ManagementServiceMain(1, argv);
            return 0;
        },
        nullptr, 0, nullptr);
}

} // namespace qvx::test
