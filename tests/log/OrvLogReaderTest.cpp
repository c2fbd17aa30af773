// The log reader on damaged bytes: truncated at every offset, overwritten at
// every offset, and the fuzz corpus replayed.
#include "log/OrvLogReader.h"
#include "fuzz/LogReaderCheck.h"
#include "log/OrvIndexLogEntry.h"
#include "log/OrvRecordLogEntry.h"

#include "OrvConfig.h"
#include "OrvTestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <random>
#include <string>
#include <vector>

namespace {

// A log file of three entries (record, index, record), as log file 1, with
// the offsets where each entry ends.
struct SampleLog {
    std::string bytes;
    std::vector<std::size_t> ends;
};

void appendEntry(SampleLog& log, OrvAbstractLogEntry& entry, const OrvLsn& prev) {
    entry.setLsn(OrvLsn(1, static_cast<Uint32>(log.bytes.size())));
    entry.setPrevLsn(prev);
    std::string form;
    entry.serializeTo(form);
    log.bytes += form + "\n";
    log.ends.push_back(log.bytes.size());
}

SampleLog sampleLog() {
    SampleLog log;
    TupleId tid(3, 4);
    OrvRecordLogEntry insert(OrvTransactionId(321, 0), 5, nullptr, 0, "row;\n1", 6, INSERT, &tid,
                             nullptr, nullptr);
    appendEntry(log, insert, OrvLsn());
    PageId page = 1;
    std::string before(64, 'b');
    before[10] = '\n';
    before[11] = ';';
    OrvIndexLogEntry index(OrvTransactionId(321, 0), &page, 32769, before.data(), 64, "I;1,0;", 6,
                           INTEGER_OPERATION);
    appendEntry(log, index, OrvLsn(1, 0));
    OrvRecordLogEntry commit(OrvTransactionId(321, 0), 0, nullptr, 0, nullptr, 0, COMMIT, nullptr,
                             nullptr, nullptr);
    appendEntry(log, commit, OrvLsn(1, static_cast<Uint32>(log.ends[0])));
    return log;
}

OrvLogReader::FileResult parse(const std::string& bytes, std::size_t* count) {
    *count = 0;
    return OrvLogReader::parseFile(bytes.data(), bytes.size(), 1,
                                   [&](const OrvLogReader::EntryView&) { ++*count; });
}

TEST(OrvLogReaderTest, TruncationAtAnyOffsetEndsTheLogAtTheLastWholeEntry) {
    SampleLog log = sampleLog();
    for (std::size_t length = 0; length <= log.bytes.size(); ++length) {
        // A copy of just the prefix, so that the sanitizer catches any read
        // past it.
        std::string prefix = log.bytes.substr(0, length);
        std::size_t whole = 0;
        std::size_t end = 0;
        for (std::size_t e : log.ends) {
            if (e <= length) {
                ++whole;
                end = e;
            }
        }
        std::size_t count = 0;
        OrvLogReader::FileResult result = parse(prefix, &count);
        EXPECT_EQ(whole, count) << "length " << length;
        EXPECT_EQ(end, result.end) << "length " << length;
        EXPECT_EQ(end == length, result.complete) << "length " << length;
        if (!result.complete) {
            EXPECT_EQ(0u, result.problem.find("truncated entry")) << result.problem;
        }
        EXPECT_EQ("", orvfuzz::checkLogReader(prefix.data(), prefix.size())) << "length " << length;
    }
}

TEST(OrvLogReaderTest, OverwrittenBytesNeverCostTheEntriesBeforeThem) {
    SampleLog log = sampleLog();
    const char replacements[] = {'\n', ';', ',', '0', '9', '-', 'R', 'x', '\0', '\xff'};
    for (std::size_t pos = 0; pos < log.bytes.size(); ++pos) {
        std::size_t entriesBefore = 0;
        while (log.ends[entriesBefore] <= pos) {
            ++entriesBefore;
        }
        for (char c : replacements) {
            std::string damaged = log.bytes;
            damaged[pos] = c;
            std::size_t count = 0;
            parse(damaged, &count);
            EXPECT_GE(count, entriesBefore) << "byte " << pos << " set to " << int(c);
            EXPECT_EQ("", orvfuzz::checkLogReader(damaged.data(), damaged.size()))
                << "byte " << pos << " set to " << int(c);
        }
    }
}

TEST(OrvLogReaderTest, MalformedFieldsEndTheLogThere) {
    const std::string good = "R;1,0;0,0;7,0;;;;0;0;;0;;1;\n";
    struct Case {
        const char* name;
        std::string second; // written at offset good.size()
    };
    const std::string at = std::to_string(good.size());
    const Case cases[] = {
        {"LSN not the entry's place", "R;1,5;0,0;7,0;;;;0;0;;0;;1;\n"},
        {"LSN of another file", "R;2," + at + ";0,0;7,0;;;;0;0;;0;;1;\n"},
        {"leading zero", "R;1,0" + at + ";0,0;7,0;;;;0;0;;0;;1;\n"},
        {"previous LSN after the entry", "R;1," + at + ";1,999;7,0;;;;0;0;;0;;1;\n"},
        {"previous LSN is the entry", "R;1," + at + ";1," + at + ";7,0;;;;0;0;;0;;1;\n"},
        {"negative zero process id", "R;1," + at + ";0,0;-0,0;;;;0;0;;0;;1;\n"},
        {"count out of range", "R;1," + at + ";0,0;7,65536;;;;0;0;;0;;1;\n"},
        {"slot out of range", "R;1," + at + ";0,0;7,0;1,256;;;0;0;;0;;1;\n"},
        {"tuple id without slot", "R;1," + at + ";0,0;7,0;1;;;0;0;;0;;1;\n"},
        {"segment out of range", "R;1," + at + ";0,0;7,0;;;;65536;0;;0;;1;\n"},
        {"image length beyond an int", "R;1," + at + ";0,0;7,0;;;;0;2147483648;;0;;1;\n"},
        {"byte between image and separator", "R;1," + at + ";0,0;7,0;;;;0;1;ab;0;;1;\n"},
        {"blank in a number", "R;1," + at + ";0,0;7, 0;;;;0;0;;0;;1;\n"},
        {"no line break", "R;1," + at + ";0,0;7,0;;;;0;0;;0;;1;;"},
        {"unknown kind", "X;1," + at + ";0,0;7,0;;;;0;0;;0;;1;\n"},
        {"index entry with tuple ids", "I;1," + at + ";0,0;7,0;1,1;;;0;0;;0;;1;\n"},
        {"empty line", "\n"},
    };
    for (const Case& c : cases) {
        std::string bytes = good + c.second + good;
        std::size_t count = 0;
        OrvLogReader::FileResult result = parse(bytes, &count);
        EXPECT_EQ(1u, count) << c.name;
        EXPECT_FALSE(result.complete) << c.name;
        EXPECT_EQ(good.size(), result.end) << c.name;
        EXPECT_EQ(0u, result.problem.find("malformed entry (")) << c.name << ": " << result.problem;
    }

    // An image said to reach past the end of the bytes is what a writer that
    // died in the middle of it leaves.
    std::string bytes = good + "R;1," + at + ";0,0;7,0;;;;0;99;;0;;1;\n" + good;
    std::size_t count = 0;
    OrvLogReader::FileResult result = parse(bytes, &count);
    EXPECT_EQ(1u, count);
    EXPECT_EQ(good.size(), result.end);
    EXPECT_EQ("truncated entry (before image)", result.problem);
}

// A part of a file, read from where one of its entries begins: offsets and
// the LSN check are those of the file.
TEST(OrvLogReaderTest, APartOfAFileIsReadAtItsPlaceInTheFile) {
    SampleLog log = sampleLog();
    std::size_t base = log.ends[0];
    std::string rest = log.bytes.substr(base);
    std::vector<std::size_t> offsets;
    auto collect = [&](const OrvLogReader::EntryView& view) {
        EXPECT_EQ(OrvLsn(1, static_cast<Uint32>(view.offset)), view.lsn);
        offsets.push_back(view.offset);
    };
    OrvLogReader::FileResult result =
        OrvLogReader::parseFileFrom(rest.data(), rest.size(), base, 1, collect);
    EXPECT_TRUE(result.complete) << result.problem;
    EXPECT_EQ(log.bytes.size(), result.end);
    EXPECT_EQ((std::vector<std::size_t>{log.ends[0], log.ends[1]}), offsets);

    // Read as if it began elsewhere, the first entry names another place.
    offsets.clear();
    result = OrvLogReader::parseFileFrom(rest.data(), rest.size(), base + 1, 1, collect);
    EXPECT_FALSE(result.complete);
    EXPECT_EQ(base + 1, result.end);
    EXPECT_EQ("malformed entry (LSN (not the entry's place))", result.problem);
    EXPECT_TRUE(offsets.empty());

    // Cut in its last entry: the end is the file offset behind the entry before.
    std::string torn = rest.substr(0, rest.size() - 3);
    result = OrvLogReader::parseFileFrom(torn.data(), torn.size(), base, 1,
                                         [](const OrvLogReader::EntryView&) {});
    EXPECT_EQ(1u, result.entries);
    EXPECT_EQ(log.ends[1], result.end);
    EXPECT_EQ(0u, result.problem.find("truncated entry")) << result.problem;
}

TEST(OrvLogReaderTest, ExtremeButValidFieldsAreRead) {
    TupleId tid(65535, 255);
    OrvRecordLogEntry entry(OrvTransactionId(ORV_MIN_SINT32, 65535), 65535, "", 0, nullptr, 0,
                            ORV_MIN_SINT32, &tid, &tid, &tid);
    entry.setLsn(OrvLsn(1, 0));
    entry.setPrevLsn(OrvLsn());
    std::string form;
    entry.serializeTo(form);
    form += "\n";
    std::size_t count = 0;
    OrvLogReader::FileResult result = parse(form, &count);
    EXPECT_TRUE(result.complete) << result.problem;
    EXPECT_EQ(1u, count);
    EXPECT_EQ("", orvfuzz::checkLogReader(form.data(), form.size()));
}

// A log of many entries whose images hold what most confuses a reader: the
// separators, line breaks, the start of another entry, zero bytes.
std::string randomLog(std::mt19937& random, int entries) {
    static const char* const pieces[] = {";", "\n", "R;", "I;", "1,", "0"};
    SampleLog log;
    OrvLsn prev;
    for (int i = 0; i < entries; ++i) {
        std::string image;
        int parts = static_cast<int>(random() % 12);
        for (int k = 0; k < parts; ++k) {
            image += random() % 3 == 0 ? std::string(1, static_cast<char>('a' + random() % 26))
                                       : std::string(pieces[random() % 6]);
            if (random() % 9 == 0) {
                image.push_back('\0');
            }
        }
        OrvLsn here(1, static_cast<Uint32>(log.bytes.size()));
        if (random() % 2 == 0) {
            TupleId tid(static_cast<PageId>(random() % 100), static_cast<SlotId>(random() % 200));
            OrvRecordLogEntry entry(
                OrvTransactionId(static_cast<pid_t>(random() % 1000), 0),
                static_cast<SegmentId>(random() % 9), image.data(), static_cast<int>(image.size()),
                image.data(), static_cast<int>(image.size() / 2), INSERT, &tid, nullptr, nullptr);
            appendEntry(log, entry, prev);
        } else {
            PageId page = static_cast<PageId>(random() % 100);
            OrvIndexLogEntry entry(OrvTransactionId(7, 1), &page, 3, image.data(),
                                   static_cast<int>(image.size()), nullptr, 0, INTEGER_REDO);
            appendEntry(log, entry, prev);
        }
        prev = here;
    }
    return log.bytes;
}

// Damage of every kind at random places: inserted, removed and overwritten
// bytes, runs of zero bytes (as a hole in a sparse file reads), a cut. Read
// in chunks of any size, the damaged bytes give what they give read whole,
// and the search for whole entries behind the damage finds the first one.
TEST(OrvLogReaderTest, DamagedLogsReadTheSameInChunksAsWhole) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 300; ++round) {
        std::string bytes = randomLog(random, 1 + static_cast<int>(random() % 12));
        int damages = 1 + static_cast<int>(random() % 3);
        for (int d = 0; d < damages && !bytes.empty(); ++d) {
            std::size_t at = random() % bytes.size();
            switch (random() % 5) {
            case 0:
                bytes.insert(at, 1, static_cast<char>(random() % 256));
                break;
            case 1:
                bytes.erase(at, 1);
                break;
            case 2:
                bytes[at] = static_cast<char>(random() % 256);
                break;
            case 3:
                bytes.insert(at, std::string(1 + random() % 300, '\0'));
                break;
            default:
                bytes.resize(at);
                break;
            }
        }
        ASSERT_EQ("", orvfuzz::checkLogReader(bytes.data(), bytes.size())) << "round " << round;
    }
}

