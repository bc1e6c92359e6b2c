#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/companion_interfaces.h"
#include "platform/trusted_library.h"
#include "platform/handles.h"
#include "platform/wide_text.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_control_pipe.h"
#include "tests/support/unique_name.h"
#include "tests/trust/trust_fixtures.h"

namespace qvx {
namespace {

// Calls the operation at `slot` of an object's table directly, so that the
// declared layout is checked against the slot numbers callers rely on.
template <typename Fn>
Fn Slot(void* object, size_t slot)
{
    return reinterpret_cast<Fn>((*static_cast<void***>(object))[slot]);
}

// The stand-ins are found in the install directory, which points at the
// build's folder: the same modules StandIn loads.
class StandInTest : public testing::Test {
protected:
    StandInTest() { installDir_.Set(test::BinDirectory()); }

    test::InstallDirOverride installDir_;
};

TEST_F(StandInTest, TriggerControlRecordsItsCallsAndSurvivesTheLoaderReference)
{
    test::StandIn library(L"qvxtrig.dll");
    ASSERT_TRUE(library.Loaded());
    void* raw = nullptr;
    ASSERT_EQ(GetTrustedLibraryInterface(kTriggerControlLibrary, kTriggerControlInterface, &raw), 0u);
    auto* control = static_cast<TriggerControl*>(raw);

    const BYTE block[16] = {0x01, 0x00, 0x01, 0x10, 0x04, 0x0a, 0x01, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x80};
    EXPECT_EQ(Slot<HRESULT(WINAPI*)(void*, const BYTE*)>(control, 2)(control, block), S_OK);
    EXPECT_EQ(Slot<HRESULT(WINAPI*)(void*)>(control, 3)(control), S_OK);
    EXPECT_EQ(Slot<ULONG(WINAPI*)(void*)>(control, 1)(control), 0u);
    auto unload = library.Export<NotComDllUnloadFn>(kNotComDllUnloadExport);
    ASSERT_NE(unload, nullptr);
    unload();

    EXPECT_EQ(library.Log(), L"NotComDllGetInterface TriggerControl\n"
                             L"RegisterTriggers 01 00 01 10 04 0a 01 00 00 00 00 00 00 40 00 80\n"
                             L"Close\n"
                             L"Release TriggerControl\n"
                             L"NotComDllUnload\n");
}

TEST_F(StandInTest, RefusedInterfaceOrOperationGivesItsError)
{
    test::StandIn library(L"qvxtrig.dll");
    void* raw = nullptr;
    EXPECT_EQ(GetTrustedLibraryInterface(kTriggerControlLibrary, "NoSuchInterface", &raw),
              static_cast<DWORD>(E_NOINTERFACE));
    EXPECT_EQ(raw, nullptr);

    library.Fail(L"NotComDllGetInterface:TriggerControl", E_ACCESSDENIED);
    EXPECT_EQ(GetTrustedLibraryInterface(kTriggerControlLibrary, kTriggerControlInterface, &raw),
              static_cast<DWORD>(E_ACCESSDENIED));
    library.Fail(L"NotComDllGetInterface:TriggerControl", S_OK);

    library.Fail(L"RegisterTriggers", E_FAIL);
    ASSERT_EQ(GetTrustedLibraryInterface(kTriggerControlLibrary, kTriggerControlInterface, &raw), 0u);
    auto* control = static_cast<TriggerControl*>(raw);
    const BYTE block[16] = {};
    EXPECT_EQ(control->RegisterTriggers(block), E_FAIL);
    control->Release();
}

TEST_F(StandInTest, LibraryMissingEverywhereIsFileNotFound)
{
    void* raw = nullptr;
    EXPECT_EQ(GetTrustedLibraryInterface(L"qvxnothere.dll", "TriggerControl", &raw),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(raw, nullptr);
}

TEST_F(StandInTest, AccessControlObjectOperationsSitAtTheirSlots)
{
    test::StandIn library(L"qvxaccess.dll");
    ASSERT_TRUE(library.Loaded());
    void* raw = nullptr;
    ASSERT_EQ(GetTrustedLibraryInterface(kAccessControlLibrary, "AacControl6", &raw), 0u);
    const GUID id = {0x4562A25A, 0x895D, 0x4E20, {0xBB, 0x47, 0x73, 0x17, 0x80, 0x1F, 0x01, 0x08}};
    void* object = nullptr;
    ASSERT_EQ((Slot<HRESULT(WINAPI*)(void*, const GUID*, const wchar_t*, void**)>(raw, 2)(raw, &id, L"SVH", &object)),
              S_OK);
    Slot<ULONG(WINAPI*)(void*)>(raw, 1)(raw);
    ASSERT_NE(object, nullptr);
    library.Reset();

    void* policy = nullptr;
    void* rule = nullptr;
    void* matcher = nullptr;
    EXPECT_EQ((Slot<HRESULT(WINAPI*)(void*, const GUID*, const wchar_t*, void**)>(object, 2)(object, &id, L"p", &policy)),
              S_OK);
    EXPECT_EQ((Slot<HRESULT(WINAPI*)(void*, const GUID*, const wchar_t*, DWORD, void**)>(object, 3)(
                  object, &id, L"r", kAacAllow, &rule)),
              S_OK);
    EXPECT_EQ((Slot<HRESULT(WINAPI*)(void*, DWORD, const wchar_t*, DWORD, void**)>(object, 4)(
                  object, kAacActorImage, L"**\\qvxsvh.exe", 0, &matcher)),
              S_OK);
    static_cast<AacMatcher*>(matcher)->Release();
    EXPECT_EQ((Slot<HRESULT(WINAPI*)(void*, DWORD, const wchar_t*, DWORD, DWORD, void**)>(object, 5)(
                  object, kAacObjectFile, L"x", 1, 2, &matcher)),
              S_OK);
    EXPECT_EQ((Slot<HRESULT(WINAPI*)(void*, void*, void*)>(object, 6)(object, rule, matcher)), S_OK);
    EXPECT_EQ((Slot<HRESULT(WINAPI*)(void*, void*, void*)>(object, 7)(object, policy, rule)), S_OK);
    EXPECT_EQ((Slot<HRESULT(WINAPI*)(void*, const GUID*, void*)>(object, 8)(object, &id, policy)), S_OK);
    EXPECT_EQ((Slot<HRESULT(WINAPI*)(void*, const GUID*, DWORD, DWORD)>(object, 9)(object, &id, 0, 0)), S_OK);
    EXPECT_EQ((Slot<HRESULT(WINAPI*)(void*, void*, DWORD, DWORD, DWORD, void*)>(object, 17)(object, object, 1023,
                                                                                            2050, 0, nullptr)),
              S_OK);
    EXPECT_EQ((Slot<HRESULT(WINAPI*)(void*)>(object, 18)(object)), S_OK);
    static_cast<AacMatcher*>(matcher)->Release();
    static_cast<AacRule*>(rule)->Release();
    static_cast<AacPolicy*>(policy)->Release();
    static_cast<AacObject*>(object)->Release();

    const std::wstring guid = L"{4562A25A-895D-4E20-BB47-7317801F0108}";
    EXPECT_EQ(library.Log(), L"CreatePolicy " + guid + L" p\n"
                             L"CreateRule " + guid + L" 1 r\n"
                             L"CreateActorMatcher actor 1 **\\qvxsvh.exe 0\n"
                             L"Release actor 1 **\\qvxsvh.exe 0\n"
                             L"CreateTargetMatcher target 1 x 0x1 0x2\n"
                             L"AddMatcher [" + guid + L" 1 r] [target 1 x 0x1 0x2]\n"
                             L"AddRule [" + guid + L" p] [" + guid + L" 1 r]\n"
                             L"CommitPolicy " + guid + L" [" + guid + L" p]\n"
                             L"DeletePolicy " + guid + L" 0 0\n"
                             L"RegisterCallback callback 1023 2050 0 0\n"
                             L"UnregisterCallback\n"
                             L"Release target 1 x 0x1 0x2\n"
                             L"Release " + guid + L" 1 r\n"
                             L"Release " + guid + L" p\n"
                             L"Release AccessControl " + guid + L" SVH\n");
}

// Receives what the access-control library reports.
class RecordingCallback final : public AacCallback {
public:
    HRESULT WINAPI OnNotification(AacNotification* notification) override { return Record(0, notification); }
    HRESULT WINAPI OnNotificationEx(AacNotification* notification) override { return Record(1, notification); }

    int operation = -1;
    DWORD kind = 0;
    DWORD flags = 0;
    DWORD processId = 0;
    std::vector<GUID> rules;
    std::vector<BYTE> data;

private:
    HRESULT Record(int which, AacNotification* notification)
    {
        operation = which;
        kind = notification->Kind();
        flags = notification->Flags();
        processId = notification->ProcessId();
        rules.clear();
        for (DWORD i = 0; i < notification->RuleCount(); ++i) {
            GUID id{};
            if (notification->RuleId(i, &id))
                rules.push_back(id);
        }
        const BYTE* block = nullptr;
        DWORD size = 0;
        if (notification->RuleData(&block, &size) && block)
            data.assign(block, block + size);
        return notification->Result() != S_OK ? notification->Result() : static_cast<HRESULT>(0x42);
    }
};

TEST_F(StandInTest, AccessControlNotifiesTheRegisteredCallbackUntilUnregistered)
{
    test::StandIn library(L"qvxaccess.dll");
    using NotifyFn = HRESULT(WINAPI*)(DWORD, HRESULT, DWORD, DWORD, DWORD, const GUID*, DWORD, const BYTE*, DWORD);
    auto notify = library.Export<NotifyFn>("QvxStandInNotify");
    ASSERT_NE(notify, nullptr);
    void* raw = nullptr;
    ASSERT_EQ(GetTrustedLibraryInterface(kAccessControlLibrary, "AacControl6", &raw), 0u);
    auto* iface = static_cast<AacControl*>(raw);
    const GUID id = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
    AacObject* object = nullptr;
    ASSERT_EQ(iface->CreateAccessControl(&id, L"SVH", &object), S_OK);
    iface->Release();

    RecordingCallback callback;
    ASSERT_EQ(object->RegisterCallback(&callback, 1023, 2050, 0, nullptr), S_OK);
    const GUID rules[] = {{0xA, 0xB, 0xC, {1, 1, 1, 1, 1, 1, 1, 1}}, {0xD, 0xE, 0xF, {2, 2, 2, 2, 2, 2, 2, 2}}};
    const BYTE block[] = {1, 0, 0, 0, 9};
    EXPECT_EQ(notify(1, S_OK, 16, 0x801, 1234, rules, 2, block, sizeof(block)), static_cast<HRESULT>(0x42));
    EXPECT_EQ(callback.operation, 1);
    EXPECT_EQ(callback.kind, 16u);
    EXPECT_EQ(callback.flags, 0x801u);
    EXPECT_EQ(callback.processId, 1234u);
    ASSERT_EQ(callback.rules.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(callback.rules[1], rules[1]));
    EXPECT_EQ(callback.data, std::vector<BYTE>(block, block + sizeof(block)));
    EXPECT_EQ(notify(0, E_ABORT, 0, 0, 0, nullptr, 0, nullptr, 0), E_ABORT);
    EXPECT_EQ(callback.operation, 0);

    ASSERT_EQ(object->UnregisterCallback(), S_OK);
    EXPECT_EQ(notify(0, S_OK, 0, 0, 0, nullptr, 0, nullptr, 0), E_UNEXPECTED);
    object->Release();
}

using test::FakeControlPipe;

class SvhControlTest : public StandInTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(library_.Loaded());
        void* raw = nullptr;
        ASSERT_EQ(GetTrustedLibraryInterface(kSvhClientLibrary, kSvhControlInterface, &raw), 0u);
        control_ = static_cast<SvhControl*>(raw);
    }

