#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/legacy_host_coexistence.h"
#include "host/management_service.h"
#include "platform/companion_interfaces.h"
#include "platform/handles.h"
#include "protect/access_control.h"
#include "protect/policy_builder.h"
#include "tests/support/unique_name.h"
#include "tests/trust/trust_fixtures.h"

namespace qvx {
namespace {

std::vector<std::wstring> g_steps;
bool g_managementProtected = true;

DWORD RecordProtection(const wchar_t* serviceName, bool removeProtection)
{
    g_steps.push_back(std::wstring(removeProtection ? L"remove " : L"add ") + serviceName);
    return ERROR_SUCCESS;
}

bool AnswerProtection(const wchar_t* /*serviceName*/)
{
    return g_managementProtected;
}

void RecordRepair(bool repairStart)
{
    g_steps.push_back(repairStart ? L"repair with start" : L"repair");
}

void RecordPassOn(AacNotification& /*notification*/)
{
    g_steps.push_back(L"pass on");
}

using Steps = std::vector<std::wstring>;

class FakeNotification final : public AacNotification {
public:
    FakeNotification(std::vector<GUID> rules, DWORD kind, DWORD flags, DWORD processId = 0)
        : rules_(std::move(rules)), kind_(kind), flags_(flags), processId_(processId)
    {
    }

    HRESULT result = S_OK;
    std::vector<BYTE> data;

    HRESULT WINAPI Result() override { return result; }
    DWORD WINAPI Kind() override { return kind_; }
    DWORD WINAPI Flags() override { return flags_; }
    DWORD WINAPI ProcessId() override { return processId_; }
    DWORD WINAPI RuleCount() override { return static_cast<DWORD>(rules_.size()); }
    BOOL WINAPI RuleId(DWORD index, GUID* ruleId) override
    {
        if (index >= rules_.size())
            return FALSE;
        *ruleId = rules_[index];
        return TRUE;
    }
    BOOL WINAPI RuleData(const BYTE** block, DWORD* size) override
    {
        *block = data.data();
        *size = static_cast<DWORD>(data.size());
        return TRUE;
    }

private:
    std::vector<GUID> rules_;
    DWORD kind_;
    DWORD flags_;
    DWORD processId_;
};

constexpr GUID kUnknownRule = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// The coexistence rules with their calls recorded and mutexes of their own,
// so that no other test's host takes this test for a legacy host.
class LegacyHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::wstring base = L"Global\\" + test::UniqueName(L"qvxlhost");
        names_ = {base, base + L"_ppl", base + L"_proxy_ppl", base + L"_shared_proxy_services"};
        for (int i = 0; i < 4; ++i)
            namePointers_[i] = names_[i].c_str();
        calls_ = {RecordProtection, AnswerProtection, RecordRepair, RecordPassOn, namePointers_};
        SetLegacyHostCalls(&calls_);
        g_steps.clear();
        g_managementProtected = true;
    }
    void TearDown() override { SetLegacyHostCalls(nullptr); }

    struct Flags {
        bool managementDown;
        bool proxyDown;
        bool present;
        bool operator==(const Flags& other) const
        {
            return managementDown == other.managementDown && proxyDown == other.proxyDown && present == other.present;
        }
    };
    Flags Current() const
    {
        return {service_->managementProtectionStoodDown.load(), service_->proxyProtectionStoodDown.load(),
                service_->runtime.legacyHostPresent.load()};
    }
    void Set(const Flags& flags)
    {
        service_->managementProtectionStoodDown.store(flags.managementDown);
        service_->proxyProtectionStoodDown.store(flags.proxyDown);
        service_->runtime.legacyHostPresent.store(flags.present);
    }

    std::vector<std::wstring> names_;
    const wchar_t* namePointers_[4] = {};
    LegacyHostCalls calls_ = {};
    std::unique_ptr<ManagementService> service_ = std::make_unique<ManagementService>();
};

