#include "tests/support/unique_name.h"

#include <windows.h>

#include <atomic>

namespace qvx::test {

// Process ids come back (Wine reuses them between runs), so a name also
// carries the process's creation time: keys or pipes a crashed run left
// behind are never taken for this run's.
std::wstring UniqueName(const std::wstring& prefix)
{
    static std::atomic<unsigned> counter{0};
    static const std::wstring process = [] {
        FILETIME created = {};
        FILETIME unused = {};
        GetProcessTimes(GetCurrentProcess(), &created, &unused, &unused, &unused);
        const ULONGLONG time = (ULONGLONG{created.dwHighDateTime} << 32) | created.dwLowDateTime;
        return std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(time);
    }();
    return prefix + L"-" + process + L"-" + std::to_wstring(++counter);
}

} // namespace qvx::test
