#include "index/OrvIndexFreeSpaceInventory.h"

#include "OrvException.h"
#include "OrvLock.h"
#include "OrvLsn.h"
#include "support/OrvTrace.h"

#include <cstdio>
#include <cstring>
#include <set>

using namespace OrvIndexFsi;
using LM = OrvLockManager;

OrvIndexFreeSpaceInventory* OrvIndexFreeSpaceInventory::instance = nullptr;

namespace {

constexpr PageId INVENTORY = 0;

// Checked access to one inventory page image.
class FsiPageAccess {
public:
    explicit FsiPageAccess(OrvPage& page) : frame(page), bytes(page.getPageData()) {}

    PageId nextId() const { return read(offsetof(OrvIndexFsiHeader, nextId)); }
    PageId lastId() const { return read(offsetof(OrvIndexFsiHeader, lastId)); }
    Uint16 numElements() const {
        const Uint16 n = read(offsetof(OrvIndexFsiHeader, numElements));
        if (n > MAX_SLOTS) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        return n;
    }
    PageId slot(Uint16 index) const {
        if (index >= numElements()) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        return read(SLOTS_OFFSET + 2u * index);
    }

    void setNextId(PageId id) { write(offsetof(OrvIndexFsiHeader, nextId), id); }
    void setLastId(PageId id) { write(offsetof(OrvIndexFsiHeader, lastId), id); }
    void setNumElements(Uint16 n) {
        if (n > MAX_SLOTS) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        write(offsetof(OrvIndexFsiHeader, numElements), n);
    }
    void setSlot(Uint16 index, PageId id) {
        if (index >= MAX_SLOTS) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        write(SLOTS_OFFSET + 2u * index, id);
    }

private:
    PageId read(Uint32 offset) const {
        PageId value;
        std::memcpy(&value, bytes + offset, sizeof value);
        return value;
    }
    void write(Uint32 offset, PageId value) {
        // Not logged: the dummy LSN marks the page changed.
        OrvException::raise(frame.markAsModified(OrvLsn::dummyLSN()), "markAsModified", __FILE__,
                            __LINE__, __PRETTY_FUNCTION__);
        std::memcpy(bytes + offset, &value, sizeof value);
    }

    OrvPage& frame;
    char* bytes;
};

OrvScopedPage fixInventory(SegmentId segment, PageId pageId) {
    return OrvScopedPage(segment, pageId, OrvPage::FreeSpaceInventoryPage,
                         OrvScopedPage::GetExistingPage);
}

// The index whose segment this is, for messages.
std::string indexName(SegmentId segment) {
    return std::to_string(segment > 32767 ? (segment - 32767) / 2 : segment);
}

} // namespace

OrvIndexFreeSpaceInventory* OrvIndexFreeSpaceInventory::getInstance() {
    if (instance == nullptr) {
        instance = new OrvIndexFreeSpaceInventory();
    }
    return instance;
}

void OrvIndexFreeSpaceInventory::deleteInstance() {
    delete instance;
    instance = nullptr;
}

void OrvIndexFreeSpaceInventory::initialize(SegmentId segment) {
    ORV_TRACE(IndexManager);
    OrvScopedLock lock(segment, INVENTORY, LM::ExclusiveLock, true, false);
    OrvScopedPage page(segment, INVENTORY, OrvPage::FreeSpaceInventoryPage,
                       OrvScopedPage::CreateNewPage);
    FsiPageAccess fsi(*page.getPage());
    fsi.setNextId(0);
    fsi.setLastId(0);
    fsi.setNumElements(0);
}

PageId OrvIndexFreeSpaceInventory::generateNewPageId(SegmentId segment) {
    ORV_TRACE(IndexManager);
    OrvScopedLock lock(segment, INVENTORY, LM::ExclusiveLock, true, false);
    OrvScopedPage page = fixInventory(segment, INVENTORY);
    FsiPageAccess fsi(*page.getPage());
    const PageId last = fsi.lastId();
    if (last >= ORV_MAX_PAGE_ID) {
        ORV_THROW(ORV_IM_NO_MORE_PAGES, indexName(segment));
    }
    fsi.setLastId(static_cast<PageId>(last + 1));
    return static_cast<PageId>(last + 1);
}

