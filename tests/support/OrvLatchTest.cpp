// Latches between real processes. The order of steps between the
// processes is forced with pipes and with the semaphores' own wait counts
// (GETNCNT / GETZCNT), so waits reproduce; a short watch only checks that a
// blocked process has not gone ahead.
#include "support/OrvLatch.h"

#include "OrvError.h"
#include "OrvException.h"
#include "common/OrvAllocationCounter.h"
#include "common/OrvTestDatabase.h"
#include "common/OrvTestSync.h"
#include "support/OrvMemoryManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <new>
#include <sched.h>
#include <string>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <vector>

using orvtest::BLOCKED_CHECK_MS;
using orvtest::ChildProcess;
using orvtest::Pipe;
using orvtest::TestDatabase;
using orvtest::waitUntil;

namespace {

union SemaphoreArgument {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// The three semaphore values as "a,b,c", read directly from the system.
std::string values(int semaphoreId) {
    std::string text;
    for (int number = 0; number < 3; ++number) {
        text += (number > 0 ? "," : "") + std::to_string(semctl(semaphoreId, number, GETVAL));
    }
    return text;
}

// Number of processes waiting for semaphore `number` to grow / to become 0.
int waitingToDecrease(int semaphoreId, int number) {
    return semctl(semaphoreId, number, GETNCNT);
}
int waitingForZero(int semaphoreId, int number) {
    return semctl(semaphoreId, number, GETZCNT);
}

std::string currentMessage() {
    char message[1025] = {};
    char sqlstate[6] = {};
    OrvError::getErrorObject()->getError(message, sizeof(message), sqlstate);
    return message;
}

std::string systemErrorText(int error) {
    return "An operation on the semaphore set failed.  System error: " + std::to_string(error) +
           " ('" + std::strerror(error) + "')";
}

// Exit codes of children: the OrvErrorCode of their operation, folded into
// 0..255 (0 success, 1 ORV_LATCH_SEM_OPERATION_FAIL, 2 anything else).
int exitCodeOf(OrvErrorCode rc) {
    return rc == ORV_SUCCESS ? 0 : rc == ORV_LATCH_SEM_OPERATION_FAIL ? 1 : 2;
}

// A latch in memory shared with forked children (as in a memory set), so that
// destroy's -1 is seen by every process. Its semaphore set is registered with
// the test database and removed with it.
class LatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        memory = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(MAP_FAILED, memory);
        latch = static_cast<OrvLatch*>(memory);
        ASSERT_EQ(ORV_SUCCESS, latch->initialize());
        semId = latch->semaphoreId;
        db.registerSemaphore(semId);
    }
    void TearDown() override {
        if (latch != nullptr && latch->semaphoreId >= 0) {
            EXPECT_EQ(ORV_SUCCESS, latch->destroy(true));
        }
        if (memory != MAP_FAILED) {
            munmap(memory, 4096);
        }
    }

    TestDatabase db;
    void* memory = MAP_FAILED;
    OrvLatch* latch = nullptr;
    int semId = -1;
};

TEST_F(LatchTest, InitializeMakesThreeSemaphoresAt100) {
    static_assert(sizeof(OrvLatch) == 4, "");
    EXPECT_GE(semId, 0);
    struct semid_ds info;
    SemaphoreArgument argument;
    argument.buf = &info;
    ASSERT_EQ(0, semctl(semId, 0, IPC_STAT, argument));
    EXPECT_EQ(3u, info.sem_nsems);
    EXPECT_EQ(0660u, info.sem_perm.mode & 0777u);
    EXPECT_EQ(IPC_PRIVATE, info.sem_perm.__key);
    EXPECT_EQ("1,0,0", values(semId));

    Uint32 count = 99;
    bool held = true;
    bool locked = true;
    EXPECT_EQ(ORV_SUCCESS, latch->getSharedCount(count));
    EXPECT_EQ(ORV_SUCCESS, latch->isHeldExclusive(held));
    EXPECT_EQ(ORV_SUCCESS, latch->isLocked(locked));
    EXPECT_EQ(0u, count);
    EXPECT_FALSE(held);
    EXPECT_FALSE(locked);
}

TEST_F(LatchTest, SharedGetAndRelease) {
    ASSERT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Shared));
    EXPECT_EQ("1,1,0", values(semId));
    Uint32 count = 0;
    bool held = true;
    bool locked = false;
    EXPECT_EQ(ORV_SUCCESS, latch->getSharedCount(count));
    EXPECT_EQ(ORV_SUCCESS, latch->isHeldExclusive(held));
    EXPECT_EQ(ORV_SUCCESS, latch->isLocked(locked));
    EXPECT_EQ(1u, count);
    EXPECT_FALSE(held);
    EXPECT_TRUE(locked);
    ASSERT_EQ(ORV_SUCCESS, latch->release());
    EXPECT_EQ("1,0,0", values(semId));
}

