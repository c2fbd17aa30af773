// The leaf page of a varchar index: keys of up to 255 bytes with the tuple
// ids of their records, packed in text order into one byte area.
//
// A varchar tree is a single leaf at page 1: there is no text separator an
// inner node could route by (the node format holds Sint32 separators), so a
// leaf never splits and an insert into a full leaf is refused as an error.
//
// The varchar header lies over bytes 8 to 15, where other pages keep their
// LSN. A varchar page is therefore never stamped with an LSN: its changes
// are logged as whole before and after images, the frame is marked modified
// with the dummy LSN (the buffer manager then leaves the image alone), and
// redo puts the after image back whatever the page holds, which is safe to
// repeat.
//
// Bytes of a page image are untrusted: the view checks the counters and
// every entry against the used area before it reads, and copies fields with
// memcpy. Process safety as for the integer pages (index/OrvIndexTreePage.h):
// a view holds no lock and no fix; REQUIRES of its user that the page stays
// fixed and locked (shared to read, exclusive to change) while it lives.
#ifndef ORV_INDEX_VARCHAR_TREE_LEAF_PAGE_H
#define ORV_INDEX_VARCHAR_TREE_LEAF_PAGE_H

#include "OrvBuffer.h"
#include "OrvConfig.h"
#include "OrvIndexKey.h"
#include "OrvRecord.h"
#include "OrvTypes.h"
#include "index/OrvIndexTreePage.h"

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

// The header of a varchar leaf page (60 bytes); the data area follows.
//
//   offset  size  field
//   0       2     pageId       common page header (its first 8 bytes only)
//   2       2     padding
//   4       4     pageType     BTreeIndexPage
//   8       1     isLeaf       1
//   9       1     padding
//   10      2     spaceLeft    free bytes of the data area
//   12      2     prevId       previous leaf, 0 = none
//   14      2     nextId       next leaf, 0 = none
//   16      2     numElements  number of entries
//   18      2     padding
//   20      40    reserved     five integer leaf entries, zero, never used
//   60      4036  data         the entries, packed from byte 60 in key order
//
// An entry: length (1 byte, text bytes without the terminator), padding (1),
// tupleId.page (2), tupleId.slot (1), padding (1), then the text and a NUL:
// length + 7 bytes. The used area is the first 4036 - spaceLeft bytes of the
// data area and holds exactly numElements entries.
struct OrvIndexVarcharLeafHeader {
    PageId pageId;
    Uint16 padding;
    OrvPage::PageType pageType;
    Uint8 isLeaf;
    Uint8 padding2;
    Uint16 spaceLeft;
    PageId prevId;
    PageId nextId;
    Uint16 numElements;
    Uint16 padding3;
    Uint8 reserved[40];
};

static_assert(sizeof(OrvIndexVarcharLeafHeader) == 60, "the varchar leaf header takes 60 bytes");
static_assert(offsetof(OrvIndexVarcharLeafHeader, pageType) == 4, "pageType at byte 4");
static_assert(offsetof(OrvIndexVarcharLeafHeader, isLeaf) == 8, "isLeaf at byte 8");
static_assert(offsetof(OrvIndexVarcharLeafHeader, spaceLeft) == 10, "spaceLeft at byte 10");
static_assert(offsetof(OrvIndexVarcharLeafHeader, prevId) == 12, "prevId at byte 12");
static_assert(offsetof(OrvIndexVarcharLeafHeader, nextId) == 14, "nextId at byte 14");
static_assert(offsetof(OrvIndexVarcharLeafHeader, numElements) == 16, "numElements at byte 16");
static_assert(offsetof(OrvIndexVarcharLeafHeader, reserved) == 20, "reserved at byte 20");
static_assert(alignof(OrvIndexVarcharLeafHeader) <= 4, "a page image is 4-byte aligned");
static_assert(std::is_trivially_copyable<OrvIndexVarcharLeafHeader>::value, "copied as bytes");

