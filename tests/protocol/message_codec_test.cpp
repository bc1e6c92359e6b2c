#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/dispatcher.h"
#include "protocol/message_codec.h"

namespace qvx {
namespace {

using Fields = std::vector<std::wstring>;

TEST(MessageCodec, SplitRule)
{
    struct Case {
        const char* name;
        const wchar_t* text;
        const wchar_t* separator;
        bool ok;
        Fields fields;
    };
    const Case cases[] = {
        {"two fields", L"QUERY_SERVICE_STATUS,foo", L",", true, {L"QUERY_SERVICE_STATUS", L"foo"}},
        {"trailing separator is ignored", L"QUERY_SERVICE_STATUS,foo,", L",", true, {L"QUERY_SERVICE_STATUS", L"foo"}},
        {"no separator gives one field", L"PING", L",", true, {L"PING"}},
        {"two characters without separator", L"ab", L",", true, {L"ab"}},
        {"leading separator", L",foo", L",", false, {}},
        {"doubled separator", L"QUERY_SERVICE_STATUS,,foo", L",", false, {}},
        {"one-character text", L"a", L":", false, {}},
        {"one-character separator text", L",", L",", false, {}},
        {"empty text", L"", L",", false, {}},
        {"empty separator", L"a,b", L"", false, {}},
        {"colon list", L"one:two:three", L":", true, {L"one", L"two", L"three"}},
        {"empty middle field after good ones", L"a,b,,c", L",", false, {}},
        {"single field then separator", L"ab,", L",", true, {L"ab"}},
        {"blank fields are kept", L"a, ,b", L",", true, {L"a", L" ", L"b"}},
    };
    for (const Case& c : cases) {
        Fields fields = {L"left over"};
        EXPECT_EQ(Split(c.text, c.separator, fields), c.ok) << c.name;
        EXPECT_EQ(fields, c.fields) << c.name;
    }
}

TEST(MessageCodec, CommandRecognition)
{
    struct Case {
        const wchar_t* request;
        const wchar_t* command;
        bool matches;
    };
    const Case cases[] = {
        {L"PING", L"PING", true},
        {L"ping", L"PING", true},
        {L"ping,xyz", L"PING", true},
        {L"PING x", L"PING", true},
        {L"PINGX", L"PING", false},
        {L"PIN", L"PING", false},
        {L"", L"PING", false},
        {L"CONFIG_SERVICE2,foo", L"CONFIG_SERVICE", false},
        {L"CONFIG_SERVICE2,foo", L"CONFIG_SERVICE2", true},
        {L"DISABLE_PPL_EX,foo", L"DISABLE_PPL", false},
        {L"DISABLE_PPL", L"DISABLE_PPL", true},
        {L"SERVICE_START_PENDING,foo", L"START_SERVICE", false},
        {L"PING;x", L"PING", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsCommand(c.request, c.command), c.matches) << c.request << L" / " << c.command;
}

TEST(MessageCodec, EveryRequestReachesTheEntryOfItsOwnName)
{
    size_t count = 0;
    const CommandEntry* table = CommandTable(&count);
    ASSERT_EQ(count, 22u);
    EXPECT_STREQ(table[0].name, L"PING");
    EXPECT_STREQ(table[2].name, L"SERVICE_START_PENDING");
    EXPECT_STREQ(table[21].name, L"ENABLE_DISABLE_LOCKDOWN");
    for (size_t i = 0; i < count; ++i) {
        std::wstring request = std::wstring(table[i].name) + L",field";
        const CommandEntry* found = FindCommand(request);
        ASSERT_NE(found, nullptr) << table[i].name;
        EXPECT_STREQ(found->name, table[i].name);
    }
    EXPECT_EQ(FindCommand(L"PINGX"), nullptr);
    EXPECT_EQ(FindCommand(L"HELLO"), nullptr);
}

TEST(MessageCodec, ReplyToErrorFollowsTheSearchOrder)
{
    struct Case {
        const wchar_t* reply;
        DWORD error;
    };
    const Case cases[] = {
        {L"ACK", 0},
        {L"", 0},
        {L"QUERY_SERVICE_STATUS,SERVICE_RUNNING", 0},
        {L"SERVICE_NOT_FOUND", 1060},
        {L"service_not_found", 1060},
        {L"SERVICE_ALREADY_EXISTS", 1073},
        {L"SERVICE_ALREADY_OPEN", 1055},
        {L"SERVICE_ALREADY_RUNNING", 1056},
        {L"ERROR_SERVICE_NOT_ACTIVE", 1062},
        {L"ERROR_SERVICE_CANNOT_ACCEPT_CTRL", 1061},
        {L"INVALID_CONTROL_CODE", 1061},
        {L"INVALID_STARTUP_VALUE", 87},
        {L"INVALID_ACCOUNT", 1057},
        {L"ERROR_INVALID_DEPENDENCY", 1059},
        {L"ERROR_PARSING_APP_PROFILE", 1066},
        {L"SERVICE_FAILED_TO_START", 1067},
        {L"SERVICE_FAILED_TO_STOP", 1067},
        {L"CONFIG_FAILED", 13},
        {L"ERROR_MSG_PROTOCOL", 87},
        // The first code of the search order wins, wherever it stands.
        {L"SERVICE_NOT_FOUND SERVICE_FAILED_TO_START", 1067},
        {L"CONFIG_FAILED,ERROR_SERVICE_NOT_ACTIVE", 1062},
        {L"SERVICE_ALREADY_EXISTS SERVICE_ALREADY_OPEN", 1055},
        {L"ERROR_MSG_PROTOCOL INVALID_ACCOUNT", 1057},
        {L"CONTROL_SERVICE,SERVICE_NOT_FOUND_X", 1060},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReplyToError(c.reply), c.error) << c.reply;
}

TEST(MessageCodec, TextToNumber)
{
    struct Case {
        const wchar_t* text;
        DWORD value;
    };
    const Case cases[] = {
        {L"0", 0},
        {L"42", 42},
        {L"  \t7", 7},
        {L"true", 1},
        {L"YES", 1},
        {L"On", 1},
        {L"false", 0},
        {L"No", 0},
        {L"OFF", 0},
        {L"0x1F", 31},
        {L"0Xff", 255},
        {L"0x", 0},
        {L"0xZ", 0},
        {L"12abc", 12},
        {L"abc", 0},
        {L"", 0},
        {L"-1", 0},
        {L"truely", 0},
        {L"4294967295", 0xFFFFFFFF},
        {L"99999999999", 0xFFFFFFFF},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TextToNumber(c.text), c.value) << c.text;
}

TEST(MessageCodec, RequestChunkStopsAtFirstNul)
{
    struct Case {
        const char* name;
        std::wstring chunk;
        std::wstring appended;
    };
    const Case cases[] = {
        {"without NUL", L"PING", L"PING"},
        {"with its NUL", std::wstring(L"PING\0", 5), L"PING"},
        {"NUL inside cuts the chunk", std::wstring(L"PI\0NG", 5), L"PI"},
        {"only a NUL", std::wstring(L"\0", 1), L""},
    };
    for (const Case& c : cases) {
        std::wstring request = L"head:";
        AppendRequestChunk(request, c.chunk.data(), static_cast<DWORD>(c.chunk.size() * sizeof(wchar_t)));
        EXPECT_EQ(request, L"head:" + c.appended) << c.name;
    }
    std::wstring request;
    const wchar_t odd[] = L"AB";
    AppendRequestChunk(request, odd, 3);
    EXPECT_EQ(request, L"A") << "a trailing odd byte is not half a character";
}

TEST(MessageCodec, EchoRepliesAndLists)
{
    EXPECT_EQ(EchoReply(L"QUERY_SERVICE_STATUS", L"SERVICE_RUNNING"), L"QUERY_SERVICE_STATUS,SERVICE_RUNNING");
    EXPECT_EQ(EchoReplyWithCount(L"SERVICE_START_PENDING", 4000000000u, L"EMPTY"),
              L"SERVICE_START_PENDING,4000000000,EMPTY");
    EXPECT_EQ(EchoReplyWithSignedCount(L"ENUM_SERVICE_STATUS", 0, L""), L"ENUM_SERVICE_STATUS,0,");
    EXPECT_EQ(EchoReplyWithSignedCount(L"ENUM_DEP_SERVICES", -1, L"x"), L"ENUM_DEP_SERVICES,-1,x");
    EXPECT_EQ(EchoConfigReply(L"QUERY_SERVICE_CONFIG", L"SERVICE_WIN32_OWN_PROCESS", L"SERVICE_START_NORMAL", L"",
                              L"LocalSystem", L"a:b"),
              L"QUERY_SERVICE_CONFIG,SERVICE_WIN32_OWN_PROCESS,SERVICE_START_NORMAL,,LocalSystem,a:b");
    EXPECT_EQ(EchoReplyNarrow(L"QUERY_SERVICE_APP_PROFILE", "<Service>caf\xc3\xa9%s</Service>"),
              L"QUERY_SERVICE_APP_PROFILE,<Service>caf\u00e9%s</Service>");

    std::wstring records;
    AppendStatusRecord(records, L"one", L"SERVICE_RUNNING");
    AppendStatusRecord(records, L"two", L"SERVICE_STOPPED");
    EXPECT_EQ(records, L"one:SERVICE_RUNNING,two:SERVICE_STOPPED,");
    DropFinalSeparator(records);
    EXPECT_EQ(records, L"one:SERVICE_RUNNING,two:SERVICE_STOPPED");
    DropFinalSeparator(records);
    EXPECT_EQ(records, L"one:SERVICE_RUNNING,two:SERVICE_STOPPED");

    EXPECT_EQ(JoinDependencies({}), L"EMPTY");
    EXPECT_EQ(JoinDependencies({L"a"}), L"a");
    EXPECT_EQ(JoinDependencies({L"a", L"b"}), L"a:b");
}

} // namespace
} // namespace qvx
