// What the start and the writers do with a log they cannot trust: damage is
// cut only where it is a torn tail and stops the start everywhere else, with
// no byte changed; huge (sparse) files are read in bounded memory; links in
// the places of log files are refused; a log directory serves one database,
// of the owner of that database.
#include "OrvLog.h"
#include "log/OrvIndexLogEntry.h"
#include "log/OrvLogManager.h"
#include "log/OrvLogReader.h"
#include "log/OrvRecordLogEntry.h"
#include "log/OrvRecovery.h"

#include "OrvError.h"
#include "OrvException.h"
#include "support/OrvMemoryManager.h"

#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Failure {
    OrvErrorCode code = ORV_SUCCESS;
    std::string file;
    std::string offset;
    std::string message;
};

template <typename Call> Failure failureOf(Call call) {
    Failure failure;
    try {
        call();
    } catch (const OrvException& e) {
        failure.code = e.getErrorCode();
        failure.file = e.getToken(1);
        failure.offset = e.getToken(2);
        std::ostringstream text;
        e.print_message(text);
        failure.message = text.str();
    }
    return failure;
}

// The line of a record entry of transaction tid at lsn.
std::string lineAt(const OrvLsn& lsn, const OrvLsn& prev, const OrvTransactionId& tid,
                   const std::string& image) {
    TupleId primary(1, 1);
    OrvRecordLogEntry entry(tid, 7, nullptr, 0, image.data(), static_cast<int>(image.size()),
                            UPDATE, &primary, nullptr, nullptr);
    entry.setLsn(lsn);
    entry.setPrevLsn(prev);
    std::string form;
    entry.serializeTo(form);
    return form + "\n";
}

// Whole entries of log file n, images with separators and line breaks.
std::string wholeFile(std::mt19937& random, Uint16 n, int entries) {
    std::string bytes;
    OrvLsn prev;
    for (int i = 0; i < entries; ++i) {
        std::string image(random() % 40, 'x');
        for (char& c : image) {
            c = "ab;\nR;"[random() % 6];
        }
        OrvLsn here(n, static_cast<Uint32>(bytes.size()));
        bytes += lineAt(here, prev, OrvTransactionId(4711, 3), image);
        prev = here;
    }
    return bytes;
}

OrvLogReader::FileResult parsed(const std::string& bytes, Uint16 n) {
    return OrvLogReader::parseFile(bytes.data(), bytes.size(), n,
                                   [](const OrvLogReader::EntryView&) {});
}

// Whether a whole entry of file n (at its place or moved) begins anywhere
// behind offset from: every offset tried in turn.
bool wholeEntryBehind(const std::string& bytes, std::size_t from, Uint16 n) {
    for (std::size_t p = from + 1; p < bytes.size(); ++p) {
        if (OrvLogReader::entryOfFileAt(bytes.data() + p, bytes.size() - p, n) > 0) {
            return true;
        }
    }
    return false;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

off_t fileSize(const std::string& path) {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

std::string helper(const char* name) {
    return std::string(ORV_TEST_BINARY_DIR) + "/" + name;
}

// Every file of a directory and its bytes.
std::map<std::string, std::string> snapshot(const orvtest::TestDatabase& db,
                                            const std::vector<std::string>& names) {
    std::map<std::string, std::string> files;
    for (const std::string& name : names) {
        if (fileSize(db.file(name)) >= 0) {
            files[name] = orvtest::readFile(db.file(name));
        }
    }
    return files;
}

// Peak resident memory of this process in kB.
long peakResidentKb() {
    struct rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

class OrvLogSafetyTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, chdir(db.path().c_str())); }
    void TearDown() override { OrvLogManager::deleteInstance(); }
    std::string logFile(int number) const { return db.file(std::to_string(number) + ".log"); }

    OrvLsn append(const std::string& image = "x") {
        TupleId primary(1, 1);
        OrvRecordLogEntry entry(OrvTransactionId(4711, 3), 7, nullptr, 0, image.data(),
                                static_cast<int>(image.size()), INSERT, &primary, nullptr, nullptr);
        return OrvLogManager::getInstance()->createLogEntry(&entry);
    }

    orvtest::TestDatabase db;
};

