// The lock manager's profiler: the time spent requesting and releasing locks.
// Per process: each lock manager keeps its own; the figures are not shared.
#ifndef ORV_LOCK_MANAGER_PROFILING_H
#define ORV_LOCK_MANAGER_PROFILING_H

#include "support/OrvTrace.h"
#include "support/profiling/ScopedTimer.h"
#include "support/profiling/Timer.h"
#include "support/profiling/VectorOfMeasures.h"

namespace OrvLockManagerProfiling {

enum LockManagerTimers { GetRequestTime = 0, GetReleaseTime = 1 };

class Profiler : public support::VectorOfTimers<LockManagerTimers> {
public:
    Profiler() {
        ORV_TRACE(LockManager);
        const support::profiling::Timer timer;
        setElementName(GetRequestTime, "OrvLockManagerProfiling::GetRequestTime", timer);
        setElementName(GetReleaseTime, "OrvLockManagerProfiling::GetReleaseTime", timer);
    }
};

typedef support::ScopedTimer<Profiler, LockManagerTimers> ScopedTimer;

} // namespace OrvLockManagerProfiling

#endif
