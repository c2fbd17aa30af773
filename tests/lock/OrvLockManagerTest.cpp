// The lock manager within one process: the list's chains and counts, coverage
// and intention entries, releases, the database lock state, a full list, bad
// arguments and a damaged list. Each test ends with the structure check.
#include "LockTestSupport.h"

#include "OrvDebug.h"
#include "support/OrvLatch.h"

#include <chrono>
#include <cstdio>

using namespace locktest;

namespace {

// The transaction's entries on the segment, its pages and its slots, as
// counted by the queries (exact resources).
struct Counts {
    Uint32 segment;
    Uint32 page;
    Uint32 slot;
};

Counts countsOf(LM& lm, SegmentId segment, PageId page, SlotId slot) {
    return {lm.numLocks(segment, LM::NO_PAGE, LM::NO_SLOT), lm.numLocks(segment, page, LM::NO_SLOT),
            lm.numLocks(segment, page, slot)};
}

} // namespace

TEST_F(LockListTest, FirstLockLandsInEntryZeroAndTakesItsIntentionsFromTheFreeChain) {
    EXPECT_EQ(0u, view->count());
    EXPECT_EQ(0u, view->header()->index[LM::FREE_CHAIN_HEAD]);
    LM& lm = *LM::getInstance();

    lm.requestSegment(5, LM::SharedLock);
    EXPECT_EQ(1u, view->count());
    EXPECT_EQ(1u, view->header()->index[LM::FREE_CHAIN_HEAD]);
    const LM::LockEntry& first = view->entry(0);
    EXPECT_EQ(LM::SharedLock, first.lockType);
    EXPECT_EQ(OrvTransactionManager::getInstance()->getCurrentTransactionID(), first.transactionId);
    EXPECT_EQ(5u, first.segmentId);
    EXPECT_EQ(LM::NO_PAGE, first.pageId);
    EXPECT_EQ(LM::NO_SLOT, first.slotId);
    EXPECT_EQ(0u, view->header()->index[LM::getHash(5, LM::NO_PAGE, LM::NO_SLOT)]);

    // A slot lock: an intention on the segment, one on the page, then the
    // slot; the segment's bucket now lists its newest entry first.
    lm.requestSlot(6, 3, 4, LM::ExclusiveLock);
    EXPECT_EQ(4u, view->count());
    EXPECT_EQ(LM::IntentionalExclusiveLock, view->entry(1).lockType);
    EXPECT_EQ(LM::IntentionalExclusiveLock, view->entry(2).lockType);
    EXPECT_EQ(3u, view->entry(2).pageId);
    EXPECT_EQ(LM::ExclusiveLock, view->entry(3).lockType);
    EXPECT_EQ(4u, view->entry(3).slotId);
}

TEST_F(LockListTest, CoveredRequestsAddNoEntryAndGiveTheirIntentionsBack) {
    LM& lm = *LM::getInstance();
    lm.requestSegment(5, LM::ExclusiveLock);
    lm.requestSlot(5, 1, 1, LM::SharedLock);
    lm.requestPage(5, 2, LM::ExclusiveLock);
    EXPECT_EQ(1u, view->count());

    lm.requestPage(8, 2, LM::SharedLock);
    lm.requestSlot(8, 2, 7, LM::SharedLock); // covered by the shared page lock
    lm.requestSlot(8, 2, 7, LM::ExclusiveLock);
    // A second shared request on a held slot adds nothing either.
    lm.requestSlot(8, 2, 7, LM::ExclusiveLock);
    Counts counts = countsOf(lm, 8, 2, 7);
    EXPECT_EQ(2u, counts.segment); // IS for the page, IX for the slot
    EXPECT_EQ(2u, counts.page);    // S page, IX for the slot
    EXPECT_EQ(1u, counts.slot);

    // A forced request adds an entry even where one is held; it shares the
    // intention entries above.
    lm.requestSlot(8, 2, 7, LM::ExclusiveLock, true);
    counts = countsOf(lm, 8, 2, 7);
    EXPECT_EQ(2u, counts.segment);
    EXPECT_EQ(2u, counts.page);
    EXPECT_EQ(2u, counts.slot);
}

