#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/handles.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

// Closing traces a close that fails, with its error, and leaves the thread's
// last error as the owner's caller had it.
TEST(Handles, AFailedCloseIsTracedAndKeepsTheLastError)
{
    // A handle value closed already stands in for one the system refuses.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr), 0);
    ASSERT_EQ(RegCloseKey(key), 0);

    struct Case {
        const char* name;
        void* stale;
        void (*close)(void* stale);
    };
    const Case cases[] = {
        {"kernel handle", event, [](void* stale) { KernelHandle owner(static_cast<HANDLE>(stale)); }},
        {"registry key", key, [](void* stale) { RegKey owner(static_cast<HKEY>(stale)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TraceCapture traces;
        SetLastError(ERROR_BROKEN_PIPE);
        c.close(c.stale);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
        bool traced = false;
        for (const trace::Record& record : traces.Records()) {
            traced = traced || (record.level == trace::kError && std::string(record.file) == "handles.h" &&
                                record.text.find(L" " + std::to_wstring(ERROR_INVALID_HANDLE)) != std::wstring::npos);
        }
        EXPECT_TRUE(traced) << traces.Dump();
    }

    test::TraceCapture traces;
    { KernelHandle owner(CreateEventW(nullptr, TRUE, FALSE, nullptr)); }
    EXPECT_TRUE(traces.Records().empty()) << "a close that succeeds is not traced: " << traces.Dump();
}

} // namespace
} // namespace qvx
