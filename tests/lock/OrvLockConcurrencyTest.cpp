// Locks between real processes: the compatibility of lock types, waiting,
// deadlocks, try requests, the database lock, waiting entries that must not
// outlive their requests, and the time-out. The parent never makes a lock
// manager before it forks; it orders the children's steps with pipes and
// reads the list through its own attachment.
#include "LockTestSupport.h"

#include "support/OrvLatch.h"

#include <chrono>
#include <csignal>
#include <ctime>
#include <memory>
#include <string>

using namespace locktest;
using orvtest::BLOCKED_CHECK_MS;
using orvtest::ChildProcess;
using orvtest::Pipe;
using orvtest::waitUntil;

namespace {

enum Kind { S, X, IS, IX };
const char* const kindNames[] = {"S", "X", "IS", "IX"};

// One lock of the kind on the segment: plain ones by requestSegment,
// intention ones by requestIntentionalOnSegment.
void take(LM& lm, Kind kind, SegmentId segment) {
    switch (kind) {
    case S:
        lm.requestSegment(segment, LM::SharedLock);
        break;
    case X:
        lm.requestSegment(segment, LM::ExclusiveLock);
        break;
    case IS:
        lm.requestIntentionalOnSegment(segment, LM::SharedLock);
        break;
    case IX:
        lm.requestIntentionalOnSegment(segment, LM::ExclusiveLock);
        break;
    }
}

// Busy work of about the given time, as a holder that computes.
void work(int microseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
    while (std::chrono::steady_clock::now() < end) {
    }
}

class LockConcurrencyTest : public LockListTest {
protected:
    bool waitForWaiters(Uint32 n) {
        return waitUntil([this, n] { return view->usedWaiting() == n; });
    }
};

} // namespace

TEST_F(LockConcurrencyTest, CompatibilityOfEachRequestedWithEachHeldType) {
    // granted[requested][held] for a lock of another transaction.
    const bool granted[4][4] = {
        {true, false, true, false}, // shared waits for intention-exclusive
        {false, false, false, false},
        {true, false, true, true},
        {false, false, true, true},
    };
    for (int held = S; held <= IX; ++held) {
        for (int requested = S; requested <= IX; ++requested) {
            SCOPED_TRACE(std::string("held ") + kindNames[held] + ", requested " +
                         kindNames[requested]);
            Pipe holderReady, releaseNow, requesterDone;
            ChildProcess holder(transaction([&](LM& lm) {
                take(lm, static_cast<Kind>(held), 7);
                holderReady.send();
                return releaseNow.receive() ? 0 : 1;
            }));
            ASSERT_TRUE(holderReady.receive());
            ChildProcess requester(transaction([&](LM& lm) {
                take(lm, static_cast<Kind>(requested), 7);
                requesterDone.send();
                return 0;
            }));
            if (granted[requested][held]) {
                EXPECT_TRUE(requesterDone.receive());
            } else {
                EXPECT_FALSE(requesterDone.ready(BLOCKED_CHECK_MS));
                // A plain request waits with a waiting entry, an intention
                // request without one.
                const Uint32 waiters = requested == S || requested == X ? 1 : 0;
                EXPECT_TRUE(waitForWaiters(waiters));
                EXPECT_TRUE(view->problemsUnderLatch().empty());
            }
            releaseNow.send();
            if (!granted[requested][held]) {
                EXPECT_TRUE(requesterDone.receive());
            }
            EXPECT_EQ(0, holder.wait());
            EXPECT_EQ(0, requester.wait());
            EXPECT_EQ(0u, view->count());
            EXPECT_EQ(0u, view->usedWaiting());
        }
    }
}

TEST_F(LockConcurrencyTest, SharedSlotLockWaitsForAnExclusiveOneOnTheSamePageOnly) {
    Pipe holderReady, releaseNow, done;
    ChildProcess holder(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
        holderReady.send();
        return releaseNow.receive() ? 0 : 1;
    }));
    ASSERT_TRUE(holderReady.receive());
    ChildProcess reader(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 2, LM::SharedLock); // another slot: granted
        done.send(1);
        // The segment carries the holder's intention-exclusive entry: a
        // shared lock on the whole segment must wait for it.
        lm.requestSegment(5, LM::SharedLock);
        done.send(2);
        return 0;
    }));
    int step = 0;
    ASSERT_TRUE(done.receiveValue(step));
    EXPECT_EQ(1, step);
    EXPECT_FALSE(done.ready(BLOCKED_CHECK_MS));
    releaseNow.send();
    ASSERT_TRUE(done.receiveValue(step));
    EXPECT_EQ(2, step);
    EXPECT_EQ(0, holder.wait());
    EXPECT_EQ(0, reader.wait());
}

