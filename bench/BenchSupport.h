// Helpers shared by the benchmarks.
#ifndef ORV_BENCH_SUPPORT_H
#define ORV_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>

namespace orvbench {

// Makes a fresh database directory under /tmp and points ORV_DATABASE_PATH at
// it. Ends the process when the directory cannot be made: a benchmark without
// its database would measure nothing.
inline std::string makeDatabaseDirectory() {
    char pattern[] = "/tmp/orv-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    setenv("ORV_DATABASE_PATH", pattern, 1);
    return pattern;
}

// The unit every hot-path figure is read against: a bare pair of semop calls
// (take and give back one semaphore of a private set), the least that any
// operation on a latch costs. Register it in each benchmark program with
// BENCHMARK(orvbench::semopPair) so the unit is measured in the same run.
inline void semopPair(benchmark::State& state) {
    const int id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    if (id < 0) {
        state.SkipWithError("semget failed");
        return;
    }
    sembuf give{0, 1, 0};
    sembuf take{0, -1, 0};
    semop(id, &give, 1);
    for (auto _ : state) {
        semop(id, &take, 1);
        semop(id, &give, 1);
    }
    semctl(id, 0, IPC_RMID);
}

} // namespace orvbench

#endif
