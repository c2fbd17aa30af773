// Scoped locks: the entry a scope takes is given back when the scope ends,
// also by an exception; covered locks take and give back nothing; upgrades.
#include "LockTestSupport.h"

#include <stdexcept>

using namespace locktest;
using orvtest::ChildProcess;
using orvtest::Pipe;

TEST_F(LockListTest, ScopedLocksOfEachScopeAreReleasedAtTheEnd) {
    {
        OrvScopedLock slot(5, 1, 1, LM::SharedLock, false, false);
        EXPECT_TRUE(slot.isGranted());
        EXPECT_EQ(3u, view->count());
        OrvScopedLock page(5, 2, LM::ExclusiveLock, false, false);
        EXPECT_EQ(5u, view->count());
        OrvScopedLock segment(6, LM::SharedLock, false, true);
        EXPECT_TRUE(segment.isGranted());
        EXPECT_EQ(6u, view->count());
    }
    EXPECT_EQ(0u, view->count());
    EXPECT_EQ(ORV_SUCCESS, OrvGetErrorCode());
}

TEST_F(LockListTest, ScopedLockIsReleasedWhenItsScopeEndsByAnException) {
    try {
        OrvScopedLock lock(5, 1, 1, LM::ExclusiveLock, false, false);
        throw std::runtime_error("the operation failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(0u, view->count());
}

TEST_F(LockListTest, CoveredInnerScopeLeavesTheOuterLockInPlace) {
    LM& lm = *LM::getInstance();
    {
        OrvScopedLock outer(5, 1, 1, LM::SharedLock, false, false);
        {
            OrvScopedLock inner(5, 1, 1, LM::SharedLock, false, false);
            EXPECT_TRUE(inner.isGranted());
            EXPECT_EQ(3u, view->count());
        }
        // The inner scope's end must not take the outer scope's entry.
        EXPECT_TRUE(lm.existsLock(5, 1, 1));
        EXPECT_EQ(3u, view->count());
    }
    EXPECT_EQ(0u, view->count());

    {
        OrvScopedLock segment(5, LM::ExclusiveLock, false, false);
        {
            OrvScopedLock slot(5, 1, 2, LM::SharedLock, false, false);
            EXPECT_TRUE(slot.isGranted());
            EXPECT_EQ(1u, view->count());
        }
        EXPECT_EQ(1u, view->count());
    }
    EXPECT_EQ(0u, view->count());
    EXPECT_EQ(ORV_SUCCESS, OrvGetErrorCode());
}

TEST_F(LockListTest, UpgradedSlotLockLeavesItsSharedEntryUntilReleaseAll) {
    {
        OrvScopedLock lock(5, 1, 1, LM::SharedLock, false, false);
        lock.upgradeLock();
        EXPECT_EQ(6u, view->count());
        EXPECT_EQ(1u, view->entriesOn(5, 1, 1, LM::ExclusiveLock));
    }
    EXPECT_EQ(0u, view->entriesOn(5, 1, 1, LM::ExclusiveLock));
    EXPECT_EQ(1u, view->entriesOn(5, 1, 1, LM::SharedLock));
    EXPECT_EQ(3u, view->count());
    LM::getInstance()->releaseAll();
    EXPECT_EQ(0u, view->count());
}

TEST_F(LockListTest, FailingReleaseInTheDestructorIsRecordedNotThrown) {
    {
        OrvScopedLock lock(5, 1, 1, LM::SharedLock, false, false);
        LM::getInstance()->releaseAll();
    }
    EXPECT_EQ(ORV_LM_NO_SUCH_ENTRY, OrvGetErrorCode());
}

TEST_F(LockListTest, TryScopedLockThatIsRefusedHoldsAndReleasesNothing) {
    Pipe ready, end;
    ChildProcess holder(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
        ready.send();
        return end.receive() ? 0 : 1;
    }));
    ASSERT_TRUE(ready.receive());
    {
        OrvScopedLock lock(5, 1, 1, LM::SharedLock, false, true);
        EXPECT_FALSE(lock.isGranted());
        EXPECT_EQ(3u, view->count());
        lock.upgradeLock(); // no lock: nothing happens, and nothing waits
        EXPECT_EQ(3u, view->count());
    }
    EXPECT_EQ(3u, view->count());
    EXPECT_EQ(0u, view->usedWaiting());
    // Without tryLock the refusal is an exception and no object is made.
    end.send();
    EXPECT_EQ(0, holder.wait());
    EXPECT_EQ(0u, view->count());
}

TEST_F(LockListTest, AKeptScopedLockStaysWithTheTransaction) {
    LM& lm = *LM::getInstance();
    {
        OrvScopedLock kept(5, 3, LM::ExclusiveLock, false, true);
        ASSERT_TRUE(kept.isGranted());
        kept.keep();
        OrvScopedLock released(5, 4, LM::ExclusiveLock, false, true);
        ASSERT_TRUE(released.isGranted());
    }
    // The page and its intention entry on the segment stay; the other page
    // went with its scope.
    EXPECT_TRUE(lm.existsLock(5, 3, LM::NO_SLOT));
    EXPECT_FALSE(lm.existsLock(5, 4, LM::NO_SLOT));
    EXPECT_EQ(2u, view->count());
    // A plain release takes it like any lock of the transaction.
    lm.releasePage(5, 3);
    EXPECT_EQ(0u, view->count());
    EXPECT_EQ(ORV_SUCCESS, OrvGetErrorCode());
}
