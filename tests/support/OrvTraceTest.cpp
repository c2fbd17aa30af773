// Tracing: configuration from the environment, the trace file's function
// elements, exit codes, exceptions, probes and data blocks, the component
// mask, and the performance report.
//
// The trace manager reads its configuration once per process, when the first
// trace scope is opened. Every case therefore runs in a child process that
// sets the environment before its first scope.
#include "support/OrvTrace.h"
#include "OrvError.h"
#include "OrvException.h"
#include "SupportTestHelpers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

using orvtest::readFile;
using orvtest::TempDir;
using supporttest::inChild;

namespace {

using supporttest::lines;

const char* const variables[] = {"ORV_TRACE_FILE", "ORV_PERF_FILE", "ORV_TRACE_MASK",
                                 "ORV_TRACE_FLUSH", "ORV_STACK_TRACE_FILE"};

// In the child: the tracing variables as given, every other one unset.
void configure(const std::map<std::string, std::string>& env) {
    for (const char* name : variables) {
        unsetenv(name);
    }
    supporttest::setEnvironment(env);
}

const OrvComponent allComponents[] = {CommandLine,    RunTime,       Compiler,     Optimizer,
                                      CatalogManager, RecordManager, IndexManager, LockManager,
                                      LogManager,     BufferManager, FileManager,  Support};

// Redirects a standard descriptor into a file for the life of the object.
class Redirect {
public:
    Redirect(int fd, const std::string& path) : target(fd), saved(dup(fd)) {
        std::fflush(nullptr);
        int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, target);
        close(file);
    }
    ~Redirect() {
        std::fflush(nullptr);
        dup2(saved, target);
        close(saved);
    }

private:
    int target;
    int saved;
};

} // namespace

// Outside an unnamed namespace so that its signature text is predictable.
namespace tracetest {
void macroTraced(int) {
    ORV_TRACE(LockManager);
}
} // namespace tracetest

// ---- Switched off ---------------------------------------------------------------

TEST(OrvTraceTest, OffWritesNothingAndScopesHoldNoManager) {
    TempDir dir;
    EXPECT_EQ(0, inChild([&dir] {
                  configure({{"ORV_TRACE_MASK", "Lock"}, {"ORV_TRACE_FLUSH", "1"}});
                  {
                      Redirect out(1, dir.file("out.txt"));
                      Redirect err(2, dir.file("err.txt"));
                      for (OrvComponent c : allComponents) {
                          OrvTrace scope(c, "void f()");
                          scope.traceString(1, "text");
                          scope.traceNumber(2, "n", Uint32(3));
                          scope.traceData(3, 4, "abcd");
                          EXPECT_FALSE(scope.isActive());
                          EXPECT_FALSE(OrvTraceManager::getInstance()->isComponentActive(c));
                      }
                      OrvError error;
                      error.setError(LockManager, ORV_LM_DEADLOCK);
                  }
                  EXPECT_EQ("", readFile(dir.file("out.txt")));
                  EXPECT_EQ("", readFile(dir.file("err.txt")));
              }));
}

// ---- Function elements ----------------------------------------------------------

TEST(OrvTraceTest, NestedFunctionsAreIndentedByFour) {
    TempDir dir;
    const std::string trace = dir.file("trace.txt");
    EXPECT_EQ(0, inChild([&trace] {
                  configure({{"ORV_TRACE_FILE", trace}});
                  OrvTrace outer(LockManager, "void outer()");
                  EXPECT_TRUE(outer.isActive());
                  {
                      OrvTrace inner(LogManager, "int inner(int)");
                      inner.traceString(3, "hello");
                      { OrvTrace leaf(FileManager, "void leaf()"); }
                  }
                  { OrvTrace second(BufferManager, "void second()"); }
              }));
    EXPECT_EQ("<Function name=\"void outer()\" >\n"
              "    <Function name=\"int inner(int)\" >\n"
              "        <Probe id=\"3\" description=\"String\">hello</Probe>\n"
              "        <Function name=\"void leaf()\" >\n"
              "        </Function>\n"
              "    </Function>\n"
              "    <Function name=\"void second()\" >\n"
              "    </Function>\n"
              "</Function>\n",
              readFile(trace));
}

