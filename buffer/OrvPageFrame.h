// Direct access to the bookkeeping fields of a frame, for the structure
// checker and for tests that build hash tables and LRU lists over frames of
// their own. The engine itself changes frames only through the buffer
// manager. REQUIRES: the pool latch when the frame lies in the shared pool.
#ifndef ORV_PAGE_FRAME_H
#define ORV_PAGE_FRAME_H

#include "OrvBuffer.h"
#include "support/OrvTrace.h"

struct OrvPageFrame {
    static void assign(OrvPage& frame, SegmentId segment, PageId pageId) {
        ORV_TRACE(BufferManager);
        frame.segmentId = segment;
        frame.pageId = pageId;
    }
    static void setFixCount(OrvPage& frame, Uint16 fixCount) {
        ORV_TRACE(BufferManager);
        frame.fixCount = fixCount;
    }
    static void setDirtyByte(OrvPage& frame, Uint8 dirty) {
        ORV_TRACE(BufferManager);
        frame.dirty = dirty;
    }
    static void setPageType(OrvPage& frame, OrvPage::PageType type) {
        ORV_TRACE(BufferManager);
        frame.pageType = type;
    }
    static SegmentId segmentOf(const OrvPage& frame) {
        ORV_TRACE(BufferManager);
        return frame.segmentId;
    }
    static PageId pageOf(const OrvPage& frame) {
        ORV_TRACE(BufferManager);
        return frame.pageId;
    }
    static Uint16 fixCountOf(const OrvPage& frame) {
        ORV_TRACE(BufferManager);
        return frame.fixCount;
    }
    static Uint8 dirtyByteOf(const OrvPage& frame) {
        ORV_TRACE(BufferManager);
        return frame.dirty;
    }
};

#endif
