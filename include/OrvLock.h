// Locking: the lock list shared by every engine process, and scoped locks.
//
// A transaction locks four levels of resources, named by (segment, page,
// slot) with NO_PAGE / NO_SLOT where a level has none:
//   database  (NO_SEG, NO_PAGE, NO_SLOT)     segment (s, NO_PAGE, NO_SLOT)
//   page      (s, p, NO_SLOT)                 slot    (s, p, slot)
// A page or slot lock first places an intention entry on each level above
// it, so that a segment lock sees the page and slot locks below it. A
// transaction holds at most one intention entry of each type on a segment or
// page: the locks beneath share it, and it goes with the last of them.
//
// When the list has no room for a page or slot request, the transaction's
// finer locks in that segment are replaced by one lock on the segment
// (exclusive if it holds or asks for any exclusive lock there), provided
// that lock can be granted at once; otherwise the request fails with
// ORV_LM_LOCK_LIST_FULL as before. Entries owned by live scoped locks stay.
//
// Compatibility of a request with an entry of ANOTHER transaction on the same
// resource (entries of the requesting transaction never block it):
//
//   requested \ held   shared  exclusive  int.shared  int.exclusive
//   shared             granted waits      granted     waits
//   exclusive          waits   waits      waits       waits
//   int. shared        granted waits      granted     granted
//   int. exclusive     waits   waits      granted     granted
//
// A request that cannot be granted is retried, giving the processor away
// between attempts, until it is granted, a deadlock is found or
// ORV_LOCK_TIMEOUT seconds have passed. A waiting request has one waiting
// entry in the list, naming a conflicting entry of another transaction (also
// while it waits for an intention entry above the lock); a new waiting entry
// that closes a cycle of waiting transactions is refused with
// ORV_LM_DEADLOCK.
//
// Process safety: the list lies in the shared memory set LockList and is
// shared by all processes; one OrvLatch at its start guards it. A request
// takes the latch exclusively once when nothing must wait (database check,
// intention entries and the lock in one hold), and once per attempt while it
// waits; a release takes it once. A request covered by a segment or page
// lock of the transaction (or an entry of the same type on the resource) is
// answered from the process's own record of its entries, without the latch,
// while no database lock is held. The queries take the latch shared; the
// dumps read without it. A process must not call any operation
// of this header while it holds the lock list latch itself (nothing outside
// the lock manager can). OrvLockManager is a per-process singleton and, like
// every engine process, single-threaded; its record of the entries it
// inserted is private to it.
//
// Locks belong to the transaction returned by
// OrvTransactionManager::getInstance()->getCurrentTransactionID() at the time
// of the call.
//
// Processes that die. Every process with a lock manager has a slot in the
// list's process table (process id and start time, and the last log entry
// it wrote for its own transaction). A request that would wait, or that
// finds the list full, looks for slots whose process is gone and takes each
// over (takeOverDeadProcesses): it rolls the dead process's transaction back
// from the log under the dead transaction's id while its entries stay in the
// list (they do not block the process that takes over; nobody else gets
// past them), then releases the dead process's page fixes, its lock entries
// and waiting entries, and frees the slot. One process takes a slot over at
// a time: it names itself in the slot, under the latch, and another live
// process leaves the slot alone (and waits on) until it is freed; a slot
// whose taker died too is taken over again. A process whose id was used by
// a process that died settles that process's slot before it inserts its own
// first entry, so that entries of one id always belong to one process.
//
// Errors are raised as OrvException: ORV_LM_LOCK_LIST_FULL,
// ORV_LM_WAITING_LIST_FULL (a request that must wait finds all 100 waiting
// entries in use), ORV_LM_DEADLOCK,
// ORV_LM_LOCK_TIME_OUT, ORV_LM_NO_SUCH_ENTRY, ORV_PARAMETER_FAIL for a lock
// type or resource an operation does not take, ORV_INTERNAL_FAIL when the
// shared list is found damaged (an index out of range, a chain that does not
// end), errors of the latch (ORV_LATCH_SEM_OPERATION_FAIL) and of the memory
// set (ORV_MM_...).
#ifndef ORV_LOCK_H
#define ORV_LOCK_H

