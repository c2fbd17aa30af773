// The pool dumps, the debug command "BM_STATS" and scoped pages.
#include "BufferTestSupport.h"

#include "OrvDebug.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

using buffertest::codeOf;
using buffertest::PoolTest;
using buffertest::putText;

namespace {

const std::string EQUALS(75, '=');
const std::string DASHES(75, '-');

class BufferDumpTest : public PoolTest {
protected:
    std::string dump(bool lru, bool hash, bool pages, bool hitRatio) {
        std::ostringstream os;
        bm->dump(os, lru, hash, pages, hitRatio);
        return os.str();
    }
    static std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> result;
        std::istringstream is(text);
        for (std::string line; std::getline(is, line);) {
            result.push_back(line);
        }
        return result;
    }
    static int count(const std::string& text, const std::string& line) {
        int n = 0;
        for (const std::string& l : lines(text)) {
            n += l == line ? 1 : 0;
        }
        return n;
    }
    std::string runCommand(const char* name, const std::string* args, bool reset = false) {
        const OrvDebugData* entry = OrvDebug::find(OrvDebug::functions(), name);
        EXPECT_NE(nullptr, entry);
        if (entry == nullptr) {
            return "";
        }
        testing::internal::CaptureStdout();
        (reset ? entry->rstfunc : entry->func)(args);
        return testing::internal::GetCapturedStdout();
    }
};

const char* const pageHeader =
    "Slot-of-Page SegmentId    PageId       FixCount     LSN          Dirty";

} // namespace

TEST_F(BufferDumpTest, FreshPoolShowsOnlyTheFramingLines) {
    EXPECT_EQ(EQUALS + "\n" + " Content of the LRU list\n" + DASHES + "\n" +
                  " Most-recently-used page is at the top of the list;\n"
                  " least-recently-used is at the bottom.\n" +
                  DASHES + "\n" + DASHES + "\n" + " All other slots between [0, 991] are empty.\n" +
                  EQUALS + "\n",
              dump(true, false, false, false));
    EXPECT_EQ(EQUALS + "\n" + " Content of the Buffer Pool Hash\n" + DASHES + "\n" + DASHES +
                  "\n All other buckets between [1, 199] are empty.\n" + EQUALS + "\n",
              dump(false, true, false, false));
    EXPECT_EQ(EQUALS + "\n" + " Pages currently in buffer pool\n" + DASHES + "\n" + DASHES +
                  "\n All other slots between [0, 991] are empty.\n" + EQUALS + "\n",
              dump(false, false, true, false));
    EXPECT_EQ(EQUALS + "\n", dump(false, false, false, false));
}

TEST_F(BufferDumpTest, RowsOfTheThreeTables) {
    makeSegment(3);
    OrvPage* five = nullptr;
    bm->getNewPage(3, 5, OrvPage::DataPage, OrvLsn(2, 120), five); // frame 0
    newPage(3, 204, "x");                                          // frame 1
    const std::string lru = dump(true, false, false, false);
    EXPECT_NE(std::string::npos, lru.find("Slot-in-LRU  SegmentId    PageId       Next\n"
                                          "------------ ------------ ------------ ------------\n"
                                          "           1            3          204            0\n"
                                          "           0            3            5        <end>\n"));
    // Page 204 went in last, so it leads its bucket (number 5, as page 5).
    const std::string hash = dump(false, true, false, false);
    EXPECT_NE(std::string::npos,
              hash.find("Bucket Slot-in-Hash SegmentId    PageId       Next\n"
                        "------ ------------ ------------ ------------ ------------\n"
                        "     5            1            3          204            0\n"
                        "                  0            3            5        <end>\n"))
        << hash;
    const std::string pages = dump(false, false, true, false);
    EXPECT_NE(
        std::string::npos,
        pages.find("           0            3            5            1        2,120  true\n"
                   "           1            3          204            0          0,0  true\n"))
        << pages;
    bm->releasePage(five);
    bm->flushAll();
    EXPECT_NE(
        std::string::npos,
        dump(false, false, true, false)
            .find("           0            3            5            0        2,120 false\n"));
}

