// OrvException: raising from return codes, recording and printing exceptions,
// translations, stack traces, the handlers and message tokens.
#include "OrvException.h"
#include "OrvError.h"
#include "SupportTestHelpers.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using orvtest::readFile;
using orvtest::TempDir;
using supporttest::errorText;
using supporttest::inChild;

namespace {

using supporttest::lines;

const std::string header = "[bt]: omitted errorhandling on stacktrace\n";

// Every line after the header is one frame line.
void expectTraceLines(const std::string& trace) {
    ASSERT_EQ(header, trace.substr(0, header.size()));
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ('\n', trace.back());
    for (const std::string& line : lines(trace)) {
        EXPECT_EQ("[bt]: ", line.substr(0, 6)) << line;
    }
}

std::string format(std::vector<const char*> symbols, unsigned skip) {
    std::ostringstream os;
    std::vector<char*> texts;
    for (const char* s : symbols) {
        texts.push_back(const_cast<char*>(s));
    }
    OrvException::formatStackTrace(os, texts.data(), static_cast<int>(texts.size()), skip);
    return os.str();
}

OrvErrorCode failingCall() {
    return ORV_LATCH_SEM_OPERATION_FAIL;
}

} // namespace

// ---- Raising from a return code --------------------------------------------------

TEST(OrvExceptionTest, RaiseOfSuccessReturnsAndChangesNothing) {
    EXPECT_EQ(0, inChild([] {
                  OrvError error;
                  error.setError(LockManager, ORV_LM_NO_SUCH_ENTRY, "1", "2", "3");
                  std::string before = errorText(error).message;
                  EXPECT_EQ(ORV_SUCCESS,
                            OrvException::raise(ORV_SUCCESS, "call()", "f.cpp", 1, "void f()"));
                  EXPECT_EQ(ORV_LM_NO_SUCH_ENTRY, error.getErrorCode());
                  EXPECT_EQ(LockManager, error.getComponent());
                  EXPECT_EQ(before, errorText(error).message);
                  EXPECT_EQ("LM001", errorText(error).sqlstate);
              }));
}

TEST(OrvExceptionTest, RaiseThrowsErrorsAndWarningsAndResetsTheErrorObject) {
    EXPECT_EQ(0, inChild([] {
                  OrvError error;
                  const OrvErrorCode codes[] = {ORV_NOT_FOUND_WARN, ORV_FM_FILE_NOT_FOUND,
                                                ORV_LATCH_SEM_DESTROY_WARN};
                  for (OrvErrorCode code : codes) {
                      error.setError(LockManager, ORV_LM_DEADLOCK);
                      try {
                          OrvException::raise(code, "latch->initialize()", "f.cpp", 17,
                                              "void f(int)");
                          ADD_FAILURE() << "no exception for " << code;
                      } catch (const OrvException& e) {
                          EXPECT_EQ(code, e.getErrorCode());
                          EXPECT_EQ("latch->initialize()", e.getCall());
                          EXPECT_EQ("f.cpp", e.getFile());
                          EXPECT_EQ(17u, e.getLine());
                          EXPECT_EQ("void f(int)", e.getFunction());
                          for (int n = 1; n <= 4; ++n) {
                              EXPECT_EQ("", e.getToken(n));
                          }
                          EXPECT_EQ(nullptr, e.getOriginal());
                          // Recorded once, when the exception is caught and set.
                          EXPECT_EQ(ORV_SUCCESS, error.getErrorCode());
                          EXPECT_EQ(Support, error.getComponent());
                      }
                  }
              }));
}

TEST(OrvExceptionTest, RaiseMacroCarriesTheCallText) {
    EXPECT_EQ(0, inChild([] {
                  try {
                      ORV_RAISE(failingCall());
                      ADD_FAILURE() << "no exception";
                  } catch (const OrvException& e) {
                      EXPECT_EQ(ORV_LATCH_SEM_OPERATION_FAIL, e.getErrorCode());
                      EXPECT_EQ("failingCall()", e.getCall());
                      EXPECT_EQ(__FILE__, e.getFile());
                      EXPECT_NE(std::string::npos, e.getFunction().find("TestBody"));
                  }
              }));
}

// ---- Constructors ------------------------------------------------------------------