TEST_F(LockListTest, IntentionEntriesAreSharedByTheLocksBeneathAndReleasedByType) {
    LM& lm = *LM::getInstance();
    lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
    lm.requestSlot(5, 1, 2, LM::SharedLock);
    lm.requestSlot(5, 2, 1, LM::SharedLock);
    lm.requestSlot(5, 2, 2, LM::SharedLock);
    // One intention entry of each type per level, whatever lies beneath.
    EXPECT_EQ(2u, lm.numLocks(5, LM::NO_PAGE, LM::NO_SLOT));
    EXPECT_EQ(2u, lm.numLocks(5, 1, LM::NO_SLOT));
    EXPECT_EQ(1u, lm.numLocks(5, 2, LM::NO_SLOT));
    EXPECT_EQ(1u, view->entriesOn(5, LM::NO_PAGE, LM::NO_SLOT, LM::IntentionalSharedLock));
    EXPECT_EQ(1u, view->entriesOn(5, LM::NO_PAGE, LM::NO_SLOT, LM::IntentionalExclusiveLock));
    EXPECT_EQ(9u, view->count());

    // The shared intentions stay while a shared lock beneath needs them.
    lm.releaseSlot(5, 2, 1);
    EXPECT_TRUE(lm.existsLockTypeOnPage(5, 2, LM::IntentionalSharedLock));
    lm.releaseSlot(5, 1, 2);
    EXPECT_FALSE(lm.existsLockTypeOnPage(5, 1, LM::IntentionalSharedLock));
    EXPECT_TRUE(lm.existsLockTypeOnPage(5, 1, LM::IntentionalExclusiveLock));
    EXPECT_TRUE(lm.existsLockTypeOnSegment(5, LM::IntentionalSharedLock));
    lm.releaseSlot(5, 2, 2);
    EXPECT_FALSE(lm.existsLockTypeOnSegment(5, LM::IntentionalSharedLock));
    EXPECT_FALSE(lm.existsLockTypeOnPage(5, 2, LM::IntentionalSharedLock));
    // The exclusive slot lock keeps its intention-exclusive ones.
    EXPECT_TRUE(lm.existsLockTypeOnSegment(5, LM::IntentionalExclusiveLock));
    EXPECT_EQ(3u, view->count());

    // An intention entry asked for by itself stays when the locks beneath go.
    lm.requestIntentionalOnPage(5, 1, LM::ExclusiveLock);
    EXPECT_EQ(3u, view->count());
    lm.releaseSlot(5, 1, 1);
    EXPECT_EQ(1u, view->count());
    EXPECT_TRUE(lm.existsLockTypeOnPage(5, 1, LM::IntentionalExclusiveLock));
    lm.releaseAll();
    EXPECT_EQ(0u, view->count());
}

TEST_F(LockListTest, ReleaseOfASegmentTakesTheLockNotAnIntentionEntry) {
    LM& lm = *LM::getInstance();
    lm.requestSegment(5, LM::SharedLock);
    lm.requestPage(5, 3, LM::ExclusiveLock); // IX on the segment, newer than S
    lm.releaseSegment(5);
    EXPECT_FALSE(lm.existsLockTypeOnSegment(5, LM::SharedLock));
    EXPECT_TRUE(lm.existsLockTypeOnSegment(5, LM::IntentionalExclusiveLock));
    EXPECT_EQ(ORV_LM_NO_SUCH_ENTRY, codeOf([&] { lm.releaseSegment(5); }));
}

