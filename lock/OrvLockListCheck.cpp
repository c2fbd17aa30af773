#include "lock/OrvLockListCheck.h"

#include "lock/OrvOwnLocks.h"
#include "support/OrvTrace.h"

#include <map>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace OrvLockList {

namespace {

using Manager = OrvLockManager;

constexpr Uint32 LOCK_ENTRIES = Manager::MAX_ENTRY + 1;
constexpr Uint32 WAITING_ENTRIES = Manager::MAX_ENTRY_WAITING + 1;

std::string number(Uint32 value) {
    return std::to_string(value);
}

bool isFree(const OrvTransactionId& id) {
    return id == OrvTransactionId::INVALID_TRANSACTION_ID;
}

class Checker {
public:
    explicit Checker(const Manager::Header* header)
        : header(header), entries(lockEntriesOf(header)), waiting(waitingEntriesOf(header)),
          chainOf(LOCK_ENTRIES, -1), waitingSeen(WAITING_ENTRIES, false) {}

    std::vector<std::string> run() {
        Uint32 inBuckets = 0;
        for (Uint32 bucket = 0; bucket < Manager::NUMBER_OF_BUCKETS; ++bucket) {
            inBuckets += walkLockChain(bucket);
        }
        const Uint32 free = walkLockChain(Manager::FREE_CHAIN_HEAD);
        if (free == 0) {
            problem("the free chain is empty");
        }
        if (inBuckets + free != LOCK_ENTRIES) {
            problem(number(inBuckets + free) + " lock entries are in chains, not " +
                    number(LOCK_ENTRIES));
        }
        if (header->countEntry != inBuckets) {
            problem("countEntry is " + number(header->countEntry) + " but the buckets hold " +
                    number(inBuckets));
        }
        checkWaiting();
        checkDatabaseState();
        return problems;
    }

private:
    void problem(const std::string& text) { problems.push_back(text); }

    // Walks one chain of lock entries from its head; returns its length.
    Uint32 walkLockChain(Uint32 head) {
        const bool freeChain = head == Manager::FREE_CHAIN_HEAD;
        const std::string name = freeChain ? "the free chain" : "bucket " + number(head);
        Uint32 index = header->index[head];
        Uint32 previous = Manager::LIST_END;
        Uint32 length = 0;
        while (index != Manager::LIST_END) {
            if (index > Manager::MAX_ENTRY) {
                problem(name + " links to index " + number(index));
                break;
            }
            if (chainOf[index] != -1) {
                problem(name + " reaches entry " + number(index) + " a second time");
                break;
            }
            chainOf[index] = static_cast<int>(head);
            ++length;
            const Manager::LockEntry& entry = entries[index];
            if (entry.prevEntry != previous) {
                problem("entry " + number(index) + " in " + name + " links back to " +
                        number(entry.prevEntry) + ", not " + number(previous));
            }
            if (freeChain && !isFree(entry.transactionId)) {
                problem("entry " + number(index) + " in the free chain is in use");
            }
            if (!freeChain) {
                if (isFree(entry.transactionId)) {
                    problem("entry " + number(index) + " in " + name + " is free");
                }
                if (entry.lockType > Manager::IntentionalExclusiveLock) {
                    problem("entry " + number(index) + " has lock type " + number(entry.lockType));
                }
                if (Manager::getHash(entry.segmentId, entry.pageId, entry.slotId) != head) {
                    problem("entry " + number(index) + " lies in " + name +
                            ", not in the bucket of its resource");
                }
            }
            previous = index;
            index = entry.nextEntry;
        }
        return length;
    }

