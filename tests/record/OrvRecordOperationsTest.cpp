// The record operations on whole tables: insert, get, replace (records that
// leave their page and come home with a stable tuple id), remove, scans,
// and concurrent inserters in real processes. The model test runs a long
// random sequence against an in-memory map and the structure checkers.
#include "OrvEngineTest.h"
#include "RecordTestSupport.h"

#include "OrvLog.h"
#include "OrvTestSupport.h"

#include <map>
#include <random>
#include <set>
#include <unistd.h>

namespace {

using namespace recordtest;

constexpr TableId TABLE = 11;

// Ends the transaction as a client process does.
void endTransaction() {
    OrvClientTransaction::commit();
}

std::string readRecord(const TupleId& tid, TupleId* where = nullptr) {
    OrvRecord* record = nullptr;
    RM::getInstance()->get(TABLE, tid, record);
    std::unique_ptr<OrvRecord> owned(record);
    if (where != nullptr && owned->getTupleId() != nullptr) {
        *where = *owned->getTupleId();
    }
    return std::string(owned->getRecordData(), owned->getLength());
}

TupleId insertRecord(const std::string& text) {
    OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
    TupleId tid;
    RM::getInstance()->insert(record, TABLE, tid);
    return tid;
}

TupleId replaceRecord(const TupleId& tid, const std::string& text) {
    OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
    TupleId where;
    RM::getInstance()->replace(TABLE, tid, record, where);
    return where;
}

// Every position a full scan meets, in order.
std::vector<TupleId> scanAll() {
    std::vector<TupleId> seen;
    TupleId position;
    for (;;) {
        const OrvErrorCode code =
            codeOf([&] { RM::getInstance()->findNextRecord(TABLE, position); });
        if (code == ORV_RM_NO_MORE_PAGES || code == ORV_BM_PAGE_NOT_FOUND) {
            return seen;
        }
        if (code != ORV_SUCCESS) {
            ADD_FAILURE() << "scan failed with " << code;
            return seen;
        }
        seen.push_back(position);
    }
}

// Problems of every data page of the table and of its inventory.
std::vector<std::string> tableProblems() {
    std::vector<std::string> problems = OrvFsi::checkSegment(TABLE);
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    for (Uint32 p = 1; p <= ORV_MAX_PAGE_ID; ++p) {
        if (p % OrvFsi::PAGE_DISTANCE == 0) {
            continue;
        }
        OrvPage* page = nullptr;
        const OrvErrorCode code =
            codeOf([&] { bm->getPage(TABLE, static_cast<PageId>(p), OrvPage::DataPage, page); });
        if (code == ORV_BM_PAGE_NOT_FOUND) {
            break;
        }
        if (code != ORV_SUCCESS) {
            problems.push_back("page " + std::to_string(p) + ": code " + std::to_string(code));
            break;
        }
        for (const std::string& line : OrvDataPage::checkStructure(page->getPageData())) {
            problems.push_back("page " + std::to_string(p) + ": " + line);
        }
        bm->releasePage(page);
    }
    return problems;
}

Slot rawSlot(const TupleId& tid) {
    OrvScopedPage page(TABLE, tid.page, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
    return OrvDataPageView(*page.getPage()).rawSlot(tid.slot);
}

Uint32 slotCount(PageId pageId) {
    OrvScopedPage page(TABLE, pageId, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
    return OrvDataPageView(*page.getPage()).slotCount();
}

// The lock list, buffer pool and log of a database of the test's own (the
// log in its directory), and an empty table.
class RecordOperationsTest : public orvtest::EngineTest {
protected:
    void startHere() {
        rm = RM::getInstance();
        rm->createTable(TABLE);
        OrvBufferManager::getInstance()->openSegment(TABLE);
        endTransaction();
    }

    RM* rm = nullptr;
};

TEST_F(RecordOperationsTest, LengthLimitsAndTheFirstRecordAtTheEndOfPageOne) {
    startHere();
    EXPECT_EQ(ORV_RM_INSERT_RECORD_TOO_LONG, codeOf([] { insertRecord(bytes(4056, 1)); }));
    EXPECT_EQ(ORV_RM_NULL_LEN_REC, codeOf([] { insertRecord(""); }));
    // Nothing was made by the refused inserts.
    EXPECT_EQ(ORV_BM_PAGE_NOT_FOUND, codeOf([] { slotCount(1); }));

    const TupleId first = insertRecord(bytes(4055, 2));
    EXPECT_EQ(TupleId(1, 0), first);
    const Slot slot = rawSlot(first);
    EXPECT_EQ(4096 - 4055, slot.offset);
    EXPECT_EQ(4055, slot.recordLength);
    EXPECT_EQ(bytes(4055, 2), readRecord(first));
    // The page is full: the next record goes to page 2.
    EXPECT_EQ(TupleId(2, 0), insertRecord(bytes(1, 3)));

    // A replacement at the longest length stays; one byte more is refused.
    EXPECT_EQ(first, replaceRecord(first, bytes(4055, 4)));
    EXPECT_EQ(ORV_RM_INSERT_RECORD_TOO_LONG, codeOf([&] { replaceRecord(first, bytes(4056, 4)); }));
    EXPECT_EQ(bytes(4055, 4), readRecord(first));
    // Tuple ids that name no record.
    EXPECT_EQ(ORV_RM_REC_NOT_FOUND, codeOf([] { readRecord(TupleId(1, 5)); }));
    EXPECT_EQ(ORV_RM_REC_NOT_FOUND, codeOf([] { readRecord(TupleId(255, 0)); }));
    EXPECT_EQ(ORV_RM_REC_NOT_FOUND, codeOf([] { readRecord(TupleId(1, 255)); }));
    EXPECT_EQ(ORV_RM_REC_NOT_FOUND,
              codeOf([] { RM::getInstance()->remove(TABLE, TupleId(2, 1)); }));
    endTransaction();
    const std::vector<std::string> problems = tableProblems();
    EXPECT_TRUE(problems.empty()) << problems.front();
}

// One record goes through all five ways of replacement: compacted in place,
// off its page, shrinking and growing where it lies, to a third page, and
// home again; its tuple id reads it throughout, and its removal after it
// moved again frees both slots.
TEST_F(RecordOperationsTest, ARecordLeavesItsPageAndComesHomeWithItsTupleId) {
    startHere();
    const TupleId a = insertRecord(bytes(1000, 1));
    const TupleId b = insertRecord(bytes(2900, 2));
    ASSERT_EQ(TupleId(1, 0), a);
    ASSERT_EQ(TupleId(1, 1), b);
    auto expectReads = [&](const std::string& text, const TupleId& place) {
        TupleId where;
        EXPECT_EQ(text, readRecord(a, &where));
        EXPECT_EQ(place, where);
        EXPECT_EQ(bytes(2900, 2), readRecord(b));
        const std::vector<std::string> problems = tableProblems();
        EXPECT_TRUE(problems.empty()) << problems.front();
    };

    // 148 bytes free in one block below b: room only after compaction.
    EXPECT_EQ(a, replaceRecord(a, bytes(1100, 3)));
    expectReads(bytes(1100, 3), a);
    EXPECT_EQ(RM::PrimaryRecord, rawSlot(a).recordType);

    // Off the page.
    const TupleId moved = replaceRecord(a, bytes(2000, 4));
    EXPECT_NE(a.page, moved.page);
    EXPECT_EQ(RM::PlaceHolderTid, rawSlot(a).recordType);
    EXPECT_EQ(RM::SecondaryRecord, rawSlot(moved).recordType);
    expectReads(bytes(2000, 4), moved);
    // A secondary tuple id is not for callers.
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { readRecord(moved); }));
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { replaceRecord(moved, "x"); }));
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { RM::getInstance()->remove(TABLE, moved); }));

    // Shrinking, still too long for home: stays in its secondary slot; then
    // growing there.
    EXPECT_EQ(moved, replaceRecord(a, bytes(1500, 5)));
    expectReads(bytes(1500, 5), moved);
    EXPECT_EQ(moved, replaceRecord(a, bytes(1800, 6)));
    expectReads(bytes(1800, 6), moved);

    // The secondary page fills up; growing beyond what even compaction
    // gives there moves the record to a third page, the old secondary slot
    // freed.
    const TupleId d = insertRecord(bytes(1900, 7));
    ASSERT_EQ(moved.page, d.page);
    const TupleId third = replaceRecord(a, bytes(2200, 8));
    EXPECT_NE(moved.page, third.page);
    EXPECT_NE(a.page, third.page);
    expectReads(bytes(2200, 8), third);
    EXPECT_EQ(bytes(1900, 7), readRecord(d));
    EXPECT_TRUE(OrvDataPageView::isEmpty(rawSlot(moved)) || moved.slot >= slotCount(moved.page));

    // Home again.
    EXPECT_EQ(a, replaceRecord(a, bytes(900, 9)));
    expectReads(bytes(900, 9), a);
    EXPECT_EQ(RM::PrimaryRecord, rawSlot(a).recordType);
    EXPECT_EQ(0u, slotCount(third.page));

    // Away once more, then removed by its tuple id: both slots are freed.
    const TupleId last = replaceRecord(a, bytes(3500, 10));
    EXPECT_NE(a.page, last.page);
    expectReads(bytes(3500, 10), last);
    RM::getInstance()->remove(TABLE, a);
    EXPECT_EQ(ORV_RM_REC_NOT_FOUND, codeOf([&] { readRecord(a); }));
    EXPECT_TRUE(OrvDataPageView::isEmpty(rawSlot(a)));
    EXPECT_TRUE(last.slot >= slotCount(last.page) || OrvDataPageView::isEmpty(rawSlot(last)));
    // A scan meets each record once, under its primary tuple id.
    EXPECT_EQ((std::vector<TupleId>{b, d}), scanAll());
    endTransaction();
    const std::vector<std::string> problems = tableProblems();
    EXPECT_TRUE(problems.empty()) << problems.front();
}

