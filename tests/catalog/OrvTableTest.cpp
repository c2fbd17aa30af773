// Table and index descriptors: checks of their getters and setters, record
// length bounds, names at and past their limits, refilling in place, and the
// index list with its loader.
#include "OrvTable.h"

#include "CatalogTestSupport.h"
#include "OrvError.h"
#include "OrvException.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using orvcatalogtest::Column;
using orvcatalogtest::lastMessage;
using orvcatalogtest::makeTable;

namespace {

OrvErrorCode thrownBy(const std::function<void()>& body) {
    try {
        body();
    } catch (const OrvException& e) {
        return e.getErrorCode();
    }
    return ORV_SUCCESS;
}

std::unique_ptr<OrvIndex> makeIndex(IndexId id, Uint16 column, OrvIndexType type,
                                    TableId table = 7) {
    std::unique_ptr<OrvIndex> index(new OrvIndex);
    EXPECT_EQ(ORV_SUCCESS, index->setIndexId(id));
    EXPECT_EQ(ORV_SUCCESS, index->setIndexName(("I" + std::to_string(id)).c_str()));
    EXPECT_EQ(ORV_SUCCESS, index->setIndexType(type));
    EXPECT_EQ(ORV_SUCCESS, index->setTableId(table));
    EXPECT_EQ(ORV_SUCCESS, index->setColumnNumber(column));
    EXPECT_EQ(ORV_SUCCESS, index->setUnique(id % 2 == 0));
    return index;
}

TEST(OrvTableTest, UnsetFieldsAndBadArgumentsGiveTheirErrors) {
    OrvTable table;
    TableId id = 99;
    const char* name = nullptr;
    Uint16 count = 99;
    EXPECT_EQ(ORV_INTERNAL_FAIL, table.getTableId(id));
    EXPECT_EQ(ORV_INTERNAL_FAIL, table.getTableName(name));
    EXPECT_EQ(ORV_INTERNAL_FAIL, table.getNumColumns(count));
    EXPECT_EQ(99, id);
    EXPECT_EQ(0u, table.getTupleCount());
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.setTableId(0));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.setTableId(ORV_MAX_TABLE_ID + 1));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.createColumns(0));
    Uint16 column = 0;
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.getColumnNumber(nullptr, column));
    EXPECT_EQ(ORV_INTERNAL_FAIL, table.getColumnNumber("A", column));

    ASSERT_EQ(ORV_SUCCESS, table.createColumns(2));
    OrvDataType type = INTEGER;
    bool nullable = false;
    Uint16 length = 1;
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.getColumnName(2, name));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.getColumnDatatype(2, type));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.getIsNullable(2, nullable));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.getMaxColumnLength(2, length));
    // Fresh columns are nullable and of no type yet.
    EXPECT_EQ(ORV_SUCCESS, table.getColumnDatatype(1, type));
    EXPECT_EQ(UnknownDataType, type);
    EXPECT_EQ(ORV_SUCCESS, table.getIsNullable(1, nullable));
    EXPECT_TRUE(nullable);
    EXPECT_EQ(ORV_INTERNAL_FAIL, table.getMaxColumnLength(1, length));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.setColumnDefinition(2, "A", INTEGER, 0, true));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.setColumnDefinition(0, nullptr, INTEGER, 0, true));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.setColumnDefinition(0, "A", UnknownDataType, 0, true));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.setColumnName(2, "A"));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.setColumnName(0, nullptr));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.setColumnName(0, "A", 0u));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.setTableName(nullptr));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.setTableName("T", 0));
}

