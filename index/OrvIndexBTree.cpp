#include "index/OrvIndexBTree.h"

#include "OrvBuffer.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "index/OrvIndexVarcharTreeLeafPage.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unistd.h>

using LM = OrvLockManager;
using namespace OrvIndexPage;

namespace {

// A try-lock that was refused: the operation gives back what it holds for
// itself and starts again.
struct LockRefused {
    SegmentId segment;
    PageId page;
    LM::LockType type;
};

// The locks an attempt takes for the transaction: given back when a later
// lock of the attempt is refused (the attempt holds nothing it could wait
// on), handed over to the transaction once the attempt will go through.
class AttemptLocks {
public:
    void take(SegmentId segment, PageId page, LM::LockType type) {
        std::unique_ptr<OrvScopedLock> lock(new OrvScopedLock(segment, page, type, false, true));
        if (!lock->isGranted()) {
            throw LockRefused{segment, page, type};
        }
        locks.push_back(std::move(lock));
    }
    // A lock the operation took already becomes one of the attempt's.
    void adopt(std::unique_ptr<OrvScopedLock> lock) { locks.push_back(std::move(lock)); }
    void keep() {
        for (const std::unique_ptr<OrvScopedLock>& lock : locks) {
            lock->keep();
        }
        locks.clear();
    }

private:
    std::vector<std::unique_ptr<OrvScopedLock>> locks;
};

// A lock for the length of one operation: released with the object (a lock
// the transaction held already is only covered, and stays).
std::unique_ptr<OrvScopedLock> tryTemporaryLock(SegmentId segment, PageId page) {
    std::unique_ptr<OrvScopedLock> lock(
        new OrvScopedLock(segment, page, LM::SharedLock, false, true));
    if (!lock->isGranted()) {
        throw LockRefused{segment, page, LM::SharedLock};
    }
    return lock;
}

// Runs op until it gets through without a refused lock, for up to the lock
// time-out. After a refusal (the attempt has given back its own locks) the
// refused lock is waited for as any request waits, in the waiting list, and
// given back again before the next attempt: a transaction that already
// holds a lock the other one waits for (a shared lock on a leaf from an
// earlier search, which both now want exclusively) then closes a cycle that
// the deadlock check sees, instead of both retrying until the time-out.
template <class Op> auto retrying(Op&& op) -> decltype(op()) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(ORV_LOCK_TIMEOUT);
    for (unsigned attempt = 0;; ++attempt) {
        try {
            return op();
        } catch (const LockRefused& refused) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ORV_THROW(ORV_LM_LOCK_TIME_OUT,
                          refused.type == LM::SharedLock ? "shared" : "exclusive",
                          OrvException::to_string(refused.segment),
                          OrvException::to_string(refused.page));
            }
            { OrvScopedLock wait(refused.segment, refused.page, refused.type, false, false); }
            // Pauses of random length, so that two operations that refused
            // each other do not meet again in step.
            const unsigned base = std::min(2000u, 20u << std::min(attempt, 7u));
            usleep(base / 2 + unsigned(std::rand()) % base);
        }
    }
}

} // namespace

struct OrvIndexBTree::Descent {
    struct Step {
        PageId page;
        int childIndex; // -1: firstChild
    };
    std::vector<Step> path; // the inner nodes from the root down
    std::vector<std::unique_ptr<OrvScopedLock>> nodeLocks;
    // Declared after the node locks and before the leaf: released last on
    // a refusal, and the leaf's fix goes first.
    AttemptLocks locks;
    std::unique_ptr<OrvIndexTreePage> leaf;
};

OrvIndexBTree::OrvIndexBTree()
    : indexId(0), unique(false), dataType(UnknownDataType), segmentId(0),
      fsi(OrvIndexFreeSpaceInventory::getInstance()) {}

OrvIndexBTree::~OrvIndexBTree() = default;

void OrvIndexBTree::createIndexSegment(IndexId id) {
    ORV_TRACE(IndexManager);
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    const SegmentId segment = bm->convertIndexIdToSegmentId(id);
    if (segment == 0) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    LM::getInstance()->requestSegment(segment, LM::ExclusiveLock);
    try {
        bm->createSegment(segment);
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_FM_FILE_ALREADY_EXISTS) {
            throw;
        }
        ORV_THROW(ORV_IM_INDEX_ALREADY_EXISTS, OrvException::to_string(id));
    }
    bm->openSegment(segment);
}

