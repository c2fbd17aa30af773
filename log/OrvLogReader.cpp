#include "log/OrvLogReader.h"

#include "OrvConfig.h"
#include "log/OrvIndexLogEntry.h"
#include "log/OrvRecordLogEntry.h"
#include "support/OrvIo.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

// Walks the bytes of one entry. The first failure is kept: whether the bytes
// ran out (a truncated entry, as a writer that died leaves it) or held
// something the format does not allow, and in which field.
class Cursor {
public:
    Cursor(const char* bytes, std::size_t size, std::size_t pos)
        : data(bytes), size(size), pos(pos) {}

    std::size_t position() const { return pos; }
    bool truncated() const { return wasTruncated; }
    const char* failedField() const { return field; }

    bool fail(bool endOfBytes, const char* what) {
        if (field == nullptr) {
            wasTruncated = endOfBytes;
            field = what;
        }
        return false;
    }

    bool peekIs(char c) const { return pos < size && data[pos] == c; }

    bool expect(char c, const char* what) {
        if (pos >= size) {
            return fail(true, what);
        }
        if (data[pos] != c) {
            return fail(false, what);
        }
        ++pos;
        return true;
    }

    // A canonical decimal number of at most maximum: digits only, no leading
    // zero (a lone "0" is zero).
    bool unsignedNumber(Uint64 maximum, Uint64& value, const char* what) {
        if (pos >= size) {
            return fail(true, what);
        }
        if (!isDigit(data[pos])) {
            return fail(false, what);
        }
        value = 0;
        if (data[pos] == '0') {
            ++pos;
            // A digit after the zero is caught by the separator that must follow.
            return true;
        }
        while (pos < size && isDigit(data[pos])) {
            Uint64 digit = static_cast<Uint64>(data[pos] - '0');
            if (digit > maximum || value > (maximum - digit) / 10) {
                return fail(false, what);
            }
            value = value * 10 + digit;
            ++pos;
        }
        return true;
    }

    // Like unsignedNumber, with an optional '-' before a number other than 0.
    bool signedNumber(Sint64 minimum, Sint64 maximum, Sint64& value, const char* what) {
        bool negative = peekIs('-');
        if (negative) {
            ++pos;
            if (peekIs('0')) {
                return fail(false, what);
            }
        }
        Uint64 magnitude = 0;
        Uint64 limit =
            negative ? static_cast<Uint64>(-(minimum + 1)) + 1 : static_cast<Uint64>(maximum);
        if (!unsignedNumber(limit, magnitude, what)) {
            return false;
        }
        value = negative ? -static_cast<Sint64>(magnitude - 1) - 1 : static_cast<Sint64>(magnitude);
        return true;
    }

    // "<file>,<offset>" and the separator.
    bool lsnField(OrvLsn& lsn, const char* what) {
        Uint64 file = 0;
        Uint64 offset = 0;
        if (!unsignedNumber(ORV_MAX_UINT16, file, what) || !expect(',', what) ||
            !unsignedNumber(ORV_MAX_UINT32, offset, what) || !expect(';', what)) {
            return false;
        }
        lsn = OrvLsn(static_cast<Uint16>(file), static_cast<Uint32>(offset));
        return true;
    }

    // Empty (absent) or "<page>,<slot>", and the separator.
    bool tupleIdField(bool& present, TupleId& tid, const char* what) {
        present = false;
        if (peekIs(';')) {
            ++pos;
            return true;
        }
        Uint64 page = 0;
        Uint64 slot = 0;
        if (!unsignedNumber(ORV_MAX_UINT16, page, what) || !expect(',', what) ||
            !unsignedNumber(ORV_MAX_UINT8, slot, what) || !expect(';', what)) {
            return false;
        }
        present = true;
        tid = TupleId(static_cast<PageId>(page), static_cast<SlotId>(slot));
        return true;
    }

    // "<length>;" then exactly length bytes and the separator.
    bool imageField(const char*& image, Sint32& length, const char* what) {
        Uint64 value = 0;
        if (!unsignedNumber(ORV_MAX_SINT32, value, what) || !expect(';', what)) {
            return false;
        }
        if (value > static_cast<Uint64>(OrvLogReader::MAX_IMAGE_LENGTH)) {
            return fail(false, what);
        }
        if (value > size - pos) {
            return fail(true, what);
        }
        image = data + pos;
        length = static_cast<Sint32>(value);
        pos += static_cast<std::size_t>(value);
        return expect(';', what);
    }

private:
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    const char* data;
    std::size_t size;
    std::size_t pos;
    const char* field = nullptr;
    bool wasTruncated = false;
};