// Page 255 is the second inventory page: the 255th full page is page 256.
TEST_F(RecordOperationsTest, TheRecordAfter254FullPagesLandsOnPage256) {
    startHere();
    std::vector<TupleId> tids;
    for (int i = 0; i < 255; ++i) {
        tids.push_back(insertRecord(bytes(4055, i)));
        EXPECT_EQ(TupleId(static_cast<PageId>(i < 254 ? i + 1 : 256), 0), tids.back());
    }
    EXPECT_EQ(tids, scanAll());
    for (int i = 0; i < 255; i += 17) {
        EXPECT_EQ(bytes(4055, i), readRecord(tids[i]));
    }
    endTransaction();
    const std::vector<std::string> problems = tableProblems();
    EXPECT_TRUE(problems.empty()) << problems.front();
}

// A placeholder read from a page is checked before it is followed: one
// naming an inventory page, a slot beyond the other page's directory, or a
// record that is not a secondary one is refused, and nothing is changed.
TEST_F(RecordOperationsTest, DamagedPlaceholdersAreRefusedBeforeUse) {
    startHere();
    const TupleId a = insertRecord(bytes(4055, 1));
    const TupleId b = insertRecord(bytes(10, 2));
    ASSERT_EQ(TupleId(1, 0), a);
    ASSERT_EQ(TupleId(2, 0), b);
    const Slot original = rawSlot(a);
    auto pointAt = [&](Uint16 page, Uint16 slot) {
        OrvScopedPage fixed(TABLE, a.page, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        OrvDataPageWriter(*fixed.getPage())
            .setSlot(a.slot, makeSlot(page, slot, RM::PlaceHolderTid));
    };
    struct Case {
        Uint16 page;
        Uint16 slot;
        OrvErrorCode expected;
    };
    for (const Case& c : {Case{2, 7, ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS},
                          Case{255, 0, ORV_INTERNAL_FAIL}, Case{1, 0, ORV_INTERNAL_FAIL},
                          Case{2, 255, ORV_INTERNAL_FAIL}, Case{2, 0, ORV_INTERNAL_FAIL}}) {
        SCOPED_TRACE(std::to_string(c.page) + "," + std::to_string(c.slot));
        pointAt(c.page, c.slot);
        EXPECT_EQ(c.expected, codeOf([&] { readRecord(a); }));
        EXPECT_EQ(c.expected, codeOf([&] { RM::getInstance()->remove(TABLE, a); }));
        EXPECT_EQ(c.expected, codeOf([&] { replaceRecord(a, bytes(20, 3)); }));
        EXPECT_EQ(bytes(10, 2), readRecord(b));
        EXPECT_EQ(1u, slotCount(b.page));
        EXPECT_EQ(RM::PlaceHolderTid, rawSlot(a).recordType);
    }
    {
        OrvScopedPage fixed(TABLE, a.page, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        OrvDataPageWriter(*fixed.getPage()).setSlot(a.slot, original);
    }
    EXPECT_EQ(bytes(4055, 1), readRecord(a));
    endTransaction();
}

// The last stretch of the table: page 65534 is a page like the others, and
// a reserved page that was never made is passed over.
TEST_F(RecordOperationsTest, TheScanReachesPage65534AndPassesOverReservedPages) {
    startHere();
    constexpr PageId LAST_FSI = OrvFsi::LAST_FSI_PAGE;
    LM::getInstance()->requestSegment(TABLE, LM::ExclusiveLock);
    {
        OrvScopedPage fsi;
        Access::createFsiPage(TABLE, LAST_FSI, fsi);
        OrvFsiPageWriter writer(*fsi.getPage());
        FsiEntry full;
        full.freeSpace = 0;
        full.freeSpaceBlock = 0;
        FsiEntry reserved;
        OrvFsi::markEmptyPage(reserved);
        for (Uint32 k = 0; k < OrvFsi::MAX_FSI_ENTRIES; ++k) {
            writer.setEntry(k, full);
        }
        writer.setEntry(Access::getFsiSlot(65300), reserved);
        writer.setCountEntries(OrvFsi::MAX_FSI_ENTRIES);
        for (PageId p : {PageId(65299), PageId(65301), PageId(65534)}) {
            OrvScopedPage data(TABLE, p, OrvPage::DataPage, OrvScopedPage::CreateNewPage);
        }
    }
    PageId page = 65299;
    RM::getInstance()->findNextPage(TABLE, page);
    EXPECT_EQ(65301, page);
    page = 65533;
    RM::getInstance()->findNextPage(TABLE, page);
    EXPECT_EQ(ORV_MAX_PAGE_ID, page);
    EXPECT_EQ(ORV_RM_NO_MORE_PAGES, codeOf([&] { RM::getInstance()->findNextPage(TABLE, page); }));
    EXPECT_EQ(ORV_MAX_PAGE_ID, page);
    endTransaction();
}

// A long random sequence of inserts, growing and shrinking replaces and
// removes, checked against a map after every step: every tuple id reads its
// bytes, and regularly the page and inventory checkers pass and a scan
// meets exactly the live records.
TEST_F(RecordOperationsTest, RandomOperationsAgreeWithAMap) {
    startHere();
    std::mt19937 random(20261208);
    std::map<std::pair<PageId, SlotId>, std::string> model;
    auto key = [](const TupleId& t) { return std::make_pair(t.page, t.slot); };
    auto pickLength = [&]() -> Uint16 {
        const int shape = static_cast<int>(random() % 10);
        if (shape < 5) {
            return static_cast<Uint16>(1 + random() % 200);
        }
        if (shape < 9) {
            return static_cast<Uint16>(1 + random() % 1500);
        }
        return static_cast<Uint16>(1 + random() % RM::MAX_RECORD_LENGTH);
    };
    auto pickLive = [&]() {
        auto it = model.begin();
        std::advance(it, static_cast<long>(random() % model.size()));
        return it;
    };
    int seed = 0;
    const int steps = 3000;
    for (int step = 0; step < steps; ++step) {
        const int op = static_cast<int>(random() % 10);
        const std::string text = bytes(pickLength(), ++seed);
        SCOPED_TRACE("step " + std::to_string(step));
        if (model.size() < 20 || op < 4) {
            const TupleId tid = insertRecord(text);
            ASSERT_EQ(0u, model.count(key(tid))) << "tuple id handed out twice";
            model[key(tid)] = text;
        } else if (op < 8) {
            auto it = pickLive();
            const TupleId tid(it->first.first, it->first.second);
            replaceRecord(tid, text);
            it->second = text;
        } else {
            auto it = pickLive();
            RM::getInstance()->remove(TABLE, TupleId(it->first.first, it->first.second));
            model.erase(it);
        }
        for (const auto& [where, content] : model) {
            ASSERT_EQ(content, readRecord(TupleId(where.first, where.second)));
        }
        if (step % 100 == 99) {
            std::vector<TupleId> expected;
            for (const auto& entry : model) {
                expected.push_back(TupleId(entry.first.first, entry.first.second));
            }
            ASSERT_EQ(expected, scanAll());
            endTransaction();
            const std::vector<std::string> problems = tableProblems();
            ASSERT_TRUE(problems.empty()) << problems.front();
        }
    }
    endTransaction();
}

// Committed transactions give back every lock: the list does not grow
// across many of them, and a fix left over refuses the commit.
TEST_F(RecordOperationsTest, CommittedTransactionsLeaveNoLocksBehind) {
    startHere();
    const TupleId tid = insertRecord(bytes(50, 1));
    endTransaction();
    bool inUse = true;
    for (int t = 0; t < 10000; ++t) {
        OrvClientTransaction::begin();
        if (t % 100 == 0) {
            replaceRecord(tid, bytes(50 + t % 300, t));
        } else {
            readRecord(tid);
        }
        OrvClientTransaction::commit();
        OrvLockManager::isLockListInUse(inUse);
        ASSERT_FALSE(inUse) << "after transaction " << t;
    }
    {
        OrvScopedPage page(TABLE, tid.page, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        EXPECT_EQ(ORV_BM_FIXES_LEFT, codeOf([] { OrvClientTransaction::commit(); }));
    }
    OrvClientTransaction::commit();
    EXPECT_EQ(bytes(50 + 9900 % 300, 9900), readRecord(tid));
    OrvClientTransaction::commit();
}

// Several processes insert into one table at once: none times out or
// deadlocks, and every record is stored exactly once.
TEST_F(RecordOperationsTest, ConcurrentInsertersStoreEveryRecordOnce) {
    startHere();
    OrvSystem::stopAllManagers();
    OrvTransactionManager::resetForProcess();
    constexpr int CHILDREN = 4;
    constexpr int PER_CHILD = 400;
    std::vector<int> pids;
    for (int c = 0; c < CHILDREN; ++c) {
        pids.push_back(orvtest::startChild([c]() {
            OrvTransactionManager::resetForProcess();
            try {
                for (int i = 0; i < PER_CHILD; ++i) {
                    const int length = 20 + (i * 37 + c * 101) % 700;
                    std::string text = bytes(static_cast<std::size_t>(length), i);
                    const std::string tag = std::to_string(c) + ":" + std::to_string(i) + ";";
                    text.replace(0, tag.size(), tag);
                    insertRecord(text);
                    if (i % 25 == 24) {
                        endTransaction();
                    }
                }
                endTransaction();
            } catch (const OrvException& e) {
                std::fprintf(stderr, "child %d: code %d %s\n%s\n", c, e.getErrorCode(), e.what(),
                             e.getBacktrace().c_str());
                OrvSystem::stopAllManagers();
                return 10 + (e.getErrorCode() < 0 ? -e.getErrorCode() % 80 : 0);
            }
            OrvSystem::stopAllManagers();
            return 0;
        }));
    }
    for (int pid : pids) {
        EXPECT_EQ(0, orvtest::waitChild(pid));
    }
    rm = RM::getInstance();
    std::multiset<std::string> seen;
    for (const TupleId& tid : scanAll()) {
        const std::string text = readRecord(tid);
        seen.insert(text.substr(0, text.find(';') + 1));
    }
    for (int c = 0; c < CHILDREN; ++c) {
        for (int i = 0; i < PER_CHILD; ++i) {
            EXPECT_EQ(1u, seen.count(std::to_string(c) + ":" + std::to_string(i) + ";"))
                << c << ":" << i;
        }
    }
    EXPECT_EQ(std::size_t(CHILDREN * PER_CHILD), seen.size());
    endTransaction();
    const std::vector<std::string> problems = tableProblems();
    EXPECT_TRUE(problems.empty()) << problems.front();
}

} // namespace
