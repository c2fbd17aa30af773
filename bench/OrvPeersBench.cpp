// The engine against SQLite and LMDB: one workload, run by all three in the
// same program, with a table of operations per second and the ratio of the
// engine to each peer.
//
//   OrvPeersBench [--n N] [--r R] [--seed S] [--dir DIR] [--systems LIST]
//                 [--last-phase K] [--ipc-record FILE] [--no-unit]
//                 [--lock-writes] [--strace PREFIX | --perf PREFIX]
//   OrvPeersBench --cleanup FILE
//
// --systems runs only some of engine,sqlite,lmdb; --last-phase stops after
// phase K; --no-unit skips the semop pair; --lock-writes makes the engine's
// write transactions lock the table and the index exclusively up front;
// --strace and --perf attach "strace -c -f" or "perf record" to each engine
// phase alone, writing PREFIX.<phase>; --lose-an-update makes the engine
// leave out one update, which the checksums must report.
//
// N records (default 100,000) with a payload of R bytes (default 100); the
// keys and every choice of the workload come from fixed seeds, so every
// system sees the same keys in the same order. The phases:
//
//   1 insert      one transaction inserting N records, keys shuffled
//   2 lookup      N point lookups by random key in one read transaction
//   3 scan        a full scan of the table
//   4 update      N/10 updates growing the payload to 3R, one transaction
//   5 delete      N/2 deletes in one transaction
//   6 rollback    N/10 inserts, then the transaction rolled back
//   7 txn1        1,000 transactions of one insert each
//   8 2proc       two processes at once, each N/2 point lookups in one read
//                 transaction on the same database
//
// The peers. SQLite: WAL journal, synchronous NORMAL, page size 4096, a
// cache of 992 pages (the engine's pool holds 1,000), a table with an
// integer rowid and a separate unique index on the key. LMDB: integer keys,
// MDB_NOSYNC, so that a commit reaches the operating system but is not forced
// to the disk, as in the engine and in SQLite's WAL mode with synchronous
// NORMAL. The engine: a table (key INTEGER, payload VARCHAR(3R)) with a
// unique B-tree index on key, driven through the record and index managers
// and the transaction helper; a read transaction takes a shared lock on the
// table's and the index's segments up front, so that its lookups are
// answered from the process's own locks and do not fill the lock list.
//
// Checksums. Every phase of every system gives a checksum: for the reads a
// digest of the keys and payloads it met, for the writes the number of rows
// they changed combined with a digest of the whole table afterwards (taken
// outside the timing). They must agree between the systems; a mismatch is
// printed loudly and the program ends with status 1.
//
// The second process of phase 8 is this program started again (--reader),
// so each reader is a fresh process that attaches to the database the way
// any client would, not a fork of a process holding the engine's managers.
//
// Figures of the engine per operation are given beside the table: semop
// calls, bytes written to the log, and read and write system calls (from
// /proc/self/io), with the time of an operation in units of a bare semop pair
// (orvbench::semopPair, measured by Google Benchmark in the same run).
//
// Shared sets: every System V memory or semaphore set the program creates is
// appended to the --ipc-record file as it is made. The program removes its
// sets itself when it ends; "--cleanup FILE" removes the recorded sets that a
// run which died left behind, and only those (a memory set only when its
// creator is the recorded process).
#include "OrvBuffer.h"
#include "OrvException.h"
#include "OrvIndexKey.h"
#include "OrvIndexManager.h"
#include "OrvLock.h"
#include "OrvRecord.h"
#include "OrvRecordIterator.h"
#include "OrvRecordManager.h"
#include "OrvSystem.h"
#include "OrvTable.h"
#include "OrvTransaction.h"
#include "OrvTuple.h"

#include "BenchDatabase.h"
#include "BenchSupport.h"

#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// ---- the record of the sets this process creates ------------------------------------

namespace {
// Where the sets are recorded; empty: not recorded.
std::string ipcRecordFile;

// The semaphore sets this process made, in order. The engine's database
// makes one latch set each for the lock list, the buffer pool and the log
// file handling, in that order, before anything else of the run.
std::vector<int> semaphoreSets;
enum Latch { LockListLatch = 0, BufferPoolLatch = 1, LogLatch = 2, OtherSet = 3 };
long latchCalls[4] = {0, 0, 0, 0};

void countLatchCall(int semid) {
    for (std::size_t i = 0; i < 3 && i < semaphoreSets.size(); ++i) {
        if (semaphoreSets[i] == semid) {
            ++latchCalls[i];
            return;
        }
    }
    ++latchCalls[OtherSet];
}

void recordSet(const char* kind, int id, key_t key, long extra) {
    if (ipcRecordFile.empty()) {
        return;
    }
    // Written at once and closed, so that the line is there even if the
    // process dies right after.
    if (FILE* out = std::fopen(ipcRecordFile.c_str(), "a")) {
        std::fprintf(out, "%s %d %ld %ld %ld\n", kind, id, static_cast<long>(key),
                     static_cast<long>(getpid()), extra);
        std::fclose(out);
    }
}
} // namespace

extern "C" int __real_shmget(key_t key, size_t size, int flags);
extern "C" int __wrap_shmget(key_t key, size_t size, int flags) {
    const int id = __real_shmget(key, size, flags);
    if (id >= 0 && (flags & IPC_CREAT) != 0 && ((flags & IPC_EXCL) != 0 || key == IPC_PRIVATE)) {
        recordSet("shm", id, key, static_cast<long>(size));
    }
    return id;
}

extern "C" int __real_semget(key_t key, int count, int flags);
extern "C" int __wrap_semget(key_t key, int count, int flags) {
    const int id = __real_semget(key, count, flags);
    if (id >= 0 && (flags & IPC_CREAT) != 0 && ((flags & IPC_EXCL) != 0 || key == IPC_PRIVATE)) {
        recordSet("sem", id, key, count);
        semaphoreSets.push_back(id);
    }
    return id;
}

