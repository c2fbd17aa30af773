#include "lock/OrvOwnLocks.h"

#include "lock/OrvLockCompatibility.h"

namespace OrvLockList {

namespace {

constexpr Uint32 RESERVED_ESCALATIONS = 64;

// Every node starts as a copy of this one: a default transaction id asks the
// system for the process id, which must not happen once per node.
OwnLocks::Node emptyNode() {
    OwnLocks::Node node{};
    node.transaction = OrvTransactionId::INVALID_TRANSACTION_ID;
    node.next = node.prev = OwnLocks::NONE;
    return node;
}

} // namespace

OwnLocks::OwnLocks()
    : nodes(CAPACITY, emptyNode()), heads(BUCKETS, NONE), bits((CAPACITY + 63) / 64, 0),
      countedTransaction(OrvTransactionId::INVALID_TRANSACTION_ID) {
    escalated.reserve(RESERVED_ESCALATIONS);
}

Uint32 OwnLocks::add(Uint32 index, const OrvTransactionId& transaction,
                     OrvLockManager::LockType type, SegmentId segment, PageId page, SlotId slot) {
    Node& n = nodes[index];
    n.transaction = transaction;
    n.segment = segment;
    n.page = page;
    n.slot = slot;
    n.type = static_cast<Uint8>(type);
    n.holders = 0;
    n.pinned = false;
    n.scoped = false;
    n.escalation = false;
    n.stamp = nextStamp++;
    if (nextStamp == 0) {
        nextStamp = 1;
    }
    Uint32& head = heads[bucketOf(segment, page, slot)];
    n.prev = NONE;
    n.next = head;
    if (head != NONE) {
        nodes[head].prev = index;
    }
    head = index;
    bits[index / 64] |= Uint64(1) << (index % 64);
    ++count;
    if (countValid && transaction == countedTransaction) {
        ++countedEntries;
    }
    return n.stamp;
}

void OwnLocks::remove(Uint32 index) {
    if (!contains(index)) {
        return;
    }
    Node& n = nodes[index];
    if (n.prev == NONE) {
        heads[bucketOf(n.segment, n.page, n.slot)] = n.next;
    } else {
        nodes[n.prev].next = n.next;
    }
    if (n.next != NONE) {
        nodes[n.next].prev = n.prev;
    }
    n.next = n.prev = NONE;
    n.stamp = 0;
    bits[index / 64] &= ~(Uint64(1) << (index % 64));
    --count;
    if (countValid && n.transaction == countedTransaction) {
        --countedEntries;
    }
}

void OwnLocks::clear() {
    forEachAscending([this](Uint32 index) { remove(index); });
    escalated.clear();
}

Uint32 OwnLocks::countOf(const OrvTransactionId& transaction) {
    if (!countValid || transaction != countedTransaction) {
        countedTransaction = transaction;
        countedEntries = 0;
        forEachAscending([&](Uint32 index) {
            countedEntries += nodes[index].transaction == transaction ? 1 : 0;
        });
        countValid = true;
    }
    return countedEntries;
}

bool OwnLocks::covers(const OrvTransactionId& transaction, OrvLockManager::LockType lockType,
                      SegmentId segment, PageId page, SlotId slot) const {
    const auto coveringType = [lockType](const Node& n) {
        return n.type == OrvLockManager::ExclusiveLock ||
               (lockType == OrvLockManager::SharedLock && n.type == OrvLockManager::SharedLock);
    };
    if (page != OrvLockManager::NO_PAGE && find(transaction, segment, OrvLockManager::NO_PAGE,
                                                OrvLockManager::NO_SLOT, coveringType) != NONE) {
        return true;
    }
    if (slot != OrvLockManager::NO_SLOT &&
        find(transaction, segment, page, OrvLockManager::NO_SLOT, coveringType) != NONE) {
        return true;
    }
    return findType(transaction, segment, page, slot, lockType) != NONE;
}

void OwnLocks::markEscalated(const OrvTransactionId& transaction, SegmentId segment) {
    if (!isEscalated(transaction, segment)) {
        escalated.push_back({transaction, segment});
    }
}

bool OwnLocks::isEscalated(const OrvTransactionId& transaction, SegmentId segment) const {
    for (const Escalated& e : escalated) {
        if (e.segment == segment && e.transaction == transaction) {
            return true;
        }
    }
    return false;
}

} // namespace OrvLockList
