#include "protocol/pipe_server.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>

#include "platform/diagnostic_block.h"
#include "platform/trace.h"
#include "platform/wide_text.h"

namespace qvx {

namespace {

constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;           // 0x40000003
constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT; // 6
constexpr DWORD kPipeBufferBytes = 64;
constexpr DWORD kPipeAccessMask = GENERIC_ALL | STANDARD_RIGHTS_ALL;               // 0x101F0000
constexpr DWORD kDestroyStopTimeoutMs = 50;
constexpr int kConnectAttempts = 3;

const wchar_t* const kStateNames[] = {
    L"NOTCONNECTED", L"CONNECTED", L"CONNECTING", L"PENDING_READ",
    L"READING",      L"PENDING_WRITE", L"WRITING", L"ERROR",
};

const char* const kSidFailureTexts[] = {
    "ERROR: SVHServerPipe::Create - AllocateAndInitializeSid for EXPLICIT_ACCESS[0] returned false!",
    "ERROR: SVHServerPipe::Create - AllocateAndInitializeSid for EXPLICIT_ACCESS[1] returned false!",
    "ERROR: SVHServerPipe::Create - AllocateAndInitializeSid for EXPLICIT_ACCESS[2] returned false!",
    "ERROR: SVHServerPipe::Create - AllocateAndInitializeSid for EXPLICIT_ACCESS[3] returned false!",
};

// The four entries of the pipe's DACL, in order: network logons denied;
// Local System, Local Service and the Administrators alias allowed.
struct AceEntry {
    BYTE subAuthorityCount;
    DWORD subAuthority0;
    DWORD subAuthority1;
    ACCESS_MODE mode;
};
const AceEntry kAceEntries[] = {
    {1, SECURITY_NETWORK_RID, 0, DENY_ACCESS},
    {1, SECURITY_LOCAL_SYSTEM_RID, 0, SET_ACCESS},
    {1, SECURITY_LOCAL_SERVICE_RID, 0, SET_ACCESS},
    {2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, SET_ACCESS},
};
constexpr size_t kAceCount = sizeof(kAceEntries) / sizeof(kAceEntries[0]);

class SidList {
public:
    ~SidList()
    {
        for (PSID sid : sids_) {
            if (sid)
                FreeSid(sid);
        }
    }
    PSID* Slot(size_t index) { return &sids_[index]; }

private:
    PSID sids_[kAceCount] = {};
};

uint32_t Low32(const void* pointer)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// A failed CreateNamedPipeW: the call's parameters go into the parts of the
// block that the monitor's wait records use, the pipe name (UTF-8) into its
// handle copy.
void RecordCreatePipeFailure(const wchar_t* name, DWORD maxInstances, DWORD defaultTimeoutMs, DWORD lastError,
                             HANDLE handle)
{
    RecordFailure(pipe_failure::kCreateNamedPipe, Low32(handle), lastError, reinterpret_cast<uintptr_t>(handle),
                  "ERROR: SVHServerPipe::Create - CreateNamedPipe failed!");
    DiagnosticBlock* block = PublishedDiagnosticBlock();
    if (!block)
        return;
    block->reserved1 = (static_cast<uint64_t>(kPipeMode) << 32) | kOpenMode;
    block->index = maxInstances;
    block->zero1 = defaultTimeoutMs;
    block->reserved2 = (static_cast<uint64_t>(kPipeBufferBytes) << 32) | kPipeBufferBytes;
    std::string utf8 = WideToUtf8(name);
    char* area = reinterpret_cast<char*>(block->handles);
    size_t length = std::min(utf8.size(), sizeof(block->handles) - 1);
    memcpy(area, utf8.data(), length);
    area[length] = '\0';
}

bool IsInFlight(PipeState state)
{
    return state == PipeState::Connecting || state == PipeState::PendingRead || state == PipeState::PendingWrite;
}

} // namespace

const wchar_t* PipeStateName(PipeState state) noexcept
{
    auto index = static_cast<size_t>(state);
    return index < sizeof(kStateNames) / sizeof(kStateNames[0]) ? kStateNames[index] : L"UNKNOWN";
}

SVHServerPipe::SVHServerPipe()
    : overlappedEvent_(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!overlappedEvent_ || !stopEvent_)
        QVX_TRACE(trace::kError, 1, L"CreateEvent failed", GetLastError());
    overlapped_.hEvent = overlappedEvent_.Get();
    securityAttributes_.nLength = sizeof(securityAttributes_);
    securityAttributes_.lpSecurityDescriptor = nullptr;
    securityAttributes_.bInheritHandle = FALSE;
}

