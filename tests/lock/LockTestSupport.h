// Helpers of the lock tests: a view of the shared lock list through an
// attachment of the test's own, the structure check at the end of each test,
// and transactions run in forked children.
#ifndef ORV_LOCK_TEST_SUPPORT_H
#define ORV_LOCK_TEST_SUPPORT_H

#include "OrvTestDatabase.h"
#include "OrvTestSync.h"

#include "OrvError.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvTransaction.h"
#include "lock/OrvLockList.h"
#include "lock/OrvLockListCheck.h"
#include "support/OrvMemoryManager.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/shm.h>
#include <unistd.h>
#include <vector>

namespace locktest {

using LM = OrvLockManager;

// The lock list of the test database, attached with shmat beside (and
// independent of) any lock manager of the process, so the test can read and
// damage it while its own manager is attached, and after children ended.
class LockListView {
public:
    explicit LockListView(const orvtest::TestDatabase& db) {
        const int shmId = db.segmentId(OrvMemoryManager::LockList);
        segment = shmId < 0 ? reinterpret_cast<void*>(-1) : shmat(shmId, nullptr, 0);
        if (segment == reinterpret_cast<void*>(-1)) {
            throw std::runtime_error("the lock list cannot be attached");
        }
    }
    ~LockListView() { shmdt(segment); }
    LockListView(const LockListView&) = delete;
    LockListView& operator=(const LockListView&) = delete;

    LM::Header* header() const {
        return reinterpret_cast<LM::Header*>(static_cast<char*>(segment) +
                                             OrvMemoryManager::DATA_OFFSET);
    }
    LM::LockEntry& entry(Uint32 index) const { return OrvLockList::lockEntriesOf(header())[index]; }
    LM::WaitingEntry& waiting(Uint32 slot) const {
        return OrvLockList::waitingEntriesOf(header())[slot];
    }

    Uint32 count() const { return header()->countEntry; }
    Uint32 usedWaiting() const {
        Uint32 used = 0;
        for (Uint32 slot = 0; slot <= LM::MAX_ENTRY_WAITING; ++slot) {
            used += waiting(slot).waitingTransaction != OrvTransactionId::INVALID_TRANSACTION_ID;
        }
        return used;
    }
    // Entries in use of one process (any of its transactions).
    Uint32 entriesOf(pid_t pid) const {
        Uint32 n = 0;
        for (Uint32 i = 0; i <= LM::MAX_ENTRY; ++i) {
            n += entry(i).transactionId.getProcessID() == pid;
        }
        return n;
    }
    // Entries in use on exactly this resource with this type.
    Uint32 entriesOn(SegmentId segment, PageId page, SlotId slot, LM::LockType type) const {
        Uint32 n = 0;
        for (Uint32 i = 0; i <= LM::MAX_ENTRY; ++i) {
            const LM::LockEntry& e = entry(i);
            n += e.transactionId != OrvTransactionId::INVALID_TRANSACTION_ID &&
                 e.segmentId == segment && e.pageId == page && e.slotId == slot &&
                 e.lockType == type;
        }
        return n;
    }
    std::vector<std::string> problems() const { return OrvLockList::checkStructure(header()); }
    // The same while holding the list's latch, so that running processes
    // cannot change the list during the check.
    std::vector<std::string> problemsUnderLatch() const {
        if (header()->latch.get(OrvLatch::Exclusive) != ORV_SUCCESS) {
            return {"the latch cannot be had"};
        }
        std::vector<std::string> found = problems();
        (void)header()->latch.release();
        return found;
    }

private:
    void* segment;
};

// The code an operation raised, ORV_SUCCESS when it returned.
inline OrvErrorCode codeOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const OrvException& e) {
        return e.getErrorCode();
    }
    return ORV_SUCCESS;
}

// An exit code for a child: the magnitude of the code (LM codes are 72 to 75).
inline int exitCodeOf(OrvErrorCode code) {
    return code < 0 ? -code : code;
}

// A body for a forked child that runs as a transaction of its own and gives
// back all its locks when body returns (as a process does when it ends
// normally). An exception leaving body makes the child exit with 98 (see
// orvtest::startChild) and keep its entries, as a crashed process would.
inline std::function<int()> transaction(const std::function<int(LM&)>& body) {
    return [body] {
        OrvTransactionManager::resetForProcess();
        const int code = body(*LM::getInstance());
        LM::deleteInstance();
        return code;
    };
}

// A fresh lock list in a database of the test's own, checked at the end.
class LockListTest : public ::testing::Test {
protected:
    void SetUp() override {
        LM::initializeLockList();
        view.reset(new LockListView(db));
    }
    void TearDown() override {
        std::vector<std::string> problems = view->problems();
        EXPECT_TRUE(problems.empty()) << "first problem: " << problems.front();
    }

    orvtest::TestDatabase db;
    std::unique_ptr<LockListView> view;
};

} // namespace locktest

#endif
