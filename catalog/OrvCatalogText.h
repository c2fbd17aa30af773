// Texts handed to the error object by the catalog classes.
//
// Names and character values reach the catalog classes as a pointer and a
// length, without a terminator. A message token must be a C string, so each
// one is copied at its stated length into a bounded, terminated buffer; a
// value longer than the buffer is cut, never read past its end.
#ifndef ORV_CATALOG_TEXT_H
#define ORV_CATALOG_TEXT_H

#include "OrvTypes.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace orvcatalog {

class TokenText {
public:
    // The longest part of a value shown in a message.
    static constexpr std::size_t MAX_SHOWN = 256;

    TokenText(const char* value, std::size_t length) {
        std::size_t shown = value == nullptr ? 0 : (length < MAX_SHOWN ? length : MAX_SHOWN);
        if (shown > 0) {
            std::memcpy(text, value, shown);
        }
        text[shown] = '\0';
    }
    explicit TokenText(Uint64 number) {
        std::snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(number));
    }

    const char* c_str() const { return text; }

private:
    char text[MAX_SHOWN + 1];
};

} // namespace orvcatalog

#endif