SVHServerPipe::~SVHServerPipe()
{
    if (thread_) {
        SetEvent(stopEvent_.Get());
        // The thread ends after the callback in hand; it touches this object
        // until then, so it is waited for even past the customary pause.
        if (WaitForSingleObject(thread_.Get(), kDestroyStopTimeoutMs) != WAIT_OBJECT_0) {
            QVX_TRACE(trace::kWarning, 2, L"I/O thread still busy at destruction", name_);
            WaitForSingleObject(thread_.Get(), INFINITE);
        }
        thread_.Reset();
    }
    if (pipe_ && IsInFlight(state_)) {
        // The system must be done with the OVERLAPPED record before it goes.
        DWORD bytes = 0;
        CancelIoEx(pipe_.Get(), &overlapped_);
        GetOverlappedResult(pipe_.Get(), &overlapped_, &bytes, TRUE);
    }
    Disconnect();
}

DWORD SVHServerPipe::BuildPipeSecurity()
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    SidList sids;
    EXPLICIT_ACCESSW access[kAceCount] = {};
    for (size_t i = 0; i < kAceCount; ++i) {
        const AceEntry& entry = kAceEntries[i];
        if (!AllocateAndInitializeSid(&ntAuthority, entry.subAuthorityCount, entry.subAuthority0, entry.subAuthority1, 0,
                                      0, 0, 0, 0, 0, sids.Slot(i))) {
            DWORD error = GetLastError();
            RecordFailure(pipe_failure::kSidEntry0 + static_cast<uint32_t>(i), FALSE, error, 0, kSidFailureTexts[i]);
            QVX_TRACE(trace::kError, 3, L"AllocateAndInitializeSid failed", name_, i, error);
            return error ? error : ERROR_INVALID_SID;
        }
        access[i].grfAccessPermissions = kPipeAccessMask;
        access[i].grfAccessMode = entry.mode;
        access[i].grfInheritance = NO_INHERITANCE;
        BuildTrusteeWithSidW(&access[i].Trustee, *sids.Slot(i));
        access[i].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    }

    LocalMemory dacl;
    DWORD result = SetEntriesInAclW(kAceCount, access, nullptr, reinterpret_cast<PACL*>(dacl.Receive()));
    if (result != ERROR_SUCCESS) {
        RecordFailure(pipe_failure::kSetEntriesInAcl, result, GetLastError(), 0,
                      "ERROR: SVHServerPipe::Create - SetEntriesInAcl returned error!");
        QVX_TRACE(trace::kError, 4, L"SetEntriesInAcl failed", name_, result);
        return result;
    }

    LocalMemory descriptor(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor) {
        SetLastError(ERROR_OUTOFMEMORY);
        RecordFailure(pipe_failure::kAllocateDescriptor, 0, ERROR_OUTOFMEMORY, 0,
                      "ERROR: SVHServerPipe::Create - Allocate memory for Security Descriptor failed!");
        QVX_TRACE(trace::kError, 5, L"security descriptor allocation failed", name_);
        return ERROR_OUTOFMEMORY;
    }
    if (!InitializeSecurityDescriptor(descriptor.Get(), SECURITY_DESCRIPTOR_REVISION)) {
        DWORD error = GetLastError();
        RecordFailure(pipe_failure::kInitializeDescriptor, FALSE, error, 0,
                      "ERROR: SVHServerPipe::Create - InitializeSecurityDescriptor failed!");
        QVX_TRACE(trace::kError, 6, L"InitializeSecurityDescriptor failed", name_, error);
        return error;
    }
    if (!SetSecurityDescriptorDacl(descriptor.Get(), TRUE, static_cast<PACL>(dacl.Get()), FALSE)) {
        DWORD error = GetLastError();
        RecordFailure(pipe_failure::kSetDescriptorDacl, FALSE, error, 0,
                      "ERROR: SVHServerPipe::Create - SetSecurityDescriptorDacl failed!");
        QVX_TRACE(trace::kError, 7, L"SetSecurityDescriptorDacl failed", name_, error);
        return error;
    }
    dacl_ = std::move(dacl);
    securityDescriptor_ = std::move(descriptor);
    securityAttributes_.lpSecurityDescriptor = securityDescriptor_.Get();
    return ERROR_SUCCESS;
}

