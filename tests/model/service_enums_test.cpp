#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "model/service_enums.h"

namespace qvx {
namespace {

template <typename Enum>
struct FromNameCase {
    const char* name;
    const wchar_t* text;
    Enum value;
};

template <typename Enum>
struct NameCase {
    uint32_t value;
    const wchar_t* name;
};

template <typename Enum, size_t N, typename Convert>
void ExpectFromName(const FromNameCase<Enum> (&cases)[N], Convert convert)
{
    for (const auto& c : cases)
        EXPECT_EQ(static_cast<uint32_t>(convert(c.text)), static_cast<uint32_t>(c.value)) << c.name;
}

template <typename Enum, size_t N, typename Convert>
void ExpectNames(const NameCase<Enum> (&cases)[N], Convert convert)
{
    for (const auto& c : cases)
        EXPECT_STREQ(convert(static_cast<Enum>(c.value)), c.name) << "value 0x" << std::hex << c.value;
}

// Every named value reads back from its own name: the tables have no
// shadowed entries and the two directions agree.
template <typename Enum, size_t N, typename ToName, typename FromName>
void ExpectRoundTrip(const NameCase<Enum> (&cases)[N], const wchar_t* unnamed, ToName toName, FromName fromName)
{
    for (const auto& c : cases) {
        const Enum value = static_cast<Enum>(c.value);
        if (std::wstring(toName(value)) == unnamed)
            continue;
        EXPECT_EQ(static_cast<uint32_t>(fromName(toName(value))), c.value) << "value 0x" << std::hex << c.value;
    }
}

TEST(ServiceEnums, ServiceControl)
{
    using C = ServiceControl;
    const FromNameCase<C> fromName[] = {
        {"operating system control", L"SERVICE_CONTROL_PRESHUTDOWN", C::kPreshutdown},
        {"own control", L"SERVICE_CONTROL_QVX_POWER_STATE_CHANGE", C::kPowerStateChange},
        {"lower case", L"service_control_stop", C::kStop},
        {"mixed case", L"Service_Control_QVX_UpgradingSvh", C::kUpgradingSvh},
        {"misc has no value", kMiscControlName, C::kInvalid},
        {"trailing blank", L"SERVICE_CONTROL_STOP ", C::kInvalid},
        {"leading blank", L" SERVICE_CONTROL_STOP", C::kInvalid},
        {"prefix of a name", L"SERVICE_CONTROL_", C::kInvalid},
        {"empty", L"", C::kInvalid},
    };
    ExpectFromName(fromName, [](const wchar_t* t) { return ServiceControlFromName(t); });

    const NameCase<C> names[] = {
        {1, L"SERVICE_CONTROL_STOP"},
        {2, L"SERVICE_CONTROL_PAUSE"},
        {3, L"SERVICE_CONTROL_CONTINUE"},
        {4, L"SERVICE_CONTROL_INTERROGATE"},
        {5, L"SERVICE_CONTROL_SHUTDOWN"},
        {15, L"SERVICE_CONTROL_PRESHUTDOWN"},
        {0x800, L"SERVICE_CONTROL_QVX_UPGRADINGSVH"},
        {0x801, L"SERVICE_CONTROL_QVX_SVHUPGRADE_COMPLETE"},
        {0x10001, L"SERVICE_CONTROL_QVX_POWER_STATE_CHANGE"},
        {6, L"CONTROL_UNKNOWN"},
        {0, L"CONTROL_UNKNOWN"},
        {0xFFFFFFFF, L"CONTROL_UNKNOWN"},
    };
    ExpectNames(names, ServiceControlName);
    ExpectRoundTrip(names, L"CONTROL_UNKNOWN", ServiceControlName, [](const wchar_t* t) { return ServiceControlFromName(t); });
}

TEST(ServiceEnums, ServiceState)
{
    using S = ServiceState;
    const FromNameCase<S> fromName[] = {
        {"exact", L"SERVICE_RUNNING", S::kRunning},
        {"lower case", L"service_stopped", S::kStopped},
        {"trailing blank", L"SERVICE_STOPPED ", S::kInvalid},
        {"own state", L"SERVICE_POST_SHUTDOWN", S::kPostShutdown},
        {"longer name sharing a prefix", L"SERVICE_POST_SHUTDOWN_PENDING", S::kPostShutdownPending},
        {"name of another enumeration", L"SERVICE_ACTIVE", S::kInvalid},
        {"empty", L"", S::kInvalid},
    };
    ExpectFromName(fromName, [](const wchar_t* t) { return ServiceStateFromName(t); });

    const NameCase<S> names[] = {
        {1, L"SERVICE_STOPPED"},
        {2, L"SERVICE_START_PENDING"},
        {3, L"SERVICE_STOP_PENDING"},
        {4, L"SERVICE_RUNNING"},
        {5, L"SERVICE_CONTINUE_PENDING"},
        {6, L"SERVICE_PAUSE_PENDING"},
        {7, L"SERVICE_PAUSED"},
        {0x1000, L"SERVICE_POST_SHUTDOWN_PENDING"},
        {0x1001, L"SERVICE_POST_SHUTDOWN"},
        {0, L"SERVICE_STATE_UNKNOWN"},
        {8, L"SERVICE_STATE_UNKNOWN"},
    };
    ExpectNames(names, ServiceStateName);
    ExpectRoundTrip(names, L"SERVICE_STATE_UNKNOWN", ServiceStateName, [](const wchar_t* t) { return ServiceStateFromName(t); });
}

TEST(ServiceEnums, ServiceStateFilter)
{
    using F = ServiceStateFilter;
    const FromNameCase<F> fromName[] = {
        {"active", L"SERVICE_ACTIVE", F::kActive},
        {"all, mixed case", L"Service_State_All", F::kAll},
        {"unmatched is zero", L"SERVICE_ALL", F::kNone},
        {"empty", L"", F::kNone},
    };
    ExpectFromName(fromName, [](const wchar_t* t) { return ServiceStateFilterFromName(t); });

    const NameCase<F> names[] = {
        {1, L"SERVICE_ACTIVE"},
        {2, L"SERVICE_INACTIVE"},
        {3, L"SERVICE_STATE_ALL"},
        {0, L"UNKNOWN"},
        {4, L"UNKNOWN"},
    };
    ExpectNames(names, ServiceStateFilterName);
    ExpectRoundTrip(names, L"UNKNOWN", ServiceStateFilterName, [](const wchar_t* t) { return ServiceStateFilterFromName(t); });
}

TEST(ServiceEnums, SvhServiceType)
{
    using T = SvhServiceType;
    const FromNameCase<T> fromName[] = {
        {"exact", L"SERVICE_TYPE_SVH", T::kSvh},
        {"lower case", L"service_type_svh", T::kSvh},
        {"unmatched is zero", L"SERVICE_TYPE_UNKNOWN", T::kUnknown},
    };
    ExpectFromName(fromName, [](const wchar_t* t) { return SvhServiceTypeFromName(t); });

    const NameCase<T> names[] = {
        {2, L"SERVICE_TYPE_SVH"},
        {0, L"SERVICE_TYPE_UNKNOWN"},
        {1, L"SERVICE_TYPE_UNKNOWN"},
    };
    ExpectNames(names, SvhServiceTypeName);
}

TEST(ServiceEnums, WinServiceType)
{
    using T = WinServiceType;
    const FromNameCase<T> fromName[] = {
        {"own process", L"SERVICE_WIN32_OWN_PROCESS", T::kOwnProcess},
        {"share process, lower case", L"service_win32_share_process", T::kShareProcess},
        {"both bits is not a prefix match", L"SERVICE_WIN32", T::kWin32},
        {"dll", L"SERVICE_SVH_USER_DLL", T::kUserDll},
        {"unmatched is zero", L"SERVICE_WIN32_", T::kUnknown},
    };
    ExpectFromName(fromName, [](const wchar_t* t) { return WinServiceTypeFromName(t); });

    const NameCase<T> names[] = {
        {0x10, L"SERVICE_WIN32_OWN_PROCESS"},
        {0x20, L"SERVICE_WIN32_SHARE_PROCESS"},
        {0x30, L"SERVICE_WIN32"},
        {0x10030, L"SERVICE_SVH_USER_DLL"},
        {0x10010, L"WIN_SERVICE_TYPE_UNKNOWN"},
        {0x10000, L"WIN_SERVICE_TYPE_UNKNOWN"},
        {0, L"WIN_SERVICE_TYPE_UNKNOWN"},
    };
    ExpectNames(names, WinServiceTypeName);
    ExpectRoundTrip(names, L"WIN_SERVICE_TYPE_UNKNOWN", WinServiceTypeName, [](const wchar_t* t) { return WinServiceTypeFromName(t); });
}

TEST(ServiceEnums, StartupProfile)
{
    using P = StartupProfile;
    const FromNameCase<P> fromName[] = {
        {"early", L"SERVICE_START_EARLY", P::kEarly},
        {"demand, mixed case", L"Service_Start_Demand", P::kDemand},
        {"unmatched is none", L"SERVICE_START_AUTO", P::kNone},
        {"the none name itself", L"SERVICE_START_UNKNOWN", P::kNone},
        {"empty", L"", P::kNone},
        {"null", nullptr, P::kNone},
    };
    ExpectFromName(fromName, [](const wchar_t* t) { return StartupProfileFromName(t); });

    const NameCase<P> names[] = {
        {11, L"SERVICE_START_EARLY"},
        {12, L"SERVICE_START_NORMAL"},
        {13, L"SERVICE_START_LATE"},
        {14, L"SERVICE_START_DEMAND"},
        {10, L"SERVICE_START_UNKNOWN"},
        {0, L"SERVICE_START_UNKNOWN"},
        {15, L"SERVICE_START_UNKNOWN"},
    };
    ExpectNames(names, StartupProfileName);
    ExpectRoundTrip(names, L"SERVICE_START_UNKNOWN", StartupProfileName, [](const wchar_t* t) { return StartupProfileFromName(t); });
    EXPECT_LT(P::kEarly, P::kNormal);
    EXPECT_LT(P::kLate, P::kDemand);
}

TEST(ServiceEnums, LaunchProtection)
{
    using L = LaunchProtection;
    const FromNameCase<L> fromName[] = {
        {"light", L"SERVICE_LAUNCH_PROTECTED_ANTIMALWARE_LIGHT", L::kAntimalwareLight},
        {"none, lower case", L"service_launch_protected_none", L::kNone},
        {"unmatched is told apart from none", L"SERVICE_LAUNCH_PROTECTED_WINDOWS", L::kInvalid},
        {"surrounded by line breaks", L"\nSERVICE_LAUNCH_PROTECTED_NONE\n", L::kInvalid},
    };
    ExpectFromName(fromName, [](const wchar_t* t) { return LaunchProtectionFromName(t); });

    const NameCase<L> names[] = {
        {3, L"SERVICE_LAUNCH_PROTECTED_ANTIMALWARE_LIGHT"},
        {0, L"SERVICE_LAUNCH_PROTECTED_NONE"},
        {1, L"SERVICE_LAUNCH_PROTECTED_NONE"},
        {0xFFFFFFFF, L"SERVICE_LAUNCH_PROTECTED_NONE"},
    };
    ExpectNames(names, LaunchProtectionName);
}

TEST(ServiceEnums, BuiltinAccountsCompareExactly)
{
    const struct {
        const wchar_t* account;
        bool builtin;
    } cases[] = {
        {L"LocalSystem", true},
        {L"LocalService", true},
        {L"localsystem", false},
        {L"LOCALSERVICE", false},
        {L"LocalSystem ", false},
        {L"NetworkService", false},
        {L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsBuiltinServiceAccount(c.account), c.builtin) << testing::PrintToString(std::wstring(c.account));
}

} // namespace
} // namespace qvx
