#include "tools/svhctl/friendly_forms.h"

#include <windows.h>

#include <tinyxml2.h>

#include <algorithm>
#include <cwchar>

#include "engine/listener_messages.h"
#include "engine/listener_pipe.h"
#include "model/life_cycle_record.h"
#include "platform/handles.h"
#include "platform/service_key.h"
#include "platform/wide_text.h"
#include "protocol/control_client.h"
#include "protocol/message_codec.h"
#include "tools/svhctl/console.h"
#include "tools/svhctl/protection_view.h"

namespace svhctl {

namespace {

constexpr DWORD kTimeoutMs = 15000;
constexpr int kEmptyReplyExitCode = ERROR_NOT_SUPPORTED;
constexpr DWORD kMaxProfileBytes = 1024 * 1024;
// A hosted service serves "\\.\pipe\<name>" followed by this.
constexpr wchar_t kListenerPipeSuffix[] = L"_qvxsvh_listenerpipe";
// The type the configuration reply gives a service the host runs as a DLL
// inside its own process.
constexpr wchar_t kDllServiceType[] = L"SERVICE_SVH_USER_DLL";

// One connection for the requests of one verb.
class Session {
public:
    explicit Session(const Options& options) : options_(options) {}

    // Sends the request and reads its reply. On failure tells why and sets
    // the exit code.
    bool Ask(const std::wstring& request, std::wstring& reply, int& exitCode)
    {
        if (!connection_.IsOpen()) {
            DWORD error = connection_.Open(options_.pipe, kTimeoutMs);
            if (error != ERROR_SUCCESS) {
                Err(L"svhctl: cannot reach " + options_.pipe + L": " + ErrorText(error) + L"\n");
                exitCode = static_cast<int>(error);
                return false;
            }
        }
        DWORD error = connection_.Transact(request, reply, kTimeoutMs);
        if (error != ERROR_SUCCESS) {
            Err(L"svhctl: no reply from " + options_.pipe + L": " + ErrorText(error) + L"\n");
            exitCode = static_cast<int>(error);
            return false;
        }
        if (options_.raw)
            Out(reply + L"\n");
        return true;
    }

private:
    const Options& options_;
    qvx::ControlConnection connection_;
};

const wchar_t* Describe(std::wstring_view reply)
{
    struct Meaning {
        const wchar_t* code;
        const wchar_t* text;
    };
    static const Meaning meanings[] = {
        {qvx::reply::kServiceNotFound, L"no hosted service of that name"},
        {qvx::reply::kServiceAlreadyExists, L"a hosted service of that name exists already"},
        {qvx::reply::kServiceAlreadyRunning, L"the service is running or starting; stop it first"},
        {qvx::reply::kParsingAppProfile, L"the app profile cannot be read, or it names another service"},
        {qvx::reply::kInvalidDependency,
         L"a dependency is missing, circular, the service itself or the host, or starts in a later wave"},
        {qvx::reply::kInvalidStartupValue, L"not a startup profile (SERVICE_START_EARLY, _NORMAL, _LATE, _DEMAND)"},
        {qvx::reply::kInvalidAccount, L"the account must be LocalSystem or LocalService"},
        {qvx::reply::kMsgProtocol, L"the host could not read the request"},
        {qvx::reply::kCannotAcceptCtrl, L"the service's state does not allow this now"},
        {qvx::reply::kConfigFailed, L"the host could not store the change"},
        {qvx::reply::kServiceNotActive, L"the service is not running (or is disabled, or waits for its restart)"},
        {qvx::reply::kInvalidControlCode, L"stop is the only control a client may send"},
        {qvx::reply::kFailedToStart, L"the host could not launch the service"},
        {qvx::reply::kFailedToStop, L"the service could not be asked to stop"},
    };
    for (const Meaning& meaning : meanings) {
        if (reply == meaning.code)
            return meaning.text;
    }
    return L"";
}

// The exit code of the reply to `request`; a failure is told on the error
// stream.
int Outcome(const std::wstring& request, const std::wstring& reply, const Options& options)
{
    if (reply.empty()) {
        Err(L"svhctl: empty reply: the host did not recognise the request\n");
        return kEmptyReplyExitCode;
    }
    const DWORD error = ReplyError(request, reply);
    if (error != ERROR_SUCCESS && !options.raw) {
        std::wstring text = L"svhctl: " + reply;
        if (const wchar_t* meaning = Describe(reply); *meaning)
            text += std::wstring(L": ") + meaning;
        Err(text + L"\n");
    }
    return static_cast<int>(error);
}

// Fields of a reply, empty ones kept (a reply may carry an empty path).
std::vector<std::wstring> Fields(std::wstring_view text, wchar_t separator)
{
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        fields.emplace_back(text.substr(start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start));
        if (end == std::wstring_view::npos)
            return fields;
        start = end + 1;
    }
}

// The process id the service's own listener pipe tells, 0 when the service
// does not answer with one (it may not run a listener pipe of its name).
DWORD ProcessIdOf(const std::wstring& service)
{
    const std::wstring name = qvx::ToLowerAscii(service);
    const std::wstring pipe = L"\\\\.\\pipe\\" + name + kListenerPipeSuffix;
    std::wstring reply;
    if (qvx::TransactListenerMessage(pipe.c_str(), qvx::ProcessIdQueryMessage(name), reply) != ERROR_SUCCESS ||
        reply.empty() || reply.size() > 10 || reply.find_first_not_of(L"0123456789") != std::wstring::npos)
        return 0;
    const unsigned long long id = std::wcstoull(reply.c_str(), nullptr, 10);
    return id <= 0xFFFFFFFFull ? static_cast<DWORD>(id) : 0;
}

std::wstring Padded(std::wstring text, size_t width)
{
    if (text.size() < width)
        text.append(width - text.size(), L' ');
    return text;
}

// A text that a request field can carry: the protocol has no escaping, so a
// comma would split it.
bool Sendable(const std::wstring& text, const wchar_t* what, int& exitCode)
{
    if (text.find(L',') == std::wstring::npos)
        return true;
    Err(std::wstring(L"svhctl: ") + what + L" holds a comma, which the control protocol cannot carry\n");
    exitCode = ERROR_INVALID_PARAMETER;
    return false;
}

// The profile file as text: UTF-16 with its byte-order mark, else UTF-8
// (with or without one).
bool ReadProfile(const std::wstring& path, std::wstring& text, int& exitCode)
{
    qvx::KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file.IsValid() || !GetFileSizeEx(file.Get(), &size)) {
        DWORD error = GetLastError();
        Err(L"svhctl: cannot read " + path + L": " + ErrorText(error) + L"\n");
        exitCode = static_cast<int>(error);
        return false;
    }
    if (size.QuadPart > kMaxProfileBytes) {
        Err(L"svhctl: " + path + L" is too large for an app profile\n");
        exitCode = ERROR_INVALID_PARAMETER;
        return false;
    }
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() && (!ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
                           got != bytes.size())) {
        DWORD error = GetLastError();
        Err(L"svhctl: cannot read " + path + L": " + ErrorText(error) + L"\n");
        exitCode = static_cast<int>(error);
        return false;
    }
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / sizeof(wchar_t));
    } else {
        std::string_view utf8(bytes);
        if (utf8.size() >= 3 && utf8.substr(0, 3) == "\xEF\xBB\xBF")
            utf8.remove_prefix(3);
        text = qvx::Utf8ToWide(utf8);
    }
    // A NUL would end the request early.
    text = text.substr(0, text.find(L'\0'));
    if (text.find_first_not_of(L" \t\r\n") == std::wstring::npos) {
        Err(L"svhctl: " + path + L" is empty\n");
        exitCode = ERROR_INVALID_PARAMETER;
        return false;
    }
    return true;
}

