// Tuple ids and record copies.
#include "OrvRecord.h"

#include "OrvError.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

std::string bytesOf(const OrvRecord& record) {
    return std::string(record.getRecordData(), record.getLength());
}

TEST(TupleIdTest, DefaultIsPageZeroSlotZeroAndEqualityNeedsBothFields) {
    TupleId none;
    EXPECT_EQ(0, none.page);
    EXPECT_EQ(0, none.slot);
    EXPECT_EQ(TupleId(0, 0), none);
    EXPECT_NE(TupleId(1, 0), none);
    EXPECT_NE(TupleId(0, 1), none);
    EXPECT_NE(TupleId(7, 3), TupleId(3, 7));
    TupleId copy;
    copy = TupleId(65535, 255);
    EXPECT_EQ(65535, copy.page);
    EXPECT_EQ(255, copy.slot);
}

TEST(OrvRecordTest, ConstructorCopiesTheBytesAndSetsNoTupleId) {
    char source[] = "abc\0def";
    OrvRecord record(source, 7);
    source[0] = 'X'; // the record holds a copy
    EXPECT_EQ(7, record.getLength());
    EXPECT_EQ(7, record.getBufferLength());
    EXPECT_EQ(std::string("abc\0def", 7), bytesOf(record));
    EXPECT_EQ(nullptr, record.getTupleId());

    record.setTupleId(TupleId(4, 2));
    ASSERT_NE(nullptr, record.getTupleId());
    EXPECT_EQ(TupleId(4, 2), *record.getTupleId());
}

TEST(OrvRecordTest, NullDataGivesAZeroBufferOfLengthZero) {
    OrvRecord record(nullptr, 16);
    EXPECT_EQ(0, record.getLength());
    EXPECT_EQ(16, record.getBufferLength());
    ASSERT_NE(nullptr, record.getRecordData());
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(0, record.getRecordData()[i]);
    }
    OrvRecord empty;
    EXPECT_EQ(0, empty.getLength());
    EXPECT_NE(nullptr, empty.getRecordData());
}

TEST(OrvRecordTest, SetDataMayTakeItsBytesFromTheRecordItself) {
    OrvRecord record("0123456789", 10);
    // A prefix of its own bytes, as a tuple does when it cuts a row.
    record.setData(record.getRecordData() + 2, 5);
    EXPECT_EQ("23456", bytesOf(record));
    EXPECT_EQ(5, record.getBufferLength());
    record.setData(nullptr, 3);
    EXPECT_EQ(0, record.getLength());
    EXPECT_EQ(3, record.getBufferLength());
}

TEST(OrvRecordTest, CopiesOwnTheirBytes) {
    auto original = std::make_unique<OrvRecord>("hello", 5);
    original->setTupleId(TupleId(9, 1));
    OrvRecord copy(*original);
    OrvRecord assigned("x", 1);
    assigned = *original;
    original.reset();
    EXPECT_EQ("hello", bytesOf(copy));
    EXPECT_EQ("hello", bytesOf(assigned));
    ASSERT_NE(nullptr, assigned.getTupleId());
    EXPECT_EQ(TupleId(9, 1), *assigned.getTupleId());
    OrvRecord& itself = assigned;
    assigned = itself;
    EXPECT_EQ("hello", bytesOf(assigned));
}

} // namespace
