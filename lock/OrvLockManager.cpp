#include "OrvLock.h"

#include "OrvDebug.h"
#include "OrvError.h"
#include "OrvException.h"
#include "lock/OrvLockList.h"
#include "lock/OrvLockManagerProfiling.h"
#include "support/OrvMemoryManager.h"
#include "support/OrvSharedSet.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <ctime>
#include <initializer_list>
#include <iomanip>
#include <iostream>
#include <sched.h>
#include <sys/time.h>
#include <vector>

OrvLockManager* OrvLockManager::instance = nullptr;

namespace {

using LockType = OrvLockManager::LockType;
using LockEntry = OrvLockManager::LockEntry;
using WaitingEntry = OrvLockManager::WaitingEntry;

constexpr Uint32 LIST_END = OrvLockManager::LIST_END;
constexpr Uint32 LIST_END_WAITING = OrvLockManager::LIST_END_WAITING;
constexpr Uint32 NUMBER_OF_LOCK_TYPES = 4;

const OrvTransactionId& noTransaction() {
    return OrvTransactionId::INVALID_TRANSACTION_ID;
}

bool isKnownType(Uint32 lockType) {
    return lockType <= OrvLockManager::IntentionalExclusiveLock;
}

bool isExclusiveKind(Uint32 lockType) {
    return lockType == OrvLockManager::ExclusiveLock ||
           lockType == OrvLockManager::IntentionalExclusiveLock;
}

// The type names of the time-out messages.
const char* requestTypeName(LockType lockType) {
    return lockType == OrvLockManager::SharedLock ? "shared" : "exclusive";
}

const char* intentionTypeName(LockType intentionType) {
    return intentionType == OrvLockManager::IntentionalSharedLock ? "intentionalShared"
                                                                  : "intentionalExclusive";
}

// The type names of the dumps; a value no entry should hold is shown as
// "Unknown" rather than trusted.
const char* dumpTypeName(Uint32 lockType) {
    switch (lockType) {
    case OrvLockManager::SharedLock:
        return "Shared";
    case OrvLockManager::ExclusiveLock:
        return "Exclusive";
    case OrvLockManager::IntentionalSharedLock:
        return "IntShared";
    case OrvLockManager::IntentionalExclusiveLock:
        return "IntExclusive";
    default:
        return "Unknown";
    }
}

// The shared list was found in a state its operations never leave it in.
[[noreturn]] void lockListDamaged(const char* what) {
    ORV_TRACE(LockManager);
    orvTrace.traceString(1, what);
    ORV_THROW(ORV_INTERNAL_FAIL);
}

// Indices read from shared memory are checked before they are used.
Uint32 checkedEntry(Uint32 index) {
    if (index > OrvLockManager::MAX_ENTRY) {
        lockListDamaged("lock entry index out of range");
    }
    return index;
}

Uint32 checkedEntryOrEnd(Uint32 index) {
    return index == LIST_END ? index : checkedEntry(index);
}

Uint32 checkedWaiting(Uint32 slot) {
    if (slot > OrvLockManager::MAX_ENTRY_WAITING) {
        lockListDamaged("waiting entry index out of range");
    }
    return slot;
}

Uint32 checkedWaitingOrEnd(Uint32 slot) {
    return slot == LIST_END_WAITING ? slot : checkedWaiting(slot);
}

// Calls visit(index, entry) for each entry of a bucket, newest first, until
// visit returns false. A chain longer than the whole list has a cycle.
template <typename Visit>
void walkBucket(const OrvLockManager::Header* header, const LockEntry* entries, Uint32 bucket,
                Visit visit) {
    Uint32 index = checkedEntryOrEnd(header->index[bucket]);
    Uint32 steps = 0;
    while (index != LIST_END) {
        if (++steps > OrvLockManager::MAX_ENTRY + 1) {
            lockListDamaged("a bucket chain does not end");
        }
        const LockEntry& entry = entries[index];
        if (!visit(index, entry)) {
            return;
        }
        index = checkedEntryOrEnd(entry.nextEntry);
    }
}

// Calls visit(slot, entry) for each used waiting entry, newest first.
template <typename Visit>
void walkWaiting(const OrvLockManager::Header* header, const WaitingEntry* entries, Visit visit) {
    Uint32 slot = checkedWaitingOrEnd(header->firstUsedWaitingEntry);
    Uint32 steps = 0;
    while (slot != LIST_END_WAITING) {
        if (++steps > OrvLockManager::MAX_ENTRY_WAITING + 1) {
            lockListDamaged("the waiting chain does not end");
        }
        const WaitingEntry& entry = entries[slot];
        if (!visit(slot, entry)) {
            return;
        }
        slot = checkedWaitingOrEnd(entry.prevEntry);
    }
}

long secondsNow() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return now.tv_sec;
}

// The deadline of a waiting request. Whole seconds are compared, so a wait
// ends after more than ORV_LOCK_TIMEOUT - 1 and at most ORV_LOCK_TIMEOUT
// seconds.
class Deadline {
public:
    Deadline() : deadline(secondsNow() + static_cast<long>(ORV_LOCK_TIMEOUT)) {}
    bool passed() const { return !(secondsNow() < deadline); }

private:
    long deadline;
};

// Gives the processor away between two attempts of a waiting request: first
// a yield, then a sleep that doubles up to a millisecond. Retrying at once
// would let two waiters keep the holder of the lock from running on a small
// machine, so that the holder could not finish and the waiters timed out.
class Backoff {
public:
    void pause() {
        if (sleepMicroseconds == 0) {
            sched_yield();
            sleepMicroseconds = FIRST_SLEEP_MICROSECONDS;
            return;
        }
        timespec pauseTime{0, static_cast<long>(sleepMicroseconds) * 1000L};
        nanosleep(&pauseTime, nullptr);
        sleepMicroseconds = std::min(sleepMicroseconds * 2, MAX_SLEEP_MICROSECONDS);
    }

private:
    static constexpr Uint32 FIRST_SLEEP_MICROSECONDS = 20;
    static constexpr Uint32 MAX_SLEEP_MICROSECONDS = 1000;
    Uint32 sleepMicroseconds = 0;
};

void recordCaught(const OrvException& e, const char* file, const char* function, Uint32 line) {
    e.SET_ERROR();
    OrvError::getErrorObject()->addTraceRecord(file, function, line);
}

// Fills the set's data behind the latch (which OrvSharedSet has initialised):
// all lock entries in the free chain 0, 1, ..., MAX_ENTRY, all waiting
// entries in the free waiting chain 0, 1, ..., MAX_ENTRY_WAITING.
void initializeContents(void* data) {
    ORV_TRACE(LockManager);
    auto* header = static_cast<OrvLockManager::Header*>(data);
    LockEntry* entries = OrvLockList::lockEntriesOf(header);
    WaitingEntry* waiting = OrvLockList::waitingEntriesOf(header);

    header->countEntry = 0;
    for (Uint32 bucket = 0; bucket < OrvLockManager::NUMBER_OF_BUCKETS; ++bucket) {
        header->index[bucket] = LIST_END;
    }
    header->index[OrvLockManager::FREE_CHAIN_HEAD] = 0;
    for (Uint32 i = 0; i <= OrvLockManager::MAX_ENTRY; ++i) {
        LockEntry& entry = entries[i];
        entry.lockType = OrvLockManager::SharedLock;
        entry.transactionId = noTransaction();
        entry.segmentId = 0;
        entry.pageId = 0;
        entry.slotId = 0;
        entry.prevEntry = i == 0 ? LIST_END : i - 1;
        entry.nextEntry = i == OrvLockManager::MAX_ENTRY ? LIST_END : i + 1;
    }
    header->nextFreeEntry = 0;
    for (Uint32 i = 0; i <= OrvLockManager::MAX_ENTRY_WAITING; ++i) {
        WaitingEntry& entry = waiting[i];
        entry.waitingTransaction = noTransaction();
        entry.indexOfLockEntry = 0;
        entry.prevEntry = i == 0 ? LIST_END_WAITING : i - 1;
        entry.nextEntry = i == OrvLockManager::MAX_ENTRY_WAITING ? LIST_END_WAITING : i + 1;
    }
    header->firstUsedWaitingEntry = LIST_END_WAITING;
    header->dbRequestType = OrvLockManager::DBNone;
}