namespace OrvIndexVarchar {

// Where both varchar kinds keep their isLeaf byte.
constexpr Uint32 IS_LEAF = offsetof(OrvIndexVarcharLeafHeader, isLeaf);
constexpr Uint32 DATA = sizeof(OrvIndexVarcharLeafHeader);
// The data area ends with the page.
constexpr Uint16 DATA_SIZE = ORV_PAGE_SIZE - DATA;
// The fixed part of an entry, and what an entry takes beyond its text.
constexpr Uint32 ENTRY_FIXED = 6;
constexpr Uint32 ENTRY_OVERHEAD = ENTRY_FIXED + 1;
constexpr Uint32 ENTRY_TID_PAGE = 2;
constexpr Uint32 ENTRY_TID_SLOT = 4;
// The length is one byte.
constexpr Uint32 MAX_KEY_LENGTH = ORV_INDEX_VARCHAR_LENGTH;

static_assert(DATA_SIZE == 4036, "4036 bytes lie between the header and the end of the page");
static_assert(MAX_KEY_LENGTH == 255, "the length of a text is stored in one byte");
static_assert(MAX_KEY_LENGTH + ENTRY_OVERHEAD <= DATA_SIZE, "an empty leaf takes any key");

// Bytes a key of that length takes in a leaf.
constexpr Uint32 entrySize(Uint32 length) {
    return length + ENTRY_OVERHEAD;
}

// The text of a varchar key, checked: ORV_PARAMETER_FAIL for a key that is
// not VARCHAR, has no text, or (when stored) is longer than MAX_KEY_LENGTH.
struct KeyText {
    const char* text;
    Uint32 length;
};
KeyText keyText(const OrvIndexKey& key, bool stored);

// The text order of the index: bytes as unsigned values, a proper prefix
// first (strcmp's order for texts without NUL bytes). -1, 0 or 1.
int compareText(const char* a, Uint32 aLength, const char* b, Uint32 bLength);

} // namespace OrvIndexVarchar

// A read-only view of a varchar leaf image. A flag other than 1, a counter
// beyond the data area and entries that do not lie within the used area are
// ORV_INTERNAL_FAIL when met.
class OrvIndexVarcharLeafView {
public:
    explicit OrvIndexVarcharLeafView(const char* image);

    // One entry: its byte offset in the data area, its text (inside the
    // image, `length` bytes and a NUL) and tuple id.
    struct Entry {
        Uint32 offset;
        Uint32 length;
        const char* text;
        TupleId tid;
        Uint32 size() const { return OrvIndexVarchar::entrySize(length); }
    };

    PageId pageId() const;
    Uint16 numElements() const;
    // Free bytes of the data area.
    Uint16 spaceLeft() const;
    Uint16 usedBytes() const { return Uint16(OrvIndexVarchar::DATA_SIZE - spaceLeft()); }
    bool fits(Uint32 length) const { return OrvIndexVarchar::entrySize(length) <= spaceLeft(); }
    PageId prevId() const;
    PageId nextId() const;

    // Entry pos (< numElements), found by walking the entries from the
    // start of the data area.
    Entry entryAt(Uint16 pos) const;
    // The entry that follows `entry` (REQUIRES: it is not the last one).
    Entry entryAfter(const Entry& entry) const;
    // The first position whose text is not below the key (numElements when
    // none), and its byte offset (the end of the used area when none).
    Uint16 lowerBound(const char* text, Uint32 length, Uint32* offset = nullptr) const;
    // The first position holding exactly this text, or 0xFFFF.
    Uint16 find(const char* text, Uint32 length) const;

    // One line per breach of the layout (flag, counters, entries that run
    // past the used area or miss their NUL, order); empty for a sound leaf.
    // Never throws.
    std::vector<std::string> problems() const;

protected:
    // With checkFlag false, for a writer that lays out a new leaf.
    OrvIndexVarcharLeafView(const char* image, bool checkFlag);
    Entry entryAtOffset(Uint32 offset) const;
    Uint16 readU16(Uint32 offset) const;