namespace {

// Removes the sets recorded in `file` that still exist and are the ones
// recorded: the same key (and for a memory set the same creator process and
// size, for a semaphore set the same number of semaphores). Ids of removed
// sets are not handed out again soon, and the checks refuse a set of another
// user that got one anyway.
int cleanupRecordedSets(const std::string& file) {
    std::ifstream in(file);
    if (!in) {
        return 0; // nothing was recorded
    }
    std::string kind;
    long id = 0, key = 0, pid = 0, extra = 0;
    int removed = 0;
    while (in >> kind >> id >> key >> pid >> extra) {
        if (kind == "shm") {
            shmid_ds ds{};
            if (shmctl(static_cast<int>(id), IPC_STAT, &ds) != 0) {
                continue;
            }
            if (static_cast<long>(ds.shm_perm.__key) != key ||
                static_cast<long>(ds.shm_cpid) != pid || static_cast<long>(ds.shm_segsz) != extra) {
                continue;
            }
            if (shmctl(static_cast<int>(id), IPC_RMID, nullptr) == 0) {
                ++removed;
            }
        } else if (kind == "sem") {
            semid_ds ds{};
            union {
                int val;
                semid_ds* buf;
                unsigned short* array;
            } arg;
            arg.buf = &ds;
            if (semctl(static_cast<int>(id), 0, IPC_STAT, arg) != 0) {
                continue;
            }
            if (static_cast<long>(ds.sem_perm.__key) != key ||
                static_cast<long>(ds.sem_nsems) != extra) {
                continue;
            }
            if (semctl(static_cast<int>(id), 0, IPC_RMID) == 0) {
                ++removed;
            }
        }
    }
    if (removed > 0) {
        std::fprintf(stderr, "removed %d shared set(s) left by a run that did not end normally\n",
                     removed);
    }
    return removed;
}

// ---- options --------------------------------------------------------------------------

struct Options {
    long n = 100000;
    long r = 100;
    unsigned seed = 20240601;
    std::string dir;
    bool engine = true;
    bool sqlite = true;
    bool lmdb = true;
    int lastPhase = 8;
    // Measure the semop pair (off for system call counts of the phases alone).
    bool unit = true;
    // When set, each engine phase runs under "strace -c -f", which writes
    // its counts to PREFIX.<phase>.
    std::string stracePrefix;
    // With --perf PREFIX: "perf record" instead of strace.
    bool perf = false;
    // The engine's write transactions lock the table and the index
    // exclusively up front (a variant, to show what page and slot locks cost).
    bool lockWrites = false;
    // The engine leaves out one of its updates: the checksums must catch it
    // (the smoke test of the comparison itself).
    bool faultyUpdate = false;
};

[[noreturn]] void usage(const char* message) {
    std::fprintf(stderr,
                 "error: %s\n"
                 "usage: OrvPeersBench [--n N] [--r R] [--seed S] [--dir DIR]\n"
                 "                     [--systems engine,sqlite,lmdb] [--last-phase 1..8]\n"
                 "                     [--ipc-record FILE] [--no-unit] [--lock-writes]\n"
                 "                     [--strace PREFIX | --perf PREFIX]\n"
                 "       OrvPeersBench --cleanup FILE\n",
                 message);
    std::exit(2);
}

long parseNumber(const char* text, long low, long high, const char* what) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        usage((std::string(what) + " must be a number from " + std::to_string(low) + " to " +
               std::to_string(high))
                  .c_str());
    }
    return value;
}

// ---- the workload ---------------------------------------------------------------------

// The payloads: windows of one long text of letters, chosen by key and
// generation, so that a row holding another key's payload, or an old one,
// changes the checksums.
class Payloads {
public:
    explicit Payloads(long r) : longest(static_cast<std::size_t>(3 * r)) {
        text.resize(longest + 97);
        std::mt19937 random(7);
        for (char& c : text) {
            c = static_cast<char>('a' + random() % 26);
        }
    }
    const char* data(Sint32 key, int generation) const {
        return text.data() + (static_cast<std::uint32_t>(key) * 7u + generation * 31u) % 97u;
    }

private:
    std::size_t longest;
    std::string text;
};

// A digest of rows that does not depend on their order: the number of rows
// and the sum of a hash of each key with its payload.
struct Digest {
    std::uint64_t rows = 0;
    std::uint64_t sum = 0;

    void add(Sint32 key, const char* payload, std::size_t length) {
        std::uint64_t h = 1469598103934665603ull;
        const auto mix = [&h](unsigned char byte) {
            h ^= byte;
            h *= 1099511628211ull;
        };
        for (int i = 0; i < 4; ++i) {
            mix(static_cast<unsigned char>(static_cast<std::uint32_t>(key) >> (8 * i)));
        }
        for (std::size_t i = 0; i < length; ++i) {
            mix(static_cast<unsigned char>(payload[i]));
        }
        mix(static_cast<unsigned char>(length));
        mix(static_cast<unsigned char>(length >> 8));
        ++rows;
        sum += h;
    }
    void add(const Digest& other) {
        rows += other.rows;
        sum += other.sum;
    }
    std::uint64_t value() const { return sum * 31 + rows; }
};

std::vector<Sint32> permutation(long count, unsigned seed) {
    std::vector<Sint32> keys(static_cast<std::size_t>(count));
    std::iota(keys.begin(), keys.end(), 0);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(seed));
    return keys;
}

struct Workload {
    long n;
    long r;
    std::vector<Sint32> insertOrder; // phase 1: 0 .. N-1 shuffled
    std::vector<Sint32> lookups;     // phase 2: N random keys
    std::vector<Sint32> updates;     // phase 4: N/10 distinct keys
    std::vector<Sint32> deletes;     // phase 5: N/2 distinct keys
    std::vector<Sint32> rolledBack;  // phase 6: N/10 new keys
    std::vector<Sint32> oneRecord;   // phase 7: 1,000 new keys
    std::vector<Sint32> survivors;   // the keys 0 .. N-1 left after phase 5

    Workload(long count, long payload, unsigned seed) : n(count), r(payload) {
        insertOrder = permutation(n, seed);
        std::mt19937 random(seed + 1);
        std::uniform_int_distribution<Sint32> any(0, static_cast<Sint32>(n - 1));
        lookups.resize(static_cast<std::size_t>(n));
        for (Sint32& key : lookups) {
            key = any(random);
        }
        updates = permutation(n, seed + 2);
        updates.resize(static_cast<std::size_t>(n / 10));
        deletes = permutation(n, seed + 3);
        deletes.resize(static_cast<std::size_t>(n / 2));
        for (long i = 0; i < n / 10; ++i) {
            rolledBack.push_back(static_cast<Sint32>(n + i));
        }
        for (long i = 0; i < 1000; ++i) {
            oneRecord.push_back(static_cast<Sint32>(2 * n + i));
        }
        std::vector<bool> deleted(static_cast<std::size_t>(n), false);
        for (Sint32 key : deletes) {
            deleted[static_cast<std::size_t>(key)] = true;
        }
        for (Sint32 key = 0; key < n; ++key) {
            if (!deleted[static_cast<std::size_t>(key)]) {
                survivors.push_back(key);
            }
        }
    }

    // The keys reader `which` (0 or 1) of phase 8 looks up: N/2 random
    // surviving keys.
    std::vector<Sint32> readerKeys(int which, unsigned seed) const {
        std::mt19937 random(seed + 10 + static_cast<unsigned>(which));
        std::uniform_int_distribution<std::size_t> any(0, survivors.size() - 1);
        std::vector<Sint32> keys(static_cast<std::size_t>(n / 2));
        for (Sint32& key : keys) {
            key = survivors[any(random)];
        }
        return keys;
    }
};

// ---- the systems ------------------------------------------------------------------------

class System {
public:
    virtual ~System() = default;
    virtual const char* name() const = 0;
    // Each returns the number of rows it changed or read.
    virtual long insert(const std::vector<Sint32>& keys, int generation, long length) = 0;
    virtual Digest lookup(const std::vector<Sint32>& keys, long& missing) = 0;
    virtual Digest scan() = 0;
    virtual long update(const std::vector<Sint32>& keys, int generation, long length) = 0;
    virtual long remove(const std::vector<Sint32>& keys) = 0;
    virtual long insertRolledBack(const std::vector<Sint32>& keys, int generation, long length) = 0;
    virtual long insertOneByOne(const std::vector<Sint32>& keys, int generation, long length) = 0;
    // The --reader argument that starts a reader of this system.
    virtual const char* readerName() const = 0;
};

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

