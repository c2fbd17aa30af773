// The shared memory sets belong to one database directory and its owner:
// directories whose keys collide, other users, a start that fails half-way and
// latches left held by dead processes. Real processes throughout; this
// process never holds a manager, so every child starts fresh.
#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"
#include "OrvTestSync.h"

#include "OrvBuffer.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvSystem.h"
#include "file/OrvFileManager.h"
#include "support/OrvLatch.h"
#include "support/OrvMemoryManager.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <memory>
#include <pwd.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using orvtest::ChildProcess;
using orvtest::Pipe;
using orvtest::ProcessResult;
using orvtest::runInChild;
using orvtest::runProgram;
using orvtest::TempDir;
using orvtest::TestDatabase;
typedef OrvMemoryManager MM;

namespace {

const char* const startedLine = "\nThe system was started successfully. SQLSTATE=00000\n";

ProcessResult runIn(const std::string& directory, const std::vector<std::string>& argv) {
    return runProgram(argv, {{"ORV_DATABASE_PATH", directory}}, directory);
}

// The code of the OrvException that f throws; ORV_SUCCESS when none.
OrvErrorCode codeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const OrvException& e) {
        return e.getErrorCode();
    }
    return ORV_SUCCESS;
}

std::string resolved(const std::string& path) {
    char* result = realpath(path.c_str(), nullptr);
    std::string text = result != nullptr ? result : path;
    std::free(result);
    return text;
}

// Everything of a database another process could change: the ids and the
// whole bytes of its sets, the values of their latches, its files.
struct DatabaseState {
    std::vector<int> ids;
    std::vector<std::string> segments;
    std::vector<std::vector<int>> latchValues;
    std::map<std::string, std::string> files;

    bool operator==(const DatabaseState& other) const {
        return ids == other.ids && segments == other.segments && latchValues == other.latchValues &&
               files == other.files;
    }
};

DatabaseState stateOf(const TestDatabase& db, const std::vector<std::string>& fileNames) {
    DatabaseState state;
    for (int set = 0; set < MM::NUMBER_OF_SETS; ++set) {
        const int id = db.segmentId(set);
        state.ids.push_back(id);
        std::string bytes;
        std::vector<int> values;
        if (id >= 0) {
            struct shmid_ds info;
            const void* segment = shmat(id, nullptr, SHM_RDONLY);
            if (shmctl(id, IPC_STAT, &info) == 0 && segment != reinterpret_cast<void*>(-1)) {
                bytes.assign(static_cast<const char*>(segment), info.shm_segsz);
                int latchId = -1;
                std::memcpy(&latchId, static_cast<const char*>(segment) + MM::DATA_OFFSET,
                            sizeof(latchId));
                for (int n = 0; n < ORV_LATCH_NUMBER_OF_SEMAPHORES; ++n) {
                    values.push_back(semctl(latchId, n, GETVAL));
                }
                shmdt(segment);
            }
        }
        state.segments.push_back(bytes);
        state.latchValues.push_back(values);
    }
    for (const std::string& name : fileNames) {
        struct stat status;
        const std::string path = db.file(name);
        state.files[name] = stat(path.c_str(), &status) == 0 ? orvtest::readFile(path) : "-";
    }
    return state;
}

// Two directories on one device whose inode numbers agree in their low 16
// bits, so ftok gives them the same keys, and under whose keys no set exists.
// Made by creating directories until two collide; empty strings when the
// file system gives no such pair within the bound.
std::pair<std::string, std::string> collidingDirectories(const TempDir& parent) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::map<unsigned, std::string> byLowBits;
    for (int i = 0; i < 100000 && std::chrono::steady_clock::now() < deadline; ++i) {
        const std::string path = parent.file("d" + std::to_string(i));
        if (mkdir(path.c_str(), 0700) != 0) {
            break;
        }
        struct stat status;
        if (stat(path.c_str(), &status) != 0) {
            break;
        }
        const unsigned low = static_cast<unsigned>(status.st_ino & 0xFFFF);
        auto found = byLowBits.find(low);
        if (found == byLowBits.end()) {
            byLowBits[low] = path;
            continue;
        }
        bool free = true;
        for (int set = 0; set < MM::NUMBER_OF_SETS; ++set) {
            const key_t key = ftok(path.c_str(), set);
            free = free && key != static_cast<key_t>(-1) && key != IPC_PRIVATE &&
                   key == ftok(found->second.c_str(), set) && shmget(key, 0, 0) < 0;
        }
        if (free) {
            return {found->second, path};
        }
    }
    return {};
}

} // namespace

