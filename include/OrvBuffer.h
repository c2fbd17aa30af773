// The buffer pool: the page cache that every engine process shares.
//
// Process safety. The pool lies in the shared memory set BufferPool: 992 page
// frames (OrvPage), the hash table and LRU list that index them, two read
// counters, and the OrvLatch that serialises all processes on the pool. Every
// operation that looks at or changes the frames' bookkeeping (which page a
// frame holds, its fix count, dirty flag, hash and LRU links) holds that latch
// exclusively for its whole duration, file input and output included; the
// dumps hold it shared. Each process has its own OrvBufferManager (a
// singleton) attached to the set; its segment sets and counters are private
// to the process, which is single-threaded.
//
// Fixing. getPage and getNewPage raise the frame's fix count and hand out the
// frame's address; the frame keeps its page at that address until the
// matching releasePage. While it is fixed the caller reads and changes the
// 4096 bytes of the image in place WITHOUT the latch: the contents are
// protected between transactions by locks, not by the latch. A fixed frame is
// never chosen as a victim and never written back. Prefer OrvScopedPage,
// which releases the fix also when an exception leaves the block. Each
// process also records in the pool which frames it holds fixed, so that the
// fixes of a process that died can be given back (releaseFixesOfProcess).
//
// Write-back. Dirty pages reach their segment files when their frame is
// chosen as a victim, when a process's buffer manager is deleted (flushAll)
// and when the pool is destroyed by the stop sequence.
//
// Errors. Operations throw OrvException unless said otherwise; the code is
// named at each operation. Texts of the messages are those of the error table.
#ifndef ORV_BUFFER_H
#define ORV_BUFFER_H

#include "OrvConfig.h"
#include "OrvErrorCodes.h"
#include "OrvLsn.h"
#include "OrvTypes.h"

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <set>
#include <string>
#include <type_traits>

class OrvFileManager;
class OrvLatch;
struct OrvProcessIdentity;
struct OrvBufferFixer;
class OrvScopedExclusiveLatch;
class OrvBMHash;
class OrvLRU;
struct OrvBufferPoolHeader;
namespace OrvBufferManagerProfiling {
class Profiler;
}

// Number of page frames in the pool; a frame is named by its index 0 to 991.
constexpr Uint16 ORV_BM_NUM_PAGES = 992;

// One page frame of the pool. Frames exist only inside the shared pool; they
// are never constructed or copied by anyone.
//
// Layout in shared memory (sizeof 4116, frame i at pool offset 8756 + i*4116):
//
//   offset  size  field
//   0       4096  data       the page image, beginning with OrvPageHeader
//   4096    2     segmentId  segment of the page held; 0 while the frame is empty
//   4098    2     pageId     page number of the page held
//   4100    4     pageType   PageType the page was fixed or created with
//   4104    8     lsn        copy of the image's LSN
//   4112    1     dirty      0 or 1: the image differs from the file
//   4113    1     padding
//   4114    2     fixCount   fixes not yet released, over all processes
//
// `dirty` is a byte rather than a bool: every byte of shared memory is
// untrusted, and a bool holding anything but 0 or 1 cannot even be read.
class OrvPage {
public:
    enum PageType : Sint32 {
        DataPage = 0,
        BTreeIndexPage = 1,
        HashIndexPage = 2,
        FreeSpaceInventoryPage = 3
    };

    SegmentId getSegmentId() const;
    PageId getPageId() const;
    PageType getPageType() const;
    OrvLsn getLsn() const;
    // The address of the image (ORV_PAGE_SIZE bytes). Valid while the caller
    // holds a fix of the frame.
    const char* getPageData() const;
    char* getPageData();
    bool isDirty() const;
    // True while the fix count is not 0.
    bool isFix() const;
    Uint16 getFixCount() const;

