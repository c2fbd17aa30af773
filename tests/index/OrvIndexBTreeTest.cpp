// The tree operations: splits up to the root at page 1, equal keys across
// leaves, a model test against std::multimap with the structure checker,
// and several processes on one index.
#include "IndexTestSupport.h"

#include "OrvTestSync.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <set>

namespace {

using namespace indextest;

TupleId tidOf(Uint32 n) {
    return TupleId(static_cast<PageId>(1 + n % 60000), static_cast<SlotId>(n % 251));
}

std::vector<std::pair<Sint32, TupleId>> scan(OrvIndexBTree& tree, const OrvIndexKey* start,
                                             const OrvIndexKey* stop) {
    std::vector<std::pair<Sint32, TupleId>> seen;
    tree.findRange(start, stop, [&](Sint32 value, const TupleId& tid) {
        seen.emplace_back(value, tid);
        return true;
    });
    return seen;
}

using IndexTreeTest = IndexTest;

// The first split of the lone root leaf, then splits of leaves and nodes up
// to a tree of height 3: the root never leaves page 1.
TEST_F(IndexTreeTest, SplitsGrowTheTreeUnderARootThatStaysAtPageOne) {
    // Calls the tree refuses before it touches a page.
    TupleId none;
    EXPECT_EQ(ORV_IM_INDEX_NOT_OPENED, codeOf([&] { tree.find(TEST_INDEX, key(1), none); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL,
              codeOf([&] { tree.openTree(TEST_INDEX, UnknownDataType, true); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { tree.openTree(16385, INTEGER, true); }));
    start(true);
    OrvIndexKey text;
    text.dataType = VARCHAR;
    text.varcharKey = const_cast<char*>("seven");
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { tree.insertKey(text, none); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { tree.deleteKey(text); }));
    OrvIndexKey firstKey;
    TupleId firstTid;
    EXPECT_EQ(ORV_NOT_FOUND_WARN, tree.findFirstKey(TEST_INDEX, firstKey, firstTid));
    // A fresh index: the inventory and the empty root leaf.
    EXPECT_EQ(1, OrvIndexFreeSpaceInventory::getInstance()->getLastPageId(segment));

    for (Sint32 k = 0; k < 509; ++k) {
        ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(k * 2), tidOf(Uint32(k))));
    }
    EXPECT_EQ(1u, shape().height);
    // The 510th key splits the root: the upper 255 entries go to page 2,
    // the lower 254 to page 3, and page 1 becomes the node above them.
    ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(2 * 253 - 1), tidOf(9999)));
    {
        std::unique_ptr<OrvIndexTreePage> root = OrvIndexTreePage::get(segment, 1, INTEGER);
        ASSERT_FALSE(root->isLeaf());
        const OrvIndexPageView view = root->view();
        EXPECT_EQ(3, view.firstChild());
        ASSERT_EQ(1, view.numElements());
        EXPECT_EQ(2 * 253, view.valueAt(0));
        EXPECT_EQ(2, view.childAt(0));
        std::unique_ptr<OrvIndexTreePage> left = OrvIndexTreePage::get(segment, 3, INTEGER);
        std::unique_ptr<OrvIndexTreePage> right = OrvIndexTreePage::get(segment, 2, INTEGER);
        // A key below the left half's last value goes to the left half.
        EXPECT_EQ(255, left->numElements());
        EXPECT_EQ(255, right->numElements());
        EXPECT_EQ(2, left->nextId());
        EXPECT_EQ(0, left->prevId());
        EXPECT_EQ(3, right->prevId());
        EXPECT_EQ(0, right->nextId());
        EXPECT_EQ(2 * 254, right->getValueAt(0).intKey);
    }
    expectSound();
    commit();

    // Height 3 takes more than 508 leaves under the root.
    Uint32 n = 510;
    for (Sint32 k = 0; shape().height < 3; ++k) {
        for (int i = 0; i < 5000; ++i, ++n) {
            ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(2000 + Sint32(n)), tidOf(n)));
        }
        commit();
    }
    const OrvIndexTreeShape grown = shape();
    EXPECT_EQ(3u, grown.height);
    EXPECT_EQ(n, grown.entries);
    expectSound();
    {
        std::unique_ptr<OrvIndexTreePage> root = OrvIndexTreePage::get(segment, 1, INTEGER);
        EXPECT_FALSE(root->isLeaf());
        EXPECT_EQ(1, root->numElements());
    }
    TupleId tid;
    for (Uint32 k = 510; k < n; k += 97) {
        ASSERT_EQ(ORV_SUCCESS, tree.find(TEST_INDEX, key(2000 + Sint32(k)), tid)) << k;
        EXPECT_EQ(tidOf(k), tid);
    }
    EXPECT_EQ(ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX, tree.insertKey(key(2000 + 777), tidOf(1)));
    EXPECT_EQ(n, shape().entries);
    EXPECT_EQ(ORV_SUCCESS, tree.findFirstKey(TEST_INDEX, firstKey, tid));
    EXPECT_EQ(0, firstKey.intKey);
    EXPECT_EQ(ORV_SUCCESS, tree.findLastKey(TEST_INDEX, firstKey, tid));
    EXPECT_EQ(2000 + Sint32(n) - 1, firstKey.intKey);
    commit();
}