// ---- directories whose keys collide -------------------------------------------

TEST(CollidingKeysTest, SecondDatabaseRefusesTheFirstOnesSetsAndNothingChanges) {
    TempDir parent("orv-collide");
    const auto pair = collidingDirectories(parent);
    if (pair.first.empty()) {
        GTEST_SKIP() << "no two directories with colliding keys within the bound on this file "
                        "system";
    }
    TestDatabase first(pair.first);
    TestDatabase second(pair.second);
    ASSERT_EQ(first.key(0), second.key(0));

    ProcessResult start = runIn(first.path(), {ORV_ORVSTART});
    ASSERT_EQ(0, start.exitCode) << start.err;
    const std::vector<std::string> files = {"Seg1.orv", "1.log"};
    const DatabaseState before = stateOf(first, files);
    const DatabaseState secondBefore = stateOf(second, files);

    struct stat a, b;
    ASSERT_EQ(0, stat(first.path().c_str(), &a));
    ASSERT_EQ(0, stat(second.path().c_str(), &b));
    const std::string expected = "belongs to the database directory '" + resolved(first.path()) +
                                 "' (device " + std::to_string(a.st_dev) + ", inode " +
                                 std::to_string(a.st_ino) + "), not to the database directory '" +
                                 resolved(second.path()) + "' (device " + std::to_string(b.st_dev) +
                                 ", inode " + std::to_string(b.st_ino) + ")";

    // The second start says whose sets are there; so does a forced stop.
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{ORV_ORVSTART}, std::vector<std::string>{ORV_ORVSTOP},
          std::vector<std::string>{ORV_ORVSTOP, "--force"}}) {
        SCOPED_TRACE(argv.back());
        ProcessResult refused = runIn(second.path(), argv);
        EXPECT_EQ(1, refused.exitCode);
        EXPECT_NE(std::string::npos, refused.err.find(expected)) << refused.err;
        EXPECT_NE(std::string::npos, refused.err.find("SQLSTATE=MM011")) << refused.err;
    }
    // A process of the second database cannot attach to any of them.
    EXPECT_EQ(0, runInChild([&] {
                  second.activate();
                  int failures = 0;
                  failures +=
                      codeOf([] { OrvLockManager::getInstance(); }) != ORV_MM_SHM_FOREIGN_SET;
                  failures +=
                      codeOf([] { OrvBufferManager::getInstance(); }) != ORV_MM_SHM_FOREIGN_SET;
                  void* address = nullptr;
                  failures +=
                      codeOf([&] {
                          MM::getMemoryManager()->connectToMemorySet(MM::LogFileHandling, address);
                      }) != ORV_MM_SHM_FOREIGN_SET;
                  return failures;
              }));

    EXPECT_TRUE(before == stateOf(first, files)) << "the first database changed";
    EXPECT_TRUE(secondBefore == stateOf(second, files)) << "the second database changed";
    ProcessResult stop = runIn(first.path(), {ORV_ORVSTOP});
    EXPECT_EQ(0, stop.exitCode) << stop.err;
    for (int set = 0; set < MM::NUMBER_OF_SETS; ++set) {
        EXPECT_EQ(-1, first.segmentId(set));
    }
}

// ---- another user ----------------------------------------------------------------

