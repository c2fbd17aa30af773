// The index manager and its scans: what each operation refuses before it
// changes anything, which entries remove and update touch, and a model
// test of transactions that commit or roll back (drops included) against
// the committed state, with the page images a rollback must give back.
#include "IndexTestSupport.h"
#include "OrvEngineTest.h"

#include "OrvIndexManager.h"

#include <map>
#include <random>
#include <set>

namespace {

using namespace indextest;
using IM = OrvIndexManager;

constexpr IndexId OTHER = 5;

class IndexManagerTest : public orvtest::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        im = IM::getInstance();
    }

    // Every entry of the index, in scan order.
    std::vector<std::pair<Sint32, TupleId>> scan(IndexId id, const OrvIndexKey* start = nullptr,
                                                 const OrvIndexKey* stop = nullptr) {
        OrvIndexIterator* raw = nullptr;
        im->findRange(id, start, stop, raw);
        std::unique_ptr<OrvIndexIterator> it(raw);
        std::vector<std::pair<Sint32, TupleId>> out;
        TupleId tid;
        while (it->hasNext()) {
            EXPECT_EQ(ORV_SUCCESS, it->getNextTupleId(tid));
            out.emplace_back(0, tid);
        }
        EXPECT_EQ(ORV_NOT_FOUND_WARN, it->getNextTupleId(tid));
        return out;
    }

    static TupleId tidOf(int n) { return TupleId(PageId(1 + n / 200), SlotId(n % 200)); }

    std::map<PageId, std::string> images(SegmentId segment) {
        std::map<PageId, std::string> pages;
        const PageId last = OrvIndexFreeSpaceInventory::getInstance()->getLastPageId(segment);
        for (PageId p = 1; p <= last; ++p) {
            pages[p] = pageBytes(segment, p);
        }
        return pages;
    }

    IM* im = nullptr;
};

TEST_F(IndexManagerTest, RefusalsComeBeforeAnyChange) {
    // A refused index type leaves no segment behind: the index can be made
    // afterwards.
    EXPECT_EQ(ORV_IM_NOT_IMPL_HASH,
              codeOf([&] { im->createIndex(TEST_INDEX, true, Hash, INTEGER); }));
    EXPECT_EQ(ORV_IM_INDEXTYPE_NOT_VALID,
              codeOf([&] { im->createIndex(TEST_INDEX, true, UnknownIndexType, INTEGER); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL,
              codeOf([&] { im->createIndex(TEST_INDEX, true, BTree, UnknownDataType); }));
    im->createIndex(TEST_INDEX, true, BTree, INTEGER);
    EXPECT_EQ(ORV_IM_INDEX_ALREADY_EXISTS,
              codeOf([&] { im->createIndex(TEST_INDEX, true, BTree, INTEGER); }));
    im->insert(TEST_INDEX, key(4), tidOf(4));
    commit();

    // Another process's manager: nothing is open there until openIndex, and
    // a drop of an index it has not opened leaves the segment alone.
    IM::deleteInstance();
    im = IM::getInstance();
    TupleId found;
    EXPECT_EQ(ORV_IM_INDEX_NOT_OPENED, codeOf([&] { im->find(TEST_INDEX, key(4), found); }));
    EXPECT_EQ(ORV_IM_INDEX_NOT_OPENED, codeOf([&] { im->dropIndex(TEST_INDEX); }));
    commit();
    im->openIndex(TEST_INDEX, true, BTree, INTEGER);
    im->find(TEST_INDEX, key(4), found);
    EXPECT_EQ(tidOf(4), found);
    EXPECT_EQ(ORV_NOT_FOUND_WARN, codeOf([&] { im->find(TEST_INDEX, key(5), found); }));

    // A null tuple id in update changes nothing.
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { im->update(TEST_INDEX, key(4), key(6), nullptr); }));
    im->find(TEST_INDEX, key(4), found);
    EXPECT_EQ(tidOf(4), found);
    // A taken new key in a unique index leaves the old entry.
    im->insert(TEST_INDEX, key(8), tidOf(8));
    const TupleId four = tidOf(4);
    EXPECT_EQ(ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX,
              codeOf([&] { im->update(TEST_INDEX, key(4), key(8), &four); }));
    im->find(TEST_INDEX, key(4), found);
    EXPECT_EQ(four, found);
    im->update(TEST_INDEX, key(4), key(5), &four);
    im->find(TEST_INDEX, key(5), found);
    EXPECT_EQ(four, found);
    EXPECT_EQ(ORV_NOT_FOUND_WARN, codeOf([&] { im->find(TEST_INDEX, key(4), found); }));
    commit();
}

