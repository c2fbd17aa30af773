// orvshow run as a real process against a database of the test's own: the
// listing against the registry of a process with every manager, every
// registered command with its arguments, refused names and arguments, no
// engine, and the DOT pictures of a tree and of pages checked against what
// the test put into them.
#include "OrvEngineTest.h"
#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"

#include "OrvCatalogManager.h"
#include "OrvDebug.h"
#include "OrvIndexManager.h"
#include "OrvLock.h"
#include "OrvRecordManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <unistd.h>

using orvtest::ProcessResult;
using orvtest::runProgram;

namespace {

constexpr IndexId SHOW_INDEX = 5;
constexpr TableId TABLE = 40;

// Graphviz's dot program, or empty when it is not installed.
std::string dotProgram() {
    for (const char* path : {"/usr/bin/dot", "/usr/local/bin/dot"}) {
        if (access(path, X_OK) == 0) {
            return path;
        }
    }
    return "";
}

bool haveDot() {
    return !dotProgram().empty();
}

OrvIndexKey key(Sint32 value) {
    OrvIndexKey k;
    k.dataType = INTEGER;
    k.intKey = value;
    return k;
}

class ShowTest : public orvtest::EngineTest {
protected:
    // The engine as orvstart leaves it: with its catalog.
    void SetUp() override {
        orvtest::EngineTest::SetUp();
        ASSERT_EQ(ORV_SUCCESS, OrvCatalogManager::initializeCatalog());
        dropManagers();
    }

    ProcessResult show(const std::vector<std::string>& args) {
        std::vector<std::string> argv{ORV_ORVSHOW};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProgram(argv, {{"ORV_DATABASE_PATH", db.path()}}, db.path());
    }

    // Runs `work` in one committed transaction of this process, then drops
    // the managers, so that the pages reach their files and orvshow, another
    // process, finds no lock of ours.
    static void committed(const std::function<void()>& work) {
        OrvClientTransaction::begin();
        {
            OrvTransactionGuard guard;
            work();
            guard.commit();
        }
        dropManagers();
    }

    // An index whose keys are `keys`, in the order given.
    static void makeIndex(const std::vector<Sint32>& keys) {
        committed([&] {
            OrvIndexManager* im = OrvIndexManager::getInstance();
            im->createIndex(SHOW_INDEX, true, BTree, INTEGER);
            for (Sint32 k : keys) {
                im->insert(SHOW_INDEX, key(k), TupleId(PageId(1 + (k & 7)), SlotId(k & 63)));
            }
        });
    }

    // Whether `dot` accepts a picture; empty when it does, else its errors.
    std::string dotRejects(const std::string& picture) {
        const std::string in = db.file("picture.dot");
        orvtest::writeFile(in, picture);
        ProcessResult r = runProgram({dotProgram(), "-Tsvg", in, "-o", db.file("picture.svg")});
        return r.exitCode == 0 ? std::string()
                               : "exit " + std::to_string(r.exitCode) + ": " + r.err;
    }
};

// The names in orvshow's listing of one section ("Debug commands" or
// "Debug variables"): the lines indented by exactly two blanks.
std::set<std::string> listedNames(const std::string& listing, const std::string& section) {
    std::set<std::string> names;
    std::istringstream in(listing.substr(listing.find(section)));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line) && !line.empty()) {
        if (line.size() > 2 && line.compare(0, 2, "  ") == 0 && line[2] != ' ') {
            names.insert(line.substr(2, line.find_first_of(" ", 2) - 2));
        }
    }
    return names;
}

} // namespace

TEST(ShowWithoutEngineTest, HelpWorksAndEverythingElseSaysNotStarted) {
    orvtest::TestDatabase db;
    const std::map<std::string, std::string> env{{"ORV_DATABASE_PATH", db.path()}};
    ProcessResult help = runProgram({ORV_ORVSHOW, "--help"}, env);
    EXPECT_EQ(0, help.exitCode);
    EXPECT_NE(std::string::npos, help.out.find("Usage: "));
    EXPECT_NE(std::string::npos, help.out.find("--dot tree INDEX"));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"BM_STATS"}, {"--dot", "tree", "1"}, {"nosuch"}}) {
        std::vector<std::string> argv{ORV_ORVSHOW};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessResult r = runProgram(argv, env);
        EXPECT_EQ(1, r.exitCode) << r.out;
        EXPECT_NE(std::string::npos, r.err.find("SQLSTATE=MM007")) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("run orvstart first")) << r.err;
    }
    EXPECT_EQ(-1, db.segmentId(0));
}

