// Random sequences of requests, releases, scoped locks, escalations and
// releaseAll of one process, in a list that another process has filled up to
// a few free entries, so that requests escalate often. After every step the
// list's structure and the process's record of its own entries are checked
// against the list, and a granted lock must be covered by that record.
#include "LockTestSupport.h"

#include <cstdio>
#include <random>

using namespace locktest;
using orvtest::ChildProcess;
using orvtest::Pipe;

namespace {

constexpr Uint32 FREE_ENTRIES = 16;
constexpr int STEPS = 800;
// The checks after every step read the whole list: the sequence takes a
// while, longer under the sanitizers.
constexpr int FILLER_WAIT_MS = 250000;

struct Resource {
    SegmentId segment;
    PageId page;
    SlotId slot;
};

} // namespace

TEST_F(LockListTest, OwnRecordMatchesTheListThroughRandomRequestsReleasesAndEscalations) {
    Pipe filled, end;
    // Another transaction: a shared slot lock in segment 3 (so that an
    // exclusive escalation there is refused), and intention entries on
    // pages of segments 10 to 99 (spread over the buckets) until only a few
    // entries are free.
    ChildProcess filler(transaction([&](LM& lm) {
        lm.requestSlot(3, 0, 0, LM::SharedLock);
        for (Uint32 k = 0; view->count() < LM::MAX_ENTRY - FREE_ENTRIES; ++k) {
            lm.requestIntentionalOnPage(static_cast<SegmentId>(10 + k % 90),
                                        static_cast<PageId>(k / 90), LM::SharedLock);
        }
        filled.send();
        return end.receive(FILLER_WAIT_MS) ? 0 : 1;
    }));
    ASSERT_TRUE(filled.receive());

    LM& lm = *LM::getInstance();
    std::mt19937 random(20261208);
    const auto pick = [&random](Uint32 n) { return static_cast<Uint32>(random() % n); };
    std::vector<Resource> requested;
    std::vector<std::unique_ptr<OrvScopedLock>> scoped;
    Uint32 escalations = 0;
    Uint32 refusedFull = 0;
    Uint32 granted = 0;

    for (int step = 0; step < STEPS && !HasFailure(); ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const Uint32 what = pick(100);
        const Resource r{static_cast<SegmentId>(3 + pick(2)), static_cast<PageId>(pick(6)),
                         static_cast<SlotId>(pick(6))};
        const Uint32 level = pick(10); // 0: segment, 1-3: page, 4-9: slot
        const PageId page = level == 0 ? LM::NO_PAGE : r.page;
        const SlotId slot = level < 4 ? LM::NO_SLOT : r.slot;
        const LM::LockType type = pick(3) == 0 ? LM::ExclusiveLock : LM::SharedLock;
        const bool force = pick(8) == 0;
        const Uint32 before = view->count();

        if (what < 50) {
            bool ok = false;
            const OrvErrorCode code = codeOf([&] {
                ok = level == 0  ? lm.tryRequestSegment(r.segment, type, force)
                     : level < 4 ? lm.tryRequestPage(r.segment, page, type, force)
                                 : lm.tryRequestSlot(r.segment, page, slot, type, force);
            });
            ASSERT_TRUE(code == ORV_SUCCESS || code == ORV_LM_LOCK_LIST_FULL) << code;
            if (code == ORV_LM_LOCK_LIST_FULL) {
                ++refusedFull;
                EXPECT_EQ(before, view->count()) << "a refused request left entries";
            } else if (ok) {
                ++granted;
                requested.push_back({r.segment, page, slot});
                EXPECT_TRUE(OrvLockList::coveredByOwnRecord(lm, type, r.segment, page, slot));
                escalations += view->count() < before ? 1 : 0;
            }
        } else if (what < 62 && !requested.empty()) {
            const Uint32 i = pick(static_cast<Uint32>(requested.size()));
            const Resource held = requested[i];
            requested.erase(requested.begin() + i);
            const OrvErrorCode code = codeOf([&] {
                if (held.page == LM::NO_PAGE) {
                    lm.releaseSegment(held.segment);
                } else if (held.slot == LM::NO_SLOT) {
                    lm.releasePage(held.segment, held.page);
                } else {
                    lm.releaseSlot(held.segment, held.page, held.slot);
                }
            });
            // A covered request inserted nothing that could be released.
            EXPECT_TRUE(code == ORV_SUCCESS || code == ORV_LM_NO_SUCH_ENTRY) << code;
        } else if (what < 80) {
            const OrvErrorCode code = codeOf([&] {
                std::unique_ptr<OrvScopedLock> lock;
                if (level == 0) {
                    lock.reset(new OrvScopedLock(r.segment, type, force, true));
                } else if (level < 4) {
                    lock.reset(new OrvScopedLock(r.segment, page, type, force, true));
                } else {
                    lock.reset(new OrvScopedLock(r.segment, page, slot, type, force, true));
                }
                scoped.push_back(std::move(lock));
            });
            ASSERT_TRUE(code == ORV_SUCCESS || code == ORV_LM_LOCK_LIST_FULL) << code;
        } else if (what < 92 && !scoped.empty()) {
            // Scoped locks end in any order; each gives back its own entry.
            const Uint32 i = pick(static_cast<Uint32>(scoped.size()));
            scoped.erase(scoped.begin() + i);
            EXPECT_EQ(ORV_SUCCESS, OrvGetErrorCode());
        } else if (what < 96) {
            scoped.clear();
            lm.releaseAll();
            requested.clear();
            EXPECT_EQ(LM::MAX_ENTRY - FREE_ENTRIES, view->count());
        } else if (what < 98) {
            // The next transaction of the process (whose requests would
            // wait for the earlier one's entries: those go first).
            scoped.clear();
            lm.releaseAll();
            requested.clear();
            ASSERT_EQ(ORV_SUCCESS, OrvTransactionManager::getInstance()->startNewTransaction());
        }

        const std::vector<std::string> structure = view->problems();
        ASSERT_TRUE(structure.empty()) << structure.front();
        const std::vector<std::string> record = OrvLockList::checkOwnRecord(lm);
        ASSERT_TRUE(record.empty()) << record.front();
    }
    std::printf("%u granted, %u escalations, %u refused as full\n", granted, escalations,
                refusedFull);
    // The sequence exercised what it is meant to.
    EXPECT_GT(granted, 100u);
    EXPECT_GT(escalations, 5u);
    EXPECT_GT(refusedFull, 5u);

    scoped.clear();
    LM::deleteInstance();
    EXPECT_EQ(LM::MAX_ENTRY - FREE_ENTRIES, view->count());
    end.send();
    EXPECT_EQ(0, filler.wait());
    EXPECT_EQ(0u, view->count());
}