TEST(OrvTraceTest, ScopeMacroNamesTheFunctionBySignature) {
    TempDir dir;
    const std::string trace = dir.file("trace.txt");
    EXPECT_EQ(0, inChild([&trace] {
                  configure({{"ORV_TRACE_FILE", trace}});
                  tracetest::macroTraced(1);
              }));
    EXPECT_EQ("<Function name=\"void tracetest::macroTraced(int)\" >\n</Function>\n",
              readFile(trace));
}

namespace {

struct TracedCleanup {
    ~TracedCleanup() { OrvTrace scope(LockManager, "void cleanup()"); }
};

} // namespace

TEST(OrvTraceTest, ExitCodeAndExceptionLines) {
    TempDir dir;
    const std::string trace = dir.file("trace.txt");
    EXPECT_EQ(0, inChild([&trace] {
                  // Only the lock manager: the error object's own scopes stay out.
                  configure({{"ORV_TRACE_FILE", trace}, {"ORV_TRACE_MASK", "Lock"}});
                  OrvError error;
                  {
                      OrvTrace scope(LockManager, "void fails()");
                      error.setError(LockManager, ORV_LM_DEADLOCK);
                  }
                  error.setError(Support, ORV_SUCCESS);
                  try {
                      OrvTrace scope(LockManager, "void throws()");
                      ORV_THROW(ORV_LM_LOCK_LIST_FULL);
                  } catch (const OrvException&) {
                  }
                  try {
                      OrvTrace outer(LockManager, "void outer()");
                      OrvTrace scope(LockManager, "void both()");
                      error.setError(LockManager, ORV_LM_LOCK_TIME_OUT);
                      throw 1;
                  } catch (int) {
                  }
                  error.setError(Support, ORV_SUCCESS);
                  // A function that runs during unwinding and returns normally
                  // was not left by the exception.
                  try {
                      OrvTrace scope(LockManager, "void unwinds()");
                      TracedCleanup cleanup;
                      throw 2;
                  } catch (int) {
                  }
              }));
    EXPECT_EQ("<Function name=\"void fails()\" >\n"
              "    <ExitCode rc=\"-75\" />\n"
              "</Function>\n"
              "<Function name=\"void throws()\" >\n"
              "    <Exception>\n"
              "</Function>\n"
              "<Function name=\"void outer()\" >\n"
              "    <Function name=\"void both()\" >\n"
              "        <ExitCode rc=\"-74\" />\n"
              "        <Exception>\n"
              "    </Function>\n"
              "    <ExitCode rc=\"-74\" />\n"
              "    <Exception>\n"
              "</Function>\n"
              "<Function name=\"void unwinds()\" >\n"
              "    <Function name=\"void cleanup()\" >\n"
              "    </Function>\n"
              "    <Exception>\n"
              "</Function>\n",
              readFile(trace));
}

TEST(OrvTraceTest, RecordedErrorsAppearAsStringProbes) {
    TempDir dir;
    const std::string trace = dir.file("trace.txt");
    EXPECT_EQ(0, inChild([&trace] {
                  configure({{"ORV_TRACE_FILE", trace}, {"ORV_TRACE_MASK", "Support"}});
                  OrvError error;
                  error.setError(FileManager, ORV_FM_FILE_NOT_FOUND, "4");
              }));
    EXPECT_NE(std::string::npos,
              readFile(trace).find("    <Probe id=\"1\" description=\"String\">The file for "
                                   "segment 4 could not be found.</Probe>\n"));
}

// ---- Probes and data --------------------------------------------------------------

