#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "model/service_table.h"
#include "model/service_timers.h"
#include "model/table_lock.h"
#include "tests/model/recording_release.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

using test::ReleasedTimer;
using test::RecordingRelease;

struct ServiceDraft {
    const wchar_t* name;
    SvhServiceType svhType = SvhServiceType::kSvh;
    WinServiceType serviceType = WinServiceType::kOwnProcess;
    const wchar_t* binaryPath = L"C:\\svc\\own.exe";
    ServiceState state = ServiceState::kStopped;
    bool hasProcess = false;
    std::vector<std::wstring> waiters = {};
    StartupProfile wave = StartupProfile::kNormal;
    std::vector<std::wstring> dependOn = {};
};

// A service that matters only for its start-up wave and dependencies.
ServiceDraft InWave(const wchar_t* name, StartupProfile wave, std::vector<std::wstring> dependOn = {})
{
    ServiceDraft draft{name};
    draft.wave = wave;
    draft.dependOn = std::move(dependOn);
    return draft;
}

std::unique_ptr<ServiceRecord> MakeRecord(const ServiceDraft& draft)
{
    auto record = std::make_unique<ServiceRecord>();
    record->SetName(draft.name);
    record->SetSVHType(draft.svhType);
    record->SetServiceType(draft.serviceType);
    record->SetBinaryPath(draft.binaryPath);
    record->SetStartupProfile(draft.wave);
    record->SetDependOnService(draft.dependOn);
    record->SetWaiters(draft.waiters);
    // STOP_PENDING is reached through RUNNING.
    if (draft.state == ServiceState::kStopPending) {
        EXPECT_TRUE(record->SetServiceState(ServiceState::kRunning));
    }
    if (draft.state != ServiceState::kStopped) {
        EXPECT_TRUE(record->SetServiceState(draft.state));
    }
    if (draft.hasProcess) {
        // An event stands in for the process handle the record closes.
        PROCESS_INFORMATION info = {};
        info.hProcess = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        info.dwProcessId = 4242;
        record->AttachProcess(HostedProcess::Adopt(info));
    }
    return record;
}

class ServiceTableTest : public testing::Test {
protected:
    ServiceRecord* Add(const ServiceDraft& draft)
    {
        auto record = MakeRecord(draft);
        ServiceRecord* raw = record.get();
        EXPECT_TRUE(table_.Add(record)) << "adding " << testing::PrintToString(std::wstring(draft.name));
        return raw;
    }

    std::vector<std::wstring> NamesInOrder() const
    {
        std::vector<std::wstring> names;
        for (size_t i = 0; ServiceRecord* record = table_.GetAt(i); ++i)
            names.push_back(record->GetName());
        return names;
    }

    ServiceTable table_;
};

TEST_F(ServiceTableTest, AddRefusesANameOnlyWithinTheSameSvhType)
{
    struct Case {
        const char* what;
        const wchar_t* present;
        SvhServiceType presentType;
        const wchar_t* added;
        SvhServiceType addedType;
        bool accepted;
    };
    const Case cases[] = {
        {"same name, same type", L"alpha", SvhServiceType::kSvh, L"alpha", SvhServiceType::kSvh, false},
        {"case differs, both svh", L"alpha", SvhServiceType::kSvh, L"ALPHA", SvhServiceType::kSvh, false},
        {"non-ascii letter case differs", L"uc_\u00e9t\u00e9", SvhServiceType::kSvh, L"uc_\u00c9t\u00c9",
         SvhServiceType::kSvh, false},
        {"another non-ascii letter", L"uc_\u00e9t\u00e9", SvhServiceType::kSvh, L"uc_\u00e8t\u00e9",
         SvhServiceType::kSvh, true},
        {"case differs, new one unknown", L"alpha", SvhServiceType::kSvh, L"Alpha", SvhServiceType::kUnknown, true},
        {"same name, both unknown", L"alpha", SvhServiceType::kUnknown, L"alpha", SvhServiceType::kUnknown, false},
        {"longer name", L"alpha", SvhServiceType::kSvh, L"alphab", SvhServiceType::kSvh, true},
        {"shorter name", L"alpha", SvhServiceType::kSvh, L"alph", SvhServiceType::kSvh, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        table_.Clear();
        Add({c.present, c.presentType});

        auto record = MakeRecord({c.added, c.addedType});
        ServiceRecord* raw = record.get();
        EXPECT_EQ(table_.Add(record), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(record, nullptr) << "an accepted record belongs to the table";
            EXPECT_EQ(table_.GetAt(1), raw);
        } else {
            EXPECT_EQ(record.get(), raw) << "a refused record stays with the caller";
            EXPECT_EQ(table_.GetAt(1), nullptr);
        }
    }
}

TEST_F(ServiceTableTest, ConcurrentAddsOfOneNameLetExactlyOneIn)
{
    constexpr int kRounds = 100;
    constexpr int kThreads = 8;
    for (int round = 0; round < kRounds; ++round) {
        table_.Clear();
        std::atomic<int> ready{0};
        std::atomic<int> accepted{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                auto record = MakeRecord({t % 2 ? L"racer" : L"RACER"});
                ++ready;
                while (ready.load() < kThreads)
                    std::this_thread::yield();
                if (table_.Add(record))
                    ++accepted;
            });
        }
        for (auto& thread : threads)
            thread.join();
        ASSERT_EQ(accepted.load(), 1) << "round " << round;
        ASSERT_EQ(table_.Count(SvhServiceType::kUnknown), 1u) << "round " << round;
    }
}

