// orvdemo: a client of the engine for newcomers, run after orvstart on the
// database in ORV_DATABASE_PATH (default: the working directory).
//
// It makes the table DEMO (ID INTEGER, NAME VARCHAR(32), NOTE VARCHAR(400)
// NULL) and the unique index DEMO_ID on ID through the catalog, inserts rows,
// finds them by key and by range, lets some rows grow until they move to
// another page, deletes some, rolls a transaction back and scans the table,
// saying what it does at each step. Every step is a transaction of its own
// (OrvClientTransaction / OrvTransactionGuard), and after each one the demo
// checks the table and its index against what it did, so a run that ends
// with exit code 0 has also tested the engine a little.
//
// Run it as often as you like: a DEMO table left by an earlier run is
// dropped first, with its indexes.
#include "OrvBuffer.h"
#include "OrvCatalogManager.h"
#include "OrvError.h"
#include "OrvException.h"
#include "OrvIndexManager.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvRecordIterator.h"
#include "OrvRecordManager.h"
#include "OrvSystem.h"
#include "OrvTable.h"
#include "OrvTransaction.h"
#include "OrvTuple.h"
#include "support/OrvDatabasePath.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* const TABLE_NAME = "DEMO";
const char* const INDEX_NAME = "DEMO_ID";
constexpr Uint16 NAME_LENGTH = 32;
constexpr Uint16 NOTE_LENGTH = 400;
constexpr int ROWS = 1200;

// A difference between the table and what the demo did: the engine lost or
// changed something.
struct CheckFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Row {
    Sint32 id = 0;
    std::string name;
    bool hasNote = false;
    std::string note;

    bool operator==(const Row& other) const {
        return id == other.id && name == other.name && hasNote == other.hasNote &&
               note == other.note;
    }
    std::string text() const {
        std::ostringstream os;
        os << "(" << id << ", '" << name << "', ";
        if (!hasNote) {
            os << "NULL";
        } else if (note.size() > 24) {
            os << "'" << note.substr(0, 21) << "...' (" << note.size() << " characters)";
        } else {
            os << "'" << note << "'";
        }
        os << ")";
        return os.str();
    }
};

std::string tidText(const TupleId& tid) {
    return "(page " + std::to_string(tid.page) + ", slot " + std::to_string(tid.slot) + ")";
}

OrvIndexKey intKey(Sint32 value) {
    OrvIndexKey key;
    key.dataType = INTEGER;
    key.intKey = value;
    return key;
}

// Runs `work` as one transaction: committed when it returns, rolled back
// by the guard when it throws.
template <class Work> void inTransaction(Work&& work) {
    OrvClientTransaction::begin();
    OrvTransactionGuard guard;
    work();
    guard.commit();
}

class Demo {
public:
    Demo() : records(OrvRecordManager::getInstance()), indexes(OrvIndexManager::getInstance()) {}

    void run() {
        dropEarlierTable();
        createTable();
        insertRows();
        findByKey(420);
        findRange(1000, 1100);
        growRowsUntilTheyMove();
        deleteSome();
        rollBackATransaction();
        scanEverything();
        std::cout << "\nLook at what the demo left (the engine keeps running):\n"
                  << "  orvshow table_all dump " << TABLE_NAME << "\n"
                  << "  orvshow index_all dump " << indexId << "\n"
                  << "  orvshow --dot tree " << INDEX_NAME << " --svg demo-index.svg\n"
                  << "  orvshow --dot page " << TABLE_NAME << " 1 --svg demo-page.svg\n"
                  << "table id: " << tableId << "\n"
                  << "index id: " << indexId << std::endl;
    }

private:
    // ---- rows ------------------------------------------------------------------

