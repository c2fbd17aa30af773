// Record tuples: the row format byte for byte, every error of the readers
// and setters, a model test of random rows, and rows read from damaged bytes.
#include "OrvTuple.h"

#include "OrvError.h"
#include "OrvRecord.h"
#include "OrvTable.h"
#include "catalog/CatalogTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

using orvcatalogtest::Column;
using orvcatalogtest::lastMessage;
using orvcatalogtest::makeTable;

namespace {

std::string bytesOf(const OrvRecord* record) {
    return record == nullptr ? std::string("<none>")
                             : std::string(record->getRecordData(), record->getLength());
}

std::string le16(Uint16 v) {
    return std::string(reinterpret_cast<const char*>(&v), 2);
}
std::string le32(Sint32 v) {
    return std::string(reinterpret_cast<const char*>(&v), 4);
}

OrvRecord* recordOf(const std::string& bytes) {
    return new OrvRecord(bytes.data(), static_cast<Uint16>(bytes.size()));
}

// A value of one column in the model: absent means NULL.
struct Value {
    bool isNull = true;
    Sint32 number = 0;
    std::string text;
};

// The row format written out independently of the tuple.
std::string encodeRow(const std::vector<Column>& columns, const std::vector<Value>& row) {
    std::string bytes;
    for (std::size_t i = 0; i < row.size(); ++i) {
        const Column& c = columns[i];
        if (c.nullable) {
            bytes += row[i].isNull ? "N" : "-";
            if (row[i].isNull) {
                continue;
            }
        }
        if (c.type == INTEGER) {
            bytes += le32(row[i].number);
        } else {
            bytes += le16(static_cast<Uint16>(row[i].text.size())) + row[i].text;
        }
    }
    return bytes;
}

OrvErrorCode setValue(OrvRecordTuple& tuple, const Column& column, Uint16 number, const Value& v) {
    if (column.type == INTEGER) {
        return tuple.setInt(number, v.isNull ? nullptr : &v.number);
    }
    // The characters sit in a buffer of exactly their length: no terminator
    // for the tuple to rely on.
    std::unique_ptr<char[]> exact(new char[v.text.size() + 1]);
    std::memcpy(exact.get(), v.text.data(), v.text.size());
    return tuple.setVarchar(number, v.isNull ? nullptr : exact.get(),
                            static_cast<Uint16>(v.text.size()));
}

// Reads every column back and compares it with the model row.
void expectRow(OrvRecordTuple& tuple, const std::vector<Column>& columns,
               const std::vector<Value>& row) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
        SCOPED_TRACE("column " + std::to_string(i));
        Uint16 number = static_cast<Uint16>(i);
        if (columns[i].type == INTEGER) {
            const Sint32* value = &row[i].number;
            ASSERT_EQ(ORV_SUCCESS, tuple.getInt(number, value));
            ASSERT_EQ(row[i].isNull, value == nullptr);
            if (value != nullptr) {
                EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(value) % alignof(Sint32));
                EXPECT_EQ(row[i].number, *value);
            }
        } else {
            const char* value = "";
            Uint16 length = 99;
            ASSERT_EQ(ORV_SUCCESS, tuple.getVarchar(number, value, length));
            ASSERT_EQ(row[i].isNull, value == nullptr);
            if (value != nullptr) {
                EXPECT_EQ(row[i].text, std::string(value, length));
                EXPECT_EQ('\0', value[length]) << "a terminated copy";
            } else {
                EXPECT_EQ(0, length);
            }
        }
    }
}

