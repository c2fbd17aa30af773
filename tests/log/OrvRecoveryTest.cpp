// Log analysis: reading the log files back, and the undo and rollback lists
// bounded by the chains of previous LSNs.
#include "log/OrvRecovery.h"

#include "OrvTestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

// Writes log files the way the log manager lays them out, for processes
// the test plays: each entry at the end of the current file, linked to the
// previous entry of its writer.
class LogWriter {
public:
    explicit LogWriter(const std::string& directory) : dir(directory) {}

    // A process with this id; a later process with the same id (a reused
    // pid) is another Writer with the same id.
    struct Writer {
        OrvTransactionId id;
        OrvLsn last;
    };

    OrvLsn record(Writer& w, int type, PageId page = 1, const std::string& image = "img") {
        TupleId tid(page, 1);
        OrvRecordLogEntry entry(w.id, 5, image.data(), static_cast<int>(image.size()), image.data(),
                                static_cast<int>(image.size()), type, &tid, nullptr, nullptr);
        return append(w, entry);
    }
    OrvLsn index(Writer& w, int type, PageId page = 1) {
        OrvIndexLogEntry entry(w.id, &page, 32769, "b", 1, "a", 1, type);
        return append(w, entry);
    }
    void startFile(Uint16 number) { file = number; }
    std::string path(Uint16 number) const { return dir + "/" + std::to_string(number) + ".log"; }

private:
    OrvLsn append(Writer& w, OrvAbstractLogEntry& entry) {
        std::string& bytes = files[file];
        OrvLsn lsn(file, static_cast<Uint32>(bytes.size()));
        entry.setLsn(lsn);
        entry.setPrevLsn(w.last);
        std::string form;
        entry.serializeTo(form);
        bytes += form + "\n";
        orvtest::writeFile(path(file), bytes);
        w.last = lsn;
        return lsn;
    }

    std::string dir;
    Uint16 file = 1;
    std::map<Uint16, std::string> files;
};

std::vector<OrvLsn> lsnsOf(OrvRecordLogEntry** list, int length) {
    std::vector<OrvLsn> lsns;
    for (int i = 0; i < length; ++i) {
        lsns.push_back(list[i]->getLsn());
    }
    return lsns;
}

std::vector<OrvLsn> lsnsOf(OrvIndexLogEntry** list, int length) {
    std::vector<OrvLsn> lsns;
    for (int i = 0; i < length; ++i) {
        lsns.push_back(list[i]->getLsn());
    }
    return lsns;
}

std::vector<OrvLsn> recordUndo(OrvRecovery& r) {
    return lsnsOf(r.getRecordUndoList(), r.getRecordUndoListLength());
}
std::vector<OrvLsn> indexUndo(OrvRecovery& r) {
    return lsnsOf(r.getIndexUndoList(), r.getIndexUndoListLength());
}
std::vector<OrvLsn> recordRollback(OrvRecovery& r) {
    return lsnsOf(r.getRecordRollbackList(), r.getRecordRollbackListLength());
}
std::vector<OrvLsn> indexRollback(OrvRecovery& r) {
    return lsnsOf(r.getIndexRollbackList(), r.getIndexRollbackListLength());
}

class OrvRecoveryTest : public ::testing::Test {
protected:
    OrvRecoveryTest() : log(dir.path()) {}

    // Analyses with ALL and builds both undo lists (without their empty
    // lines on standard output, which would clutter the test's output).
    void undoAll(OrvRecovery& recovery) {
        ASSERT_TRUE(recovery.AnalyseLog(ALL));
        testing::internal::CaptureStdout();
        bool built = recovery.makeUndoLists(ALL);
        EXPECT_EQ("\n\n", testing::internal::GetCapturedStdout());
        ASSERT_TRUE(built);
    }

    orvtest::TempDir dir;
    LogWriter log;
};

TEST_F(OrvRecoveryTest, WithoutLogFilesEverythingIsEmpty) {
    OrvRecovery recovery(dir.path());
    EXPECT_EQ(nullptr, recovery.getRecordUndoList());
    EXPECT_EQ(0, recovery.getIndexRollbackListLength());
    undoAll(recovery);
    EXPECT_EQ(0, recovery.getRecordRedoListLength());
    EXPECT_EQ(0, recovery.getIndexRedoListLength());
    EXPECT_EQ(nullptr, recovery.getRecordRedoList());
    EXPECT_EQ(0, recovery.getRecordUndoListLength());
    EXPECT_EQ(0, recovery.getIndexUndoListLength());
    EXPECT_TRUE(recovery.makeRollbackLists(RECORD, OrvTransactionId(1, 0), OrvLsn(1, 0)));
    EXPECT_EQ(0, recovery.getRecordRollbackListLength());
}