void checkSetSize() {
    if (OrvMemoryManager::getMemoryManager()->getSetSize(OrvMemoryManager::LockList) <
        OrvLockList::LAYOUT_SIZE) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
}

// "<end>" for the end of a chain, else the index.
std::string linkText(Uint32 index, Uint32 end) {
    return index == end ? std::string("<end>") : std::to_string(index);
}

} // namespace

// What one walk of a bucket found out about one resource: the first entry
// (the newest) of each kind, and the counts.
struct OrvLockManager::ResourceScan {
    Uint32 first = LIST_END;
    Uint32 count = 0;
    Uint32 firstMine = LIST_END;
    // The transaction's newest shared or exclusive entry: what a release of
    // the resource takes (never one of its intention entries).
    Uint32 firstMinePlain = LIST_END;
    Uint32 countMine = 0;
    Uint32 firstOther = LIST_END;
    // Another transaction's newest exclusive or intention-exclusive entry.
    Uint32 firstOtherExclusiveKind = LIST_END;
    Uint32 mineOfType[NUMBER_OF_LOCK_TYPES] = {LIST_END, LIST_END, LIST_END, LIST_END};
    Uint32 otherOfType[NUMBER_OF_LOCK_TYPES] = {LIST_END, LIST_END, LIST_END, LIST_END};
};

// ---- the process's manager and the shared list --------------------------------

OrvLockManager::OrvLockManager()
    : header(nullptr), lockEntry(nullptr), waitingList(nullptr),
      profiler(new OrvLockManagerProfiling::Profiler()) {
    ORV_TRACE(LockManager);
    OrvMemoryManager* memoryManager = OrvMemoryManager::getMemoryManager();
    if (memoryManager == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    checkSetSize();
    void* data = nullptr;
    memoryManager->connectToMemorySet(OrvMemoryManager::LockList, data);
    header = static_cast<Header*>(data);
    lockEntry = OrvLockList::lockEntriesOf(header);
    waitingList = OrvLockList::waitingEntriesOf(header);
    OrvDebug::registerFunction(&OrvLockManager::lmStats, nullptr, "LM_STATS", "");
}

OrvLockManager::~OrvLockManager() {
    ORV_TRACE(LockManager);
    try {
        releaseAll();
    } catch (const OrvException& e) {
        recordCaught(e, __FILE__, __PRETTY_FUNCTION__, __LINE__);
        orvTrace.traceString(1, "the locks of the process could not be released");
    } catch (const std::exception&) {
        OrvError::getErrorObject()->setError(LockManager, ORV_INTERNAL_FAIL);
        orvTrace.traceString(2, "the locks of the process could not be released");
    }
    try {
        OrvMemoryManager* memoryManager = OrvMemoryManager::getMemoryManager();
        if (memoryManager == nullptr) {
            OrvError::getErrorObject()->setError(LockManager, ORV_INTERNAL_FAIL);
        } else {
            memoryManager->disconnectFromMemorySet(OrvMemoryManager::LockList);
        }
    } catch (const OrvException& e) {
        recordCaught(e, __FILE__, __PRETTY_FUNCTION__, __LINE__);
        orvTrace.traceString(3, "could not detach from the lock list");
    }
    if (instance == this) {
        instance = nullptr;
    }
}

OrvLockManager* OrvLockManager::getInstance() {
    ORV_TRACE(LockManager);
    if (instance == nullptr) {
        instance = new OrvLockManager();
    }
    return instance;
}

void OrvLockManager::deleteInstance() {
    ORV_TRACE(LockManager);
    delete instance;
    instance = nullptr;
}

void OrvLockManager::initializeLockList() {
    ORV_TRACE(LockManager);
    checkSetSize();
    OrvSharedSet::create(OrvMemoryManager::LockList, initializeContents);
}

void OrvLockManager::destroyLockList(bool force) {
    ORV_TRACE(LockManager);
    // A missing set throws ORV_MM_SHM_NOT_EXISTS on: swallowing it would let a
    // stop report a list as removed that was never there. A latch left held
    // by a process that died during a change of the list is freed first.
    OrvSharedSet::destroy(OrvMemoryManager::LockList, force);
}

void OrvLockManager::isLockListInUse(bool& inUse) {
    ORV_TRACE(LockManager);
    if (instance != nullptr) {
        inUse = __atomic_load_n(&instance->header->countEntry, __ATOMIC_RELAXED) != 0;
        return;
    }
    OrvMemoryManager* memoryManager = OrvMemoryManager::getMemoryManager();
    void* data = nullptr;
    try {
        memoryManager->connectToMemorySet(OrvMemoryManager::LockList, data);
    } catch (const OrvException& e) {
        if (e.getErrorCode() == ORV_MM_SHM_NOT_EXISTS) {
            inUse = false;
            return;
        }
        throw;
    }
    // One aligned 32-bit read; the count is only a snapshot anyway.
    inUse = __atomic_load_n(&static_cast<Header*>(data)->countEntry, __ATOMIC_RELAXED) != 0;
    memoryManager->disconnectFromMemorySet(OrvMemoryManager::LockList);
}

OrvLockManager::LockType OrvLockManager::getIntentionalLockType(LockType lockType) {
    ORV_TRACE(LockManager);
    switch (lockType) {
    case SharedLock:
    case IntentionalSharedLock:
        return IntentionalSharedLock;
    case ExclusiveLock:
    case IntentionalExclusiveLock:
        return IntentionalExclusiveLock;
    }
    ORV_THROW(ORV_PARAMETER_FAIL);
}

Uint8 OrvLockManager::getHash(SegmentId segmentId, PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    return static_cast<Uint8>((segmentId % 10) * 10 + ((pageId % 10) + (slotId % 10)) % 10);
}

OrvTransactionId OrvLockManager::getTransactionId() {
    ORV_TRACE(LockManager);
    return OrvTransactionManager::getInstance()->getCurrentTransactionID();
}

void OrvLockManager::checkRequestArguments(LockType lockType, SegmentId segmentId, PageId pageId,
                                           SlotId slotId) {
    ORV_TRACE(LockManager);
    // A segment 0, or a page request on NO_PAGE, would name the database or
    // the segment entry and so take or release a lock of another level.
    if ((lockType != SharedLock && lockType != ExclusiveLock) || segmentId == NO_SEG ||
        (pageId == NO_PAGE && slotId != NO_SLOT)) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
}

// ---- requests --------------------------------------------------------------------

void OrvLockManager::requestSegment(SegmentId segmentId, LockType lockType, bool forceRequest) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    checkRequestArguments(lockType, segmentId, NO_PAGE, NO_SLOT);
    request(lockType, segmentId, NO_PAGE, NO_SLOT, forceRequest, false);
}

void OrvLockManager::requestPage(SegmentId segmentId, PageId pageId, LockType lockType,
                                 bool forceRequest) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    checkRequestArguments(lockType, segmentId, pageId, NO_SLOT);
    if (pageId == NO_PAGE) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    request(lockType, segmentId, pageId, NO_SLOT, forceRequest, false);
}

