// The table descriptor: columns, record length bounds and the index list.
#include "OrvTable.h"

#include "OrvComponents.h"
#include "OrvError.h"
#include "OrvException.h"
#include "catalog/OrvCatalogText.h"
#include "support/OrvTrace.h"

#include <cstring>
#include <utility>

using orvcatalog::TokenText;

namespace {

OrvErrorCode fail(OrvErrorCode code, const char* token1 = nullptr, const char* token2 = nullptr,
                  const char* token3 = nullptr) {
    OrvError::getErrorObject()->setError(CatalogManager, code, token1, token2, token3);
    return code;
}

// What a column adds to the shortest and to the longest row (see OrvTuple.h
// for the row format). Summed in 32 bits: two long VARCHAR columns exceed 16.
struct LengthBounds {
    Uint32 min;
    Uint32 max;
};

LengthBounds columnBounds(const OrvTable::ColumnDefinition& column) {
    switch (column.dataType) {
    case INTEGER:
        return column.isNullable ? LengthBounds{1, 5} : LengthBounds{4, 4};
    case VARCHAR:
        return column.isNullable ? LengthBounds{1, column.maxLength + 3u}
                                 : LengthBounds{2, column.maxLength + 2u};
    default:
        return LengthBounds{0, 0};
    }
}

} // namespace

OrvTable::ColumnDefinition::ColumnDefinition()
    : dataType(UnknownDataType), isNullable(true), maxLength(0) {
    std::memset(name, 0, sizeof(name));
}

OrvTable::OrvTable() {
    reset();
}

OrvTable::~OrvTable() = default;

void OrvTable::reset() {
    tableId = ORV_UNKNOWN_TABLE_ID;
    std::memset(tableName, 0, sizeof(tableName));
    tupleCount = 0;
    numColumns = 0;
    columnDefs.reset();
    minRecordLength = 0;
    maxRecordLength = 0;
    indexes.clear();
    gotIndexes = false;
    indexLoader = nullptr;
}

OrvErrorCode OrvTable::getTableId(TableId& id) const {
    ORV_TRACE(CatalogManager);
    if (tableId < ORV_MIN_TABLE_ID || tableId > ORV_MAX_TABLE_ID) {
        return fail(ORV_INTERNAL_FAIL);
    }
    id = tableId;
    return ORV_SUCCESS;
}

OrvErrorCode OrvTable::getTableName(const char*& name) const {
    ORV_TRACE(CatalogManager);
    if (tableName[0] == '\0') {
        return fail(ORV_INTERNAL_FAIL);
    }
    name = tableName;
    return ORV_SUCCESS;
}

Uint32 OrvTable::getTupleCount() const {
    ORV_TRACE(CatalogManager);
    return tupleCount;
}

OrvErrorCode OrvTable::getNumColumns(Uint16& count) const {
    ORV_TRACE(CatalogManager);
    if (numColumns == 0) {
        return fail(ORV_INTERNAL_FAIL);
    }
    count = numColumns;
    return ORV_SUCCESS;
}

Uint16 OrvTable::getMinRecordLength() const {
    ORV_TRACE(CatalogManager);
    if (minRecordLength == 0) {
        calculateMinMaxRecordLength();
    }
    return minRecordLength;
}

Uint16 OrvTable::getMaxRecordLength() const {
    ORV_TRACE(CatalogManager);
    if (maxRecordLength == 0) {
        calculateMinMaxRecordLength();
    }
    return maxRecordLength;
}

OrvErrorCode OrvTable::getColumnName(Uint16 column, const char*& name) const {
    ORV_TRACE(CatalogManager);
    if (column >= numColumns) {
        return fail(ORV_PARAMETER_FAIL);
    }
    name = columnDefs[column].name;
    return ORV_SUCCESS;
}

OrvErrorCode OrvTable::getColumnNumber(const char* name, Uint16& column) const {
    ORV_TRACE(CatalogManager);
    if (name == nullptr) {
        return fail(ORV_PARAMETER_FAIL);
    }
    if (numColumns == 0) {
        return fail(ORV_INTERNAL_FAIL);
    }
    for (Uint16 i = 0; i < numColumns; ++i) {
        if (std::strcmp(columnDefs[i].name, name) == 0) {
            column = i;
            return ORV_SUCCESS;
        }
    }
    return fail(ORV_CAT_COLUMN_NOT_IN_TABLE, TokenText(name, std::strlen(name)).c_str(), tableName);
}

OrvErrorCode OrvTable::getColumnDatatype(Uint16 column, OrvDataType& type) const {
    ORV_TRACE(CatalogManager);
    if (column >= numColumns) {
        return fail(ORV_PARAMETER_FAIL);
    }
    type = columnDefs[column].dataType;
    return ORV_SUCCESS;
}

