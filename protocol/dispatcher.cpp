#include "protocol/dispatcher.h"

#include "engine/engine_calls.h"
#include "model/table_lock.h"
#include "platform/trace.h"
#include "protocol/command_handlers.h"
#include "protocol/host_hooks.h"
#include "protocol/message_codec.h"
#include "runtime/host_runtime.h"

namespace qvx {

namespace {

void HandlePing(const std::wstring&, SVHServerPipe& pipe)
{
    pipe.WriteReply(reply::kAck);
}

void HandleRegisterServiceTriggerMonitor(const std::wstring&, SVHServerPipe& pipe)
{
    HostHooks hooks = CurrentHostHooks();
    if (hooks.runTriggerRegistration)
        hooks.runTriggerRegistration();
    pipe.WriteReply(reply::kAck);
}

// How long the client of a host stop has to read its acknowledgement before
// the stop closes the pipe instances.
constexpr DWORD kStopClientLeaveMs = 2000;

void HandleStopSvhHostingService(const std::wstring&, SVHServerPipe& pipe)
{
    // The client hears the acknowledgement before the host starts to go:
    // closing the instances would throw away a reply not yet read.
    pipe.WriteReply(reply::kAck);
    pipe.WaitForClientToLeave(kStopClientLeaveMs);
    HostRuntime* runtime = pipe.Runtime();
    if (!runtime) {
        QVX_TRACE(trace::kError, 1, L"no host to stop", pipe.Name());
        return;
    }
    StopDllServices(*runtime);
    runtime->stop.RequestStop();
}

// The order decides which entry a request is taken for. Entries without a
// handler (nullptr, with the name of the one to come beside it) are answered
// like a command that is not known.
const CommandEntry kCommands[] = {
    {L"PING", HandlePing, false},
    {L"CREATE_SERVICE", HandleCreateService},
    {L"SERVICE_START_PENDING", HandleServiceStartPending},
    {L"OPEN_SERVICE", HandleOpenService},
    {L"START_SERVICE", HandleStartService},
    {L"SET_SERVICE_STATUS", HandleSetServiceStatus},
    {L"QUERY_SERVICE_STATUS", HandleQueryServiceStatus},
    // The condition word is the runtime's, and a change goes to the hosted
    // services by messages that may take seconds: no table lock.
    {L"QUERY_POWER_STATE", HandleQueryPowerState, false},
    {L"DELETE_SERVICE", HandleDeleteService},
    {L"CONTROL_SERVICE", HandleControlService},
    {L"CONFIG_SERVICE", HandleConfigService},
    {L"CONFIG_SERVICE2", HandleConfigService2},
    {L"ENUM_DEP_SERVICES", HandleEnumDepServices},
    {L"QUERY_SERVICE_CONFIG", HandleQueryServiceConfig},
    {L"QUERY_SERVICE_APP_PROFILE", HandleQueryServiceAppProfile},
    {L"ENUM_SERVICE_STATUS", HandleEnumServiceStatus},
    {L"ENABLEDISABLE_SERVICE", HandleEnableDisableService},
    {L"REGISTER_SERVICE_TRIGGER_MONITOR", HandleRegisterServiceTriggerMonitor, false},
    {L"STOP_SVH_HOSTING_SERVICE", HandleStopSvhHostingService, false},
    {L"DISABLE_PPL", HandleDisablePpl},
    {L"DISABLE_PPL_EX", HandleDisablePplEx},
    {L"ENABLE_DISABLE_LOCKDOWN", HandleEnableDisableLockdown},
};

// Every completed transfer wakes the monitor of the pipe's host.
void WakeMonitor(const SVHServerPipe& pipe)
{
    if (HostRuntime* runtime = pipe.Runtime())
        runtime->waitSet.Wake();
}

} // namespace

const CommandEntry* CommandTable(size_t* count)
{
    *count = sizeof(kCommands) / sizeof(kCommands[0]);
    return kCommands;
}

const CommandEntry* FindCommand(std::wstring_view request)
{
    for (const CommandEntry& entry : kCommands) {
        if (IsCommand(request, entry.name))
            return &entry;
    }
    return nullptr;
}

void Dispatch(SVHServerPipe& pipe)
{
    if (!pipe.AdvanceIo())
        return;
    const CommandEntry* command = nullptr;
    for (const CommandEntry& entry : kCommands) {
        if (pipe.IsCommand(entry.name)) {
            command = entry.handler ? &entry : nullptr;
            break;
        }
    }
    if (command && !command->tableLock) {
        WakeMonitor(pipe);
        command->handler(pipe.TakeRequest(), pipe);
        return;
    }

    TableLock tableLock(TableLockMode::Shared);
    WakeMonitor(pipe);
    if (command) {
        command->handler(pipe.TakeRequest(), pipe);
        return;
    }
    // A completed reply write also ends here, with nothing to discard. A
    // request that no handler takes is answered with the empty reply, which
    // the next step writes: the I/O event is still signalled.
    if (pipe.State() == PipeState::Writing) {
        std::wstring request = pipe.TakeRequest();
        QVX_TRACE(trace::kError, 2, L"command not recognised", pipe.Name(), request);
    }
}

} // namespace qvx
