// OrvRecovery: reads the log back into entry objects and derives the lists
// that the record and index managers work through to roll a transaction
// back or to recover the database after a failure. It reads; it changes
// nothing.
//
// Reading: log files 1.log, 2.log, ... of the log directory, in number
// order, up to the first file that is missing; each file is read in chunks,
// so memory holds the entries read, not the files. A file that is there but
// cannot be opened or read (an I/O error) throws ORV_LOGM_FILE_READ_FAILED,
// and so does such a failure while a chain is followed: going on without
// its entries would leave a rollback or a recovery half done. A log
// file that is a symbolic link is refused (ORV_LOGM_FILE_IS_LINK), not taken
// for the end of the log. The first truncated or malformed entry (see
// log/OrvLogReader.h) is the end of the log as well: neither the rest of
// its file nor later files are read, and a trace record names the file, the
// offset and what is wrong there.
//
// Runs. A process writes the entries of one transaction as a chain: each
// entry names the LSN of the entry before it (record and index entries
// alike), the first one 0,0. Transaction ids repeat in the log (most
// processes run as (pid, 0), and pids are reused), so a transaction id alone
// does not tell which entries belong together; a run is one such chain. An
// entry whose previous LSN names no entry of the same transaction before it
// begins a run of its own.
//
// Ends. Within a run, a COMMIT entry (record or index) ends the work before
// it for both kinds of entries: the transaction's record changes are
// committed, and undoing its index changes would leave the indexes out of
// step with them. A ROLLBACK entry ends the work before it only for its own
// kind: the record manager rolls back and writes its ROLLBACK before the
// index manager has undone the index entries. What a run wrote after its
// last end (for a kind) is its open work of that kind.
//
//   rollback list (component, transaction): the open work of the current run
//     of the transaction, newest first;
//   undo lists: the open work of every run in the log, newest first.
//
// Ownership: the object owns the redo arrays and the lists; the lists point
// into the arrays. Everything a getter returns lives as long as the object
// and until the next AnalyseLog. One object serves one operation.
//
// Process safety: per process; reads the log files without the log latch,
// so it sees every entry whose append has returned.
#ifndef ORV_RECOVERY_H
#define ORV_RECOVERY_H

#include "OrvLog.h"
#include "OrvLsn.h"
#include "OrvTransaction.h"
#include "log/OrvIndexLogEntry.h"
#include "log/OrvRecordLogEntry.h"

#include <functional>
#include <string>
#include <vector>

class OrvRecovery {
public:
    // Reads the log directory that the process's log manager names (made on
    // first use; needs the set LogFileHandling).
    OrvRecovery();
    // Reads the log files of the given directory; no log manager is needed
    // to analyse it.
    explicit OrvRecovery(const std::string& logDirectory);
    ~OrvRecovery();
    OrvRecovery(const OrvRecovery&) = delete;
    OrvRecovery& operator=(const OrvRecovery&) = delete;

    // Reads all log files into the redo arrays: the record entries with
    // RECORD or ALL, the index entries with INDEX or ALL; the other array
    // keeps as many empty entries as the log holds of its kind. Always
    // returns true. Throws the log manager's errors when it has to name the
    // directory, ORV_LOGM_FILE_IS_LINK for a log file that is a symbolic
    // link, and the entries' errors.
    bool AnalyseLog(rollbackComponent component);

    // Builds the undo lists of the component (both with ALL) and writes an
    // empty line to standard output for each. False when the log was not
    // analysed for that component.
    bool makeUndoLists(rollbackComponent component);

    // Builds the rollback list of the component for the current run of the
    // transaction in this process: the run that ends with the last entry the
    // process's log manager wrote for it. A process that wrote no entry of
    // the transaction gets an empty list, whatever earlier processes with
    // the same id left in the log. ALL builds nothing. False when the log was
    // not analysed for that component.
    bool makeRollbackLists(rollbackComponent component, const OrvTransactionId& transactionId);
    // The same for the run of the transaction that holds the entry at
    // lastEntry, up to that entry (for tools that know where a run ended).
    bool makeRollbackLists(rollbackComponent component, const OrvTransactionId& transactionId,
                           const OrvLsn& lastEntry);

    // The rollback list of the component for the current run of the
    // transaction in this process, as makeRollbackLists builds it, but read
    // by following the run's previous LSNs back from the last entry the
    // process's log manager wrote for it, to the run's first entry or its
    // last end (a COMMIT, or a ROLLBACK of the component's kind): the cost
    // grows with the run's own entries, not with the log. The redo array of
    // the component then holds the run's open entries only, newest first
    // (the other array is empty). An entry of the chain that cannot be read
    // (a damaged log) ends it, with a trace record. RECORD or INDEX; ALL
    // builds nothing. Throws ORV_LOGM_FILE_IS_LINK for a log file that is a
    // symbolic link, and the entries' errors.
    bool rollbackRunByChain(rollbackComponent component, const OrvTransactionId& transactionId);
    // The same from the run's entry at lastEntry (no log manager needed).
    bool rollbackRunByChain(rollbackComponent component, const OrvTransactionId& transactionId,
                            const OrvLsn& lastEntry);

