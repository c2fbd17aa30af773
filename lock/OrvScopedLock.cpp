#include "OrvLock.h"

#include "OrvError.h"
#include "OrvException.h"
#include "support/OrvTrace.h"

OrvScopedLock::OrvScopedLock(SegmentId segmentId, OrvLockManager::LockType lockType,
                             bool forceRequest, bool tryLock)
    : segmentId(segmentId), pageId(0), slotId(0), lockScope(Segment), lockGranted(false),
      ownsEntry(false) {
    ORV_TRACE(LockManager);
    lockGranted = requestLock(lockType, forceRequest, tryLock);
}

OrvScopedLock::OrvScopedLock(SegmentId segmentId, PageId pageId, OrvLockManager::LockType lockType,
                             bool forceRequest, bool tryLock)
    : segmentId(segmentId), pageId(pageId), slotId(0), lockScope(Page), lockGranted(false),
      ownsEntry(false) {
    ORV_TRACE(LockManager);
    if (pageId == OrvLockManager::NO_PAGE) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    lockGranted = requestLock(lockType, forceRequest, tryLock);
}

OrvScopedLock::OrvScopedLock(SegmentId segmentId, PageId pageId, SlotId slotId,
                             OrvLockManager::LockType lockType, bool forceRequest, bool tryLock)
    : segmentId(segmentId), pageId(pageId), slotId(slotId), lockScope(Slot), lockGranted(false),
      ownsEntry(false) {
    ORV_TRACE(LockManager);
    if (pageId == OrvLockManager::NO_PAGE || slotId == OrvLockManager::NO_SLOT) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    lockGranted = requestLock(lockType, forceRequest, tryLock);
}

bool OrvScopedLock::requestLock(OrvLockManager::LockType lockType, bool forceRequest,
                                bool tryLock) {
    ORV_TRACE(LockManager);
    PageId page = OrvLockManager::NO_PAGE;
    SlotId slot = OrvLockManager::NO_SLOT;
    switch (lockScope) {
    case Segment:
        break;
    case Page:
        page = pageId;
        break;
    case Slot:
        page = pageId;
        slot = slotId;
        break;
    default:
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    bool inserted = false;
    const bool granted = OrvLockManager::getInstance()->requestForScope(
        lockType, segmentId, page, slot, forceRequest, tryLock, inserted);
    ownsEntry = ownsEntry || inserted;
    return granted;
}

bool OrvScopedLock::isGranted() const {
    ORV_TRACE(LockManager);
    return lockGranted;
}

void OrvScopedLock::upgradeLock() {
    ORV_TRACE(LockManager);
    if (!lockGranted) {
        return;
    }
    requestLock(OrvLockManager::ExclusiveLock, true, false);
}

OrvScopedLock::~OrvScopedLock() {
    ORV_TRACE(LockManager);
    if (!lockGranted || !ownsEntry) {
        return;
    }
    try {
        OrvLockManager* lockManager = OrvLockManager::getInstance();
        switch (lockScope) {
        case Segment:
            lockManager->releaseSegment(segmentId);
            break;
        case Page:
            lockManager->releasePage(segmentId, pageId);
            break;
        case Slot:
            lockManager->releaseSlot(segmentId, pageId, slotId);
            break;
        default:
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
    } catch (const OrvException& e) {
        e.SET_ERROR();
        OrvError::getErrorObject()->addTraceRecord(__FILE__, __PRETTY_FUNCTION__, __LINE__);
        orvTrace.traceString(1, "a scoped lock could not be released");
    } catch (const std::exception&) {
        OrvError::getErrorObject()->setError(LockManager, ORV_INTERNAL_FAIL);
        orvTrace.traceString(2, "a scoped lock could not be released");
    }
}
