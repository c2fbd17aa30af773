// The slotted data page: free space, slot choice, placement, reading and
// compaction of records inside one page.
#include "RecordTestSupport.h"

#include <algorithm>
#include <utility>

namespace {

using namespace recordtest;

using Block = std::pair<Uint16, Uint16>;

class SlottedPageTest : public DataPageTest {};

TEST_F(SlottedPageTest, EmptyPageHasOneBlockBehindTheFirstSlot) {
    lockPage();
    EXPECT_EQ(4064, freeSpace());
    EXPECT_EQ(Block(32, 4064), largestBlock());
    Uint16 offset = 0;
    Access::calcOffset(page, 100, offset);
    EXPECT_EQ(3996, offset);
    SlotId slotId = 99;
    Access::getFreeSlotId(reinterpret_cast<const SlotPageHeader*>(image()), slotId);
    EXPECT_EQ(0, slotId);
    // A block is no record: nothing was written.
    EXPECT_EQ(0, header().numberOfSlots);
}

TEST_F(SlottedPageTest, InsertedRecordsGoDownwardsFromTheEndAndReadBack) {
    lockPage();
    const TupleId first = insert("hello");
    const TupleId second = insert(bytes(300, 1), RM::SecondaryRecord);
    EXPECT_EQ(TupleId(PAGE, 0), first);
    EXPECT_EQ(TupleId(PAGE, 1), second);
    EXPECT_EQ(2, header().numberOfSlots);
    EXPECT_EQ(4091, slot(0).offset);
    EXPECT_EQ(5, slot(0).recordLength);
    EXPECT_EQ(RM::PrimaryRecord, slot(0).recordType);
    EXPECT_EQ(4091 - 300, slot(1).offset);
    EXPECT_EQ(RM::SecondaryRecord, slot(1).recordType);
    EXPECT_EQ("hello", read(first));
    EXPECT_EQ(bytes(300, 1), read(second));
    // Header, two slots and the spare one: 8 * (2 + 4) bytes.
    EXPECT_EQ(4096 - 48 - 305, freeSpace());
    EXPECT_EQ(Block(48, 4091 - 300 - 48), largestBlock());

    // A given record is refilled in place and gets the tuple id.
    OrvRecord record("old bytes", 9);
    OrvRecord* target = &record;
    Access::getRecordFromPage(page, first, target);
    EXPECT_EQ(&record, target);
    EXPECT_EQ("hello", std::string(record.getRecordData(), record.getLength()));
    ASSERT_NE(nullptr, record.getTupleId());
    EXPECT_EQ(first, *record.getTupleId());
}

TEST_F(SlottedPageTest, FullDirectoryHasNoRoomHoweverShortTheRecords) {
    lockPage();
    for (int i = 0; i < 255; ++i) {
        ASSERT_EQ(TupleId(PAGE, static_cast<SlotId>(i)), insert(bytes(1, i)));
    }
    EXPECT_EQ(255, header().numberOfSlots);
    EXPECT_EQ(0, freeSpace());
    EXPECT_EQ(Block(0, 0), largestBlock());
    Uint16 offset = 0;
    EXPECT_EQ(ORV_RM_NO_MEMORY_BLOCK_FOUND_WARN,
              codeOf([&] { Access::calcOffset(page, 1, offset); }));
    SlotId slotId = 0;
    EXPECT_EQ(ORV_RM_NO_MORE_SLOTS, codeOf([&] {
                  Access::getFreeSlotId(reinterpret_cast<const SlotPageHeader*>(image()), slotId);
              }));

    // One empty slot among 255: the real free space counts again. Records lie
    // at 4095 down to 3841, slot 100's byte (3995) is free.
    clearSlot(100);
    EXPECT_EQ(4096 - 8 * 259 - 254, freeSpace());
    EXPECT_EQ(Block(8 * 259, 3841 - 8 * 259), largestBlock());
    Access::getFreeSlotId(reinterpret_cast<const SlotPageHeader*>(image()), slotId);
    EXPECT_EQ(100, slotId);
    EXPECT_EQ(TupleId(PAGE, 100), insert("x"));
    EXPECT_EQ(255, header().numberOfSlots);
    EXPECT_EQ("x", read(TupleId(PAGE, 100)));
}

TEST_F(SlottedPageTest, PlaceholdersTakeNoBytesButCountTowardsTheSlots) {
    lockPage();
    insert(bytes(100, 0));
    // A placeholder for a record on page 3000, slot 7. Read as an interval
    // its fields would be [3000, 3007), in the middle of the free block.
    setSlot(1, 3000, 7, RM::PlaceHolderTid);
    setSlotCount(2);
    EXPECT_EQ(4096 - 8 * 6 - 100, freeSpace());
    EXPECT_EQ(Block(48, 3996 - 48), largestBlock());
    Uint16 offset = 0;
    Access::calcOffset(page, 50, offset);
    EXPECT_EQ(3946, offset);

    // 254 records and one placeholder fill the directory.
    for (int i = 2; i < 255; ++i) {
        insert(bytes(1, i));
    }
    EXPECT_EQ(255, header().numberOfSlots);
    EXPECT_EQ(0, freeSpace());
    EXPECT_EQ(Block(0, 0), largestBlock());
    // The placeholder was never handed out as a free slot.
    EXPECT_EQ(3000, slot(1).offset);
    EXPECT_EQ(7, slot(1).recordLength);
    EXPECT_EQ(RM::PlaceHolderTid, slot(1).recordType);
}

TEST_F(SlottedPageTest, LowestEmptySlotIsReusedBeforeTheDirectoryGrows) {
    lockPage();
    for (int i = 0; i < 4; ++i) {
        insert(bytes(40, i));
    }
    clearSlot(2);
    clearSlot(1);
    SlotId slotId = 0;
    Access::getFreeSlotId(reinterpret_cast<const SlotPageHeader*>(image()), slotId);
    EXPECT_EQ(1, slotId);
    EXPECT_EQ(TupleId(PAGE, 1), insert(bytes(10, 9)));
    EXPECT_EQ(TupleId(PAGE, 2), insert(bytes(10, 8)));
    EXPECT_EQ(4, header().numberOfSlots);
    EXPECT_EQ(TupleId(PAGE, 4), insert(bytes(10, 7)));
    EXPECT_EQ(bytes(40, 0), read(TupleId(PAGE, 0)));
    EXPECT_EQ(bytes(10, 9), read(TupleId(PAGE, 1)));
    EXPECT_EQ(bytes(10, 8), read(TupleId(PAGE, 2)));
    EXPECT_EQ(bytes(40, 3), read(TupleId(PAGE, 3)));
}

TEST_F(SlottedPageTest, NewSlotMustNotReachTheLowestRecord) {
    lockPage();
    // 4056 bytes end the record area at 40, where a second slot would end.
    insert(bytes(4056, 0));
    EXPECT_EQ(40, slot(0).offset);
    SlotId slotId = 0;
    EXPECT_EQ(ORV_RM_SLOT_OVER_DATA, codeOf([&] {
                  Access::getFreeSlotId(reinterpret_cast<const SlotPageHeader*>(image()), slotId);
              }));
}

TEST_F(SlottedPageTest, ReadingAnEmptySlotFindsNoRecord) {
    lockPage();
    insert("one");
    insert("two");
    clearSlot(0);
    OrvRecord* record = nullptr;
    EXPECT_EQ(ORV_RM_REC_NOT_FOUND,
              codeOf([&] { Access::getRecordFromPage(page, TupleId(PAGE, 0), record); }));
    EXPECT_EQ(nullptr, record);
    EXPECT_EQ("two", read(TupleId(PAGE, 1)));
    // A tuple id of another page is the caller's mistake, not a record here.
    EXPECT_EQ(ORV_PARAMETER_FAIL,
              codeOf([&] { Access::getRecordFromPage(page, TupleId(PAGE + 1, 1), record); }));
    EXPECT_EQ(nullptr, record);
}

// A record that begins inside the room kept for the next slot lies below the
// spare-slot boundary but reaches beyond it; the free block behind that
// boundary must not be taken for free. Such pages can no longer be made by
// insertions (see the next test), but may be stored in older files.
TEST_F(SlottedPageTest, FreeBlockNeverOverlapsARecordNearTheDirectory) {
    lockPage();
    setSlot(0, 1096, 3000, RM::PrimaryRecord);
    setSlot(1, 52, 100, RM::PrimaryRecord); // below the spare slot's end at 56
    setSlot(2, 996, 100, RM::PrimaryRecord);
    setSlotCount(3);
    checkAtEnd = false;

    EXPECT_EQ(Block(152, 996 - 152), largestBlock());
    Uint16 offset = 0;
    EXPECT_EQ(ORV_RM_NO_MEMORY_BLOCK_FOUND_WARN,
              codeOf([&] { Access::calcOffset(page, 900, offset); }));
    Access::calcOffset(page, 844, offset);
    EXPECT_EQ(152, offset);
    // A new slot would end the directory at 56, inside slot 1's record.
    const OrvRecord record(bytes(844, 4).data(), 844);
    const std::string before = snapshot();
    EXPECT_EQ(ORV_RM_SLOT_OVER_DATA, codeOf([&] {
                  Access::insertRecordOnPage(page, 3, record, RM::PrimaryRecord, offset);
              }));
    EXPECT_EQ(before, snapshot());
    EXPECT_NE(0u, OrvDataPage::checkStructure(image()).size());
}

// Free space always reserves the room of one more slot. Appending a slot
// when a record already lies in the next slot's room left the total free
// space below the largest block; the slot is appended only when the spare
// room behind it stays clear as well.
TEST_F(SlottedPageTest, AppendedSlotKeepsTheSpareSlotRoomClear) {
    lockPage();
    const auto checkPage = [this](const char* step) {
        const std::vector<std::string> problems = OrvDataPage::checkStructure(image());
        EXPECT_TRUE(problems.empty()) << step << ": " << problems.front();
        EXPECT_LE(largestBlock().second, freeSpace()) << step;
    };
    insert(bytes(3000, 0)); // slot 0 at 1096
    checkPage("3000 bytes");
    insert(bytes(1047, 1)); // slot 1 at 49
    ASSERT_EQ(49, slot(1).offset);
    checkPage("1047 bytes");
    clearSlot(0);
    checkPage("removal");
    EXPECT_EQ(TupleId(PAGE, 0), insert(bytes(100, 2)));
    checkPage("first 100 bytes");
    // A third slot and its spare would end at 64, beyond slot 1 at 49.
    SlotId slotId = 0;
    EXPECT_EQ(ORV_RM_SLOT_OVER_DATA, codeOf([&] {
                  Access::getFreeSlotId(reinterpret_cast<const SlotPageHeader*>(image()), slotId);
              }));
    const std::string before = snapshot();
    const OrvRecord record(bytes(100, 3).data(), 100);
    EXPECT_EQ(ORV_RM_SLOT_OVER_DATA, codeOf([&] {
                  Access::insertRecordOnPage(page, 2, record, RM::PrimaryRecord, 3000);
              }));
    EXPECT_EQ(before, snapshot());
    checkPage("refused append");
}

TEST_F(SlottedPageTest, LargestBlockIsFoundWhateverTheSlotOrderAndLowerWinsTies) {
    lockPage();
    // Slots in ascending offset order (walking down meets them descending).
    setSlot(0, 1000, 100, RM::PrimaryRecord);
    setSlot(1, 2000, 100, RM::PrimaryRecord);
    setSlot(2, 3000, 1096, RM::PrimaryRecord);
    setSlotCount(3);
    // Gaps: 56..1000 (944), 1100..2000 (900), 2100..3000 (900).
    EXPECT_EQ(Block(56, 944), largestBlock());
    setSlot(0, 1100, 100, RM::PrimaryRecord);
    // Gaps: 56..1100 (1044) ... all smaller after it.
    EXPECT_EQ(Block(56, 1044), largestBlock());
    setSlot(0, 100, 100, RM::PrimaryRecord);
    setSlot(1, 1100, 900, RM::PrimaryRecord);
    // Gaps: 56..100 (44), 200..1100 (900), 2000..3000 (1000).
    EXPECT_EQ(Block(2000, 1000), largestBlock());
    setSlot(1, 1100, 1000, RM::PrimaryRecord);
    // Gaps 200..1100 and 2100..3000, both 900 bytes: the lower one.
    EXPECT_EQ(Block(200, 900), largestBlock());
}

TEST_F(SlottedPageTest, CompactionKeepsEveryTupleIdAndPacksByLength) {
    lockPage();
    const std::vector<std::size_t> lengths = {30, 10, 50, 20, 10, 70, 5};
    std::vector<TupleId> tids;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        tids.push_back(insert(bytes(lengths[i], static_cast<int>(i))));
    }
    clearSlot(2);
    clearSlot(5);
    setSlot(6, 77, 3, RM::PlaceHolderTid); // the 5-byte record moved to (77, 3)
    // The free space fields belong to the caller and must stay as they are.
    SlotPageHeader fields = header();
    fields.freeSpace = 1234;
    fields.consecFreeSpace = 321;
    fields.consecFreeSpaceOffset = 99;
    std::memcpy(image(), &fields, offsetof(SlotPageHeader, numberOfSlots));

