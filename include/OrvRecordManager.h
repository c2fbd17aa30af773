// The record manager: tables of records addressed by tuple ids.
//
// A table is one segment of 4096-byte pages: slotted data pages, and every
// 255th page a free space inventory page that records how much room each of
// the 254 data pages behind it has. A record is addressed for its whole life
// by its TupleId (page, slot). The byte layouts and the page view that
// decodes them are internal (record/OrvDataPage.h); record/README.md gives
// the order of locks, fixes and log entries every change follows.
//
// What is built so far: the page-local operations that place, find, read
// and compact records inside one fixed page, and the free space inventory.
// The table operations (create, drop, insert, get, replace, remove, scans,
// commit) come next and will be the public face of this class.
//
// Process safety. Pages are shared through the buffer pool, but their
// contents are protected by locks, not latches: every page-local operation
// that reads or writes records checks that the current transaction holds a
// lock covering the place it touches (ORV_INTERNAL_FAIL when not). The two
// free space scans hold a shared lock on the page's inventory entry while
// they run; inventory entries and counts are guarded by the lock names given
// with the inventory operations below. OrvRecordManager is a per-process
// singleton; like every engine process it is single-threaded.
//
// Bytes read from a page are untrusted: every slot is checked against the
// directory and the page bounds before it is used, so a damaged page gives an
// error (ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, ORV_RM_GET_RECORD_TOO_LONG,
// ORV_INTERNAL_FAIL), never an access outside the page.
#ifndef ORV_RECORD_MANAGER_H
#define ORV_RECORD_MANAGER_H

#include "OrvBuffer.h"
#include "OrvConfig.h"
#include "OrvRecord.h"
#include "OrvTypes.h"

class OrvLockManager;
// The page formats (record/OrvDataPage.h).
struct Slot;
struct SlotPageHeader;

class OrvRecordManager {
public:
    // Stored in the recordType byte of a slot.
    enum RecordType : Uint8 {
        // The record of this tuple id lies on this page.
        PrimaryRecord = 0,
        // A record moved here from its primary slot on another page; reached
        // only through the placeholder in its primary slot.
        SecondaryRecord = 1,
        // The record of this tuple id lies elsewhere: the slot holds the
        // secondary record's tuple id instead of an offset and a length.
        PlaceHolderTid = 2
    };

    // Byte offset of slot 0, and the size of a slot.
    static constexpr Uint16 SLOT_DIRECTORY_OFFSET = 24;
    static constexpr Uint16 SLOT_SIZE = 8;
    // At most 255 slots per page; slot id 255 never names a record.
    static constexpr Uint16 MAX_SLOTS = 255;
    static constexpr SlotId NO_SLOT = ORV_INVALID_SLOT_ID;

    // The process's manager, made on first use; it fetches the lock manager,
    // so the lock list must exist (ORV_MM_SHM_NOT_EXISTS otherwise).
    static OrvRecordManager* getInstance();
    // Deletes the manager if there is one. Never throws. Must run before the
    // lock manager is deleted (OrvSystem::stopAllManagers keeps that order).
    static void deleteInstance();

    OrvRecordManager(const OrvRecordManager&) = delete;
    OrvRecordManager& operator=(const OrvRecordManager&) = delete;

private:
    // Tests reach the page-local operations through this class
    // (tests/record/RecordTestSupport.h); nothing else outside the record
    // manager may.
    friend class OrvRecordManagerTestAccess;

    OrvRecordManager();
    ~OrvRecordManager();

    // ---- page-local operations ------------------------------------------------
    // All take a data page fixed by the caller; none fixes, releases or marks
    // a page. A null page is ORV_PARAMETER_FAIL. Checks come first: an
    // operation that throws has changed nothing.

    // Where a record of `length` bytes goes: the high end of the largest
    // free block. REQUIRES a page, segment or database lock.
    // ORV_RM_NO_MEMORY_BLOCK_FOUND_WARN when the block is too small.
    void calcOffset(OrvPage* page, Uint16 length, Uint16& offset);