TEST_F(LockListTest, ReleaseOfALockNotHeldFailsAndChangesNothing) {
    LM& lm = *LM::getInstance();
    lm.requestSlot(5, 1, 1, LM::SharedLock);
    const Uint32 before = view->count();
    try {
        lm.releaseSlot(5, 1, 2);
        FAIL() << "released a slot that is not held";
    } catch (const OrvException& e) {
        EXPECT_EQ(ORV_LM_NO_SUCH_ENTRY, e.getErrorCode());
        EXPECT_EQ("5", e.getToken(1));
        EXPECT_EQ("1", e.getToken(2));
        EXPECT_EQ("2", e.getToken(3));
    }
    try {
        lm.releasePage(5, 9);
        FAIL() << "released a page that is not held";
    } catch (const OrvException& e) {
        EXPECT_EQ(ORV_LM_NO_SUCH_ENTRY, e.getErrorCode());
        EXPECT_EQ("9", e.getToken(2));
        EXPECT_EQ("", e.getToken(3));
    }
    EXPECT_EQ(ORV_LM_NO_SUCH_ENTRY, codeOf([&] { lm.releaseDB(); }));
    EXPECT_EQ(before, view->count());

    // Another transaction of the same process does not hold it either.
    ASSERT_EQ(ORV_SUCCESS, OrvTransactionManager::getInstance()->startNewTransaction());
    EXPECT_EQ(ORV_LM_NO_SUCH_ENTRY, codeOf([&] { lm.releaseSlot(5, 1, 1); }));
    EXPECT_EQ(before, view->count());
}

TEST_F(LockListTest, ReleaseAllTakesEveryTransactionOfTheProcessAndTheDatabaseState) {
    LM& lm = *LM::getInstance();
    lm.requestDB(LM::SharedLock);
    EXPECT_EQ(LM::DBShared, view->header()->dbRequestType);
    lm.requestSlot(5, 1, 1, LM::SharedLock); // covered by the database lock
    EXPECT_EQ(1u, view->count());
    // The next transaction is another one: the shared database lock lets
    // its shared request through, with entries of its own.
    ASSERT_EQ(ORV_SUCCESS, OrvTransactionManager::getInstance()->startNewTransaction());
    lm.requestSlot(5, 1, 2, LM::SharedLock);
    EXPECT_EQ(4u, view->count());

    lm.releaseAll();
    EXPECT_EQ(0u, view->count());
    EXPECT_EQ(LM::DBNone, view->header()->dbRequestType);
    EXPECT_EQ(OrvGetErrorCode(), ORV_SUCCESS);
    // Releasing again finds nothing and fails nothing.
    lm.releaseAll();
}

TEST_F(LockListTest, DeletingTheManagerReleasesItsLocksAndDetaches) {
    LM::getInstance()->requestSlot(5, 1, 1, LM::ExclusiveLock);
    LM::getInstance()->requestSegment(9, LM::SharedLock);
    EXPECT_EQ(4u, view->count());
    LM::deleteInstance();
    EXPECT_EQ(0u, view->count());
    EXPECT_EQ(ORV_SUCCESS, OrvGetErrorCode());
    // Detached: the set can be attached again by a new manager.
    LM::getInstance()->requestSegment(9, LM::SharedLock);
    EXPECT_EQ(1u, view->count());
}

TEST_F(LockListTest, DatabaseLockStateFollowsTheDatabaseEntries) {
    LM& lm = *LM::getInstance();
    lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
    // The transaction's own entries do not block its database lock.
    lm.requestDB(LM::SharedLock);
    EXPECT_EQ(LM::DBShared, view->header()->dbRequestType);
    lm.requestDB(LM::ExclusiveLock); // the upgrade of its own shared lock
    EXPECT_EQ(LM::DBExclusive, view->header()->dbRequestType);
    EXPECT_EQ(2u, lm.numLocks(LM::NO_SEG, LM::NO_PAGE, LM::NO_SLOT));

    // The newest (exclusive) goes first; the shared one still locks.
    lm.releaseDB();
    EXPECT_EQ(LM::DBShared, view->header()->dbRequestType);
    lm.releaseDB();
    EXPECT_EQ(LM::DBNone, view->header()->dbRequestType);
    lm.releaseSlot(5, 1, 1);
    EXPECT_EQ(0u, view->count());
}

