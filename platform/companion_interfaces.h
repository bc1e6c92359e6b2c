#pragma once
// Interfaces handed out by the suite's companion libraries through their
// export NotComDllGetInterface. Each is a table of operations called with
// the object as first argument; the second operation always releases it.
// Declared as abstract classes so that the compiler lays the table out in
// declaration order. Operations the host never calls keep their places in
// the table under Reserved names.

#include <windows.h>
#include <winsvc.h>

namespace qvx {

// The export every companion library offers: the interface name (narrow
// text) and the address that receives the interface; 0 on success.
using NotComDllGetInterfaceFn = HRESULT(WINAPI*)(const char* interfaceName, void** iface);
using NotComDllUnloadFn = void(WINAPI*)();

inline constexpr char kNotComDllGetInterfaceExport[] = "NotComDllGetInterface";
inline constexpr char kNotComDllUnloadExport[] = "NotComDllUnload";

class NotComInterface {
public:
    virtual ULONG WINAPI AddRef() = 0;
    virtual ULONG WINAPI Release() = 0;

protected:
    ~NotComInterface() = default;
};

// --- Trigger control ("qvxtrig.dll") ---------------------------------------

inline constexpr wchar_t kTriggerControlLibrary[] = L"qvxtrig.dll";
inline constexpr char kTriggerControlInterface[] = "TriggerControl";

// "TriggerControl" of the trigger-control library.
class TriggerControl : public NotComInterface {
public:
    // Registers the service's triggers from a 16-byte parameter block.
    virtual HRESULT WINAPI RegisterTriggers(const BYTE* parameterBlock) = 0;
    // Ends what the registration set up.
    virtual HRESULT WINAPI Close() = 0;

protected:
    ~TriggerControl() = default;
};

// --- Management client ("qvxsvha.dll") -------------------------------------

inline constexpr wchar_t kSvhClientLibrary[] = L"qvxsvha.dll";
inline constexpr char kSvhControlInterface[] = "SvhControl";

// A hosted service as the management client sees it.
class SvhServiceObject : public NotComInterface {
public:
    virtual BOOL WINAPI Reserved2() = 0;
    virtual BOOL WINAPI Reserved3() = 0;
    virtual BOOL WINAPI Reserved4() = 0;
    virtual BOOL WINAPI Reserved5() = 0;
    // Fills *state with the SERVICE_* state of the hosted service; non-zero
    // on success, else zero with the thread's last error set.
    virtual BOOL WINAPI QueryState(DWORD* state) = 0;
    // Asks the management service to start the hosted service with the given
    // arguments (0, nullptr: its stored ones). Non-zero on success; zero with
    // the last error set, ERROR_SERVICE_ALREADY_RUNNING when it runs already.
    virtual BOOL WINAPI Start(DWORD argumentCount, const wchar_t** arguments) = 0;

protected:
    ~SvhServiceObject() = default;
};

// The connection to the management service.
class SvhController : public NotComInterface {
public:
    virtual BOOL WINAPI Reserved2() = 0;
    virtual BOOL WINAPI Reserved3() = 0;
    // The hosted service of that name, or null (last error set) when the
    // management service does not know it or cannot be reached.
    virtual SvhServiceObject* WINAPI OpenHostedService(const wchar_t* serviceName) = 0;

protected:
    ~SvhController() = default;
};

// "SvhControl" of the management client library.
class SvhControl : public NotComInterface {
public:
    // A controller, or null with the last error set.
    virtual SvhController* WINAPI OpenController() = 0;
    virtual BOOL WINAPI Reserved3() = 0;
    virtual BOOL WINAPI Reserved4() = 0;
    // Runs a DLL service in place of the service control dispatcher: `table`
    // holds {name, entry} and {nullptr, nullptr}, `count` is 1 and
    // `serviceName` the service to run. Returns when the entry point returns:
    // non-zero on success, zero with the thread's last error set.
    virtual BOOL WINAPI RunServiceTable(const SERVICE_TABLE_ENTRYW* table, DWORD count,
                                        const wchar_t* serviceName) = 0;

protected:
    ~SvhControl() = default;
};

// --- Access control ("qvxaccess.dll") --------------------------------------

inline constexpr wchar_t kAccessControlLibrary[] = L"qvxaccess.dll";

// Policies, rules and matchers are built by the access-control object and
// released through their second operation.
class AacPolicy : public NotComInterface {
protected:
    ~AacPolicy() = default;
};
class AacRule : public NotComInterface {
protected:
    ~AacRule() = default;
};
class AacMatcher : public NotComInterface {
protected:
    ~AacMatcher() = default;
};

// What a rule does when its matchers match.
enum AacRuleAction : DWORD {
    kAacAllow = 1,                   // let the actors reach the targets
    kAacDeletePolicyOnTerminate = 2, // remove the policy when the actor process ends
    kAacDisableRulesOnTerminate = 3, // disable the rules when the actor thread ends
    kAacNotify = 4,                  // report matching accesses to the callback
};

// How an actor matcher recognises the acting process or thread.
enum AacActorKind : DWORD {
    kAacActorImage = 1,     // image path pattern ("**\name")
    kAacActorProcessId = 2, // the process of the given id
    kAacActorThreadId = 3,  // the thread of the given id
    kAacActorSigner = 4,    // the image's signer name
    kAacActorVersion = 5,   // the image's version pattern
};

// Kinds of object a target matcher names.
enum AacObjectType : DWORD {
    kAacObjectAny = 0,
    kAacObjectFile = 1,
    kAacObjectRegistryKey = 2,
    kAacObjectRegistryValue = 3,
    kAacObjectProcess = 4,
    kAacObjectPipe = 5,
};

class AacNotification;

// The object registered with the access-control object to receive
// notifications (the management service object).
class AacCallback {
public:
    virtual HRESULT WINAPI OnNotification(AacNotification* notification) = 0;
    virtual HRESULT WINAPI OnNotificationEx(AacNotification* notification) = 0;

protected:
    ~AacCallback() = default;
};

// What the library hands to the callback: the rules that fired and what
// happened. Borrowed for the duration of the call.
class AacNotification {
public:
    // A non-zero result the library has settled already.
    virtual HRESULT WINAPI Result() = 0;
    // The kind of access or event that fired the rules.
    virtual DWORD WINAPI Kind() = 0;
    virtual DWORD WINAPI Flags() = 0;
    virtual DWORD WINAPI ProcessId() = 0;
    virtual DWORD WINAPI RuleCount() = 0;
    virtual BOOL WINAPI RuleId(DWORD index, GUID* ruleId) = 0;
    // The rule data block of the notification and its size in bytes.
    virtual BOOL WINAPI RuleData(const BYTE** data, DWORD* size) = 0;

protected:
    ~AacNotification() = default;
};

// The access-control object. Every operation returns 0 on success.
class AacObject : public NotComInterface {
public:
    virtual HRESULT WINAPI CreatePolicy(const GUID* policyId, const wchar_t* name, AacPolicy** policy) = 0;
    virtual HRESULT WINAPI CreateRule(const GUID* ruleId, const wchar_t* description, AacRuleAction action,
                                      AacRule** rule) = 0;
    // `text` is the pattern of an image, signer or version matcher; `id` the
    // process or thread id of an id matcher.
    virtual HRESULT WINAPI CreateActorMatcher(AacActorKind kind, const wchar_t* text, DWORD id,
                                              AacMatcher** matcher) = 0;
    virtual HRESULT WINAPI CreateTargetMatcher(AacObjectType type, const wchar_t* path, DWORD access,
                                               DWORD accessEx, AacMatcher** matcher) = 0;
    virtual HRESULT WINAPI AddMatcher(AacRule* rule, AacMatcher* matcher) = 0;
    virtual HRESULT WINAPI AddRule(AacPolicy* policy, AacRule* rule) = 0;
    virtual HRESULT WINAPI CommitPolicy(const GUID* policyId, AacPolicy* policy) = 0;
    // The tenth operation: (policy GUID, 0, 0).
    virtual HRESULT WINAPI DeletePolicy(const GUID* policyId, DWORD reserved, DWORD flags) = 0;
    virtual HRESULT WINAPI Reserved10() = 0;
    virtual HRESULT WINAPI Reserved11() = 0;
    virtual HRESULT WINAPI Reserved12() = 0;
    virtual HRESULT WINAPI Reserved13() = 0;
    virtual HRESULT WINAPI Reserved14() = 0;
    virtual HRESULT WINAPI Reserved15() = 0;
    virtual HRESULT WINAPI Reserved16() = 0;
    // The eighteenth operation: (callback, 1023, 2050, 0, 0).
    virtual HRESULT WINAPI RegisterCallback(AacCallback* callback, DWORD notificationMask, DWORD flags,
                                            DWORD reserved, void* context) = 0;
    // The nineteenth operation.
    virtual HRESULT WINAPI UnregisterCallback() = 0;

protected:
    ~AacObject() = default;
};

// The library interface, offered under the names "AacControl6" down to
// "AacControl".
class AacControl : public NotComInterface {
public:
    // Creates an access-control object for the 16-byte identifier and an
    // optional client name.
    virtual HRESULT WINAPI CreateAccessControl(const GUID* identifier, const wchar_t* clientName,
                                               AacObject** object) = 0;

protected:
    ~AacControl() = default;
};

} // namespace qvx