namespace {

// A user and group id that name nobody on this machine.
uid_t unusedId() {
    for (uid_t id = 47000; id < 48000; ++id) {
        if (getpwuid(id) == nullptr && getgrgid(id) == nullptr) {
            return id;
        }
    }
    return 0;
}

bool becomeUser(uid_t id) {
    return setgroups(0, nullptr) == 0 && setgid(id) == 0 && setuid(id) == 0;
}

} // namespace

class ForeignUserTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to act as a second, unprivileged user";
        }
        other = unusedId();
        ASSERT_NE(0u, other) << "no unused user id";
        // Searchable for everybody, so that only the modes of the files and
        // the sets keep the other user out.
        ASSERT_EQ(0, chmod(db.path().c_str(), 0755));
    }

    TestDatabase db;
    uid_t other = 0;
};

TEST_F(ForeignUserTest, CannotStartAttachToOrReadAnotherUsersDatabase) {
    ASSERT_EQ(0, runIn(db.path(), {ORV_ORVSTART}).exitCode);
    ASSERT_EQ(0, runInChild([] {
                  OrvFileManager* fm = OrvFileManager::getInstance();
                  std::vector<char> page(ORV_PAGE_SIZE, 'r');
                  return fm->create(7) != ORV_SUCCESS || fm->open(7) != ORV_SUCCESS ||
                         fm->write(7, 0, page.data()) != ORV_SUCCESS;
              }));
    const std::string segmentFile = db.file("Seg7.orv");
    struct stat status;
    ASSERT_EQ(0, stat(segmentFile.c_str(), &status));
    EXPECT_EQ(0u, status.st_mode & 0007u) << "a segment file is readable for others";
    const std::vector<int> ids = {db.segmentId(0), db.segmentId(1), db.segmentId(2)};

    const uid_t id = other;
    EXPECT_EQ(0, runInChild([&] {
                  if (!becomeUser(id)) {
                      return 100;
                  }
                  int failures = 0;
                  // Starting it: refused as not the owner (not "exists").
                  try {
                      OrvSystem::start();
                      failures |= 1;
                  } catch (const OrvException& e) {
                      failures |= e.getErrorCode() == ORV_MM_NOT_DIRECTORY_OWNER ? 0 : 2;
                  }
                  // Attaching: denied, and said so.
                  failures |=
                      codeOf([] { OrvLockManager::getInstance(); }) == ORV_MM_SHM_ACCESS_DENIED ? 0
                                                                                                : 4;
                  // Reading its tables.
                  const int fd = open(segmentFile.c_str(), O_RDONLY);
                  failures |= fd < 0 && errno == EACCES ? 0 : 8;
                  return failures;
              }));
    EXPECT_EQ(ids, (std::vector<int>{db.segmentId(0), db.segmentId(1), db.segmentId(2)}));
    ProcessResult stop = runIn(db.path(), {ORV_ORVSTOP});
    EXPECT_EQ(0, stop.exitCode) << stop.err;
}

// A set planted under the database's key by another user (as an engine
// without the owner check would have made it) is refused, not used.
TEST_F(ForeignUserTest, ASetPlantedByAnotherUserIsRefused) {
    const uid_t id = other;
    const key_t key = db.key(MM::LockList);
    ASSERT_EQ(0, runInChild([&] {
                  if (!becomeUser(id)) {
                      return 100;
                  }
                  const std::size_t size = MM::getMemoryManager()->getSetSize(MM::LockList);
                  return shmget(key, size + MM::SEGMENT_OVERHEAD, IPC_CREAT | IPC_EXCL | 0666) >= 0
                             ? 0
                             : 1;
              }));
    const int planted = db.segmentId(MM::LockList);
    ASSERT_GE(planted, 0);

    ProcessResult start = runIn(db.path(), {ORV_ORVSTART});
    EXPECT_EQ(1, start.exitCode);
    EXPECT_NE(std::string::npos, start.err.find("was created by user " + std::to_string(id) +
                                                ", but the database directory '" +
                                                resolved(db.path()) + "' belongs to user 0."))
        << start.err;
    EXPECT_NE(std::string::npos, start.err.find("SQLSTATE=MM012")) << start.err;
    EXPECT_EQ(0, runInChild([] {
                  return codeOf([] { OrvLockManager::getInstance(); }) == ORV_MM_SHM_FOREIGN_OWNER
                             ? 0
                             : 1;
              }));
    // Nothing else was made, and the planted set is left to whoever checks it.
    EXPECT_EQ(planted, db.segmentId(MM::LockList));
    EXPECT_EQ(-1, db.segmentId(MM::BufferPool));
    EXPECT_EQ(-1, db.segmentId(MM::LogFileHandling));
}

