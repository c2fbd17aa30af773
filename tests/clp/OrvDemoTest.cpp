// The README's first command, scripts/run-demo.sh, on a fresh database of
// the test's own with the programs of this build: start, the demo client,
// the dumps, the picture of the demo's index and the stop; twice, since the
// demo must run again on the database it left.
#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

using orvtest::ProcessResult;
using orvtest::runProgram;

namespace {

std::string directoryOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

bool exists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

} // namespace

TEST(DemoTest, TheReadmeCommandRunsTwiceOnAFreshDatabase) {
    if (!exists("/usr/bin/dot") && !exists("/usr/local/bin/dot")) {
        GTEST_SKIP() << "Graphviz's dot is not installed (scripts/install-deps.sh installs it)";
    }
    orvtest::TestDatabase db;
    const std::map<std::string, std::string> env{{"ORV_DEMO_BIN", directoryOf(ORV_ORVSTART)},
                                                 {"ORV_DEMO_DB", db.path()}};
    const std::string script = std::string(ORV_SOURCE_DIR) + "/scripts/run-demo.sh";
    for (int run = 0; run < 2; ++run) {
        ProcessResult r = runProgram({"/bin/bash", script}, env);
        ASSERT_EQ(0, r.exitCode) << "run " << run << "\n" << r.out << r.err;
        EXPECT_NE(std::string::npos, r.out.find("The system was started successfully."));
        EXPECT_NE(std::string::npos, r.out.find(run == 0 ? "No table DEMO from an earlier run."
                                                         : "Dropped the table DEMO"))
            << r.out;
        EXPECT_NE(std::string::npos, r.out.find("Inserted 1200 rows"));
        EXPECT_NE(std::string::npos, r.out.find("now stored at"));
        EXPECT_NE(std::string::npos, r.out.find("Rolled it back"));
        EXPECT_NE(std::string::npos, r.out.find("Buffer Hit ratio"));
        EXPECT_NE(std::string::npos, r.out.find("LEAF"));
        EXPECT_NE(std::string::npos, r.out.find("The system was stopped successfully."));
        EXPECT_NE(std::string::npos, orvtest::readFile(db.file("demo-index.svg")).find("<svg"));
        // Stopped: no set of the database is left.
        for (int set = 0; set < 3; ++set) {
            EXPECT_EQ(-1, db.segmentId(set)) << "set " << set;
        }
    }
}

TEST(DemoTest, WithoutAnEngineTheDemoSaysSoAndFails) {
    orvtest::TestDatabase db;
    const std::string demo = directoryOf(ORV_ORVSTART) + "/orvdemo";
    ProcessResult r = runProgram({demo}, {{"ORV_DATABASE_PATH", db.path()}}, db.path());
    EXPECT_EQ(1, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("SQLSTATE=MM007")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("run orvstart first")) << r.err;
    ProcessResult usage = runProgram({demo, "now"}, {{"ORV_DATABASE_PATH", db.path()}});
    EXPECT_EQ(1, usage.exitCode);
    EXPECT_NE(std::string::npos, usage.out.find("Usage: "));
}