    Uint16 free = 0;
    Uint16 freeOffset = 0;
    Access::reorganizePage(page, free, freeOffset);

    EXPECT_EQ(24 + 8 * 7, freeOffset);
    // 30 + 10 + 20 + 10 bytes remain.
    EXPECT_EQ(4096 - 70 - freeOffset, free);
    EXPECT_EQ(1234, header().freeSpace);
    EXPECT_EQ(321, header().consecFreeSpace);
    EXPECT_EQ(99, header().consecFreeSpaceOffset);
    EXPECT_EQ(7, header().numberOfSlots);
    for (std::size_t i : {0, 1, 3, 4}) {
        EXPECT_EQ(bytes(lengths[i], static_cast<int>(i)), read(tids[i])) << "slot " << i;
    }
    // Shortest at the end; equal lengths keep their slot order.
    EXPECT_EQ(4086, slot(1).offset);
    EXPECT_EQ(4076, slot(4).offset);
    EXPECT_EQ(4056, slot(3).offset);
    EXPECT_EQ(4026, slot(0).offset);
    // Empty slots and the placeholder are untouched.
    EXPECT_EQ(0, slot(2).offset);
    EXPECT_EQ(0, slot(5).recordLength);
    EXPECT_EQ(77, slot(6).offset);
    EXPECT_EQ(3, slot(6).recordLength);
    EXPECT_EQ(RM::PlaceHolderTid, slot(6).recordType);
    // Everything between the directory and the records is zero now.
    const std::string after = snapshot();
    EXPECT_EQ(std::string(4026 - freeOffset, '\0'), after.substr(freeOffset, 4026 - freeOffset));
    EXPECT_EQ(Block(freeOffset + 8, 4026 - freeOffset - 8), largestBlock());
}