    // Marks the page changed by a logged change with that LSN: a newer LSN is
    // stored in the frame and in bytes 8-15 of the image; an older or equal
    // one is kept out. The frame becomes dirty either way. Returns
    // ORV_INTERNAL_FAIL (recorded, component BufferManager) when the frame is
    // not fixed. REQUIRES: the caller holds a fix of the frame (not the latch).
    [[nodiscard]] OrvErrorCode markAsModified(const OrvLsn& newLsn);

    OrvPage(const OrvPage&) = delete;
    OrvPage& operator=(const OrvPage&) = delete;

private:
    OrvPage() = default;
    ~OrvPage() = default;

    friend class OrvBufferManager;
    friend class OrvBMHash;
    friend class OrvLRU;
    friend struct OrvPageFrame;

    // Never called; its body holds the compiler to the layout above.
    static constexpr void checkLayout() {
        static_assert(offsetof(OrvPage, data) == 0, "image at byte 0");
        static_assert(offsetof(OrvPage, segmentId) == 4096, "segmentId at byte 4096");
        static_assert(offsetof(OrvPage, pageId) == 4098, "pageId at byte 4098");
        static_assert(offsetof(OrvPage, pageType) == 4100, "pageType at byte 4100");
        static_assert(offsetof(OrvPage, lsn) == 4104, "lsn at byte 4104");
        static_assert(offsetof(OrvPage, dirty) == 4112, "dirty at byte 4112");
        static_assert(offsetof(OrvPage, fixCount) == 4114, "fixCount at byte 4114");
    }

    char data[ORV_PAGE_SIZE];
    SegmentId segmentId;
    PageId pageId;
    PageType pageType;
    OrvLsn lsn;
    Uint8 dirty;
    Uint16 fixCount;
};

static_assert(sizeof(OrvPage) == 4116, "a frame is 4116 bytes in the pool");
static_assert(std::is_standard_layout<OrvPage>::value, "frames are laid out by offset");

// The common header at the start of every page image, of every page kind.
// Page formats place their own fields from byte 16 on.
//
//   offset  size  field
//   0       2     pageId    the page's own number in its segment
//   2       2     padding   (zero)
//   4       4     pageType  OrvPage::PageType
//   8       8     lsn       OrvLsn of the last logged change
struct OrvPageHeader {
    PageId pageId;
    Uint16 padding;
    OrvPage::PageType pageType;
    OrvLsn lsn;
};

static_assert(sizeof(OrvPageHeader) == 16, "the common page header is 16 bytes");
static_assert(offsetof(OrvPageHeader, pageId) == 0, "page id at byte 0");
static_assert(offsetof(OrvPageHeader, pageType) == 4, "page type at byte 4");
static_assert(offsetof(OrvPageHeader, lsn) == 8, "LSN at byte 8");
static_assert(std::is_trivially_copyable<OrvPageHeader>::value, "copied to and from images");

// The buffer manager of this process.
//
// Ownership: frames handed out belong to the pool; a caller owns only its fix
// and gives it back with releasePage. The manager owns its attachment to the
// pool and the segment files it opened (closed by flushAll).
//
// Latch: every operation takes the pool latch itself (exclusively; the
// dumps, the hit ratio of all processes and checkStructure shared) and
// releases it before it returns, also by exception. REQUIRES of every
// operation: the calling process does not hold the pool latch.
class OrvBufferManager {
public:
    // The process's manager, made on first use: attaches to the pool
    // (ORV_MM_SHM_NOT_EXISTS when the engine is not started) and registers
    // the debug command "BM_STATS".
    static OrvBufferManager* getInstance();
    // Deletes the manager if there is one (see the destructor). Never throws.
    static void deleteInstance();

    OrvBufferManager(const OrvBufferManager&) = delete;
    OrvBufferManager& operator=(const OrvBufferManager&) = delete;

