#include "OrvDebug.h"

#include "common/OrvTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> lastCalls;

void commandA(const std::string* args) {
    lastCalls.push_back("A:" + (args ? *args : "null"));
}
void commandB(const std::string* args) {
    lastCalls.push_back("B:" + (args ? *args : "null"));
}
void resetA(const std::string*) {
    lastCalls.push_back("resetA");
}

TEST(OrvDebugTest, ArgumentsAreSplitAtEverySingleBlank) {
    using Fields = std::vector<std::string>;
    EXPECT_EQ(Fields(), OrvDebug::splitArguments(nullptr));
    const std::string empty;
    EXPECT_EQ(Fields(), OrvDebug::splitArguments(&empty));
    const std::string one = "pages";
    EXPECT_EQ(Fields({"pages"}), OrvDebug::splitArguments(&one));
    const std::string two = "current transaction";
    EXPECT_EQ(Fields({"current", "transaction"}), OrvDebug::splitArguments(&two));
    // Two blanks, and blanks at either end, give empty fields a command can
    // refuse.
    const std::string doubled = "SHOWLOG  1";
    EXPECT_EQ(Fields({"SHOWLOG", "", "1"}), OrvDebug::splitArguments(&doubled));
    const std::string ends = " a ";
    EXPECT_EQ(Fields({"", "a", ""}), OrvDebug::splitArguments(&ends));
}

TEST(OrvDebugTest, CommandsAreListedNewestFirstWithTheirFields) {
    OrvDebug::registerFunction(&commandA, &resetA, "dbgtest_a", "Dumps A");
    OrvDebug::registerFunction(&commandB, nullptr, "dbgtest_b", "");
    const OrvDebug::EntryList& functions = OrvDebug::functions();
    ASSERT_GE(functions.size(), 2u);
    auto it = functions.begin();
    EXPECT_STREQ("dbgtest_b", it->name);
    EXPECT_STREQ("", it->doc);
    EXPECT_EQ(&commandB, it->func);
    EXPECT_EQ(nullptr, it->rstfunc);
    EXPECT_EQ(nullptr, it->var);
    ++it;
    EXPECT_STREQ("dbgtest_a", it->name);
    EXPECT_STREQ("Dumps A", it->doc);
    EXPECT_EQ(&commandA, it->func);
    EXPECT_EQ(&resetA, it->rstfunc);
    // A command is not a variable.
    EXPECT_EQ(nullptr, OrvDebug::find(OrvDebug::debugvariables(), "dbgtest_a"));
}

TEST(OrvDebugTest, DuplicateNamesKeepBothEntriesAndFindTheNewer) {
    OrvDebug::registerFunction(&commandA, nullptr, "dbgtest_dup", "first");
    const OrvDebugData* older = OrvDebug::find(OrvDebug::functions(), "dbgtest_dup");
    OrvDebug::registerFunction(&commandB, nullptr, "dbgtest_dup", "second");
    const OrvDebugData* newer = OrvDebug::find(OrvDebug::functions(), "dbgtest_dup");
    ASSERT_NE(nullptr, older);
    ASSERT_NE(nullptr, newer);
    EXPECT_NE(older, newer);
    EXPECT_STREQ("second", newer->doc);
    // The older entry stays where it was, unchanged.
    EXPECT_STREQ("first", older->doc);
    int count = 0;
    for (const OrvDebugData& entry : OrvDebug::functions()) {
        count += std::string("dbgtest_dup") == entry.name ? 1 : 0;
    }
    EXPECT_EQ(2, count);

    lastCalls.clear();
    std::string args = "a b  c";
    newer->func(&args);
    older->func(nullptr);
    EXPECT_EQ((std::vector<std::string>{"B:a b  c", "A:null"}), lastCalls);
    EXPECT_EQ(nullptr, OrvDebug::find(OrvDebug::functions(), "dbgtest_unknown"));
    EXPECT_EQ(nullptr, OrvDebug::find(OrvDebug::functions(), nullptr));
}

TEST(OrvDebugTest, VariablesAreReachedThroughTheirEntries) {
    Uint32 pages = 17;
    static Uint32 limit = 3;
    OrvDebug::registerDebugVariable(&pages, "dbgtest_pages", "Pages seen");
    OrvDebug::registerDebugVariable(&limit, "dbgtest_limit", "");
    EXPECT_STREQ("dbgtest_limit", OrvDebug::debugvariables().front().name);
    const OrvDebugData* entry = OrvDebug::find(OrvDebug::debugvariables(), "dbgtest_pages");
    ASSERT_NE(nullptr, entry);
    EXPECT_STREQ("Pages seen", entry->doc);
    EXPECT_EQ(nullptr, entry->func);
    EXPECT_EQ(nullptr, entry->rstfunc);
    ASSERT_EQ(&pages, entry->var);
    *entry->var = 99;
    EXPECT_EQ(99u, pages);
    EXPECT_EQ(nullptr, OrvDebug::find(OrvDebug::functions(), "dbgtest_pages"));
}

// Registrations from static initialisers of another file, made before main,
// are all there, in order.
TEST(OrvDebugTest, RegistrationBeforeMainIsKept) {
    orvtest::ProcessResult result =
        orvtest::runProgram({std::string(ORV_TEST_BINARY_DIR) + "/orv_debug_static_helper"});
    ASSERT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("function in_main\n"
              "function early_second\n"
              "function early_first\n"
              "variable early_second 7\n"
              "variable early_first 7\n",
              result.out);
}

} // namespace
