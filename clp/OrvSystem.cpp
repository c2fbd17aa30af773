#include "OrvSystem.h"

#include "OrvBuffer.h"
#include "OrvCatalogManager.h"
#include "OrvError.h"
#include "OrvException.h"
#include "OrvIndexManager.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvRecordManager.h"
#include "OrvTransaction.h"
#include "file/OrvFileManager.h"
#include "index/OrvIndexFreeSpaceInventory.h"
#include "log/OrvRecovery.h"
#include "support/OrvDatabasePath.h"
#include "support/OrvIo.h"
#include "support/OrvTrace.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <set>
#include <string>
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

// ---- the run state of the database ----------------------------------------
//
// The file "orv.state" in the database directory says whether the engine
// ended cleanly: "running" from the start on, "stopped" once a stop has
// written every page of the pool to the files (and synced them) with no
// transaction open and no page fixed. A start that finds "running" knows
// the files may hold changes of transactions that never ended, or miss
// committed ones, and recovers from the log. The file is replaced as a
// whole (temporary file, sync, rename, sync of the directory), so a crash
// leaves either the old or the new state, never a torn one.

const char* const STATE_FILE_NAME = "orv.state";
const char* const STATE_RUNNING = "running\n";
const char* const STATE_STOPPED = "stopped\n";

enum class RunState { None, Running, Stopped };

std::string databaseFile(const char* name) {
    std::string path = orvDatabasePath();
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path + name;
}

[[noreturn]] void throwStateFileFailure(const std::string& path, const char* what, int error) {
    ORV_THROW(ORV_SYSTEM_STATE_FILE_FAIL, path, what, std::strerror(error));
}

RunState readRunState() {
    ORV_TRACE(CommandLine);
    const std::string path = databaseFile(STATE_FILE_NAME);
    int fd = OrvIo::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -ENOENT) {
        return RunState::None;
    }
    if (fd < 0) {
        throwStateFileFailure(path, "read", -fd);
    }
    char text[32] = {};
    ssize_t got = OrvIo::preadAll(fd, text, sizeof(text) - 1, 0);
    (void)OrvIo::close(fd);
    if (got < 0) {
        throwStateFileFailure(path, "read", int(-got));
    }
    if (std::strcmp(text, STATE_STOPPED) == 0) {
        return RunState::Stopped;
    }
    if (std::strcmp(text, STATE_RUNNING) != 0) {
        // Not written by the engine: whether it ended cleanly is not known,
        // so it is taken as not.
        orvTrace.traceString(1, "the state file holds neither state; taken as running");
    }
    return RunState::Running;
}

void writeRunState(const char* state) {
    ORV_TRACE(CommandLine);
    const std::string path = databaseFile(STATE_FILE_NAME);
    const std::string scratch = path + ".new";
    (void)OrvIo::unlink(scratch.c_str());
    int fd =
        OrvIo::open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd < 0) {
        throwStateFileFailure(scratch, "written", -fd);
    }
    const std::size_t length = std::strlen(state);
    ssize_t written = OrvIo::pwriteAll(fd, state, length, 0);
    int synced = written == static_cast<ssize_t>(length) ? OrvIo::fsync(fd) : 0;
    int closed = OrvIo::close(fd);
    int error = written < 0                               ? int(-written)
                : written != static_cast<ssize_t>(length) ? EIO
                : synced < 0                              ? -synced
                : closed < 0                              ? -closed
                                                          : 0;
    if (error == 0 && ::rename(scratch.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        (void)OrvIo::unlink(scratch.c_str());
        throwStateFileFailure(path, "written", error);
    }
    int dirSynced = OrvIo::syncDirectory(orvDatabasePath());
    if (dirSynced < 0) {
        throwStateFileFailure(path, "written", -dirSynced);
    }
}

// Forces every segment file of the database to its device: done before the
// stop records a clean end, after which the log is not read at the start.
void syncSegmentFiles() {
    ORV_TRACE(CommandLine);
    DIR* directory = ::opendir(orvDatabasePath());
    if (directory == nullptr) {
        const int error = errno;
        ORV_THROW(ORV_FM_FILE_SYNC_FAIL, orvDatabasePath(), std::strerror(error));
    }
    std::unique_ptr<DIR, int (*)(DIR*)> closer(directory, ::closedir);
    while (struct dirent* item = ::readdir(directory)) {
        const std::string name = item->d_name;
        if (name.compare(0, 3, "Seg") != 0 || name.size() < 8 ||
            name.compare(name.size() - 4, 4, ".orv") != 0) {
            continue;
        }
        const std::string path = databaseFile(name.c_str());
        int fd = OrvIo::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd == -ENOENT) {
            continue; // dropped meanwhile
        }
        int synced = fd < 0 ? fd : OrvIo::fsync(fd);
        if (fd >= 0) {
            int closed = OrvIo::close(fd);
            if (synced == 0 && closed < 0) {
                synced = closed;
            }
        }
        if (synced < 0) {
            ORV_THROW(ORV_FM_FILE_SYNC_FAIL, name.substr(3, name.size() - 7),
                      std::strerror(-synced));
        }
    }
}

OrvSystem::RecoveryReport lastReport;
// The state the last start found, when it wrote "running" over it and did
// not recover; None otherwise.
RunState replacedState = RunState::None;
bool stateReplaced = false;

