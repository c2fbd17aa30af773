// Shared memory sets with real segments and real processes. Each
// test has a database directory of its own, whose sets are removed afterwards.
#include "support/OrvMemoryManager.h"

#include "OrvConfig.h"
#include "OrvError.h"
#include "OrvException.h"
#include "buffer/OrvBufferPool.h"
#include "common/OrvTestDatabase.h"
#include "common/OrvTestSupport.h"
#include "common/OrvTestSync.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using orvtest::ChildProcess;
using orvtest::Pipe;
using orvtest::TestDatabase;
typedef OrvMemoryManager MM;

namespace {

constexpr std::size_t DATA = MM::DATA_OFFSET;
const MM::MemorySet allSets[] = {MM::BufferPool, MM::LockList, MM::LogFileHandling};
const char* const setNames[] = {"Buffer Pool", "Lock List", "Log File Handling"};

// The exception that f throws, or null when it throws none.
std::unique_ptr<OrvException> thrownBy(const std::function<void()>& f) {
    try {
        f();
    } catch (const OrvException& e) {
        return std::make_unique<OrvException>(e);
    }
    return nullptr;
}

struct RecordedError {
    std::string message;
    std::string sqlstate;
};

// Records the exception in the error object and reads back message and SQLSTATE.
RecordedError recorded(const OrvException& e) {
    e.SET_ERROR();
    char message[1025] = {};
    char sqlstate[6] = {};
    OrvError::getErrorObject()->getError(message, sizeof(message), sqlstate);
    return {message, sqlstate};
}

std::string number(int value) {
    return std::to_string(value);
}

struct shmid_ds segmentInfo(int shmId) {
    struct shmid_ds info;
    std::memset(&info, 0, sizeof(info));
    EXPECT_EQ(0, shmctl(shmId, IPC_STAT, &info)) << std::strerror(errno);
    return info;
}

// A second, raw attach of a segment, to look at it from outside the manager.
class RawAttach {
public:
    explicit RawAttach(int shmId) : address(shmat(shmId, nullptr, SHM_RDONLY)) {}
    ~RawAttach() {
        if (ok()) {
            shmdt(address);
        }
    }
    bool ok() const { return address != reinterpret_cast<void*>(-1); }
    const char* bytes() const { return static_cast<const char*>(address); }

private:
    void* address;
};

// Removes the segments of a directory that no TestDatabase covers.
class ExtraDirectorySets {
public:
    explicit ExtraDirectorySets(const std::string& dirPath) : dir(dirPath) {}
    ~ExtraDirectorySets() {
        for (int set = 0; set < 3; ++set) {
            const int id = shmget(ftok(dir.c_str(), set), 0, 0);
            if (id >= 0) {
                shmctl(id, IPC_RMID, nullptr);
            }
        }
    }
    bool anyExists() const {
        for (int set = 0; set < 3; ++set) {
            if (shmget(ftok(dir.c_str(), set), 0, 0) >= 0) {
                return true;
            }
        }
        return false;
    }

private:
    std::string dir;
};

std::string resolvedPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    std::string result = resolved != nullptr ? resolved : "";
    std::free(resolved);
    return result;
}

// Makes directories below base so that the resolved path has exactly `length`
// characters; returns that path.
std::string makePathOfLength(const std::string& base, std::size_t length) {
    std::string path = resolvedPath(base);
    while (path.size() < length) {
        // Each step adds "/" and a name of at most 200 characters, and never
        // leaves fewer than 2 characters for the next step.
        std::size_t name = std::min<std::size_t>(200, length - path.size() - 1);
        if (length - path.size() - 1 - name == 1) {
            --name;
        }
        path += "/" + std::string(name, 'd');
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            ADD_FAILURE() << "mkdir " << path.size() << ": " << std::strerror(errno);
            break;
        }
    }
    return path;
}

class MemoryManagerTest : public ::testing::Test {
protected:
    void TearDown() override {
        // The manager is a process singleton: a test that failed while attached
        // must not leave the next test of this process attached.
        for (MM::MemorySet set : allSets) {
            try {
                mm->disconnectFromMemorySet(set);
            } catch (const OrvException&) {
            }
        }
    }

