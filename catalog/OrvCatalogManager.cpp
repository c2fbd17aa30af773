// The catalog manager: the three catalog tables and their four indexes, and
// the descriptors read from and written into them.
#include "OrvCatalogManager.h"

#include "OrvError.h"
#include "OrvException.h"
#include "OrvIndexManager.h"
#include "OrvRecordIterator.h"
#include "OrvRecordManager.h"
#include "OrvTransaction.h"
#include "OrvTuple.h"
#include "support/OrvDatabasePath.h"
#include "support/OrvErrorBoundary.h"
#include "support/OrvTrace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <vector>

OrvCatalogManager* OrvCatalogManager::instance = nullptr;

namespace {

using CM = OrvCatalogManager;

// ---- the fixed definitions -------------------------------------------------------

struct ColumnSpec {
    const char* name;
    OrvDataType type;
    Uint16 maxLength;
};

// Column numbers of the catalog tables.
enum SysTablesColumn : Uint16 { ST_NAME = 0, ST_ID, ST_COLUMNS, ST_TIME, ST_TUPLES };
enum SysColumnsColumn : Uint16 { SC_TABLE = 0, SC_NAME, SC_ID, SC_TYPE, SC_LENGTH, SC_NULLABLE };
enum SysIndexesColumn : Uint16 {
    SI_TABLE = 0,
    SI_NAME,
    SI_ID,
    SI_TYPE,
    SI_COLUMN,
    SI_UNIQUE,
    SI_TIME
};

const ColumnSpec sysTablesColumns[] = {{"TABLE_NAME", VARCHAR, 128},
                                       {"TABLE_ID", INTEGER, 4},
                                       {"COLUMN_COUNT", INTEGER, 4},
                                       {"CREATE_TIME", VARCHAR, 26},
                                       {"TUPLE_COUNT", INTEGER, 4}};
const ColumnSpec sysColumnsColumns[] = {{"TABLE_ID", INTEGER, 4},   {"COLUMN_NAME", VARCHAR, 128},
                                        {"COLUMN_ID", INTEGER, 4},  {"DATA_TYPE", VARCHAR, 128},
                                        {"MAX_LENGTH", INTEGER, 4}, {"NULLABLE", VARCHAR, 1}};
const ColumnSpec sysIndexesColumns[] = {{"TABLE_ID", INTEGER, 4},    {"INDEX_NAME", VARCHAR, 128},
                                        {"INDEX_ID", INTEGER, 4},    {"INDEX_TYPE", VARCHAR, 5},
                                        {"COLUMN_ID", INTEGER, 4},   {"IS_UNIQUE", VARCHAR, 1},
                                        {"CREATE_TIME", VARCHAR, 26}};

struct SystemTable {
    TableId id;
    const char* name;
    const ColumnSpec* columns;
    Uint16 count;
};

const SystemTable systemTables[] = {
    {CM::SYSTABLES_ID, "SYSTABLES", sysTablesColumns, 5},
    {CM::SYSCOLUMNS_ID, "SYSCOLUMNS", sysColumnsColumns, 6},
    {CM::SYSINDEXES_ID, "SYSINDEXES", sysIndexesColumns, 7},
};

struct IndexDefinition {
    IndexId indexId;
    const char* indexName;
    TableId tableId;
    Uint16 columnId;
    OrvDataType dataType;
    bool unique;
};

const IndexDefinition indexDefs[] = {
    {CM::IDX_SYSTABLES_TABLEID_ID, "IDX_SYSTABLES_TABLEID_ID", CM::SYSTABLES_ID, ST_ID, INTEGER,
     true},
    {CM::IDX_SYSCOLUMNS_TABLEID_ID, "IDX_SYSCOLUMNS_TABLEID_ID", CM::SYSCOLUMNS_ID, SC_TABLE,
     INTEGER, false},
    {CM::IDX_SYSINDEXES_TABLEID_ID, "IDX_SYSINDEXES_TABLEID_ID", CM::SYSINDEXES_ID, SI_TABLE,
     INTEGER, false},
    {CM::IDX_SYSINDEXES_INDEXID_ID, "IDX_SYSINDEXES_INDEXID_ID", CM::SYSINDEXES_ID, SI_ID, INTEGER,
     true},
};

static_assert(sizeof(indexDefs) / sizeof(indexDefs[0]) == CM::MAX_CATALOG_INDEXID,
              "one definition per catalog index");

// The indexes whose keys are table ids: an id any of them holds is taken.
const std::vector<IndexId> tableIdIndexes = {
    CM::IDX_SYSTABLES_TABLEID_ID, CM::IDX_SYSCOLUMNS_TABLEID_ID, CM::IDX_SYSINDEXES_TABLEID_ID};

// ---- small helpers -----------------------------------------------------------------

[[noreturn]] void inconsistent() {
    ORV_THROW(ORV_CAT_INCONSISTENT_CATALOG);
}

OrvIndexKey intKey(Sint32 value) {
    OrvIndexKey key;
    key.dataType = INTEGER;
    key.intKey = value;
    return key;
}

bool validTableId(Sint64 id) {
    return id >= ORV_MIN_TABLE_ID && id <= ORV_MAX_TABLE_ID;
}

bool validIndexId(Sint64 id) {
    return id >= ORV_MIN_INDEX_ID && id <= ORV_MAX_INDEX_ID;
}

void fillSystemDescriptor(TableId tableId, OrvTable& table) {
    const SystemTable& def = systemTables[tableId - 1];
    ORV_RAISE(table.setTableId(def.id));
    ORV_RAISE(table.setTableName(def.name));
    ORV_RAISE(table.createColumns(def.count));
    for (Uint16 i = 0; i < def.count; ++i) {
        ORV_RAISE(table.setColumnDefinition(i, def.columns[i].name, def.columns[i].type,
                                            def.columns[i].maxLength, false));
    }
}

// The descriptor of a catalog table, built once per process.
const OrvTable& systemDescriptor(TableId tableId) {
    static std::unique_ptr<OrvTable> tables[3];
    std::unique_ptr<OrvTable>& slot = tables[tableId - 1];
    if (slot == nullptr) {
        std::unique_ptr<OrvTable> table(new OrvTable);
        fillSystemDescriptor(tableId, *table);
        slot = std::move(table);
    }
    return *slot;
}

// A row read from a catalog table: its values, each checked as it is read.
// A value that cannot be read is an inconsistent catalog, whatever the
// tuple's own complaint.
class Row {
public:
    Row(const OrvRecord& record, TableId tableId) : tuple(&systemDescriptor(tableId)) {
        if (tuple.initialize(new OrvRecord(record), &systemDescriptor(tableId)) != ORV_SUCCESS) {
            inconsistent();
        }
    }
    Sint32 getInt(Uint16 column) {
        const Sint32* value = nullptr;
        if (tuple.getInt(column, value) != ORV_SUCCESS || value == nullptr) {
            inconsistent();
        }
        return *value;
    }
    std::string getText(Uint16 column) {
        const char* value = nullptr;
        Uint16 length = 0;
        if (tuple.getVarchar(column, value, length) != ORV_SUCCESS || value == nullptr) {
            inconsistent();
        }
        return std::string(value, length);
    }
    void setInt(Uint16 column, Sint32 value) { ORV_RAISE(tuple.setInt(column, &value)); }
    const OrvRecord& record() {
        const OrvRecord* built = tuple.getRecord();
        if (built == nullptr) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        return *built;
    }

private:
    OrvRecordTuple tuple;
};

// A new row of a catalog table, built column by column.
class NewRow {
public:
    explicit NewRow(TableId tableId) : tuple(&systemDescriptor(tableId)) {}
    NewRow& add(Sint32 value) {
        ORV_RAISE(tuple.setInt(next++, &value));
        return *this;
    }
    NewRow& add(const std::string& text) {
        ORV_RAISE(tuple.setVarchar(next++, text.data(), static_cast<Uint16>(text.size())));
        return *this;
    }
    const OrvRecord& record() {
        const OrvRecord* built = tuple.getRecord();
        if (built == nullptr) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        return *built;
    }

private:
    OrvRecordTuple tuple;
    Uint16 next = 0;
};

std::string timestamp() {
    char buffer[32] = {};
    ORV_RAISE(OrvCatalogManager::getCurrentTimestamp(buffer));
    return std::string(buffer, 26);
}

// ---- reading through the managers ---------------------------------------------------

// The row at `tid` of catalog table `tableId`; for update: locked exclusively.
std::unique_ptr<OrvRecord> readRow(OrvRecordManager* recordMgr, TableId tableId, const TupleId& tid,
                                   bool forUpdate) {
    OrvRecord* record = nullptr;
    recordMgr->get(tableId, tid, true, forUpdate, record);
    return std::unique_ptr<OrvRecord>(record);
}

// Whether the key is in the index. Only "not found" means absent: any other
// failure (a lock time-out) is raised.
bool findKey(OrvIndexManager* indexMgr, IndexId indexId, Sint32 value, TupleId& tid) {
    try {
        indexMgr->find(indexId, intKey(value), tid);
        return true;
    } catch (const OrvException& e) {
        if (e.getErrorCode() == ORV_NOT_FOUND_WARN) {
            return false;
        }
        throw;
    }
}

// A new table or index id: one more than the largest key that any of
// `indexes` holds or, when that is the largest id there may be, the first
// id above the catalog's own that none of them holds (0 when every id is
// taken). An id any of the indexes still holds is never handed out again.
// With no key in any of them only the catalog's own setup may go on, and it
// gets `first`.
Sint32 nextId(OrvIndexManager* indexMgr, const std::vector<IndexId>& indexes, bool inSetup,
              Sint32 first, Sint32 lastOfCatalog, Sint32 maxId, bool (*valid)(Sint64)) {
    Sint32 largest = 0;
    for (IndexId index : indexes) {
        OrvIndexKey key = intKey(0);
        TupleId tid;
        try {
            indexMgr->findLastKey(index, key, tid);
        } catch (const OrvException& e) {
            if (e.getErrorCode() != ORV_NOT_FOUND_WARN) {
                throw;
            }
            continue;
        }
        if (!valid(key.intKey)) {
            inconsistent();
        }
        largest = std::max(largest, key.intKey);
    }
    if (largest == 0) {
        if (!inSetup) {
            inconsistent();
        }
        return first;
    }
    if (largest < maxId) {
        return largest + 1;
    }
    for (Sint32 id = lastOfCatalog + 1; id <= maxId; ++id) {
        bool taken = false;
        for (IndexId index : indexes) {
            TupleId tid;
            taken = taken || findKey(indexMgr, index, id, tid);
        }
        if (!taken) {
            return id;
        }
    }
    return 0;
}

// The tuple ids stored under one key, in index order. The scan's end is the
// only reason to stop; any other failure is raised.
std::vector<TupleId> tidsOfKey(OrvIndexManager* indexMgr, IndexId indexId, Sint32 value) {
    const OrvIndexKey key = intKey(value);
    OrvIndexIterator* raw = nullptr;
    indexMgr->findRange(indexId, &key, &key, raw);
    std::unique_ptr<OrvIndexIterator> scan(raw);
    ORV_RAISE(scan->lastResetResult());
    std::vector<TupleId> tids;
    while (scan->hasNext()) {
        TupleId tid;
        const OrvErrorCode code = scan->getNextTupleId(tid);
        if (code == ORV_NOT_FOUND_WARN) {
            break;
        }
        ORV_RAISE(code);
        tids.push_back(tid);
    }
    return tids;
}

// Calls visit(record) for every record of the table until it answers false.
// Only the end of the table ends the scan early; a failure is raised.
void scanTable(OrvRecordManager* recordMgr, TableId tableId,
               const std::function<bool(const OrvRecord&)>& visit) {
    OrvRecordIterator* raw = nullptr;
    recordMgr->getRecordIterator(tableId, raw);
    std::unique_ptr<OrvRecordIterator> scan(raw);
    OrvRecord record;
    OrvRecord* into = &record;
    while (scan->hasNext()) {
        const OrvErrorCode code = scan->getNext(into);
        if (code == ORV_NOT_FOUND_WARN) {
            break;
        }
        ORV_RAISE(code);
        if (!visit(record)) {
            break;
        }
    }
}

// The end of a scan is recorded as a warning; a lookup that succeeded
// leaves none behind.
void clearEndOfScan() {
    OrvError* error = OrvError::getErrorObject();
    if (error->getErrorCode() == ORV_NOT_FOUND_WARN) {
        error->setError(CatalogManager, ORV_SUCCESS);
    }
}

// A public operation: failures recorded and returned as codes. A write that
// failed after its first change marks the transaction as not committable.
template <class Operation> OrvErrorCode asCode(Operation&& operation) {
    const OrvErrorCode code = OrvErrorBoundary::toErrorCode(std::forward<Operation>(operation));
    if (code == ORV_SUCCESS) {
        clearEndOfScan();
    }
    return code;
}

// Reads a descriptor into the caller's object or, when the caller passes
// none, into a new one that the caller owns only when the read succeeded.
template <class Descriptor, class Read>
OrvErrorCode intoCallersOrNew(Descriptor*& descriptor, Read&& read) {
    std::unique_ptr<Descriptor> made(descriptor == nullptr ? new Descriptor : nullptr);
    Descriptor& target = made ? *made : *descriptor;
    const OrvErrorCode code = asCode([&] { read(target); });
    if (code == ORV_SUCCESS && made) {
        descriptor = made.release();
    }
    return code;
}

template <class Operation> OrvErrorCode asWrite(Operation&& operation) {
    bool changed = false;
    const OrvErrorCode code = asCode([&] { operation(changed); });
    if (code != ORV_SUCCESS && changed) {
        OrvTransactionManager::getInstance()->markCatalogWriteFailed();
    }
    return code;
}

// ---- the catalog's files ---------------------------------------------------------------

// The file of a segment, named as the file manager names it.
std::string segmentPath(SegmentId segment) {
    std::string path = orvDatabasePath();
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path + "Seg" + std::to_string(segment) + ".orv";
}

std::vector<SegmentId> catalogSegments() {
    std::vector<SegmentId> segments;
    for (TableId t = 1; t <= CM::MAX_CATALOG_TABLEID; ++t) {
        segments.push_back(t);
    }
    for (IndexId i = 1; i <= CM::MAX_CATALOG_INDEXID; ++i) {
        segments.push_back(static_cast<SegmentId>(2 * i + 32767));
    }
    return segments;
}

// How many of the seven files exist. A file whose state cannot be had
// counts as existing: only a directory without any is taken as new.
int countCatalogFiles() {
    int found = 0;
    for (SegmentId segment : catalogSegments()) {
        struct stat status;
        if (stat(segmentPath(segment).c_str(), &status) == 0 || errno != ENOENT) {
            ++found;
        }
    }
    return found;
}

[[noreturn]] void incompleteCatalog() {
    ORV_THROW(ORV_CAT_INCOMPLETE_CATALOG_FOUND, orvDatabasePath());
}

} // namespace

