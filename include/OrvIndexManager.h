// The index manager: the only way into the indexes for the rest of the
// engine, and the index scan.
//
//   OrvIndexManager* im = OrvIndexManager::getInstance();
//   im->createIndex(7, true, BTree, INTEGER);     // or openIndex(...)
//   im->insert(7, key, tid);
//   OrvIndexIterator* scan = nullptr;
//   im->findRange(7, &low, &high, scan);
//   std::unique_ptr<OrvIndexIterator> owned(scan);
//   TupleId tid;
//   while (scan->hasNext()) {
//       if (scan->getNextTupleId(tid) != ORV_SUCCESS) { ... a real failure ... }
//   }
//
// The manager keeps the trees this process created or opened; an index must
// be created or opened before the other operations reach it
// (ORV_IM_INDEX_NOT_OPENED otherwise). Results other than ORV_SUCCESS are
// raised as OrvException, ORV_NOT_FOUND_WARN included (find of an absent
// key); remove of an absent entry is silent.
//
// Transactions: create and drop take an exclusive lock on the index
// segment, open an intention-shared one (so that the index cannot be
// dropped meanwhile, yet others may change it); the page locks are those
// of the tree (index/OrvIndexBTree.h). All are transaction locks. commit()
// and rollback() come after the record manager's and before the buffer
// manager's (OrvClientTransaction keeps that order). A tree created in a
// rolled back transaction leaves the list, a tree dropped in it comes back.
//
// Per process and single-threaded, like every engine object. The segments,
// the buffer pool and the lock list are shared with the other processes.
#ifndef ORV_INDEX_MANAGER_H
#define ORV_INDEX_MANAGER_H

#include "OrvBuffer.h"
#include "OrvErrorCodes.h"
#include "OrvIndexKey.h"
#include "OrvIterator.h"
#include "OrvRecord.h"
#include "OrvTypes.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

class OrvIndexBTree;
class OrvIndexTreePage;
class OrvRecovery;
class OrvTransactionId;

// A scan of one index from a start key to a stop key (both inclusive, null:
// open), yielding the tuple ids in key order (equal keys in tree order).
//
// Locks. Every leaf the scan enters is locked shared, kept until the
// transaction ends, so no other transaction changes what it read; a lock
// that cannot be had at once is waited for with no page fixed.
//
// Fixes. The leaf the scan stands on stays fixed between calls; the scan
// moves to the next leaf with the buffer manager's exchange of pages. The
// fix is given back at the end of the index, on a failure, by
// releasePage() and by the destructor. A transaction must not end while a
// scan holds a fix (commit refuses with ORV_BM_FIXES_LEFT).
//
// Failures. The end of the range is not an error: hasNext answers false and
// getNextTupleId returns ORV_NOT_FOUND_WARN. Any other failure (a lock
// time-out or deadlock, a damaged page) is recorded in the error object
// when it happens; hasNext then answers true once, and getNextTupleId
// returns the failure. After a failure the scan is over until reset().
class OrvIndexIterator : public OrvIterator {
public:
    // Positions the scan (reset()); a failure of it is kept as the result
    // of reset() (lastResetResult()) and handed out by the first
    // getNextTupleId. The keys are borrowed: the caller keeps them alive.
    OrvIndexIterator(IndexId indexId, const OrvIndexKey* startKey, const OrvIndexKey* stopKey,
                     OrvDataType dataType);
    ~OrvIndexIterator() override;
    OrvIndexIterator(const OrvIndexIterator&) = delete;
    OrvIndexIterator& operator=(const OrvIndexIterator&) = delete;

    bool hasNext() override;
    // Back to the start key; a recorded failure is forgotten. The result is
    // the failure of the new descent (ORV_SUCCESS when there is none).
    OrvErrorCode reset() override;
    OrvErrorCode lastResetResult() const { return resetResult; }
    // The next tuple id; (0, 0) and ORV_NOT_FOUND_WARN at the end.
    virtual OrvErrorCode getNextTupleId(TupleId& tid);
    // Gives back the leaf's fix now; the scan goes on later from where it
    // stood (its leaf stays locked). Never throws.
    void releasePage() noexcept;

private:
    // Moves to the next entry not handed out; false at the end of the range
    // (no fix held then). Throws failures.
    bool advance();
    bool withinStop(Sint32 value) const;
    bool withinStop(const char* text, Uint32 length) const;
    void fail(OrvErrorCode code) noexcept;

    IndexId mIndexId;
    const OrvIndexKey* mStartKey;
    const OrvIndexKey* mStopKey;
    OrvDataType mDataType;
    SegmentId segment = 0;
    // The leaf the scan stands on (fixed, or only named after releasePage).
    OrvScopedPage page;
    PageId currentLeaf = 0;
    Uint16 mCurrentPosition = 0;
    // The entry at the position was found but not handed out yet.
    bool pending = false;
    bool finished = true;
    OrvErrorCode pendingError = ORV_SUCCESS;
    OrvErrorCode failedWith = ORV_SUCCESS;
    OrvErrorCode resetResult = ORV_SUCCESS;
    TupleId mLastReturnedTupleId;
};

class OrvIndexManager {
public:
    // The process's manager, made on first use (the first one registers the
    // index debug commands).
    static OrvIndexManager* getInstance();
    // Deletes the manager and its trees, if there is one. Never throws.
    static void deleteInstance();

