#include "log/OrvRecovery.h"

#include "OrvConfig.h"
#include "OrvException.h"
#include "log/OrvLogReader.h"
#include "support/OrvIo.h"
#include "support/OrvTrace.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <map>
#include <new>
#include <unordered_map>

namespace {

Uint64 lsnKey(const OrvLsn& lsn) {
    return (static_cast<Uint64>(lsn.getFilenumber()) << 32) | lsn.getOffset();
}

// Fills the (empty) list with pointers to the redo entries of the chain
// entries at the given positions, in that order. Built aside, so that a
// failure leaves the list empty rather than partly built.
template <typename Entry, typename Chain>
void pointInto(std::vector<Entry>& redo, const std::vector<Chain>& chain,
               const std::vector<size_t>& positions, std::vector<Entry*>& list) {
    std::vector<Entry*> built;
    built.reserve(positions.size());
    for (size_t i : positions) {
        built.push_back(&redo[static_cast<size_t>(chain[i].index)]);
    }
    list.swap(built);
}

} // namespace

OrvRecovery::OrvRecovery() : OrvRecovery(std::string()) {
    ORV_TRACE(LogManager);
}

OrvRecovery::OrvRecovery(const std::string& directoryOfTheLog)
    : logDirectory(directoryOfTheLog), analysedRecords(false), analysedIndexEntries(false) {
    ORV_TRACE(LogManager);
}

OrvRecovery::~OrvRecovery() = default;

void OrvRecovery::reset() {
    ORV_TRACE(LogManager);
    oRecordUndo.clear();
    recordUndoRunEnds.clear();
    indexUndoRunEnds.clear();
    oIndexUndo.clear();
    oRecordRollback.clear();
    oIndexRollback.clear();
    oRecordRedo.clear();
    oIndexRedo.clear();
    chainEntries.clear();
    analysedRecords = false;
    analysedIndexEntries = false;
}

const std::string& OrvRecovery::directory() {
    ORV_TRACE(LogManager);
    if (logDirectory.empty()) {
        logDirectory = OrvLogManager::getInstance()->getLogDirectory();
    }
    return logDirectory;
}

bool OrvRecovery::AnalyseLog(rollbackComponent component) {
    ORV_TRACE(LogManager);
    reset();
    const bool wantRecords = component == RECORD || component == ALL;
    const bool wantIndexEntries = component == INDEX || component == ALL;
    const std::string& dir = directory();

    int skippedRecords = 0;
    int skippedIndexEntries = 0;
    try {
        for (Uint32 number = 1; number <= ORV_MAX_UINT16; ++number) {
            std::string path = dir + "/" + std::to_string(number) + ".log";
            // A link in a log file's place is not followed (it could name any
            // file); it is refused rather than taken for the end of the log,
            // which would hide the entries behind it from a rollback.
            int fd = OrvIo::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            if (fd == -ENOENT) {
                break;
            }
            if (fd == -ELOOP) {
                ORV_THROW(ORV_LOGM_FILE_IS_LINK, path);
            }
            // A file that is there but cannot be read is no end of the log:
            // a rollback or recovery that went on without its entries would
            // leave changes half undone, and then end them for good.
            if (fd < 0) {
                ORV_THROW(ORV_LOGM_FILE_READ_FAILED, path, std::strerror(-fd));
            }
            off_t size = OrvIo::lseek(fd, 0, SEEK_END);
            if (size < 0) {
                (void)OrvIo::close(fd);
                ORV_THROW(ORV_LOGM_FILE_READ_FAILED, path, std::strerror(static_cast<int>(-size)));
            }
            // Read in chunks: memory holds one chunk (or one entry) of the
            // file and the entries read, not the file.
            OrvLogReader::FileResult result;
            try {
                result = OrvLogReader::parseSource(
                    OrvLogReader::fileSource(fd, static_cast<Uint64>(size)),
                    static_cast<Uint16>(number), [&](const OrvLogReader::EntryView& view) {
                        ChainEntry chainEntry{view.lsn,  view.prevLsn, view.transactionId,
                                              view.type, view.kind,    -1,
                                              0};
                        if (view.kind == 'R') {
                            if (wantRecords) {
                                oRecordRedo.emplace_back();
                                OrvLogReader::fillEntry(view, oRecordRedo.back());
                                chainEntry.index = static_cast<int>(oRecordRedo.size() - 1);
                            } else {
                                ++skippedRecords;
                            }
                        } else if (wantIndexEntries) {
                            oIndexRedo.emplace_back();
                            OrvLogReader::fillEntry(view, oIndexRedo.back());
                            chainEntry.index = static_cast<int>(oIndexRedo.size() - 1);
                        } else {
                            ++skippedIndexEntries;
                        }
                        chainEntries.push_back(chainEntry);
                    });
            } catch (...) {
                (void)OrvIo::close(fd);
                throw;
            }
            (void)OrvIo::close(fd);
            if (result.readError != 0) {
                ORV_THROW(ORV_LOGM_FILE_READ_FAILED, path, std::strerror(-result.readError));
            }
            if (!result.complete) {
                std::string text = "log file " + path + ": " + result.problem + " at offset " +
                                   std::to_string(result.end) + "; the log ends there";
                orvTrace.traceString(2, text.c_str());
                break;
            }
        }
    } catch (...) {
        // The lengths count only a log that was read: a failure leaves none.
        reset();
        throw;
    }
    // The array of the kind not asked for holds as many empty entries as the
    // log has of that kind, so both lengths always count the log's entries.
    if (!wantRecords) {
        oRecordRedo.resize(static_cast<std::size_t>(skippedRecords));
    }
    if (!wantIndexEntries) {
        oIndexRedo.resize(static_cast<std::size_t>(skippedIndexEntries));
    }
    assignRuns();
    analysedRecords = wantRecords;
    analysedIndexEntries = wantIndexEntries;
    return true;
}