#include "OrvTransaction.h"
#include "OrvTypes.h"

#include <memory>
#include <string>
#include <vector>

namespace OrvLockManagerProfiling {
class Profiler;
}
namespace OrvLockList {
class OwnLocks;
}
class OrvScopedExclusiveLatch;

class OrvLockManager {
public:
    // 32 bits wide: stored in the lock entries.
    enum LockType : Uint32 {
        SharedLock = 0,
        ExclusiveLock = 1,
        UpdateLock = 1, // another name for the exclusive type
        IntentionalSharedLock = 2,
        IntentionalExclusiveLock = 3
    };

    // The database-level lock state kept in the list's header.
    enum DBRequestType : Uint32 { DBNone = 0, DBShared = 1, DBExclusive = 2 };

    static constexpr SegmentId NO_SEG = 0;
    static constexpr PageId NO_PAGE = 0xFFFF;
    static constexpr SlotId NO_SLOT = 0xFF;

    // Heads 0 to 99 of the header's index are hash buckets, head 100 is the
    // head of the chain of free lock entries.
    static constexpr Uint32 INDEX_LENGTH = 101;
    static constexpr Uint32 NUMBER_OF_BUCKETS = 100;
    static constexpr Uint32 FREE_CHAIN_HEAD = 100;
    // Highest lock entry index, and the most entries in use at once.
    static constexpr Uint32 MAX_ENTRY = 73056;
    static constexpr Uint32 LIST_END = 73057;
    static constexpr Uint32 MAX_ENTRY_WAITING = 100;
    static constexpr Uint32 LIST_END_WAITING = 101;
    // Slots of the process table: processes with a lock manager at once.
    static constexpr Uint32 MAX_PROCESSES = 256;
    static constexpr Uint32 NO_PROCESS_SLOT = MAX_PROCESSES;

    // The byte layout of the list; defined in lock/OrvLockList.h.
    struct Header;
    struct LockEntry;
    struct WaitingEntry;
    struct ProcessSlot;

    // ---- the process's manager and the shared list --------------------------

    // The process's manager, made on first use: attaches to the LockList set
    // (ORV_MM_SHM_NOT_EXISTS when the engine is not started) and registers
    // the debug command "LM_STATS".
    static OrvLockManager* getInstance();
    // Deletes the manager if there is one: releases every lock the process
    // still holds (releaseAll) and detaches. Never throws; a failure is
    // recorded in the error object.
    static void deleteInstance();

    // Creates the LockList set with its latch and an empty list, then
    // detaches. Throws ORV_MM_SHM_CREATE_FAIL when it exists already.
    static void initializeLockList();
    // Removes the latch's semaphore set and the LockList set
    // (OrvSharedSet::destroy). An exclusive hold of the latch left by a
    // process that died changing the list is freed; without force it then
    // waits for the live holders. Throws ORV_MM_SHM_NOT_EXISTS when there is
    // no list, so that a stop can tell a set it removed from one that was
    // gone.
    static void destroyLockList(bool force = false);
    // Whether any lock entry is in use; a list that does not exist is not in
    // use. Reads the count without the latch. REQUIRES: this process has no
    // lock manager, or uses it (then its attachment is read).
    static void isLockListInUse(bool& inUse);

    static LockType getIntentionalLockType(LockType lockType);
    // The bucket of a resource, 0 to 99.
    static Uint8 getHash(SegmentId segmentId, PageId pageId, SlotId slotId);

    OrvLockManager(const OrvLockManager&) = delete;
    OrvLockManager& operator=(const OrvLockManager&) = delete;

    // ---- requests --------------------------------------------------------------
    // lockType is SharedLock or ExclusiveLock; the segment is not NO_SEG, the
    // page not NO_PAGE, the slot not NO_SLOT (ORV_PARAMETER_FAIL otherwise).
    // A lock already covered (by a lock of the transaction on the level above,
    // by an entry of the same type on the resource, or by its database lock)
    // is granted without a new entry unless forceRequest. A database lock of
    // another transaction that conflicts (an exclusive one, or a shared one
    // against an exclusive request) makes a transaction without entries wait
    // and refuses one with entries at once. Throws
    // ORV_LM_LOCK_TIME_OUT (type name, segment [, page [, slot]]),
    // ORV_LM_DEADLOCK, ORV_LM_LOCK_LIST_FULL, ORV_LM_WAITING_LIST_FULL. A
    // request that fails leaves no entry of its own behind: no lock, no
    // intention lock, no waiting entry.

