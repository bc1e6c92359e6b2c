#include "companions/dll_hosting.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "companions/standin_support.h"
#include "platform/handles.h"
#include "platform/locks.h"
#include "platform/trace.h"
#include "platform/wide_text.h"
#include "service_runtime/listener_server.h"
#include "service_runtime/service_session.h"

namespace standin {

namespace {

using qvx::KernelHandle;
using qvx::SrwExclusiveGuard;

// One run of one DLL service. It lives on the stack of the thread that runs
// the service. The handle the service gets for its status reports is a
// number of its own run: a later run may live at the same address, and a
// handle kept from an earlier run must not report for it.
class DllSession final : public qvx::hosted::ServiceSink {
public:
    DllSession(const std::wstring& name, const qvx::hosted::HostedServiceOptions& options) : runtime(name, options)
    {
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = SERVICE_START_PENDING;
    }

    void Stop(bool shutdown) override
    {
        const DWORD accepted = Accepted();
        if (shutdown && (accepted & SERVICE_ACCEPT_SHUTDOWN)) {
            CallHandler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr);
        } else if (accepted & SERVICE_ACCEPT_STOP) {
            CallHandler(SERVICE_CONTROL_STOP, 0, nullptr);
        } else {
            // The host's stop time-out decides what happens to a service
            // that does not take stops.
            QVX_TRACE(qvx::trace::kWarning, 1, L"stop dropped: the service does not accept it", runtime.Name());
            standin::Log(L"stop dropped " + runtime.Name());
        }
    }

    void PowerChange() override
    {
        if (Accepted() & SERVICE_ACCEPT_POWEREVENT) {
            CallHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE, nullptr);
        } else {
            QVX_TRACE(qvx::trace::kVerbose, 9, L"power change dropped: the service does not accept it", runtime.Name());
            standin::Log(L"power change dropped " + runtime.Name());
        }
    }

    void Control(DWORD control, DWORD eventType, const std::vector<BYTE>& data) override
    {
        std::vector<BYTE> copy(data);
        CallHandler(control, eventType, copy.empty() ? nullptr : copy.data());
    }

    void StartService() override
    {
        QVX_TRACE(qvx::trace::kWarning, 2, L"further service start asked of a DLL service", runtime.Name());
    }

    DWORD State() const override
    {
        SrwExclusiveGuard guard(lock);
        return status.dwCurrentState;
    }

    DWORD Accepted() const
    {
        SrwExclusiveGuard guard(lock);
        return registered ? status.dwControlsAccepted : 0;
    }

    void CallHandler(DWORD control, DWORD eventType, void* data)
    {
        LPHANDLER_FUNCTION_EX handlerEx = nullptr;
        LPHANDLER_FUNCTION handlerPlain = nullptr;
        void* context = nullptr;
        {
            SrwExclusiveGuard guard(lock);
            handlerEx = this->handlerEx;
            handlerPlain = this->handlerPlain;
            context = handlerContext;
        }
        if (handlerEx)
            handlerEx(control, eventType, data, context);
        else if (handlerPlain)
            handlerPlain(control);
        else
            QVX_TRACE(qvx::trace::kWarning, 3, L"control for a service without a handler", runtime.Name(), control);
    }

