#pragma once
// A registry key that tests may move elsewhere: its root and path, and the
// default it goes back to. Not guarded: tests move it while nothing else
// reads it.

#include <windows.h>

#include <string>

namespace qvx {

class RegistryLocation {
public:
    RegistryLocation(HKEY root, const wchar_t* path) : defaultRoot_(root), defaultPath_(path), root_(root), path_(path)
    {
    }

    HKEY Root() const { return root_; }
    const std::wstring& Path() const { return path_; }

    void Set(HKEY root, const std::wstring& path)
    {
        root_ = root;
        path_ = path;
    }
    void Reset() { Set(defaultRoot_, defaultPath_); }

private:
    HKEY defaultRoot_;
    const wchar_t* defaultPath_;
    HKEY root_;
    std::wstring path_;
};

} // namespace qvx
