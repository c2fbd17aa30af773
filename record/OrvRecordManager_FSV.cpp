// The free space inventory of a table: placement of the entries, page id
// allocation, and the propagation of a data page's free space.
#include "OrvRecordManager.h"

#include "OrvException.h"
#include "OrvLock.h"
#include "OrvTransaction.h"
#include "record/OrvDataPage.h"
#include "record/OrvFsiPage.h"
#include "support/OrvTrace.h"

#include <map>
#include <memory>

namespace {

using LM = OrvLockManager;

constexpr PageId FSI_PAGE_DISTANCE = OrvFsi::PAGE_DISTANCE;

void checkDataPageId(SegmentId segmentId, PageId pageId) {
    if (pageId % FSI_PAGE_DISTANCE == 0 || pageId > ORV_MAX_PAGE_ID) {
        ORV_THROW(ORV_RM_FSI_ENTRY_NOT_ALLOWED, OrvException::to_string(pageId),
                  OrvException::to_string(segmentId));
    }
}

// Inventory pages are not logged: their changes carry the LSN (0, 0).
void markInventoryModified(OrvPage& page) {
    OrvException::raise(page.markAsModified(OrvLsn::dummyLSN()),
                        "page.getPage()->markAsModified(dummyLSN)", __FILE__, __LINE__,
                        __PRETTY_FUNCTION__);
}

// Where getNewPageId last handed out an id, per segment: the inventory
// pages before it were full then, and a full inventory page stays full
// (entries are never taken back) as long as its table lives. Without this,
// each new page of a large table would lock and fix every full inventory
// page before it. The table may have been dropped and made again by another
// process since, so the hint is trusted only while the inventory page just
// before it is still full.
std::map<SegmentId, Uint32>& firstNotFullInventoryPage() {
    static std::map<SegmentId, Uint32> pages;
    return pages;
}

} // namespace

PageId OrvRecordManager::getFsiPageId(PageId pageId) {
    ORV_TRACE(RecordManager);
    return static_cast<PageId>((pageId / FSI_PAGE_DISTANCE) * FSI_PAGE_DISTANCE);
}

// An inventory page itself wraps round to 255, the slot id that names no
// entry.
SlotId OrvRecordManager::getFsiSlot(PageId pageId) {
    ORV_TRACE(RecordManager);
    return static_cast<SlotId>(pageId - getFsiPageId(pageId) - 1);
}

void OrvRecordManager::markNotExists(FsiEntry& entry) {
    OrvFsi::markNotExists(entry);
}

void OrvRecordManager::markEmptyPage(FsiEntry& entry) {
    OrvFsi::markEmptyPage(entry);
}

bool OrvRecordManager::pageAlreadyExists(const FsiEntry& entry) {
    return OrvFsi::pageAlreadyExists(entry);
}

SegmentId OrvRecordManager::segmentOf(TableId tableId) {
    const SegmentId segment = OrvBufferManager::getInstance()->convertTableIdToSegmentId(tableId);
    if (segment == 0) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    return segment;
}

bool OrvRecordManager::holdsExclusiveSlot(SegmentId segmentId, PageId pageId, SlotId slotId) const {
    const OrvTransactionId me = OrvTransactionManager::getInstance()->getCurrentTransactionID();
    Uint32 entry = LM::LIST_END;
    return lockMgr->existsLockType(entry, segmentId, pageId, slotId, LM::ExclusiveLock, me);
}

void OrvRecordManager::createTable(TableId tableId) {
    ORV_TRACE(RecordManager);
    const SegmentId segment = segmentOf(tableId);
    lockMgr->requestSegment(segment, LM::ExclusiveLock);
    try {
        OrvBufferManager::getInstance()->createSegment(segment);
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_FM_FILE_ALREADY_EXISTS) {
            throw;
        }
        ORV_THROW(ORV_RM_TABLE_ALREADY_EXISTS, OrvException::to_string(tableId));
    }
    // What this process remembers of the segment belongs to an earlier file
    // of the same number (a table made in a transaction that was rolled
    // back, whose file was closed and deleted): the new file starts empty
    // and unopened.
    openedSegments.erase(segment);
    searchStart.erase(segment);
    firstNotFullInventoryPage().erase(segment);
}