TEST_F(ServiceTableTest, OperationsNestInsideTheCallersHold)
{
    TableLock shared(table_.Lock(), TableLockMode::Shared);
    Add({L"alpha"});
    EXPECT_EQ(RecursiveTableLock::HeldMode(), static_cast<int>(TableLockMode::Shared))
        << "the append's exclusive hold drops back to the caller's shared one";
    EXPECT_NE(table_.FindByName(L"alpha"), nullptr);
    EXPECT_TRUE(table_.Remove(*table_.FindByName(L"alpha")));
    EXPECT_EQ(RecursiveTableLock::HeldMode(), static_cast<int>(TableLockMode::Shared));
}

TEST_F(ServiceTableTest, FindByNameFoldsCaseAndTakesTheFirstInInsertionOrder)
{
    ServiceRecord* alpha = Add({L"alpha"});
    ServiceRecord* dupUnknown = Add({L"dup", SvhServiceType::kUnknown});
    ServiceRecord* dupSvh = Add({L"dup", SvhServiceType::kSvh});
    ServiceRecord* onlyUnknown = Add({L"other", SvhServiceType::kUnknown});
    ServiceRecord* summer = Add({L"uc_\u00e9t\u00e9"});

    struct Case {
        const wchar_t* query;
        ServiceRecord* byName;
        ServiceRecord* svhByName;
    };
    const Case cases[] = {
        {L"alpha", alpha, alpha},
        {L"ALPHA", alpha, alpha},
        {L"aLpHa", alpha, alpha},
        {L"alph", nullptr, nullptr},
        {L"alphaa", nullptr, nullptr},
        {L"", nullptr, nullptr},
        {L"DUP", dupUnknown, dupSvh},
        {L"other", onlyUnknown, nullptr},
        {L"UC_\u00c9T\u00c9", summer, summer},
        {L"uc_\u00e9t\u00e8", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.query)));
        EXPECT_EQ(table_.FindByName(c.query), c.byName);
        EXPECT_EQ(table_.FindSvhByName(c.query), c.svhByName);
    }
}

