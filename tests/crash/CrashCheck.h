// What the crash tests find in the database after a restart: the rows of the
// table, read by a table scan, checked against both indexes and the
// structure checkers. Run in a process of the test with the engine started;
// works in a transaction of its own and commits it.
#ifndef ORV_CRASH_CHECK_H
#define ORV_CRASH_CHECK_H

#include "CrashWorkload.h"

#include "OrvBuffer.h"
#include "OrvCatalogManager.h"
#include "OrvIndexManager.h"
#include "OrvRecordIterator.h"
#include "OrvRecordManager.h"
#include "OrvTransaction.h"
#include "index/OrvIndexBTree.h"
#include "record/RecordUndoSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace crashtest {

using TidKey = std::pair<Uint32, Uint32>; // page, slot

inline TidKey tidKey(const TupleId& tid) {
    return {Uint32(tid.page), Uint32(tid.slot)};
}

struct Found {
    Rows rows;
    std::vector<std::string> problems; // empty when table and indexes agree
};

inline Found readDatabase() {
    Found found;
    auto problem = [&](const std::string& text) { found.problems.push_back(text); };
    OrvRecordManager* rm = OrvRecordManager::getInstance();
    OrvIndexManager* im = OrvIndexManager::getInstance();
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    OrvClientTransaction::begin();
    bm->openSegment(TABLE);
    im->openIndex(KEY_INDEX, true, BTree, INTEGER);
    im->openIndex(GROUP_INDEX, false, BTree, INTEGER);

    std::map<TidKey, Sint32> keyOf;
    {
        OrvRecordIterator* raw = nullptr;
        rm->getRecordIterator(TABLE, raw);
        std::unique_ptr<OrvRecordIterator> scan(raw);
        OrvRecord* record = nullptr;
        while (scan->hasNext()) {
            if (scan->getNext(record) != ORV_SUCCESS) {
                problem("the table scan failed");
                break;
            }
            Sint32 key = 0;
            Sint32 version = 0;
            const std::string bytes(record->getRecordData(), record->getLength());
            if (!parseRow(bytes, key, version)) {
                problem("a row that no worker wrote: " + bytes.substr(0, 40));
                continue;
            }
            if (found.rows.count(key) != 0) {
                problem("key " + std::to_string(key) + " twice in the table");
            }
            found.rows[key] = version;
            keyOf[tidKey(scan->getCurrentTupleId())] = key;
        }
        delete record;
    }
    // Each index holds exactly the table's tuple ids, in its key order.
    for (IndexId index : {KEY_INDEX, GROUP_INDEX}) {
        const std::string name = index == KEY_INDEX ? "key index" : "group index";
        OrvIndexIterator* raw = nullptr;
        im->findRange(index, nullptr, nullptr, raw);
        std::unique_ptr<OrvIndexIterator> scan(raw);
        std::map<TidKey, int> seen;
        Sint64 last = -1;
        TupleId tid;
        while (scan->hasNext()) {
            if (scan->getNextTupleId(tid) != ORV_SUCCESS) {
                problem("the " + name + " scan failed");
                break;
            }
            auto it = keyOf.find(tidKey(tid));
            if (it == keyOf.end()) {
                problem("the " + name + " names a tuple id with no row");
                continue;
            }
            ++seen[tidKey(tid)];
            const Sint64 value = index == KEY_INDEX
                                     ? Sint64(it->second)
                                     : Sint64(groupOf(it->second, found.rows[it->second]));
            if (index == KEY_INDEX ? value <= last : value < last) {
                problem("the " + name + " is out of order at key " + std::to_string(it->second));
            }
            last = value;
        }
        scan.reset();
        if (seen.size() != keyOf.size()) {
            problem("the " + name + " holds " + std::to_string(seen.size()) + " rows, the table " +
                    std::to_string(keyOf.size()));
        }
        for (const auto& [t, n] : seen) {
            if (n != 1) {
                problem("the " + name + " names a row " + std::to_string(n) + " times");
            }
        }
        const SegmentId segment = bm->convertIndexIdToSegmentId(index);
        for (const std::string& line : orvCheckIndexTree(segment)) {
            problem(name + ": " + line);
        }
    }
    // Every key is found through the unique index, at its row.
    for (const auto& [where, key] : keyOf) {
        TupleId at;
        try {
            im->find(KEY_INDEX, intKey(key), at);
        } catch (const OrvException&) {
            problem("key " + std::to_string(key) + " not found through the key index");
            continue;
        }
        if (tidKey(at) != where) {
            problem("key " + std::to_string(key) + " leads to another row");
        }
    }
    for (const std::string& line : recordtest::segmentProblems(TABLE)) {
        problem("table: " + line);
    }
    // The catalog's own tables, their counts and indexes.
    OrvCatalogManager* catalog = OrvCatalogManager::getInstance();
    for (TableId t = 1; t <= OrvCatalogManager::MAX_CATALOG_TABLEID; ++t) {
        bm->openSegment(t);
        for (const std::string& line : recordtest::segmentProblems(t)) {
            problem("catalog table " + std::to_string(t) + ": " + line);
        }
        Uint32 stored = 0;
        if (catalog->getTupleCount(t, stored) != ORV_SUCCESS ||
            Sint64(stored) != Sint64(catalog->getTupleCountByCounting(t))) {
            problem("catalog table " + std::to_string(t) + ": its count is wrong");
        }
    }
    for (IndexId i = 1; i <= OrvCatalogManager::MAX_CATALOG_INDEXID; ++i) {
        for (const std::string& line : orvCheckIndexTree(bm->convertIndexIdToSegmentId(i))) {
            problem("catalog index " + std::to_string(i) + ": " + line);
        }
    }
    OrvClientTransaction::commit();
    return found;
}

// The rows of found whose keys lie in [first, first + span).
inline Rows rowsBetween(const Rows& rows, Sint32 first, Sint32 span) {
    Rows part;
    for (auto it = rows.lower_bound(first); it != rows.end() && it->first < first + span; ++it) {
        part.insert(*it);
    }
    return part;
}

} // namespace crashtest

#endif