    // Fixes page `pageId` of `segment`, reading it from the segment file on a
    // miss (the file must be open in this process: openSegment). `page` is set
    // only on success. Throws ORV_PARAMETER_FAIL (segment 0, page id 65535),
    // ORV_BM_SEGMENT_DROPPED, ORV_BM_PAGE_NOT_FOUND (not in the file),
    // ORV_BM_PAGEID_MISMATCH / ORV_BM_PAGETYPE_MISMATCH (the image names another
    // page or type; the page then stays in the pool, unfixed),
    // ORV_BM_BUFFER_FULL (every frame fixed), and the file manager's codes.
    void getPage(SegmentId segment, PageId pageId, OrvPage::PageType type, OrvPage*& page);
    // A page whose image in the file is all zero bytes was never written (a
    // later page was written first and left a hole): it does not exist, for
    // every call here.
    //
    // As getPage, but a page that is neither in the pool nor in the file is
    // no error: false, `page` null. For callers that expect pages to be
    // missing (a page id about to be made, the end of a scan), which would
    // otherwise pay for an exception each time.
    bool getPageIfExists(SegmentId segment, PageId pageId, OrvPage::PageType type, OrvPage*& page);
    // Fixes a new page: 4096 zero bytes but the header (page id, type, LSN
    // (0,0)), fix count 1, dirty. The page must be neither in the pool
    // (ORV_BM_PAGE_ALREADY_EXISTS_IN_BUFFER) nor in the file, which must be
    // open (ORV_BM_PAGE_ALREADY_EXISTS_IN_FILE). Other codes as getPage.
    void getNewPage(SegmentId segment, PageId pageId, OrvPage::PageType type, OrvPage*& page);
    // As above with the LSN `lsn` in frame and header; the file is not
    // consulted (for creation under logging and for redo).
    void getNewPage(SegmentId segment, PageId pageId, OrvPage::PageType type, const OrvLsn& lsn,
                    OrvPage*& page);
    // Gives back one fix and sets `page` to null. ORV_PARAMETER_FAIL for a null
    // pointer or one that is no frame of the pool; ORV_BM_PAGETYPE_MISMATCH
    // (the fix is kept) when the image's type was changed while fixed;
    // ORV_INTERNAL_FAIL when the frame is not fixed. An image whose page id was
    // changed is released, with ORV_BM_PAGEID_MISMATCH recorded.
    void releasePage(OrvPage*& page);
    // Gives back the fix `page` and fixes page `pageId` of `segment` in its
    // place, under one hold of the pool latch: for scans and tree descents,
    // which would otherwise pay two latch round trips per step. No other
    // process sees the state between the two halves.
    //
    // The release comes first: when every frame is fixed, the frame just
    // released (if that was its last fix) is the victim for the next page.
    // On success `page` points at the new frame (the same one when the same
    // page is asked for). Failures fall into two groups:
    //   - found before anything changes, `page` and its fix (if any) are
    //     kept: ORV_PARAMETER_FAIL (a null pointer, one that is no frame,
    //     segment 0 or page id 65535), ORV_BM_PAGETYPE_MISMATCH of the
    //     released image (as releasePage; a changed page id of that image is
    //     only recorded, as there) and ORV_INTERNAL_FAIL (the frame has no
    //     fix to give back);
    //   - found while fixing the next page, the old fix is already given back
    //     and `page` is null: every code of getPage (ORV_BM_SEGMENT_DROPPED,
    //     ORV_BM_PAGE_NOT_FOUND, the mismatches, ORV_BM_BUFFER_FULL, the file
    //     manager's codes), with the pool as getPage leaves it.
    void exchangePage(OrvPage*& page, SegmentId segment, PageId pageId, OrvPage::PageType type);
    // Marks a frame holding a page dirty; ORV_INTERNAL_FAIL (nothing changed)
    // for anything else.
    void markPageAsModified(OrvPage& page);

    // The fixes this process holds: taken by getPage, getNewPage and
    // exchangePage (and so by every OrvScopedPage), given back by
    // releasePage and exchangePage. Counted per process, not in the pool.
    static Uint32 getFixesOfThisProcess();
    // ORV_BM_FIXES_LEFT (with the count) unless this process holds no fix:
    // where a transaction ends every fix must have been given back, and a
    // leaked one is found here rather than when the engine refuses to stop.
    static void checkNoFixesOfThisProcess();

