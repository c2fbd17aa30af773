// The log manager on a database of each test's own: LSNs, the chain of
// previous LSNs, the file switch, appends of several processes, the one log
// directory, failures of the file system, and the "LOG_PRINT" dumps.
#include "log/OrvLogManager.h"
#include "OrvLog.h"
#include "log/OrvRecordLogEntry.h"
#include "log/OrvRecovery.h"

#include "OrvDebug.h"
#include "OrvError.h"
#include "OrvException.h"
#include "support/OrvIo.h"
#include "support/OrvMemoryManager.h"

#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"
#include "OrvTestSync.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

template <typename Call> OrvErrorCode failureOf(Call call, std::string* token = nullptr) {
    try {
        call();
    } catch (const OrvException& e) {
        if (token != nullptr) {
            *token = e.getToken(1);
        }
        return e.getErrorCode();
    }
    return ORV_SUCCESS;
}

OrvRecordLogEntry recordEntry(const OrvTransactionId& tid, int type,
                              const std::string& image = std::string()) {
    TupleId primary(1, 1);
    return OrvRecordLogEntry(tid, 7, nullptr, 0, image.data(), static_cast<int>(image.size()), type,
                             type == COMMIT ? nullptr : &primary, nullptr, nullptr);
}

std::string serialisedLine(OrvAbstractLogEntry& entry) {
    std::string form;
    entry.serializeTo(form);
    return form + "\n";
}

off_t fileSize(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

// A database whose log file handling area was made by this process, with
// the database directory as working (and so log) directory.
class OrvLogManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, chdir(db.path().c_str()));
        OrvLogManager::initializeLogFileHandling();
    }
    void TearDown() override {
        OrvIo::clearFaults();
        OrvLogManager::deleteInstance();
    }
    std::string logFile(int number) const { return db.file(std::to_string(number) + ".log"); }
    OrvLogManager* logManager() { return OrvLogManager::getInstance(); }

    const OrvTransactionId tid{4711, 3};
    orvtest::TestDatabase db;
};

TEST_F(OrvLogManagerTest, FirstEntryIsAtOneZeroWithoutPredecessor) {
    OrvRecordLogEntry entry = recordEntry(tid, INSERT, std::string("a;b\nc", 5));
    EXPECT_EQ(OrvLsn(1, 0), logManager()->createLogEntry(&entry));
    EXPECT_EQ(OrvLsn(1, 0), entry.getLsn());
    EXPECT_EQ(OrvLsn(), entry.getPrevLsn());
    EXPECT_EQ(serialisedLine(entry), orvtest::readFile(logFile(1)));
    EXPECT_EQ(db.file(""), logManager()->getLogDirectory() + "/");

    // The file is read back into the same entry.
    OrvRecovery recovery;
    ASSERT_TRUE(recovery.AnalyseLog(RECORD));
    ASSERT_EQ(1, recovery.getRecordRedoListLength());
    EXPECT_EQ(serialisedLine(entry), serialisedLine(recovery.getRecordRedoList()[0]));
}

TEST_F(OrvLogManagerTest, AStartKeepsAnExistingLogAndAppendsToIt) {
    orvtest::writeFile(logFile(1), std::string(500, 'x'));
    OrvRecordLogEntry entry = recordEntry(tid, INSERT);
    EXPECT_EQ(OrvLsn(1, 500), logManager()->createLogEntry(&entry));
    std::string bytes = orvtest::readFile(logFile(1));
    EXPECT_EQ(std::string(500, 'x'), bytes.substr(0, 500));
    EXPECT_EQ(serialisedLine(entry), bytes.substr(500));
}

TEST_F(OrvLogManagerTest, PreviousLsnsChainTheEntriesOfOneTransaction) {
    OrvRecordLogEntry first = recordEntry(tid, INSERT);
    OrvRecordLogEntry second = recordEntry(tid, UPDATE);
    OrvRecordLogEntry other = recordEntry(OrvTransactionId(4711, 4), INSERT);
    OrvRecordLogEntry back = recordEntry(tid, COMMIT);
    OrvLsn l1 = logManager()->createLogEntry(&first);
    OrvLsn l2 = logManager()->createLogEntry(&second);
    OrvLsn l3 = logManager()->createLogEntry(&other);
    OrvLsn l4 = logManager()->createLogEntry(&back);
    EXPECT_TRUE(l1 < l2 && l2 < l3 && l3 < l4);
    EXPECT_EQ(OrvLsn(1, static_cast<Uint32>(serialisedLine(first).size())), l2);
    EXPECT_EQ(l1, second.getPrevLsn());
    EXPECT_EQ(OrvLsn(), other.getPrevLsn());
    // Another transaction came in between: the chain of the first ends.
    EXPECT_EQ(OrvLsn(), back.getPrevLsn());
    EXPECT_EQ(l4, logManager()->getLastLsn(tid));
    EXPECT_EQ(OrvLsn(), logManager()->getLastLsn(OrvTransactionId(4711, 4)));
}