TEST_F(SlottedPageTest, InsertChecksEverythingBeforeItWritesAByte) {
    lockPage();
    insert(bytes(20, 0));
    const std::string before = snapshot();
    const OrvRecord record(bytes(10, 1).data(), 10);
    // Slot 2 would leave slot 1 undefined.
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] {
                  Access::insertRecordOnPage(page, 2, record, RM::PrimaryRecord, 3000);
              }));
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] {
                  Access::insertRecordOnPage(page, 1, record, RM::PlaceHolderTid, 3000);
              }));
    // The new slot ends the directory at 40, the spare slot behind it at
    // 48: offsets 36 and 47 lie in them.
    EXPECT_EQ(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS,
              codeOf([&] { Access::insertRecordOnPage(page, 1, record, RM::PrimaryRecord, 36); }));
    EXPECT_EQ(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS,
              codeOf([&] { Access::insertRecordOnPage(page, 1, record, RM::PrimaryRecord, 47); }));
    EXPECT_EQ(ORV_RM_GET_RECORD_TOO_LONG, codeOf([&] {
                  Access::insertRecordOnPage(page, 1, record, RM::PrimaryRecord, 4090);
              }));
    const OrvRecord empty;
    EXPECT_EQ(ORV_RM_NULL_LEN_REC,
              codeOf([&] { Access::insertRecordOnPage(page, 1, empty, RM::PrimaryRecord, 3000); }));
    EXPECT_EQ(ORV_PARAMETER_FAIL, codeOf([&] {
                  Access::insertRecordOnPage(nullptr, 1, record, RM::PrimaryRecord, 3000);
              }));
    EXPECT_EQ(before, snapshot());

    // At the spare slot's end exactly is allowed.
    Access::insertRecordOnPage(page, 1, record, RM::PrimaryRecord, 48);
    EXPECT_EQ(bytes(10, 1), read(TupleId(PAGE, 1)));
}