// ---- the process's manager -----------------------------------------------------------------

OrvCatalogManager* OrvCatalogManager::getInstance() {
    ORV_TRACE(CatalogManager);
    if (instance == nullptr) {
        instance = new OrvCatalogManager(true);
    }
    return instance;
}

void OrvCatalogManager::deleteInstance() {
    delete instance;
    instance = nullptr;
}

OrvCatalogManager::OrvCatalogManager(bool startTx)
    : indexMgr(OrvIndexManager::getInstance()), recordMgr(OrvRecordManager::getInstance()) {
    ORV_TRACE(CatalogManager);
    if (startTx) {
        startTransaction();
    }
}

OrvCatalogManager::~OrvCatalogManager() = default;

void OrvCatalogManager::startTransaction() {
    ORV_TRACE(CatalogManager);
    for (const IndexDefinition& def : indexDefs) {
        indexMgr->openIndex(def.indexId, def.unique, BTree, def.dataType);
    }
}

// ---- setup ------------------------------------------------------------------------------------

OrvErrorCode OrvCatalogManager::initializeCatalog() {
    ORV_TRACE(CatalogManager);
    OrvCatalogManager manager(false);
    manager.inSetup = true;
    return manager.setupCatalog();
}

OrvErrorCode OrvCatalogManager::setupCatalog() {
    ORV_TRACE(CatalogManager);
    // Decided before anything is made: a directory holding some but not all
    // of the catalog stays exactly as it was found.
    const int existing = countCatalogFiles();
    const int all = static_cast<int>(catalogSegments().size());
    if (existing != 0 && existing != all) {
        incompleteCatalog();
    }
    OrvClientTransaction::begin();
    if (existing == all) {
        checkExistingCatalog();
        return ORV_SUCCESS;
    }
    // The first failure is the one reported: what the rollback meets after
    // it does not replace it.
    std::unique_ptr<OrvException> first;
    try {
        createCatalog();
        OrvClientTransaction::commit();
        OrvError::getErrorObject()->setError(CatalogManager, ORV_SUCCESS);
        return ORV_SUCCESS;
    } catch (const OrvException& e) {
        first.reset(new OrvException(e));
    }
    bool rolledBack = true;
    try {
        OrvClientTransaction::rollback();
    } catch (const OrvException&) {
        rolledBack = false;
    }
    if (!rolledBack || countCatalogFiles() != 0) {
        // Files the rollback could not take away would be found by the next
        // start; it must hear that the directory needs cleaning up, and so
        // must this one.
        orvTrace.traceString(1, "a failed catalog setup left catalog files behind");
        incompleteCatalog();
    }
    first->SET_ERROR();
    return first->getErrorCode();
}

