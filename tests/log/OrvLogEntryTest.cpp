// Log entries: their serialised form, byte for byte, and the way back.
#include "log/OrvIndexLogEntry.h"
#include "log/OrvLogReader.h"
#include "log/OrvRecordLogEntry.h"

#include "OrvException.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

std::string serialised(OrvAbstractLogEntry& entry) {
    std::unique_ptr<char[]> bytes(entry.serialize());
    EXPECT_EQ('\0', bytes[static_cast<std::size_t>(entry.getLength())]);
    return std::string(bytes.get(), static_cast<std::size_t>(entry.getLength()));
}

template <typename Call> OrvErrorCode failureOf(Call call) {
    try {
        call();
    } catch (const OrvException& e) {
        return e.getErrorCode();
    }
    return ORV_SUCCESS;
}

// The entries the reader finds in text read as log file 1.
std::vector<OrvLogReader::EntryView> readBack(const std::string& text,
                                              OrvLogReader::FileResult* result = nullptr) {
    std::vector<OrvLogReader::EntryView> views;
    OrvLogReader::FileResult r = OrvLogReader::parseFile(
        text.data(), text.size(), 1, [&](const OrvLogReader::EntryView& v) { views.push_back(v); });
    if (result != nullptr) {
        *result = r;
    }
    return views;
}

TEST(OrvLogEntryTest, RollbackEntryIsTheDocumented33Bytes) {
    OrvRecordLogEntry entry(OrvTransactionId(4711, 3), 0, nullptr, 0, nullptr, 0, ROLLBACK, nullptr,
                            nullptr, nullptr);
    EXPECT_EQ(0, entry.getLength());
    entry.setLsn(OrvLsn(1, 120));
    entry.setPrevLsn(OrvLsn(1, 60));
    EXPECT_EQ("R;1,120;1,60;4711,3;;;;0;0;;0;;2;", serialised(entry));
    EXPECT_EQ(33, entry.getLength());

    testing::internal::CaptureStdout();
    entry.dump();
    EXPECT_EQ("R;1,120;1,60;4711,3;;;;0;0;;0;;2;\n", testing::internal::GetCapturedStdout());
}

TEST(OrvLogEntryTest, RecordEntryWritesEveryFieldInOrder) {
    TupleId primary(7, 3);
    TupleId newSecondary(65535, 255);
    OrvRecordLogEntry entry(OrvTransactionId(12, 65535), 42, "old", 3, "newer", 5, UPDATE, &primary,
                            nullptr, &newSecondary);
    entry.setLsn(OrvLsn(2, 4096));
    entry.setPrevLsn(std::string("2,10"));
    std::string expected = "R;2,4096;2,10;12,65535;7,3;;65535,255;42;3;old;5;newer;5;";
    EXPECT_EQ(expected, serialised(entry));
    // 14 for 'R' and the separators, plus the fields.
    EXPECT_EQ(14 + 6 + 4 + 8 + 3 + 0 + 9 + 2 + 1 + 3 + 1 + 5 + 1, entry.getLength());
    EXPECT_EQ(static_cast<int>(expected.size()), entry.getLength());
    EXPECT_EQ(OrvLsn(2, 4096), entry.getLsn());
    EXPECT_EQ(OrvLsn(2, 10), entry.getPrevLsn());
    ASSERT_NE(nullptr, entry.getPrimTupelID());
    EXPECT_EQ(primary, *entry.getPrimTupelID());
    EXPECT_EQ(nullptr, entry.getOldSecTID());
    EXPECT_EQ(newSecondary, *entry.getNewSecTID());
}