    const char* bytes;
};

// A writable view of a varchar leaf image.
class OrvIndexVarcharLeafWriter : public OrvIndexVarcharLeafView {
public:
    // Over any page image, for init(); the other operations REQUIRE a leaf
    // image (existing() checks it first).
    explicit OrvIndexVarcharLeafWriter(char* image);
    static OrvIndexVarcharLeafWriter existing(char* image);

    // An empty leaf: isLeaf 1, the whole data area free, no entries or
    // neighbours, the reserved bytes zero. Bytes 0 to 7 stay.
    void init();
    void setPrevId(PageId id);
    void setNextId(PageId id);
    // Inserts the entry in front of the entries not below it.
    // ORV_INTERNAL_FAIL (nothing changed) when it does not fit.
    Uint16 insert(const char* text, Uint32 length, const TupleId& tid);
    // Removes entry pos; ORV_INTERNAL_FAIL when it is no entry.
    void remove(Uint16 pos);

private:
    void writeU16(Uint32 offset, Uint16 value);

    char* writable;
};

// The handle of one fixed varchar leaf page. Every change is one logged
// change (VARCHAR_OPERATION) taken under an exclusive page lock, as for the
// integer pages; the page is marked modified without an LSN.
class OrvIndexVarcharTreeLeafPage : public OrvIndexTreePage {
public:
    using OrvIndexTreePage::OrvIndexTreePage;

    OrvIndexVarcharLeafView leafView() const { return OrvIndexVarcharLeafView(image()); }

    bool isLeaf() const override { return true; }
    // No key, not even the empty one, fits.
    bool isFull() const override { return !leafView().fits(0); }
    Uint16 numElements() const override { return leafView().numElements(); }
    // Free bytes of the data area (a key of length L needs L + 7).
    Uint16 spaceLeft() const override { return leafView().spaceLeft(); }
    PageId nextId() const override { return leafView().nextId(); }
    PageId prevId() const override { return leafView().prevId(); }
    // A VARCHAR key owning a copy of the text of entry pos.
    OrvIndexKey getValueAt(Uint16 pos) const override;
    OrvIndexKey getLastValue() const override;
    // The entry number of the first entry equal to key, or 0xFFFF.
    Uint16 findKeyPosition(const OrvIndexKey& key) const override;
    // The entry number of the first entry not below key (numElements when
    // none): where a new entry for key goes.
    Uint16 findInsertPosition(const OrvIndexKey& key) const;

    void setNextId(PageId id) override;
    void setPrevId(PageId id) override;

    // Inserts (key, tid) in front of the entries equal to it. False, with
    // nothing changed, when the entry does not fit; ORV_PARAMETER_FAIL for
    // a key that is not VARCHAR, has no text or is longer than 255 bytes.
    bool insert(const OrvIndexKey& key, const TupleId& tid) override;
    // Removes entry pos; false when pos is no entry.
    bool deleteKeyAt(Uint16 pos) override;
    // With a tuple id the entry (key, *tid), without one every entry equal
    // to key, as one logged change; the number removed (nothing is logged
    // for 0).
    Uint32 deleteKey(const OrvIndexKey& key, const TupleId* tid);
    // The entry (oldKey, tid), when there is one, replaced by (newKey, tid)
    // as one logged change; without that entry newKey is only added. False,
    // nothing changed, when the new entry does not fit even after the old
    // one is gone. Key errors as insert.
    bool replace(const OrvIndexKey& oldKey, const OrvIndexKey& newKey, const TupleId& tid);
    bool findTuple(const OrvIndexKey& key, TupleId& tid) const override;
    // (0, 0) for a position that is not an entry.
    TupleId getTupleAt(Uint16 pos) const override;

    // "LEAF > SegmentId: ..., PageId: ..., PrevId: ..., NextId: ...", then
    // with full one line "[i] -> text" per entry.
    void dump(bool full) const;

protected:
    void checkAfterImage(const char* image) const override;
};

#endif
