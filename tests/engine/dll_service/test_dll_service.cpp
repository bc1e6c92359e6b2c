// A DLL service for the tests of the engine's DLL hosting. Its entry
// points behave in the ways a real one can: return at once, or run until
// the test lets them go. None is called "ServiceMain", so that a record
// naming that export finds it missing.
#include <windows.h>

#include <string>

namespace {

LONG started = 0;

// The event a test sets to let every waiting entry point return; named
// after the process, so that the test and the DLL meet on it.
HANDLE ReleaseEvent()
{
    const std::wstring name = L"qvxtest-dllsvc-release-" + std::to_wstring(GetCurrentProcessId());
    return CreateEventW(nullptr, TRUE, FALSE, name.c_str());
}

} // namespace

extern "C" {

__declspec(dllexport) void WINAPI ReturnAtOnce(DWORD /*argc*/, wchar_t** /*argv*/)
{
    InterlockedIncrement(&started);
}

__declspec(dllexport) void WINAPI RunUntilReleased(DWORD /*argc*/, wchar_t** /*argv*/)
{
    InterlockedIncrement(&started);
    HANDLE release = ReleaseEvent();
    if (release) {
        WaitForSingleObject(release, INFINITE);
        CloseHandle(release);
    }
}

// How many times an entry point of this DLL was entered since it loaded.
__declspec(dllexport) LONG WINAPI StartedCount()
{
    return InterlockedCompareExchange(&started, 0, 0);
}

} // extern "C"
