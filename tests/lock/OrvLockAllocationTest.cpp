// A lock call that succeeds allocates nothing: the lock manager's record of
// its entries is allocated once, with the manager, and the latch guards it
// takes build nothing on success. Every allocation through the global
// operator new of this test program is counted.
#include "LockTestSupport.h"

#include "common/OrvAllocationCounter.h"
#include "support/OrvLatch.h"

using namespace locktest;

TEST_F(LockListTest, SucceedingLockCallsAllocateNothing) {
    LM& lm = *LM::getInstance();
    // First uses (the profiler's timers) may allocate once.
    lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
    lm.releaseSlot(5, 1, 1);
    lm.requestSegment(6, LM::ExclusiveLock);
    { OrvScopedLock lock(5, 1, 1, LM::SharedLock, false, false); }

    constexpr int ROUNDS = 50;
    long start = orvtest::allocationCount;
    for (int i = 0; i < ROUNDS; ++i) {
        OrvScopedExclusiveLatch latch(view->header()->latch);
    }
    EXPECT_EQ(start, orvtest::allocationCount);

    // Six latch holds a round: two requests, two releases and the scoped
    // lock's request and release.
    start = orvtest::allocationCount;
    for (int i = 0; i < ROUNDS; ++i) {
        lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
        lm.releaseSlot(5, 1, 1);
        EXPECT_TRUE(lm.tryRequestPage(5, 2, LM::SharedLock));
        lm.releasePage(5, 2);
        OrvScopedLock lock(5, 1, 2, LM::SharedLock, false, false);
    }
    EXPECT_EQ(start, orvtest::allocationCount);

    // Covered requests take no latch and allocate nothing at all.
    start = orvtest::allocationCount;
    for (int i = 0; i < ROUNDS; ++i) {
        lm.requestPage(6, 2, LM::SharedLock);
        lm.requestSlot(6, 3, 3, LM::ExclusiveLock);
        OrvScopedLock lock(6, 4, LM::ExclusiveLock, false, false);
    }
    EXPECT_EQ(start, orvtest::allocationCount);
    EXPECT_EQ(1u, view->count());
}