TEST_F(OrvLogManagerTest, ALogFileIsContinuedUpToTenMiBAndThenTheNextBegins) {
    orvtest::writeFile(logFile(1), "");
    ASSERT_EQ(0, ::truncate(logFile(1).c_str(), ORV_LOG_FILE_SWITCH_SIZE));
    OrvRecordLogEntry atLimit = recordEntry(tid, INSERT);
    EXPECT_EQ(OrvLsn(1, ORV_LOG_FILE_SWITCH_SIZE), logManager()->createLogEntry(&atLimit));

    OrvRecordLogEntry beyond = recordEntry(tid, UPDATE);
    EXPECT_EQ(OrvLsn(2, 0), logManager()->createLogEntry(&beyond));
    EXPECT_EQ(OrvLsn(1, ORV_LOG_FILE_SWITCH_SIZE), beyond.getPrevLsn());
    OrvRecordLogEntry next = recordEntry(tid, DELETE);
    off_t size2 = fileSize(logFile(2));
    EXPECT_EQ(OrvLsn(2, static_cast<Uint32>(size2)), logManager()->createLogEntry(&next));
}

TEST_F(OrvLogManagerTest, FilesTooLargeAreSkippedAndSmallOnesContinued) {
    // Left by an earlier run of the engine: 1.log and 2.log full, 3.log not.
    orvtest::writeFile(logFile(1), "");
    orvtest::writeFile(logFile(2), "");
    ASSERT_EQ(0, ::truncate(logFile(1).c_str(), ORV_LOG_FILE_SWITCH_SIZE + 1));
    ASSERT_EQ(0, ::truncate(logFile(2).c_str(), 20000000));
    orvtest::writeFile(logFile(3), std::string(10, 'y'));
    OrvRecordLogEntry entry = recordEntry(tid, INSERT);
    EXPECT_EQ(OrvLsn(3, 10), logManager()->createLogEntry(&entry));
    // The file number stays where the switch left it.
    OrvLogManager::deleteInstance();
    OrvRecordLogEntry again = recordEntry(tid, INSERT);
    EXPECT_EQ(3, logManager()->createLogEntry(&again).getFilenumber());
}

TEST_F(OrvLogManagerTest, ConcurrentWritersGetUniqueAscendingLsnsAndWholeEntries) {
    constexpr int ENTRIES = 150;
    orvtest::Pipe go;
    auto writer = [&go](int seed) {
        return [&go, seed]() {
            OrvTransactionManager::resetForProcess();
            OrvTransactionId me = OrvTransactionManager::getInstance()->getCurrentTransactionID();
            if (!go.receive()) {
                return 2;
            }
            OrvLsn previous;
            for (int i = 0; i < ENTRIES; ++i) {
                // Sizes from a few bytes to two pages, with separators and
                // line breaks, so torn or interleaved writes would show.
                std::string image(static_cast<std::size_t>((i * 977 + seed * 131) % 8200), 'a');
                for (std::size_t k = 0; k < image.size(); k += 97) {
                    image[k] = (k / 97) % 2 == 0 ? '\n' : ';';
                }
                OrvRecordLogEntry entry =
                    recordEntry(me, i + 1 == ENTRIES ? COMMIT : INSERT, image);
                OrvLsn lsn = OrvLogManager::getInstance()->createLogEntry(&entry);
                if (!(previous < lsn) || !(entry.getPrevLsn() == previous)) {
                    return 3;
                }
                previous = lsn;
            }
            OrvLogManager::deleteInstance();
            return 0;
        };
    };
    orvtest::ChildProcess a(writer(1));
    orvtest::ChildProcess b(writer(2));
    go.send();
    go.send();
    ASSERT_EQ(0, a.wait(60000));
    ASSERT_EQ(0, b.wait(60000));

    OrvRecovery recovery(db.path());
    ASSERT_TRUE(recovery.AnalyseLog(ALL));
    ASSERT_EQ(2 * ENTRIES, recovery.getRecordRedoListLength());
    EXPECT_EQ(fileSize(logFile(1)), static_cast<off_t>(orvtest::readFile(logFile(1)).size()));
    std::map<pid_t, OrvLsn> last;
    std::map<pid_t, int> count;
    OrvRecordLogEntry* entries = recovery.getRecordRedoList();
    for (int i = 0; i < recovery.getRecordRedoListLength(); ++i) {
        pid_t pid = entries[i].getTransactionID().getProcessID();
        EXPECT_EQ(last[pid], entries[i].getPrevLsn()) << "entry " << i;
        last[pid] = entries[i].getLsn();
        ++count[pid];
    }
    EXPECT_EQ((std::map<pid_t, int>{{a.pid(), ENTRIES}, {b.pid(), ENTRIES}}), count);
    // Both finished with a COMMIT: nothing is left to undo.
    testing::internal::CaptureStdout();
    EXPECT_TRUE(recovery.makeUndoLists(RECORD));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, recovery.getRecordUndoListLength());
}

