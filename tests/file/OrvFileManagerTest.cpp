#include "file/OrvFileManager.h"

#include "OrvError.h"
#include "common/OrvTestSupport.h"
#include "support/OrvIo.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct ErrorState {
    std::string message;
    std::string sqlstate;
};

ErrorState lastError() {
    char message[1025] = {};
    char sqlstate[6] = {};
    OrvError::getErrorObject()->getError(message, sizeof(message), sqlstate);
    return ErrorState{message, sqlstate};
}

std::vector<char> page(char fill) {
    return std::vector<char>(ORV_PAGE_SIZE, fill);
}

off_t fileSize(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

bool fileExists(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
}

int openDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

// A one-way pipe for ordering the steps of two processes.
struct Signal {
    int fds[2];
    Signal() {
        if (pipe(fds) != 0) {
            std::abort();
        }
    }
    ~Signal() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void send() {
        char byte = 1;
        if (::write(fds[1], &byte, 1) != 1) {
            std::abort();
        }
    }
    bool wait() {
        char byte = 0;
        return ::read(fds[0], &byte, 1) == 1;
    }
};

class OrvFileManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("ORV_DATABASE_PATH", dir.path().c_str(), 1);
        fm = OrvFileManager::getInstance();
    }
    void TearDown() override {
        OrvIo::clearFaults();
        OrvFileManager::deleteInstance();
    }
    std::string segmentFile(SegmentId segment) const {
        return dir.file("Seg" + std::to_string(segment) + ".orv");
    }
    // Creates and opens the segment.
    void makeOpen(SegmentId segment) {
        ASSERT_EQ(ORV_SUCCESS, fm->create(segment));
        ASSERT_EQ(ORV_SUCCESS, fm->open(segment));
    }
    void expectError(OrvErrorCode code, const char* sqlstate, const std::string& message) {
        EXPECT_EQ(code, OrvGetErrorCode());
        EXPECT_EQ(FileManager, OrvError::getErrorObject()->getComponent());
        ErrorState error = lastError();
        EXPECT_EQ(sqlstate, error.sqlstate);
        EXPECT_EQ(message, error.message);
    }

    orvtest::TempDir dir;
    OrvFileManager* fm = nullptr;
};

// ---- File names and the database directory ---------------------------------

TEST_F(OrvFileManagerTest, SegmentFilesAreNamedAfterTheirNumberInTheDatabaseDirectory) {
    ASSERT_EQ(ORV_SUCCESS, fm->create(7));
    ASSERT_EQ(ORV_SUCCESS, fm->create(65535));
    EXPECT_EQ(0, fileSize(segmentFile(7)));
    EXPECT_EQ(0, fileSize(segmentFile(65535)));
}

TEST_F(OrvFileManagerTest, TrailingSlashOfTheDirectoryGivesTheSameFile) {
    OrvFileManager::deleteInstance();
    setenv("ORV_DATABASE_PATH", (dir.path() + "/").c_str(), 1);
    fm = OrvFileManager::getInstance();
    ASSERT_EQ(ORV_SUCCESS, fm->create(12));
    EXPECT_TRUE(fileExists(dir.file("Seg12.orv")));
    ASSERT_EQ(ORV_SUCCESS, fm->open(12));
    std::vector<char> data = page('t');
    EXPECT_EQ(ORV_SUCCESS, fm->write(12, 0, data.data()));
    EXPECT_EQ(static_cast<off_t>(ORV_PAGE_SIZE), fileSize(dir.file("Seg12.orv")));
}

TEST_F(OrvFileManagerTest, UnsetOrEmptyDirectoryMeansTheWorkingDirectory) {
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    OrvFileManager::deleteInstance();
    unsetenv("ORV_DATABASE_PATH");
    ASSERT_EQ(ORV_SUCCESS, OrvFileManager::getInstance()->create(3));
    EXPECT_TRUE(fileExists(dir.file("Seg3.orv")));

    OrvFileManager::deleteInstance();
    setenv("ORV_DATABASE_PATH", "", 1);
    ASSERT_EQ(ORV_SUCCESS, OrvFileManager::getInstance()->create(4));
    EXPECT_TRUE(fileExists(dir.file("Seg4.orv")));
}

