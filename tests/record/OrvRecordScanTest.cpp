// Table scans through OrvRecordIterator: the edge cases of where records lie
// (none, only on a later page, moved to another page), reset, the page fix
// the scan keeps between calls, a scan blocked by another process's lock,
// a model test of random changes, and a large table written by one process
// and read by another.
#include "OrvEngineTest.h"
#include "RecordTestSupport.h"

#include "OrvLog.h"
#include "OrvRecordIterator.h"
#include "OrvTestSupport.h"
#include "OrvTestSync.h"

#include <map>
#include <random>
#include <unistd.h>

namespace {

using namespace recordtest;

constexpr TableId TABLE = 12;

void endTransaction() {
    OrvClientTransaction::commit();
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

std::unique_ptr<OrvRecordIterator> scanOf(TableId table = TABLE) {
    OrvRecordIterator* iterator = nullptr;
    RM::getInstance()->getRecordIterator(table, iterator);
    return std::unique_ptr<OrvRecordIterator>(iterator);
}

// One record a scan handed out: its primary tuple id (the scan position),
// where its bytes lie, and the bytes.
struct Seen {
    TupleId primary;
    TupleId where;
    std::string text;
};

// Everything the scan hands out until hasNext answers false; every getNext
// must succeed, and after the end getNext reports ORV_NOT_FOUND_WARN.
std::vector<Seen> drain(OrvRecordIterator& scan) {
    std::vector<Seen> seen;
    OrvRecord* record = nullptr;
    while (scan.hasNext()) {
        const OrvErrorCode code = scan.getNext(record);
        if (code != ORV_SUCCESS) {
            ADD_FAILURE() << "getNext failed with " << code;
            break;
        }
        Seen one;
        one.primary = scan.getCurrentTupleId();
        one.where = record->getTupleId() != nullptr ? *record->getTupleId() : TupleId();
        one.text.assign(record->getRecordData(), record->getLength());
        seen.push_back(one);
    }
    delete record;
    OrvRecord* none = nullptr;
    EXPECT_EQ(ORV_NOT_FOUND_WARN, scan.getNext(none));
    EXPECT_EQ(nullptr, none);
    EXPECT_FALSE(scan.hasNext());
    // At the end of the table the scan holds no fix.
    EXPECT_EQ(0u, OrvBufferManager::getFixesOfThisProcess());
    return seen;
}

std::vector<TupleId> primaries(const std::vector<Seen>& seen) {
    std::vector<TupleId> result;
    for (const Seen& s : seen) {
        result.push_back(s.primary);
    }
    return result;
}

class RecordScanTest : public orvtest::EngineTest {
protected:
    void makeTable() {
        RM::getInstance()->createTable(TABLE);
        endTransaction();
    }
};

// A table without records, before it has pages and after its records were
// all removed, ends the scan at once; so does a table that does not exist
// only with an error the scan hands out.
TEST_F(RecordScanTest, AnEmptyTableEndsAtOnce) {
    makeTable();
    {
        auto scan = scanOf();
        EXPECT_FALSE(scan->hasNext());
        EXPECT_TRUE(drain(*scan).empty());
        EXPECT_EQ(ORV_SUCCESS, scan->reset());
        EXPECT_TRUE(drain(*scan).empty());
    }
    // The fix the scans use for pages that may be missing: no page, no fix,
    // no error; once the page exists, one fix.
    {
        OrvScopedPage probe;
        EXPECT_FALSE(probe.fixIfExists(TABLE, 1, OrvPage::DataPage));
        EXPECT_EQ(nullptr, probe.getPage());
        EXPECT_EQ(0u, OrvBufferManager::getFixesOfThisProcess());
        EXPECT_EQ(ORV_SUCCESS, OrvError::getErrorObject()->getErrorCode());
    }
    const TupleId a = insertRecord(bytes(300, 1));
    const TupleId b = insertRecord(bytes(300, 2));
    {
        OrvScopedPage probe;
        ASSERT_TRUE(probe.fixIfExists(TABLE, 1, OrvPage::DataPage));
        EXPECT_EQ(1, probe->getPageId());
        EXPECT_EQ(1u, OrvBufferManager::getFixesOfThisProcess());
        EXPECT_EQ(ORV_INTERNAL_FAIL,
                  codeOf([&] { probe.fixIfExists(TABLE, 1, OrvPage::DataPage); }));
    }
    endTransaction();
    RM::getInstance()->remove(TABLE, a);
    RM::getInstance()->remove(TABLE, b);
    {
        auto scan = scanOf();
        EXPECT_TRUE(drain(*scan).empty());
    }
    endTransaction();

    // A missing table is a failure, not an empty table: the scan says there
    // is something, and getNext gives the failure, then the scan is over.
    auto scan = scanOf(TABLE + 1);
    EXPECT_NE(ORV_SUCCESS, OrvError::getErrorObject()->getErrorCode());
    ASSERT_TRUE(scan->hasNext());
    OrvRecord* record = nullptr;
    const OrvErrorCode failure = scan->getNext(record);
    EXPECT_NE(ORV_SUCCESS, failure);
    EXPECT_NE(ORV_NOT_FOUND_WARN, failure);
    EXPECT_EQ(nullptr, record);
    EXPECT_FALSE(scan->hasNext());
    EXPECT_EQ(failure, scan->getNext(record));
    EXPECT_EQ(ORV_SUCCESS, scan->reset());
    EXPECT_EQ(ORV_SUCCESS, OrvError::getErrorObject()->getErrorCode());
}

// Pages 1 and 2 lose their records; the scan walks over them and hands out
// the records of page 3 in slot order, the same again after reset, and
// records inserted behind the scan's position as it goes on.
TEST_F(RecordScanTest, RecordsOnlyOnPageThreeAndTheSameAgainAfterReset) {
    makeTable();
    const TupleId onOne = insertRecord(bytes(4055, 1));
    const TupleId onTwo = insertRecord(bytes(4055, 2));
    std::vector<TupleId> expected;
    std::vector<std::string> texts;
    for (int i = 0; i < 6; ++i) {
        texts.push_back(bytes(static_cast<std::size_t>(600 - 50 * i), 10 + i));
        expected.push_back(insertRecord(texts.back()));
        ASSERT_EQ(3, expected.back().page);
    }
    // A hole in page 3's directory is passed over.
    RM::getInstance()->remove(TABLE, expected[2]);
    expected.erase(expected.begin() + 2);
    texts.erase(texts.begin() + 2);
    RM::getInstance()->remove(TABLE, onOne);
    RM::getInstance()->remove(TABLE, onTwo);
    endTransaction();

    auto scan = scanOf();
    // hasNext does not move the scan on.
    EXPECT_TRUE(scan->hasNext());
    EXPECT_TRUE(scan->hasNext());
    std::vector<Seen> seen = drain(*scan);
    ASSERT_EQ(expected, primaries(seen));
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(texts[i], seen[i].text);
        EXPECT_EQ(expected[i], seen[i].where);
    }

    // After reset: the same records in the same order; getNext alone (no
    // hasNext) walks the scan too, and refills the record it is given.
    EXPECT_EQ(ORV_SUCCESS, scan->reset());
    OrvRecord record;
    OrvRecord* target = &record;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(ORV_SUCCESS, scan->getNext(target));
        EXPECT_EQ(&record, target);
        EXPECT_EQ(expected[i], scan->getCurrentTupleId());
        EXPECT_EQ(texts[i], std::string(record.getRecordData(), record.getLength()));
    }
    // Of two records inserted now, the one in the hole before the position
    // is not met, the one in a new slot behind it is.
    EXPECT_EQ(TupleId(3, 2), insertRecord(bytes(40, 98)));
    const TupleId later = insertRecord(bytes(40, 99));
    EXPECT_EQ(TupleId(3, 6), later);
    ASSERT_EQ(ORV_SUCCESS, scan->getNext(target));
    EXPECT_EQ(later, scan->getCurrentTupleId());
    EXPECT_EQ(ORV_NOT_FOUND_WARN, scan->getNext(target));
    scan.reset();
    endTransaction();
}

