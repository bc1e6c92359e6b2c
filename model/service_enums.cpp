#include "model/service_enums.h"

#include "model/name_table.h"

namespace qvx {
namespace {

constexpr NameEntry<ServiceControl> kServiceControlNames[] = {
    {ServiceControl::kStop, L"SERVICE_CONTROL_STOP"},
    {ServiceControl::kPause, L"SERVICE_CONTROL_PAUSE"},
    {ServiceControl::kContinue, L"SERVICE_CONTROL_CONTINUE"},
    {ServiceControl::kInterrogate, L"SERVICE_CONTROL_INTERROGATE"},
    {ServiceControl::kShutdown, L"SERVICE_CONTROL_SHUTDOWN"},
    {ServiceControl::kPreshutdown, L"SERVICE_CONTROL_PRESHUTDOWN"},
    {ServiceControl::kUpgradingSvh, L"SERVICE_CONTROL_QVX_UPGRADINGSVH"},
    {ServiceControl::kSvhUpgradeComplete, L"SERVICE_CONTROL_QVX_SVHUPGRADE_COMPLETE"},
    {ServiceControl::kPowerStateChange, L"SERVICE_CONTROL_QVX_POWER_STATE_CHANGE"},
};

constexpr NameEntry<ServiceState> kServiceStateNames[] = {
    {ServiceState::kStopped, L"SERVICE_STOPPED"},
    {ServiceState::kStartPending, L"SERVICE_START_PENDING"},
    {ServiceState::kStopPending, L"SERVICE_STOP_PENDING"},
    {ServiceState::kRunning, L"SERVICE_RUNNING"},
    {ServiceState::kContinuePending, L"SERVICE_CONTINUE_PENDING"},
    {ServiceState::kPausePending, L"SERVICE_PAUSE_PENDING"},
    {ServiceState::kPaused, L"SERVICE_PAUSED"},
    {ServiceState::kPostShutdownPending, L"SERVICE_POST_SHUTDOWN_PENDING"},
    {ServiceState::kPostShutdown, L"SERVICE_POST_SHUTDOWN"},
};

constexpr NameEntry<ServiceStateFilter> kServiceStateFilterNames[] = {
    {ServiceStateFilter::kActive, L"SERVICE_ACTIVE"},
    {ServiceStateFilter::kInactive, L"SERVICE_INACTIVE"},
    {ServiceStateFilter::kAll, L"SERVICE_STATE_ALL"},
};

constexpr NameEntry<SvhServiceType> kSvhServiceTypeNames[] = {
    {SvhServiceType::kSvh, L"SERVICE_TYPE_SVH"},
};

constexpr NameEntry<WinServiceType> kWinServiceTypeNames[] = {
    {WinServiceType::kOwnProcess, L"SERVICE_WIN32_OWN_PROCESS"},
    {WinServiceType::kShareProcess, L"SERVICE_WIN32_SHARE_PROCESS"},
    {WinServiceType::kWin32, L"SERVICE_WIN32"},
    {WinServiceType::kUserDll, L"SERVICE_SVH_USER_DLL"},
};

constexpr NameEntry<StartupProfile> kStartupProfileNames[] = {
    {StartupProfile::kEarly, L"SERVICE_START_EARLY"},
    {StartupProfile::kNormal, L"SERVICE_START_NORMAL"},
    {StartupProfile::kLate, L"SERVICE_START_LATE"},
    {StartupProfile::kDemand, L"SERVICE_START_DEMAND"},
};

constexpr NameEntry<LaunchProtection> kLaunchProtectionNames[] = {
    {LaunchProtection::kNone, L"SERVICE_LAUNCH_PROTECTED_NONE"},
    {LaunchProtection::kAntimalwareLight, L"SERVICE_LAUNCH_PROTECTED_ANTIMALWARE_LIGHT"},
};

} // namespace

ServiceControl ServiceControlFromName(std::wstring_view text) noexcept
{
    return ValueOfName(kServiceControlNames, text, ServiceControl::kInvalid);
}

const wchar_t* ServiceControlName(ServiceControl value) noexcept
{
    return NameOfValue(kServiceControlNames, value, L"CONTROL_UNKNOWN");
}

ServiceState ServiceStateFromName(std::wstring_view text) noexcept
{
    return ValueOfName(kServiceStateNames, text, ServiceState::kInvalid);
}

const wchar_t* ServiceStateName(ServiceState value) noexcept
{
    return NameOfValue(kServiceStateNames, value, L"SERVICE_STATE_UNKNOWN");
}

ServiceStateFilter ServiceStateFilterFromName(std::wstring_view text) noexcept
{
    return ValueOfName(kServiceStateFilterNames, text, ServiceStateFilter::kNone);
}

const wchar_t* ServiceStateFilterName(ServiceStateFilter value) noexcept
{
    return NameOfValue(kServiceStateFilterNames, value, L"UNKNOWN");
}

SvhServiceType SvhServiceTypeFromName(std::wstring_view text) noexcept
{
    return ValueOfName(kSvhServiceTypeNames, text, SvhServiceType::kUnknown);
}

const wchar_t* SvhServiceTypeName(SvhServiceType value) noexcept
{
    return NameOfValue(kSvhServiceTypeNames, value, L"SERVICE_TYPE_UNKNOWN");
}

WinServiceType WinServiceTypeFromName(std::wstring_view text) noexcept
{
    return ValueOfName(kWinServiceTypeNames, text, WinServiceType::kUnknown);
}

const wchar_t* WinServiceTypeName(WinServiceType value) noexcept
{
    return NameOfValue(kWinServiceTypeNames, value, L"WIN_SERVICE_TYPE_UNKNOWN");
}

StartupProfile StartupProfileFromName(const wchar_t* text) noexcept
{
    return text ? StartupProfileFromName(std::wstring_view(text)) : StartupProfile::kNone;
}

StartupProfile StartupProfileFromName(std::wstring_view text) noexcept
{
    return ValueOfName(kStartupProfileNames, text, StartupProfile::kNone);
}

const wchar_t* StartupProfileName(StartupProfile value) noexcept
{
    return NameOfValue(kStartupProfileNames, value, L"SERVICE_START_UNKNOWN");
}

LaunchProtection LaunchProtectionFromName(std::wstring_view text) noexcept
{
    return ValueOfName(kLaunchProtectionNames, text, LaunchProtection::kInvalid);
}

const wchar_t* LaunchProtectionName(LaunchProtection value) noexcept
{
    return NameOfValue(kLaunchProtectionNames, value, L"SERVICE_LAUNCH_PROTECTED_NONE");
}

bool IsBuiltinServiceAccount(std::wstring_view account) noexcept
{
    return account == kLocalSystemAccount || account == kLocalServiceAccount;
}

} // namespace qvx