// ---- a start that fails half-way ---------------------------------------------

TEST(FailedStartTest, FailureInTheThirdStepRemovesTheFirstTwoSetsAndTheNextStartWorks) {
    TestDatabase db;
    ASSERT_EQ(0, runInChild([&] {
                  if (chdir(db.path().c_str()) != 0) {
                      return 100;
                  }
                  static std::vector<int> latches;
                  OrvSystem::startStepHook = [](int step) {
                      if (step != 3) {
                          return;
                      }
                      // The latches of the two sets made so far.
                      for (int set : {MM::LockList, MM::BufferPool}) {
                          const int id = shmget(ftok(std::getenv("ORV_DATABASE_PATH"), set), 0, 0);
                          const void* segment = shmat(id, nullptr, SHM_RDONLY);
                          int latch = -1;
                          std::memcpy(&latch, static_cast<const char*>(segment) + MM::DATA_OFFSET,
                                      sizeof(latch));
                          shmdt(segment);
                          latches.push_back(latch);
                      }
                      throw OrvException(ORV_SYSTEM_START_FAIL, __FILE__, __LINE__, "injected");
                  };
                  int failures =
                      codeOf([] { OrvSystem::start(); }) == ORV_SYSTEM_START_FAIL ? 0 : 1;
                  failures |= latches.size() == 2 ? 0 : 2;
                  for (int set = 0; set < MM::NUMBER_OF_SETS; ++set) {
                      failures |= db.segmentId(set) == -1 ? 0 : 4;
                  }
                  for (int latch : latches) {
                      failures |= orvtest::semaphoreSetExists(latch) ? 8 : 0;
                  }
                  return failures;
              }));
    ProcessResult start = runIn(db.path(), {ORV_ORVSTART});
    EXPECT_EQ(0, start.exitCode) << start.err;
    EXPECT_EQ(startedLine, start.out);
    EXPECT_EQ(0, runIn(db.path(), {ORV_ORVSTOP}).exitCode);
}

// ---- latches left held by dead processes ------------------------------------------

TEST(DeadHolderTest, OnlyTheExclusiveHoldOfADeadProcessIsBroken) {
    TestDatabase db;
    MM* mm = MM::getMemoryManager();
    mm->createMemorySet(MM::LogFileHandling);
    void* address = nullptr;
    mm->connectToMemorySet(MM::LogFileHandling, address);
    OrvLatch* latch = static_cast<OrvLatch*>(address);
    ASSERT_EQ(ORV_SUCCESS, latch->initialize());
    db.registerSemaphore(latch->semaphoreId);

    Pipe held;
    ChildProcess holder([&] {
        if (latch->get(OrvLatch::Exclusive) != ORV_SUCCESS) {
            return 1;
        }
        held.send();
        pause();
        return 0;
    });
    ASSERT_TRUE(held.receive());
    bool broken = true;
    EXPECT_EQ(ORV_SUCCESS, latch->breakDeadExclusiveHold(broken));
    EXPECT_FALSE(broken) << "a live holder keeps its latch";
    bool exclusive = false;
    EXPECT_EQ(ORV_SUCCESS, latch->isHeldExclusive(exclusive));
    EXPECT_TRUE(exclusive);

    holder.kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, holder.wait());
    EXPECT_EQ(ORV_SUCCESS, latch->breakDeadExclusiveHold(broken));
    EXPECT_TRUE(broken);
    // Usable again in both modes, and nothing is left to break.
    EXPECT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Shared));
    EXPECT_EQ(ORV_SUCCESS, latch->release());
    EXPECT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Exclusive));
    EXPECT_EQ(ORV_SUCCESS, latch->release());
    EXPECT_EQ(ORV_SUCCESS, latch->breakDeadExclusiveHold(broken));
    EXPECT_FALSE(broken);
    mm->disconnectFromMemorySet(MM::LogFileHandling);
}