// The text of the profile root's element `name`; empty when the profile or
// the element is missing.
std::wstring ProfileElement(const std::wstring& profile, const char* name)
{
    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    const std::string utf8 = qvx::WideToUtf8(profile);
    if (document.Parse(utf8.c_str()) != tinyxml2::XML_SUCCESS)
        return {};
    const tinyxml2::XMLElement* root = document.FirstChildElement();
    const tinyxml2::XMLElement* element = root ? root->FirstChildElement(name) : nullptr;
    return element && element->GetText() ? qvx::Utf8ToWide(element->GetText()) : std::wstring();
}

// The service the profile describes: the text of the root's "Name".
std::wstring ProfileServiceName(const std::wstring& profile)
{
    return ProfileElement(profile, "Name");
}

int Create(const Options& options, const std::vector<std::wstring>& operands)
{
    int exitCode = 0;
    std::wstring profile;
    if (!ReadProfile(operands[0], profile, exitCode))
        return exitCode;
    const size_t comma = profile.find(L',');
    if (comma != std::wstring::npos) {
        const auto line = 1 + std::count(profile.begin(), profile.begin() + static_cast<ptrdiff_t>(comma), L'\n');
        Err(L"svhctl: " + operands[0] + L" line " + std::to_wstring(line) +
            L" holds a comma, which the control protocol cannot carry: the profile is not sent\n");
        return ERROR_INVALID_PARAMETER;
    }
    const std::wstring name = ProfileServiceName(profile);
    if (name.empty()) {
        Err(L"svhctl: " + operands[0] + L" is not an app profile with a <Name> element\n");
        return ERROR_INVALID_PARAMETER;
    }
    Session session(options);
    std::wstring reply;
    const std::wstring request = L"CREATE_SERVICE," + name + L"," + profile;
    if (!session.Ask(request, reply, exitCode))
        return exitCode;
    exitCode = Outcome(request, reply, options);
    if (exitCode == 0 && !options.raw)
        Out(L"created " + qvx::ToLowerAscii(name) + L"\n");
    return exitCode;
}

