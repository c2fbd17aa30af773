// OrvLatch: a short-term reader/writer lock between processes.
//
// Process safety: a latch is a System V semaphore set of three semaphores; the
// OrvLatch object holds only the set's id and lies at the start of the data of
// a shared memory set (OrvMemoryManager), so every attached process works on the same
// semaphores. Any number of processes may hold it shared, or one exclusively;
// a waiting exclusive request blocks new shared ones, so writers do not starve.
// Each process is single-threaded.
//
// Layout in shared memory:
//
//   offset  size  field
//   0       4     semaphoreId  (Sint32; -1 after destroy)
//
// Semaphores of the set:
//
//   number  name                          initial  meaning
//   0       ORV_LATCH_BLOCK_NEW_SHARED    1        0 while an exclusive request holds or waits
//   1       ORV_LATCH_SHARED_COUNTER      0        number of shared holders
//   2       ORV_LATCH_EXCLUSIVE           0        1 while held exclusively
//
// get(Exclusive) first tries its whole acquisition as one IPC_NOWAIT operation
// list and falls back to the two-step protocol below only when that would
// wait. Both make the same changes with the same undo flags, so processes that
// use only the two-step protocol share a latch with ones that use the fast
// path. A release whose mode is known goes straight to that mode's list.
//
// The shared count and the exclusive entry of get(Exclusive) carry SEM_UNDO, so
// a process that dies holding the latch shared leaves it free. One that dies
// holding it exclusively leaves semaphore 2 at 1 with the gate open again
// (its undo entry), a state no live holder leaves: every later get then
// fails at once with ORV_LATCH_HOLDER_DEAD, naming the memory set and the
// process, instead of waiting. What the latch guards may have been left half
// changed, so nothing frees the latch but the removal of the set: a forced
// stop, then a start, which recovers the database from the log.
//
// Every operation returns ORV_SUCCESS, or records the failure in the error
// object (component Support; tokens: system error number and text) and returns
// its code. A process must not request a latch it already holds: a second
// exclusive request waits for ever, and so may a second shared one.
#ifndef ORV_LATCH_H
#define ORV_LATCH_H

#include "OrvErrorCodes.h"
#include "OrvTypes.h"

#include <cstddef>
#include <type_traits>

constexpr int ORV_LATCH_BLOCK_NEW_SHARED = 0;
constexpr int ORV_LATCH_SHARED_COUNTER = 1;
constexpr int ORV_LATCH_EXCLUSIVE = 2;
constexpr int ORV_LATCH_NUMBER_OF_SEMAPHORES = 3;

// Never constructed as an object of its own: it lies in shared memory and is
// set up by initialize(). Not copyable, since a copy would not see destroy().
class OrvLatch {
public:
    enum LatchMode : int { Exclusive = 0, Shared = 1 };

    // Creates a new private semaphore set (permissions 0660) with the values
    // 1, 0, 0 and stores its id; overwrites whatever id was stored. Returns
    // ORV_LATCH_SEM_CREATE_FAIL or ORV_LATCH_SEM_OPERATION_FAIL (the set is
    // then removed again and semaphoreId is -1).
    [[nodiscard]] OrvErrorCode initialize();

    // Removes the semaphore set and sets semaphoreId to -1; does nothing when
    // semaphoreId is negative. Without force it first acquires the latch
    // exclusively, so it waits until every holder has released; the caller must
    // not hold the latch then. Processes waiting on the set, and every later
    // operation of other processes, fail with ORV_LATCH_SEM_OPERATION_FAIL.
    // Returns the failure of that get, or the warning ORV_LATCH_SEM_DESTROY_WARN.
    [[nodiscard]] OrvErrorCode destroy(bool force);

    // Acquires the latch in the given mode (any mode but Shared is exclusive),
    // waiting as long as needed. REQUIRES: the calling process does not hold the
    // latch. Returns ORV_LATCH_SEM_OPERATION_FAIL when the set was removed,
    // ORV_LATCH_HOLDER_DEAD (memory set, semaphore set, process id) when a
    // process died holding it exclusively; the latch is not held then.
    // An uncontended exclusive request costs one semop call; one that must
    // wait continues as getTwoStep.
    [[nodiscard]] OrvErrorCode get(LatchMode latchMode);
    // The acquisition without the one-call attempt: for Exclusive, close the
    // gate (waiting while it is closed), then wait for the shared holders to
    // leave and take the latch. Same contract and results as get. Kept
    // callable so that a process on this protocol can be run against one on
    // the fast path.
    [[nodiscard]] OrvErrorCode getTwoStep(LatchMode latchMode);

