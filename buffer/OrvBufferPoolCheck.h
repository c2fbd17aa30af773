// Structure checker of the buffer pool's hash table and LRU list.
//
// Between two buffer operations the pool satisfies:
//   - every list of either structure is circular and doubly linked (each
//     entry's next names an entry whose prev names it back), and every link
//     names an entry of the structure;
//   - every frame 0..991 lies on exactly one hash list and on exactly one LRU
//     list;
//   - a frame is empty (segment 0) exactly when it is on the hash's free list
//     and on the LRU's empty list; an empty frame is neither fixed nor dirty;
//   - a frame holding page p lies in bucket 993 + p mod 199, and no two frames
//     hold the same (segment, page).
// Tests call the checker after sequences of operations; stress and crash
// tests call it at their end. It only reads; the caller holds the pool latch
// (shared suffices) when the structures lie in the pool.
#ifndef ORV_BUFFER_POOL_CHECK_H
#define ORV_BUFFER_POOL_CHECK_H

#include "OrvBuffer.h"
#include "OrvTypes.h"
#include "buffer/OrvBMHash.h"
#include "buffer/OrvLRU.h"

#include <string>
#include <vector>

class OrvBufferPoolCheck {
public:
    // "" when the structures are consistent, else a description of the first
    // problem found. `frames` is frame 0 of the 992 frames the structures index.
    static std::string check(const OrvBMHash& hash, const OrvLRU& lru, const OrvPage* frames);

    // "" when the fixers' table agrees with the frames: every slot in use
    // names at most 62 entries, each of a frame in range that holds a page,
    // no frame twice, no count 0; no two slots of one process; and each
    // frame's fixCount is at least the fixes the slots record for it (equal
    // when `complete`: every fixing process had a slot and recorded all its
    // fixes).
    static std::string checkFixers(const OrvBufferFixer* fixers, const OrvPage* frames,
                                   bool complete);

    // The entries of one list, from its head's next along next up to the head
    // (not included). Stops after 992 entries or at a link outside the table;
    // `complete` tells whether the head was reached.
    static std::vector<Uint16> hashList(const OrvBMHash& hash, Uint16 head, bool& complete);
    static std::vector<Uint16> lruList(const OrvLRU& lru, Uint16 head, bool& complete);
};

#endif
