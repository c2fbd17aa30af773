#include "OrvBuffer.h"

#include "OrvError.h"
#include "support/OrvTrace.h"

#include <cstring>

SegmentId OrvPage::getSegmentId() const {
    ORV_TRACE(BufferManager);
    return segmentId;
}

PageId OrvPage::getPageId() const {
    ORV_TRACE(BufferManager);
    return pageId;
}

OrvPage::PageType OrvPage::getPageType() const {
    ORV_TRACE(BufferManager);
    return pageType;
}

OrvLsn OrvPage::getLsn() const {
    ORV_TRACE(BufferManager);
    return lsn;
}

const char* OrvPage::getPageData() const {
    ORV_TRACE(BufferManager);
    return data;
}

char* OrvPage::getPageData() {
    ORV_TRACE(BufferManager);
    return data;
}

bool OrvPage::isDirty() const {
    ORV_TRACE(BufferManager);
    return dirty != 0;
}

bool OrvPage::isFix() const {
    ORV_TRACE(BufferManager);
    return fixCount != 0;
}

Uint16 OrvPage::getFixCount() const {
    ORV_TRACE(BufferManager);
    return fixCount;
}

OrvErrorCode OrvPage::markAsModified(const OrvLsn& newLsn) {
    ORV_TRACE(BufferManager);
    if (fixCount == 0) {
        OrvError* error = OrvError::getErrorObject();
        error->setError(BufferManager, ORV_INTERNAL_FAIL);
        error->addTraceRecord(__FILE__, __PRETTY_FUNCTION__, __LINE__);
        return ORV_INTERNAL_FAIL;
    }
    if (newLsn > lsn) {
        lsn = newLsn;
        std::memcpy(data + offsetof(OrvPageHeader, lsn), &newLsn, sizeof(OrvLsn));
    }
    dirty = 1;
    return ORV_SUCCESS;
}