TEST_F(LatchTest, ReleaseAfterExclusiveLeaves100) {
    ASSERT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Exclusive));
    EXPECT_EQ("0,0,1", values(semId));
    bool held = false;
    bool locked = false;
    Uint32 count = 99;
    EXPECT_EQ(ORV_SUCCESS, latch->isHeldExclusive(held));
    EXPECT_EQ(ORV_SUCCESS, latch->isLocked(locked));
    EXPECT_EQ(ORV_SUCCESS, latch->getSharedCount(count));
    EXPECT_TRUE(held);
    EXPECT_TRUE(locked);
    EXPECT_EQ(0u, count);
    ASSERT_EQ(ORV_SUCCESS, latch->release());
    EXPECT_EQ("1,0,0", values(semId));
}

TEST_F(LatchTest, AnyModeOtherThanSharedIsExclusive) {
    ASSERT_EQ(ORV_SUCCESS, latch->get(static_cast<OrvLatch::LatchMode>(5)));
    EXPECT_EQ("0,0,1", values(semId));
    ASSERT_EQ(ORV_SUCCESS, latch->release());
    EXPECT_EQ("1,0,0", values(semId));
}

// Every pairing of the two acquisition protocols with the two releases, in
// both modes, leaves no undo behind: a missing or extra SEM_UNDO on either
// side would move a semaphore when the process ends.
TEST_F(LatchTest, UndoEntriesBalanceWhenAHolderEndsAfterReleasing) {
    for (OrvLatch::LatchMode mode : {OrvLatch::Shared, OrvLatch::Exclusive}) {
        for (bool twoStep : {false, true}) {
            for (bool modeKnown : {false, true}) {
                ChildProcess child([&] {
                    const OrvErrorCode got = twoStep ? latch->getTwoStep(mode) : latch->get(mode);
                    if (got != ORV_SUCCESS) {
                        return 1;
                    }
                    const OrvErrorCode released =
                        modeKnown ? latch->release(mode) : latch->release();
                    return released == ORV_SUCCESS ? 0 : 1;
                });
                ASSERT_EQ(0, child.wait());
                EXPECT_EQ("1,0,0", values(semId))
                    << "mode " << mode << " twoStep " << twoStep << " modeKnown " << modeKnown;
            }
        }
    }
}

TEST_F(LatchTest, ReleaseInAKnownModeLeavesTheLatchAsTheProbingRelease) {
    ASSERT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Shared));
    ASSERT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Shared));
    EXPECT_EQ("1,2,0", values(semId));
    ASSERT_EQ(ORV_SUCCESS, latch->release(OrvLatch::Shared));
    EXPECT_EQ("1,1,0", values(semId));
    ASSERT_EQ(ORV_SUCCESS, latch->release(OrvLatch::Shared));
    EXPECT_EQ("1,0,0", values(semId));
    ASSERT_EQ(ORV_SUCCESS, latch->getTwoStep(OrvLatch::Exclusive));
    EXPECT_EQ("0,0,1", values(semId));
    ASSERT_EQ(ORV_SUCCESS, latch->release(OrvLatch::Exclusive));
    EXPECT_EQ("1,0,0", values(semId));
    // Any mode but Shared is exclusive, as for get.
    ASSERT_EQ(ORV_SUCCESS, latch->get(static_cast<OrvLatch::LatchMode>(7)));
    EXPECT_EQ("0,0,1", values(semId));
    ASSERT_EQ(ORV_SUCCESS, latch->release(static_cast<OrvLatch::LatchMode>(7)));
    EXPECT_EQ("1,0,0", values(semId));

    ASSERT_EQ(ORV_SUCCESS, latch->destroy(true));
    for (OrvLatch::LatchMode mode : {OrvLatch::Shared, OrvLatch::Exclusive}) {
        EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, latch->release(mode));
        EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, latch->getTwoStep(mode));
    }
}

