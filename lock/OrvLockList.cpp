// The shared chains of the lock list and their walks: taking and returning
// lock entries and waiting entries, the deadlock search, and the scans of a
// resource's bucket. Everything here runs under the list's latch held
// exclusively (the scans: in any mode).
#include "lock/OrvLockList.h"

#include "OrvError.h"
#include "OrvException.h"
#include "lock/OrvOwnLocks.h"
#include "support/OrvTrace.h"

namespace OrvLockList {

void lockListDamaged(const char* what) {
    ORV_TRACE(LockManager);
    orvTrace.traceString(1, what);
    ORV_THROW(ORV_INTERNAL_FAIL);
}

} // namespace OrvLockList

using namespace OrvLockList;

// ---- lock entries -------------------------------------------------------------------

Uint32 OrvLockManager::getNewSpace() {
    const Uint32 count = header->countEntry;
    if (count > MAX_ENTRY) {
        lockListDamaged("countEntry out of range");
    }
    if (count == MAX_ENTRY) {
        ORV_THROW(ORV_LM_LOCK_LIST_FULL);
    }
    const Uint32 index = checkedEntry(header->index[FREE_CHAIN_HEAD]);
    LockEntry& entry = lockEntry[index];
    // Fewer than MAX_ENTRY entries in use leaves at least two free ones.
    const Uint32 next = checkedEntry(entry.nextEntry);
    if (entry.transactionId != noTransaction()) {
        lockListDamaged("the free chain holds an entry in use");
    }
    header->index[FREE_CHAIN_HEAD] = next;
    lockEntry[next].prevEntry = LIST_END;
    entry.nextEntry = LIST_END;
    return index;
}

Uint32 OrvLockManager::insertEntry(const OrvTransactionId& transactionId, LockType lockType,
                                   SegmentId segmentId, PageId pageId, SlotId slotId) {
    const Uint8 bucket = getHash(segmentId, pageId, slotId);
    const Uint32 oldHead = checkedEntryOrEnd(header->index[bucket]);
    const Uint32 index = getNewSpace();
    LockEntry& entry = lockEntry[index];
    if (oldHead != LIST_END) {
        lockEntry[oldHead].prevEntry = index;
    }
    entry.nextEntry = oldHead;
    entry.prevEntry = LIST_END;
    header->index[bucket] = index;
    entry.lockType = lockType;
    entry.transactionId = transactionId;
    entry.segmentId = segmentId;
    entry.pageId = pageId;
    entry.slotId = slotId;
    ++header->countEntry;
    own->add(index, transactionId, lockType, segmentId, pageId, slotId);
    return index;
}

void OrvLockManager::deleteEntry(Uint32 index) {
    LockEntry& entry = lockEntry[checkedEntry(index)];
    if (entry.transactionId == noTransaction()) {
        lockListDamaged("deleting an entry that is not in use");
    }
    const Uint32 prev = checkedEntryOrEnd(entry.prevEntry);
    const Uint32 next = checkedEntryOrEnd(entry.nextEntry);
    const Uint8 bucket = getHash(entry.segmentId, entry.pageId, entry.slotId);
    if (prev == LIST_END && header->index[bucket] != index) {
        lockListDamaged("an entry without predecessor is not the head of its bucket");
    }
    const Uint32 freeHead = checkedEntryOrEnd(header->index[FREE_CHAIN_HEAD]);
    if (header->countEntry == 0) {
        lockListDamaged("countEntry is 0 while an entry is in use");
    }

    if (prev == LIST_END) {
        header->index[bucket] = next;
    } else {
        lockEntry[prev].nextEntry = next;
    }
    if (next != LIST_END) {
        lockEntry[next].prevEntry = prev;
    }
    entry.transactionId = noTransaction();
    entry.prevEntry = LIST_END;
    entry.nextEntry = freeHead;
    if (freeHead != LIST_END) {
        lockEntry[freeHead].prevEntry = index;
    }
    header->index[FREE_CHAIN_HEAD] = index;
    --header->countEntry;
    own->remove(index);
    // Nobody can wait for an entry that is gone.
    if (header->firstUsedWaitingEntry != LIST_END_WAITING) {
        removeWaitingWhere(
            [index](const WaitingEntry& waiting) { return waiting.indexOfLockEntry == index; });
    }
}