    // Writes value into the first data bytes of set, attaching for the write.
    void writeValue(MM::MemorySet set, int value) {
        void* address = nullptr;
        mm->connectToMemorySet(set, address);
        std::memcpy(address, &value, sizeof(value));
        mm->disconnectFromMemorySet(set);
    }
    int readValue(MM::MemorySet set) {
        void* address = nullptr;
        mm->connectToMemorySet(set, address);
        int value = 0;
        std::memcpy(&value, address, sizeof(value));
        mm->disconnectFromMemorySet(set);
        return value;
    }

    TestDatabase db;
    MM* mm = MM::getMemoryManager();
};

TEST_F(MemoryManagerTest, OneInstancePerProcess) {
    EXPECT_NE(nullptr, mm);
    EXPECT_EQ(mm, MM::getMemoryManager());
}

TEST_F(MemoryManagerTest, SizesOfTheSets) {
    // The frames fill ORV_BUFFER_POOL_SIZE; the fixers' table lies behind.
    EXPECT_EQ(ORV_BM_POOL_SET_SIZE, mm->getSetSize(MM::BufferPool));
    EXPECT_EQ(sizeof(OrvBufferPoolLayout), mm->getSetSize(MM::BufferPool));
    EXPECT_EQ(ORV_LOG_FILE_HANDLING_SIZE, mm->getSetSize(MM::LogFileHandling));
    // The lock list layout needs 2058280 bytes; its size constant stays 2048000.
    EXPECT_GE(mm->getSetSize(MM::LockList), 2058280u);
    EXPECT_EQ(2048000u, ORV_LOCK_LIST_SIZE);

    auto e = thrownBy([&] { mm->getSetSize(static_cast<MM::MemorySet>(7)); });
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ORV_INTERNAL_FAIL, e->getErrorCode());
}

TEST_F(MemoryManagerTest, CreateMakesSegmentWithMarkersAndZeroData) {
    for (MM::MemorySet set : allSets) {
        SCOPED_TRACE(setNames[set]);
        ASSERT_EQ(-1, db.segmentId(set));
        mm->createMemorySet(set);
        const int shmId = db.segmentId(set);
        ASSERT_GE(shmId, 0);

        const std::size_t size = mm->getSetSize(set);
        struct shmid_ds info = segmentInfo(shmId);
        EXPECT_EQ(DATA + size + 17, info.shm_segsz);
        EXPECT_EQ(0660u, info.shm_perm.mode & 0777u);
        EXPECT_EQ(0u, info.shm_nattch) << "the creator stays detached";

        RawAttach raw(shmId);
        ASSERT_TRUE(raw.ok());
        EXPECT_EQ(0, std::memcmp(raw.bytes(), "deadbeefDEADBEEF", 17));
        EXPECT_EQ(0, std::memcmp(raw.bytes() + DATA + size, "deadbeefDEADBEEF", 17));
        // The identity names the directory, the rest up to it is zero.
        MM::SetIdentity identity;
        std::memcpy(&identity, raw.bytes() + MM::IDENTITY_OFFSET, sizeof(identity));
        struct stat status;
        ASSERT_EQ(0, stat(db.path().c_str(), &status));
        EXPECT_EQ(MM::IDENTITY_MAGIC, identity.magic);
        EXPECT_EQ(static_cast<Uint64>(status.st_dev), identity.device);
        EXPECT_EQ(static_cast<Uint64>(status.st_ino), identity.inode);
        const std::string resolved = resolvedPath(db.path());
        EXPECT_EQ(resolved.size(), identity.pathLength);
        EXPECT_STREQ(resolved.c_str(), identity.path);
        std::size_t nonZero = 0;
        for (std::size_t i = 17; i < MM::IDENTITY_OFFSET; ++i) {
            nonZero += raw.bytes()[i] != 0;
        }
        for (std::size_t i = MM::IDENTITY_OFFSET + 24 + resolved.size(); i < DATA + size; ++i) {
            nonZero += raw.bytes()[i] != 0;
        }
        EXPECT_EQ(0u, nonZero) << "padding, rest of the path and data are zero";
    }
}

TEST_F(MemoryManagerTest, DataFollowsTheMarkerAlignedForAnyType) {
    // Right after the marker, at offset 17, an OrvLatch would be misaligned
    // (see OrvMemoryManager.h); the identity of the directory lies between.
    EXPECT_GE(MM::IDENTITY_OFFSET, 17u);
    EXPECT_EQ(MM::IDENTITY_OFFSET + sizeof(MM::SetIdentity), DATA);
    EXPECT_EQ(0u, DATA % alignof(std::max_align_t));
}

