#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "platform/companion_interfaces.h"
#include "host/proxy_service.h"
#include "platform/handles.h"
#include "tests/entry/status_recorder.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

TEST(ProxyRegistryTest, HoldsTwoProxiesOfDistinctNames)
{
    ProxyServiceRegistry registry;
    ProxyService* trust = registry.Create(L"qvxtrust", SERVICE_WIN32_SHARE_PROCESS);
    ASSERT_NE(trust, nullptr);
    EXPECT_EQ(registry.Create(L"QVXTRUST", SERVICE_WIN32_SHARE_PROCESS), nullptr);
    ProxyService* firewall = registry.Create(L"qvxfwsvc", SERVICE_WIN32_SHARE_PROCESS);
    ASSERT_NE(firewall, nullptr);
    EXPECT_EQ(registry.Create(L"qvxthird", SERVICE_WIN32_SHARE_PROCESS), nullptr);
    EXPECT_EQ(registry.Count(), 2u);

    EXPECT_EQ(registry.Find(L"QvxTrust"), trust);
    EXPECT_EQ(registry.Find(L"qvxfwsvc"), firewall);
    // Only whole names match.
    EXPECT_EQ(registry.Find(L"qvx"), nullptr);
    EXPECT_EQ(registry.Find(L""), nullptr);
    EXPECT_EQ(registry.Find(L"qvxtrustx"), nullptr);

    EXPECT_EQ(trust->Name(), L"qvxtrust");
    EXPECT_EQ(trust->ServiceType(), static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS));
    EXPECT_EQ(trust->ServiceMain(), &ProxyServiceMain);
}

TEST(ProxyRegistryTest, ASecondProxyMustShareTheProcess)
{
    ProxyServiceRegistry registry;
    ProxyService* own = registry.Create(L"qvxtrust", SERVICE_WIN32_OWN_PROCESS);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(registry.Create(L"qvxfwsvc", SERVICE_WIN32_OWN_PROCESS), nullptr);
    EXPECT_EQ(registry.Count(), 1u);
    EXPECT_EQ(registry.Create(nullptr, SERVICE_WIN32_SHARE_PROCESS), nullptr);
}