// ---- SQLite -----------------------------------------------------------------------

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
            fail(std::string("sqlite prepare: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return statement; }
    // Steps once; true for a row, false when done.
    bool step() {
        const int code = sqlite3_step(statement);
        if (code == SQLITE_ROW) {
            return true;
        }
        if (code != SQLITE_DONE) {
            fail(std::string("sqlite step: ") + sqlite3_errmsg(db));
        }
        return false;
    }
    void reset() { sqlite3_reset(statement); }

private:
    sqlite3* db;
    sqlite3_stmt* statement = nullptr;
};

sqlite3* openSqlite(const std::string& file) {
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
        std::string message = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        fail("sqlite open " + file + ": " + message);
    }
    const char* setup = "PRAGMA page_size=4096; PRAGMA journal_mode=WAL; "
                        "PRAGMA synchronous=NORMAL; PRAGMA cache_size=992;";
    char* error = nullptr;
    if (sqlite3_exec(db, setup, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error != nullptr ? error : "?";
        sqlite3_free(error);
        sqlite3_close(db);
        fail("sqlite setup: " + message);
    }
    return db;
}

void sqliteExec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error != nullptr ? error : "?";
        sqlite3_free(error);
        fail(std::string("sqlite ") + sql + ": " + message);
    }
}

// N/2 lookups of one reader on an open database; shared by the main
// process and the readers of phase 8.
Digest sqliteLookups(sqlite3* db, const std::vector<Sint32>& keys, long& missing) {
    Statement select(db, "SELECT payload FROM t WHERE key = ?");
    Digest digest;
    sqliteExec(db, "BEGIN");
    for (Sint32 key : keys) {
        sqlite3_bind_int(select.get(), 1, key);
        if (select.step()) {
            const char* payload = static_cast<const char*>(sqlite3_column_blob(select.get(), 0));
            digest.add(key, payload,
                       static_cast<std::size_t>(sqlite3_column_bytes(select.get(), 0)));
        } else {
            ++missing;
        }
        select.reset();
    }
    sqliteExec(db, "COMMIT");
    return digest;
}

class Sqlite : public System {
public:
    Sqlite(const std::string& file, const Payloads& payloads)
        : db(openSqlite(file)), payloads(payloads) {
        sqliteExec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, key INTEGER NOT NULL, "
                       "payload BLOB NOT NULL); CREATE UNIQUE INDEX t_key ON t(key);");
        insertStatement =
            std::make_unique<Statement>(db, "INSERT INTO t(key, payload) VALUES(?, ?)");
    }
    ~Sqlite() override {
        insertStatement.reset();
        sqlite3_close(db);
    }
    const char* name() const override { return "sqlite"; }
    const char* readerName() const override { return "sqlite"; }

    long insert(const std::vector<Sint32>& keys, int generation, long length) override {
        sqliteExec(db, "BEGIN");
        const long done = insertRows(keys, generation, length);
        sqliteExec(db, "COMMIT");
        return done;
    }
    Digest lookup(const std::vector<Sint32>& keys, long& missing) override {
        return sqliteLookups(db, keys, missing);
    }
    Digest scan() override {
        Statement select(db, "SELECT key, payload FROM t");
        Digest digest;
        sqliteExec(db, "BEGIN");
        while (select.step()) {
            digest.add(sqlite3_column_int(select.get(), 0),
                       static_cast<const char*>(sqlite3_column_blob(select.get(), 1)),
                       static_cast<std::size_t>(sqlite3_column_bytes(select.get(), 1)));
        }
        sqliteExec(db, "COMMIT");
        return digest;
    }
    long update(const std::vector<Sint32>& keys, int generation, long length) override {
        Statement update(db, "UPDATE t SET payload = ? WHERE key = ?");
        long done = 0;
        sqliteExec(db, "BEGIN");
        for (Sint32 key : keys) {
            sqlite3_bind_blob(update.get(), 1, payloads.data(key, generation),
                              static_cast<int>(length), SQLITE_STATIC);
            sqlite3_bind_int(update.get(), 2, key);
            update.step();
            done += sqlite3_changes(db);
            update.reset();
        }
        sqliteExec(db, "COMMIT");
        return done;
    }
    long remove(const std::vector<Sint32>& keys) override {
        Statement remove(db, "DELETE FROM t WHERE key = ?");
        long done = 0;
        sqliteExec(db, "BEGIN");
        for (Sint32 key : keys) {
            sqlite3_bind_int(remove.get(), 1, key);
            remove.step();
            done += sqlite3_changes(db);
            remove.reset();
        }
        sqliteExec(db, "COMMIT");
        return done;
    }
    long insertRolledBack(const std::vector<Sint32>& keys, int generation, long length) override {
        sqliteExec(db, "BEGIN");
        const long done = insertRows(keys, generation, length);
        sqliteExec(db, "ROLLBACK");
        return done;
    }
    long insertOneByOne(const std::vector<Sint32>& keys, int generation, long length) override {
        long done = 0;
        for (Sint32 key : keys) {
            sqliteExec(db, "BEGIN");
            done += insertRows({key}, generation, length);
            sqliteExec(db, "COMMIT");
        }
        return done;
    }

private:
    long insertRows(const std::vector<Sint32>& keys, int generation, long length) {
        sqlite3_stmt* statement = insertStatement->get();
        for (Sint32 key : keys) {
            sqlite3_bind_int(statement, 1, key);
            sqlite3_bind_blob(statement, 2, payloads.data(key, generation),
                              static_cast<int>(length), SQLITE_STATIC);
            insertStatement->step();
            insertStatement->reset();
        }
        return static_cast<long>(keys.size());
    }

    sqlite3* db;
    const Payloads& payloads;
    std::unique_ptr<Statement> insertStatement;
};

// ---- LMDB -----------------------------------------------------------------------

void lmdbCheck(int code, const char* what) {
    if (code != MDB_SUCCESS) {
        fail(std::string("lmdb ") + what + ": " + mdb_strerror(code));
    }
}

MDB_env* openLmdb(const std::string& directory) {
    MDB_env* env = nullptr;
    lmdbCheck(mdb_env_create(&env), "env_create");
    // The map only reserves address space; the file grows as it is written.
    int code = mdb_env_set_mapsize(env, std::size_t(1) << 32);
    if (code == MDB_SUCCESS) {
        code = mdb_env_open(env, directory.c_str(), MDB_NOSYNC, 0600);
    }
    if (code != MDB_SUCCESS) {
        mdb_env_close(env);
        lmdbCheck(code, "env_open");
    }
    return env;
}

// Keys are stored as unsigned ints (MDB_INTEGERKEY); the workload's keys are
// never negative.
struct LmdbKey {
    unsigned int value;
    MDB_val val;
    explicit LmdbKey(Sint32 key) : value(static_cast<unsigned int>(key)) {
        val.mv_size = sizeof(value);
        val.mv_data = &value;
    }
};

Digest lmdbLookups(MDB_env* env, MDB_dbi dbi, const std::vector<Sint32>& keys, long& missing) {
    MDB_txn* txn = nullptr;
    lmdbCheck(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "txn_begin");
    Digest digest;
    for (Sint32 key : keys) {
        LmdbKey k(key);
        MDB_val data;
        const int code = mdb_get(txn, dbi, &k.val, &data);
        if (code == MDB_NOTFOUND) {
            ++missing;
            continue;
        }
        if (code != MDB_SUCCESS) {
            mdb_txn_abort(txn);
            lmdbCheck(code, "get");
        }
        digest.add(key, static_cast<const char*>(data.mv_data), data.mv_size);
    }
    mdb_txn_abort(txn);
    return digest;
}

