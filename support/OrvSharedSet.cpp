#include "support/OrvSharedSet.h"

#include "OrvError.h"
#include "OrvException.h"
#include "support/OrvLatch.h"
#include "support/OrvTrace.h"

namespace OrvSharedSet {

void create(OrvMemoryManager::MemorySet set, const std::function<void(void* data)>& init) {
    ORV_TRACE(Support);
    OrvMemoryManager* mm = OrvMemoryManager::getMemoryManager();
    mm->createMemorySet(set);
    void* data = nullptr;
    OrvLatch* latch = nullptr;
    try {
        mm->connectToMemorySet(set, data);
        latch = static_cast<OrvLatch*>(data);
        ORV_RAISE(latch->initialize());
        if (init) {
            init(data);
        }
        mm->disconnectFromMemorySet(set);
    } catch (const OrvException&) {
        // Leave nothing half made behind: a set without a working latch would
        // make every later start fail until someone removed it by hand.
        if (latch != nullptr) {
            (void)latch->destroy(true);
        }
        try {
            if (data != nullptr) {
                mm->disconnectFromMemorySet(set);
            }
            mm->destroyMemorySet(set);
        } catch (const OrvException&) {
            orvTrace.traceString(1, "could not remove a half created memory set");
        }
        throw;
    }
}

void destroy(OrvMemoryManager::MemorySet set, bool force) {
    ORV_TRACE(Support);
    OrvMemoryManager* mm = OrvMemoryManager::getMemoryManager();
    void* data = nullptr;
    mm->connectToMemorySet(set, data);
    OrvErrorCode rc = static_cast<OrvLatch*>(data)->destroy(force);
    mm->disconnectFromMemorySet(set);
    ORV_RAISE(rc);
    mm->destroyMemorySet(set);
}

} // namespace OrvSharedSet
