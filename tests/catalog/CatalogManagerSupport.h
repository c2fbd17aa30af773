// A database with its catalog, for the catalog manager's tests: the engine
// test fixture with the catalog made by its own start step, and helpers that
// build tables and indexes through the catalog.
#ifndef ORV_CATALOG_MANAGER_SUPPORT_H
#define ORV_CATALOG_MANAGER_SUPPORT_H

#include "CatalogTestSupport.h"
#include "OrvEngineTest.h"

#include "OrvCatalogManager.h"
#include "OrvException.h"
#include "OrvIndexManager.h"
#include "OrvRecordManager.h"
#include "OrvTransaction.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace orvcatalogtest {

class CatalogTest : public orvtest::EngineTest {
protected:
    void SetUp() override {
        orvtest::EngineTest::SetUp();
        ASSERT_EQ(ORV_SUCCESS, OrvCatalogManager::initializeCatalog());
        // Forks come next in some tests: no manager may be left.
        dropManagers();
    }
    static OrvCatalogManager* catalog() { return OrvCatalogManager::getInstance(); }
};

// A user table description; its id is the catalog's to give.
inline std::unique_ptr<OrvTable> userTable(const std::string& name,
                                           const std::vector<Column>& columns) {
    std::unique_ptr<OrvTable> table(new OrvTable);
    EXPECT_EQ(ORV_SUCCESS, table->setTableName(name.c_str()));
    setColumns(*table, columns);
    return table;
}

inline std::unique_ptr<OrvIndex> userIndex(const std::string& name, TableId table, Uint16 column,
                                           bool unique) {
    std::unique_ptr<OrvIndex> index(new OrvIndex);
    EXPECT_EQ(ORV_SUCCESS, index->setIndexName(name.c_str()));
    EXPECT_EQ(ORV_SUCCESS, index->setTableId(table));
    EXPECT_EQ(ORV_SUCCESS, index->setColumnNumber(column));
    EXPECT_EQ(ORV_SUCCESS, index->setIndexType(BTree));
    EXPECT_EQ(ORV_SUCCESS, index->setUnique(unique));
    return index;
}

// The stored row counts of the three catalog tables, and their real
// numbers of rows.
struct CatalogCounts {
    Uint32 stored[3] = {0, 0, 0};
    Sint32 counted[3] = {0, 0, 0};
};

inline CatalogCounts catalogCounts(OrvCatalogManager* catalog) {
    CatalogCounts counts;
    for (TableId t = 1; t <= 3; ++t) {
        EXPECT_EQ(ORV_SUCCESS, catalog->getTupleCount(t, counts.stored[t - 1]));
        counts.counted[t - 1] = catalog->getTupleCountByCounting(t);
    }
    return counts;
}

} // namespace orvcatalogtest

#endif
