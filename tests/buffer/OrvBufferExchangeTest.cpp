// Exchanging a fixed page for the next one under one latch hold, and the cost
// of the hit path: what a fix, release or exchange leaves in the pool, on
// success and on each kind of failure, checked against a model of the fixes.
#include "BufferTestSupport.h"

#include "common/OrvAllocationCounter.h"
#include "support/profiling/Timer.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>
#include <vector>

using buffertest::codeOf;
using buffertest::exceptionOf;
using buffertest::PoolTest;
using buffertest::putText;
using buffertest::recordedCode;
using buffertest::textInFile;
using buffertest::textOf;

namespace {

class BufferExchangeTest : public PoolTest {
protected:
    // Pages 0 .. count-1 of the segment, each with the text "s/p", written
    // to the file and left unfixed in the pool.
    void makePages(SegmentId segment, PageId count) {
        makeSegment(segment);
        for (PageId p = 0; p < count; ++p) {
            newPage(segment, p, name(segment, p));
        }
    }
    static std::string name(SegmentId segment, PageId pageId) {
        return std::to_string(segment) + "/" + std::to_string(pageId);
    }
};

} // namespace

TEST_F(BufferExchangeTest, ExchangeReleasesOneFixAndTakesTheNext) {
    makePages(1, 3);
    OrvPage* page = nullptr;
    bm->getPage(1, 0, OrvPage::DataPage, page);
    OrvPage* first = page;
    const Uint32 reads = bm->getLogicalReads();

    bm->exchangePage(page, 1, 1, OrvPage::DataPage);
    ASSERT_NE(nullptr, page);
    EXPECT_NE(first, page);
    EXPECT_EQ("1/1", textOf(page));
    EXPECT_EQ(1, page->getPageId());
    EXPECT_EQ(1, page->getFixCount());
    EXPECT_EQ(0, first->getFixCount());
    EXPECT_EQ(reads + 1, bm->getLogicalReads()) << "an exchange is one logical read";

    // The page asked for may be the one given back: the fix stays at one.
    OrvPage* same = page;
    bm->exchangePage(page, 1, 1, OrvPage::DataPage);
    EXPECT_EQ(same, page);
    EXPECT_EQ(1, page->getFixCount());

    // A page fixed twice keeps its other fix.
    OrvPage* twice = nullptr;
    bm->getPage(1, 1, OrvPage::DataPage, twice);
    EXPECT_EQ(2, twice->getFixCount());
    bm->exchangePage(page, 1, 2, OrvPage::DataPage);
    EXPECT_EQ(1, twice->getFixCount());
    EXPECT_EQ("1/2", textOf(page));
    bm->releasePage(twice);
    bm->releasePage(page);
    EXPECT_EQ("", bm->checkStructure());
    bool inUse = true;
    OrvBufferManager::haveFixedPages(inUse);
    EXPECT_FALSE(inUse);
}

