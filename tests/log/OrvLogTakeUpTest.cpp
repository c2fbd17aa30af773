// How the log goes on after a crash: appends that did not finish (a writer
// killed in the middle of its write, a failed append whose cut failed) are
// cut off by the next appender or by the next start, never a whole entry;
// and a start goes on in the newest log file, so that LSNs keep growing.
#include "OrvLog.h"
#include "log/OrvLogManager.h"
#include "log/OrvLogReader.h"
#include "log/OrvRecordLogEntry.h"
#include "log/OrvRecovery.h"

#include "OrvError.h"
#include "OrvException.h"
#include "support/OrvIo.h"
#include "support/OrvMemoryManager.h"

#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

template <typename Call> OrvErrorCode failureOf(Call call) {
    try {
        call();
    } catch (const OrvException& e) {
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

// The line of an entry as the log manager writes it at lsn, as the first of
// its transaction.
std::string lineAt(const OrvLsn& lsn, const OrvTransactionId& tid, int type,
                   const std::string& image = "image") {
    OrvRecordLogEntry entry = recordEntry(tid, type, image);
    entry.setLsn(lsn);
    entry.setPrevLsn(OrvLsn());
    std::string form;
    entry.serializeTo(form);
    return form + "\n";
}

// Whole entries of log file n from offset 0 on, exactly `bytes` long (an
// earlier run of the engine left them).
std::string wholeEntriesOf(Uint16 n, std::size_t bytes, const OrvTransactionId& tid) {
    for (std::size_t firstImage = 1; firstImage < 20; ++firstImage) {
        std::string first = lineAt(OrvLsn(n, 0), tid, INSERT, std::string(firstImage, '\n'));
        for (std::size_t image = 0; first.size() + image < bytes; ++image) {
            std::string last = lineAt(OrvLsn(n, static_cast<Uint32>(first.size())), tid, COMMIT,
                                      std::string(image, ';'));
            if (first.size() + last.size() == bytes) {
                return first + last;
            }
        }
    }
    ADD_FAILURE() << "no entries of " << bytes << " bytes";
    return std::string();
}

// Where the whole entries of log file n's bytes end, and whether the bytes
// end there.
OrvLogReader::FileResult parsed(const std::string& bytes, Uint16 n = 1) {
    return OrvLogReader::parseFile(bytes.data(), bytes.size(), n,
                                   [](const OrvLogReader::EntryView&) {});
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

off_t fileSize(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

std::string helper(const char* name) {
    return std::string(ORV_TEST_BINARY_DIR) + "/" + name;
}

// A database whose log file handling area each test starts itself, in the
// database directory as working (and so log) directory.
class OrvLogTakeUpTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, chdir(db.path().c_str())); }
    void TearDown() override {
        OrvIo::clearFaults();
        OrvLogManager::deleteInstance();
    }
    std::string logFile(int number) const { return db.file(std::to_string(number) + ".log"); }

    // The start as a process of its own, with its trace records; "restart"
    // removes the area first, as a forced stop does.
    std::string startTraced(bool restart) {
        std::string trace = db.file("trace-" + std::to_string(++starts) + ".txt");
        std::vector<std::string> argv{helper("orv_log_start_helper")};
        if (restart) {
            argv.push_back("restart");
        }
        orvtest::ProcessResult result = orvtest::runProgram(
            argv, {{"ORV_TRACE_FILE", trace}, {"ORV_TRACE_MASK", "Log"}}, db.path());
        EXPECT_EQ(0, result.exitCode) << result.err;
        return orvtest::readFile(trace);
    }

    // Every entry the readers of the log see.
    std::vector<OrvLsn> entriesRead() {
        OrvRecovery recovery(db.path());
        recovery.AnalyseLog(RECORD);
        std::vector<OrvLsn> lsns;
        for (int i = 0; i < recovery.getRecordRedoListLength(); ++i) {
            lsns.push_back(recovery.getRecordRedoList()[i].getLsn());
        }
        return lsns;
    }

    OrvLsn append(const OrvTransactionId& tid, int type, const std::string& image = "x") {
        OrvRecordLogEntry entry = recordEntry(tid, type, image);
        return OrvLogManager::getInstance()->createLogEntry(&entry);
    }

    const OrvTransactionId tid{4711, 3};
    int starts = 0;
    orvtest::TestDatabase db;
};

// ---- a writer that dies in the middle of its append --------------------------

// A child process writes one entry, then dies in the middle of the next
// write, holding the log latch. Its area can only be removed by force; the
// next start cuts the torn bytes off, and what is appended afterwards is read.
TEST_F(OrvLogTakeUpTest, AWriterKilledInTheMiddleOfAnAppendIsCutOffByTheNextStart) {
    OrvLogManager::initializeLogFileHandling();
    int child = orvtest::runInChild([] {
        OrvTransactionManager::resetForProcess();
        OrvTransactionId me = OrvTransactionManager::getInstance()->getCurrentTransactionID();
        OrvRecordLogEntry first = recordEntry(me, INSERT, "first");
        OrvLogManager::getInstance()->createLogEntry(&first);
        OrvIo::Fault crash;
        crash.call = OrvIo::Call::Append;
        crash.shortBytes = 37;
        crash.killAfterTransfer = true;
        if (!OrvIo::armFault(crash)) {
            return 2;
        }
        OrvRecordLogEntry torn = recordEntry(me, UPDATE, std::string(300, 'z'));
        OrvLogManager::getInstance()->createLogEntry(&torn);
        return 3; // not reached
    });
    ASSERT_EQ(128 + SIGKILL, child);
    // One whole entry, then the 37 bytes the writer got out before it died.
    std::string before = orvtest::readFile(logFile(1));
    ASSERT_LT(37u, before.size());
    std::size_t whole = before.size() - 37;
    OrvLogReader::FileResult found = parsed(before);
    ASSERT_EQ(1u, found.entries);
    ASSERT_EQ(whole, found.end);
    ASSERT_EQ(1u, entriesRead().size());

    // The latch the writer held can only be taken away by force.
    std::string trace = startTraced(true);
    EXPECT_EQ(before.substr(0, whole), orvtest::readFile(logFile(1)));
    EXPECT_TRUE(contains(trace, "log file " + logFile(1) + ": truncated entry (")) << trace;
    EXPECT_TRUE(contains(trace, " at offset " + std::to_string(whole) + "; the file is cut from " +
                                    std::to_string(before.size()) + " back to " +
                                    std::to_string(whole) + " bytes"))
        << trace;

    // Another process appends; the reader sees its entries after the first.
    orvtest::ProcessResult other = orvtest::runProgram({helper("orv_log_append_helper"), "2"});
    ASSERT_EQ(0, other.exitCode) << other.err;
    std::vector<OrvLsn> read = entriesRead();
    ASSERT_EQ(3u, read.size());
    EXPECT_EQ(OrvLsn(1, static_cast<Uint32>(whole)), read[1]);
    EXPECT_EQ(read[1].dump() + "\n" + read[2].dump() + "\n", other.out);
    EXPECT_TRUE(parsed(orvtest::readFile(logFile(1))).complete);
}

// Killed after its whole entry reached the file, before it could note that:
// the entry is whole, and the start keeps it.
TEST_F(OrvLogTakeUpTest, AWholeEntryOfAWriterKilledBeforeItsAppendReturnedIsKept) {
    OrvLogManager::initializeLogFileHandling();
    int child = orvtest::runInChild([] {
        OrvTransactionManager::resetForProcess();
        OrvTransactionId me = OrvTransactionManager::getInstance()->getCurrentTransactionID();
        OrvRecordLogEntry first = recordEntry(me, INSERT, "first");
        OrvLogManager::getInstance()->createLogEntry(&first);
        OrvIo::Fault crash;
        crash.call = OrvIo::Call::Append;
        crash.shortBytes = 1 << 20; // more than the entry: all of it, then death
        crash.killAfterTransfer = true;
        if (!OrvIo::armFault(crash)) {
            return 2;
        }
        OrvRecordLogEntry second = recordEntry(me, UPDATE, std::string(300, '\n'));
        OrvLogManager::getInstance()->createLogEntry(&second);
        return 3;
    });
    ASSERT_EQ(128 + SIGKILL, child);
    std::string before = orvtest::readFile(logFile(1));
    ASSERT_EQ(2u, entriesRead().size());

    std::string trace = startTraced(true);
    EXPECT_EQ(before, orvtest::readFile(logFile(1)));
    EXPECT_EQ(std::string::npos, trace.find("cut")) << trace;
    OrvLsn next = append(tid, INSERT);
    EXPECT_EQ(OrvLsn(1, static_cast<Uint32>(before.size())), next);
    EXPECT_EQ(3u, entriesRead().size());
}

// A writer whose append failed and whose own cut failed as well leaves torn
// bytes behind while the engine runs; the next appender, another process,
// cuts them off before it appends.
TEST_F(OrvLogTakeUpTest, TheNextAppenderCutsOffWhatAnUnfinishedAppendLeft) {
    OrvLogManager::initializeLogFileHandling();
    int child = orvtest::runInChild([] {
        OrvTransactionManager::resetForProcess();
        OrvTransactionId me = OrvTransactionManager::getInstance()->getCurrentTransactionID();
        OrvRecordLogEntry first = recordEntry(me, INSERT, "first");
        OrvLogManager::getInstance()->createLogEntry(&first);
        OrvIo::Fault torn;
        torn.call = OrvIo::Call::Append;
        torn.shortBytes = 40;
        OrvIo::Fault full;
        full.call = OrvIo::Call::Append;
        full.nth = 2;
        full.error = ENOSPC;
        OrvIo::Fault noCut;
        noCut.call = OrvIo::Call::Ftruncate;
        noCut.error = EIO;
        if (!OrvIo::armFault(torn) || !OrvIo::armFault(full) || !OrvIo::armFault(noCut)) {
            return 2;
        }
        OrvRecordLogEntry failed = recordEntry(me, UPDATE, std::string(300, 'z'));
        ::close(2); // the failure's message is expected
        OrvErrorCode code =
            failureOf([&] { OrvLogManager::getInstance()->createLogEntry(&failed); });
        return code == ORV_LOGM_FILE_WRITE_FAILED ? 0 : 3;
    });
    ASSERT_EQ(0, child);
    std::string before = orvtest::readFile(logFile(1));
    std::vector<OrvLsn> read = entriesRead();
    ASSERT_EQ(1u, read.size());
    std::size_t whole = before.size() - 40;
    ASSERT_EQ(whole, parsed(before).end);

    std::string trace = db.file("append-trace.txt");
    orvtest::ProcessResult other =
        orvtest::runProgram({helper("orv_log_append_helper"), "2"},
                            {{"ORV_TRACE_FILE", trace}, {"ORV_TRACE_MASK", "Log"}});
    ASSERT_EQ(0, other.exitCode) << other.err;
    EXPECT_EQ("1," + std::to_string(whole) + "\n", other.out.substr(0, other.out.find('\n') + 1));
    std::string traced = orvtest::readFile(trace);
    EXPECT_TRUE(contains(traced, "log file " + logFile(1) + ": truncated entry (")) << traced;
    EXPECT_TRUE(contains(traced, " at offset " + std::to_string(whole) +
                                     " left by an append that did not finish; the file is cut "
                                     "from " +
                                     std::to_string(before.size()) + " back to " +
                                     std::to_string(whole) + " bytes"))
        << traced;
    EXPECT_EQ(before.substr(0, whole), orvtest::readFile(logFile(1)).substr(0, whole));
    read = entriesRead();
    ASSERT_EQ(3u, read.size());
    EXPECT_EQ(OrvLsn(1, static_cast<Uint32>(whole)), read[1]);
}

// Whole entries behind the end an appender knows (a writer that died after
// its write, before it noted the new end) are entries like any other.
TEST_F(OrvLogTakeUpTest, TheNextAppenderKeepsWholeEntriesBehindTheEndItKnew) {
    OrvLogManager::initializeLogFileHandling();
    OrvLsn first = append(tid, INSERT);
    std::string line = lineAt(OrvLsn(1, static_cast<Uint32>(fileSize(logFile(1)))),
                              OrvTransactionId(99, 0), INSERT, "a;b\nc");
    orvtest::writeFile(logFile(1), orvtest::readFile(logFile(1)) + line);
    off_t size = fileSize(logFile(1));
    OrvLsn next = append(tid, UPDATE);
    EXPECT_EQ(OrvLsn(1, static_cast<Uint32>(size)), next);
    std::vector<OrvLsn> read = entriesRead();
    ASSERT_EQ(3u, read.size());
    EXPECT_EQ(first, read[0]);
    EXPECT_EQ(next, read[2]);
}

// Torn bytes that made the current file look full are cut off before the
// file is judged: the log does not move on behind them.
TEST_F(OrvLogTakeUpTest, TornBytesDoNotMakeTheLogMoveOnToTheNextFile) {
    OrvLogManager::initializeLogFileHandling();
    append(tid, INSERT);
    std::string bytes = orvtest::readFile(logFile(1));
    std::string torn = lineAt(OrvLsn(1, static_cast<Uint32>(bytes.size())), tid, UPDATE,
                              std::string(ORV_LOG_FILE_SWITCH_SIZE, 'q'));
    orvtest::writeFile(logFile(1), bytes + torn.substr(0, torn.size() - 1));
    OrvLsn next = append(tid, UPDATE);
    EXPECT_EQ(OrvLsn(1, static_cast<Uint32>(bytes.size())), next);
    EXPECT_EQ(-1, fileSize(logFile(2)));
    EXPECT_EQ(2u, entriesRead().size());
}

// ---- the start ---------------------------------------------------------------

// Every torn rest of an entry is cut off exactly, and a whole entry (the
// line break included) never.
TEST_F(OrvLogTakeUpTest, AStartCutsEveryTornTailBackToTheLastWholeEntry) {
    std::string whole = wholeEntriesOf(1, 300, tid);
    std::string third = lineAt(OrvLsn(1, static_cast<Uint32>(whole.size())), tid, UPDATE, "b;\nd");
    for (std::size_t kept = 0; kept <= third.size(); ++kept) {
        orvtest::writeFile(logFile(1), whole + third.substr(0, kept));
        OrvLogManager::initializeLogFileHandling();
        std::string expected = kept == third.size() ? whole + third : whole;
        EXPECT_EQ(expected, orvtest::readFile(logFile(1))) << kept << " bytes of the entry";
        OrvLogManager::destroyLogFileHandling(false);
    }
}

TEST_F(OrvLogTakeUpTest, AStartCutsAMalformedTailAndTracesWhere) {
    std::string whole = wholeEntriesOf(1, 300, tid);
    // A whole line, but not written here: its LSN names another place.
    std::string misplaced = lineAt(OrvLsn(1, 77), tid, UPDATE);
    orvtest::writeFile(logFile(1), whole + misplaced);
    std::string trace = startTraced(false);
    EXPECT_EQ(whole, orvtest::readFile(logFile(1)));
    EXPECT_TRUE(contains(trace, "log file " + logFile(1) +
                                    ": malformed entry (LSN (not the entry's place)) at offset "
                                    "300; the file is cut from " +
                                    std::to_string(300 + misplaced.size()) + " back to 300 bytes"))
        << trace;
    OrvLsn next = append(tid, INSERT);
    EXPECT_EQ(OrvLsn(1, 300), next);
    EXPECT_EQ(3u, entriesRead().size());
}

// Damage that whole entries follow is not a tail (an earlier engine went on
// appending behind a torn entry): cutting there would throw them away, and
// appending behind it would hide the new entries. The start stops and
// changes nothing.
TEST_F(OrvLogTakeUpTest, AStartStopsAtDamageThatWholeEntriesFollow) {
    std::string whole = wholeEntriesOf(1, 300, tid);
    std::string torn = lineAt(OrvLsn(1, 300), tid, UPDATE, "torn").substr(0, 20);
    std::string after = lineAt(OrvLsn(1, 320), OrvTransactionId(5, 0), INSERT, "after");
    orvtest::writeFile(logFile(1), whole + torn + after);
    std::string trace = db.file("trace.txt");
    std::vector<std::string> argv{helper("orv_log_start_helper")};
    orvtest::ProcessResult result = orvtest::runProgram(
        argv, {{"ORV_TRACE_FILE", trace}, {"ORV_TRACE_MASK", "Log"}}, db.path());
    EXPECT_EQ(1, result.exitCode);
    EXPECT_TRUE(contains(result.err, "LOG08")) << result.err;
    EXPECT_TRUE(contains(result.err, logFile(1) + "' is damaged at offset 300")) << result.err;
    EXPECT_EQ(whole + torn + after, orvtest::readFile(logFile(1)));
    EXPECT_EQ(-1, db.segmentId(OrvMemoryManager::LogFileHandling));
    // The next entry's bytes follow the torn ones directly: malformed.
    std::string traced = orvtest::readFile(trace);
    EXPECT_TRUE(contains(traced, "log file " + logFile(1) + " at offset 300: malformed entry ("))
        << traced;
    EXPECT_TRUE(contains(traced, "), followed by a whole entry at offset 320; the start stops, "
                                 "the file is not changed"))
        << traced;
}

TEST_F(OrvLogTakeUpTest, AStartWithA500ByteLogGoesOnAt1_500) {
    std::string log = wholeEntriesOf(1, 500, tid);
    ASSERT_EQ(500u, log.size());
    orvtest::writeFile(logFile(1), log);
    OrvLogManager::initializeLogFileHandling();
    EXPECT_EQ(OrvLsn(1, 500), append(tid, INSERT));
    EXPECT_EQ(log, orvtest::readFile(logFile(1)).substr(0, 500));
    EXPECT_EQ(3u, entriesRead().size());
}

// 1.log holds fewer than 10485760 bytes (its end did not reach the disk
// before a power failure, say) while 2.log exists: the start goes on in 2.log,
// above every LSN of the log.
TEST_F(OrvLogTakeUpTest, AStartGoesOnInTheNewestLogFile) {
    orvtest::writeFile(logFile(1), wholeEntriesOf(1, 500, tid));
    std::string second = wholeEntriesOf(2, 400, OrvTransactionId(8, 0));
    orvtest::writeFile(logFile(2), second);
    OrvLogManager::initializeLogFileHandling();
    OrvLsn next = append(tid, INSERT);
    EXPECT_EQ(OrvLsn(2, 400), next);
    EXPECT_EQ(500, fileSize(logFile(1)));
    std::vector<OrvLsn> read = entriesRead();
    ASSERT_EQ(5u, read.size());
    for (std::size_t i = 0; i + 1 < read.size(); ++i) {
        EXPECT_TRUE(read[i] < next) << read[i].dump();
    }
    EXPECT_EQ(next, read.back());
}

// A log the engine wrote itself: 1.log is full (more than 10485760 bytes),
// 2.log was begun. After a restart the switch past the full file leads to
// 2.log as well.
TEST_F(OrvLogTakeUpTest, ARestartAfterAFileSwitchGoesOnInTheNewFile) {
    OrvLogManager::initializeLogFileHandling();
    append(tid, INSERT, std::string(ORV_LOG_FILE_SWITCH_SIZE, 'f'));
    ASSERT_EQ(OrvLsn(2, 0), append(tid, UPDATE));
    OrvLsn last = append(tid, UPDATE);
    OrvLogManager::deleteInstance();
    OrvLogManager::destroyLogFileHandling(false);
    off_t second = fileSize(logFile(2));

    OrvLogManager::initializeLogFileHandling();
    OrvLsn next = append(OrvTransactionId(4711, 4), INSERT);
    EXPECT_EQ(OrvLsn(2, static_cast<Uint32>(second)), next);
    EXPECT_TRUE(last < next);
    std::vector<OrvLsn> read = entriesRead();
    ASSERT_EQ(4u, read.size());
    EXPECT_EQ(next, read.back());
}

// A gap in the numbers ends the log for its readers; appends go on in the
// last file they read, not behind the gap where no reader would find them.
TEST_F(OrvLogTakeUpTest, AStartGoesOnInTheLastFileBeforeAGap) {
    orvtest::writeFile(logFile(1), wholeEntriesOf(1, 300, tid));
    orvtest::writeFile(logFile(2), wholeEntriesOf(2, 300, tid));
    orvtest::writeFile(logFile(4), wholeEntriesOf(4, 300, tid));
    OrvLogManager::initializeLogFileHandling();
    EXPECT_EQ(OrvLsn(2, 300), append(tid, INSERT));
    EXPECT_EQ(300, fileSize(logFile(4)));
    EXPECT_EQ(5u, entriesRead().size());
}

// A newest file that cannot be read or cut fails the start; nothing is left
// behind, and the file is as it was.
TEST_F(OrvLogTakeUpTest, AStartThatCannotTakeUpTheLogCreatesNothing) {
    std::string log = wholeEntriesOf(1, 300, tid) + "R;1,300;";
    orvtest::writeFile(logFile(1), log);
    OrvIo::Fault noCut;
    noCut.call = OrvIo::Call::Ftruncate;
    noCut.error = EIO;
    ASSERT_TRUE(OrvIo::armFault(noCut));
    testing::internal::CaptureStderr();
    EXPECT_EQ(ORV_LOGM_FILE_WRITE_FAILED,
              failureOf([] { OrvLogManager::initializeLogFileHandling(); }));
    EXPECT_EQ("Fehler beim Schreiben in Datei\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(-1, db.segmentId(OrvMemoryManager::LogFileHandling));
    EXPECT_EQ(log, orvtest::readFile(logFile(1)));
    OrvIo::clearFaults();

    OrvIo::Fault noRead;
    noRead.call = OrvIo::Call::Pread;
    noRead.error = EIO;
    ASSERT_TRUE(OrvIo::armFault(noRead));
    testing::internal::CaptureStderr();
    EXPECT_EQ(ORV_LOGM_FILE_OPEN_FAILED,
              failureOf([] { OrvLogManager::initializeLogFileHandling(); }));
    EXPECT_EQ("Fehler beim öffnen der Datei\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(-1, db.segmentId(OrvMemoryManager::LogFileHandling));
    OrvIo::clearFaults();

    OrvLogManager::initializeLogFileHandling();
    EXPECT_EQ(300, fileSize(logFile(1)));
}

} // namespace