// Runs of equal keys in a non-unique index: 1 and then hundreds of sevens
// fill leaves whose separators are all equal; later sevens and eights must
// not cut the left subtrees off, and searches go on along the leaf chain
// when the copies in the leaf the descent reaches are gone.
TEST_F(IndexTreeTest, EqualKeysStayFindableAcrossLeaves) {
    start(false);
    Uint32 n = 0;
    ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(1), tidOf(n++)));
    std::vector<TupleId> sevens;
    for (int i = 0; i < 3000; ++i) {
        sevens.push_back(tidOf(n));
        ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(7), tidOf(n++)));
        if (i % 3 == 0) {
            ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(8), tidOf(n++)));
        }
    }
    expectSound();
    EXPECT_GE(shape().leaves, 7u);
    TupleId tid;
    ASSERT_EQ(ORV_SUCCESS, tree.find(TEST_INDEX, key(1), tid));
    EXPECT_EQ(tidOf(0), tid);
    // Every seven, one by one by its tuple id: the later ones lie in leaves
    // to the right of the one the descent reaches, whose copies go first.
    std::vector<std::pair<Sint32, TupleId>> all = scan(tree, nullptr, nullptr);
    std::vector<TupleId> inOrder;
    for (const auto& entry : all) {
        if (entry.first == 7) {
            inOrder.push_back(entry.second);
        }
    }
    ASSERT_EQ(sevens.size(), inOrder.size());
    for (std::size_t i = 0; i < inOrder.size(); ++i) {
        ASSERT_EQ(ORV_SUCCESS, tree.find(TEST_INDEX, key(7), tid)) << i;
        EXPECT_EQ(inOrder[i], tid);
        ASSERT_EQ(ORV_SUCCESS, tree.deleteKey(TEST_INDEX, key(7), &inOrder[i])) << i;
    }
    EXPECT_EQ(ORV_NOT_FOUND_WARN, tree.find(TEST_INDEX, key(7), tid));
    EXPECT_EQ(ORV_NOT_FOUND_WARN, tree.deleteKey(TEST_INDEX, key(7), &inOrder[0]));
    ASSERT_EQ(ORV_SUCCESS, tree.find(TEST_INDEX, key(8), tid));
    expectSound();
    // Empty leaves at both edges are stepped over.
    tree.deleteKey(key(1));
    OrvIndexKey edge;
    ASSERT_EQ(ORV_SUCCESS, tree.findFirstKey(TEST_INDEX, edge, tid));
    EXPECT_EQ(8, edge.intKey);
    tree.deleteKey(key(8));
    EXPECT_EQ(ORV_NOT_FOUND_WARN, tree.findFirstKey(TEST_INDEX, edge, tid));
    EXPECT_EQ(ORV_NOT_FOUND_WARN, tree.findLastKey(TEST_INDEX, edge, tid));
    ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(-4), tidOf(1)));
    ASSERT_EQ(ORV_SUCCESS, tree.findLastKey(TEST_INDEX, edge, tid));
    EXPECT_EQ(-4, edge.intKey);
    expectSound();
    commit();
}

// The keys the model test inserts over its three rounds: 200,000 by
// default, 30,000 under the sanitizers, which run it about seven times
// slower (ORV_INDEX_MODEL_KEYS sets the number in either build).
Uint32 modelKeys() {
    if (const char* text = std::getenv("ORV_INDEX_MODEL_KEYS")) {
        return static_cast<Uint32>(std::strtoul(text, nullptr, 10));
    }
#if defined(__SANITIZE_ADDRESS__)
    return 30000;
#else
    return 200000;
#endif
}

