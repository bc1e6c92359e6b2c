#include <gtest/gtest.h>

#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <map>
#include <string>
#include <vector>

#include "platform/trusted_library.h"
#include "platform/wide_text.h"
#include "tests/trust/trust_fixtures.h"

namespace qvx {
namespace {

constexpr LONG kNoSignature = static_cast<LONG>(TRUST_E_NOSIGNATURE);
constexpr LONG kBadDigest = static_cast<LONG>(TRUST_E_BAD_DIGEST);
constexpr LONG kFileError = static_cast<LONG>(CRYPT_E_FILE_ERROR);
constexpr LONG kExpired = static_cast<LONG>(CERT_E_EXPIRED);
constexpr LONG kRevocationFailure = static_cast<LONG>(CERT_E_REVOCATION_FAILURE);
constexpr LONG kSecuritySettings = static_cast<LONG>(CRYPT_E_SECURITY_SETTINGS);

// A verifier that answers from a table of paths and records every call.
struct VerifierCall {
    std::wstring path;
    DWORD stateAction = 0;
    bool wellFormed = false; // the window, action and record the loader must pass
};

struct FakeTrust {
    std::map<std::wstring, LONG> results; // folded path -> result; others: file not found
    std::vector<VerifierCall> calls;
    std::vector<std::wstring> debugOutput;
};
FakeTrust* g_fake = nullptr;

LONG WINAPI FakeVerifier(HWND window, GUID* action, void* raw)
{
    auto* data = static_cast<WINTRUST_DATA*>(raw);
    GUID expectedAction = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    VerifierCall call;
    call.path = data && data->pFile && data->pFile->pcwszFilePath ? data->pFile->pcwszFilePath : L"";
    call.stateAction = data ? data->dwStateAction : 0;
    call.wellFormed = window == static_cast<HWND>(INVALID_HANDLE_VALUE) && action &&
                      IsEqualGUID(*action, expectedAction) && data && data->cbStruct == sizeof(WINTRUST_DATA) &&
                      data->dwUIChoice == WTD_UI_NONE && data->fdwRevocationChecks == WTD_REVOKE_NONE &&
                      data->dwUnionChoice == WTD_CHOICE_FILE && data->dwProvFlags == 0x1010 &&
                      data->pFile->cbStruct == sizeof(WINTRUST_FILE_INFO) && data->pFile->hFile == nullptr &&
                      data->pFile->pgKnownSubject == nullptr;
    g_fake->calls.push_back(call);
    if (call.stateAction != WTD_STATEACTION_VERIFY)
        return ERROR_SUCCESS;
    auto found = g_fake->results.find(ToLowerAscii(call.path));
    return found == g_fake->results.end() ? ERROR_FILE_NOT_FOUND : found->second;
}

void WINAPI FakeDebugOutput(const wchar_t* text) { g_fake->debugOutput.push_back(text); }

enum Where { kInstall, kCurrent, kExe };
enum InstallSetup { kInstallDir, kNoKey, kNoValue, kInstallDirTooLong };

constexpr wchar_t kLibrary[] = L"qvxorder.dll";

// Three folders with a loadable copy of a stand-in under one name, the EXE
// directory given by a module loaded from the third, and the verifier and
// debugger output replaced by the fake.
class TrustedLoaderSearchTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::wstring source = test::BinDirectory() + L"\\unsigned\\qvxtrig.dll";
        paths_[kInstall] = scratch_.CopyIn(source, std::wstring(L"install\\") + kLibrary);
        paths_[kCurrent] = scratch_.CopyIn(source, std::wstring(L"current\\") + kLibrary);
        paths_[kExe] = scratch_.CopyIn(source, std::wstring(L"exe\\") + kLibrary);
        std::wstring anchor = scratch_.CopyIn(source, L"exe\\anchor.dll");
        reference_ = LoadLibraryExW(anchor.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
        ASSERT_NE(reference_, nullptr);
        g_fake = &fake_;
        SetTrustVerifier(FakeVerifier);
        SetDebugOutput(FakeDebugOutput);
    }

    void TearDown() override
    {
        SetTrustVerifier(nullptr);
        SetDebugOutput(nullptr);
        g_fake = nullptr;
        if (reference_)
            FreeLibrary(reference_);
    }

    void Arrange(InstallSetup setup)
    {
        switch (setup) {
        case kInstallDir: installDir_.Set(scratch_.Path() + L"\\install"); break;
        case kNoKey: installDir_.RemoveKey(); break;
        case kNoValue:
            installDir_.Set(L"placeholder");
            installDir_.RemoveValue();
            break;
        case kInstallDirTooLong: installDir_.Set(scratch_.Path() + L"\\" + std::wstring(300, L'x')); break;
        }
    }

