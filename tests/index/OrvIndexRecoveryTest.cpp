// Recovery of a table and its index after a crash: a child process inserts
// rows and their index entries (and removes some) in transactions that
// commit, and is killed with SIGKILL, by itself at a chosen step, between
// the record and the index commit entries, or by this process at a random
// moment. Then the shared memory is thrown away without writing the pool
// and the engine starts again. After recovery every committed key is found
// and names its row, no uncommitted key is in the index, the tree is sound,
// and a second recovery changes nothing more.
#include "IndexTestSupport.h"
#include "OrvEngineTest.h"

#include "OrvIndexManager.h"
#include "OrvRecordManager.h"
#include "log/OrvRecovery.h"

#include <chrono>
#include <csignal>
#include <map>
#include <random>
#include <sstream>
#include <thread>

namespace {

using namespace indextest;
using IM = OrvIndexManager;
using RM = OrvRecordManager;

constexpr TableId TABLE = 31;
constexpr IndexId THE_INDEX = 9;

using Model = std::map<Sint32, TupleId>;

void tell(int fd, const std::string& line) {
    const std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        _exit(20);
    }
}

std::string rowOf(Sint32 value) {
    return "row " + std::to_string(value) + std::string(std::size_t(value % 300), '.');
}

struct Round {
    unsigned seed;
    int killAt;  // step at which the child kills itself; 0: killed after delayMs
    int delayMs; //
    // The child is killed after the record manager's commit entry of its
    // third transaction, before the index manager's.
    bool betweenCommits;
};

int childWork(const Round& round, Model working, Sint32 firstKey, int fd) {
    OrvTransactionManager::resetForProcess();
    std::mt19937 random(round.seed);
    RM* rm = RM::getInstance();
    IM* im = IM::getInstance();
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    Sint32 next = firstKey;
    int step = 0;
    try {
        for (int transaction = 0;; ++transaction) {
            OrvClientTransaction::begin();
            im->openIndex(THE_INDEX, true, BTree, INTEGER);
            tell(fd, "B");
            const int ops = 1 + static_cast<int>(random() % 300);
            for (int k = 0; k < ops; ++k) {
                if (++step == round.killAt) {
                    raise(SIGKILL);
                }
                if (working.size() < 50 || random() % 10 < 8) {
                    const Sint32 value = next;
                    next += 1 + static_cast<Sint32>(random() % 3);
                    const std::string row = rowOf(value);
                    OrvRecord record(row.data(), static_cast<Uint16>(row.size()));
                    TupleId tid;
                    rm->insert(record, TABLE, tid);
                    im->insert(THE_INDEX, key(value), tid);
                    working[value] = tid;
                    tell(fd, "I " + std::to_string(value) + " " + std::to_string(tid.page) + " " +
                                 std::to_string(tid.slot));
                } else {
                    auto it = working.begin();
                    std::advance(it, static_cast<long>(random() % working.size()));
                    rm->remove(TABLE, it->second);
                    im->remove(THE_INDEX, key(it->first), &it->second);
                    tell(fd, "D " + std::to_string(it->first));
                    working.erase(it);
                }
                if (random() % 150 == 0) {
                    // Some pages reach their files, uncommitted changes too.
                    bm->flushAll();
                    bm->openSegment(TABLE);
                    bm->openSegment(bm->convertIndexIdToSegmentId(THE_INDEX));
                }
            }
            tell(fd, "C?");
            if (round.betweenCommits && transaction == 2) {
                rm->commit();
                raise(SIGKILL);
            }
            OrvClientTransaction::commit();
            tell(fd, "C!");
        }
    } catch (const OrvException& e) {
        std::fprintf(stderr, "child: %s at step %d\n", e.what(), step);
        return 10;
    }
}

class IndexRecoveryTest : public orvtest::EngineTest {
protected:
    void recover() {
        OrvClientTransaction::begin();
        RM::getInstance()->recover();
        IM::getInstance()->recover();
        OrvClientTransaction::commit();
    }
    // The index against the model: every key found, naming its row; the
    // scan holds exactly the model's tuple ids in key order.
    void expectIndexIs(const Model& model) {
        IM* im = IM::getInstance();
        RM* rm = RM::getInstance();
        im->openIndex(THE_INDEX, true, BTree, INTEGER);
        for (const auto& [value, tid] : model) {
            TupleId found;
            ASSERT_EQ(ORV_SUCCESS, codeOf([&] { im->find(THE_INDEX, key(value), found); }))
                << "key " << value;
            ASSERT_EQ(tid, found) << "key " << value;
            OrvRecord* record = nullptr;
            rm->get(TABLE, found, record);
            std::unique_ptr<OrvRecord> owned(record);
            ASSERT_EQ(rowOf(value), std::string(record->getRecordData(), record->getLength()));
        }
        OrvIndexIterator* raw = nullptr;
        im->findRange(THE_INDEX, nullptr, nullptr, raw);
        std::unique_ptr<OrvIndexIterator> scan(raw);
        auto expected = model.begin();
        TupleId tid;
        while (scan->hasNext()) {
            ASSERT_EQ(ORV_SUCCESS, scan->getNextTupleId(tid));
            ASSERT_TRUE(expected != model.end()) << "an entry no committed row has";
            ASSERT_EQ(expected->second, tid) << "key " << expected->first;
            ++expected;
        }
        EXPECT_TRUE(expected == model.end()) << "committed keys missing from the scan";
        scan.reset();
        const auto problems = orvCheckIndexTree(
            OrvBufferManager::getInstance()->convertIndexIdToSegmentId(THE_INDEX));
        EXPECT_TRUE(problems.empty()) << problems.front();
    }
    std::map<PageId, std::string> indexImages() {
        const SegmentId segment =
            OrvBufferManager::getInstance()->convertIndexIdToSegmentId(THE_INDEX);
        std::map<PageId, std::string> pages;
        const PageId last = OrvIndexFreeSpaceInventory::getInstance()->getLastPageId(segment);
        for (PageId p = 1; p <= last; ++p) {
            pages[p] = pageBytes(segment, p);
        }
        return pages;
    }
};

