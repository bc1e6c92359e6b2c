// Stand-in for the access-control library "qvxaccess.dll": offers the
// interface under the names "AacControl6" down to "AacControl", builds
// nothing real and records every operation with its arguments, in order:
// objects, policies, rules (identifier, action, text), actor and target
// matchers, what is added to what, commits and deletes.
//
// The record is the call log of every stand-in (QvxStandInReadLog). For a
// test that drives another process (the installed host), the lines of the
// access-control object's operations are also appended to a file, as
// UTF-16 text, one line ending in "\n" each, when a file is named: by the
// environment variable QVXSTANDIN_ACCESS_RECORD, else by the text value
// "AccessControlRecord" of HKLM "Software\Quorvex\StandIn" (read at every
// line, so a test can switch it on and off while the library is loaded).
//
// Besides QvxStandInFail's table (which fails every call of an operation),
// "<operation>#<n>" fails only the n-th call of that operation on one
// access-control object, counting from 1. QvxStandInLiveObjects tells how
// many of the objects handed out (interfaces, access-control objects,
// policies, rules, matchers) are not yet released.

#include "companions/standin_support.h"
#include "platform/companion_interfaces.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

const char* const kInterfaceNames[] = {"AacControl6", "AacControl5", "AacControl4",
                                       "AacControl3", "AacControl2", "AacControl"};

std::atomic<LONG> g_liveObjects{0};

// Counts itself among the live objects while it exists.
template <typename Interface>
class Tracked : public standin::Counted<Interface> {
public:
    explicit Tracked(std::wstring label) : standin::Counted<Interface>(std::move(label)) { ++g_liveObjects; }
    ~Tracked() override { --g_liveObjects; }
};

template <typename Interface>
class Labelled final : public Tracked<Interface> {
public:
    using Tracked<Interface>::Tracked;
};

const wchar_t kRecordVariable[] = L"QVXSTANDIN_ACCESS_RECORD";
const wchar_t kRecordKey[] = L"Software\\Quorvex\\StandIn";
const wchar_t kRecordValue[] = L"AccessControlRecord";

std::wstring RecordFile()
{
    wchar_t path[MAX_PATH * 2] = {};
    DWORD length = GetEnvironmentVariableW(kRecordVariable, path, MAX_PATH * 2);
    if (length > 0 && length < MAX_PATH * 2)
        return path;
    DWORD bytes = sizeof(path);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kRecordKey, kRecordValue, RRF_RT_REG_SZ, nullptr, path, &bytes) ==
        ERROR_SUCCESS)
        return path;
    return L"";
}

std::mutex g_recordLock;

// Appends one line to the record file, when one is named.
void Record(const std::wstring& line)
{
    const std::wstring path = RecordFile();
    if (path.empty())
        return;
    std::lock_guard<std::mutex> guard(g_recordLock);
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::wstring text = line + L"\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
}

template <typename Interface>
const std::wstring& LabelOf(Interface* item)
{
    static const std::wstring none = L"(null)";
    return item ? static_cast<Labelled<Interface>*>(item)->Label() : none;
}

// The callback registered last, for QvxStandInNotify.
std::mutex g_callbackLock;
qvx::AacCallback* g_callback = nullptr;

HRESULT Finish(const std::wstring& operation, const std::wstring& line)
{
    standin::Log(line);
    Record(line);
    return standin::InjectedResult(operation);
}

class AccessControlObject final : public Tracked<qvx::AacObject> {
public:
    explicit AccessControlObject(std::wstring label) : Tracked(std::move(label)) {}

    HRESULT WINAPI CreatePolicy(const GUID* policyId, const wchar_t* name, qvx::AacPolicy** policy) override
    {
        return Create(L"CreatePolicy", standin::GuidText(policyId) + L" " + standin::Text(name), policy);
    }

    HRESULT WINAPI CreateRule(const GUID* ruleId, const wchar_t* description, qvx::AacRuleAction action,
                              qvx::AacRule** rule) override
    {
        return Create(L"CreateRule",
                      standin::GuidText(ruleId) + L" " + std::to_wstring(action) + L" " + standin::Text(description),
                      rule);
    }

