#include "record/OrvRecordManager.h"

#include "OrvException.h"
#include "OrvLock.h"
#include "OrvTransaction.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

OrvRecordManager* OrvRecordManager::instance = nullptr;

namespace {

using RM = OrvRecordManager;

constexpr Uint32 PAGE_END = ORV_PAGE_SIZE;

// Slots are copied out of (and into) the image rather than used in place:
// the image is shared memory, and a check and the use that follows must see
// the same values.
Slot readSlot(const char* image, Uint32 slotId) {
    Slot slot;
    std::memcpy(&slot, image + RM::SLOT_DIRECTORY_OFFSET + slotId * RM::SLOT_SIZE, sizeof(slot));
    return slot;
}

void writeSlot(char* image, Uint32 slotId, const Slot& slot) {
    std::memcpy(image + RM::SLOT_DIRECTORY_OFFSET + slotId * RM::SLOT_SIZE, &slot, sizeof(slot));
}

Slot makeSlot(Uint16 offset, Uint16 length, Uint8 type) {
    Slot slot{};
    slot.offset = offset;
    slot.recordLength = length;
    slot.recordType = type;
    return slot;
}

Uint8 slotCountOf(const char* image) {
    Uint8 count = 0;
    std::memcpy(&count, image + offsetof(SlotPageHeader, numberOfSlots), sizeof(count));
    return count;
}

// End of a directory of `count` slots: where the record area may begin.
Uint32 directoryEnd(Uint32 count) {
    return RM::SLOT_DIRECTORY_OFFSET + RM::SLOT_SIZE * count;
}

// End of the directory after one more slot: the free space of a page is
// always counted as if an insertion had appended its slot already.
Uint32 directoryEndWithSpare(Uint32 count) {
    return directoryEnd(count + 1);
}

// The lowest offset of a record (non-placeholder slot with bytes); the end
// of the page when there is none.
Uint32 lowestRecordOffset(const char* image, Uint32 count) {
    Uint32 lowest = PAGE_END;
    for (Uint32 i = 0; i < count; ++i) {
        const Slot slot = readSlot(image, i);
        if (slot.recordType != RM::PlaceHolderTid && slot.recordLength != 0 &&
            slot.offset < lowest) {
            lowest = slot.offset;
        }
    }
    return lowest;
}

bool isKnownType(Uint8 type) {
    return type == RM::PrimaryRecord || type == RM::SecondaryRecord || type == RM::PlaceHolderTid;
}

bool isEmpty(const Slot& slot) {
    return slot.offset == 0 && slot.recordLength == 0;
}

void checkKnownType(const Slot& slot) {
    if (!isKnownType(slot.recordType)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
}

// The record [offset, offset + length) must lie between the end of the
// directory and the end of the page.
void checkRecordPlace(const OrvPage& page, Uint32 dirEnd, Uint32 offset, Uint32 length) {
    if (offset < dirEnd || offset >= PAGE_END) {
        ORV_THROW(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, OrvException::to_string(offset),
                  OrvException::to_string(page.getPageId()),
                  OrvException::to_string(page.getSegmentId()));
    }
    if (offset + length > PAGE_END) {
        ORV_THROW(ORV_RM_GET_RECORD_TOO_LONG, OrvException::to_string(offset),
                  OrvException::to_string(page.getPageId()),
                  OrvException::to_string(page.getSegmentId()), OrvException::to_string(length),
                  OrvException::to_string(ORV_PAGE_SIZE));
    }
}

void checkPage(const OrvPage* page) {
    if (page == nullptr) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
}

// The shared lock on the page's inventory entry that the free space scans
// hold while they read the directory. An inventory page has no entry: it
// is not a data page.
std::unique_ptr<OrvScopedLock> lockInventoryEntry(const OrvPage& page, PageId fsiPage,
                                                  SlotId fsiSlot) {
    if (fsiSlot == ORV_INVALID_SLOT_ID) {
        ORV_THROW(ORV_RM_FSI_ENTRY_NOT_ALLOWED, OrvException::to_string(page.getPageId()),
                  OrvException::to_string(page.getSegmentId()));
    }
    return std::make_unique<OrvScopedLock>(page.getSegmentId(), fsiPage, fsiSlot,
                                           OrvLockManager::SharedLock, true, false);
}

} // namespace

// ---- the process's manager -----------------------------------------------------

OrvRecordManager::OrvRecordManager() : lockMgr(nullptr) {
    ORV_TRACE(RecordManager);
    // The buffer, log and transaction managers join here with the table
    // operations, and the dump commands are registered then.
    lockMgr = OrvLockManager::getInstance();
}

OrvRecordManager::~OrvRecordManager() {
    // Holds nothing of its own yet: the locks belong to the lock manager.
    if (instance == this) {
        instance = nullptr;
    }
}

OrvRecordManager* OrvRecordManager::getInstance() {
    ORV_TRACE(RecordManager);
    if (instance == nullptr) {
        instance = new OrvRecordManager();
    }
    return instance;
}

void OrvRecordManager::deleteInstance() {
    ORV_TRACE(RecordManager);
    delete instance;
    instance = nullptr;
}

// ---- lock coverage ---------------------------------------------------------------

bool OrvRecordManager::holdsLock(SegmentId segmentId, PageId pageId, SlotId slotId) const {
    ORV_TRACE(RecordManager);
    const OrvTransactionId me = OrvTransactionManager::getInstance()->getCurrentTransactionID();
    Uint32 entry = OrvLockManager::LIST_END;
    return lockMgr->existsLockType(entry, segmentId, pageId, slotId, OrvLockManager::SharedLock,
                                   me) ||
           lockMgr->existsLockType(entry, segmentId, pageId, slotId, OrvLockManager::ExclusiveLock,
                                   me);
}

// An intention entry on the page only says that the transaction locks
// something below it (one slot): it does not allow touching the rest of the
// page, so only shared and exclusive entries count.
void OrvRecordManager::checkLockCoverage(const OrvPage* page, SlotId slotId) const {
    ORV_TRACE(RecordManager);
    const SegmentId segment = page->getSegmentId();
    const PageId pageId = page->getPageId();
    if (slotId != NO_SLOT && holdsLock(segment, pageId, slotId)) {
        return;
    }
    if (holdsLock(segment, pageId, OrvLockManager::NO_SLOT) ||
        holdsLock(segment, OrvLockManager::NO_PAGE, OrvLockManager::NO_SLOT) ||
        holdsLock(OrvLockManager::NO_SEG, OrvLockManager::NO_PAGE, OrvLockManager::NO_SLOT)) {
        return;
    }
    ORV_THROW(ORV_INTERNAL_FAIL);
}

// ---- page-local operations -------------------------------------------------------

void OrvRecordManager::calcOffset(OrvPage* page, Uint16 length, Uint16& offset) {
    ORV_TRACE(RecordManager);
    checkPage(page);
    checkLockCoverage(page, NO_SLOT);
    Uint16 blockOffset = 0;
    Uint16 blockSize = 0;
    findLargestFreeSpaceInPage(page, blockOffset, blockSize);
    if ((blockOffset == 0 && blockSize == 0) || blockSize < length) {
        ORV_THROW(ORV_RM_NO_MEMORY_BLOCK_FOUND_WARN);
    }
    const Uint32 result = Uint32(blockOffset) + blockSize - length;
    // Cannot happen with a block above the directory; kept as the last
    // guard against writing into the page header.
    if (result <= 9) {
        ORV_THROW(ORV_RM_NO_MEMORY_BLOCK_FOUND_WARN);
    }
    offset = static_cast<Uint16>(result);
}

void OrvRecordManager::getFreeSlotId(const SlotPageHeader* header, SlotId& slotId) {
    ORV_TRACE(RecordManager);
    if (header == nullptr) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    const char* image = reinterpret_cast<const char*>(header);
    const Uint32 count = slotCountOf(image);
    Uint32 lowestOffset = PAGE_END;
    for (Uint32 i = 0; i < count; ++i) {
        const Slot slot = readSlot(image, i);
        if (isEmpty(slot)) {
            slotId = static_cast<SlotId>(i);
            return;
        }
        if (slot.recordType != PlaceHolderTid && slot.offset != 0 && slot.offset < lowestOffset) {
            lowestOffset = slot.offset;
        }
    }
    if (count == MAX_SLOTS) {
        ORV_THROW(ORV_RM_NO_MORE_SLOTS);
    }
    if (directoryEndWithSpare(count) >= lowestOffset) {
        ORV_THROW(ORV_RM_SLOT_OVER_DATA);
    }
    slotId = static_cast<SlotId>(count);
}

void OrvRecordManager::findFreeSpaceInPage(OrvPage* page, Uint16& freeSpace) {
    ORV_TRACE(RecordManager);
    checkPage(page);
    const PageId pageId = page->getPageId();
    const auto fsiLock = lockInventoryEntry(*page, getFsiPageId(pageId), getFsiSlot(pageId));
    const char* image = page->getPageData();
    const Uint32 count = slotCountOf(image);
    const Uint32 dirEnd = directoryEnd(count);
    bool anyEmpty = false;
    Uint32 used = directoryEndWithSpare(count);
    for (Uint32 i = 0; i < count; ++i) {
        const Slot slot = readSlot(image, i);
        checkKnownType(slot);
        if (slot.recordType == PlaceHolderTid) {
            continue;
        }
        if (slot.recordLength == 0) {
            anyEmpty = true;
            continue;
        }
        checkRecordPlace(*page, dirEnd, slot.offset, slot.recordLength);
        used += slot.recordLength;
    }
    if (count == MAX_SLOTS && !anyEmpty) {
        freeSpace = 0;
        return;
    }
    // Records that do not overlap cannot take more than the page holds.
    if (used > PAGE_END - 1) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    freeSpace = static_cast<Uint16>(PAGE_END - used);
}

void OrvRecordManager::findLargestFreeSpaceInPage(OrvPage* page, Uint16& maxBlockOffset,
                                                  Uint16& maxBlockSize) {
    ORV_TRACE(RecordManager);
    checkPage(page);
    const PageId pageId = page->getPageId();
    const auto fsiLock = lockInventoryEntry(*page, getFsiPageId(pageId), getFsiSlot(pageId));
    const char* image = page->getPageData();
    const Uint32 count = slotCountOf(image);
    const Uint32 dirEnd = directoryEnd(count);

    // Occupied intervals as (offset, length) slots, between two sentinels:
    // the directory with its spare slot, and the end of the page.
    std::vector<Slot> intervals;
    intervals.reserve(MAX_SLOTS + 2);
    intervals.push_back(makeSlot(static_cast<Uint16>(directoryEndWithSpare(count)), 0, 0));
    Uint32 placeholders = 0;
    bool ascending = true;
    // From the highest slot down: records are placed downwards, so this
    // normally meets them in ascending offset order and no sort is needed.
    for (Uint32 i = count; i-- > 0;) {
        const Slot slot = readSlot(image, i);
        checkKnownType(slot);
        if (slot.recordType == PlaceHolderTid) {
            ++placeholders;
            continue;
        }
        if (slot.recordLength == 0) {
            continue;
        }
        checkRecordPlace(*page, dirEnd, slot.offset, slot.recordLength);
        ascending = ascending && intervals.back().offset <= slot.offset;
        intervals.push_back(slot);
    }
    intervals.push_back(makeSlot(static_cast<Uint16>(PAGE_END), 0, 0));

    maxBlockOffset = 0;
    maxBlockSize = 0;
    if (intervals.size() + placeholders == MAX_SLOTS + 2) {
        return; // all 255 slots in use: no record can be added, however short
    }
    if (!ascending) {
        std::stable_sort(intervals.begin(), intervals.end(), [](const Slot& a, const Slot& b) {
            return compareSlotsByOffset(a, b) < 0;
        });
    }
    // A gap starts where everything before it ends, not where its left
    // neighbour ends: a record that begins inside the spare slot's room
    // lies below that sentinel but reaches beyond it, and a gap measured
    // from the sentinel would overlap the record.
    Uint32 occupiedEnd = Uint32(intervals.front().offset) + intervals.front().recordLength;
    Uint32 bestSize = 0;
    Uint32 bestOffset = 0;
    for (std::size_t k = 1; k < intervals.size(); ++k) {
        const Uint32 next = intervals[k].offset;
        if (next > occupiedEnd && next - occupiedEnd > bestSize) {
            bestSize = next - occupiedEnd;
            bestOffset = occupiedEnd;
        }
        occupiedEnd = std::max(occupiedEnd, next + intervals[k].recordLength);
    }
    maxBlockOffset = static_cast<Uint16>(bestOffset);
    maxBlockSize = static_cast<Uint16>(bestSize);
}

void OrvRecordManager::reorganizePage(OrvPage* page, Uint16& freeSpace, Uint16& freeSpaceOffset) {
    ORV_TRACE(RecordManager);
    checkPage(page);
    checkLockCoverage(page, NO_SLOT);
    char* image = page->getPageData();
    const Uint32 count = slotCountOf(image);
    const Uint32 dirEnd = directoryEnd(count);

    // The directory is taken once; everything below works on this copy.
    std::vector<Slot> directory(count);
    std::vector<SlotId> moving;
    moving.reserve(count);
    Uint32 total = 0;
    for (Uint32 i = 0; i < count; ++i) {
        directory[i] = readSlot(image, i);
        checkKnownType(directory[i]);
        if (directory[i].recordType == PlaceHolderTid || directory[i].recordLength == 0) {
            continue;
        }
        checkRecordPlace(*page, dirEnd, directory[i].offset, directory[i].recordLength);
        total += directory[i].recordLength;
        moving.push_back(static_cast<SlotId>(i));
    }
    // Only overlapping (damaged) records can add up to more than the record
    // area; packing them would run into the directory.
    if (total > PAGE_END - dirEnd) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    std::unique_ptr<char[]> scratch(new (std::nothrow) char[PAGE_END]());
    if (!scratch) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }

    // Shortest record at the very end of the page; equal lengths keep their
    // slot order (the stable sort), so a compaction is reproducible.
    std::stable_sort(moving.begin(), moving.end(), [&directory](SlotId a, SlotId b) {
        return compareSlotsByLength(directory[a], directory[b]) < 0;
    });
    std::memcpy(scratch.get(), image, dirEnd);
    Uint32 cursor = PAGE_END;
    for (SlotId id : moving) {
        const Slot& old = directory[id];
        cursor -= old.recordLength;
        std::memcpy(scratch.get() + cursor, image + old.offset, old.recordLength);
        Slot moved = old;
        moved.offset = static_cast<Uint16>(cursor);
        writeSlot(scratch.get(), id, moved);
    }
    std::memcpy(image, scratch.get(), PAGE_END);

    freeSpaceOffset = static_cast<Uint16>(dirEnd);
    freeSpace = static_cast<Uint16>(cursor - dirEnd);
}

void OrvRecordManager::insertRecordOnPage(OrvPage* page, SlotId slotId, const OrvRecord& record,
                                          RecordType recType, Uint16 offset) {
    ORV_TRACE(RecordManager);
    checkPage(page);
    if (recType != PrimaryRecord && recType != SecondaryRecord) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    checkLockCoverage(page, slotId);
    char* image = page->getPageData();
    const Uint32 count = slotCountOf(image);
    // Slot 255 never names a record (and would wrap the count to 0); a slot
    // beyond the end would leave a hole in the directory.
    if (slotId == NO_SLOT || slotId > count) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const Uint16 length = record.getLength();
    // A record of no bytes would give a slot that is neither empty nor
    // holds anything.
    if (length == 0 || record.getRecordData() == nullptr) {
        ORV_THROW(ORV_RM_NULL_LEN_REC);
    }
    const bool appends = slotId == count;
    checkRecordPlace(*page, directoryEnd(appends ? count + 1 : count), offset, length);
    // A new slot must not grow the directory into a record.
    if (appends && directoryEnd(count + 1) > lowestRecordOffset(image, count)) {
        ORV_THROW(ORV_RM_SLOT_OVER_DATA);
    }

    std::memcpy(image + offset, record.getRecordData(), length);
    if (appends) {
        const Uint8 newCount = static_cast<Uint8>(count + 1);
        std::memcpy(image + offsetof(SlotPageHeader, numberOfSlots), &newCount, sizeof(newCount));
    }
    writeSlot(image, slotId, makeSlot(offset, length, recType));
}

