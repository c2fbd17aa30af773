// The write-ahead log: the kinds of log entries and the log manager.
//
// Every change the record manager or an index page makes is described by a
// log entry (log/OrvRecordLogEntry.h, log/OrvIndexLogEntry.h) that is
// appended to the log before the changed page may reach its file. The log
// manager gives each entry its log sequence number (OrvLsn: log file number
// and byte offset) and links the entries one process writes for one
// transaction by their previous LSNs. OrvRecovery (log/OrvRecovery.h) reads
// the log back for rollback and recovery.
//
// Log files: "1.log", "2.log", ... in one log directory for the whole
// database: the working directory of the start program, resolved when the
// log file handling area is created and kept in that area, so that
// processes started from any directory write and read the same files. A new
// file is begun only when the current one holds more than 10485760 bytes.
// Files are never deleted by the engine. They are cut only where an append
// did not finish, so that the entries appended after it can be read back:
// a failed append takes its own partial bytes away again, the next appender
// cuts off what a writer that died in the middle of its append left behind,
// and the start cuts a torn tail (a broken entry with no whole entry of the
// file behind it) off the newest file. Whole entries are never cut: any
// other damage stops the start and changes nothing. Log files are opened
// without following symbolic links. The log directory belongs to one
// database (its identity is in the file "log.owner" there) and to the owner
// of the database directory.
//
// Process safety: the shared memory set LogFileHandling holds the latch,
// the current file number, where the whole entries of the current file end,
// and the log directory. Writers of all processes
// serialise on that latch (held exclusively for the choice of the file, the
// LSN and the write of one entry), so LSNs are unique and ascend in the
// order of the writes. The previous-LSN chain is per process and needs no
// latch. Readers (OrvRecovery, the dumps) read the files without the latch;
// they see every entry whose append has returned.
#ifndef ORV_LOG_H
#define ORV_LOG_H

#include "OrvLsn.h"
#include "OrvTransaction.h"
#include "OrvTypes.h"

#include <string>
#include <sys/types.h>

// The kind of a log entry (stored as its decimal value in the log).
enum transType : Sint32 {
    COMMIT = 1,
    ROLLBACK = 2,
    INSERT = 3,
    DELETE = 4,
    UPDATE = 5,
    CREATE = 6,
    DROP = 7,
    COMPENSATE_INSERT = 8,
    COMPENSATE_DELETE = 9,
    COMPENSATE_UPDATE = 10,
    COMPENSATE_CREATE = 11,
    COMPENSATE_DROP = 12,
    VARCHAR_OPERATION = 13,
    VARCHAR_REDO = 14,
    VARCHAR_UNDO = 15,
    INTEGER_OPERATION = 16,
    INTEGER_REDO = 17,
    INTEGER_UNDO = 18
};

static_assert(sizeof(transType) == 4, "entry kinds are 32-bit values");

constexpr Sint32 ORV_MIN_TRANS_TYPE = COMMIT;
constexpr Sint32 ORV_MAX_TRANS_TYPE = INTEGER_UNDO;

// Which entries an analysis of the log handles: index entries, record
// entries, or both.
enum rollbackComponent : int { INDEX = 0, RECORD = 1, ALL = 2 };

// A log file is not started anew while it holds this many bytes or fewer.
constexpr Uint32 ORV_LOG_FILE_SWITCH_SIZE = 10485760;

class OrvAbstractLogEntry;
struct LogFileHandling;

// The log manager of the process.
//
// Errors: operations throw OrvException; the codes are named per operation.
class OrvLogManager {
public:
    // System start: resolves the working directory of the calling process
    // (the start program), then creates the set LogFileHandling exclusively,
    // initialises its latch (whose error is raised unchanged), stores the
    // directory, takes up the log and detaches.
    //
    // The log directory (the working directory) must belong to the owner of
    // the database directory, and to this database: the first start writes
    // the database directory's device and inode (and its path, for messages)
    // into "log.owner" in the log directory; a later start of another
    // database there is refused before anything is created or changed.
    //
    // Taking up the log: the newest log file is the last of 1.log, 2.log,
    // ... before the first missing number (the readers stop there too);
    // appends go on in it, so LSNs keep growing across starts. Without log
    // files the file number is 1. Every log file is read (in chunks, so the
    // size of a file costs time, not memory). A torn tail of the newest file
    // (a broken entry with no whole entry of the file behind it: an append
    // that did not finish before the engine stopped) is cut back to the end
    // of its last whole entry, with a trace record naming the file and the
    // offset. Any other damage, with whole entries behind it or in an older
    // file, stops the start and no byte is changed: cutting would destroy
    // those entries, and appending behind damage would hide the new ones
    // from every reader.
    //
    // Throws the memory set errors (ORV_MM_SHM_CREATE_FAIL when the set
    // exists: an engine may be running, and no file is touched), and
    // ORV_LOGM_FILE_OPEN_FAILED when the working directory cannot be
    // resolved or is longer than the area can hold (4075 bytes), the
    // database directory cannot be examined, or a log file cannot be read;
    // ORV_LOGM_LOG_DIRECTORY_OWNER, ORV_LOGM_LOG_DIRECTORY_TAKEN for a log
    // directory of another user or another database;
    // ORV_LOGM_LOG_FILE_DAMAGED (file, offset, what is wrong) for damage
    // that is no torn tail; ORV_LOGM_FILE_IS_LINK for a log file that is a
    // symbolic link or no regular file; ORV_LOGM_FILE_WRITE_FAILED when the
    // tail cannot be cut, ORV_LOGM_FILE_CLOSE_FAILED when the file cannot be
    // closed. The set is not created then.
    static void initializeLogFileHandling();