TEST(OrvRecordTupleTest, ARowIsItsColumnsPackedInOrder) {
    auto table = makeTable({{"A", INTEGER, 0, true}, {"B", VARCHAR, 10, false}});
    OrvRecordTuple tuple(table.get());
    Sint32 seven = 7;
    ASSERT_EQ(ORV_SUCCESS, tuple.setInt(0, &seven));
    EXPECT_EQ(nullptr, tuple.getRecord()); // the last column is missing
    EXPECT_EQ(ORV_INTERNAL_FAIL, OrvGetErrorCode());
    ASSERT_EQ(ORV_SUCCESS, tuple.setVarchar(1, "ab", 2));
    EXPECT_EQ(std::string("-\x07\x00\x00\x00\x02\x00"
                          "ab",
                          9),
              bytesOf(tuple.getRecord()));
    EXPECT_EQ(nullptr, tuple.getTupleId());
    EXPECT_EQ(2, tuple.getNumberColumns());

    // One tuple builds one row after another.
    ASSERT_EQ(ORV_SUCCESS, tuple.initialize(table.get()));
    ASSERT_EQ(ORV_SUCCESS, tuple.setInt(0, nullptr));
    ASSERT_EQ(ORV_SUCCESS, tuple.setVarchar(1, "", 0));
    EXPECT_EQ(std::string("N\x00\x00", 3), bytesOf(tuple.getRecord()));
}

// Every column kind with its extreme values, its NULL and its longest value,
// written, wrapped again from the bytes and read back.
TEST(OrvRecordTupleTest, EveryColumnKindRoundTrips) {
    const std::vector<Column> columns = {{"I", INTEGER, 0, false},
                                         {"NI", INTEGER, 0, true},
                                         {"V", VARCHAR, 300, false},
                                         {"NV", VARCHAR, 1, true}};
    auto table = makeTable(columns);
    EXPECT_EQ(8, table->getMinRecordLength());
    EXPECT_EQ(4 + 5 + 302 + 4, table->getMaxRecordLength());
    auto value = [](Sint32 n) { return Value{false, n, ""}; };
    auto text = [](const std::string& s) { return Value{false, 0, s}; };
    const std::vector<std::vector<Value>> rows = {
        {value(ORV_MIN_SINT32), value(ORV_MAX_SINT32), text(std::string(300, 'v')), text("x")},
        {value(0), Value{}, text(""), Value{}},
        {value(-1), value(0x4E4E4E4E), text(std::string("N\0-", 3)), text("N")},
    };
    for (const auto& row : rows) {
        OrvRecordTuple builder(table.get());
        for (Uint16 i = 0; i < columns.size(); ++i) {
            ASSERT_EQ(ORV_SUCCESS, setValue(builder, columns[i], i, row[i]));
        }
        const std::string bytes = bytesOf(builder.getRecord());
        EXPECT_EQ(encodeRow(columns, row), bytes);
        expectRow(builder, columns, row);

        OrvRecord* record = recordOf(bytes);
        record->setTupleId(TupleId(3, 4));
        OrvRecordTuple reader(record, table.get());
        EXPECT_EQ(TupleId(3, 4), *reader.getTupleId());
        EXPECT_EQ(record, reader.getRecord());
        expectRow(reader, columns, row);
    }
}

