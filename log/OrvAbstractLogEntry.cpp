#include "log/OrvAbstractLogEntry.h"

#include "OrvConfig.h"
#include "OrvException.h"
#include "support/OrvTrace.h"

#include <cstring>
#include <iostream>
#include <new>

OrvAbstractLogEntry::OrvAbstractLogEntry()
    : transactionID(), transactionType(0), length(0), sLsn(), sPrevLsn() {
    ORV_TRACE(LogManager);
}

OrvAbstractLogEntry::~OrvAbstractLogEntry() = default;

char* OrvAbstractLogEntry::serialize() {
    ORV_TRACE(LogManager);
    std::string form;
    serializeTo(form);
    char* bytes = new (std::nothrow) char[form.size() + 1];
    if (bytes == nullptr) {
        ORV_THROW(ORV_LOGM_SERIALIZE_FAILED);
    }
    std::memcpy(bytes, form.data(), form.size());
    bytes[form.size()] = '\0';
    return bytes;
}

void OrvAbstractLogEntry::dump() {
    ORV_TRACE(LogManager);
    std::string form;
    serializeTo(form);
    std::cout.write(form.data(), static_cast<std::streamsize>(form.size()));
    std::cout << std::endl;
}

OrvTransactionId OrvAbstractLogEntry::getTransactionID() const {
    ORV_TRACE(LogManager);
    return transactionID;
}

int OrvAbstractLogEntry::getTransactionType() const {
    ORV_TRACE(LogManager);
    return transactionType;
}

int OrvAbstractLogEntry::getLength() const {
    ORV_TRACE(LogManager);
    return length;
}

void OrvAbstractLogEntry::setLength(int newLength) {
    ORV_TRACE(LogManager);
    length = newLength;
}

void OrvAbstractLogEntry::setLsn(const OrvLsn& lsn) {
    ORV_TRACE(LogManager);
    sLsn = lsn.dump();
}

OrvLsn OrvAbstractLogEntry::getLsn() const {
    ORV_TRACE(LogManager);
    return sLsn.empty() ? OrvLsn() : OrvLsn(sLsn);
}

void OrvAbstractLogEntry::setPrevLsn(const OrvLsn& lsn) {
    ORV_TRACE(LogManager);
    sPrevLsn = lsn.dump();
}

void OrvAbstractLogEntry::setPrevLsn(const std::string& lsnText) {
    ORV_TRACE(LogManager);
    sPrevLsn = OrvLsn(lsnText).dump();
}

OrvLsn OrvAbstractLogEntry::getPrevLsn() const {
    ORV_TRACE(LogManager);
    return sPrevLsn.empty() ? OrvLsn() : OrvLsn(sPrevLsn);
}

std::string OrvAbstractLogEntry::tupleIdText(const TupleId* tid) {
    ORV_TRACE(LogManager);
    if (tid == nullptr) {
        return std::string();
    }
    return std::to_string(tid->page) + "," + std::to_string(static_cast<unsigned>(tid->slot));
}

std::unique_ptr<char[]> OrvAbstractLogEntry::copyImage(const char* image, int imageLength,
                                                       OrvErrorCode failCode) {
    ORV_TRACE(LogManager);
    if (imageLength < 0 || (image == nullptr && imageLength > 0)) {
        ORV_THROW(failCode);
    }
    std::size_t size = static_cast<std::size_t>(imageLength);
    std::unique_ptr<char[]> copy(new (std::nothrow) char[size + 1]);
    if (!copy) {
        ORV_THROW(failCode);
    }
    if (size > 0) {
        std::memcpy(copy.get(), image, size);
    }
    copy[size] = '\0';
    return copy;
}

void OrvAbstractLogEntry::serializeFields(std::string& out, char kind,
                                          std::initializer_list<std::string_view> fields) {
    ORV_TRACE(LogManager);
    // The kind and one separator per field besides the fields themselves.
    Uint64 size = 2 + fields.size();
    for (std::string_view field : fields) {
        size += field.size();
    }
    if (size > static_cast<Uint64>(ORV_MAX_SINT32)) {
        ORV_THROW(ORV_LOGM_SERIALIZE_FAILED);
    }
    length = static_cast<int>(size);
    try {
        out.clear();
        out.reserve(static_cast<std::size_t>(size) + 1);
        out += kind;
        out += ';';
        for (std::string_view field : fields) {
            out += field;
            out += ';';
        }
    } catch (const std::bad_alloc&) {
        length = 0;
        ORV_THROW(ORV_LOGM_SERIALIZE_FAILED);
    }
}
