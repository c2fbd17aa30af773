// Rollback and recovery of records, and the primitives both use.
//
// A record log entry describes a change by the state of the slots it
// touched: the primary slot, and the old and new secondary slots of a
// record that moved. Before the change the tuple held the before image
// (in its old secondary slot when there was one), afterwards the after
// image (in its new secondary slot when there is one); a secondary slot
// that the other state does not use is empty. Undo sets the slots to the
// state before, redo to the state after, from whatever they hold: so
// putting back twice changes nothing more, an undo or redo that already
// happened is done, and each page of an entry that changes two pages is
// judged by its own LSN.
//
// The new images are built in a copy of each page and checked by the page
// checker before anything is logged; only then is the compensation entry
// written and the copies brought in.
#include "OrvRecordManager.h"

#include "OrvException.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvTransaction.h"
#include "log/OrvRecordLogEntry.h"
#include "log/OrvRecovery.h"
#include "record/OrvDataPage.h"
#include "record/OrvFsiPage.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using LM = OrvLockManager;
using RM = OrvRecordManager;
using View = OrvDataPageView;

constexpr Uint32 PAGE_END = ORV_PAGE_SIZE;

using OrvFsi::isDataPageId;

// A tuple id read from the log or handed in: it must name a data page slot.
void checkTid(const TupleId& tid) {
    if (!isDataPageId(tid.page) || tid.slot == ORV_INVALID_SLOT_ID) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
}

void checkLength(Uint32 length, const char* data) {
    if (length > RM::MAX_RECORD_LENGTH) {
        ORV_THROW(ORV_RM_INSERT_RECORD_TOO_LONG);
    }
    if (length == 0 || data == nullptr) {
        ORV_THROW(ORV_RM_NULL_LEN_REC);
    }
}

bool isRecordChange(int type) {
    switch (type) {
    case INSERT:
    case DELETE:
    case UPDATE:
    case COMPENSATE_INSERT:
    case COMPENSATE_DELETE:
    case COMPENSATE_UPDATE:
        return true;
    default:
        return false;
    }
}

// Packs every record of the image to the end of the page; slot ids stay.
void compact(OrvDataPageWriter& writer) {
    const Uint32 count = writer.slotCount();
    std::vector<std::pair<Uint32, std::string>> records;
    for (Uint32 i = 0; i < count; ++i) {
        const Slot slot = writer.checkedSlot(i);
        if (View::holdsBytes(slot)) {
            records.emplace_back(i, std::string(writer.recordBytes(slot), slot.recordLength));
        }
    }
    const Uint32 dirEnd = writer.directoryEnd();
    const std::string zeros(PAGE_END - dirEnd, '\0');
    writer.writeBytes(dirEnd, zeros.data(), static_cast<Uint32>(zeros.size()));
    Uint32 next = PAGE_END;
    for (const auto& [id, bytes] : records) {
        const Slot old = writer.slot(id);
        next -= static_cast<Uint32>(bytes.size());
        writer.writeBytes(next, bytes.data(), static_cast<Uint32>(bytes.size()));
        writer.setSlot(id, makeSlot(static_cast<Uint16>(next), old.recordLength, old.recordType));
    }
}

} // namespace

// What the slots of one change hold afterwards, and how it is recorded.
struct OrvRecordPutBack {
    enum Kind { Empty, Primary, Secondary, Placeholder };
    struct Target {
        TupleId where;
        Kind kind;
        const char* data;
        Uint16 length;
        TupleId points;
    };

    SegmentId segment = 0;
    std::vector<Target> targets;

    // The compensation entry (type 0: none is written), under `transaction`.
    int type = 0;
    OrvTransactionId transaction;
    const char* before = nullptr;
    int befLength = 0;
    const char* after = nullptr;
    int aftLength = 0;
    std::optional<TupleId> primary;
    std::optional<TupleId> oldSecondary;
    std::optional<TupleId> newSecondary;

    // Redo: no entry is written; only pages older than redoLsn change, and
    // they get that LSN.
    bool redo = false;
    OrvLsn redoLsn;
    // Recovery: missing pages are made, and inventory entries are entered
    // rather than updated.
    bool recovery = false;