    // Segment files within the current transaction. Segment 0 is
    // ORV_PARAMETER_FAIL; file manager codes propagate.
    // Creates the file (not opened) and remembers it as new.
    void createSegment(SegmentId segment);
    // Opens the file in this process.
    void openSegment(SegmentId segment);
    // A segment created in this transaction: its frames are discarded and its
    // file closed and deleted at once. An older one: its dirty unfixed frames
    // are written to its file and all its frames discarded; the file is deleted
    // at commit, and until then getPage / getNewPage on it fail with
    // ORV_BM_SEGMENT_DROPPED in this process. REQUIRES: no page of the
    // segment is fixed (its fixes are discarded with the frames; the
    // segment lock keeps other processes away).
    void dropSegment(SegmentId segment);
    // Carries out the pending drops; forgets the new segments. Every drop is
    // tried; the first failure is thrown afterwards.
    void commit();
    // Discards the frames of the segments created in this transaction, closes
    // and deletes their files, and forgets the pending drops. Does not throw
    // for a file that cannot be deleted: that is traced, and the error object
    // keeps the code of the error being rolled back.
    void rollback();
    // Writes every dirty unfixed frame of the pool to its file and closes the
    // files this manager opened. Goes on after a failure and throws the first.
    // Pending drops are left for commit.
    void flushAll();
    // Forgets the pending drops of the transaction, so that its segments can
    // be fixed again (a rollback puts their records back before the buffer
    // manager's rollback). The new segments stay for rollback.
    void takeBackPendingDrops();
    // For recovery, which must put logged changes onto pages that never
    // reached their file: fixes the page as getPage does; a page that does
    // not exist is made new in its place with LSN (0,0), and `made` says
    // so. Codes as getPage.
    void getPageForRedo(SegmentId segment, PageId pageId, OrvPage::PageType type, OrvPage*& page,
                        bool& made);

    // (logical - physical) / logical reads of this process / of all
    // processes; 0 before the first read.
    float getBufferHitRatio() const;
    float getBufferHitRatioAllTransactions() const;
    Uint32 getLogicalReads() const;
    Uint32 getPhysicalReads() const;
    // The pool's counters over all processes (a snapshot).
    Uint32 getLogicalReadsAllTransactions() const;
    Uint32 getPhysicalReadsAllTransactions() const;
    // This process's counters back to 0 (the reset of "BM_STATS").
    void resetStatistics();
    // The timers and counters of this process, as XML.
    std::string getProfilerXML() const;

    // Table t is segment t (1 <= t <= 32767); index i is segment 2*i + 32767
    // (1 <= i <= 16384). Out of range: ORV_PARAMETER_FAIL recorded (component
    // BufferManager), result 0. Never throw.
    SegmentId convertTableIdToSegmentId(TableId tableId) const;
    SegmentId convertIndexIdToSegmentId(IndexId indexId) const;

    // Dumps to standard output (or `os`) under the shared latch: the LRU list,
    // the hash table, the occupied frames, the hit ratios; each part framed by
    // lines of "=". ORV_INTERNAL_FAIL when the lists are corrupt (nothing is
    // written then).
    void dump(bool dumpLru, bool dumpHash, bool dumpPages, bool dumpHitRatio) const;
    void dump(std::ostream& os, bool dumpLru, bool dumpHash, bool dumpPages,
              bool dumpHitRatio) const;
    static void staticDumpLru();
    static void staticDumpHashMap();
    static void staticDumpPages();
    static void staticDumpHitRatio();

    // "BM_STATS": first word "pages", "lru", "hashmap" or "hitratio" picks a
    // dump; anything else (or nothing) the hit ratios. A failure is recorded
    // and printed on standard error; nothing is thrown.
    static void debugStats(const std::string* args);
    static void debugResetStats(const std::string* args);