void OrvCatalogManager::createCatalog() {
    ORV_TRACE(CatalogManager);
    for (const SystemTable& table : systemTables) {
        recordMgr->createTable(table.id);
    }
    for (const IndexDefinition& def : indexDefs) {
        indexMgr->createIndex(def.indexId, def.unique, BTree, def.dataType);
    }
    // The catalog describes itself, each index right after its table, so
    // the ids come out as 1, 2, 3 and 1 .. 4.
    auto registerTable = [this](TableId id) {
        OrvTable table;
        fillSystemDescriptor(id, table);
        TableId given = 0;
        ORV_RAISE(addTable(table, false, given));
        if (given != id) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
    };
    auto registerIndex = [this](IndexId id) {
        OrvIndex index;
        OrvIndex* filled = &index;
        ORV_RAISE(getIndexDescriptor(id, filled));
        IndexId given = 0;
        ORV_RAISE(addIndex(index, false, given));
        if (given != id) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
    };
    registerTable(SYSTABLES_ID);
    registerIndex(IDX_SYSTABLES_TABLEID_ID);
    registerTable(SYSCOLUMNS_ID);
    registerIndex(IDX_SYSCOLUMNS_TABLEID_ID);
    registerTable(SYSINDEXES_ID);
    registerIndex(IDX_SYSINDEXES_TABLEID_ID);
    registerIndex(IDX_SYSINDEXES_INDEXID_ID);
    for (TableId id = SYSTABLES_ID; id <= MAX_CATALOG_TABLEID; ++id) {
        writeTupleCount(id, countRecords(id));
    }
}

