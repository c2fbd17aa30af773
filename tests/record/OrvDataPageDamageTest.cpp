// Damaged data pages: slot numbers, types, offsets and lengths read from a
// page are untrusted. Every operation must report the damage with its code
// and leave the page as it was; the sanitizer build shows that nothing is
// read or written outside the page. And the structure checker must see each
// kind of damage.
#include "OrvError.h"
#include "RecordTestSupport.h"

namespace {

using namespace recordtest;

class DamagedPageTest : public DataPageTest {
protected:
    void SetUp() override {
        DataPageTest::SetUp();
        lockPage();
        insert(bytes(100, 0)); // slot 0 at 3996
        insert(bytes(50, 1));  // slot 1 at 3946
        checkAtEnd = false;
    }

    OrvRecord* record = nullptr;
    std::unique_ptr<OrvRecord> owned;

    OrvErrorCode readCode(SlotId slotId) {
        const OrvErrorCode code =
            codeOf([&] { Access::getRecordFromPage(page, TupleId(PAGE, slotId), record); });
        owned.reset(record);
        return code;
    }
};

TEST_F(DamagedPageTest, SlotBeyondTheDirectoryIsOutOfBounds) {
    const OrvException e =
        exceptionOf([&] { Access::getRecordFromPage(page, TupleId(PAGE, 2), record); });
    EXPECT_EQ(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, e.getErrorCode());
    EXPECT_EQ("40", e.getToken(1)); // where slot 2 would lie
    EXPECT_EQ("1", e.getToken(2));
    EXPECT_EQ("5", e.getToken(3));
    // Slot 254 lies inside the page image, but not in this directory.
    EXPECT_EQ(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, readCode(254));
    EXPECT_EQ(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, readCode(255));
    EXPECT_EQ(nullptr, record);
}

TEST_F(DamagedPageTest, RecordOffsetInsideTheDirectoryOrBeyondThePage) {
    setSlot(1, 30, 50, RM::PrimaryRecord);
    const OrvException inDirectory =
        exceptionOf([&] { Access::getRecordFromPage(page, TupleId(PAGE, 1), record); });
    EXPECT_EQ(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, inDirectory.getErrorCode());
    EXPECT_EQ("30", inDirectory.getToken(1));
    EXPECT_EQ("1", inDirectory.getToken(2));
    EXPECT_EQ("5", inDirectory.getToken(3));
    setSlot(1, 60000, 50, RM::SecondaryRecord);
    EXPECT_EQ(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, readCode(1));
    setSlot(1, 4096, 1, RM::PrimaryRecord);
    EXPECT_EQ(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, readCode(1));
    EXPECT_EQ(nullptr, record);
}

TEST_F(DamagedPageTest, RecordLengthPastThePageEnd) {
    setSlot(1, 4000, 97, RM::PrimaryRecord);
    const OrvException e =
        exceptionOf([&] { Access::getRecordFromPage(page, TupleId(PAGE, 1), record); });
    EXPECT_EQ(ORV_RM_GET_RECORD_TOO_LONG, e.getErrorCode());
    EXPECT_EQ("4000", e.getToken(1));
    EXPECT_EQ("1", e.getToken(2));
    EXPECT_EQ("5", e.getToken(3));
    EXPECT_EQ("97", e.getToken(4));
    EXPECT_EQ("4096", e.getToken(5));
    e.SET_ERROR();
    char message[ORV_ERROR_MESSAGE_LENGTH + 1] = {};
    OrvError::getErrorObject()->getError(message, sizeof(message), nullptr);
    EXPECT_STREQ("The length of record at offset 4000 that was requested from page 1 in segment 5 "
                 "indicates a size of 97 bytes.  So the complete record exceeds the total page "
                 "size of 4096 bytes.",
                 message);
    setSlot(1, 4000, 65535, RM::PrimaryRecord);
    EXPECT_EQ(ORV_RM_GET_RECORD_TOO_LONG, readCode(1));
    // Exactly to the end is a record.
    setSlot(1, 4000, 96, RM::PrimaryRecord);
    EXPECT_EQ(ORV_SUCCESS, readCode(1));
    EXPECT_EQ(96, owned->getLength());
}

TEST_F(DamagedPageTest, PlaceholderOrUnknownTypeIsNoRecordToRead) {
    // As a record this placeholder would be 7 bytes at 65000.
    setSlot(1, 65000, 7, RM::PlaceHolderTid);
    EXPECT_EQ(ORV_INTERNAL_FAIL, readCode(1));
    setSlot(1, 3946, 50, 3);
    EXPECT_EQ(ORV_INTERNAL_FAIL, readCode(1));
    EXPECT_EQ(nullptr, record);
    EXPECT_EQ(bytes(100, 0), read(TupleId(PAGE, 0)));
}

TEST_F(DamagedPageTest, FreeSpaceScansReportDamageInsteadOfUsingIt) {
    Uint16 offset = 0;
    // A length past the page would make the next record land outside it.
    setSlot(1, 3946, 4000, RM::PrimaryRecord);
    EXPECT_EQ(ORV_RM_GET_RECORD_TOO_LONG, codeOf([&] { freeSpace(); }));
    EXPECT_EQ(ORV_RM_GET_RECORD_TOO_LONG, codeOf([&] { largestBlock(); }));
    EXPECT_EQ(ORV_RM_GET_RECORD_TOO_LONG, codeOf([&] { Access::calcOffset(page, 10, offset); }));
    // A record far beyond the page would open a "block" reaching there.
    setSlot(1, 60000, 50, RM::PrimaryRecord);
    EXPECT_EQ(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, codeOf([&] { largestBlock(); }));
    EXPECT_EQ(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS,
              codeOf([&] { Access::calcOffset(page, 3000, offset); }));
    setSlot(1, 3946, 50, 9);
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { freeSpace(); }));
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { largestBlock(); }));
    // Overlapping records, each inside the page, that add up to more than it.
    setSlot(1, 100, 3996, RM::PrimaryRecord);
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { freeSpace(); }));
}

