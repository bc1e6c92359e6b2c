#include "service_runtime/service_session.h"

#include "platform/trace.h"
#include "platform/wide_text.h"
#include "service_runtime/control_client.h"
#include "service_runtime/listener_messages.h"

namespace qvx::hosted {

namespace {

constexpr wchar_t kMutexSuffix[] = L"_mutex";

} // namespace

std::wstring ListenerPipeName(const HostedServiceOptions& options, const std::wstring& serviceName)
{
    return options.listenerPipePrefix + serviceName + kListenerPipeSuffix;
}

ServiceSession::ServiceSession(std::wstring serviceName, const HostedServiceOptions& options)
    : name_(std::move(serviceName)), options_(options)
{
}

// A mutex is owned by a thread: the thread that runs the service takes it
// and releases it, so it is held exactly while the service runs and is
// abandoned if the process dies under it.
DWORD ServiceSession::TakeServiceMutex()
{
    const std::wstring name = ToLowerAscii(name_ + kMutexSuffix);
    mutex_.Reset(CreateMutexW(nullptr, TRUE, name.c_str()));
    if (!mutex_) {
        const DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 1, L"service mutex not created", name, error);
        return error;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        return ERROR_SUCCESS;
    // The management service creates the mutex before it starts the service;
    // opening an existing mutex does not own it.
    const DWORD result = WaitForSingleObject(mutex_.Get(), options_.mutexWaitMs);
    if (result == WAIT_OBJECT_0)
        return ERROR_SUCCESS;
    if (result == WAIT_ABANDONED) {
        QVX_TRACE(trace::kWarning, 2, L"service mutex taken over from a process that ended", name);
        return ERROR_SUCCESS;
    }
    const DWORD error = result == WAIT_TIMEOUT ? ERROR_SERVICE_ALREADY_RUNNING : GetLastError();
    QVX_TRACE(trace::kError, 3, L"service mutex held elsewhere", name, error);
    mutex_.Reset();
    return error;
}

void ServiceSession::ReleaseServiceMutex()
{
    if (!mutex_)
        return;
    ReleaseMutex(mutex_.Get());
    mutex_.Reset();
}

DWORD ServiceSession::FetchStartArguments(std::vector<std::wstring>* arguments) const
{
    std::wstring reply;
    const DWORD error = RequestWithReply(options_.controlPipeName, std::wstring(kStartPendingRequest) + L"," + name_,
                                         options_.pipeTimeoutMs, &reply);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 4, L"start arguments not fetched", name_, error);
        return error;
    }
    return ParseStartPendingReply(reply, arguments);
}

void ServiceSession::ReportState(DWORD state) const
{
    const DWORD error =
        PostAndWaitForDisconnect(options_.controlPipeName,
                                 std::wstring(kSetStatusRequest) + L"," + name_ + L"," + StateName(state),
                                 options_.pipeTimeoutMs);
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 5, L"service state not reported", name_, StateName(state), error);
}

std::optional<std::wstring> HandleListenerMessage(const std::wstring& message, const ServiceSinkLookup& find)
{
    if (IsMessage(message, kPingMessage))
        return std::wstring(kAck);

    if (IsMessage(message, kForwardedControlMessage)) {
        ForwardedControl forwarded;
        if (!ParseForwardedControl(message, &forwarded))
            return std::nullopt;
        ServiceSink* sink = find(forwarded.serviceName);
        if (!sink) {
            QVX_TRACE(trace::kWarning, 6, L"forwarded control for a service not in this process",
                      forwarded.serviceName);
            return std::nullopt;
        }
        sink->Control(forwarded.control, forwarded.eventType, forwarded.data);
        return std::nullopt;
    }

    struct Named {
        const wchar_t* name;
        bool replies;
    };
    static constexpr Named kNamed[] = {
        {kStopMessage, false},         {kShutdownMessage, false},    {kPowerChangeMessage, false},
        {kStartServiceMessage, false}, {kInterrogateMessage, true}, {kQueryProcessIdMessage, true},
    };
    for (const Named& named : kNamed) {
        if (!IsMessage(message, named.name))
            continue;
        std::vector<std::wstring> fields;
        if (!SplitFields(message, &fields) || fields.size() != 2) {
            QVX_TRACE(trace::kWarning, 7, L"listener message not readable", message);
            return named.replies ? std::optional<std::wstring>(L"") : std::nullopt;
        }
        ServiceSink* sink = find(fields[1]);
        if (named.name == kInterrogateMessage)
            return std::wstring(sink ? StateName(sink->State()) : StateName(MAXDWORD));
        if (named.name == kQueryProcessIdMessage)
            return sink ? UnsignedText(GetCurrentProcessId()) : std::wstring(L"0");
        if (!sink) {
            QVX_TRACE(trace::kWarning, 8, L"message for a service not in this process", message);
            return std::nullopt;
        }
        if (named.name == kStopMessage)
            sink->Stop(false);
        else if (named.name == kShutdownMessage)
            sink->Stop(true);
        else if (named.name == kPowerChangeMessage)
            sink->PowerChange();
        else
            sink->StartService();
        return std::nullopt;
    }

    QVX_TRACE(trace::kWarning, 9, L"listener message not recognised", message);
    return std::wstring();
}

} // namespace qvx::hosted
