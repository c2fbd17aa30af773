// Creation and removal of a shared memory set together with the latch that
// lies at the start of its data and serialises every process using the set.
//
// Used by the start and stop sequence of all three sets; the managers that own
// a set fill its contents through the init function while the creating
// process is attached, and take their last look at it through the
// beforeRemoval function of destroy.
#ifndef ORV_SHARED_SET_H
#define ORV_SHARED_SET_H

#include "support/OrvLatch.h"
#include "support/OrvMemoryManager.h"

#include <functional>

namespace OrvSharedSet {

// Creates the set exclusively, initialises its latch (a new semaphore set) at
// offset 0 of the data, runs init(data) and detaches. On failure the new
// semaphore set and memory set are removed again and the exception goes on.
void create(OrvMemoryManager::MemorySet set, const std::function<void(void* data)>& init = {});

// Runs on the data of a set about to be removed. latchHeld tells whether the
// caller holds the set's latch exclusively (it may not, in a forced removal
// whose latch is unusable). Throwing keeps the set (unless force).
using BeforeRemoval = std::function<void(void* data, bool latchHeld)>;

// The one removal of a set: attaches (or uses this process's attachment),
// which checks that the set belongs to the database directory and its owner;
// frees the latch when a process that died holds it exclusively (nobody else
// ever would); then
//   - with beforeRemoval: takes the latch exclusively, waiting for its
//     holders, runs beforeRemoval, and removes the latch while holding it;
//   - without: removes the latch, first waiting for its holders unless force;
// and finally removes the memory set. Without force any failure throws and
// leaves the set in place; with force a latch that cannot be taken or removed
// and a failing beforeRemoval (its first failure is traced) do not stop the
// removal of the memory set. Throws ORV_MM_SHM_NOT_EXISTS when the set does
// not exist, and whatever the attach throws.
void destroy(OrvMemoryManager::MemorySet set, bool force, const BeforeRemoval& beforeRemoval = {});

} // namespace OrvSharedSet

#endif
