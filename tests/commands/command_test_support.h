#pragma once
// A host in miniature for the command handlers: a private service key, a
// service table published to the handlers, control-pipe instances on a
// private name served by Dispatch, and an event reporter that records what
// would go to the event log.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "engine/event_report.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "platform/handles.h"
#include "platform/locks.h"
#include "platform/registry_value.h"
#include "platform/wide_text.h"
#include "protocol/command_context.h"
#include "protocol/control_client.h"
#include "protocol/dispatcher.h"
#include "runtime/host_runtime.h"
#include "tests/protocol/pipe_test_support.h"
#include "tests/support/event_recorder.h"
#include "tests/support/test_service_key.h"

namespace qvx::test {

// An app profile in the host's vocabulary: an own-process service in the
// normal wave with the given extra elements.
inline std::wstring Profile(const std::wstring& name, const std::wstring& extra = L"")
{
    return L"<Service><Name>" + name +
           L"</Name><StartupProfile>SERVICE_START_NORMAL</StartupProfile>"
           L"<ServiceType>SERVICE_WIN32_OWN_PROCESS</ServiceType><SVHServiceType>SERVICE_TYPE_SVH</SVHServiceType>"
           L"<BinaryPath>C:\\svc\\" +
           name + L".exe</BinaryPath>" + extra + L"</Service>";
}

class CommandHost : public testing::Test {
protected:
    CommandHost() { runtime_.PublishTable(&table_); }

    void SetUp() override
    {
        ASSERT_TRUE(servers_.Started());
        ASSERT_EQ(client_.Open(servers_.Name(), kIoTimeoutMs), 0u);
    }

    // The reply's text; its size on the wire when asked for.
    std::wstring Ask(const std::wstring& request, size_t* wireBytes = nullptr)
    {
        std::wstring reply;
        std::vector<BYTE> raw;
        EXPECT_EQ(client_.Send(request, kIoTimeoutMs), 0u) << WideToUtf8(request);
        EXPECT_EQ(client_.Receive(reply, kIoTimeoutMs, &raw), 0u) << WideToUtf8(request);
        if (wireBytes)
            *wireBytes = raw.size();
        return reply;
    }

    void Create(const std::wstring& name, const std::wstring& extra = L"")
    {
        ASSERT_EQ(Ask(L"CREATE_SERVICE," + name + L"," + Profile(name, extra)), L"ACK") << WideToUtf8(name);
    }

    ServiceRecord* Find(const std::wstring& name) { return table_.FindByName(name); }

    // The service's stored key; invalid when there is none.
    RegKey StoredKey(const std::wstring& name) const { return key_.Open(L"Services\\" + name); }

    std::wstring StoredText(const std::wstring& name, const wchar_t* value) const
    {
        std::wstring text;
        RegKey key = StoredKey(name);
        if (!key.IsValid() || !ReadText(key.Get(), value, text, 4096))
            return L"(missing)";
        return text;
    }

    DWORD StoredNumber(const std::wstring& name, const wchar_t* value) const
    {
        DWORD number = 0xFFFFFFFF;
        RegKey key = StoredKey(name);
        if (key.IsValid())
            ReadDword(key.Get(), value, number);
        return number;
    }

    TestServiceKey key_;
    ServiceTable table_;
    HostRuntime runtime_;
    EventRecorder events_;
    RunningPipeServers servers_{Dispatch, 2, &runtime_};
    ControlConnection client_;
};

} // namespace qvx::test
