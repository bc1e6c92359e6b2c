#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "model/service_record.h"
#include "model/table_lock.h"
#include "platform/handles.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

constexpr DWORD kBlockedMs = 150;
constexpr DWORD kGrantedMs = 10000;

// Takes the lock in `mode` on a thread of its own, holds it until released
// (or at once when `holdUntilReleased` is false) and reports the grant.
class LockProbe {
public:
    LockProbe(RecursiveTableLock& lock, TableLockMode mode, bool holdUntilReleased = false)
        : granted_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          release_(CreateEventW(nullptr, TRUE, holdUntilReleased ? FALSE : TRUE, nullptr))
    {
        thread_ = std::thread([this, &lock, mode] {
            TableLock guard(lock, mode);
            SetEvent(granted_.Get());
            WaitForSingleObject(release_.Get(), INFINITE);
        });
    }
    ~LockProbe()
    {
        SetEvent(release_.Get());
        thread_.join();
    }

    bool GrantedWithin(DWORD ms) const { return WaitForSingleObject(granted_.Get(), ms) == WAIT_OBJECT_0; }
    void Release() { SetEvent(release_.Get()); }

private:
    KernelHandle granted_;
    KernelHandle release_;
    std::thread thread_;
};

TEST(TableLock, SharedHolderUpgradesToExclusiveAndFallsBackToShared)
{
    RecursiveTableLock lock;
    std::optional<TableLock> shared(std::in_place, lock, TableLockMode::Shared);
    EXPECT_EQ(lock.ThreadMode(), 1);
    EXPECT_TRUE(LockProbe(lock, TableLockMode::Shared).GrantedWithin(kGrantedMs));

    std::optional<TableLock> exclusive(std::in_place, lock, TableLockMode::Exclusive);
    EXPECT_EQ(lock.ThreadMode(), 2);
    LockProbe reader(lock, TableLockMode::Shared);
    EXPECT_FALSE(reader.GrantedWithin(kBlockedMs)) << "a reader got in beside the writer";
    {
        TableLock nested(lock, TableLockMode::Exclusive);
    }
    EXPECT_EQ(lock.ThreadMode(), 2);
    EXPECT_FALSE(reader.GrantedWithin(kBlockedMs)) << "an inner exclusive release let a reader in";

    exclusive.reset();
    EXPECT_EQ(lock.ThreadMode(), 1);
    EXPECT_TRUE(reader.GrantedWithin(kGrantedMs)) << "the thread did not fall back to shared";
    LockProbe writer(lock, TableLockMode::Exclusive);
    EXPECT_FALSE(writer.GrantedWithin(kBlockedMs)) << "a writer got in beside the shared holder";

    shared.reset();
    EXPECT_EQ(lock.ThreadMode(), 0);
    EXPECT_TRUE(writer.GrantedWithin(kGrantedMs));
}

TEST(TableLock, ExclusiveHolderTakesSharedAtOnceAndStaysExclusive)
{
    RecursiveTableLock lock;
    std::optional<TableLock> exclusive(std::in_place, lock, TableLockMode::Exclusive);
    LockProbe reader(lock, TableLockMode::Shared);
    {
        TableLock nested(lock, TableLockMode::Shared);
        EXPECT_EQ(lock.ThreadMode(), 2);
    }
    EXPECT_EQ(lock.ThreadMode(), 2);
    EXPECT_FALSE(reader.GrantedWithin(kBlockedMs)) << "releasing the nested shared hold gave up the exclusive one";

    exclusive.reset();
    EXPECT_EQ(lock.ThreadMode(), 0);
    EXPECT_TRUE(reader.GrantedWithin(kGrantedMs));
}

TEST(TableLock, WriterWaitsForEverySharedHolder)
{
    RecursiveTableLock lock;
    LockProbe first(lock, TableLockMode::Shared, true);
    LockProbe second(lock, TableLockMode::Shared, true);
    ASSERT_TRUE(first.GrantedWithin(kGrantedMs));
    ASSERT_TRUE(second.GrantedWithin(kGrantedMs)) << "two readers did not share the lock";

    LockProbe writer(lock, TableLockMode::Exclusive);
    EXPECT_FALSE(writer.GrantedWithin(kBlockedMs));
    first.Release();
    EXPECT_FALSE(writer.GrantedWithin(kBlockedMs)) << "the writer got in while a reader still held the lock";
    second.Release();
    EXPECT_TRUE(writer.GrantedWithin(kGrantedMs));
}

TEST(TableLock, ProcessLockIsOneObject)
{
    EXPECT_EQ(&ProcessTableLock(), &ProcessTableLock());
    {
        TableLock guard(TableLockMode::Shared);
        EXPECT_EQ(RecursiveTableLock::HeldMode(), 1);
        EXPECT_EQ(ProcessTableLock().ThreadMode(), 1);
    }
    EXPECT_EQ(RecursiveTableLock::HeldMode(), 0);
}

