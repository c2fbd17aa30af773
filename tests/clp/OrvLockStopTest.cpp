// The stop program against the lock list: a held lock makes it refuse, and a
// process that died holding locks leaves them behind for a forced stop.
#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"
#include "OrvTestSync.h"

#include "OrvBuffer.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvSystem.h"
#include "OrvTransaction.h"
#include "lock/OrvLockList.h"
#include "support/OrvLatch.h"
#include "support/OrvMemoryManager.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/shm.h>

using orvtest::ChildProcess;
using orvtest::Pipe;
using orvtest::ProcessResult;
using orvtest::runProgram;

namespace {

const char* const inUseLine = "The system could not be stopped because it is currently being "
                              "used. SQLSTATE=SY001\n";
const char* const stoppedLine = "\nThe system was stopped successfully. SQLSTATE=00000\n";

class LockStopTest : public ::testing::Test {
protected:
    ProcessResult run(const std::vector<std::string>& argv) {
        return runProgram(argv, {{"ORV_DATABASE_PATH", db.path()}}, db.path());
    }
    int existingSets() const {
        int n = 0;
        for (int set = 0; set < OrvMemoryManager::NUMBER_OF_SETS; ++set) {
            n += db.segmentId(set) >= 0 ? 1 : 0;
        }
        return n;
    }
    // Entries in use, read from the list directly; -1 when it is gone.
    int lockEntries() const {
        const int shmId = db.segmentId(OrvMemoryManager::LockList);
        void* segment = shmId < 0 ? reinterpret_cast<void*>(-1) : shmat(shmId, nullptr, SHM_RDONLY);
        if (segment == reinterpret_cast<void*>(-1)) {
            return -1;
        }
        const auto* header = reinterpret_cast<const OrvLockManager::Header*>(
            static_cast<const char*>(segment) + OrvMemoryManager::DATA_OFFSET);
        const int count = static_cast<int>(header->countEntry);
        shmdt(segment);
        return count;
    }
    // A forked engine process that locks a slot and a segment, then tells.
    static std::function<int()> locker(Pipe& ready, Pipe& end) {
        return [&ready, &end] {
            OrvTransactionManager::resetForProcess();
            OrvLockManager* lm = OrvLockManager::getInstance();
            lm->requestSlot(3, 1, 1, OrvLockManager::ExclusiveLock);
            lm->requestSegment(4, OrvLockManager::SharedLock);
            ready.send();
            const bool ended = end.receive(60000);
            OrvLockManager::deleteInstance();
            return ended ? 0 : 1;
        };
    }

    orvtest::TestDatabase db;
};

} // namespace

TEST_F(LockStopTest, HeldLockMakesStopRefuseAndDestroyNothing) {
    ProcessResult start = run({ORV_ORVSTART});
    ASSERT_EQ(0, start.exitCode) << start.err;
    const int sets = existingSets();
    EXPECT_EQ(0, lockEntries());

    Pipe ready, end;
    ChildProcess holder(locker(ready, end));
    ASSERT_TRUE(ready.receive());
    EXPECT_EQ(4, lockEntries());

    ProcessResult refused = run({ORV_ORVSTOP});
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_EQ("\n", refused.out);
    EXPECT_EQ(0u, refused.err.find(std::string("\nException aufgetreten: \n") + inUseLine))
        << refused.err;
    EXPECT_EQ(sets, existingSets());
    EXPECT_EQ(4, lockEntries());

    // Once the process has ended (releasing its locks) the stop goes through.
    end.send();
    EXPECT_EQ(0, holder.wait());
    EXPECT_EQ(0, lockEntries());
    ProcessResult stop = run({ORV_ORVSTOP});
    EXPECT_EQ(0, stop.exitCode) << stop.err;
    EXPECT_EQ(stoppedLine, stop.out);
    EXPECT_EQ(0, existingSets());
}