TEST_F(OrvFileManagerTest, DirectoryOf978CharactersIsAcceptedAnd979Refused) {
    // Nested directories of real length 978, under the test directory.
    std::string path = dir.path();
    while (path.size() < 978) {
        std::size_t part = std::min<std::size_t>(200, 978 - path.size() - 1);
        path += "/" + std::string(part, 'd');
        ASSERT_EQ(0, mkdir(path.c_str(), 0700)) << path;
    }
    ASSERT_EQ(978u, path.size());
    OrvFileManager::deleteInstance();
    setenv("ORV_DATABASE_PATH", path.c_str(), 1);
    fm = OrvFileManager::getInstance();
    ASSERT_EQ(ORV_SUCCESS, fm->create(65535));
    EXPECT_TRUE(fileExists(path + "/Seg65535.orv"));

    OrvFileManager::deleteInstance();
    std::string tooLong = path + "x";
    setenv("ORV_DATABASE_PATH", tooLong.c_str(), 1);
    fm = OrvFileManager::getInstance();
    std::string message = "The fully qualified path to the database directory " +
                          tooLong.substr(0, 200) +
                          "... is too long.  It exceeds the maximum possible length of 978 "
                          "characters.";
    // Every operation that builds a name reports it, each time anew.
    for (int round = 0; round < 2; ++round) {
        OrvError::getErrorObject()->setError(Support, ORV_SUCCESS);
        EXPECT_EQ(ORV_FM_PATH_TOO_LONG, fm->create(1));
        expectError(ORV_FM_PATH_TOO_LONG, "FM012", message);
        OrvError::getErrorObject()->setError(Support, ORV_SUCCESS);
        EXPECT_EQ(ORV_FM_PATH_TOO_LONG, fm->open(1));
        expectError(ORV_FM_PATH_TOO_LONG, "FM012", message);
        OrvError::getErrorObject()->setError(Support, ORV_SUCCESS);
        EXPECT_EQ(ORV_FM_PATH_TOO_LONG, fm->drop(1));
        expectError(ORV_FM_PATH_TOO_LONG, "FM012", message);
    }
    // The rejected directory is not kept: a corrected one is used at once.
    setenv("ORV_DATABASE_PATH", dir.path().c_str(), 1);
    EXPECT_EQ(ORV_SUCCESS, fm->create(1));
    EXPECT_TRUE(fileExists(segmentFile(1)));
}

// ---- create, drop, open, close -----------------------------------------------

TEST_F(OrvFileManagerTest, CreateNeverEmptiesAnExistingFile) {
    orvtest::writeFile(segmentFile(5), std::string(ORV_PAGE_SIZE, 'k'));
    EXPECT_EQ(ORV_FM_FILE_ALREADY_EXISTS, fm->create(5));
    expectError(ORV_FM_FILE_ALREADY_EXISTS, "FM002",
                "The file for segment 5 could not be created because it already exists.");
    EXPECT_EQ(std::string(ORV_PAGE_SIZE, 'k'), orvtest::readFile(segmentFile(5)));
}

TEST_F(OrvFileManagerTest, CreateOfAnOpenSegmentFails) {
    makeOpen(2);
    EXPECT_EQ(ORV_FM_FILE_ALREADY_EXISTS, fm->create(2));
    EXPECT_EQ(ORV_SUCCESS, fm->close(2));
    EXPECT_EQ(ORV_FM_FILE_ALREADY_EXISTS, fm->create(2));
}

