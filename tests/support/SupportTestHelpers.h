// Helpers for the tests of the error object, exceptions, tracing and
// profiling.
#ifndef ORV_SUPPORT_TEST_HELPERS_H
#define ORV_SUPPORT_TEST_HELPERS_H

#include "OrvError.h"
#include "common/OrvTestSupport.h"

#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace supporttest {

// Runs body in a forked child, so that it starts without an error object or a
// trace manager of the test process (both are made once per process and read
// the environment then). A failed expectation in the child is reported by the
// child and makes it exit with 1.
inline int inChild(const std::function<void()>& body) {
    return orvtest::runInChild([&body] {
        body();
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
}

// Sets (or, for an empty value, removes) environment variables. Meant for a
// child process: the parent's environment stays as it was.
inline void setEnvironment(const std::map<std::string, std::string>& env) {
    for (const auto& kv : env) {
        if (kv.second.empty()) {
            unsetenv(kv.first.c_str());
        } else {
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
    }
}

// The lines of a text, without their line ends.
inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

struct ErrorText {
    std::string message;
    std::string sqlstate;
};

// The message and SQLSTATE of an error object, through getError with a buffer
// large enough for any message.
inline ErrorText errorText(OrvError& error) {
    char message[ORV_ERROR_MESSAGE_LENGTH + 1] = {};
    char sqlstate[ORV_SQLSTATE_LENGTH + 1] = {};
    error.getError(message, sizeof(message), sqlstate);
    return ErrorText{message, sqlstate};
}

} // namespace supporttest

#endif
