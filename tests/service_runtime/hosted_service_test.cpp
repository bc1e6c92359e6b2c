#include "service_runtime/hosted_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "platform/handles.h"
#include "platform/locks.h"
#include "platform/trace.h"
#include "service_runtime/listener_messages.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_control_pipe.h"
#include "tests/support/unique_name.h"

namespace qvx::hosted {
namespace {

// Waits on events are bounded only so that a hang fails the test instead of
// running into the CTest time-out.
constexpr DWORD kHangMs = test::kChildDeadlineMs;

using test::FakeControlPipe;

// The callbacks of one service, recording what they were given.
struct RecordingService {
    RecordingService(const FakeControlPipe& control, std::wstring serviceName)
        : control(control), name(std::move(serviceName))
    {
    }

    HostedServiceCallbacks Callbacks()
    {
        HostedServiceCallbacks callbacks;
        callbacks.start = [](void* context, const std::vector<std::wstring>& arguments) -> DWORD {
            auto* self = static_cast<RecordingService*>(context);
            {
                SrwExclusiveGuard guard(self->lock);
                self->arguments = arguments;
            }
            SetEvent(self->started.Get());
            return self->startResult;
        };
        callbacks.stop = [](void* context) { static_cast<RecordingService*>(context)->Ended(false); };
        callbacks.shutdown = [](void* context) { static_cast<RecordingService*>(context)->Ended(true); };
        callbacks.powerChange = [](void* context) {
            SetEvent(static_cast<RecordingService*>(context)->powerChanged.Get());
        };
        callbacks.control = [](void* context, DWORD code, DWORD eventType, const std::vector<BYTE>& data) {
            auto* self = static_cast<RecordingService*>(context);
            {
                SrwExclusiveGuard guard(self->lock);
                self->controls.push_back({code, eventType, data});
            }
            SetEvent(self->controlled.Get());
        };
        callbacks.context = this;
        return callbacks;
    }

    void Ended(bool byShutdown)
    {
        // The service must end its work before it is reported stopped.
        stoppedReportedEarly = control.Received(Status(L"SERVICE_STOPPED"));
        (byShutdown ? shutDown : stopped).Reset(CreateEventW(nullptr, TRUE, TRUE, nullptr));
        SetEvent(ended.Get());
    }

    std::wstring Status(const wchar_t* state) const { return L"SET_SERVICE_STATUS," + name + L"," + state; }
    std::wstring MutexName() const { return name + L"_mutex"; }
    std::wstring ListenerPipe() const { return L"\\\\.\\pipe\\" + name + L"_qvxsvh_listenerpipe"; }

    struct Control {
        DWORD code;
        DWORD eventType;
        std::vector<BYTE> data;
    };