TEST(OrvLogEntryTest, IndexEntryWritesEveryFieldInOrder) {
    PageId page = 513;
    OrvIndexLogEntry entry(OrvTransactionId(99, 1), &page, 33000, "ab", 2, "xyz", 3,
                           INTEGER_OPERATION);
    entry.setLsn(OrvLsn(1, 0));
    entry.setPrevLsn(OrvLsn());
    std::string expected = "I;1,0;0,0;99,1;513;33000;2;ab;3;xyz;16;";
    EXPECT_EQ(expected, serialised(entry));
    EXPECT_EQ(12 + 3 + 3 + 4 + 3 + 5 + 1 + 2 + 1 + 3 + 2, entry.getLength());

    OrvIndexLogEntry commit(OrvTransactionId(99, 1), nullptr, 0, nullptr, 0, nullptr, 0, COMMIT);
    commit.setLsn(OrvLsn(1, 40));
    commit.setPrevLsn(OrvLsn(1, 0));
    EXPECT_EQ("I;1,40;1,0;99,1;;0;0;;0;;1;", serialised(commit));
    EXPECT_EQ(nullptr, commit.getPageID());
    ASSERT_NE(nullptr, commit.getBeforePage());
    EXPECT_EQ('\0', commit.getBeforePage()[0]);
}

TEST(OrvLogEntryTest, ImagesWithSeparatorsAndLineBreaksSurviveTheRoundTrip) {
    const std::string before("a;b\nc;;\n\n", 9);
    const std::string after("\n;R;1,0;\0\xff", 11);
    TupleId primary(1, 2);
    OrvRecordLogEntry record(OrvTransactionId(5, 0), 7, before.data(), 9, after.data(), 11, DELETE,
                             &primary, &primary, nullptr);
    record.setLsn(OrvLsn(1, 0));
    record.setPrevLsn(OrvLsn());
    std::string log = serialised(record) + "\n";

    PageId page = 4;
    std::string pageImage(4096, ';');
    pageImage[100] = '\n';
    OrvIndexLogEntry index(OrvTransactionId(5, 0), &page, 32769, pageImage.data(), 4096, nullptr, 0,
                           INTEGER_UNDO);
    index.setLsn(OrvLsn(1, static_cast<Uint32>(log.size())));
    index.setPrevLsn(OrvLsn(1, 0));
    log += serialised(index) + "\n";

    OrvLogReader::FileResult result;
    std::vector<OrvLogReader::EntryView> views = readBack(log, &result);
    EXPECT_TRUE(result.complete) << result.problem;
    ASSERT_EQ(2u, views.size());

    OrvRecordLogEntry recordBack;
    OrvLogReader::fillEntry(views[0], recordBack);
    EXPECT_EQ(before, std::string(recordBack.getBeforeImage(), 9));
    EXPECT_EQ(after, std::string(recordBack.getAfterImage(), 11));
    EXPECT_EQ('\0', recordBack.getAfterImage()[11]);
    EXPECT_EQ(DELETE, recordBack.getTransactionType());
    EXPECT_EQ(OrvTransactionId(5, 0), recordBack.getTransactionID());
    EXPECT_EQ(primary, *recordBack.getOldSecTID());
    EXPECT_EQ(serialised(record), serialised(recordBack));

    OrvIndexLogEntry indexBack;
    OrvLogReader::fillEntry(views[1], indexBack);
    EXPECT_EQ(pageImage, std::string(indexBack.getBeforePage(), 4096));
    EXPECT_EQ(0, indexBack.getApl());
    EXPECT_EQ(4, *indexBack.getPageID());
    EXPECT_EQ(OrvLsn(1, 0), indexBack.getPrevLsn());
    EXPECT_EQ(serialised(index), serialised(indexBack));
}

TEST(OrvLogEntryTest, CopiesCarryTheLsnsAndOwnTheirImages) {
    auto original = std::make_unique<OrvRecordLogEntry>(
        OrvTransactionId(1, 1), 3, "before", 6, "after", 5, INSERT, nullptr, nullptr, nullptr);
    original->setLsn(OrvLsn(3, 30));
    original->setPrevLsn(OrvLsn(3, 3));
    std::string form = serialised(*original);
    OrvRecordLogEntry copy(*original);
    OrvRecordLogEntry assigned;
    assigned = *original;
    original.reset();
    EXPECT_EQ(form, serialised(copy));
    EXPECT_EQ(form, serialised(assigned));

    PageId page = 1;
    auto index = std::make_unique<OrvIndexLogEntry>(OrvTransactionId(1, 1), &page, 3, "b", 1, "a",
                                                    1, VARCHAR_OPERATION);
    index->setLsn(OrvLsn(1, 9));
    std::string indexForm = serialised(*index);
    OrvIndexLogEntry fromPointer(index.get());
    OrvIndexLogEntry indexCopy(*index);
    index.reset();
    EXPECT_EQ(indexForm, serialised(fromPointer));
    EXPECT_EQ(indexForm, serialised(indexCopy));
    EXPECT_EQ(ORV_LOGM_INDEX_INIT_FAILED, failureOf([] {
                  OrvIndexLogEntry bad(static_cast<const OrvIndexLogEntry*>(nullptr));
              }));
}