DWORD SVHServerPipe::Create(const wchar_t* pipeName, DWORD maxInstances, DWORD defaultTimeoutMs)
{
    name_ = pipeName ? pipeName : L"";
    ClearDiagnosticBlock();
    if (name_.empty()) {
        RecordFailure(pipe_failure::kMissingName, 0, ERROR_INVALID_PARAMETER, 0,
                      "ERROR: SVHServerPipe::Create - Invalid pointer parameter in pipeName!");
        QVX_TRACE(trace::kError, 8, L"no pipe name");
        state_ = PipeState::Error;
        return ERROR_INVALID_PARAMETER;
    }
    if (pipe_) {
        Disconnect();
        pipe_.Reset();
    }
    if (!securityDescriptor_) {
        DWORD error = BuildPipeSecurity();
        if (error != ERROR_SUCCESS) {
            state_ = PipeState::Error;
            return error;
        }
    }
    HANDLE handle = CreateNamedPipeW(name_.c_str(), kOpenMode, kPipeMode, maxInstances, kPipeBufferBytes,
                                     kPipeBufferBytes, defaultTimeoutMs, &securityAttributes_);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        RecordCreatePipeFailure(name_.c_str(), maxInstances, defaultTimeoutMs, error, handle);
        QVX_TRACE(trace::kError, 9, L"CreateNamedPipe failed", name_, error);
        state_ = PipeState::Error;
        return error ? error : ERROR_INVALID_HANDLE;
    }
    pipe_.Reset(handle);
    // A retried Create on an instance that failed before starts afresh.
    state_ = PipeState::NotConnected;
    return ERROR_SUCCESS;
}

DWORD SVHServerPipe::Connect()
{
    if (!pipe_) {
        QVX_TRACE(trace::kError, 10, L"Connect without a pipe", name_);
        state_ = PipeState::Error;
        return ERROR_INVALID_HANDLE;
    }
    BOOL connected = FALSE;
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        SetEvent(overlapped_.hEvent);
        HANDLE event = overlapped_.hEvent;
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event;
        connected = ConnectNamedPipe(pipe_.Get(), &overlapped_);
        error = GetLastError();
        // A client that came and went before the connect leaves the instance
        // to be disconnected; it is not a reason to stop serving.
        if (connected || error != ERROR_NO_DATA)
            break;
        DisconnectNamedPipe(pipe_.Get());
    }
    if (!connected && error == ERROR_IO_PENDING) {
        state_ = PipeState::Connecting;
        return ERROR_SUCCESS;
    }
    if (!connected && error == ERROR_PIPE_CONNECTED) {
        state_ = PipeState::Connected;
        SetEvent(overlapped_.hEvent);
        return ERROR_SUCCESS;
    }
    // An overlapped connect never completes at once; a report of success is
    // as unusable as a failure.
    if (connected || error == ERROR_SUCCESS)
        error = ERROR_INVALID_FUNCTION;
    QVX_TRACE(trace::kError, 11, L"ConnectNamedPipe failed", name_, error);
    state_ = PipeState::Error;
    return error;
}

DWORD SVHServerPipe::Disconnect()
{
    // Whatever the dropped client left half-read or unanswered must not
    // become part of the next client's exchange.
    request_.clear();
    reply_.clear();
    bytesToWrite_ = 0;
    if (!pipe_)
        return ERROR_SUCCESS;
    if (!DisconnectNamedPipe(pipe_.Get())) {
        DWORD error = GetLastError();
        // An instance with no client (or one still listening, which some
        // systems refuse to disconnect) has nothing to drop.
        if (error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_PIPE_LISTENING)
            return ERROR_SUCCESS;
        QVX_TRACE(trace::kWarning, 12, L"DisconnectNamedPipe failed", name_, error);
        return error;
    }
    return ERROR_SUCCESS;
}

void SVHServerPipe::WaitForClientToLeave(DWORD timeoutMs)
{
    KernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!pipe_ || !event)
        return;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    BYTE scratch[kRequestChunkBytes];
    DWORD bytes = 0;
    // A read ends when the client closes its end (or sends more).
    if (ReadFile(pipe_.Get(), scratch, sizeof(scratch), nullptr, &overlapped) || GetLastError() != ERROR_IO_PENDING)
        return;
    if (WaitForSingleObject(event.Get(), timeoutMs) != WAIT_OBJECT_0) {
        QVX_TRACE(trace::kWarning, 30, L"the client did not leave in time", name_, timeoutMs);
        CancelIoEx(pipe_.Get(), &overlapped);
    }
    GetOverlappedResult(pipe_.Get(), &overlapped, &bytes, TRUE);
}

DWORD SVHServerPipe::Reconnect()
{
    Disconnect();
    return Connect();
}

