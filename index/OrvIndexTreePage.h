// The pages of an integer B+ tree: their byte layout, the views that decode
// it, and the page handles through which the tree, recovery and the tests
// change one fixed page with a logged change. The handle class is also the
// common interface of the varchar page kinds (OrvIndexVarcharTreeLeafPage.h,
// OrvIndexVarcharTreeNodePage.h), which lay out their pages differently.
//
// An index is one segment of 4096-byte pages. Page 0 is the first page of
// the index free space inventory (OrvIndexFreeSpaceInventory.h); page 1 is
// always the root; every other tree page is an inner node or a leaf. Leaves
// form a doubly linked chain in key order (prevId / nextId, 0 = none); inner
// nodes of one level are linked the same way. Within a page the entries are
// sorted by value, equal values adjacent, and a new entry goes in front of
// those equal to it.
//
// Routing in an inner node with firstChild and entries (s[0], c[0]) ...
// (s[n-1], c[n-1]): a key k goes to firstChild when k <= s[0], else to c[i]
// for the largest i with s[i] < k. Every key of the subtree c[i] lies in the
// closed interval [s[i], s[i+1]] (firstChild: up to s[0]), so a run of equal
// keys may continue in the leaves to the right of the leaf a descent
// reaches; searches follow the leaf chain for that.
//
// Bytes of a page image are untrusted (shared memory or a file): the views
// check the entry count and every position against the page before they
// read, and copy fields with memcpy (page images in the pool are only 4-byte
// aligned). Nothing outside this file decodes the layout.
//
// Process safety: a view holds no lock and no fix; REQUIRES of its user that
// the page stays fixed and locked (shared to read, exclusive to change) while
// it lives. A handle owns one fix of its page; the page locks it takes are
// transaction locks (they stay until the transaction ends). No latch is held
// here: the buffer manager and the lock manager take theirs inside each call.
#ifndef ORV_INDEX_TREE_PAGE_H
#define ORV_INDEX_TREE_PAGE_H

#include "OrvBuffer.h"
#include "OrvConfig.h"
#include "OrvIndexKey.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvLsn.h"
#include "OrvRecord.h"
#include "OrvTransaction.h"
#include "OrvTypes.h"

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

// The header of an integer inner node page (28 bytes); entries follow.
//
//   offset  size   field
//   0       16     pageHeader  common page header, type BTreeIndexPage
//   16      1      isLeaf      0
//   17      1      padding
//   18      2      spaceLeft   509 - number of entries (the stored counter)
//   20      2      prevId      left neighbour on the same level, 0 = none
//   22      2      nextId      right neighbour on the same level, 0 = none
//   24      2      firstChild  child for keys <= the first separator
//   26      2      padding
//   28      8*508  entries     OrvIndexIntegerKey, of which only the first
//                              6 bytes are written
//
// Only 508 entries fit behind byte 28: a node is full at 508 entries
// (spaceLeft 1), although the counter counts down from 509.
struct OrvIndexIntegerNodeHeader {
    OrvPageHeader pageHeader;
    Uint8 isLeaf;
    Uint8 padding;
    Uint16 spaceLeft;
    PageId prevId;
    PageId nextId;
    PageId firstChild;
    Uint16 padding2;
};

static_assert(sizeof(OrvIndexIntegerNodeHeader) == 28, "the node header takes 28 bytes");
static_assert(offsetof(OrvIndexIntegerNodeHeader, isLeaf) == 16, "isLeaf at byte 16");
static_assert(offsetof(OrvIndexIntegerNodeHeader, spaceLeft) == 18, "spaceLeft at byte 18");
static_assert(offsetof(OrvIndexIntegerNodeHeader, prevId) == 20, "prevId at byte 20");
static_assert(offsetof(OrvIndexIntegerNodeHeader, nextId) == 22, "nextId at byte 22");
static_assert(offsetof(OrvIndexIntegerNodeHeader, firstChild) == 24, "firstChild at byte 24");
static_assert(alignof(OrvIndexIntegerNodeHeader) <= 4, "a page image is 4-byte aligned");
static_assert(std::is_trivially_copyable<OrvIndexIntegerNodeHeader>::value, "copied as bytes");

