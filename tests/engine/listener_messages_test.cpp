#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/listener_messages.h"

namespace qvx {
namespace {

TEST(ListenerMessages, NamedMessagesCarryTheNameAsStored)
{
    struct Case {
        const char* name;
        std::wstring (*build)(std::wstring_view);
        const wchar_t* expected;
    };
    const Case cases[] = {
        {"stop", &StopMessage, L"SERVICE_CONTROL_STOP,MixedCase.Svc"},
        {"shutdown", &ShutdownMessage, L"SERVICE_CONTROL_SHUTDOWN,MixedCase.Svc"},
        {"power change", &PowerStateChangeMessage, L"SERVICE_CONTROL_QVX_POWER_STATE_CHANGE,MixedCase.Svc"},
        {"start in host", &StartServiceMessage, L"START_SERVICE,MixedCase.Svc"},
        {"interrogate", &InterrogateMessage, L"SERVICE_CONTROL_INTERROGATE,MixedCase.Svc"},
        {"process id", &ProcessIdQueryMessage, L"QUERY_PROCESS_ID,MixedCase.Svc"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.build(L"MixedCase.Svc"), c.expected) << c.name;
    EXPECT_EQ(PingMessage(), L"PING");
}

TEST(ListenerMessages, Base64MatchesTheStandardVectors)
{
    struct Case {
        const char* input;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {"", L""},         {"f", L"Zg=="},         {"fo", L"Zm8="},         {"foo", L"Zm9v"},
        {"foob", L"Zm9vYg=="}, {"fooba", L"Zm9vYmE="}, {"foobar", L"Zm9vYmFy"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Base64Encode(c.input, strlen(c.input)), c.expected) << c.input;

    // Every bit pattern of the alphabet's ends: the table's last entries and
    // bytes with the high bit set.
    const unsigned char high[] = {0xFB, 0xFF, 0xBF, 0x00, 0x10, 0x83};
    EXPECT_EQ(Base64Encode(high, sizeof(high)), L"+/+/ABCD");
}

TEST(ListenerMessages, ForwardedControl)
{
    const unsigned char fourBytes[] = {0xDE, 0xAD, 0xBE, 0xEF};
    const unsigned char fiveBytes[] = {'h', 'e', 'l', 'l', 'o'};
    struct Case {
        const char* name;
        DWORD control;
        DWORD eventType;
        const void* data;
        DWORD size;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {"no data", 0x0D, 0x8013, nullptr, 0, L"SERVICE_CONTROL_QVX_MISC,svc,13,32787,0,0"},
        {"four bytes", 0x0E, 2, fourBytes, 4, L"SERVICE_CONTROL_QVX_MISC,svc,14,2,8,3q2+7w=="},
        {"five bytes", 0x0F, 0, fiveBytes, 5, L"SERVICE_CONTROL_QVX_MISC,svc,15,0,8,aGVsbG8="},
        {"largest numbers", 0xFFFFFFFF, 0xFFFFFFFF, nullptr, 0,
         L"SERVICE_CONTROL_QVX_MISC,svc,4294967295,4294967295,0,0"},
        // Data given with no size, or a size with no data: nothing is read.
        {"data of size 0", 0x0D, 1, fourBytes, 0, L"SERVICE_CONTROL_QVX_MISC,svc,13,1,0,0"},
        {"size without data", 0x0D, 1, nullptr, 16, L"SERVICE_CONTROL_QVX_MISC,svc,13,1,0,0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ForwardedControlMessage(L"svc", c.control, c.eventType, c.data, c.size), c.expected) << c.name;
}

} // namespace
} // namespace qvx