// ---- waiting entries ----------------------------------------------------------------

Uint32 OrvLockManager::insertWaitingEntry(const OrvTransactionId& transactionId,
                                          Uint32 indexOfLockEntry) {
    ORV_TRACE(LockManager);
    const Uint32 slot = header->nextFreeEntry;
    if (slot == MAX_ENTRY_WAITING) {
        ORV_THROW(ORV_LM_WAITING_LIST_FULL);
    }
    WaitingEntry& entry = waitingList[checkedWaiting(slot)];
    if (entry.waitingTransaction != noTransaction()) {
        lockListDamaged("the free waiting chain holds an entry in use");
    }
    const Uint32 next = checkedWaiting(entry.nextEntry);
    const Uint32 newest = checkedWaitingOrEnd(header->firstUsedWaitingEntry);

    header->nextFreeEntry = next;
    waitingList[next].prevEntry = LIST_END_WAITING;
    if (newest != LIST_END_WAITING) {
        waitingList[newest].nextEntry = slot;
    }
    entry.prevEntry = newest;
    entry.nextEntry = LIST_END_WAITING;
    header->firstUsedWaitingEntry = slot;
    entry.waitingTransaction = transactionId;
    entry.indexOfLockEntry = indexOfLockEntry;
    refuseIfDeadlocked(slot, true);
    return slot;
}

template <typename Match> void OrvLockManager::removeWaitingWhere(Match match) {
    // Collected first: removing while walking would change the chain walked.
    Uint32 matches[MAX_ENTRY_WAITING + 1];
    Uint32 found = 0;
    walkWaiting(header, waitingList, [&](Uint32 slot, const WaitingEntry& entry) {
        if (match(entry)) {
            matches[found++] = slot;
        }
        return true;
    });
    for (Uint32 i = 0; i < found; ++i) {
        removeWaitingAt(matches[i]);
    }
}

void OrvLockManager::removeWaitingOfProcess(pid_t process) {
    removeWaitingWhere([process](const WaitingEntry& waiting) {
        return waiting.waitingTransaction.getProcessID() == process;
    });
}

void OrvLockManager::removeWaitingAt(Uint32 slot) {
    WaitingEntry& entry = waitingList[checkedWaiting(slot)];
    if (entry.waitingTransaction == noTransaction()) {
        lockListDamaged("removing a waiting entry that is not in use");
    }
    const Uint32 prev = checkedWaitingOrEnd(entry.prevEntry);
    const Uint32 next = checkedWaitingOrEnd(entry.nextEntry);
    const Uint32 freeHead = checkedWaiting(header->nextFreeEntry);
    if (next == LIST_END_WAITING && header->firstUsedWaitingEntry != slot) {
        lockListDamaged("a waiting entry without successor is not the newest");
    }

    if (next == LIST_END_WAITING) {
        header->firstUsedWaitingEntry = prev;
    } else {
        waitingList[next].prevEntry = prev;
    }
    if (prev != LIST_END_WAITING) {
        waitingList[prev].nextEntry = next;
    }
    entry.waitingTransaction = noTransaction();
    entry.indexOfLockEntry = 0;
    entry.prevEntry = LIST_END_WAITING;
    entry.nextEntry = freeHead;
    waitingList[freeHead].prevEntry = slot;
    header->nextFreeEntry = slot;
}

// A cycle of waits can only be closed by the entry that joins it, so the
// check starts there: a new waiting entry, or the entry of a waiter that
// looks again, which finds the cycles a rollback keeps.
void OrvLockManager::refuseIfDeadlocked(Uint32 slot, bool newEntry) {
    ORV_TRACE(LockManager);
    const bool rollingBack = rollbackDepth > 0;
    // Only a cycle that a rollback kept can be there when a waiter looks
    // again, and a rollback leaves the giving way to the others.
    if (!newEntry && rollingBack) {
        return;
    }
    Uint32 path[MAX_ENTRY_WAITING + 2];
    Uint32 length = 0;
    if (!findCycleThrough(slot, path, length)) {
        return;
    }
    if (rollingBack) {
        for (Uint32 i = 0; i < length; ++i) {
            if (!isRollingBack(waitingList[path[i]])) {
                orvTrace.traceString(1, "a rollback waits in a cycle; another gives way");
                return;
            }
        }
    }
    removeWaitingAt(slot);
    ORV_THROW(ORV_LM_DEADLOCK);
}

