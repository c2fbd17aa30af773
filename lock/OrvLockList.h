// The byte layout of the lock list in the data of the LockList memory set.
//
// Shared by every engine process; all changes are made under the header's
// latch in exclusive mode. Native byte order, every field at its natural
// alignment.
//
//   offset    size      contents
//   0         424       Header
//   424       2045596   73057 LockEntry records (indices 0 .. MAX_ENTRY)
//   2046020   2020      101 WaitingEntry records (indices 0 .. MAX_ENTRY_WAITING)
//   2048040   10240     256 ProcessSlot records (the processes attached)
//   2058280             end
//
// Chains: every lock entry is in exactly one doubly linked chain, a hash
// bucket (in use; newest first) or the free chain (head 100 of index;
// transaction (0,0)). The free chain never runs empty: the last free entry
// is never handed out. Every waiting entry is either free (transaction
// (0,0), chained through nextEntry from nextFreeEntry; entry 100 always last)
// or used (chained from firstUsedWaitingEntry, the newest, through prevEntry
// to older ones, and back through nextEntry). A used waiting entry names a
// lock entry in use of another transaction: the one it waits for.
//
// Process table: every process that makes a lock manager takes a slot and
// names itself by process id and start time (support/OrvProcessIdentity.h);
// lock entries carry only the process id, which the slot turns into one
// process, so that the entries of a process that died are told from those
// of a later process that got the same id. At most one slot holds a given
// process id while entries of that id are in the list. Everything but
// lastEntry is changed under the latch; lastEntry is written by its own
// process alone, with one atomic store, and read by a process that takes
// over after it died.
#ifndef ORV_LOCK_LIST_H
#define ORV_LOCK_LIST_H

#include "OrvLock.h"
#include "lock/OrvLockCompatibility.h"
#include "support/OrvLatch.h"

#include <cstddef>

// Header, 424 bytes:
//
//   offset  size  field
//   0       4     latch                  OrvLatch guarding the whole list
//   4       4     countEntry             lock entries in use
//   8       404   index[101]             heads 0-99: buckets; 100: free chain
//   412     4     nextFreeEntry          head of the free waiting entries
//   416     4     firstUsedWaitingEntry  newest used waiting entry, or LIST_END_WAITING
//   420     4     dbRequestType          DBRequestType
struct OrvLockManager::Header {
    OrvLatch latch;
    Uint32 countEntry;
    Uint32 index[INDEX_LENGTH];
    Uint32 nextFreeEntry;
    Uint32 firstUsedWaitingEntry;
    DBRequestType dbRequestType;
};

// LockEntry, 28 bytes:
//
//   offset  size  field
//   0       4     lockType       LockType
//   4       8     transactionId  process id (4), count (2), padding (2)
//   12      2     segmentId
//   14      2     pageId
//   16      1     slotId
//   17      3     padding
//   20      4     prevEntry      index, or LIST_END
//   24      4     nextEntry      index, or LIST_END
struct OrvLockManager::LockEntry {
    LockType lockType;
    OrvTransactionId transactionId;
    SegmentId segmentId;
    PageId pageId;
    SlotId slotId;
    Uint32 prevEntry;
    Uint32 nextEntry;
};

// WaitingEntry, 20 bytes:
//
//   offset  size  field
//   0       8     waitingTransaction  the transaction that waits; (0,0) when free
//   8       4     indexOfLockEntry    the lock entry it waits for
//   12      4     prevEntry           index, or LIST_END_WAITING
//   16      4     nextEntry           index, or LIST_END_WAITING
struct OrvLockManager::WaitingEntry {
    OrvTransactionId waitingTransaction;
    Uint32 indexOfLockEntry;
    Uint32 prevEntry;
    Uint32 nextEntry;
};

// ProcessSlot, 40 bytes:
//
//   offset  size  field
//   0       4     pid         process id; 0 when the slot is free
//   4       4     rollingBack 1 while the process's transaction rolls back
//   8       8     startTime   the process's start time (clock ticks since boot)
//   16      8     lastEntry   the last log entry the process wrote for a
//                             transaction of its own: count (16 bits), file
//                             number (16), offset (32); 0 when none
//   24      4     takerPid    the process that takes over the slot of a dead
//                             process, 0 while none does
//   28      4     padding
//   32      8     takerStart  that process's start time
struct OrvLockManager::ProcessSlot {
    Sint32 pid;
    Uint32 rollingBack;
    Uint64 startTime;
    Uint64 lastEntry;
    Sint32 takerPid;
    Uint32 padding2;
    Uint64 takerStart;
};

// What one walk of a bucket found out about one resource (process-local):
// the first entry (the newest) of each kind, and the counts.
struct OrvLockManager::ResourceScan {
    Uint32 first = LIST_END;
    Uint32 count = 0;
    Uint32 firstMine = LIST_END;
    Uint32 countMine = 0;
    Uint32 firstOther = LIST_END;
    Uint32 mineOfType[OrvLockList::NUMBER_OF_LOCK_TYPES] = {LIST_END, LIST_END, LIST_END, LIST_END};
    Uint32 otherOfType[OrvLockList::NUMBER_OF_LOCK_TYPES] = {LIST_END, LIST_END, LIST_END,
                                                             LIST_END};
};

