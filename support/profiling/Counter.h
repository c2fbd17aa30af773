// A signed 64-bit event counter.
//
// Per process and unsynchronised: each manager keeps its own counters.
#ifndef ORV_PROFILING_COUNTER_H
#define ORV_PROFILING_COUNTER_H

#include "OrvError.h"
#include "OrvTypes.h"
#include "support/OrvTrace.h"

#include <limits>
#include <string>

namespace support {
namespace profiling {

class Counter {
public:
    Counter() = default;

    // Adds delta. A sum beyond the 64-bit range records ORV_INTERNAL_FAIL
    // (with a trace record) and stops at the limit instead of wrapping into
    // a value of the wrong sign.
    Counter& operator+=(Sint64 delta) {
        ORV_TRACE(Support);
        Sint64 sum = 0;
        if (__builtin_add_overflow(value, delta, &sum)) {
            OrvError* error = OrvError::getErrorObject();
            error->setError(Support, ORV_INTERNAL_FAIL);
            error->addTraceRecord(__FILE__, __PRETTY_FUNCTION__, __LINE__);
            sum =
                delta > 0 ? std::numeric_limits<Sint64>::max() : std::numeric_limits<Sint64>::min();
        }
        value = sum;
        return *this;
    }

    Sint64 getValue() const {
        ORV_TRACE(Support);
        return value;
    }

    // <name>value</name>, without a line break.
    std::string getXML(const std::string& name) const {
        ORV_TRACE(Support);
        return "<" + name + ">" + std::to_string(value) + "</" + name + ">";
    }

    static const char* getTypeName() {
        ORV_TRACE(Support);
        return "Counters";
    }

private:
    Sint64 value = 0;
};

} // namespace profiling
} // namespace support

#endif
