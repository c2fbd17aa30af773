// OrvBMHash: the buffer pool's hash table from (segment, page) to frame.
//
// Process safety: the table lies in the pool's shared memory and is used only
// under the pool latch, held exclusively for every change (shared suffices
// for get and dump). Its entries name each other by 16-bit index, so the table
// works at any attach address; the pointer to frame 0 (`pages`) is private to
// each process, set when its buffer manager is made.
//
// Entries (each { prev, next }, a doubly linked circular list through indices):
//
//   index        role
//   0 .. 991     one per frame; links the frame into exactly one list: the
//                free list or one bucket
//   992          head of the free list: frames in no bucket (empty frames)
//   993 .. 1191  heads of the 199 buckets; page p of any segment lies in
//                bucket 993 + p mod 199
//
// Layout in shared memory (sizeof 4768, at pool offset 12):
//
//   offset      size  field
//   4*i         2     hashArray[i].prev
//   4*i + 2     2     hashArray[i].next
//
// The links are read from shared memory and so are untrusted: every index is
// checked before use, and a walk that does not reach a head within the table's
// size is corruption. Failures throw OrvException before any entry changes.
#ifndef ORV_BM_HASH_H
#define ORV_BM_HASH_H

#include "OrvBuffer.h"
#include "OrvTypes.h"

#include <cstddef>
#include <iosfwd>
#include <type_traits>

constexpr Uint16 ORV_BM_NUM_HASH_BUCKETS = 199;
constexpr std::size_t ORV_BM_HASH_ENTRY_SIZE = 4;

class OrvBMHash {
public:
    static constexpr Uint16 NUM_ENTRIES = ORV_BM_NUM_PAGES + 1 + ORV_BM_NUM_HASH_BUCKETS;
    static constexpr Uint16 FREE_LIST_HEAD = ORV_BM_NUM_PAGES;
    static constexpr Uint16 FIRST_BUCKET_HEAD = ORV_BM_NUM_PAGES + 1;

    struct HashEntry {
        Uint16 prev;
        Uint16 next;
    };

    // All frames on the free list in ascending order; every bucket empty.
    void initialize();
    // Frame 0 of the pool in this process; ORV_PARAMETER_FAIL for null.
    static void setPagesPointer(OrvPage* pages);
    // Forgets the pointer (when the process detaches from the pool).
    static void resetPagesPointer();

    // Moves frame f from the free list to the front of the bucket of its
    // segmentId and pageId, which the caller has set. ORV_PARAMETER_FAIL for
    // f >= 992; ORV_INTERNAL_FAIL when f is in a bucket already or the lists
    // are corrupt.
    void insert(Uint16 frame);
    // The frame holding (segment, pageId). ORV_PARAMETER_FAIL for segment 0;
    // ORV_BM_PAGE_NOT_FOUND (tokens page, segment; `page` set to null) when
    // no frame holds it.
    void get(SegmentId segment, PageId pageId, OrvPage*& page, Uint16& frame) const;
    // As get, without exceptions for the ordinary miss: false when no frame
    // holds the page. Throws only for corruption (ORV_INTERNAL_FAIL).
    bool find(SegmentId segment, PageId pageId, Uint16& frame) const;
    // Moves frame f from its bucket to the front of the free list.
    // ORV_INTERNAL_FAIL when f is on the free list already.
    void remove(Uint16 frame);

    // " Content of the Buffer Pool Hash" and one row per frame of every
    // non-empty bucket, to standard output (or os). REQUIRES: the pool latch.
    void dump() const;
    void dump(std::ostream& os) const;

private:
    friend class OrvBufferPoolCheck;

    Uint16 getHashValue(SegmentId segment, PageId pageId) const;
    // The link, checked to name an entry of the table.
    Uint16 nextOf(Uint16 index) const;
    Uint16 prevOf(Uint16 index) const;
    // The head of the list that frame f is on, found by walking both ways
    // at once: the frames being moved are near a head (the first empty frame,
    // or a frame in a short bucket), so this costs a step or a few, never a
    // walk along the whole free list.
    Uint16 headOf(Uint16 frame) const;
    void unlink(Uint16 index);
    void linkFirst(Uint16 index, Uint16 head);
    // Moves frame f to the front of the list of `head`; the links of both
    // places are checked before the first one changes.
    void moveToFront(Uint16 frame, Uint16 head);
    static void checkFrame(Uint16 frame);
    static void checkPages();

    HashEntry hashArray[NUM_ENTRIES];

    static OrvPage* pages;
};

static_assert(OrvBMHash::NUM_ENTRIES == 1192, "992 frames, the free list head, 199 buckets");
static_assert(sizeof(OrvBMHash::HashEntry) == ORV_BM_HASH_ENTRY_SIZE, "an entry is 4 bytes");
static_assert(offsetof(OrvBMHash::HashEntry, prev) == 0 &&
                  offsetof(OrvBMHash::HashEntry, next) == 2,
              "prev at byte 0, next at byte 2");
static_assert(sizeof(OrvBMHash) == 4768, "the hash table is 4768 bytes in the pool");
static_assert(std::is_standard_layout<OrvBMHash>::value &&
                  std::is_trivially_default_constructible<OrvBMHash>::value,
              "the hash table is used in place in shared memory");

#endif