TEST_F(SlottedPageTest, SlotIdNoSlotIsRefusedWithAFullDirectory) {
    lockPage();
    for (int i = 0; i < 255; ++i) {
        insert(bytes(1, i));
    }
    clearSlot(254);
    const std::string before = snapshot();
    const OrvRecord record("z", 1);
    // 255 equals the count; appending would wrap the count to 0.
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] {
                  Access::insertRecordOnPage(page, RM::NO_SLOT, record, RM::PrimaryRecord, 3000);
              }));
    EXPECT_EQ(before, snapshot());
    Access::insertRecordOnPage(page, 254, record, RM::PrimaryRecord, 3000);
    EXPECT_EQ(255, header().numberOfSlots);
}

TEST(SlotComparatorTest, OrderByOffsetOrLengthAndNeverCallEqual) {
    Slot low{};
    low.offset = 100;
    low.recordLength = 50;
    Slot high{};
    high.offset = 200;
    high.recordLength = 10;
    EXPECT_EQ(-1, Access::compareSlotsByOffset(low, high));
    EXPECT_EQ(1, Access::compareSlotsByOffset(high, low));
    EXPECT_EQ(1, Access::compareSlotsByOffset(low, low));
    EXPECT_EQ(-1, Access::slotCompare(low, high));
    EXPECT_EQ(1, Access::slotCompare(high, low));
    EXPECT_EQ(1, Access::slotCompare(low, low));
    EXPECT_EQ(1, Access::compareSlotsByLength(low, high));
    EXPECT_EQ(-1, Access::compareSlotsByLength(high, low));
    EXPECT_EQ(1, Access::compareSlotsByLength(high, high));
}

TEST(FsiPlacementTest, InventoryPagesAreTheMultiplesOf255) {
    struct Case {
        PageId page;
        PageId fsiPage;
        SlotId fsiSlot;
    };
    const Case cases[] = {
        {0, 0, 255},         {1, 0, 0},         {254, 0, 253},       {255, 255, 255},
        {256, 255, 0},       {509, 255, 253},   {510, 510, 255},     {65279, 65025, 253},
        {65280, 65280, 255}, {65281, 65280, 0}, {65534, 65280, 253},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.fsiPage, Access::getFsiPageId(c.page)) << "page " << c.page;
        EXPECT_EQ(c.fsiSlot, Access::getFsiSlot(c.page)) << "page " << c.page;
    }
}

} // namespace
