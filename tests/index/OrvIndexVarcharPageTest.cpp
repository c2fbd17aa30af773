// Varchar leaf and node pages: a model test of random keys against a sorted
// multimap with the leaf's structure checker after every step, the capacity
// of both kinds (what fits and nothing more), refusals that change nothing,
// and changes logged as whole images that never put an LSN into the page.
#include "IndexTestSupport.h"

#include "index/OrvIndexVarcharTreeLeafPage.h"
#include "index/OrvIndexVarcharTreeNodePage.h"

#include <map>
#include <random>

namespace {

using namespace indextest;

OrvIndexKey text(const std::string& value) {
    OrvIndexKey k;
    k.dataType = VARCHAR;
    k.varcharKey = new char[value.size() + 1];
    std::memcpy(k.varcharKey, value.c_str(), value.size() + 1);
    k.ownChar = true;
    return k;
}

std::string liveBytes(const OrvIndexTreePage& page) {
    return std::string(page.image(), ORV_PAGE_SIZE);
}

class VarcharPageTest : public orvtest::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        OrvIndexBTree::createIndexSegment(TEST_INDEX);
        segment = OrvBufferManager::getInstance()->convertIndexIdToSegmentId(TEST_INDEX);
        OrvIndexFreeSpaceInventory::initialize(segment);
    }

    std::unique_ptr<OrvIndexTreePage> newLeaf() {
        return OrvIndexFreeSpaceInventory::getInstance()->getFreeLeafPage(segment, VARCHAR);
    }

    static void expectSound(const OrvIndexVarcharTreeLeafPage& leaf) {
        const std::vector<std::string> problems = leaf.leafView().problems();
        EXPECT_TRUE(problems.empty()) << problems.size() << " problems, first: " << problems[0];
    }

    SegmentId segment = 0;
};

// Keys of every shape that matters: empty, one byte, 255 bytes, bytes above
// 127, and a few texts sharing prefixes so that equal keys are frequent.
std::string randomText(std::mt19937& random) {
    switch (random() % 6) {
    case 0:
        return "";
    case 1:
        return std::string(1, char('a' + random() % 3));
    case 2:
        return std::string(255, char('a' + random() % 2));
    case 3:
        return std::string(1 + random() % 4, 'a') + std::string(random() % 3, 'b');
    case 4:
        return std::string("\xc3\xa9t\xc3\xa9") + std::string(random() % 2, ' ');
    default: {
        std::string value(random() % 40, 'x');
        for (char& c : value) {
            c = char(1 + random() % 255);
        }
        return value;
    }
    }
}

TEST_F(VarcharPageTest, LeafFollowsAMultimapModel) {
    std::unique_ptr<OrvIndexTreePage> page = newLeaf();
    auto& leaf = dynamic_cast<OrvIndexVarcharTreeLeafPage&>(*page);
    std::multimap<std::string, TupleId> model;
    Uint32 used = 0;
    std::mt19937 random(20261209);
    for (int step = 0; step < 3000; ++step) {
        const std::string value = randomText(random);
        const OrvIndexKey k = text(value);
        const TupleId tid(PageId(1 + random() % 500), SlotId(random() % 200));
        const unsigned action = random() % 10;
        if (action < 6) {
            const bool fits = used + value.size() + 7 <= OrvIndexVarchar::DATA_SIZE;
            const std::string before = liveBytes(leaf);
            ASSERT_EQ(fits, leaf.insert(k, tid)) << "step " << step;
            if (fits) {
                // A new entry goes in front of those equal to it.
                model.emplace_hint(model.lower_bound(value), value, tid);
                used += Uint32(value.size() + 7);
            } else {
                EXPECT_EQ(before, liveBytes(leaf));
            }
        } else if (action < 8) {
            // Position operations take the entry number findKeyPosition gives.
            const Uint16 pos = leaf.findKeyPosition(k);
            const auto found = model.lower_bound(value);
            if (found == model.end() || found->first != value) {
                EXPECT_EQ(0xFFFF, pos);
                continue;
            }
            ASSERT_EQ(Uint16(std::distance(model.begin(), found)), pos);
            TupleId first;
            ASSERT_TRUE(leaf.findTuple(k, first));
            EXPECT_EQ(found->second, first);
            ASSERT_TRUE(leaf.deleteKeyAt(pos));
            used -= Uint32(value.size() + 7);
            model.erase(found);
        } else if (action < 9) {
            // The entry (key, tid) of a tuple id that is in the run, or not.
            auto range = model.equal_range(value);
            TupleId wanted = tid;
            if (range.first != range.second && random() % 2 == 0) {
                wanted = std::next(range.first, random() % std::distance(range.first, range.second))
                             ->second;
            }
            auto hit = range.first;
            while (hit != range.second && !(hit->second == wanted)) {
                ++hit;
            }
            EXPECT_EQ(hit != range.second ? 1u : 0u, leaf.deleteKey(k, &wanted));
            if (hit != range.second) {
                model.erase(hit);
                used -= Uint32(value.size() + 7);
            }
        } else {
            const std::size_t equal = model.count(value);
            EXPECT_EQ(equal, leaf.deleteKey(k, nullptr));
            model.erase(value);
            used -= Uint32(equal * (value.size() + 7));
        }
        ASSERT_EQ(model.size(), leaf.numElements());
        ASSERT_EQ(OrvIndexVarchar::DATA_SIZE - used, leaf.spaceLeft());
        expectSound(leaf);
        if (step % 50 == 0 || step == 2999) {
            Uint16 i = 0;
            for (const auto& [value, tid] : model) {
                EXPECT_EQ(value, std::string(leaf.getValueAt(i).varcharKey)) << "entry " << i;
                EXPECT_EQ(tid, leaf.getTupleAt(i));
                ++i;
            }
            EXPECT_EQ(TupleId(0, 0), leaf.getTupleAt(i));
        }
    }
    page.reset();
    commit();
}