    // System stop: removes the latch's semaphore set and then the set
    // (OrvSharedSet::destroy). Without force it waits for a writer that holds
    // the latch; a writer that died holding it has its hold freed first. With
    // force it removes both regardless. Throws ORV_MM_SHM_NOT_EXISTS when the set does not
    // exist (the stop sequence decides whether that matters); a set that
    // disappears while it is being removed counts as removed.
    static void destroyLogFileHandling(bool force = false);

    // The process's log manager, made on first use: attaches to the set and
    // registers the debug command "LOG_PRINT". Throws ORV_MM_SHM_NOT_EXISTS
    // when the set does not exist, ORV_INTERNAL_FAIL when its content is not
    // that of an initialised area, ORV_LOGM_LOG_DIRECTORY_OWNER when the log
    // directory it names is not a directory of the database directory's
    // owner (it stays detached then).
    static OrvLogManager* getInstance();
    // Deletes the manager, if there is one (detaching from the set); the next
    // getInstance() makes a fresh one, whose previous-LSN chain starts anew.
    static void deleteInstance();

    OrvLogManager(const OrvLogManager&) = delete;
    OrvLogManager& operator=(const OrvLogManager&) = delete;

    // Appends the entry to the current log file and returns its LSN (the
    // file number and the offset of its first byte). Sets the entry's LSN and
    // previous LSN: the LSN of the last entry this process wrote, when that
    // was of the same transaction, else 0,0. The entry is in the file (not
    // necessarily on the storage device) when the call returns. The caller
    // keeps the entry. REQUIRES: the process does not hold the log latch.
    //
    // The process keeps the file of its last append open while that file is
    // the current one; it is closed when the log has moved on to the next
    // file, by this process or another. (So a log file must not be removed or
    // replaced while the engine runs, which the engine never does: processes
    // that have it open would go on appending to the removed file.)
    //
    // Before it appends, it cuts off the bytes that an append of any process
    // which did not finish left behind the last whole entry of the current
    // file (a writer that died in the middle of its write), with a trace
    // record naming the file and the offset; whole entries are kept.
    //
    // Throws ORV_LOGM_ENTRY_TOO_LARGE for an image longer than readers take
    // (OrvLogReader::MAX_IMAGE_LENGTH; nothing is written),
    // ORV_LOGM_FILE_IS_LINK when the log file is a symbolic link,
    // ORV_LOGM_FILE_OPEN_FAILED, ORV_LOGM_FILE_WRITE_FAILED (after
    // taking the entry's partial bytes out of the file again; also when the
    // bytes of an unfinished append cannot be cut off),
    // ORV_LOGM_FILE_CLOSE_FAILED (closing the previous log file failed; the
    // entry is not written), ORV_LOGM_SERIALIZE_FAILED, and the latch's
    // errors; after a failure the previous-LSN chain is unchanged.
    //
    // With ORV_LOG_SYNC=commit, a COMMIT or ROLLBACK entry is synced to the
    // device (after the latch is released) before the call returns;
    // ORV_LOGM_FILE_SYNC_FAILED when that fails (the entry is in the file
    // then, but maybe not on the device).
    OrvLsn createLogEntry(OrvAbstractLogEntry* entry);

    // How the log reaches its device, from ORV_LOG_SYNC (read once per
    // process; the start checks it too):
    //   None (not set, empty or "none"): an entry is in the file when
    //     createLogEntry returns, and on the device when the system writes it
    //     back. A process that dies loses nothing; a power loss or a crash of
    //     the machine may lose the last commits.
    //   Commit ("commit"): a COMMIT or ROLLBACK entry, with every entry
    //     before it, is on the device (fdatasync, and the directory synced
    //     for a new log file) when createLogEntry returns, and a log file is
    //     synced before the log moves on to the next one. A commit that
    //     returned survives a power loss.
    // Throws ORV_LOGM_SYNC_SETTING_INVALID for any other value.
    enum class SyncMode { None, Commit };
    static SyncMode syncMode();
    // Sets the mode of this process in place of ORV_LOG_SYNC (a program that
    // measures both, say).
    static void setSyncMode(SyncMode mode);

