// OrvLRU: the buffer pool's list of frames in order of last use, and its list
// of empty frames.
//
// Process safety: as OrvBMHash: in the pool's shared memory, used only under
// the pool latch (exclusively for changes), linked by 16-bit indices, with a
// process-local pointer `pages` to frame 0.
//
// Entries (each { prev, next }, doubly linked circular lists through indices):
//
//   index      role
//   0 .. 991   one per frame; links the frame into exactly one list
//   992        EMPTY_LIST_HEAD: empty frames; next of the head is handed out next
//   993        USED_LIST_HEAD: frames holding pages; next of the head is the
//              most recently used, prev the least recently used
//
// Layout in shared memory (sizeof 3976, at pool offset 4780):
//
//   offset      size  field
//   4*i         2     lru[i].prev
//   4*i + 2     2     lru[i].next
//
// Links are untrusted like those of the hash table: every index is checked
// before use. Failures throw OrvException before any entry changes.
#ifndef ORV_LRU_H
#define ORV_LRU_H

#include "OrvBuffer.h"
#include "OrvTypes.h"

#include <cstddef>
#include <iosfwd>
#include <type_traits>

constexpr std::size_t ORV_BM_LRU_ENTRY_SIZE = 4;

class OrvLRU {
public:
    static constexpr Uint16 NUM_ENTRIES = ORV_BM_NUM_PAGES + 2;
    static constexpr Uint16 EMPTY_LIST_HEAD = ORV_BM_NUM_PAGES;
    static constexpr Uint16 USED_LIST_HEAD = ORV_BM_NUM_PAGES + 1;

    struct LruElement {
        Uint16 prev;
        Uint16 next;
    };

    // All frames on the empty list in ascending order; the used list empty.
    void initialize();
    // Frame 0 of the pool in this process; ORV_PARAMETER_FAIL for null.
    static void setPagesPointer(OrvPage* pages);
    static void resetPagesPointer();

    // The first empty frame, or EMPTY_LIST_HEAD (992) when there is none.
    Uint16 getFreeSlot() const;
    // True when no frame is empty.
    bool isFull() const;
    // Moves frame f (from the empty list) to the front of the used list.
    void insert(Uint16 frame);
    // Makes frame f (on the used list) the most recently used.
    void touch(Uint16 frame);
    // Moves frame f to the front of the empty list.
    void removeEntry(Uint16 frame);
    // Chooses a victim: the least recently used frame whose fix count is 0,
    // moved to the empty list. Throws ORV_NOT_FOUND_WARN, changing nothing,
    // when every used frame is fixed or none is used.
    void remove(Uint16& frame);

    // " Content of the LRU list" and one row per used frame, most recently
    // used first, to standard output (or os). REQUIRES: the pool latch.
    void dump() const;
    void dump(std::ostream& os) const;

private:
    friend class OrvBufferPoolCheck;

    Uint16 nextOf(Uint16 index) const;
    Uint16 prevOf(Uint16 index) const;
    void unlink(Uint16 index);
    void linkFirst(Uint16 index, Uint16 head);
    // Moves frame f to the front of the list of `head`; the links of both
    // places are checked before the first one changes.
    void moveToFront(Uint16 frame, Uint16 head);
    static void checkFrame(Uint16 frame);
    static void checkPages();

    LruElement lru[NUM_ENTRIES];

    static OrvPage* pages;
};

static_assert(OrvLRU::NUM_ENTRIES == 994, "992 frames and two list heads");
static_assert(sizeof(OrvLRU::LruElement) == ORV_BM_LRU_ENTRY_SIZE, "an entry is 4 bytes");
static_assert(offsetof(OrvLRU::LruElement, prev) == 0 && offsetof(OrvLRU::LruElement, next) == 2,
              "prev at byte 0, next at byte 2");
static_assert(sizeof(OrvLRU) == 3976, "the LRU list is 3976 bytes in the pool");
static_assert(std::is_standard_layout<OrvLRU>::value &&
                  std::is_trivially_default_constructible<OrvLRU>::value,
              "the LRU list is used in place in shared memory");

#endif