TEST_F(BufferDumpTest, HeaderLinesRepeatEveryFiftyRows) {
    makeSegment(1);
    for (PageId p = 0; p < 120; ++p) {
        newPage(1, p, "p");
    }
    const std::vector<std::string> pages = lines(dump(false, false, true, false));
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (pages[i] == pageHeader) {
            at.push_back(i);
        }
    }
    // Lines: "=", title, "-", then header pair, 50 rows, header pair, ...
    EXPECT_EQ((std::vector<std::size_t>{3, 55, 107}), at);
    EXPECT_EQ(3 + 3 * 2 + 120 + 2 + 1, static_cast<int>(pages.size()));
    EXPECT_EQ(
        3, count(dump(true, false, false, false), "Slot-in-LRU  SegmentId    PageId       Next"));
    // 120 pages over 199 buckets: one per bucket, so the rows run on past
    // the 50th without a break in any bucket.
    EXPECT_EQ(3, count(dump(false, true, false, false),
                       "Bucket Slot-in-Hash SegmentId    PageId       Next"));
}

TEST_F(BufferDumpTest, HitRatiosOfThisProcessAndOfAll) {
    makeSegment(1);
    newPage(1, 0, "a");
    bm->flushAll();
    for (int i = 0; i < 4; ++i) {
        fixAndRead(1, 0);
    }
    EXPECT_EQ(EQUALS + "\n" +
                  "Buffer Hit ratio for current transaction is 1\n"
                  "Logical reads this transaction: 4\n"
                  "Physical reads this transaction: 0\n"
                  "Buffer Hit ratio for all transactions is 1\n"
                  "Logical reads all transactions: 4\n"
                  "Physical reads all transactions: 0\n" +
                  EQUALS + "\n",
              dump(false, false, false, true));
}

TEST_F(BufferDumpTest, BmStatsPicksTheDumpByItsFirstWord) {
    const OrvDebugData* entry = OrvDebug::find(OrvDebug::functions(), "BM_STATS");
    ASSERT_NE(nullptr, entry);
    EXPECT_STREQ("", entry->doc);
    ASSERT_NE(nullptr, entry->rstfunc);

    const std::string pages = "pages";
    const std::string lru = "lru";
    const std::string hashmap = "hashmap extra words";
    const std::string ratio = "hitratio";
    const std::string other = "nonsense";
    const std::string empty;
    EXPECT_NE(std::string::npos, runCommand("BM_STATS", &pages).find(" Pages currently"));
    EXPECT_NE(std::string::npos, runCommand("BM_STATS", &lru).find(" Content of the LRU list"));
    EXPECT_NE(std::string::npos,
              runCommand("BM_STATS", &hashmap).find(" Content of the Buffer Pool Hash"));
    for (const std::string* args :
         {&ratio, &other, &empty, static_cast<const std::string*>(nullptr)}) {
        const std::string out = runCommand("BM_STATS", args);
        EXPECT_EQ(0u, out.find(EQUALS + "\nBuffer Hit ratio for current transaction is"));
    }
}

TEST_F(BufferDumpTest, ResetClearsOnlyThisProcesssCounters) {
    makeSegment(1);
    newPage(1, 0, "a");
    fixAndRead(1, 0);
    fixAndRead(1, 0);
    runCommand("BM_STATS", nullptr, true);
    EXPECT_EQ(0u, bm->getLogicalReads());
    EXPECT_EQ(0u, bm->getPhysicalReads());
    EXPECT_EQ(2u, bm->getLogicalReadsAllTransactions());
    EXPECT_NE(std::string::npos,
              runCommand("BM_STATS", nullptr).find("Logical reads this transaction: 0\n"));
}

