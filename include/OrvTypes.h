// Integer and identifier types shared by every component.
//
// All multi-byte values stored in pages and in shared memory use the
// machine's native byte order.
#ifndef ORV_TYPES_H
#define ORV_TYPES_H

#include <cstdint>

typedef std::int8_t Sint8;
typedef std::uint8_t Uint8;
typedef std::int16_t Sint16;
typedef std::uint16_t Uint16;
typedef std::int32_t Sint32;
typedef std::uint32_t Uint32;
typedef std::int64_t Sint64;
typedef std::uint64_t Uint64;

// Page number within a segment.
typedef Uint16 PageId;
// Slot number on a data page.
typedef Uint8 SlotId;
// Number of a segment file; 0 is no segment.
typedef Uint16 SegmentId;
// Table t is segment t; index i is segment 2*i + 32767.
typedef SegmentId TableId;
typedef SegmentId IndexId;

enum OrvDataType : Sint32 { VARCHAR = 0, INTEGER = 1, UnknownDataType = 2 };

enum OrvIndexType : Sint32 { BTree = 0, Hash = 1, UnknownIndexType = 2 };

static_assert(sizeof(OrvDataType) == 4, "data types are stored as 4 bytes");
static_assert(sizeof(OrvIndexType) == 4, "index types are stored as 4 bytes");

#endif
