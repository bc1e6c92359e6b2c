#include <gtest/gtest.h>

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "engine/listener_messages.h"
#include "engine/listener_pipe.h"
#include "platform/companion_interfaces.h"
#include "platform/handles.h"
#include "platform/wide_text.h"
#include "protocol/pipe_server.h"
#include "tests/protocol/pipe_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

// The control pipe's side of a DLL service's run: what the service sent,
// and the start argument "1" (a heartbeat every second) for its start.
std::mutex g_requestsLock;
std::vector<std::wstring> g_requests;

void RecordingCallback(SVHServerPipe& pipe)
{
    if (!pipe.AdvanceIo() || pipe.State() != PipeState::Writing)
        return;
    const std::wstring request = pipe.TakeRequest();
    {
        std::lock_guard<std::mutex> guard(g_requestsLock);
        g_requests.push_back(request);
    }
    if (request.rfind(L"SERVICE_START_PENDING,", 0) == 0) {
        pipe.WriteReply(L"SERVICE_START_PENDING,1,1");
        return;
    }
    // A state report gets no reply: the reporter waits for the host to
    // close the connection.
    pipe.Reconnect();
}

std::vector<std::wstring> Requests()
{
    std::lock_guard<std::mutex> guard(g_requestsLock);
    return g_requests;
}

bool WaitForRequest(const std::wstring& request)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        for (const std::wstring& got : Requests()) {
            if (got == request)
                return true;
        }
        Sleep(50);
    }
    return false;
}

std::string ReadLog(const std::wstring& path)
{
    KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    std::string bytes(65536, '\0');
    DWORD read = 0;
    if (!file.IsValid() || !ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
        return {};
    bytes.resize(read);
    return bytes;
}

struct RunArgs {
    SvhControl* control;
    SERVICE_TABLE_ENTRYW* table;
    const wchar_t* name;
    BOOL result;
    DWORD error;
};

DWORD WINAPI RunTable(void* context)
{
    auto* args = static_cast<RunArgs*>(context);
    args->result = args->control->RunServiceTable(args->table, 1, args->name);
    args->error = args->result ? 0 : GetLastError();
    return 0;
}

// The sample DLL service run as the host runs it, through the hosting
// stand-in: it reports its start and running state, beats while it runs,
// and ends on STOP as on SHUTDOWN with its stopped report, its run over.
TEST(SampleDllService, RunsBeatsAndStopsOnStopAndShutdown)
{
    test::RunningPipeServers host(RecordingCallback, 2);
    ASSERT_TRUE(host.Started());
    HMODULE hosting = LoadLibraryW(test::BuiltProgramPath(L"qvxsvha.dll").c_str());
    ASSERT_NE(hosting, nullptr) << GetLastError();
    using GetInterfaceFn = HRESULT(WINAPI*)(const char*, void**);
    using SetPipeFn = void(WINAPI*)(const wchar_t*);
    auto getInterface = reinterpret_cast<GetInterfaceFn>(
        reinterpret_cast<void*>(GetProcAddress(hosting, "NotComDllGetInterface")));
    auto setPipe = reinterpret_cast<SetPipeFn>(reinterpret_cast<void*>(GetProcAddress(hosting, "QvxStandInSetPipeName")));
    ASSERT_TRUE(getInterface && setPipe);
    setPipe(host.Name().c_str());
    void* raw = nullptr;
    ASSERT_EQ(getInterface(kSvhControlInterface, &raw), S_OK);
    auto* control = static_cast<SvhControl*>(raw);

    struct Case {
        const char* name;
        std::wstring (*message)(std::wstring_view);
        const char* logged;
    };
    const Case cases[] = {
        {"stop", &StopMessage, "stop requested"},
        {"shutdown", &ShutdownMessage, "shutdown requested"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> guard(g_requestsLock);
            g_requests.clear();
        }
        const std::wstring name = test::UniqueName(L"qvxtest-sampledll");
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        const std::wstring log = std::wstring(temp) + name + L".log";
        ASSERT_TRUE(SetEnvironmentVariableW(L"QVXSAMPLE_LOG", log.c_str()));
        // The host makes the service's mutex before the start.
        KernelHandle mutex(CreateMutexW(nullptr, FALSE, ToLowerAscii(name + L"_mutex").c_str()));
        ASSERT_TRUE(mutex.IsValid());
        HMODULE sample = LoadLibraryW(test::BuiltProgramPath(L"qvxsampledll.dll").c_str());
        ASSERT_NE(sample, nullptr) << GetLastError();
        auto entry = reinterpret_cast<LPSERVICE_MAIN_FUNCTIONW>(reinterpret_cast<void*>(GetProcAddress(sample, "ServiceMain")));
        ASSERT_NE(entry, nullptr);

        std::wstring tableName = name;
        SERVICE_TABLE_ENTRYW table[] = {{tableName.data(), entry}, {nullptr, nullptr}};
        RunArgs args{control, table, name.c_str(), FALSE, 0};
        KernelHandle thread(CreateThread(nullptr, 0, &RunTable, &args, 0, nullptr));
        ASSERT_TRUE(thread.IsValid());

        const std::wstring listener = L"\\\\.\\pipe\\" + name + L"_qvxsvh_listenerpipe";
        EXPECT_TRUE(WaitForRequest(L"SET_SERVICE_STATUS," + name + L",SERVICE_RUNNING")) << "no running report";
        std::wstring state;
        EXPECT_EQ(TransactListenerMessage(listener.c_str(), InterrogateMessage(name), state), 0u);
        EXPECT_EQ(state, L"SERVICE_RUNNING");
        bool beat = false;
        for (int attempt = 0; attempt < 100 && !beat; ++attempt) {
            beat = ReadLog(log).find("heartbeat 1") != std::string::npos;
            if (!beat)
                Sleep(50);
        }
        EXPECT_TRUE(beat) << ReadLog(log);

        EXPECT_EQ(PostListenerMessage(listener.c_str(), c.message(name), 5000), 0u);
        // A run that does not end leaves its thread behind: the DLL stays
        // loaded and the test goes on to report it.
        ASSERT_EQ(WaitForSingleObject(thread.Get(), 10000), WAIT_OBJECT_0) << "the service did not stop";
        EXPECT_TRUE(args.result) << args.error;
        EXPECT_EQ(Requests(), (std::vector<std::wstring>{L"SERVICE_START_PENDING," + name,
                                                         L"SET_SERVICE_STATUS," + name + L",SERVICE_RUNNING",
                                                         L"SET_SERVICE_STATUS," + name + L",SERVICE_STOPPED"}));
        const std::string text = ReadLog(log);
        EXPECT_NE(text.find(c.logged), std::string::npos) << text;
        EXPECT_NE(text.find("stopped after"), std::string::npos) << text;
        // The run gave the mutex back.
        const DWORD taken = WaitForSingleObject(mutex.Get(), 0);
        EXPECT_TRUE(taken == WAIT_OBJECT_0) << taken;
        if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED)
            ReleaseMutex(mutex.Get());
        FreeLibrary(sample);
        DeleteFileW(log.c_str());
    }
    SetEnvironmentVariableW(L"QVXSAMPLE_LOG", nullptr);
    control->Release();
}

} // namespace
} // namespace qvx