TEST_F(OrvFileManagerTest, CreateInAMissingDirectoryFails) {
    OrvFileManager::deleteInstance();
    setenv("ORV_DATABASE_PATH", dir.file("missing").c_str(), 1);
    fm = OrvFileManager::getInstance();
    EXPECT_EQ(ORV_FM_FILE_CREATE_FAIL, fm->create(9));
    expectError(ORV_FM_FILE_CREATE_FAIL, "FM006",
                "An error occured while creating the file for segment 9.");
}

TEST_F(OrvFileManagerTest, DropRemovesTheFileButNotWhileOpen) {
    makeOpen(4);
    EXPECT_EQ(ORV_FM_FILE_STILL_OPEN, fm->drop(4));
    expectError(ORV_FM_FILE_STILL_OPEN, "FM004",
                "The file for segment 4 cannot be dropped because it is still opened.  Close the "
                "file befor attempting to drop it.");
    EXPECT_TRUE(fileExists(segmentFile(4)));
    EXPECT_EQ(ORV_SUCCESS, fm->close(4));
    EXPECT_EQ(ORV_SUCCESS, fm->drop(4));
    EXPECT_FALSE(fileExists(segmentFile(4)));
    EXPECT_EQ(ORV_FM_FILE_NOT_FOUND, fm->drop(4));
    expectError(ORV_FM_FILE_NOT_FOUND, "FM001", "The file for segment 4 could not be found.");
}

TEST_F(OrvFileManagerTest, OpenAndCloseAreIdempotent) {
    ASSERT_EQ(ORV_SUCCESS, fm->create(6));
    int before = openDescriptors();
    EXPECT_EQ(ORV_SUCCESS, fm->open(6));
    EXPECT_EQ(ORV_SUCCESS, fm->open(6));
    EXPECT_EQ(before + 1, openDescriptors());
    EXPECT_EQ(ORV_SUCCESS, fm->close(6));
    EXPECT_EQ(before, openDescriptors());
    EXPECT_EQ(ORV_SUCCESS, fm->close(6));
    EXPECT_EQ(ORV_SUCCESS, fm->close(60));
    std::vector<char> buffer = page(0);
    EXPECT_EQ(ORV_FM_FILE_NOT_OPEN, fm->read(6, 0, buffer.data()));
    expectError(ORV_FM_FILE_NOT_OPEN, "FM003",
                "The file for segment 6 cannot be accessed because it was not opened.");
    EXPECT_EQ(ORV_FM_FILE_NOT_OPEN, fm->write(6, 0, buffer.data()));
}

TEST_F(OrvFileManagerTest, OpenOfAMissingFileOrADirectoryFails) {
    EXPECT_EQ(ORV_FM_FILE_NOT_FOUND, fm->open(8));
    ASSERT_EQ(0, mkdir(segmentFile(8).c_str(), 0700));
    EXPECT_EQ(ORV_FM_FILE_OPEN_FAIL, fm->open(8));
    expectError(ORV_FM_FILE_OPEN_FAIL, "FM008",
                "An error occured while opening the file for segment 8.");
    std::vector<char> buffer = page(0);
    EXPECT_EQ(ORV_FM_FILE_NOT_OPEN, fm->read(8, 0, buffer.data()));
}

TEST_F(OrvFileManagerTest, DeletingTheManagerClosesEveryFile) {
    int before = openDescriptors();
    makeOpen(1);
    makeOpen(2);
    makeOpen(3);
    EXPECT_EQ(before + 3, openDescriptors());
    OrvFileManager::deleteInstance();
    EXPECT_EQ(before, openDescriptors());
    // A fresh manager has nothing open.
    fm = OrvFileManager::getInstance();
    std::vector<char> buffer = page(0);
    EXPECT_EQ(ORV_FM_FILE_NOT_OPEN, fm->read(1, 0, buffer.data()));
    EXPECT_EQ(ORV_SUCCESS, fm->drop(1));
}

