#include "support/OrvIo.h"

#include "common/OrvTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

class OrvIoTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.file("data");
        fd = OrvIo::open(path.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        OrvIo::clearFaults();
        if (fd >= 0) {
            ::close(fd);
        }
    }
    static OrvIo::Fault fault(OrvIo::Call call, Uint32 nth, int error = EIO) {
        OrvIo::Fault f;
        f.call = call;
        f.nth = nth;
        f.error = error;
        return f;
    }

    orvtest::TempDir dir;
    std::string path;
    int fd = -1;
};

TEST_F(OrvIoTest, FailuresComeBackAsNegatedErrno) {
    EXPECT_EQ(-ENOENT, OrvIo::open(dir.file("missing").c_str(), O_RDONLY));
    struct stat status;
    EXPECT_EQ(-ENOENT, OrvIo::stat(dir.file("missing").c_str(), &status));
    EXPECT_EQ(-EBADF, OrvIo::fstat(-1, &status));
    EXPECT_EQ(-ENOENT, OrvIo::unlink(dir.file("missing").c_str()));
    char byte = 0;
    EXPECT_EQ(-EBADF, OrvIo::pwrite(-1, &byte, 1, 0));
    // Nothing was armed: nothing was counted.
    EXPECT_EQ(0u, OrvIo::callCount(OrvIo::Call::Open));
}

TEST_F(OrvIoTest, NthCallFailsOnceOrFromThenOnWhenSticky) {
    char data[8] = "abcdefg";
    ASSERT_TRUE(OrvIo::armFault(fault(OrvIo::Call::Pwrite, 3, ENOSPC)));
    EXPECT_EQ(8, OrvIo::pwrite(fd, data, 8, 0));
    EXPECT_EQ(8, OrvIo::pwrite(fd, data, 8, 8));
    EXPECT_EQ(-ENOSPC, OrvIo::pwrite(fd, data, 8, 16));
    EXPECT_EQ(8, OrvIo::pwrite(fd, data, 8, 16));
    EXPECT_EQ(4u, OrvIo::callCount(OrvIo::Call::Pwrite));
    // Other kinds of call are not touched.
    EXPECT_EQ(8, OrvIo::pread(fd, data, 8, 0));

    OrvIo::Fault sticky = fault(OrvIo::Call::Pread, 2);
    sticky.sticky = true;
    ASSERT_TRUE(OrvIo::armFault(sticky));
    EXPECT_EQ(8, OrvIo::pread(fd, data, 8, 0));
    EXPECT_EQ(-EIO, OrvIo::pread(fd, data, 8, 0));
    EXPECT_EQ(-EIO, OrvIo::pread(fd, data, 8, 0));
    OrvIo::clearFaults();
    EXPECT_EQ(8, OrvIo::pread(fd, data, 8, 0));
    EXPECT_EQ(0u, OrvIo::callCount(OrvIo::Call::Pread));
}

TEST_F(OrvIoTest, ShortWriteIsCompletedByTheLoopOrTornByAFailure) {
    std::string data(1000, 'x');
    OrvIo::Fault shortWrite = fault(OrvIo::Call::Pwrite, 1);
    shortWrite.shortBytes = 10;
    ASSERT_TRUE(OrvIo::armFault(shortWrite));
    EXPECT_EQ(10, OrvIo::pwrite(fd, data.data(), data.size(), 0));

    ASSERT_TRUE(OrvIo::armFault(shortWrite));
    ASSERT_TRUE(OrvIo::armFault(fault(OrvIo::Call::Pwrite, 2, EINTR)));
    EXPECT_EQ(1000, OrvIo::pwriteAll(fd, data.data(), data.size(), 0));
    EXPECT_EQ(data, orvtest::readFile(path));

    // Torn: 10 bytes, then the disk is full.
    std::string other(1000, 'y');
    ASSERT_TRUE(OrvIo::armFault(shortWrite));
    ASSERT_TRUE(OrvIo::armFault(fault(OrvIo::Call::Pwrite, 2, ENOSPC)));
    EXPECT_EQ(-ENOSPC, OrvIo::pwriteAll(fd, other.data(), other.size(), 0));
    EXPECT_EQ(std::string(10, 'y') + std::string(990, 'x'), orvtest::readFile(path));
}

TEST_F(OrvIoTest, ReadLoopStopsAtTheEndOfTheFile) {
    std::string data(100, 'r');
    ASSERT_EQ(100, OrvIo::pwriteAll(fd, data.data(), data.size(), 0));
    char buffer[300];
    OrvIo::Fault shortRead = fault(OrvIo::Call::Pread, 1);
    shortRead.shortBytes = 1;
    ASSERT_TRUE(OrvIo::armFault(shortRead));
    ASSERT_TRUE(OrvIo::armFault(fault(OrvIo::Call::Pread, 2, EINTR)));
    EXPECT_EQ(60, OrvIo::preadAll(fd, buffer, sizeof(buffer), 40));
    EXPECT_EQ(std::string(60, 'r'), std::string(buffer, 60));
    ASSERT_TRUE(OrvIo::armFault(fault(OrvIo::Call::Pread, 1, EIO)));
    EXPECT_EQ(-EIO, OrvIo::preadAll(fd, buffer, sizeof(buffer), 0));
}

TEST_F(OrvIoTest, AppendAddsAtTheEnd) {
    int appender = OrvIo::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(appender, 0);
    ASSERT_EQ(3, OrvIo::appendAll(appender, "abc", 3));
    OrvIo::Fault shortAppend = fault(OrvIo::Call::Append, 1);
    shortAppend.shortBytes = 2;
    ASSERT_TRUE(OrvIo::armFault(shortAppend));
    EXPECT_EQ(5, OrvIo::appendAll(appender, "defgh", 5));
    ASSERT_TRUE(OrvIo::armFault(fault(OrvIo::Call::Append, 1, EFBIG)));
    EXPECT_EQ(-EFBIG, OrvIo::appendAll(appender, "ijk", 3));
    EXPECT_EQ(0, OrvIo::close(appender));
    EXPECT_EQ("abcdefgh", orvtest::readFile(path));
}

TEST_F(OrvIoTest, FailedCloseStillReleasesTheDescriptor) {
    ASSERT_TRUE(OrvIo::armFault(fault(OrvIo::Call::Close, 1)));
    EXPECT_EQ(-EIO, OrvIo::close(fd));
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
    EXPECT_EQ(EBADF, errno);
    fd = -1;
}

TEST_F(OrvIoTest, FailedOpenCreatesNothing) {
    ASSERT_TRUE(OrvIo::armFault(fault(OrvIo::Call::Open, 1, EACCES)));
    std::string other = dir.file("other");
    EXPECT_EQ(-EACCES, OrvIo::open(other.c_str(), O_RDWR | O_CREAT, 0600));
    struct stat status;
    EXPECT_EQ(-ENOENT, OrvIo::stat(other.c_str(), &status));
}

} // namespace
