#include "tests/support/unique_name.h"

#include <windows.h>

#include <atomic>

namespace qvx::test {

std::wstring UniqueName(const std::wstring& prefix)
{
    static std::atomic<unsigned> counter{0};
    return prefix + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

} // namespace qvx::test
