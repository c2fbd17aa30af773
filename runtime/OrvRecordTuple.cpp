// Record tuples: reading and building rows column by column.
//
// The record's bytes are untrusted: offsets and lengths are computed in 32
// bits and every stored length is checked against the bytes left, so neither
// a damaged length nor a wrapped sum can lead a read past the record's end.
#include "OrvTuple.h"

#include "OrvComponents.h"
#include "OrvError.h"
#include "OrvException.h"
#include "OrvTable.h"
#include "catalog/OrvCatalogText.h"
#include "support/OrvTrace.h"

#include <cstring>
#include <string>

using orvcatalog::TokenText;

namespace {

constexpr unsigned char NULL_INDICATOR = 'N';
constexpr char PRESENT_INDICATOR = '-';

OrvErrorCode fail(OrvErrorCode code, const char* token1 = nullptr, const char* token2 = nullptr,
                  const char* token3 = nullptr, const char* token4 = nullptr) {
    OrvError::getErrorObject()->setError(RunTime, code, token1, token2, token3, token4);
    return code;
}

OrvErrorCode mismatch(const char* wanted, Uint16 column, const char* stored) {
    return fail(ORV_CAT_DATATYPE_MISMATCH, wanted, TokenText(column).c_str(), stored);
}

// The stored bytes of a column's value, without its indicator.
std::string encodeInt(Sint32 value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof(value));
}

std::string encodeVarchar(const char* value, Uint16 length) {
    std::string bytes(reinterpret_cast<const char*>(&length), sizeof(length));
    bytes.append(value, length);
    return bytes;
}

} // namespace

OrvRecordTuple::OrvRecordTuple(OrvRecord* rowRecord, const OrvTable* rowTable)
    : record(nullptr), numSetColumns(0), table(nullptr) {
    ORV_TRACE(RunTime);
    (void)initialize(rowRecord, rowTable);
}

OrvRecordTuple::OrvRecordTuple(const OrvTable* rowTable)
    : record(nullptr), numSetColumns(0), table(nullptr) {
    ORV_TRACE(RunTime);
    (void)initialize(rowTable);
}

OrvRecordTuple::~OrvRecordTuple() {
    delete record;
}

void OrvRecordTuple::resetCopies() {
    Uint16 count = 0;
    if (table != nullptr && table->getNumColumns(count) != ORV_SUCCESS) {
        count = 0;
    }
    intValues.assign(count, 0);
    varcharValues.assign(count, std::string());
}

OrvErrorCode OrvRecordTuple::initialize(OrvRecord* rowRecord, const OrvTable* rowTable) {
    ORV_TRACE(RunTime);
    if (rowRecord == nullptr || rowTable == nullptr) {
        return fail(ORV_PARAMETER_FAIL);
    }
    if (record != rowRecord) {
        delete record;
        record = rowRecord;
    }
    table = rowTable;
    numSetColumns = 0;
    Uint16 count = 0;
    OrvErrorCode code = table->getNumColumns(count);
    resetCopies();
    if (code != ORV_SUCCESS) {
        return code;
    }
    Uint32 length = record->getLength();
    Uint32 shortest = table->getMinRecordLength();
    Uint32 longest = table->getMaxRecordLength();
    if (length < shortest || length > longest) {
        return fail(ORV_CAT_INVALID_RECORD_SIZE, TokenText(length).c_str(),
                    TokenText(shortest).c_str(), TokenText(longest).c_str());
    }
    numSetColumns = count;
    return ORV_SUCCESS;
}

OrvErrorCode OrvRecordTuple::initialize(const OrvTable* rowTable) {
    ORV_TRACE(RunTime);
    if (rowTable == nullptr) {
        return fail(ORV_PARAMETER_FAIL);
    }
    Uint16 count = 0;
    OrvErrorCode code = rowTable->getNumColumns(count);
    if (code != ORV_SUCCESS) {
        return code;
    }
    try {
        if (record == nullptr) {
            record = new OrvRecord(nullptr, rowTable->getMaxRecordLength());
        } else {
            record->setData(nullptr, 0);
        }
    } catch (const OrvException& e) {
        e.SET_ERROR();
        return e.getErrorCode();
    }
    table = rowTable;
    numSetColumns = 0;
    resetCopies();
    return ORV_SUCCESS;
}