void OrvLockManager::requestSlot(SegmentId segmentId, PageId pageId, SlotId slotId,
                                 LockType lockType, bool forceRequest) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    checkRequestArguments(lockType, segmentId, pageId, slotId);
    if (pageId == NO_PAGE || slotId == NO_SLOT) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    request(lockType, segmentId, pageId, slotId, forceRequest, false);
}

bool OrvLockManager::tryRequestSegment(SegmentId segmentId, LockType lockType, bool forceRequest) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    checkRequestArguments(lockType, segmentId, NO_PAGE, NO_SLOT);
    return tryRequest(lockType, segmentId, NO_PAGE, NO_SLOT, forceRequest);
}

bool OrvLockManager::tryRequestPage(SegmentId segmentId, PageId pageId, LockType lockType,
                                    bool forceRequest) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    checkRequestArguments(lockType, segmentId, pageId, NO_SLOT);
    if (pageId == NO_PAGE) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    return tryRequest(lockType, segmentId, pageId, NO_SLOT, forceRequest);
}

bool OrvLockManager::tryRequestSlot(SegmentId segmentId, PageId pageId, SlotId slotId,
                                    LockType lockType, bool forceRequest) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    checkRequestArguments(lockType, segmentId, pageId, slotId);
    if (pageId == NO_PAGE || slotId == NO_SLOT) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    return tryRequest(lockType, segmentId, pageId, slotId, forceRequest);
}

bool OrvLockManager::tryRequest(LockType lockType, SegmentId segmentId, PageId pageId,
                                SlotId slotId, bool forceRequest) {
    ORV_TRACE(LockManager);
    try {
        request(lockType, segmentId, pageId, slotId, forceRequest, true);
        return true;
    } catch (const OrvException& e) {
        if (e.getErrorCode() == ORV_LM_LOCK_TIME_OUT) {
            return false;
        }
        throw;
    }
}

bool OrvLockManager::requestForScope(LockType lockType, SegmentId segmentId, PageId pageId,
                                     SlotId slotId, bool forceRequest, bool tryLock,
                                     bool& inserted) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    checkRequestArguments(lockType, segmentId, pageId, slotId);
    inserted = false;
    try {
        inserted = request(lockType, segmentId, pageId, slotId, forceRequest, tryLock);
        return true;
    } catch (const OrvException& e) {
        if (tryLock && e.getErrorCode() == ORV_LM_LOCK_TIME_OUT) {
            return false;
        }
        throw;
    }
}

namespace {

[[noreturn]] void throwRequestTimeOut(LockType lockType, SegmentId segmentId, PageId pageId,
                                      SlotId slotId) {
    ORV_TRACE(LockManager);
    const std::string name = requestTypeName(lockType);
    const std::string segment = OrvException::to_string(segmentId);
    if (pageId == OrvLockManager::NO_PAGE) {
        ORV_THROW(ORV_LM_LOCK_TIME_OUT, name, segment);
    }
    const std::string page = OrvException::to_string(pageId);
    if (slotId == OrvLockManager::NO_SLOT) {
        ORV_THROW(ORV_LM_LOCK_TIME_OUT, name, segment, page);
    }
    ORV_THROW(ORV_LM_LOCK_TIME_OUT, name, segment, page, OrvException::to_string(slotId));
}

} // namespace

OrvLockManager::Decision OrvLockManager::databaseGate(LockType lockType, bool forceRequest,
                                                      const OrvTransactionId& me,
                                                      Uint32& blocker) const {
    ORV_TRACE(LockManager);
    // The state is kept together with the database entries under the latch,
    // so DBNone spares the walk of bucket 0 on every request.
    if (readDbRequestType() == DBNone) {
        return Decision::Open;
    }
    const ResourceScan database = scanResource(NO_SEG, NO_PAGE, NO_SLOT, me);
    if (database.count == 0) {
        return Decision::Open;
    }
    if (database.mineOfType[ExclusiveLock] != LIST_END) {
        return forceRequest ? Decision::Open : Decision::Covered;
    }
    if (database.mineOfType[SharedLock] != LIST_END) {
        return lockType == SharedLock && !forceRequest ? Decision::Covered : Decision::Open;
    }
    // A shared database lock of another transaction lets shared requests
    // through; what conflicts with it is an exclusive one.
    if (database.firstOther == LIST_END ||
        (lockType == SharedLock && database.otherOfType[ExclusiveLock] == LIST_END)) {
        return Decision::Open;
    }
    blocker = database.firstOther;
    return Decision::Blocked;
}

OrvLockManager::Decision OrvLockManager::decideRequest(LockType lockType, SegmentId segmentId,
                                                       PageId pageId, SlotId slotId,
                                                       bool forceRequest,
                                                       const OrvTransactionId& me,
                                                       Uint32& blocker) const {
    ORV_TRACE(LockManager);
    if (!forceRequest && pageId != NO_PAGE) {
        const ResourceScan segment = scanResource(segmentId, NO_PAGE, NO_SLOT, me);
        if (segment.mineOfType[ExclusiveLock] != LIST_END ||
            (lockType == SharedLock && segment.mineOfType[SharedLock] != LIST_END)) {
            return Decision::Covered;
        }
        if (slotId != NO_SLOT) {
            const ResourceScan page = scanResource(segmentId, pageId, NO_SLOT, me);
            if (page.mineOfType[ExclusiveLock] != LIST_END ||
                (lockType == SharedLock && page.mineOfType[SharedLock] != LIST_END)) {
                return Decision::Covered;
            }
        }
    }
    const ResourceScan resource = scanResource(segmentId, pageId, slotId, me);
    if (!forceRequest && resource.mineOfType[lockType] != LIST_END) {
        return Decision::Covered;
    }
    // Shared conflicts with exclusive and intention-exclusive entries of
    // others (an intention-exclusive entry means pages below are being
    // changed); exclusive with every entry of others.
    blocker = lockType == SharedLock ? resource.firstOtherExclusiveKind : resource.firstOther;
    return blocker == LIST_END ? Decision::Insert : Decision::Blocked;
}