void OrvRecovery::assignRuns() {
    ORV_TRACE(LogManager);
    std::unordered_map<Uint64, size_t> byLsn;
    byLsn.reserve(chainEntries.size());
    size_t runs = 0;
    for (size_t i = 0; i < chainEntries.size(); ++i) {
        ChainEntry& entry = chainEntries[i];
        auto previous = entry.prevLsn == OrvLsn() ? byLsn.end() : byLsn.find(lsnKey(entry.prevLsn));
        if (previous != byLsn.end() &&
            chainEntries[previous->second].transactionId == entry.transactionId) {
            entry.run = chainEntries[previous->second].run;
        } else {
            // 0,0, or a previous LSN that names nothing of this transaction
            // (the log before it is damaged): the entry begins a run.
            entry.run = runs++;
        }
        byLsn[lsnKey(entry.lsn)] = i;
    }
}

bool OrvRecovery::endsWorkOf(const ChainEntry& entry, char kind) {
    ORV_TRACE(LogManager);
    return entry.type == COMMIT || (entry.type == ROLLBACK && entry.kind == kind);
}

std::vector<size_t> OrvRecovery::openWork(char kind, const size_t* run, size_t upTo) const {
    ORV_TRACE(LogManager);
    size_t count = run != nullptr ? upTo + 1 : chainEntries.size();
    // Position of the last end of each run (count = none), then everything of
    // the kind behind it.
    std::unordered_map<size_t, size_t> lastEnd;
    for (size_t i = 0; i < count; ++i) {
        const ChainEntry& entry = chainEntries[i];
        if ((run == nullptr || entry.run == *run) && endsWorkOf(entry, kind)) {
            lastEnd[entry.run] = i;
        }
    }
    std::vector<size_t> open;
    for (size_t i = count; i-- > 0;) {
        const ChainEntry& entry = chainEntries[i];
        if (entry.kind != kind || (run != nullptr && entry.run != *run)) {
            continue;
        }
        auto end = lastEnd.find(entry.run);
        if (end == lastEnd.end() || i > end->second) {
            open.push_back(i);
        }
    }
    return open;
}

bool OrvRecovery::analysedFor(rollbackComponent component) const {
    ORV_TRACE(LogManager);
    switch (component) {
    case RECORD:
        return analysedRecords;
    case INDEX:
        return analysedIndexEntries;
    default:
        return analysedRecords && analysedIndexEntries;
    }
}