TEST_F(ServiceTableTest, GetAtAndCount)
{
    EXPECT_EQ(table_.GetAt(0), nullptr);
    EXPECT_EQ(table_.Count(SvhServiceType::kUnknown), 0u);
    EXPECT_EQ(table_.Count(SvhServiceType::kSvh), 0u);

    Add({L"first"});
    Add({L"second", SvhServiceType::kUnknown});
    Add({L"third"});

    EXPECT_EQ(NamesInOrder(), (std::vector<std::wstring>{L"first", L"second", L"third"}));
    EXPECT_EQ(table_.GetAt(3), nullptr) << "the count itself is past the end";
    EXPECT_EQ(table_.GetAt(static_cast<size_t>(-1)), nullptr);

    struct Case {
        SvhServiceType type;
        size_t count;
    };
    const Case cases[] = {
        {SvhServiceType::kUnknown, 3}, // every record
        {SvhServiceType::kSvh, 2},
        {static_cast<SvhServiceType>(7), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(table_.Count(c.type), c.count) << "type " << static_cast<uint32_t>(c.type);
}

TEST_F(ServiceTableTest, RemoveDestroysTheRecordAndClosesTheGap)
{
    RecordingRelease release;
    Add({L"a"});
    ServiceRecord* b = Add({L"b"});
    Add({L"c"});
    ASSERT_TRUE(CreateRestartDelayTimer(*b));
    HANDLE timer = b->GetTimer(ServiceTimer::kRestartDelay);

    EXPECT_TRUE(table_.Remove(*b));
    EXPECT_EQ(NamesInOrder(), (std::vector<std::wstring>{L"a", L"c"}));
    EXPECT_EQ(release.released, (std::vector<RecordingRelease::Released>{ReleasedTimer(timer)}))
        << "the destroyed record's timer goes through the handle release";

    // A scratch record stands for the entry of its name.
    ServiceRecord scratch;
    scratch.SetName(L"C");
    EXPECT_TRUE(table_.Remove(scratch));
    EXPECT_EQ(NamesInOrder(), (std::vector<std::wstring>{L"a"}));
    EXPECT_FALSE(table_.Remove(scratch));
}

TEST_F(ServiceTableTest, RemoveTakesTheRecordItselfBeforeAnotherOfItsName)
{
    ServiceRecord* unknown = Add({L"dup", SvhServiceType::kUnknown});
    ServiceRecord* svh = Add({L"dup", SvhServiceType::kSvh});

    EXPECT_TRUE(table_.Remove(*svh));
    EXPECT_EQ(table_.GetAt(0), unknown);
    EXPECT_EQ(table_.GetAt(1), nullptr);
}

TEST_F(ServiceTableTest, ClearDestroysEveryRecord)
{
    RecordingRelease release;
    ServiceRecord* a = Add({L"a"});
    ServiceRecord* b = Add({L"b"});
    ASSERT_TRUE(CreateStartupTimer(*a));
    ASSERT_TRUE(CreateResetPeriodTimer(*b));
    const std::vector<RecordingRelease::Released> expected = {
        ReleasedTimer(a->GetTimer(ServiceTimer::kStartup)),
        ReleasedTimer(b->GetTimer(ServiceTimer::kResetPeriod)),
    };

    table_.Clear();
    EXPECT_EQ(table_.Count(SvhServiceType::kUnknown), 0u);
    EXPECT_EQ(table_.GetAt(0), nullptr);
    EXPECT_EQ(release.released, expected);

    Add({L"a"});
    EXPECT_EQ(table_.Count(SvhServiceType::kUnknown), 1u);
}

TEST_F(ServiceTableTest, CollectSharedProcessGroup)
{
    ServiceRecord* host = Add({L"host", SvhServiceType::kSvh, WinServiceType::kShareProcess, L"C:\\Bin\\Host.exe"});
    Add({L"own", SvhServiceType::kSvh, WinServiceType::kOwnProcess, L"C:\\Bin\\Host.exe"});
    ServiceRecord* guest = Add({L"guest", SvhServiceType::kSvh, WinServiceType::kShareProcess, L"c:\\bin\\HOST.EXE"});
    ServiceRecord* other = Add({L"other", SvhServiceType::kSvh, WinServiceType::kShareProcess, L"C:\\Bin\\Other.exe"});
    Add({L"both", SvhServiceType::kSvh, WinServiceType::kWin32, L"C:\\Bin\\Host.exe"});

    struct Case {
        const char* what;
        const wchar_t* path;
        std::vector<ServiceRecord*> group;
    };
    const Case cases[] = {
        {"every share-process record of the path, case folded", L"C:\\BIN\\host.exe", {host, guest}},
        {"a path of its own", L"C:\\Bin\\Other.exe", {other}},
        {"no such path", L"C:\\Bin\\None.exe", {}},
        {"a longer path is another path", L"C:\\Bin\\Host.exe ", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ServiceRecord probe;
        probe.SetBinaryPath(c.path);
        std::vector<ServiceRecord*> group;
        EXPECT_EQ(table_.CollectSharedProcessGroup(probe, group), !c.group.empty());
        EXPECT_EQ(group, c.group);
    }

    // The list is appended to; the answer is about the whole list.
    std::vector<ServiceRecord*> group = {host};
    ServiceRecord probe;
    probe.SetBinaryPath(L"C:\\Bin\\None.exe");
    EXPECT_TRUE(table_.CollectSharedProcessGroup(probe, group));
    EXPECT_EQ(group.size(), 1u);
}

TEST_F(ServiceTableTest, FindSharedHostPasses)
{
    constexpr auto kShare = WinServiceType::kShareProcess;
    constexpr auto kSvh = SvhServiceType::kSvh;
    constexpr wchar_t kPath[] = L"C:\\bin\\host.exe";
    using S = ServiceState;

    struct Case {
        const char* what;
        std::vector<ServiceDraft> table;
        const wchar_t* host; // null: none
    };
    const Case cases[] = {
        {"running beats an earlier starting host with waiters",
            {{L"p", kSvh, kShare, kPath, S::kStartPending, true, {L"w"}}, {L"r", kSvh, kShare, kPath, S::kRunning}},
            L"r"},
        {"the first running host in insertion order",
            {{L"r1", kSvh, kShare, kPath, S::kRunning}, {L"r2", kSvh, kShare, kPath, S::kRunning}}, L"r1"},
        {"starting with waiters beats an earlier starting host without",
            {{L"p1", kSvh, kShare, kPath, S::kStartPending, true},
                {L"p2", kSvh, kShare, kPath, S::kStartPending, true, {L"w"}}},
            L"p2"},
        {"starting with a process beats one waiting without a process",
            {{L"p1", kSvh, kShare, kPath, S::kStartPending, false, {L"w"}},
                {L"p2", kSvh, kShare, kPath, S::kStartPending, true}},
            L"p2"},
        {"starting without a process is no host",
            {{L"p", kSvh, kShare, kPath, S::kStartPending, false, {L"w"}}}, nullptr},
        {"a stopped record with a process is no host", {{L"s", kSvh, kShare, kPath, S::kStopped, true}}, nullptr},
        {"stop pending is no host", {{L"s", kSvh, kShare, kPath, S::kStopPending, true}}, nullptr},
        {"the path compares with case folded",
            {{L"r", kSvh, kShare, L"C:\\BIN\\HOST.EXE", S::kRunning}}, L"r"},
        {"another executable is no host", {{L"r", kSvh, kShare, L"C:\\bin\\other.exe", S::kRunning}}, nullptr},
        {"an own-process service is no host",
            {{L"r", kSvh, WinServiceType::kOwnProcess, kPath, S::kRunning}}, nullptr},
        {"the service itself is no host", {{L"self", kSvh, kShare, kPath, S::kRunning}}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        table_.Clear();
        for (const auto& draft : c.table)
            Add(draft);
        auto self = MakeRecord({L"self", kSvh, kShare, kPath});
        auto hostProcess = HostedProcess::Adopt({}); // a stale answer, to be replaced
        ServiceRecord* host = table_.FindSharedHost(*self, &hostProcess);
        EXPECT_EQ(table_.FindSharedHost(*self), host);
        if (c.host) {
            ASSERT_NE(host, nullptr);
            EXPECT_EQ(host->GetName(), c.host);
            EXPECT_EQ(hostProcess, host->Process()) << "the host's own process is handed out";
        } else {
            EXPECT_EQ(host, nullptr) << "found " << testing::PrintToString(host->GetName());
            EXPECT_EQ(hostProcess, nullptr);
        }
    }
}

// A service that joins a running host attaches the host's process: the
// handles stay open while either record holds them and close with the last.
TEST_F(ServiceTableTest, JoiningAHostSharesItsProcess)
{
    constexpr wchar_t kPath[] = L"C:\\bin\\host.exe";
    ServiceRecord* host = Add({L"host", SvhServiceType::kSvh, WinServiceType::kShareProcess, kPath,
        ServiceState::kRunning, true});
    ServiceRecord* guest = Add({L"guest", SvhServiceType::kSvh, WinServiceType::kShareProcess, kPath});
    const HANDLE processHandle = host->Process()->ProcessHandle();

    std::shared_ptr<HostedProcess> joined;
    ASSERT_EQ(table_.FindSharedHost(*guest, &joined), host);
    guest->AttachProcess(std::move(joined));
    EXPECT_EQ(guest->Process(), host->Process());

    std::vector<ServiceRecord*> group;
    std::shared_ptr<HostedProcess> groupProcess;
    ASSERT_TRUE(table_.CollectSharedProcessGroup(*guest, group, &groupProcess));
    EXPECT_EQ(groupProcess, host->Process());
    groupProcess.reset();

    DWORD flags = 0;
    host->ReleaseProcessHandles();
    EXPECT_TRUE(GetHandleInformation(processHandle, &flags)) << "the host's release closed the guest's process";
    EXPECT_TRUE(table_.CollectSharedProcessGroup(*guest, group, &groupProcess));
    EXPECT_EQ(groupProcess, guest->Process()) << "the first member holding the process answers";
    groupProcess.reset();
    guest->ReleaseProcessHandles();
    EXPECT_FALSE(GetHandleInformation(processHandle, &flags)) << "the last release left the process open";
    EXPECT_TRUE(table_.CollectSharedProcessGroup(*guest, group, &groupProcess));
    EXPECT_EQ(groupProcess, nullptr);
}

TEST_F(ServiceTableTest, DependsOnAndHasDependents)
{
    ServiceRecord* a = Add(InWave(L"a", StartupProfile::kNormal, {L"x", L"B"}));
    ServiceRecord* b = Add({L"b"});
    ServiceRecord* c = Add(InWave(L"c", StartupProfile::kNormal, {L"b"}));
    ServiceRecord* summer = Add({L"\u00e9t\u00e9"});
    ServiceRecord* winter = Add(InWave(L"winter", StartupProfile::kNormal, {L"\u00c9T\u00c9"}));

    EXPECT_TRUE(ServiceTable::DependsOn(*a, *b)) << "names compare with case folded";
    EXPECT_FALSE(ServiceTable::DependsOn(*b, *a));
    EXPECT_FALSE(ServiceTable::DependsOn(*a, *c));
    EXPECT_TRUE(ServiceTable::DependsOn(*winter, *summer)) << "non-ASCII letters compare with case folded";
    EXPECT_TRUE(table_.HasDependents(*summer));

    EXPECT_TRUE(table_.HasDependents(*b));
    EXPECT_FALSE(table_.HasDependents(*a));
    EXPECT_FALSE(table_.HasDependents(*c));
    ServiceRecord outsider;
    outsider.SetName(L"X");
    EXPECT_TRUE(table_.HasDependents(outsider)) << "a dependency on a service not in the table still counts";
}

TEST_F(ServiceTableTest, ValidateDependencies)
{
    using P = StartupProfile;
    Add(InWave(L"early", P::kEarly));
    Add(InWave(L"normal", P::kNormal, {L"early"}));
    Add(InWave(L"late", P::kLate));
    Add(InWave(L"demand", P::kDemand));
    Add(InWave(L"unset", P::kNone));
    Add(InWave(L"loopy", P::kNormal, {L"SUBJECT"}));
    Add(InWave(L"chain1", P::kNormal, {L"chain2"}));
    Add(InWave(L"chain2", P::kNormal, {L"subject"}));
    Add(InWave(L"ring1", P::kNormal, {L"ring2"}));
    Add(InWave(L"ring2", P::kNormal, {L"ring1", L"gone"}));
    Add(InWave(L"\u00e9t\u00e9", P::kNormal));
    Add(InWave(L"chain3", P::kNormal, {L"\u00c9_LINK"}));
    Add(InWave(L"\u00e9_link", P::kNormal, {L"subject"}));

    struct Case {
        const char* what;
        StartupProfile wave;
        std::vector<std::wstring> dependOn;
        const wchar_t* failing; // the dependency named in the error trace; null: passes
    };
    const Case cases[] = {
        {"an empty list", P::kNormal, {}, nullptr},
        {"empty names are skipped", P::kNormal, {L"", L"early"}, nullptr},
        {"itself", P::kNormal, {L"subject"}, L"subject"},
        {"itself in another case", P::kNormal, {L"Subject"}, L"Subject"},
        {"the management service", P::kNormal, {L"qvxsvh"}, L"qvxsvh"},
        {"the management service in upper case", P::kNormal, {L"QVXSVH"}, L"QVXSVH"},
        {"a missing service", P::kNormal, {L"missing"}, L"missing"},
        {"a service that depends on this one", P::kNormal, {L"loopy"}, L"loopy"},
        {"a circle through another service", P::kNormal, {L"chain1"}, L"chain1"},
        {"a circle that does not reach this one", P::kNormal, {L"ring1"}, nullptr},
        {"an early service on a normal one", P::kEarly, {L"normal"}, L"normal"},
        {"a normal service on an early one", P::kNormal, {L"early"}, nullptr},
        {"the same wave", P::kNormal, {L"NORMAL"}, nullptr},
        {"a late service on every earlier wave", P::kLate, {L"early", L"normal", L"late", L"unset"}, nullptr},
        {"a demand service", P::kLate, {L"demand"}, L"demand"},
        {"a failure after a passing name", P::kNormal, {L"early", L"missing"}, L"missing"},
        {"non-ascii letters in another case", P::kNormal, {L"\u00c9T\u00c9"}, nullptr},
        {"a circle through a name in another case", P::kNormal, {L"chain3"}, L"chain3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TraceCapture traces;
        auto subject = MakeRecord(InWave(L"subject", c.wave, c.dependOn));
        EXPECT_EQ(table_.ValidateDependencies(*subject), c.failing == nullptr);
        if (c.failing) {
            EXPECT_TRUE(traces.Contains(trace::kError, c.failing)) << testing::PrintToString(traces.Dump());
            EXPECT_TRUE(traces.Contains(trace::kError, L"subject")) << testing::PrintToString(traces.Dump());
        }
    }
}

} // namespace
} // namespace qvx
