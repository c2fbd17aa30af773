#include "OrvRecord.h"

#include "OrvException.h"
#include "support/OrvErrorBoundary.h"
#include "support/OrvTrace.h"

#include <cstring>
#include <new>

namespace {

// A zero-filled buffer of at least one byte, so that getRecordData() never
// returns null, also for an empty record.
char* allocateZeroed(Uint16 length) {
    char* buffer = new (std::nothrow) char[length == 0 ? 1 : length]();
    if (buffer == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return buffer;
}

} // namespace

OrvRecord::OrvRecord(const char* data, Uint16 length)
    : tupleId(), tupleIdSet(false), rawData(nullptr), rawDataLength(0), allocLength(0) {
    ORV_TRACE(RecordManager);
    // A constructor cannot report a code: the failure stays in the error
    // object, and the record is empty.
    (void)OrvErrorBoundary::toErrorCode([&] { setData(data, length); });
}

OrvRecord::OrvRecord(const OrvRecord& other)
    : tupleId(other.tupleId), tupleIdSet(other.tupleIdSet), rawData(nullptr), rawDataLength(0),
      allocLength(0) {
    ORV_TRACE(RecordManager);
    rawData = allocateZeroed(other.allocLength);
    if (other.rawData != nullptr) {
        std::memcpy(rawData, other.rawData, other.allocLength);
    }
    rawDataLength = other.rawDataLength;
    allocLength = other.allocLength;
}

OrvRecord& OrvRecord::operator=(const OrvRecord& other) {
    ORV_TRACE(RecordManager);
    if (this != &other) {
        char* copy = allocateZeroed(other.allocLength);
        if (other.rawData != nullptr) {
            std::memcpy(copy, other.rawData, other.allocLength);
        }
        delete[] rawData;
        rawData = copy;
        rawDataLength = other.rawDataLength;
        allocLength = other.allocLength;
        tupleId = other.tupleId;
        tupleIdSet = other.tupleIdSet;
    }
    return *this;
}

OrvRecord::~OrvRecord() {
    // No trace scope: it may allocate, and a destructor must not throw.
    delete[] rawData;
}

void OrvRecord::setData(const char* data, Uint16 length) {
    ORV_TRACE(RecordManager);
    char* buffer = allocateZeroed(length);
    if (data != nullptr) {
        std::memcpy(buffer, data, length);
    }
    // Only now: data may point into the old buffer.
    delete[] rawData;
    rawData = buffer;
    allocLength = length;
    rawDataLength = data != nullptr ? length : 0;
}

void OrvRecord::setTupleId(const TupleId& tid) {
    ORV_TRACE(RecordManager);
    tupleId = tid;
    tupleIdSet = true;
}

const TupleId* OrvRecord::getTupleId() const {
    ORV_TRACE(RecordManager);
    return tupleIdSet ? &tupleId : nullptr;
}

Uint16 OrvRecord::getLength() const {
    ORV_TRACE(RecordManager);
    return rawDataLength;
}

Uint16 OrvRecord::getBufferLength() const {
    ORV_TRACE(RecordManager);
    return allocLength;
}

const char* OrvRecord::getRecordData() const {
    ORV_TRACE(RecordManager);
    return rawData;
}
