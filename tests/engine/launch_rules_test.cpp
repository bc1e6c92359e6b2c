#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <rpc.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/launcher.h"
#include "engine/process_launch.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "protect/access_control.h"
#include "protect/launch_rules.h"
#include "protect/service_manager_exception.h"
#include "runtime/host_runtime.h"
#include "tests/engine/recording_launcher.h"
#include "tests/support/event_recorder.h"
#include "tests/support/trace_capture.h"
#include "tests/support/unique_name.h"
#include "tests/trust/trust_fixtures.h"

namespace qvx {
namespace {

std::vector<std::wstring> Lines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end = text.find(L'\n'); end != std::wstring::npos; end = text.find(L'\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

// The lines of the access-control object's operations (not the interface
// requests or releases), with every GUID named after its first appearance:
// the names given in `known` first, the others {g1}, {g2}, ... So a line
// list shows which identifiers are fresh and which are the same.
std::vector<std::wstring> Operations(const std::wstring& log, const std::map<std::wstring, std::wstring>& known = {})
{
    std::map<std::wstring, std::wstring> names = known;
    int fresh = 0;
    std::vector<std::wstring> result;
    for (std::wstring line : Lines(log)) {
        if (StartsWith(line, L"NotComDllGetInterface") || StartsWith(line, L"Release") ||
            StartsWith(line, L"NotComDllUnload"))
            continue;
        for (size_t at = line.find(L'{'); at != std::wstring::npos; at = line.find(L'{', at + 1)) {
            const size_t end = line.find(L'}', at);
            if (end == std::wstring::npos || end - at != 37)
                continue;
            const std::wstring guid = line.substr(at, 38);
            auto found = names.find(guid);
            if (found == names.end())
                found = names.emplace(guid, L"{g" + std::to_wstring(++fresh) + L"}").first;
            line.replace(at, 38, found->second);
        }
        result.push_back(line);
    }
    return result;
}

std::wstring Joined(const std::vector<std::wstring>& lines)
{
    std::wstring text;
    for (const std::wstring& line : lines)
        text += line + L"\n";
    return text;
}

// The access-control stand-in, loaded where the trusted loader finds it
// (the install directory is this program's folder for the test's run).
class LaunchRulesTest : public ::testing::Test {
public: // the case tables reach the fixture from lambdas
    void SetUp() override
    {
        installDir_.Set(test::BinDirectory());
        ASSERT_TRUE(library_.Loaded());
        library_.Reset();
        live_ = library_.Export<LONG(WINAPI*)()>("QvxStandInLiveObjects");
        ASSERT_NE(live_, nullptr);
    }
    void TearDown() override { library_.Reset(); }

    LONG Live() const { return live_(); }

protected:
    test::InstallDirOverride installDir_;

public:
    test::StandIn library_{L"qvxaccess.dll"};

protected:
    LONG(WINAPI* live_)() = nullptr;
};

TEST_F(LaunchRulesTest, CreationRuleLetsTheHostCreateAndTerminateTheExecutable)
{
    const struct {
        const char* label;
        std::wstring path;
        std::wstring matched;
    } cases[] = {
        {"path with folders", L"C:\\Program Files\\Quorvex\\svc.exe", L"**\\svc.exe"},
        {"path without a backslash", L"svc.exe", L"svc.exe"},
        // Nothing is cut to a buffer's size: a shortened pattern would match
        // another executable.
        {"long file name", L"C:\\d\\" + std::wstring(300, L'n') + L".exe", L"**\\" + std::wstring(300, L'n') + L".exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        library_.Reset();
        ProcessCreationRule rule;
        ASSERT_EQ(AllowProcessCreation(c.path, rule), 0u);
        EXPECT_NE(GuidText(rule.client), GuidText(rule.policy));
        const std::vector<std::wstring> expected = {
            L"CreateAccessControl AacControl6 {client} (null)",
            L"CreatePolicy {policy} (null)",
            L"CreateRule {g1} 1 Allow SVH to CreateProccess " + c.path,
            L"CreateActorMatcher actor 1 **\\qvxsvh.exe 0",
            L"AddMatcher [{g1} 1 Allow SVH to CreateProccess " + c.path +
                L"] [actor 1 **\\qvxsvh.exe 0]",
            L"CreateTargetMatcher target 4 " + c.matched + L" 0x80 0x0",
            L"AddMatcher [{g1} 1 Allow SVH to CreateProccess " + c.path + L"] [target 4 " + c.matched +
                L" 0x80 0x0]",
            L"AddRule [{policy} (null)] [{g1} 1 Allow SVH to CreateProccess " + c.path + L"]",
            L"CreateRule {g2} 1 Allow SVH to terminate " + c.path,
            L"CreateActorMatcher actor 1 **\\qvxsvh.exe 0",
            L"AddMatcher [{g2} 1 Allow SVH to terminate " + c.path + L"] [actor 1 **\\qvxsvh.exe 0]",
            L"CreateTargetMatcher target 4 " + c.matched + L" 0x1 0x0",
            L"AddMatcher [{g2} 1 Allow SVH to terminate " + c.path + L"] [target 4 " + c.matched +
                L" 0x1 0x0]",
            L"AddRule [{policy} (null)] [{g2} 1 Allow SVH to terminate " + c.path + L"]",
            L"CreateRule {g3} 2 Remove this policy when qvxsvh.exe terminates",
            L"CreateActorMatcher actor 1 **\\qvxsvh.exe 0",
            L"AddMatcher [{g3} 2 Remove this policy when qvxsvh.exe terminates] [actor 1 **\\qvxsvh.exe 0]",
            L"AddRule [{policy} (null)] [{g3} 2 Remove this policy when qvxsvh.exe terminates]",
            L"CommitPolicy {policy} [{policy} (null)]",
        };
        const std::map<std::wstring, std::wstring> known = {{GuidText(rule.client), L"{client}"},
                                                            {GuidText(rule.policy), L"{policy}"}};
        EXPECT_EQ(Joined(Operations(library_.Log(), known)), Joined(expected));
        EXPECT_EQ(Live(), 0);

        library_.Reset();
        EXPECT_EQ(RemoveProcessCreationRule(rule), 0u);
        EXPECT_EQ(Joined(Operations(library_.Log(), known)),
                  L"CreateAccessControl AacControl6 {client} (null)\nDeletePolicy {policy} 0 0\n");
        EXPECT_EQ(Live(), 0);
    }
}

TEST_F(LaunchRulesTest, ProcessRulesNameTheNewProcessItsThreadAndTheHost)
{
    const std::wstring path = L"C:\\qvxtest\\svc.exe";
    ASSERT_EQ(AllowHostedProcess(path, 4242, 4343), 0u);
    const std::wstring self = std::to_wstring(GetCurrentProcessId());
    const std::wstring pipeRule = L"CreateRule {g3} 1 Allow " + path + L" to access SVH named pipe";
    const std::wstring termRule = L"CreateRule {g4} 1 Allow SVH to terminate " + path;
    const std::wstring goneRule = L"CreateRule {g5} 2 Remove this policy when " + path + L" terminates";
    const std::vector<std::wstring> expected = {
        L"CreateAccessControl AacControl6 {g1} (null)",
        L"CreatePolicy {g2} (null)",
        pipeRule,
        L"CreateActorMatcher actor 2 (null) 4242",
        L"AddMatcher [" + pipeRule.substr(11) + L"] [actor 2 (null) 4242]",
        L"CreateActorMatcher actor 3 (null) 4343",
        L"AddMatcher [" + pipeRule.substr(11) + L"] [actor 3 (null) 4343]",
        L"CreateTargetMatcher target 5 \\\\.\\pipe\\svhserver 0xc0000000 0x0",
        L"AddMatcher [" + pipeRule.substr(11) + L"] [target 5 \\\\.\\pipe\\svhserver 0xc0000000 0x0]",
        L"AddRule [{g2} (null)] [" + pipeRule.substr(11) + L"]",
        termRule,
        L"CreateActorMatcher actor 2 (null) " + self,
        L"AddMatcher [" + termRule.substr(11) + L"] [actor 2 (null) " + self + L"]",
        L"CreateTargetMatcher target 4 **\\svc.exe 0x1 0x0",
        L"AddMatcher [" + termRule.substr(11) + L"] [target 4 **\\svc.exe 0x1 0x0]",
        L"AddRule [{g2} (null)] [" + termRule.substr(11) + L"]",
        goneRule,
        L"CreateActorMatcher actor 2 (null) 4242",
        L"AddMatcher [" + goneRule.substr(11) + L"] [actor 2 (null) 4242]",
        L"AddRule [{g2} (null)] [" + goneRule.substr(11) + L"]",
        L"CommitPolicy {g2} [{g2} (null)]",
    };
    EXPECT_EQ(Joined(Operations(library_.Log())), Joined(expected));
    EXPECT_EQ(Live(), 0);
}

TEST_F(LaunchRulesTest, ServiceManagerExceptionInstallsUnderTheSharedIdentifierAndIsRemoved)
{
    // The identifier is the one the driver is told about.
    UUID shared = {};
    ASSERT_EQ(UuidFromStringW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(kDriverExceptionIdentifier)), &shared),
              RPC_S_OK);
    EXPECT_EQ(GuidText(shared), GuidText(kServiceManagerIdentifier));

    GUID policy = {};
    ASSERT_EQ(AllowServiceManagerChange(L"qvxtrust", false, policy), 0u);
    const std::wstring self = std::to_wstring(GetCurrentProcessId());
    const std::wstring modify = L"CreateRule {g1} 1 Allow services.exe to modify qvxtrust during install";
    const std::wstring cleanup =
        L"CreateRule {g2} 2 Allow services.exe to mofify qvxtrust during install - delete on terminate";
    const std::wstring id = L"{8B0F7C1E-5A43-4D2B-9E61-3C7A0D52F4B9}";
    const std::vector<std::wstring> expected = {
        L"CreateAccessControl AacControl6 " + id + L" SVHLib",
        L"CreatePolicy {policy} (null)",
        modify,
        L"CreateActorMatcher actor 1 %SYSTEMROOT%\\SYSTEM32\\SERVICES.EXE 0",
        L"AddMatcher [" + modify.substr(11) + L"] [actor 1 %SYSTEMROOT%\\SYSTEM32\\SERVICES.EXE 0]",
        L"CreateTargetMatcher target 2 HKCCS\\SERVICES\\qvxtrust\\** 0x30006 0x0",
        L"AddMatcher [" + modify.substr(11) + L"] [target 2 HKCCS\\SERVICES\\qvxtrust\\** 0x30006 0x0]",
        L"AddRule [{policy} (null)] [" + modify.substr(11) + L"]",
        cleanup,
        L"CreateActorMatcher actor 2 (null) " + self,
        L"AddMatcher [" + cleanup.substr(11) + L"] [actor 2 (null) " + self + L"]",
        L"AddRule [{policy} (null)] [" + cleanup.substr(11) + L"]",
        L"CommitPolicy {policy} [{policy} (null)]",
    };
    const std::map<std::wstring, std::wstring> known = {{GuidText(policy), L"{policy}"}, {id, id}};
    EXPECT_EQ(Joined(Operations(library_.Log(), known)), Joined(expected));
    EXPECT_EQ(Live(), 0);

    library_.Reset();
    EXPECT_EQ(AllowServiceManagerChange(L"qvxtrust", true, policy), 0u);
    EXPECT_EQ(Joined(Operations(library_.Log(), known)),
              L"CreateAccessControl AacControl6 " + id + L" SVHLib\nDeletePolicy {policy} 0 0\n");
    EXPECT_EQ(Live(), 0);

    library_.Reset();
    library_.Fail(L"DeletePolicy", E_ACCESSDENIED);
    EXPECT_EQ(AllowServiceManagerChange(L"qvxtrust", true, policy), static_cast<DWORD>(E_ACCESSDENIED));
    EXPECT_EQ(Live(), 0);
}

// A refusal of the library at any step: its result comes back, nothing is
// committed and every object handed out is released, for each of the
// three policies.
TEST_F(LaunchRulesTest, LibraryFailureAtEachStepLeavesNothingInstalled)
{
    const struct {
        const char* label;
        std::function<DWORD()> install;
    } paths[] = {
        {"creation rule",
         [] {
             ProcessCreationRule rule;
             const DWORD error = AllowProcessCreation(L"C:\\qvxtest\\svc.exe", rule);
             // A failed install hands back nothing to remove.
             EXPECT_EQ(GuidText(rule.policy), GuidText(GUID{}));
             return error;
         }},
        {"process rules", [] { return AllowHostedProcess(L"C:\\qvxtest\\svc.exe", 4242, 4343); }},
        {"service-manager exception",
         [] {
             GUID policy = {};
             const DWORD error = AllowServiceManagerChange(L"qvxtrust", false, policy);
             EXPECT_EQ(GuidText(policy), GuidText(GUID{}));
             return error;
         }},
    };
    const struct {
        const wchar_t* operation;
        HRESULT result;
    } steps[] = {
        {L"NotComDllGetInterface:AacControl6", E_NOINTERFACE}, // no falling back to an older interface
        {L"CreateAccessControl", E_ACCESSDENIED},
        {L"CreatePolicy", E_OUTOFMEMORY},
        {L"CreateRule#1", E_FAIL},
        {L"CreateRule#2", E_INVALIDARG},
        {L"CreateActorMatcher#2", E_FAIL},
        {L"CreateTargetMatcher#1", E_ACCESSDENIED},
        {L"AddMatcher#3", E_FAIL},
        {L"AddRule#2", E_UNEXPECTED},
        {L"CommitPolicy", E_ACCESSDENIED},
    };
    for (const auto& path : paths) {
        for (const auto& step : steps) {
            SCOPED_TRACE(testing::Message() << path.label << ", " << std::string(step.operation, step.operation + wcslen(step.operation)));
            library_.Reset();
            library_.Fail(step.operation, step.result);
            test::TraceCapture traces;
            EXPECT_EQ(path.install(), static_cast<DWORD>(step.result));
            const std::wstring log = library_.Log();
            if (std::wstring(step.operation) != L"CommitPolicy") {
                EXPECT_EQ(log.find(L"CommitPolicy"), std::wstring::npos) << log;
            }
            EXPECT_EQ(log.find(L"AacControl5"), std::wstring::npos) << log;
            EXPECT_EQ(Live(), 0) << log;
            EXPECT_TRUE(traces.Contains(trace::kError, L"")) << traces.Dump();
        }
    }
}

// The launcher's stand-in, with each of its calls put into the stand-in
// library's log, so that rules and process steps read in one order.
class MarkingLauncher final : public ProcessLauncher {
public:
    explicit MarkingLauncher(test::RecordingLauncher& inner) : inner_(inner) { SetProcessLauncher(this); }
    ~MarkingLauncher() override { SetProcessLauncher(&inner_); }

