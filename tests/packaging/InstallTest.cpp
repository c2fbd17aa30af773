// Installs the engine into a temporary prefix and builds a small program of
// its own against it, the way a process that links the engine would.
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

const char* const appMain = R"(#include "OrvError.h"
#include "OrvException.h"
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
    return error.getErrorCode() == ORV_FM_FILE_NOT_FOUND ? 0 : 1;
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

    orvtest::ProcessResult run = runProgram({build + "/app"});
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ("FM001: The file for segment 7 could not be found.\n", run.out);
}
