// Tree pages and the index inventory: entries stay inside their pages,
// page ids never wrap or reuse a page that exists, undo and redo give back
// exactly the logged images, and a change whose log entry cannot be written
// leaves every page as it was.
#include "IndexTestSupport.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

using namespace indextest;

using IndexPageTest = IndexTest;

// Sets a raw 16-bit field of a page image (to damage it, or to age the
// inventory's counter as a crash would).
void pokeU16(SegmentId segment, PageId page, OrvPage::PageType type, Uint32 offset, Uint16 value) {
    OrvScopedPage fixed(segment, page, type, OrvScopedPage::GetExistingPage);
    std::memcpy(fixed->getPageData() + offset, &value, sizeof value);
}

// A full node holds 508 entries and a full leaf 509, and neither writes
// past its page into the frame fields behind it; positions beyond the
// entries and damaged counters are refused.
TEST_F(IndexPageTest, EntriesStayInsideTheirPage) {
    start(false);
    OrvIndexFreeSpaceInventory* fsi = OrvIndexFreeSpaceInventory::getInstance();
    {
        std::unique_ptr<OrvIndexTreePage> page = fsi->getFreeNodePage(segment, INTEGER);
        auto& node = static_cast<OrvIndexTreeNodePage&>(*page);
        const PageId id = node.pageId();
        // An empty node takes the smaller page as its firstChild.
        ASSERT_TRUE(node.insert(100, key(0), 101));
        EXPECT_EQ(100, node.getFirstChild());
        EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { node.insert(555, key(1), 556); }));
        // Each new separator directly behind the child that split.
        for (Sint32 k = 1; k < 600; ++k) {
            const bool taken = node.insert(PageId(100 + k), key(k), PageId(101 + k));
            if (!taken) {
                EXPECT_EQ(508, k);
                break;
            }
        }
        EXPECT_EQ(508, node.numElements());
        EXPECT_TRUE(node.isFull());
        EXPECT_EQ(1, node.spaceLeft());
        EXPECT_EQ(608, node.getLastChild());
        OrvPage* frame = nullptr;
        OrvBufferManager::getInstance()->getPage(segment, id, OrvPage::BTreeIndexPage, frame);
        EXPECT_EQ(segment, frame->getSegmentId());
        EXPECT_EQ(id, frame->getPageId());
        EXPECT_EQ(OrvPage::BTreeIndexPage, frame->getPageType());
        OrvBufferManager::getInstance()->releasePage(frame);
        EXPECT_FALSE(node.deleteKeyAt(508));
        EXPECT_TRUE(node.deleteKeyAt(507));
        EXPECT_TRUE(node.view().problems().empty());
    }
    {
        std::unique_ptr<OrvIndexTreePage> page = fsi->getFreeLeafPage(segment, INTEGER);
        auto& leaf = static_cast<OrvIndexTreeLeafPage&>(*page);
        ASSERT_TRUE(leaf.insert(key(5), TupleId(1, 1)));
        ASSERT_TRUE(leaf.insert(key(3), TupleId(1, 2)));
        ASSERT_TRUE(leaf.insert(key(5), TupleId(1, 3)));
        EXPECT_EQ(TupleId(1, 2), leaf.getTupleAt(0));
        // The later 5 in front of the earlier one.
        EXPECT_EQ(TupleId(1, 3), leaf.getTupleAt(1));
        EXPECT_EQ(TupleId(1, 1), leaf.getTupleAt(2));
        EXPECT_EQ(TupleId(0, 0), leaf.getTupleAt(3));
        EXPECT_FALSE(leaf.deleteKeyAt(3));
        EXPECT_EQ(3, leaf.numElements());
        for (Sint32 k = 0; k < 506; ++k) {
            ASSERT_TRUE(leaf.insert(key(1000 + k), TupleId(2, 0)));
        }
        EXPECT_TRUE(leaf.isFull());
        EXPECT_FALSE(leaf.insert(key(7), TupleId(3, 0)));
        EXPECT_EQ(509, leaf.numElements());
        EXPECT_EQ(1505, leaf.getLastValue().intKey);

        // A counter that claims more entries than fit is refused, not read.
        const PageId id = leaf.pageId();
        pokeU16(segment, id, OrvPage::BTreeIndexPage, 18, 0xFFF0);
        EXPECT_FALSE(leaf.view().problems().empty());
        EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { leaf.numElements(); }));
        EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { leaf.deleteKeyAt(0); }));
        pokeU16(segment, id, OrvPage::BTreeIndexPage, 18, 0);
        EXPECT_TRUE(leaf.view().problems().empty());
    }
    commit();
}

