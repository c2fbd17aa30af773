// Table and index descriptors: the in-memory form of a table's columns and of
// an index, as the catalog stores them.
//
// OrvTable holds a table's id, name, row count and column definitions, the
// bounds of its record length and the list of its indexes. OrvIndex describes
// one single-column index. Record tuples read a table's column definitions to
// interpret a record's bytes (see OrvTuple.h for the row format).
//
// Errors: getters and setters never throw. They record a failure in the error
// object (component CatalogManager) and return its code, so that a sequence
// of calls can be checked once at its end: ORV_PARAMETER_FAIL for a bad
// argument, ORV_INTERNAL_FAIL for reading a field that was never set. getIndex
// and hasIndexOfType throw an OrvException instead.
//
// Process safety: per-process objects; nothing here is shared.
#ifndef ORV_TABLE_H
#define ORV_TABLE_H

#include "OrvConfig.h"
#include "OrvErrorCodes.h"
#include "OrvTypes.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

class OrvTable;

class OrvIndex {
public:
    // Column number of an index whose column was never set.
    static constexpr Uint16 NO_COLUMN = 65535;

    OrvIndex();
    OrvIndex(const OrvIndex&) = delete;
    OrvIndex& operator=(const OrvIndex&) = delete;

    // Puts every field back to its default, so that a descriptor refilled in
    // place keeps nothing of the index it described before.
    void reset();

    [[nodiscard]] OrvErrorCode getIndexId(IndexId& id) const;         // 1 .. ORV_MAX_INDEX_ID
    [[nodiscard]] OrvErrorCode getIndexName(const char*& name) const; // terminated, owned here
    [[nodiscard]] OrvErrorCode getIndexType(OrvIndexType& type) const;
    [[nodiscard]] OrvErrorCode getTableId(TableId& id) const;         // 1 .. ORV_MAX_TABLE_ID
    [[nodiscard]] OrvErrorCode getColumnNumber(Uint16& column) const; // set, not NO_COLUMN
    [[nodiscard]] OrvErrorCode getUnique(bool& unique) const;         // once set

    // 1 .. ORV_MAX_INDEX_ID, else ORV_PARAMETER_FAIL.
    [[nodiscard]] OrvErrorCode setIndexId(IndexId id);
    // The whole string is the name; a name longer than ORV_MAX_INDEX_NAME_LENGTH
    // is ORV_CAT_INDEX_NAME_TOO_LONG whatever its length, and the old name stays.
    [[nodiscard]] OrvErrorCode setIndexName(const char* name);
    // The first `length` bytes of name are the name (name need not be
    // terminated). Null or 0: ORV_PARAMETER_FAIL.
    [[nodiscard]] OrvErrorCode setIndexName(const char* name, Uint16 length);
    // BTree and Hash are stored; UnknownIndexType is ORV_PARAMETER_FAIL; any
    // other value is ignored.
    [[nodiscard]] OrvErrorCode setIndexType(OrvIndexType type);
    [[nodiscard]] OrvErrorCode setTableId(TableId id); // 0: ORV_PARAMETER_FAIL
    [[nodiscard]] OrvErrorCode setColumnNumber(Uint16 column);
    [[nodiscard]] OrvErrorCode setUnique(bool unique);

private:
    friend class OrvTable;
    OrvErrorCode storeIndexName(const char* name, std::size_t length);

    IndexId indexId;
    OrvIndexType indexType;
    char indexName[ORV_MAX_INDEX_NAME_LENGTH + 1];
    TableId tableId;
    Uint16 columnNumber;
    bool unique;
    bool haveUnique;
};

class OrvTable {
public:
    struct ColumnDefinition {
        char name[ORV_MAX_COLUMN_NAME_LENGTH + 1];
        OrvDataType dataType;
        bool isNullable;
        // Maximum value length in bytes: 4 for INTEGER, the declared length
        // for VARCHAR.
        Uint16 maxLength;

        ColumnDefinition();
    };

    // The longest record a row may need: a record's length is 16 bits. A
    // column definition that would let a row grow past it is refused.
    static constexpr Uint32 MAX_ROW_LENGTH = ORV_MAX_UINT16;

    typedef std::vector<std::unique_ptr<OrvIndex>> IndexList;
    // Fills `indexes` with the descriptors of every index on table `tableId`,
    // in the order of the catalog. Returns ORV_SUCCESS, or the code of a
    // failure it recorded (it may also throw an OrvException). The catalog
    // manager installs it, reading the catalog's index on the table id.
    typedef std::function<OrvErrorCode(TableId tableId, IndexList& indexes)> IndexLoader;

