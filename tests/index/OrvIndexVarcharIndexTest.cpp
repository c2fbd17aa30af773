// Varchar indexes through the index manager: a model test of random keys in
// unique and non-unique indexes, in transactions that commit or roll back,
// against a sorted multimap (finds, range scans, first and last keys, the
// refusals, and the leaf's structure checker after every step); and the
// recovery of committed and uncommitted varchar changes after crashes.
#include "IndexTestSupport.h"
#include "OrvEngineTest.h"

#include "OrvIndexManager.h"
#include "OrvRecordManager.h"
#include "index/OrvIndexVarcharTreeLeafPage.h"
#include "log/OrvRecovery.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>
#include <random>

namespace {

using namespace indextest;
using IM = OrvIndexManager;
using Model = std::multimap<std::string, TupleId>;

OrvIndexKey text(const std::string& value) {
    OrvIndexKey k;
    k.dataType = VARCHAR;
    k.varcharKey = new char[value.size() + 1];
    std::memcpy(k.varcharKey, value.c_str(), value.size() + 1);
    k.ownChar = true;
    return k;
}

// Empty, one byte, 255 bytes, shared prefixes (so that equal keys are
// frequent), bytes above 127, and rarely a key too long to be stored.
std::string randomText(std::mt19937& random) {
    switch (random() % 7) {
    case 0:
        return "";
    case 1:
        return std::string(1, char('a' + random() % 3));
    case 2:
        return std::string(254, char('a' + random() % 2)) + char('a' + random() % 26);
    case 3:
        return std::string(1 + random() % 4, 'a') + std::string(random() % 3, 'b');
    case 4:
        return random() % 8 == 0 ? std::string(256, 'a') : std::string("ab\xe9") + "c";
    default: {
        std::string value(random() % 30, 'x');
        for (char& c : value) {
            c = char(1 + random() % 255);
        }
        return value;
    }
    }
}

Uint32 bytesOf(const std::string& value) {
    return Uint32(value.size() + 7);
}

class VarcharIndexTest : public orvtest::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        im = IM::getInstance();
    }

    SegmentId segmentOf(IndexId id) {
        return OrvBufferManager::getInstance()->convertIndexIdToSegmentId(id);
    }

    // The structure checker of the single leaf.
    void expectSoundLeaf(IndexId id) {
        OrvScopedPage root(segmentOf(id), OrvIndexPage::ROOT, OrvPage::BTreeIndexPage,
                           OrvScopedPage::GetExistingPage);
        const std::vector<std::string> problems =
            OrvIndexVarcharLeafView(root->getPageData()).problems();
        EXPECT_TRUE(problems.empty()) << problems.size() << " problems, first: " << problems[0];
    }

    std::string rootImage(IndexId id) {
        OrvScopedPage root(segmentOf(id), OrvIndexPage::ROOT, OrvPage::BTreeIndexPage,
                           OrvScopedPage::GetExistingPage);
        return std::string(root->getPageData(), ORV_PAGE_SIZE);
    }

    std::vector<TupleId> scan(IndexId id, const OrvIndexKey* start, const OrvIndexKey* stop) {
        OrvIndexIterator* raw = nullptr;
        im->findRange(id, start, stop, raw);
        std::unique_ptr<OrvIndexIterator> it(raw);
        std::vector<TupleId> out;
        TupleId tid;
        while (it->hasNext()) {
            EXPECT_EQ(ORV_SUCCESS, it->getNextTupleId(tid));
            out.push_back(tid);
        }
        EXPECT_EQ(ORV_NOT_FOUND_WARN, it->getNextTupleId(tid));
        return out;
    }

    static std::vector<TupleId> expectedRange(const Model& model, const std::string* start,
                                              const std::string* stop) {
        std::vector<TupleId> out;
        for (auto it = start != nullptr ? model.lower_bound(*start) : model.begin();
             it != model.end() && (stop == nullptr || it->first <= *stop); ++it) {
            out.push_back(it->second);
        }
        return out;
    }

    // Every entry, finds of present and absent keys, the edges and a few
    // random ranges against the model.
    void expectIndexIs(IndexId id, const Model& model, std::mt19937& random) {
        ASSERT_EQ(expectedRange(model, nullptr, nullptr), scan(id, nullptr, nullptr));
        for (int i = 0; i < 4; ++i) {
            const std::string low = randomText(random);
            const std::string high = randomText(random);
            const OrvIndexKey lowKey = text(low);
            const OrvIndexKey highKey = text(high);
            EXPECT_EQ(expectedRange(model, &low, &high), scan(id, &lowKey, &highKey));
            EXPECT_EQ(expectedRange(model, &low, nullptr), scan(id, &lowKey, nullptr));
            EXPECT_EQ(expectedRange(model, nullptr, &high), scan(id, nullptr, &highKey));
            TupleId found;
            const auto hit = model.find(low);
            if (hit == model.end()) {
                EXPECT_EQ(ORV_NOT_FOUND_WARN, codeOf([&] { im->find(id, lowKey, found); }));
            } else {
                im->find(id, lowKey, found);
                // The newest of equal keys comes first.
                EXPECT_EQ(model.lower_bound(low)->second, found);
            }
        }
        OrvIndexKey edge;
        TupleId tid;
        if (model.empty()) {
            EXPECT_EQ(ORV_NOT_FOUND_WARN, codeOf([&] { im->findFirstKey(id, edge, tid); }));
        } else {
            im->findFirstKey(id, edge, tid);
            EXPECT_EQ(model.begin()->first, std::string(edge.varcharKey));
            EXPECT_EQ(model.begin()->second, tid);
            im->findLastKey(id, edge, tid);
            EXPECT_EQ(std::prev(model.end())->first, std::string(edge.varcharKey));
            EXPECT_EQ(std::prev(model.end())->second, tid);
        }
        expectSoundLeaf(id);
    }

    void runModel(IndexId id, bool unique, unsigned seed) {
        im->createIndex(id, unique, BTree, VARCHAR);
        commit();
        std::mt19937 random(seed);
        Model committed;
        int tids = 0;
        int refusedFull = 0;
        for (int transaction = 0; transaction < 40; ++transaction) {
            SCOPED_TRACE("transaction " + std::to_string(transaction));
            im->openIndex(id, unique, BTree, VARCHAR);
            const std::string before = rootImage(id);
            Model working = committed;
            Uint32 used = 0;
            for (const auto& [value, tid] : working) {
                used += bytesOf(value);
            }
            const int ops = 1 + int(random() % 30);
            for (int op = 0; op < ops; ++op) {
                const std::string value = randomText(random);
                const OrvIndexKey k = text(value);
                const unsigned action = random() % 10;
                // An existing entry, for the operations that name one.
                auto entry = working.end();
                if (!working.empty()) {
                    entry = std::next(working.begin(), long(random() % working.size()));
                }
                if (action < 6 || entry == working.end()) {
                    ++tids;
                    const TupleId tid(PageId(1 + tids / 200), SlotId(tids % 200));
                    OrvErrorCode expected = ORV_SUCCESS;
                    if (value.size() > 255) {
                        expected = ORV_PARAMETER_FAIL;
                    } else if (unique && working.count(value) != 0) {
                        expected = ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX;
                    } else if (used + bytesOf(value) > OrvIndexVarchar::DATA_SIZE) {
                        expected = ORV_IM_VARCHAR_INDEX_FULL;
                        ++refusedFull;
                    }
                    ASSERT_EQ(expected, codeOf([&] { im->insert(id, k, tid); })) << op;
                    if (expected == ORV_SUCCESS) {
                        working.emplace_hint(working.lower_bound(value), value, tid);
                        used += bytesOf(value);
                    }
                } else if (action < 7) {
                    const TupleId tid = entry->second;
                    im->remove(id, text(entry->first), &tid);
                    used -= bytesOf(entry->first);
                    working.erase(entry);
                } else if (action < 8) {
                    im->remove(id, k, nullptr);
                    used -= Uint32(working.count(value)) * bytesOf(value);
                    working.erase(value);
                } else {
                    const TupleId tid = entry->second;
                    const std::string old = entry->first;
                    OrvErrorCode expected = ORV_SUCCESS;
                    if (value.size() > 255) {
                        expected = ORV_PARAMETER_FAIL;
                    } else if (unique && value != old && working.count(value) != 0) {
                        expected = ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX;
                    } else if (used - bytesOf(old) + bytesOf(value) > OrvIndexVarchar::DATA_SIZE) {
                        expected = ORV_IM_VARCHAR_INDEX_FULL;
                    }
                    ASSERT_EQ(expected, codeOf([&] { im->update(id, text(old), k, &tid); })) << op;
                    if (expected == ORV_SUCCESS) {
                        working.erase(entry);
                        working.emplace_hint(working.lower_bound(value), value, tid);
                        used += bytesOf(value) - bytesOf(old);
                    }
                }
                expectSoundLeaf(id);
            }
            if (random() % 4 == 0) {
                OrvClientTransaction::rollback();
                // The rollback gives back exactly the page before it.
                EXPECT_EQ(before, rootImage(id));
                im->openIndex(id, unique, BTree, VARCHAR);
                expectIndexIs(id, committed, random);
            } else {
                expectIndexIs(id, working, random);
                committed = working;
            }
            commit();
        }
        // The leaf was full at times: the refusals were met.
        EXPECT_GT(refusedFull, 0);
    }

    IM* im = nullptr;
};