void OrvRecordManager::dropTable(TableId tableId) {
    ORV_TRACE(RecordManager);
    const SegmentId segment = segmentOf(tableId);
    lockMgr->requestSegment(segment, LM::ExclusiveLock);
    OrvBufferManager::getInstance()->dropSegment(segment);
    openedSegments.erase(segment);
    searchStart.erase(segment);
    firstNotFullInventoryPage().erase(segment);
}

void OrvRecordManager::createFsiPage(SegmentId segmentId, PageId fsiPageId, OrvScopedPage& page) {
    ORV_TRACE(RecordManager);
    if (fsiPageId % FSI_PAGE_DISTANCE != 0) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    try {
        page = OrvScopedPage(segmentId, fsiPageId, OrvPage::FreeSpaceInventoryPage,
                             OrvScopedPage::GetExistingPage);
        return;
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_BM_PAGE_NOT_FOUND) {
            throw;
        }
    }
    try {
        page = OrvScopedPage(segmentId, fsiPageId, OrvPage::FreeSpaceInventoryPage,
                             OrvScopedPage::CreateNewPage);
    } catch (const OrvException& e) {
        // Created by another process since the look above.
        if (e.getErrorCode() != ORV_BM_PAGE_ALREADY_EXISTS_IN_BUFFER &&
            e.getErrorCode() != ORV_BM_PAGE_ALREADY_EXISTS_IN_FILE) {
            throw;
        }
        page = OrvScopedPage(segmentId, fsiPageId, OrvPage::FreeSpaceInventoryPage,
                             OrvScopedPage::GetExistingPage);
        return;
    }
    markInventoryModified(*page.getPage());
    OrvFsiPageWriter(*page.getPage()).initialise();
}

bool OrvRecordManager::probeExistingPage(SegmentId segmentId, PageId pageId, FsiEntry& entry) {
    ORV_TRACE(RecordManager);
    OrvScopedPage probe;
    if (!probe.fixIfExists(segmentId, pageId, OrvPage::DataPage)) {
        return false;
    }
    // Nobody can reach a page without an entry: its directory is read
    // without a lock, and checked like any page's.
    const OrvDataPageView view(*probe.getPage());
    Uint16 blockOffset = 0;
    Uint16 blockSize = 0;
    view.largestBlock(blockOffset, blockSize);
    const Uint16 total = view.freeSpace();
    if (total < blockSize) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    entry = OrvFsi::entryFor(total, blockSize);
    return true;
}

void OrvRecordManager::getNewPageId(TableId tableId, PageId& pageId) {
    ORV_TRACE(RecordManager);
    const SegmentId segment = segmentOf(tableId);
    std::map<SegmentId, Uint32>& firstNotFull = firstNotFullInventoryPage();
    Uint32 first = 0;
    const auto hint = firstNotFull.find(segment);
    if (hint != firstNotFull.end() && hint->second >= FSI_PAGE_DISTANCE) {
        // Read without the count lock: a count seen full is full for good.
        OrvScopedPage before;
        if (before.fixIfExists(segment, static_cast<PageId>(hint->second - FSI_PAGE_DISTANCE),
                               OrvPage::FreeSpaceInventoryPage) &&
            OrvFsiPageView(*before.getPage()).countEntries() == OrvFsi::MAX_FSI_ENTRIES) {
            first = hint->second;
        }
    }
    for (Uint32 fsi = first;; fsi += FSI_PAGE_DISTANCE) {
        const PageId fsiPage = static_cast<PageId>(fsi);
        OrvScopedLock countLock(segment, fsiPage, ORV_SLOT_METADATA, LM::ExclusiveLock, true,
                                false);
        OrvScopedPage page;
        createFsiPage(segment, fsiPage, page);
        OrvFsiPageWriter writer(*page.getPage());
        for (Uint32 count = writer.usableCount();
             count < OrvFsi::MAX_FSI_ENTRIES && fsi + count + 1 <= ORV_MAX_PAGE_ID; ++count) {
            const PageId candidate = static_cast<PageId>(fsi + count + 1);
            FsiEntry entry;
            const bool adopted = probeExistingPage(segment, candidate, entry);
            if (!adopted) {
                OrvFsi::markEmptyPage(entry);
            }
            markInventoryModified(*page.getPage());
            writer.setEntry(count, entry);
            writer.setCountEntries(count + 1);
            // A searcher may have seen the new entry and locked it first:
            // the page is then theirs to create, and the next id is taken.
            if (!adopted && lockMgr->tryRequestSlot(segment, fsiPage, static_cast<SlotId>(count),
                                                    LM::ExclusiveLock, false)) {
                pageId = candidate;
                firstNotFull[segment] = fsi;
                return;
            }
        }
        if (fsiPage >= OrvFsi::LAST_FSI_PAGE) {
            ORV_THROW(ORV_RM_NO_MORE_PAGES);
        }
    }
}

