// What one process knows of the lock entries it inserted itself.
//
// Process-local, never shared. Only the process that inserted an entry
// changes or deletes it (by request, release, escalation and releaseAll),
// always under the lock list latch, so this copy stays exact without reading
// the shared list: a request covered by a lock the transaction holds is
// answered from here without the latch, and a release finds its entry here
// without walking a bucket.
//
// Every entry is known by its index in the shared list. Nodes are chained by
// a hash of their resource (newest first, as in the shared buckets) and
// marked in a bitmap, so that releaseAll walks them in ascending order. All
// storage is allocated once, by the constructor: no operation allocates.
#ifndef ORV_OWN_LOCKS_H
#define ORV_OWN_LOCKS_H

#include "OrvLock.h"

#include <vector>

namespace OrvLockList {

class OwnLocks {
public:
    static constexpr Uint32 CAPACITY = OrvLockManager::MAX_ENTRY + 1;
    static constexpr Uint32 NONE = OrvLockManager::LIST_END;

    struct Node {
        OrvTransactionId transaction;
        Uint32 next;
        Uint32 prev;
        // Intention entries: the locks of the same transaction beneath that
        // rely on this entry; it goes when the last of them is released.
        Uint32 holders;
        // Numbers the insertions, so that a scoped lock can tell its own
        // entry from a later one at the same index.
        Uint32 stamp;
        SegmentId segment;
        PageId page;
        SlotId slot;
        Uint8 type;
        // An intention entry asked for by itself: kept until releaseAll.
        bool pinned;
        // Owned by a live scoped lock: escalation leaves it alone.
        bool scoped;
        // The segment lock an escalation took: only releaseAll gives it back.
        bool escalation;
    };

    OwnLocks();

    // Records entry `index` as inserted; returns its stamp.
    Uint32 add(Uint32 index, const OrvTransactionId& transaction, OrvLockManager::LockType type,
               SegmentId segment, PageId page, SlotId slot);
    void remove(Uint32 index);
    void clear();

    bool contains(Uint32 index) const {
        return index < CAPACITY && (bits[index / 64] >> (index % 64) & 1u) != 0;
    }
    Node& node(Uint32 index) { return nodes[index]; }
    const Node& node(Uint32 index) const { return nodes[index]; }
    Uint32 size() const { return count; }
    // Entries of one transaction.
    Uint32 countOf(const OrvTransactionId& transaction);

    // The newest entry of the transaction on exactly this resource for
    // which match(node) holds, or NONE.
    template <typename Match>
    Uint32 find(const OrvTransactionId& transaction, SegmentId segment, PageId page, SlotId slot,
                Match match) const {
        for (Uint32 index = heads[bucketOf(segment, page, slot)]; index != NONE;
             index = nodes[index].next) {
            const Node& n = nodes[index];
            if (n.segment == segment && n.page == page && n.slot == slot &&
                n.transaction == transaction && match(n)) {
                return index;
            }
        }
        return NONE;
    }
    Uint32 findType(const OrvTransactionId& transaction, SegmentId segment, PageId page,
                    SlotId slot, OrvLockManager::LockType type) const {
        return find(transaction, segment, page, slot,
                    [type](const Node& n) { return n.type == type; });
    }

    // Whether a plain lock of the transaction on the segment or page (or an
    // entry of the same type on the resource itself) covers the request.
    bool covers(const OrvTransactionId& transaction, OrvLockManager::LockType lockType,
                SegmentId segment, PageId page, SlotId slot) const;

    // Calls visit(index) for every entry, in ascending order; visit may
    // remove the entry it is given.
    template <typename Visit> void forEachAscending(Visit visit) const {
        for (Uint32 word = 0; word < bits.size(); ++word) {
            Uint64 remaining = bits[word];
            while (remaining != 0) {
                const Uint32 bit = static_cast<Uint32>(__builtin_ctzll(remaining));
                remaining &= remaining - 1;
                visit(word * 64 + bit);
            }
        }
    }

    // Escalated segments of the transaction: a release of a finer lock that
    // the escalation took away is then no error.
    void markEscalated(const OrvTransactionId& transaction, SegmentId segment);
    bool isEscalated(const OrvTransactionId& transaction, SegmentId segment) const;

private:
    static constexpr Uint32 BUCKETS = 1u << 14;
    static Uint32 bucketOf(SegmentId segment, PageId page, SlotId slot) {
        const Uint32 key = (static_cast<Uint32>(segment) << 16 | page) * 0x9E3779B1u ^
                           static_cast<Uint32>(slot) * 0x85EBCA6Bu;
        return (key ^ key >> 15) & (BUCKETS - 1);
    }

    std::vector<Node> nodes;
    std::vector<Uint32> heads;
    std::vector<Uint64> bits;
    Uint32 count = 0;
    Uint32 nextStamp = 1;
    // countOf caches the count of the transaction it was last asked about.
    OrvTransactionId countedTransaction;
    Uint32 countedEntries = 0;
    bool countValid = false;
    // A transaction escalates at most once per segment, and rarely at all.
    struct Escalated {
        OrvTransactionId transaction;
        SegmentId segment;
    };
    std::vector<Escalated> escalated;
};

} // namespace OrvLockList

#endif