    HRESULT WINAPI CreateActorMatcher(qvx::AacActorKind kind, const wchar_t* text, DWORD id,
                                      qvx::AacMatcher** matcher) override
    {
        return Create(L"CreateActorMatcher",
                      L"actor " + std::to_wstring(kind) + L" " + standin::Text(text) + L" " + std::to_wstring(id),
                      matcher);
    }

    HRESULT WINAPI CreateTargetMatcher(qvx::AacObjectType type, const wchar_t* path, DWORD access, DWORD accessEx,
                                       qvx::AacMatcher** matcher) override
    {
        return Create(L"CreateTargetMatcher",
                      L"target " + std::to_wstring(type) + L" " + standin::Text(path) + L" " + standin::Hex(access) +
                          L" " + standin::Hex(accessEx),
                      matcher);
    }

    HRESULT WINAPI AddMatcher(qvx::AacRule* rule, qvx::AacMatcher* matcher) override
    {
        return Finish(L"AddMatcher", L"AddMatcher [" + LabelOf(rule) + L"] [" + LabelOf(matcher) + L"]");
    }

    HRESULT WINAPI AddRule(qvx::AacPolicy* policy, qvx::AacRule* rule) override
    {
        return Finish(L"AddRule", L"AddRule [" + LabelOf(policy) + L"] [" + LabelOf(rule) + L"]");
    }

    HRESULT WINAPI CommitPolicy(const GUID* policyId, qvx::AacPolicy* policy) override
    {
        return Finish(L"CommitPolicy", L"CommitPolicy " + standin::GuidText(policyId) + L" [" + LabelOf(policy) + L"]");
    }

    HRESULT WINAPI DeletePolicy(const GUID* policyId, DWORD reserved, DWORD flags) override
    {
        return Finish(L"DeletePolicy", L"DeletePolicy " + standin::GuidText(policyId) + L" " +
                                           std::to_wstring(reserved) + L" " + std::to_wstring(flags));
    }

    HRESULT WINAPI Reserved10() override { return Unused(10); }
    HRESULT WINAPI Reserved11() override { return Unused(11); }
    HRESULT WINAPI Reserved12() override { return Unused(12); }
    HRESULT WINAPI Reserved13() override { return Unused(13); }
    HRESULT WINAPI Reserved14() override { return Unused(14); }
    HRESULT WINAPI Reserved15() override { return Unused(15); }
    HRESULT WINAPI Reserved16() override { return Unused(16); }

    HRESULT WINAPI RegisterCallback(qvx::AacCallback* callback, DWORD notificationMask, DWORD flags, DWORD reserved,
                                    void* context) override
    {
        HRESULT result = Finish(L"RegisterCallback",
                                L"RegisterCallback " + std::wstring(callback ? L"callback" : L"(null)") + L" " +
                                    std::to_wstring(notificationMask) + L" " + std::to_wstring(flags) + L" " +
                                    std::to_wstring(reserved) + L" " + (context ? L"context" : L"0"));
        if (result == S_OK) {
            std::lock_guard<std::mutex> guard(g_callbackLock);
            g_callback = callback;
        }
        return result;
    }

    HRESULT WINAPI UnregisterCallback() override
    {
        {
            std::lock_guard<std::mutex> guard(g_callbackLock);
            g_callback = nullptr;
        }
        return Finish(L"UnregisterCallback", L"UnregisterCallback");
    }

private:
    // Logs and records the call, then gives what a test asked this call (or
    // every call of the operation) to give.
    HRESULT Finish(const std::wstring& operation, const std::wstring& line)
    {
        unsigned call = 0;
        {
            std::lock_guard<std::mutex> guard(callsLock_);
            call = ++calls_[operation];
        }
        HRESULT result = ::Finish(operation, line);
        if (result == S_OK)
            result = standin::InjectedResult(operation + L"#" + std::to_wstring(call));
        return result;
    }

