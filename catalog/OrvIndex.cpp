// The index descriptor.
#include "OrvTable.h"

#include "OrvComponents.h"
#include "OrvError.h"
#include "catalog/OrvCatalogText.h"
#include "support/OrvTrace.h"

#include <cstring>

using orvcatalog::TokenText;

namespace {

OrvErrorCode fail(OrvErrorCode code, const char* token1 = nullptr, const char* token2 = nullptr) {
    OrvError::getErrorObject()->setError(CatalogManager, code, token1, token2);
    return code;
}

} // namespace

OrvIndex::OrvIndex() {
    reset();
}

void OrvIndex::reset() {
    indexId = ORV_UNKNOWN_INDEX_ID;
    indexType = UnknownIndexType;
    std::memset(indexName, 0, sizeof(indexName));
    tableId = ORV_UNKNOWN_TABLE_ID;
    columnNumber = NO_COLUMN;
    unique = false;
    haveUnique = false;
}

OrvErrorCode OrvIndex::getIndexId(IndexId& id) const {
    ORV_TRACE(CatalogManager);
    if (indexId < 1 || indexId > ORV_MAX_INDEX_ID) {
        return fail(ORV_INTERNAL_FAIL);
    }
    id = indexId;
    return ORV_SUCCESS;
}

OrvErrorCode OrvIndex::getIndexName(const char*& name) const {
    ORV_TRACE(CatalogManager);
    if (indexName[0] == '\0') {
        return fail(ORV_INTERNAL_FAIL);
    }
    name = indexName;
    return ORV_SUCCESS;
}

OrvErrorCode OrvIndex::getIndexType(OrvIndexType& type) const {
    ORV_TRACE(CatalogManager);
    if (indexType == UnknownIndexType) {
        return fail(ORV_PARAMETER_FAIL);
    }
    type = indexType;
    return ORV_SUCCESS;
}

OrvErrorCode OrvIndex::getTableId(TableId& id) const {
    ORV_TRACE(CatalogManager);
    if (tableId < ORV_MIN_TABLE_ID || tableId > ORV_MAX_TABLE_ID) {
        return fail(ORV_INTERNAL_FAIL);
    }
    id = tableId;
    return ORV_SUCCESS;
}

OrvErrorCode OrvIndex::getColumnNumber(Uint16& column) const {
    ORV_TRACE(CatalogManager);
    if (columnNumber == NO_COLUMN) {
        return fail(ORV_INTERNAL_FAIL);
    }
    column = columnNumber;
    return ORV_SUCCESS;
}

OrvErrorCode OrvIndex::getUnique(bool& isUnique) const {
    ORV_TRACE(CatalogManager);
    if (!haveUnique) {
        return fail(ORV_INTERNAL_FAIL);
    }
    isUnique = unique;
    return ORV_SUCCESS;
}

OrvErrorCode OrvIndex::setIndexId(IndexId id) {
    ORV_TRACE(CatalogManager);
    if (id < 1 || id > ORV_MAX_INDEX_ID) {
        return fail(ORV_PARAMETER_FAIL);
    }
    indexId = id;
    return ORV_SUCCESS;
}

OrvErrorCode OrvIndex::setIndexName(const char* name) {
    ORV_TRACE(CatalogManager);
    return storeIndexName(name, name == nullptr ? 0 : std::strlen(name));
}

OrvErrorCode OrvIndex::setIndexName(const char* name, Uint16 length) {
    ORV_TRACE(CatalogManager);
    return storeIndexName(name, length);
}

OrvErrorCode OrvIndex::storeIndexName(const char* name, std::size_t length) {
    if (name == nullptr || length == 0) {
        return fail(ORV_PARAMETER_FAIL);
    }
    if (length > ORV_MAX_INDEX_NAME_LENGTH) {
        TokenText limit(ORV_MAX_INDEX_NAME_LENGTH);
        return fail(ORV_CAT_INDEX_NAME_TOO_LONG, TokenText(name, length).c_str(), limit.c_str());
    }
    std::memcpy(indexName, name, length);
    indexName[length] = '\0';
    return ORV_SUCCESS;
}

OrvErrorCode OrvIndex::setIndexType(OrvIndexType type) {
    ORV_TRACE(CatalogManager);
    switch (type) {
    case BTree:
    case Hash:
        indexType = type;
        return ORV_SUCCESS;
    case UnknownIndexType:
        return fail(ORV_PARAMETER_FAIL);
    }
    // A value outside the enumeration changes nothing.
    return ORV_SUCCESS;
}

OrvErrorCode OrvIndex::setTableId(TableId id) {
    ORV_TRACE(CatalogManager);
    if (id == ORV_UNKNOWN_TABLE_ID) {
        return fail(ORV_PARAMETER_FAIL);
    }
    tableId = id;
    return ORV_SUCCESS;
}

OrvErrorCode OrvIndex::setColumnNumber(Uint16 column) {
    ORV_TRACE(CatalogManager);
    columnNumber = column;
    return ORV_SUCCESS;
}

OrvErrorCode OrvIndex::setUnique(bool isUnique) {
    ORV_TRACE(CatalogManager);
    unique = isUnique;
    haveUnique = true;
    return ORV_SUCCESS;
}