bool OrvLockManager::findCycleThrough(Uint32 slot, Uint32* path, Uint32& length) const {
    Uint8 seen[MAX_ENTRY_WAITING + 1] = {};
    seen[checkedWaiting(slot)] = 1;
    return reachesWaiting(slot, slot, seen, path, 0, length);
}

bool OrvLockManager::reachesWaiting(Uint32 from, Uint32 target, Uint8* seen, Uint32* path,
                                    Uint32 depth, Uint32& length) const {
    if (depth > MAX_ENTRY_WAITING) {
        lockListDamaged("the waiting list is deeper than its entries");
    }
    path[depth] = from;
    const WaitingEntry& entry = waitingList[checkedWaiting(from)];
    if (entry.indexOfLockEntry == LIST_END) {
        return false;
    }
    const OrvTransactionId holder = lockEntry[checkedEntry(entry.indexOfLockEntry)].transactionId;
    bool found = false;
    walkWaiting(header, waitingList, [&](Uint32 next, const WaitingEntry& other) {
        if (other.waitingTransaction != holder) {
            return true;
        }
        if (next == target) {
            length = depth + 1;
            found = true;
        } else if (seen[checkedWaiting(next)] == 0) {
            seen[next] = 1;
            found = reachesWaiting(next, target, seen, path, depth + 1, length);
        }
        return !found;
    });
    return found;
}

bool OrvLockManager::isRollingBack(const WaitingEntry& entry) const {
    const pid_t pid = entry.waitingTransaction.getProcessID();
    if (mySlot != NO_PROCESS_SLOT && processSlots[mySlot].pid == pid) {
        return rollbackDepth > 0;
    }
    for (Uint32 i = 0; i < MAX_PROCESSES; ++i) {
        const ProcessSlot& slot = processSlots[i];
        if (slot.pid == pid) {
            return slot.rollingBack != 0 || slot.takerPid != 0;
        }
    }
    // A process without a slot cannot say; it is asked to give way.
    return false;
}

bool OrvLockManager::ownsWaitingEntry(const WaitState& wait, const OrvTransactionId& me) const {
    // The holder's release may have removed the entry, and another
    // transaction may use the slot by now.
    return wait.slot <= MAX_ENTRY_WAITING && waitingList[wait.slot].waitingTransaction == me &&
           waitingList[wait.slot].indexOfLockEntry == wait.lockIndex;
}

void OrvLockManager::ensureWaiting(WaitState& wait, const OrvTransactionId& me, Uint32 blocker) {
    const bool owned = ownsWaitingEntry(wait, me);
    if (owned && wait.lockIndex == blocker) {
        // A cycle a rollback waits in is left for the others to break.
        if (header->firstUsedWaitingEntry != wait.slot ||
            waitingList[wait.slot].prevEntry != LIST_END_WAITING) {
            refuseIfDeadlocked(wait.slot, false);
        }
        return;
    }
    if (owned) {
        removeWaitingAt(wait.slot);
    }
    wait = WaitState();
    wait.slot = insertWaitingEntry(me, blocker);
    wait.lockIndex = blocker;
}

void OrvLockManager::dropWaiting(WaitState& wait, const OrvTransactionId& me) {
    if (wait.slot != LIST_END_WAITING && ownsWaitingEntry(wait, me)) {
        removeWaitingAt(wait.slot);
    }
    wait = WaitState();
}

// ---- the database lock state -----------------------------------------------------------

OrvLockManager::DBRequestType OrvLockManager::readDbRequestType() const {
    const Uint32 state = header->dbRequestType;
    if (state > DBExclusive) {
        lockListDamaged("dbRequestType out of range");
    }
    return static_cast<DBRequestType>(state);
}

void OrvLockManager::updateDbRequestType() {
    // No entry carries the invalid transaction, so every entry counts as
    // another's here.
    const ResourceScan database = scanResource(NO_SEG, NO_PAGE, NO_SLOT, noTransaction());
    header->dbRequestType = database.count == 0                               ? DBNone
                            : database.otherOfType[ExclusiveLock] != LIST_END ? DBExclusive
                                                                              : DBShared;
}

// ---- walks ---------------------------------------------------------------------------

