// Stand-in for the management client library "qvxsvha.dll": hands out
// "SvhControl", whose service objects talk to the management service over
// its control pipe, and runs DLL services in place of the service control
// dispatcher.

#include "companions/dll_hosting.h"
#include "companions/standin_support.h"
#include "platform/companion_interfaces.h"

#include <cstring>
#include <cwctype>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kDefaultPipeName[] = L"\\\\.\\pipe\\svhserver";
constexpr DWORD kPipeBusyWaitMs = 5000;
constexpr DWORD kChunkBytes = 2048;

std::mutex g_pipeLock;
std::wstring g_pipeName = kDefaultPipeName;

std::wstring PipeName()
{
    std::lock_guard<std::mutex> guard(g_pipeLock);
    return g_pipeName;
}

bool ContainsFolded(const std::wstring& text, const wchar_t* needle)
{
    size_t length = wcslen(needle);
    for (size_t at = 0; at + length <= text.size(); ++at) {
        if (_wcsnicmp(text.c_str() + at, needle, length) == 0)
            return true;
    }
    return false;
}

// The Windows error a reply code stands for; the first code found in the
// reply decides, in this order. No code at all is success, except for the
// empty reply, which answers a request the management service does not know.
DWORD ReplyError(const std::wstring& reply)
{
    if (reply.empty())
        return ERROR_NOT_SUPPORTED;
    static const struct {
        const wchar_t* code;
        DWORD error;
    } kCodes[] = {
        {L"SERVICE_FAILED_TO_START", ERROR_PROCESS_ABORTED},
        {L"SERVICE_FAILED_TO_STOP", ERROR_PROCESS_ABORTED},
        {L"SERVICE_NOT_FOUND", ERROR_SERVICE_DOES_NOT_EXIST},
        {L"SERVICE_ALREADY_RUNNING", ERROR_SERVICE_ALREADY_RUNNING},
        {L"ERROR_PARSING_APP_PROFILE", ERROR_SERVICE_SPECIFIC_ERROR},
        {L"ERROR_INVALID_DEPENDENCY", ERROR_CIRCULAR_DEPENDENCY},
        {L"INVALID_STARTUP_VALUE", ERROR_INVALID_PARAMETER},
        {L"INVALID_ACCOUNT", ERROR_INVALID_SERVICE_ACCOUNT},
        {L"ERROR_MSG_PROTOCOL", ERROR_INVALID_PARAMETER},
        {L"INVALID_CONTROL_CODE", ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
        {L"ERROR_SERVICE_CANNOT_ACCEPT_CTRL", ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
        {L"SERVICE_ALREADY_OPEN", ERROR_SERVICE_DATABASE_LOCKED},
        {L"SERVICE_ALREADY_EXISTS", ERROR_SERVICE_EXISTS},
        {L"ERROR_SERVICE_NOT_ACTIVE", ERROR_SERVICE_NOT_ACTIVE},
        {L"CONFIG_FAILED", ERROR_INVALID_DATA},
    };
    for (const auto& entry : kCodes) {
        if (ContainsFolded(reply, entry.code))
            return entry.error;
    }
    return ERROR_SUCCESS;
}

DWORD StateValue(const std::wstring& name)
{
    static const struct {
        const wchar_t* name;
        DWORD value;
    } kStates[] = {
        {L"SERVICE_STOPPED", SERVICE_STOPPED},
        {L"SERVICE_START_PENDING", SERVICE_START_PENDING},
        {L"SERVICE_STOP_PENDING", SERVICE_STOP_PENDING},
        {L"SERVICE_RUNNING", SERVICE_RUNNING},
        {L"SERVICE_CONTINUE_PENDING", SERVICE_CONTINUE_PENDING},
        {L"SERVICE_PAUSE_PENDING", SERVICE_PAUSE_PENDING},
        {L"SERVICE_PAUSED", SERVICE_PAUSED},
        {L"SERVICE_POST_SHUTDOWN_PENDING", 0x1000},
        {L"SERVICE_POST_SHUTDOWN", 0x1001},
    };
    for (const auto& entry : kStates) {
        if (_wcsicmp(name.c_str(), entry.name) == 0)
            return entry.value;
    }
    return 0;
}

// Sends one request over the control pipe and reads the whole reply.
DWORD Transact(const std::wstring& request, std::wstring& reply)
{
    reply.clear();
    standin::Log(L"request " + request);
    std::wstring name = PipeName();
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 2; ++attempt) {
        pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY)
            break;
        if (!WaitNamedPipeW(name.c_str(), kPipeBusyWaitMs))
            break;
    }
    if (pipe == INVALID_HANDLE_VALUE)
        return GetLastError();

    DWORD error = ERROR_SUCCESS;
    DWORD mode = PIPE_READMODE_MESSAGE;
    DWORD written = 0;
    DWORD bytes = static_cast<DWORD>((request.size() + 1) * sizeof(wchar_t));
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) ||
        !WriteFile(pipe, request.c_str(), bytes, &written, nullptr)) {
        error = GetLastError();
    } else {
        std::vector<wchar_t> chunk(kChunkBytes / sizeof(wchar_t));
        for (;;) {
            DWORD read = 0;
            BOOL complete = ReadFile(pipe, chunk.data(), kChunkBytes, &read, nullptr);
            DWORD readError = complete ? ERROR_SUCCESS : GetLastError();
            if (!complete && readError != ERROR_MORE_DATA) {
                error = readError;
                break;
            }
            reply.append(chunk.data(), read / sizeof(wchar_t));
            if (complete)
                break;
        }
        size_t end = reply.find(L'\0');
        if (end != std::wstring::npos)
            reply.resize(end);
        if (error == ERROR_SUCCESS)
            standin::Log(L"reply " + reply);
    }
    CloseHandle(pipe);
    return error;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

