#pragma once
// One server instance of the control pipe. It owns one message-mode pipe
// handle, serves one client at a time with overlapped I/O, assembles
// requests from 2048-byte chunks and writes replies, and runs an I/O thread
// that calls a callback (the dispatcher) whenever its I/O event is
// signalled. The management service runs ten instances on one pipe name.

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/handles.h"
#include "protocol/message_codec.h"

namespace qvx {

class HostRuntime;

enum class PipeState : DWORD {
    NotConnected = 0, // no client; not listening
    Connected = 1,    // client connected, idle: the next step starts a read
    Connecting = 2,   // listening; connect in flight
    PendingRead = 3,  // read in flight
    Reading = 4,      // part of a message read, more waiting
    PendingWrite = 5, // write in flight
    Writing = 6,      // a complete request waits for its reply
    Error = 7,        // connect or create failed; the instance serves no more clients
};

// "NOTCONNECTED", "CONNECTED", ..., "ERROR"; "UNKNOWN" for other values.
const wchar_t* PipeStateName(PipeState state) noexcept;

class SVHServerPipe;
using PipeCallback = void (*)(SVHServerPipe& pipe);

// Failure codes written to the diagnostic block.
namespace pipe_failure {
inline constexpr uint32_t kMissingName = 0x0E0E0E01;
inline constexpr uint32_t kSidEntry0 = 0x0E0E0E02; // entries 1..3 follow
inline constexpr uint32_t kSetEntriesInAcl = 0x0E0E0E06;
inline constexpr uint32_t kAllocateDescriptor = 0x0E0E0E07;
inline constexpr uint32_t kInitializeDescriptor = 0x0E0E0E08;
inline constexpr uint32_t kSetDescriptorDacl = 0x0E0E0E09;
inline constexpr uint32_t kCreateNamedPipe = 0x0E0E0E0A;
inline constexpr uint32_t kInvalidWaitResult = 0x0E0E0E0B;
} // namespace pipe_failure

class SVHServerPipe {
public:
    SVHServerPipe();
    ~SVHServerPipe();
    SVHServerPipe(const SVHServerPipe&) = delete;
    SVHServerPipe& operator=(const SVHServerPipe&) = delete;

    // Opens the server end (message mode, overlapped, 64-byte buffers, the
    // instance's security descriptor). Returns a Windows error; on failure
    // the instance is in "ERROR".
    DWORD Create(const wchar_t* pipeName, DWORD maxInstances, DWORD defaultTimeoutMs);
    // Starts listening: "CONNECTING", or "CONNECTED" when a client came first.
    DWORD Connect();
    DWORD Disconnect();
    // Drops the client and listens again.
    DWORD Reconnect();

    // One step of the I/O state machine. True when the step completed a
    // request (now "WRITING") or a reply write (now "CONNECTED").
    bool AdvanceIo();

    // Whether the pending request is the command `name`; false while a
    // connect, read or write is in flight.
    bool IsCommand(std::wstring_view name) const;
    // Hands over the complete request text and empties the request buffer.
    std::wstring TakeRequest();
    // Sets the reply text; the next I/O step writes it.
    void SetReply(std::wstring text);
    // Sets the reply and runs the I/O step that writes it.
    void WriteReply(std::wstring text);
    // Waits at most `timeoutMs` for the client to close its end, which it
    // does once it has read the reply; whatever it sends meanwhile is
    // dropped. For a reply that must reach the client before the host closes
    // the instance, which throws away what the client has not read.
    void WaitForClientToLeave(DWORD timeoutMs);

    // The I/O thread: waits for the stop event, the shutdown event and the
    // I/O event and calls `callback` on every I/O completion. Start after
    // Connect: an instance that does not listen (or is in "ERROR") only
    // waits for the stop and shutdown events. `runtime` is the running
    // host's shared state the callback works on (none in a pipe that serves
    // no host); it must outlive the thread.
    // Start succeeds at once for a thread that runs and was not asked to
    // stop, and fails for one that was asked to stop but has not ended yet.
    bool Start(PipeCallback callback, HANDLE shutdownEvent, HostRuntime* runtime = nullptr);
    // Asks the thread to end and waits up to `timeoutMs`. False when it has
    // not ended: the instance keeps the thread (IsRunning stays true) and a
    // later Stop waits again. Destroying the instance waits for the thread
    // however long it takes.
    bool Stop(DWORD timeoutMs);
    bool IsRunning() const;

    PipeState State() const { return state_; }
    const std::wstring& Name() const { return name_; }
    HANDLE PipeHandle() const { return pipe_.Get(); }
    HANDLE IoEvent() const { return overlapped_.hEvent; }
    HANDLE IoThread() const { return thread_.Get(); }
    const std::wstring& PendingRequest() const { return request_; }
    HostRuntime* Runtime() const { return runtime_; }

private:
    DWORD BuildPipeSecurity();
    bool ReadChunk(DWORD* bytesRead, DWORD* error);
    void Trace(unsigned number) const;
    static DWORD WINAPI MessageIo(void* context);
    DWORD RunMessageIo();

    KernelHandle pipe_;
    std::wstring name_;
    OVERLAPPED overlapped_{};
    KernelHandle overlappedEvent_;
    std::wstring request_;
    BYTE readBuffer_[kRequestChunkBytes]{};
    std::wstring reply_;
    DWORD bytesToWrite_ = 0;
    PipeState state_ = PipeState::NotConnected;
    SECURITY_ATTRIBUTES securityAttributes_{};
    LocalMemory securityDescriptor_;
    LocalMemory dacl_;
    KernelHandle thread_;
    KernelHandle stopEvent_;
    HANDLE shutdownEvent_ = nullptr;
    PipeCallback callback_ = nullptr;
    HostRuntime* runtime_ = nullptr;
};

// The host's set of control-pipe instances.
using PipeServerList = std::vector<std::unique_ptr<SVHServerPipe>>;

inline constexpr size_t kPipeInstanceCount = 10;
inline constexpr DWORD kPipeMaxInstances = 255;
inline constexpr DWORD kPipeStopTimeoutMs = 1000;

// Creates `count` instances of `pipeName` and starts each listening. A
// Create that fails is tried again after 50 ms and after 100 ms; when the
// third attempt fails the process ends abnormally. An instance whose
// Connect fails stays in the list in "ERROR".
void CreatePipeServers(PipeServerList& servers, const wchar_t* pipeName = kControlPipeName,
                       size_t count = kPipeInstanceCount);
// Starts every instance's I/O thread; false when one could not be started.
bool StartPipeServers(PipeServerList& servers, PipeCallback callback, HANDLE shutdownEvent,
                      HostRuntime* runtime = nullptr);
// Sets the shutdown event and stops each instance within kPipeStopTimeoutMs;
// false when a thread did not end in time. The shutdown event may be closed
// afterwards; destroying the list waits for the threads that still run.
bool StopPipeServers(PipeServerList& servers, HANDLE shutdownEvent);

} // namespace qvx