MDB_dbi openLmdbTable(MDB_env* env, bool create) {
    MDB_txn* txn = nullptr;
    lmdbCheck(mdb_txn_begin(env, nullptr, create ? 0 : MDB_RDONLY, &txn), "txn_begin");
    MDB_dbi dbi = 0;
    const int code = mdb_dbi_open(txn, nullptr, MDB_INTEGERKEY | (create ? MDB_CREATE : 0), &dbi);
    if (code != MDB_SUCCESS) {
        mdb_txn_abort(txn);
        lmdbCheck(code, "dbi_open");
    }
    lmdbCheck(mdb_txn_commit(txn), "commit");
    return dbi;
}

class Lmdb : public System {
public:
    Lmdb(const std::string& directory, const Payloads& payloads)
        : env(openLmdb(directory)), dbi(openLmdbTable(env, true)), payloads(payloads) {}
    ~Lmdb() override { mdb_env_close(env); }
    const char* name() const override { return "lmdb"; }
    const char* readerName() const override { return "lmdb"; }

    long insert(const std::vector<Sint32>& keys, int generation, long length) override {
        MDB_txn* txn = begin();
        putRows(txn, keys, generation, length, MDB_NOOVERWRITE);
        lmdbCheck(mdb_txn_commit(txn), "commit");
        return static_cast<long>(keys.size());
    }
    Digest lookup(const std::vector<Sint32>& keys, long& missing) override {
        return lmdbLookups(env, dbi, keys, missing);
    }
    Digest scan() override {
        MDB_txn* txn = nullptr;
        lmdbCheck(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "txn_begin");
        MDB_cursor* cursor = nullptr;
        lmdbCheck(mdb_cursor_open(txn, dbi, &cursor), "cursor_open");
        Digest digest;
        MDB_val key, data;
        int code = mdb_cursor_get(cursor, &key, &data, MDB_FIRST);
        while (code == MDB_SUCCESS) {
            unsigned int value = 0;
            std::memcpy(&value, key.mv_data, sizeof(value));
            digest.add(static_cast<Sint32>(value), static_cast<const char*>(data.mv_data),
                       data.mv_size);
            code = mdb_cursor_get(cursor, &key, &data, MDB_NEXT);
        }
        mdb_cursor_close(cursor);
        mdb_txn_abort(txn);
        if (code != MDB_NOTFOUND) {
            lmdbCheck(code, "cursor_get");
        }
        return digest;
    }
    long update(const std::vector<Sint32>& keys, int generation, long length) override {
        MDB_txn* txn = begin();
        putRows(txn, keys, generation, length, 0);
        lmdbCheck(mdb_txn_commit(txn), "commit");
        return static_cast<long>(keys.size());
    }
    long remove(const std::vector<Sint32>& keys) override {
        MDB_txn* txn = begin();
        long done = 0;
        for (Sint32 key : keys) {
            LmdbKey k(key);
            const int code = mdb_del(txn, dbi, &k.val, nullptr);
            if (code == MDB_SUCCESS) {
                ++done;
            } else if (code != MDB_NOTFOUND) {
                mdb_txn_abort(txn);
                lmdbCheck(code, "del");
            }
        }
        lmdbCheck(mdb_txn_commit(txn), "commit");
        return done;
    }
    long insertRolledBack(const std::vector<Sint32>& keys, int generation, long length) override {
        MDB_txn* txn = begin();
        putRows(txn, keys, generation, length, MDB_NOOVERWRITE);
        mdb_txn_abort(txn);
        return static_cast<long>(keys.size());
    }
    long insertOneByOne(const std::vector<Sint32>& keys, int generation, long length) override {
        for (Sint32 key : keys) {
            MDB_txn* txn = begin();
            putRows(txn, {key}, generation, length, MDB_NOOVERWRITE);
            lmdbCheck(mdb_txn_commit(txn), "commit");
        }
        return static_cast<long>(keys.size());
    }

private:
    MDB_txn* begin() {
        MDB_txn* txn = nullptr;
        lmdbCheck(mdb_txn_begin(env, nullptr, 0, &txn), "txn_begin");
        return txn;
    }
    void putRows(MDB_txn* txn, const std::vector<Sint32>& keys, int generation, long length,
                 unsigned flags) {
        for (Sint32 key : keys) {
            LmdbKey k(key);
            MDB_val data;
            data.mv_size = static_cast<std::size_t>(length);
            data.mv_data = const_cast<char*>(payloads.data(key, generation));
            const int code = mdb_put(txn, dbi, &k.val, &data, flags);
            if (code != MDB_SUCCESS) {
                mdb_txn_abort(txn);
                lmdbCheck(code, "put");
            }
        }
    }

    MDB_env* env;
    MDB_dbi dbi;
    const Payloads& payloads;
};

// ---- the engine -------------------------------------------------------------------

constexpr TableId ENGINE_TABLE = 1;
constexpr IndexId ENGINE_INDEX = 1;

void check(OrvErrorCode code, const char* what) {
    if (code != ORV_SUCCESS) {
        fail(std::string("engine ") + what + ": error code " + std::to_string(code));
    }
}

// The descriptor of the benchmark's table, built by hand:
// (key INTEGER NOT NULL, payload VARCHAR(maxPayload) NOT NULL).
void describeTable(OrvTable& table, long maxPayload) {
    check(table.setTableId(ENGINE_TABLE), "setTableId");
    check(table.setTableName("peers"), "setTableName");
    check(table.createColumns(2), "createColumns");
    check(table.setColumnDefinition(0, "key", INTEGER, 4, false), "column key");
    check(table.setColumnDefinition(1, "payload", VARCHAR, static_cast<Uint16>(maxPayload), false),
          "column payload");
}

OrvIndexKey integerKey(Sint32 value) {
    OrvIndexKey key;
    key.dataType = INTEGER;
    key.intKey = value;
    return key;
}

// Reads rows through one tuple that keeps the record it is refilled into.
class RowReader {
public:
    explicit RowReader(const OrvTable& table) : table(table), tuple(&table) {}
    ~RowReader() {
        if (!bound) {
            delete record;
        }
    }
    RowReader(const RowReader&) = delete;
    RowReader& operator=(const RowReader&) = delete;

    // The record to hand to get or getNext; refilled there in place.
    OrvRecord*& target() { return record; }

    void read(Digest& digest) {
        // The tuple takes the record over the first time and keeps it.
        check(tuple.initialize(record, &table), "tuple initialize");
        bound = true;
        const Sint32* key = nullptr;
        const char* payload = nullptr;
        Uint16 length = 0;
        check(tuple.getInt(0, key), "getInt");
        check(tuple.getVarchar(1, payload, length), "getVarchar");
        if (key == nullptr || payload == nullptr) {
            fail("engine: a NULL in a NOT NULL column");
        }
        digest.add(*key, payload, length);
    }

private:
    const OrvTable& table;
    OrvRecordTuple tuple;
    OrvRecord* record = new OrvRecord();
    bool bound = false;
};

