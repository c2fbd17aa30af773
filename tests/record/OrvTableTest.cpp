// Creating and dropping tables: the segment lock comes first, an existing
// table is refused with its id, and a dropped table can be made again.
#include "RecordTestSupport.h"

namespace {

using namespace recordtest;

class TableTest : public ::testing::Test {
protected:
    void SetUp() override {
        LM::initializeLockList();
        OrvBufferManager::initializeBuffer();
        rm = RM::getInstance();
        bm = OrvBufferManager::getInstance();
        lm = LM::getInstance();
    }
    void TearDown() override { OrvSystem::stopAllManagers(); }

    bool holdsExclusiveSegment(SegmentId segment) {
        bool exists = false;
        LM::LockType type = LM::SharedLock;
        lm->getLockTypeIfLockExists(exists, type, segment, LM::NO_PAGE, LM::NO_SLOT);
        return exists && type == LM::ExclusiveLock;
    }

    orvtest::TestDatabase db;
    RM* rm = nullptr;
    OrvBufferManager* bm = nullptr;
    LM* lm = nullptr;
};

TEST_F(TableTest, ATableIsCreatedOnceUnderItsSegmentLock) {
    rm->createTable(7);
    EXPECT_TRUE(holdsExclusiveSegment(7));
    // The segment is there, without pages.
    bm->openSegment(7);
    OrvPage* page = nullptr;
    EXPECT_EQ(ORV_BM_PAGE_NOT_FOUND,
              codeOf([&] { bm->getPage(7, 0, OrvPage::FreeSpaceInventoryPage, page); }));
    bm->commit();

    const OrvException again = exceptionOf([&] { rm->createTable(7); });
    EXPECT_EQ(ORV_RM_TABLE_ALREADY_EXISTS, again.getErrorCode());
    EXPECT_EQ("7", again.getToken(1));

    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { rm->createTable(0); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { rm->createTable(32768); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { rm->dropTable(0); }));
}

TEST_F(TableTest, ADroppedTableIsGoneAndCanBeMadeAgain) {
    // Created and dropped in one transaction: gone at once.
    rm->createTable(9);
    rm->dropTable(9);
    rm->createTable(9);
    bm->openSegment(9);
    bm->commit();
    // Dropped after it was committed: gone for this process now, for good
    // at commit.
    rm->dropTable(9);
    OrvPage* page = nullptr;
    EXPECT_EQ(ORV_BM_SEGMENT_DROPPED, codeOf([&] { bm->getPage(9, 1, OrvPage::DataPage, page); }));
    bm->commit();
    rm->createTable(9);
    EXPECT_TRUE(holdsExclusiveSegment(9));
}

} // namespace
