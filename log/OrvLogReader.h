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
// must be 0,0 or lie before it. The first entry that breaks any of this, or
// that the bytes end in, ends the reading: what follows is not taken for
// entries.
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

class OrvRecordLogEntry;
class OrvIndexLogEntry;

namespace OrvLogReader {

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
    // When not complete: what is wrong with the entry at `end`.
    std::string problem;
};

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

// Fill an entry from a record ('R') or index ('I') view: writeVariables, then
// the LSN and the previous LSN. Throw what writeVariables throws.
void fillEntry(const EntryView& view, OrvRecordLogEntry& entry);
void fillEntry(const EntryView& view, OrvIndexLogEntry& entry);

} // namespace OrvLogReader

#endif
