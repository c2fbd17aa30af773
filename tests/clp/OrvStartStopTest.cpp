// The start and stop programs, run as real processes on a database directory
// of each test's own.
#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"

#include "OrvError.h"
#include "support/OrvLatch.h"
#include "support/OrvMemoryManager.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>

using orvtest::ProcessResult;
using orvtest::runProgram;

namespace {

const char* const startedLine = "\nThe system was started successfully. SQLSTATE=00000\n";
const char* const stoppedLine = "\nThe system was stopped successfully. SQLSTATE=00000\n";

class StartStopTest : public ::testing::Test {
protected:
    ProcessResult run(const std::vector<std::string>& argv) {
        return runProgram(argv, {{"ORV_DATABASE_PATH", db.path()}}, db.path());
    }
    int existingSets() const {
        int n = 0;
        for (int set = 0; set < 3; ++set) {
            n += db.segmentId(set) >= 0 ? 1 : 0;
        }
        return n;
    }
    // The stack trace lines after the message vary; the lines before it do not.
    static std::string headOfError(const std::string& err) {
        std::size_t end = err.find("[bt]");
        return end == std::string::npos ? err : err.substr(0, end);
    }

    orvtest::TestDatabase db;
};

} // namespace

TEST_F(StartStopTest, ArgumentsGiveUsageAndTouchNothing) {
    ProcessResult start = run({ORV_ORVSTART, "now"});
    EXPECT_EQ(1, start.exitCode);
    EXPECT_EQ(std::string("\nUsage: ") + ORV_ORVSTART + "\n\n", start.out);
    EXPECT_EQ(0, existingSets());

    ProcessResult stop = run({ORV_ORVSTOP, "--now"});
    EXPECT_EQ(1, stop.exitCode);
    EXPECT_EQ(std::string("\nUsage: ") + ORV_ORVSTOP + " [--force]\n\n", stop.out);
    ProcessResult two = run({ORV_ORVSTOP, "--force", "--force"});
    EXPECT_EQ(1, two.exitCode);
    EXPECT_EQ(0, existingSets());
}

TEST_F(StartStopTest, StartThenStopTwiceInARow) {
    for (int round = 0; round < 2; ++round) {
        ProcessResult start = run({ORV_ORVSTART});
        EXPECT_EQ(0, start.exitCode) << start.err;
        EXPECT_EQ(startedLine, start.out);
        EXPECT_EQ("", start.err);
        EXPECT_EQ(3, existingSets());

        ProcessResult stop = run({ORV_ORVSTOP});
        EXPECT_EQ(0, stop.exitCode) << stop.err;
        EXPECT_EQ(stoppedLine, stop.out);
        EXPECT_EQ(0, existingSets());
    }
}

TEST_F(StartStopTest, SecondStartFailsWithMM002AndChangesNothing) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    int lockList = db.segmentId(OrvMemoryManager::LockList);

    ProcessResult again = run({ORV_ORVSTART});
    EXPECT_EQ(1, again.exitCode);
    EXPECT_EQ("\n", again.out);
    EXPECT_EQ(std::string("\nException aufgetreten: \n"
                          "Could not create shared memory segment for memory set 'Lock List' "
                          "(ID 1) exclusively.  Segment already exists?  System error: 17 ('") +
                  std::strerror(EEXIST) + "') SQLSTATE=MM002\n",
              headOfError(again.err));
    EXPECT_NE(std::string::npos, again.err.find("[bt]: omitted errorhandling on stacktrace"));
    EXPECT_EQ(lockList, db.segmentId(OrvMemoryManager::LockList));
    EXPECT_EQ(3, existingSets());

    EXPECT_EQ(0, run({ORV_ORVSTOP}).exitCode);
}

TEST_F(StartStopTest, StopOfAStoppedEngineIsAnError) {
    ProcessResult stop = run({ORV_ORVSTOP});
    EXPECT_EQ(1, stop.exitCode);
    EXPECT_NE(std::string::npos, stop.err.find("SQLSTATE=MM"));
    EXPECT_EQ(std::string::npos, stop.out.find("SQLSTATE=00000"));
}

