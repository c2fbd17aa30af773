#include "OrvError.h"

#include "support/OrvErrorMessages.h"
#include "support/OrvTrace.h"

#include <cstdlib>
#include <cstring>

OrvError* OrvError::instance = nullptr;
bool OrvError::traceFileOpened = false;

namespace {

const OrvErrorMessage* findMessage(OrvErrorCode code) {
    for (const OrvErrorMessage& record : orvErrorMessages) {
        if (record.errorCode == code) {
            return &record;
        }
    }
    return nullptr;
}

// Replaces each "%s" of format, in order, by the next token; absent tokens and
// placeholders beyond the sixth come out empty. The caller has checked that the
// result fits into out (capacity bytes including the terminator).
void fillTokens(const char* format, const char* const tokens[6], char* out, std::size_t capacity) {
    std::size_t used = 0;
    int next = 0;
    for (const char* p = format; *p != '\0' && used + 1 < capacity; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            const char* token = next < 6 ? tokens[next] : nullptr;
            ++next;
            ++p;
            for (; token != nullptr && *token != '\0' && used + 1 < capacity; ++token) {
                out[used++] = *token;
            }
        } else {
            out[used++] = *p;
        }
    }
    out[used] = '\0';
}

} // namespace

OrvError::OrvError()
    : component(Support), errorCode(ORV_SUCCESS), sqlstate{}, errorMessage{}, errorLocation(false),
      traceFile(nullptr) {
    ORV_TRACE(Support);
    if (instance != nullptr) {
        // The first object stays the process's error object and keeps its
        // error trace file; opening the file here again would truncate it.
        instance->setError(Support, ORV_ERROR_DUPLICATE_ERROR_OBJECT);
        instance->addTraceRecord(__FILE__, __PRETTY_FUNCTION__, __LINE__);
        return;
    }
    const char* path = std::getenv("ORV_STACK_TRACE_FILE");
    if (path != nullptr && *path != '\0') {
        // A trace file that cannot be opened is silently not written.
        traceFile = std::fopen(path, traceFileOpened ? "a" : "w");
        traceFileOpened = traceFileOpened || traceFile != nullptr;
    }
    instance = this;
}

OrvError::~OrvError() {
    ORV_TRACE(Support);
    if (traceFile != nullptr) {
        std::fclose(traceFile);
        traceFile = nullptr;
    }
    if (instance == this) {
        instance = nullptr;
    }
}

OrvError* OrvError::getErrorObject() {
    ORV_TRACE(Support);
    if (instance == nullptr) {
        // Lives until the process ends; it registers itself as the instance.
        new OrvError();
    }
    return instance;
}

OrvErrorCode OrvError::getErrorCode() const {
    ORV_TRACE(Support);
    return errorCode;
}

OrvComponent OrvError::getComponent() const {
    ORV_TRACE(Support);
    return component;
}

void OrvError::setError(OrvComponent comp, OrvErrorCode code, const char* errToken1,
                        const char* errToken2, const char* errToken3, const char* errToken4,
                        const char* errToken5, const char* errToken6) {
    ORV_TRACE(Support);
    component = comp;
    errorCode = code;
    std::memcpy(sqlstate, ORV_FALLBACK_SQLSTATE, ORV_SQLSTATE_LENGTH);
    sqlstate[ORV_SQLSTATE_LENGTH] = '\0';
    std::strcpy(errorMessage, ORV_FALLBACK_MESSAGE);

    if (const OrvErrorMessage* record = findMessage(code)) {
        std::memcpy(sqlstate, record->sqlstate, ORV_SQLSTATE_LENGTH);
        const char* const tokens[6] = {errToken1, errToken2, errToken3,
                                       errToken4, errToken5, errToken6};
        std::size_t length = std::strlen(record->message);
        for (const char* token : tokens) {
            if (token != nullptr) {
                length += std::strlen(token);
            }
        }
        if (length <= ORV_ERROR_MESSAGE_LENGTH + 1) {
            fillTokens(record->message, tokens, errorMessage, sizeof(errorMessage));
            errorLocation = false;
        }
    }
    errorMessage[ORV_ERROR_MESSAGE_LENGTH] = '\0';

    orvTrace.traceString(1, errorMessage);
    if (traceFile != nullptr) {
        std::fprintf(traceFile, "%s\n", errorMessage);
        std::fflush(traceFile);
    }
}

void OrvError::addTraceRecord(const char* file, const char* function, Uint32 line) {
    ORV_TRACE(Support);
    if (file == nullptr || function == nullptr) {
        return;
    }
    if (!errorLocation && (errorCode == ORV_INTERNAL_FAIL || errorCode == ORV_PARAMETER_FAIL)) {
        const OrvErrorMessage* record = findMessage(errorCode);
        // Cut to 1023 characters: snprintf with 1024 bytes keeps 1023 and the terminator.
        std::snprintf(errorMessage, ORV_ERROR_MESSAGE_LENGTH, "%s  (%s:%u %s)", record->message,
                      file, line, function);
        errorLocation = true;
    }
    if (traceFile != nullptr) {
        std::fprintf(traceFile, "%s:%u %s (%d)\n", file, line, function,
                     static_cast<int>(errorCode));
        std::fflush(traceFile);
    }
}

void OrvError::getError(char* errMsg, Uint32 errMsgLen, char* errSqlstate) {
    ORV_TRACE(Support);
    if (errMsg == nullptr) {
        setError(Support, ORV_PARAMETER_FAIL);
        return;
    }
    if (errorMessage[0] == '\0') {
        setError(component, ORV_SUCCESS);
    }
    Uint32 n = errMsgLen < sizeof(errorMessage) ? errMsgLen : sizeof(errorMessage);
    if (n > 0) {
        std::memcpy(errMsg, errorMessage, n);
        errMsg[n - 1] = '\0';
    }
    if (errSqlstate != nullptr) {
        std::memcpy(errSqlstate, sqlstate, ORV_SQLSTATE_LENGTH);
    }
}

char* OrvError::convertToString(Uint32 value, char* buffer) {
    ORV_TRACE(Support);
    std::sprintf(buffer, "%u", value);
    return buffer;
}

char* OrvError::convertToString(Sint32 value, char* buffer) {
    ORV_TRACE(Support);
    std::sprintf(buffer, "%d", value);
    return buffer;
}

const char* OrvError::convertToString(const char* value, char* /*buffer*/) {
    ORV_TRACE(Support);
    return value;
}

OrvErrorCode OrvGetErrorCode() {
    ORV_TRACE(Support);
    return OrvError::getErrorObject()->getErrorCode();
}
