// The buffer manager in one process: fixing, victims and write-back, new
// pages, segments within a transaction, and the pool's structure after
// random work.
#include "BufferTestSupport.h"

#include "buffer/OrvBufferPoolCheck.h"
#include "support/OrvIo.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

using buffertest::codeOf;
using buffertest::exceptionOf;
using buffertest::fileExists;
using buffertest::image;
using buffertest::pageInFile;
using buffertest::PoolTest;
using buffertest::putText;
using buffertest::recordedCode;
using buffertest::segmentFile;
using buffertest::textInFile;
using buffertest::textOf;
using buffertest::writeImage;

namespace {

class BufferManagerTest : public PoolTest {};

} // namespace

TEST_F(BufferManagerTest, FixingTwiceGivesOneFrameAndTwoReleasesFreeIt) {
    writeImage(db, 1, 0, image(0, OrvPage::DataPage, "first"));
    bm->openSegment(1);

    OrvPage* a = nullptr;
    OrvPage* b = nullptr;
    bm->getPage(1, 0, OrvPage::DataPage, a);
    bm->getPage(1, 0, OrvPage::DataPage, b);
    ASSERT_EQ(a, b);
    EXPECT_EQ(2, a->getFixCount());
    EXPECT_TRUE(a->isFix());
    EXPECT_FALSE(a->isDirty());
    EXPECT_EQ("first", textOf(a));
    EXPECT_EQ(1, a->getSegmentId());
    EXPECT_EQ(0, a->getPageId());
    EXPECT_EQ(OrvPage::DataPage, a->getPageType());

    OrvPage* frame = a;
    bm->releasePage(a);
    EXPECT_EQ(nullptr, a);
    EXPECT_EQ(1, frame->getFixCount());
    bm->releasePage(b);
    EXPECT_EQ(0, frame->getFixCount());
    EXPECT_FALSE(frame->isFix());
    // A third release has no fix to give back.
    OrvPage* stale = frame;
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { bm->releasePage(stale); }));
    EXPECT_EQ(0, frame->getFixCount());

    EXPECT_EQ(2u, bm->getLogicalReads());
    EXPECT_EQ(1u, bm->getPhysicalReads());
    EXPECT_FLOAT_EQ(0.5f, bm->getBufferHitRatio());
    EXPECT_EQ("", bm->checkStructure());
}

TEST_F(BufferManagerTest, FullPoolRefusesTheNextPageUntilOneIsReleased) {
    makeSegment(1);
    std::vector<OrvPage*> fixed(ORV_BM_NUM_PAGES, nullptr);
    for (PageId p = 0; p < ORV_BM_NUM_PAGES; ++p) {
        bm->getNewPage(1, p, OrvPage::DataPage, fixed[p]);
        putText(fixed[p], "page " + std::to_string(p));
    }
    OrvPage* extra = nullptr;
    EXPECT_EQ(ORV_BM_BUFFER_FULL,
              codeOf([&] { bm->getNewPage(1, ORV_BM_NUM_PAGES, OrvPage::DataPage, extra); }));
    EXPECT_EQ(ORV_BM_BUFFER_FULL, codeOf([&] {
                  bm->getNewPage(1, ORV_BM_NUM_PAGES, OrvPage::DataPage, OrvLsn(1, 1), extra);
              }));
    EXPECT_EQ(nullptr, extra);
    EXPECT_EQ("", bm->checkStructure());

    // The one unfixed frame is the victim; its dirty page goes to the file.
    OrvPage* released = fixed[500];
    bm->releasePage(fixed[500]);
    bm->getNewPage(1, ORV_BM_NUM_PAGES, OrvPage::DataPage, extra);
    EXPECT_EQ(released, extra);
    EXPECT_EQ(ORV_BM_NUM_PAGES, extra->getPageId());
    EXPECT_EQ("page 500", textInFile(db, 1, 500));
    EXPECT_EQ("", bm->checkStructure());

    bm->releasePage(extra);
    for (OrvPage*& page : fixed) {
        if (page != nullptr) {
            bm->releasePage(page);
        }
    }
    bool inUse = true;
    OrvBufferManager::haveFixedPages(inUse);
    EXPECT_FALSE(inUse);
}

