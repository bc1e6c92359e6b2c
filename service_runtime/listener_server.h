#pragma once
// The server of a hosted process's listener pipe: a few message-mode
// instances, each on a thread of its own, that read one message per
// connection, hand it to the handler and write the handler's reply, if any.

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace qvx::hosted {

class ListenerServer {
public:
    // The reply to a message; nullopt for a message that gets none.
    using Handler = std::function<std::optional<std::wstring>(const std::wstring& message)>;

    ListenerServer() = default;
    ~ListenerServer();
    ListenerServer(const ListenerServer&) = delete;
    ListenerServer& operator=(const ListenerServer&) = delete;

    // Creates the instances and starts serving. `clientTimeoutMs` bounds how
    // long an instance waits for a client that neither sends nor closes.
    DWORD Start(const std::wstring& pipeName, Handler handler, DWORD clientTimeoutMs);
    // Ends every instance and waits for their threads; the handler is not
    // called after this returns.
    void Stop();

private:
    struct Instance {
        ListenerServer* server = nullptr;
        KernelHandle pipe;
        KernelHandle ioEvent;
        KernelHandle thread;
    };

    static DWORD WINAPI InstanceThread(void* parameter);
    void Serve(Instance& instance);
    DWORD Wait(Instance& instance, OVERLAPPED* overlapped, BOOL started, DWORD timeoutMs, DWORD* bytes);
    bool ReadMessage(Instance& instance, std::wstring* message);

    std::wstring pipeName_;
    Handler handler_;
    DWORD clientTimeoutMs_ = 0;
    KernelHandle quitEvent_;
    std::vector<std::unique_ptr<Instance>> instances_;
};

} // namespace qvx::hosted