void OrvIndexBTree::openTree(IndexId id, OrvDataType type, bool isUnique) {
    ORV_TRACE(IndexManager);
    if (type != INTEGER && type != VARCHAR) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    const SegmentId segment = bm->convertIndexIdToSegmentId(id);
    if (segment == 0) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    bm->openSegment(segment);
    indexId = id;
    dataType = type;
    unique = isUnique;
    segmentId = segment;
}

OrvErrorCode OrvIndexBTree::initialTree(IndexId id, OrvDataType type, bool isUnique) {
    ORV_TRACE(IndexManager);
    openTree(id, type, isUnique);
    OrvIndexFreeSpaceInventory::initialize(segmentId);
    std::unique_ptr<OrvIndexTreePage> root = fsi->getFreeLeafPage(segmentId, dataType);
    if (root->pageId() != ROOT) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    // Logged, so that the empty root is in the log like every later image.
    root->setNextId(0);
    return ORV_SUCCESS;
}

void OrvIndexBTree::checkOpen() const {
    if (segmentId == 0) {
        ORV_THROW(ORV_IM_INDEX_NOT_OPENED, OrvException::to_string(indexId));
    }
}

Sint32 OrvIndexBTree::integerOf(const OrvIndexKey& key) const {
    checkOpen();
    if (key.dataType != INTEGER) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    return key.intKey;
}

OrvIndexBTree::Descent OrvIndexBTree::descend(Sint32 key, Edge edge, LM::LockType leafLock,
                                              bool keepPath) {
    Descent descent;
    std::unique_ptr<OrvScopedLock> held = tryTemporaryLock(segmentId, ROOT);
    OrvScopedPage fix(segmentId, ROOT, OrvPage::BTreeIndexPage, OrvScopedPage::GetExistingPage);
    PageId current = ROOT;
    bool leaf = OrvIndexPageView(fix->getPageData()).isLeaf();
    if (leaf && leafLock == LM::SharedLock) {
        // The root's shared lock is the leaf's: a second request would only
        // be covered by its entry, and the entry would go with the
        // temporary lock, leaving the leaf unlocked.
        descent.locks.adopt(std::move(held));
    } else if (leaf) {
        descent.locks.take(segmentId, ROOT, leafLock);
    }
    while (!leaf) {
        const OrvIndexPageView node(fix->getPageData());
        const int childIndex = edge == Edge::First  ? -1
                               : edge == Edge::Last ? int(node.numElements()) - 1
                                                    : node.routeIndex(key);
        const PageId child = node.childAt(childIndex);
        if (child == 0 || child == ROOT) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        descent.path.push_back({current, childIndex});
        // Below the root a page never changes its kind, and the parent's
        // lock keeps the child in place: its flag can be read before its
        // lock is taken.
        fix.exchange(segmentId, child, OrvPage::BTreeIndexPage);
        leaf = OrvIndexPageView(fix->getPageData()).isLeaf();
        std::unique_ptr<OrvScopedLock> childLock;
        if (leaf) {
            descent.locks.take(segmentId, child, leafLock);
        } else {
            childLock = tryTemporaryLock(segmentId, child);
        }
        if (keepPath) {
            descent.nodeLocks.push_back(std::move(held));
        }
        held = std::move(childLock);
        current = child;
    }
    descent.leaf = OrvIndexTreePage::adopt(std::move(fix), dataType, false, true);
    return descent;
}

std::unique_ptr<OrvIndexTreePage> OrvIndexBTree::neighbour(const OrvIndexTreePage& page, bool next,
                                                           LM::LockType type, Descent& descent) {
    const PageId id = next ? page.nextId() : page.prevId();
    if (id == 0) {
        return nullptr;
    }
    descent.locks.take(segmentId, id, type);
    return OrvIndexTreePage::get(segmentId, id, dataType);
}

