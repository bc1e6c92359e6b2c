#pragma once
// The access-protection rules around the launch of a hosted service: the
// temporary rule that lets the management service create (and terminate)
// the service's executable, installed before each launch and removed after
// it whatever its outcome, and the rules of each new hosted process,
// installed while it is still suspended.
//
// Each policy lives in an access-control object of its own, made from a
// fresh client GUID through "AacControl6" (no older interface: a launch
// path does not settle for less). The library's objects are released on
// every path.

#include <windows.h>

#include <string>

#include "platform/companion_interfaces.h"

namespace qvx {

// The management service's image name, as its rules match it.
inline constexpr wchar_t kHostImageName[] = L"qvxsvh.exe";
// The control pipe a hosted process is let through to.
inline constexpr wchar_t kControlPipePath[] = L"\\\\.\\pipe\\svhserver";

// Rule texts; %s is the executable path (or the host's image name).
inline constexpr wchar_t kRuleAllowCreateProcess[] = L"Allow SVH to CreateProccess %s";
inline constexpr wchar_t kRuleRemoveWhenTerminates[] = L"Remove this policy when %s terminates";
inline constexpr wchar_t kRuleAllowTerminate[] = L"Allow SVH to terminate %s";
inline constexpr wchar_t kRuleAllowControlPipe[] = L"Allow %s to access SVH named pipe";

// Access values the rules grant (the library's rule model; the process and
// pipe rights of the system are used for them).
inline constexpr DWORD kAacAccessCreateProcess = PROCESS_CREATE_PROCESS;
inline constexpr DWORD kAacAccessTerminate = PROCESS_TERMINATE;
inline constexpr DWORD kAacAccessPipe = GENERIC_READ | GENERIC_WRITE;

// What a creation rule is installed under; RemoveProcessCreationRule takes
// it back.
struct ProcessCreationRule {
    GUID client = {};
    GUID policy = {};
};

// Lets the management service create and terminate `executablePath` until
// the rule is removed (or the management service ends). 0 with `rule` set,
// or the error of the step that failed (traced), with nothing committed.
DWORD AllowProcessCreation(const std::wstring& executablePath, ProcessCreationRule& rule);

// Deletes the policy of a creation rule. 0 or the library's error (traced).
DWORD RemoveProcessCreationRule(const ProcessCreationRule& rule);

// The rules of a new hosted process, while it is still suspended: the
// process may open the control pipe, the management service may terminate
// it, and the policy goes when the process ends. 0 or the error of the step
// that failed (traced), with nothing committed.
DWORD AllowHostedProcess(const std::wstring& executablePath, DWORD processId, DWORD threadId);

// Formats one of the rule texts above with `value` in place of its %s.
std::wstring RuleText(const wchar_t* pattern, const std::wstring& value);

} // namespace qvx
