// The stop programs and the buffer pool: fixed pages keep a plain stop from
// removing the engine, and pages left dirty in the pool reach their files.
// The pages are made by forked children (this process has no manager) that
// end without writing them back, as a crashed process would.
#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"
#include "OrvTestSync.h"

#include "OrvBuffer.h"
#include "OrvException.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using orvtest::ProcessResult;
using orvtest::runProgram;

namespace {

const char* const stoppedLine = "\nThe system was stopped successfully. SQLSTATE=00000\n";

class BufferPoolStopTest : public ::testing::Test {
protected:
    ProcessResult run(const std::vector<std::string>& argv,
                      std::map<std::string, std::string> env = {}) {
        env["ORV_DATABASE_PATH"] = db.path();
        return runProgram(argv, env, db.path());
    }
    int existingSets() const {
        int n = 0;
        for (int set = 0; set < 3; ++set) {
            n += db.segmentId(set) >= 0 ? 1 : 0;
        }
        return n;
    }
    // The tests name segments 1, 2, ...; the files lie above the catalog's
    // own segments, which every start makes.
    static constexpr SegmentId BASE = 10;
    std::string segmentFile(SegmentId segment) const {
        return db.file("Seg" + std::to_string(BASE + segment) + ".orv");
    }
    // The text at byte 16 of a page in the segment's file.
    std::string textInFile(SegmentId segment, PageId pageId) const {
        std::string bytes = orvtest::readFile(segmentFile(segment));
        std::size_t offset = static_cast<std::size_t>(pageId) * ORV_PAGE_SIZE + 16;
        return bytes.size() < offset ? std::string() : std::string(bytes.c_str() + offset);
    }

    // In a child: pages of new segments with the text "<segment>/<page>",
    // left dirty in the pool; the last one stays fixed when keepFixed.
    int leaveDirtyPages(const std::vector<std::pair<SegmentId, PageId>>& pages, bool keepFixed) {
        return orvtest::runInChild([&] {
            OrvBufferManager* bm = OrvBufferManager::getInstance();
            for (const auto& page : pages) {
                try {
                    bm->createSegment(BASE + page.first);
                } catch (const OrvException& e) {
                    if (e.getErrorCode() != ORV_FM_FILE_ALREADY_EXISTS) {
                        throw;
                    }
                }
                bm->openSegment(BASE + page.first);
            }
            bm->commit();
            for (std::size_t i = 0; i < pages.size(); ++i) {
                OrvPage* frame = nullptr;
                bm->getNewPage(BASE + pages[i].first, pages[i].second, OrvPage::DataPage, frame);
                const std::string text =
                    std::to_string(pages[i].first) + "/" + std::to_string(pages[i].second);
                std::memcpy(frame->getPageData() + 16, text.c_str(), text.size() + 1);
                if (!(keepFixed && i + 1 == pages.size())) {
                    bm->releasePage(frame);
                }
            }
            return 0;
        });
    }

    orvtest::TestDatabase db;
};

bool exists(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
}

} // namespace

TEST_F(BufferPoolStopTest, FixedPageMakesThePlainStopRefuseWhileItsFixerLives) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    ASSERT_EQ(0, leaveDirtyPages({{1, 0}}, false));
    orvtest::Pipe ready, end;
    orvtest::ChildProcess fixer([&] {
        OrvBufferManager* bm = OrvBufferManager::getInstance();
        bm->openSegment(BASE + 1);
        OrvPage* frame = nullptr;
        bm->getNewPage(BASE + 1, 1, OrvPage::DataPage, frame);
        std::memcpy(frame->getPageData() + 16, "1/1", 4);
        ready.send();
        return end.receive(60000) ? 0 : 1;
    });
    ASSERT_TRUE(ready.receive());

    ProcessResult stop = run({ORV_ORVSTOP});
    EXPECT_EQ(1, stop.exitCode);
    EXPECT_NE(std::string::npos,
              stop.err.find("The system could not be stopped because it is currently being "
                            "used. SQLSTATE=SY001"))
        << stop.err;
    EXPECT_EQ(std::string::npos, stop.out.find("SQLSTATE=00000"));
    EXPECT_EQ(3, existingSets());
    EXPECT_EQ("", textInFile(1, 0)); // nothing was touched

    ProcessResult forced = run({ORV_ORVSTOP, "--force"});
    EXPECT_EQ(0, forced.exitCode) << forced.err;
    EXPECT_EQ(stoppedLine, forced.out);
    EXPECT_EQ(0, existingSets());
    // Every dirty page was written on the way out, the fixed one too.
    EXPECT_EQ("1/0", textInFile(1, 0));
    EXPECT_EQ("1/1", textInFile(1, 1));
    end.send();
    fixer.wait();
}

