// Helpers of the index tests: a database of the test's own with lock list,
// buffer pool and log (the log in its directory), an index segment with an
// empty tree, and readers of the tree's pages and of the index entries in
// the log.
#ifndef ORV_INDEX_TEST_SUPPORT_H
#define ORV_INDEX_TEST_SUPPORT_H

#include "OrvEngineTest.h"
#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"

#include "OrvBuffer.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvSystem.h"
#include "OrvTransaction.h"
#include "index/OrvIndexBTree.h"
#include "index/OrvIndexFreeSpaceInventory.h"
#include "index/OrvIndexTreePage.h"
#include "log/OrvLogReader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace indextest {

using LM = OrvLockManager;
constexpr IndexId TEST_INDEX = 3;

inline OrvErrorCode codeOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const OrvException& e) {
        return e.getErrorCode();
    }
    return ORV_SUCCESS;
}

inline OrvIndexKey key(Sint32 value) {
    OrvIndexKey k;
    k.dataType = INTEGER;
    k.intKey = value;
    return k;
}

inline void commit() {
    OrvClientTransaction::commit();
}

// The bytes of a page image without its LSN (bytes 8 to 15), which every
// logged change sets anew.
inline std::string withoutLsn(const char* image) {
    std::string bytes(image, ORV_PAGE_SIZE);
    std::memset(&bytes[offsetof(OrvPageHeader, lsn)], 0, sizeof(OrvLsn));
    return bytes;
}

inline std::string pageBytes(SegmentId segment, PageId page) {
    OrvScopedPage fixed(segment, page, OrvPage::BTreeIndexPage, OrvScopedPage::GetExistingPage);
    return withoutLsn(fixed->getPageData());
}

// One index entry of the log.
struct LoggedImage {
    PageId page;
    Sint32 type;
    std::string before;
    std::string after;
};

// The index entries of the segment in log order, from every log file of
// the working directory.
inline std::vector<LoggedImage> loggedImages(SegmentId segment) {
    std::vector<LoggedImage> images;
    for (Uint16 file = 1;; ++file) {
        const std::string name = std::to_string(file) + ".log";
        if (access(name.c_str(), F_OK) != 0) {
            break;
        }
        const std::string bytes = orvtest::readFile(name);
        OrvLogReader::parseFile(
            bytes.data(), bytes.size(), file, [&](const OrvLogReader::EntryView& entry) {
                if (entry.kind == 'I' && entry.segmentId == segment) {
                    images.push_back({entry.pageId, entry.type,
                                      std::string(entry.beforeImage, entry.beforeLength),
                                      std::string(entry.afterImage, entry.afterLength)});
                }
            });
    }
    return images;
}

// The database; start() makes the index and its empty tree and commits.
class IndexTest : public orvtest::EngineTest {
protected:
    void start(bool unique) {
        OrvIndexBTree::createIndexSegment(TEST_INDEX);
        ASSERT_EQ(ORV_SUCCESS, tree.initialTree(TEST_INDEX, INTEGER, unique));
        segment = tree.getSegmentId();
        commit();
    }

    void expectSound() {
        const std::vector<std::string> problems = orvCheckIndexTree(segment);
        EXPECT_TRUE(problems.empty()) << problems.size() << " problems, first: " << problems[0];
    }

    OrvIndexTreeShape shape() {
        OrvIndexTreeShape s;
        (void)orvCheckIndexTree(segment, s);
        return s;
    }

    OrvIndexBTree tree;
    SegmentId segment = 0;
};

} // namespace indextest

#endif
