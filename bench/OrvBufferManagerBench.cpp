// The buffer pool's main paths against the unit of the hot paths, a bare pair
// of semop calls (orvbench::semopPair), measured in the same run:
//
//   BM_LatchRoundTrip  get(Exclusive) + release(Exclusive) of a latch, the
//                      round trip that every buffer operation pays (the pool
//                      latch is a System V semaphore set)
//   BM_Hit             getPage + releasePage of a page in the pool (two
//                      latch round trips)
//   BM_Exchange        exchangePage from one page in the pool to the next
//                      (one latch round trip per step of a scan)
//   BM_Miss            getPage + releasePage of a page read from its file
//                      (the operating system's page cache is warm; the victim
//                      is clean)
//   BM_NewPage         getNewPage + releasePage (the file is asked whether the
//                      page exists; once the pool is full every new page
//                      writes a dirty victim)
//
// Each runs with one process and with two processes at once (the argument):
// a second process, forked before this one made any manager, runs the same
// operation in a loop while this one is measured. "ops/s" is the measured
// process's rate, "all ops/s" that of both together.
#include "OrvBuffer.h"
#include "OrvError.h"
#include "OrvException.h"
#include "file/OrvFileManager.h"
#include "support/OrvLatch.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <iostream>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr SegmentId HIT_SEGMENT = 1;
constexpr PageId HIT_PAGES = 64;
constexpr SegmentId MISS_SEGMENT = 2;
// Four times the pool: a page is always gone again before its next turn.
constexpr PageId MISS_PAGES = 4 * ORV_BM_NUM_PAGES;
// New pages go to fresh segments, one after the other, from these numbers on.
constexpr SegmentId FIRST_NEW_SEGMENT_MEASURED = 1000;
constexpr SegmentId FIRST_NEW_SEGMENT_SECOND = 2000;
constexpr PageId NEW_PAGES_PER_SEGMENT = 8000;

enum Operation : char {
    Latch = 'L',
    Hit = 'H',
    Exchange = 'E',
    Miss = 'M',
    NewPage = 'N',
    Quit = 'Q'
};

// Shared with the second process (an anonymous shared mapping made before
// the fork).
struct Control {
    std::atomic<int> stop;
    std::atomic<long> count;
    std::atomic<int> failed;
    OrvLatch latch;
};

Control* control = nullptr;
int toSecond[2];
int fromSecond[2];
pid_t second = -1;
std::string directory;

// The state of one process's loops.
struct Worker {
    PageId hitPage = 0;
    PageId missPage = 0;
    SegmentId newSegment = 0;
    PageId newPage = NEW_PAGES_PER_SEGMENT;
    OrvPage* held = nullptr; // the page an exchange loop holds between steps

    void latchRoundTrip() {
        if (control->latch.get(OrvLatch::Exclusive) != ORV_SUCCESS ||
            control->latch.release(OrvLatch::Exclusive) != ORV_SUCCESS) {
            throw std::runtime_error("latch failed");
        }
    }
    void hit() {
        OrvBufferManager* bm = OrvBufferManager::getInstance();
        OrvPage* page = nullptr;
        bm->getPage(HIT_SEGMENT, hitPage, OrvPage::DataPage, page);
        bm->releasePage(page);
        hitPage = static_cast<PageId>((hitPage + 1) % HIT_PAGES);
    }
    void exchange() {
        OrvBufferManager* bm = OrvBufferManager::getInstance();
        if (held == nullptr) {
            bm->getPage(HIT_SEGMENT, hitPage, OrvPage::DataPage, held);
        } else {
            bm->exchangePage(held, HIT_SEGMENT, hitPage, OrvPage::DataPage);
        }
        hitPage = static_cast<PageId>((hitPage + 1) % HIT_PAGES);
    }
    void releaseHeld() {
        if (held != nullptr) {
            OrvBufferManager::getInstance()->releasePage(held);
        }
    }
    void miss() {
        OrvBufferManager* bm = OrvBufferManager::getInstance();
        OrvPage* page = nullptr;
        bm->getPage(MISS_SEGMENT, missPage, OrvPage::DataPage, page);
        bm->releasePage(page);
        missPage = static_cast<PageId>((missPage + 1) % MISS_PAGES);
    }
    // False when the next new page needs a new segment (made outside the
    // timing: the creation of a file is not what is measured).
    bool newPageFits() const { return newPage < NEW_PAGES_PER_SEGMENT; }
    void startSegment(SegmentId first) {
        OrvBufferManager* bm = OrvBufferManager::getInstance();
        newSegment = newSegment == 0 ? first : static_cast<SegmentId>(newSegment + 1);
        bm->createSegment(newSegment);
        bm->openSegment(newSegment);
        bm->commit();
        newPage = 0;
    }
    void createPage() {
        OrvBufferManager* bm = OrvBufferManager::getInstance();
        OrvPage* page = nullptr;
        bm->getNewPage(newSegment, newPage, OrvPage::DataPage, page);
        bm->releasePage(page);
        ++newPage;
    }
    void openSegments() {
        OrvBufferManager* bm = OrvBufferManager::getInstance();
        bm->openSegment(HIT_SEGMENT);
        bm->openSegment(MISS_SEGMENT);
    }
};

