// The latch alone, in one process, against a bare pair of semop calls
// (orvbench::semopPair) measured in the same run:
//
//   BM_LatchExclusive         get(Exclusive) + release(Exclusive): one semop
//                             call each when nobody else holds the latch
//   BM_LatchExclusiveTwoStep  getTwoStep(Exclusive) + release(): the protocol
//                             without the one-call attempt and with the
//                             probing release (four semop calls)
//   BM_LatchShared            get(Shared) + release(Shared)
//   BM_LatchSharedProbing     get(Shared) + release(), which tries the shared
//                             release first and so also needs one call
//   BM_ScopedExclusiveLatch   an OrvScopedExclusiveLatch made and destroyed,
//                             as every buffer and lock list operation does
#include "OrvError.h"
#include "OrvException.h"
#include "support/OrvLatch.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

namespace {

// A latch of its own for each benchmark; the set is removed at its end.
class LatchHolder {
public:
    LatchHolder() { ok = latch.initialize() == ORV_SUCCESS; }
    ~LatchHolder() { (void)latch.destroy(true); }
    LatchHolder(const LatchHolder&) = delete;
    LatchHolder& operator=(const LatchHolder&) = delete;

    OrvLatch latch;
    bool ok = false;
};

template <typename Body> void run(benchmark::State& state, Body body) {
    LatchHolder holder;
    if (!holder.ok) {
        state.SkipWithError("latch initialisation failed");
        return;
    }
    const long before = orvbench::semopCalls;
    for (auto _ : state) {
        if (!body(holder.latch)) {
            state.SkipWithError("latch operation failed");
            return;
        }
    }
    state.counters["semop/op"] = orvbench::semopsPerIteration(state, before);
}

void BM_LatchExclusive(benchmark::State& state) {
    run(state, [](OrvLatch& latch) {
        return latch.get(OrvLatch::Exclusive) == ORV_SUCCESS &&
               latch.release(OrvLatch::Exclusive) == ORV_SUCCESS;
    });
}

void BM_LatchExclusiveTwoStep(benchmark::State& state) {
    run(state, [](OrvLatch& latch) {
        return latch.getTwoStep(OrvLatch::Exclusive) == ORV_SUCCESS &&
               latch.release() == ORV_SUCCESS;
    });
}

void BM_LatchShared(benchmark::State& state) {
    run(state, [](OrvLatch& latch) {
        return latch.get(OrvLatch::Shared) == ORV_SUCCESS &&
               latch.release(OrvLatch::Shared) == ORV_SUCCESS;
    });
}

void BM_LatchSharedProbing(benchmark::State& state) {
    run(state, [](OrvLatch& latch) {
        return latch.get(OrvLatch::Shared) == ORV_SUCCESS && latch.release() == ORV_SUCCESS;
    });
}

void BM_ScopedExclusiveLatch(benchmark::State& state) {
    run(state, [](OrvLatch& latch) {
        try {
            OrvScopedExclusiveLatch scoped(latch);
            benchmark::ClobberMemory();
        } catch (const OrvException&) {
            return false;
        }
        return true;
    });
}

BENCHMARK(orvbench::semopPair);
BENCHMARK(BM_LatchExclusive);
BENCHMARK(BM_LatchExclusiveTwoStep);
BENCHMARK(BM_LatchShared);
BENCHMARK(BM_LatchSharedProbing);
BENCHMARK(BM_ScopedExclusiveLatch);

} // namespace
