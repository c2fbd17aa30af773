// The structure checker of an integer tree. It checks:
//   - every page reachable from the root has a sound layout (counter within
//     the page, entries sorted, no child 0) and all leaves lie at one depth;
//   - separators bound their subtrees: along every edge that routes keys,
//     the child's values lie in the closed interval its parent gives it
//     (an edge behind a separator that is not below the next bound routes
//     no key; the page behind it must be reached another way);
//   - the leaf chain runs from the leftmost leaf through every reachable
//     leaf exactly once, prevId mirroring nextId, values never decreasing;
//     each level of inner nodes is chained the same way;
//   - the inventory: its counter lies at or above every page in use, no page
//     in use is listed as free, no free id is listed twice, and its chain
//     pages are no tree pages.
#include "OrvException.h"
#include "index/OrvIndexBTree.h"

#include <map>
#include <set>

using namespace OrvIndexPage;

namespace {

struct Bound {
    bool has = false;
    Sint32 value = 0;
};

class Checker {
public:
    Checker(SegmentId segment, OrvIndexTreeShape& shape) : segment(segment), shape(shape) {}

    std::vector<std::string> run() {
        shape = OrvIndexTreeShape();
        if (!reach()) {
            return problems;
        }
        bounds(ROOT, Bound(), Bound(), 0);
        chains();
        inventory();
        return problems;
    }

private:
    // A copy of the page image (the checker holds no fix between steps).
    bool image(PageId id, std::string& out) {
        try {
            OrvScopedPage page(segment, id, OrvPage::BTreeIndexPage,
                               OrvScopedPage::GetExistingPage);
            out.assign(page->getPageData(), ORV_PAGE_SIZE);
            return true;
        } catch (const OrvException& e) {
            problems.push_back("page " + std::to_string(id) + " cannot be read: code " +
                               std::to_string(e.getErrorCode()));
            return false;
        }
    }

    const std::string& cached(PageId id) { return images.at(id); }

    std::string where(PageId id) { return "page " + std::to_string(id) + ": "; }

    // Every page behind any edge, with its depth.
    bool reach() {
        std::vector<PageId> queue{ROOT};
        depth[ROOT] = 1;
        for (std::size_t i = 0; i < queue.size(); ++i) {
            const PageId id = queue[i];
            std::string bytes;
            if (!image(id, bytes)) {
                return false;
            }
            images[id] = bytes;
            const OrvIndexPageView view(images[id].data());
            const std::vector<std::string> own = view.problems();
            for (const std::string& line : own) {
                problems.push_back(where(id) + line);
            }
            if (!own.empty()) {
                return false;
            }
            if (view.pageId() != id) {
                problems.push_back(where(id) + "the image names page " +
                                   std::to_string(view.pageId()));
            }
            if (view.isLeaf()) {
                ++shape.leaves;
                shape.entries += view.numElements();
                leaves.insert(id);
                if (leafDepth == 0) {
                    leafDepth = depth[id];
                } else if (leafDepth != depth[id]) {
                    problems.push_back(where(id) + "a leaf at another depth");
                }
                continue;
            }
            ++shape.nodes;
            levels[depth[id]].insert(id);
            for (int c = -1; c < int(view.numElements()); ++c) {
                const PageId child = view.childAt(c);
                if (child == ROOT || child == 0) {
                    problems.push_back(where(id) + "child " + std::to_string(child));
                    return false;
                }
                auto known = depth.find(child);
                if (known == depth.end()) {
                    depth[child] = depth[id] + 1;
                    queue.push_back(child);
                } else if (known->second != depth[id] + 1) {
                    problems.push_back(where(id) + "child " + std::to_string(child) +
                                       " is reached at two depths");
                    return false;
                }
            }
        }
        shape.height = leafDepth;
        return true;
    }

    void bounds(PageId id, Bound low, Bound high, Uint32 visits) {
        if (++boundVisits > 4u * 65536u) {
            problems.push_back("the bound walk does not end");
            return;
        }
        const OrvIndexPageView view(cached(id).data());
        const Uint16 n = view.numElements();
        for (Uint16 i = 0; i < n; ++i) {
            const Sint32 value = view.valueAt(i);
            if ((low.has && value < low.value) || (high.has && value > high.value)) {
                problems.push_back(where(id) + "value " + std::to_string(value) + " at " +
                                   std::to_string(i) + " lies outside the bounds its parent sets");
            }
        }
        if (view.isLeaf()) {
            return;
        }
        for (int c = -1; c < int(n); ++c) {
            Bound childLow = c < 0 ? low : Bound{true, view.valueAt(static_cast<Uint16>(c))};
            Bound childHigh =
                c + 1 < int(n) ? Bound{true, view.valueAt(static_cast<Uint16>(c + 1))} : high;
            // Keys k with childLow < k <= childHigh are routed here; none
            // when the interval is empty.
            if (c >= 0 && childHigh.has && childLow.value >= childHigh.value) {
                continue;
            }
            bounds(view.childAt(c), childLow, childHigh, visits + 1);
        }
    }