    // Checks the index type and data type first (Hash: ORV_IM_NOT_IMPL_HASH,
    // another type: ORV_IM_INDEXTYPE_NOT_VALID, a data type other than
    // INTEGER or VARCHAR or an index id out of range: ORV_PARAMETER_FAIL),
    // then makes the segment (ORV_IM_INDEX_ALREADY_EXISTS when it exists)
    // with an empty tree. The tree becomes current.
    //
    // A VARCHAR index keeps all its keys in one page: keys of at most 255
    // bytes (ORV_PARAMETER_FAIL for longer ones to be stored), each taking
    // its length + 7 of the page's 4036 bytes; an insert or update that
    // does not fit is refused with ORV_IM_VARCHAR_INDEX_FULL before
    // anything changes. Keys order as strcmp orders them.
    void createIndex(IndexId indexId, bool unique, OrvIndexType type, OrvDataType dataType);
    // ORV_IM_INDEX_NOT_OPENED unless this process has the tree; then the
    // segment is dropped (at commit, or at once when made in this
    // transaction).
    void dropIndex(IndexId indexId);
    // Makes the index known to this process (intention-shared segment
    // lock). The index type is not examined.
    void openIndex(IndexId indexId, bool unique, OrvIndexType type, OrvDataType dataType);

    void find(IndexId indexId, const OrvIndexKey& key, TupleId& tid);
    void findFirstKey(IndexId indexId, OrvIndexKey& key, TupleId& tid);
    void findLastKey(IndexId indexId, OrvIndexKey& key, TupleId& tid);
    // A new scan, owned by the caller; the failure of its first descent is
    // raised (and no scan is handed out).
    void findRange(IndexId indexId, const OrvIndexKey* start, const OrvIndexKey* stop,
                   OrvIndexIterator*& iterator);
    void insert(IndexId indexId, const OrvIndexKey& key, const TupleId& tid);
    // With a tuple id the entry (key, *tid) only, without one every entry
    // of the key. An absent entry is silent.
    void remove(IndexId indexId, const OrvIndexKey& key, const TupleId* tid);
    // remove(oldKey, tid), insert(newKey, *tid). A null tid is
    // ORV_PARAMETER_FAIL and a new key taken in a unique index
    // ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX, both before anything changes;
    // in a VARCHAR index the two are one change, refused whole when the new
    // key does not fit.
    void update(IndexId indexId, const OrvIndexKey& oldKey, const OrvIndexKey& newKey,
                const TupleId* tid);

    // The index COMMIT entry of the current transaction.
    void commit();
    // Undoes the index entries of the current transaction (its pending
    // drops taken back first, entries of segments whose file is gone
    // skipped), then writes its index ROLLBACK entry.
    void rollback();
    void rollback(OrvRecovery& recovery);
    // The same for the index work of another transaction whose process has
    // died, back from lastEntry, under that transaction's id (see the
    // record manager's rollbackOfDeadTransaction); an index ROLLBACK entry
    // ends it when there was open work. Returns and counts as that one does.
    OrvLsn rollbackOfDeadTransaction(const OrvTransactionId& transaction, const OrvLsn& lastEntry,
                                     int& undone);
    // After a crash, before any work: redoes the logged index changes whose
    // pages are older than them (missing pages made), then undoes the index
    // changes of every transaction that never ended, under its own id, and
    // ends each with an index ROLLBACK entry.
    void recover();
    void recover(OrvRecovery& recovery);

    IndexId getCurrentIndexId() const { return currentIndexId; }
    // Whether this process has the tree (for tests and the catalog).
    bool isOpen(IndexId indexId) const;

    // Dumps (the debug commands use them).
    void dump_current();
    void dump_all();
    // Debug output of the index's pages: the tree's fields, then pages
    // start..end in turn, or with end 0xFFFE the inventory and the tree from
    // page `start` down. full: every entry, else one line per page. Pages
    // are read without locks. ORV_NOT_FOUND_WARN for end < start;
    // ORV_INTERNAL_FAIL for an index not open in this process; the page loop
    // ends at the first page that does not exist.
    void show(IndexId indexId, PageId start, PageId end, bool full);
    // The tree's fields, then the leaves along the chain.
    void showLeaves(IndexId indexId, bool full);
    // The inventory pages of the index (open or not in this process).
    void showInventory(IndexId indexId, bool full);

    // The debug commands "index_all" (info|dump indexId), "index_leafs"
    // (info|dump indexId), "index_page" (info|dump indexId pageId),
    // "index_pages" (info|dump indexId pageId1 pageId2) and "index_fsi"
    // (info|dump indexId), registered when the first manager of the process
    // is made. A wrong word count prints "Wrong Parameters" and the usage
    // line; failures print "Error" for ORV_INTERNAL_FAIL and nothing else.
    static void debugIndexAll(const std::string* args);
    static void debugIndexLeafs(const std::string* args);
    static void debugIndexPage(const std::string* args);
    static void debugIndexPages(const std::string* args);
    static void debugIndexFsi(const std::string* args);

private:
    OrvIndexManager();
    ~OrvIndexManager();
    OrvIndexManager(const OrvIndexManager&) = delete;
    OrvIndexManager& operator=(const OrvIndexManager&) = delete;

    // The tree of the index, made current; ORV_IM_INDEX_NOT_OPENED when this
    // process does not have it.
    OrvIndexBTree* getIndex(IndexId indexId);
    // Whether the segment's file exists (opened when it does).
    bool segmentExists(SegmentId segment, std::map<SegmentId, bool>& known);
    static void registerDebugCommands();
    // Forgets the bookkeeping of the ended transaction.
    void endTransaction(bool committed);

    OrvBufferManager* bufferMgr;
    std::map<IndexId, std::unique_ptr<OrvIndexBTree>> indexList;
    IndexId currentIndexId = 0;
    OrvIndexBTree* currentIndex = nullptr;
    // The trees this transaction created, and the ones it dropped (kept
    // until it ends: a rollback brings them back).
    std::vector<IndexId> createdInTransaction;
    std::map<IndexId, std::unique_ptr<OrvIndexBTree>> droppedInTransaction;

    static OrvIndexManager* instance;
};

#endif