void SVHServerPipe::Trace(unsigned number) const
{
    QVX_TRACE(trace::kVerbose, number, name_, static_cast<const void*>(overlapped_.hEvent), PipeStateName(state_));
}

bool SVHServerPipe::ReadChunk(DWORD* bytesRead, DWORD* error)
{
    memset(readBuffer_, 0, sizeof(readBuffer_));
    HANDLE event = overlapped_.hEvent;
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event;
    *bytesRead = 0;
    BOOL done = ReadFile(pipe_.Get(), readBuffer_, sizeof(readBuffer_), bytesRead, &overlapped_);
    *error = done ? ERROR_SUCCESS : GetLastError();
    return done;
}

bool SVHServerPipe::AdvanceIo()
{
    Trace(13);
    if (IsInFlight(state_)) {
        DWORD bytes = 0;
        BOOL done = GetOverlappedResult(pipe_.Get(), &overlapped_, &bytes, FALSE);
        DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (!done && error == ERROR_IO_INCOMPLETE)
            return false;
        if (!done && error != ERROR_MORE_DATA) {
            QVX_TRACE(trace::kInfo, 14, L"transfer ended, client dropped", name_, PipeStateName(state_), error);
            Reconnect();
            return false;
        }
        switch (state_) {
        case PipeState::Connecting:
            state_ = PipeState::Connected;
            return false;
        case PipeState::PendingRead:
            if (bytes == 0) {
                Reconnect();
                return false;
            }
            AppendRequestChunk(request_, readBuffer_, bytes);
            if (error != ERROR_MORE_DATA) {
                state_ = PipeState::Writing;
                return true;
            }
            state_ = PipeState::Reading;
            break;
        default: // PendingWrite
            if (bytes != bytesToWrite_) {
                QVX_TRACE(trace::kWarning, 15, L"reply written in part, client dropped", name_, bytes, bytesToWrite_);
                Reconnect();
                return false;
            }
            reply_.clear();
            state_ = PipeState::Connected;
            return true;
        }
    }

    if (state_ == PipeState::Connected || state_ == PipeState::Reading) {
        DWORD bytes = 0;
        DWORD error = ERROR_SUCCESS;
        bool done = ReadChunk(&bytes, &error);
        if (done && bytes > 0) {
            AppendRequestChunk(request_, readBuffer_, bytes);
            state_ = PipeState::Writing;
            return true;
        }
        if (!done && (error == ERROR_IO_PENDING || error == ERROR_MORE_DATA)) {
            state_ = PipeState::PendingRead;
            return false;
        }
        QVX_TRACE(trace::kInfo, 16, L"read ended, client dropped", name_, error);
        Reconnect();
        return false;
    }

    if (state_ == PipeState::Writing) {
        bytesToWrite_ = static_cast<DWORD>((reply_.size() + 1) * sizeof(wchar_t));
        HANDLE event = overlapped_.hEvent;
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event;
        DWORD written = 0;
        BOOL done = WriteFile(pipe_.Get(), reply_.c_str(), bytesToWrite_, &written, &overlapped_);
        DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (done && written == bytesToWrite_) {
            reply_.clear();
            state_ = PipeState::Connected;
            return true;
        }
        if (!done && error == ERROR_IO_PENDING) {
            state_ = PipeState::PendingWrite;
            return false;
        }
        QVX_TRACE(trace::kInfo, 17, L"reply not written, client dropped", name_, error, written);
        Reconnect();
        return false;
    }
    return false;
}

bool SVHServerPipe::IsCommand(std::wstring_view name) const
{
    return !IsInFlight(state_) && qvx::IsCommand(request_, name);
}

std::wstring SVHServerPipe::TakeRequest()
{
    std::wstring request;
    request.swap(request_);
    return request;
}

void SVHServerPipe::SetReply(std::wstring text)
{
    reply_ = std::move(text);
}

void SVHServerPipe::WriteReply(std::wstring text)
{
    SetReply(std::move(text));
    AdvanceIo();
}

bool SVHServerPipe::IsRunning() const
{
    DWORD exitCode = 0;
    return thread_ && GetExitCodeThread(thread_.Get(), &exitCode) && exitCode == STILL_ACTIVE;
}