    OrvTable();
    ~OrvTable();
    OrvTable(const OrvTable&) = delete;
    OrvTable& operator=(const OrvTable&) = delete;

    // Puts every field back to its default (releasing columns, indexes and the
    // index loader), so that a descriptor refilled in place keeps nothing of
    // the table it described before.
    void reset();

    [[nodiscard]] OrvErrorCode getTableId(TableId& id) const; // 1 .. ORV_MAX_TABLE_ID
    [[nodiscard]] OrvErrorCode getTableName(const char*& name) const;
    Uint32 getTupleCount() const;
    [[nodiscard]] OrvErrorCode getNumColumns(Uint16& count) const;
    // Bounds of a row's length, computed once from the column definitions.
    Uint16 getMinRecordLength() const;
    Uint16 getMaxRecordLength() const;
    [[nodiscard]] OrvErrorCode getColumnName(Uint16 column, const char*& name) const;
    // Exact, case-sensitive; none: ORV_CAT_COLUMN_NOT_IN_TABLE.
    [[nodiscard]] OrvErrorCode getColumnNumber(const char* name, Uint16& column) const;
    [[nodiscard]] OrvErrorCode getColumnDatatype(Uint16 column, OrvDataType& type) const;
    [[nodiscard]] OrvErrorCode getMaxColumnLength(Uint16 column, Uint16& length) const;
    [[nodiscard]] OrvErrorCode getIsNullable(Uint16 column, bool& nullable) const;

    [[nodiscard]] OrvErrorCode setTableId(TableId id); // 1 .. ORV_MAX_TABLE_ID
    void setTupleCount(Uint32 count);
    // As setIndexName: the one-argument form takes the whole string, however
    // long; too long is ORV_CAT_TABLE_NAME_TOO_LONG and the old name stays.
    [[nodiscard]] OrvErrorCode setTableName(const char* name);
    [[nodiscard]] OrvErrorCode setTableName(const char* name, Uint16 length);
    // Replaces the column definitions by `count` default ones.
    [[nodiscard]] OrvErrorCode createColumns(Uint16 count);
    [[nodiscard]] OrvErrorCode setColumnName(Uint16 column, const char* name);
    [[nodiscard]] OrvErrorCode setColumnName(Uint16 column, const char* name, Uint32 length);
    // Checks everything first and changes nothing on failure. A definition
    // that would let the longest row exceed MAX_ROW_LENGTH is
    // ORV_CAT_RECORD_TOO_LONG.
    [[nodiscard]] OrvErrorCode setColumnDefinition(Uint16 column, const char* name,
                                                   OrvDataType type, Uint16 maxLength,
                                                   bool nullable);

    // The index list. It is loaded at most once, on first demand, through the
    // loader the catalog manager installs; without a loader the list is what
    // addIndex put in. A failed load leaves the list empty and not loaded, so
    // a later call tries again.
    // Installing a loader drops the list held so far.
    void setIndexLoader(IndexLoader loader);
    // Appends a descriptor the table then owns (loading the list first).
    [[nodiscard]] OrvErrorCode addIndex(std::unique_ptr<OrvIndex> index);
    // The number of indexes, or the load's error.
    [[nodiscard]] OrvErrorCode getNumIndexes(Uint32& count);
    // As above; a failed load gives 0, its error recorded in the error object.
    Uint32 getNumIndexes();
    // Throws. Hands out the table's own descriptor, owned by the table.
    void getIndex(Uint32 position, OrvIndex*& index);
    // Throws. The last index in the list on `column` with `type`; none is
    // ORV_NOT_FOUND_WARN.
    void hasIndexOfType(Uint16 column, const OrvIndexType& type, IndexId& id);

private:
    OrvErrorCode storeTableName(const char* name, std::size_t length);
    OrvErrorCode storeColumnName(Uint16 column, const char* name, std::size_t length);
    void calculateMinMaxRecordLength() const;
    OrvErrorCode retrieveIndexInformation();

    TableId tableId;
    char tableName[ORV_MAX_TABLE_NAME_LENGTH + 1];
    Uint32 tupleCount;
    Uint16 numColumns;
    std::unique_ptr<ColumnDefinition[]> columnDefs;
    // Cached bounds; 0 means not yet computed.
    mutable Uint16 minRecordLength;
    mutable Uint16 maxRecordLength;
    IndexList indexes;
    bool gotIndexes;
    IndexLoader indexLoader;
};

#endif
