#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "model/table_lock.h"
#include "platform/handles.h"

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
    EXPECT_EQ(RecursiveTableLock::HeldMode(), 1);
    EXPECT_TRUE(LockProbe(lock, TableLockMode::Shared).GrantedWithin(kGrantedMs));

    std::optional<TableLock> exclusive(std::in_place, lock, TableLockMode::Exclusive);
    EXPECT_EQ(RecursiveTableLock::HeldMode(), 2);
    LockProbe reader(lock, TableLockMode::Shared);
    EXPECT_FALSE(reader.GrantedWithin(kBlockedMs)) << "a reader got in beside the writer";
    {
        TableLock nested(lock, TableLockMode::Exclusive);
    }
    EXPECT_EQ(RecursiveTableLock::HeldMode(), 2);
    EXPECT_FALSE(reader.GrantedWithin(kBlockedMs)) << "an inner exclusive release let a reader in";

    exclusive.reset();
    EXPECT_EQ(RecursiveTableLock::HeldMode(), 1);
    EXPECT_TRUE(reader.GrantedWithin(kGrantedMs)) << "the thread did not fall back to shared";
    LockProbe writer(lock, TableLockMode::Exclusive);
    EXPECT_FALSE(writer.GrantedWithin(kBlockedMs)) << "a writer got in beside the shared holder";

    shared.reset();
    EXPECT_EQ(RecursiveTableLock::HeldMode(), 0);
    EXPECT_TRUE(writer.GrantedWithin(kGrantedMs));
}

TEST(TableLock, ExclusiveHolderTakesSharedAtOnceAndStaysExclusive)
{
    RecursiveTableLock lock;
    std::optional<TableLock> exclusive(std::in_place, lock, TableLockMode::Exclusive);
    LockProbe reader(lock, TableLockMode::Shared);
    {
        TableLock nested(lock, TableLockMode::Shared);
        EXPECT_EQ(RecursiveTableLock::HeldMode(), 2);
    }
    EXPECT_EQ(RecursiveTableLock::HeldMode(), 2);
    EXPECT_FALSE(reader.GrantedWithin(kBlockedMs)) << "releasing the nested shared hold gave up the exclusive one";

    exclusive.reset();
    EXPECT_EQ(RecursiveTableLock::HeldMode(), 0);
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
    }
    EXPECT_EQ(RecursiveTableLock::HeldMode(), 0);
}

} // namespace
} // namespace qvx