TEST(OrvTableTest, ColumnDefinitionsAndTheirLookup) {
    auto table = makeTable({{"ID", INTEGER, 77, false}, {"Name", VARCHAR, 30, true}}, "PEOPLE", 12);
    TableId id = 0;
    const char* name = nullptr;
    EXPECT_EQ(ORV_SUCCESS, table->getTableId(id));
    EXPECT_EQ(12, id);
    EXPECT_EQ(ORV_SUCCESS, table->getTableName(name));
    EXPECT_STREQ("PEOPLE", name);
    Uint16 length = 0;
    EXPECT_EQ(ORV_SUCCESS, table->getMaxColumnLength(0, length));
    EXPECT_EQ(4, length); // an INTEGER is 4 bytes whatever length was given
    EXPECT_EQ(ORV_SUCCESS, table->getMaxColumnLength(1, length));
    EXPECT_EQ(30, length);
    Uint16 column = 9;
    EXPECT_EQ(ORV_SUCCESS, table->getColumnNumber("Name", column));
    EXPECT_EQ(1, column);
    EXPECT_EQ(ORV_CAT_COLUMN_NOT_IN_TABLE, table->getColumnNumber("NAME", column));
    EXPECT_EQ("A column named 'NAME' does not exist in table 'PEOPLE'", lastMessage());
    EXPECT_EQ(1, column);

    // A VARCHAR of maximum length 0 is refused and changes nothing.
    EXPECT_EQ(ORV_PARAMETER_FAIL, table->setColumnDefinition(1, "Other", VARCHAR, 0, false));
    EXPECT_EQ(ORV_SUCCESS, table->getColumnName(1, name));
    EXPECT_STREQ("Name", name);
    EXPECT_EQ(ORV_SUCCESS, table->getMaxColumnLength(1, length));
    EXPECT_EQ(30, length);
}

TEST(OrvTableTest, RecordLengthBoundsFollowTheRowFormat) {
    auto table = makeTable({{"A", INTEGER, 0, true}, {"B", VARCHAR, 10, false}});
    EXPECT_EQ(3, table->getMinRecordLength());
    EXPECT_EQ(17, table->getMaxRecordLength());
    // A changed definition drops the cached bounds.
    ASSERT_EQ(ORV_SUCCESS, table->setColumnDefinition(0, "A", INTEGER, 0, false));
    EXPECT_EQ(6, table->getMinRecordLength());
    EXPECT_EQ(16, table->getMaxRecordLength());
    ASSERT_EQ(ORV_SUCCESS, table->setColumnDefinition(1, "B", VARCHAR, 10, true));
    EXPECT_EQ(5, table->getMinRecordLength());
    EXPECT_EQ(17, table->getMaxRecordLength());
}

// Two long VARCHAR columns used to wrap the 16-bit sum, giving a maximum
// record length far too small for the rows the table allows.
TEST(OrvTableTest, ATableWhoseRowsCouldOutgrowARecordIsRefused) {
    auto table = makeTable({{"A", VARCHAR, 40000, true}});
    EXPECT_EQ(40003, table->getMaxRecordLength());
    // 40003 + 25533 = 65536 bytes: one more than a record holds.
    EXPECT_EQ(ORV_CAT_RECORD_TOO_LONG, [&] {
        OrvTable wide;
        EXPECT_EQ(ORV_SUCCESS, wide.setTableName("WIDE"));
        EXPECT_EQ(ORV_SUCCESS, wide.createColumns(2));
        EXPECT_EQ(ORV_SUCCESS, wide.setColumnDefinition(0, "A", VARCHAR, 40000, true));
        OrvErrorCode code = wide.setColumnDefinition(1, "B", VARCHAR, 25530, true);
        // Refused without a trace: the column keeps its old definition.
        OrvDataType type = VARCHAR;
        EXPECT_EQ(ORV_SUCCESS, wide.getColumnDatatype(1, type));
        EXPECT_EQ(UnknownDataType, type);
        const char* name = nullptr;
        EXPECT_EQ(ORV_SUCCESS, wide.getColumnName(1, name));
        EXPECT_STREQ("", name);
        EXPECT_EQ(40003, wide.getMaxRecordLength());
        return code;
    }());
    EXPECT_EQ("A row of table 'WIDE' could be 65536 bytes long, but a record holds at most "
              "65535 bytes.",
              lastMessage());
    // One byte less fits exactly.
    OrvTable exact;
    ASSERT_EQ(ORV_SUCCESS, exact.createColumns(2));
    ASSERT_EQ(ORV_SUCCESS, exact.setColumnDefinition(0, "A", VARCHAR, 40000, true));
    ASSERT_EQ(ORV_SUCCESS, exact.setColumnDefinition(1, "B", VARCHAR, 25529, true));
    EXPECT_EQ(65535, exact.getMaxRecordLength());
    EXPECT_EQ(2, exact.getMinRecordLength());
}

