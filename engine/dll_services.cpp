#include "engine/dll_services.h"

#include <atomic>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_calls.h"
#include "engine/listener_operations.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/table_lock.h"
#include "platform/companion_interfaces.h"
#include "platform/last_error.h"
#include "platform/locks.h"
#include "platform/trace.h"
#include "platform/trusted_library.h"
#include "runtime/host_runtime.h"

namespace qvx {
namespace {

constexpr wchar_t kHostingLibrary[] = L"qvxsvha.dll";
constexpr DWORD kShutdownWaitMs = 15000;
constexpr size_t kFirstCapacity = 4;
constexpr size_t kMaxListBytes = 0x1000000;

std::atomic<size_t> liveContexts{0};

struct DllServiceContext {
    DllServiceContext() noexcept { liveContexts.fetch_add(1); }
    ~DllServiceContext() { liveContexts.fetch_sub(1); }
    DllServiceContext(const DllServiceContext&) = delete;
    DllServiceContext& operator=(const DllServiceContext&) = delete;

    std::atomic<LONG> references{1};
    ServiceRecord* record = nullptr;
    // The service's name as it started: a record can leave the table while
    // its thread still ends, and the list must not read it then.
    std::wstring name;
    HANDLE thread = nullptr;
    SvhControl* control = nullptr;
    // Set while the service DLL is loaded for this context; the thread
    // takes it when it unloads the DLL, so that the DLL is unloaded once.
    std::atomic<HMODULE> module{nullptr};
    LPSERVICE_MAIN_FUNCTIONW entry = nullptr;
    // Set when the start gave up before the thread was let go: the thread
    // then ends without running the service.
    std::atomic<bool> abandoned{false};
};

bool ThreadEnded(HANDLE thread) noexcept
{
    return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
}

void AddReference(DllServiceContext* context) noexcept
{
    context->references.fetch_add(1);
}

void ReleaseContext(DllServiceContext* context) noexcept
{
    if (context->references.fetch_sub(1) != 1)
        return;
    // A DLL whose thread still runs its code must stay; only a context
    // whose thread never ran the service can still hold its module here.
    if (!context->thread || ThreadEnded(context->thread)) {
        if (HMODULE module = context->module.exchange(nullptr))
            FreeLibrary(module);
    }
    if (context->thread)
        CloseHandle(context->thread);
    if (context->control)
        context->control->Release();
    delete context;
}

// ASCII letters without case, as service names are compared everywhere.
bool SameAsciiName(const std::wstring& a, const std::wstring& b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i];
        wchar_t y = b[i];
        if (x >= L'A' && x <= L'Z')
            x = static_cast<wchar_t>(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z')
            y = static_cast<wchar_t>(y - L'A' + L'a');
        if (x != y)
            return false;
    }
    return true;
}

// The running DLL services. Its lock guards the array only: it is never
// held while a stop is posted or while threads are waited for.
class RunningDllServices {
public:
    RunningDllServices() { InitializeCriticalSection(&lock_); }
    ~RunningDllServices() { DeleteCriticalSection(&lock_); }
    RunningDllServices(const RunningDllServices&) = delete;
    RunningDllServices& operator=(const RunningDllServices&) = delete;

    CRITICAL_SECTION& Lock() noexcept { return lock_; }

    // Under the lock. The list takes over the caller's reference; false
    // (nothing taken) when the array cannot grow.
    bool Add(DllServiceContext* context) noexcept
    {
        if (count_ == capacity_) {
            const size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
            if (capacity > kMaxListBytes / sizeof(DllServiceContext*)) {
                QVX_TRACE(trace::kError, 1, L"the list of running DLL services cannot grow", capacity_);
                return false;
            }
            auto* items = new (std::nothrow) DllServiceContext*[capacity];
            if (!items) {
                QVX_TRACE(trace::kError, 2, L"no memory for the list of running DLL services", capacity);
                return false;
            }
            if (count_ > 0)
                std::memcpy(items, items_, count_ * sizeof(DllServiceContext*));
            delete[] items_;
            items_ = items;
            capacity_ = capacity;
        }
        items_[count_++] = context;
        return true;
    }

    // Under the lock. Whether the context was listed; the caller then owns
    // the list's reference.
    bool Remove(DllServiceContext* context) noexcept
    {
        for (size_t i = 0; i < count_; ++i) {
            if (items_[i] != context)
                continue;
            // List order is the order stops are sent in: keep it.
            for (size_t j = i + 1; j < count_; ++j)
                items_[j - 1] = items_[j];
            --count_;
            return true;
        }
        return false;
    }

