// Helpers of the data page tests: access to the record manager's page-local
// operations, a started lock list and buffer pool with one fixed data page,
// and raw reads and writes of the page's header and slots (to build
// placeholders and damaged pages).
#ifndef ORV_RECORD_TEST_SUPPORT_H
#define ORV_RECORD_TEST_SUPPORT_H

#include "OrvTestDatabase.h"

#include "OrvBuffer.h"
#include "OrvError.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvRecord.h"
#include "OrvRecordManager.h"
#include "OrvSystem.h"
#include "OrvTransaction.h"
#include "record/OrvDataPage.h"
#include "record/OrvDataPageCheck.h"
#include "record/OrvFsiPage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The page-local operations are private to the record manager; the tests
// call them through this friend, on the process's manager.
class OrvRecordManagerTestAccess {
public:
    using RM = OrvRecordManager;

    static void calcOffset(OrvPage* page, Uint16 length, Uint16& offset) {
        RM::getInstance()->calcOffset(page, length, offset);
    }
    static void getFreeSlotId(const SlotPageHeader* header, SlotId& slotId) {
        RM::getFreeSlotId(header, slotId);
    }
    static void findFreeSpaceInPage(OrvPage* page, Uint16& freeSpace) {
        RM::getInstance()->findFreeSpaceInPage(page, freeSpace);
    }
    static void findLargestFreeSpaceInPage(OrvPage* page, Uint16& offset, Uint16& size) {
        RM::getInstance()->findLargestFreeSpaceInPage(page, offset, size);
    }
    static void reorganizePage(OrvPage* page, Uint16& freeSpace, Uint16& freeSpaceOffset) {
        RM::getInstance()->reorganizePage(page, freeSpace, freeSpaceOffset);
    }
    static void insertRecordOnPage(OrvPage* page, SlotId slotId, const OrvRecord& record,
                                   RM::RecordType type, Uint16 offset) {
        RM::getInstance()->insertRecordOnPage(page, slotId, record, type, offset);
    }
    static void getRecordFromPage(OrvPage* page, const TupleId& tupleId, OrvRecord*& record) {
        RM::getInstance()->getRecordFromPage(page, tupleId, record);
    }
    static int compareSlotsByOffset(const Slot& a, const Slot& b) {
        return RM::compareSlotsByOffset(a, b);
    }
    static int slotCompare(const Slot& a, const Slot& b) { return RM::slotCompare(a, b); }
    static int compareSlotsByLength(const Slot& a, const Slot& b) {
        return RM::compareSlotsByLength(a, b);
    }
    static PageId getFsiPageId(PageId pageId) { return RM::getFsiPageId(pageId); }
    static SlotId getFsiSlot(PageId pageId) { return RM::getFsiSlot(pageId); }

    static void getNewPageId(TableId table, PageId& pageId) {
        RM::getInstance()->getNewPageId(table, pageId);
    }
    static void addFsiEntry(TableId table, PageId pageId, const FsiEntry& entry) {
        RM::getInstance()->addFsiEntry(table, pageId, entry);
    }
    static void createFsiPage(SegmentId segment, PageId fsiPage, OrvScopedPage& page) {
        RM::getInstance()->createFsiPage(segment, fsiPage, page);
    }
    static void updateFsiEntry(SegmentId segment, PageId pageId, const FsiEntry& entry) {
        RM::getInstance()->updateFsiEntry(segment, pageId, entry, false);
    }
    static void findFsiEntry(SegmentId segment, PageId pageId, FsiEntry& entry) {
        RM::getInstance()->findFsiEntry(segment, pageId, entry);
    }
    static void updateFreeSpace(OrvPage* page, bool holdLock) {
        RM::getInstance()->updateFreeSpace(page, holdLock);
    }
    static PageId findFreeMemoryBlock(TableId table, Uint16 numBytes, PageId first) {
        return RM::getInstance()->findFreeMemoryBlock(table, numBytes, first);
    }
};

namespace recordtest {

using RM = OrvRecordManager;
using Access = OrvRecordManagerTestAccess;
using LM = OrvLockManager;

// The code an operation raised, ORV_SUCCESS when it returned.
inline OrvErrorCode codeOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const OrvException& e) {
        return e.getErrorCode();
    }
    return ORV_SUCCESS;
}

// The exception an operation raised; the test fails when there is none.
inline OrvException exceptionOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const OrvException& e) {
        return e;
    }
    ADD_FAILURE() << "no exception";
    return OrvException(ORV_SUCCESS, __FILE__, __LINE__, __PRETTY_FUNCTION__);
}

