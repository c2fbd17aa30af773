// The buffer pool dumps and the debug command "BM_STATS".
//
// Each dump is built in a string first and written at its end, so that a
// corrupt list (ORV_INTERNAL_FAIL) leaves no half dump on the output.
#include "OrvBuffer.h"

#include "OrvDebug.h"
#include "OrvException.h"
#include "buffer/OrvBMHash.h"
#include "buffer/OrvBufferPool.h"
#include "buffer/OrvLRU.h"
#include "support/OrvLatch.h"
#include "support/OrvTrace.h"

#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Rows between two repetitions of a table's header lines.
constexpr Uint32 ROWS_PER_HEADER = 50;

const std::string EQUALS_LINE(75, '=');
const std::string DASHES_LINE(75, '-');

// Right-aligned in a field of `width` characters.
template <typename T> std::string right(const T& value, int width) {
    std::ostringstream os;
    os << std::right << std::setw(width) << value;
    return os.str();
}

std::string number(Uint32 value, int width) {
    return right(value, width);
}

} // namespace

void OrvLRU::dump() const {
    ORV_TRACE(BufferManager);
    dump(std::cout);
}

void OrvLRU::dump(std::ostream& os) const {
    ORV_TRACE(BufferManager);
    checkPages();
    std::ostringstream out;
    out << " Content of the LRU list\n"
        << DASHES_LINE << "\n"
        << " Most-recently-used page is at the top of the list;\n"
        << " least-recently-used is at the bottom.\n"
        << DASHES_LINE << "\n";
    Uint32 rows = 0;
    for (Uint16 current = nextOf(USED_LIST_HEAD); current != USED_LIST_HEAD; ++rows) {
        if (current >= ORV_BM_NUM_PAGES || rows >= ORV_BM_NUM_PAGES) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        if (rows % ROWS_PER_HEADER == 0) {
            out << "Slot-in-LRU  SegmentId    PageId       Next\n"
                << "------------ ------------ ------------ ------------\n";
        }
        const Uint16 next = nextOf(current);
        out << number(current, 12) << " " << number(pages[current].getSegmentId(), 12) << " "
            << number(pages[current].getPageId(), 12) << " "
            << (next == USED_LIST_HEAD ? right("<end>", 12) : number(next, 12)) << "\n";
        current = next;
    }
    out << DASHES_LINE << "\n"
        << " All other slots between [0, " << ORV_BM_NUM_PAGES - 1 << "] are empty.\n";
    os << out.str();
}

void OrvBMHash::dump() const {
    ORV_TRACE(BufferManager);
    dump(std::cout);
}

void OrvBMHash::dump(std::ostream& os) const {
    ORV_TRACE(BufferManager);
    checkPages();
    std::ostringstream out;
    out << " Content of the Buffer Pool Hash\n" << DASHES_LINE << "\n";
    Uint32 rows = 0;
    for (Uint16 head = FIRST_BUCKET_HEAD; head < NUM_ENTRIES; ++head) {
        bool firstOfBucket = true;
        Uint32 rowsOfBucket = 0;
        for (Uint16 current = nextOf(head); current != head; ++rows, ++rowsOfBucket) {
            if (current >= ORV_BM_NUM_PAGES || rowsOfBucket >= ORV_BM_NUM_PAGES) {
                ORV_THROW(ORV_INTERNAL_FAIL);
            }
            if (rows % ROWS_PER_HEADER == 0) {
                out << "Bucket Slot-in-Hash SegmentId    PageId       Next\n"
                    << "------ ------------ ------------ ------------ ------------\n";
            }
            if (firstOfBucket) {
                out << number(head - FIRST_BUCKET_HEAD, 6) << " ";
                firstOfBucket = false;
            } else {
                out << "       ";
            }
            const Uint16 next = nextOf(current);
            out << number(current, 12) << " " << number(pages[current].getSegmentId(), 12) << " "
                << number(pages[current].getPageId(), 12) << " "
                << (next == head ? right("<end>", 12) : number(next, 12)) << "\n";
            current = next;
        }
    }
    out << DASHES_LINE << "\n"
        << " All other buckets between [1, " << ORV_BM_NUM_HASH_BUCKETS << "] are empty.\n";
    os << out.str();
}