// The data area is the 4036 bytes behind the header: a leaf takes entries
// up to its last byte and refuses one more byte, leaving the page as it
// was; keys over 255 bytes are refused whatever room is left.
TEST_F(VarcharPageTest, LeafTakesWhatFitsAndRefusesTheRest) {
    std::unique_ptr<OrvIndexTreePage> page = newLeaf();
    auto& leaf = dynamic_cast<OrvIndexVarcharTreeLeafPage&>(*page);
    EXPECT_EQ(4036, leaf.spaceLeft());
    EXPECT_EQ(ORV_PARAMETER_FAIL,
              codeOf([&] { leaf.insert(text(std::string(256, 'k')), TupleId(1, 1)); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] { leaf.insert(key(4), TupleId(1, 1)); }));
    EXPECT_EQ(0, leaf.numElements());

    // findKeyPosition gives entry numbers, which deleteKeyAt takes.
    ASSERT_TRUE(leaf.insert(text("c"), TupleId(1, 3)));
    ASSERT_TRUE(leaf.insert(text("bb"), TupleId(1, 2)));
    ASSERT_TRUE(leaf.insert(text("a"), TupleId(1, 1)));
    testing::internal::CaptureStdout();
    leaf.dump(true);
    EXPECT_EQ("LEAF > SegmentId: " + std::to_string(segment) +
                  ", PageId: " + std::to_string(leaf.pageId()) +
                  ", PrevId: 0, NextId: 0\n[0] -> a\n[1] -> bb\n[2] -> c\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(2, leaf.findKeyPosition(text("c")));
    ASSERT_TRUE(leaf.deleteKeyAt(leaf.findKeyPosition(text("c"))));
    EXPECT_EQ("bb", std::string(leaf.getLastValue().varcharKey));
    EXPECT_EQ(0u, leaf.deleteKey(text("c"), nullptr));
    EXPECT_EQ(2u, leaf.deleteKey(text("a"), nullptr) + leaf.deleteKey(text("bb"), nullptr));

    // 15 keys of 255 bytes take 15 * 262 = 3930 bytes; 106 are left.
    for (int i = 0; i < 15; ++i) {
        ASSERT_TRUE(leaf.insert(text(std::string(255, char('A' + i))), TupleId(2, SlotId(i))));
    }
    EXPECT_EQ(106, leaf.spaceLeft());
    const std::string before = liveBytes(leaf);
    // 100 + 7 bytes do not fit in 106.
    EXPECT_FALSE(leaf.insert(text(std::string(100, 'z')), TupleId(3, 0)));
    EXPECT_EQ(before, liveBytes(leaf));
    ASSERT_TRUE(leaf.insert(text(std::string(99, 'z')), TupleId(3, 1)));
    EXPECT_EQ(0, leaf.spaceLeft());
    EXPECT_TRUE(leaf.isFull());
    EXPECT_FALSE(leaf.insert(text(""), TupleId(3, 2)));
    EXPECT_EQ(16, leaf.numElements());
    // The last entry's terminator is the last byte of the page.
    const std::string full = liveBytes(leaf);
    EXPECT_EQ('\0', full[ORV_PAGE_SIZE - 1]);
    EXPECT_EQ(std::string(99, 'z'), full.substr(ORV_PAGE_SIZE - 100, 99));
    expectSound(leaf);

    // A damaged counter is reported, not followed.
    OrvScopedPage fixed(segment, leaf.pageId(), OrvPage::BTreeIndexPage,
                        OrvScopedPage::GetExistingPage);
    const Uint16 wrong = 4037;
    std::memcpy(fixed->getPageData() + offsetof(OrvIndexVarcharLeafHeader, spaceLeft), &wrong, 2);
    EXPECT_FALSE(leaf.leafView().problems().empty());
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { leaf.getTupleAt(0); }));
    const Uint16 right = 0;
    std::memcpy(fixed->getPageData() + offsetof(OrvIndexVarcharLeafHeader, spaceLeft), &right, 2);
    const Uint16 count = 17;
    std::memcpy(fixed->getPageData() + offsetof(OrvIndexVarcharLeafHeader, numElements), &count, 2);
    EXPECT_FALSE(leaf.leafView().problems().empty());
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { leaf.getTupleAt(16); }));
    std::memcpy(fixed->getPageData(), full.data(), ORV_PAGE_SIZE);
    expectSound(leaf);
    fixed.reset();
    page.reset();
    commit();
}

