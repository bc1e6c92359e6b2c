#pragma once
// The executable and the command line a hosted process is created with,
// both taken from the service's "BinaryPath".

#include <windows.h>

#include <string>
#include <string_view>

#include "model/service_enums.h"

namespace qvx {

struct LaunchCommandLine {
    std::wstring executablePath;
    std::wstring commandLine;
};

// The executable path ends with the first ".exe" (any letter case). A path
// that begins with a double quote is its own command line; an unquoted one
// gets quotes around the executable path, the rest following unchanged. A
// share-process service gets one space and its name appended, which is how
// its process learns which service to run. 0, or ERROR_BAD_EXE_FORMAT for a
// path without ".exe" (nothing could tell where the executable ends).
DWORD BuildLaunchCommandLine(std::wstring_view binaryPath, WinServiceType type, std::wstring_view serviceName,
                             LaunchCommandLine& result);

} // namespace qvx