namespace OrvLockList {

using LockType = OrvLockManager::LockType;
using LockEntry = OrvLockManager::LockEntry;
using WaitingEntry = OrvLockManager::WaitingEntry;

constexpr Uint32 LIST_END = OrvLockManager::LIST_END;
constexpr Uint32 LIST_END_WAITING = OrvLockManager::LIST_END_WAITING;

// The transaction id of a free entry.
inline const OrvTransactionId& noTransaction() {
    return OrvTransactionId::INVALID_TRANSACTION_ID;
}

constexpr std::size_t HEADER_SIZE = 424;
constexpr std::size_t LOCK_ENTRY_SIZE = 28;
constexpr std::size_t WAITING_ENTRY_SIZE = 20;
constexpr std::size_t PROCESS_SLOT_SIZE = 40;
constexpr std::size_t LOCK_ENTRIES_OFFSET = HEADER_SIZE;
constexpr std::size_t WAITING_LIST_OFFSET =
    LOCK_ENTRIES_OFFSET + (OrvLockManager::MAX_ENTRY + 1) * LOCK_ENTRY_SIZE;
constexpr std::size_t PROCESS_TABLE_OFFSET =
    WAITING_LIST_OFFSET + (OrvLockManager::MAX_ENTRY_WAITING + 1) * WAITING_ENTRY_SIZE;
// Bytes of the whole layout: more than ORV_LOCK_LIST_SIZE, so the set is
// sized from the layout, not from that constant.
constexpr std::size_t LAYOUT_SIZE =
    PROCESS_TABLE_OFFSET + OrvLockManager::MAX_PROCESSES * PROCESS_SLOT_SIZE;

inline OrvLockManager::LockEntry* lockEntriesOf(OrvLockManager::Header* header) {
    return reinterpret_cast<OrvLockManager::LockEntry*>(reinterpret_cast<char*>(header) +
                                                        LOCK_ENTRIES_OFFSET);
}
inline OrvLockManager::WaitingEntry* waitingEntriesOf(OrvLockManager::Header* header) {
    return reinterpret_cast<OrvLockManager::WaitingEntry*>(reinterpret_cast<char*>(header) +
                                                           WAITING_LIST_OFFSET);
}

inline OrvLockManager::ProcessSlot* processSlotsOf(OrvLockManager::Header* header) {
    return reinterpret_cast<OrvLockManager::ProcessSlot*>(reinterpret_cast<char*>(header) +
                                                          PROCESS_TABLE_OFFSET);
}

inline const OrvLockManager::LockEntry* lockEntriesOf(const OrvLockManager::Header* header) {
    return reinterpret_cast<const OrvLockManager::LockEntry*>(
        reinterpret_cast<const char*>(header) + LOCK_ENTRIES_OFFSET);
}
inline const OrvLockManager::WaitingEntry* waitingEntriesOf(const OrvLockManager::Header* header) {
    return reinterpret_cast<const OrvLockManager::WaitingEntry*>(
        reinterpret_cast<const char*>(header) + WAITING_LIST_OFFSET);
}

// ---- walks: indices read from shared memory are checked before use ----------

// The shared list was found in a state its operations never leave it in:
// traces `what` and throws ORV_INTERNAL_FAIL.
[[noreturn]] void lockListDamaged(const char* what);

inline Uint32 checkedEntry(Uint32 index) {
    if (index > OrvLockManager::MAX_ENTRY) {
        lockListDamaged("lock entry index out of range");
    }
    return index;
}
inline Uint32 checkedEntryOrEnd(Uint32 index) {
    return index == OrvLockManager::LIST_END ? index : checkedEntry(index);
}
inline Uint32 checkedWaiting(Uint32 slot) {
    if (slot > OrvLockManager::MAX_ENTRY_WAITING) {
        lockListDamaged("waiting entry index out of range");
    }
    return slot;
}
inline Uint32 checkedWaitingOrEnd(Uint32 slot) {
    return slot == OrvLockManager::LIST_END_WAITING ? slot : checkedWaiting(slot);
}

// Calls visit(index, entry) for each entry of a bucket, newest first, until
// visit returns false. A chain longer than the whole list has a cycle.
template <typename Visit>
void walkBucket(const OrvLockManager::Header* header, const OrvLockManager::LockEntry* entries,
                Uint32 bucket, Visit visit) {
    Uint32 index = checkedEntryOrEnd(header->index[bucket]);
    Uint32 steps = 0;
    while (index != OrvLockManager::LIST_END) {
        if (++steps > OrvLockManager::MAX_ENTRY + 1) {
            lockListDamaged("a bucket chain does not end");
        }
        const OrvLockManager::LockEntry& entry = entries[index];
        if (!visit(index, entry)) {
            return;
        }
        index = checkedEntryOrEnd(entry.nextEntry);
    }
}

// Calls visit(slot, entry) for each used waiting entry, newest first, until
// visit returns false.
template <typename Visit>
void walkWaiting(const OrvLockManager::Header* header, const OrvLockManager::WaitingEntry* entries,
                 Visit visit) {
    Uint32 slot = checkedWaitingOrEnd(header->firstUsedWaitingEntry);
    Uint32 steps = 0;
    while (slot != OrvLockManager::LIST_END_WAITING) {
        if (++steps > OrvLockManager::MAX_ENTRY_WAITING + 1) {
            lockListDamaged("the waiting chain does not end");
        }
        const OrvLockManager::WaitingEntry& entry = entries[slot];
        if (!visit(slot, entry)) {
            return;
        }
        slot = checkedWaitingOrEnd(entry.prevEntry);
    }
}

} // namespace OrvLockList

