// A fixture for tests that work on a database of their own: the test runs in
// the database's directory (so the log lies there too), and the lock list,
// buffer pool and log file handling area exist. No manager is left in the
// process after SetUp, so a test may fork engine processes first.
#ifndef ORV_ENGINE_TEST_H
#define ORV_ENGINE_TEST_H

#include "OrvTestDatabase.h"

#include "OrvBuffer.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvSystem.h"
#include "OrvTransaction.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <unistd.h>

namespace orvtest {

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        char buffer[4096];
        ASSERT_NE(nullptr, getcwd(buffer, sizeof(buffer)));
        oldDirectory = buffer;
        ASSERT_EQ(0, chdir(db.path().c_str()));
        startSets();
    }
    void TearDown() override {
        dropManagers();
        EXPECT_EQ(0, chdir(oldDirectory.c_str()));
    }

    // Makes the three shared memory sets of the database.
    static void startSets() {
        OrvLockManager::initializeLockList();
        OrvBufferManager::initializeBuffer();
        OrvLogManager::initializeLogFileHandling();
        OrvSystem::stopAllManagers();
    }
    // Deletes this process's managers and starts its transactions afresh.
    static void dropManagers() {
        OrvSystem::stopAllManagers();
        OrvTransactionManager::resetForProcess();
    }
    // A crash: the shared memory is thrown away, the pool unwritten; the
    // files and the log stay. Then the engine starts again.
    void crashAndRestart() {
        dropManagers();
        if (life) {
            life.reset();
        } else {
            db.cleanup();
        }
        life = std::make_unique<TestDatabase>(db.path());
        startSets();
    }

    TestDatabase db;
    // The sets made again after a crash (crashAndRestart), the directory
    // being db's.
    std::unique_ptr<TestDatabase> life;
    std::string oldDirectory;
};

} // namespace orvtest

#endif
