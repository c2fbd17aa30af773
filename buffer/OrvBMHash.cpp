#include "buffer/OrvBMHash.h"

#include "OrvException.h"
#include "support/OrvTrace.h"

OrvPage* OrvBMHash::pages = nullptr;

void OrvBMHash::initialize() {
    ORV_TRACE(BufferManager);
    for (Uint16 i = 0; i < ORV_BM_NUM_PAGES; ++i) {
        hashArray[i].prev = i == 0 ? FREE_LIST_HEAD : static_cast<Uint16>(i - 1);
        hashArray[i].next = static_cast<Uint16>(i + 1);
    }
    hashArray[FREE_LIST_HEAD].next = 0;
    hashArray[FREE_LIST_HEAD].prev = ORV_BM_NUM_PAGES - 1;
    for (Uint16 head = FIRST_BUCKET_HEAD; head < NUM_ENTRIES; ++head) {
        hashArray[head].prev = head;
        hashArray[head].next = head;
    }
}

void OrvBMHash::setPagesPointer(OrvPage* pagesPointer) {
    ORV_TRACE(BufferManager);
    if (pagesPointer == nullptr) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    pages = pagesPointer;
}

void OrvBMHash::resetPagesPointer() {
    ORV_TRACE(BufferManager);
    pages = nullptr;
}

Uint16 OrvBMHash::getHashValue(SegmentId /*segment*/, PageId pageId) const {
    // No trace scope: plain arithmetic on the path of every page lookup.
    // The segment does not enter the value: pages with one number in several
    // segments share a bucket and are told apart by comparing both.
    return static_cast<Uint16>(FIRST_BUCKET_HEAD + pageId % ORV_BM_NUM_HASH_BUCKETS);
}

Uint16 OrvBMHash::nextOf(Uint16 index) const {
    const Uint16 next = hashArray[index].next;
    if (next >= NUM_ENTRIES) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return next;
}

Uint16 OrvBMHash::prevOf(Uint16 index) const {
    const Uint16 prev = hashArray[index].prev;
    if (prev >= NUM_ENTRIES) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return prev;
}

void OrvBMHash::checkFrame(Uint16 frame) {
    if (frame >= ORV_BM_NUM_PAGES) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
}

void OrvBMHash::checkPages() {
    if (pages == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
}

Uint16 OrvBMHash::headOf(Uint16 frame) const {
    Uint16 forward = frame;
    Uint16 backward = frame;
    // A list holds at most all frames, so a head is reached within that many
    // steps either way; otherwise the links form a cycle without a head.
    for (Uint16 step = 0; step <= ORV_BM_NUM_PAGES; ++step) {
        forward = nextOf(forward);
        if (forward >= ORV_BM_NUM_PAGES) {
            return forward;
        }
        backward = prevOf(backward);
        if (backward >= ORV_BM_NUM_PAGES) {
            return backward;
        }
    }
    ORV_THROW(ORV_INTERNAL_FAIL);
}

void OrvBMHash::unlink(Uint16 index) {
    const Uint16 prev = prevOf(index);
    const Uint16 next = nextOf(index);
    // Both neighbours must name the entry back, or the lists are corrupt and
    // relinking would spread the damage.
    if (hashArray[prev].next != index || hashArray[next].prev != index) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    hashArray[prev].next = next;
    hashArray[next].prev = prev;
}

void OrvBMHash::linkFirst(Uint16 index, Uint16 head) {
    const Uint16 first = nextOf(head);
    if (hashArray[first].prev != head) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    hashArray[index].prev = head;
    hashArray[index].next = first;
    hashArray[first].prev = index;
    hashArray[head].next = index;
}

void OrvBMHash::moveToFront(Uint16 frame, Uint16 head) {
    if (hashArray[nextOf(head)].prev != head) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    unlink(frame);
    linkFirst(frame, head);
}

void OrvBMHash::insert(Uint16 frame) {
    ORV_TRACE(BufferManager);
    checkFrame(frame);
    checkPages();
    if (headOf(frame) != FREE_LIST_HEAD) {
        // In a bucket already.
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    if (nextOf(FREE_LIST_HEAD) == FREE_LIST_HEAD) {
        ORV_THROW(ORV_BM_BUFFER_FULL);
    }
    moveToFront(frame, getHashValue(pages[frame].segmentId, pages[frame].pageId));
}

bool OrvBMHash::find(SegmentId segment, PageId pageId, Uint16& frame) const {
    ORV_TRACE(BufferManager);
    checkPages();
    const Uint16 bucket = getHashValue(segment, pageId);
    Uint16 current = nextOf(bucket);
    for (Uint16 steps = 0; current != bucket; ++steps) {
        if (current >= ORV_BM_NUM_PAGES || steps >= ORV_BM_NUM_PAGES) {
            // Another head inside a bucket, or a cycle that misses the head.
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        if (pages[current].segmentId == segment && pages[current].pageId == pageId) {
            frame = current;
            return true;
        }
        current = nextOf(current);
    }
    return false;
}

void OrvBMHash::get(SegmentId segment, PageId pageId, OrvPage*& page, Uint16& frame) const {
    ORV_TRACE(BufferManager);
    if (segment == 0) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    Uint16 found = 0;
    if (!find(segment, pageId, found)) {
        page = nullptr;
        ORV_THROW(ORV_BM_PAGE_NOT_FOUND, OrvException::to_string(pageId),
                  OrvException::to_string(segment));
    }
    page = &pages[found];
    frame = found;
}

void OrvBMHash::remove(Uint16 frame) {
    ORV_TRACE(BufferManager);
    checkFrame(frame);
    if (headOf(frame) == FREE_LIST_HEAD) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    moveToFront(frame, FREE_LIST_HEAD);
}