// A file that exists but cannot be read is still an existing file. Run as an
// unprivileged user, because permissions do not stop root.
TEST_F(OrvFileManagerTest, UnreadableFileIsNeitherRecreatedNorMissing) {
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0777));
    OrvFileManager::deleteInstance();
    int rc = orvtest::runInChild([&]() {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            return 10;
        }
        OrvFileManager* manager = OrvFileManager::getInstance();
        if (manager->create(5) != ORV_SUCCESS || manager->open(5) != ORV_SUCCESS) {
            return 11;
        }
        std::vector<char> data = page('u');
        if (manager->write(5, 0, data.data()) != ORV_SUCCESS || manager->close(5) != ORV_SUCCESS) {
            return 12;
        }
        std::string path = segmentFile(5);
        if (chmod(path.c_str(), 0) != 0) {
            return 13;
        }
        if (manager->create(5) != ORV_FM_FILE_ALREADY_EXISTS) {
            return 14;
        }
        if (manager->open(5) != ORV_FM_FILE_OPEN_FAIL) {
            return 15;
        }
        if (chmod(path.c_str(), 0600) != 0 ||
            orvtest::readFile(path) != std::string(data.begin(), data.end())) {
            return 16;
        }
        if (chmod(path.c_str(), 0) != 0 || manager->drop(5) != ORV_SUCCESS || fileExists(path)) {
            return 17;
        }
        return 0;
    });
    EXPECT_EQ(0, rc);
}

// ---- Reading and writing pages ---------------------------------------------

TEST_F(OrvFileManagerTest, ReadOfPage0OfAnEmptySegmentFails) {
    makeOpen(3);
    std::vector<char> buffer = page(0);
    EXPECT_EQ(ORV_FM_PAGE_NOT_EXISTS, fm->read(3, 0, buffer.data()));
    expectError(ORV_FM_PAGE_NOT_EXISTS, "FM005",
                "Page number 0 does not exist in segment 3.  The file contains only 0 pages.");
}

TEST_F(OrvFileManagerTest, PagesReadBackAsWrittenAndOverwriteInPlace) {
    makeOpen(1);
    std::vector<char> a = page('a');
    std::vector<char> b = page('b');
    std::vector<char> c = page('c');
    a[0] = 0;
    a[ORV_PAGE_SIZE - 1] = 'z';
    ASSERT_EQ(ORV_SUCCESS, fm->write(1, 0, a.data()));
    ASSERT_EQ(ORV_SUCCESS, fm->write(1, 1, b.data()));
    ASSERT_EQ(ORV_SUCCESS, fm->write(1, 0, c.data()));
    EXPECT_EQ(static_cast<off_t>(2 * ORV_PAGE_SIZE), fileSize(segmentFile(1)));
    std::vector<char> buffer = page(0);
    ASSERT_EQ(ORV_SUCCESS, fm->read(1, 0, buffer.data()));
    EXPECT_EQ(c, buffer);
    ASSERT_EQ(ORV_SUCCESS, fm->read(1, 1, buffer.data()));
    EXPECT_EQ(b, buffer);
    EXPECT_EQ(ORV_FM_PAGE_NOT_EXISTS, fm->read(1, 2, buffer.data()));
    expectError(ORV_FM_PAGE_NOT_EXISTS, "FM005",
                "Page number 2 does not exist in segment 1.  The file contains only 2 pages.");
    EXPECT_EQ(ORV_FM_PAGE_NOT_EXISTS, fm->read(1, ORV_MAX_PAGE_ID, buffer.data()));
}