TEST_F(LockConcurrencyTest, DeadlockIsReportedToTheSecondRequester) {
    Pipe ready1, ready2, go1, go2, result1, result2, end2;
    ChildProcess t1(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
        ready1.send();
        go1.receive();
        // Waits for t2's slot until t2 gives up and ends.
        result1.send(exitCodeOf(codeOf([&] { lm.requestSlot(5, 1, 2, LM::ExclusiveLock); })));
        return 0;
    }));
    ChildProcess t2(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 2, LM::ExclusiveLock);
        ready2.send();
        go2.receive();
        result2.send(exitCodeOf(codeOf([&] { lm.requestSlot(5, 1, 1, LM::ExclusiveLock); })));
        return end2.receive() ? 0 : 1;
    }));
    ASSERT_TRUE(ready1.receive());
    ASSERT_TRUE(ready2.receive());
    go1.send();
    ASSERT_TRUE(waitForWaiters(1));
    go2.send();
    int code = 0;
    ASSERT_TRUE(result2.receiveValue(code));
    EXPECT_EQ(exitCodeOf(ORV_LM_DEADLOCK), code);
    // t2's refused request took its waiting entry and its intention entries
    // away again: it holds its slot lock with the two intentions above it.
    EXPECT_EQ(1u, view->usedWaiting());
    EXPECT_EQ(3u, view->entriesOf(t2.pid()));
    EXPECT_TRUE(view->problemsUnderLatch().empty());

    end2.send();
    ASSERT_TRUE(result1.receiveValue(code));
    EXPECT_EQ(0, code);
    EXPECT_EQ(0, t2.wait());
    EXPECT_EQ(0, t1.wait());
    EXPECT_EQ(0u, view->count());
    EXPECT_EQ(0u, view->usedWaiting());
}

// A try request on a lock held by a transaction that waits for the trier
// would close a cycle if it waited; it does not wait, so it is refused, and
// the trier can go on and end its transaction.
TEST_F(LockConcurrencyTest, ATryRequestThatWouldCloseACycleIsRefusedNotADeadlock) {
    Pipe ready1, ready2, go1, go2, result1, result2, end2;
    ChildProcess t1(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
        ready1.send();
        go1.receive();
        result1.send(exitCodeOf(codeOf([&] { lm.requestSlot(5, 1, 2, LM::ExclusiveLock); })));
        return 0;
    }));
    ChildProcess t2(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 2, LM::ExclusiveLock);
        ready2.send();
        go2.receive();
        bool granted = true;
        const OrvErrorCode code =
            codeOf([&] { granted = lm.tryRequestSlot(5, 1, 1, LM::ExclusiveLock); });
        result2.send(code == ORV_SUCCESS ? (granted ? 1 : 0) : exitCodeOf(code));
        return end2.receive() ? 0 : 1;
    }));
    ASSERT_TRUE(ready1.receive());
    ASSERT_TRUE(ready2.receive());
    go1.send();
    ASSERT_TRUE(waitForWaiters(1));
    go2.send();
    int code = -1;
    ASSERT_TRUE(result2.receiveValue(code));
    EXPECT_EQ(0, code) << "1: granted; otherwise the code of the failure";
    EXPECT_EQ(1u, view->usedWaiting());
    end2.send();
    ASSERT_TRUE(result1.receiveValue(code));
    EXPECT_EQ(0, code);
    EXPECT_EQ(0, t2.wait());
    EXPECT_EQ(0, t1.wait());
    EXPECT_EQ(0u, view->usedWaiting());
}

