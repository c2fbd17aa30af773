// Structure checker of the lock list: verifies the chains, counts and
// waiting entries described in lock/OrvLockList.h and reports every breach
// it finds. Used by the tests at their end; it never changes the list.
//
// Reads without the latch: call it while no process changes the list (or
// hold the latch). Every index it reads is checked before use, so a damaged
// list gives problems, never a crash.
#ifndef ORV_LOCK_LIST_CHECK_H
#define ORV_LOCK_LIST_CHECK_H

#include "lock/OrvLockList.h"

#include <string>
#include <vector>

namespace OrvLockList {

// One line per problem found; empty when the list is sound. Checks:
// - every bucket chain: indices in range, back links, entries in use, each
//   entry in the bucket of its resource, no entry twice;
// - the free chain: back links, free entries only, never empty;
// - every entry is in exactly one chain, and countEntry counts the buckets;
// - the waiting lists: the free chain ends with entry 100, the used chain's
//   links both ways, every entry in exactly one of them, free entries carry
//   (0,0), used ones name a lock entry in use of another transaction;
// - dbRequestType is DBNone exactly when no database entry exists, and
//   DBExclusive when an exclusive one does.
std::vector<std::string> checkStructure(const OrvLockManager::Header* header);

// Compares what the process's lock manager knows of its own entries with
// the list: every entry it records is in use with the same transaction,
// type and resource, every entry of the process in the list is recorded,
// at most one intention entry of a type per transaction and resource, and
// each intention entry's count of holds equals the locks of its transaction
// beneath it of the matching type (and is not zero unless it was asked for
// by itself). One line per problem; empty when they agree. REQUIRES: no
// other process changes the list meanwhile.
std::vector<std::string> checkOwnRecord(const OrvLockManager& manager);

// Whether the manager's record says that a lock of the current transaction
// covers this request (the answer a request gets without the latch).
bool coveredByOwnRecord(const OrvLockManager& manager, OrvLockManager::LockType lockType,
                        SegmentId segmentId, PageId pageId, SlotId slotId);

} // namespace OrvLockList

#endif
