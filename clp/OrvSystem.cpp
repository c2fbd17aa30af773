#include "OrvSystem.h"

#include "OrvBuffer.h"
#include "OrvError.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "file/OrvFileManager.h"
#include "record/OrvRecordManager.h"
#include "support/OrvTrace.h"

#include <memory>

void OrvSystem::start() {
    ORV_TRACE(CommandLine);
    // The lock list goes first, so that a second start on a running engine
    // fails before it touches anything else. The log file handling keeps the
    // start program's working directory as the log directory of the database.
    OrvLockManager::initializeLockList();
    OrvBufferManager::initializeBuffer();
    OrvLogManager::initializeLogFileHandling();
}

void OrvSystem::stop(bool force) {
    ORV_TRACE(CommandLine);
    if (!force) {
        // A lock list or pool that does not exist counts as not in use.
        bool inUse = false;
        OrvLockManager::isLockListInUse(inUse);
        if (!inUse) {
            OrvBufferManager::haveFixedPages(inUse);
        }
        if (inUse) {
            ORV_THROW(ORV_SYSTEM_STOP_IN_USE);
        }
    }
    // Every set that exists is removed even when another one cannot be, so that
    // what is left of a failed start or a crashed process can be cleaned up;
    // the first failure is reported once all sets were tried. A forced stop
    // skips sets that are already gone (ORV_MM_SHM_NOT_EXISTS) and fails only
    // when none existed. The lock list goes first, so that no new transaction
    // can begin while the rest is taken down; the buffer pool, which writes
    // its dirty unfixed pages back first, goes last.
    void (*const steps[])(bool) = {OrvLockManager::destroyLockList,
                                   OrvLogManager::destroyLogFileHandling,
                                   OrvBufferManager::destroyBuffer};
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
    // Users of a manager go before it.
    OrvRecordManager::deleteInstance();
    OrvLockManager::deleteInstance();
    OrvLogManager::deleteInstance();
    OrvBufferManager::deleteInstance();
    OrvFileManager::deleteInstance();
}