TEST(OrvTraceTest, ProbesFormatNumbersAndStrings) {
    TempDir dir;
    const std::string trace = dir.file("trace.txt");
    EXPECT_EQ(0, inChild([&trace] {
                  configure({{"ORV_TRACE_FILE", trace}});
                  OrvTrace scope(LockManager, "void probes()");
                  scope.traceNumber(1, "unsigned", Uint32(4294967295u));
                  scope.traceNumber(2, "signed", Sint32(-42));
                  scope.traceNumber(3, "double", 2.5);
                  scope.traceNumber(4, "large", 1e300);
                  scope.traceString(65535, "text <b>");
              }));
    EXPECT_EQ("<Function name=\"void probes()\" >\n"
              "    <Probe id=\"1\" description=\"unsigned\">4294967295</Probe>\n"
              "    <Probe id=\"2\" description=\"signed\">-42</Probe>\n"
              "    <Probe id=\"3\" description=\"double\">2.500000</Probe>\n"
              "    <Probe id=\"4\" description=\"large\">" +
                  std::to_string(1e300) +
                  "</Probe>\n"
                  "    <Probe id=\"65535\" description=\"String\">text <b></Probe>\n"
                  "</Function>\n",
              readFile(trace));
}

TEST(OrvTraceTest, DataBlocksInHexAndAsText) {
    TempDir dir;
    const std::string trace = dir.file("trace.txt");
    EXPECT_EQ(0, inChild([&trace] {
                  configure({{"ORV_TRACE_FILE", trace}});
                  OrvTrace scope(LockManager, "void data()");
                  const char seventeen[] = "ABCDEFGHIJKLMNOP\x01";
                  scope.traceData(9, 17, seventeen);
                  std::string long55;
                  for (int i = 0; i < 55; ++i) {
                      long55.push_back(static_cast<char>('a' + i % 26));
                  }
                  const Uint8 high[] = {0x7F, 0x80, 0xFF, 0x20};
                  // The middle block is absent and skipped; an empty one is written.
                  scope.traceData(10, 55, long55.data(), 8, nullptr, 4, high);
                  scope.traceData(11, 0, "", 0, nullptr, 0, nullptr);
              }));
    EXPECT_EQ("<Function name=\"void data()\" >\n"
              "    <Data id=\"9\"><![CDATA[\n"
              "    Length: 17 Byte(s)\n"
              "    Hexadecimal representation\n"
              "    41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 \n"
              "    01 \n"
              "\n"
              "    String representation\n"
              "    ABCDEFGHIJKLMNOP.\n"
              "\n"
              "    ]]></Data>\n"
              "    <Data id=\"10\"><![CDATA[\n"
              "    Length: 55 Byte(s)\n"
              "    Hexadecimal representation\n"
              "    61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70 \n"
              "    71 72 73 74 75 76 77 78 79 7A 61 62 63 64 65 66 \n"
              "    67 68 69 6A 6B 6C 6D 6E 6F 70 71 72 73 74 75 76 \n"
              "    77 78 79 7A 61 62 63 \n"
              "\n"
              "    String representation\n"
              "    abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwx\n"
              "    yzabc\n"
              "\n"
              "    Length: 4 Byte(s)\n"
              "    Hexadecimal representation\n"
              "    7F 80 FF 20 \n"
              "\n"
              "    String representation\n"
              "    ... \n"
              "\n"
              "    ]]></Data>\n"
              "    <Data id=\"11\"><![CDATA[\n"
              "    Length: 0 Byte(s)\n"
              "    Hexadecimal representation\n"
              "\n"
              "    String representation\n"
              "\n"
              "    ]]></Data>\n"
              "</Function>\n",
              readFile(trace));
}

// ---- Configuration ---------------------------------------------------------------