    void TearDown() override
    {
        if (control_)
            control_->Release();
        UsePipe(nullptr);
    }

    void UsePipe(const wchar_t* name)
    {
        if (auto set = library_.Export<void(WINAPI*)(const wchar_t*)>("QvxStandInSetPipeName"))
            set(name);
    }

    test::StandIn library_{L"qvxsvha.dll"};
    SvhControl* control_ = nullptr;
};

TEST_F(SvhControlTest, StartsAndQueriesAHostedServiceOverTheControlPipe)
{
    FakeControlPipe pipe({{L"QUERY_SERVICE_STATUS,qvxtrust", L"QUERY_SERVICE_STATUS,SERVICE_START_PENDING"},
                          {L"START_SERVICE,qvxtrust,0,EMPTY", L"ACK"}});
    UsePipe(pipe.Name().c_str());

    SvhController* controller = Slot<SvhController*(WINAPI*)(void*)>(control_, 2)(control_);
    ASSERT_NE(controller, nullptr);
    SvhServiceObject* service =
        Slot<SvhServiceObject*(WINAPI*)(void*, const wchar_t*)>(controller, 4)(controller, L"qvxtrust");
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE((Slot<BOOL(WINAPI*)(void*, DWORD, const wchar_t**)>(service, 7)(service, 0, nullptr)))
        << GetLastError() << "\n" << WideToUtf8(library_.Log());
    DWORD state = 0;
    EXPECT_TRUE((Slot<BOOL(WINAPI*)(void*, DWORD*)>(service, 6)(service, &state)));
    EXPECT_EQ(state, static_cast<DWORD>(SERVICE_START_PENDING));
    service->Release();
    controller->Release();

    std::wstring log = library_.Log();
    EXPECT_NE(log.find(L"request START_SERVICE,qvxtrust,0,EMPTY\nreply ACK\n"), std::wstring::npos)
        << WideToUtf8(log);
}

TEST_F(SvhControlTest, UnknownRequestIsNoSuccess)
{
    FakeControlPipe pipe(std::map<std::wstring, std::wstring>{
        {L"QUERY_SERVICE_STATUS,qvxtrust", L"QUERY_SERVICE_STATUS,SERVICE_STOPPED"}});
    UsePipe(pipe.Name().c_str());
    SvhController* controller = control_->OpenController();
    ASSERT_NE(controller, nullptr);
    SvhServiceObject* service = controller->OpenHostedService(L"qvxtrust");
    ASSERT_NE(service, nullptr);
    EXPECT_FALSE(service->Start(0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    service->Release();
    controller->Release();
}

TEST_F(SvhControlTest, RepliesBecomeTheErrorsCallersTest)
{
    FakeControlPipe pipe({{L"QUERY_SERVICE_STATUS,running", L"QUERY_SERVICE_STATUS,SERVICE_RUNNING"},
                          {L"START_SERVICE,running,2,-a -b", L"SERVICE_ALREADY_RUNNING"},
                          {L"QUERY_SERVICE_STATUS,unknown", L"SERVICE_NOT_FOUND"}});
    UsePipe(pipe.Name().c_str());
    SvhController* controller = control_->OpenController();
    ASSERT_NE(controller, nullptr);

    SetLastError(0);
    EXPECT_EQ(controller->OpenHostedService(L"unknown"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    SvhServiceObject* service = controller->OpenHostedService(L"running");
    ASSERT_NE(service, nullptr);
    const wchar_t* arguments[] = {L"-a", L"-b"};
    SetLastError(0);
    EXPECT_FALSE(service->Start(2, arguments));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    const wchar_t* withComma[] = {L"a,b"};
    EXPECT_FALSE(service->Start(1, withComma));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    service->Release();

    UsePipe(L"\\\\.\\pipe\\qvx-no-such-pipe");
    EXPECT_EQ(controller->OpenHostedService(L"running"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    controller->Release();
}

std::atomic<int> g_serviceMainCalls{0};
std::wstring g_serviceMainName;

void WINAPI RecordingServiceMain(DWORD argc, wchar_t** argv)
{
    ++g_serviceMainCalls;
    g_serviceMainName = argc >= 1 && argv && argv[0] ? argv[0] : L"";
}

TEST_F(SvhControlTest, SixthOperationRunsTheServiceEntryPointUntilItReturns)
{
    g_serviceMainCalls = 0;
    std::wstring name = test::UniqueName(L"dllsvc");
    FakeControlPipe pipe({{L"SERVICE_START_PENDING," + name, L"SERVICE_START_PENDING,0,EMPTY"}});
    UsePipe(pipe.Name().c_str());
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), RecordingServiceMain}, {nullptr, nullptr}};
    EXPECT_TRUE((Slot<BOOL(WINAPI*)(void*, const SERVICE_TABLE_ENTRYW*, DWORD, const wchar_t*)>(control_, 5)(
        control_, table, 1, name.c_str())));
    EXPECT_EQ(g_serviceMainCalls.load(), 1);
    EXPECT_EQ(g_serviceMainName, name);

    SetLastError(0);
    EXPECT_FALSE(control_->RunServiceTable(table, 2, name.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(control_->RunServiceTable(table, 1, L"othersvc"));
    EXPECT_EQ(g_serviceMainCalls.load(), 1);
}

// Whether another thread can take the mutex now: WAIT_TIMEOUT while the
// service thread holds it.
DWORD TakeFromAnotherThread(HANDLE mutex)
{
    DWORD result = WAIT_FAILED;
    std::thread([&] {
        result = WaitForSingleObject(mutex, 0);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
            ReleaseMutex(mutex);
    }).join();
    return result;
}

std::wstring TransactListener(const std::wstring& pipe, const std::wstring& message, bool replies)
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 50 && handle == INVALID_HANDLE_VALUE; ++attempt) {
        handle = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            WaitNamedPipeW(pipe.c_str(), 200);
    }
    if (handle == INVALID_HANDLE_VALUE)
        return L"<no pipe " + std::to_wstring(GetLastError()) + L">";
    KernelHandle owned(handle);
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(handle, &mode, nullptr, nullptr);
    DWORD bytes = 0;
    if (!WriteFile(handle, message.c_str(), static_cast<DWORD>((message.size() + 1) * sizeof(wchar_t)), &bytes, nullptr))
        return L"<not written " + std::to_wstring(GetLastError()) + L">";
    if (!replies)
        return L"";
    wchar_t reply[512] = {};
    if (!ReadFile(handle, reply, sizeof(reply) - sizeof(wchar_t), &bytes, nullptr))
        return L"<not read " + std::to_wstring(GetLastError()) + L">";
    return reply;
}

// Polls `condition` until it holds; bounded so that a hang fails the test.
template <typename Condition>
bool Eventually(Condition condition)
{
    for (DWORD waited = 0; waited < 15000; waited += 20) {
        if (condition())
            return true;
        Sleep(20);
    }
    return condition();
}

// Runs `entry` through the sixth operation on the calling thread.
BOOL RunOnThisThread(SvhControl* control, LPSERVICE_MAIN_FUNCTIONW entry, const std::wstring& name)
{
    std::wstring tableName = name;
    SERVICE_TABLE_ENTRYW table[] = {{tableName.data(), entry}, {nullptr, nullptr}};
    return control->RunServiceTable(table, 1, name.c_str());
}

// The test DLL with the exports the hosting tests watch it through.
class TestDll {
public:
    TestDll() : module_(LoadLibraryW(test::BuiltProgramPath(L"qvxtest_dllsvc.dll").c_str())) {}
    ~TestDll()
    {
        if (module_)
            FreeLibrary(module_);
    }
    TestDll(const TestDll&) = delete;
    TestDll& operator=(const TestDll&) = delete;

    bool Loaded() const { return module_ != nullptr; }
    LPSERVICE_MAIN_FUNCTIONW Entry(const char* name) const { return Export<LPSERVICE_MAIN_FUNCTIONW>(name); }
    LONG StartedCount() const { return Export<LONG(WINAPI*)()>("StartedCount")(); }
    LONG ControlCount() const { return Export<LONG(WINAPI*)()>("ControlCount")(); }
    DWORD LastControl() const { return Export<DWORD(WINAPI*)()>("LastControl")(); }
    DWORD LastEventType() const { return Export<DWORD(WINAPI*)()>("LastEventType")(); }
    DWORD MisuseError(int which) const { return Export<DWORD(WINAPI*)(int)>("MisuseError")(which); }

private:
    template <typename Fn>
    Fn Export(const char* name) const
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

    HMODULE module_;
};

// The custom control that ends the test DLL's services that take no stop.
const std::wstring kEndControl = L"SERVICE_CONTROL_QVX_MISC,%s,255,0,0,0";

std::wstring ForService(std::wstring message, const std::wstring& name)
{
    const size_t at = message.find(L"%s");
    return at == std::wstring::npos ? message + L"," + name : message.replace(at, 2, name);
}

// One run of a DLL service through the sixth operation on a thread of its
// own, as the engine's service thread calls it. A run the test left going
// is sent the end control and a stop, so that the thread can be joined.
class DllServiceRun {
public:
    DllServiceRun(SvhControl* control, LPSERVICE_MAIN_FUNCTIONW entry, const std::wstring& name)
        : name_(name)
    {
        thread_ = std::thread([this, control, entry] {
            const BOOL ran = RunOnThisThread(control, entry, name_);
            error_ = ran ? 0 : GetLastError();
            ran_ = ran;
            SetEvent(done_.Get());
        });
    }
    ~DllServiceRun()
    {
        if (!Finished(0)) {
            Post(ForService(kEndControl, name_));
            Post(ForService(L"SERVICE_CONTROL_STOP", name_));
        }
        thread_.join();
    }

    bool Finished(DWORD timeoutMs = test::kChildDeadlineMs) const
    {
        return WaitForSingleObject(done_.Get(), timeoutMs) == WAIT_OBJECT_0;
    }
    int Ran() const { return ran_; }
    DWORD Error() const { return error_; }
    std::wstring ListenerPipe() const { return L"\\\\.\\pipe\\" + name_ + L"_qvxsvh_listenerpipe"; }
    std::wstring Transact(const std::wstring& message) const { return TransactListener(ListenerPipe(), message, true); }
    std::wstring Post(const std::wstring& message) const { return TransactListener(ListenerPipe(), message, false); }

private:
    const std::wstring name_;
    KernelHandle done_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<int> ran_{-1};
    std::atomic<DWORD> error_{0};
    std::thread thread_;
};

// The management service's side of one run of a DLL service: a name of its
// own, a control pipe that answers the start with `startArguments`, and the
// service's mutex, made before the start as the launcher does.
struct HostSide {
    explicit HostSide(const std::wstring& startArguments = L"0,EMPTY")
        : name(test::UniqueName(L"dllhost")), mutex(CreateMutexW(nullptr, FALSE, ToLowerAscii(name + L"_mutex").c_str()))
    {
        pipe.SetStartReply(name, L"SERVICE_START_PENDING," + startArguments);
    }

    const std::wstring name;
    FakeControlPipe pipe;
    KernelHandle mutex;
};

// A DLL service written like a Windows service runs under the host as a
// process service would: the host hears of its start and its running state
// while the service thread holds its mutex, the stop reaches its handler
// through its listener pipe, and the run ends after its stopped report with
// the mutex free.
TEST_F(SvhControlTest, ADllServiceRunsUntilItsHandlerReportsTheStopFromTheListenerPipe)
{
    HostSide host(L"1,-x");
    const std::wstring& name = host.name;
    UsePipe(host.pipe.Name().c_str());
    ASSERT_TRUE(host.mutex);
    TestDll dll;
    ASSERT_NE(dll.Entry("RegistersAndRuns"), nullptr);

    {
        DllServiceRun run(control_, dll.Entry("RegistersAndRuns"), name);
        ASSERT_TRUE(host.pipe.WaitFor(L"SET_SERVICE_STATUS," + name + L",SERVICE_RUNNING")) << "no running report";
        EXPECT_EQ(TakeFromAnotherThread(host.mutex.Get()), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_EQ(run.Transact(L"SERVICE_CONTROL_INTERROGATE," + name), L"SERVICE_RUNNING");
        EXPECT_FALSE(run.Finished(0)) << "the run ended while the service reported running";
        EXPECT_EQ(run.Post(L"SERVICE_CONTROL_STOP," + name), L"");
        ASSERT_TRUE(run.Finished());
        EXPECT_EQ(run.Ran(), 1) << run.Error();
    }
    EXPECT_EQ(host.pipe.Requests(), (std::vector<std::wstring>{L"SERVICE_START_PENDING," + name,
                                                          L"SET_SERVICE_STATUS," + name + L",SERVICE_RUNNING",
                                                          L"SET_SERVICE_STATUS," + name + L",SERVICE_STOPPED"}));
    EXPECT_EQ(TakeFromAnotherThread(host.mutex.Get()), static_cast<DWORD>(WAIT_OBJECT_0));
}

// A service may only register under its own name and report with the handle
// it was given; one that returns without having reported ends its run with
// nothing reported and its mutex free.
TEST_F(SvhControlTest, ADllServiceCannotActForAnotherServiceAndEndsWhenItReturnsUnreported)
{
    HostSide host;
    const std::wstring& name = host.name;
    UsePipe(host.pipe.Name().c_str());
    ASSERT_TRUE(host.mutex);
    TestDll dll;
    ASSERT_NE(dll.Entry("MisusesTheServiceCalls"), nullptr);

    EXPECT_TRUE(RunOnThisThread(control_, dll.Entry("MisusesTheServiceCalls"), name)) << GetLastError();
    EXPECT_EQ(dll.MisuseError(0), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(dll.MisuseError(1), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(host.pipe.Requests(), std::vector<std::wstring>{L"SERVICE_START_PENDING," + name});
    EXPECT_EQ(TakeFromAnotherThread(host.mutex.Get()), static_cast<DWORD>(WAIT_OBJECT_0));
}

// A handle is good for its own run only: a service that kept it reports
// nothing with it in a later run of the same name on the same thread.
TEST_F(SvhControlTest, AHandleKeptFromAnEarlierRunIsRefused)
{
    HostSide host;
    const std::wstring& name = host.name;
    UsePipe(host.pipe.Name().c_str());
    ASSERT_TRUE(host.mutex);
    TestDll dll;
    ASSERT_TRUE(dll.Loaded());

    for (const char* entryName : {"KeepsItsHandle", "ReportsWithTheKeptHandle"}) {
        ASSERT_NE(dll.Entry(entryName), nullptr) << entryName;
        EXPECT_TRUE(RunOnThisThread(control_, dll.Entry(entryName), name)) << entryName << " " << GetLastError();
    }
    EXPECT_EQ(dll.MisuseError(1), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    for (const std::wstring& request : host.pipe.Requests())
        EXPECT_EQ(request, L"SERVICE_START_PENDING," + name);
}

// A report of a state no service can be in is refused and changes nothing:
// the service is not taken for running, so its run ends when its entry point
// returns, with nothing reported.
TEST_F(SvhControlTest, AReportOfAnUnknownStateIsRefused)
{
    HostSide host;
    const std::wstring& name = host.name;
    UsePipe(host.pipe.Name().c_str());
    ASSERT_TRUE(host.mutex);
    TestDll dll;
    ASSERT_NE(dll.Entry("ReportsAnUnknownState"), nullptr);

    {
        DllServiceRun run(control_, dll.Entry("ReportsAnUnknownState"), name);
        EXPECT_TRUE(run.Finished(10000)) << "the run waits for a service that never ran";
        EXPECT_EQ(dll.MisuseError(1), static_cast<DWORD>(ERROR_INVALID_DATA));
    }
    EXPECT_EQ(host.pipe.Requests(), std::vector<std::wstring>{L"SERVICE_START_PENDING," + name});
    EXPECT_EQ(TakeFromAnotherThread(host.mutex.Get()), static_cast<DWORD>(WAIT_OBJECT_0));
}

// Each listener message reaches a running DLL service's handler as the
// control the service accepted, or is dropped; either way the service goes
// on running until its handler reports it stopped.
TEST_F(SvhControlTest, ListenerMessagesReachTheHandlerAsTheServiceAcceptsThem)
{
    TestDll dll;
    ASSERT_TRUE(dll.Loaded());
    struct Case {
        const char* name;
        const char* entry;
        DWORD accepted;
        const wchar_t* message;
        // The control the handler gets, or 0 when the message is dropped
        // with the stand-in's log line `dropped`.
        DWORD control;
        DWORD eventType;
        const wchar_t* dropped;
    };
    const Case cases[] = {
        {"stop not accepted", "NeverAcceptsStop", 0, L"SERVICE_CONTROL_STOP", 0, 0, L"stop dropped"},
        {"stop ignored by the handler", "IgnoresTheStop", 0, L"SERVICE_CONTROL_STOP", SERVICE_CONTROL_STOP, 0, nullptr},
        {"shutdown accepted", "AcceptsWhatItIsTold", SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN,
         L"SERVICE_CONTROL_SHUTDOWN", SERVICE_CONTROL_SHUTDOWN, 0, nullptr},
        {"shutdown taken as a stop", "AcceptsWhatItIsTold", SERVICE_ACCEPT_STOP, L"SERVICE_CONTROL_SHUTDOWN",
         SERVICE_CONTROL_STOP, 0, nullptr},
        {"shutdown with neither accepted", "AcceptsWhatItIsTold", SERVICE_ACCEPT_POWEREVENT, L"SERVICE_CONTROL_SHUTDOWN",
         0, 0, L"stop dropped"},
        {"power change accepted", "AcceptsWhatItIsTold", SERVICE_ACCEPT_POWEREVENT,
         L"SERVICE_CONTROL_QVX_POWER_STATE_CHANGE", SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE, nullptr},
        {"power change not accepted", "AcceptsWhatItIsTold", SERVICE_ACCEPT_STOP,
         L"SERVICE_CONTROL_QVX_POWER_STATE_CHANGE", 0, 0, L"power change dropped"},
        {"forwarded control", "NeverAcceptsStop", 0, L"SERVICE_CONTROL_QVX_MISC,%s,14,5,0,0", 14, 5, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HostSide host(L"1," + std::to_wstring(c.accepted));
        const std::wstring& name = host.name;
        UsePipe(host.pipe.Name().c_str());
        ASSERT_TRUE(host.mutex);
        ASSERT_NE(dll.Entry(c.entry), nullptr);
        const std::wstring stopped = L"SET_SERVICE_STATUS," + name + L",SERVICE_STOPPED";
        {
            DllServiceRun run(control_, dll.Entry(c.entry), name);
            ASSERT_TRUE(host.pipe.WaitFor(L"SET_SERVICE_STATUS," + name + L",SERVICE_RUNNING")) << "no running report";
            const LONG before = dll.ControlCount();
            EXPECT_EQ(run.Post(ForService(c.message, name)), L"");
            if (c.control != 0) {
                ASSERT_TRUE(Eventually([&] { return dll.ControlCount() > before; })) << "the handler was not called";
                EXPECT_EQ(dll.LastControl(), c.control);
                EXPECT_EQ(dll.LastEventType(), c.eventType);
            } else {
                const std::wstring line = std::wstring(c.dropped) + L" " + name + L"\n";
                ASSERT_TRUE(Eventually([&] { return library_.Log().find(line) != std::wstring::npos; }))
                    << WideToUtf8(library_.Log());
                EXPECT_EQ(dll.ControlCount(), before) << "the handler was called";
            }

            EXPECT_FALSE(run.Finished(0));
            EXPECT_EQ(run.Transact(L"SERVICE_CONTROL_INTERROGATE," + name), L"SERVICE_RUNNING");
            EXPECT_EQ(TakeFromAnotherThread(host.mutex.Get()), static_cast<DWORD>(WAIT_TIMEOUT));
            EXPECT_FALSE(host.pipe.Received(stopped));

            EXPECT_EQ(run.Post(ForService(kEndControl, name)), L"");
            ASSERT_TRUE(run.Finished());
            EXPECT_EQ(run.Ran(), 1) << run.Error();
        }
        EXPECT_TRUE(host.pipe.Received(stopped));
        EXPECT_EQ(TakeFromAnotherThread(host.mutex.Get()), static_cast<DWORD>(WAIT_OBJECT_0));
    }
}

// A start that cannot reach the entry point fails the sixth operation with
// the step's error and leaves nothing of the run: no listener pipe, the
// mutex not held, and no registration under the name, so that the next run
// of the same service registers and runs as usual.
TEST_F(SvhControlTest, AStartThatCannotRunFailsWithItsErrorAndLeavesNothingBehind)
{
    TestDll dll;
    ASSERT_TRUE(dll.Loaded());
    struct Case {
        const char* name;
        bool mutexHeldElsewhere;
        bool controlPipe;
        bool hostKnowsTheService;
        DWORD error;
    };
    const Case cases[] = {
        {"mutex held elsewhere past the wait", true, true, true, ERROR_SERVICE_ALREADY_RUNNING},
        {"no control pipe", false, false, true, ERROR_FILE_NOT_FOUND},
        {"the host does not know the service", false, true, false, ERROR_SERVICE_DOES_NOT_EXIST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HostSide host;
        const std::wstring& name = host.name;
        if (!c.hostKnowsTheService)
            host.pipe.SetStartReply(name, L"SERVICE_NOT_FOUND");
        UsePipe(c.controlPipe ? host.pipe.Name().c_str() : L"\\\\.\\pipe\\qvx-no-such-pipe");
        ASSERT_TRUE(host.mutex);
        KernelHandle held(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        KernelHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread holder;
        if (c.mutexHeldElsewhere) {
            holder = std::thread([&] {
                WaitForSingleObject(host.mutex.Get(), INFINITE);
                SetEvent(held.Get());
                WaitForSingleObject(release.Get(), INFINITE);
                ReleaseMutex(host.mutex.Get());
            });
            ASSERT_EQ(WaitForSingleObject(held.Get(), test::kChildDeadlineMs), static_cast<DWORD>(WAIT_OBJECT_0));
        }

        const LONG started = dll.StartedCount();
        SetLastError(0);
        EXPECT_FALSE(RunOnThisThread(control_, dll.Entry("RegistersAndRuns"), name));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(dll.StartedCount(), started) << "the entry point ran";
        HANDLE listener = CreateFileW((L"\\\\.\\pipe\\" + name + L"_qvxsvh_listenerpipe").c_str(),
                                      GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(listener, INVALID_HANDLE_VALUE) << "the listener pipe outlived the failed start";
        if (listener != INVALID_HANDLE_VALUE)
            CloseHandle(listener);
        EXPECT_EQ(host.pipe.Requests().empty(), !c.controlPipe || c.mutexHeldElsewhere);
        if (holder.joinable()) {
            SetEvent(release.Get());
            holder.join();
        }
        EXPECT_EQ(TakeFromAnotherThread(host.mutex.Get()), static_cast<DWORD>(WAIT_OBJECT_0));

        host.pipe.SetStartReply(name, L"SERVICE_START_PENDING,0,EMPTY");
        UsePipe(host.pipe.Name().c_str());
        DllServiceRun next(control_, dll.Entry("RegistersAndRuns"), name);
        ASSERT_TRUE(host.pipe.WaitFor(L"SET_SERVICE_STATUS," + name + L",SERVICE_RUNNING")) << "no running report";
        EXPECT_EQ(next.Post(L"SERVICE_CONTROL_STOP," + name), L"");
        ASSERT_TRUE(next.Finished());
        EXPECT_EQ(next.Ran(), 1) << next.Error();
        EXPECT_TRUE(host.pipe.Received(L"SET_SERVICE_STATUS," + name + L",SERVICE_STOPPED"));
    }
}

} // namespace
} // namespace qvx