TEST_F(DamagedPageTest, CompactionLeavesADamagedPageUntouched) {
    Uint16 free = 0;
    Uint16 freeOffset = 0;
    setSlot(1, 3946, 4000, RM::PrimaryRecord);
    std::string before = snapshot();
    EXPECT_EQ(ORV_RM_GET_RECORD_TOO_LONG,
              codeOf([&] { Access::reorganizePage(page, free, freeOffset); }));
    EXPECT_EQ(before, snapshot());

    setSlot(1, 20, 50, RM::PrimaryRecord);
    before = snapshot();
    EXPECT_EQ(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS,
              codeOf([&] { Access::reorganizePage(page, free, freeOffset); }));
    EXPECT_EQ(before, snapshot());

    // Each in bounds, together longer than the record area: packing them
    // would run through the directory and the header.
    setSlot(1, 40, 4056, RM::PrimaryRecord);
    before = snapshot();
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] { Access::reorganizePage(page, free, freeOffset); }));
    EXPECT_EQ(before, snapshot());
    EXPECT_EQ(0, free);
    EXPECT_EQ(0, freeOffset);
}

TEST_F(DamagedPageTest, InsertIntoADamagedDirectoryWritesNothing) {
    // A count of 255 with a slot id of 255 would wrap the count to 0.
    setSlotCount(255);
    const std::string before = snapshot();
    const OrvRecord record("abc", 3);
    EXPECT_EQ(ORV_INTERNAL_FAIL, codeOf([&] {
                  Access::insertRecordOnPage(page, 255, record, RM::PrimaryRecord, 3000);
              }));
    // With 255 slots the directory ends at 2064.
    EXPECT_EQ(ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, codeOf([&] {
                  Access::insertRecordOnPage(page, 7, record, RM::PrimaryRecord, 2000);
              }));
    EXPECT_EQ(before, snapshot());
}

// ---- the structure checker on page images -------------------------------------

class DataPageCheckTest : public ::testing::Test {
protected:
    DataPageCheckTest() : image(ORV_PAGE_SIZE, '\0') {
        OrvPageHeader common{};
        common.pageId = 1;
        common.pageType = OrvPage::DataPage;
        std::memcpy(&image[0], &common, sizeof(common));
    }

    void setSlot(Uint32 id, Uint16 offset, Uint16 length, Uint8 type) {
        Slot raw{};
        raw.offset = offset;
        raw.recordLength = length;
        raw.recordType = type;
        std::memcpy(&image[RM::SLOT_DIRECTORY_OFFSET + id * RM::SLOT_SIZE], &raw, sizeof(raw));
    }
    void setCount(Uint8 count) { image[offsetof(SlotPageHeader, numberOfSlots)] = count; }
    void setFields(Uint16 free, Uint16 block, Uint16 blockOffset) {
        std::memcpy(&image[16], &free, 2);
        std::memcpy(&image[18], &block, 2);
        std::memcpy(&image[20], &blockOffset, 2);
    }

