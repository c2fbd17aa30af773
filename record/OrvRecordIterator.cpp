// The table scan. The scan reads the records of the page it stands on
// straight from the fixed frame (its shared page lock covers every slot), so
// a record costs no lock list or pool round trip; a page costs one lock
// request, one exchange of fixes and the inventory look-up of the next page.
#include "OrvRecordIterator.h"

#include "OrvError.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvRecordManager.h"
#include "record/OrvDataPage.h"
#include "support/OrvErrorBoundary.h"
#include "support/OrvTrace.h"

#include <memory>

namespace {

using View = OrvDataPageView;

// The codes that mean the scan ran past the last page.
bool isEndOfTable(OrvErrorCode code) {
    return code == ORV_NOT_FOUND_WARN || code == ORV_RM_NO_MORE_PAGES ||
           code == ORV_BM_PAGE_NOT_FOUND;
}

} // namespace

OrvRecordIterator::OrvRecordIterator(TableId table) : tableId(table), recordMgr(nullptr) {
    ORV_TRACE(RecordManager);
    try {
        PageId pageId = 0;
        SlotId slotId = 0;
        if (advance(pageId, slotId)) {
            firstPage = currentPage = pageId;
            firstSlot = currentSlot = slotId;
            gotNextRecordTid = true;
            hadFirst = true;
        }
    } catch (const OrvException& e) {
        e.SET_ERROR();
        pendingError = e.getErrorCode();
    } catch (...) {
        pendingError = OrvErrorBoundary::recordForeign();
    }
    // Nothing is fixed until the scan is used: an iterator that is made and
    // left alone never stands in the way of a commit.
    releasePage();
}

OrvRecordIterator::~OrvRecordIterator() = default;

void OrvRecordIterator::releasePage() noexcept {
    OrvErrorBoundary::noThrow(RecordManager, "OrvRecordIterator::releasePage",
                              [this] { page.reset(); });
}

void OrvRecordIterator::fail(OrvErrorCode code) noexcept {
    pendingError = code;
    releasePage();
}

bool OrvRecordIterator::enterPage(PageId pageId) {
    if (page.getPage() != nullptr && page.getPage()->getPageId() == pageId) {
        return true;
    }
    OrvLockManager* lockMgr = OrvLockManager::getInstance();
    // No fix is held while the request may wait; a lock the transaction
    // holds already (a page scanned before) is granted without the list.
    if (page.getPage() == nullptr) {
        lockMgr->requestPage(segment, pageId, OrvLockManager::SharedLock);
    } else if (!lockMgr->tryRequestPage(segment, pageId, OrvLockManager::SharedLock)) {
        page.reset();
        lockMgr->requestPage(segment, pageId, OrvLockManager::SharedLock);
    }
    if (page.getPage() == nullptr) {
        return page.fixIfExists(segment, pageId, OrvPage::DataPage);
    }
    try {
        page.exchange(segment, pageId, OrvPage::DataPage);
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_BM_PAGE_NOT_FOUND) {
            throw;
        }
        page.reset();
        return false;
    }
    return true;
}

bool OrvRecordIterator::advance(PageId& pageId, SlotId& slotId) {
    if (recordMgr == nullptr) {
        recordMgr = OrvRecordManager::getInstance();
    }
    if (segment == 0) {
        segment = recordMgr->openTable(tableId);
    }
    PageId onPage = pageId;
    Uint32 start = Uint32(slotId) + 1;
    if (onPage == 0) {
        onPage = 1;
        start = 0;
    }
    for (;;) {
        if (enterPage(onPage)) {
            const View view(*page.getPage());
            const Uint32 count = view.slotCount();
            for (Uint32 s = start; s < count; ++s) {
                const Slot slot = view.checkedSlot(s);
                // Primary records and placeholders: every record once,
                // under its primary tuple id.
                if (View::isEmpty(slot) || slot.recordType == View::SECONDARY) {
                    continue;
                }
                pageId = onPage;
                slotId = static_cast<SlotId>(s);
                return true;
            }
        }
        try {
            recordMgr->findNextPage(segment, onPage);
        } catch (const OrvException& e) {
            if (!isEndOfTable(e.getErrorCode())) {
                throw;
            }
            page.reset();
            return false;
        }
        start = 0;
    }
}

