// The byte layout of a data page and the one class that reads and writes it.
//
// A table is one segment of 4096-byte pages. Page ids that are multiples of
// 255 are free space inventory pages; every other page is a slotted data
// page: a header, a slot directory growing upwards from byte 24, and the
// records packed from byte 4096 downwards. A record is addressed for its
// whole life by its TupleId (page, slot); a record that had to leave its page
// leaves a placeholder slot holding the tuple id of its new place.
//
// OrvDataPageView is the only code that decodes this layout: the record
// manager's page-local operations and the structure checker both go through
// it. Bytes of a page image are untrusted (shared memory, or a file): every
// slot number, offset and length is checked against the directory and the
// page bounds before it is used, so a damaged page gives an error, never an
// access outside the 4096 bytes. Fields are copied out of the image with
// memcpy: frames lie 4116 bytes apart, so an image is only 4-byte aligned.
//
// Process safety: a view holds no lock and no fix. REQUIRES of its user: the
// page stays fixed while the view lives, and a lock keeps other transactions
// from changing the parts it reads (the record manager's lock protocol; see
// record/README.md).
#ifndef ORV_DATA_PAGE_H
#define ORV_DATA_PAGE_H

#include "OrvBuffer.h"
#include "OrvConfig.h"
#include "OrvTypes.h"

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

// One entry of the slot directory (8 bytes).
//
//   offset  size  field
//   0       2     offset        byte offset of the record in the page;
//                               PlaceHolderTid: page id of the secondary record
//   2       2     recordLength  length of the record in bytes;
//                               PlaceHolderTid: slot id of the secondary record
//                               (low byte, high byte zero)
//   4       1     recordType    OrvRecordManager::RecordType
//   5       3     padding       zero
//
// A slot is empty when offset and recordLength are both 0 (a freed slot is
// also PrimaryRecord again). recordType is kept as a byte rather than the
// enumeration because it comes from the page and must be checked first.
struct Slot {
    Uint16 offset;
    Uint16 recordLength;
    Uint8 recordType;
    Uint8 padding[3];
};

static_assert(sizeof(Slot) == 8, "a slot takes 8 bytes");
static_assert(offsetof(Slot, offset) == 0, "offset at byte 0 of a slot");
static_assert(offsetof(Slot, recordLength) == 2, "recordLength at byte 2 of a slot");
static_assert(offsetof(Slot, recordType) == 4, "recordType at byte 4 of a slot");
static_assert(std::is_trivially_copyable<Slot>::value, "slots are copied as bytes");

// The start of a data page: the common header, the free space fields and the
// first slot; the directory continues in place beyond it (slot i at byte
// 24 + 8*i, for i below numberOfSlots).
//
//   offset  size  field
//   0       16    pageHeader             common page header, type DataPage
//   16      2     freeSpace              total free bytes (findFreeSpaceInPage)
//   18      2     consecFreeSpace        largest free block (findLargestFreeSpaceInPage)
//   20      2     consecFreeSpaceOffset  offset of that block
//   22      1     numberOfSlots          entries in the directory, 0 to 255
//   23      1     padding                zero
//   24      8     recordSlot             slot 0
//
// The free space fields are maintained by the callers of the page-local
// operations (after every change of a page), never by these operations.
struct SlotPageHeader {
    OrvPageHeader pageHeader;
    Uint16 freeSpace;
    Uint16 consecFreeSpace;
    Uint16 consecFreeSpaceOffset;
    Uint8 numberOfSlots;
    Uint8 padding;
    Slot recordSlot[1];
};

static_assert(sizeof(SlotPageHeader) == 32, "header and first slot take 32 bytes");
static_assert(offsetof(SlotPageHeader, freeSpace) == 16, "freeSpace at byte 16");
static_assert(offsetof(SlotPageHeader, consecFreeSpace) == 18, "consecFreeSpace at byte 18");
static_assert(offsetof(SlotPageHeader, consecFreeSpaceOffset) == 20,
              "consecFreeSpaceOffset at byte 20");
static_assert(offsetof(SlotPageHeader, numberOfSlots) == 22, "numberOfSlots at byte 22");
static_assert(offsetof(SlotPageHeader, recordSlot) == 24, "the directory begins at byte 24");
// Page images in the pool are only 4-byte aligned (frames are 4116 bytes).
static_assert(alignof(SlotPageHeader) <= 4, "a page image may be read in place");
static_assert(std::is_trivially_copyable<SlotPageHeader>::value, "copied to and from images");

