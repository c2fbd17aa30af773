#include "OrvLock.h"

#include "OrvDebug.h"
#include "OrvError.h"
#include "OrvException.h"
#include "lock/OrvLockList.h"
#include "lock/OrvLockManagerProfiling.h"
#include "lock/OrvOwnLocks.h"
#include "support/OrvMemoryManager.h"
#include "support/OrvSharedSet.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <ctime>
#include <sched.h>
#include <sys/time.h>

OrvLockManager* OrvLockManager::instance = nullptr;

using namespace OrvLockList;

namespace {

// The type names of the time-out messages.
const char* requestTypeName(LockType lockType) {
    return lockType == OrvLockManager::SharedLock ? "shared" : "exclusive";
}

const char* intentionTypeName(LockType intentionType) {
    return intentionType == OrvLockManager::IntentionalSharedLock ? "intentionalShared"
                                                                  : "intentionalExclusive";
}

long secondsNow() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return now.tv_sec;
}

long millisecondsNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
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

// How often a waiting request looks for holders that died: reading the
// process table and /proc for each process in it costs far more than one
// attempt, and a dead holder is rare.
constexpr long DEAD_PROCESS_CHECK_MS = 200;

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

} // namespace

// ---- the process's manager and the shared list --------------------------------

OrvLockManager::OrvLockManager()
    : header(nullptr), lockEntry(nullptr), own(new OwnLocks()), waitingList(nullptr),
      processSlots(nullptr), mySlot(NO_PROCESS_SLOT), adoptedPid(0), ownIdUnsettled(false),
      nextTryDeadCheck(0), rollbackDepth(0), profiler(new OrvLockManagerProfiling::Profiler()) {
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
    processSlots = OrvLockList::processSlotsOf(header);
    try {
        registerProcess();
    } catch (...) {
        memoryManager->disconnectFromMemorySet(OrvMemoryManager::LockList);
        throw;
    }
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
        unregisterProcess();
    } catch (const OrvException& e) {
        recordCaught(e, __FILE__, __PRETTY_FUNCTION__, __LINE__);
        orvTrace.traceString(4, "could not free the process's slot");
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

// One request in progress: what it asks for, the intention entries it holds
// a hold on, and its waiting entry.
struct OrvLockManager::RequestState {
    // Copied, not default-constructed: the default transaction id asks the
    // system for the process id.
    explicit RequestState(const OrvTransactionId& transaction) : me(transaction) {}

    OrvTransactionId me;
    LockType lockType = SharedLock;
    LockType intentionType = IntentionalSharedLock;
    SegmentId segmentId = NO_SEG;
    PageId pageId = NO_PAGE;
    SlotId slotId = NO_SLOT;
    bool forceRequest = false;
    // A try request never waits, so it never enters the waiting list: an
    // entry there would let the deadlock check report a cycle through a
    // request that was about to give up anyway.
    bool tryLock = false;
    // The database-level gate is passed once; after that the request holds
    // entries and is not sent back to it.
    bool gatePassed = false;
    // The intention entries on the segment and on the page that this
    // request holds a hold on, or LIST_END.
    Uint32 onSegment = LIST_END;
    Uint32 onPage = LIST_END;
    WaitState wait;
    Grant grant;
};

void OrvLockManager::requestSegment(SegmentId segmentId, LockType lockType, bool forceRequest) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    checkRequestArguments(lockType, segmentId, NO_PAGE, NO_SLOT);
    if (request(lockType, segmentId, NO_PAGE, NO_SLOT, forceRequest, false).outcome ==
        Outcome::Blocked) {
        throwRequestTimeOut(lockType, segmentId, NO_PAGE, NO_SLOT);
    }
}

void OrvLockManager::requestPage(SegmentId segmentId, PageId pageId, LockType lockType,
                                 bool forceRequest) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    checkRequestArguments(lockType, segmentId, pageId, NO_SLOT);
    if (pageId == NO_PAGE) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    if (request(lockType, segmentId, pageId, NO_SLOT, forceRequest, false).outcome ==
        Outcome::Blocked) {
        throwRequestTimeOut(lockType, segmentId, pageId, NO_SLOT);
    }
}

