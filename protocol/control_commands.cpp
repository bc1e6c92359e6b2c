// Commands that act on running things: start and stop a hosted service, and
// the two requests a hosted service makes of the host itself while it runs
// (its start arguments, its state reports). The work is the lifecycle
// engine's; these decide what is checked, in which order, and what is
// answered.

#include <string>
#include <vector>

#include "engine/event_report.h"
#include "engine/launcher.h"
#include "engine/listener_operations.h"
#include "engine/service_state_reports.h"
#include "model/power_profile.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/service_table_store.h"
#include "platform/registry_value.h"
#include "platform/service_key.h"
#include "platform/trace.h"
#include "platform/wide_text.h"
#include "protocol/command_context.h"
#include "protocol/command_handlers.h"
#include "protocol/message_codec.h"
#include "runtime/host_runtime.h"

namespace qvx {
namespace {

// The host's own defaults for a service's start arguments, which follow
// one-shot arguments.
constexpr wchar_t kDefaultArgCountValue[] = L"NumServiceArgs";
constexpr wchar_t kDefaultArgsValue[] = L"ServiceArgs";
constexpr size_t kDefaultArgsChars = 300;

bool IsUserDll(const ServiceRecord& record) noexcept
{
    return record.GetServiceType() == WinServiceType::kUserDll;
}

// A DLL-hosted service keeps UserStopped across restarts of the host, so a
// change of it is stored.
void PersistUserStopped(ServiceRecord& record)
{
    if (!IsUserDll(record))
        return;
    if (const DWORD error = SaveServiceConfig(record); error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 1, L"UserStopped not stored", record.GetName(), error);
}

const wchar_t* StartResultReply(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS:
        return reply::kAck;
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
        return reply::kCannotAcceptCtrl;
    case ERROR_SERVICE_ALREADY_RUNNING:
        return reply::kServiceAlreadyRunning;
    case ERROR_SERVICE_NOT_ACTIVE:
        return reply::kServiceNotActive;
    default:
        return reply::kFailedToStart;
    }
}

// Counts the arguments of a start-argument text as a service splits it:
// runs of characters between blanks, a double-quoted run keeping its blanks.
DWORD CountStartArguments(const std::wstring& text)
{
    DWORD count = 0;
    bool inArgument = false;
    bool quoted = false;
    for (wchar_t c : text) {
        if (c == L'"')
            quoted = !quoted;
        const bool blank = !quoted && (c == L' ' || c == L'\t');
        if (!blank && !inArgument)
            ++count;
        inArgument = !blank;
    }
    return count;
}

// Puts the host's default start arguments back after a one-shot start. A
// host without defaults leaves the record's arguments as they are.
void RestoreDefaultArguments(ServiceRecord& record)
{
    RegKey key;
    DWORD error = OpenKey(ServiceKeyRoot(), ServiceKeyPath().c_str(), KEY_READ, key);
    DWORD count = 0;
    std::wstring arguments;
    if (error == ERROR_SUCCESS && ReadDword(key.Get(), kDefaultArgCountValue, count) &&
        ReadText(key.Get(), kDefaultArgsValue, arguments, kDefaultArgsChars + 1)) {
        RecordLock guard(record);
        record.SetNumServiceArgs(count);
        record.SetServiceArgs(arguments);
        return;
    }
    QVX_TRACE(trace::kInfo, 2, L"no default start arguments in the host's key; the service's stay",
              record.GetName(), error != ERROR_SUCCESS ? error : GetLastError());
}

} // namespace

void HandleStartService(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceRequest resolved;
    if (!ResolveServiceRequest(request, 4, pipe, resolved))
        return;
    ServiceTable* table = resolved.table;
    const std::vector<std::wstring>& fields = resolved.fields;
    ServiceRecord* record = resolved.record;
    const std::wstring& name = fields[1];
    const std::wstring& countText = fields[2];
    const std::wstring& arguments = fields[3];

    record->SetDependencyFailed(false);
    StandDownCrashRestart(*pipe.Runtime(), *record);
    if (!table->ValidateDependencies(*record)) {
        record->SetDependencyFailed(true);
        ReportFailedToStart(name, ERROR_SERVICE_DEPENDENCY_DELETED);
        pipe.WriteReply(reply::kInvalidDependency);
        return;
    }
    const ServiceState state = record->GetState();
    if (state == ServiceState::kRunning || state == ServiceState::kStartPending) {
        pipe.WriteReply(reply::kServiceAlreadyRunning);
        return;
    }
    if (state != ServiceState::kStopped) {
        QVX_TRACE(trace::kError, 3, L"service cannot be started in its state", name, static_cast<DWORD>(state));
        ReportFailedToStart(name, ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        pipe.WriteReply(reply::kCannotAcceptCtrl);
        return;
    }
    if (!countText.empty() && arguments != kEmptyPlaceholder) {
        DWORD count = 0;
        if (!ParseDecimal(countText, count)) {
            QVX_TRACE(trace::kError, 4, L"start argument count is not a number", name, countText);
            pipe.WriteReply(reply::kMsgProtocol);
            return;
        }
        // The service splits the text itself; a count that disagrees with
        // it is handed on as given, which the service can report.
        if (count != CountStartArguments(arguments))
            QVX_TRACE(trace::kWarning, 5, L"start argument count differs from the arguments", name, count,
                      arguments);
        RecordLock guard(*record);
        record->SetNumServiceArgs(count);
        record->SetServiceArgs(arguments);
    }
    if (record->SetUserStopped(false))
        PersistUserStopped(*record);

    HostRuntime& runtime = *pipe.Runtime();
    if (!PowerProfilePermits(record->GetPowerProfile(), runtime.conditions.word.load())) {
        QVX_TRACE(trace::kInfo, 6, L"the machine's condition rules the service out; it starts when that changes",
                  name, record->GetPowerProfile(), runtime.conditions.word.load());
        pipe.WriteReply(reply::kAck);
        return;
    }
    const DWORD error = StartHostedServiceAndRecord(runtime, record);
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 7, L"the service was not started", name, error);
    pipe.WriteReply(StartResultReply(error));
}