    void requestSegment(SegmentId segmentId, LockType lockType, bool forceRequest = false);
    void requestPage(SegmentId segmentId, PageId pageId, LockType lockType,
                     bool forceRequest = false);
    void requestSlot(SegmentId segmentId, PageId pageId, SlotId slotId, LockType lockType,
                     bool forceRequest = false);

    // One attempt only: false when the lock cannot be granted at once (also
    // when an intention lock above it cannot). A lock held by another
    // transaction is a refusal, never a deadlock: the attempt does not enter
    // the waiting list. The other errors are raised as by the requests above.
    bool tryRequestSegment(SegmentId segmentId, LockType lockType, bool forceRequest = false);
    bool tryRequestPage(SegmentId segmentId, PageId pageId, LockType lockType,
                        bool forceRequest = false);
    bool tryRequestSlot(SegmentId segmentId, PageId pageId, SlotId slotId, LockType lockType,
                        bool forceRequest = false);

    // The database lock. A shared one is granted while no other transaction
    // holds an exclusive or intention-exclusive entry, an exclusive one while
    // no other transaction holds any entry. Throws ORV_LM_LOCK_TIME_OUT
    // ("shared" or "exclusive").
    void requestDB(LockType lockType);

    // An intention entry of the intention type of lockType on the segment
    // or page (none is added when the transaction holds one of that type
    // there already); waits up to ORV_LOCK_TIMEOUT seconds without a waiting
    // entry. An entry asked for this way stays until releaseAll. Throws
    // ORV_LM_LOCK_TIME_OUT ("intentionalShared" / "intentionalExclusive",
    // segment [, page]).
    void requestIntentionalOnSegment(SegmentId segmentId, LockType lockType);
    void requestIntentionalOnPage(SegmentId segmentId, PageId pageId, LockType lockType);

    // ---- releases (of the current transaction) ------------------------------
    // Each deletes the transaction's newest shared or exclusive entry on
    // exactly this resource (never one of its intention entries there, nor
    // one that a live OrvScopedLock owns), gives back its hold on the
    // intention entry of its type on each level above (the entry goes with
    // its last hold), and removes every waiting entry that waits for the
    // deleted entries. A page or slot lock that an escalation took away
    // releases nothing (the segment lock holds it until releaseAll). Throws
    // ORV_LM_NO_SUCH_ENTRY (segment [, page [, slot]]) when the transaction
    // holds no entry there; nothing is changed then. A lock that was granted
    // without an entry (see above) must not be released: the release would
    // take another entry of the transaction on the resource, or fail.
    // OrvScopedLock keeps track of this.

    void releaseSlot(SegmentId segmentId, PageId pageId, SlotId slotId);
    void releasePage(SegmentId segmentId, PageId pageId);
    void releaseSegment(SegmentId segmentId);
    // Also sets the database lock state to what the remaining database
    // entries say (DBNone when none remains).
    void releaseDB();
    // Releases every entry this process inserted and has not released (of
    // its current and earlier transactions) and the process's waiting
    // entries. Entries that no longer belong to this process are skipped.
    void releaseAll();

    // ---- processes that died -------------------------------------------------

    // Takes over every slot of the process table whose process is gone (see
    // the top of this file); returns how many it took over. busy is set when
    // a slot of a dead process is being taken over by another live process.
    // Throws what the rollback throws (the slot is then left for another
    // attempt) and the latch's errors. REQUIRES: no latch held.
    Uint32 takeOverDeadProcesses(bool& busy);
    // The same without the lock manager of a process: for the stop program.
    // A list that does not exist has nothing to take over.
    static Uint32 takeOverDeadProcessesOfList();
    // The slot of this process in the table, or NO_PROCESS_SLOT when the
    // table was full when the manager was made.
    Uint32 getProcessSlot() const { return mySlot; }