void OrvRecordManager::addFsiEntry(TableId tableId, PageId pageId, const FsiEntry& pageInfo) {
    ORV_TRACE(RecordManager);
    addFsiEntry_seg(segmentOf(tableId), pageId, pageInfo);
}

void OrvRecordManager::addFsiEntry_seg(SegmentId segmentId, PageId pageId,
                                       const FsiEntry& pageInfo) {
    ORV_TRACE(RecordManager);
    checkDataPageId(segmentId, pageId);
    if (!OrvFsi::pageAlreadyExists(pageInfo)) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    const PageId fsiPage = getFsiPageId(pageId);
    const SlotId slot = getFsiSlot(pageId);
    std::unique_ptr<OrvScopedLock> entryLock;
    if (!holdsExclusiveSlot(segmentId, fsiPage, slot)) {
        entryLock = std::make_unique<OrvScopedLock>(segmentId, fsiPage, slot, LM::ExclusiveLock,
                                                    true, false);
    }
    OrvScopedLock countLock(segmentId, fsiPage, ORV_SLOT_METADATA, LM::ExclusiveLock, true, false);
    OrvScopedPage page;
    createFsiPage(segmentId, fsiPage, page);
    OrvFsiPageWriter writer(*page.getPage());
    const Uint32 count = writer.usableCount();
    markInventoryModified(*page.getPage());
    // Pages below this one that have no entry yet: entries below the count
    // must describe pages, so each gets one.
    for (Uint32 k = count; k < slot; ++k) {
        FsiEntry entry;
        if (!probeExistingPage(segmentId, static_cast<PageId>(fsiPage + k + 1), entry)) {
            OrvFsi::markEmptyPage(entry);
        }
        writer.setEntry(k, entry);
    }
    writer.setEntry(slot, pageInfo);
    if (slot >= count) {
        writer.setCountEntries(Uint32(slot) + 1);
    }
}

void OrvRecordManager::updateFsiEntry(SegmentId segmentId, PageId pageToEdit,
                                      const FsiEntry& newPageInfo, bool /*holdLock*/) {
    ORV_TRACE(RecordManager);
    checkDataPageId(segmentId, pageToEdit);
    const SlotId slot = getFsiSlot(pageToEdit);
    OrvScopedPage page(segmentId, getFsiPageId(pageToEdit), OrvPage::FreeSpaceInventoryPage,
                       OrvScopedPage::GetExistingPage);
    OrvFsiPageWriter writer(*page.getPage());
    if (slot >= writer.usableCount() || !OrvFsi::pageAlreadyExists(newPageInfo)) {
        ORV_THROW(ORV_RM_NO_FSI_ENTRY_FOR_PAGE, OrvException::to_string(pageToEdit),
                  OrvException::to_string(segmentId));
    }
    markInventoryModified(*page.getPage());
    writer.setEntry(slot, newPageInfo);
}

void OrvRecordManager::findFsiEntry(SegmentId segmentId, PageId pageToFind, FsiEntry& pageInfo) {
    ORV_TRACE(RecordManager);
    checkDataPageId(segmentId, pageToFind);
    OrvScopedPage page(segmentId, getFsiPageId(pageToFind), OrvPage::FreeSpaceInventoryPage,
                       OrvScopedPage::GetExistingPage);
    const FsiEntry entry = OrvFsiPageView(*page.getPage()).entry(getFsiSlot(pageToFind));
    if (!OrvFsi::pageAlreadyExists(entry)) {
        ORV_THROW(ORV_RM_NO_FSI_ENTRY_FOR_PAGE, OrvException::to_string(pageToFind),
                  OrvException::to_string(segmentId));
    }
    pageInfo = entry;
}

