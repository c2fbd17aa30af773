// The lock manager's hot paths against a bare semop pair measured in the
// same run (orvbench::semopPair), and against one hold of the lock list
// latch (BM_LatchHold).
//
// BM_SlotLock: requestSlot (exclusive, with its two intention locks) and
// releaseSlot, while the transaction holds N shared slot locks beforehand in
// the same segment (their entries share the buckets the iteration walks).
// BM_SlotLockBesideAnother: the same while another transaction of the
// process holds one lock elsewhere, so that the request has to walk the
// buckets of the segment, the page and the slot for entries of others.
// BM_CoveredPageRequest: a page request covered by the transaction's
// exclusive segment lock.
//
// Set ORV_BENCH_ITERATIONS to run every benchmark exactly that many times
// (for counting system calls with strace: compare a run with 1 and one with
// 1 + n iterations).
#include "OrvError.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvTransaction.h"
#include "lock/OrvLockList.h"
#include "support/OrvMemoryManager.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

constexpr SegmentId SEGMENT = 5;
constexpr SegmentId OTHER_SEGMENT = 6;
constexpr PageId PAGE = 60000;
constexpr SlotId SLOT = 1;
constexpr SlotId SLOTS_PER_PAGE = 200;

// A database directory with a lock list, removed again at the end.
class Database {
public:
    Database() {
        directory = orvbench::makeDatabaseDirectory();
        try {
            OrvLockManager::initializeLockList();
            OrvLockManager::getInstance();
        } catch (const OrvException& e) {
            e.print_message(std::cerr);
            std::exit(1);
        }
    }
    ~Database() {
        OrvLockManager::deleteInstance();
        try {
            OrvLockManager::destroyLockList(true);
        } catch (const OrvException& e) {
            e.print_message(std::cerr);
        }
        ::rmdir(directory.c_str());
    }
    std::string directory;
};

OrvLockManager& lockManager() {
    static Database db;
    return *OrvLockManager::getInstance();
}

// The lock list's latch, through an attachment of its own.
OrvLatch& listLatch() {
    static OrvLockManager::Header* header = [] {
        lockManager();
        const key_t key = ftok(std::getenv("ORV_DATABASE_PATH"), OrvMemoryManager::LockList);
        void* segment = shmat(shmget(key, 0, 0), nullptr, 0);
        return reinterpret_cast<OrvLockManager::Header*>(static_cast<char*>(segment) +
                                                         OrvMemoryManager::DATA_OFFSET);
    }();
    return header->latch;
}

void fixedIterations(benchmark::internal::Benchmark* b) {
    const char* iterations = std::getenv("ORV_BENCH_ITERATIONS");
    if (iterations != nullptr) {
        b->Iterations(std::atoll(iterations));
    }
}

void holdSharedSlotLocks(OrvLockManager& lm, SegmentId segment, Uint32 count) {
    for (Uint32 i = 0; i < count; ++i) {
        lm.requestSlot(segment, static_cast<PageId>(i / SLOTS_PER_PAGE),
                       static_cast<SlotId>(i % SLOTS_PER_PAGE), OrvLockManager::SharedLock);
    }
}

BENCHMARK(orvbench::semopPair)->Apply(fixedIterations);

void BM_LatchHold(benchmark::State& state) {
    OrvLatch& latch = listLatch();
    for (auto _ : state) {
        if (latch.get(OrvLatch::Exclusive) != ORV_SUCCESS ||
            latch.release(OrvLatch::Exclusive) != ORV_SUCCESS) {
            state.SkipWithError("latch failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LatchHold)->Apply(fixedIterations);

void runSlotLock(benchmark::State& state, bool besideAnother) {
    OrvLockManager& lm = lockManager();
    const Uint32 held = static_cast<Uint32>(state.range(0));
    try {
        if (besideAnother) {
            lm.requestSegment(OTHER_SEGMENT, OrvLockManager::SharedLock);
            if (OrvTransactionManager::getInstance()->startNewTransaction() != ORV_SUCCESS) {
                state.SkipWithError("no new transaction");
                return;
            }
        }
        holdSharedSlotLocks(lm, SEGMENT, held);
        for (auto _ : state) {
            lm.requestSlot(SEGMENT, PAGE, SLOT, OrvLockManager::ExclusiveLock);
            lm.releaseSlot(SEGMENT, PAGE, SLOT);
        }
        lm.releaseAll();
    } catch (const OrvException& e) {
        state.SkipWithError(e.what());
        return;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_SlotLock(benchmark::State& state) {
    runSlotLock(state, false);
}
BENCHMARK(BM_SlotLock)->Arg(0)->Arg(1000)->Arg(10000)->Apply(fixedIterations);

void BM_SlotLockBesideAnother(benchmark::State& state) {
    runSlotLock(state, true);
}
BENCHMARK(BM_SlotLockBesideAnother)->Arg(0)->Arg(1000)->Arg(10000)->Apply(fixedIterations);

void BM_CoveredPageRequest(benchmark::State& state) {
    OrvLockManager& lm = lockManager();
    try {
        lm.requestSegment(SEGMENT, OrvLockManager::ExclusiveLock);
        for (auto _ : state) {
            lm.requestPage(SEGMENT, PAGE, OrvLockManager::SharedLock);
        }
        lm.releaseAll();
    } catch (const OrvException& e) {
        state.SkipWithError(e.what());
        return;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CoveredPageRequest)->Apply(fixedIterations);

} // namespace
