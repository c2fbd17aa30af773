// The process table of the lock list and the takeover of processes that
// died: their transaction rolled back from the log under their own locks,
// then their page fixes, lock entries and waiting entries released.
#include "OrvLock.h"

#include "OrvBuffer.h"
#include "OrvError.h"
#include "OrvException.h"
#include "OrvIndexManager.h"
#include "OrvLog.h"
#include "OrvRecordManager.h"
#include "lock/OrvLockList.h"
#include "lock/OrvOwnLocks.h"
#include "support/OrvMemoryManager.h"
#include "support/OrvProcessIdentity.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

using namespace OrvLockList;

namespace {

bool sameProcess(const OrvLockManager::ProcessSlot& slot, const OrvProcessIdentity& process) {
    return slot.pid == process.pid && slot.startTime == process.startTime;
}

// Undoes the open record work, then the open index work, of the dead
// process's last transaction, under that transaction's id.
void rollBackDeadTransaction(const OrvTransactionId& transaction, const OrvLsn& lastEntry) {
    ORV_TRACE(LockManager);
    int records = 0;
    int indexEntries = 0;
    const OrvLsn afterRecords =
        OrvRecordManager::getInstance()->rollbackOfDeadTransaction(transaction, lastEntry, records);
    OrvIndexManager::getInstance()->rollbackOfDeadTransaction(transaction, afterRecords,
                                                              indexEntries);
    const std::string text = "rolled back transaction " + transaction.dump() +
                             " of a process that no longer exists: " + std::to_string(records) +
                             " record and " + std::to_string(indexEntries) + " index changes";
    orvTrace.traceString(1, text.c_str());
}

} // namespace

OrvLockManager::RollbackScope::RollbackScope() : manager(OrvLockManager::getInstance()) {
    if (manager->rollbackDepth++ == 0 && manager->mySlot != NO_PROCESS_SLOT) {
        // Written by this process alone; read by others under the latch.
        __atomic_store_n(&manager->processSlots[manager->mySlot].rollingBack, 1U, __ATOMIC_RELEASE);
    }
}

OrvLockManager::RollbackScope::~RollbackScope() {
    if (--manager->rollbackDepth == 0 && manager->mySlot != NO_PROCESS_SLOT) {
        __atomic_store_n(&manager->processSlots[manager->mySlot].rollingBack, 0U, __ATOMIC_RELEASE);
    }
}

bool OrvLockManager::isAdopted(const LockEntry& entry) const {
    return adoptedPid != 0 && entry.transactionId.getProcessID() == adoptedPid;
}

void OrvLockManager::registerProcess() {
    ORV_TRACE(LockManager);
    const OrvProcessIdentity me = OrvProcessIdentity::self();
    OrvScopedExclusiveLatch latch(header->latch);
    Uint32 freeSlot = NO_PROCESS_SLOT;
    for (Uint32 i = 0; i < MAX_PROCESSES; ++i) {
        const ProcessSlot& slot = processSlots[i];
        if (slot.pid == me.pid) {
            if (slot.startTime == me.startTime) {
                mySlot = i; // a manager made again by the same process
            } else {
                ownIdUnsettled = true;
            }
        } else if (slot.pid == 0 && freeSlot == NO_PROCESS_SLOT) {
            freeSlot = i;
        }
    }
    if (mySlot == NO_PROCESS_SLOT) {
        if (freeSlot == NO_PROCESS_SLOT) {
            // Entries of this process cannot be told from those of a later
            // process with its id should it die; everything else works.
            orvTrace.traceString(2, "the process table is full; this process runs without a slot");
            return;
        }
        mySlot = freeSlot;
        ProcessSlot& slot = processSlots[mySlot];
        std::memset(&slot, 0, sizeof(slot));
        slot.startTime = me.startTime;
        slot.pid = me.pid;
    }
    OrvLogManager::publishLastEntryTo(&processSlots[mySlot].lastEntry);
}

