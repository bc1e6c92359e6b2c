#pragma once
// Stands in for the management service's control pipe in tests that play
// the host's side of a hosted service: answers each request from a table
// set by the test, takes state reports without a reply, as the host does,
// and keeps every request in arrival order.

#include <windows.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/handles.h"

namespace qvx::test {

class FakeControlPipe {
public:
    // `replies`: the reply to each request, matched whole. A start request
    // not in the table is answered "SERVICE_NOT_FOUND", any other one with
    // an empty reply.
    explicit FakeControlPipe(std::map<std::wstring, std::wstring> replies = {});
    ~FakeControlPipe();
    FakeControlPipe(const FakeControlPipe&) = delete;
    FakeControlPipe& operator=(const FakeControlPipe&) = delete;

    const std::wstring& Name() const { return name_; }

    void SetReply(const std::wstring& request, const std::wstring& reply);
    // The reply to "SERVICE_START_PENDING,<service>".
    void SetStartReply(const std::wstring& service, const std::wstring& reply)
    {
        SetReply(L"SERVICE_START_PENDING," + service, reply);
    }

    std::vector<std::wstring> Requests() const;
    long Count(const std::wstring& request) const;
    bool Received(const std::wstring& request) const { return Count(request) > 0; }
    // Waits until `request` has come in `times` times; bounded so that a
    // hang fails the test instead of running into the CTest time-out.
    bool WaitFor(const std::wstring& request, long times = 1) const;

private:
    void Serve(const KernelHandle& pipe);

    const std::wstring name_;
    KernelHandle changed_;
    std::atomic<bool> quit_{false};
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::map<std::wstring, std::wstring> replies_;
    std::vector<std::wstring> requests_;
    std::vector<std::thread> threads_;
};

} // namespace qvx::test
