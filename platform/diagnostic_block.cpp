#include "platform/diagnostic_block.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace qvx {

namespace {

std::atomic<DiagnosticBlock*> g_block{nullptr};

} // namespace

DiagnosticBlock* PublishedDiagnosticBlock() noexcept
{
    return g_block.load();
}

void PublishDiagnosticBlock(DiagnosticBlock* block) noexcept
{
    g_block.store(block);
}

void ClearDiagnosticBlock() noexcept
{
    if (DiagnosticBlock* block = g_block.load())
        memset(block, 0, sizeof(*block));
}

void RecordFailure(uint32_t failureCode, uint32_t result, uint32_t lastError, uintptr_t handle,
                   const char* text) noexcept
{
    DiagnosticBlock* block = g_block.load();
    if (!block)
        return;
    block->failureCode = failureCode;
    block->result = result;
    block->lastError = lastError;
    block->handle = static_cast<uint32_t>(handle);
    if (text) {
        strncpy(block->text, text, sizeof(block->text) - 1);
        block->text[sizeof(block->text) - 1] = '\0';
    }
}

void AbortProcess() noexcept
{
    Sleep(100);
    abort();
}

} // namespace qvx
