// The reader of log files: turns the bytes of one log file back into entries.
//
// The bytes come from a file and are not trusted: a process may have died in
// the middle of an append, a disk may have filled up, a file may be damaged.
// The reader never reads outside the bytes it was given and never trusts a
// number it reads: every numeric field must be a canonical decimal number
// (no sign except a process id's '-', no leading zero, no blank) within the
// range of its type, every image length must lie between 0 and the bytes
// left, and every separator and the line break after the entry must be where
// the format puts them. An entry's LSN must name the place where it lies
// (this file's number, the offset of its first byte), and its previous LSN
// must be 0,0 or lie before it. An image is at most ORV_LOG_MAX_IMAGE_LENGTH
// bytes long, so that a damaged length field cannot make a reader hold more
// than one bounded entry in memory. The first entry that breaks any of this,
// or that the bytes end in, ends the reading: what follows is not taken for
// entries.
//
// Every decision about an entry depends only on its own bytes and those
// before it, so reading a file in chunks (parseSource) finds exactly what
// reading it whole (parseFile) finds.
//
// No state; safe to call from any process.
#ifndef ORV_LOG_READER_H
#define ORV_LOG_READER_H

#include "OrvLsn.h"
#include "OrvRecord.h"
#include "OrvTransaction.h"
#include "OrvTypes.h"

#include <cstddef>
#include <functional>
#include <string>
#include <sys/types.h>

class OrvRecordLogEntry;
class OrvIndexLogEntry;

namespace OrvLogReader {

// The longest image an entry may carry. The engine logs single records and
// pages, far below it; an entry's longest image is what a reader holds.
constexpr Sint32 MAX_IMAGE_LENGTH = 16 * 1024 * 1024;
// The most bytes one entry with its line break can take: two images and the
// text of its other fields, whose numbers are bounded by their types.
constexpr std::size_t MAX_ENTRY_SIZE = 2 * static_cast<std::size_t>(MAX_IMAGE_LENGTH) + 4096;
// Bytes read from a log file at a time.
constexpr std::size_t READ_CHUNK = 1024 * 1024;

// One whole, well-formed entry as it lies in the bytes. The image pointers
// point into the bytes given to parseFile and are valid as long as those.
struct EntryView {
    char kind = 'R'; // 'R' record entry, 'I' index entry
    OrvLsn lsn;
    OrvLsn prevLsn;
    OrvTransactionId transactionId{0, 0};
    // Record entries.
    bool hasPrimaryTid = false;
    bool hasOldSecondaryTid = false;
    bool hasNewSecondaryTid = false;
    TupleId primaryTid;
    TupleId oldSecondaryTid;
    TupleId newSecondaryTid;
    // Index entries.
    bool hasPageId = false;
    PageId pageId = 0;
    SegmentId segmentId = 0;
    const char* beforeImage = nullptr;
    Sint32 beforeLength = 0;
    const char* afterImage = nullptr;
    Sint32 afterLength = 0;
    Sint32 type = 0;
    // Where the entry lies: offset of its first byte, and its bytes with the
    // line break that follows it.
    std::size_t offset = 0;
    std::size_t size = 0;
};

struct FileResult {
    // Whole entries handed out.
    std::size_t entries = 0;
    // Offset just behind the last whole entry (and its line break); the
    // offset the bytes began at when there was none.
    std::size_t end = 0;
    // True when the bytes end exactly there; false when the bytes from `end`
    // on are a truncated or malformed entry.
    bool complete = true;
    // When not complete: whether the bytes ended inside the entry at `end`
    // (as an append that did not finish leaves it) rather than holding
    // something the format does not allow.
    bool truncated = false;
    // When not complete: what is wrong with the entry at `end`.
    std::string problem;
    // parseSource: 0, or the negated errno of a read that failed; the
    // entries before `end` were read, and `problem` says what failed.
    int readError = 0;
};

// A log file to be read in chunks.
struct Source {
    // Bytes of the file that are read.
    Uint64 size = 0;
    // Reads up to length bytes at offset into buffer: the count read (fewer
    // only at the end of the file) or a negated errno.
    std::function<ssize_t(char* buffer, std::size_t length, Uint64 offset)> readAt;
    // Optional: the first offset at or after the given one that may hold
    // anything but zero bytes, or size when none does (holes of a sparse
    // file are skipped by the search for whole entries).
    std::function<Uint64(Uint64 offset)> nextData;
};

// A source reading the first size bytes of the open file fd.
Source fileSource(int fd, Uint64 size);

// Parses the entries of log file number fileNumber, whose bytes are
// bytes[0 .. size), and calls onEntry for each whole entry in file order;
// stops at the first truncated or malformed entry. bytes may be null when
// size is 0. Throws nothing of its own; an exception of onEntry passes on.
FileResult parseFile(const char* bytes, std::size_t size, Uint16 fileNumber,
                     const std::function<void(const EntryView&)>& onEntry);

// The same for a part of the file: bytes[0 .. size) are the file's bytes
// from offset base on, and base is where an entry begins. Offsets (the
// views', FileResult::end) are offsets in the file, so an entry's LSN is
// checked against its place in the file as above.
FileResult parseFileFrom(const char* bytes, std::size_t size, std::size_t base, Uint16 fileNumber,
                         const std::function<void(const EntryView&)>& onEntry);

// parseFile for a file read in chunks of chunk bytes: memory stays at one
// chunk or one entry, whichever is longer, whatever the size of the file.
// The views passed to onEntry are valid only during the call.
// With from, reading begins there (where an entry begins) rather than at 0.
FileResult parseSource(const Source& source, Uint16 fileNumber,
                       const std::function<void(const EntryView&)>& onEntry,
                       std::size_t chunk = READ_CHUNK, Uint64 from = 0);

// Whether bytes[0 .. size) begin with a whole, well-formed entry of log file
// fileNumber, wherever in the file it lies: as parseFile would take it,
// except that its LSN need only name this file, not this offset (a byte
// inserted or removed before an entry moves it, and it is still the entry
// its writer wrote). 1 when they do, 0 when they do not, -1 when the bytes
// end before that can be told.
int entryOfFileAt(const char* bytes, std::size_t size, Uint16 fileNumber);

// Whether such an entry (entryOfFileAt) begins somewhere after offset from:
// 1 when one does, with `at` set to its offset, 0 when none does, or the
// negated errno of a read that failed.
int findWholeEntryAfter(const Source& source, Uint64 from, Uint16 fileNumber, Uint64& at,
                        std::size_t chunk = READ_CHUNK);

// Fill an entry from a record ('R') or index ('I') view: writeVariables, then
// the LSN and the previous LSN. Throw what writeVariables throws.
void fillEntry(const EntryView& view, OrvRecordLogEntry& entry);
void fillEntry(const EntryView& view, OrvIndexLogEntry& entry);

} // namespace OrvLogReader

#endif