// Every set is removed by one operation; a process that died inside any of
// their latches does not keep even a plain stop from removing the engine.
TEST(DeadHolderTest, PlainStopRemovesSetsWhoseLatchADeadProcessHeld) {
    for (int set : {MM::LockList, MM::BufferPool, MM::LogFileHandling}) {
        SCOPED_TRACE(set);
        TestDatabase db;
        ASSERT_EQ(0, runIn(db.path(), {ORV_ORVSTART}).exitCode);
        Pipe held;
        ChildProcess holder([&] {
            void* address = nullptr;
            MM::getMemoryManager()->connectToMemorySet(static_cast<MM::MemorySet>(set), address);
            if (static_cast<OrvLatch*>(address)->get(OrvLatch::Exclusive) != ORV_SUCCESS) {
                return 1;
            }
            held.send();
            pause();
            return 0;
        });
        ASSERT_TRUE(held.receive());
        holder.kill(SIGKILL);
        EXPECT_EQ(128 + SIGKILL, holder.wait());

        ProcessResult stop = runIn(db.path(), {ORV_ORVSTOP});
        EXPECT_EQ(0, stop.exitCode) << stop.err;
        for (int s = 0; s < MM::NUMBER_OF_SETS; ++s) {
            EXPECT_EQ(-1, db.segmentId(s));
        }
    }
}

// ---- the run's leak check ----------------------------------------------------------

// The check fails on the sets of a test directory that are left, whatever else
// exists on the machine, and passes once they are gone.
TEST(LeakCheckTest, FailsOnTheSetsOfATestDirectoryThatAreLeft) {
    TempDir scratch("orv-leak");
    const std::string keys = scratch.file("keys.txt");
    TestDatabase db;
    {
        // The keys as the fixture records them, in a file of this test's own.
        std::string lines;
        for (int set = 0; set < MM::NUMBER_OF_SETS; ++set) {
            char key[16];
            std::snprintf(key, sizeof(key), "0x%08x", static_cast<unsigned>(db.key(set)));
            lines += std::string(key) + " " + resolved(db.path()) + "\n";
        }
        orvtest::writeFile(keys, lines);
    }
    const std::string checker = std::string(ORV_TEST_BINARY_DIR) + "/orv_ipc_check";

    ProcessResult clean = runProgram({checker, keys});
    EXPECT_EQ(0, clean.exitCode) << clean.out;

    ASSERT_EQ(0, runIn(db.path(), {ORV_ORVSTART}).exitCode);
    ProcessResult leaked = runProgram({checker, keys});
    EXPECT_EQ(1, leaked.exitCode) << leaked.out;
    for (int set = 0; set < MM::NUMBER_OF_SETS; ++set) {
        EXPECT_NE(std::string::npos,
                  leaked.out.find("LEFT BEHIND: m " + std::to_string(db.segmentId(set)) + " "))
            << leaked.out;
    }

    ASSERT_EQ(0, runIn(db.path(), {ORV_ORVSTOP}).exitCode);
    ProcessResult again = runProgram({checker, keys});
    EXPECT_EQ(0, again.exitCode) << again.out;
}