TEST_F(LockConcurrencyTest, DeadlockThroughAThirdTransactionIsFound) {
    // t1 waits for t2, t2 for t3; t3's request closes the circle.
    Pipe ready, result, end;
    Pipe go[3];
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int t = 0; t < 3; ++t) {
        children.emplace_back(new ChildProcess(transaction([&, t](LM& lm) {
            lm.requestSegment(static_cast<SegmentId>(10 + t), LM::ExclusiveLock);
            ready.send();
            go[t].receive();
            const OrvErrorCode code = codeOf([&] {
                lm.requestSegment(static_cast<SegmentId>(10 + (t + 1) % 3), LM::SharedLock);
            });
            result.send(t * 1000 + exitCodeOf(code));
            return end.receive() ? 0 : 1;
        })));
        ASSERT_TRUE(ready.receive());
    }
    for (Uint32 t = 0; t < 3; ++t) {
        go[t].send();
        if (t < 2) {
            ASSERT_TRUE(waitForWaiters(t + 1));
        }
    }
    // The first request to fail is that of the last one to wait.
    int value = 0;
    ASSERT_TRUE(result.receiveValue(value));
    EXPECT_EQ(2000 + exitCodeOf(ORV_LM_DEADLOCK), value);
    EXPECT_EQ(2u, view->usedWaiting());
    for (int t = 0; t < 3; ++t) {
        end.send();
    }
    for (int t = 0; t < 2; ++t) {
        ASSERT_TRUE(result.receiveValue(value));
        EXPECT_EQ(0, value % 1000);
    }
    for (auto& child : children) {
        EXPECT_EQ(0, child->wait());
    }
    EXPECT_EQ(0u, view->count());
}

// A refused rollback would leave its transaction half undone, so in a cycle
// with a transaction that is not rolling back, that one gives way, whoever
// closed the cycle. Between two rollbacks the one that closes it is refused.
TEST_F(LockConcurrencyTest, ARollbackIsRefusedForADeadlockOnlyWhenNobodyElseCanGiveWay) {
    for (int rollbacks = 0; rollbacks < 4; ++rollbacks) {
        const bool firstRollsBack = (rollbacks & 1) != 0;
        const bool secondRollsBack = (rollbacks & 2) != 0;
        SCOPED_TRACE("first waiter rolls back: " + std::to_string(firstRollsBack) +
                     ", the one closing the cycle: " + std::to_string(secondRollsBack));
        Pipe ready1, ready2, go1, go2, result1, result2;
        const auto waitFor = [](LM& lm, SlotId slot, bool rollingBack) {
            std::unique_ptr<LM::RollbackScope> scope;
            if (rollingBack) {
                scope.reset(new LM::RollbackScope());
            }
            return exitCodeOf(codeOf([&] { lm.requestSlot(5, 1, slot, LM::ExclusiveLock); }));
        };
        ChildProcess t1(transaction([&](LM& lm) {
            lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
            ready1.send();
            go1.receive();
            result1.send(waitFor(lm, 2, firstRollsBack));
            return 0;
        }));
        ChildProcess t2(transaction([&](LM& lm) {
            lm.requestSlot(5, 1, 2, LM::ExclusiveLock);
            ready2.send();
            go2.receive();
            result2.send(waitFor(lm, 1, secondRollsBack));
            return 0;
        }));
        ASSERT_TRUE(ready1.receive());
        ASSERT_TRUE(ready2.receive());
        go1.send();
        ASSERT_TRUE(waitForWaiters(1));
        go2.send();
        // The one refused ends and so lets the other one through.
        const bool firstGivesWay = secondRollsBack && !firstRollsBack;
        int code1 = -1;
        int code2 = -1;
        ASSERT_TRUE(result1.receiveValue(code1));
        ASSERT_TRUE(result2.receiveValue(code2));
        EXPECT_EQ(firstGivesWay ? exitCodeOf(ORV_LM_DEADLOCK) : 0, code1);
        EXPECT_EQ(firstGivesWay ? 0 : exitCodeOf(ORV_LM_DEADLOCK), code2);
        EXPECT_EQ(0, t1.wait());
        EXPECT_EQ(0, t2.wait());
        EXPECT_EQ(0u, view->count());
        EXPECT_EQ(0u, view->usedWaiting());
    }
}

