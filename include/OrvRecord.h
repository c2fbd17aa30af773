// Records and their tuple identifiers.
//
// TupleId names a record for its whole life: the page of the table's segment
// and the slot on that page. It is a plain value, stored raw in index leaf
// entries and in placeholder slots of data pages, and in text form in log
// entries.
//
// OrvRecord is a private copy of a record's bytes, with the tuple id it was
// read from or written to. Records handed out by the engine are always
// copies: a record never points into the buffer pool.
//
// Process safety: both are per-process values; nothing here is shared.
#ifndef ORV_RECORD_H
#define ORV_RECORD_H

#include "OrvTypes.h"

#include <cstddef>
#include <type_traits>

// A record's address: page within the table's segment and slot on that page.
//
//   offset  size  field
//   0       2     page  (PageId)
//   2       1     slot  (SlotId)
//   3       1     padding (never read)
//
// (0,0) never names a record: page 0 of a table is a free space inventory page.
struct TupleId {
    PageId page;
    SlotId slot;

    constexpr TupleId() : page(0), slot(0) {}
    constexpr TupleId(PageId pageId, SlotId slotId) : page(pageId), slot(slotId) {}

    bool operator==(const TupleId& other) const { return page == other.page && slot == other.slot; }
    bool operator!=(const TupleId& other) const { return !(*this == other); }
};

static_assert(sizeof(TupleId) == 4, "a tuple id takes 4 bytes in page formats");
static_assert(offsetof(TupleId, page) == 0, "the page id comes first");
static_assert(offsetof(TupleId, slot) == 2, "the slot id follows the page id");
static_assert(alignof(TupleId) == 2, "tuple ids sit at even offsets of page entries");
static_assert(std::is_trivially_copyable<TupleId>::value, "tuple ids are copied as bytes");
static_assert(std::is_standard_layout<TupleId>::value, "tuple ids are copied as bytes");

// A copy of a record's bytes and, once known, its tuple id.
//
// The record owns its buffer. Copies (construction and assignment) copy the
// bytes, so two records never share a buffer.
class OrvRecord {
public:
    // A record holding `length` bytes copied from data (or `length` zero bytes
    // of buffer and length 0 when data is null); no tuple id. A failure of
    // setData does not escape: it is recorded in the error object, and the
    // record is then empty (length 0).
    explicit OrvRecord(const char* data = nullptr, Uint16 length = 0);
    OrvRecord(const OrvRecord& other);
    OrvRecord& operator=(const OrvRecord& other);
    ~OrvRecord();

    // Replaces the bytes: a new zero-filled buffer of `length` bytes, holding
    // a copy of data when data is not null (getLength() is then `length`, else
    // 0). The old buffer is released only afterwards, so data may point into
    // the record itself. Throws ORV_INTERNAL_FAIL when the buffer cannot be
    // allocated; the record is unchanged then.
    void setData(const char* data, Uint16 length);

    void setTupleId(const TupleId& tid);
    // The stored tuple id, or null when none was set. Valid as long as the
    // record lives.
    const TupleId* getTupleId() const;

    // Number of valid bytes (the record length).
    Uint16 getLength() const;
    // Size of the buffer.
    Uint16 getBufferLength() const;
    // The record's bytes; valid until the next setData or the record's end.
    // Null only when the constructor could not allocate a buffer.
    const char* getRecordData() const;

private:
    TupleId tupleId;
    bool tupleIdSet;
    char* rawData;
    Uint16 rawDataLength;
    Uint16 allocLength;
};

#endif