// The inventory: ids in order from 1, free ids reused last in first out,
// an emptied slot reused, at most 2037 ids on a page, and page 1 never
// listed.
TEST_F(IndexPageTest, TheInventoryHandsOutEachPageOnce) {
    start(false);
    OrvIndexFreeSpaceInventory* fsi = OrvIndexFreeSpaceInventory::getInstance();
    testing::internal::CaptureStdout();
    fsi->dump(segment, false);
    EXPECT_EQ("Index FSI Page > SegmentId: " + std::to_string(segment) +
                  ", PageId: 0, NextId: 0, LastId: 1, numElements: 0\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(2, fsi->getFreeLeafPage(segment, INTEGER)->pageId());
    EXPECT_EQ(3, fsi->getFreeLeafPage(segment, INTEGER)->pageId());
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { fsi->setFreePageId(segment, 1); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { fsi->setFreePageId(segment, 4); }));
    fsi->setFreePageId(segment, 3);
    EXPECT_EQ(3, fsi->getFreeLeafPage(segment, INTEGER)->pageId());
    fsi->setFreePageId(segment, 2);
    fsi->removeFreePageId(segment, 2);
    fsi->setFreePageId(segment, 3);
    EXPECT_EQ(std::vector<PageId>{3}, fsi->freePageIds(segment));
    fsi->removeFreePageId(segment, 3);
    // The emptied slot is popped: a new id instead.
    EXPECT_EQ(4, fsi->getFreeLeafPage(segment, INTEGER)->pageId());

    // 2100 listed ids: 2037 on page 0, the rest on a chain page.
    while (fsi->getLastPageId(segment) < 2200) {
        fsi->generateNewPageId(segment);
    }
    for (PageId id = 10; id < 2110; ++id) {
        fsi->setFreePageId(segment, id);
    }
    const std::vector<PageId> chain = fsi->chainPages(segment);
    ASSERT_EQ(2u, chain.size());
    EXPECT_EQ(2201, chain[1]);
    OrvPage* frame = nullptr;
    OrvBufferManager::getInstance()->getPage(segment, 0, OrvPage::FreeSpaceInventoryPage, frame);
    EXPECT_EQ(segment, frame->getSegmentId());
    EXPECT_EQ(0, frame->getPageId());
    Uint16 count = 0;
    std::memcpy(&count, frame->getPageData() + 20, sizeof count);
    EXPECT_EQ(2037, count);
    OrvBufferManager::getInstance()->releasePage(frame);
    EXPECT_EQ(2100u, fsi->freePageIds(segment).size());
    // Last in, first out: the chain page's ids first.
    EXPECT_EQ(2109, fsi->getFreeLeafPage(segment, INTEGER)->pageId());
    commit();
    expectSound();
}

