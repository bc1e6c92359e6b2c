#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "model/life_cycle_record.h"
#include "platform/handles.h"
#include "platform/wide_text.h"
#include "protocol/dispatcher.h"
#include "protocol/pipe_server.h"
#include "service_runtime/listener_messages.h"
#include "service_runtime/listener_server.h"
#include "tests/commands/command_test_support.h"
#include "tests/protocol/pipe_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/svhctl_run.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

using test::RunSvhctl;

// Answers every request with its own text, so any reply code can be asked for.
void EchoCallback(SVHServerPipe& pipe)
{
    if (pipe.AdvanceIo() && pipe.State() == PipeState::Writing)
        pipe.WriteReply(pipe.TakeRequest());
}

TEST(Svhctl, PrintsTheReplyAndExitsWithItsErrorCode)
{
    test::RunningPipeServers host(Dispatch, 2);
    test::RunningPipeServers echo(EchoCallback, 2);
    ASSERT_TRUE(host.Started() && echo.Started());
    const std::wstring hostPipe = L"--pipe " + host.Name() + L" ";
    const std::wstring echoPipe = L"--pipe " + echo.Name() + L" ";

    struct Case {
        const char* name;
        std::wstring arguments;
        DWORD exitCode;
        const char* output;
    };
    const Case cases[] = {
        {"ping", hostPipe + L"ping", 0, "ACK\n"},
        {"raw ping with fields", hostPipe + L"raw \"ping,xyz\"", 0, "ACK\n"},
        {"unrecognised request", hostPipe + L"raw PINGX", ERROR_NOT_SUPPORTED, "empty reply"},
        {"status", echoPipe + L"status foo", 0, "QUERY_SERVICE_STATUS,foo\n"},
        {"error reply", echoPipe + L"raw SERVICE_NOT_FOUND", 1060, "SERVICE_NOT_FOUND\n"},
        {"echo reply whose payload holds a code", echoPipe + L"status config_failed", 0,
         "QUERY_SERVICE_STATUS,config_failed\n"},
        {"echo reply to a request in lower case", echoPipe + L"raw query_service_status,service_not_found", 0,
         "query_service_status,service_not_found\n"},
        {"later code of the search order loses", echoPipe + L"raw \"CONFIG_FAILED SERVICE_FAILED_TO_STOP\"", 1067,
         "CONFIG_FAILED SERVICE_FAILED_TO_STOP\n"},
        {"no such pipe", L"--pipe " + test::UniqueName(L"qvxtest-nobody") + L" ping", ERROR_FILE_NOT_FOUND,
         "cannot reach"},
        {"no verb", L"", ERROR_INVALID_PARAMETER, "usage:"},
        {"unknown verb", L"launch foo", ERROR_INVALID_PARAMETER, "usage:"},
        {"status without a name", L"status", ERROR_INVALID_PARAMETER, "usage:"},
        {"pipe without a name", L"--pipe", ERROR_INVALID_PARAMETER, "usage:"},
    };
    for (const Case& c : cases) {
        test::ProgramRun run = RunSvhctl(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.name << ": " << run.output;
        EXPECT_NE(run.output.find(c.output), std::string::npos) << c.name << ": " << run.output;
    }
}

TEST(Svhctl, StartAndStopSendTheirRequests)
{
    test::RunningPipeServers echo(EchoCallback, 2);
    ASSERT_TRUE(echo.Started());
    const std::wstring raw = L"--pipe " + echo.Name() + L" --raw ";
    const std::wstring readable = L"--pipe " + echo.Name() + L" ";

    struct Case {
        const char* name;
        std::wstring arguments;
        DWORD exitCode;
        std::string output; // the whole output
    };
    const Case cases[] = {
        {"start keeps the stored arguments", raw + L"start qvxsample", 0, "START_SERVICE,qvxsample,0,EMPTY\n"},
        {"start with one argument", raw + L"start qvxsample 10", 0, "START_SERVICE,qvxsample,1,10\n"},
        {"an argument with blanks is quoted", raw + L"start svc \"a b\" c", 0, "START_SERVICE,svc,2,\"a b\" c\n"},
        {"the placeholder word as an argument", raw + L"start svc EMPTY", 0, "START_SERVICE,svc,1,\"EMPTY\"\n"},
        {"stop", raw + L"stop qvxsample", 0, "CONTROL_SERVICE,qvxsample,SERVICE_CONTROL_STOP\n"},
        {"start, readable", readable + L"start Svc 10 20", 0, "start of svc requested with 2 argument(s)\n"},
        {"start of a name with a comma", raw + L"start a,b", ERROR_INVALID_PARAMETER,
         "svhctl: a,b holds a comma, which the control protocol cannot carry\n"},
        {"an argument with a comma", raw + L"start svc 1,2", ERROR_INVALID_PARAMETER,
         "svhctl: 1,2 holds a comma, which the control protocol cannot carry\n"},
        {"an argument with a double quote", raw + L"start svc a\\\"b", ERROR_INVALID_PARAMETER,
         "svhctl: the argument a\"b holds a double quote, which start arguments cannot carry\n"},
    };
    for (const Case& c : cases) {
        test::ProgramRun run = RunSvhctl(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.name << ": " << run.output;
        EXPECT_EQ(run.output, c.output) << c.name;
    }

    const wchar_t* const misuse[] = {L"start", L"stop", L"stop a b"};
    for (const wchar_t* arguments : misuse) {
        test::ProgramRun run = RunSvhctl(raw + arguments);
        EXPECT_EQ(run.exitCode, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << WideToUtf8(arguments);
        EXPECT_NE(run.output.find("usage:"), std::string::npos) << WideToUtf8(arguments) << ": " << run.output;
    }
}

// The hosted service splits the argument text again: what it gets must be
// what was given to svhctl.
TEST(Svhctl, StartArgumentsReachTheServiceAsGiven)
{
    test::RunningPipeServers echo(EchoCallback, 2);
    ASSERT_TRUE(echo.Started());

    struct Case {
        std::wstring commandLine; // as svhctl's command line writes them
        std::vector<std::wstring> arguments;
    };
    const Case cases[] = {
        {L"10", {L"10"}},
        {L"\"C:\\Program Files\\x.cfg\" -v", {L"C:\\Program Files\\x.cfg", L"-v"}},
        {L"\"a\tb\" EMPTY", {L"a\tb", L"EMPTY"}},
        {L"EMPTY", {L"EMPTY"}},
    };
    for (const Case& c : cases) {
        test::ProgramRun run = RunSvhctl(L"--pipe " + echo.Name() + L" --raw start svc " + c.commandLine);
        ASSERT_EQ(run.exitCode, 0u) << run.output;
        std::wstring request = Utf8ToWide(run.output);
        ASSERT_FALSE(request.empty());
        request.pop_back(); // the line break
        std::vector<std::wstring> fields;
        for (size_t start = 0, i = 0; i < 3; ++i) {
            const size_t comma = request.find(L',', start);
            ASSERT_NE(comma, std::wstring::npos) << run.output;
            fields.push_back(request.substr(start, comma - start));
            start = comma + 1;
            if (i == 2)
                fields.push_back(request.substr(start));
        }
        EXPECT_EQ(fields[2], std::to_wstring(c.arguments.size())) << run.output;
        EXPECT_EQ(hosted::SplitStartArguments(fields[3]), c.arguments) << run.output;
    }
}

// A running hosted service is shown with the process id its own listener
// pipe gives; one whose pipe gives none, or that has no pipe, without.
class SvhctlShow : public test::CommandHost {
protected:
    test::ProgramRun Show(const std::wstring& name)
    {
        return RunSvhctl(L"--pipe " + servers_.Name() + L" show " + name);
    }

    // Serves the listener pipe of `name`, answering the process-id query with
    // `reply`; the messages it got are kept.
    bool Serve(hosted::ListenerServer& server, const std::wstring& name, const std::wstring& reply)
    {
        return server.Start(L"\\\\.\\pipe\\" + name + L"_qvxsvh_listenerpipe",
                            [this, reply](const std::wstring& message) -> std::optional<std::wstring> {
                                received_.push_back(message);
                                return reply;
                            },
                            5000) == ERROR_SUCCESS;
    }

    std::vector<std::wstring> received_;
};

TEST_F(SvhctlShow, ARunningServiceWithTheProcessIdItGives)
{
    const std::wstring name = test::UniqueName(L"qvxtest-show");
    Create(name);
    ASSERT_TRUE(Find(name)->SetServiceState(ServiceState::kStartPending));
    ASSERT_TRUE(Find(name)->SetServiceState(ServiceState::kRunning));
    hosted::ListenerServer listener;
    ASSERT_TRUE(Serve(listener, name, L"4242"));

    test::ProgramRun run = Show(name);

    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find("\nSTATE         SERVICE_RUNNING\nPROCESS_ID    4242\nTYPE "), std::string::npos)
        << run.output;
    listener.Stop();
    EXPECT_EQ(received_, std::vector<std::wstring>{L"QUERY_PROCESS_ID," + name});
}

TEST_F(SvhctlShow, NoProcessIdWhereNoneIsGiven)
{
    const std::wstring silent = test::UniqueName(L"qvxtest-silent");
    const std::wstring zero = test::UniqueName(L"qvxtest-zero");
    const std::wstring stopped = test::UniqueName(L"qvxtest-stopped");
    for (const std::wstring& name : {silent, zero, stopped})
        Create(name);
    for (const std::wstring& name : {silent, zero}) {
        ASSERT_TRUE(Find(name)->SetServiceState(ServiceState::kStartPending));
        ASSERT_TRUE(Find(name)->SetServiceState(ServiceState::kRunning));
    }
    hosted::ListenerServer zeroListener;
    hosted::ListenerServer stoppedListener;
    ASSERT_TRUE(Serve(zeroListener, zero, L"0"));
    ASSERT_TRUE(Serve(stoppedListener, stopped, L"4242"));

    for (const std::wstring& name : {silent, zero, stopped}) {
        test::ProgramRun run = Show(name);
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        EXPECT_NE(run.output.find("STATE "), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("PROCESS_ID"), std::string::npos) << run.output;
    }
    zeroListener.Stop();
    stoppedListener.Stop();
    // A stopped service has no process to ask.
    EXPECT_EQ(received_, std::vector<std::wstring>{L"QUERY_PROCESS_ID," + zero});
}

// A DLL service is shown with its DLL and with the entry point the host has
// for it, which the configuration reply does not carry; a running one with
// the process id it gives marked as the host's. Other services have no entry
// point line.
TEST_F(SvhctlShow, ADllServiceWithItsEntryPoint)
{
    const std::wstring stopped = test::UniqueName(L"qvxtest-dll");
    const std::wstring running = test::UniqueName(L"qvxtest-dllrun");
    const std::wstring process = test::UniqueName(L"qvxtest-proc");
    const std::wstring dll = L"<ServiceType>SERVICE_SVH_USER_DLL</ServiceType><ServiceMain>SampleMain</ServiceMain>";
    Create(stopped, L"<BinaryPath>C:\\svc\\sample.dll</BinaryPath>" + dll);
    Create(running, dll);
    Create(process);
    ASSERT_TRUE(Find(running)->SetServiceState(ServiceState::kStartPending));
    ASSERT_TRUE(Find(running)->SetServiceState(ServiceState::kRunning));
    hosted::ListenerServer listener;
    ASSERT_TRUE(Serve(listener, running, L"4242"));

    struct Case {
        const char* name;
        std::wstring arguments;
        std::vector<std::string> expected; // parts of the output
        const char* absent;                // never in the output
    };
    const std::wstring pipe = L"--pipe " + servers_.Name() + L" ";
    const Case cases[] = {
        {"stopped DLL service",
         pipe + L"show " + stopped,
         {"SERVICE_NAME  " + WideToUtf8(stopped) +
          "\nSTATE         SERVICE_STOPPED\nTYPE          SERVICE_SVH_USER_DLL\nSTARTUP       SERVICE_START_NORMAL\n"
          "BINARY_PATH   C:\\svc\\sample.dll\nENTRY_POINT   SampleMain\nACCOUNT       LocalSystem\n"
          "DEPENDENCIES  (none)\n"},
         "PROCESS_ID"},
        {"running DLL service",
         pipe + L"show " + running,
         {"\nPROCESS_ID    4242 (the service host's)\nTYPE          SERVICE_SVH_USER_DLL\n",
          "\nENTRY_POINT   SampleMain\nACCOUNT "},
         "(not given"},
        {"process service", pipe + L"show " + process, {"TYPE          SERVICE_WIN32_OWN_PROCESS\n"},
         "ENTRY_POINT"},
        {"replies as they came",
         pipe + L"--raw show " + stopped,
         {"QUERY_SERVICE_CONFIG,SERVICE_SVH_USER_DLL,", "\nQUERY_SERVICE_APP_PROFILE,", "SampleMain"},
         "ENTRY_POINT"},
    };
    for (const Case& c : cases) {
        test::ProgramRun run = RunSvhctl(c.arguments);
        EXPECT_EQ(run.exitCode, 0u) << c.name << ": " << run.output;
        for (const std::string& part : c.expected)
            EXPECT_NE(run.output.find(part), std::string::npos) << c.name << ": " << run.output;
        EXPECT_EQ(run.output.find(c.absent), std::string::npos) << c.name << ": " << run.output;
    }
    listener.Stop();
}

// The words of the output line that begins with `name`; empty when none does.
std::vector<std::wstring> RowOf(const std::string& output, const std::wstring& name)
{
    std::wistringstream lines(Utf8ToWide(output));
    for (std::wstring line; std::getline(lines, line);) {
        std::wistringstream words(line);
        std::vector<std::wstring> row;
        for (std::wstring word; words >> word;)
            row.push_back(word);
        if (!row.empty() && row[0] == name)
            return row;
    }
    return {};
}

using SvhctlList = test::CommandHost;

// list reads when each service last started from its life-cycle record,
// in local time; a stop after that start does not change it.
TEST_F(SvhctlList, ShowsEachServiceWithItsStateAndLastStart)
{
    const std::wstring started = test::UniqueName(L"qvxtest-started");
    const std::wstring never = test::UniqueName(L"qvxtest-never");
    Create(started);
    Create(never);
    ServiceRecord* record = Find(started);
    ASSERT_NE(record, nullptr);
    ASSERT_TRUE(record->SetServiceState(ServiceState::kStartPending));
    ASSERT_TRUE(record->SetServiceState(ServiceState::kRunning));
    LifeCycleRecord(record).RecordStart();
    LifeCycleRecord(record).RecordStop();
    LifeCycleRecord stored(record);
    stored.Load();
    ASSERT_NE(stored.StartTime, 0u);
    const std::wstring startText = LifeCycleTimeText(stored.StartTime);

    test::ProgramRun run = RunSvhctl(L"--pipe " + servers_.Name() + L" --key " + key_.Path() + L" list");

    ASSERT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find("STATE"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("LAST STARTED"), std::string::npos) << run.output;
    const std::vector<std::wstring> startedRow = RowOf(run.output, started);
    ASSERT_EQ(startedRow.size(), 4u) << run.output;
    EXPECT_EQ(startedRow[1], L"SERVICE_RUNNING");
    EXPECT_EQ(startedRow[2] + L" " + startedRow[3], startText) << run.output;
    EXPECT_EQ(RowOf(run.output, never), (std::vector<std::wstring>{never, L"SERVICE_STOPPED", L"-"})) << run.output;

    // The replies as they came carry no times.
    run = RunSvhctl(L"--pipe " + servers_.Name() + L" --key " + key_.Path() + L" --raw list");
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(run.output.find(WideToUtf8(startText)), std::string::npos) << run.output;
}

} // namespace
} // namespace qvx
