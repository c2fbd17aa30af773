#include "OrvLock.h"

#include "OrvError.h"
#include "OrvException.h"
#include "lock/OrvLockManagerProfiling.h"
#include "support/OrvTrace.h"

OrvScopedLock::OrvScopedLock(SegmentId segmentId, OrvLockManager::LockType lockType,
                             bool forceRequest, bool tryLock)
    : segmentId(segmentId), pageId(0), slotId(0), lockScope(Segment), lockGranted(false),
      entry(OrvLockManager::LIST_END), stamp(0) {
    ORV_TRACE(LockManager);
    lockGranted = requestLock(lockType, forceRequest, tryLock);
}

OrvScopedLock::OrvScopedLock(SegmentId segmentId, PageId pageId, OrvLockManager::LockType lockType,
                             bool forceRequest, bool tryLock)
    : segmentId(segmentId), pageId(pageId), slotId(0), lockScope(Page), lockGranted(false),
      entry(OrvLockManager::LIST_END), stamp(0) {
    ORV_TRACE(LockManager);
    if (pageId == OrvLockManager::NO_PAGE) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    lockGranted = requestLock(lockType, forceRequest, tryLock);
}

OrvScopedLock::OrvScopedLock(SegmentId segmentId, PageId pageId, SlotId slotId,
                             OrvLockManager::LockType lockType, bool forceRequest, bool tryLock)
    : segmentId(segmentId), pageId(pageId), slotId(slotId), lockScope(Slot), lockGranted(false),
      entry(OrvLockManager::LIST_END), stamp(0) {
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
    OrvLockManager* lockManager = OrvLockManager::getInstance();
    OrvLockManagerProfiling::ScopedTimer timer(*lockManager->profiler,
                                               OrvLockManagerProfiling::GetRequestTime);
    OrvLockManager::checkRequestArguments(lockType, segmentId, page, slot);
    const OrvLockManager::Grant grant =
        lockManager->request(lockType, segmentId, page, slot, forceRequest, tryLock);
    if (grant.outcome == OrvLockManager::Outcome::Blocked) {
        if (tryLock) {
            return false;
        }
        OrvLockManager::throwRequestTimeOut(lockType, segmentId, page, slot);
    }
    if (grant.outcome == OrvLockManager::Outcome::Granted) {
        // The object releases the newest entry it inserted; an earlier one
        // (the shared entry of an upgraded lock) stays until releaseAll.
        if (entry != OrvLockManager::LIST_END) {
            lockManager->markScoped(entry, stamp, false);
        }
        entry = grant.entry;
        stamp = grant.stamp;
        lockManager->markScoped(entry, stamp, true);
    }
    return true;
}

bool OrvScopedLock::isGranted() const {
    ORV_TRACE(LockManager);
    return lockGranted;
}

void OrvScopedLock::keep() {
    if (lockGranted && entry != OrvLockManager::LIST_END) {
        OrvLockManager::getInstance()->markScoped(entry, stamp, false);
    }
    entry = OrvLockManager::LIST_END;
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
    if (!lockGranted || entry == OrvLockManager::LIST_END) {
        return;
    }
    try {
        if (lockScope != Segment && lockScope != Page && lockScope != Slot) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        OrvLockManager::getInstance()->releaseScoped(
            entry, stamp, segmentId, lockScope == Segment ? OrvLockManager::NO_PAGE : pageId,
            lockScope == Slot ? slotId : OrvLockManager::NO_SLOT);
    } catch (const OrvException& e) {
        e.SET_ERROR();
        OrvError::getErrorObject()->addTraceRecord(__FILE__, __PRETTY_FUNCTION__, __LINE__);
        orvTrace.traceString(1, "a scoped lock could not be released");
    } catch (const std::exception&) {
        OrvError::getErrorObject()->setError(LockManager, ORV_INTERNAL_FAIL);
        orvTrace.traceString(2, "a scoped lock could not be released");
    }
}