const OrvRecord* OrvRecordTuple::getRecord() {
    ORV_TRACE(RunTime);
    if (record == nullptr || table == nullptr || numSetColumns < getNumberColumns()) {
        fail(ORV_INTERNAL_FAIL);
        return nullptr;
    }
    return record;
}

Uint16 OrvRecordTuple::getNumberColumns() {
    ORV_TRACE(RunTime);
    Uint16 count = 0;
    if (table == nullptr || table->getNumColumns(count) != ORV_SUCCESS) {
        return 0;
    }
    return count;
}

OrvErrorCode OrvRecordTuple::getColumnName(Uint16 column, const char*& name) {
    ORV_TRACE(RunTime);
    if (table == nullptr) {
        return fail(ORV_INTERNAL_FAIL);
    }
    return table->getColumnName(column, name);
}

OrvErrorCode OrvRecordTuple::getMaxDataLength(Uint16 column, Uint16& length) {
    ORV_TRACE(RunTime);
    if (table == nullptr) {
        return fail(ORV_INTERNAL_FAIL);
    }
    return table->getMaxColumnLength(column, length);
}

OrvErrorCode OrvRecordTuple::getDataType(Uint16 column, OrvDataType& type) {
    ORV_TRACE(RunTime);
    if (table == nullptr) {
        return fail(ORV_INTERNAL_FAIL);
    }
    return table->getColumnDatatype(column, type);
}

const TupleId* OrvRecordTuple::getTupleId() {
    ORV_TRACE(RunTime);
    return record == nullptr ? nullptr : record->getTupleId();
}

Uint32 OrvRecordTuple::recordLength() const {
    return record == nullptr ? 0 : record->getLength();
}

const unsigned char* OrvRecordTuple::recordBytes() const {
    return reinterpret_cast<const unsigned char*>(record->getRecordData());
}

OrvErrorCode OrvRecordTuple::structureError(Uint32 bytes, Uint32 offset) const {
    return fail(ORV_CAT_INVALID_RECORD_STRUCTURE, TokenText(bytes).c_str(),
                TokenText(offset).c_str(), TokenText(recordLength()).c_str());
}

OrvErrorCode OrvRecordTuple::columnInfo(Uint16 column, ColumnInfo& info) const {
    OrvErrorCode code = table->getColumnDatatype(column, info.type);
    if (code == ORV_SUCCESS) {
        code = table->getIsNullable(column, info.nullable);
    }
    if (code == ORV_SUCCESS && info.type == VARCHAR) {
        code = table->getMaxColumnLength(column, info.maxLength);
    }
    if (code == ORV_SUCCESS && info.type != VARCHAR && info.type != INTEGER) {
        code = fail(ORV_INTERNAL_FAIL);
    }
    return code;
}

// The checks every getter and setter starts with: a tuple with a record, a
// column below `limit` and below the column count, and the wanted type.
OrvErrorCode OrvRecordTuple::checkedColumn(Uint16 column, Uint16 limit, OrvDataType wanted,
                                           ColumnInfo& info) const {
    if (record == nullptr || table == nullptr || record->getRecordData() == nullptr) {
        return fail(ORV_INTERNAL_FAIL);
    }
    // The copies cover the columns the table had when the tuple was
    // initialized.
    if (column >= limit || column >= intValues.size()) {
        return fail(ORV_PARAMETER_FAIL);
    }
    OrvErrorCode code = columnInfo(column, info);
    if (code != ORV_SUCCESS) {
        return code;
    }
    if (info.type != wanted) {
        return wanted == INTEGER ? mismatch("INTEGER", column, "VARCHAR")
                                 : mismatch("VARCHAR", column, "INTEGER");
    }
    return ORV_SUCCESS;
}

OrvErrorCode OrvRecordTuple::findAttributeOffset(Uint16 column, Uint32& offset) const {
    const Uint32 length = recordLength();
    const unsigned char* bytes = recordBytes();
    offset = 0;
    for (Uint16 i = 0; i < column; ++i) {
        ColumnInfo info;
        OrvErrorCode code = columnInfo(i, info);
        if (code != ORV_SUCCESS) {
            return code;
        }
        if (info.nullable) {
            if (length - offset < 1) {
                return structureError(1, offset);
            }
            if (bytes[offset++] == NULL_INDICATOR) {
                continue;
            }
        }
        if (info.type == INTEGER) {
            offset += 4;
        } else {
            if (length - offset < 2) {
                return structureError(2, offset + 2);
            }
            Uint16 stored;
            std::memcpy(&stored, bytes + offset, sizeof(stored));
            offset += 2 + static_cast<Uint32>(stored);
        }
        if (offset > length) {
            return fail(ORV_INTERNAL_FAIL);
        }
    }
    return ORV_SUCCESS;
}