TEST_F(MemoryManagerTest, ConnectReturnsTheStartOfTheData) {
    mm->createMemorySet(MM::LogFileHandling);
    const int shmId = db.segmentId(MM::LogFileHandling);
    const std::size_t size = mm->getSetSize(MM::LogFileHandling);

    void* address = nullptr;
    mm->connectToMemorySet(MM::LogFileHandling, address);
    ASSERT_NE(nullptr, address);
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(address) % alignof(std::max_align_t));
    char* data = static_cast<char*>(address);
    std::memcpy(data, "first", 5);
    data[size - 1] = 'z';
    EXPECT_EQ(1u, segmentInfo(shmId).shm_nattch);

    RawAttach raw(shmId);
    ASSERT_TRUE(raw.ok());
    EXPECT_EQ(0, std::memcmp(raw.bytes() + DATA, "first", 5));
    EXPECT_EQ('z', raw.bytes()[DATA + size - 1]);
    // The data ends where the second marker begins; neither marker was touched.
    EXPECT_EQ(0, std::memcmp(raw.bytes(), "deadbeefDEADBEEF", 17));
    EXPECT_EQ(0, std::memcmp(raw.bytes() + DATA + size, "deadbeefDEADBEEF", 17));
    EXPECT_EQ(2u, segmentInfo(shmId).shm_nattch);
}

TEST_F(MemoryManagerTest, DisconnectDetachesAndTheDataStays) {
    mm->createMemorySet(MM::BufferPool);
    const int shmId = db.segmentId(MM::BufferPool);
    writeValue(MM::BufferPool, 4711);
    EXPECT_EQ(0u, segmentInfo(shmId).shm_nattch);
    EXPECT_EQ(4711, readValue(MM::BufferPool));
    EXPECT_EQ(0u, segmentInfo(shmId).shm_nattch);
}

TEST_F(MemoryManagerTest, DestroyRemovesTheSegment) {
    mm->createMemorySet(MM::LockList);
    ASSERT_GE(db.segmentId(MM::LockList), 0);
    mm->destroyMemorySet(MM::LockList);
    EXPECT_EQ(-1, db.segmentId(MM::LockList));

    // Destroying it again: the lookup fails (the destroy looks the id up first).
    auto e = thrownBy([&] { mm->destroyMemorySet(MM::LockList); });
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ORV_MM_SHM_GETID_FAIL, e->getErrorCode());
    EXPECT_EQ("Lock List", e->getToken(1));
    EXPECT_EQ(number(ENOENT), e->getToken(2));
    EXPECT_EQ(std::strerror(ENOENT), e->getToken(3));
    EXPECT_EQ("MM003", recorded(*e).sqlstate);
}

TEST_F(MemoryManagerTest, CreatingAnExistingSetFailsWithMM002) {
    mm->createMemorySet(MM::LockList);
    auto e = thrownBy([&] { mm->createMemorySet(MM::LockList); });
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ORV_MM_SHM_CREATE_FAIL, e->getErrorCode());
    EXPECT_EQ("Lock List", e->getToken(1));
    EXPECT_EQ("1", e->getToken(2));
    EXPECT_EQ(number(EEXIST), e->getToken(3));
    EXPECT_EQ(std::strerror(EEXIST), e->getToken(4));
    RecordedError error = recorded(*e);
    EXPECT_EQ("MM002", error.sqlstate);
    EXPECT_EQ("Could not create shared memory segment for memory set 'Lock List' (ID 1) "
              "exclusively.  Segment already exists?  System error: " +
                  number(EEXIST) + " ('" + std::strerror(EEXIST) + "')",
              error.message);
}

