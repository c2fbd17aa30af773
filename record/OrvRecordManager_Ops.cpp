// The record operations: insert, get, remove, replace, the scan steps and
// commit. Each change follows the steps of record/README.md: lock, fix,
// check, log, apply, mark modified.
#include "OrvRecordManager.h"

#include "OrvException.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvTransaction.h"
#include "log/OrvRecordLogEntry.h"
#include "record/OrvDataPage.h"
#include "record/OrvFsiPage.h"
#include "support/OrvTrace.h"

#include <cstring>
#include <memory>
#include <string>

namespace {

using LM = OrvLockManager;
using RM = OrvRecordManager;
using View = OrvDataPageView;

constexpr Uint32 PAGE_END = ORV_PAGE_SIZE;

using OrvFsi::isDataPageId;

// A tuple id handed in by a caller: anything that cannot name a record is a
// record that is not there.
void checkCallerTid(const TupleId& tid) {
    if (!isDataPageId(tid.page) || tid.slot == ORV_INVALID_SLOT_ID) {
        ORV_THROW(ORV_RM_REC_NOT_FOUND);
    }
}

// The secondary tuple id a placeholder holds, checked before it is used: a
// data page other than the placeholder's own, a slot below 255.
TupleId placeholderTarget(const Slot& slot, PageId ownPage) {
    if (!isDataPageId(slot.offset) || slot.offset == ownPage ||
        slot.recordLength >= ORV_INVALID_SLOT_ID) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return TupleId(slot.offset, static_cast<SlotId>(slot.recordLength));
}

OrvScopedPage fixData(SegmentId segment, PageId pageId) {
    return OrvScopedPage(segment, pageId, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
}

// The slot of a caller's tuple id: beyond the directory or empty is
// ORV_RM_REC_NOT_FOUND; a slot of unknown type or a record outside the
// record area is damage (the view's codes).
Slot primarySlot(const View& view, SlotId slotId) {
    if (slotId >= view.slotCount()) {
        ORV_THROW(ORV_RM_REC_NOT_FOUND);
    }
    const Slot slot = view.checkedSlot(slotId);
    if (View::isEmpty(slot)) {
        ORV_THROW(ORV_RM_REC_NOT_FOUND);
    }
    return slot;
}

// The secondary slot a placeholder names: beyond the directory is
// ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, anything but a secondary record
// ORV_INTERNAL_FAIL.
Slot secondarySlot(const View& view, SlotId slotId) {
    if (slotId >= view.slotCount()) {
        ORV_THROW(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, OrvException::to_string(view.pageId()),
                  OrvException::to_string(slotId));
    }
    const Slot slot = view.checkedSlot(slotId);
    if (slot.recordType != View::SECONDARY || View::isEmpty(slot)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return slot;
}

// Empties a slot and the bytes of its record (none for a placeholder); the
// directory shrinks by one when it was its last slot.
void clearSlot(OrvDataPageWriter& writer, SlotId slotId) {
    const Slot old = writer.slot(slotId);
    if (View::holdsBytes(old)) {
        const std::string zeros(old.recordLength, '\0');
        writer.writeBytes(old.offset, zeros.data(), old.recordLength);
    }
    writer.setSlot(slotId, makeSlot(0, 0, View::PRIMARY));
    if (Uint32(slotId) + 1 == writer.slotCount()) {
        writer.setSlotCount(slotId);
    }
}

void markModified(OrvScopedPage& page, const OrvLsn& lsn, const char* call) {
    OrvException::raise(page.getPage()->markAsModified(lsn), call, __FILE__, __LINE__,
                        __PRETTY_FUNCTION__);
}

void checkLength(const OrvRecord& record) {
    if (record.getLength() > RM::MAX_RECORD_LENGTH) {
        ORV_THROW(ORV_RM_INSERT_RECORD_TOO_LONG);
    }
    if (record.getLength() == 0 || record.getRecordData() == nullptr) {
        ORV_THROW(ORV_RM_NULL_LEN_REC);
    }
}

// Where a record of `length` bytes goes on a page whose largest block is
// (blockOffset, blockSize); 0 when it does not fit the block.
Uint16 placeInBlock(Uint16 blockOffset, Uint16 blockSize, Uint16 length) {
    if (blockSize < length || (blockOffset == 0 && blockSize == 0)) {
        return 0;
    }
    return static_cast<Uint16>(blockOffset + blockSize - length);
}

} // namespace

// ---- helpers ---------------------------------------------------------------------

SegmentId OrvRecordManager::openTable(TableId tableId) {
    const SegmentId segment = segmentOf(tableId);
    if (openedSegments.count(segment) == 0) {
        OrvBufferManager::getInstance()->openSegment(segment);
        openedSegments.insert(segment);
    }
    return segment;
}

void OrvRecordManager::lockEntry(SegmentId segmentId, PageId pageId) {
    const PageId fsiPage = getFsiPageId(pageId);
    const SlotId slot = getFsiSlot(pageId);
    if (!holdsExclusiveSlot(segmentId, fsiPage, slot)) {
        lockMgr->requestSlot(segmentId, fsiPage, slot, LM::ExclusiveLock, false);
    }
}

OrvLsn OrvRecordManager::logRecord(SegmentId segmentId, int type, const OrvRecord* before,
                                   const OrvRecord* after, const TupleId* primary,
                                   const TupleId* oldSecondary, const TupleId* newSecondary) {
    OrvRecordLogEntry entry(
        OrvTransactionManager::getInstance()->getCurrentTransactionID(), segmentId,
        before ? before->getRecordData() : nullptr, before ? before->getLength() : 0,
        after ? after->getRecordData() : nullptr, after ? after->getLength() : 0, type, primary,
        oldSecondary, newSecondary);
    return OrvLogManager::getInstance()->createLogEntry(&entry);
}

void OrvRecordManager::fixOrMakeReservedPage(SegmentId segmentId, PageId pageId,
                                             OrvScopedPage& page) {
    OrvScopedPage existing;
    if (existing.fixIfExists(segmentId, pageId, OrvPage::DataPage)) {
        page = std::move(existing);
        return;
    }
    // Reserved by a process that died before it made the page: the entry
    // (and its lock, held by this transaction) makes it ours to make.
    page = OrvScopedPage(segmentId, pageId, OrvPage::DataPage, OrvScopedPage::CreateNewPage);
    OrvDataPageWriter writer(*page.getPage());
    const std::string zeros(PAGE_END - sizeof(OrvPageHeader), '\0');
    writer.writeBytes(sizeof(OrvPageHeader), zeros.data(), static_cast<Uint32>(zeros.size()));
    updateFreeSpace(page.getPage(), false);
}

void OrvRecordManager::createNewPage(const TableId& tableId, PageId& pageId, OrvScopedPage& page) {
    ORV_TRACE(RecordManager);
    const SegmentId segment = openTable(tableId);
    // Reserves the id and keeps its entry locked exclusively.
    getNewPageId(tableId, pageId);
    lockMgr->requestPage(segment, pageId, LM::ExclusiveLock);
    fixOrMakeReservedPage(segment, pageId, page);
}

void OrvRecordManager::getFittingPage(const TableId& tableId, const Uint16& length,
                                      OrvScopedPage& page, Uint16& offset, SlotId& slotId,
                                      const std::set<PageId>& avoid) {
    ORV_TRACE(RecordManager);
    const SegmentId segment = openTable(tableId);
    const auto hint = searchStart.find(segment);
    Uint32 next = hint == searchStart.end() ? 1 : hint->second;
    // A search that began past page 1 and found nothing looks once more from
    // page 1, so a page with room is never left behind.
    bool fromStart = next <= 1;
    for (;;) {
        PageId candidate = 0;
        bool fresh = false;
        // Finding no page with room (or no inventory page yet) is the usual
        // way to a new page, not a failure: no exception on that path.
        if (next <= ORV_MAX_PAGE_ID) {
            OrvErrorCode none = ORV_SUCCESS;
            candidate = searchFreeMemoryBlock(tableId, static_cast<Uint16>(length + SLOT_SIZE),
                                              static_cast<PageId>(next), none);
        }
        if (candidate == 0) {
            if (!fromStart) {
                fromStart = true;
                next = 1;
                continue;
            }
            createNewPage(tableId, candidate, page);
            fresh = true;
        }
        if (!fresh) {
            if (avoid.count(candidate) != 0) {
                next = Uint32(candidate) + 1;
                continue;
            }
            fixOrMakeReservedPage(segment, candidate, page);
        }
        const View view(*page.getPage());
        OrvErrorCode refusal = ORV_SUCCESS;
        const SlotId slot = view.freeSlot(refusal);
        if (refusal == ORV_SUCCESS) {
            const Uint32 slotsAfter =
                slot == view.slotCount() ? view.slotCount() + 1 : view.slotCount();
            Uint16 blockOffset = 0;
            Uint16 blockSize = 0;
            view.largestBlock(blockOffset, blockSize);
            const Uint16 place = placeInBlock(blockOffset, blockSize, length);
            // The record must stay clear of the directory with its new slot
            // and the spare one.
            if (place != 0 && place >= View::directoryEndFor(slotsAfter + 1)) {
                offset = place;
                slotId = slot;
                searchStart[segment] = candidate;
                return;
            }
        }
        if (fresh) {
            // An empty page always takes a record of the longest length.
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        // The entry promised room the page does not have (or no slot is
        // free): the entry is brought up to date and the search goes on.
        updateFreeSpace(page.getPage(), false);
        page.reset();
        next = Uint32(candidate) + 1;
    }
}

// ---- insert ------------------------------------------------------------------------

void OrvRecordManager::insert(const OrvRecord& record, TableId tableId, TupleId& tupleId) {
    insert(record, tableId, PrimaryRecord, tupleId);
}

void OrvRecordManager::insert(const OrvRecord& record, TableId tableId, RecordType type,
                              TupleId& tupleId) {
    ORV_TRACE(RecordManager);
    if (type != PrimaryRecord) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    checkLength(record);
    const SegmentId segment = openTable(tableId);
    // Locks (page and entry) and fix; every check is done in there.
    OrvScopedPage page;
    Uint16 offset = 0;
    SlotId slotId = 0;
    getFittingPage(tableId, record.getLength(), page, offset, slotId);
    const TupleId newTid(page->getPageId(), slotId);
    const OrvLsn lsn = logRecord(segment, INSERT, nullptr, &record, &newTid, nullptr, nullptr);
    insertRecordOnPage(page.getPage(), slotId, record, PrimaryRecord, offset);
    markModified(page, lsn, "page->markAsModified(lsn)");
    updateFreeSpace(page.getPage(), false);
    tupleId = newTid;
}

// ---- get ---------------------------------------------------------------------------

void OrvRecordManager::get(TableId tableId, const TupleId& tupleId, OrvRecord*& record) {
    get(tableId, tupleId, true, false, record);
}

void OrvRecordManager::getForUpdate(TableId tableId, const TupleId& tupleId, OrvRecord*& record) {
    get(tableId, tupleId, true, true, record);
}

void OrvRecordManager::get(TableId tableId, const TupleId& tupleId, bool primaryOnly,
                           bool lockForUpdate, OrvRecord*& record) {
    get(tableId, tupleId, primaryOnly, lockForUpdate, record, openTable(tableId));
}

void OrvRecordManager::get(TableId /*tableId*/, const TupleId& tupleId, bool primaryOnly,
                           bool lockForUpdate, OrvRecord*& record, SegmentId segmentId) {
    ORV_TRACE(RecordManager);
    checkCallerTid(tupleId);
    const LM::LockType mode = lockForUpdate ? LM::ExclusiveLock : LM::SharedLock;
    lockMgr->requestSlot(segmentId, tupleId.page, tupleId.slot, mode, false);
    OrvScopedPage page = fixData(segmentId, tupleId.page);
    const Slot slot = primarySlot(View(*page.getPage()), tupleId.slot);
    if (slot.recordType == SecondaryRecord && primaryOnly) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    if (slot.recordType != PlaceHolderTid) {
        getRecordFromPage(page.getPage(), tupleId, record);
        return;
    }
    const TupleId secondary = placeholderTarget(slot, tupleId.page);
    page.reset();
    lockMgr->requestSlot(segmentId, secondary.page, secondary.slot, mode, false);
    OrvScopedPage secPage = fixData(segmentId, secondary.page);
    secondarySlot(View(*secPage.getPage()), secondary.slot);
    getRecordFromPage(secPage.getPage(), secondary, record);
}

// ---- remove ------------------------------------------------------------------------

void OrvRecordManager::remove(const TableId& tableId, const TupleId& tupleId) {
    remove(openTable(tableId), tupleId, false);
}

void OrvRecordManager::remove(const SegmentId& segmentId, const TupleId& tupleId, bool compensate) {
    ORV_TRACE(RecordManager);
    checkCallerTid(tupleId);
    if (openedSegments.count(segmentId) == 0) {
        OrvBufferManager::getInstance()->openSegment(segmentId);
        openedSegments.insert(segmentId);
    }
    const int kind = compensate ? COMPENSATE_DELETE : DELETE;
    // Lock: the slot and the page's inventory entry, before anything is read.
    lockMgr->requestSlot(segmentId, tupleId.page, tupleId.slot, LM::ExclusiveLock, false);
    lockEntry(segmentId, tupleId.page);
    OrvScopedPage basePage = fixData(segmentId, tupleId.page);
    Slot slot = primarySlot(View(*basePage.getPage()), tupleId.slot);
    if (slot.recordType == SecondaryRecord) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    if (slot.recordType == PrimaryRecord) {
        OrvRecord* before = nullptr;
        getRecordFromPage(basePage.getPage(), tupleId, before);
        const std::unique_ptr<OrvRecord> owned(before);
        const OrvLsn lsn = logRecord(segmentId, kind, before, nullptr, &tupleId, nullptr, nullptr);
        OrvDataPageWriter writer(*basePage.getPage());
        clearSlot(writer, tupleId.slot);
        markModified(basePage, lsn, "basePage->markAsModified(lsn)");
        updateFreeSpace(basePage.getPage(), false);
        return;
    }

    // A moved record: its secondary slot and entry are locked too, with no
    // fix held while the requests may wait. The placeholder cannot change
    // meanwhile: its slot is locked exclusively.
    const TupleId secondary = placeholderTarget(slot, tupleId.page);
    basePage.reset();
    lockMgr->requestSlot(segmentId, secondary.page, secondary.slot, LM::ExclusiveLock, false);
    lockEntry(segmentId, secondary.page);
    basePage = fixData(segmentId, tupleId.page);
    slot = primarySlot(View(*basePage.getPage()), tupleId.slot);
    if (slot.recordType != PlaceHolderTid ||
        !(placeholderTarget(slot, tupleId.page) == secondary)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    OrvScopedPage secPage = fixData(segmentId, secondary.page);
    secondarySlot(View(*secPage.getPage()), secondary.slot);
    OrvRecord* before = nullptr;
    getRecordFromPage(secPage.getPage(), secondary, before);
    const std::unique_ptr<OrvRecord> owned(before);
    const OrvLsn lsn = logRecord(segmentId, kind, before, nullptr, &tupleId, &secondary, nullptr);
    OrvDataPageWriter secWriter(*secPage.getPage());
    clearSlot(secWriter, secondary.slot);
    OrvDataPageWriter baseWriter(*basePage.getPage());
    clearSlot(baseWriter, tupleId.slot);
    markModified(secPage, lsn, "secPage->markAsModified(lsn)");
    markModified(basePage, lsn, "basePage->markAsModified(lsn)");
    updateFreeSpace(secPage.getPage(), false);
    updateFreeSpace(basePage.getPage(), false);
}

// ---- replace -----------------------------------------------------------------------

void OrvRecordManager::replace(TableId tableId, const TupleId& tupleId, const OrvRecord& record) {
    TupleId ignored;
    replace(tableId, tupleId, record, ignored);
}

void OrvRecordManager::replace(TableId tableId, const TupleId& tupleId, const OrvRecord& record,
                               TupleId& newTid) {
    ORV_TRACE(RecordManager);
    checkLength(record);
    checkCallerTid(tupleId);
    const SegmentId segment = openTable(tableId);
    const Uint16 newLength = record.getLength();

    // Lock first, then check: the primary slot and the primary page's entry.
    lockMgr->requestSlot(segment, tupleId.page, tupleId.slot, LM::ExclusiveLock, false);
    lockEntry(segment, tupleId.page);
    OrvScopedPage primaryPage = fixData(segment, tupleId.page);
    Slot slot = primarySlot(View(*primaryPage.getPage()), tupleId.slot);
    if (slot.recordType == SecondaryRecord) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }

    ReplaceType kind = UNDEFINED;
    bool compact = false;
    Uint16 offset = 0;
    TupleId oldSecondary;
    OrvScopedPage oldSecPage;
    OrvScopedPage newSecPage;
    SlotId newSecSlot = 0;

    if (slot.recordType == PrimaryRecord) {
        const Uint16 oldLength = slot.recordLength;
        if (newLength <= oldLength) {
            kind = SAMEPRIMARY;
            offset = slot.offset;
        } else {
            // Growing: the whole page is locked, as the record may move on it
            // or its page be compacted. A lock granted at once needs no
            // second fix; one that may wait is waited for with no fix held.
            if (!lockMgr->tryRequestPage(segment, tupleId.page, LM::ExclusiveLock)) {
                primaryPage.reset();
                lockMgr->requestPage(segment, tupleId.page, LM::ExclusiveLock);
                primaryPage = fixData(segment, tupleId.page);
            }
            const View view(*primaryPage.getPage());
            slot = primarySlot(view, tupleId.slot);
            if (slot.recordType != PrimaryRecord || slot.recordLength != oldLength) {
                ORV_THROW(ORV_INTERNAL_FAIL);
            }
            Uint16 blockOffset = 0;
            Uint16 blockSize = 0;
            view.largestBlock(blockOffset, blockSize);
            const Uint32 total = view.freeSpace();
            const Uint32 growth = newLength - oldLength;
            const bool haveBlock = !(blockOffset == 0 && blockSize == 0);
            if (haveBlock && Uint32(slot.offset) + oldLength == blockOffset &&
                growth <= blockSize) {
                kind = SAMEPRIMARY;
                offset = slot.offset;
            } else if (haveBlock && slot.offset == Uint32(blockOffset) + blockSize &&
                       growth <= blockSize) {
                kind = SAMEPRIMARY;
                offset = blockOffset;
            } else if (placeInBlock(blockOffset, blockSize, newLength) != 0) {
                kind = SAMEPRIMARY;
                offset = placeInBlock(blockOffset, blockSize, newLength);
            } else if (total + oldLength >= newLength) {
                kind = SAMEPRIMARY;
                compact = true;
            } else {
                kind = PRIMTOSEC;
                primaryPage.reset();
                getFittingPage(tableId, newLength, newSecPage, offset, newSecSlot, {tupleId.page});
                primaryPage = fixData(segment, tupleId.page);
            }
        }
    } else {
        // Moved: the old secondary page and its entry are locked, with no
        // fix held while the requests may wait.
        oldSecondary = placeholderTarget(slot, tupleId.page);
        primaryPage.reset();
        lockMgr->requestPage(segment, oldSecondary.page, LM::ExclusiveLock);
        lockEntry(segment, oldSecondary.page);
        primaryPage = fixData(segment, tupleId.page);
        slot = primarySlot(View(*primaryPage.getPage()), tupleId.slot);
        if (slot.recordType != PlaceHolderTid ||
            !(placeholderTarget(slot, tupleId.page) == oldSecondary)) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        bool home = View(*primaryPage.getPage()).freeSpace() >= newLength;
        if (home) {
            // Coming home needs the primary page: its room is counted again
            // under its lock.
            primaryPage.reset();
            lockMgr->requestPage(segment, tupleId.page, LM::ExclusiveLock);
            primaryPage = fixData(segment, tupleId.page);
            home = View(*primaryPage.getPage()).freeSpace() >= newLength;
        }
        oldSecPage = fixData(segment, oldSecondary.page);
        const View secView(*oldSecPage.getPage());
        const Slot secSlot = secondarySlot(secView, oldSecondary.slot);
        const Uint16 oldLength = secSlot.recordLength;
        if (home) {
            kind = SECTOPRIM;
            const View view(*primaryPage.getPage());
            Uint16 blockOffset = 0;
            Uint16 blockSize = 0;
            view.largestBlock(blockOffset, blockSize);
            offset = placeInBlock(blockOffset, blockSize, newLength);
            compact = offset == 0;
        } else if (newLength <= oldLength) {
            kind = SAMESECONDARY;
            offset = secSlot.offset;
        } else if (Uint32(secView.freeSpace()) + oldLength >= newLength) {
            kind = SAMESECONDARY;
            Uint16 blockOffset = 0;
            Uint16 blockSize = 0;
            secView.largestBlock(blockOffset, blockSize);
            offset = placeInBlock(blockOffset, blockSize, newLength);
            compact = offset == 0;
        } else {
            kind = SECTOSEC;
            primaryPage.reset();
            oldSecPage.reset();
            getFittingPage(tableId, newLength, newSecPage, offset, newSecSlot,
                           {tupleId.page, oldSecondary.page});
            primaryPage = fixData(segment, tupleId.page);
            oldSecPage = fixData(segment, oldSecondary.page);
        }
    }

    // Everything is locked and checked: log, apply, mark.
    OrvRecord* before = nullptr;
    if (kind == SAMEPRIMARY || kind == PRIMTOSEC) {
        getRecordFromPage(primaryPage.getPage(), tupleId, before);
    } else {
        getRecordFromPage(oldSecPage.getPage(), oldSecondary, before);
    }
    const std::unique_ptr<OrvRecord> owned(before);
    const TupleId newSecondary(newSecPage.getPage() ? newSecPage->getPageId() : 0, newSecSlot);
    const TupleId* oldSecLog = nullptr;
    const TupleId* newSecLog = nullptr;
    switch (kind) {
    case SAMEPRIMARY:
        break;
    case PRIMTOSEC:
        newSecLog = &newSecondary;
        break;
    case SAMESECONDARY:
        oldSecLog = &oldSecondary;
        newSecLog = &oldSecondary;
        break;
    case SECTOPRIM:
        oldSecLog = &oldSecondary;
        break;
    case SECTOSEC:
        oldSecLog = &oldSecondary;
        newSecLog = &newSecondary;
        break;
    default:
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const OrvLsn lsn = logRecord(segment, UPDATE, before, &record, &tupleId, oldSecLog, newSecLog);

    // Writes the record into `slotId` of `page` at `offset`, compacting the
    // page first when `compact` (the old record's bytes are gone by then).
    auto place = [&](OrvScopedPage& page, SlotId slotId, RecordType type) {
        if (compact) {
            Uint16 freeSpace = 0;
            Uint16 freeSpaceOffset = 0;
            reorganizePage(page.getPage(), freeSpace, freeSpaceOffset);
            calcOffset(page.getPage(), newLength, offset);
        }
        insertRecordOnPage(page.getPage(), slotId, record, type, offset);
    };

    switch (kind) {
    case SAMEPRIMARY: {
        OrvDataPageWriter writer(*primaryPage.getPage());
        const std::string zeros(before->getLength(), '\0');
        writer.writeBytes(slot.offset, zeros.data(), before->getLength());
        writer.setSlot(tupleId.slot, makeSlot(0, 0, View::PRIMARY));
        place(primaryPage, tupleId.slot, PrimaryRecord);
        newTid = tupleId;
        markModified(primaryPage, lsn, "primaryPage->markAsModified(lsn)");
        updateFreeSpace(primaryPage.getPage(), false);
        break;
    }
    case PRIMTOSEC: {
        OrvDataPageWriter writer(*primaryPage.getPage());
        const std::string zeros(before->getLength(), '\0');
        writer.writeBytes(slot.offset, zeros.data(), before->getLength());
        insertRecordOnPage(newSecPage.getPage(), newSecSlot, record, SecondaryRecord, offset);
        writer.setSlot(tupleId.slot,
                       makeSlot(newSecondary.page, newSecondary.slot, View::PLACEHOLDER));
        newTid = newSecondary;
        markModified(primaryPage, lsn, "primaryPage->markAsModified(lsn)");
        markModified(newSecPage, lsn, "newSecPage->markAsModified(lsn)");
        updateFreeSpace(primaryPage.getPage(), false);
        updateFreeSpace(newSecPage.getPage(), false);
        break;
    }
    case SAMESECONDARY: {
        OrvDataPageWriter writer(*oldSecPage.getPage());
        const Slot secSlot = writer.slot(oldSecondary.slot);
        const std::string zeros(secSlot.recordLength, '\0');
        writer.writeBytes(secSlot.offset, zeros.data(), secSlot.recordLength);
        writer.setSlot(oldSecondary.slot, makeSlot(0, 0, View::PRIMARY));
        place(oldSecPage, oldSecondary.slot, SecondaryRecord);
        newTid = oldSecondary;
        markModified(oldSecPage, lsn, "oldSecPage->markAsModified(lsn)");
        updateFreeSpace(oldSecPage.getPage(), false);
        break;
    }
    case SECTOPRIM: {
        OrvDataPageWriter secWriter(*oldSecPage.getPage());
        clearSlot(secWriter, oldSecondary.slot);
        OrvDataPageWriter writer(*primaryPage.getPage());
        writer.setSlot(tupleId.slot, makeSlot(0, 0, View::PRIMARY));
        place(primaryPage, tupleId.slot, PrimaryRecord);
        newTid = tupleId;
        markModified(primaryPage, lsn, "primaryPage->markAsModified(lsn)");
        markModified(oldSecPage, lsn, "oldSecPage->markAsModified(lsn)");
        updateFreeSpace(primaryPage.getPage(), false);
        updateFreeSpace(oldSecPage.getPage(), false);
        break;
    }
    case SECTOSEC: {
        OrvDataPageWriter writer(*primaryPage.getPage());
        writer.setSlot(tupleId.slot,
                       makeSlot(newSecondary.page, newSecondary.slot, View::PLACEHOLDER));
        OrvDataPageWriter secWriter(*oldSecPage.getPage());
        clearSlot(secWriter, oldSecondary.slot);
        insertRecordOnPage(newSecPage.getPage(), newSecSlot, record, SecondaryRecord, offset);
        newTid = newSecondary;
        markModified(primaryPage, lsn, "primaryPage->markAsModified(lsn)");
        markModified(oldSecPage, lsn, "oldSecPage->markAsModified(lsn)");
        markModified(newSecPage, lsn, "newSecPage->markAsModified(lsn)");
        updateFreeSpace(oldSecPage.getPage(), false);
        updateFreeSpace(newSecPage.getPage(), false);
        break;
    }
    default:
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
}

// ---- scans -------------------------------------------------------------------------

void OrvRecordManager::findNextPage(const SegmentId& segmentId, PageId& pageId) {
    ORV_TRACE(RecordManager);
    for (Uint32 next = Uint32(pageId) + 1; next <= ORV_MAX_PAGE_ID; ++next) {
        const PageId candidate = static_cast<PageId>(next);
        if (!isDataPageId(candidate)) {
            continue;
        }
        FsiEntry entry;
        try {
            findFsiEntry(segmentId, candidate, entry);
        } catch (const OrvException& e) {
            if (e.getErrorCode() == ORV_RM_NO_FSI_ENTRY_FOR_PAGE) {
                ORV_THROW(ORV_RM_NO_MORE_PAGES);
            }
            throw;
        }
        // A reserved page whose process died before making it has an empty
        // entry and no page: nothing to scan there.
        if (entry.freeSpace == OrvFsi::EMPTY_PAGE_UNITS &&
            entry.freeSpaceBlock == OrvFsi::EMPTY_PAGE_UNITS) {
            OrvScopedPage probe;
            if (!probe.fixIfExists(segmentId, candidate, OrvPage::DataPage)) {
                continue;
            }
        }
        pageId = candidate;
        return;
    }
    ORV_THROW(ORV_RM_NO_MORE_PAGES);
}

void OrvRecordManager::findNextRecord(TableId tableId, TupleId& tupleId) {
    ORV_TRACE(RecordManager);
    const SegmentId segment = openTable(tableId);
    PageId pageId = tupleId.page;
    Uint32 startSlot = Uint32(tupleId.slot) + 1;
    if (pageId == 0) {
        pageId = 1;
        startSlot = 0;
    } else if (tupleId.slot == ORV_SLOT_METADATA || !isDataPageId(pageId)) {
        findNextPage(segment, pageId);
        startSlot = 0;
    }
    for (;;) {
        lockMgr->requestPage(segment, pageId, LM::SharedLock, false);
        OrvScopedPage page;
        if (page.fixIfExists(segment, pageId, OrvPage::DataPage)) {
            const View view(*page.getPage());
            const Uint32 count = view.slotCount();
            for (Uint32 s = startSlot; s < count; ++s) {
                const Slot slot = view.checkedSlot(s);
                if (View::isEmpty(slot) || slot.recordType == SecondaryRecord) {
                    continue;
                }
                tupleId = TupleId(pageId, static_cast<SlotId>(s));
                return;
            }
        }
        page.reset();
        findNextPage(segment, pageId);
        startSlot = 0;
    }
}

// ---- commit ------------------------------------------------------------------------

void OrvRecordManager::commit() {
    ORV_TRACE(RecordManager);
    logRecord(0, COMMIT, nullptr, nullptr, nullptr, nullptr, nullptr);
}
