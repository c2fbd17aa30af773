#include "OrvLsn.h"

#include "OrvError.h"
#include "OrvException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The code and first token of the exception that parsing text throws, or
// ORV_SUCCESS when it parses.
OrvErrorCode parseFailure(const std::string& text, std::string* token = nullptr) {
    try {
        OrvLsn lsn(text);
        (void)lsn;
    } catch (const OrvException& e) {
        if (token != nullptr) {
            *token = e.getToken(1);
        }
        return e.getErrorCode();
    }
    return ORV_SUCCESS;
}

TEST(OrvLsnTest, NoneIsZeroZero) {
    EXPECT_EQ(OrvLsn(0, 0), OrvLsn());
    EXPECT_EQ(OrvLsn(), OrvLsn::dummyLSN());
    EXPECT_EQ("0,0", OrvLsn::dummyLSN().dump());
    EXPECT_NE(OrvLsn(0, 1), OrvLsn::dummyLSN());
}

TEST(OrvLsnTest, TextFormRoundTrips) {
    EXPECT_EQ("1,120", OrvLsn(1, 120).dump());
    const OrvLsn samples[] = {
        OrvLsn(),           OrvLsn(1, 120), OrvLsn(0, 7), OrvLsn(7, 0), OrvLsn(65535, 4294967295u),
        OrvLsn(10, 1000000)};
    for (const OrvLsn& lsn : samples) {
        OrvLsn parsed(lsn.dump());
        EXPECT_EQ(lsn, parsed) << lsn.dump();
        EXPECT_EQ(lsn.getFilenumber(), parsed.getFilenumber());
        EXPECT_EQ(lsn.getOffset(), parsed.getOffset());
    }
}

TEST(OrvLsnTest, BadTextsFailWithTheWholeText) {
    const std::string bad[] = {
        "1;120", "1,120x", "", ",", "1,", ",1", "1", "x,1", "1,x", "1,,2", "1,2,3",
        // blanks and signs are not part of the text form
        " 1,120", "1 ,120", "1, 120", "1,120 ", "+1,120", "-1,120", "1,-120", "1,+120",
        // out of range, and overlong however padded
        "65536,0", "1,4294967296", "99999999999999999999,1", "1,18446744073709551617", "000001,5",
        "1,00000000001"};
    for (const std::string& text : bad) {
        std::string token;
        EXPECT_EQ(ORV_LOGM_LSN_PARSING_FAILED, parseFailure(text, &token)) << "'" << text << "'";
        EXPECT_EQ(text, token);
    }
    // Padding up to the width of the largest number is still a number.
    EXPECT_EQ(OrvLsn(1, 5), OrvLsn("00001,0000000005"));
}

TEST(OrvLsnTest, HugeTextFailsAndIsReportedWithItsSqlstate) {
    std::string text(100000, '7');
    std::string token;
    try {
        OrvLsn lsn(text);
        FAIL() << "parsed";
    } catch (const OrvException& e) {
        EXPECT_EQ(ORV_LOGM_LSN_PARSING_FAILED, e.getErrorCode());
        e.SET_ERROR();
    }
    char message[1025] = {};
    char sqlstate[6] = {};
    OrvError::getErrorObject()->getError(message, sizeof(message), sqlstate);
    EXPECT_STREQ("LOG06", sqlstate);

    OrvError::getErrorObject()->setError(LogManager, ORV_SUCCESS);
    try {
        OrvLsn lsn("1;120");
    } catch (const OrvException& e) {
        e.SET_ERROR();
    }
    OrvError::getErrorObject()->getError(message, sizeof(message), sqlstate);
    EXPECT_STREQ("The parsing of LSN '1;120' from a string.", message);
}

TEST(OrvLsnTest, OrderIsByFileThenOffset) {
    EXPECT_TRUE(OrvLsn(2, 0) > OrvLsn(1, 4000000));
    EXPECT_TRUE(OrvLsn(1, 4000000) < OrvLsn(2, 0));
    EXPECT_TRUE(OrvLsn(1, 7) < OrvLsn(1, 10));
    EXPECT_FALSE(OrvLsn(1, 10) < OrvLsn(1, 7));
    EXPECT_FALSE(OrvLsn(1, 7) < OrvLsn(1, 7));
    EXPECT_FALSE(OrvLsn(1, 7) > OrvLsn(1, 7));
    const OrvLsn others[] = {OrvLsn(0, 1), OrvLsn(1, 0), OrvLsn(65535, 4294967295u)};
    for (const OrvLsn& lsn : others) {
        EXPECT_TRUE(OrvLsn::dummyLSN() < lsn) << lsn.dump();
        EXPECT_TRUE(lsn > OrvLsn::dummyLSN()) << lsn.dump();
    }
    std::vector<OrvLsn> lsns = {OrvLsn(3, 1), OrvLsn(1, 70000), OrvLsn(2, 5), OrvLsn(1, 9),
                                OrvLsn()};
    std::sort(lsns.begin(), lsns.end());
    std::vector<std::string> texts;
    for (const OrvLsn& lsn : lsns) {
        texts.push_back(lsn.dump());
    }
    EXPECT_EQ((std::vector<std::string>{"0,0", "1,9", "1,70000", "2,5", "3,1"}), texts);
}

// The bytes an LSN leaves in a page header: file number, two zero bytes,
// offset, whatever was in the memory before.
TEST(OrvLsnTest, PageHeaderBytesAreFileNumberZeroPaddingAndOffset) {
    alignas(OrvLsn) unsigned char bytes[8];
    std::memset(bytes, 0xAB, sizeof(bytes));
    OrvLsn* lsn = new (bytes) OrvLsn(0x0102, 0x03040506);
    Uint16 file;
    Uint32 offset;
    std::memcpy(&file, bytes, 2);
    std::memcpy(&offset, bytes + 4, 4);
    EXPECT_EQ(0x0102, file);
    EXPECT_EQ(0, bytes[2]);
    EXPECT_EQ(0, bytes[3]);
    EXPECT_EQ(0x03040506u, offset);
    *lsn = OrvLsn("9,8");
    EXPECT_EQ(0, bytes[2]);
    EXPECT_EQ(0, bytes[3]);
}

} // namespace
