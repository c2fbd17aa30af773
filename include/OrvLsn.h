// OrvLsn: the log sequence number, the position of a log entry as the number
// of its log file and the byte offset of its first byte in that file.
//
// Pages carry the LSN of their last logged change in their common header, log
// entries carry theirs and their transaction's previous one in text form,
// and recovery compares them. (0,0), dummyLSN(), means "none".
//
// A plain value: copied freely, no shared state.
#ifndef ORV_LSN_H
#define ORV_LSN_H

#include "OrvTypes.h"

#include <cstddef>
#include <string>
#include <type_traits>

// The object is also the LSN's form in a page header (bytes 8 to 15 of the
// page), so it is copied into and out of pages as it is:
//
//   offset  size  field
//        0     2  filenumber
//        2     2  padding, always zero (so page bytes are deterministic)
//        4     4  offset
//
// All in the machine's native byte order.
class OrvLsn {
public:
    // (0,0). constexpr, like the next one, so that LSN constants are built at
    // compile time, before anything else of the process exists.
    constexpr OrvLsn() : filenumber(0), padding(0), offset(0) {}
    constexpr OrvLsn(Uint16 filenumber, Uint32 offset)
        : filenumber(filenumber), padding(0), offset(offset) {}
    // Parses the text form "<filenumber>,<offset>": decimal digits only, no
    // blanks or signs, each number within its type's range. Anything else
    // throws OrvException ORV_LOGM_LSN_PARSING_FAILED with the text.
    explicit OrvLsn(const std::string& text);

    Uint16 getFilenumber() const;
    Uint32 getOffset() const;

    // The text form, e.g. "1,120" for offset 120 of log file 1.
    std::string dump() const;

    // Ordered by file number, then offset.
    bool operator<(const OrvLsn& other) const;
    bool operator>(const OrvLsn& other) const;
    bool operator==(const OrvLsn& other) const;
    bool operator!=(const OrvLsn& other) const;

    // (0,0): no log entry.
    static OrvLsn dummyLSN();

private:
    Uint16 filenumber;
    Uint16 padding;
    Uint32 offset;

    // Never called; its body holds the compiler to the page header layout.
    static constexpr void checkPageHeaderLayout() {
        static_assert(offsetof(OrvLsn, filenumber) == 0, "file number at byte 0");
        static_assert(offsetof(OrvLsn, padding) == 2, "padding at bytes 2-3");
        static_assert(offsetof(OrvLsn, offset) == 4, "offset at bytes 4-7");
    }
};

static_assert(sizeof(OrvLsn) == 8, "an LSN fills bytes 8 to 15 of a page header");
static_assert(std::is_standard_layout<OrvLsn>::value, "an LSN is copied into pages as bytes");
static_assert(std::is_trivially_copyable<OrvLsn>::value, "an LSN is copied into pages as bytes");

#endif
