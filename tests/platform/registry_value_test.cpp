#include <gtest/gtest.h>

#include "platform/registry_value.h"
#include "tests/support/test_service_key.h"

namespace qvx {
namespace {

class RegistryValueTest : public testing::Test {
protected:
    test::TestServiceKey root_;
    RegKey key_ = root_.Open();
};

TEST_F(RegistryValueTest, DwordAndQwordRoundTrip)
{
    ASSERT_TRUE(WriteDword(key_.Get(), L"D", 0xDEADBEEF));
    ASSERT_TRUE(WriteQword(key_.Get(), L"Q", 0x0123456789ABCDEFull));
    DWORD d = 0;
    ULONGLONG q = 0;
    EXPECT_TRUE(ReadDword(key_.Get(), L"D", d));
    EXPECT_EQ(d, 0xDEADBEEFu);
    EXPECT_TRUE(ReadQword(key_.Get(), L"Q", q));
    EXPECT_EQ(q, 0x0123456789ABCDEFull);
}

TEST_F(RegistryValueTest, ReadsRefuseOtherTypesAndReportTheError)
{
    ASSERT_TRUE(WriteText(key_.Get(), L"Text", L"12"));
    ASSERT_TRUE(WriteQword(key_.Get(), L"Q", 1));
    const BYTE two[2] = {1, 2};
    ASSERT_EQ(RegSetValueExW(key_.Get(), L"Short", 0, REG_DWORD, two, 2), ERROR_SUCCESS);

    DWORD d = 7;
    EXPECT_FALSE(ReadDword(key_.Get(), L"Text", d));
    EXPECT_FALSE(ReadDword(key_.Get(), L"Q", d));
    EXPECT_FALSE(ReadDword(key_.Get(), L"Short", d));
    EXPECT_EQ(d, 7u);
    EXPECT_FALSE(ReadDword(key_.Get(), L"Missing", d));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    std::wstring text = L"kept";
    ASSERT_TRUE(WriteDword(key_.Get(), L"D", 1));
    EXPECT_FALSE(ReadText(key_.Get(), L"D", text, 100));
    EXPECT_EQ(text, L"kept");
}

TEST_F(RegistryValueTest, TextIsCutToTheBufferLessOne)
{
    ASSERT_TRUE(WriteText(key_.Get(), L"T", L"abcdef"));
    ASSERT_TRUE(WriteText(key_.Get(), L"X", L"%SystemRoot%", REG_EXPAND_SZ));
    std::wstring text;
    EXPECT_TRUE(ReadText(key_.Get(), L"T", text, 100));
    EXPECT_EQ(text, L"abcdef");
    EXPECT_TRUE(ReadText(key_.Get(), L"T", text, 4));
    EXPECT_EQ(text, L"abc");
    EXPECT_TRUE(ReadText(key_.Get(), L"X", text, 100));
    EXPECT_EQ(text, L"%SystemRoot%") << "expandable text is read unexpanded";
}

// Text values written by other tools may hold an odd number of bytes; the
// read takes the whole characters and does not wait for a buffer that fits.
TEST_F(RegistryValueTest, TextOfAnOddNumberOfBytesIsRead)
{
    const wchar_t stored[] = L"abc";
    ASSERT_EQ(RegSetValueExW(key_.Get(), L"Odd", 0, REG_SZ, reinterpret_cast<const BYTE*>(stored), 5), ERROR_SUCCESS);

    struct Read {
        HKEY key;
        std::wstring text;
        bool ok = false;
    } read{key_.Get(), {}};
    KernelHandle thread(CreateThread(
        nullptr, 0,
        [](void* context) -> DWORD {
            auto& r = *static_cast<Read*>(context);
            r.ok = ReadText(r.key, L"Odd", r.text, 100);
            return 0;
        },
        &read, 0, nullptr));
    ASSERT_TRUE(thread);
    if (WaitForSingleObject(thread.Get(), 10000) != WAIT_OBJECT_0) {
        TerminateThread(thread.Get(), 1);
        FAIL() << "ReadText did not return";
    }
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(read.text, L"ab");
}

TEST_F(RegistryValueTest, AbsentTextWritesAnEmptyValue)
{
    ASSERT_TRUE(WriteText(key_.Get(), L"E", static_cast<const wchar_t*>(nullptr)));
    DWORD type = 0;
    DWORD size = 99;
    ASSERT_EQ(RegQueryValueExW(key_.Get(), L"E", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 0u);
    std::wstring text = L"x";
    EXPECT_TRUE(ReadText(key_.Get(), L"E", text, 10));
    EXPECT_EQ(text, L"");
}

} // namespace
} // namespace qvx