    std::vector<std::string> problems() const { return OrvDataPage::checkStructure(image.data()); }
    // The single problem found, or a note that there was not exactly one.
    std::string problem() const {
        const std::vector<std::string> found = problems();
        return found.size() == 1 ? found.front()
                                 : std::to_string(found.size()) + " problems instead of one";
    }

    std::string image;
};

TEST_F(DataPageCheckTest, SoundPagesPass) {
    EXPECT_TRUE(problems().empty());
    setFields(4064, 4064, 32);
    EXPECT_TRUE(problems().empty());
    setCount(4);
    setSlot(0, 4000, 96, RM::PrimaryRecord);
    setSlot(1, 0, 0, RM::PrimaryRecord);
    setSlot(2, 300, 7, RM::PlaceHolderTid);
    setSlot(3, 64, 3936, RM::SecondaryRecord); // right behind the spare slot, up to 4000
    setFields(0, 0, 0);
    EXPECT_TRUE(problems().empty()) << problems().front();
}

TEST_F(DataPageCheckTest, EachKindOfDamageIsReported) {
    setCount(2);
    setSlot(0, 4000, 96, RM::PrimaryRecord);
    setSlot(1, 3900, 100, RM::PrimaryRecord);
    ASSERT_TRUE(problems().empty());

    setSlot(1, 3950, 100, RM::PrimaryRecord);
    EXPECT_NE(std::string::npos, problem().find("overlap")) << problem();
    setSlot(1, 30, 100, RM::PrimaryRecord);
    EXPECT_NE(std::string::npos, problem().find("directory")) << problem();
    // Between the directory (ends at 40) and the spare slot (ends at 48):
    // the free space would count those bytes twice.
    setSlot(1, 44, 100, RM::PrimaryRecord);
    EXPECT_NE(std::string::npos, problem().find("room kept for the next slot")) << problem();
    setSlot(1, 3990, 200, RM::SecondaryRecord);
    EXPECT_NE(std::string::npos, problem().find("beyond the page")) << problem();
    setSlot(1, 3900, 0, RM::PrimaryRecord);
    EXPECT_NE(std::string::npos, problem().find("neither empty nor a record")) << problem();
    setSlot(1, 0, 0, RM::SecondaryRecord);
    EXPECT_NE(std::string::npos, problem().find("empty slot")) << problem();
    setSlot(1, 3900, 100, 3);
    EXPECT_NE(std::string::npos, problem().find("unknown record type")) << problem();
    for (Uint16 badPage : {0, 255, 65280, 65535}) {
        setSlot(1, badPage, 4, RM::PlaceHolderTid);
        EXPECT_NE(std::string::npos, problem().find("no data page")) << badPage;
    }
    setSlot(1, 7, 255, RM::PlaceHolderTid);
    EXPECT_NE(std::string::npos, problem().find("names slot 255")) << problem();
    setSlot(1, 7, 256, RM::PlaceHolderTid);
    EXPECT_NE(std::string::npos, problem().find("names slot 256")) << problem();
    setSlot(1, 3900, 100, RM::PrimaryRecord);
    image[RM::SLOT_DIRECTORY_OFFSET + 8 + 6] = 1;
    EXPECT_NE(std::string::npos, problem().find("padding")) << problem();
    setSlot(1, 3900, 100, RM::PrimaryRecord);
    ASSERT_TRUE(problems().empty());

    // Slots beyond the count are not looked at; a larger count makes them
    // part of the directory.
    setSlot(2, 1, 1, 200);
    EXPECT_TRUE(problems().empty());
    setCount(3);
    EXPECT_EQ(1u, problems().size());
    setCount(2);

    image[23] = 1;
    EXPECT_NE(std::string::npos, problem().find("padding")) << problem();
    image[23] = 0;
    image[4] = OrvPage::FreeSpaceInventoryPage;
    EXPECT_NE(std::string::npos, problem().find("not a data page")) << problem();
    image[4] = OrvPage::DataPage;

    setFields(4065, 0, 0);
    EXPECT_NE(std::string::npos, problem().find("freeSpace")) << problem();
    setFields(100, 200, 40);
    EXPECT_NE(std::string::npos, problem().find("consecFreeSpace")) << problem();
    setFields(4000, 3000, 2000);
    EXPECT_NE(std::string::npos, problem().find("ends beyond the page")) << problem();
}

} // namespace
