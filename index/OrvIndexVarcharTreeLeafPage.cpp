#include "index/OrvIndexVarcharTreeLeafPage.h"

#include "OrvException.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace OrvIndexVarchar;

namespace {

constexpr Uint32 SPACE_LEFT = offsetof(OrvIndexVarcharLeafHeader, spaceLeft);
constexpr Uint32 PREV_ID = offsetof(OrvIndexVarcharLeafHeader, prevId);
constexpr Uint32 NEXT_ID = offsetof(OrvIndexVarcharLeafHeader, nextId);
constexpr Uint32 NUM_ELEMENTS = offsetof(OrvIndexVarcharLeafHeader, numElements);
constexpr Uint32 RESERVED = offsetof(OrvIndexVarcharLeafHeader, reserved);

} // namespace

OrvIndexVarchar::KeyText OrvIndexVarchar::keyText(const OrvIndexKey& key, bool stored) {
    if (key.dataType != VARCHAR || key.varcharKey == nullptr) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    const std::size_t length = std::strlen(key.varcharKey);
    // The length is stored in one byte: a longer key would wrap it.
    if (stored && length > MAX_KEY_LENGTH) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    // A key longer than any stored one compares on its first bytes only,
    // which keeps its place in the order.
    return {key.varcharKey, Uint32(std::min<std::size_t>(length, MAX_KEY_LENGTH + 1))};
}

int OrvIndexVarchar::compareText(const char* a, Uint32 aLength, const char* b, Uint32 bLength) {
    const int c = std::memcmp(a, b, std::min(aLength, bLength));
    if (c != 0) {
        return c < 0 ? -1 : 1;
    }
    return aLength < bLength ? -1 : (aLength > bLength ? 1 : 0);
}

// ---- OrvIndexVarcharLeafView -------------------------------------------------

OrvIndexVarcharLeafView::OrvIndexVarcharLeafView(const char* image)
    : OrvIndexVarcharLeafView(image, true) {}