    void checkWaiting() {
        Uint32 free = 0;
        Uint32 last = Manager::LIST_END_WAITING;
        for (Uint32 slot = header->nextFreeEntry; slot != Manager::LIST_END_WAITING;
             slot = waiting[slot].nextEntry) {
            if (slot > Manager::MAX_ENTRY_WAITING || waitingSeen[slot]) {
                problem("the free waiting chain is broken at " + number(slot));
                break;
            }
            waitingSeen[slot] = true;
            ++free;
            last = slot;
            if (!isFree(waiting[slot].waitingTransaction)) {
                problem("free waiting entry " + number(slot) + " names a transaction");
            }
        }
        if (last != Manager::MAX_ENTRY_WAITING) {
            problem("the free waiting chain does not end with entry 100");
        }

        Uint32 used = 0;
        Uint32 newer = Manager::LIST_END_WAITING;
        for (Uint32 slot = header->firstUsedWaitingEntry; slot != Manager::LIST_END_WAITING;
             slot = waiting[slot].prevEntry) {
            if (slot > Manager::MAX_ENTRY_WAITING || waitingSeen[slot]) {
                problem("the used waiting chain is broken at " + number(slot));
                break;
            }
            waitingSeen[slot] = true;
            ++used;
            const Manager::WaitingEntry& entry = waiting[slot];
            if (entry.nextEntry != newer) {
                problem("waiting entry " + number(slot) + " links forward to " +
                        number(entry.nextEntry) + ", not " + number(newer));
            }
            newer = slot;
            checkUsedWaitingEntry(slot, entry);
        }
        if (free + used != WAITING_ENTRIES) {
            problem(number(free + used) + " waiting entries are in chains, not " +
                    number(WAITING_ENTRIES));
        }
    }

    void checkUsedWaitingEntry(Uint32 slot, const Manager::WaitingEntry& entry) {
        const std::string name = "waiting entry " + number(slot);
        if (isFree(entry.waitingTransaction)) {
            problem(name + " is used but names no transaction");
        }
        const Uint32 target = entry.indexOfLockEntry;
        if (target > Manager::MAX_ENTRY) {
            problem(name + " waits for lock entry " + number(target));
            return;
        }
        if (chainOf[target] < 0 || chainOf[target] == static_cast<int>(Manager::FREE_CHAIN_HEAD)) {
            problem(name + " waits for lock entry " + number(target) + ", which is not in use");
            return;
        }
        if (entries[target].transactionId == entry.waitingTransaction) {
            problem(name + " waits for an entry of its own transaction");
        }
    }

    void checkDatabaseState() {
        bool anyEntry = false;
        bool exclusive = false;
        const Uint8 bucket = Manager::getHash(Manager::NO_SEG, Manager::NO_PAGE, Manager::NO_SLOT);
        for (Uint32 index = 0; index <= Manager::MAX_ENTRY; ++index) {
            const Manager::LockEntry& entry = entries[index];
            if (chainOf[index] == static_cast<int>(bucket) && entry.segmentId == Manager::NO_SEG &&
                entry.pageId == Manager::NO_PAGE && entry.slotId == Manager::NO_SLOT) {
                anyEntry = true;
                exclusive = exclusive || entry.lockType == Manager::ExclusiveLock;
            }
        }
        const Uint32 state = header->dbRequestType;
        const Uint32 expected = !anyEntry   ? Manager::DBNone
                                : exclusive ? Manager::DBExclusive
                                            : Manager::DBShared;
        if (state != expected) {
            problem("dbRequestType is " + number(state) + " but the database entries say " +
                    number(expected));
        }
    }

    const Manager::Header* header;
    const Manager::LockEntry* entries;
    const Manager::WaitingEntry* waiting;
    // The chain (head number) each lock entry was found in, -1 for none.
    std::vector<int> chainOf;
    std::vector<bool> waitingSeen;
    std::vector<std::string> problems;
};

} // namespace

std::vector<std::string> checkStructure(const OrvLockManager::Header* header) {
    ORV_TRACE(LockManager);
    return Checker(header).run();
}

} // namespace OrvLockList