void OrvLockManager::unregisterProcess() {
    ORV_TRACE(LockManager);
    if (mySlot == NO_PROCESS_SLOT) {
        return;
    }
    OrvLogManager::publishLastEntryTo(nullptr);
    const OrvProcessIdentity me = OrvProcessIdentity::self();
    OrvScopedExclusiveLatch latch(header->latch);
    ProcessSlot& slot = processSlots[mySlot];
    if (sameProcess(slot, me)) {
        std::memset(&slot, 0, sizeof(slot));
    }
    mySlot = NO_PROCESS_SLOT;
}

void OrvLockManager::settleOwnProcessId() {
    ORV_TRACE(LockManager);
    const OrvProcessIdentity me = OrvProcessIdentity::self();
    const time_t deadline = time(nullptr) + static_cast<time_t>(ORV_LOCK_TIMEOUT);
    for (;;) {
        bool busy = false;
        takeOverDeadProcesses(busy);
        bool left = false;
        {
            OrvScopedLatch latch(header->latch, OrvLatch::Shared);
            for (Uint32 i = 0; i < MAX_PROCESSES && !left; ++i) {
                left = i != mySlot && processSlots[i].pid == me.pid;
            }
        }
        if (!left) {
            ownIdUnsettled = false;
            return;
        }
        if (time(nullptr) > deadline) {
            ORV_THROW(ORV_LM_LOCK_TIME_OUT, "exclusive", "0");
        }
        timespec pause{0, 1000000L};
        nanosleep(&pause, nullptr);
    }
}

Uint32 OrvLockManager::takeOverDeadProcesses(bool& busy) {
    ORV_TRACE(LockManager);
    busy = false;
    // The rollback of a takeover makes requests of its own, which must not
    // start another takeover (of the same slot, which names this process).
    if (adoptedPid != 0) {
        return 0;
    }
    const OrvProcessIdentity me = OrvProcessIdentity::self();
    const std::vector<ProcessSlot> table = otherProcesses();
    Uint32 taken = 0;
    for (Uint32 i = 0; i < MAX_PROCESSES; ++i) {
        const ProcessSlot& seen = table[i];
        if (!isGone(seen)) {
            continue;
        }
        {
            OrvScopedExclusiveLatch latch(header->latch);
            ProcessSlot& slot = processSlots[i];
            if (slot.pid != seen.pid || slot.startTime != seen.startTime) {
                continue; // freed or taken over meanwhile
            }
            if (slot.takerPid != 0 &&
                !(slot.takerPid == me.pid && slot.takerStart == me.startTime)) {
                OrvProcessIdentity taker;
                taker.pid = slot.takerPid;
                taker.startTime = slot.takerStart;
                if (taker.state() != OrvProcessIdentity::State::Gone) {
                    busy = true;
                    continue;
                }
                orvTrace.traceNumber(1, "the process that took over a dead one died as well",
                                     static_cast<Uint32>(slot.takerPid));
            }
            slot.takerPid = me.pid;
            slot.takerStart = me.startTime;
        }
        try {
            takeOver(i, seen);
        } catch (...) {
            // Left for another attempt, by this process or another.
            try {
                OrvScopedExclusiveLatch latch(header->latch);
                ProcessSlot& slot = processSlots[i];
                if (slot.pid == seen.pid && slot.takerPid == me.pid) {
                    slot.takerPid = 0;
                    slot.takerStart = 0;
                }
            } catch (...) {
                orvTrace.traceString(2, "could not give a failed takeover back");
            }
            throw;
        }
        ++taken;
    }
    return taken;
}

std::vector<OrvLockManager::ProcessSlot> OrvLockManager::otherProcesses() const {
    std::vector<ProcessSlot> table(MAX_PROCESSES);
    {
        OrvScopedLatch latch(header->latch, OrvLatch::Shared);
        std::memcpy(table.data(), processSlots, MAX_PROCESSES * sizeof(ProcessSlot));
    }
    if (mySlot != NO_PROCESS_SLOT) {
        table[mySlot] = ProcessSlot();
    }
    return table;
}