bool OrvIndexBTree::containsFrom(const OrvIndexTreePage& leaf, Uint16 pos, Sint32 key, TupleId* tid,
                                 Descent& descent) {
    const OrvIndexPageView view = leaf.view();
    if (pos < view.numElements()) {
        if (view.valueAt(pos) != key) {
            return false;
        }
        if (tid != nullptr) {
            *tid = view.tupleAt(pos);
        }
        return true;
    }
    // Behind the last entry without a larger key: the run may go on in the
    // next non-empty leaf.
    OrvScopedPage fix;
    for (PageId next = view.nextId(); next != 0;) {
        descent.locks.take(segmentId, next, LM::SharedLock);
        if (fix.getPage() == nullptr) {
            fix = OrvScopedPage(segmentId, next, OrvPage::BTreeIndexPage,
                                OrvScopedPage::GetExistingPage);
        } else {
            fix.exchange(segmentId, next, OrvPage::BTreeIndexPage);
        }
        const OrvIndexPageView following(fix->getPageData());
        if (!following.isLeaf()) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        if (following.numElements() > 0) {
            if (following.valueAt(0) != key) {
                return false;
            }
            if (tid != nullptr) {
                *tid = following.tupleAt(0);
            }
            return true;
        }
        next = following.nextId();
    }
    return false;
}

// ---- insert ------------------------------------------------------------------------

OrvErrorCode OrvIndexBTree::insertKey(const OrvIndexKey& key, TupleId tid) {
    ORV_TRACE(IndexManager);
    if (dataType == VARCHAR) {
        checkOpen();
        return insertVarchar(key, tid);
    }
    const Sint32 value = integerOf(key);
    return retrying([&] { return insertOnce(value, tid); });
}

OrvErrorCode OrvIndexBTree::insertOnce(Sint32 key, const TupleId& tid) {
    Descent descent = descend(key, Edge::ByKey, LM::ExclusiveLock, true);
    OrvIndexTreePage& leaf = *descent.leaf;
    const Uint16 pos = leaf.view().lowerBound(key);
    // Under the leaf's exclusive lock: no other transaction can put the key
    // where this one would find it.
    if (unique && containsFrom(leaf, pos, key, nullptr, descent)) {
        return ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX;
    }
    if (!leaf.isFull()) {
        // From here on a failure is no refusal: the locks stay with the
        // transaction, whose rollback may need them.
        descent.locks.keep();
        OrvIndexKey entry;
        entry.dataType = INTEGER;
        entry.intKey = key;
        if (!static_cast<OrvIndexTreeLeafPage&>(leaf).insert(entry, tid)) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        return ORV_SUCCESS;
    }
    splitAndInsert(descent, key, tid);
    return ORV_SUCCESS;
}

