// Placement of the free space inventory of a table: which inventory page and
// which entry on it describe a data page.
#include "OrvRecordManager.h"

#include "support/OrvTrace.h"

namespace {

// Every 255th page is an inventory page, followed by the 254 data pages it
// describes.
constexpr PageId FSI_PAGE_DISTANCE = 255;

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
