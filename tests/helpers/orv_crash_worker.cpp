// A worker of the crash tests: changes rows of the crash tests' table and
// its two indexes in the database of ORV_DATABASE_PATH (started, table and
// indexes made) and writes each step to a side file (see
// tests/crash/CrashWorkload.h for the lines and the rows).
//
//   orv_crash_worker random SEED FIRSTKEY SIDEFILE
//       random transactions for ever (inserts of new keys from FIRSTKEY on,
//       growing and shrinking replaces, deletes, commits and rollbacks),
//       until it is killed; a lock time-out or deadlock rolls back.
//   orv_crash_worker commit COUNT FIRSTKEY SIDEFILE
//       inserts COUNT rows and commits; then replaces every second of them
//       by version 2 and deletes every fifth, commits, and exits.
//   orv_crash_worker open COUNT FIRSTKEY SIDEFILE [OLDKEY OLDCOUNT [PLAIN]]
//       in one transaction inserts COUNT rows, and replaces (version 7) or
//       deletes every third of the committed rows OLDKEY.. OLDKEY+OLDCOUNT-1,
//       and inserts PLAIN small rows into the table without indexes;
//       writes every page to its file, writes "W" and waits to be killed.
#include "OrvBuffer.h"
#include "OrvError.h"
#include "OrvException.h"
#include "OrvIndexManager.h"
#include "OrvRecordManager.h"
#include "OrvSystem.h"
#include "OrvTransaction.h"
#include "crash/CrashWorkload.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <unistd.h>

using namespace crashtest;