// A thread's hold on one lock says nothing about another: the inner lock is
// really taken in its own mode, and letting it go leaves the outer hold as
// it was.
TEST(TableLock, TwoLocksNestIndependently)
{
    using M = TableLockMode;
    const struct {
        M outer;
        M inner;
    } cases[] = {
        {M::Shared, M::Shared},
        {M::Shared, M::Exclusive},
        {M::Exclusive, M::Shared},
        {M::Exclusive, M::Exclusive},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "outer " << static_cast<int>(c.outer) << ", inner "
                                        << static_cast<int>(c.inner));
        RecursiveTableLock outer;
        RecursiveTableLock inner;
        std::optional<TableLock> outerHold(std::in_place, outer, c.outer);
        std::optional<TableLock> innerHold(std::in_place, inner, c.inner);
        EXPECT_FALSE(innerHold->LetGo());
        EXPECT_EQ(outer.ThreadMode(), static_cast<int>(c.outer));
        EXPECT_EQ(inner.ThreadMode(), static_cast<int>(c.inner));
        {
            // The reader asks first: a waiting writer may hold new readers back.
            LockProbe reader(inner, M::Shared);
            const bool readerShares = c.inner == M::Shared;
            EXPECT_EQ(reader.GrantedWithin(readerShares ? kGrantedMs : kBlockedMs), readerShares);
            LockProbe writer(inner, M::Exclusive);
            EXPECT_FALSE(writer.GrantedWithin(kBlockedMs)) << "the inner lock was not taken";

            innerHold.reset();
            EXPECT_EQ(inner.ThreadMode(), 0);
            EXPECT_EQ(outer.ThreadMode(), static_cast<int>(c.outer));
            EXPECT_TRUE(writer.GrantedWithin(kGrantedMs)) << "the inner lock is still held";
            EXPECT_TRUE(reader.GrantedWithin(kGrantedMs));
        }
        LockProbe outerWriter(outer, M::Exclusive);
        EXPECT_FALSE(outerWriter.GrantedWithin(kBlockedMs)) << "the outer hold was let go";
        outerHold.reset();
        EXPECT_TRUE(outerWriter.GrantedWithin(kGrantedMs));
    }
}

// Only taking the lock exclusive from a shared hold lets anything go.
TEST(TableLock, AnUpgradeSaysTheSharedHoldWasLetGo)
{
    using M = TableLockMode;
    const struct {
        const char* name;
        std::vector<M> held;
        M asked;
        bool letGo;
    } cases[] = {
        {"shared from nothing", {}, M::Shared, false},
        {"exclusive from nothing", {}, M::Exclusive, false},
        {"shared inside shared", {M::Shared}, M::Shared, false},
        {"exclusive inside shared", {M::Shared}, M::Exclusive, true},
        {"exclusive inside shared twice", {M::Shared, M::Shared}, M::Exclusive, true},
        {"shared inside exclusive", {M::Exclusive}, M::Shared, false},
        {"exclusive inside exclusive", {M::Exclusive}, M::Exclusive, false},
        {"exclusive inside an upgrade", {M::Shared, M::Exclusive}, M::Exclusive, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecursiveTableLock lock;
        std::vector<std::unique_ptr<TableLock>> holds;
        for (M mode : c.held)
            holds.push_back(std::make_unique<TableLock>(lock, mode));
        {
            TableLock asked(lock, c.asked);
            EXPECT_EQ(asked.LetGo(), c.letGo);
        }
        while (!holds.empty())
            holds.pop_back();
        EXPECT_EQ(lock.ThreadMode(), 0);
    }
}

int g_lockOrderFaults = 0;

class TableLockOrderTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_lockOrderFaults = 0;
        previous_ = SetLockOrderFaultHandler([] { ++g_lockOrderFaults; });
    }
    void TearDown() override { SetLockOrderFaultHandler(previous_); }

    RecursiveTableLock lock_;
    ServiceRecord record_;
    LockOrderFaultHandler previous_ = nullptr;
};

// Letting the shared hold go while a record lock is held can deadlock with a
// reader waiting for that record: the upgrade is traced as an error and
// reported to the fault handler, and still made.
TEST_F(TableLockOrderTest, UpgradeUnderARecordLockIsCaught)
{
    test::TraceCapture traces;
    TableLock shared(lock_, TableLockMode::Shared);
    {
        RecordLock recordLock(record_);
        RecordLock again(record_);
        TableLock exclusive(lock_, TableLockMode::Exclusive);
        EXPECT_TRUE(exclusive.LetGo());
        EXPECT_EQ(lock_.ThreadMode(), 2);
    }
    EXPECT_EQ(g_lockOrderFaults, 1);
    EXPECT_TRUE(traces.Contains(trace::kError, L"record lock")) << testing::PrintToString(traces.Dump());
    EXPECT_EQ(lock_.ThreadMode(), 1);
}

TEST_F(TableLockOrderTest, LockOrderKeptIsNoFault)
{
    test::TraceCapture traces;
    {
        // The record lock taken after the upgrade.
        TableLock shared(lock_, TableLockMode::Shared);
        TableLock exclusive(lock_, TableLockMode::Exclusive);
        RecordLock recordLock(record_);
    }
    {
        // An exclusive hold taken first lets nothing go.
        RecordLock recordLock(record_);
        TableLock exclusive(lock_, TableLockMode::Exclusive);
    }
    {
        // The record lock let go before the upgrade, nested guards included.
        TableLock shared(lock_, TableLockMode::Shared);
        {
            RecordLock recordLock(record_);
            RecordLock again(record_);
        }
        TableLock exclusive(lock_, TableLockMode::Exclusive);
    }
    {
        // Another thread's record lock is not this thread's.
        RecordLock elsewhere(record_);
        std::thread([this] {
            TableLock shared(lock_, TableLockMode::Shared);
            TableLock exclusive(lock_, TableLockMode::Exclusive);
        }).join();
    }
    EXPECT_EQ(g_lockOrderFaults, 0);
    EXPECT_FALSE(traces.Contains(trace::kError, L"")) << testing::PrintToString(traces.Dump());
}

} // namespace
} // namespace qvx
