// The integer B-tree against the unit of the hot paths, a bare pair of semop
// calls (orvbench::semopPair), measured in the same run. The argument is the
// number of keys in the index (10,000 or 100,000).
//
//   BM_Insert          inserts of shuffled unique keys into an empty index
//   BM_Find            point finds of keys in the index
//   BM_RangeScan       full scans; the counters are per key delivered
//   BM_Delete          deletes of half the keys (at most 50,000)
//   BM_InsertSegmentLocked / BM_FindSegmentLocked
//                      the same under an exclusive lock on the index
//                      segment, which covers every page lock
//   BM_IteratorScan    full scans through the index manager's iterator,
//                      which moves from leaf to leaf by exchanging its fix;
//                      the counters are per key delivered
//   BM_RollbackInserts the index manager's rollback of a transaction that
//                      inserted the argument's number of shuffled keys into
//                      an empty index (the inserts are not timed); the
//                      counters are per key undone
//
// Each benchmark runs in one transaction, committed at its end. "semop/op"
// counts the semop calls of the engine per operation (per key for the
// scan); divided by two it is the cost in semop pairs. "logB/op" is the
// growth of the log per operation, splits included.
#include "OrvBuffer.h"
#include "OrvException.h"
#include "OrvIndexManager.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvSystem.h"
#include "OrvTransaction.h"
#include "index/OrvIndexBTree.h"

#include "BenchDatabase.h"
#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

orvbench::Database& database() {
    static orvbench::Database instance;
    return instance;
}

IndexId nextIndex = 1;

OrvIndexKey key(Sint32 value) {
    OrvIndexKey k;
    k.dataType = INTEGER;
    k.intKey = value;
    return k;
}

std::vector<Sint32> shuffledKeys(long count) {
    std::vector<Sint32> keys(static_cast<std::size_t>(count));
    std::iota(keys.begin(), keys.end(), 0);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(42));
    return keys;
}

// A fresh unique index, committed; filled with the keys 0 .. count-1 in
// shuffled order when count > 0.
std::unique_ptr<OrvIndexBTree> freshIndex(long count) {
    database();
    const IndexId id = nextIndex++;
    OrvIndexBTree::createIndexSegment(id);
    std::unique_ptr<OrvIndexBTree> tree(new OrvIndexBTree());
    tree->initialTree(id, INTEGER, true);
    for (Sint32 k : shuffledKeys(count)) {
        tree->insertKey(key(k), TupleId(static_cast<PageId>(1 + k % 1000), 0));
    }
    OrvClientTransaction::commit();
    return tree;
}