TEST_F(VarcharIndexTest, NonUniqueIndexFollowsTheModel) {
    runModel(12, false, 7001);
}

TEST_F(VarcharIndexTest, UniqueIndexFollowsTheModel) {
    runModel(13, true, 7002);
}

// Several processes insert into one unique varchar index at once, each key
// offered by two of them: the page locks keep their changes of the single
// leaf apart, every key is stored once and the second offer is refused.
TEST_F(VarcharIndexTest, ProcessesShareOneLeafAndADuplicateIsRefused) {
    constexpr IndexId ID = 15;
    constexpr int CHILDREN = 3;
    constexpr int PER_CHILD = 60;
    im->createIndex(ID, true, BTree, VARCHAR);
    commit();
    dropManagers();
    const auto keyOf = [](int k) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "k%03d", k);
        return std::string(buffer);
    };
    std::vector<int> pids;
    for (int c = 0; c < CHILDREN; ++c) {
        pids.push_back(orvtest::startChild([c, &keyOf]() {
            OrvTransactionManager::resetForProcess();
            try {
                IM* mine = IM::getInstance();
                std::vector<int> keys;
                for (int i = 0; i < PER_CHILD; ++i) {
                    keys.push_back(c * PER_CHILD + i);
                    keys.push_back(((c + 1) % CHILDREN) * PER_CHILD + i);
                }
                std::shuffle(keys.begin(), keys.end(), std::mt19937(c));
                // Opened in a transaction of its own: its shared segment lock
                // would keep the other writers out until it ends.
                mine->openIndex(ID, true, BTree, VARCHAR);
                commit();
                for (int k : keys) {
                    const OrvErrorCode code = codeOf([&] {
                        mine->insert(ID, text(keyOf(k)), TupleId(PageId(1 + k), SlotId(c)));
                    });
                    if (code != ORV_SUCCESS && code != ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX) {
                        return 2;
                    }
                    commit();
                }
            } catch (const OrvException& e) {
                std::fprintf(stderr, "child %d: %s\n", c, e.what());
                return 10;
            }
            OrvSystem::stopAllManagers();
            return 0;
        }));
    }
    for (int pid : pids) {
        EXPECT_EQ(0, orvtest::waitChild(pid));
    }
    im = IM::getInstance();
    im->openIndex(ID, true, BTree, VARCHAR);
    const std::vector<TupleId> all = scan(ID, nullptr, nullptr);
    ASSERT_EQ(std::size_t(CHILDREN * PER_CHILD), all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(PageId(1 + i), all[i].page);
    }
    expectSoundLeaf(ID);
    commit();
}

