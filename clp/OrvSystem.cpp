#include "OrvSystem.h"

#include "OrvBuffer.h"
#include "OrvCatalogManager.h"
#include "OrvError.h"
#include "OrvException.h"
#include "OrvIndexManager.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvRecordManager.h"
#include "file/OrvFileManager.h"
#include "index/OrvIndexFreeSpaceInventory.h"
#include "support/OrvDatabasePath.h"
#include "support/OrvTrace.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Refuses a database directory in which the engine could not work: the sets
// would be made and every later change to a segment file would fail, and a
// user who does not own it.
void checkDatabaseDirectory() {
    const char* path = orvDatabasePath();
    struct stat status;
    if (stat(path, &status) != 0) {
        const int error = errno;
        ORV_THROW(ORV_MM_DATABASE_PATH_INVALID, path, std::strerror(error));
    }
    if (!S_ISDIR(status.st_mode)) {
        ORV_THROW(ORV_MM_DATABASE_PATH_INVALID, path, "it is not a directory");
    }
    // Checked again when the sets are made; here first, so that another
    // user hears that the directory is not theirs rather than that they may
    // not write it.
    if (status.st_uid != geteuid()) {
        ORV_THROW(ORV_MM_NOT_DIRECTORY_OWNER, path, OrvException::to_string(status.st_uid),
                  OrvException::to_string(geteuid()));
    }
    // The mode bits are checked as well as access(): access() lets root
    // write anywhere, yet a directory its owner made read-only is not meant
    // to be changed. access() adds a read-only file system.
    const mode_t needed = S_IRUSR | S_IWUSR | S_IXUSR;
    if ((status.st_mode & needed) != needed || access(path, R_OK | W_OK | X_OK) != 0) {
        ORV_THROW(ORV_MM_DATABASE_PATH_INVALID, path,
                  "it is not readable, writable and searchable for its owner");
    }
}

// The catalog step. Its managers attach to the sets made before it: they go
// before a failed start takes those sets down again. An incomplete catalog
// arrives as an exception that names the database path, and passes on as it is.
void initializeCatalog() {
    try {
        ORV_RAISE(OrvCatalogManager::initializeCatalog());
    } catch (const OrvException&) {
        OrvSystem::stopAllManagers();
        throw;
    }
}

// The catalog lives in files: a failed start leaves no set of its own behind.
void keepCatalog(bool) {}

} // namespace

void (*OrvSystem::startStepHook)(int step) = nullptr;

void OrvSystem::start() {
    ORV_TRACE(CommandLine);
    checkDatabaseDirectory();
    // The lock list goes first, so that a second start on a running engine
    // fails before it touches anything else. The log file handling keeps the
    // start program's working directory as the log directory of the database.
    struct Step {
        void (*create)();
        void (*destroy)(bool force);
    };
    const Step steps[] = {
        {OrvLockManager::initializeLockList, OrvLockManager::destroyLockList},
        {OrvBufferManager::initializeBuffer, OrvBufferManager::destroyBuffer},
        {OrvLogManager::initializeLogFileHandling, OrvLogManager::destroyLogFileHandling},
        {initializeCatalog, keepCatalog},
    };
    int done = 0;
    try {
        for (const Step& step : steps) {
            if (startStepHook != nullptr) {
                startStepHook(done + 1);
            }
            step.create();
            ++done;
        }
    } catch (const OrvException&) {
        // A half started engine would make the next start fail with "exists"
        // until somebody removed the sets by hand: take down what this start
        // made, newest first. Nothing was attached or written by anybody else
        // yet, so a forced removal loses nothing.
        while (done > 0) {
            --done;
            try {
                steps[done].destroy(true);
            } catch (const OrvException& e) {
                e.SET_ERROR();
                orvTrace.traceString(1, "could not remove a set made by a failed start");
            }
        }
        throw;
    }
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
    // its dirty pages back first, goes last.
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
    OrvCatalogManager::deleteInstance();
    OrvIndexManager::deleteInstance();
    OrvIndexFreeSpaceInventory::deleteInstance();
    OrvRecordManager::deleteInstance();
    OrvLockManager::deleteInstance();
    OrvLogManager::deleteInstance();
    OrvBufferManager::deleteInstance();
    OrvFileManager::deleteInstance();
}