TEST(OrvExceptionTest, SourceFormsCarryTokensInOrder) {
    OrvException none(ORV_BM_BUFFER_FULL, "a.cpp", 1, "void a()");
    EXPECT_EQ("UNKNOWN", none.getCall());
    EXPECT_EQ("", none.getToken(1));

    OrvException four(ORV_MM_SHM_CREATE_FAIL, "b.cpp", 2, "void b()", "t1", "t2", "t3", "t4");
    EXPECT_EQ(ORV_MM_SHM_CREATE_FAIL, four.getErrorCode());
    EXPECT_EQ("UNKNOWN", four.getCall());
    EXPECT_EQ("b.cpp", four.getFile());
    EXPECT_EQ(2u, four.getLine());
    EXPECT_EQ("void b()", four.getFunction());
    EXPECT_EQ("t1", four.getToken(1));
    EXPECT_EQ("t2", four.getToken(2));
    EXPECT_EQ("t3", four.getToken(3));
    EXPECT_EQ("t4", four.getToken(4));
    EXPECT_EQ(nullptr, four.getOriginal());
    expectTraceLines(four.getBacktrace());

    OrvException two(ORV_FM_PAGE_NOT_EXISTS, "c.cpp", 3, "void c()", "5", "9");
    EXPECT_EQ("5", two.getToken(1));
    EXPECT_EQ("9", two.getToken(2));
    EXPECT_EQ("", two.getToken(3));
    EXPECT_EQ("", two.getToken(4));
}

TEST(OrvExceptionTest, TranslationKeepsTheOriginalAlive) {
    std::unique_ptr<OrvException> translated;
    try {
        ORV_THROW(ORV_FM_FILE_NOT_FOUND, "7");
    } catch (const OrvException& e) {
        translated.reset(new OrvException(e, ORV_RM_NO_MORE_PAGES, "ORV_RM_NO_MORE_PAGES", "g.cpp",
                                          2, "void g()"));
    }
    // The caught exception is gone now.
    ASSERT_NE(nullptr, translated->getOriginal());
    EXPECT_EQ(ORV_FM_FILE_NOT_FOUND, translated->getOriginal()->getErrorCode());
    EXPECT_EQ("7", translated->getOriginal()->getToken(1));
    EXPECT_EQ(ORV_RM_NO_MORE_PAGES, translated->getErrorCode());
    EXPECT_EQ("ORV_RM_NO_MORE_PAGES", translated->getCall());
    EXPECT_EQ("g.cpp", translated->getFile());
    EXPECT_EQ("", translated->getToken(1));

    // Thrown on, the copy keeps the original after the first object is gone.
    try {
        OrvException copy(*translated);
        translated.reset();
        throw copy;
    } catch (const OrvException& e) {
        ASSERT_NE(nullptr, e.getOriginal());
        EXPECT_EQ(ORV_FM_FILE_NOT_FOUND, e.getOriginal()->getErrorCode());
        EXPECT_EQ("7", e.getOriginal()->getToken(1));
    }
}

// ---- Recording a caught exception -------------------------------------------------------

TEST(OrvExceptionTest, SetErrorPassesTokensUpToTheLastNonEmptyOne) {
    EXPECT_EQ(0, inChild([] {
                  OrvError error;
                  const std::string text = "Cannot set the value '%1' for column %2 because the "
                                           "value has a length of %3 bytes but the column is "
                                           "defined with a maximum length of %4 bytes.";
                  struct Case {
                      std::vector<std::string> tokens;
                      std::vector<std::string> filled;
                  };
                  const Case cases[] = {
                      {{"a", "", "c", ""}, {"a", "", "c", ""}},
                      {{"", "", "", "d"}, {"", "", "", "d"}},
                      {{"", "b", "", ""}, {"", "b", "", ""}},
                      {{"a", "b", "c", "d"}, {"a", "b", "c", "d"}},
                      {{"", "", "", ""}, {"", "", "", ""}},
                  };
                  for (const Case& c : cases) {
                      OrvException e(ORV_CAT_VALUE_TOO_LONG, "f.cpp", 1, "void f()", c.tokens[0],
                                     c.tokens[1], c.tokens[2], c.tokens[3]);
                      e.SET_ERROR();
                      std::string expected = text;
                      for (int n = 4; n >= 1; --n) {
                          std::string mark = "%" + std::to_string(n);
                          expected.replace(expected.find(mark), 2, c.filled[n - 1]);
                      }
                      EXPECT_EQ(expected, errorText(error).message);
                      EXPECT_EQ("CAT08", errorText(error).sqlstate);
                      EXPECT_EQ(ORV_CAT_VALUE_TOO_LONG, error.getErrorCode());
                      EXPECT_EQ(Support, error.getComponent());
                  }
              }));
}

