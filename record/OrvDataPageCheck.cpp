#include "record/OrvDataPageCheck.h"

#include "record/OrvRecordManager.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace OrvDataPage {

namespace {

using RM = OrvRecordManager;

constexpr Uint32 PAGE_END = ORV_PAGE_SIZE;
// A fresh page: everything after the header and the first slot is free.
constexpr Uint32 MAX_FREE_SPACE = ORV_PAGE_SIZE - sizeof(SlotPageHeader);

std::string number(Uint32 value) {
    return std::to_string(value);
}

class Checker {
public:
    explicit Checker(const char* image) : image(image) {
        std::memcpy(&header, image, sizeof(header));
    }

    std::vector<std::string> run() {
        if (header.pageHeader.pageType != OrvPage::DataPage) {
            problem("the page type is " + number(static_cast<Uint32>(header.pageHeader.pageType)) +
                    ", not a data page");
        }
        if (header.padding != 0) {
            problem("the padding byte after numberOfSlots is not zero");
        }
        const Uint32 count = header.numberOfSlots;
        const Uint32 dirEnd = RM::SLOT_DIRECTORY_OFFSET + RM::SLOT_SIZE * count;
        for (Uint32 i = 0; i < count; ++i) {
            checkSlot(i, dirEnd);
        }
        checkOverlaps();
        checkFreeSpaceFields();
        return problems;
    }

private:
    void problem(const std::string& text) { problems.push_back(text); }

    void checkSlot(Uint32 id, Uint32 dirEnd) {
        Slot slot;
        std::memcpy(&slot, image + RM::SLOT_DIRECTORY_OFFSET + id * RM::SLOT_SIZE, sizeof(slot));
        const std::string name = "slot " + number(id);
        if (slot.padding[0] != 0 || slot.padding[1] != 0 || slot.padding[2] != 0) {
            problem(name + ": padding is not zero");
        }
        switch (slot.recordType) {
        case RM::PrimaryRecord:
        case RM::SecondaryRecord:
            checkRecord(name, slot, dirEnd, id);
            break;
        case RM::PlaceHolderTid:
            checkPlaceholder(name, slot);
            break;
        default:
            problem(name + ": unknown record type " + number(slot.recordType));
        }
    }

    void checkRecord(const std::string& name, const Slot& slot, Uint32 dirEnd, Uint32 id) {
        if (slot.offset == 0 && slot.recordLength == 0) {
            if (slot.recordType != RM::PrimaryRecord) {
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
        if (secondarySlot >= RM::NO_SLOT) {
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

    const char* image;
    SlotPageHeader header;
    // (offset, (end, slot id)) of every record in bounds.
    std::vector<std::pair<Uint32, std::pair<Uint32, Uint32>>> records;
    std::vector<std::string> problems;
};

} // namespace

std::vector<std::string> checkStructure(const char* image) {
    ORV_TRACE(RecordManager);
    return Checker(image).run();
}

} // namespace OrvDataPage
