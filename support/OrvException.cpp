#include "OrvException.h"

#include "OrvError.h"
#include "support/OrvTrace.h"

#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <execinfo.h>
#include <iostream>

namespace {

std::string takeStackTrace(unsigned skip) {
    std::ostringstream os;
    OrvException::printStackTrace(os, skip);
    return os.str();
}

} // namespace

OrvException::OrvException(OrvErrorCode code, const std::string& fileName, unsigned lineNo,
                           const std::string& functionName)
    : OrvException(code, fileName, lineNo, functionName, std::string(), std::string(),
                   std::string(), std::string()) {
    ORV_TRACE(Support);
}

OrvException::OrvException(OrvErrorCode code, const std::string& fileName, unsigned lineNo,
                           const std::string& functionName, const std::string& token1)
    : OrvException(code, fileName, lineNo, functionName, token1, std::string(), std::string(),
                   std::string()) {
    ORV_TRACE(Support);
}

OrvException::OrvException(OrvErrorCode code, const std::string& fileName, unsigned lineNo,
                           const std::string& functionName, const std::string& token1,
                           const std::string& token2)
    : OrvException(code, fileName, lineNo, functionName, token1, token2, std::string(),
                   std::string()) {
    ORV_TRACE(Support);
}

OrvException::OrvException(OrvErrorCode code, const std::string& fileName, unsigned lineNo,
                           const std::string& functionName, const std::string& token1,
                           const std::string& token2, const std::string& token3)
    : OrvException(code, fileName, lineNo, functionName, token1, token2, token3, std::string()) {
    ORV_TRACE(Support);
}

OrvException::OrvException(OrvErrorCode code, const std::string& fileName, unsigned lineNo,
                           const std::string& functionName, const std::string& token1,
                           const std::string& token2, const std::string& token3,
                           const std::string& token4)
    : OrvException(code, fileName, lineNo, functionName, token1, token2, token3, token4,
                   std::string()) {}

OrvException::OrvException(OrvErrorCode code, const std::string& fileName, unsigned lineNo,
                           const std::string& functionName, const std::string& token1,
                           const std::string& token2, const std::string& token3,
                           const std::string& token4, const std::string& token5)
    : errorCode(code), call("UNKNOWN"), file(fileName), line(lineNo), function(functionName),
      errorToken1(token1), errorToken2(token2), errorToken3(token3), errorToken4(token4),
      errorToken5(token5), backtrace(takeStackTrace(2)) {
    ORV_TRACE(Support);
}

OrvException::OrvException(OrvErrorCode code, const std::string& callText,
                           const std::string& fileName, unsigned lineNo,
                           const std::string& functionName)
    : errorCode(code), call(callText), file(fileName), line(lineNo), function(functionName),
      backtrace(takeStackTrace(2)) {
    ORV_TRACE(Support);
}

OrvException::OrvException(const OrvException& originalException, OrvErrorCode code,
                           const std::string& callText, const std::string& fileName,
                           unsigned lineNo, const std::string& functionName)
    : original(std::make_shared<const OrvException>(originalException)), errorCode(code),
      call(callText), file(fileName), line(lineNo), function(functionName),
      backtrace(takeStackTrace(2)) {
    ORV_TRACE(Support);
}

OrvException::~OrvException() {
    ORV_TRACE(Support);
}

const char* OrvException::what() const noexcept {
    ORV_TRACE(Support);
    return call.c_str();
}

OrvErrorCode OrvException::getErrorCode() const {
    ORV_TRACE(Support);
    return errorCode;
}

const OrvException* OrvException::getOriginal() const {
    ORV_TRACE(Support);
    return original.get();
}

const std::string& OrvException::getCall() const {
    ORV_TRACE(Support);
    return call;
}

const std::string& OrvException::getFile() const {
    ORV_TRACE(Support);
    return file;
}

unsigned OrvException::getLine() const {
    ORV_TRACE(Support);
    return line;
}

const std::string& OrvException::getFunction() const {
    ORV_TRACE(Support);
    return function;
}

const std::string& OrvException::getBacktrace() const {
    ORV_TRACE(Support);
    return backtrace;
}

const std::string& OrvException::getToken(int n) const {
    ORV_TRACE(Support);
    switch (n) {
    case 1:
        return errorToken1;
    case 2:
        return errorToken2;
    case 3:
        return errorToken3;
    case 4:
        return errorToken4;
    default:
        return errorToken5;
    }
}

