// Recovery after a crash: a child process works in committed and unfinished
// transactions (records moving between pages, a table dropped) and is killed
// with SIGKILL, by itself at a chosen step or by this process at a random
// moment; then the shared memory is thrown away without writing the pool
// (the pages that reached their files are all that is left, as after a
// crash) and the engine is started again. Recovery must bring back every
// committed change and none of the others, leave sound pages and
// inventories, and a second recovery, with the pool kept or lost again,
// changes nothing more.
#include "OrvEngineTest.h"
#include "RecordUndoSupport.h"

#include "OrvLog.h"
#include "OrvTestSupport.h"
#include "log/OrvRecovery.h"

#include <chrono>
#include <csignal>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace recordtest;

constexpr TableId TABLE = 21;
constexpr TableId DROPPED = 22;

using Model = std::map<std::pair<PageId, SlotId>, std::string>;

std::pair<PageId, SlotId> key(const TupleId& tid) {
    return {tid.page, tid.slot};
}

// The records of the table by primary tuple id, read from the slots; a
// secondary record that no placeholder names, or a placeholder naming no
// secondary record, is reported.
Model liveRecords(SegmentId segment) {
    const auto state = slotState(segment);
    Model live;
    std::set<std::pair<PageId, SlotId>> named;
    for (const auto& [where, content] : state) {
        if (content.compare(0, 2, "P:") == 0) {
            live[where] = content.substr(2);
        } else if (content.compare(0, 2, "->") == 0) {
            unsigned page = 0;
            unsigned slot = 0;
            std::sscanf(content.c_str() + 2, "%u,%u", &page, &slot);
            const auto target =
                std::make_pair(static_cast<PageId>(page), static_cast<SlotId>(slot));
            const auto found = state.find(target);
            if (found == state.end() || found->second.compare(0, 2, "S:") != 0) {
                ADD_FAILURE() << "placeholder " << where.first << "," << int(where.second)
                              << " names no secondary record";
                continue;
            }
            named.insert(target);
            live[where] = found->second.substr(2);
        }
    }
    for (const auto& [where, content] : state) {
        if (content.compare(0, 2, "S:") == 0 && named.count(where) == 0) {
            ADD_FAILURE() << "secondary record " << where.first << "," << int(where.second)
                          << " belongs to no tuple";
        }
    }
    return live;
}

// A line to the parent: one write, so that it is whole or missing.
void tell(int fd, const std::string& line) {
    const std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        _exit(20);
    }
}

std::string text(int length, int seed) {
    return bytes(static_cast<std::size_t>(length), seed);
}

struct Round {
    unsigned seed;
    // Step at which the child kills itself; 0: this process kills it after
    // `delayMs`.
    int killAt;
    int delayMs;
    // The child drops DROPPED in its last transaction, which does not end.
    bool dropUnfinished;
    // The child drops DROPPED and commits before it is killed.
    bool dropCommitted;
};

