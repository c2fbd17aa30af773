// Index keys: their order, their copies and the entries of integer pages.
#include "OrvIndexKey.h"

#include "OrvError.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

class OrvIndexKeyTest : public ::testing::Test {
protected:
    void SetUp() override { clearError(); }

    static void clearError() { OrvError::getErrorObject()->setError(Support, ORV_SUCCESS); }
    static OrvErrorCode lastError() { return OrvError::getErrorObject()->getErrorCode(); }

    static OrvIndexKey integer(Sint32 value) {
        OrvIndexKey key;
        key.dataType = INTEGER;
        key.intKey = value;
        return key;
    }
    // Points at text the caller owns, as callers usually do.
    static OrvIndexKey varchar(const char* text) {
        OrvIndexKey key;
        key.dataType = VARCHAR;
        key.varcharKey = const_cast<char*>(text);
        return key;
    }
};

TEST_F(OrvIndexKeyTest, DefaultKeyIsUnknownAndEmpty) {
    OrvIndexKey key;
    EXPECT_FALSE(key.ownChar);
    EXPECT_EQ(UnknownDataType, key.dataType);
    EXPECT_EQ(0, key.intKey);
    EXPECT_EQ(nullptr, key.varcharKey);
}

TEST_F(OrvIndexKeyTest, IntegersCompareSigned) {
    OrvIndexKey minus5 = integer(-5);
    OrvIndexKey three = integer(3);
    EXPECT_TRUE(minus5 < three);
    EXPECT_FALSE(three < minus5);
    EXPECT_TRUE(minus5 < 3);
    EXPECT_TRUE(minus5 <= three);
    EXPECT_TRUE(three <= integer(3));
    EXPECT_TRUE(three == 3);
    EXPECT_FALSE(three == minus5);
    EXPECT_TRUE(three > minus5);
    EXPECT_TRUE(three >= integer(3));
    EXPECT_TRUE(integer(ORV_MIN_SINT32) < ORV_MAX_SINT32);
    EXPECT_EQ(ORV_SUCCESS, lastError());
}

TEST_F(OrvIndexKeyTest, TextsCompareBytewiseLikeStrcmp) {
    EXPECT_TRUE(varchar("ab") < varchar("abc"));
    EXPECT_FALSE(varchar("abc") < varchar("ab"));
    EXPECT_TRUE(varchar("B") < varchar("a"));
    EXPECT_TRUE(varchar("same") == varchar("same"));
    EXPECT_TRUE(varchar("same") <= varchar("same"));
    EXPECT_TRUE(varchar("same") <= "same");
    EXPECT_FALSE(varchar("same ") == "same");
    // Bytes count as unsigned: 0xE4 sorts after every ASCII letter.
    EXPECT_TRUE(varchar("z") < "\xE4");
    EXPECT_TRUE(varchar("abc") > varchar("ab"));
    EXPECT_TRUE(varchar("ab") >= varchar("ab"));
    EXPECT_EQ(ORV_SUCCESS, lastError());
}

TEST_F(OrvIndexKeyTest, MismatchedTypesGiveFalseAndRecordAnInternalFailure) {
    OrvIndexKey number = integer(1);
    EXPECT_FALSE(number < "a");
    EXPECT_EQ(ORV_INTERNAL_FAIL, lastError());
    EXPECT_EQ(IndexManager, OrvError::getErrorObject()->getComponent());

    struct Case {
        const char* name;
        bool (*compare)();
    };
    const Case cases[] = {
        {"varchar < int", [] { return varchar("a") < 1; }},
        {"int == text", [] { return integer(1) == "1"; }},
        {"int <= text", [] { return integer(1) <= "1"; }},
        {"int < varchar key", [] { return integer(1) < varchar("1"); }},
        {"unknown other", [] { return integer(1) == OrvIndexKey(); }},
        {"unknown this", [] { return OrvIndexKey() < integer(1); }},
        {"varchar without text", [] { return varchar(nullptr) == "x"; }},
        {"null text", [] { return varchar("x") < static_cast<const char*>(nullptr); }},
        {"greater, mismatched", [] { return varchar("a") > integer(0); }},
    };
    for (const Case& c : cases) {
        clearError();
        EXPECT_FALSE(c.compare()) << c.name;
        EXPECT_EQ(ORV_INTERNAL_FAIL, lastError()) << c.name;
    }
}

