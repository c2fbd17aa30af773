#include "OrvBuffer.h"

#include "OrvException.h"
#include "support/OrvTrace.h"

OrvScopedPage::OrvScopedPage(SegmentId segment, PageId pageId, OrvPage::PageType type,
                             Operation operation)
    : page(nullptr) {
    ORV_TRACE(BufferManager);
    switch (operation) {
    case GetExistingPage:
        OrvBufferManager::getInstance()->getPage(segment, pageId, type, page);
        break;
    case CreateNewPage:
        OrvBufferManager::getInstance()->getNewPage(segment, pageId, type, OrvLsn::dummyLSN(),
                                                    page);
        break;
    default:
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
}

OrvScopedPage::~OrvScopedPage() {
    if (page == nullptr) {
        return;
    }
    try {
        ORV_TRACE(BufferManager);
        try {
            OrvBufferManager::getInstance()->releasePage(page);
        } catch (const OrvException& e) {
            orvTrace.traceString(1, "releasing the scoped page failed");
            e.SET_ERROR();
        }
    } catch (...) {
        // Destructors never throw; the failure is recorded above when it can be.
    }
}

OrvScopedPage::OrvScopedPage(OrvScopedPage&& other) noexcept : page(other.page) {
    other.page = nullptr;
}

void OrvScopedPage::exchange(SegmentId segment, PageId pageId, OrvPage::PageType type) {
    ORV_TRACE(BufferManager);
    if (page == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    OrvBufferManager::getInstance()->exchangePage(page, segment, pageId, type);
}

OrvPage* OrvScopedPage::getPage() const {
    ORV_TRACE(BufferManager);
    return page;
}

OrvPage* OrvScopedPage::operator->() const {
    ORV_TRACE(BufferManager);
    if (page == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return page;
}