TEST_F(BufferExchangeTest, FailuresFoundBeforeTheReleaseKeepTheFix) {
    makePages(1, 2);
    OrvPage* page = nullptr;
    bm->getPage(1, 0, OrvPage::DataPage, page);
    OrvPage* held = page;

    OrvPage* none = nullptr;
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { bm->exchangePage(none, 1, 1, OrvPage::DataPage); }));
    OrvPage* inside = reinterpret_cast<OrvPage*>(page->getPageData() + 8);
    EXPECT_EQ(ORV_PARAMETER_FAIL,
              codeOf([&] { bm->exchangePage(inside, 1, 1, OrvPage::DataPage); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { bm->exchangePage(page, 0, 1, OrvPage::DataPage); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL,
              codeOf([&] { bm->exchangePage(page, 1, ORV_INVALID_PAGE_ID, OrvPage::DataPage); }));
    EXPECT_EQ(held, page);
    EXPECT_EQ(1, page->getFixCount());

    // An image whose type was changed while fixed is not given back.
    OrvPage::PageType changed = OrvPage::BTreeIndexPage;
    std::memcpy(page->getPageData() + 4, &changed, sizeof(changed));
    EXPECT_EQ(ORV_BM_PAGETYPE_MISMATCH,
              codeOf([&] { bm->exchangePage(page, 1, 1, OrvPage::DataPage); }));
    EXPECT_EQ(held, page);
    EXPECT_EQ(1, page->getFixCount());
    OrvPage::PageType original = OrvPage::DataPage;
    std::memcpy(page->getPageData() + 4, &original, sizeof(original));

    // A changed page id is given back with the mismatch recorded, as by releasePage.
    PageId otherId = 9;
    std::memcpy(page->getPageData(), &otherId, sizeof(otherId));
    bm->exchangePage(page, 1, 1, OrvPage::DataPage);
    EXPECT_EQ(ORV_BM_PAGEID_MISMATCH, recordedCode());
    EXPECT_EQ(0, held->getFixCount());
    EXPECT_EQ("1/1", textOf(page));
    PageId ownId = 0;
    std::memcpy(held->getPageData(), &ownId, sizeof(ownId));
    bm->releasePage(page);

    // A stale pointer to a frame with no fix: nothing to give back, nothing fixed.
    const Uint32 readsBeforeStale = bm->getLogicalReads();
    OrvPage* stale = held;
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { bm->exchangePage(stale, 1, 1, OrvPage::DataPage); }));
    EXPECT_EQ(held, stale);
    EXPECT_EQ(0, bm->getLogicalReads() - readsBeforeStale);
    EXPECT_EQ(0, held->getFixCount());
    EXPECT_EQ("", bm->checkStructure());
}

TEST_F(BufferExchangeTest, FailuresWhileFixingTheNextPageLeaveTheOldOneReleased) {
    makePages(1, 2);
    makePages(2, 1);
    OrvPage* page = nullptr;
    bm->getPage(1, 0, OrvPage::DataPage, page);
    OrvPage* first = page;

    OrvException missing = exceptionOf([&] { bm->exchangePage(page, 1, 7, OrvPage::DataPage); });
    EXPECT_EQ(ORV_BM_PAGE_NOT_FOUND, missing.getErrorCode());
    EXPECT_EQ(nullptr, page);
    EXPECT_EQ(0, first->getFixCount());
    EXPECT_EQ("", bm->checkStructure());

    bm->getPage(1, 0, OrvPage::DataPage, page);
    EXPECT_EQ(ORV_BM_PAGETYPE_MISMATCH,
              codeOf([&] { bm->exchangePage(page, 1, 1, OrvPage::BTreeIndexPage); }));
    EXPECT_EQ(nullptr, page);
    EXPECT_EQ(0, first->getFixCount());

    bm->getPage(1, 0, OrvPage::DataPage, page);
    bm->dropSegment(2);
    EXPECT_EQ(ORV_BM_SEGMENT_DROPPED,
              codeOf([&] { bm->exchangePage(page, 2, 0, OrvPage::DataPage); }));
    EXPECT_EQ(nullptr, page);
    EXPECT_EQ(0, first->getFixCount());
    bm->rollback();
    EXPECT_EQ("", bm->checkStructure());
    bool inUse = true;
    OrvBufferManager::haveFixedPages(inUse);
    EXPECT_FALSE(inUse);
}

