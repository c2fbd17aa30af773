// The workload of the crash tests and what is known of its outcome.
//
// A worker (tests/helpers/orv_crash_worker) changes rows of one table with
// two integer indexes, all three made through the catalog: a unique one on the row's key and a
// non-unique one on its group. A row is known by its key and version; its bytes, its group and its
// length follow from them, so a replace by a new version grows or shrinks the row. The worker
// writes each step to a side file before it takes it, and its commits around the commit:
//
//   B            a transaction begins
//   I k v        insert of key k at version v
//   R k v        replace of key k by version v
//   D k          delete of key k
//   C?           the commit is asked for (synced to the device)
//   C!           the commit returned (synced to the device); without it
//                the commit is in doubt (the worker was killed in it, or
//                it failed)
//   A            the transaction was rolled back
//   W            (mode open) the work is done, the transaction stays open
//
// readSide() turns a side file into what must be in the database: the state
// of the last commit that returned, and, when the worker was killed between
// "C?" and "C!", the state that commit would make; either is right then,
// nothing in between.
#ifndef ORV_CRASH_WORKLOAD_H
#define ORV_CRASH_WORKLOAD_H

#include "OrvBuffer.h"
#include "OrvCatalogManager.h"
#include "OrvException.h"
#include "OrvIndexManager.h"
#include "OrvRecordManager.h"
#include "OrvTable.h"
#include "OrvTransaction.h"
#include "OrvTypes.h"

#include <map>
#include <optional>
#include <sstream>
#include <string>