    qvx::hosted::ServiceSession runtime;
    KernelHandle stopped{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    // Orders the state reports of threads that report at the same time.
    std::mutex reportLock;
    mutable SRWLOCK lock = SRWLOCK_INIT;
    // Under lock:
    LPHANDLER_FUNCTION_EX handlerEx = nullptr;
    LPHANDLER_FUNCTION handlerPlain = nullptr;
    void* handlerContext = nullptr;
    bool registered = false;
    bool pastStart = false;
    bool stoppedReported = false;
    SERVICE_STATUS status{};
    // Under the list lock: the run's handle and the status calls under way.
    ULONG_PTR handle = 0;
    LONG users = 0;
};

SRWLOCK g_listLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_listChanged = CONDITION_VARIABLE_INIT;
std::vector<DllSession*> g_sessions;
ULONG_PTR g_lastHandle = 0;

void List(DllSession* session)
{
    SrwExclusiveGuard guard(g_listLock);
    if (++g_lastHandle == 0)
        ++g_lastHandle;
    session->handle = g_lastHandle;
    g_sessions.push_back(session);
}

// Unlists the run once no status call still uses it.
void Unlist(DllSession* session)
{
    AcquireSRWLockExclusive(&g_listLock);
    while (session->users > 0)
        SleepConditionVariableSRW(&g_listChanged, &g_listLock, INFINITE, 0);
    for (auto it = g_sessions.begin(); it != g_sessions.end(); ++it) {
        if (*it == session) {
            g_sessions.erase(it);
            break;
        }
    }
    ReleaseSRWLockExclusive(&g_listLock);
}

DllSession* UseByName(const wchar_t* name)
{
    SrwExclusiveGuard guard(g_listLock);
    for (DllSession* session : g_sessions) {
        if (name && qvx::EqualsFolded(session->runtime.Name(), name)) {
            ++session->users;
            return session;
        }
    }
    return nullptr;
}

DllSession* UseByHandle(SERVICE_STATUS_HANDLE handle)
{
    SrwExclusiveGuard guard(g_listLock);
    for (DllSession* session : g_sessions) {
        if (reinterpret_cast<SERVICE_STATUS_HANDLE>(session->handle) == handle) {
            ++session->users;
            return session;
        }
    }
    return nullptr;
}

void Done(DllSession* session)
{
    {
        SrwExclusiveGuard guard(g_listLock);
        --session->users;
    }
    WakeAllConditionVariable(&g_listChanged);
}

SERVICE_STATUS_HANDLE Register(const wchar_t* name, LPHANDLER_FUNCTION_EX handlerEx, LPHANDLER_FUNCTION handlerPlain,
                               void* context)
{
    if (!handlerEx && !handlerPlain) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DllSession* session = UseByName(name);
    if (!session) {
        QVX_TRACE(qvx::trace::kWarning, 4, L"handler registered for a service not run here",
                  name ? std::wstring(name) : std::wstring());
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    {
        SrwExclusiveGuard guard(session->lock);
        session->handlerEx = handlerEx;
        session->handlerPlain = handlerPlain;
        session->handlerContext = context;
        session->registered = true;
    }
    const auto handle = reinterpret_cast<SERVICE_STATUS_HANDLE>(session->handle);
    Done(session);
    return handle;
}

SERVICE_STATUS_HANDLE WINAPI HostedRegisterServiceCtrlHandlerExW(const wchar_t* name, LPHANDLER_FUNCTION_EX handler,
                                                                 void* context)
{
    return Register(name, handler, nullptr, context);
}

SERVICE_STATUS_HANDLE WINAPI HostedRegisterServiceCtrlHandlerW(const wchar_t* name, LPHANDLER_FUNCTION handler)
{
    return Register(name, nullptr, handler, nullptr);
}

// Running and stopped are what the host hears of; the pending states stay
// here, for INTERROGATE.
BOOL WINAPI HostedSetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status)
{
    if (!status) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DllSession* session = UseByHandle(handle);
    if (!session) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A state no service can be in would keep the run waiting for a stop of
    // a service that never ran, and reach the host through INTERROGATE.
    if (status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED) {
        QVX_TRACE(qvx::trace::kWarning, 10, L"status report with an unknown state refused", session->runtime.Name(),
                  status->dwCurrentState);
        Done(session);
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> reports(session->reportLock);
        DWORD report = 0;
        {
            SrwExclusiveGuard guard(session->lock);
            const DWORD previous = session->status.dwCurrentState;
            if (!session->stoppedReported) {
                session->status = *status;
                const DWORD state = status->dwCurrentState;
                if (state != SERVICE_START_PENDING && state != SERVICE_STOPPED)
                    session->pastStart = true;
                if ((state == SERVICE_RUNNING || state == SERVICE_STOPPED) && state != previous)
                    report = state;
                if (state == SERVICE_STOPPED)
                    session->stoppedReported = true;
            }
        }
        if (report != 0)
            session->runtime.ReportState(report);
        if (report == SERVICE_STOPPED)
            SetEvent(session->stopped.Get());
    }
    Done(session);
    return TRUE;
}

struct Replacement {
    const char* name;
    void* target;
};

const Replacement kReplacements[] = {
    {"RegisterServiceCtrlHandlerExW", reinterpret_cast<void*>(&HostedRegisterServiceCtrlHandlerExW)},
    {"RegisterServiceCtrlHandlerW", reinterpret_cast<void*>(&HostedRegisterServiceCtrlHandlerW)},
    {"SetServiceStatus", reinterpret_cast<void*>(&HostedSetServiceStatus)},
};

bool IsServiceApiModule(const char* name)
{
    return _stricmp(name, "advapi32.dll") == 0 || _stricmp(name, "sechost.dll") == 0 ||
           _strnicmp(name, "api-ms-win-service-", 19) == 0;
}

void* ReplacementByName(const char* name)
{
    for (const Replacement& entry : kReplacements) {
        if (strcmp(entry.name, name) == 0)
            return entry.target;
    }
    return nullptr;
}

// For an import table without names: the slot holds the system's address.
void* ReplacementByAddress(void* address)
{
    for (const wchar_t* library : {L"advapi32.dll", L"sechost.dll"}) {
        HMODULE module = GetModuleHandleW(library);
        if (!module)
            continue;
        for (const Replacement& entry : kReplacements) {
            if (reinterpret_cast<void*>(GetProcAddress(module, entry.name)) == address)
                return entry.target;
        }
    }
    return nullptr;
}

// Points the module's imports of the service calls at this library. Done
// again for every run, so a DLL unloaded and loaded again is patched again.
void PatchImports(HMODULE module)
{
    BYTE* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE)
        return;
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return;
    for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        if (!IsServiceApiModule(reinterpret_cast<const char*>(base + descriptor->Name)))
            continue;
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        const IMAGE_THUNK_DATA* names = descriptor->OriginalFirstThunk
                                            ? reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk)
                                            : nullptr;
        for (; slot->u1.Function != 0; ++slot, names = names ? names + 1 : nullptr) {
            void* replacement = nullptr;
            if (names && !IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                replacement = ReplacementByName(reinterpret_cast<const char*>(byName->Name));
            } else {
                replacement = ReplacementByAddress(reinterpret_cast<void*>(slot->u1.Function));
            }
            if (!replacement || reinterpret_cast<void*>(slot->u1.Function) == replacement)
                continue;
            DWORD protection = 0;
            if (!VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), PAGE_READWRITE, &protection)) {
                QVX_TRACE(qvx::trace::kError, 5, L"import slot not writable", GetLastError());
                continue;
            }
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), protection, &protection);
        }
    }
}

