// The index dumps and their debug commands. They read the pages without
// locks (a debugging aid, like the structure checker): run them while no
// other process changes the index.
#include "OrvIndexManager.h"

#include "OrvDebug.h"
#include "OrvError.h"
#include "OrvException.h"
#include "index/OrvIndexBTree.h"
#include "index/OrvIndexFreeSpaceInventory.h"
#include "index/OrvIndexTreePage.h"
#include "index/OrvIndexVarcharTreeLeafPage.h"
#include "index/OrvIndexVarcharTreeNodePage.h"
#include "support/OrvTrace.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

const std::string STARS(42, '*');

void dumpPage(SegmentId segment, PageId pageId, bool full, bool recursive, std::set<PageId>& seen);

void dumpNode(SegmentId segment, const OrvIndexPageView& view, bool full, bool recursive,
              std::set<PageId>& seen) {
    if (full) {
        std::printf("%s\n", STARS.c_str());
    }
    std::printf("INNER NODE > SegmentId: %d, PageId: %d, SpaceLeft: %d, FirstChild: %d, PrevId: "
                "%d, NextId: %d, Number of Elements: %d\n",
                int(segment), int(view.pageId()),
                int(OrvIndexPage::ENTRY_SLOTS - view.numElements()), int(view.firstChild()),
                int(view.prevId()), int(view.nextId()), int(view.numElements()));
    if (full) {
        for (Uint16 i = 0; i < view.numElements(); ++i) {
            std::printf("[%d] -> %d (child: %d)\n", int(i), int(view.valueAt(i)),
                        int(view.childAt(i)));
        }
        std::printf("%s\n", STARS.c_str());
    }
    if (recursive) {
        std::vector<PageId> children{view.firstChild()};
        for (Uint16 i = 0; i < view.numElements(); ++i) {
            children.push_back(view.childAt(i));
        }
        for (PageId child : children) {
            dumpPage(segment, child, full, true, seen);
        }
    }
}

void dumpLeaf(SegmentId segment, const OrvIndexPageView& view, bool full) {
    const Uint16 n = view.numElements();
    if (!full) {
        std::printf("LEAF > SegmentId: %d, PageId: %d, PrevId: %d, NextId: %d, Number of "
                    "Elements: %d\n",
                    int(segment), int(view.pageId()), int(view.prevId()), int(view.nextId()),
                    int(n));
        return;
    }
    std::printf("%s\n", STARS.c_str());
    std::printf("********** LEAF (SID: %d PID: %d )**********\n", int(segment), int(view.pageId()));
    std::printf("**********  PrevID: %d NextID: %d **********\n", int(view.prevId()),
                int(view.nextId()));
    std::printf(" Number of Elements: %d **********\n", int(n));
    for (Uint16 i = 0; i < n; ++i) {
        if (i == 0) {
            std::printf("*");
        }
        const TupleId tid = view.tupleAt(i);
        std::printf("[%d;%d,%d]", int(view.valueAt(i)), int(tid.page), int(tid.slot));
        if (i != 0 && i % 5 == 0) {
            std::printf("*\n*");
        }
    }
    std::printf("\n%s\n\n", STARS.c_str());
}

// One page of the index: a tree page, or an inventory page. A page met
// twice in a recursive dump (a damaged tree) ends that branch.
void dumpPage(SegmentId segment, PageId pageId, bool full, bool recursive, std::set<PageId>& seen) {
    if (!seen.insert(pageId).second) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    OrvScopedPage page;
    try {
        page =
            OrvScopedPage(segment, pageId, OrvPage::BTreeIndexPage, OrvScopedPage::GetExistingPage);
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_BM_PAGETYPE_MISMATCH) {
            throw;
        }
        OrvIndexFreeSpaceInventory::getInstance()->dump(segment, pageId, full);
        return;
    }
    const OrvIndexPageView view(page->getPageData());
    if (view.isLeaf()) {
        dumpLeaf(segment, view, full);
    } else {
        dumpNode(segment, view, full, recursive, seen);
    }
    std::fflush(stdout);
}