namespace crashtest {

// The tables and indexes, made through the catalog (createCrashTables) and
// found there by name (lookUpCrashTables) in every process.
inline TableId TABLE = 0;
inline IndexId KEY_INDEX = 0;   // unique, on the key
inline IndexId GROUP_INDEX = 0; // not unique, on the group
inline TableId PLAIN_TABLE = 0; // rows without indexes (only mode open)

inline void lookUpCrashTables() {
    OrvCatalogManager* catalog = OrvCatalogManager::getInstance();
    ORV_RAISE(catalog->getTableId("CRASH_ROWS", TABLE));
    ORV_RAISE(catalog->getTableId("CRASH_PLAIN", PLAIN_TABLE));
    ORV_RAISE(catalog->getIndexId("CRASH_KEY", KEY_INDEX));
    ORV_RAISE(catalog->getIndexId("CRASH_GROUP", GROUP_INDEX));
}

// Registers the tables and indexes in the catalog and makes their segments,
// in one transaction; REQUIRES: the engine started, no transaction open.
inline void createCrashTables() {
    OrvClientTransaction::begin();
    OrvCatalogManager* catalog = OrvCatalogManager::getInstance();
    for (const char* name : {"CRASH_ROWS", "CRASH_PLAIN"}) {
        OrvTable table;
        ORV_RAISE(table.setTableName(name));
        ORV_RAISE(table.createColumns(2));
        ORV_RAISE(table.setColumnDefinition(0, "K", INTEGER, 0, false));
        ORV_RAISE(table.setColumnDefinition(1, "V", INTEGER, 0, false));
        TableId id = 0;
        ORV_RAISE(catalog->addTable(table, id));
        OrvRecordManager::getInstance()->createTable(id);
    }
    TableId rows = 0;
    ORV_RAISE(catalog->getTableId("CRASH_ROWS", rows));
    for (int i = 0; i < 2; ++i) {
        const bool unique = i == 0;
        OrvIndex index;
        ORV_RAISE(index.setIndexName(unique ? "CRASH_KEY" : "CRASH_GROUP"));
        ORV_RAISE(index.setTableId(rows));
        ORV_RAISE(index.setColumnNumber(static_cast<Uint16>(i)));
        ORV_RAISE(index.setIndexType(BTree));
        ORV_RAISE(index.setUnique(unique));
        IndexId id = 0;
        ORV_RAISE(catalog->addIndex(index, id));
        OrvIndexManager::getInstance()->createIndex(id, unique, BTree, INTEGER);
    }
    OrvClientTransaction::commit();
    lookUpCrashTables();
}

inline Sint32 groupOf(Sint32 key, Sint32 version) {
    return (key + version) % 13;
}

// The row of key k at version v: from a few bytes to about 1.6 KB.
inline std::string rowText(Sint32 key, Sint32 version) {
    const std::string head = "k=" + std::to_string(key) + " v=" + std::to_string(version) +
                             " g=" + std::to_string(groupOf(key, version)) + " ";
    const Uint32 pad = (Uint32(key) * 7919u + Uint32(version) * 104729u) % 1600u;
    return head + std::string(pad, char('a' + (key + version) % 26));
}

// Key and version of a row's bytes; false when they are no row of rowText.
inline bool parseRow(const std::string& bytes, Sint32& key, Sint32& version) {
    std::istringstream in(bytes);
    std::string k, v;
    in >> k >> v;
    if (k.compare(0, 2, "k=") != 0 || v.compare(0, 2, "v=") != 0) {
        return false;
    }
    try {
        key = std::stoi(k.substr(2));
        version = std::stoi(v.substr(2));
    } catch (...) {
        return false;
    }
    return rowText(key, version) == bytes;
}

inline OrvIndexKey intKey(Sint32 value) {
    OrvIndexKey k;
    k.dataType = INTEGER;
    k.intKey = value;
    return k;
}

// Writes every page of the pool to its file. flushAll closes the segment
// files of the process, which a process has to open again before it reads
// pages of them.
inline void openSegments() {
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    bm->openSegment(TABLE);
    bm->openSegment(bm->convertIndexIdToSegmentId(KEY_INDEX));
    bm->openSegment(bm->convertIndexIdToSegmentId(GROUP_INDEX));
}

inline void writeAllPages() {
    OrvBufferManager::getInstance()->flushAll();
    openSegments();
}

using Rows = std::map<Sint32, Sint32>; // key -> version

// What differs between two states, for failure messages: up to 12 keys.
inline std::string difference(const Rows& have, const Rows& want) {
    std::string text;
    int shown = 0;
    for (const auto& [key, version] : have) {
        auto it = want.find(key);
        if (it == want.end() || it->second != version) {
            text += " key " + std::to_string(key) + " v" + std::to_string(version) +
                    (it == want.end() ? " (should not be there)"
                                      : " (should be v" + std::to_string(it->second) + ")");
            if (++shown == 12) {
                return text;
            }
        }
    }
    for (const auto& [key, version] : want) {
        if (have.count(key) == 0) {
            text += " key " + std::to_string(key) + " v" + std::to_string(version) + " missing";
            if (++shown == 12) {
                return text;
            }
        }
    }
    return text;
}

struct SideOutcome {
    Rows committed;
    std::optional<Rows> inDoubt; // the state of a commit that may have happened
    bool sawWait = false;
    int commits = 0;
    int rollbacks = 0;
};

// Reads a side file on top of base (the committed rows it started from).
inline SideOutcome readSide(const std::string& text, const Rows& base) {
    SideOutcome out;
    out.committed = base;
    Rows pending = base;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string what;
        Sint32 key = 0;
        Sint32 version = 0;
        words >> what;
        if (what == "B") {
            // A commit that failed stays in doubt; what follows it is never
            // committed (the workloads stop committing after a failure).
            pending = out.committed;
        } else if (what == "I" || what == "R") {
            words >> key >> version;
            pending[key] = version;
        } else if (what == "D") {
            words >> key;
            pending.erase(key);
        } else if (what == "C?") {
            out.inDoubt = pending;
        } else if (what == "C!") {
            out.committed = pending;
            out.inDoubt.reset();
            ++out.commits;
        } else if (what == "A") {
            pending = out.committed;
            out.inDoubt.reset();
            ++out.rollbacks;
        } else if (what == "W") {
            out.sawWait = true;
        }
    }
    return out;
}

} // namespace crashtest

#endif
