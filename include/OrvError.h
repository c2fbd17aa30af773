// The error object: the last error recorded by this process, with its
// component, code, SQLSTATE and formatted message.
//
// Process safety: one object per process, never shared. The start program
// creates it as the first object of main; any other process gets one on the
// first call of getErrorObject().
#ifndef ORV_ERROR_H
#define ORV_ERROR_H

#include "OrvComponents.h"
#include "OrvConfig.h"
#include "OrvErrorCodes.h"
#include "OrvTypes.h"

#include <cstdio>

class OrvError {
public:
    // Reads ORV_STACK_TRACE_FILE; a second object records
    // ORV_ERROR_DUPLICATE_ERROR_OBJECT in the first and stays out of use (it
    // does not open the error trace file, which belongs to the first).
    OrvError();
    ~OrvError();
    OrvError(const OrvError&) = delete;
    OrvError& operator=(const OrvError&) = delete;

    // The process's error object; made on first use if main made none.
    static OrvError* getErrorObject();

    // Records an error. Absent (null) tokens fill their placeholders with nothing.
    void setError(OrvComponent component, OrvErrorCode errorCode, const char* errToken1 = nullptr,
                  const char* errToken2 = nullptr, const char* errToken3 = nullptr,
                  const char* errToken4 = nullptr, const char* errToken5 = nullptr,
                  const char* errToken6 = nullptr);

    // Records a source location on the error path. The first location after an
    // internal or parameter failure is added to the message.
    void addTraceRecord(const char* file, const char* function, Uint32 line);

    OrvErrorCode getErrorCode() const;
    // The current code without making an error object when none exists yet.
    // Used by the tracer at the end of every traced function, so it opens no
    // trace scope itself (that would recurse).
    static OrvErrorCode peekErrorCode() {
        return instance != nullptr ? instance->errorCode : ORV_SUCCESS;
    }
    OrvComponent getComponent() const;

    // Copies at most errMsgLen - 1 characters of the message, zero-terminated,
    // and, when errSqlstate is given, the five SQLSTATE characters without a
    // terminator (the caller passes a zeroed buffer of at least six bytes).
    void getError(char* errMsg, Uint32 errMsgLen, char* errSqlstate);

    // Token helpers: write the value into buffer and return buffer.
    static char* convertToString(Uint32 value, char* buffer);
    static char* convertToString(Sint32 value, char* buffer);
    static const char* convertToString(const char* value, char* buffer);

private:
    OrvComponent component;
    OrvErrorCode errorCode;
    char sqlstate[ORV_SQLSTATE_LENGTH + 1];
    char errorMessage[ORV_ERROR_MESSAGE_LENGTH + 1];
    bool errorLocation;
    std::FILE* traceFile;

    static OrvError* instance;
    // Set once an error object of this process has opened the error trace
    // file: an object made after that one ended appends instead of wiping the
    // lines already written.
    static bool traceFileOpened;
};

// The code last recorded in this process's error object.
OrvErrorCode OrvGetErrorCode();

#endif