TEST_F(OrvRecoveryTest, RedoListsHoldEveryEntryInLogOrder) {
    LogWriter::Writer a{OrvTransactionId(10, 0), OrvLsn()};
    OrvLsn r1 = log.record(a, INSERT);
    OrvLsn i1 = log.index(a, INTEGER_OPERATION);
    OrvLsn r2 = log.record(a, UPDATE, 2, std::string("x\ny;z\n", 6));
    OrvLsn i2 = log.index(a, COMMIT);

    OrvRecovery recovery(dir.path());
    ASSERT_TRUE(recovery.AnalyseLog(ALL));
    ASSERT_EQ(2, recovery.getRecordRedoListLength());
    ASSERT_EQ(2, recovery.getIndexRedoListLength());
    OrvRecordLogEntry* records = recovery.getRecordRedoList();
    EXPECT_EQ(r1, records[0].getLsn());
    EXPECT_EQ(r2, records[1].getLsn());
    // The chain runs through entries of both kinds.
    EXPECT_EQ(i1, records[1].getPrevLsn());
    EXPECT_EQ(std::string("x\ny;z\n", 6), std::string(records[1].getAfterImage(), 6));
    EXPECT_EQ(i1, recovery.getIndexRedoList()[0].getLsn());
    EXPECT_EQ(i2, recovery.getIndexRedoList()[1].getLsn());
    EXPECT_EQ(COMMIT, recovery.getIndexRedoList()[1].getTransactionType());

    // Analysed for one kind, the other array holds empty entries, as many
    // as the log has.
    OrvRecovery recordsOnly(dir.path());
    ASSERT_TRUE(recordsOnly.AnalyseLog(RECORD));
    EXPECT_EQ(2, recordsOnly.getRecordRedoListLength());
    ASSERT_EQ(2, recordsOnly.getIndexRedoListLength());
    EXPECT_EQ(OrvLsn(), recordsOnly.getIndexRedoList()[0].getLsn());
    EXPECT_FALSE(recordsOnly.makeRollbackLists(INDEX, a.id, i2));
    EXPECT_TRUE(recordsOnly.makeRollbackLists(ALL, a.id, i2));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(recordsOnly.makeUndoLists(ALL));
    EXPECT_TRUE(recordsOnly.makeUndoLists(RECORD));
    testing::internal::GetCapturedStdout();
}

TEST_F(OrvRecoveryTest, UndoListsHoldTheUnendedTransactionsNewestFirst) {
    LogWriter::Writer committed{OrvTransactionId(10, 0), OrvLsn()};
    LogWriter::Writer open{OrvTransactionId(11, 0), OrvLsn()};
    LogWriter::Writer rolledBack{OrvTransactionId(12, 0), OrvLsn()};
    log.record(committed, INSERT);
    OrvLsn o1 = log.record(open, INSERT);
    log.record(rolledBack, INSERT);
    OrvLsn oi = log.index(open, INTEGER_OPERATION);
    log.record(committed, COMMIT);
    log.record(rolledBack, COMPENSATE_DELETE);
    log.record(rolledBack, ROLLBACK);
    log.index(rolledBack, ROLLBACK);
    OrvLsn o2 = log.record(open, UPDATE);

    OrvRecovery recovery(dir.path());
    undoAll(recovery);
    EXPECT_EQ((std::vector<OrvLsn>{o2, o1}), recordUndo(recovery));
    EXPECT_EQ((std::vector<OrvLsn>{oi}), indexUndo(recovery));
}

TEST_F(OrvRecoveryTest, AReusedTransactionIdIsSplitIntoRuns) {
    // An earlier process with the same id committed (as the start program
    // does when it writes the catalog); a later one died unfinished; the
    // latest one finished again. Only the unfinished run is open.
    LogWriter::Writer first{OrvTransactionId(77, 0), OrvLsn()};
    log.record(first, INSERT);
    log.index(first, INTEGER_OPERATION);
    log.record(first, COMMIT);
    log.index(first, COMMIT);
    LogWriter::Writer died{OrvTransactionId(77, 0), OrvLsn()};
    OrvLsn d1 = log.record(died, INSERT);
    OrvLsn d2 = log.index(died, INTEGER_OPERATION);
    LogWriter::Writer latest{OrvTransactionId(77, 0), OrvLsn()};
    log.record(latest, DELETE);
    log.record(latest, COMMIT);

    OrvRecovery recovery(dir.path());
    undoAll(recovery);
    EXPECT_EQ((std::vector<OrvLsn>{d1}), recordUndo(recovery));
    EXPECT_EQ((std::vector<OrvLsn>{d2}), indexUndo(recovery));

    // Rolling back the unfinished run touches nothing of the others.
    ASSERT_TRUE(recovery.makeRollbackLists(RECORD, died.id, d2));
    ASSERT_TRUE(recovery.makeRollbackLists(INDEX, died.id, d2));
    EXPECT_EQ((std::vector<OrvLsn>{d1}), recordRollback(recovery));
    EXPECT_EQ((std::vector<OrvLsn>{d2}), indexRollback(recovery));
}