TEST_F(IndexManagerTest, RemoveWithATupleIdRemovesOnlyThatEntry) {
    im->createIndex(TEST_INDEX, false, BTree, INTEGER);
    // A run of equal keys over several leaves, between other keys.
    for (int n = 0; n < 1200; ++n) {
        im->insert(TEST_INDEX, key(n % 3 == 0 ? 500 : n), tidOf(n));
    }
    commit();
    const OrvIndexKey k500 = key(500);
    const auto before = scan(TEST_INDEX, &k500, &k500);
    ASSERT_EQ(400u + 1u, before.size()); // n = 500 itself is not a multiple of 3
    // The last entry of the run lies leaves away from the first.
    const TupleId last = tidOf(1197);
    im->remove(TEST_INDEX, k500, &last);
    const TupleId absent = tidOf(1);
    im->remove(TEST_INDEX, k500, &absent); // silent
    const auto after = scan(TEST_INDEX, &k500, &k500);
    ASSERT_EQ(before.size() - 1, after.size());
    for (const auto& entry : after) {
        EXPECT_FALSE(entry.second == last);
    }
    im->remove(TEST_INDEX, k500, nullptr);
    EXPECT_TRUE(scan(TEST_INDEX, &k500, &k500).empty());
    EXPECT_EQ(1200u - 401u, scan(TEST_INDEX).size());
    commit();
    const auto problems =
        orvCheckIndexTree(OrvBufferManager::getInstance()->convertIndexIdToSegmentId(TEST_INDEX));
    EXPECT_TRUE(problems.empty());
}

TEST_F(IndexManagerTest, RangesYieldTheTupleIdsOfTheirKeysInOrder) {
    im->createIndex(TEST_INDEX, true, BTree, INTEGER);
    for (int n = 1000; n >= 1; --n) {
        im->insert(TEST_INDEX, key(n), tidOf(n));
    }
    commit();
    const OrvIndexKey low = key(10);
    const OrvIndexKey high = key(20);
    const auto range = scan(TEST_INDEX, &low, &high);
    ASSERT_EQ(11u, range.size());
    for (int n = 10; n <= 20; ++n) {
        EXPECT_EQ(tidOf(n), range[static_cast<std::size_t>(n - 10)].second);
    }
    const auto all = scan(TEST_INDEX);
    ASSERT_EQ(1000u, all.size());
    for (int n = 1; n <= 1000; ++n) {
        EXPECT_EQ(tidOf(n), all[static_cast<std::size_t>(n - 1)].second);
    }
    // A scan whose descent fails is refused, not handed out as empty.
    OrvIndexKey wrongType = key(5);
    wrongType.dataType = UnknownDataType;
    OrvIndexIterator* refused = nullptr;
    EXPECT_EQ(ORV_PARAMETER_FAIL,
              codeOf([&] { im->findRange(TEST_INDEX, &wrongType, nullptr, refused); }));
    EXPECT_EQ(nullptr, refused);
    const OrvIndexKey above = key(1001);
    EXPECT_TRUE(scan(TEST_INDEX, &above).empty());
    const OrvIndexKey tail = key(990);
    EXPECT_EQ(11u, scan(TEST_INDEX, &tail).size());
    OrvIndexKey first;
    OrvIndexKey lastKey;
    TupleId tid;
    im->findFirstKey(TEST_INDEX, first, tid);
    EXPECT_EQ(1, first.intKey);
    im->findLastKey(TEST_INDEX, lastKey, tid);
    EXPECT_EQ(1000, lastKey.intKey);

    // A scan that stands on a leaf holds its fix: the transaction cannot end
    // until the scan gives it back; it then goes on where it stood.
    OrvIndexIterator* raw = nullptr;
    im->findRange(TEST_INDEX, &low, nullptr, raw);
    std::unique_ptr<OrvIndexIterator> it(raw);
    ASSERT_TRUE(it->hasNext());
    ASSERT_EQ(ORV_SUCCESS, it->getNextTupleId(tid));
    EXPECT_EQ(ORV_BM_FIXES_LEFT, codeOf([] { OrvBufferManager::checkNoFixesOfThisProcess(); }));
    it->releasePage();
    OrvBufferManager::checkNoFixesOfThisProcess();
    ASSERT_TRUE(it->hasNext());
    ASSERT_EQ(ORV_SUCCESS, it->getNextTupleId(tid));
    EXPECT_EQ(tidOf(11), tid);
    EXPECT_EQ(ORV_SUCCESS, it->reset());
    ASSERT_EQ(ORV_SUCCESS, it->getNextTupleId(tid));
    EXPECT_EQ(tidOf(10), tid);
    it.reset();
    commit();
}