void OrvRecordIterator::readCurrent(OrvRecord*& record) {
    const TupleId tid(currentPage, currentSlot);
    if (!enterPage(currentPage)) {
        ORV_THROW(ORV_RM_REC_NOT_FOUND);
    }
    const View view(*page.getPage());
    // The transaction itself may have removed the record since it was found.
    if (currentSlot >= view.slotCount()) {
        ORV_THROW(ORV_RM_REC_NOT_FOUND);
    }
    const Slot slot = view.checkedSlot(currentSlot);
    if (View::isEmpty(slot)) {
        ORV_THROW(ORV_RM_REC_NOT_FOUND);
    }
    if (slot.recordType == View::PRIMARY) {
        const char* bytes = view.recordBytes(slot);
        std::unique_ptr<OrvRecord> made;
        if (record == nullptr) {
            made = std::make_unique<OrvRecord>();
        }
        OrvRecord& target = record != nullptr ? *record : *made;
        target.setData(bytes, slot.recordLength);
        target.setTupleId(tid);
        if (made) {
            record = made.release();
        }
        return;
    }
    if (slot.recordType != View::PLACEHOLDER) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    // A moved record: get locks its secondary slot, which may wait, so the
    // scan's fix is given back first (the next step fixes the page again).
    page.reset();
    recordMgr->get(tableId, tid, true, false, record);
}

bool OrvRecordIterator::hasNext() {
    ORV_TRACE(RecordManager);
    if (failedWith != ORV_SUCCESS) {
        return false;
    }
    if (gotNextRecordTid || pendingError != ORV_SUCCESS) {
        return true;
    }
    try {
        PageId pageId = currentPage;
        SlotId slotId = currentSlot;
        if (!advance(pageId, slotId)) {
            return false;
        }
        currentPage = pageId;
        currentSlot = slotId;
        gotNextRecordTid = true;
        return true;
    } catch (const OrvException& e) {
        e.SET_ERROR();
        fail(e.getErrorCode());
    } catch (...) {
        fail(OrvErrorBoundary::recordForeign());
    }
    // The failure is the next thing the scan hands out.
    return true;
}

OrvErrorCode OrvRecordIterator::getNext(OrvRecord*& record) {
    ORV_TRACE(RecordManager);
    if (failedWith != ORV_SUCCESS) {
        return failedWith;
    }
    if (pendingError != ORV_SUCCESS) {
        failedWith = pendingError;
        pendingError = ORV_SUCCESS;
        return failedWith;
    }
    try {
        if (!gotNextRecordTid) {
            PageId pageId = currentPage;
            SlotId slotId = currentSlot;
            if (!advance(pageId, slotId)) {
                OrvError::getErrorObject()->setError(RecordManager, ORV_NOT_FOUND_WARN);
                return ORV_NOT_FOUND_WARN;
            }
            currentPage = pageId;
            currentSlot = slotId;
        }
        gotNextRecordTid = false;
        readCurrent(record);
        return ORV_SUCCESS;
    } catch (const OrvException& e) {
        e.SET_ERROR();
        failedWith = e.getErrorCode();
    } catch (...) {
        failedWith = OrvErrorBoundary::recordForeign();
    }
    releasePage();
    return failedWith;
}

OrvErrorCode OrvRecordIterator::reset() {
    ORV_TRACE(RecordManager);
    releasePage();
    currentPage = firstPage;
    currentSlot = firstSlot;
    gotNextRecordTid = hadFirst;
    pendingError = ORV_SUCCESS;
    failedWith = ORV_SUCCESS;
    OrvError::getErrorObject()->setError(RecordManager, ORV_SUCCESS);
    return ORV_SUCCESS;
}

void OrvRecordManager::getRecordIterator(TableId tableId, OrvRecordIterator*& iter) {
    ORV_TRACE(RecordManager);
    iter = new OrvRecordIterator(tableId);
}
