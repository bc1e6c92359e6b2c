#include <gtest/gtest.h>

#include <windows.h>

#include <tinyxml2.h>

#include <string>

#include "platform/handles.h"
#include "platform/wide_text.h"
#include "tests/support/child_process.h"
#include "tests/support/test_prefix.h"
#include "tests/support/unique_name.h"
#include "tools/svhinstall/service_install.h"

namespace qvx {
namespace {

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadBytes(const std::wstring& path)
{
    KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::string bytes(4096, '\0');
    DWORD read = 0;
    if (!file.IsValid() || !ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
        return "(unreadable)";
    bytes.resize(read);
    return bytes;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    KernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file.IsValid() && WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring Parent(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\'));
}

// The profile the build puts beside each sample names the folder the
// installer places the sample in, and can be sent as it is; a DLL service's
// profile names an entry point its DLL exports.
TEST(SampleInstall, EachProfileBesideItsSamplePointsWhereTheInstallerPlacesIt)
{
    struct Case {
        const wchar_t* binary;
        const wchar_t* profile;
        const char* serviceType;
    };
    const Case cases[] = {
        {kSampleImageName, kSampleProfileName, "SERVICE_WIN32_OWN_PROCESS"},
        {kSampleDllName, kSampleDllProfileName, "SERVICE_SVH_USER_DLL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.profile));
        const std::wstring binary = test::BuiltProgramPath(c.binary);
        ASSERT_TRUE(Exists(binary)) << WideToUtf8(binary);
        const std::string profile = ReadBytes(Parent(binary) + L"\\" + c.profile);
        tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
        ASSERT_EQ(document.Parse(profile.c_str()), tinyxml2::XML_SUCCESS) << profile;
        const tinyxml2::XMLElement* root = document.FirstChildElement();
        ASSERT_NE(root, nullptr);
        const tinyxml2::XMLElement* path = root->FirstChildElement("BinaryPath");
        ASSERT_TRUE(path && path->GetText());
        EXPECT_EQ(Utf8ToWide(path->GetText()), std::wstring(kSampleFolder) + L"\\" + c.binary);
        const tinyxml2::XMLElement* type = root->FirstChildElement("ServiceType");
        ASSERT_TRUE(type && type->GetText());
        EXPECT_STREQ(type->GetText(), c.serviceType);
        // svhctl refuses to send a profile holding a comma, comments included.
        EXPECT_EQ(profile.find(','), std::string::npos) << profile;

        const tinyxml2::XMLElement* entry = root->FirstChildElement("ServiceMain");
        if (std::string(c.serviceType) != "SERVICE_SVH_USER_DLL") {
            EXPECT_EQ(entry, nullptr);
            continue;
        }
        ASSERT_TRUE(entry && entry->GetText());
        HMODULE dll = LoadLibraryW(binary.c_str());
        ASSERT_NE(dll, nullptr) << GetLastError();
        EXPECT_NE(GetProcAddress(dll, entry->GetText()), nullptr) << entry->GetText();
        FreeLibrary(dll);
    }
}

// Places and removes the sample in the prefix's own program folder, from a
// source folder of stand-in files.
class SamplePlacement : public testing::Test {
protected:
    void SetUp() override
    {
        QVX_REQUIRE_TEST_PREFIX();
        target_ = SampleFolder();
        ASSERT_FALSE(target_.empty());
        ASSERT_EQ(RemoveSampleService(), 0u);
        ASSERT_FALSE(Exists(target_)) << "something else is in " << WideToUtf8(target_);
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        source_ = std::wstring(temp) + test::UniqueName(L"qvxtest-sample");
        ASSERT_TRUE(CreateDirectoryW(source_.c_str(), nullptr));
    }
    void TearDown() override
    {
        if (source_.empty())
            return;
        RemoveSampleService();
        for (const wchar_t* name : kSampleFiles)
            DeleteFileW((source_ + L"\\" + name).c_str());
        RemoveDirectoryW(source_.c_str());
    }

    std::wstring Placed(const wchar_t* name) const { return target_ + L"\\" + name; }

    std::wstring target_;
    std::wstring source_;
};

TEST_F(SamplePlacement, CopiesEveryFileCreatingTheFoldersAndRemovesThemAgain)
{
    for (const wchar_t* name : kSampleFiles)
        ASSERT_TRUE(WriteBytes(source_ + L"\\" + name, WideToUtf8(name) + " 1"));

    ASSERT_EQ(PlaceSampleService(source_ + L"\\"), 0u);
    for (const wchar_t* name : kSampleFiles)
        EXPECT_EQ(ReadBytes(Placed(name)), WideToUtf8(name) + " 1");

    // Installing again replaces what an earlier installation placed.
    ASSERT_TRUE(WriteBytes(source_ + L"\\" + kSampleImageName, "image 2"));
    ASSERT_TRUE(WriteBytes(source_ + L"\\" + kSampleDllName, "dll 2"));
    ASSERT_EQ(PlaceSampleService(source_), 0u);
    EXPECT_EQ(ReadBytes(Placed(kSampleImageName)), "image 2");
    EXPECT_EQ(ReadBytes(Placed(kSampleDllName)), "dll 2");

    EXPECT_EQ(RemoveSampleService(), 0u);
    for (const wchar_t* name : kSampleFiles)
        EXPECT_FALSE(Exists(Placed(name))) << WideToUtf8(name);
    EXPECT_FALSE(Exists(target_));
    EXPECT_FALSE(Exists(Parent(target_)));
    EXPECT_TRUE(Exists(Parent(Parent(target_))));
    // Nothing left to remove is no failure.
    EXPECT_EQ(RemoveSampleService(), 0u);
}

TEST_F(SamplePlacement, RemovingLeavesWhatElseTheSuiteFolderHolds)
{
    ASSERT_TRUE(WriteBytes(source_ + L"\\" + kSampleImageName, "image"));
    ASSERT_EQ(PlaceSampleService(source_), 0u);
    const std::wstring other = target_ + L"\\other.dll";
    ASSERT_TRUE(WriteBytes(other, "other"));

    EXPECT_EQ(RemoveSampleService(), 0u);

    EXPECT_FALSE(Exists(Placed(kSampleImageName)));
    EXPECT_EQ(ReadBytes(other), "other");
    EXPECT_TRUE(DeleteFileW(other.c_str()));
}

TEST_F(SamplePlacement, MissingSampleFilesAreNoFailure)
{
    EXPECT_EQ(PlaceSampleService(source_), 0u);
    EXPECT_FALSE(Exists(target_));

    // The profile alone is placed without its image.
    ASSERT_TRUE(WriteBytes(source_ + L"\\" + kSampleProfileName, "<Service/>"));
    EXPECT_EQ(PlaceSampleService(source_), 0u);
    EXPECT_EQ(ReadBytes(Placed(kSampleProfileName)), "<Service/>");
    EXPECT_FALSE(Exists(Placed(kSampleImageName)));
}

} // namespace
} // namespace qvx