TEST(ProxyRegistryTest, OnlyAnOwnProcessProxyRunsItsOwnDispatcher)
{
    ProxyService shared(L"qvxtrust", SERVICE_WIN32_SHARE_PROCESS);
    EXPECT_EQ(shared.RunAsOwnProcess(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// The management client as the proxy sees it: a script of answers.
struct ClientScript {
    int controllersLeft = 100;                // OpenController answers
    std::deque<bool> hostedFound;             // per OpenHostedService call; empty: found
    BOOL startResult = TRUE;
    DWORD startError = 0;
    std::deque<DWORD> states;                 // per QueryState call; the last repeats
    bool queryFails = false;
    std::atomic<int> queries{0};              // QueryState calls

    int libraryLoads = 0;
    int hostedOpens = 0;
    int starts = 0;
    int ensureCalls = 0;
    int released = 0;
    std::wstring openedName;
};
ClientScript* g_script = nullptr;

class FakeHosted final : public SvhServiceObject {
public:
    ULONG WINAPI AddRef() override { return 1; }
    ULONG WINAPI Release() override { return ++g_script->released, 0; }
    BOOL WINAPI Reserved2() override { return FALSE; }
    BOOL WINAPI Reserved3() override { return FALSE; }
    BOOL WINAPI Reserved4() override { return FALSE; }
    BOOL WINAPI Reserved5() override { return FALSE; }
    BOOL WINAPI QueryState(DWORD* state) override
    {
        ++g_script->queries;
        if (g_script->queryFails) {
            SetLastError(ERROR_PIPE_NOT_CONNECTED);
            return FALSE;
        }
        *state = g_script->states.front();
        if (g_script->states.size() > 1)
            g_script->states.pop_front();
        return TRUE;
    }
    BOOL WINAPI Start(DWORD count, const wchar_t** arguments) override
    {
        ++g_script->starts;
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(arguments, nullptr);
        SetLastError(g_script->startError);
        return g_script->startResult;
    }
};

class FakeController final : public SvhController {
public:
    ULONG WINAPI AddRef() override { return 1; }
    ULONG WINAPI Release() override { return ++g_script->released, 0; }
    BOOL WINAPI Reserved2() override { return FALSE; }
    BOOL WINAPI Reserved3() override { return FALSE; }
    SvhServiceObject* WINAPI OpenHostedService(const wchar_t* name) override
    {
        ++g_script->hostedOpens;
        g_script->openedName = name;
        bool found = true;
        if (!g_script->hostedFound.empty()) {
            found = g_script->hostedFound.front();
            g_script->hostedFound.pop_front();
        }
        if (!found) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return nullptr;
        }
        return &hosted_;
    }

private:
    FakeHosted hosted_;
};

class FakeSvhControl final : public SvhControl {
public:
    ULONG WINAPI AddRef() override { return 1; }
    ULONG WINAPI Release() override { return ++g_script->released, 0; }
    SvhController* WINAPI OpenController() override
    {
        if (g_script->controllersLeft-- <= 0) {
            SetLastError(ERROR_PIPE_BUSY);
            return nullptr;
        }
        return &controller_;
    }
    BOOL WINAPI Reserved3() override { return FALSE; }
    BOOL WINAPI Reserved4() override { return FALSE; }
    BOOL WINAPI RunServiceTable(const SERVICE_TABLE_ENTRYW*, DWORD, const wchar_t*) override { return FALSE; }

private:
    FakeController controller_;
};

FakeSvhControl g_control;

const ProxyCalls kFakeCalls = {
    [](SvhControl** control) -> DWORD {
        ++g_script->libraryLoads;
        *control = &g_control;
        return 0;
    },
    [](ProxyService&) { ++g_script->ensureCalls; },
};

class ProxyMainBodyTest : public testing::Test {
protected:
    ProxyMainBodyTest()
    {
        g_script = &script_;
        SetProxyCalls(&kFakeCalls);
    }
    ~ProxyMainBodyTest() override
    {
        SetProxyCalls(nullptr);
        g_script = nullptr;
    }

    // Runs the main body on a thread of its own; the caller joins it.
    HANDLE StartMainBody()
    {
        return CreateThread(
            nullptr, 0,
            [](LPVOID parameter) -> DWORD {
                static_cast<ProxyService*>(parameter)->RunMainBody();
                return 0;
            },
            &proxy_, 0, nullptr);
    }
    void RunToEnd()
    {
        KernelHandle thread(StartMainBody());
        ASSERT_TRUE(thread);
        ASSERT_EQ(WaitForSingleObject(thread.Get(), 20000), static_cast<DWORD>(WAIT_OBJECT_0));
    }
    std::vector<std::pair<DWORD, DWORD>> StatesAndCheckpoints() const
    {
        std::vector<std::pair<DWORD, DWORD>> result;
        for (const SERVICE_STATUS& status : recorder_.Reports())
            result.emplace_back(status.dwCurrentState, status.dwCheckPoint);
        return result;
    }

    ClientScript script_;
    test::StatusRecorder recorder_;
    ProxyService proxy_{L"qvxtrust", SERVICE_WIN32_SHARE_PROCESS};
};

using StateAndCheckpoint = std::vector<std::pair<DWORD, DWORD>>;

TEST_F(ProxyMainBodyTest, RunsOnceTheHostedServiceRunsAndStopsWhenTold)
{
    script_.states = {SERVICE_START_PENDING, SERVICE_START_PENDING, SERVICE_RUNNING};
    KernelHandle thread(StartMainBody());
    ASSERT_TRUE(thread);
    ASSERT_TRUE(recorder_.WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(WaitForSingleObject(thread.Get(), 100), static_cast<DWORD>(WAIT_TIMEOUT)); // waits for a stop

    std::vector<test::Registration> registrations = recorder_.Registrations();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].name, L"qvxtrust");
    EXPECT_EQ(registrations[0].context, &proxy_);
    EXPECT_EQ(registrations[0].handler(SERVICE_CONTROL_STOP, 0, nullptr, registrations[0].context), 0u);
    ASSERT_EQ(WaitForSingleObject(thread.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));

    EXPECT_EQ(StatesAndCheckpoints(), (StateAndCheckpoint{{SERVICE_START_PENDING, 1},
                                                          {SERVICE_START_PENDING, 2},
                                                          {SERVICE_START_PENDING, 3},
                                                          {SERVICE_RUNNING, 0},
                                                          {SERVICE_STOP_PENDING, 0},
                                                          {SERVICE_STOPPED, 0}}));
    std::vector<SERVICE_STATUS> reports = recorder_.Reports();
    EXPECT_EQ(reports[0].dwWaitHint, 1000u);
    EXPECT_EQ(reports[0].dwControlsAccepted, kProxyControlsAccepted);
    EXPECT_EQ(reports[0].dwServiceType, static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS));
    EXPECT_EQ(reports[3].dwWaitHint, 0u);
    EXPECT_EQ(script_.openedName, L"qvxtrust");
    EXPECT_EQ(script_.starts, 1);
    EXPECT_EQ(script_.released, 3); // interface, controller, service object
}

