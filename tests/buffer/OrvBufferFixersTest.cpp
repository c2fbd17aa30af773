// The pool's record of which process holds which fixes: random fixes,
// exchanges and releases checked against a model and against the frames'
// counts, more frames than a slot records, and the fixes of a process that
// was killed given back without touching those of the living.
#include "BufferTestSupport.h"
#include "common/OrvTestSync.h"

#include "buffer/OrvBufferPool.h"
#include "buffer/OrvBufferPoolCheck.h"
#include "support/OrvMemoryManager.h"
#include "support/OrvProcessIdentity.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <random>
#include <vector>

using orvtest::ChildProcess;
using orvtest::Pipe;

namespace {

constexpr SegmentId SEGMENT = 3;
constexpr PageId PAGES = 120;

class BufferFixersTest : public ::testing::Test {
protected:
    void SetUp() override {
        OrvBufferManager::initializeBuffer();
        OrvBufferManager* bm = OrvBufferManager::getInstance();
        bm->createSegment(SEGMENT);
        bm->openSegment(SEGMENT);
        for (PageId p = 0; p < PAGES; ++p) {
            OrvPage* page = nullptr;
            bm->getNewPage(SEGMENT, p, OrvPage::DataPage, page);
            buffertest::putText(page, "page " + std::to_string(p));
            bm->releasePage(page);
        }
        bm->commit();
        bm->flushAll();
    }
    void TearDown() override {
        OrvBufferManager::deleteInstance();
        OrvFileManager::deleteInstance();
    }
    static OrvBufferPoolLayout* pool() {
        return static_cast<OrvBufferPoolLayout*>(
            OrvMemoryManager::getMemoryManager()->attachedData(OrvMemoryManager::BufferPool));
    }
    static const OrvBufferFixer* slotOf(const OrvProcessIdentity& process) {
        for (const OrvBufferFixer& fixer : pool()->fixers) {
            if (fixer.pid == process.pid && fixer.startTime == process.startTime) {
                return &fixer;
            }
        }
        return nullptr;
    }
    static int frameOf(const OrvPage* page) { return static_cast<int>(page - pool()->frames); }
    static std::string check(bool complete) {
        return OrvBufferPoolCheck::checkFixers(pool()->fixers, pool()->frames, complete);
    }

    orvtest::TestDatabase db;
};

TEST_F(BufferFixersTest, RecordFollowsRandomFixesExchangesAndReleases) {
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    std::mt19937 random(20);
    std::vector<OrvPage*> held;
    for (int step = 0; step < 3000; ++step) {
        const unsigned what = random() % 10;
        if (what < 4 || held.empty()) {
            OrvPage* page = nullptr;
            bm->getPage(SEGMENT, static_cast<PageId>(random() % 40), OrvPage::DataPage, page);
            held.push_back(page);
        } else if (what < 6) {
            bm->exchangePage(held[random() % held.size()], SEGMENT,
                             static_cast<PageId>(random() % 40), OrvPage::DataPage);
        } else {
            const std::size_t i = random() % held.size();
            bm->releasePage(held[i]);
            held.erase(held.begin() + static_cast<long>(i));
        }
        if (held.size() > 30) {
            for (OrvPage*& page : held) {
                bm->releasePage(page);
            }
            held.clear();
        }
        if (step % 50 == 0 || step == 2999) {
            std::map<int, Uint32> model;
            for (OrvPage* page : held) {
                ++model[frameOf(page)];
            }
            const OrvBufferFixer* mine = slotOf(OrvProcessIdentity::self());
            ASSERT_NE(nullptr, mine);
            std::map<int, Uint32> recorded;
            for (Uint32 j = 0; j < mine->used; ++j) {
                recorded[mine->fixes[j].frame] += mine->fixes[j].count;
            }
            ASSERT_EQ(model, recorded) << "step " << step;
            ASSERT_EQ("", check(true)) << "step " << step;
        }
    }
    for (OrvPage*& page : held) {
        bm->releasePage(page);
    }
    EXPECT_EQ(0u, slotOf(OrvProcessIdentity::self())->used);
}

TEST_F(BufferFixersTest, FixesBeyondTheSlotAreCountedAndGiveBack) {
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    std::vector<OrvPage*> held(PAGES, nullptr);
    for (PageId p = 0; p < PAGES; ++p) {
        bm->getPage(SEGMENT, p, OrvPage::DataPage, held[p]);
    }
    const OrvBufferFixer* mine = slotOf(OrvProcessIdentity::self());
    ASSERT_NE(nullptr, mine);
    EXPECT_EQ(ORV_BM_FIXES_PER_FIXER, mine->used);
    EXPECT_EQ(PAGES - ORV_BM_FIXES_PER_FIXER, mine->untracked);
    EXPECT_EQ("", check(false));
    EXPECT_NE("", check(true));
    for (OrvPage*& page : held) {
        bm->releasePage(page);
    }
    EXPECT_EQ(0u, mine->used);
    EXPECT_EQ(0u, mine->untracked);
    EXPECT_EQ("", check(true));
}

TEST_F(BufferFixersTest, FixesOfAKilledProcessAreGivenBackAndOthersStay) {
    OrvBufferManager::deleteInstance();
    OrvFileManager::deleteInstance();
    Pipe ready;
    ChildProcess fixer([&]() -> int {
        OrvBufferManager* bm = OrvBufferManager::getInstance();
        bm->openSegment(SEGMENT);
        for (PageId p = 0; p < 10; ++p) {
            OrvPage* page = nullptr;
            bm->getPage(SEGMENT, p, OrvPage::DataPage, page);
            if (p % 3 == 0) {
                bm->getPage(SEGMENT, p, OrvPage::DataPage, page);
            }
        }
        ready.send();
        for (;;) {
            pause();
        }
    });
    ASSERT_TRUE(ready.receive());
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    bm->openSegment(SEGMENT);
    OrvPage* mine = nullptr;
    bm->getPage(SEGMENT, 3, OrvPage::DataPage, mine);

    // While it lives, nothing of it is given back.
    EXPECT_EQ(0u, OrvBufferManager::releaseFixesOfDeadProcesses());
    fixer.kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, fixer.wait());
    EXPECT_EQ(14u, OrvBufferManager::releaseFixesOfDeadProcesses());
    EXPECT_EQ(1u, mine->getFixCount());
    EXPECT_EQ("", check(true));
    bool fixed = false;
    OrvBufferManager::haveFixedPages(fixed);
    EXPECT_TRUE(fixed);
    bm->releasePage(mine);
    OrvBufferManager::haveFixedPages(fixed);
    EXPECT_FALSE(fixed);
    EXPECT_EQ("", bm->checkStructure());
}

} // namespace