static_assert(sizeof(OrvLockManager::LockType) == 4 && sizeof(OrvLockManager::DBRequestType) == 4,
              "the enumerations are stored as 32 bits");
static_assert(sizeof(OrvTransactionId) == 8, "a transaction id takes 8 bytes");

static_assert(sizeof(OrvLockManager::Header) == OrvLockList::HEADER_SIZE, "Header size");
static_assert(offsetof(OrvLockManager::Header, latch) == 0, "Header.latch");
static_assert(offsetof(OrvLockManager::Header, countEntry) == 4, "Header.countEntry");
static_assert(offsetof(OrvLockManager::Header, index) == 8, "Header.index");
static_assert(offsetof(OrvLockManager::Header, nextFreeEntry) == 412, "Header.nextFreeEntry");
static_assert(offsetof(OrvLockManager::Header, firstUsedWaitingEntry) == 416,
              "Header.firstUsedWaitingEntry");
static_assert(offsetof(OrvLockManager::Header, dbRequestType) == 420, "Header.dbRequestType");

static_assert(sizeof(OrvLockManager::LockEntry) == OrvLockList::LOCK_ENTRY_SIZE, "LockEntry size");
static_assert(offsetof(OrvLockManager::LockEntry, lockType) == 0, "LockEntry.lockType");
static_assert(offsetof(OrvLockManager::LockEntry, transactionId) == 4, "LockEntry.transactionId");
static_assert(offsetof(OrvLockManager::LockEntry, segmentId) == 12, "LockEntry.segmentId");
static_assert(offsetof(OrvLockManager::LockEntry, pageId) == 14, "LockEntry.pageId");
static_assert(offsetof(OrvLockManager::LockEntry, slotId) == 16, "LockEntry.slotId");
static_assert(offsetof(OrvLockManager::LockEntry, prevEntry) == 20, "LockEntry.prevEntry");
static_assert(offsetof(OrvLockManager::LockEntry, nextEntry) == 24, "LockEntry.nextEntry");

static_assert(sizeof(OrvLockManager::WaitingEntry) == OrvLockList::WAITING_ENTRY_SIZE,
              "WaitingEntry size");
static_assert(offsetof(OrvLockManager::WaitingEntry, waitingTransaction) == 0,
              "WaitingEntry.waitingTransaction");
static_assert(offsetof(OrvLockManager::WaitingEntry, indexOfLockEntry) == 8,
              "WaitingEntry.indexOfLockEntry");
static_assert(offsetof(OrvLockManager::WaitingEntry, prevEntry) == 12, "WaitingEntry.prevEntry");
static_assert(offsetof(OrvLockManager::WaitingEntry, nextEntry) == 16, "WaitingEntry.nextEntry");

static_assert(sizeof(OrvLockManager::ProcessSlot) == OrvLockList::PROCESS_SLOT_SIZE,
              "ProcessSlot size");
static_assert(offsetof(OrvLockManager::ProcessSlot, startTime) == 8, "ProcessSlot.startTime");
static_assert(offsetof(OrvLockManager::ProcessSlot, lastEntry) == 16, "ProcessSlot.lastEntry");
static_assert(offsetof(OrvLockManager::ProcessSlot, takerPid) == 24, "ProcessSlot.takerPid");
static_assert(offsetof(OrvLockManager::ProcessSlot, takerStart) == 32, "ProcessSlot.takerStart");

static_assert(OrvLockList::WAITING_LIST_OFFSET == 2046020, "waiting list behind entry 73056");
static_assert(OrvLockList::PROCESS_TABLE_OFFSET == 2048040,
              "process table behind the waiting list");
static_assert(OrvLockList::PROCESS_TABLE_OFFSET % 8 == 0, "the process table is 8-byte aligned");
static_assert(OrvLockList::LAYOUT_SIZE == 2058280, "the whole lock list");

#endif