OrvErrorCode OrvRecordTuple::getInt(Uint16 column, const Sint32*& value) {
    ORV_TRACE(RunTime);
    ColumnInfo info;
    Uint32 offset = 0;
    OrvErrorCode code = checkedColumn(column, numSetColumns, INTEGER, info);
    if (code == ORV_SUCCESS) {
        code = findAttributeOffset(column, offset);
    }
    if (code != ORV_SUCCESS) {
        return code;
    }
    const Uint32 length = recordLength();
    const unsigned char* bytes = recordBytes();
    if (info.nullable) {
        if (length - offset < 1) {
            return structureError(1, offset);
        }
        if (bytes[offset++] == NULL_INDICATOR) {
            value = nullptr;
            return ORV_SUCCESS;
        }
    }
    if (length - offset < 4) {
        return structureError(4, offset);
    }
    // The row packs values without alignment: hand out an aligned copy.
    std::memcpy(&intValues[column], bytes + offset, sizeof(Sint32));
    value = &intValues[column];
    return ORV_SUCCESS;
}

OrvErrorCode OrvRecordTuple::getVarchar(Uint16 column, const char*& value, Uint16& valueLength) {
    ORV_TRACE(RunTime);
    ColumnInfo info;
    Uint32 offset = 0;
    OrvErrorCode code = checkedColumn(column, numSetColumns, VARCHAR, info);
    if (code == ORV_SUCCESS) {
        code = findAttributeOffset(column, offset);
    }
    if (code != ORV_SUCCESS) {
        return code;
    }
    const Uint32 length = recordLength();
    const unsigned char* bytes = recordBytes();
    if (info.nullable) {
        if (length - offset < 1) {
            return structureError(1, offset);
        }
        if (bytes[offset++] == NULL_INDICATOR) {
            value = nullptr;
            valueLength = 0;
            return ORV_SUCCESS;
        }
    }
    if (length - offset < 2) {
        return structureError(2, offset);
    }
    Uint16 stored;
    std::memcpy(&stored, bytes + offset, sizeof(stored));
    offset += 2;
    if (length - offset < stored) {
        return structureError(stored, offset);
    }
    // Callers use the value as a C string: a terminated copy.
    std::string& copy = varcharValues[column];
    copy.assign(reinterpret_cast<const char*>(bytes + offset), stored);
    value = copy.c_str();
    valueLength = stored;
    return ORV_SUCCESS;
}

OrvErrorCode OrvRecordTuple::replaceInRecord(Uint32 offset, Uint32 oldBytes, const char* bytes,
                                             Uint32 newBytes) {
    const Uint32 length = recordLength();
    if (offset > length || oldBytes > length - offset) {
        return fail(ORV_PARAMETER_FAIL);
    }
    const Uint32 newLength = length - oldBytes + newBytes;
    if (newLength > OrvTable::MAX_ROW_LENGTH) {
        const char* name = "";
        if (table->getTableName(name) != ORV_SUCCESS) {
            name = "";
        }
        return fail(ORV_CAT_RECORD_TOO_LONG, TokenText(name, std::strlen(name)).c_str(),
                    TokenText(newLength).c_str(), TokenText(OrvTable::MAX_ROW_LENGTH).c_str());
    }
    std::string row(record->getRecordData(), length);
    row.replace(offset, oldBytes, bytes, newBytes);
    try {
        record->setData(row.data(), static_cast<Uint16>(newLength));
    } catch (const OrvException& e) {
        e.SET_ERROR();
        return e.getErrorCode();
    }
    return ORV_SUCCESS;
}

// Appends a column's bytes. The set columns must end where the record ends:
// bytes past them (a record that could not be wrapped) belong to no column.
OrvErrorCode OrvRecordTuple::appendToRecord(Uint32 offset, const std::string& encoded) {
    if (offset != recordLength()) {
        return fail(ORV_INTERNAL_FAIL);
    }
    return replaceInRecord(offset, 0, encoded.data(), static_cast<Uint32>(encoded.size()));
}