// Shared locks on the table's and the index's segments for the rest of the
// transaction: the lookups and the scan of a read transaction are then
// answered from this process's own locks.
// With --lock-writes a write transaction does the same with exclusive
// locks: its page and slot locks are then covered too (and no other
// transaction reaches the table until it ends).
void lockSegments(OrvLockManager::LockType type) {
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    OrvLockManager* lm = OrvLockManager::getInstance();
    lm->requestSegment(bm->convertTableIdToSegmentId(ENGINE_TABLE), type);
    lm->requestSegment(bm->convertIndexIdToSegmentId(ENGINE_INDEX), type);
}

void lockForReading() {
    lockSegments(OrvLockManager::SharedLock);
}

bool engineFind(Sint32 key, TupleId& tid) {
    try {
        OrvIndexManager::getInstance()->find(ENGINE_INDEX, integerKey(key), tid);
        return true;
    } catch (const OrvException& e) {
        if (e.getErrorCode() == ORV_NOT_FOUND_WARN) {
            return false;
        }
        throw;
    }
}

Digest engineLookups(const OrvTable& table, const std::vector<Sint32>& keys, long& missing) {
    OrvRecordManager* rm = OrvRecordManager::getInstance();
    RowReader reader(table);
    Digest digest;
    OrvClientTransaction::begin();
    OrvTransactionGuard guard;
    lockForReading();
    for (Sint32 key : keys) {
        TupleId tid;
        if (!engineFind(key, tid)) {
            ++missing;
            continue;
        }
        rm->get(ENGINE_TABLE, tid, reader.target());
        reader.read(digest);
    }
    guard.commit();
    return digest;
}

// The figures of one engine phase, beside its time.
struct EngineCosts {
    long semops = 0;
    // Of them on the latch of the lock list, the buffer pool, the log.
    long latch[3] = {0, 0, 0};
    std::uintmax_t logBytes = 0;
    long syscalls = 0; // read and write calls
};

long readWriteCalls() {
    std::ifstream io("/proc/self/io");
    std::string field;
    long value = 0, total = 0;
    while (io >> field >> value) {
        if (field == "syscr:" || field == "syscw:") {
            total += value;
        }
    }
    return total;
}

class Engine : public System {
public:
    Engine(const std::string& directory, const Payloads& payloads, long maxPayload, bool lockWrites,
           bool faultyUpdate)
        : database(directory), payloads(payloads), builder(nullptr), lockWrites(lockWrites),
          faultyUpdate(faultyUpdate) {
        describeTable(table, maxPayload);
        check(builder.initialize(&table), "tuple initialize");
        OrvClientTransaction::begin();
        OrvTransactionGuard guard;
        OrvRecordManager::getInstance()->createTable(ENGINE_TABLE);
        OrvIndexManager::getInstance()->createIndex(ENGINE_INDEX, true, BTree, INTEGER);
        guard.commit();
    }
    const char* name() const override { return "engine"; }
    const char* readerName() const override { return "engine"; }
    std::uintmax_t logBytes() const { return database.logBytes(); }

    long insert(const std::vector<Sint32>& keys, int generation, long length) override {
        OrvClientTransaction::begin();
        OrvTransactionGuard guard;
        lockForWriting();
        insertRows(keys, generation, length);
        guard.commit();
        return static_cast<long>(keys.size());
    }
    Digest lookup(const std::vector<Sint32>& keys, long& missing) override {
        return engineLookups(table, keys, missing);
    }
    Digest scan() override {
        RowReader reader(table);
        Digest digest;
        OrvClientTransaction::begin();
        OrvTransactionGuard guard;
        lockForReading();
        {
            OrvRecordIterator* raw = nullptr;
            OrvRecordManager::getInstance()->getRecordIterator(ENGINE_TABLE, raw);
            std::unique_ptr<OrvRecordIterator> scan(raw);
            while (scan->hasNext()) {
                check(scan->getNext(reader.target()), "scan");
                reader.read(digest);
            }
        }
        guard.commit();
        return digest;
    }
    long update(const std::vector<Sint32>& keys, int generation, long length) override {
        OrvRecordManager* rm = OrvRecordManager::getInstance();
        long done = 0;
        OrvClientTransaction::begin();
        OrvTransactionGuard guard;
        lockForWriting();
        for (Sint32 key : keys) {
            if (faultyUpdate && key == keys.front()) {
                continue; // the fault asked for: one update lost
            }
            TupleId tid;
            if (!engineFind(key, tid)) {
                continue;
            }
            // The tuple id stays the record's for its life, so the index
            // keeps its entry.
            rm->replace(ENGINE_TABLE, tid, buildRow(key, generation, length));
            ++done;
        }
        guard.commit();
        return done;
    }
    long remove(const std::vector<Sint32>& keys) override {
        OrvRecordManager* rm = OrvRecordManager::getInstance();
        OrvIndexManager* im = OrvIndexManager::getInstance();
        long done = 0;
        OrvClientTransaction::begin();
        OrvTransactionGuard guard;
        lockForWriting();
        for (Sint32 key : keys) {
            TupleId tid;
            if (!engineFind(key, tid)) {
                continue;
            }
            rm->remove(ENGINE_TABLE, tid);
            im->remove(ENGINE_INDEX, integerKey(key), &tid);
            ++done;
        }
        guard.commit();
        return done;
    }
    long insertRolledBack(const std::vector<Sint32>& keys, int generation, long length) override {
        OrvClientTransaction::begin();
        OrvTransactionGuard guard;
        lockForWriting();
        insertRows(keys, generation, length);
        guard.rollback();
        return static_cast<long>(keys.size());
    }
    long insertOneByOne(const std::vector<Sint32>& keys, int generation, long length) override {
        for (Sint32 key : keys) {
            OrvClientTransaction::begin();
            OrvTransactionGuard guard;
            lockForWriting();
            insertRows({key}, generation, length);
            guard.commit();
        }
        return static_cast<long>(keys.size());
    }

private:
    void lockForWriting() {
        if (lockWrites) {
            lockSegments(OrvLockManager::ExclusiveLock);
        }
    }
    const OrvRecord& buildRow(Sint32 key, int generation, long length) {
        check(builder.initialize(&table), "tuple initialize");
        check(builder.setInt(0, &key), "setInt");
        check(builder.setVarchar(1, payloads.data(key, generation), static_cast<Uint16>(length)),
              "setVarchar");
        const OrvRecord* record = builder.getRecord();
        if (record == nullptr) {
            fail("engine: a row with columns missing");
        }
        return *record;
    }
    void insertRows(const std::vector<Sint32>& keys, int generation, long length) {
        OrvRecordManager* rm = OrvRecordManager::getInstance();
        OrvIndexManager* im = OrvIndexManager::getInstance();
        for (Sint32 key : keys) {
            TupleId tid;
            rm->insert(buildRow(key, generation, length), ENGINE_TABLE, tid);
            im->insert(ENGINE_INDEX, integerKey(key), tid);
        }
    }

    orvbench::Database database;
    const Payloads& payloads;
    OrvTable table;
    OrvRecordTuple builder;
    bool lockWrites;
    bool faultyUpdate;
};

// ---- the readers of phase 8 -----------------------------------------------------------

