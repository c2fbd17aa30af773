#include "OrvTransaction.h"

#include "OrvConfig.h"
#include "OrvException.h"
#include "support/OrvDecimalText.h"
#include "support/OrvTrace.h"

#include <unistd.h>

// Constant-initialised (constexpr constructor): usable from any static
// initialiser.
const OrvTransactionId OrvTransactionId::INVALID_TRANSACTION_ID(0, 0);

OrvTransactionId::OrvTransactionId() : mProcessID(getpid()), mUniqueCount(0) {
    ORV_TRACE(Support);
}

OrvTransactionId::OrvTransactionId(const std::string& text) : mProcessID(0), mUniqueCount(0) {
    ORV_TRACE(Support);
    std::size_t pos = 0;
    bool negative = !text.empty() && text[0] == '-';
    if (negative) {
        ++pos;
    }
    // The most negative pid has one more unit of magnitude than the most
    // positive one.
    Uint64 magnitudeLimit =
        negative ? static_cast<Uint64>(ORV_MAX_SINT32) + 1 : static_cast<Uint64>(ORV_MAX_SINT32);
    Uint64 magnitude = 0;
    Uint64 count = 0;
    if (!OrvDecimalText::readUnsigned(text, pos, magnitudeLimit, magnitude) || pos >= text.size() ||
        text[pos] != ',' || !OrvDecimalText::readUnsigned(text, ++pos, ORV_MAX_UINT16, count) ||
        pos != text.size()) {
        ORV_THROW(ORV_TRANSACTION_ID_PARSING_FAILED, text);
    }
    Sint64 processId = negative ? -static_cast<Sint64>(magnitude) : static_cast<Sint64>(magnitude);
    mProcessID = static_cast<pid_t>(processId);
    mUniqueCount = static_cast<Uint16>(count);
}

pid_t OrvTransactionId::getProcessID() const {
    ORV_TRACE(Support);
    return mProcessID;
}

Uint16 OrvTransactionId::getUniqueCount() const {
    ORV_TRACE(Support);
    return mUniqueCount;
}

std::string OrvTransactionId::dump() const {
    ORV_TRACE(Support);
    return std::to_string(mProcessID) + "," + std::to_string(mUniqueCount);
}

std::ostream& operator<<(std::ostream& os, const OrvTransactionId& id) {
    ORV_TRACE(Support);
    return os << id.dump();
}
