#include "OrvSystem.h"

#include "OrvBuffer.h"
#include "OrvError.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "file/OrvFileManager.h"
#include "record/OrvRecordManager.h"
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
void startLockList() {
    OrvLockManager::initializeLockList();
}

void startBufferPool() {
    OrvBufferManager::initializeBuffer();
}

// Keeps the start program's working directory as the log directory of the
// database.
void startLogFileHandling() {
    OrvLogManager::initializeLogFileHandling();
}

// ---- in-use checks of a stop without force ---------------------------------

// A lock list that does not exist counts as not in use.
void checkLockListInUse(bool& inUse) {
    OrvLockManager::isLockListInUse(inUse);
}

void checkBufferPoolInUse(bool& inUse) {
    OrvBufferManager::haveFixedPages(inUse);
}

// ---- stop steps, in this order -----------------------------------------------

// The lock list goes first, so that no new transaction can begin while the
// rest is taken down; the buffer pool last.
// A missing set throws ORV_MM_SHM_NOT_EXISTS, which a forced stop skips.
void destroyLockList(bool force) {
    OrvLockManager::destroyLockList(force);
}

// A missing set throws ORV_MM_SHM_NOT_EXISTS, which a forced stop skips.
void destroyLogFileHandling(bool force) {
    OrvLogManager::destroyLogFileHandling(force);
}

// Writes the dirty unfixed pages back first. A missing set throws
// ORV_MM_SHM_NOT_EXISTS, which a forced stop skips.
void destroyBufferPool(bool force) {
    OrvBufferManager::destroyBuffer(force);
}

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
    OrvRecordManager::deleteInstance();
    OrvLockManager::deleteInstance();
    OrvLogManager::deleteInstance();
    OrvBufferManager::deleteInstance();
    OrvFileManager::deleteInstance();
}