// The entry point of a DLL service. The configuration reply carries the
// DLL's path but not its export; the app-profile reply carries both.
bool EntryPointOf(Session& session, const std::wstring& service, std::wstring& entry, int& exitCode)
{
    const std::wstring request = L"QUERY_SERVICE_APP_PROFILE," + service;
    std::wstring reply;
    if (!session.Ask(request, reply, exitCode))
        return false;
    // The empty reply: the service went away between the requests.
    if (reply.empty() || ReplyError(request, reply) != ERROR_SUCCESS) {
        entry.clear();
        return true;
    }
    const size_t comma = reply.find(L',');
    entry = ProfileElement(comma == std::wstring::npos ? std::wstring() : reply.substr(comma + 1), "ServiceMain");
    return true;
}

int Show(const Options& options, const std::wstring& service)
{
    Session session(options);
    int exitCode = 0;
    const std::wstring statusRequest = L"QUERY_SERVICE_STATUS," + service;
    std::wstring status;
    if (!session.Ask(statusRequest, status, exitCode))
        return exitCode;
    if ((exitCode = Outcome(statusRequest, status, options)) != 0)
        return exitCode;
    const std::wstring configRequest = L"QUERY_SERVICE_CONFIG," + service;
    std::wstring config;
    std::wstring entryPoint;
    if (!session.Ask(configRequest, config, exitCode))
        return exitCode;
    if ((exitCode = Outcome(configRequest, config, options)) != 0)
        return exitCode;
    const std::vector<std::wstring> state = Fields(status, L',');
    const std::vector<std::wstring> fields = Fields(config, L',');
    if (fields.size() == 6 && fields[1] == kDllServiceType) {
        std::wstring entry;
        if (!EntryPointOf(session, service, entry, exitCode))
            return exitCode;
        if (!options.raw)
            entryPoint = L"ENTRY_POINT   " + (entry.empty() ? std::wstring(L"(not given by the host)") : entry) + L"\n";
    }
    if (options.raw)
        return 0;
    if (state.size() != 2 || fields.size() != 6) {
        Err(L"svhctl: unexpected reply: " + config + L"\n");
        return ERROR_INVALID_DATA;
    }
    std::wstring dependencies = L"(none)";
    if (fields[5] != qvx::kEmptyPlaceholder) {
        dependencies.clear();
        for (const std::wstring& name : Fields(fields[5], L':'))
            dependencies += (dependencies.empty() ? L"" : L", ") + name;
    }
    // Only a service with a process can tell its id; one that does not
    // answer is shown without it.
    // A DLL service runs inside the host, so the id it gives is the host's.
    std::wstring processId;
    if (state[1] != L"SERVICE_STOPPED") {
        if (const DWORD id = ProcessIdOf(service))
            processId = L"PROCESS_ID    " + std::to_wstring(id) + (entryPoint.empty() ? L"" : L" (the service host's)") +
                        L"\n";
    }
    Out(L"SERVICE_NAME  " + qvx::ToLowerAscii(service) + L"\n" + L"STATE         " + state[1] + L"\n" + processId +
        L"TYPE          " + fields[1] + L"\n" + L"STARTUP       " + fields[2] + L"\n" + L"BINARY_PATH   " +
        fields[3] + L"\n" + entryPoint + L"ACCOUNT       " + fields[4] + L"\n" + L"DEPENDENCIES  " +
        dependencies + L"\n");
    return 0;
}

