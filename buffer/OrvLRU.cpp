#include "buffer/OrvLRU.h"

#include "OrvException.h"
#include "support/OrvTrace.h"

OrvPage* OrvLRU::pages = nullptr;

void OrvLRU::initialize() {
    ORV_TRACE(BufferManager);
    for (Uint16 i = 0; i < ORV_BM_NUM_PAGES; ++i) {
        lru[i].prev = i == 0 ? EMPTY_LIST_HEAD : static_cast<Uint16>(i - 1);
        lru[i].next = static_cast<Uint16>(i + 1);
    }
    lru[EMPTY_LIST_HEAD].next = 0;
    lru[EMPTY_LIST_HEAD].prev = ORV_BM_NUM_PAGES - 1;
    lru[USED_LIST_HEAD].next = USED_LIST_HEAD;
    lru[USED_LIST_HEAD].prev = USED_LIST_HEAD;
}

void OrvLRU::setPagesPointer(OrvPage* pagesPointer) {
    ORV_TRACE(BufferManager);
    if (pagesPointer == nullptr) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    pages = pagesPointer;
}

void OrvLRU::resetPagesPointer() {
    ORV_TRACE(BufferManager);
    pages = nullptr;
}

Uint16 OrvLRU::nextOf(Uint16 index) const {
    const Uint16 next = lru[index].next;
    if (next >= NUM_ENTRIES) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return next;
}

Uint16 OrvLRU::prevOf(Uint16 index) const {
    const Uint16 prev = lru[index].prev;
    if (prev >= NUM_ENTRIES) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return prev;
}

void OrvLRU::checkFrame(Uint16 frame) {
    if (frame >= ORV_BM_NUM_PAGES) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
}

void OrvLRU::checkPages() {
    if (pages == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
}

void OrvLRU::unlink(Uint16 index) {
    const Uint16 prev = prevOf(index);
    const Uint16 next = nextOf(index);
    if (lru[prev].next != index || lru[next].prev != index) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    lru[prev].next = next;
    lru[next].prev = prev;
}

void OrvLRU::linkFirst(Uint16 index, Uint16 head) {
    const Uint16 first = nextOf(head);
    if (lru[first].prev != head) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    lru[index].prev = head;
    lru[index].next = first;
    lru[first].prev = index;
    lru[head].next = index;
}

Uint16 OrvLRU::getFreeSlot() const {
    ORV_TRACE(BufferManager);
    return nextOf(EMPTY_LIST_HEAD);
}

bool OrvLRU::isFull() const {
    ORV_TRACE(BufferManager);
    return getFreeSlot() == EMPTY_LIST_HEAD;
}

// The neighbours of both places are checked before the first link changes,
// so a failure leaves the lists as they were.
void OrvLRU::moveToFront(Uint16 frame, Uint16 head) {
    if (lru[nextOf(head)].prev != head) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    unlink(frame);
    linkFirst(frame, head);
}

void OrvLRU::insert(Uint16 frame) {
    ORV_TRACE(BufferManager);
    checkFrame(frame);
    moveToFront(frame, USED_LIST_HEAD);
}

void OrvLRU::touch(Uint16 frame) {
    ORV_TRACE(BufferManager);
    checkFrame(frame);
    if (nextOf(USED_LIST_HEAD) == frame) {
        return;
    }
    moveToFront(frame, USED_LIST_HEAD);
}

void OrvLRU::removeEntry(Uint16 frame) {
    ORV_TRACE(BufferManager);
    checkFrame(frame);
    moveToFront(frame, EMPTY_LIST_HEAD);
}

void OrvLRU::remove(Uint16& frame) {
    ORV_TRACE(BufferManager);
    checkPages();
    Uint16 current = prevOf(USED_LIST_HEAD);
    for (Uint16 steps = 0; current != USED_LIST_HEAD; ++steps) {
        // The empty list's head inside the used list, or a cycle that misses
        // the head: the lists are corrupt.
        if (current >= ORV_BM_NUM_PAGES || steps >= ORV_BM_NUM_PAGES) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        if (pages[current].fixCount == 0) {
            removeEntry(current);
            frame = current;
            return;
        }
        current = prevOf(current);
    }
    ORV_THROW(ORV_NOT_FOUND_WARN);
}
