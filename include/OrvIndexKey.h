// Index keys and the entries of integer B-tree pages.
//
// OrvIndexKey carries one key value, integer or varchar, between the callers
// of the index manager, the B-tree and its pages. OrvIndexIntegerKey and
// OrvIndexIntegerTupleIdentifier are the entries of integer inner node and
// leaf pages; they are also the byte layout of those entries in a page.
//
// Order: integer keys compare as signed 32-bit numbers; varchar keys as
// zero-terminated byte strings in the manner of strcmp (bytes as unsigned
// values, a proper prefix first, no collation, trailing blanks count).
//
// Comparing keys of different types, or with a key of UnknownDataType, or a
// varchar key without text, is a caller's error that does not throw: the
// comparison records ORV_INTERNAL_FAIL (component IndexManager) with a trace
// record naming the operator in the process's error object and gives false.
//
// Process safety: per-process values. The entry types are copied into and
// out of pages shared through the buffer pool; the page's lock guards them
// there.
#ifndef ORV_INDEX_KEY_H
#define ORV_INDEX_KEY_H

#include "OrvRecord.h"
#include "OrvTypes.h"

#include <cstddef>
#include <type_traits>

// One key value. The fields are public: callers fill them directly.
//
// A caller usually points varcharKey at text it owns itself and leaves
// ownChar false; a key that owns its text (ownChar) releases it when it is
// destroyed. A varchar key kept in an index holds at most 255 bytes
// (ORV_INDEX_VARCHAR_LENGTH); the index subsystem neither checks nor cuts
// longer texts.
class OrvIndexKey {
public:
    bool ownChar;
    OrvDataType dataType;
    Sint32 intKey;
    char* varcharKey;

    // ownChar false, UnknownDataType, 0, no text.
    OrvIndexKey();
    // Copies the value; a varchar text is copied into text owned by the new
    // key. Unlike assignment, copying a key of UnknownDataType records
    // nothing: the copy is simply unknown as well.
    OrvIndexKey(const OrvIndexKey& other);
    // Releases the text when the key owns it.
    ~OrvIndexKey();

    // Copies dataType, then by type:
    //   INTEGER          intKey only (varcharKey and ownChar stay as they are);
    //   VARCHAR          a private copy of the other key's text, which this key
    //                    then owns (text it owned before is released); when the
    //                    other key has no text, nothing but dataType;
    //   UnknownDataType  nothing more, and ORV_INTERNAL_FAIL is recorded.
    // Throws nothing but std::bad_alloc.
    OrvIndexKey& operator=(const OrvIndexKey& other);

    // Comparisons dispatch on the other key's type (or on the type the
    // scalar operand implies) and require this key to have that type.
    bool operator<(const OrvIndexKey& other) const;
    bool operator<(Sint32 value) const;
    bool operator<(const char* text) const;
    bool operator<=(const OrvIndexKey& other) const;
    bool operator<=(const char* text) const;
    bool operator==(const OrvIndexKey& other) const;
    bool operator==(Sint32 value) const;
    bool operator==(const char* text) const;
    // Nothing in the engine uses these two; they complete the order with the
    // same type rules (false and an error for mismatched types).
    bool operator>(const OrvIndexKey& other) const;
    bool operator>=(const OrvIndexKey& other) const;

private:
    // Three-way comparison with the type rules above; false (after recording
    // the error) when the operands cannot be compared.
    bool compare(const OrvIndexKey& other, int& result, const char* function) const;
    bool compareInteger(Sint32 value, int& result, const char* function) const;
    bool compareText(const char* text, int& result, const char* function) const;
};

// One entry of an integer inner node page: a separator value and the child
// page that holds the keys greater than it.
//
//   offset  size  field
//   0       4     value      (Sint32)
//   4       2     nextChild  (PageId)
//   6       2     padding    (never written: pages copy only the first 6 bytes)
struct OrvIndexIntegerKey {
    Sint32 value;
    PageId nextChild;

    OrvIndexIntegerKey();
    OrvIndexIntegerKey(Sint32 v, PageId next);

    bool operator==(Sint32 v) const;
    // Nothing in the engine uses these; entries order by value alone.
    bool operator<(const OrvIndexIntegerKey& other) const;
    bool operator<(Sint32 v) const;
    bool operator<=(const OrvIndexIntegerKey& other) const;
    bool operator<=(Sint32 v) const;
    bool operator>(const OrvIndexIntegerKey& other) const;
    bool operator>(Sint32 v) const;
    bool operator>=(const OrvIndexIntegerKey& other) const;
    bool operator>=(Sint32 v) const;

    // "Value: <value>, NextChild: <page>" and a line break on standard output.
    void dump() const;
};

static_assert(sizeof(OrvIndexIntegerKey) == 8, "an inner node entry takes 8 bytes");
static_assert(offsetof(OrvIndexIntegerKey, value) == 0, "the value comes first");
static_assert(offsetof(OrvIndexIntegerKey, nextChild) == 4, "the child page follows the value");
static_assert(std::is_trivially_copyable<OrvIndexIntegerKey>::value,
              "inner node entries are copied into pages as bytes");

// One entry of an integer leaf page: a key value and the tuple id of the
// record that carries it.
//
//   offset  size  field
//   0       4     value          (Sint32)
//   4       2     tupleId.page   (PageId)
//   6       1     tupleId.slot   (SlotId)
//   7       1     padding
struct OrvIndexIntegerTupleIdentifier {
    Sint32 value;
    TupleId tupleId;

    // Value 0, tuple id (0,0).
    OrvIndexIntegerTupleIdentifier();
    OrvIndexIntegerTupleIdentifier(Sint32 v, TupleId id);

    bool operator==(Sint32 v) const;
    // Nothing in the engine uses these; entries order by value alone, the
    // tuple id does not take part.
    bool operator<(const OrvIndexIntegerTupleIdentifier& other) const;
    bool operator<(Sint32 v) const;
    bool operator<=(const OrvIndexIntegerTupleIdentifier& other) const;
    bool operator<=(Sint32 v) const;
    bool operator>(const OrvIndexIntegerTupleIdentifier& other) const;
    bool operator>(Sint32 v) const;
    bool operator>=(const OrvIndexIntegerTupleIdentifier& other) const;
    bool operator>=(Sint32 v) const;

    // "Value: <value>, TupleId: <page>, <slot>)" and a line break on standard
    // output.
    void dump() const;
};

static_assert(sizeof(OrvIndexIntegerTupleIdentifier) == 8, "a leaf entry takes 8 bytes");
static_assert(offsetof(OrvIndexIntegerTupleIdentifier, value) == 0, "the value comes first");
static_assert(offsetof(OrvIndexIntegerTupleIdentifier, tupleId) == 4,
              "the tuple id follows the value");
static_assert(std::is_trivially_copyable<OrvIndexIntegerTupleIdentifier>::value,
              "leaf entries are copied into pages as bytes");

#endif