TEST_F(BufferPoolStopTest, DirtyPagesReachTheirFilesAtStop) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    ASSERT_EQ(0, leaveDirtyPages({{1, 0}, {1, 2}, {2, 0}, {3, 5}}, false));
    EXPECT_EQ(0u, orvtest::readFile(segmentFile(1)).size());
    // Segment 2's file goes away behind the pool's back: its page is skipped.
    ASSERT_EQ(0, ::unlink(segmentFile(2).c_str()));

    const std::string trace = db.file("stop-trace.txt");
    ProcessResult stop = run({ORV_ORVSTOP}, {{"ORV_TRACE_FILE", trace}});
    EXPECT_EQ(0, stop.exitCode) << stop.err;
    EXPECT_EQ(stoppedLine, stop.out);
    EXPECT_EQ(0, existingSets());
    EXPECT_EQ("1/0", textInFile(1, 0));
    EXPECT_EQ("1/2", textInFile(1, 2));
    EXPECT_EQ("3/5", textInFile(3, 5));
    EXPECT_FALSE(exists(segmentFile(2)));
    EXPECT_NE(std::string::npos,
              orvtest::readFile(trace).find(
                  "description=\"skipping the pages of a segment whose file is gone\">" +
                  std::to_string(BASE + 2) + "</Probe>"));
}

TEST_F(BufferPoolStopTest, AFailedWriteKeepsThePoolUntilItCanBeWritten) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    ASSERT_EQ(0, leaveDirtyPages({{1, 0}, {4, 1}}, false));
    // A directory where segment 4's file should be: it cannot be written.
    ASSERT_EQ(0, ::unlink(segmentFile(4).c_str()));
    ASSERT_EQ(0, ::mkdir(segmentFile(4).c_str(), 0755));

    ProcessResult stop = run({ORV_ORVSTOP});
    EXPECT_EQ(1, stop.exitCode);
    EXPECT_NE(std::string::npos, stop.err.find("SQLSTATE=FM008")) << stop.err;
    // The pool is still there with the page; what could be written was.
    EXPECT_GE(db.segmentId(0), 0);
    EXPECT_EQ("1/0", textInFile(1, 0));

    ASSERT_EQ(0, ::rmdir(segmentFile(4).c_str()));
    orvtest::writeFile(segmentFile(4), "");
    ProcessResult again = run({ORV_ORVSTOP, "--force"});
    EXPECT_EQ(0, again.exitCode) << again.err;
    EXPECT_EQ(0, existingSets());
    EXPECT_EQ("4/1", textInFile(4, 1));
}

TEST_F(BufferPoolStopTest, ForcedStopRemovesThePoolEvenWhenAPageCannotBeWritten) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    ASSERT_EQ(0, leaveDirtyPages({{4, 1}}, false));
    ASSERT_EQ(0, ::unlink(segmentFile(4).c_str()));
    ASSERT_EQ(0, ::mkdir(segmentFile(4).c_str(), 0755));
    ProcessResult stop = run({ORV_ORVSTOP, "--force"});
    EXPECT_EQ(0, stop.exitCode) << stop.err;
    EXPECT_EQ(0, existingSets());
}

// A process dies holding a fix on a page whose change another process made and
// released: its fix is given back by a plain stop, which then writes the page;
// a forced stop writes a page that a live process holds fixed, or the other
// process's committed change would be lost with the pool.
TEST_F(BufferPoolStopTest, StopsWriteAPageFixedByADeadOrALiveProcess) {
    for (bool force : {false, true}) {
        SCOPED_TRACE(force ? "forced stop, live fixer" : "plain stop, dead fixer");
        ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
        ASSERT_EQ(0, leaveDirtyPages({{4, 0}, {4, 1}}, false));

        orvtest::Pipe ready;
        orvtest::ChildProcess fixer([&] {
            OrvBufferManager* bm = OrvBufferManager::getInstance();
            bm->openSegment(BASE + 4);
            OrvPage* frame = nullptr;
            bm->getPage(BASE + 4, 1, OrvPage::DataPage, frame);
            ready.send();
            pause();
            return 0;
        });
        ASSERT_TRUE(ready.receive());
        if (!force) {
            fixer.kill(SIGKILL);
            EXPECT_EQ(128 + SIGKILL, fixer.wait());
        }

        ProcessResult stop = run(force ? std::vector<std::string>{ORV_ORVSTOP, "--force"}
                                       : std::vector<std::string>{ORV_ORVSTOP});
        EXPECT_EQ(0, stop.exitCode) << stop.err;
        EXPECT_EQ(stoppedLine, stop.out);
        EXPECT_EQ(0, existingSets());
        EXPECT_EQ("4/0", textInFile(4, 0));
        EXPECT_EQ("4/1", textInFile(4, 1)) << "the fixed page was written too";
        fixer.kill(SIGKILL);
        fixer.wait();
        ASSERT_EQ(0, ::unlink(segmentFile(4).c_str()));
    }
}