TEST_F(BufferManagerTest, DirtyVictimsAreWrittenBackAndReadAgainIntact) {
    makeSegment(1);
    makeSegment(2);
    for (PageId p = 0; p < ORV_BM_NUM_PAGES; ++p) {
        newPage(1, p, "one/" + std::to_string(p));
    }
    EXPECT_EQ(0u, orvtest::readFile(segmentFile(db, 1)).size()); // all still in the pool
    // A second pool's worth of pages drives every page of segment 1 out.
    for (PageId p = 0; p < ORV_BM_NUM_PAGES; ++p) {
        newPage(2, p, "two/" + std::to_string(p));
    }
    EXPECT_EQ(static_cast<std::size_t>(ORV_BM_NUM_PAGES) * ORV_PAGE_SIZE,
              orvtest::readFile(segmentFile(db, 1)).size());
    EXPECT_EQ(image(7, OrvPage::DataPage, "one/7"), pageInFile(db, 1, 7));

    const Uint32 physicalBefore = bm->getPhysicalReads();
    for (PageId p = 0; p < ORV_BM_NUM_PAGES; p += 97) {
        EXPECT_EQ("one/" + std::to_string(p), fixAndRead(1, p));
    }
    EXPECT_EQ(physicalBefore + 11, bm->getPhysicalReads());
    EXPECT_EQ("", bm->checkStructure());
}

TEST_F(BufferManagerTest, VictimThatCannotBeWrittenKeepsItsPageAndChanges) {
    makeSegment(1);
    for (PageId p = 0; p < ORV_BM_NUM_PAGES; ++p) {
        newPage(1, p, "v" + std::to_string(p));
    }
    OrvIo::Fault full;
    full.call = OrvIo::Call::Pwrite;
    full.error = ENOSPC;
    ASSERT_TRUE(OrvIo::armFault(full));
    OrvPage* page = nullptr;
    EXPECT_EQ(ORV_FM_FILE_WRITE_FAIL,
              codeOf([&] { bm->getNewPage(1, 2000, OrvPage::DataPage, page); }));
    OrvIo::clearFaults();
    EXPECT_EQ("", bm->checkStructure());
    // Page 0 (the victim) is still in the pool with its change, so a fix is a
    // hit; the next request takes another victim.
    const Uint32 physical = bm->getPhysicalReads();
    EXPECT_EQ("v0", fixAndRead(1, 0));
    EXPECT_EQ(physical, bm->getPhysicalReads());
    newPage(1, 2000, "new");
    EXPECT_EQ("v1", textInFile(db, 1, 1));
    bm->flushAll();
    EXPECT_EQ("v0", textInFile(db, 1, 0));
}