    DWORD Load(LoadRequest& request, const std::wstring& name)
    {
        request.libraryName = name.c_str();
        request.nameLength = name.size();
        request.referenceModule = reference_;
        return NCPrivateLoadAndValidateXRLDll(request);
    }

    std::vector<std::wstring> Verified() const
    {
        std::vector<std::wstring> paths;
        for (const auto& call : fake_.calls) {
            if (call.stateAction == WTD_STATEACTION_VERIFY)
                paths.push_back(call.path);
        }
        return paths;
    }

    test::ScratchDirectory scratch_;
    test::InstallDirOverride installDir_;
    test::CurrentDirectoryOverride current_{scratch_.Folder(L"current")};
    std::map<Where, std::wstring> paths_;
    HMODULE reference_ = nullptr;
    FakeTrust fake_;
};

struct SearchCase {
    const char* name;
    InstallSetup setup;
    std::map<Where, LONG> results;
    LONG expected;
    std::vector<Where> verified;
    int loaded; // a Where, or -1 when nothing loads
};

const SearchCase kSearchCases[] = {
    {"InstallDirVerifies", kInstallDir, {{kInstall, 0}, {kCurrent, 0}, {kExe, 0}}, 0, {kInstall}, kInstall},
    {"UnsignedInInstallDirStopsSearch", kInstallDir, {{kInstall, kNoSignature}, {kExe, 0}}, kNoSignature, {kInstall}, -1},
    {"BadDigestInInstallDirStopsSearch", kInstallDir, {{kInstall, kBadDigest}, {kExe, 0}}, kBadDigest, {kInstall}, -1},
    {"AccessDeniedInInstallDirStopsSearch", kInstallDir, {{kInstall, ERROR_ACCESS_DENIED}, {kExe, 0}},
     ERROR_ACCESS_DENIED, {kInstall}, -1},
    {"MissingInInstallDirTriesExeDirNeverCurrent", kInstallDir, {{kCurrent, 0}, {kExe, 0}}, 0, {kInstall, kExe}, kExe},
    {"FileErrorInInstallDirTriesExeDir", kInstallDir, {{kInstall, kFileError}, {kExe, 0}}, 0, {kInstall, kExe}, kExe},
    {"MissingInstallFolderTriesExeDir", kInstallDir, {{kInstall, ERROR_PATH_NOT_FOUND}, {kExe, 0}}, 0,
     {kInstall, kExe}, kExe},
    {"MissingEverywhere", kInstallDir, {}, ERROR_FILE_NOT_FOUND, {kInstall, kExe}, -1},
    {"UnsignedInExeDirRefused", kInstallDir, {{kExe, kNoSignature}}, kNoSignature, {kInstall, kExe}, -1},
    {"NoKeySearchesCurrentDir", kNoKey, {{kCurrent, 0}, {kExe, 0}}, 0, {kCurrent}, kCurrent},
    {"NoKeyMissingInCurrentTriesExeDir", kNoKey, {{kExe, 0}}, 0, {kCurrent, kExe}, kExe},
    {"NoKeyUnsignedInCurrentStopsSearch", kNoKey, {{kCurrent, kNoSignature}, {kExe, 0}}, kNoSignature, {kCurrent}, -1},
    {"NoValueSearchesCurrentDir", kNoValue, {{kCurrent, 0}}, 0, {kCurrent}, kCurrent},
    {"InstallPathTooLongTriesOnlyExeDir", kInstallDirTooLong, {{kCurrent, 0}, {kExe, 0}}, 0, {kExe}, kExe},
    {"ExpiredCertificateAccepted", kInstallDir, {{kInstall, kExpired}}, 0, {kInstall}, kInstall},
    {"RevocationFailureAccepted", kInstallDir, {{kInstall, kRevocationFailure}}, 0, {kInstall}, kInstall},
    {"SecuritySettingsAccepted", kInstallDir, {{kInstall, kSecuritySettings}}, 0, {kInstall}, kInstall},
};

TEST_F(TrustedLoaderSearchTest, SearchOrderAndTrustResults)
{
    for (const SearchCase& c : kSearchCases) {
        SCOPED_TRACE(c.name);
        fake_ = FakeTrust{};
        for (const auto& [where, result] : c.results)
            fake_.results[ToLowerAscii(paths_[where])] = result;
        Arrange(c.setup);

        LoadRequest request;
        DWORD result = Load(request, kLibrary);

        EXPECT_EQ(result, static_cast<DWORD>(c.expected));
        std::vector<std::wstring> expectedPaths;
        for (Where where : c.verified)
            expectedPaths.push_back(paths_[where]);
        EXPECT_EQ(Verified(), expectedPaths);
        if (c.loaded >= 0) {
            EXPECT_NE(request.module, nullptr);
            EXPECT_EQ(request.path, paths_[static_cast<Where>(c.loaded)]);
        } else {
            EXPECT_EQ(request.module, nullptr);
            EXPECT_TRUE(request.path.empty());
        }
        if (request.module)
            FreeLibrary(request.module);

        // Every verification was made with the loader's record and closed once.
        size_t verifies = 0, closes = 0;
        for (const auto& call : fake_.calls) {
            EXPECT_TRUE(call.wellFormed) << WideToUtf8(call.path);
            verifies += call.stateAction == WTD_STATEACTION_VERIFY;
            closes += call.stateAction == WTD_STATEACTION_CLOSE;
        }
        EXPECT_EQ(verifies, closes);
    }
}

TEST_F(TrustedLoaderSearchTest, AbsoluteNameIsVerifiedAtThatPathOnly)
{
    Arrange(kInstallDir);
    fake_.results[ToLowerAscii(paths_[kExe])] = 0;
    LoadRequest missing;
    EXPECT_EQ(Load(missing, scratch_.Path() + L"\\elsewhere\\" + kLibrary), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Verified(), std::vector<std::wstring>{scratch_.Path() + L"\\elsewhere\\" + kLibrary});
    EXPECT_EQ(missing.module, nullptr);

    fake_ = FakeTrust{};
    fake_.results[ToLowerAscii(paths_[kCurrent])] = 0;
    LoadRequest present;
    ASSERT_EQ(Load(present, paths_[kCurrent]), 0u);
    EXPECT_EQ(present.path, paths_[kCurrent]);
    EXPECT_EQ(Verified(), std::vector<std::wstring>{paths_[kCurrent]});
    FreeLibrary(present.module);
}

TEST_F(TrustedLoaderSearchTest, DebuggerOutputNamesEachStepAndTheRefusal)
{
    Arrange(kNoKey);
    fake_.results[ToLowerAscii(paths_[kExe])] = kNoSignature;
    LoadRequest request;
    EXPECT_EQ(Load(request, kLibrary), static_cast<DWORD>(kNoSignature));

    std::wstring executable(32768, L'\0');
    executable.resize(GetModuleFileNameW(nullptr, executable.data(), 32768));
    std::vector<std::wstring> expected = {
        L"NCPrivateLoadAndValidateXRLDll: Looking in current directory\n",
        L"NCPrivateLoadAndValidateXRLDll: Looking in EXE directory\n",
        L"NotComDllGetInterface: " + executable + L" loading " + paths_[kExe] +
            L", WinVerifyTrust failed with 800b0100\n",
    };
    EXPECT_EQ(fake_.debugOutput, expected);
}

TEST_F(TrustedLoaderSearchTest, LoadFailureAfterVerificationReturnsTheLoaderError)
{
    // A file that verifies but is no library.
    std::wstring text = scratch_.Path() + L"\\install\\notalibrary.dll";
    HANDLE file = CreateFileW(text.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, "not a library", 13, &written, nullptr);
    CloseHandle(file);
    Arrange(kInstallDir);
    fake_.results[ToLowerAscii(text)] = 0;

    LoadRequest request;
    DWORD result = Load(request, L"notalibrary.dll");
    EXPECT_NE(result, 0u);
    EXPECT_EQ(request.module, nullptr);
    EXPECT_TRUE(request.path.empty());
}

TEST_F(TrustedLoaderSearchTest, LibraryWithoutTheExportGivesTheLookupErrorAndIsUnloaded)
{
    wchar_t system[MAX_PATH + 1] = {};
    GetSystemDirectoryW(system, MAX_PATH + 1);
    std::wstring path = scratch_.CopyIn(std::wstring(system) + L"\\version.dll", L"install\\qvxnoexport.dll");
    Arrange(kInstallDir);
    fake_.results[ToLowerAscii(path)] = 0;

    void* iface = reinterpret_cast<void*>(1);
    EXPECT_EQ(GetTrustedLibraryInterface(L"qvxnoexport.dll", "TriggerControl", &iface),
              static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(iface, nullptr);
    EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr);
}

TEST(TrustedLoaderRequestTest, RejectsMissingOrOversizedNames)
{
    std::wstring longName(kMaxLibraryNameChars + 1, L'a');
    struct {
        const char* name;
        const wchar_t* library;
        size_t length;
    } cases[] = {
        {"NoName", nullptr, 5},
        {"ZeroLength", L"qvxtrig.dll", 0},
        {"TooLong", longName.c_str(), longName.size()},
        {"EmptyText", L"", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoadRequest request;
        request.libraryName = c.library;
        request.nameLength = c.length;
        EXPECT_EQ(NCPrivateLoadAndValidateXRLDll(request), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(request.module, nullptr);
    }

    void* iface = reinterpret_cast<void*>(1);
    EXPECT_EQ(GetTrustedLibraryInterface(longName.c_str(), "TriggerControl", &iface),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(iface, nullptr);
    EXPECT_EQ(GetTrustedLibraryInterface(nullptr, "TriggerControl", &iface), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetTrustedLibraryInterface(L"qvxtrig.dll", nullptr, &iface), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetTrustedLibraryInterface(L"qvxtrig.dll", "TriggerControl", nullptr),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(TrustResultTextTest, FallsBackToTheCodeWhenTheSystemHasNoText)
{
    EXPECT_EQ(TrustResultText(static_cast<LONG>(0xA0B0C0D0)), L"WinVerifyTrust() call failed with result code 0xA0B0C0D0");
    EXPECT_FALSE(TrustResultText(kNoSignature).empty());
    EXPECT_LT(TrustResultText(kNoSignature).size(), 200u);
}

// The real verifier on real files: the stand-ins are signed at build time.
class TrustedLoaderFilesTest : public testing::Test {
protected:
    DWORD LoadFromInstallDir(const std::wstring& name, LoadRequest& request)
    {
        installDir_.Set(scratch_.Folder(L"install"));
        request.libraryName = name.c_str();
        request.nameLength = name.size();
        return NCPrivateLoadAndValidateXRLDll(request);
    }

    static std::wstring Signed() { return test::BinDirectory() + L"\\qvxtrig.dll"; }
    static std::wstring Unsigned() { return test::BinDirectory() + L"\\unsigned\\qvxtrig.dll"; }

    test::ScratchDirectory scratch_;
    test::InstallDirOverride installDir_;
};

// Flips one byte of the first section's raw data, which the signature covers.
bool Tamper(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::vector<BYTE> bytes(GetFileSize(file, nullptr));
    DWORD done = 0;
    bool ok = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size();
    if (ok) {
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(bytes.data());
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(bytes.data() + dos->e_lfanew);
        IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
        DWORD offset = section->PointerToRawData + 64;
        ok = offset < bytes.size();
        if (ok) {
            bytes[offset] ^= 0xFF;
            SetFilePointer(file, 0, nullptr, FILE_BEGIN);
            ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
        }
    }
    CloseHandle(file);
    return ok;
}

TEST_F(TrustedLoaderFilesTest, SignedCopyLoads)
{
    std::wstring path = scratch_.CopyIn(Signed(), L"install\\qvxsigned.dll");
    LoadRequest request;
    ASSERT_EQ(LoadFromInstallDir(L"qvxsigned.dll", request), 0u);
    EXPECT_NE(request.module, nullptr);
    EXPECT_EQ(request.path, path);
    FreeLibrary(request.module);
}

TEST_F(TrustedLoaderFilesTest, UnsignedCopyIsRefused)
{
    scratch_.CopyIn(Unsigned(), L"install\\qvxunsigned.dll");
    LoadRequest request;
    EXPECT_EQ(LoadFromInstallDir(L"qvxunsigned.dll", request), static_cast<DWORD>(TRUST_E_NOSIGNATURE));
    EXPECT_EQ(request.module, nullptr);
    EXPECT_EQ(GetModuleHandleW(L"qvxunsigned.dll"), nullptr);
}

TEST_F(TrustedLoaderFilesTest, TamperedCopyIsRefused)
{
    std::wstring path = scratch_.CopyIn(Signed(), L"install\\qvxtampered.dll");
    ASSERT_TRUE(Tamper(path));
    LoadRequest request;
    EXPECT_EQ(LoadFromInstallDir(L"qvxtampered.dll", request), static_cast<DWORD>(TRUST_E_BAD_DIGEST));
    EXPECT_EQ(request.module, nullptr);
    EXPECT_EQ(GetModuleHandleW(L"qvxtampered.dll"), nullptr);
}

TEST_F(TrustedLoaderFilesTest, MissingFromInstallDirIsFoundSignedInExeDir)
{
    LoadRequest request;
    ASSERT_EQ(LoadFromInstallDir(L"qvxtrig.dll", request), 0u);
    EXPECT_TRUE(EqualsFolded(request.path, Signed())) << WideToUtf8(request.path);
    FreeLibrary(request.module);
}

} // namespace
} // namespace qvx
