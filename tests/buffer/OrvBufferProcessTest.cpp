// Several real processes sharing one pool. The parent makes the pool and
// forks before any manager exists in it; each child makes its own manager.
#include "BufferTestSupport.h"

#include "common/OrvTestSync.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

using buffertest::codeOf;
using buffertest::putText;
using buffertest::textInFile;
using buffertest::textOf;
using orvtest::ChildProcess;
using orvtest::Pipe;

namespace {

class BufferProcessTest : public ::testing::Test {
protected:
    void SetUp() override { OrvBufferManager::initializeBuffer(); }

    // Runs body in a child with a manager of its own; exits with body's result
    // (or 90 when it threw). The child ends without deleting its manager,
    // so pages it left dirty stay in the pool only.
    static int inChild(const std::function<int(OrvBufferManager*)>& body) {
        return orvtest::runInChild([&] {
            try {
                return body(OrvBufferManager::getInstance());
            } catch (const OrvException&) {
                return 90;
            }
        });
    }

    orvtest::TestDatabase db;
};

} // namespace

TEST_F(BufferProcessTest, ChangesTravelThroughThePoolAndThroughTheFile) {
    Pipe counts;
    // A: makes segment 1 with one changed page and dies without writing it.
    ASSERT_EQ(0, inChild([](OrvBufferManager* bm) {
                  bm->createSegment(1);
                  bm->openSegment(1);
                  bm->commit();
                  OrvPage* page = nullptr;
                  bm->getNewPage(1, 0, OrvPage::DataPage, page);
                  putText(page, "written by A");
                  bm->releasePage(page);
                  return 0;
              }));
    EXPECT_EQ("", textInFile(db, 1, 0)); // only in the pool

    // B: sees the change in the pool, without reading the file.
    ASSERT_EQ(0, inChild([&](OrvBufferManager* bm) {
                  bm->openSegment(1);
                  OrvPage* page = nullptr;
                  bm->getPage(1, 0, OrvPage::DataPage, page);
                  const bool seen = textOf(page) == "written by A";
                  bm->releasePage(page);
                  counts.send(static_cast<int>(bm->getLogicalReads()));
                  counts.send(static_cast<int>(bm->getPhysicalReads()));
                  return seen ? 0 : 1;
              }));
    int logical = -1;
    int physical = -1;
    ASSERT_TRUE(counts.receiveValue(logical) && counts.receiveValue(physical));
    EXPECT_EQ(1, logical);
    EXPECT_EQ(0, physical);

    // C: fills the pool with pages of its own, driving A's page out as a
    // victim: it is written to the file on the way.
    ASSERT_EQ(0, inChild([](OrvBufferManager* bm) {
                  bm->createSegment(2);
                  bm->openSegment(2);
                  bm->commit();
                  for (PageId p = 0; p < ORV_BM_NUM_PAGES; ++p) {
                      OrvPage* page = nullptr;
                      bm->getNewPage(2, p, OrvPage::DataPage, page);
                      bm->releasePage(page);
                  }
                  return 0;
              }));
    EXPECT_EQ("written by A", textInFile(db, 1, 0));

    // D: reads the page back from the file.
    ASSERT_EQ(0, inChild([&](OrvBufferManager* bm) {
                  bm->openSegment(1);
                  OrvPage* page = nullptr;
                  bm->getPage(1, 0, OrvPage::DataPage, page);
                  const bool seen = textOf(page) == "written by A";
                  bm->releasePage(page);
                  counts.send(static_cast<int>(bm->getPhysicalReads()));
                  counts.send(static_cast<int>(bm->getLogicalReadsAllTransactions()));
                  counts.send(static_cast<int>(bm->getPhysicalReadsAllTransactions()));
                  return seen ? 0 : 1;
              }));
    int ownPhysical = -1;
    int poolLogical = -1;
    int poolPhysical = -1;
    ASSERT_TRUE(counts.receiveValue(ownPhysical) && counts.receiveValue(poolLogical) &&
                counts.receiveValue(poolPhysical));
    EXPECT_EQ(1, ownPhysical);
    // The pool counts the reads of B and D; each process only its own.
    EXPECT_EQ(2, poolLogical);
    EXPECT_EQ(1, poolPhysical);
}