TEST_F(ProxyMainBodyTest, AHostedServiceNotFoundAfterOneRetryEndsStopped)
{
    script_.hostedFound = {false, false};
    RunToEnd();

    EXPECT_EQ(script_.libraryLoads, 2);
    EXPECT_EQ(script_.hostedOpens, 2);
    EXPECT_EQ(script_.ensureCalls, 1);
    EXPECT_EQ(script_.starts, 0);
    EXPECT_EQ(script_.released, 4);
    EXPECT_EQ(StatesAndCheckpoints(),
              (StateAndCheckpoint{{SERVICE_START_PENDING, 1}, {SERVICE_START_PENDING, 2}, {SERVICE_STOPPED, 0}}));
    EXPECT_EQ(recorder_.Reports().back().dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ProxyMainBodyTest, AHostedServiceFoundOnTheRetryIsStarted)
{
    script_.hostedFound = {false, true};
    script_.states = {SERVICE_RUNNING};
    KernelHandle thread(StartMainBody());
    ASSERT_TRUE(recorder_.WaitForState(SERVICE_RUNNING));
    proxy_.Stop();
    ASSERT_EQ(WaitForSingleObject(thread.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));

    EXPECT_EQ(script_.ensureCalls, 1);
    EXPECT_EQ(script_.starts, 1);
    EXPECT_EQ(recorder_.States(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_START_PENDING, SERVICE_RUNNING,
                                                      SERVICE_STOPPED}));
}

struct FailureCase {
    const char* name;
    int controllers;
    BOOL startResult;
    DWORD startError;
    std::deque<DWORD> states;
    bool queryFails;
    int starts;
    DWORD exitCode; // what the proxy ends with
};

const FailureCase kFailureCases[] = {
    {"NoController", 0, TRUE, 0, {SERVICE_RUNNING}, false, 0, ERROR_PIPE_BUSY},
    {"StartRefused", 100, FALSE, ERROR_ACCESS_DENIED, {SERVICE_RUNNING}, false, 1, ERROR_ACCESS_DENIED},
    {"HostedServiceStopsWhileStarting", 100, TRUE, 0, {SERVICE_START_PENDING, SERVICE_STOPPED}, false, 1,
     ERROR_PROCESS_ABORTED},
    {"StateQueryFails", 100, TRUE, 0, {SERVICE_RUNNING}, true, 1, ERROR_PIPE_NOT_CONNECTED},
};

class ProxyFailureTest : public ProxyMainBodyTest, public testing::WithParamInterface<FailureCase> {};

// A failed start must not look like a clean stop to the service control
// manager: the proxy ends with the error that stopped it.
TEST_P(ProxyFailureTest, EndsStoppedWithTheErrorWithoutRunning)
{
    const FailureCase& c = GetParam();
    script_.controllersLeft = c.controllers;
    script_.startResult = c.startResult;
    script_.startError = c.startError;
    script_.states = c.states;
    script_.queryFails = c.queryFails;
    test::TraceCapture traces;

    RunToEnd();

    std::vector<DWORD> states = recorder_.States();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(std::count(states.begin(), states.end(), static_cast<DWORD>(SERVICE_RUNNING)), 0);
    EXPECT_EQ(recorder_.Reports().back().dwWin32ExitCode, c.exitCode);
    EXPECT_EQ(script_.starts, c.starts);
    EXPECT_EQ(script_.ensureCalls, 0);
    EXPECT_FALSE(traces.Records().empty());
}