    OrvRecord build(const Row& row) {
        OrvRecordTuple tuple(table.get());
        ORV_RAISE(tuple.initialize(table.get()));
        ORV_RAISE(tuple.setInt(0, &row.id));
        ORV_RAISE(tuple.setVarchar(1, row.name.data(), Uint16(row.name.size())));
        if (row.hasNote) {
            ORV_RAISE(tuple.setVarchar(2, row.note.data(), Uint16(row.note.size())));
        } else {
            ORV_RAISE(tuple.setVarchar(2, nullptr, 0));
        }
        const OrvRecord* record = tuple.getRecord();
        if (record == nullptr) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        return *record;
    }

    Row read(const OrvRecord& record) {
        OrvRecordTuple tuple(table.get());
        ORV_RAISE(tuple.initialize(new OrvRecord(record), table.get()));
        Row row;
        const Sint32* id = nullptr;
        ORV_RAISE(tuple.getInt(0, id));
        if (id == nullptr) {
            throw CheckFailed("a row has no ID");
        }
        row.id = *id;
        const char* text = nullptr;
        Uint16 length = 0;
        ORV_RAISE(tuple.getVarchar(1, text, length));
        row.name.assign(text != nullptr ? text : "", length);
        ORV_RAISE(tuple.getVarchar(2, text, length));
        row.hasNote = text != nullptr;
        row.note.assign(text != nullptr ? text : "", text != nullptr ? length : 0);
        return row;
    }

    Row fetch(const TupleId& tid) {
        OrvRecord* record = nullptr;
        records->get(tableId, tid, record);
        std::unique_ptr<OrvRecord> owned(record);
        return read(*record);
    }

    static Row makeRow(Sint32 id) {
        Row row;
        row.id = id;
        row.name = "Name " + std::to_string(id);
        row.hasNote = id % 3 != 0;
        if (row.hasNote) {
            row.note = "note of row " + std::to_string(id);
        }
        return row;
    }

    // ---- steps -------------------------------------------------------------------

    void dropEarlierTable() {
        inTransaction([&] {
            // Made inside a transaction: it opens the catalog's indexes
            // under shared locks of the current transaction, which must end
            // with it (made before, they would stay with a transaction that
            // never ends and block this process's own catalog changes).
            catalog = OrvCatalogManager::getInstance();
            TableId old = 0;
            const OrvErrorCode found = catalog->getTableId(TABLE_NAME, old);
            if (found == ORV_NOT_FOUND_WARN) {
                OrvError::getErrorObject()->setError(CommandLine, ORV_SUCCESS);
                std::cout << "No table " << TABLE_NAME << " from an earlier run.\n";
                return;
            }
            ORV_RAISE(found);
            OrvTable* described = nullptr;
            ORV_RAISE(catalog->getTableDescriptor(old, described));
            std::unique_ptr<OrvTable> oldTable(described);
            Uint32 count = 0;
            ORV_RAISE(oldTable->getNumIndexes(count));
            // The indexes go first: the catalog refuses to remove a table
            // that still has some.
            for (Uint32 i = 0; i < count; ++i) {
                OrvIndex* index = nullptr;
                oldTable->getIndex(i, index);
                IndexId id = 0;
                bool unique = false;
                ORV_RAISE(index->getIndexId(id));
                ORV_RAISE(index->getUnique(unique));
                indexes->openIndex(id, unique, BTree, INTEGER);
                indexes->dropIndex(id);
                ORV_RAISE(catalog->removeIndex(id));
            }
            ORV_RAISE(catalog->removeTable(old));
            records->dropTable(old);
            std::cout << "Dropped the table " << TABLE_NAME << " (table id " << old << ") and "
                      << count << (count == 1 ? " index" : " indexes") << " of an earlier run.\n";
        });
    }