// ---- damage -------------------------------------------------------------------

// Logs of three files, damaged at random (a stray byte inserted, a byte
// overwritten, bytes removed, a tail cut, zero bytes appended as a crash on
// some file systems leaves them, a torn entry with a whole one behind it), in
// the newest file or an older one. The model: an older file must be whole;
// in the newest, the first bad entry is a torn tail when no whole entry
// begins at any offset behind it. A torn tail is cut; any other damage
// stops the start with the file and the offset, and no byte of the log
// changes.
TEST_F(OrvLogSafetyTest, AStartCutsOnlyATornTailAndStopsAtAnyOtherDamageChangingNothing) {
    std::mt19937 random(8122026);
    std::map<std::string, int> outcomes;
    for (int round = 0; round < 120; ++round) {
        std::vector<std::string> files;
        for (Uint16 n = 1; n <= 3; ++n) {
            files.push_back(wholeFile(random, n, 2 + static_cast<int>(random() % 8)));
        }
        std::size_t victim = random() % 4 == 0 ? random() % 2 : 2;
        std::string& bytes = files[victim];
        std::size_t at = random() % bytes.size();
        switch (random() % 6) {
        case 0:
            bytes.insert(at, 1, static_cast<char>(random() % 256));
            break;
        case 1:
            bytes[at] = static_cast<char>(bytes[at] ^ (1 + random() % 255));
            break;
        case 2:
            bytes.erase(at, 1 + random() % 20);
            break;
        case 3:
            bytes.resize(at);
            break;
        case 4:
            bytes += std::string(1 + random() % 5000, '\0');
            break;
        default: {
            std::string torn =
                lineAt(OrvLsn(static_cast<Uint16>(victim + 1), static_cast<Uint32>(bytes.size())),
                       OrvLsn(), OrvTransactionId(9, 0), "torn")
                    .substr(0, 1 + random() % 30);
            bytes += torn;
            bytes +=
                lineAt(OrvLsn(static_cast<Uint16>(victim + 1), static_cast<Uint32>(bytes.size())),
                       OrvLsn(), OrvTransactionId(9, 0), "behind");
        }
        }
        for (std::size_t i = 0; i < files.size(); ++i) {
            orvtest::writeFile(logFile(static_cast<int>(i + 1)), files[i]);
        }

        // The model.
        std::string expectedFile;
        std::size_t expectedOffset = 0;
        std::string cutNewest = files[2];
        for (Uint16 n = 1; n <= 3 && expectedFile.empty(); ++n) {
            OrvLogReader::FileResult result = parsed(files[n - 1], n);
            if (result.complete) {
                continue;
            }
            if (n < 3 || wholeEntryBehind(files[n - 1], result.end, n)) {
                expectedFile = logFile(n);
                expectedOffset = result.end;
            } else {
                cutNewest.resize(result.end);
            }
        }

        SCOPED_TRACE("round " + std::to_string(round));
        Failure failure = failureOf([] { OrvLogManager::initializeLogFileHandling(); });
        if (expectedFile.empty()) {
            ASSERT_EQ(ORV_SUCCESS, failure.code) << failure.message;
            outcomes[cutNewest == files[2] ? "whole" : "cut"]++;
            EXPECT_EQ(files[0], orvtest::readFile(logFile(1)));
            EXPECT_EQ(files[1], orvtest::readFile(logFile(2)));
            EXPECT_EQ(cutNewest, orvtest::readFile(logFile(3)));
            // Appends go on behind the whole entries, where readers find them.
            OrvLsn next = append();
            EXPECT_EQ(OrvLsn(3, static_cast<Uint32>(cutNewest.size())), next);
            EXPECT_TRUE(parsed(orvtest::readFile(logFile(3)), 3).complete);
            OrvLogManager::deleteInstance();
            OrvLogManager::destroyLogFileHandling(false);
        } else {
            outcomes[expectedFile == logFile(3) ? "refused newest" : "refused older"]++;
            ASSERT_EQ(ORV_LOGM_LOG_FILE_DAMAGED, failure.code) << failure.message;
            EXPECT_EQ(expectedFile, failure.file);
            EXPECT_EQ(std::to_string(expectedOffset), failure.offset);
            EXPECT_TRUE(contains(failure.message, "LOG08")) << failure.message;
            EXPECT_EQ(-1, db.segmentId(OrvMemoryManager::LogFileHandling));
            for (std::size_t i = 0; i < files.size(); ++i) {
                EXPECT_EQ(files[i], orvtest::readFile(logFile(static_cast<int>(i + 1)))) << i + 1;
            }
        }
    }
    // Every outcome was met.
    EXPECT_LT(0, outcomes["cut"]);
    EXPECT_LT(0, outcomes["refused newest"]);
    EXPECT_LT(0, outcomes["refused older"]);
}

