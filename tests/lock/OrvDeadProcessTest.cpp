// Processes that die while they hold locks and fixes: another process's
// request takes their transaction over (rolls it back from the log under its
// locks, then releases its entries and fixes) instead of waiting out the
// time-out; a list filled by a dead process has room again; a process id
// used again by another process is not taken for the dead one.
//
// The children are forked before this process makes any manager, so each is
// a fresh engine process; they are killed with SIGKILL.
#include "OrvEngineTest.h"
#include "OrvTestSupport.h"
#include "OrvTestSync.h"

#include "OrvError.h"
#include "OrvException.h"
#include "OrvIndexManager.h"
#include "OrvRecordManager.h"
#include "lock/OrvLockList.h"
#include "lock/OrvLockListCheck.h"
#include "log/OrvRecovery.h"
#include "support/OrvMemoryManager.h"
#include "support/OrvProcessIdentity.h"

#include <csignal>
#include <map>
#include <random>
#include <set>
#include <sstream>

namespace {

using LM = OrvLockManager;
using RM = OrvRecordManager;
using IM = OrvIndexManager;
using orvtest::ChildProcess;
using orvtest::Pipe;

constexpr TableId TABLE = 21;
constexpr IndexId THE_INDEX = 7;

OrvIndexKey key(Sint32 value) {
    OrvIndexKey k;
    k.dataType = INTEGER;
    k.intKey = value;
    return k;
}

std::string rowOf(Sint32 value, int variant) {
    return "row " + std::to_string(value) + "/" + std::to_string(variant) +
           std::string(std::size_t((value * 7 + variant * 13) % 200), '.');
}

TupleId insertRow(const std::string& text) {
    OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
    TupleId tid;
    RM::getInstance()->insert(record, TABLE, tid);
    return tid;
}

std::string readRow(const TupleId& tid) {
    OrvRecord* record = nullptr;
    RM::getInstance()->get(TABLE, tid, record);
    std::unique_ptr<OrvRecord> owned(record);
    return std::string(owned->getRecordData(), owned->getLength());
}

// The committed state: key -> (where the row lies, its text).
using Model = std::map<Sint32, std::pair<TupleId, std::string>>;

const LM::Header* lockListHeader() {
    return static_cast<const LM::Header*>(
        OrvMemoryManager::getMemoryManager()->attachedData(OrvMemoryManager::LockList));
}

LM::ProcessSlot* processTable() {
    return OrvLockList::processSlotsOf(const_cast<LM::Header*>(lockListHeader()));
}

class DeadProcessTest : public orvtest::EngineTest {
protected:
    SegmentId segment() const {
        return OrvBufferManager::getInstance()->convertTableIdToSegmentId(TABLE);
    }

    // Makes the table and its index with `rows` committed rows, then drops
    // this process's managers so that children can be forked.
    Model makeTable(Sint32 rows) {
        OrvClientTransaction::begin();
        RM::getInstance()->createTable(TABLE);
        IM::getInstance()->createIndex(THE_INDEX, true, BTree, INTEGER);
        Model model;
        for (Sint32 value = 0; value < rows; ++value) {
            const std::string text = rowOf(value, 0);
            const TupleId tid = insertRow(text);
            IM::getInstance()->insert(THE_INDEX, key(value), tid);
            model[value] = {tid, text};
        }
        OrvClientTransaction::commit();
        dropManagers();
        return model;
    }