TEST_F(BufferDumpTest, BmStatsReportsAFailureInsteadOfThrowing) {
    OrvBufferManager::deleteInstance();
    db.cleanup(); // the pool is gone
    testing::internal::CaptureStderr();
    const std::string out = runCommand("BM_STATS", nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("", out);
    EXPECT_NE(std::string::npos, err.find("SQLSTATE=MM"));
    bm = nullptr;
}

TEST_F(BufferDumpTest, ScopedPagesReleaseTheirFixAlsoOnExceptions) {
    makeSegment(2);
    OrvPage* frame = nullptr;
    {
        OrvScopedPage page(2, 0, OrvPage::DataPage, OrvScopedPage::CreateNewPage);
        frame = page.getPage();
        ASSERT_NE(nullptr, frame);
        EXPECT_EQ(1, page->getFixCount());
        EXPECT_EQ(OrvLsn::dummyLSN(), page->getLsn());
        putText(frame, "scoped");
    }
    EXPECT_EQ(0, frame->getFixCount());
    EXPECT_TRUE(frame->isDirty());

    try {
        OrvScopedPage outer(2, 0, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        OrvScopedPage inner(2, 0, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        EXPECT_EQ(2, frame->getFixCount());
        ORV_THROW(ORV_RM_REC_NOT_FOUND);
    } catch (const OrvException& e) {
        EXPECT_EQ(ORV_RM_REC_NOT_FOUND, e.getErrorCode());
    }
    EXPECT_EQ(0, frame->getFixCount());

    // A moved guard hands its fix on.
    {
        OrvScopedPage first(2, 0, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        OrvScopedPage second(std::move(first));
        EXPECT_EQ(nullptr, first.getPage());
        EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { (void)first->getFixCount(); }));
        EXPECT_EQ(1, second->getFixCount());
    }
    EXPECT_EQ(0, frame->getFixCount());
}

// A guard can be re-aimed (move assignment, reset) without leaking a fix,
// and this process's fix count follows every fix and release, whichever way
// it was taken or given back.
TEST_F(BufferDumpTest, ScopedPagesAreReaimedAndThisProcesssFixesCounted) {
    makeSegment(2);
    const Uint32 before = OrvBufferManager::getFixesOfThisProcess();
    EXPECT_EQ(0u, before);
    OrvBufferManager::checkNoFixesOfThisProcess();
    newPage(2, 0, "zero");
    newPage(2, 1, "one");
    EXPECT_EQ(0u, OrvBufferManager::getFixesOfThisProcess());

    OrvScopedPage guard;
    EXPECT_EQ(nullptr, guard.getPage());
    guard.reset(); // nothing to give back
    guard = OrvScopedPage(2, 0, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
    OrvPage* zero = guard.getPage();
    ASSERT_NE(nullptr, zero);
    EXPECT_EQ(1u, OrvBufferManager::getFixesOfThisProcess());
    const OrvException left =
        buffertest::exceptionOf([] { OrvBufferManager::checkNoFixesOfThisProcess(); });
    EXPECT_EQ(ORV_BM_FIXES_LEFT, left.getErrorCode());
    EXPECT_EQ("1", left.getToken(1));

    // Re-aimed: the old fix is given back, the new one taken over.
    guard = OrvScopedPage(2, 1, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
    EXPECT_EQ(0, zero->getFixCount());
    EXPECT_EQ("one", buffertest::textOf(guard.getPage()));
    EXPECT_EQ(1, guard->getFixCount());
    EXPECT_EQ(1u, OrvBufferManager::getFixesOfThisProcess());
    guard.exchange(2, 0, OrvPage::DataPage);
    EXPECT_EQ(1u, OrvBufferManager::getFixesOfThisProcess());
    OrvPage* raw = nullptr;
    bm->getPage(2, 1, OrvPage::DataPage, raw);
    EXPECT_EQ(2u, OrvBufferManager::getFixesOfThisProcess());
    bm->releasePage(raw);

    guard.reset();
    EXPECT_EQ(nullptr, guard.getPage());
    EXPECT_EQ(0, zero->getFixCount());
    EXPECT_EQ(0u, OrvBufferManager::getFixesOfThisProcess());
    OrvBufferManager::checkNoFixesOfThisProcess();

    // A failed fix counts nothing.
    EXPECT_EQ(ORV_BM_PAGE_NOT_FOUND, codeOf([] {
                  OrvScopedPage page(2, 7, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
              }));
    EXPECT_EQ(0u, OrvBufferManager::getFixesOfThisProcess());
}

TEST_F(BufferDumpTest, FailedScopedPagesLeaveNothingFixed) {
    makeSegment(2);
    newPage(2, 0, "there");
    EXPECT_EQ(ORV_BM_PAGE_NOT_FOUND, codeOf([] {
                  OrvScopedPage page(2, 1, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
              }));
    EXPECT_EQ(ORV_BM_PAGETYPE_MISMATCH, codeOf([] {
                  OrvScopedPage page(2, 0, OrvPage::BTreeIndexPage, OrvScopedPage::GetExistingPage);
              }));
    EXPECT_EQ(ORV_BM_PAGE_ALREADY_EXISTS_IN_BUFFER, codeOf([] {
                  OrvScopedPage page(2, 0, OrvPage::DataPage, OrvScopedPage::CreateNewPage);
              }));
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([] {
                  OrvScopedPage page(2, 0, OrvPage::DataPage,
                                     static_cast<OrvScopedPage::Operation>(7));
              }));
    bool inUse = true;
    OrvBufferManager::haveFixedPages(inUse);
    EXPECT_FALSE(inUse);
    EXPECT_EQ("", bm->checkStructure());
}
