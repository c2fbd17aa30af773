#include "index/OrvIndexVarcharTreeNodePage.h"

#include "OrvException.h"
#include "index/OrvIndexVarcharTreeLeafPage.h"
#include "support/OrvTrace.h"

#include <cstdio>
#include <cstring>

using namespace OrvIndexVarchar;

namespace {

constexpr Uint32 SPACE_LEFT = offsetof(OrvIndexVarcharNodeHeader, spaceLeft);
constexpr Uint32 PREV_ID = offsetof(OrvIndexVarcharNodeHeader, prevId);
constexpr Uint32 NEXT_ID = offsetof(OrvIndexVarcharNodeHeader, nextId);
constexpr Uint32 FIRST_CHILD = offsetof(OrvIndexVarcharNodeHeader, firstChild);
constexpr Uint32 ENTRY_SIZE = OrvIndexPage::ENTRY_SIZE;

static_assert(IS_LEAF == offsetof(OrvIndexVarcharNodeHeader, isLeaf), "one flag for both kinds");

Uint32 entryOffset(Uint16 pos) {
    return NODE_ENTRIES + ENTRY_SIZE * pos;
}

} // namespace

// ---- OrvIndexVarcharNodeView -------------------------------------------------

OrvIndexVarcharNodeView::OrvIndexVarcharNodeView(const char* image)
    : OrvIndexVarcharNodeView(image, true) {}

