// Rollback of record changes: every kind of change put back exactly, slot by
// slot, checked against the table as the transaction found it; a second
// rollback changes nothing; tables dropped or made in the transaction; pages
// at the slot limit; the transaction guard; another process's committed
// records are left alone.
#include "OrvEngineTest.h"
#include "RecordUndoSupport.h"

#include "OrvLog.h"
#include "OrvTestSupport.h"
#include "log/OrvRecovery.h"

#include <map>
#include <random>
#include <set>
#include <sstream>
#include <unistd.h>

namespace {

using namespace recordtest;

constexpr TableId TABLE = 11;
constexpr TableId OTHER_TABLE = 12;

using Model = std::map<std::pair<PageId, SlotId>, std::string>;

std::pair<PageId, SlotId> key(const TupleId& tid) {
    return {tid.page, tid.slot};
}

std::string readRecord(TableId table, const TupleId& tid, TupleId* where = nullptr) {
    OrvRecord* record = nullptr;
    RM::getInstance()->get(table, tid, record);
    std::unique_ptr<OrvRecord> owned(record);
    if (where != nullptr) {
        *where = owned->getTupleId() != nullptr ? *owned->getTupleId() : tid;
    }
    return std::string(owned->getRecordData(), owned->getLength());
}

TupleId insertRecord(TableId table, const std::string& text) {
    OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
    TupleId tid;
    RM::getInstance()->insert(record, table, tid);
    return tid;
}

TupleId replaceRecord(TableId table, const TupleId& tid, const std::string& text) {
    OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
    TupleId where;
    RM::getInstance()->replace(table, tid, record, where);
    return where;
}

void expectModel(TableId table, const Model& model) {
    for (const auto& [where, content] : model) {
        ASSERT_EQ(content, readRecord(table, TupleId(where.first, where.second)))
            << where.first << "," << int(where.second);
    }
}

void expectSound(SegmentId segment) {
    const std::vector<std::string> problems = segmentProblems(segment);
    EXPECT_TRUE(problems.empty()) << problems.front();
}

class RecordRollbackTest : public orvtest::EngineTest {
protected:
    void startHere() {
        rm = RM::getInstance();
        rm->createTable(TABLE);
        OrvClientTransaction::commit();
    }