void runOnce(Worker& worker, Operation operation, SegmentId firstNewSegment) {
    switch (operation) {
    case Latch:
        worker.latchRoundTrip();
        break;
    case Hit:
        worker.hit();
        break;
    case Exchange:
        worker.exchange();
        break;
    case Miss:
        worker.miss();
        break;
    case NewPage:
        if (!worker.newPageFits()) {
            worker.startSegment(firstNewSegment);
        }
        worker.createPage();
        break;
    default:
        break;
    }
}

// The second process: runs the operation it is told until told to stop.
int secondProcess() {
    Worker worker;
    char operation = 0;
    while (::read(toSecond[0], &operation, 1) == 1 && operation != Quit) {
        try {
            if (operation != Latch) {
                worker.openSegments();
            }
            while (control->stop.load() == 0) {
                runOnce(worker, static_cast<Operation>(operation), FIRST_NEW_SEGMENT_SECOND);
                control->count.fetch_add(1);
            }
            worker.releaseHeld();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "second process: %s\n", e.what());
            control->failed = 1;
            control->count.fetch_add(1); // lets the waiting process go on
            while (control->stop.load() == 0) {
                usleep(1000);
            }
        }
        char done = 1;
        if (::write(fromSecond[1], &done, 1) != 1) {
            return 1;
        }
    }
    OrvBufferManager::deleteInstance();
    OrvFileManager::deleteInstance();
    return 0;
}

