// The start program recovers a database whose engine did not stop cleanly:
// worker processes (tests/helpers/orv_crash_worker) commit rows and index
// keys, another is killed with its transaction open after its pages reached
// the files; after `orvstop --force` the next `orvstart` redoes and undoes
// from the log, says what it did, and the committed rows are there, the
// uncommitted ones gone, table and indexes in agreement. A clean stop makes
// the next start skip recovery.
#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"
#include "OrvTestSync.h"

#include "OrvIndexManager.h"
#include "OrvRecordManager.h"
#include "OrvSystem.h"
#include "crash/CrashCheck.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace crashtest;
using orvtest::ProcessResult;

namespace {

const std::string WORKER = std::string(ORV_TEST_BINARY_DIR) + "/orv_crash_worker";

class StartRecoveryTest : public ::testing::Test {
protected:
    ProcessResult run(const std::vector<std::string>& argv) {
        return orvtest::runProgram(argv, {{"ORV_DATABASE_PATH", db.path()}}, db.path());
    }
    std::string state() { return orvtest::readFile(db.file("orv.state")); }
    void makeTableAndIndexes() {
        createCrashTables();
        OrvSystem::stopAllManagers();
    }
    std::size_t plainRows() {
        OrvClientTransaction::begin();
        OrvBufferManager::getInstance()->openSegment(PLAIN_TABLE);
        OrvRecordIterator* raw = nullptr;
        OrvRecordManager::getInstance()->getRecordIterator(PLAIN_TABLE, raw);
        std::unique_ptr<OrvRecordIterator> scan(raw);
        OrvRecord* record = nullptr;
        std::size_t n = 0;
        while (scan->hasNext() && scan->getNext(record) == ORV_SUCCESS) {
            ++n;
        }
        delete record;
        scan.reset();
        OrvClientTransaction::commit();
        OrvSystem::stopAllManagers();
        return n;
    }
    Found check() {
        Found found = readDatabase();
        OrvSystem::stopAllManagers();
        return found;
    }

    orvtest::TestDatabase db;
};

} // namespace

TEST_F(StartRecoveryTest, OpenTransactionOfAKilledProcessIsUndoneAndCommittedWorkStays) {
    ProcessResult start = run({ORV_ORVSTART});
    ASSERT_EQ(0, start.exitCode) << start.err;
    // A database never started needs no recovery.
    EXPECT_EQ(std::string::npos, start.out.find("recovery")) << start.out;
    EXPECT_EQ("running\n", state());
    makeTableAndIndexes();

    const std::string committedSide = db.file("committed.side");
    ProcessResult committer = run({WORKER, "commit", "300", "0", committedSide});
    ASSERT_EQ(0, committer.exitCode) << committer.err;
    const Rows committed = readSide(orvtest::readFile(committedSide), {}).committed;
    ASSERT_EQ(240u, committed.size());

    // More than RECOVERY_PROGRESS_MINIMUM record entries to undo (rows of
    // the table without indexes): progress shows.
    const std::string openSide = db.file("open.side");
    orvtest::ChildProcess open([&]() -> int {
        execl(WORKER.c_str(), WORKER.c_str(), "open", "200", "100000", openSide.c_str(), "0", "300",
              "10050", static_cast<char*>(nullptr));
        _exit(99);
    });
    ASSERT_TRUE(orvtest::waitUntil(
        [&] { return readSide(orvtest::readFile(openSide), committed).sawWait; }, 240000))
        << "the worker did not finish its work";
    open.kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, open.wait());

    // A forced stop: a plain one would roll the dead transaction back
    // itself, and the start would have nothing to recover.
    ProcessResult stop = run({ORV_ORVSTOP, "--force"});
    ASSERT_EQ(0, stop.exitCode) << stop.err;
    // The open transaction's pages went to the files; the state says so.
    EXPECT_EQ("running\n", state());

    ProcessResult restart = run({ORV_ORVSTART});
    ASSERT_EQ(0, restart.exitCode) << restart.err;
    EXPECT_NE(std::string::npos, restart.out.find("The engine had not stopped cleanly; recovery"))
        << restart.out;
    EXPECT_NE(std::string::npos, restart.out.find(" of 1 transactions that had not ended."))
        << restart.out;
    EXPECT_NE(std::string::npos, restart.out.find("Recovery: record undo"));
    EXPECT_NE(std::string::npos,
              restart.out.find("The system was started successfully. SQLSTATE=00000"));

    Found found = check();
    EXPECT_TRUE(found.problems.empty()) << found.problems.front();
    EXPECT_EQ(committed, found.rows);
    EXPECT_EQ(0u, plainRows());

    // A clean stop, then a start that does not recover, and the same rows.
    ProcessResult cleanStop = run({ORV_ORVSTOP});
    ASSERT_EQ(0, cleanStop.exitCode) << cleanStop.err;
    EXPECT_EQ("stopped\n", state());
    ProcessResult again = run({ORV_ORVSTART});
    ASSERT_EQ(0, again.exitCode) << again.err;
    EXPECT_EQ(std::string::npos, again.out.find("recovery")) << again.out;
    EXPECT_EQ("running\n", state());
    found = check();
    EXPECT_TRUE(found.problems.empty()) << found.problems.front();
    EXPECT_EQ(committed, found.rows);
    EXPECT_EQ(0, run({ORV_ORVSTOP}).exitCode);
}

TEST_F(StartRecoveryTest, StateThatCannotBeReadStopsTheStartAndLeavesNoSet) {
    ASSERT_EQ(0, mkdir(db.file("orv.state").c_str(), 0700));
    ProcessResult start = run({ORV_ORVSTART});
    EXPECT_EQ(1, start.exitCode);
    EXPECT_NE(std::string::npos, start.err.find("SQLSTATE=SY004")) << start.err;
    for (int set = 0; set < 3; ++set) {
        EXPECT_EQ(-1, db.segmentId(set)) << "set " << set;
    }
}

TEST_F(StartRecoveryTest, StateTheEngineDidNotWriteCountsAsNotStoppedCleanly) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    makeTableAndIndexes();
    const std::string side = db.file("committed.side");
    ASSERT_EQ(0, run({WORKER, "commit", "20", "0", side}).exitCode);
    ASSERT_EQ(0, run({ORV_ORVSTOP}).exitCode);
    orvtest::writeFile(db.file("orv.state"), "stoppe");
    ProcessResult start = run({ORV_ORVSTART});
    ASSERT_EQ(0, start.exitCode) << start.err;
    EXPECT_NE(std::string::npos, start.out.find("recovery redid 0 log entries and undid 0 entries"))
        << start.out;
    Found found = check();
    EXPECT_TRUE(found.problems.empty()) << found.problems.front();
    EXPECT_EQ(readSide(orvtest::readFile(side), {}).committed, found.rows);
    EXPECT_EQ(0, run({ORV_ORVSTOP}).exitCode);
}
