#include "OrvRecordManager.h"

#include "record/OrvDataPage.h"

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
using View = OrvDataPageView;

constexpr Uint32 PAGE_END = ORV_PAGE_SIZE;

static_assert(RM::SLOT_DIRECTORY_OFFSET == View::SLOT_DIRECTORY_OFFSET, "one page layout");
static_assert(RM::SLOT_SIZE == View::SLOT_SIZE && RM::MAX_SLOTS == View::MAX_SLOTS,
              "one page layout");
static_assert(RM::PrimaryRecord == View::PRIMARY && RM::SecondaryRecord == View::SECONDARY &&
                  RM::PlaceHolderTid == View::PLACEHOLDER,
              "one set of slot types");

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
    registerDumpCommands();
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
    PageId pageId = 0;
    std::memcpy(&pageId, image + offsetof(OrvPageHeader, pageId), sizeof(pageId));
    const View view(image, 0, pageId);
    OrvErrorCode refusal = ORV_SUCCESS;
    const SlotId found = view.freeSlot(refusal);
    if (refusal != ORV_SUCCESS) {
        ORV_THROW(refusal);
    }
    slotId = found;
}

void OrvRecordManager::findFreeSpaceInPage(OrvPage* page, Uint16& freeSpace) {
    ORV_TRACE(RecordManager);
    checkPage(page);
    const PageId pageId = page->getPageId();
    const auto fsiLock = lockInventoryEntry(*page, getFsiPageId(pageId), getFsiSlot(pageId));
    freeSpace = View(*page).freeSpace();
}

void OrvRecordManager::findLargestFreeSpaceInPage(OrvPage* page, Uint16& maxBlockOffset,
                                                  Uint16& maxBlockSize) {
    ORV_TRACE(RecordManager);
    checkPage(page);
    const PageId pageId = page->getPageId();
    const auto fsiLock = lockInventoryEntry(*page, getFsiPageId(pageId), getFsiSlot(pageId));
    Uint16 blockOffset = 0;
    Uint16 blockSize = 0;
    View(*page).largestBlock(blockOffset, blockSize);
    maxBlockOffset = blockOffset;
    maxBlockSize = blockSize;
}

void OrvRecordManager::reorganizePage(OrvPage* page, Uint16& freeSpace, Uint16& freeSpaceOffset) {
    ORV_TRACE(RecordManager);
    checkPage(page);
    checkLockCoverage(page, NO_SLOT);
    OrvDataPageWriter writer(*page);
    const Uint32 count = writer.slotCount();
    const Uint32 dirEnd = writer.directoryEnd();

    // The directory is taken once; everything below works on this copy.
    std::vector<Slot> directory(count);
    std::vector<SlotId> moving;
    moving.reserve(count);
    Uint32 total = 0;
    for (Uint32 i = 0; i < count; ++i) {
        directory[i] = writer.checkedSlot(i);
        if (!View::holdsBytes(directory[i])) {
            continue;
        }
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
    OrvDataPageWriter packed(scratch.get(), page->getSegmentId(), page->getPageId());
    packed.writeBytes(0, writer.image(), dirEnd);
    Uint32 cursor = PAGE_END;
    for (SlotId id : moving) {
        const Slot& old = directory[id];
        cursor -= old.recordLength;
        packed.writeBytes(cursor, writer.image() + old.offset, old.recordLength);
        Slot moved = old;
        moved.offset = static_cast<Uint16>(cursor);
        packed.setSlot(id, moved);
    }
    writer.writeBytes(0, scratch.get(), PAGE_END);

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
    OrvDataPageWriter writer(*page);
    const Uint32 count = writer.slotCount();
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
    // The record must also stay clear of the spare slot that free space
    // reserves behind the directory.
    const Uint32 newCount = appends ? count + 1 : count;
    writer.checkRecordPlace(View::directoryEndFor(newCount + 1), offset, length);
    // A new slot must keep the directory, and the spare slot that free space
    // reserves behind it, clear of every record.
    if (appends && View::directoryEndFor(count + 2) > writer.lowestRecordOffset()) {
        ORV_THROW(ORV_RM_SLOT_OVER_DATA);
    }

    writer.writeBytes(offset, record.getRecordData(), length);
    if (appends) {
        writer.setSlotCount(count + 1);
    }
    writer.setSlot(slotId, makeSlot(offset, length, recType));
}

void OrvRecordManager::getRecordFromPage(OrvPage* page, const TupleId& tupleId,
                                         OrvRecord*& record) {
    ORV_TRACE(RecordManager);
    checkPage(page);
    if (tupleId.page != page->getPageId()) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    checkLockCoverage(page, tupleId.slot);
    const View view(*page);
    const Slot slot = view.slot(tupleId.slot);
    if (View::isEmpty(slot)) {
        ORV_THROW(ORV_RM_REC_NOT_FOUND);
    }
    // A placeholder's fields are a tuple id, not a place on this page.
    View::checkType(slot);
    if (slot.recordType == PlaceHolderTid) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const char* bytes = view.recordBytes(slot);

    if (record == nullptr) {
        std::unique_ptr<OrvRecord> fresh(new (std::nothrow) OrvRecord());
        if (!fresh) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        fresh->setData(bytes, slot.recordLength);
        fresh->setTupleId(tupleId);
        record = fresh.release();
    } else {
        record->setData(bytes, slot.recordLength);
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
