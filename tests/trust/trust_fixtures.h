#pragma once
// Fixtures of the trust tests: the install-directory value, scratch folders
// with copies of the stand-in libraries, the current directory, and a
// loaded stand-in whose call log a test reads.

#include <windows.h>

#include <string>

namespace qvx::test {

// The folder of this test program: where the build puts the stand-ins
// (signed) and their unsigned copies (in "unsigned").
std::wstring BinDirectory();

// Sets, or removes, "szInstallDir32" below HKLM "Software\Quorvex\Tessera"
// and puts back what was there before.
class InstallDirOverride {
public:
    InstallDirOverride();
    ~InstallDirOverride();
    InstallDirOverride(const InstallDirOverride&) = delete;
    InstallDirOverride& operator=(const InstallDirOverride&) = delete;

    void Set(const std::wstring& directory);
    void RemoveValue(); // the key stays
    void RemoveKey();

private:
    bool hadKey_ = false;
    bool hadValue_ = false;
    std::wstring previous_;
};

// A fresh folder below the temporary directory, deleted with its files.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::wstring& Path() const { return path_; }
    // Creates the sub-folder (and its parents) and returns its path.
    std::wstring Folder(const std::wstring& relative) const;
    // Copies `source` to `relative` below this folder; returns the new path.
    std::wstring CopyIn(const std::wstring& source, const std::wstring& relative) const;

private:
    std::wstring path_;
};

// Makes `path` the current directory and restores the previous one.
class CurrentDirectoryOverride {
public:
    explicit CurrentDirectoryOverride(const std::wstring& path);
    ~CurrentDirectoryOverride();
    CurrentDirectoryOverride(const CurrentDirectoryOverride&) = delete;
    CurrentDirectoryOverride& operator=(const CurrentDirectoryOverride&) = delete;

private:
    std::wstring previous_;
};

// One stand-in library loaded from the build's folder (the same module the
// trusted loader finds there), with its test exports.
class StandIn {
public:
    explicit StandIn(const wchar_t* libraryName);
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    bool Loaded() const { return module_ != nullptr; }
    HMODULE Module() const { return module_; }
    std::wstring Log() const;
    void Reset() const;
    void Fail(const std::wstring& operation, HRESULT result) const;

    template <typename Fn>
    Fn Export(const char* name) const
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
    }

private:
    HMODULE module_ = nullptr;
};

} // namespace qvx::test
