// Lock coverage of the page-local operations: which locks of the current
// transaction let them touch a page, and the inventory entry lock the free
// space scans hold.
#include "RecordTestSupport.h"

#include "OrvTestSync.h"

#include <chrono>
#include <unistd.h>

namespace {

using namespace recordtest;

// Outcome of the four checked operations, in the order calcOffset,
// reorganizePage, insertRecordOnPage (into slot 1), getRecordFromPage (slot 0).
struct Outcome {
    OrvErrorCode calc;
    OrvErrorCode reorganize;
    OrvErrorCode insert;
    OrvErrorCode get;
};

class LockCoverageTest : public DataPageTest {
protected:
    // Two records written under a page lock of another transaction of this
    // process, which then ends, so the test starts without locks.
    void SetUp() override {
        DataPageTest::SetUp();
        lockPage();
        insert(bytes(60, 0));
        insert(bytes(30, 1));
        lm->releaseAll();
        ASSERT_EQ(ORV_SUCCESS, OrvTransactionManager::getInstance()->startNewTransaction());
    }

    Outcome tryAll() {
        Outcome outcome;
        Uint16 offset = 0;
        outcome.calc = codeOf([&] { Access::calcOffset(page, 10, offset); });
        Uint16 free = 0;
        Uint16 freeOffset = 0;
        outcome.reorganize = codeOf([&] { Access::reorganizePage(page, free, freeOffset); });
        const OrvRecord record("new", 3);
        outcome.insert =
            codeOf([&] { Access::insertRecordOnPage(page, 1, record, RM::PrimaryRecord, 3000); });
        OrvRecord* read = nullptr;
        outcome.get = codeOf([&] { Access::getRecordFromPage(page, TupleId(PAGE, 0), read); });
        delete read;
        return outcome;
    }

    void expectAllRefused(const char* situation) {
        const std::string before = snapshot();
        const Outcome outcome = tryAll();
        EXPECT_EQ(ORV_INTERNAL_FAIL, outcome.calc) << situation;
        EXPECT_EQ(ORV_INTERNAL_FAIL, outcome.reorganize) << situation;
        EXPECT_EQ(ORV_INTERNAL_FAIL, outcome.insert) << situation;
        EXPECT_EQ(ORV_INTERNAL_FAIL, outcome.get) << situation;
        EXPECT_EQ(before, snapshot()) << situation;
    }

