#include "OrvSystem.h"

#include "OrvError.h"
#include "OrvException.h"
#include "file/OrvFileManager.h"
#include "support/OrvMemoryManager.h"
#include "support/OrvSharedSet.h"
#include "support/OrvTrace.h"

#include <iterator>
#include <memory>

namespace {

typedef OrvMemoryManager::MemorySet MemorySet;

// The sets in the order the start creates them: the lock list first, so that a
// second start on a running engine fails before it touches anything else.
// Each set's manager fills its contents as the set is made.
const MemorySet startOrder[] = {OrvMemoryManager::LockList, OrvMemoryManager::BufferPool,
                                OrvMemoryManager::LogFileHandling};

// Removal order: the lock list first, so that no new transaction can begin
// while the rest is taken down; the buffer pool last.
const MemorySet stopOrder[] = {OrvMemoryManager::LockList, OrvMemoryManager::LogFileHandling,
                               OrvMemoryManager::BufferPool};

} // namespace

void OrvSystem::start() {
    ORV_TRACE(CommandLine);
    for (MemorySet set : startOrder) {
        OrvSharedSet::create(set);
    }
}

void OrvSystem::stop(bool force) {
    ORV_TRACE(CommandLine);
    // Every set that exists is removed even when another one cannot be, so that
    // what is left of a failed start or a crashed process can be cleaned up;
    // the first failure is reported once all sets were tried. A forced stop
    // skips sets that are already gone and fails only when none existed.
    std::unique_ptr<OrvException> first;
    int missing = 0;
    for (MemorySet set : stopOrder) {
        try {
            OrvSharedSet::destroy(set, force);
        } catch (const OrvException& e) {
            bool gone = e.getErrorCode() == ORV_MM_SHM_NOT_EXISTS;
            missing += gone ? 1 : 0;
            if (!first && !(force && gone)) {
                first.reset(new OrvException(e));
            }
            if (force && gone && missing == static_cast<int>(std::size(stopOrder))) {
                throw;
            }
        }
    }
    if (first) {
        throw OrvException(*first);
    }
    OrvError::getErrorObject()->setError(CommandLine, ORV_SUCCESS);
}

void OrvSystem::stopAllManagers() {
    ORV_TRACE(CommandLine);
    // Order: the users of a manager go before it. The catalog, record, index,
    // lock, log and buffer managers join this list ahead of the file manager.
    OrvFileManager::deleteInstance();
}