TEST_F(BufferManagerTest, GetPageOfAMissingPageOrSegmentFails) {
    makeSegment(1);
    OrvPage* page = nullptr;
    OrvException missing = exceptionOf([&] { bm->getPage(1, 3, OrvPage::DataPage, page); });
    EXPECT_EQ(ORV_BM_PAGE_NOT_FOUND, missing.getErrorCode());
    EXPECT_EQ("3", missing.getToken(1));
    EXPECT_EQ("1", missing.getToken(2));
    EXPECT_EQ(nullptr, page);
    EXPECT_EQ(ORV_FM_FILE_NOT_OPEN, codeOf([&] { bm->getPage(9, 0, OrvPage::DataPage, page); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { bm->getPage(0, 0, OrvPage::DataPage, page); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL,
              codeOf([&] { bm->getPage(1, ORV_INVALID_PAGE_ID, OrvPage::DataPage, page); }));
    // A failed read leaves the frame it had chosen empty.
    EXPECT_EQ("", bm->checkStructure());
    std::ostringstream dump;
    bm->dump(dump, false, false, true, false);
    EXPECT_EQ(std::string::npos, dump.str().find("Slot-of-Page"));
}

TEST_F(BufferManagerTest, ImagesNamingAnotherPageOrTypeAreRefused) {
    writeImage(db, 1, 3, image(7, OrvPage::DataPage, "misplaced"));
    writeImage(db, 1, 4, image(4, OrvPage::BTreeIndexPage, "index page"));
    bm->openSegment(1);
    OrvPage* page = nullptr;

    OrvException wrongId = exceptionOf([&] { bm->getPage(1, 3, OrvPage::DataPage, page); });
    EXPECT_EQ(ORV_BM_PAGEID_MISMATCH, wrongId.getErrorCode());
    EXPECT_EQ("3", wrongId.getToken(1));
    EXPECT_EQ("1", wrongId.getToken(2));
    EXPECT_EQ("7", wrongId.getToken(3));

    OrvException wrongType = exceptionOf([&] { bm->getPage(1, 4, OrvPage::DataPage, page); });
    EXPECT_EQ(ORV_BM_PAGETYPE_MISMATCH, wrongType.getErrorCode());
    EXPECT_EQ("4", wrongType.getToken(1));
    EXPECT_EQ("1", wrongType.getToken(2));
    EXPECT_EQ("1", wrongType.getToken(3));
    EXPECT_EQ("0", wrongType.getToken(4));
    EXPECT_EQ(nullptr, page);

    // Both pages stay in the pool, unfixed: the second requests are hits.
    const Uint32 physical = bm->getPhysicalReads();
    EXPECT_EQ(ORV_BM_PAGETYPE_MISMATCH,
              codeOf([&] { bm->getPage(1, 4, OrvPage::FreeSpaceInventoryPage, page); }));
    EXPECT_EQ(ORV_BM_PAGEID_MISMATCH, codeOf([&] { bm->getPage(1, 3, OrvPage::DataPage, page); }));
    EXPECT_EQ(physical, bm->getPhysicalReads());

    // A wrong request must not spoil the frame for the right one: fixing and
    // releasing with the page's own type works.
    bm->getPage(1, 4, OrvPage::BTreeIndexPage, page);
    EXPECT_EQ(OrvPage::BTreeIndexPage, page->getPageType());
    EXPECT_EQ("index page", textOf(page));
    bm->releasePage(page);
    bool inUse = true;
    OrvBufferManager::haveFixedPages(inUse);
    EXPECT_FALSE(inUse);
    EXPECT_EQ("", bm->checkStructure());
}

TEST_F(BufferManagerTest, NewPagesMustExistNeitherInThePoolNorInTheFile) {
    writeImage(db, 1, 0, image(0, OrvPage::DataPage, "on disk"));
    bm->openSegment(1);
    OrvPage* page = nullptr;
    OrvException inFile = exceptionOf([&] { bm->getNewPage(1, 0, OrvPage::DataPage, page); });
    EXPECT_EQ(ORV_BM_PAGE_ALREADY_EXISTS_IN_FILE, inFile.getErrorCode());
    EXPECT_EQ("0", inFile.getToken(1));
    EXPECT_EQ("1", inFile.getToken(2));

    bm->getNewPage(1, 5, OrvPage::FreeSpaceInventoryPage, page);
    EXPECT_EQ(ORV_SUCCESS, recordedCode()); // the expected "no such page" is not left behind
    std::string expected = image(5, OrvPage::FreeSpaceInventoryPage, "");
    EXPECT_EQ(expected, std::string(page->getPageData(), ORV_PAGE_SIZE));
    EXPECT_EQ(1, page->getFixCount());
    EXPECT_TRUE(page->isDirty());
    EXPECT_EQ(OrvLsn(), page->getLsn());
    OrvPage* again = nullptr;
    EXPECT_EQ(ORV_BM_PAGE_ALREADY_EXISTS_IN_BUFFER,
              codeOf([&] { bm->getNewPage(1, 5, OrvPage::DataPage, again); }));
    EXPECT_EQ(ORV_BM_PAGE_ALREADY_EXISTS_IN_BUFFER,
              codeOf([&] { bm->getNewPage(1, 5, OrvPage::DataPage, OrvLsn(1, 1), again); }));
    bm->releasePage(page);
    EXPECT_EQ(ORV_FM_FILE_NOT_OPEN, codeOf([&] { bm->getNewPage(8, 0, OrvPage::DataPage, page); }));

    // With an LSN the file is not asked: page 0 is made anew over the old one.
    bm->getNewPage(1, 0, OrvPage::DataPage, OrvLsn(3, 44), page);
    EXPECT_EQ(image(0, OrvPage::DataPage, "", OrvLsn(3, 44)),
              std::string(page->getPageData(), ORV_PAGE_SIZE));
    EXPECT_EQ(OrvLsn(3, 44), page->getLsn());
    bm->releasePage(page);
    bm->flushAll();
    EXPECT_EQ(image(0, OrvPage::DataPage, "", OrvLsn(3, 44)), pageInFile(db, 1, 0));
}

TEST_F(BufferManagerTest, ReleaseChecksThePointerAndTheImage) {
    makeSegment(1);
    OrvPage* page = nullptr;
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { bm->releasePage(page); }));
    bm->getNewPage(1, 0, OrvPage::DataPage, page);
    OrvPage* inside = reinterpret_cast<OrvPage*>(page->getPageData() + 8);
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { bm->releasePage(inside); }));
    std::vector<Uint64> outsideStorage(sizeof(OrvPage) / 8 + 1, 0);
    OrvPage* outside = reinterpret_cast<OrvPage*>(outsideStorage.data());
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { bm->releasePage(outside); }));
    EXPECT_EQ(1, page->getFixCount());

    // A changed type keeps the fix (the image is not trusted to be written).
    OrvPage::PageType changed = OrvPage::BTreeIndexPage;
    std::memcpy(page->getPageData() + 4, &changed, sizeof(changed));
    OrvPage* held = page;
    EXPECT_EQ(ORV_BM_PAGETYPE_MISMATCH, codeOf([&] { bm->releasePage(held); }));
    EXPECT_EQ(1, page->getFixCount());
    OrvPage::PageType original = OrvPage::DataPage;
    std::memcpy(page->getPageData() + 4, &original, sizeof(original));

    // A changed page id is released, with the mismatch recorded.
    PageId otherId = 9;
    std::memcpy(page->getPageData(), &otherId, sizeof(otherId));
    held = page;
    bm->releasePage(held);
    EXPECT_EQ(nullptr, held);
    EXPECT_EQ(0, page->getFixCount());
    EXPECT_EQ(ORV_BM_PAGEID_MISMATCH, recordedCode());
    EXPECT_NE(std::string::npos, buffertest::recordedMessage().find("set to 9"));
}