TEST_F(LockConcurrencyTest, RefusedTryRequestsLeaveNoWaitingEntryBehind) {
    Pipe ready1, ready2, go1, result1, end2;
    ChildProcess t1(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
        ready1.send();
        go1.receive();
        result1.send(exitCodeOf(codeOf([&] { lm.requestSlot(5, 1, 2, LM::ExclusiveLock); })));
        return 0;
    }));
    ASSERT_TRUE(ready1.receive());
    ChildProcess t2(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 2, LM::ExclusiveLock);
        // More refusals than there are waiting entries: each one's entry
        // must go when it ends, or the waiting list fills up.
        for (int i = 0; i < 150; ++i) {
            if (lm.tryRequestSlot(5, 1, 1, LM::SharedLock)) {
                return 1;
            }
        }
        // A try of a lock that is free is granted.
        if (!lm.tryRequestSlot(5, 1, 3, LM::SharedLock) ||
            !lm.tryRequestSegment(6, LM::ExclusiveLock)) {
            return 2;
        }
        // The segment carries t1's intention-exclusive entry.
        if (lm.tryRequestSegment(5, LM::SharedLock)) {
            return 3;
        }
        ready2.send();
        return end2.receive() ? 0 : 4;
    }));
    ASSERT_TRUE(ready2.receive());
    EXPECT_EQ(0u, view->usedWaiting());
    // t2 holds its two slot locks, the segment lock and their intentions.
    EXPECT_EQ(7u, view->entriesOf(t2.pid()));

    // t1 now waits for t2. A stale entry "t2 waits for t1" would make this
    // look like a deadlock.
    go1.send();
    ASSERT_TRUE(waitForWaiters(1));
    end2.send();
    int code = -1;
    ASSERT_TRUE(result1.receiveValue(code));
    EXPECT_EQ(0, code);
    EXPECT_EQ(0, t2.wait());
    EXPECT_EQ(0, t1.wait());
}

TEST_F(LockConcurrencyTest, ReleaseRemovesEveryWaitingEntryOfKilledWaiters) {
    Pipe ready, releaseNow, released;
    ChildProcess holder(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
        ready.send();
        releaseNow.receive();
        lm.releaseSlot(5, 1, 1);
        released.send();
        return 0;
    }));
    ASSERT_TRUE(ready.receive());
    ChildProcess waiter1(transaction([](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::SharedLock);
        return 0;
    }));
    ChildProcess waiter2(transaction([](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
        return 0;
    }));
    ASSERT_TRUE(waitForWaiters(2));
    // Killed outside the latch (the test holds it), so the latch stays sound.
    ASSERT_EQ(ORV_SUCCESS, view->header()->latch.get(OrvLatch::Exclusive));
    waiter1.kill(SIGKILL);
    waiter2.kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, waiter1.wait());
    EXPECT_EQ(128 + SIGKILL, waiter2.wait());
    ASSERT_EQ(ORV_SUCCESS, view->header()->latch.release());
    EXPECT_EQ(2u, view->usedWaiting());

    releaseNow.send();
    ASSERT_TRUE(released.receive());
    EXPECT_EQ(0u, view->usedWaiting());
    EXPECT_EQ(0, holder.wait());
    // The dead waiters' intention entries stay: nobody cleans up after them.
    EXPECT_EQ(4u, view->count());
}