TEST_F(LatchTest, TwoSharedHoldersAtOnce) {
    Pipe held;
    Pipe letGo;
    ASSERT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Shared));
    ChildProcess child([&] {
        if (latch->get(OrvLatch::Shared) != ORV_SUCCESS) {
            return 1;
        }
        held.send();
        letGo.receive();
        return exitCodeOf(latch->release());
    });
    ASSERT_TRUE(held.receive());

    Uint32 count = 0;
    bool exclusive = true;
    bool locked = false;
    EXPECT_EQ(ORV_SUCCESS, latch->getSharedCount(count));
    EXPECT_EQ(ORV_SUCCESS, latch->isHeldExclusive(exclusive));
    EXPECT_EQ(ORV_SUCCESS, latch->isLocked(locked));
    EXPECT_EQ(2u, count);
    EXPECT_FALSE(exclusive);
    EXPECT_TRUE(locked);

    letGo.send();
    ASSERT_EQ(0, child.wait());
    EXPECT_EQ(ORV_SUCCESS, latch->getSharedCount(count));
    EXPECT_EQ(1u, count);
    ASSERT_EQ(ORV_SUCCESS, latch->release());
    EXPECT_EQ(ORV_SUCCESS, latch->isLocked(locked));
    EXPECT_FALSE(locked);
    EXPECT_EQ("1,0,0", values(semId));
}

TEST_F(LatchTest, ExclusiveRequestWaitsForASharedHolder) {
    Pipe gotIt;
    Pipe letGo;
    ASSERT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Shared));
    ChildProcess writer([&] {
        if (latch->get(OrvLatch::Exclusive) != ORV_SUCCESS) {
            return 1;
        }
        gotIt.send();
        letGo.receive();
        return exitCodeOf(latch->release());
    });
    // The writer has closed the gate and waits for the shared count to be 0.
    ASSERT_TRUE(waitUntil([&] { return waitingForZero(semId, ORV_LATCH_SHARED_COUNTER) == 1; }));
    EXPECT_EQ("0,1,0", values(semId));
    EXPECT_FALSE(gotIt.ready(BLOCKED_CHECK_MS));

    ASSERT_EQ(ORV_SUCCESS, latch->release());
    ASSERT_TRUE(gotIt.receive());
    bool exclusive = false;
    EXPECT_EQ(ORV_SUCCESS, latch->isHeldExclusive(exclusive));
    EXPECT_TRUE(exclusive);
    EXPECT_EQ("0,0,1", values(semId));
    letGo.send();
    ASSERT_EQ(0, writer.wait());
    EXPECT_EQ("1,0,0", values(semId));
}

TEST_F(LatchTest, SharedRequestWaitsBehindAWaitingExclusiveOne) {
    Pipe order; // each child sends its name when it has the latch
    Pipe letWriterGo;
    Pipe letReaderGo;
    constexpr int WRITER = 'X';
    constexpr int READER = 'S';
    ASSERT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Shared));

    ChildProcess writer([&] {
        if (latch->get(OrvLatch::Exclusive) != ORV_SUCCESS) {
            return 1;
        }
        order.send(WRITER);
        letWriterGo.receive();
        return exitCodeOf(latch->release());
    });
    ASSERT_TRUE(waitUntil([&] { return waitingForZero(semId, ORV_LATCH_SHARED_COUNTER) == 1; }));

    ChildProcess reader([&] {
        if (latch->get(OrvLatch::Shared) != ORV_SUCCESS) {
            return 1;
        }
        order.send(READER);
        letReaderGo.receive();
        return exitCodeOf(latch->release());
    });
    // The reader waits at the closed gate, although only a shared hold exists.
    ASSERT_TRUE(
        waitUntil([&] { return waitingToDecrease(semId, ORV_LATCH_BLOCK_NEW_SHARED) == 1; }));
    EXPECT_FALSE(order.ready(BLOCKED_CHECK_MS));

    // The first share goes: the writer gets the latch, the reader still waits.
    ASSERT_EQ(ORV_SUCCESS, latch->release());
    int first = 0;
    ASSERT_TRUE(order.receiveValue(first));
    EXPECT_EQ(WRITER, first);
    EXPECT_FALSE(order.ready(BLOCKED_CHECK_MS));
    EXPECT_EQ(1, waitingToDecrease(semId, ORV_LATCH_BLOCK_NEW_SHARED));

    // The writer releases: now the reader gets it.
    letWriterGo.send();
    int second = 0;
    ASSERT_TRUE(order.receiveValue(second));
    EXPECT_EQ(READER, second);
    EXPECT_EQ(0, writer.wait());
    EXPECT_EQ("1,1,0", values(semId));
    letReaderGo.send();
    EXPECT_EQ(0, reader.wait());
    EXPECT_EQ("1,0,0", values(semId));
}