// Random inserts, deletes, finds and range scans against std::multimap, the
// checker after every batch: unique and non-unique indexes, random keys and
// ascending keys with about 300 copies each (runs that random keys do not
// reach).
TEST_F(IndexTreeTest, RandomOperationsAgreeWithAMultimap) {
    const Uint32 total = modelKeys();
    struct Round {
        bool unique;
        bool ascending;
    };
    for (const Round round : {Round{false, false}, Round{true, false}, Round{false, true}}) {
        SCOPED_TRACE(std::string(round.unique ? "unique" : "non-unique") +
                     (round.ascending ? ", ascending runs" : ", random keys"));
        const IndexId index =
            static_cast<IndexId>(TEST_INDEX + (round.unique ? 1 : 0) + (round.ascending ? 2 : 0));
        OrvIndexBTree::createIndexSegment(index);
        OrvIndexBTree model;
        ASSERT_EQ(ORV_SUCCESS, model.initialTree(index, INTEGER, round.unique));
        segment = model.getSegmentId();
        commit();

        std::mt19937 random(round.unique ? 7 : (round.ascending ? 11 : 3));
        std::multimap<Sint32, TupleId> expected;
        // The ascending round gets the most keys: its runs split inner
        // nodes only once more than 508 leaves hang below the root.
        const Uint32 perRound =
            round.unique ? total / 10 : (round.ascending ? total * 7 / 10 : total / 5);
        const Sint32 range = Sint32(round.unique ? perRound * 2 : perRound / 3);
        Uint32 inserted = 0;
        Uint32 next = 0;
        Sint32 ascendingKey = 0;
        Uint32 copies = 0;
        // A full-sized ascending round goes on until its runs have split
        // inner nodes (more than 508 leaves below the root).
        const bool wantNodeSplits = round.ascending && total >= 200000;
        Uint32 height = 1;
        while (inserted < perRound || (wantNodeSplits && height < 3)) {
            for (int op = 0; op < 4000; ++op) {
                // Per mille: 700 (ascending rounds: 800) inserts, 150 (80)
                // deletes of one entry, 120 (100) finds, 20 (19) range
                // scans, 10 (1) deletes of every copy of a key.
                const Uint32 roll = random() % 1000;
                const Uint32 inserts = round.ascending ? 800 : 700;
                const Uint32 deletes = inserts + (round.ascending ? 80 : 150);
                const Uint32 finds = deletes + (round.ascending ? 100 : 120);
                const Uint32 scans = finds + (round.ascending ? 19 : 20);
                Sint32 k;
                if (round.ascending) {
                    if (copies == 0) {
                        ascendingKey += 1 + Sint32(random() % 3);
                        copies = 250 + random() % 100;
                    }
                    k = roll < inserts * 7 / 8 ? ascendingKey
                                               : Sint32(random() % Uint32(ascendingKey + 1));
                } else {
                    k = Sint32(random() % Uint32(range)) - range / 4;
                }
                if (roll < inserts) {
                    const TupleId tid = tidOf(next++);
                    const OrvErrorCode code = model.insertKey(key(k), tid);
                    if (round.unique && expected.count(k) != 0) {
                        ASSERT_EQ(ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX, code) << k;
                    } else {
                        ASSERT_EQ(ORV_SUCCESS, code) << k;
                        expected.emplace(k, tid);
                        ++inserted;
                        if (round.ascending && k == ascendingKey && copies > 0) {
                            --copies;
                        }
                    }
                } else if (roll < deletes) {
                    auto found = expected.find(k);
                    if (found == expected.end()) {
                        const TupleId none = tidOf(0);
                        ASSERT_EQ(ORV_NOT_FOUND_WARN, model.deleteKey(index, key(k), &none)) << k;
                    } else {
                        // One of the copies, chosen at random.
                        auto range = expected.equal_range(k);
                        auto victim = range.first;
                        std::advance(victim, random() % std::distance(range.first, range.second));
                        const TupleId tid = victim->second;
                        ASSERT_EQ(ORV_SUCCESS, model.deleteKey(index, key(k), &tid)) << k;
                        expected.erase(victim);
                    }
                } else if (roll < finds) {
                    TupleId tid;
                    const OrvErrorCode code = model.find(index, key(k), tid);
                    auto range = expected.equal_range(k);
                    if (range.first == range.second) {
                        ASSERT_EQ(ORV_NOT_FOUND_WARN, code) << k;
                    } else {
                        ASSERT_EQ(ORV_SUCCESS, code) << k;
                        bool listed = false;
                        for (auto it = range.first; it != range.second; ++it) {
                            listed = listed || it->second == tid;
                        }
                        ASSERT_TRUE(listed) << k;
                    }
                } else if (roll < scans) {
                    // Ascending runs hold about 300 copies of each key.
                    const Sint32 width = Sint32(random() % (round.ascending ? 20 : 2000));
                    const OrvIndexKey low = key(k);
                    const OrvIndexKey high = key(k + width);
                    std::vector<std::pair<Sint32, TupleId>> seen = scan(model, &low, &high);
                    std::vector<std::pair<Sint32, TupleId>> want(expected.lower_bound(k),
                                                                 expected.upper_bound(k + width));
                    auto order = [](const std::pair<Sint32, TupleId>& a,
                                    const std::pair<Sint32, TupleId>& b) {
                        return a.first != b.first ? a.first < b.first
                                                  : (a.second.page != b.second.page
                                                         ? a.second.page < b.second.page
                                                         : a.second.slot < b.second.slot);
                    };
                    ASSERT_TRUE(
                        std::is_sorted(seen.begin(), seen.end(), [](const auto& a, const auto& b) {
                            return a.first < b.first;
                        }));
                    std::sort(seen.begin(), seen.end(), order);
                    std::sort(want.begin(), want.end(), order);
                    ASSERT_TRUE(seen == want) << "range " << k << " .. " << k + width;
                } else {
                    // Every copy of a key at once.
                    model.deleteKey(key(k));
                    expected.erase(k);
                }
            }
            commit();
            OrvIndexTreeShape s;
            const std::vector<std::string> problems = orvCheckIndexTree(segment, s);
            ASSERT_TRUE(problems.empty()) << problems.size() << " problems, first: " << problems[0];
            ASSERT_EQ(expected.size(), s.entries);
            height = s.height;
        }
        // The whole index in one scan, and its edges.
        std::vector<std::pair<Sint32, TupleId>> all = scan(model, nullptr, nullptr);
        ASSERT_EQ(expected.size(), all.size());
        auto it = expected.begin();
        for (std::size_t i = 0; i < all.size(); ++i, ++it) {
            ASSERT_EQ(it->first, all[i].first);
        }
        OrvIndexKey edge;
        TupleId tid;
        ASSERT_EQ(ORV_SUCCESS, model.findFirstKey(index, edge, tid));
        EXPECT_EQ(expected.begin()->first, edge.intKey);
        ASSERT_EQ(ORV_SUCCESS, model.findLastKey(index, edge, tid));
        EXPECT_EQ(expected.rbegin()->first, edge.intKey);
        commit();
    }
}