// The case that was reported: one stray byte a third of the way into the
// newest file, whole entries behind it. The start names the file and the
// offset of the stray byte, and the file keeps every byte.
TEST_F(OrvLogSafetyTest, AStrayByteInTheMiddleStopsTheStartAtItsOffset) {
    std::mt19937 random(1);
    std::string bytes = wholeFile(random, 1, 60);
    std::size_t third = 0;
    OrvLogReader::parseFile(bytes.data(), bytes.size(), 1,
                            [&](const OrvLogReader::EntryView& view) {
                                if (third == 0 && view.offset >= bytes.size() / 3) {
                                    third = view.offset;
                                }
                            });
    ASSERT_LT(0u, third);
    bytes.insert(third, "#");
    orvtest::writeFile(logFile(1), bytes);
    orvtest::ProcessResult result =
        orvtest::runProgram({helper("orv_log_start_helper")}, {}, db.path());
    EXPECT_EQ(1, result.exitCode);
    EXPECT_TRUE(contains(result.err, "The log file '" + logFile(1) + "' is damaged at offset " +
                                         std::to_string(third) + ": malformed entry (kind)"))
        << result.err;
    EXPECT_TRUE(contains(result.err, "LOG08")) << result.err;
    EXPECT_EQ(bytes, orvtest::readFile(logFile(1)));
    EXPECT_EQ(-1, db.segmentId(OrvMemoryManager::LogFileHandling));
}

// ---- huge files -----------------------------------------------------------------

// A 2 GiB log file: whole entries, then a hole (zero bytes) to its end, as a
// file system may leave a file whose length reached the disk before its
// data. The zero bytes are a torn tail; the start cuts them off without
// holding the file in memory, and the analysis reads the entries the same
// way. Measured in children, whose peak memory is their own.
TEST_F(OrvLogSafetyTest, AHugeSparseLogIsTakenUpAndReadInBoundedMemory) {
    std::mt19937 random(2);
    std::string bytes = wholeFile(random, 1, 50);
    const off_t huge = off_t(2) << 30;
    auto makeHuge = [&] {
        orvtest::writeFile(logFile(1), bytes);
        ASSERT_EQ(0, ::truncate(logFile(1).c_str(), huge));
    };
    makeHuge();
    std::string grown = db.file("grown.txt");
    int child = orvtest::runInChild([&] {
        long before = peakResidentKb();
        OrvLogManager::initializeLogFileHandling();
        long after = peakResidentKb();
        orvtest::writeFile(grown, std::to_string(after - before));
        OrvLogManager::destroyLogFileHandling(false);
        return 0;
    });
    ASSERT_EQ(0, child);
    EXPECT_EQ(bytes, orvtest::readFile(logFile(1)));
    long grownKb = std::stol(orvtest::readFile(grown));
    EXPECT_LT(grownKb, 100 * 1024) << "the start grew by " << grownKb << " kB";
    std::cout << "taking up a 2 GiB sparse log grew the peak resident memory by " << grownKb
              << " kB" << std::endl;

    makeHuge();
    child = orvtest::runInChild([&] {
        long before = peakResidentKb();
        OrvRecovery recovery(db.path());
        recovery.AnalyseLog(ALL);
        long after = peakResidentKb();
        orvtest::writeFile(grown, std::to_string(after - before) + " " +
                                      std::to_string(recovery.getRecordRedoListLength()));
        return 0;
    });
    ASSERT_EQ(0, child);
    std::string measured = orvtest::readFile(grown);
    grownKb = std::stol(measured);
    EXPECT_LT(grownKb, 100 * 1024) << "the analysis grew by " << grownKb << " kB";
    std::cout << "analysing a 2 GiB sparse log grew the peak resident memory by " << grownKb
              << " kB" << std::endl;
    EXPECT_EQ("50", measured.substr(measured.find(' ') + 1));
    EXPECT_EQ(huge, fileSize(logFile(1)));
}