TEST_F(OrvFileManagerTest, WriteBeyondTheEndFillsTheGapWithZeroPages) {
    makeOpen(2);
    std::vector<char> data = page('5');
    ASSERT_EQ(ORV_SUCCESS, fm->write(2, 5, data.data()));
    EXPECT_EQ(static_cast<off_t>(6 * ORV_PAGE_SIZE), fileSize(segmentFile(2)));
    std::vector<char> buffer = page('x');
    for (PageId p = 0; p < 5; ++p) {
        ASSERT_EQ(ORV_SUCCESS, fm->read(2, p, buffer.data()));
        EXPECT_EQ(page(0), buffer) << "page " << p;
    }
    ASSERT_EQ(ORV_SUCCESS, fm->read(2, 5, buffer.data()));
    EXPECT_EQ(data, buffer);
    // A gap larger than one chunk of zero pages.
    ASSERT_EQ(ORV_SUCCESS, fm->write(2, 40, data.data()));
    EXPECT_EQ(static_cast<off_t>(41 * ORV_PAGE_SIZE), fileSize(segmentFile(2)));
    ASSERT_EQ(ORV_SUCCESS, fm->read(2, 39, buffer.data()));
    EXPECT_EQ(page(0), buffer);
}

TEST_F(OrvFileManagerTest, FileOfAPartialPageIsRefusedByReadAndWrite) {
    orvtest::writeFile(segmentFile(9), std::string(ORV_PAGE_SIZE + 1, 'p'));
    ASSERT_EQ(ORV_SUCCESS, fm->open(9));
    std::vector<char> buffer = page(0);
    const char* message = "The file for segment 9 has an invalid size of 4097 bytes.  Each file "
                          "must have a size that is a multiple of the page size of 4096 bytes.";
    EXPECT_EQ(ORV_FM_FILE_INVALID_SIZE, fm->read(9, 0, buffer.data()));
    expectError(ORV_FM_FILE_INVALID_SIZE, "FM013", message);
    EXPECT_EQ(ORV_FM_FILE_INVALID_SIZE, fm->write(9, 0, buffer.data()));
    expectError(ORV_FM_FILE_INVALID_SIZE, "FM013", message);
    EXPECT_EQ(ORV_FM_FILE_INVALID_SIZE, fm->write(9, 3, buffer.data()));
    EXPECT_EQ(std::string(ORV_PAGE_SIZE + 1, 'p'), orvtest::readFile(segmentFile(9)));
}

TEST_F(OrvFileManagerTest, MissingBufferOrInvalidPageIsAParameterFailure) {
    makeOpen(1);
    std::vector<char> buffer = page(0);
    EXPECT_EQ(ORV_PARAMETER_FAIL, fm->read(1, 0, nullptr));
    EXPECT_EQ(ORV_PARAMETER_FAIL, fm->write(1, 0, nullptr));
    EXPECT_EQ(ORV_PARAMETER_FAIL, fm->write(1, ORV_INVALID_PAGE_ID, buffer.data()));
    EXPECT_EQ(ORV_PARAMETER_FAIL, fm->read(1, ORV_INVALID_PAGE_ID, buffer.data()));
    EXPECT_EQ(0, fileSize(segmentFile(1)));
}

// ---- Two processes -----------------------------------------------------------

// The writer keeps the file open after write returns; the reader must see the
// page at once, not when the writer closes the file.
TEST_F(OrvFileManagerTest, PageIsVisibleToAnotherProcessWhenWriteReturns) {
    OrvFileManager::deleteInstance(); // fork before any manager exists
    Signal written;
    Signal checked;
    int writer = orvtest::startChild([&]() {
        OrvFileManager* manager = OrvFileManager::getInstance();
        if (manager->create(1) != ORV_SUCCESS || manager->open(1) != ORV_SUCCESS) {
            return 1;
        }
        std::vector<char> first = page('1');
        std::vector<char> second = page('2');
        if (manager->write(1, 0, first.data()) != ORV_SUCCESS ||
            manager->write(1, 3, second.data()) != ORV_SUCCESS) {
            return 2;
        }
        written.send();
        // Still open while the parent reads.
        return checked.wait() ? 0 : 3;
    });
    ASSERT_TRUE(written.wait());
    fm = OrvFileManager::getInstance();
    ASSERT_EQ(ORV_SUCCESS, fm->open(1));
    std::vector<char> buffer = page(0);
    EXPECT_EQ(ORV_SUCCESS, fm->read(1, 0, buffer.data()));
    EXPECT_EQ(page('1'), buffer);
    EXPECT_EQ(ORV_SUCCESS, fm->read(1, 3, buffer.data()));
    EXPECT_EQ(page('2'), buffer);
    checked.send();
    EXPECT_EQ(0, orvtest::waitChild(writer));
}