    // The LSN of the last entry this process wrote, if it was of this
    // transaction; else 0,0 (also when this process wrote nothing for it).
    OrvLsn getLastLsn(const OrvTransactionId& transactionId) const;
    // Makes `lastLsn` the previous LSN of the next entry this process writes
    // for `transactionId`: recovery ends the work of a transaction whose
    // process died, and its entries must join that transaction's chain.
    void continueChain(const OrvTransactionId& transactionId, const OrvLsn& lastLsn);
    // continueChain for the life of the object: the chain this process had
    // before is continued again when it ends, also after a throw.
    class ChainOf {
    public:
        ChainOf(const OrvTransactionId& transactionId, const OrvLsn& lastLsn);
        ~ChainOf();
        ChainOf(const ChainOf&) = delete;
        ChainOf& operator=(const ChainOf&) = delete;

    private:
        OrvLogManager* log;
        OrvTransactionId ownTransaction;
        OrvLsn ownLast;
    };

    // Where this process publishes, within the log latch of each append,
    // the last entry it wrote for a transaction of its own (packed by
    // packLastEntry), so that another process can roll that transaction
    // back should this one die. The word lies in shared memory (the lock
    // list's process table) and is written with one atomic store; null
    // stops the publishing. Entries written under other processes' ids
    // (recovery, the takeover of a dead transaction) are not published.
    static void publishLastEntryTo(Uint64* word);
    // count (16 bits) | file number (16) | offset (32); 0 is "none".
    static Uint64 packLastEntry(Uint16 count, const OrvLsn& lsn);
    static void unpackLastEntry(Uint64 word, Uint16& count, OrvLsn& lsn);

    // The absolute directory that holds the log files.
    const std::string& getLogDirectory() const;
    // The path of log file n in the log directory.
    std::string getLogFileName(Uint16 logFileNumber) const;

    // Writes the text and a line break to standard output.
    void printlog(const char* text);
    // The dumps of "LOG_PRINT" (standard output). They read the log with
    // OrvRecovery and throw what it throws.
    void showLogRecords(const OrvTransactionId& transactionId);
    void showLogRecords(const OrvLsn& first, const OrvLsn& last);
    void listLSN(Uint16 logFileNumber);

    // The "LOG_PRINT" debug command (see the log manager's source for the
    // arguments); "Wrong Parameters" for anything it does not know. A bad
    // transaction id throws ORV_TRANSACTION_ID_PARSING_FAILED, a bad LSN
    // ORV_LOGM_LSN_PARSING_FAILED.
    static void logPrint(const std::string* args);

private:
    OrvLogManager();
    ~OrvLogManager();

    // Opens log file n as the process's open log file; false when it does
    // not open. REQUIRES: no log file is open.
    bool openLogFile(Uint16 logFileNumber);
    // Closes the open log file, if any; false when the close failed (the
    // descriptor is released all the same).
    bool closeLogFile();
    // Under the latch, with log file n open and size bytes long: cuts off
    // what an append that did not finish left behind the whole entries, and
    // returns the file's length after that. Throws ORV_LOGM_FILE_OPEN_FAILED
    // (the rest cannot be read) and ORV_LOGM_FILE_WRITE_FAILED (it cannot be
    // cut); the file is closed then.
    off_t cutUnfinishedAppend(Uint16 logFileNumber, off_t size);
    // createLogEntry under the latch: the choice of the file, the LSN and
    // the append.
    OrvLsn appendEntry(OrvAbstractLogEntry* entry);
    // fdatasync of log file n open as fd, and of the log directory the
    // first time this process syncs file n; ORV_LOGM_FILE_SYNC_FAILED.
    void syncLogFile(int fd, Uint16 logFileNumber);

    LogFileHandling* logfilehandling;
    // The LSN and transaction of the last entry this process appended; 0,0
    // and (0,0) before the first.
    OrvLsn prevLsn;
    OrvTransactionId prevTransactionId;
    // The absolute directory of the log files, copied from the area.
    std::string logDirectory;
    // The log file of the last append, kept open while it is the current one
    // (-1: none), and its number.
    int logFd;
    Uint16 logFdNumber;
    // The log file whose name this process last synced into the directory.
    Uint16 syncedDirectoryFor;

    static OrvLogManager* instance;
};

#endif
