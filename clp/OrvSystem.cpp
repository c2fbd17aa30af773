#include "OrvSystem.h"

#include "OrvError.h"
#include "OrvException.h"
#include "file/OrvFileManager.h"
#include "support/OrvMemoryManager.h"
#include "support/OrvSharedSet.h"
#include "support/OrvTrace.h"

#include <memory>

// Each step of the start and the stop lives in one function below; a manager
// that owns a shared set takes over its steps by calling its own
// initialise / destroy / in-use operations from there.
namespace {

// ---- start steps, in this order --------------------------------------------

// The lock list goes first, so that a second start on a running engine fails
// before it touches anything else.
void startLockList() { OrvSharedSet::create(OrvMemoryManager::LockList); }

void startBufferPool() { OrvSharedSet::create(OrvMemoryManager::BufferPool); }

void startLogFileHandling() { OrvSharedSet::create(OrvMemoryManager::LogFileHandling); }

// ---- in-use checks of a stop without force ---------------------------------

void checkLockListInUse(bool& /*inUse*/) {}

void checkBufferPoolInUse(bool& /*inUse*/) {}

// ---- stop steps, in this order -----------------------------------------------

// The lock list goes first, so that no new transaction can begin while the
// rest is taken down; the buffer pool last.
void destroyLockList(bool force) { OrvSharedSet::destroy(OrvMemoryManager::LockList, force); }

void destroyLogFileHandling(bool force) {
    OrvSharedSet::destroy(OrvMemoryManager::LogFileHandling, force);
}

void destroyBufferPool(bool force) { OrvSharedSet::destroy(OrvMemoryManager::BufferPool, force); }

} // namespace

void OrvSystem::start() {
    ORV_TRACE(CommandLine);
    startLockList();
    startBufferPool();
    startLogFileHandling();
}

void OrvSystem::stop(bool force) {
    ORV_TRACE(CommandLine);
    if (!force) {
        bool inUse = false;
        checkLockListInUse(inUse);
        if (!inUse) {
            checkBufferPoolInUse(inUse);
        }
        if (inUse) {
            ORV_THROW(ORV_SYSTEM_STOP_IN_USE);
        }
    }
    // Every set that exists is removed even when another one cannot be, so that
    // what is left of a failed start or a crashed process can be cleaned up;
    // the first failure is reported once all sets were tried. A forced stop
    // skips sets that are already gone and fails only when none existed.
    void (*const steps[])(bool) = {destroyLockList, destroyLogFileHandling, destroyBufferPool};
    std::unique_ptr<OrvException> first;
    std::unique_ptr<OrvException> firstMissing;
    bool removedAny = false;
    for (auto step : steps) {
        try {
            step(force);
            removedAny = true;
        } catch (const OrvException& e) {
            bool gone = e.getErrorCode() == ORV_MM_SHM_NOT_EXISTS;
            std::unique_ptr<OrvException>& slot = (force && gone) ? firstMissing : first;
            if (!slot) {
                slot.reset(new OrvException(e));
            }
        }
    }
    if (!first && !removedAny) {
        first = std::move(firstMissing);
    }
    if (first) {
        throw OrvException(*first);
    }
    OrvError::getErrorObject()->setError(CommandLine, ORV_SUCCESS);
}

void OrvSystem::stopAllManagers() {
    ORV_TRACE(CommandLine);
    // Users of a manager go before it: catalog, record, index, lock, log and
    // buffer managers join this list, in that order, ahead of the file manager.
    OrvFileManager::deleteInstance();
}