TEST_F(BufferManagerTest, ModificationMarksCheckTheFrameFirst) {
    makeSegment(1);
    OrvPage* page = nullptr;
    bm->getNewPage(1, 0, OrvPage::DataPage, OrvLsn(2, 10), page);

    // The frame after it is empty: marking it would have it written as a page
    // of segment 0.
    OrvPage* empty = page + 1;
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { bm->markPageAsModified(*empty); }));
    EXPECT_FALSE(empty->isDirty());
    std::vector<Uint64> outsideStorage(sizeof(OrvPage) / 8 + 1, 0);
    OrvPage* outside = reinterpret_cast<OrvPage*>(outsideStorage.data());
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { bm->markPageAsModified(*outside); }));
    EXPECT_FALSE(outside->isDirty());
    EXPECT_EQ("", bm->checkStructure());

    // An older LSN is kept out, a newer one stored in frame and image.
    EXPECT_EQ(ORV_SUCCESS, page->markAsModified(OrvLsn(1, 500)));
    EXPECT_EQ(OrvLsn(2, 10), page->getLsn());
    EXPECT_EQ(ORV_SUCCESS, page->markAsModified(OrvLsn(3, 0)));
    EXPECT_EQ(OrvLsn(3, 0), page->getLsn());
    EXPECT_EQ(image(0, OrvPage::DataPage, "", OrvLsn(3, 0)),
              std::string(page->getPageData(), ORV_PAGE_SIZE));
    OrvPage* frame = page;
    bm->releasePage(page);
    bm->flushAll();
    EXPECT_FALSE(frame->isDirty());
    EXPECT_EQ(ORV_INTERNAL_FAIL, frame->markAsModified(OrvLsn(4, 0))); // not fixed
    EXPECT_EQ(ORV_INTERNAL_FAIL, recordedCode());
    EXPECT_FALSE(frame->isDirty());
    EXPECT_EQ(OrvLsn(3, 0), frame->getLsn());

    bm->getPage(1, 0, OrvPage::DataPage, page);
    bm->markPageAsModified(*page);
    EXPECT_TRUE(page->isDirty());
    bm->releasePage(page);
}

