// The system catalog: the tables SYSTABLES, SYSCOLUMNS and SYSINDEXES and
// their four B-tree indexes, which describe every table and index of the
// database (themselves included).
//
//   OrvClientTransaction::begin();
//   OrvTransactionGuard guard;
//   OrvCatalogManager* catalog = OrvCatalogManager::getInstance();
//   OrvTable table;                       // name and columns filled in
//   TableId tableId;
//   if (catalog->addTable(table, tableId) != ORV_SUCCESS) { ... }
//   OrvRecordManager::getInstance()->createTable(tableId);
//   guard.commit();
//
// The catalog tables are ordinary tables of the record manager with
// ordinary indexes, so their rows are locked, logged, committed and rolled
// back with the calling process's transaction, as any other change.
//
// Errors: operations that return an OrvErrorCode record a failure in the
// error object and return its code; ORV_NOT_FOUND_WARN (a name or id not in
// the catalog) is a warning, returned the same way. A lock time-out or
// deadlock met while reading the catalog is returned as such, never taken
// for "not found". initializeCatalog lets ORV_CAT_INCOMPLETE_CATALOG_FOUND
// pass as an OrvException, the database path in its message.
//
// Writes. addTable and addIndex check the whole descriptor and the name
// before they change anything. A write that fails after its first change
// marks the transaction: it can then only be rolled back
// (OrvClientTransaction::commit refuses with ORV_TX_CATALOG_WRITE_FAILED).
// Every add and remove keeps the TUPLE_COUNT of the three catalog tables
// right in the same transaction.
//
// Ids. A new id is one more than the largest that any catalog index holds
// (table ids: the indexes on SYSTABLES, SYSCOLUMNS and SYSINDEXES; index
// ids: the index on INDEX_ID), so an id is never handed out while a row
// still names it; id 1 only during the catalog's own setup.
//
// Per process and single-threaded, like every engine object.
#ifndef ORV_CATALOG_MANAGER_H
#define ORV_CATALOG_MANAGER_H

#include "OrvErrorCodes.h"
#include "OrvRecord.h"
#include "OrvTable.h"
#include "OrvTypes.h"

#include <string>

class OrvIndexManager;
class OrvRecordManager;

class OrvCatalogManager {
public:
    static constexpr TableId SYSTABLES_ID = 1;
    static constexpr TableId SYSCOLUMNS_ID = 2;
    static constexpr TableId SYSINDEXES_ID = 3;
    static constexpr TableId MAX_CATALOG_TABLEID = 3;
    static constexpr IndexId IDX_SYSTABLES_TABLEID_ID = 1;
    static constexpr IndexId IDX_SYSCOLUMNS_TABLEID_ID = 2;
    static constexpr IndexId IDX_SYSINDEXES_TABLEID_ID = 3;
    static constexpr IndexId IDX_SYSINDEXES_INDEXID_ID = 4;
    static constexpr IndexId MAX_CATALOG_INDEXID = 4;

    // The process's manager, made on first use with the catalog indexes
    // opened.
    static OrvCatalogManager* getInstance();
    // Deletes the manager, if there is one. Never throws.
    static void deleteInstance();

    // The start's catalog step: makes the catalog of a new database, or
    // checks that an existing one is complete, and commits (or rolls back)
    // its own transaction.
    [[nodiscard]] static OrvErrorCode initializeCatalog();

    explicit OrvCatalogManager(bool startTx);
    ~OrvCatalogManager();
    OrvCatalogManager(const OrvCatalogManager&) = delete;
    OrvCatalogManager& operator=(const OrvCatalogManager&) = delete;

    // Opens the four catalog indexes in this process.
    void startTransaction();

    // Exact, case-sensitive names.
    [[nodiscard]] OrvErrorCode getTableId(const std::string& name, TableId& tableId);
    [[nodiscard]] OrvErrorCode getIndexId(const std::string& name, IndexId& indexId);

    // A null pointer gets a new descriptor that then belongs to the caller
    // (released again when the call fails); otherwise the one given is
    // refilled.
    [[nodiscard]] OrvErrorCode getTableDescriptor(TableId tableId, OrvTable*& tableDesc);
    [[nodiscard]] OrvErrorCode getIndexDescriptor(IndexId indexId, OrvIndex*& indexDesc);

