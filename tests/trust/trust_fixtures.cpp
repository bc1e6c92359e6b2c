#include "tests/trust/trust_fixtures.h"

#include <vector>

#include "platform/trusted_library.h"
#include "platform/handles.h"
#include "platform/registry_value.h"
#include "tests/support/unique_name.h"

namespace qvx::test {

std::wstring BinDirectory()
{
    std::vector<wchar_t> path(32768);
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring text(path.data(), length);
    return text.substr(0, text.find_last_of(L'\\'));
}

InstallDirOverride::InstallDirOverride()
{
    RegKey key;
    if (OpenKey(HKEY_LOCAL_MACHINE, kInstallKeyPath, KEY_READ, key) == ERROR_SUCCESS) {
        hadKey_ = true;
        hadValue_ = ReadText(key.Get(), kInstallDirValue, previous_, 32768);
    }
}

InstallDirOverride::~InstallDirOverride()
{
    if (!hadKey_) {
        RemoveKey();
        return;
    }
    if (hadValue_)
        Set(previous_);
    else
        RemoveValue();
}

void InstallDirOverride::Set(const std::wstring& directory)
{
    RegKey key;
    if (CreateKey(HKEY_LOCAL_MACHINE, kInstallKeyPath, KEY_SET_VALUE, key) == ERROR_SUCCESS)
        WriteText(key.Get(), kInstallDirValue, directory);
}

void InstallDirOverride::RemoveValue()
{
    RegKey key;
    if (OpenKey(HKEY_LOCAL_MACHINE, kInstallKeyPath, KEY_SET_VALUE, key) == ERROR_SUCCESS)
        RegDeleteValueW(key.Get(), kInstallDirValue);
}

void InstallDirOverride::RemoveKey() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kInstallKeyPath); }

namespace {

void DeleteTree(const std::wstring& path)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring child = path + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                DeleteTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

} // namespace

ScratchDirectory::ScratchDirectory()
{
    wchar_t temp[MAX_PATH + 1] = {};
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring base(temp, length);
    if (!base.empty() && base.back() == L'\\')
        base.pop_back();
    path_ = base + L"\\" + UniqueName(L"qvxtrust");
    CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchDirectory::~ScratchDirectory() { DeleteTree(path_); }

std::wstring ScratchDirectory::Folder(const std::wstring& relative) const
{
    std::wstring path = path_;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find(L'\\', start);
        if (end == std::wstring::npos)
            end = relative.size();
        path += L"\\" + relative.substr(start, end - start);
        CreateDirectoryW(path.c_str(), nullptr);
        start = end + 1;
    }
    return path;
}

std::wstring ScratchDirectory::CopyIn(const std::wstring& source, const std::wstring& relative) const
{
    size_t slash = relative.find_last_of(L'\\');
    if (slash != std::wstring::npos)
        Folder(relative.substr(0, slash));
    std::wstring target = path_ + L"\\" + relative;
    CopyFileW(source.c_str(), target.c_str(), FALSE);
    return target;
}

CurrentDirectoryOverride::CurrentDirectoryOverride(const std::wstring& path)
{
    std::vector<wchar_t> buffer(32768);
    DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    previous_.assign(buffer.data(), length);
    SetCurrentDirectoryW(path.c_str());
}

CurrentDirectoryOverride::~CurrentDirectoryOverride() { SetCurrentDirectoryW(previous_.c_str()); }

StandIn::StandIn(const wchar_t* libraryName)
{
    module_ = LoadLibraryW((BinDirectory() + L"\\" + libraryName).c_str());
    Reset();
}

StandIn::~StandIn()
{
    if (module_)
        FreeLibrary(module_);
}

std::wstring StandIn::Log() const
{
    auto read = Export<DWORD(WINAPI*)(wchar_t*, DWORD)>("QvxStandInReadLog");
    if (!read)
        return L"(no log)";
    DWORD length = read(nullptr, 0);
    std::wstring text(length + 1, L'\0');
    read(text.data(), length + 1);
    text.resize(length);
    return text;
}

void StandIn::Reset() const
{
    if (auto reset = Export<void(WINAPI*)()>("QvxStandInReset"))
        reset();
}

void StandIn::Fail(const std::wstring& operation, HRESULT result) const
{
    if (auto fail = Export<void(WINAPI*)(const wchar_t*, HRESULT)>("QvxStandInFail"))
        fail(operation.c_str(), result);
}

} // namespace qvx::test
