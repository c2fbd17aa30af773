// A timer that accumulates the time of its measurements in microseconds, read
// from the monotonic clock.
//
// Per process and unsynchronised: each manager keeps its own timers.
//
// The timers that the managers place on their hot paths (ScopedTimer) measure
// only when timing was asked for in the process: by setting ORV_PERF_FILE (the
// request for per-function timings, read once at the first scoped timer) or by
// setTimingRequested. Otherwise a scoped timer costs one load and one test, not
// two clock reads. Timers started and stopped directly always measure.
//
// Misuse (starting a running timer, stopping one that does not run, reading
// or rendering one that runs) records ORV_INTERNAL_FAIL in the error object
// with a trace record, and the operation carries on.
#ifndef ORV_PROFILING_TIMER_H
#define ORV_PROFILING_TIMER_H

#include "OrvError.h"
#include "support/OrvTrace.h"

#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <string>

namespace support {
namespace profiling {

class Timer {
public:
    Timer() = default;

    // Records the start of a measurement. A timer that already runs is
    // restarted from now.
    void startTimer() {
        ORV_TRACE(Support);
        if (running) {
            recordMisuse(__LINE__, __PRETTY_FUNCTION__);
        }
        startTime = now();
        started = true;
        running = true;
    }

    // Adds the time since the last start to the accumulated time and returns
    // it. A timer that does not run still adds the time since its last start;
    // one that was never started adds nothing.
    std::size_t stopTimer() {
        ORV_TRACE(Support);
        if (!running) {
            recordMisuse(__LINE__, __PRETTY_FUNCTION__);
        }
        std::size_t elapsed = 0;
        if (started) {
            std::size_t end = now();
            elapsed = end > startTime ? end - startTime : 0;
        }
        accumulated += elapsed;
        running = false;
        return elapsed;
    }

    // The accumulated time in microseconds. A running timer's current
    // measurement is not in it yet, so reading one is a misuse.
    std::size_t getAccumulatedTimer() const {
        ORV_TRACE(Support);
        if (running) {
            recordMisuse(__LINE__, __PRETTY_FUNCTION__);
        }
        return accumulated;
    }

    bool isRunning() const {
        ORV_TRACE(Support);
        return running;
    }

    // <name unit="microseconds">accumulated</name>, without a line break.
    std::string getXML(const std::string& name) const {
        ORV_TRACE(Support);
        if (running) {
            recordMisuse(__LINE__, __PRETTY_FUNCTION__);
        }
        return "<" + name + " unit=\"microseconds\">" + std::to_string(accumulated) + "</" + name +
               ">";
    }

    static const char* getTypeName() {
        ORV_TRACE(Support);
        return "Timers";
    }

    // Whether the scoped timers of this process measure (see above).
    static bool isTimingRequested() {
        if (timingRequested < 0) {
            const char* perfFile = std::getenv("ORV_PERF_FILE");
            timingRequested = perfFile != nullptr && perfFile[0] != '\0' ? 1 : 0;
        }
        return timingRequested > 0;
    }
    // Turns the scoped timers of this process on or off, whatever the
    // environment says. A scoped timer already running finishes its
    // measurement.
    static void setTimingRequested(bool requested) { timingRequested = requested ? 1 : 0; }
    // Forgets the decision: the next scoped timer reads the environment again.
    static void clearTimingRequest() { timingRequested = -1; }

private:
    // -1 until decided, then 0 or 1.
    inline static int timingRequested = -1;

    static std::size_t now() {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::size_t>(ts.tv_sec) * 1000000u +
               static_cast<std::size_t>(ts.tv_nsec) / 1000u;
    }

    static void recordMisuse(Uint32 line, const char* function) {
        OrvError* error = OrvError::getErrorObject();
        error->setError(Support, ORV_INTERNAL_FAIL);
        error->addTraceRecord(__FILE__, function, line);
    }

    std::size_t accumulated = 0;
    std::size_t startTime = 0;
    bool running = false;
    // False until the first start: stopping a timer that never ran has no
    // start time to measure from.
    bool started = false;
};

} // namespace profiling
} // namespace support

#endif