    // Checks the hash table, the LRU list and the frames against each other
    // under the shared latch; "" when consistent, else the first problem.
    std::string checkStructure() const;

    // Creates the set BufferPool with its latch, zero counters, and all frames
    // empty on the hash's free list and the LRU's empty list. Throws as
    // OrvSharedSet::create (ORV_MM_SHM_CREATE_FAIL when it exists).
    static void initializeBuffer();
    // Removes the pool (OrvSharedSet::destroy): frees an exclusive hold of the
    // latch left by a dead process, takes the latch, writes the dirty frames
    // to their files (a frame whose file is gone is skipped and traced), then
    // removes the latch and the set. Without force only unfixed frames are
    // written; with force every dirty frame, fixed or not: a fix left by a
    // dead process must not lose the changes that others committed on its
    // page. Throws ORV_MM_SHM_NOT_EXISTS when there is no pool, and the
    // errors of an attach to a set of another directory or user. Without
    // force, a failing write or latch stops the removal and is thrown (the pool
    // and its pages stay); with force they are traced and the pool is removed
    // regardless.
    static void destroyBuffer(bool force = false);
    // inUse: whether any frame is fixed; false when there is no pool.
    static void haveFixedPages(bool& inUse);

    // ---- processes that died ----------------------------------------------
    // Gives back the fixes that the process (id and start time) recorded in
    // the pool's table of fixers, and frees its slot; returns how many fixes
    // went. Fixes it could not record stay (the frame keeps them; a forced
    // stop is then the way out). A pool that does not exist has none.
    // REQUIRES: the process is gone, and its transaction was rolled back.
    static Uint32 releaseFixesOfProcess(const OrvProcessIdentity& process);
    // The same for every slot whose process is gone: for processes that
    // fixed pages without ever taking a lock. Returns the fixes given back.
    // Fixes a dead process could not record stay, and keep a stop without
    // force refused.
    static Uint32 releaseFixesOfDeadProcesses();

private:
    OrvBufferManager();
    ~OrvBufferManager();

    // getPage's work under the latch: the lookup, the read on a miss, the
    // checks of the image and the new fix; `page` is set only on success.
    void fixPage(SegmentId segment, PageId pageId, OrvPage::PageType type, OrvPage*& page,
                 const OrvScopedExclusiveLatch& scopedLatch, bool* missing = nullptr);
    // releasePage's checks, made before the latch: the pointer names a frame
    // and its image keeps its type (a changed page id is only recorded).
    void checkReleasable(const OrvPage* page) const;
    // Gives back one fix (ORV_INTERNAL_FAIL when there is none) and sets
    // `page` to null.
    void unfixPage(OrvPage*& page, const OrvScopedExclusiveLatch& scopedLatch);
    // ORV_BM_SEGMENT_DROPPED or ORV_BM_PAGE_ALREADY_EXISTS_IN_BUFFER, for a new page.
    void checkNotInPool(SegmentId segment, PageId pageId,
                        const OrvScopedExclusiveLatch& scopedLatch) const;
    void fixNewPage(SegmentId segment, PageId pageId, OrvPage::PageType type, const OrvLsn& lsn,
                    OrvPage*& page, const OrvScopedExclusiveLatch& scopedLatch);
    // A frame for a page that is not in the pool: the first empty one, or the
    // least recently used unfixed one, written back first when dirty.
    Uint16 chooseFrame(const OrvScopedExclusiveLatch& scopedLatch);
    void flushSinglePage(Uint16 pageIndex, const OrvScopedExclusiveLatch& scopedLatch);
    void writeFrame(OrvPage& frame);
    void wipeSegment(SegmentId segment, const OrvScopedExclusiveLatch& scopedLatch);
    void writeSegmentFrames(SegmentId segment, const OrvScopedExclusiveLatch& scopedLatch);
    void closeSegment(SegmentId segment);
    // The index of a frame start inside the pool, or -1.
    int frameIndexOf(const OrvPage* page) const;
    void countLogicalRead();
    void countPhysicalRead();
    // This process's record of its fixes (REQUIRES: the pool latch).
    void recordFix(int frame);
    void recordUnfix(int frame);
    void takeFixerSlot();
    void forgetFixesOfFrame(int frame);

