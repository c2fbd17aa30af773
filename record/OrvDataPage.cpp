#include "record/OrvDataPage.h"

#include "OrvException.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

using View = OrvDataPageView;

constexpr Uint32 PAGE_END = ORV_PAGE_SIZE;
// A fresh page: everything after the header and the first slot is free.
constexpr Uint32 MAX_FREE_SPACE = ORV_PAGE_SIZE - sizeof(SlotPageHeader);

std::string number(Uint32 value) {
    return std::to_string(value);
}

} // namespace

Slot makeSlot(Uint16 offset, Uint16 length, Uint8 type) {
    Slot slot{};
    slot.offset = offset;
    slot.recordLength = length;
    slot.recordType = type;
    return slot;
}

// ---- reading -------------------------------------------------------------------

OrvDataPageView::OrvDataPageView(const char* image, SegmentId segmentId, PageId pageId)
    : bytes(image), segment(segmentId), page(pageId) {
    if (image == nullptr) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
}

OrvDataPageView::OrvDataPageView(const OrvPage& frame)
    : OrvDataPageView(frame.getPageData(), frame.getSegmentId(), frame.getPageId()) {}

SlotPageHeader OrvDataPageView::header() const {
    SlotPageHeader copy;
    std::memcpy(&copy, bytes, sizeof(copy));
    return copy;
}

Uint32 OrvDataPageView::slotCount() const {
    Uint8 count = 0;
    std::memcpy(&count, bytes + offsetof(SlotPageHeader, numberOfSlots), sizeof(count));
    return count;
}

Slot OrvDataPageView::rawSlot(Uint32 id) const {
    if (id >= MAX_SLOTS) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    Slot slot;
    std::memcpy(&slot, bytes + SLOT_DIRECTORY_OFFSET + id * SLOT_SIZE, sizeof(slot));
    return slot;
}

// A slot beyond the directory is reported with the place where it would
// lie, which is outside the data area.
Slot OrvDataPageView::slot(Uint32 id) const {
    if (id >= slotCount()) {
        ORV_THROW(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, OrvException::to_string(directoryEndFor(id)),
                  OrvException::to_string(page), OrvException::to_string(segment));
    }
    return rawSlot(id);
}

bool OrvDataPageView::isKnownType(Uint8 type) {
    return type == PRIMARY || type == SECONDARY || type == PLACEHOLDER;
}