TEST_F(OrvLogManagerTest, ProcessesInOtherDirectoriesWriteTheOneLog) {
    orvtest::TempDir elsewhere;
    int child = orvtest::runInChild([&] {
        if (chdir(elsewhere.path().c_str()) != 0) {
            return 2;
        }
        OrvTransactionManager::resetForProcess();
        OrvRecordLogEntry entry =
            recordEntry(OrvTransactionManager::getInstance()->getCurrentTransactionID(), INSERT);
        OrvLogManager::getInstance()->createLogEntry(&entry);
        OrvRecovery recovery;
        recovery.AnalyseLog(RECORD);
        return recovery.getRecordRedoListLength() == 1 ? 0 : 3;
    });
    ASSERT_EQ(0, child);
    EXPECT_EQ(-1, fileSize(elsewhere.file("1.log")));
    OrvRecordLogEntry entry = recordEntry(tid, INSERT);
    OrvLsn lsn = logManager()->createLogEntry(&entry);
    EXPECT_EQ(1, lsn.getFilenumber());
    EXPECT_LT(0u, lsn.getOffset());
}

TEST_F(OrvLogManagerTest, AFailedAppendLeavesNoPartOfTheEntry) {
    OrvRecordLogEntry first = recordEntry(tid, INSERT);
    OrvLsn l1 = logManager()->createLogEntry(&first);
    off_t before = fileSize(logFile(1));

    // 40 bytes reach the file, then the disk is full.
    OrvIo::Fault torn;
    torn.call = OrvIo::Call::Append;
    torn.shortBytes = 40;
    ASSERT_TRUE(OrvIo::armFault(torn));
    OrvIo::Fault full;
    full.call = OrvIo::Call::Append;
    full.nth = 2;
    full.error = ENOSPC;
    ASSERT_TRUE(OrvIo::armFault(full));
    OrvRecordLogEntry failed = recordEntry(tid, UPDATE, std::string(300, 'z'));
    std::string token;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ORV_LOGM_FILE_WRITE_FAILED,
              failureOf([&] { logManager()->createLogEntry(&failed); }, &token));
    EXPECT_EQ("Fehler beim Schreiben in Datei\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(logFile(1), token);
    EXPECT_EQ(before, fileSize(logFile(1)));
    OrvIo::clearFaults();

    // The chain and the log go on as if the failed entry had not been tried.
    OrvRecordLogEntry next = recordEntry(tid, DELETE);
    EXPECT_EQ(OrvLsn(1, static_cast<Uint32>(before)), logManager()->createLogEntry(&next));
    EXPECT_EQ(l1, next.getPrevLsn());
    OrvRecovery recovery;
    ASSERT_TRUE(recovery.AnalyseLog(RECORD));
    EXPECT_EQ(2, recovery.getRecordRedoListLength());
}

