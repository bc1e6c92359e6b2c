#pragma once
// Exception scopes: a stretch of work on one thread during which the
// access protection lets this thread reach objects it would otherwise
// block. A scope holds the driver device (for writing, for reading or both)
// and a policy of the access-control library bound to the opening thread;
// each exception added begins the driver's exception once per handle and
// adds an allowing rule to the policy; closing ends and removes both.

#include <windows.h>

namespace qvx {

// What a scope is opened with.
inline constexpr DWORD kExceptionWriteHandle = 1;
inline constexpr DWORD kExceptionReadHandle = 2;
inline constexpr DWORD kExceptionPolicy = 4;

struct AccessException;

// Opens a scope with `flags`. Null when nothing asked for could be opened
// or created; otherwise the scope, possibly with parts missing (traced).
AccessException* OpenAccessException(DWORD flags);

// Adds an exception for the object of `objectType` at `path` with the two
// access values. True when every part the scope holds took it.
bool AddAccessException(AccessException* scope, DWORD objectType, const wchar_t* path, DWORD access,
                        DWORD accessEx);

// Ends the driver's exceptions, removes the policy and frees the scope
// (null is ignored).
void CloseAccessException(AccessException* scope);

// Closes its scope when it goes.
class AccessExceptionScope {
public:
    explicit AccessExceptionScope(DWORD flags) : scope_(OpenAccessException(flags)) {}
    ~AccessExceptionScope() { CloseAccessException(scope_); }
    AccessExceptionScope(const AccessExceptionScope&) = delete;
    AccessExceptionScope& operator=(const AccessExceptionScope&) = delete;

    bool IsOpen() const noexcept { return scope_ != nullptr; }
    bool Add(DWORD objectType, const wchar_t* path, DWORD access, DWORD accessEx)
    {
        return AddAccessException(scope_, objectType, path, access, accessEx);
    }

private:
    AccessException* scope_;
};

} // namespace qvx
