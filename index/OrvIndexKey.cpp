#include "OrvIndexKey.h"

#include "OrvError.h"
#include "support/OrvTrace.h"

#include <cstring>
#include <iostream>

namespace {

// A comparison the operands do not allow: recorded, never thrown, so that a
// caller deep in a tree search carries on with the false result.
void recordMismatch(const char* function, Uint32 line) {
    OrvError* error = OrvError::getErrorObject();
    error->setError(IndexManager, ORV_INTERNAL_FAIL);
    error->addTraceRecord(__FILE__, function, line);
}

// strcmp's sign as -1, 0 or 1.
int sign(int value) {
    return value < 0 ? -1 : (value > 0 ? 1 : 0);
}

} // namespace

OrvIndexKey::OrvIndexKey()
    : ownChar(false), dataType(UnknownDataType), intKey(0), varcharKey(nullptr) {
    ORV_TRACE(IndexManager);
}

OrvIndexKey::OrvIndexKey(const OrvIndexKey& other)
    : ownChar(false), dataType(other.dataType), intKey(other.intKey), varcharKey(nullptr) {
    ORV_TRACE(IndexManager);
    if (other.varcharKey != nullptr) {
        std::size_t length = std::strlen(other.varcharKey);
        varcharKey = new char[length + 1];
        std::memcpy(varcharKey, other.varcharKey, length + 1);
        ownChar = true;
    }
}

OrvIndexKey::~OrvIndexKey() {
    // No trace scope: it may allocate, and a destructor must not throw.
    if (ownChar) {
        delete[] varcharKey;
    }
}

OrvIndexKey& OrvIndexKey::operator=(const OrvIndexKey& other) {
    ORV_TRACE(IndexManager);
    dataType = other.dataType;
    switch (other.dataType) {
    case INTEGER:
        intKey = other.intKey;
        break;
    case VARCHAR:
        if (other.varcharKey != nullptr && other.varcharKey != varcharKey) {
            // Copy first, release afterwards: the other text may be this one's.
            std::size_t length = std::strlen(other.varcharKey);
            char* copy = new char[length + 1];
            std::memcpy(copy, other.varcharKey, length + 1);
            if (ownChar) {
                delete[] varcharKey;
            }
            varcharKey = copy;
            ownChar = true;
        } else if (other.varcharKey != nullptr && !ownChar) {
            // The same text that this key only points to: make it private.
            std::size_t length = std::strlen(varcharKey);
            char* copy = new char[length + 1];
            std::memcpy(copy, varcharKey, length + 1);
            varcharKey = copy;
            ownChar = true;
        }
        break;
    default:
        recordMismatch(__PRETTY_FUNCTION__, __LINE__);
        break;
    }
    return *this;
}

bool OrvIndexKey::compareInteger(Sint32 value, int& result, const char* function) const {
    if (dataType != INTEGER) {
        recordMismatch(function, __LINE__);
        return false;
    }
    result = intKey < value ? -1 : (intKey > value ? 1 : 0);
    return true;
}

bool OrvIndexKey::compareText(const char* text, int& result, const char* function) const {
    if (dataType != VARCHAR || varcharKey == nullptr || text == nullptr) {
        recordMismatch(function, __LINE__);
        return false;
    }
    result = sign(std::strcmp(varcharKey, text));
    return true;
}

bool OrvIndexKey::compare(const OrvIndexKey& other, int& result, const char* function) const {
    switch (other.dataType) {
    case INTEGER:
        return compareInteger(other.intKey, result, function);
    case VARCHAR:
        return compareText(other.varcharKey, result, function);
    default:
        recordMismatch(function, __LINE__);
        return false;
    }
}

bool OrvIndexKey::operator<(const OrvIndexKey& other) const {
    int result = 0;
    return compare(other, result, __PRETTY_FUNCTION__) && result < 0;
}

bool OrvIndexKey::operator<(Sint32 value) const {
    int result = 0;
    return compareInteger(value, result, __PRETTY_FUNCTION__) && result < 0;
}

bool OrvIndexKey::operator<(const char* text) const {
    int result = 0;
    return compareText(text, result, __PRETTY_FUNCTION__) && result < 0;
}

bool OrvIndexKey::operator<=(const OrvIndexKey& other) const {
    return (*this < other) || (*this == other);
}

