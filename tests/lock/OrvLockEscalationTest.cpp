// Lock escalation: a transaction whose finer locks would fill the list gets
// one lock on the segment instead, other transactions wait for that lock,
// and a request that cannot escalate still fails as full without leaving
// anything behind. The list's structure and the process's record of its own
// entries are checked after every step.
#include "LockTestSupport.h"

using namespace locktest;
using orvtest::BLOCKED_CHECK_MS;
using orvtest::ChildProcess;
using orvtest::Pipe;
using orvtest::waitUntil;

namespace {

class LockEscalationTest : public LockListTest {
protected:
    // Both checks; REQUIRES: no other process changes the list meanwhile.
    void expectConsistent(LM& lm) {
        const std::vector<std::string> structure = view->problems();
        EXPECT_TRUE(structure.empty()) << structure.front();
        const std::vector<std::string> record = OrvLockList::checkOwnRecord(lm);
        EXPECT_TRUE(record.empty()) << record.front();
    }
};

} // namespace

TEST_F(LockEscalationTest, TwoHundredThousandSlotLocksOfOneTransactionNeverFillTheList) {
    Pipe start, granted;
    // Another transaction asks for the whole segment once the first holds
    // its slot locks.
    ChildProcess reader(transaction([&](LM& lm) {
        if (!start.receive()) {
            return 1;
        }
        lm.requestSegment(5, LM::SharedLock);
        granted.send();
        return 0;
    }));

    LM& lm = *LM::getInstance();
    Uint32 escalations = 0;
    {
        // A scoped lock in the segment keeps its entry through escalations.
        OrvScopedLock scoped(5, 4000, 1, LM::SharedLock, false, false);
        Uint32 last = view->count();
        for (Uint32 i = 0; i < 200000 && !HasFailure(); ++i) {
            const PageId page = static_cast<PageId>(i / 200);
            const SlotId slot = static_cast<SlotId>(i % 200);
            // Shared locks first, then exclusive ones.
            const LM::LockType type = i < 100000 ? LM::SharedLock : LM::ExclusiveLock;
            ASSERT_EQ(ORV_SUCCESS, codeOf([&] { lm.requestSlot(5, page, slot, type); }))
                << "slot lock " << i;
            const Uint32 count = view->count();
            if (count < last || i % 25000 == 0) {
                escalations += count < last ? 1 : 0;
                expectConsistent(lm);
            }
            last = count;
        }
        // A shared escalation for the shared locks, then an exclusive one
        // for the exclusive locks.
        EXPECT_EQ(2u, escalations);
        EXPECT_EQ(1u, view->entriesOn(5, LM::NO_PAGE, LM::NO_SLOT, LM::SharedLock));
        EXPECT_EQ(1u, view->entriesOn(5, LM::NO_PAGE, LM::NO_SLOT, LM::ExclusiveLock));
        EXPECT_EQ(1u, view->entriesOn(5, 4000, 1, LM::SharedLock));
        // The scoped lock, its two intention entries and the two segment locks.
        EXPECT_EQ(5u, view->count());
        // A lock the escalation took away is held by the segment lock: its
        // release is no error and changes nothing.
        lm.releaseSlot(5, 0, 0);
        lm.releaseSlot(5, 499, 199);
        EXPECT_EQ(5u, view->count());
        // Covered: no entry is added.
        lm.requestSlot(5, 30000, 3, LM::ExclusiveLock);
        EXPECT_EQ(5u, view->count());
        expectConsistent(lm);
    }
    // The scoped lock gave back exactly its own entry and its holds.
    EXPECT_EQ(0u, view->entriesOn(5, 4000, 1, LM::SharedLock));
    EXPECT_EQ(2u, view->count());
    expectConsistent(lm);

    start.send();
    EXPECT_FALSE(granted.ready(BLOCKED_CHECK_MS));
    EXPECT_TRUE(waitUntil([this] { return view->usedWaiting() == 1; }));
    EXPECT_TRUE(view->problemsUnderLatch().empty());

    lm.releaseAll();
    EXPECT_TRUE(granted.receive());
    EXPECT_EQ(0, reader.wait());
    EXPECT_EQ(0u, view->count());
    EXPECT_EQ(0u, view->usedWaiting());
    expectConsistent(lm);
}