void OrvIndexBTree::splitAndInsert(Descent& descent, Sint32 key, const TupleId& tid) {
    ORV_TRACE(IndexManager);
    // 1. Lock and fix every page the change touches: the pages that split
    //    (bottom up), the node that takes the last separator, and the right
    //    neighbours whose prevId changes.
    std::map<PageId, std::unique_ptr<OrvIndexTreePage>> pages;
    const PageId leafId = descent.leaf->pageId();
    pages[leafId] = std::move(descent.leaf);
    std::vector<PageId> splitting{leafId};
    std::vector<PageId> neighbours{pages[leafId]->nextId()};
    bool rootSplits = leafId == ROOT;
    PageId taker = 0;
    int takerChild = -1;
    for (std::size_t level = descent.path.size(); !rootSplits && level > 0; --level) {
        const Descent::Step& step = descent.path[level - 1];
        descent.locks.take(segmentId, step.page, LM::ExclusiveLock);
        pages[step.page] = OrvIndexTreePage::get(segmentId, step.page, dataType);
        if (!pages[step.page]->isFull()) {
            taker = step.page;
            takerChild = step.childIndex;
            break;
        }
        splitting.push_back(step.page);
        neighbours.push_back(pages[step.page]->nextId());
        rootSplits = step.page == ROOT;
    }
    if (!rootSplits && taker == 0) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    for (PageId id : neighbours) {
        if (id != 0 && pages.count(id) == 0) {
            descent.locks.take(segmentId, id, LM::ExclusiveLock);
            pages[id] = OrvIndexTreePage::get(segmentId, id, dataType);
        }
    }

    descent.locks.keep();

    // 2. The new pages: a sibling for each page that splits, and for a root
    //    split the page that takes the root's content.
    std::vector<std::unique_ptr<OrvIndexTreePage>> siblings;
    for (std::size_t level = 0; level < splitting.size(); ++level) {
        siblings.push_back(level == 0 ? fsi->getFreeLeafPage(segmentId, dataType)
                                      : fsi->getFreeNodePage(segmentId, dataType));
    }
    std::unique_ptr<OrvIndexTreePage> extracted;
    if (rootSplits) {
        extracted = splitting.size() == 1 ? fsi->getFreeLeafPage(segmentId, dataType)
                                          : fsi->getFreeNodePage(segmentId, dataType);
    }

    // 3. The after images, built in working copies; nothing fails from here
    //    on but a broken invariant or the log.
    OrvIndexChangeSet changes;
    auto neighbourOf = [&](PageId id) -> OrvIndexTreePage* {
        return id == 0 ? nullptr : pages.at(id).get();
    };
    Sint32 separator = 0;
    PageId lowerSibling = 0;
    for (std::size_t level = 0; level < splitting.size(); ++level) {
        OrvIndexTreePage& page = *pages.at(splitting[level]);
        OrvIndexTreePage& sibling = *siblings[level];
        const int mid = page.numElements() / 2;
        const Sint32 up = page.split(sibling, neighbourOf(neighbours[level]), changes);
        OrvIndexPageWriter left(changes.change(page));
        OrvIndexPageWriter right(changes.change(sibling));
        if (level == 0) {
            OrvIndexPageWriter& target = key <= up ? left : right;
            target.insertLeafEntry(target.lowerBound(key), key, tid);
        } else {
            // The separator of the split below goes directly behind the
            // child that split, in the half that still routes keys to it
            // (the child before the middle is the right half's firstChild).
            const int child = descent.path[descent.path.size() - level].childIndex;
            if (child < mid - 1) {
                left.insertNodeEntry(static_cast<Uint16>(child + 1), separator, lowerSibling);
            } else {
                right.insertNodeEntry(static_cast<Uint16>(child - (mid - 1)), separator,
                                      lowerSibling);
            }
        }
        separator = up;
        lowerSibling = sibling.pageId();
    }
    if (!rootSplits) {
        OrvIndexPageWriter(changes.change(*pages.at(taker)))
            .insertNodeEntry(static_cast<Uint16>(takerChild + 1), separator, lowerSibling);
    } else {
        // Page 1 stays the root: its content moves to the extracted page.
        pages.at(ROOT)->extractRoot(*extracted, separator, *siblings.back(), changes);
    }
    changes.commit(INTEGER_OPERATION);
}

// ---- searches ----------------------------------------------------------------------

OrvErrorCode OrvIndexBTree::find(IndexId, const OrvIndexKey& key, TupleId& tid) {
    ORV_TRACE(IndexManager);
    if (dataType == VARCHAR) {
        checkOpen();
        return findVarchar(key, tid);
    }
    const Sint32 value = integerOf(key);
    return retrying([&] { return findOnce(value, tid); });
}

OrvErrorCode OrvIndexBTree::findOnce(Sint32 key, TupleId& tid) {
    Descent descent = descend(key, Edge::ByKey, LM::SharedLock, false);
    const Uint16 pos = descent.leaf->view().lowerBound(key);
    TupleId found;
    const bool present = containsFrom(*descent.leaf, pos, key, &found, descent);
    descent.locks.keep();
    if (!present) {
        return ORV_NOT_FOUND_WARN;
    }
    tid = found;
    return ORV_SUCCESS;
}

bool OrvIndexBTree::checkUnique(const OrvIndexKey& key) {
    ORV_TRACE(IndexManager);
    TupleId ignored;
    return find(indexId, key, ignored) == ORV_SUCCESS;
}

OrvErrorCode OrvIndexBTree::findFirstKey(IndexId, OrvIndexKey& key, TupleId& tid) {
    ORV_TRACE(IndexManager);
    checkOpen();
    if (dataType == VARCHAR) {
        return edgeVarchar(true, key, tid);
    }
    return retrying([&] { return edgeOnce(true, key, tid); });
}