    void createTable() {
        table = std::make_unique<OrvTable>();
        ORV_RAISE(table->setTableName(TABLE_NAME));
        ORV_RAISE(table->createColumns(3));
        ORV_RAISE(table->setColumnDefinition(0, "ID", INTEGER, 4, false));
        ORV_RAISE(table->setColumnDefinition(1, "NAME", VARCHAR, NAME_LENGTH, false));
        ORV_RAISE(table->setColumnDefinition(2, "NOTE", VARCHAR, NOTE_LENGTH, true));
        inTransaction([&] {
            ORV_RAISE(catalog->addTable(*table, tableId));
            records->createTable(tableId);
            OrvIndex index;
            ORV_RAISE(index.setIndexName(INDEX_NAME));
            ORV_RAISE(index.setIndexType(BTree));
            ORV_RAISE(index.setTableId(tableId));
            ORV_RAISE(index.setColumnNumber(0));
            ORV_RAISE(index.setUnique(true));
            ORV_RAISE(catalog->addIndex(index, indexId));
            indexes->createIndex(indexId, true, BTree, INTEGER);
        });
        std::cout << "\nCreated the table " << TABLE_NAME << " (table id " << tableId
                  << "): ID INTEGER, NAME VARCHAR(" << NAME_LENGTH << "), NOTE VARCHAR("
                  << NOTE_LENGTH << ") NULL;\n  and the unique B-tree index " << INDEX_NAME
                  << " (index id " << indexId << ") on ID.\n";
    }

    void insertRows() {
        std::vector<Sint32> ids;
        for (int i = 1; i <= ROWS; ++i) {
            ids.push_back(i * 10);
        }
        // A fixed shuffle: the index gets its keys out of order, as it
        // would in real use, and every run does the same.
        std::shuffle(ids.begin(), ids.end(), std::mt19937(2024));
        std::set<PageId> pages;
        inTransaction([&] {
            for (Sint32 id : ids) {
                const Row row = makeRow(id);
                TupleId tid;
                records->insert(build(row), tableId, tid);
                indexes->insert(indexId, intKey(id), tid);
                model[id] = row;
                pages.insert(tid.page);
            }
        });
        std::cout << "\nInserted " << ids.size() << " rows (ID 10, 20, ..., " << ROWS * 10
                  << ", in shuffled order) on " << pages.size() << " data pages, e.g. "
                  << makeRow(10).text() << ".\n";
        check("after the inserts");
    }

    void findByKey(Sint32 id) {
        inTransaction([&] {
            TupleId tid;
            indexes->find(indexId, intKey(id), tid);
            const Row row = fetch(tid);
            std::cout << "\nFound ID " << id << " through the index at " << tidText(tid) << ": "
                      << row.text() << "\n";
            if (!(row == model.at(id))) {
                throw CheckFailed("the row found for ID " + std::to_string(id) +
                                  " is not the one inserted");
            }
        });
    }

    void findRange(Sint32 low, Sint32 high) {
        std::cout << "\nRows with " << low << " <= ID <= " << high << ", in key order:\n";
        std::vector<Sint32> seen;
        inTransaction([&] {
            const OrvIndexKey start = intKey(low);
            const OrvIndexKey stop = intKey(high);
            OrvIndexIterator* scan = nullptr;
            indexes->findRange(indexId, &start, &stop, scan);
            std::unique_ptr<OrvIndexIterator> owned(scan);
            TupleId tid;
            while (scan->hasNext()) {
                ORV_RAISE(scan->getNextTupleId(tid));
                // The leaf's fix is given back before the table is read.
                scan->releasePage();
                const Row row = fetch(tid);
                std::cout << "  " << row.text() << "\n";
                seen.push_back(row.id);
            }
        });
        std::vector<Sint32> expected;
        for (auto it = model.lower_bound(low); it != model.end() && it->first <= high; ++it) {
            expected.push_back(it->first);
        }
        if (seen != expected) {
            throw CheckFailed("the range scan did not give the rows of the range in key order");
        }
    }