// Record contents a test can tell apart: `length` bytes from a pattern that
// depends on `seed`.
inline std::string bytes(std::size_t length, int seed) {
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        text[i] = static_cast<char>('A' + (seed * 7 + i) % 26);
    }
    return text;
}

// The lock list and the buffer pool of a database of the test's own, a table
// segment and one fresh data page of it, fixed for the whole test; at the end
// the page must pass the structure check.
class DataPageTest : public ::testing::Test {
protected:
    static constexpr SegmentId SEGMENT = 5;
    static constexpr PageId PAGE = 1;

    void SetUp() override {
        LM::initializeLockList();
        OrvBufferManager::initializeBuffer();
        bm = OrvBufferManager::getInstance();
        bm->createSegment(SEGMENT);
        bm->openSegment(SEGMENT);
        bm->commit();
        bm->getNewPage(SEGMENT, PAGE, OrvPage::DataPage, page);
        lm = LM::getInstance();
    }

    void TearDown() override {
        if (checkAtEnd) {
            const std::vector<std::string> problems = OrvDataPage::checkStructure(image());
            EXPECT_TRUE(problems.empty()) << "first problem: " << problems.front();
        }
        bm->releasePage(page);
        OrvSystem::stopAllManagers();
    }

    char* image() const { return page->getPageData(); }
    std::string snapshot() const { return std::string(image(), ORV_PAGE_SIZE); }

    void lockPage(LM::LockType type = LM::ExclusiveLock) { lm->requestPage(SEGMENT, PAGE, type); }

    SlotPageHeader header() const {
        SlotPageHeader copy;
        std::memcpy(&copy, image(), sizeof(copy));
        return copy;
    }
    Slot slot(SlotId id) const {
        Slot copy;
        std::memcpy(&copy, image() + RM::SLOT_DIRECTORY_OFFSET + id * RM::SLOT_SIZE, sizeof(copy));
        return copy;
    }
    void setSlot(SlotId id, Uint16 offset, Uint16 length, Uint8 type) {
        Slot raw{};
        raw.offset = offset;
        raw.recordLength = length;
        raw.recordType = type;
        std::memcpy(image() + RM::SLOT_DIRECTORY_OFFSET + id * RM::SLOT_SIZE, &raw, sizeof(raw));
    }
    void setSlotCount(Uint8 count) { image()[offsetof(SlotPageHeader, numberOfSlots)] = count; }
    // What a removal leaves: the record's bytes zeroed, the slot empty.
    void clearSlot(SlotId id) {
        const Slot old = slot(id);
        std::memset(image() + old.offset, 0, old.recordLength);
        setSlot(id, 0, 0, RM::PrimaryRecord);
    }

    // An insertion as the table operations will do it on a chosen page:
    // slot, then place, then the write. Needs a page lock.
    TupleId insert(const std::string& text, RM::RecordType type = RM::PrimaryRecord) {
        SlotId slotId = 0;
        Access::getFreeSlotId(reinterpret_cast<const SlotPageHeader*>(image()), slotId);
        Uint16 offset = 0;
        Access::calcOffset(page, static_cast<Uint16>(text.size()), offset);
        OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
        Access::insertRecordOnPage(page, slotId, record, type, offset);
        return TupleId(PAGE, slotId);
    }

    std::string read(const TupleId& tid) {
        OrvRecord* record = nullptr;
        Access::getRecordFromPage(page, tid, record);
        std::unique_ptr<OrvRecord> owned(record);
        EXPECT_NE(nullptr, owned->getTupleId());
        if (owned->getTupleId() != nullptr) {
            EXPECT_EQ(tid, *owned->getTupleId());
        }
        return std::string(owned->getRecordData(), owned->getLength());
    }

    Uint16 freeSpace() {
        Uint16 result = 0;
        Access::findFreeSpaceInPage(page, result);
        return result;
    }
    std::pair<Uint16, Uint16> largestBlock() {
        Uint16 offset = 0;
        Uint16 size = 0;
        Access::findLargestFreeSpaceInPage(page, offset, size);
        return {offset, size};
    }

    orvtest::TestDatabase db;
    OrvBufferManager* bm = nullptr;
    LM* lm = nullptr;
    OrvPage* page = nullptr;
    // Off in tests that leave a page damaged on purpose.
    bool checkAtEnd = true;
};

} // namespace recordtest

#endif