void OrvLockManager::requestSlot(SegmentId segmentId, PageId pageId, SlotId slotId,
                                 LockType lockType, bool forceRequest) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    checkRequestArguments(lockType, segmentId, pageId, slotId);
    if (pageId == NO_PAGE || slotId == NO_SLOT) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    if (request(lockType, segmentId, pageId, slotId, forceRequest, false).outcome ==
        Outcome::Blocked) {
        throwRequestTimeOut(lockType, segmentId, pageId, slotId);
    }
}

bool OrvLockManager::tryRequestSegment(SegmentId segmentId, LockType lockType, bool forceRequest) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    checkRequestArguments(lockType, segmentId, NO_PAGE, NO_SLOT);
    return request(lockType, segmentId, NO_PAGE, NO_SLOT, forceRequest, true).outcome !=
           Outcome::Blocked;
}

bool OrvLockManager::tryRequestPage(SegmentId segmentId, PageId pageId, LockType lockType,
                                    bool forceRequest) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    checkRequestArguments(lockType, segmentId, pageId, NO_SLOT);
    if (pageId == NO_PAGE) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    return request(lockType, segmentId, pageId, NO_SLOT, forceRequest, true).outcome !=
           Outcome::Blocked;
}

bool OrvLockManager::tryRequestSlot(SegmentId segmentId, PageId pageId, SlotId slotId,
                                    LockType lockType, bool forceRequest) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetRequestTime);
    checkRequestArguments(lockType, segmentId, pageId, slotId);
    if (pageId == NO_PAGE || slotId == NO_SLOT) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    return request(lockType, segmentId, pageId, slotId, forceRequest, true).outcome !=
           Outcome::Blocked;
}