// A record that left its page is met once, at its home tuple id (with the
// bytes of where it lies now), and not again at its secondary slot; when it
// comes home it is met there.
TEST_F(RecordScanTest, AMovedRecordIsSeenOnceAtItsHomeTupleId) {
    makeTable();
    const TupleId a = insertRecord(bytes(1000, 1));
    const TupleId b = insertRecord(bytes(2900, 2));
    const TupleId c = insertRecord(bytes(2000, 3));
    ASSERT_EQ(TupleId(1, 0), a);
    ASSERT_EQ(TupleId(1, 1), b);
    ASSERT_EQ(TupleId(2, 0), c);
    // a grows past its page: it lands on a page after c's.
    const TupleId moved = replaceRecord(a, bytes(3000, 4));
    ASSERT_NE(a.page, moved.page);
    endTransaction();

    auto scan = scanOf();
    const std::vector<Seen> seen = drain(*scan);
    ASSERT_EQ((std::vector<TupleId>{a, b, c}), primaries(seen));
    EXPECT_EQ(moved, seen[0].where);
    EXPECT_EQ(bytes(3000, 4), seen[0].text);
    EXPECT_EQ(bytes(2900, 2), seen[1].text);
    EXPECT_EQ(bytes(2000, 3), seen[2].text);
    scan.reset();
    endTransaction();

    // Home again once b is gone.
    RM::getInstance()->remove(TABLE, b);
    EXPECT_EQ(a, replaceRecord(a, bytes(1500, 5)));
    auto again = scanOf();
    const std::vector<Seen> after = drain(*again);
    ASSERT_EQ((std::vector<TupleId>{a, c}), primaries(after));
    EXPECT_EQ(bytes(1500, 5), after[0].text);
    again.reset();
    endTransaction();
}