// Every name setter: exactly the limit is taken, one more is the too-long
// error with (name, "128") and the old name stays. A name whose length does
// not fit in 16 bits used to be cut to its length modulo 65536.
TEST(OrvTableTest, NamesAtAndPastTheirLimit) {
    OrvTable table;
    OrvIndex index;
    ASSERT_EQ(ORV_SUCCESS, table.createColumns(1));
    struct Setter {
        std::function<OrvErrorCode(const char*)> set;
        std::function<OrvErrorCode(const char*, std::size_t)> setWithLength;
        std::function<std::string()> get;
        OrvErrorCode tooLong;
        std::string what;
    };
    std::vector<Setter> setters = {
        {[&](const char* n) { return table.setTableName(n); },
         [&](const char* n, std::size_t l) {
             return table.setTableName(n, static_cast<Uint16>(l));
         },
         [&] {
             const char* n = "";
             EXPECT_EQ(ORV_SUCCESS, table.getTableName(n));
             return std::string(n);
         },
         ORV_CAT_TABLE_NAME_TOO_LONG, "table"},
        {[&](const char* n) { return table.setColumnName(0, n); },
         [&](const char* n, std::size_t l) {
             return table.setColumnName(0, n, static_cast<Uint32>(l));
         },
         [&] {
             const char* n = "";
             EXPECT_EQ(ORV_SUCCESS, table.getColumnName(0, n));
             return std::string(n);
         },
         ORV_CAT_COLUMN_NAME_TOO_LONG, "column"},
        {[&](const char* n) { return index.setIndexName(n); },
         [&](const char* n, std::size_t l) {
             return index.setIndexName(n, static_cast<Uint16>(l));
         },
         [&] {
             const char* n = "";
             EXPECT_EQ(ORV_SUCCESS, index.getIndexName(n));
             return std::string(n);
         },
         ORV_CAT_INDEX_NAME_TOO_LONG, "index"},
    };
    for (const Setter& s : setters) {
        SCOPED_TRACE(s.what);
        const std::string limit(128, 'x');
        ASSERT_EQ(ORV_SUCCESS, s.set(limit.c_str()));
        EXPECT_EQ(limit, s.get());
        const std::string over = std::string(128, 'y') + "z";
        EXPECT_EQ(s.tooLong, s.set(over.c_str()));
        EXPECT_NE(std::string::npos, lastMessage().find("'" + over + "'"));
        EXPECT_NE(std::string::npos, lastMessage().find(" 128 characters"));
        EXPECT_EQ(limit, s.get());
        // 65536 + 3 characters: a 16-bit length would have been 3.
        const std::string huge(65539, 'h');
        EXPECT_EQ(s.tooLong, s.set(huge.c_str()));
        EXPECT_EQ(limit, s.get());
        // A name given by length need not be terminated; the message shows
        // only its stated bytes.
        std::unique_ptr<char[]> unterminated(new char[200]);
        std::memset(unterminated.get(), 'u', 200);
        EXPECT_EQ(s.tooLong, s.setWithLength(unterminated.get(), 200));
        EXPECT_NE(std::string::npos, lastMessage().find("'" + std::string(200, 'u') + "'"));
        ASSERT_EQ(ORV_SUCCESS, s.setWithLength(unterminated.get(), 5));
        EXPECT_EQ("uuuuu", s.get());
    }
}