INSTANTIATE_TEST_SUITE_P(Failures, ProxyFailureTest, testing::ValuesIn(kFailureCases),
                         [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(ProxyMainBodyTest, AServiceAlreadyRunningCountsAsStarted)
{
    script_.startResult = FALSE;
    script_.startError = ERROR_SERVICE_ALREADY_RUNNING;
    script_.states = {SERVICE_RUNNING};
    KernelHandle thread(StartMainBody());
    ASSERT_TRUE(recorder_.WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(ProxyServiceHandlerEx(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, &proxy_), 0u);
    ASSERT_EQ(WaitForSingleObject(thread.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(recorder_.States().back(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ProxyMainBodyTest, AStopWhileTheHostedServiceStartsEndsThePoll)
{
    script_.states = {SERVICE_START_PENDING};
    KernelHandle thread(StartMainBody());
    ASSERT_TRUE(recorder_.WaitForState(SERVICE_START_PENDING));
    // A second query means the poll has been round its pause once.
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (script_.queries.load() < 2 && GetTickCount64() < deadline)
        Sleep(1);
    ASSERT_GE(script_.queries.load(), 2) << "the poll never queried the hosted service twice";
    EXPECT_EQ(ProxyServiceHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, &proxy_), 0u);
    ASSERT_EQ(WaitForSingleObject(thread.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));

    std::vector<DWORD> states = recorder_.States();
    EXPECT_EQ(states.back(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(std::count(states.begin(), states.end(), static_cast<DWORD>(SERVICE_RUNNING)), 0);
    EXPECT_EQ(recorder_.Reports().back().dwWin32ExitCode, 0u); // stopped on request
}

TEST_F(ProxyMainBodyTest, WithoutAHandlerNothingIsReported)
{
    recorder_.FailRegistrations(ERROR_SERVICE_NOT_IN_EXE);
    RunToEnd();
    EXPECT_TRUE(recorder_.Reports().empty());
    EXPECT_EQ(script_.libraryLoads, 0);
}

struct ProxyControlCase {
    const char* name;
    DWORD control;
    DWORD result;
    bool stops;
};

const ProxyControlCase kProxyControlCases[] = {
    {"Stop", SERVICE_CONTROL_STOP, 0, true},
    {"Shutdown", SERVICE_CONTROL_SHUTDOWN, 0, true},
    {"Pause", SERVICE_CONTROL_PAUSE, 120, false},
    {"Interrogate", SERVICE_CONTROL_INTERROGATE, 120, false},
    {"ParamChange", SERVICE_CONTROL_PARAMCHANGE, 120, false},
    {"PowerEvent", SERVICE_CONTROL_POWEREVENT, 120, false},
    {"PreShutdown", SERVICE_CONTROL_PRESHUTDOWN, 120, false},
    {"ControlZero", 0, 0, false},
    {"Control16", 16, 0, false},
    {"SuiteControl", 0x800, 0, false},
};

class ProxyControlTest : public ProxyMainBodyTest, public testing::WithParamInterface<ProxyControlCase> {};

TEST_P(ProxyControlTest, AcceptsOnlyStopAndShutdown)
{
    const ProxyControlCase& c = GetParam();
    script_.states = {SERVICE_RUNNING};
    KernelHandle thread(StartMainBody());
    ASSERT_TRUE(recorder_.WaitForState(SERVICE_RUNNING));
    size_t before = recorder_.Reports().size();

    EXPECT_EQ(ProxyServiceHandlerEx(c.control, 0, nullptr, &proxy_), c.result);

    DWORD ended = WaitForSingleObject(thread.Get(), c.stops ? 10000 : 200);
    EXPECT_EQ(ended == WAIT_OBJECT_0, c.stops);
    if (!c.stops) {
        EXPECT_EQ(recorder_.Reports().size(), before);
        proxy_.Stop();
        ASSERT_EQ(WaitForSingleObject(thread.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    } else {
        EXPECT_EQ(recorder_.Reports().at(before).dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    }
}

INSTANTIATE_TEST_SUITE_P(Controls, ProxyControlTest, testing::ValuesIn(kProxyControlCases),
                         [](const testing::TestParamInfo<ProxyControlCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace qvx
