#include "platform/trace.h"

#include <evntrace.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/locks.h"
#include "platform/wide_text.h"

namespace qvx::trace {

namespace {

// {6B1C2F4E-8A57-4D0E-9C1A-3F5E2D7B9A10}
constexpr GUID kProviderGuid = {0x6b1c2f4e, 0x8a57, 0x4d0e, {0x9c, 0x1a, 0x3f, 0x5e, 0x2d, 0x7b, 0x9a, 0x10}};

constexpr size_t kHeaderFields = 8;
constexpr size_t kMaxEventBuffer = 65536;

using TraceMessageVaFn = ULONG(WINAPI*)(TRACEHANDLE, ULONG, LPCGUID, USHORT, va_list);

struct ProviderState {
    TRACEHANDLE registration = 0;
    std::atomic<TRACEHANDLE> logger{0};
    std::atomic<unsigned> enableLevel{0};
    std::atomic<unsigned> enableFlags{0};
    TraceMessageVaFn traceMessageVa = nullptr;
    bool resolved = false;
};

ProviderState g_provider;

SRWLOCK g_observerLock = SRWLOCK_INIT;
Observer g_observer = nullptr;
void* g_observerContext = nullptr;

SRWLOCK g_mirrorLock = SRWLOCK_INIT;
std::atomic<unsigned> g_mirrorLevel{0};
std::wstring g_mirrorFile;

const char* BaseName(const char* file) noexcept
{
    const char* base = file ? file : "";
    for (const char* p = base; *p; ++p) {
        if (*p == '/' || *p == '\\')
            base = p + 1;
    }
    return base;
}

// The message group of a source file: a name-based GUID of its base name.
GUID MessageGuidOf(const char* baseName) noexcept
{
    uint64_t a = 1469598103934665603ull;
    uint64_t b = 1099511628211ull ^ 0x9e3779b97f4a7c15ull;
    for (const char* p = baseName; *p; ++p) {
        a = (a ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
        b = (b ^ static_cast<unsigned char>(*p)) * 0x100000001b3ull + 0x7f4a7c15;
    }
    GUID guid;
    guid.Data1 = static_cast<unsigned long>(a >> 32);
    guid.Data2 = static_cast<unsigned short>(a >> 16);
    guid.Data3 = static_cast<unsigned short>((a & 0x0fff) | 0x5000);
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = static_cast<unsigned char>(b >> (8 * i));
    guid.Data4[0] = static_cast<unsigned char>((guid.Data4[0] & 0x3f) | 0x80);
    return guid;
}

ULONG WINAPI ControlCallback(WMIDPREQUESTCODE requestCode, PVOID, ULONG*, PVOID buffer)
{
    if (requestCode == WMI_ENABLE_EVENTS) {
        TRACEHANDLE logger = GetTraceLoggerHandle(buffer);
        if (logger == static_cast<TRACEHANDLE>(-1))
            return GetLastError();
        g_provider.enableLevel = GetTraceEnableLevel(logger);
        g_provider.enableFlags = GetTraceEnableFlags(logger);
        g_provider.logger = logger;
    } else if (requestCode == WMI_DISABLE_EVENTS) {
        g_provider.logger = 0;
        g_provider.enableLevel = 0;
        g_provider.enableFlags = 0;
    }
    return ERROR_SUCCESS;
}

void ResolveWriter() noexcept
{
    if (g_provider.resolved)
        return;
    g_provider.resolved = true;
    if (HMODULE advapi = GetModuleHandleW(L"advapi32")) {
        g_provider.traceMessageVa =
            reinterpret_cast<TraceMessageVaFn>(reinterpret_cast<void*>(GetProcAddress(advapi, "TraceMessageVa")));
        // TraceMessage itself is variadic; the va_list form serves for both.
        if (!GetProcAddress(advapi, "TraceMessage"))
            g_provider.traceMessageVa = nullptr;
    }
}

bool SystemTraceEnabled(Level level) noexcept
{
    return g_provider.logger.load() != 0 && (g_provider.enableFlags.load() & 1u) != 0 &&
           static_cast<unsigned>(level) <= g_provider.enableLevel.load();
}

struct Payload {
    const void* data;
    size_t size;
};

std::vector<Payload> PayloadsOf(const Arg* args, size_t count)
{
    std::vector<Payload> payloads;
    payloads.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const Arg& arg = args[i];
        // Numbers point at their own 64-bit storage; on little-endian
        // hardware its first 4 bytes are the 32-bit value.
        payloads.push_back({arg.data ? arg.data : &arg.number, arg.size});
    }
    return payloads;
}

void WriteWithTraceMessage(const GUID& guid, unsigned number, const std::vector<Payload>& payloads)
{
#if defined(_WIN64)
    {
        // On x64 a va_list is a pointer to 8-byte argument slots.
        std::vector<uintptr_t> slots;
        slots.reserve(payloads.size() * 2 + 1);
        for (const Payload& payload : payloads) {
            slots.push_back(reinterpret_cast<uintptr_t>(payload.data));
            slots.push_back(payload.size);
        }
        slots.push_back(0);
        g_provider.traceMessageVa(g_provider.logger.load(),
                                  TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_SYSTEMINFO |
                                      TRACE_MESSAGE_TIMESTAMP,
                                  &guid, static_cast<USHORT>(number), reinterpret_cast<va_list>(slots.data()));
        return;
    }
#endif
    (void)guid;
    (void)number;
    (void)payloads;
}

void WriteWithTraceEvent(const GUID& guid, unsigned number, Level level, const std::vector<Payload>& payloads)
{
    struct {
        EVENT_TRACE_HEADER header;
        MOF_FIELD fields[kHeaderFields];
    } event{};
    USHORT messageNumber = static_cast<USHORT>(number);
    std::vector<unsigned char> joined;
    size_t fieldCount = 0;
    event.fields[fieldCount++] = {reinterpret_cast<ULONG64>(&messageNumber), sizeof(messageNumber), 0};
    if (payloads.size() + 1 <= kHeaderFields) {
        for (const Payload& payload : payloads)
            event.fields[fieldCount++] = {reinterpret_cast<ULONG64>(payload.data), static_cast<ULONG>(payload.size), 0};
    } else {
        size_t total = 0;
        for (const Payload& payload : payloads)
            total += payload.size;
        if (total > kMaxEventBuffer)
            return;
        joined.reserve(total);
        for (const Payload& payload : payloads) {
            auto bytes = static_cast<const unsigned char*>(payload.data);
            joined.insert(joined.end(), bytes, bytes + payload.size);
        }
        event.fields[fieldCount++] = {reinterpret_cast<ULONG64>(joined.data()), static_cast<ULONG>(joined.size()), 0};
    }
    event.header.Size = static_cast<USHORT>(sizeof(EVENT_TRACE_HEADER) + fieldCount * sizeof(MOF_FIELD));
    event.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;
    event.header.Guid = guid;
    event.header.Class.Type = EVENT_TRACE_TYPE_INFO;
    event.header.Class.Level = static_cast<UCHAR>(level);
    TraceEvent(g_provider.logger.load(), &event.header);
}

std::wstring RenderArgs(const Arg* args, size_t count)
{
    std::wstring text;
    for (size_t i = 0; i < count; ++i) {
        const Arg& arg = args[i];
        if (i)
            text += L' ';
        switch (arg.kind) {
        case Arg::kSigned:
            text += std::to_wstring(arg.number);
            break;
        case Arg::kUnsigned:
            text += std::to_wstring(static_cast<uint64_t>(arg.size == 4 ? static_cast<uint32_t>(arg.number)
                                                                          : static_cast<uint64_t>(arg.number)));
            break;
        case Arg::kPointer: {
            wchar_t buffer[24];
            swprintf(buffer, 24, L"0x%llX", static_cast<unsigned long long>(arg.number));
            text += buffer;
            break;
        }
        case Arg::kWide:
            text += static_cast<const wchar_t*>(arg.data);
            break;
        case Arg::kNarrow:
            text += Utf8ToWide(static_cast<const char*>(arg.data));
            break;
        }
    }
    return text;
}

void Mirror(const Record& record)
{
    std::wstring line = L"[qvxsvh " + std::to_wstring(GetCurrentProcessId()) + L":" +
                        std::to_wstring(GetCurrentThreadId()) + L"] " + FormatRecord(record) + L"\n";
    std::wstring file;
    {
        SrwSharedGuard guard(g_mirrorLock);
        file = g_mirrorFile;
    }
    if (file.empty()) {
        OutputDebugStringW(line.c_str());
        return;
    }
    HANDLE handle = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    std::string bytes = WideToUtf8(line);
    DWORD written = 0;
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(handle);
}

} // namespace

const wchar_t* LevelName(Level level) noexcept
{
    switch (level) {
    case kError:
        return L"ERROR";
    case kWarning:
        return L"WARNING";
    case kInfo:
        return L"INFO";
    case kVerbose:
        return L"VERBOSE";
    }
    return L"LEVEL?";
}

std::wstring FormatRecord(const Record& record)
{
    return std::wstring(LevelName(record.level)) + L" " + Utf8ToWide(record.file) + L"#" +
           std::to_wstring(record.number) + L": " + record.text;
}

void Register() noexcept
{
    ConfigureMirrorFromEnvironment();
    ResolveWriter();
    if (g_provider.registration != 0)
        return;
    TRACE_GUID_REGISTRATION registration = {&kProviderGuid, nullptr};
    TRACEHANDLE handle = 0;
    if (RegisterTraceGuidsW(ControlCallback, nullptr, &kProviderGuid, 1, &registration, nullptr, nullptr, &handle) ==
        ERROR_SUCCESS)
        g_provider.registration = handle;
}

void Unregister() noexcept
{
    if (g_provider.registration != 0) {
        UnregisterTraceGuids(g_provider.registration);
        g_provider.registration = 0;
    }
    g_provider.logger = 0;
}

void SetObserver(Observer observer, void* context) noexcept
{
    SrwExclusiveGuard guard(g_observerLock);
    g_observer = observer;
    g_observerContext = context;
}

void SetMirror(unsigned maxLevel, const std::wstring& file) noexcept
{
    try {
        SrwExclusiveGuard guard(g_mirrorLock);
        g_mirrorFile = file;
        g_mirrorLevel = maxLevel > static_cast<unsigned>(kVerbose) ? static_cast<unsigned>(kVerbose) : maxLevel;
    } catch (...) {
    }
}

void ConfigureMirrorFromEnvironment() noexcept
{
    wchar_t value[MAX_PATH + 8];
    DWORD length = GetEnvironmentVariableW(L"QVXSVH_TRACE", value, ARRAYSIZE(value));
    if (length == 0 || length >= ARRAYSIZE(value))
        return;
    unsigned level = value[0] >= L'0' && value[0] <= L'9' ? static_cast<unsigned>(value[0] - L'0') : 0;
    const wchar_t* file = (length > 2 && value[1] == L':') ? value + 2 : L"";
    try {
        SetMirror(level, file);
    } catch (...) {
    }
}

void Write(const char* file, unsigned number, Level level, const Arg* args, size_t count) noexcept
{
    DWORD lastError = GetLastError();
    try {
        const char* base = BaseName(file);
        if (SystemTraceEnabled(level)) {
            GUID guid = MessageGuidOf(base);
            std::vector<Payload> payloads = PayloadsOf(args, count);
            if (g_provider.traceMessageVa)
                WriteWithTraceMessage(guid, number, payloads);
            else
                WriteWithTraceEvent(guid, number, level, payloads);
        }
        bool mirrored = static_cast<unsigned>(level) <= g_mirrorLevel.load();
        // The observer is called under the shared lock, so that removing it
        // waits for calls in flight.
        SrwSharedGuard guard(g_observerLock);
        if (g_observer || mirrored) {
            Record record{base, number, level, RenderArgs(args, count)};
            if (g_observer)
                g_observer(record, g_observerContext);
            if (mirrored)
                Mirror(record);
        }
    } catch (...) {
        // Tracing never fails its caller.
    }
    SetLastError(lastError);
}

} // namespace qvx::trace