TEST_F(LatchTest, ExclusiveRequestWaitsForAnExclusiveHolder) {
    Pipe gotIt;
    ASSERT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Exclusive));
    ChildProcess other([&] {
        if (latch->get(OrvLatch::Exclusive) != ORV_SUCCESS) {
            return 1;
        }
        gotIt.send();
        return exitCodeOf(latch->release());
    });
    ASSERT_TRUE(
        waitUntil([&] { return waitingToDecrease(semId, ORV_LATCH_BLOCK_NEW_SHARED) == 1; }));
    EXPECT_FALSE(gotIt.ready(BLOCKED_CHECK_MS));
    ASSERT_EQ(ORV_SUCCESS, latch->release());
    EXPECT_TRUE(gotIt.receive());
    EXPECT_EQ(0, other.wait());
    EXPECT_EQ("1,0,0", values(semId));
}

TEST_F(LatchTest, DestroyWithoutForceWaitsForTheHolders) {
    Pipe held;
    Pipe letGo;
    Pipe destroyed;
    ChildProcess holder([&] {
        if (latch->get(OrvLatch::Shared) != ORV_SUCCESS) {
            return 1;
        }
        held.send();
        letGo.receive();
        return exitCodeOf(latch->release());
    });
    ASSERT_TRUE(held.receive());

    ChildProcess destroyer([&] {
        const OrvErrorCode rc = latch->destroy(false);
        destroyed.send(rc);
        return exitCodeOf(rc);
    });
    ASSERT_TRUE(waitUntil([&] { return waitingForZero(semId, ORV_LATCH_SHARED_COUNTER) == 1; }));
    EXPECT_FALSE(destroyed.ready(BLOCKED_CHECK_MS));
    EXPECT_EQ(semId, latch->semaphoreId);
    EXPECT_TRUE(orvtest::semaphoreSetExists(semId));

    letGo.send();
    EXPECT_EQ(0, holder.wait());
    int rc = -1;
    ASSERT_TRUE(destroyed.receiveValue(rc));
    EXPECT_EQ(ORV_SUCCESS, rc);
    EXPECT_EQ(0, destroyer.wait());
    EXPECT_EQ(-1, latch->semaphoreId);
    EXPECT_FALSE(orvtest::semaphoreSetExists(semId));
}

TEST_F(LatchTest, AfterForcedDestroyTheNextGetOfAnotherProcessFails) {
    Pipe destroyedNow;
    Pipe result;
    ChildProcess other([&] {
        // This process knew the id before the set went away (as any process
        // that read it earlier).
        OrvLatch known;
        known.semaphoreId = latch->semaphoreId;
        destroyedNow.receive();
        const OrvErrorCode rc = known.get(OrvLatch::Shared);
        result.send(rc);
        return currentMessage() == systemErrorText(EINVAL) ? exitCodeOf(rc) : 3;
    });
    ASSERT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Shared));
    // Even while held.
    ASSERT_EQ(ORV_SUCCESS, latch->destroy(true));
    EXPECT_EQ(-1, latch->semaphoreId);
    EXPECT_FALSE(orvtest::semaphoreSetExists(semId));
    destroyedNow.send();
    int rc = 0;
    ASSERT_TRUE(result.receiveValue(rc));
    EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, rc);
    EXPECT_EQ(1, other.wait());
}

TEST_F(LatchTest, ForcedDestroyMakesWaitingRequestsFail) {
    Pipe result;
    ASSERT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Shared));
    ChildProcess writer([&] {
        const OrvErrorCode rc = latch->get(OrvLatch::Exclusive);
        result.send(rc);
        return currentMessage() == systemErrorText(EIDRM) ? exitCodeOf(rc) : 3;
    });
    ASSERT_TRUE(waitUntil([&] { return waitingForZero(semId, ORV_LATCH_SHARED_COUNTER) == 1; }));
    ChildProcess reader([&] {
        const OrvErrorCode rc = latch->get(OrvLatch::Shared);
        return currentMessage() == systemErrorText(EIDRM) ? exitCodeOf(rc) : 3;
    });
    ASSERT_TRUE(
        waitUntil([&] { return waitingToDecrease(semId, ORV_LATCH_BLOCK_NEW_SHARED) == 1; }));

    ASSERT_EQ(ORV_SUCCESS, latch->destroy(true));
    int rc = 0;
    ASSERT_TRUE(result.receiveValue(rc));
    EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, rc);
    EXPECT_EQ(1, writer.wait());
    EXPECT_EQ(1, reader.wait());

    // Operations on the removed set fail in this process as well.
    EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, latch->get(OrvLatch::Shared));
    EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, OrvGetErrorCode());
    EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, latch->release());
    Uint32 count = 42;
    bool flag = true;
    EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, latch->getSharedCount(count));
    EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, latch->isHeldExclusive(flag));
    EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, latch->isLocked(flag));
    EXPECT_EQ(42u, count) << "a failed read leaves the output unchanged";
    EXPECT_TRUE(flag);
}