OrvErrorCode OrvTable::getMaxColumnLength(Uint16 column, Uint16& length) const {
    ORV_TRACE(CatalogManager);
    if (column >= numColumns) {
        return fail(ORV_PARAMETER_FAIL);
    }
    switch (columnDefs[column].dataType) {
    case INTEGER:
        length = 4;
        return ORV_SUCCESS;
    case VARCHAR:
        length = columnDefs[column].maxLength;
        return ORV_SUCCESS;
    default:
        return fail(ORV_INTERNAL_FAIL);
    }
}

OrvErrorCode OrvTable::getIsNullable(Uint16 column, bool& nullable) const {
    ORV_TRACE(CatalogManager);
    if (column >= numColumns) {
        return fail(ORV_PARAMETER_FAIL);
    }
    nullable = columnDefs[column].isNullable;
    return ORV_SUCCESS;
}

OrvErrorCode OrvTable::setTableId(TableId id) {
    ORV_TRACE(CatalogManager);
    if (id < ORV_MIN_TABLE_ID || id > ORV_MAX_TABLE_ID) {
        return fail(ORV_PARAMETER_FAIL);
    }
    tableId = id;
    return ORV_SUCCESS;
}

void OrvTable::setTupleCount(Uint32 count) {
    ORV_TRACE(CatalogManager);
    tupleCount = count;
}

OrvErrorCode OrvTable::setTableName(const char* name) {
    ORV_TRACE(CatalogManager);
    return storeTableName(name, name == nullptr ? 0 : std::strlen(name));
}

OrvErrorCode OrvTable::setTableName(const char* name, Uint16 length) {
    ORV_TRACE(CatalogManager);
    return storeTableName(name, length);
}

OrvErrorCode OrvTable::storeTableName(const char* name, std::size_t length) {
    if (name == nullptr || length == 0) {
        return fail(ORV_PARAMETER_FAIL);
    }
    if (length > ORV_MAX_TABLE_NAME_LENGTH) {
        TokenText limit(ORV_MAX_TABLE_NAME_LENGTH);
        return fail(ORV_CAT_TABLE_NAME_TOO_LONG, TokenText(name, length).c_str(), limit.c_str());
    }
    std::memcpy(tableName, name, length);
    tableName[length] = '\0';
    return ORV_SUCCESS;
}

OrvErrorCode OrvTable::createColumns(Uint16 count) {
    ORV_TRACE(CatalogManager);
    if (count == 0) {
        return fail(ORV_PARAMETER_FAIL);
    }
    columnDefs.reset(new ColumnDefinition[count]);
    numColumns = count;
    minRecordLength = 0;
    maxRecordLength = 0;
    return ORV_SUCCESS;
}

OrvErrorCode OrvTable::setColumnName(Uint16 column, const char* name) {
    ORV_TRACE(CatalogManager);
    return storeColumnName(column, name, name == nullptr ? 0 : std::strlen(name));
}

OrvErrorCode OrvTable::setColumnName(Uint16 column, const char* name, Uint32 length) {
    ORV_TRACE(CatalogManager);
    return storeColumnName(column, name, length);
}

OrvErrorCode OrvTable::storeColumnName(Uint16 column, const char* name, std::size_t length) {
    if (column >= numColumns || name == nullptr || length == 0) {
        return fail(ORV_PARAMETER_FAIL);
    }
    if (length > ORV_MAX_COLUMN_NAME_LENGTH) {
        TokenText limit(ORV_MAX_COLUMN_NAME_LENGTH);
        return fail(ORV_CAT_COLUMN_NAME_TOO_LONG, TokenText(name, length).c_str(), limit.c_str());
    }
    std::memcpy(columnDefs[column].name, name, length);
    columnDefs[column].name[length] = '\0';
    return ORV_SUCCESS;
}

OrvErrorCode OrvTable::setColumnDefinition(Uint16 column, const char* name, OrvDataType type,
                                           Uint16 maxLength, bool nullable) {
    ORV_TRACE(CatalogManager);
    if (column >= numColumns || name == nullptr || (type != INTEGER && type != VARCHAR) ||
        (type == VARCHAR && maxLength == 0)) {
        return fail(ORV_PARAMETER_FAIL);
    }
    ColumnDefinition defined = columnDefs[column];
    defined.dataType = type;
    defined.isNullable = nullable;
    defined.maxLength = type == INTEGER ? 4 : maxLength;

    // The longest row with the new definition must still fit in a record.
    Uint32 longest = 0;
    for (Uint16 i = 0; i < numColumns; ++i) {
        longest += columnBounds(i == column ? defined : columnDefs[i]).max;
    }
    if (longest > MAX_ROW_LENGTH) {
        TokenText table(tableName, std::strlen(tableName));
        TokenText bytes(longest);
        TokenText limit(MAX_ROW_LENGTH);
        return fail(ORV_CAT_RECORD_TOO_LONG, table.c_str(), bytes.c_str(), limit.c_str());
    }

    OrvErrorCode code = storeColumnName(column, name, std::strlen(name));
    if (code != ORV_SUCCESS) {
        return code;
    }
    std::memcpy(defined.name, columnDefs[column].name, sizeof(defined.name));
    columnDefs[column] = defined;
    minRecordLength = 0;
    maxRecordLength = 0;
    return ORV_SUCCESS;
}

