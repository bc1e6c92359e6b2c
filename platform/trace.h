#pragma once
// Software tracing. Each trace point has a level, a message number within
// its source file and typed arguments:
//
//     QVX_TRACE(qvx::trace::kError, 12, L"CreateNamedPipe failed", name, error);
//
// Points reach the system trace facility (TraceMessage, or an own writer on
// TraceEvent) while a trace session enables the provider with flag bit 0 and
// a level at or above the point's. Independently, points can be mirrored as
// text lines to the debugger or a file (QVXSVH_TRACE, see SetMirror) and
// handed to an observer that tests install. Tracing never fails its caller
// and keeps the thread's last error.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace qvx::trace {

enum Level : unsigned char { kError = 2, kWarning = 3, kInfo = 4, kVerbose = 5 };

const wchar_t* LevelName(Level level) noexcept;

// One typed argument of a trace point; the data is borrowed for the call.
struct Arg {
    enum Kind : unsigned char { kSigned, kUnsigned, kPointer, kWide, kNarrow };
    Kind kind;
    const void* data; // for strings: the characters including the terminating NUL
    size_t size;      // bytes of data
    int64_t number;   // the value of a number or pointer
};

inline Arg MakeArg(const wchar_t* text) noexcept
{
    if (!text)
        text = L"(null)";
    return {Arg::kWide, text, (wcslen(text) + 1) * sizeof(wchar_t), 0};
}
inline Arg MakeArg(wchar_t* text) noexcept { return MakeArg(static_cast<const wchar_t*>(text)); }
inline Arg MakeArg(const std::wstring& text) noexcept
{
    return {Arg::kWide, text.c_str(), (text.size() + 1) * sizeof(wchar_t), 0};
}
inline Arg MakeArg(const char* text) noexcept
{
    if (!text)
        text = "(null)";
    return {Arg::kNarrow, text, strlen(text) + 1, 0};
}
inline Arg MakeArg(char* text) noexcept { return MakeArg(static_cast<const char*>(text)); }
inline Arg MakeArg(const std::string& text) noexcept { return {Arg::kNarrow, text.c_str(), text.size() + 1, 0}; }
inline Arg MakeArg(bool value) noexcept { return {Arg::kUnsigned, nullptr, sizeof(uint32_t), value ? 1 : 0}; }
inline Arg MakeArg(const void* pointer) noexcept
{
    return {Arg::kPointer, nullptr, sizeof(void*), static_cast<int64_t>(reinterpret_cast<intptr_t>(pointer))};
}

template <typename T, typename = std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>>>
inline Arg MakeArg(T value) noexcept
{
    if constexpr (std::is_enum_v<T>) {
        return MakeArg(static_cast<std::underlying_type_t<T>>(value));
    } else if constexpr (std::is_signed_v<T>) {
        return {Arg::kSigned, nullptr, sizeof(T) <= 4 ? 4u : 8u, static_cast<int64_t>(value)};
    } else {
        return {Arg::kUnsigned, nullptr, sizeof(T) <= 4 ? 4u : 8u, static_cast<int64_t>(value)};
    }
}

// Registers the provider with the system; Unregister undoes it. Both are
// harmless to call more than once.
void Register() noexcept;
void Unregister() noexcept;

// Writes one trace point. `file` is the source file (its base name decides
// the message group).
void Write(const char* file, unsigned number, Level level, const Arg* args, size_t count) noexcept;

template <typename... Args>
inline void Emit(const char* file, unsigned number, Level level, const Args&... args) noexcept
{
    if constexpr (sizeof...(Args) == 0) {
        Write(file, number, level, nullptr, 0);
    } else {
        const Arg list[] = {MakeArg(args)...};
        Write(file, number, level, list, sizeof...(Args));
    }
}

// A trace point as text: "<level> <file>#<number>: arg arg ...".
struct Record {
    const char* file; // base name
    unsigned number;
    Level level;
    std::wstring text; // the arguments, rendered and joined by blanks
};

std::wstring FormatRecord(const Record& record);

// Test seam: receives every trace point, whatever is enabled. Only one
// observer at a time; nullptr removes it.
using Observer = void (*)(const Record& record, void* context);
void SetObserver(Observer observer, void* context) noexcept;

// Text mirror of trace points at or above `maxLevel` (2..5; 0 switches it
// off) to the debugger, or appended to `file` when given. Read at
// registration from the environment variable QVXSVH_TRACE: "<level>" or
// "<level>:<file path>".
void SetMirror(unsigned maxLevel, const std::wstring& file) noexcept;
void ConfigureMirrorFromEnvironment() noexcept;

} // namespace qvx::trace

#define QVX_TRACE(level, number, ...) ::qvx::trace::Emit(__FILE__, (number), (level), ##__VA_ARGS__)