// Several processes insert into one unique index at once, each key offered
// by two of them: every key is stored once, and the second offer of each is
// refused as a duplicate, whichever process comes second.
TEST_F(IndexTreeTest, ProcessesInsertIntoOneIndexAndADuplicateIsRefused) {
    start(true);
    ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(-1), tidOf(1)));
    commit();
    OrvSystem::stopAllManagers();
    OrvIndexFreeSpaceInventory::deleteInstance();
    OrvTransactionManager::resetForProcess();
    constexpr int CHILDREN = 4;
    constexpr int PER_CHILD = 1500;
    std::vector<int> pids;
    for (int c = 0; c < CHILDREN; ++c) {
        pids.push_back(orvtest::startChild([c]() {
            OrvTransactionManager::resetForProcess();
            int refused = 0;
            try {
                OrvIndexBTree mine;
                mine.openTree(TEST_INDEX, INTEGER, true);
                // Child c offers the keys of its own block and of the next
                // child's, in an order of its own.
                std::vector<Sint32> keys;
                for (int i = 0; i < PER_CHILD; ++i) {
                    keys.push_back(c * PER_CHILD + i);
                    keys.push_back(((c + 1) % CHILDREN) * PER_CHILD + i);
                }
                std::shuffle(keys.begin(), keys.end(), std::mt19937(c));
                for (Sint32 k : keys) {
                    const OrvErrorCode code = mine.insertKey(key(k), tidOf(Uint32(k)));
                    if (code == ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX) {
                        ++refused;
                    } else if (code != ORV_SUCCESS) {
                        return 2;
                    }
                    commit();
                }
                // A key the parent committed before the children began.
                if (mine.insertKey(key(-1), tidOf(2)) != ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX) {
                    return 3;
                }
                commit();
            } catch (const OrvException& e) {
                std::fprintf(stderr, "child %d: %s\n", c, e.what());
                OrvSystem::stopAllManagers();
                return 10 + (e.getErrorCode() < 0 ? -e.getErrorCode() % 80 : 0);
            }
            OrvSystem::stopAllManagers();
            // Refusals per child vary; the parent checks the total through
            // the index itself.
            return refused > 2 * PER_CHILD ? 4 : 0;
        }));
    }
    for (int pid : pids) {
        EXPECT_EQ(0, orvtest::waitChild(pid));
    }
    tree.openTree(TEST_INDEX, INTEGER, true);
    std::vector<std::pair<Sint32, TupleId>> all = scan(tree, nullptr, nullptr);
    ASSERT_EQ(std::size_t(CHILDREN * PER_CHILD + 1), all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(Sint32(i) - 1, all[i].first);
    }
    commit();
    expectSound();
}