TEST(OrvRecordTupleTest, SettersRefuseWhatTheTableForbids) {
    auto table =
        makeTable({{"A", INTEGER, 0, false}, {"B", VARCHAR, 5, false}, {"C", VARCHAR, 5, true}});
    OrvRecordTuple tuple(table.get());
    Sint32 one = 1;
    // Columns are appended strictly in order.
    EXPECT_EQ(ORV_PARAMETER_FAIL, tuple.setVarchar(1, "abc", 3));
    EXPECT_EQ(ORV_PARAMETER_FAIL, tuple.setInt(3, &one));
    EXPECT_EQ(ORV_CAT_DATATYPE_MISMATCH, tuple.setVarchar(0, "abc", 3));
    EXPECT_EQ("Cannot access a value of type 'VARCHAR' for column 0 because the values in that "
              "column are of type 'INTEGER'.",
              lastMessage());
    EXPECT_EQ(ORV_CAT_COLUMN_NOT_NULLABLE, tuple.setInt(0, nullptr));
    EXPECT_NE(std::string::npos, lastMessage().find("attribute 0 "));
    ASSERT_EQ(ORV_SUCCESS, tuple.setInt(0, &one));
    EXPECT_EQ(ORV_CAT_DATATYPE_MISMATCH, tuple.setInt(1, &one));
    EXPECT_EQ(ORV_CAT_COLUMN_NOT_NULLABLE, tuple.setVarchar(1, nullptr, 0));
    // The too-long value is shown at its stated length: its buffer has no
    // terminator (the sanitizer build catches a read past it).
    std::unique_ptr<char[]> six(new char[6]);
    std::memcpy(six.get(), "sixsix", 6);
    EXPECT_EQ(ORV_CAT_VALUE_TOO_LONG, tuple.setVarchar(1, six.get(), 6));
    EXPECT_EQ("Cannot set the value 'sixsix' for column 1 because the value has a length of 6 "
              "bytes but the column is defined with a maximum length of 5 bytes.",
              lastMessage());
    ASSERT_EQ(ORV_SUCCESS, tuple.setVarchar(1, six.get(), 5));
    ASSERT_EQ(ORV_SUCCESS, tuple.setVarchar(2, nullptr, 0));
    EXPECT_EQ(le32(1) + le16(5) + "sixsi" + "N", bytesOf(tuple.getRecord()));

    // Readers: columns past the set ones, and the wrong type.
    OrvRecordTuple partial(table.get());
    ASSERT_EQ(ORV_SUCCESS, partial.setInt(0, &one));
    const char* text = nullptr;
    Uint16 length = 0;
    EXPECT_EQ(ORV_PARAMETER_FAIL, partial.getVarchar(1, text, length));
    const Sint32* number = nullptr;
    EXPECT_EQ(ORV_CAT_DATATYPE_MISMATCH, tuple.getInt(1, number));
    EXPECT_EQ("Cannot access a value of type 'INTEGER' for column 1 because the values in that "
              "column are of type 'VARCHAR'.",
              lastMessage());
    EXPECT_EQ(ORV_CAT_DATATYPE_MISMATCH, tuple.getVarchar(0, text, length));
    EXPECT_EQ(ORV_PARAMETER_FAIL, tuple.getInt(3, number));

    // Forwarded descriptor questions.
    const char* name = nullptr;
    OrvDataType type = INTEGER;
    EXPECT_EQ(ORV_SUCCESS, tuple.getColumnName(2, name));
    EXPECT_STREQ("C", name);
    EXPECT_EQ(ORV_SUCCESS, tuple.getDataType(2, type));
    EXPECT_EQ(VARCHAR, type);
    EXPECT_EQ(ORV_SUCCESS, tuple.getMaxDataLength(0, length));
    EXPECT_EQ(4, length);
    EXPECT_EQ(ORV_PARAMETER_FAIL, tuple.getMaxDataLength(3, length));
}

TEST(OrvRecordTupleTest, WrappingChecksTheArgumentsAndTheRecordSize) {
    auto table = makeTable({{"A", INTEGER, 0, true}, {"B", VARCHAR, 10, false}});
    OrvRecordTuple tuple(table.get());
    EXPECT_EQ(ORV_PARAMETER_FAIL, tuple.initialize(nullptr, table.get()));
    std::unique_ptr<OrvRecord> kept(recordOf("N" + le16(0)));
    EXPECT_EQ(ORV_PARAMETER_FAIL, tuple.initialize(kept.get(), nullptr)); // not taken
    EXPECT_EQ(ORV_PARAMETER_FAIL, tuple.initialize(nullptr));
    OrvTable empty;
    EXPECT_EQ(ORV_INTERNAL_FAIL, tuple.initialize(&empty));

    // One byte short of the minimum (3) and one past the maximum (17).
    EXPECT_EQ(ORV_CAT_INVALID_RECORD_SIZE,
              tuple.initialize(recordOf(std::string("N\0", 2)), table.get()));
    EXPECT_EQ("The record is 2 bytes long, but it must be at least 3 bytes and at most 17 "
              "bytes long.",
              lastMessage());
    const Sint32* number = nullptr;
    EXPECT_EQ(ORV_PARAMETER_FAIL, tuple.getInt(0, number)); // nothing of it is read
    EXPECT_EQ(nullptr, tuple.getRecord());
    // Nor is a column put in front of its bytes.
    Sint32 one = 1;
    EXPECT_EQ(ORV_INTERNAL_FAIL, tuple.setInt(0, &one));
    EXPECT_EQ(ORV_INTERNAL_FAIL, tuple.setInt(0, nullptr));
    EXPECT_EQ(ORV_CAT_INVALID_RECORD_SIZE,
              tuple.initialize(recordOf("-1234" + le16(11) + std::string(11, 'x')), table.get()));
    ASSERT_EQ(ORV_SUCCESS, tuple.initialize(recordOf("N" + le16(0)), table.get()));
    EXPECT_EQ(ORV_SUCCESS, tuple.getInt(0, number));
    EXPECT_EQ(nullptr, number);
}