void OrvIndexFreeSpaceInventory::raiseLastId(SegmentId segment, PageId pageId) {
    ORV_TRACE(IndexManager);
    OrvScopedLock lock(segment, INVENTORY, LM::ExclusiveLock, true, false);
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    OrvPage* raw = nullptr;
    bool made = false;
    bm->getPageForRedo(segment, INVENTORY, OrvPage::FreeSpaceInventoryPage, raw, made);
    try {
        FsiPageAccess fsi(*raw);
        if (made) {
            fsi.setNextId(0);
            fsi.setLastId(0);
            fsi.setNumElements(0);
        }
        if (fsi.lastId() < pageId) {
            fsi.setLastId(pageId);
        }
    } catch (...) {
        bm->releasePage(raw);
        throw;
    }
    bm->releasePage(raw);
}

PageId OrvIndexFreeSpaceInventory::getLastPageId(SegmentId segment) {
    ORV_TRACE(IndexManager);
    OrvScopedLock lock(segment, INVENTORY, LM::SharedLock, true, false);
    OrvScopedPage page = fixInventory(segment, INVENTORY);
    return FsiPageAccess(*page.getPage()).lastId();
}

PageId OrvIndexFreeSpaceInventory::getExistingPageId(SegmentId segment) {
    ORV_TRACE(IndexManager);
    // The last page of the chain that holds anything.
    PageId holder = INVENTORY;
    PageId current = INVENTORY;
    std::set<PageId> seen;
    for (;;) {
        if (!seen.insert(current).second) {
            ORV_THROW(ORV_INTERNAL_FAIL); // a chain that does not end
        }
        OrvScopedPage page = fixInventory(segment, current);
        FsiPageAccess fsi(*page.getPage());
        if (fsi.numElements() > 0) {
            holder = current;
        }
        if (fsi.nextId() == 0) {
            break;
        }
        current = fsi.nextId();
    }
    OrvScopedPage page = fixInventory(segment, holder);
    FsiPageAccess fsi(*page.getPage());
    const Uint16 n = fsi.numElements();
    if (n == 0) {
        return 0;
    }
    const PageId id = fsi.slot(static_cast<Uint16>(n - 1));
    fsi.setNumElements(static_cast<Uint16>(n - 1));
    return id;
}

OrvScopedPage OrvIndexFreeSpaceInventory::makeNewPage(SegmentId segment, OrvScopedPage& pageZero,
                                                      OrvPage::PageType type) {
    ORV_TRACE(IndexManager);
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    FsiPageAccess fsi(*pageZero.getPage());
    for (;;) {
        const PageId last = fsi.lastId();
        if (last >= ORV_MAX_PAGE_ID) {
            ORV_THROW(ORV_IM_NO_MORE_PAGES, indexName(segment));
        }
        const PageId id = static_cast<PageId>(last + 1);
        fsi.setLastId(id);
        OrvPage* fresh = nullptr;
        try {
            // This form refuses an id that is in the pool or in the file.
            bm->getNewPage(segment, id, type, fresh);
        } catch (const OrvException& e) {
            if (e.getErrorCode() == ORV_BM_PAGE_ALREADY_EXISTS_IN_BUFFER ||
                e.getErrorCode() == ORV_BM_PAGE_ALREADY_EXISTS_IN_FILE) {
                continue; // reached the file while the counter did not
            }
            throw;
        }
        OrvScopedPage made;
        // Hand the fix to a guard at once.
        {
            OrvScopedPage guard(segment, id, type, OrvScopedPage::GetExistingPage);
            bm->releasePage(fresh);
            made = std::move(guard);
        }
        if (LM::getInstance()->tryRequestPage(segment, id, LM::ExclusiveLock, false)) {
            return made;
        }
        // A stale lock on a new id: the page stays unused, the next id is taken.
    }
}