TEST_F(BufferExchangeTest, InAFullPoolTheReleasedFrameIsTheVictimUnlessItIsStillFixed) {
    makePages(1, ORV_BM_NUM_PAGES + 2);
    std::vector<OrvPage*> fixed(ORV_BM_NUM_PAGES, nullptr);
    for (PageId p = 0; p < ORV_BM_NUM_PAGES; ++p) {
        bm->getPage(1, p, OrvPage::DataPage, fixed[p]);
    }
    OrvPage* extra = nullptr;
    EXPECT_EQ(ORV_BM_BUFFER_FULL,
              codeOf([&] { bm->getPage(1, ORV_BM_NUM_PAGES, OrvPage::DataPage, extra); }));

    // Every frame is fixed; the exchange frees one and takes it at once.
    OrvPage* frame = fixed[10];
    bm->exchangePage(fixed[10], 1, ORV_BM_NUM_PAGES, OrvPage::DataPage);
    EXPECT_EQ(frame, fixed[10]);
    EXPECT_EQ(ORV_BM_NUM_PAGES, fixed[10]->getPageId());
    EXPECT_EQ(1, fixed[10]->getFixCount());
    EXPECT_EQ(std::to_string(1) + "/" + std::to_string(ORV_BM_NUM_PAGES), textOf(fixed[10]));
    EXPECT_EQ("", bm->checkStructure());

    // A frame fixed twice stays fixed after the release: the pool stays full,
    // the old fix is given back all the same.
    OrvPage* second = nullptr;
    bm->getPage(1, 20, OrvPage::DataPage, second);
    EXPECT_EQ(fixed[20], second);
    OrvException full =
        exceptionOf([&] { bm->exchangePage(second, 1, ORV_BM_NUM_PAGES + 1, OrvPage::DataPage); });
    EXPECT_EQ(ORV_BM_BUFFER_FULL, full.getErrorCode());
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ(1, fixed[20]->getFixCount());
    EXPECT_EQ("", bm->checkStructure());

    for (OrvPage*& page : fixed) {
        bm->releasePage(page);
    }
    bool inUse = true;
    OrvBufferManager::haveFixedPages(inUse);
    EXPECT_FALSE(inUse);
    EXPECT_EQ("", bm->checkStructure());
}

TEST_F(BufferExchangeTest, ScopedPageExchanges) {
    makePages(1, 3);
    {
        OrvScopedPage scoped(1, 0, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        OrvPage* first = scoped.getPage();
        scoped.exchange(1, 2, OrvPage::DataPage);
        EXPECT_EQ("1/2", textOf(scoped.getPage()));
        EXPECT_EQ(0, first->getFixCount());
        EXPECT_EQ(1, scoped->getFixCount());
        // Before the release: the guard keeps its page.
        EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { scoped.exchange(0, 1, OrvPage::DataPage); }));
        EXPECT_EQ("1/2", textOf(scoped.getPage()));
        // While fixing: the guard holds nothing, and says so.
        OrvPage* last = scoped.getPage();
        EXPECT_EQ(ORV_BM_PAGE_NOT_FOUND, codeOf([&] { scoped.exchange(1, 9, OrvPage::DataPage); }));
        EXPECT_EQ(nullptr, scoped.getPage());
        EXPECT_EQ(0, last->getFixCount());
        EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { scoped.exchange(1, 1, OrvPage::DataPage); }));
    }
    bool inUse = true;
    OrvBufferManager::haveFixedPages(inUse);
    EXPECT_FALSE(inUse);
    EXPECT_EQ("", bm->checkStructure());
}