    void growRowsUntilTheyMove() {
        std::cout << "\nRows on the first data page get a long note; the page has no room "
                  << "for them, so they move to another page and leave their new place in "
                  << "their old slot (their tuple id, which the index holds, stays):\n";
        int moved = 0;
        inTransaction([&] {
            std::vector<std::pair<Sint32, TupleId>> onFirstPage;
            for (const auto& entry : model) {
                TupleId tid;
                indexes->find(indexId, intKey(entry.first), tid);
                if (tid.page == firstDataPage()) {
                    onFirstPage.emplace_back(entry.first, tid);
                }
            }
            for (std::size_t i = 0; i < onFirstPage.size() && moved < 3; i += 5) {
                Row row = model.at(onFirstPage[i].first);
                const std::size_t before = build(row).getLength();
                row.hasNote = true;
                row.note = "a long note: " + std::string(300, '~');
                const OrvRecord grown = build(row);
                TupleId now;
                records->replace(tableId, onFirstPage[i].second, grown, now);
                model[row.id] = row;
                std::cout << "  ID " << row.id << ": " << before << " -> " << grown.getLength()
                          << " bytes, tuple id " << tidText(onFirstPage[i].second)
                          << ", now stored at " << tidText(now) << "\n";
                if (now.page != onFirstPage[i].second.page) {
                    ++moved;
                }
            }
        });
        if (moved == 0) {
            throw CheckFailed("no row moved to another page");
        }
        check("after the rows grew");
    }

    void deleteSome() {
        int deleted = 0;
        inTransaction([&] {
            for (auto it = model.begin(); it != model.end();) {
                if (it->first % 70 != 0) {
                    ++it;
                    continue;
                }
                TupleId tid;
                indexes->find(indexId, intKey(it->first), tid);
                records->remove(tableId, tid);
                indexes->remove(indexId, intKey(it->first), &tid);
                it = model.erase(it);
                ++deleted;
            }
        });
        std::cout << "\nDeleted the " << deleted << " rows whose ID is a multiple of 70; "
                  << model.size() << " rows are left.\n";
        check("after the deletes");
    }

    void rollBackATransaction() {
        const std::size_t before = model.size();
        std::size_t during = 0;
        OrvClientTransaction::begin();
        {
            OrvTransactionGuard guard;
            for (const auto& entry : model) {
                if (entry.first >= 500) {
                    break;
                }
                TupleId tid;
                indexes->find(indexId, intKey(entry.first), tid);
                records->remove(tableId, tid);
                indexes->remove(indexId, intKey(entry.first), &tid);
            }
            const Row extra = makeRow(99999);
            TupleId tid;
            records->insert(build(extra), tableId, tid);
            indexes->insert(indexId, intKey(extra.id), tid);
            during = countRows();
            guard.rollback();
        }
        std::cout << "\nIn one transaction, deleted every row with ID < 500 and inserted ID "
                  << "99999: the table had " << during << " rows then. Rolled it back:\n";
        const std::size_t after = countRows();
        bool extraGone = false;
        inTransaction([&] {
            TupleId tid;
            try {
                indexes->find(indexId, intKey(99999), tid);
            } catch (const OrvException& e) {
                if (e.getErrorCode() != ORV_NOT_FOUND_WARN) {
                    throw;
                }
                extraGone = true;
            }
        });
        std::cout << "  " << after << " rows again, and ID 99999 is "
                  << (extraGone ? "gone" : "STILL THERE") << ".\n";
        if (after != before || !extraGone) {
            throw CheckFailed("the rollback did not bring the table back");
        }
        check("after the rollback");
    }

    void scanEverything() {
        std::size_t rows = 0;
        std::set<PageId> pages;
        inTransaction([&] {
            forEachRow([&](const OrvRecord&, const TupleId& tid) {
                ++rows;
                pages.insert(tid.page);
            });
        });
        std::cout << "\nA scan of the whole table read " << rows << " rows on " << pages.size()
                  << " data pages; the table and its index hold exactly the rows the demo "
                  << "left.\n";
    }

    // ---- checks --------------------------------------------------------------------

    // The first data page of the table (page 0 is a free space inventory
    // page).
    static PageId firstDataPage() { return 1; }

    std::size_t countRows() {
        std::size_t rows = 0;
        forEachRow([&](const OrvRecord&, const TupleId&) { ++rows; });
        return rows;
    }