TEST_F(MemoryManagerTest, AttachingASetNeverCreatedFailsWithMM007) {
    auto e = thrownBy([&] {
        void* address = nullptr;
        mm->connectToMemorySet(MM::LogFileHandling, address);
    });
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ORV_MM_SHM_NOT_EXISTS, e->getErrorCode());
    EXPECT_EQ("Log File Handling", e->getToken(1));
    RecordedError error = recorded(*e);
    EXPECT_EQ("MM007", error.sqlstate);
    EXPECT_EQ("The shared memory segment for memory set 'Log File Handling' does not exist.",
              error.message);
    // The failed attach left the process detached.
    auto notAttached = thrownBy([&] { mm->disconnectFromMemorySet(MM::LogFileHandling); });
    ASSERT_NE(nullptr, notAttached);
    EXPECT_EQ(ORV_MM_SHM_NOT_ATTACHED, notAttached->getErrorCode());
}

TEST_F(MemoryManagerTest, AttachingTwiceFailsWithMM008) {
    mm->createMemorySet(MM::BufferPool);
    const int shmId = db.segmentId(MM::BufferPool);
    void* address = nullptr;
    mm->connectToMemorySet(MM::BufferPool, address);
    void* second = nullptr;
    auto e = thrownBy([&] { mm->connectToMemorySet(MM::BufferPool, second); });
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ORV_MM_SHM_ALREADY_ATTACHED, e->getErrorCode());
    EXPECT_EQ("Buffer Pool", e->getToken(1));
    EXPECT_EQ(number(shmId), e->getToken(2));
    EXPECT_EQ("MM008", recorded(*e).sqlstate);
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ(1u, segmentInfo(shmId).shm_nattch);
    mm->disconnectFromMemorySet(MM::BufferPool);
    EXPECT_EQ(0u, segmentInfo(shmId).shm_nattch);
}

TEST_F(MemoryManagerTest, DetachingWhenNotAttachedFailsWithMM009) {
    auto e = thrownBy([&] { mm->disconnectFromMemorySet(MM::LockList); });
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ORV_MM_SHM_NOT_ATTACHED, e->getErrorCode());
    EXPECT_EQ("Lock List", e->getToken(1));
    RecordedError error = recorded(*e);
    EXPECT_EQ("MM009", error.sqlstate);
    EXPECT_EQ("Could not disconnect from memory set 'Lock List'.  A connection to the shared "
              "memory segment for this memory set does not exist.",
              error.message);

    // Also after an attach and detach.
    mm->createMemorySet(MM::LockList);
    writeValue(MM::LockList, 1);
    e = thrownBy([&] { mm->disconnectFromMemorySet(MM::LockList); });
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ORV_MM_SHM_NOT_ATTACHED, e->getErrorCode());
}

TEST_F(MemoryManagerTest, MissingDatabaseDirectory) {
    const std::string missing = db.file("missing");
    setenv("ORV_DATABASE_PATH", missing.c_str(), 1);

    auto e = thrownBy([&] { mm->createMemorySet(MM::BufferPool); });
    // Every operation names the directory and the real cause, not a set that
    // "already exists" or "does not exist".
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ORV_MM_DATABASE_PATH_INVALID, e->getErrorCode());
    RecordedError error = recorded(*e);
    EXPECT_EQ("MM010", error.sqlstate);
    EXPECT_EQ("The database directory '" + missing + "' cannot be used: " + std::strerror(ENOENT) +
                  ".",
              error.message);

    e = thrownBy([&] {
        void* address = nullptr;
        mm->connectToMemorySet(MM::BufferPool, address);
    });
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ORV_MM_DATABASE_PATH_INVALID, e->getErrorCode());

    e = thrownBy([&] { mm->destroyMemorySet(MM::BufferPool); });
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ORV_MM_DATABASE_PATH_INVALID, e->getErrorCode());

    // A regular file is no directory either.
    const std::string file = db.file("plain");
    orvtest::writeFile(file, "x");
    setenv("ORV_DATABASE_PATH", file.c_str(), 1);
    e = thrownBy([&] { mm->createMemorySet(MM::BufferPool); });
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ORV_MM_DATABASE_PATH_INVALID, e->getErrorCode());
    EXPECT_EQ("it is not a directory", e->getToken(2));

    db.activate();
    for (MM::MemorySet set : allSets) {
        EXPECT_EQ(-1, db.segmentId(set));
    }
}

