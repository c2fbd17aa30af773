// What must hold whatever bytes the log reader is given, checked the same
// way by the fuzz target and by the test that replays its corpus.
//
// The bytes are read as log file 1. Every entry the reader accepts must
// turn back into an entry object whose serialised form (and line break) is
// exactly the bytes it was read from, the entries must follow each other
// without gaps from offset 0, and the reading must end where the last whole
// entry ends: at the end of the bytes, or at the first entry it refused.
//
// Read in chunks of any size (with runs of zero bytes skipped as a sparse
// file's holes are), the bytes give the same entries and the same end; and
// the search for a whole entry behind the first refused one finds the first
// offset at which an entry of the file begins.
#ifndef ORV_LOG_READER_CHECK_H
#define ORV_LOG_READER_CHECK_H

#include "OrvException.h"
#include "log/OrvIndexLogEntry.h"
#include "log/OrvLogReader.h"
#include "log/OrvRecordLogEntry.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace orvfuzz {

// The bytes as a file to be read in chunks.
inline OrvLogReader::Source memorySource(const char* bytes, std::size_t size) {
    OrvLogReader::Source source;
    source.size = size;
    source.readAt = [bytes, size](char* buffer, std::size_t length, Uint64 offset) -> ssize_t {
        if (offset >= size) {
            return 0;
        }
        std::size_t n = std::min<std::size_t>(length, size - static_cast<std::size_t>(offset));
        std::memcpy(buffer, bytes + offset, n);
        return static_cast<ssize_t>(n);
    };
    source.nextData = [bytes, size](Uint64 offset) -> Uint64 {
        while (offset < size && bytes[offset] == '\0') {
            ++offset;
        }
        return offset;
    };
    return source;
}

// The chunked reading compared with the whole one; empty when they agree.
inline std::string checkChunkedReading(const char* bytes, std::size_t size,
                                       const OrvLogReader::FileResult& whole,
                                       const std::vector<std::size_t>& offsets) {
    OrvLogReader::Source source = memorySource(bytes, size);
    for (std::size_t chunk : {std::size_t(1), std::size_t(5), std::size_t(64)}) {
        std::vector<std::size_t> seen;
        OrvLogReader::FileResult result = OrvLogReader::parseSource(
            source, 1, [&](const OrvLogReader::EntryView& view) { seen.push_back(view.offset); },
            chunk);
        std::string in = " in chunks of " + std::to_string(chunk);
        if (seen != offsets) {
            return "other entries" + in;
        }
        if (result.end != whole.end || result.complete != whole.complete ||
            result.truncated != whole.truncated || result.problem != whole.problem ||
            result.readError != 0) {
            return "reading ended at " + std::to_string(result.end) + " (" + result.problem + ")" +
                   in + ", whole at " + std::to_string(whole.end) + " (" + whole.problem + ")";
        }
    }
    if (whole.complete) {
        return std::string();
    }
    // The first offset behind the end at which an entry is accepted.
    std::size_t expected = size;
    for (std::size_t p = whole.end + 1; p < size && expected == size; ++p) {
        if (OrvLogReader::entryOfFileAt(bytes + p, size - p, 1) > 0) {
            expected = p;
        }
    }
    for (std::size_t chunk : {std::size_t(2), std::size_t(7), std::size_t(4096)}) {
        Uint64 at = 0;
        int found = OrvLogReader::findWholeEntryAfter(source, whole.end, 1, at, chunk);
        if (found != (expected < size ? 1 : 0) || (found == 1 && at != expected)) {
            return "whole entry behind the end found at " +
                   (found == 1 ? std::to_string(at) : std::string("none")) + " in chunks of " +
                   std::to_string(chunk) + ", expected " +
                   (expected < size ? std::to_string(expected) : std::string("none"));
        }
    }
    return std::string();
}

// Empty when everything holds, else what does not.
inline std::string checkLogReader(const char* bytes, std::size_t size) {
    std::string failure;
    std::size_t expectedOffset = 0;
    std::string form;
    std::vector<std::size_t> offsets;
    try {
        OrvLogReader::FileResult result =
            OrvLogReader::parseFile(bytes, size, 1, [&](const OrvLogReader::EntryView& view) {
                if (!failure.empty()) {
                    return;
                }
                if (view.offset != expectedOffset || view.size == 0 || view.size > size ||
                    view.offset > size - view.size) {
                    failure = "entry outside the bytes or not contiguous at " +
                              std::to_string(view.offset);
                    return;
                }
                if (view.kind == 'R') {
                    OrvRecordLogEntry entry;
                    OrvLogReader::fillEntry(view, entry);
                    entry.serializeTo(form);
                } else {
                    OrvIndexLogEntry entry;
                    OrvLogReader::fillEntry(view, entry);
                    entry.serializeTo(form);
                }
                form.push_back('\n');
                if (form != std::string(bytes + view.offset, view.size)) {
                    failure = "entry at " + std::to_string(view.offset) +
                              " does not serialise back to its bytes";
                }
                expectedOffset += view.size;
                offsets.push_back(view.offset);
            });
        if (failure.empty() && result.end != expectedOffset) {
            failure = "reading ended at " + std::to_string(result.end) + ", entries at " +
                      std::to_string(expectedOffset);
        }
        if (failure.empty() && result.complete != (result.end == size)) {
            failure = "complete is " + std::string(result.complete ? "true" : "false") +
                      " with the end at " + std::to_string(result.end) + " of " +
                      std::to_string(size);
        }
        if (failure.empty()) {
            failure = checkChunkedReading(bytes, size, result, offsets);
        }
    } catch (const OrvException& e) {
        failure = std::string("exception ") + std::to_string(e.getErrorCode());
    }
    return failure;
}

} // namespace orvfuzz

#endif
