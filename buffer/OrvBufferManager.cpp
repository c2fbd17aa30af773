#include "OrvBuffer.h"

#include "OrvDebug.h"
#include "OrvError.h"
#include "OrvException.h"
#include "buffer/OrvBMHash.h"
#include "buffer/OrvBufferManagerProfiling.h"
#include "buffer/OrvBufferPool.h"
#include "buffer/OrvBufferPoolCheck.h"
#include "buffer/OrvLRU.h"
#include "buffer/OrvPageFrame.h"
#include "file/OrvFileManager.h"
#include "support/OrvErrorBoundary.h"
#include "support/OrvLatch.h"
#include "support/OrvMemoryManager.h"
#include "support/OrvProcessIdentity.h"
#include "support/OrvSharedSet.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unistd.h>

OrvBufferManager* OrvBufferManager::instance = nullptr;

// Raises a returned code with the given call text (for calls whose text in
// the exception names the frame's fields rather than the local variables).
#define ORV_RAISE_AS(code, callText)                                                               \
    OrvException::raise((code), (callText), __FILE__, __LINE__, __PRETTY_FUNCTION__)

namespace {

// The pool as attached by this process's manager; null while there is none.
// The static operations use it instead of attaching a second time.
OrvBufferPoolLayout* attachedPool = nullptr;
// Fixes this process took and has not given back (over all its managers).
Uint32 fixesOfThisProcess = 0;

OrvPageHeader readHeader(const char* image) {
    OrvPageHeader header;
    std::memcpy(&header, image, sizeof(header));
    return header;
}

void writeHeader(char* image, PageId pageId, OrvPage::PageType type, const OrvLsn& lsn) {
    OrvPageHeader header{};
    header.pageId = pageId;
    header.padding = 0;
    header.pageType = type;
    header.lsn = lsn;
    std::memcpy(image, &header, sizeof(header));
}

// After a failure that the buffer manager expected and handled (a page that
// is not in its file), the error object no longer describes an error.
void clearExpectedError() {
    OrvError::getErrorObject()->setError(BufferManager, ORV_SUCCESS);
}

void recordParameterFail(const char* function, Uint32 line) {
    OrvError* error = OrvError::getErrorObject();
    error->setError(BufferManager, ORV_PARAMETER_FAIL);
    error->addTraceRecord(__FILE__, function, line);
}

// The pool for a static operation: this process's manager's attachment, or
// one of the operation's own, released when the operation ends.
class PoolAccess {
public:
    PoolAccess() : pool(attachedPool), own(attachedPool == nullptr) {
        ORV_TRACE(BufferManager);
        if (own) {
            void* address = nullptr;
            OrvMemoryManager::getMemoryManager()->connectToMemorySet(OrvMemoryManager::BufferPool,
                                                                     address);
            pool = static_cast<OrvBufferPoolLayout*>(address);
        }
    }
    ~PoolAccess() {
        OrvErrorBoundary::noThrow(BufferManager, "detaching from the buffer pool failed",
                                  [this] { detach(); });
    }
    PoolAccess(const PoolAccess&) = delete;
    PoolAccess& operator=(const PoolAccess&) = delete;

    void detach() {
        ORV_TRACE(BufferManager);
        if (own && pool != nullptr) {
            pool = nullptr;
            OrvMemoryManager::getMemoryManager()->disconnectFromMemorySet(
                OrvMemoryManager::BufferPool);
        }
    }
    OrvBufferPoolLayout* operator->() const { return pool; }

private:
    OrvBufferPoolLayout* pool;
    bool own;
};

} // namespace

// ---- life cycle ----------------------------------------------------------

OrvBufferManager* OrvBufferManager::getInstance() {
    ORV_TRACE(BufferManager);
    if (instance == nullptr) {
        instance = new OrvBufferManager();
    }
    return instance;
}

void OrvBufferManager::deleteInstance() {
    ORV_TRACE(BufferManager);
    OrvBufferManager* manager = instance;
    delete manager;
    instance = nullptr;
}