// Prints the records of an enumeration reply ("COMMAND,count,name:state,...")
// as a table; with a host key, each row also tells when the service last
// started, from its life-cycle record ("-" when it never did).
int PrintRecords(const std::wstring& reply, const wchar_t* noun, const std::wstring& hostKey = std::wstring())
{
    const std::vector<std::wstring> fields = Fields(reply, L',');
    if (fields.size() < 2) {
        Err(L"svhctl: unexpected reply: " + reply + L"\n");
        return ERROR_INVALID_DATA;
    }
    struct Row {
        std::wstring name;
        std::wstring state;
    };
    std::vector<Row> rows;
    size_t width = 4;
    size_t stateWidth = 5;
    for (size_t i = 2; i < fields.size(); ++i) {
        if (fields[i].empty())
            continue;
        const size_t colon = fields[i].find(L':');
        rows.push_back({fields[i].substr(0, colon),
                        colon == std::wstring::npos ? std::wstring() : fields[i].substr(colon + 1)});
        width = std::max(width, rows.back().name.size());
        stateWidth = std::max(stateWidth, rows.back().state.size());
    }
    const bool withStart = !hostKey.empty();
    std::wstring text;
    if (!rows.empty()) {
        text = Padded(L"NAME", width + 2) + (withStart ? Padded(L"STATE", stateWidth + 2) + L"LAST STARTED" : L"STATE") +
               L"\n";
        for (const Row& row : rows) {
            text += Padded(row.name, width + 2);
            if (withStart) {
                const ULONGLONG started = qvx::StoredStartTime(hostKey, row.name);
                text += Padded(row.state, stateWidth + 2) + (started ? qvx::LifeCycleTimeText(started) : L"-");
            } else {
                text += row.state;
            }
            text += L"\n";
        }
    }
    text += fields[1] + L" " + noun + L"\n";
    Out(text);
    return 0;
}

int Enumerate(const Options& options, const std::wstring& request, const wchar_t* noun,
              const std::wstring& hostKey = std::wstring())
{
    Session session(options);
    int exitCode = 0;
    std::wstring reply;
    if (!session.Ask(request, reply, exitCode))
        return exitCode;
    if ((exitCode = Outcome(request, reply, options)) != 0 || options.raw)
        return exitCode;
    return PrintRecords(reply, noun, hostKey);
}