TEST_F(LockStopTest, KilledHolderIsTakenOverByAPlainStopButALiveOneRefusesIt) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    const int sets = existingSets();
    Pipe ready, end, otherReady, otherEnd;
    ChildProcess holder(locker(ready, end));
    ASSERT_TRUE(ready.receive());
    // Killed while it waits on the pipe, outside the list's latch.
    holder.kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, holder.wait());
    EXPECT_EQ(4, lockEntries());

    // A live holder beside it still makes the stop refuse; the dead one's
    // entries are gone by then.
    ChildProcess live([&] {
        OrvTransactionManager::resetForProcess();
        OrvLockManager::getInstance()->requestSlot(9, 1, 1, OrvLockManager::SharedLock);
        otherReady.send();
        const bool ended = otherEnd.receive(60000);
        OrvLockManager::deleteInstance();
        return ended ? 0 : 1;
    });
    ASSERT_TRUE(otherReady.receive());
    ProcessResult refused = run({ORV_ORVSTOP});
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_NE(std::string::npos, refused.err.find(inUseLine)) << refused.err;
    EXPECT_EQ(sets, existingSets());
    EXPECT_EQ(3, lockEntries());
    otherEnd.send();
    EXPECT_EQ(0, live.wait());

    holder.wait();
    ProcessResult stop = run({ORV_ORVSTOP});
    EXPECT_EQ(0, stop.exitCode) << stop.err;
    EXPECT_EQ(stoppedLine, stop.out);
    EXPECT_EQ(0, existingSets());
    EXPECT_EQ(-1, lockEntries());
}

TEST_F(LockStopTest, ForcedStopAndStartBringBackAnEngineWhoseLatchADeadProcessHeld) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    // Dies while it holds a lock and the pool's latch, as in the middle of a
    // change.
    ASSERT_EQ(
        0, orvtest::runInChild([] {
            OrvLockManager::getInstance()->requestSlot(3, 1, 2, OrvLockManager::ExclusiveLock);
            void* data = nullptr;
            OrvMemoryManager::getMemoryManager()->connectToMemorySet(OrvMemoryManager::BufferPool,
                                                                     data);
            return static_cast<OrvLatch*>(data)->get(OrvLatch::Exclusive) == ORV_SUCCESS ? 0 : 1;
        }));
    // Every engine process is told which set and which process.
    const int told = orvtest::runInChild([] {
        try {
            OrvLockManager::getInstance()->requestSlot(3, 1, 1, OrvLockManager::SharedLock);
            OrvBufferManager::getInstance();
        } catch (const OrvException& e) {
            return e.getErrorCode() == ORV_LATCH_HOLDER_DEAD ? 0 : 2;
        }
        return 1;
    });
    EXPECT_EQ(0, told);
    // A plain stop cannot take the dead process over, and says why.
    ProcessResult plain = run({ORV_ORVSTOP});
    EXPECT_EQ(1, plain.exitCode);
    EXPECT_NE(std::string::npos, plain.err.find("LT003")) << plain.err;
    EXPECT_EQ(3, existingSets());
    ProcessResult forced = run({ORV_ORVSTOP, "--force"});
    EXPECT_EQ(0, forced.exitCode) << forced.err;
    EXPECT_EQ(0, existingSets());
    ProcessResult start = run({ORV_ORVSTART});
    EXPECT_EQ(0, start.exitCode) << start.err;
    EXPECT_EQ(0, orvtest::runInChild([] {
                  OrvLockManager::getInstance()->requestSlot(3, 1, 1, OrvLockManager::SharedLock);
                  OrvBufferManager::getInstance();
                  OrvSystem::stopAllManagers();
                  return 0;
              }));
    EXPECT_EQ(0, run({ORV_ORVSTOP}).exitCode);
}

TEST_F(LockStopTest, LatchLeftExclusiveByADeadProcessIsBrokenByTheStop) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    // Dies while it holds the list's latch, as in the middle of a change.
    ASSERT_EQ(0, orvtest::runInChild([] {
                  void* data = nullptr;
                  OrvMemoryManager::getMemoryManager()->connectToMemorySet(
                      OrvMemoryManager::LockList, data);
                  OrvLatch& latch = static_cast<OrvLockManager::Header*>(data)->latch;
                  return latch.get(OrvLatch::Exclusive) == ORV_SUCCESS ? 0 : 1;
              }));
    ProcessResult stop = run({ORV_ORVSTOP});
    EXPECT_EQ(0, stop.exitCode) << stop.err;
    EXPECT_EQ(stoppedLine, stop.out);
    EXPECT_EQ(0, existingSets());
}
