#include "OrvTestDatabase.h"

#include "support/OrvMemoryManager.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

namespace orvtest {

namespace {

constexpr int NUMBER_OF_SETS = 3;
// Where the latch of a set lies: at the start of its data.
constexpr std::size_t LATCH_OFFSET = OrvMemoryManager::DATA_OFFSET;
constexpr int LATCH_SEMAPHORES = 3;
constexpr int MAX_DIRECTORY_TRIES = 50;

bool keysAreFree(const std::string& path) {
    for (int set = 0; set < NUMBER_OF_SETS; ++set) {
        const key_t key = ftok(path.c_str(), set);
        if (key == static_cast<key_t>(-1)) {
            throw std::runtime_error("ftok failed for " + path + ": " + std::strerror(errno));
        }
        // IPC_PRIVATE would never find a shared segment; take another directory.
        if (key == IPC_PRIVATE || shmget(key, 0, 0) >= 0) {
            return false;
        }
    }
    return true;
}

// Only sets that look like a latch (private key, three semaphores) are removed,
// so a stray value read from a segment cannot take away another test's set.
bool looksLikeLatch(int semaphoreId) {
    struct semid_ds info;
    union {
        int val;
        struct semid_ds* buf;
        unsigned short* array;
    } argument;
    argument.buf = &info;
    if (semctl(semaphoreId, 0, IPC_STAT, argument) != 0) {
        return false;
    }
    return info.sem_perm.__key == IPC_PRIVATE && info.sem_nsems == LATCH_SEMAPHORES;
}

// The latch id at the start of the segment's data, or -1.
int latchIdOf(int shmId) {
    struct shmid_ds info;
    if (shmctl(shmId, IPC_STAT, &info) != 0 || info.shm_segsz < LATCH_OFFSET + sizeof(int)) {
        return -1;
    }
    void* segment = shmat(shmId, nullptr, SHM_RDONLY);
    if (segment == reinterpret_cast<void*>(-1)) {
        return -1;
    }
    int id = -1;
    std::memcpy(&id, static_cast<const char*>(segment) + LATCH_OFFSET, sizeof(id));
    shmdt(segment);
    return id;
}

} // namespace

bool semaphoreSetExists(int semaphoreId) {
    return semaphoreId >= 0 && semctl(semaphoreId, 0, GETVAL) >= 0;
}

TestDatabase::TestDatabase() : ownerPid(getpid()), semaphoreZeroExisted(semaphoreSetExists(0)) {
    // Directories whose keys are taken stay alive until a good one is found,
    // so that the next one cannot get the same inode (and so the same keys).
    std::vector<std::unique_ptr<TempDir>> rejected;
    for (int attempt = 0; attempt < MAX_DIRECTORY_TRIES && !dir; ++attempt) {
        auto candidate = std::make_unique<TempDir>("orv-db");
        if (keysAreFree(candidate->path())) {
            dir = std::move(candidate);
        } else {
            rejected.push_back(std::move(candidate));
        }
    }
    if (!dir) {
        throw std::runtime_error("no temporary directory with free shared memory keys");
    }
    dirPath = dir->path();
    takeOver();
}

void TestDatabase::takeOver() {
    recordKeys();
    const char* previous = std::getenv("ORV_DATABASE_PATH");
    if (previous != nullptr) {
        hadPreviousPath = true;
        previousPath = previous;
    }
    activate();
}

TestDatabase::TestDatabase(const std::string& existingDirectory)
    : dirPath(existingDirectory), ownerPid(getpid()), semaphoreZeroExisted(semaphoreSetExists(0)) {
    if (key(0) == static_cast<key_t>(-1)) {
        throw std::runtime_error("ftok failed for " + dirPath + ": " + std::strerror(errno));
    }
    takeOver();
}

// The directory as the sets' identity names it.
std::string TestDatabase::resolvedPath() const {
    char* resolved = realpath(dirPath.c_str(), nullptr);
    const std::string text = resolved != nullptr ? resolved : dirPath;
    std::free(resolved);
    return text;
}

void TestDatabase::recordKeys() const {
    const char* keysFile = std::getenv("ORV_IPC_KEYS_FILE");
    if (keysFile == nullptr || *keysFile == '\0') {
        return;
    }
    // One write with O_APPEND: the tests of a run append in parallel.
    std::string lines;
    for (int set = 0; set < NUMBER_OF_SETS; ++set) {
        char line[32];
        std::snprintf(line, sizeof(line), "0x%08x ", static_cast<unsigned>(key(set)));
        lines += line + resolvedPath() + "\n";
    }
    const int fd = open(keysFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error(std::string("cannot record keys in ") + keysFile + ": " +
                                 std::strerror(errno));
    }
    const ssize_t written = write(fd, lines.data(), lines.size());
    close(fd);
    if (written != static_cast<ssize_t>(lines.size())) {
        throw std::runtime_error(std::string("cannot record keys in ") + keysFile);
    }
}

TestDatabase::~TestDatabase() {
    cleanup();
    if (getpid() != ownerPid) {
        // A child that runs destructors must not take the directory away from
        // the process that owns it.
        (void)dir.release();
    }
}

const std::string& TestDatabase::path() const {
    return dirPath;
}

std::string TestDatabase::file(const std::string& name) const {
    return dirPath + "/" + name;
}

void TestDatabase::activate() const {
    setenv("ORV_DATABASE_PATH", dirPath.c_str(), 1);
}

key_t TestDatabase::key(int set) const {
    return ftok(dirPath.c_str(), set);
}

int TestDatabase::segmentId(int set) const {
    const key_t setKey = key(set);
    if (setKey == static_cast<key_t>(-1)) {
        return -1;
    }
    return shmget(setKey, 0, 0);
}

void TestDatabase::registerSemaphore(int semaphoreId) {
    if (semaphoreId >= 0 && std::find(extraSemaphores.begin(), extraSemaphores.end(),
                                      semaphoreId) == extraSemaphores.end()) {
        extraSemaphores.push_back(semaphoreId);
    }
}

void TestDatabase::cleanup() {
    if (cleanedUp || getpid() != ownerPid) {
        return;
    }
    cleanedUp = true;
    for (int set = 0; set < NUMBER_OF_SETS; ++set) {
        const int shmId = segmentId(set);
        if (shmId < 0) {
            continue;
        }
        const int latchId = latchIdOf(shmId);
        // A set whose latch was never initialised holds 0 there, and 0 is also
        // the id of the first semaphore set made on the machine. Set 0 is
        // removed only if it did not exist when this object was made.
        const bool mayRemove = latchId > 0 || (latchId == 0 && !semaphoreZeroExisted);
        if (mayRemove && looksLikeLatch(latchId)) {
            semctl(latchId, 0, IPC_RMID);
        }
        shmctl(shmId, IPC_RMID, nullptr);
    }
    for (int semaphoreId : extraSemaphores) {
        if (looksLikeLatch(semaphoreId)) {
            semctl(semaphoreId, 0, IPC_RMID);
        }
    }
    extraSemaphores.clear();
    if (hadPreviousPath) {
        setenv("ORV_DATABASE_PATH", previousPath.c_str(), 1);
    } else {
        unsetenv("ORV_DATABASE_PATH");
    }
}

} // namespace orvtest