TEST_F(BufferProcessTest, ProcessesWorkingAtOnceKeepThePoolConsistent) {
    // Segment 1 with 50 pages in its file, made by a child.
    ASSERT_EQ(0, inChild([](OrvBufferManager* bm) {
                  bm->createSegment(1);
                  bm->openSegment(1);
                  bm->commit();
                  for (PageId p = 0; p < 50; ++p) {
                      OrvPage* page = nullptr;
                      bm->getNewPage(1, p, OrvPage::DataPage, page);
                      putText(page, "shared " + std::to_string(p));
                      bm->releasePage(page);
                  }
                  OrvBufferManager::deleteInstance();
                  return 0;
              }));
    Pipe go;
    // Two workers fix and release the shared pages while each fills the pool
    // with pages of a segment of its own, forcing victims all the time.
    auto worker = [&go](SegmentId own) {
        return [&go, own]() {
            try {
                OrvBufferManager* bm = OrvBufferManager::getInstance();
                bm->openSegment(1);
                bm->createSegment(own);
                bm->openSegment(own);
                bm->commit();
                if (!go.receive()) {
                    return 2;
                }
                for (int i = 0; i < 1500; ++i) {
                    OrvPage* shared = nullptr;
                    const PageId p = static_cast<PageId>(i % 50);
                    bm->getPage(1, p, OrvPage::DataPage, shared);
                    if (textOf(shared) != "shared " + std::to_string(p)) {
                        return 3;
                    }
                    OrvPage* mine = nullptr;
                    bm->getNewPage(own, static_cast<PageId>(i), OrvPage::DataPage, mine);
                    bm->releasePage(mine);
                    bm->releasePage(shared);
                }
                OrvBufferManager::deleteInstance();
                return 0;
            } catch (const OrvException&) {
                return 4;
            }
        };
    };
    ChildProcess first(worker(2));
    ChildProcess second(worker(3));
    go.send();
    go.send();
    EXPECT_EQ(0, first.wait(120000));
    EXPECT_EQ(0, second.wait(120000));

    // Every child has ended, so the parent may now have a manager of its own.
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    EXPECT_EQ("", bm->checkStructure());
    bool inUse = true;
    OrvBufferManager::haveFixedPages(inUse);
    EXPECT_FALSE(inUse);
    // Every fix of the workers counted in the pool; none in this process.
    EXPECT_EQ(3000u, bm->getLogicalReadsAllTransactions());
    EXPECT_EQ(0u, bm->getLogicalReads());
    OrvBufferManager::deleteInstance();
    OrvFileManager::deleteInstance();
    // Both workers' pages all reached their files.
    EXPECT_EQ(static_cast<std::size_t>(1500) * ORV_PAGE_SIZE,
              orvtest::readFile(buffertest::segmentFile(db, 2)).size());
    EXPECT_EQ(static_cast<std::size_t>(1500) * ORV_PAGE_SIZE,
              orvtest::readFile(buffertest::segmentFile(db, 3)).size());
}

TEST_F(BufferProcessTest, AFixLeftByADeadProcessKeepsThePoolInUse) {
    bool inUse = true;
    OrvBufferManager::haveFixedPages(inUse);
    EXPECT_FALSE(inUse);
    ASSERT_EQ(0, inChild([](OrvBufferManager* bm) {
                  bm->createSegment(1);
                  bm->openSegment(1);
                  OrvPage* page = nullptr;
                  bm->getNewPage(1, 0, OrvPage::DataPage, page);
                  return 0; // dies holding the fix
              }));
    OrvBufferManager::haveFixedPages(inUse);
    EXPECT_TRUE(inUse);
}

TEST_F(BufferProcessTest, NoPoolMeansNothingInUseAndNoManager) {
    db.cleanup();
    bool inUse = true;
    OrvBufferManager::haveFixedPages(inUse);
    EXPECT_FALSE(inUse);
    EXPECT_EQ(ORV_MM_SHM_NOT_EXISTS, codeOf([] { OrvBufferManager::getInstance(); }));
    EXPECT_EQ(ORV_MM_SHM_NOT_EXISTS, codeOf([] { OrvBufferManager::destroyBuffer(true); }));
}
