// The record manager: tables of records addressed by tuple ids.
//
// A table is one segment of 4096-byte pages: slotted data pages, and every
// 255th page a free space inventory page that records how much room each of
// the 254 data pages behind it has. A record is addressed for its whole life
// by its TupleId (page, slot). The byte layouts and the page view that
// decodes them are internal (record/OrvDataPage.h); record/README.md gives
// the order of locks, fixes and log entries every change follows.
//
// Built: creating and dropping tables, the record operations (insert, get,
// replace, remove, the scan steps, commit), rollback and recovery, the
// page-local operations that place, find, read and compact records inside
// one fixed page, and the free space inventory.
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
#include "OrvLsn.h"
#include "OrvRecord.h"
#include "OrvTransaction.h"
#include "OrvTypes.h"

#include <map>
#include <set>
#include <string>

class OrvLockManager;
class OrvRecovery;
class OrvRecordLogEntry;
class OrvRecordIterator;
// One change being put back (record/OrvRecordManager_Undo.cpp).
struct OrvRecordPutBack;
// The page formats (record/OrvDataPage.h).
struct Slot;
struct SlotPageHeader;
struct FsiEntry;
class OrvScopedPage;

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

    // ---- tables ----------------------------------------------------------------
    // Both take an exclusive lock on the table's segment, kept until the
    // transaction ends, before they touch the file; a table id out of range
    // is ORV_PARAMETER_FAIL.

    // Creates the table's segment file; no page yet (the first insertion
    // makes them). ORV_RM_TABLE_ALREADY_EXISTS (table id) when the file
    // exists; other errors of the lock and buffer managers pass on.
    void createTable(TableId tableId);
    // Drops the table's segment (OrvBufferManager::dropSegment: at once for
    // a table created in this transaction, else at commit).
    void dropTable(TableId tableId);

    // ---- records ----------------------------------------------------------------
    // Every change follows the steps of record/README.md: every lock it needs
    // (slots, pages, inventory entries; kept until the transaction ends) is
    // taken before anything is checked or logged, every check comes before
    // the log entry, and the changed pages are marked modified with the
    // entry's LSN. A failure before the log entry leaves every page as it
    // was. Lock errors (time-out, deadlock) pass on unchanged. The log must
    // exist (the log manager is fetched at the first logged operation).

    // The ways a replacement can go, chosen before anything changes.
    enum ReplaceType : int {
        SAMEPRIMARY = 0,   // stays in its primary slot, on its page
        PRIMTOSEC = 1,     // leaves its page: secondary record elsewhere
        SAMESECONDARY = 2, // stays in its secondary slot
        SECTOPRIM = 3,     // comes home to its primary slot
        SECTOSEC = 4,      // moves from one secondary place to another
        UNDEFINED = 5
    };

    // Inserts a primary record of 1 .. MAX_RECORD_LENGTH bytes;
    // `tupleId` receives its tuple id. ORV_RM_INSERT_RECORD_TOO_LONG,
    // ORV_RM_NULL_LEN_REC; ORV_RM_NO_MORE_PAGES when the table is full. The
    // page it lands on is locked exclusively, with its inventory entry.
    void insert(const OrvRecord& record, TableId tableId, TupleId& tupleId);
    // The same; `type` must be PrimaryRecord (ORV_INTERNAL_FAIL otherwise).
    void insert(const OrvRecord& record, TableId tableId, RecordType type, TupleId& tupleId);

    // Reads the record of a primary tuple id, following a placeholder (the
    // record then carries its secondary tuple id). A null `record` receives
    // a new record that the caller owns; otherwise it is refilled. Locks the
    // slot (and the secondary slot) shared, getForUpdate exclusively.
    // ORV_RM_REC_NOT_FOUND for an empty slot or one beyond the directory, a
    // secondary tuple id is ORV_INTERNAL_FAIL.
    void get(TableId tableId, const TupleId& tupleId, OrvRecord*& record);
    void getForUpdate(TableId tableId, const TupleId& tupleId, OrvRecord*& record);
    void get(TableId tableId, const TupleId& tupleId, bool primaryOnly, bool lockForUpdate,
             OrvRecord*& record);
    void get(TableId tableId, const TupleId& tupleId, bool primaryOnly, bool lockForUpdate,
             OrvRecord*& record, SegmentId segmentId);

    // Removes a record by its primary tuple id; a moved record frees its
    // secondary slot too. Codes as get; a placeholder naming a slot beyond
    // its page's directory is ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS.
    void remove(const TableId& tableId, const TupleId& tupleId);
    // `compensate` writes COMPENSATE_DELETE instead of DELETE.
    void remove(const SegmentId& segmentId, const TupleId& tupleId, bool compensate);

    // Replaces the record of a primary tuple id, which stays its tuple id:
    // a record that no longer fits its page moves to a secondary slot on
    // another page and comes home when its page has room again. `newTid`
    // receives where it lies now. Lengths and codes as insert and get.
    void replace(TableId tableId, const TupleId& tupleId, const OrvRecord& record);
    void replace(TableId tableId, const TupleId& tupleId, const OrvRecord& record, TupleId& newTid);

    // Scan steps. findNextPage: the next data page after `pageId` (up to
    // ORV_MAX_PAGE_ID) that has an inventory entry and exists; reserved
    // pages that were never made are passed over. ORV_RM_NO_MORE_PAGES at
    // the end; ORV_BM_PAGE_NOT_FOUND when the inventory page that would
    // describe the next page does not exist.
    void findNextPage(const SegmentId& segmentId, PageId& pageId);
    // The next record position after `tupleId` (page 0: the start; slot
    // ORV_SLOT_METADATA: the end of its page): a primary record or a
    // placeholder, so every record is met once under its primary tuple id.
    // Locks each page it reads shared. Ends as findNextPage.
    void findNextRecord(TableId tableId, TupleId& tupleId);

    // A new scan of the table (include/OrvRecordIterator.h), owned by the
    // caller; `iter` is overwritten. A failure of the first step is handed
    // out by the iterator's first getNext.
    void getRecordIterator(TableId tableId, OrvRecordIterator*& iter);

    // Writes the COMMIT log entry of the current transaction; releases
    // nothing.
    void commit();

    // ---- rollback and recovery (OrvRecordManager_Undo.cpp) ---------------------
    // A logged change is put back by the state it leaves or found: every
    // slot it touched is set to what it held before (undo) or after (redo)
    // the change, whatever it holds now, so putting back twice changes
    // nothing more. Every page that receives bytes is locked exclusively
    // (it may be compacted), and every slot touched, before anything is
    // logged; the new page images are built and checked aside, so a
    // failure before the log entry leaves every page as it was. Entries of
    // a table whose file no longer exists are passed over.

    // Undoes the current transaction's record changes, newest first, each
    // with a compensation entry chained to the transaction's entries, then
    // writes its ROLLBACK entry. The transaction's pending table drops are
    // taken back first (its tables must be fixed again); its new tables
    // are left to the buffer manager's rollback. Releases nothing.
    // ORV_INTERNAL_FAIL when the log cannot be read into a rollback list;
    // lock errors pass on (a rollback that failed may be run again).
    void rollback();
    void rollback(OrvRecovery& recovery);

    // Recovery after a failure, with no other engine process running: takes
    // the database lock exclusively; redoes every record entry of the log on
    // each page it changed whose LSN is older than the entry (a missing or
    // all-zero page counts as (0,0) and is made, with its inventory entry),
    // stamping the page with that entry's LSN and logging nothing; then
    // undoes the open work of every transaction that never ended, newest
    // first, with compensation entries written under that transaction's id
    // and chained to its entries, and writes a ROLLBACK entry for each, so
    // that the next recovery finds them ended. Finally the inventory
    // entries of every page the log names are brought in line with the
    // pages. Releases nothing. Every transaction in the log without an end
    // is undone, the caller's own included: recover before any work.
    void recover();
    void recover(OrvRecovery& recovery);

    // The three primitives, for the current transaction (locks kept until
    // it ends). ORV_PARAMETER_FAIL without a primary tuple id;
    // ORV_RM_INSERT_RECORD_TOO_LONG, ORV_RM_NULL_LEN_REC for the record
    // stored; ORV_INTERNAL_FAIL when the page has no room for it even
    // compacted.
    // The record under primaryTid: in its primary slot, or with secTid as a
    // secondary record in slot secTid and a placeholder in the primary slot.
    // Logs COMPENSATE_INSERT.
    void redoInsert(const SegmentId& segId, const TupleId* primaryTid, const TupleId* secTid,
                    const OrvRecord& record);
    // remove(segId, tid, true): logs COMPENSATE_DELETE.
    void redoRemove(const SegmentId& segId, const TupleId& tid);
    // The tuple at primaryTid, now newRecord (at newSecTid when given), holds
    // oldRecord afterwards (at oldSecTid when given, else in its primary
    // slot); a secondary slot newSecTid that is not oldSecTid is emptied.
    // Logs COMPENSATE_UPDATE.
    void redoReplace(const SegmentId& segId, const TupleId* primaryTid, const TupleId* oldSecTid,
                     const TupleId* newSecTid, const OrvRecord& oldRecord,
                     const OrvRecord& newRecord);

    // ---- dumps (OrvRecordManager_Dump.cpp) ------------------------------------------
    // Readable pages of a table on standard output, for debugging. The whole
    // table dumps take a shared lock on the table's segment, the page dumps
    // shared page locks, all kept until the transaction ends.
    // Pages startPage .. endPage: every inventory page and every data page
    // with an entry; the first page without one ends the dump ("Table is
    // empty!" when that is page 0). full: dumpPageContent, else one
    // dumpPageInfo line each under one header.
    void dumpPages(TableId tableId, PageId startPage, PageId endPage, bool full);
    void dumpTableInfo(TableId tableId);
    void dumpTableContent(TableId tableId);
    void dumpPagesInfo(TableId tableId, PageId first, PageId last);
    void dumpPagesContent(TableId tableId, PageId first, PageId last);
    // One line of the page overview; `single` puts the header line first.
    void dumpPageInfo(TableId tableId, PageId pageId, bool single);
    // The page's fields, its slots or entries, and for a data page its bytes.
    void dumpPageContent(TableId tableId, PageId pageId);
    // The debug commands "table_all" (info|dump tableName), "table_page"
    // (info|dump tableName pageId) and "table_pages" (info|dump tableName
    // pageId1 pageId2), registered when the first manager of the process is
    // made. The name is taken in upper case and looked up in the catalog;
    // page ids are decimal numbers 0 .. 65534. A wrong word count or page id
    // prints "Wrong Parameters" and the usage line; a name that cannot be
    // looked up, or any failure, "Error" and the message.
    static void dumpTable(const std::string* args);
    static void dumpPage(const std::string* args);
    static void dumpPages(const std::string* args);

    // The longest record: an empty page's room less one slot.
    static constexpr Uint16 MAX_RECORD_LENGTH = 4055;

    OrvRecordManager(const OrvRecordManager&) = delete;
    OrvRecordManager& operator=(const OrvRecordManager&) = delete;

