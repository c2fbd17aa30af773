// The free space inventory of a table: page id allocation and reservation,
// entries that follow their pages' free space, the search for a page with
// room, adoption of pages that have no entry, and allocation by several
// processes at once. Every test ends with the inventory's structure check.
#include "RecordTestSupport.h"

#include "common/OrvTestSync.h"

#include <map>
#include <random>
#include <set>

namespace {

using namespace recordtest;

constexpr TableId TABLE = 5;

class FsiTest : public ::testing::Test {
protected:
    void SetUp() override {
        LM::initializeLockList();
        OrvBufferManager::initializeBuffer();
    }

    // The managers of this process, with the table's segment made and open.
    void startManagers(bool makeSegment = true) {
        bm = OrvBufferManager::getInstance();
        segment = bm->convertTableIdToSegmentId(TABLE);
        if (makeSegment) {
            bm->createSegment(segment);
        }
        bm->openSegment(segment);
        bm->commit();
        lm = LM::getInstance();
    }

    void TearDown() override {
        if (bm != nullptr) {
            expectSoundInventory();
            EXPECT_EQ(0u, OrvBufferManager::getFixesOfThisProcess());
        }
        OrvSystem::stopAllManagers();
    }

    void expectSoundInventory() {
        const std::vector<std::string> problems = OrvFsi::checkSegment(segment);
        EXPECT_TRUE(problems.empty())
            << problems.size() << " problems, first: " << problems.front();
    }

    // The next page id, and the page created as an insertion creates it.
    PageId newPage() {
        PageId pageId = 0;
        Access::getNewPageId(TABLE, pageId);
        OrvScopedPage page(segment, pageId, OrvPage::DataPage, OrvScopedPage::CreateNewPage);
        lm->requestPage(segment, pageId, LM::ExclusiveLock);
        Access::updateFreeSpace(page.getPage(), false);
        return pageId;
    }