TEST_F(LockConcurrencyTest, DatabaseLockAgainstOtherTransactions) {
    Pipe step, go1, go2, result;
    ChildProcess t1(transaction([&](LM& lm) {
        lm.requestDB(LM::ExclusiveLock);
        step.send();
        go1.receive();
        lm.releaseDB();
        lm.requestDB(LM::SharedLock);
        step.send();
        go1.receive();
        return 0;
    }));
    ASSERT_TRUE(step.receive());
    EXPECT_EQ(LM::DBExclusive, view->header()->dbRequestType);
    ChildProcess t2(transaction([&](LM& lm) {
        // Without entries of its own it cannot even try under an exclusive
        // database lock; a waiting request goes on once it is released.
        result.send(lm.tryRequestSlot(5, 1, 1, LM::SharedLock) ? 1 : 0);
        lm.requestSlot(5, 1, 1, LM::SharedLock);
        result.send(2);
        go2.receive();
        // Under a shared database lock of t1: shared requests go through,
        // an exclusive one is refused at once since t2 holds entries.
        lm.requestSlot(5, 1, 2, LM::SharedLock);
        result.send(3);
        result.send(exitCodeOf(codeOf([&] { lm.requestSlot(5, 1, 3, LM::ExclusiveLock); })));
        // A shared database lock beside t1's.
        lm.requestDB(LM::SharedLock);
        result.send(4);
        go2.receive();
        return 0;
    }));
    int value = -1;
    ASSERT_TRUE(result.receiveValue(value));
    EXPECT_EQ(0, value);
    EXPECT_FALSE(result.ready(BLOCKED_CHECK_MS));
    EXPECT_TRUE(waitForWaiters(1));
    go1.send(); // t1 moves to a shared database lock
    ASSERT_TRUE(step.receive());
    ASSERT_TRUE(result.receiveValue(value));
    EXPECT_EQ(2, value);
    go2.send();
    ASSERT_TRUE(result.receiveValue(value));
    EXPECT_EQ(3, value);
    ASSERT_TRUE(result.receiveValue(value));
    EXPECT_EQ(exitCodeOf(ORV_LM_LOCK_TIME_OUT), value);
    ASSERT_TRUE(result.receiveValue(value));
    EXPECT_EQ(4, value);
    EXPECT_EQ(2u, view->entriesOn(0, LM::NO_PAGE, LM::NO_SLOT, LM::SharedLock));
    EXPECT_EQ(0u, view->usedWaiting());

    // The state stays shared while one database entry remains.
    go1.send(); // t1 ends
    EXPECT_EQ(0, t1.wait());
    EXPECT_EQ(LM::DBShared, view->header()->dbRequestType);
    go2.send(); // t2 ends
    EXPECT_EQ(0, t2.wait());
    EXPECT_EQ(LM::DBNone, view->header()->dbRequestType);
    EXPECT_EQ(0u, view->count());
}

TEST_F(LockConcurrencyTest, ExclusiveDatabaseLockWaitsForOtherEntries) {
    Pipe ready, releaseNow, done;
    ChildProcess reader(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::SharedLock);
        ready.send();
        return releaseNow.receive() ? 0 : 1;
    }));
    ASSERT_TRUE(ready.receive());
    ChildProcess writer(transaction([&](LM& lm) {
        lm.requestDB(LM::ExclusiveLock);
        done.send();
        return 0;
    }));
    EXPECT_FALSE(done.ready(BLOCKED_CHECK_MS));
    EXPECT_TRUE(waitForWaiters(1));
    releaseNow.send();
    EXPECT_TRUE(done.receive());
    EXPECT_EQ(0, reader.wait());
    EXPECT_EQ(0, writer.wait());
    EXPECT_EQ(LM::DBNone, view->header()->dbRequestType);
}

TEST_F(LockConcurrencyTest, EndingProcessReleasesAllItsLocksAndWakesWaiters) {
    Pipe ready, end, done;
    ChildProcess holder(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
        lm.requestPage(5, 2, LM::ExclusiveLock);
        lm.requestDB(LM::SharedLock);
        if (OrvTransactionManager::getInstance()->startNewTransaction() != ORV_SUCCESS) {
            return 1;
        }
        // Another transaction: the shared database lock of the first lets
        // its shared request through.
        lm.requestSegment(9, LM::SharedLock);
        ready.send();
        return end.receive() ? 0 : 1;
    }));
    ASSERT_TRUE(ready.receive());
    // Slot, page, one intention-exclusive entry on the segment for both, one
    // on page 1, the database entry, and the second transaction's segment.
    EXPECT_EQ(6u, view->entriesOf(holder.pid()));
    ChildProcess waiter(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::SharedLock);
        lm.requestSegment(9, LM::SharedLock);
        done.send();
        return 0;
    }));
    EXPECT_TRUE(waitForWaiters(1));
    end.send(); // the holder deletes its manager: releaseAll
    EXPECT_TRUE(done.receive());
    EXPECT_EQ(0, holder.wait());
    EXPECT_EQ(0, waiter.wait());
    EXPECT_EQ(0u, view->count());
    EXPECT_EQ(LM::DBNone, view->header()->dbRequestType);
}