// The reader has the file open and has read the old page before the other
// process overwrites it; its next read must return the new page.
TEST_F(OrvFileManagerTest, OverwrittenPageIsSeenByAProcessThatReadItBefore) {
    ASSERT_EQ(ORV_SUCCESS, fm->create(2));
    OrvFileManager::deleteInstance();
    Signal readOld;
    Signal overwritten;
    Signal done;
    int writer = orvtest::startChild([&]() {
        OrvFileManager* manager = OrvFileManager::getInstance();
        std::vector<char> oldPage = page('o');
        std::vector<char> newPage = page('n');
        if (manager->open(2) != ORV_SUCCESS ||
            manager->write(2, 0, oldPage.data()) != ORV_SUCCESS) {
            return 1;
        }
        readOld.send();
        if (!overwritten.wait() || manager->write(2, 0, newPage.data()) != ORV_SUCCESS) {
            return 2;
        }
        readOld.send();
        return done.wait() ? 0 : 3;
    });
    fm = OrvFileManager::getInstance();
    ASSERT_TRUE(readOld.wait());
    ASSERT_EQ(ORV_SUCCESS, fm->open(2));
    std::vector<char> buffer = page(0);
    ASSERT_EQ(ORV_SUCCESS, fm->read(2, 0, buffer.data()));
    EXPECT_EQ(page('o'), buffer);
    overwritten.send();
    ASSERT_TRUE(readOld.wait());
    ASSERT_EQ(ORV_SUCCESS, fm->read(2, 0, buffer.data()));
    EXPECT_EQ(page('n'), buffer);
    done.send();
    EXPECT_EQ(0, orvtest::waitChild(writer));
}

// ---- Failing file system -----------------------------------------------------

// The file system refuses to let the file grow beyond two pages and a bit.
TEST_F(OrvFileManagerTest, WriteBeyondTheFileSizeLimitFailsCleanly) {
    ASSERT_EQ(ORV_SUCCESS, fm->create(1));
    OrvFileManager::deleteInstance();
    std::string path = segmentFile(1);
    int rc = orvtest::runInChild([&]() {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = 2 * ORV_PAGE_SIZE + 100;
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 10;
        }
        OrvFileManager* manager = OrvFileManager::getInstance();
        std::vector<char> data = page('w');
        if (manager->open(1) != ORV_SUCCESS || manager->write(1, 0, data.data()) != ORV_SUCCESS ||
            manager->write(1, 1, data.data()) != ORV_SUCCESS) {
            return 11;
        }
        // The third page gets 100 bytes in, then EFBIG.
        if (manager->write(1, 2, data.data()) != ORV_FM_FILE_WRITE_FAIL) {
            return 12;
        }
        if (lastError().sqlstate != "FM011" ||
            lastError().message != "An error occured while writing to the file for segment 1.") {
            return 13;
        }
        // The half page was taken back; the file is still usable.
        if (fileSize(path) != static_cast<off_t>(2 * ORV_PAGE_SIZE)) {
            return 14;
        }
        // A gap that cannot be filled fails the same way.
        if (manager->write(1, 7, data.data()) != ORV_FM_FILE_WRITE_FAIL ||
            fileSize(path) != static_cast<off_t>(2 * ORV_PAGE_SIZE)) {
            return 15;
        }
        std::vector<char> buffer = page(0);
        if (manager->read(1, 1, buffer.data()) != ORV_SUCCESS || buffer != data ||
            manager->write(1, 0, buffer.data()) != ORV_SUCCESS) {
            return 16;
        }
        return 0;
    });
    EXPECT_EQ(0, rc);
}