// A whole entry 1 GiB behind the damage (a hole between): the damage is no
// tail, and the search for entries behind it, which skips the hole, finds
// it. The start stops, and the file keeps its size.
TEST_F(OrvLogSafetyTest, AWholeEntryBehindAHugeHoleStopsTheStart) {
    std::mt19937 random(3);
    std::string bytes = wholeFile(random, 1, 10);
    const off_t far = off_t(1) << 30;
    orvtest::writeFile(logFile(1), bytes);
    std::string last =
        lineAt(OrvLsn(1, static_cast<Uint32>(far)), OrvLsn(), OrvTransactionId(5, 0), "far away");
    int fd = ::open(logFile(1).c_str(), O_WRONLY);
    ASSERT_LE(0, fd);
    ASSERT_EQ(static_cast<ssize_t>(last.size()), ::pwrite(fd, last.data(), last.size(), far));
    ::close(fd);
    Failure failure = failureOf([] { OrvLogManager::initializeLogFileHandling(); });
    EXPECT_EQ(ORV_LOGM_LOG_FILE_DAMAGED, failure.code) << failure.message;
    EXPECT_EQ(std::to_string(bytes.size()), failure.offset);
    EXPECT_TRUE(contains(failure.message, "whole entry at offset " + std::to_string(far)))
        << failure.message;
    EXPECT_EQ(far + static_cast<off_t>(last.size()), fileSize(logFile(1)));
    std::string start(bytes.size(), '\0');
    std::string end(last.size(), '\0');
    fd = ::open(logFile(1).c_str(), O_RDONLY);
    ASSERT_LE(0, fd);
    EXPECT_EQ(static_cast<ssize_t>(start.size()), ::pread(fd, &start[0], start.size(), 0));
    EXPECT_EQ(static_cast<ssize_t>(end.size()), ::pread(fd, &end[0], end.size(), far));
    ::close(fd);
    EXPECT_EQ(bytes, start);
    EXPECT_EQ(last, end);
}

// ---- links and entries no reader takes ---------------------------------------

// A symbolic link in the place of a log file would send the entries, record
// bytes included, wherever it points. The start, an appender and the
// analysis refuse it, and the file it points to stays as it was.
TEST_F(OrvLogSafetyTest, ALinkInThePlaceOfALogFileIsRefused) {
    orvtest::TempDir elsewhere;
    std::string target = elsewhere.file("target");
    std::mt19937 random(4);
    std::string bytes = wholeFile(random, 1, 3);
    orvtest::writeFile(target, bytes);
    ASSERT_EQ(0, ::symlink(target.c_str(), logFile(1).c_str()));
    testing::internal::CaptureStderr();
    Failure failure = failureOf([] { OrvLogManager::initializeLogFileHandling(); });
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ORV_LOGM_FILE_IS_LINK, failure.code) << failure.message;
    EXPECT_EQ(logFile(1), failure.file);
    EXPECT_EQ(-1, db.segmentId(OrvMemoryManager::LogFileHandling));

    failure = failureOf([&] {
        OrvRecovery recovery(db.path());
        recovery.AnalyseLog(ALL);
    });
    EXPECT_EQ(ORV_LOGM_FILE_IS_LINK, failure.code) << failure.message;

    // Nor is anything else that is not a regular file (a FIFO would block).
    ASSERT_EQ(0, ::unlink(logFile(1).c_str()));
    ASSERT_EQ(0, ::mkfifo(logFile(1).c_str(), 0600));
    testing::internal::CaptureStderr();
    failure = failureOf([] { OrvLogManager::initializeLogFileHandling(); });
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ORV_LOGM_FILE_IS_LINK, failure.code) << failure.message;
    EXPECT_EQ(-1, db.segmentId(OrvMemoryManager::LogFileHandling));

    // A link that appears after the start.
    ASSERT_EQ(0, ::unlink(logFile(1).c_str()));
    OrvLogManager::initializeLogFileHandling();
    ASSERT_EQ(0, ::symlink(target.c_str(), logFile(1).c_str()));
    testing::internal::CaptureStderr();
    failure = failureOf([&] { append(); });
    EXPECT_EQ("Fehler beim öffnen der Datei\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(ORV_LOGM_FILE_IS_LINK, failure.code) << failure.message;
    EXPECT_EQ(bytes, orvtest::readFile(target));
    OrvLogManager::deleteInstance();
    OrvLogManager::destroyLogFileHandling(false);
}