OrvIndexVarcharNodeView::OrvIndexVarcharNodeView(const char* image, bool checkFlag) : bytes(image) {
    if (image == nullptr || (checkFlag && image[IS_LEAF] != 0)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
}

Uint16 OrvIndexVarcharNodeView::readU16(Uint32 offset) const {
    Uint16 value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

PageId OrvIndexVarcharNodeView::pageId() const {
    return readU16(offsetof(OrvIndexVarcharNodeHeader, pageId));
}

Uint16 OrvIndexVarcharNodeView::numElements() const {
    const Uint16 free = readU16(SPACE_LEFT);
    if (free > NODE_CAPACITY) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return static_cast<Uint16>(NODE_CAPACITY - free);
}

PageId OrvIndexVarcharNodeView::prevId() const {
    return readU16(PREV_ID);
}

PageId OrvIndexVarcharNodeView::nextId() const {
    return readU16(NEXT_ID);
}

PageId OrvIndexVarcharNodeView::firstChild() const {
    return readU16(FIRST_CHILD);
}

Sint32 OrvIndexVarcharNodeView::valueAt(Uint16 pos) const {
    if (pos >= numElements()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    Sint32 value;
    std::memcpy(&value, bytes + entryOffset(pos) + offsetof(OrvIndexIntegerKey, value),
                sizeof value);
    return value;
}

PageId OrvIndexVarcharNodeView::childAt(Uint16 pos) const {
    if (pos >= numElements()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return readU16(entryOffset(pos) + offsetof(OrvIndexIntegerKey, nextChild));
}

PageId OrvIndexVarcharNodeView::lastChild() const {
    const Uint16 n = numElements();
    return n == 0 ? firstChild() : childAt(static_cast<Uint16>(n - 1));
}

Uint16 OrvIndexVarcharNodeView::lowerBound(Sint32 value) const {
    const Uint16 n = numElements();
    Uint16 pos = 0;
    while (pos < n && valueAt(pos) < value) {
        ++pos;
    }
    return pos;
}

std::vector<std::string> OrvIndexVarcharNodeView::problems() const {
    std::vector<std::string> lines;
    if (bytes[IS_LEAF] != 0) {
        lines.push_back("isLeaf byte is " + std::to_string(static_cast<Uint8>(bytes[IS_LEAF])));
        return lines;
    }
    const Uint16 free = readU16(SPACE_LEFT);
    if (free > NODE_CAPACITY) {
        lines.push_back("spaceLeft " + std::to_string(free) + " gives more entries than fit");
        return lines;
    }
    const Uint16 n = static_cast<Uint16>(NODE_CAPACITY - free);
    for (Uint16 i = 1; i < n; ++i) {
        if (valueAt(static_cast<Uint16>(i - 1)) > valueAt(i)) {
            lines.push_back("entry " + std::to_string(i) + " is smaller than the one before it");
        }
    }
    return lines;
}

// ---- OrvIndexVarcharNodeWriter -----------------------------------------------

OrvIndexVarcharNodeWriter::OrvIndexVarcharNodeWriter(char* image)
    : OrvIndexVarcharNodeView(image, false), writable(image) {}

OrvIndexVarcharNodeWriter OrvIndexVarcharNodeWriter::existing(char* image) {
    (void)OrvIndexVarcharNodeView(image);
    return OrvIndexVarcharNodeWriter(image);
}

void OrvIndexVarcharNodeWriter::writeU16(Uint32 offset, Uint16 value) {
    std::memcpy(writable + offset, &value, sizeof value);
}

void OrvIndexVarcharNodeWriter::init() {
    writable[IS_LEAF] = 0;
    writable[IS_LEAF + 1] = 0;
    writeU16(SPACE_LEFT, NODE_CAPACITY);
    writeU16(PREV_ID, 0);
    writeU16(NEXT_ID, 0);
    writeU16(FIRST_CHILD, 0);
    writeU16(FIRST_CHILD + 2, 0);
}

void OrvIndexVarcharNodeWriter::setPrevId(PageId id) {
    writeU16(PREV_ID, id);
}

void OrvIndexVarcharNodeWriter::setNextId(PageId id) {
    writeU16(NEXT_ID, id);
}

void OrvIndexVarcharNodeWriter::setFirstChild(PageId id) {
    writeU16(FIRST_CHILD, id);
}

void OrvIndexVarcharNodeWriter::insertAt(Uint16 pos, Sint32 value, PageId child) {
    const Uint16 n = numElements();
    if (n >= NODE_CAPACITY || pos > n) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const Uint32 at = entryOffset(pos);
    // The last entry's padding lies beyond the page: only whole written
    // parts are moved.
    if (n > pos) {
        std::memmove(writable + at + ENTRY_SIZE, writable + at,
                     ENTRY_SIZE * (n - pos - 1) + OrvIndexPage::NODE_ENTRY_BYTES);
    }
    std::memcpy(writable + at + offsetof(OrvIndexIntegerKey, value), &value, sizeof value);
    std::memcpy(writable + at + offsetof(OrvIndexIntegerKey, nextChild), &child, sizeof child);
    writeU16(SPACE_LEFT, static_cast<Uint16>(NODE_CAPACITY - n - 1));
}

void OrvIndexVarcharNodeWriter::removeAt(Uint16 pos) {
    const Uint16 n = numElements();
    if (pos >= n) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const Uint32 at = entryOffset(pos);
    if (n - pos > 1) {
        std::memmove(writable + at, writable + at + ENTRY_SIZE,
                     ENTRY_SIZE * (n - pos - 2) + OrvIndexPage::NODE_ENTRY_BYTES);
    }
    writeU16(SPACE_LEFT, static_cast<Uint16>(NODE_CAPACITY - n + 1));
}

// ---- OrvIndexVarcharTreeNodePage ---------------------------------------------

OrvIndexKey OrvIndexVarcharTreeNodePage::getValueAt(Uint16 pos) const {
    OrvIndexKey key;
    key.dataType = INTEGER;
    key.intKey = nodeView().valueAt(pos);
    return key;
}

OrvIndexKey OrvIndexVarcharTreeNodePage::getLastValue() const {
    const Uint16 n = numElements();
    if (n == 0) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return getValueAt(static_cast<Uint16>(n - 1));
}

Uint16 OrvIndexVarcharTreeNodePage::findKeyPosition(const OrvIndexKey& key) const {
    if (key.dataType != INTEGER) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    const OrvIndexVarcharNodeView view = nodeView();
    const Uint16 pos = view.lowerBound(key.intKey);
    return pos < view.numElements() && view.valueAt(pos) == key.intKey ? pos : Uint16(0xFFFF);
}

void OrvIndexVarcharTreeNodePage::setNextId(PageId id) {
    ORV_TRACE(IndexManager);
    OrvIndexVarcharNodeWriter::existing(beforeWrite()).setNextId(id);
    afterWrite(VARCHAR_OPERATION);
}

void OrvIndexVarcharTreeNodePage::setPrevId(PageId id) {
    ORV_TRACE(IndexManager);
    OrvIndexVarcharNodeWriter::existing(beforeWrite()).setPrevId(id);
    afterWrite(VARCHAR_OPERATION);
}

void OrvIndexVarcharTreeNodePage::setFirstChild(PageId id) {
    ORV_TRACE(IndexManager);
    OrvIndexVarcharNodeWriter::existing(beforeWrite()).setFirstChild(id);
    afterWrite(VARCHAR_OPERATION);
}

bool OrvIndexVarcharTreeNodePage::insert(PageId smaller, const OrvIndexKey& key, PageId bigger) {
    ORV_TRACE(IndexManager);
    if (key.dataType != INTEGER) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    const OrvIndexVarcharNodeView view = nodeView();
    if (view.isFull()) {
        return false;
    }
    const Uint16 n = view.numElements();
    const Uint16 pos = view.lowerBound(key.intKey);
    OrvIndexVarcharNodeWriter writer = OrvIndexVarcharNodeWriter::existing(beforeWrite());
    try {
        if (n == 0 || pos == 0) {
            writer.setFirstChild(smaller);
        }
        writer.insertAt(pos, key.intKey, bigger);
    } catch (...) {
        discardChange();
        throw;
    }
    afterWrite(VARCHAR_OPERATION);
    return true;
}

bool OrvIndexVarcharTreeNodePage::deleteKeyAt(Uint16 pos) {
    ORV_TRACE(IndexManager);
    if (pos >= numElements()) {
        return false;
    }
    OrvIndexVarcharNodeWriter writer = OrvIndexVarcharNodeWriter::existing(beforeWrite());
    try {
        writer.removeAt(pos);
    } catch (...) {
        discardChange();
        throw;
    }
    afterWrite(VARCHAR_OPERATION);
    return true;
}

void OrvIndexVarcharTreeNodePage::dump(bool full) const {
    const OrvIndexVarcharNodeView view = nodeView();
    std::printf("INNER NODE > SegmentId: %d, PageId: %d, SpaceLeft: %d, FirstChild: %d, PrevId: "
                "%d, NextId: %d\n",
                int(sId), int(pId), int(NODE_CAPACITY - view.numElements()), int(view.firstChild()),
                int(view.prevId()), int(view.nextId()));
    if (full) {
        for (Uint16 i = 0; i < view.numElements(); ++i) {
            std::printf("[%d] -> %d (child: %d)\n", int(i), int(view.valueAt(i)),
                        int(view.childAt(i)));
        }
    }
    std::fflush(stdout);
}

void OrvIndexVarcharTreeNodePage::checkAfterImage(const char* bytes) const {
    if (!OrvIndexVarcharNodeView(bytes).problems().empty()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
}