// Patched slots point into this library, which must then outlive any DLL it
// patched.
void PinSelf()
{
    static std::once_flag pinned;
    std::call_once(pinned, [] {
        HMODULE self = nullptr;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                reinterpret_cast<const wchar_t*>(&PinSelf), &self))
            QVX_TRACE(qvx::trace::kError, 6, L"hosting library not pinned", GetLastError());
    });
}

} // namespace

DWORD RunDllService(const std::wstring& serviceName, LPSERVICE_MAIN_FUNCTIONW entry,
                    const qvx::hosted::HostedServiceOptions& options)
{
    DllSession session(serviceName, options);
    // The mutex belongs to the thread that takes it: held by the service
    // thread, it keeps the host's monitor waiting while the service runs.
    DWORD error = session.runtime.TakeServiceMutex();
    if (error != ERROR_SUCCESS)
        return error;

    qvx::hosted::ListenerServer listener;
    DllSession* own = &session;
    error = listener.Start(
        qvx::hosted::ListenerPipeName(options, serviceName),
        [own](const std::wstring& message) {
            return qvx::hosted::HandleListenerMessage(message, [own](std::wstring_view name) -> qvx::hosted::ServiceSink* {
                return qvx::EqualsFolded(own->runtime.Name(), name) ? own : nullptr;
            });
        },
        options.pipeTimeoutMs);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(qvx::trace::kError, 7, L"listener pipe of a DLL service not served", serviceName, error);
        session.runtime.ReleaseServiceMutex();
        return error;
    }
    List(&session);

    std::vector<std::wstring> arguments;
    error = session.runtime.FetchStartArguments(&arguments);
    if (error == ERROR_SUCCESS) {
        HMODULE module = nullptr;
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               reinterpret_cast<const wchar_t*>(entry), &module)) {
            PinSelf();
            PatchImports(module);
        } else {
            QVX_TRACE(qvx::trace::kWarning, 8, L"module of a DLL service entry not found", serviceName, GetLastError());
        }
        std::wstring name = serviceName;
        std::vector<wchar_t*> argv{name.data()};
        for (std::wstring& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        entry(static_cast<DWORD>(argv.size() - 1), argv.data());

        // A service may go on running on threads of its own after its entry
        // point returns, as under the service control dispatcher.
        bool running = false;
        {
            SrwExclusiveGuard guard(session.lock);
            running = session.registered && session.pastStart && !session.stoppedReported;
        }
        if (running)
            WaitForSingleObject(session.stopped.Get(), INFINITE);
    }

    listener.Stop();
    Unlist(&session);
    // After any stopped report: the host learns of a clean stop before it
    // sees the mutex free.
    session.runtime.ReleaseServiceMutex();
    return error;
}

} // namespace standin