TEST(OrvExceptionTest, SetErrorWritesItsLocationToTheTraceFile) {
    TempDir dir;
    const std::string file = dir.file("errors.txt");
    EXPECT_EQ(0, inChild([&file] {
                  setenv("ORV_STACK_TRACE_FILE", file.c_str(), 1);
                  OrvError error;
                  OrvException(ORV_INTERNAL_FAIL, "f.cpp", 1, "void f()").SET_ERROR();
                  // An internal failure carries the location where it was
                  // raised, not that of SET_ERROR.
                  EXPECT_EQ("An internal failure was encountered.  (f.cpp:1 void f())",
                            errorText(error).message);
              }));
    std::vector<std::string> written = lines(readFile(file));
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ("An internal failure was encountered.", written[0]);
    EXPECT_EQ("f.cpp:1 void f() (" + std::to_string(static_cast<int>(ORV_INTERNAL_FAIL)) + ")",
              written[1]);
}

// ---- Printing ---------------------------------------------------------------------------

TEST(OrvExceptionTest, PrintWritesMessageSqlstateTraceAndEmptyLine) {
    EXPECT_EQ(0, inChild([] {
                  OrvException e(ORV_SYSTEM_STOP_IN_USE, "stop.cpp", 12, "void stop(bool)");
                  std::ostringstream os;
                  e.print(os);
                  EXPECT_EQ("\n"
                            "Exception aufgetreten: \n"
                            "The system could not be stopped because it is currently being "
                            "used. SQLSTATE=SY001\n" +
                                e.getBacktrace() + "\n",
                            os.str());
                  expectTraceLines(e.getBacktrace());
                  // The trace names the function that made the exception, demangled.
                  EXPECT_NE(std::string::npos, e.getBacktrace().find("::TestBody()+"));
                  EXPECT_EQ(std::string::npos, e.getBacktrace().find("call"));
                  EXPECT_EQ(std::string::npos, os.str().find("stop.cpp"));
                  EXPECT_EQ(ORV_SYSTEM_STOP_IN_USE, OrvGetErrorCode());
              }));
}

TEST(OrvExceptionTest, PrintMessageFillsTokensAndCutsAt999Characters) {
    EXPECT_EQ(
        0, inChild([] {
            std::ostringstream os;
            OrvException(ORV_FM_PAGE_NOT_EXISTS, "f.cpp", 1, "void f()", "5", "3")
                .print_message(os);
            EXPECT_EQ("\nException aufgetreten: \nPage number 5 does not exist in segment "
                      "3.  The file contains only  pages. SQLSTATE=FM005\n",
                      os.str());

            // Raised from a return code: no tokens, empty placeholders.
            os.str("");
            try {
                OrvException::raise(ORV_FM_FILE_NOT_FOUND, "open()", "f.cpp", 1, "f");
            } catch (const OrvException& e) {
                e.print_message(os);
            }
            EXPECT_EQ("\nException aufgetreten: \nThe file for segment  could not be "
                      "found. SQLSTATE=FM001\n",
                      os.str());

            // Raised from a code that its function recorded with tokens: the
            // recorded message is printed, tokens and all.
            os.str("");
            OrvError::getErrorObject()->setError(FileManager, ORV_FM_FILE_INVALID_SIZE, "9", "4097",
                                                 "4096");
            try {
                OrvException::raise(ORV_FM_FILE_INVALID_SIZE, "read()", "f.cpp", 1, "f");
            } catch (const OrvException& e) {
                e.print_message(os);
            }
            EXPECT_EQ("\nException aufgetreten: \nThe file for segment 9 has an invalid size "
                      "of 4097 bytes.  Each file must have a size that is a multiple of the "
                      "page size of 4096 bytes. SQLSTATE=FM013\n",
                      os.str());

            os.str("");
            std::string token(982, 't');
            OrvException(ORV_FM_FILE_NOT_FOUND, "f.cpp", 1, "void f()", token).print_message(os);
            std::string full = "The file for segment " + token + " could not be found.";
            EXPECT_EQ("\nException aufgetreten: \n" + full.substr(0, 999) + " SQLSTATE=FM001\n",
                      os.str());
        }));
}

