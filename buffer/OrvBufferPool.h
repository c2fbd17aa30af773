// The data of the shared memory set BufferPool, as every process sees it
// from the address that connectToMemorySet returns.
//
//   offset  size          content
//   0       4             latch   OrvLatch serialising all processes on the pool
//   4       8             header  read counters over all processes
//   12      4768          hash    OrvBMHash, 1192 entries of 4 bytes
//   4780    3976          lru     OrvLRU, 994 entries of 4 bytes
//   8756    992 * 4116    frames  OrvPage; frame i at 8756 + i*4116
//   4091828 4             padding
//   4091832 64 * 272      fixers  OrvBufferFixer; who holds the fixes
//
// The set has 4109240 bytes: ORV_BUFFER_POOL_SIZE sizes the frames, the
// fixers' table lies behind them. The set is zero when created, so every
// frame starts empty (segment 0, not fixed, clean) and every fixer's slot
// free.
//
// Fixers: each process that makes a buffer manager takes a slot, named by
// its process id and start time (support/OrvProcessIdentity.h), and counts
// there, per frame, the fixes it holds (under the pool latch, like the
// frame's own count). A frame's fixCount is the sum over all slots, plus the
// fixes a process could not record (a slot full, or no slot free), which
// are counted in its slot's `untracked` or nowhere. When a process has died,
// its slot tells which fixes to give back.
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

// One frame a process holds fixed, and how often.
struct OrvBufferFix {
    Uint16 frame;
    Uint16 count;
};

constexpr Uint32 ORV_BM_FIXERS = 64;
constexpr Uint32 ORV_BM_FIXES_PER_FIXER = 62;

// OrvBufferFixer, 272 bytes:
//
//   offset  size    field
//   0       4       pid        0 when the slot is free
//   4       4       used       entries of fixes in use (0 .. 62), first ones
//   8       8       startTime  the process's start time
//   16      4       untracked  fixes held beyond the 62 frames
//   20      4       padding
//   24      62 * 4  fixes      OrvBufferFix
struct OrvBufferFixer {
    Sint32 pid;
    Uint32 used;
    Uint64 startTime;
    Uint32 untracked;
    Uint32 padding;
    OrvBufferFix fixes[ORV_BM_FIXES_PER_FIXER];
};

static_assert(sizeof(OrvBufferFix) == 4, "a fix entry is 4 bytes");
static_assert(sizeof(OrvBufferFixer) == 272, "a fixer's slot is 272 bytes");
static_assert(offsetof(OrvBufferFixer, startTime) == 8, "startTime at 8");
static_assert(offsetof(OrvBufferFixer, untracked) == 16, "untracked at 16");
static_assert(offsetof(OrvBufferFixer, fixes) == 24, "fixes at 24");

struct OrvBufferPoolLayout {
    OrvLatch latch;
    OrvBufferPoolHeader header;
    OrvBMHash hash;
    OrvLRU lru;
    OrvPage frames[ORV_BM_NUM_PAGES];
    OrvBufferFixer fixers[ORV_BM_FIXERS];
};

static_assert(std::is_standard_layout<OrvBufferPoolLayout>::value,
              "the pool is laid out by offset");
static_assert(offsetof(OrvBufferPoolLayout, latch) == 0, "latch at 0");
static_assert(offsetof(OrvBufferPoolLayout, header) == 4, "header at 4");
static_assert(offsetof(OrvBufferPoolLayout, hash) == 12, "hash table at 12");
static_assert(offsetof(OrvBufferPoolLayout, lru) == 4780, "LRU list at 4780");
static_assert(offsetof(OrvBufferPoolLayout, frames) == 8756, "frames at 8756");
static_assert(offsetof(OrvBufferPoolLayout, fixers) == 4091832, "fixers at 4091832");
static_assert(sizeof(OrvBufferPoolLayout) == 4109240, "the pool uses 4109240 bytes");
// What the memory manager makes the set; checked when a process attaches.
constexpr std::size_t ORV_BM_POOL_SET_SIZE = 4109240;
static_assert(sizeof(OrvBufferPoolLayout) <= ORV_BM_POOL_SET_SIZE, "the pool fits into its set");

#endif