TEST_F(ShowTest, ListingMatchesTheRegistryAndEveryCommandRuns) {
    makeIndex({10, 20, 30, 40});
    // The registry of a process that made every manager, as orvshow does.
    OrvTransactionManager::getInstance();
    OrvLockManager::getInstance();
    OrvBufferManager::getInstance();
    OrvLogManager::getInstance();
    OrvRecordManager::getInstance();
    OrvIndexManager::getInstance();
    OrvClientTransaction::begin();
    OrvCatalogManager::getInstance();
    std::set<std::string> registered;
    for (const OrvDebugData& entry : OrvDebug::functions()) {
        registered.insert(entry.name);
    }
    dropManagers();

    ProcessResult listing = show({});
    ASSERT_EQ(0, listing.exitCode) << listing.err;
    EXPECT_EQ("", listing.err);
    EXPECT_EQ(registered, listedNames(listing.out, "Debug commands"));
    EXPECT_EQ((std::set<std::string>{"dot_bytes", "dot_depth", "dot_keys"}),
              listedNames(listing.out, "Debug variables"));
    EXPECT_NE(std::string::npos, listing.out.find("Dumps all Pages of an Index"));

    // Arguments that each command accepts; a command registered later must
    // be added here, or this test fails.
    const std::map<std::string, std::vector<std::string>> calls{
        {"BM_STATS", {"", "pages", "lru", "hashmap"}},
        {"LM_STATS", {"all transactions", "current transaction", "waitinglist", "hashmap"}},
        {"LOG_PRINT", {"LISTLSN 1", "SHOWLOG 1,0 1,4000", "SHOWLOG 77,1"}},
        {"index_all", {"info 5", "dump 5"}},
        {"index_leafs", {"info 5", "dump 5"}},
        {"index_page", {"dump 5 1"}},
        {"index_pages", {"info 5 0 1"}},
        {"index_fsi", {"dump 5"}},
        {"transactionId", {""}},
        {"table_all", {"info SYSTABLES", "dump syscolumns"}},
        {"table_page", {"dump SYSINDEXES 1"}},
        {"table_pages", {"info SYSTABLES 0 2"}},
    };
    for (const std::string& name : listedNames(listing.out, "Debug commands")) {
        const auto call = calls.find(name);
        if (call == calls.end()) {
            ADD_FAILURE() << "no arguments known for the command " << name;
            continue;
        }
        for (const std::string& args : call->second) {
            std::vector<std::string> argv{name};
            std::istringstream words(args);
            for (std::string word; words >> word;) {
                argv.push_back(word);
            }
            ProcessResult r = show(argv);
            EXPECT_EQ(0, r.exitCode) << name << " " << args << "\n" << r.out << r.err;
            EXPECT_EQ("", r.err) << name << " " << args;
            EXPECT_FALSE(r.out.empty()) << name << " " << args;
        }
    }
    // The index dump shows the keys of the one leaf, and no lock of the
    // dumps (they took shared locks on the index) outlived them.
    ProcessResult leaves = show({"index_leafs", "dump", "5"});
    for (const char* k : {"[10;", "[20;", "[30;", "[40;"}) {
        EXPECT_NE(std::string::npos, leaves.out.find(k)) << leaves.out;
    }
    bool inUse = true;
    OrvLockManager::isLockListInUse(inUse);
    EXPECT_FALSE(inUse);
}