// Random inserts, removes and updates in transactions that commit or roll
// back, against the committed state; a rolled back transaction must leave
// every page that existed before it byte for byte as it was (LSN aside),
// splits included. Some transactions drop the index (or make, fill and drop
// a second one) and roll back.
TEST_F(IndexManagerTest, RollbackGivesBackExactlyThePagesBeforeIt) {
    im->createIndex(TEST_INDEX, false, BTree, INTEGER);
    commit();
    const SegmentId segment =
        OrvBufferManager::getInstance()->convertIndexIdToSegmentId(TEST_INDEX);
    std::multimap<Sint32, int> committed;
    std::mt19937 random(20261208);
    int nextTid = 0;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const bool rollBack = random() % 2 == 0;
        const int what = static_cast<int>(random() % 10);
        const std::map<PageId, std::string> before = images(segment);
        std::multimap<Sint32, int> working = committed;
        const int ops = 1 + static_cast<int>(random() % (round % 5 == 0 ? 1500 : 200));
        for (int k = 0; k < ops; ++k) {
            const int op = static_cast<int>(random() % 10);
            if (working.empty() || op < 6) {
                const Sint32 value = static_cast<Sint32>(random() % 2000);
                const int n = nextTid++;
                im->insert(TEST_INDEX, key(value), tidOf(n));
                working.emplace(value, n);
                continue;
            }
            auto it = working.begin();
            std::advance(it, static_cast<long>(random() % working.size()));
            const TupleId tid = tidOf(it->second);
            if (op < 8) {
                im->remove(TEST_INDEX, key(it->first), &tid);
                working.erase(it);
            } else {
                const Sint32 value = static_cast<Sint32>(random() % 2000);
                im->update(TEST_INDEX, key(it->first), key(value), &tid);
                const int n = it->second;
                working.erase(it);
                working.emplace(value, n);
            }
        }
        if (rollBack && what < 2) {
            im->dropIndex(TEST_INDEX);
        }
        if (rollBack && what == 2) {
            im->createIndex(OTHER, true, BTree, INTEGER);
            for (int n = 0; n < 600; ++n) {
                im->insert(OTHER, key(n), tidOf(n));
            }
            im->dropIndex(OTHER);
        }
        if (rollBack) {
            OrvClientTransaction::rollback();
            const std::map<PageId, std::string> after = images(segment);
            for (const auto& [page, bytes] : before) {
                EXPECT_TRUE(after.at(page) == bytes) << "page " << page << " differs";
            }
        } else {
            commit();
            committed = working;
        }
        ASSERT_TRUE(im->isOpen(TEST_INDEX));
        EXPECT_FALSE(im->isOpen(OTHER));
        const std::vector<std::string> problems = orvCheckIndexTree(segment);
        ASSERT_TRUE(problems.empty()) << problems.front();
        // The scan in key order against the model (equal keys in any order).
        std::multimap<Sint32, int> seen;
        OrvIndexIterator* raw = nullptr;
        im->findRange(TEST_INDEX, nullptr, nullptr, raw);
        std::unique_ptr<OrvIndexIterator> scanIt(raw);
        TupleId tid;
        std::vector<TupleId> order;
        while (scanIt->hasNext()) {
            ASSERT_EQ(ORV_SUCCESS, scanIt->getNextTupleId(tid));
            order.push_back(tid);
        }
        scanIt.reset();
        std::vector<TupleId> expected;
        for (const auto& [value, n] : committed) {
            expected.push_back(tidOf(n));
        }
        ASSERT_EQ(expected.size(), order.size());
        // Within a run of equal keys the order is the tree's: compare the
        // runs as sets.
        auto run = committed.begin();
        std::size_t at = 0;
        while (run != committed.end()) {
            const auto end = committed.upper_bound(run->first);
            std::set<std::pair<PageId, SlotId>> want;
            std::set<std::pair<PageId, SlotId>> got;
            for (auto e = run; e != end; ++e, ++at) {
                const TupleId w = tidOf(e->second);
                want.insert({w.page, w.slot});
                got.insert({order[at].page, order[at].slot});
            }
            ASSERT_EQ(want, got) << "key " << run->first;
            run = end;
        }
        commit();
        // The second index is gone with its transaction.
        EXPECT_EQ(ORV_FM_FILE_NOT_FOUND, codeOf([&] {
                      OrvBufferManager::getInstance()->openSegment(
                          OrvBufferManager::getInstance()->convertIndexIdToSegmentId(OTHER));
                  }));
    }
    OrvIndexTreeShape shape;
    (void)orvCheckIndexTree(segment, shape);
    EXPECT_GE(shape.height, 2u);
}

} // namespace
