#pragma once
// The enumerations of the hosted service model, their numeric values and
// their text names as they travel on the control pipe, on the listener pipes,
// in the registry and in app profiles. Every enumeration has one name table;
// <Enum>FromName and <Enum>Name are the only conversions, used by every
// reader and writer alike.
//
// Text to value: the first name of the table that equals the whole text with
// ASCII letter case folded wins; nothing is trimmed. Value to name: the
// table's name, or the enumeration's text for a value without a name. Names
// are constant texts that live for the whole run.

#include <cstdint>
#include <string_view>

namespace qvx {

// A control request sent to a hosted service. 1..5 and 15 are the operating
// system's control codes; the others are this system's own.
enum class ServiceControl : uint32_t {
    kStop = 1,
    kPause = 2,
    kContinue = 3,
    kInterrogate = 4,
    kShutdown = 5,
    kPreshutdown = 15,
    kUpgradingSvh = 0x800,
    kSvhUpgradeComplete = 0x801,
    kPowerStateChange = 0x10001,
    kInvalid = 0xFFFFFFFF, // text that names no control
};

// Written into listener-pipe messages only; it has no value, so converting it
// gives ServiceControl::kInvalid.
inline constexpr wchar_t kMiscControlName[] = L"SERVICE_CONTROL_QVX_MISC";

// The state of a hosted service. 1..7 are the operating system's service
// states; the two post-shutdown states are this system's own.
enum class ServiceState : uint32_t {
    kStopped = 1,
    kStartPending = 2,
    kStopPending = 3,
    kRunning = 4,
    kContinuePending = 5,
    kPausePending = 6,
    kPaused = 7,
    kPostShutdownPending = 0x1000,
    kPostShutdown = 0x1001,
    kInvalid = 0xFFFFFFFF, // text that names no state
};

// Which services an enumeration request covers.
enum class ServiceStateFilter : uint32_t {
    kNone = 0, // text that names no filter
    kActive = 1,
    kInactive = 2,
    kAll = 3,
};

// The hosted service's class within the management service ("SVHType").
enum class SvhServiceType : uint32_t {
    kUnknown = 0, // text that names no class
    kSvh = 2,
};

// How a hosted service runs ("ServiceType"). kUserDll is the two process
// bits plus 0x10000: a DLL service is recognised by the whole value, never
// by a bit.
enum class WinServiceType : uint32_t {
    kUnknown = 0, // text that names no type
    kOwnProcess = 0x10,
    kShareProcess = 0x20,
    kWin32 = 0x30,
    kUserDll = 0x10030,
};

// The start-up wave of a hosted service; the waves run in value order.
enum class StartupProfile : uint32_t {
    kNone = 10, // no profile set: a new record, and text that names no profile
    kEarly = 11,
    kNormal = 12,
    kLate = 13,
    kDemand = 14,
};

// Protected launch of a hosted service ("LaunchProtected"); the values are
// the operating system's launch-protection values.
enum class LaunchProtection : uint32_t {
    kNone = 0,
    kAntimalwareLight = 3,
    kInvalid = 0xFFFFFFFF, // text that names no protection
};

ServiceControl ServiceControlFromName(std::wstring_view text) noexcept;
const wchar_t* ServiceControlName(ServiceControl value) noexcept; // else "CONTROL_UNKNOWN"

ServiceState ServiceStateFromName(std::wstring_view text) noexcept;
const wchar_t* ServiceStateName(ServiceState value) noexcept; // else "SERVICE_STATE_UNKNOWN"

ServiceStateFilter ServiceStateFilterFromName(std::wstring_view text) noexcept;
const wchar_t* ServiceStateFilterName(ServiceStateFilter value) noexcept; // else "UNKNOWN"

SvhServiceType SvhServiceTypeFromName(std::wstring_view text) noexcept;
const wchar_t* SvhServiceTypeName(SvhServiceType value) noexcept; // else "SERVICE_TYPE_UNKNOWN"

WinServiceType WinServiceTypeFromName(std::wstring_view text) noexcept;
const wchar_t* WinServiceTypeName(WinServiceType value) noexcept; // else "WIN_SERVICE_TYPE_UNKNOWN"

// A null text gives kNone, as unmatched text does.
StartupProfile StartupProfileFromName(const wchar_t* text) noexcept;
StartupProfile StartupProfileFromName(std::wstring_view text) noexcept;
const wchar_t* StartupProfileName(StartupProfile value) noexcept; // else "SERVICE_START_UNKNOWN"

LaunchProtection LaunchProtectionFromName(std::wstring_view text) noexcept;
// Every value other than kAntimalwareLight counts as not protected and is
// named "SERVICE_LAUNCH_PROTECTED_NONE".
const wchar_t* LaunchProtectionName(LaunchProtection value) noexcept;

// The management service itself: no hosted service may be named after it
// or depend on it.
inline constexpr wchar_t kManagementServiceName[] = L"qvxsvh";
// The two proxy services of the host's image, which start the hosted
// services of the same names.
inline constexpr wchar_t kTrustProxyName[] = L"qvxtrust";
inline constexpr wchar_t kFirewallProxyName[] = L"qvxfwsvc";

// The two built-in accounts a hosted service may run under, "LocalSystem"
// and "LocalService", compared exactly (letter case significant).
inline constexpr wchar_t kLocalSystemAccount[] = L"LocalSystem";
inline constexpr wchar_t kLocalServiceAccount[] = L"LocalService";
bool IsBuiltinServiceAccount(std::wstring_view account) noexcept;

} // namespace qvx
