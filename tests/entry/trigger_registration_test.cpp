#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/companion_interfaces.h"
#include "host/trigger_registration.h"
#include "platform/handles.h"
#include "platform/locks.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

// A trigger control that records its calls in order and can hold its
// registration until the test opens a gate.
class FakeTriggerControl final : public TriggerControl {
public:
    FakeTriggerControl() : released_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    ULONG WINAPI AddRef() override { return 1; }
    ULONG WINAPI Release() override
    {
        Log(L"release;");
        SetEvent(released_.Get());
        return 0;
    }
    HRESULT WINAPI RegisterTriggers(const BYTE* block) override
    {
        memcpy(block_, block, sizeof(block_));
        if (gate_)
            WaitForSingleObject(gate_, 10000);
        Log(L"register;");
        return S_OK;
    }
    HRESULT WINAPI Close() override
    {
        Log(L"close;");
        return S_OK;
    }

    std::wstring Calls() const
    {
        SrwSharedGuard guard(lock_);
        return calls_;
    }
    bool WaitReleased(DWORD ms) const { return WaitForSingleObject(released_.Get(), ms) == WAIT_OBJECT_0; }

    BYTE block_[16] = {};
    HANDLE gate_ = nullptr;

private:
    void Log(const wchar_t* call)
    {
        SrwExclusiveGuard guard(lock_);
        calls_ += call;
    }

    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::wstring calls_;
    KernelHandle released_;
};

std::atomic<FakeTriggerControl*> g_next{nullptr};

DWORD HandOutNext(TriggerControl** control)
{
    *control = g_next.exchange(nullptr);
    return *control ? 0 : ERROR_MOD_NOT_FOUND;
}

TEST(TriggerRegistrationTest, TheFirstRegistrationKeepsItsInterface)
{
    TriggerSlot slot;
    FakeTriggerControl first;
    g_next = &first;

    RunTriggerRegistration(slot, HandOutNext, 3000);

    EXPECT_EQ(slot.Held(), &first);
    EXPECT_EQ(first.Calls(), L"register;");
    const BYTE expected[16] = {0x01, 0x00, 0x01, 0x10, 0x04, 0x0a, 0x01, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x80};
    EXPECT_EQ(memcmp(first.block_, expected, sizeof(expected)), 0);

    EXPECT_EQ(slot.Close(), &first);
    EXPECT_TRUE(slot.IsClosed());
    EXPECT_EQ(slot.Close(), nullptr);
}

TEST(TriggerRegistrationTest, ASecondRegistrationWhileOneIsHeldReleasesItsOwnInterface)
{
    TriggerSlot slot;
    FakeTriggerControl held;
    FakeTriggerControl second;
    g_next = &held;
    RunTriggerRegistration(slot, HandOutNext, 3000);
    g_next = &second;

    RunTriggerRegistration(slot, HandOutNext, 3000);

    EXPECT_EQ(second.Calls(), L"register;close;release;");
    EXPECT_EQ(held.Calls(), L"register;");
    EXPECT_EQ(slot.Held(), &held);
}

TEST(TriggerRegistrationTest, ALateRegistrationAfterTheSlotClosedReleasesItsOwnInterface)
{
    TriggerSlot slot;
    FakeTriggerControl late;
    KernelHandle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    late.gate_ = gate.Get();
    g_next = &late;

    // Returns while the registration is still held at the gate: start-up is
    // not held up.
    RunTriggerRegistration(slot, HandOutNext, 100);
    EXPECT_EQ(slot.Close(), nullptr);

    SetEvent(gate.Get());
    ASSERT_TRUE(late.WaitReleased(10000));
    EXPECT_EQ(late.Calls(), L"register;close;release;");
    EXPECT_TRUE(slot.IsClosed());
}

TEST(TriggerRegistrationTest, ALibraryThatCannotBeHadLeavesTheSlotEmptyAndIsTraced)
{
    TriggerSlot slot;
    test::TraceCapture traces;
    g_next = nullptr;

    RunTriggerRegistration(slot, HandOutNext, 3000);

    EXPECT_EQ(slot.Held(), nullptr);
    EXPECT_FALSE(slot.IsClosed());
    EXPECT_TRUE(traces.Contains(trace::kError, L"trigger control not available")) << traces.Dump();
}

} // namespace
} // namespace qvx
