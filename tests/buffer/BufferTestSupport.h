// Helpers of the buffer manager tests: a started pool in a database of the
// test's own, page images with a recognisable content, and the files as the
// file system holds them.
#ifndef ORV_BUFFER_TEST_SUPPORT_H
#define ORV_BUFFER_TEST_SUPPORT_H

#include "OrvBuffer.h"
#include "OrvError.h"
#include "OrvException.h"
#include "common/OrvTestDatabase.h"
#include "common/OrvTestSupport.h"
#include "file/OrvFileManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>

namespace buffertest {

template <typename F> OrvErrorCode codeOf(F&& f) {
    try {
        f();
    } catch (const OrvException& e) {
        return e.getErrorCode();
    }
    return ORV_SUCCESS;
}

// The exception f throws; a test fails when it throws none.
template <typename F> OrvException exceptionOf(F&& f) {
    try {
        f();
    } catch (const OrvException& e) {
        return e;
    }
    ADD_FAILURE() << "no exception";
    return OrvException(ORV_SUCCESS, __FILE__, __LINE__, __PRETTY_FUNCTION__);
}

// A page image: the common header, then `text` from byte 16, zero bytes after.
inline std::string image(PageId pageId, OrvPage::PageType type, const std::string& text,
                         const OrvLsn& lsn = OrvLsn()) {
    std::string bytes(ORV_PAGE_SIZE, '\0');
    OrvPageHeader header{};
    header.pageId = pageId;
    header.pageType = type;
    header.lsn = lsn;
    std::memcpy(&bytes[0], &header, sizeof(header));
    std::memcpy(&bytes[16], text.data(), text.size());
    return bytes;
}

// The text a test placed at byte 16 of a frame (up to the first zero byte).
inline std::string textOf(const OrvPage* page) {
    return std::string(page->getPageData() + 16);
}

inline void putText(OrvPage* page, const std::string& text) {
    std::memcpy(page->getPageData() + 16, text.c_str(), text.size() + 1);
}

inline bool fileExists(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
}

inline std::string segmentFile(const orvtest::TestDatabase& db, SegmentId segment) {
    return db.file("Seg" + std::to_string(segment) + ".orv");
}

// Page `pageId` of the segment's file as it lies on disk; empty when the file
// is shorter.
inline std::string pageInFile(const orvtest::TestDatabase& db, SegmentId segment, PageId pageId) {
    std::string bytes = orvtest::readFile(segmentFile(db, segment));
    std::size_t offset = static_cast<std::size_t>(pageId) * ORV_PAGE_SIZE;
    return bytes.size() < offset + ORV_PAGE_SIZE ? std::string()
                                                 : bytes.substr(offset, ORV_PAGE_SIZE);
}

inline std::string textInFile(const orvtest::TestDatabase& db, SegmentId segment, PageId pageId) {
    std::string page = pageInFile(db, segment, pageId);
    return page.empty() ? std::string() : std::string(page.c_str() + 16);
}

// Writes whole page images straight into a segment file (made if missing),
// past the pool.
inline void writeImage(const orvtest::TestDatabase& db, SegmentId segment, PageId pageId,
                       const std::string& bytes) {
    std::string file = orvtest::readFile(segmentFile(db, segment));
    std::size_t offset = static_cast<std::size_t>(pageId) * ORV_PAGE_SIZE;
    if (file.size() < offset + ORV_PAGE_SIZE) {
        file.resize(offset + ORV_PAGE_SIZE, '\0');
    }
    file.replace(offset, ORV_PAGE_SIZE, bytes);
    orvtest::writeFile(segmentFile(db, segment), file);
}

inline OrvErrorCode recordedCode() {
    return OrvError::getErrorObject()->getErrorCode();
}

inline std::string recordedMessage() {
    char message[1025] = {};
    OrvError::getErrorObject()->getError(message, sizeof(message), nullptr);
    return message;
}

// A started pool and this process's buffer manager; both go at the end.
class PoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        OrvBufferManager::initializeBuffer();
        bm = OrvBufferManager::getInstance();
    }
    void TearDown() override {
        OrvBufferManager::deleteInstance();
        OrvFileManager::deleteInstance();
    }

    // A segment made and opened through the pool, committed.
    void makeSegment(SegmentId segment) {
        bm->createSegment(segment);
        bm->openSegment(segment);
        bm->commit();
    }

    // A new page with text at byte 16, released dirty.
    void newPage(SegmentId segment, PageId pageId, const std::string& text,
                 OrvPage::PageType type = OrvPage::DataPage) {
        OrvPage* page = nullptr;
        bm->getNewPage(segment, pageId, type, page);
        putText(page, text);
        bm->releasePage(page);
    }

    std::string fixAndRead(SegmentId segment, PageId pageId,
                           OrvPage::PageType type = OrvPage::DataPage) {
        OrvPage* page = nullptr;
        bm->getPage(segment, pageId, type, page);
        std::string text = textOf(page);
        bm->releasePage(page);
        return text;
    }

    orvtest::TestDatabase db;
    OrvBufferManager* bm = nullptr;
};

} // namespace buffertest

#endif
