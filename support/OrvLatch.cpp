#include "support/OrvLatch.h"

#include "OrvError.h"
#include "OrvException.h"
#include "support/OrvMemoryManager.h"
#include "support/OrvTrace.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>

namespace {

constexpr int SEMAPHORE_PERMISSIONS = 0660;

// The caller of semctl defines this union (see semctl(2)).
union SemaphoreArgument {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// Records ORV_LATCH_SEM_* with the system error number and text as tokens.
void recordSystemError(OrvErrorCode code, int error, const char* file, const char* function,
                       Uint32 line) {
    char number[16];
    std::snprintf(number, sizeof(number), "%d", error);
    OrvError* errorObject = OrvError::getErrorObject();
    errorObject->setError(Support, code, number, std::strerror(error));
    errorObject->addTraceRecord(file, function, line);
}

#define ORV_LATCH_RECORD(code, error)                                                              \
    recordSystemError((code), (error), __FILE__, __PRETTY_FUNCTION__, __LINE__)

// Performs one operation list; returns 0 or the errno of the failure. A signal
// (also a stop and continue) interrupts a waiting semop with EINTR; nothing of
// the list was done then, so it is simply performed again.
int performOperations(int semaphoreId, struct sembuf* operations, std::size_t count) {
    while (semop(semaphoreId, operations, count) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// Reads the value of one semaphore; returns 0 or the errno of the failure.
int readValue(int semaphoreId, int number, int& value) {
    const int result = semctl(semaphoreId, number, GETVAL);
    if (result < 0) {
        return errno;
    }
    value = result;
    return 0;
}

} // namespace

OrvErrorCode OrvLatch::initialize() {
    ORV_TRACE(Support);
    const int id =
        semget(IPC_PRIVATE, ORV_LATCH_NUMBER_OF_SEMAPHORES, IPC_CREAT | SEMAPHORE_PERMISSIONS);
    if (id < 0) {
        ORV_LATCH_RECORD(ORV_LATCH_SEM_CREATE_FAIL, errno);
        return ORV_LATCH_SEM_CREATE_FAIL;
    }
    semaphoreId = id;

    unsigned short values[ORV_LATCH_NUMBER_OF_SEMAPHORES];
    values[ORV_LATCH_BLOCK_NEW_SHARED] = 1;
    values[ORV_LATCH_SHARED_COUNTER] = 0;
    values[ORV_LATCH_EXCLUSIVE] = 0;
    SemaphoreArgument argument;
    argument.array = values;
    if (semctl(id, 0, SETALL, argument) != 0) {
        ORV_LATCH_RECORD(ORV_LATCH_SEM_OPERATION_FAIL, errno);
        // Removed as by destroy(true), but a failing removal must not replace
        // the error recorded above.
        if (semctl(id, 0, IPC_RMID) == 0) {
            semaphoreId = -1;
        }
        return ORV_LATCH_SEM_OPERATION_FAIL;
    }
    return ORV_SUCCESS;
}

OrvErrorCode OrvLatch::destroy(bool force) {
    ORV_TRACE(Support);
    if (semaphoreId < 0) {
        return ORV_SUCCESS;
    }
    if (!force) {
        // Waits until every holder has released. The hold is never released:
        // the set, with this process's undo entry, goes away below.
        const OrvErrorCode rc = get(Exclusive);
        if (rc != ORV_SUCCESS) {
            return rc;
        }
    }
    if (semctl(semaphoreId, 0, IPC_RMID) != 0) {
        ORV_LATCH_RECORD(ORV_LATCH_SEM_DESTROY_WARN, errno);
        return ORV_LATCH_SEM_DESTROY_WARN;
    }
    semaphoreId = -1;
    return ORV_SUCCESS;
}

namespace {

// The shared acquisition: pass the gate (waiting while an exclusive request
// holds it closed), count this holder, reopen the gate; all at once, and only
// if nobody holds the latch exclusively. Already a single call.
int getShared(int semaphoreId) {
    struct sembuf operations[4] = {
        {ORV_LATCH_BLOCK_NEW_SHARED, -1, 0},
        {ORV_LATCH_SHARED_COUNTER, 1, SEM_UNDO},
        {ORV_LATCH_BLOCK_NEW_SHARED, 1, 0},
        {ORV_LATCH_EXCLUSIVE, 0, IPC_NOWAIT},
    };
    return performOperations(semaphoreId, operations, 4);
}

// The two steps of the exclusive acquisition; returns 0 or the errno of the
// failure, after which the latch is not held.
int getExclusiveTwoStep(int semaphoreId) {
    // A: close the gate for new requests.
    struct sembuf closeGate[2] = {
        {ORV_LATCH_BLOCK_NEW_SHARED, -1, SEM_UNDO},
        {ORV_LATCH_EXCLUSIVE, 0, IPC_NOWAIT},
    };
    int error = performOperations(semaphoreId, closeGate, 2);
    if (error != 0) {
        return error;
    }
    // B: wait for the shared holders to leave, then take the latch.
    struct sembuf takeExclusive[2] = {
        {ORV_LATCH_SHARED_COUNTER, 0, 0},
        {ORV_LATCH_EXCLUSIVE, 1, 0},
    };
    error = performOperations(semaphoreId, takeExclusive, 2);
    if (error != 0 && error != EIDRM) {
        struct sembuf reopenGate[1] = {{ORV_LATCH_BLOCK_NEW_SHARED, 1, SEM_UNDO}};
        performOperations(semaphoreId, reopenGate, 1);
    }
    return error;
}

// Steps A and B as one list that never waits: the same entries, the same undo
// flags, so the semaphores pass through the same values as with the two steps
// and the undo balance of the process is the same. EAGAIN when any entry
// would have to wait (or when a dead exclusive holder left semaphore 2 at 1);
// nothing is changed then.
int tryGetExclusive(int semaphoreId) {
    struct sembuf operations[4] = {
        {ORV_LATCH_BLOCK_NEW_SHARED, -1, SEM_UNDO | IPC_NOWAIT},
        {ORV_LATCH_EXCLUSIVE, 0, IPC_NOWAIT},
        {ORV_LATCH_SHARED_COUNTER, 0, IPC_NOWAIT},
        {ORV_LATCH_EXCLUSIVE, 1, IPC_NOWAIT},
    };
    return performOperations(semaphoreId, operations, 4);
}

int releaseShared(int semaphoreId) {
    // Fails with EAGAIN, changing nothing, while the latch is held exclusively.
    struct sembuf operations[2] = {
        {ORV_LATCH_EXCLUSIVE, 0, IPC_NOWAIT},
        {ORV_LATCH_SHARED_COUNTER, -1, SEM_UNDO},
    };
    return performOperations(semaphoreId, operations, 2);
}

int releaseExclusive(int semaphoreId, OrvTrace& orvTrace) {
    orvTrace.traceString(1, "removing exclusive latch");
    struct sembuf operations[2] = {
        {ORV_LATCH_BLOCK_NEW_SHARED, 1, SEM_UNDO},
        {ORV_LATCH_EXCLUSIVE, -1, 0},
    };
    return performOperations(semaphoreId, operations, 2);
}

// The name of the memory set whose data begins with this latch, as far as
// this process is attached to it.
const char* setNameOf(const OrvLatch* latch) {
    static const char* const names[OrvMemoryManager::NUMBER_OF_SETS] = {"Buffer Pool", "Lock List",
                                                                        "Log File Handling"};
    try {
        OrvMemoryManager* memoryManager = OrvMemoryManager::getMemoryManager();
        for (int set = 0; set < OrvMemoryManager::NUMBER_OF_SETS; ++set) {
            if (memoryManager->attachedData(static_cast<OrvMemoryManager::MemorySet>(set)) ==
                static_cast<const void*>(latch)) {
                return names[set];
            }
        }
    } catch (const OrvException&) {
        // Only for the message.
    }
    return "unknown";
}

} // namespace

OrvErrorCode OrvLatch::reportDeadHolder() const {
    ORV_TRACE(Support);
    const int holder = semctl(semaphoreId, ORV_LATCH_EXCLUSIVE, GETPID);
    const std::string set = setNameOf(this);
    const std::string id = std::to_string(semaphoreId);
    const std::string process = holder > 0 ? std::to_string(holder) : "unknown";
    OrvError* errorObject = OrvError::getErrorObject();
    errorObject->setError(Support, ORV_LATCH_HOLDER_DEAD, set.c_str(), id.c_str(), process.c_str());
    errorObject->addTraceRecord(__FILE__, __PRETTY_FUNCTION__, __LINE__);
    return ORV_LATCH_HOLDER_DEAD;
}

OrvErrorCode OrvLatch::get(LatchMode latchMode) {
    ORV_TRACE(Support);
    int error = 0;
    if (latchMode == Shared) {
        error = getShared(semaphoreId);
    } else {
        error = tryGetExclusive(semaphoreId);
        if (error == EAGAIN) {
            error = getExclusiveTwoStep(semaphoreId);
        }
    }
    if (error == EAGAIN) {
        // Both acquisitions wait while the latch is held exclusively by a
        // live process (it keeps the gate closed); they fail at once only
        // when the exclusive semaphore is 1 with the gate open, which is what
        // a holder leaves behind when it dies: its undo entry reopened the
        // gate, and nothing gives the exclusive semaphore back.
        return reportDeadHolder();
    }
    if (error != 0) {
        ORV_LATCH_RECORD(ORV_LATCH_SEM_OPERATION_FAIL, error);
        return ORV_LATCH_SEM_OPERATION_FAIL;
    }
    return ORV_SUCCESS;
}

OrvErrorCode OrvLatch::getTwoStep(LatchMode latchMode) {
    ORV_TRACE(Support);
    const int error =
        latchMode == Shared ? getShared(semaphoreId) : getExclusiveTwoStep(semaphoreId);
    if (error == EAGAIN) {
        return reportDeadHolder();
    }
    if (error != 0) {
        ORV_LATCH_RECORD(ORV_LATCH_SEM_OPERATION_FAIL, error);
        return ORV_LATCH_SEM_OPERATION_FAIL;
    }
    return ORV_SUCCESS;
}

OrvErrorCode OrvLatch::release() {
    ORV_TRACE(Support);
    int error = releaseShared(semaphoreId);
    if (error == EAGAIN) {
        error = releaseExclusive(semaphoreId, orvTrace);
    }
    if (error != 0) {
        ORV_LATCH_RECORD(ORV_LATCH_SEM_OPERATION_FAIL, error);
        return ORV_LATCH_SEM_OPERATION_FAIL;
    }
    return ORV_SUCCESS;
}

OrvErrorCode OrvLatch::release(LatchMode latchMode) {
    ORV_TRACE(Support);
    const int error =
        latchMode == Shared ? releaseShared(semaphoreId) : releaseExclusive(semaphoreId, orvTrace);
    if (error != 0) {
        ORV_LATCH_RECORD(ORV_LATCH_SEM_OPERATION_FAIL, error);
        return ORV_LATCH_SEM_OPERATION_FAIL;
    }
    return ORV_SUCCESS;
}

namespace {

// The exclusive semaphore at 1 with the gate open: a live exclusive holder
// keeps the gate closed, so the holder died (its id may have been given to
// another process since, which kill() alone would take for the holder).
bool gateOpenWhileHeld(int semaphoreId) {
    unsigned short values[ORV_LATCH_NUMBER_OF_SEMAPHORES] = {0, 0, 0};
    SemaphoreArgument argument;
    argument.array = values;
    return semctl(semaphoreId, 0, GETALL, argument) == 0 && values[ORV_LATCH_EXCLUSIVE] > 0 &&
           values[ORV_LATCH_BLOCK_NEW_SHARED] > 0;
}

} // namespace

OrvErrorCode OrvLatch::breakDeadExclusiveHold(bool& broken) {
    ORV_TRACE(Support);
    broken = false;
    int value = 0;
    int error = readValue(semaphoreId, ORV_LATCH_EXCLUSIVE, value);
    if (error == 0 && value > 0) {
        const int holder = semctl(semaphoreId, ORV_LATCH_EXCLUSIVE, GETPID);
        if (holder < 0) {
            error = errno;
        } else if (holder > 0 &&
                   (gateOpenWhileHeld(semaphoreId) || (kill(holder, 0) != 0 && errno == ESRCH))) {
            orvTrace.traceNumber(1, "breaking the exclusive hold of a dead process",
                                 Uint32(holder));
            // IPC_NOWAIT: never wait here, should somebody free it meanwhile.
            struct sembuf freeExclusive[1] = {{ORV_LATCH_EXCLUSIVE, -1, IPC_NOWAIT}};
            error = performOperations(semaphoreId, freeExclusive, 1);
            if (error == EAGAIN) {
                error = 0;
            } else if (error == 0) {
                broken = true;
            }
        }
    }
    if (error != 0) {
        ORV_LATCH_RECORD(ORV_LATCH_SEM_OPERATION_FAIL, error);
        return ORV_LATCH_SEM_OPERATION_FAIL;
    }
    return ORV_SUCCESS;
}

OrvErrorCode OrvLatch::getSharedCount(Uint32& sharedCount) const {
    ORV_TRACE(Support);
    int value = 0;
    const int error = readValue(semaphoreId, ORV_LATCH_SHARED_COUNTER, value);
    if (error != 0) {
        ORV_LATCH_RECORD(ORV_LATCH_SEM_OPERATION_FAIL, error);
        return ORV_LATCH_SEM_OPERATION_FAIL;
    }
    sharedCount = static_cast<Uint32>(value);
    return ORV_SUCCESS;
}

OrvErrorCode OrvLatch::isHeldExclusive(bool& isHeld) const {
    ORV_TRACE(Support);
    int value = 0;
    const int error = readValue(semaphoreId, ORV_LATCH_EXCLUSIVE, value);
    if (error != 0) {
        ORV_LATCH_RECORD(ORV_LATCH_SEM_OPERATION_FAIL, error);
        return ORV_LATCH_SEM_OPERATION_FAIL;
    }
    isHeld = value > 0;
    return ORV_SUCCESS;
}

OrvErrorCode OrvLatch::isLocked(bool& isLatched) const {
    ORV_TRACE(Support);
    Uint32 sharedCount = 0;
    const OrvErrorCode rc = getSharedCount(sharedCount);
    if (rc != ORV_SUCCESS) {
        return rc;
    }
    if (sharedCount > 0) {
        isLatched = true;
        return ORV_SUCCESS;
    }
    return isHeldExclusive(isLatched);
}

OrvScopedLatch::OrvScopedLatch(OrvLatch& latch, OrvLatch::LatchMode latchMode)
    : mLatch(latch), mMode(latchMode == OrvLatch::Shared ? OrvLatch::Shared : OrvLatch::Exclusive) {
    ORV_TRACE(Support);
    const OrvErrorCode rc = mLatch.get(latchMode);
    if (rc != ORV_SUCCESS) {
        // Only here are the texts of the exception made: a successful get
        // builds no strings.
        OrvException::raise(rc, "mLatch.get(latchMode)", __FILE__, __LINE__, __PRETTY_FUNCTION__);
    }
}

OrvScopedLatch::~OrvScopedLatch() {
    try {
        ORV_TRACE(Support);
        // A failure is recorded in the error object by release itself.
        (void)mLatch.release(mMode);
    } catch (...) {
        // Destructors never throw; nothing else can be done here.
    }
}

OrvScopedExclusiveLatch::OrvScopedExclusiveLatch(OrvLatch& latch)
    : OrvScopedLatch(latch, OrvLatch::Exclusive) {
    ORV_TRACE(Support);
}
