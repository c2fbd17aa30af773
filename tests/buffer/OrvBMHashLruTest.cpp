// The hash table and the LRU list over frames of the test's own (not in a
// shared pool), against the listed orders and against a simple model of both
// structures under random sequences of operations.
#include "buffer/OrvBMHash.h"
#include "buffer/OrvBufferPoolCheck.h"
#include "buffer/OrvLRU.h"
#include "buffer/OrvPageFrame.h"

#include "OrvException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <map>
#include <random>
#include <vector>

namespace {

constexpr Uint16 FREE = OrvBMHash::FREE_LIST_HEAD;
constexpr Uint16 EMPTY = OrvLRU::EMPTY_LIST_HEAD;
constexpr Uint16 USED = OrvLRU::USED_LIST_HEAD;

Uint16 bucketHead(PageId page) {
    return static_cast<Uint16>(OrvBMHash::FIRST_BUCKET_HEAD + page % ORV_BM_NUM_HASH_BUCKETS);
}

template <typename F> OrvErrorCode codeOf(F&& f) {
    try {
        f();
    } catch (const OrvException& e) {
        return e.getErrorCode();
    }
    return ORV_SUCCESS;
}

class HashLruTest : public ::testing::Test {
protected:
    void SetUp() override {
        storage.assign(ORV_BM_NUM_PAGES * sizeof(OrvPage) / sizeof(Uint64) + 1, 0);
        frames = reinterpret_cast<OrvPage*>(storage.data());
        OrvBMHash::setPagesPointer(frames);
        OrvLRU::setPagesPointer(frames);
        hash.initialize();
        lru.initialize();
    }

    std::vector<Uint16> hashList(Uint16 head) const {
        bool complete = false;
        std::vector<Uint16> list = OrvBufferPoolCheck::hashList(hash, head, complete);
        EXPECT_TRUE(complete) << "hash list of head " << head;
        return list;
    }
    std::vector<Uint16> lruList(Uint16 head) const {
        bool complete = false;
        std::vector<Uint16> list = OrvBufferPoolCheck::lruList(lru, head, complete);
        EXPECT_TRUE(complete) << "LRU list of head " << head;
        return list;
    }
    std::string check() const { return OrvBufferPoolCheck::check(hash, lru, frames); }

    // The way the buffer manager loads a page into the first empty frame.
    Uint16 load(SegmentId segment, PageId page) {
        Uint16 frame = lru.getFreeSlot();
        OrvPageFrame::assign(frames[frame], segment, page);
        lru.insert(frame);
        hash.insert(frame);
        return frame;
    }

    // Raw entry of a structure, as it lies in memory (entry i at byte 4*i).
    static Uint16* rawEntry(void* structure, Uint16 index) {
        return reinterpret_cast<Uint16*>(static_cast<char*>(structure) + 4 * index);
    }

    std::vector<Uint64> storage;
    OrvPage* frames = nullptr;
    OrvBMHash hash;
    OrvLRU lru;
};

std::vector<Uint16> ascending(Uint16 from, Uint16 to) {
    std::vector<Uint16> v;
    for (Uint16 i = from; i < to; ++i) {
        v.push_back(i);
    }
    return v;
}

} // namespace

TEST_F(HashLruTest, FreshStructuresHoldEveryFrameUntilAllAreLoaded) {
    EXPECT_EQ(ascending(0, ORV_BM_NUM_PAGES), hashList(FREE));
    EXPECT_EQ(ascending(0, ORV_BM_NUM_PAGES), lruList(EMPTY));
    EXPECT_TRUE(lruList(USED).empty());
    for (Uint16 head = OrvBMHash::FIRST_BUCKET_HEAD; head < OrvBMHash::NUM_ENTRIES; ++head) {
        EXPECT_TRUE(hashList(head).empty());
    }
    EXPECT_EQ(0, lru.getFreeSlot());
    EXPECT_FALSE(lru.isFull());
    EXPECT_EQ("", check());

    for (Uint16 i = 0; i < ORV_BM_NUM_PAGES; ++i) {
        ASSERT_EQ(i, lru.getFreeSlot());
        load(1, i);
    }
    EXPECT_EQ(EMPTY, lru.getFreeSlot());
    EXPECT_TRUE(lru.isFull());
    EXPECT_TRUE(hashList(FREE).empty());
    EXPECT_EQ("", check());
    // The hash's free list is empty, so no further frame can be inserted.
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { hash.insert(0); }));
}