// Parses the entry at position start of bytes, which begin at file offset
// base. False when it is not a whole, well-formed entry; the cursor tells why.
// With anyPlace, the LSN need only name the file, not the entry's offset.
bool parseEntry(const char* bytes, std::size_t size, std::size_t start, std::size_t base,
                Uint16 fileNumber, Cursor& cursor, OrvLogReader::EntryView& view,
                bool anyPlace = false) {
    view = OrvLogReader::EntryView();
    view.offset = base + start;
    if (start >= size) {
        return cursor.fail(true, "kind");
    }
    view.kind = bytes[start];
    if (view.kind != 'R' && view.kind != 'I') {
        return cursor.fail(false, "kind");
    }
    if (!cursor.expect(view.kind, "kind") || !cursor.expect(';', "kind")) {
        return false;
    }
    if (!cursor.lsnField(view.lsn, "LSN")) {
        return false;
    }
    // The LSN is where the entry was written; any other value means the bytes
    // here are not the entry the writer put here.
    if (anyPlace) {
        if (view.lsn.getFilenumber() != fileNumber) {
            return cursor.fail(false, "LSN (not of this file)");
        }
    } else if (view.offset > ORV_MAX_UINT32 ||
               !(view.lsn == OrvLsn(fileNumber, static_cast<Uint32>(view.offset)))) {
        return cursor.fail(false, "LSN (not the entry's place)");
    }
    if (!cursor.lsnField(view.prevLsn, "previous LSN")) {
        return false;
    }
    if (!(view.prevLsn == OrvLsn()) && !(view.prevLsn < view.lsn)) {
        return cursor.fail(false, "previous LSN (not before the entry)");
    }
    Sint64 pid = 0;
    Uint64 count = 0;
    if (!cursor.signedNumber(ORV_MIN_SINT32, ORV_MAX_SINT32, pid, "transaction id") ||
        !cursor.expect(',', "transaction id") ||
        !cursor.unsignedNumber(ORV_MAX_UINT16, count, "transaction id") ||
        !cursor.expect(';', "transaction id")) {
        return false;
    }
    view.transactionId = OrvTransactionId(static_cast<pid_t>(pid), static_cast<Uint16>(count));
    if (view.kind == 'R') {
        if (!cursor.tupleIdField(view.hasPrimaryTid, view.primaryTid, "primary tuple id") ||
            !cursor.tupleIdField(view.hasOldSecondaryTid, view.oldSecondaryTid,
                                 "old secondary tuple id") ||
            !cursor.tupleIdField(view.hasNewSecondaryTid, view.newSecondaryTid,
                                 "new secondary tuple id")) {
            return false;
        }
    } else if (cursor.peekIs(';')) {
        cursor.expect(';', "page id");
    } else {
        Uint64 page = 0;
        if (!cursor.unsignedNumber(ORV_MAX_UINT16, page, "page id") ||
            !cursor.expect(';', "page id")) {
            return false;
        }
        view.hasPageId = true;
        view.pageId = static_cast<PageId>(page);
    }
    Uint64 segment = 0;
    if (!cursor.unsignedNumber(ORV_MAX_UINT16, segment, "segment id") ||
        !cursor.expect(';', "segment id")) {
        return false;
    }
    view.segmentId = static_cast<SegmentId>(segment);
    if (!cursor.imageField(view.beforeImage, view.beforeLength, "before image") ||
        !cursor.imageField(view.afterImage, view.afterLength, "after image")) {
        return false;
    }
    Sint64 type = 0;
    if (!cursor.signedNumber(ORV_MIN_SINT32, ORV_MAX_SINT32, type, "kind of change") ||
        !cursor.expect(';', "kind of change") || !cursor.expect('\n', "line break")) {
        return false;
    }
    view.type = static_cast<Sint32>(type);
    view.size = cursor.position() - start;
    return true;
}

} // namespace