TEST(OrvRecordTupleTest, OverwritingMovesTheFollowingColumns) {
    const std::vector<Column> columns = {{"A", VARCHAR, 20, true},
                                         {"B", INTEGER, 0, true},
                                         {"C", VARCHAR, 20, false},
                                         {"D", INTEGER, 0, false}};
    auto table = makeTable(columns);
    std::vector<Value> row = {{false, 0, "ab"}, {false, 5, ""}, {false, 0, "tail"}, {false, 9, ""}};
    OrvRecordTuple tuple(table.get());
    for (Uint16 i = 0; i < 4; ++i) {
        ASSERT_EQ(ORV_SUCCESS, setValue(tuple, columns[i], i, row[i]));
    }
    struct Step {
        Uint16 column;
        Value value;
    };
    const std::vector<Step> steps = {
        {0, {false, 0, "a much longer value"}}, // grows: everything after moves up
        {0, {true, 0, ""}},                     // NULL removes length and characters
        {1, {true, 0, ""}},                     // NULL over a value
        {1, {true, 0, ""}},                     // NULL over NULL
        {0, {false, 0, ""}},                    // a value over NULL
        {1, {false, -3, ""}},                   // a value over NULL
        {1, {false, 44, ""}},                   // a value over a value
        {2, {false, 0, "t"}},                   // shrinks
        {3, {false, -9, ""}},
        {2, {false, 0, std::string(20, 'z')}},
    };
    for (const Step& step : steps) {
        ASSERT_EQ(ORV_SUCCESS, setValue(tuple, columns[step.column], step.column, step.value));
        row[step.column] = step.value;
        ASSERT_EQ(encodeRow(columns, row), bytesOf(tuple.getRecord()));
        expectRow(tuple, columns, row);
    }
    // A refused overwrite leaves the row as it was.
    EXPECT_EQ(ORV_CAT_COLUMN_NOT_NULLABLE, tuple.setVarchar(2, nullptr, 0));
    EXPECT_EQ(ORV_CAT_VALUE_TOO_LONG, tuple.setVarchar(0, std::string(21, 'q').c_str(), 21));
    EXPECT_EQ(encodeRow(columns, row), bytesOf(tuple.getRecord()));
}

// A character value is no C string in the row: the column "B" is followed by
// the next column's bytes. Readers get a terminated copy of exactly its bytes.
TEST(OrvRecordTupleTest, CharacterValuesAreHandedOutTerminated) {
    const std::vector<Column> columns = {{"A", VARCHAR, 5, false}, {"B", VARCHAR, 5, false}};
    auto table = makeTable(columns);
    OrvRecordTuple tuple(recordOf(le16(1) + "B" + le16(3) + "xyz"), table.get());
    const char* value = nullptr;
    Uint16 length = 0;
    ASSERT_EQ(ORV_SUCCESS, tuple.getVarchar(0, value, length));
    EXPECT_STREQ("B", value);
    ASSERT_EQ(ORV_SUCCESS, tuple.getVarchar(1, value, length));
    EXPECT_STREQ("xyz", value);
}