TEST_F(HashLruTest, UsedListOrderAfterInsertTouchAndVictimChoice) {
    load(1, 10);
    load(1, 11);
    load(1, 12);
    EXPECT_EQ((std::vector<Uint16>{2, 1, 0}), lruList(USED));
    lru.touch(0);
    EXPECT_EQ((std::vector<Uint16>{0, 2, 1}), lruList(USED));
    lru.touch(0); // already first: nothing moves
    EXPECT_EQ((std::vector<Uint16>{0, 2, 1}), lruList(USED));

    // The least recently used unfixed frame goes, to the front of the empty list.
    OrvPageFrame::setFixCount(frames[1], 1);
    Uint16 victim = 999;
    lru.remove(victim);
    EXPECT_EQ(2, victim);
    EXPECT_EQ((std::vector<Uint16>{0, 1}), lruList(USED));
    EXPECT_EQ(2, lruList(EMPTY).front());

    OrvPageFrame::setFixCount(frames[1], 0);
    lru.remove(victim);
    EXPECT_EQ(1, victim);
    std::vector<Uint16> empty = lruList(EMPTY);
    EXPECT_EQ((std::vector<Uint16>{1, 2, 3, 4}),
              std::vector<Uint16>(empty.begin(), empty.begin() + 4));
}

TEST_F(HashLruTest, VictimChoiceWithEveryFrameFixedChangesNothing) {
    Uint16 victim = 7;
    EXPECT_EQ(ORV_NOT_FOUND_WARN, codeOf([&] { lru.remove(victim); })); // nothing used
    for (Uint16 i = 0; i < 5; ++i) {
        OrvPageFrame::setFixCount(frames[load(1, i)], 1);
    }
    std::vector<Uint16> used = lruList(USED);
    std::vector<Uint16> empty = lruList(EMPTY);
    EXPECT_EQ(ORV_NOT_FOUND_WARN, codeOf([&] { lru.remove(victim); }));
    EXPECT_EQ(7, victim);
    EXPECT_EQ(used, lruList(USED));
    EXPECT_EQ(empty, lruList(EMPTY));
}

TEST_F(HashLruTest, PagesFiveAndTwoHundredFourShareABucket) {
    Uint16 fiveOfOne = load(1, 5);
    Uint16 fiveOfTwo = load(2, 5);
    Uint16 twoHundredFour = load(3, 204);
    EXPECT_EQ(998, bucketHead(5));
    EXPECT_EQ((std::vector<Uint16>{twoHundredFour, fiveOfTwo, fiveOfOne}), hashList(998));

    OrvPage* page = nullptr;
    Uint16 frame = 0;
    hash.get(2, 5, page, frame);
    EXPECT_EQ(fiveOfTwo, frame);
    EXPECT_EQ(&frames[fiveOfTwo], page);
    hash.get(1, 5, page, frame);
    EXPECT_EQ(fiveOfOne, frame);
    hash.get(3, 204, page, frame);
    EXPECT_EQ(twoHundredFour, frame);

    // Same bucket, no such page: not found, with page and segment as tokens.
    try {
        hash.get(1, 204, page, frame);
        FAIL() << "page 204 of segment 1 was found";
    } catch (const OrvException& e) {
        EXPECT_EQ(ORV_BM_PAGE_NOT_FOUND, e.getErrorCode());
        EXPECT_EQ("204", e.getToken(1));
        EXPECT_EQ("1", e.getToken(2));
        EXPECT_EQ(nullptr, page);
    }
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { hash.get(0, 5, page, frame); }));

    hash.remove(fiveOfTwo);
    EXPECT_EQ((std::vector<Uint16>{twoHundredFour, fiveOfOne}), hashList(998));
    EXPECT_EQ(fiveOfTwo, hashList(FREE).front());
}

