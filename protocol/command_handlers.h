#pragma once
// The command handlers, one function per command, grouped by family. Each
// gets the whole request (command name included) and the pipe instance,
// runs under the dispatcher's shared table lock and ends by writing its
// reply with pipe.WriteReply (SET_SERVICE_STATUS drops the client instead).
//
// A handler joins the protocol when its family file defines it and its name
// takes the place of nullptr in the dispatcher's command table.

#include <string>

#include "protocol/pipe_server.h"

namespace qvx {

// protocol/management_commands.cpp
void HandleCreateService(const std::wstring& request, SVHServerPipe& pipe);
void HandleOpenService(const std::wstring& request, SVHServerPipe& pipe);
void HandleDeleteService(const std::wstring& request, SVHServerPipe& pipe);
void HandleConfigService(const std::wstring& request, SVHServerPipe& pipe);
void HandleConfigService2(const std::wstring& request, SVHServerPipe& pipe);
void HandleEnableDisableService(const std::wstring& request, SVHServerPipe& pipe);

// protocol/query_commands.cpp
void HandleQueryServiceStatus(const std::wstring& request, SVHServerPipe& pipe);
void HandleQueryPowerState(const std::wstring& request, SVHServerPipe& pipe);
void HandleEnumDepServices(const std::wstring& request, SVHServerPipe& pipe);
void HandleQueryServiceConfig(const std::wstring& request, SVHServerPipe& pipe);
void HandleQueryServiceAppProfile(const std::wstring& request, SVHServerPipe& pipe);
void HandleEnumServiceStatus(const std::wstring& request, SVHServerPipe& pipe);

// protocol/control_commands.cpp
void HandleServiceStartPending(const std::wstring& request, SVHServerPipe& pipe);
void HandleStartService(const std::wstring& request, SVHServerPipe& pipe);
void HandleSetServiceStatus(const std::wstring& request, SVHServerPipe& pipe);
void HandleControlService(const std::wstring& request, SVHServerPipe& pipe);

// protocol/launch_protection_commands.cpp
void HandleDisablePpl(const std::wstring& request, SVHServerPipe& pipe);
void HandleDisablePplEx(const std::wstring& request, SVHServerPipe& pipe);

// protocol/lockdown_command.cpp
void HandleEnableDisableLockdown(const std::wstring& request, SVHServerPipe& pipe);

} // namespace qvx
