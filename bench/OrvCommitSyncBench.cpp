// The cost of a commit with and without ORV_LOG_SYNC=commit, against the
// unit of the hot paths, a bare pair of semop calls (orvbench::semopPair),
// measured in the same run.
//
//   BM_CommitOneInsert/0   a transaction of one 100-byte insert and its
//                          commit, the log not synced (the default)
//   BM_CommitOneInsert/1   the same with the COMMIT entry synced (fdatasync)
//   BM_EmptyCommit/0, /1   a commit of a transaction that wrote one entry
//                          and nothing else: the sync's share alone
//
// The synced figures depend on the device under the database directory
// (the working directory's file system): on a disk with a volatile cache
// that honours flushes they are milliseconds, on tmpfs they cost nothing.
#include "OrvLog.h"
#include "OrvRecord.h"
#include "OrvRecordManager.h"
#include "OrvTransaction.h"

#include "BenchDatabase.h"
#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

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

OrvLogManager::SyncMode modeOf(const benchmark::State& state) {
    return state.range(0) != 0 ? OrvLogManager::SyncMode::Commit : OrvLogManager::SyncMode::None;
}

void BM_CommitOneInsert(benchmark::State& state) {
    const TableId table = freshTable();
    OrvLogManager::setSyncMode(modeOf(state));
    OrvRecordManager* rm = OrvRecordManager::getInstance();
    const std::string text(100, 'c');
    const OrvRecord record(text.data(), 100);
    TupleId tid;
    const long before = orvbench::semopCalls;
    for (auto _ : state) {
        rm->insert(record, table, tid);
        OrvClientTransaction::commit();
    }
    state.counters["semop/op"] = orvbench::semopsPerIteration(state, before);
    OrvLogManager::setSyncMode(OrvLogManager::SyncMode::None);
}
BENCHMARK(BM_CommitOneInsert)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_EmptyCommit(benchmark::State& state) {
    database();
    OrvLogManager::setSyncMode(modeOf(state));
    for (auto _ : state) {
        OrvClientTransaction::commit();
    }
    OrvLogManager::setSyncMode(OrvLogManager::SyncMode::None);
}
BENCHMARK(BM_EmptyCommit)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

BENCHMARK(orvbench::semopPair);

} // namespace
