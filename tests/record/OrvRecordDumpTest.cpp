// The record dump commands, called by name through the debug registry on a
// table made through the catalog.
#include "catalog/CatalogManagerSupport.h"

#include "OrvDebug.h"
#include "OrvLock.h"
#include "OrvTuple.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

using orvcatalogtest::CatalogTest;
using orvcatalogtest::userTable;

namespace {

class RecordDumpTest : public CatalogTest {
protected:
    void SetUp() override {
        CatalogTest::SetUp();
        OrvClientTransaction::begin();
        auto table =
            userTable("PARTS", {{"ID", INTEGER, 0, false}, {"TEXT", VARCHAR, 2000, false}});
        ASSERT_EQ(ORV_SUCCESS, catalog()->addTable(*table, tableId));
        OrvRecordManager::getInstance()->createTable(tableId);
        // Two rows of 1506 bytes fill a page: four rows make two data pages.
        OrvRecordTuple tuple(table.get());
        for (Sint32 i = 0; i < 4; ++i) {
            ASSERT_EQ(ORV_SUCCESS, tuple.initialize(table.get()));
            ASSERT_EQ(ORV_SUCCESS, tuple.setInt(0, &i));
            const std::string text(1500, static_cast<char>('a' + i));
            ASSERT_EQ(ORV_SUCCESS, tuple.setVarchar(1, text.data(), 1500));
            TupleId tid;
            OrvRecordManager::getInstance()->insert(*tuple.getRecord(), tableId, tid);
        }
        auto empty = userTable("NOTHING", {{"ID", INTEGER, 0, false}});
        TableId emptyId = 0;
        ASSERT_EQ(ORV_SUCCESS, catalog()->addTable(*empty, emptyId));
        OrvRecordManager::getInstance()->createTable(emptyId);
        OrvClientTransaction::commit();
        OrvClientTransaction::begin();
    }
    void TearDown() override {
        OrvClientTransaction::rollback();
        CatalogTest::TearDown();
    }
    static std::string command(const char* name, const std::string& args) {
        const OrvDebugData* entry = OrvDebug::find(OrvDebug::functions(), name);
        EXPECT_NE(nullptr, entry) << name;
        if (entry == nullptr) {
            return "";
        }
        testing::internal::CaptureStdout();
        entry->func(&args);
        return testing::internal::GetCapturedStdout();
    }
    static std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> result;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            result.push_back(line);
        }
        return result;
    }
    static int countStarting(const std::vector<std::string>& all, const std::string& prefix) {
        int n = 0;
        for (const std::string& line : all) {
            n += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
        }
        return n;
    }

    TableId tableId = 0;
};

} // namespace

TEST_F(RecordDumpTest, WholeTableOverviewHasTheInventoryAndBothDataPages) {
    // The name is taken in upper case.
    const std::vector<std::string> out = lines(command("table_all", "info parts"));
    ASSERT_GE(out.size(), 8u);
    EXPECT_EQ("----------DUMP----------", out[0]);
    EXPECT_EQ("TableId: " + std::to_string(tableId), out[1]);
    EXPECT_EQ("SegmentId: " + std::to_string(tableId), out[2]);
    EXPECT_EQ("", out[3]);
    EXPECT_EQ("PageType    | PageId      | Number of entries/slots       | Space used", out[4]);
    EXPECT_EQ("FSV PAGE    | 0           | 2                             |", out[5]);
    EXPECT_EQ(0u, out[6].find("DATA PAGE   | 1           | 2                             | "));
    EXPECT_EQ(0u, out[7].find("DATA PAGE   | 2           | 2                             | "));
    EXPECT_EQ("--------END DUMP--------", out[8]);
    EXPECT_EQ(10u, out.size());
    EXPECT_EQ("", out.back());

    const std::vector<std::string> full = lines(command("table_all", "dump PARTS"));
    EXPECT_EQ(1, countStarting(full, "FSV PAGE DUMP"));
    EXPECT_EQ(2, countStarting(full, "DATA PAGE DUMP"));
    EXPECT_EQ(3, countStarting(full, "END PAGE DUMP"));
    EXPECT_EQ(254, countStarting(full, "FSI for page "));
    EXPECT_EQ(4, countStarting(full, "\tRecord Type: Primary Record (0)"));
    // 256 lines of 16 bytes per data page.
    int hexLines = 0;
    for (const std::string& line : full) {
        hexLines +=
            std::regex_match(line, std::regex("[0-9A-F]{2}:\t([0-9A-F]{2} ){16}\t.{16}")) ? 1 : 0;
    }
    EXPECT_EQ(2 * 256, hexLines);

    const std::vector<std::string> empty = lines(command("table_all", "info NOTHING"));
    EXPECT_EQ(1, countStarting(empty, "Table is empty!"));
}