bool OrvIndexKey::operator<=(const char* text) const {
    int result = 0;
    return compareText(text, result, __PRETTY_FUNCTION__) && result <= 0;
}

bool OrvIndexKey::operator==(const OrvIndexKey& other) const {
    int result = 0;
    return compare(other, result, __PRETTY_FUNCTION__) && result == 0;
}

bool OrvIndexKey::operator==(Sint32 value) const {
    int result = 0;
    return compareInteger(value, result, __PRETTY_FUNCTION__) && result == 0;
}

bool OrvIndexKey::operator==(const char* text) const {
    int result = 0;
    return compareText(text, result, __PRETTY_FUNCTION__) && result == 0;
}

bool OrvIndexKey::operator>(const OrvIndexKey& other) const {
    int result = 0;
    return compare(other, result, __PRETTY_FUNCTION__) && result > 0;
}

bool OrvIndexKey::operator>=(const OrvIndexKey& other) const {
    int result = 0;
    return compare(other, result, __PRETTY_FUNCTION__) && result >= 0;
}

// ---- OrvIndexIntegerKey ------------------------------------------------------

OrvIndexIntegerKey::OrvIndexIntegerKey() : value(0), nextChild(0) {}

OrvIndexIntegerKey::OrvIndexIntegerKey(Sint32 v, PageId next) : value(v), nextChild(next) {}

bool OrvIndexIntegerKey::operator==(Sint32 v) const {
    return value == v;
}

bool OrvIndexIntegerKey::operator<(const OrvIndexIntegerKey& other) const {
    return value < other.value;
}

bool OrvIndexIntegerKey::operator<(Sint32 v) const {
    return value < v;
}

bool OrvIndexIntegerKey::operator<=(const OrvIndexIntegerKey& other) const {
    return value <= other.value;
}

bool OrvIndexIntegerKey::operator<=(Sint32 v) const {
    return value <= v;
}

bool OrvIndexIntegerKey::operator>(const OrvIndexIntegerKey& other) const {
    return value > other.value;
}

bool OrvIndexIntegerKey::operator>(Sint32 v) const {
    return value > v;
}

bool OrvIndexIntegerKey::operator>=(const OrvIndexIntegerKey& other) const {
    return value >= other.value;
}

bool OrvIndexIntegerKey::operator>=(Sint32 v) const {
    return value >= v;
}

void OrvIndexIntegerKey::dump() const {
    ORV_TRACE(IndexManager);
    std::cout << "Value: " << value << ", NextChild: " << nextChild << std::endl;
}

// ---- OrvIndexIntegerTupleIdentifier -----------------------------------------

OrvIndexIntegerTupleIdentifier::OrvIndexIntegerTupleIdentifier() : value(0), tupleId() {}

OrvIndexIntegerTupleIdentifier::OrvIndexIntegerTupleIdentifier(Sint32 v, TupleId id)
    : value(v), tupleId(id) {}

bool OrvIndexIntegerTupleIdentifier::operator==(Sint32 v) const {
    return value == v;
}

bool OrvIndexIntegerTupleIdentifier::operator<(const OrvIndexIntegerTupleIdentifier& other) const {
    return value < other.value;
}

bool OrvIndexIntegerTupleIdentifier::operator<(Sint32 v) const {
    return value < v;
}

bool OrvIndexIntegerTupleIdentifier::operator<=(const OrvIndexIntegerTupleIdentifier& other) const {
    return value <= other.value;
}

bool OrvIndexIntegerTupleIdentifier::operator<=(Sint32 v) const {
    return value <= v;
}

bool OrvIndexIntegerTupleIdentifier::operator>(const OrvIndexIntegerTupleIdentifier& other) const {
    return value > other.value;
}

bool OrvIndexIntegerTupleIdentifier::operator>(Sint32 v) const {
    return value > v;
}

bool OrvIndexIntegerTupleIdentifier::operator>=(const OrvIndexIntegerTupleIdentifier& other) const {
    return value >= other.value;
}

bool OrvIndexIntegerTupleIdentifier::operator>=(Sint32 v) const {
    return value >= v;
}

void OrvIndexIntegerTupleIdentifier::dump() const {
    ORV_TRACE(IndexManager);
    std::cout << "Value: " << value << ", TupleId: " << tupleId.page << ", "
              << static_cast<unsigned>(tupleId.slot) << ")" << std::endl;
}