TEST_F(LatchTest, AProcessThatDiesHoldingTheLatchSharedLeavesItFree) {
    Pipe held;
    ChildProcess holder([&] {
        if (latch->get(OrvLatch::Shared) != ORV_SUCCESS) {
            return 1;
        }
        held.send();
        for (;;) {
            pause();
        }
    });
    ASSERT_TRUE(held.receive());
    Uint32 count = 0;
    EXPECT_EQ(ORV_SUCCESS, latch->getSharedCount(count));
    EXPECT_EQ(1u, count);

    holder.kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, holder.wait());
    EXPECT_EQ("1,0,0", values(semId));
    bool locked = true;
    EXPECT_EQ(ORV_SUCCESS, latch->isLocked(locked));
    EXPECT_FALSE(locked);
    ASSERT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Exclusive));
    ASSERT_EQ(ORV_SUCCESS, latch->release());
}

TEST_F(LatchTest, AProcessThatDiesHoldingTheLatchExclusivelyIsNamedByEveryRequest) {
    for (bool twoStep : {false, true}) {
        SCOPED_TRACE(twoStep ? "holder on the two-step path" : "holder on the fast path");
        Pipe held;
        ChildProcess holder([&] {
            const OrvErrorCode rc =
                twoStep ? latch->getTwoStep(OrvLatch::Exclusive) : latch->get(OrvLatch::Exclusive);
            if (rc != ORV_SUCCESS) {
                return 1;
            }
            held.send();
            for (;;) {
                pause();
            }
        });
        ASSERT_TRUE(held.receive());
        holder.kill(SIGKILL);
        EXPECT_EQ(128 + SIGKILL, holder.wait());
        // Undo reopened the gate; semaphore 2 has no undo and stays 1.
        EXPECT_EQ("1,0,1", values(semId));
        // Every request says at once who left the latch held, in whichever
        // mode and on whichever path it asks.
        const std::string named = "(semaphore set " + std::to_string(semId) +
                                  ") is held by process " + std::to_string(holder.pid()) +
                                  ", which no longer exists";
        EXPECT_EQ(ORV_LATCH_HOLDER_DEAD, latch->get(OrvLatch::Shared));
        EXPECT_NE(std::string::npos, currentMessage().find(named)) << currentMessage();
        EXPECT_EQ(ORV_LATCH_HOLDER_DEAD, latch->get(OrvLatch::Exclusive));
        EXPECT_NE(std::string::npos, currentMessage().find(named)) << currentMessage();
        EXPECT_EQ(ORV_LATCH_HOLDER_DEAD, latch->getTwoStep(OrvLatch::Shared));
        EXPECT_EQ(ORV_LATCH_HOLDER_DEAD, latch->getTwoStep(OrvLatch::Exclusive));
        EXPECT_EQ("1,0,1", values(semId));
        // Initialising again makes a fresh set.
        ASSERT_EQ(ORV_SUCCESS, latch->destroy(true));
        ASSERT_EQ(ORV_SUCCESS, latch->initialize());
        semId = latch->semaphoreId;
        db.registerSemaphore(semId);
        EXPECT_EQ("1,0,0", values(semId));
    }
}

// Latch calls sit on every hot path of the pool and the lock list: a call that
// succeeds must not build the texts of an error it does not raise.
TEST_F(LatchTest, SuccessfulLatchCallsAllocateNothing) {
    auto allCalls = [&] {
        for (OrvLatch::LatchMode mode : {OrvLatch::Shared, OrvLatch::Exclusive}) {
            ASSERT_EQ(ORV_SUCCESS, latch->get(mode));
            ASSERT_EQ(ORV_SUCCESS, latch->release(mode));
            ASSERT_EQ(ORV_SUCCESS, latch->getTwoStep(mode));
            ASSERT_EQ(ORV_SUCCESS, latch->release());
            { OrvScopedLatch scoped(*latch, mode); }
        }
        { OrvScopedExclusiveLatch scoped(*latch); }
    };
    allCalls(); // the tracer and the error object are made on first use
    const long before = orvtest::allocationCount;
    for (int i = 0; i < 100; ++i) {
        allCalls();
    }
    EXPECT_EQ(before, orvtest::allocationCount);
    EXPECT_EQ("1,0,0", values(semId));
    // The counter does count: a failing scoped latch builds its exception.
    ASSERT_EQ(ORV_SUCCESS, latch->destroy(true));
    EXPECT_THROW(OrvScopedLatch(*latch, OrvLatch::Shared), OrvException);
    EXPECT_LT(before, orvtest::allocationCount);
}