    // ---- rollbacks -------------------------------------------------------------

    // Marks the process's transaction as rolling back while it lives. A
    // rollback is never the one refused for a deadlock while another
    // transaction of the cycle could give way: refused, it would leave its
    // transaction half undone. The other transactions of the cycle are
    // refused instead, the next time they look at the waiting list. Scopes
    // nest; the mark is kept in the process table, where every process that
    // checks a cycle reads it.
    class RollbackScope {
    public:
        RollbackScope();
        ~RollbackScope();
        RollbackScope(const RollbackScope&) = delete;
        RollbackScope& operator=(const RollbackScope&) = delete;

    private:
        OrvLockManager* manager;
    };

    // ---- queries (the latch is taken shared for each call) -------------------

    // The current transaction holds some entry on exactly this resource.
    bool existsLock(SegmentId segmentId, PageId pageId, SlotId slotId);
    // As existsLock; lockType receives the type of the first such entry (the
    // newest) and is unchanged when there is none.
    void getLockTypeIfLockExists(bool& exists, LockType& lockType, SegmentId segmentId,
                                 PageId pageId, SlotId slotId);
    // An entry on exactly this resource (of any transaction / of the given
    // one); offset receives the first in the bucket, or LIST_END.
    bool existsEntry(Uint32& offset, SegmentId segmentId, PageId pageId, SlotId slotId);
    bool existsEntry(Uint32& offset, const OrvTransactionId& transactionId, SegmentId segmentId,
                     PageId pageId, SlotId slotId);
    // An entry on exactly this resource with exactly this type (of the given
    // transaction); offset receives it, and is unchanged when there is none.
    bool existsLockType(Uint32& offset, SegmentId segmentId, PageId pageId, LockType lockType);
    bool existsLockType(Uint32& offset, SegmentId segmentId, PageId pageId, SlotId slotId,
                        LockType lockType);
    bool existsLockType(Uint32& offset, SegmentId segmentId, PageId pageId, LockType lockType,
                        const OrvTransactionId& transactionId);
    bool existsLockType(Uint32& offset, SegmentId segmentId, PageId pageId, SlotId slotId,
                        LockType lockType, const OrvTransactionId& transactionId);
    bool existsLockTypeOnSegment(SegmentId segmentId, LockType lockType);
    bool existsLockTypeOnSegment(SegmentId segmentId, LockType lockType,
                                 const OrvTransactionId& transactionId);
    bool existsLockTypeOnPage(SegmentId segmentId, PageId pageId, LockType lockType);
    bool existsLockTypeOnPage(SegmentId segmentId, PageId pageId, LockType lockType,
                              const OrvTransactionId& transactionId);
    // Some entry of any transaction is exclusive or intention-exclusive.
    bool existsExclusiveLock();
    // The transaction has any entry.
    bool existsLockForTransaction(const OrvTransactionId& transactionId);
    Uint32 numLocks(SegmentId segmentId, PageId pageId, SlotId slotId);
    Uint32 numLocks(const OrvTransactionId& transactionId, SegmentId segmentId, PageId pageId,
                    SlotId slotId);
    // Entries of the type in the segment whose page and slot match, a page
    // of NO_PAGE and a slot of NO_SLOT matching any (of other transactions
    // than the given one).
    Uint32 numLocksOfLockType(LockType lockType, SegmentId segmentId, PageId pageId, SlotId slotId);
    Uint32 numLocksOfLockTypeOtherTrans(LockType lockType, SegmentId segmentId,
                                        const OrvTransactionId& transactionId, PageId pageId,
                                        SlotId slotId);

    // ---- dumps, to standard output, without the latch -------------------------

    void printLockList(bool printBuckets);
    void printLockListHashMap();
    void printLockListAllTransactions();
    void printLockListOfTransaction(const OrvTransactionId& transactionId);
    void printLockListOfCurrentTransaction();
    void printWaitList();
    static void staticPrintLockListAllTransactions();
    static void staticPrintLockListHashMap();
    // Parses the text form of a transaction id (ORV_TRANSACTION_ID_PARSING_FAILED).
    static void staticPrintLockListOfTransaction(const std::string& transactionId);
    static void staticPrintLockListOfCurrentTransaction();
    static void staticPrintWaitList();