// One request whose success is "ACK"; `done` is printed after it.
int Simple(const Options& options, const std::wstring& request, const std::wstring& done)
{
    Session session(options);
    int exitCode = 0;
    std::wstring reply;
    if (!session.Ask(request, reply, exitCode))
        return exitCode;
    exitCode = Outcome(request, reply, options);
    if (exitCode == 0 && !options.raw)
        Out(done + L"\n");
    return exitCode;
}

// The start arguments as the one text the hosted service splits again: at
// blanks, a double-quoted run keeping its blanks. False (and told) for an
// argument holding a double quote, which that text cannot carry.
bool JoinStartArguments(const std::vector<std::wstring>& arguments, std::wstring& text, int& exitCode)
{
    text.clear();
    for (const std::wstring& argument : arguments) {
        if (argument.find(L'"') != std::wstring::npos) {
            Err(L"svhctl: the argument " + argument + L" holds a double quote, which start arguments cannot carry\n");
            exitCode = ERROR_INVALID_PARAMETER;
            return false;
        }
        // Quoted also when it reads as the placeholder: a lone "EMPTY" would
        // leave the stored arguments in place instead of passing the word.
        const bool quote = argument.find_first_of(L" \t") != std::wstring::npos || argument == qvx::kEmptyPlaceholder;
        text += (text.empty() ? L"" : L" ") + (quote ? L"\"" + argument + L"\"" : argument);
    }
    return true;
}

int Start(const Options& options, const std::vector<std::wstring>& operands)
{
    const std::vector<std::wstring> arguments(operands.begin() + 1, operands.end());
    int exitCode = 0;
    std::wstring text;
    if (!JoinStartArguments(arguments, text, exitCode))
        return exitCode;
    // Without arguments the placeholder keeps the arguments the service has
    // stored.
    if (arguments.empty())
        text = qvx::kEmptyPlaceholder;
    const std::wstring name = qvx::ToLowerAscii(operands[0]);
    return Simple(options,
                  L"START_SERVICE," + operands[0] + L"," + std::to_wstring(arguments.size()) + L"," + text,
                  L"start of " + name + L" requested" +
                      (arguments.empty() ? std::wstring() : L" with " + std::to_wstring(arguments.size()) +
                                                                L" argument(s)"));
}

int Stop(const Options& options, const std::wstring& service)
{
    Session session(options);
    int exitCode = 0;
    const std::wstring request = L"CONTROL_SERVICE," + service + L",SERVICE_CONTROL_STOP";
    std::wstring reply;
    if (!session.Ask(request, reply, exitCode))
        return exitCode;
    if ((exitCode = Outcome(request, reply, options)) != 0 || options.raw)
        return exitCode;
    // The reply names the state the service has once asked to stop.
    const size_t comma = reply.find(L',');
    Out(L"stop of " + qvx::ToLowerAscii(service) + L" requested: " +
        (comma == std::wstring::npos ? reply : reply.substr(comma + 1)) + L"\n");
    return 0;
}

bool Config(const Options& options, const std::vector<std::wstring>& operands, int& exitCode)
{
    std::wstring startup = qvx::kEmptyPlaceholder;
    std::wstring path = qvx::kEmptyPlaceholder;
    std::wstring dependencies = qvx::kEmptyPlaceholder;
    std::wstring account = qvx::kEmptyPlaceholder;
    for (size_t i = 1; i < operands.size(); ++i) {
        const std::wstring& option = operands[i];
        if (option == L"--no-depend") {
            dependencies = qvx::kNoDependencies;
            continue;
        }
        if (i + 1 >= operands.size() || operands[i + 1].empty())
            return false;
        const std::wstring& value = operands[++i];
        if (option == L"--startup")
            startup = value;
        else if (option == L"--path")
            path = value;
        else if (option == L"--depend")
            dependencies = value;
        else if (option == L"--account")
            account = value;
        else
            return false;
    }
    if (!Sendable(path, L"the path", exitCode) || !Sendable(dependencies, L"the dependency list", exitCode) ||
        !Sendable(startup, L"the startup profile", exitCode) || !Sendable(account, L"the account", exitCode))
        return true;
    exitCode = Simple(options,
                      L"CONFIG_SERVICE," + operands[0] + L"," + startup + L"," + path + L"," + dependencies + L"," +
                          account,
                      L"configured " + qvx::ToLowerAscii(operands[0]));
    return true;
}

