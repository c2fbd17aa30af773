// Transaction identifiers and the process's current transaction.
//
// A transaction belongs to one engine process: it is named by the process id
// and the number of the transaction within that process. Lock entries, log
// entries and per-transaction bookkeeping carry an OrvTransactionId; the
// managers ask OrvTransactionManager for the one under which they work.
//
// Process safety: OrvTransactionId is a plain value, also stored in shared
// memory (the lock list). OrvTransactionManager is per process and used by
// its single thread.
//
// Forked processes: the manager remembers the process id of the process that
// made it. A child made by fork() inherits the parent's manager and with it
// the parent's transaction id, and must not work under it (its locks and log
// entries would be taken for the parent's). A forked child that works with
// the engine calls OrvTransactionManager::resetForProcess() first.
#ifndef ORV_TRANSACTION_H
#define ORV_TRANSACTION_H

#include "OrvErrorCodes.h"
#include "OrvTypes.h"

#include <ostream>
#include <string>
#include <sys/types.h>
#include <type_traits>

class OrvTransactionId {
public:
    // (0,0): marks free entries of the lock list.
    static const OrvTransactionId INVALID_TRANSACTION_ID;

    // The calling process's id and count 0.
    OrvTransactionId();
    // constexpr, so that constants such as INVALID_TRANSACTION_ID are built
    // at compile time, before anything else of the process exists.
    constexpr OrvTransactionId(pid_t processId, Uint16 uniqueCount)
        : mProcessID(processId), mUniqueCount(uniqueCount) {}
    // Parses the text form "<process id>,<count>": an optional '-' and
    // decimal digits, a comma, decimal digits; no blanks; each number within
    // its type's range. Anything else throws OrvException
    // ORV_TRANSACTION_ID_PARSING_FAILED with the text.
    explicit OrvTransactionId(const std::string& text);

    pid_t getProcessID() const;
    Uint16 getUniqueCount() const;

    // The text form, e.g. "4711,3".
    std::string dump() const;

    // Inline and untraced: the lock manager compares ids for every entry of a
    // bucket it walks, and a call with a trace scope there cost a fifth of a
    // lock request with many locks held.
    bool operator==(const OrvTransactionId& other) const {
        return mProcessID == other.mProcessID && mUniqueCount == other.mUniqueCount;
    }
    bool operator!=(const OrvTransactionId& other) const { return !(*this == other); }

private:
    pid_t mProcessID;
    Uint16 mUniqueCount;
};

static_assert(sizeof(pid_t) == 4, "process ids are stored as signed 32-bit numbers");
static_assert(std::is_trivially_copyable<OrvTransactionId>::value,
              "transaction ids are stored in shared memory");

// Writes dump().
std::ostream& operator<<(std::ostream& os, const OrvTransactionId& id);

class OrvTransactionManager {
public:
    // The process's manager, made on first use with the transaction
    // (getpid(), 0). Making a manager registers the debug command
    // "transactionId" (again, after resetForProcess()).
    static OrvTransactionManager* getInstance();
    // Deletes the manager, if there is one; the next getInstance() makes a new
    // one for the calling process, starting again at count 0. For a forked
    // child (see the top of this file) and for tests.
    static void resetForProcess();

    OrvTransactionManager(const OrvTransactionManager&) = delete;
    OrvTransactionManager& operator=(const OrvTransactionManager&) = delete;

    OrvTransactionId getCurrentTransactionID() const;
    // Moves on to the next transaction of this process. The count is 16 bits
    // wide and wraps from 65535 to 0. The new transaction is unmarked.
    [[nodiscard]] OrvErrorCode startNewTransaction();

    // A catalog change of the current transaction failed after it had
    // changed something: the catalog would be left half-changed, so the
    // transaction may only be rolled back (OrvClientTransaction::commit
    // refuses it).
    void markCatalogWriteFailed() { catalogWriteFailed = true; }
    bool hasFailedCatalogWrite() const { return catalogWriteFailed; }

    // The "transactionId" debug command: writes "Current TransactionId: " and
    // the current id on a line of standard output. Ignores its arguments.
    static void dumpCurrentTransactionId(const std::string* args);

private:
    OrvTransactionManager();
    ~OrvTransactionManager() = default;

    OrvTransactionId mCurrentTransactionID;
    bool catalogWriteFailed = false;

    static OrvTransactionManager* instance;
};

// Transactions for a process that links the engine: without them a process
// keeps every lock it took until it exits.
//
//   OrvClientTransaction::begin();
//   {
//       OrvTransactionGuard guard;   // rolls back unless committed
//       ... record operations ...
//       guard.commit();
//   }
//
// All act on this process's managers only (single-threaded, as every engine
// process); they need the lock list and buffer pool, commit and rollback
// also the log. The index manager takes its turn after the record manager in
// commit and rollback alike.
class OrvClientTransaction {
public:
    // Starts a new transaction: a new transaction id for this process.
    static void begin();
    // Commits the current transaction, in this order: a transaction whose
    // catalog change failed part way is refused (ORV_TX_CATALOG_WRITE_FAILED,
    // nothing committed: roll it back), every fix of this
    // process must have been given back (ORV_BM_FIXES_LEFT otherwise, and
    // nothing is committed), the record manager's COMMIT log entry, the
    // index manager's COMMIT log entry, the buffer manager's commit (pending segment drops), every
    // lock of the transaction released, then a new transaction id. A failure of one step is raised,
    // and the steps behind it are not taken.
    static void commit();
    // Rolls the current transaction back, in the same order: no fix left
    // (ORV_BM_FIXES_LEFT, nothing is undone), the record manager's rollback
    // (its changes undone, its ROLLBACK log entry), the index manager's
    // rollback (the same for the indexes; the index trees made in the
    // transaction forgotten, the dropped ones back), the buffer manager's
    // rollback (tables it made are deleted, its drops forgotten), every lock
    // released, a new transaction id. A failure of one step is raised, and
    // the steps behind it are not taken: the locks stay, so nobody sees the
    // changes, and the rollback may be tried again.
    static void rollback();
};

// Rolls the current transaction back when it goes out of scope without
// commit(): an operation that throws leaves no half-done transaction behind.
// The destructor never throws; a failed rollback is recorded in the error
// object and traced (the transaction's locks then stay held). Move-only.
class OrvTransactionGuard {
public:
    OrvTransactionGuard() = default;
    ~OrvTransactionGuard();
    OrvTransactionGuard(OrvTransactionGuard&& other) noexcept;
    OrvTransactionGuard& operator=(OrvTransactionGuard&& other) = delete;
    OrvTransactionGuard(const OrvTransactionGuard&) = delete;
    OrvTransactionGuard& operator=(const OrvTransactionGuard&) = delete;

    // OrvClientTransaction::commit(); the guard is done once it succeeded
    // (a failed commit is rolled back by the destructor).
    void commit();
    // OrvClientTransaction::rollback() now; errors are raised. The guard is
    // done afterwards, whether the rollback succeeded or not.
    void rollback();

private:
    bool done = false;
};

#endif