    void expectAllGranted(const char* situation) {
        const Outcome outcome = tryAll();
        EXPECT_EQ(ORV_SUCCESS, outcome.calc) << situation;
        EXPECT_EQ(ORV_SUCCESS, outcome.reorganize) << situation;
        EXPECT_EQ(ORV_SUCCESS, outcome.insert) << situation;
        EXPECT_EQ(ORV_SUCCESS, outcome.get) << situation;
        EXPECT_EQ("new", read(TupleId(PAGE, 1))) << situation;
    }
};

TEST_F(LockCoverageTest, WithoutALockNothingIsTouched) {
    expectAllRefused("no lock");
    // Locks elsewhere do not cover this page.
    lm->requestPage(SEGMENT, PAGE + 1, LM::ExclusiveLock);
    lm->requestSegment(SEGMENT + 1, LM::ExclusiveLock);
    lm->requestSlot(SEGMENT, PAGE + 1, 0, LM::ExclusiveLock);
    expectAllRefused("locks on other pages and segments");
    // A page lock left behind by an earlier transaction of this process
    // belongs to that transaction, not to the current one.
    lm->requestPage(SEGMENT, PAGE, LM::ExclusiveLock);
    ASSERT_EQ(ORV_SUCCESS, OrvTransactionManager::getInstance()->startNewTransaction());
    expectAllRefused("a page lock of the previous transaction");
}

TEST_F(LockCoverageTest, PageLockCoversEverything) {
    lm->requestPage(SEGMENT, PAGE, LM::SharedLock);
    expectAllGranted("shared page lock");
}

TEST_F(LockCoverageTest, SegmentLockCoversEverything) {
    lm->requestSegment(SEGMENT, LM::ExclusiveLock);
    expectAllGranted("exclusive segment lock");
}

TEST_F(LockCoverageTest, DatabaseLockCoversEverything) {
    lm->requestDB(LM::SharedLock);
    expectAllGranted("shared database lock");
}

// A slot lock lets an operation touch that slot only; the intention lock it
// places on the page does not cover the page.
TEST_F(LockCoverageTest, SlotLockCoversOnlyItsSlot) {
    lm->requestSlot(SEGMENT, PAGE, 0, LM::SharedLock);
    lm->requestSlot(SEGMENT, PAGE, 1, LM::ExclusiveLock);
    ASSERT_TRUE(lm->existsLock(SEGMENT, PAGE, LM::NO_SLOT)); // the intention entries
    const Outcome outcome = tryAll();
    EXPECT_EQ(ORV_INTERNAL_FAIL, outcome.calc);
    EXPECT_EQ(ORV_INTERNAL_FAIL, outcome.reorganize);
    EXPECT_EQ(ORV_SUCCESS, outcome.insert);
    EXPECT_EQ(ORV_SUCCESS, outcome.get);
    EXPECT_EQ("new", read(TupleId(PAGE, 1)));

    // Without its slot lock slot 0 is not covered any more, nor is a new slot.
    OrvRecord* record = nullptr;
    lm->releaseSlot(SEGMENT, PAGE, 0);
    EXPECT_EQ(ORV_INTERNAL_FAIL,
              codeOf([&] { Access::getRecordFromPage(page, TupleId(PAGE, 0), record); }));
    EXPECT_EQ(nullptr, record);
    const OrvRecord other("zz", 2);
    EXPECT_EQ(ORV_INTERNAL_FAIL,
              codeOf([&] { Access::insertRecordOnPage(page, 2, other, RM::PrimaryRecord, 2000); }));
    EXPECT_EQ(2, header().numberOfSlots);
}

// The free space scans need no lock of the caller, and the inventory entry
// lock they take is gone when they return.
TEST_F(LockCoverageTest, FreeSpaceScansReleaseTheirInventoryLock) {
    EXPECT_EQ(4096 - 48 - 90, freeSpace());
    EXPECT_EQ(std::make_pair(Uint16(48), Uint16(4006 - 48)), largestBlock());
    EXPECT_FALSE(lm->existsLock(SEGMENT, 0, 0));
    EXPECT_FALSE(lm->existsLock(SEGMENT, 0, LM::NO_SLOT));
    EXPECT_FALSE(lm->existsLock(SEGMENT, LM::NO_PAGE, LM::NO_SLOT));
}

// The shared lock on the inventory entry makes a scan wait while another
// process holds the entry exclusively (as an inserter that chose the page
// does until it ends).
TEST(InventoryEntryLockTest, ScanWaitsForAnExclusiveHolderOfTheEntry) {
    constexpr SegmentId SEGMENT = 5;
    constexpr PageId PAGE = 300; // entry 44 on inventory page 255
    constexpr int HOLD_MS = 600;
    orvtest::TestDatabase db;
    LM::initializeLockList();
    OrvBufferManager::initializeBuffer();
    orvtest::Pipe locked;
    orvtest::ChildProcess holder([&] {
        OrvTransactionManager::resetForProcess();
        LM::getInstance()->requestSlot(SEGMENT, 255, 44, LM::ExclusiveLock);
        locked.send();
        usleep(HOLD_MS * 1000);
        LM::deleteInstance();
        return 0;
    });
    ASSERT_TRUE(locked.receive());

    OrvBufferManager* bm = OrvBufferManager::getInstance();
    bm->createSegment(SEGMENT);
    bm->openSegment(SEGMENT);
    OrvPage* page = nullptr;
    bm->getNewPage(SEGMENT, PAGE, OrvPage::DataPage, page);
    const auto start = std::chrono::steady_clock::now();
    Uint16 free = 0;
    Access::findFreeSpaceInPage(page, free);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    EXPECT_EQ(4064, free);
    EXPECT_GE(waited, HOLD_MS / 2);
    EXPECT_EQ(0, holder.wait());
    bm->releasePage(page);
    OrvSystem::stopAllManagers();
}

} // namespace
