// The buffer manager's profiler: physical and logical page reads, and the time
// spent getting pages and flushing them.
// Per process: each buffer manager keeps its own; the figures are not shared.
#ifndef ORV_BUFFER_MANAGER_PROFILING_H
#define ORV_BUFFER_MANAGER_PROFILING_H

#include "support/OrvTrace.h"
#include "support/profiling/Counter.h"
#include "support/profiling/ScopedTimer.h"
#include "support/profiling/Timer.h"
#include "support/profiling/VectorOfMeasures.h"

namespace OrvBufferManagerProfiling {

enum BufferManagerCounters { PhysicalReads = 0, LogicalReads = 1 };

enum BufferManagerTimers {
    GetPageTime = 0,
    GetNewPageTime = 1,
    GetFlushAllTime = 2,
    GetFlushSinglePageTime = 3
};

// Renders a Counters block followed by a Timers block.
class Profiler : public support::VectorOfCounters<BufferManagerCounters,
                                                  support::VectorOfTimers<BufferManagerTimers>> {
public:
    Profiler() {
        ORV_TRACE(BufferManager);
        const support::profiling::Counter counter;
        setElementName(PhysicalReads, "OrvBufferManagerProfiling::PhysicalReads", counter);
        setElementName(LogicalReads, "OrvBufferManagerProfiling::LogicalReads", counter);
        const support::profiling::Timer timer;
        setElementName(GetPageTime, "OrvBufferManagerProfiling::GetPageTime", timer);
        setElementName(GetNewPageTime, "OrvBufferManagerProfiling::GetNewPageTime", timer);
        setElementName(GetFlushAllTime, "OrvBufferManagerProfiling::GetFlushAllTime", timer);
        setElementName(GetFlushSinglePageTime, "OrvBufferManagerProfiling::GetFlushSinglePageTime",
                       timer);
    }
};

typedef support::ScopedTimer<Profiler, BufferManagerTimers> ScopedTimer;

} // namespace OrvBufferManagerProfiling

#endif