TEST_F(OrvRecoveryTest, RollbackListsHoldTheCurrentRunOfOneKindNewestFirst) {
    LogWriter::Writer earlier{OrvTransactionId(5, 2), OrvLsn()};
    log.record(earlier, INSERT);
    LogWriter::Writer other{OrvTransactionId(6, 0), OrvLsn()};
    LogWriter::Writer current{OrvTransactionId(5, 2), OrvLsn()};
    OrvLsn r1 = log.record(current, INSERT);
    log.record(other, INSERT);
    OrvLsn i1 = log.index(current, INTEGER_OPERATION);
    OrvLsn r2 = log.record(current, DELETE);
    OrvLsn i2 = log.index(current, INTEGER_OPERATION);

    OrvRecovery recovery(dir.path());
    ASSERT_TRUE(recovery.AnalyseLog(ALL));
    ASSERT_TRUE(recovery.makeRollbackLists(RECORD, current.id, current.last));
    ASSERT_TRUE(recovery.makeRollbackLists(INDEX, current.id, current.last));
    EXPECT_EQ((std::vector<OrvLsn>{r2, r1}), recordRollback(recovery));
    EXPECT_EQ((std::vector<OrvLsn>{i2, i1}), indexRollback(recovery));

    // Up to an earlier entry of the run, and for an LSN of another
    // transaction or of no entry at all: nothing beyond.
    ASSERT_TRUE(recovery.makeRollbackLists(RECORD, current.id, i1));
    EXPECT_EQ((std::vector<OrvLsn>{r1}), recordRollback(recovery));
    ASSERT_TRUE(recovery.makeRollbackLists(RECORD, current.id, other.last));
    EXPECT_TRUE(recordRollback(recovery).empty());
    ASSERT_TRUE(recovery.makeRollbackLists(RECORD, current.id, OrvLsn(9, 9)));
    EXPECT_TRUE(recordRollback(recovery).empty());
}

TEST_F(OrvRecoveryTest, CommitEndsBothKindsAndRollbackOnlyItsOwn) {
    LogWriter::Writer w{OrvTransactionId(8, 0), OrvLsn()};
    log.record(w, INSERT);
    log.index(w, INTEGER_OPERATION);
    log.record(w, COMMIT);
    // Work after the commit under the same id is open again.
    OrvLsn r = log.record(w, UPDATE);
    OrvLsn i = log.index(w, INTEGER_OPERATION);
    OrvLsn comp = log.record(w, COMPENSATE_UPDATE);
    OrvLsn rollback = log.record(w, ROLLBACK);

    OrvRecovery recovery(dir.path());
    undoAll(recovery);
    // The record manager finished its rollback; the index manager had not.
    EXPECT_TRUE(recordUndo(recovery).empty());
    EXPECT_EQ((std::vector<OrvLsn>{i}), indexUndo(recovery));
    ASSERT_TRUE(recovery.makeRollbackLists(INDEX, w.id, rollback));
    EXPECT_EQ((std::vector<OrvLsn>{i}), indexRollback(recovery));
    ASSERT_TRUE(recovery.makeRollbackLists(RECORD, w.id, comp));
    EXPECT_EQ((std::vector<OrvLsn>{comp, r}), recordRollback(recovery));
}

TEST_F(OrvRecoveryTest, AMissingFileEndsTheLog) {
    LogWriter::Writer w{OrvTransactionId(3, 0), OrvLsn()};
    OrvLsn first = log.record(w, INSERT);
    log.startFile(3);
    log.record(w, UPDATE);
    OrvRecovery recovery(dir.path());
    undoAll(recovery);
    ASSERT_EQ(1, recovery.getRecordRedoListLength());
    EXPECT_EQ(first, recovery.getRecordRedoList()[0].getLsn());
    EXPECT_EQ((std::vector<OrvLsn>{first}), recordUndo(recovery));

    // With 2.log present, 3.log is read as well.
    log.startFile(2);
    LogWriter::Writer later{OrvTransactionId(4, 0), OrvLsn()};
    log.record(later, DELETE);
    OrvRecovery again(dir.path());
    ASSERT_TRUE(again.AnalyseLog(RECORD));
    EXPECT_EQ(3, again.getRecordRedoListLength());
}

