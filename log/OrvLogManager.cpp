#include "log/OrvLogManager.h"

#include "OrvDebug.h"
#include "OrvError.h"
#include "OrvException.h"
#include "log/OrvAbstractLogEntry.h"
#include "log/OrvIndexLogEntry.h"
#include "log/OrvLogReader.h"
#include "log/OrvRecordLogEntry.h"
#include "log/OrvRecovery.h"
#include "support/OrvDatabasePath.h"
#include "support/OrvDecimalText.h"
#include "support/OrvIo.h"
#include "support/OrvMemoryManager.h"
#include "support/OrvSharedSet.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

OrvLogManager* OrvLogManager::instance = nullptr;

namespace {

const char* const OPEN_FAILED_TEXT = "Fehler beim öffnen der Datei";
const char* const CLOSE_FAILED_TEXT = "Fehler beim Schliessen der Datei";
const char* const WRITE_FAILED_TEXT = "Fehler beim Schreiben in Datei";

const char* const RECORD_HEADING =
    "Logentry Type\t|LSN\t|Prev LSN\t|Trans Id\t|Prim TID\t|Old Sec TID\t|New Sec "
    "TID\t|SegID\t|BefImgLen\t|BefImg\t|AftImgLen\t|AftImg\t|Transtype\t";
const char* const INDEX_HEADING =
    "Logentry Type\t|LSN\t|Prev LSN\t|Trans Id\t|Page "
    "ID\t|SegID\t|BefImgLen\t|BefImg\t|AftImgLen\t|AftImg\t|Transtype\t";

// Log files are shared by all processes of the database, which may run
// under different users of one group, as the shared memory sets do.
constexpr mode_t LOG_FILE_MODE = 0660;

// Reports a failure of a log file operation the way every such failure is
// reported: a line on standard error, a trace record in the error object.
void reportFileFailure(const char* text, const char* function, Uint32 line) {
    std::cerr << text << std::endl;
    OrvError::getErrorObject()->addTraceRecord(__FILE__, function, line);
}

#define ORV_LOG_FILE_FAILURE(text) reportFileFailure((text), __PRETTY_FUNCTION__, __LINE__)

// The length of the open log file, or a negative value when it cannot be
// had. By lseek rather than fstat: after an append, fstat on ext4 costs more
// than the append itself, lseek a fraction.
off_t lengthOf(int fd) {
    return OrvIo::lseek(fd, 0, SEEK_END);
}

std::string logFileName(const char* directory, Uint32 number) {
    return std::string(directory) + "/" + std::to_string(number) + ".log";
}

// Opens a log file without following a symbolic link in its place (a link
// would send the entries, record bytes included, wherever it points) and
// makes sure it is a regular file (O_NONBLOCK, which does nothing to a
// regular file, keeps a FIFO in its place from blocking the open). Returns
// the descriptor, or a negated errno; a link or another kind of file is
// reported and thrown.
int openLogFileAt(const std::string& name, int flags, mode_t mode = 0) {
    int fd = OrvIo::open(name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd == -ELOOP) {
        ORV_LOG_FILE_FAILURE(OPEN_FAILED_TEXT);
        ORV_THROW(ORV_LOGM_FILE_IS_LINK, name);
    }
    if (fd < 0) {
        return fd;
    }
    struct stat status;
    if (::fstat(fd, &status) == 0 && !S_ISREG(status.st_mode)) {
        (void)OrvIo::close(fd);
        ORV_LOG_FILE_FAILURE(OPEN_FAILED_TEXT);
        ORV_THROW(ORV_LOGM_FILE_IS_LINK, name);
    }
    return fd;
}

// Closes fd when it goes out of scope, unless released.
class FileCloser {
public:
    explicit FileCloser(int fd) : fd(fd) {}
    ~FileCloser() {
        if (fd >= 0) {
            (void)OrvIo::close(fd);
        }
    }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;
    int release() {
        int kept = fd;
        fd = -1;
        return kept;
    }

private:
    int fd;
};

[[noreturn]] void throwOpenFailed(const std::string& name) {
    ORV_LOG_FILE_FAILURE(OPEN_FAILED_TEXT);
    ORV_THROW(ORV_LOGM_FILE_OPEN_FAILED, name);
}

[[noreturn]] void throwDamaged(const std::string& name, std::size_t offset,
                               const std::string& problem) {
    ORV_TRACE(LogManager);
    std::string text = "log file " + name + " at offset " + std::to_string(offset) + ": " +
                       problem + "; the start stops, the file is not changed";
    orvTrace.traceString(1, text.c_str());
    OrvError::getErrorObject()->addTraceRecord(__FILE__, __PRETTY_FUNCTION__, __LINE__);
    ORV_THROW(ORV_LOGM_LOG_FILE_DAMAGED, name, std::to_string(offset), problem);
}

// The length of the open log file, which the start reads in chunks.
Uint64 lengthForReading(int fd, const std::string& name) {
    off_t length = lengthOf(fd);
    if (length < 0) {
        throwOpenFailed(name);
    }
    return static_cast<Uint64>(length);
}

// Reads a log file through, in chunks, and says where its whole entries
// end; throws when it cannot be read.
OrvLogReader::FileResult readThrough(const OrvLogReader::Source& source, const std::string& name,
                                     Uint16 number) {
    OrvLogReader::FileResult result =
        OrvLogReader::parseSource(source, number, [](const OrvLogReader::EntryView&) {});
    if (result.readError != 0) {
        throwOpenFailed(name);
    }
    return result;
}

// A log file older than the newest one must hold whole entries only: new
// entries go to the newest file, so anything wrong in an older one stays
// there, and every entry behind it would never be read back. It stops the
// start.
void checkOlderLogFile(const std::string& name, Uint16 number) {
    int fd = openLogFileAt(name, O_RDONLY);
    if (fd < 0) {
        throwOpenFailed(name);
    }
    FileCloser closer(fd);
    const OrvLogReader::Source source = OrvLogReader::fileSource(fd, lengthForReading(fd, name));
    const OrvLogReader::FileResult result = readThrough(source, name, number);
    if (!result.complete) {
        throwDamaged(name, result.end, result.problem);
    }
}

// At the start, when no engine process can be running: checks every log
// file, cuts a torn tail off the newest, and sets the area to append to it.
// The newest file is the last of 1.log, 2.log, ... before the first missing
// number: the readers of the log stop there, and an entry written behind a
// gap would never be read back.
//
// Only a torn tail is cut: a truncated or malformed entry in the newest file
// after which no whole entry follows, as an append that did not finish
// leaves it. Anything else (damage with whole entries behind it, damage in
// an older file) stops the start before any byte is changed: cutting would
// destroy those entries, and appending behind the damage would hide the new
// ones from every reader. Files are read in chunks, so a huge file costs
// time, not memory.
void takeUpTheLog(LogFileHandling* area) {
    ORV_TRACE(LogManager);
    Uint32 newest = 0;
    for (Uint32 n = 1; n <= ORV_MAX_UINT16; ++n) {
        // lstat: a symbolic link in a log file's place counts as a file (and
        // is refused when it is opened), not as the end of the log.
        struct stat status;
        if (::lstat(logFileName(area->logDirectory, n).c_str(), &status) != 0) {
            break;
        }
        newest = n;
    }
    area->filenumber = 1;
    area->endFileNumber = 0;
    area->wholeEnd = 0;
    if (newest == 0) {
        // No log yet: the first append starts 1.log.
        return;
    }
    for (Uint32 n = 1; n < newest; ++n) {
        checkOlderLogFile(logFileName(area->logDirectory, n), static_cast<Uint16>(n));
    }
    std::string name = logFileName(area->logDirectory, newest);
    Uint16 number = static_cast<Uint16>(newest);
    int fd = openLogFileAt(name, O_RDWR);
    if (fd < 0) {
        throwOpenFailed(name);
    }
    FileCloser closer(fd);
    const OrvLogReader::Source source = OrvLogReader::fileSource(fd, lengthForReading(fd, name));
    const OrvLogReader::FileResult result = readThrough(source, name, number);
    std::size_t end = result.end;
    area->filenumber = number;
    if (!result.complete) {
        Uint64 next = 0;
        int found = OrvLogReader::findWholeEntryAfter(source, end, number, next);
        if (found < 0) {
            throwOpenFailed(name);
        }
        if (found > 0) {
            throwDamaged(name, end,
                         result.problem + ", followed by a whole entry at offset " +
                             std::to_string(next));
        }
        std::string text = "log file " + name + ": " + result.problem + " at offset " +
                           std::to_string(end) + "; the file is cut from " +
                           std::to_string(source.size) + " back to " + std::to_string(end) +
                           " bytes";
        orvTrace.traceString(1, text.c_str());
        if (OrvIo::ftruncate(fd, static_cast<off_t>(end)) != 0) {
            ORV_LOG_FILE_FAILURE(WRITE_FAILED_TEXT);
            ORV_THROW(ORV_LOGM_FILE_WRITE_FAILED, name);
        }
    }
    if (OrvIo::close(closer.release()) != 0) {
        ORV_LOG_FILE_FAILURE(CLOSE_FAILED_TEXT);
        ORV_THROW(ORV_LOGM_FILE_CLOSE_FAILED, name);
    }
    area->endFileNumber = number;
    area->wholeEnd = end;
}

// ---- the log directory's database ------------------------------------------

// The name of the file in the log directory that says which database the
// log belongs to.
const char* const OWNER_FILE_NAME = "log.owner";

// The database directory as the log directory knows it: its device and its
// full inode number, which name it however it is reached, and its path for
// messages; the same identity the memory sets record.
using DatabaseIdentity = OrvMemoryManager::DatabaseDirectory;

DatabaseIdentity databaseIdentity() {
    return OrvMemoryManager::resolveDatabaseDirectory();
}

// A log directory must belong to the owner of the database directory: a
// directory another user controls could hold links or files of that user
// in the places of the log files.
void checkDirectoryOwner(const std::string& logDirectory, const DatabaseIdentity& database) {
    ORV_TRACE(LogManager);
    struct stat status;
    if (::lstat(logDirectory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        orvTrace.traceString(1, "the log directory is not a directory");
        ORV_THROW(ORV_LOGM_LOG_DIRECTORY_OWNER, logDirectory,
                  S_ISLNK(status.st_mode) ? "(a symbolic link)" : "(none: not a directory)",
                  database.path, std::to_string(database.owner));
    }
    if (status.st_uid != database.owner) {
        ORV_THROW(ORV_LOGM_LOG_DIRECTORY_OWNER, logDirectory, std::to_string(status.st_uid),
                  database.path, std::to_string(database.owner));
    }
}

std::string ownerFileText(const DatabaseIdentity& database) {
    return std::to_string(database.device) + " " + std::to_string(database.inode) + " " +
           database.path + "\n";
}

// Reads the owner file: 1 with the device and inode it names and the
// database path it gives, 0 when it holds no owner, or a negated errno.
int readOwnerFile(const std::string& name, Uint64& device, Uint64& inode, std::string& path) {
    int fd = openLogFileAt(name, O_RDONLY);
    if (fd < 0) {
        return fd;
    }
    FileCloser closer(fd);
    // Directly, not through the fault injection of the log files: a small
    // file read once per start.
    std::string text(PATH_MAX + 64, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        ssize_t n = ::pread(fd, &text[got], text.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -errno;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    std::size_t lineEnd = text.find('\n');
    std::size_t first = text.find(' ');
    std::size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
    if (lineEnd == std::string::npos || second == std::string::npos || second > lineEnd) {
        return 0;
    }
    std::string deviceText = text.substr(0, first);
    std::string inodeText = text.substr(first + 1, second - first - 1);
    std::size_t pos = 0;
    if (!OrvDecimalText::readUnsigned(deviceText, pos, ORV_MAX_UINT64, device) ||
        pos != deviceText.size()) {
        return 0;
    }
    pos = 0;
    if (!OrvDecimalText::readUnsigned(inodeText, pos, ORV_MAX_UINT64, inode) ||
        pos != inodeText.size()) {
        return 0;
    }
    path = text.substr(second + 1, lineEnd - second - 1);
    return 1;
}

// Makes the log directory the log of this database: the first start of a
// database there writes its identity into the owner file; every later start
// checks it, and a start of another database is refused before anything of
// the log is touched. Two databases appending to one log would hand out each
// LSN twice (their writers serialise on two different latches) and
// interleave their entries.
void claimLogDirectory(const std::string& logDirectory, const DatabaseIdentity& database) {
    ORV_TRACE(LogManager);
    std::string name = logDirectory + "/" + OWNER_FILE_NAME;
    Uint64 device = 0;
    Uint64 inode = 0;
    std::string path;
    int read = readOwnerFile(name, device, inode, path);
    if (read == -ENOENT) {
        // Written under a name of its own and then linked into place, so
        // that no start ever reads a half-written owner file, and of two
        // first starts at the same time exactly one wins.
        std::string scratch = name + "." + std::to_string(::getpid()) + ".new";
        (void)OrvIo::unlink(scratch.c_str());
        int fd = OrvIo::open(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                             LOG_FILE_MODE);
        if (fd < 0) {
            throwOpenFailed(scratch);
        }
        std::string text = ownerFileText(database);
        ssize_t written = OrvIo::pwriteAll(fd, text.data(), text.size(), 0);
        int closed = OrvIo::close(fd);
        if (written != static_cast<ssize_t>(text.size()) || closed != 0) {
            (void)OrvIo::unlink(scratch.c_str());
            ORV_LOG_FILE_FAILURE(WRITE_FAILED_TEXT);
            ORV_THROW(ORV_LOGM_FILE_WRITE_FAILED, scratch);
        }
        int linked = ::link(scratch.c_str(), name.c_str());
        int linkError = errno;
        (void)OrvIo::unlink(scratch.c_str());
        if (linked == 0) {
            return;
        }
        if (linkError != EEXIST) {
            ORV_LOG_FILE_FAILURE(WRITE_FAILED_TEXT);
            ORV_THROW(ORV_LOGM_FILE_WRITE_FAILED, name);
        }
        // Another start was first: its owner decides.
        read = readOwnerFile(name, device, inode, path);
    }
    if (read < 0) {
        throwOpenFailed(name);
    }
    if (read == 0) {
        // Not written by a start: whose log this is cannot be told.
        orvTrace.traceString(1, "the owner file of the log directory names no database");
        ORV_THROW(ORV_LOGM_LOG_DIRECTORY_TAKEN, logDirectory,
                  "(unknown: " + name + " names no database)", database.path);
    }
    if (device != database.device || inode != database.inode) {
        std::string text = "the log directory " + logDirectory + " belongs to the database " +
                           path + " (device " + std::to_string(device) + ", inode " +
                           std::to_string(inode) + ")";
        orvTrace.traceString(1, text.c_str());
        ORV_THROW(ORV_LOGM_LOG_DIRECTORY_TAKEN, logDirectory, path, database.path);
    }
}

bool validDirectory(const LogFileHandling* area) {
    if (area->directoryLength == 0 || area->directoryLength >= ORV_LOG_DIRECTORY_CAPACITY) {
        return false;
    }
    const char* directory = area->logDirectory;
    return directory[0] == '/' && directory[area->directoryLength] == '\0' &&
           std::strlen(directory) == area->directoryLength;
}

} // namespace

// ---- start and stop ---------------------------------------------------------

void OrvLogManager::initializeLogFileHandling() {
    ORV_TRACE(LogManager);
    // A setting the engine does not know stops the start, not the first
    // commit of some later process.
    (void)syncMode();
    // The start program's working directory becomes the log directory of the
    // database. Resolved before the set exists, so that a failure here leaves
    // nothing behind.
    std::vector<char> directory(PATH_MAX + 1);
    if (::getcwd(directory.data(), directory.size()) == nullptr) {
        int error = errno;
        orvTrace.traceString(1, "the working directory cannot be resolved");
        ORV_THROW(ORV_LOGM_FILE_OPEN_FAILED,
                  std::string("working directory: ") + std::strerror(error));
    }
    std::size_t length = std::strlen(directory.data());
    if (length == 0 || length >= ORV_LOG_DIRECTORY_CAPACITY || directory[0] != '/') {
        orvTrace.traceString(2, "the working directory does not fit the log file handling area");
        std::string shown(directory.data(), std::min<std::size_t>(length, 200));
        ORV_THROW(ORV_LOGM_FILE_OPEN_FAILED, shown + (length > 200 ? "..." : ""));
    }
    // The directory must be this database's before anything is created or
    // changed in it.
    DatabaseIdentity database = databaseIdentity();
    std::string logDirectory(directory.data(), length);
    checkDirectoryOwner(logDirectory, database);
    claimLogDirectory(logDirectory, database);
    // The log is taken up only once the set was created: its exclusive
    // creation is what shows that no engine process is running, so that no
    // append can be under way in the file whose tail is cut. A failure here
    // removes the set again.
    OrvSharedSet::create(OrvMemoryManager::LogFileHandling, [&](void* data) {
        LogFileHandling* area = static_cast<LogFileHandling*>(data);
        area->directoryLength = static_cast<Uint32>(length);
        std::memcpy(area->logDirectory, directory.data(), length + 1);
        takeUpTheLog(area);
    });
}

void OrvLogManager::destroyLogFileHandling(bool force) {
    ORV_TRACE(LogManager);
    // Without force a writer that holds the latch is waited for, as for the
    // other sets, rather than having its latch released under it: its entry
    // would be half written when the set goes. A writer that died holding the
    // latch makes this fail; a forced stop removes the set regardless.
    OrvSharedSet::destroy(OrvMemoryManager::LogFileHandling, force);
}

// ---- the manager ------------------------------------------------------------

OrvLogManager* OrvLogManager::getInstance() {
    ORV_TRACE(LogManager);
    if (instance == nullptr) {
        instance = new OrvLogManager();
    }
    return instance;
}

void OrvLogManager::deleteInstance() {
    ORV_TRACE(LogManager);
    delete instance;
    instance = nullptr;
}

OrvLogManager::OrvLogManager()
    : logfilehandling(nullptr), prevLsn(),
      prevTransactionId(OrvTransactionId::INVALID_TRANSACTION_ID), logDirectory(), logFd(-1),
      logFdNumber(0), syncedDirectoryFor(0) {
    ORV_TRACE(LogManager);
    (void)syncMode();
    OrvMemoryManager* memoryManager = OrvMemoryManager::getMemoryManager();
    if (memoryManager == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    void* data = nullptr;
    memoryManager->connectToMemorySet(OrvMemoryManager::LogFileHandling, data);
    LogFileHandling* area = static_cast<LogFileHandling*>(data);
    if (!validDirectory(area)) {
        orvTrace.traceString(1, "the log file handling area names no valid log directory");
        memoryManager->disconnectFromMemorySet(OrvMemoryManager::LogFileHandling);
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    logDirectory.assign(area->logDirectory, area->directoryLength);
    try {
        checkDirectoryOwner(logDirectory, databaseIdentity());
    } catch (const OrvException&) {
        memoryManager->disconnectFromMemorySet(OrvMemoryManager::LogFileHandling);
        throw;
    }
    logfilehandling = area;
    OrvDebug::registerFunction(&OrvLogManager::logPrint, nullptr, "LOG_PRINT", "");
}

OrvLogManager::~OrvLogManager() {
    // Every entry was in its file when it was appended; nothing is lost if
    // this close fails.
    if (logFd >= 0) {
        (void)OrvIo::close(logFd);
        logFd = -1;
    }
    try {
        if (logfilehandling != nullptr) {
            logfilehandling = nullptr;
            OrvMemoryManager::getMemoryManager()->disconnectFromMemorySet(
                OrvMemoryManager::LogFileHandling);
        }
    } catch (const OrvException& e) {
        // Recorded, not thrown: the process carries on without the set.
        e.SET_ERROR();
    } catch (...) {
        OrvError::getErrorObject()->addTraceRecord(__FILE__, __PRETTY_FUNCTION__, __LINE__);
    }
    if (instance == this) {
        instance = nullptr;
    }
}

const std::string& OrvLogManager::getLogDirectory() const {
    ORV_TRACE(LogManager);
    return logDirectory;
}

std::string OrvLogManager::getLogFileName(Uint16 logFileNumber) const {
    ORV_TRACE(LogManager);
    return logDirectory + "/" + std::to_string(logFileNumber) + ".log";
}

OrvLsn OrvLogManager::getLastLsn(const OrvTransactionId& transactionId) const {
    ORV_TRACE(LogManager);
    return transactionId == prevTransactionId ? prevLsn : OrvLsn();
}

void OrvLogManager::continueChain(const OrvTransactionId& transactionId, const OrvLsn& lastLsn) {
    ORV_TRACE(LogManager);
    prevTransactionId = transactionId;
    prevLsn = lastLsn;
}

OrvLogManager::ChainOf::ChainOf(const OrvTransactionId& transactionId, const OrvLsn& lastLsn)
    : log(OrvLogManager::getInstance()), ownTransaction(log->prevTransactionId),
      ownLast(log->prevLsn) {
    log->continueChain(transactionId, lastLsn);
}

OrvLogManager::ChainOf::~ChainOf() {
    log->continueChain(ownTransaction, ownLast);
}

bool OrvLogManager::openLogFile(Uint16 logFileNumber) {
    ORV_TRACE(LogManager);
    int fd =
        openLogFileAt(getLogFileName(logFileNumber), O_RDWR | O_APPEND | O_CREAT, LOG_FILE_MODE);
    if (fd < 0) {
        return false;
    }
    logFd = fd;
    logFdNumber = logFileNumber;
    return true;
}

bool OrvLogManager::closeLogFile() {
    ORV_TRACE(LogManager);
    if (logFd < 0) {
        return true;
    }
    // The descriptor is released even when close reports a failure.
    int result = OrvIo::close(logFd);
    logFd = -1;
    logFdNumber = 0;
    return result == 0;
}

off_t OrvLogManager::cutUnfinishedAppend(Uint16 fileNumber, off_t size) {
    ORV_TRACE(LogManager);
    if (logfilehandling->endFileNumber != fileNumber) {
        // Nothing known about this file's entries (no log file existed at
        // the start): its length is taken as it is.
        return size;
    }
    Uint64 end = logfilehandling->wholeEnd;
    if (static_cast<Uint64>(size) <= end) {
        if (static_cast<Uint64>(size) < end) {
            std::string text = "log file " + getLogFileName(fileNumber) + " holds " +
                               std::to_string(size) + " bytes, less than the " +
                               std::to_string(end) + " of its whole entries";
            orvTrace.traceString(1, text.c_str());
            logfilehandling->wholeEnd = static_cast<Uint64>(size);
        }
        return size;
    }
    // An append did not finish: its writer died in the middle of it, or
    // failed and could not take its bytes out again. A writer may have got
    // its whole entry out before it died; whole entries stay, only a torn
    // rest is cut. Read in chunks: the rest may be of any length.
    OrvLogReader::FileResult result = OrvLogReader::parseSource(
        OrvLogReader::fileSource(logFd, static_cast<Uint64>(size)), fileNumber,
        [](const OrvLogReader::EntryView&) {}, OrvLogReader::READ_CHUNK, end);
    if (result.readError != 0) {
        (void)closeLogFile();
        ORV_LOG_FILE_FAILURE(OPEN_FAILED_TEXT);
        ORV_THROW(ORV_LOGM_FILE_OPEN_FAILED, getLogFileName(fileNumber));
    }
    std::size_t whole = result.end;
    if (!result.complete) {
        std::string text = "log file " + getLogFileName(fileNumber) + ": " + result.problem +
                           " at offset " + std::to_string(whole) +
                           " left by an append that did not finish; the file is cut from " +
                           std::to_string(size) + " back to " + std::to_string(whole) + " bytes";
        orvTrace.traceString(1, text.c_str());
        if (OrvIo::ftruncate(logFd, static_cast<off_t>(whole)) != 0) {
            // Appending behind the torn bytes would hide the entry from
            // every reader of the log.
            (void)closeLogFile();
            ORV_LOG_FILE_FAILURE(WRITE_FAILED_TEXT);
            ORV_THROW(ORV_LOGM_FILE_WRITE_FAILED, getLogFileName(fileNumber));
        }
    }
    logfilehandling->wholeEnd = whole;
    return static_cast<off_t>(whole);
}

namespace {
// The process's sync mode; -1 until ORV_LOG_SYNC was read or it was set.
int knownSyncMode = -1;
} // namespace

void OrvLogManager::setSyncMode(SyncMode mode) {
    ORV_TRACE(LogManager);
    knownSyncMode = static_cast<int>(mode);
}

OrvLogManager::SyncMode OrvLogManager::syncMode() {
    ORV_TRACE(LogManager);
    // Read once per process: every entry of a process is written under one
    // promise.
    int& known = knownSyncMode;
    if (known < 0) {
        const char* text = std::getenv("ORV_LOG_SYNC");
        const std::string value = text != nullptr ? text : "";
        if (value.empty() || value == "none") {
            known = static_cast<int>(SyncMode::None);
        } else if (value == "commit") {
            known = static_cast<int>(SyncMode::Commit);
        } else {
            ORV_THROW(ORV_LOGM_SYNC_SETTING_INVALID, value.substr(0, 100));
        }
    }
    return static_cast<SyncMode>(known);
}

void OrvLogManager::syncLogFile(int fd, Uint16 fileNumber) {
    ORV_TRACE(LogManager);
    int synced = OrvIo::fdatasync(fd);
    // A file this process has not synced before may be new: its name must
    // reach the device too.
    if (synced == 0 && fileNumber != syncedDirectoryFor) {
        synced = OrvIo::syncDirectory(logDirectory.c_str());
        if (synced == 0) {
            syncedDirectoryFor = fileNumber;
        }
    }
    if (synced < 0) {
        ORV_LOG_FILE_FAILURE(WRITE_FAILED_TEXT);
        ORV_THROW(ORV_LOGM_FILE_SYNC_FAILED, getLogFileName(fileNumber), std::strerror(-synced));
    }
}

OrvLsn OrvLogManager::createLogEntry(OrvAbstractLogEntry* entry) {
    ORV_TRACE(LogManager);
    if (entry == nullptr) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    const OrvLsn lsn = appendEntry(entry);
    const int type = entry->getTransactionType();
    if ((type == COMMIT || type == ROLLBACK) && syncMode() == SyncMode::Commit) {
        // After the latch: other writers append meanwhile, and the sync takes
        // their entries along. Every entry before this one is in this file or
        // in an older one, synced when the log moved on from it.
        syncLogFile(logFd, lsn.getFilenumber());
    }
    return lsn;
}

OrvLsn OrvLogManager::appendEntry(OrvAbstractLogEntry* entry) {
    ORV_TRACE(LogManager);
    // An image longer than a reader takes would end the log for every reader
    // at this entry.
    int longestImage = 0;
    if (const OrvRecordLogEntry* record = dynamic_cast<const OrvRecordLogEntry*>(entry)) {
        longestImage = std::max(record->getBefImgLength(), record->getAftImgLength());
    } else if (const OrvIndexLogEntry* index = dynamic_cast<const OrvIndexLogEntry*>(entry)) {
        longestImage = std::max(index->getBpl(), index->getApl());
    }
    if (longestImage > OrvLogReader::MAX_IMAGE_LENGTH) {
        ORV_THROW(ORV_LOGM_ENTRY_TOO_LARGE, std::to_string(longestImage),
                  std::to_string(OrvLogReader::MAX_IMAGE_LENGTH));
    }
    const OrvTransactionId transactionId = entry->getTransactionID();
    std::string record;

    OrvScopedExclusiveLatch latch(logfilehandling->latch);
    Uint16 fileNumber = logfilehandling->filenumber;
    if (fileNumber == 0) {
        // Never written by the engine: the area is damaged.
        orvTrace.traceString(1, "the log file handling area holds file number 0");
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    // The file of the last append stays open while it is the current one;
    // its length, read under the latch, is where every process appends next
    // (all of them append to the same file, not just to the same name).
    off_t size = -1;
    if (logFd >= 0 && logFdNumber == fileNumber) {
        size = lengthOf(logFd);
    }
    if (size < 0) {
        std::string oldName = getLogFileName(logFdNumber);
        if (!closeLogFile()) {
            ORV_LOG_FILE_FAILURE(CLOSE_FAILED_TEXT);
            ORV_THROW(ORV_LOGM_FILE_CLOSE_FAILED, oldName);
        }
        if (!openLogFile(fileNumber)) {
            ORV_LOG_FILE_FAILURE(OPEN_FAILED_TEXT);
            ORV_THROW(ORV_LOGM_FILE_OPEN_FAILED, getLogFileName(fileNumber));
        }
        size = lengthOf(logFd);
    }
    // Before the switch: torn bytes may be what made the file look full.
    if (size >= 0) {
        size = cutUnfinishedAppend(fileNumber, size);
    }
    while (size > static_cast<off_t>(ORV_LOG_FILE_SWITCH_SIZE)) {
        if (syncMode() == SyncMode::Commit) {
            // The entries of the older file are all on the device before the
            // next one begins, so a sync of the current file covers the log.
            syncLogFile(logFd, fileNumber);
        }
        if (!closeLogFile()) {
            ORV_LOG_FILE_FAILURE(CLOSE_FAILED_TEXT);
            ORV_THROW(ORV_LOGM_FILE_CLOSE_FAILED, getLogFileName(fileNumber));
        }
        if (logfilehandling->filenumber == ORV_MAX_UINT16) {
            // No further file number: the log is full.
            ORV_LOG_FILE_FAILURE(OPEN_FAILED_TEXT);
            ORV_THROW(ORV_LOGM_FILE_OPEN_FAILED, getLogFileName(fileNumber));
        }
        ++logfilehandling->filenumber;
        fileNumber = logfilehandling->filenumber;
        // The error names the file that did not open, which is the one the
        // reader of the message has to look at.
        if (!openLogFile(fileNumber)) {
            ORV_LOG_FILE_FAILURE(OPEN_FAILED_TEXT);
            ORV_THROW(ORV_LOGM_FILE_OPEN_FAILED, getLogFileName(fileNumber));
        }
        size = lengthOf(logFd);
    }
    if (size < 0) {
        // The file opened, but its length cannot be had: no LSN can be given.
        (void)closeLogFile();
        ORV_LOG_FILE_FAILURE(OPEN_FAILED_TEXT);
        ORV_THROW(ORV_LOGM_FILE_OPEN_FAILED, getLogFileName(fileNumber));
    }

    OrvLsn lsn(fileNumber, static_cast<Uint32>(size));
    entry->setLsn(lsn);
    entry->setPrevLsn(transactionId == prevTransactionId ? prevLsn : OrvLsn());
    entry->serializeTo(record);
    record.push_back('\n');

    // Recorded before the write: should this process die in the middle of
    // it, the next appender knows where the whole entries end.
    logfilehandling->endFileNumber = fileNumber;
    logfilehandling->wholeEnd = static_cast<Uint64>(size);
    ssize_t written = OrvIo::appendAll(logFd, record.data(), record.size());
    if (written != static_cast<ssize_t>(record.size())) {
        ORV_LOG_FILE_FAILURE(WRITE_FAILED_TEXT);
        // A partial entry would end the log for every reader, and with it
        // every entry appended after it; no other writer can have appended
        // since (the latch is held), so the file is cut back to where this
        // entry began.
        if (OrvIo::ftruncate(logFd, size) != 0) {
            orvTrace.traceString(
                2,
                "the partial log entry could not be taken out again; the next append cuts it off");
        }
        (void)closeLogFile();
        ORV_THROW(ORV_LOGM_FILE_WRITE_FAILED, getLogFileName(fileNumber));
    }
    logfilehandling->wholeEnd = static_cast<Uint64>(size) + record.size();
    prevLsn = lsn;
    prevTransactionId = transactionId;
    orvPublishLastEntry(transactionId, lsn);
    return lsn;
}

// ---- dumps -----------------------------------------------------------------

void OrvLogManager::printlog(const char* text) {
    ORV_TRACE(LogManager);
    std::cout << (text != nullptr ? text : "") << std::endl;
}

void OrvLogManager::showLogRecords(const OrvTransactionId& transactionId) {
    ORV_TRACE(LogManager);
    OrvRecovery recovery(logDirectory);
    recovery.AnalyseLog(ALL);
    std::cout << std::endl
              << ">>> DUMP <<<" << std::endl
              << "SHOW LOGRECORDS WITH DEFINED TRANSACTION ID" << std::endl
              << "Transaction ID: " << transactionId.dump() << std::endl
              << "LOGRECORDS FOR RECORD MANAGER" << std::endl
              << RECORD_HEADING << std::endl;
    OrvRecordLogEntry* records = recovery.getRecordRedoList();
    for (int i = 0; i < recovery.getRecordRedoListLength(); ++i) {
        if (records[i].getTransactionID() == transactionId) {
            records[i].dump();
        }
    }
    std::cout << std::endl
              << "LOGRECORDS FOR INDEX MANAGER" << std::endl
              << INDEX_HEADING << std::endl;
    OrvIndexLogEntry* indexEntries = recovery.getIndexRedoList();
    for (int i = 0; i < recovery.getIndexRedoListLength(); ++i) {
        if (indexEntries[i].getTransactionID() == transactionId) {
            indexEntries[i].dump();
        }
    }
}

namespace {

// Calls visit for every record and index entry the analysis found, merged in
// ascending LSN order (each list is in log order, which is LSN order).
template <typename Visit> void forEachInLsnOrder(OrvRecovery& recovery, Visit visit) {
    OrvRecordLogEntry* records = recovery.getRecordRedoList();
    OrvIndexLogEntry* indexEntries = recovery.getIndexRedoList();
    int recordCount = recovery.getRecordRedoListLength();
    int indexCount = recovery.getIndexRedoListLength();
    int r = 0;
    int x = 0;
    while (r < recordCount || x < indexCount) {
        if (x >= indexCount ||
            (r < recordCount && records[r].getLsn() < indexEntries[x].getLsn())) {
            visit(static_cast<OrvAbstractLogEntry&>(records[r++]));
        } else {
            visit(static_cast<OrvAbstractLogEntry&>(indexEntries[x++]));
        }
    }
}

} // namespace

void OrvLogManager::showLogRecords(const OrvLsn& first, const OrvLsn& last) {
    ORV_TRACE(LogManager);
    OrvRecovery recovery(logDirectory);
    recovery.AnalyseLog(ALL);
    std::cout << std::endl
              << ">>> DUMP <<<" << std::endl
              << "SHOW LOGRECORDS BETWEEN TWO LOG SEQUENCE NUMBERS" << std::endl
              << "FIRST LSN: " << first.dump() << std::endl
              << "LAST LSN: " << last.dump() << std::endl
              << "For Record Manager : " << RECORD_HEADING << std::endl
              << "For Index Manager  : " << INDEX_HEADING << std::endl;
    forEachInLsnOrder(recovery, [&](OrvAbstractLogEntry& entry) {
        OrvLsn lsn = entry.getLsn();
        if (!(lsn < first) && !(lsn > last)) {
            entry.dump();
        }
    });
}

void OrvLogManager::listLSN(Uint16 logFileNumber) {
    ORV_TRACE(LogManager);
    OrvRecovery recovery(logDirectory);
    recovery.AnalyseLog(ALL);
    std::cout << std::endl
              << ">>> DUMP <<<" << std::endl
              << "Logfile Nr." << logFileNumber << std::endl
              << "Lsn-Liste" << std::endl;
    forEachInLsnOrder(recovery, [&](OrvAbstractLogEntry& entry) {
        OrvLsn lsn = entry.getLsn();
        if (lsn.getFilenumber() == logFileNumber) {
            std::cout << lsn.dump() << std::endl;
        }
    });
}

void OrvLogManager::logPrint(const std::string* args) {
    ORV_TRACE(LogManager);
    // Consecutive blanks give empty fields, so "SHOWLOG  1,2" has three
    // fields and is refused.
    const std::vector<std::string> fields = OrvDebug::splitArguments(args);
    if (fields.size() == 2 && fields[0] == "LISTLSN") {
        std::size_t pos = 0;
        Uint64 number = 0;
        if (OrvDecimalText::readUnsigned(fields[1], pos, ORV_MAX_UINT16, number) &&
            pos == fields[1].size()) {
            getInstance()->listLSN(static_cast<Uint16>(number));
            return;
        }
    } else if (fields.size() == 2 && fields[0] == "SHOWLOG") {
        OrvTransactionId transactionId(fields[1]);
        getInstance()->showLogRecords(transactionId);
        return;
    } else if (fields.size() == 3 && fields[0] == "SHOWLOG") {
        OrvLsn first(fields[1]);
        OrvLsn last(fields[2]);
        getInstance()->showLogRecords(first, last);
        return;
    }
    // Recorded as well as printed, so that a front end can tell a refused
    // call from a dump.
    OrvError::getErrorObject()->setError(LogManager, ORV_PARAMETER_FAIL);
    std::cout << "Wrong Parameters" << std::endl;
}