TEST_F(LockListTest, RequestsUnderTheOwnDatabaseLock) {
    LM& lm = *LM::getInstance();
    lm.requestDB(LM::ExclusiveLock);
    lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
    lm.requestSegment(6, LM::SharedLock);
    EXPECT_EQ(1u, view->count());
    lm.requestSlot(5, 1, 1, LM::ExclusiveLock, true); // forced: entries are made
    EXPECT_EQ(4u, view->count());
    lm.releaseAll();

    lm.requestDB(LM::SharedLock);
    lm.requestSlot(5, 1, 1, LM::SharedLock);
    EXPECT_EQ(1u, view->count());
    lm.requestSlot(5, 1, 1, LM::ExclusiveLock); // not covered by a shared one
    EXPECT_EQ(4u, view->count());
}

TEST_F(LockListTest, FullListRefusesTheNextEntryThoughOneRemainsFree) {
    LM& lm = *LM::getInstance();
    const auto start = std::chrono::steady_clock::now();
    // One segment lock and 73055 intention entries on pages of segments 1 to
    // 100, spread evenly over the 100 buckets, fill all 73056 entries that
    // may be in use.
    lm.requestSegment(7, LM::SharedLock);
    Uint32 placed = 1;
    for (PageId page = 0; placed < LM::MAX_ENTRY; ++page) {
        for (SegmentId segment = 1; segment <= 100 && placed < LM::MAX_ENTRY; ++segment) {
            lm.requestIntentionalOnPage(segment, page, LM::SharedLock);
            ++placed;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("filling the lock list took %.2f s\n", seconds);
    ASSERT_EQ(LM::MAX_ENTRY, view->count());

    EXPECT_EQ(ORV_LM_LOCK_LIST_FULL, codeOf([&] { lm.requestSegment(8, LM::ExclusiveLock); }));
    // The page request fails at its intention entry and leaves nothing.
    EXPECT_EQ(ORV_LM_LOCK_LIST_FULL, codeOf([&] { lm.requestPage(9, 4000, LM::SharedLock); }));
    EXPECT_EQ(LM::MAX_ENTRY, view->count());
    const Uint32 lastFree = view->header()->index[LM::FREE_CHAIN_HEAD];
    EXPECT_NE(LM::LIST_END, lastFree);
    EXPECT_EQ(LM::LIST_END, view->entry(lastFree).nextEntry);
    EXPECT_TRUE(view->problems().empty());

    // One release makes room for one entry again.
    lm.releaseSegment(7);
    lm.requestSegment(8, LM::ExclusiveLock);
    EXPECT_EQ(LM::MAX_ENTRY, view->count());
    LM::deleteInstance();
    EXPECT_EQ(0u, view->count());
}

TEST_F(LockListTest, BadArgumentsAreRefused) {
    LM& lm = *LM::getInstance();
    const LM::LockType bogus = static_cast<LM::LockType>(9);
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { lm.requestSegment(0, LM::SharedLock); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { lm.requestSegment(5, LM::IntentionalSharedLock); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { lm.requestSegment(5, bogus); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { lm.requestPage(5, LM::NO_PAGE, LM::SharedLock); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL,
              codeOf([&] { lm.requestSlot(5, 1, LM::NO_SLOT, LM::SharedLock); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL,
              codeOf([&] { lm.tryRequestSlot(5, LM::NO_PAGE, 1, LM::SharedLock); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { lm.requestDB(LM::IntentionalExclusiveLock); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL,
              codeOf([&] { lm.requestIntentionalOnSegment(0, LM::SharedLock); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { lm.requestIntentionalOnSegment(5, bogus); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { lm.releaseSlot(5, 1, LM::NO_SLOT); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { lm.releaseSegment(0); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { lm.numLocksOfLockType(bogus, 5, 1, 1); }));
    Uint32 offset = 0;
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { lm.existsLockType(offset, 5, 1, bogus); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL,
              codeOf([] { OrvScopedLock lock(5, LM::NO_PAGE, LM::SharedLock, false, false); }));
    EXPECT_EQ(0u, view->count());
}

TEST_F(LockListTest, QueriesAnswerForTheirTransaction) {
    LM& lm = *LM::getInstance();
    const OrvTransactionId me = OrvTransactionManager::getInstance()->getCurrentTransactionID();
    const OrvTransactionId other(me.getProcessID(), 77);
    lm.requestSlot(5, 1, 1, LM::SharedLock);
    lm.requestSlot(5, 1, 1, LM::ExclusiveLock);

    EXPECT_TRUE(lm.existsLock(5, 1, 1));
    EXPECT_FALSE(lm.existsLock(5, 1, 2));
    bool exists = false;
    LM::LockType type = LM::SharedLock;
    lm.getLockTypeIfLockExists(exists, type, 5, 1, 1);
    EXPECT_TRUE(exists);
    EXPECT_EQ(LM::ExclusiveLock, type); // the newest entry
    Uint32 offset = 12345;
    EXPECT_TRUE(lm.existsEntry(offset, 5, 1, 1));
    EXPECT_EQ(LM::ExclusiveLock, view->entry(offset).lockType);
    EXPECT_FALSE(lm.existsEntry(offset, other, 5, 1, 1));
    EXPECT_EQ(LM::LIST_END, offset);
    offset = 12345;
    EXPECT_FALSE(lm.existsLockType(offset, 5, 1, 1, LM::SharedLock, other));
    EXPECT_EQ(12345u, offset); // untouched when there is none
    EXPECT_TRUE(lm.existsLockType(offset, 5, 1, 1, LM::SharedLock, me));
    EXPECT_EQ(LM::SharedLock, view->entry(offset).lockType);
    EXPECT_TRUE(lm.existsLockTypeOnSegment(5, LM::IntentionalSharedLock, me));
    EXPECT_FALSE(lm.existsLockTypeOnSegment(5, LM::IntentionalSharedLock, other));
    EXPECT_TRUE(lm.existsExclusiveLock());
    EXPECT_TRUE(lm.existsLockForTransaction(me));
    EXPECT_FALSE(lm.existsLockForTransaction(other));
    EXPECT_EQ(2u, lm.numLocks(me, 5, 1, 1));
    EXPECT_EQ(0u, lm.numLocks(other, 5, 1, 1));
    // Wildcards: intention-shared entries anywhere in segment 5 (segment
    // level and page 1), though they lie in different buckets.
    EXPECT_EQ(2u, lm.numLocksOfLockType(LM::IntentionalSharedLock, 5, LM::NO_PAGE, LM::NO_SLOT));
    EXPECT_EQ(1u, lm.numLocksOfLockType(LM::ExclusiveLock, 5, 1, LM::NO_SLOT));
    EXPECT_EQ(0u, lm.numLocksOfLockTypeOtherTrans(LM::ExclusiveLock, 5, me, 1, 1));
    EXPECT_EQ(1u, lm.numLocksOfLockTypeOtherTrans(LM::ExclusiveLock, 5, other, 1, 1));
}

TEST_F(LockListTest, RequestsAndReleasesLeaveTheErrorObjectAlone) {
    // Nested operations must not nest the profiler's timers: a running timer
    // started again records ORV_INTERNAL_FAIL.
    LM& lm = *LM::getInstance();
    lm.requestSlot(5, 1, 1, LM::SharedLock);
    EXPECT_TRUE(lm.tryRequestSlot(5, 1, 2, LM::ExclusiveLock));
    lm.requestIntentionalOnPage(5, 3, LM::SharedLock);
    lm.requestDB(LM::SharedLock);
    lm.releaseSlot(5, 1, 2);
    lm.releaseDB();
    lm.releaseAll();
    { OrvScopedLock lock(5, 1, 1, LM::SharedLock, false, false); }
    EXPECT_EQ(ORV_SUCCESS, OrvGetErrorCode());
}

TEST(LockManagerWithoutList, MissingListIsReportedAndNotInUse) {
    orvtest::TestDatabase db;
    EXPECT_EQ(ORV_MM_SHM_NOT_EXISTS, codeOf([] { LM::getInstance(); }));
    bool inUse = true;
    LM::isLockListInUse(inUse);
    EXPECT_FALSE(inUse);
    EXPECT_EQ(ORV_MM_SHM_NOT_EXISTS, codeOf([] { LM::destroyLockList(true); }));

    LM::initializeLockList();
    EXPECT_EQ(ORV_MM_SHM_CREATE_FAIL, codeOf([] { LM::initializeLockList(); }));
    LM::getInstance()->requestSegment(3, LM::SharedLock);
    LM::isLockListInUse(inUse);
    EXPECT_TRUE(inUse);
    LM::deleteInstance();
    LM::isLockListInUse(inUse);
    EXPECT_FALSE(inUse);
    LM::destroyLockList();
    EXPECT_LT(db.segmentId(OrvMemoryManager::LockList), 0);
}

TEST(LockManagerDebug, ConstructionRegistersLmStatsWithAnEmptyHelpText) {
    orvtest::TestDatabase db;
    LM::initializeLockList();
    EXPECT_EQ(nullptr, OrvDebug::find(OrvDebug::functions(), "LM_STATS"));
    LM::getInstance();
    const OrvDebugData* entry = OrvDebug::find(OrvDebug::functions(), "LM_STATS");
    ASSERT_NE(nullptr, entry);
    EXPECT_STREQ("", entry->doc);
    EXPECT_EQ(&LM::lmStats, entry->func);
    EXPECT_EQ(nullptr, entry->rstfunc);
}

// ---- a damaged list -----------------------------------------------------------------

class DamagedLockListTest : public ::testing::Test {
protected:
    void SetUp() override {
        LM::initializeLockList();
        view.reset(new LockListView(db));
    }
    orvtest::TestDatabase db;
    std::unique_ptr<LockListView> view;
};

TEST_F(DamagedLockListTest, IndicesOutOfRangeAreReportedNotFollowed) {
    LM& lm = *LM::getInstance();
    lm.requestSegment(5, LM::SharedLock);
    const Uint8 bucket = LM::getHash(5, LM::NO_PAGE, LM::NO_SLOT);
    // The requests below come from another transaction, which has to walk
    // the bucket to see the first one's entry.
    ASSERT_EQ(ORV_SUCCESS, OrvTransactionManager::getInstance()->startNewTransaction());

    view->entry(0).nextEntry = 4000000;
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { lm.requestSegment(5, LM::SharedLock); }));
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { lm.numLocks(5, LM::NO_PAGE, LM::NO_SLOT); }));
    EXPECT_FALSE(view->problems().empty());

    // A chain that runs in a circle.
    view->entry(0).nextEntry = 0;
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { lm.requestSegment(5, LM::SharedLock); }));
    view->entry(0).nextEntry = LM::LIST_END;

    view->header()->index[bucket] = LM::LIST_END + 1;
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { lm.requestSegment(5, LM::SharedLock); }));
    view->header()->index[bucket] = 0;

    view->header()->dbRequestType = static_cast<LM::DBRequestType>(7);
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { lm.requestSegment(6, LM::SharedLock); }));
    view->header()->dbRequestType = LM::DBNone;

    view->entry(0).lockType = static_cast<LM::LockType>(12);
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { lm.requestSegment(5, LM::SharedLock); }));
    view->entry(0).lockType = LM::SharedLock;

    const Uint32 count = view->header()->countEntry;
    view->header()->countEntry = LM::MAX_ENTRY + 5;
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { lm.requestSegment(6, LM::SharedLock); }));
    view->header()->countEntry = count;

    // Nothing of the failed requests is left.
    EXPECT_EQ(1u, view->count());
    EXPECT_TRUE(view->problems().empty());
    lm.releaseAll();
    EXPECT_EQ(0u, view->count());
    EXPECT_TRUE(view->problems().empty());
}