TEST_F(ShowTest, RefusedNamesAndArgumentsGiveSqlstateAndExitOne) {
    makeIndex({1});
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused{
        {{"nosuch"}, "SH000"},
        {{"bm_stats"}, "SH000"},
        {{"nosuch=3"}, "SH000"},
        {{"dot_depth=x"}, "SH001"},
        {{"dot_depth=99999999999"}, "SH001"},
        {{"dot_depth", "3"}, "SH001"},
        {{"--bogus"}, "SH001"},
        {{"--reset", "LM_STATS"}, "SH001"},
        {{"--reset"}, "SH001"},
        {{"--dot"}, "SH001"},
        {{"--dot", "tree"}, "SH001"},
        {{"--dot", "tree", "0"}, "SH001"},
        {{"--dot", "tree", "16385"}, "SH001"},
        {{"--dot", "tree", "5", "--svg"}, "SH001"},
        {{"--dot", "page", "40"}, "SH001"},
        {{"--dot", "page", "0", "1"}, "SH001"},
        {{"--dot", "page", "40", "-1"}, "SH001"},
        {{"--dot", "tree", "6"}, "FM001"},       // no such index
        {{"--dot", "page", "40", "1"}, "FM001"}, // no such table
        {{"--dot", "page", "41", "1"}, "FM001"},
        // The index's page 1 is a tree page, not a data page.
        {{"--dot", "page", std::to_string(2 * SHOW_INDEX + 32767), "1"}, "BM001"},
        {{"LOG_PRINT"}, "SY003"},
        {{"LOG_PRINT", "LISTLSN", "x"}, "SY003"},
        {{"LOG_PRINT", "SHOWLOG", "x"}, "TX000"},
        {{"index_all", "info"}, "SY003"},
        {{"index_all", "show", "5"}, "SY003"},
        {{"index_all", "info", "6"}, "FM001"},
        {{"table_all", "info"}, "SY003"},
        {{"table_all", "list", "SYSTABLES"}, "SY003"},
        {{"table_page", "info", "SYSTABLES", "x"}, "SY003"},
        {{"table_all", "info", "NOSUCH"}, "02000"},
        {{"--dot", "tree", "NOSUCH"}, "CP106"},
        {{"--dot", "page", "NOSUCH", "1"}, "CP101"},
    };
    for (const auto& call : refused) {
        ProcessResult r = show(call.first);
        std::string text;
        for (const std::string& word : call.first) {
            text += word + " ";
        }
        EXPECT_EQ(1, r.exitCode) << text << "\n" << r.out << r.err;
        EXPECT_NE(std::string::npos, r.err.find("SQLSTATE=" + call.second)) << text << "\n"
                                                                            << r.err;
    }
    // The engine is unharmed: the index still dumps, and a plain stop (which
    // refuses while a lock or a fix is left) goes through.
    EXPECT_EQ(0, show({"index_all", "info", "5"}).exitCode);
    ProcessResult stop = runProgram({ORV_ORVSTOP}, {{"ORV_DATABASE_PATH", db.path()}});
    EXPECT_EQ(0, stop.exitCode) << stop.err;
}

