// Creation and removal of a shared memory set together with the latch that
// lies at the start of its data and serialises every process using the set.
//
// Used by the start and stop sequence; the managers that own a set fill its
// contents through the init function while the creating process is attached.
#ifndef ORV_SHARED_SET_H
#define ORV_SHARED_SET_H

#include "support/OrvMemoryManager.h"

#include <functional>

namespace OrvSharedSet {

// Creates the set exclusively, initialises its latch (a new semaphore set) at
// offset 0 of the data, runs init(data) and detaches. On failure the new
// semaphore set and memory set are removed again and the exception goes on.
void create(OrvMemoryManager::MemorySet set, const std::function<void(void* data)>& init = {});

// Removes the semaphore set of the set's latch (waiting for its holders unless
// force), then the memory set. Throws when the set does not exist.
void destroy(OrvMemoryManager::MemorySet set, bool force);

} // namespace OrvSharedSet

#endif