void OrvCatalogManager::checkExistingCatalog() {
    ORV_TRACE(CatalogManager);
    // The seven files may be those of a setup that died before it
    // committed: the catalog's own rows tell.
    bool complete = true;
    try {
        startTransaction();
        for (TableId id = SYSTABLES_ID; id <= MAX_CATALOG_TABLEID; ++id) {
            TupleId tid;
            complete = complete && findKey(indexMgr, IDX_SYSTABLES_TABLEID_ID, id, tid);
        }
    } catch (const OrvException& e) {
        OrvErrorBoundary::noThrow(CatalogManager, "ending the catalog check",
                                  [] { OrvClientTransaction::rollback(); });
        // A file without the pages of its tree is a catalog never finished.
        if (e.getErrorCode() == ORV_BM_PAGE_NOT_FOUND) {
            incompleteCatalog();
        }
        throw;
    }
    OrvClientTransaction::commit();
    if (!complete) {
        incompleteCatalog();
    }
    OrvError::getErrorObject()->setError(CatalogManager, ORV_SUCCESS);
}

// ---- names and ids ----------------------------------------------------------------------------

OrvErrorCode OrvCatalogManager::getTableId(const std::string& name, TableId& tableId) {
    ORV_TRACE(CatalogManager);
    return asCode([&] { tableId = lookupTableId(name); });
}

OrvErrorCode OrvCatalogManager::getIndexId(const std::string& name, IndexId& indexId) {
    ORV_TRACE(CatalogManager);
    return asCode([&] { indexId = lookupIndexId(name); });
}

// The id column of the first row of a catalog table whose name column
// holds exactly `name`, by a full scan; none is ORV_NOT_FOUND_WARN.
Sint32 OrvCatalogManager::idOfName(TableId table, Uint16 nameColumn, Uint16 idColumn,
                                   const std::string& name) {
    Sint32 found = 0;
    scanTable(recordMgr, table, [&](const OrvRecord& record) {
        Row row(record, table);
        if (row.getText(nameColumn) != name) {
            return true;
        }
        found = row.getInt(idColumn);
        return false;
    });
    if (found == 0) {
        ORV_THROW(ORV_NOT_FOUND_WARN);
    }
    return found;
}

TableId OrvCatalogManager::lookupTableId(const std::string& name) {
    if (name.empty()) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    for (const SystemTable& table : systemTables) {
        if (name == table.name) {
            return table.id;
        }
    }
    const Sint32 found = idOfName(SYSTABLES_ID, ST_NAME, ST_ID, name);
    if (!validTableId(found)) {
        inconsistent();
    }
    return static_cast<TableId>(found);
}

IndexId OrvCatalogManager::lookupIndexId(const std::string& name) {
    if (name.empty()) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    for (const IndexDefinition& def : indexDefs) {
        if (name == def.indexName) {
            return def.indexId;
        }
    }
    const Sint32 found = idOfName(SYSINDEXES_ID, SI_NAME, SI_ID, name);
    if (!validIndexId(found)) {
        inconsistent();
    }
    return static_cast<IndexId>(found);
}

TableId OrvCatalogManager::newTableId() {
    const Sint32 id = nextId(indexMgr, tableIdIndexes, inSetup, SYSTABLES_ID, MAX_CATALOG_TABLEID,
                             ORV_MAX_TABLE_ID, validTableId);
    if (id == 0) {
        ORV_THROW(ORV_CAT_TOO_MANY_TABLES);
    }
    return static_cast<TableId>(id);
}

IndexId OrvCatalogManager::newIndexId() {
    const Sint32 id =
        nextId(indexMgr, {IDX_SYSINDEXES_INDEXID_ID}, inSetup, IDX_SYSTABLES_TABLEID_ID,
               MAX_CATALOG_INDEXID, ORV_MAX_INDEX_ID, validIndexId);
    if (id == 0) {
        ORV_THROW(ORV_CAT_TOO_MANY_INDEXES);
    }
    return static_cast<IndexId>(id);
}

// ---- descriptors ------------------------------------------------------------------------------

OrvErrorCode OrvCatalogManager::getTableDescriptor(TableId tableId, OrvTable*& tableDesc) {
    ORV_TRACE(CatalogManager);
    return intoCallersOrNew(tableDesc,
                            [&](OrvTable& table) { readTableDescriptor(tableId, table); });
}

