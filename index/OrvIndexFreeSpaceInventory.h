// The free space inventory of an index segment: the highest page id handed
// out so far and a list of tree page ids that may be used again.
//
// It lives in a chain of inventory pages that begins with page 0 of the
// index segment; overflow pages take their ids from the same counter as tree
// pages. Changes are not logged (the pages are marked with the dummy LSN),
// so after a crash `lastId` may be older than pages that reached the file:
// a new page is therefore made with the form of getNewPage that checks the
// pool and the file, and an id found in use is passed over (the counter
// moves past it).
//
// Process safety: the pages lie in the shared buffer pool. Every change of
// any page of the chain happens under an exclusive lock on page 0 (a forced
// page lock, released when the call returns), reads under a shared one, so
// that two processes never hand out the same id. The singleton itself keeps
// no state.
#ifndef ORV_INDEX_FREE_SPACE_INVENTORY_H
#define ORV_INDEX_FREE_SPACE_INVENTORY_H

#include "OrvBuffer.h"
#include "OrvConfig.h"
#include "OrvTypes.h"
#include "index/OrvIndexTreePage.h"

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

// The header of an inventory page; the slots follow at byte 22.
//
//   offset  size    field
//   0       16      pageHeader   common page header, type FreeSpaceInventoryPage
//   16      2       nextId       next inventory page of the chain, 0 = last
//   18      2       lastId       page 0 only: the last page id handed out
//   20      2       numElements  used slots
//   22      2*2037  pageIds      free page ids; 0 = an emptied slot
//
// 2037 two-byte slots fit behind byte 22: a page is full at 2037.
struct OrvIndexFsiHeader {
    OrvPageHeader pageHeader;
    PageId nextId;
    PageId lastId;
    Uint16 numElements;
};

static_assert(offsetof(OrvIndexFsiHeader, nextId) == 16, "nextId at byte 16");
static_assert(offsetof(OrvIndexFsiHeader, lastId) == 18, "lastId at byte 18");
static_assert(offsetof(OrvIndexFsiHeader, numElements) == 20, "numElements at byte 20");
static_assert(std::is_trivially_copyable<OrvIndexFsiHeader>::value, "copied as bytes");

namespace OrvIndexFsi {
constexpr Uint32 SLOTS_OFFSET = 22;
constexpr Uint16 MAX_SLOTS = 2037;
static_assert(SLOTS_OFFSET == offsetof(OrvIndexFsiHeader, numElements) + 2, "slots follow");
static_assert(SLOTS_OFFSET + 2 * MAX_SLOTS <= ORV_PAGE_SIZE, "the slots stay in the page");
static_assert(SLOTS_OFFSET + 2 * (MAX_SLOTS + 1) > ORV_PAGE_SIZE, "no further slot fits");
} // namespace OrvIndexFsi

class OrvIndexFreeSpaceInventory {
public:
    static OrvIndexFreeSpaceInventory* getInstance();
    static void deleteInstance();

    // Page 0 made new: no chain, lastId 0, no free ids.
    static void initialize(SegmentId segment);

    // The next id from the counter: ORV_IM_NO_MORE_PAGES past 65534.
    PageId generateNewPageId(SegmentId segment);
    PageId getLastPageId(SegmentId segment);
    // Recovery: lastId raised to at least pageId, a page that the log names
    // (inventory pages are not logged and may be older than the tree). A
    // page 0 that is missing or all zero is made new first.
    void raiseLastId(SegmentId segment, PageId pageId);

    // A page for the tree, fixed and locked exclusively by the current
    // transaction: a free id from the list when there is one, else the next
    // id that exists neither in the pool nor in the file (made new there).
    OrvScopedPage getFreePage(SegmentId segment);
    // The same laid out as an empty leaf / inner node.
    std::unique_ptr<OrvIndexTreePage> getFreeLeafPage(SegmentId segment, OrvDataType dataType);
    std::unique_ptr<OrvIndexTreePage> getFreeNodePage(SegmentId segment, OrvDataType dataType);

    // Records a page id as free (an emptied slot is used first, else one is
    // appended, making a chain page when the last is full). Ids 0 and 1 (the
    // inventory and the root) and ids beyond the counter are
    // ORV_PARAMETER_FAIL.
    void setFreePageId(SegmentId segment, PageId pageId);
    // Empties the slot that holds the id; nothing when it is not listed.
    void removeFreePageId(SegmentId segment, PageId pageId);
    bool findFreePageId(SegmentId segment, PageId pageId, PageId& fsiPageId, Uint32& offset);

    // The listed free ids (emptied slots left out) and the chain's pages.
    std::vector<PageId> freePageIds(SegmentId segment);
    std::vector<PageId> chainPages(SegmentId segment);

    // "Index FSI Page > ..." lines on standard output.
    void dump(SegmentId segment, PageId pageId, bool full);
    void dump(SegmentId segment, bool full);

private:
    OrvIndexFreeSpaceInventory() = default;

    // Pops the id in the last used slot of the last non-empty page; 0 when
    // the list is empty or the slot was emptied. REQUIRES: page 0 locked
    // exclusively.
    PageId getExistingPageId(SegmentId segment);
    // The next unused id, made new in the pool as a page of the type and
    // locked exclusively. REQUIRES: page 0 locked exclusively and fixed.
    OrvScopedPage makeNewPage(SegmentId segment, OrvScopedPage& pageZero, OrvPage::PageType type);

    static OrvIndexFreeSpaceInventory* instance;
};

#endif