// A later step of the start failed: the state this start found is true
// again (nothing was recovered, and the later steps change nothing when
// they fail: the catalog check refuses before it writes, and a catalog
// being made is rolled back), so the next start need not recover.
void restoreRunState(bool) {
    if (!stateReplaced) {
        return;
    }
    stateReplaced = false;
    try {
        if (replacedState == RunState::Stopped) {
            writeRunState(STATE_STOPPED);
        } else {
            (void)OrvIo::unlink(databaseFile(STATE_FILE_NAME).c_str());
        }
    } catch (const OrvException& e) {
        // "running" stays: the next start recovers, which is safe.
        e.SET_ERROR();
    }
}

// Progress of a long pass: a line at every tenth of it.
void showProgress(const char* pass, Uint64 done, Uint64 total) {
    if (total < OrvSystem::RECOVERY_PROGRESS_MINIMUM || done == 0) {
        return;
    }
    const Uint64 tenth = (total + 9) / 10;
    if (done % tenth == 0 || done == total) {
        std::cout << "Recovery: " << pass << " " << done << " of " << total << " log entries"
                  << std::endl;
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

const OrvSystem::RecoveryReport& OrvSystem::lastRecovery() {
    return lastReport;
}

void OrvSystem::recoverIfNeeded() {
    ORV_TRACE(CommandLine);
    lastReport = RecoveryReport();
    const RunState state = readRunState();
    bool needed = state == RunState::Running;
    if (state == RunState::None) {
        // No state recorded: a database never started, which has no log
        // yet, or one whose state file is gone; the log tells.
        struct stat status;
        const std::string firstLog = OrvLogManager::getInstance()->getLogFileName(1);
        needed = ::lstat(firstLog.c_str(), &status) == 0;
    }
    // From here on a crash, of this start included, calls for recovery.
    stateReplaced = false;
    if (state != RunState::Running) {
        writeRunState(STATE_RUNNING);
    }
    if (!needed) {
        stopAllManagers();
        replacedState = state;
        stateReplaced = true;
        return;
    }
    try {
        // One transaction of its own; the database lock it takes keeps
        // everything else out (nothing else runs yet anyway).
        OrvTransactionManager::resetForProcess();
        OrvClientTransaction::begin();
        OrvRecovery records;
        OrvRecovery indexes;
        records.setProgress(showProgress);
        indexes.setProgress(showProgress);
        OrvRecordManager::getInstance()->recover(records);
        OrvIndexManager::getInstance()->recover(indexes);
        OrvClientTransaction::commit();
        lastReport.ran = true;
        lastReport.entriesRedone = records.redoneEntries() + indexes.redoneEntries();
        lastReport.entriesUndone = records.undoneEntries() + indexes.undoneEntries();
        // A run with open work of both kinds is ended by both passes; the
        // index pass finds the record pass's end entry as its last entry.
        std::set<std::pair<Uint16, Uint32>> recordEnds;
        for (const OrvRecovery::EndedRun& run : records.endedRuns()) {
            recordEnds.insert({run.endEntry.getFilenumber(), run.endEntry.getOffset()});
        }
        std::size_t runs = records.endedRuns().size();
        for (const OrvRecovery::EndedRun& run : indexes.endedRuns()) {
            runs += recordEnds.count({run.lastEntry.getFilenumber(), run.lastEntry.getOffset()})
                        ? 0
                        : 1;
        }
        lastReport.transactionsUndone = runs;
        // The pages recovery changed go to their files now; they are
        // logged, so a crash before this is recovered again.
        stopAllManagers();
        OrvTransactionManager::resetForProcess();
    } catch (...) {
        // The state stays "running": the next start recovers again, which
        // puts back by state and so does nothing twice.
        stopAllManagers();
        OrvTransactionManager::resetForProcess();
        throw;
    }
}

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
        // Creates no set: what it wrote is in the files and the log.
        {OrvSystem::recoverIfNeeded, restoreRunState},
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
    // Why what the dead left could not be taken over: the user learns that,
    // and that only a forced stop helps, rather than that the engine is in use.
    std::exception_ptr latchOfTheDead;
    if (!force) {
        // Entries and fixes of processes that died are no use to anybody:
        // their transactions are rolled back and they are released first.
        try {
            OrvLockManager::takeOverDeadProcessesOfList();
            OrvBufferManager::releaseFixesOfDeadProcesses();
        } catch (const OrvException& e) {
            // A latch left held by a dead process: nothing under it can be
            // taken over, but the stop can still remove the sets.
            if (e.getErrorCode() != ORV_LATCH_HOLDER_DEAD) {
                throw;
            }
            orvTrace.traceString(1, "a dead process holds a latch; nothing is taken over");
            OrvError::getErrorObject()->setError(CommandLine, ORV_SUCCESS);
            latchOfTheDead = std::current_exception();
        }
    }
    // A lock list or pool that does not exist counts as not in use. A
    // forced stop asks too: with a lock held or a page fixed, a transaction
    // may be open, its changes go to the files with the pool, and the next
    // start must take them back.
    bool inUse = false;
    try {
        OrvLockManager::isLockListInUse(inUse);
        if (!inUse) {
            OrvBufferManager::haveFixedPages(inUse);
        }
    } catch (const OrvException&) {
        if (!force) {
            throw;
        }
        // What cannot be asked counts as in use.
        inUse = true;
    }
    if (inUse && !force) {
        if (latchOfTheDead) {
            std::rethrow_exception(latchOfTheDead);
        }
        ORV_THROW(ORV_SYSTEM_STOP_IN_USE);
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
    bool poolWritten = false;
    for (auto step : steps) {
        try {
            step(force);
            removedAny = true;
            poolWritten = step == OrvBufferManager::destroyBuffer;
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
    if (poolWritten && !inUse) {
        // Every page is in its file and no transaction was open: the next
        // start need not read the log, once the files are on the device.
        syncSegmentFiles();
        writeRunState(STATE_STOPPED);
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
