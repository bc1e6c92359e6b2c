#pragma once
// Event-log reports of the management service. Ids and texts come from the
// message table compiled into the executable (engine/messages.mc).

#include <windows.h>

#include <initializer_list>
#include <string>

namespace qvx {

constexpr wchar_t kEventSourceName[] = L"Quorvex Service Controller";

enum ServiceEventId : DWORD {
    kEventServiceRunning = 0x42000001,
    kEventServiceStopped = 0x42000002,
    kEventServicePaused = 0x42000003,
    kEventServicePostShutdown = 0x42000004,
    kEventServiceTerminated = 0xC2000005,
    kEventServiceFailedToStart = 0xC2000006,
    kEventServiceCreated = 0x42000007,
    kEventServiceConfigChanged = 0x42000008,
    kEventServiceDeleted = 0x42000009,
};

// Registers the event source for this process; reports made before it, or
// after a failed registration, are skipped.
bool RegisterServiceEventSource();
void DeregisterServiceEventSource();
bool IsServiceEventSourceRegistered();

// One report: information type, category 0, no user SID, no data. A failed
// report is traced and otherwise ignored.
void ReportServiceEvent(DWORD eventId, const wchar_t* const* strings, WORD count);
void ReportServiceEvent(DWORD eventId, std::initializer_list<std::wstring> strings);

// The "failed to start" event: the service's name and the system's text
// for the error, at most 1024 characters, in the default language.
void ReportFailedToStart(const std::wstring& serviceName, DWORD error);
// The system's text for an error code in the default language, without its
// closing line break; empty when the system has none.
std::wstring SystemMessageText(DWORD code);

// Test seam: the call that writes the report (ReportEventW by default).
using ReportEventFn = BOOL(WINAPI*)(HANDLE source, WORD type, WORD category, DWORD eventId, PSID user,
                                    WORD stringCount, DWORD dataSize, LPCWSTR* strings, LPVOID data);
void SetReportEventFunction(ReportEventFn function);

} // namespace qvx