    // The leftmost page at a depth, by firstChild.
    PageId leftmost(Uint32 atDepth) {
        PageId id = ROOT;
        for (Uint32 d = 1; d < atDepth; ++d) {
            id = OrvIndexPageView(cached(id).data()).firstChild();
        }
        return id;
    }

    void chain(Uint32 atDepth, const std::set<PageId>& expected, bool leafLevel) {
        std::set<PageId> seen;
        PageId previous = 0;
        bool haveValue = false;
        Sint32 lastValue = 0;
        for (PageId id = leftmost(atDepth); id != 0;) {
            if (expected.count(id) == 0) {
                problems.push_back(where(id) + "in the chain of depth " + std::to_string(atDepth) +
                                   " but not reached there");
                return;
            }
            if (!seen.insert(id).second) {
                problems.push_back(where(id) + "the chain runs in a circle");
                return;
            }
            const OrvIndexPageView view(cached(id).data());
            if (view.prevId() != previous) {
                problems.push_back(where(id) + "prevId " + std::to_string(view.prevId()) +
                                   ", expected " + std::to_string(previous));
            }
            if (leafLevel) {
                for (Uint16 i = 0; i < view.numElements(); ++i) {
                    if (haveValue && view.valueAt(i) < lastValue) {
                        problems.push_back(where(id) + "value " + std::to_string(view.valueAt(i)) +
                                           " follows the larger " + std::to_string(lastValue) +
                                           " in the leaf chain");
                    }
                    haveValue = true;
                    lastValue = view.valueAt(i);
                }
            }
            previous = id;
            id = view.nextId();
        }
        if (seen.size() != expected.size()) {
            problems.push_back("the chain of depth " + std::to_string(atDepth) + " holds " +
                               std::to_string(seen.size()) + " of its " +
                               std::to_string(expected.size()) + " pages");
        }
    }

    void chains() {
        for (const auto& level : levels) {
            chain(level.first, level.second, false);
        }
        chain(leafDepth, leaves, true);
    }

    void inventory() {
        OrvIndexFreeSpaceInventory* fsi = OrvIndexFreeSpaceInventory::getInstance();
        try {
            const PageId last = fsi->getLastPageId(segment);
            std::set<PageId> chainPages;
            for (PageId id : fsi->chainPages(segment)) {
                chainPages.insert(id);
                if (depth.count(id) != 0) {
                    problems.push_back("inventory page " + std::to_string(id) + " is a tree page");
                }
                if (id > last) {
                    problems.push_back("inventory page " + std::to_string(id) +
                                       " lies above the counter " + std::to_string(last));
                }
            }
            for (const auto& page : depth) {
                if (page.first > last) {
                    problems.push_back(where(page.first) + "in use above the counter " +
                                       std::to_string(last));
                }
            }
            std::set<PageId> listed;
            for (PageId id : fsi->freePageIds(segment)) {
                if (!listed.insert(id).second) {
                    problems.push_back("free id " + std::to_string(id) + " is listed twice");
                }
                if (depth.count(id) != 0 || chainPages.count(id) != 0 || id <= ROOT) {
                    problems.push_back("free id " + std::to_string(id) + " is in use");
                }
            }
        } catch (const OrvException& e) {
            problems.push_back("the inventory cannot be read: code " +
                               std::to_string(e.getErrorCode()));
        }
    }

    SegmentId segment;
    OrvIndexTreeShape& shape;
    std::vector<std::string> problems;
    std::map<PageId, std::string> images;
    std::map<PageId, Uint32> depth;
    std::map<Uint32, std::set<PageId>> levels;
    std::set<PageId> leaves;
    Uint32 leafDepth = 0;
    Uint32 boundVisits = 0;
};

} // namespace

std::vector<std::string> orvCheckIndexTree(SegmentId segment, OrvIndexTreeShape& shape) {
    return Checker(segment, shape).run();
}

std::vector<std::string> orvCheckIndexTree(SegmentId segment) {
    OrvIndexTreeShape shape;
    return Checker(segment, shape).run();
}