private:
    // Tests reach the page-local operations through this class
    // (tests/record/RecordTestSupport.h); nothing else outside the record
    // manager may.
    friend class OrvRecordManagerTestAccess;
    // The scan steps through pages with findNextPage and openTable.
    friend class OrvRecordIterator;

    OrvRecordManager();
    ~OrvRecordManager();
    static void registerDumpCommands();

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

    // ---- free space inventory (OrvRecordManager_FSV.cpp) -----------------------
    // Inventory pages are the multiples of 255; inventory page F describes
    // data pages F+1 .. F+254 with one entry each (record/OrvFsiPage.h).
    //
    // Lock names: the entry of data page p is the slot (segment,
    // getFsiPageId(p), getFsiSlot(p)); slot 254 (ORV_SLOT_METADATA) of an
    // inventory page stands for its entry count. Where both are taken, the
    // entry lock comes first. An inventory page is created only under the
    // exclusive lock on its count, so two processes never both create it.
    // Inventory pages are not logged: a change marks the page modified with
    // the LSN (0, 0).
    //
    // Page ids are reserved when they are handed out (getNewPageId): the
    // entry is written, as an empty page, before the lock on the count is
    // given back. A reserved page whose creation never happened (the process
    // died) has an entry but no page; the insertion that finds it creates
    // it, and scans pass it over.

    // The inventory page describing page p: (p / 255) * 255.
    static PageId getFsiPageId(PageId pageId);
    // The entry of page p on its inventory page: 0 .. 253 for a data page,
    // 255 (no entry) for an inventory page itself.
    static SlotId getFsiSlot(PageId pageId);

    // Entry states: (0, 254) no page; (254, 254) an empty page; existing
    // when freeSpace >= freeSpaceBlock.
    static void markNotExists(FsiEntry& entry);
    static void markEmptyPage(FsiEntry& entry);
    static bool pageAlreadyExists(const FsiEntry& entry);

    // Fixes inventory page `fsiPageId` into `page`, creating it (no entries,
    // all not-existing) when it does not exist; one created by another
    // process meanwhile is used. REQUIRES the exclusive lock on the count
    // (slot 254) of that page, unless the page is known to exist.
    void createFsiPage(SegmentId segmentId, PageId fsiPageId, OrvScopedPage& page);

    // Enters data page `pageId` with `pageInfo`: overwrites its entry when it
    // has one, else raises the count to cover it. Entries between the old
    // count and the page (pages created without a reservation) are filled
    // with the real free space of the pages that exist, and as reserved
    // empty pages otherwise. Takes the entry lock, then the count lock
    // (scoped, exclusive). ORV_RM_FSI_ENTRY_NOT_ALLOWED for an inventory page.
    void addFsiEntry(TableId tableId, PageId pageId, const FsiEntry& pageInfo);
    void addFsiEntry_seg(SegmentId segmentId, PageId pageId, const FsiEntry& pageInfo);

    // Overwrites the entry of an existing page. REQUIRES the exclusive lock
    // on the entry (the caller's: updateFreeSpace). ORV_RM_FSI_ENTRY_NOT_ALLOWED
    // (page, segment) for an inventory page, ORV_RM_NO_FSI_ENTRY_FOR_PAGE
    // (page, segment) when the page has no entry; ORV_BM_PAGE_NOT_FOUND when
    // its inventory page does not exist.
    void updateFsiEntry(SegmentId segmentId, PageId pageToEdit, const FsiEntry& newPageInfo,
                        bool holdLock);

    // The entry of an existing page; codes as updateFsiEntry.
    void findFsiEntry(SegmentId segmentId, PageId pageToFind, FsiEntry& pageInfo);

    // Recomputes the free space fields of data page `page` from its
    // directory and pushes them into its entry when a 16-byte unit changed.
    // The entry is locked exclusively: with holdLock until the transaction
    // ends; without it for this call only, and not at all when the
    // transaction holds that lock already (so the transaction's own lock is
    // never released here). ORV_INTERNAL_FAIL when the page's free space is
    // below its largest block. REQUIRES the page fixed and locked.
    void updateFreeSpace(OrvPage* page, bool holdLock);

    // An existing page, from `firstSearchPageId` on, whose largest block
    // takes `numBytes` + 16 bytes (in units). An entry is read first and
    // only a page with room is locked: its entry exclusively (try-lock; an
    // entry this transaction holds already is not locked again), then the
    // page exclusively (try-lock; when refused, the entry lock taken here is
    // given back and the page passed over). Both locks are kept until the
    // transaction ends. ORV_RM_NO_MEMORY_BLOCK_FOUND_WARN when no page
    // qualifies; ORV_BM_PAGE_NOT_FOUND when an inventory page is missing.
    PageId findFreeMemoryBlock(TableId tableId, Uint16 numBytes, PageId firstSearchPageId);
    // The same search for callers that expect to find nothing: 0, with the
    // code findFreeMemoryBlock would raise in `none`, instead of an exception.
    PageId searchFreeMemoryBlock(TableId tableId, Uint16 numBytes, PageId firstSearchPageId,
                                 OrvErrorCode& none);

    // Hands out and reserves the id of the next data page: under the
    // exclusive lock on the count of the first inventory page that has room,
    // the next entry is written as an empty page and the count raised. A
    // page that exists already in the pool or the file without an entry (it
    // reached its file when its inventory page did not) is adopted with its
    // real free space and passed over, never handed out to be created anew.
    // The new page's entry is locked exclusively until the transaction ends
    // (try-lock: an entry someone else locked meanwhile is left to them and
    // the next id reserved). ORV_RM_NO_MORE_PAGES when the segment is full.
    void getNewPageId(TableId tableId, PageId& pageId);

    // ---- helpers ----------------------------------------------------------------

    // ORV_INTERNAL_FAIL unless the current transaction holds a shared or
    // exclusive lock on the slot (when `slotId` is not NO_SLOT), the page,
    // its segment or the database. Intention entries cover nothing.
    void checkLockCoverage(const OrvPage* page, SlotId slotId) const;
    bool holdsLock(SegmentId segmentId, PageId pageId, SlotId slotId) const;
    // The current transaction holds an exclusive entry on exactly this slot.
    bool holdsExclusiveSlot(SegmentId segmentId, PageId pageId, SlotId slotId) const;
    // The segment of a table (ORV_PARAMETER_FAIL for a number out of range).
    static SegmentId segmentOf(TableId tableId);
    // Adopts data page `pageId` if it exists in the pool or its file:
    // `entry` receives its real free space. False when it does not exist.
    bool probeExistingPage(SegmentId segmentId, PageId pageId, FsiEntry& entry);

    // ---- record operations (OrvRecordManager_Ops.cpp) ---------------------------

    // Finds, locks (the page and its inventory entry, exclusive, kept) and
    // fixes a page with room for `length` bytes and a slot, never one of
    // `avoid`; a new page when none has room. A stale inventory entry, or a
    // page without a free slot, is refreshed and passed over.
    void getFittingPage(const TableId& tableId, const Uint16& length, OrvScopedPage& page,
                        Uint16& offset, SlotId& slotId, const std::set<PageId>& avoid = {});
    // Reserves a new page id (its entry locked exclusively first), locks the
    // page exclusively and creates it empty.
    void createNewPage(const TableId& tableId, PageId& pageId, OrvScopedPage& page);
    // Fixes a data page that the inventory says exists; a reserved page that
    // was never made is made now (empty). REQUIRES its page lock.
    void fixOrMakeReservedPage(SegmentId segmentId, PageId pageId, OrvScopedPage& page);
    // The inventory entry of data page p, exclusive, kept until the
    // transaction ends (no new lock list entry when it is held already).
    void lockEntry(SegmentId segmentId, PageId pageId);
    // Opens the table's segment in this process once.
    SegmentId openTable(TableId tableId);
    // Writes a record log entry and returns its LSN.
    OrvLsn logRecord(SegmentId segmentId, int type, const OrvRecord* before, const OrvRecord* after,
                     const TupleId* primary, const TupleId* oldSecondary,
                     const TupleId* newSecondary);

    // ---- putting changes back (OrvRecordManager_Undo.cpp) ------------------------
    // Locks, fixes, builds the new images aside and checks them, logs (or
    // not), copies them in and marks the pages. True when a page changed.
    bool putBack(const OrvRecordPutBack& change);
    // Whether the segment's file exists (and then it is open); `known`
    // remembers the answers of one rollback or recovery.
    bool segmentExists(SegmentId segmentId, std::map<SegmentId, bool>& known);
    // Undo of one log entry, compensation written under `transaction`.
    void undoEntry(const OrvRecordLogEntry& entry, const OrvTransactionId& transaction,
                   bool recovery);
    // Recovery's last step: inventory entries in line with the pages.
    void refreshInventory(SegmentId segmentId, PageId pageId);
    // The inventory page of a data page, made (empty) when it is missing or
    // all zero bytes (it never reached its file; a later page did).
    void prepareInventoryPage(SegmentId segmentId, PageId dataPageId);

    OrvLockManager* lockMgr;
    // Segments this process has opened.
    std::set<SegmentId> openedSegments;
    // Where this process last found room, per segment: the next search
    // starts there, and from page 1 again before a new page is made.
    std::map<SegmentId, PageId> searchStart;

    static OrvRecordManager* instance;
};

#endif