    // Checks table and index against the committed model, and that nothing
    // of the dead transaction is left open in the log.
    void expectCommittedState(const Model& model, Sint32 highestKey) {
        IM* im = IM::getInstance();
        im->openIndex(THE_INDEX, true, BTree, INTEGER);
        for (Sint32 value = 0; value <= highestKey; ++value) {
            TupleId found;
            const auto row = model.find(value);
            try {
                im->find(THE_INDEX, key(value), found);
            } catch (const OrvException& e) {
                EXPECT_EQ(ORV_NOT_FOUND_WARN, e.getErrorCode()) << value;
                EXPECT_TRUE(row == model.end()) << "committed key " << value << " is gone";
                OrvError::getErrorObject()->setError(IndexManager, ORV_SUCCESS);
                continue;
            }
            ASSERT_TRUE(row != model.end()) << "uncommitted key " << value << " is in the index";
            EXPECT_TRUE(found == row->second.first) << value;
            EXPECT_EQ(row->second.second, readRow(row->second.first)) << value;
        }
        OrvRecovery recovery;
        ASSERT_TRUE(recovery.recoverDb(ALL));
        EXPECT_EQ(0, recovery.getRecordUndoListLength());
        EXPECT_EQ(0, recovery.getIndexUndoListLength());
    }
};

// A child that changes the table in one transaction that it never ends:
// random inserts, replaces (longer and shorter) and removes of rows and
// their keys, with one page held fixed; it tells how far it got.
int uncommittedWork(unsigned seed, Model committed, Sint32 firstNewKey, int steps, Pipe& ready) {
    OrvTransactionManager::resetForProcess();
    std::mt19937 random(seed);
    RM* rm = RM::getInstance();
    IM* im = IM::getInstance();
    OrvClientTransaction::begin();
    im->openIndex(THE_INDEX, true, BTree, INTEGER);
    Sint32 next = firstNewKey;
    for (int step = 0; step < steps; ++step) {
        const int what = static_cast<int>(random() % 3);
        if (what == 0 || committed.empty()) {
            const std::string text = rowOf(next, 1);
            const TupleId tid = insertRow(text);
            im->insert(THE_INDEX, key(next), tid);
            committed[next++] = {tid, text};
            continue;
        }
        auto row = committed.begin();
        std::advance(row, static_cast<long>(random() % committed.size()));
        if (what == 1) {
            const std::string text = rowOf(row->first, 2 + step);
            OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
            TupleId where;
            rm->replace(TABLE, row->second.first, record, where);
            row->second.second = text;
        } else {
            rm->remove(TABLE, row->second.first);
            im->remove(THE_INDEX, key(row->first), &row->second.first);
            committed.erase(row);
        }
    }
    // A fix held when it dies, as in the middle of an operation.
    OrvScopedPage held;
    if (!committed.empty()) {
        held = OrvScopedPage(OrvBufferManager::getInstance()->convertTableIdToSegmentId(TABLE),
                             committed.begin()->second.first.page, OrvPage::DataPage,
                             OrvScopedPage::GetExistingPage);
    }
    ready.send(next);
    for (;;) {
        pause();
    }
}

TEST_F(DeadProcessTest, RequestTakesOverAKilledTransactionAndRollsItBack) {
    Model committed = makeTable(40);
    Sint32 highest = 39;
    for (unsigned round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Pipe ready;
        const int steps = 5 + static_cast<int>(round) * 9;
        ChildProcess child([&] {
            try {
                return uncommittedWork(1000 + round, committed, highest + 1, steps, ready);
            } catch (const OrvException& e) {
                e.print(std::cerr);
                return 3;
            }
        });
        int next = 0;
        ASSERT_TRUE(ready.receiveValue(next, 60000));
        highest = std::max(highest, next - 1);
        const pid_t dead = child.pid();
        child.kill(SIGKILL);
        EXPECT_EQ(128 + SIGKILL, child.wait());

        // Every row the child touched is locked by it; an exclusive lock on
        // each committed row and on the segment is granted once the dead
        // transaction is rolled back, not after the time-out.
        LM* lm = LM::getInstance();
        for (const auto& entry : committed) {
            const TupleId& where = entry.second.first;
            lm->requestSlot(segment(), where.page, where.slot, LM::ExclusiveLock);
        }
        lm->requestSegment(segment(), LM::ExclusiveLock);
        // Nothing of the dead process is left: no entry, no slot, no fix.
        for (Uint32 bucket = 0; bucket < LM::NUMBER_OF_BUCKETS; ++bucket) {
            OrvLockList::walkBucket(lockListHeader(), OrvLockList::lockEntriesOf(lockListHeader()),
                                    bucket, [&](Uint32, const LM::LockEntry& entry) {
                                        EXPECT_NE(dead, entry.transactionId.getProcessID());
                                        return true;
                                    });
        }
        for (Uint32 i = 0; i < LM::MAX_PROCESSES; ++i) {
            EXPECT_NE(dead, processTable()[i].pid);
        }
        EXPECT_TRUE(OrvLockList::checkStructure(lockListHeader()).empty());
        EXPECT_TRUE(OrvLockList::checkOwnRecord(*lm).empty());
        lm->releaseAll();
        bool fixed = true;
        OrvBufferManager::haveFixedPages(fixed);
        EXPECT_FALSE(fixed);
        EXPECT_EQ("", OrvBufferManager::getInstance()->checkStructure());

        expectCommittedState(committed, highest);
        OrvClientTransaction::commit();
        dropManagers();
    }
}

TEST_F(DeadProcessTest, ListFilledByADeadProcessHasRoomAgain) {
    dropManagers();
    Pipe ready;
    // Sixteen entries a segment (its intention entry and fifteen pages) fill
    // the list exactly.
    constexpr Uint32 PER_SEGMENT = 16;
    static_assert((LM::MAX_ENTRY % PER_SEGMENT) == 0, "the list fills exactly");
    ChildProcess filler([&]() -> int {
        OrvTransactionManager::resetForProcess();
        LM* lm = LM::getInstance();
        for (Uint32 s = 0; s < LM::MAX_ENTRY / PER_SEGMENT; ++s) {
            for (Uint32 p = 0; p + 1 < PER_SEGMENT; ++p) {
                lm->requestPage(static_cast<SegmentId>(100 + s), static_cast<PageId>(p),
                                LM::SharedLock);
            }
        }
        ready.send(static_cast<int>(lockListHeader()->countEntry));
        for (;;) {
            pause();
        }
    });
    int count = 0;
    ASSERT_TRUE(ready.receiveValue(count, 120000));
    ASSERT_EQ(static_cast<int>(LM::MAX_ENTRY), count);
    filler.kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, filler.wait());