void OrvRecordManager::getRecordFromPage(OrvPage* page, const TupleId& tupleId,
                                         OrvRecord*& record) {
    ORV_TRACE(RecordManager);
    checkPage(page);
    if (tupleId.page != page->getPageId()) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    checkLockCoverage(page, tupleId.slot);
    const char* image = page->getPageData();
    const Uint32 count = slotCountOf(image);
    // A slot beyond the directory is reported with the place where it would
    // lie, which is outside the data area.
    if (tupleId.slot >= count) {
        ORV_THROW(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS,
                  OrvException::to_string(directoryEnd(tupleId.slot)),
                  OrvException::to_string(page->getPageId()),
                  OrvException::to_string(page->getSegmentId()));
    }
    const Slot slot = readSlot(image, tupleId.slot);
    if (isEmpty(slot)) {
        ORV_THROW(ORV_RM_REC_NOT_FOUND);
    }
    // A placeholder's fields are a tuple id, not a place on this page.
    checkKnownType(slot);
    if (slot.recordType == PlaceHolderTid) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    checkRecordPlace(*page, directoryEnd(count), slot.offset, slot.recordLength);

    if (record == nullptr) {
        std::unique_ptr<OrvRecord> fresh(new (std::nothrow) OrvRecord());
        if (!fresh) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        fresh->setData(image + slot.offset, slot.recordLength);
        fresh->setTupleId(tupleId);
        record = fresh.release();
    } else {
        record->setData(image + slot.offset, slot.recordLength);
        record->setTupleId(tupleId);
    }
}

// ---- comparators -------------------------------------------------------------------

int OrvRecordManager::compareSlotsByOffset(const Slot& first, const Slot& second) {
    ORV_TRACE(RecordManager);
    return first.offset < second.offset ? -1 : 1;
}

int OrvRecordManager::slotCompare(const Slot& first, const Slot& second) {
    ORV_TRACE(RecordManager);
    return compareSlotsByOffset(first, second);
}

int OrvRecordManager::compareSlotsByLength(const Slot& first, const Slot& second) {
    ORV_TRACE(RecordManager);
    return first.recordLength < second.recordLength ? -1 : 1;
}
