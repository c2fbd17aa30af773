// The data of the shared memory set BufferPool, as every process sees it
// from the address that connectToMemorySet returns.
//
//   offset  size          content
//   0       4             latch   OrvLatch serialising all processes on the pool
//   4       8             header  read counters over all processes
//   12      4768          hash    OrvBMHash, 1192 entries of 4 bytes
//   4780    3976          lru     OrvLRU, 994 entries of 4 bytes
//   8756    992 * 4116    frames  OrvPage; frame i at 8756 + i*4116
//
// 4091828 of the set's 4096000 bytes are used. The set is zero when created,
// so every frame starts empty (segment 0, not fixed, clean).
//
// Process safety: the latch guards everything after it; see OrvBuffer.h.
#ifndef ORV_BUFFER_POOL_H
#define ORV_BUFFER_POOL_H

#include "OrvBuffer.h"
#include "OrvConfig.h"
#include "buffer/OrvBMHash.h"
#include "buffer/OrvLRU.h"
#include "support/OrvLatch.h"

#include <cstddef>
#include <type_traits>

// Sizing: each frame is charged ORV_BM_SINGLE_ENTRY_SIZE bytes (its page, its
// hash and LRU entries and a share of the list heads), and the number of
// frames is what fits into the set after ORV_BM_POOL_OVERHEAD bytes.
constexpr std::size_t ORV_BM_POOL_OVERHEAD = 18;
constexpr std::size_t ORV_BM_SINGLE_ENTRY_SIZE = 4125;
static_assert((ORV_BUFFER_POOL_SIZE - ORV_BM_POOL_OVERHEAD) / ORV_BM_SINGLE_ENTRY_SIZE ==
                  ORV_BM_NUM_PAGES,
              "992 frames fit into the set");

// Counters over all processes.
//
//   offset  size  field
//   0       4     logicalReads   getPage calls
//   4       4     physicalReads  getPage calls that read the file
struct OrvBufferPoolHeader {
    Uint32 logicalReads;
    Uint32 physicalReads;
};

static_assert(sizeof(OrvBufferPoolHeader) == 8, "the header is 8 bytes");
static_assert(offsetof(OrvBufferPoolHeader, physicalReads) == 4, "physicalReads at byte 4");

// (logical - physical) / logical. A counter that wrapped (or a damaged one in
// the pool) can show more physical than logical reads; no ratio can be told
// then, and 0 is given as before the first read.
inline float orvBufferHitRatio(Uint32 logical, Uint32 physical) {
    if (logical == 0 || physical > logical) {
        return 0.0f;
    }
    return static_cast<float>(logical - physical) / static_cast<float>(logical);
}

struct OrvBufferPoolLayout {
    OrvLatch latch;
    OrvBufferPoolHeader header;
    OrvBMHash hash;
    OrvLRU lru;
    OrvPage frames[ORV_BM_NUM_PAGES];
};

static_assert(std::is_standard_layout<OrvBufferPoolLayout>::value,
              "the pool is laid out by offset");
static_assert(offsetof(OrvBufferPoolLayout, latch) == 0, "latch at 0");
static_assert(offsetof(OrvBufferPoolLayout, header) == 4, "header at 4");
static_assert(offsetof(OrvBufferPoolLayout, hash) == 12, "hash table at 12");
static_assert(offsetof(OrvBufferPoolLayout, lru) == 4780, "LRU list at 4780");
static_assert(offsetof(OrvBufferPoolLayout, frames) == 8756, "frames at 8756");
static_assert(sizeof(OrvBufferPoolLayout) == 4091828, "the pool uses 4091828 bytes");
static_assert(sizeof(OrvBufferPoolLayout) <= ORV_BUFFER_POOL_SIZE, "the pool fits into its set");

#endif