// The scan keeps one page fixed while it stands inside a table, and gives
// the fix back at the end, on releasePage and when it is destroyed. A
// commit while it holds the fix is refused; after releasePage the scan goes
// on in the next transaction, locking its page again.
TEST_F(RecordScanTest, TheScanHoldsOneFixAndGivesItBack) {
    makeTable();
    std::vector<TupleId> expected;
    for (int i = 0; i < 200; ++i) {
        expected.push_back(insertRecord(bytes(250, i)));
    }
    endTransaction();

    auto scan = scanOf();
    EXPECT_EQ(0u, OrvBufferManager::getFixesOfThisProcess());
    std::vector<TupleId> seen;
    OrvRecord* record = nullptr;
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(ORV_SUCCESS, scan->getNext(record));
        seen.push_back(scan->getCurrentTupleId());
        EXPECT_EQ(1u, OrvBufferManager::getFixesOfThisProcess());
    }
    EXPECT_EQ(ORV_BM_FIXES_LEFT, codeOf([] { endTransaction(); }));
    scan->releasePage();
    EXPECT_EQ(0u, OrvBufferManager::getFixesOfThisProcess());
    endTransaction();
    bool inUse = true;
    OrvLockManager::isLockListInUse(inUse);
    EXPECT_FALSE(inUse);

    while (scan->hasNext()) {
        ASSERT_EQ(ORV_SUCCESS, scan->getNext(record));
        seen.push_back(scan->getCurrentTupleId());
        EXPECT_LE(OrvBufferManager::getFixesOfThisProcess(), 1u);
    }
    delete record;
    EXPECT_EQ(expected, seen);
    EXPECT_EQ(0u, OrvBufferManager::getFixesOfThisProcess());
    // The pages it read are locked shared until the transaction ends.
    Uint32 entry = 0;
    EXPECT_TRUE(LM::getInstance()->existsLockType(
        entry, TABLE, expected.back().page, LM::NO_SLOT, LM::SharedLock,
        OrvTransactionManager::getInstance()->getCurrentTransactionID()));

    // Destroyed in the middle of a page: nothing stays fixed.
    ASSERT_EQ(ORV_SUCCESS, scan->reset());
    OrvRecord* one = nullptr;
    ASSERT_EQ(ORV_SUCCESS, scan->getNext(one));
    delete one;
    EXPECT_EQ(1u, OrvBufferManager::getFixesOfThisProcess());
    scan.reset();
    EXPECT_EQ(0u, OrvBufferManager::getFixesOfThisProcess());
    endTransaction();
}