namespace OrvLogReader {

FileResult parseFile(const char* bytes, std::size_t size, Uint16 fileNumber,
                     const std::function<void(const EntryView&)>& onEntry) {
    ORV_TRACE(LogManager);
    return parseFileFrom(bytes, size, 0, fileNumber, onEntry);
}

FileResult parseFileFrom(const char* bytes, std::size_t size, std::size_t base, Uint16 fileNumber,
                         const std::function<void(const EntryView&)>& onEntry) {
    ORV_TRACE(LogManager);
    FileResult result;
    if (bytes == nullptr) {
        size = 0;
    }
    std::size_t position = 0;
    EntryView view;
    while (position < size) {
        Cursor cursor(bytes, size, position);
        if (!parseEntry(bytes, size, position, base, fileNumber, cursor, view)) {
            result.complete = false;
            result.truncated = cursor.truncated();
            result.problem = std::string(cursor.truncated() ? "truncated" : "malformed") +
                             " entry (" + cursor.failedField() + ")";
            break;
        }
        onEntry(view);
        ++result.entries;
        position += view.size;
    }
    result.end = base + position;
    return result;
}

int entryOfFileAt(const char* bytes, std::size_t size, Uint16 fileNumber) {
    Cursor cursor(bytes, size, 0);
    EntryView view;
    if (parseEntry(bytes, size, 0, 0, fileNumber, cursor, view, true)) {
        return 1;
    }
    return cursor.truncated() ? -1 : 0;
}

} // namespace OrvLogReader

namespace {

// The bytes of a source from some offset on, read as needed.
class Window {
public:
    explicit Window(const OrvLogReader::Source& source) : source(source) {}

    // Makes the window hold the bytes [from, from + want), or up to the end
    // of the source. Returns 0 or the negated errno of a failed read.
    int load(Uint64 from, std::size_t want) {
        Uint64 left = from < source.size ? source.size - from : 0;
        std::size_t wanted = static_cast<std::size_t>(std::min<Uint64>(want, left));
        if (from >= base && from - base <= length && length - (from - base) >= wanted) {
            return 0;
        }
        if (buffer.size() < wanted) {
            buffer.resize(wanted);
        }
        // What the window already holds of them is kept.
        std::size_t kept = 0;
        if (from >= base && from - base < length) {
            kept = length - static_cast<std::size_t>(from - base);
            std::memmove(buffer.data(), buffer.data() + (from - base), kept);
        }
        base = from;
        length = kept;
        while (length < wanted) {
            ssize_t got = source.readAt(buffer.data() + length, wanted - length, base + length);
            if (got < 0) {
                return static_cast<int>(got);
            }
            if (got == 0) {
                // The file shrank while it was read: it ends here.
                break;
            }
            length += static_cast<std::size_t>(got);
        }
        return 0;
    }

    const char* at(Uint64 offset) const { return buffer.data() + (offset - base); }
    std::size_t availableFrom(Uint64 offset) const {
        return length - static_cast<std::size_t>(offset - base);
    }
    // Whether the window reaches the end of the source.
    bool reachesEnd() const { return base + length >= source.size; }

private:
    const OrvLogReader::Source& source;
    std::vector<char> buffer;
    Uint64 base = 0;
    std::size_t length = 0;
};

std::string readProblem(int error) {
    return std::string("cannot be read: ") + std::strerror(-error);
}

} // namespace