// The header of an integer leaf page (24 bytes); entries follow.
//
//   offset  size   field
//   0       16     pageHeader  common page header, type BTreeIndexPage
//   16      1      isLeaf      1
//   17      1      padding
//   18      2      spaceLeft   509 - number of entries
//   20      2      prevId      previous leaf, 0 = none
//   22      2      nextId      next leaf, 0 = none
//   24      8*509  entries     OrvIndexIntegerTupleIdentifier; they fill the
//                              page exactly
struct OrvIndexIntegerLeafHeader {
    OrvPageHeader pageHeader;
    Uint8 isLeaf;
    Uint8 padding;
    Uint16 spaceLeft;
    PageId prevId;
    PageId nextId;
};

static_assert(sizeof(OrvIndexIntegerLeafHeader) == 24, "the leaf header takes 24 bytes");
static_assert(offsetof(OrvIndexIntegerLeafHeader, isLeaf) == 16, "isLeaf at byte 16");
static_assert(offsetof(OrvIndexIntegerLeafHeader, spaceLeft) == 18, "spaceLeft at byte 18");
static_assert(offsetof(OrvIndexIntegerLeafHeader, prevId) == 20, "prevId at byte 20");
static_assert(offsetof(OrvIndexIntegerLeafHeader, nextId) == 22, "nextId at byte 22");
static_assert(alignof(OrvIndexIntegerLeafHeader) <= 4, "a page image is 4-byte aligned");
static_assert(std::is_trivially_copyable<OrvIndexIntegerLeafHeader>::value, "copied as bytes");

namespace OrvIndexPage {

// The stored counter counts free slots down from this number in both kinds.
constexpr Uint16 ENTRY_SLOTS = 509;
constexpr Uint16 LEAF_CAPACITY = 509;
constexpr Uint16 NODE_CAPACITY = 508;
constexpr Uint32 ENTRY_SIZE = 8;
constexpr Uint32 NODE_ENTRIES = sizeof(OrvIndexIntegerNodeHeader);
constexpr Uint32 LEAF_ENTRIES = sizeof(OrvIndexIntegerLeafHeader);
// Bytes of a node entry that are written (the padding never is).
constexpr Uint32 NODE_ENTRY_BYTES = 6;
constexpr Uint32 LEAF_ENTRY_BYTES = 8;
constexpr PageId ROOT = 1;

static_assert(sizeof(OrvIndexIntegerKey) == ENTRY_SIZE, "node entries are 8 bytes apart");
static_assert(sizeof(OrvIndexIntegerTupleIdentifier) == ENTRY_SIZE, "leaf entries are 8 bytes");
static_assert(NODE_ENTRIES + ENTRY_SIZE * NODE_CAPACITY <= ORV_PAGE_SIZE,
              "the node entries stay inside the page");
static_assert(NODE_ENTRIES + ENTRY_SIZE * (NODE_CAPACITY + 1) > ORV_PAGE_SIZE,
              "a 509th node entry would run past the page");
static_assert(LEAF_ENTRIES + ENTRY_SIZE * LEAF_CAPACITY == ORV_PAGE_SIZE,
              "the leaf entries fill the page exactly");

} // namespace OrvIndexPage

// A read-only view of an integer tree page image (either kind). Positions
// at or beyond numElements(), a counter beyond the kind's capacity and an
// isLeaf byte other than 0 or 1 are ORV_INTERNAL_FAIL.
class OrvIndexPageView {
public:
    explicit OrvIndexPageView(const char* image);

    PageId pageId() const;
    bool isLeaf() const;
    Uint16 capacity() const;
    // 509 - spaceLeft, checked against the capacity.
    Uint16 numElements() const;
    bool isFull() const { return numElements() >= capacity(); }
    PageId prevId() const;
    PageId nextId() const;
    // Nodes only (ORV_INTERNAL_FAIL for a leaf).
    PageId firstChild() const;
    // The child of entry pos; pos -1 names firstChild.
    PageId childAt(int pos) const;
    // The child of the last entry, firstChild for an empty node.
    PageId lastChild() const;
    Sint32 valueAt(Uint16 pos) const;
    // Leaves only.
    TupleId tupleAt(Uint16 pos) const;
    // The first position whose value is >= key (numElements() when none).
    Uint16 lowerBound(Sint32 key) const;
    // The entry of a node that a key is routed to: -1 for firstChild.
    int routeIndex(Sint32 key) const { return int(lowerBound(key)) - 1; }

