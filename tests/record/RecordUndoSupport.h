// Helpers of the rollback and recovery tests: what a table holds, slot by
// slot, read straight from its pages, and its structure problems.
#ifndef ORV_RECORD_UNDO_SUPPORT_H
#define ORV_RECORD_UNDO_SUPPORT_H

#include "RecordTestSupport.h"

#include <map>
#include <string>
#include <vector>

namespace recordtest {

// Pages are looked at from page 1 until this many in a row do not exist (a
// reserved page that was never made leaves a gap).
constexpr Uint32 UNDO_TEST_GAP = 8;

// Calls visit(pageId, page) for every data page of the segment that exists,
// from page 1 until UNDO_TEST_GAP pages in a row do not.
template <typename Visit> void forEachDataPage(SegmentId segment, Visit visit) {
    OrvBufferManager::getInstance()->openSegment(segment);
    Uint32 missing = 0;
    for (Uint32 p = 1; p <= ORV_MAX_PAGE_ID && missing < UNDO_TEST_GAP; ++p) {
        if (p % OrvFsi::PAGE_DISTANCE == 0) {
            continue;
        }
        OrvScopedPage page;
        const OrvErrorCode code = codeOf([&] {
            page = OrvScopedPage(segment, static_cast<PageId>(p), OrvPage::DataPage,
                                 OrvScopedPage::GetExistingPage);
        });
        if (code == ORV_BM_PAGE_NOT_FOUND) {
            ++missing;
            continue;
        }
        missing = 0;
        if (code != ORV_SUCCESS) {
            ADD_FAILURE() << "page " << p << ": code " << code;
            break;
        }
        visit(static_cast<PageId>(p), *page.getPage());
    }
}

// Every slot that holds something, by (page, slot): "P:" or "S:" and the
// record's bytes, or "->page,slot" for a placeholder. Empty slots and pages
// without records leave no trace, so the state says which tuple ids hold
// what and where, not where on its page a record lies.
inline std::map<std::pair<PageId, SlotId>, std::string> slotState(SegmentId segment) {
    std::map<std::pair<PageId, SlotId>, std::string> state;
    forEachDataPage(segment, [&](PageId p, OrvPage& page) {
        const OrvDataPageView view(page);
        for (Uint32 s = 0; s < view.slotCount(); ++s) {
            const Slot slot = view.checkedSlot(s);
            if (OrvDataPageView::isEmpty(slot)) {
                continue;
            }
            const auto key = std::make_pair(p, static_cast<SlotId>(s));
            if (slot.recordType == OrvDataPageView::PLACEHOLDER) {
                state[key] =
                    "->" + std::to_string(slot.offset) + "," + std::to_string(slot.recordLength);
            } else {
                state[key] =
                    std::string(slot.recordType == OrvDataPageView::PRIMARY ? "P:" : "S:") +
                    std::string(view.recordBytes(slot), slot.recordLength);
            }
        }
    });
    return state;
}

// The images of every data page that exists, LSN included.
inline std::map<PageId, std::string> pageImages(SegmentId segment) {
    std::map<PageId, std::string> images;
    forEachDataPage(segment, [&](PageId p, OrvPage& page) {
        images[p] = std::string(page.getPageData(), ORV_PAGE_SIZE);
    });
    return images;
}

// Problems of every data page of the segment and of its inventory.
inline std::vector<std::string> segmentProblems(SegmentId segment) {
    std::vector<std::string> problems = OrvFsi::checkSegment(segment);
    for (const auto& [p, image] : pageImages(segment)) {
        for (const std::string& line : OrvDataPage::checkStructure(image.data())) {
            problems.push_back("page " + std::to_string(p) + ": " + line);
        }
    }
    return problems;
}

} // namespace recordtest

#endif