    const FakeControlPipe& control;
    const std::wstring name;
    DWORD startResult = ERROR_SUCCESS;
    KernelHandle started{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    KernelHandle ended{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    KernelHandle powerChanged{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    KernelHandle controlled{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    KernelHandle stopped;
    KernelHandle shutDown;
    std::atomic<bool> stoppedReportedEarly{false};
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<std::wstring> arguments;
    std::vector<Control> controls;
};

bool Signalled(const KernelHandle& event, DWORD timeoutMs = kHangMs)
{
    return WaitForSingleObject(event.Get(), timeoutMs) == WAIT_OBJECT_0;
}

HANDLE OpenListener(const std::wstring& pipe)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE handle =
            CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(handle, &mode, nullptr, nullptr);
            return handle;
        }
        if (GetLastError() != ERROR_PIPE_BUSY)
            return INVALID_HANDLE_VALUE;
        WaitNamedPipeW(pipe.c_str(), 1000);
    }
    return INVALID_HANDLE_VALUE;
}

// As the management service asks: one transaction per connection. The
// reply text, or "<error N>".
std::wstring Transact(const std::wstring& pipe, const std::wstring& message)
{
    KernelHandle handle(OpenListener(pipe));
    if (!handle)
        return L"<error " + std::to_wstring(GetLastError()) + L">";
    wchar_t reply[1024] = {};
    DWORD bytes = 0;
    if (!TransactNamedPipe(handle.Get(), const_cast<wchar_t*>(message.c_str()),
                           static_cast<DWORD>((message.size() + 1) * sizeof(wchar_t)), reply, sizeof(reply) - 2,
                           &bytes, nullptr))
        return L"<error " + std::to_wstring(GetLastError()) + L">";
    if (bytes < sizeof(wchar_t) || reply[bytes / sizeof(wchar_t) - 1] != L'\0')
        return L"<reply without its NUL>";
    return reply;
}

// As the management service posts: write, close, read nothing.
bool Post(const std::wstring& pipe, const std::wstring& message)
{
    KernelHandle handle(OpenListener(pipe));
    DWORD written = 0;
    return handle && WriteFile(handle.Get(), message.c_str(), static_cast<DWORD>((message.size() + 1) * sizeof(wchar_t)),
                               &written, nullptr);
}

// Signals when a trace point holding `text` is written: how a test knows
// that a message which changes nothing has been handled.
class TraceWaiter {
public:
    explicit TraceWaiter(std::wstring text) : text_(std::move(text)) { trace::SetObserver(&Observe, this); }
    ~TraceWaiter() { trace::SetObserver(nullptr, nullptr); }
    TraceWaiter(const TraceWaiter&) = delete;
    TraceWaiter& operator=(const TraceWaiter&) = delete;

    bool Seen() const { return Signalled(seen_); }

private:
    static void Observe(const trace::Record& record, void* context)
    {
        auto* self = static_cast<TraceWaiter*>(context);
        if (record.text.find(self->text_) != std::wstring::npos)
            SetEvent(self->seen_.Get());
    }

    const std::wstring text_;
    KernelHandle seen_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// The runtime on a thread of this process, as a hosted process runs it, with
// the management service's side played by the test: it creates the
// service's mutex before the start, as the launcher does.
class HostedRun {
public:
    HostedRun(FakeControlPipe& control, RecordingService& service, DWORD mutexWaitMs = 5000)
        : service_(service)
    {
        hostMutex_.Reset(CreateMutexW(nullptr, FALSE, service.MutexName().c_str()));
        options_.controlPipeName = control.Name();
        options_.mutexWaitMs = mutexWaitMs;
        thread_ = std::thread([this] {
            result_ = RunHostedService(service_.name.c_str(), service_.Callbacks(), options_);
            SetEvent(done_.Get());
        });
    }
    ~HostedRun()
    {
        if (thread_.joinable()) {
            if (!Finished(0))
                Post(service_.ListenerPipe(), L"SERVICE_CONTROL_STOP," + service_.name);
            thread_.join();
        }
    }

    bool Finished(DWORD timeoutMs = kHangMs) { return Signalled(done_, timeoutMs); }
    int Result() const { return result_; }
    HANDLE HostMutex() const { return hostMutex_.Get(); }

private:
    RecordingService& service_;
    HostedServiceOptions options_;
    KernelHandle hostMutex_;
    KernelHandle done_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<int> result_{-1};
    std::thread thread_;
};

// Whether another thread can take the mutex, and how: WAIT_OBJECT_0 after a
// clean release, WAIT_ABANDONED when its owner ended without one,
// WAIT_TIMEOUT while it is held. A release that may still be under way is
// waited for.
DWORD TakeFromAnotherThread(HANDLE mutex, DWORD timeoutMs = 0)
{
    DWORD result = WAIT_FAILED;
    std::thread([&] {
        result = WaitForSingleObject(mutex, timeoutMs);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
            ReleaseMutex(mutex);
    }).join();
    return result;
}

class HostedServiceTest : public testing::Test {
protected:
    void SetUp() override
    {
        control_.SetStartReply(first_.name, L"SERVICE_START_PENDING,2,alpha \"b c\"");
        control_.SetStartReply(second_.name, L"SERVICE_START_PENDING,0,EMPTY");
        ASSERT_EQ(RegisterHostedService(second_.name.c_str(), second_.Callbacks()), 0u);
        run_ = std::make_unique<HostedRun>(control_, first_);
        ASSERT_TRUE(control_.WaitFor(first_.Status(L"SERVICE_RUNNING"))) << "no running report";
    }

