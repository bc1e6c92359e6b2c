// Commands that answer questions about hosted services and the host's power
// state. They change nothing, except the set form of QUERY_POWER_STATE.
// Replies echo the command name, a comma and the payload.

#include <string>
#include <vector>

#include "engine/engine_calls.h"
#include "runtime/host_runtime.h"
#include "model/app_profile_writer.h"
#include "model/power_profile.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "platform/trace.h"
#include "platform/wide_text.h"
#include "protocol/command_context.h"
#include "protocol/command_handlers.h"
#include "protocol/message_codec.h"

namespace qvx {

namespace {

constexpr wchar_t kQueryServiceStatus[] = L"QUERY_SERVICE_STATUS";
constexpr wchar_t kQueryPowerState[] = L"QUERY_POWER_STATE";
constexpr wchar_t kEnumDepServices[] = L"ENUM_DEP_SERVICES";
constexpr wchar_t kQueryServiceConfig[] = L"QUERY_SERVICE_CONFIG";
constexpr wchar_t kQueryServiceAppProfile[] = L"QUERY_SERVICE_APP_PROFILE";
constexpr wchar_t kEnumServiceStatus[] = L"ENUM_SERVICE_STATUS";

constexpr wchar_t kSetPowerStateFlag[] = L"1";
constexpr wchar_t kInvalidStateName[] = L"INVALID_SERVICE_STATE";

// The bits a client can never clear: every service may run in normal
// conditions, and the access-control bit belongs to the host.
constexpr uint32_t kAlwaysReportedConditions = POWERPROFILE_NORMAL | POWERPROFILE_AAC_CONTROL;

// The state as it travels on the pipe: the nine known states by name, any
// other value as "INVALID_SERVICE_STATE".
const wchar_t* StateText(ServiceState state)
{
    switch (state) {
    case ServiceState::kStopped:
    case ServiceState::kStartPending:
    case ServiceState::kStopPending:
    case ServiceState::kRunning:
    case ServiceState::kContinuePending:
    case ServiceState::kPausePending:
    case ServiceState::kPaused:
    case ServiceState::kPostShutdownPending:
    case ServiceState::kPostShutdown:
        return ServiceStateName(state);
    default:
        return kInvalidStateName;
    }
}

bool IsActive(ServiceState state)
{
    const auto value = static_cast<uint32_t>(state);
    return value >= static_cast<uint32_t>(ServiceState::kStartPending) &&
           value <= static_cast<uint32_t>(ServiceState::kPaused);
}

bool PassesFilter(ServiceStateFilter filter, ServiceState state)
{
    switch (filter) {
    case ServiceStateFilter::kAll:
        return true;
    case ServiceStateFilter::kInactive:
        return state == ServiceState::kStopped;
    case ServiceStateFilter::kActive:
        return IsActive(state);
    default:
        return false;
    }
}

} // namespace

void HandleQueryServiceStatus(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceRequest resolved;
    if (!ResolveServiceRequest(request, 2, pipe, resolved))
        return;
    const ServiceRecord* record = resolved.record;
    pipe.WriteReply(EchoReply(kQueryServiceStatus, StateText(record->GetState())));
}

void HandleQueryServiceConfig(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceRequest resolved;
    if (!ResolveServiceRequest(request, 2, pipe, resolved))
        return;
    const ServiceRecord* record = resolved.record;
    std::wstring text;
    {
        // One consistent view against a concurrent CONFIG_SERVICE.
        RecordLock guard(*record);
        text = EchoConfigReply(kQueryServiceConfig, WinServiceTypeName(record->GetServiceType()),
                               StartupProfileName(record->GetStartupProfile()), record->GetBinaryPath(),
                               record->GetGroupAccount(), JoinDependencies(record->GetDependOnService()));
    }
    pipe.WriteReply(std::move(text));
}

void HandleQueryServiceAppProfile(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceTable* table = TableFor(request, pipe);
    if (!table)
        return;
    std::vector<std::wstring> fields;
    if (!SplitExactly(request, 2, fields, pipe))
        return;
    const ServiceRecord* record = table->FindByName(fields[1]);
    if (!record) {
        QVX_TRACE(trace::kError, 3, L"no app profile: service not found", fields[1]);
        pipe.WriteReply(std::wstring());
        return;
    }
    // The writer holds the record lock while it reads the fields.
    pipe.WriteReply(EchoReplyNarrow(kQueryServiceAppProfile, WriteAppProfile(*record)));
}

void HandleQueryPowerState(const std::wstring& request, SVHServerPipe& pipe)
{
    HostRuntime* runtime = pipe.Runtime();
    if (!runtime) {
        QVX_TRACE(trace::kError, 5, L"no host for the request", request);
        pipe.WriteReply(std::wstring());
        return;
    }
    std::atomic<uint32_t>& machineConditions = runtime->conditions.word;
    std::vector<std::wstring> fields;
    if (Split(request, kFieldSeparator, fields) && fields.size() == 3 &&
        EqualsFolded(fields[1], kSetPowerStateFlag)) {
        const uint32_t conditions = PowerProfileSetFromText(fields[2]) & ~kAlwaysReportedConditions;
        const uint32_t previous = machineConditions.exchange(conditions);
        if (previous != conditions) {
            QVX_TRACE(trace::kInfo, 4, L"machine conditions set on request", previous, conditions);
            ApplyPowerCondition(*runtime, true);
        }
    }
    std::wstring names;
    PowerProfileSetToText(machineConditions.load() | kAlwaysReportedConditions, names);
    pipe.WriteReply(EchoReply(kQueryPowerState, names));
}

void HandleEnumDepServices(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceRequest resolved;
    if (!ResolveServiceRequest(request, 3, pipe, resolved))
        return;
    ServiceTable* table = resolved.table;
    const std::vector<std::wstring>& fields = resolved.fields;
    const ServiceRecord* named = resolved.record;
    const std::wstring name = named->GetName();
    const ServiceStateFilter filter = ServiceStateFilterFromName(fields[2]);
    std::wstring records;
    int count = 0;
    for (size_t i = 0; const ServiceRecord* service = table->GetAt(i); ++i) {
        for (const std::wstring& dependency : service->GetDependOnService()) {
            if (!SameServiceName(dependency, name))
                continue;
            const ServiceState state = service->GetState();
            if (!PassesFilter(filter, state))
                continue;
            AppendStatusRecord(records, service->GetName(), StateText(state));
            ++count;
        }
    }
    pipe.WriteReply(EchoReplyWithSignedCount(kEnumDepServices, count, records));
}

void HandleEnumServiceStatus(const std::wstring& request, SVHServerPipe& pipe)
{
    ServiceTable* table = TableFor(request, pipe);
    if (!table)
        return;
    std::vector<std::wstring> fields;
    if (!SplitExactly(request, 2, fields, pipe))
        return;
    const auto type = static_cast<uint32_t>(WinServiceTypeFromName(fields[1]));
    std::wstring records;
    int count = 0;
    for (size_t i = 0; const ServiceRecord* service = table->GetAt(i); ++i) {
        if ((static_cast<uint32_t>(service->GetServiceType()) & type) == 0)
            continue;
        AppendStatusRecord(records, service->GetName(), StateText(service->GetState()));
        ++count;
    }
    DropFinalSeparator(records);
    pipe.WriteReply(EchoReplyWithSignedCount(kEnumServiceStatus, count, records));
}

} // namespace qvx
