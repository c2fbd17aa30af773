// One open B+ tree: the index operations turned into page operations
// (index/OrvIndexTreePage.h), splits up to the root, which stays at page 1.
//
// A VARCHAR tree is the single leaf at page 1
// (index/OrvIndexVarcharTreeLeafPage.h): its operations lock that leaf as
// an integer tree locks its leaves, and an insert that does not fit is
// refused with ORV_IM_VARCHAR_INDEX_FULL before anything changes.
//
// Locks. A tree object belongs to one process; processes that use the same
// index coordinate through page locks only:
//   - a descent holds a shared lock on each inner node it reads, for the
//     length of the operation (writers) or until it has locked the child
//     (readers); those locks are released when the operation ends;
//   - readers lock every leaf they read shared, writers the leaves they
//     change exclusively, and a change locks every page it touches (the
//     parents that take a separator, the neighbours whose links change, new
//     pages) exclusively before the first page changes. These are
//     transaction locks.
// Every request is a try. A refusal gives back what the attempt fixed and
// every lock it took (it held none of them before), waits a random short
// while and starts the operation again, for up to ORV_LOCK_TIMEOUT seconds
// (then ORV_LM_LOCK_TIME_OUT). An operation thus never waits while holding
// a lock of its own, and never enters the lock list's waiting list; a wait
// for locks kept from earlier operations of the same transaction ends with
// the time-out. Once every lock of an attempt is held they pass to the
// transaction, nothing fails but the log (or a broken invariant), and a
// change of several pages (a split) is one group: when one of its log
// entries cannot be written, every page of the group gets its before image
// back. Where the transaction holds a lock on the index segment, the page
// requests are answered without the lock list.
//
// Equal keys: a key goes to the leftmost leaf that may hold it, in front of
// the entries equal to it; a run of equal keys may go on in the leaves to
// the right, so searches follow the leaf chain (over empty leaves) until
// they meet a larger key.
//
// Errors: results as codes where the operation's contract names them
// (ORV_NOT_FOUND_WARN, ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX); buffer, lock,
// log and inventory failures pass as OrvException.
#ifndef ORV_INDEX_BTREE_H
#define ORV_INDEX_BTREE_H

#include "OrvErrorCodes.h"
#include "OrvIndexKey.h"
#include "OrvRecord.h"
#include "OrvTypes.h"
#include "index/OrvIndexFreeSpaceInventory.h"
#include "index/OrvIndexTreePage.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class OrvIndexBTree {
public:
    OrvIndexBTree();
    virtual ~OrvIndexBTree();

    // Makes the segment file of an index (exclusive segment lock, kept) and
    // opens it. Until the index manager exists, the tests and benchmarks
    // make their index segments with it.
    static void createIndexSegment(IndexId indexId);

    // Sets the fields; opens the segment in this process. ORV_PARAMETER_FAIL
    // for an index id out of range or a data type other than INTEGER or
    // VARCHAR. The operations below raise ORV_IM_INDEX_NOT_OPENED on a tree
    // not opened, and ORV_PARAMETER_FAIL for a key not of the tree's type
    // (a varchar key without text, and one over 255 bytes to be stored,
    // included).
    void openTree(IndexId indexId, OrvDataType dataType, bool unique);
    // openTree, then a new inventory and the empty root leaf at page 1.
    OrvErrorCode initialTree(IndexId indexId, OrvDataType dataType, bool unique);

    OrvErrorCode insertKey(const OrvIndexKey& key, TupleId tid);
    // The tuple id of the first entry equal to key.
    OrvErrorCode find(IndexId indexId, const OrvIndexKey& key, TupleId& tid);
    OrvErrorCode findFirstKey(IndexId indexId, OrvIndexKey& key, TupleId& tid);
    OrvErrorCode findLastKey(IndexId indexId, OrvIndexKey& key, TupleId& tid);
    // Removes the entry (key, *tid), or with a null tid every entry equal
    // to key. ORV_NOT_FOUND_WARN when nothing was removed.
    OrvErrorCode deleteKey(IndexId indexId, const OrvIndexKey& key, const TupleId* tid);
    void deleteKey(const OrvIndexKey& key);
    bool checkUnique(const OrvIndexKey& key);
    // VARCHAR trees: the entry (oldKey, tid) replaced by (newKey, tid) in one
    // change (newKey only added when that entry is absent), refused whole
    // with ORV_IM_VARCHAR_INDEX_FULL when the new entry does not fit.
    OrvErrorCode replaceKey(const OrvIndexKey& oldKey, const OrvIndexKey& newKey,
                            const TupleId& tid);

    // Calls visit(value, tid) for every entry with start <= value <= stop
    // (a null bound is open) in key order, until visit returns false.
    // INTEGER trees only (ORV_PARAMETER_FAIL otherwise).
    void findRange(const OrvIndexKey* start, const OrvIndexKey* stop,
                   const std::function<bool(Sint32, const TupleId&)>& visit);

    // Where a scan from start (null: the first leaf) begins: the leaf, fixed
    // and locked shared for the transaction, and in pos the first position
    // of an entry not below start (it may be behind the leaf's entries).
    OrvScopedPage scanStart(const OrvIndexKey* start, Uint16& pos);

    IndexId getIndexId() const { return indexId; }
    OrvDataType getDataType() const { return dataType; }
    SegmentId getSegmentId() const { return segmentId; }
    bool isUnique() const { return unique; }

    // "SegmentId = ...", "IndexID = ...", "Datatype = ...", "Unique = ..."
    void dump();

