#include "OrvBuffer.h"

#include "OrvException.h"
#include "support/OrvErrorBoundary.h"
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

OrvScopedPage::OrvScopedPage() noexcept : page(nullptr) {}

OrvScopedPage::~OrvScopedPage() {
    if (page == nullptr) {
        return;
    }
    OrvErrorBoundary::noThrow(BufferManager, "releasing the scoped page failed",
                              [this] { OrvBufferManager::getInstance()->releasePage(page); });
}

OrvScopedPage::OrvScopedPage(OrvScopedPage&& other) noexcept : page(other.page) {
    other.page = nullptr;
}

OrvScopedPage& OrvScopedPage::operator=(OrvScopedPage&& other) noexcept {
    if (this != &other) {
        if (page != nullptr) {
            OrvErrorBoundary::noThrow(BufferManager, "releasing the scoped page failed", [this] {
                OrvBufferManager::getInstance()->releasePage(page);
            });
        }
        // A failed release leaves a fix that nothing can give back any more;
        // the count of this process's fixes keeps showing it.
        page = other.page;
        other.page = nullptr;
    }
    return *this;
}

void OrvScopedPage::reset() {
    ORV_TRACE(BufferManager);
    if (page != nullptr) {
        OrvBufferManager::getInstance()->releasePage(page);
    }
}

void OrvScopedPage::exchange(SegmentId segment, PageId pageId, OrvPage::PageType type) {
    ORV_TRACE(BufferManager);
    if (page == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    OrvBufferManager::getInstance()->exchangePage(page, segment, pageId, type);
}

bool OrvScopedPage::fixIfExists(SegmentId segment, PageId pageId, OrvPage::PageType type) {
    ORV_TRACE(BufferManager);
    if (page != nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return OrvBufferManager::getInstance()->getPageIfExists(segment, pageId, type, page);
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