bool SVHServerPipe::Start(PipeCallback callback, HANDLE shutdownEvent, HostRuntime* runtime)
{
    if (IsRunning()) {
        // A thread that was asked to stop ends after its callback; it does
        // not serve on, so it is not a running thread.
        if (WaitForSingleObject(stopEvent_.Get(), 0) == WAIT_OBJECT_0) {
            QVX_TRACE(trace::kError, 24, L"I/O thread still ending, not started", name_);
            return false;
        }
        return true;
    }
    if (!shutdownEvent || !callback) {
        QVX_TRACE(trace::kError, 18, L"Start without shutdown event or callback", name_);
        return false;
    }
    callback_ = callback;
    shutdownEvent_ = shutdownEvent;
    runtime_ = runtime;
    // A Stop before leaves the stop event set; a new thread must not see it.
    ResetEvent(stopEvent_.Get());
    thread_.Reset(CreateThread(nullptr, 0, &SVHServerPipe::MessageIo, this, 0, nullptr));
    if (!thread_) {
        QVX_TRACE(trace::kError, 19, L"CreateThread failed", name_, GetLastError());
        return false;
    }
    return true;
}

bool SVHServerPipe::Stop(DWORD timeoutMs)
{
    if (!thread_)
        return true;
    SetEvent(stopEvent_.Get());
    DWORD result = WaitForSingleObject(thread_.Get(), timeoutMs);
    if (result != WAIT_OBJECT_0) {
        // A handler may run longer than the wait. The thread still works on
        // this instance, so its handle stays: IsRunning says so, and a later
        // Stop or the destructor waits for it again.
        QVX_TRACE(trace::kError, 20, L"I/O thread did not end in time", name_, result);
        return false;
    }
    thread_.Reset();
    return true;
}

DWORD WINAPI SVHServerPipe::MessageIo(void* context)
{
    return static_cast<SVHServerPipe*>(context)->RunMessageIo();
}

DWORD SVHServerPipe::RunMessageIo()
{
    for (;;) {
        HANDLE handles[3] = {stopEvent_.Get(), shutdownEvent_, overlapped_.hEvent};
        // An instance in "ERROR" has no way back, and one that does not
        // listen has no I/O to advance; the I/O event of either may stay
        // signalled, so they only wait for the end.
        bool idle = state_ == PipeState::Error || state_ == PipeState::NotConnected;
        DWORD count = idle ? 2 : 3;
        DWORD result = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1)
            return 0;
        if (result == WAIT_OBJECT_0 + 2) {
            callback_(*this);
            // A stop that gave up waiting during the callback lets the owner
            // close the shutdown event; the thread ends without waiting on
            // that handle again.
            if (WaitForSingleObject(stopEvent_.Get(), 0) == WAIT_OBJECT_0)
                return 0;
            if (state_ == PipeState::Error)
                QVX_TRACE(trace::kError, 21, L"instance out of service", name_);
            continue;
        }
        DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 22, L"invalid wait result", name_, result, error);
        RecordFailure(pipe_failure::kInvalidWaitResult, result, error, 0,
                      "ERROR: SVHServerPipe::MessageIo - Invalid wait result!");
        if (DiagnosticBlock* block = PublishedDiagnosticBlock()) {
            block->handleCount = 3;
            block->arrayAddress = Low32(handles);
            block->zero2 = 0;
            block->allOnes = 0xFFFFFFFF;
            for (size_t i = 0; i < 3; ++i)
                block->handles[i] = Low32(handles[i]);
        }
        AbortProcess();
    }
}

void CreatePipeServers(PipeServerList& servers, const wchar_t* pipeName, size_t count)
{
    static const DWORD kRetryPausesMs[] = {50, 100};
    for (size_t i = 0; i < count; ++i) {
        auto server = std::make_unique<SVHServerPipe>();
        DWORD error = server->Create(pipeName, kPipeMaxInstances, 0);
        for (DWORD pause : kRetryPausesMs) {
            if (error == ERROR_SUCCESS)
                break;
            Sleep(pause);
            error = server->Create(pipeName, kPipeMaxInstances, 0);
        }
        if (error != ERROR_SUCCESS) {
            QVX_TRACE(trace::kError, 23, L"control pipe cannot be created", pipeName, i, error);
            AbortProcess();
        }
        server->Connect();
        servers.push_back(std::move(server));
    }
}

bool StartPipeServers(PipeServerList& servers, PipeCallback callback, HANDLE shutdownEvent, HostRuntime* runtime)
{
    bool allStarted = true;
    for (auto& server : servers) {
        if (!server->Start(callback, shutdownEvent, runtime))
            allStarted = false;
    }
    return allStarted;
}

bool StopPipeServers(PipeServerList& servers, HANDLE shutdownEvent)
{
    if (shutdownEvent)
        SetEvent(shutdownEvent);
    bool allStopped = true;
    for (auto& server : servers) {
        if (!server->Stop(kPipeStopTimeoutMs))
            allStopped = false;
    }
    return allStopped;
}

} // namespace qvx