TEST_F(DamagedLockListTest, DamagedWaitingListIsReported) {
    view->header()->nextFreeEntry = 300;
    EXPECT_FALSE(view->problems().empty());
    // The dump reads arrays by index and never follows the damaged link.
    testing::internal::CaptureStdout();
    LM::lmStats(nullptr);
    testing::internal::GetCapturedStdout();
    view->header()->nextFreeEntry = 0;

    view->header()->firstUsedWaitingEntry = 55; // a free entry posing as used
    std::vector<std::string> problems = view->problems();
    EXPECT_FALSE(problems.empty());
    view->header()->firstUsedWaitingEntry = LM::LIST_END_WAITING;
    EXPECT_TRUE(view->problems().empty());
}

TEST_F(DamagedLockListTest, FullWaitingListIsReportedAsSuchNotAsAFullLockList) {
    LM& lm = *LM::getInstance();
    lm.requestSegment(5, LM::ExclusiveLock);
    ASSERT_EQ(ORV_SUCCESS, OrvTransactionManager::getInstance()->startNewTransaction());
    // Every waiting entry but the last one, which always stays free, in use.
    const Uint32 head = view->header()->nextFreeEntry;
    view->header()->nextFreeEntry = LM::MAX_ENTRY_WAITING;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ORV_LM_WAITING_LIST_FULL, codeOf([&] { lm.requestSegment(5, LM::SharedLock); }));
    // Refused at once, not after the time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    view->header()->nextFreeEntry = head;
    EXPECT_EQ(1u, view->count());
    EXPECT_EQ(0u, view->usedWaiting());
    EXPECT_TRUE(view->problems().empty());
}