bool OrvRecovery::makeUndoLists(rollbackComponent component) {
    ORV_TRACE(LogManager);
    if (!analysedFor(component)) {
        orvTrace.traceString(1, "undo lists asked for entries the log was not analysed for");
        return false;
    }
    // The last entry of each run of the log, for the runs' ends.
    std::unordered_map<size_t, size_t> lastOfRun;
    for (size_t i = 0; i < chainEntries.size(); ++i) {
        lastOfRun[chainEntries[i].run] = i;
    }
    // One kind's undo list, newest first, and the last entry of the run of
    // each entry in it.
    const auto makeList = [&](char kind, auto& redo, auto& undo, std::vector<OrvLsn>& runEnds) {
        undo.clear();
        runEnds.clear();
        std::cout << std::endl;
        const std::vector<size_t> open = openWork(kind, nullptr, 0);
        std::vector<OrvLsn> ends;
        ends.reserve(open.size());
        for (size_t i : open) {
            ends.push_back(chainEntries[lastOfRun[chainEntries[i].run]].lsn);
        }
        pointInto(redo, chainEntries, open, undo);
        runEnds.swap(ends);
    };
    if (component == RECORD || component == ALL) {
        makeList('R', oRecordRedo, oRecordUndo, recordUndoRunEnds);
    }
    if (component == INDEX || component == ALL) {
        makeList('I', oIndexRedo, oIndexUndo, indexUndoRunEnds);
    }
    return true;
}

bool OrvRecovery::makeRollbackLists(rollbackComponent component,
                                    const OrvTransactionId& transactionId) {
    ORV_TRACE(LogManager);
    // Only the log manager of this process knows which entries this process
    // wrote; the newest entry of the id in the log may be an earlier
    // process's (pids are reused).
    OrvLsn last = OrvLogManager::getInstance()->getLastLsn(transactionId);
    return makeRollbackLists(component, transactionId, last);
}

bool OrvRecovery::makeRollbackLists(rollbackComponent component,
                                    const OrvTransactionId& transactionId,
                                    const OrvLsn& lastEntry) {
    ORV_TRACE(LogManager);
    if (component == ALL) {
        return true;
    }
    if (!analysedFor(component)) {
        orvTrace.traceString(1, "a rollback list asked for entries the log was not analysed for");
        return false;
    }
    char kind = component == RECORD ? 'R' : 'I';
    std::vector<size_t> open;
    if (!(lastEntry == OrvLsn())) {
        size_t position = chainEntries.size();
        for (size_t i = chainEntries.size(); i-- > 0;) {
            if (chainEntries[i].lsn == lastEntry) {
                position = i;
                break;
            }
        }
        if (position < chainEntries.size() &&
            chainEntries[position].transactionId == transactionId) {
            size_t run = chainEntries[position].run;
            open = openWork(kind, &run, position);
        } else {
            std::string text = "the last entry " + lastEntry.dump() + " of transaction " +
                               transactionId.dump() + " is not in the readable log";
            orvTrace.traceString(2, text.c_str());
        }
    }
    if (component == RECORD) {
        oRecordRollback.clear();
        pointInto(oRecordRedo, chainEntries, open, oRecordRollback);
    } else {
        oIndexRollback.clear();
        pointInto(oIndexRedo, chainEntries, open, oIndexRollback);
    }
    return true;
}

namespace {

// The log files a chain walk reads, opened once each.
class ChainFiles {
public:
    explicit ChainFiles(const std::string& directory) : dir(directory) {}
    ~ChainFiles() {
        for (const auto& [number, fd] : files) {
            (void)OrvIo::close(fd);
        }
    }
    ChainFiles(const ChainFiles&) = delete;
    ChainFiles& operator=(const ChainFiles&) = delete;