TEST_F(BufferManagerTest, SegmentsCreatedInTheTransactionGoAtOnce) {
    bm->createSegment(5);
    EXPECT_TRUE(fileExists(segmentFile(db, 5)));
    EXPECT_EQ(ORV_FM_FILE_ALREADY_EXISTS, codeOf([&] { bm->createSegment(5); }));
    bm->openSegment(5);
    newPage(5, 0, "short lived");
    bm->dropSegment(5);
    EXPECT_FALSE(fileExists(segmentFile(db, 5)));
    EXPECT_EQ("", bm->checkStructure());
    // Its dirty frame went with it: nothing brings the file back.
    bm->flushAll();
    EXPECT_FALSE(fileExists(segmentFile(db, 5)));
    bm->commit();
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { bm->createSegment(0); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { bm->openSegment(0); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { bm->dropSegment(0); }));
}

TEST_F(BufferManagerTest, OlderSegmentsAreDroppedAtCommit) {
    makeSegment(6);
    newPage(6, 0, "kept until commit");
    bm->dropSegment(6);
    EXPECT_TRUE(fileExists(segmentFile(db, 6)));
    OrvPage* page = nullptr;
    OrvException dropped = exceptionOf([&] { bm->getPage(6, 0, OrvPage::DataPage, page); });
    EXPECT_EQ(ORV_BM_SEGMENT_DROPPED, dropped.getErrorCode());
    EXPECT_EQ("0", dropped.getToken(1));
    EXPECT_EQ("6", dropped.getToken(2));
    EXPECT_EQ(ORV_BM_SEGMENT_DROPPED,
              codeOf([&] { bm->getNewPage(6, 1, OrvPage::DataPage, page); }));
    EXPECT_EQ(ORV_BM_SEGMENT_DROPPED,
              codeOf([&] { bm->getNewPage(6, 1, OrvPage::DataPage, OrvLsn(1, 1), page); }));

    // Neither a flush nor the end of the manager carries out the drop, and a
    // new manager knows nothing of the old one's drops.
    bm->flushAll();
    EXPECT_TRUE(fileExists(segmentFile(db, 6)));
    OrvBufferManager::deleteInstance();
    EXPECT_TRUE(fileExists(segmentFile(db, 6)));
    bm = OrvBufferManager::getInstance();
    bm->commit();
    EXPECT_TRUE(fileExists(segmentFile(db, 6)));
    bm->openSegment(6);
    bm->dropSegment(6);
    bm->commit();
    EXPECT_FALSE(fileExists(segmentFile(db, 6)));
    EXPECT_EQ(ORV_FM_FILE_NOT_OPEN, codeOf([&] { bm->getPage(6, 0, OrvPage::DataPage, page); }));
    EXPECT_EQ("", bm->checkStructure());
}

TEST_F(BufferManagerTest, RolledBackDropKeepsTheChangesOfTheSegment) {
    makeSegment(7);
    newPage(7, 0, "committed before the drop");
    bm->dropSegment(7);
    bm->rollback();
    EXPECT_TRUE(fileExists(segmentFile(db, 7)));
    EXPECT_EQ("committed before the drop", fixAndRead(7, 0));
}

TEST_F(BufferManagerTest, RollbackRemovesNewSegmentsWithTheirFrames) {
    makeSegment(9); // commits: segment 9 is no longer new
    bm->createSegment(8);
    bm->openSegment(8);
    newPage(8, 0, "never committed");
    newPage(8, 1, "never committed either");
    bm->createSegment(10);
    bm->openSegment(10);
    newPage(10, 0, "also new");
    bm->dropSegment(9);
    bm->rollback();

    EXPECT_FALSE(fileExists(segmentFile(db, 8)));
    EXPECT_FALSE(fileExists(segmentFile(db, 10)));
    EXPECT_TRUE(fileExists(segmentFile(db, 9)));
    EXPECT_EQ("", bm->checkStructure());
    std::ostringstream pages;
    bm->dump(pages, false, false, true, false);
    EXPECT_EQ(std::string::npos, pages.str().find("Slot-of-Page")) << pages.str();
    // The new segments are no longer open in this process: their frames
    // cannot be written back, and no file appears again.
    bm->flushAll();
    OrvBufferManager::deleteInstance();
    EXPECT_FALSE(fileExists(segmentFile(db, 8)));
    EXPECT_FALSE(fileExists(segmentFile(db, 10)));
    bm = OrvBufferManager::getInstance();
    EXPECT_EQ(ORV_SUCCESS, codeOf([&] { bm->createSegment(8); }));
}