TEST(OrvIndexTest, FieldsTheirChecksAndReset) {
    OrvIndex index;
    IndexId id = 5;
    OrvIndexType type = BTree;
    TableId tableId = 5;
    Uint16 column = 5;
    bool unique = true;
    const char* name = nullptr;
    EXPECT_EQ(ORV_INTERNAL_FAIL, index.getIndexId(id));
    EXPECT_EQ(ORV_PARAMETER_FAIL, index.getIndexType(type));
    EXPECT_EQ(ORV_INTERNAL_FAIL, index.getTableId(tableId));
    EXPECT_EQ(ORV_INTERNAL_FAIL, index.getColumnNumber(column));
    EXPECT_EQ(ORV_INTERNAL_FAIL, index.getUnique(unique));
    EXPECT_EQ(ORV_INTERNAL_FAIL, index.getIndexName(name));
    EXPECT_EQ(ORV_PARAMETER_FAIL, index.setIndexId(0));
    EXPECT_EQ(ORV_PARAMETER_FAIL, index.setIndexId(ORV_MAX_INDEX_ID + 1));
    EXPECT_EQ(ORV_PARAMETER_FAIL, index.setTableId(0));
    EXPECT_EQ(ORV_PARAMETER_FAIL, index.setIndexType(UnknownIndexType));
    EXPECT_EQ(ORV_PARAMETER_FAIL, index.setIndexName(nullptr));

    auto filled = makeIndex(ORV_MAX_INDEX_ID, 3, Hash, ORV_MAX_TABLE_ID);
    // A value outside the enumeration is ignored without an error.
    EXPECT_EQ(ORV_SUCCESS, filled->setIndexType(static_cast<OrvIndexType>(7)));
    EXPECT_EQ(ORV_SUCCESS, filled->getIndexType(type));
    EXPECT_EQ(Hash, type);
    EXPECT_EQ(ORV_SUCCESS, filled->getIndexId(id));
    EXPECT_EQ(ORV_MAX_INDEX_ID, id);
    EXPECT_EQ(ORV_SUCCESS, filled->getTableId(tableId));
    EXPECT_EQ(ORV_MAX_TABLE_ID, tableId);
    EXPECT_EQ(ORV_SUCCESS, filled->getColumnNumber(column));
    EXPECT_EQ(3, column);
    EXPECT_EQ(ORV_SUCCESS, filled->getUnique(unique));
    EXPECT_TRUE(unique);

    filled->reset();
    EXPECT_EQ(ORV_INTERNAL_FAIL, filled->getIndexId(id));
    EXPECT_EQ(ORV_PARAMETER_FAIL, filled->getIndexType(type));
    EXPECT_EQ(ORV_INTERNAL_FAIL, filled->getTableId(tableId));
    EXPECT_EQ(ORV_INTERNAL_FAIL, filled->getColumnNumber(column));
    EXPECT_EQ(ORV_INTERNAL_FAIL, filled->getUnique(unique));
    EXPECT_EQ(ORV_INTERNAL_FAIL, filled->getIndexName(name));
}

// A descriptor refilled in place used to keep the old table's id, row count
// and (loaded once) index list.
TEST(OrvTableTest, ResetLeavesNothingOfTheTableDescribedBefore) {
    auto table = makeTable({{"A", INTEGER, 0, true}, {"B", VARCHAR, 10, false}}, "OLD", 9);
    table->setTupleCount(42);
    ASSERT_EQ(ORV_SUCCESS, table->addIndex(makeIndex(1, 0, BTree, 9)));
    ASSERT_EQ(1u, table->getNumIndexes());
    ASSERT_EQ(17, table->getMaxRecordLength());

    table->reset();
    TableId id = 0;
    const char* name = nullptr;
    Uint16 count = 0;
    EXPECT_EQ(ORV_INTERNAL_FAIL, table->getTableId(id));
    EXPECT_EQ(ORV_INTERNAL_FAIL, table->getTableName(name));
    EXPECT_EQ(ORV_INTERNAL_FAIL, table->getNumColumns(count));
    EXPECT_EQ(0u, table->getTupleCount());
    EXPECT_EQ(0, table->getMaxRecordLength());
    EXPECT_EQ(0u, table->getNumIndexes());

    // Refilled as another table, whose list is loaded afresh.
    ASSERT_EQ(ORV_SUCCESS, table->setTableId(10));
    int loads = 0;
    table->setIndexLoader([&](TableId tableId, OrvTable::IndexList& list) {
        ++loads;
        EXPECT_EQ(10, tableId);
        list.push_back(makeIndex(4, 0, Hash, 10));
        list.push_back(makeIndex(6, 0, BTree, 10));
        return ORV_SUCCESS;
    });
    EXPECT_EQ(2u, table->getNumIndexes());
    EXPECT_EQ(2u, table->getNumIndexes());
    EXPECT_EQ(1, loads);
}