OrvErrorCode OrvRecordTuple::setInt(Uint16 column, const Sint32* value) {
    ORV_TRACE(RunTime);
    ColumnInfo info;
    Uint32 offset = 0;
    OrvErrorCode code = checkedColumn(column, numSetColumns + 1, INTEGER, info);
    if (code == ORV_SUCCESS) {
        code = findAttributeOffset(column, offset);
    }
    if (code != ORV_SUCCESS) {
        return code;
    }
    if (value == nullptr && !info.nullable) {
        return fail(ORV_CAT_COLUMN_NOT_NULLABLE, TokenText(column).c_str());
    }
    std::string encoded;
    if (info.nullable) {
        encoded.push_back(value == nullptr ? static_cast<char>(NULL_INDICATOR) : PRESENT_INDICATOR);
    }
    if (value != nullptr) {
        encoded += encodeInt(*value);
    }

    if (column == numSetColumns) {
        code = appendToRecord(offset, encoded);
        if (code == ORV_SUCCESS) {
            ++numSetColumns;
        }
        return code;
    }

    // Overwriting: the old value's bytes are replaced by the new encoding.
    const Uint32 length = recordLength();
    Uint32 oldBytes = 0;
    if (info.nullable) {
        if (length - offset < 1) {
            return structureError(1, offset);
        }
        oldBytes = 1;
        if (recordBytes()[offset] == NULL_INDICATOR) {
            return replaceInRecord(offset, oldBytes, encoded.data(),
                                   static_cast<Uint32>(encoded.size()));
        }
    }
    if (length - offset - oldBytes < 4) {
        return structureError(4, offset + oldBytes);
    }
    oldBytes += 4;
    return replaceInRecord(offset, oldBytes, encoded.data(), static_cast<Uint32>(encoded.size()));
}

OrvErrorCode OrvRecordTuple::setVarchar(Uint16 column, const char* value, Uint16 valueLength) {
    ORV_TRACE(RunTime);
    ColumnInfo info;
    Uint32 offset = 0;
    OrvErrorCode code = checkedColumn(column, numSetColumns + 1, VARCHAR, info);
    if (code != ORV_SUCCESS) {
        return code;
    }
    if (value != nullptr && valueLength > info.maxLength) {
        return fail(ORV_CAT_VALUE_TOO_LONG, TokenText(value, valueLength).c_str(),
                    TokenText(column).c_str(), TokenText(valueLength).c_str(),
                    TokenText(info.maxLength).c_str());
    }
    code = findAttributeOffset(column, offset);
    if (code != ORV_SUCCESS) {
        return code;
    }
    if (value == nullptr && !info.nullable) {
        return fail(ORV_CAT_COLUMN_NOT_NULLABLE, TokenText(column).c_str());
    }
    std::string encoded;
    if (info.nullable) {
        encoded.push_back(value == nullptr ? static_cast<char>(NULL_INDICATOR) : PRESENT_INDICATOR);
    }
    if (value != nullptr) {
        encoded += encodeVarchar(value, valueLength);
    }

    if (column == numSetColumns) {
        code = appendToRecord(offset, encoded);
        if (code == ORV_SUCCESS) {
            ++numSetColumns;
        }
        return code;
    }

    const Uint32 length = recordLength();
    const unsigned char* bytes = recordBytes();
    Uint32 oldBytes = 0;
    if (info.nullable) {
        if (length - offset < 1) {
            return structureError(1, offset);
        }
        oldBytes = 1;
        if (bytes[offset] == NULL_INDICATOR) {
            return replaceInRecord(offset, oldBytes, encoded.data(),
                                   static_cast<Uint32>(encoded.size()));
        }
    }
    if (length - offset - oldBytes < 2) {
        return structureError(2, offset + oldBytes);
    }
    Uint16 stored;
    std::memcpy(&stored, bytes + offset + oldBytes, sizeof(stored));
    oldBytes += 2;
    if (length - offset - oldBytes < stored) {
        return structureError(stored, offset + oldBytes);
    }
    oldBytes += stored;
    return replaceInRecord(offset, oldBytes, encoded.data(), static_cast<Uint32>(encoded.size()));
}