    RM* rm = nullptr;
};

// Random transactions of inserts, replaces of every kind and removes (of
// moved records too); two of three are rolled back and must leave every
// slot of the table as the transaction found it, with sound pages and
// inventory; a second rollback changes no byte of any page.
TEST_F(RecordRollbackTest, RandomTransactionsRolledBackLeaveEverySlotAsTheyFoundIt) {
    startHere();
    std::mt19937 random(20261208);
    Model committed;
    auto pickLength = [&]() -> Uint16 {
        const int shape = static_cast<int>(random() % 10);
        if (shape < 4) {
            return static_cast<Uint16>(1 + random() % 200);
        }
        if (shape < 8) {
            return static_cast<Uint16>(1 + random() % 1800);
        }
        return static_cast<Uint16>(1 + random() % RM::MAX_RECORD_LENGTH);
    };
    std::map<int, int> replaceKinds;
    int movedRemoves = 0;
    int rolledBack = 0;
    int seed = 0;
    for (int round = 0; round < 45; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto before = slotState(TABLE);
        Model working = committed;
        const int steps = 1 + static_cast<int>(random() % 30);
        for (int step = 0; step < steps; ++step) {
            const int op = static_cast<int>(random() % 10);
            const std::string text = bytes(pickLength(), ++seed);
            if (working.size() < 15 || op < 3) {
                const TupleId tid = insertRecord(TABLE, text);
                ASSERT_EQ(0u, working.count(key(tid)));
                working[key(tid)] = text;
                continue;
            }
            auto it = working.begin();
            std::advance(it, static_cast<long>(random() % working.size()));
            const TupleId tid(it->first.first, it->first.second);
            TupleId where;
            readRecord(TABLE, tid, &where);
            if (op < 8) {
                const TupleId now = replaceRecord(TABLE, tid, text);
                const bool wasHome = where == tid;
                const int kind = wasHome
                                     ? (now == tid ? RM::SAMEPRIMARY : RM::PRIMTOSEC)
                                     : (now == where ? RM::SAMESECONDARY
                                                     : (now == tid ? RM::SECTOPRIM : RM::SECTOSEC));
                ++replaceKinds[kind];
                it->second = text;
            } else {
                movedRemoves += where == tid ? 0 : 1;
                rm->remove(TABLE, tid);
                working.erase(it);
            }
        }
        expectModel(TABLE, working);
        if (round % 3 == 0) {
            OrvClientTransaction::commit();
            committed = working;
            continue;
        }
        ++rolledBack;
        {
            // The chain walk finds the entries the whole log gives.
            const OrvTransactionId me =
                OrvTransactionManager::getInstance()->getCurrentTransactionID();
            OrvRecovery whole;
            ASSERT_TRUE(whole.rollbackTransaction(RECORD, me));
            OrvRecovery chain;
            ASSERT_TRUE(chain.rollbackRunByChain(RECORD, me));
            ASSERT_EQ(whole.getRecordRollbackListLength(), chain.getRecordRollbackListLength());
            ASSERT_LT(0, chain.getRecordRollbackListLength());
            for (int i = 0; i < chain.getRecordRollbackListLength(); ++i) {
                EXPECT_EQ(whole.getRecordRollbackList()[i]->getLsn(),
                          chain.getRecordRollbackList()[i]->getLsn());
            }
        }
        rm->rollback();
        const auto images = pageImages(TABLE);
        // Twice in the same transaction: the ROLLBACK entry ended its work.
        rm->rollback();
        EXPECT_EQ(images, pageImages(TABLE));
        OrvClientTransaction::rollback();
        EXPECT_EQ(images, pageImages(TABLE));
        ASSERT_EQ(before, slotState(TABLE));
        expectModel(TABLE, committed);
        expectSound(TABLE);
    }
    EXPECT_EQ(30, rolledBack);
    for (int kind = RM::SAMEPRIMARY; kind <= RM::SECTOSEC; ++kind) {
        EXPECT_LT(0, replaceKinds[kind]) << "replace kind " << kind << " never happened";
    }
    EXPECT_LT(0, movedRemoves);
}

// Rolling back an insert removes the record with a COMPENSATE_DELETE entry,
// then the transaction's ROLLBACK entry follows; a delete of a moved record
// comes back into its secondary slot with its placeholder.
TEST_F(RecordRollbackTest, CompensationEntriesAndAMovedRecordsDelete) {
    startHere();
    const TupleId a = insertRecord(TABLE, bytes(3000, 1));
    const TupleId b = insertRecord(TABLE, bytes(900, 2));
    const TupleId moved = replaceRecord(TABLE, b, bytes(2000, 3));
    ASSERT_NE(b.page, moved.page);
    OrvClientTransaction::commit();
    const auto before = slotState(TABLE);

    const TupleId c = insertRecord(TABLE, bytes(10, 4));
    rm->remove(TABLE, b);
    rm->remove(TABLE, a);
    OrvClientTransaction::rollback();
    EXPECT_EQ(before, slotState(TABLE));
    EXPECT_EQ(ORV_RM_REC_NOT_FOUND, codeOf([&] { readRecord(TABLE, c); }));
    TupleId where;
    EXPECT_EQ(bytes(2000, 3), readRecord(TABLE, b, &where));
    EXPECT_EQ(moved, where);
    OrvClientTransaction::commit();

    OrvRecovery recovery;
    recovery.AnalyseLog(RECORD);
    std::vector<int> tail;
    const OrvRecordLogEntry* entries = recovery.getRecordRedoList();
    // The last entries, the COMMIT behind them left out.
    const int end = recovery.getRecordRedoListLength() - 1;
    ASSERT_EQ(COMMIT, entries[end].getTransactionType());
    for (int i = end - 7; i < end; ++i) {
        tail.push_back(entries[i].getTransactionType());
    }
    EXPECT_EQ((std::vector<int>{INSERT, DELETE, DELETE, COMPENSATE_INSERT, COMPENSATE_INSERT,
                                COMPENSATE_DELETE, ROLLBACK}),
              tail);
    // The compensations name the secondary slot the record comes back to.
    const OrvRecordLogEntry& back = entries[end - 3];
    ASSERT_NE(nullptr, back.getNewSecTID());
    EXPECT_EQ(moved, *back.getNewSecTID());
    expectSound(TABLE);
}

// Removing the last slots shrinks the directory; an insert takes the lower
// one again. Undoing the insert shrinks it below the slot the first remove
// must refill: the directory grows back with empty slots.
TEST_F(RecordRollbackTest, ASlotAboveAShrunkenDirectoryIsRefilled) {
    startHere();
    std::vector<TupleId> tids;
    for (int i = 0; i < 5; ++i) {
        tids.push_back(insertRecord(TABLE, bytes(100, i)));
        ASSERT_EQ(TupleId(1, static_cast<SlotId>(i)), tids.back());
    }
    OrvClientTransaction::commit();
    const auto before = slotState(TABLE);
    rm->remove(TABLE, tids[3]);
    rm->remove(TABLE, tids[4]);
    EXPECT_EQ(TupleId(1, 3), insertRecord(TABLE, bytes(50, 9)));
    OrvClientTransaction::rollback();
    EXPECT_EQ(before, slotState(TABLE));
    expectSound(TABLE);
}

// A page whose 255 slots are all in use: a record that moved off it comes
// back, and so does one that was removed; the slot being refilled counts as
// free.
TEST_F(RecordRollbackTest, APageWith255UsedSlotsTakesItsRecordsBack) {
    startHere();
    std::vector<TupleId> tids;
    for (int i = 0; i < 255; ++i) {
        tids.push_back(insertRecord(TABLE, bytes(7, i)));
        ASSERT_EQ(1, tids.back().page);
    }
    OrvClientTransaction::commit();
    const auto before = slotState(TABLE);
    const TupleId moved = replaceRecord(TABLE, tids[100], bytes(3000, 500));
    ASSERT_NE(1, moved.page);
    rm->remove(TABLE, tids[7]);
    replaceRecord(TABLE, tids[8], bytes(5, 501));
    OrvClientTransaction::rollback();
    EXPECT_EQ(before, slotState(TABLE));
    expectSound(TABLE);
}

// A table dropped in the transaction is back with its records after the
// rollback; a table made in it is gone.
TEST_F(RecordRollbackTest, DroppedTablesComeBackAndNewOnesGo) {
    startHere();
    rm->createTable(OTHER_TABLE);
    std::vector<TupleId> tids;
    for (int i = 0; i < 40; ++i) {
        tids.push_back(insertRecord(OTHER_TABLE, bytes(300 + i * 40, i)));
    }
    OrvClientTransaction::commit();
    const auto before = slotState(OTHER_TABLE);

    replaceRecord(OTHER_TABLE, tids[3], bytes(3500, 99));
    rm->remove(OTHER_TABLE, tids[5]);
    insertRecord(OTHER_TABLE, bytes(20, 98));
    rm->dropTable(OTHER_TABLE);
    constexpr TableId NEW_TABLE = 13;
    rm->createTable(NEW_TABLE);
    insertRecord(NEW_TABLE, bytes(20, 97));
    OrvClientTransaction::rollback();

    EXPECT_EQ(before, slotState(OTHER_TABLE));
    expectSound(OTHER_TABLE);
    // The new table's file is gone: it can be made again.
    EXPECT_EQ(ORV_SUCCESS, codeOf([&] { rm->createTable(NEW_TABLE); }));
    OrvClientTransaction::commit();
    // The dropped table stays after later commits.
    EXPECT_EQ(bytes(300 + 5 * 40, 5), readRecord(OTHER_TABLE, tids[5]));
    OrvClientTransaction::commit();
}

// The guard rolls back unless committed, also when an exception leaves its
// block, and releases the locks either way.
TEST_F(RecordRollbackTest, TheGuardRollsBackUnlessCommitted) {
    startHere();
    const TupleId kept = insertRecord(TABLE, bytes(40, 1));
    OrvClientTransaction::commit();
    TupleId lost;
    {
        OrvTransactionGuard guard;
        lost = insertRecord(TABLE, bytes(40, 2));
        replaceRecord(TABLE, kept, bytes(60, 3));
    }
    bool inUse = true;
    OrvLockManager::isLockListInUse(inUse);
    EXPECT_FALSE(inUse);
    EXPECT_EQ(bytes(40, 1), readRecord(TABLE, kept));
    EXPECT_EQ(ORV_RM_REC_NOT_FOUND, codeOf([&] { readRecord(TABLE, lost); }));
    OrvClientTransaction::commit();

    EXPECT_EQ(ORV_RM_NULL_LEN_REC, codeOf([&] {
                  OrvTransactionGuard guard;
                  replaceRecord(TABLE, kept, bytes(70, 4));
                  insertRecord(TABLE, "");
                  guard.commit();
              }));
    EXPECT_EQ(bytes(40, 1), readRecord(TABLE, kept));
    OrvClientTransaction::commit();

    {
        OrvTransactionGuard guard;
        replaceRecord(TABLE, kept, bytes(80, 5));
        guard.commit();
    }
    EXPECT_EQ(bytes(80, 5), readRecord(TABLE, kept));
    OrvClientTransaction::commit();
    OrvLockManager::isLockListInUse(inUse);
    EXPECT_FALSE(inUse);

    // A fix left over refuses the rollback before anything is undone.
    replaceRecord(TABLE, kept, bytes(90, 6));
    {
        OrvScopedPage page(TABLE, kept.page, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        EXPECT_EQ(ORV_BM_FIXES_LEFT, codeOf([] { OrvClientTransaction::rollback(); }));
    }
    EXPECT_EQ(bytes(90, 6), readRecord(TABLE, kept));
    OrvClientTransaction::rollback();
    EXPECT_EQ(bytes(80, 5), readRecord(TABLE, kept));
    OrvClientTransaction::commit();
}

// Another process commits records in the same table while this one's
// transaction is open; rolling this one back leaves them as committed.
TEST_F(RecordRollbackTest, ARollbackLeavesAnotherProcesssCommittedRecordsAlone) {
    startHere();
    std::vector<TupleId> mine;
    for (int i = 0; i < 30; ++i) {
        mine.push_back(insertRecord(TABLE, bytes(200 + i * 50, i)));
    }
    OrvClientTransaction::commit();
    OrvSystem::stopAllManagers();
    OrvTransactionManager::resetForProcess();

    int toChild[2];
    int toParent[2];
    ASSERT_EQ(0, pipe(toChild));
    ASSERT_EQ(0, pipe(toParent));
    const int pid = orvtest::startChild([&]() {
        OrvTransactionManager::resetForProcess();
        char go = 0;
        if (read(toChild[0], &go, 1) != 1) {
            return 2;
        }
        std::string report;
        try {
            for (int i = 0; i < 40; ++i) {
                const TupleId tid = insertRecord(TABLE, bytes(100 + i * 30, 1000 + i));
                report += std::to_string(tid.page) + " " + std::to_string(tid.slot) + " " +
                          std::to_string(i) + "\n";
            }
            OrvClientTransaction::commit();
        } catch (const OrvException& e) {
            std::fprintf(stderr, "child: %s\n", e.what());
            OrvSystem::stopAllManagers();
            return 3;
        }
        OrvSystem::stopAllManagers();
        return write(toParent[1], report.data(), report.size()) ==
                       static_cast<ssize_t>(report.size())
                   ? 0
                   : 4;
    });
    close(toChild[0]);
    close(toParent[1]);

    rm = RM::getInstance();
    const auto before = slotState(TABLE);
    for (int i = 0; i < 30; i += 3) {
        replaceRecord(TABLE, mine[i], bytes(3000 - i * 50, 500 + i));
    }
    rm->remove(TABLE, mine[1]);
    insertRecord(TABLE, bytes(30, 600));
    ASSERT_EQ(1, write(toChild[1], "g", 1));
    close(toChild[1]);
    EXPECT_EQ(0, orvtest::waitChild(pid));
    std::string report;
    char chunk[4096];
    for (ssize_t n; (n = read(toParent[0], chunk, sizeof(chunk))) > 0;) {
        report.append(chunk, static_cast<std::size_t>(n));
    }
    close(toParent[0]);

    OrvClientTransaction::rollback();
    auto expected = before;
    std::istringstream lines(report);
    int page = 0;
    int slot = 0;
    int i = 0;
    int count = 0;
    while (lines >> page >> slot >> i) {
        ++count;
        const TupleId tid(static_cast<PageId>(page), static_cast<SlotId>(slot));
        EXPECT_EQ(bytes(100 + i * 30, 1000 + i), readRecord(TABLE, tid));
        expected[key(tid)] = "P:" + bytes(100 + i * 30, 1000 + i);
    }
    EXPECT_EQ(40, count);
    EXPECT_EQ(expected, slotState(TABLE));
    OrvClientTransaction::commit();
    expectSound(TABLE);
}

// A record that grows to fill its page to the last byte: the page has no
// free byte left, which is no damage; rolled back, it is as it was.
TEST_F(RecordRollbackTest, AReplaceThatFillsThePageExactlyAndItsRollback) {
    startHere();
    const TupleId a = insertRecord(TABLE, bytes(2000, 1));
    const TupleId b = insertRecord(TABLE, bytes(1000, 2));
    ASSERT_EQ(a.page, b.page);
    OrvClientTransaction::commit();
    const auto before = slotState(TABLE);
    // Directory and spare slot 48 bytes, records 2000 + 2048: 4096.
    EXPECT_EQ(b, replaceRecord(TABLE, b, bytes(2048, 3)));
    EXPECT_EQ(bytes(2048, 3), readRecord(TABLE, b));
    expectSound(TABLE);
    OrvClientTransaction::rollback();
    EXPECT_EQ(before, slotState(TABLE));
    expectSound(TABLE);
}

} // namespace
