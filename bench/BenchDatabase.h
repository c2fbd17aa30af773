// A database of the benchmark program's own: a fresh directory under /tmp
// that the program works in, with the lock list, buffer pool and log file
// handling area made for it. Destroying it removes the shared sets and the
// directory.
#ifndef ORV_BENCH_DATABASE_H
#define ORV_BENCH_DATABASE_H

#include "BenchSupport.h"

#include "OrvBuffer.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvSystem.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <utility>

namespace orvbench {

class Database {
public:
    Database() : directory(makeDatabaseDirectory()) { start(); }
    // In a directory the caller made (it is removed all the same).
    explicit Database(std::string existingDirectory) : directory(std::move(existingDirectory)) {
        setenv("ORV_DATABASE_PATH", directory.c_str(), 1);
        start();
    }
    ~Database() {
        OrvSystem::stopAllManagers();
        // Each set is removed even when another could not be.
        try {
            OrvLogManager::destroyLogFileHandling(true);
        } catch (const OrvException&) {
        }
        try {
            OrvBufferManager::destroyBuffer(true);
        } catch (const OrvException&) {
        }
        try {
            OrvLockManager::destroyLockList(true);
        } catch (const OrvException&) {
        }
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Bytes in the log files so far.
    std::uintmax_t logBytes() const {
        std::uintmax_t total = 0;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
            if (entry.path().extension() == ".log") {
                total += entry.file_size(error);
            }
        }
        return total;
    }

private:
    void start() {
        if (chdir(directory.c_str()) != 0) {
            std::perror("chdir");
            std::exit(1);
        }
        OrvLockManager::initializeLockList();
        OrvBufferManager::initializeBuffer();
        OrvLogManager::initializeLogFileHandling();
    }

    std::string directory;
};

} // namespace orvbench

#endif