OrvScopedPage OrvIndexFreeSpaceInventory::getFreePage(SegmentId segment) {
    ORV_TRACE(IndexManager);
    OrvScopedLock lock(segment, INVENTORY, LM::ExclusiveLock, true, false);
    OrvScopedPage pageZero = fixInventory(segment, INVENTORY);
    for (;;) {
        const PageId reused = getExistingPageId(segment);
        if (reused == 0) {
            break;
        }
        if (reused <= OrvIndexPage::ROOT ||
            !LM::getInstance()->tryRequestPage(segment, reused, LM::ExclusiveLock, false)) {
            continue; // not to be handed out; it stays off the list
        }
        try {
            return OrvScopedPage(segment, reused, OrvPage::BTreeIndexPage,
                                 OrvScopedPage::GetExistingPage);
        } catch (const OrvException& e) {
            if (e.getErrorCode() != ORV_BM_PAGE_NOT_FOUND) {
                throw;
            }
        }
        // An id that was counted but whose page never reached the pool.
        return OrvScopedPage(segment, reused, OrvPage::BTreeIndexPage,
                             OrvScopedPage::CreateNewPage);
    }
    return makeNewPage(segment, pageZero, OrvPage::BTreeIndexPage);
}

std::unique_ptr<OrvIndexTreePage> OrvIndexFreeSpaceInventory::getFreeLeafPage(SegmentId segment,
                                                                              OrvDataType type) {
    return OrvIndexTreePage::adopt(getFreePage(segment), type, true, true);
}

std::unique_ptr<OrvIndexTreePage> OrvIndexFreeSpaceInventory::getFreeNodePage(SegmentId segment,
                                                                              OrvDataType type) {
    return OrvIndexTreePage::adopt(getFreePage(segment), type, true, false);
}

bool OrvIndexFreeSpaceInventory::findFreePageId(SegmentId segment, PageId pageId, PageId& fsiPageId,
                                                Uint32& offset) {
    ORV_TRACE(IndexManager);
    // Inventory locks are forced, so that each call releases exactly the
    // entry it made, whatever else the transaction holds.
    OrvScopedLock lock(segment, INVENTORY, LM::SharedLock, true, false);
    std::set<PageId> seen;
    for (PageId current = INVENTORY;;) {
        if (!seen.insert(current).second) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        OrvScopedPage page = fixInventory(segment, current);
        FsiPageAccess fsi(*page.getPage());
        for (Uint16 i = 0; i < fsi.numElements(); ++i) {
            if (fsi.slot(i) == pageId) {
                fsiPageId = current;
                offset = i;
                return true;
            }
        }
        if (fsi.nextId() == 0) {
            return false;
        }
        current = fsi.nextId();
    }
}

void OrvIndexFreeSpaceInventory::setFreePageId(SegmentId segment, PageId pageId) {
    ORV_TRACE(IndexManager);
    OrvScopedLock lock(segment, INVENTORY, LM::ExclusiveLock, true, false);
    OrvScopedPage pageZero = fixInventory(segment, INVENTORY);
    if (pageId <= OrvIndexPage::ROOT || pageId > FsiPageAccess(*pageZero.getPage()).lastId()) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    PageId fsiPage = 0;
    Uint32 offset = 0;
    if (findFreePageId(segment, pageId, fsiPage, offset)) {
        return; // listed already: listing it twice would hand it out twice
    }
    if (findFreePageId(segment, 0, fsiPage, offset)) {
        OrvScopedPage page = fixInventory(segment, fsiPage);
        FsiPageAccess(*page.getPage()).setSlot(static_cast<Uint16>(offset), pageId);
        return;
    }
    OrvScopedPage page = fixInventory(segment, INVENTORY);
    std::set<PageId> seen;
    for (;;) {
        FsiPageAccess fsi(*page.getPage());
        if (fsi.numElements() < MAX_SLOTS) {
            const Uint16 n = fsi.numElements();
            fsi.setSlot(n, pageId);
            fsi.setNumElements(static_cast<Uint16>(n + 1));
            return;
        }
        if (!seen.insert(page->getPageId()).second) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        if (fsi.nextId() == 0) {
            OrvScopedPage chained = makeNewPage(segment, pageZero, OrvPage::FreeSpaceInventoryPage);
            FsiPageAccess fresh(*chained.getPage());
            fresh.setNextId(0);
            fresh.setLastId(0);
            fresh.setNumElements(0);
            fsi.setNextId(chained->getPageId());
            page = std::move(chained);
        } else {
            page = fixInventory(segment, fsi.nextId());
        }
    }
}