    // One line per breach of the layout (counter, flag, order of values,
    // zero children in a node); empty for a sound page. Never throws.
    std::vector<std::string> problems() const;

protected:
    Uint32 entryOffset(Uint16 pos) const;
    Uint16 readU16(Uint32 offset) const;

    const char* bytes;
};

// A writable view of an integer tree page image.
class OrvIndexPageWriter : public OrvIndexPageView {
public:
    explicit OrvIndexPageWriter(char* image);

    // A fresh empty page of the kind: isLeaf, spaceLeft 509, no neighbours,
    // firstChild 0; the common header and the entry bytes stay.
    void initLeaf();
    void initNode();
    void setPrevId(PageId id);
    void setNextId(PageId id);
    void setFirstChild(PageId id);
    // Inserts at pos (0 .. numElements), moving the entries behind it one
    // place right; ORV_INTERNAL_FAIL when the page is full or pos too big.
    void insertLeafEntry(Uint16 pos, Sint32 value, const TupleId& tid);
    void insertNodeEntry(Uint16 pos, Sint32 value, PageId child);
    // Removes count entries from pos on; ORV_INTERNAL_FAIL beyond the end.
    void removeEntries(Uint16 pos, Uint16 count);
    // Appends the entries [from, numElements) of source (same kind) in
    // order, then cuts them off the source. ORV_INTERNAL_FAIL when they do
    // not fit.
    void moveTailFrom(OrvIndexPageWriter& source, Uint16 from);

private:
    void writeU16(Uint32 offset, Uint16 value);
    void setNumElements(Uint16 count);

    char* writable;
};

class OrvIndexTreeLeafPage;
class OrvIndexTreeNodePage;
class OrvIndexChangeSet;

// The handle of one fixed tree page. It owns the page's fix (released when
// the handle is destroyed or release() is called) and makes every change of
// the page a logged change:
//
//   beforeWrite()   exclusive page lock (a transaction lock), the before
//                   image saved, and a working copy returned in which the
//                   caller builds the after image;
//   afterWrite(t)   log entry (before and after image, kind t), then the
//                   working copy over the page and the page marked modified
//                   with the entry's LSN. When the entry cannot be written
//                   the page is left exactly as it was and the error passes.
//
// A change of several pages (a split) writes one entry per page; the tree
// groups them (OrvIndexChangeSet) so that a failure restores every page of
// the group.
class OrvIndexTreePage {
public:
    // Fixes an existing tree page of the segment and builds the handle of its
    // kind: the integer kinds for INTEGER (isLeaf at byte 16), the varchar
    // kinds for VARCHAR (isLeaf at byte 8). ORV_BM_PAGETYPE_MISMATCH
    // (another page type) and the buffer manager's other errors pass;
    // ORV_INTERNAL_FAIL for a damaged flag and for another data type.
    static std::unique_ptr<OrvIndexTreePage> get(SegmentId segment, PageId pageId,
                                                 OrvDataType dataType);
    // The handle over a page already fixed by the caller; with newPage, a
    // fresh empty page of the kind is laid out (not logged: the page is
    // initialised before anyone can reach it, and its first logged change
    // carries the whole image anyway).
    static std::unique_ptr<OrvIndexTreePage> adopt(OrvScopedPage&& page, OrvDataType dataType,
                                                   bool newPage, bool leaf);

    virtual ~OrvIndexTreePage();
    OrvIndexTreePage(const OrvIndexTreePage&) = delete;
    OrvIndexTreePage& operator=(const OrvIndexTreePage&) = delete;

