// Installs the engine into a temporary prefix and builds a small program of
// its own against it, the way a process that links the engine would.
#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"

#include <gtest/gtest.h>

using orvtest::runProgram;
using orvtest::TempDir;

namespace {

const char* const appCMake = R"(cmake_minimum_required(VERSION 3.16)
project(orvclient CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(orv REQUIRED)
add_executable(app main.cpp)
target_link_libraries(app PRIVATE orv::orv)
)";

// Every public header, so that each one compiles from the installed tree; the
// program starts and stops the engine on ORV_DATABASE_PATH.
const char* const appMain = R"(#include "OrvBuffer.h"
#include "OrvDebug.h"
#include "OrvError.h"
#include "OrvException.h"
#include "OrvIndexKey.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvLsn.h"
#include "OrvRecord.h"
#include "OrvSystem.h"
#include "OrvTransaction.h"
#include "OrvTypes.h"

#include <iostream>

int main() {
    OrvError error;
    try {
        ORV_THROW(ORV_FM_FILE_NOT_FOUND, OrvException::to_string(Uint16(7)));
    } catch (const OrvException& e) {
        e.SET_ERROR();
    }
    char message[200] = {};
    char sqlstate[6] = {};
    error.getError(message, sizeof(message), sqlstate);
    std::cout << sqlstate << ": " << message << std::endl;
    try {
        OrvSystem::start();
        OrvSystem::stopAllManagers();
        OrvSystem::stop(false);
    } catch (const OrvException& e) {
        e.print(std::cerr);
        return 2;
    }
    std::cout << "started and stopped" << std::endl;
    return 0;
}
)";

} // namespace

TEST(InstallTest, ClientBuildsAgainstInstalledPackage) {
    TempDir prefix("orv-prefix");
    TempDir project("orv-client");
    orvtest::ProcessResult install =
        runProgram({ORV_CMAKE_COMMAND, "--install", ORV_BUILD_DIR, "--prefix", prefix.path()});
    ASSERT_EQ(0, install.exitCode) << install.out << install.err;
    EXPECT_EQ(0, runProgram({"/usr/bin/test", "-f", prefix.file("lib/liborv.a")}).exitCode);
    EXPECT_EQ(0,
              runProgram({"/usr/bin/test", "-f", prefix.file("include/orv/OrvError.h")}).exitCode);

    orvtest::writeFile(project.file("CMakeLists.txt"), appCMake);
    orvtest::writeFile(project.file("main.cpp"), appMain);
    std::string build = project.file("build");
    orvtest::ProcessResult configure =
        runProgram({ORV_CMAKE_COMMAND, "-S", project.path(), "-B", build,
                    "-DCMAKE_PREFIX_PATH=" + prefix.path(),
                    std::string("-DCMAKE_CXX_COMPILER=") + ORV_CXX_COMPILER});
    ASSERT_EQ(0, configure.exitCode) << configure.out << configure.err;
    orvtest::ProcessResult compile = runProgram({ORV_CMAKE_COMMAND, "--build", build});
    ASSERT_EQ(0, compile.exitCode) << compile.out << compile.err;

    // The engine's sets are made in a database directory of the test's own.
    orvtest::TestDatabase db;
    orvtest::ProcessResult run =
        runProgram({build + "/app"}, {{"ORV_DATABASE_PATH", db.path()}}, db.path());
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ("FM001: The file for segment 7 could not be found.\nstarted and stopped\n", run.out);
    for (int set = 0; set < 3; ++set) {
        EXPECT_EQ(-1, db.segmentId(set));
    }
}
