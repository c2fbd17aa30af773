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

// semop calls made by this program so far. Every benchmark program that
// includes this header is linked with -Wl,--wrap=semop (bench/CMakeLists.txt), so the calls of the
// engine and of the benchmarks themselves pass through __wrap_semop below and are counted; a
// benchmark reports the calls per iteration as "semop/op".
inline long semopCalls = 0;

// Called with the set id of every semop call when set, so that a program can
// tell the calls on one latch from those on another.
inline void (*semopObserver)(int semid) = nullptr;

// Writes the program's total of semop calls to standard error at its end, so
// that the counting can be checked against an outside count (strace -c -f;
// a forked child that ends with _exit does not write, its calls are its own).
struct SemopTotalAtExit {
    ~SemopTotalAtExit() { std::fprintf(stderr, "semop calls of this process: %ld\n", semopCalls); }
};
inline SemopTotalAtExit semopTotalAtExit;

// The calls per iteration since `before` (a value of semopCalls), as a counter.
inline benchmark::Counter semopsPerIteration(const benchmark::State& state, long before) {
    return benchmark::Counter(static_cast<double>(semopCalls - before) /
                              static_cast<double>(state.iterations() > 0 ? state.iterations() : 1));
}

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
    const long before = semopCalls;
    for (auto _ : state) {
        semop(id, &take, 1);
        semop(id, &give, 1);
    }
    state.counters["semop/op"] = semopsPerIteration(state, before);
    semctl(id, 0, IPC_RMID);
}

} // namespace orvbench

// The wrapper the linker puts in place of semop (see semopCalls). Defined
// here, so each benchmark program (one source file each) has exactly one.
extern "C" int __real_semop(int semid, struct sembuf* sops, size_t nsops);
extern "C" int __wrap_semop(int semid, struct sembuf* sops, size_t nsops) {
    ++orvbench::semopCalls;
    if (orvbench::semopObserver != nullptr) {
        orvbench::semopObserver(semid);
    }
    return __real_semop(semid, sops, nsops);
}

#endif