TEST_F(BufferManagerTest, RollbackKeepsTheErrorBeingRolledBack) {
    bm->createSegment(11);
    bm->createSegment(12);
    // Segment 11's file disappears behind the pool's back: its delete fails.
    ASSERT_EQ(0, ::unlink(segmentFile(db, 11).c_str()));
    OrvError::getErrorObject()->setError(RecordManager, ORV_RM_REC_NOT_FOUND);
    EXPECT_EQ(ORV_SUCCESS, codeOf([&] { bm->rollback(); }));
    EXPECT_EQ(ORV_RM_REC_NOT_FOUND, recordedCode());
    EXPECT_EQ(RecordManager, OrvError::getErrorObject()->getComponent());
    EXPECT_FALSE(fileExists(segmentFile(db, 12)));
}

TEST_F(BufferManagerTest, FlushAllWritesEveryPageItCanAndReportsTheFirstFailure) {
    makeSegment(1);
    makeSegment(2);
    newPage(1, 0, "first of one");
    newPage(2, 0, "first of two");
    newPage(1, 1, "second of one");
    OrvPage* fixed = nullptr;
    bm->getNewPage(2, 1, OrvPage::DataPage, fixed);
    putText(fixed, "fixed");

    OrvIo::Fault failure;
    failure.call = OrvIo::Call::Pwrite;
    failure.error = EIO;
    ASSERT_TRUE(OrvIo::armFault(failure));
    EXPECT_EQ(ORV_FM_FILE_WRITE_FAIL, codeOf([&] { bm->flushAll(); }));
    OrvIo::clearFaults();
    // The first write failed; the others were made all the same. Fixed
    // pages are never written.
    EXPECT_EQ("", textInFile(db, 1, 0));
    EXPECT_EQ("first of two", textInFile(db, 2, 0));
    EXPECT_EQ("second of one", textInFile(db, 1, 1));
    EXPECT_EQ("", textInFile(db, 2, 1));

    bm->flushAll();
    EXPECT_EQ("first of one", textInFile(db, 1, 0));
    bm->releasePage(fixed);
    // The manager's end writes what is left and never throws, also when a
    // write fails then.
    ASSERT_TRUE(OrvIo::armFault(failure));
    OrvBufferManager::deleteInstance();
    OrvIo::clearFaults();
    EXPECT_EQ(ORV_FM_FILE_WRITE_FAIL, recordedCode());
    bm = OrvBufferManager::getInstance();
    bm->openSegment(2);
    EXPECT_EQ("fixed", fixAndRead(2, 1)); // still in the pool, dirty
    OrvBufferManager::deleteInstance();
    EXPECT_EQ("fixed", textInFile(db, 2, 1));
}

TEST_F(BufferManagerTest, TableAndIndexNumbersBecomeSegmentNumbers) {
    EXPECT_EQ(1, bm->convertTableIdToSegmentId(1));
    EXPECT_EQ(32767, bm->convertTableIdToSegmentId(32767));
    EXPECT_EQ(32769, bm->convertIndexIdToSegmentId(1));
    EXPECT_EQ(65535, bm->convertIndexIdToSegmentId(16384));
    EXPECT_EQ(32770, convertIndexIdToHelpSegmentId(1));
    EXPECT_EQ(65534, convertIndexIdToHelpSegmentId(16383));
    EXPECT_EQ(ORV_SUCCESS, recordedCode());

    struct Case {
        SegmentId (*convert)(OrvBufferManager*, Uint16);
        Uint16 input;
    };
    const Case outOfRange[] = {
        {[](OrvBufferManager* m, Uint16 v) { return m->convertTableIdToSegmentId(v); }, 0},
        {[](OrvBufferManager* m, Uint16 v) { return m->convertTableIdToSegmentId(v); }, 32768},
        {[](OrvBufferManager* m, Uint16 v) { return m->convertIndexIdToSegmentId(v); }, 0},
        {[](OrvBufferManager* m, Uint16 v) { return m->convertIndexIdToSegmentId(v); }, 16385},
        {[](OrvBufferManager*, Uint16 v) { return convertIndexIdToHelpSegmentId(v); }, 0},
        // The largest index has no help segment.
        {[](OrvBufferManager*, Uint16 v) { return convertIndexIdToHelpSegmentId(v); }, 16384},
    };
    for (const Case& c : outOfRange) {
        OrvError::getErrorObject()->setError(BufferManager, ORV_SUCCESS);
        EXPECT_EQ(0, c.convert(bm, c.input)) << c.input;
        EXPECT_EQ(ORV_PARAMETER_FAIL, recordedCode()) << c.input;
        EXPECT_EQ(BufferManager, OrvError::getErrorObject()->getComponent());
    }
    // Whatever is done with the missing help segment fails at once.
    const SegmentId help = convertIndexIdToHelpSegmentId(16384);
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { bm->createSegment(help); }));
    OrvPage* page = nullptr;
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { bm->getPage(help, 0, OrvPage::DataPage, page); }));
}