int Power(const Options& options, const std::vector<std::wstring>& operands)
{
    std::wstring request = L"QUERY_POWER_STATE";
    if (!operands.empty()) {
        std::wstring names;
        for (size_t i = 1; i < operands.size(); ++i)
            names += (names.empty() ? L"" : L" ") + operands[i];
        // The host always counts normal conditions in, so naming them alone
        // clears every other condition.
        request += L",1," + (names.empty() ? std::wstring(L"POWERPROFILE_NORMAL") : names);
    }
    Session session(options);
    int exitCode = 0;
    std::wstring reply;
    if (!session.Ask(request, reply, exitCode))
        return exitCode;
    if ((exitCode = Outcome(request, reply, options)) != 0 || options.raw)
        return exitCode;
    const size_t comma = reply.find(L',');
    Out(L"power state: " + (comma == std::wstring::npos ? reply : reply.substr(comma + 1)) + L"\n");
    return 0;
}

int Profile(const Options& options, const std::wstring& service)
{
    Session session(options);
    int exitCode = 0;
    const std::wstring request = L"QUERY_SERVICE_APP_PROFILE," + service;
    std::wstring reply;
    if (!session.Ask(request, reply, exitCode))
        return exitCode;
    if (reply.empty()) {
        // This query answers a service it does not know with the empty reply.
        Err(L"svhctl: no hosted service named " + service + L"\n");
        return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    if ((exitCode = Outcome(request, reply, options)) != 0 || options.raw)
        return exitCode;
    const size_t comma = reply.find(L',');
    Out(comma == std::wstring::npos ? reply : reply.substr(comma + 1));
    return 0;
}

} // namespace

DWORD ReplyError(std::wstring_view request, std::wstring_view reply)
{
    const std::wstring_view command = request.substr(0, request.find_first_of(L", "));
    if (!command.empty() && reply.size() > command.size() && reply[command.size()] == L',' &&
        qvx::StartsWithFolded(reply, command))
        return ERROR_SUCCESS;
    return qvx::ReplyToError(reply);
}