    // The body of the debug command "LM_STATS"; writes a failure as its
    // message on standard output and records it in the error object.
    static void lmStats(const std::string* args);

private:
    friend class OrvScopedLock;
    // Lets the tests compare what the process knows of its own entries with
    // the shared list.
    friend struct OrvLockManagerInspector;

    // A request's own waiting entry: its index in the waiting list and the
    // lock entry it names, or LIST_END_WAITING when it has none.
    struct WaitState {
        Uint32 slot = LIST_END_WAITING;
        Uint32 lockIndex = LIST_END;
    };
    // What one walk of a bucket found out about one resource.
    struct ResourceScan;
    // One request in progress; defined in lock/OrvLockManager.cpp.
    struct RequestState;

    // How the internal request ended: an entry was inserted (entry, stamp),
    // the lock was covered without a new entry, or it could not be had
    // (after one attempt with tryLock, else when the deadline passed).
    enum class Outcome { Granted, Covered, Blocked };
    struct Grant {
        Outcome outcome = Outcome::Blocked;
        Uint32 entry = LIST_END;
        Uint32 stamp = 0;
    };
    // How one attempt under the latch ended.
    enum class Step { Granted, Covered, WaitDatabase, WaitIntention, WaitResource, Refused };
    // The decision of the database-level gate.
    enum class Gate { Open, Covered, Blocked };

    OrvLockManager();
    ~OrvLockManager();

    // The work of requestSegment/Page/Slot and their try forms; raises only
    // failures other than a lock that cannot be had (deadlock, full list,
    // latch, damaged list). REQUIRES: no latch held, valid arguments.
    Grant request(LockType lockType, SegmentId segmentId, PageId pageId, SlotId slotId,
                  bool forceRequest, bool tryLock);
    [[noreturn]] static void throwRequestTimeOut(LockType lockType, SegmentId segmentId,
                                                 PageId pageId, SlotId slotId);
    // ORV_PARAMETER_FAIL unless lockType is shared or exclusive and the
    // resource names a segment (pageId NO_PAGE, slotId NO_SLOT), a page
    // (slotId NO_SLOT) or a slot of a real segment.
    static void checkRequestArguments(LockType lockType, SegmentId segmentId, PageId pageId,
                                      SlotId slotId);

    // REQUIRES (all taking the latch guard): the latch held exclusively.
    Step attempt(RequestState& state, const OrvScopedExclusiveLatch& latch);
    Gate databaseGate(LockType lockType, bool forceRequest, const OrvTransactionId& me,
                      Uint32& blocker) const;
    // A request that waits for an intention entry on the segment or on
    // pageId enters the waiting list for the conflicting entry (not a try
    // request, which gives up instead).
    void waitForIntention(RequestState& state, PageId pageId);
    // Takes a lock on the request's segment in place of its finer entries
    // when the list has no room for the request; false (nothing changed)
    // when that lock cannot be granted at once or frees no room.
    bool escalate(RequestState& state, bool alone, const OrvScopedExclusiveLatch& latch);
    // The first entry of another transaction than `me` on exactly this
    // resource that conflicts with `requested`, or LIST_END.
    Uint32 firstConflict(LockType requested, SegmentId segmentId, PageId pageId, SlotId slotId,
                         const OrvTransactionId& me) const;
    // Places one intention entry for an explicit intention request (kept
    // until releaseAll), waiting until the deadline; false when it passed.
    // REQUIRES: no latch held.
    bool acquireIntention(SegmentId segmentId, PageId pageId, LockType intentionType);
    [[noreturn]] void throwIntentionTimeOut(SegmentId segmentId, PageId pageId,
                                            LockType intentionType) const;
    void releaseResource(SegmentId segmentId, PageId pageId, SlotId slotId);
    // Releases the entry a scoped lock's request inserted, if it is still
    // that entry (same stamp); ORV_LM_NO_SUCH_ENTRY otherwise.
    void releaseScoped(Uint32 entry, Uint32 stamp, SegmentId segmentId, PageId pageId,
                       SlotId slotId);
    // Marks (or unmarks) an entry of this process as owned by a live scoped lock.
    void markScoped(Uint32 entry, Uint32 stamp, bool scoped);
    // Takes the latch itself: drops the request's waiting entry and gives
    // back the intention entries it holds. A failure is traced, not thrown:
    // the caller passes on the failure that ended the request.
    void cleanUpRequest(RequestState& state);
    // REQUIRES (all below): the latch held exclusively.
    void releaseTakenIntentions(RequestState& state);
    // Deletes a plain entry of this process and gives back its hold on the
    // intention entries above it.
    void releaseOwnEntry(Uint32 index);
    // One hold less on an intention entry of this process; the entry goes
    // with its last hold unless it was asked for by itself.
    void dropIntentionHold(Uint32 index);
    void dropIntentionHold(const OrvTransactionId& transactionId, SegmentId segmentId,
                           PageId pageId, LockType intentionType);
    [[noreturn]] static void throwNoSuchEntry(SegmentId segmentId, PageId pageId, SlotId slotId);

