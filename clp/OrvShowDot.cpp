#include "clp/OrvShowDot.h"

#include "OrvBuffer.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "index/OrvIndexTreePage.h"
#include "record/OrvDataPage.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <vector>

namespace orvshow {

std::string htmlText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += (c >= 0x20 && c < 0x7F) ? c : '.';
        }
    }
    return out;
}

namespace {

const char* const GRAPH_STYLE = "  node [shape=plaintext, fontname=\"Helvetica\", fontsize=10];\n"
                                "  edge [fontname=\"Helvetica\", fontsize=9];\n";
const char* const TABLE_OPEN = "<TABLE BORDER=\"0\" CELLBORDER=\"1\" CELLSPACING=\"0\" "
                               "CELLPADDING=\"3\">";

// Takes the shared segment lock the pictures are drawn under and opens the
// segment's file in this process.
void lockAndOpen(SegmentId segment) {
    OrvLockManager::getInstance()->requestSegment(segment, OrvLockManager::SharedLock);
    OrvBufferManager::getInstance()->openSegment(segment);
}

// ---- trees -------------------------------------------------------------------

// The fields of one tree page, copied out while it was fixed.
struct TreePage {
    PageId id = 0;
    bool leaf = false;
    PageId nextId = 0;
    std::vector<Sint32> values;
    // Nodes: the child left of every separator first (firstChild), then the
    // child of each entry; values.size() + 1 of them.
    std::vector<PageId> children;
};

TreePage readTreePage(SegmentId segment, PageId pageId) {
    OrvScopedPage page(segment, pageId, OrvPage::BTreeIndexPage, OrvScopedPage::GetExistingPage);
    const OrvIndexPageView view(page->getPageData());
    TreePage copy;
    copy.id = pageId;
    copy.leaf = view.isLeaf();
    copy.nextId = view.nextId();
    const Uint16 n = view.numElements();
    for (Uint16 i = 0; i < n; ++i) {
        copy.values.push_back(view.valueAt(i));
    }
    if (!copy.leaf) {
        copy.children.push_back(view.firstChild());
        for (Uint16 i = 0; i < n; ++i) {
            copy.children.push_back(view.childAt(i));
        }
    }
    return copy;
}

// What lies in a subtree (or in several).
struct Counts {
    Uint32 nodes = 0;
    Uint32 leaves = 0;
    Uint64 keys = 0;
    Uint32 height = 0;
    bool anyKey = false;
    Sint32 low = 0;
    Sint32 high = 0;

    void add(const Counts& other) {
        nodes += other.nodes;
        leaves += other.leaves;
        keys += other.keys;
        height = std::max(height, other.height);
        if (other.anyKey) {
            low = anyKey ? std::min(low, other.low) : other.low;
            high = anyKey ? std::max(high, other.high) : other.high;
            anyKey = true;
        }
    }
    std::string text() const {
        std::ostringstream os;
        os << nodes + leaves << (nodes + leaves == 1 ? " page: " : " pages: ") << nodes
           << " inner, " << leaves << (leaves == 1 ? " leaf, " : " leaves, ") << keys
           << (keys == 1 ? " key" : " keys");
        if (anyKey) {
            os << " in [" << low << ", " << high << "]";
        }
        return os.str();
    }
};

// Which entries of a page are shown: all, or the first and last halves of
// the limit with a gap between.
struct Shown {
    std::size_t head;
    std::size_t tailStart;
    bool gap() const { return head < tailStart; }
    bool shows(std::size_t i) const { return i < head || i >= tailStart; }
};

Shown shownEntries(std::size_t n, Uint32 limit) {
    if (n <= limit) {
        return {n, n};
    }
    const std::size_t half = std::max<std::size_t>(1, limit / 2);
    return {half, n - half};
}

// Child i of a node lies between entries i - 1 and i: it is drawn when an
// entry beside it is.
bool childShown(const Shown& shown, std::size_t i) {
    return shown.shows(i) || (i > 0 && shown.shows(i - 1));
}

class TreeDrawer {
public:
    TreeDrawer(SegmentId segment, const DotLimits& limits) : segment(segment), limits(limits) {}

