// The record operations against the unit of the hot paths, a bare pair of
// semop calls (orvbench::semopPair), measured in the same run. The argument
// is the number of records in the table (10,000 or 100,000); the figures
// per operation should not grow with it.
//
//   BM_Insert                inserts of 100-byte records, one transaction
//   BM_Get                   gets by tuple id (one transaction)
//   BM_GrowingReplace        10,000 replaces that grow records to 300 bytes
//   BM_Remove                removes (half the table, at most 50,000)
//   BM_OneRecordTransaction  1,000 transactions of one insert and a commit
//   BM_Scan                  full scans of the table, each in a transaction
//                            of its own ("semop/record", "records/s")
//
// "semop/op" counts the semop calls of the engine per operation; divided by
// two it is the operation's cost in semop pairs.
#include "OrvBuffer.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvRecord.h"
#include "OrvRecordIterator.h"
#include "OrvRecordManager.h"
#include "OrvSystem.h"
#include "OrvTransaction.h"
#include "log/OrvRecordLogEntry.h"

#include "BenchDatabase.h"
#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// One database for the whole run; each benchmark gets tables of its own.
orvbench::Database& database() {
    static orvbench::Database instance;
    return instance;
}

TableId nextTable = 1;

TableId freshTable() {
    database();
    const TableId table = nextTable++;
    OrvRecordManager::getInstance()->createTable(table);
    OrvClientTransaction::commit();
    return table;
}

std::vector<TupleId> fill(TableId table, long count, Uint16 length) {
    OrvRecordManager* rm = OrvRecordManager::getInstance();
    const std::string text(length, 'r');
    const OrvRecord record(text.data(), length);
    std::vector<TupleId> tids(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        rm->insert(record, table, tids[static_cast<std::size_t>(i)]);
    }
    OrvClientTransaction::commit();
    return tids;
}

void report(benchmark::State& state, long before) {
    state.counters["semop/op"] = orvbench::semopsPerIteration(state, before);
    state.counters["ops/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Insert(benchmark::State& state) {
    const TableId table = freshTable();
    OrvRecordManager* rm = OrvRecordManager::getInstance();
    const std::string text(100, 'i');
    const OrvRecord record(text.data(), 100);
    TupleId tid;
    const long before = orvbench::semopCalls;
    for (auto _ : state) {
        rm->insert(record, table, tid);
    }
    report(state, before);
    OrvClientTransaction::commit();
}

void BM_Get(benchmark::State& state) {
    const TableId table = freshTable();
    const std::vector<TupleId> tids = fill(table, state.range(0), 100);
    OrvRecordManager* rm = OrvRecordManager::getInstance();
    OrvRecord record;
    OrvRecord* target = &record;
    std::size_t i = 0;
    const long before = orvbench::semopCalls;
    for (auto _ : state) {
        rm->get(table, tids[i], target);
        i = (i + 1) % tids.size();
    }
    report(state, before);
    OrvClientTransaction::commit();
}

void BM_GrowingReplace(benchmark::State& state) {
    const TableId table = freshTable();
    const std::vector<TupleId> tids = fill(table, state.range(0), 100);
    OrvRecordManager* rm = OrvRecordManager::getInstance();
    const std::string text(300, 'g');
    const OrvRecord record(text.data(), 300);
    std::size_t i = 0;
    const long before = orvbench::semopCalls;
    for (auto _ : state) {
        rm->replace(table, tids[i], record);
        i = (i + 1) % tids.size();
    }
    report(state, before);
    OrvClientTransaction::commit();
}

void BM_Remove(benchmark::State& state) {
    const TableId table = freshTable();
    const std::vector<TupleId> tids = fill(table, state.range(0), 100);
    OrvRecordManager* rm = OrvRecordManager::getInstance();
    std::size_t i = 0;
    const long before = orvbench::semopCalls;
    for (auto _ : state) {
        rm->remove(table, tids[i]);
        i += 2;
    }
    report(state, before);
    OrvClientTransaction::commit();
}

void BM_OneRecordTransaction(benchmark::State& state) {
    const TableId table = freshTable();
    fill(table, state.range(0), 100);
    OrvRecordManager* rm = OrvRecordManager::getInstance();
    const std::string text(100, 't');
    const OrvRecord record(text.data(), 100);
    TupleId tid;
    const long before = orvbench::semopCalls;
    for (auto _ : state) {
        OrvClientTransaction::begin();
        rm->insert(record, table, tid);
        OrvClientTransaction::commit();
    }
    report(state, before);
}

// A full scan per iteration, in a transaction of its own (the commit, which
// gives back the page locks, is outside the figures). Every record is read.
void BM_Scan(benchmark::State& state) {
    const TableId table = freshTable();
    fill(table, state.range(0), 100);
    OrvRecordManager* rm = OrvRecordManager::getInstance();
    OrvRecord record;
    long scanned = 0;
    long semops = 0;
    for (auto _ : state) {
        const long before = orvbench::semopCalls;
        OrvRecordIterator* iterator = nullptr;
        rm->getRecordIterator(table, iterator);
        OrvRecord* target = &record;
        while (iterator->hasNext()) {
            if (iterator->getNext(target) != ORV_SUCCESS) {
                state.SkipWithError("getNext failed");
                break;
            }
            ++scanned;
        }
        delete iterator;
        semops += orvbench::semopCalls - before;
        state.PauseTiming();
        OrvClientTransaction::commit();
        state.ResumeTiming();
    }
    state.counters["semop/record"] =
        benchmark::Counter(static_cast<double>(semops) / static_cast<double>(scanned));
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(scanned), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_Insert)->Arg(10000)->Iterations(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Insert)->Arg(100000)->Iterations(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Get)->Arg(10000)->Iterations(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Get)->Arg(100000)->Iterations(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GrowingReplace)->Arg(10000)->Iterations(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GrowingReplace)->Arg(100000)->Iterations(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Remove)->Arg(10000)->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Remove)->Arg(100000)->Iterations(50000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OneRecordTransaction)->Arg(10000)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OneRecordTransaction)->Arg(100000)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Scan)->Arg(10000)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scan)->Arg(100000)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(orvbench::semopPair);