    Uint32 insertEntry(const OrvTransactionId& transactionId, LockType lockType,
                       SegmentId segmentId, PageId pageId, SlotId slotId);
    Uint32 getNewSpace();
    void deleteEntry(Uint32 index);
    Uint32 insertWaitingEntry(const OrvTransactionId& transactionId, Uint32 indexOfLockEntry);
    // Removes every used waiting entry for which match(entry) holds.
    template <typename Match> void removeWaitingWhere(Match match);
    void removeWaitingOfProcess(pid_t process);
    void removeWaitingAt(Uint32 slot);
    // Whether the waits starting at the waiting entry `slot` lead back to
    // it; path receives the waiting entries of the cycle, length their count.
    bool findCycleThrough(Uint32 slot, Uint32* path, Uint32& length) const;
    bool reachesWaiting(Uint32 from, Uint32 target, Uint8* seen, Uint32* path, Uint32 depth,
                        Uint32& length) const;
    // Whether the transaction of a waiting entry is rolling back; that of a
    // process being taken over counts as one.
    bool isRollingBack(const WaitingEntry& entry) const;
    // Throws ORV_LM_DEADLOCK, after removing the waiting entry, when it
    // closes a cycle that this transaction is to give way in.
    void refuseIfDeadlocked(Uint32 slot, bool newEntry);
    bool ownsWaitingEntry(const WaitState& wait, const OrvTransactionId& me) const;
    void ensureWaiting(WaitState& wait, const OrvTransactionId& me, Uint32 blocker);
    void dropWaiting(WaitState& wait, const OrvTransactionId& me);
    void updateDbRequestType();
    DBRequestType readDbRequestType() const;

    // REQUIRES (queries below): the latch held in any mode.
    ResourceScan scanResource(SegmentId segmentId, PageId pageId, SlotId slotId,
                              const OrvTransactionId& me) const;
    // The first entry of another transaction than `me` in the whole list
    // that conflicts with `requested`, or LIST_END.
    Uint32 findOtherEntry(const OrvTransactionId& me, LockType requested) const;
    bool holdsAnyEntry(const OrvTransactionId& transactionId) const;
    Uint32 countOfType(LockType lockType, SegmentId segmentId, PageId pageId, SlotId slotId,
                       const OrvTransactionId* other) const;

    // The process table: registration of this process, and the takeover of
    // one slot of a dead process (lock/OrvDeadProcess.cpp).
    void registerProcess();
    void unregisterProcess();
    void takeOver(Uint32 slot, const ProcessSlot& seen);
    // Before the process inserts its first entry: a dead process with the
    // same id must have been taken over (see the top of this file).
    void settleOwnProcessId();
    // Takes over dead processes when it is time to look again (a waiting
    // request looks when it starts to wait and then every few tenths of a
    // second); true when it took any over.
    bool takeOverIfDue(long& nextCheckMs);
    // The same for a request that waits: its waiting entry and intention
    // holds are given back only when a dead process is really there, so
    // that a waiter stays visible to the deadlock check while it waits.
    bool takeOverIfDue(long& nextCheckMs, RequestState& state);
    // Whether the process table names a process that no longer exists
    // (other than one this process is taking over).
    bool deadProcessListed() const;
    // A copy of the process table taken under the latch, with this
    // process's own slot shown free.
    std::vector<ProcessSlot> otherProcesses() const;
    // Whether the slot names a process that no longer exists.
    static bool isGone(const ProcessSlot& slot);
    // Whether an entry belongs to the dead process being taken over: such
    // entries never block this process. REQUIRES: the latch held.
    bool isAdopted(const LockEntry& entry) const;

