// Rollback and recovery of indexes.
//
// An index log entry holds the whole page before and after a change, so
// undo puts the before image back and redo the after image, page by page.
// A transaction keeps every page it changed locked exclusively until it
// ends, so no other transaction's change lies on a page between an entry
// and its undo: undoing a transaction's entries newest first gives back
// exactly the pages before it.
//
// The rules are those of the record side: the transaction's pending drops
// are taken back before its entries are undone (while a drop is pending no
// page of the segment can be fixed); entries of a segment whose file is
// gone (made and dropped in the transaction, or dropped and committed
// later) are skipped; recovery treats a page that is missing or all zero
// as LSN (0,0), makes it and redoes onto it; redo only changes pages older
// than the entry, stamps them with the entry's LSN and logs nothing; the
// undo of recovery writes its compensations under the id of the
// transaction that never ended, then an index ROLLBACK entry for it.
//
// Varchar pages (VARCHAR_* entries) carry no LSN: their header lies where
// other pages keep it. Redo therefore puts every logged after image back in
// log order whatever the page holds, which ends with the newest image and
// is safe to repeat; undo is the same as for integer pages.
#include "OrvIndexManager.h"

#include "OrvException.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvTransaction.h"
#include "index/OrvIndexFreeSpaceInventory.h"
#include "index/OrvIndexTreePage.h"
#include "log/OrvIndexLogEntry.h"
#include "log/OrvRecovery.h"
#include "support/OrvTrace.h"

#include <cstring>
#include <iostream>
#include <map>
#include <utility>

using LM = OrvLockManager;

namespace {

bool isIntegerChange(int type) {
    return type == INTEGER_OPERATION || type == INTEGER_REDO || type == INTEGER_UNDO;
}

bool isVarcharChange(int type) {
    return type == VARCHAR_OPERATION || type == VARCHAR_REDO || type == VARCHAR_UNDO;
}

// An entry the undo and redo passes work on.
bool isPageChange(const OrvIndexLogEntry& entry) {
    const int type = entry.getTransactionType();
    return (isIntegerChange(type) || isVarcharChange(type)) && entry.getPageID() != nullptr &&
           entry.getSegmentID() != 0;
}

OrvDataType dataTypeOf(const OrvIndexLogEntry& entry) {
    return isVarcharChange(entry.getTransactionType()) ? VARCHAR : INTEGER;
}

void undoEntry(const OrvIndexLogEntry& entry, const OrvTransactionId& transaction) {
    std::unique_ptr<OrvIndexTreePage> page =
        OrvIndexTreePage::get(entry.getSegmentID(), *entry.getPageID(), dataTypeOf(entry));
    page->undoOperation(entry.getBeforePage(), entry.getBpl(), transaction);
}

void writeEnd(const OrvTransactionId& transaction, int type) {
    OrvIndexLogEntry entry(transaction, nullptr, 0, nullptr, 0, nullptr, 0, type);
    OrvLogManager::getInstance()->createLogEntry(&entry);
}

} // namespace

bool OrvIndexManager::segmentExists(SegmentId segment, std::map<SegmentId, bool>& known) {
    const auto found = known.find(segment);
    if (found != known.end()) {
        return found->second;
    }
    bool exists = true;
    try {
        // Opened again when it is open: the file may have gone since.
        bufferMgr->openSegment(segment);
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_FM_FILE_NOT_FOUND) {
            throw;
        }
        exists = false;
    }
    known[segment] = exists;
    return exists;
}

void OrvIndexManager::rollback() {
    ORV_TRACE(IndexManager);
    OrvRecovery recovery;
    rollback(recovery);
}

