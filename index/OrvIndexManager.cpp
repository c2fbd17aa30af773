// The index manager: the trees of this process and the operations on them.
#include "OrvIndexManager.h"

#include "OrvException.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvTransaction.h"
#include "index/OrvIndexBTree.h"
#include "log/OrvIndexLogEntry.h"
#include "support/OrvErrorBoundary.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <iostream>

using LM = OrvLockManager;

OrvIndexManager* OrvIndexManager::instance = nullptr;

OrvIndexManager* OrvIndexManager::getInstance() {
    if (instance == nullptr) {
        instance = new OrvIndexManager();
    }
    return instance;
}

void OrvIndexManager::deleteInstance() {
    delete instance;
    instance = nullptr;
}

OrvIndexManager::OrvIndexManager() : bufferMgr(OrvBufferManager::getInstance()) {
    registerDebugCommands();
}

OrvIndexManager::~OrvIndexManager() = default;

namespace {

// Results other than ORV_SUCCESS become exceptions, ORV_NOT_FOUND_WARN
// included.
void raise(OrvErrorCode code) {
    if (code != ORV_SUCCESS) {
        ORV_THROW(code);
    }
}

} // namespace

OrvIndexBTree* OrvIndexManager::getIndex(IndexId indexId) {
    if (currentIndex != nullptr && currentIndexId == indexId) {
        return currentIndex;
    }
    const auto found = indexList.find(indexId);
    if (found == indexList.end()) {
        ORV_THROW(ORV_IM_INDEX_NOT_OPENED, OrvException::to_string(indexId));
    }
    currentIndexId = indexId;
    currentIndex = found->second.get();
    return currentIndex;
}

bool OrvIndexManager::isOpen(IndexId indexId) const {
    return indexList.count(indexId) != 0;
}

void OrvIndexManager::createIndex(IndexId indexId, bool unique, OrvIndexType type,
                                  OrvDataType dataType) {
    ORV_TRACE(IndexManager);
    // Everything that can be refused is refused before the segment exists:
    // a segment left behind would keep the index from ever being made.
    if (type == Hash) {
        std::cout << "************** Hash ausgewählt " << std::endl;
        ORV_THROW(ORV_IM_NOT_IMPL_HASH);
    }
    if (type != BTree) {
        ORV_THROW(ORV_IM_INDEXTYPE_NOT_VALID);
    }
    if (dataType != INTEGER && dataType != VARCHAR) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    const SegmentId segment = bufferMgr->convertIndexIdToSegmentId(indexId);
    if (segment == 0) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    LM::getInstance()->requestSegment(segment, LM::ExclusiveLock);
    try {
        bufferMgr->createSegment(segment);
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_FM_FILE_ALREADY_EXISTS) {
            throw;
        }
        throw OrvException(e, ORV_IM_INDEX_ALREADY_EXISTS, "ORV_IM_INDEX_ALREADY_EXISTS", __FILE__,
                           __LINE__, __PRETTY_FUNCTION__);
    }
    bufferMgr->openSegment(segment);
    std::unique_ptr<OrvIndexBTree> tree(new OrvIndexBTree());
    raise(tree->initialTree(indexId, dataType, unique));
    currentIndex = tree.get();
    currentIndexId = indexId;
    indexList[indexId] = std::move(tree);
    createdInTransaction.push_back(indexId);
}

void OrvIndexManager::dropIndex(IndexId indexId) {
    ORV_TRACE(IndexManager);
    // Checked before anything happens to the segment.
    OrvIndexBTree* tree = getIndex(indexId);
    const SegmentId segment = tree->getSegmentId();
    LM::getInstance()->requestSegment(segment, LM::ExclusiveLock);
    bufferMgr->dropSegment(segment);
    auto found = indexList.find(indexId);
    droppedInTransaction[indexId] = std::move(found->second);
    indexList.erase(found);
    currentIndexId = 0;
    currentIndex = nullptr;
}

void OrvIndexManager::openIndex(IndexId indexId, bool unique, OrvIndexType, OrvDataType dataType) {
    ORV_TRACE(IndexManager);
    if (currentIndex != nullptr && currentIndexId == indexId) {
        return;
    }
    const auto found = indexList.find(indexId);
    if (found != indexList.end()) {
        currentIndexId = indexId;
        currentIndex = found->second.get();
        return;
    }
    const SegmentId segment = bufferMgr->convertIndexIdToSegmentId(indexId);
    if (segment == 0 || (dataType != INTEGER && dataType != VARCHAR)) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    std::unique_ptr<OrvIndexBTree> tree(new OrvIndexBTree());
    // An intention lock keeps the index from being dropped while this
    // process uses it, yet lets other transactions change it: a shared
    // segment lock would shut every writer out until this transaction ends,
    // and two processes that each opened an index and then wrote to it
    // would deadlock.
    LM::getInstance()->requestIntentionalOnSegment(segment, LM::SharedLock);
    bufferMgr->openSegment(segment);
    tree->openTree(indexId, dataType, unique);
    currentIndex = tree.get();
    currentIndexId = indexId;
    indexList[indexId] = std::move(tree);
}