// A varchar node holds 509 entries, the last one ending inside the page;
// get() tells the kinds apart by the flag at byte 8.
TEST_F(VarcharPageTest, NodeHoldsWhatFits) {
    PageId nodeId = 0;
    {
        std::unique_ptr<OrvIndexTreePage> page =
            OrvIndexFreeSpaceInventory::getInstance()->getFreeNodePage(segment, VARCHAR);
        auto& node = dynamic_cast<OrvIndexVarcharTreeNodePage&>(*page);
        nodeId = node.pageId();
        EXPECT_EQ(509, node.spaceLeft());
        for (Sint32 k = 0; k < 509; ++k) {
            ASSERT_TRUE(node.insert(PageId(100 + k), key(k), PageId(101 + k))) << k;
        }
        EXPECT_TRUE(node.isFull());
        EXPECT_FALSE(node.insert(7, key(1000), 8));
        EXPECT_EQ(100, node.getFirstChild());
        EXPECT_EQ(609, node.getLastChild());
        EXPECT_EQ(508, node.getLastValue().intKey);
        EXPECT_TRUE(node.nodeView().problems().empty());
        OrvPage* frame = nullptr;
        OrvBufferManager::getInstance()->getPage(segment, nodeId, OrvPage::BTreeIndexPage, frame);
        EXPECT_EQ(segment, frame->getSegmentId());
        EXPECT_EQ(nodeId, frame->getPageId());
        EXPECT_EQ(OrvPage::BTreeIndexPage, frame->getPageType());
        OrvBufferManager::getInstance()->releasePage(frame);
        EXPECT_TRUE(node.deleteKeyAt(0));
        EXPECT_EQ(1, node.getValueAt(0).intKey);
    }
    const PageId leafId = newLeaf()->pageId();
    EXPECT_FALSE(OrvIndexTreePage::get(segment, nodeId, VARCHAR)->isLeaf());
    EXPECT_TRUE(OrvIndexTreePage::get(segment, leafId, VARCHAR)->isLeaf());
    EXPECT_EQ(ORV_INTERNAL_FAIL,
              codeOf([&] { OrvIndexTreePage::get(segment, leafId, VARCHAR)->view(); }));
    commit();
}

// Every change is one log entry of the varchar kind holding the whole page
// before and after; bytes 8 to 15 stay the varchar header. Undo and redo
// put the images back (redo as often as it likes) and log themselves.
TEST_F(VarcharPageTest, ChangesAreLoggedAsImagesWithoutAnLsn) {
    std::unique_ptr<OrvIndexTreePage> page = newLeaf();
    auto& leaf = dynamic_cast<OrvIndexVarcharTreeLeafPage&>(*page);
    ASSERT_TRUE(leaf.insert(text("first"), TupleId(4, 4)));
    const std::string before = liveBytes(leaf);
    ASSERT_TRUE(leaf.insert(text("second"), TupleId(5, 5)));
    const std::string after = liveBytes(leaf);
    std::vector<LoggedImage> logged = loggedImages(segment);
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(VARCHAR_OPERATION, logged.back().type);
    EXPECT_EQ(leaf.pageId(), logged.back().page);
    EXPECT_EQ(before, logged.back().before);
    EXPECT_EQ(after, logged.back().after);
    // isLeaf 1, spaceLeft, no neighbours, two entries: the header, no LSN.
    const OrvIndexVarcharLeafView view(after.data());
    EXPECT_EQ(1, after[8]);
    EXPECT_EQ(OrvIndexVarchar::DATA_SIZE - 12 - 13, view.spaceLeft());
    EXPECT_EQ(0, view.prevId() + view.nextId());
    EXPECT_EQ(2, view.numElements());

    leaf.undoOperation(before.data(), int(before.size()));
    EXPECT_EQ(before, liveBytes(leaf));
    leaf.redoOperation(after.data(), int(after.size()));
    leaf.redoOperation(after.data(), int(after.size()));
    EXPECT_EQ(after, liveBytes(leaf));
    logged = loggedImages(segment);
    ASSERT_GE(logged.size(), 3u);
    EXPECT_EQ(VARCHAR_UNDO, logged[logged.size() - 3].type);
    EXPECT_EQ(VARCHAR_REDO, logged.back().type);

    // An image that is no sound varchar leaf is refused before any change.
    std::string broken = after;
    broken[OrvIndexVarchar::DATA] = char(200); // the first length runs past the used area
    EXPECT_EQ(ORV_INTERNAL_FAIL,
              codeOf([&] { leaf.redoOperation(broken.data(), int(broken.size())); }));
    EXPECT_EQ(after, liveBytes(leaf));
    page.reset();
    commit();
}

} // namespace