// ---- rollback ----------------------------------------------------------------------
//
//   BM_RollbackInserts  the rollback of a transaction of 10,000 inserts of
//                       100-byte records (OrvClientTransaction::rollback),
//                       after the argument's number of log entries of other
//                       transactions; figures per rolled-back record
//                       ("semop/record", "records/s"). The inserts are not
//                       timed.
namespace {

// Appends `count` record entries of a transaction of another process (a
// process id no process has) to the log.
void writeOtherEntries(long count) {
    const std::string image(100, 'o');
    const TupleId tid(1, 0);
    OrvLogManager* log = OrvLogManager::getInstance();
    for (long i = 0; i < count; ++i) {
        OrvRecordLogEntry entry(OrvTransactionId(-7, static_cast<Uint16>(i % 1000)), 1,
                                image.data(), 100, image.data(), 100, UPDATE, &tid, nullptr,
                                nullptr);
        log->createLogEntry(&entry);
    }
}

void BM_RollbackInserts(benchmark::State& state) {
    constexpr long RECORDS = 10000;
    const TableId table = freshTable();
    writeOtherEntries(state.range(0));
    OrvRecordManager* rm = OrvRecordManager::getInstance();
    const std::string text(100, 'b');
    const OrvRecord record(text.data(), 100);
    TupleId tid;
    long semops = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (long i = 0; i < RECORDS; ++i) {
            rm->insert(record, table, tid);
        }
        const long before = orvbench::semopCalls;
        state.ResumeTiming();
        OrvClientTransaction::rollback();
        semops += orvbench::semopCalls - before;
    }
    const double records = static_cast<double>(state.iterations()) * RECORDS;
    state.counters["semop/record"] = benchmark::Counter(static_cast<double>(semops) / records);
    state.counters["records/s"] = benchmark::Counter(records, benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_RollbackInserts)->Arg(0)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RollbackInserts)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RollbackInserts)->Arg(500000)->Iterations(3)->Unit(benchmark::kMillisecond);