    // The common interface of the page kinds; the integer kinds answer
    // here, the varchar kinds (index/OrvIndexVarcharTree*Page.h) override.
    virtual bool isLeaf() const { return view().isLeaf(); }
    virtual bool isFull() const { return view().isFull(); }
    bool isRoot() const { return pId == OrvIndexPage::ROOT; }
    bool empty() const { return numElements() == 0; }
    virtual Uint16 numElements() const { return view().numElements(); }
    virtual Uint16 spaceLeft() const { return Uint16(OrvIndexPage::ENTRY_SLOTS - numElements()); }
    SegmentId segmentId() const { return sId; }
    PageId pageId() const { return pId; }
    OrvDataType getDataType() const { return dataType; }
    virtual PageId nextId() const { return view().nextId(); }
    virtual PageId prevId() const { return view().prevId(); }
    // The value of entry pos as an INTEGER key.
    virtual OrvIndexKey getValueAt(Uint16 pos) const;
    virtual OrvIndexKey getLastValue() const;
    // The first position holding key.intKey, or 0xFFFF.
    virtual Uint16 findKeyPosition(const OrvIndexKey& key) const;

    // Logged changes of the links (of either kind).
    virtual void setNextId(PageId id);
    virtual void setPrevId(PageId id);

    // The entry operations of leaves; other kinds refuse them (false,
    // (0, 0)).
    virtual bool insert(const OrvIndexKey& key, const TupleId& tid);
    virtual bool deleteKeyAt(Uint16 pos);
    virtual bool findTuple(const OrvIndexKey& key, TupleId& tid) const;
    virtual TupleId getTupleAt(Uint16 pos) const;

    // The live image (4096 bytes) and, for an integer page, a view of it
    // (ORV_INTERNAL_FAIL for the varchar kinds, whose layout differs).
    const char* image() const;
    OrvIndexPageView view() const;

    // Page locks of the current transaction on this page.
    void lock(OrvLockManager::LockType type);
    bool tryLock(OrvLockManager::LockType type);
    // Gives the fix back now; the handle is unusable afterwards.
    void release();
    // Hands the fix over (for descents that exchange it for the next page).
    OrvScopedPage takePage();

    // The logged change protocol (see above). beforeWrite may be called once
    // per change; the working copy lives until afterWrite or discardChange.
    char* beforeWrite();
    void afterWrite(transType type);
    // The three steps of afterWrite, for changes of several pages: the log
    // entry, then the working copy over the page, then (after a later
    // failure in the group) the before image back over the page.
    OrvLsn writeLogEntry(transType type);
    void applyChange(const OrvLsn& lsn);
    void restoreBeforeImage();
    void discardChange();
    bool changing() const { return savedPageData != nullptr; }

    // The split of a full page, as part of a change of several pages: the
    // upper half of the entries (from position numElements / 2 on) moves in
    // order to `sibling`, an empty page of the same kind, which is linked in
    // behind this page; `after` is this page's right neighbour before the
    // split (null when it has none), whose prevId then names the sibling. A
    // node's sibling takes this node's last remaining child as its
    // firstChild: keys above the separator that goes up and up to the
    // sibling's first separator still reach that child. Returns the
    // separator for the parent: this page's last value after the split.
    // ORV_INTERNAL_FAIL (nothing changed) for pages that do not fit.
    Sint32 split(OrvIndexTreePage& sibling, OrvIndexTreePage* after, OrvIndexChangeSet& changes);
    // The root extraction that follows a split of the root (page 1): the
    // root's content moves to `target`, a new page of its kind, and page 1
    // becomes an inner node with firstChild target and the one separator
    // (separator, bigger), where bigger is the sibling of the split.
    // ORV_INTERNAL_FAIL (nothing changed) unless this page is the root.
    void extractRoot(OrvIndexTreePage& target, Sint32 separator, OrvIndexTreePage& bigger,
                     OrvIndexChangeSet& changes);

    // Recovery: the image over the page as a logged change of its own
    // (INTEGER_UNDO / INTEGER_REDO, VARCHAR_UNDO / VARCHAR_REDO). A length
    // other than 4096, an image of another page id or not sound for the
    // data type, and a data type other than INTEGER or VARCHAR are
    // ORV_INTERNAL_FAIL, before anything changes. The free space inventory
    // is not touched: a page that becomes empty may still be linked in the
    // tree, and leaking a page is harmless where reusing a live one is not.
    void undoOperation(const char* beforeImage, int length);
    void redoOperation(const char* afterImage, int length);
    // undoOperation with the entry written under `transaction` (recovery
    // undoes the work of transactions that never ended under their ids).
    void undoOperation(const char* beforeImage, int length, const OrvTransactionId& transaction);