bool OrvLockManager::request(LockType lockType, SegmentId segmentId, PageId pageId, SlotId slotId,
                             bool forceRequest, bool tryLock) {
    ORV_TRACE(LockManager);
    const OrvTransactionId me = getTransactionId();
    const LockType intentionType = getIntentionalLockType(lockType);
    const Deadline deadline;
    Backoff backoff;
    WaitState wait;
    // The intention locks this request holds, so that exactly these are
    // given back when it ends without an entry of its own.
    bool onSegment = false;
    bool onPage = false;
    try {
        // The database lock: a transaction without entries waits while
        // another holds a database lock that conflicts; one with entries is
        // refused at once.
        for (;;) {
            Decision gate;
            bool refused = false;
            {
                OrvScopedExclusiveLatch latch(header->latch);
                Uint32 blocker = LIST_END;
                gate = databaseGate(lockType, forceRequest, me, blocker);
                if (gate != Decision::Blocked) {
                    dropWaiting(wait, me);
                } else if (holdsAnyEntry(me)) {
                    dropWaiting(wait, me);
                    refused = true;
                } else {
                    ensureWaiting(wait, me, blocker);
                    if (tryLock) {
                        ORV_THROW(ORV_LM_LOCK_TIME_OUT);
                    }
                }
            }
            if (gate == Decision::Covered) {
                return false;
            }
            if (gate == Decision::Open) {
                break;
            }
            if (refused || deadline.passed()) {
                throwRequestTimeOut(lockType, segmentId, pageId, slotId);
            }
            backoff.pause();
        }

        if (pageId != NO_PAGE) {
            if (!acquireIntention(segmentId, NO_PAGE, intentionType)) {
                throwIntentionTimeOut(segmentId, NO_PAGE, intentionType);
            }
            onSegment = true;
        }
        if (slotId != NO_SLOT) {
            if (!acquireIntention(segmentId, pageId, intentionType)) {
                throwIntentionTimeOut(segmentId, pageId, intentionType);
            }
            onPage = true;
        }

        for (;;) {
            {
                OrvScopedExclusiveLatch latch(header->latch);
                Uint32 blocker = LIST_END;
                const Decision decision =
                    decideRequest(lockType, segmentId, pageId, slotId, forceRequest, me, blocker);
                if (decision == Decision::Blocked) {
                    ensureWaiting(wait, me, blocker);
                } else {
                    dropWaiting(wait, me);
                    if (decision == Decision::Insert) {
                        insertEntry(me, lockType, segmentId, pageId, slotId);
                        return true;
                    }
                    releaseTakenIntentions(me, segmentId, pageId, intentionType, onSegment, onPage);
                    return false;
                }
            }
            if (tryLock || deadline.passed()) {
                break;
            }
            backoff.pause();
        }
        throwRequestTimeOut(lockType, segmentId, pageId, slotId);
    } catch (...) {
        cleanUpRequest(wait, me, segmentId, pageId, intentionType, onSegment, onPage);
        throw;
    }
}

void OrvLockManager::cleanUpRequest(WaitState& wait, const OrvTransactionId& me,
                                    SegmentId segmentId, PageId pageId, LockType intentionType,
                                    bool& onSegment, bool& onPage) {
    ORV_TRACE(LockManager);
    if (!onSegment && !onPage && wait.slot == LIST_END_WAITING) {
        return;
    }
    // The failure that ended the request is what the caller sees; one of the
    // clean-up stays in the trace.
    try {
        OrvScopedExclusiveLatch latch(header->latch);
        dropWaiting(wait, me);
        releaseTakenIntentions(me, segmentId, pageId, intentionType, onSegment, onPage);
    } catch (const OrvException&) {
        orvTrace.traceString(1, "could not clean up after a failed lock request");
    } catch (const std::exception&) {
        orvTrace.traceString(2, "could not clean up after a failed lock request");
    }
}

void OrvLockManager::requestIntentionalOnSegment(SegmentId segmentId, LockType lockType) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    const LockType intentionType = getIntentionalLockType(lockType);
    if (segmentId == NO_SEG) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    if (!acquireIntention(segmentId, NO_PAGE, intentionType)) {
        throwIntentionTimeOut(segmentId, NO_PAGE, intentionType);
    }
}

void OrvLockManager::requestIntentionalOnPage(SegmentId segmentId, PageId pageId,
                                              LockType lockType) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    const LockType intentionType = getIntentionalLockType(lockType);
    if (segmentId == NO_SEG || pageId == NO_PAGE) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    if (!acquireIntention(segmentId, pageId, intentionType)) {
        throwIntentionTimeOut(segmentId, pageId, intentionType);
    }
}

bool OrvLockManager::acquireIntention(SegmentId segmentId, PageId pageId, LockType intentionType) {
    ORV_TRACE(LockManager);
    const OrvTransactionId me = getTransactionId();
    const Deadline deadline;
    Backoff backoff;
    for (;;) {
        {
            OrvScopedExclusiveLatch latch(header->latch);
            const ResourceScan resource = scanResource(segmentId, pageId, NO_SLOT, me);
            const bool granted = resource.mineOfType[ExclusiveLock] != LIST_END ||
                                 (resource.otherOfType[ExclusiveLock] == LIST_END &&
                                  !(intentionType == IntentionalExclusiveLock &&
                                    resource.otherOfType[SharedLock] != LIST_END));
            if (granted) {
                insertEntry(me, intentionType, segmentId, pageId, NO_SLOT);
                return true;
            }
        }
        if (deadline.passed()) {
            return false;
        }
        backoff.pause();
    }
}

void OrvLockManager::throwIntentionTimeOut(SegmentId segmentId, PageId pageId,
                                           LockType intentionType) const {
    ORV_TRACE(LockManager);
    const std::string name = intentionTypeName(intentionType);
    if (pageId == NO_PAGE) {
        ORV_THROW(ORV_LM_LOCK_TIME_OUT, name, OrvException::to_string(segmentId));
    }
    ORV_THROW(ORV_LM_LOCK_TIME_OUT, name, OrvException::to_string(segmentId),
              OrvException::to_string(pageId));
}

void OrvLockManager::requestDB(LockType lockType) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    if (lockType != SharedLock && lockType != ExclusiveLock) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    const OrvTransactionId me = getTransactionId();
    const Deadline deadline;
    Backoff backoff;
    WaitState wait;
    try {
        for (;;) {
            {
                OrvScopedExclusiveLatch latch(header->latch);
                const ResourceScan database = scanResource(NO_SEG, NO_PAGE, NO_SLOT, me);
                // A state without a database entry locks nothing.
                const DBRequestType state = database.count == 0 ? DBNone : readDbRequestType();
                Uint32 blocker = LIST_END;
                bool insert = false;
                bool granted = false;
                if (database.mineOfType[ExclusiveLock] != LIST_END ||
                    (lockType == SharedLock && database.countMine > 0)) {
                    granted = true;
                } else if (state == DBExclusive) {
                    blocker = database.firstOther;
                } else {
                    // The transaction's own entries never block it: a shared
                    // database lock waits for exclusive kinds of others, an
                    // exclusive one (also the upgrade of its own shared one)
                    // for any entry of others.
                    blocker = findOtherEntry(me, lockType == SharedLock);
                    insert = blocker == LIST_END;
                }
                if (granted || insert) {
                    dropWaiting(wait, me);
                    if (insert) {
                        insertEntry(me, lockType, NO_SEG, NO_PAGE, NO_SLOT);
                        updateDbRequestType();
                    }
                    return;
                }
                if (blocker != LIST_END) {
                    ensureWaiting(wait, me, blocker);
                }
            }
            if (deadline.passed()) {
                break;
            }
            backoff.pause();
        }
        ORV_THROW(ORV_LM_LOCK_TIME_OUT, requestTypeName(lockType));
    } catch (...) {
        bool none = false;
        cleanUpRequest(wait, me, NO_SEG, NO_PAGE, IntentionalSharedLock, none, none);
        throw;
    }
}

// ---- releases ----------------------------------------------------------------------

void OrvLockManager::releaseSlot(SegmentId segmentId, PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetReleaseTime);
    if (segmentId == NO_SEG || pageId == NO_PAGE || slotId == NO_SLOT) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    releaseResource(segmentId, pageId, slotId);
}

void OrvLockManager::releasePage(SegmentId segmentId, PageId pageId) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetReleaseTime);
    if (segmentId == NO_SEG || pageId == NO_PAGE) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    releaseResource(segmentId, pageId, NO_SLOT);
}

void OrvLockManager::releaseSegment(SegmentId segmentId) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetReleaseTime);
    if (segmentId == NO_SEG) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    releaseResource(segmentId, NO_PAGE, NO_SLOT);
}