    // The entry at `lsn` into `handle`; false when it cannot be read there.
    bool read(const OrvLsn& lsn, const std::function<void(const OrvLogReader::EntryView&)>& handle,
              std::string& problem) {
        const int fd = open(lsn.getFilenumber());
        if (fd == -ENOENT) {
            problem = "its log file does not exist";
            return false;
        }
        if (fd < 0) {
            // Not the end of the chain: the rest of the run would stay done.
            ORV_THROW(ORV_LOGM_FILE_READ_FAILED, fileName(lsn.getFilenumber()), std::strerror(-fd));
        }
        // Small first (the parse reads every entry the bytes hold); an entry
        // that does not fit is read again with twice the room. A chain
        // mixes short record entries with index entries of two page images:
        // the room the last long entry needed is where the next read
        // starts, so that each entry costs one read, not one per doubling.
        for (std::size_t length = firstLength;; length *= 2) {
            buffer.resize(length);
            const ssize_t got = OrvIo::pread(fd, buffer.data(), length, lsn.getOffset());
            if (got < 0) {
                ORV_THROW(ORV_LOGM_FILE_READ_FAILED, fileName(lsn.getFilenumber()),
                          std::strerror(static_cast<int>(-got)));
            }
            if (got == 0) {
                problem = "nothing can be read there";
                return false;
            }
            bool found = false;
            const OrvLogReader::FileResult result = OrvLogReader::parseFileFrom(
                buffer.data(), static_cast<std::size_t>(got), lsn.getOffset(), lsn.getFilenumber(),
                [&](const OrvLogReader::EntryView& view) {
                    if (!found) {
                        found = true;
                        handle(view);
                    }
                });
            if (found) {
                firstLength = length;
                return true;
            }
            if (result.complete || !result.truncated || static_cast<std::size_t>(got) < length ||
                length >= OrvLogReader::MAX_ENTRY_SIZE) {
                problem = result.problem.empty() ? "no entry there" : result.problem;
                return false;
            }
        }
    }

private:
    std::string fileName(Uint16 number) const {
        return dir + "/" + std::to_string(number) + ".log";
    }
    int open(Uint16 number) {
        const auto found = files.find(number);
        if (found != files.end()) {
            return found->second;
        }
        const std::string path = fileName(number);
        const int fd = OrvIo::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd == -ELOOP) {
            ORV_THROW(ORV_LOGM_FILE_IS_LINK, path);
        }
        if (fd >= 0) {
            files[number] = fd;
        }
        return fd;
    }

    std::string dir;
    std::map<Uint16, int> files;
    std::vector<char> buffer;
    std::size_t firstLength = 512;
};

} // namespace

bool OrvRecovery::rollbackRunByChain(rollbackComponent component,
                                     const OrvTransactionId& transactionId) {
    ORV_TRACE(LogManager);
    return rollbackRunByChain(component, transactionId,
                              OrvLogManager::getInstance()->getLastLsn(transactionId));
}

bool OrvRecovery::rollbackRunByChain(rollbackComponent component,
                                     const OrvTransactionId& transactionId,
                                     const OrvLsn& lastEntry) {
    ORV_TRACE(LogManager);
    reset();
    if (component == ALL) {
        return true;
    }
    const char kind = component == RECORD ? 'R' : 'I';
    OrvLsn at = lastEntry;
    ChainFiles files(directory());
    try {
        while (!(at == OrvLsn())) {
            bool ends = false;
            bool ours = true;
            OrvLsn previous;
            std::string problem;
            const bool read = files.read(
                at,
                [&](const OrvLogReader::EntryView& view) {
                    if (!(view.lsn == at) || view.transactionId != transactionId) {
                        ours = false;
                        return;
                    }
                    previous = view.prevLsn;
                    ends = view.type == COMMIT || (view.type == ROLLBACK && view.kind == kind);
                    if (ends || view.kind != kind) {
                        return;
                    }
                    if (kind == 'R') {
                        oRecordRedo.emplace_back();
                        OrvLogReader::fillEntry(view, oRecordRedo.back());
                    } else {
                        oIndexRedo.emplace_back();
                        OrvLogReader::fillEntry(view, oIndexRedo.back());
                    }
                },
                problem);
            if (!read || !ours) {
                const std::string text = "the chain of transaction " + transactionId.dump() +
                                         " ends at " + at.dump() + ": " +
                                         (read ? "another entry lies there" : problem);
                orvTrace.traceString(1, text.c_str());
                break;
            }
            if (ends || !(previous < at)) {
                break;
            }
            at = previous;
        }
    } catch (...) {
        reset();
        throw;
    }
    // Pointers are taken once the array has stopped growing.
    if (kind == 'R') {
        for (OrvRecordLogEntry& entry : oRecordRedo) {
            oRecordRollback.push_back(&entry);
        }
        analysedRecords = true;
    } else {
        for (OrvIndexLogEntry& entry : oIndexRedo) {
            oIndexRollback.push_back(&entry);
        }
        analysedIndexEntries = true;
    }
    return true;
}

