// The byte layout of a table's free space inventory pages, and the one class
// that reads and writes it.
//
// Every 255th page of a table segment (0, 255, ..., 65280) is an inventory
// page; inventory page F holds one two-byte entry for each of the 254 data
// pages F+1 .. F+254 (the last one, 65280, describes 65281 .. 65534). An
// entry tells whether its data page exists and, in units of 16 bytes, its
// total free space and its largest free block, so that insertion can pick a
// page and scans can step to the next page without reading data pages.
//
// Process safety: inventory pages live in the shared buffer pool; their
// bytes are guarded by locks, not latches (the lock names are given in
// include/OrvRecordManager.h). A view holds no lock and no fix: REQUIRES the
// page fixed while the view lives. Bytes are untrusted: an entry index is
// checked before use, and the checker reports a damaged page, never reading
// outside it.
#ifndef ORV_FSI_PAGE_H
#define ORV_FSI_PAGE_H

#include "OrvBuffer.h"
#include "OrvConfig.h"
#include "OrvTypes.h"

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

// One inventory entry (2 bytes).
//
//   offset  size  field
//   0       1     freeSpace       total free space of the data page, in 16-byte
//                                 units (its header's freeSpace >> 4)
//   1       1     freeSpaceBlock  its largest free block in the same units
//
// States: (0, 254) no such data page; (254, 254) a fresh empty page; any
// entry with freeSpace >= freeSpaceBlock an existing page.
struct FsiEntry {
    Uint8 freeSpace;
    Uint8 freeSpaceBlock;

    bool operator==(const FsiEntry& other) const {
        return freeSpace == other.freeSpace && freeSpaceBlock == other.freeSpaceBlock;
    }
    bool operator!=(const FsiEntry& other) const { return !(*this == other); }
};

static_assert(sizeof(FsiEntry) == 2, "an inventory entry takes 2 bytes");
static_assert(offsetof(FsiEntry, freeSpaceBlock) == 1, "the block size is the second byte");
static_assert(std::is_trivially_copyable<FsiEntry>::value, "entries are copied as bytes");

// An inventory page.
//
//   offset  size   field
//   0       16     pageHeader    common page header, type FreeSpaceInventoryPage
//   16      2      countEntries  entries describing existing pages, 0 .. 254
//   18      2*254  pageInfo      entry k describes data page F + k + 1
//   526     3570   unused        zero (as the buffer pool creates pages)
//
// Data pages are allocated in ascending order, so entries 0 .. countEntries-1
// are existing pages and every later entry is a not-existing one.
struct FsiPage {
    OrvPageHeader pageHeader;
    Uint16 countEntries;
    FsiEntry pageInfo[254];
};

static_assert(sizeof(FsiPage) == 528, "526 bytes of fields, padded to the header's alignment");
static_assert(offsetof(FsiPage, countEntries) == 16, "countEntries at byte 16");
static_assert(offsetof(FsiPage, pageInfo) == 18, "the entries begin at byte 18");
static_assert(alignof(FsiPage) <= 4, "a page image may be read in place");
static_assert(std::is_trivially_copyable<FsiPage>::value, "copied to and from images");

namespace OrvFsi {

// Pages per inventory stretch: the inventory page and its 254 data pages.
constexpr Uint32 PAGE_DISTANCE = 255;
// Whether a page id can name a data page: not an inventory page, not past
// the last page id.
constexpr bool isDataPageId(Uint32 pageId) {
    return pageId != 0 && pageId % PAGE_DISTANCE != 0 && pageId <= ORV_MAX_PAGE_ID;
}
constexpr Uint32 MAX_FSI_ENTRIES = 254;
// A unit of free space is 16 bytes.
constexpr Uint32 FSI_BLOCK_SIZE = 16;
// The highest inventory page id.
constexpr PageId LAST_FSI_PAGE = 65280;
// Units of an empty data page: 4064 bytes.
constexpr Uint8 EMPTY_PAGE_UNITS = 254;

inline void markNotExists(FsiEntry& entry) {
    entry.freeSpace = 0;
    entry.freeSpaceBlock = EMPTY_PAGE_UNITS;
}
inline void markEmptyPage(FsiEntry& entry) {
    entry.freeSpace = EMPTY_PAGE_UNITS;
    entry.freeSpaceBlock = EMPTY_PAGE_UNITS;
}
inline bool pageAlreadyExists(const FsiEntry& entry) {
    return entry.freeSpace >= entry.freeSpaceBlock;
}
// The entry of a data page whose total free space and largest block are
// given in bytes.
inline FsiEntry entryFor(Uint16 freeSpace, Uint16 largestBlock) {
    FsiEntry entry;
    entry.freeSpace = static_cast<Uint8>(freeSpace >> 4);
    entry.freeSpaceBlock = static_cast<Uint8>(largestBlock >> 4);
    return entry;
}

// Structure checker of a segment's whole inventory: every inventory page
// from 0 on (up to the first that does not exist) passes its page check;
// every entry below a count matches its data page (the page's free space
// fields in units), or is a reservation (254, 254) whose page does not
// exist; no data page exists beyond a count; no data page exists behind a
// missing inventory page. One line per problem. Fixes and releases the pages
// itself and takes no lock: call it while no other process changes the
// segment. Errors of the buffer manager other than a missing page
// propagate.
std::vector<std::string> checkSegment(SegmentId segment);

} // namespace OrvFsi

// A read-only view of one inventory page image. Entry indexes above 253 are
// ORV_INTERNAL_FAIL.
class OrvFsiPageView {
public:
    OrvFsiPageView(const char* image, SegmentId segment, PageId pageId);
    explicit OrvFsiPageView(const OrvPage& page);

    // As stored; may exceed 254 in a damaged page (see usableCount).
    Uint32 countEntries() const;
    // countEntries, checked: ORV_INTERNAL_FAIL when above 254, or when it
    // would name a page beyond 65534.
    Uint32 usableCount() const;
    FsiEntry entry(Uint32 index) const;

    // One line per breach of the layout; empty when the page is sound. Never
    // throws for a damaged image.
    std::vector<std::string> problems() const;

protected:
    const char* bytes;
    SegmentId segment;
    PageId page;
};

class OrvFsiPageWriter : public OrvFsiPageView {
public:
    explicit OrvFsiPageWriter(OrvPage& page);
    OrvFsiPageWriter(char* image, SegmentId segment, PageId pageId);

    void setCountEntries(Uint32 count);
    void setEntry(Uint32 index, const FsiEntry& entry);
    // A new inventory page: no entries, all 254 not-existing.
    void initialise();

private:
    char* writable;
};

#endif