    // Places a record on the page with the page-local operations; false
    // when the page has no room (nothing changed then).
    bool insertOn(PageId pageId, const std::string& text, TupleId& tid) {
        lm->requestPage(segment, pageId, LM::ExclusiveLock);
        OrvScopedPage page(segment, pageId, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        SlotId slotId = 0;
        Uint16 offset = 0;
        const OrvErrorCode slotCode = codeOf([&] {
            Access::getFreeSlotId(reinterpret_cast<const SlotPageHeader*>(page->getPageData()),
                                  slotId);
        });
        if (slotCode != ORV_SUCCESS) {
            return false;
        }
        const Uint16 length = static_cast<Uint16>(text.size());
        if (codeOf([&] { Access::calcOffset(page.getPage(), length, offset); }) != ORV_SUCCESS) {
            return false;
        }
        Access::insertRecordOnPage(page.getPage(), slotId, OrvRecord(text.data(), length),
                                   RM::PrimaryRecord, offset);
        Access::updateFreeSpace(page.getPage(), false);
        tid = TupleId(pageId, slotId);
        return true;
    }

    std::string read(const TupleId& tid) {
        lm->requestPage(segment, tid.page, LM::SharedLock);
        OrvScopedPage page(segment, tid.page, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        OrvRecord* record = nullptr;
        Access::getRecordFromPage(page.getPage(), tid, record);
        std::unique_ptr<OrvRecord> owned(record);
        return std::string(owned->getRecordData(), owned->getLength());
    }

    FsiEntry entryOf(PageId pageId) {
        FsiEntry entry{};
        Access::findFsiEntry(segment, pageId, entry);
        return entry;
    }

    Uint32 countOf(PageId fsiPage) {
        OrvScopedPage page(segment, fsiPage, OrvPage::FreeSpaceInventoryPage,
                           OrvScopedPage::GetExistingPage);
        return OrvFsiPageView(*page.getPage()).countEntries();
    }

    orvtest::TestDatabase db;
    OrvBufferManager* bm = nullptr;
    LM* lm = nullptr;
    SegmentId segment = 0;
};

FsiEntry entry(Uint8 freeSpace, Uint8 block) {
    FsiEntry e;
    e.freeSpace = freeSpace;
    e.freeSpaceBlock = block;
    return e;
}

TEST_F(FsiTest, PagesAreHandedOutInOrderAroundTheInventoryPages) {
    startManagers();
    // No inventory page yet: the first id creates page 0.
    EXPECT_EQ(1, newPage());
    EXPECT_EQ(1u, countOf(0));
    EXPECT_EQ(entry(254, 254), entryOf(1));
    EXPECT_EQ(ORV_RM_NO_FSI_ENTRY_FOR_PAGE, codeOf([&] { entryOf(2); }));
    const OrvException onInventory = exceptionOf([&] { entryOf(255); });
    EXPECT_EQ(ORV_RM_FSI_ENTRY_NOT_ALLOWED, onInventory.getErrorCode());
    EXPECT_EQ("255", onInventory.getToken(1));
    EXPECT_EQ(std::to_string(segment), onInventory.getToken(2));
    EXPECT_EQ(ORV_RM_FSI_ENTRY_NOT_ALLOWED,
              codeOf([&] { Access::updateFsiEntry(segment, 510, entry(1, 1)); }));
    EXPECT_EQ(ORV_RM_NO_FSI_ENTRY_FOR_PAGE,
              codeOf([&] { Access::updateFsiEntry(segment, 7, entry(1, 1)); }));

    for (PageId expected = 2; expected <= 254; ++expected) {
        ASSERT_EQ(expected, newPage());
    }
    EXPECT_EQ(254u, countOf(0));
    // Page 255 is the next inventory page, made by the next allocation.
    EXPECT_EQ(ORV_BM_PAGE_NOT_FOUND, codeOf([&] { countOf(255); }));
    EXPECT_EQ(256, newPage());
    EXPECT_EQ(1u, countOf(255));
    EXPECT_EQ(entry(254, 254), entryOf(256));
}

TEST_F(FsiTest, EntriesFollowTheFreeSpaceOfTheirPagesInUnitsOf16Bytes) {
    startManagers();
    const PageId page = newPage();
    TupleId tid;
    ASSERT_TRUE(insertOn(page, bytes(100, 1), tid));
    // 4096 - 40 (directory and spare slot) - 100 = 3956 bytes, 247 units.
    EXPECT_EQ(entry(247, 247), entryOf(page));
    // Five more bytes (and a slot): 3956 - 8 - 5 = 3943, still 246 units.
    ASSERT_TRUE(insertOn(page, bytes(5, 2), tid));
    EXPECT_EQ(entry(246, 246), entryOf(page));
    ASSERT_TRUE(insertOn(page, bytes(3900, 3), tid));
    EXPECT_EQ(entry(2, 2), entryOf(page));
    EXPECT_EQ(bytes(3900, 3), read(tid));
}

TEST_F(FsiTest, SearchReadsEntriesFirstAndFindsOnlyPagesWithRoom) {
    startManagers();
    const PageId full = newPage();
    const PageId empty = newPage();
    TupleId tid;
    ASSERT_TRUE(insertOn(full, bytes(4000, 1), tid));
    // The largest record, 4055 bytes, is searched with 4063 and needs 254
    // units: only an empty page has them.
    EXPECT_EQ(empty, Access::findFreeMemoryBlock(TABLE, 4063, 1));
    EXPECT_EQ(full, Access::findFreeMemoryBlock(TABLE, 20, 1));
    // From the second page on, the first is not looked at.
    EXPECT_EQ(empty, Access::findFreeMemoryBlock(TABLE, 20, empty));
    ASSERT_TRUE(insertOn(empty, bytes(4000, 2), tid));
    EXPECT_EQ(ORV_RM_NO_MEMORY_BLOCK_FOUND_WARN,
              codeOf([&] { Access::findFreeMemoryBlock(TABLE, 100, 0); }));
    // The search keeps the entry and page locks of the page it found, once.
    EXPECT_TRUE(lm->existsLock(segment, 0, Access::getFsiSlot(full)));
}

// The entry lock a transaction holds until its end is never given back by
// a free space update, and a search that finds the same page again adds no
// second lock entry: one release frees the entry.
TEST_F(FsiTest, TheTransactionsEntryLockIsKeptOnceAndNeverReleasedEarly) {
    startManagers();
    const PageId page = newPage(); // holds the new page's entry lock
    const SlotId slot = Access::getFsiSlot(page);
    ASSERT_TRUE(lm->existsLock(segment, 0, slot));
    TupleId tid;
    ASSERT_TRUE(insertOn(page, bytes(500, 1), tid)); // updates without holdLock
    EXPECT_TRUE(lm->existsLock(segment, 0, slot));
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(page, Access::findFreeMemoryBlock(TABLE, 100, 1));
    }
    {
        OrvScopedPage fixed(segment, page, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        Access::updateFreeSpace(fixed.getPage(), true);
    }
    lm->releaseSlot(segment, 0, slot);
    EXPECT_FALSE(lm->existsLock(segment, 0, slot));
}

// A page that reached its file while its inventory page did not has no
// entry. The next allocation must not hand its id out to be created over
// it: the page is adopted with its real free space, its records kept.
TEST_F(FsiTest, PagesWithoutAnEntryAreAdoptedNeverCreatedOver) {
    startManagers();
    EXPECT_EQ(1, newPage());
    // Page 2 made behind the inventory's back, with a record, in the pool.
    { OrvScopedPage page(segment, 2, OrvPage::DataPage, OrvScopedPage::CreateNewPage); }
    // Page 3 too, and then written to the file only.
    { OrvScopedPage page(segment, 3, OrvPage::DataPage, OrvScopedPage::CreateNewPage); }
    TupleId inPool;
    TupleId inFile;
    const auto place = [&](PageId pageId, const std::string& text, TupleId& tid) {
        lm->requestPage(segment, pageId, LM::ExclusiveLock);
        OrvScopedPage page(segment, pageId, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        Uint16 offset = 0;
        Access::calcOffset(page.getPage(), static_cast<Uint16>(text.size()), offset);
        Access::insertRecordOnPage(page.getPage(), 0,
                                   OrvRecord(text.data(), static_cast<Uint16>(text.size())),
                                   RM::PrimaryRecord, offset);
        tid = TupleId(pageId, 0);
    };
    place(2, bytes(1000, 7), inPool);
    place(3, bytes(2000, 8), inFile);
    // The pool goes away (a restart): every page is in the files now, but
    // the inventory page forgets page 2 and 3 as its stored image did.
    {
        OrvScopedPage fsi(segment, 0, OrvPage::FreeSpaceInventoryPage,
                          OrvScopedPage::GetExistingPage);
        EXPECT_EQ(1u, OrvFsiPageView(*fsi.getPage()).countEntries());
    }
    OrvSystem::stopAllManagers();
    OrvBufferManager::destroyBuffer();
    OrvBufferManager::initializeBuffer();
    startManagers(false);

    // Page 2 is read back into the pool; page 3 stays in its file.
    { OrvScopedPage page(segment, 2, OrvPage::DataPage, OrvScopedPage::GetExistingPage); }
    PageId pageId = 0;
    Access::getNewPageId(TABLE, pageId);
    EXPECT_EQ(4, pageId);
    EXPECT_EQ(bytes(1000, 7), read(inPool));
    EXPECT_EQ(bytes(2000, 8), read(inFile));
    // Real free space: 4096 - 40 - 1000 = 3056 (191 units), 4096 - 40 - 2000.
    EXPECT_EQ(entry(191, 191), entryOf(2));
    EXPECT_EQ(entry(128, 128), entryOf(3));
    EXPECT_EQ(4u, countOf(0));
    // Creating the reserved page works (nothing is in its way).
    OrvScopedPage page(segment, pageId, OrvPage::DataPage, OrvScopedPage::CreateNewPage);
    lm->requestPage(segment, pageId, LM::ExclusiveLock);
    Access::updateFreeSpace(page.getPage(), false);
    // Pages 2 and 3 kept their header fields; bring them up to date as the
    // next change would, so the structure check compares like with like.
    for (PageId adopted : {PageId(2), PageId(3)}) {
        OrvScopedPage p(segment, adopted, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        Access::updateFreeSpace(p.getPage(), false);
    }
}

TEST_F(FsiTest, AddingAnEntryUsesAnInventoryPageThatExistsAlready) {
    startManagers();
    // Made (by "another process") before the entry is added: the entry goes
    // onto it, and what is on it stays.
    EXPECT_EQ(1, newPage());
    {
        OrvScopedPage fsi;
        Access::createFsiPage(segment, 0, fsi);
        EXPECT_EQ(1u, OrvFsiPageView(*fsi.getPage()).countEntries());
    }
    {
        OrvScopedPage page(segment, 2, OrvPage::DataPage, OrvScopedPage::CreateNewPage);
        lm->requestPage(segment, 2, LM::ExclusiveLock);
        Access::addFsiEntry(TABLE, 2, entry(254, 254));
        Access::updateFreeSpace(page.getPage(), false);
    }
    EXPECT_EQ(2u, countOf(0));
    EXPECT_EQ(entry(254, 254), entryOf(1));
    // A page further on: the pages between are reserved, the count covers it.
    {
        OrvScopedPage page(segment, 6, OrvPage::DataPage, OrvScopedPage::CreateNewPage);
        lm->requestPage(segment, 6, LM::ExclusiveLock);
        Access::addFsiEntry(TABLE, 6, entry(254, 254));
        Access::updateFreeSpace(page.getPage(), false);
    }
    EXPECT_EQ(6u, countOf(0));
    EXPECT_EQ(entry(254, 254), entryOf(4));
    PageId next = 0;
    Access::getNewPageId(TABLE, next);
    EXPECT_EQ(7, next);
    OrvScopedPage page(segment, next, OrvPage::DataPage, OrvScopedPage::CreateNewPage);
    lm->requestPage(segment, next, LM::ExclusiveLock);
    Access::updateFreeSpace(page.getPage(), false);
    EXPECT_EQ(ORV_RM_FSI_ENTRY_NOT_ALLOWED,
              codeOf([&] { Access::addFsiEntry(TABLE, 255, entry(254, 254)); }));
}

// Random allocations, insertions, removals and searches against a model of
// the pages: after every step every record reads back, every page passes
// its check, and the inventory matches the pages.
TEST_F(FsiTest, RandomWorkAgreesWithAModel) {
    startManagers();
    std::mt19937 random(20261208);
    std::map<TupleId, std::string, bool (*)(const TupleId&, const TupleId&)> records(
        [](const TupleId& a, const TupleId& b) {
            return a.page != b.page ? a.page < b.page : a.slot < b.slot;
        });
    std::vector<PageId> pages;
    PageId expectedNext = 1;
    for (int step = 0; step < 400; ++step) {
        const int kind = static_cast<int>(random() % 10);
        if (pages.empty() || kind == 0) {
            ASSERT_EQ(expectedNext, newPage()) << "step " << step;
            pages.push_back(expectedNext);
            ++expectedNext;
            if (expectedNext % 255 == 0) {
                ++expectedNext;
            }
        } else if (kind <= 5) {
            const PageId pageId = pages[random() % pages.size()];
            const std::string text =
                bytes(1 + random() % (random() % 2 ? 100 : 1500), static_cast<int>(step));
            TupleId tid;
            if (insertOn(pageId, text, tid)) {
                ASSERT_EQ(0u, records.count(tid)) << "step " << step;
                records[tid] = text;
            }
        } else if (kind <= 7 && !records.empty()) {
            auto it = records.begin();
            std::advance(it, random() % records.size());
            const TupleId tid = it->first;
            lm->requestPage(segment, tid.page, LM::ExclusiveLock);
            OrvScopedPage page(segment, tid.page, OrvPage::DataPage,
                               OrvScopedPage::GetExistingPage);
            OrvDataPageWriter writer(*page.getPage());
            const Slot old = writer.slot(tid.slot);
            const std::string zeros(old.recordLength, '\0');
            writer.writeBytes(old.offset, zeros.data(), old.recordLength);
            writer.setSlot(tid.slot, makeSlot(0, 0, RM::PrimaryRecord));
            Access::updateFreeSpace(page.getPage(), true);
            records.erase(it);
        } else {
            // The model's answer: the first page from `first` on whose
            // recorded largest block has the units.
            const Uint16 numBytes = static_cast<Uint16>(1 + random() % 4063);
            const PageId first = pages[random() % pages.size()];
            const Uint32 needed = (numBytes + 16u) >> 4;
            PageId expected = 0;
            for (PageId candidate : pages) {
                if (candidate < first) {
                    continue;
                }
                OrvScopedPage page(segment, candidate, OrvPage::DataPage,
                                   OrvScopedPage::GetExistingPage);
                if ((OrvDataPageView(*page.getPage()).header().consecFreeSpace >> 4) >= needed) {
                    expected = candidate;
                    break;
                }
            }
            PageId found = 0;
            const OrvErrorCode code =
                codeOf([&] { found = Access::findFreeMemoryBlock(TABLE, numBytes, first); });
            if (expected == 0) {
                EXPECT_EQ(ORV_RM_NO_MEMORY_BLOCK_FOUND_WARN, code) << "step " << step;
            } else {
                EXPECT_EQ(ORV_SUCCESS, code) << "step " << step;
                EXPECT_EQ(expected, found) << "step " << step;
            }
        }
        for (PageId pageId : pages) {
            OrvScopedPage page(segment, pageId, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
            const std::vector<std::string> problems =
                OrvDataPage::checkStructure(page->getPageData());
            ASSERT_TRUE(problems.empty())
                << "step " << step << ", page " << pageId << ": " << problems.front();
        }
        for (const auto& record : records) {
            ASSERT_EQ(record.second, read(record.first)) << "step " << step;
        }
        // The whole inventory (which looks at every page id) now and then.
        if (step % 25 == 0) {
            const std::vector<std::string> problems = OrvFsi::checkSegment(segment);
            ASSERT_TRUE(problems.empty()) << "step " << step << ": " << problems.front();
        }
        ASSERT_EQ(0u, OrvBufferManager::getFixesOfThisProcess());
    }
    EXPECT_GT(pages.size(), 20u);
    EXPECT_GT(records.size(), 50u);
}

// Several processes allocate pages of one table at once: every id is handed
// out once, every page created keeps the record its process put there, and
// the inventory counts each page once.
TEST_F(FsiTest, ProcessesAllocatingAtOnceNeverShareAPage) {
    constexpr int PROCESSES = 4;
    constexpr int PAGES_EACH = 40;
    ASSERT_EQ(0, orvtest::runInChild([this] {
                  startManagers();
                  bm = nullptr;
                  OrvSystem::stopAllManagers();
                  return 0;
              }));
    orvtest::Pipe ids;
    orvtest::Pipe go;
    std::vector<std::unique_ptr<orvtest::ChildProcess>> children;
    for (int child = 0; child < PROCESSES; ++child) {
        children.push_back(std::make_unique<orvtest::ChildProcess>([&, child] {
            try {
                startManagers(false);
                if (!go.receive()) {
                    return 2;
                }
                for (int k = 0; k < PAGES_EACH; ++k) {
                    const PageId pageId = newPage();
                    TupleId tid;
                    const std::string mark =
                        "process " + std::to_string(child) + " page " + std::to_string(pageId);
                    if (!insertOn(pageId, mark, tid) || tid.slot != 0) {
                        return 3;
                    }
                    ids.send(pageId);
                }
                bm = nullptr;
                OrvSystem::stopAllManagers();
                return 0;
            } catch (const OrvException& e) {
                return 10 + (-e.getErrorCode() % 100);
            }
        }));
    }
    for (int child = 0; child < PROCESSES; ++child) {
        go.send();
    }
    for (auto& child : children) {
        EXPECT_EQ(0, child->wait());
    }
    std::set<PageId> seen;
    int value = 0;
    while (ids.ready(0) && ids.receiveValue(value)) {
        EXPECT_TRUE(seen.insert(static_cast<PageId>(value)).second) << "page " << value;
    }
    EXPECT_EQ(std::size_t(PROCESSES * PAGES_EACH), seen.size());

    startManagers(false);
    EXPECT_EQ(std::size_t(PROCESSES * PAGES_EACH), std::size_t(countOf(0)));
    for (PageId pageId : seen) {
        const std::string text = read(TupleId(pageId, 0));
        EXPECT_NE(std::string::npos, text.find(" page " + std::to_string(pageId)))
            << "page " << pageId << " holds \"" << text << "\"";
    }
}

} // namespace

namespace {

// The inventory page checker on images built by hand: a sound page passes,
// each kind of damage is named, and nothing outside the image is read.
class FsiPageCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        image.assign(ORV_PAGE_SIZE, '\0');
        OrvPageHeader header{};
        header.pageId = 255;
        header.pageType = OrvPage::FreeSpaceInventoryPage;
        std::memcpy(&image[0], &header, sizeof(header));
        writer().initialise();
    }

    OrvFsiPageWriter writer() { return OrvFsiPageWriter(&image[0], 5, 255); }
    std::vector<std::string> problems() const {
        return OrvFsiPageView(image.data(), 5, 255).problems();
    }
    std::string problem() const {
        const std::vector<std::string> found = problems();
        return found.size() == 1 ? found.front()
                                 : std::to_string(found.size()) + " problems instead of one";
    }

    std::string image;
};

TEST_F(FsiPageCheckTest, EachKindOfDamageIsNamed) {
    EXPECT_TRUE(problems().empty());
    writer().setEntry(0, entry(254, 254));
    writer().setEntry(1, entry(30, 12));
    writer().setCountEntries(2);
    ASSERT_TRUE(problems().empty()) << problems().front();

    writer().setEntry(1, entry(12, 30)); // below the count, but "no page"
    EXPECT_NE(std::string::npos, problem().find("describes no page")) << problem();
    writer().setEntry(1, entry(255, 255));
    EXPECT_NE(std::string::npos, problem().find("more free space than a page")) << problem();
    writer().setEntry(1, entry(30, 12));
    writer().setEntry(7, entry(254, 254)); // beyond the count, but a page
    EXPECT_NE(std::string::npos, problem().find("not marked not-existing")) << problem();
    writer().setEntry(7, entry(0, 254));

    // A count beyond the entries is refused by the view, not followed.
    const Uint16 tooMany = 300;
    std::memcpy(&image[16], &tooMany, sizeof(tooMany));
    EXPECT_NE(std::string::npos, problem().find("exceeds 254")) << problem();
    EXPECT_EQ(ORV_INTERNAL_FAIL,
              codeOf([&] { (void)OrvFsiPageView(image.data(), 5, 255).usableCount(); }));
    EXPECT_EQ(ORV_INTERNAL_FAIL,
              codeOf([&] { (void)OrvFsiPageView(image.data(), 5, 255).entry(254); }));
    writer().setCountEntries(2);

    image[4] = static_cast<char>(OrvPage::DataPage);
    EXPECT_NE(std::string::npos, problem().find("not an inventory page")) << problem();
}

// The last inventory page describes pages up to 65534 only.
TEST_F(FsiPageCheckTest, TheLastInventoryPageStopsAtTheLastPageId) {
    OrvPageHeader header{};
    header.pageId = 65280;
    header.pageType = OrvPage::FreeSpaceInventoryPage;
    std::memcpy(&image[0], &header, sizeof(header));
    OrvFsiPageWriter last(&image[0], 5, 65280);
    for (Uint32 k = 0; k < 254; ++k) {
        last.setEntry(k, entry(254, 254));
    }
    last.setCountEntries(254);
    EXPECT_TRUE(OrvFsiPageView(image.data(), 5, 65280).problems().empty());
    EXPECT_EQ(254u, OrvFsiPageView(image.data(), 5, 65280).usableCount());
}

} // namespace
