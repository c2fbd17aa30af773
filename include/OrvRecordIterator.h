// A table scan: every record of a table once, in page and slot order, under
// its primary tuple id (a moved record is met at its home slot, never at its
// secondary one).
//
//   OrvRecordIterator* scan = nullptr;
//   OrvRecordManager::getInstance()->getRecordIterator(table, scan);
//   std::unique_ptr<OrvRecordIterator> owned(scan);
//   OrvRecord* record = nullptr;              // allocated by the first getNext
//   while (scan->hasNext()) {
//       const OrvErrorCode code = scan->getNext(record);
//       if (code != ORV_SUCCESS) { ... a real failure: lock time-out, damage ... }
//       ...
//   }
//   delete record;
//
// Locks. Each page the scan enters is locked shared (kept until the
// transaction ends, like every lock), so no other transaction changes it
// while the scan reads it; a moved record is read through get, which locks
// its secondary slot shared. Lock waits happen with no page fixed.
//
// Fixes. The page the scan stands on stays fixed between calls, so that the
// records of a page cost no buffer round trip each; the scan moves to the
// next page with OrvBufferManager::exchangePage. The fix is given back when
// the scan reaches the end of the table, when a call fails, by reset(), by
// releasePage() and by the destructor. A transaction must not end while an
// iterator holds a fix: commit refuses with ORV_BM_FIXES_LEFT. Destroy the
// iterator (or call releasePage(), which lets the scan go on later, locking
// its page again) before commit or rollback.
//
// Failures. The end of the table is not an error: hasNext answers false and
// getNext returns ORV_NOT_FOUND_WARN. Any other failure (a lock time-out or
// deadlock, a damaged page) is recorded in the error object when it happens;
// hasNext then answers true once, and getNext returns the failure. After a
// failure the scan is over until reset(): hasNext answers false and getNext
// returns the same code again.
//
// Per process and single-threaded; an iterator belongs to the transaction
// that uses it.
#ifndef ORV_RECORD_ITERATOR_H
#define ORV_RECORD_ITERATOR_H

#include "OrvBuffer.h"
#include "OrvErrorCodes.h"
#include "OrvIterator.h"
#include "OrvRecord.h"
#include "OrvTypes.h"

class OrvRecordManager;

class OrvRecordIterator : public OrvIterator {
public:
    // Positions on the first record of the table. A failure (other than an
    // empty table) is recorded and handed out by the first getNext.
    explicit OrvRecordIterator(TableId tableId);
    ~OrvRecordIterator() override;
    OrvRecordIterator(const OrvRecordIterator&) = delete;
    OrvRecordIterator& operator=(const OrvRecordIterator&) = delete;

    bool hasNext() override;
    // The current position goes back to the first record found at
    // construction (records inserted before it since then are not seen); a
    // recorded failure is forgotten and the error object cleared.
    OrvErrorCode reset() override;
    // The next record: allocated when `record` is null (the caller owns it),
    // refilled otherwise; its tuple id is where its bytes lie (the secondary
    // tuple id of a moved record, as get gives it). ORV_NOT_FOUND_WARN at the
    // end of the table (recorded); a failure is recorded and returned.
    virtual OrvErrorCode getNext(OrvRecord*& record);
    // The primary tuple id of the record last handed out (or found by
    // hasNext); (0, 0) before the first one.
    TupleId getCurrentTupleId() const { return TupleId(currentPage, currentSlot); }
    // Gives back the page fix now (see above); never throws.
    void releasePage() noexcept;

private:
    // Moves (page, slot) to the next position after it (page 0: the start);
    // false at the end of the table, with no fix held. Throws other failures.
    bool advance(PageId& pageId, SlotId& slotId);
    // Locks page `pageId` shared and makes `page` hold its fix; false when
    // the page does not exist.
    bool enterPage(PageId pageId);
    // Reads the record at the current position into `record`.
    void readCurrent(OrvRecord*& record);
    // Records `code` as the scan's failure; the fix is given back.
    void fail(OrvErrorCode code) noexcept;

    TableId tableId;
    PageId firstPage = 0;
    SlotId firstSlot = 0;
    PageId currentPage = 0;
    SlotId currentSlot = 0;
    // The record at the current position was found but not yet handed out.
    bool gotNextRecordTid = false;
    OrvRecordManager* recordMgr;

    SegmentId segment = 0;
    // The fix of the page the scan stands on, or nothing.
    OrvScopedPage page;
    // A failure not yet handed out by getNext (hasNext answered true for it).
    OrvErrorCode pendingError = ORV_SUCCESS;
    // A failure handed out: the scan is over until reset().
    OrvErrorCode failedWith = ORV_SUCCESS;
    // The table had a first record at construction.
    bool hadFirst = false;
};

#endif
