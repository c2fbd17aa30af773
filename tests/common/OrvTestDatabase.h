// A database directory of its own for one test, and the removal of every
// shared memory set and semaphore set the test made in it.
//
// The default constructor makes a fresh directory under /tmp whose three set keys
// (ftok(dir, 0..2)) name no existing shared memory segment, and points
// ORV_DATABASE_PATH at it for the whole process. Destruction (or cleanup())
// removes the segments of those keys that exist, with the latch semaphore set
// whose id lies at the start of each segment's data (segment start + DATA_OFFSET; only
// a set with a private key and three semaphores; id 0, which a never
// initialised latch also shows, only if set 0 did not exist at construction), and
// the semaphore sets registered with registerSemaphore; then it restores
// ORV_DATABASE_PATH and removes the directory. This happens also when the test
// failed, as long as the process that made the object ends normally.
//
// Every key of the directory, with the resolved directory, is appended to the
// file named by ORV_IPC_KEYS_FILE (when set; CTest sets it), so that the run's
// leak check can look for sets of the tests' own directories and ignore
// everything else on the machine.
//
// Use as a member of a gtest fixture (made before SetUp, removed after
// TearDown) or as a local. A forked child inherits the object but never
// cleans up: only the process that made it does.
#ifndef ORV_TEST_DATABASE_H
#define ORV_TEST_DATABASE_H

#include "OrvTestSupport.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace orvtest {

class TestDatabase {
public:
    TestDatabase();
    // Adopts an existing directory that the caller made and removes itself
    // (its keys need not be free: two adopted directories may share them).
    // The sets under its keys are removed as above; the directory stays.
    explicit TestDatabase(const std::string& existingDirectory);
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    const std::string& path() const;
    std::string file(const std::string& name) const;

    // Points ORV_DATABASE_PATH at this directory again (after a test changed it,
    // or to switch between two TestDatabase objects).
    void activate() const;

    // The key of memory set `set` (0, 1 or 2) in this directory.
    key_t key(int set) const;
    // The id of the existing segment of `set`, or -1 when there is none.
    int segmentId(int set) const;

    // A semaphore set the test made itself (a latch outside the memory sets),
    // removed with the rest. Ids below 0 are ignored.
    void registerSemaphore(int semaphoreId);

    // Removes the sets now (see above) and restores ORV_DATABASE_PATH; does
    // nothing in any process other than the one that made the object, and
    // nothing the second time. The directory stays until destruction.
    void cleanup();

private:
    void recordKeys() const;
    // The last step of both constructors: record the keys for the leak
    // check, remember the previous ORV_DATABASE_PATH and point it here.
    void takeOver();
    std::string resolvedPath() const;

    std::unique_ptr<TempDir> dir;
    std::string dirPath;
    pid_t ownerPid;
    bool semaphoreZeroExisted;
    bool cleanedUp = false;
    bool hadPreviousPath = false;
    std::string previousPath;
    std::vector<int> extraSemaphores;
};

// True if a semaphore set with this id exists.
bool semaphoreSetExists(int semaphoreId);

} // namespace orvtest

#endif