    DWORD Create(const LaunchRequest& request, PROCESS_INFORMATION& info) override
    {
        Mark(L"create " + request.executablePath);
        if (onCreate)
            onCreate();
        return inner_.Create(request, info);
    }
    DWORD Resume(const PROCESS_INFORMATION& info) override
    {
        Mark(L"resume " + std::to_wstring(info.dwProcessId));
        return inner_.Resume(info);
    }
    DWORD Terminate(const PROCESS_INFORMATION& info, DWORD exitCode) override
    {
        Mark(L"terminate " + std::to_wstring(info.dwProcessId) + L" " + std::to_wstring(exitCode));
        return inner_.Terminate(info, exitCode);
    }

    std::vector<std::pair<size_t, std::wstring>> marks; // log length when called, what
    std::function<void()> onCreate;

private:
    void Mark(const std::wstring& what)
    {
        using ReadLog = DWORD(WINAPI*)(wchar_t*, DWORD);
        auto read = reinterpret_cast<ReadLog>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"qvxaccess.dll"), "QvxStandInReadLog")));
        marks.emplace_back(read ? read(nullptr, 0) : 0, what);
    }

    test::RecordingLauncher& inner_;
};

class LaunchWithRulesTest : public LaunchRulesTest {
public:
    LaunchWithRulesTest() { runtime_.PublishTable(&table_); }
    ~LaunchWithRulesTest() override
    {
        runtime_.PublishTable(nullptr);
        table_.Clear();
        runtime_.waitSet.Clear();
    }