    // The run lasts while any of its services runs: a test that stopped
    // half-way leaves the further service to stop too.
    void TearDown() override
    {
        if (run_ && !run_->Finished(0))
            Post(first_.ListenerPipe(), L"SERVICE_CONTROL_STOP," + second_.name);
    }

    FakeControlPipe control_;
    RecordingService first_{control_, test::UniqueName(L"svcrt")};
    RecordingService second_{control_, test::UniqueName(L"svcrt")};
    std::unique_ptr<HostedRun> run_;
};

TEST_F(HostedServiceTest, StartsWithTheHostsArgumentsHoldingItsMutexAndReportsRunning)
{
    {
        SrwSharedGuard guard(first_.lock);
        EXPECT_EQ(first_.arguments, (std::vector<std::wstring>{L"alpha", L"b c"}));
    }
    const std::vector<std::wstring> expected = {L"SERVICE_START_PENDING," + first_.name,
                                                first_.Status(L"SERVICE_RUNNING")};
    EXPECT_EQ(control_.Requests(), expected);
    EXPECT_EQ(TakeFromAnotherThread(run_->HostMutex()), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(Signalled(second_.started, 0)) << "a registered service starts only when asked";
}

TEST_F(HostedServiceTest, ListenerAnswersEveryTransaction)
{
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    std::wstring upper = first_.name;
    std::transform(upper.begin(), upper.end(), upper.begin(), towupper);
    struct Case {
        std::wstring message;
        std::wstring reply;
    };
    const Case cases[] = {
        {L"PING", L"ACK"},
        {L"ping", L"ACK"},
        {L"PING,", L"ACK"},
        {L"PINGS", L""},
        {L"NO_SUCH_MESSAGE," + first_.name, L""},
        {L"QUERY_PROCESS_ID," + first_.name, pid},
        {L"QUERY_PROCESS_ID," + upper, pid},
        {L"QUERY_PROCESS_ID,elsewhere", L"0"},
        {L"SERVICE_CONTROL_INTERROGATE," + first_.name, L"SERVICE_RUNNING"},
        {L"SERVICE_CONTROL_INTERROGATE," + second_.name, L"SERVICE_STOPPED"},
        {L"SERVICE_CONTROL_INTERROGATE,elsewhere", L"INVALID_SERVICE_STATE"},
        {L"SERVICE_CONTROL_INTERROGATE", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.message.begin(), c.message.end()));
        EXPECT_EQ(Transact(first_.ListenerPipe(), c.message), c.reply);
    }
}

TEST_F(HostedServiceTest, ForwardedControlsArriveWithTheirDataDecodedAndPowerChangesAreCalledBack)
{
    const std::wstring head = L"SERVICE_CONTROL_QVX_MISC," + first_.name + L",";
    ASSERT_TRUE(Post(first_.ListenerPipe(), head + L"32787,5,8,AP8A/+3+"));
    ASSERT_TRUE(Signalled(first_.controlled));
    ASSERT_TRUE(Post(first_.ListenerPipe(), head + L"13,0,0,0"));
    ASSERT_TRUE(Signalled(first_.controlled));
    ASSERT_TRUE(Post(first_.ListenerPipe(), L"SERVICE_CONTROL_QVX_POWER_STATE_CHANGE," + first_.name));
    EXPECT_TRUE(Signalled(first_.powerChanged));

    SrwSharedGuard guard(first_.lock);
    ASSERT_EQ(first_.controls.size(), 2u);
    EXPECT_EQ(first_.controls[0].code, 32787u);
    EXPECT_EQ(first_.controls[0].eventType, 5u);
    EXPECT_EQ(first_.controls[0].data, (std::vector<BYTE>{0x00, 0xFF, 0x00, 0xFF, 0xED, 0xFE}));
    EXPECT_EQ(first_.controls[1].code, 13u);
    EXPECT_TRUE(first_.controls[1].data.empty());
}

TEST_F(HostedServiceTest, AFurtherServiceStartsAndStopsOnTheFirstOnesPipe)
{
    KernelHandle secondMutex(CreateMutexW(nullptr, FALSE, second_.MutexName().c_str()));
    ASSERT_TRUE(Post(first_.ListenerPipe(), L"START_SERVICE," + second_.name));
    ASSERT_TRUE(control_.WaitFor(second_.Status(L"SERVICE_RUNNING")));
    EXPECT_TRUE(control_.Received(L"SERVICE_START_PENDING," + second_.name));
    EXPECT_TRUE(Signalled(second_.started, 0));
    EXPECT_EQ(TakeFromAnotherThread(secondMutex.Get()), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(Transact(first_.ListenerPipe(), L"SERVICE_CONTROL_INTERROGATE," + second_.name), L"SERVICE_RUNNING");
    EXPECT_EQ(Transact(first_.ListenerPipe(), L"QUERY_PROCESS_ID," + second_.name),
              std::to_wstring(GetCurrentProcessId()));

    {
        // A second START_SERVICE of a running service changes nothing.
        TraceWaiter refused(L"it runs already");
        ASSERT_TRUE(Post(first_.ListenerPipe(), L"START_SERVICE," + second_.name));
        ASSERT_TRUE(refused.Seen());
    }

    ASSERT_TRUE(Post(first_.ListenerPipe(), L"SERVICE_CONTROL_STOP," + second_.name));
    ASSERT_TRUE(control_.WaitFor(second_.Status(L"SERVICE_STOPPED")));
    EXPECT_TRUE(Signalled(second_.stopped, 0));
    EXPECT_FALSE(second_.stoppedReportedEarly);
    EXPECT_EQ(TakeFromAnotherThread(secondMutex.Get(), kHangMs), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(control_.Count(L"SERVICE_START_PENDING," + second_.name), 1) << "a running service was started again";

    // A stopped service starts again when asked.
    ASSERT_TRUE(Post(first_.ListenerPipe(), L"START_SERVICE," + second_.name));
    ASSERT_TRUE(control_.WaitFor(L"SERVICE_START_PENDING," + second_.name, 2));
    ASSERT_TRUE(control_.WaitFor(second_.Status(L"SERVICE_RUNNING"), 2));
    EXPECT_EQ(TakeFromAnotherThread(secondMutex.Get()), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(Post(first_.ListenerPipe(), L"SERVICE_CONTROL_STOP," + second_.name));
    ASSERT_TRUE(control_.WaitFor(second_.Status(L"SERVICE_STOPPED"), 2));

    // The first service and its pipe carry on.
    EXPECT_FALSE(run_->Finished(0));
    EXPECT_EQ(Transact(first_.ListenerPipe(), L"SERVICE_CONTROL_INTERROGATE," + first_.name), L"SERVICE_RUNNING");
    EXPECT_EQ(Transact(first_.ListenerPipe(), L"SERVICE_CONTROL_INTERROGATE," + second_.name), L"SERVICE_STOPPED");
}

TEST(HostedServiceStop, StopAndShutdownEndTheServiceBeforeItIsReportedStoppedAndFreeTheMutex)
{
    struct Case {
        const char* name;
        const wchar_t* message;
        bool shutdown;
    };
    const Case cases[] = {{"stop", L"SERVICE_CONTROL_STOP", false}, {"shutdown", L"SERVICE_CONTROL_SHUTDOWN", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeControlPipe control;
        RecordingService service(control, test::UniqueName(L"svcrt"));
        control.SetStartReply(service.name, L"SERVICE_START_PENDING,0,EMPTY");
        HostedRun run(control, service);
        ASSERT_TRUE(control.WaitFor(service.Status(L"SERVICE_RUNNING")));

        ASSERT_TRUE(Post(service.ListenerPipe(), std::wstring(c.message) + L"," + service.name));
        ASSERT_TRUE(run.Finished());
        EXPECT_EQ(run.Result(), 0);
        EXPECT_EQ(static_cast<bool>(service.shutDown), c.shutdown);
        EXPECT_EQ(static_cast<bool>(service.stopped), !c.shutdown);
        EXPECT_FALSE(service.stoppedReportedEarly);
        EXPECT_TRUE(control.Received(service.Status(L"SERVICE_STOPPED")));
        EXPECT_EQ(TakeFromAnotherThread(run.HostMutex()), static_cast<DWORD>(WAIT_OBJECT_0));
        HANDLE gone = CreateFileW(service.ListenerPipe().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(gone, INVALID_HANDLE_VALUE) << "the listener pipe outlived the service";
        if (gone != INVALID_HANDLE_VALUE)
            CloseHandle(gone);
    }
}

TEST(HostedServiceStart, AStartThatCannotRunEndsWithItsCodeAndLeavesTheMutexFree)
{
    struct Case {
        const char* name;
        std::wstring startReply;
        DWORD startResult;
        bool mutexHeldElsewhere;
        int exitCode;
        bool startCalled;
        bool reportsStopped;
    };
    const Case cases[] = {
        {"start callback fails", L"SERVICE_START_PENDING,0,EMPTY", ERROR_BAD_CONFIGURATION, false,
         ERROR_BAD_CONFIGURATION, true, true},
        {"host does not know the service", L"SERVICE_NOT_FOUND", 0, false, ERROR_SERVICE_DOES_NOT_EXIST, false,
         false},
        {"another copy holds the mutex", L"SERVICE_START_PENDING,0,EMPTY", 0, true, ERROR_SERVICE_ALREADY_RUNNING,
         false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeControlPipe control;
        RecordingService service(control, test::UniqueName(L"svcrt"));
        service.startResult = c.startResult;
        control.SetStartReply(service.name, c.startReply);
        KernelHandle otherCopy;
        std::thread holder;
        KernelHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        KernelHandle held(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (c.mutexHeldElsewhere) {
            holder = std::thread([&] {
                KernelHandle mutex(CreateMutexW(nullptr, TRUE, service.MutexName().c_str()));
                SetEvent(held.Get());
                WaitForSingleObject(release.Get(), INFINITE);
                ReleaseMutex(mutex.Get());
            });
            ASSERT_TRUE(Signalled(held));
        }
        {
            HostedRun run(control, service, 0);
            ASSERT_TRUE(run.Finished());
            EXPECT_EQ(run.Result(), c.exitCode);
            EXPECT_EQ(Signalled(service.started, 0), c.startCalled);
            EXPECT_FALSE(control.Received(service.Status(L"SERVICE_RUNNING")));
            EXPECT_EQ(control.Received(service.Status(L"SERVICE_STOPPED")), c.reportsStopped);
            EXPECT_EQ(control.Received(L"SERVICE_START_PENDING," + service.name), !c.mutexHeldElsewhere);
            if (!c.mutexHeldElsewhere) {
                EXPECT_EQ(TakeFromAnotherThread(run.HostMutex()), static_cast<DWORD>(WAIT_OBJECT_0));
            }
        }
        if (holder.joinable()) {
            SetEvent(release.Get());
            holder.join();
        }
    }
}

} // namespace
} // namespace qvx::hosted