// One page of a varchar index; its nodes are dumped without their children.
void dumpVarcharPage(SegmentId segment, PageId pageId, bool full) {
    std::unique_ptr<OrvIndexTreePage> page;
    try {
        page = OrvIndexTreePage::get(segment, pageId, VARCHAR);
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_BM_PAGETYPE_MISMATCH) {
            throw;
        }
        OrvIndexFreeSpaceInventory::getInstance()->dump(segment, pageId, full);
        return;
    }
    if (const auto* leaf = dynamic_cast<const OrvIndexVarcharTreeLeafPage*>(page.get())) {
        leaf->dump(full);
    } else {
        dynamic_cast<const OrvIndexVarcharTreeNodePage&>(*page).dump(full);
    }
}

// The arguments of a command: "info" or "dump", then `numbers` numbers.
bool parse(const std::string* args, std::size_t numbers, const char* usage, bool& full,
           std::vector<int>& values) {
    const std::vector<std::string> words = OrvDebug::splitArguments(args);
    if (words.size() != numbers + 1) {
        // Recorded as well as printed, so that a front end can tell a
        // refused call from a dump.
        OrvError::getErrorObject()->setError(IndexManager, ORV_PARAMETER_FAIL);
        std::printf("Wrong Parameters\n%s\n", usage);
        std::fflush(stdout);
        return false;
    }
    if (words[0] == "info") {
        full = false;
    } else if (words[0] == "dump") {
        full = true;
    } else {
        OrvError::getErrorObject()->setError(IndexManager, ORV_PARAMETER_FAIL);
        std::printf("Error\n%s is a unknown parameter\n", words[0].c_str());
        std::fflush(stdout);
        return false;
    }
    for (std::size_t i = 1; i < words.size(); ++i) {
        values.push_back(std::atoi(words[i].c_str()));
    }
    return true;
}

template <class Action> void guarded(Action&& action) {
    try {
        action();
    } catch (const OrvException& e) {
        // The failure stays recorded, so that it is not taken for an empty
        // dump.
        e.SET_ERROR();
        if (e.getErrorCode() == ORV_INTERNAL_FAIL) {
            std::printf("Error\n");
        }
    }
    std::fflush(stdout);
}

} // namespace

void OrvIndexManager::show(IndexId indexId, PageId start, PageId end, bool full) {
    ORV_TRACE(IndexManager);
    const bool recursive = end == 0xFFFE;
    if (!recursive && end < start) {
        ORV_THROW(ORV_NOT_FOUND_WARN);
    }
    OrvIndexBTree* tree = nullptr;
    try {
        tree = getIndex(indexId);
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_IM_INDEX_NOT_OPENED) {
            throw;
        }
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const SegmentId segment = tree->getSegmentId();
    tree->dump();
    if (tree->getDataType() == VARCHAR) {
        if (recursive) {
            OrvIndexFreeSpaceInventory::getInstance()->dump(segment, full);
            dumpVarcharPage(segment, start, full);
            return;
        }
        for (Uint32 p = start; p <= end; ++p) {
            try {
                dumpVarcharPage(segment, PageId(p), full);
            } catch (const OrvException& e) {
                if (e.getErrorCode() == ORV_BM_PAGE_NOT_FOUND) {
                    break;
                }
                throw;
            }
        }
        return;
    }
    std::set<PageId> seen;
    if (recursive) {
        OrvIndexFreeSpaceInventory::getInstance()->dump(segment, full);
        dumpPage(segment, start, full, true, seen);
        return;
    }
    for (Uint32 p = start; p <= end; ++p) {
        try {
            dumpPage(segment, PageId(p), full, false, seen);
        } catch (const OrvException& e) {
            if (e.getErrorCode() == ORV_BM_PAGE_NOT_FOUND) {
                break;
            }
            throw;
        }
    }
}