    Counts walk(PageId pageId, Uint32 level, bool draw) {
        if (!seen.insert(pageId).second) {
            // A page reached twice: the tree is damaged (a cycle or a shared
            // child); drawing on would never end.
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        const TreePage page = readTreePage(segment, pageId);
        Counts counts;
        counts.height = 1;
        if (page.leaf) {
            counts.leaves = 1;
            counts.keys = page.values.size();
            if (!page.values.empty()) {
                counts.anyKey = true;
                counts.low = *std::min_element(page.values.begin(), page.values.end());
                counts.high = *std::max_element(page.values.begin(), page.values.end());
            }
            if (draw) {
                drawLeaf(page, counts);
            }
            return counts;
        }
        counts.nodes = 1;
        const Shown shown = shownEntries(page.values.size(), limits.keysPerPage);
        const bool drawChildren = draw && level < limits.treeDepth;
        Counts hidden;
        Counts below;
        Counts subtrees;
        for (std::size_t i = 0; i < page.children.size(); ++i) {
            // Child i sits left of entry i (child 0 is firstChild); it is
            // shown when an entry beside it is.
            const bool visible = drawChildren && childShown(shown, i);
            const Counts child = walk(page.children[i], level + 1, visible);
            subtrees.add(child);
            if (visible) {
                edges << "  " << nodeName(page.id) << ":c" << i << ":s -> "
                      << nodeName(page.children[i]) << ":n;\n";
            } else if (drawChildren) {
                hidden.add(child);
            } else {
                below.add(child);
            }
        }
        counts.add(subtrees);
        counts.height = subtrees.height + 1;
        if (draw) {
            drawNode(page, shown, drawChildren);
            if (drawChildren && hidden.nodes + hidden.leaves > 0) {
                const std::string name = nodeName(page.id) + "_hidden";
                body << "  " << name << " [shape=box, style=dashed, label=\""
                     << "subtrees not shown:\\n"
                     << hidden.text() << "\"];\n";
                edges << "  " << nodeName(page.id) << ":gap:s -> " << name << " [style=dashed];\n";
            }
            if (!drawChildren) {
                const std::string name = nodeName(page.id) + "_below";
                body << "  " << name << " [shape=box, style=dashed, label=\"below the depth "
                     << "limit:\\n"
                     << below.text() << "\"];\n";
                edges << "  " << nodeName(page.id) << ":s -> " << name << " [style=dashed];\n";
            }
        }
        return counts;
    }

    void write(std::ostream& os, const std::string& title, const Counts& all) {
        // The leaf chain between the leaves drawn, in the order they were
        // met; a link to a leaf not drawn ends at a small stub.
        std::set<PageId> drawn;
        for (const auto& leaf : leafChain) {
            drawn.insert(leaf.first);
        }
        for (const auto& leaf : leafChain) {
            const PageId next = leaf.second;
            if (next == 0) {
                continue;
            }
            if (drawn.count(next) != 0) {
                edges << "  " << nodeName(leaf.first) << ":e -> " << nodeName(next)
                      << ":w [style=dashed, color=blue, constraint=false];\n";
            } else {
                edges << "  " << nodeName(leaf.first) << "_next [shape=plaintext, fontcolor=blue, "
                      << "label=\"next: page " << next << "\"];\n"
                      << "  " << nodeName(leaf.first) << ":e -> " << nodeName(leaf.first)
                      << "_next [style=dashed, color=blue];\n";
            }
        }
        os << "digraph \"index\" {\n"
           << "  graph [labelloc=t, fontname=\"Helvetica\", nodesep=0.15, ordering=out, label=<"
           << htmlText(title) << "<BR/>height " << all.height << ", " << htmlText(all.text())
           << ">];\n"
           << GRAPH_STYLE << body.str() << edges.str() << "}\n";
    }

private:
    static std::string nodeName(PageId id) { return "p" + std::to_string(id); }

    void drawNode(const TreePage& page, const Shown& shown, bool drawChildren) {
        const std::size_t n = page.values.size();
        std::ostringstream cells;
        std::size_t columns = 0;
        for (std::size_t i = 0; i <= n; ++i) {
            if (childShown(shown, i)) {
                cells << "<TD PORT=\"c" << i << "\" WIDTH=\"6\"> </TD>";
                ++columns;
            }
            if (shown.gap() && i == shown.head) {
                cells << "<TD PORT=\"gap\" BGCOLOR=\"lightgrey\">&#8230; "
                      << (shown.tailStart - shown.head) << " more &#8230;</TD>";
                ++columns;
            }
            if (i < n && shown.shows(i)) {
                cells << "<TD BGCOLOR=\"lightyellow\">" << page.values[i] << "</TD>";
                ++columns;
            }
        }
        body << "  " << nodeName(page.id) << " [label=<" << TABLE_OPEN << "<TR><TD COLSPAN=\""
             << columns << "\"><B>" << (page.id == OrvIndexPage::ROOT ? "root " : "") << "node "
             << page.id << "</B> &#183; " << n << (n == 1 ? " key" : " keys")
             << (drawChildren ? "" : " &#183; children below") << "</TD></TR><TR>" << cells.str()
             << "</TR></TABLE>>];\n";
    }

    void drawLeaf(const TreePage& page, const Counts& counts) {
        // The keys in rows of LEAF_ROW, so that a full leaf stays narrow.
        constexpr std::size_t LEAF_ROW = 8;
        const std::size_t n = page.values.size();
        const Shown shown = shownEntries(n, limits.keysPerPage);
        std::vector<std::string> cells;
        for (std::size_t i = 0; i < n; ++i) {
            if (shown.gap() && i == shown.head) {
                cells.push_back("<TD BGCOLOR=\"lightgrey\">&#8230; " +
                                std::to_string(shown.tailStart - i) + " more &#8230;</TD>");
            }
            if (shown.shows(i)) {
                cells.push_back("<TD BGCOLOR=\"palegreen\">" + std::to_string(page.values[i]) +
                                "</TD>");
            }
        }
        if (n == 0) {
            cells.push_back("<TD>empty</TD>");
        }
        const std::size_t columns = std::min(cells.size(), LEAF_ROW);
        body << "  " << nodeName(page.id) << " [label=<" << TABLE_OPEN << "<TR><TD COLSPAN=\""
             << columns << "\"><B>" << (page.id == OrvIndexPage::ROOT ? "root " : "") << "leaf "
             << page.id << "</B> &#183; " << n << (n == 1 ? " key" : " keys");
        if (counts.anyKey) {
            body << " &#183; [" << counts.low << ", " << counts.high << "]";
        }
        body << "</TD></TR>";
        for (std::size_t i = 0; i < cells.size(); ++i) {
            body << (i % LEAF_ROW == 0 ? "<TR>" : "") << cells[i]
                 << (i % LEAF_ROW == LEAF_ROW - 1 || i + 1 == cells.size() ? "</TR>" : "");
        }
        body << "</TABLE>>];\n";
        leafChain.emplace_back(page.id, page.nextId);
    }

    SegmentId segment;
    DotLimits limits;
    std::set<PageId> seen;
    std::ostringstream body;
    std::ostringstream edges;
    std::vector<std::pair<PageId, PageId>> leafChain;
};

// ---- data pages ---------------------------------------------------------------

const char* slotTypeName(Uint8 type) {
    switch (type) {
    case OrvDataPageView::PRIMARY:
        return "primary";
    case OrvDataPageView::SECONDARY:
        return "secondary";
    case OrvDataPageView::PLACEHOLDER:
        return "moved";
    default:
        return "unknown";
    }
}

std::string exceptionText(const OrvException& e) {
    std::ostringstream os;
    os << e.what();
    return os.str();
}

// One region of the page's bytes for the map.
struct Region {
    Uint32 begin;
    Uint32 end;
    std::string text;
    std::string colour;
};

} // namespace

void writeTreeDot(std::ostream& os, SegmentId segment, const std::string& title,
                  const DotLimits& limits) {
    ORV_TRACE(CommandLine);
    DotLimits used = limits;
    used.treeDepth = std::max<Uint32>(1, used.treeDepth);
    used.keysPerPage = std::max<Uint32>(2, used.keysPerPage);
    lockAndOpen(segment);
    TreeDrawer drawer(segment, used);
    const Counts all = drawer.walk(OrvIndexPage::ROOT, 1, true);
    drawer.write(os, title, all);
}

void writePageDot(std::ostream& os, SegmentId segment, PageId pageId, const DotLimits& limits) {
    ORV_TRACE(CommandLine);
    lockAndOpen(segment);
    // A copy of the image: the page is fixed only while it is copied.
    std::vector<char> image(ORV_PAGE_SIZE);
    {
        OrvScopedPage page(segment, pageId, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        std::memcpy(image.data(), page->getPageData(), ORV_PAGE_SIZE);
    }
    const OrvDataPageView view(image.data(), segment, pageId);
    const SlotPageHeader header = view.header();
    const Uint32 slots = view.slotCount();

    std::ostringstream body;
    std::ostringstream edges;
    std::vector<Region> regions;
    regions.push_back({0, OrvDataPageView::SLOT_DIRECTORY_OFFSET, "header", "lightblue"});
    if (slots > 0) {
        regions.push_back({OrvDataPageView::SLOT_DIRECTORY_OFFSET, view.directoryEnd(),
                           "slot directory", "lightblue"});
    }

    std::ostringstream directory;
    directory << TABLE_OPEN << "<TR><TD COLSPAN=\"4\"><B>slot directory</B> &#183; " << slots
              << (slots == 1 ? " slot" : " slots") << "</TD></TR>"
              << "<TR><TD>slot</TD><TD>kind</TD><TD>offset</TD><TD>length</TD></TR>";
    for (Uint32 id = 0; id < slots; ++id) {
        const Slot raw = view.slot(id);
        Slot slot;
        try {
            slot = view.checkedSlot(id);
        } catch (const OrvException& e) {
            directory << "<TR><TD>" << id << "</TD><TD PORT=\"s" << id
                      << "\" COLSPAN=\"3\" BGCOLOR=\"salmon\">damaged: "
                      << htmlText(exceptionText(e)) << "</TD></TR>";
            continue;
        }
        if (OrvDataPageView::isEmpty(slot)) {
            directory << "<TR><TD>" << id << "</TD><TD PORT=\"s" << id
                      << "\" COLSPAN=\"3\" BGCOLOR=\"lightgrey\">empty</TD></TR>";
            continue;
        }
        const std::string node = "r" + std::to_string(id);
        if (slot.recordType == OrvDataPageView::PLACEHOLDER) {
            // A placeholder's offset and length fields hold the tuple id of
            // the record's secondary place.
            const unsigned toPage = raw.offset;
            const unsigned toSlot = raw.recordLength & 0xFF;
            directory << "<TR><TD>" << id << "</TD><TD BGCOLOR=\"orange\">moved</TD><TD PORT=\"s"
                      << id << "\" COLSPAN=\"2\">to page " << toPage << " slot " << toSlot
                      << "</TD></TR>";
            body << "  " << node << " [shape=note, style=filled, fillcolor=orange, label=\"moved "
                 << "record\\nnow in page " << toPage << ", slot " << toSlot
                 << "\\n(a secondary record)\"];\n";
            edges << "  dir:s" << id << ":e -> " << node
                  << " [style=dashed, label=\"moved to\"];\n";
            continue;
        }
        const bool secondary = slot.recordType == OrvDataPageView::SECONDARY;
        directory << "<TR><TD>" << id << "</TD><TD BGCOLOR=\""
                  << (secondary ? "khaki" : "palegreen") << "\">" << slotTypeName(slot.recordType)
                  << "</TD><TD>" << slot.offset << "</TD><TD PORT=\"s" << id << "\">"
                  << slot.recordLength << "</TD></TR>";
        const char* bytes = view.recordBytes(slot);
        const Uint32 shown = std::min<Uint32>(slot.recordLength, limits.recordBytes);
        const std::string text(bytes, shown);
        body << "  " << node << " [label=<" << TABLE_OPEN << "<TR><TD BGCOLOR=\""
             << (secondary ? "khaki" : "palegreen") << "\"><B>slot " << id << "</B> &#183; "
             << slotTypeName(slot.recordType) << (secondary ? " (moved here)" : "") << " &#183; "
             << slot.recordLength << " bytes at " << slot.offset << "</TD></TR><TR><TD>"
             << htmlText(text) << (shown < slot.recordLength ? " &#8230;" : "")
             << "</TD></TR></TABLE>>];\n";
        edges << "  dir:s" << id << ":e -> " << node << ":w;\n";
        regions.push_back({slot.offset, Uint32(slot.offset) + slot.recordLength,
                           "slot " + std::to_string(id), secondary ? "khaki" : "palegreen"});
    }
    directory << "</TABLE>";

    // The map: every region in offset order, the gaps between them free.
    std::sort(regions.begin(), regions.end(),
              [](const Region& a, const Region& b) { return a.begin < b.begin; });
    // The map: every region in offset order, the gaps between them free,
    // in rows of MAP_ROW cells.
    constexpr std::size_t MAP_ROW = 8;
    std::vector<std::string> cells;
    Uint32 at = 0;
    const auto range = [](Uint32 begin, Uint32 end) {
        return std::to_string(begin) + "&#8211;" + std::to_string(end - 1);
    };
    for (const Region& region : regions) {
        if (region.begin > at) {
            cells.push_back("<TD BGCOLOR=\"white\">free<BR/>" + range(at, region.begin) + "</TD>");
        } else if (region.begin < at) {
            cells.push_back("<TD BGCOLOR=\"salmon\">overlap</TD>");
        }
        cells.push_back("<TD BGCOLOR=\"" + region.colour + "\">" + htmlText(region.text) + "<BR/>" +
                        range(region.begin, region.end) + "</TD>");
        at = std::max(at, region.end);
    }
    if (at < ORV_PAGE_SIZE) {
        cells.push_back("<TD BGCOLOR=\"white\">free<BR/>" + range(at, ORV_PAGE_SIZE) + "</TD>");
    }
    std::ostringstream map;
    map << TABLE_OPEN << "<TR><TD COLSPAN=\"" << std::min(cells.size(), MAP_ROW)
        << "\"><B>the page's bytes</B>, by offset</TD></TR>";
    for (std::size_t i = 0; i < cells.size(); ++i) {
        map << (i % MAP_ROW == 0 ? "<TR>" : "") << cells[i]
            << (i % MAP_ROW == MAP_ROW - 1 || i + 1 == cells.size() ? "</TR>" : "");
    }
    map << "</TABLE>";

    Uint16 blockOffset = 0;
    Uint16 blockSize = 0;
    view.largestBlock(blockOffset, blockSize);
    std::ostringstream head;
    head << TABLE_OPEN << "<TR><TD COLSPAN=\"2\"><B>data page " << pageId << "</B> of segment "
         << segment << "</TD></TR>"
         << "<TR><TD>LSN</TD><TD>" << htmlText(header.pageHeader.lsn.dump()) << "</TD></TR>"
         << "<TR><TD>slots</TD><TD>" << slots << "</TD></TR>"
         << "<TR><TD>free space</TD><TD>" << header.freeSpace << " bytes (now " << view.freeSpace()
         << ")</TD></TR>"
         << "<TR><TD>largest free block</TD><TD>" << header.consecFreeSpace << " bytes at "
         << header.consecFreeSpaceOffset << " (now " << blockSize << " at " << blockOffset
         << ")</TD></TR>";
    for (const std::string& problem : view.problems()) {
        head << "<TR><TD COLSPAN=\"2\" BGCOLOR=\"salmon\">" << htmlText(problem) << "</TD></TR>";
    }
    head << "</TABLE>";

    os << "digraph \"page\" {\n"
       << "  graph [rankdir=LR, labelloc=t, fontname=\"Helvetica\", label=<data page " << pageId
       << " of segment " << segment << ">];\n"
       << GRAPH_STYLE << "  header [label=<" << head.str() << ">];\n"
       << "  map [label=<" << map.str() << ">];\n"
       << "  dir [label=<" << directory.str() << ">];\n"
       << "  header -> dir [style=invis];\n"
       << "  map -> dir [style=invis];\n"
       << body.str() << edges.str() << "}\n";
}

} // namespace orvshow