void HandleControlService(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceRequest resolved;
    if (!ResolveServiceRequest(request, 3, pipe, resolved))
        return;
    const std::vector<std::wstring>& fields = resolved.fields;
    ServiceRecord* record = resolved.record;
    const std::wstring& name = fields[1];
    const ServiceControl control = ServiceControlFromName(fields[2]);

    if (record->GetCrashed()) {
        // A crashed service waiting for its restart is not active; the stop
        // cancels the restart for good: neither the end of its restart
        // window nor a wave or a power change may bring it back.
        StandDownCrashRestart(*pipe.Runtime(), *record);
        record->SetCrashed(false);
        if (!record->SetUserStopped(true))
            PersistUserStopped(*record);
        QVX_TRACE(trace::kInfo, 8, L"the restart of a crashed service was cancelled", name);
        pipe.WriteReply(reply::kServiceNotActive);
        return;
    }
    if (control != ServiceControl::kStop) {
        QVX_TRACE(trace::kError, 9, L"only the stop control is taken", name, fields[2]);
        pipe.WriteReply(reply::kInvalidControlCode);
        return;
    }
    if (record->GetState() == ServiceState::kStopped) {
        if (!record->SetUserStopped(true))
            PersistUserStopped(*record);
        pipe.WriteReply(reply::kServiceNotActive);
        return;
    }
    if (!record->SetUserStopped(true))
        PersistUserStopped(*record);
    const DWORD error = StopHostedService(*pipe.Runtime(), *record);
    if (error == ERROR_SUCCESS) {
        pipe.WriteReply(JoinFields({L"CONTROL_SERVICE", ServiceStateName(record->GetState())}));
        return;
    }
    QVX_TRACE(trace::kError, 10, L"the service was not stopped", name, error);
    pipe.WriteReply(error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ? reply::kCannotAcceptCtrl : reply::kFailedToStop);
}

void HandleServiceStartPending(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceRequest resolved;
    if (!ResolveServiceRequest(request, 2, pipe, resolved))
        return;
    ServiceRecord* record = resolved.record;
    HostRuntime& runtime = *pipe.Runtime();

    std::wstring reply;
    {
        RecordLock guard(*record);
        std::wstring arguments = record->GetServiceArgs();
        if (arguments.empty())
            arguments = kEmptyPlaceholder;
        if (record->GetState() != ServiceState::kStartPending)
            record->SetServiceState(ServiceState::kStartPending);
        reply = JoinFields({L"SERVICE_START_PENDING", UnsignedText(record->GetNumServiceArgs()), arguments});
        // The service holds its mutex by now: from here the monitor sees
        // its process end.
        runtime.waitSet.AddMutex(record->GetServiceMutex());
    }
    RestoreDefaultArguments(*record);
    pipe.WriteReply(std::move(reply));
}

void HandleSetServiceStatus(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceTable* table = TableFor(request, pipe);
    if (!table)
        return;
    std::vector<std::wstring> fields;
    ServiceRecord* record = nullptr;
    if (!Split(request, kFieldSeparator, fields) || fields.size() != 3)
        QVX_TRACE(trace::kError, 11, L"state report with a wrong field count ignored", request);
    else if (!(record = table->FindSvhByName(fields[1])))
        QVX_TRACE(trace::kError, 12, L"state report for no hosted service ignored", fields[1]);

    const ServiceState reported = record ? ServiceStateFromName(fields[2]) : ServiceState::kInvalid;
    StatusReportFollowUp followUp;
    if (record && reported == ServiceState::kInvalid)
        QVX_TRACE(trace::kError, 13, L"state report names no state; ignored", fields[1], fields[2]);
    else if (record)
        followUp = ApplyServiceStatusReport(*pipe.Runtime(), *record, reported);

    // A report is never answered: the client is let go, and only then are
    // the services started that its report makes possible.
    if (const DWORD error = pipe.Reconnect(); error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 14, L"the reporting client was not let go", pipe.Name(), error);
    RunStatusReportFollowUp(*pipe.Runtime(), followUp);
}

} // namespace qvx