TEST_F(LockConcurrencyTest, ShortHoldsAmongSeveralProcessesNeverTimeOut) {
    // More processes than processors take turns on one slot. The waiters
    // give the processor away between attempts, so every holder finishes
    // its short hold and nobody reaches the time-out.
    constexpr int processes = 4;
    constexpr int rounds = 40;
    Pipe start;
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int p = 0; p < processes; ++p) {
        children.emplace_back(new ChildProcess(transaction([&](LM& lm) {
            start.receive();
            for (int round = 0; round < rounds; ++round) {
                const OrvErrorCode code = codeOf([&] {
                    lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
                    work(1000);
                    lm.releaseSlot(5, 1, 1);
                });
                if (code != ORV_SUCCESS) {
                    return exitCodeOf(code);
                }
            }
            return 0;
        })));
    }
    for (int p = 0; p < processes; ++p) {
        start.send();
    }
    for (auto& child : children) {
        EXPECT_EQ(0, child->wait(120000));
    }
    EXPECT_EQ(0u, view->count());
    EXPECT_EQ(0u, view->usedWaiting());
}

TEST_F(LockConcurrencyTest, WaitersGiveTheProcessorAwayBetweenAttempts) {
    // While the holder sleeps for 400 ms, each of two waiters may use only a
    // small part of that time on its processor: one that retried at once
    // would use all of it, and on a small machine keep the holder away.
    Pipe ready, result;
    ChildProcess holder(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
        ready.send();
        ready.send();
        timespec hold{0, 400 * 1000 * 1000};
        nanosleep(&hold, nullptr);
        return 0;
    }));
    std::vector<std::unique_ptr<ChildProcess>> waiters;
    for (int w = 0; w < 2; ++w) {
        waiters.emplace_back(new ChildProcess(transaction([&](LM& lm) {
            ready.receive();
            const std::clock_t before = std::clock();
            lm.requestSlot(5, 1, 1, LM::SharedLock);
            const long cpuMilliseconds = (std::clock() - before) * 1000 / CLOCKS_PER_SEC;
            result.send(static_cast<int>(cpuMilliseconds));
            return 0;
        })));
    }
    for (int w = 0; w < 2; ++w) {
        int cpuMilliseconds = -1;
        ASSERT_TRUE(result.receiveValue(cpuMilliseconds));
        EXPECT_LT(cpuMilliseconds, 100);
    }
    EXPECT_EQ(0, holder.wait());
    for (auto& waiter : waiters) {
        EXPECT_EQ(0, waiter->wait());
    }
}

TEST_F(LockConcurrencyTest, UpgradeAgainstAnotherSharedHolderTimesOutAfterTwentySeconds) {
    Pipe ready, result, end;
    ChildProcess other(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::SharedLock);
        ready.send();
        return end.receive(60000) ? 0 : 1;
    }));
    ASSERT_TRUE(ready.receive());
    ChildProcess upgrader(transaction([&](LM& lm) {
        lm.requestSlot(5, 1, 1, LM::SharedLock);
        const auto start = std::chrono::steady_clock::now();
        try {
            lm.requestSlot(5, 1, 1, LM::ExclusiveLock);
            return 1;
        } catch (const OrvException& e) {
            const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count() /
                                100;
            const bool tokens = e.getToken(1) == "exclusive" && e.getToken(2) == "5" &&
                                e.getToken(3) == "1" && e.getToken(4) == "1";
            result.send(e.getErrorCode() == ORV_LM_LOCK_TIME_OUT && tokens ? 0 : 2);
            result.send(static_cast<int>(tenths));
        }
        ready.send();
        return end.receive(60000) ? 0 : 3;
    }));
    EXPECT_TRUE(waitForWaiters(1));
    int value = -1;
    ASSERT_TRUE(result.receiveValue(value, 40000));
    EXPECT_EQ(0, value);
    ASSERT_TRUE(result.receiveValue(value));
    EXPECT_GE(value, 190); // more than 19 seconds
    EXPECT_LE(value, 230);
    ASSERT_TRUE(ready.receive());
    // Its shared lock and intentions stay; the exclusive attempt left nothing.
    EXPECT_EQ(3u, view->entriesOf(upgrader.pid()));
    EXPECT_EQ(0u, view->usedWaiting());
    end.send();
    end.send();
    EXPECT_EQ(0, other.wait());
    EXPECT_EQ(0, upgrader.wait());
}