void OrvIndexFreeSpaceInventory::removeFreePageId(SegmentId segment, PageId pageId) {
    ORV_TRACE(IndexManager);
    if (pageId == 0) {
        return;
    }
    OrvScopedLock lock(segment, INVENTORY, LM::ExclusiveLock, true, false);
    PageId fsiPage = 0;
    Uint32 offset = 0;
    if (findFreePageId(segment, pageId, fsiPage, offset)) {
        OrvScopedPage page = fixInventory(segment, fsiPage);
        FsiPageAccess(*page.getPage()).setSlot(static_cast<Uint16>(offset), 0);
    }
}

std::vector<PageId> OrvIndexFreeSpaceInventory::chainPages(SegmentId segment) {
    ORV_TRACE(IndexManager);
    OrvScopedLock lock(segment, INVENTORY, LM::SharedLock, true, false);
    std::vector<PageId> pages;
    std::set<PageId> seen;
    for (PageId current = INVENTORY;;) {
        if (!seen.insert(current).second) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        pages.push_back(current);
        OrvScopedPage page = fixInventory(segment, current);
        const PageId next = FsiPageAccess(*page.getPage()).nextId();
        if (next == 0) {
            return pages;
        }
        current = next;
    }
}

std::vector<PageId> OrvIndexFreeSpaceInventory::freePageIds(SegmentId segment) {
    ORV_TRACE(IndexManager);
    std::vector<PageId> ids;
    for (PageId current : chainPages(segment)) {
        OrvScopedPage page = fixInventory(segment, current);
        FsiPageAccess fsi(*page.getPage());
        for (Uint16 i = 0; i < fsi.numElements(); ++i) {
            if (fsi.slot(i) != 0) {
                ids.push_back(fsi.slot(i));
            }
        }
    }
    return ids;
}

void OrvIndexFreeSpaceInventory::dump(SegmentId segment, PageId pageId, bool full) {
    ORV_TRACE(IndexManager);
    OrvScopedLock lock(segment, pageId, LM::SharedLock, true, false);
    OrvScopedPage page = fixInventory(segment, pageId);
    FsiPageAccess fsi(*page.getPage());
    const std::string stars(42, '*');
    if (full) {
        std::printf("%s\n", stars.c_str());
    }
    std::printf("Index FSI Page > SegmentId: %d, ", int(segment));
    std::printf("PageId: %d, NextId: %d, LastId: %d, numElements: %d\n", int(page->getPageId()),
                int(fsi.nextId()), int(fsi.lastId()), int(fsi.numElements()));
    if (full) {
        for (Uint16 i = 0; i < fsi.numElements(); ++i) {
            std::printf("PageId #%d: %d\n", int(i), int(fsi.slot(i)));
        }
        std::printf("%s\n", stars.c_str());
    }
    std::fflush(stdout);
}

void OrvIndexFreeSpaceInventory::dump(SegmentId segment, bool full) {
    for (PageId current : chainPages(segment)) {
        dump(segment, current, full);
    }
}