    LM* lm = LM::getInstance();
    lm->requestSlot(3, 1, 1, LM::ExclusiveLock);
    EXPECT_EQ(3u, lockListHeader()->countEntry);
    EXPECT_TRUE(OrvLockList::checkStructure(lockListHeader()).empty());
    lm->releaseAll();
}

TEST_F(DeadProcessTest, ProcessIdUsedAgainIsToldFromTheDeadProcess) {
    dropManagers();
    Pipe ready, end;
    ChildProcess holder([&] {
        OrvTransactionManager::resetForProcess();
        LM::getInstance()->requestSlot(5, 2, 3, LM::ExclusiveLock);
        ready.send();
        const bool ended = end.receive(60000);
        LM::deleteInstance();
        return ended ? 0 : 1;
    });
    ASSERT_TRUE(ready.receive());
    LM* lm = LM::getInstance();
    // The holder lives, with the start time its slot names: its lock holds.
    EXPECT_FALSE(lm->tryRequestSlot(5, 2, 3, LM::SharedLock));

    // The slot now names a process with the holder's id but another start
    // time: the process it names is gone, and the one running under that
    // id is another. Its entries are taken over (nothing was logged).
    LM::ProcessSlot* slot = nullptr;
    for (Uint32 i = 0; i < LM::MAX_PROCESSES; ++i) {
        if (processTable()[i].pid == holder.pid()) {
            slot = &processTable()[i];
        }
    }
    ASSERT_NE(nullptr, slot);
    OrvProcessIdentity running;
    running.pid = holder.pid();
    running.startTime = slot->startTime;
    EXPECT_EQ(OrvProcessIdentity::State::Running, running.state());
    slot->startTime += 1;
    running.startTime = slot->startTime;
    EXPECT_EQ(OrvProcessIdentity::State::Gone, running.state());
    EXPECT_TRUE(orvtest::waitUntil([&] { return lm->tryRequestSlot(5, 2, 3, LM::SharedLock); }));
    for (Uint32 i = 0; i < LM::MAX_PROCESSES; ++i) {
        EXPECT_NE(holder.pid(), processTable()[i].pid);
    }
    lm->releaseAll();
    end.send();
    EXPECT_EQ(0, holder.wait());
    EXPECT_TRUE(OrvLockList::checkStructure(lockListHeader()).empty());
}

