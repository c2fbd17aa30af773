#include "OrvLsn.h"

#include "OrvConfig.h"
#include "OrvException.h"
#include "support/OrvDecimalText.h"
#include "support/OrvTrace.h"

OrvLsn::OrvLsn(const std::string& text) : filenumber(0), padding(0), offset(0) {
    ORV_TRACE(LogManager);
    std::size_t pos = 0;
    Uint64 file = 0;
    Uint64 byte = 0;
    if (!OrvDecimalText::readUnsigned(text, pos, ORV_MAX_UINT16, file) || pos >= text.size() ||
        text[pos] != ',' || !OrvDecimalText::readUnsigned(text, ++pos, ORV_MAX_UINT32, byte) ||
        pos != text.size()) {
        ORV_THROW(ORV_LOGM_LSN_PARSING_FAILED, text);
    }
    filenumber = static_cast<Uint16>(file);
    offset = static_cast<Uint32>(byte);
}

Uint16 OrvLsn::getFilenumber() const {
    ORV_TRACE(LogManager);
    return filenumber;
}

Uint32 OrvLsn::getOffset() const {
    ORV_TRACE(LogManager);
    return offset;
}

std::string OrvLsn::dump() const {
    ORV_TRACE(LogManager);
    return std::to_string(filenumber) + "," + std::to_string(offset);
}

bool OrvLsn::operator<(const OrvLsn& other) const {
    ORV_TRACE(LogManager);
    return filenumber != other.filenumber ? filenumber < other.filenumber : offset < other.offset;
}

bool OrvLsn::operator>(const OrvLsn& other) const {
    ORV_TRACE(LogManager);
    return other < *this;
}

bool OrvLsn::operator==(const OrvLsn& other) const {
    ORV_TRACE(LogManager);
    return filenumber == other.filenumber && offset == other.offset;
}

bool OrvLsn::operator!=(const OrvLsn& other) const {
    ORV_TRACE(LogManager);
    return !(*this == other);
}

OrvLsn OrvLsn::dummyLSN() {
    ORV_TRACE(LogManager);
    return OrvLsn();
}