TEST_F(OrvRecoveryTest, ADamagedEntryEndsTheLogAndLaterFilesAreNotRead) {
    LogWriter::Writer w{OrvTransactionId(3, 0), OrvLsn()};
    OrvLsn first = log.record(w, INSERT);
    log.record(w, UPDATE);
    log.startFile(2);
    log.record(w, DELETE);
    // The second entry of 1.log loses its last bytes, as an append cut short
    // by a full disk leaves it.
    std::string bytes = orvtest::readFile(log.path(1));
    orvtest::writeFile(log.path(1), bytes.substr(0, bytes.size() - 3));

    OrvRecovery recovery(dir.path());
    undoAll(recovery);
    ASSERT_EQ(1, recovery.getRecordRedoListLength());
    EXPECT_EQ(first, recovery.getRecordRedoList()[0].getLsn());
}

TEST_F(OrvRecoveryTest, AnEntryWhosePredecessorIsLostBeginsARunOfItsOwn) {
    // The chain names a place where no entry begins (the bytes there were
    // lost); the entry still counts, as a run of its own.
    LogWriter::Writer other{OrvTransactionId(5, 0), OrvLsn()};
    OrvLsn otherFirst = log.record(other, INSERT);
    LogWriter::Writer w{OrvTransactionId(4, 0), OrvLsn(1, 1)};
    OrvLsn orphan = log.record(w, INSERT);
    // A previous LSN naming an entry of another transaction is no link.
    LogWriter::Writer crossed{OrvTransactionId(4, 0), otherFirst};
    OrvLsn crossedEntry = log.record(crossed, INSERT);
    log.record(other, COMMIT);

    OrvRecovery recovery(dir.path());
    undoAll(recovery);
    EXPECT_EQ((std::vector<OrvLsn>{crossedEntry, orphan}), recordUndo(recovery));
    ASSERT_TRUE(recovery.makeRollbackLists(RECORD, w.id, crossedEntry));
    EXPECT_EQ((std::vector<OrvLsn>{crossedEntry}), recordRollback(recovery));
}

// The rollback list read back along the chain of previous LSNs is the one
// the whole log gives, for every writer and both kinds: random entries of
// three processes (one of them a later process with a reused id), commits,
// rollbacks of one kind, and new log files between them.
TEST_F(OrvRecoveryTest, TheChainWalkFindsTheRollbackListOfTheWholeLog) {
    std::mt19937 random(77);
    std::vector<LogWriter::Writer> writers = {{OrvTransactionId(10, 0), OrvLsn()},
                                              {OrvTransactionId(11, 3), OrvLsn()},
                                              {OrvTransactionId(10, 0), OrvLsn()}};
    Uint16 file = 1;
    const int types[] = {INSERT, UPDATE, DELETE, COMPENSATE_UPDATE, COMMIT, ROLLBACK};
    for (int n = 0; n < 600; ++n) {
        // The reused id begins once the first process is done.
        LogWriter::Writer& w = writers[n < 300 ? random() % 2 : 1 + random() % 2];
        const int type = types[random() % 6];
        if (random() % 2 == 0) {
            log.record(w, type, static_cast<PageId>(1 + random() % 9),
                       std::string(1 + random() % 700, 'x'));
        } else {
            log.index(w, type == UPDATE ? INTEGER_OPERATION : type);
        }
        if (random() % 97 == 0) {
            log.startFile(++file);
        }
    }
    OrvRecovery whole(dir.path());
    ASSERT_TRUE(whole.AnalyseLog(ALL));
    std::size_t open = 0;
    for (const LogWriter::Writer& w : writers) {
        ASSERT_TRUE(whole.makeRollbackLists(RECORD, w.id, w.last));
        ASSERT_TRUE(whole.makeRollbackLists(INDEX, w.id, w.last));
        OrvRecovery records(dir.path());
        ASSERT_TRUE(records.rollbackRunByChain(RECORD, w.id, w.last));
        EXPECT_EQ(recordRollback(whole), recordRollback(records));
        OrvRecovery indexes(dir.path());
        ASSERT_TRUE(indexes.rollbackRunByChain(INDEX, w.id, w.last));
        EXPECT_EQ(indexRollback(whole), indexRollback(indexes));
        EXPECT_EQ(0, indexes.getRecordRollbackListLength());
        open += recordRollback(records).size() + indexRollback(indexes).size();
    }
    EXPECT_LT(0u, open) << "no writer had open work to compare";
    // A chain that leads into a damaged place ends there, as the whole log
    // ends there.
    OrvRecovery none(dir.path());
    ASSERT_TRUE(none.rollbackRunByChain(RECORD, writers[1].id, OrvLsn(1, 3)));
    EXPECT_EQ(0, none.getRecordRollbackListLength());
}

} // namespace