    // Whether an image is a sound tree page of the data type's kinds (the
    // kind read from its own flag); one line per problem. Never throws.
    static std::vector<std::string> imageProblems(const char* image, OrvDataType dataType);

protected:
    OrvIndexTreePage(OrvScopedPage&& page, OrvDataType dataType);

    // The kind of a change of this page in the log.
    transType operationType() const;
    // Refuses (ORV_INTERNAL_FAIL) an after image that is no sound page of
    // this kind, before it reaches the log.
    virtual void checkAfterImage(const char* image) const;

    void replaceImage(const char* image, int length, transType type);
    // One change of this page alone: change(writer) on the working copy,
    // then afterWrite(INTEGER_OPERATION); a failure of either leaves the
    // page as it was.
    template <class Change> void loggedChange(Change&& change) {
        OrvIndexPageWriter writer(beforeWrite());
        try {
            change(writer);
        } catch (...) {
            discardChange();
            throw;
        }
        afterWrite(INTEGER_OPERATION);
    }

    OrvScopedPage page;
    SegmentId sId;
    PageId pId;
    OrvDataType dataType;
    std::unique_ptr<char[]> savedPageData;
    std::unique_ptr<char[]> workPageData;
    // The transaction the entries are written under; null: the current one.
    const OrvTransactionId* logAs = nullptr;
};

// A leaf of an integer tree.
class OrvIndexTreeLeafPage : public OrvIndexTreePage {
public:
    using OrvIndexTreePage::OrvIndexTreePage;

    // Inserts (key, tid) in front of the entries equal to it, as one logged
    // change; false (nothing changed) when the leaf is full.
    bool insert(const OrvIndexKey& key, const TupleId& tid) override;
    // Removes entry pos as one logged change; false when pos is not an entry.
    bool deleteKeyAt(Uint16 pos) override;
    // The tuple id of the first entry equal to key on this page.
    bool findTuple(const OrvIndexKey& key, TupleId& tid) const override;
    // (0, 0) for a position that is not an entry.
    TupleId getTupleAt(Uint16 pos) const override;
};

// An inner node of an integer tree.
class OrvIndexTreeNodePage : public OrvIndexTreePage {
public:
    using OrvIndexTreePage::insert;
    using OrvIndexTreePage::OrvIndexTreePage;

    // Inserts the separator (key, bigger) directly after the entry whose
    // child is `smaller` (at position 0 when smaller is firstChild; an empty
    // node takes smaller as its firstChild), as one logged change. False
    // when the node is full; ORV_INTERNAL_FAIL when smaller is no child of a
    // non-empty node.
    bool insert(PageId smaller, const OrvIndexKey& key, PageId bigger);
    bool deleteKeyAt(Uint16 pos) override;
    PageId getFirstChild() const { return view().firstChild(); }
    PageId getLastChild() const { return view().lastChild(); }
    void setFirstChild(PageId id);
};

// The pages of one change of several pages (a split), each logged with its
// own before and after image. change() starts a page's change (once) and
// gives its working copy; commit() writes the entries and applies them in
// the order the pages joined. When an entry cannot be written, the pages
// already applied get their before images back and the error passes, so the
// group happens whole or not at all in the pages (the entries written for
// it undo to the same images). Pages that were never committed are left as
// they were when the set is destroyed. REQUIRES: the handles outlive it.
class OrvIndexChangeSet {
public:
    OrvIndexChangeSet() = default;
    ~OrvIndexChangeSet();
    OrvIndexChangeSet(const OrvIndexChangeSet&) = delete;
    OrvIndexChangeSet& operator=(const OrvIndexChangeSet&) = delete;

    char* change(OrvIndexTreePage& page);
    void commit(transType type);
    bool empty() const { return pages.empty(); }

private:
    std::vector<OrvIndexTreePage*> pages;
};

#endif