TEST_F(LockEscalationTest, FullListOfOtherTransactionsStillRefusesWhatCannotEscalate) {
    Pipe filled, end;
    // Another transaction: a shared slot lock in segment 6, then intention
    // entries spread over segments 10 to 99 until eight entries are free.
    ChildProcess filler(transaction([&](LM& lm) {
        lm.requestSlot(6, 0, 0, LM::SharedLock);
        for (Uint32 k = 0; view->count() < LM::MAX_ENTRY - 8; ++k) {
            lm.requestIntentionalOnPage(static_cast<SegmentId>(10 + k % 90),
                                        static_cast<PageId>(k / 90), LM::SharedLock);
        }
        filled.send();
        return end.receive() ? 0 : 1;
    }));
    ASSERT_TRUE(filled.receive());

    LM& lm = *LM::getInstance();
    lm.requestSlot(5, 1, 1, LM::SharedLock);
    lm.requestSlot(6, 1, 1, LM::SharedLock);
    ASSERT_EQ(LM::MAX_ENTRY - 2, view->count());
    expectConsistent(lm);

    // Three entries needed, two free: an exclusive lock on segment 6 would
    // replace the finer ones, but the other transaction's intention entry
    // there conflicts with it.
    EXPECT_EQ(ORV_LM_LOCK_LIST_FULL, codeOf([&] { lm.requestSlot(6, 2, 2, LM::ExclusiveLock); }));
    EXPECT_EQ(LM::MAX_ENTRY - 2, view->count());
    EXPECT_EQ(0u, view->entriesOn(6, LM::NO_PAGE, LM::NO_SLOT, LM::IntentionalExclusiveLock));
    EXPECT_EQ(0u, view->usedWaiting());
    expectConsistent(lm);

    // Two entries fit.
    lm.requestPage(7, 1, LM::SharedLock);
    ASSERT_EQ(LM::MAX_ENTRY, view->count());
    expectConsistent(lm);

    // A segment lock has nothing to escalate to; a lock in a segment where
    // the transaction holds nothing finer frees no room.
    EXPECT_EQ(ORV_LM_LOCK_LIST_FULL, codeOf([&] { lm.requestSegment(8, LM::ExclusiveLock); }));
    EXPECT_EQ(ORV_LM_LOCK_LIST_FULL, codeOf([&] { lm.requestPage(8, 1, LM::SharedLock); }));
    EXPECT_EQ(ORV_LM_LOCK_LIST_FULL,
              codeOf([&] { lm.tryRequestSlot(6, 1, 2, LM::ExclusiveLock); }));
    EXPECT_EQ(LM::MAX_ENTRY, view->count());
    expectConsistent(lm);
    // Covered by the shared page lock: granted without room.
    lm.requestSlot(7, 1, 2, LM::SharedLock);
    EXPECT_EQ(LM::MAX_ENTRY, view->count());

    // Segment 5: a shared segment lock replaces the slot lock and the
    // intention entries that came with it.
    lm.requestSlot(5, 3, 3, LM::SharedLock);
    EXPECT_EQ(LM::MAX_ENTRY - 2, view->count());
    EXPECT_EQ(1u, view->entriesOn(5, LM::NO_PAGE, LM::NO_SLOT, LM::SharedLock));
    EXPECT_EQ(0u, view->entriesOn(5, 1, 1, LM::SharedLock));
    EXPECT_EQ(0u, view->entriesOn(5, LM::NO_PAGE, LM::NO_SLOT, LM::IntentionalSharedLock));
    expectConsistent(lm);

    LM::deleteInstance();
    end.send();
    EXPECT_EQ(0, filler.wait());
    EXPECT_EQ(0u, view->count());
}
