// The crash test: worker processes (tests/helpers/orv_crash_worker, each a
// fresh engine process) run random mixed transactions on one table with a
// unique and a non-unique index, and are killed with SIGKILL at random
// moments. Then the rounds take turns in what a user would do next:
// `orvstop --force` and `orvstart`, which recovers; a plain `orvstop`, which
// rolls the dead workers' transactions back (or, when one died holding a
// latch, says so and is followed by the forced one), and `orvstart`; or
// nothing at all: the next reader waits for the dead workers' locks and so
// takes them over. Every committed change must be there and no uncommitted one; a
// worker killed between asking for its commit and hearing it returned may
// have committed or not, but all or nothing. Table and indexes agree, and
// the structure checkers find nothing.
//
// A few rounds run in the suite; more with
//   ORV_CRASH_ROUNDS=200 build/test-debug/tests/orv_crash_tests
// and a round's kill moments again with ORV_CRASH_SEED (printed by each run).
#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"
#include "OrvTestSync.h"

#include "CrashCheck.h"
#include "OrvIndexManager.h"
#include "OrvRecordManager.h"
#include "OrvSystem.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>
#include <unistd.h>

using namespace crashtest;
using orvtest::ProcessResult;

namespace {

const std::string WORKER = std::string(ORV_TEST_BINARY_DIR) + "/orv_crash_worker";
constexpr int WORKERS = 2;
constexpr Sint32 KEY_SPAN = 1000000;

unsigned long fromEnvironment(const char* name, unsigned long fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : fallback;
}

class CrashTest : public ::testing::Test {
protected:
    ProcessResult run(const std::vector<std::string>& argv) {
        return orvtest::runProgram(argv, {{"ORV_DATABASE_PATH", db.path()}}, db.path());
    }

    orvtest::TestDatabase db;
};

} // namespace

TEST_F(CrashTest, KilledWorkersLeaveExactlyWhatTheyCommitted) {
    const unsigned long rounds = fromEnvironment("ORV_CRASH_ROUNDS", 6);
    const unsigned long seed =
        fromEnvironment("ORV_CRASH_SEED",
                        static_cast<unsigned long>(
                            std::chrono::steady_clock::now().time_since_epoch().count() % 100000));
    std::cout << "crash test: " << rounds << " rounds, ORV_CRASH_SEED=" << seed << std::endl;
    std::mt19937 random(static_cast<unsigned>(seed));

    ProcessResult start = run({ORV_ORVSTART});
    ASSERT_EQ(0, start.exitCode) << start.err;
    createCrashTables();
    OrvSystem::stopAllManagers();

    std::map<Sint32, Rows> expected; // per key range: its rows
    int kills = 0;
    int commits = 0;
    int rollbacks = 0;
    int doubts = 0;
    int recoveries = 0;
    int plainStops = 0;
    int takenOver = 0;
    int latchDeaths = 0;
    for (unsigned long round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round) + ", ORV_CRASH_SEED=" + std::to_string(seed));
        std::vector<std::string> sides;
        std::vector<std::unique_ptr<orvtest::ChildProcess>> workers;
        for (int w = 0; w < WORKERS; ++w) {
            const Sint32 firstKey = Sint32(round * WORKERS + w + 1) * KEY_SPAN;
            const std::string side = db.file("side." + std::to_string(firstKey));
            const std::string workerSeed = std::to_string(random());
            const std::string first = std::to_string(firstKey);
            sides.push_back(side);
            workers.push_back(std::make_unique<orvtest::ChildProcess>([=]() -> int {
                execl(WORKER.c_str(), WORKER.c_str(), "random", workerSeed.c_str(), first.c_str(),
                      side.c_str(), static_cast<char*>(nullptr));
                return 99;
            }));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + random() % 900));
        for (auto& worker : workers) {
            worker->kill(SIGKILL);
            ++kills;
        }
        for (auto& worker : workers) {
            ASSERT_EQ(128 + SIGKILL, worker->wait()) << "a worker ended by itself";
        }

        // A forced stop and a start that recovers; a plain stop that takes
        // the dead workers over; or going on with the engine as it is.
        const int mode = static_cast<int>(round % 3);
        bool forced = mode == 0;
        if (mode == 1) {
            ProcessResult stop = run({ORV_ORVSTOP});
            if (stop.exitCode != 0) {
                // A worker died holding a latch: the stop names it and only
                // a forced stop helps.
                ASSERT_NE(std::string::npos, stop.err.find("LT003")) << stop.err;
                forced = true;
                ++latchDeaths;
            } else {
                ++plainStops;
            }
        }
        if (forced) {
            ProcessResult stop = run({ORV_ORVSTOP, "--force"});
            ASSERT_EQ(0, stop.exitCode) << stop.err;
        }
        if (mode != 2 || forced) {
            ProcessResult restart = run({ORV_ORVSTART});
            ASSERT_EQ(0, restart.exitCode) << restart.err;
            recoveries += restart.out.find("recovery redid") != std::string::npos ? 1 : 0;
        }

        Found found;
        try {
            found = readDatabase();
            takenOver += mode == 2 ? 1 : 0;
        } catch (const OrvException& e) {
            ASSERT_EQ(2, mode) << e.what();
            ASSERT_EQ(ORV_LATCH_HOLDER_DEAD, e.getErrorCode()) << e.what();
            ++latchDeaths;
            OrvSystem::stopAllManagers();
            ASSERT_EQ(0, run({ORV_ORVSTOP, "--force"}).exitCode);
            ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
            found = readDatabase();
        }
        OrvSystem::stopAllManagers();
        ASSERT_TRUE(found.problems.empty()) << found.problems.front();
        std::size_t total = 0;
        for (const auto& [first, rows] : expected) {
            EXPECT_EQ(rows, rowsBetween(found.rows, first, KEY_SPAN))
                << "rows of an earlier round changed, keys from " << first;
            total += rows.size();
        }
        for (int w = 0; w < WORKERS; ++w) {
            const Sint32 firstKey = Sint32(round * WORKERS + w + 1) * KEY_SPAN;
            const SideOutcome outcome = readSide(orvtest::readFile(sides[w]), {});
            const Rows there = rowsBetween(found.rows, firstKey, KEY_SPAN);
            commits += outcome.commits;
            rollbacks += outcome.rollbacks;
            if (outcome.inDoubt) {
                ++doubts;
            }
            const bool asCommitted = there == outcome.committed;
            const bool asInDoubt = outcome.inDoubt && there == *outcome.inDoubt;
            EXPECT_TRUE(asCommitted || asInDoubt)
                << "worker " << w << ": " << there.size() << " rows there, "
                << outcome.committed.size() << " committed"
                << (outcome.inDoubt ? ", " + std::to_string(outcome.inDoubt->size()) +
                                          " if the last commit held"
                                    : std::string())
                << ":" << difference(there, outcome.committed);
            expected[firstKey] = there;
            total += there.size();
        }
        EXPECT_EQ(total, found.rows.size()) << "rows outside every worker's keys";
        if (HasFailure()) {
            break;
        }
    }
    std::cout << "crash test: " << rounds << " rounds, " << kills << " workers killed, "
              << recoveries << " recoveries, " << commits << " commits and " << rollbacks
              << " rollbacks logged by the workers, " << doubts << " killed within a commit, "
              << plainStops << " plain stops, " << takenOver << " takeovers by a reader, "
              << latchDeaths << " deaths holding a latch" << std::endl;
    EXPECT_EQ(0, run({ORV_ORVSTOP}).exitCode);
}