TEST_F(HashLruTest, MisplacedRequestsFailWithoutChangingAnything) {
    Uint16 frame = load(1, 42);
    std::vector<char> before(sizeof(hash));
    std::memcpy(before.data(), &hash, sizeof(hash));
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { hash.insert(frame); })); // in a bucket already
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { hash.remove(5); }));     // on the free list
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { hash.insert(ORV_BM_NUM_PAGES); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { hash.remove(ORV_BM_NUM_PAGES); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { lru.insert(ORV_BM_NUM_PAGES); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { lru.touch(ORV_BM_NUM_PAGES + 1); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { lru.removeEntry(60000); }));
    EXPECT_EQ(0, std::memcmp(before.data(), &hash, sizeof(hash)));
    EXPECT_EQ("", check());
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([] { OrvBMHash::setPagesPointer(nullptr); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([] { OrvLRU::setPagesPointer(nullptr); }));
}

TEST_F(HashLruTest, CorruptLinksAreReportedNotFollowed) {
    Uint16 a = load(1, 3);
    Uint16 b = load(1, 202); // same bucket as page 3
    ASSERT_EQ("", check());

    // A link out of the table: lookups and moves fail instead of reading
    // outside the structure.
    Uint16 saved = rawEntry(&hash, b)[1];
    rawEntry(&hash, b)[1] = 5000;
    Uint16 frame = 0;
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { hash.find(1, 3, frame); }));
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { hash.remove(b); }));
    EXPECT_NE("", check());
    rawEntry(&hash, b)[1] = saved;
    ASSERT_EQ("", check());

    // A bucket that loops without its head.
    rawEntry(&hash, a)[1] = b;
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { hash.find(1, 99 * 199 + 3, frame); }));
    EXPECT_NE("", check());
    rawEntry(&hash, a)[1] = bucketHead(3);
    ASSERT_EQ("", check());

    // The empty list's head inside the used list.
    rawEntry(&lru, USED)[0] = EMPTY;
    Uint16 victim = 0;
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { lru.remove(victim); }));
    EXPECT_NE("", check());
}

TEST_F(HashLruTest, CheckerFindsFramesOutOfPlace) {
    Uint16 a = load(1, 3);
    load(2, 3);
    ASSERT_EQ("", check());

    OrvPageFrame::assign(frames[a], 1, 5); // page number no longer matches the bucket
    EXPECT_NE(std::string::npos, check().find("bucket"));
    OrvPageFrame::assign(frames[a], 2, 3); // the same page as another frame
    EXPECT_NE(std::string::npos, check().find("another frame"));
    OrvPageFrame::assign(frames[a], 0, 3); // empty but still in a bucket
    EXPECT_NE(std::string::npos, check().find("empty"));
    OrvPageFrame::assign(frames[a], 1, 3);
    ASSERT_EQ("", check());

    OrvPageFrame::setFixCount(frames[700], 1); // an empty frame that is fixed
    EXPECT_NE(std::string::npos, check().find("fixed or dirty"));
    OrvPageFrame::setFixCount(frames[700], 0);

    rawEntry(&lru, a)[0] = 17; // a prev link that does not name its predecessor
    EXPECT_NE(std::string::npos, check().find("prev"));
}