OrvErrorCode OrvIndexBTree::findLastKey(IndexId, OrvIndexKey& key, TupleId& tid) {
    ORV_TRACE(IndexManager);
    checkOpen();
    if (dataType == VARCHAR) {
        return edgeVarchar(false, key, tid);
    }
    return retrying([&] { return edgeOnce(false, key, tid); });
}

OrvErrorCode OrvIndexBTree::edgeOnce(bool first, OrvIndexKey& key, TupleId& tid) {
    Descent descent = descend(0, first ? Edge::First : Edge::Last, LM::SharedLock, false);
    std::unique_ptr<OrvIndexTreePage> leaf = std::move(descent.leaf);
    // The leaves read stay locked for the transaction.
    descent.locks.keep();
    // Empty leaves at the edge are stepped over.
    for (;;) {
        const OrvIndexPageView view = leaf->view();
        const Uint16 n = view.numElements();
        if (n > 0) {
            const Uint16 pos = first ? 0 : static_cast<Uint16>(n - 1);
            OrvIndexKey found;
            found.dataType = INTEGER;
            found.intKey = view.valueAt(pos);
            key = found;
            tid = view.tupleAt(pos);
            return ORV_SUCCESS;
        }
        const PageId next = first ? view.nextId() : view.prevId();
        if (next == 0) {
            return ORV_NOT_FOUND_WARN;
        }
        descent.locks.take(segmentId, next, LM::SharedLock);
        descent.locks.keep();
        OrvScopedPage fix = leaf->takePage();
        fix.exchange(segmentId, next, OrvPage::BTreeIndexPage);
        leaf = OrvIndexTreePage::adopt(std::move(fix), dataType, false, true);
    }
}

void OrvIndexBTree::findRange(const OrvIndexKey* start, const OrvIndexKey* stop,
                              const std::function<bool(Sint32, const TupleId&)>& visit) {
    ORV_TRACE(IndexManager);
    checkOpen();
    if (dataType != INTEGER) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    const Sint32 low = start != nullptr ? integerOf(*start) : INT_MIN;
    const bool bounded = stop != nullptr;
    const Sint32 high = bounded ? integerOf(*stop) : INT_MAX;
    checkOpen();
    // Where to go on after a refused lock: behind `delivered` entries equal
    // to `last` (the leaves read are locked shared, so they stay as read).
    bool started = false;
    Sint32 last = 0;
    Uint32 delivered = 0;
    retrying([&] {
        const Sint32 from = started ? last : low;
        Descent descent = descend(from, start != nullptr || started ? Edge::ByKey : Edge::First,
                                  LM::SharedLock, false);
        std::unique_ptr<OrvIndexTreePage> leaf = std::move(descent.leaf);
        // A scan keeps every leaf it read locked: what it delivered stays
        // as it was, which is also what lets it go on after a refusal.
        descent.locks.keep();
        Uint16 pos = leaf->view().lowerBound(from);
        Uint32 skip = started ? delivered : 0;
        for (;;) {
            const OrvIndexPageView view = leaf->view();
            const Uint16 n = view.numElements();
            for (; pos < n; ++pos) {
                const Sint32 value = view.valueAt(pos);
                if (bounded && value > high) {
                    return;
                }
                if (started && value == last) {
                    if (skip > 0) {
                        --skip;
                        continue;
                    }
                    ++delivered;
                } else {
                    started = true;
                    last = value;
                    delivered = 1;
                }
                skip = 0;
                if (!visit(value, view.tupleAt(pos))) {
                    return;
                }
            }
            const PageId next = view.nextId();
            if (next == 0) {
                return;
            }
            descent.locks.take(segmentId, next, LM::SharedLock);
            descent.locks.keep();
            OrvScopedPage fix = leaf->takePage();
            fix.exchange(segmentId, next, OrvPage::BTreeIndexPage);
            leaf = OrvIndexTreePage::adopt(std::move(fix), dataType, false, true);
            pos = 0;
        }
    });
}