void OrvIndexManager::rollback(OrvRecovery& recovery) {
    ORV_TRACE(IndexManager);
    // Never the one refused for a deadlock: refused, it would leave the
    // transaction half undone.
    const OrvLockManager::RollbackScope rollingBack;
    const OrvTransactionId me = OrvTransactionManager::getInstance()->getCurrentTransactionID();
    bufferMgr->takeBackPendingDrops();
    if (!recovery.rollbackRunByChain(INDEX, me)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    OrvIndexLogEntry** list = recovery.getIndexRollbackList();
    const int length = recovery.getIndexRollbackListLength();
    std::map<SegmentId, bool> known;
    for (int i = 0; i < length; ++i) {
        const OrvIndexLogEntry& entry = *list[i];
        if (!isPageChange(entry) || !segmentExists(entry.getSegmentID(), known)) {
            continue;
        }
        undoEntry(entry, me);
    }
    writeEnd(me, ROLLBACK);
    endTransaction(false);
}

OrvLsn OrvIndexManager::rollbackOfDeadTransaction(const OrvTransactionId& transaction,
                                                  const OrvLsn& lastEntry, int& undone) {
    ORV_TRACE(IndexManager);
    OrvRecovery recovery;
    if (!recovery.rollbackRunByChain(INDEX, transaction, lastEntry)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    OrvIndexLogEntry** list = recovery.getIndexRollbackList();
    const int length = recovery.getIndexRollbackListLength();
    undone = 0;
    if (length == 0) {
        return lastEntry;
    }
    std::map<SegmentId, bool> known;
    const OrvLogManager::ChainOf chain(transaction, lastEntry);
    for (int i = 0; i < length; ++i) {
        const OrvIndexLogEntry& entry = *list[i];
        if (!isPageChange(entry) || !segmentExists(entry.getSegmentID(), known)) {
            continue;
        }
        undoEntry(entry, transaction);
        ++undone;
    }
    writeEnd(transaction, ROLLBACK);
    return OrvLogManager::getInstance()->getLastLsn(transaction);
}

void OrvIndexManager::recover() {
    ORV_TRACE(IndexManager);
    OrvRecovery recovery;
    recover(recovery);
}

void OrvIndexManager::recover(OrvRecovery& recovery) {
    ORV_TRACE(IndexManager);
    if (!recovery.recoverDb(INDEX)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    // Nothing else runs during recovery.
    LM::getInstance()->requestDB(LM::ExclusiveLock);
    OrvLogManager* log = OrvLogManager::getInstance();
    const OrvTransactionId me = OrvTransactionManager::getInstance()->getCurrentTransactionID();
    const OrvLsn myLast = log->getLastLsn(me);
    OrvIndexFreeSpaceInventory* fsi = OrvIndexFreeSpaceInventory::getInstance();
    std::map<SegmentId, bool> known;

    // Redo, in log order.
    OrvIndexLogEntry* redo = recovery.getIndexRedoList();
    const int redoLength = recovery.getIndexRedoListLength();
    bool started = false;
    for (int i = 0; i < redoLength; ++i) {
        const OrvIndexLogEntry& entry = redo[i];
        recovery.step("index redo", Uint64(i) + 1, Uint64(redoLength));
        if (!isPageChange(entry) || !segmentExists(entry.getSegmentID(), known)) {
            continue;
        }
        const SegmentId segment = entry.getSegmentID();
        const PageId pageId = *entry.getPageID();
        const char* after = entry.getAfterPage();
        const OrvDataType type = dataTypeOf(entry);
        if (entry.getApl() != int(ORV_PAGE_SIZE) || after == nullptr ||
            OrvIndexPageView(after).pageId() != pageId ||
            !OrvIndexTreePage::imageProblems(after, type).empty()) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        // The inventory is not logged: whatever page the log names is in
        // use, redone or not.
        fsi->raiseLastId(segment, pageId);
        OrvPage* raw = nullptr;
        bool made = false;
        bufferMgr->getPageForRedo(segment, pageId, OrvPage::BTreeIndexPage, raw, made);
        try {
            if (type == VARCHAR) {
                // The whole image, bytes 8 to 15 included, and no LSN.
                std::memcpy(raw->getPageData(), after, ORV_PAGE_SIZE);
                OrvException::raise(raw->markAsModified(OrvLsn::dummyLSN()), "markAsModified",
                                    __FILE__, __LINE__, __PRETTY_FUNCTION__);
            } else if (raw->getLsn() < entry.getLsn()) {
                std::memcpy(raw->getPageData() + sizeof(OrvPageHeader),
                            after + sizeof(OrvPageHeader), ORV_PAGE_SIZE - sizeof(OrvPageHeader));
                OrvException::raise(raw->markAsModified(entry.getLsn()), "markAsModified", __FILE__,
                                    __LINE__, __PRETTY_FUNCTION__);
                recovery.noteRedone();
                if (!started) {
                    started = true;
                    std::cout << "Calculated starting point for REDO is at LogEntry with LSN "
                              << entry.getLsn().dump() << std::endl;
                }
            }
        } catch (...) {
            bufferMgr->releasePage(raw);
            throw;
        }
        bufferMgr->releasePage(raw);
    }

    // Undo of the transactions that never ended, newest first; each
    // compensation joins its transaction's chain, an index ROLLBACK ends it.
    OrvIndexLogEntry** undo = recovery.getIndexUndoList();
    const int undoLength = recovery.getIndexUndoListLength();
    std::map<std::pair<Uint64, Uint64>, std::pair<OrvTransactionId, OrvLsn>> runs;
    auto runKey = [&](int i) {
        const OrvLsn end = recovery.getIndexUndoRunEnd(i);
        return std::make_pair(Uint64(end.getFilenumber()), Uint64(end.getOffset()));
    };
    for (int i = 0; i < undoLength; ++i) {
        const auto key = runKey(i);
        if (runs.count(key) == 0) {
            runs[key] = {undo[i]->getTransactionID(), recovery.getIndexUndoRunEnd(i)};
        }
    }
    for (int i = 0; i < undoLength; ++i) {
        const OrvIndexLogEntry& entry = *undo[i];
        recovery.step("index undo", Uint64(i) + 1, Uint64(undoLength));
        if (!isPageChange(entry) || !segmentExists(entry.getSegmentID(), known)) {
            continue;
        }
        auto& run = runs[runKey(i)];
        log->continueChain(run.first, run.second);
        undoEntry(entry, run.first);
        recovery.noteUndone();
        run.second = log->getLastLsn(run.first);
    }
    for (auto& [key, run] : runs) {
        log->continueChain(run.first, run.second);
        writeEnd(run.first, ROLLBACK);
        recovery.noteEnded(OrvLsn(Uint16(key.first), Uint32(key.second)),
                           log->getLastLsn(run.first));
    }
    log->continueChain(me, myLast);
}