void OrvIndexManager::showLeaves(IndexId indexId, bool full) {
    ORV_TRACE(IndexManager);
    OrvIndexBTree* tree = getIndex(indexId);
    const SegmentId segment = tree->getSegmentId();
    tree->dump();
    if (tree->getDataType() == VARCHAR) {
        dumpVarcharPage(segment, OrvIndexPage::ROOT, full); // the single leaf
        return;
    }
    OrvScopedPage page(segment, OrvIndexPage::ROOT, OrvPage::BTreeIndexPage,
                       OrvScopedPage::GetExistingPage);
    std::set<PageId> seen{OrvIndexPage::ROOT};
    while (!OrvIndexPageView(page->getPageData()).isLeaf()) {
        const PageId child = OrvIndexPageView(page->getPageData()).firstChild();
        if (!seen.insert(child).second) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        page.exchange(segment, child, OrvPage::BTreeIndexPage);
    }
    for (;;) {
        const OrvIndexPageView view(page->getPageData());
        dumpLeaf(segment, view, full);
        const PageId next = view.nextId();
        if (next == 0) {
            break;
        }
        if (!seen.insert(next).second) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        page.exchange(segment, next, OrvPage::BTreeIndexPage);
    }
    std::fflush(stdout);
}

void OrvIndexManager::showInventory(IndexId indexId, bool full) {
    ORV_TRACE(IndexManager);
    const SegmentId segment = bufferMgr->convertIndexIdToSegmentId(indexId);
    if (segment == 0) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    bufferMgr->openSegment(segment);
    OrvIndexFreeSpaceInventory::getInstance()->dump(segment, full);
}

void OrvIndexManager::registerDebugCommands() {
    static bool registered = false;
    if (registered) {
        return;
    }
    registered = true;
    OrvDebug::registerFunction(&OrvIndexManager::debugIndexAll, nullptr, "index_all",
                               "Dumps all Pages of an Index");
    OrvDebug::registerFunction(&OrvIndexManager::debugIndexLeafs, nullptr, "index_leafs",
                               "Dumps only the leaf of an Index");
    OrvDebug::registerFunction(&OrvIndexManager::debugIndexPage, nullptr, "index_page",
                               "Dumps one page of the index");
    OrvDebug::registerFunction(&OrvIndexManager::debugIndexPages, nullptr, "index_pages",
                               "Dumps an interval of Pages of an Index");
    OrvDebug::registerFunction(&OrvIndexManager::debugIndexFsi, nullptr, "index_fsi",
                               "Dumps the FSI pages of the Index");
}

void OrvIndexManager::debugIndexAll(const std::string* args) {
    bool full = false;
    std::vector<int> v;
    if (parse(args, 1, "USAGE: show index_all info|dump <indexId>", full, v)) {
        guarded([&] { getInstance()->show(IndexId(v[0]), 1, 0xFFFE, full); });
    }
}

void OrvIndexManager::debugIndexLeafs(const std::string* args) {
    bool full = false;
    std::vector<int> v;
    if (parse(args, 1, "USAGE: show index_leafs info|dump <indexId> ", full, v)) {
        guarded([&] { getInstance()->showLeaves(IndexId(v[0]), full); });
    }
}

void OrvIndexManager::debugIndexPage(const std::string* args) {
    bool full = false;
    std::vector<int> v;
    if (parse(args, 2, "USAGE: show index_page info|dump <indexId> <pageId>", full, v)) {
        guarded([&] { getInstance()->show(IndexId(v[0]), PageId(v[1]), PageId(v[1]), full); });
    }
}

void OrvIndexManager::debugIndexPages(const std::string* args) {
    bool full = false;
    std::vector<int> v;
    if (parse(args, 3, "USAGE: show index_pages info|dump <indexId> <pageId1> <pageId2>", full,
              v)) {
        guarded([&] { getInstance()->show(IndexId(v[0]), PageId(v[1]), PageId(v[2]), full); });
    }
}

void OrvIndexManager::debugIndexFsi(const std::string* args) {
    bool full = false;
    std::vector<int> v;
    if (parse(args, 1, "USAGE: show index_fsi info|dump <indexId>", full, v)) {
        guarded([&] { getInstance()->showInventory(IndexId(v[0]), full); });
    }
}