TEST(OrvExceptionTest, PrintMessageOfInternalFailureNamesItself) {
    EXPECT_EQ(0, inChild([] {
                  std::ostringstream os;
                  OrvException(ORV_INTERNAL_FAIL, "f.cpp", 1, "void f()").print_message(os);
                  std::vector<std::string> out = lines(os.str());
                  ASSERT_EQ(3u, out.size());
                  EXPECT_EQ("An internal failure was encountered.  (", out[2].substr(0, 39));
                  EXPECT_EQ("An internal failure was encountered.  (f.cpp:1 void f()) "
                            "SQLSTATE=SY002",
                            out[2]);
                  os.str("");
                  OrvException(ORV_PARAMETER_FAIL, "g.cpp", 2, "int g()").print_message(os);
                  out = lines(os.str());
                  ASSERT_EQ(3u, out.size());
                  EXPECT_EQ("An invalid parameter value was detected.  (g.cpp:2 int g()) "
                            "SQLSTATE=SY003",
                            out[2]);
              }));
}

// ---- Stack traces -----------------------------------------------------------------------

TEST(OrvExceptionTest, StackTraceLineFormats) {
    // Two frames: the skip would pass the end, so the trace starts at frame 1.
    EXPECT_EQ(header + "[bt]: (1) ./orvstart : main+0x10 [0x400]\n",
              format({"./liborv(_ZN3foo3barEv+0x1) [0x1]", "./orvstart(main+0x10) [0x400]"}, 2));

    EXPECT_EQ(header + "[bt]: (3) ./a.out : foo::bar(int)+0x2a [0x55]\n"
                       "[bt]: (4) ./a.out : not_mangled+0x1 [0x56]\n"
                       "[bt]: (5) ./a.out : +0x99 [0x57]\n"
                       "[bt]: (6) [0x58]\n"
                       "[bt]: (7) mod+x(y) [0x59]\n"
                       "[bt]: (8) ./a.out(func) [0x60]\n"
                       "[bt]: (9) ./a.out(_Z1fv+0x1 [0x61]\n"
                       "[bt]: (10) /lib/x(y)(_Z1fv+0x3) rest(1)\n",
              format({"0", "1", "2", "./a.out(_ZN3foo3barEi+0x2a) [0x55]",
                      "./a.out(not_mangled+0x1) [0x56]", "./a.out(+0x99) [0x57]", "[0x58]",
                      "mod+x(y) [0x59]", "./a.out(func) [0x60]", "./a.out(_Z1fv+0x1 [0x61]",
                      "/lib/x(y)(_Z1fv+0x3) rest(1)"},
                     2));
    // Last line: the first ")" closes "(y)", before which the last "(" and
    // "+" are "(y" and none, so the text is written whole.

    // Three frames: the skip reaches the end exactly, so again from frame 1.
    EXPECT_EQ(header + "[bt]: (1) b\n[bt]: (2) c\n", format({"a", "b", "c"}, 2));
    EXPECT_EQ(header + "[bt]: (3) d\n", format({"a", "b", "c", "d"}, 2));
    EXPECT_EQ(header, format({"only"}, 2));
    EXPECT_EQ(header + "[bt]: (1) \n", format({"a", nullptr}, 0));
    std::ostringstream none;
    OrvException::formatStackTrace(none, nullptr, 5, 0);
    EXPECT_EQ(header, none.str());
    EXPECT_EQ(header + "[bt]: (1) b\n[bt]: (2) c\n", format({"a", "b", "c"}, 0));
}

// Outside an unnamed namespace, so that its symbol is exported and named in
// the trace. Not a tail call, so every level keeps its frame.
namespace exceptiontest {

int deepTrace(int depth, std::string& out) {
    if (depth == 0) {
        std::ostringstream os;
        OrvException::printStackTrace(os, 0);
        out = os.str();
        return 0;
    }
    return deepTrace(depth - 1, out) + 1;
}

} // namespace exceptiontest