    size_t Count() const noexcept { return count_; }
    DllServiceContext* At(size_t index) const noexcept { return items_[index]; }
    void Clear() noexcept { count_ = 0; }

private:
    CRITICAL_SECTION lock_;
    DllServiceContext** items_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
};

RunningDllServices& Running()
{
    static RunningDllServices running;
    return running;
}

// Takes a context out of the list, dropping the list's reference.
void Unlist(DllServiceContext* context) noexcept
{
    bool listed = false;
    {
        CriticalSectionGuard guard(Running().Lock());
        listed = Running().Remove(context);
    }
    if (listed)
        ReleaseContext(context);
}

// Every listed context (with a thread, when asked), in list order, each
// with a reference of the caller's.
std::vector<DllServiceContext*> ReferenceListed(bool withThreadOnly)
{
    std::vector<DllServiceContext*> contexts;
    CriticalSectionGuard guard(Running().Lock());
    for (size_t i = 0; i < Running().Count(); ++i) {
        DllServiceContext* context = Running().At(i);
        if (withThreadOnly && !context->thread)
            continue;
        AddReference(context);
        contexts.push_back(context);
    }
    return contexts;
}

DWORD GetHostingControl(SvhControl** control)
{
    return GetTrustedLibraryInterface(kHostingLibrary, kSvhControlInterface, reinterpret_cast<void**>(control));
}

std::atomic<DllServiceControlSourceFn> controlSource{nullptr};

DWORD RunDllService(DllServiceContext& context)
{
    const DllServiceControlSourceFn source = controlSource.load();
    SvhControl* control = nullptr;
    DWORD error = (source ? source : GetHostingControl)(&control);
    const std::wstring& name = context.name;
    if (error != ERROR_SUCCESS || !control) {
        if (error == ERROR_SUCCESS)
            error = ERROR_INVALID_FUNCTION;
        QVX_TRACE(trace::kError, 3, L"no control interface for a DLL service", name, error);
        return error;
    }
    context.control = control;

    std::wstring serviceName = name;
    const SERVICE_TABLE_ENTRYW table[2] = {{serviceName.data(), context.entry}, {nullptr, nullptr}};
    if (!control->RunServiceTable(table, 1, serviceName.c_str())) {
        error = LastErrorOr(ERROR_SERVICE_SPECIFIC_ERROR);
        QVX_TRACE(trace::kError, 4, L"a DLL service ended with a failure", name, error);
        return error;
    }
    QVX_TRACE(trace::kInfo, 5, L"a DLL service ended", name);
    return ERROR_SUCCESS;
}

DWORD WINAPI DllServiceThread(void* parameter)
{
    auto* context = static_cast<DllServiceContext*>(parameter);
    const DWORD result = context->abandoned.load() ? ERROR_CANCELLED : RunDllService(*context);
    Unlist(context);
    if (HMODULE module = context->module.exchange(nullptr))
        FreeLibrary(module);
    ReleaseContext(context);
    return result;
}

// Ends a start that failed after the thread was created: the thread, still
// suspended, is let go only to end, and its way out cleans up after it.
// Returns the caller's error.
DWORD AbandonStart(DllServiceContext* context, DWORD error)
{
    context->abandoned.store(true);
    if (ResumeThread(context->thread) == static_cast<DWORD>(-1)) {
        // A thread that cannot be resumed never ran a line of the service:
        // it is ended in place, and its reference and the module are ours.
        TerminateThread(context->thread, error);
        WaitForSingleObject(context->thread, INFINITE);
        Unlist(context);
        ReleaseContext(context);
    } else {
        WaitForSingleObject(context->thread, INFINITE);
    }
    ReleaseContext(context);
    return error;
}

} // namespace

size_t LiveDllServiceContexts()
{
    return liveContexts.load();
}

void SetDllServiceControlSource(DllServiceControlSourceFn source) noexcept
{
    controlSource.store(source);
}