// A model of both structures: plain lists in the order the operations must
// leave them.
TEST_F(HashLruTest, RandomOperationsMatchAModel) {
    std::mt19937 random(20240611);
    std::list<Uint16> used; // most recently used first
    std::list<Uint16> emptyList = {};
    std::list<Uint16> freeList = {};
    std::map<Uint16, std::list<Uint16>> buckets;
    std::map<std::pair<SegmentId, PageId>, Uint16> where;
    for (Uint16 i = 0; i < ORV_BM_NUM_PAGES; ++i) {
        emptyList.push_back(i);
        freeList.push_back(i);
    }
    auto pick = [&](const std::list<Uint16>& list) {
        auto it = list.begin();
        std::advance(it, random() % list.size());
        return *it;
    };
    auto removeFrame = [&](Uint16 frame) {
        std::pair<SegmentId, PageId> key(OrvPageFrame::segmentOf(frames[frame]),
                                         OrvPageFrame::pageOf(frames[frame]));
        buckets[bucketHead(key.second)].remove(frame);
        where.erase(key);
        freeList.push_front(frame);
        used.remove(frame);
        emptyList.push_front(frame);
        OrvPageFrame::assign(frames[frame], 0, 0);
        OrvPageFrame::setFixCount(frames[frame], 0);
    };

    for (int step = 0; step < 6000; ++step) {
        const int op = random() % 10;
        if (op < 4) {
            // Load a page, as a miss does: an empty frame or a victim.
            std::pair<SegmentId, PageId> key(1 + random() % 3, random() % 600);
            if (where.count(key) != 0) {
                continue;
            }
            Uint16 frame = lru.getFreeSlot();
            if (frame == EMPTY) {
                auto victim = std::find_if(used.rbegin(), used.rend(), [&](Uint16 f) {
                    return OrvPageFrame::fixCountOf(frames[f]) == 0;
                });
                if (victim == used.rend()) {
                    ASSERT_EQ(ORV_NOT_FOUND_WARN, codeOf([&] { lru.remove(frame); }));
                    continue;
                }
                const Uint16 expected = *victim;
                lru.remove(frame);
                ASSERT_EQ(expected, frame);
                hash.remove(frame);
                // The model's removal (the LRU already moved it).
                used.remove(frame);
                emptyList.push_front(frame);
                buckets[bucketHead(OrvPageFrame::pageOf(frames[frame]))].remove(frame);
                where.erase(std::make_pair(OrvPageFrame::segmentOf(frames[frame]),
                                           OrvPageFrame::pageOf(frames[frame])));
                freeList.push_front(frame);
                OrvPageFrame::assign(frames[frame], 0, 0);
            }
            ASSERT_EQ(emptyList.front(), frame);
            OrvPageFrame::assign(frames[frame], key.first, key.second);
            lru.insert(frame);
            hash.insert(frame);
            emptyList.pop_front();
            used.push_front(frame);
            freeList.remove(frame);
            buckets[bucketHead(key.second)].push_front(frame);
            where[key] = frame;
        } else if (op < 6 && !used.empty()) {
            Uint16 frame = pick(used);
            lru.touch(frame);
            used.remove(frame);
            used.push_front(frame);
        } else if (op < 7 && !used.empty()) {
            // A segment drop's wipe of one frame.
            Uint16 frame = pick(used);
            hash.remove(frame);
            lru.removeEntry(frame);
            removeFrame(frame);
        } else if (op < 8 && !used.empty()) {
            OrvPageFrame::setFixCount(frames[pick(used)], static_cast<Uint16>(random() % 3));
        } else {
            std::pair<SegmentId, PageId> key(1 + random() % 3, random() % 600);
            Uint16 frame = 0;
            const bool found = hash.find(key.first, key.second, frame);
            ASSERT_EQ(where.count(key) != 0, found);
            if (found) {
                ASSERT_EQ(where[key], frame);
            }
        }

        ASSERT_EQ(std::vector<Uint16>(used.begin(), used.end()), lruList(USED)) << "step " << step;
        ASSERT_EQ(std::vector<Uint16>(emptyList.begin(), emptyList.end()), lruList(EMPTY));
        ASSERT_EQ(std::vector<Uint16>(freeList.begin(), freeList.end()), hashList(FREE));
        for (const auto& bucket : buckets) {
            ASSERT_EQ(std::vector<Uint16>(bucket.second.begin(), bucket.second.end()),
                      hashList(bucket.first));
        }
        ASSERT_EQ("", check()) << "step " << step;
    }
    EXPECT_GT(used.size(), 500u);
}
