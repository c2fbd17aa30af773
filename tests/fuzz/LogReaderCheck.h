// What must hold whatever bytes the log reader is given, checked the same
// way by the fuzz target and by the test that replays its corpus.
//
// The bytes are read as log file 1. Every entry the reader accepts must
// turn back into an entry object whose serialised form (and line break) is
// exactly the bytes it was read from, the entries must follow each other
// without gaps from offset 0, and the reading must end where the last whole
// entry ends: at the end of the bytes, or at the first entry it refused.
#ifndef ORV_LOG_READER_CHECK_H
#define ORV_LOG_READER_CHECK_H

#include "OrvException.h"
#include "log/OrvIndexLogEntry.h"
#include "log/OrvLogReader.h"
#include "log/OrvRecordLogEntry.h"

#include <cstddef>
#include <string>

namespace orvfuzz {

// Empty when everything holds, else what does not.
inline std::string checkLogReader(const char* bytes, std::size_t size) {
    std::string failure;
    std::size_t expectedOffset = 0;
    std::string form;
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
    } catch (const OrvException& e) {
        failure = std::string("exception ") + std::to_string(e.getErrorCode());
    }
    return failure;
}

} // namespace orvfuzz

#endif