DWORD StartDllService(ServiceRecord& record)
{
    const std::wstring name = record.GetName();
    auto* context = new (std::nothrow) DllServiceContext;
    if (!context) {
        QVX_TRACE(trace::kError, 6, L"no memory for a DLL service context", name);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    context->record = &record;
    context->name = name;

    const std::wstring path = record.GetBinaryPath();
    HMODULE module = LoadLibraryW(path.c_str());
    if (!module) {
        const DWORD error = LastErrorOr(ERROR_MOD_NOT_FOUND);
        QVX_TRACE(trace::kError, 7, L"the DLL of a DLL service was not loaded", name, path, error);
        ReleaseContext(context);
        return error;
    }
    context->module.store(module);

    const std::optional<std::string> entryName = record.GetServiceMain();
    FARPROC entry = entryName ? GetProcAddress(module, entryName->c_str()) : nullptr;
    if (!entry) {
        const DWORD error = entryName ? LastErrorOr(ERROR_PROC_NOT_FOUND) : ERROR_PROC_NOT_FOUND;
        QVX_TRACE(trace::kError, 8, L"the DLL does not export the service's entry point", name, path, error);
        ReleaseContext(context);
        return error;
    }
    context->entry = reinterpret_cast<LPSERVICE_MAIN_FUNCTIONW>(reinterpret_cast<void*>(entry));

    // The thread's reference, taken before the thread can run.
    AddReference(context);
    context->thread = CreateThread(nullptr, 0, DllServiceThread, context, CREATE_SUSPENDED, nullptr);
    if (!context->thread) {
        const DWORD error = LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
        QVX_TRACE(trace::kError, 9, L"the thread of a DLL service was not created", name, error);
        ReleaseContext(context);
        ReleaseContext(context);
        return error;
    }

    // Listed before it runs, so that the thread's way out always finds it
    // and liveness is true from the start. The list takes our reference.
    bool listed = false;
    {
        CriticalSectionGuard guard(Running().Lock());
        listed = Running().Add(context);
    }
    if (!listed)
        return AbandonStart(context, ERROR_NOT_ENOUGH_MEMORY);

    if (ResumeThread(context->thread) == static_cast<DWORD>(-1)) {
        const DWORD error = LastErrorOr(ERROR_INVALID_HANDLE);
        QVX_TRACE(trace::kError, 10, L"the thread of a DLL service was not resumed", name, error);
        TerminateThread(context->thread, error);
        WaitForSingleObject(context->thread, INFINITE);
        Unlist(context);
        // The thread's own reference; the last one unloads the DLL.
        ReleaseContext(context);
        return error;
    }
    QVX_TRACE(trace::kInfo, 11, L"a DLL service was started", name, path);
    return ERROR_SUCCESS;
}

bool DllServiceThreadExists(const ServiceRecord& record)
{
    const std::wstring name = record.GetName();
    CriticalSectionGuard guard(Running().Lock());
    bool exists = false;
    for (size_t i = 0; i < Running().Count(); ++i) {
        const DllServiceContext* context = Running().At(i);
        if (SameAsciiName(context->name, name))
            exists = context->thread != nullptr;
    }
    return exists;
}

size_t RunningDllServiceCount()
{
    CriticalSectionGuard guard(Running().Lock());
    return Running().Count();
}

void StopDllServices(HostRuntime& runtime)
{
    QVX_TRACE(trace::kInfo, 15, L"StopDllServices: the stop goes to every running DLL service");
    ServiceTable* table = runtime.Table();
    if (!table) {
        QVX_TRACE(trace::kWarning, 16, L"no service table to stop the DLL services of");
        return;
    }
    // Posting a stop can take up to 15 s per service: the list is copied
    // under its lock and the posts are made without it, so that a service
    // ending meanwhile is not held up and a start does not wait behind them.
    // The shared table lock keeps the records in the table for the posts.
    TableLock tableGuard(table->Lock(), TableLockMode::Shared);
    const std::vector<DllServiceContext*> contexts = ReferenceListed(false);
    for (DllServiceContext* context : contexts) {
        ServiceRecord* record = table->FindByName(context->name);
        if (record != context->record) {
            QVX_TRACE(trace::kWarning, 17, L"a running DLL service is no longer in the table", context->name);
        } else {
            const DWORD error = SendServiceControl(runtime, *record, SERVICE_CONTROL_STOP);
            if (error != ERROR_SUCCESS)
                QVX_TRACE(trace::kWarning, 12, L"a DLL service was not sent the stop", context->name, error);
            else
                QVX_TRACE(trace::kInfo, 18, L"a DLL service was sent the stop", context->name);
        }
        ReleaseContext(context);
    }
}

void WaitDllServices(HostRuntime& /*runtime*/)
{
    // Each context is held while its thread is waited for, so that a thread
    // that ends meanwhile cannot close the handle under the wait.
    const std::vector<DllServiceContext*> contexts = ReferenceListed(true);
    if (!contexts.empty()) {
        const ULONGLONG deadline = GetTickCount64() + kShutdownWaitMs;
        // One wait takes at most 64 handles: the threads are waited for in
        // groups, all within the one bound.
        for (size_t first = 0; first < contexts.size(); first += MAXIMUM_WAIT_OBJECTS) {
            HANDLE handles[MAXIMUM_WAIT_OBJECTS];
            DWORD count = 0;
            for (size_t i = first; i < contexts.size() && count < MAXIMUM_WAIT_OBJECTS; ++i)
                handles[count++] = contexts[i]->thread;
            const ULONGLONG now = GetTickCount64();
            const DWORD remaining = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            const DWORD waited = WaitForMultipleObjects(count, handles, TRUE, remaining);
            if (waited == WAIT_TIMEOUT) {
                size_t running = 0;
                for (const DllServiceContext* context : contexts) {
                    if (!ThreadEnded(context->thread)) {
                        QVX_TRACE(trace::kWarning, 19, L"a DLL service still runs after the shutdown wait",
                                  context->name);
                        ++running;
                    }
                }
                QVX_TRACE(trace::kWarning, 13, L"DLL services still run after the shutdown wait", running,
                          contexts.size());
                break;
            }
            if (waited == WAIT_FAILED) {
                QVX_TRACE(trace::kError, 14, L"the wait for DLL services failed", GetLastError());
                break;
            }
        }
    }

    std::vector<DllServiceContext*> listed;
    {
        CriticalSectionGuard guard(Running().Lock());
        for (size_t i = 0; i < Running().Count(); ++i)
            listed.push_back(Running().At(i));
        Running().Clear();
    }
    // A context whose thread still runs is left to that thread.
    for (DllServiceContext* context : listed)
        ReleaseContext(context);
    for (DllServiceContext* context : contexts)
        ReleaseContext(context);
}

} // namespace qvx
