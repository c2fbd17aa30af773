// The stop program after a process was killed in the middle of a
// transaction: a plain orvstop rolls the transaction back from the log,
// gives back its locks and fixes, and stops; the files then hold what was
// committed and nothing of the killed transaction.
#include "OrvTestDatabase.h"
#include "OrvTestSupport.h"
#include "OrvTestSync.h"

#include "OrvBuffer.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvRecordManager.h"
#include "OrvSystem.h"
#include "OrvTransaction.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <vector>

using orvtest::ChildProcess;
using orvtest::Pipe;
using orvtest::ProcessResult;
using orvtest::runProgram;

namespace {

constexpr TableId TABLE = 17;
const char* const stoppedLine = "\nThe system was stopped successfully. SQLSTATE=00000\n";

std::string rowOf(int i, const char* kind) {
    return std::string(kind) + " row " + std::to_string(i) + std::string(std::size_t(i * 11), '#');
}

class DeadProcessStopTest : public ::testing::Test {
protected:
    ProcessResult run(const std::vector<std::string>& argv) {
        return runProgram(argv, {{"ORV_DATABASE_PATH", db.path()}}, db.path());
    }
    orvtest::TestDatabase db;
};

TEST_F(DeadProcessStopTest, PlainStopRollsBackTheKilledTransactionAndStops) {
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    // Committed rows; their tuple ids come back through the pipe.
    Pipe tids;
    ASSERT_EQ(0, orvtest::runInChild([&] {
                  OrvTransactionManager::resetForProcess();
                  OrvClientTransaction::begin();
                  OrvRecordManager* rm = OrvRecordManager::getInstance();
                  rm->createTable(TABLE);
                  for (int i = 0; i < 12; ++i) {
                      const std::string text = rowOf(i, "committed");
                      OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
                      TupleId tid;
                      rm->insert(record, TABLE, tid);
                      tids.send(tid.page * 256 + tid.slot);
                  }
                  OrvClientTransaction::commit();
                  OrvSystem::stopAllManagers();
                  return 0;
              }));
    std::vector<TupleId> rows;
    for (int i = 0; i < 12; ++i) {
        int packed = 0;
        ASSERT_TRUE(tids.receiveValue(packed));
        rows.push_back(
            TupleId(static_cast<PageId>(packed / 256), static_cast<SlotId>(packed % 256)));
    }

    // Changes every row and adds more, holds a fix, and is killed.
    Pipe ready;
    ChildProcess changer([&]() -> int {
        OrvTransactionManager::resetForProcess();
        OrvClientTransaction::begin();
        OrvRecordManager* rm = OrvRecordManager::getInstance();
        for (int i = 0; i < 12; ++i) {
            if (i % 3 == 0) {
                rm->remove(TABLE, rows[i]);
                continue;
            }
            const std::string text = rowOf(i * 5, "uncommitted");
            OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
            TupleId where;
            rm->replace(TABLE, rows[i], record, where);
        }
        for (int i = 0; i < 20; ++i) {
            const std::string text = rowOf(i, "new");
            OrvRecord record(text.data(), static_cast<Uint16>(text.size()));
            TupleId tid;
            rm->insert(record, TABLE, tid);
        }
        OrvScopedPage held(OrvBufferManager::getInstance()->convertTableIdToSegmentId(TABLE),
                           rows[1].page, OrvPage::DataPage, OrvScopedPage::GetExistingPage);
        ready.send();
        for (;;) {
            pause();
        }
    });
    ASSERT_TRUE(ready.receive(60000));
    changer.kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, changer.wait());

    ProcessResult stop = run({ORV_ORVSTOP});
    EXPECT_EQ(0, stop.exitCode) << stop.err;
    EXPECT_EQ(stoppedLine, stop.out);
    for (int set = 0; set < 3; ++set) {
        EXPECT_LT(db.segmentId(set), 0);
    }

    // The files hold the committed rows, and the scan meets nothing else.
    ASSERT_EQ(0, run({ORV_ORVSTART}).exitCode);
    EXPECT_EQ(0, orvtest::runInChild([&] {
                  OrvTransactionManager::resetForProcess();
                  OrvClientTransaction::begin();
                  OrvRecordManager* rm = OrvRecordManager::getInstance();
                  int wrong = 0;
                  for (int i = 0; i < 12; ++i) {
                      OrvRecord* record = nullptr;
                      rm->get(TABLE, rows[i], record);
                      std::unique_ptr<OrvRecord> owned(record);
                      if (std::string(owned->getRecordData(), owned->getLength()) !=
                          rowOf(i, "committed")) {
                          ++wrong;
                      }
                  }
                  int count = 0;
                  TupleId scan(0, 0);
                  try {
                      for (;;) {
                          rm->findNextRecord(TABLE, scan);
                          ++count;
                      }
                  } catch (const OrvException& e) {
                      if (e.getErrorCode() != ORV_RM_NO_MORE_PAGES) {
                          return 50;
                      }
                  }
                  OrvClientTransaction::commit();
                  OrvSystem::stopAllManagers();
                  return wrong + (count == 12 ? 0 : 20);
              }));
    EXPECT_EQ(0, run({ORV_ORVSTOP}).exitCode);
}

} // namespace