// The lock manager's private record, for the checks below.
struct OrvLockManagerInspector {
    static const OrvLockList::OwnLocks& own(const OrvLockManager& manager) { return *manager.own; }
    static const OrvLockManager::Header* header(const OrvLockManager& manager) {
        return manager.header;
    }
};

namespace OrvLockList {

std::vector<std::string> checkOwnRecord(const OrvLockManager& manager) {
    ORV_TRACE(LockManager);
    const OwnLocks& own = OrvLockManagerInspector::own(manager);
    const Manager::Header* header = OrvLockManagerInspector::header(manager);
    const Manager::LockEntry* entries = lockEntriesOf(header);
    const pid_t process = getpid();
    std::vector<std::string> problems;
    const auto problem = [&problems](const std::string& text) { problems.push_back(text); };

    // (transaction, segment, page, slot, type) of each recorded entry.
    typedef std::tuple<Uint16, Uint16, Uint16, Uint16, Uint8, Uint8> Key;
    std::map<Key, Uint32> intentions;
    std::map<Key, Uint32> plainBeneath;
    Uint32 recorded = 0;
    for (Uint32 index = 0; index <= Manager::MAX_ENTRY; ++index) {
        const Manager::LockEntry& entry = entries[index];
        const bool mine = entry.transactionId != OrvTransactionId::INVALID_TRANSACTION_ID &&
                          entry.transactionId.getProcessID() == process;
        if (!own.contains(index)) {
            if (mine) {
                problem("entry " + number(index) + " of this process is not recorded");
            }
            continue;
        }
        ++recorded;
        const OwnLocks::Node& n = own.node(index);
        if (!mine || !(entry.transactionId == n.transaction) || entry.lockType != n.type ||
            entry.segmentId != n.segment || entry.pageId != n.page || entry.slotId != n.slot) {
            problem("recorded entry " + number(index) + " differs from the list");
            continue;
        }
        const Uint16 tx = n.transaction.getUniqueCount();
        if (isPlainType(n.type)) {
            const Uint8 above =
                static_cast<Uint8>(intentionOf(static_cast<Manager::LockType>(n.type)));
            if (n.page != Manager::NO_PAGE) {
                ++plainBeneath[Key(tx, n.segment, Manager::NO_PAGE, Manager::NO_SLOT, above, 0)];
            }
            if (n.slot != Manager::NO_SLOT) {
                ++plainBeneath[Key(tx, n.segment, n.page, Manager::NO_SLOT, above, 0)];
            }
        } else {
            const Key key(tx, n.segment, n.page, n.slot, n.type, 0);
            if (intentions.count(key) != 0) {
                problem("entry " + number(index) +
                        " repeats an intention entry of its transaction");
            }
            intentions[key] = index;
            if (n.holders == 0 && !n.pinned) {
                problem("intention entry " + number(index) + " is held by nothing");
            }
        }
    }
    if (recorded != own.size()) {
        problem("the record counts " + number(own.size()) + " entries, not " + number(recorded));
    }
    for (const auto& intention : intentions) {
        const auto beneath = plainBeneath.find(intention.first);
        const Uint32 expected = beneath == plainBeneath.end() ? 0 : beneath->second;
        if (own.node(intention.second).holders != expected) {
            problem("intention entry " + number(intention.second) + " counts " +
                    number(own.node(intention.second).holders) + " holds, not " + number(expected));
        }
    }
    for (const auto& beneath : plainBeneath) {
        if (intentions.count(beneath.first) == 0) {
            problem("a lock has no intention entry above it");
        }
    }
    return problems;
}

bool coveredByOwnRecord(const OrvLockManager& manager, OrvLockManager::LockType lockType,
                        SegmentId segmentId, PageId pageId, SlotId slotId) {
    ORV_TRACE(LockManager);
    return OrvLockManagerInspector::own(manager).covers(
        OrvTransactionManager::getInstance()->getCurrentTransactionID(), lockType, segmentId,
        pageId, slotId);
}

} // namespace OrvLockList