TEST_F(DeadProcessTest, ANewProcessSettlesTheSlotOfADeadOneWithItsId) {
    dropManagers();
    // A slot and an entry of a process that had this process's id and died:
    // planted as such a process would have left them.
    Pipe ready;
    ChildProcess planter([&]() -> int {
        OrvTransactionManager::resetForProcess();
        LM* lm = LM::getInstance();
        lm->requestSlot(6, 1, 1, LM::ExclusiveLock);
        ready.send();
        for (;;) {
            pause();
        }
    });
    ASSERT_TRUE(ready.receive());
    const pid_t planted = planter.pid();
    planter.kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, planter.wait());
    {
        void* data = nullptr;
        OrvMemoryManager::getMemoryManager()->connectToMemorySet(OrvMemoryManager::LockList, data);
        auto* header = static_cast<LM::Header*>(data);
        LM::ProcessSlot* slots = OrvLockList::processSlotsOf(header);
        LM::LockEntry* entries = OrvLockList::lockEntriesOf(header);
        const pid_t me = getpid();
        for (Uint32 i = 0; i < LM::MAX_PROCESSES; ++i) {
            if (slots[i].pid == planted) {
                // The dead process had this process's id and started before
                // it: the child may have started within the same clock tick.
                slots[i].pid = me;
                slots[i].startTime = OrvProcessIdentity::self().startTime - 1;
            }
        }
        for (Uint32 i = 0; i <= LM::MAX_ENTRY; ++i) {
            if (entries[i].transactionId.getProcessID() == planted) {
                entries[i].transactionId =
                    OrvTransactionId(me, entries[i].transactionId.getUniqueCount());
            }
        }
        OrvMemoryManager::getMemoryManager()->disconnectFromMemorySet(OrvMemoryManager::LockList);
    }
    // Its first request settles the dead process's entries before it
    // inserts its own, so that entries of its id are its own only.
    LM* lm = LM::getInstance();
    lm->requestSlot(6, 1, 1, LM::ExclusiveLock);
    EXPECT_EQ(3u, lockListHeader()->countEntry);
    EXPECT_TRUE(OrvLockList::checkOwnRecord(*lm).empty());
    lm->releaseAll();
    EXPECT_EQ(0u, lockListHeader()->countEntry);
    int slotsOfMine = 0;
    for (Uint32 i = 0; i < LM::MAX_PROCESSES; ++i) {
        slotsOfMine += processTable()[i].pid == getpid() ? 1 : 0;
    }
    EXPECT_EQ(1, slotsOfMine);
}

TEST_F(DeadProcessTest, LatchHeldByAKilledProcessIsNamedWithItsSet) {
    dropManagers();
    Pipe held;
    ChildProcess holder([&]() -> int {
        void* data = nullptr;
        OrvMemoryManager::getMemoryManager()->connectToMemorySet(OrvMemoryManager::LockList, data);
        if (static_cast<LM::Header*>(data)->latch.get(OrvLatch::Exclusive) != ORV_SUCCESS) {
            return 1;
        }
        held.send();
        for (;;) {
            pause();
        }
    });
    ASSERT_TRUE(held.receive());
    const pid_t dead = holder.pid();
    holder.kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, holder.wait());

    try {
        LM::getInstance();
        FAIL() << "a lock manager was made on a list whose latch a dead process holds";
    } catch (const OrvException& e) {
        EXPECT_EQ(ORV_LATCH_HOLDER_DEAD, e.getErrorCode());
        std::ostringstream printed;
        e.print_message(printed);
        const std::string text = printed.str();
        EXPECT_NE(std::string::npos, text.find("SQLSTATE=LT003")) << text;
        EXPECT_NE(std::string::npos, text.find("memory set 'Lock List'")) << text;
        EXPECT_NE(std::string::npos,
                  text.find("held by process " + std::to_string(dead) + ", which no longer"))
            << text;
        EXPECT_NE(std::string::npos, text.find("orvstop --force")) << text;
    }
}

} // namespace