void OrvIndexManager::find(IndexId indexId, const OrvIndexKey& key, TupleId& tid) {
    ORV_TRACE(IndexManager);
    raise(getIndex(indexId)->find(indexId, key, tid));
}

void OrvIndexManager::findFirstKey(IndexId indexId, OrvIndexKey& key, TupleId& tid) {
    ORV_TRACE(IndexManager);
    raise(getIndex(indexId)->findFirstKey(indexId, key, tid));
}

void OrvIndexManager::findLastKey(IndexId indexId, OrvIndexKey& key, TupleId& tid) {
    ORV_TRACE(IndexManager);
    raise(getIndex(indexId)->findLastKey(indexId, key, tid));
}

void OrvIndexManager::findRange(IndexId indexId, const OrvIndexKey* start, const OrvIndexKey* stop,
                                OrvIndexIterator*& iterator) {
    ORV_TRACE(IndexManager);
    iterator = nullptr;
    OrvIndexBTree* tree = getIndex(indexId);
    std::unique_ptr<OrvIndexIterator> scan(
        new OrvIndexIterator(indexId, start, stop, tree->getDataType()));
    // A descent refused by another transaction's lock is no empty range.
    raise(scan->lastResetResult());
    iterator = scan.release();
}

void OrvIndexManager::insert(IndexId indexId, const OrvIndexKey& key, const TupleId& tid) {
    ORV_TRACE(IndexManager);
    raise(getIndex(indexId)->insertKey(key, tid));
}

void OrvIndexManager::remove(IndexId indexId, const OrvIndexKey& key, const TupleId* tid) {
    ORV_TRACE(IndexManager);
    const OrvErrorCode code = getIndex(indexId)->deleteKey(indexId, key, tid);
    if (code != ORV_NOT_FOUND_WARN) {
        raise(code);
    }
}

void OrvIndexManager::update(IndexId indexId, const OrvIndexKey& oldKey, const OrvIndexKey& newKey,
                             const TupleId* tid) {
    ORV_TRACE(IndexManager);
    if (tid == nullptr) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    OrvIndexBTree* tree = getIndex(indexId);
    if (tree->getDataType() == VARCHAR) {
        // One change of the single leaf: refused whole when the new key
        // does not fit, so the old entry is never lost on the way.
        raise(tree->replaceKey(oldKey, newKey, *tid));
        return;
    }
    const bool sameKey = oldKey.dataType == newKey.dataType && oldKey.intKey == newKey.intKey;
    // In a unique index a taken new key is refused while the old entry is
    // still there.
    if (tree->isUnique() && !sameKey && tree->checkUnique(newKey)) {
        ORV_THROW(ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX);
    }
    const TupleId copy = *tid;
    remove(indexId, oldKey, &copy);
    insert(indexId, newKey, copy);
}

// ---- transactions --------------------------------------------------------------------

void OrvIndexManager::endTransaction(bool committed) {
    if (!committed) {
        // The trees made in the transaction are gone with their files; the
        // ones it dropped are there again.
        for (IndexId id : createdInTransaction) {
            indexList.erase(id);
        }
        for (auto& [id, tree] : droppedInTransaction) {
            if (std::find(createdInTransaction.begin(), createdInTransaction.end(), id) ==
                createdInTransaction.end()) {
                indexList[id] = std::move(tree);
            }
        }
        currentIndexId = 0;
        currentIndex = nullptr;
    }
    createdInTransaction.clear();
    droppedInTransaction.clear();
}

void OrvIndexManager::commit() {
    ORV_TRACE(IndexManager);
    OrvIndexLogEntry entry(OrvTransactionManager::getInstance()->getCurrentTransactionID(), nullptr,
                           0, nullptr, 0, nullptr, 0, COMMIT);
    OrvLogManager::getInstance()->createLogEntry(&entry);
    endTransaction(true);
}

void OrvIndexManager::dump_current() {
    if (currentIndex != nullptr) {
        currentIndex->dump();
    }
}

void OrvIndexManager::dump_all() {
    for (auto& [id, tree] : indexList) {
        currentIndexId = id;
        currentIndex = tree.get();
        tree->dump();
    }
}
