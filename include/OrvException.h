// OrvException: how a failure travels inside the engine.
//
// The storage layer throws OrvException; the file manager, the latches and the
// catalog classes return an OrvErrorCode. The two styles meet in two helpers:
//   ORV_RAISE(call)      turns a returned code into an exception (OrvException::raise);
//   e.SET_ERROR()        turns a caught exception back into a recorded code.
// Per process and single-threaded, like the error object it records into.
#ifndef ORV_EXCEPTION_H
#define ORV_EXCEPTION_H

#include "OrvErrorCodes.h"

#include <exception>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>

class OrvException : public std::exception {
public:
    // Raising at the source of an error, with up to four message tokens.
    OrvException(OrvErrorCode errorCode, const std::string& file, unsigned line,
                 const std::string& function);
    OrvException(OrvErrorCode errorCode, const std::string& file, unsigned line,
                 const std::string& function, const std::string& token1);
    OrvException(OrvErrorCode errorCode, const std::string& file, unsigned line,
                 const std::string& function, const std::string& token1, const std::string& token2);
    OrvException(OrvErrorCode errorCode, const std::string& file, unsigned line,
                 const std::string& function, const std::string& token1, const std::string& token2,
                 const std::string& token3);
    OrvException(OrvErrorCode errorCode, const std::string& file, unsigned line,
                 const std::string& function, const std::string& token1, const std::string& token2,
                 const std::string& token3, const std::string& token4);
    // Five tokens: ORV_RM_GET_RECORD_TOO_LONG is the one message with five
    // placeholders, and it would otherwise always lose its last value.
    OrvException(OrvErrorCode errorCode, const std::string& file, unsigned line,
                 const std::string& function, const std::string& token1, const std::string& token2,
                 const std::string& token3, const std::string& token4, const std::string& token5);
    // Used by raise: the text of the failed call, no tokens.
    OrvException(OrvErrorCode errorCode, const std::string& call, const std::string& file,
                 unsigned line, const std::string& function);
    // Translation of a caught exception into another code; call holds the name
    // of the new code. The original is copied, so it may go out of scope.
    OrvException(const OrvException& original, OrvErrorCode errorCode, const std::string& call,
                 const std::string& file, unsigned line, const std::string& function);

    OrvException(const OrvException& other) = default;
    OrvException& operator=(const OrvException&) = delete;
    ~OrvException() override;

    const char* what() const noexcept override;

    OrvErrorCode getErrorCode() const;
    // The exception this one replaced, or null; it lives as long as this one.
    const OrvException* getOriginal() const;
    const std::string& getCall() const;
    const std::string& getFile() const;
    unsigned getLine() const;
    const std::string& getFunction() const;
    const std::string& getToken(int n) const; // n in 1..5
    const std::string& getBacktrace() const;

    // Returns ORV_SUCCESS for ORV_SUCCESS; throws for every other code,
    // warnings included.
    static OrvErrorCode raise(OrvErrorCode errorCode, const std::string& call,
                              const std::string& file, unsigned line, const std::string& function);

    // Records this exception (code and non-empty tokens) in the error object.
    void SET_ERROR() const;

    // An empty line, "Exception aufgetreten: ", then the message and its SQLSTATE.
    void print_message(std::ostream& os) const;
    // print_message followed by the stack trace and an empty line.
    void print(std::ostream& os) const;

    // Installs the terminate handler (see the source for the unexpected one).
    static void SETUP();
    static void unexpectedHandler();
    static void terminateHandler();

    // Writes a trace of the current stack, skipping `skip` frames, to os.
    static void printStackTrace(std::ostream& os, unsigned skip);
    // Turns the raw texts of a stack into trace lines; split out so the line
    // format can be checked without depending on the real stack.
    static void formatStackTrace(std::ostream& os, char* const* symbols, int frames, unsigned skip);

    // Message token from any value with a stream output operator. Integers of
    // every width and enumerations (also those over an 8-bit type, which the
    // stream would write as a character) come out as decimal numbers.
    // Header-only, so it opens no trace scope (the tracer is internal).
    template <typename T> static std::string to_string(const T& value) {
        std::ostringstream os;
        if constexpr (std::is_enum<T>::value) {
            os << +static_cast<std::underlying_type_t<T>>(value);
        } else if constexpr (std::is_integral<T>::value) {
            os << +value;
        } else {
            os << value;
        }
        return os.str();
    }

private:
    // Shared, so that copies made while the exception is thrown keep it alive.
    std::shared_ptr<const OrvException> original;
    OrvErrorCode errorCode;
    std::string call;
    std::string file;
    unsigned line;
    std::string function;
    std::string errorToken1;
    std::string errorToken2;
    std::string errorToken3;
    std::string errorToken4;
    std::string errorToken5;
    std::string backtrace;
    // The message the error object held for this code when raise turned a
    // returned code into this exception: it carries the tokens of the
    // function that recorded it, which the exception itself never saw.
    std::string recordedMessage;
};

// Raises a returned code with the call's own text and location.
#define ORV_RAISE(call) OrvException::raise((call), #call, __FILE__, __LINE__, __PRETTY_FUNCTION__)

// Throws an OrvException with this location and the given tokens (strings).
#define ORV_THROW(code, ...)                                                                       \
    throw OrvException((code), __FILE__, __LINE__, __PRETTY_FUNCTION__, ##__VA_ARGS__)

#endif