void OrvCatalogManager::readTableDescriptor(TableId tableId, OrvTable& table) {
    if (!validTableId(tableId)) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    table.reset();
    if (tableId <= MAX_CATALOG_TABLEID) {
        fillSystemDescriptor(tableId, table);
    } else {
        TupleId tid;
        if (!findKey(indexMgr, IDX_SYSTABLES_TABLEID_ID, tableId, tid)) {
            ORV_THROW(ORV_NOT_FOUND_WARN);
        }
        std::unique_ptr<OrvRecord> record = readRow(recordMgr, SYSTABLES_ID, tid, false);
        Row row(*record, SYSTABLES_ID);
        const std::string name = row.getText(ST_NAME);
        const Sint32 id = row.getInt(ST_ID);
        const Sint32 columns = row.getInt(ST_COLUMNS);
        const Sint32 tuples = row.getInt(ST_TUPLES);
        if (name.empty() || name.size() > ORV_MAX_TABLE_NAME_LENGTH || id != tableId ||
            columns < 1 || columns > ORV_MAX_UINT16 || tuples < 0) {
            inconsistent();
        }
        if (table.setTableId(tableId) != ORV_SUCCESS ||
            table.setTableName(name.c_str()) != ORV_SUCCESS ||
            table.createColumns(static_cast<Uint16>(columns)) != ORV_SUCCESS) {
            inconsistent();
        }
        table.setTupleCount(static_cast<Uint32>(tuples));
        // The rows may come in any order; each column once.
        std::vector<bool> seen(static_cast<std::size_t>(columns), false);
        const std::vector<TupleId> tids = tidsOfKey(indexMgr, IDX_SYSCOLUMNS_TABLEID_ID, tableId);
        if (tids.size() != static_cast<std::size_t>(columns)) {
            inconsistent();
        }
        for (const TupleId& columnTid : tids) {
            std::unique_ptr<OrvRecord> columnRecord =
                readRow(recordMgr, SYSCOLUMNS_ID, columnTid, false);
            Row column(*columnRecord, SYSCOLUMNS_ID);
            const std::string columnName = column.getText(SC_NAME);
            const Sint32 number = column.getInt(SC_ID);
            const std::string type = column.getText(SC_TYPE);
            const Sint32 length = column.getInt(SC_LENGTH);
            const std::string nullable = column.getText(SC_NULLABLE);
            if (column.getInt(SC_TABLE) != tableId || columnName.empty() ||
                columnName.size() > ORV_MAX_COLUMN_NAME_LENGTH || number < 0 || number >= columns ||
                seen[static_cast<std::size_t>(number)] ||
                (type != "VARCHAR" && type != "INTEGER") || length < 1 || length > ORV_MAX_UINT16 ||
                (nullable != "N" && nullable != "Y")) {
                inconsistent();
            }
            seen[static_cast<std::size_t>(number)] = true;
            if (table.setColumnDefinition(static_cast<Uint16>(number), columnName.c_str(),
                                          type == "VARCHAR" ? VARCHAR : INTEGER,
                                          static_cast<Uint16>(length),
                                          nullable == "Y") != ORV_SUCCESS) {
                inconsistent();
            }
        }
    }
    table.setIndexLoader([](TableId id, OrvTable::IndexList& indexes) {
        return OrvCatalogManager::getInstance()->loadIndexes(id, indexes);
    });
}

OrvErrorCode OrvCatalogManager::loadIndexes(TableId tableId, OrvTable::IndexList& indexes) {
    ORV_TRACE(CatalogManager);
    return asCode([&] {
        for (const TupleId& tid : tidsOfKey(indexMgr, IDX_SYSINDEXES_TABLEID_ID, tableId)) {
            std::unique_ptr<OrvRecord> record = readRow(recordMgr, SYSINDEXES_ID, tid, false);
            Row row(*record, SYSINDEXES_ID);
            const Sint32 id = row.getInt(SI_ID);
            if (!validIndexId(id) || row.getInt(SI_TABLE) != tableId) {
                inconsistent();
            }
            std::unique_ptr<OrvIndex> index(new OrvIndex);
            readIndexDescriptor(static_cast<IndexId>(id), *index);
            indexes.push_back(std::move(index));
        }
    });
}

OrvErrorCode OrvCatalogManager::getIndexDescriptor(IndexId indexId, OrvIndex*& indexDesc) {
    ORV_TRACE(CatalogManager);
    return intoCallersOrNew(indexDesc,
                            [&](OrvIndex& index) { readIndexDescriptor(indexId, index); });
}

void OrvCatalogManager::readIndexDescriptor(IndexId indexId, OrvIndex& index) {
    if (!validIndexId(indexId)) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    index.reset();
    std::string name;
    TableId tableId = 0;
    Uint16 column = 0;
    OrvIndexType type = BTree;
    bool unique = false;
    if (indexId <= MAX_CATALOG_INDEXID) {
        const char* systemName = nullptr;
        OrvDataType dataType = INTEGER;
        ORV_RAISE(getSystemIndexParameters(indexId, systemName, tableId, column, dataType, unique));
        name = systemName;
    } else {
        TupleId tid;
        if (!findKey(indexMgr, IDX_SYSINDEXES_INDEXID_ID, indexId, tid)) {
            ORV_THROW(ORV_NOT_FOUND_WARN);
        }
        std::unique_ptr<OrvRecord> record = readRow(recordMgr, SYSINDEXES_ID, tid, false);
        Row row(*record, SYSINDEXES_ID);
        const Sint32 table = row.getInt(SI_TABLE);
        name = row.getText(SI_NAME);
        const Sint32 id = row.getInt(SI_ID);
        const std::string typeText = row.getText(SI_TYPE);
        const Sint32 columnId = row.getInt(SI_COLUMN);
        const std::string uniqueText = row.getText(SI_UNIQUE);
        if (!validTableId(table) || name.empty() || name.size() > ORV_MAX_INDEX_NAME_LENGTH ||
            id != indexId || (typeText != "HASH" && typeText != "BTREE") || columnId < 0 ||
            columnId > ORV_MAX_UINT16 || (uniqueText != "Y" && uniqueText != "N")) {
            inconsistent();
        }
        tableId = static_cast<TableId>(table);
        type = typeText == "HASH" ? Hash : BTree;
        column = static_cast<Uint16>(columnId);
        unique = uniqueText == "Y";
    }
    if (index.setIndexName(name.c_str()) != ORV_SUCCESS ||
        index.setTableId(tableId) != ORV_SUCCESS || index.setIndexType(type) != ORV_SUCCESS ||
        index.setColumnNumber(column) != ORV_SUCCESS || index.setUnique(unique) != ORV_SUCCESS ||
        index.setIndexId(indexId) != ORV_SUCCESS) {
        inconsistent();
    }
}

