// Four processes at once on one table and its unique integer index, for a
// bounded time: random transactions insert, replace (longer and shorter) and
// delete rows with their keys, and commit or roll back. A deadlock is
// expected now and then and is rolled back; a time-out is not (every holder
// is alive and its transactions are short). Each process writes what it
// committed to a side file, numbered from a counter shared by all taken while
// the transaction still holds its locks, so that the numbers order
// conflicting transactions as they committed. The parent replays the side
// files into a model and compares table and index with it, and checks the
// lock list, the pool and the log.
//
// ORV_LOAD_SECONDS sets how long the processes run (default 15).
//
// A lookup keeps the leaf it read locked to the end of the transaction, so
// a key found stays and a key not found stays absent until the transaction
// acts on it: a duplicate key or a row gone in between is counted as a
// failure.
#include "OrvEngineTest.h"
#include "OrvTestSupport.h"
#include "OrvTestSync.h"

#include "OrvError.h"
#include "OrvException.h"
#include "OrvIndexManager.h"
#include "OrvRecordManager.h"
#include "lock/OrvLockList.h"
#include "lock/OrvLockListCheck.h"
#include "log/OrvRecovery.h"
#include "support/OrvMemoryManager.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <sys/mman.h>
#include <vector>

namespace {

using LM = OrvLockManager;
using RM = OrvRecordManager;
using IM = OrvIndexManager;

constexpr TableId TABLE = 41;
constexpr IndexId THE_INDEX = 5;
constexpr Sint32 KEYS = 2000;
constexpr int PROCESSES = 4;

OrvIndexKey key(Sint32 value) {
    OrvIndexKey k;
    k.dataType = INTEGER;
    k.intKey = value;
    return k;
}

// What all processes share: the commit counter and the tallies.
struct Shared {
    std::atomic<long> nextCommit;
    std::atomic<long> operations;
    std::atomic<long> commits;
    std::atomic<long> rollbacks;
    std::atomic<long> deadlocks;
    std::atomic<long> refusedRollbacks;
    std::atomic<long> timeOuts;
    std::atomic<long> duplicates;
    std::atomic<long> vanished;
    std::atomic<long> otherFailures;
};

// Where a key's row lies, or nothing when the key is absent.
bool findKey(Sint32 value, TupleId& tid) {
    try {
        IM::getInstance()->find(THE_INDEX, key(value), tid);
        return true;
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_NOT_FOUND_WARN) {
            throw;
        }
        OrvError::getErrorObject()->setError(IndexManager, ORV_SUCCESS);
        return false;
    }
}

std::string textOf(const TupleId& tid) {
    OrvRecord* record = nullptr;
    RM::getInstance()->get(TABLE, tid, record);
    std::unique_ptr<OrvRecord> owned(record);
    return std::string(owned->getRecordData(), owned->getLength());
}

// A rollback takes locks too (pages it compacts, inventory entries), and
// may be chosen as the victim of a deadlock; it keeps its locks then and is
// tried again.
bool rollBack(Shared* shared) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        try {
            OrvClientTransaction::rollback();
            return true;
        } catch (const OrvException& e) {
            if (e.getErrorCode() != ORV_LM_DEADLOCK) {
                e.print(std::cerr);
                return false;
            }
            shared->refusedRollbacks++;
            OrvError::getErrorObject()->setError(LockManager, ORV_SUCCESS);
            usleep(1000u * static_cast<unsigned>(attempt % 10 + 1));
        }
    }
    return false;
}

int worker(int number, Shared* shared, const std::string& sideFile, long seconds) {
    OrvTransactionManager::resetForProcess();
    std::mt19937 random(777u + static_cast<unsigned>(number));
    std::ofstream side(sideFile);
    RM* rm = RM::getInstance();
    IM* im = IM::getInstance();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    long sequence = 0;
    while (std::chrono::steady_clock::now() < end) {
        OrvClientTransaction::begin();
        im->openIndex(THE_INDEX, true, BTree, INTEGER);
        // key -> state after this transaction: text, or "" for absent.
        std::map<Sint32, std::string> touched;
        try {
            const int changes = 1 + static_cast<int>(random() % 3);
            for (int c = 0; c < changes; ++c) {
                const Sint32 value = static_cast<Sint32>(random() % KEYS);
                TupleId tid;
                shared->operations++;
                if (!findKey(value, tid)) {
                    const std::string text = std::to_string(value) + ":" + std::to_string(number) +
                                             ":" + std::to_string(++sequence) +
                                             std::string(random() % 300, 'i');
                    OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
                    rm->insert(record, TABLE, tid);
                    im->insert(THE_INDEX, key(value), tid);
                    touched[value] = text;
                } else if (random() % 3 == 0) {
                    // The key goes first: its leaf stays locked until the
                    // end, so no other transaction finds a row being removed.
                    im->remove(THE_INDEX, key(value), &tid);
                    rm->remove(TABLE, tid);
                    touched[value] = "";
                } else {
                    const std::string text = std::to_string(value) + ":" + std::to_string(number) +
                                             ":" + std::to_string(++sequence) +
                                             std::string(random() % 600, 'r');
                    OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
                    TupleId where;
                    rm->replace(TABLE, tid, record, where);
                    touched[value] = text;
                }
            }
            if (random() % 5 == 0) {
                if (!rollBack(shared)) {
                    return 2;
                }
                shared->rollbacks++;
                continue;
            }
            // Taken while the transaction's locks are held: a conflicting
            // transaction gets a later number.
            const long order = shared->nextCommit++;
            OrvClientTransaction::commit();
            shared->commits++;
            for (const auto& [value, text] : touched) {
                side << order << ' ' << value << ' ' << (text.empty() ? "-" : text) << '\n';
            }
            side.flush();
        } catch (const OrvException& e) {
            const OrvErrorCode code = e.getErrorCode();
            if (code == ORV_LM_DEADLOCK) {
                shared->deadlocks++;
            } else if (code == ORV_LM_LOCK_TIME_OUT) {
                shared->timeOuts++;
                e.print_message(std::cerr);
            } else if (code == ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX) {
                shared->duplicates++;
            } else if (code == ORV_RM_REC_NOT_FOUND) {
                shared->vanished++;
            } else {
                shared->otherFailures++;
                e.print(std::cerr);
            }
            OrvError::getErrorObject()->setError(LockManager, ORV_SUCCESS);
            if (!rollBack(shared)) {
                return 2;
            }
        }
    }
    OrvSystem::stopAllManagers();
    return side.good() ? 0 : 3;
}

