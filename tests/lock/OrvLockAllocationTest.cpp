// A lock call that succeeds allocates nothing of its own: the lock manager's
// record of its entries is allocated once, with the manager. Every
// allocation through the global operator new of this test program is
// counted; a call may allocate only what the latch guards it takes do.
#include "LockTestSupport.h"

#include "support/OrvLatch.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<unsigned long> allocations{0};

void* countedAllocation(std::size_t size) {
    ++allocations;
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
} // namespace

void* operator new(std::size_t size) {
    return countedAllocation(size);
}
void* operator new[](std::size_t size) {
    return countedAllocation(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace locktest;

TEST_F(LockListTest, SucceedingLockCallsAllocateNothingBeyondTheirLatchHolds) {
    LM& lm = *LM::getInstance();
    // First uses (the profiler's timers) may allocate once.
    lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
    lm.releaseSlot(5, 1, 1);
    lm.requestSegment(6, LM::ExclusiveLock);
    { OrvScopedLock lock(5, 1, 1, LM::SharedLock, false, false); }

    constexpr unsigned long ROUNDS = 50;
    unsigned long start = allocations;
    for (unsigned long i = 0; i < ROUNDS; ++i) {
        OrvScopedExclusiveLatch latch(view->header()->latch);
    }
    const unsigned long perHold = (allocations - start) / ROUNDS;
    EXPECT_EQ(ROUNDS * perHold, allocations - start);

    // Six latch holds a round: two requests, two releases and the scoped
    // lock's request and release.
    start = allocations;
    for (unsigned long i = 0; i < ROUNDS; ++i) {
        lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
        lm.releaseSlot(5, 1, 1);
        EXPECT_TRUE(lm.tryRequestPage(5, 2, LM::SharedLock));
        lm.releasePage(5, 2);
        OrvScopedLock lock(5, 1, 2, LM::SharedLock, false, false);
    }
    EXPECT_EQ(ROUNDS * 6 * perHold, allocations - start);

    // Covered requests take no latch and allocate nothing at all.
    start = allocations;
    for (unsigned long i = 0; i < ROUNDS; ++i) {
        lm.requestPage(6, 2, LM::SharedLock);
        lm.requestSlot(6, 3, 3, LM::ExclusiveLock);
        OrvScopedLock lock(6, 4, LM::ExclusiveLock, false, false);
    }
    EXPECT_EQ(start, allocations.load());
    EXPECT_EQ(1u, view->count());
}