    // The slot a new record gets: the lowest empty slot, else a new one at
    // the end of the directory (numberOfSlots; insertRecordOnPage counts it).
    // ORV_RM_NO_MORE_SLOTS with 255 slots in use, ORV_RM_SLOT_OVER_DATA when
    // one more slot would reach the lowest record.
    static void getFreeSlotId(const SlotPageHeader* header, SlotId& slotId);

    // Total free bytes, always leaving room for one more slot; 0 when all
    // 255 slots are in use. ORV_INTERNAL_FAIL when the records take more than
    // the page holds.
    void findFreeSpaceInPage(OrvPage* page, Uint16& freeSpace);

    // The largest free block between the directory (plus one spare slot)
    // and the end of the page; lower block on ties; (0, 0) when none or when
    // all 255 slots are in use.
    void findLargestFreeSpaceInPage(OrvPage* page, Uint16& maxBlockOffset, Uint16& maxBlockSize);

    // Compaction: packs all records from the end of the page downwards in
    // ascending length, keeping every slot id (so every tuple id). Results:
    // freeSpaceOffset = end of the directory, freeSpace = bytes between it
    // and the lowest record. The header's free space fields are left alone.
    // REQUIRES a page, segment or database lock.
    void reorganizePage(OrvPage* page, Uint16& freeSpace, Uint16& freeSpaceOffset);

    // Writes the record's bytes at `offset` and sets slot `slotId` to
    // (offset, length, recType); a slot id equal to numberOfSlots appends a
    // slot. recType is PrimaryRecord or SecondaryRecord. Nothing is written
    // unless the slot id is at most numberOfSlots (and not 255), the record
    // has bytes (ORV_RM_NULL_LEN_REC) and lies between the directory and the
    // page end, and an appended slot stays clear of every record
    // (ORV_RM_SLOT_OVER_DATA). REQUIRES a lock on the slot, the page, the
    // segment or the database.
    void insertRecordOnPage(OrvPage* page, SlotId slotId, const OrvRecord& record,
                            RecordType recType, Uint16 offset);

    // Copies the record of slot tupleId.slot out of the page: into a new
    // OrvRecord, owned by the caller, when `record` is null, else into
    // `record`; its tuple id is set to `tupleId`, whose page must be this
    // page (ORV_PARAMETER_FAIL). ORV_RM_REC_NOT_FOUND for an empty slot; a
    // slot beyond the directory or a record outside the record area is
    // damage (ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, ORV_RM_GET_RECORD_TOO_LONG).
    // Placeholders are not followed (the caller's job): reading
    // one is ORV_INTERNAL_FAIL. REQUIRES a lock on the slot, the page, the
    // segment or the database.
    void getRecordFromPage(OrvPage* page, const TupleId& tupleId, OrvRecord*& record);

    // Three-way comparators for sorting slots: -1 when the first is smaller,
    // 1 otherwise (never 0). compareSlotsByOffset and slotCompare order by
    // offset, compareSlotsByLength by recordLength.
    static int compareSlotsByOffset(const Slot& first, const Slot& second);
    static int slotCompare(const Slot& first, const Slot& second);
    static int compareSlotsByLength(const Slot& first, const Slot& second);

    // ---- free space inventory placement (OrvRecordManager_FSV.cpp) ------------
    // Inventory pages are the multiples of 255; inventory page F describes
    // data pages F+1 .. F+254.

    // The inventory page describing page p: (p / 255) * 255.
    static PageId getFsiPageId(PageId pageId);
    // The entry of page p on its inventory page: 0 .. 253 for a data page,
    // 255 (no entry) for an inventory page itself.
    static SlotId getFsiSlot(PageId pageId);

    // ---- helpers ----------------------------------------------------------------

    // ORV_INTERNAL_FAIL unless the current transaction holds a shared or
    // exclusive lock on the slot (when `slotId` is not NO_SLOT), the page,
    // its segment or the database. Intention entries cover nothing.
    void checkLockCoverage(const OrvPage* page, SlotId slotId) const;
    bool holdsLock(SegmentId segmentId, PageId pageId, SlotId slotId) const;

    OrvLockManager* lockMgr;

    static OrvRecordManager* instance;
};

#endif