void OrvLockManager::releaseResource(SegmentId segmentId, PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    const OrvTransactionId me = getTransactionId();
    OrvScopedExclusiveLatch latch(header->latch);
    const ResourceScan resource = scanResource(segmentId, pageId, slotId, me);
    const Uint32 index = resource.firstMinePlain;
    if (index == LIST_END) {
        const std::string segment = OrvException::to_string(segmentId);
        if (pageId == NO_PAGE) {
            ORV_THROW(ORV_LM_NO_SUCH_ENTRY, segment);
        }
        if (slotId == NO_SLOT) {
            ORV_THROW(ORV_LM_NO_SUCH_ENTRY, segment, OrvException::to_string(pageId));
        }
        ORV_THROW(ORV_LM_NO_SUCH_ENTRY, segment, OrvException::to_string(pageId),
                  OrvException::to_string(slotId));
    }
    const LockType heldType = lockEntry[index].lockType;
    deleteEntry(index);
    if (slotId != NO_SLOT) {
        releaseIntentionalLock(me, segmentId, pageId, heldType);
    }
    if (pageId != NO_PAGE) {
        releaseIntentionalLock(me, segmentId, NO_PAGE, heldType);
    }
}

void OrvLockManager::releaseDB() {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetReleaseTime);
    const OrvTransactionId me = getTransactionId();
    OrvScopedExclusiveLatch latch(header->latch);
    const ResourceScan database = scanResource(NO_SEG, NO_PAGE, NO_SLOT, me);
    if (database.firstMine == LIST_END) {
        ORV_THROW(ORV_LM_NO_SUCH_ENTRY);
    }
    deleteEntry(database.firstMine);
    updateDbRequestType();
}

void OrvLockManager::releaseIntentionalLock(const OrvTransactionId& me, SegmentId segmentId,
                                            PageId pageId, LockType heldType) {
    ORV_TRACE(LockManager);
    // The intention entry that came with the released lock is of its own
    // intention type; taking the other one would leave, say, a shared
    // intention above an exclusive slot lock, and a shared segment lock of
    // another transaction could then be granted over it.
    const LockType preferred = getIntentionalLockType(heldType);
    const LockType other =
        preferred == IntentionalExclusiveLock ? IntentionalSharedLock : IntentionalExclusiveLock;
    const ResourceScan resource = scanResource(segmentId, pageId, NO_SLOT, me);
    const Uint32 index = resource.mineOfType[preferred] != LIST_END ? resource.mineOfType[preferred]
                                                                    : resource.mineOfType[other];
    if (index != LIST_END) {
        deleteEntry(index);
    }
}

void OrvLockManager::releaseTakenIntentions(const OrvTransactionId& me, SegmentId segmentId,
                                            PageId pageId, LockType intentionType, bool& onSegment,
                                            bool& onPage) {
    ORV_TRACE(LockManager);
    if (onPage) {
        releaseIntentionalLock(me, segmentId, pageId, intentionType);
        onPage = false;
    }
    if (onSegment) {
        releaseIntentionalLock(me, segmentId, NO_PAGE, intentionType);
        onSegment = false;
    }
}

void OrvLockManager::releaseAll() {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetReleaseTime);
    const OrvTransactionId me = getTransactionId();
    OrvScopedExclusiveLatch latch(header->latch);
    // Every entry the process inserted goes, of its current and its earlier
    // transactions alike: none of them has anybody else to release it.
    bool databaseEntryReleased = false;
    const std::vector<Uint32> inserted(usedEntries.begin(), usedEntries.end());
    for (Uint32 index : inserted) {
        if (index > MAX_ENTRY) {
            usedEntries.erase(index);
            continue;
        }
        const LockEntry& entry = lockEntry[index];
        if (entry.transactionId == noTransaction() ||
            entry.transactionId.getProcessID() != me.getProcessID()) {
            orvTrace.traceNumber(1, "skipped an entry that is no longer this process's", index);
            usedEntries.erase(index);
            continue;
        }
        if (entry.segmentId == NO_SEG && entry.pageId == NO_PAGE && entry.slotId == NO_SLOT) {
            databaseEntryReleased = true;
        }
        deleteEntry(index);
    }
    usedEntries.clear();
    const pid_t process = me.getProcessID();
    removeWaitingWhere([process](const WaitingEntry& waiting) {
        return waiting.waitingTransaction.getProcessID() == process;
    });
    if (databaseEntryReleased) {
        updateDbRequestType();
    }
}

// ---- the chains ------------------------------------------------------------------

Uint32 OrvLockManager::getNewSpace() {
    ORV_TRACE(LockManager);
    const Uint32 count = header->countEntry;
    if (count > MAX_ENTRY) {
        lockListDamaged("countEntry out of range");
    }
    if (count == MAX_ENTRY) {
        ORV_THROW(ORV_LM_LOCK_LIST_FULL);
    }
    const Uint32 index = checkedEntry(header->index[FREE_CHAIN_HEAD]);
    LockEntry& entry = lockEntry[index];
    // Fewer than MAX_ENTRY entries in use leaves at least two free ones.
    const Uint32 next = checkedEntry(entry.nextEntry);
    if (entry.transactionId != noTransaction()) {
        lockListDamaged("the free chain holds an entry in use");
    }
    header->index[FREE_CHAIN_HEAD] = next;
    lockEntry[next].prevEntry = LIST_END;
    entry.nextEntry = LIST_END;
    return index;
}

Uint32 OrvLockManager::insertEntry(const OrvTransactionId& transactionId, LockType lockType,
                                   SegmentId segmentId, PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    const Uint8 bucket = getHash(segmentId, pageId, slotId);
    const Uint32 oldHead = checkedEntryOrEnd(header->index[bucket]);
    // The process's own record goes first: an allocation that fails then
    // leaves the list as it was, not with an entry that nobody releases.
    const Uint32 expected = checkedEntry(header->index[FREE_CHAIN_HEAD]);
    const bool recorded = usedEntries.insert(expected).second;
    Uint32 index = LIST_END;
    try {
        index = getNewSpace();
    } catch (...) {
        if (recorded) {
            usedEntries.erase(expected);
        }
        throw;
    }
    LockEntry& entry = lockEntry[index];
    if (oldHead != LIST_END) {
        lockEntry[oldHead].prevEntry = index;
    }
    entry.nextEntry = oldHead;
    entry.prevEntry = LIST_END;
    header->index[bucket] = index;
    entry.lockType = lockType;
    entry.transactionId = transactionId;
    entry.segmentId = segmentId;
    entry.pageId = pageId;
    entry.slotId = slotId;
    ++header->countEntry;
    return index;
}

void OrvLockManager::deleteEntry(Uint32 index) {
    ORV_TRACE(LockManager);
    LockEntry& entry = lockEntry[checkedEntry(index)];
    if (entry.transactionId == noTransaction()) {
        lockListDamaged("deleting an entry that is not in use");
    }
    const Uint32 prev = checkedEntryOrEnd(entry.prevEntry);
    const Uint32 next = checkedEntryOrEnd(entry.nextEntry);
    const Uint8 bucket = getHash(entry.segmentId, entry.pageId, entry.slotId);
    if (prev == LIST_END && header->index[bucket] != index) {
        lockListDamaged("an entry without predecessor is not the head of its bucket");
    }
    const Uint32 freeHead = checkedEntryOrEnd(header->index[FREE_CHAIN_HEAD]);
    if (header->countEntry == 0) {
        lockListDamaged("countEntry is 0 while an entry is in use");
    }

    if (prev == LIST_END) {
        header->index[bucket] = next;
    } else {
        lockEntry[prev].nextEntry = next;
    }
    if (next != LIST_END) {
        lockEntry[next].prevEntry = prev;
    }
    entry.transactionId = noTransaction();
    entry.prevEntry = LIST_END;
    entry.nextEntry = freeHead;
    if (freeHead != LIST_END) {
        lockEntry[freeHead].prevEntry = index;
    }
    header->index[FREE_CHAIN_HEAD] = index;
    --header->countEntry;
    usedEntries.erase(index);
    // Nobody can wait for an entry that is gone.
    removeWaitingWhere(
        [index](const WaitingEntry& waiting) { return waiting.indexOfLockEntry == index; });
}