    ServiceRecord& Add(const std::wstring& name, WinServiceType type, const std::wstring& binaryPath)
    {
        auto record = std::make_unique<ServiceRecord>();
        record->SetName(name);
        record->SetServiceType(type);
        record->SetBinaryPath(binaryPath);
        ServiceRecord* kept = record.get();
        EXPECT_TRUE(table_.Add(record));
        return *kept;
    }

    // What the library and the launcher saw, in order: "commit"/"delete"
    // with the policy's first rule, the process steps in between.
    std::vector<std::wstring> Steps() const
    {
        const std::wstring log = library_.Log();
        std::vector<std::pair<size_t, std::wstring>> events;
        std::map<std::wstring, std::wstring> firstRule; // policy label -> first rule text
        std::map<std::wstring, std::wstring> committed; // policy GUID -> first rule text
        size_t start = 0;
        std::wstring pendingPolicy;
        for (size_t end = log.find(L'\n'); end != std::wstring::npos; end = log.find(L'\n', start)) {
            const std::wstring line = log.substr(start, end - start);
            if (StartsWith(line, L"AddRule [")) {
                const size_t close = line.find(L"] [");
                const std::wstring policy = line.substr(9, close - 9);
                const std::wstring rule = line.substr(close + 3, line.size() - close - 4);
                if (!firstRule.count(policy))
                    firstRule[policy] = rule.substr(rule.find(L' ') + 1);
            } else if (StartsWith(line, L"CommitPolicy ")) {
                const std::wstring guid = line.substr(13, 38);
                const std::wstring policy = line.substr(53, line.size() - 54);
                const std::wstring rule = firstRule[policy];
                committed[guid] = rule;
                events.emplace_back(end + 1, L"commit " + rule);
            } else if (StartsWith(line, L"DeletePolicy ")) {
                events.emplace_back(end + 1, L"delete " + committed[line.substr(13, 38)]);
            }
            start = end + 1;
        }
        std::vector<std::wstring> steps;
        size_t next = 0;
        for (const auto& event : events) {
            while (next < marker_.marks.size() && marker_.marks[next].first < event.first)
                steps.push_back(marker_.marks[next++].second);
            steps.push_back(event.second);
        }
        while (next < marker_.marks.size())
            steps.push_back(marker_.marks[next++].second);
        return steps;
    }