TEST_F(LegacyHostTest, MutexProbeStandsDownWhatTheLegacyHostNeeds)
{
    enum : unsigned { kHost = 1, kPpl = 2, kProxyPpl = 4, kShared = 8 };
    const struct {
        const char* label;
        unsigned held;
        Steps steps;
        Flags after;
    } cases[] = {
        {"no legacy host", 0, {}, {false, false, false}},
        {"host mutex absent, the others held", kPpl | kProxyPpl | kShared, {}, {false, false, false}},
        {"all four held", kHost | kPpl | kProxyPpl | kShared, {}, {false, false, false}},
        {"host without its protected form",
         kHost | kProxyPpl | kShared,
         {L"remove qvxsvh"},
         {true, false, true}},
        {"host alone",
         kHost,
         {L"remove qvxsvh", L"remove qvxtrust", L"remove qvxfwsvc"},
         {true, true, true}},
        {"protected host without its proxies", kHost | kPpl, {L"remove qvxtrust", L"remove qvxfwsvc"}, {false, true, true}},
        {"protected host without shared proxy services",
         kHost | kPpl | kProxyPpl,
         {L"remove qvxtrust", L"remove qvxfwsvc"},
         {false, true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        g_steps.clear();
        service_ = std::make_unique<ManagementService>();
        std::vector<KernelHandle> held;
        for (int i = 0; i < 4; ++i) {
            if (c.held & (1u << i)) {
                held.emplace_back(CreateMutexW(nullptr, FALSE, names_[i].c_str()));
                ASSERT_TRUE(held.back());
            }
        }
        ProbeLegacyHostMutexes(*service_);
        EXPECT_EQ(g_steps, c.steps);
        EXPECT_TRUE(Current() == c.after);
        // The mutexes the probe created are gone again: a legacy host that
        // starts later can create them.
        for (int i = 0; i < 4; ++i) {
            if (c.held & (1u << i))
                continue;
            KernelHandle left(OpenMutexW(SYNCHRONIZE, FALSE, names_[i].c_str()));
            EXPECT_FALSE(left) << "mutex " << i << " left behind";
        }
    }
}

TEST_F(LegacyHostTest, NotificationsStandProtectionDownAndBackUp)
{
    const struct {
        const char* label;
        Flags before;
        bool managementProtected;
        std::vector<GUID> rules;
        DWORD kind;
        DWORD flags;
        Steps steps;
        Flags after;
        bool recognised;
    } cases[] = {
        {"rule 1: legacy host runs",
         {false, false, false}, true, {kLegacyHostManagementRuleId}, 1, 0x1,
         {L"remove qvxsvh", L"remove qvxtrust", L"remove qvxfwsvc"}, {true, false, true}, true},
        {"rule 1 while qvxsvh is not protected",
         {false, false, false}, false, {kLegacyHostManagementRuleId}, 1, 0x1, {}, {false, false, true}, true},
        {"rule 2: legacy host runs",
         {false, false, false}, true, {kLegacyHostProxyRuleId}, 1, 0x1,
         {L"remove qvxtrust", L"remove qvxfwsvc"}, {false, true, true}, true},
        {"rule 2 while qvxsvh is not protected",
         {false, false, false}, false, {kLegacyHostProxyRuleId}, 1, 0x1, {}, {false, false, true}, true},
        {"rule 1: legacy host ended",
         {true, false, true}, true, {kLegacyHostManagementRuleId}, 1, 0x800,
         {L"add qvxsvh", L"add qvxtrust", L"add qvxfwsvc", L"repair with start"}, {false, false, false}, true},
        {"rule 2: legacy host ended",
         {false, true, true}, true, {kLegacyHostProxyRuleId}, 1, 0x801,
         {L"add qvxsvh", L"add qvxtrust", L"add qvxfwsvc", L"repair with start"}, {false, false, false}, true},
        // Nothing to restore, but a host that comes later is a new one.
        {"legacy host ended with nothing stood down",
         {false, false, true}, true, {kLegacyHostManagementRuleId}, 1, 0x800, {}, {false, false, false}, true},
        {"rule 1 with neither flag", {false, false, false}, true, {kLegacyHostManagementRuleId}, 1, 0, {},
         {false, false, false}, true},
        {"proxy registration changed",
         {false, false, true}, true, {kProxyMonitorRuleId}, 2, 0, {L"repair"}, {false, false, true}, true},
        {"proxy monitor reports kind 16",
         {false, false, true}, true, {kProxyMonitorRuleId}, kProxyMonitorIgnoredKind, 0, {}, {false, false, true}, true},
        {"unknown rule", {true, true, true}, true, {kUnknownRule}, 2, 0x800, {}, {true, true, true}, false},
        {"unknown rule before rule 1",
         {false, false, false}, true, {kUnknownRule, kLegacyHostManagementRuleId}, 1, 0x1,
         {L"remove qvxsvh", L"remove qvxtrust", L"remove qvxfwsvc"}, {true, false, true}, true},
        {"only the first of rules 1 to 3 counts",
         {false, false, false}, true, {kLegacyHostProxyRuleId, kLegacyHostManagementRuleId}, 1, 0x1,
         {L"remove qvxtrust", L"remove qvxfwsvc"}, {false, true, true}, true},
        {"monitor rule and legacy host ended",
         {true, true, true}, true, {kProxyMonitorRuleId, kLegacyHostManagementRuleId}, 2, 0x800,
         {L"repair"}, {true, true, true}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        g_steps.clear();
        g_managementProtected = c.managementProtected;
        Set(c.before);
        FakeNotification notification(c.rules, c.kind, c.flags);
        EXPECT_EQ(HandleLegacyHostNotification(*service_, notification), c.recognised);
        EXPECT_EQ(g_steps, c.steps);
        EXPECT_TRUE(Current() == c.after);
    }
}

TEST_F(LegacyHostTest, CallbackKeepsASettledResultAndPassesOnWhatItDoesNotKnow)
{
    // A settled result keeps the rules out of it.
    FakeNotification settled({kLegacyHostManagementRuleId}, 1, 0x1);
    settled.result = E_ACCESSDENIED;
    EXPECT_EQ(service_->OnNotification(&settled), E_ACCESSDENIED);
    EXPECT_TRUE(Current() == (Flags{false, false, false}));
    FakeNotification unsettled({kLegacyHostManagementRuleId}, 1, 0x1);
    EXPECT_EQ(service_->OnNotification(&unsettled), S_OK);
    EXPECT_TRUE(Current() == (Flags{true, false, true}));

    auto block = [](size_t size, DWORD first) {
        std::vector<BYTE> data(size);
        memcpy(data.data(), &first, sizeof(first));
        return data;
    };
    const struct {
        const char* label;
        std::vector<GUID> rules;
        std::vector<BYTE> data;
        Steps steps;
    } cases[] = {
        {"meant for the hosted services", {kUnknownRule}, block(520, 1), {L"pass on"}},
        {"block too short", {kUnknownRule}, block(519, 1), {}},
        {"block of another kind", {kUnknownRule}, block(520, 2), {}},
        {"no rule at all", {}, block(600, 1), {L"pass on"}},
        {"a coexistence rule", {kLegacyHostCleanupRuleId}, block(520, 1), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        g_steps.clear();
        FakeNotification notification(c.rules, 1, 0);
        notification.data = c.data;
        EXPECT_EQ(service_->OnNotificationEx(&notification), S_OK);
        EXPECT_EQ(g_steps, c.steps);
        // The first operation never passes a notification on.
        g_steps.clear();
        EXPECT_EQ(service_->OnNotification(&notification), S_OK);
        EXPECT_EQ(g_steps, Steps{});
    }
}

// --- The policies, read back from the access-control stand-in --------------

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

std::vector<std::wstring> ObjectOperations(const std::wstring& log)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end = log.find(L'\n'); end != std::wstring::npos; end = log.find(L'\n', start)) {
        std::wstring line = log.substr(start, end - start);
        start = end + 1;
        if (line.rfind(L"Create", 0) == 0 || line.rfind(L"Add", 0) == 0 || line.rfind(L"Commit", 0) == 0)
            lines.push_back(line);
    }
    return lines;
}

// Each created rule with the matchers created for it, one line per rule.
std::vector<std::wstring> RulesWithMatchers(const std::vector<std::wstring>& operations)
{
    std::vector<std::wstring> rules;
    for (const std::wstring& line : operations) {
        if (line.rfind(L"CreateRule ", 0) == 0)
            rules.push_back(line.substr(11));
        else if (line.rfind(L"CreateActorMatcher ", 0) == 0 || line.rfind(L"CreateTargetMatcher ", 0) == 0)
            rules.back() += L" | " + line.substr(line.find(L' ') + 1);
    }
    return rules;
}

class LegacyHostPolicyTest : public LegacyHostTest {
protected:
    void SetUp() override
    {
        LegacyHostTest::SetUp();
        installDir_.Set(test::BinDirectory());
        ASSERT_TRUE(library_.Loaded());
        live_ = library_.Export<LONG(WINAPI*)()>("QvxStandInLiveObjects");
        ASSERT_NE(live_, nullptr);
        AacObject* object = nullptr;
        ASSERT_EQ(OpenStartupAccessControl(&object), 0u);
        *object_.Receive() = object;
        service_->accessControl = object;
        library_.Reset();
    }
    void TearDown() override
    {
        service_->accessControl = nullptr;
        object_.Reset();
        library_.Reset();
        LegacyHostTest::TearDown();
    }

    test::InstallDirOverride installDir_;
    test::StandIn library_{L"qvxaccess.dll"};
    LONG(WINAPI* live_)() = nullptr;
    AacRef<AacObject> object_;
};

std::wstring Versions(std::initializer_list<const wchar_t*> patterns)
{
    std::wstring text;
    for (const wchar_t* pattern : patterns)
        text += std::wstring(L" | actor 5 ") + pattern + L" 0";
    return text;
}

TEST_F(LegacyHostPolicyTest, CoexistencePolicyHasItsFourRulesInOrder)
{
    ASSERT_EQ(RegisterLegacyHostPolicy(*service_, *object_.Get()), 0u);
    const std::vector<std::wstring> operations = ObjectOperations(library_.Log());
    ASSERT_FALSE(operations.empty());
    EXPECT_EQ(operations.front(),
              L"CreatePolicy " + GuidText(kLegacyHostPolicyId) + L" legacy qvxlhost exlcusions policy");
    EXPECT_EQ(operations.back(), L"CommitPolicy " + GuidText(kLegacyHostPolicyId) + L" [" +
                                     GuidText(kLegacyHostPolicyId) + L" legacy qvxlhost exlcusions policy]");
    const std::wstring legacy = L" | actor 1 qvxlhost* 0 | actor 4 Quorvex Tessera Installer 0";
    const std::vector<std::wstring> expected = {
        GuidText(kLegacyHostManagementRuleId) + L" 4 Stand down SVH PPL when legacy qvxlhost runs" + legacy +
            Versions({L"9.8.*", L"9.9.*"}),
        GuidText(kLegacyHostProxyRuleId) + L" 4 Stand down Proxy Service PPL when legacy qvxlhost runs" + legacy +
            Versions({L"8.0.*", L"8.1.*", L"8.2.*", L"8.3.*", L"8.4.*", L"8.5.*", L"8.6.*", L"8.7.*", L"8.8.*",
                      L"8.9.*", L"9.0.*", L"9.1.*", L"9.2.*"}),
        GuidText(kLegacyHostDriverRuleId) + L" 4 Add NDIS exclusion when legacy qvxlhost runs" + legacy +
            Versions({L"9.0.*", L"9.1.*", L"9.2.*", L"9.3.*", L"9.4.*", L"9.5.*", L"9.6.*", L"9.7.*"}),
        GuidText(kLegacyHostCleanupRuleId) + L" 2 Legacy qvxlhost exclusions - delete on terminate | actor 2 (null) " +
            std::to_wstring(GetCurrentProcessId()) + L" | target 0 * 0x0 0x0",
    };
    EXPECT_EQ(RulesWithMatchers(operations), expected);
    EXPECT_EQ(live_(), 1); // the access-control object only
}

TEST_F(LegacyHostPolicyTest, RefusedStepLeavesNothingCommittedOrHeld)
{
    for (const wchar_t* step : {L"CreatePolicy", L"CreateActorMatcher", L"AddRule", L"CommitPolicy"}) {
        SCOPED_TRACE(std::string(step, step + wcslen(step)));
        library_.Reset();
        library_.Fail(step, E_FAIL);
        EXPECT_NE(RegisterLegacyHostPolicy(*service_, *object_.Get()), 0u);
        const std::vector<std::wstring> operations = ObjectOperations(library_.Log());
        for (size_t i = 0; i + 1 < operations.size(); ++i)
            EXPECT_NE(operations[i].rfind(L"CommitPolicy", 0), 0u);
        EXPECT_EQ(live_(), 1);
        library_.Fail(step, S_OK);
    }
}

TEST_F(LegacyHostPolicyTest, ReportedLegacyHostGetsItsExceptions)
{
    const std::wstring services = L" | actor 1 %SYSTEMROOT%\\SYSTEM32\\SERVICES.EXE 0";
    const std::wstring driverKeys = L"HKCCS\\SERVICES\\QVXNDRV\\**";
    const std::vector<std::wstring> driverPolicy = {
        L"CreatePolicy " + GuidText(kDriverKeysPolicyId) +
            L" Allow services.exe access to qvxndrv registry keys (legacy qvxlhost)",
        GuidText(kDriverKeysRuleId) + L" 1 Allow Services.exe access to qvxndrv registry keys" + services +
            L" | target 2 " + driverKeys + L" 0x309 0x0 | target 3 " + driverKeys + L" 0xb 0x0",
        GuidText(kDriverKeysCleanupRuleId) + L" 2 Remove qvxndrv exclusion when qvxlhost.exe terminates | actor 2 (null) 4711",
    };
    std::wstring watched;
    for (const wchar_t* proxy : {L"QVXTRUST", L"QVXFWSVC"})
        for (const wchar_t* value : {L"ImagePath", L"Type", L"Start"})
            watched += std::wstring(L" | target 3 HKCCS\\SERVICES\\") + proxy + L"\\" + value + L" 0x2 0x0";
    const std::vector<std::wstring> monitorPolicy = {
        L"CreatePolicy " + GuidText(kProxyMonitorPolicyId) + L" Monitor proxy service configuration changes (legacy qvxlhost)",
        GuidText(kProxyMonitorRuleId) + L" 4 Monitor proxy service configuration changes" + services + watched,
        GuidText(kProxyMonitorCleanupRuleId) + L" 2 Remove proxy service registry rule on terminate | actor 2 (null) 4711",
    };
    const struct {
        const char* label;
        bool presentBefore;
        GUID rule;
        DWORD flags;
        std::vector<std::wstring> policies;
    } cases[] = {
        {"rule 3", true, kLegacyHostDriverRuleId, 0x1, driverPolicy},
        {"legacy host newly present", false, kLegacyHostManagementRuleId, 0x1, monitorPolicy},
        {"legacy host already present", true, kLegacyHostProxyRuleId, 0x1, {}},
        {"legacy host ended", true, kLegacyHostManagementRuleId, 0x800, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        library_.Reset();
        Set({false, false, c.presentBefore});
        FakeNotification notification({c.rule}, 1, c.flags, 4711);
        EXPECT_TRUE(HandleLegacyHostNotification(*service_, notification));
        const std::vector<std::wstring> operations = ObjectOperations(library_.Log());
        std::vector<std::wstring> seen;
        if (!operations.empty()) {
            seen.push_back(operations.front());
            for (const std::wstring& rule : RulesWithMatchers(operations))
                seen.push_back(rule);
            EXPECT_EQ(operations.back().rfind(L"CommitPolicy " + operations.front().substr(13, 38), 0), 0u);
        }
        EXPECT_EQ(seen, c.policies);
        EXPECT_EQ(live_(), 1);
    }
}

} // namespace
} // namespace qvx