void OrvBufferManager::dump(bool dumpLru, bool dumpHash, bool dumpPages, bool dumpHitRatio) const {
    ORV_TRACE(BufferManager);
    dump(std::cout, dumpLru, dumpHash, dumpPages, dumpHitRatio);
}

void OrvBufferManager::dump(std::ostream& os, bool dumpLru, bool dumpHash, bool dumpPages,
                            bool dumpHitRatio) const {
    ORV_TRACE(BufferManager);
    if (latch == nullptr || hash == nullptr || lru == nullptr || data == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    OrvScopedLatch scopedLatch(*latch, OrvLatch::Shared);
    std::ostringstream out;
    if (dumpLru) {
        out << EQUALS_LINE << "\n";
        lru->dump(out);
    }
    if (dumpHash) {
        out << EQUALS_LINE << "\n";
        hash->dump(out);
    }
    if (dumpPages) {
        out << EQUALS_LINE << "\n"
            << " Pages currently in buffer pool\n"
            << DASHES_LINE << "\n";
        Uint32 rows = 0;
        for (Uint16 frame = 0; frame < ORV_BM_NUM_PAGES; ++frame) {
            const OrvPage& page = data[frame];
            if (page.segmentId == 0) {
                continue;
            }
            if (rows % ROWS_PER_HEADER == 0) {
                out << "Slot-of-Page SegmentId    PageId       FixCount     LSN          Dirty\n"
                    << "------------ ------------ ------------ ------------ ------------ -----\n";
            }
            ++rows;
            out << number(frame, 12) << " " << number(page.segmentId, 12) << " "
                << number(page.pageId, 12) << " " << number(page.fixCount, 12) << " "
                << right(page.lsn.dump(), 12) << " " << right(page.dirty != 0 ? "true" : "false", 5)
                << "\n";
        }
        out << DASHES_LINE << "\n"
            << " All other slots between [0, " << ORV_BM_NUM_PAGES - 1 << "] are empty.\n";
    }
    if (dumpHitRatio) {
        // Read under the latch already held: the public getter would take it
        // a second time.
        const Uint32 allLogical = header->logicalReads;
        const Uint32 allPhysical = header->physicalReads;
        const float allRatio = orvBufferHitRatio(allLogical, allPhysical);
        out << EQUALS_LINE << "\n"
            << "Buffer Hit ratio for current transaction is " << getBufferHitRatio() << "\n"
            << "Logical reads this transaction: " << logicalReads << "\n"
            << "Physical reads this transaction: " << physicalReads << "\n"
            << "Buffer Hit ratio for all transactions is " << allRatio << "\n"
            << "Logical reads all transactions: " << allLogical << "\n"
            << "Physical reads all transactions: " << allPhysical << "\n";
    }
    out << EQUALS_LINE << "\n";
    os << out.str() << std::flush;
}

void OrvBufferManager::staticDumpLru() {
    ORV_TRACE(BufferManager);
    getInstance()->dump(true, false, false, false);
}

void OrvBufferManager::staticDumpHashMap() {
    ORV_TRACE(BufferManager);
    getInstance()->dump(false, true, false, false);
}

void OrvBufferManager::staticDumpPages() {
    ORV_TRACE(BufferManager);
    getInstance()->dump(false, false, true, false);
}

void OrvBufferManager::staticDumpHitRatio() {
    ORV_TRACE(BufferManager);
    getInstance()->dump(false, false, false, true);
}

void OrvBufferManager::debugStats(const std::string* args) {
    ORV_TRACE(BufferManager);
    // A debug command is called from a front end that expects no exception:
    // a failure is recorded and shown instead.
    try {
        const std::vector<std::string> words = OrvDebug::splitArguments(args);
        const std::string first = words.empty() ? std::string() : words.front();
        if (first == "pages") {
            staticDumpPages();
        } else if (first == "lru") {
            staticDumpLru();
        } else if (first == "hashmap") {
            staticDumpHashMap();
        } else {
            staticDumpHitRatio();
        }
    } catch (const OrvException& e) {
        e.print_message(std::cerr);
    } catch (const std::exception& e) {
        orvTrace.traceString(1, e.what());
        std::cerr << "BM_STATS: " << e.what() << std::endl;
    }
}

void OrvBufferManager::debugResetStats(const std::string* /*args*/) {
    ORV_TRACE(BufferManager);
    try {
        getInstance()->resetStatistics();
    } catch (const OrvException& e) {
        e.print_message(std::cerr);
    }
}
