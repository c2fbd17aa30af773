#include "OrvTransaction.h"

#include "OrvDebug.h"
#include "OrvError.h"
#include "OrvException.h"
#include "common/OrvTestSupport.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <unistd.h>

namespace {

OrvErrorCode parseFailure(const std::string& text, std::string* token = nullptr) {
    try {
        OrvTransactionId id(text);
        (void)id;
    } catch (const OrvException& e) {
        if (token != nullptr) {
            *token = e.getToken(1);
        }
        return e.getErrorCode();
    }
    return ORV_SUCCESS;
}

int countEntries(const OrvDebug::EntryList& entries, const std::string& name) {
    int count = 0;
    for (const OrvDebugData& entry : entries) {
        count += name == entry.name ? 1 : 0;
    }
    return count;
}

class OrvTransactionManagerTest : public ::testing::Test {
protected:
    void TearDown() override { OrvTransactionManager::resetForProcess(); }
};

// ---- OrvTransactionId ------------------------------------------------------

TEST(OrvTransactionIdTest, DefaultIsThisProcessWithCountZero) {
    OrvTransactionId id;
    EXPECT_EQ(getpid(), id.getProcessID());
    EXPECT_EQ(0, id.getUniqueCount());
    EXPECT_EQ(std::to_string(getpid()) + ",0", id.dump());
}

TEST(OrvTransactionIdTest, TextFormAndStreamOutput) {
    EXPECT_EQ("4711,3", OrvTransactionId(4711, 3).dump());
    std::ostringstream os;
    os << OrvTransactionId(4711, 3) << ";" << OrvTransactionId::INVALID_TRANSACTION_ID;
    EXPECT_EQ("4711,3;0,0", os.str());
}

TEST(OrvTransactionIdTest, TextFormRoundTrips) {
    const OrvTransactionId samples[] = {OrvTransactionId(),
                                        OrvTransactionId::INVALID_TRANSACTION_ID,
                                        OrvTransactionId(4711, 3),
                                        OrvTransactionId(2147483647, 65535),
                                        OrvTransactionId(-2147483647 - 1, 1),
                                        OrvTransactionId(-1, 0)};
    for (const OrvTransactionId& id : samples) {
        OrvTransactionId parsed(id.dump());
        EXPECT_EQ(id, parsed) << id.dump();
        EXPECT_EQ(id.getProcessID(), parsed.getProcessID());
        EXPECT_EQ(id.getUniqueCount(), parsed.getUniqueCount());
    }
}

TEST(OrvTransactionIdTest, BadTextsFailWithTheWholeText) {
    const std::string bad[] = {"4711;3", "4711,3 ", "4711", "", ",", ",3", "4711,", "4711,3x",
                               "4711,,3", "4711,3,1", "abc,1", "1,abc", " 4711,3", "4711 ,3",
                               "4711, 3", "+4711,3", "4711,+3", "4711,-1", "-,1", "--1,1",
                               // out of range must fail, not wrap
                               "4711,65536", "2147483648,0", "-2147483649,0",
                               "99999999999999999999999,1",
                               // overlong however padded
                               "00000000001,1", "1,000001"};
    for (const std::string& text : bad) {
        std::string token;
        EXPECT_EQ(ORV_TRANSACTION_ID_PARSING_FAILED, parseFailure(text, &token))
            << "'" << text << "'";
        EXPECT_EQ(text, token);
    }
}

TEST(OrvTransactionIdTest, ParsingFailureIsReportedWithItsMessage) {
    try {
        OrvTransactionId id("4711;3");
        FAIL() << "parsed";
    } catch (const OrvException& e) {
        e.SET_ERROR();
    }
    char message[1025] = {};
    char sqlstate[6] = {};
    OrvError::getErrorObject()->getError(message, sizeof(message), sqlstate);
    EXPECT_STREQ("The parsing of transaction ID '4711;3' from a string.", message);
    EXPECT_STREQ("TX000", sqlstate);
}

TEST(OrvTransactionIdTest, EqualityNeedsBothFields) {
    EXPECT_TRUE(OrvTransactionId(5, 1) == OrvTransactionId(5, 1));
    EXPECT_FALSE(OrvTransactionId(5, 1) != OrvTransactionId(5, 1));
    EXPECT_TRUE(OrvTransactionId(5, 1) != OrvTransactionId(5, 2));
    EXPECT_TRUE(OrvTransactionId(5, 1) != OrvTransactionId(6, 1));
    EXPECT_NE(OrvTransactionId::INVALID_TRANSACTION_ID, OrvTransactionId());
    EXPECT_EQ(OrvTransactionId(0, 0), OrvTransactionId::INVALID_TRANSACTION_ID);
}

// ---- OrvTransactionManager -------------------------------------------------

TEST_F(OrvTransactionManagerTest, FreshManagerHasThisProcessAndCountZero) {
    OrvTransactionManager* manager = OrvTransactionManager::getInstance();
    EXPECT_EQ(manager, OrvTransactionManager::getInstance());
    EXPECT_EQ(OrvTransactionId(getpid(), 0), manager->getCurrentTransactionID());
}

TEST_F(OrvTransactionManagerTest, CountWrapsAfter65536Transactions) {
    OrvTransactionManager* manager = OrvTransactionManager::getInstance();
    ASSERT_EQ(ORV_SUCCESS, manager->startNewTransaction());
    EXPECT_EQ(OrvTransactionId(getpid(), 1), manager->getCurrentTransactionID());
    for (int i = 1; i < 65535; ++i) {
        ASSERT_EQ(ORV_SUCCESS, manager->startNewTransaction());
    }
    EXPECT_EQ(OrvTransactionId(getpid(), 65535), manager->getCurrentTransactionID());
    ASSERT_EQ(ORV_SUCCESS, manager->startNewTransaction());
    EXPECT_EQ(OrvTransactionId(getpid(), 0), manager->getCurrentTransactionID());
}

TEST_F(OrvTransactionManagerTest, DebugCommandPrintsTheCurrentId) {
    OrvTransactionManager* manager = OrvTransactionManager::getInstance();
    const OrvDebugData* entry = OrvDebug::find(OrvDebug::functions(), "transactionId");
    ASSERT_NE(nullptr, entry);
    EXPECT_STREQ("Dumps the current TransactionId", entry->doc);
    EXPECT_EQ(nullptr, entry->var);
    EXPECT_EQ(nullptr, entry->rstfunc);
    ASSERT_NE(nullptr, entry->func);

    ASSERT_EQ(ORV_SUCCESS, manager->startNewTransaction());
    ASSERT_EQ(ORV_SUCCESS, manager->startNewTransaction());
    std::string args = "ignored arguments";
    testing::internal::CaptureStdout();
    entry->func(&args);
    entry->func(nullptr);
    std::string expected = "Current TransactionId: " + std::to_string(getpid()) + ",2\n";
    EXPECT_EQ(expected + expected, testing::internal::GetCapturedStdout());
}

TEST_F(OrvTransactionManagerTest, NewManagerStartsAgainAndRegistersAgain) {
    int before = countEntries(OrvDebug::functions(), "transactionId");
    ASSERT_EQ(ORV_SUCCESS, OrvTransactionManager::getInstance()->startNewTransaction());
    OrvTransactionManager::resetForProcess();
    OrvTransactionManager* manager = OrvTransactionManager::getInstance();
    EXPECT_EQ(OrvTransactionId(getpid(), 0), manager->getCurrentTransactionID());
    EXPECT_EQ(before + 2, countEntries(OrvDebug::functions(), "transactionId"));
}

// A forked child inherits its parent's manager and with it the parent's id;
// after resetForProcess it works under its own.
TEST_F(OrvTransactionManagerTest, ForkedChildGetsItsOwnIdAfterReset) {
    int rc = orvtest::runInChild([]() {
        OrvTransactionManager* parentManager = OrvTransactionManager::getInstance();
        if (parentManager->startNewTransaction() != ORV_SUCCESS) {
            return 1;
        }
        OrvTransactionId parentId = parentManager->getCurrentTransactionID();
        return orvtest::runInChild([parentId]() {
            OrvTransactionManager::resetForProcess();
            OrvTransactionId own = OrvTransactionManager::getInstance()->getCurrentTransactionID();
            if (own == parentId || own != OrvTransactionId(getpid(), 0)) {
                return 2;
            }
            return 0;
        });
    });
    EXPECT_EQ(0, rc);
}

} // namespace