// Random table shapes and random rows, built column by column, overwritten at
// random, compared byte for byte with the model's encoding and read back
// through a second tuple wrapped around the bytes.
TEST(OrvRecordTupleTest, RandomRowsMatchTheModel) {
    std::mt19937 random(20261208);
    auto pick = [&](Uint32 below) { return static_cast<Uint32>(random() % below); };
    auto randomValue = [&](const Column& c) {
        Value v;
        v.isNull = c.nullable && pick(4) == 0;
        if (c.type == INTEGER) {
            const Sint32 edges[] = {ORV_MIN_SINT32, ORV_MAX_SINT32, 0, -1, 0x4E, 0x2D};
            v.number = pick(3) == 0 ? edges[pick(6)] : static_cast<Sint32>(random());
        } else {
            Uint32 length = pick(3) == 0 ? c.maxLength : pick(c.maxLength + 1u);
            for (Uint32 i = 0; i < length; ++i) {
                v.text.push_back(static_cast<char>(pick(256)));
            }
        }
        return v;
    };
    for (int shape = 0; shape < 60; ++shape) {
        std::vector<Column> columns(1 + pick(8));
        for (std::size_t i = 0; i < columns.size(); ++i) {
            Column& c = columns[i];
            c.name = "C" + std::to_string(i);
            c.type = pick(2) == 0 ? INTEGER : VARCHAR;
            c.nullable = pick(2) == 0;
            const Uint16 lengths[] = {1, 2, 17, 255, 1000};
            c.maxLength = c.type == INTEGER ? 4 : lengths[pick(5)];
        }
        auto table = makeTable(columns);
        Uint32 shortest = 0;
        Uint32 longest = 0;
        for (const Column& c : columns) {
            shortest += c.nullable ? 1 : (c.type == INTEGER ? 4 : 2);
            longest += (c.nullable ? 1 : 0) + (c.type == INTEGER ? 4 : c.maxLength + 2u);
        }
        ASSERT_EQ(shortest, table->getMinRecordLength());
        ASSERT_EQ(longest, table->getMaxRecordLength());

        OrvRecordTuple tuple(table.get());
        for (int rowNumber = 0; rowNumber < 10; ++rowNumber) {
            ASSERT_EQ(ORV_SUCCESS, tuple.initialize(table.get()));
            std::vector<Value> row;
            for (std::size_t i = 0; i < columns.size(); ++i) {
                row.push_back(randomValue(columns[i]));
                ASSERT_EQ(ORV_SUCCESS,
                          setValue(tuple, columns[i], static_cast<Uint16>(i), row.back()));
                // Sometimes overwrite an already set column on the way.
                if (pick(3) == 0) {
                    Uint16 j = static_cast<Uint16>(pick(static_cast<Uint32>(row.size())));
                    row[j] = randomValue(columns[j]);
                    ASSERT_EQ(ORV_SUCCESS, setValue(tuple, columns[j], j, row[j]));
                }
            }
            for (int changes = pick(5); changes > 0; --changes) {
                Uint16 j = static_cast<Uint16>(pick(static_cast<Uint32>(row.size())));
                row[j] = randomValue(columns[j]);
                ASSERT_EQ(ORV_SUCCESS, setValue(tuple, columns[j], j, row[j]));
            }
            const std::string bytes = bytesOf(tuple.getRecord());
            ASSERT_EQ(encodeRow(columns, row), bytes);
            ASSERT_GE(bytes.size(), shortest);
            ASSERT_LE(bytes.size(), longest);
            expectRow(tuple, columns, row);
            OrvRecordTuple reader(recordOf(bytes), table.get());
            expectRow(reader, columns, row);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

// Reads every column of a tuple; each read either succeeds or fails with one
// of the errors a damaged row may give. Under the sanitizers an out of bounds
// read aborts the test.
void readEverything(OrvRecordTuple& tuple, const OrvTable& table) {
    const std::set<OrvErrorCode> allowed = {ORV_SUCCESS, ORV_CAT_INVALID_RECORD_STRUCTURE,
                                            ORV_INTERNAL_FAIL, ORV_PARAMETER_FAIL};
    Uint16 count = 0;
    ASSERT_EQ(ORV_SUCCESS, table.getNumColumns(count));
    for (Uint16 i = 0; i < count; ++i) {
        OrvDataType type = UnknownDataType;
        ASSERT_EQ(ORV_SUCCESS, table.getColumnDatatype(i, type));
        if (type == INTEGER) {
            const Sint32* value = nullptr;
            OrvErrorCode code = tuple.getInt(i, value);
            ASSERT_TRUE(allowed.count(code)) << code;
            if (code == ORV_SUCCESS && value != nullptr) {
                volatile Sint32 read = *value;
                (void)read;
            }
            Sint32 replacement = 5;
            ASSERT_TRUE(allowed.count(tuple.setInt(i, &replacement)));
        } else {
            const char* value = nullptr;
            Uint16 length = 0;
            OrvErrorCode code = tuple.getVarchar(i, value, length);
            ASSERT_TRUE(allowed.count(code)) << code;
            if (code == ORV_SUCCESS && value != nullptr) {
                ASSERT_EQ(std::strlen(value) <= length, true);
            }
            ASSERT_TRUE(allowed.count(tuple.setVarchar(i, "r", 1)));
        }
    }
}

TEST(OrvRecordTupleTest, DamagedLengthsGiveErrorsNotReadsPastTheEnd) {
    const std::vector<Column> columns = {{"A", VARCHAR, 65000, false}, {"B", INTEGER, 0, false}};
    auto table = makeTable(columns);
    // A stored length of 65535 used to wrap the 16-bit offset back to 1,
    // inside the row, so column B was read from the wrong bytes.
    OrvRecordTuple tuple(recordOf(le16(65535) + "abcdefgh"), table.get());
    const char* text = nullptr;
    Uint16 length = 0;
    EXPECT_EQ(ORV_CAT_INVALID_RECORD_STRUCTURE, tuple.getVarchar(0, text, length));
    EXPECT_EQ("Cannot read 65535 bytes in record at offset 2 because the record is only 10 bytes "
              "long.  The record has an invalid structure that does not line up with the "
              "definition of the table it belongs to.",
              lastMessage());
    const Sint32* number = nullptr;
    EXPECT_NE(ORV_SUCCESS, tuple.getInt(1, number));
    Sint32 five = 5;
    EXPECT_NE(ORV_SUCCESS, tuple.setInt(1, &five));
    EXPECT_NE(ORV_SUCCESS, tuple.setVarchar(0, "x", 1));
    EXPECT_EQ(le16(65535) + "abcdefgh", bytesOf(tuple.getRecord()));

    // A length one past the end, and a nullable column whose indicator is
    // the last byte.
    const std::vector<Column> nullable = {
        {"A", VARCHAR, 10, true}, {"B", INTEGER, 0, true}, {"C", VARCHAR, 10, true}};
    auto other = makeTable(nullable);
    OrvRecordTuple past(recordOf("-" + le16(4) + "ab" + "N"), other.get());
    EXPECT_EQ(ORV_CAT_INVALID_RECORD_STRUCTURE, past.getVarchar(0, text, length));
    EXPECT_EQ(ORV_INTERNAL_FAIL, past.getInt(1, number));
    OrvRecordTuple cut(recordOf("N-12"), other.get());
    EXPECT_EQ(ORV_CAT_INVALID_RECORD_STRUCTURE, cut.getInt(1, number));
    EXPECT_EQ("Cannot read 4 bytes in record at offset 2 because the record is only 4 bytes "
              "long.  The record has an invalid structure that does not line up with the "
              "definition of the table it belongs to.",
              lastMessage());
    // The integer runs past the end: column C starts beyond the row.
    OrvRecordTuple shortRow(recordOf("N-123"), other.get());
    EXPECT_EQ(ORV_INTERNAL_FAIL, shortRow.getVarchar(2, text, length));
    // Column C's indicator is missing.
    OrvRecordTuple noIndicator(recordOf("N-1234"), other.get());
    EXPECT_EQ(ORV_SUCCESS, noIndicator.getInt(1, number));
    EXPECT_EQ(ORV_CAT_INVALID_RECORD_STRUCTURE, noIndicator.getVarchar(2, text, length));
    EXPECT_NE(std::string::npos, lastMessage().find("Cannot read 1 bytes in record at offset 6"));
    // Too short to be wrapped at all: nothing of it is read.
    OrvRecordTuple tiny(recordOf("NN"), other.get());
    EXPECT_EQ(ORV_PARAMETER_FAIL, tiny.getVarchar(2, text, length));
}

// A damaged row can hold a value longer than its column allows; a change
// that would then make the row longer than a record holds is refused, where a
// 16-bit length would have wrapped.
TEST(OrvRecordTupleTest, ARowThatWouldOutgrowARecordIsRefused) {
    const std::vector<Column> columns = {{"A", VARCHAR, 65000, false}, {"B", VARCHAR, 530, false}};
    auto table = makeTable(columns, "BIG");
    ASSERT_EQ(65534, table->getMaxRecordLength());
    const std::string damaged =
        le16(10) + std::string(10, 'a') + le16(65000) + std::string(65000, 'b');
    OrvRecordTuple tuple(recordOf(damaged), table.get());
    const std::string longest(65000, 'c');
    EXPECT_EQ(ORV_CAT_RECORD_TOO_LONG, tuple.setVarchar(0, longest.data(), 65000));
    EXPECT_EQ("A row of table 'BIG' could be 130004 bytes long, but a record holds at most 65535 "
              "bytes.",
              lastMessage());
    EXPECT_EQ(damaged, bytesOf(tuple.getRecord()));
    // A change that still fits is made.
    ASSERT_EQ(ORV_SUCCESS, tuple.setVarchar(0, longest.data(), 500));
    EXPECT_EQ(damaged.size() + 490, tuple.getRecord()->getLength());
}

// Valid random rows with bytes flipped, cut off or overwritten by large
// lengths: whatever the tuple makes of them, it never reads out of bounds.
TEST(OrvRecordTupleTest, DamagedRandomRowsNeverReadOutOfBounds) {
    std::mt19937 random(8122026);
    auto pick = [&](Uint32 below) { return static_cast<Uint32>(random() % below); };
    const std::vector<Column> columns = {{"A", VARCHAR, 40, true},
                                         {"B", INTEGER, 0, true},
                                         {"C", VARCHAR, 300, false},
                                         {"D", INTEGER, 0, false},
                                         {"E", VARCHAR, 3, true}};
    auto table = makeTable(columns);
    for (int round = 0; round < 3000; ++round) {
        OrvRecordTuple builder(table.get());
        Sint32 number = static_cast<Sint32>(random());
        std::string a(pick(41), 'a');
        std::string c(pick(301), 'c');
        ASSERT_EQ(ORV_SUCCESS, builder.setVarchar(0, pick(3) ? a.c_str() : nullptr,
                                                  static_cast<Uint16>(a.size())));
        ASSERT_EQ(ORV_SUCCESS, builder.setInt(1, pick(3) ? &number : nullptr));
        ASSERT_EQ(ORV_SUCCESS, builder.setVarchar(2, c.c_str(), static_cast<Uint16>(c.size())));
        ASSERT_EQ(ORV_SUCCESS, builder.setInt(3, &number));
        ASSERT_EQ(ORV_SUCCESS, builder.setVarchar(4, pick(3) ? "xyz" : nullptr, 3));
        std::string bytes = bytesOf(builder.getRecord());
        switch (pick(4)) {
        case 0: // flip a few bytes
            for (Uint32 n = 1 + pick(3); n > 0; --n) {
                bytes[pick(static_cast<Uint32>(bytes.size()))] ^= static_cast<char>(1 + pick(255));
            }
            break;
        case 1: // cut the row short
            bytes.resize(pick(static_cast<Uint32>(bytes.size())));
            break;
        case 2: { // a large length anywhere
            Uint32 at = pick(static_cast<Uint32>(bytes.size() - 1));
            Uint16 large = static_cast<Uint16>(65535 - pick(400));
            std::memcpy(&bytes[at], &large, 2);
            break;
        }
        default: // a length of a valid row one larger, so the rest shifts
            bytes[pick(static_cast<Uint32>(bytes.size()))] += 1;
            break;
        }
        OrvRecordTuple reader(recordOf(bytes), table.get());
        readEverything(reader, *table);
        if (HasFatalFailure()) {
            return;
        }
    }
}

} // namespace