namespace OrvLogReader {

Source fileSource(int fd, Uint64 size) {
    Source source;
    source.size = size;
    source.readAt = [fd](char* buffer, std::size_t length, Uint64 offset) {
        return OrvIo::pread(fd, buffer, length, static_cast<off_t>(offset));
    };
    source.nextData = [fd, size](Uint64 offset) -> Uint64 {
        // Not through OrvIo: it only skips reading zero bytes, and a failure
        // (a file system without holes) just means nothing is skipped.
        off_t data = ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
        if (data < 0) {
            return errno == ENXIO ? size : offset;
        }
        return std::min<Uint64>(std::max<Uint64>(static_cast<Uint64>(data), offset), size);
    };
    return source;
}

FileResult parseSource(const Source& source, Uint16 fileNumber,
                       const std::function<void(const EntryView&)>& onEntry, std::size_t chunk,
                       Uint64 from) {
    ORV_TRACE(LogManager);
    chunk = std::max<std::size_t>(chunk, 1);
    FileResult result;
    Window window(source);
    Uint64 position = from;
    std::size_t want = chunk;
    while (position < source.size) {
        int rc = window.load(position, want);
        if (rc != 0) {
            result.complete = false;
            result.readError = rc;
            result.problem = readProblem(rc);
            break;
        }
        std::size_t available = window.availableFrom(position);
        if (available == 0) {
            break; // shrank meanwhile: the file is taken as it is
        }
        FileResult part = parseFileFrom(window.at(position), available,
                                        static_cast<std::size_t>(position), fileNumber, onEntry);
        result.entries += part.entries;
        bool progress = part.end > position;
        position = part.end;
        if (part.complete) {
            want = chunk;
            continue;
        }
        if (part.truncated && !window.reachesEnd()) {
            // The entry goes on behind the window: read it again with what
            // follows, in a longer window if it did not fit into the one it
            // began in (never longer than one entry can be).
            if (progress) {
                want = chunk;
                continue;
            }
            if (available < MAX_ENTRY_SIZE) {
                want = std::min(std::max(want, available) * 2, MAX_ENTRY_SIZE);
                continue;
            }
        }
        result.complete = false;
        result.truncated = part.truncated;
        result.problem = part.problem;
        break;
    }
    result.end = static_cast<std::size_t>(position);
    return result;
}

int findWholeEntryAfter(const Source& source, Uint64 from, Uint16 fileNumber, Uint64& at,
                        std::size_t chunk) {
    ORV_TRACE(LogManager);
    chunk = std::max<std::size_t>(chunk, 2);
    Window window(source);
    Uint64 position = from + 1;
    while (position + 1 < source.size) {
        if (source.nextData) {
            Uint64 data = source.nextData(position);
            if (data > position) {
                // A hole holds only zero bytes, where no entry begins.
                position = data;
                continue;
            }
        }
        int rc = window.load(position, chunk);
        if (rc != 0) {
            return rc;
        }
        std::size_t available = window.availableFrom(position);
        if (available < 2) {
            return 0;
        }
        const char* bytes = window.at(position);
        std::size_t p = 0;
        for (; p + 1 < available; ++p) {
            if ((bytes[p] != 'R' && bytes[p] != 'I') || bytes[p + 1] != ';') {
                continue;
            }
            Uint64 candidate = position + p;
            // One entry at the candidate, read in a window as long as it
            // needs (at most one entry).
            std::size_t want = chunk;
            for (;;) {
                rc = window.load(candidate, want);
                if (rc != 0) {
                    return rc;
                }
                std::size_t got = window.availableFrom(candidate);
                int entry = entryOfFileAt(window.at(candidate), got, fileNumber);
                if (entry > 0) {
                    at = candidate;
                    return 1;
                }
                if (entry == 0 || window.reachesEnd() || got >= MAX_ENTRY_SIZE) {
                    break;
                }
                want = std::min(std::max(want, got) * 2, MAX_ENTRY_SIZE);
            }
            // The window now begins at the candidate.
            rc = window.load(candidate, chunk);
            if (rc != 0) {
                return rc;
            }
            position = candidate;
            bytes = window.at(position);
            available = window.availableFrom(position);
            p = 0;
        }
        position += p;
    }
    return 0;
}

} // namespace OrvLogReader

namespace OrvLogReader {

void fillEntry(const EntryView& view, OrvRecordLogEntry& entry) {
    ORV_TRACE(LogManager);
    entry.writeVariables(view.transactionId, view.segmentId, view.beforeImage, view.beforeLength,
                         view.afterImage, view.afterLength, view.type,
                         view.hasPrimaryTid ? &view.primaryTid : nullptr,
                         view.hasOldSecondaryTid ? &view.oldSecondaryTid : nullptr,
                         view.hasNewSecondaryTid ? &view.newSecondaryTid : nullptr);
    entry.setLsn(view.lsn);
    entry.setPrevLsn(view.prevLsn);
}

void fillEntry(const EntryView& view, OrvIndexLogEntry& entry) {
    ORV_TRACE(LogManager);
    entry.writeVariables(view.transactionId, view.hasPageId ? &view.pageId : nullptr,
                         view.segmentId, view.beforeImage, view.beforeLength, view.afterImage,
                         view.afterLength, view.type);
    entry.setLsn(view.lsn);
    entry.setPrevLsn(view.prevLsn);
}

} // namespace OrvLogReader