OrvIndexVarcharLeafView::OrvIndexVarcharLeafView(const char* image, bool checkFlag) : bytes(image) {
    if (image == nullptr || (checkFlag && static_cast<Uint8>(image[IS_LEAF]) != 1)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
}

Uint16 OrvIndexVarcharLeafView::readU16(Uint32 offset) const {
    Uint16 value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

PageId OrvIndexVarcharLeafView::pageId() const {
    return readU16(offsetof(OrvIndexVarcharLeafHeader, pageId));
}

Uint16 OrvIndexVarcharLeafView::spaceLeft() const {
    const Uint16 free = readU16(SPACE_LEFT);
    if (free > DATA_SIZE) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return free;
}

Uint16 OrvIndexVarcharLeafView::numElements() const {
    const Uint16 n = readU16(NUM_ELEMENTS);
    // Every entry takes at least ENTRY_OVERHEAD bytes of the used area.
    if (Uint32(n) * ENTRY_OVERHEAD > usedBytes()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return n;
}

PageId OrvIndexVarcharLeafView::prevId() const {
    return readU16(PREV_ID);
}

PageId OrvIndexVarcharLeafView::nextId() const {
    return readU16(NEXT_ID);
}

OrvIndexVarcharLeafView::Entry OrvIndexVarcharLeafView::entryAtOffset(Uint32 offset) const {
    const Uint32 used = usedBytes();
    if (offset + ENTRY_OVERHEAD > used) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const char* at = bytes + DATA + offset;
    Entry entry;
    entry.offset = offset;
    entry.length = static_cast<Uint8>(at[0]);
    if (offset + entrySize(entry.length) > used || at[ENTRY_FIXED + entry.length] != '\0') {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    entry.text = at + ENTRY_FIXED;
    std::memcpy(&entry.tid.page, at + ENTRY_TID_PAGE, sizeof entry.tid.page);
    entry.tid.slot = static_cast<SlotId>(at[ENTRY_TID_SLOT]);
    return entry;
}

OrvIndexVarcharLeafView::Entry OrvIndexVarcharLeafView::entryAt(Uint16 pos) const {
    if (pos >= numElements()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    Entry entry = entryAtOffset(0);
    for (Uint16 i = 0; i < pos; ++i) {
        entry = entryAfter(entry);
    }
    return entry;
}

OrvIndexVarcharLeafView::Entry OrvIndexVarcharLeafView::entryAfter(const Entry& entry) const {
    return entryAtOffset(entry.offset + entry.size());
}

Uint16 OrvIndexVarcharLeafView::lowerBound(const char* text, Uint32 length, Uint32* offset) const {
    const Uint16 n = numElements();
    Uint32 at = 0;
    for (Uint16 pos = 0; pos < n; ++pos) {
        const Entry entry = entryAtOffset(at);
        if (compareText(entry.text, entry.length, text, length) >= 0) {
            if (offset != nullptr) {
                *offset = at;
            }
            return pos;
        }
        at += entry.size();
    }
    if (offset != nullptr) {
        *offset = at;
    }
    return n;
}

Uint16 OrvIndexVarcharLeafView::find(const char* text, Uint32 length) const {
    Uint32 offset = 0;
    const Uint16 pos = lowerBound(text, length, &offset);
    if (pos >= numElements()) {
        return 0xFFFF;
    }
    const Entry entry = entryAtOffset(offset);
    return compareText(entry.text, entry.length, text, length) == 0 ? pos : Uint16(0xFFFF);
}

std::vector<std::string> OrvIndexVarcharLeafView::problems() const {
    std::vector<std::string> lines;
    const Uint16 free = readU16(SPACE_LEFT);
    if (free > DATA_SIZE) {
        lines.push_back("spaceLeft " + std::to_string(free) + " is more than the data area");
        return lines;
    }
    const Uint32 used = DATA_SIZE - free;
    const Uint16 n = readU16(NUM_ELEMENTS);
    Uint32 at = 0;
    Uint16 count = 0;
    const char* previous = nullptr;
    Uint32 previousLength = 0;
    while (at < used) {
        if (at + ENTRY_OVERHEAD > used) {
            lines.push_back("a partial entry at byte " + std::to_string(at));
            break;
        }
        const char* entry = bytes + DATA + at;
        const Uint32 length = static_cast<Uint8>(entry[0]);
        if (at + entrySize(length) > used) {
            lines.push_back("entry " + std::to_string(count) + " runs past the used area");
            break;
        }
        const char* text = entry + ENTRY_FIXED;
        if (text[length] != '\0' || std::memchr(text, '\0', length) != nullptr) {
            lines.push_back("entry " + std::to_string(count) + " has no terminator at its length");
        }
        if (previous != nullptr && compareText(previous, previousLength, text, length) > 0) {
            lines.push_back("entry " + std::to_string(count) +
                            " is smaller than the one before it");
        }
        previous = text;
        previousLength = length;
        at += entrySize(length);
        ++count;
    }
    if (count != n) {
        lines.push_back("numElements " + std::to_string(n) + " but " + std::to_string(count) +
                        " entries in the used area");
    }
    for (Uint32 i = 0; i < sizeof(OrvIndexVarcharLeafHeader::reserved); ++i) {
        if (bytes[RESERVED + i] != 0) {
            lines.push_back("reserved byte " + std::to_string(i) + " is not zero");
            break;
        }
    }
    return lines;
}

// ---- OrvIndexVarcharLeafWriter -----------------------------------------------

OrvIndexVarcharLeafWriter::OrvIndexVarcharLeafWriter(char* image)
    : OrvIndexVarcharLeafView(image, false), writable(image) {}

OrvIndexVarcharLeafWriter OrvIndexVarcharLeafWriter::existing(char* image) {
    (void)OrvIndexVarcharLeafView(image);
    return OrvIndexVarcharLeafWriter(image);
}

void OrvIndexVarcharLeafWriter::writeU16(Uint32 offset, Uint16 value) {
    std::memcpy(writable + offset, &value, sizeof value);
}

void OrvIndexVarcharLeafWriter::init() {
    writable[IS_LEAF] = 1;
    writable[IS_LEAF + 1] = 0;
    writeU16(SPACE_LEFT, DATA_SIZE);
    writeU16(PREV_ID, 0);
    writeU16(NEXT_ID, 0);
    writeU16(NUM_ELEMENTS, 0);
    writeU16(NUM_ELEMENTS + 2, 0);
    std::memset(writable + RESERVED, 0, sizeof(OrvIndexVarcharLeafHeader::reserved));
}

void OrvIndexVarcharLeafWriter::setPrevId(PageId id) {
    writeU16(PREV_ID, id);
}

void OrvIndexVarcharLeafWriter::setNextId(PageId id) {
    writeU16(NEXT_ID, id);
}

Uint16 OrvIndexVarcharLeafWriter::insert(const char* text, Uint32 length, const TupleId& tid) {
    const Uint16 n = numElements();
    if (length > MAX_KEY_LENGTH || !fits(length)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    Uint32 at = 0;
    const Uint16 pos = lowerBound(text, length, &at);
    const Uint32 used = usedBytes();
    const Uint32 size = entrySize(length);
    char* data = writable + DATA;
    std::memmove(data + at + size, data + at, used - at);
    char* entry = data + at;
    std::memset(entry, 0, ENTRY_FIXED);
    entry[0] = static_cast<char>(length);
    std::memcpy(entry + ENTRY_TID_PAGE, &tid.page, sizeof tid.page);
    entry[ENTRY_TID_SLOT] = static_cast<char>(tid.slot);
    std::memcpy(entry + ENTRY_FIXED, text, length);
    entry[ENTRY_FIXED + length] = '\0';
    writeU16(SPACE_LEFT, static_cast<Uint16>(DATA_SIZE - used - size));
    writeU16(NUM_ELEMENTS, static_cast<Uint16>(n + 1));
    return pos;
}

void OrvIndexVarcharLeafWriter::remove(Uint16 pos) {
    const Uint16 n = numElements();
    const Entry entry = entryAt(pos);
    const Uint32 used = usedBytes();
    const Uint32 size = entry.size();
    char* data = writable + DATA;
    std::memmove(data + entry.offset, data + entry.offset + size, used - entry.offset - size);
    // The freed tail is cleared: images stay deterministic.
    std::memset(data + used - size, 0, size);
    writeU16(SPACE_LEFT, static_cast<Uint16>(DATA_SIZE - used + size));
    writeU16(NUM_ELEMENTS, static_cast<Uint16>(n - 1));
}

// ---- OrvIndexVarcharTreeLeafPage ---------------------------------------------

OrvIndexKey OrvIndexVarcharTreeLeafPage::getValueAt(Uint16 pos) const {
    const OrvIndexVarcharLeafView::Entry entry = leafView().entryAt(pos);
    OrvIndexKey key;
    key.dataType = VARCHAR;
    key.varcharKey = new char[entry.length + 1];
    key.ownChar = true;
    std::memcpy(key.varcharKey, entry.text, entry.length);
    key.varcharKey[entry.length] = '\0';
    return key;
}

OrvIndexKey OrvIndexVarcharTreeLeafPage::getLastValue() const {
    const Uint16 n = numElements();
    if (n == 0) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return getValueAt(static_cast<Uint16>(n - 1));
}

Uint16 OrvIndexVarcharTreeLeafPage::findKeyPosition(const OrvIndexKey& key) const {
    const KeyText k = keyText(key, false);
    return leafView().find(k.text, k.length);
}

Uint16 OrvIndexVarcharTreeLeafPage::findInsertPosition(const OrvIndexKey& key) const {
    const KeyText k = keyText(key, false);
    return leafView().lowerBound(k.text, k.length);
}

void OrvIndexVarcharTreeLeafPage::setNextId(PageId id) {
    ORV_TRACE(IndexManager);
    OrvIndexVarcharLeafWriter::existing(beforeWrite()).setNextId(id);
    afterWrite(VARCHAR_OPERATION);
}

void OrvIndexVarcharTreeLeafPage::setPrevId(PageId id) {
    ORV_TRACE(IndexManager);
    OrvIndexVarcharLeafWriter::existing(beforeWrite()).setPrevId(id);
    afterWrite(VARCHAR_OPERATION);
}

bool OrvIndexVarcharTreeLeafPage::insert(const OrvIndexKey& key, const TupleId& tid) {
    ORV_TRACE(IndexManager);
    const KeyText k = keyText(key, true);
    // Refused before the page is locked or copied: nothing changes.
    if (!leafView().fits(k.length)) {
        return false;
    }
    OrvIndexVarcharLeafWriter writer = OrvIndexVarcharLeafWriter::existing(beforeWrite());
    try {
        (void)writer.insert(k.text, k.length, tid);
    } catch (...) {
        discardChange();
        throw;
    }
    afterWrite(VARCHAR_OPERATION);
    return true;
}

bool OrvIndexVarcharTreeLeafPage::deleteKeyAt(Uint16 pos) {
    ORV_TRACE(IndexManager);
    if (pos >= numElements()) {
        return false;
    }
    OrvIndexVarcharLeafWriter writer = OrvIndexVarcharLeafWriter::existing(beforeWrite());
    try {
        writer.remove(pos);
    } catch (...) {
        discardChange();
        throw;
    }
    afterWrite(VARCHAR_OPERATION);
    return true;
}

Uint32 OrvIndexVarcharTreeLeafPage::deleteKey(const OrvIndexKey& key, const TupleId* tid) {
    ORV_TRACE(IndexManager);
    const KeyText k = keyText(key, false);
    const OrvIndexVarcharLeafView view = leafView();
    const Uint16 n = view.numElements();
    Uint32 offset = 0;
    const Uint16 first = view.lowerBound(k.text, k.length, &offset);
    // The run of equal entries, and the one to remove when a tuple id is
    // given.
    Uint16 end = first;
    Uint16 match = 0xFFFF;
    if (first < n) {
        OrvIndexVarcharLeafView::Entry entry = view.entryAt(first);
        while (compareText(entry.text, entry.length, k.text, k.length) == 0) {
            if (tid != nullptr && match == 0xFFFF && entry.tid == *tid) {
                match = end;
            }
            ++end;
            if (end >= n) {
                break;
            }
            entry = view.entryAfter(entry);
        }
    }
    const Uint32 count = tid != nullptr ? (match != 0xFFFF ? 1 : 0) : Uint32(end - first);
    if (count == 0) {
        return 0;
    }
    OrvIndexVarcharLeafWriter writer = OrvIndexVarcharLeafWriter::existing(beforeWrite());
    try {
        if (tid != nullptr) {
            writer.remove(match);
        } else {
            for (Uint32 i = 0; i < count; ++i) {
                writer.remove(first);
            }
        }
    } catch (...) {
        discardChange();
        throw;
    }
    afterWrite(VARCHAR_OPERATION);
    return count;
}

bool OrvIndexVarcharTreeLeafPage::replace(const OrvIndexKey& oldKey, const OrvIndexKey& newKey,
                                          const TupleId& tid) {
    ORV_TRACE(IndexManager);
    const KeyText oldText = keyText(oldKey, false);
    const KeyText newText = keyText(newKey, true);
    const OrvIndexVarcharLeafView view = leafView();
    const Uint16 n = view.numElements();
    Uint16 match = 0xFFFF;
    Uint32 freed = 0;
    for (Uint16 pos = view.lowerBound(oldText.text, oldText.length); pos < n; ++pos) {
        const OrvIndexVarcharLeafView::Entry entry = view.entryAt(pos);
        if (compareText(entry.text, entry.length, oldText.text, oldText.length) != 0) {
            break;
        }
        if (entry.tid == tid) {
            match = pos;
            freed = entry.size();
            break;
        }
    }
    if (entrySize(newText.length) > Uint32(view.spaceLeft()) + freed) {
        return false;
    }
    OrvIndexVarcharLeafWriter writer = OrvIndexVarcharLeafWriter::existing(beforeWrite());
    try {
        if (match != 0xFFFF) {
            writer.remove(match);
        }
        (void)writer.insert(newText.text, newText.length, tid);
    } catch (...) {
        discardChange();
        throw;
    }
    afterWrite(VARCHAR_OPERATION);
    return true;
}

bool OrvIndexVarcharTreeLeafPage::findTuple(const OrvIndexKey& key, TupleId& tid) const {
    const Uint16 pos = findKeyPosition(key);
    if (pos == 0xFFFF) {
        return false;
    }
    tid = leafView().entryAt(pos).tid;
    return true;
}

TupleId OrvIndexVarcharTreeLeafPage::getTupleAt(Uint16 pos) const {
    const OrvIndexVarcharLeafView view = leafView();
    return pos < view.numElements() ? view.entryAt(pos).tid : TupleId(0, 0);
}

void OrvIndexVarcharTreeLeafPage::dump(bool full) const {
    const OrvIndexVarcharLeafView view = leafView();
    std::printf("LEAF > SegmentId: %d, PageId: %d, PrevId: %d, NextId: %d\n", int(sId), int(pId),
                int(view.prevId()), int(view.nextId()));
    if (full) {
        const Uint16 n = view.numElements();
        if (n > 0) {
            OrvIndexVarcharLeafView::Entry entry = view.entryAt(0);
            for (Uint16 i = 0; i < n; ++i) {
                if (i > 0) {
                    entry = view.entryAfter(entry);
                }
                std::printf("[%d] -> %s\n", int(i), entry.text);
            }
        }
    }
    std::fflush(stdout);
}

void OrvIndexVarcharTreeLeafPage::checkAfterImage(const char* bytes) const {
    if (!OrvIndexVarcharLeafView(bytes).problems().empty()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
}
