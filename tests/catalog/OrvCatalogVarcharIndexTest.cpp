// An index over a VARCHAR column, made through the catalog: rows and keys
// written by one process, then found by key and by range by another that
// knows the index only from the catalog, with a rolled back insert leaving
// no key behind.
#include "CatalogManagerSupport.h"
#include "OrvTestSupport.h"

#include "OrvSystem.h"
#include "OrvTuple.h"

#include <cstring>
#include <map>
#include <random>

namespace {

using namespace orvcatalogtest;

OrvIndexKey text(const std::string& value) {
    OrvIndexKey key;
    key.dataType = VARCHAR;
    key.varcharKey = new char[value.size() + 1];
    std::memcpy(key.varcharKey, value.c_str(), value.size() + 1);
    key.ownChar = true;
    return key;
}

// Names with shared prefixes and repeats, so that equal keys and close keys
// meet in the one leaf of the index.
std::string nameFor(std::mt19937& random) {
    static const char* const stems[] = {"ann", "anna", "annette", "bo", "bob", "", "z"};
    return std::string(stems[random() % 7]) + std::to_string(random() % 40);
}

// The NAME column of the row at tid, read through the table's descriptor.
bool nameAt(OrvTable& table, TableId tableId, const TupleId& tid, std::string& name) {
    OrvRecord* record = nullptr;
    OrvRecordManager::getInstance()->get(tableId, tid, record);
    OrvRecordTuple tuple(record, &table);
    const char* value = nullptr;
    Uint16 length = 0;
    if (tuple.getVarchar(1, value, length) != ORV_SUCCESS || value == nullptr) {
        return false;
    }
    name.assign(value, length);
    return true;
}

TEST_F(CatalogTest, VarcharIndexMadeThroughTheCatalogAnswersFindsAndRanges) {
    const int rows = 150;
    std::mt19937 random(4711);
    std::multimap<std::string, int> model;
    std::vector<std::string> names;
    for (int r = 0; r < rows; ++r) {
        names.push_back(nameFor(random));
        model.emplace(names.back(), r);
    }

    const int made = orvtest::runInChild([&] {
        OrvTransactionManager::resetForProcess();
        OrvClientTransaction::begin();
        OrvTransactionGuard guard;
        OrvCatalogManager* cm = OrvCatalogManager::getInstance();
        auto table = userTable("PEOPLE", {{"ID", INTEGER, 0, false}, {"NAME", VARCHAR, 40, false}});
        TableId tableId = 0;
        IndexId indexId = 0;
        if (cm->addTable(*table, tableId) != ORV_SUCCESS) {
            return 2;
        }
        auto index = userIndex("PEOPLE_NAME", tableId, 1, false);
        if (cm->addIndex(*index, indexId) != ORV_SUCCESS) {
            return 2;
        }
        OrvRecordManager::getInstance()->createTable(tableId);
        OrvIndexManager::getInstance()->createIndex(indexId, false, BTree, VARCHAR);
        OrvRecordTuple tuple(table.get());
        auto insertRow = [&](Sint32 r, const std::string& name) {
            if (tuple.initialize(table.get()) != ORV_SUCCESS ||
                tuple.setInt(0, &r) != ORV_SUCCESS ||
                tuple.setVarchar(1, name.data(), Uint16(name.size())) != ORV_SUCCESS) {
                return false;
            }
            TupleId tid;
            OrvRecordManager::getInstance()->insert(*tuple.getRecord(), tableId, tid);
            OrvIndexManager::getInstance()->insert(indexId, text(name), tid);
            return true;
        };
        for (int r = 0; r < rows; ++r) {
            if (!insertRow(r, names[r])) {
                return 3;
            }
        }
        guard.commit();
        // A row and its key taken back by a rollback.
        OrvClientTransaction::begin();
        if (!insertRow(rows, "rolled back")) {
            return 4;
        }
        OrvClientTransaction::rollback();
        OrvSystem::stopAllManagers();
        return 0;
    });
    ASSERT_EQ(0, made);

    // This process knows the index only from the catalog.
    OrvClientTransaction::begin();
    IndexId indexId = 0;
    ASSERT_EQ(ORV_SUCCESS, catalog()->getIndexId("PEOPLE_NAME", indexId));
    OrvIndex* readIndex = nullptr;
    ASSERT_EQ(ORV_SUCCESS, catalog()->getIndexDescriptor(indexId, readIndex));
    std::unique_ptr<OrvIndex> index(readIndex);
    TableId tableId = 0;
    Uint16 column = 0;
    bool unique = true;
    ASSERT_EQ(ORV_SUCCESS, index->getTableId(tableId));
    ASSERT_EQ(ORV_SUCCESS, index->getColumnNumber(column));
    ASSERT_EQ(ORV_SUCCESS, index->getUnique(unique));
    OrvTable* readTable = nullptr;
    ASSERT_EQ(ORV_SUCCESS, catalog()->getTableDescriptor(tableId, readTable));
    std::unique_ptr<OrvTable> table(readTable);
    OrvDataType type = UnknownDataType;
    ASSERT_EQ(ORV_SUCCESS, table->getColumnDatatype(column, type));
    ASSERT_EQ(VARCHAR, type);
    ASSERT_EQ(1u, table->getNumIndexes());
    OrvIndexManager* im = OrvIndexManager::getInstance();
    im->openIndex(indexId, unique, BTree, type);

    // Every name found, and the row it leads to carries it.
    for (const auto& entry : model) {
        TupleId tid;
        im->find(indexId, text(entry.first), tid);
        std::string name;
        ASSERT_TRUE(nameAt(*table, tableId, tid, name));
        EXPECT_EQ(entry.first, name);
    }
    TupleId tid;
    EXPECT_THROW(im->find(indexId, text("rolled back"), tid), OrvException);

    // Ranges, open and closed, against the model.
    const std::vector<std::pair<std::string, std::string>> ranges = {
        {"", "~"}, {"ann", "anna9"}, {"b", "bob3"}, {"bob39", "bob39"}, {"c", "y"}, {"z", "z9"}};
    for (const auto& range : ranges) {
        SCOPED_TRACE(range.first + " .. " + range.second);
        const OrvIndexKey low = text(range.first);
        const OrvIndexKey high = text(range.second);
        OrvIndexIterator* raw = nullptr;
        im->findRange(indexId, &low, &high, raw);
        std::unique_ptr<OrvIndexIterator> scan(raw);
        std::multiset<std::string> seen;
        while (scan->hasNext()) {
            ASSERT_EQ(ORV_SUCCESS, scan->getNextTupleId(tid));
            scan->releasePage();
            std::string name;
            ASSERT_TRUE(nameAt(*table, tableId, tid, name));
            seen.insert(name);
        }
        std::multiset<std::string> expected;
        for (auto it = model.lower_bound(range.first); it != model.upper_bound(range.second);
             ++it) {
            expected.insert(it->first);
        }
        EXPECT_EQ(expected, seen);
    }
    OrvClientTransaction::commit();
}

} // namespace
