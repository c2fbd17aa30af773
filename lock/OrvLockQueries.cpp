// The lock manager's queries: what the list holds on a resource, of a
// transaction, of a type. Each takes the latch shared for its walk.
#include "OrvLock.h"

#include "OrvException.h"
#include "lock/OrvLockList.h"
#include "lock/OrvOwnLocks.h"
#include "support/OrvTrace.h"

using OrvLockList::isKnownType;
using OrvLockList::LIST_END;
using OrvLockList::noTransaction;

namespace {

void checkQueryType(OrvLockManager::LockType lockType) {
    if (!isKnownType(lockType)) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
}

} // namespace

bool OrvLockManager::existsLock(SegmentId segmentId, PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    const OrvTransactionId me = getTransactionId();
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    return scanResource(segmentId, pageId, slotId, me).countMine > 0;
}

void OrvLockManager::getLockTypeIfLockExists(bool& exists, LockType& lockType, SegmentId segmentId,
                                             PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    const OrvTransactionId me = getTransactionId();
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    const ResourceScan resource = scanResource(segmentId, pageId, slotId, me);
    exists = resource.firstMine != LIST_END;
    if (exists) {
        lockType = lockEntry[resource.firstMine].lockType;
    }
}

bool OrvLockManager::existsEntry(Uint32& offset, SegmentId segmentId, PageId pageId,
                                 SlotId slotId) {
    ORV_TRACE(LockManager);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    offset = scanResource(segmentId, pageId, slotId, noTransaction()).first;
    return offset != LIST_END;
}

bool OrvLockManager::existsEntry(Uint32& offset, const OrvTransactionId& transactionId,
                                 SegmentId segmentId, PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    offset = scanResource(segmentId, pageId, slotId, transactionId).firstMine;
    return offset != LIST_END;
}

bool OrvLockManager::existsLockType(Uint32& offset, SegmentId segmentId, PageId pageId,
                                    LockType lockType) {
    ORV_TRACE(LockManager);
    return existsLockType(offset, segmentId, pageId, NO_SLOT, lockType);
}

bool OrvLockManager::existsLockType(Uint32& offset, SegmentId segmentId, PageId pageId,
                                    SlotId slotId, LockType lockType) {
    ORV_TRACE(LockManager);
    checkQueryType(lockType);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    const Uint32 found =
        scanResource(segmentId, pageId, slotId, noTransaction()).otherOfType[lockType];
    if (found != LIST_END) {
        offset = found;
    }
    return found != LIST_END;
}

bool OrvLockManager::existsLockType(Uint32& offset, SegmentId segmentId, PageId pageId,
                                    LockType lockType, const OrvTransactionId& transactionId) {
    ORV_TRACE(LockManager);
    return existsLockType(offset, segmentId, pageId, NO_SLOT, lockType, transactionId);
}

bool OrvLockManager::existsLockType(Uint32& offset, SegmentId segmentId, PageId pageId,
                                    SlotId slotId, LockType lockType,
                                    const OrvTransactionId& transactionId) {
    ORV_TRACE(LockManager);
    checkQueryType(lockType);
    // The process's record of its own entries is exact (only this process
    // changes them): the current transaction's entries need no latch. This
    // is the question every page-local record operation asks.
    if (transactionId == getTransactionId()) {
        const Uint32 index = own->findType(transactionId, segmentId, pageId, slotId, lockType);
        if (index == OrvLockList::OwnLocks::NONE) {
            return false;
        }
        offset = index;
        return true;
    }
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    const Uint32 found =
        scanResource(segmentId, pageId, slotId, transactionId).mineOfType[lockType];
    if (found != LIST_END) {
        offset = found;
    }
    return found != LIST_END;
}

bool OrvLockManager::existsLockTypeOnSegment(SegmentId segmentId, LockType lockType) {
    ORV_TRACE(LockManager);
    Uint32 offset = LIST_END;
    return existsLockType(offset, segmentId, NO_PAGE, NO_SLOT, lockType);
}

bool OrvLockManager::existsLockTypeOnSegment(SegmentId segmentId, LockType lockType,
                                             const OrvTransactionId& transactionId) {
    ORV_TRACE(LockManager);
    Uint32 offset = LIST_END;
    return existsLockType(offset, segmentId, NO_PAGE, NO_SLOT, lockType, transactionId);
}

bool OrvLockManager::existsLockTypeOnPage(SegmentId segmentId, PageId pageId, LockType lockType) {
    ORV_TRACE(LockManager);
    Uint32 offset = LIST_END;
    return existsLockType(offset, segmentId, pageId, NO_SLOT, lockType);
}

bool OrvLockManager::existsLockTypeOnPage(SegmentId segmentId, PageId pageId, LockType lockType,
                                          const OrvTransactionId& transactionId) {
    ORV_TRACE(LockManager);
    Uint32 offset = LIST_END;
    return existsLockType(offset, segmentId, pageId, NO_SLOT, lockType, transactionId);
}

bool OrvLockManager::existsExclusiveLock() {
    ORV_TRACE(LockManager);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    // Exclusive and intention-exclusive entries: what a shared lock waits for.
    return findOtherEntry(noTransaction(), SharedLock) != LIST_END;
}

bool OrvLockManager::existsLockForTransaction(const OrvTransactionId& transactionId) {
    ORV_TRACE(LockManager);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    return holdsAnyEntry(transactionId);
}

Uint32 OrvLockManager::numLocks(SegmentId segmentId, PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    return scanResource(segmentId, pageId, slotId, noTransaction()).count;
}

Uint32 OrvLockManager::numLocks(const OrvTransactionId& transactionId, SegmentId segmentId,
                                PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    return scanResource(segmentId, pageId, slotId, transactionId).countMine;
}

Uint32 OrvLockManager::numLocksOfLockType(LockType lockType, SegmentId segmentId, PageId pageId,
                                          SlotId slotId) {
    ORV_TRACE(LockManager);
    checkQueryType(lockType);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    return countOfType(lockType, segmentId, pageId, slotId, nullptr);
}

Uint32 OrvLockManager::numLocksOfLockTypeOtherTrans(LockType lockType, SegmentId segmentId,
                                                    const OrvTransactionId& transactionId,
                                                    PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    checkQueryType(lockType);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    return countOfType(lockType, segmentId, pageId, slotId, &transactionId);
}