void OrvTable::calculateMinMaxRecordLength() const {
    Uint32 shortest = 0;
    Uint32 longest = 0;
    for (Uint16 i = 0; i < numColumns; ++i) {
        LengthBounds bounds = columnBounds(columnDefs[i]);
        shortest += bounds.min;
        longest += bounds.max;
    }
    // setColumnDefinition keeps the longest row within MAX_ROW_LENGTH, and the
    // shortest is never longer than the longest.
    minRecordLength = static_cast<Uint16>(shortest);
    maxRecordLength = static_cast<Uint16>(longest);
}

void OrvTable::setIndexLoader(IndexLoader loader) {
    ORV_TRACE(CatalogManager);
    indexLoader = std::move(loader);
    // The list is the loader's from now on: it is loaded on the next demand.
    indexes.clear();
    gotIndexes = false;
}

OrvErrorCode OrvTable::retrieveIndexInformation() {
    if (gotIndexes) {
        return ORV_SUCCESS;
    }
    if (!indexLoader) {
        // A descriptor built in memory holds all its indexes already.
        gotIndexes = true;
        return ORV_SUCCESS;
    }
    if (tableId < ORV_MIN_TABLE_ID || tableId > ORV_MAX_TABLE_ID || !indexes.empty()) {
        return fail(ORV_INTERNAL_FAIL);
    }
    // Loaded into a list of its own: a load that fails part way leaves
    // nothing behind, so a later call starts afresh.
    IndexList loaded;
    OrvErrorCode code;
    try {
        code = indexLoader(tableId, loaded);
    } catch (const OrvException& e) {
        e.SET_ERROR();
        return e.getErrorCode();
    }
    if (code != ORV_SUCCESS) {
        if (OrvGetErrorCode() != code) {
            OrvError::getErrorObject()->setError(CatalogManager, code);
        }
        return code;
    }
    for (const std::unique_ptr<OrvIndex>& index : loaded) {
        if (index == nullptr || index->indexId < ORV_MIN_INDEX_ID ||
            index->indexId > ORV_MAX_INDEX_ID) {
            return fail(ORV_CAT_INCONSISTENT_CATALOG);
        }
    }
    indexes = std::move(loaded);
    gotIndexes = true;
    return ORV_SUCCESS;
}

OrvErrorCode OrvTable::addIndex(std::unique_ptr<OrvIndex> index) {
    ORV_TRACE(CatalogManager);
    if (index == nullptr) {
        return fail(ORV_PARAMETER_FAIL);
    }
    OrvErrorCode code = retrieveIndexInformation();
    if (code != ORV_SUCCESS) {
        return code;
    }
    indexes.push_back(std::move(index));
    return ORV_SUCCESS;
}

OrvErrorCode OrvTable::getNumIndexes(Uint32& count) {
    ORV_TRACE(CatalogManager);
    OrvErrorCode code = retrieveIndexInformation();
    if (code != ORV_SUCCESS) {
        return code;
    }
    count = static_cast<Uint32>(indexes.size());
    return ORV_SUCCESS;
}

Uint32 OrvTable::getNumIndexes() {
    ORV_TRACE(CatalogManager);
    Uint32 count = 0;
    if (getNumIndexes(count) != ORV_SUCCESS) {
        return 0;
    }
    return count;
}

void OrvTable::getIndex(Uint32 position, OrvIndex*& index) {
    ORV_TRACE(CatalogManager);
    ORV_RAISE(retrieveIndexInformation());
    if (position >= indexes.size()) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    index = indexes[position].get();
}

void OrvTable::hasIndexOfType(Uint16 column, const OrvIndexType& type, IndexId& id) {
    ORV_TRACE(CatalogManager);
    if (column >= numColumns) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    ORV_RAISE(retrieveIndexInformation());
    const OrvIndex* found = nullptr;
    for (const std::unique_ptr<OrvIndex>& index : indexes) {
        if (index->columnNumber == column && index->indexType == type) {
            found = index.get();
        }
    }
    if (found == nullptr) {
        ORV_THROW(ORV_NOT_FOUND_WARN);
    }
    id = found->indexId;
}
