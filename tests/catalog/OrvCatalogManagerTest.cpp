// The catalog manager on a database of each test's own: the catalog's
// description of itself, a model of adds, removes and rollbacks, refused and
// half-done changes, and the catalog used by several processes.
#include "CatalogManagerSupport.h"

#include "OrvDebug.h"
#include "OrvIndexManager.h"
#include "OrvRecordIterator.h"
#include "OrvTestSync.h"
#include "OrvTuple.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <map>
#include <random>
#include <set>
#include <unistd.h>

using orvcatalogtest::CatalogCounts;
using orvcatalogtest::catalogCounts;
using orvcatalogtest::CatalogTest;
using orvcatalogtest::userIndex;
using orvcatalogtest::userTable;

namespace {

std::vector<std::string> directoryEntries(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (dirent* entry = readdir(dir)) {
        names.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<TupleId> tidsOf(IndexId index, Sint32 value) {
    OrvIndexKey key;
    key.dataType = INTEGER;
    key.intKey = value;
    OrvIndexIterator* raw = nullptr;
    OrvIndexManager::getInstance()->findRange(index, &key, &key, raw);
    std::unique_ptr<OrvIndexIterator> scan(raw);
    std::vector<TupleId> tids;
    TupleId tid;
    while (scan->hasNext() && scan->getNextTupleId(tid) == ORV_SUCCESS) {
        tids.push_back(tid);
    }
    return tids;
}

std::set<IndexId> indexIdsOf(OrvTable& table) {
    std::set<IndexId> ids;
    Uint32 count = 0;
    EXPECT_EQ(ORV_SUCCESS, table.getNumIndexes(count));
    for (Uint32 i = 0; i < count; ++i) {
        OrvIndex* index = nullptr;
        table.getIndex(i, index);
        IndexId id = 0;
        EXPECT_EQ(ORV_SUCCESS, index->getIndexId(id));
        ids.insert(id);
    }
    return ids;
}

} // namespace

TEST_F(CatalogTest, FirstSetupDescribesItselfThroughRowsAndIndexes) {
    std::vector<std::string> segments;
    for (const std::string& name : directoryEntries(db.path())) {
        if (name.compare(0, 3, "Seg") == 0) {
            segments.push_back(name);
        }
    }
    EXPECT_EQ((std::vector<std::string>{"Seg1.orv", "Seg2.orv", "Seg3.orv", "Seg32769.orv",
                                        "Seg32771.orv", "Seg32773.orv", "Seg32775.orv"}),
              segments);

    OrvClientTransaction::begin();
    CatalogCounts counts = catalogCounts(catalog());
    EXPECT_EQ(3u, counts.stored[0]);
    EXPECT_EQ(18u, counts.stored[1]);
    EXPECT_EQ(4u, counts.stored[2]);
    EXPECT_EQ(3, counts.counted[0]);
    EXPECT_EQ(18, counts.counted[1]);
    EXPECT_EQ(4, counts.counted[2]);
    // The rows again, found through the indexes.
    for (Sint32 t = 1; t <= 3; ++t) {
        EXPECT_EQ(1u, tidsOf(OrvCatalogManager::IDX_SYSTABLES_TABLEID_ID, t).size());
        EXPECT_EQ(static_cast<std::size_t>(4 + t),
                  tidsOf(OrvCatalogManager::IDX_SYSCOLUMNS_TABLEID_ID, t).size());
    }
    EXPECT_EQ(1u, tidsOf(OrvCatalogManager::IDX_SYSINDEXES_TABLEID_ID, 1).size());
    EXPECT_EQ(1u, tidsOf(OrvCatalogManager::IDX_SYSINDEXES_TABLEID_ID, 2).size());
    EXPECT_EQ(2u, tidsOf(OrvCatalogManager::IDX_SYSINDEXES_TABLEID_ID, 3).size());
    for (Sint32 i = 1; i <= 4; ++i) {
        EXPECT_EQ(1u, tidsOf(OrvCatalogManager::IDX_SYSINDEXES_INDEXID_ID, i).size());
    }

    // Names, exactly as written.
    TableId table = 0;
    EXPECT_EQ(ORV_SUCCESS, catalog()->getTableId("SYSINDEXES", table));
    EXPECT_EQ(3, table);
    EXPECT_EQ(ORV_NOT_FOUND_WARN, catalog()->getTableId("systables", table));
    EXPECT_EQ(ORV_PARAMETER_FAIL, catalog()->getTableId("", table));
    IndexId index = 0;
    EXPECT_EQ(ORV_SUCCESS, catalog()->getIndexId("IDX_SYSINDEXES_INDEXID_ID", index));
    EXPECT_EQ(4, index);
    EXPECT_EQ(ORV_NOT_FOUND_WARN, catalog()->getIndexId("idx_systables_tableid_id", index));

    // The index lists come from the index rows.
    OrvTable* sysIndexes = nullptr;
    ASSERT_EQ(ORV_SUCCESS, catalog()->getTableDescriptor(3, sysIndexes));
    std::unique_ptr<OrvTable> owned(sysIndexes);
    EXPECT_EQ((std::set<IndexId>{3, 4}), indexIdsOf(*sysIndexes));
    Uint16 columns = 0;
    EXPECT_EQ(ORV_SUCCESS, sysIndexes->getNumColumns(columns));
    EXPECT_EQ(7, columns);
    OrvIndex* byId = nullptr;
    ASSERT_EQ(ORV_SUCCESS, catalog()->getIndexDescriptor(4, byId));
    std::unique_ptr<OrvIndex> ownedIndex(byId);
    TableId indexTable = 0;
    Uint16 indexColumn = 0;
    bool unique = false;
    EXPECT_EQ(ORV_SUCCESS, byId->getTableId(indexTable));
    EXPECT_EQ(ORV_SUCCESS, byId->getColumnNumber(indexColumn));
    EXPECT_EQ(ORV_SUCCESS, byId->getUnique(unique));
    EXPECT_EQ(3, indexTable);
    EXPECT_EQ(2, indexColumn);
    EXPECT_TRUE(unique);

    // The catalog keeps itself.
    EXPECT_EQ(ORV_CAT_MODIFYING_CATALOG_TABLES_NOT_ALLOWED, catalog()->removeTable(2));
    EXPECT_EQ(ORV_CAT_MODIFYING_CATALOG_TABLES_NOT_ALLOWED, catalog()->removeIndex(1));
    auto likeSystem = userTable("SYSTABLES", {{"A", INTEGER, 0, false}});
    EXPECT_EQ(ORV_COMPILER_TABLE_ALREADY_EXISTS, catalog()->addTable(*likeSystem, table));
    auto onSystem = userIndex("MINE", 1, 0, false);
    EXPECT_EQ(ORV_CAT_MODIFYING_CATALOG_TABLES_NOT_ALLOWED, catalog()->addIndex(*onSystem, index));
    OrvClientTransaction::commit();
}

TEST_F(CatalogTest, FirstUserIdsNamesAndRefusedChanges) {
    OrvClientTransaction::begin();
    auto table = userTable("ORDERS", {{"ID", INTEGER, 0, false}, {"NOTE", VARCHAR, 40, true}});
    TableId tableId = 0;
    ASSERT_EQ(ORV_SUCCESS, catalog()->addTable(*table, tableId));
    EXPECT_EQ(4, tableId);
    auto index = userIndex("ORDERS_ID", tableId, 0, true);
    IndexId indexId = 0;
    ASSERT_EQ(ORV_SUCCESS, catalog()->addIndex(*index, indexId));
    EXPECT_EQ(5, indexId);
    OrvClientTransaction::commit();

    OrvClientTransaction::begin();
    TableId found = 0;
    EXPECT_EQ(ORV_SUCCESS, catalog()->getTableId("ORDERS", found));
    EXPECT_EQ(4, found);
    EXPECT_EQ(ORV_NOT_FOUND_WARN, catalog()->getTableId("orders", found));
    EXPECT_EQ(ORV_NOT_FOUND_WARN, catalog()->getTableId("ORDERS ", found));
    auto again = userTable("ORDERS", {{"X", INTEGER, 0, false}});
    EXPECT_EQ(ORV_COMPILER_TABLE_ALREADY_EXISTS, catalog()->addTable(*again, found));
    auto sameIndex = userIndex("ORDERS_ID", tableId, 1, false);
    EXPECT_EQ(ORV_COMPILER_INDEX_ALREADY_EXISTS, catalog()->addIndex(*sameIndex, indexId));
    auto systemName = userIndex("IDX_SYSTABLES_TABLEID_ID", tableId, 1, false);
    EXPECT_EQ(ORV_COMPILER_INDEX_ALREADY_EXISTS, catalog()->addIndex(*systemName, indexId));
    // Refused whole before anything was written: the transaction commits.
    EXPECT_EQ(ORV_CAT_TABLE_HAS_INDEXES, catalog()->removeTable(4));
    EXPECT_EQ(ORV_NOT_FOUND_WARN, catalog()->removeTable(77));
    EXPECT_EQ(ORV_PARAMETER_FAIL, catalog()->removeTable(0));
    EXPECT_EQ(ORV_NOT_FOUND_WARN, catalog()->removeIndex(99));
    // Descriptors that cannot be stored whole.
    OrvTable noName;
    ASSERT_EQ(ORV_SUCCESS, noName.createColumns(1));
    ASSERT_EQ(ORV_SUCCESS, noName.setColumnDefinition(0, "A", INTEGER, 0, false));
    EXPECT_NE(ORV_SUCCESS, catalog()->addTable(noName, found));
    OrvTable noColumns;
    ASSERT_EQ(ORV_SUCCESS, noColumns.setTableName("EMPTY"));
    EXPECT_NE(ORV_SUCCESS, catalog()->addTable(noColumns, found));
    OrvTable untyped;
    ASSERT_EQ(ORV_SUCCESS, untyped.setTableName("UNTYPED"));
    ASSERT_EQ(ORV_SUCCESS, untyped.createColumns(2));
    ASSERT_EQ(ORV_SUCCESS, untyped.setColumnDefinition(0, "A", INTEGER, 0, false));
    EXPECT_NE(ORV_SUCCESS, catalog()->addTable(untyped, found));
    auto beyond = userIndex("BEYOND", tableId, 2, false);
    EXPECT_EQ(ORV_PARAMETER_FAIL, catalog()->addIndex(*beyond, indexId));
    auto orphan = userIndex("ORPHAN", 40, 0, false);
    EXPECT_EQ(ORV_NOT_FOUND_WARN, catalog()->addIndex(*orphan, indexId));
    Sint32 negative = -1;
    EXPECT_EQ(ORV_INTERNAL_FAIL, catalog()->updateTupleCount(4, negative));
    CatalogCounts counts = catalogCounts(catalog());
    EXPECT_EQ((std::vector<Uint32>{4, 20, 5}),
              (std::vector<Uint32>{counts.stored[0], counts.stored[1], counts.stored[2]}));
    EXPECT_NO_THROW(OrvClientTransaction::commit());

    // Its index first, then the table: the next table gets the id again and
    // finds nothing of the old one.
    OrvClientTransaction::begin();
    ASSERT_EQ(ORV_SUCCESS, catalog()->removeIndex(5));
    ASSERT_EQ(ORV_SUCCESS, catalog()->removeTable(4));
    OrvClientTransaction::commit();
    OrvClientTransaction::begin();
    auto next = userTable("NEXT", {{"K", INTEGER, 0, false}});
    ASSERT_EQ(ORV_SUCCESS, catalog()->addTable(*next, tableId));
    EXPECT_EQ(4, tableId);
    auto nextIndex = userIndex("NEXT_K", tableId, 0, false);
    ASSERT_EQ(ORV_SUCCESS, catalog()->addIndex(*nextIndex, indexId));
    EXPECT_EQ(5, indexId);
    OrvTable* read = nullptr;
    ASSERT_EQ(ORV_SUCCESS, catalog()->getTableDescriptor(4, read));
    std::unique_ptr<OrvTable> owned(read);
    EXPECT_EQ((std::set<IndexId>{5}), indexIdsOf(*read));
    Uint16 columns = 0;
    EXPECT_EQ(ORV_SUCCESS, read->getNumColumns(columns));
    EXPECT_EQ(1, columns);
    counts = catalogCounts(catalog());
    EXPECT_EQ((std::vector<Uint32>{4, 19, 5}),
              (std::vector<Uint32>{counts.stored[0], counts.stored[1], counts.stored[2]}));
    OrvClientTransaction::commit();
}

// Random adds, removes and lookups in transactions that commit or roll
// back, against a map of what the catalog must hold.
TEST_F(CatalogTest, ModelOfAddsRemovesLookupsAndRollbacks) {
    struct TableModel {
        std::string name;
        Uint16 columns;
    };
    struct IndexModel {
        std::string name;
        TableId table;
    };
    struct Model {
        std::map<TableId, TableModel> tables;
        std::map<IndexId, IndexModel> indexes;
        Uint32 columnRows() const {
            Uint32 n = 18;
            for (const auto& t : tables) {
                n += t.second.columns;
            }
            return n;
        }
        TableId nextTable() const { return tables.empty() ? 4 : tables.rbegin()->first + 1; }
        IndexId nextIndex() const { return indexes.empty() ? 5 : indexes.rbegin()->first + 1; }
        bool hasTableName(const std::string& n) const {
            for (const auto& t : tables) {
                if (t.second.name == n) {
                    return true;
                }
            }
            return false;
        }
        bool hasIndexName(const std::string& n) const {
            for (const auto& i : indexes) {
                if (i.second.name == n) {
                    return true;
                }
            }
            return false;
        }
        std::set<IndexId> indexesOf(TableId t) const {
            std::set<IndexId> ids;
            for (const auto& i : indexes) {
                if (i.second.table == t) {
                    ids.insert(i.first);
                }
            }
            return ids;
        }
    };
    const unsigned seed = 20261209;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    Model model;

    auto verify = [&]() {
        CatalogCounts counts = catalogCounts(catalog());
        EXPECT_EQ(3 + model.tables.size(), counts.stored[0]);
        EXPECT_EQ(model.columnRows(), counts.stored[1]);
        EXPECT_EQ(4 + model.indexes.size(), counts.stored[2]);
        for (int t = 0; t < 3; ++t) {
            EXPECT_EQ(static_cast<Sint32>(counts.stored[t]), counts.counted[t]);
        }
        for (const auto& t : model.tables) {
            OrvTable* read = nullptr;
            ASSERT_EQ(ORV_SUCCESS, catalog()->getTableDescriptor(t.first, read));
            std::unique_ptr<OrvTable> owned(read);
            const char* name = nullptr;
            ASSERT_EQ(ORV_SUCCESS, read->getTableName(name));
            EXPECT_EQ(t.second.name, name);
            Uint16 columns = 0;
            EXPECT_EQ(ORV_SUCCESS, read->getNumColumns(columns));
            EXPECT_EQ(t.second.columns, columns);
            EXPECT_EQ(model.indexesOf(t.first), indexIdsOf(*read));
        }
    };

    for (int round = 0; round < 40; ++round) {
        OrvClientTransaction::begin();
        const Model before = model;
        const int steps = 1 + pick(4);
        for (int step = 0; step < steps; ++step) {
            const int op = pick(10);
            if (op < 3) {
                const std::string name = "T" + std::to_string(pick(12));
                std::vector<orvcatalogtest::Column> columns;
                const int n = 1 + pick(3);
                for (int c = 0; c < n; ++c) {
                    columns.push_back({"C" + std::to_string(c), c % 2 == 0 ? INTEGER : VARCHAR,
                                       static_cast<Uint16>(1 + pick(50)), pick(2) == 0});
                }
                auto table = userTable(name, columns);
                TableId id = 0;
                const OrvErrorCode code = catalog()->addTable(*table, id);
                if (model.hasTableName(name)) {
                    EXPECT_EQ(ORV_COMPILER_TABLE_ALREADY_EXISTS, code) << name;
                } else {
                    ASSERT_EQ(ORV_SUCCESS, code) << name;
                    EXPECT_EQ(model.nextTable(), id);
                    model.tables[id] = {name, static_cast<Uint16>(n)};
                }
            } else if (op < 5 && !model.tables.empty()) {
                auto it = model.tables.begin();
                std::advance(it, pick(static_cast<int>(model.tables.size())));
                const std::string name = "I" + std::to_string(pick(12));
                const Uint16 column = static_cast<Uint16>(pick(it->second.columns + 1));
                auto index = userIndex(name, it->first, column, pick(2) == 0);
                IndexId id = 0;
                const OrvErrorCode code = catalog()->addIndex(*index, id);
                if (column >= it->second.columns) {
                    EXPECT_EQ(ORV_PARAMETER_FAIL, code);
                } else if (model.hasIndexName(name)) {
                    EXPECT_EQ(ORV_COMPILER_INDEX_ALREADY_EXISTS, code) << name;
                } else {
                    ASSERT_EQ(ORV_SUCCESS, code) << name;
                    EXPECT_EQ(model.nextIndex(), id);
                    model.indexes[id] = {name, it->first};
                }
            } else if (op < 6 && !model.indexes.empty()) {
                auto it = model.indexes.begin();
                std::advance(it, pick(static_cast<int>(model.indexes.size())));
                ASSERT_EQ(ORV_SUCCESS, catalog()->removeIndex(it->first));
                model.indexes.erase(it);
            } else if (op < 7 && !model.tables.empty()) {
                auto it = model.tables.begin();
                std::advance(it, pick(static_cast<int>(model.tables.size())));
                const OrvErrorCode code = catalog()->removeTable(it->first);
                if (!model.indexesOf(it->first).empty()) {
                    EXPECT_EQ(ORV_CAT_TABLE_HAS_INDEXES, code);
                } else {
                    ASSERT_EQ(ORV_SUCCESS, code);
                    model.tables.erase(it);
                }
            } else {
                const std::string name = "T" + std::to_string(pick(12));
                TableId id = 0;
                const OrvErrorCode code = catalog()->getTableId(name, id);
                TableId expected = 0;
                for (const auto& t : model.tables) {
                    if (t.second.name == name) {
                        expected = t.first;
                    }
                }
                EXPECT_EQ(expected == 0 ? ORV_NOT_FOUND_WARN : ORV_SUCCESS, code) << name;
                if (expected != 0) {
                    EXPECT_EQ(expected, id);
                }
                const std::string indexName = "I" + std::to_string(pick(12));
                IndexId indexId = 0;
                IndexId expectedIndex = 0;
                for (const auto& i : model.indexes) {
                    if (i.second.name == indexName) {
                        expectedIndex = i.first;
                    }
                }
                EXPECT_EQ(expectedIndex == 0 ? ORV_NOT_FOUND_WARN : ORV_SUCCESS,
                          catalog()->getIndexId(indexName, indexId));
                if (expectedIndex != 0) {
                    EXPECT_EQ(expectedIndex, indexId);
                }
            }
        }
        if (pick(3) == 0) {
            OrvClientTransaction::rollback();
            model = before;
        } else {
            OrvClientTransaction::commit();
        }
        OrvClientTransaction::begin();
        verify();
        OrvClientTransaction::commit();
        if (HasFatalFailure()) {
            return;
        }
    }
}

// A change that stops after its first write leaves a transaction that can
// only be rolled back; a stored count below zero is refused, not read as a
// huge number.
TEST_F(CatalogTest, HalfDoneChangeIsRolledBackNeverCommitted) {
    OrvClientTransaction::begin();
    catalog();
    // SYSTABLES' own count damaged, behind the manager's back.
    OrvRecordManager* records = OrvRecordManager::getInstance();
    std::vector<TupleId> tids = tidsOf(OrvCatalogManager::IDX_SYSTABLES_TABLEID_ID, 1);
    ASSERT_EQ(1u, tids.size());
    OrvRecord* record = nullptr;
    records->getForUpdate(1, tids[0], record);
    OrvTable* sysTables = nullptr;
    ASSERT_EQ(ORV_SUCCESS, catalog()->getTableDescriptor(1, sysTables));
    std::unique_ptr<OrvTable> owned(sysTables);
    OrvRecordTuple tuple(record, sysTables);
    const Sint32 minusOne = -1;
    ASSERT_EQ(ORV_SUCCESS, tuple.setInt(4, &minusOne));
    records->replace(1, tids[0], *tuple.getRecord());
    OrvClientTransaction::commit();

    OrvClientTransaction::begin();
    Uint32 count = 0;
    EXPECT_EQ(ORV_CAT_INCONSISTENT_CATALOG, catalog()->getTupleCount(1, count));
    auto table = userTable("HALF", {{"A", INTEGER, 0, false}});
    TableId id = 0;
    // The rows go in, then the count cannot be raised.
    EXPECT_EQ(ORV_CAT_INCONSISTENT_CATALOG, catalog()->addTable(*table, id));
    try {
        OrvClientTransaction::commit();
        ADD_FAILURE() << "a half-done catalog change was committed";
    } catch (const OrvException& e) {
        EXPECT_EQ(ORV_TX_CATALOG_WRITE_FAILED, e.getErrorCode());
    }
    EXPECT_NO_THROW(OrvClientTransaction::rollback());

    OrvClientTransaction::begin();
    EXPECT_EQ(ORV_NOT_FOUND_WARN, catalog()->getTableId("HALF", id));
    EXPECT_TRUE(tidsOf(OrvCatalogManager::IDX_SYSTABLES_TABLEID_ID, 4).empty());
    EXPECT_TRUE(tidsOf(OrvCatalogManager::IDX_SYSCOLUMNS_TABLEID_ID, 4).empty());
    EXPECT_EQ(3, catalog()->getTupleCountByCounting(id = 1));
    // The next transaction is a fresh one: it may commit.
    EXPECT_NO_THROW(OrvClientTransaction::commit());
}

TEST_F(CatalogTest, DamagedColumnRowMakesTheDescriptorUnreadable) {
    OrvClientTransaction::begin();
    auto table = userTable("DAMAGED", {{"A", INTEGER, 0, false}, {"B", VARCHAR, 9, true}});
    TableId id = 0;
    ASSERT_EQ(ORV_SUCCESS, catalog()->addTable(*table, id));
    OrvClientTransaction::commit();

    OrvClientTransaction::begin();
    std::vector<TupleId> tids = tidsOf(OrvCatalogManager::IDX_SYSCOLUMNS_TABLEID_ID, id);
    ASSERT_EQ(2u, tids.size());
    OrvTable* sysColumns = nullptr;
    ASSERT_EQ(ORV_SUCCESS, catalog()->getTableDescriptor(2, sysColumns));
    std::unique_ptr<OrvTable> owned(sysColumns);
    OrvRecord* record = nullptr;
    OrvRecordManager::getInstance()->getForUpdate(2, tids[1], record);
    OrvRecordTuple tuple(record, sysColumns);
    ASSERT_EQ(ORV_SUCCESS, tuple.setVarchar(5, "y", 1));
    OrvRecordManager::getInstance()->replace(2, tids[1], *tuple.getRecord());
    OrvTable* read = nullptr;
    EXPECT_EQ(ORV_CAT_INCONSISTENT_CATALOG, catalog()->getTableDescriptor(id, read));
    EXPECT_EQ(nullptr, read);
    // Nothing of it is removed either.
    EXPECT_EQ(ORV_CAT_INCONSISTENT_CATALOG, catalog()->removeTable(id));
    EXPECT_EQ(2u, tidsOf(OrvCatalogManager::IDX_SYSCOLUMNS_TABLEID_ID, id).size());
    OrvClientTransaction::rollback();
}

// A lookup that meets another transaction's lock reports the lock, not
// "not found" (waits for one lock time-out).
TEST_F(CatalogTest, LookupMeetingALockReportsIt) {
    orvtest::Pipe go;
    orvtest::Pipe ready;
    orvtest::Pipe done;
    orvtest::ChildProcess holder([&] {
        OrvTransactionManager::resetForProcess();
        if (!go.receive()) {
            return 2;
        }
        OrvClientTransaction::begin();
        auto table = userTable("HELD", {{"A", INTEGER, 0, false}});
        TableId id = 0;
        if (OrvCatalogManager::getInstance()->addTable(*table, id) != ORV_SUCCESS) {
            return 3;
        }
        ready.send();
        done.receive(120000);
        OrvClientTransaction::rollback();
        OrvSystem::stopAllManagers();
        return 0;
    });
    // The catalog's indexes opened first, in a transaction of their own.
    OrvClientTransaction::begin();
    catalog();
    OrvClientTransaction::commit();
    go.send();
    ASSERT_TRUE(ready.receive());

    OrvClientTransaction::begin();
    TableId id = 0;
    EXPECT_EQ(ORV_LM_LOCK_TIME_OUT, catalog()->getTableId("ANYTHING", id));
    OrvClientTransaction::rollback();
    done.send();
    EXPECT_EQ(0, holder.wait(60000));
}

// A table with a few thousand rows and two indexes, made and filled by one
// process, read, dumped and dropped (its indexes first) by the next; the
// table made after it inherits nothing.
TEST_F(CatalogTest, TableLivesAndDiesAcrossTwoProcesses) {
    const Sint32 rows = 3000;
    auto columns = std::vector<orvcatalogtest::Column>{
        {"ID", INTEGER, 0, false}, {"GROUPNO", INTEGER, 0, false}, {"NAME", VARCHAR, 30, true}};
    const int made = orvtest::runInChild([&] {
        OrvTransactionManager::resetForProcess();
        OrvClientTransaction::begin();
        OrvTransactionGuard guard;
        OrvCatalogManager* cm = OrvCatalogManager::getInstance();
        auto table = userTable("BIG", columns);
        TableId id = 0;
        if (cm->addTable(*table, id) != ORV_SUCCESS || id != 4) {
            return 2;
        }
        OrvRecordManager::getInstance()->createTable(id);
        IndexId ids[2] = {0, 0};
        for (int i = 0; i < 2; ++i) {
            auto index =
                userIndex(i == 0 ? "BIG_ID" : "BIG_GROUP", id, static_cast<Uint16>(i), i == 0);
            if (cm->addIndex(*index, ids[i]) != ORV_SUCCESS) {
                return 3;
            }
            OrvIndexManager::getInstance()->createIndex(ids[i], i == 0, BTree, INTEGER);
        }
        OrvRecordTuple tuple(table.get());
        for (Sint32 r = 0; r < rows; ++r) {
            const Sint32 group = r % 7;
            const std::string name = "row" + std::to_string(r);
            if (tuple.initialize(table.get()) != ORV_SUCCESS ||
                tuple.setInt(0, &r) != ORV_SUCCESS || tuple.setInt(1, &group) != ORV_SUCCESS ||
                tuple.setVarchar(2, name.data(), static_cast<Uint16>(name.size())) != ORV_SUCCESS) {
                return 4;
            }
            TupleId tid;
            OrvRecordManager::getInstance()->insert(*tuple.getRecord(), id, tid);
            OrvIndexKey key;
            key.dataType = INTEGER;
            key.intKey = r;
            OrvIndexManager::getInstance()->insert(ids[0], key, tid);
            key.intKey = group;
            OrvIndexManager::getInstance()->insert(ids[1], key, tid);
        }
        if (cm->updateTupleCount(id, rows) != ORV_SUCCESS) {
            return 5;
        }
        guard.commit();
        OrvSystem::stopAllManagers();
        return 0;
    });
    ASSERT_EQ(0, made);

    const std::string dumpFile = db.file("dump.txt");
    const int dropped = orvtest::runInChild([&] {
        OrvTransactionManager::resetForProcess();
        OrvClientTransaction::begin();
        OrvTransactionGuard guard;
        OrvCatalogManager* cm = OrvCatalogManager::getInstance();
        TableId id = 0;
        if (cm->getTableId("BIG", id) != ORV_SUCCESS || id != 4) {
            return 2;
        }
        OrvTable* read = nullptr;
        if (cm->getTableDescriptor(id, read) != ORV_SUCCESS) {
            return 3;
        }
        std::unique_ptr<OrvTable> table(read);
        Uint32 count = 0;
        if (table->getTupleCount() != static_cast<Uint32>(rows) ||
            cm->getTupleCount(id, count) != ORV_SUCCESS || count != static_cast<Uint32>(rows) ||
            cm->getTupleCountByCounting(id) != rows || table->getNumIndexes() != 2) {
            return 4;
        }
        // Every row found through the unique index.
        std::vector<IndexId> indexes;
        for (Uint32 i = 0; i < 2; ++i) {
            OrvIndex* index = nullptr;
            table->getIndex(i, index);
            IndexId indexId = 0;
            bool unique = false;
            if (index->getIndexId(indexId) != ORV_SUCCESS ||
                index->getUnique(unique) != ORV_SUCCESS) {
                return 5;
            }
            OrvIndexManager::getInstance()->openIndex(indexId, unique, BTree, INTEGER);
            indexes.push_back(indexId);
        }
        std::sort(indexes.begin(), indexes.end());
        if (indexes != std::vector<IndexId>{5, 6}) {
            return 6;
        }
        for (Sint32 r = 0; r < rows; r += 97) {
            OrvIndexKey key;
            key.dataType = INTEGER;
            key.intKey = r;
            TupleId tid;
            OrvIndexManager::getInstance()->find(5, key, tid);
            OrvRecord* record = nullptr;
            OrvRecordManager::getInstance()->get(id, tid, record);
            OrvRecordTuple tuple(record, table.get());
            const Sint32* value = nullptr;
            if (tuple.getInt(0, value) != ORV_SUCCESS || *value != r) {
                return 7;
            }
        }
        std::freopen(dumpFile.c_str(), "w", stdout);
        const std::string args = "info big";
        OrvDebug::find(OrvDebug::functions(), "table_all")->func(&args);
        std::fflush(stdout);
        for (IndexId indexId : indexes) {
            OrvIndexManager::getInstance()->dropIndex(indexId);
            if (cm->removeIndex(indexId) != ORV_SUCCESS) {
                return 8;
            }
        }
        OrvRecordManager::getInstance()->dropTable(id);
        if (cm->removeTable(id) != ORV_SUCCESS) {
            return 9;
        }
        guard.commit();
        OrvSystem::stopAllManagers();
        return 0;
    });
    ASSERT_EQ(0, dropped);
    const std::string dump = orvtest::readFile(dumpFile);
    EXPECT_EQ(0u, dump.find("----------DUMP----------\nTableId: 4\n"));
    EXPECT_NE(std::string::npos, dump.find("FSV PAGE    | 0 "));
    EXPECT_NE(std::string::npos, dump.find("--------END DUMP--------"));

    OrvClientTransaction::begin();
    TableId id = 0;
    EXPECT_EQ(ORV_NOT_FOUND_WARN, catalog()->getTableId("BIG", id));
    auto next = userTable("AFTER", {{"K", INTEGER, 0, false}});
    ASSERT_EQ(ORV_SUCCESS, catalog()->addTable(*next, id));
    EXPECT_EQ(4, id);
    OrvRecordManager::getInstance()->createTable(id);
    OrvTable* read = nullptr;
    ASSERT_EQ(ORV_SUCCESS, catalog()->getTableDescriptor(id, read));
    std::unique_ptr<OrvTable> owned(read);
    EXPECT_EQ(0u, read->getNumIndexes());
    EXPECT_EQ(0, catalog()->getTupleCountByCounting(id));
    IndexId indexId = 0;
    auto index = userIndex("AFTER_K", id, 0, true);
    ASSERT_EQ(ORV_SUCCESS, catalog()->addIndex(*index, indexId));
    EXPECT_EQ(5, indexId);
    CatalogCounts counts = catalogCounts(catalog());
    EXPECT_EQ((std::vector<Uint32>{4, 19, 5}),
              (std::vector<Uint32>{counts.stored[0], counts.stored[1], counts.stored[2]}));
    OrvClientTransaction::commit();
}

// A table and its index made, filled and, in the last round, dropped in one
// transaction: a rollback takes back the catalog rows with the files and
// the rows, a commit keeps exactly what the transaction left.
TEST_F(CatalogTest, TableWorkInOneTransactionCommitsOrRollsBackWhole) {
    auto fileExists = [&](SegmentId segment) {
        return access(db.file("Seg" + std::to_string(segment) + ".orv").c_str(), F_OK) == 0;
    };
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const bool drop = round == 2;
        const bool commit = round != 0;
        OrvClientTransaction::begin();
        auto table = userTable("WORK", {{"K", INTEGER, 0, false}, {"V", VARCHAR, 20, true}});
        TableId tableId = 0;
        ASSERT_EQ(ORV_SUCCESS, catalog()->addTable(*table, tableId));
        OrvRecordManager::getInstance()->createTable(tableId);
        auto index = userIndex("WORK_K", tableId, 0, true);
        IndexId indexId = 0;
        ASSERT_EQ(ORV_SUCCESS, catalog()->addIndex(*index, indexId));
        OrvIndexManager::getInstance()->createIndex(indexId, true, BTree, INTEGER);
        OrvRecordTuple tuple(table.get());
        for (Sint32 k = 0; k < 200; ++k) {
            ASSERT_EQ(ORV_SUCCESS, tuple.initialize(table.get()));
            ASSERT_EQ(ORV_SUCCESS, tuple.setInt(0, &k));
            ASSERT_EQ(ORV_SUCCESS, tuple.setVarchar(1, nullptr, 0));
            TupleId tid;
            OrvRecordManager::getInstance()->insert(*tuple.getRecord(), tableId, tid);
            OrvIndexKey key;
            key.dataType = INTEGER;
            key.intKey = k;
            OrvIndexManager::getInstance()->insert(indexId, key, tid);
        }
        ASSERT_EQ(ORV_SUCCESS, catalog()->updateTupleCount(tableId, 200));
        if (drop) {
            OrvIndexManager::getInstance()->dropIndex(indexId);
            ASSERT_EQ(ORV_SUCCESS, catalog()->removeIndex(indexId));
            OrvRecordManager::getInstance()->dropTable(tableId);
            ASSERT_EQ(ORV_SUCCESS, catalog()->removeTable(tableId));
        }
        if (commit) {
            OrvClientTransaction::commit();
        } else {
            OrvClientTransaction::rollback();
        }
        const bool kept = commit && !drop;
        EXPECT_EQ(kept, fileExists(tableId));
        EXPECT_EQ(kept, fileExists(static_cast<SegmentId>(2 * indexId + 32767)));

        OrvClientTransaction::begin();
        TableId found = 0;
        EXPECT_EQ(kept ? ORV_SUCCESS : ORV_NOT_FOUND_WARN, catalog()->getTableId("WORK", found));
        IndexId foundIndex = 0;
        EXPECT_EQ(kept ? ORV_SUCCESS : ORV_NOT_FOUND_WARN,
                  catalog()->getIndexId("WORK_K", foundIndex));
        CatalogCounts counts = catalogCounts(catalog());
        EXPECT_EQ(kept ? 4u : 3u, counts.stored[0]);
        EXPECT_EQ(kept ? 20u : 18u, counts.stored[1]);
        EXPECT_EQ(kept ? 5u : 4u, counts.stored[2]);
        if (kept) {
            Uint32 rows = 0;
            EXPECT_EQ(ORV_SUCCESS, catalog()->getTupleCount(found, rows));
            EXPECT_EQ(200u, rows);
            EXPECT_EQ(200, catalog()->getTupleCountByCounting(found));
            // Cleared for the last round.
            OrvIndexManager::getInstance()->dropIndex(indexId);
            ASSERT_EQ(ORV_SUCCESS, catalog()->removeIndex(indexId));
            OrvRecordManager::getInstance()->dropTable(tableId);
            ASSERT_EQ(ORV_SUCCESS, catalog()->removeTable(tableId));
        }
        OrvClientTransaction::commit();
        EXPECT_FALSE(fileExists(tableId));
    }
}

// Wide tables spread the column index over several leaves; removing the
// last two empties its last leaf. The largest id is still found behind it,
// and the next table gets the first free id, with nothing of the old ones.
TEST_F(CatalogTest, NextIdIsFoundWhenTheLastLeafOfAnIndexEmpties) {
    std::vector<orvcatalogtest::Column> wide;
    for (int c = 0; c < 300; ++c) {
        wide.push_back({"C" + std::to_string(c), INTEGER, 0, false});
    }
    for (const char* name : {"WIDE_A", "WIDE_B", "WIDE_C"}) {
        OrvClientTransaction::begin();
        auto table = userTable(name, wide);
        TableId id = 0;
        ASSERT_EQ(ORV_SUCCESS, catalog()->addTable(*table, id));
        OrvClientTransaction::commit();
    }
    OrvClientTransaction::begin();
    ASSERT_EQ(ORV_SUCCESS, catalog()->removeTable(6));
    ASSERT_EQ(ORV_SUCCESS, catalog()->removeTable(5));
    OrvClientTransaction::commit();

    OrvClientTransaction::begin();
    OrvIndexKey key;
    key.dataType = INTEGER;
    TupleId tid;
    OrvIndexManager::getInstance()->findLastKey(OrvCatalogManager::IDX_SYSCOLUMNS_TABLEID_ID, key,
                                                tid);
    EXPECT_EQ(4, key.intKey);
    auto next = userTable("NARROW", {{"K", INTEGER, 0, false}});
    TableId id = 0;
    ASSERT_EQ(ORV_SUCCESS, catalog()->addTable(*next, id));
    EXPECT_EQ(5, id);
    OrvTable* read = nullptr;
    ASSERT_EQ(ORV_SUCCESS, catalog()->getTableDescriptor(id, read));
    std::unique_ptr<OrvTable> owned(read);
    Uint16 columns = 0;
    EXPECT_EQ(ORV_SUCCESS, read->getNumColumns(columns));
    EXPECT_EQ(1, columns);
    EXPECT_EQ(0u, read->getNumIndexes());
    CatalogCounts counts = catalogCounts(catalog());
    EXPECT_EQ(319u, counts.stored[1]);
    EXPECT_EQ(319, counts.counted[1]);
    OrvClientTransaction::commit();
}