TEST_F(MemoryManagerTest, ResolvedPathOfAtMost1023CharactersIsUsed) {
    const std::string longest = makePathOfLength(db.path(), 1023);
    ASSERT_EQ(1023u, resolvedPath(longest).size());
    ExtraDirectorySets cleanup(longest);
    ASSERT_FALSE(cleanup.anyExists());
    setenv("ORV_DATABASE_PATH", longest.c_str(), 1);

    mm->createMemorySet(MM::LogFileHandling);
    EXPECT_GE(shmget(ftok(longest.c_str(), MM::LogFileHandling), 0, 0), 0);
    EXPECT_EQ(-1, db.segmentId(MM::LogFileHandling));
    writeValue(MM::LogFileHandling, 5);
    EXPECT_EQ(5, readValue(MM::LogFileHandling));
    mm->destroyMemorySet(MM::LogFileHandling);
    EXPECT_FALSE(cleanup.anyExists());
}

TEST_F(MemoryManagerTest, ResolvedPathLongerThan1023CharactersIsRefused) {
    for (std::size_t length : {std::size_t(1024), std::size_t(3000)}) {
        SCOPED_TRACE(length);
        const std::string tooLong = makePathOfLength(db.path(), length);
        ASSERT_EQ(length, resolvedPath(tooLong).size());
        ExtraDirectorySets cleanup(tooLong);
        setenv("ORV_DATABASE_PATH", tooLong.c_str(), 1);

        auto e = thrownBy([&] { mm->createMemorySet(MM::LockList); });
        ASSERT_NE(nullptr, e);
        EXPECT_EQ(ORV_MM_DATABASE_PATH_INVALID, e->getErrorCode());
        EXPECT_EQ(tooLong, e->getToken(1));
        EXPECT_EQ("its resolved name is longer than 1023 characters", e->getToken(2));
        EXPECT_EQ("MM010", recorded(*e).sqlstate);

        e = thrownBy([&] {
            void* address = nullptr;
            mm->connectToMemorySet(MM::LockList, address);
        });
        ASSERT_NE(nullptr, e);
        EXPECT_EQ(ORV_MM_DATABASE_PATH_INVALID, e->getErrorCode());
        EXPECT_FALSE(cleanup.anyExists());
    }
}

TEST_F(MemoryManagerTest, SymbolicLinkReachesTheSetOfItsTarget) {
    const std::string link = db.file("link");
    ASSERT_EQ(0, symlink(db.path().c_str(), link.c_str()));
    setenv("ORV_DATABASE_PATH", link.c_str(), 1);
    mm->createMemorySet(MM::BufferPool);
    EXPECT_GE(db.segmentId(MM::BufferPool), 0);
    writeValue(MM::BufferPool, 99);
    db.activate();
    EXPECT_EQ(99, readValue(MM::BufferPool));
}

TEST_F(MemoryManagerTest, TwoProcessesInTheSameDirectoryReachTheSameSet) {
    mm->createMemorySet(MM::BufferPool);
    ChildProcess child([&] {
        writeValue(MM::BufferPool, 1234);
        return 0;
    });
    ASSERT_EQ(0, child.wait());
    EXPECT_EQ(1234, readValue(MM::BufferPool));
}

TEST_F(MemoryManagerTest, UnsetOrEmptyPathMeansTheWorkingDirectory) {
    // The children create sets from their working directory, one without
    // ORV_DATABASE_PATH and one with it empty (as the segment files do); the
    // parent reaches both through the variable.
    const MM::MemorySet sets[] = {MM::LockList, MM::LogFileHandling};
    for (int i = 0; i < 2; ++i) {
        ChildProcess child([&] {
            if (chdir(db.path().c_str()) != 0) {
                return 2;
            }
            if (i == 0) {
                unsetenv("ORV_DATABASE_PATH");
            } else {
                setenv("ORV_DATABASE_PATH", "", 1);
            }
            mm->createMemorySet(sets[i]);
            writeValue(sets[i], 777 + i);
            return 0;
        });
        ASSERT_EQ(0, child.wait());
        EXPECT_GE(db.segmentId(sets[i]), 0);
        EXPECT_EQ(777 + i, readValue(sets[i]));
    }
}

