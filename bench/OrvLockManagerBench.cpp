// Request and release of an uncontended exclusive slot lock (with its two
// intention locks), against the cost of the lock list latch it takes.
//
// One iteration is requestSlot + releaseSlot: five exclusive latch holds
// (the database gate, the segment intention, the page intention, the slot
// itself, the release). BM_LatchOnly takes and gives back the latch five
// times: the floor of an iteration. BM_SlotLockWithHeldLocks holds N shared
// slot locks of the same transaction beforehand, in the same segment (so
// their intention entries share the bucket of the segment entry the
// iteration walks) or in another segment (other buckets).
#include "OrvError.h"
#include "OrvException.h"
#include "OrvLock.h"
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

void holdSharedSlotLocks(OrvLockManager& lm, SegmentId segment, Uint32 count) {
    for (Uint32 i = 0; i < count; ++i) {
        lm.requestSlot(segment, static_cast<PageId>(i / SLOTS_PER_PAGE),
                       static_cast<SlotId>(i % SLOTS_PER_PAGE), OrvLockManager::SharedLock);
    }
}

void BM_LatchOnly(benchmark::State& state) {
    OrvLatch& latch = listLatch();
    for (auto _ : state) {
        for (int i = 0; i < 5; ++i) {
            if (latch.get(OrvLatch::Exclusive) != ORV_SUCCESS || latch.release() != ORV_SUCCESS) {
                state.SkipWithError("latch failed");
                return;
            }
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LatchOnly);

void runSlotLock(benchmark::State& state, SegmentId heldIn) {
    OrvLockManager& lm = lockManager();
    const Uint32 held = static_cast<Uint32>(state.range(0));
    try {
        holdSharedSlotLocks(lm, heldIn, held);
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
    state.counters["entriesHeld"] = 3.0 * held;
}

void BM_SlotLockWithHeldLocks(benchmark::State& state) {
    runSlotLock(state, SEGMENT);
}
BENCHMARK(BM_SlotLockWithHeldLocks)->Arg(0)->Arg(100)->Arg(1000)->Arg(3000)->Arg(10000);

void BM_SlotLockWithHeldLocksElsewhere(benchmark::State& state) {
    runSlotLock(state, OTHER_SEGMENT);
}
BENCHMARK(BM_SlotLockWithHeldLocksElsewhere)->Arg(10000);

} // namespace