// ---- adding ---------------------------------------------------------------------------------

OrvErrorCode OrvCatalogManager::addTable(OrvTable& tableDesc, TableId& tableId) {
    ORV_TRACE(CatalogManager);
    return addTable(tableDesc, true, tableId);
}

OrvErrorCode OrvCatalogManager::addIndex(OrvIndex& indexDesc, IndexId& indexId) {
    ORV_TRACE(CatalogManager);
    return addIndex(indexDesc, true, indexId);
}

OrvErrorCode OrvCatalogManager::addTable(OrvTable& tableDesc, bool protectCatalog,
                                         TableId& tableId) {
    ORV_TRACE(CatalogManager);
    return asWrite(
        [&](bool& changed) { tableId = insertTable(tableDesc, protectCatalog, changed); });
}

OrvErrorCode OrvCatalogManager::addIndex(OrvIndex& indexDesc, bool protectCatalog,
                                         IndexId& indexId) {
    ORV_TRACE(CatalogManager);
    return asWrite(
        [&](bool& changed) { indexId = insertIndex(indexDesc, protectCatalog, changed); });
}

TableId OrvCatalogManager::insertTable(OrvTable& tableDesc, bool protectCatalog, bool& changed) {
    // Everything is checked before the first row is written: a descriptor
    // that cannot be stored whole leaves the catalog untouched.
    TableId oldId = 0;
    if (protectCatalog && tableDesc.getTableId(oldId) == ORV_SUCCESS &&
        oldId <= MAX_CATALOG_TABLEID) {
        ORV_THROW(ORV_CAT_MODIFYING_CATALOG_TABLES_NOT_ALLOWED);
    }
    OrvError::getErrorObject()->setError(CatalogManager, ORV_SUCCESS);
    const char* namePointer = nullptr;
    Uint16 columns = 0;
    ORV_RAISE(tableDesc.getTableName(namePointer));
    ORV_RAISE(tableDesc.getNumColumns(columns));
    const std::string name = namePointer;
    struct ColumnRow {
        std::string name;
        std::string type;
        Uint16 maxLength;
        bool nullable;
    };
    std::vector<ColumnRow> columnRows;
    for (Uint16 i = 0; i < columns; ++i) {
        ColumnRow row;
        const char* columnName = nullptr;
        OrvDataType type = UnknownDataType;
        ORV_RAISE(tableDesc.getColumnName(i, columnName));
        ORV_RAISE(tableDesc.getColumnDatatype(i, type));
        ORV_RAISE(tableDesc.getIsNullable(i, row.nullable));
        row.name = columnName;
        if (row.name.empty() || row.name.size() > ORV_MAX_COLUMN_NAME_LENGTH ||
            (type != INTEGER && type != VARCHAR)) {
            ORV_THROW(ORV_PARAMETER_FAIL);
        }
        ORV_RAISE(tableDesc.getMaxColumnLength(i, row.maxLength));
        if (row.maxLength < 1) {
            ORV_THROW(ORV_PARAMETER_FAIL);
        }
        row.type = type == INTEGER ? "INTEGER" : "VARCHAR";
        columnRows.push_back(row);
    }
    if (!inSetup) {
        try {
            lookupTableId(name);
            ORV_THROW(ORV_COMPILER_TABLE_ALREADY_EXISTS, name);
        } catch (const OrvException& e) {
            if (e.getErrorCode() != ORV_NOT_FOUND_WARN) {
                throw;
            }
        }
    }
    const TableId newId = newTableId();
    const std::string created = timestamp();

    NewRow tableRow(SYSTABLES_ID);
    tableRow.add(name).add(newId).add(columns).add(created).add(0);
    std::vector<std::unique_ptr<NewRow>> rows;
    for (Uint16 i = 0; i < columns; ++i) {
        const ColumnRow& c = columnRows[i];
        std::unique_ptr<NewRow> row(new NewRow(SYSCOLUMNS_ID));
        row->add(newId).add(c.name).add(i).add(c.type).add(c.maxLength).add(c.nullable ? "Y" : "N");
        rows.push_back(std::move(row));
    }

    changed = true;
    TupleId tid;
    recordMgr->insert(tableRow.record(), SYSTABLES_ID, tid);
    indexMgr->insert(IDX_SYSTABLES_TABLEID_ID, intKey(newId), tid);
    for (const std::unique_ptr<NewRow>& row : rows) {
        recordMgr->insert(row->record(), SYSCOLUMNS_ID, tid);
        indexMgr->insert(IDX_SYSCOLUMNS_TABLEID_ID, intKey(newId), tid);
    }
    adjustTupleCount(SYSTABLES_ID, 1);
    adjustTupleCount(SYSCOLUMNS_ID, columns);
    ORV_RAISE(tableDesc.setTableId(newId));
    return newId;
}

