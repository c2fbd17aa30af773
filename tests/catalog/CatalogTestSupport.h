// Helpers for the catalog tests: the message last recorded, and tables built
// from a compact list of columns.
#ifndef ORV_CATALOG_TEST_SUPPORT_H
#define ORV_CATALOG_TEST_SUPPORT_H

#include "OrvError.h"
#include "OrvTable.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace orvcatalogtest {

inline std::string lastMessage() {
    char message[ORV_ERROR_MESSAGE_LENGTH + 1] = {};
    char sqlstate[ORV_SQLSTATE_LENGTH + 1] = {};
    OrvError::getErrorObject()->getError(message, sizeof(message), sqlstate);
    return message;
}

struct Column {
    std::string name;
    OrvDataType type;
    Uint16 maxLength; // VARCHAR only
    bool nullable;
};

inline void setColumns(OrvTable& table, const std::vector<Column>& columns) {
    EXPECT_EQ(ORV_SUCCESS, table.createColumns(static_cast<Uint16>(columns.size())));
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const Column& c = columns[i];
        EXPECT_EQ(ORV_SUCCESS, table.setColumnDefinition(static_cast<Uint16>(i), c.name.c_str(),
                                                         c.type, c.maxLength, c.nullable));
    }
}

inline std::unique_ptr<OrvTable> makeTable(const std::vector<Column>& columns,
                                           const char* name = "T", TableId id = 7) {
    std::unique_ptr<OrvTable> table(new OrvTable);
    EXPECT_EQ(ORV_SUCCESS, table->setTableId(id));
    EXPECT_EQ(ORV_SUCCESS, table->setTableName(name));
    setColumns(*table, columns);
    return table;
}

} // namespace orvcatalogtest

#endif