// Random fixes, releases and exchanges (also of missing pages, and of pages
// that must first be read) checked against a model of the fixes each page holds and
// of the pages' contents; the pool's structure is checked as it goes.
TEST_F(BufferExchangeTest, RandomExchangesMatchAModelOfTheFixes) {
    constexpr PageId PAGES = 1400; // more than the pool: exchanges also miss
    makePages(1, PAGES);
    std::mt19937 random(11);
    std::map<PageId, int> fixes; // the model: fixes held per page
    std::vector<std::pair<OrvPage*, PageId>> held;
    auto expectFixes = [&](PageId pageId, OrvPage* frame) {
        ASSERT_EQ(fixes[pageId], frame->getFixCount()) << "page " << pageId;
    };
    for (int step = 0; step < 6000; ++step) {
        // Mostly in a window of 50 pages, so pages are often fixed more than
        // once; now and then anywhere, or beyond the file.
        const int where = static_cast<int>(random() % 20);
        const PageId pageId = where == 0   ? static_cast<PageId>(PAGES + random() % 5)
                              : where == 1 ? static_cast<PageId>(random() % PAGES)
                                           : static_cast<PageId>(random() % 50);
        const bool exists = pageId < PAGES;
        const int op = static_cast<int>(random() % 10);
        if (op < 3 || held.empty()) {
            OrvPage* page = nullptr;
            const OrvErrorCode rc =
                codeOf([&] { bm->getPage(1, pageId, OrvPage::DataPage, page); });
            if (!exists) {
                ASSERT_EQ(ORV_BM_PAGE_NOT_FOUND, rc);
                ASSERT_EQ(nullptr, page);
                continue;
            }
            ASSERT_EQ(ORV_SUCCESS, rc);
            ++fixes[pageId];
            ASSERT_EQ(name(1, pageId), textOf(page));
            expectFixes(pageId, page);
            held.emplace_back(page, pageId);
        } else if (op < 5) {
            const std::size_t which = random() % held.size();
            const std::pair<OrvPage*, PageId> entry = held[which];
            held.erase(held.begin() + static_cast<long>(which));
            OrvPage* page = entry.first;
            bm->releasePage(page);
            --fixes[entry.second];
            expectFixes(entry.second, entry.first);
        } else {
            const std::size_t which = random() % held.size();
            OrvPage* oldFrame = held[which].first;
            const PageId oldPage = held[which].second;
            OrvPage* page = oldFrame;
            const OrvErrorCode rc =
                codeOf([&] { bm->exchangePage(page, 1, pageId, OrvPage::DataPage); });
            --fixes[oldPage];
            if (!exists) {
                ASSERT_EQ(ORV_BM_PAGE_NOT_FOUND, rc);
                ASSERT_EQ(nullptr, page);
                held.erase(held.begin() + static_cast<long>(which));
                if (fixes[oldPage] > 0) {
                    expectFixes(oldPage, oldFrame);
                }
                continue;
            }
            ASSERT_EQ(ORV_SUCCESS, rc);
            ++fixes[pageId];
            ASSERT_EQ(name(1, pageId), textOf(page));
            expectFixes(pageId, page);
            if (fixes[oldPage] > 0) {
                expectFixes(oldPage, oldFrame);
            }
            held[which] = std::make_pair(page, pageId);
        }
        if (held.size() > 300) {
            for (std::size_t i = 0; i < 150; ++i) {
                OrvPage* page = held.back().first;
                --fixes[held.back().second];
                bm->releasePage(page);
                held.pop_back();
            }
        }
        if (step % 300 == 0) {
            ASSERT_EQ("", bm->checkStructure()) << "step " << step;
        }
    }
    for (auto& entry : held) {
        bm->releasePage(entry.first);
    }
    ASSERT_EQ("", bm->checkStructure());
    bool inUse = true;
    OrvBufferManager::haveFixedPages(inUse);
    EXPECT_FALSE(inUse);
}

// The hit path runs on every record and index access: a fix, release or
// exchange of a page in the pool must not allocate.
TEST_F(BufferExchangeTest, HitsAndExchangesAllocateNothing) {
    support::profiling::Timer::setTimingRequested(false);
    makePages(1, 4);
    auto work = [&] {
        OrvPage* page = nullptr;
        bm->getPage(1, 0, OrvPage::DataPage, page);
        for (PageId p = 1; p < 4; ++p) {
            bm->exchangePage(page, 1, p, OrvPage::DataPage);
        }
        bm->releasePage(page);
        OrvScopedPage scoped(1, 0, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        scoped.exchange(1, 1, OrvPage::DataPage);
    };
    work();
    const long before = orvtest::allocationCount;
    for (int i = 0; i < 50; ++i) {
        work();
    }
    EXPECT_EQ(before, orvtest::allocationCount);
    EXPECT_EQ("", bm->checkStructure());
    // With timing asked for, the timers run and the same work still allocates nothing.
    support::profiling::Timer::setTimingRequested(true);
    work();
    const long timed = orvtest::allocationCount;
    work();
    EXPECT_EQ(timed, orvtest::allocationCount);
    EXPECT_NE(std::string::npos, bm->getProfilerXML().find("GetPageTime"));
    support::profiling::Timer::clearTimingRequest();
}