// The child's work: transactions of random inserts, replaces (records move
// to other pages and back) and removes until it is killed. Every change is
// reported after it returned; "C?" before a commit, "C!" after.
int childWork(const Round& round, Model working, int fd) {
    OrvTransactionManager::resetForProcess();
    std::mt19937 random(round.seed);
    RM* rm = RM::getInstance();
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    int step = 0;
    int seed = static_cast<int>(round.seed % 100000) * 1000;
    bool dropping = false;
    try {
        for (int transaction = 0;; ++transaction) {
            OrvClientTransaction::begin();
            tell(fd, "B");
            if ((round.dropUnfinished || round.dropCommitted) && transaction == 2) {
                rm->dropTable(DROPPED);
                tell(fd, "X");
                dropping = true;
            }
            const int ops = 1 + static_cast<int>(random() % 12);
            for (int k = 0; k < ops || (dropping && round.dropUnfinished); ++k) {
                if (++step == round.killAt) {
                    raise(SIGKILL);
                }
                const int op = static_cast<int>(random() % 10);
                const int shape = static_cast<int>(random() % 10);
                const int length = 1 + static_cast<int>(random() % (shape < 5   ? 300
                                                                    : shape < 9 ? 2000
                                                                                : 4055));
                ++seed;
                if (working.size() < 20 || op < 3) {
                    OrvRecord record(text(length, seed).data(), static_cast<Uint16>(length));
                    TupleId tid;
                    rm->insert(record, TABLE, tid);
                    working[key(tid)] = text(length, seed);
                    tell(fd, "I " + std::to_string(tid.page) + " " + std::to_string(tid.slot) +
                                 " " + std::to_string(length) + " " + std::to_string(seed));
                } else {
                    auto it = working.begin();
                    std::advance(it, static_cast<long>(random() % working.size()));
                    const TupleId tid(it->first.first, it->first.second);
                    const std::string where =
                        std::to_string(tid.page) + " " + std::to_string(tid.slot);
                    if (op < 8) {
                        OrvRecord record(text(length, seed).data(), static_cast<Uint16>(length));
                        rm->replace(TABLE, tid, record);
                        it->second = text(length, seed);
                        tell(fd, "U " + where + " " + std::to_string(length) + " " +
                                     std::to_string(seed));
                    } else {
                        rm->remove(TABLE, tid);
                        working.erase(it);
                        tell(fd, "D " + where);
                    }
                }
                if (random() % 25 == 0) {
                    // Some pages reach their files, uncommitted changes too.
                    bm->flushAll();
                    bm->openSegment(TABLE);
                }
            }
            if (dropping && round.dropUnfinished) {
                continue;
            }
            tell(fd, "C?");
            OrvClientTransaction::commit();
            tell(fd, "C!");
        }
    } catch (const OrvException& e) {
        std::fprintf(stderr, "child: %s at step %d\n", e.what(), step);
        for (const std::string& problem : segmentProblems(TABLE)) {
            std::fprintf(stderr, "  %s\n", problem.c_str());
        }
        return 10;
    }
}

class RecordRecoveryTest : public orvtest::EngineTest {
protected:
    void recover() {
        OrvClientTransaction::begin();
        RM::getInstance()->recover();
        OrvClientTransaction::commit();
    }
};