OrvBufferManager::OrvBufferManager()
    : fileMgr(OrvFileManager::getInstance()), header(nullptr), latch(nullptr), hash(nullptr),
      lru(nullptr), data(nullptr), fixers(nullptr), myFixer(nullptr),
      profiler(new OrvBufferManagerProfiling::Profiler()), logicalReads(0), physicalReads(0) {
    ORV_TRACE(BufferManager);
    void* address = nullptr;
    OrvMemoryManager* memoryManager = OrvMemoryManager::getMemoryManager();
    if (memoryManager->getSetSize(OrvMemoryManager::BufferPool) < sizeof(OrvBufferPoolLayout)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    memoryManager->connectToMemorySet(OrvMemoryManager::BufferPool, address);
    OrvBufferPoolLayout* pool = static_cast<OrvBufferPoolLayout*>(address);
    latch = &pool->latch;
    header = &pool->header;
    hash = &pool->hash;
    lru = &pool->lru;
    data = pool->frames;
    fixers = pool->fixers;
    try {
        takeFixerSlot();
    } catch (...) {
        memoryManager->disconnectFromMemorySet(OrvMemoryManager::BufferPool);
        throw;
    }
    OrvBMHash::setPagesPointer(data);
    OrvLRU::setPagesPointer(data);
    attachedPool = pool;
    OrvDebug::registerFunction(&OrvBufferManager::debugStats, &OrvBufferManager::debugResetStats,
                               "BM_STATS", "");
}

OrvBufferManager::~OrvBufferManager() {
    try {
        ORV_TRACE(BufferManager);
        try {
            flushAll();
        } catch (const OrvException& e) {
            orvTrace.traceString(1, "writing back the dirty pages failed");
            e.SET_ERROR();
        }
        try {
            OrvScopedExclusiveLatch scopedLatch(*latch);
            // A slot that still records fixes stays: once this process has
            // ended, they are given back like those of any dead process.
            if (myFixer != nullptr && myFixer->used == 0 && myFixer->untracked == 0 &&
                myFixer->pid == getpid()) {
                std::memset(myFixer, 0, sizeof(*myFixer));
            }
            myFixer = nullptr;
        } catch (const OrvException& e) {
            orvTrace.traceString(3, "freeing the slot of the fixes failed");
            e.SET_ERROR();
        }
        OrvBMHash::resetPagesPointer();
        OrvLRU::resetPagesPointer();
        attachedPool = nullptr;
        try {
            OrvMemoryManager::getMemoryManager()->disconnectFromMemorySet(
                OrvMemoryManager::BufferPool);
        } catch (const OrvException& e) {
            orvTrace.traceString(2, "detaching from the buffer pool failed");
            e.SET_ERROR();
        }
    } catch (...) {
        // Destructors never throw; the failures above are recorded already.
    }
    if (instance == this) {
        instance = nullptr;
    }
}

void OrvBufferManager::initializeBuffer() {
    ORV_TRACE(BufferManager);
    // The latch at offset 0 is made by OrvSharedSet; the rest is set up here.
    // The frames need nothing: the set is zero when created, so every frame
    // is empty (segment 0), unfixed and clean.
    OrvSharedSet::create(OrvMemoryManager::BufferPool, [](void* address) {
        OrvBufferPoolLayout* pool = static_cast<OrvBufferPoolLayout*>(address);
        pool->header.logicalReads = 0;
        pool->header.physicalReads = 0;
        pool->hash.initialize();
        pool->lru.initialize();
    });
}

// ---- helpers ---------------------------------------------------------------

int OrvBufferManager::frameIndexOf(const OrvPage* page) const {
    // No trace scope: plain arithmetic on the path of every releasePage.
    // Compared as integers: a pointer that is no frame of the pool must not
    // take part in pointer arithmetic on the frame array.
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(page);
    if (data == nullptr || address < first) {
        return -1;
    }
    const std::uintptr_t offset = address - first;
    if (offset % sizeof(OrvPage) != 0 || offset / sizeof(OrvPage) >= ORV_BM_NUM_PAGES) {
        return -1;
    }
    return static_cast<int>(offset / sizeof(OrvPage));
}

void OrvBufferManager::countLogicalRead() {
    ++logicalReads;
    ++header->logicalReads;
    profiler->getMeasureValueReference(OrvBufferManagerProfiling::LogicalReads,
                                       support::profiling::Counter()) += 1;
}

void OrvBufferManager::countPhysicalRead() {
    ++physicalReads;
    ++header->physicalReads;
    profiler->getMeasureValueReference(OrvBufferManagerProfiling::PhysicalReads,
                                       support::profiling::Counter()) += 1;
}

void OrvBufferManager::writeFrame(OrvPage& page) {
    ORV_TRACE(BufferManager);
    ORV_RAISE_AS(fileMgr->open(page.segmentId), "fileMgr->open(page->getSegmentId())");
    openSegments.insert(page.segmentId);
    ORV_RAISE_AS(fileMgr->write(page.segmentId, page.pageId, page.data),
                 "fileMgr->write(page->getSegmentId(), page->getPageId(), page->getPageData())");
    page.dirty = 0;
}

void OrvBufferManager::flushSinglePage(Uint16 pageIndex,
                                       const OrvScopedExclusiveLatch& /*scopedLatch*/) {
    ORV_TRACE(BufferManager);
    OrvBufferManagerProfiling::ScopedTimer timer(*profiler,
                                                 OrvBufferManagerProfiling::GetFlushSinglePageTime);
    OrvPage& page = data[pageIndex];
    if (page.dirty == 0 || page.fixCount != 0 || page.segmentId == 0) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    writeFrame(page);
}

Uint16 OrvBufferManager::chooseFrame(const OrvScopedExclusiveLatch& scopedLatch) {
    ORV_TRACE(BufferManager);
    Uint16 frame = lru->getFreeSlot();
    if (frame == OrvLRU::EMPTY_LIST_HEAD) {
        try {
            lru->remove(frame);
        } catch (const OrvException& e) {
            if (e.getErrorCode() == ORV_NOT_FOUND_WARN) {
                throw OrvException(e, ORV_BM_BUFFER_FULL, "ORV_BM_BUFFER_FULL", __FILE__, __LINE__,
                                   __PRETTY_FUNCTION__);
            }
            throw;
        }
        OrvPage& victim = data[frame];
        if (victim.dirty != 0) {
            try {
                flushSinglePage(frame, scopedLatch);
            } catch (const OrvException&) {
                // The victim keeps its page and its changes: back on the used
                // list, as most recently used, so that the next request tries
                // another victim rather than this unwritable one again.
                lru->insert(frame);
                throw;
            }
        }
        hash->remove(frame);
        victim.segmentId = 0;
        victim.dirty = 0;
    }
    if (data[frame].segmentId != 0) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return frame;
}

// ---- fixing and releasing ----------------------------------------------------

namespace {

// Every page the pool writes carries its header, and no header is all zero
// (a page with id 0 is an inventory page, whose type is not 0). An image of
// zero bytes is a hole in the file: a later page was written before this
// one, which was never written. It counts as a page that does not exist.
bool neverWritten(const char* image) {
    for (Uint32 i = 0; i < ORV_PAGE_SIZE; ++i) {
        if (image[i] != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

void OrvBufferManager::getPage(SegmentId segment, PageId pageId, OrvPage::PageType type,
                               OrvPage*& page) {
    ORV_TRACE(BufferManager);
    OrvBufferManagerProfiling::ScopedTimer timer(*profiler, OrvBufferManagerProfiling::GetPageTime);
    if (segment == 0 || pageId == ORV_INVALID_PAGE_ID) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    OrvScopedExclusiveLatch scopedLatch(*latch);
    fixPage(segment, pageId, type, page, scopedLatch);
}

bool OrvBufferManager::getPageIfExists(SegmentId segment, PageId pageId, OrvPage::PageType type,
                                       OrvPage*& page) {
    ORV_TRACE(BufferManager);
    OrvBufferManagerProfiling::ScopedTimer timer(*profiler, OrvBufferManagerProfiling::GetPageTime);
    if (segment == 0 || pageId == ORV_INVALID_PAGE_ID) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    bool missing = false;
    OrvPage* fixed = nullptr;
    {
        OrvScopedExclusiveLatch scopedLatch(*latch);
        fixPage(segment, pageId, type, fixed, scopedLatch, &missing);
    }
    page = fixed;
    return !missing;
}

void OrvBufferManager::fixPage(SegmentId segment, PageId pageId, OrvPage::PageType type,
                               OrvPage*& page, const OrvScopedExclusiveLatch& scopedLatch,
                               bool* missing) {
    ORV_TRACE(BufferManager);
    countLogicalRead();
    if (dropPending.count(segment) != 0) {
        ORV_THROW(ORV_BM_SEGMENT_DROPPED, OrvException::to_string(pageId),
                  OrvException::to_string(segment));
    }
    Uint16 frame = 0;
    if (hash->find(segment, pageId, frame)) {
        lru->touch(frame);
    } else {
        frame = chooseFrame(scopedLatch);
        OrvPage& fresh = data[frame];
        const OrvErrorCode rc = fileMgr->read(segment, pageId, fresh.data);
        // The frame stays on the empty list until the image is known to be
        // a page, so a hole leaves nothing behind in the pool.
        if (rc == ORV_FM_PAGE_NOT_EXISTS || (rc == ORV_SUCCESS && neverWritten(fresh.data))) {
            clearExpectedError();
            if (missing != nullptr) {
                *missing = true;
                return;
            }
            ORV_THROW(ORV_BM_PAGE_NOT_FOUND, OrvException::to_string(pageId),
                      OrvException::to_string(segment));
        }
        ORV_RAISE_AS(rc, "fileMgr->read(segment, pageId, page->getPageData())");
        const OrvPageHeader image = readHeader(fresh.data);
        fresh.segmentId = segment;
        fresh.pageId = pageId;
        // The frame's type is the image's, not the requested one: a request
        // with the wrong type must not leave a frame that every later correct
        // fix would fail to release.
        fresh.pageType = image.pageType;
        fresh.fixCount = 0;
        fresh.dirty = 0;
        fresh.lsn = image.lsn;
        lru->insert(frame);
        hash->insert(frame);
        countPhysicalRead();
    }
    OrvPage& found = data[frame];
    const OrvPageHeader image = readHeader(found.data);
    if (image.pageId != pageId) {
        ORV_THROW(ORV_BM_PAGEID_MISMATCH, OrvException::to_string(pageId),
                  OrvException::to_string(segment), OrvException::to_string(image.pageId));
    }
    if (image.pageType != type) {
        ORV_THROW(ORV_BM_PAGETYPE_MISMATCH, OrvException::to_string(pageId),
                  OrvException::to_string(segment), OrvException::to_string(image.pageType),
                  OrvException::to_string(type));
    }
    if (found.fixCount == ORV_MAX_UINT16) {
        // One more fix would wrap the count to 0 and let the frame be taken
        // from under its holders.
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    ++found.fixCount;
    ++fixesOfThisProcess;
    recordFix(frame);
    page = &found;
}

void OrvBufferManager::getNewPage(SegmentId segment, PageId pageId, OrvPage::PageType type,
                                  OrvPage*& page) {
    ORV_TRACE(BufferManager);
    OrvBufferManagerProfiling::ScopedTimer timer(*profiler,
                                                 OrvBufferManagerProfiling::GetNewPageTime);
    if (segment == 0 || pageId == ORV_INVALID_PAGE_ID) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    OrvScopedExclusiveLatch scopedLatch(*latch);
    checkNotInPool(segment, pageId, scopedLatch);
    alignas(8) char scratch[ORV_PAGE_SIZE];
    const OrvErrorCode rc = fileMgr->read(segment, pageId, scratch);
    if (rc == ORV_SUCCESS && !neverWritten(scratch)) {
        ORV_THROW(ORV_BM_PAGE_ALREADY_EXISTS_IN_FILE, OrvException::to_string(pageId),
                  OrvException::to_string(segment));
    }
    if (rc != ORV_FM_PAGE_NOT_EXISTS) {
        ORV_RAISE_AS(rc, "fileMgr->read(segment, pageId, buffer)");
    }
    clearExpectedError();
    fixNewPage(segment, pageId, type, OrvLsn::dummyLSN(), page, scopedLatch);
}

void OrvBufferManager::getNewPage(SegmentId segment, PageId pageId, OrvPage::PageType type,
                                  const OrvLsn& lsn, OrvPage*& page) {
    ORV_TRACE(BufferManager);
    OrvBufferManagerProfiling::ScopedTimer timer(*profiler,
                                                 OrvBufferManagerProfiling::GetNewPageTime);
    if (segment == 0 || pageId == ORV_INVALID_PAGE_ID) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    OrvScopedExclusiveLatch scopedLatch(*latch);
    checkNotInPool(segment, pageId, scopedLatch);
    fixNewPage(segment, pageId, type, lsn, page, scopedLatch);
}

void OrvBufferManager::checkNotInPool(SegmentId segment, PageId pageId,
                                      const OrvScopedExclusiveLatch& /*scopedLatch*/) const {
    ORV_TRACE(BufferManager);
    if (dropPending.count(segment) != 0) {
        ORV_THROW(ORV_BM_SEGMENT_DROPPED, OrvException::to_string(pageId),
                  OrvException::to_string(segment));
    }
    Uint16 frame = 0;
    if (hash->find(segment, pageId, frame)) {
        ORV_THROW(ORV_BM_PAGE_ALREADY_EXISTS_IN_BUFFER, OrvException::to_string(pageId),
                  OrvException::to_string(segment));
    }
}

void OrvBufferManager::fixNewPage(SegmentId segment, PageId pageId, OrvPage::PageType type,
                                  const OrvLsn& lsn, OrvPage*& page,
                                  const OrvScopedExclusiveLatch& scopedLatch) {
    ORV_TRACE(BufferManager);
    const Uint16 frame = chooseFrame(scopedLatch);
    OrvPage& fresh = data[frame];
    std::memset(fresh.data, 0, sizeof(fresh.data));
    writeHeader(fresh.data, pageId, type, lsn);
    fresh.segmentId = segment;
    fresh.pageId = pageId;
    fresh.pageType = type;
    fresh.lsn = lsn;
    fresh.fixCount = 1;
    fresh.dirty = 1;
    lru->insert(frame);
    hash->insert(frame);
    ++fixesOfThisProcess;
    recordFix(frame);
    page = &fresh;
}

void OrvBufferManager::checkReleasable(const OrvPage* page) const {
    ORV_TRACE(BufferManager);
    if (page == nullptr || frameIndexOf(page) < 0) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    // The caller holds a fix, so the frame keeps its page while the header is
    // read without the latch.
    const OrvPageHeader image = readHeader(page->data);
    if (image.pageId != page->pageId) {
        const std::string frameId = OrvException::to_string(page->pageId);
        const std::string segmentId = OrvException::to_string(page->segmentId);
        const std::string storedId = OrvException::to_string(image.pageId);
        OrvError* error = OrvError::getErrorObject();
        error->setError(BufferManager, ORV_BM_PAGEID_MISMATCH, frameId.c_str(), segmentId.c_str(),
                        storedId.c_str());
        error->addTraceRecord(__FILE__, __PRETTY_FUNCTION__, __LINE__);
    }
    if (image.pageType != page->pageType) {
        ORV_THROW(ORV_BM_PAGETYPE_MISMATCH, OrvException::to_string(page->pageId),
                  OrvException::to_string(page->segmentId), OrvException::to_string(image.pageType),
                  OrvException::to_string(page->pageType));
    }
}

void OrvBufferManager::unfixPage(OrvPage*& page, const OrvScopedExclusiveLatch& /*scopedLatch*/) {
    ORV_TRACE(BufferManager);
    if (page->fixCount == 0) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    --page->fixCount;
    if (fixesOfThisProcess > 0) {
        --fixesOfThisProcess;
    }
    recordUnfix(frameIndexOf(page));
    page = nullptr;
}

void OrvBufferManager::releasePage(OrvPage*& page) {
    ORV_TRACE(BufferManager);
    checkReleasable(page);
    OrvScopedExclusiveLatch scopedLatch(*latch);
    unfixPage(page, scopedLatch);
}

void OrvBufferManager::exchangePage(OrvPage*& page, SegmentId segment, PageId pageId,
                                    OrvPage::PageType type) {
    ORV_TRACE(BufferManager);
    OrvBufferManagerProfiling::ScopedTimer timer(*profiler, OrvBufferManagerProfiling::GetPageTime);
    checkReleasable(page);
    if (segment == 0 || pageId == ORV_INVALID_PAGE_ID) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    OrvScopedExclusiveLatch scopedLatch(*latch);
    unfixPage(page, scopedLatch);
    // From here on the old fix is gone, whatever happens: the frame it held
    // may even be the victim for the next page.
    fixPage(segment, pageId, type, page, scopedLatch);
}

Uint32 OrvBufferManager::getFixesOfThisProcess() {
    return fixesOfThisProcess;
}

void OrvBufferManager::checkNoFixesOfThisProcess() {
    ORV_TRACE(BufferManager);
    if (fixesOfThisProcess != 0) {
        ORV_THROW(ORV_BM_FIXES_LEFT, OrvException::to_string(fixesOfThisProcess));
    }
}

void OrvBufferManager::markPageAsModified(OrvPage& page) {
    ORV_TRACE(BufferManager);
    OrvScopedExclusiveLatch scopedLatch(*latch);
    // Checked before anything changes: a pointer outside the pool, or an empty
    // frame, must not be written (an empty frame marked dirty would be written
    // as a page of segment 0).
    if (frameIndexOf(&page) < 0 || page.segmentId == 0) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    page.dirty = 1;
}

// ---- segments and transactions ---------------------------------------------

void OrvBufferManager::createSegment(SegmentId segment) {
    ORV_TRACE(BufferManager);
    if (segment == 0) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    ORV_RAISE_AS(fileMgr->create(segment), "fileMgr->create(segment)");
    newSegments.insert(segment);
}

void OrvBufferManager::openSegment(SegmentId segment) {
    ORV_TRACE(BufferManager);
    if (segment == 0) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    ORV_RAISE_AS(fileMgr->open(segment), "fileMgr->open(segment)");
    openSegments.insert(segment);
}

void OrvBufferManager::closeSegment(SegmentId segment) {
    ORV_TRACE(BufferManager);
    // The file manager forgets the segment even when the close fails.
    openSegments.erase(segment);
    ORV_RAISE_AS(fileMgr->close(segment), "fileMgr->close(segment)");
}

void OrvBufferManager::wipeSegment(SegmentId segment,
                                   const OrvScopedExclusiveLatch& /*scopedLatch*/) {
    ORV_TRACE(BufferManager);
    for (Uint16 frame = 0; frame < ORV_BM_NUM_PAGES; ++frame) {
        OrvPage& page = data[frame];
        if (page.segmentId != segment) {
            continue;
        }
        hash->remove(frame);
        lru->removeEntry(frame);
        page.segmentId = 0;
        page.dirty = 0;
        page.fixCount = 0;
        forgetFixesOfFrame(frame);
    }
}

void OrvBufferManager::writeSegmentFrames(SegmentId segment,
                                          const OrvScopedExclusiveLatch& scopedLatch) {
    ORV_TRACE(BufferManager);
    for (Uint16 frame = 0; frame < ORV_BM_NUM_PAGES; ++frame) {
        const OrvPage& page = data[frame];
        if (page.segmentId == segment && page.dirty != 0 && page.fixCount == 0) {
            flushSinglePage(frame, scopedLatch);
        }
    }
}

void OrvBufferManager::dropSegment(SegmentId segment) {
    ORV_TRACE(BufferManager);
    if (segment == 0) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    OrvScopedExclusiveLatch scopedLatch(*latch);
    if (newSegments.count(segment) != 0) {
        wipeSegment(segment, scopedLatch);
        closeSegment(segment);
        ORV_RAISE_AS(fileMgr->drop(segment), "fileMgr->drop(segment)");
        // Forgotten only once the file is gone, so that a rollback still
        // removes a file whose deletion failed here.
        newSegments.erase(segment);
        return;
    }
    // The segment existed before this transaction, and its dirty frames may
    // hold committed changes of others. They are written before the frames
    // are discarded: should the transaction roll back, the segment stays and
    // must not lose them.
    writeSegmentFrames(segment, scopedLatch);
    dropPending.insert(segment);
    wipeSegment(segment, scopedLatch);
}

void OrvBufferManager::commit() {
    ORV_TRACE(BufferManager);
    OrvScopedExclusiveLatch scopedLatch(*latch);
    newSegments.clear();
    // Every pending drop is tried even when one fails; the first failure is
    // reported afterwards. The transaction is over either way: a file that
    // could not be deleted is not dropped again by a later commit.
    OrvErrorBoundary::FirstFailure firstFailure;
    for (SegmentId segment : dropPending) {
        firstFailure.attempt([&] {
            wipeSegment(segment, scopedLatch);
            closeSegment(segment);
            ORV_RAISE_AS(fileMgr->drop(segment), "fileMgr->drop(segment)");
        });
    }
    dropPending.clear();
    firstFailure.rethrow();
}

void OrvBufferManager::rollback() {
    ORV_TRACE(BufferManager);
    OrvScopedExclusiveLatch scopedLatch(*latch);
    OrvError* error = OrvError::getErrorObject();
    for (SegmentId segment : newSegments) {
        // What the caller is rolling back stays the recorded error; failures
        // here are only traced.
        const OrvErrorCode previousCode = error->getErrorCode();
        const OrvComponent previousComponent = error->getComponent();
        bool failed = false;
        try {
            // The frames go first: left in the pool they would be written
            // into a file that must not exist.
            wipeSegment(segment, scopedLatch);
            openSegments.erase(segment);
            if (fileMgr->close(segment) != ORV_SUCCESS) {
                orvTrace.traceNumber(1, "closing a new segment failed", Uint32(segment));
                failed = true;
            }
            if (fileMgr->drop(segment) != ORV_SUCCESS) {
                orvTrace.traceNumber(2, "deleting a new segment failed", Uint32(segment));
                failed = true;
            }
        } catch (const OrvException&) {
            orvTrace.traceNumber(3, "discarding a new segment failed", Uint32(segment));
            failed = true;
        }
        if (failed) {
            error->setError(previousComponent, previousCode);
        }
    }
    newSegments.clear();
    dropPending.clear();
}

void OrvBufferManager::takeBackPendingDrops() {
    ORV_TRACE(BufferManager);
    dropPending.clear();
}

void OrvBufferManager::getPageForRedo(SegmentId segment, PageId pageId, OrvPage::PageType type,
                                      OrvPage*& page, bool& made) {
    ORV_TRACE(BufferManager);
    if (segment == 0 || pageId == ORV_INVALID_PAGE_ID) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    OrvScopedExclusiveLatch scopedLatch(*latch);
    bool missing = false;
    fixPage(segment, pageId, type, page, scopedLatch, &missing);
    made = missing;
    if (missing) {
        fixNewPage(segment, pageId, type, OrvLsn::dummyLSN(), page, scopedLatch);
    }
}

void OrvBufferManager::flushAll() {
    ORV_TRACE(BufferManager);
    OrvScopedExclusiveLatch scopedLatch(*latch);
    OrvBufferManagerProfiling::ScopedTimer timer(*profiler,
                                                 OrvBufferManagerProfiling::GetFlushAllTime);
    OrvErrorBoundary::FirstFailure firstFailure;
    for (Uint16 frame = 0; frame < ORV_BM_NUM_PAGES; ++frame) {
        OrvPage& page = data[frame];
        if (page.segmentId == 0 || page.dirty == 0 || page.fixCount != 0) {
            continue;
        }
        try {
            writeFrame(page);
        } catch (const OrvException& e) {
            orvTrace.traceNumber(1, "cannot write back a page of segment", Uint32(page.segmentId));
            firstFailure.note(e);
        }
    }
    const std::set<SegmentId> opened = openSegments;
    for (SegmentId segment : opened) {
        firstFailure.attempt([&] { closeSegment(segment); });
    }
    openSegments.clear();
    firstFailure.rethrow();
}

// ---- numbering ---------------------------------------------------------------

SegmentId OrvBufferManager::convertTableIdToSegmentId(TableId tableId) const {
    ORV_TRACE(BufferManager);
    if (tableId < ORV_MIN_TABLE_ID || tableId > ORV_MAX_TABLE_ID) {
        recordParameterFail(__PRETTY_FUNCTION__, __LINE__);
        return 0;
    }
    return tableId;
}

SegmentId OrvBufferManager::convertIndexIdToSegmentId(IndexId indexId) const {
    ORV_TRACE(BufferManager);
    if (indexId < ORV_MIN_INDEX_ID || indexId > ORV_MAX_INDEX_ID) {
        recordParameterFail(__PRETTY_FUNCTION__, __LINE__);
        return 0;
    }
    return static_cast<SegmentId>(2 * indexId + 32767);
}

SegmentId convertIndexIdToHelpSegmentId(IndexId indexId) {
    ORV_TRACE(BufferManager);
    // The largest index has no help segment (see the header).
    if (indexId < ORV_MIN_INDEX_ID || indexId >= ORV_MAX_INDEX_ID) {
        recordParameterFail(__PRETTY_FUNCTION__, __LINE__);
        return 0;
    }
    return static_cast<SegmentId>(2 * indexId + 32768);
}

// ---- statistics --------------------------------------------------------------

float OrvBufferManager::getBufferHitRatio() const {
    ORV_TRACE(BufferManager);
    return orvBufferHitRatio(logicalReads, physicalReads);
}

float OrvBufferManager::getBufferHitRatioAllTransactions() const {
    ORV_TRACE(BufferManager);
    OrvScopedLatch scopedLatch(*latch, OrvLatch::Shared);
    return orvBufferHitRatio(header->logicalReads, header->physicalReads);
}

Uint32 OrvBufferManager::getLogicalReads() const {
    ORV_TRACE(BufferManager);
    return logicalReads;
}

Uint32 OrvBufferManager::getPhysicalReads() const {
    ORV_TRACE(BufferManager);
    return physicalReads;
}

Uint32 OrvBufferManager::getLogicalReadsAllTransactions() const {
    ORV_TRACE(BufferManager);
    return header->logicalReads;
}

Uint32 OrvBufferManager::getPhysicalReadsAllTransactions() const {
    ORV_TRACE(BufferManager);
    return header->physicalReads;
}

void OrvBufferManager::resetStatistics() {
    ORV_TRACE(BufferManager);
    logicalReads = 0;
    physicalReads = 0;
}

std::string OrvBufferManager::getProfilerXML() const {
    ORV_TRACE(BufferManager);
    return profiler->getXML();
}

std::string OrvBufferManager::checkStructure() const {
    ORV_TRACE(BufferManager);
    OrvScopedLatch scopedLatch(*latch, OrvLatch::Shared);
    return OrvBufferPoolCheck::check(*hash, *lru, data);
}

// ---- the fixes of each process -----------------------------------------------

void OrvBufferManager::takeFixerSlot() {
    ORV_TRACE(BufferManager);
    const OrvProcessIdentity me = OrvProcessIdentity::self();
    OrvScopedExclusiveLatch scopedLatch(*latch);
    OrvBufferFixer* free = nullptr;
    for (Uint32 i = 0; i < ORV_BM_FIXERS; ++i) {
        OrvBufferFixer& fixer = fixers[i];
        if (fixer.pid == me.pid && fixer.startTime == me.startTime) {
            myFixer = &fixer; // a manager made again by the same process
            return;
        }
        if (fixer.pid == 0 && free == nullptr) {
            free = &fixer;
        }
    }
    if (free == nullptr) {
        // A slot of a process that ended with nothing fixed can be had.
        for (Uint32 i = 0; i < ORV_BM_FIXERS && free == nullptr; ++i) {
            OrvBufferFixer& fixer = fixers[i];
            OrvProcessIdentity process;
            process.pid = fixer.pid;
            process.startTime = fixer.startTime;
            if (fixer.used == 0 && fixer.untracked == 0 && process.isGone()) {
                free = &fixer;
            }
        }
    }
    if (free == nullptr) {
        orvTrace.traceString(1, "no slot free for the fixes of this process");
        return;
    }
    std::memset(free, 0, sizeof(*free));
    free->startTime = me.startTime;
    free->pid = me.pid;
    myFixer = free;
}

void OrvBufferManager::recordFix(int frame) {
    if (myFixer == nullptr) {
        return;
    }
    // Only this process writes its slot, but it lies in shared memory: a
    // count out of range is taken as full.
    const Uint32 used = std::min(myFixer->used, ORV_BM_FIXES_PER_FIXER);
    OrvBufferFix* fixes = myFixer->fixes;
    for (Uint32 i = 0; i < used; ++i) {
        if (fixes[i].frame == frame) {
            if (fixes[i].count == ORV_MAX_UINT16) {
                break;
            }
            ++fixes[i].count;
            return;
        }
    }
    if (used < ORV_BM_FIXES_PER_FIXER) {
        fixes[used].frame = static_cast<Uint16>(frame);
        fixes[used].count = 1;
        myFixer->used = used + 1;
        return;
    }
    ++myFixer->untracked;
}

void OrvBufferManager::recordUnfix(int frame) {
    if (myFixer == nullptr) {
        return;
    }
    const Uint32 used = std::min(myFixer->used, ORV_BM_FIXES_PER_FIXER);
    OrvBufferFix* fixes = myFixer->fixes;
    for (Uint32 i = 0; i < used; ++i) {
        if (fixes[i].frame == frame) {
            if (--fixes[i].count == 0) {
                fixes[i] = fixes[used - 1];
                myFixer->used = used - 1;
            }
            return;
        }
    }
    if (myFixer->untracked > 0) {
        --myFixer->untracked;
    }
}

void OrvBufferManager::forgetFixesOfFrame(int frame) {
    // The frame's fixes were all dropped with its segment.
    for (Uint32 i = 0; i < ORV_BM_FIXERS; ++i) {
        OrvBufferFixer& fixer = fixers[i];
        const Uint32 used = std::min(fixer.used, ORV_BM_FIXES_PER_FIXER);
        for (Uint32 j = 0; j < used; ++j) {
            if (fixer.fixes[j].frame == frame) {
                fixer.fixes[j] = fixer.fixes[used - 1];
                fixer.used = used - 1;
                break;
            }
        }
    }
}

namespace {

// Gives back the recorded fixes of one slot; frees it unless unrecorded
// fixes remain. REQUIRES: the pool latch.
Uint32 releaseFixesOfSlot(OrvBufferPoolLayout& pool, OrvBufferFixer& fixer) {
    ORV_TRACE(BufferManager);
    Uint32 released = 0;
    const Uint32 used = std::min(fixer.used, ORV_BM_FIXES_PER_FIXER);
    for (Uint32 i = 0; i < used; ++i) {
        const OrvBufferFix fix = fixer.fixes[i];
        if (fix.frame >= ORV_BM_NUM_PAGES) {
            orvTrace.traceNumber(1, "a fixer's slot names a frame out of range", fix.frame);
            continue;
        }
        OrvPage& page = pool.frames[fix.frame];
        const Uint16 count = std::min(fix.count, OrvPageFrame::fixCountOf(page));
        OrvPageFrame::setFixCount(page,
                                  static_cast<Uint16>(OrvPageFrame::fixCountOf(page) - count));
        released += count;
    }
    fixer.used = 0;
    if (fixer.untracked == 0) {
        std::memset(&fixer, 0, sizeof(fixer));
    }
    return released;
}

// Gives back the fixes of every fixer slot that `gone` names, under the
// pool's latch; a pool that does not exist has none.
template <typename Gone> Uint32 releaseFixesOfSlotsWhere(Gone gone) {
    std::unique_ptr<PoolAccess> pool;
    try {
        pool.reset(new PoolAccess());
    } catch (const OrvException& e) {
        if (e.getErrorCode() == ORV_MM_SHM_NOT_EXISTS) {
            OrvError::getErrorObject()->setError(BufferManager, ORV_SUCCESS);
            return 0;
        }
        throw;
    }
    Uint32 released = 0;
    {
        OrvScopedExclusiveLatch scopedLatch((*pool)->latch);
        for (OrvBufferFixer& fixer : (*pool)->fixers) {
            if (gone(fixer)) {
                released += releaseFixesOfSlot(*(*pool).operator->(), fixer);
            }
        }
    }
    pool->detach();
    return released;
}

} // namespace

Uint32 OrvBufferManager::releaseFixesOfProcess(const OrvProcessIdentity& process) {
    ORV_TRACE(BufferManager);
    const Uint32 released = releaseFixesOfSlotsWhere([&](const OrvBufferFixer& fixer) {
        return fixer.pid == process.pid && fixer.startTime == process.startTime;
    });
    if (released > 0) {
        orvTrace.traceNumber(1, "gave back the fixes of a dead process", released);
    }
    return released;
}

Uint32 OrvBufferManager::releaseFixesOfDeadProcesses() {
    ORV_TRACE(BufferManager);
    return releaseFixesOfSlotsWhere([](const OrvBufferFixer& fixer) {
        OrvProcessIdentity process;
        process.pid = fixer.pid;
        process.startTime = fixer.startTime;
        return fixer.pid != 0 && fixer.used != 0 && process.isGone();
    });
}

// ---- the pool in the start and stop sequence -------------------------------

void OrvBufferManager::haveFixedPages(bool& inUse) {
    ORV_TRACE(BufferManager);
    inUse = false;
    std::unique_ptr<PoolAccess> pool;
    try {
        pool.reset(new PoolAccess());
    } catch (const OrvException& e) {
        if (e.getErrorCode() == ORV_MM_SHM_NOT_EXISTS) {
            return;
        }
        throw;
    }
    for (const OrvPage& page : (*pool)->frames) {
        if (page.fixCount != 0) {
            inUse = true;
            break;
        }
    }
    pool->detach();
}

namespace {

// Writes the dirty frames of the pool to their segment files through this
// process's file manager, closing the files it opened. With includeFixed (a
// forced stop) fixed frames are written too: their fixer is dead or about to
// lose the pool, and a frame holds changes that other processes may have
// committed since it was fixed; skipping it would lose them. Without it
// (a stop that found no fixed page) a frame fixed meanwhile is left to its
// fixer. A frame whose
// file is gone is skipped and traced (its segment was dropped with the
// pages still in the pool). Goes on after a failure; the first is kept in
// firstFailure.
void writeBackForStop(OrvBufferPoolLayout& pool, bool includeFixed,
                      std::unique_ptr<OrvException>& firstFailure) {
    ORV_TRACE(BufferManager);
    OrvFileManager* fileMgr = OrvFileManager::getInstance();
    std::set<SegmentId> opened;
    std::set<SegmentId> missing;
    for (OrvPage& page : pool.frames) {
        const SegmentId segment = page.getSegmentId();
        if (segment == 0 || !page.isDirty() || (page.isFix() && !includeFixed) ||
            missing.count(segment) != 0) {
            continue;
        }
        if (opened.count(segment) == 0) {
            const OrvErrorCode rc = fileMgr->open(segment);
            if (rc == ORV_FM_FILE_NOT_FOUND) {
                orvTrace.traceNumber(1, "skipping the pages of a segment whose file is gone",
                                     Uint32(segment));
                clearExpectedError();
                missing.insert(segment);
                continue;
            }
            if (rc != ORV_SUCCESS) {
                if (!firstFailure) {
                    firstFailure.reset(new OrvException(rc, "fileMgr->open(page->getSegmentId())",
                                                        __FILE__, __LINE__, __PRETTY_FUNCTION__));
                }
                orvTrace.traceNumber(2, "cannot open the file of segment", Uint32(segment));
                missing.insert(segment);
                continue;
            }
            opened.insert(segment);
        }
        const OrvErrorCode rc = fileMgr->write(segment, page.getPageId(), page.getPageData());
        if (rc != ORV_SUCCESS) {
            if (!firstFailure) {
                firstFailure.reset(
                    new OrvException(rc,
                                     "fileMgr->write(page->getSegmentId(), page->getPageId(), "
                                     "page->getPageData())",
                                     __FILE__, __LINE__, __PRETTY_FUNCTION__));
            }
            orvTrace.traceNumber(3, "cannot write back a page of segment", Uint32(segment));
            continue;
        }
        OrvPageFrame::setDirtyByte(page, 0);
    }
    for (SegmentId segment : opened) {
        (void)fileMgr->close(segment);
    }
}

} // namespace

void OrvBufferManager::destroyBuffer(bool force) {
    ORV_TRACE(BufferManager);
    // A missing pool throws ORV_MM_SHM_NOT_EXISTS here, which a forced stop
    // skips. The pages are written under the pool latch (or without it, when
    // a forced stop finds it unusable: no process can work through it then);
    // a write that fails keeps the pool for a later stop once the cause is
    // mended, unless the stop is forced.
    OrvSharedSet::destroy(OrvMemoryManager::BufferPool, force, [force](void* data, bool) {
        std::unique_ptr<OrvException> firstFailure;
        writeBackForStop(*static_cast<OrvBufferPoolLayout*>(data), force, firstFailure);
        if (firstFailure) {
            throw OrvException(*firstFailure);
        }
    });
}