TEST_F(IndexRecoveryTest, CommittedKeysComeBackAndUncommittedOnesDoNot) {
    RM::getInstance()->createTable(TABLE);
    IM::getInstance()->createIndex(THE_INDEX, true, BTree, INTEGER);
    OrvClientTransaction::commit();

    const std::vector<Round> rounds = {
        {41, 700, 0, false},  {42, 0, 400, false}, {43, 0, 0, true},
        {44, 1500, 0, false}, {45, 0, 900, false}, {46, 0, 0, true},
    };
    Model committed;
    Sint32 nextKey = 0;
    int compensations = 0;
    for (std::size_t r = 0; r < rounds.size(); ++r) {
        const Round& round = rounds[r];
        SCOPED_TRACE("round " + std::to_string(r));
        OrvSystem::stopAllManagers();
        OrvTransactionManager::resetForProcess();
        int channel[2];
        ASSERT_EQ(0, pipe(channel));
        const int pid = orvtest::startChild([&]() {
            close(channel[0]);
            return childWork(round, committed, nextKey, channel[1]);
        });
        close(channel[1]);
        if (round.killAt == 0 && !round.betweenCommits) {
            std::this_thread::sleep_for(std::chrono::milliseconds(round.delayMs));
            kill(pid, SIGKILL);
        }
        EXPECT_EQ(128 + SIGKILL, orvtest::waitChild(pid));
        std::string report;
        char chunk[4096];
        for (ssize_t n; (n = read(channel[0], chunk, sizeof(chunk))) > 0;) {
            report.append(chunk, static_cast<std::size_t>(n));
        }
        close(channel[0]);

        Model pending = committed;
        Model maybe;
        bool commitAsked = false;
        std::istringstream lines(report);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            std::string what;
            words >> what;
            Sint32 value = 0;
            unsigned page = 0;
            unsigned slot = 0;
            if (what == "B") {
                pending = committed;
                commitAsked = false;
            } else if (what == "C?") {
                commitAsked = true;
            } else if (what == "C!") {
                committed = pending;
                commitAsked = false;
            } else if (what == "I") {
                words >> value >> page >> slot;
                pending[value] = TupleId(static_cast<PageId>(page), static_cast<SlotId>(slot));
                nextKey = std::max(nextKey, value + 1);
            } else if (what == "D") {
                words >> value;
                pending.erase(value);
            }
        }
        if (round.betweenCommits) {
            // The record commit entry is in the log: the rows are committed,
            // and their index entries must stay.
            ASSERT_TRUE(commitAsked);
            committed = pending;
        } else if (commitAsked) {
            maybe = pending;
        }

        crashAndRestart();
        recover();
        OrvBufferManager::getInstance()->openSegment(TABLE);
        if (commitAsked && !round.betweenCommits && maybe != committed) {
            // Whether the last commit reached the log: a key the two states
            // disagree on tells.
            IM::getInstance()->openIndex(THE_INDEX, true, BTree, INTEGER);
            Sint32 probe = 0;
            bool inMaybe = false;
            for (const auto& [value, tid] : maybe) {
                if (committed.count(value) == 0) {
                    probe = value;
                    inMaybe = true;
                    break;
                }
            }
            if (!inMaybe) {
                for (const auto& [value, tid] : committed) {
                    if (maybe.count(value) == 0) {
                        probe = value;
                        break;
                    }
                }
            }
            TupleId found;
            const bool present = codeOf([&] {
                                     IM::getInstance()->find(THE_INDEX, key(probe), found);
                                 }) == ORV_SUCCESS;
            if (present == inMaybe) {
                committed = maybe;
            }
        }
        expectIndexIs(committed);
        OrvClientTransaction::commit();
        {
            // Every transaction the child left open was ended, by index
            // compensations under its own id.
            OrvRecovery check;
            ASSERT_TRUE(check.recoverDb(rollbackComponent::INDEX));
            EXPECT_EQ(0, check.getIndexUndoListLength());
            const OrvIndexLogEntry* entries = check.getIndexRedoList();
            for (int i = 0; i < check.getIndexRedoListLength(); ++i) {
                if (entries[i].getTransactionType() == INTEGER_UNDO) {
                    ASSERT_NE(getpid(), entries[i].getTransactionID().getProcessID());
                    ++compensations;
                }
            }
        }

        // Again with the pool as it is: not a byte changes.
        const auto images = indexImages();
        recover();
        EXPECT_EQ(images, indexImages());
        OrvClientTransaction::commit();
        // Again after losing the pool, written or not.
        if (r % 2 == 0) {
            OrvBufferManager::getInstance()->flushAll();
        }
        crashAndRestart();
        recover();
        expectIndexIs(committed);
        OrvClientTransaction::commit();
    }
    EXPECT_LT(0, compensations) << "no unfinished transaction was undone";
    EXPECT_LT(500u, committed.size());
}

} // namespace
