#include "record/OrvFsiPage.h"

#include "OrvException.h"
#include "record/OrvDataPage.h"
#include "support/OrvTrace.h"

#include <cstring>

namespace {

std::string number(Uint32 value) {
    return std::to_string(value);
}

} // namespace

OrvFsiPageView::OrvFsiPageView(const char* image, SegmentId segmentId, PageId pageId)
    : bytes(image), segment(segmentId), page(pageId) {
    if (image == nullptr) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
}

OrvFsiPageView::OrvFsiPageView(const OrvPage& frame)
    : OrvFsiPageView(frame.getPageData(), frame.getSegmentId(), frame.getPageId()) {}

Uint32 OrvFsiPageView::countEntries() const {
    Uint16 count = 0;
    std::memcpy(&count, bytes + offsetof(FsiPage, countEntries), sizeof(count));
    return count;
}

Uint32 OrvFsiPageView::usableCount() const {
    const Uint32 count = countEntries();
    if (count > OrvFsi::MAX_FSI_ENTRIES || Uint32(page) + count > ORV_MAX_PAGE_ID) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return count;
}

FsiEntry OrvFsiPageView::entry(Uint32 index) const {
    if (index >= OrvFsi::MAX_FSI_ENTRIES) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    FsiEntry found;
    std::memcpy(&found, bytes + offsetof(FsiPage, pageInfo) + index * sizeof(FsiEntry),
                sizeof(found));
    return found;
}

std::vector<std::string> OrvFsiPageView::problems() const {
    ORV_TRACE(RecordManager);
    std::vector<std::string> found;
    OrvPageHeader header;
    std::memcpy(&header, bytes, sizeof(header));
    if (header.pageType != OrvPage::FreeSpaceInventoryPage) {
        found.push_back("the page type is " + number(static_cast<Uint32>(header.pageType)) +
                        ", not an inventory page");
    }
    if (header.pageId % OrvFsi::PAGE_DISTANCE != 0) {
        found.push_back("page " + number(header.pageId) + " is no inventory page id");
    }
    const Uint32 count = countEntries();
    if (count > OrvFsi::MAX_FSI_ENTRIES) {
        found.push_back("countEntries " + number(count) + " exceeds 254");
        return found;
    }
    if (Uint32(header.pageId) + count > ORV_MAX_PAGE_ID) {
        found.push_back("countEntries " + number(count) + " reaches beyond page 65534");
    }
    for (Uint32 k = 0; k < OrvFsi::MAX_FSI_ENTRIES; ++k) {
        const FsiEntry e = entry(k);
        const std::string name = "entry " + number(k) + " (" + number(e.freeSpace) + ", " +
                                 number(e.freeSpaceBlock) + ")";
        if (k < count) {
            if (!OrvFsi::pageAlreadyExists(e)) {
                found.push_back(name + " below the count describes no page");
            } else if (e.freeSpace > OrvFsi::EMPTY_PAGE_UNITS) {
                found.push_back(name + " has more free space than a page");
            }
        } else if (e.freeSpace != 0 || e.freeSpaceBlock != OrvFsi::EMPTY_PAGE_UNITS) {
            found.push_back(name + " beyond the count is not marked not-existing");
        }
    }
    return found;
}

OrvFsiPageWriter::OrvFsiPageWriter(char* image, SegmentId segmentId, PageId pageId)
    : OrvFsiPageView(image, segmentId, pageId), writable(image) {}

OrvFsiPageWriter::OrvFsiPageWriter(OrvPage& frame)
    : OrvFsiPageWriter(frame.getPageData(), frame.getSegmentId(), frame.getPageId()) {}

void OrvFsiPageWriter::setCountEntries(Uint32 count) {
    if (count > OrvFsi::MAX_FSI_ENTRIES) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const Uint16 value = static_cast<Uint16>(count);
    std::memcpy(writable + offsetof(FsiPage, countEntries), &value, sizeof(value));
}

void OrvFsiPageWriter::setEntry(Uint32 index, const FsiEntry& value) {
    if (index >= OrvFsi::MAX_FSI_ENTRIES) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    std::memcpy(writable + offsetof(FsiPage, pageInfo) + index * sizeof(FsiEntry), &value,
                sizeof(value));
}

void OrvFsiPageWriter::initialise() {
    setCountEntries(0);
    FsiEntry none;
    OrvFsi::markNotExists(none);
    for (Uint32 k = 0; k < OrvFsi::MAX_FSI_ENTRIES; ++k) {
        setEntry(k, none);
    }
}

namespace OrvFsi {

namespace {

// The data page, fixed, or an empty guard when it does not exist.
OrvScopedPage fixIfExists(SegmentId segment, PageId pageId, OrvPage::PageType type) {
    try {
        return OrvScopedPage(segment, pageId, type, OrvScopedPage::GetExistingPage);
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_BM_PAGE_NOT_FOUND) {
            throw;
        }
    }
    return OrvScopedPage();
}

} // namespace

std::vector<std::string> checkSegment(SegmentId segment) {
    ORV_TRACE(RecordManager);
    std::vector<std::string> found;
    for (Uint32 fsi = 0; fsi <= LAST_FSI_PAGE; fsi += PAGE_DISTANCE) {
        const PageId fsiPage = static_cast<PageId>(fsi);
        OrvScopedPage page = fixIfExists(segment, fsiPage, OrvPage::FreeSpaceInventoryPage);
        const std::string where = "inventory page " + number(fsi) + ": ";
        if (page.getPage() == nullptr) {
            // Nothing may lie behind a missing inventory page.
            if (fixIfExists(segment, static_cast<PageId>(fsi + 1), OrvPage::DataPage).getPage()) {
                found.push_back(where + "missing, but data page " + number(fsi + 1) + " exists");
            }
            break;
        }
        const OrvFsiPageView view(*page.getPage());
        for (const std::string& problem : view.problems()) {
            found.push_back(where + problem);
        }
        if (view.countEntries() > MAX_FSI_ENTRIES) {
            break;
        }
        const Uint32 count = view.countEntries();
        for (Uint32 k = 0; k < MAX_FSI_ENTRIES && fsi + k + 1 <= ORV_MAX_PAGE_ID; ++k) {
            const PageId dataPage = static_cast<PageId>(fsi + k + 1);
            OrvScopedPage data = fixIfExists(segment, dataPage, OrvPage::DataPage);
            const FsiEntry entry = view.entry(k);
            const std::string name = "entry " + number(k) + " of data page " + number(dataPage);
            if (k >= count) {
                if (data.getPage() != nullptr) {
                    found.push_back(where + name + " is beyond the count, but the page exists");
                }
                continue;
            }
            if (data.getPage() == nullptr) {
                if (entry.freeSpace != EMPTY_PAGE_UNITS ||
                    entry.freeSpaceBlock != EMPTY_PAGE_UNITS) {
                    found.push_back(where + name + " describes a page that does not exist");
                }
                continue;
            }
            const SlotPageHeader header = OrvDataPageView(*data.getPage()).header();
            const FsiEntry expected = entryFor(header.freeSpace, header.consecFreeSpace);
            if (entry != expected) {
                found.push_back(where + name + " is (" + number(entry.freeSpace) + ", " +
                                number(entry.freeSpaceBlock) + "), the page says (" +
                                number(expected.freeSpace) + ", " +
                                number(expected.freeSpaceBlock) + ")");
            }
        }
        if (count < MAX_FSI_ENTRIES) {
            break;
        }
    }
    return found;
}

} // namespace OrvFsi
