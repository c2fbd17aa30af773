#include "buffer/OrvBufferPoolCheck.h"

#include "buffer/OrvBufferPool.h"
#include "buffer/OrvPageFrame.h"
#include "support/OrvTrace.h"

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// Walks every list of one structure (hash table or LRU list) given as an
// array of links with `entries` entries of which the first ORV_BM_NUM_PAGES
// are frames. Fills listOf[f] with the head of the list frame f lies on.
// Returns "" or the first problem. A cycle that misses its head meets a frame
// a second time, so every walk ends.
template <typename Entry>
std::string checkLists(const char* name, const Entry* links, Uint16 entries,
                       std::vector<Uint16>& listOf) {
    const Uint16 unset = entries;
    listOf.assign(ORV_BM_NUM_PAGES, unset);
    for (Uint16 head = ORV_BM_NUM_PAGES; head < entries; ++head) {
        Uint16 previous = head;
        Uint16 current = links[head].next;
        for (;;) {
            if (current >= entries) {
                return std::string(name) + ": entry " + std::to_string(previous) + " links to " +
                       std::to_string(current) + ", outside the table";
            }
            if (links[current].prev != previous) {
                return std::string(name) + ": entry " + std::to_string(current) + " has prev " +
                       std::to_string(links[current].prev) + " but follows " +
                       std::to_string(previous);
            }
            if (current == head) {
                break;
            }
            if (current >= ORV_BM_NUM_PAGES) {
                return std::string(name) + ": the list of head " + std::to_string(head) +
                       " runs into head " + std::to_string(current);
            }
            if (listOf[current] != unset) {
                return std::string(name) + ": frame " + std::to_string(current) +
                       " is met twice (lists of heads " + std::to_string(listOf[current]) +
                       " and " + std::to_string(head) + ")";
            }
            listOf[current] = head;
            previous = current;
            current = links[current].next;
        }
    }
    for (Uint16 frame = 0; frame < ORV_BM_NUM_PAGES; ++frame) {
        if (listOf[frame] == unset) {
            return std::string(name) + ": frame " + std::to_string(frame) + " is on no list";
        }
    }
    return std::string();
}

template <typename Entry>
std::vector<Uint16> walk(const Entry* links, Uint16 entries, Uint16 head, bool& complete) {
    std::vector<Uint16> result;
    complete = false;
    if (head >= entries) {
        return result;
    }
    Uint16 current = links[head].next;
    while (current < entries && current != head && result.size() < ORV_BM_NUM_PAGES) {
        result.push_back(current);
        current = links[current].next;
    }
    complete = current == head;
    return result;
}

std::string frameText(Uint16 frame, const OrvPage& page) {
    return "frame " + std::to_string(frame) + " (segment " +
           std::to_string(OrvPageFrame::segmentOf(page)) + ", page " +
           std::to_string(OrvPageFrame::pageOf(page)) + ")";
}

} // namespace

std::string OrvBufferPoolCheck::check(const OrvBMHash& hash, const OrvLRU& lru,
                                      const OrvPage* frames) {
    ORV_TRACE(BufferManager);
    if (frames == nullptr) {
        return "no frames given";
    }
    std::vector<Uint16> bucketOf;
    std::string problem = checkLists("hash", hash.hashArray, OrvBMHash::NUM_ENTRIES, bucketOf);
    if (!problem.empty()) {
        return problem;
    }
    std::vector<Uint16> lruListOf;
    problem = checkLists("LRU", lru.lru, OrvLRU::NUM_ENTRIES, lruListOf);
    if (!problem.empty()) {
        return problem;
    }

    std::set<std::pair<SegmentId, PageId>> held;
    for (Uint16 frame = 0; frame < ORV_BM_NUM_PAGES; ++frame) {
        const OrvPage& page = frames[frame];
        const SegmentId segment = OrvPageFrame::segmentOf(page);
        const bool free = bucketOf[frame] == OrvBMHash::FREE_LIST_HEAD;
        const bool empty = lruListOf[frame] == OrvLRU::EMPTY_LIST_HEAD;
        if (segment == 0) {
            if (!free) {
                return frameText(frame, page) + " is empty but in hash bucket " +
                       std::to_string(bucketOf[frame] - OrvBMHash::FIRST_BUCKET_HEAD);
            }
            if (!empty) {
                return frameText(frame, page) + " is empty but on the LRU's used list";
            }
            if (OrvPageFrame::fixCountOf(page) != 0 || OrvPageFrame::dirtyByteOf(page) != 0) {
                return frameText(frame, page) + " is empty but fixed or dirty";
            }
            continue;
        }
        if (free) {
            return frameText(frame, page) + " holds a page but is on the hash's free list";
        }
        if (empty) {
            return frameText(frame, page) + " holds a page but is on the LRU's empty list";
        }
        const Uint16 bucket = static_cast<Uint16>(
            OrvBMHash::FIRST_BUCKET_HEAD + OrvPageFrame::pageOf(page) % ORV_BM_NUM_HASH_BUCKETS);
        if (bucketOf[frame] != bucket) {
            return frameText(frame, page) + " is in bucket head " +
                   std::to_string(bucketOf[frame]) + " instead of " + std::to_string(bucket);
        }
        if (!held.insert(std::make_pair(segment, OrvPageFrame::pageOf(page))).second) {
            return frameText(frame, page) + " holds a page that another frame holds too";
        }
        if (OrvPageFrame::dirtyByteOf(page) > 1) {
            return frameText(frame, page) + " has a dirty flag that is neither 0 nor 1";
        }
    }
    return std::string();
}