TEST(OrvExceptionTest, StackTraceTakesAtMost30Frames) {
    std::string trace;
    exceptiontest::deepTrace(50, trace);
    expectTraceLines(trace);
    std::vector<std::string> out = lines(trace);
    ASSERT_EQ(30u, out.size());
    EXPECT_EQ("[bt]: (1) ", out[1].substr(0, 10));
    EXPECT_EQ("[bt]: (29) ", out[29].substr(0, 11));
    std::size_t named = 0;
    for (const std::string& line : out) {
        named += line.find(" : exceptiontest::deepTrace(int, ") != std::string::npos ? 1 : 0;
    }
    // Past the function that takes the trace (and a sanitizer's wrapper of
    // the stack walk, in such a build), every frame is a recursion level.
    EXPECT_GE(named, 26u);
}

// ---- Handlers ---------------------------------------------------------------------------

namespace {

void throwOrvException() {
    ORV_THROW(ORV_LM_DEADLOCK);
}

// An exception that leaves a function that must not throw ends the process.
void mustNotThrow() noexcept {
    throwOrvException();
}

} // namespace

TEST(OrvExceptionTest, TerminateHandlerPrintsAndAborts) {
    TempDir dir;
    const std::string errFile = dir.file("stderr.txt");
    int rc = orvtest::runInChild([&errFile] {
        int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || dup2(fd, 2) < 0) {
            return 2;
        }
        OrvException::SETUP();
        if (std::get_terminate() != &OrvException::terminateHandler) {
            return 3;
        }
        mustNotThrow();
        return 4;
    });
    EXPECT_EQ(128 + SIGABRT, rc);
    std::string err = readFile(errFile);
    const std::string head = "\nAsta la vista Baby - Program terminated on Exception!\n";
    ASSERT_EQ(head, err.substr(0, head.size())) << err;
    expectTraceLines(err.substr(head.size()));
    EXPECT_GT(lines(err).size(), 3u);
}

TEST(OrvExceptionTest, UnexpectedHandlerPrintsAndRethrows) {
    std::ostringstream captured;
    std::streambuf* saved = std::cerr.rdbuf(captured.rdbuf());
    bool rethrown = false;
    try {
        try {
            throwOrvException();
        } catch (...) {
            OrvException::unexpectedHandler();
        }
    } catch (const OrvException& e) {
        rethrown = e.getErrorCode() == ORV_LM_DEADLOCK;
    }
    std::cerr.rdbuf(saved);
    EXPECT_TRUE(rethrown);
    const std::string head = "\nUnexpected Exception has been thrown!\n";
    std::string out = captured.str();
    ASSERT_EQ(head, out.substr(0, head.size())) << out;
    expectTraceLines(out.substr(head.size()));
}

// ---- Tokens -------------------------------------------------------------------------------

namespace {
enum SmallEnum : Uint8 { Seven = 7, Big = 200 };
enum class SignedSmall : Sint8 { Minus = -2 };
enum PlainEnum { PlainFive = 5 };
} // namespace

TEST(OrvExceptionTest, ToStringWritesIntegersAndEnumerationsAsNumbers) {
    EXPECT_EQ("200", OrvException::to_string(Uint8(200)));
    EXPECT_EQ("0", OrvException::to_string(Uint8(0)));
    EXPECT_EQ("-5", OrvException::to_string(Sint8(-5)));
    EXPECT_EQ("65", OrvException::to_string(Sint8(65)));
    EXPECT_EQ("65535", OrvException::to_string(Uint16(65535)));
    EXPECT_EQ("-32768", OrvException::to_string(Sint16(-32768)));
    EXPECT_EQ("18446744073709551615", OrvException::to_string(ORV_MAX_UINT64));
    EXPECT_EQ("-9223372036854775808", OrvException::to_string(ORV_MIN_SINT64));
    EXPECT_EQ("7", OrvException::to_string(Seven));
    EXPECT_EQ("200", OrvException::to_string(Big));
    EXPECT_EQ("-2", OrvException::to_string(SignedSmall::Minus));
    EXPECT_EQ("5", OrvException::to_string(PlainFive));
    EXPECT_EQ("-93", OrvException::to_string(ORV_FM_FILE_NOT_FOUND));
    EXPECT_EQ("segment", OrvException::to_string("segment"));
    EXPECT_EQ("path/x", OrvException::to_string(std::string("path/x")));
    EXPECT_EQ("1.5", OrvException::to_string(1.5));
}