// Another process holds page 2 exclusively: the scan hands out the records
// of page 1, then reports the lock time-out instead of an end of table, and
// is over until reset; once the lock is gone the scan sees every record.
// (The lock manager waits its full time-out here, about 20 seconds.)
TEST_F(RecordScanTest, AScanBlockedByAnotherProcessReportsTheTimeOut) {
    makeTable();
    const TupleId first = insertRecord(bytes(4000, 1));
    const TupleId second = insertRecord(bytes(4000, 2));
    ASSERT_EQ(1, first.page);
    ASSERT_EQ(2, second.page);
    endTransaction();
    dropManagers();

    orvtest::Pipe locked;
    orvtest::Pipe done;
    orvtest::ChildProcess holder([&]() {
        OrvTransactionManager::resetForProcess();
        try {
            LM::getInstance()->requestPage(TABLE, second.page, LM::ExclusiveLock);
        } catch (const OrvException& e) {
            return 2;
        }
        locked.send();
        const bool told = done.receive(120000);
        OrvSystem::stopAllManagers();
        return told ? 0 : 3;
    });
    ASSERT_TRUE(locked.receive());

    auto scan = scanOf();
    OrvRecord* record = nullptr;
    ASSERT_TRUE(scan->hasNext());
    ASSERT_EQ(ORV_SUCCESS, scan->getNext(record));
    EXPECT_EQ(first, scan->getCurrentTupleId());
    // The step onto page 2 waits for the lock and gives up.
    EXPECT_TRUE(scan->hasNext());
    EXPECT_EQ(ORV_LM_LOCK_TIME_OUT, OrvError::getErrorObject()->getErrorCode());
    EXPECT_EQ(0u, OrvBufferManager::getFixesOfThisProcess());
    EXPECT_EQ(ORV_LM_LOCK_TIME_OUT, scan->getNext(record));
    EXPECT_FALSE(scan->hasNext());
    EXPECT_EQ(ORV_LM_LOCK_TIME_OUT, scan->getNext(record));
    EXPECT_EQ(bytes(4000, 1), std::string(record->getRecordData(), record->getLength()));

    done.send();
    EXPECT_EQ(0, holder.wait());
    EXPECT_EQ(ORV_SUCCESS, scan->reset());
    delete record;
    const std::vector<Seen> seen = drain(*scan);
    EXPECT_EQ((std::vector<TupleId>{first, second}), primaries(seen));
    scan.reset();
    endTransaction();
}

// A process remembers where it last handed out a page id, so that a large
// table's new pages do not cost a walk over every full inventory page. When
// another process drops the table and makes it again, the hint is stale:
// the next new page is page 2 of the new table, not one past the old end.
TEST_F(RecordScanTest, ANewPageIdAfterTheTableWasMadeAgainByAnotherProcess) {
    makeTable();
    for (int i = 0; i < 256; ++i) {
        insertRecord(bytes(4055, i));
    }
    EXPECT_EQ(TupleId(258, 0), insertRecord(bytes(4055, 300)));
    endTransaction();
    dropManagers();
    const int remake = orvtest::runInChild([]() {
        OrvTransactionManager::resetForProcess();
        try {
            RM::getInstance()->dropTable(TABLE);
            endTransaction();
            RM::getInstance()->createTable(TABLE);
            if (!(insertRecord(bytes(4055, 1)) == TupleId(1, 0))) {
                return 2;
            }
            endTransaction();
        } catch (const OrvException& e) {
            std::fprintf(stderr, "child: %s\n", e.what());
            return 3;
        }
        OrvSystem::stopAllManagers();
        return 0;
    });
    ASSERT_EQ(0, remake);
    EXPECT_EQ(TupleId(2, 0), insertRecord(bytes(4055, 2)));
    EXPECT_EQ(TupleId(3, 0), insertRecord(bytes(4055, 3)));
    endTransaction();
}

// Random inserts, replaces (growing past their page and shrinking) and
// removes against a map; after each round a scan hands out exactly the
// map's tuple ids, each once, with their bytes. Some rounds scan inside the
// transaction that made the changes, some after its commit.
TEST_F(RecordScanTest, RandomChangesThenTheScanMatchesAMap) {
    makeTable();
    std::mt19937 random(1208);
    std::map<std::pair<PageId, SlotId>, std::string> model;
    auto pickLive = [&]() {
        auto it = model.begin();
        std::advance(it, static_cast<long>(random() % model.size()));
        return it;
    };
    int seed = 0;
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (int step = 0; step < 150; ++step) {
            const int op = static_cast<int>(random() % 10);
            const Uint16 length =
                static_cast<Uint16>(random() % 4 == 0 ? 1 + random() % 2500 : 1 + random() % 300);
            const std::string text = bytes(length, ++seed);
            if (model.size() < 10 || op < 4) {
                const TupleId tid = insertRecord(text);
                ASSERT_EQ(0u, model.count({tid.page, tid.slot}));
                model[{tid.page, tid.slot}] = text;
            } else if (op < 8) {
                auto it = pickLive();
                replaceRecord(TupleId(it->first.first, it->first.second), text);
                it->second = text;
            } else {
                auto it = pickLive();
                RM::getInstance()->remove(TABLE, TupleId(it->first.first, it->first.second));
                model.erase(it);
            }
        }
        if (round % 2 == 0) {
            endTransaction();
        }
        auto scan = scanOf();
        const std::vector<Seen> seen = drain(*scan);
        std::map<std::pair<PageId, SlotId>, std::string> found;
        for (const Seen& s : seen) {
            EXPECT_TRUE(
                found.emplace(std::make_pair(s.primary.page, s.primary.slot), s.text).second)
                << "met twice: " << s.primary.page << "," << int(s.primary.slot);
        }
        ASSERT_EQ(model.size(), seen.size());
        EXPECT_TRUE(model == found);
        // Page and slot order.
        for (std::size_t i = 1; i < seen.size(); ++i) {
            const TupleId& p = seen[i - 1].primary;
            const TupleId& q = seen[i].primary;
            EXPECT_TRUE(p.page < q.page || (p.page == q.page && p.slot < q.slot));
        }
        scan.reset();
        endTransaction();
    }
}