TEST_F(MemoryManagerTest, DifferentDirectoriesGiveDifferentSets) {
    TestDatabase other; // now the active directory
    mm->createMemorySet(MM::BufferPool);
    writeValue(MM::BufferPool, 2);

    db.activate();
    auto e = thrownBy([&] {
        void* address = nullptr;
        mm->connectToMemorySet(MM::BufferPool, address);
    });
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ORV_MM_SHM_NOT_EXISTS, e->getErrorCode());
    mm->createMemorySet(MM::BufferPool);
    writeValue(MM::BufferPool, 1);

    EXPECT_NE(db.segmentId(MM::BufferPool), other.segmentId(MM::BufferPool));
    EXPECT_EQ(1, readValue(MM::BufferPool));
    other.activate();
    EXPECT_EQ(2, readValue(MM::BufferPool));
    db.activate();
}

TEST_F(MemoryManagerTest, AttachAfterOwnDestroyFindsTheSetAnotherProcessRecreated) {
    mm->createMemorySet(MM::LockList);
    writeValue(MM::LockList, 1);
    mm->destroyMemorySet(MM::LockList);
    const int oldId = shmget(ftok(db.path().c_str(), MM::LockList), 0, 0);
    EXPECT_EQ(-1, oldId);

    ChildProcess child([&] {
        mm->createMemorySet(MM::LockList);
        writeValue(MM::LockList, 2);
        return 0;
    });
    ASSERT_EQ(0, child.wait());
    // With the id of the destroyed segment still remembered, this attach
    // would fail (or reach a dead segment).
    EXPECT_EQ(2, readValue(MM::LockList));
}

TEST_F(MemoryManagerTest, AttachFindsTheSetAnotherProcessDestroyedAndRecreated) {
    mm->createMemorySet(MM::BufferPool);
    const int firstId = db.segmentId(MM::BufferPool);
    writeValue(MM::BufferPool, 1);

    ChildProcess child([&] {
        mm->destroyMemorySet(MM::BufferPool);
        mm->createMemorySet(MM::BufferPool);
        writeValue(MM::BufferPool, 2);
        return 0;
    });
    ASSERT_EQ(0, child.wait());
    EXPECT_NE(firstId, db.segmentId(MM::BufferPool));
    EXPECT_EQ(2, readValue(MM::BufferPool));
    // The destroy reaches the new segment too.
    mm->destroyMemorySet(MM::BufferPool);
    EXPECT_EQ(-1, db.segmentId(MM::BufferPool));
}

TEST_F(MemoryManagerTest, DestroyWhileAttachedStillAllowsTheDetach) {
    mm->createMemorySet(MM::LogFileHandling);
    const int shmId = db.segmentId(MM::LogFileHandling);
    void* address = nullptr;
    mm->connectToMemorySet(MM::LogFileHandling, address);
    mm->destroyMemorySet(MM::LogFileHandling);
    EXPECT_EQ(-1, db.segmentId(MM::LogFileHandling));
    // The segment lives on until the last detach.
    static_cast<char*>(address)[0] = 1;
    EXPECT_EQ(1u, segmentInfo(shmId).shm_nattch);

    EXPECT_EQ(nullptr, thrownBy([&] { mm->disconnectFromMemorySet(MM::LogFileHandling); }));
    struct shmid_ds info;
    EXPECT_NE(0, shmctl(shmId, IPC_STAT, &info)) << "gone after the last detach";

    auto e = thrownBy([&] { mm->connectToMemorySet(MM::LogFileHandling, address); });
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ORV_MM_SHM_NOT_EXISTS, e->getErrorCode());
}

TEST_F(MemoryManagerTest, OfConcurrentCreatorsExactlyOneSucceeds) {
    constexpr int creators = 4;
    Pipe go;
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int i = 0; i < creators; ++i) {
        children.push_back(std::make_unique<ChildProcess>([&] {
            if (!go.receive()) {
                return 3;
            }
            try {
                mm->createMemorySet(MM::BufferPool);
                return 0;
            } catch (const OrvException& e) {
                return e.getErrorCode() == ORV_MM_SHM_CREATE_FAIL && e.getToken(3) == number(EEXIST)
                           ? 1
                           : 2;
            }
        }));
    }
    for (int i = 0; i < creators; ++i) {
        go.send();
    }
    int succeeded = 0;
    int refused = 0;
    for (auto& child : children) {
        const int code = child->wait();
        succeeded += code == 0;
        refused += code == 1;
    }
    EXPECT_EQ(1, succeeded);
    EXPECT_EQ(creators - 1, refused);
    EXPECT_GE(db.segmentId(MM::BufferPool), 0);
}

} // namespace
