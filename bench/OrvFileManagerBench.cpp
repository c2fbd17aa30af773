// A page read and a page write through the file manager against a bare
// pread/pwrite of ORV_PAGE_SIZE bytes on the same file. Both work in the
// operating system's page cache; the difference is the manager's own cost
// (trace scopes, the size check by fstat, the fault hook test).
#include "file/OrvFileManager.h"

#include "OrvError.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr SegmentId SEGMENT = 1;
constexpr PageId PAGES = 64;

// A database directory with one open segment of PAGES pages.
class Database {
public:
    Database() {
        directory = orvbench::makeDatabaseDirectory();
        OrvFileManager* fm = OrvFileManager::getInstance();
        std::vector<char> page(ORV_PAGE_SIZE, 'b');
        if (fm->create(SEGMENT) != ORV_SUCCESS || fm->open(SEGMENT) != ORV_SUCCESS ||
            fm->write(SEGMENT, PAGES - 1, page.data()) != ORV_SUCCESS) {
            std::fprintf(stderr, "cannot set up the segment\n");
            std::exit(1);
        }
        path = directory + "/Seg1.orv";
        fd = ::open(path.c_str(), O_RDWR);
    }
    ~Database() {
        ::close(fd);
        OrvFileManager::deleteInstance();
        ::unlink(path.c_str());
        ::rmdir(directory.c_str());
    }
    std::string directory;
    std::string path;
    int fd;
};

Database& database() {
    static Database db;
    return db;
}

void BM_BarePread(benchmark::State& state) {
    int fd = database().fd;
    std::vector<char> buffer(ORV_PAGE_SIZE);
    PageId page = 0;
    for (auto _ : state) {
        if (::pread(fd, buffer.data(), ORV_PAGE_SIZE, static_cast<off_t>(page) * ORV_PAGE_SIZE) !=
            static_cast<ssize_t>(ORV_PAGE_SIZE)) {
            state.SkipWithError("pread failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
        page = static_cast<PageId>((page + 1) % PAGES);
    }
}
BENCHMARK(BM_BarePread);

void BM_FileManagerRead(benchmark::State& state) {
    database();
    OrvFileManager* fm = OrvFileManager::getInstance();
    std::vector<char> buffer(ORV_PAGE_SIZE);
    PageId page = 0;
    for (auto _ : state) {
        if (fm->read(SEGMENT, page, buffer.data()) != ORV_SUCCESS) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
        page = static_cast<PageId>((page + 1) % PAGES);
    }
}
BENCHMARK(BM_FileManagerRead);

void BM_BarePwrite(benchmark::State& state) {
    int fd = database().fd;
    std::vector<char> buffer(ORV_PAGE_SIZE, 'w');
    PageId page = 0;
    for (auto _ : state) {
        if (::pwrite(fd, buffer.data(), ORV_PAGE_SIZE, static_cast<off_t>(page) * ORV_PAGE_SIZE) !=
            static_cast<ssize_t>(ORV_PAGE_SIZE)) {
            state.SkipWithError("pwrite failed");
            break;
        }
        page = static_cast<PageId>((page + 1) % PAGES);
    }
}
BENCHMARK(BM_BarePwrite);

void BM_FileManagerWrite(benchmark::State& state) {
    database();
    OrvFileManager* fm = OrvFileManager::getInstance();
    std::vector<char> buffer(ORV_PAGE_SIZE, 'w');
    PageId page = 0;
    for (auto _ : state) {
        if (fm->write(SEGMENT, page, buffer.data()) != ORV_SUCCESS) {
            state.SkipWithError("write failed");
            break;
        }
        page = static_cast<PageId>((page + 1) % PAGES);
    }
}
BENCHMARK(BM_FileManagerWrite);

} // namespace