    // Releases the latch in whichever mode the calling process holds it: first
    // tries a shared release, which fails without effect while the latch is
    // held exclusively, then releases the exclusive hold.
    // REQUIRES: the calling process holds it (a release of a latch that nobody
    // holds waits until somebody holds it shared). Returns
    // ORV_LATCH_SEM_OPERATION_FAIL when the set was removed.
    [[nodiscard]] OrvErrorCode release();
    // Releases a hold of the given mode (any mode but Shared is exclusive) with
    // one semop call. REQUIRES: the calling process holds the latch in that
    // mode; a release in the wrong mode corrupts the latch's counts. Returns
    // ORV_LATCH_SEM_OPERATION_FAIL when the set was removed.
    [[nodiscard]] OrvErrorCode release(LatchMode latchMode);

    // Frees the latch when it is held exclusively by a process that no longer
    // exists (the last process to change semaphore 2 while it is 1 is the
    // holder); a live holder is left alone. Only the exclusive semaphore is
    // reset: the gate the holder closed was reopened by its undo entry when
    // it died. Sets broken to whether it freed the latch; returns
    // ORV_LATCH_SEM_OPERATION_FAIL when the set was removed. For the removal
    // of a set, which must not wait for ever on a dead holder.
    [[nodiscard]] OrvErrorCode breakDeadExclusiveHold(bool& broken);

    // The current number of shared holders. On failure (the set was removed)
    // sharedCount is left unchanged.
    [[nodiscard]] OrvErrorCode getSharedCount(Uint32& sharedCount) const;
    // Whether the latch is held exclusively; unchanged on failure.
    [[nodiscard]] OrvErrorCode isHeldExclusive(bool& isHeld) const;
    // Whether the latch is held in any mode; unchanged on failure.
    [[nodiscard]] OrvErrorCode isLocked(bool& isLatched) const;

    OrvLatch() = default;
    OrvLatch(const OrvLatch&) = delete;
    OrvLatch& operator=(const OrvLatch&) = delete;

    // The id of the semaphore set; -1 after it was removed.
    Sint32 semaphoreId;

private:
    // Records ORV_LATCH_HOLDER_DEAD for the holder of semaphore 2.
    OrvErrorCode reportDeadHolder() const;
};

static_assert(sizeof(OrvLatch) == 4, "an OrvLatch in shared memory is one Sint32");
static_assert(offsetof(OrvLatch, semaphoreId) == 0, "semaphoreId is at offset 0");
static_assert(std::is_standard_layout<OrvLatch>::value, "OrvLatch is a plain layout");
static_assert(std::is_trivially_default_constructible<OrvLatch>::value &&
                  std::is_trivially_destructible<OrvLatch>::value,
              "an OrvLatch is used in place in shared memory without construction");

// Holds a latch for the lifetime of the guard.
//
// The constructor acquires the latch with get(latchMode) and throws an
// OrvException with the call text "mLatch.get(latchMode)" when that fails (the
// latch is not held then). The destructor releases it in the mode it was taken
// and ignores a failure, which stays recorded in the error object; it never
// throws. The latch must outlive the guard. REQUIRES: the process does not
// hold the latch already. A successful acquisition and release allocate
// nothing: the exception's texts are built only on failure.
class OrvScopedLatch {
public:
    OrvScopedLatch(OrvLatch& latch, OrvLatch::LatchMode latchMode);
    virtual ~OrvScopedLatch();
    OrvScopedLatch(const OrvScopedLatch&) = delete;
    OrvScopedLatch& operator=(const OrvScopedLatch&) = delete;

protected:
    OrvLatch& mLatch;
    // Shared, or Exclusive for every other mode get accepts.
    OrvLatch::LatchMode mMode;
};

// Holds a latch exclusively. Operations that must run under the exclusive latch
// of a set take a const reference to one as proof that the caller holds it.
class OrvScopedExclusiveLatch : public OrvScopedLatch {
public:
    explicit OrvScopedExclusiveLatch(OrvLatch& latch);
    ~OrvScopedExclusiveLatch() override = default;
};

#endif