// A length field beyond the longest image is refused at once as malformed,
// not waited for as the start of a huge entry (which would make a reader
// hold the file's bytes up to it).
TEST(OrvLogReaderTest, AnImageLongerThanAnyEntryMayHoldIsMalformed) {
    std::string header =
        "R;1,0;0,0;5,0;;;;1;" + std::to_string(OrvLogReader::MAX_IMAGE_LENGTH + 1) + ";abc";
    std::size_t count = 0;
    OrvLogReader::FileResult result = parse(header, &count);
    EXPECT_FALSE(result.complete);
    EXPECT_FALSE(result.truncated);
    EXPECT_EQ(0u, result.end);
    EXPECT_EQ("malformed entry (before image)", result.problem);

    std::string fits =
        "R;1,0;0,0;5,0;;;;1;" + std::to_string(OrvLogReader::MAX_IMAGE_LENGTH) + ";abc";
    result = parse(fits, &count);
    EXPECT_TRUE(result.truncated) << result.problem;
    EXPECT_EQ("", orvfuzz::checkLogReader(header.data(), header.size()));
}

TEST(OrvLogReaderTest, EveryCorpusFileKeepsTheReaderChecks) {
    std::string directory = std::string(ORV_SOURCE_DIR) + "/tests/fuzz/corpus/log";
    DIR* dir = opendir(directory.c_str());
    ASSERT_NE(nullptr, dir) << directory;
    int files = 0;
    while (dirent* item = readdir(dir)) {
        std::string name = item->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string bytes = orvtest::readFile(directory + "/" + name);
        EXPECT_EQ("", orvfuzz::checkLogReader(bytes.data(), bytes.size())) << name;
        ++files;
    }
    closedir(dir);
    EXPECT_GE(files, 10) << "the corpus is missing";
}

} // namespace
