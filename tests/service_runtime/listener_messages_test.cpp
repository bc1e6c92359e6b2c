#include "service_runtime/listener_messages.h"

#include <gtest/gtest.h>

#include "service_runtime/hosted_service.h"

namespace qvx::hosted {
namespace {

struct ForwardedCase {
    const char* name;
    std::wstring message;
    bool accepted;
    std::vector<BYTE> data;
};

TEST(ListenerMessages, ForwardedControlDataIsDecodedOnlyWhenItIsTheBase64ItAnnounces)
{
    const std::wstring head = L"SERVICE_CONTROL_QVX_MISC,svc,13,7,";
    const ForwardedCase cases[] = {
        {"no data", head + L"0,0", true, {}},
        {"one byte, two pads", head + L"4,Zg==", true, {'f'}},
        {"two bytes, one pad", head + L"4,Zm8=", true, {'f', 'o'}},
        {"three bytes", head + L"4,Zm9v", true, {'f', 'o', 'o'}},
        {"binary bytes over two blocks", head + L"8,AP8A/+3+", true, {0x00, 0xFF, 0x00, 0xFF, 0xED, 0xFE}},
        {"one trailing comma ignored", head + L"4,Zg==,", true, {'f'}},
        {"count shorter than the data", head + L"4,Zm9vYg==", false, {}},
        {"count longer than the data", head + L"8,Zg==", false, {}},
        {"not a multiple of four", head + L"3,Zm9", false, {}},
        {"character outside the alphabet", head + L"4,Zm9*", false, {}},
        {"padding before the last block", head + L"8,Zg==Zg==", false, {}},
        {"padding in the first two places", head + L"4,Z===", false, {}},
        {"no data announced but data given", head + L"0,Zg==", false, {}},
        {"data field missing", L"SERVICE_CONTROL_QVX_MISC,svc,13,7,0", false, {}},
        {"control not a number", L"SERVICE_CONTROL_QVX_MISC,svc,1x,7,0,0", false, {}},
        {"control beyond 32 bits", L"SERVICE_CONTROL_QVX_MISC,svc,4294967296,7,0,0", false, {}},
        {"empty service name", L"SERVICE_CONTROL_QVX_MISC,,13,7,0,0", false, {}},
    };
    for (const ForwardedCase& c : cases) {
        SCOPED_TRACE(c.name);
        ForwardedControl parsed;
        ASSERT_EQ(ParseForwardedControl(c.message, &parsed), c.accepted);
        if (!c.accepted)
            continue;
        EXPECT_EQ(parsed.serviceName, L"svc");
        EXPECT_EQ(parsed.control, 13u);
        EXPECT_EQ(parsed.eventType, 7u);
        EXPECT_EQ(parsed.data, c.data);
    }
}

struct ReplyCase {
    const char* name;
    std::wstring reply;
    DWORD error;
    std::vector<std::wstring> arguments;
};

TEST(ListenerMessages, StartPendingReplyGivesTheArgumentsOrTheErrorItStandsFor)
{
    const ReplyCase cases[] = {
        {"no arguments", L"SERVICE_START_PENDING,0,EMPTY", 0, {}},
        {"blank-separated", L"SERVICE_START_PENDING,2,-v 10", 0, {L"-v", L"10"}},
        {"quoted run keeps its blanks", L"SERVICE_START_PENDING,2,alpha \"b c\"", 0, {L"alpha", L"b c"}},
        {"repeated blanks", L"SERVICE_START_PENDING,2,  a   b ", 0, {L"a", L"b"}},
        {"commas belong to the argument text", L"SERVICE_START_PENDING,1,a,b", 0, {L"a,b"}},
        {"lower-case empty is an argument", L"SERVICE_START_PENDING,1,empty", 0, {L"empty"}},
        {"count that differs is not fatal", L"SERVICE_START_PENDING,3,one", 0, {L"one"}},
        {"service unknown to the host", L"SERVICE_NOT_FOUND", ERROR_SERVICE_DOES_NOT_EXIST, {}},
        {"request refused", L"ERROR_MSG_PROTOCOL", ERROR_INVALID_PARAMETER, {}},
        {"empty reply", L"", ERROR_INVALID_DATA, {}},
        {"another command's echo", L"QUERY_SERVICE_STATUS,SERVICE_RUNNING", ERROR_INVALID_DATA, {}},
        {"count not a number", L"SERVICE_START_PENDING,x,EMPTY", ERROR_INVALID_DATA, {}},
        {"argument field missing", L"SERVICE_START_PENDING,0,", ERROR_INVALID_DATA, {}},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> arguments{L"left over"};
        EXPECT_EQ(ParseStartPendingReply(c.reply, &arguments), c.error);
        EXPECT_EQ(arguments, c.arguments);
    }
}

struct CommandLineCase {
    const char* name;
    const wchar_t* commandLine;
    std::wstring expected;
};

TEST(HostedServiceName, IsTheAppendedNameWhenItIsOneOfTheProcessesServices)
{
    const std::vector<std::wstring> names = {L"alpha", L"Beta"};
    const CommandLineCase cases[] = {
        {"own process, no arguments", L"\"C:\\svc\\x.exe\"", L"alpha"},
        {"own process with arguments of its own", L"\"C:\\svc\\x.exe\" -v 3", L"alpha"},
        {"shared process, second service", L"\"C:\\svc\\x.exe\" beta", L"Beta"},
        {"shared process after configured arguments", L"\"C:\\Program Files\\x.exe\" -v alpha", L"alpha"},
        {"a service name not last is an argument", L"\"C:\\svc\\x.exe\" beta -v", L"alpha"},
    };
    for (const CommandLineCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(HostedServiceNameFromCommandLine(c.commandLine, names), c.expected);
    }
    EXPECT_EQ(HostedServiceNameFromCommandLine(L"x.exe alpha", {}), L"");
}

} // namespace
} // namespace qvx::hosted
