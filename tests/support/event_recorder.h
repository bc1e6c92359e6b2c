#pragma once
// Stands in for ReportEventW while it lives and keeps what would have gone
// to the event log, so a test can check the events and their strings.

#include <windows.h>

#include <string>
#include <vector>

#include "engine/event_report.h"
#include "platform/locks.h"

namespace qvx::test {

struct ReportedEvent {
    DWORD id;
    std::vector<std::wstring> strings;
};

// Stands in for ReportEventW while it lives.
class EventRecorder {
public:
    EventRecorder()
    {
        Instance() = this;
        SetReportEventFunction(&Report);
        RegisterServiceEventSource();
    }
    ~EventRecorder()
    {
        SetReportEventFunction(nullptr);
        Instance() = nullptr;
    }
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;

    std::vector<ReportedEvent> Events() const
    {
        SrwExclusiveGuard guard(lock_);
        return events_;
    }
    void Clear()
    {
        SrwExclusiveGuard guard(lock_);
        events_.clear();
    }

private:
    static EventRecorder*& Instance()
    {
        static EventRecorder* instance = nullptr;
        return instance;
    }
    static BOOL WINAPI Report(HANDLE, WORD, WORD, DWORD eventId, PSID, WORD count, DWORD, LPCWSTR* strings, LPVOID)
    {
        EventRecorder* self = Instance();
        if (!self)
            return TRUE;
        ReportedEvent event{eventId, {}};
        for (WORD i = 0; i < count; ++i)
            event.strings.emplace_back(strings[i] ? strings[i] : L"(null)");
        SrwExclusiveGuard guard(self->lock_);
        self->events_.push_back(std::move(event));
        return TRUE;
    }

    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<ReportedEvent> events_;
};

} // namespace qvx::test