OrvScopedPage OrvIndexBTree::scanStart(const OrvIndexKey* start, Uint16& pos) {
    ORV_TRACE(IndexManager);
    if (dataType == VARCHAR) {
        checkOpen();
        if (start != nullptr) {
            (void)OrvIndexVarchar::keyText(*start, false);
        }
        return retrying([&] {
            Descent descent = descendVarchar(LM::SharedLock);
            descent.locks.keep();
            const auto& leaf = static_cast<const OrvIndexVarcharTreeLeafPage&>(*descent.leaf);
            pos = start != nullptr ? leaf.findInsertPosition(*start) : 0;
            return descent.leaf->takePage();
        });
    }
    const Sint32 low = start != nullptr ? integerOf(*start) : INT_MIN;
    checkOpen();
    return retrying([&] {
        Descent descent =
            descend(low, start != nullptr ? Edge::ByKey : Edge::First, LM::SharedLock, false);
        descent.locks.keep();
        pos = start != nullptr ? descent.leaf->view().lowerBound(low) : 0;
        return descent.leaf->takePage();
    });
}

// ---- delete ------------------------------------------------------------------------

OrvErrorCode OrvIndexBTree::deleteKey(IndexId, const OrvIndexKey& key, const TupleId* tid) {
    ORV_TRACE(IndexManager);
    const TupleId* wanted = tid;
    TupleId copy;
    if (tid != nullptr) {
        copy = *tid;
        wanted = &copy;
    }
    if (dataType == VARCHAR) {
        checkOpen();
        return deleteVarchar(key, wanted) > 0 ? ORV_SUCCESS : ORV_NOT_FOUND_WARN;
    }
    const Sint32 value = integerOf(key);
    const Uint32 removed = retrying([&] { return deleteOnce(value, wanted); });
    return removed > 0 ? ORV_SUCCESS : ORV_NOT_FOUND_WARN;
}

void OrvIndexBTree::deleteKey(const OrvIndexKey& key) {
    ORV_TRACE(IndexManager);
    if (dataType == VARCHAR) {
        checkOpen();
        (void)deleteVarchar(key, nullptr);
        return;
    }
    const Sint32 value = integerOf(key);
    (void)retrying([&] { return deleteOnce(value, nullptr); });
}

Uint32 OrvIndexBTree::deleteOnce(Sint32 key, const TupleId* tid) {
    Descent descent = descend(key, Edge::ByKey, LM::ExclusiveLock, false);
    // Every leaf the run of equal keys covers is locked before any changes.
    std::vector<std::unique_ptr<OrvIndexTreePage>> run;
    run.push_back(std::move(descent.leaf));
    OrvIndexChangeSet changes;
    Uint32 removed = 0;
    Uint16 pos = run.back()->view().lowerBound(key);
    for (;;) {
        OrvIndexTreePage& leaf = *run.back();
        const OrvIndexPageView view = leaf.view();
        const Uint16 n = view.numElements();
        Uint16 end = pos;
        while (end < n && view.valueAt(end) == key) {
            ++end;
        }
        if (tid != nullptr) {
            for (Uint16 at = pos; at < end; ++at) {
                if (view.tupleAt(at) == *tid) {
                    descent.locks.keep();
                    OrvIndexPageWriter(changes.change(leaf)).removeEntries(at, 1);
                    changes.commit(INTEGER_OPERATION);
                    return 1;
                }
            }
        } else if (end > pos) {
            OrvIndexPageWriter(changes.change(leaf)).removeEntries(pos, Uint16(end - pos));
            removed += end - pos;
        }
        if (end < n) {
            break;
        }
        std::unique_ptr<OrvIndexTreePage> next = neighbour(leaf, true, LM::ExclusiveLock, descent);
        if (next == nullptr) {
            break;
        }
        run.push_back(std::move(next));
        pos = 0;
    }
    if (!changes.empty()) {
        descent.locks.keep();
        changes.commit(INTEGER_OPERATION);
    }
    return removed;
}

// ---- varchar trees ---------------------------------------------------------------