    // Registers a table or an index and hands out its new id (also written
    // into the descriptor). Neither makes the segment: createTable of the
    // record manager and createIndex of the index manager are the caller's.
    // The two-argument forms refuse the catalog's own tables and indexes.
    [[nodiscard]] OrvErrorCode addTable(OrvTable& tableDesc, TableId& tableId);
    [[nodiscard]] OrvErrorCode addIndex(OrvIndex& indexDesc, IndexId& indexId);
    [[nodiscard]] OrvErrorCode addTable(OrvTable& tableDesc, bool protectCatalog, TableId& tableId);
    [[nodiscard]] OrvErrorCode addIndex(OrvIndex& indexDesc, bool protectCatalog, IndexId& indexId);

    // Remove a table's or an index's catalog rows (not its segment).
    // removeTable reads and checks every row first and refuses a table that
    // still has indexes (ORV_CAT_TABLE_HAS_INDEXES): its indexes are removed
    // first, so that no index row outlives its table and a later table with
    // the same id never inherits one.
    [[nodiscard]] OrvErrorCode removeTable(TableId tableId);
    [[nodiscard]] OrvErrorCode removeIndex(IndexId indexId);

    // A stored count that is missing or negative is ORV_CAT_INCONSISTENT_CATALOG;
    // a negative new count is ORV_INTERNAL_FAIL.
    [[nodiscard]] OrvErrorCode getTupleCount(TableId tableId, Uint32& count);
    [[nodiscard]] OrvErrorCode updateTupleCount(TableId tableId, Sint32 newTupleCount);
    // The number of records of the table, counted by a scan; -1 when the
    // scan fails (its error recorded).
    Sint32 getTupleCountByCounting(TableId& tableId);
    [[nodiscard]] OrvErrorCode runstats();

    // "YYYY-MM-DD hh:mm:ss.uuuuuu", local time, and a terminator: buffer of
    // at least 27 bytes.
    [[nodiscard]] static OrvErrorCode getCurrentTimestamp(char* buffer);
    [[nodiscard]] static OrvErrorCode getSystemIndexParameters(IndexId indexId, const char*& name,
                                                               TableId& tableId, Uint16& columnId,
                                                               OrvDataType& dataType, bool& unique);

private:
    // First start: none of the seven catalog segments exists; later start:
    // all exist and the catalog's own rows are there. Anything else is an
    // incomplete catalog, refused before anything is created.
    OrvErrorCode setupCatalog();
    void createCatalog();
    void checkExistingCatalog();

    // The operations, raising failures; the public ones turn them into codes.
    TableId lookupTableId(const std::string& name);
    IndexId lookupIndexId(const std::string& name);
    Sint32 idOfName(TableId table, Uint16 nameColumn, Uint16 idColumn, const std::string& name);
    void readTableDescriptor(TableId tableId, OrvTable& table);
    void readIndexDescriptor(IndexId indexId, OrvIndex& index);
    TableId insertTable(OrvTable& tableDesc, bool protectCatalog, bool& changed);
    IndexId insertIndex(OrvIndex& indexDesc, bool protectCatalog, bool& changed);
    void deleteTable(TableId tableId, bool& changed);
    void deleteIndex(IndexId indexId, bool& changed);
    Sint32 readTupleCount(TableId tableId, TupleId& tid);
    void writeTupleCount(TableId tableId, Sint32 count);
    // Adds delta to a catalog table's TUPLE_COUNT (not during setup, which
    // counts at its end).
    void adjustTupleCount(TableId tableId, Sint32 delta);
    Sint32 countRecords(TableId tableId);
    OrvErrorCode loadIndexes(TableId tableId, OrvTable::IndexList& indexes);

    TableId newTableId();
    IndexId newIndexId();

    OrvIndexManager* indexMgr;
    OrvRecordManager* recordMgr;
    // Set on the setup's own manager: the catalog registers itself, so the
    // first ids may be 1 and the catalog's own names are not duplicates.
    bool inSetup = false;
    static OrvCatalogManager* instance;
};

#endif
