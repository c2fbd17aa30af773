// Rows: the byte format of a table's records and the tuples that read and
// build them column by column.
//
// Row format. A row is its columns in column order (column 0 first), with no
// header, padding or terminator; integers are in native byte order:
//
//   column                           bytes
//   INTEGER, not nullable            4: the Sint32 value
//   INTEGER, nullable, present       1: '-' (0x2D), then the 4-byte value
//   VARCHAR, not nullable            2: length n (Uint16), then n characters
//   VARCHAR, nullable, present       1: '-', 2: length n, n characters
//   nullable, NULL                   1: 'N' (0x4E), nothing else
//
// Characters carry no terminator and no padding. An indicator byte counts as
// NULL only when it is 'N'. A column's offset is only known by walking the
// columns before it. A row's length lies between the table's minimum and
// maximum record length (OrvTable::getMinRecordLength / getMaxRecordLength).
//
// A row read from a page is untrusted: every length is checked against the
// bytes left before it is used, and a row that does not line up with its
// table is ORV_CAT_INVALID_RECORD_STRUCTURE, never a read past its end.
//
// Errors: operations never throw. They record a failure in the error object
// (component RunTime) and return its code.
//
// Process safety: per-process objects; nothing here is shared.
#ifndef ORV_TUPLE_H
#define ORV_TUPLE_H

#include "OrvErrorCodes.h"
#include "OrvRecord.h"
#include "OrvTypes.h"

#include <string>
#include <vector>

class OrvTable;

// The values of one row. A null value pointer stands for SQL NULL, both when
// reading and when writing.
class OrvTuple {
public:
    virtual ~OrvTuple() = default;
    [[nodiscard]] virtual OrvErrorCode getVarchar(Uint16 column, const char*& value,
                                                  Uint16& length) = 0;
    [[nodiscard]] virtual OrvErrorCode getInt(Uint16 column, const Sint32*& value) = 0;
    [[nodiscard]] virtual OrvErrorCode getColumnName(Uint16 column, const char*& name) = 0;
    [[nodiscard]] virtual OrvErrorCode getMaxDataLength(Uint16 column, Uint16& length) = 0;
    virtual Uint16 getNumberColumns() = 0;
    [[nodiscard]] virtual OrvErrorCode getDataType(Uint16 column, OrvDataType& type) = 0;
    virtual const TupleId* getTupleId() = 0;
    [[nodiscard]] virtual OrvErrorCode setVarchar(Uint16 column, const char* value,
                                                  Uint16 length) = 0;
    [[nodiscard]] virtual OrvErrorCode setInt(Uint16 column, const Sint32* value) = 0;
};

// A tuple over a record and its table's descriptor.
//
// The tuple owns its record; the table must outlive the tuple and keep its
// columns while the tuple reads or builds a row.
class OrvRecordTuple : public OrvTuple {
public:
    // As initialize(record, table); an error is only recorded.
    OrvRecordTuple(OrvRecord* record, const OrvTable* table);
    // As initialize(table); an error is only recorded.
    explicit OrvRecordTuple(const OrvTable* table);
    ~OrvRecordTuple() override;
    OrvRecordTuple(const OrvRecordTuple&) = delete;
    OrvRecordTuple& operator=(const OrvRecordTuple&) = delete;

    // Wraps an existing row and takes ownership of `record` (unless record or
    // table is null: ORV_PARAMETER_FAIL, nothing taken). A record whose length
    // lies outside the table's bounds is ORV_CAT_INVALID_RECORD_SIZE; the
    // tuple then holds it but reads none of its columns.
    [[nodiscard]] OrvErrorCode initialize(OrvRecord* record, const OrvTable* table);
    // Starts a new, empty row of `table`, reusing the record held (emptied),
    // so that one tuple can build one row after another.
    [[nodiscard]] OrvErrorCode initialize(const OrvTable* table);

    // The record, still owned by the tuple; null (ORV_INTERNAL_FAIL recorded)
    // while not all columns are set.
    const OrvRecord* getRecord();

    // The value handed out is a copy the tuple keeps per column: an aligned
    // Sint32 for getInt, a terminated copy of the characters for getVarchar
    // (`length` tells their number; the terminator is not part of the value).
    // It stays valid until the same column is read again, the tuple is
    // initialized again or the tuple ends.
    [[nodiscard]] OrvErrorCode getVarchar(Uint16 column, const char*& value,
                                          Uint16& length) override;
    [[nodiscard]] OrvErrorCode getInt(Uint16 column, const Sint32*& value) override;
    [[nodiscard]] OrvErrorCode getColumnName(Uint16 column, const char*& name) override;
    [[nodiscard]] OrvErrorCode getMaxDataLength(Uint16 column, Uint16& length) override;
    Uint16 getNumberColumns() override;
    [[nodiscard]] OrvErrorCode getDataType(Uint16 column, OrvDataType& type) override;
    const TupleId* getTupleId() override;

    // Appends the next column (column == number of columns set) or overwrites
    // a set one; columns are appended strictly in order. A failed setter
    // leaves the record as it was.
    [[nodiscard]] OrvErrorCode setVarchar(Uint16 column, const char* value, Uint16 length) override;
    [[nodiscard]] OrvErrorCode setInt(Uint16 column, const Sint32* value) override;

private:
    struct ColumnInfo {
        OrvDataType type;
        bool nullable;
        Uint16 maxLength;
    };

    OrvErrorCode columnInfo(Uint16 column, ColumnInfo& info) const;
    OrvErrorCode checkedColumn(Uint16 column, Uint16 limit, OrvDataType wanted,
                               ColumnInfo& info) const;
    // Offset of column's first byte: walks the columns before it, each length
    // checked against the bytes left.
    OrvErrorCode findAttributeOffset(Uint16 column, Uint32& offset) const;
    // Replaces bytes [offset, offset + oldBytes) of the record by the
    // `newBytes` bytes of `bytes`, refusing a row longer than a record holds.
    OrvErrorCode replaceInRecord(Uint32 offset, Uint32 oldBytes, const char* bytes,
                                 Uint32 newBytes);
    OrvErrorCode appendToRecord(Uint32 offset, const std::string& encoded);
    OrvErrorCode structureError(Uint32 bytes, Uint32 offset) const;
    Uint32 recordLength() const;
    const unsigned char* recordBytes() const;
    void resetCopies();

    OrvRecord* record;
    Uint16 numSetColumns;
    const OrvTable* table;
    std::vector<Sint32> intValues;
    std::vector<std::string> varcharValues;
};

#endif