// Random work over more pages than the pool holds, against a model of what
// each page must contain, with the structure checked as it goes. Pages never
// made but lying before one that was made are zero bytes in the file (a
// write beyond the end leaves a hole): they do not exist, and can be made.
TEST_F(BufferManagerTest, RandomWorkKeepsContentsAndStructure) {
    std::mt19937 random(7);
    const SegmentId segments[] = {1, 2, 3};
    for (SegmentId s : segments) {
        makeSegment(s);
    }
    std::map<std::pair<SegmentId, PageId>, std::string> expected;
    std::vector<std::pair<OrvPage*, std::pair<SegmentId, PageId>>> held;
    for (int step = 0; step < 5000; ++step) {
        const SegmentId segment = segments[random() % 3];
        const PageId pageId = static_cast<PageId>(1 + random() % 700);
        const std::pair<SegmentId, PageId> key(segment, pageId);
        const int op = random() % 10;
        if (op < 3) {
            OrvPage* page = nullptr;
            const OrvErrorCode rc =
                codeOf([&] { bm->getNewPage(segment, pageId, OrvPage::DataPage, page); });
            if (expected.count(key) != 0) {
                ASSERT_TRUE(rc == ORV_BM_PAGE_ALREADY_EXISTS_IN_BUFFER ||
                            rc == ORV_BM_PAGE_ALREADY_EXISTS_IN_FILE)
                    << rc;
                continue;
            }
            // A page never made, also one in a hole of the file (a later
            // page was written first), is made.
            ASSERT_EQ(ORV_SUCCESS, rc);
            expected[key] = "new " + std::to_string(step);
            putText(page, expected[key]);
            held.emplace_back(page, key);
        } else if (op < 7) {
            OrvPage* page = nullptr;
            const OrvErrorCode rc =
                codeOf([&] { bm->getPage(segment, pageId, OrvPage::DataPage, page); });
            if (expected.count(key) == 0) {
                ASSERT_EQ(ORV_BM_PAGE_NOT_FOUND, rc);
                continue;
            }
            ASSERT_EQ(ORV_SUCCESS, rc);
            ASSERT_EQ(expected[key], textOf(page));
            if (random() % 2 == 0) {
                expected[key] = "changed " + std::to_string(step);
                putText(page, expected[key]);
                ASSERT_EQ(ORV_SUCCESS, page->markAsModified(OrvLsn(1, step)));
            }
            held.emplace_back(page, key);
        } else if (!held.empty()) {
            const std::size_t which = random() % held.size();
            bm->releasePage(held[which].first);
            held.erase(held.begin() + static_cast<long>(which));
        }
        if (held.size() > 40) {
            for (auto& h : held) {
                bm->releasePage(h.first);
            }
            held.clear();
        }
        if (step % 250 == 0) {
            ASSERT_EQ("", bm->checkStructure()) << "step " << step;
        }
    }
    for (auto& h : held) {
        bm->releasePage(h.first);
    }
    ASSERT_EQ("", bm->checkStructure());
    EXPECT_GT(expected.size(), static_cast<std::size_t>(ORV_BM_NUM_PAGES));
    bm->flushAll();
    for (const auto& page : expected) {
        ASSERT_EQ(page.second, textInFile(db, page.first.first, page.first.second));
    }
}