// Ids never wrap past 65534 into the inventory's page 0, and after a crash
// left the counter behind pages that exist, those pages are passed over.
TEST_F(IndexPageTest, PageIdsNeitherWrapNorReuseExistingPages) {
    start(true);
    for (Sint32 k = 0; k < 510; ++k) {
        ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(k), TupleId(1, 0)));
    }
    commit();
    ASSERT_EQ(3, OrvIndexFreeSpaceInventory::getInstance()->getLastPageId(segment));
    // The counter as an unlogged inventory page may come back after a crash.
    pokeU16(segment, 0, OrvPage::FreeSpaceInventoryPage, 18, 1);
    Sint32 k = 510;
    while (shape().leaves < 3) {
        ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(k), TupleId(1, 0)));
        ++k;
    }
    EXPECT_EQ(4, OrvIndexFreeSpaceInventory::getInstance()->getLastPageId(segment));
    {
        std::unique_ptr<OrvIndexTreePage> root = OrvIndexTreePage::get(segment, 1, INTEGER);
        EXPECT_EQ(4, root->view().childAt(1));
    }
    expectSound();
    commit();

    // The last id.
    pokeU16(segment, 0, OrvPage::FreeSpaceInventoryPage, 18, ORV_MAX_PAGE_ID);
    EXPECT_EQ(ORV_IM_NO_MORE_PAGES, codeOf([&] {
                  OrvIndexFreeSpaceInventory::getInstance()->generateNewPageId(segment);
              }));
    const Uint64 before = shape().entries;
    Uint64 added = 0;
    OrvErrorCode code = ORV_SUCCESS;
    for (; code == ORV_SUCCESS; ++k) {
        code = codeOf([&] { ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(k), TupleId(1, 0))); });
        added += code == ORV_SUCCESS ? 1 : 0;
    }
    EXPECT_EQ(ORV_IM_NO_MORE_PAGES, code);
    EXPECT_EQ(ORV_MAX_PAGE_ID, OrvIndexFreeSpaceInventory::getInstance()->getLastPageId(segment));
    // The refused insert changed nothing.
    EXPECT_EQ(before + added, shape().entries);
    expectSound();
    TupleId tid;
    EXPECT_EQ(ORV_NOT_FOUND_WARN, tree.find(TEST_INDEX, key(k - 1), tid));
    EXPECT_EQ(ORV_SUCCESS, tree.find(TEST_INDEX, key(k - 2), tid));
    commit();
}

// Undoes the entries from the last to the first: each gives back exactly
// its before image, the page having shown its after image just before.
// Then redoes them from the first to the last the same way.
void undoAndRedo(SegmentId segment, const std::vector<LoggedImage>& images) {
    for (std::size_t i = images.size(); i-- > 0;) {
        const LoggedImage& image = images[i];
        {
            std::unique_ptr<OrvIndexTreePage> page =
                OrvIndexTreePage::get(segment, image.page, INTEGER);
            ASSERT_EQ(withoutLsn(image.after.data()), withoutLsn(page->image())) << "entry " << i;
            page->undoOperation(image.before.data(), int(image.before.size()));
            ASSERT_EQ(withoutLsn(image.before.data()), withoutLsn(page->image())) << "entry " << i;
        }
        if (i % 1000 == 0) {
            commit();
        }
    }
    commit();
    for (std::size_t i = 0; i < images.size(); ++i) {
        const LoggedImage& image = images[i];
        {
            std::unique_ptr<OrvIndexTreePage> page =
                OrvIndexTreePage::get(segment, image.page, INTEGER);
            ASSERT_EQ(withoutLsn(image.before.data()), withoutLsn(page->image())) << "entry " << i;
            page->redoOperation(image.after.data(), int(image.after.size()));
            ASSERT_EQ(withoutLsn(image.after.data()), withoutLsn(page->image())) << "entry " << i;
        }
        if (i % 1000 == 0) {
            commit();
        }
    }
    commit();
}