void OrvDataPageView::checkType(const Slot& slot) {
    if (!isKnownType(slot.recordType)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
}

void OrvDataPageView::checkRecordPlace(Uint32 dirEnd, Uint32 offset, Uint32 length) const {
    if (offset < dirEnd || offset >= PAGE_END) {
        ORV_THROW(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, OrvException::to_string(offset),
                  OrvException::to_string(page), OrvException::to_string(segment));
    }
    if (offset + length > PAGE_END) {
        ORV_THROW(ORV_RM_GET_RECORD_TOO_LONG, OrvException::to_string(offset),
                  OrvException::to_string(page), OrvException::to_string(segment),
                  OrvException::to_string(length), OrvException::to_string(ORV_PAGE_SIZE));
    }
}

Slot OrvDataPageView::checkedSlot(Uint32 id) const {
    const Slot found = slot(id);
    checkType(found);
    if (holdsBytes(found)) {
        checkRecordPlace(directoryEnd(), found.offset, found.recordLength);
    }
    return found;
}

const char* OrvDataPageView::recordBytes(const Slot& slot) const {
    checkRecordPlace(directoryEnd(), slot.offset, slot.recordLength);
    return bytes + slot.offset;
}

Uint32 OrvDataPageView::lowestRecordOffset() const {
    Uint32 lowest = PAGE_END;
    const Uint32 count = slotCount();
    for (Uint32 i = 0; i < count; ++i) {
        const Slot s = rawSlot(i);
        if (holdsBytes(s) && s.offset != 0 && s.offset < lowest) {
            lowest = s.offset;
        }
    }
    return lowest;
}

SlotId OrvDataPageView::freeSlot(OrvErrorCode& refusal) const {
    refusal = ORV_SUCCESS;
    const Uint32 count = slotCount();
    for (Uint32 i = 0; i < count; ++i) {
        if (isEmpty(rawSlot(i))) {
            return static_cast<SlotId>(i);
        }
    }
    if (count == MAX_SLOTS) {
        refusal = ORV_RM_NO_MORE_SLOTS;
        return ORV_INVALID_SLOT_ID;
    }
    // The appended slot and the spare one behind it.
    if (directoryEndFor(count + 2) > lowestRecordOffset()) {
        refusal = ORV_RM_SLOT_OVER_DATA;
        return ORV_INVALID_SLOT_ID;
    }
    return static_cast<SlotId>(count);
}

Uint16 OrvDataPageView::freeSpace() const {
    const Uint32 count = slotCount();
    const Uint32 dirEnd = directoryEndFor(count);
    bool anyEmpty = false;
    Uint32 used = directoryEndFor(count + 1);
    for (Uint32 i = 0; i < count; ++i) {
        const Slot s = rawSlot(i);
        checkType(s);
        if (s.recordType == PLACEHOLDER) {
            continue;
        }
        if (s.recordLength == 0) {
            anyEmpty = true;
            continue;
        }
        checkRecordPlace(dirEnd, s.offset, s.recordLength);
        used += s.recordLength;
    }
    if (count == MAX_SLOTS && !anyEmpty) {
        return 0;
    }
    // Records that do not overlap cannot take more than the page holds.
    if (used > PAGE_END) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return static_cast<Uint16>(PAGE_END - used);
}

void OrvDataPageView::largestBlock(Uint16& maxBlockOffset, Uint16& maxBlockSize) const {
    const Uint32 count = slotCount();
    const Uint32 dirEnd = directoryEndFor(count);
    // Occupied intervals (offset, end) between two sentinels: the directory
    // with its spare slot, and the end of the page.
    std::vector<std::pair<Uint32, Uint32>> intervals;
    intervals.reserve(MAX_SLOTS + 2);
    const Uint32 spareEnd = directoryEndFor(count + 1);
    intervals.emplace_back(spareEnd, spareEnd);
    Uint32 placeholders = 0;
    bool ascending = true;
    // From the highest slot down: records are placed downwards, so this
    // normally meets them in ascending offset order and no sort is needed.
    for (Uint32 i = count; i-- > 0;) {
        const Slot s = rawSlot(i);
        checkType(s);
        if (s.recordType == PLACEHOLDER) {
            ++placeholders;
            continue;
        }
        if (s.recordLength == 0) {
            continue;
        }
        checkRecordPlace(dirEnd, s.offset, s.recordLength);
        ascending = ascending && intervals.back().first <= s.offset;
        intervals.emplace_back(s.offset, Uint32(s.offset) + s.recordLength);
    }
    intervals.emplace_back(PAGE_END, PAGE_END);

    maxBlockOffset = 0;
    maxBlockSize = 0;
    if (intervals.size() + placeholders == MAX_SLOTS + 2) {
        return; // all 255 slots in use: no record can be added, however short
    }
    if (!ascending) {
        std::stable_sort(intervals.begin(), intervals.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    // A gap starts where everything before it ends, not where its left
    // neighbour ends: a record that begins inside the spare slot's room (a
    // page written before appends kept clear of it) lies below that
    // sentinel but reaches beyond it.
    Uint32 occupiedEnd = intervals.front().second;
    Uint32 bestSize = 0;
    Uint32 bestOffset = 0;
    for (std::size_t k = 1; k < intervals.size(); ++k) {
        const Uint32 next = intervals[k].first;
        if (next > occupiedEnd && next - occupiedEnd > bestSize) {
            bestSize = next - occupiedEnd;
            bestOffset = occupiedEnd;
        }
        occupiedEnd = std::max(occupiedEnd, intervals[k].second);
    }
    maxBlockOffset = static_cast<Uint16>(bestOffset);
    maxBlockSize = static_cast<Uint16>(bestSize);
}

// ---- the structure check ---------------------------------------------------------

namespace {

class Checker {
public:
    explicit Checker(const View& view) : view(view), header(view.header()) {}

    std::vector<std::string> run() {
        if (header.pageHeader.pageType != OrvPage::DataPage) {
            problem("the page type is " + number(static_cast<Uint32>(header.pageHeader.pageType)) +
                    ", not a data page");
        }
        if (header.padding != 0) {
            problem("the padding byte after numberOfSlots is not zero");
        }
        const Uint32 count = header.numberOfSlots;
        const Uint32 dirEnd = View::directoryEndFor(count);
        for (Uint32 i = 0; i < count; ++i) {
            checkSlot(i, dirEnd);
        }
        checkOverlaps();
        checkFreeSpaceFields();
        if (problems.empty()) {
            checkFreeSpaceArithmetic();
        }
        return problems;
    }

private:
    void problem(const std::string& text) { problems.push_back(text); }

    void checkSlot(Uint32 id, Uint32 dirEnd) {
        const Slot slot = view.rawSlot(id);
        const std::string name = "slot " + number(id);
        if (slot.padding[0] != 0 || slot.padding[1] != 0 || slot.padding[2] != 0) {
            problem(name + ": padding is not zero");
        }
        switch (slot.recordType) {
        case View::PRIMARY:
        case View::SECONDARY:
            checkRecord(name, slot, dirEnd, id);
            break;
        case View::PLACEHOLDER:
            checkPlaceholder(name, slot);
            break;
        default:
            problem(name + ": unknown record type " + number(slot.recordType));
        }
    }

    void checkRecord(const std::string& name, const Slot& slot, Uint32 dirEnd, Uint32 id) {
        if (View::isEmpty(slot)) {
            if (slot.recordType != View::PRIMARY) {
                problem(name + ": an empty slot is not of type PrimaryRecord");
            }
            return;
        }
        if (slot.offset == 0 || slot.recordLength == 0) {
            problem(name + ": offset " + number(slot.offset) + " with length " +
                    number(slot.recordLength) + " is neither empty nor a record");
            return;
        }
        const Uint32 end = Uint32(slot.offset) + slot.recordLength;
        if (slot.offset < dirEnd) {
            problem(name + ": the record at " + number(slot.offset) +
                    " begins inside the directory, which ends at " + number(dirEnd));
        } else if (end > PAGE_END) {
            problem(name + ": the record at " + number(slot.offset) + " of " +
                    number(slot.recordLength) + " bytes ends beyond the page");
        } else {
            records.emplace_back(Uint32(slot.offset), std::make_pair(end, id));
        }
    }

    void checkPlaceholder(const std::string& name, const Slot& slot) {
        const Uint32 page = slot.offset;
        const Uint32 secondarySlot = slot.recordLength;
        if (page == 0 || page % 255 == 0 || page > ORV_MAX_PAGE_ID) {
            problem(name + ": the placeholder names page " + number(page) +
                    ", which is no data page");
        }
        if (secondarySlot >= ORV_INVALID_SLOT_ID) {
            problem(name + ": the placeholder names slot " + number(secondarySlot));
        }
    }

    void checkOverlaps() {
        std::sort(records.begin(), records.end());
        for (std::size_t k = 1; k < records.size(); ++k) {
            const auto& lower = records[k - 1];
            const auto& upper = records[k];
            if (upper.first < lower.second.first) {
                problem("the records of slots " + number(lower.second.second) + " and " +
                        number(upper.second.second) + " overlap");
            }
        }
    }

    void checkFreeSpaceFields() {
        if (header.freeSpace > MAX_FREE_SPACE) {
            problem("freeSpace " + number(header.freeSpace) + " exceeds " + number(MAX_FREE_SPACE));
        }
        if (header.consecFreeSpace > header.freeSpace) {
            problem("consecFreeSpace " + number(header.consecFreeSpace) + " exceeds freeSpace " +
                    number(header.freeSpace));
        }
        if (Uint32(header.consecFreeSpaceOffset) + header.consecFreeSpace > PAGE_END) {
            problem("the largest free block at " + number(header.consecFreeSpaceOffset) +
                    " ends beyond the page");
        }
    }

    // What the directory says (not the header fields, which may lag): no
    // record lies in the room kept for the next slot, and the total free
    // space is never below the largest block. A record in that room would
    // make free space promise bytes that a record already uses.
    void checkFreeSpaceArithmetic() {
        const Uint32 count = header.numberOfSlots;
        const Uint32 spareEnd = View::directoryEndFor(count + 1);
        Uint32 used = spareEnd;
        bool anyEmpty = false;
        for (Uint32 i = 0; i < count; ++i) {
            const Slot slot = view.rawSlot(i);
            if (slot.recordType == View::PLACEHOLDER) {
                continue;
            }
            if (slot.recordLength == 0) {
                anyEmpty = true;
                continue;
            }
            used += slot.recordLength;
            if (slot.offset < spareEnd) {
                problem("slot " + number(i) + ": the record at " + number(slot.offset) +
                        " lies in the room kept for the next slot, which ends at " +
                        number(spareEnd));
            }
        }
        if (!problems.empty() || (count == View::MAX_SLOTS && !anyEmpty)) {
            return;
        }
        if (used > PAGE_END) {
            problem("the directory and the records take " + number(used) + " bytes");
            return;
        }
        Uint16 offset = 0;
        Uint16 block = 0;
        view.largestBlock(offset, block);
        if (block > PAGE_END - used) {
            problem("the largest free block of " + number(block) +
                    " bytes exceeds the free space of " + number(PAGE_END - used) + " bytes");
        }
    }

    const View& view;
    SlotPageHeader header;
    // (offset, (end, slot id)) of every record in bounds.
    std::vector<std::pair<Uint32, std::pair<Uint32, Uint32>>> records;
    std::vector<std::string> problems;
};

} // namespace

std::vector<std::string> OrvDataPageView::problems() const {
    ORV_TRACE(RecordManager);
    return Checker(*this).run();
}

// ---- writing -------------------------------------------------------------------

OrvDataPageWriter::OrvDataPageWriter(char* image, SegmentId segmentId, PageId pageId)
    : OrvDataPageView(image, segmentId, pageId), writable(image) {}

OrvDataPageWriter::OrvDataPageWriter(OrvPage& frame)
    : OrvDataPageWriter(frame.getPageData(), frame.getSegmentId(), frame.getPageId()) {}

void OrvDataPageWriter::setSlot(Uint32 id, const Slot& slot) {
    if (id >= MAX_SLOTS) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    std::memcpy(writable + SLOT_DIRECTORY_OFFSET + id * SLOT_SIZE, &slot, sizeof(slot));
}

void OrvDataPageWriter::setSlotCount(Uint32 count) {
    if (count > MAX_SLOTS) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const Uint8 value = static_cast<Uint8>(count);
    std::memcpy(writable + offsetof(SlotPageHeader, numberOfSlots), &value, sizeof(value));
}

void OrvDataPageWriter::writeBytes(Uint32 offset, const char* data, Uint32 length) {
    if (offset > PAGE_END || length > PAGE_END - offset || (length != 0 && data == nullptr)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    if (length != 0) {
        std::memmove(writable + offset, data, length);
    }
}

void OrvDataPageWriter::setFreeSpaceFields(Uint16 freeSpace, Uint16 blockSize, Uint16 blockOffset) {
    std::memcpy(writable + offsetof(SlotPageHeader, freeSpace), &freeSpace, sizeof(freeSpace));
    std::memcpy(writable + offsetof(SlotPageHeader, consecFreeSpace), &blockSize,
                sizeof(blockSize));
    std::memcpy(writable + offsetof(SlotPageHeader, consecFreeSpaceOffset), &blockOffset,
                sizeof(blockOffset));
}