std::vector<Uint16> OrvBufferPoolCheck::hashList(const OrvBMHash& hash, Uint16 head,
                                                 bool& complete) {
    ORV_TRACE(BufferManager);
    return walk(hash.hashArray, OrvBMHash::NUM_ENTRIES, head, complete);
}

std::vector<Uint16> OrvBufferPoolCheck::lruList(const OrvLRU& lru, Uint16 head, bool& complete) {
    ORV_TRACE(BufferManager);
    return walk(lru.lru, OrvLRU::NUM_ENTRIES, head, complete);
}

std::string OrvBufferPoolCheck::checkFixers(const OrvBufferFixer* fixers, const OrvPage* frames,
                                            bool complete) {
    ORV_TRACE(BufferManager);
    std::vector<Uint32> recorded(ORV_BM_NUM_PAGES, 0);
    for (Uint32 i = 0; i < ORV_BM_FIXERS; ++i) {
        const OrvBufferFixer& fixer = fixers[i];
        const std::string where = "fixer " + std::to_string(i);
        if (fixer.pid == 0) {
            if (fixer.used != 0 || fixer.untracked != 0) {
                return where + " is free but records fixes";
            }
            continue;
        }
        for (Uint32 j = i + 1; j < ORV_BM_FIXERS; ++j) {
            if (fixers[j].pid == fixer.pid && fixers[j].startTime == fixer.startTime) {
                return where + " and fixer " + std::to_string(j) + " name one process";
            }
        }
        if (fixer.used > ORV_BM_FIXES_PER_FIXER) {
            return where + " uses " + std::to_string(fixer.used) + " entries";
        }
        if (complete && fixer.untracked != 0) {
            return where + " holds fixes it did not record";
        }
        std::vector<bool> seen(ORV_BM_NUM_PAGES, false);
        for (Uint32 j = 0; j < fixer.used; ++j) {
            const OrvBufferFix fix = fixer.fixes[j];
            if (fix.frame >= ORV_BM_NUM_PAGES || fix.count == 0) {
                return where + " entry " + std::to_string(j) + " is out of range";
            }
            if (seen[fix.frame]) {
                return where + " names frame " + std::to_string(fix.frame) + " twice";
            }
            seen[fix.frame] = true;
            if (OrvPageFrame::segmentOf(frames[fix.frame]) == 0) {
                return where + " fixes the empty frame " + std::to_string(fix.frame);
            }
            recorded[fix.frame] += fix.count;
        }
    }
    for (Uint16 frame = 0; frame < ORV_BM_NUM_PAGES; ++frame) {
        const Uint32 count = OrvPageFrame::fixCountOf(frames[frame]);
        if (count < recorded[frame] || (complete && count != recorded[frame])) {
            return "frame " + std::to_string(frame) + " has " + std::to_string(count) +
                   " fixes, the fixers record " + std::to_string(recorded[frame]);
        }
    }
    return "";
}