Uint32 OrvLockManager::insertWaitingEntry(const OrvTransactionId& transactionId,
                                          Uint32 indexOfLockEntry) {
    ORV_TRACE(LockManager);
    const Uint32 slot = header->nextFreeEntry;
    if (slot == MAX_ENTRY_WAITING) {
        ORV_THROW(ORV_LM_LOCK_LIST_FULL);
    }
    WaitingEntry& entry = waitingList[checkedWaiting(slot)];
    if (entry.waitingTransaction != noTransaction()) {
        lockListDamaged("the free waiting chain holds an entry in use");
    }
    const Uint32 next = checkedWaiting(entry.nextEntry);
    const Uint32 newest = checkedWaitingOrEnd(header->firstUsedWaitingEntry);

    header->nextFreeEntry = next;
    waitingList[next].prevEntry = LIST_END_WAITING;
    if (newest != LIST_END_WAITING) {
        waitingList[newest].nextEntry = slot;
    }
    entry.prevEntry = newest;
    entry.nextEntry = LIST_END_WAITING;
    header->firstUsedWaitingEntry = slot;
    entry.waitingTransaction = transactionId;
    entry.indexOfLockEntry = indexOfLockEntry;
    try {
        checkWaitingListForDeadlock();
    } catch (const OrvException& e) {
        removeWaitingAt(slot);
        if (e.getErrorCode() == ORV_LM_DEADLOCK) {
            ORV_THROW(ORV_LM_DEADLOCK);
        }
        throw;
    }
    return slot;
}

template <typename Match> void OrvLockManager::removeWaitingWhere(Match match) {
    ORV_TRACE(LockManager);
    // Collected first: removing while walking would change the chain walked.
    Uint32 matches[MAX_ENTRY_WAITING + 1];
    Uint32 found = 0;
    walkWaiting(header, waitingList, [&](Uint32 slot, const WaitingEntry& entry) {
        if (match(entry)) {
            matches[found++] = slot;
        }
        return true;
    });
    for (Uint32 i = 0; i < found; ++i) {
        removeWaitingAt(matches[i]);
    }
}

void OrvLockManager::removeWaitingAt(Uint32 slot) {
    ORV_TRACE(LockManager);
    WaitingEntry& entry = waitingList[checkedWaiting(slot)];
    if (entry.waitingTransaction == noTransaction()) {
        lockListDamaged("removing a waiting entry that is not in use");
    }
    const Uint32 prev = checkedWaitingOrEnd(entry.prevEntry);
    const Uint32 next = checkedWaitingOrEnd(entry.nextEntry);
    const Uint32 freeHead = checkedWaiting(header->nextFreeEntry);
    if (next == LIST_END_WAITING && header->firstUsedWaitingEntry != slot) {
        lockListDamaged("a waiting entry without successor is not the newest");
    }

    if (next == LIST_END_WAITING) {
        header->firstUsedWaitingEntry = prev;
    } else {
        waitingList[next].prevEntry = prev;
    }
    if (prev != LIST_END_WAITING) {
        waitingList[prev].nextEntry = next;
    }
    entry.waitingTransaction = noTransaction();
    entry.indexOfLockEntry = 0;
    entry.prevEntry = LIST_END_WAITING;
    entry.nextEntry = freeHead;
    waitingList[freeHead].prevEntry = slot;
    header->nextFreeEntry = slot;
}

void OrvLockManager::checkWaitingListForDeadlock() {
    ORV_TRACE(LockManager);
    const Uint32 start = checkedWaitingOrEnd(header->firstUsedWaitingEntry);
    if (start == LIST_END_WAITING) {
        return;
    }
    // 0 = not seen, 1 = on the current path, 2 = finished.
    Uint8 state[MAX_ENTRY_WAITING + 1] = {};
    checkWaitingListGetNextEntry(start, state, 0);
}

void OrvLockManager::checkWaitingListGetNextEntry(Uint32 slot, Uint8* state, Uint32 depth) {
    ORV_TRACE(LockManager);
    if (depth > MAX_ENTRY_WAITING + 1) {
        lockListDamaged("the waiting list is deeper than its entries");
    }
    const WaitingEntry& entry = waitingList[checkedWaiting(slot)];
    const Uint32 lockIndex = entry.indexOfLockEntry;
    if (lockIndex == LIST_END) {
        return;
    }
    if (state[slot] == 1) {
        ORV_THROW(ORV_LM_DEADLOCK);
    }
    if (state[slot] == 2) {
        return;
    }
    state[slot] = 1;
    const OrvTransactionId holder = lockEntry[checkedEntry(lockIndex)].transactionId;
    walkWaiting(header, waitingList, [&](Uint32 waiting, const WaitingEntry& other) {
        if (other.waitingTransaction == holder) {
            checkWaitingListGetNextEntry(waiting, state, depth + 1);
        }
        return true;
    });
    state[slot] = 2;
}

bool OrvLockManager::ownsWaitingEntry(const WaitState& wait, const OrvTransactionId& me) const {
    ORV_TRACE(LockManager);
    // The holder's release may have removed the entry, and another
    // transaction may use the slot by now.
    return wait.slot <= MAX_ENTRY_WAITING && waitingList[wait.slot].waitingTransaction == me &&
           waitingList[wait.slot].indexOfLockEntry == wait.lockIndex;
}

void OrvLockManager::ensureWaiting(WaitState& wait, const OrvTransactionId& me, Uint32 blocker) {
    ORV_TRACE(LockManager);
    const bool owned = ownsWaitingEntry(wait, me);
    if (owned && wait.lockIndex == blocker) {
        return;
    }
    if (owned) {
        removeWaitingAt(wait.slot);
    }
    wait = WaitState();
    wait.slot = insertWaitingEntry(me, blocker);
    wait.lockIndex = blocker;
}

void OrvLockManager::dropWaiting(WaitState& wait, const OrvTransactionId& me) {
    ORV_TRACE(LockManager);
    if (ownsWaitingEntry(wait, me)) {
        removeWaitingAt(wait.slot);
    }
    wait = WaitState();
}

OrvLockManager::DBRequestType OrvLockManager::readDbRequestType() const {
    ORV_TRACE(LockManager);
    const Uint32 state = header->dbRequestType;
    if (state > DBExclusive) {
        lockListDamaged("dbRequestType out of range");
    }
    return static_cast<DBRequestType>(state);
}

void OrvLockManager::updateDbRequestType() {
    ORV_TRACE(LockManager);
    // No entry carries the invalid transaction, so every entry counts as
    // another's here.
    const ResourceScan database = scanResource(NO_SEG, NO_PAGE, NO_SLOT, noTransaction());
    header->dbRequestType = database.count == 0                               ? DBNone
                            : database.otherOfType[ExclusiveLock] != LIST_END ? DBExclusive
                                                                              : DBShared;
}

// ---- walks -------------------------------------------------------------------------