TEST_F(OrvFileManagerTest, InjectedWriteFailuresLeaveTheFileAsItWas) {
    makeOpen(1);
    std::vector<char> data = page('d');
    ASSERT_EQ(ORV_SUCCESS, fm->write(1, 0, data.data()));

    // The page write itself fails.
    OrvIo::Fault noSpace;
    noSpace.call = OrvIo::Call::Pwrite;
    noSpace.error = ENOSPC;
    ASSERT_TRUE(OrvIo::armFault(noSpace));
    EXPECT_EQ(ORV_FM_FILE_WRITE_FAIL, fm->write(1, 1, data.data()));
    expectError(ORV_FM_FILE_WRITE_FAIL, "FM011",
                "An error occured while writing to the file for segment 1.");
    EXPECT_EQ(static_cast<off_t>(ORV_PAGE_SIZE), fileSize(segmentFile(1)));

    // A torn append: 1000 bytes reach the file, then the disk is full.
    OrvIo::Fault torn;
    torn.call = OrvIo::Call::Pwrite;
    torn.shortBytes = 1000;
    ASSERT_TRUE(OrvIo::armFault(torn));
    noSpace.nth = 2;
    ASSERT_TRUE(OrvIo::armFault(noSpace));
    EXPECT_EQ(ORV_FM_FILE_WRITE_FAIL, fm->write(1, 1, data.data()));
    EXPECT_EQ(static_cast<off_t>(ORV_PAGE_SIZE), fileSize(segmentFile(1)));
    OrvIo::clearFaults();

    // Filling a gap fails half-way: the zero pages go again.
    ASSERT_TRUE(OrvIo::armFault(torn));
    ASSERT_TRUE(OrvIo::armFault(noSpace));
    EXPECT_EQ(ORV_FM_FILE_WRITE_FAIL, fm->write(1, 30, data.data()));
    EXPECT_EQ(static_cast<off_t>(ORV_PAGE_SIZE), fileSize(segmentFile(1)));
    OrvIo::clearFaults();

    // Nothing is left behind: the next writes and reads work.
    std::vector<char> buffer = page(0);
    ASSERT_EQ(ORV_SUCCESS, fm->write(1, 2, data.data()));
    ASSERT_EQ(ORV_SUCCESS, fm->read(1, 1, buffer.data()));
    EXPECT_EQ(page(0), buffer);
    ASSERT_EQ(ORV_SUCCESS, fm->read(1, 2, buffer.data()));
    EXPECT_EQ(data, buffer);
}

TEST_F(OrvFileManagerTest, ShortAndInterruptedTransfersAreCompleted) {
    makeOpen(1);
    std::vector<char> data = page('s');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7);
    }
    OrvIo::Fault fault;
    fault.call = OrvIo::Call::Pwrite;
    fault.shortBytes = 1;
    ASSERT_TRUE(OrvIo::armFault(fault));
    fault.shortBytes = -1;
    fault.error = EINTR;
    fault.nth = 2;
    ASSERT_TRUE(OrvIo::armFault(fault));
    ASSERT_EQ(ORV_SUCCESS, fm->write(1, 0, data.data()));
    EXPECT_GE(OrvIo::callCount(OrvIo::Call::Pwrite), 3u);

    fault.call = OrvIo::Call::Pread;
    fault.nth = 1;
    ASSERT_TRUE(OrvIo::armFault(fault));
    fault.shortBytes = 10;
    fault.nth = 2;
    ASSERT_TRUE(OrvIo::armFault(fault));
    std::vector<char> buffer = page(0);
    ASSERT_EQ(ORV_SUCCESS, fm->read(1, 0, buffer.data()));
    EXPECT_EQ(data, buffer);
}