// A reader is this program started with
//   --reader SYSTEM --path PATH --n N --r R --seed S --which W
// It opens the database, writes "ready" on standard output, waits for a line
// on standard input, makes its lookups and writes
// "done <rows> <sum> <missing>".
int runReader(const std::string& system, const std::string& path, long n, long r, unsigned seed,
              int which) {
    const Workload workload(n, r, seed);
    const std::vector<Sint32> keys = workload.readerKeys(which, seed);
    std::function<Digest(long&)> lookups;
    std::function<void()> close = [] {};
    std::unique_ptr<OrvTable> table;
    sqlite3* db = nullptr;
    MDB_env* env = nullptr;
    if (system == "engine") {
        setenv("ORV_DATABASE_PATH", path.c_str(), 1);
        table = std::make_unique<OrvTable>();
        describeTable(*table, 3 * r);
        OrvIndexManager::getInstance()->openIndex(ENGINE_INDEX, true, BTree, INTEGER);
        OrvClientTransaction::commit();
        lookups = [&](long& missing) { return engineLookups(*table, keys, missing); };
        close = [] { OrvSystem::stopAllManagers(); };
    } else if (system == "sqlite") {
        db = openSqlite(path);
        lookups = [&](long& missing) { return sqliteLookups(db, keys, missing); };
        close = [&] { sqlite3_close(db); };
    } else if (system == "lmdb") {
        env = openLmdb(path);
        const MDB_dbi dbi = openLmdbTable(env, false);
        lookups = [&, dbi](long& missing) { return lmdbLookups(env, dbi, keys, missing); };
        close = [&] { mdb_env_close(env); };
    } else {
        usage("unknown reader system");
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string go;
    if (!std::getline(std::cin, go)) {
        close();
        return 1;
    }
    long missing = 0;
    const Digest digest = lookups(missing);
    close();
    std::printf("done %" PRIu64 " %" PRIu64 " %ld\n", digest.rows, digest.sum, missing);
    std::fflush(stdout);
    return 0;
}

struct ReaderProcess {
    pid_t pid = -1;
    FILE* out = nullptr; // its standard output
    FILE* in = nullptr;  // its standard input
};

ReaderProcess startReader(const std::vector<std::string>& arguments) {
    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) {
        fail(std::string("pipe: ") + std::strerror(errno));
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        fail(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        close(toChild[0]);
        close(toChild[1]);
        close(fromChild[0]);
        close(fromChild[1]);
        execv("/proc/self/exe", argv.data());
        std::perror("exec");
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    ReaderProcess reader;
    reader.pid = pid;
    reader.in = fdopen(toChild[1], "w");
    reader.out = fdopen(fromChild[0], "r");
    return reader;
}

std::string readLine(FILE* in) {
    char line[256];
    if (std::fgets(line, sizeof(line), in) == nullptr) {
        return std::string();
    }
    return line;
}

bool endReader(ReaderProcess& reader) {
    if (reader.in != nullptr) {
        std::fclose(reader.in);
        reader.in = nullptr;
    }
    if (reader.out != nullptr) {
        std::fclose(reader.out);
        reader.out = nullptr;
    }
    int status = 0;
    if (reader.pid > 0 && waitpid(reader.pid, &status, 0) == reader.pid) {
        reader.pid = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return false;
}

// Phase 8 for one system: two readers at once; the time runs from the
// moment both are told to go until both have answered.
double twoReaders(const std::string& system, const std::string& path, const Options& options,
                  Digest& digest, long& missing) {
    ReaderProcess readers[2];
    const auto cleanup = [&] {
        for (ReaderProcess& reader : readers) {
            if (reader.pid > 0) {
                endReader(reader);
            }
        }
    };
    try {
        for (int which = 0; which < 2; ++which) {
            readers[which] =
                startReader({"OrvPeersBench", "--reader", system, "--path", path, "--n",
                             std::to_string(options.n), "--r", std::to_string(options.r), "--seed",
                             std::to_string(options.seed), "--which", std::to_string(which)});
        }
        for (ReaderProcess& reader : readers) {
            if (readLine(reader.out).rfind("ready", 0) != 0) {
                fail(system + " reader did not start");
            }
        }
        const auto start = std::chrono::steady_clock::now();
        for (ReaderProcess& reader : readers) {
            std::fputs("go\n", reader.in);
            std::fflush(reader.in);
        }
        for (ReaderProcess& reader : readers) {
            const std::string line = readLine(reader.out);
            unsigned long long rows = 0, sum = 0;
            long notFound = 0;
            if (std::sscanf(line.c_str(), "done %llu %llu %ld", &rows, &sum, &notFound) != 3) {
                fail(system + " reader failed");
            }
            digest.rows += rows;
            digest.sum += sum;
            missing += notFound;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (ReaderProcess& reader : readers) {
            if (!endReader(reader)) {
                fail(system + " reader ended with a failure");
            }
        }
        return seconds;
    } catch (...) {
        cleanup();
        throw;
    }
}

// ---- the run ----------------------------------------------------------------------

// "strace -c -f" attached to this process for the lifetime of the object:
// the system calls of one phase, its readers included, counted apart. The
// times of a traced phase mean nothing; its counts are exact.
class Tracer {
public:
    // With perf, "perf record" samples the phase instead (call graphs).
    Tracer(const std::string& output, bool perf) {
        const std::string self = std::to_string(getpid());
        std::fflush(nullptr);
        pid = fork();
        if (pid < 0) {
            fail(std::string("fork: ") + std::strerror(errno));
        }
        if (pid == 0) {
            if (perf) {
                execlp("perf", "perf", "record", "-q", "-F", "2000", "--call-graph", "dwarf,16384",
                       "-o", output.c_str(), "-p", self.c_str(), static_cast<char*>(nullptr));
            } else {
                execlp("strace", "strace", "-c", "-f", "-o", output.c_str(), "-p", self.c_str(),
                       static_cast<char*>(nullptr));
            }
            std::perror("exec");
            _exit(127);
        }
        if (perf) {
            sleep(2); // perf gives no sign of being ready
            return;
        }
        // Traced from the moment the tracer is attached.
        for (int i = 0; i < 5000 && tracerPid() == 0; ++i) {
            usleep(1000);
        }
        if (tracerPid() == 0) {
            fail("strace did not attach");
        }
    }
    ~Tracer() {
        kill(pid, SIGINT);
        int status = 0;
        waitpid(pid, &status, 0);
    }
    Tracer(const Tracer&) = delete;
    Tracer& operator=(const Tracer&) = delete;

private:
    static long tracerPid() {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("TracerPid:", 0) == 0) {
                return std::strtol(line.c_str() + 10, nullptr, 10);
            }
        }
        return 0;
    }
    pid_t pid = -1;
};

struct Phase {
    const char* name;
    const char* what;
    long operations;
};

struct Measurement {
    double seconds = 0;
    // Processor time (user and system) of the process, or of the two
    // readers for phase 8.
    double cpuSeconds = 0;
    std::uint64_t checksum = 0;
    EngineCosts costs;
    bool done = false;
};

std::uint64_t combine(long changed, const Digest& state) {
    return static_cast<std::uint64_t>(changed) * 1000003ull ^ state.value();
}

std::uint64_t combine(const Digest& read, long missing) {
    return read.value() * 1000003ull ^ static_cast<std::uint64_t>(missing);
}

double semopPairNanoseconds = 0;
double pairCpuNanoseconds = 0;

double cpuSecondsOf(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

class SemopPairReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            double ns = run.GetAdjustedRealTime();
            switch (run.time_unit) {
            case benchmark::kSecond:
                ns *= 1e9;
                break;
            case benchmark::kMillisecond:
                ns *= 1e6;
                break;
            case benchmark::kMicrosecond:
                ns *= 1e3;
                break;
            case benchmark::kNanosecond:
                break;
            }
            semopPairNanoseconds = ns;
            pairCpuNanoseconds = ns * run.GetAdjustedCPUTime() / run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string rate(double operations, double seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.0f", seconds > 0 ? operations / seconds : 0.0);
    return text;
}

int runBenchmark(const Options& options, char* program) {
    std::string top =
        options.dir.empty() ? std::string() : std::filesystem::absolute(options.dir).string();
    bool ownTop = false;
    if (top.empty()) {
        char pattern[] = "/tmp/orv-peers-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        top = pattern;
        ownTop = true;
    }
    const Workload workload(options.n, options.r, options.seed);
    const Payloads payloads(options.r);
    const long n = options.n;
    const long r = options.r;

    const std::vector<Phase> phases = {
        {"insert", "N inserts, shuffled keys, one transaction", n},
        {"lookup", "N point lookups, one read transaction", n},
        {"scan", "full scan (rows/s)", n},
        {"update", "N/10 updates growing the payload to 3R", n / 10},
        {"delete", "N/2 deletes, one transaction", n / 2},
        {"rollback", "N/10 inserts, rolled back (inserts + rollback)", n / 10},
        {"txn1", "1,000 one-insert transactions", 1000},
        {"2proc", "2 processes x N/2 point lookups at once", n},
    };
    const int phaseCount = std::min<int>(options.lastPhase, static_cast<int>(phases.size()));

    int status = 0;
    std::vector<std::string> names;
    std::vector<std::vector<Measurement>> results;
    {
        // The systems, made in one place so that they are all gone (and the
        // engine's shared sets with them) before the directory is removed.
        std::vector<std::unique_ptr<System>> systems;
        std::vector<std::string> paths;
        Engine* engine = nullptr;
        try {
            if (options.engine) {
                const std::string dir = top + "/engine";
                mkdir(dir.c_str(), 0700);
                auto made = std::make_unique<Engine>(dir, payloads, 3 * r, options.lockWrites,
                                                     options.faultyUpdate);
                engine = made.get();
                systems.push_back(std::move(made));
                paths.push_back(dir);
            }
            if (options.sqlite) {
                const std::string dir = top + "/sqlite";
                mkdir(dir.c_str(), 0700);
                systems.push_back(std::make_unique<Sqlite>(dir + "/peers.db", payloads));
                paths.push_back(dir + "/peers.db");
            }
            if (options.lmdb) {
                const std::string dir = top + "/lmdb";
                mkdir(dir.c_str(), 0700);
                systems.push_back(std::make_unique<Lmdb>(dir, payloads));
                paths.push_back(dir);
            }
            for (const auto& system : systems) {
                names.push_back(system->name());
            }
            results.assign(systems.size(), std::vector<Measurement>(phases.size()));

            for (int phase = 0; phase < phaseCount; ++phase) {
                for (std::size_t s = 0; s < systems.size(); ++s) {
                    System& system = *systems[s];
                    Measurement& m = results[s][static_cast<std::size_t>(phase)];
                    const bool isEngine = &system == engine;
                    const long semopsBefore = orvbench::semopCalls;
                    const long latchBefore[3] = {latchCalls[0], latchCalls[1], latchCalls[2]};
                    const std::uintmax_t logBefore = isEngine ? engine->logBytes() : 0;
                    const long callsBefore = readWriteCalls();
                    const double cpuBefore = cpuSecondsOf(RUSAGE_SELF);
                    const double childCpuBefore = cpuSecondsOf(RUSAGE_CHILDREN);
                    std::unique_ptr<Tracer> tracer;
                    if (isEngine && !options.stracePrefix.empty()) {
                        tracer = std::make_unique<Tracer>(
                            options.stracePrefix + "." +
                                phases[static_cast<std::size_t>(phase)].name,
                            options.perf);
                    }
                    const auto start = std::chrono::steady_clock::now();
                    long changed = 0;
                    long missing = 0;
                    Digest read;
                    switch (phase) {
                    case 0:
                        changed = system.insert(workload.insertOrder, 0, r);
                        break;
                    case 1:
                        read = system.lookup(workload.lookups, missing);
                        break;
                    case 2:
                        read = system.scan();
                        break;
                    case 3:
                        changed = system.update(workload.updates, 1, 3 * r);
                        break;
                    case 4:
                        changed = system.remove(workload.deletes);
                        break;
                    case 5:
                        changed = system.insertRolledBack(workload.rolledBack, 0, r);
                        break;
                    case 6:
                        changed = system.insertOneByOne(workload.oneRecord, 2, r);
                        break;
                    case 7:
                        break;
                    }
                    m.seconds =
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                            .count();
                    m.cpuSeconds = cpuSecondsOf(RUSAGE_SELF) - cpuBefore;
                    if (phase == 7) {
                        m.seconds =
                            twoReaders(system.readerName(), paths[s], options, read, missing);
                        // The readers' whole lives: start, lookups, end.
                        m.cpuSeconds = cpuSecondsOf(RUSAGE_CHILDREN) - childCpuBefore;
                    }
                    tracer.reset();
                    if (isEngine) {
                        m.costs.semops = orvbench::semopCalls - semopsBefore;
                        for (int l = 0; l < 3; ++l) {
                            m.costs.latch[l] = latchCalls[l] - latchBefore[l];
                        }
                        m.costs.logBytes = engine->logBytes() - logBefore;
                        m.costs.syscalls = readWriteCalls() - callsBefore;
                    }
                    // Reads give their digest; writes the rows they changed
                    // and the table they left, read outside the timing.
                    if (phase == 1 || phase == 2 || phase == 7) {
                        m.checksum = combine(read, missing);
                    } else {
                        m.checksum = combine(changed, system.scan());
                    }
                    m.done = true;
                }
            }
        } catch (const OrvException& e) {
            std::cerr << "engine failure: " << e.what() << "\n";
            e.print_message(std::cerr);
            status = 1;
        } catch (const std::exception& e) {
            std::cerr << "failure: " << e.what() << "\n";
            status = 1;
        }
    }

    // The unit of the engine's hot paths, measured now, in the same run.
    if (options.unit) {
        int argc = 2;
        std::string filter = "--benchmark_filter=semopPair";
        char* argv[] = {program, filter.data(), nullptr};
        benchmark::Initialize(&argc, argv);
        SemopPairReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
    }

    // The tables: by elapsed time, then by processor time, which moves less
    // on a machine shared with other work.
    std::printf("\nN = %ld, R = %ld bytes, seed %u\n", n, r, options.seed);
    const bool engineFirst = !names.empty() && names[0] == "engine";
    bool mismatch = false;
    std::string mismatches;
    for (int table = 0; table < 2; ++table) {
        const auto secondsOf = [table](const Measurement& m) {
            return table == 0 ? m.seconds : m.cpuSeconds;
        };
        std::printf("\n%s\n", table == 0 ? "operations per second (elapsed time)"
                                         : "operations per processor second (user + system)");
        std::printf("%-9s %-48s", "phase", "work");
        for (const std::string& name : names) {
            std::printf(" %12s", name.c_str());
        }
        for (std::size_t s = 1; engineFirst && s < names.size(); ++s) {
            std::printf(" %14s", ("engine/" + names[s]).c_str());
        }
        std::printf("%s\n", table == 0 ? "  checksum" : "");
        for (int phase = 0; phase < phaseCount; ++phase) {
            const std::size_t at = static_cast<std::size_t>(phase);
            const Phase& p = phases[at];
            std::printf("%-9s %-48s", p.name, p.what);
            bool complete = true;
            for (std::size_t s = 0; s < names.size(); ++s) {
                const Measurement& m = results[s][at];
                complete = complete && m.done;
                std::printf(" %12s",
                            m.done ? rate(static_cast<double>(p.operations), secondsOf(m)).c_str()
                                   : "-");
            }
            for (std::size_t s = 1; engineFirst && s < names.size(); ++s) {
                const Measurement& mine = results[0][at];
                const Measurement& peer = results[s][at];
                if (mine.done && peer.done && secondsOf(mine) > 0) {
                    std::printf(" %14.2f", secondsOf(peer) / secondsOf(mine));
                } else {
                    std::printf(" %14s", "-");
                }
            }
            if (table == 1) {
                std::printf("\n");
                continue;
            }
            bool agree = complete;
            for (std::size_t s = 1; s < names.size() && complete; ++s) {
                agree = agree && results[s][at].checksum == results[0][at].checksum;
            }
            if (!names.empty() && complete) {
                std::printf("  %016" PRIx64 "%s\n", results[0][at].checksum,
                            agree ? "" : "  MISMATCH");
            } else {
                std::printf("  -\n");
            }
            if (complete && !agree) {
                mismatch = true;
                char line[64];
                std::snprintf(line, sizeof(line), "  %s:", p.name);
                mismatches += line;
                for (std::size_t s = 0; s < names.size(); ++s) {
                    std::snprintf(line, sizeof(line), " %s %016" PRIx64, names[s].c_str(),
                                  results[s][at].checksum);
                    mismatches += line;
                }
                mismatches += "\n";
            }
        }
    }

    if (options.engine && !names.empty() && names[0] == "engine") {
        std::printf("\nsemop pair: %.0f ns elapsed, %.0f ns processor time\n", semopPairNanoseconds,
                    pairCpuNanoseconds);
        std::printf("\nengine per operation (\"pairs\": the time in semop pairs; semop calls on\n"
                    "the latches of the lock list, the buffer pool and the log)\n");
        std::printf("%-9s %9s %7s %9s %7s %9s %6s %6s %6s %9s %11s\n", "phase", "us/op", "pairs",
                    "cpu us/op", "pairs", "semop/op", "lock", "buffer", "log", "logB/op",
                    "read+write");
        for (int phase = 0; phase < phaseCount; ++phase) {
            const Phase& p = phases[static_cast<std::size_t>(phase)];
            const Measurement& m = results[0][static_cast<std::size_t>(phase)];
            if (!m.done || phase == 7) {
                continue;
            }
            const double ops = static_cast<double>(p.operations);
            const double us = m.seconds * 1e6 / ops;
            const double cpuUs = m.cpuSeconds * 1e6 / ops;
            std::printf("%-9s %9.2f %7.1f %9.2f %7.1f %9.2f %6.2f %6.2f %6.2f %9.1f %11.2f\n",
                        p.name, us,
                        semopPairNanoseconds > 0 ? us * 1000 / semopPairNanoseconds : 0.0, cpuUs,
                        pairCpuNanoseconds > 0 ? cpuUs * 1000 / pairCpuNanoseconds : 0.0,
                        static_cast<double>(m.costs.semops) / ops,
                        static_cast<double>(m.costs.latch[LockListLatch]) / ops,
                        static_cast<double>(m.costs.latch[BufferPoolLatch]) / ops,
                        static_cast<double>(m.costs.latch[LogLatch]) / ops,
                        static_cast<double>(m.costs.logBytes) / ops,
                        static_cast<double>(m.costs.syscalls) / ops);
        }
    }
    if (mismatch) {
        std::fprintf(stderr, "\n*** CHECKSUM MISMATCH: the systems do not agree ***\n%s",
                     mismatches.c_str());
        status = 1;
    }
    if (ownTop) {
        std::error_code ignored;
        std::filesystem::remove_all(top, ignored);
    }
    return status;
}

} // namespace

BENCHMARK(orvbench::semopPair);

int main(int argc, char** argv) {
    orvbench::semopObserver = countLatchCall;
    Options options;
    std::string reader, path;
    int which = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                usage((arg + " needs a value").c_str());
            }
            return argv[++i];
        };
        if (arg == "--n") {
            options.n = parseNumber(value(), 20, 20000000, "--n");
        } else if (arg == "--r") {
            options.r = parseNumber(value(), 1, 1000, "--r");
        } else if (arg == "--seed") {
            options.seed = static_cast<unsigned>(parseNumber(value(), 0, 2000000000, "--seed"));
        } else if (arg == "--dir") {
            options.dir = value();
        } else if (arg == "--last-phase") {
            options.lastPhase = static_cast<int>(parseNumber(value(), 1, 8, "--last-phase"));
        } else if (arg == "--strace") {
            options.stracePrefix = value();
        } else if (arg == "--perf") {
            options.stracePrefix = value();
            options.perf = true;
        } else if (arg == "--lose-an-update") {
            options.faultyUpdate = true;
        } else if (arg == "--lock-writes") {
            options.lockWrites = true;
        } else if (arg == "--no-unit") {
            options.unit = false;
        } else if (arg == "--ipc-record") {
            ipcRecordFile = value();
        } else if (arg == "--systems") {
            const std::string list = std::string(",") + value() + ",";
            options.engine = list.find(",engine,") != std::string::npos;
            options.sqlite = list.find(",sqlite,") != std::string::npos;
            options.lmdb = list.find(",lmdb,") != std::string::npos;
            if (!options.engine && !options.sqlite && !options.lmdb) {
                usage("--systems names none of engine, sqlite, lmdb");
            }
        } else if (arg == "--cleanup") {
            cleanupRecordedSets(value());
            return 0;
        } else if (arg == "--reader") {
            reader = value();
        } else if (arg == "--path") {
            path = value();
        } else if (arg == "--which") {
            which = static_cast<int>(parseNumber(value(), 0, 1, "--which"));
        } else if (arg == "--help" || arg == "-h") {
            usage("help");
        } else {
            usage(("unknown option " + arg).c_str());
        }
    }
    if (!reader.empty()) {
        try {
            return runReader(reader, path, options.n, options.r, options.seed, which);
        } catch (const OrvException& e) {
            std::cerr << "reader: engine failure: " << e.what() << "\n";
            return 1;
        } catch (const std::exception& e) {
            std::cerr << "reader: " << e.what() << "\n";
            return 1;
        }
    }
    return runBenchmark(options, argv[0]);
}