    template <typename Interface>
    HRESULT Create(const std::wstring& operation, const std::wstring& label, Interface** out)
    {
        if (!out) {
            standin::Log(operation + L" (no out parameter)");
            return E_POINTER;
        }
        *out = nullptr;
        HRESULT result = Finish(operation, operation + L" " + label);
        if (result == S_OK)
            *out = new Labelled<Interface>(label);
        return result;
    }

    std::mutex callsLock_;
    std::map<std::wstring, unsigned> calls_;

    HRESULT Unused(int slot)
    {
        standin::Log(L"Reserved" + std::to_wstring(slot));
        return E_NOTIMPL;
    }
};

class AccessControlInterface final : public Tracked<qvx::AacControl> {
public:
    explicit AccessControlInterface(const std::wstring& name) : Tracked(name) {}

    HRESULT WINAPI CreateAccessControl(const GUID* identifier, const wchar_t* clientName,
                                       qvx::AacObject** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        std::wstring label = L"AccessControl " + standin::GuidText(identifier) + L" " + standin::Text(clientName);
        HRESULT result = ::Finish(L"CreateAccessControl", L"CreateAccessControl " + Label() + L" " +
                                                            standin::GuidText(identifier) + L" " +
                                                            standin::Text(clientName));
        if (result == S_OK)
            *object = new AccessControlObject(label);
        return result;
    }
};

// The notification handed to the callback by QvxStandInNotify.
class Notification final : public qvx::AacNotification {
public:
    HRESULT preResult = S_OK;
    DWORD kind = 0;
    DWORD flags = 0;
    DWORD processId = 0;
    std::vector<GUID> rules;
    std::vector<BYTE> data;

    HRESULT WINAPI Result() override { return preResult; }
    DWORD WINAPI Kind() override { return kind; }
    DWORD WINAPI Flags() override { return flags; }
    DWORD WINAPI ProcessId() override { return processId; }
    DWORD WINAPI RuleCount() override { return static_cast<DWORD>(rules.size()); }
    BOOL WINAPI RuleId(DWORD index, GUID* ruleId) override
    {
        if (!ruleId || index >= rules.size())
            return FALSE;
        *ruleId = rules[index];
        return TRUE;
    }
    BOOL WINAPI RuleData(const BYTE** block, DWORD* size) override
    {
        if (!block || !size)
            return FALSE;
        *block = data.empty() ? nullptr : data.data();
        *size = static_cast<DWORD>(data.size());
        return TRUE;
    }
};

} // namespace

extern "C" __declspec(dllexport) HRESULT WINAPI NotComDllGetInterface(const char* interfaceName, void** iface)
{
    return standin::HandOutInterface(interfaceName, iface, kInterfaceNames, [](const std::wstring& name) -> void* {
        return static_cast<qvx::AacControl*>(new AccessControlInterface(name));
    });
}

extern "C" __declspec(dllexport) void WINAPI NotComDllUnload()
{
    standin::Unload();
}

// Test export: hands a notification to the registered callback through its
// first (which = 0) or second operation; E_UNEXPECTED without a callback.
extern "C" __declspec(dllexport) HRESULT WINAPI QvxStandInNotify(DWORD which, HRESULT preResult, DWORD kind,
                                                                 DWORD flags, DWORD processId, const GUID* rules,
                                                                 DWORD ruleCount, const BYTE* data, DWORD dataSize)
{
    qvx::AacCallback* callback = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_callbackLock);
        callback = g_callback;
    }
    if (!callback)
        return E_UNEXPECTED;
    Notification notification;
    notification.preResult = preResult;
    notification.kind = kind;
    notification.flags = flags;
    notification.processId = processId;
    if (rules)
        notification.rules.assign(rules, rules + ruleCount);
    if (data)
        notification.data.assign(data, data + dataSize);
    return which == 0 ? callback->OnNotification(&notification) : callback->OnNotificationEx(&notification);
}

// Test export: how many objects handed out are not yet released.
extern "C" __declspec(dllexport) LONG WINAPI QvxStandInLiveObjects()
{
    return g_liveObjects.load();
}