TEST_F(OrvFileManagerTest, InjectedFailuresOfTheOtherCallsGiveTheirCodes) {
    makeOpen(1);
    std::vector<char> data = page('f');
    ASSERT_EQ(ORV_SUCCESS, fm->write(1, 0, data.data()));
    std::vector<char> buffer = page(0);
    OrvIo::Fault fault;

    fault.call = OrvIo::Call::Pread;
    ASSERT_TRUE(OrvIo::armFault(fault));
    EXPECT_EQ(ORV_FM_FILE_READ_FAIL, fm->read(1, 0, buffer.data()));
    expectError(ORV_FM_FILE_READ_FAIL, "FM010",
                "An error occured while reading from the file for segment 1.");

    // The size of the file cannot be had.
    fault.call = OrvIo::Call::Lseek;
    ASSERT_TRUE(OrvIo::armFault(fault));
    EXPECT_EQ(ORV_FM_FILE_READ_FAIL, fm->read(1, 0, buffer.data()));
    ASSERT_TRUE(OrvIo::armFault(fault));
    EXPECT_EQ(ORV_FM_FILE_WRITE_FAIL, fm->write(1, 0, buffer.data()));

    fault.call = OrvIo::Call::Unlink;
    ASSERT_EQ(ORV_SUCCESS, fm->create(2));
    ASSERT_TRUE(OrvIo::armFault(fault));
    EXPECT_EQ(ORV_FM_FILE_DROP_FAIL, fm->drop(2));
    expectError(ORV_FM_FILE_DROP_FAIL, "FM007",
                "An error occured while removing the file for segment 2.");
    EXPECT_TRUE(fileExists(segmentFile(2)));

    // A failed open leaves the segment closed and no descriptor behind.
    int descriptors = openDescriptors();
    fault.call = OrvIo::Call::Open;
    ASSERT_TRUE(OrvIo::armFault(fault));
    EXPECT_EQ(ORV_FM_FILE_OPEN_FAIL, fm->open(2));
    EXPECT_EQ(ORV_FM_FILE_NOT_OPEN, fm->read(2, 0, buffer.data()));
    fault.call = OrvIo::Call::Fstat;
    ASSERT_TRUE(OrvIo::armFault(fault));
    EXPECT_EQ(ORV_FM_FILE_OPEN_FAIL, fm->open(2));
    EXPECT_EQ(ORV_FM_FILE_NOT_OPEN, fm->read(2, 0, buffer.data()));
    EXPECT_EQ(descriptors, openDescriptors());
    fault.call = OrvIo::Call::Open;

    // A failed create leaves no file.
    ASSERT_TRUE(OrvIo::armFault(fault));
    EXPECT_EQ(ORV_FM_FILE_CREATE_FAIL, fm->create(3));
    EXPECT_FALSE(fileExists(segmentFile(3)));
    fault.call = OrvIo::Call::Close;
    ASSERT_TRUE(OrvIo::armFault(fault));
    EXPECT_EQ(ORV_FM_FILE_CREATE_FAIL, fm->create(3));
    EXPECT_FALSE(fileExists(segmentFile(3)));

    // A failed close still forgets the segment and releases the descriptor.
    int before = openDescriptors();
    ASSERT_TRUE(OrvIo::armFault(fault));
    EXPECT_EQ(ORV_FM_FILE_CLOSE_FAIL, fm->close(1));
    expectError(ORV_FM_FILE_CLOSE_FAIL, "FM009",
                "An error occured while closing the file for segment 1.");
    EXPECT_EQ(before - 1, openDescriptors());
    EXPECT_EQ(ORV_FM_FILE_NOT_OPEN, fm->read(1, 0, buffer.data()));
    ASSERT_EQ(ORV_SUCCESS, fm->open(1));
    ASSERT_EQ(ORV_SUCCESS, fm->read(1, 0, buffer.data()));
    EXPECT_EQ(data, buffer);
}

} // namespace