// A read-only, bounds-checked view of one data page image.
//
// Throwing accessors raise OrvException naming the page (segment and page id
// given at construction): ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS for a slot beyond
// the directory or a record beginning outside the record area,
// ORV_RM_GET_RECORD_TOO_LONG for a record running past the page end,
// ORV_INTERNAL_FAIL for an unknown slot type or records that take more room
// than the page has. The free space computations are pure: they take no
// inventory lock (that is the record manager's part).
class OrvDataPageView {
public:
    // Byte offset of slot 0, the size of a slot, and the slot limit.
    static constexpr Uint32 SLOT_DIRECTORY_OFFSET = 24;
    static constexpr Uint32 SLOT_SIZE = 8;
    static constexpr Uint32 MAX_SLOTS = 255;
    // Values of Slot::recordType (OrvRecordManager::RecordType).
    static constexpr Uint8 PRIMARY = 0;
    static constexpr Uint8 SECONDARY = 1;
    static constexpr Uint8 PLACEHOLDER = 2;

    // A view of the 4096 bytes at `image`; the ids name the page in errors.
    OrvDataPageView(const char* image, SegmentId segment, PageId pageId);
    // A view of a fixed frame.
    explicit OrvDataPageView(const OrvPage& page);

    // A copy of the header and slot 0.
    SlotPageHeader header() const;
    Uint32 slotCount() const;
    // End of the directory: where the record area may begin.
    Uint32 directoryEnd() const { return directoryEndFor(slotCount()); }
    static Uint32 directoryEndFor(Uint32 count) {
        return SLOT_DIRECTORY_OFFSET + SLOT_SIZE * count;
    }

    // Slot `id` of the directory, unchecked in content. Beyond the directory:
    // ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS with the place where it would lie.
    Slot slot(Uint32 id) const;
    // Slot `id`, whatever the count says (id below 255; ORV_INTERNAL_FAIL
    // else): for the checker and for a slot about to be appended.
    Slot rawSlot(Uint32 id) const;

    static bool isKnownType(Uint8 type);
    static bool isEmpty(const Slot& slot) { return slot.offset == 0 && slot.recordLength == 0; }
    // True for a slot whose bytes lie on this page (primary or secondary
    // record that is not empty).
    static bool holdsBytes(const Slot& slot) {
        return slot.recordType != PLACEHOLDER && slot.recordLength != 0;
    }
    // ORV_INTERNAL_FAIL for a type that is none of the three.
    static void checkType(const Slot& slot);
    // The record [offset, offset + length) must lie between `dirEnd` and the
    // page end (codes as above).
    void checkRecordPlace(Uint32 dirEnd, Uint32 offset, Uint32 length) const;
    // Slot `id` of the directory, checked: a known type, and when it holds
    // bytes, a record inside the record area.
    Slot checkedSlot(Uint32 id) const;
    // The bytes of a checked record slot.
    const char* recordBytes(const Slot& slot) const;

    // The lowest offset of a record, the page end when there is none.
    Uint32 lowestRecordOffset() const;
    // The lowest empty slot, else the slot a new record appends, else
    // NO_SLOT with the reason in `refusal` (ORV_RM_NO_MORE_SLOTS,
    // ORV_RM_SLOT_OVER_DATA). A slot is appended only when the directory,
    // with the appended slot AND the spare one that free space always
    // reserves, stays clear of the lowest record: otherwise free space would
    // promise a spare slot's room that a record already uses.
    SlotId freeSlot(OrvErrorCode& refusal) const;

    // Total free bytes, always reserving room for one more slot; 0 when all
    // 255 slots hold something.
    Uint16 freeSpace() const;
    // The largest free block between the directory (with its spare slot)
    // and the page end: (offset, size); lower block on ties; (0, 0) when
    // there is none or all 255 slots are in use.
    void largestBlock(Uint16& offset, Uint16& size) const;

    // One line per breach of the layout, empty when the page is sound; never
    // throws for a damaged image. See record/OrvDataPageCheck.h.
    std::vector<std::string> problems() const;

    const char* image() const { return bytes; }
    SegmentId segmentId() const { return segment; }
    PageId pageId() const { return page; }

protected:
    const char* bytes;
    SegmentId segment;
    PageId page;
};

// A writable view: the same checks, and the only writes of a data page's
// directory, record bytes and free space fields.
class OrvDataPageWriter : public OrvDataPageView {
public:
    OrvDataPageWriter(char* image, SegmentId segment, PageId pageId);
    explicit OrvDataPageWriter(OrvPage& page);

    // Slot `id` (below 255) set to `slot`.
    void setSlot(Uint32 id, const Slot& slot);
    void setSlotCount(Uint32 count);
    // Copies `length` bytes to [offset, offset + length), which must lie in
    // the page (ORV_INTERNAL_FAIL).
    void writeBytes(Uint32 offset, const char* data, Uint32 length);
    void setFreeSpaceFields(Uint16 freeSpace, Uint16 blockSize, Uint16 blockOffset);
    char* mutableImage() const { return writable; }

private:
    char* writable;
};

// A slot of the given place and type, padding zero.
Slot makeSlot(Uint16 offset, Uint16 length, Uint8 type);

#endif
