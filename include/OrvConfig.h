// Compiled-in constants of the engine. There is no configuration file; the
// rest of the configuration comes from environment variables.
#ifndef ORV_CONFIG_H
#define ORV_CONFIG_H

#include "OrvTypes.h"

#include <cstddef>

constexpr Uint32 ORV_PAGE_SIZE = 4096;

constexpr PageId ORV_MIN_PAGE_ID = 0;
constexpr PageId ORV_MAX_PAGE_ID = 65534;
constexpr PageId ORV_INVALID_PAGE_ID = 65535;

constexpr SlotId ORV_SLOT_METADATA = 254;
constexpr SlotId ORV_INVALID_SLOT_ID = 255;

constexpr TableId ORV_UNKNOWN_TABLE_ID = 0;
constexpr TableId ORV_MIN_TABLE_ID = 1;
constexpr TableId ORV_MAX_TABLE_ID = 32767;

constexpr IndexId ORV_UNKNOWN_INDEX_ID = 0;
constexpr IndexId ORV_MIN_INDEX_ID = 1;
constexpr IndexId ORV_MAX_INDEX_ID = 16384;

constexpr Uint32 ORV_MAX_TABLE_NAME_LENGTH = 128;
constexpr Uint32 ORV_MAX_COLUMN_NAME_LENGTH = 128;
constexpr Uint32 ORV_MAX_INDEX_NAME_LENGTH = 128;
constexpr Uint32 ORV_INDEX_VARCHAR_LENGTH = 255;

constexpr std::size_t ORV_BUFFER_POOL_SIZE = 4096000;
constexpr std::size_t ORV_LOCK_LIST_SIZE = 2048000;
constexpr std::size_t ORV_LOG_FILE_HANDLING_SIZE = 4096;

// Seconds a lock request waits before it gives up.
constexpr Uint32 ORV_LOCK_TIMEOUT = 20;

constexpr const char* ORV_DEFAULT_DATABASE_PATH = ".";

constexpr Uint32 ORV_SQLSTATE_LENGTH = 5;
constexpr Uint32 ORV_ERROR_MESSAGE_LENGTH = 1024;

constexpr Sint8 ORV_MIN_SINT8 = -128;
constexpr Sint8 ORV_MAX_SINT8 = 127;
constexpr Uint8 ORV_MIN_UINT8 = 0;
constexpr Uint8 ORV_MAX_UINT8 = 255;
constexpr Sint16 ORV_MIN_SINT16 = -32767 - 1;
constexpr Sint16 ORV_MAX_SINT16 = 32767;
constexpr Uint16 ORV_MIN_UINT16 = 0;
constexpr Uint16 ORV_MAX_UINT16 = 65535;
constexpr Sint32 ORV_MIN_SINT32 = -2147483647 - 1;
constexpr Sint32 ORV_MAX_SINT32 = 2147483647;
constexpr Uint32 ORV_MIN_UINT32 = 0;
constexpr Uint32 ORV_MAX_UINT32 = 4294967295U;
constexpr Sint64 ORV_MIN_SINT64 = -9223372036854775807LL - 1;
constexpr Sint64 ORV_MAX_SINT64 = 9223372036854775807LL;
constexpr Uint64 ORV_MIN_UINT64 = 0;
constexpr Uint64 ORV_MAX_UINT64 = 18446744073709551615ULL;

#endif
