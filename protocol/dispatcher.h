#pragma once
// The control protocol's single entry point: the callback of every pipe
// instance's I/O thread. One call advances the instance's I/O by one step
// and, when that step completes a request, runs the handler of its command,
// under the shared table lock unless the command touches no table.

#include <string>

#include "protocol/pipe_server.h"

namespace qvx {

// A command handler gets the whole request, command name included, sets the
// reply and writes it with pipe.WriteReply (or drops the client).
using CommandHandler = void (*)(const std::wstring& request, SVHServerPipe& pipe);

struct CommandEntry {
    const wchar_t* name;
    CommandHandler handler; // nullptr: answered as an unrecognised command
    // False for commands that touch no table. Some of them wait for seconds
    // (the trigger registration, the DLL services' stop), and a shared hold
    // through that wait would keep every writer of the table waiting.
    bool tableLock = true;
};

// The command table in the order in which names are tested.
const CommandEntry* CommandTable(size_t* count);

// The entry the request is taken for: the first whose name it matches.
const CommandEntry* FindCommand(std::wstring_view request);

void Dispatch(SVHServerPipe& pipe);

} // namespace qvx