    void printEntryRow(Uint32 index) const;
    static void printEntryHeading();

    static OrvTransactionId getTransactionId();

    Header* header;
    LockEntry* lockEntry;
    // The entries this process inserted and has not released, with what the
    // process knows of them (lock/OrvOwnLocks.h).
    std::unique_ptr<OrvLockList::OwnLocks> own;
    WaitingEntry* waitingList;
    ProcessSlot* processSlots;
    Uint32 mySlot;
    // The id of the dead process whose entries this process acts under
    // while it takes that process over; 0 otherwise.
    pid_t adoptedPid;
    // A slot of a dead process with this process's id was found when the
    // manager was made and has not been taken over yet.
    bool ownIdUnsettled;
    // When the try requests of this process look for dead holders next
    // (milliseconds of the monotonic clock).
    long nextTryDeadCheck;
    // Open RollbackScopes of this process.
    Uint32 rollbackDepth;
    std::unique_ptr<OrvLockManagerProfiling::Profiler> profiler;

    static OrvLockManager* instance;
};

// Holds one lock of the current transaction on a segment, a page or a slot
// for the lifetime of the object. Not copyable; keep it on the stack or in an
// owning pointer.
//
// The constructor requests the lock; without tryLock a failure of the
// request (ORV_LM_LOCK_TIME_OUT, ORV_LM_DEADLOCK, ORV_LM_LOCK_LIST_FULL, ...)
// leaves the object unconstructed and passes on. With tryLock a lock that
// cannot be had at once gives an object with isGranted() false.
//
// The destructor releases the entry the object's request inserted. A lock
// granted without an entry (covered by a lock the transaction holds already)
// releases nothing, so an inner scoped lock never takes away the entry of an
// outer one. The destructor never throws: a failing release is recorded in
// the error object.
class OrvScopedLock {
public:
    enum LockScope : Uint32 { Segment = 0, Page = 1, Slot = 2 };

    OrvScopedLock(SegmentId segmentId, OrvLockManager::LockType lockType, bool forceRequest,
                  bool tryLock);
    OrvScopedLock(SegmentId segmentId, PageId pageId, OrvLockManager::LockType lockType,
                  bool forceRequest, bool tryLock);
    OrvScopedLock(SegmentId segmentId, PageId pageId, SlotId slotId,
                  OrvLockManager::LockType lockType, bool forceRequest, bool tryLock);
    ~OrvScopedLock();
    OrvScopedLock(const OrvScopedLock&) = delete;
    OrvScopedLock& operator=(const OrvScopedLock&) = delete;

    // Raises the lock to exclusive with a forced request: an exclusive entry
    // is added even where a covering lock exists. Does nothing for an object
    // without a lock. The destructor then releases the exclusive entry; the
    // shared entry stays until the transaction's releaseAll. Errors of the
    // request pass on; the object keeps its lock then.
    void upgradeLock();

    bool isGranted() const;

    // Hands the lock over to the transaction: the destructor no longer
    // releases it, and it stays like a lock of requestPage until the
    // transaction's locks are released. For operations that take their
    // locks one by one and give them all back when one is refused, but keep
    // them once every lock is held. No lock list access.
    void keep();

private:
    bool requestLock(OrvLockManager::LockType lockType, bool forceRequest, bool tryLock);

    SegmentId segmentId;
    PageId pageId;
    SlotId slotId;
    LockScope lockScope;
    bool lockGranted;
    // The entry a request of this object inserted, which its destructor
    // releases (LIST_END when the lock was covered), and the stamp that
    // tells it from a later entry at the same index.
    Uint32 entry;
    Uint32 stamp;
};

#endif
