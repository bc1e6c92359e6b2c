// A stand-in for a hosted service's process: sets the named event given as
// its argument, so a test can tell that its main thread ran, then waits
// until it is ended.
#include <windows.h>

int main(int argc, char** argv)
{
    if (argc > 1) {
        HANDLE started = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
        if (started) {
            SetEvent(started);
            CloseHandle(started);
        }
    }
    Sleep(INFINITE);
    return 0;
}