// An image longer than any reader takes would end the log at its entry: it
// is refused before anything is written.
TEST_F(OrvLogSafetyTest, AnEntryNoReaderWouldTakeIsNotWritten) {
    OrvLogManager::initializeLogFileHandling();
    OrvLsn first = append();
    std::string before = orvtest::readFile(logFile(1));
    Failure failure = failureOf([&] {
        append(std::string(static_cast<std::size_t>(OrvLogReader::MAX_IMAGE_LENGTH) + 1, 'z'));
    });
    EXPECT_EQ(ORV_LOGM_ENTRY_TOO_LARGE, failure.code) << failure.message;
    EXPECT_EQ(before, orvtest::readFile(logFile(1)));
    OrvLsn next =
        append(std::string(static_cast<std::size_t>(OrvLogReader::MAX_IMAGE_LENGTH), 'y'));
    EXPECT_TRUE(first < next);
    OrvRecovery recovery(db.path());
    recovery.AnalyseLog(RECORD);
    EXPECT_EQ(2, recovery.getRecordRedoListLength());
    OrvLogManager::deleteInstance();
    OrvLogManager::destroyLogFileHandling(false);
}

// Log files and the owner file are for the group of the database's users, as
// the memory sets are: 0660 before the umask.
TEST_F(OrvLogSafetyTest, LogFilesAreCreatedForOwnerAndGroupOnly) {
    mode_t old = ::umask(0);
    OrvLogManager::initializeLogFileHandling();
    append();
    ::umask(old);
    struct stat status;
    ASSERT_EQ(0, ::stat(logFile(1).c_str(), &status));
    EXPECT_EQ(0660u, status.st_mode & 07777u);
    ASSERT_EQ(0, ::stat(db.file("log.owner").c_str(), &status));
    EXPECT_EQ(0660u, status.st_mode & 07777u);
    OrvLogManager::deleteInstance();
    OrvLogManager::destroyLogFileHandling(false);
}

// ---- one log directory, one database, one owner ------------------------------------

// Two databases started from the same working directory would write one
// log with LSNs handed out twice. The first start makes the directory its
// database's; the start of the other database is refused, naming both, and
// nothing of the first changes: its log, its area, its appends.
TEST_F(OrvLogSafetyTest, TheSecondDatabaseStartedFromTheSameDirectoryIsRefused) {
    orvtest::TestDatabase other;
    db.activate();
    const std::vector<std::string> names{"1.log", "2.log", "log.owner"};
    orvtest::ProcessResult started = orvtest::runProgram(
        {helper("orv_log_start_helper")}, {{"ORV_DATABASE_PATH", db.path()}}, db.path());
    ASSERT_EQ(0, started.exitCode) << started.err;
    orvtest::ProcessResult appended = orvtest::runProgram({helper("orv_log_append_helper"), "3"},
                                                          {{"ORV_DATABASE_PATH", db.path()}});
    ASSERT_EQ(0, appended.exitCode) << appended.err;
    std::map<std::string, std::string> before = snapshot(db, names);
    ASSERT_EQ(2u, before.size());

    orvtest::ProcessResult refused = orvtest::runProgram(
        {helper("orv_log_start_helper")}, {{"ORV_DATABASE_PATH", other.path()}}, db.path());
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_TRUE(contains(refused.err, "LOG07")) << refused.err;
    EXPECT_TRUE(contains(refused.err, "The log directory '" + db.path() +
                                          "' holds the log of the database '" + db.path() +
                                          "'; the database '" + other.path() + "'"))
        << refused.err;
    EXPECT_EQ(-1, other.segmentId(OrvMemoryManager::LogFileHandling));
    EXPECT_EQ(before, snapshot(db, names));

    // The first database goes on where it was.
    orvtest::ProcessResult more = orvtest::runProgram({helper("orv_log_append_helper"), "1"},
                                                      {{"ORV_DATABASE_PATH", db.path()}});
    ASSERT_EQ(0, more.exitCode) << more.err;
    EXPECT_EQ("1," + std::to_string(before["1.log"].size()) + "\n", more.out);
    // Its own next start is welcome.
    orvtest::ProcessResult again = orvtest::runProgram(
        {helper("orv_log_start_helper"), "restart"}, {{"ORV_DATABASE_PATH", db.path()}}, db.path());
    EXPECT_EQ(0, again.exitCode) << again.err;
}