// What the hammering processes of the mixed-protocol test share, beside the
// latch. The counters of holders are atomics so that a violation of the
// latch is seen, not hidden by a race of the check itself; plainCounter is
// changed by plain loads and stores under the exclusive hold only, so an
// exclusive hold that is not exclusive loses increments.
struct MixedArena {
    static constexpr int MAX_WORKERS = 4;
    std::atomic<int> sharedInside;
    std::atomic<int> exclusiveInside;
    std::atomic<int> violations;
    std::atomic<int> stop;
    volatile long plainCounter;
    std::atomic<long> exclusiveEntries;
    std::atomic<long> entries[MAX_WORKERS][2]; // [worker][mode]
};

// One hammering process: takes the latch in a random mode until told to stop
// (and at least `minimum` times), on the two-step path with the probing
// release, or on the fast path with the release in the known mode.
int hammer(OrvLatch& latch, MixedArena& arena, int worker, bool twoStep, long minimum) {
    unsigned seed = 7919u * static_cast<unsigned>(worker + 1);
    for (long i = 0; i < minimum || arena.stop.load() == 0; ++i) {
        seed = seed * 1103515245u + 12345u;
        const OrvLatch::LatchMode mode =
            (seed >> 16) % 3 == 0 ? OrvLatch::Exclusive : OrvLatch::Shared;
        if ((twoStep ? latch.getTwoStep(mode) : latch.get(mode)) != ORV_SUCCESS) {
            return 2;
        }
        if (mode == OrvLatch::Exclusive) {
            if (arena.exclusiveInside.fetch_add(1) != 0 || arena.sharedInside.load() != 0) {
                arena.violations.fetch_add(1);
            }
            const long value = arena.plainCounter;
            if (i % 4 == 0) {
                sched_yield();
            }
            arena.plainCounter = value + 1;
            arena.exclusiveEntries.fetch_add(1);
            arena.exclusiveInside.fetch_sub(1);
        } else {
            arena.sharedInside.fetch_add(1);
            if (arena.exclusiveInside.load() != 0) {
                arena.violations.fetch_add(1);
            }
            if (i % 4 == 0) {
                sched_yield();
            }
            arena.sharedInside.fetch_sub(1);
        }
        arena.entries[worker][mode].fetch_add(1);
        if ((twoStep ? latch.release() : latch.release(mode)) != ORV_SUCCESS) {
            return 3;
        }
    }
    return 0;
}

// Processes on the two-step protocol and on the fast path hammer one latch in
// both modes, while holders die in shared mode (on either path) and their
// share is given back by the system's undo.
TEST_F(LatchTest, OldAndNewProtocolsShareOneLatch) {
    static_assert(sizeof(MixedArena) + 64 <= 4096, "the arena fits the page behind the latch");
    MixedArena* arena = new (static_cast<char*>(memory) + 64) MixedArena();
    constexpr long MINIMUM = 1500;
    std::vector<std::unique_ptr<ChildProcess>> workers;
    for (int worker = 0; worker < MixedArena::MAX_WORKERS; ++worker) {
        const bool twoStep = worker % 2 == 0;
        workers.push_back(std::make_unique<ChildProcess>(
            [&, worker, twoStep] { return hammer(*latch, *arena, worker, twoStep, MINIMUM); }));
    }
    auto allEntries = [&] {
        long sum = 0;
        for (int worker = 0; worker < MixedArena::MAX_WORKERS; ++worker) {
            sum += arena->entries[worker][0].load() + arena->entries[worker][1].load();
        }
        return sum;
    };

    for (bool twoStep : {false, true}) {
        SCOPED_TRACE(twoStep ? "dead holder on the two-step path" : "dead holder on the fast path");
        const long before = allEntries();
        ASSERT_TRUE(waitUntil([&] { return allEntries() > before + 200; }));
        Pipe held;
        ChildProcess victim([&] {
            const OrvErrorCode rc =
                twoStep ? latch->getTwoStep(OrvLatch::Shared) : latch->get(OrvLatch::Shared);
            if (rc != ORV_SUCCESS) {
                return 1;
            }
            held.send();
            for (;;) {
                pause();
            }
        });
        ASSERT_TRUE(held.receive());
        // The hold is real: an exclusive request comes to wait for it, and
        // behind it everybody else.
        ASSERT_TRUE(
            waitUntil([&] { return waitingForZero(semId, ORV_LATCH_SHARED_COUNTER) >= 1; }));
        victim.kill(SIGKILL);
        const long stalled = allEntries();
        EXPECT_EQ(128 + SIGKILL, victim.wait());
        ASSERT_TRUE(waitUntil([&] { return allEntries() > stalled + 200; }))
            << "the dead holder's share was not given back";
    }
    arena->stop.store(1);
    for (std::unique_ptr<ChildProcess>& worker : workers) {
        EXPECT_EQ(0, worker->wait());
    }

    EXPECT_EQ(0, arena->violations.load());
    EXPECT_EQ(arena->exclusiveEntries.load(), arena->plainCounter) << "lost exclusive updates";
    for (int worker = 0; worker < MixedArena::MAX_WORKERS; ++worker) {
        EXPECT_GT(arena->entries[worker][OrvLatch::Exclusive].load(), 0) << "worker " << worker;
        EXPECT_GT(arena->entries[worker][OrvLatch::Shared].load(), 0) << "worker " << worker;
        EXPECT_GE(arena->entries[worker][0].load() + arena->entries[worker][1].load(), MINIMUM);
    }
    EXPECT_EQ("1,0,0", values(semId));
    arena->~MixedArena();
}