void report(benchmark::State& state, long before, double perIteration = 1.0) {
    state.counters["semop/op"] = benchmark::Counter(
        static_cast<double>(orvbench::semopCalls - before) /
        (static_cast<double>(state.iterations() > 0 ? state.iterations() : 1) * perIteration));
    state.counters["ops/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * perIteration, benchmark::Counter::kIsRate);
}

void insertKeys(benchmark::State& state, bool segmentLocked) {
    std::unique_ptr<OrvIndexBTree> tree = freshIndex(0);
    if (segmentLocked) {
        OrvLockManager::getInstance()->requestSegment(tree->getSegmentId(),
                                                      OrvLockManager::ExclusiveLock);
    }
    const std::vector<Sint32> keys = shuffledKeys(state.range(0));
    std::size_t i = 0;
    const std::uintmax_t logBefore = database().logBytes();
    const long before = orvbench::semopCalls;
    for (auto _ : state) {
        tree->insertKey(key(keys[i]), TupleId(1, 0));
        ++i;
    }
    report(state, before);
    state.counters["logB/op"] =
        benchmark::Counter(static_cast<double>(database().logBytes() - logBefore) /
                           static_cast<double>(state.iterations()));
    OrvClientTransaction::commit();
}

void findKeys(benchmark::State& state, bool segmentLocked) {
    std::unique_ptr<OrvIndexBTree> tree = freshIndex(state.range(0));
    if (segmentLocked) {
        OrvLockManager::getInstance()->requestSegment(tree->getSegmentId(),
                                                      OrvLockManager::SharedLock);
    }
    const std::vector<Sint32> keys = shuffledKeys(state.range(0));
    std::size_t i = 0;
    TupleId tid;
    const long before = orvbench::semopCalls;
    for (auto _ : state) {
        if (tree->find(tree->getIndexId(), key(keys[i]), tid) != ORV_SUCCESS) {
            state.SkipWithError("a key was not found");
            break;
        }
        i = (i + 1) % keys.size();
    }
    report(state, before);
    OrvClientTransaction::commit();
}

void BM_Insert(benchmark::State& state) {
    insertKeys(state, false);
}

void BM_InsertSegmentLocked(benchmark::State& state) {
    insertKeys(state, true);
}

void BM_Find(benchmark::State& state) {
    findKeys(state, false);
}

void BM_FindSegmentLocked(benchmark::State& state) {
    findKeys(state, true);
}

void BM_RangeScan(benchmark::State& state) {
    std::unique_ptr<OrvIndexBTree> tree = freshIndex(state.range(0));
    long seen = 0;
    const long before = orvbench::semopCalls;
    for (auto _ : state) {
        seen = 0;
        tree->findRange(nullptr, nullptr, [&](Sint32, const TupleId&) {
            ++seen;
            return true;
        });
    }
    if (seen != state.range(0)) {
        state.SkipWithError("the scan missed keys");
    }
    report(state, before, static_cast<double>(state.range(0)));
    OrvClientTransaction::commit();
}

void BM_Delete(benchmark::State& state) {
    std::unique_ptr<OrvIndexBTree> tree = freshIndex(state.range(0));
    const std::vector<Sint32> keys = shuffledKeys(state.range(0));
    std::size_t i = 0;
    const long before = orvbench::semopCalls;
    for (auto _ : state) {
        const Sint32 k = keys[i];
        const TupleId tid(static_cast<PageId>(1 + k % 1000), 0);
        if (tree->deleteKey(tree->getIndexId(), key(k), &tid) != ORV_SUCCESS) {
            state.SkipWithError("a key was not deleted");
            break;
        }
        ++i;
    }
    report(state, before);
    OrvClientTransaction::commit();
}

void BM_IteratorScan(benchmark::State& state) {
    std::unique_ptr<OrvIndexBTree> tree = freshIndex(state.range(0));
    OrvIndexManager* im = OrvIndexManager::getInstance();
    im->openIndex(tree->getIndexId(), true, BTree, INTEGER);
    long seen = 0;
    const long before = orvbench::semopCalls;
    for (auto _ : state) {
        seen = 0;
        OrvIndexIterator* raw = nullptr;
        im->findRange(tree->getIndexId(), nullptr, nullptr, raw);
        std::unique_ptr<OrvIndexIterator> scan(raw);
        TupleId tid;
        while (scan->hasNext() && scan->getNextTupleId(tid) == ORV_SUCCESS) {
            ++seen;
        }
    }
    if (seen != state.range(0)) {
        state.SkipWithError("the scan missed keys");
    }
    report(state, before, static_cast<double>(state.range(0)));
    OrvClientTransaction::commit();
}

void BM_RollbackInserts(benchmark::State& state) {
    database();
    OrvIndexManager* im = OrvIndexManager::getInstance();
    const IndexId id = nextIndex++;
    im->createIndex(id, true, BTree, INTEGER);
    OrvClientTransaction::commit();
    const std::vector<Sint32> keys = shuffledKeys(state.range(0));
    long semops = 0;
    for (auto _ : state) {
        state.PauseTiming();
        OrvClientTransaction::begin();
        for (Sint32 k : keys) {
            im->insert(id, key(k), TupleId(static_cast<PageId>(1 + k % 1000), 0));
        }
        const long before = orvbench::semopCalls;
        state.ResumeTiming();
        im->rollback();
        state.PauseTiming();
        semops += orvbench::semopCalls - before;
        // The rest of the transaction's end (the index part finds nothing
        // more to undo).
        OrvClientTransaction::rollback();
        TupleId tid;
        OrvIndexKey first;
        bool empty = false;
        try {
            im->findFirstKey(id, first, tid);
        } catch (const OrvException& e) {
            empty = e.getErrorCode() == ORV_NOT_FOUND_WARN;
        }
        OrvClientTransaction::commit();
        if (!empty) {
            state.SkipWithError("the rollback left keys behind");
            break;
        }
        state.ResumeTiming();
    }
    const double undone = static_cast<double>(state.iterations()) * double(keys.size());
    state.counters["semop/op"] = benchmark::Counter(static_cast<double>(semops) / undone);
    state.counters["keys/s"] = benchmark::Counter(undone, benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_Insert)->Arg(10000)->Iterations(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Insert)->Arg(100000)->Iterations(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InsertSegmentLocked)->Arg(100000)->Iterations(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Find)->Arg(10000)->Iterations(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Find)->Arg(100000)->Iterations(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindSegmentLocked)->Arg(100000)->Iterations(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RangeScan)->Arg(10000)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RangeScan)->Arg(100000)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Delete)->Arg(10000)->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Delete)->Arg(100000)->Iterations(50000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IteratorScan)->Arg(100000)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RollbackInserts)->Arg(10000)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(orvbench::semopPair);
