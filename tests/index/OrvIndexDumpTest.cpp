// The index debug commands on a tree of height 2: what each prints of the
// inventory, the root node and the leaves, read back and checked against
// the keys put in; and the answers to wrong arguments.
#include "IndexTestSupport.h"
#include "OrvEngineTest.h"

#include "OrvDebug.h"
#include "OrvIndexManager.h"

#include <regex>
#include <sstream>

namespace {

using namespace indextest;
using IM = OrvIndexManager;

constexpr int KEYS = 600;

class IndexDumpTest : public orvtest::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        IM* im = IM::getInstance();
        im->createIndex(TEST_INDEX, true, BTree, INTEGER);
        for (int n = 1; n <= KEYS; ++n) {
            im->insert(TEST_INDEX, key(n), TupleId(PageId(100 + n / 50), SlotId(n % 50)));
        }
        commit();
        segment = OrvBufferManager::getInstance()->convertIndexIdToSegmentId(TEST_INDEX);
        OrvIndexTreeShape shape;
        ASSERT_TRUE(orvCheckIndexTree(segment, shape).empty());
        ASSERT_EQ(2u, shape.height);
        ASSERT_EQ(2u, shape.leaves);
    }

    static std::string run(const char* command, const std::string& args) {
        const OrvDebugData* entry = OrvDebug::find(OrvDebug::functions(), command);
        if (entry == nullptr || entry->func == nullptr) {
            ADD_FAILURE() << command << " is not registered";
            return "";
        }
        testing::internal::CaptureStdout();
        entry->func(&args);
        return testing::internal::GetCapturedStdout();
    }

    static std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            out.push_back(line);
        }
        return out;
    }

    std::string treeFields() const {
        return "SegmentId = " + std::to_string(segment) +
               "\nIndexID = " + std::to_string(TEST_INDEX) +
               "\nDatatype = " + std::to_string(int(INTEGER)) + "\nUnique = 1\n";
    }

    SegmentId segment = 0;
};

struct LeafLine {
    int page, prev, next, count;
};

TEST_F(IndexDumpTest, ShortFormsShowTheInventoryTheRootAndLinkedLeaves) {
    const std::string all = run("index_all", "info " + std::to_string(TEST_INDEX));
    ASSERT_EQ(0u, all.rfind(treeFields(), 0)) << all;
    const std::vector<std::string> rows = lines(all.substr(treeFields().size()));
    ASSERT_EQ(4u, rows.size()) << all;
    const std::string sid = std::to_string(segment);
    EXPECT_EQ("Index FSI Page > SegmentId: " + sid +
                  ", PageId: 0, NextId: 0, LastId: 3, numElements: 0",
              rows[0]);
    std::smatch m;
    const std::regex node("INNER NODE > SegmentId: " + sid +
                          ", PageId: 1, SpaceLeft: 508, FirstChild: (\\d+), PrevId: 0, "
                          "NextId: 0, Number of Elements: 1");
    ASSERT_TRUE(std::regex_match(rows[1], m, node)) << rows[1];
    const int firstChild = std::stoi(m[1]);
    const std::regex leaf("LEAF > SegmentId: " + sid +
                          ", PageId: (\\d+), PrevId: (\\d+), NextId: (\\d+), Number of "
                          "Elements: (\\d+)");
    std::vector<LeafLine> leaves;
    for (std::size_t i = 2; i < 4; ++i) {
        ASSERT_TRUE(std::regex_match(rows[i], m, leaf)) << rows[i];
        leaves.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])});
    }
    // Children in key order: the first child first, linked both ways.
    EXPECT_EQ(firstChild, leaves[0].page);
    EXPECT_EQ(0, leaves[0].prev);
    EXPECT_EQ(leaves[1].page, leaves[0].next);
    EXPECT_EQ(leaves[0].page, leaves[1].prev);
    EXPECT_EQ(0, leaves[1].next);
    EXPECT_EQ(KEYS, leaves[0].count + leaves[1].count);

    // The pages one by one: the same lines, up to the last page there is.
    EXPECT_EQ(treeFields() + rows[1] + "\n",
              run("index_page", "info " + std::to_string(TEST_INDEX) + " 1"));
    std::string expected = treeFields() + rows[0] + "\n" + rows[1] + "\n";
    for (int p = 2; p <= 3; ++p) {
        expected += rows[leaves[0].page == p ? 2 : 3] + "\n";
    }
    EXPECT_EQ(expected, run("index_pages", "info " + std::to_string(TEST_INDEX) + " 0 9"));
    EXPECT_EQ(rows[0] + "\n", run("index_fsi", "info " + std::to_string(TEST_INDEX)));
}