    // AnalyseLog, then makeUndoLists.
    bool recoverDb(rollbackComponent component);
    // AnalyseLog, then makeRollbackLists.
    bool rollbackTransaction(rollbackComponent component, const OrvTransactionId& transactionId);

    // The redo arrays, in log order (null when empty), and their lengths.
    OrvRecordLogEntry* getRecordRedoList();
    OrvIndexLogEntry* getIndexRedoList();
    int getRecordRedoListLength() const;
    int getIndexRedoListLength() const;
    // The lists as arrays of pointers into the redo arrays; null and 0 until
    // the list was built (and when it is empty).
    OrvRecordLogEntry** getRecordUndoList();
    OrvIndexLogEntry** getIndexUndoList();
    int getRecordUndoListLength() const;
    int getIndexUndoListLength() const;
    // For entry i of the record undo list: the LSN of the last entry (of
    // either kind) of its run, where the work that ends the run continues
    // its chain. Requires i below getRecordUndoListLength().
    OrvLsn getRecordUndoRunEnd(int i) const;
    // The same for entry i of the index undo list.
    OrvLsn getIndexUndoRunEnd(int i) const;
    OrvRecordLogEntry** getRecordRollbackList();
    OrvIndexLogEntry** getIndexRollbackList();
    int getRecordRollbackListLength() const;
    int getIndexRollbackListLength() const;

    // ---- What a recovery did. ----
    // The managers' recovery reports here, as it works, each entry it
    // redid or undid and each run it ended, so that the start can say what
    // it did; and every step of its passes, so that a long log shows
    // progress.
    //
    // progress(pass, done, total): called after each of the `total` entries
    // of a pass ("record redo", "index undo", ...) with the number done.
    using Progress = std::function<void(const char* pass, Uint64 done, Uint64 total)>;
    void setProgress(Progress progress);
    void step(const char* pass, Uint64 done, Uint64 total);
    void noteRedone();
    void noteUndone();
    // A run ended by recovery: the LSN of its last entry when recovery
    // began, and that of the end entry recovery wrote for it. (The record
    // pass runs first; its end entry is then the last entry of the run the
    // index pass finds, which is how the two passes' runs are matched.)
    struct EndedRun {
        OrvLsn lastEntry;
        OrvLsn endEntry;
    };
    void noteEnded(const OrvLsn& lastEntry, const OrvLsn& endEntry);
    Uint64 redoneEntries() const;
    Uint64 undoneEntries() const;
    const std::vector<EndedRun>& endedRuns() const;

private:
    // What the list building needs of every entry of the log, of both kinds.
    struct ChainEntry {
        OrvLsn lsn;
        OrvLsn prevLsn;
        OrvTransactionId transactionId;
        Sint32 type;
        char kind;  // 'R' or 'I'
        int index;  // position in its redo array; -1 when not read into it
        size_t run; // the run the entry belongs to
    };

    void reset();
    // Gives every chain entry its run.
    void assignRuns();
    // Whether the entry ends the open work of entries of this kind.
    static bool endsWorkOf(const ChainEntry& entry, char kind);
    // Positions (in chainEntries) of the open work of this kind: of every run
    // when run is null, else of that run up to position `upTo`; newest first.
    std::vector<size_t> openWork(char kind, const size_t* run, size_t upTo) const;
    bool analysedFor(rollbackComponent component) const;
    const std::string& directory();

    // The lists are empty until they are built, so their lengths are those
    // of the vectors.
    std::vector<OrvRecordLogEntry> oRecordRedo;
    std::vector<OrvIndexLogEntry> oIndexRedo;
    std::vector<OrvRecordLogEntry*> oRecordRollback;
    std::vector<OrvIndexLogEntry*> oIndexRollback;
    std::vector<OrvRecordLogEntry*> oRecordUndo;
    std::vector<OrvIndexLogEntry*> oIndexUndo;
    std::vector<OrvLsn> recordUndoRunEnds;
    std::vector<OrvLsn> indexUndoRunEnds;

    std::string logDirectory;
    std::vector<ChainEntry> chainEntries;
    bool analysedRecords;
    bool analysedIndexEntries;

    Progress progress;
    Uint64 redone = 0;
    Uint64 undone = 0;
    std::vector<EndedRun> ended;
};

#endif