IndexId OrvCatalogManager::insertIndex(OrvIndex& indexDesc, bool protectCatalog, bool& changed) {
    OrvError::getErrorObject()->setError(CatalogManager, ORV_SUCCESS);
    const char* namePointer = nullptr;
    TableId tableId = 0;
    Uint16 column = 0;
    OrvIndexType type = UnknownIndexType;
    bool unique = false;
    ORV_RAISE(indexDesc.getTableId(tableId));
    if (protectCatalog && tableId <= MAX_CATALOG_TABLEID) {
        ORV_THROW(ORV_CAT_MODIFYING_CATALOG_TABLES_NOT_ALLOWED);
    }
    ORV_RAISE(indexDesc.getIndexName(namePointer));
    ORV_RAISE(indexDesc.getColumnNumber(column));
    ORV_RAISE(indexDesc.getIndexType(type));
    ORV_RAISE(indexDesc.getUnique(unique));
    const std::string name = namePointer;
    if (!validTableId(tableId) || (type != BTree && type != Hash)) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    // The table must be there and have the column: an index row of a
    // table that does not exist would be inherited by the next table that
    // gets its id.
    TupleId tableTid;
    if (!findKey(indexMgr, IDX_SYSTABLES_TABLEID_ID, tableId, tableTid)) {
        ORV_THROW(ORV_NOT_FOUND_WARN);
    }
    {
        std::unique_ptr<OrvRecord> record = readRow(recordMgr, SYSTABLES_ID, tableTid, false);
        Row row(*record, SYSTABLES_ID);
        if (row.getInt(ST_ID) != tableId) {
            inconsistent();
        }
        if (column >= row.getInt(ST_COLUMNS)) {
            ORV_THROW(ORV_PARAMETER_FAIL);
        }
    }
    if (!inSetup) {
        try {
            lookupIndexId(name);
            ORV_THROW(ORV_COMPILER_INDEX_ALREADY_EXISTS, name);
        } catch (const OrvException& e) {
            if (e.getErrorCode() != ORV_NOT_FOUND_WARN) {
                throw;
            }
        }
    }
    const IndexId newId = newIndexId();
    NewRow indexRow(SYSINDEXES_ID);
    indexRow.add(tableId)
        .add(name)
        .add(newId)
        .add(type == BTree ? "BTREE" : "HASH")
        .add(column)
        .add(unique ? "Y" : "N")
        .add(timestamp());

    changed = true;
    TupleId tid;
    recordMgr->insert(indexRow.record(), SYSINDEXES_ID, tid);
    indexMgr->insert(IDX_SYSINDEXES_TABLEID_ID, intKey(tableId), tid);
    indexMgr->insert(IDX_SYSINDEXES_INDEXID_ID, intKey(newId), tid);
    adjustTupleCount(SYSINDEXES_ID, 1);
    ORV_RAISE(indexDesc.setIndexId(newId));
    return newId;
}

// ---- removing ---------------------------------------------------------------------------------

OrvErrorCode OrvCatalogManager::removeTable(TableId tableId) {
    ORV_TRACE(CatalogManager);
    return asWrite([&](bool& changed) { deleteTable(tableId, changed); });
}

OrvErrorCode OrvCatalogManager::removeIndex(IndexId indexId) {
    ORV_TRACE(CatalogManager);
    return asWrite([&](bool& changed) { deleteIndex(indexId, changed); });
}

void OrvCatalogManager::deleteTable(TableId tableId, bool& changed) {
    if (validTableId(tableId) && tableId <= MAX_CATALOG_TABLEID) {
        ORV_THROW(ORV_CAT_MODIFYING_CATALOG_TABLES_NOT_ALLOWED);
    }
    // Everything is read and counted before the first row goes: a table
    // whose rows do not add up is refused whole.
    OrvTable table;
    readTableDescriptor(tableId, table);
    Uint16 columns = 0;
    ORV_RAISE(table.getNumColumns(columns));
    const std::vector<TupleId> indexTids = tidsOfKey(indexMgr, IDX_SYSINDEXES_TABLEID_ID, tableId);
    if (!indexTids.empty()) {
        ORV_THROW(ORV_CAT_TABLE_HAS_INDEXES, OrvException::to_string(tableId),
                  OrvException::to_string(indexTids.size()));
    }
    const std::vector<TupleId> columnTids = tidsOfKey(indexMgr, IDX_SYSCOLUMNS_TABLEID_ID, tableId);
    if (columnTids.size() != columns) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    TupleId tableTid;
    if (!findKey(indexMgr, IDX_SYSTABLES_TABLEID_ID, tableId, tableTid)) {
        ORV_THROW(ORV_NOT_FOUND_WARN);
    }

    changed = true;
    for (const TupleId& tid : columnTids) {
        recordMgr->remove(SYSCOLUMNS_ID, tid);
        indexMgr->remove(IDX_SYSCOLUMNS_TABLEID_ID, intKey(tableId), &tid);
    }
    recordMgr->remove(SYSTABLES_ID, tableTid);
    indexMgr->remove(IDX_SYSTABLES_TABLEID_ID, intKey(tableId), &tableTid);
    adjustTupleCount(SYSTABLES_ID, -1);
    adjustTupleCount(SYSCOLUMNS_ID, -static_cast<Sint32>(columns));
}

void OrvCatalogManager::deleteIndex(IndexId indexId, bool& changed) {
    if (validIndexId(indexId) && indexId <= MAX_CATALOG_INDEXID) {
        ORV_THROW(ORV_CAT_MODIFYING_CATALOG_TABLES_NOT_ALLOWED);
    }
    OrvIndex index;
    readIndexDescriptor(indexId, index);
    TableId tableId = 0;
    ORV_RAISE(index.getTableId(tableId));
    TupleId tid;
    if (!findKey(indexMgr, IDX_SYSINDEXES_INDEXID_ID, indexId, tid)) {
        ORV_THROW(ORV_NOT_FOUND_WARN);
    }

    changed = true;
    recordMgr->remove(SYSINDEXES_ID, tid);
    indexMgr->remove(IDX_SYSINDEXES_TABLEID_ID, intKey(tableId), &tid);
    indexMgr->remove(IDX_SYSINDEXES_INDEXID_ID, intKey(indexId), &tid);
    adjustTupleCount(SYSINDEXES_ID, -1);
}

