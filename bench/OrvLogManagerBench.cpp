// Appends through the log manager against the floor of its design: a bare
// open, append and close of the same number of bytes to a plain file.
//
// Every entry is in its log file when createLogEntry returns. The manager
// keeps the current log file open between entries, so beside the append it
// pays for the log latch (four semaphore operations), the file length for
// the LSN, the serialisation and its trace scopes, where the floor pays for
// an open and a close. Two sizes: record entries with two 100-byte images
// and index entries with two 4096-byte page images.
//
// The iteration counts are fixed, so that the log files stay small (the
// runs write some tens of MiB, removed at the end). Run with
// --benchmark_enable_random_interleaving=true on a busy machine, so that
// each entry benchmark and its floor see the same load.
#include "BenchSupport.h"
#include "OrvException.h"
#include "OrvLog.h"
#include "log/OrvIndexLogEntry.h"
#include "log/OrvRecordLogEntry.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int RECORD_ENTRIES = 20000;
constexpr int INDEX_ENTRIES = 4000;

// A database directory that is also the working (and so the log) directory,
// with the log file handling area created; all removed at the end.
class LogDatabase {
public:
    LogDatabase() {
        char pattern[] = "/tmp/orv-log-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) {
            std::perror("log bench directory");
            std::exit(1);
        }
        directory = pattern;
        setenv("ORV_DATABASE_PATH", directory.c_str(), 1);
        try {
            OrvLogManager::initializeLogFileHandling();
            OrvLogManager::getInstance();
        } catch (const OrvException& e) {
            e.print(std::cerr);
            std::exit(1);
        }
    }
    ~LogDatabase() {
        try {
            OrvLogManager::deleteInstance();
            OrvLogManager::destroyLogFileHandling(true);
        } catch (const OrvException& e) {
            e.print(std::cerr);
        }
        if (DIR* dir = opendir(directory.c_str())) {
            while (dirent* item = readdir(dir)) {
                std::string name = item->d_name;
                if (name != "." && name != "..") {
                    ::unlink((directory + "/" + name).c_str());
                }
            }
            closedir(dir);
        }
        if (chdir("/") == 0) {
            ::rmdir(directory.c_str());
        }
    }
    std::string directory;
};

LogDatabase& database() {
    static LogDatabase db;
    return db;
}

// The serialised length of the entry (and its line break), as written.
std::size_t lineLength(OrvAbstractLogEntry& entry) {
    std::string form;
    entry.serializeTo(form);
    return form.size() + 1;
}

void appendEntries(benchmark::State& state, OrvAbstractLogEntry& entry) {
    OrvLogManager* logManager = OrvLogManager::getInstance();
    std::size_t bytes = 0;
    for (auto _ : state) {
        try {
            OrvLsn lsn = logManager->createLogEntry(&entry);
            benchmark::DoNotOptimize(lsn);
        } catch (const OrvException& e) {
            state.SkipWithError(e.what());
            break;
        }
        bytes += static_cast<std::size_t>(entry.getLength()) + 1;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// open, write and close of `length` bytes in append mode, as the log manager
// does for every entry, without anything else.
void bareAppends(benchmark::State& state, std::size_t length, const char* name) {
    std::string path = database().directory + "/" + name;
    std::vector<char> bytes(length, 'x');
    bytes.back() = '\n';
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0660);
        if (fd < 0 || ::write(fd, bytes.data(), length) != static_cast<ssize_t>(length) ||
            ::close(fd) != 0) {
            state.SkipWithError("bare append failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}

OrvRecordLogEntry& recordEntry() {
    static std::string image(100, 'r');
    static TupleId tid(12, 3);
    static OrvRecordLogEntry entry(OrvTransactionId(), 5, image.data(), 100, image.data(), 100,
                                   UPDATE, &tid, nullptr, nullptr);
    return entry;
}

OrvIndexLogEntry& indexEntry() {
    static std::string before(4096, 'b');
    static std::string after(4096, 'a');
    static PageId page = 17;
    static OrvIndexLogEntry entry(OrvTransactionId(), &page, 32769, before.data(), 4096,
                                  after.data(), 4096, INTEGER_OPERATION);
    return entry;
}

void BM_RecordEntryAppend(benchmark::State& state) {
    database();
    appendEntries(state, recordEntry());
}
BENCHMARK(BM_RecordEntryAppend)->Iterations(RECORD_ENTRIES)->Repetitions(5);

void BM_RecordSizedBareAppend(benchmark::State& state) {
    database();
    recordEntry().setLsn(OrvLsn(1, 1000000));
    bareAppends(state, lineLength(recordEntry()), "bare-record");
}
BENCHMARK(BM_RecordSizedBareAppend)->Iterations(RECORD_ENTRIES)->Repetitions(5);

void BM_IndexEntryAppend(benchmark::State& state) {
    database();
    appendEntries(state, indexEntry());
}
BENCHMARK(BM_IndexEntryAppend)->Iterations(INDEX_ENTRIES)->Repetitions(5);

void BM_IndexSizedBareAppend(benchmark::State& state) {
    database();
    indexEntry().setLsn(OrvLsn(1, 1000000));
    bareAppends(state, lineLength(indexEntry()), "bare-index");
}
BENCHMARK(BM_IndexSizedBareAppend)->Iterations(INDEX_ENTRIES)->Repetitions(5);

} // namespace

BENCHMARK(orvbench::semopPair);