TEST(OrvTableTest, IndexListIsLoadedOnceAndSearchedFromItsEnd) {
    auto table = makeTable({{"A", INTEGER, 0, true}, {"B", VARCHAR, 10, false}});
    int loads = 0;
    table->setIndexLoader([&](TableId, OrvTable::IndexList& list) {
        ++loads;
        list.push_back(makeIndex(1, 0, BTree));
        list.push_back(makeIndex(2, 1, Hash));
        list.push_back(makeIndex(3, 0, BTree));
        return ORV_SUCCESS;
    });
    IndexId id = 0;
    table->hasIndexOfType(0, BTree, id);
    EXPECT_EQ(3, id); // the latest in the list wins
    table->hasIndexOfType(1, Hash, id);
    EXPECT_EQ(2, id);
    EXPECT_EQ(ORV_NOT_FOUND_WARN, thrownBy([&] { table->hasIndexOfType(1, BTree, id); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, thrownBy([&] { table->hasIndexOfType(2, BTree, id); }));
    OrvIndex* index = nullptr;
    table->getIndex(1, index);
    ASSERT_NE(nullptr, index);
    EXPECT_EQ(ORV_SUCCESS, index->getIndexId(id));
    EXPECT_EQ(2, id);
    EXPECT_EQ(ORV_PARAMETER_FAIL, thrownBy([&] { table->getIndex(3, index); }));
    ASSERT_EQ(ORV_SUCCESS, table->addIndex(makeIndex(9, 1, BTree)));
    EXPECT_EQ(4u, table->getNumIndexes());
    table->hasIndexOfType(1, BTree, id);
    EXPECT_EQ(9, id);
    EXPECT_EQ(1, loads);
}

// A load that failed part way used to leave its partial list behind, so that
// every later load failed, and getNumIndexes reported the failure as a count.
TEST(OrvTableTest, AFailedLoadLeavesNothingAndIsReported) {
    auto table = makeTable({{"A", INTEGER, 0, true}});
    int loads = 0;
    table->setIndexLoader([&](TableId, OrvTable::IndexList& list) -> OrvErrorCode {
        ++loads;
        list.push_back(makeIndex(1, 0, BTree));
        if (loads == 1) {
            OrvError::getErrorObject()->setError(CatalogManager, ORV_CAT_INCONSISTENT_CATALOG);
            return ORV_CAT_INCONSISTENT_CATALOG;
        }
        if (loads == 2) {
            ORV_THROW(ORV_RM_GET_RECORD_TOO_LONG, "1", "2", "3", "4", "5");
        }
        if (loads == 3) {
            list.emplace_back(new OrvIndex); // no index id
            return ORV_SUCCESS;
        }
        list.push_back(makeIndex(2, 0, Hash));
        return ORV_SUCCESS;
    });
    Uint32 count = 77;
    EXPECT_EQ(ORV_CAT_INCONSISTENT_CATALOG, table->getNumIndexes(count));
    EXPECT_EQ(77u, count);
    EXPECT_EQ(ORV_RM_GET_RECORD_TOO_LONG, table->getNumIndexes(count));
    EXPECT_EQ(ORV_RM_GET_RECORD_TOO_LONG, OrvGetErrorCode());
    EXPECT_EQ(0u, table->getNumIndexes()); // the plain form: 0, the error recorded
    EXPECT_EQ(ORV_CAT_INCONSISTENT_CATALOG, OrvGetErrorCode());
    EXPECT_EQ(ORV_SUCCESS, table->getNumIndexes(count));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(4, loads);
    IndexId id = 0;
    table->hasIndexOfType(0, Hash, id);
    EXPECT_EQ(2, id);
}

TEST(OrvTableTest, LoadingNeedsATableId) {
    OrvTable table;
    ASSERT_EQ(ORV_SUCCESS, table.createColumns(1));
    table.setIndexLoader([](TableId, OrvTable::IndexList&) { return ORV_SUCCESS; });
    Uint32 count = 0;
    EXPECT_EQ(ORV_INTERNAL_FAIL, table.getNumIndexes(count));
    EXPECT_EQ(ORV_INTERNAL_FAIL, thrownBy([&] {
                  OrvIndex* index = nullptr;
                  table.getIndex(0, index);
              }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, table.addIndex(nullptr));
}

} // namespace