class ServiceObject final : public standin::Counted<qvx::SvhServiceObject> {
public:
    explicit ServiceObject(std::wstring name) : Counted(L"SvhServiceObject " + name), name_(std::move(name)) {}

    BOOL WINAPI Reserved2() override { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
    BOOL WINAPI Reserved3() override { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
    BOOL WINAPI Reserved4() override { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
    BOOL WINAPI Reserved5() override { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }

    BOOL WINAPI QueryState(DWORD* state) override
    {
        if (!state)
            return Fail(ERROR_INVALID_PARAMETER);
        return Query(name_, *state) == ERROR_SUCCESS;
    }

    BOOL WINAPI Start(DWORD argumentCount, const wchar_t** arguments) override
    {
        // The arguments travel as one blank-separated field; a comma would
        // split the request.
        std::wstring joined;
        for (DWORD i = 0; i < argumentCount; ++i) {
            if (!arguments || !arguments[i] || wcschr(arguments[i], L','))
                return Fail(ERROR_INVALID_PARAMETER);
            if (i > 0)
                joined += L' ';
            joined += arguments[i];
        }
        if (joined.empty())
            joined = L"EMPTY";
        std::wstring reply;
        DWORD error = Transact(L"START_SERVICE," + name_ + L"," + std::to_wstring(argumentCount) + L"," + joined, reply);
        if (error == ERROR_SUCCESS)
            error = ReplyError(reply);
        return error == ERROR_SUCCESS ? TRUE : Fail(error);
    }

    // The state of `name`: 0, or the error (set as the last error too).
    static DWORD Query(const std::wstring& name, DWORD& state)
    {
        const std::wstring command = L"QUERY_SERVICE_STATUS";
        std::wstring reply;
        DWORD error = Transact(command + L"," + name, reply);
        if (error == ERROR_SUCCESS)
            error = ReplyError(reply);
        if (error == ERROR_SUCCESS) {
            if (reply.size() > command.size() + 1 && _wcsnicmp(reply.c_str(), command.c_str(), command.size()) == 0 &&
                reply[command.size()] == L',') {
                state = StateValue(reply.substr(command.size() + 1));
                if (state == 0)
                    error = ERROR_INVALID_DATA;
            } else {
                error = ERROR_INVALID_DATA;
            }
        }
        SetLastError(error);
        return error;
    }

private:
    std::wstring name_;
};

class Controller final : public standin::Counted<qvx::SvhController> {
public:
    Controller() : Counted(L"SvhController") {}

    BOOL WINAPI Reserved2() override { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
    BOOL WINAPI Reserved3() override { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }

    qvx::SvhServiceObject* WINAPI OpenHostedService(const wchar_t* serviceName) override
    {
        if (!serviceName || !*serviceName || wcschr(serviceName, L',')) {
            SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
        // The management service must know the service: asking for its
        // state proves both that it runs and that the name exists.
        DWORD state = 0;
        if (ServiceObject::Query(serviceName, state) != ERROR_SUCCESS)
            return nullptr;
        return new ServiceObject(serviceName);
    }
};

class SvhControlStandIn final : public standin::Counted<qvx::SvhControl> {
public:
    SvhControlStandIn() : Counted(L"SvhControl") {}

    qvx::SvhController* WINAPI OpenController() override
    {
        HRESULT injected = standin::InjectedResult(L"OpenController");
        standin::Log(L"OpenController");
        if (injected != S_OK) {
            SetLastError(static_cast<DWORD>(injected));
            return nullptr;
        }
        return new Controller();
    }

    BOOL WINAPI Reserved3() override { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
    BOOL WINAPI Reserved4() override { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }

    BOOL WINAPI RunServiceTable(const SERVICE_TABLE_ENTRYW* table, DWORD count, const wchar_t* serviceName) override
    {
        standin::Log(L"RunServiceTable " + std::to_wstring(count) + L" " + standin::Text(serviceName));
        if (!table || count != 1 || !serviceName || !table[0].lpServiceName || !table[0].lpServiceProc ||
            table[1].lpServiceName || table[1].lpServiceProc || _wcsicmp(table[0].lpServiceName, serviceName) != 0)
            return Fail(ERROR_INVALID_PARAMETER);
        HRESULT injected = standin::InjectedResult(L"RunServiceTable");
        if (injected != S_OK)
            return Fail(static_cast<DWORD>(injected));
        qvx::hosted::HostedServiceOptions options;
        options.controlPipeName = PipeName();
        std::wstring name = table[0].lpServiceName;
        DWORD error = standin::RunDllService(name, table[0].lpServiceProc, options);
        if (error != ERROR_SUCCESS)
            return Fail(error);
        standin::Log(L"ServiceMain returned " + name);
        return TRUE;
    }
};

} // namespace

extern "C" __declspec(dllexport) HRESULT WINAPI NotComDllGetInterface(const char* interfaceName, void** iface)
{
    return standin::HandOutInterface(interfaceName, iface, {qvx::kSvhControlInterface}, [](const std::wstring&) -> void* {
        return static_cast<qvx::SvhControl*>(new SvhControlStandIn());
    });
}

extern "C" __declspec(dllexport) void WINAPI NotComDllUnload()
{
    standin::Unload();
}

// Test export: the control pipe the service objects talk to (null: the
// management service's own).
extern "C" __declspec(dllexport) void WINAPI QvxStandInSetPipeName(const wchar_t* pipeName)
{
    std::lock_guard<std::mutex> guard(g_pipeLock);
    g_pipeName = pipeName ? pipeName : kDefaultPipeName;
}
