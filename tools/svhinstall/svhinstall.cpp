// svhinstall: installs the service host of this folder, or removes it.
//
//     svhinstall install [FOLDER]   FOLDER\qvxsvh.exe (default: this program's folder)
//     svhinstall remove
//
// Exit code: 0, or the Windows error of the step that failed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "tools/svhinstall/service_install.h"

namespace {

void PrintLine(const std::wstring& line)
{
    fwprintf(stderr, L"svhinstall: %ls\n", line.c_str());
}

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : folder.substr(0, slash);
}

int Usage()
{
    fwprintf(stderr, L"usage: svhinstall install [FOLDER]\n       svhinstall remove\n");
    return ERROR_INVALID_PARAMETER;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    qvx::SetInstallLog(PrintLine);
    if (argc < 2)
        return Usage();
    std::wstring verb = argv[1];
    if (verb == L"install" && argc <= 3) {
        std::wstring folder = argc == 3 ? argv[2] : ProgramFolder();
        DWORD error = qvx::InstallServiceHost(folder);
        if (error == ERROR_SUCCESS)
            wprintf(L"svhinstall: qvxsvh, qvxtrust and qvxfwsvc run %ls\\%ls\n", folder.c_str(), qvx::kHostImageName);
        return static_cast<int>(error);
    }
    if (verb == L"remove" && argc == 2)
        return static_cast<int>(qvx::RemoveServiceHost());
    return Usage();
}