long loadSeconds() {
    const char* text = std::getenv("ORV_LOAD_SECONDS");
    const long seconds = text != nullptr ? std::atol(text) : 15;
    return seconds > 0 ? seconds : 15;
}

class LoadTest : public orvtest::EngineTest {};

TEST_F(LoadTest, FourProcessesOnSharedTablesEndWithWhatTheyCommitted) {
    // The table and every key, committed.
    std::map<Sint32, std::string> model;
    OrvClientTransaction::begin();
    RM::getInstance()->createTable(TABLE);
    IM::getInstance()->createIndex(THE_INDEX, true, BTree, INTEGER);
    for (Sint32 value = 0; value < KEYS; value += 2) {
        const std::string text = std::to_string(value) + ":start";
        OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
        TupleId tid;
        RM::getInstance()->insert(record, TABLE, tid);
        IM::getInstance()->insert(THE_INDEX, key(value), tid);
        model[value] = text;
    }
    OrvClientTransaction::commit();
    dropManagers();

    void* memory =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, memory);
    Shared* shared = new (memory) Shared();
    const long seconds = loadSeconds();
    std::vector<std::unique_ptr<orvtest::ChildProcess>> workers;
    for (int i = 0; i < PROCESSES; ++i) {
        const std::string side = db.file("load-" + std::to_string(i) + ".txt");
        workers.push_back(std::make_unique<orvtest::ChildProcess>(
            [i, shared, side, seconds] { return worker(i, shared, side, seconds); }));
    }
    for (auto& child : workers) {
        EXPECT_EQ(0, child->wait(static_cast<int>(seconds * 1000 + 120000)));
    }
    std::cout << "operations " << shared->operations << ", commits " << shared->commits
              << ", rollbacks " << shared->rollbacks << ", deadlocks " << shared->deadlocks
              << ", refused rollbacks " << shared->refusedRollbacks << ", duplicate keys "
              << shared->duplicates << ", rows gone " << shared->vanished << ", time-outs "
              << shared->timeOuts << std::endl;
    EXPECT_EQ(0, shared->timeOuts.load()) << "a request timed out while every holder lived";
    EXPECT_EQ(0, shared->otherFailures.load());
    EXPECT_EQ(0, shared->duplicates.load()) << "a key seen absent was inserted meanwhile";
    EXPECT_EQ(0, shared->vanished.load()) << "a row found by its key was removed meanwhile";
    EXPECT_GT(shared->commits.load(), 0);

    // Replay in commit order.
    std::map<long, std::vector<std::pair<Sint32, std::string>>> commits;
    for (int i = 0; i < PROCESSES; ++i) {
        std::ifstream side(db.file("load-" + std::to_string(i) + ".txt"));
        long order = 0;
        Sint32 value = 0;
        std::string text;
        while (side >> order >> value >> text) {
            commits[order].push_back({value, text});
        }
    }
    for (const auto& [order, changes] : commits) {
        for (const auto& [value, text] : changes) {
            if (text == "-") {
                model.erase(value);
            } else {
                model[value] = text;
            }
        }
    }

    OrvClientTransaction::begin();
    IM::getInstance()->openIndex(THE_INDEX, true, BTree, INTEGER);
    for (Sint32 value = 0; value < KEYS; ++value) {
        TupleId tid;
        const bool present = findKey(value, tid);
        const auto expected = model.find(value);
        ASSERT_EQ(expected != model.end(), present) << "key " << value;
        if (present) {
            EXPECT_EQ(expected->second, textOf(tid)) << "key " << value;
        }
    }
    // Every row of the table is one the index names.
    Uint32 rows = 0;
    TupleId scan(0, 0);
    for (;;) {
        try {
            RM::getInstance()->findNextRecord(TABLE, scan);
        } catch (const OrvException& e) {
            ASSERT_EQ(ORV_RM_NO_MORE_PAGES, e.getErrorCode());
            OrvError::getErrorObject()->setError(RecordManager, ORV_SUCCESS);
            break;
        }
        ++rows;
    }
    EXPECT_EQ(model.size(), rows);
    OrvClientTransaction::commit();

    const auto* header = static_cast<const LM::Header*>(
        OrvMemoryManager::getMemoryManager()->attachedData(OrvMemoryManager::LockList));
    EXPECT_TRUE(OrvLockList::checkStructure(header).empty());
    EXPECT_EQ(0u, header->countEntry);
    EXPECT_EQ("", OrvBufferManager::getInstance()->checkStructure());
    bool fixed = true;
    OrvBufferManager::haveFixedPages(fixed);
    EXPECT_FALSE(fixed);
    OrvRecovery recovery;
    ASSERT_TRUE(recovery.recoverDb(ALL));
    EXPECT_EQ(0, recovery.getRecordUndoListLength());
    EXPECT_EQ(0, recovery.getIndexUndoListLength());
    munmap(memory, sizeof(Shared));
}

} // namespace