bool OrvRecovery::recoverDb(rollbackComponent component) {
    ORV_TRACE(LogManager);
    return AnalyseLog(component) && makeUndoLists(component);
}

bool OrvRecovery::rollbackTransaction(rollbackComponent component,
                                      const OrvTransactionId& transactionId) {
    ORV_TRACE(LogManager);
    return AnalyseLog(component) && makeRollbackLists(component, transactionId);
}

OrvRecordLogEntry* OrvRecovery::getRecordRedoList() {
    ORV_TRACE(LogManager);
    return oRecordRedo.empty() ? nullptr : oRecordRedo.data();
}

OrvIndexLogEntry* OrvRecovery::getIndexRedoList() {
    ORV_TRACE(LogManager);
    return oIndexRedo.empty() ? nullptr : oIndexRedo.data();
}

int OrvRecovery::getRecordRedoListLength() const {
    ORV_TRACE(LogManager);
    return static_cast<int>(oRecordRedo.size());
}

int OrvRecovery::getIndexRedoListLength() const {
    ORV_TRACE(LogManager);
    return static_cast<int>(oIndexRedo.size());
}

OrvRecordLogEntry** OrvRecovery::getRecordUndoList() {
    ORV_TRACE(LogManager);
    return oRecordUndo.empty() ? nullptr : oRecordUndo.data();
}

OrvIndexLogEntry** OrvRecovery::getIndexUndoList() {
    ORV_TRACE(LogManager);
    return oIndexUndo.empty() ? nullptr : oIndexUndo.data();
}

int OrvRecovery::getRecordUndoListLength() const {
    ORV_TRACE(LogManager);
    return static_cast<int>(oRecordUndo.size());
}

int OrvRecovery::getIndexUndoListLength() const {
    ORV_TRACE(LogManager);
    return static_cast<int>(oIndexUndo.size());
}

OrvLsn OrvRecovery::getRecordUndoRunEnd(int i) const {
    ORV_TRACE(LogManager);
    if (i < 0 || static_cast<size_t>(i) >= recordUndoRunEnds.size()) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    return recordUndoRunEnds[static_cast<size_t>(i)];
}

OrvLsn OrvRecovery::getIndexUndoRunEnd(int i) const {
    ORV_TRACE(LogManager);
    if (i < 0 || static_cast<size_t>(i) >= indexUndoRunEnds.size()) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    return indexUndoRunEnds[static_cast<size_t>(i)];
}

OrvRecordLogEntry** OrvRecovery::getRecordRollbackList() {
    ORV_TRACE(LogManager);
    return oRecordRollback.empty() ? nullptr : oRecordRollback.data();
}

OrvIndexLogEntry** OrvRecovery::getIndexRollbackList() {
    ORV_TRACE(LogManager);
    return oIndexRollback.empty() ? nullptr : oIndexRollback.data();
}

int OrvRecovery::getRecordRollbackListLength() const {
    ORV_TRACE(LogManager);
    return static_cast<int>(oRecordRollback.size());
}

int OrvRecovery::getIndexRollbackListLength() const {
    ORV_TRACE(LogManager);
    return static_cast<int>(oIndexRollback.size());
}

void OrvRecovery::setProgress(Progress newProgress) {
    ORV_TRACE(LogManager);
    progress = std::move(newProgress);
}

void OrvRecovery::step(const char* pass, Uint64 done, Uint64 total) {
    if (progress) {
        progress(pass, done, total);
    }
}

void OrvRecovery::noteRedone() {
    ++redone;
}

void OrvRecovery::noteUndone() {
    ++undone;
}

void OrvRecovery::noteEnded(const OrvLsn& lastEntry, const OrvLsn& endEntry) {
    ended.push_back({lastEntry, endEntry});
}

Uint64 OrvRecovery::redoneEntries() const {
    return redone;
}

Uint64 OrvRecovery::undoneEntries() const {
    return undone;
}

const std::vector<OrvRecovery::EndedRun>& OrvRecovery::endedRuns() const {
    return ended;
}