bool RunFriendlyForm(const Options& options, std::wstring_view verb, const std::vector<std::wstring>& operands,
                     int& exitCode)
{
    const size_t count = operands.size();
    if (std::any_of(operands.begin(), operands.end(), [](const std::wstring& operand) { return operand.empty(); }))
        return false;
    // Service names, types and power names travel as fields.
    if (verb != L"create" && verb != L"config") {
        for (const std::wstring& operand : operands) {
            if (!Sendable(operand, operand.c_str(), exitCode))
                return true;
        }
    }
    if (verb == L"create" && count == 1) {
        exitCode = Create(options, operands);
    } else if (verb == L"show" && count == 1) {
        exitCode = Show(options, operands[0]);
    } else if (verb == L"list" && count <= 1) {
        exitCode = Enumerate(options, L"ENUM_SERVICE_STATUS," + (count ? operands[0] : std::wstring(L"SERVICE_WIN32")),
                             L"service(s)", options.key.empty() ? std::wstring(qvx::kServiceKeyPath) : options.key);
    } else if (verb == L"config" && count >= 1) {
        if (!Sendable(operands[0], L"the service name", exitCode))
            return true;
        return Config(options, operands, exitCode);
    } else if (verb == L"start" && count >= 1) {
        exitCode = Start(options, operands);
    } else if (verb == L"stop" && count == 1) {
        exitCode = Stop(options, operands[0]);
    } else if (verb == L"delete" && count == 1) {
        exitCode = Simple(options, L"DELETE_SERVICE," + operands[0], L"deleted " + qvx::ToLowerAscii(operands[0]));
    } else if ((verb == L"enable" || verb == L"disable") && count == 1) {
        const bool enable = verb == L"enable";
        exitCode = Simple(options,
                          L"ENABLEDISABLE_SERVICE," + operands[0] + (enable ? L",ENABLE" : L",DISABLE"),
                          (enable ? L"enabled " : L"disabled ") + qvx::ToLowerAscii(operands[0]));
    } else if (verb == L"lockdown" && count == 2 &&
               (qvx::EqualsFolded(operands[1], L"on") || qvx::EqualsFolded(operands[1], L"off"))) {
        // The host acknowledges a request it understood; how the lockdown
        // went is in its trace, so the words say only what was asked.
        const bool lock = qvx::EqualsFolded(operands[1], L"on");
        exitCode = Simple(options,
                          L"ENABLE_DISABLE_LOCKDOWN," + operands[0] + (lock ? L",ENABLE" : L",DISABLE"),
                          (lock ? L"asked the host to lock down " : L"asked the host to lift the lockdown of ") +
                              qvx::ToLowerAscii(operands[0]));
    } else if (verb == L"protection" && count == 1) {
        exitCode = ShowProtection(operands[0]);
    } else if (verb == L"dependents" && (count == 1 || count == 2)) {
        exitCode = Enumerate(options,
                             L"ENUM_DEP_SERVICES," + operands[0] + L"," +
                                 (count == 2 ? operands[1] : std::wstring(L"SERVICE_STATE_ALL")),
                             L"dependent service(s)");
    } else if (verb == L"power" && (count == 0 || operands[0] == L"set")) {
        exitCode = Power(options, operands);
    } else if (verb == L"profile" && count == 1) {
        exitCode = Profile(options, operands[0]);
    } else {
        return false;
    }
    return true;
}

const wchar_t* FriendlyUsage()
{
    return L"       svhctl [--pipe NAME] [--raw] create PROFILE-FILE\n"
           L"       svhctl [--pipe NAME] [--raw] show SERVICE\n"
           L"       svhctl [--pipe NAME] [--key PATH] [--raw] list [TYPE]\n"
           L"       svhctl [--pipe NAME] [--raw] config SERVICE [--startup PROFILE] [--path PATH]\n"
           L"                  [--depend NAME[:NAME...] | --no-depend] [--account LocalSystem|LocalService]\n"
           L"       svhctl [--pipe NAME] [--raw] start SERVICE [ARGUMENT...]\n"
           L"       svhctl [--pipe NAME] [--raw] stop SERVICE\n"
           L"       svhctl [--pipe NAME] [--raw] delete|enable|disable SERVICE\n"
           L"       svhctl [--pipe NAME] [--raw] lockdown SERVICE on|off\n"
           L"       svhctl protection SERVICE\n"
           L"       svhctl [--pipe NAME] [--raw] dependents SERVICE [SERVICE_STATE_ALL|SERVICE_ACTIVE|SERVICE_INACTIVE]\n"
           L"       svhctl [--pipe NAME] [--raw] power [set [POWERPROFILE_NAME...]]\n"
           L"       svhctl [--pipe NAME] [--raw] profile SERVICE\n"
           L"--raw prints the host's replies as they came instead of their readable form.\n"
           L"list shows when each service last started, in local time, from the life-cycle records below\n"
           L"the host's key (--key, below HKEY_LOCAL_MACHINE; default SYSTEM\\CurrentControlSet\\Services\\qvxsvh).\n";
}

} // namespace svhctl