TEST_F(ShowTest, VariablesAreSetForTheRestOfTheRun) {
    ProcessResult r = show({"dot_depth=7", "dot_keys=3", "dot_depth"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("dot_depth = 7\n", r.out);
    r = show({"dot_depth=7", "dot_keys=3"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("dot_depth = 7\ndot_keys = 3\n", r.out);
    // A new process starts again from the defaults.
    EXPECT_EQ("dot_depth = 3\n", show({"dot_depth"}).out);
}

TEST_F(ShowTest, TreePictureShowsEveryKeyAndCountsWhatIsBelowItsDepth) {
    // Enough keys for a tree of two levels (a leaf holds 509), inserted in
    // random order.
    std::vector<Sint32> keys;
    for (Sint32 k = 0; k < 1500; ++k) {
        keys.push_back(k * 7 - 3000);
    }
    std::mt19937 random(18);
    std::shuffle(keys.begin(), keys.end(), random);
    makeIndex(keys);

    ProcessResult full = show({"dot_keys=100000", "dot_depth=10", "--dot", "tree", "5"});
    ASSERT_EQ(0, full.exitCode) << full.err;
    const std::string& dot = full.out.substr(full.out.find("digraph"));
    for (Sint32 k : keys) {
        EXPECT_NE(std::string::npos, dot.find(">" + std::to_string(k) + "<")) << k;
    }
    EXPECT_NE(std::string::npos, dot.find("root node 1"));
    EXPECT_NE(std::string::npos, dot.find("1500 keys in [-3000, 7493]"));
    EXPECT_NE(std::string::npos, dot.find("color=blue")); // the leaf chain
    if (haveDot()) {
        EXPECT_EQ("", dotRejects(dot));
    }

    // Only the root drawn: the leaves are counted below it.
    ProcessResult shallow = show({"dot_depth=1", "--dot", "tree", "5"});
    ASSERT_EQ(0, shallow.exitCode) << shallow.err;
    EXPECT_NE(std::string::npos, shallow.out.find("below the depth limit"));
    EXPECT_EQ(std::string::npos, shallow.out.find("leaf "));
    EXPECT_NE(std::string::npos, shallow.out.find("1500 keys in [-3000, 7493]\"]")) << shallow.out;

    // A few keys per page: the rest are counted, also the hidden subtrees.
    ProcessResult narrow = show({"dot_keys=2", "--dot", "tree", "5"});
    ASSERT_EQ(0, narrow.exitCode) << narrow.err;
    EXPECT_NE(std::string::npos, narrow.out.find(" more &#8230;"));
    if (haveDot()) {
        EXPECT_EQ("", dotRejects(shallow.out));
        EXPECT_EQ("", dotRejects(narrow.out));
        const std::string svg = db.file("tree.svg");
        ProcessResult rendered = show({"--dot", "tree", "5", "--svg", svg});
        EXPECT_EQ(0, rendered.exitCode) << rendered.err;
        EXPECT_NE(std::string::npos, orvtest::readFile(svg).find("<svg"));
        ProcessResult badFile = show({"--dot", "tree", "5", "--svg", db.file("no/such/dir.svg")});
        EXPECT_EQ(1, badFile.exitCode);
        EXPECT_NE(std::string::npos, badFile.err.find("SQLSTATE=SH002")) << badFile.err;
    }
}

TEST_F(ShowTest, PagePictureShowsEveryRecordAndWhereMovedOnesWent) {
    // Records of 120 bytes, more than a page holds; then some on page 1
    // grow so much that they move to a secondary place on another page.
    std::map<int, TupleId> where;
    std::map<int, TupleId> movedTo;
    committed([&] {
        OrvRecordManager* rm = OrvRecordManager::getInstance();
        rm->createTable(TABLE);
        for (int i = 0; i < 45; ++i) {
            std::string text = "rec-" + std::to_string(1000 + i) + "-";
            text.resize(120, 'a' + i % 26);
            TupleId tid;
            rm->insert(OrvRecord(text.data(), Uint16(text.size())), TABLE, tid);
            where[i] = tid;
        }
        for (int i : {0, 5, 9}) {
            ASSERT_EQ(1, where[i].page);
            std::string text = "big-" + std::to_string(1000 + i) + "-<&>\"";
            text.resize(1500, 'z');
            TupleId now;
            rm->replace(TABLE, where[i], OrvRecord(text.data(), Uint16(text.size())), now);
            movedTo[i] = now;
        }
    });
    ProcessResult page1 = show({"--dot", "page", "40", "1"});
    ASSERT_EQ(0, page1.exitCode) << page1.err;
    int onPage1 = 0;
    for (const auto& record : where) {
        const std::string label = "rec-" + std::to_string(1000 + record.first) + "-";
        const bool moved = movedTo.count(record.first) != 0;
        if (record.second.page == 1 && !moved) {
            ++onPage1;
            EXPECT_NE(std::string::npos, page1.out.find(label)) << label;
        } else {
            EXPECT_EQ(std::string::npos, page1.out.find(label)) << label;
        }
    }
    EXPECT_GT(onPage1, 20);
    for (const auto& moved : movedTo) {
        ASSERT_NE(1, moved.second.page);
        std::ostringstream text;
        text << "now in page " << moved.second.page << ", slot " << int(moved.second.slot);
        EXPECT_NE(std::string::npos, page1.out.find(text.str())) << text.str();
        // The secondary record, on its page, escaped for the label.
        ProcessResult there = show({"--dot", "page", "40", std::to_string(moved.second.page)});
        ASSERT_EQ(0, there.exitCode) << there.err;
        EXPECT_NE(std::string::npos, there.out.find("big-" + std::to_string(1000 + moved.first) +
                                                    "-&lt;&amp;&gt;&quot;"));
        EXPECT_NE(std::string::npos, there.out.find("secondary (moved here)"));
        if (haveDot()) {
            EXPECT_EQ("", dotRejects(there.out));
        }
    }
    if (haveDot()) {
        EXPECT_EQ("", dotRejects(page1.out));
    }
    // A page the table does not have.
    ProcessResult none = show({"--dot", "page", "40", "300"});
    EXPECT_EQ(1, none.exitCode);
    EXPECT_NE(std::string::npos, none.err.find("SQLSTATE=")) << none.err;
}
