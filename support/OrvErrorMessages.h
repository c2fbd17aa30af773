// The table that gives every error code its SQLSTATE and message format.
#ifndef ORV_ERROR_MESSAGES_H
#define ORV_ERROR_MESSAGES_H

#include "OrvErrorCodes.h"

struct OrvErrorMessage {
    OrvErrorCode errorCode;
    // Format of the message; each "%s" is replaced by one token, in order.
    const char* message;
    char sqlstate[6];
};

// Indexed by the absolute value of the code.
extern const OrvErrorMessage orvErrorMessages[ORV_ERROR_CODE_COUNT];

// SQLSTATE and message used when a code is unknown or its message does not fit.
constexpr const char* ORV_FALLBACK_SQLSTATE = "ERZZZ";
constexpr const char* ORV_FALLBACK_MESSAGE = "Internal message failure";

#endif
