// Faults of the file system under a workload, injected through OrvIo: the
// nth read, write, sync or close of the segment and log files fails (or a
// write is cut short) while a process runs transactions on a table with two
// indexes. For each kind of call and a spread of n over the calls the
// workload makes, a fresh database: the failure must surface as an
// exception with a file or log error code; right after it the process has
// no page fixed and holds no latch; its rollback then works and leaves no
// lock. The process then leaves a transaction open and is killed; after
// `orvstop --force` and `orvstart` (recovery) the structure checkers find
// nothing and the database holds what was committed (a commit that failed
// may have happened or not, all or nothing).
//
// The same file checks the sync setting: ORV_LOG_SYNC=commit syncs the log
// at each commit, the default does not, and an unknown value stops the
// start with its SQLSTATE.
#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"
#include "OrvTestSync.h"

#include "CrashCheck.h"
#include "OrvBuffer.h"
#include "OrvIndexManager.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvRecordManager.h"
#include "OrvSystem.h"
#include "support/OrvIo.h"
#include "support/OrvLatch.h"
#include "support/OrvMemoryManager.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/shm.h>
#include <unistd.h>

using namespace crashtest;
using orvtest::ProcessResult;

namespace {

// Exit codes of the workload process.
enum Outcome : int {
    NO_FAULT = 0,     // the workload ended without meeting the fault
    FAULT_CAUGHT = 1, // the fault surfaced, everything checked out
    WRONG_CODE = 2,
    PAGE_FIXED = 3,
    LATCH_HELD = 4,
    LOCKS_LEFT = 5,
    ROLLBACK_FAILED = 6,
    OTHER = 7,
};

// Codes a failing file operation may surface as.
const std::set<OrvErrorCode> FILE_ERRORS = {
    ORV_FM_FILE_READ_FAIL,     ORV_FM_FILE_WRITE_FAIL,     ORV_FM_FILE_CLOSE_FAIL,
    ORV_FM_FILE_OPEN_FAIL,     ORV_FM_FILE_INVALID_SIZE,   ORV_FM_FILE_SYNC_FAIL,
    ORV_LOGM_FILE_OPEN_FAILED, ORV_LOGM_FILE_WRITE_FAILED, ORV_LOGM_FILE_CLOSE_FAILED,
    ORV_LOGM_FILE_SYNC_FAILED, ORV_BM_PAGE_NOT_FOUND,      ORV_LOGM_FILE_READ_FAILED,
};

struct Kind {
    const char* name;
    OrvIo::Call call;
    Sint64 shortBytes;
};

const Kind KINDS[] = {
    {"read", OrvIo::Call::Pread, -1},          {"write", OrvIo::Call::Pwrite, -1},
    {"short write", OrvIo::Call::Pwrite, 100}, {"append", OrvIo::Call::Append, -1},
    {"short append", OrvIo::Call::Append, 7},  {"sync", OrvIo::Call::Sync, -1},
    {"close", OrvIo::Call::Close, -1},
};

// Whether any of the three sets' latches is held, read from the sets.
bool anyLatchHeld(const orvtest::TestDatabase& db) {
    for (int set = 0; set < 3; ++set) {
        const int id = db.segmentId(set);
        if (id < 0) {
            continue;
        }
        void* segment = shmat(id, nullptr, SHM_RDONLY);
        if (segment == reinterpret_cast<void*>(-1)) {
            continue;
        }
        const OrvLatch* latch = reinterpret_cast<const OrvLatch*>(
            static_cast<const char*>(segment) + OrvMemoryManager::DATA_OFFSET);
        bool held = false;
        const OrvErrorCode code = latch->isLocked(held);
        shmdt(segment);
        if (code != ORV_SUCCESS || held) {
            return true;
        }
    }
    return false;
}

// The workload: transactions of inserts, replaces and deletes on the rows
// the setup committed and new ones, every third rolled back, pages written
// out between transactions. Writes the side lines of CrashWorkload.h.
class Workload {
public:
    Workload(int side) : side(side) {}
    void note(const std::string& line) {
        const std::string text = line + "\n";
        if (write(side, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            _exit(OTHER);
        }
    }
    void transaction(int t, std::map<Sint32, std::pair<Sint32, TupleId>>& rows) {
        OrvRecordManager* rm = OrvRecordManager::getInstance();
        OrvIndexManager* im = OrvIndexManager::getInstance();
        im->openIndex(KEY_INDEX, true, BTree, INTEGER);
        im->openIndex(GROUP_INDEX, false, BTree, INTEGER);
        note("B");
        for (int k = 0; k < 12; ++k) {
            const Sint32 key = 1000 + t * 12 + k;
            note("I " + std::to_string(key) + " 1");
            const std::string text = rowText(key, 1);
            OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
            TupleId tid;
            rm->insert(record, TABLE, tid);
            im->insert(KEY_INDEX, intKey(key), tid);
            im->insert(GROUP_INDEX, intKey(groupOf(key, 1)), tid);
            rows[key] = {1, tid};
        }
        int n = 0;
        for (auto it = rows.begin(); it != rows.end() && n < 8; ++n) {
            auto& [key, state] = *it;
            auto& [version, tid] = state;
            ++it;
            if ((key + t) % 4 == 0) {
                note("D " + std::to_string(key));
                rm->remove(TABLE, tid);
                im->remove(KEY_INDEX, intKey(key), &tid);
                im->remove(GROUP_INDEX, intKey(groupOf(key, version)), &tid);
                rows.erase(key);
            } else {
                const Sint32 next = version + 1 + (key % 3);
                note("R " + std::to_string(key) + " " + std::to_string(next));
                const std::string text = rowText(key, next);
                OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
                rm->replace(TABLE, tid, record);
                if (groupOf(key, version) != groupOf(key, next)) {
                    im->remove(GROUP_INDEX, intKey(groupOf(key, version)), &tid);
                    im->insert(GROUP_INDEX, intKey(groupOf(key, next)), tid);
                }
                version = next;
            }
        }
    }

private:
    int side;
};

class FaultTest : public ::testing::Test {
protected:
    static ProcessResult run(const orvtest::TestDatabase& db, const std::vector<std::string>& argv,
                             std::map<std::string, std::string> env = {}) {
        env["ORV_DATABASE_PATH"] = db.path();
        return orvtest::runProgram(argv, env, db.path());
    }
    // A started database with the table, its indexes and committed rows
    // (keys 0..59), the pool empty, so the workload reads pages.
    static void prepare(const orvtest::TestDatabase& db) {
        ASSERT_EQ(0, run(db, {ORV_ORVSTART}).exitCode);
        ASSERT_EQ(0, orvtest::runInChild([] {
                      OrvTransactionManager::resetForProcess();
                      createCrashTables();
                      OrvSystem::stopAllManagers();
                      return 0;
                  }));
        const std::string side = db.file("setup.side");
        ASSERT_EQ(0, run(db, {std::string(ORV_TEST_BINARY_DIR) + "/orv_crash_worker", "commit",
                              "60", "0", side})
                         .exitCode);
        ASSERT_EQ(0, run(db, {ORV_ORVSTOP}).exitCode);
        ASSERT_EQ(0, run(db, {ORV_ORVSTART}).exitCode);
    }
    // Starts db as a copy of the stopped database in `model` (its log and
    // segment files; the log directory's owner file names the database,
    // so it is left to the first start of the copy).
    static void startCopy(const orvtest::TestDatabase& model, const orvtest::TestDatabase& db) {
        for (const auto& item : std::filesystem::directory_iterator(model.path())) {
            if (item.is_regular_file() && item.path().filename() != "log.owner") {
                std::filesystem::copy_file(item.path(), std::filesystem::path(db.path()) /
                                                            item.path().filename());
            }
        }
        ASSERT_EQ(0, run(db, {ORV_ORVSTART}).exitCode);
    }
    // Runs the workload in a child with the fault armed (nth 0: nothing
    // fails, the calls are only counted, and their number is the exit
    // code... capped; see callsOf). Returns the child's outcome.
    static int workload(const orvtest::TestDatabase& db, const Kind& kind, Uint32 nth,
                        Uint32* calls) {
        orvtest::Pipe counted;
        const int outcome = orvtest::runInChild([&]() -> int {
            OrvTransactionManager::resetForProcess();
            lookUpCrashTables();
            if (kind.call == OrvIo::Call::Sync) {
                OrvLogManager::setSyncMode(OrvLogManager::SyncMode::Commit);
            }
            const int side =
                open(db.file("work.side").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            Workload work(side);
            std::map<Sint32, std::pair<Sint32, TupleId>> rows;
            OrvIo::Fault fault;
            fault.call = kind.call;
            fault.nth = nth == 0 ? 0xFFFFFFFFu : nth;
            fault.shortBytes = kind.shortBytes;
            OrvIo::armFault(fault);
            int t = 0;
            try {
                // The committed rows of the setup, found through the index.
                OrvClientTransaction::begin();
                OrvIndexManager* im = OrvIndexManager::getInstance();
                im->openIndex(KEY_INDEX, true, BTree, INTEGER);
                for (Sint32 key = 1; key < 60; key += 2) {
                    if (key % 5 != 0) {
                        TupleId tid;
                        im->find(KEY_INDEX, intKey(key), tid);
                        rows[key] = {key % 2 == 0 ? 2 : 1, tid};
                    }
                }
                OrvClientTransaction::commit();
                for (t = 0; t < 6; ++t) {
                    const auto before = rows;
                    OrvClientTransaction::begin();
                    work.transaction(t, rows);
                    if (t % 3 == 2) {
                        OrvClientTransaction::rollback();
                        work.note("A");
                        rows = before;
                    } else {
                        work.note("C?");
                        OrvClientTransaction::commit();
                        work.note("C!");
                    }
                    writeAllPages();
                }
            } catch (const OrvException& e) {
                OrvIo::clearFaults();
                if (FILE_ERRORS.count(e.getErrorCode()) == 0) {
                    std::fprintf(stderr, "unexpected code %d: %s\n", int(e.getErrorCode()),
                                 e.what());
                    return WRONG_CODE;
                }
                bool fixed = false;
                OrvBufferManager::haveFixedPages(fixed);
                if (fixed) {
                    return PAGE_FIXED;
                }
                if (anyLatchHeld(db)) {
                    return LATCH_HELD;
                }
                // As the transaction guard would; a failed rollback may be
                // run again.
                bool rolledBack = false;
                for (int attempt = 0; attempt < 2 && !rolledBack; ++attempt) {
                    try {
                        OrvClientTransaction::rollback();
                        rolledBack = true;
                    } catch (const OrvException& again) {
                        std::fprintf(stderr, "rollback: %s\n", again.what());
                    }
                }
                if (!rolledBack) {
                    return ROLLBACK_FAILED;
                }
                // Whether a commit that failed happened is left open: no
                // "A" after a "C?".
                bool inUse = false;
                OrvLockManager::isLockListInUse(inUse);
                if (inUse) {
                    return LOCKS_LEFT;
                }
                // A last transaction stays open when the process dies.
                try {
                    openSegments(); // a failed flushAll may have closed them
                    OrvClientTransaction::begin();
                    work.transaction(40, rows);
                    writeAllPages();
                } catch (const OrvException& after) {
                    std::fprintf(stderr, "after the fault: %s\n", after.what());
                    return OTHER;
                }
                raise(SIGKILL);
            }
            const Uint32 made = OrvIo::callCount(kind.call);
            counted.send(static_cast<int>(made));
            OrvSystem::stopAllManagers();
            return NO_FAULT;
        });
        if (calls != nullptr) {
            int value = 0;
            *calls = counted.receiveValue(value, 1000) ? Uint32(value) : 0;
        }
        return outcome;
    }
};

} // namespace

// One test per kind of call, so that each has its own time limit.
class FailedCallTest : public FaultTest, public ::testing::WithParamInterface<Kind> {};

TEST_P(FailedCallTest, SurfacesLeaksNothingAndRecoveryGivesTheCommittedState) {
    const Kind& kind = GetParam();
    int faults = 0;
    // ORV_FAULT_SPREAD=20 tries more calls of each kind.
    const char* spreadText = std::getenv("ORV_FAULT_SPREAD");
    const Uint32 spread = spreadText != nullptr ? std::max(1, std::atoi(spreadText)) : 2;
    orvtest::TestDatabase model;
    prepare(model);
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(0, run(model, {ORV_ORVSTOP}).exitCode);
    {
        Uint32 calls = 0;
        {
            orvtest::TestDatabase db;
            startCopy(model, db);
            ASSERT_FALSE(HasFailure());
            ASSERT_EQ(NO_FAULT, workload(db, kind, 0, &calls)) << kind.name;
            ASSERT_EQ(0, run(db, {ORV_ORVSTOP}).exitCode);
        }
        ASSERT_GT(calls, 0u) << "the workload makes no " << kind.name << " call";
        // The first call, the last, and a spread between them.
        std::set<Uint32> positions = {1, calls};
        for (Uint32 step = 1; step < spread; ++step) {
            positions.insert(std::max<Uint32>(1, calls * step / spread));
        }
        for (Uint32 nth : positions) {
            SCOPED_TRACE(std::string(kind.name) + " " + std::to_string(nth) + " of " +
                         std::to_string(calls));
            orvtest::TestDatabase db;
            startCopy(model, db);
            ASSERT_FALSE(HasFailure());
            const int outcome = workload(db, kind, nth, nullptr);
            ASSERT_TRUE(outcome == NO_FAULT || outcome == 128 + SIGKILL) << "outcome " << outcome;
            faults += outcome == 128 + SIGKILL ? 1 : 0;

            ASSERT_EQ(0, run(db, {ORV_ORVSTOP, "--force"}).exitCode);
            ProcessResult start = run(db, {ORV_ORVSTART});
            ASSERT_EQ(0, start.exitCode) << start.err;
            Rows committed = readSide(orvtest::readFile(db.file("setup.side")), {}).committed;
            const SideOutcome work = readSide(orvtest::readFile(db.file("work.side")), committed);
            lookUpCrashTables();
            const Found found = readDatabase();
            OrvSystem::stopAllManagers();
            ASSERT_TRUE(found.problems.empty()) << found.problems.front();
            EXPECT_TRUE(found.rows == work.committed ||
                        (work.inDoubt && found.rows == *work.inDoubt))
                << found.rows.size() << " rows, " << work.committed.size()
                << " committed:" << difference(found.rows, work.committed)
                << (work.inDoubt
                        ? "; against the commit in doubt:" + difference(found.rows, *work.inDoubt)
                        : std::string());
            ASSERT_EQ(0, run(db, {ORV_ORVSTOP}).exitCode);
        }
    }
    std::cout << "fault test, " << kind.name << ": " << faults
              << " faults injected and recovered from" << std::endl;
    // A failed close of a descriptor that was only read from loses nothing
    // and is not reported; a short transfer is taken up by the next one.
    if (kind.shortBytes < 0 && kind.call != OrvIo::Call::Close) {
        EXPECT_GT(faults, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Calls, FailedCallTest, ::testing::ValuesIn(KINDS),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 c = c == ' ' ? '_' : c;
                             }
                             return name;
                         });

TEST_F(FaultTest, CommitSyncsTheLogOnlyWhenAskedAndAnUnknownSettingStopsTheStart) {
    orvtest::TestDatabase db;
    ProcessResult refused = run(db, {ORV_ORVSTART}, {{"ORV_LOG_SYNC", "always"}});
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_NE(std::string::npos, refused.err.find("ORV_LOG_SYNC is 'always'")) << refused.err;
    EXPECT_NE(std::string::npos, refused.err.find("SQLSTATE=LOG12")) << refused.err;
    for (int set = 0; set < 3; ++set) {
        EXPECT_EQ(-1, db.segmentId(set));
    }
    prepare(db);
    ASSERT_FALSE(HasFailure());
    // Syncs of one committed transaction of one insert, and whether a
    // failing sync fails the commit.
    auto syncs = [&](OrvLogManager::SyncMode mode, bool fail) {
        return orvtest::runInChild([&]() -> int {
            OrvTransactionManager::resetForProcess();
            lookUpCrashTables();
            OrvLogManager::setSyncMode(mode);
            OrvIo::Fault fault;
            fault.call = OrvIo::Call::Sync;
            fault.nth = fail ? 1 : 0xFFFFFFFFu;
            OrvIo::armFault(fault);
            OrvClientTransaction::begin();
            const std::string text = rowText(5000, 1);
            OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
            TupleId tid;
            OrvRecordManager::getInstance()->insert(record, PLAIN_TABLE, tid);
            try {
                OrvClientTransaction::commit();
            } catch (const OrvException& e) {
                return e.getErrorCode() == ORV_LOGM_FILE_SYNC_FAILED ? 100 : 101;
            }
            const int count = static_cast<int>(OrvIo::callCount(OrvIo::Call::Sync));
            OrvSystem::stopAllManagers();
            return count;
        });
    };
    EXPECT_EQ(0, syncs(OrvLogManager::SyncMode::None, false));
    // The record and the index COMMIT entries, and the log directory once.
    EXPECT_EQ(3, syncs(OrvLogManager::SyncMode::Commit, false));
    EXPECT_EQ(100, syncs(OrvLogManager::SyncMode::Commit, true));
    EXPECT_EQ(0, run(db, {ORV_ORVSTOP, "--force"}).exitCode);
}
