#pragma once
// svhctl's friendly forms: one verb per everyday task, each turned into the
// control-pipe requests it needs, with readable output (or, with --raw, the
// host's replies as they came).
//
//     create PROFILE-FILE          create a service from its app profile
//     show SERVICE                 configuration, state and, while it runs, process id;
//                                  a DLL service also with its entry point
//     list [TYPE]                  services of a type (all by default), each
//                                  with its state and when it last started
//     config SERVICE [--startup PROFILE] [--path PATH]
//                    [--depend NAME[:NAME...] | --no-depend] [--account ACCOUNT]
//     start SERVICE [ARGUMENT...]  start it, with one-shot arguments (else its stored ones)
//     stop SERVICE                 stop it (and the services that depend on it)
//     delete | enable | disable SERVICE
//     lockdown SERVICE on|off      lock or unlock the service's Windows service
//     protection SERVICE           launch protection and recorded lockdown of the
//                                  Windows service (read from the system, not the host)
//     dependents SERVICE [FILTER]  services that depend on SERVICE
//     power [set [NAME...]]        the host's power state, or set it
//     profile SERVICE              the service's app profile (XML)

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace svhctl {

struct Options {
    std::wstring pipe;
    bool raw = false; // print the replies instead of their readable form
    // The host's key below HKEY_LOCAL_MACHINE, where list reads the
    // life-cycle records.
    std::wstring key;
};

// Runs the friendly form `verb` names and sets the exit code: 0 on success,
// else the Windows error of the failure (the reply's error, 50 for an empty
// reply, the pipe's error, 87 for input that cannot be sent). False when
// `verb` names no friendly form or its operands do not fit it.
bool RunFriendlyForm(const Options& options, std::wstring_view verb, const std::vector<std::wstring>& operands,
                     int& exitCode);

// The Windows error a reply to `request` stands for. An echo reply (the
// request's command name and a comma) is success whatever its payload holds:
// service names and paths may contain the text of a reply code.
DWORD ReplyError(std::wstring_view request, std::wstring_view reply);

// The usage lines of the friendly forms.
const wchar_t* FriendlyUsage();

} // namespace svhctl