// Crashes of a process that committed varchar changes which stayed in the
// pool (first round), and of one that then left a transaction open whose
// changes partly reached the file (second round): the committed changes
// come back by redo, the open ones are undone, and recovering twice gives
// the same page.
TEST_F(VarcharIndexTest, RecoveryRedoesCommittedAndUndoesOpenChanges) {
    constexpr IndexId ID = 14;
    const auto recover = [] {
        OrvClientTransaction::begin();
        OrvRecordManager::getInstance()->recover();
        IM::getInstance()->recover();
        OrvClientTransaction::commit();
    };
    // Keys the parent and the child both know: shared prefixes, equal keys.
    const auto keyFor = [](int i) {
        return std::string(std::size_t(1 + (i * 7) % 20), char('a' + (i * 3) % 5));
    };
    const auto insertRange = [&](Model& model, int from, int to, bool index) {
        for (int i = from; i < to; ++i) {
            const TupleId tid(PageId(3), SlotId(i));
            if (index) {
                IM::getInstance()->insert(ID, text(keyFor(i)), tid);
            }
            model.emplace_hint(model.lower_bound(keyFor(i)), keyFor(i), tid);
        }
    };
    Model expected;
    im->createIndex(ID, false, BTree, VARCHAR);
    insertRange(expected, 0, 30, true);
    commit();

    std::mt19937 random(7003);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int base = 30 + round * 40;
        const TupleId gone(PageId(3), SlotId(3 + round));
        // The child's committed transaction, as the model sees it.
        insertRange(expected, base, base + 8, false);
        for (auto it = expected.lower_bound(keyFor(3 + round));; ++it) {
            if (it->second == gone) {
                expected.erase(it);
                break;
            }
        }
        dropManagers();
        const int pid = orvtest::startChild([&] {
            OrvTransactionManager::resetForProcess();
            try {
                IM* child = IM::getInstance();
                Model ignored;
                child->openIndex(ID, false, BTree, VARCHAR);
                insertRange(ignored, base, base + 8, true);
                child->remove(ID, text(keyFor(3 + round)), &gone);
                OrvClientTransaction::commit();
                if (round == 0) {
                    raise(SIGKILL);
                }
                child->openIndex(ID, false, BTree, VARCHAR);
                insertRange(ignored, base + 8, base + 18, true);
                child->remove(ID, text(keyFor(0)), nullptr);
                const TupleId first(PageId(3), SlotId(base + 8));
                child->update(ID, text(keyFor(base + 8)), text("zz"), &first);
                OrvBufferManager* bm = OrvBufferManager::getInstance();
                bm->flushAll();
                bm->openSegment(bm->convertIndexIdToSegmentId(ID));
                insertRange(ignored, base + 18, base + 23, true);
            } catch (const OrvException& e) {
                std::fprintf(stderr, "child: %s\n", e.what());
                return 10;
            }
            raise(SIGKILL);
            return 11;
        });
        ASSERT_EQ(128 + SIGKILL, orvtest::waitChild(pid));

        std::string recovered;
        for (int crash = 0; crash < 2; ++crash) {
            SCOPED_TRACE("crash " + std::to_string(crash));
            crashAndRestart();
            recover();
            im = IM::getInstance();
            im->openIndex(ID, false, BTree, VARCHAR);
            expectIndexIs(ID, expected, random);
            if (crash == 0) {
                recovered = rootImage(ID);
            } else {
                EXPECT_EQ(recovered, rootImage(ID));
            }
            commit();
        }
    }

    // The undo of the transaction that never ended is in the log as
    // compensations of the varchar kind.
    int undone = 0;
    for (const LoggedImage& image : loggedImages(segmentOf(ID))) {
        undone += image.type == VARCHAR_UNDO ? 1 : 0;
        EXPECT_NE(INTEGER_OPERATION, image.type);
    }
    EXPECT_GT(undone, 0);
}

} // namespace