    // Calls visit with every row of the table and its tuple id, in the
    // order of the pages.
    template <class Visit> void forEachRow(Visit&& visit) {
        OrvRecordIterator* scan = nullptr;
        records->getRecordIterator(tableId, scan);
        const std::unique_ptr<OrvRecordIterator> owned(scan);
        // The scan fills one record again and again; it goes at the end.
        OrvRecord* record = nullptr;
        try {
            while (scan->hasNext()) {
                ORV_RAISE(scan->getNext(record));
                visit(*record, scan->getCurrentTupleId());
            }
        } catch (...) {
            delete record;
            throw;
        }
        delete record;
    }

    // The table (by a scan) and the index (by a scan of all keys) against
    // the model of what the demo did.
    void check(const std::string& when) {
        inTransaction([&] {
            std::map<Sint32, Row> inTable;
            forEachRow([&](const OrvRecord& record, const TupleId&) {
                const Row row = read(record);
                if (!inTable.emplace(row.id, row).second) {
                    throw CheckFailed(when + ": the ID " + std::to_string(row.id) +
                                      " is in the table twice");
                }
            });
            if (inTable != model) {
                throw CheckFailed(when + ": the table holds " + std::to_string(inTable.size()) +
                                  " rows, not the " + std::to_string(model.size()) +
                                  " the demo left");
            }
            OrvIndexIterator* keys = nullptr;
            indexes->findRange(indexId, nullptr, nullptr, keys);
            std::unique_ptr<OrvIndexIterator> ownedKeys(keys);
            std::vector<TupleId> tids;
            TupleId tid;
            while (keys->hasNext()) {
                ORV_RAISE(keys->getNextTupleId(tid));
                tids.push_back(tid);
            }
            ownedKeys.reset();
            auto expected = model.begin();
            for (const TupleId& t : tids) {
                if (expected == model.end() || !(fetch(t) == expected->second)) {
                    throw CheckFailed(when + ": the index does not lead to the rows in key order");
                }
                ++expected;
            }
            if (expected != model.end()) {
                throw CheckFailed(when + ": the index misses rows");
            }
        });
    }

    OrvCatalogManager* catalog = nullptr;
    OrvRecordManager* records;
    OrvIndexManager* indexes;
    std::unique_ptr<OrvTable> table;
    TableId tableId = 0;
    IndexId indexId = 0;
    // What the table holds after each committed step, by ID.
    std::map<Sint32, Row> model;
};

} // namespace

int main(int argc, char* argv[]) {
    ORV_TRACE(CommandLine);
    OrvException::SETUP();
    OrvError error;
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::cout << "Usage: " << argv[0] << "\n\n"
                  << "Runs the demo on the started engine of the database in ORV_DATABASE_PATH\n"
                  << "(default: the working directory): the table " << TABLE_NAME
                  << " and its index " << INDEX_NAME << ", made anew\n"
                  << "each run. Exit code 0 when every step did what it should.\n";
        return 0;
    }
    if (argc != 1) {
        std::cout << "Usage: " << argv[0] << "\n\n";
        return 1;
    }
    int result = 0;
    try {
        Demo demo;
        demo.run();
    } catch (const OrvException& e) {
        e.print_message(std::cerr);
        if (e.getErrorCode() == ORV_MM_SHM_NOT_EXISTS) {
            std::cerr << "The engine is not started for the database directory '"
                      << orvDatabasePath() << "': run orvstart first." << std::endl;
        }
        result = 1;
    } catch (const CheckFailed& e) {
        std::cerr << "\nThe demo found a fault of the engine: " << e.what() << " SQLSTATE=SY002"
                  << std::endl;
        result = 1;
    } catch (const std::exception& e) {
        std::cerr << "\nThe demo failed: " << e.what() << " SQLSTATE=SY002" << std::endl;
        result = 1;
    }
    OrvSystem::stopAllManagers();
    return result;
}