void measure(benchmark::State& state, Operation operation) {
    static Worker worker;
    const bool twoProcesses = state.range(0) == 2;
    try {
        if (operation != Latch) {
            worker.openSegments();
        }
        if (operation == NewPage && !worker.newPageFits()) {
            worker.startSegment(FIRST_NEW_SEGMENT_MEASURED);
        }
        if (twoProcesses) {
            control->stop = 0;
            control->count = 0;
            char command = operation;
            if (::write(toSecond[1], &command, 1) != 1) {
                state.SkipWithError("cannot reach the second process");
                return;
            }
            while (control->count.load() == 0) {
                sched_yield();
            }
        }
        const long countBefore = control->count.load();
        const long semopsBefore = orvbench::semopCalls;
        const auto start = std::chrono::steady_clock::now();
        for (auto _ : state) {
            if (operation == NewPage && !worker.newPageFits()) {
                state.PauseTiming();
                worker.startSegment(FIRST_NEW_SEGMENT_MEASURED);
                state.ResumeTiming();
            }
            runOnce(worker, operation, FIRST_NEW_SEGMENT_MEASURED);
        }
        // This process's calls only: the second process counts its own.
        const long semopsAfter = orvbench::semopCalls;
        worker.releaseHeld();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const long countAfter = control->count.load();
        if (twoProcesses) {
            control->stop = 1;
            char done = 0;
            if (::read(fromSecond[0], &done, 1) != 1 || control->failed.load() != 0) {
                state.SkipWithError("the second process failed");
                return;
            }
        }
        const double others = twoProcesses ? static_cast<double>(countAfter - countBefore) : 0.0;
        state.counters["semop/op"] = benchmark::Counter(
            static_cast<double>(semopsAfter - semopsBefore) /
            static_cast<double>(state.iterations() > 0 ? state.iterations() : 1));
        state.counters["ops/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate);
        state.counters["all ops/s"] =
            benchmark::Counter((static_cast<double>(state.iterations()) + others) / seconds);
    } catch (const OrvException& e) {
        e.print_message(std::cerr);
        state.SkipWithError("buffer operation failed");
    }
}

void BM_LatchRoundTrip(benchmark::State& state) {
    measure(state, Latch);
}
void BM_Hit(benchmark::State& state) {
    measure(state, Hit);
}
void BM_Exchange(benchmark::State& state) {
    measure(state, Exchange);
}
void BM_Miss(benchmark::State& state) {
    measure(state, Miss);
}
void BM_NewPage(benchmark::State& state) {
    measure(state, NewPage);
}
// Wall-clock time: with two processes much of it is spent waiting for the
// latch, which costs no processor time.
BENCHMARK(orvbench::semopPair);
BENCHMARK(BM_LatchRoundTrip)->ArgName("processes")->Arg(1)->Arg(2)->UseRealTime();
BENCHMARK(BM_Hit)->ArgName("processes")->Arg(1)->Arg(2)->UseRealTime();
BENCHMARK(BM_Exchange)->ArgName("processes")->Arg(1)->Arg(2)->UseRealTime();
BENCHMARK(BM_Miss)->ArgName("processes")->Arg(1)->Arg(2)->UseRealTime();
BENCHMARK(BM_NewPage)->ArgName("processes")->Arg(1)->Arg(2)->UseRealTime();

// The segments of the hit and miss loops, made through the pool.
void makeSegments() {
    OrvBufferManager* bm = OrvBufferManager::getInstance();
    const SegmentId segments[2] = {HIT_SEGMENT, MISS_SEGMENT};
    const PageId pages[2] = {HIT_PAGES, MISS_PAGES};
    for (int i = 0; i < 2; ++i) {
        bm->createSegment(segments[i]);
        bm->openSegment(segments[i]);
        for (PageId p = 0; p < pages[i]; ++p) {
            OrvPage* page = nullptr;
            bm->getNewPage(segments[i], p, OrvPage::DataPage, page);
            // A page that is all zeros on disk (page 0 with LSN 0,0) is taken
            // for a hole in the file, so every page carries one byte.
            page->getPageData()[sizeof(OrvPageHeader)] = 1;
            bm->markPageAsModified(*page);
            bm->releasePage(page);
        }
    }
    bm->commit();
    bm->flushAll();
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

} // namespace

int main(int argc, char** argv) {
    OrvError error;
    directory = orvbench::makeDatabaseDirectory();
    void* shared =
        mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED || pipe(toSecond) != 0 || pipe(fromSecond) != 0) {
        std::perror("setup");
        return 1;
    }
    control = static_cast<Control*>(shared);
    int rc = 0;
    try {
        OrvBufferManager::initializeBuffer();
        if (control->latch.initialize() != ORV_SUCCESS) {
            throw std::runtime_error("latch");
        }
        // The second process is forked before this one makes any manager.
        second = fork();
        if (second == 0) {
            _exit(secondProcess());
        }
        makeSegments();
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    } catch (const OrvException& e) {
        e.print(std::cerr);
        rc = 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        rc = 1;
    }
    if (second > 0) {
        char quit = Quit;
        if (::write(toSecond[1], &quit, 1) != 1) {
            kill(second, SIGKILL);
        }
        waitpid(second, nullptr, 0);
    }
    try {
        OrvBufferManager::deleteInstance();
        OrvFileManager::deleteInstance();
        OrvBufferManager::destroyBuffer(true);
    } catch (const OrvException& e) {
        e.print(std::cerr);
    }
    (void)control->latch.destroy(true);
    nftw(directory.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    return rc;
}