// A reader does not see a key that another process inserted and has not
// committed: its leaf lock waits for the writer's commit.
TEST_F(IndexTreeTest, ReadersWaitForTheWritersCommit) {
    start(false);
    for (Sint32 k = 0; k < 2000; ++k) {
        ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(k * 2), tidOf(Uint32(k))));
    }
    commit();
    OrvSystem::stopAllManagers();
    OrvIndexFreeSpaceInventory::deleteInstance();
    OrvTransactionManager::resetForProcess();
    const std::string marker = db.file("committing");
    orvtest::Pipe inserted;
    orvtest::ChildProcess writer([&]() {
        OrvTransactionManager::resetForProcess();
        OrvIndexBTree mine;
        mine.openTree(TEST_INDEX, INTEGER, false);
        if (mine.insertKey(key(1001), tidOf(77)) != ORV_SUCCESS) {
            return 1;
        }
        inserted.send();
        usleep(400 * 1000);
        orvtest::writeFile(marker, "x");
        commit();
        OrvSystem::stopAllManagers();
        return 0;
    });
    ASSERT_TRUE(inserted.receive());
    tree.openTree(TEST_INDEX, INTEGER, false);
    TupleId tid;
    ASSERT_EQ(ORV_SUCCESS, tree.find(TEST_INDEX, key(1001), tid));
    EXPECT_EQ(0, access(marker.c_str(), F_OK)) << "the key was read before its commit";
    EXPECT_EQ(tidOf(77), tid);
    EXPECT_EQ(0, writer.wait());
    commit();
}

// A key looked up stays as it was seen until the reader's transaction ends:
// a writer on its leaf waits. Also when the whole tree is its root leaf,
// whose lock the descent takes twice.
TEST_F(IndexTreeTest, WritersWaitForTheReadersEnd) {
    start(false);
    Sint32 inserted = 0;
    for (const Sint32 keys : {10, 2000}) {
        SCOPED_TRACE("keys in the tree: " + std::to_string(keys));
        tree.openTree(TEST_INDEX, INTEGER, false);
        for (; inserted < keys; ++inserted) {
            ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(inserted * 2), tidOf(Uint32(inserted))));
        }
        commit();
        EXPECT_EQ(keys == 10, shape().height == 1);
        // The reader is a fresh process: nothing of this one's managers
        // may reach it.
        OrvSystem::stopAllManagers();
        OrvIndexFreeSpaceInventory::deleteInstance();
        OrvTransactionManager::resetForProcess();
        const std::string marker = db.file("reader-ended-" + std::to_string(keys));
        orvtest::Pipe found;
        orvtest::ChildProcess reader([&]() {
            OrvTransactionManager::resetForProcess();
            OrvIndexBTree mine;
            mine.openTree(TEST_INDEX, INTEGER, false);
            TupleId tid;
            if (mine.find(TEST_INDEX, key(4), tid) != ORV_SUCCESS) {
                return 1;
            }
            found.send();
            usleep(400 * 1000);
            orvtest::writeFile(marker, "x");
            commit();
            OrvSystem::stopAllManagers();
            return 0;
        });
        ASSERT_TRUE(found.receive());
        tree.openTree(TEST_INDEX, INTEGER, false);
        ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(5), tidOf(77)));
        EXPECT_EQ(0, access(marker.c_str(), F_OK)) << "a writer changed the leaf a reader read";
        commit();
        EXPECT_EQ(0, reader.wait());
    }
    expectSound();
}

} // namespace