TEST_F(IndexDumpTest, FullLeafDumpsHoldEveryEntryInKeyOrder) {
    const std::string text = run("index_leafs", "dump " + std::to_string(TEST_INDEX));
    ASSERT_EQ(0u, text.rfind(treeFields(), 0)) << text;
    const std::vector<std::string> rows = lines(text.substr(treeFields().size()));
    const std::string stars(42, '*');
    const std::regex entry("\\[(-?\\d+);(\\d+),(\\d+)\\]");
    int nextKey = 1;
    int leafCount = 0;
    for (std::size_t i = 0; i < rows.size();) {
        ASSERT_EQ(stars, rows[i]);
        ASSERT_TRUE(std::regex_match(rows[i + 1],
                                     std::regex("\\*{10} LEAF \\(SID: " + std::to_string(segment) +
                                                " PID: \\d+ \\)\\*{10}")))
            << rows[i + 1];
        ASSERT_TRUE(std::regex_match(rows[i + 2],
                                     std::regex("\\*{10}  PrevID: \\d+ NextID: \\d+ \\*{10}")));
        std::smatch m;
        ASSERT_TRUE(
            std::regex_match(rows[i + 3], m, std::regex(" Number of Elements: (\\d+) \\*{10}")));
        const int count = std::stoi(m[1]);
        // Entries: six on the first line, five on each further one, every
        // line framed by '*'.
        int seen = 0;
        std::size_t at = i + 4;
        for (int line = 0; seen < count; ++line, ++at) {
            const std::string& row = rows.at(at);
            ASSERT_EQ('*', row.front()) << row;
            const int want = std::min(line == 0 ? 6 : 5, count - seen);
            int onLine = 0;
            for (std::sregex_iterator it(row.begin(), row.end(), entry), end; it != end; ++it) {
                const int value = std::stoi((*it)[1]);
                EXPECT_EQ(nextKey, value);
                EXPECT_EQ(100 + value / 50, std::stoi((*it)[2]));
                EXPECT_EQ(value % 50, std::stoi((*it)[3]));
                ++nextKey;
                ++onLine;
            }
            ASSERT_EQ(want, onLine) << row;
            seen += onLine;
        }
        // A last line that the entries left with its opening '*' only
        // (when the count ends on a multiple of five plus one).
        if (rows.at(at) == "*") {
            ++at;
        }
        ASSERT_EQ(stars, rows.at(at));
        ASSERT_EQ("", rows.at(at + 1));
        i = at + 2;
        ++leafCount;
    }
    EXPECT_EQ(2, leafCount);
    EXPECT_EQ(KEYS + 1, nextKey);

    // The full node dump lists the separator and both children.
    const std::string node = run("index_page", "dump " + std::to_string(TEST_INDEX) + " 1");
    EXPECT_TRUE(std::regex_search(node, std::regex("\\n\\[0\\] -> \\d+ \\(child: \\d+\\)\\n")))
        << node;
}

TEST_F(IndexDumpTest, WrongArgumentsAreAnswered) {
    EXPECT_EQ("Wrong Parameters\nUSAGE: show index_all info|dump <indexId>\n",
              run("index_all", "info"));
    EXPECT_EQ("Wrong Parameters\nUSAGE: show index_leafs info|dump <indexId> \n",
              run("index_leafs", "info  3"));
    EXPECT_EQ("Wrong Parameters\nUSAGE: show index_page info|dump <indexId> <pageId>\n",
              run("index_page", "info 3"));
    EXPECT_EQ("Wrong Parameters\nUSAGE: show index_pages info|dump <indexId> <pageId1> <pageId2>\n",
              run("index_pages", "info 3 1"));
    EXPECT_EQ("Wrong Parameters\nUSAGE: show index_fsi info|dump <indexId>\n",
              run("index_fsi", ""));
    EXPECT_EQ("Error\nshow is a unknown parameter\n", run("index_all", "show 3"));
    // An index this process has not opened.
    EXPECT_EQ("Error\n", run("index_all", "info 77"));
    EXPECT_EQ("", run("index_leafs", "info 77"));
    // An interval the wrong way round prints nothing.
    EXPECT_EQ("", run("index_pages", "info " + std::to_string(TEST_INDEX) + " 3 1"));
}

} // namespace
