// Times a scope: starts a profiler's timer on construction and stops it on
// destruction, when timing is requested in the process
// (Timer::isTimingRequested); otherwise it does nothing, so the managers can
// leave their timers on the hot paths.
#ifndef ORV_PROFILING_SCOPED_TIMER_H
#define ORV_PROFILING_SCOPED_TIMER_H

#include "support/OrvTrace.h"
#include "support/profiling/Timer.h"

namespace support {

template <typename Profiler, typename Enumeration> class ScopedTimer {
public:
    // REQUIRES: profiler outlives this object.
    ScopedTimer(Profiler& profiler, Enumeration index)
        : profiler(profiler), index(index), timing(profiling::Timer::isTimingRequested()) {
        ORV_TRACE(Support);
        if (timing) {
            profiler.getMeasureValueReference(index, profiling::Timer()).startTimer();
        }
    }

    ~ScopedTimer() {
        ORV_TRACE(Support);
        if (!timing) {
            return;
        }
        // Looked up again rather than kept: the profiler's vector may have
        // moved since the start. The element exists by now, so nothing is
        // allocated and nothing can throw here.
        profiler.getMeasureValueReference(index, profiling::Timer()).stopTimer();
    }

    ScopedTimer(const ScopedTimer&) = delete;
    ScopedTimer& operator=(const ScopedTimer&) = delete;

private:
    Profiler& profiler;
    Enumeration index;
    // Whether this scope started its timer.
    bool timing;
};

} // namespace support

#endif