TEST_F(RecordDumpTest, PageDumpsOfTheInventoryAndADataPage) {
    const std::vector<std::string> inventory = lines(command("table_page", "dump PARTS 0"));
    ASSERT_GE(inventory.size(), 7u);
    EXPECT_EQ("FSV PAGE DUMP", inventory[0]);
    EXPECT_EQ("PageId: 0", inventory[2]);
    EXPECT_EQ("Entries Count: 2", inventory[6]);
    EXPECT_EQ(1, countStarting(inventory, "FSI for page 254: 0 Freespace block:254"));

    const std::string data = command("table_page", "dump PARTS 1");
    const std::vector<std::string> page = lines(data);
    EXPECT_EQ("DATA PAGE DUMP", page.at(0));
    EXPECT_EQ("PageType: DataPage (" + std::to_string(OrvPage::DataPage) + ")", page.at(3));
    EXPECT_EQ(1, countStarting(page, "Number of Slots: 2"));
    EXPECT_EQ(1, countStarting(page, "\t0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F  "));
    EXPECT_EQ(1, countStarting(page, "FF:\t"));
    // The first row's text lies at the end of the page.
    EXPECT_NE(std::string::npos, data.find("FF:\t61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 "
                                           "\taaaaaaaaaaaaaaaa"));

    const std::vector<std::string> info = lines(command("table_pages", "info PARTS 2 2"));
    EXPECT_EQ(1, countStarting(info, "DATA PAGE   | 2  "));
    EXPECT_EQ(0, countStarting(info, "FSV PAGE"));
}

TEST_F(RecordDumpTest, BadArgumentsAndUnknownTablesAreRefused) {
    EXPECT_EQ("Wrong Parameters\nUSAGE: show table_all (info|dump) <tableName>\n",
              command("table_all", "info"));
    EXPECT_EQ("Wrong Parameters\nUSAGE: show table_page (info|dump) <tableName> <pageId>\n",
              command("table_page", "info PARTS"));
    EXPECT_EQ("Wrong Parameters\nUSAGE: show table_pages (info|dump) <tableName> <pageId1> "
              "<pageId2>\n",
              command("table_pages", "info PARTS 1"));
    EXPECT_EQ("Error\nshow is a unknown parameter\n", command("table_page", "show PARTS 0"));
    // Page ids outside 0 .. 65534 neither wrap onto another page nor onto
    // the lock of the whole table.
    for (const char* bad : {"70000", "-1", "65535", "1x", "", " 1", "+1"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ("Wrong Parameters\nUSAGE: show table_page (info|dump) <tableName> <pageId>\n",
                  command("table_page", std::string("dump PARTS ") + bad));
        EXPECT_EQ("Wrong Parameters\nUSAGE: show table_pages (info|dump) <tableName> <pageId1> "
                  "<pageId2>\n",
                  command("table_pages", std::string("info PARTS 0 ") + bad));
    }
    // A name that is not there stops the command before it dumps anything.
    EXPECT_EQ("Error\nNo record was found.\n", command("table_all", "info NOPE"));
    EXPECT_EQ("Error\nNo record was found.\n", command("table_page", "dump NOPE 0"));
}