TEST_F(LatchTest, DestroyOfARemovedLatchDoesNothing) {
    ASSERT_EQ(ORV_SUCCESS, latch->destroy(true));
    EXPECT_EQ(-1, latch->semaphoreId);
    OrvError::getErrorObject()->setError(Support, ORV_SUCCESS);
    EXPECT_EQ(ORV_SUCCESS, latch->destroy(false));
    EXPECT_EQ(ORV_SUCCESS, latch->destroy(true));
    EXPECT_EQ(-1, latch->semaphoreId);
    EXPECT_EQ(ORV_SUCCESS, OrvGetErrorCode());
}

TEST_F(LatchTest, DestroyOfASetRemovedBehindItsBackWarns) {
    ASSERT_EQ(0, semctl(semId, 0, IPC_RMID));
    EXPECT_EQ(ORV_LATCH_SEM_DESTROY_WARN, latch->destroy(true));
    EXPECT_EQ(ORV_LATCH_SEM_DESTROY_WARN, OrvGetErrorCode());
    EXPECT_EQ(semId, latch->semaphoreId) << "the id stays when the removal failed";
    EXPECT_EQ("Could not destroy semaphore set.  Please cleanup manually.  System error: " +
                  std::to_string(EINVAL) + " ('" + std::strerror(EINVAL) + "')",
              currentMessage());
    // Without force, the get fails first.
    EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, latch->destroy(false));
    latch->semaphoreId = -1;
}

TEST_F(LatchTest, ScopedLatchesHoldForTheirScope) {
    {
        OrvScopedLatch shared(*latch, OrvLatch::Shared);
        EXPECT_EQ("1,1,0", values(semId));
    }
    EXPECT_EQ("1,0,0", values(semId));
    {
        OrvScopedExclusiveLatch exclusive(*latch);
        EXPECT_EQ("0,0,1", values(semId));
        const OrvScopedExclusiveLatch& proof = exclusive;
        (void)proof;
    }
    EXPECT_EQ("1,0,0", values(semId));
}

TEST_F(LatchTest, ScopedLatchRaisesAFailedGet) {
    ASSERT_EQ(ORV_SUCCESS, latch->destroy(true));
    for (OrvLatch::LatchMode mode : {OrvLatch::Shared, OrvLatch::Exclusive}) {
        try {
            OrvScopedLatch scoped(*latch, mode);
            ADD_FAILURE() << "no exception";
        } catch (const OrvException& e) {
            EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, e.getErrorCode());
            EXPECT_EQ("mLatch.get(latchMode)", e.getCall());
        }
    }
    try {
        OrvScopedExclusiveLatch scoped(*latch);
        ADD_FAILURE() << "no exception";
    } catch (const OrvException& e) {
        EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, e.getErrorCode());
        EXPECT_EQ("mLatch.get(latchMode)", e.getCall());
    }
}

TEST_F(LatchTest, ScopedLatchDestructorDoesNotThrowWhenTheReleaseFails) {
    EXPECT_NO_THROW({
        OrvScopedLatch scoped(*latch, OrvLatch::Shared);
        ASSERT_EQ(ORV_SUCCESS, latch->destroy(true));
    });
    EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, OrvGetErrorCode());
}

// The arrangement of the engine: the latch is the first item of a memory set's
// data, reached by every attached process.
class LatchInMemorySetTest : public ::testing::Test {
protected:
    void TearDown() override {
        try {
            OrvMemoryManager::getMemoryManager()->disconnectFromMemorySet(
                OrvMemoryManager::BufferPool);
        } catch (const OrvException&) {
        }
    }
    TestDatabase db;
};

