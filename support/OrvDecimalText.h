// Strict reading of the decimal numbers in the text forms of LSNs and
// transaction ids. The text forms are written without blanks, signs or
// leading zeros; a reader that accepted more, or let a number wrap, would
// turn a damaged log line into a wrong but plausible value.
#ifndef ORV_DECIMAL_TEXT_H
#define ORV_DECIMAL_TEXT_H

#include "OrvTypes.h"

#include <string>

namespace OrvDecimalText {

// Reads the decimal digits at text[pos...] as a number of at most `maximum`,
// moving pos behind them. Fails (false) when there is no digit, when the
// number exceeds maximum, or when it has more digits than maximum has
// (leading zeros included), so an overlong field fails however it is padded.
inline bool readUnsigned(const std::string& text, std::size_t& pos, Uint64 maximum, Uint64& value) {
    std::size_t maxDigits = 1;
    for (Uint64 rest = maximum / 10; rest != 0; rest /= 10) {
        ++maxDigits;
    }
    std::size_t start = pos;
    value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        Uint64 digit = static_cast<Uint64>(text[pos] - '0');
        if (pos - start >= maxDigits || digit > maximum || value > (maximum - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
        ++pos;
    }
    return pos > start;
}

} // namespace OrvDecimalText

#endif