OrvLockManager::ResourceScan OrvLockManager::scanResource(SegmentId segmentId, PageId pageId,
                                                          SlotId slotId,
                                                          const OrvTransactionId& me) const {
    ResourceScan scan;
    walkBucket(header, lockEntry, getHash(segmentId, pageId, slotId),
               [&](Uint32 index, const LockEntry& entry) {
                   if (entry.segmentId != segmentId || entry.pageId != pageId ||
                       entry.slotId != slotId) {
                       return true;
                   }
                   const Uint32 type = entry.lockType;
                   if (!isKnownType(type)) {
                       lockListDamaged("an entry has an unknown lock type");
                   }
                   if (isAdopted(entry)) {
                       return true;
                   }
                   if (scan.first == LIST_END) {
                       scan.first = index;
                   }
                   ++scan.count;
                   if (entry.transactionId == me) {
                       ++scan.countMine;
                       if (scan.firstMine == LIST_END) {
                           scan.firstMine = index;
                       }
                       if (scan.mineOfType[type] == LIST_END) {
                           scan.mineOfType[type] = index;
                       }
                   } else {
                       if (scan.firstOther == LIST_END) {
                           scan.firstOther = index;
                       }
                       if (scan.otherOfType[type] == LIST_END) {
                           scan.otherOfType[type] = index;
                       }
                   }
                   return true;
               });
    return scan;
}

Uint32 OrvLockManager::firstConflict(LockType requested, SegmentId segmentId, PageId pageId,
                                     SlotId slotId, const OrvTransactionId& me) const {
    Uint32 found = LIST_END;
    walkBucket(header, lockEntry, getHash(segmentId, pageId, slotId),
               [&](Uint32 index, const LockEntry& entry) {
                   if (entry.segmentId != segmentId || entry.pageId != pageId ||
                       entry.slotId != slotId || entry.transactionId == me || isAdopted(entry)) {
                       return true;
                   }
                   const Uint32 type = entry.lockType;
                   if (!isKnownType(type)) {
                       lockListDamaged("an entry has an unknown lock type");
                   }
                   if (conflicts(requested, static_cast<LockType>(type))) {
                       found = index;
                       return false;
                   }
                   return true;
               });
    return found;
}

Uint32 OrvLockManager::findOtherEntry(const OrvTransactionId& me, LockType requested) const {
    Uint32 found = LIST_END;
    for (Uint32 bucket = 0; bucket < NUMBER_OF_BUCKETS && found == LIST_END; ++bucket) {
        walkBucket(header, lockEntry, bucket, [&](Uint32 index, const LockEntry& entry) {
            if (entry.transactionId != me && !isAdopted(entry) && isKnownType(entry.lockType) &&
                conflicts(requested, entry.lockType)) {
                found = index;
                return false;
            }
            return true;
        });
    }
    return found;
}

bool OrvLockManager::holdsAnyEntry(const OrvTransactionId& transactionId) const {
    bool found = false;
    for (Uint32 bucket = 0; bucket < NUMBER_OF_BUCKETS && !found; ++bucket) {
        walkBucket(header, lockEntry, bucket, [&](Uint32, const LockEntry& entry) {
            found = entry.transactionId == transactionId;
            return !found;
        });
    }
    return found;
}

Uint32 OrvLockManager::countOfType(LockType lockType, SegmentId segmentId, PageId pageId,
                                   SlotId slotId, const OrvTransactionId* other) const {
    // With a wildcard the matching entries lie in several buckets, so every
    // bucket is walked; an exact resource has all its entries in one.
    const bool wildcard = pageId == NO_PAGE || slotId == NO_SLOT;
    const Uint32 firstBucket = wildcard ? 0 : getHash(segmentId, pageId, slotId);
    const Uint32 lastBucket = wildcard ? NUMBER_OF_BUCKETS - 1 : firstBucket;
    Uint32 count = 0;
    for (Uint32 bucket = firstBucket; bucket <= lastBucket; ++bucket) {
        walkBucket(header, lockEntry, bucket, [&](Uint32, const LockEntry& entry) {
            if (entry.lockType == lockType && entry.segmentId == segmentId &&
                (pageId == NO_PAGE || entry.pageId == pageId) &&
                (slotId == NO_SLOT || entry.slotId == slotId) &&
                (other == nullptr || entry.transactionId != *other)) {
                ++count;
            }
            return true;
        });
    }
    return count;
}