// One process inserts 100,000 records in one transaction and commits; a
// second process reads them all, by a scan and by tuple id. The table
// (about 3,400 pages) is far larger than the buffer pool (995 frames), so
// the writer's pages go to the file while its transaction runs and the
// reader reads most of them back from there.
TEST_F(RecordScanTest, OneHundredThousandRecordsWrittenByOneProcessReadByAnother) {
    makeTable();
    dropManagers();
#if defined(__SANITIZE_ADDRESS__)
    // Under AddressSanitizer every insert costs several times more: 40,000
    // records (about 1,350 pages) still outgrow the pool.
    constexpr int COUNT = 40000;
#else
    constexpr int COUNT = 100000;
#endif
    auto text = [](int i) {
        std::string t = bytes(static_cast<std::size_t>(100 + i % 61), i);
        const std::string tag = std::to_string(i) + ";";
        t.replace(0, tag.size(), tag);
        return t;
    };
    const int writer = orvtest::runInChild([&]() {
        OrvTransactionManager::resetForProcess();
        try {
            for (int i = 0; i < COUNT; ++i) {
                insertRecord(text(i));
            }
            endTransaction();

        } catch (const OrvException& e) {
            std::fprintf(stderr, "writer: %s\n", e.what());
            OrvSystem::stopAllManagers();
            return 2;
        }
        OrvSystem::stopAllManagers();
        return 0;
    });
    ASSERT_EQ(0, writer);

    const int reader = orvtest::runInChild([&]() {
        OrvTransactionManager::resetForProcess();
        std::vector<TupleId> where(COUNT);
        std::vector<int> times(COUNT, 0);
        int bad = 0;
        {
            auto scan = scanOf();
            OrvRecord* record = nullptr;
            while (scan->hasNext()) {
                if (scan->getNext(record) != ORV_SUCCESS) {
                    return 3;
                }
                const std::string got(record->getRecordData(), record->getLength());
                const int i = std::atoi(got.c_str());
                if (i < 0 || i >= COUNT || got != text(i)) {
                    ++bad;
                    continue;
                }
                ++times[static_cast<std::size_t>(i)];
                where[static_cast<std::size_t>(i)] = scan->getCurrentTupleId();
            }
            delete record;
        }
        for (int i = 0; i < COUNT; ++i) {
            if (times[static_cast<std::size_t>(i)] != 1) {
                ++bad;
            }
        }
        if (bad != 0) {
            std::fprintf(stderr, "reader: %d records missing, doubled or wrong\n", bad);
            return 4;
        }
        try {
            OrvRecord record;
            OrvRecord* target = &record;
            for (int i = 0; i < COUNT; ++i) {
                RM::getInstance()->get(TABLE, where[static_cast<std::size_t>(i)], target);
                if (std::string(record.getRecordData(), record.getLength()) != text(i)) {
                    ++bad;
                }
            }
            endTransaction();
        } catch (const OrvException& e) {
            std::fprintf(stderr, "reader: %s\n", e.what());
            OrvSystem::stopAllManagers();
            return 5;
        }
        OrvSystem::stopAllManagers();
        return bad == 0 ? 0 : 6;
    });
    EXPECT_EQ(0, reader);
}

} // namespace