OrvLockManager::ResourceScan OrvLockManager::scanResource(SegmentId segmentId, PageId pageId,
                                                          SlotId slotId,
                                                          const OrvTransactionId& me) const {
    ORV_TRACE(LockManager);
    ResourceScan scan;
    walkBucket(header, lockEntry, getHash(segmentId, pageId, slotId),
               [&](Uint32 index, const LockEntry& entry) {
                   if (entry.segmentId != segmentId || entry.pageId != pageId ||
                       entry.slotId != slotId) {
                       return true;
                   }
                   const Uint32 type = entry.lockType;
                   if (!isKnownType(type)) {
                       lockListDamaged("an entry has an unknown lock type");
                   }
                   if (scan.first == LIST_END) {
                       scan.first = index;
                   }
                   ++scan.count;
                   if (entry.transactionId == me) {
                       ++scan.countMine;
                       if (scan.firstMine == LIST_END) {
                           scan.firstMine = index;
                       }
                       if (scan.firstMinePlain == LIST_END &&
                           (type == SharedLock || type == ExclusiveLock)) {
                           scan.firstMinePlain = index;
                       }
                       if (scan.mineOfType[type] == LIST_END) {
                           scan.mineOfType[type] = index;
                       }
                   } else {
                       if (scan.firstOther == LIST_END) {
                           scan.firstOther = index;
                       }
                       if (scan.firstOtherExclusiveKind == LIST_END && isExclusiveKind(type)) {
                           scan.firstOtherExclusiveKind = index;
                       }
                       if (scan.otherOfType[type] == LIST_END) {
                           scan.otherOfType[type] = index;
                       }
                   }
                   return true;
               });
    return scan;
}

Uint32 OrvLockManager::findOtherEntry(const OrvTransactionId& me, bool exclusiveOnly) const {
    ORV_TRACE(LockManager);
    Uint32 found = LIST_END;
    for (Uint32 bucket = 0; bucket < NUMBER_OF_BUCKETS && found == LIST_END; ++bucket) {
        walkBucket(header, lockEntry, bucket, [&](Uint32 index, const LockEntry& entry) {
            if (entry.transactionId != me && (!exclusiveOnly || isExclusiveKind(entry.lockType))) {
                found = index;
                return false;
            }
            return true;
        });
    }
    return found;
}

bool OrvLockManager::holdsAnyEntry(const OrvTransactionId& transactionId) const {
    ORV_TRACE(LockManager);
    bool found = false;
    for (Uint32 bucket = 0; bucket < NUMBER_OF_BUCKETS && !found; ++bucket) {
        walkBucket(header, lockEntry, bucket, [&](Uint32, const LockEntry& entry) {
            found = entry.transactionId == transactionId;
            return !found;
        });
    }
    return found;
}

Uint32 OrvLockManager::countOfType(LockType lockType, SegmentId segmentId, PageId pageId,
                                   SlotId slotId, const OrvTransactionId* other) const {
    ORV_TRACE(LockManager);
    // With a wildcard the matching entries lie in several buckets, so every
    // bucket is walked; an exact resource has all its entries in one.
    const bool wildcard = pageId == NO_PAGE || slotId == NO_SLOT;
    const Uint32 firstBucket = wildcard ? 0 : getHash(segmentId, pageId, slotId);
    const Uint32 lastBucket = wildcard ? NUMBER_OF_BUCKETS - 1 : firstBucket;
    Uint32 count = 0;
    for (Uint32 bucket = firstBucket; bucket <= lastBucket; ++bucket) {
        walkBucket(header, lockEntry, bucket, [&](Uint32, const LockEntry& entry) {
            if (entry.lockType == lockType && entry.segmentId == segmentId &&
                (pageId == NO_PAGE || entry.pageId == pageId) &&
                (slotId == NO_SLOT || entry.slotId == slotId) &&
                (other == nullptr || entry.transactionId != *other)) {
                ++count;
            }
            return true;
        });
    }
    return count;
}

// ---- queries -------------------------------------------------------------------------

namespace {

void checkQueryType(LockType lockType) {
    if (!isKnownType(lockType)) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
}

} // namespace

bool OrvLockManager::existsLock(SegmentId segmentId, PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    const OrvTransactionId me = getTransactionId();
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    return scanResource(segmentId, pageId, slotId, me).countMine > 0;
}

void OrvLockManager::getLockTypeIfLockExists(bool& exists, LockType& lockType, SegmentId segmentId,
                                             PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    const OrvTransactionId me = getTransactionId();
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    const ResourceScan resource = scanResource(segmentId, pageId, slotId, me);
    exists = resource.firstMine != LIST_END;
    if (exists) {
        lockType = lockEntry[resource.firstMine].lockType;
    }
}

bool OrvLockManager::existsEntry(Uint32& offset, SegmentId segmentId, PageId pageId,
                                 SlotId slotId) {
    ORV_TRACE(LockManager);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    offset = scanResource(segmentId, pageId, slotId, noTransaction()).first;
    return offset != LIST_END;
}

bool OrvLockManager::existsEntry(Uint32& offset, const OrvTransactionId& transactionId,
                                 SegmentId segmentId, PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    offset = scanResource(segmentId, pageId, slotId, transactionId).firstMine;
    return offset != LIST_END;
}

bool OrvLockManager::existsLockType(Uint32& offset, SegmentId segmentId, PageId pageId,
                                    LockType lockType) {
    ORV_TRACE(LockManager);
    return existsLockType(offset, segmentId, pageId, NO_SLOT, lockType);
}

bool OrvLockManager::existsLockType(Uint32& offset, SegmentId segmentId, PageId pageId,
                                    SlotId slotId, LockType lockType) {
    ORV_TRACE(LockManager);
    checkQueryType(lockType);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    const Uint32 found =
        scanResource(segmentId, pageId, slotId, noTransaction()).otherOfType[lockType];
    if (found != LIST_END) {
        offset = found;
    }
    return found != LIST_END;
}

bool OrvLockManager::existsLockType(Uint32& offset, SegmentId segmentId, PageId pageId,
                                    LockType lockType, const OrvTransactionId& transactionId) {
    ORV_TRACE(LockManager);
    return existsLockType(offset, segmentId, pageId, NO_SLOT, lockType, transactionId);
}

bool OrvLockManager::existsLockType(Uint32& offset, SegmentId segmentId, PageId pageId,
                                    SlotId slotId, LockType lockType,
                                    const OrvTransactionId& transactionId) {
    ORV_TRACE(LockManager);
    checkQueryType(lockType);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    const Uint32 found =
        scanResource(segmentId, pageId, slotId, transactionId).mineOfType[lockType];
    if (found != LIST_END) {
        offset = found;
    }
    return found != LIST_END;
}

bool OrvLockManager::existsLockTypeOnSegment(SegmentId segmentId, LockType lockType) {
    ORV_TRACE(LockManager);
    Uint32 offset = LIST_END;
    return existsLockType(offset, segmentId, NO_PAGE, NO_SLOT, lockType);
}

bool OrvLockManager::existsLockTypeOnSegment(SegmentId segmentId, LockType lockType,
                                             const OrvTransactionId& transactionId) {
    ORV_TRACE(LockManager);
    Uint32 offset = LIST_END;
    return existsLockType(offset, segmentId, NO_PAGE, NO_SLOT, lockType, transactionId);
}

bool OrvLockManager::existsLockTypeOnPage(SegmentId segmentId, PageId pageId, LockType lockType) {
    ORV_TRACE(LockManager);
    Uint32 offset = LIST_END;
    return existsLockType(offset, segmentId, pageId, NO_SLOT, lockType);
}

bool OrvLockManager::existsLockTypeOnPage(SegmentId segmentId, PageId pageId, LockType lockType,
                                          const OrvTransactionId& transactionId) {
    ORV_TRACE(LockManager);
    Uint32 offset = LIST_END;
    return existsLockType(offset, segmentId, pageId, NO_SLOT, lockType, transactionId);
}