namespace {

// The components whose scopes reach the trace file under the given mask.
std::set<int> tracedComponents(const TempDir& dir, const char* mask) {
    const std::string trace = dir.file("trace.txt");
    std::map<std::string, std::string> env = {{"ORV_TRACE_FILE", trace}};
    if (mask != nullptr) {
        env["ORV_TRACE_MASK"] = mask;
    }
    int rc = inChild([&] {
        configure({});
        // An empty value must stay set (configure would drop it).
        for (const auto& kv : env) {
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
        for (OrvComponent c : allComponents) {
            OrvTrace scope(c, ("c" + std::to_string(c)).c_str());
            bool active = OrvTraceManager::getInstance()->isComponentActive(c);
            EXPECT_EQ(active, scope.isActive());
        }
    });
    EXPECT_EQ(0, rc);
    std::set<int> traced;
    std::regex start("<Function name=\"c([0-9]+)\" >");
    for (const std::string& line : lines(readFile(trace))) {
        std::smatch m;
        if (std::regex_search(line, m, start)) {
            traced.insert(std::stoi(m[1]));
        }
    }
    return traced;
}

} // namespace

TEST(OrvTraceTest, MaskSelectsComponentsByKeyword) {
    TempDir dir;
    const std::set<int> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    EXPECT_EQ(all, tracedComponents(dir, nullptr));
    EXPECT_EQ(all, tracedComponents(dir, ""));
    EXPECT_EQ((std::set<int>{7, 8}), tracedComponents(dir, "Lock,Log"));
    EXPECT_EQ((std::set<int>{0}), tracedComponents(dir, "clp"));
    EXPECT_EQ((std::set<int>{0}), tracedComponents(dir, "CommandLine"));
    EXPECT_EQ((std::set<int>{6}), tracedComponents(dir, "Bogus,Index"));
    EXPECT_EQ((std::set<int>{6}), tracedComponents(dir, "Index,,nothing"));
    EXPECT_EQ((std::set<int>{1, 2, 3, 4, 5, 9, 10, 11}),
              tracedComponents(dir, "Compiler,Optimizer,Catalog,RunTime,Record,Buffer,File,"
                                    "Support"));
    // Only the leading characters count: "Logger" is Log, "Locks" is Lock;
    // a blank before a keyword makes it unknown.
    EXPECT_EQ((std::set<int>{7, 8}), tracedComponents(dir, "Logger,Locks"));
    EXPECT_EQ((std::set<int>{7}), tracedComponents(dir, "Lock, Log"));
    // Short forms: four characters of "Compiler" and "Lock", but only three
    // of "Record".
    EXPECT_EQ((std::set<int>{5}), tracedComponents(dir, "Com,Loc,Rec"));
}

TEST(OrvTraceTest, TraceToStandardOutputAndError) {
    TempDir dir;
    const char* const streams[] = {"stdout", "stderr"};
    for (const char* stream : streams) {
        const std::string captured = dir.file(std::string(stream) + ".txt");
        EXPECT_EQ(0, inChild([&] {
                      int fd = std::string(stream) == "stdout" ? 1 : 2;
                      int file = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                      dup2(file, fd);
                      configure({{"ORV_TRACE_FILE", stream}});
                      { OrvTrace scope(LockManager, "void f()"); }
                      std::fflush(nullptr);
                  }));
        EXPECT_EQ("<Function name=\"void f()\" >\n</Function>\n", readFile(captured)) << stream;
    }
    EXPECT_NE(0, access(dir.file("stdout").c_str(), F_OK));
}

TEST(OrvTraceTest, UnwritableTraceFileLeavesTracingOff) {
    TempDir dir;
    const std::string perf = dir.file("perf.txt");
    EXPECT_EQ(0, inChild([&] {
                  configure({{"ORV_TRACE_FILE", dir.file("missing/trace.txt")},
                             {"ORV_PERF_FILE", perf},
                             {"ORV_TRACE_MASK", "Lock"},
                             {"ORV_TRACE_FLUSH", "1"}});
                  for (OrvComponent c : allComponents) {
                      OrvTrace scope(c, "int main()");
                      EXPECT_FALSE(scope.isActive());
                  }
                  EXPECT_EQ(0, OrvTraceManager::getInstance()->getTraceMask());
                  EXPECT_FALSE(OrvTraceManager::getInstance()->getTraceFlush());
              }));
    // The performance file was not even opened.
    EXPECT_NE(0, access(perf.c_str(), F_OK));
    EXPECT_NE(0, access(dir.file("missing").c_str(), F_OK));
}

TEST(OrvTraceTest, UnwritablePerformanceFileStopsTheConfiguration) {
    TempDir dir;
    const std::string trace = dir.file("trace.txt");
    EXPECT_EQ(0, inChild([&] {
                  configure({{"ORV_TRACE_FILE", trace},
                             {"ORV_PERF_FILE", dir.path()},
                             {"ORV_TRACE_MASK", "Lock"},
                             {"ORV_TRACE_FLUSH", "1"}});
                  // The trace file is open, but the mask was not read.
                  OrvTrace scope(LogManager, "void f()");
                  EXPECT_TRUE(scope.isActive());
                  EXPECT_EQ(0, OrvTraceManager::getInstance()->getTraceMask());
                  EXPECT_FALSE(OrvTraceManager::getInstance()->getTraceFlush());
              }));
    EXPECT_EQ("<Function name=\"void f()\" >\n</Function>\n", readFile(trace));
}

TEST(OrvTraceTest, FlushWritesEachRecordAtOnce) {
    TempDir dir;
    const std::string trace = dir.file("trace.txt");
    struct Case {
        const char* flush;
        bool on;
    };
    const Case cases[] = {{"1", true}, {"yes", true}, {"0", false}, {"0yes", false}, {"", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(0, inChild([&] {
                      configure({{"ORV_TRACE_FILE", trace}, {"ORV_TRACE_FLUSH", c.flush}});
                      EXPECT_EQ(c.on, OrvTraceManager::getInstance()->getTraceFlush());
                      OrvTrace scope(LockManager, "void f()");
                      std::string start = "<Function name=\"void f()\" >\n";
                      EXPECT_EQ(c.on ? start : std::string(), readFile(trace));
                      scope.traceString(1, "x");
                      EXPECT_EQ(c.on ? start +
                                           "    <Probe id=\"1\" description=\"String\">x</Probe>\n"
                                     : std::string(),
                                readFile(trace));
                  }))
            << c.flush;
    }
}

// ---- Performance report --------------------------------------------------------------

namespace {

struct ReportLine {
    std::string count; // the ten characters of the call count
    double seconds;
    std::string name;
};

// Parses one report; fails the test on a line of another form.
std::vector<ReportLine> parseReport(const std::vector<std::string>& text) {
    std::vector<ReportLine> result;
    std::regex line("^( {0,9}[0-9]+) calls in ([0-9]+\\.[0-9]{6}) sec to function \"(.*)\"$");
    for (const std::string& l : text) {
        std::smatch m;
        if (!std::regex_match(l, m, line)) {
            ADD_FAILURE() << "not a report line: " << l;
            continue;
        }
        result.push_back(ReportLine{m[1], std::stod(m[2]), m[3]});
    }
    return result;
}

} // namespace

TEST(OrvTraceTest, PerformanceReportCountsCallsAndTimesOutermostCalls) {
    TempDir dir;
    const std::string perf = dir.file("perf.txt");
    EXPECT_EQ(0, inChild([&] {
                  configure({{"ORV_PERF_FILE", perf}});
                  OrvTrace main(CommandLine, "int main(int, char**)");
                  EXPECT_TRUE(main.isActive());
                  {
                      OrvTrace span(LockManager, "void span()");
                      OrvTrace outer(LockManager, "void rec()");
                      usleep(50000);
                      OrvTrace nested(LockManager, "void rec()");
                      usleep(50000);
                  }
                  { OrvTrace z(LogManager, "Zeta z()"); }
                  { OrvTrace a(LogManager, "alpha a()"); }
                  // Nothing before main ends.
                  EXPECT_EQ("", readFile(perf));
              }));
    std::vector<std::string> text = lines(readFile(perf));
    ASSERT_EQ(7u, text.size()) << readFile(perf);
    EXPECT_EQ("Function timings:", text[0]);
    EXPECT_EQ("=================", text[1]);
    std::vector<ReportLine> report = parseReport({text.begin() + 2, text.end()});
    ASSERT_EQ(5u, report.size());
    // strcmp order: upper case before lower case.
    EXPECT_EQ("Zeta z()", report[0].name);
    EXPECT_EQ("alpha a()", report[1].name);
    EXPECT_EQ("int main(int, char**)", report[2].name);
    EXPECT_EQ("void rec()", report[3].name);
    EXPECT_EQ("void span()", report[4].name);
    EXPECT_EQ("         1", report[0].count);
    EXPECT_EQ("         1", report[2].count);
    EXPECT_EQ("         2", report[3].count);
    EXPECT_EQ("         1", report[4].count);
    // rec's time runs from the entry of its outer call (both pauses count)
    // and the nested call adds none of its own: the outer call lies within
    // span, so rec cannot have taken longer.
    EXPECT_GE(report[3].seconds, 0.1);
    EXPECT_LE(report[3].seconds, report[4].seconds);
    EXPECT_LE(report[4].seconds, report[2].seconds);
}

TEST(OrvTraceTest, ReportIsWrittenEachTimeTheOutermostMainEnds) {
    TempDir dir;
    const std::string perf = dir.file("perf.txt");
    const std::string trace = dir.file("trace.txt");
    EXPECT_EQ(0, inChild([&] {
                  configure({{"ORV_PERF_FILE", perf}, {"ORV_TRACE_FILE", trace}});
                  {
                      OrvTrace outer(CommandLine, "main");
                      { OrvTrace inner(CommandLine, "main"); }
                      EXPECT_EQ("", readFile(perf));
                  }
                  { OrvTrace again(CommandLine, "main"); }
              }));
    std::vector<std::string> text = lines(readFile(perf));
    ASSERT_EQ(6u, text.size()) << readFile(perf);
    EXPECT_EQ("Function timings:", text[0]);
    EXPECT_EQ("=================", text[1]);
    EXPECT_EQ("Function timings:", text[3]);
    EXPECT_EQ("=================", text[4]);
    std::vector<ReportLine> first = parseReport({text[2]});
    std::vector<ReportLine> second = parseReport({text[5]});
    ASSERT_EQ(1u, first.size());
    ASSERT_EQ(1u, second.size());
    EXPECT_EQ("         2", first[0].count);
    EXPECT_EQ("main", first[0].name);
    EXPECT_EQ("         3", second[0].count);
    // The trace file is written beside the report.
    EXPECT_EQ(6u, lines(readFile(trace)).size());
}

// ---- TimeValue ------------------------------------------------------------------------

TEST(TimeValueTest, ArithmeticCarriesBorrowsAndStopsAtZero) {
    auto expectTime = [](long s, long us, const TimeValue& t) {
        EXPECT_EQ(s, t.seconds());
        EXPECT_EQ(us, t.microseconds());
    };
    expectTime(2, 0, TimeValue(1, 999999) + TimeValue(0, 1));
    expectTime(4, 100000, TimeValue(1, 500000) + TimeValue(2, 600000));
    expectTime(3, 999999, TimeValue(1, 999999) + TimeValue(2, 0));
    expectTime(1, 999999, TimeValue(2, 0) - TimeValue(0, 1));
    expectTime(3, 200000, TimeValue(5, 300000) - TimeValue(2, 100000));
    expectTime(0, 0, TimeValue(1, 0) - TimeValue(2, 0));
    expectTime(0, 0, TimeValue(1, 0) - TimeValue(1, 1));
    expectTime(0, 0, TimeValue(7, 5) - TimeValue(7, 5));

    TimeValue total(0, 600000);
    total += TimeValue(0, 600000);
    expectTime(1, 200000, total);
    total = TimeValue(9, 9);
    expectTime(9, 9, total);
    total.setZero();
    expectTime(0, 0, total);

    timeval before;
    gettimeofday(&before, nullptr);
    TimeValue now;
    timeval after;
    gettimeofday(&after, nullptr);
    EXPECT_GE(now.seconds() * 1000000L + now.microseconds(),
              before.tv_sec * 1000000L + before.tv_usec);
    EXPECT_LE(now.seconds() * 1000000L + now.microseconds(),
              after.tv_sec * 1000000L + after.tv_usec);
}