TEST_F(LatchInMemorySetTest, ProcessesShareTheLatchAtTheStartOfTheSet) {
    OrvMemoryManager* mm = OrvMemoryManager::getMemoryManager();
    mm->createMemorySet(OrvMemoryManager::BufferPool);
    void* address = nullptr;
    mm->connectToMemorySet(OrvMemoryManager::BufferPool, address);
    OrvLatch* latch = static_cast<OrvLatch*>(address);
    ASSERT_EQ(ORV_SUCCESS, latch->initialize());
    // Registered as well: the test database leaves a latch id of 0 alone when
    // it existed before the test (see OrvTestDatabase.h).
    db.registerSemaphore(latch->semaphoreId);
    ASSERT_EQ(ORV_SUCCESS, latch->get(OrvLatch::Shared));
    mm->disconnectFromMemorySet(OrvMemoryManager::BufferPool);

    // A fresh attach in another process finds the same semaphores.
    Pipe held;
    Pipe letGo;
    ChildProcess child([&] {
        void* childAddress = nullptr;
        mm->connectToMemorySet(OrvMemoryManager::BufferPool, childAddress);
        OrvLatch* childLatch = static_cast<OrvLatch*>(childAddress);
        if (childLatch->get(OrvLatch::Shared) != ORV_SUCCESS) {
            return 1;
        }
        held.send();
        letGo.receive();
        return exitCodeOf(childLatch->release());
    });
    ASSERT_TRUE(held.receive());
    mm->connectToMemorySet(OrvMemoryManager::BufferPool, address);
    latch = static_cast<OrvLatch*>(address);
    Uint32 count = 0;
    EXPECT_EQ(ORV_SUCCESS, latch->getSharedCount(count));
    EXPECT_EQ(2u, count);
    letGo.send();
    EXPECT_EQ(0, child.wait());
    ASSERT_EQ(ORV_SUCCESS, latch->release());
    // The semaphore set is left to the test database, which finds it at the
    // start of the set's data.
}

TEST(TestDatabaseTest, RemovesSetsAndTheirLatchesAndRegisteredSemaphores) {
    int shmId = -1;
    int latchId = -1;
    int extraId = -1;
    key_t key = -1;
    {
        TestDatabase db;
        key = db.key(OrvMemoryManager::LockList);
        OrvMemoryManager* mm = OrvMemoryManager::getMemoryManager();
        mm->createMemorySet(OrvMemoryManager::LockList);
        void* address = nullptr;
        mm->connectToMemorySet(OrvMemoryManager::LockList, address);
        OrvLatch* latch = static_cast<OrvLatch*>(address);
        ASSERT_EQ(ORV_SUCCESS, latch->initialize());
        latchId = latch->semaphoreId;
        mm->disconnectFromMemorySet(OrvMemoryManager::LockList);
        shmId = db.segmentId(OrvMemoryManager::LockList);
        ASSERT_GE(shmId, 0);

        OrvLatch own;
        ASSERT_EQ(ORV_SUCCESS, own.initialize());
        extraId = own.semaphoreId;
        db.registerSemaphore(extraId);

        // A child that ends normally, with its copy of db, cleans up nothing.
        ChildProcess child([&] {
            db.cleanup();
            return 0;
        });
        ASSERT_EQ(0, child.wait());
        EXPECT_EQ(shmId, db.segmentId(OrvMemoryManager::LockList));
        EXPECT_TRUE(orvtest::semaphoreSetExists(latchId));
        EXPECT_TRUE(orvtest::semaphoreSetExists(extraId));
        EXPECT_STREQ(db.path().c_str(), std::getenv("ORV_DATABASE_PATH"));
    }
    struct shmid_ds info;
    EXPECT_NE(0, shmctl(shmId, IPC_STAT, &info));
    EXPECT_LT(shmget(key, 0, 0), 0);
    EXPECT_FALSE(orvtest::semaphoreSetExists(latchId));
    EXPECT_FALSE(orvtest::semaphoreSetExists(extraId));
}

TEST(TestDatabaseTest, GivesEachObjectItsOwnDirectoryAndRestoresThePath) {
    setenv("ORV_DATABASE_PATH", "/previous", 1);
    {
        TestDatabase first;
        TestDatabase second;
        EXPECT_NE(first.path(), second.path());
        for (int set = 0; set < 3; ++set) {
            EXPECT_NE(first.key(set), second.key(set));
            EXPECT_EQ(-1, first.segmentId(set));
        }
        EXPECT_STREQ(second.path().c_str(), std::getenv("ORV_DATABASE_PATH"));
    }
    EXPECT_STREQ("/previous", std::getenv("ORV_DATABASE_PATH"));
    unsetenv("ORV_DATABASE_PATH");
}

} // namespace
