// The start's catalog step, run as real start and stop processes: the first
// start makes the catalog and writes it to its files before it reports
// success, later starts change no file, and a directory with part of a
// catalog is refused and left exactly as it was found.
#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <map>
#include <string>
#include <sys/shm.h>
#include <unistd.h>

using orvtest::ProcessResult;
using orvtest::runProgram;

namespace {

const char* const startedLine = "\nThe system was started successfully. SQLSTATE=00000\n";

class CatalogStartTest : public ::testing::Test {
protected:
    ProcessResult run(const std::vector<std::string>& argv) {
        return runProgram(argv, {{"ORV_DATABASE_PATH", db.path()}}, db.path());
    }
    int existingSets() const {
        int n = 0;
        for (int set = 0; set < 3; ++set) {
            n += db.segmentId(set) >= 0 ? 1 : 0;
        }
        return n;
    }
    // Every file of the directory with its bytes; `segmentsOnly`: the
    // segment files alone.
    std::map<std::string, std::string> snapshot(bool segmentsOnly) const {
        std::map<std::string, std::string> files;
        DIR* dir = opendir(db.path().c_str());
        EXPECT_NE(nullptr, dir);
        if (dir == nullptr) {
            return files;
        }
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == ".." || (segmentsOnly && name.compare(0, 3, "Seg") != 0)) {
                continue;
            }
            files[name] = orvtest::readFile(db.file(name));
        }
        closedir(dir);
        return files;
    }

    orvtest::TestDatabase db;
};

const char* const catalogFiles[] = {"Seg1.orv",     "Seg2.orv",     "Seg3.orv",    "Seg32769.orv",
                                    "Seg32771.orv", "Seg32773.orv", "Seg32775.orv"};

} // namespace

TEST_F(CatalogStartTest, FirstStartWritesTheCatalogAndLaterStartsChangeNoSegment) {
    ProcessResult first = run({ORV_ORVSTART});
    ASSERT_EQ(0, first.exitCode) << first.err;
    EXPECT_EQ(startedLine, first.out);
    // Written before the success line: the stop finds nothing left to write.
    const std::map<std::string, std::string> started = snapshot(true);
    ASSERT_EQ(7u, started.size());
    for (const char* name : catalogFiles) {
        ASSERT_EQ(1u, started.count(name)) << name;
        EXPECT_FALSE(started.at(name).empty()) << name;
        EXPECT_EQ(0u, started.at(name).size() % 4096) << name;
    }
    ASSERT_EQ(0, run({ORV_ORVSTOP}).exitCode);
    EXPECT_EQ(started, snapshot(true));

    for (int round = 0; round < 2; ++round) {
        ProcessResult again = run({ORV_ORVSTART});
        ASSERT_EQ(0, again.exitCode) << again.err;
        EXPECT_EQ(startedLine, again.out);
        ASSERT_EQ(0, run({ORV_ORVSTOP}).exitCode);
        EXPECT_EQ(started, snapshot(true)) << "round " << round;
    }
}

TEST_F(CatalogStartTest, PartOfACatalogIsRefusedAndLeftAsFound) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    ASSERT_EQ(0, run({ORV_ORVSTOP}).exitCode);
    for (const char* removed : {"Seg2.orv", "Seg32775.orv"}) {
        SCOPED_TRACE(removed);
        const std::string content = orvtest::readFile(db.file(removed));
        ASSERT_EQ(0, unlink(db.file(removed).c_str()));
        const std::map<std::string, std::string> before = snapshot(false);

        ProcessResult start = run({ORV_ORVSTART});
        EXPECT_EQ(1, start.exitCode);
        EXPECT_EQ("\n", start.out);
        EXPECT_NE(std::string::npos, start.err.find("Clean up the database in path '" + db.path() +
                                                    "' manually. SQLSTATE=CAT04"))
            << start.err;
        EXPECT_EQ(before, snapshot(false));
        // A failed start leaves no set behind either.
        EXPECT_EQ(0, existingSets());
        orvtest::writeFile(db.file(removed), content);
    }
    // Put back whole, the catalog starts again.
    ProcessResult whole = run({ORV_ORVSTART});
    EXPECT_EQ(0, whole.exitCode) << whole.err;
    EXPECT_EQ(0, run({ORV_ORVSTOP}).exitCode);
}

// Seven empty files are no catalog: the rows of the catalog's own tables
// must be there too, or a setup that died before it committed would pass
// for a complete catalog.
TEST_F(CatalogStartTest, SevenFilesWithoutTheCatalogRowsAreRefused) {
    for (const char* name : catalogFiles) {
        orvtest::writeFile(db.file(name), "");
    }
    const std::map<std::string, std::string> before = snapshot(true);
    ProcessResult start = run({ORV_ORVSTART});
    EXPECT_EQ(1, start.exitCode);
    EXPECT_EQ(std::string::npos, start.out.find("SQLSTATE=00000"));
    EXPECT_NE(std::string::npos, start.err.find("manually. SQLSTATE=CAT04")) << start.err;
    EXPECT_EQ(before, snapshot(true));
    EXPECT_EQ(0, existingSets());
}