OrvErrorCode OrvException::raise(OrvErrorCode code, const std::string& callText,
                                 const std::string& fileName, unsigned lineNo,
                                 const std::string& functionName) {
    ORV_TRACE(Support);
    if (code == ORV_SUCCESS) {
        return ORV_SUCCESS;
    }
    // The thrown exception carries the code; the error object is reset so the
    // code is recorded once, when the exception is caught. The message that
    // was recorded with the code goes with it: it holds the tokens.
    OrvError* error = OrvError::getErrorObject();
    OrvException exception(code, callText, fileName, lineNo, functionName);
    if (error->getErrorCode() == code) {
        char message[ORV_ERROR_MESSAGE_LENGTH + 1] = {};
        char sqlstate[ORV_SQLSTATE_LENGTH + 1] = {};
        error->getError(message, sizeof(message), sqlstate);
        exception.recordedMessage = message;
    }
    error->setError(Support, ORV_SUCCESS);
    throw exception;
}

void OrvException::SET_ERROR() const {
    ORV_TRACE(Support);
    // An empty token fills its placeholder exactly as an absent one does.
    OrvError* error = OrvError::getErrorObject();
    error->setError(Support, errorCode, errorToken1.c_str(), errorToken2.c_str(),
                    errorToken3.c_str(), errorToken4.c_str(), errorToken5.c_str());
    error->addTraceRecord(file.c_str(), function.c_str(), line);
}

void OrvException::print_message(std::ostream& os) const {
    ORV_TRACE(Support);
    os << std::endl << "Exception aufgetreten: " << std::endl;
    OrvError* error = OrvError::getErrorObject();
    error->setError(Support, errorCode, errorToken1.c_str(), errorToken2.c_str(),
                    errorToken3.c_str(), errorToken4.c_str(), errorToken5.c_str());
    // The location of the failure, not of this printer.
    error->addTraceRecord(file.c_str(), function.c_str(), line);
    char message[1000] = {};
    char sqlstate[6] = {};
    error->getError(message, sizeof(message), sqlstate);
    os << (recordedMessage.empty() ? std::string(message) : recordedMessage)
       << " SQLSTATE=" << sqlstate << std::endl;
}

void OrvException::print(std::ostream& os) const {
    ORV_TRACE(Support);
    print_message(os);
    os << backtrace << std::endl;
}

void OrvException::printStackTrace(std::ostream& os, unsigned skip) {
    ORV_TRACE(Support);
    void* addresses[30];
    int frames = ::backtrace(addresses, 30);
    char** symbols = ::backtrace_symbols(addresses, frames);
    if (symbols == nullptr) {
        os << "[bt]: omitted errorhandling on stacktrace" << std::endl;
        return;
    }
    formatStackTrace(os, symbols, frames, skip);
    std::free(symbols);
}

void OrvException::formatStackTrace(std::ostream& os, char* const* symbols, int frames,
                                    unsigned skip) {
    ORV_TRACE(Support);
    int start = static_cast<int>(skip) + 1;
    if (start >= frames) {
        start = 1;
    }
    os << "[bt]: omitted errorhandling on stacktrace" << std::endl;
    if (symbols == nullptr) {
        // No symbol texts: the header alone, as when the stack cannot be read.
        return;
    }
    for (int i = start; i < frames; ++i) {
        std::string text = symbols[i] != nullptr ? symbols[i] : "";
        std::size_t close = text.find(')');
        std::size_t open = close == std::string::npos ? close : text.rfind('(', close);
        std::size_t plus = close == std::string::npos ? close : text.rfind('+', close);
        if (close == std::string::npos || open == std::string::npos || plus == std::string::npos ||
            open >= plus) {
            os << "[bt]: (" << i << ") " << text << std::endl;
            continue;
        }
        std::string module = text.substr(0, open);
        std::string mangled = text.substr(open + 1, plus - open - 1);
        std::string offset = text.substr(plus + 1, close - plus - 1);
        std::string rest = text.substr(close + 1);
        int status = 0;
        char* demangled = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
        std::string name = (status == 0 && demangled != nullptr) ? demangled : mangled;
        std::free(demangled);
        os << "[bt]: (" << i << ") " << module << " : " << name << "+" << offset << rest
           << std::endl;
    }
}

// C++17 has neither dynamic exception specifications nor std::set_unexpected,
// so nothing can call the unexpected handler any more. It is kept as a
// function (and tested directly); SETUP installs the terminate handler only.
void OrvException::unexpectedHandler() {
    ORV_TRACE(Support);
    std::cerr << std::endl << "Unexpected Exception has been thrown!" << std::endl;
    printStackTrace(std::cerr, 2);
    throw;
}

void OrvException::terminateHandler() {
    ORV_TRACE(Support);
    std::cerr << std::endl << "Asta la vista Baby - Program terminated on Exception!" << std::endl;
    printStackTrace(std::cerr, 2);
    std::abort();
}

void OrvException::SETUP() {
    ORV_TRACE(Support);
    std::set_terminate(&OrvException::terminateHandler);
}
