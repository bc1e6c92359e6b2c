#include "engine/event_report.h"

#include <atomic>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/trace.h"

namespace qvx {

namespace {

std::atomic<HANDLE> g_eventSource{nullptr};
std::atomic<ReportEventFn> g_reportEvent{&ReportEventW};

// The longest system message text put into an event.
constexpr DWORD kMessageTextChars = 1024;

} // namespace

bool RegisterServiceEventSource()
{
    if (g_eventSource.load())
        return true;
    HANDLE source = RegisterEventSourceW(nullptr, kEventSourceName);
    if (!source) {
        QVX_TRACE(trace::kError, 1, L"RegisterEventSourceW failed", kEventSourceName, GetLastError());
        return false;
    }
    HANDLE expected = nullptr;
    if (!g_eventSource.compare_exchange_strong(expected, source))
        DeregisterEventSource(source);
    return true;
}

void DeregisterServiceEventSource()
{
    if (HANDLE source = g_eventSource.exchange(nullptr))
        DeregisterEventSource(source);
}

bool IsServiceEventSourceRegistered()
{
    return g_eventSource.load() != nullptr;
}

void ReportServiceEvent(DWORD eventId, const wchar_t* const* strings, WORD count)
{
    HANDLE source = g_eventSource.load();
    if (!source) {
        QVX_TRACE(trace::kVerbose, 2, L"no event source, report skipped", eventId);
        return;
    }
    if (!g_reportEvent.load()(source, EVENTLOG_INFORMATION_TYPE, 0, eventId, nullptr, count, 0,
                              const_cast<LPCWSTR*>(strings), nullptr)) {
        const DWORD error = GetLastError();
        // The first string of a service's event is the service's name.
        const wchar_t* service = count > 0 && strings[0] ? strings[0] : L"";
        QVX_TRACE(trace::kError, 3, L"ReportEventW failed", eventId, service, error);
        return;
    }
    // The event log is not the only place an administrator or a test can
    // read: the trace carries each report with its id and strings too.
    std::wstring joined;
    for (WORD i = 0; i < count; ++i) {
        if (i > 0)
            joined += L" | ";
        joined += strings[i] ? strings[i] : L"";
    }
    wchar_t id[16];
    swprintf(id, 16, L"0x%08lX", static_cast<unsigned long>(eventId));
    QVX_TRACE(trace::kInfo, 4, L"event reported", id, joined);
}

void ReportServiceEvent(DWORD eventId, std::initializer_list<std::wstring> strings)
{
    std::vector<const wchar_t*> pointers;
    pointers.reserve(strings.size());
    for (const auto& text : strings)
        pointers.push_back(text.c_str());
    ReportServiceEvent(eventId, pointers.data(), static_cast<WORD>(pointers.size()));
}

std::wstring SystemMessageText(DWORD code)
{
    wchar_t buffer[kMessageTextChars] = {};
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                  buffer, kMessageTextChars, nullptr);
    if (length == 0)
        return std::wstring();
    while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n' || buffer[length - 1] == L' '))
        --length;
    return std::wstring(buffer, length);
}

void ReportFailedToStart(const std::wstring& serviceName, DWORD error)
{
    ReportServiceEvent(kEventServiceFailedToStart, {serviceName, SystemMessageText(error)});
}

void SetReportEventFunction(ReportEventFn function)
{
    g_reportEvent = function ? function : &ReportEventW;
}

} // namespace qvx