    test::TraceCapture traces_;
    test::EventRecorder events_;

public:
    test::RecordingLauncher launcher_;
    MarkingLauncher marker_{launcher_};
    HostRuntime runtime_;
    ServiceTable table_;
};

TEST_F(LaunchWithRulesTest, EachLaunchIsWrappedInItsCreationRule)
{
    const std::wstring exe = L"C:\\qvxtest\\rules.exe";
    const std::wstring create = L"commit 1 Allow SVH to CreateProccess " + exe;
    const std::wstring remove = L"delete 1 Allow SVH to CreateProccess " + exe;
    const std::wstring processRules = L"commit 1 Allow " + exe + L" to access SVH named pipe";
    const std::wstring dll = L"C:\\qvxtest\\no-such-service.dll";
    struct Case {
        const char* label;
        WinServiceType type;
        std::wstring binaryPath;
        std::function<void(LaunchWithRulesTest&)> setup;
        DWORD expected;
        std::vector<std::wstring> steps; // 1000 and 1001: the new process and its thread
    };
    const std::vector<Case> cases = {
        {"own process", WinServiceType::kOwnProcess, exe + L" -x", nullptr, 0,
         {create, L"create " + exe, processRules, L"resume 1000", remove}},
        {"shared process, no host yet", WinServiceType::kShareProcess, L"\"" + exe + L"\" -s", nullptr, 0,
         {create, L"create " + exe, processRules, L"resume 1000", remove}},
        {"creation fails", WinServiceType::kOwnProcess, exe,
         [&](LaunchWithRulesTest& t) { t.launcher_.createErrors[exe] = ERROR_FILE_NOT_FOUND; }, ERROR_FILE_NOT_FOUND,
         {create, L"create " + exe, remove}},
        {"resume fails", WinServiceType::kOwnProcess, exe,
         [](LaunchWithRulesTest& t) { t.launcher_.resumeError = ERROR_ACCESS_DENIED; }, ERROR_ACCESS_DENIED,
         {create, L"create " + exe, processRules, L"resume 1000", L"terminate 1000 5", remove}},
        // The process never runs without its rules. (A refused commit is
        // in the record all the same: the library saw it.)
        {"process rules refused", WinServiceType::kOwnProcess, exe,
         [](LaunchWithRulesTest& t) {
             t.marker_.onCreate = [&t] { t.library_.Fail(L"CommitPolicy", E_ACCESSDENIED); };
         },
         static_cast<DWORD>(E_ACCESSDENIED),
         {create, L"create " + exe, processRules,
          L"terminate 1000 " + std::to_wstring(static_cast<DWORD>(E_ACCESSDENIED)), remove}},
        // A creation rule the library refused is not removed; the launch
        // goes on without it.
        {"creation rule refused", WinServiceType::kOwnProcess, exe,
         [](LaunchWithRulesTest& t) {
             t.library_.Fail(L"CommitPolicy", E_ACCESSDENIED);
             t.marker_.onCreate = [&t] { t.library_.Fail(L"CommitPolicy", S_OK); };
         },
         0, {create, L"create " + exe, processRules, L"resume 1000"}},
        {"DLL service whose DLL is missing", WinServiceType::kUserDll, dll,
         [](LaunchWithRulesTest&) {}, ERROR_MOD_NOT_FOUND,
         {L"commit 1 Allow SVH to CreateProccess " + dll, L"delete 1 Allow SVH to CreateProccess " + dll}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        library_.Reset();
        launcher_.Forget();
        launcher_.nextId = 1000;
        marker_.marks.clear();
        marker_.onCreate = nullptr;
        ServiceRecord& record = Add(test::UniqueName(L"rules"), c.type, c.binaryPath);
        if (c.type == WinServiceType::kUserDll)
            record.SetServiceMain("ServiceMain");
        if (c.setup)
            c.setup(*this);

        EXPECT_EQ(StartHostedService(runtime_, &record), c.expected);
        EXPECT_EQ(Joined(Steps()), Joined(c.steps)) << library_.Log();
        EXPECT_EQ(Live(), 0);
        EXPECT_FALSE(traces_.Contains(trace::kWarning, L"not built: temporary creation rule")) << traces_.Dump();
        EXPECT_FALSE(traces_.Contains(trace::kWarning, L"not built: per-process")) << traces_.Dump();
        table_.Remove(record);
    }
}

TEST_F(LaunchWithRulesTest, NewProcessRulesCarryItsIdAndThreadId)
{
    ServiceRecord& record = Add(L"ruled", WinServiceType::kOwnProcess, L"C:\\qvxtest\\ruled.exe");
    launcher_.nextId = 7770;
    ASSERT_EQ(StartHostedService(runtime_, &record), 0u);
    ASSERT_EQ(launcher_.created.size(), 1u);
    const PROCESS_INFORMATION& info = launcher_.created[0].info;
    const std::wstring log = library_.Log();
    EXPECT_NE(log.find(L"CreateActorMatcher actor 2 (null) " + std::to_wstring(info.dwProcessId) + L"\n"),
              std::wstring::npos)
        << log;
    EXPECT_NE(log.find(L"CreateActorMatcher actor 3 (null) " + std::to_wstring(info.dwThreadId) + L"\n"),
              std::wstring::npos)
        << log;
    EXPECT_NE(log.find(L"Remove this policy when C:\\qvxtest\\ruled.exe terminates"), std::wstring::npos) << log;
}

TEST_F(LaunchWithRulesTest, ServiceWaitingForItsHostGetsNoRules)
{
    const std::wstring exe = L"C:\\qvxtest\\sharedhost.exe";
    ServiceRecord& host = Add(L"rulehost", WinServiceType::kShareProcess, exe);
    ASSERT_TRUE(host.SetServiceState(ServiceState::kStartPending));
    PROCESS_INFORMATION info = {};
    ASSERT_EQ(launcher_.Create({exe, exe, false}, info), 0u);
    host.AttachProcess(HostedProcess::Adopt(info));
    host.SetListenerPipeName(L"\\\\.\\pipe\\rulehost_qvxsvh_listenerpipe");
    ServiceRecord& guest = Add(L"ruleguest", WinServiceType::kShareProcess, exe);

    ASSERT_EQ(StartHostedService(runtime_, &guest), 0u);
    EXPECT_EQ(guest.GetState(), ServiceState::kStartPending);
    EXPECT_TRUE(Operations(library_.Log()).empty()) << library_.Log();
}

} // namespace
} // namespace qvx