bool OrvLockManager::isGone(const ProcessSlot& slot) {
    if (slot.pid == 0) {
        return false;
    }
    OrvProcessIdentity process;
    process.pid = slot.pid;
    process.startTime = slot.startTime;
    return process.state() == OrvProcessIdentity::State::Gone;
}

bool OrvLockManager::deadProcessListed() const {
    const std::vector<ProcessSlot> table = otherProcesses();
    return std::any_of(table.begin(), table.end(), isGone);
}

void OrvLockManager::takeOver(Uint32 slotIndex, const ProcessSlot& seen) {
    ORV_TRACE(LockManager);
    orvTrace.traceNumber(1, "taking over the process that no longer exists",
                         static_cast<Uint32>(seen.pid));
    const Uint64 lastEntry = __atomic_load_n(&processSlots[slotIndex].lastEntry, __ATOMIC_ACQUIRE);
    std::vector<Uint32> before;
    own->forEachAscending([&](Uint32 index) { before.push_back(index); });
    // Entries this process takes for the rollback go again at its end: the
    // dead transaction's entries cover everything the rollback touches.
    const auto releaseTakenForRollback = [&]() {
        std::vector<Uint32> taken;
        own->forEachAscending([&](Uint32 index) {
            if (!std::binary_search(before.begin(), before.end(), index)) {
                taken.push_back(index);
            }
        });
        if (taken.empty()) {
            return;
        }
        OrvScopedExclusiveLatch latch(header->latch);
        for (Uint32 index : taken) {
            if (own->contains(index) && isPlainType(own->node(index).type)) {
                releaseOwnEntry(index);
            }
        }
        for (Uint32 index : taken) {
            if (own->contains(index)) {
                deleteEntry(index);
            }
        }
    };
    adoptedPid = seen.pid;
    try {
        if (lastEntry != 0) {
            Uint16 count = 0;
            OrvLsn lsn;
            OrvLogManager::unpackLastEntry(lastEntry, count, lsn);
            const RollbackScope rollingBack;
            rollBackDeadTransaction(OrvTransactionId(seen.pid, count), lsn);
        }
        releaseTakenForRollback();
    } catch (...) {
        adoptedPid = 0;
        try {
            releaseTakenForRollback();
        } catch (...) {
            orvTrace.traceString(2, "could not release the locks taken for a failed rollback");
        }
        throw;
    }
    adoptedPid = 0;

    OrvProcessIdentity dead;
    dead.pid = seen.pid;
    dead.startTime = seen.startTime;
    OrvBufferManager::releaseFixesOfProcess(dead);

    OrvScopedExclusiveLatch latch(header->latch);
    std::vector<Uint32> entries;
    for (Uint32 bucket = 0; bucket < NUMBER_OF_BUCKETS; ++bucket) {
        walkBucket(header, lockEntry, bucket, [&](Uint32 index, const LockEntry& entry) {
            if (entry.transactionId.getProcessID() == seen.pid) {
                entries.push_back(index);
            }
            return true;
        });
    }
    for (Uint32 index : entries) {
        deleteEntry(index);
    }
    if (header->firstUsedWaitingEntry != LIST_END_WAITING) {
        removeWaitingOfProcess(seen.pid);
    }
    updateDbRequestType();
    ProcessSlot& slot = processSlots[slotIndex];
    if (slot.pid == seen.pid && slot.startTime == seen.startTime) {
        std::memset(&slot, 0, sizeof(slot));
    }
    orvTrace.traceNumber(2, "released the lock entries of the dead process",
                         static_cast<Uint32>(entries.size()));
}

Uint32 OrvLockManager::takeOverDeadProcessesOfList() {
    ORV_TRACE(LockManager);
    OrvLockManager* manager = nullptr;
    try {
        manager = getInstance();
    } catch (const OrvException& e) {
        if (e.getErrorCode() == ORV_MM_SHM_NOT_EXISTS) {
            OrvError::getErrorObject()->setError(LockManager, ORV_SUCCESS);
            return 0;
        }
        throw;
    }
    bool busy = false;
    return manager->takeOverDeadProcesses(busy);
}