    void empty(const TupleId& tid) { targets.push_back({tid, Empty, nullptr, 0, TupleId()}); }
    // The tuple holds `length` bytes: in its primary slot, or at `secondary`.
    void holds(const TupleId& primaryTid, const TupleId* secondary, const char* bytes, int size) {
        checkLength(static_cast<Uint32>(size), bytes);
        const Uint16 length = static_cast<Uint16>(size);
        if (secondary == nullptr) {
            targets.push_back({primaryTid, Primary, bytes, length, TupleId()});
            return;
        }
        if (secondary->page == primaryTid.page) {
            // A record never moves to a slot of its own page.
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        targets.push_back({primaryTid, Placeholder, nullptr, 0, *secondary});
        targets.push_back({*secondary, Secondary, bytes, length, TupleId()});
    }
};

namespace {

using PutBack = OrvRecordPutBack;

// The slots of the entry as they were before it (undo) or after it (redo).
void stateOf(const OrvRecordLogEntry& entry, bool afterIt, PutBack& change) {
    const TupleId* primary = entry.getPrimTupelID();
    const TupleId* oldSec = entry.getOldSecTID();
    const TupleId* newSec = entry.getNewSecTID();
    if (primary == nullptr) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    checkTid(*primary);
    for (const TupleId* sec : {oldSec, newSec}) {
        if (sec != nullptr) {
            checkTid(*sec);
        }
    }
    auto emptyIfOther = [&](const TupleId* sec, const TupleId* used) {
        if (sec != nullptr && (used == nullptr || !(*sec == *used))) {
            change.empty(*sec);
        }
    };
    const int type = entry.getTransactionType();
    const bool insert = type == INSERT || type == COMPENSATE_INSERT;
    const bool remove = type == DELETE || type == COMPENSATE_DELETE;
    if (insert) {
        if (afterIt) {
            change.holds(*primary, newSec, entry.getAfterImage(), entry.getAftImgLength());
        } else {
            change.empty(*primary);
            emptyIfOther(newSec, nullptr);
        }
    } else if (remove) {
        if (afterIt) {
            change.empty(*primary);
            emptyIfOther(oldSec, nullptr);
        } else {
            change.holds(*primary, oldSec, entry.getBeforeImage(), entry.getBefImgLength());
        }
    } else if (afterIt) {
        change.holds(*primary, newSec, entry.getAfterImage(), entry.getAftImgLength());
        emptyIfOther(oldSec, newSec);
    } else {
        change.holds(*primary, oldSec, entry.getBeforeImage(), entry.getBefImgLength());
        emptyIfOther(newSec, oldSec);
    }
}

// The compensation of undoing `entry`: its redo is the entry's state before,
// its undo the entry's state after.
void compensationOf(const OrvRecordLogEntry& entry, PutBack& change) {
    const TupleId* oldSec = entry.getOldSecTID();
    const TupleId* newSec = entry.getNewSecTID();
    change.primary = *entry.getPrimTupelID();
    switch (entry.getTransactionType()) {
    case INSERT:
    case COMPENSATE_INSERT:
        change.type = COMPENSATE_DELETE;
        change.before = entry.getAfterImage();
        change.befLength = entry.getAftImgLength();
        if (newSec != nullptr) {
            change.oldSecondary = *newSec;
        }
        break;
    case DELETE:
    case COMPENSATE_DELETE:
        change.type = COMPENSATE_INSERT;
        change.after = entry.getBeforeImage();
        change.aftLength = entry.getBefImgLength();
        if (oldSec != nullptr) {
            change.newSecondary = *oldSec;
        }
        break;
    default:
        change.type = COMPENSATE_UPDATE;
        change.before = entry.getAfterImage();
        change.befLength = entry.getAftImgLength();
        change.after = entry.getBeforeImage();
        change.aftLength = entry.getBefImgLength();
        if (newSec != nullptr) {
            change.oldSecondary = *newSec;
        }
        if (oldSec != nullptr) {
            change.newSecondary = *oldSec;
        }
        break;
    }
}

// One page of a change: its fix and the image being built.
struct PageWork {
    PageId id = 0;
    OrvScopedPage page;
    bool apply = true;
    bool receives = false;
    // Whether the page is locked whole; the image needs that when building
    // it moved records of others (compaction).
    bool pageLocked = false;
    bool compacted = false;
    std::unique_ptr<std::array<char, PAGE_END>> image;
};

void markModified(OrvScopedPage& page, const OrvLsn& lsn) {
    OrvException::raise(page.getPage()->markAsModified(lsn), "page->markAsModified(lsn)", __FILE__,
                        __LINE__, __PRETTY_FUNCTION__);
}

// Builds the page's new image aside: the targets' slots emptied (the
// directory extended with empty slots up to the highest of them), their
// records placed (the page compacted when no block takes one), empty slots
// at the end of the directory dropped, the free space fields recomputed.
// Throws ORV_INTERNAL_FAIL when a record does not fit or the result breaks
// the page layout.
void buildImage(PageWork& work, SegmentId segment, const std::vector<PutBack::Target>& targets) {
    ORV_TRACE(RecordManager);
    OrvDataPageWriter writer(work.image->data(), segment, work.id);
    Uint32 count = writer.slotCount();
    Uint32 highest = 0;
    for (const PutBack::Target& target : targets) {
        const Uint32 slotId = target.where.slot;
        highest = std::max(highest, slotId);
        if (slotId >= count) {
            continue;
        }
        const Slot old = writer.checkedSlot(slotId);
        if (View::holdsBytes(old)) {
            const std::string zeros(old.recordLength, '\0');
            writer.writeBytes(old.offset, zeros.data(), old.recordLength);
        }
        writer.setSlot(slotId, makeSlot(0, 0, View::PRIMARY));
    }
    if (highest >= count) {
        for (Uint32 i = count; i <= highest; ++i) {
            writer.setSlot(i, makeSlot(0, 0, View::PRIMARY));
        }
        count = highest + 1;
        writer.setSlotCount(count);
        if (writer.lowestRecordOffset() < View::directoryEndFor(count)) {
            compact(writer);
            work.compacted = true;
            if (writer.lowestRecordOffset() < View::directoryEndFor(count)) {
                ORV_THROW(ORV_INTERNAL_FAIL);
            }
        }
    }
    for (const PutBack::Target& target : targets) {
        if (target.kind == PutBack::Placeholder) {
            writer.setSlot(target.where.slot,
                           makeSlot(target.points.page, target.points.slot, View::PLACEHOLDER));
            continue;
        }
        if (target.kind == PutBack::Empty) {
            continue;
        }
        auto place = [&]() -> Uint32 {
            Uint16 blockOffset = 0;
            Uint16 blockSize = 0;
            writer.largestBlock(blockOffset, blockSize);
            if (blockSize < target.length || (blockOffset == 0 && blockSize == 0)) {
                return 0;
            }
            return Uint32(blockOffset) + blockSize - target.length;
        };
        Uint32 offset = place();
        if (offset == 0) {
            compact(writer);
            work.compacted = true;
            offset = place();
            if (offset == 0) {
                ORV_THROW(ORV_INTERNAL_FAIL);
            }
        }
        writer.writeBytes(offset, target.data, target.length);
        writer.setSlot(target.where.slot,
                       makeSlot(static_cast<Uint16>(offset), target.length,
                                target.kind == PutBack::Primary ? View::PRIMARY : View::SECONDARY));
    }
    while (count > 0 && View::isEmpty(writer.rawSlot(count - 1))) {
        --count;
    }
    writer.setSlotCount(count);
    Uint16 blockOffset = 0;
    Uint16 blockSize = 0;
    writer.largestBlock(blockOffset, blockSize);
    writer.setFreeSpaceFields(writer.freeSpace(), blockSize, blockOffset);
    const std::vector<std::string> problems = writer.problems();
    if (!problems.empty()) {
        const std::string text = "putting a change back would break page " +
                                 std::to_string(work.id) + ": " + problems.front();
        orvTrace.traceString(1, text.c_str());
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
}

} // namespace

bool OrvRecordManager::segmentExists(SegmentId segmentId, std::map<SegmentId, bool>& known) {
    const auto found = known.find(segmentId);
    if (found != known.end()) {
        return found->second;
    }
    bool exists = true;
    try {
        // Opens it again when it is open: the file may have gone since (a
        // table made and dropped in this transaction).
        OrvBufferManager::getInstance()->openSegment(segmentId);
        openedSegments.insert(segmentId);
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_FM_FILE_NOT_FOUND) {
            throw;
        }
        exists = false;
    }
    known[segmentId] = exists;
    return exists;
}

bool OrvRecordManager::putBack(const OrvRecordPutBack& change) {
    ORV_TRACE(RecordManager);
    const SegmentId segment = change.segment;
    std::vector<PageWork> pages;
    auto workOf = [&](PageId id) -> PageWork& {
        for (PageWork& work : pages) {
            if (work.id == id) {
                return work;
            }
        }
        pages.emplace_back();
        pages.back().id = id;
        return pages.back();
    };
    for (const PutBack::Target& target : change.targets) {
        PageWork& work = workOf(target.where.page);
        work.receives =
            work.receives || target.kind == PutBack::Primary || target.kind == PutBack::Secondary;
    }

    // Lock: every slot and every page's inventory entry; no fix is held
    // yet. The entry makes this transaction the page's only writer, so
    // putting bytes into free room of it is as safe as any change. Only
    // moving the records of others (compaction) needs the whole page. The
    // page lock is waited for only then: a rollback that waits for a page
    // while another transaction merely holds a record of it, and whose own
    // rollback needs a page of this one, would wait in a cycle of two
    // rollbacks, which neither can leave.
    for (const PutBack::Target& target : change.targets) {
        lockMgr->requestSlot(segment, target.where.page, target.where.slot, LM::ExclusiveLock,
                             false);
    }
    for (PageWork& work : pages) {
        if (work.receives) {
            work.pageLocked = lockMgr->tryRequestPage(segment, work.id, LM::ExclusiveLock);
        }
        lockEntry(segment, work.id);
    }

    OrvBufferManager* bm = OrvBufferManager::getInstance();
    for (;;) {
        // Fix, and decide per page.
        bool anyApplied = false;
        for (PageWork& work : pages) {
            work.apply = true;
            work.compacted = false;
            if (change.recovery) {
                OrvPage* raw = nullptr;
                bool made = false;
                bm->getPageForRedo(segment, work.id, OrvPage::DataPage, raw, made);
                work.page = OrvScopedPage();
                bm->releasePage(raw);
            }
            work.page =
                OrvScopedPage(segment, work.id, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
            if (change.redo && !(work.page->getLsn() < change.redoLsn)) {
                work.apply = false;
                work.page.reset();
                continue;
            }
            anyApplied = true;
            work.image = std::make_unique<std::array<char, PAGE_END>>();
            std::memcpy(work.image->data(), work.page->getPageData(), PAGE_END);
        }
        if (!anyApplied) {
            return false;
        }

        // Check: the new images are built and checked aside.
        for (PageWork& work : pages) {
            if (!work.apply) {
                continue;
            }
            std::vector<PutBack::Target> here;
            for (const PutBack::Target& target : change.targets) {
                if (target.where.page == work.id) {
                    here.push_back(target);
                }
            }
            buildImage(work, segment, here);
        }
        bool waited = false;
        for (PageWork& work : pages) {
            if (work.apply && work.compacted && !work.pageLocked) {
                if (!waited) {
                    for (PageWork& other : pages) {
                        other.page.reset();
                    }
                    waited = true;
                }
                lockMgr->requestPage(segment, work.id, LM::ExclusiveLock);
                work.pageLocked = true;
            }
        }
        if (!waited) {
            break;
        }
    }

    // Log.
    OrvLsn lsn = change.redoLsn;
    if (change.type != 0) {
        const TupleId* primary = change.primary ? &*change.primary : nullptr;
        const TupleId* oldSec = change.oldSecondary ? &*change.oldSecondary : nullptr;
        const TupleId* newSec = change.newSecondary ? &*change.newSecondary : nullptr;
        OrvRecordLogEntry entry(change.transaction, segment, change.before, change.befLength,
                                change.after, change.aftLength, change.type, primary, oldSec,
                                newSec);
        lsn = OrvLogManager::getInstance()->createLogEntry(&entry);
    }

    // Apply and mark; then the inventory.
    for (PageWork& work : pages) {
        if (!work.apply) {
            continue;
        }
        std::memcpy(work.page->getPageData() + sizeof(OrvPageHeader),
                    work.image->data() + sizeof(OrvPageHeader), PAGE_END - sizeof(OrvPageHeader));
        markModified(work.page, lsn);
    }
    for (PageWork& work : pages) {
        if (!work.apply) {
            continue;
        }
        const SlotPageHeader header = View(*work.page.getPage()).header();
        const FsiEntry entry = OrvFsi::entryFor(header.freeSpace, header.consecFreeSpace);
        if (change.recovery) {
            prepareInventoryPage(segment, work.id);
            addFsiEntry_seg(segment, work.id, entry);
        } else {
            updateFsiEntry(segment, work.id, entry, false);
        }
    }
    return true;
}

// ---- the primitives ----------------------------------------------------------------

void OrvRecordManager::redoInsert(const SegmentId& segId, const TupleId* primaryTid,
                                  const TupleId* secTid, const OrvRecord& record) {
    ORV_TRACE(RecordManager);
    if (primaryTid == nullptr) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    checkLength(record.getLength(), record.getRecordData());
    checkTid(*primaryTid);
    if (secTid != nullptr) {
        checkTid(*secTid);
    }
    std::map<SegmentId, bool> known;
    if (!segmentExists(segId, known)) {
        ORV_THROW(ORV_FM_FILE_NOT_FOUND, OrvException::to_string(segId));
    }
    PutBack change;
    change.segment = segId;
    change.holds(*primaryTid, secTid, record.getRecordData(), record.getLength());
    change.type = COMPENSATE_INSERT;
    change.transaction = OrvTransactionManager::getInstance()->getCurrentTransactionID();
    change.after = record.getRecordData();
    change.aftLength = record.getLength();
    change.primary = *primaryTid;
    if (secTid != nullptr) {
        change.newSecondary = *secTid;
    }
    putBack(change);
}

void OrvRecordManager::redoRemove(const SegmentId& segId, const TupleId& tid) {
    ORV_TRACE(RecordManager);
    remove(segId, tid, true);
}

void OrvRecordManager::redoReplace(const SegmentId& segId, const TupleId* primaryTid,
                                   const TupleId* oldSecTid, const TupleId* newSecTid,
                                   const OrvRecord& oldRecord, const OrvRecord& newRecord) {
    ORV_TRACE(RecordManager);
    if (primaryTid == nullptr) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    checkLength(newRecord.getLength(), newRecord.getRecordData());
    checkLength(oldRecord.getLength(), oldRecord.getRecordData());
    checkTid(*primaryTid);
    std::map<SegmentId, bool> known;
    if (!segmentExists(segId, known)) {
        ORV_THROW(ORV_FM_FILE_NOT_FOUND, OrvException::to_string(segId));
    }
    PutBack change;
    change.segment = segId;
    change.holds(*primaryTid, oldSecTid, oldRecord.getRecordData(), oldRecord.getLength());
    if (newSecTid != nullptr && (oldSecTid == nullptr || !(*newSecTid == *oldSecTid))) {
        checkTid(*newSecTid);
        change.empty(*newSecTid);
    }
    change.type = COMPENSATE_UPDATE;
    change.transaction = OrvTransactionManager::getInstance()->getCurrentTransactionID();
    change.before = newRecord.getRecordData();
    change.befLength = newRecord.getLength();
    change.after = oldRecord.getRecordData();
    change.aftLength = oldRecord.getLength();
    change.primary = *primaryTid;
    if (newSecTid != nullptr) {
        change.oldSecondary = *newSecTid;
    }
    if (oldSecTid != nullptr) {
        change.newSecondary = *oldSecTid;
    }
    putBack(change);
}

// ---- rollback ----------------------------------------------------------------------

void OrvRecordManager::undoEntry(const OrvRecordLogEntry& entry,
                                 const OrvTransactionId& transaction, bool recovery) {
    PutBack change;
    change.segment = entry.getSegmentID();
    change.recovery = recovery;
    change.transaction = transaction;
    stateOf(entry, false, change);
    compensationOf(entry, change);
    putBack(change);
}

void OrvRecordManager::rollback() {
    ORV_TRACE(RecordManager);
    OrvRecovery recovery;
    rollback(recovery);
}

void OrvRecordManager::rollback(OrvRecovery& recovery) {
    ORV_TRACE(RecordManager);
    // Never the one refused for a deadlock: refused, it would leave the
    // transaction half undone.
    const OrvLockManager::RollbackScope rollingBack;
    const OrvTransactionId me = OrvTransactionManager::getInstance()->getCurrentTransactionID();
    // A table this transaction dropped is given back before its records
    // are: while the drop is pending, no page of it can be fixed.
    OrvBufferManager::getInstance()->takeBackPendingDrops();
    // The transaction's own entries, read back along its chain: the cost
    // does not grow with the log before them.
    if (!recovery.rollbackRunByChain(RECORD, me)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    OrvRecordLogEntry** list = recovery.getRecordRollbackList();
    const int length = recovery.getRecordRollbackListLength();
    std::map<SegmentId, bool> known;
    for (int i = 0; i < length; ++i) {
        const OrvRecordLogEntry& entry = *list[i];
        if (!isRecordChange(entry.getTransactionType()) ||
            !segmentExists(entry.getSegmentID(), known)) {
            continue;
        }
        undoEntry(entry, me, false);
    }
    logRecord(0, ROLLBACK, nullptr, nullptr, nullptr, nullptr, nullptr);
}

OrvLsn OrvRecordManager::rollbackOfDeadTransaction(const OrvTransactionId& transaction,
                                                   const OrvLsn& lastEntry, int& undone) {
    ORV_TRACE(RecordManager);
    OrvRecovery recovery;
    if (!recovery.rollbackRunByChain(RECORD, transaction, lastEntry)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    OrvRecordLogEntry** list = recovery.getRecordRollbackList();
    const int length = recovery.getRecordRollbackListLength();
    undone = 0;
    if (length == 0) {
        return lastEntry;
    }
    std::map<SegmentId, bool> known;
    const OrvLogManager::ChainOf chain(transaction, lastEntry);
    for (int i = 0; i < length; ++i) {
        const OrvRecordLogEntry& entry = *list[i];
        if (!isRecordChange(entry.getTransactionType()) ||
            !segmentExists(entry.getSegmentID(), known)) {
            continue;
        }
        undoEntry(entry, transaction, false);
        ++undone;
    }
    OrvRecordLogEntry end(transaction, 0, nullptr, 0, nullptr, 0, ROLLBACK, nullptr, nullptr,
                          nullptr);
    return OrvLogManager::getInstance()->createLogEntry(&end);
}

// ---- recovery ----------------------------------------------------------------------

void OrvRecordManager::recover() {
    ORV_TRACE(RecordManager);
    OrvRecovery recovery;
    recover(recovery);
}

void OrvRecordManager::recover(OrvRecovery& recovery) {
    ORV_TRACE(RecordManager);
    if (!recovery.recoverDb(RECORD)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    // Nothing else runs during recovery: one lock covers every page and
    // slot it reads and writes.
    lockMgr->requestDB(LM::ExclusiveLock);
    // The undo pass continues the chains of other transactions; this
    // transaction's own chain goes on afterwards where it stood.
    const OrvTransactionId me = OrvTransactionManager::getInstance()->getCurrentTransactionID();
    const OrvLsn myLast = OrvLogManager::getInstance()->getLastLsn(me);
    std::map<SegmentId, bool> known;
    std::set<std::pair<SegmentId, PageId>> named;

    // Redo, in log order, page by page.
    OrvRecordLogEntry* redo = recovery.getRecordRedoList();
    const int redoLength = recovery.getRecordRedoListLength();
    bool started = false;
    for (int i = 0; i < redoLength; ++i) {
        const OrvRecordLogEntry& entry = redo[i];
        recovery.step("record redo", Uint64(i) + 1, Uint64(redoLength));
        if (!isRecordChange(entry.getTransactionType()) || entry.getPrimTupelID() == nullptr ||
            !segmentExists(entry.getSegmentID(), known)) {
            continue;
        }
        PutBack change;
        change.segment = entry.getSegmentID();
        change.redo = true;
        change.recovery = true;
        change.redoLsn = entry.getLsn();
        stateOf(entry, true, change);
        // The state before names the same pages as the state after.
        for (const PutBack::Target& target : change.targets) {
            named.insert({change.segment, target.where.page});
        }
        const bool redone = putBack(change);
        if (redone) {
            recovery.noteRedone();
        }
        if (redone && !started) {
            started = true;
            std::cout << "Calculated starting point for REDO is at LogEntry with LSN "
                      << entry.getLsn().dump() << std::endl;
        }
    }

    // Undo of the transactions that never ended, newest first. Each
    // compensation joins its transaction's chain; a ROLLBACK entry ends it.
    OrvRecordLogEntry** undo = recovery.getRecordUndoList();
    const int undoLength = recovery.getRecordUndoListLength();
    OrvLogManager* log = OrvLogManager::getInstance();
    // Per run of a transaction that never ended: its last entry so far.
    std::map<std::pair<Uint64, Uint64>, std::pair<OrvTransactionId, OrvLsn>> runs;
    auto runKey = [&](int i) {
        const OrvLsn end = recovery.getRecordUndoRunEnd(i);
        return std::make_pair(Uint64(end.getFilenumber()), Uint64(end.getOffset()));
    };
    for (int i = 0; i < undoLength; ++i) {
        const auto key = runKey(i);
        if (runs.count(key) == 0) {
            runs[key] = {undo[i]->getTransactionID(), recovery.getRecordUndoRunEnd(i)};
        }
    }
    for (int i = 0; i < undoLength; ++i) {
        const OrvRecordLogEntry& entry = *undo[i];
        recovery.step("record undo", Uint64(i) + 1, Uint64(undoLength));
        if (!isRecordChange(entry.getTransactionType()) || entry.getPrimTupelID() == nullptr ||
            !segmentExists(entry.getSegmentID(), known)) {
            continue;
        }
        auto& run = runs[runKey(i)];
        log->continueChain(run.first, run.second);
        undoEntry(entry, run.first, true);
        recovery.noteUndone();
        run.second = log->getLastLsn(run.first);
    }
    for (auto& [key, run] : runs) {
        log->continueChain(run.first, run.second);
        OrvRecordLogEntry end(run.first, 0, nullptr, 0, nullptr, 0, ROLLBACK, nullptr, nullptr,
                              nullptr);
        recovery.noteEnded(OrvLsn(Uint16(key.first), Uint32(key.second)),
                           log->createLogEntry(&end));
    }
    log->continueChain(me, myLast);

    // Inventory pages are not logged: bring every entry the log names in
    // line with its page.
    for (const auto& [segment, page] : named) {
        if (segmentExists(segment, known)) {
            refreshInventory(segment, page);
        }
    }
}

void OrvRecordManager::refreshInventory(SegmentId segmentId, PageId pageId) {
    ORV_TRACE(RecordManager);
    OrvScopedPage page;
    try {
        page = OrvScopedPage(segmentId, pageId, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_BM_PAGE_NOT_FOUND) {
            throw;
        }
        return;
    }
    OrvDataPageWriter writer(*page.getPage());
    Uint16 blockOffset = 0;
    Uint16 blockSize = 0;
    writer.largestBlock(blockOffset, blockSize);
    const Uint16 total = writer.freeSpace();
    const SlotPageHeader header = writer.header();
    if (header.freeSpace != total || header.consecFreeSpace != blockSize ||
        header.consecFreeSpaceOffset != blockOffset) {
        writer.setFreeSpaceFields(total, blockSize, blockOffset);
        OrvBufferManager::getInstance()->markPageAsModified(*page.getPage());
    }
    page.reset();
    prepareInventoryPage(segmentId, pageId);
    addFsiEntry_seg(segmentId, pageId, OrvFsi::entryFor(total, blockSize));
}

void OrvRecordManager::prepareInventoryPage(SegmentId segmentId, PageId dataPageId) {
    ORV_TRACE(RecordManager);
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    OrvPage* raw = nullptr;
    bool made = false;
    bm->getPageForRedo(segmentId, getFsiPageId(dataPageId), OrvPage::FreeSpaceInventoryPage, raw,
                       made);
    if (made) {
        OrvFsiPageWriter(*raw).initialise();
    }
    bm->releasePage(raw);
}