TEST_F(OrvIndexKeyTest, AssigningATextMakesAPrivateCopy) {
    auto source = std::make_unique<char[]>(4);
    std::strcpy(source.get(), "abc");
    OrvIndexKey target;
    {
        OrvIndexKey from = varchar(source.get());
        target = from;
    }
    source[0] = 'X';
    source.reset();
    ASSERT_TRUE(target.ownChar);
    EXPECT_EQ(VARCHAR, target.dataType);
    EXPECT_STREQ("abc", target.varcharKey);

    // A second text replaces (and releases) the first; assigning the key to
    // itself keeps its text.
    target = varchar("longer text");
    EXPECT_STREQ("longer text", target.varcharKey);
    OrvIndexKey& itself = target;
    target = itself;
    EXPECT_STREQ("longer text", target.varcharKey);
    EXPECT_EQ(ORV_SUCCESS, lastError());
}

TEST_F(OrvIndexKeyTest, AssigningAnIntegerKeepsOwnedText) {
    OrvIndexKey key;
    key = varchar("kept");
    ASSERT_TRUE(key.ownChar);
    key = integer(42);
    EXPECT_EQ(INTEGER, key.dataType);
    EXPECT_EQ(42, key.intKey);
    EXPECT_TRUE(key.ownChar);
    EXPECT_STREQ("kept", key.varcharKey);
}

TEST_F(OrvIndexKeyTest, AssigningAnUnknownKeyRecordsAFailure) {
    OrvIndexKey key = integer(7);
    key = OrvIndexKey();
    EXPECT_EQ(UnknownDataType, key.dataType);
    EXPECT_EQ(7, key.intKey);
    EXPECT_EQ(ORV_INTERNAL_FAIL, lastError());
}

TEST_F(OrvIndexKeyTest, CopiesOwnTheirText) {
    char text[] = "copy";
    OrvIndexKey original = varchar(text);
    OrvIndexKey copy(original);
    text[0] = 'X';
    EXPECT_TRUE(copy.ownChar);
    EXPECT_STREQ("copy", copy.varcharKey);
    OrvIndexKey unknownCopy{OrvIndexKey()};
    EXPECT_EQ(UnknownDataType, unknownCopy.dataType);
    EXPECT_EQ(ORV_SUCCESS, lastError());
}

TEST(OrvIndexEntryTest, EntriesCompareByValueAndDumpTheirFields) {
    OrvIndexIntegerKey node(-3, 17);
    EXPECT_TRUE(node == -3);
    EXPECT_TRUE(node < OrvIndexIntegerKey(5, 1));
    EXPECT_TRUE(node >= -3);
    EXPECT_EQ(0, OrvIndexIntegerKey().value);
    EXPECT_EQ(0, OrvIndexIntegerKey().nextChild);

    OrvIndexIntegerTupleIdentifier leaf(9, TupleId(12, 200));
    OrvIndexIntegerTupleIdentifier copy;
    EXPECT_EQ(0, copy.value);
    EXPECT_EQ(TupleId(), copy.tupleId);
    copy = leaf;
    EXPECT_TRUE(copy == 9);
    EXPECT_EQ(TupleId(12, 200), copy.tupleId);
    // The tuple id takes no part in the order.
    EXPECT_FALSE(leaf < OrvIndexIntegerTupleIdentifier(9, TupleId(13, 0)));
    EXPECT_TRUE(leaf <= OrvIndexIntegerTupleIdentifier(9, TupleId(13, 0)));

    testing::internal::CaptureStdout();
    node.dump();
    leaf.dump();
    EXPECT_EQ("Value: -3, NextChild: 17\nValue: 9, TupleId: 12, 200)\n",
              testing::internal::GetCapturedStdout());
}

} // namespace
