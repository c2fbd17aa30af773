// Which lock types conflict: the one table every grant decision of the lock
// manager reads. Process-local constants; nothing here is shared.
#ifndef ORV_LOCK_COMPATIBILITY_H
#define ORV_LOCK_COMPATIBILITY_H

#include "OrvLock.h"

namespace OrvLockList {

constexpr Uint32 NUMBER_OF_LOCK_TYPES = 4;

// CONFLICTS[requested][held]: whether a request of one transaction must wait
// for an entry another transaction holds on the same resource. Entries of
// the requesting transaction itself never block it.
//
//   requested \ held   shared  exclusive  int.shared  int.exclusive
//   shared             -       waits      -           waits
//   exclusive          waits   waits      waits       waits
//   int. shared        -       waits      -           -
//   int. exclusive     waits   waits      -           -
//
// A shared request waits for an intention-exclusive entry: that entry means
// pages or slots beneath are being changed.
constexpr bool CONFLICTS[NUMBER_OF_LOCK_TYPES][NUMBER_OF_LOCK_TYPES] = {
    {false, true, false, true},
    {true, true, true, true},
    {false, true, false, false},
    {true, true, false, false},
};

// REQUIRES: both types are known (at most IntentionalExclusiveLock).
constexpr bool conflicts(OrvLockManager::LockType requested, OrvLockManager::LockType held) {
    return CONFLICTS[requested][held];
}

constexpr bool isKnownType(Uint32 lockType) {
    return lockType <= OrvLockManager::IntentionalExclusiveLock;
}

constexpr bool isPlainType(Uint32 lockType) {
    return lockType == OrvLockManager::SharedLock || lockType == OrvLockManager::ExclusiveLock;
}

// The intention type that a plain lock places on the levels above it.
constexpr OrvLockManager::LockType intentionOf(OrvLockManager::LockType lockType) {
    return lockType == OrvLockManager::SharedLock ||
                   lockType == OrvLockManager::IntentionalSharedLock
               ? OrvLockManager::IntentionalSharedLock
               : OrvLockManager::IntentionalExclusiveLock;
}

static_assert(conflicts(OrvLockManager::SharedLock, OrvLockManager::IntentionalExclusiveLock),
              "a shared lock waits for changes beneath");
static_assert(!conflicts(OrvLockManager::IntentionalExclusiveLock,
                         OrvLockManager::IntentionalSharedLock),
              "intention locks of both kinds share a resource");

} // namespace OrvLockList

#endif
