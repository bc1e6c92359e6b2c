#pragma once
// The process-wide diagnostic block: a record of the last fatal failure,
// kept where a crash dump finds it. The process entry owns the storage and
// publishes its address; the monitor thread and the control pipe fill it.

#include <windows.h>

#include <cstdint>

namespace qvx {

#pragma pack(push, 4)
struct DiagnosticBlock {
    uint32_t failureCode;
    uint32_t result;    // the wait result or the failing call's result
    uint32_t lastError;
    uint32_t handle;    // the handle concerned, where there is one
    uint64_t reserved1;
    uint32_t index;     // the wait index concerned, where there is one
    uint32_t zero1;
    uint64_t reserved2;
    char text[256];     // the failure text, ANSI, zero-terminated
    uint32_t handleCount;
    uint32_t arrayAddress;
    uint32_t zero2;
    uint32_t allOnes;
    uint32_t handles[64];
};
#pragma pack(pop)
static_assert(sizeof(DiagnosticBlock) == 568, "the diagnostic block is 568 bytes");

// The published block, or nullptr before the entry routine publishes one.
DiagnosticBlock* PublishedDiagnosticBlock() noexcept;
void PublishDiagnosticBlock(DiagnosticBlock* block) noexcept;

// Clears the published block, if any.
void ClearDiagnosticBlock() noexcept;

// Fills the published block (if any) with a failure: code, result, last
// error, handle and text; the other fields are left as they are.
void RecordFailure(uint32_t failureCode, uint32_t result, uint32_t lastError, uintptr_t handle,
                   const char* text) noexcept;

// Ends the process abnormally after the customary 100 ms pause, which gives
// tracing a moment to reach its consumers.
[[noreturn]] void AbortProcess() noexcept;

} // namespace qvx