// ---- tuple counts ---------------------------------------------------------------------------

OrvErrorCode OrvCatalogManager::getTupleCount(TableId tableId, Uint32& count) {
    ORV_TRACE(CatalogManager);
    return asCode([&] {
        TupleId tid;
        count = static_cast<Uint32>(readTupleCount(tableId, tid));
    });
}

OrvErrorCode OrvCatalogManager::updateTupleCount(TableId tableId, Sint32 newTupleCount) {
    ORV_TRACE(CatalogManager);
    return asWrite([&](bool& changed) {
        if (newTupleCount < 0) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        changed = true;
        writeTupleCount(tableId, newTupleCount);
    });
}

Sint32 OrvCatalogManager::readTupleCount(TableId tableId, TupleId& tid) {
    if (!validTableId(tableId)) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    if (!findKey(indexMgr, IDX_SYSTABLES_TABLEID_ID, tableId, tid)) {
        ORV_THROW(ORV_NOT_FOUND_WARN);
    }
    std::unique_ptr<OrvRecord> record = readRow(recordMgr, SYSTABLES_ID, tid, false);
    Row row(*record, SYSTABLES_ID);
    const Sint32 count = row.getInt(ST_TUPLES);
    if (row.getInt(ST_ID) != tableId || count < 0) {
        inconsistent();
    }
    return count;
}

void OrvCatalogManager::writeTupleCount(TableId tableId, Sint32 count) {
    if (!validTableId(tableId)) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    if (count < 0) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    TupleId tid;
    if (!findKey(indexMgr, IDX_SYSTABLES_TABLEID_ID, tableId, tid)) {
        ORV_THROW(ORV_NOT_FOUND_WARN);
    }
    std::unique_ptr<OrvRecord> record = readRow(recordMgr, SYSTABLES_ID, tid, true);
    Row row(*record, SYSTABLES_ID);
    if (row.getInt(ST_ID) != tableId || row.getInt(ST_TUPLES) < 0) {
        inconsistent();
    }
    row.setInt(ST_TUPLES, count);
    recordMgr->replace(SYSTABLES_ID, tid, row.record());
}

void OrvCatalogManager::adjustTupleCount(TableId tableId, Sint32 delta) {
    if (inSetup) {
        return;
    }
    TupleId tid;
    const Sint64 count = static_cast<Sint64>(readTupleCount(tableId, tid)) + delta;
    if (count < 0 || count > ORV_MAX_SINT32) {
        inconsistent();
    }
    writeTupleCount(tableId, static_cast<Sint32>(count));
}

Sint32 OrvCatalogManager::getTupleCountByCounting(TableId& tableId) {
    ORV_TRACE(CatalogManager);
    Sint32 count = 0;
    if (asCode([&] { count = countRecords(tableId); }) != ORV_SUCCESS) {
        return -1;
    }
    return count;
}

Sint32 OrvCatalogManager::countRecords(TableId tableId) {
    if (!validTableId(tableId)) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    Sint64 count = 0;
    scanTable(recordMgr, tableId, [&](const OrvRecord&) {
        ++count;
        return true;
    });
    if (count > ORV_MAX_SINT32) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return static_cast<Sint32>(count);
}

OrvErrorCode OrvCatalogManager::runstats() {
    ORV_TRACE(CatalogManager);
    OrvTable* table = nullptr;
    const OrvErrorCode code = getTableDescriptor(SYSTABLES_ID, table);
    delete table;
    return code;
}

// ---- static helpers ---------------------------------------------------------------------------

OrvErrorCode OrvCatalogManager::getCurrentTimestamp(char* buffer) {
    ORV_TRACE(CatalogManager);
    OrvError* error = OrvError::getErrorObject();
    if (buffer == nullptr) {
        error->setError(CatalogManager, ORV_PARAMETER_FAIL);
        return ORV_PARAMETER_FAIL;
    }
    struct timeval now;
    struct tm local;
    if (gettimeofday(&now, nullptr) != 0 || localtime_r(&now.tv_sec, &local) == nullptr) {
        error->setError(CatalogManager, ORV_INTERNAL_FAIL);
        return ORV_INTERNAL_FAIL;
    }
    // A year beyond four digits would not fit the 26 characters.
    const int year = local.tm_year + 1900;
    if (year < 0 || year > 9999) {
        error->setError(CatalogManager, ORV_INTERNAL_FAIL);
        return ORV_INTERNAL_FAIL;
    }
    char text[96];
    const int length = std::snprintf(text, sizeof(text), "%4d-%02d-%02d %02d:%02d:%02d.%06ld", year,
                                     local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                     local.tm_sec, static_cast<long>(now.tv_usec));
    if (length != 26) {
        error->setError(CatalogManager, ORV_INTERNAL_FAIL);
        return ORV_INTERNAL_FAIL;
    }
    std::memcpy(buffer, text, 27);
    return ORV_SUCCESS;
}

OrvErrorCode OrvCatalogManager::getSystemIndexParameters(IndexId indexId, const char*& name,
                                                         TableId& tableId, Uint16& columnId,
                                                         OrvDataType& dataType, bool& unique) {
    ORV_TRACE(CatalogManager);
    OrvError* error = OrvError::getErrorObject();
    if (indexId < 1 || indexId > MAX_CATALOG_INDEXID) {
        error->setError(CatalogManager, ORV_PARAMETER_FAIL);
        return ORV_PARAMETER_FAIL;
    }
    const IndexDefinition& def = indexDefs[indexId - 1];
    if (def.indexId != indexId) {
        error->setError(CatalogManager, ORV_INTERNAL_FAIL);
        return ORV_INTERNAL_FAIL;
    }
    name = def.indexName;
    tableId = def.tableId;
    columnId = def.columnId;
    dataType = def.dataType;
    unique = def.unique;
    return ORV_SUCCESS;
}