namespace {

int sideFd = -1;

void note(const std::string& line, bool sync = false) {
    const std::string text = line + "\n";
    if (write(sideFd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        _exit(20);
    }
    if (sync && fdatasync(sideFd) != 0) {
        _exit(21);
    }
}

struct Worker {
    OrvRecordManager* rm = OrvRecordManager::getInstance();
    OrvIndexManager* im = OrvIndexManager::getInstance();
    std::map<Sint32, std::pair<Sint32, TupleId>> rows; // key -> version, tid

    void openIndexes() {
        im->openIndex(KEY_INDEX, true, BTree, INTEGER);
        im->openIndex(GROUP_INDEX, false, BTree, INTEGER);
    }
    void insert(Sint32 key, Sint32 version) {
        note("I " + std::to_string(key) + " " + std::to_string(version));
        const std::string text = rowText(key, version);
        OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
        TupleId tid;
        rm->insert(record, TABLE, tid);
        im->insert(KEY_INDEX, intKey(key), tid);
        im->insert(GROUP_INDEX, intKey(groupOf(key, version)), tid);
        rows[key] = {version, tid};
    }
    void replace(Sint32 key, Sint32 version) {
        auto& [old, tid] = rows.at(key);
        note("R " + std::to_string(key) + " " + std::to_string(version));
        const std::string text = rowText(key, version);
        OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
        rm->replace(TABLE, tid, record);
        if (groupOf(key, old) != groupOf(key, version)) {
            im->remove(GROUP_INDEX, intKey(groupOf(key, old)), &tid);
            im->insert(GROUP_INDEX, intKey(groupOf(key, version)), tid);
        }
        old = version;
    }
    void remove(Sint32 key) {
        const auto [version, tid] = rows.at(key);
        note("D " + std::to_string(key));
        rm->remove(TABLE, tid);
        im->remove(KEY_INDEX, intKey(key), &tid);
        im->remove(GROUP_INDEX, intKey(groupOf(key, version)), &tid);
        rows.erase(key);
    }
    void commit() {
        note("C?", true);
        OrvClientTransaction::commit();
        note("C!", true);
    }
};

// A rollback is refused for a deadlock only in a cycle of rollbacks alone
// (two that must each compact a page the other holds a record of). It then
// keeps its locks and may be tried again, as a client does, until the other
// one's wait times out (the lock time-out is 20 s).
void rollbackRetrying() {
    for (int attempt = 1;; ++attempt) {
        try {
            OrvClientTransaction::rollback();
            return;
        } catch (const OrvException& e) {
            const bool lockLost =
                e.getErrorCode() == ORV_LM_DEADLOCK || e.getErrorCode() == ORV_LM_LOCK_TIME_OUT;
            if (!lockLost || attempt == 150) {
                throw;
            }
            usleep(200000);
        }
    }
}

int runRandom(unsigned seed, Sint32 firstKey) {
    std::mt19937 random(seed);
    Worker w;
    Sint32 next = firstKey;
    for (;;) {
        OrvClientTransaction::begin();
        note("B");
        const auto before = w.rows;
        try {
            w.openIndexes();
            const int ops = 1 + static_cast<int>(random() % 40);
            for (int k = 0; k < ops; ++k) {
                const unsigned what = random() % 10;
                if (w.rows.size() < 20 || what < 4) {
                    w.insert(next++, 1);
                } else {
                    auto it = w.rows.begin();
                    std::advance(it, static_cast<long>(random() % w.rows.size()));
                    if (what < 8) {
                        w.replace(it->first, it->second.first + 1);
                    } else {
                        w.remove(it->first);
                    }
                }
            }
            if (random() % 5 == 0) {
                // Uncommitted changes reach the files too.
                writeAllPages();
            }
            if (random() % 6 == 0) {
                rollbackRetrying();
                w.rows = before;
                note("A");
            } else {
                w.commit();
            }
        } catch (const OrvException& e) {
            // A lock time-out or a deadlock with the other worker; anything
            // else ends the worker, which the test sees.
            if (e.getErrorCode() != ORV_LM_DEADLOCK && e.getErrorCode() != ORV_LM_LOCK_TIME_OUT) {
                throw;
            }
            rollbackRetrying();
            w.rows = before;
            note("A");
        }
    }
}

int runCommit(int count, Sint32 firstKey) {
    Worker w;
    OrvClientTransaction::begin();
    note("B");
    w.openIndexes();
    for (int i = 0; i < count; ++i) {
        w.insert(firstKey + i, 1);
    }
    w.commit();
    OrvClientTransaction::begin();
    note("B");
    w.openIndexes();
    for (int i = 0; i < count; ++i) {
        if (i % 5 == 0) {
            w.remove(firstKey + i);
        } else if (i % 2 == 0) {
            w.replace(firstKey + i, 2);
        }
    }
    w.commit();
    return 0;
}

int runOpen(int count, Sint32 firstKey, Sint32 oldKey, int oldCount, int plain) {
    Worker w;
    OrvClientTransaction::begin();
    note("B");
    w.openIndexes();
    for (int i = 0; i < oldCount; i += 3) {
        TupleId tid;
        const Sint32 key = oldKey + i;
        try {
            w.im->find(KEY_INDEX, intKey(key), tid);
        } catch (const OrvException&) {
            continue; // deleted before
        }
        OrvRecord* record = nullptr;
        w.rm->get(TABLE, tid, record);
        Sint32 k = 0;
        Sint32 version = 0;
        const bool parsed =
            parseRow(std::string(record->getRecordData(), record->getLength()), k, version);
        delete record;
        if (!parsed || k != key) {
            std::cerr << "worker: row of key " << key << " unreadable\n";
            return 3;
        }
        w.rows[key] = {version, tid};
        if ((i / 3) % 2 == 0) {
            w.replace(key, 7);
        } else {
            w.remove(key);
        }
    }
    for (int i = 0; i < count; ++i) {
        w.insert(firstKey + i, 1);
    }
    for (int i = 0; i < plain; ++i) {
        const std::string text = "plain " + std::to_string(i);
        OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
        TupleId tid;
        w.rm->insert(record, PLAIN_TABLE, tid);
    }
    writeAllPages();
    note("W", true);
    for (;;) {
        pause();
    }
}

} // namespace

int main(int argc, char* argv[]) {
    OrvError error;
    if (argc < 5) {
        std::cerr << "Usage: " << argv[0] << " random|commit|open N FIRSTKEY SIDEFILE\n";
        return 2;
    }
    const std::string mode = argv[1];
    const long number = std::atol(argv[2]);
    const Sint32 firstKey = static_cast<Sint32>(std::atol(argv[3]));
    sideFd = open(argv[4], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (sideFd < 0) {
        std::perror(argv[4]);
        return 2;
    }
    try {
        OrvTransactionManager::resetForProcess();
        lookUpCrashTables();
        if (mode == "random") {
            return runRandom(static_cast<unsigned>(number), firstKey);
        }
        if (mode == "commit") {
            const int code = runCommit(static_cast<int>(number), firstKey);
            OrvSystem::stopAllManagers();
            return code;
        }
        if (mode == "open") {
            const Sint32 oldKey = argc > 6 ? static_cast<Sint32>(std::atol(argv[5])) : 0;
            const int oldCount = argc > 6 ? std::atoi(argv[6]) : 0;
            const int plain = argc > 7 ? std::atoi(argv[7]) : 0;
            return runOpen(static_cast<int>(number), firstKey, oldKey, oldCount, plain);
        }
    } catch (const OrvException& e) {
        e.print(std::cerr);
        return 1;
    }
    std::cerr << "unknown mode " << mode << "\n";
    return 2;
}
