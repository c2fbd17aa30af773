// The index scan: the leaf chain from the start key's leaf to the stop key.
#include "OrvIndexManager.h"

#include "OrvError.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "index/OrvIndexBTree.h"
#include "index/OrvIndexTreePage.h"
#include "index/OrvIndexVarcharTreeLeafPage.h"
#include "support/OrvErrorBoundary.h"
#include "support/OrvTrace.h"

OrvIndexIterator::OrvIndexIterator(IndexId indexId, const OrvIndexKey* startKey,
                                   const OrvIndexKey* stopKey, OrvDataType dataType)
    : mIndexId(indexId), mStartKey(startKey), mStopKey(stopKey), mDataType(dataType),
      mLastReturnedTupleId(0, 0) {
    resetResult = reset();
}

OrvIndexIterator::~OrvIndexIterator() = default;

void OrvIndexIterator::releasePage() noexcept {
    OrvErrorBoundary::noThrow(IndexManager, "OrvIndexIterator::releasePage",
                              [this] { page.reset(); });
}

void OrvIndexIterator::fail(OrvErrorCode code) noexcept {
    pendingError = code;
    finished = true;
    pending = false;
    releasePage();
}

OrvErrorCode OrvIndexIterator::reset() {
    ORV_TRACE(IndexManager);
    releasePage();
    currentLeaf = 0;
    mCurrentPosition = 0;
    pending = false;
    finished = false;
    pendingError = ORV_SUCCESS;
    failedWith = ORV_SUCCESS;
    mLastReturnedTupleId = TupleId(0, 0);
    OrvError::getErrorObject()->setError(IndexManager, ORV_SUCCESS);
    try {
        // A tree object of its own: the scan needs the descent only, and
        // does not depend on the manager's list.
        OrvIndexBTree tree;
        tree.openTree(mIndexId, mDataType, false);
        segment = tree.getSegmentId();
        Uint16 pos = 0;
        page = tree.scanStart(mStartKey, pos);
        currentLeaf = page->getPageId();
        mCurrentPosition = pos;
    } catch (const OrvException& e) {
        e.SET_ERROR();
        fail(e.getErrorCode());
    } catch (...) {
        fail(OrvErrorBoundary::recordForeign());
    }
    resetResult = pendingError;
    return pendingError;
}

bool OrvIndexIterator::withinStop(Sint32 value) const {
    if (mStopKey == nullptr) {
        return true;
    }
    if (mStopKey->dataType != INTEGER) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    return value <= mStopKey->intKey;
}

bool OrvIndexIterator::withinStop(const char* text, Uint32 length) const {
    if (mStopKey == nullptr) {
        return true;
    }
    const OrvIndexVarchar::KeyText stop = OrvIndexVarchar::keyText(*mStopKey, false);
    return OrvIndexVarchar::compareText(text, length, stop.text, stop.length) <= 0;
}

bool OrvIndexIterator::advance() {
    if (finished) {
        return false;
    }
    if (page.getPage() == nullptr) {
        // After releasePage: the leaf is still locked for the transaction.
        page = OrvScopedPage(segment, currentLeaf, OrvPage::BTreeIndexPage,
                             OrvScopedPage::GetExistingPage);
    }
    for (;;) {
        const char* bytes = page->getPageData();
        Uint16 count = 0;
        PageId next = 0;
        bool within = false;
        if (mDataType == VARCHAR) {
            const OrvIndexVarcharLeafView view(bytes);
            count = view.numElements();
            next = view.nextId();
            if (mCurrentPosition < count) {
                const OrvIndexVarcharLeafView::Entry entry = view.entryAt(mCurrentPosition);
                within = withinStop(entry.text, entry.length);
            }
        } else {
            const OrvIndexPageView view(bytes);
            if (!view.isLeaf()) {
                ORV_THROW(ORV_INTERNAL_FAIL);
            }
            count = view.numElements();
            next = view.nextId();
            within = mCurrentPosition < count && withinStop(view.valueAt(mCurrentPosition));
        }
        if (mCurrentPosition < count) {
            if (!within) {
                break;
            }
            pending = true;
            return true;
        }
        if (next == 0) {
            break;
        }
        if (next == currentLeaf) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        // The current leaf is locked shared, so its link stays; a split of
        // the next leaf keeps the next leaf's id.
        OrvScopedLock tryLock(segment, next, OrvLockManager::SharedLock, false, true);
        if (tryLock.isGranted()) {
            tryLock.keep();
            page.exchange(segment, next, OrvPage::BTreeIndexPage);
        } else {
            // Wait with no page fixed.
            page.reset();
            OrvLockManager::getInstance()->requestPage(segment, next, OrvLockManager::SharedLock);
            page = OrvScopedPage(segment, next, OrvPage::BTreeIndexPage,
                                 OrvScopedPage::GetExistingPage);
        }
        currentLeaf = next;
        mCurrentPosition = 0;
    }
    finished = true;
    page.reset();
    return false;
}

bool OrvIndexIterator::hasNext() {
    ORV_TRACE(IndexManager);
    if (failedWith != ORV_SUCCESS) {
        return false;
    }
    if (pending || pendingError != ORV_SUCCESS) {
        return true;
    }
    try {
        return advance();
    } catch (const OrvException& e) {
        e.SET_ERROR();
        fail(e.getErrorCode());
    } catch (...) {
        fail(OrvErrorBoundary::recordForeign());
    }
    // The failure is the next thing the scan hands out.
    return true;
}

OrvErrorCode OrvIndexIterator::getNextTupleId(TupleId& tid) {
    ORV_TRACE(IndexManager);
    tid = TupleId(0, 0);
    if (failedWith != ORV_SUCCESS) {
        return failedWith;
    }
    if (!pending && pendingError == ORV_SUCCESS && !hasNext()) {
        OrvError::getErrorObject()->setError(IndexManager, ORV_NOT_FOUND_WARN);
        return ORV_NOT_FOUND_WARN;
    }
    if (pendingError != ORV_SUCCESS) {
        failedWith = pendingError;
        pendingError = ORV_SUCCESS;
        return failedWith;
    }
    try {
        if (page.getPage() == nullptr) {
            page = OrvScopedPage(segment, currentLeaf, OrvPage::BTreeIndexPage,
                                 OrvScopedPage::GetExistingPage);
        }
        const char* bytes = page->getPageData();
        tid = mDataType == VARCHAR ? OrvIndexVarcharLeafView(bytes).entryAt(mCurrentPosition).tid
                                   : OrvIndexPageView(bytes).tupleAt(mCurrentPosition);
        mLastReturnedTupleId = tid;
        pending = false;
        ++mCurrentPosition;
        return ORV_SUCCESS;
    } catch (const OrvException& e) {
        e.SET_ERROR();
        failedWith = e.getErrorCode();
    } catch (...) {
        failedWith = OrvErrorBoundary::recordForeign();
    }
    finished = true;
    releasePage();
    tid = TupleId(0, 0);
    return failedWith;
}