private:
    struct Descent;
    enum class Edge { ByKey, First, Last };

    void checkOpen() const;
    Sint32 integerOf(const OrvIndexKey& key) const;
    // From the root to the leaf for key (or the first / last leaf), the leaf
    // locked with leafLock; the node locks are kept in the descent when
    // keepPath. Throws the internal refusal when a lock is refused.
    Descent descend(Sint32 key, Edge edge, OrvLockManager::LockType leafLock, bool keepPath);
    // The leaf after / before `page` in the chain, locked with `type`.
    std::unique_ptr<OrvIndexTreePage> neighbour(const OrvIndexTreePage& page, bool next,
                                                OrvLockManager::LockType type, Descent& descent);
    // Whether key is at pos of leaf or, when pos is behind its entries, at
    // the start of the next non-empty leaves.
    bool containsFrom(const OrvIndexTreePage& leaf, Uint16 pos, Sint32 key, TupleId* tid,
                      Descent& descent);

    OrvErrorCode insertOnce(Sint32 key, const TupleId& tid);
    OrvErrorCode findOnce(Sint32 key, TupleId& tid);
    OrvErrorCode edgeOnce(bool first, OrvIndexKey& key, TupleId& tid);
    Uint32 deleteOnce(Sint32 key, const TupleId* tid);
    // Splits along the descent's path for an insert of (key, tid) into its
    // full leaf.
    void splitAndInsert(Descent& descent, Sint32 key, const TupleId& tid);

    // The varchar tree's leaf, locked with leafLock for the attempt.
    Descent descendVarchar(OrvLockManager::LockType leafLock);
    OrvErrorCode insertVarchar(const OrvIndexKey& key, const TupleId& tid);
    OrvErrorCode findVarchar(const OrvIndexKey& key, TupleId& tid);
    OrvErrorCode edgeVarchar(bool first, OrvIndexKey& key, TupleId& tid);
    Uint32 deleteVarchar(const OrvIndexKey& key, const TupleId* tid);
    [[noreturn]] void refuseFull(Uint32 length, Uint16 free) const;

    IndexId indexId;
    bool unique;
    OrvDataType dataType;
    SegmentId segmentId;
    OrvIndexFreeSpaceInventory* fsi;
};

// The structure checker of a tree (see index/OrvIndexTreeCheck.cpp for what
// it checks). One line per problem; empty for a sound tree. Fixes pages
// itself and takes no lock: call it while no other process changes the
// index.
std::vector<std::string> orvCheckIndexTree(SegmentId segment);

// Facts the checker found on the way, for tests.
struct OrvIndexTreeShape {
    Uint32 height = 0; // 1 for a lone root leaf
    Uint32 leaves = 0;
    Uint32 nodes = 0;
    Uint64 entries = 0;
};
std::vector<std::string> orvCheckIndexTree(SegmentId segment, OrvIndexTreeShape& shape);

#endif