OrvIndexBTree::Descent OrvIndexBTree::descendVarchar(LM::LockType leafLock) {
    Descent descent;
    descent.locks.take(segmentId, ROOT, leafLock);
    descent.leaf = OrvIndexTreePage::get(segmentId, ROOT, VARCHAR);
    // A varchar tree never grows beyond its root leaf.
    if (dynamic_cast<OrvIndexVarcharTreeLeafPage*>(descent.leaf.get()) == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return descent;
}

void OrvIndexBTree::refuseFull(Uint32 length, Uint16 free) const {
    ORV_THROW(ORV_IM_VARCHAR_INDEX_FULL, OrvException::to_string(indexId),
              OrvException::to_string(length), OrvException::to_string(free));
}

OrvErrorCode OrvIndexBTree::insertVarchar(const OrvIndexKey& key, const TupleId& tid) {
    const OrvIndexVarchar::KeyText text = OrvIndexVarchar::keyText(key, true);
    return retrying([&] {
        Descent descent = descendVarchar(LM::ExclusiveLock);
        auto& leaf = static_cast<OrvIndexVarcharTreeLeafPage&>(*descent.leaf);
        if (unique && leaf.findKeyPosition(key) != 0xFFFF) {
            return ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX;
        }
        // Refused before any change: the leaf cannot split.
        if (!leaf.leafView().fits(text.length)) {
            refuseFull(text.length, leaf.spaceLeft());
        }
        descent.locks.keep();
        if (!leaf.insert(key, tid)) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        return ORV_SUCCESS;
    });
}

OrvErrorCode OrvIndexBTree::findVarchar(const OrvIndexKey& key, TupleId& tid) {
    (void)OrvIndexVarchar::keyText(key, false);
    return retrying([&] {
        Descent descent = descendVarchar(LM::SharedLock);
        TupleId found;
        const bool present = descent.leaf->findTuple(key, found);
        descent.locks.keep();
        if (!present) {
            return ORV_NOT_FOUND_WARN;
        }
        tid = found;
        return ORV_SUCCESS;
    });
}

OrvErrorCode OrvIndexBTree::edgeVarchar(bool first, OrvIndexKey& key, TupleId& tid) {
    return retrying([&] {
        Descent descent = descendVarchar(LM::SharedLock);
        descent.locks.keep();
        const OrvIndexTreePage& leaf = *descent.leaf;
        const Uint16 n = leaf.numElements();
        if (n == 0) {
            return ORV_NOT_FOUND_WARN;
        }
        const Uint16 pos = first ? 0 : static_cast<Uint16>(n - 1);
        key = leaf.getValueAt(pos);
        tid = leaf.getTupleAt(pos);
        return ORV_SUCCESS;
    });
}

Uint32 OrvIndexBTree::deleteVarchar(const OrvIndexKey& key, const TupleId* tid) {
    (void)OrvIndexVarchar::keyText(key, false);
    return retrying([&] {
        Descent descent = descendVarchar(LM::ExclusiveLock);
        auto& leaf = static_cast<OrvIndexVarcharTreeLeafPage&>(*descent.leaf);
        // Kept before the change: once the page may change, its lock
        // belongs to the transaction, whose rollback may need it.
        descent.locks.keep();
        return leaf.deleteKey(key, tid);
    });
}

OrvErrorCode OrvIndexBTree::replaceKey(const OrvIndexKey& oldKey, const OrvIndexKey& newKey,
                                       const TupleId& tid) {
    ORV_TRACE(IndexManager);
    checkOpen();
    if (dataType != VARCHAR) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    (void)OrvIndexVarchar::keyText(oldKey, false);
    const OrvIndexVarchar::KeyText text = OrvIndexVarchar::keyText(newKey, true);
    return retrying([&] {
        Descent descent = descendVarchar(LM::ExclusiveLock);
        auto& leaf = static_cast<OrvIndexVarcharTreeLeafPage&>(*descent.leaf);
        if (unique && !(oldKey == newKey) && leaf.findKeyPosition(newKey) != 0xFFFF) {
            return ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX;
        }
        descent.locks.keep();
        if (!leaf.replace(oldKey, newKey, tid)) {
            refuseFull(text.length, leaf.spaceLeft());
        }
        return ORV_SUCCESS;
    });
}

void OrvIndexBTree::dump() {
    std::printf("SegmentId = %d\n", int(segmentId));
    std::printf("IndexID = %d\n", int(indexId));
    std::printf("Datatype = %d\n", int(dataType));
    std::printf("Unique = %d\n", unique ? 1 : 0);
    std::fflush(stdout);
}