TEST_F(RecordRecoveryTest, CommittedChangesComeBackAndUnfinishedOnesDoNot) {
    RM* rm = RM::getInstance();
    rm->createTable(TABLE);
    rm->createTable(DROPPED);
    Model dropped;
    for (int i = 0; i < 60; ++i) {
        const std::string content = text(100 + 53 * i, 7000 + i);
        OrvRecord record(content.data(), static_cast<Uint16>(content.size()));
        TupleId tid;
        rm->insert(record, DROPPED, tid);
        dropped[key(tid)] = content;
    }
    OrvClientTransaction::commit();
    bool droppedExists = true;

    const std::vector<Round> rounds = {
        {11, 60, 0, false, false},  {12, 0, 30, false, false}, {13, 140, 0, true, false},
        {14, 0, 60, false, false},  {15, 25, 0, false, false}, {16, 0, 15, false, false},
        {17, 200, 0, false, false}, {18, 90, 0, false, true},
    };
    Model committed;
    int compensations = 0;
    for (std::size_t r = 0; r < rounds.size(); ++r) {
        const Round& round = rounds[r];
        SCOPED_TRACE("round " + std::to_string(r));
        OrvSystem::stopAllManagers();
        OrvTransactionManager::resetForProcess();
        int channel[2];
        ASSERT_EQ(0, pipe(channel));
        const int pid = orvtest::startChild([&]() {
            close(channel[0]);
            return childWork(round, committed, channel[1]);
        });
        close(channel[1]);
        if (round.killAt == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(round.delayMs));
            kill(pid, SIGKILL);
        }
        EXPECT_EQ(128 + SIGKILL, orvtest::waitChild(pid));
        std::string report;
        char chunk[4096];
        for (ssize_t n; (n = read(channel[0], chunk, sizeof(chunk))) > 0;) {
            report.append(chunk, static_cast<std::size_t>(n));
        }
        close(channel[0]);

        // What is committed for sure, and what the last transaction would
        // add when its commit reached the log before the kill.
        Model pending = committed;
        Model maybe;
        bool dropPending = false;
        bool commitAsked = false;
        bool maybeDrops = false;
        std::istringstream lines(report);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            std::string what;
            words >> what;
            unsigned page = 0;
            unsigned slot = 0;
            int length = 0;
            int seed = 0;
            if (what == "B") {
                pending = committed;
                dropPending = false;
                commitAsked = false;
            } else if (what == "X") {
                dropPending = true;
            } else if (what == "C?") {
                commitAsked = true;
            } else if (what == "C!") {
                committed = pending;
                droppedExists = droppedExists && !dropPending;
                commitAsked = false;
            } else if (what == "I" || what == "U") {
                words >> page >> slot >> length >> seed;
                pending[{static_cast<PageId>(page), static_cast<SlotId>(slot)}] =
                    text(length, seed);
            } else if (what == "D") {
                words >> page >> slot;
                pending.erase({static_cast<PageId>(page), static_cast<SlotId>(slot)});
            }
        }
        if (commitAsked) {
            maybe = pending;
            maybeDrops = dropPending;
        }

        crashAndRestart();
        recover();
        OrvBufferManager::getInstance()->openSegment(TABLE);
        const Model live = liveRecords(TABLE);
        if (commitAsked && live == maybe) {
            committed = maybe;
            droppedExists = droppedExists && !maybeDrops;
        }
        ASSERT_EQ(committed.size(), live.size());
        ASSERT_TRUE(committed == live) << "the table is not what was committed";
        std::vector<std::string> problems = segmentProblems(TABLE);
        EXPECT_TRUE(problems.empty()) << problems.front();
        if (droppedExists) {
            EXPECT_EQ(dropped, liveRecords(DROPPED));
            problems = segmentProblems(DROPPED);
            EXPECT_TRUE(problems.empty()) << problems.front();
        } else {
            EXPECT_EQ(ORV_FM_FILE_NOT_FOUND,
                      codeOf([] { OrvBufferManager::getInstance()->openSegment(DROPPED); }));
        }
        OrvClientTransaction::commit();
        {
            // Every transaction the child left open was ended for good, by
            // compensations under its own id (none under this process's).
            OrvRecovery check;
            ASSERT_TRUE(check.recoverDb(RECORD));
            compensations = 0;
            EXPECT_EQ(0, check.getRecordUndoListLength());
            const OrvRecordLogEntry* entries = check.getRecordRedoList();
            for (int i = 0; i < check.getRecordRedoListLength(); ++i) {
                const int type = entries[i].getTransactionType();
                if (type == COMPENSATE_INSERT || type == COMPENSATE_DELETE ||
                    type == COMPENSATE_UPDATE) {
                    ASSERT_NE(getpid(), entries[i].getTransactionID().getProcessID());
                    ++compensations;
                }
            }
        }

        // Again with the pool as it is: not a byte changes.
        const auto images = pageImages(TABLE);
        recover();
        EXPECT_EQ(images, pageImages(TABLE));
        OrvClientTransaction::commit();
        // Again after losing the pool, written or not.
        if (r % 2 == 0) {
            OrvBufferManager::getInstance()->flushAll();
        }
        crashAndRestart();
        recover();
        EXPECT_TRUE(committed == liveRecords(TABLE)) << "a second recovery changed the table";
        problems = segmentProblems(TABLE);
        EXPECT_TRUE(problems.empty()) << problems.front();
        OrvClientTransaction::commit();
    }
    EXPECT_FALSE(droppedExists) << "the last round's committed drop did not happen";
    EXPECT_LT(0, compensations) << "no unfinished transaction was undone";
}

// Pages that never reached their file while the file grew past them (a
// later page was written) read as all zero bytes: recovery takes them for
// pages that are not there, inventory page included, and makes them anew.
TEST_F(RecordRecoveryTest, AllZeroPagesInTheFileAreMadeAnew) {
    RM* rm = RM::getInstance();
    rm->createTable(TABLE);
    OrvClientTransaction::commit();
    Model committed;
    for (int i = 0; i < 3; ++i) {
        const std::string content = text(4055, i);
        OrvRecord record(content.data(), static_cast<Uint16>(content.size()));
        TupleId tid;
        rm->insert(record, TABLE, tid);
        committed[key(tid)] = content;
    }
    OrvClientTransaction::commit();
    ASSERT_EQ(1u, committed.count({3, 0}));

    crashAndRestart();
    // Nothing was written; the file now reaches over pages 0 to 3, zeros.
    const std::string file = db.file("Seg" + std::to_string(TABLE) + ".orv");
    ASSERT_EQ(0, truncate(file.c_str(), 4 * ORV_PAGE_SIZE));
    recover();
    OrvBufferManager::getInstance()->openSegment(TABLE);
    EXPECT_TRUE(committed == liveRecords(TABLE));
    const std::vector<std::string> problems = segmentProblems(TABLE);
    EXPECT_TRUE(problems.empty()) << problems.front();
    OrvClientTransaction::commit();
}

} // namespace
