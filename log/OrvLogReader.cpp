#include "log/OrvLogReader.h"

#include "OrvConfig.h"
#include "log/OrvIndexLogEntry.h"
#include "log/OrvRecordLogEntry.h"
#include "support/OrvTrace.h"

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
bool parseEntry(const char* bytes, std::size_t size, std::size_t start, std::size_t base,
                Uint16 fileNumber, Cursor& cursor, OrvLogReader::EntryView& view) {
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
    if (view.offset > ORV_MAX_UINT32 ||
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