    OrvFileManager* fileMgr;
    OrvBufferPoolHeader* header;
    OrvLatch* latch;
    OrvBMHash* hash;
    OrvLRU* lru;
    OrvPage* data;
    OrvBufferFixer* fixers;
    // This process's slot in fixers, or null when none was free.
    OrvBufferFixer* myFixer;
    std::unique_ptr<OrvBufferManagerProfiling::Profiler> profiler;
    std::set<SegmentId> dropPending;
    std::set<SegmentId> openSegments;
    std::set<SegmentId> newSegments;
    Uint32 logicalReads;
    Uint32 physicalReads;

    static OrvBufferManager* instance;
};

// Index i's help segment is 2*i + 32768 (1 <= i <= 16383). Index 16384 has
// none: its number would be 65536, beyond the segment numbers, and wrapping it
// to 0 would name "no segment". It is ORV_PARAMETER_FAIL (recorded, component
// BufferManager) with result 0 like every other number out of range, so a
// use of the result fails at once with ORV_PARAMETER_FAIL too. Never throws.
SegmentId convertIndexIdToHelpSegmentId(IndexId indexId);

// Holds one fix of a page for the life of the guard.
//
// The constructor fixes the page (GetExistingPage: getPage; CreateNewPage:
// getNewPage with the dummy LSN); a failure propagates and leaves nothing
// fixed. The destructor releases the fix and never throws (a failure is
// recorded in the error object and traced). Movable, not copyable: a moved-
// from guard holds nothing; a guard that holds nothing (moved from, reset,
// or made empty) may be re-aimed by move assignment, so descents and scans
// can keep one guard variable.
class OrvScopedPage {
public:
    enum Operation : int { GetExistingPage = 0, CreateNewPage = 1 };

    // A guard that holds nothing.
    OrvScopedPage() noexcept;
    OrvScopedPage(SegmentId segment, PageId pageId, OrvPage::PageType type, Operation operation);
    ~OrvScopedPage();
    OrvScopedPage(OrvScopedPage&& other) noexcept;
    OrvScopedPage(const OrvScopedPage&) = delete;
    OrvScopedPage& operator=(const OrvScopedPage&) = delete;
    // Gives back this guard's fix (as the destructor: never throws) and takes
    // over the other's.
    OrvScopedPage& operator=(OrvScopedPage&& other) noexcept;

    // Gives back the fix now; the guard holds nothing afterwards. Throws as
    // releasePage; on ORV_BM_PAGETYPE_MISMATCH the guard keeps its fix (the
    // destructor gives it back). No effect on a guard that holds nothing.
    void reset();

    // Gives back this guard's fix and fixes the next page in its place under
    // one latch hold (OrvBufferManager::exchangePage, with the type given).
    // When fixing the next page fails, the guard holds nothing afterwards
    // (getPage() is null); when the failure comes before the release it keeps
    // its page. ORV_INTERNAL_FAIL in a guard that holds nothing.
    void exchange(SegmentId segment, PageId pageId, OrvPage::PageType type);

    // Fixes the page into a guard that holds nothing (ORV_INTERNAL_FAIL
    // otherwise) when it exists: OrvBufferManager::getPageIfExists. False,
    // and the guard stays empty, when the page does not exist.
    bool fixIfExists(SegmentId segment, PageId pageId, OrvPage::PageType type);

    // The fixed frame; null only in a moved-from guard (or after a failed
    // exchange).
    OrvPage* getPage() const;
    // The fixed frame; ORV_INTERNAL_FAIL in a moved-from guard.
    OrvPage* operator->() const;

private:
    OrvPage* page;
};

#endif
