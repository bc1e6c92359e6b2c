// svhinstall: installs the service host of this folder, or removes it.
//
//     svhinstall install [FOLDER]   FOLDER\qvxsvh.exe (default: this program's folder)
//     svhinstall remove
//
// Installing also places the sample hosted services of FOLDER (qvxsample.exe
// with its app profile qvxsample.xml, and the DLL service qvxsampledll.dll
// with qvxsampledll.xml) where the profiles' BinaryPath points,
// %ProgramFiles%\Quorvex\Tessera; removing takes them away again.
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
        if (error != ERROR_SUCCESS)
            return static_cast<int>(error);
        wprintf(L"svhinstall: qvxsvh, qvxtrust and qvxfwsvc run %ls\\%ls\n", folder.c_str(), qvx::kHostImageName);
        error = qvx::PlaceSampleService(folder);
        for (const wchar_t* image : {qvx::kSampleImageName, qvx::kSampleDllName}) {
            const std::wstring sample = qvx::SampleFolder() + L"\\" + image;
            if (error == ERROR_SUCCESS && GetFileAttributesW(sample.c_str()) != INVALID_FILE_ATTRIBUTES)
                wprintf(L"svhinstall: a sample service is %ls\n", sample.c_str());
        }
        return static_cast<int>(error);
    }
    if (verb == L"remove" && argc == 2) {
        const DWORD error = qvx::RemoveServiceHost();
        const DWORD sampleError = qvx::RemoveSampleService();
        return static_cast<int>(error != ERROR_SUCCESS ? error : sampleError);
    }
    return Usage();
}
