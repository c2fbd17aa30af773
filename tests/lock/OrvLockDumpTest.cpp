// The dumps of the lock list and the debug command "LM_STATS" that shows
// them, in their exact formats.
#include "LockTestSupport.h"

#include <string>

using namespace locktest;
using orvtest::ChildProcess;
using orvtest::Pipe;

namespace {

std::string lmStats(const char* args) {
    const std::string text = args == nullptr ? std::string() : args;
    testing::internal::CaptureStdout();
    LM::lmStats(args == nullptr ? nullptr : &text);
    return testing::internal::GetCapturedStdout();
}

// The text right-aligned in a column of the width.
std::string column(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string currentId() {
    return OrvTransactionManager::getInstance()->getCurrentTransactionID().dump();
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

const char* const entryHeading =
    "\n"
    "|Entry|locktype    |transaction id|segment id|page id|slot id|prev entry|next entry|\n"
    "|=====|============|==============|==========|=======|=======|==========|==========|\n";

} // namespace

TEST_F(LockListTest, HashMapDumpShowsEveryHeadAndTheFreeChain) {
    LM::getInstance()->requestSegment(5, LM::SharedLock);
    const std::string out = lmStats("hashmap");
    EXPECT_EQ(0u, out.find("                  LockList HashMap                 \n"
                           "===================================================\n"
                           "header->latch: false\n"
                           "header->countEntry: 1\n"
                           "\n"
                           "Attention: Last entry points to next free lockentry\n"
                           "\n"
                           "|bucket|link to list|\n"
                           "|======|============|\n"
                           "|     0|       <end>|\n"));
    EXPECT_NE(std::string::npos, out.find("\n|    50|           0|\n"));
    EXPECT_NE(std::string::npos, out.find("\n|    99|       <end>|\n|   100|           1|\n"));
    EXPECT_EQ(101u + 1u, countOf(out, "|\n|")); // the rule line and 101 rows follow on
    EXPECT_EQ(out, lmStats("locklisthashmap"));
}

TEST_F(LockListTest, AllTransactionsDumpShowsEachEntryInUse) {
    LM& lm = *LM::getInstance();
    // Segment, page and slot entries in three buckets (20, 28, 29).
    lm.requestSlot(12, 343, 6, LM::ExclusiveLock);
    const std::string me = column(currentId(), 14);
    const std::string expected =
        std::string(entryHeading) + "|    0|IntExclusive|" + me +
        "|        12|  65535|    255|     <end>|     <end>|\n" + "|    1|IntExclusive|" + me +
        "|        12|    343|    255|     <end>|     <end>|\n" + "|    2|   Exclusive|" + me +
        "|        12|    343|      6|     <end>|     <end>|\n";
    EXPECT_EQ(expected, lmStats("all transactions"));
    // No argument, or one it does not know, shows the same.
    EXPECT_EQ(expected, lmStats(nullptr));
    EXPECT_EQ(expected, lmStats("all  transactions"));
    EXPECT_EQ(expected, lmStats("nonsense"));

    // A second entry in the segment's bucket links to the first.
    lm.requestSegment(12, LM::SharedLock);
    const std::string out = lmStats("all transactions");
    EXPECT_NE(std::string::npos, out.find("|    0|IntExclusive|" + me +
                                          "|        12|  65535|    255|         3|     <end>|\n"));
    EXPECT_NE(std::string::npos, out.find("|    3|      Shared|" + me +
                                          "|        12|  65535|    255|     <end>|"
                                          "         0|\n"));
}

TEST_F(LockListTest, TransactionDumpsShowOnlyTheirEntries) {
    LM& lm = *LM::getInstance();
    lm.requestSegment(5, LM::SharedLock);
    const std::string first = currentId();
    ASSERT_EQ(ORV_SUCCESS, OrvTransactionManager::getInstance()->startNewTransaction());
    lm.requestSegment(6, LM::SharedLock);
    const std::string second = currentId();

    testing::internal::CaptureStdout();
    LM::staticPrintLockListOfTransaction(first);
    const std::string ofFirst = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string(entryHeading) + "|    0|      Shared|" + column(first, 14) +
                  "|         5|  65535|    255|     <end>|     <end>|\n",
              ofFirst);
    EXPECT_EQ(ORV_TRANSACTION_ID_PARSING_FAILED,
              codeOf([] { LM::staticPrintLockListOfTransaction("12;0"); }));

    // The current transaction's dump lists what the process inserted.
    const std::string current = lmStats("current transaction");
    EXPECT_EQ(2u, countOf(current, "|      Shared|"));
    EXPECT_NE(std::string::npos, current.find(column(second, 14)));

    testing::internal::CaptureStdout();
    lm.printLockList(true);
    const std::string whole = testing::internal::GetCapturedStdout();
    const std::string title = std::string(32, ' ') + "LockListe" + std::string(35, ' ');
    const std::string rule = "|" + std::string(74, '=') + "|";
    EXPECT_EQ(0u, whole.find("\n" + title + "\n" + rule + "\n" + std::string(18, ' ') +
                             "LockList HashMap" + std::string(17, ' ') + "\n"));
    EXPECT_NE(std::string::npos, whole.find(entryHeading));
}

TEST_F(LockListTest, WaitListDumpShowsTheWaitingRequest) {
    Pipe ready, end;
    ChildProcess holder(transaction([&](LM& lm) {
        lm.requestSegment(5, LM::ExclusiveLock);
        ready.send();
        return end.receive() ? 0 : 1;
    }));
    ASSERT_TRUE(ready.receive());
    ChildProcess waiter(transaction([](LM& lm) {
        lm.requestSegment(5, LM::SharedLock);
        return 0;
    }));
    ASSERT_TRUE(orvtest::waitUntil([this] { return view->usedWaiting() == 1; }));
    // Children exist: the test process may make its manager now.
    const std::string waiterId = std::to_string(waiter.pid()) + ",0";
    EXPECT_EQ("|index|waitTrans|indexlockentry|preventry|nextentry|\n"
              "|=====|=========|==============|=========|=========|\n"
              "|    0|" +
                  column(waiterId, 9) + "|             0|    <end>|    <end>|\n",
              lmStats("waitinglist"));
    end.send();
    EXPECT_EQ(0, holder.wait());
    EXPECT_EQ(0, waiter.wait());
    EXPECT_EQ("|index|waitTrans|indexlockentry|preventry|nextentry|\n"
              "|=====|=========|==============|=========|=========|\n",
              lmStats("waitinglist"));
}

TEST(LockDumpWithoutList, CommandReportsTheMissingListOnItsOutput) {
    orvtest::TestDatabase db;
    const std::string out = lmStats(nullptr);
    EXPECT_NE(std::string::npos, out.find("Exception aufgetreten: "));
    EXPECT_NE(std::string::npos, out.find("SQLSTATE=MM007"));
    EXPECT_EQ(ORV_MM_SHM_NOT_EXISTS, OrvGetErrorCode());
}