TEST(OrvLogEntryTest, ImpossibleImagesAreRefusedByTheConstructors) {
    EXPECT_EQ(ORV_LOGM_RECORD_INIT_FAILED, failureOf([] {
                  OrvRecordLogEntry e(OrvTransactionId(1, 0), 1, nullptr, 4, nullptr, 0, INSERT,
                                      nullptr, nullptr, nullptr);
              }));
    EXPECT_EQ(ORV_LOGM_RECORD_INIT_FAILED, failureOf([] {
                  OrvRecordLogEntry e(OrvTransactionId(1, 0), 1, "x", -1, nullptr, 0, INSERT,
                                      nullptr, nullptr, nullptr);
              }));
    EXPECT_EQ(ORV_LOGM_INDEX_INIT_FAILED, failureOf([] {
                  OrvIndexLogEntry e(OrvTransactionId(1, 0), nullptr, 1, nullptr, 0, nullptr, 1,
                                     INTEGER_OPERATION);
              }));
    // A failed refill leaves the entry as it was.
    OrvRecordLogEntry entry(OrvTransactionId(1, 0), 1, "keep", 4, nullptr, 0, INSERT, nullptr,
                            nullptr, nullptr);
    EXPECT_EQ(ORV_LOGM_RECORD_INIT_FAILED, failureOf([&] {
                  entry.writeVariables(OrvTransactionId(2, 0), 2, nullptr, 9, nullptr, 0, DELETE,
                                       nullptr, nullptr, nullptr);
              }));
    EXPECT_EQ(std::string("keep"), std::string(entry.getBeforeImage(), 4));
    EXPECT_EQ(OrvTransactionId(1, 0), entry.getTransactionID());
}

TEST(OrvLogEntryTest, PreviousLsnTextIsCheckedBeforeItIsStored) {
    OrvIndexLogEntry entry;
    EXPECT_EQ(ORV_LOGM_LSN_PARSING_FAILED,
              failureOf([&] { entry.setPrevLsn(std::string("1;5")); }));
    EXPECT_EQ(OrvLsn(), entry.getPrevLsn());
    entry.setPrevLsn(std::string("7,8"));
    EXPECT_EQ(OrvLsn(7, 8), entry.getPrevLsn());
    EXPECT_EQ(OrvLsn(), entry.getLsn());
}

TEST(OrvLogEntryTest, IndexImageLengthsChangeOnlyWithTheImages) {
    PageId page = 2;
    OrvIndexLogEntry entry(OrvTransactionId(1, 0), &page, 5, "abcdef", 6, "uvw", 3,
                           INTEGER_OPERATION);
    entry.setBpl(2);
    entry.setApl(5);
    entry.setLsn(OrvLsn(1, 0));
    entry.setPrevLsn(OrvLsn());
    EXPECT_EQ(std::string("I;1,0;0,0;1,0;2;5;2;ab;5;uvw\0\0;16;", 34), serialised(entry));
    entry.setAfterPage("12345");
    EXPECT_EQ("12345", std::string(entry.getAfterPage(), 5));
    EXPECT_EQ(ORV_PARAMETER_FAIL, failureOf([&] { entry.setBpl(-1); }));
    EXPECT_EQ(2, entry.getBpl());
    EXPECT_EQ(ORV_PARAMETER_FAIL, failureOf([&] { entry.setAfterPage(nullptr); }));
}

} // namespace
