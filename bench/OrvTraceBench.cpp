// Cost of a trace scope with tracing off (no ORV_TRACE_FILE, no ORV_PERF_FILE):
// an empty function with and without ORV_TRACE. The difference is what every
// public operation of the engine pays for being traceable.
#include "support/OrvTrace.h"

#include <benchmark/benchmark.h>
#include <cstdlib>

namespace {

__attribute__((noinline)) void emptyFunction() {
    benchmark::ClobberMemory();
}

__attribute__((noinline)) void tracedFunction() {
    ORV_TRACE(Support);
    benchmark::ClobberMemory();
}

void BM_EmptyFunction(benchmark::State& state) {
    for (auto _ : state) {
        emptyFunction();
    }
}
BENCHMARK(BM_EmptyFunction);

void BM_EmptyFunctionWithTraceScope(benchmark::State& state) {
    if (std::getenv("ORV_TRACE_FILE") != nullptr || std::getenv("ORV_PERF_FILE") != nullptr) {
        state.SkipWithError("unset ORV_TRACE_FILE and ORV_PERF_FILE: this measures tracing off");
        return;
    }
    for (auto _ : state) {
        tracedFunction();
    }
}
BENCHMARK(BM_EmptyFunctionWithTraceScope);

} // namespace