bool OrvLockManager::existsExclusiveLock() {
    ORV_TRACE(LockManager);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    return findOtherEntry(noTransaction(), true) != LIST_END;
}

bool OrvLockManager::existsLockForTransaction(const OrvTransactionId& transactionId) {
    ORV_TRACE(LockManager);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    return holdsAnyEntry(transactionId);
}

Uint32 OrvLockManager::numLocks(SegmentId segmentId, PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    return scanResource(segmentId, pageId, slotId, noTransaction()).count;
}

Uint32 OrvLockManager::numLocks(const OrvTransactionId& transactionId, SegmentId segmentId,
                                PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    return scanResource(segmentId, pageId, slotId, transactionId).countMine;
}

Uint32 OrvLockManager::numLocksOfLockType(LockType lockType, SegmentId segmentId, PageId pageId,
                                          SlotId slotId) {
    ORV_TRACE(LockManager);
    checkQueryType(lockType);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    return countOfType(lockType, segmentId, pageId, slotId, nullptr);
}

Uint32 OrvLockManager::numLocksOfLockTypeOtherTrans(LockType lockType, SegmentId segmentId,
                                                    const OrvTransactionId& transactionId,
                                                    PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    checkQueryType(lockType);
    OrvScopedLatch latch(header->latch, OrvLatch::Shared);
    return countOfType(lockType, segmentId, pageId, slotId, &transactionId);
}

// ---- dumps ---------------------------------------------------------------------------
// Numbers wider than their column are written in full (plain decimal), and
// "<end>" is right-aligned in its column like the numbers.

void OrvLockManager::printEntryHeading() {
    ORV_TRACE(LockManager);
    std::cout << "\n"
              << "|Entry|locktype    |transaction id|segment id|page id|slot id|prev entry|"
                 "next entry|\n"
              << "|=====|============|==============|==========|=======|=======|==========|"
                 "==========|\n";
}

void OrvLockManager::printEntryRow(Uint32 index) const {
    ORV_TRACE(LockManager);
    const LockEntry entry = lockEntry[index];
    std::cout << "|" << std::setw(5) << index << "|" << std::setw(12)
              << dumpTypeName(entry.lockType) << "|" << std::setw(14) << entry.transactionId.dump()
              << "|" << std::setw(10) << entry.segmentId << "|" << std::setw(7) << entry.pageId
              << "|" << std::setw(7) << static_cast<unsigned>(entry.slotId) << "|" << std::setw(10)
              << linkText(entry.prevEntry, LIST_END) << "|" << std::setw(10)
              << linkText(entry.nextEntry, LIST_END) << "|\n";
}

void OrvLockManager::printLockList(bool printBuckets) {
    ORV_TRACE(LockManager);
    std::cout << "\n"
              << "                                LockListe                                   \n"
              << "|==========================================================================|\n";
    if (printBuckets) {
        printLockListHashMap();
    }
    printLockListAllTransactions();
}

void OrvLockManager::printLockListHashMap() {
    ORV_TRACE(LockManager);
    bool latched = false;
    const bool known = header->latch.isLocked(latched) == ORV_SUCCESS;
    std::cout << "                  LockList HashMap                 \n"
              << "===================================================\n"
              << "header->latch: " << (known ? (latched ? "true" : "false") : "unknown") << "\n"
              << "header->countEntry: " << header->countEntry << "\n"
              << "\n"
              << "Attention: Last entry points to next free lockentry\n"
              << "\n"
              << "|bucket|link to list|\n"
              << "|======|============|\n";
    for (Uint32 head = 0; head < INDEX_LENGTH; ++head) {
        std::cout << "|" << std::setw(6) << head << "|" << std::setw(12)
                  << linkText(header->index[head], LIST_END) << "|\n";
    }
    std::cout.flush();
}

void OrvLockManager::printLockListAllTransactions() {
    ORV_TRACE(LockManager);
    printEntryHeading();
    for (Uint32 index = 0; index <= MAX_ENTRY; ++index) {
        if (lockEntry[index].transactionId != noTransaction()) {
            printEntryRow(index);
        }
    }
    std::cout.flush();
}

void OrvLockManager::printLockListOfTransaction(const OrvTransactionId& transactionId) {
    ORV_TRACE(LockManager);
    printEntryHeading();
    for (Uint32 index = 0; index <= MAX_ENTRY; ++index) {
        if (transactionId != noTransaction() && lockEntry[index].transactionId == transactionId) {
            printEntryRow(index);
        }
    }
    std::cout.flush();
}

void OrvLockManager::printLockListOfCurrentTransaction() {
    ORV_TRACE(LockManager);
    printEntryHeading();
    for (Uint32 index : usedEntries) {
        if (index <= MAX_ENTRY) {
            printEntryRow(index);
        }
    }
    std::cout.flush();
}

void OrvLockManager::printWaitList() {
    ORV_TRACE(LockManager);
    std::cout << "|index|waitTrans|indexlockentry|preventry|nextentry|\n"
              << "|=====|=========|==============|=========|=========|\n";
    for (Uint32 slot = 0; slot <= MAX_ENTRY_WAITING; ++slot) {
        const WaitingEntry entry = waitingList[slot];
        if (entry.waitingTransaction == noTransaction()) {
            continue;
        }
        std::cout << "|" << std::setw(5) << slot << "|" << std::setw(9)
                  << entry.waitingTransaction.dump() << "|" << std::setw(14)
                  << entry.indexOfLockEntry << "|" << std::setw(9)
                  << linkText(entry.prevEntry, LIST_END_WAITING) << "|" << std::setw(9)
                  << linkText(entry.nextEntry, LIST_END_WAITING) << "|\n";
    }
    std::cout.flush();
}

void OrvLockManager::staticPrintLockListAllTransactions() {
    ORV_TRACE(LockManager);
    getInstance()->printLockListAllTransactions();
}

void OrvLockManager::staticPrintLockListHashMap() {
    ORV_TRACE(LockManager);
    getInstance()->printLockListHashMap();
}

void OrvLockManager::staticPrintLockListOfTransaction(const std::string& transactionId) {
    ORV_TRACE(LockManager);
    const OrvTransactionId id(transactionId);
    getInstance()->printLockListOfTransaction(id);
}

void OrvLockManager::staticPrintLockListOfCurrentTransaction() {
    ORV_TRACE(LockManager);
    getInstance()->printLockListOfCurrentTransaction();
}

void OrvLockManager::staticPrintWaitList() {
    ORV_TRACE(LockManager);
    getInstance()->printWaitList();
}

void OrvLockManager::lmStats(const std::string* args) {
    ORV_TRACE(LockManager);
    // Split at every single blank: two blanks in a row give an empty field.
    std::vector<std::string> fields;
    if (args != nullptr && !args->empty()) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t blank = args->find(' ', start);
            fields.push_back(args->substr(start, blank - start));
            if (blank == std::string::npos) {
                break;
            }
            start = blank + 1;
        }
    }
    const auto is = [&fields](std::initializer_list<const char*> words) {
        return fields.size() == words.size() &&
               std::equal(fields.begin(), fields.end(), words.begin());
    };
    try {
        if (is({"current", "transaction"})) {
            staticPrintLockListOfCurrentTransaction();
        } else if (is({"waitinglist"})) {
            staticPrintWaitList();
        } else if (is({"locklisthashmap"}) || is({"hashmap"})) {
            staticPrintLockListHashMap();
        } else {
            // "all transactions", and anything else.
            staticPrintLockListAllTransactions();
        }
    } catch (const OrvException& e) {
        e.print_message(std::cout);
        std::cout.flush();
    }
}