TEST_F(DamagedLockListTest, CheckerFindsBrokenChainsAndCounts) {
    LM& lm = *LM::getInstance();
    lm.requestSlot(5, 1, 1, LM::SharedLock);
    ASSERT_TRUE(view->problems().empty());

    view->header()->countEntry = 2;
    EXPECT_EQ(1u, view->problems().size());
    view->header()->countEntry = 3;

    view->entry(1).prevEntry = 7; // a broken back link
    EXPECT_FALSE(view->problems().empty());
    view->entry(1).prevEntry = LM::LIST_END;

    view->entry(2).segmentId = 6; // no longer in the bucket of its resource
    EXPECT_FALSE(view->problems().empty());
    view->entry(2).segmentId = 5;

    view->header()->dbRequestType = LM::DBShared; // without a database entry
    EXPECT_FALSE(view->problems().empty());
    view->header()->dbRequestType = LM::DBNone;
    EXPECT_TRUE(view->problems().empty());
}

TEST_F(DamagedLockListTest, LatchLeftExclusiveByADeadProcessFailsRequestsCleanly) {
    LM& lm = *LM::getInstance();
    ASSERT_EQ(0, orvtest::runInChild([this] {
                  return view->header()->latch.get(OrvLatch::Exclusive) == ORV_SUCCESS ? 0 : 1;
              }));
    EXPECT_EQ(ORV_LATCH_HOLDER_DEAD, codeOf([&] { lm.requestSlot(5, 1, 1, LM::SharedLock); }));
    EXPECT_EQ(0u, view->count());
    // Deleting the manager cannot release through the latch either; it
    // records the failure instead of throwing.
    LM::deleteInstance();
    EXPECT_EQ(ORV_LATCH_HOLDER_DEAD, OrvGetErrorCode());
    // Nor can a new manager take its slot in the process table.
    EXPECT_EQ(ORV_LATCH_HOLDER_DEAD, codeOf([&] { LM::getInstance(); }));
}