// Every logged change undone and redone gives back exactly the images of its
// entry, through leaf splits, node splits and both kinds of root
// extraction. Undo and redo list no page as free: a root emptied by undo is
// still the root when the tree grows again.
TEST_F(IndexPageTest, UndoAndRedoGiveBackExactlyTheLoggedImages) {
    start(false);
    const std::size_t initial = loggedImages(segment).size();
    // One key, undone: the emptied root stays in use.
    ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(3), TupleId(1, 0)));
    commit();
    std::vector<LoggedImage> images = loggedImages(segment);
    ASSERT_EQ(initial + 1, images.size());
    undoAndRedo(segment, {images.back()});
    {
        std::unique_ptr<OrvIndexTreePage> root = OrvIndexTreePage::get(segment, 1, INTEGER);
        root->undoOperation(images.back().before.data(), int(ORV_PAGE_SIZE));
    }
    commit();
    EXPECT_EQ(0u, shape().entries);
    EXPECT_TRUE(OrvIndexFreeSpaceInventory::getInstance()->freePageIds(segment).empty());

    // A root leaf split, then many leaf splits, undone to the empty root and
    // redone.
    const std::size_t beforeSplits = loggedImages(segment).size();
    Uint32 n = 0;
    for (; n < 1200; ++n) {
        ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(Sint32(n % 5 == 0 ? 5 : n)), TupleId(1, 0)));
    }
    tree.deleteKey(key(5));
    commit();
    images = loggedImages(segment);
    images.erase(images.begin(), images.begin() + std::ptrdiff_t(beforeSplits));
    undoAndRedo(segment, images);
    expectSound();
    EXPECT_EQ(2u, shape().height);
    EXPECT_TRUE(OrvIndexFreeSpaceInventory::getInstance()->freePageIds(segment).empty());

    // Near the root node's split: the entries of the last stretch, with the
    // node splits and the extraction of the root node.
    while (shape().leaves < 500) {
        for (int i = 0; i < 1000; ++i, ++n) {
            ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(Sint32(n)), TupleId(1, 0)));
        }
        commit();
    }
    const std::size_t beforeRootSplit = loggedImages(segment).size();
    while (shape().height < 3) {
        for (int i = 0; i < 200; ++i, ++n) {
            ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(Sint32(n)), TupleId(1, 0)));
        }
    }
    commit();
    images = loggedImages(segment);
    images.erase(images.begin(), images.begin() + std::ptrdiff_t(beforeRootSplit));
    ASSERT_LT(images.size(), 10000u);
    undoAndRedo(segment, images);
    expectSound();
    EXPECT_EQ(3u, shape().height);
    TupleId tid;
    EXPECT_EQ(ORV_NOT_FOUND_WARN, tree.find(TEST_INDEX, key(5), tid));
    ASSERT_EQ(ORV_SUCCESS, tree.find(TEST_INDEX, key(Sint32(n - 1)), tid));

    // The compensation entries name their kinds.
    const std::vector<LoggedImage> all = loggedImages(segment);
    EXPECT_EQ(INTEGER_UNDO, all[all.size() - 2 * images.size()].type);
    EXPECT_EQ(INTEGER_REDO, all.back().type);

    // An image of another page, or of the wrong length, is refused before
    // anything changes.
    std::unique_ptr<OrvIndexTreePage> root = OrvIndexTreePage::get(segment, 1, INTEGER);
    const std::string rootBefore = withoutLsn(root->image());
    const LoggedImage* other = nullptr;
    for (const LoggedImage& image : images) {
        if (image.page != 1) {
            other = &image;
            break;
        }
    }
    ASSERT_NE(nullptr, other);
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] {
                  root->undoOperation(other->before.data(), int(other->before.size()));
              }));
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { root->redoOperation(images[0].after.data(), 100); }));
    EXPECT_EQ(rootBefore, withoutLsn(root->image()));
    root.reset();
    commit();
}

// A root split whose log entries cannot all be written (the log file may
// not grow): every page of the split keeps its image, the tree stays sound,
// and the same insert goes through once the log can be written again.
TEST_F(IndexPageTest, AFailedLogWriteLeavesEveryPageAsItWas) {
    start(false);
    for (Sint32 k = 0; k < 509; ++k) {
        ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(k), TupleId(1, 0)));
    }
    commit();
    const std::string rootBefore = pageBytes(segment, 1);

    struct stat status {};
    ASSERT_EQ(0, stat("1.log", &status));
    rlimit old{};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    // Room for one page entry of the split, not for all of them.
    rlimit limited = old;
    limited.rlim_cur = rlim_t(status.st_size) + 12000;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
    const OrvErrorCode code = codeOf([&] { (void)tree.insertKey(key(100), TupleId(2, 0)); });
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &old));
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(ORV_LOGM_FILE_WRITE_FAILED, code);

    EXPECT_EQ(rootBefore, pageBytes(segment, 1));
    expectSound();
    EXPECT_EQ(1u, shape().height);
    EXPECT_EQ(509u, shape().entries);

    ASSERT_EQ(ORV_SUCCESS, tree.insertKey(key(100), TupleId(2, 0)));
    EXPECT_EQ(2u, shape().height);
    EXPECT_EQ(510u, shape().entries);
    expectSound();
    commit();
}

} // namespace