void OrvLockManager::throwRequestTimeOut(LockType lockType, SegmentId segmentId, PageId pageId,
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

OrvLockManager::Gate OrvLockManager::databaseGate(LockType lockType, bool forceRequest,
                                                  const OrvTransactionId& me,
                                                  Uint32& blocker) const {
    // The state is kept together with the database entries under the latch,
    // so DBNone spares the walk of bucket 0 on every request.
    if (readDbRequestType() == DBNone) {
        return Gate::Open;
    }
    const ResourceScan database = scanResource(NO_SEG, NO_PAGE, NO_SLOT, me);
    if (database.count == 0) {
        return Gate::Open;
    }
    if (database.mineOfType[ExclusiveLock] != LIST_END) {
        return forceRequest ? Gate::Open : Gate::Covered;
    }
    if (database.mineOfType[SharedLock] != LIST_END) {
        return lockType == SharedLock && !forceRequest ? Gate::Covered : Gate::Open;
    }
    // A shared database lock of another transaction lets shared requests
    // through; what conflicts with it is an exclusive one.
    for (Uint32 held = 0; held < NUMBER_OF_LOCK_TYPES; ++held) {
        if (database.otherOfType[held] != LIST_END &&
            conflicts(lockType, static_cast<LockType>(held))) {
            blocker = database.firstOther;
            return Gate::Blocked;
        }
    }
    return Gate::Open;
}

OrvLockManager::Grant OrvLockManager::request(LockType lockType, SegmentId segmentId, PageId pageId,
                                              SlotId slotId, bool forceRequest, bool tryLock) {
    RequestState state(getTransactionId());
    state.lockType = lockType;
    state.intentionType = intentionOf(lockType);
    state.segmentId = segmentId;
    state.pageId = pageId;
    state.slotId = slotId;
    state.forceRequest = forceRequest;
    state.tryLock = tryLock;

    // A lock the transaction holds already covers the request: nobody else
    // can hold or be granted anything on the resource that conflicts with
    // it. Only the database lock state, read without the latch as in every
    // request, can send the request through the list.
    if (!forceRequest &&
        __atomic_load_n(reinterpret_cast<const Uint32*>(&header->dbRequestType),
                        __ATOMIC_RELAXED) == DBNone &&
        own->covers(state.me, lockType, segmentId, pageId, slotId)) {
        state.grant.outcome = Outcome::Covered;
        return state.grant;
    }

    if (ownIdUnsettled) {
        settleOwnProcessId();
    }
    long deadline = 0; // whole seconds; set when the request first has to wait
    long nextDeadCheck = 0;
    Backoff backoff;
    try {
        for (;;) {
            Step step;
            try {
                OrvScopedExclusiveLatch latch(header->latch);
                step = attempt(state, latch);
            } catch (const OrvException& e) {
                // A list filled by entries of dead processes has room again
                // once they are taken over.
                if (e.getErrorCode() != ORV_LM_LOCK_LIST_FULL) {
                    throw;
                }
                cleanUpRequest(state);
                bool busy = false;
                if (takeOverDeadProcesses(busy) == 0) {
                    // Another process is taking a dead one over: its entries
                    // go soon, unless that takes longer than a wait may.
                    if (!busy) {
                        throw;
                    }
                    if (deadline == 0) {
                        deadline = secondsNow() + static_cast<long>(ORV_LOCK_TIMEOUT);
                    } else if (!(secondsNow() < deadline)) {
                        throw;
                    }
                    backoff.pause();
                }
                OrvError::getErrorObject()->setError(LockManager, ORV_SUCCESS);
                continue;
            }
            switch (step) {
            case Step::Granted:
            case Step::Covered:
                return state.grant;
            case Step::Refused:
                cleanUpRequest(state);
                return state.grant;
            case Step::WaitDatabase:
            case Step::WaitResource:
                if (tryLock) {
                    cleanUpRequest(state);
                    // A refusal because of a dead holder would last for
                    // ever; the look for one is spaced out over all the
                    // process's try requests.
                    if (takeOverIfDue(nextTryDeadCheck)) {
                        continue;
                    }
                    return state.grant;
                }
                break;
            case Step::WaitIntention:
                if (tryLock) {
                    cleanUpRequest(state);
                    if (takeOverIfDue(nextTryDeadCheck)) {
                        continue;
                    }
                    return state.grant;
                }
                break;
            }
            if (takeOverIfDue(nextDeadCheck, state)) {
                continue;
            }
            if (deadline == 0) {
                deadline = secondsNow() + static_cast<long>(ORV_LOCK_TIMEOUT);
            } else if (!(secondsNow() < deadline)) {
                cleanUpRequest(state);
                return state.grant;
            }
            backoff.pause();
        }
    } catch (...) {
        cleanUpRequest(state);
        throw;
    }
}

OrvLockManager::Step OrvLockManager::attempt(RequestState& state,
                                             const OrvScopedExclusiveLatch& latch) {
    const OrvTransactionId& me = state.me;
    state.grant = Grant();
    if (!state.gatePassed) {
        Uint32 blocker = LIST_END;
        const Gate gate = databaseGate(state.lockType, state.forceRequest, me, blocker);
        if (gate == Gate::Blocked) {
            // A transaction with entries is refused at once: waiting for the
            // database lock while holding locks invites deadlocks that the
            // waiting list cannot see.
            if (own->countOf(me) > 0) {
                dropWaiting(state.wait, me);
                return Step::Refused;
            }
            if (!state.tryLock) {
                ensureWaiting(state.wait, me, blocker);
            }
            return Step::WaitDatabase;
        }
        dropWaiting(state.wait, me);
        if (gate == Gate::Covered) {
            state.grant.outcome = Outcome::Covered;
            return Step::Covered;
        }
        state.gatePassed = true;
    }

    if (!state.forceRequest &&
        own->covers(me, state.lockType, state.segmentId, state.pageId, state.slotId)) {
        releaseTakenIntentions(state);
        dropWaiting(state.wait, me);
        state.grant.outcome = Outcome::Covered;
        return Step::Covered;
    }

    if (header->countEntry > MAX_ENTRY) {
        lockListDamaged("countEntry out of range");
    }
    // While every entry in the list is the transaction's own, nothing can
    // conflict, and the buckets need not be walked.
    const bool alone = header->countEntry == own->countOf(me);

    // The intention entries: a hold on the transaction's own entry of the
    // type, or a new entry where nothing of others conflicts. Each is taken
    // as soon as it is granted, so a request that waits further down keeps
    // the levels above.
    enum class Plan { Hold, Insert, Wait };
    const auto plan = [&](PageId pageId, Uint32& existing) {
        existing = own->findType(me, state.segmentId, pageId, NO_SLOT, state.intentionType);
        if (existing != LIST_END) {
            return Plan::Hold;
        }
        if (alone ||
            own->findType(me, state.segmentId, pageId, NO_SLOT, ExclusiveLock) != LIST_END) {
            return Plan::Insert;
        }
        return firstConflict(state.intentionType, state.segmentId, pageId, NO_SLOT, me) == LIST_END
                   ? Plan::Insert
                   : Plan::Wait;
    };
    const auto take = [&](Plan how, Uint32 existing, PageId pageId) {
        const Uint32 index = how == Plan::Hold ? existing
                                               : insertEntry(me, state.intentionType,
                                                             state.segmentId, pageId, NO_SLOT);
        ++own->node(index).holders;
        return index;
    };

    Plan onSegment = Plan::Hold;
    Uint32 segmentEntry = state.onSegment;
    if (state.pageId != NO_PAGE && state.onSegment == LIST_END) {
        onSegment = plan(NO_PAGE, segmentEntry);
        if (onSegment == Plan::Wait) {
            waitForIntention(state, NO_PAGE);
            return Step::WaitIntention;
        }
    }
    Plan onPage = Plan::Hold;
    Uint32 pageEntry = state.onPage;
    if (state.slotId != NO_SLOT && state.onPage == LIST_END) {
        onPage = plan(state.pageId, pageEntry);
    }
    const Uint32 blocker =
        onPage == Plan::Wait || alone
            ? LIST_END
            : firstConflict(state.lockType, state.segmentId, state.pageId, state.slotId, me);

    const Uint32 needed = (onSegment == Plan::Insert ? 1 : 0) + (onPage == Plan::Insert ? 1 : 0) +
                          (onPage == Plan::Wait || blocker != LIST_END ? 0 : 1);
    if (header->countEntry > MAX_ENTRY - needed) {
        if (onPage != Plan::Wait && blocker == LIST_END && state.pageId != NO_PAGE &&
            escalate(state, alone, latch)) {
            releaseTakenIntentions(state);
            dropWaiting(state.wait, me);
            state.grant.outcome = Outcome::Covered;
            return Step::Covered;
        }
        ORV_THROW(ORV_LM_LOCK_LIST_FULL);
    }

    if (state.pageId != NO_PAGE && state.onSegment == LIST_END) {
        state.onSegment = take(onSegment, segmentEntry, NO_PAGE);
    }
    if (onPage == Plan::Wait) {
        waitForIntention(state, state.pageId);
        return Step::WaitIntention;
    }
    if (state.slotId != NO_SLOT && state.onPage == LIST_END) {
        state.onPage = take(onPage, pageEntry, state.pageId);
    }
    if (blocker != LIST_END) {
        if (!state.tryLock) {
            ensureWaiting(state.wait, me, blocker);
        }
        return Step::WaitResource;
    }
    dropWaiting(state.wait, me);
    const Uint32 index =
        insertEntry(me, state.lockType, state.segmentId, state.pageId, state.slotId);
    // The intention holds now belong to the lock.
    state.onSegment = LIST_END;
    state.onPage = LIST_END;
    state.grant.outcome = Outcome::Granted;
    state.grant.entry = index;
    state.grant.stamp = own->node(index).stamp;
    return Step::Granted;
}

void OrvLockManager::waitForIntention(RequestState& state, PageId pageId) {
    // Like a wait for the lock itself, the wait for an intention entry names
    // the entry it waits for: two transactions that each hold a shared lock
    // on a segment and want to change a page of it wait for each other, and
    // only the waiting list lets the deadlock check see that.
    if (state.tryLock) {
        return;
    }
    const Uint32 blocker =
        firstConflict(state.intentionType, state.segmentId, pageId, NO_SLOT, state.me);
    if (blocker != LIST_END) {
        ensureWaiting(state.wait, state.me, blocker);
    }
}

bool OrvLockManager::escalate(RequestState& state, bool alone, const OrvScopedExclusiveLatch&) {
    ORV_TRACE(LockManager);
    const OrvTransactionId& me = state.me;
    const SegmentId segmentId = state.segmentId;
    const bool exclusive =
        state.lockType == ExclusiveLock ||
        own->findType(me, segmentId, NO_PAGE, NO_SLOT, IntentionalExclusiveLock) != LIST_END;
    const LockType type = exclusive ? ExclusiveLock : SharedLock;
    const bool held = own->find(me, segmentId, NO_PAGE, NO_SLOT, [type](const OwnLocks::Node& n) {
        return n.type == ExclusiveLock || n.type == type;
    }) != LIST_END;
    if (!held && !alone && firstConflict(type, segmentId, NO_PAGE, NO_SLOT, me) != LIST_END) {
        return false;
    }
    const auto replaced = [&](Uint32 index) {
        const OwnLocks::Node& n = own->node(index);
        return own->contains(index) && n.transaction == me && n.segment == segmentId &&
               n.page != NO_PAGE && isPlainType(n.type) && !n.scoped;
    };
    Uint32 freed = 0;
    own->forEachAscending([&](Uint32 index) { freed += replaced(index) ? 1 : 0; });
    if (!held && header->countEntry - freed >= MAX_ENTRY) {
        return false;
    }
    orvTrace.traceNumber(1, "escalating to a lock on segment", static_cast<Uint32>(segmentId));
    own->forEachAscending([&](Uint32 index) {
        if (replaced(index)) {
            releaseOwnEntry(index);
        }
    });
    if (!held) {
        const Uint32 index = insertEntry(me, type, segmentId, NO_PAGE, NO_SLOT);
        own->node(index).escalation = true;
    }
    own->markEscalated(me, segmentId);
    return true;
}

void OrvLockManager::cleanUpRequest(RequestState& state) {
    if (state.onSegment == LIST_END && state.onPage == LIST_END &&
        state.wait.slot == LIST_END_WAITING) {
        return;
    }
    ORV_TRACE(LockManager);
    // The failure that ended the request is what the caller sees; one of the
    // clean-up stays in the trace.
    try {
        OrvScopedExclusiveLatch latch(header->latch);
        dropWaiting(state.wait, state.me);
        releaseTakenIntentions(state);
    } catch (const OrvException&) {
        orvTrace.traceString(1, "could not clean up after a failed lock request");
    } catch (const std::exception&) {
        orvTrace.traceString(2, "could not clean up after a failed lock request");
    }
}

void OrvLockManager::releaseTakenIntentions(RequestState& state) {
    if (state.onPage != LIST_END) {
        dropIntentionHold(state.onPage);
        state.onPage = LIST_END;
    }
    if (state.onSegment != LIST_END) {
        dropIntentionHold(state.onSegment);
        state.onSegment = LIST_END;
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
    if (ownIdUnsettled) {
        settleOwnProcessId();
    }
    long deadline = 0;
    long nextDeadCheck = 0;
    Backoff backoff;
    for (;;) {
        {
            OrvScopedExclusiveLatch latch(header->latch);
            Uint32 index = own->findType(me, segmentId, pageId, NO_SLOT, intentionType);
            if (index == LIST_END &&
                (header->countEntry == own->countOf(me) ||
                 own->findType(me, segmentId, pageId, NO_SLOT, ExclusiveLock) != LIST_END ||
                 firstConflict(intentionType, segmentId, pageId, NO_SLOT, me) == LIST_END)) {
                index = insertEntry(me, intentionType, segmentId, pageId, NO_SLOT);
            }
            if (index != LIST_END) {
                own->node(index).pinned = true;
                return true;
            }
        }
        if (takeOverIfDue(nextDeadCheck)) {
            continue;
        }
        if (deadline == 0) {
            deadline = secondsNow() + static_cast<long>(ORV_LOCK_TIMEOUT);
        } else if (!(secondsNow() < deadline)) {
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
    RequestState state(getTransactionId());
    const OrvTransactionId& me = state.me;
    if (ownIdUnsettled) {
        settleOwnProcessId();
    }
    const Deadline deadline;
    long nextDeadCheck = 0;
    Backoff backoff;
    try {
        for (;;) {
            {
                OrvScopedExclusiveLatch latch(header->latch);
                const ResourceScan database = scanResource(NO_SEG, NO_PAGE, NO_SLOT, me);
                // A state without a database entry locks nothing.
                const DBRequestType dbState = database.count == 0 ? DBNone : readDbRequestType();
                Uint32 blocker = LIST_END;
                bool insert = false;
                bool granted = false;
                if (database.mineOfType[ExclusiveLock] != LIST_END ||
                    (lockType == SharedLock && database.countMine > 0)) {
                    granted = true;
                } else if (dbState == DBExclusive) {
                    blocker = database.firstOther;
                } else {
                    // The transaction's own entries never block it: a shared
                    // database lock waits for exclusive kinds of others, an
                    // exclusive one (also the upgrade of its own shared one)
                    // for any entry of others.
                    blocker = findOtherEntry(me, lockType);
                    insert = blocker == LIST_END;
                }
                if (granted || insert) {
                    dropWaiting(state.wait, me);
                    if (insert) {
                        insertEntry(me, lockType, NO_SEG, NO_PAGE, NO_SLOT);
                        updateDbRequestType();
                    }
                    return;
                }
                if (blocker != LIST_END) {
                    ensureWaiting(state.wait, me, blocker);
                }
            }
            if (takeOverIfDue(nextDeadCheck, state)) {
                continue;
            }
            if (deadline.passed()) {
                break;
            }
            backoff.pause();
        }
        ORV_THROW(ORV_LM_LOCK_TIME_OUT, requestTypeName(lockType));
    } catch (...) {
        cleanUpRequest(state);
        throw;
    }
}

bool OrvLockManager::takeOverIfDue(long& nextCheckMs) {
    const long now = millisecondsNow();
    if (nextCheckMs != 0 && now < nextCheckMs) {
        return false;
    }
    nextCheckMs = now + DEAD_PROCESS_CHECK_MS;
    bool busy = false;
    return takeOverDeadProcesses(busy) > 0;
}

bool OrvLockManager::takeOverIfDue(long& nextCheckMs, RequestState& state) {
    const long now = millisecondsNow();
    if (nextCheckMs != 0 && now < nextCheckMs) {
        return false;
    }
    nextCheckMs = now + DEAD_PROCESS_CHECK_MS;
    if (adoptedPid != 0 || !deadProcessListed()) {
        return false;
    }
    // The waiting entry and the intention holds go first: the takeover
    // makes requests of its own.
    cleanUpRequest(state);
    bool busy = false;
    return takeOverDeadProcesses(busy) > 0;
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

void OrvLockManager::throwNoSuchEntry(SegmentId segmentId, PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
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

void OrvLockManager::releaseResource(SegmentId segmentId, PageId pageId, SlotId slotId) {
    const OrvTransactionId me = getTransactionId();
    OrvScopedExclusiveLatch latch(header->latch);
    // The newest plain entry; never one that a live scoped lock owns (that
    // lock releases it), nor the segment lock an escalation took.
    const Uint32 index = own->find(me, segmentId, pageId, slotId, [](const OwnLocks::Node& n) {
        return isPlainType(n.type) && !n.escalation && !n.scoped;
    });
    if (index == LIST_END) {
        if (pageId != NO_PAGE && own->isEscalated(me, segmentId)) {
            return; // the segment lock holds it until releaseAll
        }
        throwNoSuchEntry(segmentId, pageId, slotId);
    }
    releaseOwnEntry(index);
}

void OrvLockManager::releaseScoped(Uint32 entry, Uint32 stamp, SegmentId segmentId, PageId pageId,
                                   SlotId slotId) {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetReleaseTime);
    OrvScopedExclusiveLatch latch(header->latch);
    if (!own->contains(entry) || own->node(entry).stamp != stamp) {
        throwNoSuchEntry(segmentId, pageId, slotId);
    }
    releaseOwnEntry(entry);
}

void OrvLockManager::markScoped(Uint32 entry, Uint32 stamp, bool scoped) {
    if (own->contains(entry) && own->node(entry).stamp == stamp) {
        own->node(entry).scoped = scoped;
    }
}

void OrvLockManager::releaseOwnEntry(Uint32 index) {
    const OwnLocks::Node node = own->node(index);
    deleteEntry(index);
    const LockType intentionType = intentionOf(static_cast<LockType>(node.type));
    if (node.slot != NO_SLOT) {
        dropIntentionHold(node.transaction, node.segment, node.page, intentionType);
    }
    if (node.page != NO_PAGE) {
        dropIntentionHold(node.transaction, node.segment, NO_PAGE, intentionType);
    }
}

void OrvLockManager::dropIntentionHold(const OrvTransactionId& transactionId, SegmentId segmentId,
                                       PageId pageId, LockType intentionType) {
    // A lock holds the intention entry of its own type; the other type is
    // looked for only so that a hold is never lost.
    const LockType other = intentionType == IntentionalExclusiveLock ? IntentionalSharedLock
                                                                     : IntentionalExclusiveLock;
    const auto held = [](const OwnLocks::Node& n) { return n.holders > 0; };
    Uint32 index =
        own->find(transactionId, segmentId, pageId, NO_SLOT,
                  [&](const OwnLocks::Node& n) { return n.type == intentionType && held(n); });
    if (index == LIST_END) {
        index = own->find(transactionId, segmentId, pageId, NO_SLOT,
                          [&](const OwnLocks::Node& n) { return n.type == other && held(n); });
    }
    if (index != LIST_END) {
        dropIntentionHold(index);
    }
}

void OrvLockManager::dropIntentionHold(Uint32 index) {
    OwnLocks::Node& node = own->node(index);
    if (node.holders > 0) {
        --node.holders;
    }
    if (node.holders == 0 && !node.pinned) {
        deleteEntry(index);
    }
}

void OrvLockManager::releaseDB() {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetReleaseTime);
    const OrvTransactionId me = getTransactionId();
    OrvScopedExclusiveLatch latch(header->latch);
    const Uint32 index =
        own->find(me, NO_SEG, NO_PAGE, NO_SLOT, [](const OwnLocks::Node&) { return true; });
    if (index == LIST_END) {
        ORV_THROW(ORV_LM_NO_SUCH_ENTRY);
    }
    deleteEntry(index);
    updateDbRequestType();
}

void OrvLockManager::releaseAll() {
    ORV_TRACE(LockManager);
    OrvLockManagerProfiling::ScopedTimer timer(*profiler, OrvLockManagerProfiling::GetReleaseTime);
    const OrvTransactionId me = getTransactionId();
    OrvScopedExclusiveLatch latch(header->latch);
    // Every entry the process inserted goes, of its current and its earlier
    // transactions alike: none of them has anybody else to release it.
    bool databaseEntryReleased = false;
    own->forEachAscending([&](Uint32 index) {
        const LockEntry& entry = lockEntry[index];
        if (entry.transactionId == noTransaction() ||
            entry.transactionId.getProcessID() != me.getProcessID()) {
            orvTrace.traceNumber(1, "skipped an entry that is no longer this process's", index);
            own->remove(index);
            return;
        }
        if (entry.segmentId == NO_SEG && entry.pageId == NO_PAGE && entry.slotId == NO_SLOT) {
            databaseEntryReleased = true;
        }
        deleteEntry(index);
    });
    own->clear();
    if (header->firstUsedWaitingEntry != LIST_END_WAITING) {
        removeWaitingOfProcess(me.getProcessID());
    }
    if (databaseEntryReleased) {
        updateDbRequestType();
    }
}