void OrvRecordManager::updateFreeSpace(OrvPage* page, bool holdLock) {
    ORV_TRACE(RecordManager);
    if (page == nullptr) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    const SegmentId segment = page->getSegmentId();
    const PageId pageId = page->getPageId();
    checkDataPageId(segment, pageId);
    const PageId fsiPage = getFsiPageId(pageId);
    const SlotId slot = getFsiSlot(pageId);
    OrvDataPageWriter writer(*page);
    const SlotPageHeader before = writer.header();
    const FsiEntry oldEntry = OrvFsi::entryFor(before.freeSpace, before.consecFreeSpace);

    std::unique_ptr<OrvScopedLock> entryLock;
    if (holdLock) {
        lockMgr->requestSlot(segment, fsiPage, slot, LM::ExclusiveLock, false);
    } else if (!holdsExclusiveSlot(segment, fsiPage, slot)) {
        // Forced: the scoped lock then releases only its own entry.
        entryLock =
            std::make_unique<OrvScopedLock>(segment, fsiPage, slot, LM::ExclusiveLock, true, false);
    }
    // The entry is locked exclusively by now, so the page is read through
    // its view directly: the page-local scans would each lock the entry
    // shared once more, for nothing.
    Uint16 blockOffset = 0;
    Uint16 blockSize = 0;
    writer.largestBlock(blockOffset, blockSize);
    const Uint16 total = writer.freeSpace();
    if (total < blockSize) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    writer.setFreeSpaceFields(total, blockSize, blockOffset);
    const FsiEntry newEntry = OrvFsi::entryFor(total, blockSize);
    if (newEntry != oldEntry) {
        updateFsiEntry(segment, pageId, newEntry, holdLock);
    }
}

PageId OrvRecordManager::findFreeMemoryBlock(TableId tableId, Uint16 numBytes,
                                             PageId firstSearchPageId) {
    ORV_TRACE(RecordManager);
    OrvErrorCode none = ORV_SUCCESS;
    const PageId found = searchFreeMemoryBlock(tableId, numBytes, firstSearchPageId, none);
    if (found == 0) {
        if (none == ORV_BM_PAGE_NOT_FOUND) {
            ORV_THROW(ORV_BM_PAGE_NOT_FOUND,
                      OrvException::to_string(getFsiPageId(firstSearchPageId)),
                      OrvException::to_string(segmentOf(tableId)));
        }
        ORV_THROW(ORV_RM_NO_MEMORY_BLOCK_FOUND_WARN);
    }
    return found;
}

PageId OrvRecordManager::searchFreeMemoryBlock(TableId tableId, Uint16 numBytes,
                                               PageId firstSearchPageId, OrvErrorCode& none) {
    ORV_TRACE(RecordManager);
    const SegmentId segment = segmentOf(tableId);
    if (firstSearchPageId > ORV_MAX_PAGE_ID) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    const Uint32 needed = (Uint32(numBytes) + OrvFsi::FSI_BLOCK_SIZE) >> 4;
    Uint32 fsi = getFsiPageId(firstSearchPageId);
    Uint32 start = firstSearchPageId == fsi ? 0 : getFsiSlot(firstSearchPageId);
    for (;;) {
        const PageId fsiPage = static_cast<PageId>(fsi);
        OrvScopedPage page;
        if (!page.fixIfExists(segment, fsiPage, OrvPage::FreeSpaceInventoryPage)) {
            none = ORV_BM_PAGE_NOT_FOUND;
            return 0;
        }
        const OrvFsiPageView view(*page.getPage());
        const Uint32 count = view.usableCount();
        for (Uint32 k = start; k < count; ++k) {
            // Read first: only a page with room is worth a lock.
            if (view.entry(k).freeSpaceBlock < needed) {
                continue;
            }
            const SlotId slot = static_cast<SlotId>(k);
            const PageId candidate = static_cast<PageId>(fsi + k + 1);
            const bool held = holdsExclusiveSlot(segment, fsiPage, slot);
            if (!held && !lockMgr->tryRequestSlot(segment, fsiPage, slot, LM::ExclusiveLock)) {
                continue; // another transaction is changing that page
            }
            const bool took = !held && holdsExclusiveSlot(segment, fsiPage, slot);
            // Under the entry lock the entry cannot change any more.
            if (view.entry(k).freeSpaceBlock >= needed &&
                lockMgr->tryRequestPage(segment, candidate, LM::ExclusiveLock)) {
                return candidate;
            }
            if (took) {
                lockMgr->releaseSlot(segment, fsiPage, slot);
            }
        }
        if (count < OrvFsi::MAX_FSI_ENTRIES || fsi >= OrvFsi::LAST_FSI_PAGE) {
            break;
        }
        fsi += FSI_PAGE_DISTANCE;
        start = 0;
    }
    none = ORV_RM_NO_MEMORY_BLOCK_FOUND_WARN;
    return 0;
}