TEST_F(OrvLogManagerTest, OpenAndCloseFailuresAreReported) {
    OrvRecordLogEntry entry = recordEntry(tid, INSERT);
    OrvIo::Fault denied;
    denied.call = OrvIo::Call::Open;
    denied.error = EACCES;
    ASSERT_TRUE(OrvIo::armFault(denied));
    std::string token;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ORV_LOGM_FILE_OPEN_FAILED,
              failureOf([&] { logManager()->createLogEntry(&entry); }, &token));
    EXPECT_EQ("Fehler beim öffnen der Datei\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(logFile(1), token);
    EXPECT_EQ(OrvLsn(), logManager()->getLastLsn(tid));
    OrvIo::clearFaults();

    // The file of the last append stays open; a failure to close it when the
    // log moves on to the next file is reported, and nothing is written.
    // (The file is filled by an entry: bytes that are no whole entry would be
    // cut off again as the rest of an unfinished append.)
    OrvRecordLogEntry filling =
        recordEntry(tid, INSERT, std::string(ORV_LOG_FILE_SWITCH_SIZE, 'f'));
    OrvLsn first = logManager()->createLogEntry(&filling);
    ASSERT_LT(static_cast<off_t>(ORV_LOG_FILE_SWITCH_SIZE), fileSize(logFile(1)));
    OrvIo::Fault closing;
    closing.call = OrvIo::Call::Close;
    ASSERT_TRUE(OrvIo::armFault(closing));
    OrvRecordLogEntry next = recordEntry(tid, UPDATE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ORV_LOGM_FILE_CLOSE_FAILED,
              failureOf([&] { logManager()->createLogEntry(&next); }, &token));
    EXPECT_EQ("Fehler beim Schliessen der Datei\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(logFile(1), token);
    EXPECT_EQ(-1, fileSize(logFile(2)));
    EXPECT_EQ(first, logManager()->getLastLsn(tid));
    OrvIo::clearFaults();
    EXPECT_EQ(OrvLsn(2, 0), logManager()->createLogEntry(&next));
    EXPECT_EQ(first, next.getPrevLsn());
}

TEST_F(OrvLogManagerTest, AProcessFollowsTheSwitchAnotherProcessMade) {
    OrvRecordLogEntry entry = recordEntry(tid, INSERT, std::string(ORV_LOG_FILE_SWITCH_SIZE, 'f'));
    logManager()->createLogEntry(&entry);
    off_t fullSize = fileSize(logFile(1));
    ASSERT_LT(static_cast<off_t>(ORV_LOG_FILE_SWITCH_SIZE), fullSize);
    // Another engine process appends next and moves the log on to 2.log.
    orvtest::ProcessResult other =
        orvtest::runProgram({std::string(ORV_TEST_BINARY_DIR) + "/orv_log_append_helper", "1"});
    ASSERT_EQ(0, other.exitCode) << other.err;
    EXPECT_EQ("2,0\n", other.out);
    off_t childBytes = fileSize(logFile(2));
    ASSERT_LT(0, childBytes);
    // This process still has 1.log open; its next entry follows the child's.
    OrvRecordLogEntry next = recordEntry(tid, UPDATE);
    EXPECT_EQ(OrvLsn(2, static_cast<Uint32>(childBytes)), logManager()->createLogEntry(&next));
    EXPECT_EQ(fullSize, fileSize(logFile(1)));
}

TEST_F(OrvLogManagerTest, RollbackListsAreThoseOfTheRunThisProcessWrote) {
    OrvRecordLogEntry a = recordEntry(tid, INSERT);
    OrvRecordLogEntry b = recordEntry(tid, UPDATE);
    logManager()->createLogEntry(&a);
    OrvLsn lb = logManager()->createLogEntry(&b);
    OrvRecovery recovery;
    ASSERT_TRUE(recovery.rollbackTransaction(RECORD, tid));
    ASSERT_EQ(2, recovery.getRecordRollbackListLength());
    EXPECT_EQ(lb, recovery.getRecordRollbackList()[0]->getLsn());

    // A new manager, as in a later process that got the same pid: the
    // entries of the earlier one are not its to roll back.
    OrvLogManager::deleteInstance();
    OrvRecovery fresh;
    ASSERT_TRUE(fresh.rollbackTransaction(RECORD, tid));
    EXPECT_EQ(0, fresh.getRecordRollbackListLength());
    OrvRecordLogEntry c = recordEntry(tid, DELETE);
    OrvLsn lc = logManager()->createLogEntry(&c);
    EXPECT_EQ(OrvLsn(), c.getPrevLsn());
    OrvRecovery afterOne;
    ASSERT_TRUE(afterOne.rollbackTransaction(RECORD, tid));
    ASSERT_EQ(1, afterOne.getRecordRollbackListLength());
    EXPECT_EQ(lc, afterOne.getRecordRollbackList()[0]->getLsn());
}

TEST_F(OrvLogManagerTest, LogPrintListsAndShowsTheEntries) {
    OrvTransactionId other(99, 0);
    OrvRecordLogEntry r1 = recordEntry(tid, INSERT, "abc");
    OrvRecordLogEntry r2 = recordEntry(other, INSERT);
    PageId page = 3;
    OrvIndexLogEntry i1(tid, &page, 32769, "b", 1, "a", 1, INTEGER_OPERATION);
    OrvRecordLogEntry r3 = recordEntry(tid, COMMIT);
    OrvLsn l1 = logManager()->createLogEntry(&r1);
    OrvLsn l2 = logManager()->createLogEntry(&r2);
    OrvLsn l3 = logManager()->createLogEntry(&i1);
    OrvLsn l4 = logManager()->createLogEntry(&r3);

    const OrvDebugData* command = OrvDebug::find(OrvDebug::functions(), "LOG_PRINT");
    ASSERT_NE(nullptr, command);
    EXPECT_STREQ("", command->doc);
    auto run = [&](const std::string& args) {
        testing::internal::CaptureStdout();
        command->func(&args);
        return testing::internal::GetCapturedStdout();
    };

    EXPECT_EQ("\n>>> DUMP <<<\nLogfile Nr.1\nLsn-Liste\n" + l1.dump() + "\n" + l2.dump() + "\n" +
                  l3.dump() + "\n" + l4.dump() + "\n",
              run("LISTLSN 1"));
    EXPECT_EQ("\n>>> DUMP <<<\nLogfile Nr.2\nLsn-Liste\n", run("LISTLSN 2"));

    const std::string recordHeading =
        "Logentry Type\t|LSN\t|Prev LSN\t|Trans Id\t|Prim TID\t|Old Sec TID\t|New Sec "
        "TID\t|SegID\t|BefImgLen\t|BefImg\t|AftImgLen\t|AftImg\t|Transtype\t";
    const std::string indexHeading = "Logentry Type\t|LSN\t|Prev LSN\t|Trans Id\t|Page "
                                     "ID\t|SegID\t|BefImgLen\t|BefImg\t|AftImgLen\t|AftImg\t|"
                                     "Transtype\t";
    EXPECT_EQ("\n>>> DUMP <<<\nSHOW LOGRECORDS WITH DEFINED TRANSACTION ID\nTransaction ID: "
              "4711,3\nLOGRECORDS FOR RECORD MANAGER\n" +
                  recordHeading + "\n" + serialisedLine(r1) + serialisedLine(r3) +
                  "\nLOGRECORDS FOR INDEX MANAGER\n" + indexHeading + "\n" + serialisedLine(i1),
              run("SHOWLOG 4711,3"));

    EXPECT_EQ("\n>>> DUMP <<<\nSHOW LOGRECORDS BETWEEN TWO LOG SEQUENCE NUMBERS\nFIRST LSN: " +
                  l2.dump() + "\nLAST LSN: " + l3.dump() + "\nFor Record Manager : " +
                  recordHeading + "\nFor Index Manager  : " + indexHeading + "\n" +
                  serialisedLine(r2) + serialisedLine(i1),
              run("SHOWLOG " + l2.dump() + " " + l3.dump()));
}

TEST_F(OrvLogManagerTest, LogPrintRefusesWhatItDoesNotKnow) {
    const OrvDebugData* command = nullptr;
    logManager();
    command = OrvDebug::find(OrvDebug::functions(), "LOG_PRINT");
    ASSERT_NE(nullptr, command);
    const std::string wrong[] = {
        "",           "SHOWLOG",       "LISTLSN",     "LISTLSN x", "LISTLSN 1 2",
        "LISTLSN -1", "LISTLSN 65536", "showlog 1,2", "DUMP 1,2",  "SHOWLOG 1,2 1,3 1,4"};
    for (const std::string& args : wrong) {
        testing::internal::CaptureStdout();
        command->func(&args);
        EXPECT_EQ("Wrong Parameters\n", testing::internal::GetCapturedStdout()) << args;
    }
    testing::internal::CaptureStdout();
    command->func(nullptr);
    EXPECT_EQ("Wrong Parameters\n", testing::internal::GetCapturedStdout());

    std::string bad = "SHOWLOG 1;2";
    EXPECT_EQ(ORV_TRANSACTION_ID_PARSING_FAILED, failureOf([&] { command->func(&bad); }));
    bad = "SHOWLOG 1,0 1;9";
    EXPECT_EQ(ORV_LOGM_LSN_PARSING_FAILED, failureOf([&] { command->func(&bad); }));
}

// Start and stop of the area, without the fixture's start.
class OrvLogFileHandlingTest : public ::testing::Test {
protected:
    void TearDown() override { OrvLogManager::deleteInstance(); }
    orvtest::TestDatabase db;
};

TEST_F(OrvLogFileHandlingTest, WithoutTheAreaThereIsNoLogManager) {
    EXPECT_EQ(ORV_MM_SHM_NOT_EXISTS, failureOf([] { OrvLogManager::getInstance(); }));
    EXPECT_EQ(ORV_MM_SHM_NOT_EXISTS,
              failureOf([] { OrvLogManager::destroyLogFileHandling(true); }));

    ASSERT_EQ(0, chdir(db.path().c_str()));
    OrvLogManager::initializeLogFileHandling();
    EXPECT_EQ(ORV_MM_SHM_CREATE_FAIL,
              failureOf([] { OrvLogManager::initializeLogFileHandling(); }));
    OrvLogManager::destroyLogFileHandling(false);
    EXPECT_EQ(-1, db.segmentId(OrvMemoryManager::LogFileHandling));
}

TEST_F(OrvLogFileHandlingTest, AnUnresolvableWorkingDirectoryCreatesNothing) {
    orvtest::TempDir gone;
    std::string path = gone.path();
    ASSERT_EQ(0, chdir(path.c_str()));
    ASSERT_EQ(0, rmdir(path.c_str()));
    std::string token;
    EXPECT_EQ(ORV_LOGM_FILE_OPEN_FAILED,
              failureOf([] { OrvLogManager::initializeLogFileHandling(); }, &token));
    EXPECT_NE(std::string::npos, token.find("working directory")) << token;
    EXPECT_EQ(-1, db.segmentId(OrvMemoryManager::LogFileHandling));
    ASSERT_EQ(0, chdir(db.path().c_str()));
}

TEST_F(OrvLogFileHandlingTest, TheStartProgramsDirectoryHoldsTheLog) {
    orvtest::TempDir startDir;
    orvtest::ProcessResult start =
        orvtest::runProgram({ORV_ORVSTART}, {{"ORV_DATABASE_PATH", db.path()}}, startDir.path());
    ASSERT_EQ(0, start.exitCode) << start.err;

    // This process works in yet another directory.
    orvtest::TempDir workDir;
    ASSERT_EQ(0, chdir(workDir.path().c_str()));
    OrvRecordLogEntry entry = recordEntry(OrvTransactionId(1, 0), INSERT);
    OrvLsn lsn = OrvLogManager::getInstance()->createLogEntry(&entry);
    std::string startLog = startDir.file("1.log");
    EXPECT_EQ(serialisedLine(entry), orvtest::readFile(startLog).substr(lsn.getOffset()));
    EXPECT_EQ(-1, fileSize(workDir.file("1.log")));
    OrvLogManager::deleteInstance();

    orvtest::ProcessResult stop =
        orvtest::runProgram({ORV_ORVSTOP}, {{"ORV_DATABASE_PATH", db.path()}}, workDir.path());
    EXPECT_EQ(0, stop.exitCode) << stop.err;
    EXPECT_EQ(-1, db.segmentId(OrvMemoryManager::LogFileHandling));
    ASSERT_EQ(0, chdir(db.path().c_str()));
}

TEST_F(OrvLogFileHandlingTest, AReaderTracesWhereADamagedLogEnds) {
    std::string good = "R;1,0;0,0;7,0;;;;0;0;;0;;1;\n";
    orvtest::writeFile(db.file("1.log"), good + "R;1,28;0,0;7,0;;;;0;5;ab");
    orvtest::writeFile(db.file("2.log"), "R;2,0;0,0;7,0;;;;0;0;;0;;1;\n");
    std::string trace = db.file("trace.txt");
    orvtest::ProcessResult result = orvtest::runProgram(
        {std::string(ORV_TEST_BINARY_DIR) + "/orv_log_analyse_helper", db.path()},
        {{"ORV_TRACE_FILE", trace}, {"ORV_TRACE_MASK", "Log"}});
    ASSERT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("records 1 index 0\n", result.out);
    std::string traced = orvtest::readFile(trace);
    EXPECT_NE(std::string::npos,
              traced.find("log file " + db.file("1.log") +
                          ": truncated entry (before image) at offset 28; the log ends there"))
        << traced;
}

} // namespace