// An owner file that names no database (not written by a start) leaves it
// open whose log this is: the start is refused rather than guessing.
TEST_F(OrvLogSafetyTest, AnOwnerFileThatNamesNoDatabaseRefusesTheStart) {
    for (const char* text : {"", "12 x /somewhere\n", "12 34", "-1 2 /x\n"}) {
        orvtest::writeFile(db.file("log.owner"), text);
        Failure failure = failureOf([] { OrvLogManager::initializeLogFileHandling(); });
        EXPECT_EQ(ORV_LOGM_LOG_DIRECTORY_TAKEN, failure.code) << text;
        EXPECT_EQ(-1, db.segmentId(OrvMemoryManager::LogFileHandling));
        EXPECT_EQ(text, orvtest::readFile(db.file("log.owner")));
    }
    ASSERT_EQ(0, ::unlink(db.file("log.owner").c_str()));
    OrvLogManager::initializeLogFileHandling();
    OrvLogManager::destroyLogFileHandling(false);
    OrvLogManager::initializeLogFileHandling();
    OrvLogManager::destroyLogFileHandling(false);
}

// A log directory another user owns could hold that user's links or files
// in the places of the log files. Refused at the start and, should the
// directory change hands while the engine runs, by every process that
// attaches. Needs root to give the directory away.
TEST_F(OrvLogSafetyTest, ALogDirectoryOfAnotherUserIsRefused) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can give a directory to another user";
    }
    orvtest::TempDir logs;
    ASSERT_EQ(0, chdir(logs.path().c_str()));
    const uid_t stranger = 54321;
    ASSERT_EQ(0, ::chown(logs.path().c_str(), stranger, static_cast<gid_t>(-1)));
    Failure failure = failureOf([] { OrvLogManager::initializeLogFileHandling(); });
    EXPECT_EQ(ORV_LOGM_LOG_DIRECTORY_OWNER, failure.code) << failure.message;
    EXPECT_TRUE(contains(failure.message, "'" + logs.path() + "' belongs to user 54321"))
        << failure.message;
    EXPECT_EQ(-1, db.segmentId(OrvMemoryManager::LogFileHandling));
    EXPECT_EQ(-1, fileSize(logs.file("log.owner")));

    ASSERT_EQ(0, ::chown(logs.path().c_str(), ::geteuid(), static_cast<gid_t>(-1)));
    OrvLogManager::initializeLogFileHandling();
    ASSERT_EQ(0, ::chown(logs.path().c_str(), stranger, static_cast<gid_t>(-1)));
    failure = failureOf([] { OrvLogManager::getInstance(); });
    EXPECT_EQ(ORV_LOGM_LOG_DIRECTORY_OWNER, failure.code) << failure.message;
    ASSERT_EQ(0, ::chown(logs.path().c_str(), ::geteuid(), static_cast<gid_t>(-1)));
    // Detached again: the process can attach once the directory is back.
    EXPECT_NE(nullptr, OrvLogManager::getInstance());
    OrvLogManager::deleteInstance();
    OrvLogManager::destroyLogFileHandling(false);
    ASSERT_EQ(0, chdir(db.path().c_str()));
}

} // namespace