// A directory the engine cannot work in is refused before any set is made,
// with the directory and the real cause.
TEST_F(StartStopTest, StartRefusesADatabasePathItCannotUse) {
    const std::string missing = db.file("no-such-dir");
    const std::string file = db.file("plain-file");
    orvtest::writeFile(file, "x");
    const std::string readOnly = db.file("read-only");
    ASSERT_EQ(0, mkdir(readOnly.c_str(), 0500));
    const struct {
        std::string path;
        std::string reason;
    } cases[] = {
        {missing, std::strerror(ENOENT)},
        {file, "it is not a directory"},
        {readOnly, "it is not readable, writable and searchable for its owner"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ProcessResult start =
            runProgram({ORV_ORVSTART}, {{"ORV_DATABASE_PATH", c.path}}, db.path());
        EXPECT_EQ(1, start.exitCode);
        EXPECT_EQ("\n", start.out);
        EXPECT_EQ("\nException aufgetreten: \nThe database directory '" + c.path +
                      "' cannot be used: " + c.reason + ". SQLSTATE=MM010\n",
                  headOfError(start.err));
        for (const std::string& path : {c.path, db.path()}) {
            for (int set = 0; set < 3; ++set) {
                EXPECT_EQ(-1, shmget(ftok(path.c_str(), set), 0, 0));
            }
        }
    }
}

TEST_F(StartStopTest, ForcedStopRemovesWhatIsLeftOfAHalfStartedEngine) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    // Take one set away behind the engine's back, as a crash between two
    // start steps would leave it.
    int shmId = db.segmentId(OrvMemoryManager::LogFileHandling);
    void* segment = shmat(shmId, nullptr, 0);
    ASSERT_NE(reinterpret_cast<void*>(-1), segment);
    // Its latch's semaphore set is orphaned with it; the fixture removes it.
    db.registerSemaphore(
        *reinterpret_cast<int*>(static_cast<char*>(segment) + OrvMemoryManager::DATA_OFFSET));
    shmdt(segment);
    ASSERT_EQ(0, shmctl(shmId, IPC_RMID, nullptr));
    ProcessResult stop = run({ORV_ORVSTOP, "--force"});
    EXPECT_EQ(0, stop.exitCode) << stop.err;
    EXPECT_EQ(stoppedLine, stop.out);
    EXPECT_EQ(0, existingSets());

    // With nothing left to remove, even a forced stop says so.
    ProcessResult again = run({ORV_ORVSTOP, "--force"});
    EXPECT_EQ(1, again.exitCode);
    EXPECT_NE(std::string::npos, again.err.find("SQLSTATE=MM007"));
}

TEST_F(StartStopTest, LatchLeftExclusiveByADeadProcessIsBrokenByTheStop) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    int died = orvtest::runInChild([] {
        void* data = nullptr;
        OrvMemoryManager::getMemoryManager()->connectToMemorySet(OrvMemoryManager::BufferPool,
                                                                 data);
        // Dies holding the pool's latch exclusively.
        return static_cast<OrvLatch*>(data)->get(OrvLatch::Exclusive) == ORV_SUCCESS ? 0 : 1;
    });
    ASSERT_EQ(0, died);

    // The pool's removal breaks the dead process's hold (to write the pool's
    // dirty pages back under the latch), so a plain stop removes everything.
    ProcessResult stop = run({ORV_ORVSTOP});
    EXPECT_EQ(0, stop.exitCode) << stop.err;
    EXPECT_EQ(stoppedLine, stop.out);
    EXPECT_EQ(0, existingSets());
}

TEST_F(StartStopTest, StackTraceFileCollectsTheErrorPath) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    std::string traceFile = db.file("errors.txt");
    ProcessResult again = runProgram(
        {ORV_ORVSTART}, {{"ORV_DATABASE_PATH", db.path()}, {"ORV_STACK_TRACE_FILE", traceFile}},
        db.path());
    EXPECT_EQ(1, again.exitCode);
    std::string trace = orvtest::readFile(traceFile);
    EXPECT_NE(std::string::npos, trace.find("Could not create shared memory segment"));
    EXPECT_NE(std::string::npos, trace.find("(-109)"));

    // An unwritable trace file is silently not written.
    ProcessResult unwritable = runProgram(
        {ORV_ORVSTOP},
        {{"ORV_DATABASE_PATH", db.path()}, {"ORV_STACK_TRACE_FILE", db.file("no/such/file")}},
        db.path());
    EXPECT_EQ(0, unwritable.exitCode) << unwritable.err;
}

TEST_F(StartStopTest, PerformanceReportNamesMain) {
    std::string perf = db.file("perf.txt");
    ProcessResult start = runProgram(
        {ORV_ORVSTART}, {{"ORV_DATABASE_PATH", db.path()}, {"ORV_PERF_FILE", perf}}, db.path());
    ASSERT_EQ(0, start.exitCode);
    std::string report = orvtest::readFile(perf);
    EXPECT_EQ(0u, report.find("Function timings:\n=================\n"));
    EXPECT_NE(std::string::npos, report.find(" calls in "));
    EXPECT_NE(std::string::npos, report.find("\"int main(int, char**)\"\n"));
    EXPECT_NE(std::string::npos, report.find("\"static void OrvSystem::start()\"\n"));
    EXPECT_EQ(0, run({ORV_ORVSTOP}).exitCode);
}
